#include "groups/group-store.h"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <array>

#include "core/service-error.h"

namespace contact_engine {

using contact_signals::Signal;

namespace {

// Forward migrations; entry N brings the schema from version N to N + 1.
// Never edit a released entry: add a new one.  The contacts family's tables
// come first (its register function runs before this one).
constexpr std::array<const char *, 1> kMigrations{{
    R"(CREATE TABLE groups (
           id            INTEGER PRIMARY KEY,
           storage       INTEGER NOT NULL,
           idx           INTEGER NOT NULL,
           name          TEXT NOT NULL,
           name_key      TEXT NOT NULL,
           ringtone_path TEXT NOT NULL,
           image_path    TEXT NOT NULL,
           created_time  INTEGER NOT NULL,
           modified_time INTEGER NOT NULL,
           UNIQUE (storage, idx),
           UNIQUE (storage, name_key));
       CREATE TABLE group_members (
           group_id   INTEGER NOT NULL REFERENCES groups (id) ON DELETE CASCADE,
           contact_id INTEGER NOT NULL REFERENCES contacts (id) ON DELETE CASCADE,
           PRIMARY KEY (group_id, contact_id)) WITHOUT ROWID;
       CREATE INDEX group_members_by_contact ON group_members (contact_id);)",
}};

// The memberships that went with their contact in the running transaction
// (the cascade from a deleted contact; a group's own deletes leave the
// contact in place).  A temporary table and trigger of the writer's
// connection, so a rollback takes its rows back with the rest.
constexpr const char *kWatchDepartedMembers =
    "CREATE TEMP TABLE IF NOT EXISTS departed_members (group_id INTEGER NOT NULL);"
    "CREATE TEMP TRIGGER IF NOT EXISTS group_member_departed AFTER DELETE ON main.group_members "
    "WHEN NOT EXISTS (SELECT 1 FROM main.contacts WHERE id = OLD.contact_id) "
    "BEGIN INSERT INTO departed_members (group_id) VALUES (OLD.group_id); END;";

constexpr const char *kRowColumns =
    "g.idx, g.name, g.ringtone_path, g.image_path, g.created_time, g.modified_time, "
    "(SELECT COUNT(*) FROM group_members m WHERE m.group_id = g.id)";

GroupRow row_of(SQLite::Statement &query)
{
    GroupRow row;
    row.index = query.getColumn(0).getInt();
    row.fields.name = query.getColumn(1).getString();
    row.fields.ringtone_path = query.getColumn(2).getString();
    row.fields.image_path = query.getColumn(3).getString();
    row.created_time = query.getColumn(4).getInt64();
    row.modified_time = query.getColumn(5).getInt64();
    row.member_count = query.getColumn(6).getInt();
    return row;
}

// The largest code point in UTF-8: every key that starts with a prefix p
// sorts before p followed by it.
constexpr const char *kAfterEveryText = "\xF4\x8F\xBF\xBF";

} // namespace

std::string group_name_key(const std::string &name)
{
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2 *nfd = icu::Normalizer2::getNFDInstance(status);
    const icu::Normalizer2 *nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status))
        throw std::runtime_error(std::string("ICU normalisation data: ") + u_errorName(status));
    // toCasefold(NFD(x)), then composed: two names have the same key exactly
    // when they are canonically equivalent after case folding.
    icu::UnicodeString text = nfd->normalize(icu::UnicodeString::fromUTF8(name), status);
    text.foldCase(U_FOLD_CASE_DEFAULT);
    text = nfc->normalize(text, status);
    if (U_FAILURE(status))
        throw std::runtime_error(std::string("ICU normalisation: ") + u_errorName(status));
    std::string key;
    text.toUTF8String(key);
    return key;
}

GroupStore::GroupStore(Database &db, ContactStore &contacts) : db_(db)
{
    db_.migrate("groups", kMigrations);
    db_.change([&] { db_.sql().exec(kWatchDepartedMembers); });
    contacts.add_hook([this](int, int, ContactChange change) {
        if (change != ContactChange::Stored)
            announce_departed_members();
    });
}

