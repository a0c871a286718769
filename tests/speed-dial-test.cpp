// Speed dials over the private bus: with the real service (the table, its
// refusals, its search, the dials cleared with the contact or the number they
// point at), the checks before the call, and a responder in this process for
// what the real service never sends (refusals of every method, a negative or
// partial search count).
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

// `function` called with `args` and the error code.
template <class F, class... A> Call with(F function, A... args)
{
    return [=](int *e) { return function(args..., e); };
}

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

class SpeedDialTest : public ServiceTest {
protected:
    // Adds a contact (index 0) or updates contact `index`; returns its index.
    int write(const std::string &name, const std::vector<std::string> &numbers, int index = 0)
    {
        SampleContact contact(name);
        for (const std::string &number : numbers)
            contact.phone(number);
        int error_code = -1;
        EXPECT_EQ(index == 0 ? contact_add_contact(kPhone, &contact.record, &index, &error_code)
                             : contact_update_contact(kPhone, index, &contact.record, &error_code),
                  1)
            << error_code;
        return index;
    }
    // Sets dial `dial` from a record whose index says 8: the slot is the argument.
    void set(int dial, int contact, int position)
    {
        speed_dial_t record{8, kPhone, contact, position};
        int error_code = -1;
        ASSERT_EQ(contact_set_speed_dial(dial, &record, &error_code), 1) << "code " << error_code;
        EXPECT_EQ(error_code, kOk);
        EXPECT_EQ(record.index, dial);
    }
    speed_dial_t get(int dial)
    {
        speed_dial_t record{-1, -1, -1, -1};
        int error_code = -1;
        EXPECT_EQ(contact_get_speed_dial(dial, &record, &error_code), 1) << "dial " << dial << " code " << error_code;
        EXPECT_EQ(error_code, kOk);
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
    int count()
    {
        int dials = -1, error_code = -1;
        EXPECT_EQ(contact_get_speed_dial_count(&dials, &error_code), 1);
        EXPECT_EQ(error_code, kOk);
        return dials;
    }
    std::vector<speed_dial_t> search(const char *query, int what, int storage = kAll)
    {
        std::vector<speed_dial_t> found(CONTACT_SPEED_DIAL_COUNT_MAX, kUntouched);
        int found_count = -1, error_code = -1;
        EXPECT_EQ(contact_search_speed_dials(query, what, storage, found.data(), &found_count, &error_code), 1)
            << error_code;
        EXPECT_EQ(error_code, kOk);
        EXPECT_GE(found_count, 0);
        for (int i = std::max(found_count, 0); i < CONTACT_SPEED_DIAL_COUNT_MAX; ++i)
            EXPECT_EQ(found[std::size_t(i)], kUntouched) << "written past the count";
        found.resize(std::size_t(std::max(found_count, 0)));
        return found;
    }
};

TEST_F(SpeedDialTest, SetStoresTheDialAndGetReadsItBack)
{
    const int anna = write("Anna", {"0301111", "0172222"});
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

TEST_F(SpeedDialTest, SetRefusesWhatCannotBeDialled)
{
    const int anna = write("Anna", {"0301111", "0172222"});
    const int nobody = write("No number", {});
    struct Refused {
        int dial;
        speed_dial_t record;
        int code;
    };
    const std::vector<Refused> refused{
        {CONTACT_SPEED_DIAL_INDEX_MIN - 1, {0, kPhone, anna, 0}, kSpeedDialOutOfRange},
        {CONTACT_SPEED_DIAL_INDEX_MAX + 1, {0, kPhone, anna, 0}, kSpeedDialOutOfRange},
        {2, {0, CONTACT_STORAGE_FDN, 1, 0}, kUnknownStorage},
        {2, {0, CONTACT_STORAGE_MY_CONTACT, 1, 0}, kUnknownStorage},
        {2, {0, 99, 1, 0}, kUnknownStorage},
        {2, {0, kPhone, anna + 100, 0}, kNoContact},
        {2, {0, kPhone, anna, 2}, kNoPhoneNumber},
        {2, {0, kPhone, anna, -1}, kNoPhoneNumber},
        {2, {0, kPhone, nobody, 0}, kNoPhoneNumber},
    };
    for (const Refused &r : refused) {
        SCOPED_TRACE(::testing::Message() << "dial " << r.dial << " " << ::testing::PrintToString(r.record));
        speed_dial_t record = r.record;
        EXPECT_TRUE(fails_with(with(contact_set_speed_dial, r.dial, &record), r.code, kSetFailed));
        EXPECT_EQ(record, r.record) << "a refused set leaves the record as it was";
    }
    EXPECT_EQ(count(), 0);
}

TEST_F(SpeedDialTest, DeleteRemovesOneDialAndDeleteAllEvery)
{
    speed_dial_t record{};
    EXPECT_TRUE(fails_with(with(contact_get_speed_dial, 4, &record), kNoSpeedDial, kGetFailed));
    EXPECT_EQ(get_fails(0), kSpeedDialOutOfRange);
    EXPECT_EQ(get_fails(CONTACT_SPEED_DIAL_INDEX_MAX + 1), kSpeedDialOutOfRange);
    EXPECT_TRUE(fails_with(with(contact_delete_speed_dial, 4), kNoSpeedDial, kDeleteFailed));
    EXPECT_TRUE(fails_with(with(contact_delete_speed_dial, 0), kSpeedDialOutOfRange, kDeleteFailed));

    const int anna = write("Anna", {"0301111"});
    set(2, anna, 0);
    set(7, anna, 0);
    int error_code = -1;
    ASSERT_EQ(contact_delete_speed_dial(2, &error_code), 1);
    EXPECT_EQ(error_code, kOk);
    EXPECT_EQ(get_fails(2), kNoSpeedDial);
    EXPECT_EQ(get(7).contact_index, anna);

    set(1, anna, 0);
    error_code = -1;
    ASSERT_EQ(contact_delete_all_speed_dials(&error_code), 1);
    EXPECT_EQ(error_code, kOk);
    EXPECT_EQ(count(), 0);
    ASSERT_EQ(contact_delete_all_speed_dials(&error_code), 1) << "an empty table is no error";
}

TEST_F(SpeedDialTest, EmptyIndexIsTheLowestFreeDialUntilTheTableIsFull)
{
    const int anna = write("Anna", {"0301111"});
    int empty = -7, error_code = -1;
    ASSERT_EQ(contact_get_empty_speed_dial_index(&empty, &error_code), 1);
    EXPECT_EQ(empty, CONTACT_SPEED_DIAL_INDEX_MIN);
    EXPECT_EQ(error_code, kOk);
    for (int dial : {1, 2, 4})
        set(dial, anna, 0);
    ASSERT_EQ(contact_get_empty_speed_dial_index(&empty, &error_code), 1);
    EXPECT_EQ(empty, 3);
    for (int dial = CONTACT_SPEED_DIAL_INDEX_MIN; dial <= CONTACT_SPEED_DIAL_INDEX_MAX; ++dial)
        set(dial, anna, 0);
    EXPECT_EQ(count(), CONTACT_SPEED_DIAL_INDEX_MAX - CONTACT_SPEED_DIAL_INDEX_MIN + 1);
    // A full table is an answer, not a failure: -1 and the code that says why.
    ASSERT_EQ(contact_get_empty_speed_dial_index(&empty, &error_code), 1);
    EXPECT_EQ(empty, -1);
    EXPECT_EQ(error_code, kSpeedDialFull);
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

    int error_code = -1;
    ASSERT_EQ(contact_delete_contact(kPhone, anna, &error_code), 1);
    EXPECT_EQ(get_fails(3), kNoSpeedDial);
    EXPECT_EQ(get(5), (speed_dial_t{5, kPhone, bernd, 0}));
    EXPECT_EQ(write("Carla", {"0403333"}), anna);
    EXPECT_EQ(get_fails(3), kNoSpeedDial) << "a new contact at the freed index does not inherit the dials";
    ASSERT_EQ(contact_delete_all_contacts(kPhone, &error_code), 1);
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
    const struct {
        const char *query;
        int what, storage;
        std::size_t found;
    } rows[] = {
        {"BER", CONTACT_SPEED_DIAL_SEARCH_NAME, kAll, 3}, // Berg and Bernd, any case
        {"ann", CONTACT_SPEED_DIAL_SEARCH_NAME, kAll, 2},
        {"2222", CONTACT_SPEED_DIAL_SEARCH_NUMBER, kAll, 2},
        {"0301-111", CONTACT_SPEED_DIAL_SEARCH_NUMBER, kAll, 1}, // numbers compare by their digits
        {"2222", CONTACT_SPEED_DIAL_SEARCH_NAME, kAll, 0},
        {"bernd", kAny, kAll, 1},
        {"1111", kAny, kAll, 1},
        {"x", kAny, kAll, 0},
        {"", kAny, kPhone, 3},
        {"", kAny, CONTACT_STORAGE_SIM, 0},
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
    const char *search = "contact_search_speed_dials";
    expect_preconditions({
        {search, with(contact_search_speed_dials, nullptr, 0, 0, nullptr, nullptr), CONTACT_ERROR_NOT_CONNECTED,
         no_connection_message(nullptr, false)},
        {"contact_get_speed_dial", with(contact_get_speed_dial, 1, nullptr), kNull,
         null_argument_message("contact_get_speed_dial", "parameter speed_dial")},
        {"contact_set_speed_dial", with(contact_set_speed_dial, 1, nullptr), kNull,
         null_argument_message("contact_set_speed_dial", "parameter speed_dial")},
        {"contact_get_speed_dial_count", with(contact_get_speed_dial_count, nullptr), kNull,
         null_argument_message("contact_get_speed_dial_count", "speed_dial_count")},
        {"contact_get_empty_speed_dial_index", with(contact_get_empty_speed_dial_index, nullptr), kNull,
         null_argument_message("contact_get_empty_speed_dial_index", "empty_index")},
        {search, with(contact_search_speed_dials, nullptr, 0, 0, nullptr, nullptr), kNull,
         null_argument_message(search, "query")},
        {search, with(contact_search_speed_dials, "", 0, 0, nullptr, &value), kNull,
         null_argument_message(search, "speed_dial_array")},
        {search, with(contact_search_speed_dials, "", 0, 0, found, nullptr), kNull,
         null_argument_message(search, "speed_dial_count")},
    });
    EXPECT_EQ(value, 0);
}

// ---- with a responder in this process ---------------------------------------------

using Bytes = std::vector<std::uint8_t>;

constexpr int kRefusedCode = 99;
constexpr int kResultCode = 7; // what the responder leaves in the last OUT "i"

// Takes the service's name and serves the seven methods, refusing every call
// while refuse_ is set; a search answers with `announced_` of its three records.
class SpeedDialResponder : public ResponderTest {
protected:
    void register_methods() override
    {
        const char *interface = CONTACT_ENGINE_INTERFACE;
        auto method = [&](const char *name, auto handler) {
            object_->registerMethod(name).onInterface(interface).implementedAs(std::move(handler));
        };
        method("contact_get_speed_dial", [this](int) { return answer(std::make_tuple(Bytes(16), kResultCode)); });
        method("contact_set_speed_dial", [this](int, const Bytes &) { return answer(kResultCode); });
        method("contact_delete_speed_dial", [this](int) { return answer(kResultCode); });
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

TEST_F(SpeedDialResponder, EveryFailedCallLogsItsOwnMessageAndLeavesTheCallersVariables)
{
    refuse_ = true;
    speed_dial_t record = kUntouched;
    int value = -5;
    speed_dial_t found[2] = {kUntouched, kUntouched};
    const std::vector<std::pair<Call, std::string>> rows{
        {with(contact_get_speed_dial, 16, &record), kGetFailed},
        {with(contact_set_speed_dial, 2, &record), kSetFailed},
        {with(contact_delete_speed_dial, 2), kDeleteFailed},
        {with(contact_get_speed_dial_count, &value), failed("contact_get_speed_dial_count")},
        {with(contact_get_empty_speed_dial_index, &value), failed("contact_get_empty_speed_dial_index")},
        {with(contact_delete_all_speed_dials), failed("contact_delete_all_speed_dials")},
        {with(contact_search_speed_dials, "", 0, -1, found, &value), kSearchFailed},
    };
    for (const auto &[call, message] : rows)
        EXPECT_TRUE(fails_with(call, kRefusedCode, message));
    EXPECT_EQ(record, kUntouched) << "a failed set leaves the record's index";
    EXPECT_EQ(value, -5);
    EXPECT_EQ(found[0], kUntouched);
}

} // namespace
} // namespace contact_test
