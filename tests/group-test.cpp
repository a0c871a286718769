// Groups and group membership.  The checks every operation makes before it
// calls; replies that do not hold what they announce, from a responder in
// this process; and the operations over the private bus against the real
// service: life cycle, same-name rule, capacity, membership and its
// cascades, list operations applied whole or not at all.
#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "contact-engine-bus.h"
#include "contact-engine-group-wire.h"
#include "contact-engine.h"
#include "test-support.h"

namespace contact_test {
namespace {

constexpr int kNull = CONTACT_ERROR_NULL_ARGUMENT;
constexpr int kRange = CONTACT_ERROR_OUT_OF_RANGE;
constexpr int kOff = CONTACT_ERROR_NOT_CONNECTED;
constexpr int kMalformed = CONTACT_ERROR_MALFORMED_REPLY;

const std::string kNotConnected = "\n[DodazorEdidud]%s %d: The dbus connection hasn't been connected.\n";
const std::string kCountNotAboveZero = "\n[DodazorEdidud]%s %d: The contact_count should more than 0.\n";

std::string parameter_is_null(const char *function, const char *argument)
{
    return null_argument_message(function, (std::string("parameter ") + argument).c_str());
}

group_t g_group{};
group_t g_groups[CONTACT_GROUP_CAPACITY_MAX];
int g_int = 0;
bool g_bool = false;
int g_indices[CONTACT_GROUP_MEMBER_MAX];
const int kList[] = {4, 9, 12};

struct Operation {
    const char *name;
    Call call; // every pointer valid, every count above 0
};

std::vector<Operation> all_operations()
{
    return {
        {"contact_add_group", [](int *e) { return contact_add_group(0, &g_group, &g_int, e); }},
        {"contact_update_group", [](int *e) { return contact_update_group(0, 1, &g_group, e); }},
        {"contact_get_group", [](int *e) { return contact_get_group(0, 1, &g_group, e); }},
        {"contact_delete_group", [](int *e) { return contact_delete_group(0, 1, e); }},
        {"contact_delete_all_groups", [](int *e) { return contact_delete_all_groups(0, e); }},
        {"contact_get_group_count", [](int *e) { return contact_get_group_count(0, &g_int, e); }},
        {"contact_get_max_group_count", [](int *e) { return contact_get_max_group_count(0, &g_int, e); }},
        {"contact_get_empty_group_index", [](int *e) { return contact_get_empty_group_index(0, &g_int, e); }},
        {"contact_is_group_exist", [](int *e) { return contact_is_group_exist(0, 1, &g_bool, e); }},
        {"contact_exist_same_group_name", [](int *e) { return contact_exist_same_group_name(0, "x", &g_bool, e); }},
        {"contact_search_groups", [](int *e) { return contact_search_groups(0, "", 0, 0, g_groups, &g_int, e, 0); }},
        {"contact_get_group_members", [](int *e) { return contact_get_group_members(0, 1, g_indices, &g_int, e); }},
        {"contact_add_group_member", [](int *e) { return contact_add_group_member(0, 1, 2, e); }},
        {"contact_delete_group_member", [](int *e) { return contact_delete_group_member(0, 1, 2, e); }},
        {"contact_is_group_member_exist", [](int *e) { return contact_is_group_member_exist(0, 1, 2, &g_bool, e); }},
        {"contact_add_some_group_members", [](int *e) { return contact_add_some_group_members(0, 1, kList, 3, e); }},
        {"contact_delete_some_group_members",
         [](int *e) { return contact_delete_some_group_members(0, 1, kList, 3, e); }},
        {"contact_delete_all_group_members", [](int *e) { return contact_delete_all_group_members(0, 1, e); }},
    };
}

// ---- checks before the call ---------------------------------------------------

class GroupChecksTest : public ::testing::Test {
protected:
    void SetUp() override { (void)bus(); }
};

TEST_F(GroupChecksTest, EveryOperationNeedsTheConnection)
{
    std::vector<Precondition> cases;
    for (const Operation &operation : all_operations())
        cases.push_back({operation.name, operation.call, kOff, kNotConnected});
    // Also with every pointer NULL and the count 0: the connection is tested first.
    cases.push_back({"contact_add_group", [](int *e) { return contact_add_group(0, nullptr, nullptr, e); }, kOff,
                     kNotConnected});
    cases.push_back({"contact_search_groups",
                     [](int *e) { return contact_search_groups(0, nullptr, 0, 0, nullptr, nullptr, e, 0); }, kOff,
                     kNotConnected});
    cases.push_back({"contact_add_some_group_members",
                     [](int *e) { return contact_add_some_group_members(0, 1, nullptr, 0, e); }, kOff, kNotConnected});
    g_int = 1234;
    expect_preconditions(cases);
    EXPECT_EQ(g_int, 1234) << "nothing written";
    EXPECT_EQ(all_operations().size(), 18u);
}

TEST_F(GroupChecksTest, FirstFailingCheckDecides)
{
    expect_preconditions({
        {"contact_add_group", [](int *e) { return contact_add_group(0, nullptr, nullptr, e); }, kNull,
         parameter_is_null("contact_add_group", "group_record")},
        {"contact_add_group", [](int *e) { return contact_add_group(0, &g_group, nullptr, e); }, kNull,
         parameter_is_null("contact_add_group", "index")},
        {"contact_update_group", [](int *e) { return contact_update_group(0, 1, nullptr, e); }, kNull,
         parameter_is_null("contact_update_group", "group_record")},
        {"contact_get_group", [](int *e) { return contact_get_group(0, 1, nullptr, e); }, kNull,
         parameter_is_null("contact_get_group", "group_record")},
        {"contact_get_group_count", [](int *e) { return contact_get_group_count(0, nullptr, e); }, kNull,
         parameter_is_null("contact_get_group_count", "record_count")},
        {"contact_get_max_group_count", [](int *e) { return contact_get_max_group_count(0, nullptr, e); }, kNull,
         parameter_is_null(nullptr, "max_group_count")},
        {"contact_get_empty_group_index", [](int *e) { return contact_get_empty_group_index(0, nullptr, e); }, kNull,
         parameter_is_null(nullptr, "empty_index")},
        {"contact_is_group_exist", [](int *e) { return contact_is_group_exist(0, 1, nullptr, e); }, kNull,
         parameter_is_null(nullptr, "is_exist")},
        {"contact_exist_same_group_name", [](int *e) { return contact_exist_same_group_name(0, nullptr, nullptr, e); },
         kNull, null_argument_message(nullptr, "name")},
        {"contact_exist_same_group_name", [](int *e) { return contact_exist_same_group_name(0, "", nullptr, e); },
         kNull, null_argument_message(nullptr, "is_exist")},
        {"contact_search_groups",
         [](int *e) { return contact_search_groups(0, nullptr, 0, 0, nullptr, nullptr, e, 0); }, kNull,
         null_argument_message("contact_search_groups", "query")},
        {"contact_search_groups", [](int *e) { return contact_search_groups(0, "", 0, 0, nullptr, nullptr, e, 0); },
         kNull, null_argument_message("contact_search_groups", "group_record_array")},
        {"contact_search_groups", [](int *e) { return contact_search_groups(0, "", 0, 0, g_groups, nullptr, e, 0); },
         kNull, null_argument_message("contact_search_groups", "group_count")},
        {"contact_get_group_members", [](int *e) { return contact_get_group_members(0, 1, nullptr, nullptr, e); },
         kNull, null_argument_message("contact_get_group_members", "contact_index_array")},
        {"contact_get_group_members", [](int *e) { return contact_get_group_members(0, 1, g_indices, nullptr, e); },
         kNull, null_argument_message("contact_get_group_members", "member_count")},
        {"contact_is_group_member_exist", [](int *e) { return contact_is_group_member_exist(0, 1, 2, nullptr, e); },
         kNull, null_argument_message(nullptr, "is_exist")},
        // A NULL list is reported before a bad count; the count after it.
        {"contact_add_some_group_members", [](int *e) { return contact_add_some_group_members(0, 1, nullptr, 0, e); },
         kNull, null_argument_message(nullptr, "contact_index_array")},
        {"contact_add_some_group_members", [](int *e) { return contact_add_some_group_members(0, 1, kList, 0, e); },
         kRange, kCountNotAboveZero},
        {"contact_add_some_group_members", [](int *e) { return contact_add_some_group_members(0, 1, kList, -1, e); },
         kRange, kCountNotAboveZero},
        {"contact_delete_some_group_members",
         [](int *e) { return contact_delete_some_group_members(0, 1, nullptr, 0, e); }, kNull,
         null_argument_message(nullptr, "contact_index_array")},
        {"contact_delete_some_group_members",
         [](int *e) { return contact_delete_some_group_members(0, 1, kList, 0, e); }, kRange, kCountNotAboveZero},
        {"contact_delete_some_group_members",
         [](int *e) { return contact_delete_some_group_members(0, 1, kList, -7, e); }, kRange, kCountNotAboveZero},
    });
}

// Connected with nobody behind the name: every operation calls, fails with
// the bus's own error (code 0) and logs its own failure message.
TEST_F(GroupChecksTest, FailedCallMessages)
{
    const std::vector<std::string> formats = {
        "\n[DodazorEdidud]%s %d: contact_add_group: org_yora_contact_contact_add_group() failed(%s).\n",
        "\n[DodazorEdidud]%s %d: contact_update_group: org_yora_contact_contact_update_group() failed(%s).\n",
        "\n[DodazorEdidud]%s %d: contact_get_group: org_yora_contact_contact_get_group() failed(%s).\n",
        "\n[DodazorEdidud]%s %d: contact_delete_group: org_yora_contact_contact_delete_group() failed(%s).\n",
        "\n[DodazorEdidud]%s %d: contact_delete_all_groups: org_yora_contact_contact_delete_all_groups() failed(%s).\n",
        "\n[DodazorEdidud]%s %d: contact_get_group_count: org_yora_contact_contact_get_group_count() failed(%s).\n",
        "\n[DodazorEdidud]%s %d: org_yora_contact_contact_get_max_group_count() failed(%s).\n",
        "\n[DodazorEdidud]%s %d: org_yora_contact_contact_get_empty_group_index() failed(%s).\n",
        "\n[DodazorEdidud]%s %d: org_yora_contact_contact_is_group_exist() failed(%s).\n",
        "\n[DodazorEdidud]%s %d: org_yora_contact_contact_exist_same_group_name() failed(%s).\n",
        "\n[DodazorEdidud]%s %d: contact_search_groups: org_yora_contact_contact_search_groups() failed(%s).\n",
        "\n[DodazorEdidud]%s %d: org_yora_contact_contact_get_group_members() failed(%s).\n",
        "\n[DodazorEdidud]%s %d: org_yora_contact_contact_add_group_member() failed(%s).\n",
        "\n[DodazorEdidud]%s %d: org_yora_contact_contact_delete_group_member() failed(%s).\n",
        "\n[DodazorEdidud]%s %d: org_yora_contact_contact_is_group_member_exist() failed(%s).\n",
        "\n[DodazorEdidud]%s %d: org_yora_contact_contact_add_some_group_members() failed(%s).\n",
        "\n[DodazorEdidud]%s %d: org_yora_contact_contact_delete_some_group_members() failed(%s).\n",
        "\n[DodazorEdidud]%s %d: org_yora_contact_contact_delete_all_group_members() failed(%s).\n",
    };
    const std::vector<Operation> operations = all_operations();
    ASSERT_EQ(operations.size(), formats.size());
    ASSERT_EQ(contact_initialize(nullptr), 1);
    for (std::size_t i = 0; i < operations.size(); ++i) {
        SCOPED_TRACE(operations[i].name);
        g_int = 55;
        g_bool = true;
        EXPECT_TRUE(fails_with(operations[i].call, 0, formats[i]));
        EXPECT_EQ(g_int, 55) << "a failed call writes no caller variable";
        EXPECT_TRUE(g_bool);
    }
    contact_finalize(nullptr);
}

// ---- a responder in this process ---------------------------------------------

using Bytes = std::vector<std::uint8_t>;

Bytes wire_group(int index, const char *name)
{
    Bytes record(group_wire::kRecordSize, 0);
    group_wire::write_i32(record.data(), group_wire::offset::index, index);
    std::strcpy(reinterpret_cast<char *>(record.data() + group_wire::offset::name), name);
    return record;
}

Bytes repeated(const Bytes &one, std::size_t times)
{
    Bytes all;
    for (std::size_t i = 0; i < times; ++i)
        all.insert(all.end(), one.begin(), one.end());
    return all;
}

Bytes wire_indices(std::vector<int> indices)
{
    Bytes all(indices.size() * 4);
    for (std::size_t i = 0; i < indices.size(); ++i)
        group_wire::write_i32(all.data(), i * 4, indices[i]);
    return all;
}

// What the responder received last.
struct Received {
    std::mutex lock;
    std::string method;
    std::vector<int> ints;
    std::string text;
    Bytes bytes;
    void take(std::string name, std::vector<int> values, Bytes array = {}, std::string string = {})
    {
        std::lock_guard<std::mutex> hold(lock);
        method = std::move(name);
        ints = std::move(values);
        bytes = std::move(array);
        text = std::move(string);
    }
};

class GroupResponderTest : public ::testing::Test {
protected:
    // The responder's search answers by the query: "short" announces 2
    // groups and sends 1; "many" sends one more than the caller's room;
    // anything else sends search_param1 groups numbered search_param3, 1 ...
    void SetUp() override
    {
        (void)bus();
        connection_ = sdbus::createSystemBusConnection(CONTACT_ENGINE_BUS_NAME);
        object_ = sdbus::createObject(*connection_, CONTACT_ENGINE_OBJECT_PATH);
        const char *interface = CONTACT_ENGINE_INTERFACE;
        Received &got = received_;
        object_->registerMethod("contact_get_group").onInterface(interface).implementedAs([&got](int s, int index) {
            got.take("contact_get_group", {s, index});
            Bytes record = wire_group(index, "whole");
            record.resize(std::min<std::size_t>(record.size(), std::size_t(index)));
            return std::make_tuple(record, 0);
        });
        object_->registerMethod("contact_search_groups")
            .onInterface(interface)
            .implementedAs([&got](int s, std::string query, int p1, int p2, int p3) {
                got.take("contact_search_groups", {s, p1, p2, p3}, {}, query);
                if (query == "short")
                    return std::make_tuple(wire_group(1, "one"), 2);
                if (query == "many")
                    return std::make_tuple(repeated(wire_group(1, "g"), std::size_t(p2 + 1)), p2 + 1);
                Bytes all;
                for (int i = 0; i < p1; ++i) {
                    const Bytes one = wire_group(p3 + i, "found");
                    all.insert(all.end(), one.begin(), one.end());
                }
                return std::make_tuple(all, p1);
            });
        object_->registerMethod("contact_get_group_members")
            .onInterface(interface)
            .implementedAs([&got](int s, int group) {
                got.take("contact_get_group_members", {s, group});
                if (group > CONTACT_GROUP_MEMBER_MAX)
                    return std::make_tuple(Bytes(std::size_t(group) * 4, 0), group);
                return std::make_tuple(wire_indices({21, 22}), group); // group 2: whole; more: short
            });
        object_->registerMethod("contact_add_group")
            .onInterface(interface)
            .implementedAs([&got](int s, Bytes record) {
                got.take("contact_add_group", {s}, std::move(record));
                return std::make_tuple(7, 0);
            });
        object_->registerMethod("contact_update_group")
            .onInterface(interface)
            .implementedAs([&got](int s, int index, Bytes record) {
                got.take("contact_update_group", {s, index}, std::move(record));
                return 41; // a result code of the service's own: handed to the caller as it is
            });
        object_->registerMethod("contact_add_some_group_members")
            .onInterface(interface)
            .implementedAs([&got](int s, int group, Bytes list, int count) {
                got.take("contact_add_some_group_members", {s, group, count}, std::move(list));
            });
        object_->registerMethod("contact_exist_same_group_name")
            .onInterface(interface)
            .implementedAs([&got](int s, std::string name) {
                got.take("contact_exist_same_group_name", {s}, {}, name);
                return name == "yes";
            });
        object_->finishRegistration();
        connection_->enterEventLoopAsync();
        ASSERT_EQ(contact_initialize(nullptr), 1);
    }
    void TearDown() override
    {
        contact_finalize(nullptr);
        connection_->leaveEventLoop();
        object_.reset();
        connection_->releaseName(CONTACT_ENGINE_BUS_NAME);
    }

