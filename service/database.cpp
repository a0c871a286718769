#include "database.h"

#include <filesystem>

namespace contact_engine {

thread_local Database::Session Database::session_;

namespace {

SQLite::Database open_writer(const std::string &path)
{
    const auto parent = std::filesystem::path(path).parent_path();
    if (!parent.empty())
        std::filesystem::create_directories(parent);
    SQLite::Database db(path, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
    db.exec("PRAGMA journal_mode = WAL");
    db.exec("PRAGMA foreign_keys = ON");
    db.exec("PRAGMA synchronous = NORMAL");
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
    SQLite::Database db(path, SQLite::OPEN_READONLY);
    db.setBusyTimeout(5000);
    return db;
}

} // namespace

Database::Database(const std::string &path) : writer_(open_writer(path)), reader_(open_reader(path)) {}

SQLite::Database &Database::sql()
{
    if (session_.database != this)
        throw std::logic_error("the database is used outside change() or read()");
    return *session_.connection;
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
