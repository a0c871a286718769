// The service's limits: what one client may make the service hold or do,
// in one place.  The README's table of limits lists each of them.
#pragma once

#include <cstddef>

namespace contact_engine::limits {

// Largest record a client may send, fixed part and sections together; a
// larger byte array is refused before it is parsed.
inline constexpr std::size_t kMaxRecordSize = 1024 * 1024;

// Threads that run long work (SIM load, bulk jobs, vCard files).
inline constexpr std::size_t kWorkerThreads = 1;

// Groups: slots per group storage (phone groups 0, SIM groups 1) and
// members per group.  The public header names the same numbers
// (CONTACT_GROUP_PHONE_CAPACITY, CONTACT_GROUP_SIM_CAPACITY,
// CONTACT_GROUP_MEMBER_MAX): applications size their arrays by them.
inline constexpr int kPhoneGroupCapacity = 100;
inline constexpr int kSimGroupCapacity = 10;
inline constexpr int kGroupMemberMax = 10000;

} // namespace contact_engine::limits