// One signal per group that lost members with their contacts: a member
// delete for one, "delete some group members" for more.
void GroupStore::announce_departed_members()
{
    db_.change([&] {
        Database::Cached departed = db_.cached(
            "SELECT g.storage, g.idx, count(*) FROM departed_members d JOIN groups g ON g.id = d.group_id "
            "GROUP BY d.group_id ORDER BY min(d.rowid)");
        bool any = false;
        while (departed->executeStep()) {
            const int members = departed->getColumn(2).getInt();
            db_.notify(members == 1 ? Signal::DeleteGroupMember : Signal::DeleteSomeGroupMembers,
                       {departed->getColumn(0).getInt(), departed->getColumn(1).getInt()});
            any = true;
        }
        if (any)
            db_.cached("DELETE FROM departed_members")->exec();
    });
}

std::optional<GroupRow> GroupStore::load(int storage, int index)
{
    return db_.read([&]() -> std::optional<GroupRow> {
        SQLite::Statement query(db_.sql(),
                                std::string("SELECT ") + kRowColumns + " FROM groups g WHERE g.storage = ? AND g.idx = ?");
        query.bind(1, storage);
        query.bind(2, index);
        if (!query.executeStep())
            return std::nullopt;
        return row_of(query);
    });
}

std::optional<std::int64_t> GroupStore::id_of(int storage, int index)
{
    return db_.read([&]() -> std::optional<std::int64_t> {
        SQLite::Statement query(db_.sql(), "SELECT id FROM groups WHERE storage = ? AND idx = ?");
        query.bind(1, storage);
        query.bind(2, index);
        if (!query.executeStep())
            return std::nullopt;
        return query.getColumn(0).getInt64();
    });
}

int GroupStore::lowest_free_index(int storage, int capacity)
{
    // Index 1 if free, else the first used index whose successor is free:
    // a walk of the (storage, idx) index in order that stops at the first gap.
    return db_.read([&] {
        SQLite::Statement query(db_.sql(),
                                "SELECT CASE WHEN NOT EXISTS (SELECT 1 FROM groups WHERE storage = ?1 AND idx = 1) "
                                "THEN 1 ELSE (SELECT g.idx + 1 FROM groups g WHERE g.storage = ?1 AND NOT EXISTS "
                                "(SELECT 1 FROM groups n WHERE n.storage = ?1 AND n.idx = g.idx + 1) "
                                "ORDER BY g.idx LIMIT 1) END");
        query.bind(1, storage);
        query.executeStep();
        const int index = query.getColumn(0).getInt();
        return index >= 1 && index <= capacity ? index : -1;
    });
}

