#include "vcard/vcard-writer.h"

#include <glib.h>

#include <cctype>
#include <cstring>
#include <ctime>

#include "core/service-error.h"
#include "vcard/vcard-fields.h"

namespace contact_engine {

namespace {

namespace fields = vcard_fields;

constexpr std::size_t kFoldWidth = 75;     // octets per line, 3.0 and 4.0
constexpr std::size_t kQuotedLineWidth = 76; // characters per QUOTED-PRINTABLE line, 2.1

std::string element_text(const std::uint8_t *element, std::size_t offset, std::size_t width)
{
    const char *text = reinterpret_cast<const char *>(element + offset);
    return std::string(text, strnlen(text, width));
}

std::string lower(std::string_view text)
{
    std::string result(text);
    for (char &c : result)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return result;
}

class CardWriter {
public:
    CardWriter(std::string &out, VCardVersion version) : out_(out), version_(version) {}

    bool v21() const { return version_ == VCardVersion::V21; }
    bool v40() const { return version_ == VCardVersion::V40; }

    // A text with the escapes of its version: 2.1 escapes only \ and ;
    // (its line ends go out QUOTED-PRINTABLE), 3.0 and 4.0 also , and \n.
    std::string escaped(std::string_view text) const
    {
        std::string result;
        result.reserve(text.size());
        for (char c : text) {
            switch (c) {
            case '\\': result += "\\\\"; break;
            case ';': result += "\\;"; break;
            case ',': result += v21() ? "," : "\\,"; break;
            case '\n': result += v21() ? "\n" : "\\n"; break;
            case '\r': break;
            default: result += c;
            }
        }
        return result;
    }

    std::string components(std::initializer_list<std::string> parts) const
    {
        std::string value;
        for (const std::string &part : parts) {
            if (&part != parts.begin())
                value += ';';
            value += escaped(part);
        }
        return value;
    }

    // A parameter value, quoted where it holds separators.  3.0 and 4.0
    // escape what quotes cannot hold with RFC 6868's carets; 2.1 has no such
    // escapes, so there quotes and line ends are dropped.
    std::string parameter_value(std::string_view value) const
    {
        if (value.find_first_of(";:,\"^\r\n") == std::string_view::npos)
            return std::string(value);
        std::string result = "\"";
        for (char c : value) {
            switch (c) {
            case '^': result += v21() ? "^" : "^^"; break;
            case '"': result += v21() ? "" : "^'"; break;
            case '\n': result += v21() ? "" : "^n"; break;
            case '\r': break;
            default: result += c;
            }
        }
        result += '"';
        return result;
    }

    // A type parameter in the version's form: ;HOME (2.1), ;TYPE=HOME
    // (3.0), ;TYPE=home (4.0).
    std::string type_parameter(std::string_view type) const
    {
        if (v21())
            return ";" + std::string(type);
        return ";TYPE=" + (v40() ? lower(type) : std::string(type));
    }

    std::string preferred_parameter() const
    {
        return v40() ? ";PREF=1" : type_parameter("PREF");
    }

    // One property; `value` is already escaped.
    void property(std::string_view name_and_parameters, std::string_view value)
    {
        if (v21())
            property_21(name_and_parameters, value);
        else
            folded(std::string(name_and_parameters) + ":" + std::string(value));
    }

    // A binary value in BASE64; 2.1 ends the block with an empty line.
    void binary(std::string_view name, const std::uint8_t *data, std::size_t size)
    {
        gchar *encoded = g_base64_encode(data, size);
        const std::string line = std::string(name) + (v21() ? ";ENCODING=BASE64:" : ";ENCODING=b:") + encoded;
        g_free(encoded);
        folded(line);
        if (v21())
            out_ += "\r\n";
    }

private:
    void folded(std::string_view line)
    {
        std::size_t width = kFoldWidth;
        while (line.size() > width) {
            std::size_t cut = width;
            while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xc0) == 0x80)
                --cut;
            out_.append(line.substr(0, cut));
            out_ += "\r\n ";
            line.remove_prefix(cut);
            width = kFoldWidth - 1;
        }
        out_.append(line);
        out_ += "\r\n";
    }

