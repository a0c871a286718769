// contact-engine-speed-dial-wire.h - the speed-dial record's byte-array form.
//
// A speed_dial_t crosses the bus as 16 bytes, four 32-bit little-endian ints
// at the offsets below; a list is such records back to back.  The library
// and the service both encode and decode through these offsets (with
// contact_wire::read_i32 / write_i32), never by copying a host struct.
// C++ only (library and service internals, tests); no GLib here, so the
// service includes it too.
#pragma once

#include <cstddef>

namespace speed_dial_wire {

inline constexpr std::size_t kSize = 16;

namespace offset {
inline constexpr std::size_t index = 0;          // the dial number
inline constexpr std::size_t storage_type = 4;   // storage of the contact dialled
inline constexpr std::size_t contact_index = 8;  // its index there
inline constexpr std::size_t phone_position = 12; // which of its phone numbers, from 0
} // namespace offset

} // namespace speed_dial_wire
