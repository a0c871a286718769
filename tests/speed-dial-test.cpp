// Speed dials over the private bus: with the real service (the table, its
// refusals, its search, and the dials cleared with the contact or the number
// they point at), and with a responder in this process for what the real
// service never sends (short replies, refusals of every method, result codes).
#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
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
    *out << "{index " << d.index << ", storage " << d.storage_type << ", contact " << d.contact_index
         << ", position " << d.phone_position << "}";
}

namespace contact_test {
namespace {

using namespace contact_engine; // the service's codes by name

constexpr int kPhone = CONTACT_STORAGE_PHONE;

std::string failed_with_text(const std::string &middle)
{
    return "\n[DodazorEdidud]%s %d: " + middle + "() failed(%s).\n";
}

const std::string kGetFailed = failed_with_text("contact_get_speed_dial: org_yora_contact_contact_get_speed_dial");
const std::string kSetFailed = failed_with_text("contact_set_speed_dial: contact_set_speed_dial");
const std::string kDeleteFailed =
    failed_with_text("contact_delete_speed_dial: org_yora_contact_contact_delete_speed_dial");
const std::string kCountFailed =
    failed_with_text("contact_get_speed_dial_count: org_yora_contact_contact_get_speed_dial_count");
const std::string kEmptyFailed =
    failed_with_text("contact_get_empty_speed_dial_index: org_yora_contact_contact_get_empty_speed_dial_index");
const std::string kDeleteAllFailed =
    failed_with_text("contact_delete_all_speed_dials: org_yora_contact_contact_delete_all_speed_dials");
const std::string kSearchFailed =
    failed_with_text("contact_search_speed_dials: org_yora_contact_contact_search_speed_dials(");

// ---- with the real service -------------------------------------------------------

class SpeedDialTest : public ServiceTest {
protected:
    int add_contact(const std::string &name, const std::vector<std::string> &numbers, int storage = kPhone)
    {
        SampleContact contact(name);
        for (const std::string &number : numbers)
            contact.phone(number);
        int index = -1;
        int error_code = -1;
        EXPECT_EQ(contact_add_contact(storage, &contact.record, &index, &error_code), 1) << error_code;
        return index;
    }
    void update_numbers(int index, const std::vector<std::string> &numbers, const std::string &name = "Anna")
    {
        SampleContact contact(name);
        for (const std::string &number : numbers)
            contact.phone(number);
        int error_code = -1;
        ASSERT_EQ(contact_update_contact(kPhone, index, &contact.record, &error_code), 1) << error_code;
    }
    // Sets a dial and checks the call succeeded with result code 0.
    void set(int dial, int contact, int position, int storage = kPhone)
    {
        speed_dial_t record{-5, storage, contact, position};
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
        speed_dial_t record{-1, -2, -3, -4};
        const int code = failure_code([&](int *e) { return contact_get_speed_dial(dial, &record, e); });
        EXPECT_EQ(record, (speed_dial_t{-1, -2, -3, -4}));
        return code;
    }
    int count()
    {
        int dials = -1;
        int error_code = -1;
        EXPECT_EQ(contact_get_speed_dial_count(&dials, &error_code), 1);
        EXPECT_EQ(error_code, kOk);
        return dials;
    }
    std::vector<speed_dial_t> search(const char *query, int what, int storage)
    {
        std::vector<speed_dial_t> found(CONTACT_SPEED_DIAL_COUNT_MAX, speed_dial_t{-9, -9, -9, -9});
        int found_count = -1;
        int error_code = -1;
        EXPECT_EQ(contact_search_speed_dials(query, what, storage, found.data(), &found_count, &error_code), 1)
            << error_code;
        EXPECT_EQ(error_code, kOk);
        EXPECT_GE(found_count, 0);
        for (int i = found_count; i < CONTACT_SPEED_DIAL_COUNT_MAX; ++i)
            EXPECT_EQ(found[std::size_t(i)], (speed_dial_t{-9, -9, -9, -9})) << "written past the count";
        found.resize(std::size_t(found_count < 0 ? 0 : found_count));
        return found;
    }
};

TEST_F(SpeedDialTest, SetStoresTheDialAndGetReadsItBack)
{
    const int anna = add_contact("Anna", {"0301111", "0172222"});
    set(3, anna, 1);
    EXPECT_EQ(get(3), (speed_dial_t{3, kPhone, anna, 1}));
    EXPECT_EQ(count(), 1);

    // Set again at the same dial: the dial now points at the other number.
    set(3, anna, 0);
    EXPECT_EQ(get(3), (speed_dial_t{3, kPhone, anna, 0}));
    EXPECT_EQ(count(), 1);

    // The slot is the argument, not the record's index.
    speed_dial_t record{8, kPhone, anna, 1};
    int error_code = -1;
    ASSERT_EQ(contact_set_speed_dial(5, &record, &error_code), 1);
    EXPECT_EQ(record.index, 5);
    EXPECT_EQ(get_fails(8), kNoSpeedDial);

    restart_service();
    EXPECT_EQ(get(5), (speed_dial_t{5, kPhone, anna, 1})) << "dials survive a restart";
    EXPECT_EQ(count(), 2);
}

TEST_F(SpeedDialTest, SetRefusesWhatCannotBeDialled)
{
    const int anna = add_contact("Anna", {"0301111", "0172222"});
    const int nobody = add_contact("No number", {});
    struct Refused {
        int dial;
        speed_dial_t record;
        int code;
    };
    const std::vector<Refused> refused{
        {CONTACT_SPEED_DIAL_INDEX_MIN - 1, {0, kPhone, anna, 0}, kSpeedDialOutOfRange},
        {CONTACT_SPEED_DIAL_INDEX_MAX + 1, {0, kPhone, anna, 0}, kSpeedDialOutOfRange},
        {-3, {0, kPhone, anna, 0}, kSpeedDialOutOfRange},
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
        EXPECT_TRUE(fails_with([&](int *e) { return contact_set_speed_dial(r.dial, &record, e); }, r.code,
                               kSetFailed));
        EXPECT_EQ(record, r.record) << "a refused set leaves the record as it was";
    }
    EXPECT_EQ(count(), 0);
}

TEST_F(SpeedDialTest, EmptyAndOutOfRangeDialsAreRefusedByGetAndDelete)
{
    EXPECT_EQ(get_fails(4), kNoSpeedDial);
    EXPECT_EQ(get_fails(0), kSpeedDialOutOfRange);
    EXPECT_EQ(get_fails(CONTACT_SPEED_DIAL_INDEX_MAX + 1), kSpeedDialOutOfRange);
    speed_dial_t record{};
    EXPECT_TRUE(fails_with([&](int *e) { return contact_get_speed_dial(4, &record, e); }, kNoSpeedDial, kGetFailed));
    EXPECT_TRUE(fails_with([](int *e) { return contact_delete_speed_dial(4, e); }, kNoSpeedDial, kDeleteFailed));
    EXPECT_TRUE(fails_with([](int *e) { return contact_delete_speed_dial(0, e); }, kSpeedDialOutOfRange,
                           kDeleteFailed));
}

TEST_F(SpeedDialTest, DeleteRemovesOneDialAndDeleteAllEvery)
{
    const int anna = add_contact("Anna", {"0301111"});
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
    const int anna = add_contact("Anna", {"0301111"});
    int empty = -7;
    int error_code = -1;
    ASSERT_EQ(contact_get_empty_speed_dial_index(&empty, &error_code), 1);
    EXPECT_EQ(empty, CONTACT_SPEED_DIAL_INDEX_MIN);
    EXPECT_EQ(error_code, kOk);
    set(1, anna, 0);
    set(2, anna, 0);
    set(4, anna, 0);
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

TEST_F(SpeedDialTest, DeletingTheContactOrAllContactsClearsTheirDials)
{
    const int anna = add_contact("Anna", {"0301111", "0172222"});
    const int bernd = add_contact("Bernd", {"0403333"});
    set(2, anna, 0);
    set(3, anna, 1);
    set(5, bernd, 0);
    int error_code = -1;
    ASSERT_EQ(contact_delete_contact(kPhone, anna, &error_code), 1);
    EXPECT_EQ(get_fails(2), kNoSpeedDial);
    EXPECT_EQ(get_fails(3), kNoSpeedDial);
    EXPECT_EQ(get(5), (speed_dial_t{5, kPhone, bernd, 0}));
    EXPECT_EQ(count(), 1);

    // A new contact at the freed index does not inherit the dials.
    EXPECT_EQ(add_contact("Carla", {"0301111"}), anna);
    EXPECT_EQ(get_fails(2), kNoSpeedDial);

    ASSERT_EQ(contact_delete_all_contacts(kPhone, &error_code), 1);
    EXPECT_EQ(count(), 0) << "deleting every contact of the storage clears their dials";
}

TEST_F(SpeedDialTest, DialsFollowTheirNumberAndGoWithIt)
{
    const int anna = add_contact("Anna", {"0301111", "0172222", "0403333"});
    set(2, anna, 1); // 0172222
    set(3, anna, 2); // 0403333

    // An update that keeps the numbers keeps the dials.
    update_numbers(anna, {"0301111", "0172222", "0403333"}, "Anna Berg");
    EXPECT_EQ(get(2).phone_position, 1);
    EXPECT_EQ(get(3).phone_position, 2);

    // The first number goes: the dials follow theirs to their new places.
    update_numbers(anna, {"0172222", "0403333"});
    EXPECT_EQ(get(2), (speed_dial_t{2, kPhone, anna, 0}));
    EXPECT_EQ(get(3), (speed_dial_t{3, kPhone, anna, 1}));

    // 0172222 goes: its dial is cleared, the other stays.
    update_numbers(anna, {"0403333", "0309999"});
    EXPECT_EQ(get_fails(2), kNoSpeedDial);
    EXPECT_EQ(get(3), (speed_dial_t{3, kPhone, anna, 0}));
    EXPECT_EQ(count(), 1);

    // Every number goes.
    update_numbers(anna, {});
    EXPECT_EQ(count(), 0);
}

TEST_F(SpeedDialTest, SearchByNameNumberAndStorage)
{
    const int anna = add_contact("Anna Berg", {"030 1111", "0172222"});
    const int bernd = add_contact("Bernd", {"0402222"});
    set(6, anna, 0);
    set(2, bernd, 0);
    set(3, anna, 1);

    const auto all = search("", CONTACT_SPEED_DIAL_SEARCH_ANY, CONTACT_SPEED_DIAL_SEARCH_ALL_STORAGES);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0], (speed_dial_t{2, kPhone, bernd, 0})) << "in dial order";
    EXPECT_EQ(all[1], (speed_dial_t{3, kPhone, anna, 1}));
    EXPECT_EQ(all[2], (speed_dial_t{6, kPhone, anna, 0}));

