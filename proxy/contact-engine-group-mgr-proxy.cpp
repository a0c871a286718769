// Groups and group membership: one remote call each.  Group records travel
// as their 1352 wire bytes (group-record-codec.h), index lists as 4-byte
// little-endian ints; replies are read only as far as they reach.
#include <cstdint>

#include "contact-engine-frame.h"
#include "group-record-codec.h"

using contact_frame::ByteArray;
using contact_frame::ins;
using contact_frame::Operation;
using contact_frame::outs;
using contact_frame::ReplyBool;
using contact_frame::Text;

namespace {

constexpr std::size_t kIndexSize = 4;

void store_bool(bool *target, const ReplyBool &reply)
{
    *target = reply.value ? 1 : 0;
}

// The record's wire bytes in `bytes`, for the call's IN "ay".  Built only
// once the checks have passed (the chain evaluates the call's arguments
// after them); nothing is built for an operation that already failed.
GArray *packed_group(const Operation &op, ByteArray &bytes, const group_t *record)
{
    if (!op.result())
        return nullptr;
    std::uint8_t wire[group_wire::kRecordSize];
    group_codec::encode(*record, wire);
    bytes.reset(contact_frame::new_byte_array());
    g_array_append_vals(bytes.get(), wire, guint(sizeof wire));
    return bytes.get();
}

// `count` indices from the caller's list, in its order, as 4-byte
// little-endian ints.
GArray *packed_indices(const Operation &op, ByteArray &bytes, const int *indices, int count)
{
    if (!op.result())
        return nullptr;
    bytes.reset(contact_frame::new_byte_array());
    g_array_set_size(bytes.get(), guint(count) * guint(kIndexSize));
    auto *wire = reinterpret_cast<std::uint8_t *>(bytes.get()->data);
    for (int i = 0; i < count; ++i)
        contact_wire::write_i32(wire, std::size_t(i) * kIndexSize, indices[i]);
    return bytes.get();
}

} // namespace

