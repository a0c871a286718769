// Groups and membership: the checks before each call; what a responder in
// this process shows of the search (parameters sent, a reply beyond the
// caller's limit); and over the private bus against the real service.
#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "contact-engine-bus.h"
#include "contact-engine-group-wire.h"
#include "contact-engine.h"
#include "core/contact-engine-errors.h"
#include "responder.h"
#include "sample-contact.h"
#include "test-support.h"

namespace contact_test {
namespace {

group_t g_group{};
group_t g_groups[CONTACT_GROUP_CAPACITY_MAX];
int g_int = 0;
bool g_bool = false;
int g_indices[CONTACT_GROUP_MEMBER_MAX];
const int kList[] = {4, 9, 12};

// The connection (one row: the frame's shared check), each pointer in order, then the list's count.
TEST(GroupChecks, ConnectionThenPointersThenCount)
{
    constexpr int kNull = CONTACT_ERROR_NULL_ARGUMENT, kRange = CONTACT_ERROR_OUT_OF_RANGE;
    const auto param = [](const char *function, const char *argument) {
        return null_argument_message(function, (std::string("parameter ") + argument).c_str());
    };
    const auto null = null_argument_message;
    const std::string not_above_zero = "\n[DodazorEdidud]%s %d: The contact_count should more than 0.\n";
    const char *add = "contact_add_group", *same = "contact_exist_same_group_name", *search = "contact_search_groups",
               *members = "contact_get_group_members", *add_some = "contact_add_some_group_members",
               *delete_some = "contact_delete_some_group_members", *update = "contact_update_group",
               *get = "contact_get_group", *count = "contact_get_group_count";
    // The search's error code comes before its last parameter.
    const auto searching = [](const char *query, group_t *array, int *n) -> Call {
        return [=](int *e) { return contact_search_groups(0, query, 0, 0, array, n, e, 0); };
    };
    g_int = 1234;
    expect_preconditions({
        {search, searching(nullptr, nullptr, nullptr), CONTACT_ERROR_NOT_CONNECTED, no_connection_message(nullptr, false)},
        {add, with(contact_add_group, 0, nullptr, nullptr), kNull, param(add, "group_record")},
        {add, with(contact_add_group, 0, &g_group, nullptr), kNull, param(add, "index")},
        {update, with(contact_update_group, 0, 1, nullptr), kNull, param(update, "group_record")},
        {get, with(contact_get_group, 0, 1, nullptr), kNull, param(get, "group_record")},
        {count, with(contact_get_group_count, 0, nullptr), kNull, param(count, "record_count")},
        {"contact_get_max_group_count", with(contact_get_max_group_count, 0, nullptr), kNull,
         param(nullptr, "max_group_count")},
        {"contact_get_empty_group_index", with(contact_get_empty_group_index, 0, nullptr), kNull,
         param(nullptr, "empty_index")},
        {"contact_is_group_exist", with(contact_is_group_exist, 0, 1, nullptr), kNull, param(nullptr, "is_exist")},
        {same, with(contact_exist_same_group_name, 0, nullptr, nullptr), kNull, null(nullptr, "name")},
        {same, with(contact_exist_same_group_name, 0, "", nullptr), kNull, null(nullptr, "is_exist")},
        {search, searching(nullptr, nullptr, nullptr), kNull, null(search, "query")},
        {search, searching("", nullptr, nullptr), kNull, null(search, "group_record_array")},
        {search, searching("", g_groups, nullptr), kNull, null(search, "group_count")},
        {members, with(contact_get_group_members, 0, 1, nullptr, nullptr), kNull, null(members, "contact_index_array")},
        {members, with(contact_get_group_members, 0, 1, g_indices, nullptr), kNull, null(members, "member_count")},
        {"contact_is_group_member_exist", with(contact_is_group_member_exist, 0, 1, 2, nullptr), kNull,
         null(nullptr, "is_exist")},
        // A NULL list is reported before a bad count; 0 is the boundary of both list operations.
        {add_some, with(contact_add_some_group_members, 0, 1, nullptr, 0), kNull, null(nullptr, "contact_index_array")},
        {add_some, with(contact_add_some_group_members, 0, 1, kList, 0), kRange, not_above_zero},
        {add_some, with(contact_add_some_group_members, 0, 1, kList, -7), kRange, not_above_zero},
        {delete_some, with(contact_delete_some_group_members, 0, 1, nullptr, 0), kNull,
         null(nullptr, "contact_index_array")},
        {delete_some, with(contact_delete_some_group_members, 0, 1, kList, 0), kRange, not_above_zero},
    });
    EXPECT_EQ(g_int, 1234) << "nothing written";
}

// The search answers with search_param1 groups numbered search_param3, 1 ...
// (the query "many": one more than search_param2).
class GroupResponderTest : public ResponderTest {
protected:
    void register_methods() override
    {
        object_->registerMethod("contact_search_groups")
            .onInterface(CONTACT_ENGINE_INTERFACE)
            .implementedAs([this](int s, std::string query, int p1, int p2, int p3) {
                std::lock_guard<std::mutex> hold(lock_);
                sent_ = {s, p1, p2, p3};
                query_ = query;
                const int n = query == "many" ? p2 + 1 : p1;
                std::vector<std::uint8_t> all(std::size_t(n) * group_wire::kRecordSize, 0);
                for (int i = 0; i < n; ++i) {
                    std::uint8_t *record = all.data() + std::size_t(i) * group_wire::kRecordSize;
                    group_wire::write_i32(record, group_wire::offset::index, p3 + i);
                    std::strcpy(reinterpret_cast<char *>(record + group_wire::offset::name), "found");
                }
                return std::make_tuple(all, n);
            });
    }
    std::mutex lock_;
    std::vector<int> sent_;
    std::string query_;
};

TEST_F(GroupResponderTest, SearchSendsParamThreeFifthAndCopiesTheCountedRecordsUpToTheCallersLimit)
{
    std::vector<group_t> array(4);
    std::strcpy(array[2].name, "untouched");
    int count = -1, error_code = 77;
    EXPECT_EQ(contact_search_groups(1, "fam", 2, 30, array.data(), &count, &error_code, 500), 1);
    {
        std::lock_guard<std::mutex> hold(lock_);
        EXPECT_EQ(sent_, (std::vector<int>{1, 2, 30, 500}));
        EXPECT_EQ(query_, "fam");
    }
    EXPECT_EQ(count, 2);
    EXPECT_EQ(error_code, 77) << "the search has no result code";
    EXPECT_EQ(array[0].index, 500);
    EXPECT_EQ(array[1].index, 501);
    EXPECT_STREQ(array[1].name, "found");
    EXPECT_STREQ(array[2].name, "untouched");
    // The caller asked for at most 3: a fourth record would run past its array.
    EXPECT_EQ(failure_code([&](int *e) { return contact_search_groups(0, "many", 0, 3, array.data(), &count, e, 0); }),
              CONTACT_ERROR_MALFORMED_REPLY);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(array[0].index, 500);
}

// ---- the real service ----------------------------------------------------------

using namespace contact_engine;
constexpr int kPhoneGroups = CONTACT_GROUP_STORAGE_PHONE, kSimGroups = CONTACT_GROUP_STORAGE_SIM;

// "<function>: org_yora_contact_<function>() failed(%s)." (`named`), or without the "<function>: ".
std::string failed(const std::string &function, bool named = true)
{
    return "\n[DodazorEdidud]%s %d: " + (named ? function + ": " : "") + "org_yora_contact_" + function +
           "() failed(%s).\n";
}
std::string failed_short(const std::string &function) { return failed(function, false); }

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
        return answer<int>(kOk, contact_add_group, storage, &group);
    }
    int add_contact(const std::string &name, int storage = CONTACT_STORAGE_PHONE)
    {
        SampleContact contact(name);
        return answer<int>(kOk, contact_add_contact, storage, &contact.record);
    }
    group_t get(int index, int storage = kPhoneGroups) { return answer<group_t>(kOk, contact_get_group, storage, index); }
    int count(int storage = kPhoneGroups) { return answer<int>(kOk, contact_get_group_count, storage); }
    bool same_name(const std::string &name, int storage = kPhoneGroups)
    {
        return answer<bool>(kUntouched, contact_exist_same_group_name, storage, name.c_str());
    }
    bool is_member(int group, int contact)
    {
        return answer<bool>(kUntouched, contact_is_group_member_exist, kPhoneGroups, group, contact);
    }
    bool contact_exists(int index) { return answer<bool>(kOk, contact_is_contact_exist, CONTACT_STORAGE_PHONE, index); }
    std::vector<int> members(int group, int storage = kPhoneGroups)
    {
        std::vector<int> indices(CONTACT_GROUP_MEMBER_MAX, -1);
        int found = -1, error_code = kUntouched;
        EXPECT_EQ(contact_get_group_members(storage, group, indices.data(), &found, &error_code), 1) << error_code;
        indices.resize(std::size_t(std::max(found, 0)));
        return indices;
    }
    // Calls that must succeed setting `code`; calls that must fail with `code`, logging `format`.
    void ok(const std::vector<Call> &calls, int code = kOk)
    {
        for (const Call &call : calls) {
            int error_code = kUntouched;
            EXPECT_EQ(call(&error_code), 1) << error_code;
            EXPECT_EQ(error_code, code);
        }
    }
    void expect_failures(const std::vector<std::tuple<Call, int, std::string>> &calls)
    {
        for (const auto &[call, code, format] : calls)
            EXPECT_TRUE(fails_with(call, code, format));
    }
};

