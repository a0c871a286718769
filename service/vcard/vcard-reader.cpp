#include "vcard/vcard-reader.h"

#include <fcntl.h>
#include <glib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "core/service-error.h"
#include "vcard/vcard-fields.h"

namespace contact_engine {

namespace {

namespace fields = vcard_fields;

constexpr std::size_t kReadChunk = 64 * 1024;

bool equals_ignoring_case(std::string_view a, std::string_view b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return g_ascii_tolower(x) == g_ascii_tolower(y); });
}

bool starts_with_ignoring_case(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && equals_ignoring_case(text.substr(0, prefix.size()), prefix);
}

std::string upper(std::string_view text)
{
    std::string result(text);
    for (char &c : result)
        c = g_ascii_toupper(c);
    return result;
}

std::string lower(std::string_view text)
{
    std::string result(text);
    for (char &c : result)
        c = g_ascii_tolower(c);
    return result;
}

std::string_view trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

[[noreturn]] void fail_at(ErrorCode code, std::size_t line, const std::string &reason)
{
    fail(code, "line " + std::to_string(line) + ": " + reason);
}

// ---------------------------------------------------------------------------
// Value decoding

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

// ---------------------------------------------------------------------------
// Property lines

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

// Index of the first `wanted` at or after `from` outside double quotes, or npos.
std::size_t find_outside_quotes(std::string_view line, std::size_t from, std::string_view wanted)
{
    bool quoted = false;
    for (std::size_t i = from; i < line.size(); ++i) {
        if (line[i] == '"')
            quoted = !quoted;
        else if (!quoted && wanted.find(line[i]) != std::string_view::npos)
            return i;
    }
    return std::string_view::npos;
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

void parse_property(std::string_view line, std::size_t line_number, VCardVersion version, VCardProperty &property)
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

bool is_line(std::string_view line, std::string_view expected)
{
    return equals_ignoring_case(trim(line), expected);
}

} // namespace

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
// Input: byte sources and the line reader

namespace {

class Source {
public:
    virtual ~Source() = default;
    // Up to `size` bytes from absolute position `at`; 0 at the end.
    virtual std::size_t read_at(std::uint64_t at, char *into, std::size_t size) = 0;
};

class TextSource final : public Source {
public:
    explicit TextSource(std::string_view text) : text_(text) {}
    std::size_t read_at(std::uint64_t at, char *into, std::size_t size) override
    {
        if (at >= text_.size())
            return 0;
        const std::size_t count = std::min<std::size_t>(size, text_.size() - std::size_t(at));
        std::memcpy(into, text_.data() + at, count);
        return count;
    }

private:
    std::string_view text_;
};

class DescriptorSource final : public Source {
public:
    DescriptorSource(int fd, bool owned, std::uint64_t end = UINT64_MAX) : fd_(fd), owned_(owned), end_(end) {}
    ~DescriptorSource() override
    {
        if (owned_)
            ::close(fd_);
    }
    DescriptorSource(const DescriptorSource &) = delete;
    DescriptorSource &operator=(const DescriptorSource &) = delete;

    std::size_t read_at(std::uint64_t at, char *into, std::size_t size) override
    {
        if (at >= end_)
            return 0;
        size = std::size_t(std::min<std::uint64_t>(size, end_ - at));
        while (true) {
            const ssize_t count = ::pread(fd_, into, size, off_t(at));
            if (count >= 0)
                return std::size_t(count);
            if (errno != EINTR)
                fail(kVCardUnreadable, std::string("reading the vCard file failed: ") + std::strerror(errno));
        }
    }

private:
    int fd_;
    bool owned_;
    std::uint64_t end_; // the input ends here, whatever the file holds after it
};

} // namespace

class VCardReader::Input {
public:
    Input(std::unique_ptr<Source> source, std::uint64_t offset)
        : source_(std::move(source)), buffer_start_(offset), offset_(offset)
    {
    }

    std::optional<VCard> next_card();
    std::uint64_t offset() const { return offset_; }

private:
    struct Line {
        std::string text;
        std::uint64_t start = 0;
        std::size_t number = 0;
        bool too_long = false;
    };

