// contact-engine-signals.h - the change-notification signals of the contact
// engine service, shared by the service (which emits them), the command-line
// tool and the tests (which receive them).  C++ only; not installed.
//
// Every signal goes out on CONTACT_ENGINE_OBJECT_PATH, interface
// CONTACT_ENGINE_INTERFACE, after the transaction that made the change has
// committed.  Its arguments are int32 values in exactly the positions that
// the library's converter of the same kind reads, so a receiver puts them
// into noti_args in order ('i' each) and calls
// contact_convert_<converter>_noti_to_update_type_and_data.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace contact_signals {

enum class Signal : int {
    NewStorageType,
    ViewStorageType,
    DisplayOrder,
    SortType,
    ActivatedOwnNumber,
    FdnStatusChanged,
    DeleteSomeContacts,
    CopySomeContacts,
    MoveSomeContacts,
    DeleteSomeGroups,
    DeleteAllGroupMembers,
    DeleteSomeGroupMembers,
    AddSomeGroupMembers,
    AddGroupMember,
    DeleteGroupMember,
    SimError,
    ContactMainTable,
    ContactTable,
    GroupTable,
    SpeedDialTable,
    MyContactTable,
};

// Element 0 of the table signals (the same numbers as the public header's
// CONTACT_NOTI_OPERATION_*).
enum Operation : std::int32_t {
    kAdd = 0,       // a row was added, or inserted at a given index
    kUpdate = 1,    // a row was changed
    kDelete = 2,    // a row was deleted
    kDeleteAll = 3, // every row of the storage was deleted (index 0)
};

// Element 2 of the SIM error signal: what the service was doing with the
// card.  Element 3 is the service's result code for the failure, the number
// its D-Bus error would start with (69: the card file could not be written).
enum SimAccess : std::int32_t {
    kSimRead = 0,  // loading the card's books into the SIM storages
    kSimWrite = 1, // writing a stored or deleted entry back to the card
};

// The FDN status signal's value: whether the card's fixed dialling numbers
// are loaded into storage 3, so that FDN checks use them.
enum FdnStatus : std::int32_t {
    kFdnUnavailable = 0,
    kFdnAvailable = 1,
};

// The index argument 0 names no row: indexes are 1-based.  A delete-all and
// a folded signal (many rows of one storage at once) carry it.
inline constexpr std::int32_t kNoRow = 0;

struct Description {
    Signal signal;
    const char *name;                 // the D-Bus signal name
    const char *converter;            // contact_convert_<converter>_noti_to_update_type_and_data
    std::array<const char *, 4> args; // argument names, in converter positions
    std::size_t arity;
    int row_position; // the argument that is a row's index (-1: none)
};

// clang-format off
inline constexpr Description kSignals[] = {
    // signal                         D-Bus name                                  converter kind                  arguments                                                  n  row
    {Signal::NewStorageType,         "contact_new_storage_type_noti",          "new_storage_type",            {"value"},                                                  1, -1},
    {Signal::ViewStorageType,        "contact_view_storage_type_noti",         "view_storage_type",           {"value"},                                                  1, -1},
    {Signal::DisplayOrder,           "contact_display_order_noti",             "display_order",               {"value"},                                                  1, -1},
    {Signal::SortType,               "contact_sort_type_noti",                 "sort_type",                   {"value"},                                                  1, -1},
    {Signal::ActivatedOwnNumber,     "contact_activated_own_number_noti",      "activated_own_number",        {"value"},                                                  1, -1},
    {Signal::FdnStatusChanged,       "contact_fdn_status_changed_noti",        "fdn_status_changed",          {"value"},                                                  1, -1},
    {Signal::DeleteSomeContacts,     "contact_delete_some_contacts_noti",      "delete_some_contacts",        {"storage_type"},                                           1, -1},
    {Signal::CopySomeContacts,       "contact_copy_some_contacts_noti",        "copy_some_contacts",          {"storage_type"},                                           1, -1},
    {Signal::MoveSomeContacts,       "contact_move_some_contacts_noti",        "move_some_contacts",          {"storage_type"},                                           1, -1},
    {Signal::DeleteSomeGroups,       "contact_delete_some_groups_noti",        "delete_some_groups",          {"storage_type"},                                           1, -1},
    {Signal::DeleteAllGroupMembers,  "contact_delete_all_group_members_noti",  "delete_all_group_members",    {"storage_type", "index"},                                  2, -1},
    {Signal::DeleteSomeGroupMembers, "contact_delete_some_group_members_noti", "delete_some_group_members",   {"storage_type", "index"},                                  2, -1},
    {Signal::AddSomeGroupMembers,    "contact_add_some_group_members_noti",    "add_some_group_members",      {"storage_type", "index"},                                  2, -1},
    {Signal::AddGroupMember,         "contact_add_group_member_noti",          "add_group_member",            {"storage_type", "index"},                                  2, -1},
    {Signal::DeleteGroupMember,      "contact_delete_group_member_noti",       "delete_group_member",         {"storage_type", "index"},                                  2, -1},
    {Signal::SimError,               "contact_sim_error_noti",                 "sim_error",                   {"storage_type", "index", "access_mode", "sim_error_value"}, 4, 1},
    {Signal::ContactMainTable,       "contact_main_table_noti",                "contact_main_table_modified", {"operation", "storage_type", "index"},                     3, 2},
    {Signal::ContactTable,           "contact_table_noti",                     "contact_table_modified",      {"operation", "storage_type", "index"},                     3, 2},
    {Signal::GroupTable,             "contact_group_table_noti",               "group_table_modified",        {"operation", "storage_type", "index"},                     3, 2},
    {Signal::SpeedDialTable,         "contact_speed_dial_table_noti",          "speed_dial_table_modified",   {"operation", "index"},                                     2, 1},
    {Signal::MyContactTable,         "contact_my_contact_table_noti",          "my_contact_table_modified",   {"operation", "index"},                                     2, 1},
};
// clang-format on

constexpr bool in_order()
{
    for (std::size_t i = 0; i < std::size(kSignals); ++i)
        if (int(kSignals[i].signal) != int(i))
            return false;
    return true;
}
static_assert(in_order(), "kSignals is indexed by Signal");
static_assert(std::size(kSignals) == 21, "one signal per converter");

constexpr const Description &describe(Signal signal)
{
    return kSignals[std::size_t(signal)];
}

// The signal of a D-Bus name, or nullptr.
constexpr const Description *find(std::string_view name)
{
    for (const Description &description : kSignals)
        if (name == description.name)
            return &description;
    return nullptr;
}

} // namespace contact_signals
