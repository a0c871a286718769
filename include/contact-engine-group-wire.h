// contact-engine-group-wire.h - the group record's byte-array form, as a table.
//
// A group record is 1352 bytes in the service's 32-bit little-endian layout.
// It holds only int and char fields, so the layout is the same on every
// target; the library's codec and the service both address the fields by
// the offsets below and never copy a host struct onto the wire.  C++ only
// (library and service internals, tests); applications use group_t from
// contact-engine.h.
#pragma once

#include <array>
#include <cstddef>

#include "contact-engine-wire.h"

namespace group_wire {

inline constexpr std::size_t kRecordSize = 1352;

namespace offset {
inline constexpr std::size_t index = 0;
inline constexpr std::size_t storage_type = 4;
inline constexpr std::size_t name = 8;
inline constexpr std::size_t ringtone_path = 136;
inline constexpr std::size_t image_path = 392;
inline constexpr std::size_t member_count = 648;
inline constexpr std::size_t created_time = 652;
inline constexpr std::size_t modified_time = 656;
inline constexpr std::size_t reserved = 660;
} // namespace offset

// Widths of the text fields, their NUL included.
inline constexpr std::size_t kNameSize = 128;
inline constexpr std::size_t kRingtonePathSize = 256;
inline constexpr std::size_t kImagePathSize = 256;
inline constexpr std::size_t kReservedSize = 692;

enum class FieldKind { Int, Text, Bytes };

struct Field {
    const char *name;
    std::size_t offset;
    std::size_t width;
    FieldKind kind;
};

// Every field in record order; together they cover the 1352 bytes.
inline constexpr std::array<Field, 9> kFields{{
    {"index", offset::index, 4, FieldKind::Int},
    {"storage_type", offset::storage_type, 4, FieldKind::Int},
    {"name", offset::name, kNameSize, FieldKind::Text},
    {"ringtone_path", offset::ringtone_path, kRingtonePathSize, FieldKind::Text},
    {"image_path", offset::image_path, kImagePathSize, FieldKind::Text},
    {"member_count", offset::member_count, 4, FieldKind::Int},
    {"created_time", offset::created_time, 4, FieldKind::Int},
    {"modified_time", offset::modified_time, 4, FieldKind::Int},
    {"reserved", offset::reserved, kReservedSize, FieldKind::Bytes},
}};

constexpr bool fields_cover_record()
{
    std::size_t next = 0;
    for (const Field &field : kFields) {
        if (field.offset != next)
            return false;
        next += field.width;
    }
    return next == kRecordSize;
}
static_assert(fields_cover_record(), "the group field table must cover the 1352-byte record");

using contact_wire::read_i32;
using contact_wire::write_i32;

} // namespace group_wire