    std::uint64_t position() const { return buffer_start_ + position_; }
    bool fill();
    int peek();
    void seek(std::uint64_t at, std::size_t line_number);
    bool read_physical(std::string &into, bool &too_long);
    bool read_logical(Line &line);
    static bool soft_break_pending(const std::string &text);

    std::unique_ptr<Source> source_;
    std::string buffer_;
    std::size_t position_ = 0;
    std::uint64_t buffer_start_;
    std::uint64_t offset_;
    std::size_t line_number_ = 0; // physical lines read so far
    bool at_end_ = false;

    // Kept between cards so their memory is reused.
    Line line_;
    std::vector<Line> lines_;
};

bool VCardReader::Input::fill()
{
    if (at_end_)
        return false;
    buffer_start_ += buffer_.size();
    buffer_.resize(kReadChunk);
    const std::size_t count = source_->read_at(buffer_start_, buffer_.data(), kReadChunk);
    buffer_.resize(count);
    position_ = 0;
    if (count == 0)
        at_end_ = true;
    return count > 0;
}

int VCardReader::Input::peek()
{
    if (position_ == buffer_.size() && !fill())
        return -1;
    return static_cast<unsigned char>(buffer_[position_]);
}

void VCardReader::Input::seek(std::uint64_t at, std::size_t line_number)
{
    buffer_.clear();
    position_ = 0;
    buffer_start_ = at;
    at_end_ = false;
    line_number_ = line_number;
}

// Appends one physical line without its line end.  Past the line limit it
// reads on to the line end but keeps nothing more, so a 50 MB line costs
// no memory.
bool VCardReader::Input::read_physical(std::string &into, bool &too_long)
{
    if (peek() < 0)
        return false;
    ++line_number_;
    while (true) {
        const char *begin = buffer_.data() + position_;
        const std::size_t available = buffer_.size() - position_;
        const void *newline = std::memchr(begin, '\n', available);
        const std::size_t length = newline ? std::size_t(static_cast<const char *>(newline) - begin) : available;
        if (!too_long && into.size() + length > limits::kVCardMaxLineBytes) {
            too_long = true;
            into.clear();
            into.shrink_to_fit();
        }
        if (!too_long)
            into.append(begin, length);
        position_ += length;
        if (newline) {
            ++position_;
            break;
        }
        if (!fill())
            break;
    }
    if (!into.empty() && into.back() == '\r')
        into.pop_back();
    return true;
}

// QUOTED-PRINTABLE lines that end in '=' go on in the next line, taken as
// it is: a space at its start is part of the value, not a fold.
bool VCardReader::Input::soft_break_pending(const std::string &text)
{
    if (text.empty() || text.back() != '=')
        return false;
    const std::size_t colon = find_outside_quotes(text, 0, ":");
    if (colon == std::string::npos)
        return false;
    const std::string_view header(text.data(), colon);
    for (std::size_t i = 0; i + 16 <= header.size(); ++i)
        if (equals_ignoring_case(header.substr(i, 16), "QUOTED-PRINTABLE"))
            return true;
    return false;
}

bool VCardReader::Input::read_logical(Line &line)
{
    line.text.clear();
    line.too_long = false;
    line.start = position();
    line.number = line_number_ + 1;
    if (!read_physical(line.text, line.too_long))
        return false;
    while (true) {
        const int next = peek();
        if (next >= 0 && !line.too_long && soft_break_pending(line.text)) {
            line.text.pop_back();
            read_physical(line.text, line.too_long);
        } else if (next == ' ' || next == '\t') {
            ++position_;
            read_physical(line.text, line.too_long);
        } else {
            return true;
        }
    }
}

