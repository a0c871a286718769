#include "settings/settings-store.h"

#include <array>

namespace contact_engine {

namespace {

// Forward migrations; entry N brings the schema from version N to N + 1.
// Never edit a released entry: add a new one.
constexpr std::array<const char *, 1> kMigrations{{
    R"(CREATE TABLE settings (
           name  TEXT PRIMARY KEY,
           value NOT NULL);)",
}};

} // namespace

SettingsStore::SettingsStore(Database &db) : db_(db)
{
    db_.migrate("settings", kMigrations);
}

int SettingsStore::get_int(const std::string &name, int fallback)
{
    return db_.read([&] {
        SQLite::Statement query(db_.sql(), "SELECT value FROM settings WHERE name = ?");
        query.bind(1, name);
        return query.executeStep() ? query.getColumn(0).getInt() : fallback;
    });
}

void SettingsStore::set_int(const std::string &name, int value)
{
    db_.change([&] {
        SQLite::Statement upsert(db_.sql(), "INSERT INTO settings (name, value) VALUES (?, ?) "
                                            "ON CONFLICT (name) DO UPDATE SET value = excluded.value");
        upsert.bind(1, name);
        upsert.bind(2, value);
        upsert.exec();
    });
}

std::string SettingsStore::get_text(const std::string &name, const std::string &fallback)
{
    return db_.read([&] {
        SQLite::Statement query(db_.sql(), "SELECT value FROM settings WHERE name = ?");
        query.bind(1, name);
        return query.executeStep() ? query.getColumn(0).getString() : fallback;
    });
}

void SettingsStore::set_text(const std::string &name, const std::string &value)
{
    db_.change([&] {
        SQLite::Statement upsert(db_.sql(), "INSERT INTO settings (name, value) VALUES (?, ?) "
                                            "ON CONFLICT (name) DO UPDATE SET value = excluded.value");
        upsert.bind(1, name);
        upsert.bind(2, value);
        upsert.exec();
    });
}

} // namespace contact_engine
