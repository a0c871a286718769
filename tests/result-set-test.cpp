// Result sets over the private bus with the real service (locale en_GB, so
// numbers without a country code are British), and the library's handling
// of replies that do not hold what they announce.
#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "contact-engine-bus.h"
#include "core/contact-engine-errors.h"
#include "contact-engine-wire.h"
#include "sample-contact.h"
#include "responder.h"
#include "core/service-limits.h"
#include "test-support.h"

namespace contact_test {
namespace {

using Bytes = std::vector<std::uint8_t>;
using contact_engine::kContactDeleted;
using contact_engine::kCursorOutOfRange;
using contact_engine::kNoResultSet;
using contact_engine::kResultSetNotYours;
using contact_engine::kTooManyResultSets;

constexpr int kPhone = CONTACT_STORAGE_PHONE;
constexpr int kByName = 0, kMostCalled = 1;
constexpr int kSearchName = 0, kSearchNumber = 1;
constexpr int kFirst = 0, kNext = 1, kPrevious = 2, kLast = 3;
constexpr int kAdvance = 0;

// A second client on the bus, with its own unique name: it calls the
// service's methods directly, as any other application's connection would.
class OtherClient {
public:
    OtherClient()
        : connection_(sdbus::createSystemBusConnection()),
          proxy_(sdbus::createProxy(*connection_, CONTACT_ENGINE_BUS_NAME, CONTACT_ENGINE_OBJECT_PATH))
    {
    }

    int add(const std::string &name)
    {
        Bytes record(contact_wire::kFixedSize, 0);
        std::memcpy(record.data() + contact_wire::offset::display_name, name.data(), name.size());
        std::int32_t index = 0, result = 0;
        proxy_->callMethod("contact_add_contact")
            .onInterface(CONTACT_ENGINE_INTERFACE)
            .withArguments(std::int32_t(kPhone), record)
            .storeResultsTo(index, result);
        return index;
    }
    void remove(int index)
    {
        std::int32_t result = 0;
        proxy_->callMethod("contact_delete_contact")
            .onInterface(CONTACT_ENGINE_INTERFACE)
            .withArguments(std::int32_t(kPhone), std::int32_t(index))
            .storeResultsTo(result);
    }
    int create_set()
    {
        std::int32_t id = 0;
        proxy_->callMethod("contact_result_set_create")
            .onInterface(CONTACT_ENGINE_INTERFACE)
            .withArguments(std::int32_t(kPhone), std::string(), std::int32_t(kByName))
            .storeResultsTo(id);
        return id;
    }
    // The service's code for asking the size of set `id`, or 0 when it answers.
    int count_error(int id)
    {
        try {
            std::int32_t count = 0;
            proxy_->callMethod("contact_result_set_get_contact_count")
                .onInterface(CONTACT_ENGINE_INTERFACE)
                .withArguments(std::int32_t(id))
                .storeResultsTo(count);
            return 0;
        } catch (const sdbus::Error &error) {
            return std::stoi(error.getMessage());
        }
    }

private:
    std::unique_ptr<sdbus::IConnection> connection_;
    std::unique_ptr<sdbus::IProxy> proxy_;
};

class ResultSetTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        (void)bus();
        service_.start();
        ASSERT_EQ(contact_initialize(&error_code_), 1);
    }
    void TearDown() override
    {
        contact_finalize(&error_code_);
        EXPECT_EQ(service_.stop(), 0);
    }

