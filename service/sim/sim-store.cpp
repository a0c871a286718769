#include "sim/sim-store.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <iostream>
#include <thread>

#include "contact-engine-sim-wire.h"
#include "contacts/contact-record.h"
#include "core/service-error.h"

namespace contact_engine {

namespace {

using namespace contact_signals; // Signal, the operation codes, SimAccess, FdnStatus

// Forward migrations of the SIM family; entry N brings its schema from
// version N to N + 1.  Never edit a released entry: add a new one.
constexpr std::array<const char *, 1> kMigrations{{
    R"(CREATE TABLE sim_state (
           key   TEXT PRIMARY KEY,
           value TEXT NOT NULL);)",
}};

constexpr const char *kActiveLineKey = "active_line";
constexpr const char *kLoadedIccidKey = "loaded_iccid";

constexpr int kPhoneTypeMobile = 2; // CONTACT_TYPE_MOBILE
constexpr std::size_t kPhoneEntrySize = contact_wire::kPhoneInfoSize;

// While this thread applies the card to the storages (the load), the
// contact-store hook has nothing to write back.
thread_local bool t_applying_card = false;

class ApplyingCard {
public:
    ApplyingCard() { t_applying_card = true; }
    ~ApplyingCard() { t_applying_card = false; }
    ApplyingCard(const ApplyingCard &) = delete;
    ApplyingCard &operator=(const ApplyingCard &) = delete;
};

Record record_of(const SimEntry &entry)
{
    Record record = Record::blank();
    record.set_text(text_field::display_name, entry.name);
    if (!entry.number.empty()) {
        Bytes phone(kPhoneEntrySize, 0);
        contact_wire::write_i32(phone.data(), 0, kPhoneTypeMobile);
        std::memcpy(phone.data() + kPhoneNumberOffset, entry.number.data(),
                    std::min(entry.number.size(), kPhoneNumberWidth - 1));
        contact_wire::write_i32(phone.data(), kPhoneIsPrimaryOffset, 1);
        record.replace_section(kPhoneSection, phone, 1);
    }
    return record;
}

// The text fields a card cannot hold: a contact with any of them set is too
// large for the card (they would be lost), and is refused.
constexpr std::array kFieldsNotOnCard{
    text_field::first_name, text_field::last_name,     text_field::middle_name, text_field::nickname,
    text_field::company,    text_field::job_title,     text_field::department,  text_field::birthday,
    text_field::website,    text_field::ringtone_path, text_field::photo_path,  text_field::message_tone_path,
};

} // namespace

// The card's form of a stored contact, or a refusal naming what does not fit.
SimEntry entry_of(const SimCard &card, int index, const Record &record)
{
    for (std::size_t section = 0; section < contact_wire::kSections.size(); ++section) {
        const int allowed = section == kPhoneSection ? 1 : 0;
        if (record.count(section) > allowed)
            fail(kSimEntryTooLarge, std::string("a SIM entry holds a name and one number; this contact has ") +
                                        std::to_string(record.count(section)) + " " +
                                        contact_wire::kSections[section].name);
    }
    if (record.get_int(contact_wire::offset::contact_id_data) != 0)
        fail(kSimEntryTooLarge, "a SIM entry holds a name and one number; this contact has contact_id_data");
    for (const TextField &field : kFieldsNotOnCard)
        if (!record.text(field).empty())
            fail(kSimEntryTooLarge, std::string("a SIM entry holds a name and one number; this contact has ") +
                                        field.name);
    SimEntry entry{index, record.text(text_field::display_name), {}};
    const std::vector<std::string> numbers = record.phone_numbers();
    if (!numbers.empty())
        entry.number = numbers.front();
    if (const std::string problem = name_problem(card, entry.name); !problem.empty())
        fail(kSimTooLong, problem);
    if (const std::string problem = number_problem(card, entry.number); !problem.empty())
        fail(dialable_length(entry.number) > card.number_max_length ? kSimTooLong : kInvalidArgument, problem);
    return entry;
}