    EXPECT_EQ(search("BER", CONTACT_SPEED_DIAL_SEARCH_NAME, CONTACT_SPEED_DIAL_SEARCH_ALL_STORAGES).size(), 3u)
        << "Berg and Bernd, any case";
    EXPECT_EQ(search("ann", CONTACT_SPEED_DIAL_SEARCH_NAME, CONTACT_SPEED_DIAL_SEARCH_ALL_STORAGES).size(), 2u);
    const auto by_number = search("2222", CONTACT_SPEED_DIAL_SEARCH_NUMBER, CONTACT_SPEED_DIAL_SEARCH_ALL_STORAGES);
    ASSERT_EQ(by_number.size(), 2u);
    EXPECT_EQ(by_number[0].index, 2);
    EXPECT_EQ(by_number[1].index, 3);
    EXPECT_EQ(search("0301-111", CONTACT_SPEED_DIAL_SEARCH_NUMBER, CONTACT_SPEED_DIAL_SEARCH_ALL_STORAGES).size(),
              1u)
        << "numbers compare by their digits";
    EXPECT_EQ(search("2222", CONTACT_SPEED_DIAL_SEARCH_NAME, CONTACT_SPEED_DIAL_SEARCH_ALL_STORAGES).size(), 0u);
    EXPECT_EQ(search("bernd", CONTACT_SPEED_DIAL_SEARCH_ANY, CONTACT_SPEED_DIAL_SEARCH_ALL_STORAGES).size(), 1u);
    EXPECT_EQ(search("1111", CONTACT_SPEED_DIAL_SEARCH_ANY, CONTACT_SPEED_DIAL_SEARCH_ALL_STORAGES).size(), 1u);
    EXPECT_EQ(search("", CONTACT_SPEED_DIAL_SEARCH_ANY, kPhone).size(), 3u);
    EXPECT_EQ(search("", CONTACT_SPEED_DIAL_SEARCH_ANY, CONTACT_STORAGE_SIM).size(), 0u);
}

TEST_F(SpeedDialTest, SearchWithNothingFoundWritesOnlyTheCount)
{
    std::vector<speed_dial_t> found(2, speed_dial_t{-9, -9, -9, -9});
    int found_count = -1;
    int error_code = -1;
    ASSERT_EQ(contact_search_speed_dials("x", CONTACT_SPEED_DIAL_SEARCH_ANY, CONTACT_SPEED_DIAL_SEARCH_ALL_STORAGES,
                                         found.data(), &found_count, &error_code),
              1);
    EXPECT_EQ(found_count, 0);
    EXPECT_EQ(found[0], (speed_dial_t{-9, -9, -9, -9}));
}

TEST_F(SpeedDialTest, SearchRefusesParametersItDoesNotKnow)
{
    speed_dial_t found[CONTACT_SPEED_DIAL_COUNT_MAX];
    int found_count = 42;
    EXPECT_TRUE(fails_with(
        [&](int *e) { return contact_search_speed_dials("", 3, CONTACT_SPEED_DIAL_SEARCH_ALL_STORAGES, found, &found_count, e); },
        kInvalidArgument, kSearchFailed));
    EXPECT_TRUE(fails_with(
        [&](int *e) { return contact_search_speed_dials("", CONTACT_SPEED_DIAL_SEARCH_ANY, CONTACT_STORAGE_FDN, found, &found_count, e); },
        kUnknownStorage, kSearchFailed));
    EXPECT_EQ(found_count, 42);
}

// ---- checks before the call ---------------------------------------------------

TEST(SpeedDialChecks, EveryOperationNeedsTheConnectionFirst)
{
    const std::string no_connection = no_connection_message(nullptr, false);
    speed_dial_t record{};
    int value = 0;
    expect_preconditions({
        {"contact_get_speed_dial", [](int *e) { return contact_get_speed_dial(1, nullptr, e); },
         CONTACT_ERROR_NOT_CONNECTED, no_connection},
        {"contact_set_speed_dial", [](int *e) { return contact_set_speed_dial(1, nullptr, e); },
         CONTACT_ERROR_NOT_CONNECTED, no_connection},
        {"contact_set_speed_dial", [&](int *e) { return contact_set_speed_dial(1, &record, e); },
         CONTACT_ERROR_NOT_CONNECTED, no_connection},
        {"contact_delete_speed_dial", [](int *e) { return contact_delete_speed_dial(1, e); },
         CONTACT_ERROR_NOT_CONNECTED, no_connection},
        {"contact_get_speed_dial_count", [](int *e) { return contact_get_speed_dial_count(nullptr, e); },
         CONTACT_ERROR_NOT_CONNECTED, no_connection},
        {"contact_get_empty_speed_dial_index", [&](int *e) { return contact_get_empty_speed_dial_index(&value, e); },
         CONTACT_ERROR_NOT_CONNECTED, no_connection},
        {"contact_delete_all_speed_dials", [](int *e) { return contact_delete_all_speed_dials(e); },
         CONTACT_ERROR_NOT_CONNECTED, no_connection},
        {"contact_search_speed_dials",
         [](int *e) { return contact_search_speed_dials(nullptr, 0, 0, nullptr, nullptr, e); },
         CONTACT_ERROR_NOT_CONNECTED, no_connection},
    });
    EXPECT_EQ(value, 0);
}

TEST(SpeedDialChecks, FirstNullPointerDecides)
{
    constexpr int kNull = CONTACT_ERROR_NULL_ARGUMENT;
    speed_dial_t found[1];
    int value = 0;
    expect_preconditions({
        {"contact_get_speed_dial", [](int *e) { return contact_get_speed_dial(1, nullptr, e); }, kNull,
         "\n[DodazorEdidud]%s %d: contact_get_speed_dial: The parameter speed_dial is NULL.\n"},
        {"contact_set_speed_dial", [](int *e) { return contact_set_speed_dial(1, nullptr, e); }, kNull,
         "\n[DodazorEdidud]%s %d: contact_set_speed_dial: The parameter speed_dial is NULL.\n"},
        {"contact_get_speed_dial_count", [](int *e) { return contact_get_speed_dial_count(nullptr, e); }, kNull,
         null_argument_message("contact_get_speed_dial_count", "speed_dial_count")},
        {"contact_get_empty_speed_dial_index", [](int *e) { return contact_get_empty_speed_dial_index(nullptr, e); },
         kNull, null_argument_message("contact_get_empty_speed_dial_index", "empty_index")},
        {"contact_search_speed_dials",
         [](int *e) { return contact_search_speed_dials(nullptr, 0, 0, nullptr, nullptr, e); }, kNull,
         null_argument_message("contact_search_speed_dials", "query")},
        {"contact_search_speed_dials",
         [&](int *e) { return contact_search_speed_dials("", 0, 0, nullptr, &value, e); }, kNull,
         null_argument_message("contact_search_speed_dials", "speed_dial_array")},
        {"contact_search_speed_dials", [&](int *e) { return contact_search_speed_dials("", 0, 0, found, nullptr, e); },
         kNull, null_argument_message("contact_search_speed_dials", "speed_dial_count")},
    });
}

// ---- with a responder in this process ---------------------------------------------

using Bytes = std::vector<std::uint8_t>;

// Records back to back, each by the wire offsets.
Bytes encoded(std::vector<speed_dial_t> records)
{
    namespace wire = speed_dial_wire;
    Bytes bytes(records.size() * wire::kSize);
    for (std::size_t i = 0; i < records.size(); ++i) {
        std::uint8_t *record = bytes.data() + i * wire::kSize;
        contact_wire::write_i32(record, wire::offset::index, records[i].index);
        contact_wire::write_i32(record, wire::offset::storage_type, records[i].storage_type);
        contact_wire::write_i32(record, wire::offset::contact_index, records[i].contact_index);
        contact_wire::write_i32(record, wire::offset::phone_position, records[i].phone_position);
    }
    return bytes;
}

constexpr int kRefusedCode = 99;
constexpr int kResultCode = 7; // what the responder leaves in the last OUT "i"

// Takes the service's name and serves the seven methods.  contact_get_speed_dial
// answers with as many bytes of a whole record as the dial number asks for;
// a search answers with `announced_` records in `reply_bytes_` bytes.
class SpeedDialResponder : public ResponderTest {
protected:
    void register_methods() override
    {
        const char *interface = CONTACT_ENGINE_INTERFACE;
        object_->registerMethod("contact_get_speed_dial").onInterface(interface).implementedAs([this](int length) {
            answer();
            Bytes record = encoded({{4, 1, 2, 3}});
            record.resize(std::size_t(length));
            return std::make_tuple(record, kResultCode);
        });
        object_->registerMethod("contact_set_speed_dial")
            .onInterface(interface)
            .implementedAs([this](int, const Bytes &) {
                answer();
                return kResultCode;
            });
        object_->registerMethod("contact_delete_speed_dial").onInterface(interface).implementedAs([this](int) {
            answer();
            return kResultCode;
        });
        object_->registerMethod("contact_get_speed_dial_count").onInterface(interface).implementedAs([this]() {
            answer();
            return std::make_tuple(6, kResultCode);
        });
        object_->registerMethod("contact_get_empty_speed_dial_index").onInterface(interface).implementedAs([this]() {
            answer();
            return std::make_tuple(8, kResultCode);
        });
        object_->registerMethod("contact_delete_all_speed_dials").onInterface(interface).implementedAs([this]() {
            answer();
            return kResultCode;
        });
        object_->registerMethod("contact_search_speed_dials")
            .onInterface(interface)
            .implementedAs([this](const std::string &, int, int) {
                answer();
                std::lock_guard lock(mutex_);
                Bytes records = encoded({{1, 0, 10, 0}, {2, 0, 11, 1}, {3, 0, 12, 2}});
                records.resize(reply_bytes_);
                return std::make_tuple(records, announced_, kResultCode);
            });
    }
    void answer()
    {
        if (refuse_)
            throw sdbus::Error("org.yora.contact.Error.Refused", std::to_string(kRefusedCode) + ": refused by the test");
    }
    void reply_with(int announced, std::size_t bytes)
    {
        std::lock_guard lock(mutex_);
        announced_ = announced;
        reply_bytes_ = bytes;
    }
    // contact_search_speed_dials into a fresh array; expects `result`.
    void expect_search(int result, int code, int expected_count)
    {
        std::vector<speed_dial_t> found(4, speed_dial_t{-9, -9, -9, -9});
        int found_count = -1;
        int error_code = -1;
        EXPECT_EQ(contact_search_speed_dials("", 0, -1, found.data(), &found_count, &error_code), result);
        EXPECT_EQ(error_code, code);
        EXPECT_EQ(found_count, expected_count);
        for (int i = 0; i < 4; ++i) {
            if (result == 1 && i < expected_count)
                EXPECT_EQ(found[std::size_t(i)], (speed_dial_t{i + 1, 0, 10 + i, i}));
            else
                EXPECT_EQ(found[std::size_t(i)], (speed_dial_t{-9, -9, -9, -9})) << "record " << i << " untouched";
        }
    }