    // 2.1 lines are not folded; a value that is not plain printable ASCII
    // goes out QUOTED-PRINTABLE with soft line breaks.
    void property_21(std::string_view name_and_parameters, std::string_view value)
    {
        bool ascii = true, printable = true;
        for (char c : value) {
            const auto byte = static_cast<unsigned char>(c);
            ascii = ascii && byte < 0x80;
            printable = printable && byte >= 0x20 && byte < 0x7f;
        }
        if (printable) {
            out_.append(name_and_parameters);
            out_ += ':';
            out_.append(value);
            out_ += "\r\n";
            return;
        }
        std::string line(name_and_parameters);
        line += ";ENCODING=QUOTED-PRINTABLE";
        if (!ascii)
            line += ";CHARSET=UTF-8";
        line += ':';
        std::size_t column = line.size();
        static constexpr char kHex[] = "0123456789ABCDEF";
        for (std::size_t i = 0; i < value.size(); ++i) {
            const auto byte = static_cast<unsigned char>(value[i]);
            // A space stays literal inside a line; at a line's start or the
            // value's end readers may drop it, so it is escaped there.
            bool literal = (byte > 0x20 && byte < 0x7f && byte != '=') || (byte == ' ' && i + 1 < value.size());
            if (column + (literal ? 1 : 3) > kQuotedLineWidth - 1) {
                line += "=\r\n";
                column = 0;
            }
            if (byte == ' ' && column == 0)
                literal = false;
            if (literal) {
                line += char(byte);
                column += 1;
            } else {
                line += '=';
                line += kHex[byte >> 4];
                line += kHex[byte & 0xf];
                column += 3;
            }
        }
        out_ += line;
        out_ += "\r\n";
    }

    std::string &out_;
    VCardVersion version_;
};

std::string type_name(std::int32_t type)
{
    for (const auto &row : fields::kTypeNames)
        if (row.type == type)
            return std::string(row.value);
    return {};
}

std::string timestamp(std::int32_t seconds, bool basic)
{
    const time_t value = seconds;
    std::tm time{};
    gmtime_r(&value, &time);
    char text[32];
    std::strftime(text, sizeof text, basic ? "%Y%m%dT%H%M%SZ" : "%Y-%m-%dT%H:%M:%SZ", &time);
    return text;
}

bool is_date(std::string_view text) // YYYY-MM-DD
{
    if (text.size() != 10 || text[4] != '-' || text[7] != '-')
        return false;
    for (std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (text[i] < '0' || text[i] > '9')
            return false;
    return true;
}

bool is_month_day(std::string_view text) // MM-DD
{
    return text.size() == 5 && text[2] == '-' && std::isdigit(static_cast<unsigned char>(text[0])) &&
           std::isdigit(static_cast<unsigned char>(text[1])) && std::isdigit(static_cast<unsigned char>(text[3])) &&
           std::isdigit(static_cast<unsigned char>(text[4]));
}

void write_elements(CardWriter &card, const Record &record)
{
    const Bytes phones = record.section(kPhoneSection);
    for (std::size_t at = 0; at < phones.size(); at += contact_wire::kPhoneInfoSize) {
        const std::uint8_t *element = phones.data() + at;
        std::string name = "TEL";
        const std::string type = type_name(contact_wire::read_i32(element, fields::phone::type));
        if (!type.empty())
            name += card.type_parameter(type);
        if (contact_wire::read_i32(element, fields::phone::is_primary) != 0)
            name += card.preferred_parameter();
        card.property(name, card.escaped(element_text(element, fields::phone::number, fields::phone::number_width)));
    }

    const Bytes emails = record.section(kEmailSection);
    for (std::size_t at = 0; at < emails.size(); at += contact_wire::kEmailInfoSize) {
        const std::uint8_t *element = emails.data() + at;
        std::string name = "EMAIL";
        if (!card.v40())
            name += card.type_parameter("INTERNET");
        const std::string type = type_name(contact_wire::read_i32(element, fields::email::type));
        if (!type.empty())
            name += card.type_parameter(type);
        if (contact_wire::read_i32(element, fields::email::is_primary) != 0)
            name += card.preferred_parameter();
        card.property(name, card.escaped(element_text(element, fields::email::address, fields::email::address_width)));
    }

    const Bytes postals = record.section(fields::kPostalSection);
    for (std::size_t at = 0; at < postals.size(); at += contact_wire::kPostalInfoSize) {
        const std::uint8_t *element = postals.data() + at;
        std::string name = "ADR";
        const std::string type = type_name(contact_wire::read_i32(element, fields::kPostalTypeOffset));
        if (!type.empty())
            name += card.type_parameter(type);
        std::string value;
        for (const auto &component : fields::kAddressComponents) {
            if (&component != &fields::kAddressComponents[0])
                value += ';';
            value += card.escaped(element_text(element, component.offset, component.width));
        }
        card.property(name, value);
    }

    const Bytes ims = record.section(kImSection);
    for (std::size_t at = 0; at < ims.size(); at += contact_wire::kImSize) {
        const std::uint8_t *element = ims.data() + at;
        const std::string service = element_text(element, fields::im::service_name, fields::im::service_name_width);
        std::string scheme(fields::kGenericImScheme);
        for (const auto &row : fields::kImServices)
            if (!row.scheme.empty() && service == row.service_name)
                scheme = row.scheme;
        std::string name = "IMPP";
        if (!service.empty())
            name += ";X-SERVICE-TYPE=" + card.parameter_value(service);
        if (const std::int32_t type = contact_wire::read_i32(element, fields::im::type))
            name += ";X-QUORVEL-TYPE=" + std::to_string(type);
        if (const std::int32_t status = contact_wire::read_i32(element, fields::im::status))
            name += ";X-QUORVEL-STATUS=" + std::to_string(status);
        card.property(name, scheme + ":" + card.escaped(element_text(element, fields::im::account, fields::im::account_width)));
    }

    const Bytes sns = record.section(fields::kSnsSection);
    for (std::size_t at = 0; at < sns.size(); at += contact_wire::kSnsSize) {
        const std::uint8_t *element = sns.data() + at;
        const std::string service = element_text(element, fields::sns::service_name, fields::sns::service_name_width);
        std::string name = "X-SOCIALPROFILE";
        if (!service.empty())
            name += ";X-SERVICE-TYPE=" + card.parameter_value(service);
        if (const std::int32_t type = contact_wire::read_i32(element, fields::sns::type))
            name += ";X-QUORVEL-TYPE=" + std::to_string(type);
        card.property(name, card.escaped(element_text(element, fields::sns::account, fields::sns::account_width)));
    }
}

} // namespace