namespace {

// 1 to 10 AAS records, exactly their bytes.
void check_aas_shape(const Bytes &records, int count)
{
    if (count < 1 || count > sim_wire::kAasRecordsMax)
        fail(kInvalidArgument, "an AAS update carries 1 to 10 records, not " + std::to_string(count));
    if (records.size() != std::size_t(count) * sim_wire::aas::kSize)
        fail(kMalformedRecord, std::to_string(count) + " AAS records are " +
                                   std::to_string(std::size_t(count) * sim_wire::aas::kSize) + " bytes, not " +
                                   std::to_string(records.size()));
}

void put_text(Bytes &record, std::size_t at, std::size_t width, const std::string &text)
{
    std::memcpy(record.data() + at, text.data(), std::min(text.size(), width - 1));
}

} // namespace

SimPhonebook::SimPhonebook(Database &database, ContactStore &contacts, Workers &workers, SimCard card,
                           std::string card_path, std::chrono::milliseconds load_delay)
    : database_(database), contacts_(contacts), workers_(workers), card_path_(std::move(card_path)),
      load_delay_(load_delay), card_(std::move(card))
{
    database_.migrate("sim", kMigrations);
    // The SIM storages mirror the card only once it is loaded: until then
    // they are empty, whatever an earlier run left in them.
    const ApplyingCard applying;
    database_.change([&] {
        for (int storage : {kSimAdnStorage, kSimFdnStorage, kSimSdnStorage})
            contacts_.remove_all(storage);
    });
}

SimPhonebook::~SimPhonebook()
{
    ++generation_;
}

// ---- state -------------------------------------------------------------------------

void SimPhonebook::require_card() const
{
    if (!card_.present)
        fail(kSimAbsent, "no SIM card is inserted");
    if (card_.pin_locked)
        fail(kSimLocked, "the SIM card waits for its PIN");
    if (!card_.enabled)
        fail(kSimDisabled, "the SIM card is disabled");
}

void SimPhonebook::require_loaded() const
{
    require_card();
    if (load_ == SimLoad::NotStarted)
        fail(kSimNotLoaded, "the SIM phonebook is not loaded: call contact_initialize_sim first");
    if (load_ == SimLoad::Loading)
        fail(kSimNotLoaded, "the SIM phonebook is still loading (" + std::to_string(percent_) + "%)");
}

bool SimPhonebook::present()
{
    const std::lock_guard lock(mutex_);
    return card_.present;
}

std::tuple<bool, std::int32_t, std::int32_t> SimPhonebook::initialized()
{
    const std::lock_guard lock(mutex_);
    std::int32_t code = kOk;
    if (!card_.present)
        code = kSimAbsent;
    else if (card_.pin_locked)
        code = kSimLocked;
    else if (!card_.enabled)
        code = kSimDisabled;
    return {load_ == SimLoad::Done, percent_, code};
}

bool SimPhonebook::enabled(int sim_param)
{
    if (sim_param != 0)
        fail(kInvalidArgument, "this phone has one SIM slot, 0; not " + std::to_string(sim_param));
    const std::lock_guard lock(mutex_);
    return card_.present && card_.enabled;
}

int SimPhonebook::card_format()
{
    const std::lock_guard lock(mutex_);
    if (!card_.present)
        fail(kSimAbsent, "no SIM card is inserted");
    return int(card_.format);
}

int SimPhonebook::iccid_check()
{
    std::string iccid;
    {
        const std::lock_guard lock(mutex_);
        if (!card_.present || card_.iccid.empty())
            return 2; // CONTACT_SIM_ICCID_NO_CARD
        // Loaded in this run: the card is the one loaded.  (The load reads
        // as done from inside its last transaction, before the ICCID it
        // stores there is committed for the reader below.)
        if (load_ == SimLoad::Done)
            return 0; // CONTACT_SIM_ICCID_SAME
        iccid = card_.iccid;
    }
    return state(kLoadedIccidKey, "") == iccid ? 0 /* CONTACT_SIM_ICCID_SAME */ : 1 /* CONTACT_SIM_ICCID_CHANGED */;
}

bool SimPhonebook::als_supported()
{
    const std::lock_guard lock(mutex_);
    if (!card_.present)
        fail(kSimAbsent, "no SIM card is inserted");
    return card_.als_supported;
}

void SimPhonebook::set_active_line(int line)
{
    if (line != 0 && line != 1)
        fail(kInvalidArgument, "the active line is 0 or 1, not " + std::to_string(line));
    {
        const std::lock_guard lock(mutex_);
        if (line == 1 && !(card_.present && card_.als_supported))
            fail(kInvalidArgument, "line 2 needs a card with ALS");
    }
    set_state(kActiveLineKey, std::to_string(line));
}