TEST_F(GroupServiceTest, GroupLifeCycleAndRecordsTheServiceRefuses)
{
    EXPECT_EQ(answer<int>(kOk, contact_get_max_group_count, kPhoneGroups), CONTACT_GROUP_PHONE_CAPACITY);
    EXPECT_EQ(answer<int>(kOk, contact_get_max_group_count, kSimGroups), CONTACT_GROUP_SIM_CAPACITY);
    EXPECT_EQ(answer<int>(kOk, contact_get_empty_group_index, kPhoneGroups), 1);
    group_t family = named("Family");
    std::strcpy(family.ringtone_path, "/tones/home.ogg");
    family.index = 55;
    family.storage_type = 9;
    int index = -1, error_code = -1;
    ASSERT_EQ(contact_add_group(kPhoneGroups, &family, &index, &error_code), 1);
    EXPECT_EQ(index, 1);
    EXPECT_EQ(family.index, 1) << "the record's fields are set to where it went";
    EXPECT_EQ(family.storage_type, kPhoneGroups);
    EXPECT_EQ(add_group("Work"), 2);
    EXPECT_EQ(add_group("Friends"), 3);
    const group_t got = get(1);
    EXPECT_EQ(got.index, 1);
    EXPECT_EQ(got.storage_type, kPhoneGroups);
    EXPECT_STREQ(got.name, "Family");
    EXPECT_STREQ(got.ringtone_path, "/tones/home.ogg");
    EXPECT_EQ(got.member_count, 0);
    EXPECT_GT(got.created_time, 0);

    // The lowest free slot is taken again.
    ok({with(contact_delete_group, kPhoneGroups, 2)});
    EXPECT_FALSE(answer<bool>(kOk, contact_is_group_exist, kPhoneGroups, 2));
    EXPECT_EQ(answer<int>(kOk, contact_get_empty_group_index, kPhoneGroups), 2);
    EXPECT_EQ(add_group("Sport"), 2);
    EXPECT_EQ(add_group("Choir"), 4);
    // Update: the slot comes from the argument, the record's fields are set to it.
    group_t renamed = get(3);
    std::strcpy(renamed.name, "Old friends");
    renamed.index = 77;
    ok({with(contact_update_group, kPhoneGroups, 3, &renamed)});
    EXPECT_EQ(renamed.index, 3);
    EXPECT_STREQ(get(3).name, "Old friends");

    group_t ghost = named("Ghost"), blank{}, unterminated{}, not_utf8 = named("caf\xe9");
    std::memset(unterminated.name, 'a', sizeof unterminated.name);
    expect_failures({
        {with(contact_update_group, kPhoneGroups, 9, &ghost), kNoGroup, failed("contact_update_group")},
        {with(contact_get_group, kPhoneGroups, 9, &ghost), kNoGroup, failed("contact_get_group")},
        {with(contact_delete_group, kPhoneGroups, 9), kNoGroup, failed("contact_delete_group")},
        {with(contact_get_group_count, 5, &g_int), kUnknownStorage, failed("contact_get_group_count")},
        {with(contact_is_group_exist, kPhoneGroups, 0, &g_bool), kIndexOutOfRange, failed_short("contact_is_group_exist")},
        {with(contact_add_group, kPhoneGroups, &blank, &g_int), kInvalidArgument, failed("contact_add_group")},
        {with(contact_add_group, kPhoneGroups, &unterminated, &g_int), kInvalidUtf8, failed("contact_add_group")},
        {with(contact_add_group, kPhoneGroups, &not_utf8, &g_int), kInvalidUtf8, failed("contact_add_group")},
        {with(contact_add_group, 2, &ghost, &g_int), kUnknownStorage, failed("contact_add_group")},
    });
    EXPECT_EQ(ghost.index, 0) << "a failed update or get leaves the record alone";
    EXPECT_STREQ(ghost.name, "Ghost");
    EXPECT_EQ(count(), 4);

    // Delete all empties one storage only; what was stored survives a restart.
    EXPECT_EQ(add_group("Family", kSimGroups), 1);
    ok({with(contact_delete_all_groups, kPhoneGroups)});
    EXPECT_EQ(count(), 0);
    restart_service();
    EXPECT_EQ(count(kSimGroups), 1);
    EXPECT_STREQ(get(1, kSimGroups).name, "Family");
}

