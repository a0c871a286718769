#include "contacts/contact-store.h"

#include "core/method-registry.h"
#include "contacts/record-packing.h"
#include "core/service-limits.h"
#include "core/service-options.h"
#include "core/workers.h"

#include <algorithm>
#include <array>
#include <iostream>
#include <mutex>
#include <thread>

namespace contact_engine {

namespace {

// Forward migrations; entry N brings the schema from version N to N + 1.
// Never edit a released entry: add a new one.
constexpr std::array<const char *, 2> kMigrations{{
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
    // Sort keys, name words, per-storage counts, free indexes and ids that
    // are never reused, for result sets and for methods whose cost must not
    // grow with the storage.  Triggers keep the counts and free indexes in
    // the same transaction as the change.  The keys are filled in by
    // ContactStore::make_keys (SQL cannot compute them).
    R"(ALTER TABLE contacts ADD COLUMN sort_key BLOB NOT NULL DEFAULT x'';
       CREATE INDEX contacts_by_name ON contacts (storage, sort_key, id);
       CREATE INDEX contacts_by_frequency ON contacts (storage, frequency DESC, sort_key, id);
       CREATE TABLE contact_name_words (
           contact_id INTEGER NOT NULL REFERENCES contacts (id) ON DELETE CASCADE,
           word       TEXT NOT NULL);
       CREATE INDEX contact_name_words_by_word ON contact_name_words (word, contact_id);
       CREATE INDEX contact_name_words_by_contact ON contact_name_words (contact_id);
       CREATE TABLE contact_counts (
           storage INTEGER PRIMARY KEY,
           n       INTEGER NOT NULL);
       INSERT INTO contact_counts SELECT storage, count(*) FROM contacts GROUP BY storage;
       CREATE TABLE free_indices (
           storage INTEGER NOT NULL,
           idx     INTEGER NOT NULL,
           PRIMARY KEY (storage, idx)) WITHOUT ROWID;
       CREATE TABLE contact_id_high (n INTEGER NOT NULL);
       INSERT INTO contact_id_high SELECT coalesce(max(id), 0) FROM contacts;
       CREATE TRIGGER contacts_added AFTER INSERT ON contacts BEGIN
           INSERT INTO contact_counts VALUES (NEW.storage, 1) ON CONFLICT (storage) DO UPDATE SET n = n + 1;
           DELETE FROM free_indices WHERE storage = NEW.storage AND idx = NEW.idx;
           UPDATE contact_id_high SET n = NEW.id WHERE n < NEW.id;
       END;
       CREATE TRIGGER contacts_removed AFTER DELETE ON contacts BEGIN
           UPDATE contact_counts SET n = n - 1 WHERE storage = OLD.storage;
           INSERT OR IGNORE INTO free_indices VALUES (OLD.storage, OLD.idx);
       END;)",
}};

// The state entries that tell which keys the stored ones were made with
// (-1 while they are being remade), which keys are being remade, and the
// highest contact id remade so far.
constexpr const char *kKeysSignature = "search_keys_signature";
constexpr const char *kKeysRemaking = "search_keys_remaking";
constexpr const char *kKeysRemadeTo = "search_keys_remade_to";
constexpr int kMixedKeys = -1;

// A stable number for a signature text (FNV-1a), kept in the state table.
int signature_number(const std::string &text)
{
    std::uint32_t hash = 2166136261u;
    for (unsigned char c : text)
        hash = (hash ^ c) * 16777619u;
    return int(hash & 0x7fffffff);
}

// A stored record as the contact-record code takes it (see record-packing.h).
Bytes blob_of(const SQLite::Column &column)
{
    return unpack_record(static_cast<const std::uint8_t *>(column.getBlob()), std::size_t(column.getBytes()));
}

} // namespace

ContactStore::ContactStore(Database &db, const SearchKeys &keys) : db_(db), keys_(keys)
{
    db_.migrate("contacts", kMigrations);
    const int wanted = signature_number(keys_.signature());
    if (state(kKeysSignature, kMixedKeys) == wanted || state(kKeysRemaking, kMixedKeys) == wanted)
        return; // current, or being remade for these keys already
    const bool none = db_.read([&] { return db_.sql().execAndGet("SELECT NOT EXISTS (SELECT 1 FROM contacts)").getInt() != 0; });
    if (none) {
        set_state(kKeysSignature, wanted);
        return;
    }
    db_.change([&] {
        set_state(kKeysSignature, kMixedKeys);
        set_state(kKeysRemaking, wanted);
        set_state(kKeysRemadeTo, 0);
    });
}

