// Change-notification converters: a notification's argument list in, an
// update type and update data out.  Nothing here talks to the service.
//
// Every converter is one row of kConverters below: the meaning of each
// element it reads (by position), whether those elements must have type
// 'i', the update data it fills, and its update type, either fixed or looked
// up in a mapping table by operation code (and storage type).  The exported
// functions only assert their four pointers and hand their row to convert().
//
// An argument list that does not fit its row (too few elements, a type other
// than 'i' where 'i' is required, an operation code or storage type that the
// table does not hold) is refused before anything is written: the converter
// logs an error, sets CONTACT_ERROR_OUT_OF_RANGE and returns 0, leaving the
// update type and the update data as they were.
#include <assert.h>
#include <glib.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "contact-engine-wire.h"
#include "contact-engine.h"
#include "debug-message.h"

namespace {

// ---- noti_property by offset ------------------------------------------------
//
// The party building the arguments and the converters share the 32-bit
// little-endian layout: elements read from the array's bytes by offset, not
// through a host struct.  The layout holds on every target with a 4-byte
// int, which the asserts prove wherever the library is built.
namespace noti_layout {
inline constexpr std::size_t kSize = 16;
inline constexpr std::size_t kType = 0;
inline constexpr std::size_t kValue = 8;
} // namespace noti_layout

static_assert(sizeof(noti_property) == noti_layout::kSize);
static_assert(offsetof(noti_property, type) == noti_layout::kType);
static_assert(offsetof(noti_property, value) == noti_layout::kValue);
static_assert(sizeof(contact_update_index_t) == 8);
static_assert(offsetof(contact_update_index_t, index) == 0);
static_assert(offsetof(contact_update_index_t, storage_type) == 4);
static_assert(sizeof(contact_update_sim_error_t) == 16);
static_assert(offsetof(contact_update_sim_error_t, index) == 0);
static_assert(offsetof(contact_update_sim_error_t, storage_type) == 4);
static_assert(offsetof(contact_update_sim_error_t, access_mode) == 8);
static_assert(offsetof(contact_update_sim_error_t, sim_error_value) == 12);

// ---- log lines --------------------------------------------------------------

constexpr int kLogModule = 0x14000000; // the library's module in every log line

// Traces name the value copied; the kinds with several elements name each
// element by its position.
constexpr const char *kTraceUpdateData = "\n[DodazorEdidud]%s: *update_data = %d\n";
constexpr const char *kTraceArg0StorageType = "\n[DodazorEdidud]%s: noti_args 0 storage_type= %d\n\n";
constexpr const char *kTraceArg1Index = "\n[DodazorEdidud]%s: noti_args 1 index= %d\n\n";
constexpr const char *kTraceArg2AccessMode = "\n[DodazorEdidud]%s: noti_args 2 access_mode= %d\n\n";
constexpr const char *kTraceArg3SimErrorValue = "\n[DodazorEdidud]%s: noti_args 3 sim_error_value= %d\n\n";
constexpr const char *kTraceStorageType = "\n[DodazorEdidud]%s: storage_type = %d\n";
constexpr const char *kTraceIndex = "\n[DodazorEdidud]%s: index = %d\n";

void trace(const char *function, const char *format, int value)
{
    _debug_message(__LINE__, __FILE__, kLogModule, DEBUG_MESSAGE_LEVEL_TRACE, format, function, value);
}

template <class... Args> int refuse(const char *function, int *error_code, const char *format, Args... values)
{
    _debug_message(__LINE__, __FILE__, kLogModule, DEBUG_MESSAGE_LEVEL_ERROR, format, function, __LINE__, values...);
    *error_code = CONTACT_ERROR_OUT_OF_RANGE;
    return 0;
}

// ---- what a converter reads -------------------------------------------------

enum class Meaning { Value, OperationCode, StorageType, Index, AccessMode, SimErrorValue };

// One element: what it means (and so where it is stored) and its trace.
struct Element {
    Meaning meaning;
    const char *trace; // nullptr: not traced (the operation code lives on only in the update type)
};

constexpr Element kValue{Meaning::Value, kTraceUpdateData};
constexpr Element kArg0StorageType{Meaning::StorageType, kTraceArg0StorageType};
constexpr Element kArg1Index{Meaning::Index, kTraceArg1Index};
constexpr Element kArg2AccessMode{Meaning::AccessMode, kTraceArg2AccessMode};
constexpr Element kArg3SimErrorValue{Meaning::SimErrorValue, kTraceArg3SimErrorValue};
constexpr Element kOperationCode{Meaning::OperationCode, nullptr};
constexpr Element kStorageType{Meaning::StorageType, kTraceStorageType};
constexpr Element kIndex{Meaning::Index, kTraceIndex};

// The elements a converter reads, at positions 0, 1, ...
struct Reads {
    std::array<Element, 4> elements;
    std::size_t count;
};
template <class... E> constexpr Reads reads(E... elements)
{
    return {{elements...}, sizeof...(elements)};
}

// Any: the four value bytes are copied whatever the type character says.
enum class TypeRule { Int, Any };

// What update_data points at.
enum class Data { Int, Index, SimError };

// ---- update types -------------------------------------------------------------

constexpr int kNotInTable = -1; // the input is refused

// Update type by operation code 0 to 3.
using ByOperation = std::array<int, 4>;

// clang-format off
// Rows by storage type 0 to 7: 6 is the phone storage again, 5 and 7 are my
// contact, where deleting all is deleting the one contact.
constexpr ByOperation kContactMainTable[] = {
    //       add (0)                        update (1)                        delete (2)                        delete all (3)
    /* 0 */ {CONTACT_UPDATE_PHONE_ADD,      CONTACT_UPDATE_PHONE_UPDATE,      CONTACT_UPDATE_PHONE_DELETE,      CONTACT_UPDATE_PHONE_DELETE_ALL},
    /* 1 */ {CONTACT_UPDATE_SIM_ADD,        CONTACT_UPDATE_SIM_UPDATE,        CONTACT_UPDATE_SIM_DELETE,        CONTACT_UPDATE_SIM_DELETE_ALL},
    /* 2 */ {CONTACT_UPDATE_SIM2_ADD,       CONTACT_UPDATE_SIM2_UPDATE,       CONTACT_UPDATE_SIM2_DELETE,       CONTACT_UPDATE_SIM2_DELETE_ALL},
    /* 3 */ {CONTACT_UPDATE_FDN_ADD,        CONTACT_UPDATE_FDN_UPDATE,        CONTACT_UPDATE_FDN_DELETE,        CONTACT_UPDATE_FDN_DELETE_ALL},
    /* 4 */ {CONTACT_UPDATE_SDN_ADD,        CONTACT_UPDATE_SDN_UPDATE,        CONTACT_UPDATE_SDN_DELETE,        CONTACT_UPDATE_SDN_DELETE_ALL},
    /* 5 */ {CONTACT_UPDATE_MY_CONTACT_ADD, CONTACT_UPDATE_MY_CONTACT_UPDATE, CONTACT_UPDATE_MY_CONTACT_DELETE, CONTACT_UPDATE_MY_CONTACT_DELETE},
    /* 6 */ {CONTACT_UPDATE_PHONE_ADD,      CONTACT_UPDATE_PHONE_UPDATE,      CONTACT_UPDATE_PHONE_DELETE,      CONTACT_UPDATE_PHONE_DELETE_ALL},
    /* 7 */ {CONTACT_UPDATE_MY_CONTACT_ADD, CONTACT_UPDATE_MY_CONTACT_UPDATE, CONTACT_UPDATE_MY_CONTACT_DELETE, CONTACT_UPDATE_MY_CONTACT_DELETE},
};

// Rows by storage type 0 and 1.
constexpr ByOperation kGroupTable[] = {
    /* 0 */ {CONTACT_UPDATE_PHONE_GROUP_ADD, CONTACT_UPDATE_PHONE_GROUP_UPDATE, CONTACT_UPDATE_PHONE_GROUP_DELETE, CONTACT_UPDATE_PHONE_GROUP_DELETE_ALL},
    /* 1 */ {CONTACT_UPDATE_SIM_GROUP_ADD,   CONTACT_UPDATE_SIM_GROUP_UPDATE,   CONTACT_UPDATE_SIM_GROUP_DELETE,   CONTACT_UPDATE_SIM_GROUP_DELETE_ALL},
};

// One row each: these tables do not look at the storage type.
constexpr ByOperation kContactTable[] = {
    {kNotInTable, CONTACT_UPDATE_CONTACT_TABLE_UPDATE, kNotInTable, kNotInTable},
};
constexpr ByOperation kSpeedDialTable[] = {
    {CONTACT_UPDATE_SPEED_DIAL_ADD, CONTACT_UPDATE_SPEED_DIAL_UPDATE, CONTACT_UPDATE_SPEED_DIAL_DELETE, kNotInTable},
};
constexpr ByOperation kMyContactTable[] = {
    {CONTACT_UPDATE_MY_CONTACT_ADD, CONTACT_UPDATE_MY_CONTACT_UPDATE, CONTACT_UPDATE_MY_CONTACT_DELETE, kNotInTable},
};
// clang-format on

// A fixed update type, or one looked up by operation code (and storage type).
struct UpdateType {
    int fixed;
    std::span<const ByOperation> table; // empty: fixed
    bool by_storage_type;
};
constexpr UpdateType fixed(int update_type)
{
    return {update_type, {}, false};
}
constexpr UpdateType by_operation(std::span<const ByOperation> table)
{
    return {kNotInTable, table, false};
}
constexpr UpdateType by_operation_and_storage(std::span<const ByOperation> table)
{
    return {kNotInTable, table, true};
}

// ---- the converters -----------------------------------------------------------

struct Converter {
    std::string_view kind; // contact_convert_<kind>_noti_to_update_type_and_data
    Reads reads;
    TypeRule type;
    Data data;
    UpdateType update_type;
};

constexpr TypeRule kInt = TypeRule::Int;
constexpr TypeRule kAny = TypeRule::Any;

// clang-format off
constexpr Converter kConverters[] = {
    // kind                         elements read, by position                                                type  update data     update type
    {"new_storage_type",            reads(kValue),                                                            kInt, Data::Int,      fixed(CONTACT_UPDATE_NEW_STORAGE_TYPE)},
    {"view_storage_type",           reads(kValue),                                                            kInt, Data::Int,      fixed(CONTACT_UPDATE_VIEW_STORAGE_TYPE)},
    {"display_order",               reads(kValue),                                                            kInt, Data::Int,      fixed(CONTACT_UPDATE_DISPLAY_ORDER)},
    {"sort_type",                   reads(kValue),                                                            kInt, Data::Int,      fixed(CONTACT_UPDATE_SORT_TYPE)},
    {"activated_own_number",        reads(kValue),                                                            kInt, Data::Int,      fixed(CONTACT_UPDATE_ACTIVATED_OWN_NUMBER)},
    {"fdn_status_changed",          reads(kValue),                                                            kInt, Data::Int,      fixed(CONTACT_UPDATE_FDN_STATUS_CHANGED)},
    {"delete_some_contacts",        reads(kArg0StorageType),                                                  kAny, Data::Int,      fixed(CONTACT_UPDATE_DELETE_SOME_CONTACTS)},
    {"copy_some_contacts",          reads(kArg0StorageType),                                                  kAny, Data::Int,      fixed(CONTACT_UPDATE_COPY_SOME_CONTACTS)},
    {"move_some_contacts",          reads(kArg0StorageType),                                                  kAny, Data::Int,      fixed(CONTACT_UPDATE_MOVE_SOME_CONTACTS)},
    {"delete_some_groups",          reads(kArg0StorageType),                                                  kAny, Data::Int,      fixed(CONTACT_UPDATE_DELETE_SOME_GROUPS)},
    {"delete_all_group_members",    reads(kArg0StorageType, kArg1Index),                                      kAny, Data::Index,    fixed(CONTACT_UPDATE_DELETE_ALL_GROUP_MEMBERS)},
    {"delete_some_group_members",   reads(kArg0StorageType, kArg1Index),                                      kAny, Data::Index,    fixed(CONTACT_UPDATE_DELETE_SOME_GROUP_MEMBERS)},
    {"add_some_group_members",      reads(kArg0StorageType, kArg1Index),                                      kAny, Data::Index,    fixed(CONTACT_UPDATE_ADD_SOME_GROUP_MEMBERS)},
    {"add_group_member",            reads(kArg0StorageType, kArg1Index),                                      kAny, Data::Index,    fixed(CONTACT_UPDATE_ADD_GROUP_MEMBER)},
    {"delete_group_member",         reads(kArg0StorageType, kArg1Index),                                      kAny, Data::Index,    fixed(CONTACT_UPDATE_DELETE_GROUP_MEMBER)},
    {"sim_error",                   reads(kArg0StorageType, kArg1Index, kArg2AccessMode, kArg3SimErrorValue), kAny, Data::SimError, fixed(CONTACT_UPDATE_SIM_ERROR)},
    {"contact_main_table_modified", reads(kOperationCode, kStorageType, kIndex),                              kInt, Data::Index,    by_operation_and_storage(kContactMainTable)},
    {"contact_table_modified",      reads(kOperationCode, kStorageType, kIndex),                              kInt, Data::Index,    by_operation(kContactTable)},
    {"group_table_modified",        reads(kOperationCode, kStorageType, kIndex),                              kInt, Data::Index,    by_operation_and_storage(kGroupTable)},
    {"speed_dial_table_modified",   reads(kOperationCode, kIndex),                                            kInt, Data::Int,      by_operation(kSpeedDialTable)},
    {"my_contact_table_modified",   reads(kOperationCode, kIndex),                                            kInt, Data::Int,      by_operation(kMyContactTable)},
};
// clang-format on

// Each row's elements must fit its update data: one stored value for an int,
// storage type and index for the index record, all four for the SIM error;
// a table lookup needs the operation code (and the storage type).
constexpr bool fits(const Converter &converter)
{
    const auto elements = std::span(converter.reads.elements).first(converter.reads.count);
    auto has = [&](Meaning meaning) {
        return std::ranges::any_of(elements, [&](const Element &element) { return element.meaning == meaning; });
    };
    const std::size_t stored = elements.size() - (has(Meaning::OperationCode) ? 1 : 0);
    const bool lookup_fits = converter.update_type.table.empty() ||
                             (has(Meaning::OperationCode) &&
                              (!converter.update_type.by_storage_type || has(Meaning::StorageType)));
    switch (converter.data) {
    case Data::Int:
        return lookup_fits && stored == 1;
    case Data::Index:
        return lookup_fits && stored == 2 && has(Meaning::StorageType) && has(Meaning::Index);
    case Data::SimError:
        return lookup_fits && stored == 4;
    }
    return false;
}
static_assert(std::ranges::all_of(kConverters, fits));
static_assert(std::size(kConverters) == 21);

consteval const Converter &converter(std::string_view kind)
{
    for (const Converter &row : kConverters)
        if (row.kind == kind)
            return row;
    throw "no converter of this kind";
}

// ---- one conversion -------------------------------------------------------------

// Whole 16-byte elements within the array's bytes, whatever element size the
// caller gave it, so that no read goes past its end.
std::size_t whole_elements(const GArray *noti_args)
{
    if (noti_args->data == nullptr)
        return 0;
    return std::size_t(noti_args->len) * g_array_get_element_size(const_cast<GArray *>(noti_args)) /
           noti_layout::kSize;
}

// The update-data field that receives an element, or nullptr (the operation code).
int *field(Data data, Meaning meaning, void *update_data)
{
    if (meaning == Meaning::OperationCode)
        return nullptr;
    switch (data) {
    case Data::Int:
        return static_cast<int *>(update_data);
    case Data::Index: {
        auto *record = static_cast<contact_update_index_t *>(update_data);
        return meaning == Meaning::Index ? &record->index : &record->storage_type;
    }
    case Data::SimError: {
        auto *record = static_cast<contact_update_sim_error_t *>(update_data);
        switch (meaning) {
        case Meaning::Index:
            return &record->index;
        case Meaning::StorageType:
            return &record->storage_type;
        case Meaning::AccessMode:
            return &record->access_mode;
        default:
            return &record->sim_error_value;
        }
    }
    }
    return nullptr;
}

int convert(const Converter &converter, const char *function, GArray *noti_args, int *update_type,
            void *update_data, int *error_code)
{
    const std::span<const Element> elements = std::span(converter.reads.elements).first(converter.reads.count);

    const std::size_t available = whole_elements(noti_args);
    if (available < elements.size())
        return refuse(function, error_code, "\n[DodazorEdidud]%s %d: noti_args holds %d elements; this notification has %d.\n",
                      int(available), int(elements.size()));

    const auto *bytes = reinterpret_cast<const std::uint8_t *>(noti_args->data);
    std::array<int, 4> values{};
    int operation_code = 0;
    int storage_type = 0;
    for (std::size_t position = 0; position < elements.size(); ++position) {
        const std::uint8_t *element = bytes + position * noti_layout::kSize;
        const int type = contact_wire::read_i32(element, noti_layout::kType);
        if (converter.type == TypeRule::Int && type != CONTACT_NOTI_TYPE_INT)
            return refuse(function, error_code, "\n[DodazorEdidud]%s %d: noti_args %d has type %d, not 'i'.\n",
                          int(position), type);
        values[position] = contact_wire::read_i32(element, noti_layout::kValue);
        if (elements[position].meaning == Meaning::OperationCode)
            operation_code = values[position];
        if (elements[position].meaning == Meaning::StorageType)
            storage_type = values[position];
    }

    int type = converter.update_type.fixed;
    if (!converter.update_type.table.empty()) {
        // Compared as unsigned, so that negative values are outside too.
        const std::span<const ByOperation> table = converter.update_type.table;
        const unsigned row = converter.update_type.by_storage_type ? unsigned(storage_type) : 0u;
        if (row >= table.size())
            return refuse(function, error_code, "\n[DodazorEdidud]%s %d: storage_type %d is not in the table.\n",
                          storage_type);
        if (unsigned(operation_code) >= table[row].size() || table[row][operation_code] == kNotInTable)
            return refuse(function, error_code, "\n[DodazorEdidud]%s %d: operation code %d is not in the table.\n",
                          operation_code);
        type = table[row][operation_code];
    }

    for (std::size_t position = 0; position < elements.size(); ++position) {
        if (int *target = field(converter.data, elements[position].meaning, update_data)) {
            *target = values[position];
            trace(function, elements[position].trace, values[position]);
        }
    }
    *update_type = type;
    return 1;
}

} // namespace

