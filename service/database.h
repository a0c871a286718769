// The service's SQLite store: contacts by (storage, index), the user's own
// contact, and small persistent state.  Schema changes are forward
// migrations numbered by PRAGMA user_version.
#pragma once

#include <SQLiteCpp/SQLiteCpp.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "contact-record.h"

namespace contact_engine {

class Database {
public:
    explicit Database(const std::string &path);

    // Runs `work` in one transaction: all of it is stored, or none of it.
    template <class Work> auto change(Work work)
    {
        SQLite::Transaction transaction(db_);
        if constexpr (std::is_void_v<decltype(work())>) {
            work();
            transaction.commit();
        } else {
            auto result = work();
            transaction.commit();
            return result;
        }
    }

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
    void migrate();
    SQLite::Database db_;
};

} // namespace contact_engine
