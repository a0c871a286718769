// The contacts family's tables: contacts by (storage, index) with their
// phone numbers, the user's own contact, and small persistent state.  Every
// function is safe on its own from any thread; inside a Database::change()
// it joins that transaction.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "contact-record.h"
#include "database.h"

namespace contact_engine {

class ContactStore {
public:
    // Brings the contact tables up to date.
    explicit ContactStore(Database &db);

    Database &database() { return db_; }

    std::optional<Record> load(int storage, int index);
    // Writes the contact at (storage, index), replacing one that is there.
    void store(int storage, int index, const Record &record);
    bool remove(int storage, int index);
    void remove_all(int storage);
    int count(int storage);
    std::vector<int> indices(int storage); // ascending
    // Every contact of every storage, for changes that sweep them all.
    void for_each(const std::function<void(int storage, int index, Record &)> &visit);
    // The normalised phone numbers stored in one storage.
    std::vector<std::string> normalised_numbers(int storage);

    std::optional<Record> load_my_contact();
    void store_my_contact(const Record &record);
    bool remove_my_contact();

    int state(const std::string &key, int fallback);
    void set_state(const std::string &key, int value);

    bool empty();

private:
    Database &db_;
};

// A contact table as clients name it, for the families that fill or read
// contact tables in bulk.  Throws kUnknownStorage, or kWrongStorageKind for
// the my-contact storages, as the contact methods do.
struct ContactStorage {
    int type;     // the number clients use
    int table;    // the rows it names
    int capacity; // indexes run 1 .. capacity
};
ContactStorage contact_storage(int storage_type);

// Stores many contacts inside the caller's Database::change() with its
// statements prepared once, as ContactStore::store() does for one.
class ContactBatch {
public:
    explicit ContactBatch(Database &db);
    void store(int storage, int index, const Record &record);
    // Up to `count` free indexes of `storage` from `from` on, ascending,
    // none above `capacity`.
    std::vector<int> free_indices(int storage, int capacity, int from, std::size_t count);

private:
    SQLite::Database &sql_;
    SQLite::Statement upsert_;
    SQLite::Statement clear_;
    SQLite::Statement insert_;
};

} // namespace contact_engine