    int add(const std::string &name, const std::string &number = "")
    {
        SampleContact contact(name);
        if (!number.empty())
            contact.phone(number);
        int index = 0;
        EXPECT_EQ(contact_add_contact(kPhone, &contact.record, &index, &error_code_), 1) << name;
        return index;
    }
    int create(int storage, const char *query, int order)
    {
        int id = -1;
        EXPECT_EQ(contact_result_set_create(storage, query, order, &id, &error_code_), 1) << error_code_;
        return id;
    }
    int search(int search_type, const char *query)
    {
        int id = -1;
        EXPECT_EQ(contact_result_set_create_by_search_type(kPhone, search_type, query, kByName, &id, &error_code_), 1)
            << query << ": " << error_code_;
        return id;
    }
    // Every display name of the set, fetched in batches of `batch`.
    std::vector<std::string> names(int id, int batch = 7)
    {
        std::vector<std::string> seen;
        std::vector<contact_t> records(static_cast<std::size_t>(batch));
        for (;;) {
            int count = 0, code = 0;
            const int ok = contact_result_set_get_contacts(id, batch, kAdvance, records.data(), &count, &code);
            for (int i = 0; i < count; ++i)
                seen.emplace_back(records[std::size_t(i)].display_name);
            if (!ok) {
                EXPECT_EQ(code, CONTACT_ERROR_SHORT_BATCH);
                return seen;
            }
        }
    }
    std::string current_name(int id)
    {
        contact_t record{};
        EXPECT_EQ(contact_result_set_get_current_contact(id, &record, &error_code_), 1) << error_code_;
        return record.display_name;
    }

    TempDir dir_;
    ServiceProcess service_{dir_.path() + "/contacts.db", {"--locale", "en_GB"}};
    int error_code_ = -1;
};

TEST_F(ResultSetTest, NamesSortAsPeopleExpectNotByBytes)
{
    for (const char *name : {"Zoë", "émile", "Bob", "alice", "Émile", "bob", "Åsa", "Zachary"})
        add(name);
    const int id = create(kPhone, "", kByName);
    EXPECT_EQ(names(id), (std::vector<std::string>{"alice", "Åsa", "bob", "Bob", "émile", "Émile", "Zachary", "Zoë"}));
    EXPECT_EQ(contact_result_set_destory(id, &error_code_), 1);
}

