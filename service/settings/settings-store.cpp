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

namespace {

// A setting's value as `fallback`'s type, or `fallback` when it was never set.
template <class Value> Value get_value(Database &db, const std::string &name, const Value &fallback)
{
    return db.read([&] {
        SQLite::Statement query(db.sql(), "SELECT value FROM settings WHERE name = ?");
        query.bind(1, name);
        return query.executeStep() ? query.getColumn(0).operator Value() : fallback;
    });
}

template <class Value> void set_value(Database &db, const std::string &name, const Value &value)
{
    db.change([&] {
        SQLite::Statement upsert(db.sql(), "INSERT INTO settings (name, value) VALUES (?, ?) "
                                           "ON CONFLICT (name) DO UPDATE SET value = excluded.value");
        upsert.bind(1, name);
        upsert.bind(2, value);
        upsert.exec();
    });
}

} // namespace

int SettingsStore::get_int(const std::string &name, int fallback) { return get_value(db_, name, fallback); }
void SettingsStore::set_int(const std::string &name, int value) { set_value(db_, name, value); }

std::string SettingsStore::get_text(const std::string &name, const std::string &fallback)
{
    return get_value(db_, name, fallback);
}

void SettingsStore::set_text(const std::string &name, const std::string &value) { set_value(db_, name, value); }

} // namespace contact_engine
