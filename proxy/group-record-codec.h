// Packing group_t into its 1352-byte wire form and back, field by field.
//
// Every field of group_t is listed once with its wire offset (the table of
// contact-engine-group-wire.h); ints are written little-endian, text and
// reserved bytes copied as they stand, so all 1352 bytes travel unchanged.
// group_t holds only int and char fields: its native layout is the wire
// layout on every target, which the static_asserts below prove (the same
// header is cross-built and checked on 32-bit ARM).  No GLib here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "contact-engine-group-wire.h"
#include "contact-engine.h"

namespace group_codec {

// Native offset of each wire field, in the order of group_wire::kFields.
inline constexpr std::array<std::size_t, group_wire::kFields.size()> kNativeOffsets{{
    offsetof(group_t, index),
    offsetof(group_t, storage_type),
    offsetof(group_t, name),
    offsetof(group_t, ringtone_path),
    offsetof(group_t, image_path),
    offsetof(group_t, member_count),
    offsetof(group_t, created_time),
    offsetof(group_t, modified_time),
    offsetof(group_t, reserved),
}};

// Writes the record's 1352 wire bytes to `wire`.
inline void encode(const group_t &record, std::uint8_t *wire)
{
    const auto *native = reinterpret_cast<const std::uint8_t *>(&record);
    for (std::size_t i = 0; i < group_wire::kFields.size(); ++i) {
        const group_wire::Field &field = group_wire::kFields[i];
        if (field.kind == group_wire::FieldKind::Int) {
            std::int32_t value;
            std::memcpy(&value, native + kNativeOffsets[i], sizeof value);
            group_wire::write_i32(wire, field.offset, value);
        } else {
            std::memcpy(wire + field.offset, native + kNativeOffsets[i], field.width);
        }
    }
}

// Reads 1352 wire bytes into the record.
inline void decode(const std::uint8_t *wire, group_t &record)
{
    auto *native = reinterpret_cast<std::uint8_t *>(&record);
    for (std::size_t i = 0; i < group_wire::kFields.size(); ++i) {
        const group_wire::Field &field = group_wire::kFields[i];
        if (field.kind == group_wire::FieldKind::Int) {
            const std::int32_t value = group_wire::read_i32(wire, field.offset);
            std::memcpy(native + kNativeOffsets[i], &value, sizeof value);
        } else {
            std::memcpy(native + kNativeOffsets[i], wire + field.offset, field.width);
        }
    }
}

// The native struct is the wire layout, on 32-bit ARM as on this host.
static_assert(sizeof(group_t) == group_wire::kRecordSize);
static_assert(offsetof(group_t, index) == group_wire::offset::index);
static_assert(offsetof(group_t, storage_type) == group_wire::offset::storage_type);
static_assert(offsetof(group_t, name) == group_wire::offset::name);
static_assert(sizeof(group_t::name) == group_wire::kNameSize);
static_assert(offsetof(group_t, ringtone_path) == group_wire::offset::ringtone_path);
static_assert(sizeof(group_t::ringtone_path) == group_wire::kRingtonePathSize);
static_assert(offsetof(group_t, image_path) == group_wire::offset::image_path);
static_assert(sizeof(group_t::image_path) == group_wire::kImagePathSize);
static_assert(offsetof(group_t, member_count) == group_wire::offset::member_count);
static_assert(offsetof(group_t, created_time) == group_wire::offset::created_time);
static_assert(offsetof(group_t, modified_time) == group_wire::offset::modified_time);
static_assert(offsetof(group_t, reserved) == group_wire::offset::reserved);
static_assert(sizeof(group_t::reserved) == group_wire::kReservedSize);
static_assert(alignof(group_t) == 4);

} // namespace group_codec