// A change of locale: the service answers at once, sorting by the keys it
// has, and sorts by the new locale once it has remade them (Swedish puts Å
// and Ö after Z; English sorts them with A and O).  Numbers written
// without a country code are then Swedish ones.
TEST_F(ResultSetTest, AfterALocaleChangeTheServiceAnswersAtOnceThenSortsByTheNewLocale)
{
    for (const char *name : {"Östen", "Zorro", "Åsa", "Anna"})
        add(name);
    add("Olle", "020 7946 0018");
    const std::vector<std::string> english{"Anna", "Åsa", "Olle", "Östen", "Zorro"};
    const std::vector<std::string> swedish{"Anna", "Olle", "Zorro", "Åsa", "Östen"};
    EXPECT_EQ(names(create(kPhone, "", kByName)), english);
    ASSERT_EQ(service_.stop(), 0);

    ServiceProcess swedish_service(dir_.path() + "/contacts.db", {"--locale", "sv_SE"});
    swedish_service.arguments = {"--key-rebuild-pause-ms", "600000"}; // the keys wait: the old ones serve
    swedish_service.start();
    int count = 0;
    EXPECT_EQ(contact_get_contact_count(kPhone, &count, &error_code_), 1);
    EXPECT_EQ(count, 5);
    EXPECT_EQ(names(create(kPhone, "", kByName)), english);
    EXPECT_EQ(swedish_service.stop(), 0);

    swedish_service.arguments.clear();
    swedish_service.start();
    std::vector<std::string> seen;
    for (const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
         seen != swedish && std::chrono::steady_clock::now() < deadline;) {
        const int id = create(kPhone, "", kByName);
        seen = names(id);
        contact_result_set_destory(id, &error_code_);
        if (seen != swedish)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(seen, swedish);
    EXPECT_EQ(names(search(kSearchNumber, "+46 20 7946 0018")), std::vector<std::string>{"Olle"});
    EXPECT_EQ(swedish_service.stop(), 0);
    service_.start();
}

TEST_F(ResultSetTest, NameSearchIgnoresCaseAndAccentsAndMatchesWordBeginnings)
{
    for (const char *name : {"José Álvarez", "JOSÉ", "Josefina Ruiz", "Anna Jose-Maria", "Ajose Ola", "Bob", "Jose Josefa"})
        add(name);
    EXPECT_EQ(names(search(kSearchName, "jose")),
              (std::vector<std::string>{"Anna Jose-Maria", "JOSÉ", "José Álvarez", "Jose Josefa", "Josefina Ruiz"}))
        << "each contact once, even when two of its words match";
    EXPECT_EQ(names(search(kSearchName, "jose alv")), (std::vector<std::string>{"José Álvarez"}));
    EXPECT_EQ(names(search(kSearchName, "ÁLVAREZ")), (std::vector<std::string>{"José Álvarez"}));
    EXPECT_TRUE(names(search(kSearchName, "osé")).empty()) << "only beginnings of words match";
    int id = -1;
    ASSERT_EQ(contact_result_set_create(kPhone, "ola", kByName, &id, &error_code_), 1);
    EXPECT_EQ(names(id), (std::vector<std::string>{"Ajose Ola"})) << "the plain creator searches names";
}

TEST_F(ResultSetTest, NumberSearchMatchesTheSameNumberInEveryFormat)
{
    add("International", "+44 20 7946 0018");
    add("National", "020 7946 0018");
    add("Dialled abroad", "0044 20 7946 0018");
    add("Neighbour", "+44 20 7946 0099");
    add("Other country", "+1 202 555 0018");
    const std::vector<std::string> same{"Dialled abroad", "International", "National"};
    for (const char *query : {"+44 20 7946 0018", "020 7946 0018", "00442079460018", "(020) 7946-0018"})
        EXPECT_EQ(names(search(kSearchNumber, query)), same) << query;
    EXPECT_EQ(names(search(kSearchNumber, "020 7946")),
              (std::vector<std::string>{"Dialled abroad", "International", "National", "Neighbour"}))
        << "a beginning of a number finds every number that starts so";
    EXPECT_EQ(names(search(kSearchNumber, "+1 202 555")), (std::vector<std::string>{"Other country"}));
}

TEST_F(ResultSetTest, FixedDiallingCheckComparesNumbersInEveryFormat)
{
    ready_sim_phonebook(); // the fixed-dialling list is on the (built-in) card
    SampleContact entry("London");
    entry.phone("+44 20 7946");
    int index = 0;
    ASSERT_EQ(contact_add_contact(CONTACT_STORAGE_FDN, &entry.record, &index, &error_code_), 1);
    bool exists = false;
    for (const char *dialled : {"020 7946 0018", "+44 20 7946 0018", "00442079460018"}) {
        ASSERT_EQ(contact_is_fdn_phone_number_exist(dialled, &exists, &error_code_), 1);
        EXPECT_TRUE(exists) << dialled;
    }
    ASSERT_EQ(contact_is_fdn_phone_number_exist("020 7000 0018", &exists, &error_code_), 1);
    EXPECT_FALSE(exists);
}

TEST_F(ResultSetTest, GroupSetsHoldOnlyTheGroupsMembers)
{
    const int zoe = add("Zoë Member");
    add("Outsider Émile");
    const int emile = add("Émile Member");
    const int ann = add("ann member");
    group_t group{};
    std::strcpy(group.name, "Friends");
    int group_index = 0;
    ASSERT_EQ(contact_add_group(CONTACT_GROUP_STORAGE_PHONE, &group, &group_index, &error_code_), 1);
    for (int member : {zoe, emile, ann})
        ASSERT_EQ(contact_add_group_member(CONTACT_GROUP_STORAGE_PHONE, group_index, member, &error_code_), 1);

    int id = -1;
    ASSERT_EQ(contact_result_set_create_by_group(kPhone, CONTACT_GROUP_STORAGE_PHONE, group_index, "", kByName, &id,
                                                 &error_code_),
              1);
    EXPECT_EQ(names(id), (std::vector<std::string>{"ann member", "Émile Member", "Zoë Member"}));
    ASSERT_EQ(contact_result_set_create_by_group(kPhone, CONTACT_GROUP_STORAGE_PHONE, group_index, "emile", kByName, &id,
                                                 &error_code_),
              1);
    EXPECT_EQ(names(id), (std::vector<std::string>{"Émile Member"})) << "a name search inside the group";
    EXPECT_EQ(failure_code([&](int *e) {
                  return contact_result_set_create_by_group(kPhone, CONTACT_GROUP_STORAGE_PHONE, group_index + 1, "",
                                                            kByName, &id, e);
              }),
              contact_engine::kNoGroup);
}

TEST_F(ResultSetTest, MostCalledListsCalledContactsByFrequency)
{
    const int rare = add("Rare");
    const int often = add("Often");
    add("Never");
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(contact_increase_frequency(kPhone, often, &error_code_), 1);
    ASSERT_EQ(contact_increase_frequency(kPhone, rare, &error_code_), 1);
    EXPECT_EQ(names(create(kPhone, "", kMostCalled)), (std::vector<std::string>{"Often", "Rare"}));
}

TEST_F(ResultSetTest, CursorWalksTheSnapshotWhileAnotherClientInsertsAndDeletes)
{
    std::vector<int> indices;
    for (char c = 'a'; c <= 'l'; ++c)
        indices.push_back(add(std::string("name ") + c));
    const int id = create(kPhone, "", kByName);
    int count = 0;
    ASSERT_EQ(contact_result_set_get_contact_count(id, &count, &error_code_), 1);
    ASSERT_EQ(count, 12);

    OtherClient other;
    std::vector<std::string> forward;
    int cursor = -1;
    ASSERT_EQ(contact_result_set_get_cursor_index(id, &cursor, &error_code_), 1);
    EXPECT_EQ(cursor, 0);
    for (int step = 0;; ++step) {
        if (step == 3) {
            other.add("name c2");             // sorts right after the cursor
            other.add("name aa");             // before it
            other.remove(indices[5]);         // "name f", not yet seen
            other.remove(indices[1]);         // "name b", already seen
        }
        contact_t record{};
        int code = 0;
        if (contact_result_set_get_current_contact(id, &record, &code))
            forward.emplace_back(record.display_name);
        else
            EXPECT_EQ(code, kContactDeleted) << "at step " << step;
        if (!contact_result_set_move_cursor(id, kNext, &code)) {
            EXPECT_EQ(code, kCursorOutOfRange);
            break;
        }
    }
    EXPECT_EQ(forward, (std::vector<std::string>{"name a", "name b", "name c", "name d", "name e", "name g", "name h",
                                                 "name i", "name j", "name k", "name l"}));
    ASSERT_EQ(contact_result_set_get_cursor_index(id, &cursor, &error_code_), 1);
    EXPECT_EQ(cursor, 11);

    other.remove(indices[10]); // "name k"
    other.add("name j2");
    std::vector<std::string> backward;
    int code = 0;
    do {
        contact_t record{};
        if (contact_result_set_get_current_contact(id, &record, &code))
            backward.emplace_back(record.display_name);
        else
            EXPECT_EQ(code, kContactDeleted);
    } while (contact_result_set_move_cursor(id, kPrevious, &code));
    EXPECT_EQ(code, kCursorOutOfRange);
    EXPECT_EQ(backward, (std::vector<std::string>{"name l", "name j", "name i", "name h", "name g", "name e", "name d",
                                                  "name c", "name a"}));
    ASSERT_EQ(contact_result_set_get_contact_count(id, &count, &error_code_), 1);
    EXPECT_EQ(count, 12) << "the snapshot keeps its size";

    ASSERT_EQ(contact_result_set_move_cursor(id, kLast, &error_code_), 1);
    EXPECT_EQ(current_name(id), "name l");
    ASSERT_EQ(contact_result_set_move_cursor(id, kFirst, &error_code_), 1);
    EXPECT_EQ(current_name(id), "name a");
    EXPECT_EQ(names(id, 4), (std::vector<std::string>{"name a", "name c", "name d", "name e", "name g", "name h",
                                                      "name i", "name j", "name l"}))
        << "batches pass over deleted contacts";
}

TEST_F(ResultSetTest, ShortLastBatchIsCode32WithTheRecordsDelivered)
{
    for (int i = 0; i < 23; ++i)
        add("contact " + std::to_string(100 + i));
    const int id = create(kPhone, "", kByName);
    std::vector<contact_t> records(10);
    int count = -1;
    for (int batch = 0; batch < 2; ++batch) {
        ASSERT_EQ(contact_result_set_get_contacts(id, 10, kAdvance, records.data(), &count, &error_code_), 1);
        EXPECT_EQ(count, 10);
        EXPECT_STREQ(records[0].display_name, ("contact " + std::to_string(100 + 10 * batch)).c_str());
        EXPECT_EQ(records[0].phone_info, nullptr) << "section references are not handed out";
    }
    int code = 0;
    EXPECT_EQ(contact_result_set_get_contacts(id, 10, kAdvance, records.data(), &count, &code), 0);
    EXPECT_EQ(code, CONTACT_ERROR_SHORT_BATCH);
    EXPECT_EQ(count, 3);
    EXPECT_STREQ(records[2].display_name, "contact 122");
    EXPECT_EQ(records[2].storage_type, kPhone);
    EXPECT_GE(records[2].index, 1);

    // Asking for nothing is no short batch.
    EXPECT_EQ(contact_result_set_get_contacts(id, 0, kAdvance, records.data(), &count, &error_code_), 1);
    EXPECT_EQ(count, 0);
}

TEST_F(ResultSetTest, FailedFetchGivesCode32OnlyWhenThePresetCountIsBelowTheRequest)
{
    contact_t records[5];
    int count = 0;
    EXPECT_EQ(failure_code([&](int *e) { return contact_result_set_get_contacts(4242, 5, kAdvance, records, &count, e); }),
              CONTACT_ERROR_SHORT_BATCH);
    EXPECT_EQ(count, 0) << "a failed call leaves the count as preset";
    count = 5;
    EXPECT_EQ(failure_code([&](int *e) { return contact_result_set_get_contacts(4242, 5, kAdvance, records, &count, e); }),
              kNoResultSet);
    EXPECT_EQ(count, 5);
}

TEST_F(ResultSetTest, AnotherClientsHandleIsRefused)
{
    add("someone");
    const int mine = create(kPhone, "", kByName);
    OtherClient other;
    EXPECT_EQ(other.count_error(mine), kResultSetNotYours);
    const int theirs = other.create_set();
    int count = 0;
    EXPECT_EQ(failure_code([&](int *e) { return contact_result_set_get_contact_count(theirs, &count, e); }),
              kResultSetNotYours);
    EXPECT_EQ(failure_code([&](int *e) { return contact_result_set_destory(theirs, e); }), kResultSetNotYours);
    EXPECT_EQ(other.count_error(theirs), 0) << "a refused destroy destroys nothing";
    EXPECT_EQ(contact_result_set_destory(mine, &error_code_), 1);
    EXPECT_EQ(failure_code([&](int *e) { return contact_result_set_get_contact_count(mine, &count, e); }), kNoResultSet);
}

TEST_F(ResultSetTest, SetsGoWhenTheirClientLeavesTheBus)
{
    add("someone");
    int id = 0;
    {
        OtherClient leaving;
        id = leaving.create_set();
        int count = 0;
        ASSERT_EQ(failure_code([&](int *e) { return contact_result_set_get_contact_count(id, &count, e); }),
                  kResultSetNotYours);
    }
    // The service learns of the departure from the bus daemon, shortly after.
    int code = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        int count = 0;
        code = failure_code([&](int *e) { return contact_result_set_get_contact_count(id, &count, e); });
        if (code != kResultSetNotYours)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(code, kNoResultSet);
}

TEST_F(ResultSetTest, AUserHoldsALimitedNumberOfSets)
{
    std::vector<int> ids;
    int id = 0;
    while (contact_result_set_create(kPhone, "", kByName, &id, &error_code_))
        ids.push_back(id);
    EXPECT_EQ(error_code_, kTooManyResultSets);
    EXPECT_EQ(ids.size(), contact_engine::limits::kMaxResultSetsPerUser);
    ASSERT_EQ(contact_result_set_destory(ids.back(), &error_code_), 1);
    EXPECT_EQ(contact_result_set_create(kPhone, "", kByName, &id, &error_code_), 1) << "a destroyed set frees its place";
}

TEST_F(ResultSetTest, BadParametersAreRefusedWithTheirCodes)
{
    int id = 0;
    EXPECT_EQ(failure_code([&](int *e) { return contact_result_set_create(kPhone, "", 9, &id, e); }),
              contact_engine::kInvalidArgument);
    EXPECT_EQ(failure_code([&](int *e) { return contact_result_set_create(42, "", kByName, &id, e); }),
              contact_engine::kUnknownStorage);
    EXPECT_EQ(failure_code([&](int *e) { return contact_result_set_create_by_search_type(kPhone, 7, "x", 0, &id, e); }),
              contact_engine::kInvalidArgument);
    const int empty = create(kPhone, "", kByName);
    EXPECT_EQ(failure_code([&](int *e) { return contact_result_set_move_cursor(empty, kNext, e); }), kCursorOutOfRange);
    EXPECT_EQ(failure_code([&](int *e) { return contact_result_set_move_cursor(empty, 99, e); }),
              contact_engine::kInvalidArgument);
    contact_t record{};
    EXPECT_EQ(failure_code([&](int *e) { return contact_result_set_get_current_contact(empty, &record, e); }),
              kCursorOutOfRange);
}

// ---- the library's checks, before any call ------------------------------------

TEST(ResultSetChecks, ConnectionThenPointersInTheirOrder)
{
    int id = 0, value = 0;
    contact_t record{};
    const std::string connection = "\n[DodazorEdidud]%s %d: The dbus connection hasn't been connected.\n";
    auto is_null = [](const char *argument) {
        return "\n[DodazorEdidud]%s %d: The parameter " + std::string(argument) + " is NULL.\n";
    };
    constexpr int kNull = CONTACT_ERROR_NULL_ARGUMENT, kNoConnection = CONTACT_ERROR_NOT_CONNECTED;
    expect_preconditions({
        {"contact_result_set_create", [](int *e) { return contact_result_set_create(0, nullptr, 0, nullptr, e); },
         kNoConnection, connection},
        {"contact_result_set_create", [](int *e) { return contact_result_set_create(0, nullptr, 0, nullptr, e); }, kNull,
         is_null("result_set_id")},
        {"contact_result_set_create", [&](int *e) { return contact_result_set_create(0, nullptr, 0, &id, e); }, kNull,
         is_null("query")},
        {"contact_result_set_create_by_search_type",
         [](int *e) { return contact_result_set_create_by_search_type(0, 0, nullptr, 0, nullptr, e); }, kNoConnection,
         connection},
        {"contact_result_set_create_by_search_type",
         [](int *e) { return contact_result_set_create_by_search_type(0, 0, nullptr, 0, nullptr, e); }, kNull,
         is_null("result_set_id")},
        {"contact_result_set_create_by_search_type",
         [&](int *e) { return contact_result_set_create_by_search_type(0, 0, nullptr, 0, &id, e); }, kNull,
         is_null("query")},
        {"contact_result_set_create_by_group",
         [](int *e) { return contact_result_set_create_by_group(0, 0, 1, nullptr, 0, nullptr, e); }, kNoConnection,
         connection},
        {"contact_result_set_create_by_group",
         [](int *e) { return contact_result_set_create_by_group(0, 0, 1, nullptr, 0, nullptr, e); }, kNull,
         is_null("result_set_id")},
        {"contact_result_set_create_by_group",
         [&](int *e) { return contact_result_set_create_by_group(0, 0, 1, nullptr, 0, &id, e); }, kNull,
         is_null("query")},
        {"contact_result_set_get_cursor_index", [](int *e) { return contact_result_set_get_cursor_index(1, nullptr, e); },
         kNoConnection, connection},
        {"contact_result_set_get_cursor_index", [](int *e) { return contact_result_set_get_cursor_index(1, nullptr, e); },
         kNull, is_null("cursor_index")},
        {"contact_result_set_get_contact_count",
         [](int *e) { return contact_result_set_get_contact_count(1, nullptr, e); }, kNoConnection, connection},
        {"contact_result_set_get_contact_count",
         [](int *e) { return contact_result_set_get_contact_count(1, nullptr, e); }, kNull, is_null("record_count")},
        {"contact_result_set_move_cursor", [](int *e) { return contact_result_set_move_cursor(1, 0, e); }, kNoConnection,
         connection},
        {"contact_result_set_get_current_contact",
         [](int *e) { return contact_result_set_get_current_contact(1, nullptr, e); }, kNoConnection, connection},
        {"contact_result_set_get_current_contact",
         [](int *e) { return contact_result_set_get_current_contact(1, nullptr, e); }, kNull, is_null("contact")},
        {"contact_result_set_get_contacts",
         [](int *e) { return contact_result_set_get_contacts(1, 5, 0, nullptr, nullptr, e); }, kNoConnection,
         connection},
        {"contact_result_set_get_contacts",
         [](int *e) { return contact_result_set_get_contacts(1, 5, 0, nullptr, nullptr, e); }, kNull,
         is_null("contact_array")},
        {"contact_result_set_get_contacts",
         [&](int *e) { return contact_result_set_get_contacts(1, 5, 0, &record, nullptr, e); }, kNull,
         is_null("contact_count")},
        {"contact_result_set_destory", [](int *e) { return contact_result_set_destory(1, e); }, kNoConnection,
         connection},
    });
    (void)value;
}

// ---- replies that do not hold what they announce ------------------------------

// A fixed part named `name`, `keep` bytes of it.
Bytes fixed_part(const std::string &name, std::size_t keep = contact_wire::kFixedSize)
{
    Bytes record(contact_wire::kFixedSize, 0);
    std::memcpy(record.data() + contact_wire::offset::display_name, name.data(), name.size());
    contact_wire::write_i32(record.data(), contact_wire::offset::index, 7);
    contact_wire::write_i32(record.data(), contact_wire::offset::phone_info, 1);
    contact_wire::write_i32(record.data(), contact_wire::offset::phone_info_cnt, 1);
    record.resize(keep);
    return record;
}

// Takes the service's name and answers result-set calls as their arguments
// say: get_contacts(sent, request_count, extra) sends `sent` records and
// announces sent + extra of them (sent 0 fails with the service's "no result
// set" error); get_current_contact(length) sends that many bytes of a record.
class ResultSetReplyTest : public ResponderTest {
protected:
    void register_methods() override
    {
        const char *interface = CONTACT_ENGINE_INTERFACE;
        object_->registerMethod("contact_result_set_get_current_contact")
            .onInterface(interface)
            .implementedAs([](std::int32_t length) { return fixed_part("whole", std::size_t(length)); });
        object_->registerMethod("contact_result_set_get_contacts")
            .onInterface(interface)
            .implementedAs([](std::int32_t sent, std::int32_t, std::int32_t extra) {
                if (sent == 0)
                    throw sdbus::Error(std::string(contact_engine::kErrorNamePrefix) + "NoResultSet",
                                       std::to_string(kNoResultSet) + ": no result set 0");
                Bytes batch;
                for (int i = 0; i < sent; ++i) {
                    const Bytes one = fixed_part("record " + std::to_string(i));
                    batch.insert(batch.end(), one.begin(), one.end());
                }
                return std::make_tuple(batch, sent + extra);
            });
    }

};

TEST_F(ResultSetReplyTest, CurrentContactShorterThanARecordIsRefused)
{
    for (int length : {0, 100, 4479}) {
        contact_t record{};
        std::strcpy(record.display_name, "untouched");
        int code = -1;
        LogCapture log;
        EXPECT_EQ(contact_result_set_get_current_contact(length, &record, &code), 0);
        EXPECT_EQ(code, CONTACT_ERROR_MALFORMED_REPLY);
        EXPECT_STREQ(record.display_name, "untouched");
        ASSERT_EQ(log.errors().size(), 1u);
    }
    contact_t record{};
    int code = -1;
    ASSERT_EQ(contact_result_set_get_current_contact(4480, &record, &code), 1);
    EXPECT_STREQ(record.display_name, "whole");
    EXPECT_EQ(record.index, 7);
    EXPECT_EQ(record.phone_info_cnt, 1);
    EXPECT_EQ(record.phone_info, nullptr) << "the service's section reference is not handed out";
}

TEST_F(ResultSetReplyTest, BatchShorterThanItsCountWritesNothing)
{
    std::vector<contact_t> records(4);
    std::strcpy(records[0].display_name, "untouched");
    int count = 99;
    int code = -1;
    LogCapture log;
    // Two records sent, three announced, three asked for.
    EXPECT_EQ(contact_result_set_get_contacts(2, 3, 1, records.data(), &count, &code), 0);
    EXPECT_EQ(code, CONTACT_ERROR_MALFORMED_REPLY) << "code 33, not replaced by 32";
    EXPECT_EQ(count, 99);
    EXPECT_STREQ(records[0].display_name, "untouched");
    ASSERT_EQ(log.errors().size(), 1u);
    EXPECT_NE(log.errors()[0].text.find("shorter than 3 contacts"), std::string::npos) << log.errors()[0].text;
}

TEST_F(ResultSetReplyTest, BatchLargerThanAskedCopiesOnlyWhatWasAsked)
{
    std::vector<contact_t> records(3);
    std::strcpy(records[2].display_name, "beyond the request");
    int count = -1;
    int code = -1;
    LogCapture log;
    // Five sent and announced, two asked for.
    EXPECT_EQ(contact_result_set_get_contacts(5, 2, 0, records.data(), &count, &code), 1);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(code, -1);
    EXPECT_STREQ(records[0].display_name, "record 0");
    EXPECT_STREQ(records[1].display_name, "record 1");
    EXPECT_STREQ(records[2].display_name, "beyond the request");
    ASSERT_EQ(log.errors().size(), 1u) << "the dropped records are reported";
    EXPECT_NE(log.errors()[0].text.find("sent 5 contacts for 2 asked"), std::string::npos) << log.errors()[0].text;
}

TEST_F(ResultSetReplyTest, FailedCallAppliesTheShortBatchRuleToThePresetCount)
{
    contact_t records[5];
    int count = 0;
    int code = -1;
    EXPECT_EQ(contact_result_set_get_contacts(0, 5, 0, records, &count, &code), 0);
    EXPECT_EQ(code, CONTACT_ERROR_SHORT_BATCH);
    count = 5;
    EXPECT_TRUE(fails_with([&](int *e) { return contact_result_set_get_contacts(0, 5, 0, records, &count, e); },
                           kNoResultSet,
                           "\n[DodazorEdidud]%s %d: org_yora_contact_contact_result_set_get_contacts() failed(%s).\n"));
    EXPECT_EQ(count, 5);
}

} // namespace
} // namespace contact_test
