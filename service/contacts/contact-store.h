// The contacts family's tables: contacts by (storage, index) with their
// phone numbers, the user's own contact, and small persistent state.
// Beside each contact it keeps what searches and sorted walks read through
// indexes: the collation key of its display name, the folded words of its
// names and the search key of each number (search-keys.h), plus a count per
// storage and the free indexes, so that no single-contact method scans.  Every
// function is safe on its own from any thread; inside a Database::change()
// it joins that transaction.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "contacts/contact-record.h"
#include "core/database.h"
#include "contacts/search-keys.h"

namespace contact_engine {

class MethodRegistry;
class Workers;
struct ServiceOptions;

// What happened to a contact, as the contact-store hooks hear it.
enum class ContactChange { Stored, Removed, RemovedAll };

// What a contact is found by: its display name's sort key, its name words
// and its numbers with their search keys.  Made from the record alone, so a
// bulk job makes them on other threads before it takes the writer.
struct ContactKeys {
    std::string sort_key;
    std::vector<std::string> words;
    std::vector<std::pair<std::string, std::string>> numbers; // as written, search key
};

class ContactStore {
public:
    // Brings the contact tables up to date.  When `keys` would make the
    // stored keys differently (another locale, region or ICU collation),
    // the keys are remade later, by remake_keys_on().
    ContactStore(Database &db, const SearchKeys &keys);

    // Remakes the stored keys that `keys` would make differently, a chunk
    // of contacts per job on `workers`, so the service answers from its
    // first moment and other jobs run between the chunks.  Until its chunk
    // comes, a contact sorts and is found by the keys it has (those of the
    // previous locale); contacts stored meanwhile get the new ones.  A stop
    // mid-way goes on at the next start from where it was.  `pause` comes
    // before each chunk (tests watch the service mid-way).
    void remake_keys_on(Workers &workers, std::chrono::milliseconds pause);
    // True once every stored key is made as `keys` makes it.
    bool keys_current();

    Database &database() { return db_; }
    const SearchKeys &keys() const { return keys_; }

    std::optional<Record> load(int storage, int index);
    // Writes the contact at (storage, index), replacing one that is there.
    void store(int storage, int index, const Record &record);
    // The same with its keys made already (keys_of(record)).
    void store(int storage, int index, const Record &record, const ContactKeys &keys);
    ContactKeys keys_of(const Record &record) const; // any thread
    bool remove(int storage, int index);
    int remove_all(int storage); // how many were removed
    int count(int storage);
    std::vector<int> indices(int storage); // ascending
    // Keeps the free indexes 1 .. capacity of a storage known; called at
    // start for every storage, cheap when the capacity has not grown.
    void track_free_indices(int storage, int capacity);
    // The lowest index in 1 .. capacity that holds no contact, or -1.
    int lowest_free_index(int storage, int capacity);
    // Up to `count` free indexes of `storage` from `from` on, ascending,
    // none above `capacity`: where a bulk job puts its contacts.
    std::vector<int> free_indices(int storage, int capacity, int from, std::size_t count);
    // Every contact of every storage, for changes that sweep them all.
    void for_each(const std::function<void(int storage, int index, Record &)> &visit);
    // The search keys of the phone numbers stored in one storage.
    std::vector<std::string> normalised_numbers(int storage);

    std::optional<Record> load_my_contact();
    void store_my_contact(const Record &record);
    bool remove_my_contact();

    int state(const std::string &key, int fallback);
    void set_state(const std::string &key, int value);

    bool empty();

    // Hooks run inside the transaction of every store(), remove() that
    // removed a row, and remove_all() (index 0), after the change: another
    // family keeps its own data in step, and refuses a change by throwing,
    // which rolls the whole transaction back.  Every family writes through
    // the service's one store (contact_store() below), so its hooks hear
    // every change.
    using Hook = std::function<void(int storage, int index, ContactChange change)>;
    void add_hook(Hook hook);

private:
    void write_keys(std::int64_t id, const ContactKeys &keys);
    void write_words(std::int64_t id, const std::vector<std::string> &words);
    void write_numbers(std::int64_t id, const std::vector<std::pair<std::string, std::string>> &numbers);
    // One chunk of remake_keys_on(); true when none was left.
    bool remake_keys_chunk();
    void remake_keys_job(Workers &workers, std::chrono::milliseconds pause);
    void run_hooks(int storage, int index, ContactChange change);

    Database &db_;
    const SearchKeys &keys_;
    std::mutex hooks_mutex_;
    std::vector<Hook> hooks_;
};

// The service's one contact store (and its search keys), made by the first
// family that asks: every family reads and writes contacts through it.
ContactStore &contact_store(MethodRegistry &registry, Database &database, const ServiceOptions &options);

// A contact table as clients name it, for the families that fill or read
// contact tables in bulk.  Throws kUnknownStorage, or kWrongStorageKind for
// the my-contact storages, as the contact methods do.
struct ContactStorage {
    int type;     // the number clients use
    int table;    // the rows it names
    int capacity; // indexes run 1 .. capacity
};
ContactStorage contact_storage(int storage_type);

} // namespace contact_engine
