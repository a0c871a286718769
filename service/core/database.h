// The service's SQLite database, shared by the families' stores.
//
// Database owns the connections, the transaction helper and the migration
// mechanism; each family keeps its tables and SQL in its own store
// (contact-store.h for contacts) and reaches SQLite only inside change() or
// read():
//
//   ContactStore::ContactStore(Database &db, ...) : db_(db) { db.migrate("contacts", kMigrations); }
//   db.change([&] { ... db.sql() ... });       // one transaction, from any thread
//   db.change([&] { ...; db.notify(Signal::ContactMainTable, {kAdd, storage, index}); });
//
// Threads: one writer connection behind a mutex, one reader connection
// behind another.  In WAL mode a read() runs beside a change() on another
// thread (a worker's long job) and sees only committed data.
#pragma once

#include <SQLiteCpp/SQLiteCpp.h>

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <span>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "notifications/notifications.h"

namespace contact_engine {

// When a committed change is on the disk.  Durable: before the commit
// returns (SQLite's synchronous=FULL syncs the write-ahead log at every
// commit), so a power cut loses no change a client was told of.  Fast:
// at the next checkpoint (synchronous=NORMAL), so a power cut can lose the
// last committed changes, though never the database itself.
enum class Durability { Durable, Fast };

// How one change() reaches the disk.  AsConfigured: as the database's
// Durability says.  Unsynced: the commit does not wait for the disk even on
// a Durable database, for work that is simply done again when a power cut
// loses it (search keys being remade); the next synced commit carries it to
// the disk with its own.
enum class Commit { AsConfigured, Unsynced };

class Database {
public:
    explicit Database(const std::string &path, Durability durability = Durability::Durable);
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;

    // Runs `work` in one transaction: all of it is stored, or none of it
    // (an exception rolls it back and goes on).  A change() inside another
    // joins the outer transaction.  The notifications it queued are posted
    // to the outbox after the commit (in commit order, under the write lock)
    // and sent once the lock is released; a rollback drops them.
    template <class Work> auto change(Work &&work, Commit commit = Commit::AsConfigured) -> decltype(work())
    {
        if (session().database == this) {
            if (!session().writing)
                throw std::logic_error("change() inside read()");
            return work();
        }
        const Flush flush(*this); // last out: after the write lock is released
        std::lock_guard lock(write_mutex_);
        const Scope scope(this, writer_, true);
        const Unsynced unsynced(*this, commit == Commit::Unsynced && durability_ == Durability::Durable);
        const Pending pending(pending_);
        const Reports reports(*this); // after the commit's notifications, or after a rollback
        SQLite::Transaction transaction(writer_);
        if constexpr (std::is_void_v<decltype(work())>) {
            work();
            transaction.commit();
            post_notifications();
        } else {
            auto result = work();
            transaction.commit();
            post_notifications();
            return result;
        }
    }

    // Queues a change notification of the running change(): sent as a
    // signal once the outermost transaction has committed, dropped if it
    // rolls back.  Throws std::logic_error outside change().
    void notify(Signal signal, std::initializer_list<std::int32_t> args);

    // Queues a notification that reports a failure rather than a change (a
    // SIM card that could not be written or read): it is sent after the
    // running change() however that ends, since the rollback is part of
    // what it reports.  Outside change() it goes out in a transaction of its
    // own.  Throws std::logic_error inside read().
    void report(Signal signal, std::initializer_list<std::int32_t> args);

    // Where committed notifications go (nullptr: nowhere).  Set while no
    // change() runs: at start-up and shutdown.
    void set_outbox(Outbox *outbox) { outbox_ = outbox; }

    // Runs `work` reading committed data; inside change() it reads that
    // transaction's own writes.
    template <class Work> auto read(Work &&work) -> decltype(work())
    {
        if (session().database == this)
            return work();
        std::lock_guard lock(read_mutex_);
        const Scope scope(this, reader_, false);
        return work();
    }

    // The connection of the enclosing change() or read(); throws
    // std::logic_error outside them.
    SQLite::Database &sql();

