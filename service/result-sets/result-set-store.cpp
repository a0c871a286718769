#include "result-sets/result-set-store.h"

#include <algorithm>

#include "contact-engine-wire.h"
#include "contacts/record-packing.h"
#include "core/service-error.h"
#include "core/service-limits.h"

namespace contact_engine {

namespace {

// A set of contact ids that a search selects, as a compound SELECT, and
// the texts it binds.  Searches read their own index (words, numbers,
// members) and only then the contacts they found, so their cost follows
// the number of matches, not the size of the storage.
struct Match {
    std::string sql;
    std::vector<std::string> texts;
};

// Ids of the contacts in rows of `table` whose `column` starts with `prefix`.
Match prefix_match(const char *table, const char *column, const std::string &prefix)
{
    const std::string upper = prefix_upper_bound(prefix);
    std::string sql = std::string("SELECT DISTINCT contact_id FROM ") + table + " WHERE " + column + " >= ?";
    if (upper.empty())
        return {sql, {prefix}};
    return {sql + " AND " + column + " < ?", {prefix, upper}};
}

const char *order_by(SortOrder order)
{
    switch (order) {
    case SortOrder::Name:
        return " ORDER BY c.sort_key, c.id";
    case SortOrder::MostCalled:
        return " ORDER BY c.frequency DESC, c.sort_key, c.id";
    case SortOrder::Index:
        return " ORDER BY c.storage, c.idx";
    }
    return "";
}

} // namespace

std::vector<std::int64_t> ResultSets::run(const ResultSetQuery &query)
{
    std::vector<Match> matches;
    if (query.search == SearchKind::Name)
        for (const std::string &word : keys_.name_words(query.text))
            matches.push_back(prefix_match("contact_name_words", "word", word));
    if (query.search == SearchKind::Number) {
        const std::string key = keys_.number_key(query.text);
        if (key.empty())
            fail(kInvalidArgument, "\"" + query.text + "\" holds no digit of a phone number");
        matches.push_back(prefix_match("contact_numbers", "normalised", key));
    }
    if (query.group)
        matches.push_back({"SELECT DISTINCT m.contact_id FROM group_members m JOIN groups g ON g.id = m.group_id "
                           "WHERE g.storage = " + std::to_string(query.group->storage) +
                               " AND g.idx = " + std::to_string(query.group->index),
                           {}});

    std::vector<std::string> conditions;
    if (query.storage)
        conditions.push_back("c.storage = " + std::to_string(*query.storage));
    if (query.order == SortOrder::MostCalled)
        conditions.push_back("c.frequency > 0");

    // Without a search the walk is one index in order (storage, then the
    // sort key); with one, the matches come first (CROSS JOIN keeps that
    // order of the loops) and only they are sorted.
    std::string sql;
    if (matches.empty()) {
        sql = "SELECT c.id FROM contacts c";
    } else {
        sql = "SELECT c.id FROM (";
        for (std::size_t i = 0; i < matches.size(); ++i)
            sql += (i == 0 ? "" : " INTERSECT ") + matches[i].sql;
        sql += ") AS m CROSS JOIN contacts c ON c.id = m.contact_id";
    }
    for (std::size_t i = 0; i < conditions.size(); ++i)
        sql += (i == 0 ? " WHERE " : " AND ") + conditions[i];
    sql += order_by(query.order);

    return db_.read([&] {
        if (query.group) {
            SQLite::Statement group(db_.sql(), "SELECT 1 FROM groups WHERE storage = ? AND idx = ?");
            group.bind(1, query.group->storage);
            group.bind(2, query.group->index);
            if (!group.executeStep())
                fail(kNoGroup, "no group at index " + std::to_string(query.group->index) + " of group storage " +
                                   std::to_string(query.group->storage));
        }
        SQLite::Statement select(db_.sql(), sql);
        int position = 1;
        for (const Match &match : matches)
            for (const std::string &text : match.texts)
                select.bind(position++, text);
        std::vector<std::int64_t> ids;
        while (select.executeStep())
            ids.push_back(select.getColumn(0).getInt64());
        return ids;
    });
}

int ResultSets::create(const std::string &owner, uid_t uid, const ResultSetQuery &query)
{
    UserQuotas::Hold counted = quotas_.take(uid, Quota::ResultSets);
    std::vector<std::int64_t> ids = run(query);
    UserQuotas::Hold kept = quotas_.take(uid, Quota::ResultSetContacts, ids.size());
    std::lock_guard lock(mutex_);
    // Handles count up and skip those still open; 0 and negatives are never used.
    do
        last_id_ = last_id_ == INT32_MAX ? 1 : last_id_ + 1;
    while (sets_.contains(last_id_));
    sets_.emplace(last_id_, Set{owner, std::move(ids), 0, std::move(counted), std::move(kept)});
    return last_id_;
}

ResultSets::Set &ResultSets::owned(const std::string &owner, int id)
{
    const auto found = sets_.find(id);
    if (found == sets_.end())
        fail(kNoResultSet, "no result set " + std::to_string(id));
    if (found->second.owner != owner)
        fail(kResultSetNotYours, "result set " + std::to_string(id) + " belongs to another client");
    return found->second;
}

void ResultSets::destroy(const std::string &owner, int id)
{
    std::lock_guard lock(mutex_);
    owned(owner, id);
    sets_.erase(id);
}

void ResultSets::forget(const std::string &owner)
{
    std::lock_guard lock(mutex_);
    std::erase_if(sets_, [&](const auto &set) { return set.second.owner == owner; });
}

int ResultSets::count(const std::string &owner, int id)
{
    std::lock_guard lock(mutex_);
    return int(owned(owner, id).ids.size());
}

int ResultSets::cursor(const std::string &owner, int id)
{
    std::lock_guard lock(mutex_);
    return int(owned(owner, id).cursor);
}

void ResultSets::move(const std::string &owner, int id, CursorMove how)
{
    std::lock_guard lock(mutex_);
    Set &set = owned(owner, id);
    const std::size_t size = set.ids.size();
    if (size == 0)
        fail(kCursorOutOfRange, "result set " + std::to_string(id) + " is empty");
    switch (how) {
    case CursorMove::First:
        set.cursor = 0;
        break;
    case CursorMove::Last:
        set.cursor = size - 1;
        break;
    case CursorMove::Next:
        if (set.cursor + 1 >= size)
            fail(kCursorOutOfRange, "the cursor is at the last contact");
        ++set.cursor;
        break;
    case CursorMove::Previous:
        if (set.cursor == 0)
            fail(kCursorOutOfRange, "the cursor is at the first contact");
        // From past the end (after a batch took the last contacts) back to the last.
        set.cursor = std::min(set.cursor, size) - 1;
        break;
    }
}

std::optional<Bytes> ResultSets::fixed_part(std::int64_t id)
{
    Database::Cached select = db_.cached("SELECT record FROM contacts WHERE id = ?");
    select->bind(1, id);
    if (!select->executeStep())
        return std::nullopt;
    const SQLite::Column column = select->getColumn(0);
    return unpack_record(static_cast<const std::uint8_t *>(column.getBlob()), std::size_t(column.getBytes()),
                         contact_wire::kFixedSize);
}

Bytes ResultSets::current(const std::string &owner, int id)
{
    std::lock_guard lock(mutex_);
    Set &set = owned(owner, id);
    if (set.cursor >= set.ids.size())
        fail(kCursorOutOfRange, "no contact under the cursor of result set " + std::to_string(id));
    std::optional<Bytes> record = db_.read([&] { return fixed_part(set.ids[set.cursor]); });
    if (!record)
        fail(kContactDeleted, "the contact at position " + std::to_string(set.cursor) +
                                  " was deleted after the result set was made");
    return std::move(*record);
}

std::tuple<Bytes, int> ResultSets::fetch(const std::string &owner, int id, int wanted, FetchMode mode)
{
    if (wanted < 0 || wanted > int(limits::kMaxResultSetBatch))
        fail(kInvalidArgument, "a batch holds 0 to " + std::to_string(limits::kMaxResultSetBatch) + " contacts, not " +
                                   std::to_string(wanted));
    std::lock_guard lock(mutex_);
    Set &set = owned(owner, id);
    Bytes batch;
    batch.reserve(std::size_t(wanted) * contact_wire::kFixedSize);
    int found = 0;
    std::size_t position = set.cursor;
    db_.read([&] {
        // Contacts deleted since the set was made are passed over.
        for (; found < wanted && position < set.ids.size(); ++position) {
            if (std::optional<Bytes> record = fixed_part(set.ids[position])) {
                batch.insert(batch.end(), record->begin(), record->end());
                ++found;
            }
        }
    });
    if (mode == FetchMode::Advance)
        set.cursor = position;
    return {std::move(batch), found};
}

} // namespace contact_engine
