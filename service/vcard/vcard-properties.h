// A card's property lines split into group, name, parameters and value;
// the contact record made from a card's properties is contact_from_vcard
// (vcard-reader.h).
#pragma once

#include <cstddef>
#include <string_view>

#include "vcard/vcard-reader.h"

namespace contact_engine::vcard_detail {

// Splits `line` (one logical line) into `property`, whose memory is reused:
// names upper case, 2.1's bare parameters filed under TYPE, ENCODING or
// VALUE, quoted and caret-escaped parameter values undone.  The value is
// left encoded (decode_value).  Throws kVCardSyntax for a line that is no
// property.
void parse_property(std::string_view line, std::size_t line_number, VCardVersion version, VCardProperty &property);

} // namespace contact_engine::vcard_detail
