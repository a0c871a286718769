// Speed dials: seven methods on the speed-dial table.  Each ends its reply
// with a result code: 0, or for contact_get_empty_speed_dial_index on a
// full table kSpeedDialFull.  A record is 16 bytes by the offsets of
// contact-engine-speed-dial-wire.h: the dial number, the contact's storage
// and index, and the position of the number in the contact's phone list.
#include <unicode/unistr.h>

#include <cstdint>
#include <string>
#include <tuple>

#include "contact-engine-speed-dial-wire.h"
#include "contact-engine-wire.h"
#include "contacts/contact-record.h"
#include "core/method-registry.h"
#include "speed-dials/speed-dial-store.h"

namespace contact_engine {

namespace {

namespace wire = speed_dial_wire;
using contact_wire::read_i32;
using contact_wire::write_i32;

// What search_param1 matches the query against.
enum SearchField : std::int32_t { kSearchAny = 0, kSearchName = 1, kSearchNumber = 2 };
// search_param2: every storage, or the storage number.
constexpr std::int32_t kAllStorages = -1;

int check_dial(std::int32_t dial)
{
    if (dial < SpeedDialStore::kFirstDial || dial > SpeedDialStore::kLastDial)
        fail(kSpeedDialOutOfRange, "dial " + std::to_string(dial) + " is outside " +
                                       std::to_string(SpeedDialStore::kFirstDial) + ".." +
                                       std::to_string(SpeedDialStore::kLastDial));
    return dial;
}

// The contact tables a dial can point into: the phone's (0, also named 6)
// and the two SIM phonebooks.  FDN, SDN and my contact hold no dials.
int contact_table(std::int32_t storage)
{
    switch (storage) {
    case 0:
    case 6:
        return 0;
    case 1:
    case 2:
        return storage;
    default:
        fail(kUnknownStorage, "storage " + std::to_string(storage) + " holds no contacts to dial");
    }
}

void append(Bytes &bytes, const SpeedDial &dial)
{
    const std::size_t at = bytes.size();
    bytes.resize(at + wire::kSize);
    std::uint8_t *record = bytes.data() + at;
    write_i32(record, wire::offset::index, dial.dial);
    write_i32(record, wire::offset::storage_type, dial.storage);
    write_i32(record, wire::offset::contact_index, dial.index);
    write_i32(record, wire::offset::phone_position, dial.position);
}

icu::UnicodeString folded(const std::string &text)
{
    return icu::UnicodeString::fromUTF8(text).foldCase();
}

} // namespace

SpeedDialTarget parse_speed_dial(const Bytes &record)
{
    if (record.size() != wire::kSize)
        fail(kMalformedRecord, "a speed dial is " + std::to_string(wire::kSize) + " bytes, not " +
                                   std::to_string(record.size()));
    return {contact_table(read_i32(record.data(), wire::offset::storage_type)),
            read_i32(record.data(), wire::offset::contact_index), read_i32(record.data(), wire::offset::phone_position)};
}

namespace {

// ---- the methods ---------------------------------------------------------------

Reply get_speed_dial(SpeedDialStore &store, std::int32_t index)
{
    const std::optional<SpeedDial> dial = store.get(check_dial(index));
    if (!dial)
        fail(kNoSpeedDial, "no speed dial at " + std::to_string(index));
    Bytes record;
    append(record, *dial);
    return {record, kOk};
}

// The slot is `index`; the record's own index field is not read.
std::int32_t set_speed_dial(SpeedDialStore &store, std::int32_t index, Bytes record)
{
    check_dial(index);
    const SpeedDialTarget target = parse_speed_dial(record);
    store.set(index, target.storage, target.index, target.position);
    return kOk;
}

std::int32_t delete_speed_dial(SpeedDialStore &store, std::int32_t index)
{
    if (!store.remove(check_dial(index)))
        fail(kNoSpeedDial, "no speed dial at " + std::to_string(index));
    return kOk;
}

Answer get_speed_dial_count(SpeedDialStore &store)
{
    return {store.count(), kOk};
}

// The lowest free dial; a full table answers -1 with kSpeedDialFull.
Answer get_empty_speed_dial_index(SpeedDialStore &store)
{
    int expected = SpeedDialStore::kFirstDial;
    for (const SpeedDial &dial : store.all()) {
        if (dial.dial != expected)
            break;
        ++expected;
    }
    if (expected > SpeedDialStore::kLastDial)
        return {-1, kSpeedDialFull};
    return {expected, kOk};
}

std::int32_t delete_all_speed_dials(SpeedDialStore &store)
{
    store.remove_all();
    return kOk;
}

// A number's digits alone: part of a number ("2222") is found in a dial's
// number by its digits, a whole number in any format by its search key.
std::string digits_of(const std::string &number)
{
    std::string digits;
    for (char c : number)
        if (c >= '0' && c <= '9')
            digits += c;
    return digits;
}

// The dials whose contact's display name (case-folded) or number (in the
// form numbers are searched by, or by its digits) holds `query`, in dial order; "" matches every dial.
std::tuple<Bytes, std::int32_t, std::int32_t> search_speed_dials(SpeedDialStore &store, std::string query,
                                                                 std::int32_t search_param1, std::int32_t search_param2)
{
    if (search_param1 != kSearchAny && search_param1 != kSearchName && search_param1 != kSearchNumber)
        fail(kInvalidArgument, "search_param1 " + std::to_string(search_param1) + " is not 0 (any), 1 (name) or 2 "
                                                                                    "(number)");
    const int table = search_param2 == kAllStorages ? kAllStorages : contact_table(search_param2);
    const icu::UnicodeString name_query = folded(query);
    const std::string number_query = store.keys().number_key(query);
    const std::string digit_query = digits_of(query);

    Bytes records;
    std::int32_t count = 0;
    for (const SpeedDial &dial : store.all()) {
        if (table != kAllStorages && dial.storage != table)
            continue;
        const bool name = search_param1 != kSearchNumber && folded(dial.display_name).indexOf(name_query) >= 0;
        const bool number = search_param1 != kSearchName &&
                            (query.empty() || (!digit_query.empty() &&
                                               (dial.number.find(number_query) != std::string::npos ||
                                                digits_of(dial.number).find(digit_query) != std::string::npos)));
        if (name || number) {
            append(records, dial);
            ++count;
        }
    }
    return {records, count, kOk};
}

} // namespace

RegisterFamily register_speed_dial_methods;
void register_speed_dial_methods(MethodRegistry &registry, Database &database, const ServiceOptions &options)
{
    ContactStore &contacts = contact_store(registry, database, options);
    SpeedDialStore &store = registry.own<SpeedDialStore>(database, contacts);
    registry
        .add("contact_get_speed_dial", get_speed_dial, store, In{"index"}, Out{"speed_dial", "error_code"})
        .add("contact_set_speed_dial", set_speed_dial, store, In{"index", "speed_dial"}, Out{"error_code"})
        .add("contact_delete_speed_dial", delete_speed_dial, store, In{"index"}, Out{"error_code"})
        .add("contact_get_speed_dial_count", get_speed_dial_count, store, In{}, Out{"speed_dial_count", "error_code"})
        .add("contact_get_empty_speed_dial_index", get_empty_speed_dial_index, store, In{},
             Out{"empty_index", "error_code"})
        .add("contact_delete_all_speed_dials", delete_all_speed_dials, store, In{}, Out{"error_code"})
        .add("contact_search_speed_dials", search_speed_dials, store, In{"query", "search_param1", "search_param2"},
             Out{"speed_dial_array", "speed_dial_count", "error_code"});
}

} // namespace contact_engine