VCardVersion vcard_version_for(int convert_param)
{
    switch (convert_param) {
    case kVCardParamDefault:
    case kVCardParam30: return VCardVersion::V30;
    case kVCardParam21: return VCardVersion::V21;
    case kVCardParam40: return VCardVersion::V40;
    }
    fail(kInvalidArgument, "convert_param " + std::to_string(convert_param) +
                               " selects no vCard version (0 or 30: 3.0, 21: 2.1, 40: 4.0)");
}

void append_vcard(std::string &out, const Record &record, VCardVersion version)
{
    CardWriter card(out, version);
    out += "BEGIN:VCARD\r\n";
    out += card.v21() ? "VERSION:2.1\r\n" : card.v40() ? "VERSION:4.0\r\n" : "VERSION:3.0\r\n";

    card.property("N", card.components({record.text(text_field::last_name), record.text(text_field::first_name),
                                        record.text(text_field::middle_name), record.text(fields::name_prefix),
                                        record.text(fields::name_suffix)}));
    for (const auto &row : fields::kTextProperties) {
        const std::string value = record.text(row.field);
        if (!value.empty() || row.property == "FN")
            card.property(row.property, card.escaped(value));
    }
    const std::string company = record.text(text_field::company), department = record.text(text_field::department);
    if (!company.empty() || !department.empty())
        card.property("ORG", department.empty() ? card.escaped(company) : card.components({company, department}));

    const std::string birthday = record.text(text_field::birthday);
    if (!birthday.empty()) {
        std::string value = birthday;
        if (card.v40() && is_date(birthday))
            value = birthday.substr(0, 4) + birthday.substr(5, 2) + birthday.substr(8, 2);
        card.property("BDAY", card.escaped(value));
    }
    const std::string anniversary = record.text(fields::anniversary);
    if (!anniversary.empty()) {
        const std::string value =
            is_month_day(anniversary) ? "--" + anniversary.substr(0, 2) + anniversary.substr(3, 2) : anniversary;
        card.property(card.v40() ? "ANNIVERSARY" : "X-ANNIVERSARY", card.escaped(value));
    }
    const std::string photo = record.text(text_field::photo_path);
    if (!photo.empty()) {
        const std::string uri = photo.front() == '/' ? "file://" + photo : photo;
        card.property(card.v21() ? "PHOTO;VALUE=URL" : card.v40() ? "PHOTO" : "PHOTO;VALUE=uri", card.escaped(uri));
    }

    write_elements(card, record);

    const std::string note = record.note();
    if (!note.empty())
        card.property("NOTE", card.escaped(note));
    const Bytes about = record.section(fields::kAboutSection);
    if (!about.empty())
        card.property("X-QUORVEL-ABOUT", card.escaped(std::string(about.begin(), about.end() - 1)));
    const Bytes presence = record.section(fields::kPresenceSection);
    if (!presence.empty())
        card.property("X-QUORVEL-PRESENCE", card.escaped(std::string(presence.begin(), presence.end() - 1)));

    for (const auto &row : fields::kIntProperties)
        if (const std::int32_t value = record.get_int(row.offset))
            card.property(row.property, std::to_string(value));
    if (const std::int32_t modified = record.get_int(fields::kModifiedTimeOffset))
        card.property("REV", timestamp(modified, card.v40()));

    if (record.get_int(contact_wire::offset::contact_id_data) != 0) {
        const Bytes &bytes = record.bytes();
        const std::size_t size = contact_wire::announced_size(bytes.data());
        if (size == bytes.size() && size >= contact_wire::kFixedSize + contact_wire::kIdDataSize)
            card.binary("X-QUORVEL-ID-DATA", bytes.data() + size - contact_wire::kIdDataSize, contact_wire::kIdDataSize);
    }
    out += "END:VCARD\r\n";
}

std::string write_vcard(const Record &record, VCardVersion version)
{
    std::string out;
    append_vcard(out, record, version);
    return out;
}

} // namespace contact_engine
