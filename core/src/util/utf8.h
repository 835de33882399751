// Strict UTF-8 validation: no overlong forms, no surrogates, nothing above
// U+10FFFF. Every text the system stores is checked with this one rule, so
// nothing a writer accepts can be refused by a reader.
#pragma once

#include <string>
#include <string_view>

namespace corvantine::util {

bool IsValidUtf8(std::string_view text);

// `text` with each maximal ill-formed subsequence replaced by one U+FFFD,
// the replacement that Rust's String::from_utf8_lossy and Python's
// bytes.decode(errors="replace") make.
std::string ReplaceInvalidUtf8(std::string_view text);

}  // namespace corvantine::util