int SimPhonebook::active_line()
{
    return std::stoi(state(kActiveLineKey, "0"));
}

// ---- lifecycle ---------------------------------------------------------------------

void SimPhonebook::start_load()
{
    const std::lock_guard lock(mutex_);
    require_card();
    if (load_ == SimLoad::Loading)
        return;
    const bool reloading = load_ == SimLoad::Done;
    load_ = SimLoad::Loading;
    percent_ = 0;
    open_ = false;
    const std::uint64_t generation = ++generation_;
    workers_.run([this, generation, reloading] { load(generation, reloading); });
}

// On a worker: empties the SIM storages, then stores the card's entries one
// by one, each in its own transaction, pacing them as a card reader would.
// The entries are announced once, when the load completes (some contacts
// copied into each storage that received any, and the FDN book available),
// rather than one signal per entry; emptying storages that held contacts is
// a delete all, and makes a loaded FDN book unavailable.  A load that fails
// reports a SIM error: the storage and index it was at, read access, and
// the failure's code.
void SimPhonebook::load(std::uint64_t generation, bool reloading)
{
    const ApplyingCard applying;
    SimCard card;
    {
        const std::lock_guard lock(mutex_);
        card = card_;
    }
    const std::array<std::pair<int, const SimBook *>, 3> books{{
        {kSimAdnStorage, &card.adn}, {kSimFdnStorage, &card.fdn}, {kSimSdnStorage, &card.sdn}}};
    std::size_t total = 0;
    for (const auto &[storage, book] : books)
        total += book->entries.size();
    // A large card is paced faster, so that a load (and a shutdown waiting
    // for one) never takes long.
    const auto delay = total == 0 ? load_delay_
                                  : std::min(load_delay_, std::chrono::milliseconds(limits::sim::kLoadTimeMaxMs /
                                                                                    std::int64_t(total)));
    int at_storage = kSimAdnStorage;
    int at_index = kNoRow;
    const auto failed = [&](ErrorCode code, const std::string &reason) {
        std::cerr << "contact-engine-service: the SIM load failed: " << reason << std::endl;
        try {
            database_.report(Signal::SimError, {at_storage, at_index, kSimRead, code});
        } catch (const std::exception &error) {
            std::cerr << "contact-engine-service: the SIM error cannot be reported: " << error.what() << std::endl;
        }
        const std::lock_guard lock(mutex_);
        if (generation_ == generation) { // a newer load keeps its own state
            load_ = SimLoad::NotStarted;
            percent_ = 0;
        }
    };
    try {
        database_.change([&] {
            for (const auto &[storage, book] : books)
                if (contacts_.remove_all(storage) > 0)
                    database_.notify(Signal::ContactMainTable, {kDeleteAll, storage, kNoRow});
            if (reloading)
                database_.notify(Signal::FdnStatusChanged, {kFdnUnavailable});
        });
        std::size_t done = 0;
        for (const auto &[storage, book] : books) {
            for (const SimEntry &entry : book->entries) {
                std::this_thread::sleep_for(delay);
                if (generation_ != generation)
                    return;
                at_storage = storage;
                at_index = entry.index;
                Record record = record_of(entry);
                record.set_address(storage, entry.index);
                database_.change([&] { contacts_.store(storage, entry.index, record); });
                ++done;
                const std::lock_guard lock(mutex_);
                // 100 only once the load is marked done below.
                percent_ = std::min(99, int(done * 100 / total));
            }
        }
        at_index = kNoRow;
        database_.change([&] {
            // Complete unless a newer load started meanwhile (start_load()
            // counts generations under mutex_), and marked so before the
            // signals leave: a client they wake finds the load complete.
            const std::lock_guard lock(mutex_);
            if (generation_ != generation)
                return;
            set_state(kLoadedIccidKey, card.iccid);
            for (const auto &[storage, book] : books)
                if (!book->entries.empty())
                    database_.notify(Signal::CopySomeContacts, {storage});
            database_.notify(Signal::FdnStatusChanged, {kFdnAvailable});
            load_ = SimLoad::Done;
            percent_ = 100;
        });
    } catch (const ServiceError &error) {
        failed(error.code, error.reason);
    } catch (const SQLite::Exception &error) {
        failed(kDatabaseError, error.what());
    } catch (const std::exception &error) {
        failed(kInternalError, error.what());
    }
}

