// How the contact record's fields map onto vCard properties: one table per
// kind of field, read by both the vCard reader and the vCard writer, so the
// two cannot drift apart.  Properties named X-QUORVEL-* are this service's
// own; they carry the fields that no standard property holds, so that a
// contact written by the service reads back field for field.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "contact-engine.h"
#include "contacts/contact-record.h"

namespace contact_engine::vcard_fields {

// Fixed text fields of the record beyond those the rest of the service names.
inline constexpr TextField name_prefix{"name_prefix", 144, 20};
inline constexpr TextField name_suffix{"name_suffix", 164, 20};
inline constexpr TextField anniversary{"anniversary", 195, 8};
inline constexpr TextField phonetic_first_name{"phonetic_first_name", 1312, 64};
inline constexpr TextField phonetic_last_name{"phonetic_last_name", 1376, 64};
inline constexpr TextField account_name{"account_name", 2288, 64};
inline constexpr TextField source_uid{"source_uid", 2352, 64};
inline constexpr TextField custom_label{"custom_label", 4324, 64};

// Text fields that are one property's whole value.
struct TextProperty {
    std::string_view property;
    TextField field;
};

inline constexpr std::array<TextProperty, 11> kTextProperties{{
    {"FN", text_field::display_name},
    {"NICKNAME", text_field::nickname},
    {"TITLE", text_field::job_title},
    {"URL", text_field::website},
    {"UID", source_uid},
    {"X-PHONETIC-FIRST-NAME", phonetic_first_name},
    {"X-PHONETIC-LAST-NAME", phonetic_last_name},
    {"X-QUORVEL-RINGTONE", text_field::ringtone_path},
    {"X-QUORVEL-MESSAGE-TONE", text_field::message_tone_path},
    {"X-QUORVEL-ACCOUNT", account_name},
    {"X-QUORVEL-LABEL", custom_label},
}};

// Components of N and ORG, in the order the property lists them.
inline constexpr std::array<TextField, 5> kNameComponents{
    text_field::last_name, text_field::first_name, text_field::middle_name, name_prefix, name_suffix};
inline constexpr std::array<TextField, 2> kOrgComponents{text_field::company, text_field::department};

// Integer fields of the fixed part, written as decimal when not 0.  The
// modification time travels as REV instead (see the writer and reader).
struct IntProperty {
    std::string_view property;
    std::size_t offset;
};

inline constexpr std::size_t kCreatedTimeOffset = 2416;
inline constexpr std::size_t kModifiedTimeOffset = 2420;

inline constexpr std::array<IntProperty, 8> kIntProperties{{
    {"X-QUORVEL-FREQUENCY", 8},
    {"X-QUORVEL-FAVOURITE", 12},
    {"X-QUORVEL-CREATED", kCreatedTimeOffset},
    {"X-QUORVEL-LAST-CALL", 2424},
    {"X-QUORVEL-PRESENCE-STATUS", 4252},
    {"X-QUORVEL-BLOCKED", 4288},
    {"X-QUORVEL-HIDDEN", 4292},
    {"X-QUORVEL-REVISION", 4452},
}};

// Positions in contact_wire::kSections of the sections the rest of the
// service does not name.
inline constexpr std::size_t kPostalSection = 2, kAboutSection = 4, kSnsSection = 5, kPresenceSection = 7;

// Element records of the sections (see contact-engine.h for their structs).
namespace phone {
inline constexpr std::size_t type = 0, number = 4, number_width = 48, is_primary = 52;
}
namespace email {
inline constexpr std::size_t type = 0, is_primary = 4, address = 8, address_width = 128;
}
namespace sns {
inline constexpr std::size_t type = 0, service_name = 4, service_name_width = 32, account = 36,
                             account_width = 104;
}
namespace im {
inline constexpr std::size_t type = 0, status = 4, service_name = 8, service_name_width = 32, account = 40,
                             account_width = 104;
}

// The seven ADR components, in the property's order, as fields of a
// contact_postal_info_t element.
struct ElementText {
    std::size_t offset;
    std::size_t width;
};
inline constexpr std::size_t kPostalTypeOffset = 0;
inline constexpr std::array<ElementText, 7> kAddressComponents{{
    {4, 64},     // post office box
    {68, 212},   // extended address
    {280, 512},  // street
    {792, 128},  // locality
    {920, 128},  // region
    {1048, 32},  // postal code
    {1080, 128}, // country
}};

// TYPE values of TEL, EMAIL and ADR and the element type they stand for.
// Reading, the first row whose value a property carries decides, so a
// "HOME,FAX" number is a fax; no known value means CONTACT_TYPE_OTHER.
// Writing uses the row's value (lower case in 4.0).
struct TypeName {
    std::string_view value;
    std::int32_t type;
};
inline constexpr std::array<TypeName, 6> kTypeNames{{
    {"FAX", CONTACT_TYPE_FAX},
    {"CELL", CONTACT_TYPE_MOBILE},
    {"MOBILE", CONTACT_TYPE_MOBILE},
    {"WORK", CONTACT_TYPE_WORK},
    {"HOME", CONTACT_TYPE_HOME},
    {"OTHER", CONTACT_TYPE_OTHER},
}};

// Apple's labels of grouped properties (item1.X-ABLabel:_$!<Mobile>!$_),
// used when the property itself names no known type.
struct LabelType {
    std::string_view label;
    std::int32_t type;
};
inline constexpr std::array<LabelType, 6> kLabelTypes{{
    {"_$!<Mobile>!$_", CONTACT_TYPE_MOBILE},
    {"iPhone", CONTACT_TYPE_MOBILE},
    {"_$!<Home>!$_", CONTACT_TYPE_HOME},
    {"_$!<Work>!$_", CONTACT_TYPE_WORK},
    {"_$!<HomeFAX>!$_", CONTACT_TYPE_FAX},
    {"_$!<WorkFAX>!$_", CONTACT_TYPE_FAX},
}};

// Instant-messaging services: the IMPP URI scheme and the older one-service
// properties (X-JABBER:...) that address books still write.  IMPP's
// X-SERVICE-TYPE parameter, where present, names the service instead.
struct ImService {
    std::string_view service_name;
    std::string_view scheme;
    std::string_view legacy_property;
};
inline constexpr std::array<ImService, 9> kImServices{{
    {"Jabber", "xmpp", "X-JABBER"},
    {"Google Talk", "gtalk", "X-GOOGLE-TALK"},
    {"Skype", "skype", "X-SKYPE"},
    {"AIM", "aim", "X-AIM"},
    {"ICQ", "icq", "X-ICQ"},
    {"MSN", "msnim", "X-MSN"},
    {"Yahoo", "ymsgr", "X-YAHOO"},
    {"QQ", "", "X-QQ"}, // no scheme of its own: written with the generic one
    {"Gadu-Gadu", "gg", "X-GADUGADU"},
}};
// IMPP scheme for any other service (RFC 3860's generic one).
inline constexpr std::string_view kGenericImScheme = "im";

} // namespace contact_engine::vcard_fields