// The one precondition of every converter; a NULL is the caller's programming error.
#define CONTACT_REQUIRE_NOTI_POINTERS()                                                                                \
    assert((noti_args != ((void *)0)) && (update_type != ((void *)0)) && (update_data != ((void *)0)) && (error_code != ((void *)0)))

#define CONTACT_NOTI_CONVERTER(kind)                                                                                   \
    int contact_convert_##kind##_noti_to_update_type_and_data(GArray *noti_args, int *update_type, void *update_data, \
                                                              int *error_code)                                        \
    {                                                                                                                  \
        CONTACT_REQUIRE_NOTI_POINTERS();                                                                               \
        return convert(converter(#kind), __func__, noti_args, update_type, update_data, error_code);                  \
    }

CONTACT_NOTI_CONVERTER(new_storage_type)
CONTACT_NOTI_CONVERTER(view_storage_type)
CONTACT_NOTI_CONVERTER(display_order)
CONTACT_NOTI_CONVERTER(sort_type)
CONTACT_NOTI_CONVERTER(activated_own_number)
CONTACT_NOTI_CONVERTER(fdn_status_changed)
CONTACT_NOTI_CONVERTER(delete_some_contacts)
CONTACT_NOTI_CONVERTER(copy_some_contacts)
CONTACT_NOTI_CONVERTER(move_some_contacts)
CONTACT_NOTI_CONVERTER(delete_some_groups)
CONTACT_NOTI_CONVERTER(delete_all_group_members)
CONTACT_NOTI_CONVERTER(delete_some_group_members)
CONTACT_NOTI_CONVERTER(add_some_group_members)
CONTACT_NOTI_CONVERTER(add_group_member)
CONTACT_NOTI_CONVERTER(delete_group_member)
CONTACT_NOTI_CONVERTER(sim_error)
CONTACT_NOTI_CONVERTER(contact_main_table_modified)
CONTACT_NOTI_CONVERTER(contact_table_modified)
CONTACT_NOTI_CONVERTER(group_table_modified)
CONTACT_NOTI_CONVERTER(speed_dial_table_modified)
CONTACT_NOTI_CONVERTER(my_contact_table_modified)
