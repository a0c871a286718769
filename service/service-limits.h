// The service's limits: what one client may make the service hold or do,
// in one place.  The README's table of limits lists each of them.
#pragma once

#include <cstddef>

namespace contact_engine::limits {

// Largest record, fixed part and sections together: a larger byte array is
// refused (code 26) before it is parsed, and no change may grow a record past
// it.  A full contact with every field and a dozen numbers, addresses and
// accounts is about 12 KiB; 64 KiB leaves room for long notes while keeping
// the phone storage (2000 records) under 128 MiB.
inline constexpr std::size_t kMaxRecordSize = 64 * 1024;

// Contacts the phone's own memory holds (storage 0 and its alias 6): room
// for a whole address book, so that an import of 100 000 cards fits.
inline constexpr int kPhoneCapacity = 100000;

// Contacts a bulk job handles in one transaction: a stop, or a killed
// service, leaves whole chunks; one chunk takes a few tens of milliseconds.
inline constexpr int kBulkChunk = 500;

// Threads that run long work (SIM load, bulk jobs, vCard files).
inline constexpr std::size_t kWorkerThreads = 1;

// How long a file of contact_convert_contact_to_vcard_file_tmp is kept: the
// client reads or copies it at once; older ones are removed by the next such
// conversion and at start-up.
inline constexpr int kVCardTmpLifetimeSeconds = 600;

// vCard input: the longest line once unfolded (a photo of a few megabytes
// fits) and the largest card.  Longer ones are refused with code 43, and the
// reader skips them without holding them.
inline constexpr std::size_t kVCardMaxLineBytes = 8u << 20;
inline constexpr std::size_t kVCardMaxCardBytes = 16u << 20;

} // namespace contact_engine::limits
