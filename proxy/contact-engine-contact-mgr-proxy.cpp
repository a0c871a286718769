// Contacts, my contact and the contact status queries: one remote call each,
// and the packer and unpacker of the contact record's byte-array form.
#include <string.h>

#include <array>

#include "contact-engine-frame.h"
#include "contact-record-codec.h"

using contact_frame::ByteArray;
using contact_frame::ins;
using contact_frame::kPackedRecord;
using contact_frame::Operation;
using contact_frame::outs;
using contact_frame::ReplyBool;
using contact_frame::ReplyString;
using contact_frame::Text;

namespace {

struct GArraySink {
    GArray *array;
    void append(const void *data, std::size_t length) { g_array_append_vals(array, data, guint(length)); }
};

// Trace lines of the unpacker, one per section in byte-array order.
constexpr std::array<const char *, contact_wire::kSections.size()> kSectionTraces{{
    "\n[DodazorEdidud]%s: has phone_info,cnt = %d\n",
    "\n[DodazorEdidud]%s: has email_info,cnt = %d\n",
    "\n[DodazorEdidud]%s: has postal_info,cnt = %d\n",
    "\n[DodazorEdidud]%s: has note,len = %d\n",
    "\n[DodazorEdidud]%s: has about_len = %d\n",
    "\n[DodazorEdidud]%s: has sns,cnt = %d\n",
    "\n[DodazorEdidud]%s: has im,cnt = %d\n",
    "\n[DodazorEdidud]%s: has presence_text,len = %d\n",
}};

struct UnpackTrace {
    static constexpr const char *kFunction = "contact_deserialize";
    void fixed(const contact_t &record) const
    {
        contact_frame::log_trace(kFunction, "\n[DodazorEdidud]%s: sizeof contact_t %d phone_info %d\n\n",
                                 int(contact_wire::kFixedSize), record.phone_info_cnt * int(contact_wire::kPhoneInfoSize));
    }
    void section(std::size_t position, int count) const
    {
        contact_frame::log_trace(kFunction, kSectionTraces[position], count);
    }
    void id_data() const { contact_frame::log_trace(kFunction, "\n[DodazorEdidud]%s: has contact_id_data\n"); }
};

// Unpacks a contact reply into the caller's record, or rejects a reply that
// does not hold what its counts announce (the record is then untouched).
void unpack_contact_reply(Operation &operation, Text malformed_message, const ByteArray &reply, contact_t *record)
{
    if (reply.get() == nullptr || !contact_deserialize(record, reply.get()))
        operation.fail(CONTACT_ERROR_MALFORMED_REPLY, malformed_message, length(reply));
}

void store_bool(bool *target, const ReplyBool &reply)
{
    *target = reply.value ? 1 : 0;
}

// The status queries without arguments: the method's result code, left in
// *error_code, is the whole answer.  Log lines carry the operation's own
// name; each message the line it is logged from: the connection message
// this helper's, the failure message the operation's call of the helper.
int status_query(const char *operation, int *error_code, Text method, const char *failed_message)
{
    Operation op(operation, error_code);
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been connected.\n")
        .call(method, failed_message, ins(), outs(error_code))
        .result();
}

} // namespace

