// Result sets: query cursors that live in the service.  The library keeps
// nothing per set; each operation is one remote call, and the contacts it
// fetches are fixed parts of the contact record (no variable sections),
// decoded by the record's offset table into the caller's memory.
#include <algorithm>

#include "contact-engine-frame.h"
#include "contact-record-codec.h"

using contact_frame::ByteArray;
using contact_frame::ins;
using contact_frame::Operation;
using contact_frame::outs;

namespace {

// A fixed part as the library hands it out: the section references that the
// service wrote are the service's own and are left NULL, with their counts
// as sent, so a caller cannot follow or free them by mistake.
void copy_fixed_part(const guint8 *wire, contact_t *record)
{
    contact_codec::decode_fixed(wire, *record);
}

} // namespace

extern "C" {

CONTACT_API int contact_result_set_create(int create_param1, const char *query, int create_param2, int *result_set_id,
                                          int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been connected.\n")
        .not_null(result_set_id, "\n[DodazorEdidud]%s %d: The parameter result_set_id is NULL.\n")
        .not_null(query, "\n[DodazorEdidud]%s %d: The parameter query is NULL.\n")
        .call("contact_result_set_create",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_result_set_create() failed(%s).\n",
              ins(create_param1, query, create_param2), outs(result_set_id))
        .result();
}

CONTACT_API int contact_result_set_create_by_search_type(int create_param1, int search_type, const char *query,
                                                         int create_param2, int *result_set_id, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been connected.\n")
        .not_null(result_set_id, "\n[DodazorEdidud]%s %d: The parameter result_set_id is NULL.\n")
        .not_null(query, "\n[DodazorEdidud]%s %d: The parameter query is NULL.\n")
        .call("contact_result_set_create_by_search_type",
              "\n[DodazorEdidud]%s %d: org_yora_contact_result_set_create_by_search_type() failed(%s).\n",
              ins(create_param1, search_type, query, create_param2), outs(result_set_id))
        .result();
}

CONTACT_API int contact_result_set_create_by_group(int create_param1, int group_param1, int group_param2,
                                                   const char *query, int create_param2, int *result_set_id,
                                                   int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been connected.\n")
        .not_null(result_set_id, "\n[DodazorEdidud]%s %d: The parameter result_set_id is NULL.\n")
        .not_null(query, "\n[DodazorEdidud]%s %d: The parameter query is NULL.\n")
        .call("contact_result_set_create_by_group",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_result_set_create_by_group() failed(%s).\n",
              ins(create_param1, group_param1, group_param2, query, create_param2), outs(result_set_id))
        .result();
}

CONTACT_API int contact_result_set_get_cursor_index(int result_set_id, int *cursor_index, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been connected.\n")
        .not_null(cursor_index, "\n[DodazorEdidud]%s %d: The parameter cursor_index is NULL.\n")
        .call("contact_result_set_get_cursor_index",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_result_set_get_cursor_index() failed(%s).\n",
              ins(result_set_id), outs(cursor_index))
        .result();
}

CONTACT_API int contact_result_set_get_contact_count(int result_set_id, int *record_count, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been connected.\n")
        .not_null(record_count, "\n[DodazorEdidud]%s %d: The parameter record_count is NULL.\n")
        .call("contact_result_set_get_contact_count",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_result_set_get_contact_count() failed(%s).\n",
              ins(result_set_id), outs(record_count))
        .result();
}

CONTACT_API int contact_result_set_move_cursor(int result_set_id, int cursor_param, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been connected.\n")
        .call("contact_result_set_move_cursor",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_result_set_move_cursor() failed(%s).\n",
              ins(result_set_id, cursor_param), outs())
        .result();
}

CONTACT_API int contact_result_set_get_current_contact(int result_set_id, contact_t *contact, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    ByteArray reply;
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been connected.\n")
        .not_null(contact, "\n[DodazorEdidud]%s %d: The parameter contact is NULL.\n")
        .call("contact_result_set_get_current_contact",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_result_set_get_current_contact() failed(%s).\n",
              ins(result_set_id), outs(reply))
        .on_success([&](Operation &self) {
            // Only the first record of the reply is read; a reply without a
            // whole one is refused and *contact stays as it was.
            self.records(reply, 1, contact_wire::kFixedSize,
                         "\n[DodazorEdidud]%s %d: The reply of %u bytes does not hold %d contact.\n",
                         [&](int, const guint8 *record) { copy_fixed_part(record, contact); });
        })
        .result();
}

CONTACT_API int contact_result_set_get_contacts(int result_set_id, int request_count, int fetch_param,
                                                contact_t *contact_array, int *contact_count, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    ByteArray reply;
    int delivered = 0; // the service's count, kept here until the reply is accepted
    int *delivered_out = &delivered;
    int copied = 0;      // what the caller's array receives: at most request_count
    bool called = false; // the checks passed and the call was made
    bool malformed = false;
    op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been connected.\n")
        .not_null(contact_array, "\n[DodazorEdidud]%s %d: The parameter contact_array is NULL.\n")
        .not_null(contact_count, "\n[DodazorEdidud]%s %d: The parameter contact_count is NULL.\n")
        .on_success([&] { called = true; })
        .call("contact_result_set_get_contacts",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_result_set_get_contacts() failed(%s).\n",
              ins(result_set_id, request_count, fetch_param), outs(reply, delivered_out))
        .on_success([&](Operation &self) {
            // The caller's array has room for request_count records; a
            // service that sends more has the rest dropped, and is logged.
            copied = std::max(std::min(delivered, request_count), 0);
            self.records(reply, delivered, contact_wire::kFixedSize,
                         "\n[DodazorEdidud]%s %d: The reply of %u bytes is shorter than %d contacts.\n",
                         [&](int i, const guint8 *record) {
                             if (i < copied)
                                 copy_fixed_part(record, &contact_array[i]);
                         });
            malformed = self.result() == 0;
        })
        .on_success([&] { *contact_count = copied; });
    if (op.result() && delivered > copied)
        contact_frame::log_error(__func__,
                                 "\n[DodazorEdidud]%s %d: The service sent %d contacts for %d asked; only %d were "
                                 "copied.\n",
                                 delivered, request_count, copied);
    // A batch shorter than asked is code 32, also after a failed call, which
    // left *contact_count as the caller set it.  A malformed reply keeps its 33.
    if (called && !malformed && request_count > *contact_count) {
        *error_code = CONTACT_ERROR_SHORT_BATCH;
        contact_frame::log_trace(__func__, "\n[DodazorEdidud]%s: %d contacts asked, %d delivered.\n", request_count,
                                 *contact_count);
        return 0;
    }
    return op.result();
}

CONTACT_API int contact_result_set_destory(int result_set_id, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been connected.\n")
        .call("contact_result_set_destory",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_result_set_destory() failed(%s).\n",
              ins(result_set_id), outs())
        .result();
}

} // extern "C"