std::optional<VCard> VCardReader::Input::next_card()
{
    Line &line = line_;
    do {
        if (!read_logical(line)) {
            offset_ = position();
            return std::nullopt;
        }
    } while (line.too_long || !is_line(line.text, "BEGIN:VCARD"));

    VCard card;
    card.begin_offset = line.start;
    const std::size_t begin_line = line.number;
    std::size_t stored = 0;
    std::size_t card_bytes = 0;
    std::optional<ServiceError> error;
    auto note_error = [&error](ErrorCode code, std::size_t at, const std::string &reason) {
        if (!error)
            error = ServiceError{code, "line " + std::to_string(at) + ": " + reason};
    };
    while (true) {
        if (!read_logical(line)) {
            offset_ = position();
            note_error(kVCardSyntax, begin_line, "the card has no END:VCARD");
            throw *error;
        }
        if (line.too_long) {
            note_error(kVCardTooLarge, line.number,
                       "a line longer than " + std::to_string(limits::kVCardMaxLineBytes >> 20) + " MiB");
            continue;
        }
        if (is_line(line.text, "END:VCARD"))
            break;
        if (is_line(line.text, "BEGIN:VCARD")) {
            // The next card starts here; the one before it never ended.
            offset_ = line.start;
            seek(line.start, line.number - 1);
            note_error(kVCardSyntax, begin_line, "the card has no END:VCARD before the next BEGIN:VCARD");
            throw *error;
        }
        if (trim(line.text).empty() || error)
            continue;
        card_bytes += line.text.size();
        if (card_bytes > limits::kVCardMaxCardBytes) {
            note_error(kVCardTooLarge, begin_line,
                       "the card is larger than " + std::to_string(limits::kVCardMaxCardBytes >> 20) + " MiB");
            continue;
        }
        if (stored == lines_.size())
            lines_.emplace_back();
        std::swap(lines_[stored++], line);
    }
    offset_ = position();
    card.end_offset = offset_;
    if (error)
        throw *error;

    std::string_view version_text;
    for (std::size_t i = 0; i < stored; ++i)
        if (starts_with_ignoring_case(lines_[i].text, "VERSION:"))
            version_text = trim(std::string_view(lines_[i].text).substr(8));
    if (version_text.empty() || version_text == "2.1")
        card.version = VCardVersion::V21;
    else if (version_text == "3.0")
        card.version = VCardVersion::V30;
    else if (version_text == "4.0")
        card.version = VCardVersion::V40;
    else
        fail_at(kVCardUnsupportedVersion, begin_line, "VERSION:" + std::string(version_text) + " is not 2.1, 3.0 or 4.0");

    card.properties.resize(stored);
    for (std::size_t i = 0; i < stored; ++i) {
        VCardProperty &property = card.properties[i];
        parse_property(lines_[i].text, lines_[i].number, card.version, property);
        decode_value(property, lines_[i].number, card.version);
    }
    return card;
}

// ---------------------------------------------------------------------------
// VCardReader

VCardReader::VCardReader(std::unique_ptr<Input> input) : input_(std::move(input)) {}
VCardReader::VCardReader(VCardReader &&) noexcept = default;
VCardReader &VCardReader::operator=(VCardReader &&) noexcept = default;
VCardReader::~VCardReader() = default;

VCardReader VCardReader::from_file(const std::string &path, std::uint64_t offset)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        fail(kVCardUnreadable, "cannot open " + path + ": " + std::strerror(errno));
    return VCardReader(std::make_unique<Input>(std::make_unique<DescriptorSource>(fd, true), offset));
}

VCardReader VCardReader::from_descriptor(int fd, std::uint64_t offset, std::uint64_t end)
{
    return VCardReader(std::make_unique<Input>(std::make_unique<DescriptorSource>(fd, false, end), offset));
}

VCardReader VCardReader::from_text(std::string_view text, std::uint64_t offset)
{
    return VCardReader(std::make_unique<Input>(std::make_unique<TextSource>(text), offset));
}

std::optional<VCard> VCardReader::next_card()
{
    return input_->next_card();
}

std::optional<ImportedContact> VCardReader::next_contact()
{
    std::optional<VCard> card = input_->next_card();
    if (!card)
        return std::nullopt;
    return contact_from_vcard(*card);
}

std::uint64_t VCardReader::offset() const
{
    return input_->offset();
}

ImportedContact read_vcard_contact(std::string_view text)
{
    VCardReader reader = VCardReader::from_text(text);
    std::optional<ImportedContact> contact = reader.next_contact();
    if (!contact)
        fail(kVCardSyntax, "the text holds no BEGIN:VCARD ... END:VCARD card");
    return std::move(*contact);
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
            if (row.field.offset == text_field::display_name.offset) {
                if (has_display_name)
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
    return contact;
}

} // namespace contact_engine
