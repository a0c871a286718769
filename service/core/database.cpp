#include "core/database.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include <sqlite3.h>

#include "core/caller-files.h"

namespace contact_engine {

Database::Session &Database::session()
{
    static thread_local Session current;
    return current;
}

namespace {

// Each connection is used by one thread at a time (change() and read()
// hold its mutex), so SQLite's own per-call locking and its memory
// statistics (a global mutex on every allocation) are not needed.
const int kNoMutex = SQLite::OPEN_NOMUTEX;

void configure_sqlite_once()
{
    static const int configured = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0); // before SQLite's first use
    (void)configured; // SQLITE_MISUSE when the process used SQLite already: harmless
}

// A file of the database readable by the service's user alone, whatever
// an earlier version (or an older umask) left: group and other bits off.
void keep_private(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat status {};
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_uid == geteuid() && (status.st_mode & 077) != 0)
        fchmod(fd, status.st_mode & 0700);
    ::close(fd);
}

SQLite::Database open_writer(const std::string &path, Durability durability)
{
    configure_sqlite_once();
    // The directories made here are 0711 (caller-files.h): export
    // directories of the callers may lie beside the database.
    const auto parent = std::filesystem::path(path).parent_path();
    if (!parent.empty())
        make_service_directory(parent.string());
    // SQLite gives the -wal and -shm files the database's mode; files of
    // earlier runs are made private here too.
    for (const char *suffix : {"", "-wal", "-shm"})
        keep_private(path + suffix);
    SQLite::Database db(path, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE | kNoMutex);
    keep_private(path);
    db.exec("PRAGMA journal_mode = WAL");
    db.exec("PRAGMA foreign_keys = ON");
    db.exec(durability == Durability::Durable ? "PRAGMA synchronous = FULL" : "PRAGMA synchronous = NORMAL");
    db.setBusyTimeout(5000);
    db.exec("CREATE TABLE IF NOT EXISTS schema_versions (family TEXT PRIMARY KEY, version INTEGER NOT NULL)");
    // Databases from before per-family versions counted the contact tables
    // in user_version.
    const int legacy = db.execAndGet("PRAGMA user_version").getInt();
    if (legacy > 0) {
        SQLite::Transaction transaction(db);
        db.exec("INSERT OR IGNORE INTO schema_versions (family, version) VALUES ('contacts', " +
                std::to_string(legacy) + ")");
        db.exec("PRAGMA user_version = 0");
        transaction.commit();
    }
    return db;
}

SQLite::Database open_reader(const std::string &path)
{
    SQLite::Database db(path, SQLite::OPEN_READONLY | kNoMutex);
    db.setBusyTimeout(5000);
    return db;
}

} // namespace

Database::Database(const std::string &path, Durability durability)
    : durability_(durability), writer_(open_writer(path, durability)), reader_(open_reader(path))
{
}

Database::Unsynced::Unsynced(Database &db, bool on) : db_(on ? &db : nullptr)
{
    if (db_ != nullptr)
        db_->writer_.exec("PRAGMA synchronous = NORMAL");
}

Database::Unsynced::~Unsynced()
{
    if (db_ == nullptr)
        return;
    try {
        db_->writer_.exec("PRAGMA synchronous = FULL");
    } catch (const std::exception &) {
        // Not expected (the pragma sets a flag of the connection); should it
        // fail, later commits are unsynced until the service starts again.
    }
}

SQLite::Database &Database::sql()
{
    if (session().database != this)
        throw std::logic_error("the database is used outside change() or read()");
    return *session().connection;
}

Database::Cached Database::cached(const std::string &sql_text)
{
    SQLite::Database &connection = sql();
    Kept &kept = (session().writing ? writer_statements_ : reader_statements_)[sql_text];
    if (kept.busy)
        return Cached(nullptr, nullptr, std::make_unique<SQLite::Statement>(connection, sql_text));
    if (!kept.statement)
        kept.statement = std::make_unique<SQLite::Statement>(connection, sql_text);
    kept.busy = true;
    return Cached(kept.statement.get(), &kept.busy, nullptr);
}

Database::Cached::~Cached()
{
    if (own_)
        return;
    try {
        statement_->reset();
        statement_->clearBindings();
    } catch (...) {
        // reset() reports the last step's error again; the statement is
        // reset all the same.
    }
    *busy_ = false;
}

Notification Database::notification_of(Signal signal, std::initializer_list<std::int32_t> args)
{
    const contact_signals::Description &description = contact_signals::describe(signal);
    if (args.size() != description.arity)
        throw std::logic_error(std::string(description.name) + " takes " + std::to_string(description.arity) +
                               " arguments");
    Notification notification{signal, {}};
    std::copy(args.begin(), args.end(), notification.args.begin());
    return notification;
}

void Database::notify(Signal signal, std::initializer_list<std::int32_t> args)
{
    if (session().database != this || !session().writing)
        throw std::logic_error("notify() outside change()");
    pending_.push_back(notification_of(signal, args));
}

void Database::report(Signal signal, std::initializer_list<std::int32_t> args)
{
    const Notification notification = notification_of(signal, args);
    if (session().database == this && !session().writing)
        throw std::logic_error("report() inside read()");
    change([&] { reports_.push_back(notification); });
}

void Database::post_reports() noexcept
{
    try {
        Outbox *outbox = outbox_.load();
        if (outbox != nullptr && !reports_.empty())
            outbox->post(fold(reports_));
    } catch (const std::exception &) {
        // Out of memory while folding: the report is lost, the change is not.
    }
    reports_.clear();
}

void Database::post_notifications()
{
    Outbox *outbox = outbox_.load();
    if (outbox != nullptr && !pending_.empty())
        outbox->post(fold(pending_));
    pending_.clear();
}

int Database::schema_version(const std::string &family)
{
    return read([&] {
        SQLite::Statement query(sql(), "SELECT version FROM schema_versions WHERE family = ?");
        query.bind(1, family);
        return query.executeStep() ? query.getColumn(0).getInt() : 0;
    });
}

void Database::migrate(const std::string &family, std::span<const char *const> steps)
{
    change([&] {
        const int version = schema_version(family);
        if (version > int(steps.size()))
            throw std::runtime_error("the " + family + " tables (version " + std::to_string(version) +
                                     ") are newer than this service knows");
        for (std::size_t step = std::size_t(version); step < steps.size(); ++step)
            sql().exec(steps[step]);
        SQLite::Statement record(sql(), "INSERT OR REPLACE INTO schema_versions (family, version) VALUES (?, ?)");
        record.bind(1, family);
        record.bind(2, int(steps.size()));
        record.exec();
    });
}

} // namespace contact_engine
