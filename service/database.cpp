#include "database.h"

#include <array>
#include <filesystem>

namespace contact_engine {

namespace {

// Forward migrations; entry N brings the schema from version N to N + 1.
// Never edit a released entry: add a new one.
constexpr std::array<const char *, 1> kMigrations{{
    R"(CREATE TABLE contacts (
           id           INTEGER PRIMARY KEY,
           storage      INTEGER NOT NULL,
           idx          INTEGER NOT NULL,
           display_name TEXT NOT NULL,
           frequency    INTEGER NOT NULL,
           record       BLOB NOT NULL,
           UNIQUE (storage, idx));
       CREATE TABLE contact_numbers (
           contact_id INTEGER NOT NULL REFERENCES contacts (id) ON DELETE CASCADE,
           position   INTEGER NOT NULL,
           number     TEXT NOT NULL,
           normalised TEXT NOT NULL);
       CREATE INDEX contact_numbers_by_contact ON contact_numbers (contact_id);
       CREATE INDEX contact_numbers_by_number ON contact_numbers (normalised);
       CREATE TABLE my_contact (
           id     INTEGER PRIMARY KEY CHECK (id = 1),
           record BLOB NOT NULL);
       CREATE TABLE state (
           key   TEXT PRIMARY KEY,
           value INTEGER NOT NULL);)",
}};

Bytes blob_of(const SQLite::Column &column)
{
    const auto *data = static_cast<const std::uint8_t *>(column.getBlob());
    return Bytes(data, data + column.getBytes());
}

SQLite::Database open(const std::string &path)
{
    const auto parent = std::filesystem::path(path).parent_path();
    if (!parent.empty())
        std::filesystem::create_directories(parent);
    return SQLite::Database(path, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
}

} // namespace

Database::Database(const std::string &path) : db_(open(path))
{
    db_.exec("PRAGMA journal_mode = WAL");
    db_.exec("PRAGMA foreign_keys = ON");
    db_.exec("PRAGMA synchronous = NORMAL");
    db_.setBusyTimeout(5000);
    migrate();
}

void Database::migrate()
{
    const int version = db_.execAndGet("PRAGMA user_version").getInt();
    if (version > int(kMigrations.size()))
        throw std::runtime_error("the database schema (version " + std::to_string(version) +
                                 ") is newer than this service knows");
    change([&] {
        for (int step = version; step < int(kMigrations.size()); ++step)
            db_.exec(kMigrations[std::size_t(step)]);
        db_.exec("PRAGMA user_version = " + std::to_string(kMigrations.size()));
    });
}

std::optional<Record> Database::load(int storage, int index)
{
    SQLite::Statement query(db_, "SELECT record FROM contacts WHERE storage = ? AND idx = ?");
    query.bind(1, storage);
    query.bind(2, index);
    if (!query.executeStep())
        return std::nullopt;
    return Record::stored(blob_of(query.getColumn(0)));
}

void Database::store(int storage, int index, const Record &record)
{
    SQLite::Statement upsert(db_, "INSERT INTO contacts (storage, idx, display_name, frequency, record) "
                                  "VALUES (?, ?, ?, ?, ?) ON CONFLICT (storage, idx) DO UPDATE SET "
                                  "display_name = excluded.display_name, frequency = excluded.frequency, "
                                  "record = excluded.record RETURNING id");
    upsert.bind(1, storage);
    upsert.bind(2, index);
    upsert.bind(3, record.text(text_field::display_name));
    upsert.bind(4, record.get_int(contact_wire::offset::frequency));
    upsert.bind(5, record.bytes().data(), int(record.bytes().size()));
    upsert.executeStep();
    const std::int64_t id = upsert.getColumn(0).getInt64();
    upsert.reset();

    SQLite::Statement clear(db_, "DELETE FROM contact_numbers WHERE contact_id = ?");
    clear.bind(1, id);
    clear.exec();
    SQLite::Statement insert(db_, "INSERT INTO contact_numbers (contact_id, position, number, normalised) "
                                  "VALUES (?, ?, ?, ?)");
    int position = 0;
    for (const std::string &number : record.phone_numbers()) {
        insert.bind(1, id);
        insert.bind(2, position++);
        insert.bind(3, number);
        insert.bind(4, normalise_number(number));
        insert.exec();
        insert.reset();
    }
}

bool Database::remove(int storage, int index)
{
    SQLite::Statement remove(db_, "DELETE FROM contacts WHERE storage = ? AND idx = ?");
    remove.bind(1, storage);
    remove.bind(2, index);
    return remove.exec() > 0;
}

void Database::remove_all(int storage)
{
    SQLite::Statement remove(db_, "DELETE FROM contacts WHERE storage = ?");
    remove.bind(1, storage);
    remove.exec();
}

int Database::count(int storage)
{
    SQLite::Statement query(db_, "SELECT count(*) FROM contacts WHERE storage = ?");
    query.bind(1, storage);
    query.executeStep();
    return query.getColumn(0).getInt();
}

std::vector<int> Database::indices(int storage)
{
    SQLite::Statement query(db_, "SELECT idx FROM contacts WHERE storage = ? ORDER BY idx");
    query.bind(1, storage);
    std::vector<int> found;
    while (query.executeStep())
        found.push_back(query.getColumn(0).getInt());
    return found;
}

void Database::for_each(const std::function<void(int, int, Record &)> &visit)
{
    SQLite::Statement query(db_, "SELECT storage, idx, record FROM contacts ORDER BY storage, idx");
    while (query.executeStep()) {
        Record record = Record::stored(blob_of(query.getColumn(2)));
        visit(query.getColumn(0).getInt(), query.getColumn(1).getInt(), record);
    }
}

std::vector<std::string> Database::normalised_numbers(int storage)
{
    SQLite::Statement query(db_, "SELECT n.normalised FROM contact_numbers n JOIN contacts c ON c.id = n.contact_id "
                                 "WHERE c.storage = ?");
    query.bind(1, storage);
    std::vector<std::string> numbers;
    while (query.executeStep())
        numbers.push_back(query.getColumn(0).getString());
    return numbers;
}

std::optional<Record> Database::load_my_contact()
{
    SQLite::Statement query(db_, "SELECT record FROM my_contact WHERE id = 1");
    if (!query.executeStep())
        return std::nullopt;
    return Record::stored(blob_of(query.getColumn(0)));
}

void Database::store_my_contact(const Record &record)
{
    SQLite::Statement upsert(db_, "INSERT OR REPLACE INTO my_contact (id, record) VALUES (1, ?)");
    upsert.bind(1, record.bytes().data(), int(record.bytes().size()));
    upsert.exec();
}

bool Database::remove_my_contact()
{
    return db_.exec("DELETE FROM my_contact") > 0;
}

int Database::state(const std::string &key, int fallback)
{
    SQLite::Statement query(db_, "SELECT value FROM state WHERE key = ?");
    query.bind(1, key);
    return query.executeStep() ? query.getColumn(0).getInt() : fallback;
}

void Database::set_state(const std::string &key, int value)
{
    SQLite::Statement upsert(db_, "INSERT OR REPLACE INTO state (key, value) VALUES (?, ?)");
    upsert.bind(1, key);
    upsert.bind(2, value);
    upsert.exec();
}

bool Database::empty()
{
    return db_.execAndGet("SELECT (SELECT count(*) FROM contacts) + (SELECT count(*) FROM my_contact)").getInt() == 0;
}

} // namespace contact_engine