    std::atomic<bool> refuse_{false};
    std::mutex mutex_;
    int announced_ = 3;
    std::size_t reply_bytes_ = 48;
};

TEST_F(SpeedDialResponder, ShortRecordIsRefusedAndNothingWritten)
{
    for (int length : {0, 4, 15}) {
        SCOPED_TRACE(length);
        LogCapture log;
        speed_dial_t record{-1, -1, -1, -1};
        int error_code = -1;
        EXPECT_EQ(contact_get_speed_dial(length, &record, &error_code), 0);
        EXPECT_EQ(error_code, CONTACT_ERROR_MALFORMED_REPLY);
        EXPECT_EQ(record, (speed_dial_t{-1, -1, -1, -1}));
        EXPECT_EQ(log.errors().size(), 1u);
    }
    speed_dial_t record{};
    int error_code = -1;
    EXPECT_EQ(contact_get_speed_dial(16, &record, &error_code), 1);
    EXPECT_EQ(record, (speed_dial_t{4, 1, 2, 3}));
    EXPECT_EQ(error_code, kResultCode) << "the service's result code is left in error_code";
}

TEST_F(SpeedDialResponder, SearchShorterThanItsCountIsRefusedAndNothingWritten)
{
    reply_with(3, 47);
    expect_search(0, CONTACT_ERROR_MALFORMED_REPLY, -1);
    reply_with(3, 0);
    expect_search(0, CONTACT_ERROR_MALFORMED_REPLY, -1);
    reply_with(-1, 48);
    expect_search(0, CONTACT_ERROR_MALFORMED_REPLY, -1);
    reply_with(3, 48);
    expect_search(1, kResultCode, 3);
    reply_with(2, 48);
    expect_search(1, kResultCode, 2);
    reply_with(0, 0);
    expect_search(1, kResultCode, 0);
}

TEST_F(SpeedDialResponder, EveryFailedCallLogsItsOwnMessageAndLeavesTheCallersVariables)
{
    refuse_ = true;
    speed_dial_t record{-1, -1, -1, -1};
    int value = -5;
    speed_dial_t found[2] = {{-9, -9, -9, -9}, {-9, -9, -9, -9}};
    EXPECT_TRUE(fails_with([&](int *e) { return contact_get_speed_dial(16, &record, e); }, kRefusedCode, kGetFailed));
    EXPECT_TRUE(fails_with([&](int *e) { return contact_set_speed_dial(2, &record, e); }, kRefusedCode, kSetFailed));
    EXPECT_EQ(record, (speed_dial_t{-1, -1, -1, -1})) << "a failed set leaves the record's index";
    EXPECT_TRUE(fails_with([](int *e) { return contact_delete_speed_dial(2, e); }, kRefusedCode, kDeleteFailed));
    EXPECT_TRUE(fails_with([&](int *e) { return contact_get_speed_dial_count(&value, e); }, kRefusedCode,
                           kCountFailed));
    EXPECT_TRUE(fails_with([&](int *e) { return contact_get_empty_speed_dial_index(&value, e); }, kRefusedCode,
                           kEmptyFailed));
    EXPECT_TRUE(fails_with([](int *e) { return contact_delete_all_speed_dials(e); }, kRefusedCode,
                           kDeleteAllFailed));
    EXPECT_TRUE(fails_with([&](int *e) { return contact_search_speed_dials("", 0, -1, found, &value, e); },
                           kRefusedCode, kSearchFailed));
    EXPECT_EQ(value, -5);
    EXPECT_EQ(found[0], (speed_dial_t{-9, -9, -9, -9}));
}

} // namespace
} // namespace contact_test