bool ContactStore::keys_current()
{
    return state(kKeysSignature, kMixedKeys) == signature_number(keys_.signature());
}

ContactKeys ContactStore::keys_of(const Record &record) const
{
    ContactKeys keys;
    keys.sort_key = keys_.sort_key(record.text(text_field::display_name));
    for (const TextField &field : {text_field::display_name, text_field::first_name, text_field::last_name,
                                   text_field::middle_name, text_field::nickname})
        for (std::string &word : keys_.name_words(record.text(field)))
            if (std::find(keys.words.begin(), keys.words.end(), word) == keys.words.end())
                keys.words.push_back(std::move(word));
    for (const std::string &number : record.phone_numbers())
        keys.numbers.emplace_back(number, keys_.number_key(number));
    return keys;
}

// The names a contact is found by, and its numbers, in their search form.
void ContactStore::write_keys(std::int64_t id, const ContactKeys &keys)
{
    write_words(id, keys.words);
    write_numbers(id, keys.numbers);
}

void ContactStore::write_words(std::int64_t id, const std::vector<std::string> &words)
{
    Database::Cached clear_words = db_.cached("DELETE FROM contact_name_words WHERE contact_id = ?");
    clear_words->bind(1, id);
    clear_words->exec();
    Database::Cached insert_word = db_.cached("INSERT INTO contact_name_words (contact_id, word) VALUES (?, ?)");
    for (const std::string &word : words) {
        insert_word->bind(1, id);
        insert_word->bindNoCopy(2, word);
        insert_word->exec();
        insert_word->reset();
    }
}

void ContactStore::write_numbers(std::int64_t id, const std::vector<std::pair<std::string, std::string>> &numbers)
{
    Database::Cached clear_numbers = db_.cached("DELETE FROM contact_numbers WHERE contact_id = ?");
    clear_numbers->bind(1, id);
    clear_numbers->exec();
    Database::Cached insert_number =
        db_.cached("INSERT INTO contact_numbers (contact_id, position, number, normalised) VALUES (?, ?, ?, ?)");
    int position = 0;
    for (const auto &[number, key] : numbers) {
        insert_number->bind(1, id);
        insert_number->bind(2, position++);
        insert_number->bindNoCopy(3, number);
        insert_number->bindNoCopy(4, key);
        insert_number->exec();
        insert_number->reset();
    }
}

void ContactStore::remake_keys_on(Workers &workers, std::chrono::milliseconds pause)
{
    if (!keys_current())
        workers.run([this, &workers, pause] { remake_keys_job(workers, pause); });
}

void ContactStore::remake_keys_job(Workers &workers, std::chrono::milliseconds pause)
{
    using namespace std::chrono_literals;
    for (auto waited = 0ms; waited < pause && !workers.stopping(); waited += 10ms)
        std::this_thread::sleep_for(10ms);
    if (workers.stopping())
        return; // the next start goes on from here
    try {
        if (!remake_keys_chunk())
            workers.run([this, &workers, pause] { remake_keys_job(workers, pause); });
    } catch (const std::exception &error) {
        std::cerr << "contact-engine-service: remaking the search keys stopped (" << error.what()
                  << "); the next start goes on" << std::endl;
    }
}

