// Contacts, the user's own contact and the contact status queries.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <tuple>

#include "contacts/contact-store.h"
#include "contacts/default-contacts.h"
#include "core/method-registry.h"
#include "contacts/search-keys.h"
#include "core/service-options.h"

namespace contact_engine {

namespace {

using contact_wire::offset::frequency;
using contact_wire::offset::is_favourite;
using namespace contact_signals;

// Changes announce themselves (notifications.h): rows added, replaced or
// deleted as the contact main table; fields changed in place (a field, the
// frequency, an expired media path) as the contact table; the user's own
// contact, index 0, as the my-contact table.  Storage 6 is announced as 0.

// ---- storages ----------------------------------------------------------------

struct Storage {
    int type;     // the number clients use
    int table;    // the rows it names (6 is another name for the phone's)
    int capacity; // indexes run 1 .. capacity
};

// The phone's capacity is --phone-capacity: set once at registration,
// before the first call.
std::array<Storage, 6> kStorages{{
    {0, 0, limits::kDefaultPhoneCapacity}, // phone memory
    {1, 1, 250},                           // SIM phonebook
    {2, 2, 250},                           // second SIM phonebook
    {3, 3, 20},                            // fixed dialling numbers
    {4, 4, 20},                            // service dialling numbers
    {6, 0, limits::kDefaultPhoneCapacity}, // phone memory, by its other number
}};
constexpr int kMyContactStorage = 5;
constexpr int kMyContactAlias = 7;
constexpr int kFdnStorage = 3;

Storage storage_of(int type)
{
    if (type == kMyContactStorage || type == kMyContactAlias)
        fail(kWrongStorageKind, "storage " + std::to_string(type) + " holds my contact, not a contact table");
    for (const Storage &storage : kStorages)
        if (storage.type == type)
            return storage;
    fail(kUnknownStorage, "no storage " + std::to_string(type));
}

struct Address {
    Storage storage;
    int index;
    std::string name() const
    {
        return "index " + std::to_string(index) + " of storage " + std::to_string(storage.type);
    }
};

Address address_of(int type, int index)
{
    const Storage storage = storage_of(type);
    if (index < 1 || index > storage.capacity)
        fail(kIndexOutOfRange, "index " + std::to_string(index) + " is outside 1.." + std::to_string(storage.capacity));
    return {storage, index};
}

Record existing(ContactStore &db, const Address &at)
{
    std::optional<Record> record = db.load(at.storage.table, at.index);
    if (!record)
        fail(kNoContact, "no contact at " + at.name());
    return std::move(*record);
}

void store(ContactStore &db, const Address &at, Record &record)
{
    record.set_address(at.storage.table, at.index);
    db.store(at.storage.table, at.index, record);
}

int lowest_free_index(ContactStore &db, const Storage &storage)
{
    return db.lowest_free_index(storage.table, storage.capacity);
}

// ---- fields ------------------------------------------------------------------

enum class FieldKind { Text, Birthday, Favourite, Frequency, Note, FirstNumber };

struct FieldSpec {
    int id;
    FieldKind kind;
    TextField text; // for Text and Birthday
};

constexpr TextField kNoText{"", 0, 0};
constexpr std::array<FieldSpec, 16> kFieldSpecs{{
    {0, FieldKind::Text, text_field::display_name},
    {1, FieldKind::Text, text_field::first_name},
    {2, FieldKind::Text, text_field::last_name},
    {3, FieldKind::Text, text_field::middle_name},
    {4, FieldKind::Text, text_field::nickname},
    {5, FieldKind::Text, text_field::company},
    {6, FieldKind::Text, text_field::job_title},
    {7, FieldKind::Text, text_field::department},
    {8, FieldKind::Birthday, text_field::birthday},
    {9, FieldKind::Text, text_field::ringtone_path},
    {10, FieldKind::Text, text_field::photo_path},
    {11, FieldKind::Text, text_field::website},
    {12, FieldKind::Favourite, kNoText},
    {13, FieldKind::Frequency, kNoText},
    {14, FieldKind::Note, kNoText},
    {15, FieldKind::FirstNumber, kNoText},
}};

const FieldSpec &field_spec(int id)
{
    for (const FieldSpec &spec : kFieldSpecs)
        if (spec.id == id)
            return spec;
    fail(kUnknownField, "no field " + std::to_string(id));
}

std::string read_field(const Record &record, const FieldSpec &spec)
{
    switch (spec.kind) {
    case FieldKind::Text:
    case FieldKind::Birthday:
        return record.text(spec.text);
    case FieldKind::Favourite:
        return record.get_int(is_favourite) != 0 ? "1" : "0";
    case FieldKind::Frequency:
        return std::to_string(record.get_int(frequency));
    case FieldKind::Note:
        return record.note();
    case FieldKind::FirstNumber: {
        const auto numbers = record.phone_numbers();
        return numbers.empty() ? std::string() : numbers.front();
    }
    }
    return {};
}

void write_field(Record &record, const FieldSpec &spec, const std::string &value)
{
    switch (spec.kind) {
    case FieldKind::Birthday:
        if (!valid_birthday(value))
            fail(kInvalidArgument, "a birthday is \"\" or a date as YYYY-MM-DD, not \"" + value + "\"");
        [[fallthrough]];
    case FieldKind::Text:
        record.set_text(spec.text, value);
        break;
    case FieldKind::Favourite:
        if (value != "0" && value != "1")
            fail(kInvalidArgument, "favourite is \"0\" or \"1\"");
        record.set_int(is_favourite, value == "1" ? 1 : 0);
        break;
    case FieldKind::Note:
        record.set_note(value);
        break;
    case FieldKind::Frequency:
    case FieldKind::FirstNumber:
        fail(kReadOnlyField, "field " + std::to_string(spec.id) + " is kept by the service");
    }
}

void change_frequency(ContactStore &db, int storage, int index, int step)
{
    const Address at = address_of(storage, index);
    db.database().change([&] {
        Record record = existing(db, at);
        record.set_int(frequency, std::max(0, record.get_int(frequency) + step));
        store(db, at, record);
        db.database().notify(Signal::ContactTable, {kUpdate, at.storage.table, at.index});
    });
}

// ---- my contact and the status queries --------------------------------------

constexpr const char *kTrackMe = "track_me";
constexpr int kMyContactIndex = 0; // the index its record carries

Record my_contact(ContactStore &db)
{
    std::optional<Record> record = db.load_my_contact();
    if (!record)
        fail(kNoMyContact, "no contact of the user's own is stored");
    return std::move(*record);
}

Record my_contact_from(Bytes bytes)
{
    Record record = Record::parse(std::move(bytes));
    record.set_address(kMyContactStorage, 0);
    return record;
}

// The media fields that a DRM licence can expire, by kind.
constexpr std::array<TextField, 3> kDrmFields{{text_field::ringtone_path, text_field::photo_path,
                                               text_field::message_tone_path}};

bool clear_path(Record &record, const TextField &field, const std::string &path)
{
    if (path.empty() || record.text(field) != path)
        return false;
    record.set_text(field, "");
    return true;
}

bool has_im_account(const Record &record, int type, int status)
{
    const Bytes accounts = record.section(kImSection);
    for (std::size_t at = 0; at < accounts.size(); at += contact_wire::kImSize)
        if (contact_wire::read_i32(accounts.data(), at + kImTypeOffset) == type &&
            (status == -1 || contact_wire::read_i32(accounts.data(), at + kImStatusOffset) == status))
            return true;
    return false;
}


// ---- contact operations ------------------------------------------------------

Answer add_contact(ContactStore &db, std::int32_t storage_type, Bytes record_bytes)
{
    const Storage where = storage_of(storage_type);
    Record record = Record::parse(std::move(record_bytes));
    return db.database().change([&] {
        const int index = lowest_free_index(db, where);
        if (index < 0)
            fail(kStorageFull, "storage " + std::to_string(storage_type) + " is full");
        store(db, {where, index}, record);
        db.database().notify(Signal::ContactMainTable, {kAdd, where.table, index});
        return Answer{index, kOk};
    });
}

std::int32_t insert_contact(ContactStore &db, std::int32_t storage_type, std::int32_t index, Bytes record_bytes)
{
    const Address at = address_of(storage_type, index);
    Record record = Record::parse(std::move(record_bytes));
    db.database().change([&] {
        if (db.load(at.storage.table, index))
            fail(kIndexInUse, at.name() + " already holds a contact");
        store(db, at, record);
        db.database().notify(Signal::ContactMainTable, {kAdd, at.storage.table, index});
    });
    return kOk;
}

std::int32_t update_contact(ContactStore &db, std::int32_t storage_type, std::int32_t index, Bytes record_bytes)
{
    const Address at = address_of(storage_type, index);
    Record record = Record::parse(std::move(record_bytes));
    db.database().change([&] {
        existing(db, at);
        store(db, at, record);
        db.database().notify(Signal::ContactMainTable, {kUpdate, at.storage.table, index});
    });
    return kOk;
}

Reply get_contact(ContactStore &db, std::int32_t storage_type, std::int32_t index)
{
    return {existing(db, address_of(storage_type, index)).bytes(), kOk};
}

std::int32_t delete_contact(ContactStore &db, std::int32_t storage_type, std::int32_t index)
{
    const Address at = address_of(storage_type, index);
    db.database().change([&] {
        if (!db.remove(at.storage.table, index))
            fail(kNoContact, "no contact at " + at.name());
        db.database().notify(Signal::ContactMainTable, {kDelete, at.storage.table, index});
    });
    return kOk;
}

std::int32_t delete_all_contacts(ContactStore &db, std::int32_t storage_type)
{
    const int table = storage_of(storage_type).table;
    db.database().change([&] {
        if (db.remove_all(table) > 0)
            db.database().notify(Signal::ContactMainTable, {kDeleteAll, table, kNoRow});
    });
    return kOk;
}

std::tuple<bool, std::int32_t> is_contact_exist(ContactStore &db, std::int32_t storage_type, std::int32_t index)
{
    const Address at = address_of(storage_type, index);
    return {db.load(at.storage.table, index).has_value(), kOk};
}

Answer get_contact_count(ContactStore &db, std::int32_t storage_type)
{
    return {db.count(storage_of(storage_type).table), kOk};
}

Answer get_max_contact_count(std::int32_t storage_type)
{
    return {storage_of(storage_type).capacity, kOk};
}

Answer get_empty_contact_index(ContactStore &db, std::int32_t storage_type)
{
    const int index = lowest_free_index(db, storage_of(storage_type));
    return {index, index < 0 ? kStorageFull : kOk};
}

// The indices as 32-bit little-endian numbers; the result is their count.
Reply get_all_contact_indices(ContactStore &db, std::int32_t storage_type)
{
    const std::vector<int> indices = db.indices(storage_of(storage_type).table);
    Bytes packed(indices.size() * 4);
    for (std::size_t i = 0; i < indices.size(); ++i)
        contact_wire::write_i32(packed.data(), i * 4, indices[i]);
    return {packed, std::int32_t(indices.size())};
}

std::string get_field_value(ContactStore &db, std::int32_t storage_type, std::int32_t index, std::int32_t field_id)
{
    const Address at = address_of(storage_type, index);
    const FieldSpec &spec = field_spec(field_id);
    return read_field(existing(db, at), spec);
}

void change_field_value(ContactStore &db, std::int32_t storage_type, std::int32_t index, std::int32_t field_id,
                        std::string value)
{
    const Address at = address_of(storage_type, index);
    const FieldSpec &spec = field_spec(field_id);
    db.database().change([&] {
        Record record = existing(db, at);
        write_field(record, spec, value);
        store(db, at, record);
        db.database().notify(Signal::ContactTable, {kUpdate, at.storage.table, index});
    });
}

void increase_frequency(ContactStore &db, std::int32_t storage_type, std::int32_t index)
{
    change_frequency(db, storage_type, index, +1);
}

void decrease_frequency(ContactStore &db, std::int32_t storage_type, std::int32_t index)
{
    change_frequency(db, storage_type, index, -1);
}

// True when a fixed dialling number is a prefix of the dialled one, both in
// their international form ("020 7946 0018" is allowed by "+44 20 7946").
bool is_fdn_phone_number_exist(ContactStore &db, std::string number)
{
    const std::string wanted = db.keys().number_key(number);
    if (wanted.empty())
        fail(kInvalidArgument, "an empty number is never dialled");
    for (const std::string &entry : db.normalised_numbers(kFdnStorage))
        if (!entry.empty() && wanted.compare(0, entry.size(), entry) == 0)
            return true;
    return false;
}

// ---- my contact and the status queries --------------------------------------

Reply get_my_contact(ContactStore &db)
{
    return {my_contact(db).bytes(), kOk};
}

std::int32_t insert_my_contact(ContactStore &db, Bytes record_bytes)
{
    Record record = my_contact_from(std::move(record_bytes));
    db.database().change([&] {
        if (db.load_my_contact())
            fail(kMyContactExists, "a contact of the user's own is already stored");
        db.store_my_contact(record);
        db.database().notify(Signal::MyContactTable, {kAdd, kMyContactIndex});
    });
    return kOk;
}

std::int32_t update_my_contact(ContactStore &db, Bytes record_bytes)
{
    Record record = my_contact_from(std::move(record_bytes));
    db.database().change([&] {
        my_contact(db);
        db.store_my_contact(record);
        db.database().notify(Signal::MyContactTable, {kUpdate, kMyContactIndex});
    });
    return kOk;
}

std::int32_t delete_my_contact(ContactStore &db)
{
    db.database().change([&] {
        if (!db.remove_my_contact())
            fail(kNoMyContact, "no contact of the user's own is stored");
        db.set_state(kTrackMe, 0);
        db.database().notify(Signal::MyContactTable, {kDelete, kMyContactIndex});
    });
    return kOk;
}

std::int32_t set_lbs_position(ContactStore &db)
{
    return db.database().change([&]() -> std::int32_t {
        if (!db.load_my_contact())
            return kNoMyContact;
        db.set_state(kTrackMe, 1);
        return kOk;
    });
}

std::int32_t is_contact_track_me_init(ContactStore &db)
{
    return db.state(kTrackMe, 0) == 1 ? 1 : 0;
}

std::int32_t is_contact_track_me_stop(ContactStore &db)
{
    return db.state(kTrackMe, 0) == 1 ? 0 : 1;
}

std::int32_t is_contact_me_im_account_setting(ContactStore &db, std::int32_t type, std::int32_t status)
{
    const std::optional<Record> me = db.load_my_contact();
    if (!me)
        return kNoMyContact;
    return has_im_account(*me, type, status) ? 1 : 0;
}

// Clears the expired media path from every contact and my contact; the
// answer is how many records changed.
std::int32_t drm_expired(ContactStore &db, std::int32_t kind, std::string path)
{
    if (kind < 0 || std::size_t(kind) >= kDrmFields.size())
        fail(kInvalidArgument, "DRM kind " + std::to_string(kind) + " is not 0 (ringtone), 1 (photo) "
                               "or 2 (message tone)");
    const TextField &field = kDrmFields[std::size_t(kind)];
    return db.database().change([&] {
        std::vector<std::tuple<int, int, Record>> changed;
        db.for_each([&](int storage, int index, Record &record) {
            if (clear_path(record, field, path))
                changed.emplace_back(storage, index, std::move(record));
        });
        for (auto &[storage, index, record] : changed) {
            db.store(storage, index, record);
            db.database().notify(Signal::ContactTable, {kUpdate, storage, index});
        }
        std::int32_t count = std::int32_t(changed.size());
        if (std::optional<Record> me = db.load_my_contact(); me && clear_path(*me, field, path)) {
            db.store_my_contact(*me);
            db.database().notify(Signal::MyContactTable, {kUpdate, kMyContactIndex});
            ++count;
        }
        return count;
    });
}

} // namespace

ContactStorage contact_storage(int storage_type)
{
    const Storage storage = storage_of(storage_type);
    return {storage.type, storage.table, storage.capacity};
}

RegisterFamily register_contact_methods;
void register_contact_methods(MethodRegistry &registry, Database &database, const ServiceOptions &options)
{
    for (Storage &storage : kStorages)
        if (storage.table == 0)
            storage.capacity = options.phone_capacity;
    ContactStore &db = contact_store(registry, database, options);
    db.remake_keys_on(registry.workers(), std::chrono::milliseconds(options.key_rebuild_pause_ms));
    for (const Storage &storage : kStorages)
        db.track_free_indices(storage.table, storage.capacity);
    if (options.seed_defaults)
        seed_default_contacts(db);
    registry
        .add("contact_add_contact", add_contact, db, In{"storage_type", "contact_record"}, Out{"index", "error_code"})
        .add("contact_insert_contact", insert_contact, db, In{"storage_type", "index", "contact_record"}, Out{"error_code"})
        .add("contact_update_contact", update_contact, db, In{"storage_type", "index", "contact_record"}, Out{"error_code"})
        .add("contact_get_contact", get_contact, db, In{"storage_type", "index"}, Out{"contact_record", "error_code"})
        .add("contact_delete_contact", delete_contact, db, In{"storage_type", "index"}, Out{"error_code"})
        .add_long("contact_delete_all_contacts", delete_all_contacts, db, In{"storage_type"}, Out{"error_code"})
        .add("contact_is_contact_exist", is_contact_exist, db, In{"storage_type", "index"}, Out{"is_exist", "error_code"})
        .add("contact_get_contact_count", get_contact_count, db, In{"storage_type"}, Out{"record_count", "error_code"})
        .add("contact_get_max_contact_count", get_max_contact_count, In{"storage_type"}, Out{"max_record_count", "error_code"})
        .add("contact_get_empty_contact_index", get_empty_contact_index, db, In{"storage_type"},
             Out{"empty_index", "error_code"})
        .add_long("contact_get_all_contact_indices", get_all_contact_indices, db, In{"storage_type"},
             Out{"contact_index_array", "contact_count"})
        .add("contact_get_field_value", get_field_value, db, In{"storage_type", "index", "field_id"}, Out{"field_value"})
        .add("contact_change_field_value", change_field_value, db, In{"storage_type", "index", "field_id", "field_value"},
             Out{})
        .add("contact_increase_frequency", increase_frequency, db, In{"storage_type", "index"}, Out{})
        .add("contact_decrease_frequency", decrease_frequency, db, In{"storage_type", "index"}, Out{})
        .add("contact_is_fdn_phone_number_exist", is_fdn_phone_number_exist, db, In{"sznumber"},
             Out{"is_exist"})
        .add("contact_get_my_contact", get_my_contact, db, In{}, Out{"my_contact", "error_code"})
        .add("contact_insert_my_contact", insert_my_contact, db, In{"my_contact"}, Out{"error_code"})
        .add("contact_update_my_contact", update_my_contact, db, In{"my_contact"}, Out{"error_code"})
        .add("contact_delete_my_contact", delete_my_contact, db, In{}, Out{"error_code"})
        .add("contact_set_lbs_position", set_lbs_position, db, In{}, Out{"error_code"})
        .add("contact_is_contact_track_me_init", is_contact_track_me_init, db, In{}, Out{"error_code"})
        .add("contact_is_contact_track_me_stop", is_contact_track_me_stop, db, In{}, Out{"error_code"})
        .add("contact_is_contact_me_im_account_setting", is_contact_me_im_account_setting, db,
             In{"im_type", "im_status"}, Out{"error_code"})
        .add_long("contact_drm_expired", drm_expired, db, In{"drm_type", "path"}, Out{"error_code"});
}

} // namespace contact_engine
