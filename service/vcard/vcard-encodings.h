// Undoing a vCard value's transfer encoding and character set: QUOTED-
// PRINTABLE, BASE64 (ENCODING=b and data: URIs), CHARSET converted to UTF-8
// with GLib, and 4.0's caret escapes in parameter values.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "vcard/vcard-reader.h"

namespace contact_engine::vcard_detail {

// A parameter value with its ^n, ^' and ^^ undone (vCard 4.0, RFC 6868).
std::string decode_caret(std::string_view value);

// Decodes `property.value` in place by its ENCODING and CHARSET: text ends
// up UTF-8 with line feeds for line ends, binary values (BASE64, data: URIs)
// as raw bytes with `binary` set.  Returns whether the text had to be
// repaired (bytes invalid in its charset made U+FFFD, NULs taken out).
// Throws the vCard codes, naming `line_number`, for a value that cannot be
// read: the caller drops that property.
bool decode_value(VCardProperty &property, std::size_t line_number, VCardVersion version);

} // namespace contact_engine::vcard_detail
