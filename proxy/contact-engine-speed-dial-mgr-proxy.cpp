// Speed dials: seven operations on the service's speed-dial table, one
// remote call each, on the required connection.  Every method ends its
// reply with the service's result code, written straight into *error_code.
// Records cross the bus as 16-byte speed_dial_t, encoded and decoded by the
// offsets of contact-engine-speed-dial-wire.h; a reply shorter than the
// records it announces is refused with code 33 and nothing is written.
#include <cstddef>
#include <cstdint>

#include "contact-engine-frame.h"
#include "contact-engine-speed-dial-wire.h"
#include "contact-engine-wire.h"
#include "speed-dial-layout.h"

using contact_frame::ByteArray;
using contact_frame::ins;
using contact_frame::Operation;
using contact_frame::outs;

namespace {

namespace wire = speed_dial_wire;
using contact_wire::read_i32;
using contact_wire::write_i32;

void encode(const speed_dial_t &record, std::uint8_t *bytes)
{
    write_i32(bytes, wire::offset::index, record.index);
    write_i32(bytes, wire::offset::storage_type, record.storage_type);
    write_i32(bytes, wire::offset::contact_index, record.contact_index);
    write_i32(bytes, wire::offset::phone_position, record.phone_position);
}

speed_dial_t decode(const std::uint8_t *bytes)
{
    return speed_dial_t{read_i32(bytes, wire::offset::index), read_i32(bytes, wire::offset::storage_type),
                        read_i32(bytes, wire::offset::contact_index), read_i32(bytes, wire::offset::phone_position)};
}

// The argument array of contact_set_speed_dial: the record's 16 bytes as they
// stand.  Nothing is built for a NULL record (the operation refuses it
// before the call).
GArray *packed_speed_dial(ByteArray &array, const speed_dial_t *record)
{
    if (record == nullptr)
        return nullptr;
    std::uint8_t bytes[wire::kSize];
    encode(*record, bytes);
    array.reset(contact_frame::new_byte_array());
    g_array_append_vals(array.get(), bytes, wire::kSize);
    return array.get();
}

} // namespace

extern "C" {

CONTACT_API int contact_get_speed_dial(int index, speed_dial_t *speed_dial, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    ByteArray reply;
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been connected.\n")
        .not_null(speed_dial, "\n[DodazorEdidud]%s %d: contact_get_speed_dial: The parameter speed_dial is NULL.\n")
        .call("contact_get_speed_dial",
              "\n[DodazorEdidud]%s %d: contact_get_speed_dial: org_yora_contact_contact_get_speed_dial() failed(%s).\n",
              ins(index), outs(reply, error_code))
        .on_success([&](Operation &self) {
            self.records(reply, 1, wire::kSize,
                         "\n[DodazorEdidud]%s %d: contact_get_speed_dial: The reply of %u bytes is shorter than %d "
                         "speed dial.\n",
                         [&](int, const guint8 *record) { *speed_dial = decode(record); });
        })
        .result();
}

CONTACT_API int contact_set_speed_dial(int index, speed_dial_t *speed_dial, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    ByteArray argument;
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been connected.\n")
        .not_null(speed_dial, "\n[DodazorEdidud]%s %d: contact_set_speed_dial: The parameter speed_dial is NULL.\n")
        .call("contact_set_speed_dial",
              "\n[DodazorEdidud]%s %d: contact_set_speed_dial: contact_set_speed_dial() failed(%s).\n",
              ins(index, packed_speed_dial(argument, speed_dial)), outs(error_code))
        .on_success([&] { speed_dial->index = index; })
        .result();
}

CONTACT_API int contact_delete_speed_dial(int index, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been connected.\n")
        .call("contact_delete_speed_dial",
              "\n[DodazorEdidud]%s %d: contact_delete_speed_dial: org_yora_contact_contact_delete_speed_dial() "
              "failed(%s).\n",
              ins(index), outs(error_code))
        .result();
}

CONTACT_API int contact_get_speed_dial_count(int *speed_dial_count, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been connected.\n")
        .not_null(speed_dial_count,
                  "\n[DodazorEdidud]%s %d: contact_get_speed_dial_count: The speed_dial_count is NULL.\n")
        .call("contact_get_speed_dial_count",
              "\n[DodazorEdidud]%s %d: contact_get_speed_dial_count: org_yora_contact_contact_get_speed_dial_count() "
              "failed(%s).\n",
              ins(), outs(speed_dial_count, error_code))
        .result();
}

CONTACT_API int contact_get_empty_speed_dial_index(int *empty_index, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been connected.\n")
        .not_null(empty_index, "\n[DodazorEdidud]%s %d: contact_get_empty_speed_dial_index: The empty_index is NULL.\n")
        .call("contact_get_empty_speed_dial_index",
              "\n[DodazorEdidud]%s %d: contact_get_empty_speed_dial_index: "
              "org_yora_contact_contact_get_empty_speed_dial_index() failed(%s).\n",
              ins(), outs(empty_index, error_code))
        .result();
}

CONTACT_API int contact_delete_all_speed_dials(int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been connected.\n")
        .call("contact_delete_all_speed_dials",
              "\n[DodazorEdidud]%s %d: contact_delete_all_speed_dials: "
              "org_yora_contact_contact_delete_all_speed_dials() failed(%s).\n",
              ins(), outs(error_code))
        .result();
}

CONTACT_API int contact_search_speed_dials(const char *query, int search_param1, int search_param2,
                                           speed_dial_t *speed_dial_array, int *speed_dial_count, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    ByteArray reply;
    // The count lands here first: the caller's count is written only with
    // the records it counts.
    int count = 0;
    int *reply_count = &count;
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been connected.\n")
        .not_null(query, "\n[DodazorEdidud]%s %d: contact_search_speed_dials: The query is NULL.\n")
        .not_null(speed_dial_array,
                  "\n[DodazorEdidud]%s %d: contact_search_speed_dials: The speed_dial_array is NULL.\n")
        .not_null(speed_dial_count,
                  "\n[DodazorEdidud]%s %d: contact_search_speed_dials: The speed_dial_count is NULL.\n")
        .call("contact_search_speed_dials",
              "\n[DodazorEdidud]%s %d: contact_search_speed_dials: org_yora_contact_contact_search_speed_dials(() "
              "failed(%s).\n",
              ins(query, search_param1, search_param2), outs(reply, reply_count, error_code))
        .on_success([&](Operation &self) {
            // A negative count announces no records; it is no answer a
            // search can give, so it is refused like a short reply.
            if (count < 0) {
                self.fail(CONTACT_ERROR_MALFORMED_REPLY,
                          "\n[DodazorEdidud]%s %d: contact_search_speed_dials: The reply announces %d speed dials.\n",
                          count);
                return;
            }
            // The caller's array has room for CONTACT_SPEED_DIAL_COUNT_MAX
            // records, the most dials there are.
            self.at_most(count, CONTACT_SPEED_DIAL_COUNT_MAX,
                         "\n[DodazorEdidud]%s %d: contact_search_speed_dials: The reply announces %d speed dials, "
                         "more than the %d the array has room for.\n");
            self.records(reply, count, wire::kSize,
                         "\n[DodazorEdidud]%s %d: contact_search_speed_dials: The reply of %u bytes is shorter than "
                         "%d speed dials.\n",
                         [&](int i, const guint8 *record) { speed_dial_array[i] = decode(record); });
        })
        .on_success([&] { *speed_dial_count = count; })
        .result();
}

} // extern "C"
