// contact-engine-wire.h - the contact record's byte-array form, as tables.
//
// The service's records are 32-bit little-endian with 4-byte int and pointer
// fields, whatever the host.  This header names every offset of that form
// once; the library's codec and the service both read these tables and
// never copy a host struct onto the wire.  C++ only (library and service
// internals, tests); applications use contact-engine.h.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace contact_wire {

inline constexpr std::size_t kFixedSize = 4480;

// Offsets of the fixed part's int and pointer fields.
namespace offset {
inline constexpr std::size_t index = 0;
inline constexpr std::size_t storage_type = 4;
inline constexpr std::size_t frequency = 8;
inline constexpr std::size_t is_favourite = 12;
inline constexpr std::size_t display_name = 203;
inline constexpr std::size_t phone_info = 792;
inline constexpr std::size_t email_info = 796;
inline constexpr std::size_t postal_info = 2280;
inline constexpr std::size_t note = 2284;
inline constexpr std::size_t presence_text = 4248;
inline constexpr std::size_t sns = 4280;
inline constexpr std::size_t im = 4284;
inline constexpr std::size_t sns_cnt = 4312;
inline constexpr std::size_t im_cnt = 4316;
inline constexpr std::size_t presence_text_len = 4320;
inline constexpr std::size_t about = 4444;
inline constexpr std::size_t about_len = 4448;
inline constexpr std::size_t contact_id_data = 4456;
inline constexpr std::size_t phone_info_cnt = 4460;
inline constexpr std::size_t email_info_cnt = 4464;
inline constexpr std::size_t note_len = 4468;
inline constexpr std::size_t postal_info_cnt = 4472;
} // namespace offset

inline constexpr std::size_t kPhoneInfoSize = 56;
inline constexpr std::size_t kEmailInfoSize = 140;
inline constexpr std::size_t kPostalInfoSize = 1208;
inline constexpr std::size_t kSnsSize = 140;
inline constexpr std::size_t kImSize = 144;
inline constexpr std::size_t kIdDataSize = 5104;

enum class SectionKind { Array, Text };

// The counted sections in byte-array order (the id-data block follows them
// and has no count).  Text sections carry count + 1 bytes: the text and its NUL.
struct Section {
    const char *name;
    std::size_t pointer_offset;
    std::size_t count_offset;
    std::size_t element_size;
    SectionKind kind;
};

inline constexpr std::array<Section, 8> kSections{{
    {"phone_info", offset::phone_info, offset::phone_info_cnt, kPhoneInfoSize, SectionKind::Array},
    {"email_info", offset::email_info, offset::email_info_cnt, kEmailInfoSize, SectionKind::Array},
    {"postal_info", offset::postal_info, offset::postal_info_cnt, kPostalInfoSize, SectionKind::Array},
    {"note", offset::note, offset::note_len, 1, SectionKind::Text},
    {"about", offset::about, offset::about_len, 1, SectionKind::Text},
    {"sns", offset::sns, offset::sns_cnt, kSnsSize, SectionKind::Array},
    {"im", offset::im, offset::im_cnt, kImSize, SectionKind::Array},
    {"presence_text", offset::presence_text, offset::presence_text_len, 1, SectionKind::Text},
}};

inline std::int32_t read_i32(const std::uint8_t *record, std::size_t at)
{
    return static_cast<std::int32_t>(std::uint32_t(record[at]) | std::uint32_t(record[at + 1]) << 8 |
                                     std::uint32_t(record[at + 2]) << 16 | std::uint32_t(record[at + 3]) << 24);
}

inline void write_i32(std::uint8_t *record, std::size_t at, std::int32_t value)
{
    const auto v = static_cast<std::uint32_t>(value);
    record[at] = std::uint8_t(v);
    record[at + 1] = std::uint8_t(v >> 8);
    record[at + 2] = std::uint8_t(v >> 16);
    record[at + 3] = std::uint8_t(v >> 24);
}

// Bytes a section occupies in the byte array for a given count or length;
// 0 when the section is absent.
inline constexpr std::size_t section_bytes(const Section &section, std::int32_t count)
{
    if (count <= 0)
        return 0;
    return section.kind == SectionKind::Text ? std::size_t(count) + 1 : std::size_t(count) * section.element_size;
}

// Total byte-array length that a fixed part announces (counts, lengths and
// the id-data pointer), or 0 when a count is negative or the total would
// not fit in 32 bits: such a record can never be valid.
inline std::size_t announced_size(const std::uint8_t *fixed)
{
    std::uint64_t total = kFixedSize;
    for (const Section &section : kSections) {
        const std::int32_t count = read_i32(fixed, section.count_offset);
        if (count < 0)
            return 0;
        total += section_bytes(section, count);
    }
    if (read_i32(fixed, offset::contact_id_data) != 0)
        total += kIdDataSize;
    return total > 0xffffffffu ? 0 : std::size_t(total);
}

} // namespace contact_wire