extern "C" {

// ---- groups ----------------------------------------------------------------

CONTACT_API int contact_add_group(int storage_type, group_t *group_record, int *index, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    ByteArray record_bytes;
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been connected.\n")
        .not_null(group_record, "\n[DodazorEdidud]%s %d: contact_add_group: The parameter group_record is NULL.\n")
        .not_null(index, "\n[DodazorEdidud]%s %d: contact_add_group: The parameter index is NULL.\n")
        .call("contact_add_group",
              "\n[DodazorEdidud]%s %d: contact_add_group: org_yora_contact_contact_add_group() failed(%s).\n",
              ins(storage_type, packed_group(op, record_bytes, group_record)), outs(index, error_code))
        .on_success([&] {
            group_record->index = *index;
            group_record->storage_type = storage_type;
        })
        .result();
}

CONTACT_API int contact_update_group(int storage_type, int index, group_t *group_record, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    ByteArray record_bytes;
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been connected.\n")
        .not_null(group_record, "\n[DodazorEdidud]%s %d: contact_update_group: The parameter group_record is NULL.\n")
        .call("contact_update_group",
              "\n[DodazorEdidud]%s %d: contact_update_group: org_yora_contact_contact_update_group() failed(%s).\n",
              ins(storage_type, index, packed_group(op, record_bytes, group_record)), outs(error_code))
        .on_success([&] {
            group_record->index = index;
            group_record->storage_type = storage_type;
        })
        .result();
}

CONTACT_API int contact_get_group(int storage_type, int index, group_t *group_record, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    ByteArray reply;
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been connected.\n")
        .not_null(group_record, "\n[DodazorEdidud]%s %d: contact_get_group: The parameter group_record is NULL.\n")
        .call("contact_get_group",
              "\n[DodazorEdidud]%s %d: contact_get_group: org_yora_contact_contact_get_group() failed(%s).\n",
              ins(storage_type, index), outs(reply, error_code))
        .on_success([&](Operation &self) {
            self.records(reply, 1, group_wire::kRecordSize,
                         "\n[DodazorEdidud]%s %d: contact_get_group: The reply of %u bytes is shorter than %d "
                         "group.\n",
                         [&](int, const guint8 *record) { group_codec::decode(record, *group_record); });
        })
        .result();
}

CONTACT_API int contact_delete_group(int storage_type, int index, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been connected.\n")
        .call("contact_delete_group",
              "\n[DodazorEdidud]%s %d: contact_delete_group: org_yora_contact_contact_delete_group() failed(%s).\n",
              ins(storage_type, index), outs(error_code))
        .result();
}

CONTACT_API int contact_delete_all_groups(int storage_type, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been connected.\n")
        .call("contact_delete_all_groups",
              "\n[DodazorEdidud]%s %d: contact_delete_all_groups: org_yora_contact_contact_delete_all_groups() "
              "failed(%s).\n",
              ins(storage_type), outs(error_code))
        .result();
}

CONTACT_API int contact_get_group_count(int storage_type, int *record_count, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been connected.\n")
        .not_null(record_count, "\n[DodazorEdidud]%s %d: contact_get_group_count: The parameter record_count is NULL.\n")
        .call("contact_get_group_count",
              "\n[DodazorEdidud]%s %d: contact_get_group_count: org_yora_contact_contact_get_group_count() "
              "failed(%s).\n",
              ins(storage_type), outs(record_count, error_code))
        .result();
}

CONTACT_API int contact_get_max_group_count(int storage_type, int *max_group_count, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been connected.\n")
        .not_null(max_group_count, "\n[DodazorEdidud]%s %d: The parameter max_group_count is NULL.\n")
        .call("contact_get_max_group_count",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_get_max_group_count() failed(%s).\n",
              ins(storage_type), outs(max_group_count, error_code))
        .result();
}

CONTACT_API int contact_get_empty_group_index(int storage_type, int *empty_index, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been connected.\n")
        .not_null(empty_index, "\n[DodazorEdidud]%s %d: The parameter empty_index is NULL.\n")
        .call("contact_get_empty_group_index",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_get_empty_group_index() failed(%s).\n",
              ins(storage_type), outs(empty_index, error_code))
        .result();
}

CONTACT_API int contact_is_group_exist(int storage_type, int index, bool *is_exist, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    ReplyBool reply;
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been connected.\n")
        .not_null(is_exist, "\n[DodazorEdidud]%s %d: The parameter is_exist is NULL.\n")
        .call("contact_is_group_exist",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_is_group_exist() failed(%s).\n",
              ins(storage_type, index), outs(reply, error_code))
        .on_success([&] { store_bool(is_exist, reply); })
        .result();
}

// The answer is the "b" alone: *error_code is left as it was on success.
CONTACT_API int contact_exist_same_group_name(int storage_type, const char *name, bool *is_exist, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    ReplyBool reply;
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been connected.\n")
        .not_null(name, "\n[DodazorEdidud]%s %d: The name is NULL.\n")
        .not_null(is_exist, "\n[DodazorEdidud]%s %d: The is_exist is NULL.\n")
        .call("contact_exist_same_group_name",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_exist_same_group_name() failed(%s).\n",
              ins(storage_type, name), outs(reply))
        .on_success([&] { store_bool(is_exist, reply); })
        .result();
}

// search_param3 follows error_code and goes as the fifth IN.  The count
// lands in a local and reaches *group_count only with the records it counts.
CONTACT_API int contact_search_groups(int storage_type, const char *query, int search_param1, int search_param2,
                                      group_t *group_record_array, int *group_count, int *error_code,
                                      int search_param3)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    ByteArray reply;
    int count = 0;
    int *announced = &count;
    // The caller's array holds CONTACT_GROUP_CAPACITY_MAX records, or as many
    // as search_param2 asked for when that is above 0.
    const int room = search_param2 > 0 && search_param2 < CONTACT_GROUP_CAPACITY_MAX ? search_param2
                                                                                     : CONTACT_GROUP_CAPACITY_MAX;
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been connected.\n")
        .not_null(query, "\n[DodazorEdidud]%s %d: contact_search_groups: The query is NULL.\n")
        .not_null(group_record_array, "\n[DodazorEdidud]%s %d: contact_search_groups: The group_record_array is NULL.\n")
        .not_null(group_count, "\n[DodazorEdidud]%s %d: contact_search_groups: The group_count is NULL.\n")
        .trace("\n[DodazorEdidud]%s: contact_search_groups begin1\n\n")
        .call("contact_search_groups",
              "\n[DodazorEdidud]%s %d: contact_search_groups: org_yora_contact_contact_search_groups() failed(%s).\n",
              ins(storage_type, query, search_param1, search_param2, search_param3), outs(reply, announced))
        .on_success([&](Operation &self) {
            self.at_most(count, room,
                         "\n[DodazorEdidud]%s %d: contact_search_groups: The reply announces %d groups, more than "
                         "the %d the array has room for.\n");
            self.records(reply, count, group_wire::kRecordSize,
                         "\n[DodazorEdidud]%s %d: contact_search_groups: The reply of %u bytes is shorter than %d "
                         "groups.\n",
                         [&](int i, const guint8 *record) { group_codec::decode(record, group_record_array[i]); });
        })
        .on_success([&] { *group_count = count; })
        .trace("\n[DodazorEdidud]%s: contact_search_groups end\n\n")
        .result();
}

