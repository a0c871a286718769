// The phonebook's settings: sixteen getters and setters.  Every int setting
// is one row of kIntSettings (its name in the table, its default and the
// values it takes); a value outside them is refused with
// kInvalidSettingValue and nothing is stored.  The own number is a name and
// a number, checked so that a reader's 65- and 41-byte buffers always hold
// it whole.  The numbers match the CONTACT_* constants of contact-engine.h.
// A setting that a notification converter reads (storage preference, view
// storage, sort type, display order, activated MSISDN) announces each new
// value with its signal; the others, and the own number, have no signal.
#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <tuple>

#include "core/method-registry.h"
#include "settings/settings-store.h"

namespace contact_engine {

namespace {

struct IntSetting {
    const char *name; // its row in the settings table
    int fallback;     // its value until it is first set
    std::span<const int> valid;
    std::optional<Signal> announced_by; // the signal carrying a new value, if a converter reads one
};

// Sync status: 0 off, 1 on and idle, 2 running.
constexpr std::array kSyncStatuses{0, 1, 2};
// Storages a phonebook lists: phone 0, SIM 1, SIM2 2, or all three (8).
constexpr std::array kViewStorages{0, 1, 2, 8};
// Storages new contacts go to: phone 0, SIM 1, SIM2 2.
constexpr std::array kStorages{0, 1, 2};
// Which of the card's own numbers is in use: positions 0 to 3.
constexpr std::array kMsisdnIndexes{0, 1, 2, 3};
// A new card's contacts: 0 stay on the card, 1 are copied into the phone.
constexpr std::array kCopyFlags{0, 1};
// Contact list order: 0 by first name, 1 by last name.
constexpr std::array kSortTypes{0, 1};
// Names shown 0 "first last", 1 "last, first".
constexpr std::array kDisplayOrders{0, 1};

// clang-format off
constexpr IntSetting kSyncStatus{"contact_module_sync_status", 0, kSyncStatuses, std::nullopt};
constexpr IntSetting kViewStoragePreference{"view_storage_preference", 8, kViewStorages, Signal::ViewStorageType};
constexpr IntSetting kStoragePreference{"storage_preference", 0, kStorages, Signal::NewStorageType};
constexpr IntSetting kActivatedMsisdnIndex{"current_activated_msisdn_index", 0, kMsisdnIndexes, Signal::ActivatedOwnNumber};
constexpr IntSetting kCopyFlag{"copy_flag_for_sim_change", 0, kCopyFlags, std::nullopt};
constexpr IntSetting kSortType{"sort_type", 0, kSortTypes, Signal::SortType};
constexpr IntSetting kDisplayOrder{"display_order", 0, kDisplayOrders, Signal::DisplayOrder};
// clang-format on

// The own number: a name of at most 64 bytes and a number of at most 40,
// so that each fits a reader's buffer with its NUL.
constexpr std::size_t kOwnNameMax = 64;
constexpr std::size_t kOwnNumberMax = 40;
constexpr const char *kOwnName = "own_number_name";
constexpr const char *kOwnNumber = "own_number";

template <const IntSetting &setting> std::int32_t get(SettingsStore &store)
{
    return store.get_int(setting.name, setting.fallback);
}

template <const IntSetting &setting> void set(SettingsStore &store, std::int32_t value)
{
    if (std::ranges::find(setting.valid, value) == setting.valid.end())
        fail(kInvalidSettingValue, std::to_string(value) + " is not a value of " + setting.name);
    store.database().change([&] {
        // Setting the value a setting already has changes nothing to announce.
        if (store.get_int(setting.name, setting.fallback) == value)
            return;
        store.set_int(setting.name, value);
        if (setting.announced_by)
            store.database().notify(*setting.announced_by, {value});
    });
}

void check_own_name(const std::string &name)
{
    if (name.size() > kOwnNameMax)
        fail(kValueTooLong, "the own number's name has " + std::to_string(name.size()) + " bytes; at most " +
                                std::to_string(kOwnNameMax) + " fit");
    // The bus delivers only UTF-8; control characters would break the lines
    // a phonebook shows it on.
    if (std::ranges::any_of(name, [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }))
        fail(kInvalidSettingValue, "the own number's name holds a control character");
}

// Digits and the dialling characters * # p w , ; with one '+' only in front.
void check_own_number(const std::string &number)
{
    if (number.size() > kOwnNumberMax)
        fail(kValueTooLong, "the own number has " + std::to_string(number.size()) + " characters; at most " +
                                std::to_string(kOwnNumberMax) + " fit");
    for (std::size_t i = 0; i < number.size(); ++i) {
        const char c = number[i];
        const bool dialable = (c >= '0' && c <= '9') || c == '*' || c == '#' || c == 'p' || c == 'w' || c == ',' ||
                              c == ';' || (c == '+' && i == 0);
        if (!dialable)
            fail(kInvalidSettingValue, "the own number may hold digits, * # p w , ; and a leading +, not '" +
                                           std::string(1, c) + "'");
    }
}

std::tuple<std::string, std::string> get_own_number(SettingsStore &store)
{
    return store.database().read(
        [&] { return std::make_tuple(store.get_text(kOwnName, ""), store.get_text(kOwnNumber, "")); });
}

void set_own_number(SettingsStore &store, std::string name, std::string number)
{
    check_own_name(name);
    check_own_number(number);
    store.database().change([&] {
        store.set_text(kOwnName, name);
        store.set_text(kOwnNumber, number);
    });
}

} // namespace

RegisterFamily register_settings_methods;
void register_settings_methods(MethodRegistry &registry, Database &database, const ServiceOptions &)
{
    SettingsStore &store = registry.own<SettingsStore>(database);
    registry
        .add("contact_get_contact_module_sync_status", get<kSyncStatus>, store, In{}, Out{"sync_module"})
        .add("contact_set_contact_module_sync_status", set<kSyncStatus>, store, In{"sync_module"}, Out{})
        .add("contact_get_view_storage_preference", get<kViewStoragePreference>, store, In{},
             Out{"storage_preference"})
        .add("contact_set_view_storage_preference", set<kViewStoragePreference>, store, In{"storage_preference"},
             Out{})
        .add("contact_get_storage_preference", get<kStoragePreference>, store, In{}, Out{"storage_preference"})
        .add("contact_set_storage_preference", set<kStoragePreference>, store, In{"storage_preference"}, Out{})
        .add("contact_get_own_number", get_own_number, store, In{}, Out{"name", "phone_number"})
        .add("contact_set_own_number", set_own_number, store, In{"name", "phone_number"}, Out{})
        .add("contact_get_current_activated_msisdn_index", get<kActivatedMsisdnIndex>, store, In{},
             Out{"msisdn_index"})
        .add("contact_set_current_activated_msisdn_index", set<kActivatedMsisdnIndex>, store, In{"msisdn_index"},
             Out{})
        .add("contact_get_copy_flag_for_sim_change", get<kCopyFlag>, store, In{}, Out{"copy_flag"})
        .add("contact_set_copy_flag_for_sim_change", set<kCopyFlag>, store, In{"copy_flag"}, Out{})
        .add("contact_get_sort_type", get<kSortType>, store, In{}, Out{"sort_type"})
        .add("contact_set_sort_type", set<kSortType>, store, In{"sort_type"}, Out{})
        .add("contact_get_display_order", get<kDisplayOrder>, store, In{}, Out{"display_order"})
        .add("contact_set_display_order", set<kDisplayOrder>, store, In{"display_order"}, Out{});
}

} // namespace contact_engine
