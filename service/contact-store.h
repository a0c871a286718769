// The contacts family's tables: contacts by (storage, index) with their
// phone numbers, the user's own contact, and small persistent state.  Every
// function is safe on its own from any thread; inside a Database::change()
// it joins that transaction.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "contact-record.h"
#include "database.h"

namespace contact_engine {

// What happened to a contact, as the contact-store hooks hear it.
enum class ContactChange { Stored, Removed, RemovedAll };

class ContactStore {
public:
    // Brings the contact tables up to date.
    explicit ContactStore(Database &db);

    Database &database() { return db_; }

    std::optional<Record> load(int storage, int index);
    // Writes the contact at (storage, index), replacing one that is there.
    void store(int storage, int index, const Record &record);
    bool remove(int storage, int index);
    int remove_all(int storage); // how many were removed
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

    // Hooks run inside the transaction of every store(), remove() that
    // removed a row, and remove_all() (index 0), after the change: another
    // family keeps its own data in step, and refuses a change by throwing,
    // which rolls the whole transaction back.  The hooks are shared by every
    // ContactStore on the same Database, so a family that makes its own
    // store hears the changes made through the contact family's.
    using Hook = std::function<void(int storage, int index, ContactChange change)>;
    void add_hook(Hook hook);

    struct Hooks;

private:
    void run_hooks(int storage, int index, ContactChange change);

    Database &db_;
    std::shared_ptr<Hooks> hooks_;
};

} // namespace contact_engine