void SimPhonebook::open()
{
    const std::lock_guard lock(mutex_);
    require_loaded();
    open_ = true;
}

void SimPhonebook::close()
{
    const std::lock_guard lock(mutex_);
    require_card();
    open_ = false;
}

void SimPhonebook::check_adn_readable()
{
    const std::lock_guard lock(mutex_);
    require_loaded();
    if (!open_)
        fail(kSimNotOpen, "the SIM phonebook is not open: call contact_open_sim first");
}

// ---- records -----------------------------------------------------------------------

Bytes SimPhonebook::status_record()
{
    const int line = active_line();
    const std::lock_guard lock(mutex_);
    namespace at = sim_wire::status;
    Bytes record(at::kSize, 0);
    const auto put = [&](std::size_t offset, int value) { contact_wire::write_i32(record.data(), offset, value); };
    put(at::is_present, card_.present);
    if (!card_.present)
        return record;
    put(at::is_pin_locked, card_.pin_locked);
    put(at::is_enabled, card_.enabled);
    put(at::card_format, int(card_.format));
    put(at::is_als_supported, card_.als_supported);
    put(at::active_line, line);
    put(at::load_state, int(load_));
    put(at::load_percent, percent_);
    put(at::is_open, open_);
    put_text(record, at::iccid, sim_wire::kIccidSize, card_.iccid);
    put(at::adn_capacity, card_.adn.capacity);
    put(at::adn_used, int(card_.adn.entries.size()));
    put(at::fdn_capacity, card_.fdn.capacity);
    put(at::fdn_used, int(card_.fdn.entries.size()));
    put(at::sdn_capacity, card_.sdn.capacity);
    put(at::sdn_used, int(card_.sdn.entries.size()));
    put(at::name_max_length, card_.name_max_length);
    put(at::number_max_length, card_.number_max_length);
    put(at::aas_count, int(card_.aas.size()));
    return record;
}

Bytes SimPhonebook::used_status_record()
{
    const std::lock_guard lock(mutex_);
    require_card();
    namespace at = sim_wire::used;
    Bytes record(at::kSize, 0);
    const auto put = [&](std::size_t offset, int value) { contact_wire::write_i32(record.data(), offset, value); };
    put(at::adn_total, card_.adn.capacity);
    put(at::adn_used, int(card_.adn.entries.size()));
    put(at::fdn_total, card_.fdn.capacity);
    put(at::fdn_used, int(card_.fdn.entries.size()));
    put(at::sdn_total, card_.sdn.capacity);
    put(at::sdn_used, int(card_.sdn.entries.size()));
    put(at::aas_total, card_.aas_capacity);
    put(at::aas_used, int(card_.aas.size()));
    put(at::name_max_length, card_.name_max_length);
    put(at::number_max_length, card_.number_max_length);
    put(at::first_free_adn, card_.adn.first_free());
    return record;
}

std::pair<Bytes, std::int32_t> SimPhonebook::aas_records()
{
    const std::lock_guard lock(mutex_);
    require_card();
    Bytes records(card_.aas.size() * sim_wire::aas::kSize, 0);
    for (std::size_t i = 0; i < card_.aas.size(); ++i) {
        std::uint8_t *record = records.data() + i * sim_wire::aas::kSize;
        contact_wire::write_i32(record, sim_wire::aas::index, card_.aas[i].index);
        std::memcpy(record + sim_wire::aas::text, card_.aas[i].text.data(), card_.aas[i].text.size());
    }
    return {std::move(records), std::int32_t(card_.aas.size())};
}

void SimPhonebook::replace_aas(const Bytes &records, int count)
{
    check_aas_shape(records, count);
    const std::lock_guard lock(mutex_);
    require_loaded();
    if (count > card_.aas_capacity)
        fail(kSimFull, "the card holds " + std::to_string(card_.aas_capacity) + " AAS records");
    SimCard changed = card_;
    changed.aas = aas_records_of(records, count, card_.aas_capacity);
    write_back(changed);
}

