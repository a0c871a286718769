#include "vcard/vcard-lines.h"

#include <glib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/service-error.h"
#include "core/service-limits.h"
#include "vcard/vcard-text.h"

namespace contact_engine::vcard_detail {

namespace {

constexpr std::size_t kReadChunk = 64 * 1024;
// How far the line reader looks ahead past empty lines, and into a line for
// a property name.
constexpr std::size_t kBlankLookahead = 16;
constexpr std::size_t kNameLookahead = 64;

class TextSource final : public ByteSource {
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

class DescriptorSource final : public ByteSource {
public:
    DescriptorSource(int fd, bool owned, std::uint64_t end) : fd_(fd), owned_(owned), end_(end) {}
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

std::unique_ptr<ByteSource> text_source(std::string_view text)
{
    return std::make_unique<TextSource>(text);
}

std::unique_ptr<ByteSource> descriptor_source(int fd, bool owned, std::uint64_t end)
{
    return std::make_unique<DescriptorSource>(fd, owned, end);
}

VCardLines::VCardLines(std::unique_ptr<ByteSource> source, std::uint64_t offset)
    : source_(std::move(source)), buffer_start_(offset)
{
}

bool VCardLines::fill()
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

int VCardLines::peek()
{
    if (position_ == buffer_.size() && !fill())
        return -1;
    return static_cast<unsigned char>(buffer_[position_]);
}

void VCardLines::seek(std::uint64_t at, std::size_t line_number)
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
bool VCardLines::read_physical(std::string &into, bool &too_long)
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
bool VCardLines::soft_break_pending(const std::string &text)
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

// Makes the buffer hold `ahead` bytes past the read position when the input
// has them, dropping what was already read.
int VCardLines::peek_at(std::size_t ahead)
{
    while (position_ + ahead >= buffer_.size()) {
        if (at_end_)
            return -1;
        buffer_.erase(0, position_);
        buffer_start_ += position_;
        position_ = 0;
        const std::size_t held = buffer_.size();
        buffer_.resize(held + kReadChunk);
        const std::size_t count = source_->read_at(buffer_start_ + held, buffer_.data() + held, kReadChunk);
        buffer_.resize(held + count);
        if (count == 0)
            at_end_ = true;
    }
    return static_cast<unsigned char>(buffer_[position_ + ahead]);
}

// Bytes of empty lines (line ends only) from the read position on, looked
// at no further than a few lines ahead.
std::size_t VCardLines::blank_run()
{
    std::size_t length = 0;
    for (int next = peek_at(0); (next == '\r' || next == '\n') && length < kBlankLookahead; next = peek_at(length))
        ++length;
    return length;
}

// Whether a property line ("NAME;" or "NAME:", the name of letters,
// digits, '-', '_' and '.') starts `ahead` bytes from the read position.
bool VCardLines::property_at(std::size_t ahead)
{
    for (std::size_t i = 0; i < kNameLookahead; ++i) {
        const int next = peek_at(ahead + i);
        if (next == ';' || next == ':')
            return i > 0;
        if (next < 0 || !(g_ascii_isalnum(char(next)) || next == '-' || next == '_' || next == '.'))
            return false;
    }
    return false;
}

void VCardLines::skip(std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i)
        if (buffer_[position_ + i] == '\n')
            ++line_number_;
    position_ += length;
}

// Some phones write an empty line after every line, inside folded values
// and after QUOTED-PRINTABLE soft line breaks too.  An empty line followed
// by a folded line (a space or tab first) is therefore passed over, and so
// is one after a soft line break unless a property follows it: then the
// soft break only ended the value.
bool VCardLines::read(VCardLine &line)
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
            const std::size_t blank = blank_run();
            if (blank > 0 && !property_at(blank))
                skip(blank);
            read_physical(line.text, line.too_long);
        } else if (next == ' ' || next == '\t') {
            ++position_;
            read_physical(line.text, line.too_long);
        } else if (next == '\r' || next == '\n') {
            const std::size_t blank = blank_run();
            const int after = peek_at(blank);
            if (after != ' ' && after != '\t')
                return true;
            skip(blank);
        } else {
            return true;
        }
    }
}

} // namespace contact_engine::vcard_detail
