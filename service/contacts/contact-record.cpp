#include "contacts/contact-record.h"

#include <array>
#include <chrono>
#include <cstring>

#include "core/service-error.h"
#include "core/service-limits.h"

namespace contact_engine {

namespace {

using contact_wire::kSections;
using contact_wire::SectionKind;

// Limits on what one record may announce: far beyond any real contact, and
// small enough that a hostile count cannot make the service allocate much.
constexpr std::int32_t kMaxElements = 10000;
constexpr std::int32_t kMaxTextLength = 1 << 20;

// The fixed text fields that must be terminated, valid UTF-8 strings.
constexpr std::array<TextField, 13> kCheckedTexts{{
    text_field::display_name, text_field::first_name, text_field::last_name, text_field::middle_name,
    text_field::nickname, text_field::company, text_field::job_title, text_field::department,
    text_field::birthday, text_field::ringtone_path, text_field::photo_path, text_field::website,
    text_field::message_tone_path,
}};

void check_terminated_utf8(const std::uint8_t *text, std::size_t width, const std::string &what)
{
    const void *nul = std::memchr(text, 0, width);
    if (nul == nullptr)
        fail(kInvalidUtf8, what + " is not NUL-terminated within its " + std::to_string(width) + " bytes");
    if (!valid_utf8(text, std::size_t(static_cast<const std::uint8_t *>(nul) - text)))
        fail(kInvalidUtf8, what + " is not valid UTF-8");
}

} // namespace

bool valid_utf8(const std::uint8_t *text, std::size_t length)
{
    std::size_t i = 0;
    while (i < length) {
        const std::uint8_t lead = text[i];
        std::size_t extra;
        std::uint32_t code;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xe0) == 0xc0) {
            extra = 1, code = lead & 0x1f;
        } else if ((lead & 0xf0) == 0xe0) {
            extra = 2, code = lead & 0x0f;
        } else if ((lead & 0xf8) == 0xf0) {
            extra = 3, code = lead & 0x07;
        } else {
            return false;
        }
        if (length - i <= extra)
            return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            if ((text[i + k] & 0xc0) != 0x80)
                return false;
            code = code << 6 | (text[i + k] & 0x3f);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        static constexpr std::uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
        if (code < kMinimum[extra] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff))
            return false;
        i += extra + 1;
    }
    return true;
}

bool valid_birthday(std::string_view value)
{
    if (value.empty())
        return true;
    if (value.size() != 10 || value[4] != '-' || value[7] != '-')
        return false;
    const auto number = [&](std::size_t from, std::size_t digits) {
        int result = 0;
        for (std::size_t at = from; at < from + digits; ++at) {
            if (value[at] < '0' || value[at] > '9')
                return -1;
            result = result * 10 + (value[at] - '0');
        }
        return result;
    };
    const int year = number(0, 4), month = number(5, 2), day = number(8, 2);
    if (year < 1 || month < 0 || day < 0)
        return false;
    return std::chrono::year_month_day{std::chrono::year(year), std::chrono::month(unsigned(month)),
                                       std::chrono::day(unsigned(day))}
        .ok();
}

Record Record::blank()
{
    return Record(Bytes(contact_wire::kFixedSize, 0));
}

Record Record::parse(Bytes bytes)
{
    if (bytes.size() > limits::kMaxRecordSize)
        fail(kRecordTooLarge, "a record of " + std::to_string(bytes.size()) + " bytes is larger than the " +
                                  std::to_string(limits::kMaxRecordSize) + "-byte limit");
    if (bytes.size() < contact_wire::kFixedSize)
        fail(kMalformedRecord, "a record of " + std::to_string(bytes.size()) +
                                   " bytes is shorter than the 4480-byte fixed part");
    for (const auto &section : kSections) {
        const std::int32_t count = contact_wire::read_i32(bytes.data(), section.count_offset);
        const std::int32_t limit = section.kind == SectionKind::Text ? kMaxTextLength : kMaxElements;
        if (count < 0 || count > limit)
            fail(kMalformedRecord, std::string("the ") + section.name + " count " + std::to_string(count) +
                                       " is outside 0.." + std::to_string(limit));
    }
    const std::size_t announced = contact_wire::announced_size(bytes.data());
    if (announced != bytes.size())
        fail(kMalformedRecord, "a record of " + std::to_string(bytes.size()) + " bytes whose counts announce " +
                                   std::to_string(announced));

    Record record(std::move(bytes));
    for (std::size_t which = 0; which < kSections.size(); ++which) {
        const auto &section = kSections[which];
        if (section.kind != SectionKind::Text || record.count(which) == 0)
            continue;
        const std::uint8_t *text = record.bytes_.data() + record.section_start(which);
        const std::size_t length = std::size_t(record.count(which));
        if (text[length] != 0 || std::memchr(text, 0, length) != nullptr)
            fail(kInvalidUtf8, std::string("the ") + section.name + " text is not " + std::to_string(length) +
                                   " characters and a NUL");
        if (!valid_utf8(text, length))
            fail(kInvalidUtf8, std::string("the ") + section.name + " text is not valid UTF-8");
    }
    for (const TextField &field : kCheckedTexts)
        check_terminated_utf8(record.bytes_.data() + field.offset, field.width, field.name);
    const Bytes phones = record.section(kPhoneSection);
    for (std::size_t at = 0; at < phones.size(); at += contact_wire::kPhoneInfoSize)
        check_terminated_utf8(phones.data() + at + kPhoneNumberOffset, kPhoneNumberWidth,
                              "phone number " + std::to_string(at / contact_wire::kPhoneInfoSize + 1));
    if (const std::string birthday = record.text(text_field::birthday); !valid_birthday(birthday))
        fail(kInvalidArgument, "the birthday \"" + birthday + "\" is not \"\" or a date as YYYY-MM-DD");
    record.normalise_pointers();
    return record;
}