    // A statement on the connection of the enclosing change() or read(),
    // prepared the first time its SQL is asked for and kept with that
    // connection: paths that run once per contact (a bulk job stores
    // thousands) skip SQLite's parser.  The holder resets the statement and
    // clears its bindings when it goes.  Asked for again while a holder of
    // it lives (a nested use), the SQL is prepared afresh for that holder.
    class Cached {
    public:
        SQLite::Statement &operator*() { return *statement_; }
        SQLite::Statement *operator->() { return statement_; }
        ~Cached();
        Cached(const Cached &) = delete;
        Cached &operator=(const Cached &) = delete;

    private:
        friend class Database;
        Cached(SQLite::Statement *statement, bool *busy, std::unique_ptr<SQLite::Statement> own)
            : statement_(own ? own.get() : statement), busy_(busy), own_(std::move(own))
        {
        }
        SQLite::Statement *statement_;
        bool *busy_; // the kept statement's flag; nullptr for one of its own
        std::unique_ptr<SQLite::Statement> own_;
    };
    Cached cached(const std::string &sql);

    // Brings `family`'s tables forward: steps[N] takes its schema from
    // version N to N + 1.  Versions are kept per family; never edit a
    // released step, add one.  Throws when the database is newer.
    void migrate(const std::string &family, std::span<const char *const> steps);
    int schema_version(const std::string &family);

private:
    // Which connection this thread is inside, set by change() and read().
    struct Session {
        Database *database = nullptr;
        SQLite::Database *connection = nullptr;
        bool writing = false;
    };
    // The session lives in a function of database.cpp rather than in an
    // inline-visible thread_local member: GCC's UBSan takes the member's TLS
    // wrapper for a null pointer in the templates above and stops the
    // service under the sanitizer gate.
    static Session &session();
    class Scope {
    public:
        Scope(Database *db, SQLite::Database &connection, bool writing) { session() = {db, &connection, writing}; }
        ~Scope() { session() = {}; }
        Scope(const Scope &) = delete;
        Scope &operator=(const Scope &) = delete;
    };

    // synchronous=NORMAL on the writer for one transaction (set and restored
    // outside it), when `on`.
    class Unsynced {
    public:
        Unsynced(Database &db, bool on);
        ~Unsynced();
        Unsynced(const Unsynced &) = delete;
        Unsynced &operator=(const Unsynced &) = delete;

    private:
        Database *db_; // nullptr when off
    };

    // The running transaction's notifications; emptied however it ends.
    class Pending {
    public:
        explicit Pending(std::vector<Notification> &pending) : pending_(pending) { pending_.clear(); }
        ~Pending() { pending_.clear(); }
        Pending(const Pending &) = delete;
        Pending &operator=(const Pending &) = delete;

    private:
        std::vector<Notification> &pending_;
    };
    // Posts the reports of the running change() when it ends, committed or not.
    class Reports {
    public:
        explicit Reports(Database &db) : db_(db) { db_.reports_.clear(); }
        ~Reports() { db_.post_reports(); }
        Reports(const Reports &) = delete;
        Reports &operator=(const Reports &) = delete;

    private:
        Database &db_;
    };
    class Flush {
    public:
        explicit Flush(Database &db) : db_(db) {}
        ~Flush()
        {
            if (Outbox *outbox = db_.outbox_.load())
                outbox->flush();
        }
        Flush(const Flush &) = delete;
        Flush &operator=(const Flush &) = delete;

    private:
        Database &db_;
    };
    void post_notifications();
    void post_reports() noexcept;
    static Notification notification_of(Signal signal, std::initializer_list<std::int32_t> args);

    Durability durability_;
    SQLite::Database writer_;
    SQLite::Database reader_;
    // Kept statements per connection, guarded as their connection is; they
    // go before the connections (declared after them).
    struct Kept {
        std::unique_ptr<SQLite::Statement> statement;
        bool busy = false;
    };
    std::unordered_map<std::string, Kept> writer_statements_;
    std::unordered_map<std::string, Kept> reader_statements_;
    std::vector<Notification> pending_; // guarded by write_mutex_
    std::vector<Notification> reports_; // guarded by write_mutex_
    std::atomic<Outbox *> outbox_{nullptr};
    std::mutex write_mutex_;
    std::mutex read_mutex_;
};

} // namespace contact_engine