extern "C" {

int contact_serialize(GArray *array, const contact_t *record)
{
    GArraySink sink{array};
    contact_codec::serialize(sink, *record);
    return 1;
}

int contact_deserialize(contact_t *record, GArray *array)
{
    const auto outcome = contact_codec::deserialize(reinterpret_cast<const std::uint8_t *>(array->data), array->len,
                                                    *record, UnpackTrace{});
    return outcome == contact_codec::Unpacked::Ok ? 1 : 0;
}

// ---- contacts --------------------------------------------------------------

CONTACT_API int contact_add_contact(int storage_type, contact_t *contact_record, int *index, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op.connected("\n[DodazorEdidud]%s %d: contact_add_contact: The dbus connection hasn't been opened.\n")
        .not_null(contact_record, "\n[DodazorEdidud]%s %d: contact_add_contact: The contact_record is NULL.\n")
        .not_null(index, "\n[DodazorEdidud]%s %d: contact_add_contact: The index is NULL.\n")
        .pack(contact_record)
        .call("contact_add_contact",
              "\n[DodazorEdidud]%s %d: contact_add_contact: org_yora_contact_contact_add_contact() failed(%s).\n",
              ins(storage_type, kPackedRecord), outs(index, error_code))
        .on_success([&] {
            contact_record->index = *index;
            contact_record->storage_type = storage_type;
        })
        .result();
}

CONTACT_API int contact_insert_contact(int storage_type, int index, contact_t *contact_record, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op.connected("\n[DodazorEdidud]%s %d: contact_insert_contact: The dbus connection hasn't been opened.\n")
        .not_null(contact_record, "\n[DodazorEdidud]%s %d: contact_insert_contact: The contact_record is NULL.\n")
        .pack(contact_record)
        .call("contact_insert_contact",
              "\n[DodazorEdidud]%s %d: contact_insert_contact: org_yora_contact_contact_insert_contact() failed(%s).\n",
              ins(storage_type, index, kPackedRecord), outs(error_code))
        .on_success([&] {
            contact_record->index = index;
            contact_record->storage_type = storage_type;
        })
        .result();
}

CONTACT_API int contact_update_contact(int storage_type, int index, contact_t *contact_record, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    op.connected("\n[DodazorEdidud]%s %d: contact_update_contact: The dbus connection hasn't been opened.\n")
        .not_null(contact_record, "\n[DodazorEdidud]%s %d: contact_update_contact: The contact_record is NULL.\n")
        .trace("\n[DodazorEdidud]%s:  storage_type %d index %d\n", storage_type, index)
        .pack(contact_record);
    return op.trace("\n[DodazorEdidud]%s:  array_size %d\n", int(op.packed_length()))
        .call("contact_update_contact",
              "\n[DodazorEdidud]%s %d: contact_update_contact: org_yora_contact_contact_update_contact() failed(%s).\n",
              ins(storage_type, index, kPackedRecord), outs(error_code))
        .on_success([&] {
            contact_record->index = index;
            contact_record->storage_type = storage_type;
        })
        .result();
}

CONTACT_API int contact_get_contact(int storage_type, int index, contact_t *contact_record, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    ByteArray reply;
    return op.trace("\n[DodazorEdidud]%s:  begin.\n")
        .connected("\n[DodazorEdidud]%s %d: contact_get_contact: The dbus connection hasn't been opened.\n")
        .not_null(contact_record, "\n[DodazorEdidud]%s %d: contact_get_contact: The contact_record is NULL.\n")
        .call("contact_get_contact",
              "\n[DodazorEdidud]%s %d: contact_get_contact: org_yora_contact_contact_get_contact() failed(%s).\n",
              ins(storage_type, index), outs(reply, error_code))
        .on_success([&](Operation &self) {
            unpack_contact_reply(self,
                                 "\n[DodazorEdidud]%s %d: contact_get_contact: The reply of %u bytes does not hold the "
                                 "contact it announces.\n",
                                 reply, contact_record);
            self.trace("\n[DodazorEdidud]%s: *************contact_get_contact contact_record->display_name = "
                       "%s*************\n",
                       contact_record->display_name)
                .trace("\n[DodazorEdidud]%s: end\n");
        })
        .result();
}

CONTACT_API int contact_delete_contact(int storage_type, int index, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op.connected("\n[DodazorEdidud]%s %d: contact_delete_contact: The dbus connection hasn't been opened.\n")
        .call("contact_delete_contact",
              "\n[DodazorEdidud]%s %d: contact_delete_contact: org_yora_contact_contact_delete_contact() failed(%s).\n",
              ins(storage_type, index), outs(error_code))
        .result();
}

CONTACT_API int contact_delete_all_contacts(int storage_type, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op
        .connected("\n[DodazorEdidud]%s %d: contact_delete_all_contacts: The dbus connection hasn't been opened.\n")
        .call("contact_delete_all_contacts",
              "\n[DodazorEdidud]%s %d: contact_delete_all_contacts: org_yora_contact_contact_delete_all_contacts() "
              "failed(%s).\n",
              ins(storage_type), outs(error_code))
        .result();
}

CONTACT_API int contact_is_contact_exist(int storage_type, int index, bool *is_exist, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    ReplyBool reply;
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been connected.\n")
        .not_null(is_exist, "\n[DodazorEdidud]%s %d: The parameter is_exist is NULL.\n")
        .call("contact_is_contact_exist",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_is_contact_exist() failed(%s).\n",
              ins(storage_type, index), outs(reply, error_code))
        .on_success([&] { store_bool(is_exist, reply); })
        .trace("\n[DodazorEdidud]%s: ***************is_exist  = %d***********\n\n", is_exist ? *is_exist : 0)
        .result();
}

CONTACT_API int contact_get_contact_count(int storage_type, int *record_count, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    op.connected("\n[DodazorEdidud]%s %d: contact_get_contact_count: The dbus connection hasn't been opened.\n")
        .not_null(record_count, "\n[DodazorEdidud]%s %d: contact_get_contact_count: The record_count is NULL.\n")
        .call("contact_get_contact_count",
              "\n[DodazorEdidud]%s %d: contact_get_contact_count: org_yora_contact_contact_get_contact_count() "
              "failed(%s).\n",
              ins(storage_type), outs(record_count, error_code));
    return op.trace("\n[DodazorEdidud]%s: successful! storage_type = %d and record_count = %d\n", storage_type,
                    op.result() ? *record_count : 0)
        .result();
}

CONTACT_API int contact_get_max_contact_count(int storage_type, int *max_record_count, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    op.connected("\n[DodazorEdidud]%s %d: contact_get_max_contact_count: The dbus connection hasn't been opened.\n")
        .not_null(max_record_count,
                  "\n[DodazorEdidud]%s %d: contact_get_max_contact_count: The max_record_count is NULL.\n")
        .call("contact_get_max_contact_count",
              "\n[DodazorEdidud]%s %d: contact_get_max_contact_count: org_yora_contact_contact_get_max_contact_count() "
              "failed(%s).\n",
              ins(storage_type), outs(max_record_count, error_code));
    return op.trace("\n[DodazorEdidud]%s: successful! storage_type = %d and max_record_count = %d\n",
                    storage_type, op.result() ? *max_record_count : 0)
        .result();
}

CONTACT_API int contact_get_empty_contact_index(int storage_type, int *empty_index, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op
        .connected("\n[DodazorEdidud]%s %d: contact_get_empty_contact_index: The dbus connection hasn't been opened.\n")
        .not_null(empty_index,
                  "\n[DodazorEdidud]%s %d: contact_get_empty_contact_index: The empty_index is NULL.\n")
        .call("contact_get_empty_contact_index",
              "\n[DodazorEdidud]%s %d: contact_get_empty_contact_index: "
              "org_yora_contact_contact_get_empty_contact_index() failed(%s).\n",
              ins(storage_type), outs(empty_index, error_code))
        .result();
}

CONTACT_API int contact_get_all_contact_indices(int storage_type, int *contact_index_array, int *contact_count,
                                                int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    ByteArray reply;
    // The count lands here first: the caller's count is written only with
    // the indices it counts.
    int count = 0;
    int *announced = &count;
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been connected.\n")
        .not_null(contact_index_array,
                  "\n[DodazorEdidud]%s %d: contact_get_all_contact_indices: The contact_index_array is NULL.\n")
        .not_null(contact_count,
                  "\n[DodazorEdidud]%s %d: contact_get_all_contact_indices: The contact_count is NULL.\n")
        .trace("\n[DodazorEdidud]%s: contact_get_all_contact_indices begin1\n\n")
        .call("contact_get_all_contact_indices",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_get_all_contact_indices() failed(%s).\n",
              ins(storage_type), outs(reply, announced))
        .on_success([&](Operation &self) {
            self.records(reply, count, 4,
                         "\n[DodazorEdidud]%s %d: contact_get_all_contact_indices: The reply of %u bytes is shorter "
                         "than %d indices.\n",
                         [&](int i, const guint8 *index) { contact_index_array[i] = contact_wire::read_i32(index, 0); });
        })
        .on_success([&] { *contact_count = count; })
        .trace("\n[DodazorEdidud]%s: contact_get_all_contact_indices end\n\n")
        .result();
}

CONTACT_API int contact_get_field_value(int storage_type, int index, int field_id, char *field_value, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    ReplyString reply;
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been opened.\n")
        .not_null(field_value, "\n[DodazorEdidud]%s %d: The field_value is NULL.\n")
        .call("contact_get_field_value",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_get_field_value() failed().\n",
              ins(storage_type, index, field_id), outs(reply))
        .on_success([&] {
            // A value of 2048 characters or more is cut to 2047 so that the
            // buffer always holds a terminated string.
            strncpy(field_value, reply.get() != nullptr ? reply.get() : "", CONTACT_FIELD_VALUE_MAX);
            field_value[CONTACT_FIELD_VALUE_MAX - 1] = '\0';
        })
        .result();
}

CONTACT_API int contact_change_field_value(int storage_type, int index, int field_id, const char *field_value,
                                           int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been opened.\n")
        .not_null(field_value, "\n[DodazorEdidud]%s %d: The field_value is NULL.\n")
        .call("contact_change_field_value",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_change_field_value() failed().\n",
              ins(storage_type, index, field_id, field_value), outs())
        .result();
}

CONTACT_API int contact_increase_frequency(int storage_type, int index, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op
        .connected("\n[DodazorEdidud]%s %d: contact_increase_frequency: The dbus connection hasn't been opened.\n")
        .call("contact_increase_frequency",
              "\n[DodazorEdidud]%s %d: contact_increase_frequency: org_yora_contact_contact_increase_frequency() "
              "failed().\n",
              ins(storage_type, index), outs())
        .result();
}

CONTACT_API int contact_decrease_frequency(int storage_type, int index, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op
        .connected("\n[DodazorEdidud]%s %d: contact_decrease_frequency: The dbus connection hasn't been opened.\n")
        .call("contact_decrease_frequency",
              "\n[DodazorEdidud]%s %d: contact_decrease_frequency: org_yora_contact_contact_decrease_frequency() "
              "failed().\n",
              ins(storage_type, index), outs())
        .result();
}

CONTACT_API int contact_is_fdn_phone_number_exist(const char *sznumber, bool *is_exist, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    ReplyBool reply;
    return op
        .connected("\n[DodazorEdidud]%s %d: contact_is_fdn_phone_number_exist: The dbus connection hasn't been opened.\n")
        .not_null(sznumber, "\n[DodazorEdidud]%s %d: contact_is_fdn_phone_number_exist: The sznumber is NULL.\n")
        .not_null(is_exist, "\n[DodazorEdidud]%s %d: contact_is_fdn_phone_number_exist: The is_exist is NULL.\n")
        .call("contact_is_fdn_phone_number_exist",
              "\n[DodazorEdidud]%s %d: contact_is_fdn_phone_number_exist: "
              "org_yora_contact_contact_is_fdn_phone_number_exist() failed(%s).\n",
              ins(sznumber), outs(reply))
        .on_success([&] { store_bool(is_exist, reply); })
        .result();
}

// ---- my contact ------------------------------------------------------------

CONTACT_API int contact_get_my_contact(contact_t *my_contact, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    ByteArray reply;
    return op.connected("\n[DodazorEdidud]%s %d: contact_get_my_contact: The dbus connection hasn't been opened.\n")
        .not_null(my_contact, "\n[DodazorEdidud]%s %d: contact_get_my_contact: The my_contact is NULL.\n")
        .call("contact_get_my_contact",
              "\n[DodazorEdidud]%s %d: contact_get_my_contact: org_yora_contact_contact_get_my_contact() failed(%s).\n",
              ins(), outs(reply, error_code))
        .on_success([&](Operation &self) {
            unpack_contact_reply(self,
                                 "\n[DodazorEdidud]%s %d: contact_get_my_contact: The reply of %u bytes does not hold "
                                 "the contact it announces.\n",
                                 reply, my_contact);
        })
        .result();
}

CONTACT_API int contact_insert_my_contact(contact_t *my_contact, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op
        .connected("\n[DodazorEdidud]%s %d: contact_insert_my_contact: The dbus connection hasn't been opened.\n")
        .not_null(my_contact, "\n[DodazorEdidud]%s %d: contact_insert_my_contact: The my_contact is NULL.\n")
        .pack(my_contact)
        .call("contact_insert_my_contact",
              "\n[DodazorEdidud]%s %d: contact_insert_my_contact: org_yora_contact_contact_insert_my_contact() "
              "failed(%s).\n",
              ins(kPackedRecord), outs(error_code))
        .result();
}

CONTACT_API int contact_update_my_contact(contact_t *my_contact, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op
        .connected("\n[DodazorEdidud]%s %d: contact_update_my_contact: The dbus connection hasn't been opened.\n")
        .not_null(my_contact, "\n[DodazorEdidud]%s %d: contact_update_my_contact: The my_contact is NULL.\n")
        .pack(my_contact)
        .call("contact_update_my_contact",
              "\n[DodazorEdidud]%s %d: contact_update_my_contact: org_yora_contact_contact_update_my_contact() "
              "failed(%s).\n",
              ins(kPackedRecord), outs(error_code))
        .result();
}

CONTACT_API int contact_delete_my_contact(int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op
        .connected("\n[DodazorEdidud]%s %d: contact_delete_my_contact: The dbus connection hasn't been opened.\n")
        .call("contact_delete_my_contact",
              "\n[DodazorEdidud]%s %d: contact_delete_my_contact: org_yora_contact_contact_delete_my_contact() "
              "failed(%s).\n",
              ins(), outs(error_code))
        .result();
}

// ---- status queries: the answer is the result code -------------------------

CONTACT_API int contact_set_lbs_position(int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    return status_query(__func__, error_code, "contact_set_lbs_position",
                        "\n[DodazorEdidud]%s %d: org_yora_contact_contact_set_lbs_position() failed(%s).\n");
}

CONTACT_API int contact_is_contact_track_me_stop(int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    return status_query(__func__, error_code, "contact_is_contact_track_me_stop",
                        "\n[DodazorEdidud]%s %d: org_yora_contact_contact_is_contact_track_me_stop() failed(%s).\n");
}

CONTACT_API int contact_is_contact_track_me_init(int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    return status_query(__func__, error_code, "contact_is_contact_track_me_init",
                        "\n[DodazorEdidud]%s %d: org_yora_contact_contact_is_contact_track_me_init() failed(%s).\n");
}

CONTACT_API int contact_is_contact_me_im_account_setting(int value1, int value2, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been connected.\n")
        .call("contact_is_contact_me_im_account_setting",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_is_contact_me_im_account_setting() failed(%s).\n",
              ins(value1, value2), outs(error_code))
        .result();
}

CONTACT_API int contact_drm_expired(int value1, const char *text, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    // The bus cannot carry a NULL string; an absent text is sent as "".
    return op.connected("\n[DodazorEdidud]%s %d: contact_drm_expired: The dbus connection hasn't been opened.\n")
        .call("contact_drm_expired",
              "\n[DodazorEdidud]%s %d: contact_drm_expired: org_yora_contact_contact_drm_expired() failed(%s).\n",
              ins(value1, text != nullptr ? text : ""), outs(error_code))
        .result();
}

} // extern "C"
