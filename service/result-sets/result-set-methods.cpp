// Result sets on the bus: the nine methods, and what their int parameters
// select (docs/result-sets.md lists the same values).
#include <cstdint>
#include <string>
#include <tuple>

#include "contacts/contact-store.h"
#include "contacts/generated-contacts.h"
#include "core/method-registry.h"
#include "result-sets/result-set-store.h"
#include "core/service-options.h"

namespace contact_engine {

namespace {

// create_param1: the contact storage walked.
constexpr int kEveryStorage = -1;
constexpr int kPhoneAlias = 6;
constexpr int kPhoneTable = 0;
constexpr int kMyContactStorage = 5;
constexpr int kMyContactAlias = 7;
constexpr int kLastContactTable = 4;

std::optional<int> storage_of(std::int32_t create_param1)
{
    if (create_param1 == kEveryStorage)
        return std::nullopt;
    if (create_param1 == kPhoneAlias)
        return kPhoneTable;
    if (create_param1 == kMyContactStorage || create_param1 == kMyContactAlias)
        fail(kWrongStorageKind, "storage " + std::to_string(create_param1) + " holds my contact, not a contact table");
    if (create_param1 < 0 || create_param1 > kLastContactTable)
        fail(kUnknownStorage, "no storage " + std::to_string(create_param1));
    return create_param1;
}

// create_param2: the order.
SortOrder order_of(std::int32_t create_param2)
{
    switch (create_param2) {
    case 0:
        return SortOrder::Name;
    case 1:
        return SortOrder::MostCalled;
    case 2:
        return SortOrder::Index;
    }
    fail(kInvalidArgument, "no sort order " + std::to_string(create_param2) + " (0 name, 1 most called, 2 index)");
}

// search_type: what the query text is matched against.
SearchKind search_of(std::int32_t search_type)
{
    switch (search_type) {
    case 0:
        return SearchKind::Name;
    case 1:
        return SearchKind::Number;
    }
    fail(kInvalidArgument, "no search type " + std::to_string(search_type) + " (0 name, 1 number)");
}

CursorMove move_of(std::int32_t cursor_param)
{
    switch (cursor_param) {
    case 0:
        return CursorMove::First;
    case 1:
        return CursorMove::Next;
    case 2:
        return CursorMove::Previous;
    case 3:
        return CursorMove::Last;
    }
    fail(kInvalidArgument, "no cursor move " + std::to_string(cursor_param) + " (0 first, 1 next, 2 previous, 3 last)");
}

FetchMode fetch_of(std::int32_t fetch_param)
{
    switch (fetch_param) {
    case 0:
        return FetchMode::Advance;
    case 1:
        return FetchMode::Peek;
    }
    fail(kInvalidArgument, "no fetch mode " + std::to_string(fetch_param) + " (0 advance, 1 peek)");
}

ResultSetQuery query_of(std::int32_t create_param1, SearchKind search, std::string text, std::int32_t create_param2)
{
    ResultSetQuery query;
    query.storage = storage_of(create_param1);
    query.order = order_of(create_param2);
    query.search = text.empty() ? SearchKind::None : search;
    query.text = std::move(text);
    return query;
}

std::int32_t create(ResultSets &sets, std::int32_t create_param1, std::string query, std::int32_t create_param2)
{
    return sets.create(current_caller(), query_of(create_param1, SearchKind::Name, std::move(query), create_param2));
}

std::int32_t create_by_search_type(ResultSets &sets, std::int32_t create_param1, std::int32_t search_type,
                                   std::string query, std::int32_t create_param2)
{
    const SearchKind search = search_of(search_type);
    return sets.create(current_caller(), query_of(create_param1, search, std::move(query), create_param2));
}

std::int32_t create_by_group(ResultSets &sets, std::int32_t create_param1, std::int32_t group_param1,
                             std::int32_t group_param2, std::string query, std::int32_t create_param2)
{
    ResultSetQuery filter = query_of(create_param1, SearchKind::Name, std::move(query), create_param2);
    filter.group = GroupAddress{group_param1, group_param2};
    return sets.create(current_caller(), filter);
}

std::int32_t get_cursor_index(ResultSets &sets, std::int32_t result_set_id)
{
    return sets.cursor(current_caller(), result_set_id);
}

std::int32_t get_contact_count(ResultSets &sets, std::int32_t result_set_id)
{
    return sets.count(current_caller(), result_set_id);
}

void move_cursor(ResultSets &sets, std::int32_t result_set_id, std::int32_t cursor_param)
{
    sets.move(current_caller(), result_set_id, move_of(cursor_param));
}

Bytes get_current_contact(ResultSets &sets, std::int32_t result_set_id)
{
    return sets.current(current_caller(), result_set_id);
}

std::tuple<Bytes, std::int32_t> get_contacts(ResultSets &sets, std::int32_t result_set_id, std::int32_t request_count,
                                             std::int32_t fetch_param)
{
    const FetchMode mode = fetch_of(fetch_param);
    return sets.fetch(current_caller(), result_set_id, request_count, mode);
}

void destory(ResultSets &sets, std::int32_t result_set_id)
{
    sets.destroy(current_caller(), result_set_id);
}

} // namespace

RegisterFamily register_result_set_methods;
void register_result_set_methods(MethodRegistry &registry, Database &database, const ServiceOptions &options)
{
    ContactStore &contacts = contact_store(registry, database, options);
    if (options.seed_contacts > 0)
        seed_generated_contacts(contacts, kPhoneTable, options.seed_contacts);
    ResultSets &sets = registry.own<ResultSets>(database, contacts.keys());
    registry.on_client_vanished([&sets](const std::string &client) { sets.forget(client); });
    registry
        .add("contact_result_set_create", create, sets, In{"create_param1", "query", "create_param2"},
             Out{"result_set_id"})
        .add("contact_result_set_create_by_search_type", create_by_search_type, sets,
             In{"create_param1", "search_type", "query", "create_param2"}, Out{"result_set_id"})
        .add("contact_result_set_create_by_group", create_by_group, sets,
             In{"create_param1", "group_param1", "group_param2", "query", "create_param2"}, Out{"result_set_id"})
        .add("contact_result_set_get_cursor_index", get_cursor_index, sets, In{"result_set_id"}, Out{"cursor_index"})
        .add("contact_result_set_get_contact_count", get_contact_count, sets, In{"result_set_id"},
             Out{"record_count"})
        .add("contact_result_set_move_cursor", move_cursor, sets, In{"result_set_id", "cursor_param"}, Out{})
        .add("contact_result_set_get_current_contact", get_current_contact, sets, In{"result_set_id"},
             Out{"contact"})
        .add("contact_result_set_get_contacts", get_contacts, sets, In{"result_set_id", "request_count", "fetch_param"},
             Out{"contact_array", "contact_count"})
        .add("contact_result_set_destory", destory, sets, In{"result_set_id"}, Out{});
}

} // namespace contact_engine
