// Groups and group membership.
//
// Two group storages: 0 holds groups of phone contacts, 1 groups of SIM
// contacts; a group's members are contacts of the matching contact storage,
// named by their index there.  A group's name is unique in its storage,
// compared by group_name_key() (case folding and normalisation).
//
// Lists of members are applied whole or not at all, each in one
// transaction: every index of an added list must name a contact (12), every
// index of a removed list a member (42); an index repeated in a list counts
// once, and adding a contact that is already a member changes nothing.
//
// Every change announces itself in its transaction: groups as group-table
// rows (delete all with index 0), members by the group they changed: one
// member added or removed, or "some" for more than one; a call that changed
// nothing announces nothing.
#include <algorithm>
#include <array>
#include <cstring>
#include <ctime>
#include <set>
#include <string>
#include <tuple>

#include "contact-engine-group-wire.h"
#include "contacts/contact-record.h"
#include "groups/group-store.h"
#include "core/method-registry.h"
#include "core/service-limits.h"
#include "core/service-options.h"

namespace contact_engine {

namespace {

using namespace contact_signals; // Signal and the operation codes

// ---- storages ----------------------------------------------------------------

struct GroupStorage {
    int type;            // the number clients use
    int contact_storage; // where its members are: the contacts table's storage
    int capacity;        // indexes run 1 .. capacity
};

constexpr std::array<GroupStorage, 2> kGroupStorages{{
    {0, 0, limits::kPhoneGroupCapacity}, // phone groups of phone contacts
    {1, 1, limits::kSimGroupCapacity},   // SIM groups of SIM contacts
}};

const GroupStorage &group_storage_of(int type)
{
    for (const GroupStorage &storage : kGroupStorages)
        if (storage.type == type)
            return storage;
    fail(kUnknownStorage, "no group storage " + std::to_string(type) + " (0 phone, 1 SIM)");
}

std::string group_name(int storage, int index)
{
    return "group " + std::to_string(index) + " of storage " + std::to_string(storage);
}

const GroupStorage &checked_address(int type, int index)
{
    const GroupStorage &storage = group_storage_of(type);
    if (index < 1 || index > storage.capacity)
        fail(kIndexOutOfRange, "group index " + std::to_string(index) + " is outside 1.." +
                                   std::to_string(storage.capacity));
    return storage;
}

std::int64_t existing_group(GroupStore &store, int type, int index)
{
    checked_address(type, index);
    const std::optional<std::int64_t> id = store.id_of(type, index);
    if (!id)
        fail(kNoGroup, "no " + group_name(type, index));
    return *id;
}

std::int64_t now()
{
    return std::int64_t(std::time(nullptr));
}

// ---- the record --------------------------------------------------------------

std::string text_at(const Bytes &bytes, std::size_t offset, std::size_t width, const char *field)
{
    const std::uint8_t *begin = bytes.data() + offset;
    const void *end = std::memchr(begin, 0, width);
    if (end == nullptr)
        fail(kInvalidUtf8, std::string(field) + " is not NUL-terminated within its " + std::to_string(width) + " bytes");
    const std::size_t length = std::size_t(static_cast<const std::uint8_t *>(end) - begin);
    if (!valid_utf8(begin, length))
        fail(kInvalidUtf8, std::string(field) + " is not valid UTF-8");
    return std::string(reinterpret_cast<const char *>(begin), length);
}

} // namespace

// A client's group record: its name, ringtone and image; the rest of the
// 1352 bytes (index, storage_type, member_count, times, reserved) is the
// service's to fill in and is not read.
GroupFields parse_group(const Bytes &bytes)
{
    using namespace group_wire;
    if (bytes.size() != kRecordSize)
        fail(kMalformedRecord, "a group record is " + std::to_string(kRecordSize) + " bytes, not " +
                                   std::to_string(bytes.size()));
    GroupFields fields{text_at(bytes, offset::name, kNameSize, "name"),
                       text_at(bytes, offset::ringtone_path, kRingtonePathSize, "ringtone_path"),
                       text_at(bytes, offset::image_path, kImagePathSize, "image_path")};
    if (fields.name.empty())
        fail(kInvalidArgument, "a group needs a name");
    return fields;
}

namespace {

void put_text(Bytes &record, std::size_t offset, std::size_t width, const std::string &text)
{
    std::memcpy(record.data() + offset, text.data(), std::min(text.size(), width - 1));
}

Bytes group_record(int storage, const GroupRow &row)
{
    using namespace group_wire;
    Bytes record(kRecordSize, 0);
    write_i32(record.data(), offset::index, row.index);
    write_i32(record.data(), offset::storage_type, storage);
    put_text(record, offset::name, kNameSize, row.fields.name);
    put_text(record, offset::ringtone_path, kRingtonePathSize, row.fields.ringtone_path);
    put_text(record, offset::image_path, kImagePathSize, row.fields.image_path);
    write_i32(record.data(), offset::member_count, row.member_count);
    write_i32(record.data(), offset::created_time, std::int32_t(row.created_time));
    write_i32(record.data(), offset::modified_time, std::int32_t(row.modified_time));
    return record;
}

// The name must not be another group's; `self` is the group being renamed.
void check_name_free(GroupStore &store, int storage, const std::string &name, int self)
{
    const std::optional<int> holder = store.index_with_name_key(storage, group_name_key(name));
    if (holder && *holder != self)
        fail(kGroupNameInUse, "\"" + name + "\" is the name of " + group_name(storage, *holder));
}

// ---- groups --------------------------------------------------------------------

Answer add_group(GroupStore &store, std::int32_t storage_type, Bytes record)
{
    const GroupStorage &storage = group_storage_of(storage_type);
    const GroupFields fields = parse_group(record);
    return store.database().change([&] {
        check_name_free(store, storage.type, fields.name, 0);
        const int index = store.lowest_free_index(storage.type, storage.capacity);
        if (index < 0)
            fail(kStorageFull, "group storage " + std::to_string(storage.type) + " holds its " +
                                   std::to_string(storage.capacity) + " groups");
        store.insert(storage.type, index, fields, now());
        store.database().notify(Signal::GroupTable, {kAdd, storage.type, index});
        return Answer{index, kOk};
    });
}

std::int32_t update_group(GroupStore &store, std::int32_t storage_type, std::int32_t index, Bytes record)
{
    const GroupFields fields = parse_group(record);
    return store.database().change([&] {
        const std::int64_t id = existing_group(store, storage_type, index);
        check_name_free(store, storage_type, fields.name, index);
        store.update(id, fields, now());
        store.database().notify(Signal::GroupTable, {kUpdate, storage_type, index});
        return std::int32_t(kOk);
    });
}

Reply get_group(GroupStore &store, std::int32_t storage_type, std::int32_t index)
{
    checked_address(storage_type, index);
    const std::optional<GroupRow> row = store.load(storage_type, index);
    if (!row)
        fail(kNoGroup, "no " + group_name(storage_type, index));
    return {group_record(storage_type, *row), kOk};
}

std::int32_t delete_group(GroupStore &store, std::int32_t storage_type, std::int32_t index)
{
    checked_address(storage_type, index);
    store.database().change([&] {
        // The memberships go with the group (ON DELETE CASCADE), in this
        // transaction; the group's signal stands for them too.
        if (!store.remove(storage_type, index))
            fail(kNoGroup, "no " + group_name(storage_type, index));
        store.database().notify(Signal::GroupTable, {kDelete, storage_type, index});
    });
    return kOk;
}

std::int32_t delete_all_groups(GroupStore &store, std::int32_t storage_type)
{
    const int storage = group_storage_of(storage_type).type;
    store.database().change([&] {
        if (store.remove_all(storage) > 0)
            store.database().notify(Signal::GroupTable, {kDeleteAll, storage, kNoRow});
    });
    return kOk;
}

Answer get_group_count(GroupStore &store, std::int32_t storage_type)
{
    return {store.count(group_storage_of(storage_type).type), kOk};
}

Answer get_max_group_count(std::int32_t storage_type)
{
    return {group_storage_of(storage_type).capacity, kOk};
}

Answer get_empty_group_index(GroupStore &store, std::int32_t storage_type)
{
    const GroupStorage &storage = group_storage_of(storage_type);
    const int index = store.lowest_free_index(storage.type, storage.capacity);
    return {index, index < 0 ? kStorageFull : kOk};
}

std::tuple<bool, std::int32_t> is_group_exist(GroupStore &store, std::int32_t storage_type, std::int32_t index)
{
    checked_address(storage_type, index);
    return {store.id_of(storage_type, index).has_value(), kOk};
}

bool exist_same_group_name(GroupStore &store, std::int32_t storage_type, std::string name)
{
    group_storage_of(storage_type);
    return store.index_with_name_key(storage_type, group_name_key(name)).has_value();
}

// search_param1: how the query matches (GroupMatch); search_param2: the most
// groups to return (0 or less: all); search_param3: the order (GroupOrder).
// The reply is the records back to back and their count.
std::tuple<Bytes, std::int32_t> search_groups(GroupStore &store, std::int32_t storage_type, std::string query,
                                              std::int32_t search_param1, std::int32_t search_param2,
                                              std::int32_t search_param3)
{
    group_storage_of(storage_type);
    if (search_param1 < 0 || search_param1 > int(GroupMatch::Exact))
        fail(kInvalidArgument, "search_param1 " + std::to_string(search_param1) +
                                   " is no match mode (0 contains, 1 prefix, 2 exact)");
    if (search_param3 < 0 || search_param3 > int(GroupOrder::Name))
        fail(kInvalidArgument, "search_param3 " + std::to_string(search_param3) + " is no order (0 index, 1 name)");
    const std::vector<GroupRow> rows = store.search(storage_type, group_name_key(query), GroupMatch(search_param1),
                                                    search_param2, GroupOrder(search_param3));
    Bytes records;
    records.reserve(rows.size() * group_wire::kRecordSize);
    for (const GroupRow &row : rows) {
        const Bytes one = group_record(storage_type, row);
        records.insert(records.end(), one.begin(), one.end());
    }
    return {records, std::int32_t(rows.size())};
}

// ---- membership --------------------------------------------------------------------

std::tuple<Bytes, std::int32_t> get_group_members(GroupStore &store, std::int32_t storage_type,
                                                  std::int32_t group_index)
{
    return store.database().read([&] {
        const std::vector<int> members = store.member_indices(existing_group(store, storage_type, group_index));
        Bytes packed(members.size() * 4);
        for (std::size_t i = 0; i < members.size(); ++i)
            contact_wire::write_i32(packed.data(), i * 4, members[i]);
        return std::tuple<Bytes, std::int32_t>{packed, std::int32_t(members.size())};
    });
}

// The row ids of the contacts a list names, each once; the first index that
// names no contact of the group's contact storage fails the whole list.
std::vector<std::int64_t> contacts_named(GroupStore &store, const GroupStorage &storage,
                                         const std::vector<int> &indices)
{
    std::set<std::int64_t> ids;
    for (int index : indices) {
        const std::optional<std::int64_t> id = store.contact_id(storage.contact_storage, index);
        if (!id)
            fail(kNoContact, "no contact at index " + std::to_string(index) + " of storage " +
                                 std::to_string(storage.contact_storage));
        ids.insert(*id);
    }
    return {ids.begin(), ids.end()};
}

void add_members(GroupStore &store, int storage_type, int group_index, const std::vector<int> &indices)
{
    store.database().change([&] {
        const std::int64_t group = existing_group(store, storage_type, group_index);
        const std::vector<std::int64_t> contacts = contacts_named(store, group_storage_of(storage_type), indices);
        const int added = store.add_members(group, contacts);
        // Checked after the insert, inside the transaction: a list that
        // would overfill the group is rolled back whole.
        if (added > 0 && store.member_count(group) > limits::kGroupMemberMax)
            fail(kGroupFull, group_name(storage_type, group_index) + " would hold more than " +
                                 std::to_string(limits::kGroupMemberMax) + " members");
        if (added > 0)
            store.database().notify(added == 1 ? Signal::AddGroupMember : Signal::AddSomeGroupMembers,
                                    {storage_type, group_index});
    });
}

void remove_members(GroupStore &store, int storage_type, int group_index, const std::vector<int> &indices)
{
    store.database().change([&] {
        const std::int64_t group = existing_group(store, storage_type, group_index);
        const GroupStorage &storage = group_storage_of(storage_type);
        std::set<std::int64_t> members;
        for (int index : indices) {
            const std::optional<std::int64_t> contact = store.contact_id(storage.contact_storage, index);
            if (!contact || !store.is_member(group, *contact))
                fail(kNotGroupMember, "contact " + std::to_string(index) + " is not a member of " +
                                          group_name(storage_type, group_index));
            members.insert(*contact);
        }
        store.remove_members(group, {members.begin(), members.end()});
        store.database().notify(members.size() == 1 ? Signal::DeleteGroupMember : Signal::DeleteSomeGroupMembers,
                                {storage_type, group_index});
    });
}

} // namespace

// An index list: `count` 32-bit little-endian ints, nothing more or less.
std::vector<int> index_list(const Bytes &list, std::int32_t count)
{
    if (count <= 0)
        fail(kInvalidArgument, "contact_count " + std::to_string(count) + " is not above 0");
    if (list.size() / 4 != std::size_t(count) || list.size() % 4 != 0)
        fail(kMalformedRecord, "an index list of " + std::to_string(count) + " is " + std::to_string(count) +
                                   " x 4 bytes, not " + std::to_string(list.size()));
    std::vector<int> indices(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < indices.size(); ++i)
        indices[i] = contact_wire::read_i32(list.data(), i * 4);
    return indices;
}

namespace {

void add_group_member(GroupStore &store, std::int32_t storage_type, std::int32_t group_index,
                      std::int32_t contact_index)
{
    add_members(store, storage_type, group_index, {contact_index});
}

void delete_group_member(GroupStore &store, std::int32_t storage_type, std::int32_t group_index,
                         std::int32_t contact_index)
{
    remove_members(store, storage_type, group_index, {contact_index});
}

bool is_group_member_exist(GroupStore &store, std::int32_t storage_type, std::int32_t group_index,
                           std::int32_t contact_index)
{
    return store.database().read([&] {
        const std::int64_t group = existing_group(store, storage_type, group_index);
        const std::optional<std::int64_t> contact =
            store.contact_id(group_storage_of(storage_type).contact_storage, contact_index);
        return contact.has_value() && store.is_member(group, *contact);
    });
}

void add_some_group_members(GroupStore &store, std::int32_t storage_type, std::int32_t group_index, Bytes list,
                            std::int32_t contact_count)
{
    add_members(store, storage_type, group_index, index_list(list, contact_count));
}

void delete_some_group_members(GroupStore &store, std::int32_t storage_type, std::int32_t group_index, Bytes list,
                               std::int32_t contact_count)
{
    remove_members(store, storage_type, group_index, index_list(list, contact_count));
}

void delete_all_group_members(GroupStore &store, std::int32_t storage_type, std::int32_t group_index)
{
    store.database().change([&] {
        if (store.remove_all_members(existing_group(store, storage_type, group_index)) > 0)
            store.database().notify(Signal::DeleteAllGroupMembers, {storage_type, group_index});
    });
}

} // namespace

RegisterFamily register_group_methods;
void register_group_methods(MethodRegistry &registry, Database &database, const ServiceOptions &options)
{
    GroupStore &store = registry.own<GroupStore>(database, contact_store(registry, database, options));
    registry
        .add("contact_add_group", add_group, store, In{"storage_type", "group_record"}, Out{"index", "error_code"})
        .add("contact_update_group", update_group, store, In{"storage_type", "index", "group_record"}, Out{"error_code"})
        .add("contact_get_group", get_group, store, In{"storage_type", "index"}, Out{"group_record", "error_code"})
        .add_long("contact_delete_group", delete_group, store, In{"storage_type", "index"}, Out{"error_code"})
        .add_long("contact_delete_all_groups", delete_all_groups, store, In{"storage_type"}, Out{"error_code"})
        .add("contact_get_group_count", get_group_count, store, In{"storage_type"}, Out{"record_count", "error_code"})
        .add("contact_get_max_group_count", get_max_group_count, In{"storage_type"}, Out{"max_group_count", "error_code"})
        .add("contact_get_empty_group_index", get_empty_group_index, store, In{"storage_type"},
             Out{"empty_index", "error_code"})
        .add("contact_is_group_exist", is_group_exist, store, In{"storage_type", "index"}, Out{"is_exist", "error_code"})
        .add("contact_exist_same_group_name", exist_same_group_name, store, In{"storage_type", "name"}, Out{"is_exist"})
        .add("contact_search_groups", search_groups, store,
             In{"storage_type", "query", "search_param1", "search_param2", "search_param3"},
             Out{"group_record_array", "group_count"})
        .add_long("contact_get_group_members", get_group_members, store, In{"storage_type", "group_index"},
             Out{"contact_index_array", "member_count"})
        .add("contact_add_group_member", add_group_member, store, In{"storage_type", "group_index", "contact_index"},
             Out{})
        .add("contact_delete_group_member", delete_group_member, store,
             In{"storage_type", "group_index", "contact_index"}, Out{})
        .add("contact_is_group_member_exist", is_group_member_exist, store,
             In{"storage_type", "group_index", "contact_index"}, Out{"is_exist"})
        .add_long("contact_add_some_group_members", add_some_group_members, store,
             In{"storage_type", "group_index", "contact_index_array", "contact_count"}, Out{})
        .add_long("contact_delete_some_group_members", delete_some_group_members, store,
             In{"storage_type", "group_index", "contact_index_array", "contact_count"}, Out{})
        .add_long("contact_delete_all_group_members", delete_all_group_members, store, In{"storage_type", "group_index"},
             Out{});
}

} // namespace contact_engine
