// The Python forms of the engine's plain values: 16-byte ids are 32 hex
// characters (written lower case, read in either case), byte strings are
// bytes, and the text values that callers may give as bytes or str.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

#include "util/coding.h"

namespace corvantine::python {

// A new str of 32 lowercase hexadecimal characters, two per byte in order.
PyObject* HexId(const util::Bytes16& id);

// Reads 32 hexadecimal characters of either case. Anything else raises
// InvalidArgumentError "event_id must contain exactly 32 hexadecimal
// characters", whatever kind of id it is.
bool ParseHexId(std::string_view text, util::Bytes16* out);

// Bytes (or a bytes subclass) as they are, a str as its UTF-8; anything else,
// bytearray and a str holding a lone surrogate included, raises
// InvalidArgumentError "value must be bytes or a UTF-8 string".
bool BytesOrUtf8(PyObject* value, std::string* out);

// A new bytes object holding a copy of `bytes`.
PyObject* BytesObject(std::string_view bytes);

}  // namespace corvantine::python
