#include "vcard/vcard-encodings.h"

#include <glib.h>

#include <algorithm>
#include <cerrno>
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

constexpr std::string_view kReplacement = "\xEF\xBF\xBD"; // U+FFFD

// GLib's iconv converter, closed with its holder.
struct Converter {
    GIConv iconv;
    explicit Converter(const std::string &from) : iconv(g_iconv_open("UTF-8", from.c_str())) {}
    ~Converter()
    {
        if (known())
            g_iconv_close(iconv);
    }
    Converter(const Converter &) = delete;
    Converter &operator=(const Converter &) = delete;
    bool known() const { return iconv != reinterpret_cast<GIConv>(-1); }
};

// `bytes` converted to UTF-8; a byte sequence that is not valid in the
// character set becomes U+FFFD and sets `repaired`.
std::string convert(std::string_view bytes, Converter &converter, bool &repaired)
{
    std::string result(bytes.size() * 2 + 16, '\0');
    gchar *in = const_cast<gchar *>(bytes.data());
    gsize in_left = bytes.size();
    std::size_t written = 0;
    while (true) {
        gchar *out = result.data() + written;
        gsize out_left = result.size() - written;
        const gsize status = g_iconv(converter.iconv, in_left > 0 ? &in : nullptr, &in_left, &out, &out_left);
        written = result.size() - out_left;
        if (status != gsize(-1) && in_left == 0)
            break;
        if (status != gsize(-1))
            continue;
        if (errno == E2BIG) {
            result.resize(result.size() * 2);
        } else {
            // Invalid (EILSEQ) or cut short (EINVAL): one byte becomes U+FFFD.
            repaired = true;
            if (result.size() - written < kReplacement.size())
                result.resize(result.size() * 2);
            result.replace(written, kReplacement.size(), kReplacement);
            written += kReplacement.size();
            ++in, --in_left;
            if (in_left == 0)
                break;
        }
    }
    result.resize(written);
    return result;
}

// `text` with each byte that is no part of a UTF-8 character as U+FFFD.
std::string repaired_utf8(std::string_view bytes)
{
    std::string text(bytes);
    text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
    gchar *valid = g_utf8_make_valid(text.data(), gssize(text.size()));
    std::string result(valid);
    g_free(valid);
    return result;
}

// Whether `text` holds at least one UTF-8 character of two or more bytes:
// then bytes that are not valid UTF-8 are damage, not another charset.
bool holds_utf8_sequences(std::string_view text)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (static_cast<unsigned char>(text[i]) < 0xc2)
            continue;
        const gunichar c = g_utf8_get_char_validated(text.data() + i, gssize(text.size() - i));
        if (c != gunichar(-1) && c != gunichar(-2))
            return true;
    }
    return false;
}

// Whether a repaired text kept anything but U+FFFD and blanks.
bool readable(std::string_view text)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, kReplacement.size(), kReplacement) == 0)
            i += kReplacement.size() - 1;
        else if (!g_ascii_isspace(text[i]))
            return true;
    }
    return false;
}

// The value as UTF-8.  A named CHARSET is converted with GLib's iconv
// (any character set it knows); bytes invalid in it become U+FFFD.  A
// CHARSET it does not know leaves a value that is UTF-8 already (ASCII
// mostly) as it is; any other is dropped.  Without a CHARSET a value that
// is not UTF-8 is read as Windows-1252 (what phones and Outlook of the 2.1
// era wrote), unless it holds UTF-8 characters too: then its stray bytes
// become U+FFFD.
std::string text_as_utf8(std::string_view bytes, const std::string *charset, VCardVersion version, std::size_t line,
                         const std::string &property, bool &repaired)
{
    const bool utf8 = charset == nullptr || equals_ignoring_case(*charset, "UTF-8") ||
                      equals_ignoring_case(*charset, "UTF8") || equals_ignoring_case(*charset, "US-ASCII");
    if (utf8 && is_utf8(bytes))
        return std::string(bytes);
    bool damaged = false;
    std::string text;
    if (!utf8) {
        Converter converter(*charset);
        if (!converter.known()) {
            if (is_utf8(bytes))
                return std::string(bytes);
            fail_at(kVCardUnknownCharset, line, "CHARSET=" + *charset + " of " + property + " is not known");
        }
        text = convert(bytes, converter, damaged);
    } else if (charset == nullptr && !holds_utf8_sequences(bytes)) {
        Converter converter("WINDOWS-1252");
        text = convert(bytes, converter, damaged);
        damaged = damaged || version != VCardVersion::V21;
    } else {
        text = repaired_utf8(bytes);
        damaged = true;
    }
    if (damaged && !readable(text))
        fail_at(charset == nullptr || utf8 ? kInvalidUtf8 : kVCardBadEncoding, line,
                "the value of " + property + " is not valid " + (charset != nullptr ? *charset : std::string("UTF-8")));
    repaired = repaired || damaged;
    return text;
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

bool decode_value(VCardProperty &property, std::size_t line_number, VCardVersion version)
{
    if (const std::string *encoding = property.parameter("ENCODING")) {
        if (equals_ignoring_case(*encoding, "QUOTED-PRINTABLE")) {
            property.value = decode_quoted_printable(property.value, line_number, property.name);
        } else if (equals_ignoring_case(*encoding, "BASE64") || equals_ignoring_case(*encoding, "B")) {
            property.value = decode_base64(property.value, line_number, property.name);
            property.binary = true;
            return false;
        } else if (!equals_ignoring_case(*encoding, "8BIT") && !equals_ignoring_case(*encoding, "7BIT")) {
            fail_at(kVCardBadEncoding, line_number, "ENCODING=" + *encoding + " of " + property.name + " is not known");
        }
    } else if (property.name == "PHOTO" && decode_data_uri(property, line_number)) {
        return false;
    }
    bool repaired = false;
    property.value = text_as_utf8(property.value, property.parameter("CHARSET"), version, line_number, property.name,
                                  repaired);
    // A NUL ends a text in the record: it is taken out so that the rest of
    // the value is kept.
    if (property.value.find('\0') != std::string::npos) {
        property.value.erase(std::remove(property.value.begin(), property.value.end(), '\0'), property.value.end());
        repaired = true;
    }
    // Texts keep their line ends as line feeds.
    if (property.value.find('\r') != std::string::npos) {
        std::string text;
        for (std::size_t i = 0; i < property.value.size(); ++i)
            if (!(property.value[i] == '\r' && i + 1 < property.value.size() && property.value[i + 1] == '\n'))
                text += property.value[i];
        property.value = std::move(text);
    }
    return repaired;
}

} // namespace contact_engine::vcard_detail
