// Contact records as the contacts table keeps them.
//
// A record is 4480 bytes of fixed part, mostly zeros (empty text fields),
// and its sections.  Stored as it is, every contact takes two database pages
// and a bulk import writes most of its time away; compressed with LZ4 it is a
// few hundred bytes, read back in microseconds.
//
//   packed:  "LZ4" 0x01 | original size (u32 LE) | LZ4 block
//
// A record stored before packing came in starts with its index (a small
// int32, little-endian), never with that tag, so it is read as it is.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/bytes.h"

namespace contact_engine {

Bytes pack_record(const Bytes &record);

// The first `limit` bytes of the stored record (all of it by default).
// Throws ServiceError kDatabaseError for a packed record that does not
// unpack (a damaged database): never reads or writes out of bounds.
Bytes unpack_record(const std::uint8_t *stored, std::size_t size, std::size_t limit = SIZE_MAX);

} // namespace contact_engine
