// The service's limits: what one client may make the service hold or do,
// in one place.  docs/limits.md lists each of them in its table.
#pragma once

#include <cstddef>
#include <cstdint>

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
// Bytes of its file one import chunk reads at most, cards or not: a file of
// garbage (or a sparse file of zeros) is gone through in steps of this size,
// so a stop or close takes effect after at most this much reading.  It holds
// the largest card with its longest line.
inline constexpr std::uint64_t kBulkChunkBytes = 32u << 20;

// Threads that run long work (SIM load, bulk jobs, long calls): two, so
// one long call does not hold up every other one.
inline constexpr std::size_t kWorkerThreads = 2;

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
static_assert(kBulkChunkBytes > kVCardMaxCardBytes + kVCardMaxLineBytes, "an import chunk holds the largest card");
// A client's file read by contact_convert_vcard_file_to_contact: larger ones
// are refused (code 83) from their size, before anything is read.
inline constexpr std::uint64_t kVCardMaxFileBytes = kVCardMaxCardBytes + kVCardMaxLineBytes;

// Contacts in the phone storage (0 and its alias 6): the default of
// --phone-capacity, room for an import of 100 000 cards, and its largest value.
inline constexpr int kDefaultPhoneCapacity = 100000;
inline constexpr int kMaxPhoneCapacity = 1000000;

// Result sets one user (uid, over all its bus connections) may hold open at
// once, and the contacts kept in them together: each set keeps 8 bytes per
// contact it matched, so a user holds at most 8 MB of snapshots.
inline constexpr std::size_t kMaxResultSetsPerUser = 32;
inline constexpr std::size_t kMaxResultSetContactsPerUser = 1000000;
// Contacts one result-set batch may ask for (4480 bytes each on the bus).
inline constexpr std::size_t kMaxResultSetBatch = 1000;

// Groups: slots per group storage (phone groups 0, SIM groups 1) and
// members per group.  The public header names the same numbers
// (CONTACT_GROUP_PHONE_CAPACITY, CONTACT_GROUP_SIM_CAPACITY,
// CONTACT_GROUP_MEMBER_MAX): applications size their arrays by them.
inline constexpr int kPhoneGroupCapacity = 100;
inline constexpr int kSimGroupCapacity = 10;
inline constexpr int kGroupMemberMax = 10000;

// What one user (uid) may make the service hold, over all its bus
// connections together (a user may open 256 of them).  Root is counted like
// everyone else.  The refusal codes are in contact-engine-errors.h; the
// table in docs/limits.md lists each with its code.
namespace per_user {
// Bulk jobs open at once (opened and not closed, running or not).
inline constexpr std::size_t kBulkJobs = 8;
// Thumb indexes held by the user's open jobs together (4 bytes each in
// memory and in the job's row).
inline constexpr std::size_t kThumbs = 1000000;
// Files of the user the service holds open: an import's source, an
// export's target, a file being converted.
inline constexpr std::size_t kOpenFiles = 4;
// Interrupted jobs kept for adoption; when one more is interrupted, the
// user's oldest goes.
inline constexpr std::size_t kInterruptedJobs = 4;
// Long calls (those that run on the workers) waiting or running at once.
inline constexpr std::size_t kLongCalls = 4;
} // namespace per_user

} // namespace contact_engine::limits