void Record::set_address(int storage, int index)
{
    set_int(contact_wire::offset::index, index);
    set_int(contact_wire::offset::storage_type, storage);
}

// Pointer fields mean nothing outside the sender; they are stored as 0 for
// an absent section and 1 for a present one.
void Record::normalise_pointers()
{
    for (std::size_t which = 0; which < kSections.size(); ++which)
        set_int(kSections[which].pointer_offset, count(which) > 0 ? 1 : 0);
    set_int(contact_wire::offset::contact_id_data, get_int(contact_wire::offset::contact_id_data) != 0 ? 1 : 0);
}

std::string Record::text(const TextField &field) const
{
    const char *start = reinterpret_cast<const char *>(bytes_.data() + field.offset);
    return std::string(start, strnlen(start, field.width));
}

void Record::set_text(const TextField &field, const std::string &value)
{
    if (value.size() >= field.width)
        fail(kValueTooLong, std::string("the ") + field.name + " holds at most " + std::to_string(field.width - 1) +
                                " bytes");
    if (!valid_utf8(reinterpret_cast<const std::uint8_t *>(value.data()), value.size()) ||
        value.find('\0') != std::string::npos)
        fail(kInvalidUtf8, std::string("the new ") + field.name + " is not valid UTF-8");
    std::memset(bytes_.data() + field.offset, 0, field.width);
    std::memcpy(bytes_.data() + field.offset, value.data(), value.size());
}

std::size_t Record::section_start(std::size_t which) const
{
    std::size_t start = contact_wire::kFixedSize;
    for (std::size_t before = 0; before < which; ++before)
        start += contact_wire::section_bytes(kSections[before], count(before));
    return start;
}

Bytes Record::section(std::size_t which) const
{
    const std::size_t start = section_start(which);
    return Bytes(bytes_.begin() + std::ptrdiff_t(start),
                 bytes_.begin() + std::ptrdiff_t(start + contact_wire::section_bytes(kSections[which], count(which))));
}

void Record::replace_section(std::size_t which, const Bytes &data, std::int32_t new_count)
{
    const std::size_t start = section_start(which);
    const std::size_t old_end = start + contact_wire::section_bytes(kSections[which], count(which));
    const std::size_t new_size = bytes_.size() - (old_end - start) + data.size();
    if (new_size > limits::kMaxRecordSize)
        fail(kRecordTooLarge, "the record would grow to " + std::to_string(new_size) + " bytes, past the " +
                                  std::to_string(limits::kMaxRecordSize) + "-byte limit");
    Bytes rebuilt(bytes_.begin(), bytes_.begin() + std::ptrdiff_t(start));
    rebuilt.insert(rebuilt.end(), data.begin(), data.end());
    rebuilt.insert(rebuilt.end(), bytes_.begin() + std::ptrdiff_t(old_end), bytes_.end());
    bytes_ = std::move(rebuilt);
    set_int(kSections[which].count_offset, new_count);
    normalise_pointers();
}

void Record::set_note(const std::string &text)
{
    if (text.size() > std::size_t(kMaxTextLength))
        fail(kValueTooLong, "a note holds at most " + std::to_string(kMaxTextLength) + " bytes");
    if (!valid_utf8(reinterpret_cast<const std::uint8_t *>(text.data()), text.size()) ||
        text.find('\0') != std::string::npos)
        fail(kInvalidUtf8, "the new note is not valid UTF-8");
    Bytes data(text.begin(), text.end());
    if (!data.empty())
        data.push_back(0);
    replace_section(kNoteSection, data, std::int32_t(text.size()));
}

std::string Record::note() const
{
    const Bytes data = section(kNoteSection);
    return data.empty() ? std::string() : std::string(data.begin(), data.end() - 1);
}

std::vector<std::string> Record::phone_numbers() const
{
    const Bytes phones = section(kPhoneSection);
    std::vector<std::string> numbers;
    for (std::size_t at = 0; at < phones.size(); at += contact_wire::kPhoneInfoSize) {
        const char *number = reinterpret_cast<const char *>(phones.data() + at + kPhoneNumberOffset);
        numbers.emplace_back(number, strnlen(number, kPhoneNumberWidth));
    }
    return numbers;
}

} // namespace contact_engine