bool ContactStore::remake_keys_chunk()
{
    struct Remade {
        std::int64_t id;
        Bytes packed;
        ContactKeys stored; // the keys in the tables now
        ContactKeys keys;   // the keys as they are to be
    };
    const int from = state(kKeysRemadeTo, 0);
    std::vector<Remade> chunk = db_.read([&] {
        std::vector<Remade> rows;
        Database::Cached select =
            db_.cached("SELECT id, record, sort_key FROM contacts WHERE id > ? ORDER BY id LIMIT ?");
        select->bind(1, from);
        select->bind(2, limits::kBulkChunk);
        while (select->executeStep()) {
            const SQLite::Column record = select->getColumn(1);
            const auto *bytes = static_cast<const std::uint8_t *>(record.getBlob());
            const SQLite::Column key = select->getColumn(2);
            rows.push_back({select->getColumn(0).getInt64(), Bytes(bytes, bytes + record.getBytes()),
                            {std::string(static_cast<const char *>(key.getBlob()), std::size_t(key.getBytes())), {}, {}},
                            {}});
        }
        if (rows.empty())
            return rows;
        // The stored words and numbers of the chunk's contacts, in the order
        // written (a contact stored between these reads is skipped below).
        const auto stored = [&rows](std::int64_t id) -> ContactKeys * {
            const auto row = std::lower_bound(rows.begin(), rows.end(), id,
                                              [](const Remade &row, std::int64_t wanted) { return row.id < wanted; });
            return row != rows.end() && row->id == id ? &row->stored : nullptr;
        };
        Database::Cached words = db_.cached("SELECT contact_id, word FROM contact_name_words "
                                            "WHERE contact_id BETWEEN ? AND ? ORDER BY contact_id, rowid");
        Database::Cached numbers = db_.cached("SELECT contact_id, number, normalised FROM contact_numbers "
                                              "WHERE contact_id BETWEEN ? AND ? ORDER BY contact_id, position");
        for (Database::Cached *query : {&words, &numbers}) {
            (*query)->bind(1, rows.front().id);
            (*query)->bind(2, rows.back().id);
        }
        while (words->executeStep())
            if (ContactKeys *keys = stored(words->getColumn(0).getInt64()))
                keys->words.push_back(words->getColumn(1).getString());
        while (numbers->executeStep())
            if (ContactKeys *keys = stored(numbers->getColumn(0).getInt64()))
                keys->numbers.emplace_back(numbers->getColumn(1).getString(), numbers->getColumn(2).getString());
        return rows;
    });
    if (chunk.empty()) {
        db_.change([&] {
            set_state(kKeysSignature, signature_number(keys_.signature()));
            db_.sql().exec("DELETE FROM state WHERE key IN ('search_keys_remaking', 'search_keys_remade_to')");
        });
        std::cerr << "contact-engine-service: search keys remade for " << keys_.signature() << std::endl;
        return true;
    }
    // The keys are made outside the writer, on both cores.
    on_two_threads(chunk.size(), [&](std::size_t first, std::size_t end) {
        for (std::size_t i = first; i < end; ++i)
            chunk[i].keys = keys_of(Record::stored(unpack_record(chunk[i].packed.data(), chunk[i].packed.size())));
    });
    // Only keys that differ are written (name words never depend on the
    // locale; numbers only on the region), and a chunk's commit does not
    // wait for the disk: a power cut loses at most chunks that are then
    // remade, since the progress is written with them.
    db_.change(
        [&] {
            // A contact changed since it was read has its new keys already;
            // one removed is gone: only rows still holding the record read
            // are set.
            Database::Cached holds = db_.cached("SELECT 1 FROM contacts WHERE id = ? AND record = ?");
            Database::Cached set_key = db_.cached("UPDATE contacts SET sort_key = ? WHERE id = ?");
            for (const Remade &row : chunk) {
                const bool sort_key = row.keys.sort_key != row.stored.sort_key;
                const bool words = row.keys.words != row.stored.words;
                const bool numbers = row.keys.numbers != row.stored.numbers;
                if (!sort_key && !words && !numbers)
                    continue;
                holds->bind(1, row.id);
                holds->bindNoCopy(2, row.packed.data(), int(row.packed.size()));
                const bool same = holds->executeStep();
                holds->reset();
                if (!same)
                    continue;
                if (sort_key) {
                    set_key->bindNoCopy(1, row.keys.sort_key.data(), int(row.keys.sort_key.size()));
                    set_key->bind(2, row.id);
                    set_key->exec();
                    set_key->reset();
                }
                if (words)
                    write_words(row.id, row.keys.words);
                if (numbers)
                    write_numbers(row.id, row.keys.numbers);
            }
            set_state(kKeysRemadeTo, int(chunk.back().id));
        },
        Commit::Unsynced);
    return false;
}

void ContactStore::add_hook(Hook hook)
{
    const std::lock_guard lock(hooks_mutex_);
    hooks_.push_back(std::move(hook));
}

void ContactStore::run_hooks(int storage, int index, ContactChange change)
{
    std::vector<Hook> hooks;
    {
        const std::lock_guard lock(hooks_mutex_);
        hooks = hooks_;
    }
    for (const Hook &hook : hooks)
        hook(storage, index, change);
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
    store(storage, index, record, keys_of(record));
}