std::vector<SimAas> aas_records_of(const Bytes &records, int count, int capacity)
{
    check_aas_shape(records, count);
    std::vector<SimAas> replaced;
    for (int i = 0; i < count; ++i) {
        const std::uint8_t *record = records.data() + std::size_t(i) * sim_wire::aas::kSize;
        const int index = contact_wire::read_i32(record, sim_wire::aas::index);
        const std::uint8_t *text = record + sim_wire::aas::text;
        const auto *end = std::find(text, text + sim_wire::kAasTextSize, 0);
        if (end == text + sim_wire::kAasTextSize || !valid_utf8(text, std::size_t(end - text)))
            fail(kInvalidUtf8, "AAS record " + std::to_string(i) + ": the text is not UTF-8 ending in a NUL within 24 bytes");
        if (index < 1 || index > capacity)
            fail(kIndexOutOfRange, "AAS record " + std::to_string(i) + ": index " + std::to_string(index) +
                                       " is outside 1.." + std::to_string(capacity));
        if (std::any_of(replaced.begin(), replaced.end(), [&](const SimAas &held) { return held.index == index; }))
            fail(kInvalidArgument, "AAS index " + std::to_string(index) + " is given twice");
        replaced.push_back({index, std::string(reinterpret_cast<const char *>(text), std::size_t(end - text))});
    }
    std::sort(replaced.begin(), replaced.end(), [](const SimAas &a, const SimAas &b) { return a.index < b.index; });
    return replaced;
}

// ---- the card under the contact storages ---------------------------------------------

SimBook *SimPhonebook::book_of(SimCard &card, int storage)
{
    switch (storage) {
    case kSimAdnStorage:
        return &card.adn;
    case kSimFdnStorage:
        return &card.fdn;
    case kSimSdnStorage:
        return &card.sdn;
    default:
        return nullptr;
    }
}

void SimPhonebook::contact_changed(int storage, int index, ContactChange change)
{
    if (t_applying_card || (storage != kSimAdnStorage && storage != kSimFdnStorage && storage != kSimSdnStorage))
        return;
    // Inside the writer's transaction: load() below reads its own write.
    std::optional<Record> stored;
    if (change == ContactChange::Stored)
        stored = contacts_.load(storage, index);
    const std::lock_guard lock(mutex_);
    require_loaded();
    if (!open_)
        fail(kSimNotOpen, "the SIM phonebook is not open: call contact_open_sim first");
    if (storage == kSimSdnStorage)
        fail(kSimReadOnly, "service dialling numbers are set by the operator and cannot be changed");
    SimCard changed = card_;
    SimBook &book = *book_of(changed, storage);
    switch (change) {
    case ContactChange::Stored:
        if (index > book.capacity)
            fail(kSimFull, "the card holds " + std::to_string(book.capacity) + " entries here; index " +
                               std::to_string(index) + " is beyond them");
        if (!stored)
            fail(kInternalError, "the stored contact cannot be read back");
        book.put(entry_of(changed, index, *stored));
        break;
    case ContactChange::Removed:
        book.erase(index);
        break;
    case ContactChange::RemovedAll:
        book.entries.clear();
        break;
    }
    try {
        write_back(changed);
    } catch (const ServiceError &error) {
        // The caller hears the code; every other client hears that the card
        // refused a write.  The report outlives the rollback that follows.
        database_.report(Signal::SimError, {storage, index, kSimWrite, error.code});
        throw;
    }
}

// Called with mutex_ held: the card file first, then the card in memory, so a
// refused write changes neither.
void SimPhonebook::write_back(const SimCard &changed)
{
    if (!card_path_.empty()) {
        try {
            write_card_file(card_path_, changed);
        } catch (const CardFileError &error) {
            fail(kSimCardWriteFailed, error.what());
        }
    }
    card_ = changed;
}

// ---- the family's own state ------------------------------------------------------------

std::string SimPhonebook::state(const std::string &key, const std::string &fallback)
{
    return database_.read([&] {
        SQLite::Statement query(database_.sql(), "SELECT value FROM sim_state WHERE key = ?");
        query.bind(1, key);
        return query.executeStep() ? query.getColumn(0).getString() : fallback;
    });
}

void SimPhonebook::set_state(const std::string &key, const std::string &value)
{
    database_.change([&] {
        SQLite::Statement upsert(database_.sql(), "INSERT OR REPLACE INTO sim_state (key, value) VALUES (?, ?)");
        upsert.bind(1, key);
        upsert.bind(2, value);
        upsert.exec();
    });
}

} // namespace contact_engine
