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
#include "core/contact-engine-errors.h"
#include "contact-engine-group-wire.h"
#include "contact-engine.h"
#include "sample-contact.h"
#include "core/service-limits.h"
#include "responder.h"
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

class GroupResponderTest : public ResponderTest {
protected:
    // The responder's search answers by the query: "short" announces 2
    // groups and sends 1; "many" sends one more than the caller's room;
    // anything else sends search_param1 groups numbered search_param3, 1 ...
    void register_methods() override
    {
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
    }

    Received received_;
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

// ---- the real service ----------------------------------------------------------

using namespace contact_engine;

// The public header and the service name the same limits.
static_assert(limits::kPhoneGroupCapacity == CONTACT_GROUP_PHONE_CAPACITY);
static_assert(limits::kSimGroupCapacity == CONTACT_GROUP_SIM_CAPACITY);
static_assert(limits::kGroupMemberMax == CONTACT_GROUP_MEMBER_MAX);
static_assert(CONTACT_GROUP_CAPACITY_MAX >= CONTACT_GROUP_PHONE_CAPACITY);

constexpr int kPhoneGroups = CONTACT_GROUP_STORAGE_PHONE;
constexpr int kSimGroups = CONTACT_GROUP_STORAGE_SIM;

std::string failed_call(const char *function)
{
    return std::string("\n[DodazorEdidud]%s %d: ") + function + ": org_yora_contact_" + function + "() failed(%s).\n";
}

std::string failed_call_short(const char *function)
{
    return std::string("\n[DodazorEdidud]%s %d: org_yora_contact_") + function + "() failed(%s).\n";
}

group_t named(const std::string &name)
{
    group_t group{};
    std::snprintf(group.name, sizeof group.name, "%s", name.c_str());
    return group;
}

class GroupServiceTest : public ServiceTest {
protected:
    int add_group(const std::string &name, int storage = kPhoneGroups)
    {
        group_t group = named(name);
        int index = -1;
        int error_code = -1;
        EXPECT_EQ(contact_add_group(storage, &group, &index, &error_code), 1) << name << ": " << error_code;
        EXPECT_EQ(error_code, kOk);
        return index;
    }
    int add_contact(const std::string &name, int storage = CONTACT_STORAGE_PHONE)
    {
        SampleContact contact(name);
        int index = -1;
        int error_code = -1;
        EXPECT_EQ(contact_add_contact(storage, &contact.record, &index, &error_code), 1) << error_code;
        return index;
    }
    group_t get(int index, int storage = kPhoneGroups)
    {
        group_t group{};
        int error_code = -1;
        EXPECT_EQ(contact_get_group(storage, index, &group, &error_code), 1) << error_code;
        EXPECT_EQ(error_code, kOk);
        return group;
    }
    int count(int storage = kPhoneGroups)
    {
        int groups = -1;
        int error_code = -1;
        EXPECT_EQ(contact_get_group_count(storage, &groups, &error_code), 1) << error_code;
        return groups;
    }
    std::vector<int> members(int group, int storage = kPhoneGroups)
    {
        std::vector<int> indices(CONTACT_GROUP_MEMBER_MAX, -1);
        int found = -1;
        int error_code = -1;
        EXPECT_EQ(contact_get_group_members(storage, group, indices.data(), &found, &error_code), 1) << error_code;
        indices.resize(std::size_t(std::max(found, 0)));
        return indices;
    }
    bool same_name(const std::string &name, int storage = kPhoneGroups)
    {
        bool is_exist = false;
        int error_code = 77;
        EXPECT_EQ(contact_exist_same_group_name(storage, name.c_str(), &is_exist, &error_code), 1);
        EXPECT_EQ(error_code, 77) << "no result code: untouched on success";
        return is_exist;
    }
    bool is_member(int group, int contact)
    {
        bool is_exist = true;
        int error_code = 66;
        EXPECT_EQ(contact_is_group_member_exist(kPhoneGroups, group, contact, &is_exist, &error_code), 1);
        EXPECT_EQ(error_code, 66);
        return is_exist;
    }
    std::vector<std::string> search(const std::string &query, int match, int limit, int order,
                                     int storage = kPhoneGroups)
    {
        std::vector<group_t> found(CONTACT_GROUP_CAPACITY_MAX);
        int n = -1;
        int error_code = -1;
        EXPECT_EQ(contact_search_groups(storage, query.c_str(), match, limit, found.data(), &n, &error_code, order), 1)
            << error_code;
        std::vector<std::string> names;
        for (int i = 0; i < n; ++i)
            names.push_back(found[std::size_t(i)].name);
        return names;
    }
};

TEST_F(GroupServiceTest, GroupLifeCycle)
{
    int value = -1;
    int error_code = -1;
    EXPECT_EQ(contact_get_max_group_count(kPhoneGroups, &value, &error_code), 1);
    EXPECT_EQ(value, CONTACT_GROUP_PHONE_CAPACITY);
    EXPECT_EQ(contact_get_max_group_count(kSimGroups, &value, &error_code), 1);
    EXPECT_EQ(value, CONTACT_GROUP_SIM_CAPACITY);
    EXPECT_EQ(contact_get_empty_group_index(kPhoneGroups, &value, &error_code), 1);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(count(), 0);

    group_t family = named("Family");
    std::strcpy(family.ringtone_path, "/tones/home.ogg");
    family.index = 55;
    family.storage_type = 9;
    int index = -1;
    error_code = -1;
    ASSERT_EQ(contact_add_group(kPhoneGroups, &family, &index, &error_code), 1);
    EXPECT_EQ(error_code, kOk);
    EXPECT_EQ(index, 1);
    EXPECT_EQ(family.index, 1);
    EXPECT_EQ(family.storage_type, kPhoneGroups);
    EXPECT_EQ(add_group("Work"), 2);
    EXPECT_EQ(add_group("Friends"), 3);
    EXPECT_EQ(count(), 3);

    const group_t got = get(1);
    EXPECT_EQ(got.index, 1);
    EXPECT_EQ(got.storage_type, kPhoneGroups);
    EXPECT_STREQ(got.name, "Family");
    EXPECT_STREQ(got.ringtone_path, "/tones/home.ogg");
    EXPECT_EQ(got.member_count, 0);
    EXPECT_GT(got.created_time, 0);

    // The lowest free slot is taken again.
    error_code = -1;
    EXPECT_EQ(contact_delete_group(kPhoneGroups, 2, &error_code), 1);
    EXPECT_EQ(error_code, kOk);
    bool exists = true;
    EXPECT_EQ(contact_is_group_exist(kPhoneGroups, 2, &exists, &error_code), 1);
    EXPECT_FALSE(exists);
    EXPECT_EQ(contact_is_group_exist(kPhoneGroups, 3, &exists, &error_code), 1);
    EXPECT_TRUE(exists);
    EXPECT_EQ(contact_get_empty_group_index(kPhoneGroups, &value, &error_code), 1);
    EXPECT_EQ(value, 2);
    EXPECT_EQ(add_group("Sport"), 2);
    EXPECT_EQ(add_group("Choir"), 4);

    // Update: the slot comes from the argument, the record's fields are set to it.
    group_t renamed = get(3);
    std::strcpy(renamed.name, "Old friends");
    renamed.index = 77;
    error_code = -1;
    EXPECT_EQ(contact_update_group(kPhoneGroups, 3, &renamed, &error_code), 1);
    EXPECT_EQ(error_code, kOk);
    EXPECT_EQ(renamed.index, 3);
    EXPECT_STREQ(get(3).name, "Old friends");
    EXPECT_EQ(count(), 4);

    group_t ghost = named("Ghost");
    EXPECT_TRUE(fails_with([&](int *e) { return contact_update_group(kPhoneGroups, 9, &ghost, e); }, kNoGroup,
                           failed_call("contact_update_group")));
    EXPECT_EQ(ghost.index, 0) << "a failed update leaves the record alone";
    EXPECT_TRUE(fails_with([&](int *e) { return contact_get_group(kPhoneGroups, 9, &ghost, e); }, kNoGroup,
                           failed_call("contact_get_group")));
    EXPECT_STREQ(ghost.name, "Ghost");
    EXPECT_TRUE(fails_with([](int *e) { return contact_delete_group(kPhoneGroups, 9, e); }, kNoGroup,
                           failed_call("contact_delete_group")));
    EXPECT_TRUE(fails_with([](int *e) { return contact_get_group_count(5, &g_int, e); }, kUnknownStorage,
                           failed_call("contact_get_group_count")));
    EXPECT_TRUE(fails_with([&](int *e) { return contact_is_group_exist(kPhoneGroups, 0, &exists, e); },
                           kIndexOutOfRange, failed_call_short("contact_is_group_exist")));

    // Delete all empties one storage only.
    EXPECT_EQ(add_group("Family", kSimGroups), 1);
    error_code = -1;
    EXPECT_EQ(contact_delete_all_groups(kPhoneGroups, &error_code), 1);
    EXPECT_EQ(error_code, kOk);
    EXPECT_EQ(count(), 0);
    EXPECT_EQ(count(kSimGroups), 1);

    // What was stored survives a restart.
    restart_service();
    EXPECT_STREQ(get(1, kSimGroups).name, "Family");
}

TEST_F(GroupServiceTest, RecordsTheServiceCannotUseAreRefused)
{
    group_t blank{};
    EXPECT_TRUE(fails_with([&](int *e) { return contact_add_group(kPhoneGroups, &blank, &g_int, e); },
                           kInvalidArgument, failed_call("contact_add_group")));
    group_t unterminated{};
    std::memset(unterminated.name, 'a', sizeof unterminated.name);
    EXPECT_TRUE(fails_with([&](int *e) { return contact_add_group(kPhoneGroups, &unterminated, &g_int, e); },
                           kInvalidUtf8, failed_call("contact_add_group")));
    group_t not_utf8 = named("caf\xe9");
    EXPECT_TRUE(fails_with([&](int *e) { return contact_add_group(kPhoneGroups, &not_utf8, &g_int, e); },
                           kInvalidUtf8, failed_call("contact_add_group")));
    group_t fine = named("Fine");
    EXPECT_TRUE(fails_with([&](int *e) { return contact_add_group(2, &fine, &g_int, e); }, kUnknownStorage,
                           failed_call("contact_add_group")));
    EXPECT_EQ(count(), 0) << "nothing stored";
}

TEST_F(GroupServiceTest, SameNameIgnoresCaseAndNormalisationButNotAccents)
{
    add_group("\xC3\x89quipe");  // "Équipe", composed
    add_group("Stra\xC3\x9F" "e"); // "Straße"
    EXPECT_TRUE(same_name("\xC3\x89quipe"));
    EXPECT_TRUE(same_name("\xC3\x89QUIPE"));          // "ÉQUIPE"
    EXPECT_TRUE(same_name("\xC3\xA9quipe"));          // "équipe"
    EXPECT_TRUE(same_name("e\xCC\x81quipe"));         // "e" + combining acute: decomposed
    EXPECT_TRUE(same_name("E\xCC\x81QUIPE"));
    EXPECT_TRUE(same_name("STRASSE"));                // ß folds to ss
    EXPECT_FALSE(same_name("Equipe")) << "an accent makes another name";
    EXPECT_FALSE(same_name("\xC3\x89quipes"));
    EXPECT_FALSE(same_name(""));
    EXPECT_FALSE(same_name("\xC3\x89quipe", kSimGroups)) << "names are per storage";

    group_t twin = named("e\xCC\x81QUIPE");
    EXPECT_TRUE(fails_with([&](int *e) { return contact_add_group(kPhoneGroups, &twin, &g_int, e); },
                           kGroupNameInUse, failed_call("contact_add_group")));
    EXPECT_EQ(add_group("e\xCC\x81QUIPE", kSimGroups), 1) << "another storage may use it";
    // A group may take another spelling of its own name, not another group's.
    group_t respelled = named("\xC3\x89QUIPE");
    int error_code = -1;
    EXPECT_EQ(contact_update_group(kPhoneGroups, 1, &respelled, &error_code), 1) << error_code;
    EXPECT_STREQ(get(1).name, "\xC3\x89QUIPE");
    group_t taken = named("strasse");
    EXPECT_TRUE(fails_with([&](int *e) { return contact_update_group(kPhoneGroups, 1, &taken, e); },
                           kGroupNameInUse, failed_call("contact_update_group")));
    EXPECT_EQ(count(), 2);
}

TEST_F(GroupServiceTest, FullStorageRefusesAnotherGroup)
{
    for (int i = 1; i <= CONTACT_GROUP_SIM_CAPACITY; ++i)
        ASSERT_EQ(add_group("SIM group " + std::to_string(i), kSimGroups), i);
    int empty = 0;
    int error_code = -1;
    EXPECT_EQ(contact_get_empty_group_index(kSimGroups, &empty, &error_code), 1);
    EXPECT_EQ(error_code, kStorageFull) << "the answer is the result code";
    EXPECT_EQ(empty, -1);
    group_t one_more = named("One more");
    EXPECT_TRUE(fails_with([&](int *e) { return contact_add_group(kSimGroups, &one_more, &g_int, e); }, kStorageFull,
                           failed_call("contact_add_group")));
    EXPECT_EQ(count(kSimGroups), CONTACT_GROUP_SIM_CAPACITY);

    EXPECT_EQ(contact_delete_group(kSimGroups, 4, &error_code), 1);
    EXPECT_EQ(contact_get_empty_group_index(kSimGroups, &empty, &error_code), 1);
    EXPECT_EQ(error_code, kOk);
    EXPECT_EQ(empty, 4);
    EXPECT_EQ(add_group("Back in four", kSimGroups), 4);
}

TEST_F(GroupServiceTest, SearchByMatchLimitAndOrder)
{
    add_group("Work");
    add_group("Friends");
    add_group("Fu\xC3\x9F" "ball"); // "Fußball"
    add_group("Family");
    using V = std::vector<std::string>;
    EXPECT_EQ(search("", CONTACT_GROUP_MATCH_CONTAINS, 0, CONTACT_GROUP_ORDER_INDEX),
              (V{"Work", "Friends", "Fu\xC3\x9F" "ball", "Family"}));
    EXPECT_EQ(search("", CONTACT_GROUP_MATCH_CONTAINS, 0, CONTACT_GROUP_ORDER_NAME),
              (V{"Family", "Friends", "Fu\xC3\x9F" "ball", "Work"}));
    EXPECT_EQ(search("I", CONTACT_GROUP_MATCH_CONTAINS, 0, CONTACT_GROUP_ORDER_INDEX), (V{"Friends", "Family"}));
    EXPECT_EQ(search("FUSS", CONTACT_GROUP_MATCH_PREFIX, 0, CONTACT_GROUP_ORDER_INDEX), (V{"Fu\xC3\x9F" "ball"}));
    EXPECT_EQ(search("f", CONTACT_GROUP_MATCH_PREFIX, 2, CONTACT_GROUP_ORDER_NAME), (V{"Family", "Friends"}));
    EXPECT_EQ(search("work", CONTACT_GROUP_MATCH_EXACT, 0, CONTACT_GROUP_ORDER_INDEX), (V{"Work"}));
    EXPECT_EQ(search("wor", CONTACT_GROUP_MATCH_EXACT, 0, CONTACT_GROUP_ORDER_INDEX), V{});
    EXPECT_EQ(search("", CONTACT_GROUP_MATCH_CONTAINS, 0, CONTACT_GROUP_ORDER_INDEX, kSimGroups), V{});

    int n = 3;
    int error_code = 12;
    EXPECT_TRUE(fails_with([&](int *e) { return contact_search_groups(kPhoneGroups, "", 7, 0, g_groups, &n, e, 0); },
                           kInvalidArgument, failed_call("contact_search_groups")));
    EXPECT_TRUE(fails_with([&](int *e) { return contact_search_groups(kPhoneGroups, "", 0, 0, g_groups, &n, e, 4); },
                           kInvalidArgument, failed_call("contact_search_groups")));
    EXPECT_EQ(n, 3);
    EXPECT_EQ(contact_search_groups(kPhoneGroups, "x", 0, 0, g_groups, &n, &error_code, 0), 1);
    EXPECT_EQ(error_code, 12) << "the search has no result code";
    EXPECT_EQ(n, 0);
}

TEST_F(GroupServiceTest, MembersAreAddedRemovedAndListed)
{
    const int ada = add_contact("Ada");
    const int bob = add_contact("Bob");
    const int cy = add_contact("Cy");
    const int group = add_group("Team");
    const int other = add_group("Other");

    int error_code = 5;
    EXPECT_EQ(contact_add_group_member(kPhoneGroups, group, cy, &error_code), 1);
    const int list[] = {bob, ada, bob};
    EXPECT_EQ(contact_add_some_group_members(kPhoneGroups, group, list, 3, &error_code), 1);
    EXPECT_EQ(contact_add_group_member(kPhoneGroups, group, ada, &error_code), 1) << "already a member: no change";
    EXPECT_EQ(error_code, 5) << "membership methods leave error_code alone on success";
    EXPECT_EQ(members(group), (std::vector<int>{ada, bob, cy})) << "once each, by contact index";
    EXPECT_EQ(get(group).member_count, 3);
    EXPECT_TRUE(members(other).empty());
    EXPECT_TRUE(is_member(group, bob));
    EXPECT_FALSE(is_member(other, bob));
    EXPECT_FALSE(is_member(group, 999)) << "no such contact: not a member";

    EXPECT_EQ(contact_delete_group_member(kPhoneGroups, group, bob, &error_code), 1);
    EXPECT_FALSE(is_member(group, bob));
    EXPECT_TRUE(fails_with([&](int *e) { return contact_delete_group_member(kPhoneGroups, group, bob, e); },
                           kNotGroupMember, failed_call_short("contact_delete_group_member")));
    EXPECT_TRUE(fails_with([&](int *e) { return contact_add_group_member(kPhoneGroups, group, 999, e); }, kNoContact,
                           failed_call_short("contact_add_group_member")));
    EXPECT_TRUE(fails_with([&](int *e) { return contact_add_group_member(kPhoneGroups, 50, ada, e); }, kNoGroup,
                           failed_call_short("contact_add_group_member")));
    EXPECT_TRUE(fails_with([&](int *e) { return contact_get_group_members(kPhoneGroups, 50, g_indices, &g_int, e); },
                           kNoGroup, failed_call_short("contact_get_group_members")));
    EXPECT_TRUE(fails_with([&](int *e) { return contact_is_group_member_exist(kPhoneGroups, 50, ada, &g_bool, e); },
                           kNoGroup, failed_call_short("contact_is_group_member_exist")));

    const int both[] = {cy, ada};
    EXPECT_EQ(contact_delete_some_group_members(kPhoneGroups, group, both, 2, &error_code), 1);
    EXPECT_TRUE(members(group).empty());
    EXPECT_EQ(contact_add_some_group_members(kPhoneGroups, group, both, 2, &error_code), 1);
    EXPECT_EQ(contact_delete_all_group_members(kPhoneGroups, group, &error_code), 1);
    EXPECT_TRUE(members(group).empty());
    EXPECT_EQ(error_code, 5);
    EXPECT_TRUE(fails_with([](int *e) { return contact_delete_all_group_members(kPhoneGroups, 50, e); }, kNoGroup,
                           failed_call_short("contact_delete_all_group_members")));
}

TEST_F(GroupServiceTest, ListOperationsApplyWholeOrNotAtAll)
{
    const int ada = add_contact("Ada");
    const int bob = add_contact("Bob");
    const int cy = add_contact("Cy");
    const int group = add_group("Team");

    // One index names no contact: none of the list is added.
    const int with_stranger[] = {ada, 1999, bob};
    EXPECT_TRUE(fails_with([&](int *e) { return contact_add_some_group_members(kPhoneGroups, group, with_stranger, 3, e); },
                           kNoContact, failed_call_short("contact_add_some_group_members")));
    EXPECT_TRUE(members(group).empty());

    const int pair[] = {ada, bob};
    int error_code = -1;
    ASSERT_EQ(contact_add_some_group_members(kPhoneGroups, group, pair, 2, &error_code), 1);
    // One index is no member: none of the list is removed.
    const int with_outsider[] = {ada, cy, bob};
    EXPECT_TRUE(fails_with(
        [&](int *e) { return contact_delete_some_group_members(kPhoneGroups, group, with_outsider, 3, e); },
        kNotGroupMember, failed_call_short("contact_delete_some_group_members")));
    EXPECT_EQ(members(group), (std::vector<int>{ada, bob}));
    // A repeated member is removed once, without complaint.
    const int twice[] = {bob, bob};
    EXPECT_EQ(contact_delete_some_group_members(kPhoneGroups, group, twice, 2, &error_code), 1);
    EXPECT_EQ(members(group), (std::vector<int>{ada}));
}

TEST_F(GroupServiceTest, DeletingAContactRemovesItsMemberships)
{
    const int ada = add_contact("Ada");
    const int bob = add_contact("Bob");
    const int team = add_group("Team");
    const int choir = add_group("Choir");
    const int both[] = {ada, bob};
    int error_code = -1;
    ASSERT_EQ(contact_add_some_group_members(kPhoneGroups, team, both, 2, &error_code), 1);
    ASSERT_EQ(contact_add_group_member(kPhoneGroups, choir, ada, &error_code), 1);

    // An update keeps the contact, so it stays a member.
    SampleContact renamed("Ada Lovelace");
    ASSERT_EQ(contact_update_contact(CONTACT_STORAGE_PHONE, ada, &renamed.record, &error_code), 1);
    EXPECT_EQ(members(team), (std::vector<int>{ada, bob}));

    ASSERT_EQ(contact_delete_contact(CONTACT_STORAGE_PHONE, ada, &error_code), 1);
    EXPECT_EQ(members(team), (std::vector<int>{bob}));
    EXPECT_TRUE(members(choir).empty());
    EXPECT_EQ(get(choir).member_count, 0);
    // A new contact in the freed slot is nobody's member.
    EXPECT_EQ(add_contact("Newcomer"), ada);
    EXPECT_FALSE(is_member(team, ada));

    ASSERT_EQ(contact_delete_all_contacts(CONTACT_STORAGE_PHONE, &error_code), 1);
    EXPECT_TRUE(members(team).empty());
    EXPECT_EQ(count(), 2) << "the groups stay";
}

TEST_F(GroupServiceTest, DeletingAGroupRemovesItsMembershipsNotItsContacts)
{
    const int ada = add_contact("Ada");
    const int team = add_group("Team");
    const int choir = add_group("Choir");
    int error_code = -1;
    ASSERT_EQ(contact_add_group_member(kPhoneGroups, team, ada, &error_code), 1);
    ASSERT_EQ(contact_add_group_member(kPhoneGroups, choir, ada, &error_code), 1);

    ASSERT_EQ(contact_delete_group(kPhoneGroups, team, &error_code), 1);
    bool exists = false;
    EXPECT_EQ(contact_is_contact_exist(CONTACT_STORAGE_PHONE, ada, &exists, &error_code), 1);
    EXPECT_TRUE(exists);
    EXPECT_EQ(members(choir), (std::vector<int>{ada}));
    EXPECT_EQ(add_group("Team again"), team);
    EXPECT_TRUE(members(team).empty()) << "a new group in the freed slot starts empty";

    ASSERT_EQ(contact_delete_all_groups(kPhoneGroups, &error_code), 1);
    EXPECT_EQ(contact_is_contact_exist(CONTACT_STORAGE_PHONE, ada, &exists, &error_code), 1);
    EXPECT_TRUE(exists);
}

TEST_F(GroupServiceTest, SimGroupsHoldSimContacts)
{
    // The SIM storages take writes once the card's phonebook is loaded.
    use_sim_card(kEmptySimCard);
    ready_sim_phonebook();
    const int sim_contact = add_contact("On the SIM", CONTACT_STORAGE_SIM);
    add_contact("First on the phone");
    const int phone_contact = add_contact("Second on the phone"); // no SIM contact has its index
    const int group = add_group("SIM friends", kSimGroups);
    int error_code = -1;
    EXPECT_EQ(contact_add_group_member(kSimGroups, group, sim_contact, &error_code), 1) << error_code;
    EXPECT_EQ(members(group, kSimGroups), (std::vector<int>{sim_contact}));
    ASSERT_NE(phone_contact, sim_contact);
    EXPECT_TRUE(fails_with([&](int *e) { return contact_add_group_member(kSimGroups, group, phone_contact, e); },
                           kNoContact, failed_call_short("contact_add_group_member")));
    ASSERT_EQ(contact_delete_contact(CONTACT_STORAGE_SIM, sim_contact, &error_code), 1);
    EXPECT_TRUE(members(group, kSimGroups).empty());
}

} // namespace
} // namespace contact_test