// ---- membership: no result code, *error_code is written only on failure ---

CONTACT_API int contact_get_group_members(int storage_type, int group_index, int *contact_index_array,
                                          int *member_count, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    ByteArray reply;
    int count = 0;
    int *announced = &count;
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been connected.\n")
        .not_null(contact_index_array,
                  "\n[DodazorEdidud]%s %d: contact_get_group_members: The contact_index_array is NULL.\n")
        .not_null(member_count, "\n[DodazorEdidud]%s %d: contact_get_group_members: The member_count is NULL.\n")
        .trace("\n[DodazorEdidud]%s: contact_get_group_members begin1\n\n")
        .call("contact_get_group_members",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_get_group_members() failed(%s).\n",
              ins(storage_type, group_index), outs(reply, announced))
        .on_success([&](Operation &self) {
            self.at_most(count, CONTACT_GROUP_MEMBER_MAX,
                         "\n[DodazorEdidud]%s %d: contact_get_group_members: The reply announces %d members, more "
                         "than the %d a group can hold.\n");
            self.records(reply, count, kIndexSize,
                         "\n[DodazorEdidud]%s %d: contact_get_group_members: The reply of %u bytes is shorter than "
                         "%d indices.\n",
                         [&](int i, const guint8 *index) { contact_index_array[i] = contact_wire::read_i32(index, 0); });
        })
        .on_success([&] { *member_count = count; })
        .trace("\n[DodazorEdidud]%s: contact_get_group_members end\n\n")
        .result();
}

CONTACT_API int contact_add_group_member(int storage_type, int group_index, int contact_index, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been connected.\n")
        .call("contact_add_group_member",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_add_group_member() failed(%s).\n",
              ins(storage_type, group_index, contact_index), outs())
        .result();
}

CONTACT_API int contact_delete_group_member(int storage_type, int group_index, int contact_index, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been connected.\n")
        .call("contact_delete_group_member",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_delete_group_member() failed(%s).\n",
              ins(storage_type, group_index, contact_index), outs())
        .result();
}

CONTACT_API int contact_is_group_member_exist(int storage_type, int group_index, int contact_index, bool *is_exist,
                                              int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    ReplyBool reply;
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been connected.\n")
        .not_null(is_exist, "\n[DodazorEdidud]%s %d: The is_exist is NULL.\n")
        .call("contact_is_group_member_exist",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_is_group_member_exist() failed(%s).\n",
              ins(storage_type, group_index, contact_index), outs(reply))
        .on_success([&] { store_bool(is_exist, reply); })
        .result();
}

CONTACT_API int contact_add_some_group_members(int storage_type, int group_index, const int *contact_index_array,
                                               int contact_count, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    ByteArray list;
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been connected.\n")
        .not_null(contact_index_array, "\n[DodazorEdidud]%s %d: The contact_index_array is NULL.\n")
        .in_range(contact_count > 0, "\n[DodazorEdidud]%s %d: The contact_count should more than 0.\n")
        .call("contact_add_some_group_members",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_add_some_group_members() failed(%s).\n",
              ins(storage_type, group_index, packed_indices(op, list, contact_index_array, contact_count),
                  contact_count),
              outs())
        .result();
}

CONTACT_API int contact_delete_some_group_members(int storage_type, int group_index, const int *contact_index_array,
                                                  int contact_count, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    ByteArray list;
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been connected.\n")
        .not_null(contact_index_array, "\n[DodazorEdidud]%s %d: The contact_index_array is NULL.\n")
        .in_range(contact_count > 0, "\n[DodazorEdidud]%s %d: The contact_count should more than 0.\n")
        .call("contact_delete_some_group_members",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_delete_some_group_members() failed(%s).\n",
              ins(storage_type, group_index, packed_indices(op, list, contact_index_array, contact_count),
                  contact_count),
              outs())
        .result();
}

CONTACT_API int contact_delete_all_group_members(int storage_type, int group_index, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been connected.\n")
        .call("contact_delete_all_group_members",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_delete_all_group_members() failed(%s).\n",
              ins(storage_type, group_index), outs())
        .result();
}

} // extern "C"
