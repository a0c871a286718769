// The SIM phonebook as the service keeps it: the simulated card, the state of
// its phonebook (loaded or not, open or not), the load that copies the
// card's ADN, FDN and SDN entries into the contact storages 1, 3 and 4 on a
// worker, and the write-back of every change to those storages onto the card.
//
// Threads: the bus thread answers from the state under mutex_; the load runs
// on a worker and takes mutex_ only between entries, never while it writes
// the database.  The contact-store hook runs inside the writer's transaction
// and takes mutex_ there, so nothing here may call the database while holding
// mutex_ outside a hook (the lock order is database, then mutex_).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>

#include "core/bytes.h"
#include "contacts/contact-record.h"
#include "contacts/contact-store.h"
#include "sim/sim-card.h"
#include "core/workers.h"

namespace contact_engine {

enum class SimLoad { NotStarted = 0, Loading = 1, Done = 2 };

// The contact storages the card's books are loaded into.
inline constexpr int kSimAdnStorage = 1;
inline constexpr int kSimFdnStorage = 3;
inline constexpr int kSimSdnStorage = 4;

// The card's entry for a contact stored at `index` of a SIM storage: its
// display name and first number; throws ServiceError for what the card
// cannot hold (more than a name and one number, or too long for `card`).
SimEntry entry_of(const SimCard &card, int index, const Record &record);
// A client's AAS records: `count` (1 to 10) records of sim_wire::aas::kSize
// bytes, each index in 1..capacity once, each text UTF-8 ending in a NUL
// within its field; sorted by index.  Throws ServiceError.
std::vector<SimAas> aas_records_of(const Bytes &records, int count, int capacity);

class SimPhonebook {
public:
    // `card_path` is the card file changes are written back to; empty for the
    // embedded default card, whose changes live as long as the service.
    SimPhonebook(Database &database, ContactStore &contacts, Workers &workers, SimCard card, std::string card_path,
                 std::chrono::milliseconds load_delay);
    ~SimPhonebook();
    SimPhonebook(const SimPhonebook &) = delete;
    SimPhonebook &operator=(const SimPhonebook &) = delete;

    bool present();
    // (loaded, percent, result code: 0, or why the card cannot load)
    std::tuple<bool, std::int32_t, std::int32_t> initialized();
    bool enabled(int sim_param);
    int card_format();
    int iccid_check();
    bool als_supported();
    void set_active_line(int line);
    int active_line();

    // Starts the load on a worker and returns at once; a load under way is
    // left to finish, a finished one is started again from the card.
    void start_load();
    void open();
    void close();
    void check_adn_readable();

    Bytes status_record();
    Bytes used_status_record();
    std::pair<Bytes, std::int32_t> aas_records();
    void replace_aas(const Bytes &records, int count);

    // The contact store's hook: refuses a change the card cannot take (by
    // throwing, which rolls the transaction back) and writes the others
    // back to the card.
    void contact_changed(int storage, int index, ContactChange change);

private:
    void load(std::uint64_t generation, bool reloading);
    void require_card() const; // present, unlocked, enabled
    void require_loaded() const;
    void write_back(const SimCard &changed);
    SimBook *book_of(SimCard &card, int storage);
    std::string state(const std::string &key, const std::string &fallback);
    void set_state(const std::string &key, const std::string &value);

    Database &database_;
    ContactStore &contacts_;
    Workers &workers_;
    const std::string card_path_;
    const std::chrono::milliseconds load_delay_;

    std::mutex mutex_;
    SimCard card_;
    SimLoad load_ = SimLoad::NotStarted;
    int percent_ = 0;
    bool open_ = false;
    std::atomic<std::uint64_t> generation_{0}; // a new load or the end of the service stops an older one
};

} // namespace contact_engine
