// Speed dials: the real service (the table, refusals, search, dials cleared
// with their number or contact), the checks before the call, and a responder
// for what the service never sends (refusals, a negative or partial count).
#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>

#include <algorithm>
#include <atomic>
#include <ostream>
#include <string>
#include <vector>

#include "contact-engine-bus.h"
#include "core/contact-engine-errors.h"
#include "contact-engine-speed-dial-wire.h"
#include "contact-engine-wire.h"
#include "contact-engine.h"
#include "sample-contact.h"
#include "responder.h"
#include "test-support.h"

// Found by argument-dependent lookup: speed_dial_t is in the global namespace.
static bool operator==(const speed_dial_t &a, const speed_dial_t &b)
{
    return a.index == b.index && a.storage_type == b.storage_type && a.contact_index == b.contact_index &&
           a.phone_position == b.phone_position;
}

[[maybe_unused]] static void PrintTo(const speed_dial_t &d, std::ostream *out)
{
    *out << "{" << d.index << ", " << d.storage_type << ", " << d.contact_index << ", " << d.phone_position << "}";
}

namespace contact_test {
namespace {

using namespace contact_engine; // the service's codes by name

constexpr int kPhone = CONTACT_STORAGE_PHONE;
constexpr int kAll = CONTACT_SPEED_DIAL_SEARCH_ALL_STORAGES;
constexpr int kAny = CONTACT_SPEED_DIAL_SEARCH_ANY;
const speed_dial_t kUntouched{-9, -9, -9, -9};

std::string failed(const std::string &function, const std::string &method)
{
    return "\n[DodazorEdidud]%s %d: " + function + ": " + method + "() failed(%s).\n";
}
std::string failed(const std::string &function)
{
    return failed(function, "org_yora_contact_" + function);
}

const std::string kGetFailed = failed("contact_get_speed_dial");
const std::string kSetFailed = failed("contact_set_speed_dial", "contact_set_speed_dial");
const std::string kDeleteFailed = failed("contact_delete_speed_dial");
const std::string kSearchFailed = failed("contact_search_speed_dials", "org_yora_contact_contact_search_speed_dials(");

// ---- with the real service -------------------------------------------------------

// `call` succeeds with code 0.
void ok(const Call &call)
{
    int error_code = -1;
    EXPECT_EQ(call(&error_code), 1) << "code " << error_code;
    EXPECT_EQ(error_code, kOk);
}

class SpeedDialTest : public ServiceTest {
protected:
    // Adds a contact (index 0) or updates contact `index`; returns its index.
    int write(const std::string &name, const std::vector<std::string> &numbers, int index = 0)
    {
        SampleContact contact(name);
        for (const std::string &number : numbers)
            contact.phone(number);
        ok(index == 0 ? with(contact_add_contact, kPhone, &contact.record, &index)
                      : with(contact_update_contact, kPhone, index, &contact.record));
        return index;
    }
    // Sets dial `dial` from a record whose index says 8: the slot is the argument.
    void set(int dial, int contact, int position)
    {
        speed_dial_t record{8, kPhone, contact, position};
        ok(with(contact_set_speed_dial, dial, &record));
        EXPECT_EQ(record.index, dial);
    }
    speed_dial_t get(int dial)
    {
        speed_dial_t record{-1, -1, -1, -1};
        ok(with(contact_get_speed_dial, dial, &record));
        return record;
    }
    // The code of a get that must fail; the record must stay as it was.
    int get_fails(int dial)
    {
        speed_dial_t record = kUntouched;
        const int code = failure_code(with(contact_get_speed_dial, dial, &record));
        EXPECT_EQ(record, kUntouched);
        return code;
    }
    std::pair<int, int> empty_index()
    {
        int empty = -7, error_code = -1;
        EXPECT_EQ(contact_get_empty_speed_dial_index(&empty, &error_code), 1);
        return {empty, error_code};
    }
    int count()
    {
        int dials = -1;
        ok(with(contact_get_speed_dial_count, &dials));
        return dials;
    }
    std::vector<speed_dial_t> search(const char *query, int what, int storage = kAll)
    {
        std::vector<speed_dial_t> found(CONTACT_SPEED_DIAL_COUNT_MAX, kUntouched);
        int found_count = -1;
        ok(with(contact_search_speed_dials, query, what, storage, found.data(), &found_count));
        found_count = std::max(found_count, 0);
        for (int i = found_count; i < CONTACT_SPEED_DIAL_COUNT_MAX; ++i)
            EXPECT_EQ(found[std::size_t(i)], kUntouched) << "written past the count";
        found.resize(std::size_t(found_count));
        return found;
    }
};

// What cannot be dialled is refused, the record left as it was; a dial set
// is read back at the slot the argument names, also after a restart.
TEST_F(SpeedDialTest, SetRefusesWhatCannotBeDialledAndStoresTheRest)
{
    const int anna = write("Anna", {"0301111", "0172222"}), nobody = write("No number", {});
    const struct {
        int dial;
        speed_dial_t record;
        int code;
    } refused[] = {
        {CONTACT_SPEED_DIAL_INDEX_MIN - 1, {0, kPhone, anna, 0}, kSpeedDialOutOfRange},
        {CONTACT_SPEED_DIAL_INDEX_MAX + 1, {0, kPhone, anna, 0}, kSpeedDialOutOfRange},
        {2, {0, CONTACT_STORAGE_FDN, 1, 0}, kUnknownStorage},    {2, {0, 99, 1, 0}, kUnknownStorage},
        {2, {0, CONTACT_STORAGE_MY_CONTACT, 1, 0}, kUnknownStorage}, {2, {0, kPhone, anna + 100, 0}, kNoContact},
        {2, {0, kPhone, anna, 2}, kNoPhoneNumber},     {2, {0, kPhone, anna, -1}, kNoPhoneNumber},
        {2, {0, kPhone, nobody, 0}, kNoPhoneNumber},
    };
    for (const auto &r : refused) {
        SCOPED_TRACE(::testing::Message() << "dial " << r.dial << " " << ::testing::PrintToString(r.record));
        speed_dial_t record = r.record;
        EXPECT_TRUE(fails_with(with(contact_set_speed_dial, r.dial, &record), r.code, kSetFailed));
        EXPECT_EQ(record, r.record) << "a refused set leaves the record as it was";
    }
    EXPECT_EQ(count(), 0);

    set(3, anna, 1);
    EXPECT_EQ(get(3), (speed_dial_t{3, kPhone, anna, 1}));
    set(3, anna, 0); // again at the same dial: it now points at the other number
    EXPECT_EQ(get(3), (speed_dial_t{3, kPhone, anna, 0}));
    EXPECT_EQ(count(), 1);
    set(5, anna, 1);
    EXPECT_EQ(get_fails(8), kNoSpeedDial) << "the record's own index was not used";
    restart_service();
    EXPECT_EQ(get(5), (speed_dial_t{5, kPhone, anna, 1})) << "dials survive a restart";
    EXPECT_EQ(count(), 2);
}

// Delete one dial or all; the empty index is the lowest free dial, and a
// full table is an answer, not a failure: -1 and the code that says why.
TEST_F(SpeedDialTest, DeleteOneOrAllAndTheLowestFreeDial)
{
    speed_dial_t record{};
    EXPECT_TRUE(fails_with(with(contact_get_speed_dial, 4, &record), kNoSpeedDial, kGetFailed));
    EXPECT_EQ(get_fails(0), kSpeedDialOutOfRange);
    EXPECT_EQ(get_fails(CONTACT_SPEED_DIAL_INDEX_MAX + 1), kSpeedDialOutOfRange);
    EXPECT_TRUE(fails_with(with(contact_delete_speed_dial, 4), kNoSpeedDial, kDeleteFailed));
    EXPECT_TRUE(fails_with(with(contact_delete_speed_dial, 0), kSpeedDialOutOfRange, kDeleteFailed));

    const int anna = write("Anna", {"0301111"});
    EXPECT_EQ(empty_index(), std::make_pair(CONTACT_SPEED_DIAL_INDEX_MIN, int(kOk)));
    for (int dial : {1, 2, 4, 7})
        set(dial, anna, 0);
    EXPECT_EQ(empty_index(), std::make_pair(3, int(kOk)));
    ok(with(contact_delete_speed_dial, 2));
    EXPECT_EQ(get_fails(2), kNoSpeedDial);
    EXPECT_EQ(get(7).contact_index, anna);
    EXPECT_EQ(empty_index(), std::make_pair(2, int(kOk)));
    for (int dial = CONTACT_SPEED_DIAL_INDEX_MIN; dial <= CONTACT_SPEED_DIAL_INDEX_MAX; ++dial)
        set(dial, anna, 0);
    EXPECT_EQ(count(), CONTACT_SPEED_DIAL_INDEX_MAX - CONTACT_SPEED_DIAL_INDEX_MIN + 1);
    EXPECT_EQ(empty_index(), std::make_pair(-1, int(kSpeedDialFull)));

    ok(contact_delete_all_speed_dials);
    EXPECT_EQ(count(), 0);
    ok(contact_delete_all_speed_dials); // an empty table is no error
}

// A dial follows its number through updates, and goes with the number, its
// contact, or every contact of the storage.
TEST_F(SpeedDialTest, DialsFollowTheirNumberAndGoWithItOrTheirContact)
{
    const int anna = write("Anna", {"0301111", "0172222", "0403333"});
    const int bernd = write("Bernd", {"0403333"});
    set(2, anna, 1); // 0172222
    set(3, anna, 2); // 0403333
    set(5, bernd, 0);
    write("Anna Berg", {"0301111", "0172222", "0403333"}, anna);
    EXPECT_EQ(get(2).phone_position, 1) << "an update that keeps the numbers keeps the dials";
    EXPECT_EQ(get(3).phone_position, 2);
    write("Anna", {"0172222", "0403333"}, anna); // the first number goes: the dials follow theirs
    EXPECT_EQ(get(2), (speed_dial_t{2, kPhone, anna, 0}));
    EXPECT_EQ(get(3), (speed_dial_t{3, kPhone, anna, 1}));
    write("Anna", {"0403333", "0309999"}, anna); // 0172222 goes, and its dial with it
    EXPECT_EQ(get_fails(2), kNoSpeedDial);
    EXPECT_EQ(get(3), (speed_dial_t{3, kPhone, anna, 0}));

    ok(with(contact_delete_contact, kPhone, anna));
    EXPECT_EQ(get_fails(3), kNoSpeedDial);
    EXPECT_EQ(get(5), (speed_dial_t{5, kPhone, bernd, 0}));
    EXPECT_EQ(write("Carla", {"0403333"}), anna);
    EXPECT_EQ(get_fails(3), kNoSpeedDial) << "a new contact at the freed index does not inherit the dials";
    ok(with(contact_delete_all_contacts, kPhone));
    EXPECT_EQ(count(), 0) << "deleting every contact of the storage clears their dials";
}

TEST_F(SpeedDialTest, SearchByNameNumberAndStorage)
{
    const int anna = write("Anna Berg", {"030 1111", "0172222"});
    const int bernd = write("Bernd", {"0402222"});
    set(6, anna, 0);
    set(2, bernd, 0);
    set(3, anna, 1);
    EXPECT_EQ(search("", kAny),
              (std::vector<speed_dial_t>{{2, kPhone, bernd, 0}, {3, kPhone, anna, 1}, {6, kPhone, anna, 0}}))
        << "in dial order";
    constexpr int kName = CONTACT_SPEED_DIAL_SEARCH_NAME, kNumber = CONTACT_SPEED_DIAL_SEARCH_NUMBER;
    const struct {
        const char *query;
        int what, storage;
        std::size_t found;
    } rows[] = {
        {"BER", kName, kAll, 3}, // Berg and Bernd, any case
        {"ann", kName, kAll, 2},       {"2222", kNumber, kAll, 2}, {"0301-111", kNumber, kAll, 1}, // by digits
        {"2222", kName, kAll, 0},      {"bernd", kAny, kAll, 1},   {"1111", kAny, kAll, 1},
        {"x", kAny, kAll, 0},          {"", kAny, kPhone, 3},      {"", kAny, CONTACT_STORAGE_SIM, 0},
    };
    for (const auto &row : rows)
        EXPECT_EQ(search(row.query, row.what, row.storage).size(), row.found) << row.query << " " << row.what;

    speed_dial_t found[CONTACT_SPEED_DIAL_COUNT_MAX];
    int found_count = 42;
    EXPECT_TRUE(fails_with(with(contact_search_speed_dials, "", 3, kAll, found, &found_count), kInvalidArgument,
                           kSearchFailed));
    EXPECT_TRUE(fails_with(with(contact_search_speed_dials, "", kAny, CONTACT_STORAGE_FDN, found, &found_count),
                           kUnknownStorage, kSearchFailed));
    EXPECT_EQ(found_count, 42);
}

// ---- checks before the call ---------------------------------------------------

// The connection first (one row: every operation shares the frame's check
// and its text), then each pointer in order.
TEST(SpeedDialChecks, ConnectionFirstThenEachNullPointer)
{
    speed_dial_t found[1];
    int value = 0;
    constexpr int kNull = CONTACT_ERROR_NULL_ARGUMENT;
    const char *search = "contact_search_speed_dials", *get = "contact_get_speed_dial", *set = "contact_set_speed_dial";
    const char *count = "contact_get_speed_dial_count", *empty = "contact_get_empty_speed_dial_index";
    const auto null = null_argument_message;
    expect_preconditions({
        {search, with(contact_search_speed_dials, nullptr, 0, 0, nullptr, nullptr), CONTACT_ERROR_NOT_CONNECTED,
         no_connection_message(nullptr, false)},
        {get, with(contact_get_speed_dial, 1, nullptr), kNull, null(get, "parameter speed_dial")},
        {set, with(contact_set_speed_dial, 1, nullptr), kNull, null(set, "parameter speed_dial")},
        {count, with(contact_get_speed_dial_count, nullptr), kNull, null(count, "speed_dial_count")},
        {empty, with(contact_get_empty_speed_dial_index, nullptr), kNull, null(empty, "empty_index")},
        {search, with(contact_search_speed_dials, nullptr, 0, 0, nullptr, nullptr), kNull, null(search, "query")},
        {search, with(contact_search_speed_dials, "", 0, 0, nullptr, &value), kNull, null(search, "speed_dial_array")},
        {search, with(contact_search_speed_dials, "", 0, 0, found, nullptr), kNull, null(search, "speed_dial_count")},
    });
    EXPECT_EQ(value, 0);
}

// ---- with a responder in this process ---------------------------------------------

using Bytes = std::vector<std::uint8_t>;

constexpr int kRefusedCode = 99;
constexpr int kResultCode = 7; // what the responder leaves in the last OUT "i"

// Serves the methods whose failures the real service never sends, refusing
// every call while refuse_ is set; a search answers `announced_` of three records.
class SpeedDialResponder : public ResponderTest {
protected:
    void register_methods() override
    {
        auto method = [&](const char *name, auto handler) {
            object_->registerMethod(name).onInterface(CONTACT_ENGINE_INTERFACE).implementedAs(std::move(handler));
        };
        method("contact_get_speed_dial_count", [this]() { return answer(std::make_tuple(6, kResultCode)); });
        method("contact_get_empty_speed_dial_index", [this]() { return answer(std::make_tuple(8, kResultCode)); });
        method("contact_delete_all_speed_dials", [this]() { return answer(kResultCode); });
        method("contact_search_speed_dials", [this](const std::string &, int, int) {
            Bytes records(3 * speed_dial_wire::kSize);
            for (int i = 0; i < 3; ++i)
                for (int field = 0; field < 4; ++field)
                    contact_wire::write_i32(records.data() + std::size_t(i) * speed_dial_wire::kSize,
                                            std::size_t(field) * 4, i * 10 + field);
            return answer(std::make_tuple(records, announced_.load(), kResultCode));
        });
    }
    // The reply, unless the responder refuses every call.
    template <class Reply> Reply answer(Reply reply)
    {
        if (refuse_)
            throw sdbus::Error("org.yora.contact.Error.Refused",
                               std::to_string(kRefusedCode) + ": refused by the test");
        return reply;
    }