void ContactStore::store(int storage, int index, const Record &record, const ContactKeys &keys)
{
    return db_.change([&] {
        // A new contact's id is above every id ever given (contact_id_high),
        // so a result set's snapshot never takes a newer contact for a
        // deleted one.
        Database::Cached upsert = db_.cached(
            "INSERT INTO contacts (id, storage, idx, display_name, frequency, record, sort_key) "
            "VALUES ((SELECT n + 1 FROM contact_id_high), ?, ?, ?, ?, ?, ?) ON CONFLICT (storage, idx) DO UPDATE SET "
            "display_name = excluded.display_name, frequency = excluded.frequency, record = excluded.record, "
            "sort_key = excluded.sort_key RETURNING id");
        const std::string display_name = record.text(text_field::display_name);
        const Bytes packed = pack_record(record.bytes());
        upsert->bind(1, storage);
        upsert->bind(2, index);
        upsert->bindNoCopy(3, display_name);
        upsert->bind(4, record.get_int(contact_wire::offset::frequency));
        upsert->bindNoCopy(5, packed.data(), int(packed.size()));
        upsert->bindNoCopy(6, keys.sort_key.data(), int(keys.sort_key.size()));
        upsert->executeStep();
        const std::int64_t id = upsert->getColumn(0).getInt64();
        upsert->reset();
        write_keys(id, keys);
        run_hooks(storage, index, ContactChange::Stored);
    });
}

bool ContactStore::remove(int storage, int index)
{
    return db_.change([&] {
        SQLite::Statement remove(db_.sql(), "DELETE FROM contacts WHERE storage = ? AND idx = ?");
        remove.bind(1, storage);
        remove.bind(2, index);
        const bool removed = remove.exec() > 0;
        if (removed)
            run_hooks(storage, index, ContactChange::Removed);
        return removed;
    });
}

int ContactStore::remove_all(int storage)
{
    return db_.change([&] {
        SQLite::Statement remove(db_.sql(), "DELETE FROM contacts WHERE storage = ?");
        remove.bind(1, storage);
        const int removed = remove.exec();
        run_hooks(storage, 0, ContactChange::RemovedAll);
        return removed;
    });
}

int ContactStore::count(int storage)
{
    return db_.read([&] {
        SQLite::Statement query(db_.sql(), "SELECT n FROM contact_counts WHERE storage = ?");
        query.bind(1, storage);
        return query.executeStep() ? query.getColumn(0).getInt() : 0;
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

void ContactStore::track_free_indices(int storage, int capacity)
{
    const std::string key = "free_indices_known_" + std::to_string(storage);
    const int known = state(key, 0);
    if (known >= capacity)
        return;
    db_.change([&] {
        SQLite::Statement fill(db_.sql(), "WITH RECURSIVE i (n) AS (SELECT ? UNION ALL SELECT n + 1 FROM i WHERE n < ?) "
                                          "INSERT OR IGNORE INTO free_indices (storage, idx) SELECT ?, n FROM i "
                                          "WHERE NOT EXISTS (SELECT 1 FROM contacts WHERE storage = ? AND idx = n)");
        fill.bind(1, known + 1);
        fill.bind(2, capacity);
        fill.bind(3, storage);
        fill.bind(4, storage);
        fill.exec();
        set_state(key, capacity);
    });
}

int ContactStore::lowest_free_index(int storage, int capacity)
{
    return db_.read([&] {
        SQLite::Statement query(db_.sql(), "SELECT idx FROM free_indices WHERE storage = ? AND idx <= ? ORDER BY idx LIMIT 1");
        query.bind(1, storage);
        query.bind(2, capacity);
        return query.executeStep() ? query.getColumn(0).getInt() : -1;
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

std::vector<int> ContactStore::free_indices(int storage, int capacity, int from, std::size_t count)
{
    return db_.read([&] {
        SQLite::Statement query(db_.sql(), "SELECT idx FROM free_indices WHERE storage = ? AND idx >= ? AND idx <= ? "
                                           "ORDER BY idx LIMIT ?");
        query.bind(1, storage);
        query.bind(2, from);
        query.bind(3, capacity);
        query.bind(4, std::int64_t(count));
        std::vector<int> found;
        while (query.executeStep())
            found.push_back(query.getColumn(0).getInt());
        return found;
    });
}

ContactStore &contact_store(MethodRegistry &registry, Database &database, const ServiceOptions &options)
{
    return registry.shared<ContactStore>(database, registry.shared<SearchKeys>(options.locale, options.number_region));
}

} // namespace contact_engine
