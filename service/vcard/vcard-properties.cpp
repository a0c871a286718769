#include "vcard/vcard-properties.h"

#include <glib.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "core/service-error.h"
#include "vcard/vcard-encodings.h"
#include "vcard/vcard-fields.h"
#include "vcard/vcard-text.h"

namespace contact_engine {

using namespace vcard_detail;

namespace {

namespace fields = vcard_fields;


// 2.1's bare parameters that are not types.
std::string_view bare_parameter_name(std::string_view token)
{
    static constexpr std::string_view kEncodings[] = {"QUOTED-PRINTABLE", "BASE64", "8BIT", "7BIT", "B"};
    static constexpr std::string_view kValues[] = {"INLINE", "URL", "URI", "CONTENT-ID", "CID"};
    for (std::string_view encoding : kEncodings)
        if (equals_ignoring_case(token, encoding))
            return "ENCODING";
    for (std::string_view value : kValues)
        if (equals_ignoring_case(token, value))
            return "VALUE";
    return "TYPE";
}

std::string unquote(std::string_view value)
{
    std::string result;
    result.reserve(value.size());
    for (char c : value)
        if (c != '"')
            result += c;
    return result;
}

} // namespace

void vcard_detail::parse_property(std::string_view line, std::size_t line_number, VCardVersion version, VCardProperty &property)
{
    std::size_t at = find_outside_quotes(line, 0, ";:");
    if (at == std::string_view::npos)
        fail_at(kVCardSyntax, line_number, "\"" + std::string(line.substr(0, 40)) + "\" is not a property (no ':')");
    const std::string_view full_name = trim(line.substr(0, at));
    if (full_name.empty())
        fail_at(kVCardSyntax, line_number, "a property without a name");
    const std::size_t dot = full_name.rfind('.');
    property.group = dot == std::string_view::npos ? std::string() : std::string(full_name.substr(0, dot));
    property.name = upper(dot == std::string_view::npos ? full_name : full_name.substr(dot + 1));
    property.parameters.clear();
    while (line[at] == ';') {
        const std::size_t end = find_outside_quotes(line, at + 1, ";:");
        if (end == std::string_view::npos)
            break;
        const std::string_view token = trim(line.substr(at + 1, end - at - 1));
        at = end;
        if (token.empty())
            continue;
        if (property.parameters.size() == limits::kVCardMaxParameters)
            fail_at(kVCardTooLarge, line_number,
                    "the property " + property.name + " has more than " + std::to_string(limits::kVCardMaxParameters) +
                        " parameters");
        const std::size_t equals = token.find('=');
        if (equals == std::string_view::npos) {
            property.parameters.emplace_back(std::string(bare_parameter_name(token)), std::string(token));
            continue;
        }
        std::string value = unquote(trim(token.substr(equals + 1)));
        if (version != VCardVersion::V21 && value.find('^') != std::string::npos)
            value = decode_caret(value);
        property.parameters.emplace_back(upper(trim(token.substr(0, equals))), std::move(value));
    }
    if (line[at] != ':')
        fail_at(kVCardSyntax, line_number, "the property " + property.name + " has no ':' after its parameters");
    property.value.assign(line.substr(at + 1));
    property.binary = false;
}

// ---------------------------------------------------------------------------
// VCardProperty

const std::string *VCardProperty::parameter(std::string_view wanted) const
{
    for (const auto &[name, value] : parameters)
        if (name == wanted)
            return &value;
    return nullptr;
}

bool VCardProperty::has_type(std::string_view type) const
{
    for (const auto &[name, value] : parameters) {
        if (name != "TYPE")
            continue;
        std::string_view rest = value;
        while (true) {
            const std::size_t comma = rest.find(',');
            if (equals_ignoring_case(trim(rest.substr(0, comma)), type))
                return true;
            if (comma == std::string_view::npos)
                break;
            rest.remove_prefix(comma + 1);
        }
    }
    return false;
}

// ---------------------------------------------------------------------------
// Text values

std::string unescape_vcard_text(std::string_view value)
{
    if (value.find('\\') == std::string_view::npos)
        return std::string(value);
    std::string text;
    text.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            text += value[i];
            continue;
        }
        const char next = value[i + 1];
        if (next == 'n' || next == 'N')
            text += '\n';
        else if (next == '\\' || next == ',' || next == ';' || next == ':')
            text += next;
        else
            text += '\\', text += next;
        ++i;
    }
    return text;
}