TEST_F(GroupServiceTest, SameNameIgnoresCaseAndNormalisationButNotAccents)
{
    add_group("\xC3\x89quipe"); // "Équipe", composed
    add_group("Stra\u00DFe");   // "Straße"
    const std::pair<const char *, bool> rows[] = {
        {"\xC3\x89quipe", true}, {"\xC3\x89QUIPE", true}, {"\xC3\xA9quipe", true},
        {"e\xCC\x81quipe", true}, {"E\xCC\x81QUIPE", true}, // "e" + combining acute: decomposed
        {"STRASSE", true},                                   // ß folds to ss
        {"Equipe", false},                                   // an accent makes another name
        {"\xC3\x89quipes", false}, {"", false}};
    for (const auto &[name, same] : rows)
        EXPECT_EQ(same_name(name), same) << name;
    EXPECT_FALSE(same_name("\xC3\x89quipe", kSimGroups)) << "names are per storage";

    group_t twin = named("e\xCC\x81QUIPE"), taken = named("strasse"), respelled = named("\xC3\x89QUIPE");
    EXPECT_TRUE(fails_with(with(contact_add_group, kPhoneGroups, &twin, &g_int), kGroupNameInUse,
                           failed("contact_add_group")));
    EXPECT_EQ(add_group("e\xCC\x81QUIPE", kSimGroups), 1) << "another storage may use it";
    // A group may take another spelling of its own name, not another group's.
    ok({with(contact_update_group, kPhoneGroups, 1, &respelled)});
    EXPECT_STREQ(get(1).name, "\xC3\x89QUIPE");
    EXPECT_TRUE(fails_with(with(contact_update_group, kPhoneGroups, 1, &taken), kGroupNameInUse,
                           failed("contact_update_group")));
    EXPECT_EQ(count(), 2);
}

