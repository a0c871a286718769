// The service's limits: what one client may make the service hold or do,
// in one place.  The README's table of limits lists each of them.
#pragma once

#include <cstddef>

namespace contact_engine::limits {

// Largest record a client may send, fixed part and sections together; a
// larger byte array is refused before it is parsed.
inline constexpr std::size_t kMaxRecordSize = 1024 * 1024;

// Contacts the phone's own memory holds (storage 0 and its alias 6): room
// for a whole address book, so that an import of 100 000 cards fits.
inline constexpr int kPhoneCapacity = 100000;

// Contacts a bulk job handles in one transaction: a stop, or a killed
// service, leaves whole chunks; one chunk takes a few tens of milliseconds.
inline constexpr int kBulkChunk = 500;

// Threads that run long work (SIM load, bulk jobs, vCard files).
inline constexpr std::size_t kWorkerThreads = 1;

} // namespace contact_engine::limits