std::vector<std::string> split_vcard_components(std::string_view value)
{
    std::vector<std::string> components;
    std::size_t start = 0;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\') {
            ++i;
        } else if (value[i] == ';') {
            components.push_back(unescape_vcard_text(value.substr(start, i - start)));
            start = i + 1;
        }
    }
    components.push_back(unescape_vcard_text(value.substr(std::min(start, value.size()))));
    return components;
}

// ---------------------------------------------------------------------------
// Card to contact record

namespace {

// The longest prefix of `text` that fits `width` - 1 bytes without cutting
// a UTF-8 character.
std::string_view fitted(std::string_view text, std::size_t width)
{
    if (text.size() < width)
        return text;
    std::size_t length = width - 1;
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xc0) == 0x80)
        --length;
    return text.substr(0, length);
}

void put_text(std::uint8_t *at, std::size_t width, std::string_view text)
{
    const std::string_view value = fitted(text, width);
    std::memset(at, 0, width);
    std::memcpy(at, value.data(), value.size());
}

void put_int(Bytes &bytes, std::size_t at, std::int32_t value)
{
    contact_wire::write_i32(bytes.data(), at, value);
}

std::int32_t parse_int(std::string_view text)
{
    text = trim(text);
    bool negative = !text.empty() && text.front() == '-';
    if (negative)
        text.remove_prefix(1);
    std::int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9' || value > 0x7fffffff)
            return 0;
        value = value * 10 + (c - '0');
    }
    return std::int32_t(negative ? -value : std::min<std::int64_t>(value, 0x7fffffff));
}

std::string digits_of(std::string_view text)
{
    std::string digits;
    for (char c : text)
        if (c >= '0' && c <= '9')
            digits += c;
    return digits;
}

// BDAY as the record keeps it, "YYYY-MM-DD", from 1985-04-12, 19850412 or
// 1985-04-12T00:00:00Z.  The record holds only whole dates, so a year-less
// birthday (--0412) or free text is left out.
std::string birthday_of(std::string_view value)
{
    const std::string_view date = value.substr(0, value.find('T'));
    const std::string digits = digits_of(date);
    if (digits.size() != 8 || (date.size() != 8 && date.size() != 10) || date[0] == '-')
        return {};
    const int month = std::stoi(digits.substr(4, 2)), day = std::stoi(digits.substr(6, 2));
    static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1])
        return {};
    const int year = std::stoi(digits.substr(0, 4));
    if (month == 2 && day == 29 && !(year % 4 == 0 && (year % 100 != 0 || year % 400 == 0)))
        return {};
    return digits.substr(0, 4) + "-" + digits.substr(4, 2) + "-" + digits.substr(6, 2);
}

// ANNIVERSARY as "MM-DD": the month and day of any date form.
std::string anniversary_of(std::string_view value)
{
    const std::string digits = digits_of(value.substr(0, value.find('T')));
    if (digits.size() < 4)
        return std::string(value);
    return digits.substr(digits.size() - 4, 2) + "-" + digits.substr(digits.size() - 2);
}

// REV, 20261207T192245Z or 2026-12-07T19:22:45Z, as seconds since the epoch.
std::int32_t timestamp_of(std::string_view value)
{
    const std::string digits = digits_of(value);
    if (digits.size() < 14)
        return 0;
    std::tm time{};
    time.tm_year = std::stoi(digits.substr(0, 4)) - 1900;
    time.tm_mon = std::stoi(digits.substr(4, 2)) - 1;
    time.tm_mday = std::stoi(digits.substr(6, 2));
    time.tm_hour = std::stoi(digits.substr(8, 2));
    time.tm_min = std::stoi(digits.substr(10, 2));
    time.tm_sec = std::stoi(digits.substr(12, 2));
    const time_t seconds = timegm(&time);
    return seconds < 0 || seconds > 0x7fffffff ? 0 : std::int32_t(seconds);
}

bool is_primary(const VCardProperty &property)
{
    if (property.has_type("PREF"))
        return true;
    const std::string *pref = property.parameter("PREF");
    return pref != nullptr && (pref->empty() || parse_int(*pref) == 1);
}

