// The vCard reader's input: bytes from a text or a descriptor, read in
// 64 KiB steps, turned into logical lines (folds and QUOTED-PRINTABLE soft
// line breaks joined), each with its byte offset and line number.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace contact_engine::vcard_detail {

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Up to `size` bytes from absolute position `at`; 0 at the end.
    virtual std::size_t read_at(std::uint64_t at, char *into, std::size_t size) = 0;
};

// `text` must outlive the source.
std::unique_ptr<ByteSource> text_source(std::string_view text);
// Reads `fd` by position (pread) up to byte `end` (the input ends there, whatever
// the file holds after it); closes it at the end when `owned`.
std::unique_ptr<ByteSource> descriptor_source(int fd, bool owned, std::uint64_t end = UINT64_MAX);

// One logical line, without its line end.
struct VCardLine {
    std::string text;
    std::uint64_t start = 0;  // byte offset of its first physical line
    std::size_t number = 0;   // line number of its first physical line
    bool too_long = false;    // longer than kVCardMaxLineBytes: text holds nothing
};

class VCardLines {
public:
    VCardLines(std::unique_ptr<ByteSource> source, std::uint64_t offset);

    // The next logical line into `line` (its memory reused); false at the
    // end of the input.  Past the line limit it reads on to the line end but
    // keeps nothing more, so a 50 MB line costs no memory.
    bool read(VCardLine &line);
    // Goes back to byte `at`, where line `line_number` + 1 starts.
    void seek(std::uint64_t at, std::size_t line_number);
    // Byte offset of the next unread byte.
    std::uint64_t position() const { return buffer_start_ + position_; }

private:
    bool fill();
    int peek();
    int peek_at(std::size_t ahead);
    std::size_t blank_run();
    bool property_at(std::size_t ahead);
    void skip(std::size_t length);
    bool read_physical(std::string &into, bool &too_long);
    static bool soft_break_pending(const std::string &text);

    std::unique_ptr<ByteSource> source_;
    std::string buffer_;
    std::size_t position_ = 0;
    std::uint64_t buffer_start_;
    std::size_t line_number_ = 0; // physical lines read so far
    bool at_end_ = false;
};

} // namespace contact_engine::vcard_detail
