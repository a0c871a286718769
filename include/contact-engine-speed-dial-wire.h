// contact-engine-speed-dial-wire.h - the speed-dial record's byte-array form.
//
// A speed_dial_t crosses the bus as 16 bytes, four 32-bit little-endian ints
// at the offsets below; a list is such records back to back.  The library
// and the service both encode and decode through these offsets, never by
// copying a host struct.  C++ only (library and service internals, tests).
#pragma once

#include <cstddef>
#include <cstdint>

#include "contact-engine-wire.h"
#include "contact-engine.h"

namespace speed_dial_wire {

inline constexpr std::size_t kSize = 16;

namespace offset {
inline constexpr std::size_t index = 0;
inline constexpr std::size_t storage_type = 4;
inline constexpr std::size_t contact_index = 8;
inline constexpr std::size_t phone_position = 12;
} // namespace offset

// `bytes` has room for kSize bytes.
inline void encode(const speed_dial_t &record, std::uint8_t *bytes)
{
    contact_wire::write_i32(bytes, offset::index, record.index);
    contact_wire::write_i32(bytes, offset::storage_type, record.storage_type);
    contact_wire::write_i32(bytes, offset::contact_index, record.contact_index);
    contact_wire::write_i32(bytes, offset::phone_position, record.phone_position);
}

// `bytes` holds at least kSize bytes.
inline speed_dial_t decode(const std::uint8_t *bytes)
{
    return speed_dial_t{contact_wire::read_i32(bytes, offset::index),
                        contact_wire::read_i32(bytes, offset::storage_type),
                        contact_wire::read_i32(bytes, offset::contact_index),
                        contact_wire::read_i32(bytes, offset::phone_position)};
}

// The record holds only 4-byte ints, so its native layout is the wire layout
// on every target with a 4-byte int, 32-bit ARM included.
static_assert(sizeof(int) == 4);
static_assert(sizeof(speed_dial_t) == kSize);
static_assert(offsetof(speed_dial_t, index) == offset::index);
static_assert(offsetof(speed_dial_t, storage_type) == offset::storage_type);
static_assert(offsetof(speed_dial_t, contact_index) == offset::contact_index);
static_assert(offsetof(speed_dial_t, phone_position) == offset::phone_position);

} // namespace speed_dial_wire