std::int32_t element_type(const VCardProperty &property, const VCard &card)
{
    for (const auto &row : fields::kTypeNames)
        if (property.has_type(row.value))
            return row.type;
    if (!property.group.empty()) {
        for (const VCardProperty &label : card.properties) {
            if (label.name != "X-ABLABEL" || label.group != property.group)
                continue;
            for (const auto &row : fields::kLabelTypes)
                if (label.value == row.label)
                    return row.type;
        }
    }
    return CONTACT_TYPE_OTHER;
}

std::int32_t int_parameter(const VCardProperty &property, std::string_view name)
{
    const std::string *value = property.parameter(name);
    return value != nullptr ? parse_int(*value) : 0;
}

// The contact's sections as they are gathered, in byte-array order.
struct Sections {
    Bytes phones, emails, postals, sns, ims;
    std::int32_t phone_count = 0, email_count = 0, postal_count = 0, sns_count = 0, im_count = 0;
    std::string note, about, presence;
    bool has_note = false;
    Bytes id_data;
};

Bytes &append_element(Bytes &section, std::size_t size, std::int32_t &count)
{
    section.resize(section.size() + size, 0);
    ++count;
    return section;
}

void add_phone(Sections &sections, const VCardProperty &property, const VCard &card)
{
    std::string number = unescape_vcard_text(property.value);
    if (starts_with_ignoring_case(number, "tel:"))
        number.erase(0, 4);
    if (trim(number).empty())
        return;
    Bytes &section = append_element(sections.phones, contact_wire::kPhoneInfoSize, sections.phone_count);
    std::uint8_t *element = section.data() + section.size() - contact_wire::kPhoneInfoSize;
    contact_wire::write_i32(element, fields::phone::type, element_type(property, card));
    put_text(element + fields::phone::number, fields::phone::number_width, number);
    contact_wire::write_i32(element, fields::phone::is_primary, is_primary(property) ? 1 : 0);
}

void add_email(Sections &sections, const VCardProperty &property, const VCard &card)
{
    std::string address = unescape_vcard_text(property.value);
    if (starts_with_ignoring_case(address, "mailto:"))
        address.erase(0, 7);
    if (trim(address).empty())
        return;
    Bytes &section = append_element(sections.emails, contact_wire::kEmailInfoSize, sections.email_count);
    std::uint8_t *element = section.data() + section.size() - contact_wire::kEmailInfoSize;
    contact_wire::write_i32(element, fields::email::type, element_type(property, card));
    contact_wire::write_i32(element, fields::email::is_primary, is_primary(property) ? 1 : 0);
    put_text(element + fields::email::address, fields::email::address_width, address);
}

void add_postal(Sections &sections, const VCardProperty &property, const VCard &card)
{
    const std::vector<std::string> components = split_vcard_components(property.value);
    if (std::all_of(components.begin(), components.end(), [](const std::string &c) { return c.empty(); }))
        return;
    Bytes &section = append_element(sections.postals, contact_wire::kPostalInfoSize, sections.postal_count);
    std::uint8_t *element = section.data() + section.size() - contact_wire::kPostalInfoSize;
    contact_wire::write_i32(element, fields::kPostalTypeOffset, element_type(property, card));
    for (std::size_t i = 0; i < fields::kAddressComponents.size() && i < components.size(); ++i)
        put_text(element + fields::kAddressComponents[i].offset, fields::kAddressComponents[i].width, components[i]);
}

void add_im(Sections &sections, std::string_view service_name, std::string_view account, const VCardProperty &property)
{
    if (trim(account).empty())
        return;
    Bytes &section = append_element(sections.ims, contact_wire::kImSize, sections.im_count);
    std::uint8_t *element = section.data() + section.size() - contact_wire::kImSize;
    contact_wire::write_i32(element, fields::im::type, int_parameter(property, "X-QUORVEL-TYPE"));
    contact_wire::write_i32(element, fields::im::status, int_parameter(property, "X-QUORVEL-STATUS"));
    put_text(element + fields::im::service_name, fields::im::service_name_width, service_name);
    put_text(element + fields::im::account, fields::im::account_width, account);
}

