// Text shown between double quotes with every character that could hide or
// mislead escaped, as a representation shows a name: a backslash, a double
// quote, tab, carriage return, line feed and NUL as two-character escapes
// (\\ \" \t \r \n \0), and as \u{hex} every character that is not printable
// (a control, format, surrogate, private-use or unassigned code point, a
// separator other than the blank) and every combining mark, which would
// otherwise merge into the character before it.
#pragma once

#include <string>
#include <string_view>

namespace corvantine::python {

// Appends the quoted form of `text`, which is valid UTF-8, to `out`. Asks
// the interpreter's Unicode database for characters beyond ASCII; false
// with the error set when that fails.
bool DebugQuoted(std::string_view text, std::string* out);

}  // namespace corvantine::python