TEST_F(GroupServiceTest, FullStorageRefusesAnotherGroup)
{
    for (int i = 1; i <= CONTACT_GROUP_SIM_CAPACITY; ++i)
        ASSERT_EQ(add_group("SIM group " + std::to_string(i), kSimGroups), i);
    EXPECT_EQ(answer<int>(kStorageFull, contact_get_empty_group_index, kSimGroups), -1) << "the answer is the result code";
    group_t one_more = named("One more");
    EXPECT_TRUE(fails_with(with(contact_add_group, kSimGroups, &one_more, &g_int), kStorageFull,
                           failed("contact_add_group")));
    EXPECT_EQ(count(kSimGroups), CONTACT_GROUP_SIM_CAPACITY);
    ok({with(contact_delete_group, kSimGroups, 4)});
    EXPECT_EQ(answer<int>(kOk, contact_get_empty_group_index, kSimGroups), 4);
    EXPECT_EQ(add_group("Back in four", kSimGroups), 4);
}

TEST_F(GroupServiceTest, SearchByMatchLimitAndOrder)
{
    for (const char *name : {"Work", "Friends", "Fu\u00DFball", "Family"}) // "Fußball"
        add_group(name);
    using V = std::vector<std::string>;
    constexpr int kContains = CONTACT_GROUP_MATCH_CONTAINS, kPrefix = CONTACT_GROUP_MATCH_PREFIX,
                  kExact = CONTACT_GROUP_MATCH_EXACT, kByIndex = CONTACT_GROUP_ORDER_INDEX,
                  kByName = CONTACT_GROUP_ORDER_NAME;
    const struct {
        int storage;
        const char *query;
        int match, limit, order;
        V names;
    } rows[] = {
        {kPhoneGroups, "", kContains, 0, kByIndex, {"Work", "Friends", "Fu\u00DFball", "Family"}},
        {kPhoneGroups, "", kContains, 0, kByName, {"Family", "Friends", "Fu\u00DFball", "Work"}},
        {kPhoneGroups, "I", kContains, 0, kByIndex, {"Friends", "Family"}},
        {kPhoneGroups, "FUSS", kPrefix, 0, kByIndex, {"Fu\u00DFball"}},
        {kPhoneGroups, "f", kPrefix, 2, kByName, {"Family", "Friends"}},
        {kPhoneGroups, "work", kExact, 0, kByIndex, {"Work"}},
        {kPhoneGroups, "wor", kExact, 0, kByIndex, {}},
        {kPhoneGroups, "x", kContains, 0, kByIndex, {}},
        {kSimGroups, "", kContains, 0, kByIndex, {}},
    };
    for (const auto &row : rows) {
        std::vector<group_t> found(CONTACT_GROUP_CAPACITY_MAX);
        int n = -1, error_code = -1;
        EXPECT_EQ(contact_search_groups(row.storage, row.query, row.match, row.limit, found.data(), &n, &error_code,
                                        row.order), 1);
        V names;
        for (int i = 0; i < n; ++i)
            names.push_back(found[std::size_t(i)].name);
        EXPECT_EQ(names, row.names) << row.query;
    }
    int n = 3;
    expect_failures({
        {[&](int *e) { return contact_search_groups(kPhoneGroups, "", 7, 0, g_groups, &n, e, 0); }, kInvalidArgument,
         failed("contact_search_groups")},
        {[&](int *e) { return contact_search_groups(kPhoneGroups, "", 0, 0, g_groups, &n, e, 4); }, kInvalidArgument,
         failed("contact_search_groups")},
    });
    EXPECT_EQ(n, 3);
}