void GroupStore::insert(int storage, int index, const GroupFields &fields, std::int64_t now)
{
    db_.change([&] {
        SQLite::Statement insert(db_.sql(),
                                 "INSERT INTO groups (storage, idx, name, name_key, ringtone_path, image_path, "
                                 "created_time, modified_time) VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
        insert.bind(1, storage);
        insert.bind(2, index);
        insert.bind(3, fields.name);
        insert.bind(4, group_name_key(fields.name));
        insert.bind(5, fields.ringtone_path);
        insert.bind(6, fields.image_path);
        insert.bind(7, now);
        insert.bind(8, now);
        insert.exec();
    });
}

void GroupStore::update(std::int64_t id, const GroupFields &fields, std::int64_t now)
{
    db_.change([&] {
        SQLite::Statement update(db_.sql(), "UPDATE groups SET name = ?, name_key = ?, ringtone_path = ?, "
                                            "image_path = ?, modified_time = ? WHERE id = ?");
        update.bind(1, fields.name);
        update.bind(2, group_name_key(fields.name));
        update.bind(3, fields.ringtone_path);
        update.bind(4, fields.image_path);
        update.bind(5, now);
        update.bind(6, id);
        update.exec();
    });
}

std::optional<int> GroupStore::index_with_name_key(int storage, const std::string &key)
{
    return db_.read([&]() -> std::optional<int> {
        SQLite::Statement query(db_.sql(), "SELECT idx FROM groups WHERE storage = ? AND name_key = ?");
        query.bind(1, storage);
        query.bind(2, key);
        if (!query.executeStep())
            return std::nullopt;
        return query.getColumn(0).getInt();
    });
}

bool GroupStore::remove(int storage, int index)
{
    return db_.change([&] {
        SQLite::Statement remove(db_.sql(), "DELETE FROM groups WHERE storage = ? AND idx = ?");
        remove.bind(1, storage);
        remove.bind(2, index);
        return remove.exec() > 0;
    });
}

int GroupStore::remove_all(int storage)
{
    return db_.change([&] {
        SQLite::Statement remove(db_.sql(), "DELETE FROM groups WHERE storage = ?");
        remove.bind(1, storage);
        return remove.exec();
    });
}

int GroupStore::count(int storage)
{
    return db_.read([&] {
        SQLite::Statement query(db_.sql(), "SELECT COUNT(*) FROM groups WHERE storage = ?");
        query.bind(1, storage);
        query.executeStep();
        return query.getColumn(0).getInt();
    });
}

std::vector<GroupRow> GroupStore::search(int storage, const std::string &key, GroupMatch match, int limit,
                                         GroupOrder order)
{
    std::string sql = std::string("SELECT ") + kRowColumns + " FROM groups g WHERE g.storage = ?1 AND ";
    switch (match) {
    case GroupMatch::Contains:
        sql += "instr(g.name_key, ?2) > 0";
        break;
    case GroupMatch::Prefix:
        sql += "g.name_key >= ?2 AND g.name_key < ?3";
        break;
    case GroupMatch::Exact:
        sql += "g.name_key = ?2";
        break;
    }
    sql += order == GroupOrder::Name ? " ORDER BY g.name_key, g.idx" : " ORDER BY g.idx";
    sql += " LIMIT ?4";
    return db_.read([&] {
        SQLite::Statement query(db_.sql(), sql);
        query.bind(1, storage);
        query.bind(2, key);
        if (match == GroupMatch::Prefix)
            query.bind(3, key + kAfterEveryText);
        query.bind(4, limit > 0 ? limit : -1);
        std::vector<GroupRow> rows;
        while (query.executeStep())
            rows.push_back(row_of(query));
        return rows;
    });
}

std::optional<std::int64_t> GroupStore::contact_id(int contact_storage, int contact_index)
{
    return db_.read([&]() -> std::optional<std::int64_t> {
        SQLite::Statement query(db_.sql(), "SELECT id FROM contacts WHERE storage = ? AND idx = ?");
        query.bind(1, contact_storage);
        query.bind(2, contact_index);
        if (!query.executeStep())
            return std::nullopt;
        return query.getColumn(0).getInt64();
    });
}

std::vector<int> GroupStore::member_indices(std::int64_t group_id)
{
    return db_.read([&] {
        SQLite::Statement query(db_.sql(), "SELECT c.idx FROM group_members m JOIN contacts c ON c.id = m.contact_id "
                                           "WHERE m.group_id = ? ORDER BY c.idx");
        query.bind(1, group_id);
        std::vector<int> indices;
        while (query.executeStep())
            indices.push_back(query.getColumn(0).getInt());
        return indices;
    });
}

int GroupStore::member_count(std::int64_t group_id)
{
    return db_.read([&] {
        SQLite::Statement query(db_.sql(), "SELECT COUNT(*) FROM group_members WHERE group_id = ?");
        query.bind(1, group_id);
        query.executeStep();
        return query.getColumn(0).getInt();
    });
}

bool GroupStore::is_member(std::int64_t group_id, std::int64_t contact_id)
{
    return db_.read([&] {
        SQLite::Statement query(db_.sql(), "SELECT 1 FROM group_members WHERE group_id = ? AND contact_id = ?");
        query.bind(1, group_id);
        query.bind(2, contact_id);
        return query.executeStep();
    });
}

int GroupStore::add_members(std::int64_t group_id, const std::vector<std::int64_t> &contact_ids)
{
    return db_.change([&] {
        SQLite::Statement insert(db_.sql(), "INSERT OR IGNORE INTO group_members (group_id, contact_id) VALUES (?, ?)");
        int added = 0;
        for (std::int64_t contact : contact_ids) {
            insert.bind(1, group_id);
            insert.bind(2, contact);
            added += insert.exec();
            insert.reset();
        }
        return added;
    });
}

void GroupStore::remove_members(std::int64_t group_id, const std::vector<std::int64_t> &contact_ids)
{
    db_.change([&] {
        SQLite::Statement remove(db_.sql(), "DELETE FROM group_members WHERE group_id = ? AND contact_id = ?");
        for (std::int64_t contact : contact_ids) {
            remove.bind(1, group_id);
            remove.bind(2, contact);
            remove.exec();
            remove.reset();
        }
    });
}

int GroupStore::remove_all_members(std::int64_t group_id)
{
    return db_.change([&] {
        SQLite::Statement remove(db_.sql(), "DELETE FROM group_members WHERE group_id = ?");
        remove.bind(1, group_id);
        return remove.exec();
    });
}

} // namespace contact_engine
