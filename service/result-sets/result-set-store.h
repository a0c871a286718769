// Result sets: query cursors that live in the service.
//
// A set is made by running its query once and keeping the ids of the
// contacts that matched, in the query's order: a snapshot.  Later inserts do
// not enter it and later deletes do not shift it, so a cursor never skips or
// repeats a contact; a contact deleted since is reported when it is fetched.
// The query reads only ids through indexes, never records; records are read
// when they are fetched, one batch at a time.
//
// Each set belongs to the bus client that made it (its unique name): only
// that client may use it, and its sets go when it leaves the bus.  The sets
// and the contacts kept in them are counted per user (uid), over all the
// user's clients: at most limits::kMaxResultSetsPerUser sets and
// limits::kMaxResultSetContactsPerUser contacts in them.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "core/bytes.h"
#include "core/database.h"
#include "core/user-quotas.h"
#include "contacts/search-keys.h"

namespace contact_engine {

enum class SortOrder { Name, MostCalled, Index };
enum class SearchKind { None, Name, Number };
enum class CursorMove { First, Next, Previous, Last };
enum class FetchMode { Advance, Peek };

struct GroupAddress {
    int storage;
    int index;
};

struct ResultSetQuery {
    std::optional<int> storage; // a contact table; none for every table
    SortOrder order = SortOrder::Name;
    SearchKind search = SearchKind::None;
    std::string text;
    std::optional<GroupAddress> group;
};

class ResultSets {
public:
    ResultSets(Database &db, const SearchKeys &keys, UserQuotas &quotas) : db_(db), keys_(keys), quotas_(quotas) {}
    ResultSets(const ResultSets &) = delete;
    ResultSets &operator=(const ResultSets &) = delete;

    // Runs the query and returns the new set's handle; `uid` is the
    // owner's user, whose counts it joins.
    int create(const std::string &owner, uid_t uid, const ResultSetQuery &query);
    void destroy(const std::string &owner, int id);
    int count(const std::string &owner, int id);
    int cursor(const std::string &owner, int id);
    void move(const std::string &owner, int id, CursorMove how);
    // The fixed part of the contact under the cursor.
    Bytes current(const std::string &owner, int id);
    // Up to `wanted` fixed parts from the cursor on, and their count.
    std::tuple<Bytes, int> fetch(const std::string &owner, int id, int wanted, FetchMode mode);
    // Drops every set of a client that left the bus.
    void forget(const std::string &owner);

private:
    struct Set {
        std::string owner;
        std::vector<std::int64_t> ids; // the snapshot, in the query's order
        std::size_t cursor = 0;        // 0 .. ids.size(); ids.size() is past the end
        UserQuotas::Hold counted;      // one of the user's sets
        UserQuotas::Hold kept;         // its contacts, among those the user keeps
    };

    std::vector<std::int64_t> run(const ResultSetQuery &query);
    // The caller's own set; throws when there is none or it is another's.
    Set &owned(const std::string &owner, int id);
    // The fixed part of contact `id`, or nothing when it was deleted.
    std::optional<Bytes> fixed_part(std::int64_t id);

    Database &db_;
    const SearchKeys &keys_;
    UserQuotas &quotas_;
    std::mutex mutex_;
    std::map<int, Set> sets_;
    int last_id_ = 0;
};

} // namespace contact_engine
