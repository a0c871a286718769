#include "contact-store.h"

#include <array>

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

} // namespace

ContactStore::ContactStore(Database &db) : db_(db)
{
    db_.migrate("contacts", kMigrations);
}

std::optional<Record> ContactStore::load(int storage, int index)
{
    return db_.read([&]() -> std::optional<Record> {
        SQLite::Statement query(db_.sql(), "SELECT record FROM contacts WHERE storage = ? AND idx = ?");
        query.bind(1, storage);
        query.bind(2, index);
        if (!query.executeStep())
            return std::nullopt;
        return Record::stored(blob_of(query.getColumn(0)));
    });
}

void ContactStore::store(int storage, int index, const Record &record)
{
    return db_.change([&] {
        SQLite::Statement upsert(db_.sql(), "INSERT INTO contacts (storage, idx, display_name, frequency, record) "
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

        SQLite::Statement clear(db_.sql(), "DELETE FROM contact_numbers WHERE contact_id = ?");
        clear.bind(1, id);
        clear.exec();
        SQLite::Statement insert(db_.sql(), "INSERT INTO contact_numbers (contact_id, position, number, normalised) "
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
    });
}

bool ContactStore::remove(int storage, int index)
{
    return db_.change([&] {
        SQLite::Statement remove(db_.sql(), "DELETE FROM contacts WHERE storage = ? AND idx = ?");
        remove.bind(1, storage);
        remove.bind(2, index);
        return remove.exec() > 0;
    });
}

void ContactStore::remove_all(int storage)
{
    return db_.change([&] {
        SQLite::Statement remove(db_.sql(), "DELETE FROM contacts WHERE storage = ?");
        remove.bind(1, storage);
        remove.exec();
    });
}

int ContactStore::count(int storage)
{
    return db_.read([&] {
        SQLite::Statement query(db_.sql(), "SELECT count(*) FROM contacts WHERE storage = ?");
        query.bind(1, storage);
        query.executeStep();
        return query.getColumn(0).getInt();
    });
}

std::vector<int> ContactStore::indices(int storage)
{
    return db_.read([&] {
        SQLite::Statement query(db_.sql(), "SELECT idx FROM contacts WHERE storage = ? ORDER BY idx");
        query.bind(1, storage);
        std::vector<int> found;
        while (query.executeStep())
            found.push_back(query.getColumn(0).getInt());
        return found;
    });
}

void ContactStore::for_each(const std::function<void(int, int, Record &)> &visit)
{
    return db_.read([&] {
        SQLite::Statement query(db_.sql(), "SELECT storage, idx, record FROM contacts ORDER BY storage, idx");
        while (query.executeStep()) {
            Record record = Record::stored(blob_of(query.getColumn(2)));
            visit(query.getColumn(0).getInt(), query.getColumn(1).getInt(), record);
        }
    });
}

std::vector<std::string> ContactStore::normalised_numbers(int storage)
{
    return db_.read([&] {
        SQLite::Statement query(db_.sql(), "SELECT n.normalised FROM contact_numbers n JOIN contacts c ON c.id = n.contact_id "
                                     "WHERE c.storage = ?");
        query.bind(1, storage);
        std::vector<std::string> numbers;
        while (query.executeStep())
            numbers.push_back(query.getColumn(0).getString());
        return numbers;
    });
}

std::optional<Record> ContactStore::load_my_contact()
{
    return db_.read([&]() -> std::optional<Record> {
        SQLite::Statement query(db_.sql(), "SELECT record FROM my_contact WHERE id = 1");
        if (!query.executeStep())
            return std::nullopt;
        return Record::stored(blob_of(query.getColumn(0)));
    });
}

void ContactStore::store_my_contact(const Record &record)
{
    return db_.change([&] {
        SQLite::Statement upsert(db_.sql(), "INSERT OR REPLACE INTO my_contact (id, record) VALUES (1, ?)");
        upsert.bind(1, record.bytes().data(), int(record.bytes().size()));
        upsert.exec();
    });
}

bool ContactStore::remove_my_contact()
{
    return db_.change([&] {
        return db_.sql().exec("DELETE FROM my_contact") > 0;
    });
}

int ContactStore::state(const std::string &key, int fallback)
{
    return db_.read([&] {
        SQLite::Statement query(db_.sql(), "SELECT value FROM state WHERE key = ?");
        query.bind(1, key);
        return query.executeStep() ? query.getColumn(0).getInt() : fallback;
    });
}

void ContactStore::set_state(const std::string &key, int value)
{
    return db_.change([&] {
        SQLite::Statement upsert(db_.sql(), "INSERT OR REPLACE INTO state (key, value) VALUES (?, ?)");
        upsert.bind(1, key);
        upsert.bind(2, value);
        upsert.exec();
    });
}

bool ContactStore::empty()
{
    return db_.read([&] {
        return db_.sql().execAndGet("SELECT (SELECT count(*) FROM contacts) + (SELECT count(*) FROM my_contact)").getInt() == 0;
    });
}

ContactBatch::ContactBatch(Database &db)
    : sql_(db.sql()),
      upsert_(db.sql(), "INSERT INTO contacts (storage, idx, display_name, frequency, record) "
                        "VALUES (?, ?, ?, ?, ?) ON CONFLICT (storage, idx) DO UPDATE SET "
                        "display_name = excluded.display_name, frequency = excluded.frequency, "
                        "record = excluded.record RETURNING id"),
      clear_(db.sql(), "DELETE FROM contact_numbers WHERE contact_id = ?"),
      insert_(db.sql(), "INSERT INTO contact_numbers (contact_id, position, number, normalised) VALUES (?, ?, ?, ?)")
{
}

std::vector<int> ContactBatch::free_indices(int storage, int capacity, int from, std::size_t count)
{
    SQLite::Statement used(sql_, "SELECT idx FROM contacts WHERE storage = ? AND idx >= ? ORDER BY idx");
    used.bind(1, storage);
    used.bind(2, from);
    std::vector<int> found;
    int candidate = from;
    bool more = true;
    while (found.size() < count && candidate <= capacity) {
        int next_used = capacity + 1;
        if (more && used.executeStep())
            next_used = used.getColumn(0).getInt();
        else
            more = false;
        for (; candidate < next_used && candidate <= capacity && found.size() < count; ++candidate)
            found.push_back(candidate);
        if (candidate == next_used)
            ++candidate;
    }
    return found;
}

void ContactBatch::store(int storage, int index, const Record &record)
{
    upsert_.reset();
    upsert_.bind(1, storage);
    upsert_.bind(2, index);
    upsert_.bind(3, record.text(text_field::display_name));
    upsert_.bind(4, record.get_int(contact_wire::offset::frequency));
    upsert_.bindNoCopy(5, record.bytes().data(), int(record.bytes().size()));
    upsert_.executeStep();
    const std::int64_t id = upsert_.getColumn(0).getInt64();
    upsert_.reset();

    clear_.reset();
    clear_.bind(1, id);
    clear_.exec();
    int position = 0;
    for (const std::string &number : record.phone_numbers()) {
        insert_.reset();
        insert_.bind(1, id);
        insert_.bind(2, position++);
        insert_.bind(3, number);
        insert_.bind(4, normalise_number(number));
        insert_.exec();
    }
}

} // namespace contact_engine