// Lists apply whole or not at all; a repeated index counts once.
TEST_F(GroupServiceTest, MembersAreAddedRemovedAndListedAndListsApplyWholeOrNotAtAll)
{
    const int ada = add_contact("Ada"), bob = add_contact("Bob"), cy = add_contact("Cy");
    const int group = add_group("Team"), other = add_group("Other");
    const int list[] = {bob, ada, bob}, with_stranger[] = {ada, 1999, bob}, with_outsider[] = {ada, cy, bob};
    const int twice[] = {bob, bob}, both[] = {cy, ada};
    expect_failures({{with(contact_add_some_group_members, kPhoneGroups, group, with_stranger, 3), kNoContact,
                      failed_short("contact_add_some_group_members")}});
    EXPECT_TRUE(members(group).empty());
    ok({with(contact_add_group_member, kPhoneGroups, group, cy),
        with(contact_add_some_group_members, kPhoneGroups, group, list, 3),
        with(contact_add_group_member, kPhoneGroups, group, ada)}, // already a member: no change
       kUntouched);
    EXPECT_EQ(members(group), (std::vector<int>{ada, bob, cy})) << "once each, by contact index";
    EXPECT_EQ(get(group).member_count, 3);
    EXPECT_TRUE(members(other).empty());
    EXPECT_TRUE(is_member(group, bob));
    EXPECT_FALSE(is_member(other, bob));
    EXPECT_FALSE(is_member(group, 999)) << "no such contact: not a member";

    ok({with(contact_delete_group_member, kPhoneGroups, group, cy)}, kUntouched);
    EXPECT_FALSE(is_member(group, cy));
    expect_failures({
        {with(contact_delete_group_member, kPhoneGroups, group, cy), kNotGroupMember,
         failed_short("contact_delete_group_member")},
        {with(contact_delete_some_group_members, kPhoneGroups, group, with_outsider, 3), kNotGroupMember,
         failed_short("contact_delete_some_group_members")},
        {with(contact_add_group_member, kPhoneGroups, group, 999), kNoContact, failed_short("contact_add_group_member")},
        {with(contact_add_group_member, kPhoneGroups, 50, ada), kNoGroup, failed_short("contact_add_group_member")},
        {with(contact_get_group_members, kPhoneGroups, 50, g_indices, &g_int), kNoGroup,
         failed_short("contact_get_group_members")},
        {with(contact_is_group_member_exist, kPhoneGroups, 50, ada, &g_bool), kNoGroup,
         failed_short("contact_is_group_member_exist")},
        {with(contact_delete_all_group_members, kPhoneGroups, 50), kNoGroup,
         failed_short("contact_delete_all_group_members")},
    });
    EXPECT_EQ(members(group), (std::vector<int>{ada, bob})) << "nothing of a refused list removed";
    ok({with(contact_delete_some_group_members, kPhoneGroups, group, twice, 2)}, kUntouched);
    EXPECT_EQ(members(group), (std::vector<int>{ada}));
    ok({with(contact_add_some_group_members, kPhoneGroups, group, both, 2),
        with(contact_delete_some_group_members, kPhoneGroups, group, both, 2)}, kUntouched);
    EXPECT_TRUE(members(group).empty());
    ok({with(contact_add_some_group_members, kPhoneGroups, group, both, 2),
        with(contact_delete_all_group_members, kPhoneGroups, group)}, kUntouched);
    EXPECT_TRUE(members(group).empty());
}

