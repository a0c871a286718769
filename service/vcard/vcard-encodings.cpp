#include "vcard/vcard-encodings.h"

#include <glib.h>

#include <cstdint>

#include "contacts/contact-record.h"
#include "core/service-error.h"
#include "vcard/vcard-text.h"

namespace contact_engine::vcard_detail {

namespace {

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Soft line breaks were joined while unfolding; an '=' left at the very end
// (a writer that broke before the end of the card) means nothing.
std::string decode_quoted_printable(std::string_view text, std::size_t line, const std::string &property)
{
    std::string bytes;
    bytes.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '=') {
            bytes += text[i];
            continue;
        }
        if (i + 1 == text.size())
            break;
        const int high = hex_digit(text[i + 1]);
        const int low = i + 2 < text.size() ? hex_digit(text[i + 2]) : -1;
        if (high < 0 || low < 0)
            fail_at(kVCardBadEncoding, line,
                    "the QUOTED-PRINTABLE value of " + property + " has a broken escape at character " +
                        std::to_string(i + 1));
        bytes += char(high << 4 | low);
        i += 2;
    }
    return bytes;
}

int base64_digit(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

// Whitespace is skipped (folded and indented 2.1 blocks); padding is
// optional but nothing may follow it.
std::string decode_base64(std::string_view text, std::size_t line, const std::string &property)
{
    std::string bytes;
    bytes.reserve(text.size() / 4 * 3 + 3);
    std::uint32_t bits = 0;
    int held = 0;
    std::size_t digits = 0;
    bool padding = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
            continue;
        if (c == '=') {
            padding = true;
            continue;
        }
        const int digit = base64_digit(c);
        if (digit < 0 || padding)
            fail_at(kVCardBadEncoding, line,
                    "the BASE64 value of " + property + " is broken at character " + std::to_string(i + 1));
        bits = bits << 6 | std::uint32_t(digit);
        held += 6;
        ++digits;
        if (held >= 8) {
            held -= 8;
            bytes += char(bits >> held & 0xff);
        }
    }
    if (digits % 4 == 1)
        fail_at(kVCardBadEncoding, line, "the BASE64 value of " + property + " ends in the middle of a byte");
    return bytes;
}

bool is_utf8(std::string_view text)
{
    return valid_utf8(reinterpret_cast<const std::uint8_t *>(text.data()), text.size());
}

// Any character set GLib's iconv knows.  Whether it knows one is asked by
// opening the converter: the error code of a failed g_convert does not say
// reliably whether the name or the bytes were wrong.
std::string to_utf8(std::string_view bytes, const std::string &charset, std::size_t line,
                    const std::string &property)
{
    const GIConv converter = g_iconv_open("UTF-8", charset.c_str());
    if (converter == reinterpret_cast<GIConv>(-1))
        fail_at(kVCardUnknownCharset, line, "CHARSET=" + charset + " of " + property + " is not known");
    gsize written = 0;
    GError *error = nullptr;
    gchar *converted = g_convert_with_iconv(bytes.data(), gssize(bytes.size()), converter, nullptr, &written, &error);
    g_iconv_close(converter);
    if (converted == nullptr) {
        const std::string detail = error != nullptr ? error->message : "conversion failed";
        g_clear_error(&error);
        fail_at(kVCardBadEncoding, line, "the value of " + property + " is not valid " + charset + ": " + detail);
    }
    std::string result(converted, written);
    g_free(converted);
    if (!is_utf8(result))
        fail_at(kVCardBadEncoding, line, "the value of " + property + " does not convert from " + charset + " to UTF-8");
    return result;
}

} // namespace

// vCard 4.0 and RFC 6868 parameter values: ^n, ^' and ^^.
std::string decode_caret(std::string_view value)
{
    std::string result;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '^' && i + 1 < value.size()) {
            const char next = value[i + 1];
            if (next == 'n' || next == 'N') {
                result += '\n', ++i;
                continue;
            }
            if (next == '\'') {
                result += '"', ++i;
                continue;
            }
            if (next == '^') {
                result += '^', ++i;
                continue;
            }
        }
        result += value[i];
    }
    return result;
}
namespace {

// "data:image/jpeg;base64,...." (4.0 PHOTO and others).
bool decode_data_uri(VCardProperty &property, std::size_t line_number)
{
    if (!starts_with_ignoring_case(property.value, "data:"))
        return false;
    const std::size_t comma = property.value.find(',');
    if (comma == std::string::npos)
        fail_at(kVCardBadEncoding, line_number, "the data: URI of " + property.name + " has no ','");
    std::string_view header = std::string_view(property.value).substr(5, comma - 5);
    const bool base64 = header.size() >= 7 && equals_ignoring_case(header.substr(header.size() - 7), ";base64");
    if (base64)
        header.remove_suffix(7);
    std::string media_type(header.substr(0, header.find(';')));
    std::string data = base64 ? decode_base64(std::string_view(property.value).substr(comma + 1), line_number, property.name)
                              : property.value.substr(comma + 1);
    property.value = std::move(data);
    property.binary = true;
    if (!media_type.empty())
        property.parameters.emplace_back("MEDIATYPE", std::move(media_type));
    return true;
}

} // namespace

void decode_value(VCardProperty &property, std::size_t line_number, VCardVersion version)
{
    if (const std::string *encoding = property.parameter("ENCODING")) {
        if (equals_ignoring_case(*encoding, "QUOTED-PRINTABLE")) {
            property.value = decode_quoted_printable(property.value, line_number, property.name);
        } else if (equals_ignoring_case(*encoding, "BASE64") || equals_ignoring_case(*encoding, "B")) {
            property.value = decode_base64(property.value, line_number, property.name);
            property.binary = true;
            return;
        } else if (!equals_ignoring_case(*encoding, "8BIT") && !equals_ignoring_case(*encoding, "7BIT")) {
            fail_at(kVCardBadEncoding, line_number, "ENCODING=" + *encoding + " of " + property.name + " is not known");
        }
    } else if (property.name == "PHOTO" && decode_data_uri(property, line_number)) {
        return;
    }
    const std::string *charset = property.parameter("CHARSET");
    if (charset != nullptr && !equals_ignoring_case(*charset, "UTF-8") && !equals_ignoring_case(*charset, "US-ASCII")) {
        property.value = to_utf8(property.value, *charset, line_number, property.name);
    } else if (!is_utf8(property.value)) {
        // 2.1 knows no default charset; phones of its time wrote their
        // local 8-bit one, almost always a Latin-1 superset.
        if (version != VCardVersion::V21 || charset != nullptr)
            fail_at(kInvalidUtf8, line_number, "the value of " + property.name + " is not valid UTF-8");
        property.value = to_utf8(property.value, "WINDOWS-1252", line_number, property.name);
    }
    // Texts keep their line ends as line feeds.
    if (property.value.find('\r') != std::string::npos) {
        std::string text;
        for (std::size_t i = 0; i < property.value.size(); ++i)
            if (!(property.value[i] == '\r' && i + 1 < property.value.size() && property.value[i + 1] == '\n'))
                text += property.value[i];
        property.value = std::move(text);
    }
}

} // namespace contact_engine::vcard_detail
