// A contact's byte-array form as the service keeps it.  Records arrive from
// clients as bytes; Record::parse checks them against their own counts and
// texts and normalises the values only the service sets (address and
// pointer fields).  Every other byte is kept as sent, so a contact comes
// back exactly as it was stored.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/bytes.h"
#include "contact-engine-wire.h"

namespace contact_engine {

// A fixed-size text field of the record that the service reads.
struct TextField {
    const char *name;
    std::size_t offset;
    std::size_t width; // including the terminating NUL
};

namespace text_field {
inline constexpr TextField display_name{"display_name", 203, 128};
inline constexpr TextField first_name{"first_name", 16, 64};
inline constexpr TextField last_name{"last_name", 80, 64};
inline constexpr TextField middle_name{"middle_name", 1440, 64};
inline constexpr TextField nickname{"nickname", 331, 64};
inline constexpr TextField company{"company", 395, 128};
inline constexpr TextField job_title{"job_title", 523, 64};
inline constexpr TextField department{"department", 587, 64};
inline constexpr TextField birthday{"birthday", 184, 11};
inline constexpr TextField ringtone_path{"ringtone_path", 651, 128};
inline constexpr TextField photo_path{"photo_path", 800, 256};
inline constexpr TextField website{"website", 1056, 256};
inline constexpr TextField message_tone_path{"message_tone_path", 1504, 256};
} // namespace text_field

// Layout of the element records the service looks into.
inline constexpr std::size_t kPhoneNumberOffset = 4, kPhoneNumberWidth = 48, kPhoneIsPrimaryOffset = 52;
inline constexpr std::size_t kEmailAddressOffset = 8, kEmailAddressWidth = 128;
inline constexpr std::size_t kImTypeOffset = 0, kImStatusOffset = 4;

inline constexpr std::size_t kPhoneSection = 0, kEmailSection = 1, kNoteSection = 3, kImSection = 6;

bool valid_utf8(const std::uint8_t *text, std::size_t length);
// A birthday is "" or a date of the Gregorian calendar written YYYY-MM-DD:
// year 0001 to 9999, month 01 to 12, a day that month has in that year (no
// sign, space or other separator).  Record::parse and the field change both
// check with it.
bool valid_birthday(std::string_view value);

class Record {
public:
    // Validates and normalises a client's record; throws ServiceError.
    static Record parse(Bytes bytes);
    // A record read back from the database (stored records were parsed).
    static Record stored(Bytes bytes) { return Record(std::move(bytes)); }
    static Record blank();

    const Bytes &bytes() const { return bytes_; }

    std::int32_t get_int(std::size_t offset) const { return contact_wire::read_i32(bytes_.data(), offset); }
    void set_int(std::size_t offset, std::int32_t value) { contact_wire::write_i32(bytes_.data(), offset, value); }
    void set_address(int storage, int index);

    std::string text(const TextField &field) const;
    // Throws 18 when the value does not fit, 16 when it is not UTF-8.
    void set_text(const TextField &field, const std::string &value);

    // Section `which` (position in contact_wire::kSections): its bytes and count.
    Bytes section(std::size_t which) const;
    std::int32_t count(std::size_t which) const { return get_int(contact_wire::kSections[which].count_offset); }
    void replace_section(std::size_t which, const Bytes &data, std::int32_t count);
    void set_note(const std::string &text);
    std::string note() const;

    std::vector<std::string> phone_numbers() const;

private:
    explicit Record(Bytes bytes) : bytes_(std::move(bytes)) {}
    std::size_t section_start(std::size_t which) const;
    void normalise_pointers();

    Bytes bytes_;
};

} // namespace contact_engine
