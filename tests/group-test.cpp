// Groups and membership: the checks before each call, and over the private
// bus against the real service.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "contact-engine.h"
#include "core/contact-engine-errors.h"
#include "sample-contact.h"
#include "test-support.h"

namespace contact_test {
namespace {

group_t g_groups[CONTACT_GROUP_CAPACITY_MAX];
int g_int = 0;
bool g_bool = false;
int g_indices[CONTACT_GROUP_MEMBER_MAX];
const int kList[] = {4, 9, 12};

// The connection and the NULL pointers are the frame's checks (the same in
// every family); a list's count has a message of its own, after the NULL list.
TEST(GroupChecks, ANullListIsReportedBeforeItsCount)
{
    const char *add_some = "contact_add_some_group_members";
    expect_preconditions({
        {add_some, with(contact_add_some_group_members, 0, 1, nullptr, 0), CONTACT_ERROR_NULL_ARGUMENT,
         null_argument_message(nullptr, "contact_index_array")},
        {add_some, with(contact_add_some_group_members, 0, 1, kList, 0), CONTACT_ERROR_OUT_OF_RANGE,
         "\n[DodazorEdidud]%s %d: The contact_count should more than 0.\n"},
    });
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
    group_t get(int at, int storage = kPhoneGroups) { return answer<group_t>(kOk, contact_get_group, storage, at); }
    int count(int storage = kPhoneGroups) { return answer<int>(kOk, contact_get_group_count, storage); }
    bool is_member(int group, int contact)
    {
        return answer<bool>(kUntouched, contact_is_group_member_exist, kPhoneGroups, group, contact);
    }
    std::vector<int> members(int group, int storage = kPhoneGroups)
    {
        std::vector<int> indices(CONTACT_GROUP_MEMBER_MAX, -1);
        int found = -1, error_code = kUntouched;
        EXPECT_EQ(contact_get_group_members(storage, group, indices.data(), &found, &error_code), 1) << error_code;
        indices.resize(std::size_t(std::max(found, 0)));
        return indices;
    }
    // Calls that must succeed setting `code`; calls that must fail with `code`.
    void ok(const std::vector<Call> &calls, int code = kOk)
    {
        for (const Call &call : calls) {
            int error_code = kUntouched;
            EXPECT_EQ(call(&error_code), 1) << error_code;
            EXPECT_EQ(error_code, code);
        }
    }
    void refused(const std::vector<std::pair<Call, int>> &calls)
    {
        for (const auto &[call, code] : calls)
            EXPECT_EQ(failure_code(call), code);
    }
};

// Add, get, search, update, delete and refusals; names compared as people
// read them; a full storage; what was stored survives a restart.
TEST_F(GroupServiceTest, GroupsAndMembersLifeCycleSearchNamesAndRefusals)
{
    EXPECT_EQ(answer<int>(kOk, contact_get_max_group_count, kPhoneGroups), CONTACT_GROUP_PHONE_CAPACITY);
    EXPECT_EQ(answer<int>(kOk, contact_get_empty_group_index, kPhoneGroups), 1);
    group_t family = named("Family");
    std::strcpy(family.ringtone_path, "/tones/home.ogg");
    family.index = 55;
    family.storage_type = 9;
    int index = -1, error_code = -1;
    ASSERT_EQ(contact_add_group(kPhoneGroups, &family, &index, &error_code), 1);
    EXPECT_EQ(std::make_tuple(index, family.index, family.storage_type), std::make_tuple(1, 1, kPhoneGroups))
        << "the record's fields are set to where it went";
    for (const char *name : {"Work", "Friends", "Fu\u00DFball"}) // "Fußball"
        add_group(name);
    const group_t got = get(1);
    EXPECT_EQ(std::make_tuple(got.index, got.storage_type, std::string(got.name), std::string(got.ringtone_path),
                              got.member_count),
              std::make_tuple(1, kPhoneGroups, std::string("Family"), std::string("/tones/home.ogg"), 0));

    using V = std::vector<std::string>;
    constexpr int kContains = CONTACT_GROUP_MATCH_CONTAINS, kPrefix = CONTACT_GROUP_MATCH_PREFIX,
                  kExact = CONTACT_GROUP_MATCH_EXACT, kByIndex = CONTACT_GROUP_ORDER_INDEX,
                  kByName = CONTACT_GROUP_ORDER_NAME;
    const struct {
        int storage;
        const char *query;
        int match, limit, order;
        V names;
    } searches[] = {
        {kPhoneGroups, "", kContains, 0, kByIndex, {"Family", "Work", "Friends", "Fu\u00DFball"}},
        {kPhoneGroups, "", kContains, 0, kByName, {"Family", "Friends", "Fu\u00DFball", "Work"}},
        {kPhoneGroups, "I", kContains, 0, kByIndex, {"Family", "Friends"}},
        {kPhoneGroups, "FUSS", kPrefix, 0, kByIndex, {"Fu\u00DFball"}},
        {kPhoneGroups, "f", kPrefix, 2, kByName, {"Family", "Friends"}},
        {kPhoneGroups, "work", kExact, 0, kByIndex, {"Work"}},
        {kPhoneGroups, "wor", kExact, 0, kByIndex, {}},
        {kSimGroups, "", kContains, 0, kByIndex, {}},
    };
    for (const auto &row : searches) {
        std::vector<group_t> found(CONTACT_GROUP_CAPACITY_MAX);
        int n = -1;
        EXPECT_EQ(contact_search_groups(row.storage, row.query, row.match, row.limit, found.data(), &n, &error_code,
                                        row.order), 1);
        V names;
        for (int i = 0; i < n; ++i)
            names.push_back(found[std::size_t(i)].name);
        EXPECT_EQ(names, row.names) << row.query;
    }

    // The lowest free slot is taken again; an update's slot is its argument.
    ok({with(contact_delete_group, kPhoneGroups, 2)});
    EXPECT_FALSE(answer<bool>(kOk, contact_is_group_exist, kPhoneGroups, 2));
    EXPECT_EQ(answer<int>(kOk, contact_get_empty_group_index, kPhoneGroups), 2);
    EXPECT_EQ(add_group("\xC3\x89quipe"), 2); // "Équipe", composed
    group_t renamed = get(3);
    std::strcpy(renamed.name, "Stra\u00DFe"); // "Straße"
    renamed.index = 77;
    ok({with(contact_update_group, kPhoneGroups, 3, &renamed)});
    EXPECT_EQ(renamed.index, 3);
    EXPECT_STREQ(get(3).name, "Stra\u00DFe");

    // Same names: case and normalisation do not count, accents do.
    const std::pair<const char *, bool> names[] = {
        {"\xC3\xA9quipe", true}, {"E\xCC\x81QUIPE", true}, // "E" + combining acute: decomposed
        {"STRASSE", true},                                  // ß folds to ss
        {"Equipe", false}, {"\xC3\x89quipes", false}};      // an accent makes another name
    for (const auto &[name, same] : names)
        EXPECT_EQ(answer<bool>(kUntouched, contact_exist_same_group_name, kPhoneGroups, name), same) << name;
    EXPECT_FALSE(answer<bool>(kUntouched, contact_exist_same_group_name, kSimGroups, "\xC3\x89quipe"))
        << "names are per storage";
    group_t respelled = named("\xC3\x89QUIPE");
    ok({with(contact_update_group, kPhoneGroups, 2, &respelled)}); // its own name in another spelling
    EXPECT_STREQ(get(2).name, "\xC3\x89QUIPE");

    group_t ghost = named("Ghost"), blank{}, unterminated{}, not_utf8 = named("caf\xe9");
    group_t twin = named("e\xCC\x81QUIPE"), taken = named("strasse");
    std::memset(unterminated.name, 'a', sizeof unterminated.name);
    // One message of each shape: "<function>: org_yora_contact_<function>() failed(%s)." and without the function.
    EXPECT_TRUE(fails_with(with(contact_get_group, kPhoneGroups, 9, &ghost), kNoGroup, failed("contact_get_group")));
    EXPECT_TRUE(fails_with(with(contact_is_group_exist, kPhoneGroups, 0, &g_bool), kIndexOutOfRange,
                           failed("contact_is_group_exist", false)));
    refused({
        {with(contact_update_group, kPhoneGroups, 9, &ghost), kNoGroup},
        {with(contact_delete_group, kPhoneGroups, 9), kNoGroup},
        {with(contact_get_group_count, 5, &g_int), kUnknownStorage},
        {with(contact_add_group, kPhoneGroups, &blank, &g_int), kInvalidArgument},
        {with(contact_add_group, kPhoneGroups, &unterminated, &g_int), kInvalidUtf8},
        {with(contact_add_group, kPhoneGroups, &not_utf8, &g_int), kInvalidUtf8},
        {with(contact_add_group, 2, &ghost, &g_int), kUnknownStorage},
        {with(contact_add_group, kPhoneGroups, &twin, &g_int), kGroupNameInUse},
        {with(contact_update_group, kPhoneGroups, 2, &taken), kGroupNameInUse},
        {[](int *e) { return contact_search_groups(kSimGroups, "", 7, 0, g_groups, &g_int, e, 0); }, kInvalidArgument},
        {[](int *e) { return contact_search_groups(kSimGroups, "", 0, 0, g_groups, &g_int, e, 4); }, kInvalidArgument},
    });
    EXPECT_EQ(ghost.index, 0) << "a failed update or get leaves the record alone";
    EXPECT_EQ(count(), 4);

    EXPECT_EQ(add_group("e\xCC\x81QUIPE", kSimGroups), 1) << "another storage may use the name";
    for (int i = 2; i <= CONTACT_GROUP_SIM_CAPACITY; ++i)
        ASSERT_EQ(add_group("SIM group " + std::to_string(i), kSimGroups), i);
    EXPECT_EQ(answer<int>(kStorageFull, contact_get_empty_group_index, kSimGroups), -1) << "full: the code says why";
    EXPECT_EQ(failure_code(with(contact_add_group, kSimGroups, &ghost, &g_int)), kStorageFull);
    // Delete all empties one storage only; what was stored survives a restart.
    ok({with(contact_delete_all_groups, kPhoneGroups)});
    EXPECT_EQ(count(), 0);
    restart_service();
    EXPECT_EQ(count(kSimGroups), CONTACT_GROUP_SIM_CAPACITY);
    EXPECT_STREQ(get(1, kSimGroups).name, "e\xCC\x81QUIPE");

    // Lists apply whole or not at all, a repeated index counts once; memberships
    // go with their contact (not with an update of it) and with their group, and
    // a new record in a freed slot starts clean.
    const int ada = add_contact("Ada"), bob = add_contact("Bob"), cy = add_contact("Cy");
    const int group = add_group("Team"), other = add_group("Other");
    const int list[] = {bob, ada, bob}, with_stranger[] = {ada, 1999, bob}, with_outsider[] = {ada, cy, bob};
    ok({with(contact_add_group_member, kPhoneGroups, group, cy),
        with(contact_add_some_group_members, kPhoneGroups, group, list, 3),
        with(contact_add_group_member, kPhoneGroups, group, ada), // already a member: no change
        with(contact_add_some_group_members, kPhoneGroups, other, list, 2),
        with(contact_delete_group_member, kPhoneGroups, group, cy)},
       kUntouched);
    refused({
        {with(contact_add_some_group_members, kPhoneGroups, other, with_stranger, 3), kNoContact},
        {with(contact_delete_some_group_members, kPhoneGroups, group, with_outsider, 3), kNotGroupMember},
        {with(contact_delete_group_member, kPhoneGroups, group, cy), kNotGroupMember},
        {with(contact_add_group_member, kPhoneGroups, 50, ada), kNoGroup},
        {with(contact_get_group_members, kPhoneGroups, 50, g_indices, &g_int), kNoGroup},
    });
    EXPECT_EQ(members(group), (std::vector<int>{ada, bob})) << "once each, by contact index; nothing of a refused list";
    EXPECT_EQ(get(group).member_count, 2);
    EXPECT_TRUE(is_member(other, ada));

    SampleContact lovelace("Ada Lovelace");
    ok({with(contact_update_contact, CONTACT_STORAGE_PHONE, ada, &lovelace.record),
        with(contact_delete_group, kPhoneGroups, other)});
    EXPECT_EQ(members(group), (std::vector<int>{ada, bob})) << "an update keeps the contact";
    EXPECT_EQ(add_group("Other again"), other);
    EXPECT_TRUE(members(other).empty()) << "a new group in the freed slot starts empty";
    ok({with(contact_delete_contact, CONTACT_STORAGE_PHONE, ada)});
    EXPECT_EQ(members(group), (std::vector<int>{bob}));
    EXPECT_EQ(add_contact("Newcomer"), ada);
    EXPECT_FALSE(is_member(group, ada)) << "a new contact in the freed slot is nobody's member";
    ok({with(contact_delete_some_group_members, kPhoneGroups, group, &bob, 1),
        with(contact_add_group_member, kPhoneGroups, group, cy),
        with(contact_delete_all_group_members, kPhoneGroups, group)}, kUntouched);
    EXPECT_TRUE(members(group).empty());
    ok({with(contact_add_group_member, kPhoneGroups, group, cy)}, kUntouched);
    ok({with(contact_delete_all_contacts, CONTACT_STORAGE_PHONE)});
    EXPECT_TRUE(members(group).empty());
    EXPECT_EQ(count(), 2) << "deleting contacts leaves the groups";
}

} // namespace
} // namespace contact_test
