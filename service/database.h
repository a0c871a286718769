// The service's SQLite database, shared by the families' stores.
//
// Database owns the connections, the transaction helper and the migration
// mechanism; each family keeps its tables and SQL in its own store
// (contact-store.h for contacts) and reaches SQLite only inside change() or
// read():
//
//   ContactStore::ContactStore(Database &db) : db_(db) { db.migrate("contacts", kMigrations); }
//   db.change([&] { ... db.sql() ... });       // one transaction, from any thread
//
// Threads: one writer connection behind a mutex, one reader connection
// behind another.  In WAL mode a read() runs beside a change() on another
// thread (a worker's long job) and sees only committed data.
#pragma once

#include <SQLiteCpp/SQLiteCpp.h>

#include <mutex>
#include <span>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace contact_engine {

class Database {
public:
    explicit Database(const std::string &path);
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;

    // Runs `work` in one transaction: all of it is stored, or none of it
    // (an exception rolls it back and goes on).  A change() inside another
    // joins the outer transaction.
    template <class Work> auto change(Work &&work) -> decltype(work())
    {
        if (session_.database == this) {
            if (!session_.writing)
                throw std::logic_error("change() inside read()");
            return work();
        }
        std::lock_guard lock(write_mutex_);
        const Scope scope(this, writer_, true);
        SQLite::Transaction transaction(writer_);
        if constexpr (std::is_void_v<decltype(work())>) {
            work();
            transaction.commit();
        } else {
            auto result = work();
            transaction.commit();
            return result;
        }
    }

    // Runs `work` reading committed data; inside change() it reads that
    // transaction's own writes.
    template <class Work> auto read(Work &&work) -> decltype(work())
    {
        if (session_.database == this)
            return work();
        std::lock_guard lock(read_mutex_);
        const Scope scope(this, reader_, false);
        return work();
    }

    // The connection of the enclosing change() or read(); throws
    // std::logic_error outside them.
    SQLite::Database &sql();

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
    static thread_local Session session_;
    class Scope {
    public:
        Scope(Database *db, SQLite::Database &connection, bool writing) { session_ = {db, &connection, writing}; }
        ~Scope() { session_ = {}; }
        Scope(const Scope &) = delete;
        Scope &operator=(const Scope &) = delete;
    };

    SQLite::Database writer_;
    SQLite::Database reader_;
    std::mutex write_mutex_;
    std::mutex read_mutex_;
};

} // namespace contact_engine
