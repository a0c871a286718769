// Bulk operations: jobs that the service runs over time, named by the
// handle it gives out.  The library keeps no table of handles and tests
// none; the service refuses a handle it did not give out, or one of another
// client, with a code.
#include <stddef.h>
#include <string.h>

#include <cstdint>

#include "contact-engine-frame.h"
#include "contact-engine-wire.h"

using contact_frame::ByteArray;
using contact_frame::ins;
using contact_frame::Operation;
using contact_frame::outs;

namespace {

// bulk_operation_status_t on the wire: six little-endian ints.  The status
// is decoded by offset, so the same bytes land in the same fields on every
// host; on a 32-bit target the struct is that layout byte for byte.
namespace status_layout {
inline constexpr std::size_t kSize = 24;
inline constexpr std::size_t kState = 0;
inline constexpr std::size_t kDone = 4;
inline constexpr std::size_t kTotal = 8;
inline constexpr std::size_t kFailed = 12;
inline constexpr std::size_t kProgress = 16;
inline constexpr std::size_t kLastError = 20;
} // namespace status_layout

static_assert(sizeof(bulk_operation_status_t) == status_layout::kSize);
static_assert(offsetof(bulk_operation_status_t, state) == status_layout::kState);
static_assert(offsetof(bulk_operation_status_t, done) == status_layout::kDone);
static_assert(offsetof(bulk_operation_status_t, total) == status_layout::kTotal);
static_assert(offsetof(bulk_operation_status_t, failed) == status_layout::kFailed);
static_assert(offsetof(bulk_operation_status_t, progress) == status_layout::kProgress);
static_assert(offsetof(bulk_operation_status_t, last_error) == status_layout::kLastError);

void decode_status(const guint8 *bytes, bulk_operation_status_t *status)
{
    status->state = contact_wire::read_i32(bytes, status_layout::kState);
    status->done = contact_wire::read_i32(bytes, status_layout::kDone);
    status->total = contact_wire::read_i32(bytes, status_layout::kTotal);
    status->failed = contact_wire::read_i32(bytes, status_layout::kFailed);
    status->progress = contact_wire::read_i32(bytes, status_layout::kProgress);
    status->last_error = contact_wire::read_i32(bytes, status_layout::kLastError);
}

} // namespace

extern "C" {

CONTACT_API int contact_bulk_operation_open(int open_param1, int open_param2, int *bulk_op_handle, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op
        .connected("\n[DodazorEdidud]%s %d: contact_bulk_operation_open: The dbus connection hasn't been opened.\n")
        .not_null(bulk_op_handle, "\n[DodazorEdidud]%s %d: The parameter bulk_op_handle is NULL.\n")
        .call("contact_bulk_operation_open",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_bulk_operation_open() failed(%s).\n",
              ins(open_param1, open_param2), outs(bulk_op_handle))
        .result();
}

CONTACT_API int contact_bulk_operation_exec(int bulk_op_handle, int *operation_state, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op
        .connected("\n[DodazorEdidud]%s %d: contact_bulk_operation_exec: The dbus connection hasn't been opened.\n")
        .not_null(operation_state, "\n[DodazorEdidud]%s %d: The parameter operation_state is NULL.\n")
        .call("contact_bulk_operation_exec",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_bulk_operation_exec() failed(%s).\n",
              ins(bulk_op_handle), outs(operation_state))
        .result();
}

CONTACT_API int contact_bulk_operation_close(int bulk_op_handle, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been opened.\n")
        .call("contact_bulk_operation_close",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_bulk_operation_close() failed(%s).\n",
              ins(bulk_op_handle), outs())
        .result();
}

CONTACT_API int contact_bulk_operation_set_thumb(int bulk_op_handle, const int *thumb_record, int count,
                                                 int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been opened.\n")
        .not_null(thumb_record, "\n[DodazorEdidud]%s %d: The thumb_record is NULL.\n")
        .in_range(count > 0, "\n[DodazorEdidud]%s %d: The count > 0.\n")
        .in_range(count <= G_MAXINT / 4, "\n[DodazorEdidud]%s %d: The count is too large for one byte array.\n");
    if (!op.result())
        return 0;
    // The thumbs go as count * 4 bytes, each int little-endian as the
    // service reads them.
    ByteArray thumbs(contact_frame::new_byte_array());
    g_array_set_size(thumbs.get(), guint(count) * 4u);
    auto *out = reinterpret_cast<std::uint8_t *>(thumbs.get()->data);
    for (int i = 0; i < count; ++i)
        contact_wire::write_i32(out, std::size_t(i) * 4, thumb_record[i]);
    return op
        .call("contact_bulk_operation_set_thumb",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_bulk_operation_set_thumb() failed(%s).\n",
              ins(bulk_op_handle, thumbs.get(), count), outs())
        .result();
}

CONTACT_API int contact_bulk_operation_get_info(int bulk_op_handle, bulk_operation_status_t *operation_status,
                                                int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    contact_frame::log_trace(__func__, "\n[DodazorEdidud]%s:  begin.\n");
    Operation op(__func__, error_code);
    ByteArray reply;
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been opened.\n")
        .not_null(operation_status, "\n[DodazorEdidud]%s %d: The operation_status is NULL.\n")
        .call("contact_bulk_operation_get_info",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_bulk_operation_get_info() failed(%s).\n",
              ins(bulk_op_handle), outs(reply))
        .records(reply, 1, status_layout::kSize,
                 "\n[DodazorEdidud]%s %d: The status reply of %u bytes is shorter than %d status of 24 bytes.\n",
                 [&](int, const guint8 *status) { decode_status(status, operation_status); })
        .trace("\n[DodazorEdidud]%s: end\n")
        .result();
}

CONTACT_API int contact_bulk_operation_resume(int bulk_op_handle, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op
        .connected("\n[DodazorEdidud]%s %d: contact_bulk_operation_resume: The dbus connection hasn't been opened.\n")
        .call("contact_bulk_operation_resume",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_bulk_operation_resume() failed(%s).\n",
              ins(bulk_op_handle), outs())
        .result();
}

CONTACT_API int contact_bulk_operation_stop(int bulk_op_handle, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op
        .connected("\n[DodazorEdidud]%s %d: contact_bulk_operation_stop: The dbus connection hasn't been opened.\n")
        .call("contact_bulk_operation_stop",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_bulk_operation_stop() failed(%s).\n",
              ins(bulk_op_handle), outs())
        .result();
}

CONTACT_API int contact_bulk_operation_stop_all(int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op
        .connected("\n[DodazorEdidud]%s %d: contact_bulk_operation_stop_all: The dbus connection hasn't been opened.\n")
        .call("contact_bulk_operation_stop_all", "\n[DodazorEdidud]%s %d: contact_bulk_operation_stop_all() failed(%s).\n",
              ins(), outs())
        .result();
}

CONTACT_API int contact_bulk_operation_close_all(int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op
        .connected("\n[DodazorEdidud]%s %d: contact_bulk_operation_close_all: The dbus connection hasn't been opened.\n")
        .call("contact_bulk_operation_close_all",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_bulk_operation_close_all() failed(%s).\n", ins(),
              outs())
        .result();
}

CONTACT_API int contact_is_bulk_operation_check(int *is_bulk_operation, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been connected.\n")
        .call("contact_is_bulk_operation_check",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_is_bulk_operation_check() failed(%s).\n", ins(),
              outs(is_bulk_operation, error_code))
        .result();
}

} // extern "C"
