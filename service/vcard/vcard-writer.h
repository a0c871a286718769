// Writes a contact record as a vCard of the version a caller's
// `convert_param` selects.  Every field the record holds has a property (see
// vcard-fields.h), so the vCard reader gives back the same record.
#pragma once

#include <string>

#include "contacts/contact-record.h"
#include "vcard/vcard-reader.h"

namespace contact_engine {

// The values of `convert_param`: the vCard version written.
inline constexpr int kVCardParamDefault = 0; // vCard 3.0
inline constexpr int kVCardParam21 = 21;     // vCard 2.1 (QUOTED-PRINTABLE, CHARSET=UTF-8 where needed)
inline constexpr int kVCardParam30 = 30;     // vCard 3.0 (RFC 2426)
inline constexpr int kVCardParam40 = 40;     // vCard 4.0 (RFC 6350)

// The version for a convert_param; throws kInvalidArgument for other values.
VCardVersion vcard_version_for(int convert_param);

// One card, lines ending in CRLF, long lines folded (3.0, 4.0: at 75 bytes,
// never inside a character; 2.1: QUOTED-PRINTABLE soft breaks).  Line ends
// inside texts are written as line feeds.  The embedded-photo form is not
// written: the record holds a photo's path, which goes out as a URI.
std::string write_vcard(const Record &record, VCardVersion version);
// The same, appended to `out` (an export builds a file of many cards).
void append_vcard(std::string &out, const Record &record, VCardVersion version);

} // namespace contact_engine