    std::atomic<bool> refuse_{false};
    std::atomic<int> announced_{3};
};

// A negative count is refused; a count below the records sent copies only what it counts.
TEST_F(SpeedDialResponder, SearchCopiesWhatTheCountAnnouncesAndRefusesANegativeOne)
{
    for (int announced : {-1, 0, 2}) {
        SCOPED_TRACE(announced);
        announced_ = announced;
        std::vector<speed_dial_t> found(4, kUntouched);
        int found_count = -5, error_code = -1;
        const int result = contact_search_speed_dials("", 0, -1, found.data(), &found_count, &error_code);
        EXPECT_EQ(result, announced < 0 ? 0 : 1);
        EXPECT_EQ(error_code, announced < 0 ? CONTACT_ERROR_MALFORMED_REPLY : kResultCode);
        EXPECT_EQ(found_count, announced < 0 ? -5 : announced);
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(found[std::size_t(i)],
                      (i < announced ? speed_dial_t{i * 10, i * 10 + 1, i * 10 + 2, i * 10 + 3} : kUntouched))
                << "record " << i;
    }
}

// Get, set, delete and search fail at the real service above.
TEST_F(SpeedDialResponder, EveryFailedCallLogsItsOwnMessageAndLeavesTheCallersVariables)
{
    refuse_ = true;
    int value = -5;
    const std::vector<std::pair<Call, std::string>> rows{
        {with(contact_get_speed_dial_count, &value), failed("contact_get_speed_dial_count")},
        {with(contact_get_empty_speed_dial_index, &value), failed("contact_get_empty_speed_dial_index")},
        {with(contact_delete_all_speed_dials), failed("contact_delete_all_speed_dials")},
    };
    for (const auto &[call, message] : rows)
        EXPECT_TRUE(fails_with(call, kRefusedCode, message));
    EXPECT_EQ(value, -5);
}

} // namespace
} // namespace contact_test