    Received received_;
    std::unique_ptr<sdbus::IConnection> connection_;
    std::unique_ptr<sdbus::IObject> object_;
};

TEST_F(GroupResponderTest, ShortGroupReplyIsRejected)
{
    for (int length : {0, 8, 1351}) {
        SCOPED_TRACE(length);
        LogCapture log;
        group_t got{};
        std::strcpy(got.name, "untouched");
        got.index = -5;
        int error_code = -1;
        EXPECT_EQ(contact_get_group(0, length, &got, &error_code), 0);
        EXPECT_EQ(error_code, kMalformed);
        EXPECT_STREQ(got.name, "untouched");
        EXPECT_EQ(got.index, -5);
        ASSERT_EQ(log.errors().size(), 1u);
        EXPECT_NE(log.errors()[0].text.find("is shorter than"), std::string::npos) << log.errors()[0].text;
    }
    group_t whole{};
    int error_code = -1;
    EXPECT_EQ(contact_get_group(0, 1352, &whole, &error_code), 1);
    EXPECT_EQ(error_code, 0);
    EXPECT_EQ(whole.index, 1352);
    EXPECT_STREQ(whole.name, "whole");
}

TEST_F(GroupResponderTest, SearchReplyShorterOrLargerThanItMayBeIsRejected)
{
    std::vector<group_t> array(CONTACT_GROUP_CAPACITY_MAX + 1);
    std::strcpy(array[0].name, "untouched");
    int count = 99;
    int error_code = -1;
    EXPECT_EQ(contact_search_groups(0, "short", 0, 0, array.data(), &count, &error_code, 0), 0);
    EXPECT_EQ(error_code, kMalformed);
    EXPECT_EQ(count, 99) << "the count is not written without its records";
    EXPECT_STREQ(array[0].name, "untouched");

    // The caller asked for at most 3: a fourth record would run past its array.
    error_code = -1;
    EXPECT_EQ(contact_search_groups(0, "many", 0, 3, array.data(), &count, &error_code, 0), 0);
    EXPECT_EQ(error_code, kMalformed);
    EXPECT_EQ(count, 99);
    EXPECT_STREQ(array[0].name, "untouched");
    // Without a limit of its own, the array has room for the largest storage.
    error_code = -1;
    EXPECT_EQ(contact_search_groups(0, "many", 0, CONTACT_GROUP_CAPACITY_MAX, array.data(), &count, &error_code, 0),
              0);
    EXPECT_EQ(error_code, kMalformed);
    EXPECT_STREQ(array[0].name, "untouched");
}

TEST_F(GroupResponderTest, SearchSendsParamThreeFifthAndCopiesTheCountedRecords)
{
    std::vector<group_t> array(4);
    std::strcpy(array[2].name, "untouched");
    int count = -1;
    int error_code = 77;
    LogCapture log;
    EXPECT_EQ(contact_search_groups(1, "fam", 2, 30, array.data(), &count, &error_code, 500), 1);
    {
        std::lock_guard<std::mutex> hold(received_.lock);
        EXPECT_EQ(received_.ints, (std::vector<int>{1, 2, 30, 500}));
        EXPECT_EQ(received_.text, "fam");
    }
    EXPECT_EQ(count, 2);
    EXPECT_EQ(error_code, 77) << "the search has no result code";
    EXPECT_EQ(array[0].index, 500);
    EXPECT_EQ(array[1].index, 501);
    EXPECT_STREQ(array[1].name, "found");
    EXPECT_STREQ(array[2].name, "untouched");
    std::vector<std::string> traces;
    for (const LogEntry &entry : log.traces())
        traces.push_back(entry.format);
    EXPECT_EQ(traces, (std::vector<std::string>{"\n[DodazorEdidud]%s: contact_search_groups begin1\n\n",
                                                "\n[DodazorEdidud]%s: contact_search_groups end\n\n"}));

    // A count of 0 copies nothing and still logs both lines.
    LogCapture empty_log;
    EXPECT_EQ(contact_search_groups(1, "none", 0, 0, array.data(), &count, &error_code, 0), 1);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(array[0].index, 500);
    EXPECT_EQ(empty_log.traces().size(), 2u);
}

TEST_F(GroupResponderTest, MemberListShorterOrLargerThanAGroupIsRejected)
{
    std::vector<int> indices(CONTACT_GROUP_MEMBER_MAX + 1, -1);
    int count = 5;
    int error_code = -1;
    EXPECT_EQ(contact_get_group_members(0, 3, indices.data(), &count, &error_code), 0);
    EXPECT_EQ(error_code, kMalformed);
    EXPECT_EQ(count, 5);
    EXPECT_EQ(indices[0], -1);

    error_code = -1;
    EXPECT_EQ(contact_get_group_members(0, CONTACT_GROUP_MEMBER_MAX + 1, indices.data(), &count, &error_code), 0);
    EXPECT_EQ(error_code, kMalformed);
    EXPECT_EQ(indices[0], -1);

    error_code = 66;
    EXPECT_EQ(contact_get_group_members(0, 2, indices.data(), &count, &error_code), 1);
    EXPECT_EQ(error_code, 66) << "membership methods have no result code";
    EXPECT_EQ(count, 2);
    EXPECT_EQ(indices[0], 21);
    EXPECT_EQ(indices[1], 22);
    EXPECT_EQ(indices[2], -1);
}

TEST_F(GroupResponderTest, AddSendsTheRecordAsItStandsAndSetsItsPlace)
{
    group_t record{};
    record.index = 99;
    record.storage_type = 42;
    std::strcpy(record.name, "Team");
    record.reserved[691] = 'z';
    int index = -1;
    int error_code = -1;
    EXPECT_EQ(contact_add_group(1, &record, &index, &error_code), 1);
    EXPECT_EQ(index, 7);
    EXPECT_EQ(record.index, 7);
    EXPECT_EQ(record.storage_type, 1);
    EXPECT_EQ(error_code, 0);
    std::lock_guard<std::mutex> hold(received_.lock);
    ASSERT_EQ(received_.bytes.size(), group_wire::kRecordSize);
    EXPECT_EQ(group_wire::read_i32(received_.bytes.data(), 0), 99) << "sent with its old fields";
    EXPECT_EQ(group_wire::read_i32(received_.bytes.data(), 4), 42);
    EXPECT_STREQ(reinterpret_cast<const char *>(received_.bytes.data() + group_wire::offset::name), "Team");
    EXPECT_EQ(received_.bytes[1351], 'z');
}

TEST_F(GroupResponderTest, UpdateHandsTheServiceCodeToTheCaller)
{
    group_t record{};
    record.index = 12;
    int error_code = -1;
    EXPECT_EQ(contact_update_group(0, 3, &record, &error_code), 1);
    EXPECT_EQ(error_code, 41);
    EXPECT_EQ(record.index, 3);
    EXPECT_EQ(record.storage_type, 0);
    std::lock_guard<std::mutex> hold(received_.lock);
    EXPECT_EQ(received_.ints, (std::vector<int>{0, 3}));
    EXPECT_EQ(group_wire::read_i32(received_.bytes.data(), 0), 12);
}

TEST_F(GroupResponderTest, AddSomeMembersSendsTheListThenTheCount)
{
    int error_code = 13;
    EXPECT_EQ(contact_add_some_group_members(0, 5, kList, 3, &error_code), 1);
    EXPECT_EQ(error_code, 13) << "untouched on success";
    std::lock_guard<std::mutex> hold(received_.lock);
    EXPECT_EQ(received_.ints, (std::vector<int>{0, 5, 3}));
    EXPECT_EQ(received_.bytes, wire_indices({4, 9, 12}));
}

TEST_F(GroupResponderTest, SameNameAnswerLeavesTheErrorCodeAlone)
{
    bool is_exist = false;
    int error_code = 8;
    EXPECT_EQ(contact_exist_same_group_name(1, "yes", &is_exist, &error_code), 1);
    EXPECT_TRUE(is_exist);
    EXPECT_EQ(error_code, 8);
    EXPECT_EQ(contact_exist_same_group_name(1, "", &is_exist, &error_code), 1) << "an empty name is sent";
    EXPECT_FALSE(is_exist);
    EXPECT_EQ(error_code, 8);
}

} // namespace
} // namespace contact_test
