// The groups family's tables: groups by (storage, index) in two group
// storages, and the membership of contacts in them.
//
//   groups(id, storage, idx, name, name_key, ringtone_path, image_path,
//          created_time, modified_time)      UNIQUE (storage, idx), UNIQUE (storage, name_key)
//   group_members(group_id -> groups(id), contact_id -> contacts(id))
//          PRIMARY KEY (group_id, contact_id), indexed by contact_id
//
// Both membership keys cascade: deleting a group or a contact removes its
// memberships in the statement, so in the transaction, that deletes it.
// A member is a row of the contacts table: the group's storage decides
// which contact storage its members come from (group_contact_storage()).
// Every function joins the enclosing Database::change() or read(), or runs
// in one of its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "contacts/contact-store.h"
#include "core/bytes.h"
#include "core/database.h"

namespace contact_engine {

// A group's name as it is compared: case-folded and in normalisation form C
// (canonical caseless match), so "ÉQUIPE", "équipe" and "e" + U+0301
// "quipe" have the same key, "equipe" another.  The text must be UTF-8.
std::string group_name_key(const std::string &name);

struct GroupFields {
    std::string name;
    std::string ringtone_path;
    std::string image_path;
};

// A client's group record (1352 bytes): its name, ringtone and image
// paths, each NUL-terminated UTF-8 within its field; throws ServiceError.
GroupFields parse_group(const Bytes &bytes);
// A client's index list: exactly `count` (above 0) 32-bit little-endian
// ints; throws ServiceError.
std::vector<int> index_list(const Bytes &list, std::int32_t count);

struct GroupRow {
    int index = 0;
    GroupFields fields;
    std::int64_t created_time = 0;
    std::int64_t modified_time = 0;
    int member_count = 0;
};

enum class GroupMatch { Contains = 0, Prefix = 1, Exact = 2 };
enum class GroupOrder { Index = 0, Name = 1 };

class GroupStore {
public:
    // Brings the group tables up to date and watches `contacts`: the
    // memberships a deleted contact takes with it are announced as member
    // deletes of their groups, in the same transaction.
    GroupStore(Database &db, ContactStore &contacts);

    Database &database() { return db_; }

    std::optional<GroupRow> load(int storage, int index);
    // The row id of the group at (storage, index).
    std::optional<std::int64_t> id_of(int storage, int index);
    // The lowest index in 1 .. capacity that holds no group, or -1.
    int lowest_free_index(int storage, int capacity);
    void insert(int storage, int index, const GroupFields &fields, std::int64_t now);
    void update(std::int64_t id, const GroupFields &fields, std::int64_t now);
    // The index of the group in `storage` whose name has this key.
    std::optional<int> index_with_name_key(int storage, const std::string &key);
    bool remove(int storage, int index);
    int remove_all(int storage); // how many were removed
    int count(int storage);
    // Up to `limit` groups (all when limit <= 0) whose key matches `key`.
    std::vector<GroupRow> search(int storage, const std::string &key, GroupMatch match, int limit, GroupOrder order);

    // Membership.  Contacts are named by their row id (contact_id) or by
    // their index in the contact storage `contact_storage`.
    std::optional<std::int64_t> contact_id(int contact_storage, int contact_index);
    std::vector<int> member_indices(std::int64_t group_id); // ascending contact index
    int member_count(std::int64_t group_id);
    bool is_member(std::int64_t group_id, std::int64_t contact_id);
    // Adds the contacts that are not members yet; returns how many were added.
    int add_members(std::int64_t group_id, const std::vector<std::int64_t> &contact_ids);
    void remove_members(std::int64_t group_id, const std::vector<std::int64_t> &contact_ids);
    int remove_all_members(std::int64_t group_id); // how many were removed

private:
    void announce_departed_members();

    Database &db_;
};

} // namespace contact_engine