// IMPP:xmpp:me@example.org, with the service in X-SERVICE-TYPE or taken
// from the URI's scheme.
void add_impp(Sections &sections, const VCardProperty &property)
{
    std::string value = unescape_vcard_text(property.value);
    std::string scheme;
    const std::size_t colon = value.find(':');
    if (colon != std::string::npos && colon > 0 &&
        std::all_of(value.begin(), value.begin() + std::ptrdiff_t(colon),
                    [](char c) { return g_ascii_isalnum(c) || c == '+' || c == '-' || c == '.'; })) {
        scheme = value.substr(0, colon);
        value.erase(0, colon + 1);
    }
    std::string service;
    if (const std::string *named = property.parameter("X-SERVICE-TYPE"))
        service = *named;
    else
        for (const auto &row : fields::kImServices)
            if (!row.scheme.empty() && equals_ignoring_case(scheme, row.scheme))
                service = row.service_name;
    add_im(sections, service, value, property);
}

// X-SOCIALPROFILE;X-SERVICE-TYPE=Twitter:account, or Apple's
// X-SOCIALPROFILE;type=twitter;x-user=account:http://twitter.com/account.
void add_sns(Sections &sections, const VCardProperty &property)
{
    std::string service;
    if (const std::string *named = property.parameter("X-SERVICE-TYPE"))
        service = *named;
    else
        for (const auto &[name, value] : property.parameters)
            if (name == "TYPE" && !equals_ignoring_case(value, "PREF")) {
                service = value;
                break;
            }
    const std::string *user = property.parameter("X-USER");
    const std::string account = user != nullptr ? *user : unescape_vcard_text(property.value);
    if (trim(account).empty())
        return;
    Bytes &section = append_element(sections.sns, contact_wire::kSnsSize, sections.sns_count);
    std::uint8_t *element = section.data() + section.size() - contact_wire::kSnsSize;
    contact_wire::write_i32(element, fields::sns::type, int_parameter(property, "X-QUORVEL-TYPE"));
    put_text(element + fields::sns::service_name, fields::sns::service_name_width, service);
    put_text(element + fields::sns::account, fields::sns::account_width, account);
}

void append_text_section(Bytes &bytes, const std::string &text, std::size_t count_offset)
{
    put_int(bytes, count_offset, std::int32_t(text.size()));
    if (text.empty())
        return;
    bytes.insert(bytes.end(), text.begin(), text.end());
    bytes.push_back(0);
}

std::string display_name_from_parts(const Bytes &fixed)
{
    std::string name;
    for (const TextField &field : {fields::name_prefix, text_field::first_name, text_field::middle_name,
                                   text_field::last_name, fields::name_suffix}) {
        const char *text = reinterpret_cast<const char *>(fixed.data() + field.offset);
        const std::size_t length = strnlen(text, field.width);
        if (length == 0)
            continue;
        if (!name.empty())
            name += ' ';
        name.append(text, length);
    }
    if (name.empty()) {
        const char *company = reinterpret_cast<const char *>(fixed.data() + text_field::company.offset);
        name.assign(company, strnlen(company, text_field::company.width));
    }
    return name;
}

} // namespace