// Memberships go with their contact (not with an update of it) and with their
// group; the other side stays, and a new record in a freed slot starts clean.
TEST_F(GroupServiceTest, MembershipsGoWithTheirContactOrGroup)
{
    const int ada = add_contact("Ada"), bob = add_contact("Bob");
    const int team = add_group("Team"), choir = add_group("Choir"), band = add_group("Band");
    const int both[] = {ada, bob};
    SampleContact renamed("Ada Lovelace");
    ok({with(contact_add_some_group_members, kPhoneGroups, team, both, 2),
        with(contact_add_some_group_members, kPhoneGroups, band, both, 2),
        with(contact_add_group_member, kPhoneGroups, choir, ada)}, kUntouched);
    ok({with(contact_update_contact, CONTACT_STORAGE_PHONE, ada, &renamed.record)});
    EXPECT_EQ(members(team), (std::vector<int>{ada, bob})) << "an update keeps the contact";

    ok({with(contact_delete_group, kPhoneGroups, band)});
    EXPECT_TRUE(contact_exists(bob)) << "a deleted group's members stay contacts";
    EXPECT_EQ(add_group("Band again"), band);
    EXPECT_TRUE(members(band).empty()) << "a new group in the freed slot starts empty";

    ok({with(contact_delete_contact, CONTACT_STORAGE_PHONE, ada)});
    EXPECT_EQ(members(team), (std::vector<int>{bob}));
    EXPECT_TRUE(members(choir).empty());
    EXPECT_EQ(get(choir).member_count, 0);
    EXPECT_EQ(add_contact("Newcomer"), ada);
    EXPECT_FALSE(is_member(team, ada)) << "a new contact in the freed slot is nobody's member";

    ok({with(contact_delete_all_contacts, CONTACT_STORAGE_PHONE)});
    EXPECT_TRUE(members(team).empty());
    EXPECT_EQ(count(), 3) << "the groups stay";
    const int cy = add_contact("Cy");
    ok({with(contact_add_group_member, kPhoneGroups, team, cy)}, kUntouched);
    ok({with(contact_delete_all_groups, kPhoneGroups)});
    EXPECT_TRUE(contact_exists(cy)) << "deleting every group leaves the contacts";
}

TEST_F(GroupServiceTest, SimGroupsHoldSimContacts)
{
    use_sim_card(kEmptySimCard); // the SIM storages take writes once the card's phonebook is loaded
    ready_sim_phonebook();
    const int sim_contact = add_contact("On the SIM", CONTACT_STORAGE_SIM);
    add_contact("First on the phone");
    const int phone_contact = add_contact("Second on the phone"); // no SIM contact has its index
    ASSERT_NE(phone_contact, sim_contact);
    const int group = add_group("SIM friends", kSimGroups);
    ok({with(contact_add_group_member, kSimGroups, group, sim_contact)}, kUntouched);
    EXPECT_EQ(members(group, kSimGroups), (std::vector<int>{sim_contact}));
    EXPECT_TRUE(fails_with(with(contact_add_group_member, kSimGroups, group, phone_contact), kNoContact,
                           failed_short("contact_add_group_member")));
    ok({with(contact_delete_contact, CONTACT_STORAGE_SIM, sim_contact)});
    EXPECT_TRUE(members(group, kSimGroups).empty());
}

} // namespace
} // namespace contact_test
