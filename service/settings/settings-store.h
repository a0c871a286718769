// The settings family's table: the phonebook's settings by name, each an
// integer or a text.  A setting never written reads as its default.  Every
// function is safe on its own from any thread; inside a Database::change()
// it joins that transaction.
#pragma once

#include <string>

#include "core/database.h"

namespace contact_engine {

class SettingsStore {
public:
    // Brings the settings table up to date.
    explicit SettingsStore(Database &db);

    int get_int(const std::string &name, int fallback);
    void set_int(const std::string &name, int value);
    std::string get_text(const std::string &name, const std::string &fallback);
    void set_text(const std::string &name, const std::string &value);

    Database &database() { return db_; }

private:
    Database &db_;
};

} // namespace contact_engine