ImportedContact contact_from_vcard(const VCard &card)
{
    Bytes bytes(contact_wire::kFixedSize, 0);
    Sections sections;
    ImportedContact contact{Record::blank(), {}, {}};
    bool has_display_name = false, has_name = false, has_org = false, has_photo = false;

    for (const VCardProperty &property : card.properties) {
        const std::string &name = property.name;
        if (property.binary) {
            if (name == "PHOTO" && !has_photo) {
                has_photo = true;
                contact.photo = property.value;
                if (const std::string *media = property.parameter("MEDIATYPE"))
                    contact.photo_media_type = *media;
                else if (const std::string *type = property.parameter("TYPE"))
                    contact.photo_media_type = "image/" + lower(*type);
            } else if (name == "X-QUORVEL-ID-DATA" && property.value.size() == contact_wire::kIdDataSize) {
                sections.id_data.assign(property.value.begin(), property.value.end());
            }
            continue;
        }
        bool handled = false;
        for (const auto &row : fields::kTextProperties) {
            if (name != row.property)
                continue;
            handled = true;
            // An empty FN (address books write one for a company) leaves
            // the display name to be made from the name parts.
            if (row.field.offset == text_field::display_name.offset) {
                if (has_display_name || trim(property.value).empty())
                    break;
                has_display_name = true;
            }
            put_text(bytes.data() + row.field.offset, row.field.width, unescape_vcard_text(property.value));
        }
        for (const auto &row : fields::kIntProperties) {
            if (name == row.property) {
                handled = true;
                put_int(bytes, row.offset, parse_int(property.value));
            }
        }
        if (handled)
            continue;
        if (name == "N" && !has_name) {
            has_name = true;
            const std::vector<std::string> parts = split_vcard_components(property.value);
            for (std::size_t i = 0; i < parts.size() && i < fields::kNameComponents.size(); ++i)
                put_text(bytes.data() + fields::kNameComponents[i].offset, fields::kNameComponents[i].width, parts[i]);
        } else if (name == "ORG" && !has_org) {
            has_org = true;
            const std::vector<std::string> parts = split_vcard_components(property.value);
            for (std::size_t i = 0; i < parts.size() && i < fields::kOrgComponents.size(); ++i)
                put_text(bytes.data() + fields::kOrgComponents[i].offset, fields::kOrgComponents[i].width, parts[i]);
        } else if (name == "BDAY") {
            put_text(bytes.data() + text_field::birthday.offset, text_field::birthday.width,
                     birthday_of(unescape_vcard_text(property.value)));
        } else if (name == "ANNIVERSARY" || name == "X-ANNIVERSARY" || name == "X-EVOLUTION-ANNIVERSARY" ||
                   name == "X-MS-ANNIVERSARY") {
            put_text(bytes.data() + fields::anniversary.offset, fields::anniversary.width,
                     anniversary_of(unescape_vcard_text(property.value)));
        } else if (name == "REV") {
            put_int(bytes, fields::kModifiedTimeOffset, timestamp_of(property.value));
        } else if (name == "PHOTO" && !has_photo) {
            has_photo = true;
            std::string path = unescape_vcard_text(property.value);
            if (starts_with_ignoring_case(path, "file://"))
                path.erase(0, 7);
            put_text(bytes.data() + text_field::photo_path.offset, text_field::photo_path.width, path);
        } else if (name == "TEL") {
            add_phone(sections, property, card);
        } else if (name == "EMAIL") {
            add_email(sections, property, card);
        } else if (name == "ADR") {
            add_postal(sections, property, card);
        } else if (name == "NOTE") {
            if (sections.has_note)
                sections.note += '\n';
            sections.has_note = true;
            sections.note += unescape_vcard_text(property.value);
        } else if (name == "X-QUORVEL-ABOUT") {
            sections.about = unescape_vcard_text(property.value);
        } else if (name == "X-QUORVEL-PRESENCE") {
            sections.presence = unescape_vcard_text(property.value);
        } else if (name == "IMPP") {
            add_impp(sections, property);
        } else if (name == "X-SOCIALPROFILE") {
            add_sns(sections, property);
        } else {
            for (const auto &row : fields::kImServices)
                if (name == row.legacy_property)
                    add_im(sections, row.service_name, unescape_vcard_text(property.value), property);
        }
    }
    if (!has_display_name)
        put_text(bytes.data() + text_field::display_name.offset, text_field::display_name.width,
                 display_name_from_parts(bytes));

    put_int(bytes, contact_wire::offset::phone_info_cnt, sections.phone_count);
    put_int(bytes, contact_wire::offset::email_info_cnt, sections.email_count);
    put_int(bytes, contact_wire::offset::postal_info_cnt, sections.postal_count);
    put_int(bytes, contact_wire::offset::sns_cnt, sections.sns_count);
    put_int(bytes, contact_wire::offset::im_cnt, sections.im_count);
    bytes.insert(bytes.end(), sections.phones.begin(), sections.phones.end());
    bytes.insert(bytes.end(), sections.emails.begin(), sections.emails.end());
    bytes.insert(bytes.end(), sections.postals.begin(), sections.postals.end());
    append_text_section(bytes, sections.note, contact_wire::offset::note_len);
    append_text_section(bytes, sections.about, contact_wire::offset::about_len);
    bytes.insert(bytes.end(), sections.sns.begin(), sections.sns.end());
    bytes.insert(bytes.end(), sections.ims.begin(), sections.ims.end());
    append_text_section(bytes, sections.presence, contact_wire::offset::presence_text_len);
    if (!sections.id_data.empty()) {
        put_int(bytes, contact_wire::offset::contact_id_data, 1);
        bytes.insert(bytes.end(), sections.id_data.begin(), sections.id_data.end());
    }
    contact.record = Record::parse(std::move(bytes));
    contact.dropped_properties = card.dropped_properties;
    contact.repaired_values = card.repaired_values;
    return contact;
}

} // namespace contact_engine
