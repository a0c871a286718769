// The speed-dial family's table: dial numbers 1 to 9, each pointing at one
// phone number of a contact.  A dial keeps the contact's row (so it follows
// the contact while the contact keeps its index) and the number itself,
// normalised (so it follows the number when the contact's numbers are
// reordered).  Deleting the contact clears its dials (ON DELETE CASCADE);
// storing the contact without that number clears the dial in the same
// transaction (a ContactStore hook).  Every dial set, replaced or cleared,
// by a dial method or by a change to its contact, is announced in the
// transaction that did it (speed-dial table: add, update, delete).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "contacts/contact-store.h"
#include "core/bytes.h"
#include "core/database.h"

namespace contact_engine {

struct SpeedDial {
    int dial;
    int storage;  // the contact's storage table (0 phone, 1 SIM, 2 SIM2)
    int index;    // the contact's index there
    int position; // where its number is now in the contact's phone list, from 0
    std::string display_name;
    std::string number; // its search key (SearchKeys::number_key)
};

// What a client's 16-byte speed-dial record points at.
struct SpeedDialTarget {
    int storage; // the contact table: 0 phone, 1 SIM, 2 SIM2
    int index;
    int position;
};
// Reads a client's record (its own dial number is not read); throws
// ServiceError for a record of another size or a storage without contacts.
SpeedDialTarget parse_speed_dial(const Bytes &record);

class SpeedDialStore {
public:
    static constexpr int kFirstDial = 1;
    static constexpr int kLastDial = 9;

    // Brings the table up to date and watches `contacts` for changes.
    SpeedDialStore(Database &db, ContactStore &contacts);
    SpeedDialStore(const SpeedDialStore &) = delete;
    SpeedDialStore &operator=(const SpeedDialStore &) = delete;

    std::optional<SpeedDial> get(int dial);
    // Points `dial` at the number at `position` of the contact at (storage,
    // index), replacing what it held; fails with kNoContact or
    // kNoPhoneNumber.
    void set(int dial, int storage, int index, int position);
    bool remove(int dial);
    void remove_all();
    int count();
    std::vector<SpeedDial> all(); // by dial number
    // How numbers are compared: a dial's number is in this form.
    const SearchKeys &keys() const { return keys_; }

private:
    // After a contact is stored: its dials whose number it no longer has go.
    void drop_missing_numbers(int storage, int index);
    // Announces the dials deleted so far in the running transaction.
    void announce_cleared();

    Database &db_;
    const SearchKeys &keys_;
};

} // namespace contact_engine
