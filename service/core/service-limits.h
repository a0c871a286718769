// The service's limits: what one client may make the service hold or do,
// in one place.  docs/limits.md lists each of them in its table.
#pragma once

#include <cstddef>

namespace contact_engine::limits {

// Largest record, fixed part and sections together: a larger byte array is
// refused (code 26) before it is parsed, and no change may grow a record past
// it.  A full contact with every field and a dozen numbers, addresses and
// accounts is about 12 KiB; 64 KiB leaves room for long notes while keeping
// the phone storage (2000 records) under 128 MiB.
inline constexpr std::size_t kMaxRecordSize = 64 * 1024;

// Contacts a bulk job handles in one transaction: a stop, or a killed
// service, leaves whole chunks; one chunk takes a few tens of milliseconds.
inline constexpr int kBulkChunk = 500;

// Threads that run long work (SIM load, bulk jobs, vCard files).
inline constexpr std::size_t kWorkerThreads = 1;

// The simulated SIM card: its file and the records it holds.
namespace sim {
inline constexpr int kAdnCapacityMax = 250; // the SIM storage's indexes run 1 .. 250
inline constexpr int kFdnCapacityMax = 20;
inline constexpr int kSdnCapacityMax = 20;
inline constexpr int kAasCapacityMax = 10;
inline constexpr int kNameMaxLength = 14;     // default: bytes of the alpha identifier
inline constexpr int kNameMaxLengthMax = 64;  // what a card file may ask for
inline constexpr int kNumberMaxLength = 20;   // default: BCD digits of an ADN record
inline constexpr int kNumberMaxLengthMax = 40;
inline constexpr std::size_t kAasTextMax = 23; // bytes, beside the NUL of sim_aas_record_t
inline constexpr std::size_t kIccidDigitsMax = 22;
inline constexpr long long kCardFileMax = 1024 * 1024; // a larger card file is refused
inline constexpr int kLoadDelayMs = 100;                // default pause per entry while loading
inline constexpr int kLoadTimeMaxMs = 5000;             // the pauses of one load together at most
} // namespace sim

// Change notifications of one kind and storage that one transaction may send
// row by row; more are folded into one signal (notifications.h).
inline constexpr std::size_t kNotificationsBeforeFolding = 16;

// How long a file of contact_convert_contact_to_vcard_file_tmp is kept: the
// client reads or copies it at once; older ones are removed by the next such
// conversion and at start-up.
inline constexpr int kVCardTmpLifetimeSeconds = 600;

// vCard input: the longest line once unfolded (a photo of a few megabytes
// fits) and the largest card.  Longer ones are refused with code 83, and the
// reader skips them without holding them.
inline constexpr std::size_t kVCardMaxLineBytes = 8u << 20;
inline constexpr std::size_t kVCardMaxCardBytes = 16u << 20;

// Contacts in the phone storage (0 and its alias 6): the default of
// --phone-capacity, room for an import of 100 000 cards, and its largest value.
inline constexpr int kDefaultPhoneCapacity = 100000;
inline constexpr int kMaxPhoneCapacity = 1000000;

// Result sets one bus client may hold open at once; each keeps 8 bytes per
// contact it matched.
inline constexpr std::size_t kMaxResultSetsPerClient = 16;
// Contacts one result-set batch may ask for (4480 bytes each on the bus).
inline constexpr std::size_t kMaxResultSetBatch = 1000;

// Groups: slots per group storage (phone groups 0, SIM groups 1) and
// members per group.  The public header names the same numbers
// (CONTACT_GROUP_PHONE_CAPACITY, CONTACT_GROUP_SIM_CAPACITY,
// CONTACT_GROUP_MEMBER_MAX): applications size their arrays by them.
inline constexpr int kPhoneGroupCapacity = 100;
inline constexpr int kSimGroupCapacity = 10;
inline constexpr int kGroupMemberMax = 10000;

} // namespace contact_engine::limits
