// Replies that do not hold what they announce, from a responder in this
// process that owns the service's name, for every operation that receives a
// byte array.
#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "contact-engine-bus.h"
#include "contact-engine-group-wire.h"
#include "contact-engine-sim-wire.h"
#include "contact-engine-speed-dial-wire.h"
#include "contact-engine-wire.h"
#include "sample-contact.h"
#include "responder.h"
#include "test-support.h"

namespace contact_test {
namespace {

using Bytes = std::vector<std::uint8_t>;

// What the responder answers next: the bytes and the count it announces
// (the count goes in the reply's count or is ignored by a method without one).
struct Reply {
    Bytes bytes;
    std::int32_t count = 0;
};

std::mutex g_reply_mutex;
Reply g_reply;

Reply next_reply()
{
    std::lock_guard lock(g_reply_mutex);
    return g_reply;
}

enum class Kind { Truncated, Empty, CountAboveBytes, CountAboveMaximum, NegativeCount, Garbage };
constexpr std::array<const char *, 6> kKindNames{"truncated", "empty", "count above its bytes",
                                                 "count above the maximum", "a negative count", "garbage"};

// Beyond the documented maximum: refused like a short reply, or accepted with what the caller's array
// holds (result-set batches and AAS records drop the rest; a single record reads its first).
enum class AboveMaximum { Refused, Accepted };

constexpr std::uint8_t kPattern = 0xa5;
constexpr int kCountPattern = -7777;
constexpr std::size_t kGuardRecords = 2;

// The caller's memory: room for the documented records, a guard behind it, the count; all a pattern.
struct Memory {
    Memory(std::size_t record_size, int room)
        : room_bytes(record_size * std::size_t(room)), bytes(room_bytes + kGuardRecords * record_size, kPattern)
    {
    }
    template <class T> T *as() { return reinterpret_cast<T *>(bytes.data()); }
    bool intact_from(std::size_t offset) const
    {
        return std::all_of(bytes.begin() + std::ptrdiff_t(offset), bytes.end(),
                           [](std::uint8_t b) { return b == kPattern; });
    }
    std::size_t room_bytes;
    std::vector<std::uint8_t> bytes;
    int count = kCountPattern;
};

// A whole contact (fixed part and counted sections), one fixed-size record, or the records a count
// announces (Listed: the caller's room is documented; Unbounded: only the reply bounds it, the index list).
enum class Shape { Contact, Single, Listed, Unbounded };

struct Operation {
    const char *function;
    Shape shape;
    std::size_t wire_size;   // one record in the reply
    std::size_t caller_size; // one record in the caller's array
    int room;                // records the caller's array holds
    AboveMaximum above_maximum;
    // Calls the operation into `memory`; a 1 result is cleaned up here.
    std::function<int(Memory &, int *error_code)> call;
    bool has_error_code = true; // the reduced form (vCard conversions) has none
    int well_formed_code = 0;   // a 0 with this code answers a well-formed reply (a short batch)
};

// A contact's fixed part announcing `phones` phone entries.
Bytes fixed_part(std::int32_t phones)
{
    Bytes record(contact_wire::kFixedSize, 0);
    contact_wire::write_i32(record.data(), contact_wire::offset::phone_info_cnt, phones);
    return record;
}

// A contact operation's record: freed sections after a 1.
int with_contact(Memory &memory, int result)
{
    if (result == 1)
        free_contact_sections(*memory.as<contact_t>());
    return result;
}

// The index list documents no room: here the caller's array holds every record the longest reply
// below carries (3 x 4 + 8 bytes), so only a count beyond the bytes could overflow it.
constexpr int kUnboundedRoom = 5;

using contact_wire::kFixedSize;
constexpr auto Refused = AboveMaximum::Refused, Accepted = AboveMaximum::Accepted;
const std::vector<Operation> kOperations{
        {"contact_get_contact", Shape::Contact, kFixedSize, sizeof(contact_t), 1, Refused,
         [](Memory &m, int *e) { return with_contact(m, contact_get_contact(0, 1, m.as<contact_t>(), e)); }},
        {"contact_get_my_contact", Shape::Contact, kFixedSize, sizeof(contact_t), 1, Refused,
         [](Memory &m, int *e) { return with_contact(m, contact_get_my_contact(m.as<contact_t>(), e)); }},
        {"contact_get_all_contact_indices", Shape::Unbounded, 4, sizeof(int), kUnboundedRoom, Refused,
         [](Memory &m, int *e) { return contact_get_all_contact_indices(0, m.as<int>(), &m.count, e); }},
        {"contact_get_group", Shape::Single, group_wire::kRecordSize, sizeof(group_t), 1, Accepted,
         [](Memory &m, int *e) { return contact_get_group(0, 1, m.as<group_t>(), e); }},
        {"contact_search_groups", Shape::Listed, group_wire::kRecordSize, sizeof(group_t), CONTACT_GROUP_CAPACITY_MAX,
         Refused, [](Memory &m, int *e) { return contact_search_groups(0, "", 0, 0, m.as<group_t>(), &m.count, e, 0); }},
        {"contact_get_group_members", Shape::Listed, 4, sizeof(int), CONTACT_GROUP_MEMBER_MAX, Refused,
         [](Memory &m, int *e) { return contact_get_group_members(0, 1, m.as<int>(), &m.count, e); }},
        {"contact_result_set_get_current_contact", Shape::Single, kFixedSize, sizeof(contact_t), 1, Accepted,
         [](Memory &m, int *e) { return contact_result_set_get_current_contact(1, m.as<contact_t>(), e); }},
        {"contact_result_set_get_contacts", Shape::Listed, kFixedSize, sizeof(contact_t), 3, Accepted,
         [](Memory &m, int *e) { return contact_result_set_get_contacts(1, 3, 0, m.as<contact_t>(), &m.count, e); }, true,
         CONTACT_ERROR_SHORT_BATCH},
        {"contact_get_sim_status", Shape::Single, sim_wire::status::kSize, sizeof(sim_status_t), 1, Accepted,
         [](Memory &m, int *e) { return contact_get_sim_status(m.as<sim_status_t>(), e); }},
        {"contact_get_sim_used_status", Shape::Single, sim_wire::used::kSize, sizeof(sim_used_status_t), 1, Accepted,
         [](Memory &m, int *e) { return contact_get_sim_used_status(m.as<sim_used_status_t>(), e); }},
        {"contact_get_sim_aas_records", Shape::Listed, sim_wire::aas::kSize, sizeof(sim_aas_record_t),
         CONTACT_SIM_PHONE_TYPE_COUNT_MAX, Accepted,
         [](Memory &m, int *e) { return contact_get_sim_aas_records(m.as<sim_aas_record_t>(), &m.count, e); }},
        {"contact_get_speed_dial", Shape::Single, speed_dial_wire::kSize, sizeof(speed_dial_t), 1, Accepted,
         [](Memory &m, int *e) { return contact_get_speed_dial(1, m.as<speed_dial_t>(), e); }},
        {"contact_search_speed_dials", Shape::Listed, speed_dial_wire::kSize, sizeof(speed_dial_t),
         CONTACT_SPEED_DIAL_COUNT_MAX, Refused,
         [](Memory &m, int *e) { return contact_search_speed_dials("", 0, -1, m.as<speed_dial_t>(), &m.count, e); }},
        {"contact_bulk_operation_get_info", Shape::Single, 24, sizeof(bulk_operation_status_t), 1, Accepted,
         [](Memory &m, int *e) { return contact_bulk_operation_get_info(1, m.as<bulk_operation_status_t>(), e); }},
        {"contact_convert_vcard_to_contact", Shape::Single, kFixedSize, sizeof(contact_t), 1, Accepted,
         [](Memory &m, int *) { return contact_convert_vcard_to_contact("BEGIN:VCARD", m.as<contact_t>()); }, false},
        {"contact_convert_vcard_file_to_contact", Shape::Single, kFixedSize, sizeof(contact_t), 1, Accepted,
         [](Memory &m, int *) { return contact_convert_vcard_file_to_contact("/nonexistent.vcf", m.as<contact_t>()); },
         false},
};

// The reply of `kind` for `op`, or nothing where the kind has no meaning (a count where none is carried).
std::optional<Reply> reply_of(const Operation &op, Kind kind)
{
    constexpr std::int32_t kMaxCount = std::numeric_limits<std::int32_t>::max();
    const std::size_t size = op.wire_size;
    const bool contact = op.shape == Shape::Contact;
    const bool counted = op.shape == Shape::Listed || op.shape == Shape::Unbounded;
    switch (kind) {
    case Kind::Truncated: // (a contact: its fixed part one byte short)
        return counted ? Reply{Bytes(2 * size - 1, 0), 2} : Reply{Bytes(size - 1, 0), 0};
    case Kind::Empty:
        return Reply{{}, counted ? 1 : 0};
    case Kind::CountAboveBytes:
        if (contact) {
            Bytes record = fixed_part(2);
            record.resize(record.size() + contact_wire::kPhoneInfoSize, 0); // one of the two phones
            return Reply{record, 0};
        }
        return counted ? std::optional<Reply>(Reply{Bytes(2 * size, 0), 3}) : std::nullopt;
    case Kind::CountAboveMaximum:
        if (contact)
            return Reply{fixed_part(kMaxCount), 0};
        if (!counted)
            return Reply{Bytes(2 * size, 0), 0}; // a second record behind the one read
        if (op.shape == Shape::Unbounded) // the largest count there is, for two records
            return Reply{Bytes(2 * size, 0), kMaxCount};
        return Reply{Bytes(std::size_t(op.room + 1) * size, 0), op.room + 1};
    case Kind::NegativeCount:
        if (contact)
            return Reply{fixed_part(-1), 0};
        return counted ? std::optional<Reply>(Reply{Bytes(2 * size, 0), -1}) : std::nullopt;
    case Kind::Garbage: // every byte 0x5a: pointers that are no address here, counts far beyond the bytes
        return Reply{Bytes(2 * size, 0x5a), 2};
    }
    return std::nullopt;
}

class HostileReplyTest : public ResponderTest {
protected:
    void register_methods() override
    {
        auto answer = [this](const char *method, auto handler) {
            object_->registerMethod(method).onInterface(CONTACT_ENGINE_INTERFACE).implementedAs(std::move(handler));
        };
        // (ay, i): the i is the result code (0) or the count, as the method has.
        auto coded = [] { return std::make_tuple(next_reply().bytes, 0); };
        auto counted = [] { const Reply r = next_reply(); return std::make_tuple(r.bytes, r.count); };
        auto counted_coded = [] { const Reply r = next_reply(); return std::make_tuple(r.bytes, r.count, 0); };
        auto bare = [] { return next_reply().bytes; };
        answer("contact_get_contact", [=](int, int) { return coded(); });
        answer("contact_get_my_contact", [=] { return coded(); });
        answer("contact_get_all_contact_indices", [=](int) { return counted(); });
        answer("contact_get_group", [=](int, int) { return coded(); });
        answer("contact_search_groups", [=](int, std::string, int, int, int) { return counted(); });
        answer("contact_get_group_members", [=](int, int) { return counted(); });
        answer("contact_result_set_get_current_contact", [=](int) { return bare(); });
        answer("contact_result_set_get_contacts", [=](int, int, int) { return counted(); });
        answer("contact_get_sim_status", [=] { return coded(); });
        answer("contact_get_sim_used_status", [=] { return coded(); });
        answer("contact_get_sim_aas_records", [=] { return counted_coded(); });
        answer("contact_get_speed_dial", [=](int) { return coded(); });
        answer("contact_search_speed_dials", [=](std::string, int, int) { return counted_coded(); });
        answer("contact_bulk_operation_get_info", [=](int) { return bare(); });
        answer("contact_convert_vcard_to_contact", [=](std::string) { return bare(); });
        answer("contact_convert_vcard_file_to_contact", [=](std::string) { return bare(); });
        // Texts longer than the caller's buffers, which the real service never stores.
        answer("contact_get_own_number", [] { return std::make_tuple(std::string(100, 'N'), std::string(60, '9')); });
    }
};

// A refused reply returns 0 with code 33 (the vCard conversions have no code) and leaves the caller's
// records and count as they were; an accepted one returns 1, writes nothing past the documented room
// and gives a count no larger than it.  The sanitized build adds: nothing read past a reply, no leak.
TEST_F(HostileReplyTest, EveryByteArrayReplyIsRefusedOrReadWithinItsBytes)
{
    int tried = 0;
    for (const Operation &op : kOperations) {
        for (std::size_t k = 0; k < kKindNames.size(); ++k) {
            const Kind kind = Kind(k);
            const std::optional<Reply> reply = reply_of(op, kind);
            if (!reply)
                continue;
            SCOPED_TRACE(std::string(op.function) + ", " + kKindNames[k] + ", " +
                         std::to_string(reply->bytes.size()) + " bytes, count " + std::to_string(reply->count));
            {
                std::lock_guard lock(g_reply_mutex);
                g_reply = *reply;
            }
            ++tried;
            Memory memory(op.caller_size, op.room);
            int error_code = kCountPattern;
            const int result = op.call(memory, &error_code);
            const bool refused = result == 0 && error_code != op.well_formed_code;
            const bool above = kind == Kind::CountAboveMaximum;
            const bool must_refuse = kind == Kind::Truncated || kind == Kind::Empty || kind == Kind::CountAboveBytes ||
                                     (kind == Kind::NegativeCount && op.shape == Shape::Contact) ||
                                     (above && op.above_maximum == AboveMaximum::Refused);
            EXPECT_TRUE(!must_refuse || refused) << "result " << result << ", code " << error_code;
            EXPECT_TRUE(!above || must_refuse || result == 1) << "result " << result << ", code " << error_code;
            if (refused) {
                EXPECT_EQ(result, 0);
                EXPECT_TRUE(!op.has_error_code || error_code == CONTACT_ERROR_MALFORMED_REPLY) << error_code;
                EXPECT_TRUE(memory.count == kCountPattern && memory.intact_from(0)) << "the caller's memory written";
            } else {
                EXPECT_TRUE(memory.intact_from(memory.room_bytes)) << "written past the documented room";
                // A count of 0 or below copies nothing and is handed on as sent.
                const bool counted = op.shape == Shape::Listed || op.shape == Shape::Unbounded;
                EXPECT_TRUE(!counted || memory.count <= op.room) << "count " << memory.count;
                EXPECT_TRUE(kind != Kind::NegativeCount || memory.intact_from(0)) << "records copied";
            }
        }
    }
    std::printf("hostile replies tried: %d\n", tried);
    // Each operation: the six kinds, a single record without a count two fewer.
    EXPECT_EQ(tried, 8 * 6 + 8 * 4) << "an operation or a kind of reply was skipped";
}

// The own number's texts are cut to the caller's 65 and 41 bytes, terminated, nothing written behind.
TEST_F(HostileReplyTest, LongOwnNumberIsCutToTheCallersBuffers)
{
    char name[CONTACT_OWN_NAME_MAX + 1 + 16], number[CONTACT_OWN_NUMBER_MAX + 1 + 16];
    std::fill(std::begin(name), std::end(name), 'x');
    std::fill(std::begin(number), std::end(number), 'y');
    int error_code = -1;
    ASSERT_EQ(contact_get_own_number(name, number, &error_code), 1) << error_code;
    EXPECT_EQ(std::string(name, sizeof name), std::string(CONTACT_OWN_NAME_MAX, 'N') + '\0' + std::string(16, 'x'));
    EXPECT_EQ(std::string(number, sizeof number),
              std::string(CONTACT_OWN_NUMBER_MAX, '9') + '\0' + std::string(16, 'y'));
}

} // namespace
} // namespace contact_test
