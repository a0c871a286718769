// Settings of the phonebook: sixteen getters and setters, one remote call
// each.  They run with or without contact_initialize: every one tests its
// arguments first, then uses the open connection or opens one for its own
// call and closes it again afterwards, success or failure
// (temporary_connection).  The count of contact_initialize calls is never
// touched.  The service defines the values; the library passes them on.
#include <assert.h>
#include <string.h>

#include <cstddef>

#include "contact-engine-frame.h"

using contact_frame::ins;
using contact_frame::Operation;
using contact_frame::outs;
using contact_frame::ReplyString;

namespace {

// Copies a returned string and its NUL into a caller buffer of `size` bytes,
// reading no further than the string's own end.  A string that does not fit
// (the service refuses to store one, so only a foreign service sends it) is
// cut to size - 1 bytes, so the buffer always holds a terminated string.
void copy_bounded(char *buffer, std::size_t size, const ReplyString &reply)
{
    const char *text = reply.get() != nullptr ? reply.get() : "";
    const std::size_t length = strnlen(text, size);
    if (length < size) {
        memcpy(buffer, text, length + 1);
    } else {
        memcpy(buffer, text, size - 1);
        buffer[size - 1] = '\0';
    }
}

constexpr std::size_t kOwnNameBuffer = CONTACT_OWN_NAME_MAX + 1;     // 65
constexpr std::size_t kOwnNumberBuffer = CONTACT_OWN_NUMBER_MAX + 1; // 41

} // namespace

extern "C" {

CONTACT_API int contact_get_contact_module_sync_status(int *sync_module, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op
        .not_null(sync_module, "\n[DodazorEdidud]%s %d: contact_get_contact_module_sync_status: The sync_module is NULL.\n")
        .temporary_connection("\n[DodazorEdidud]%s %d: contact_get_contact_module_sync_status: "
                              "_contact_init_dbus_connection() failed().\n")
        .call("contact_get_contact_module_sync_status",
              "\n[DodazorEdidud]%s %d: contact_get_contact_module_sync_status: "
              "org_yora_contact_get_contact_module_sync_status() failed().\n",
              ins(), outs(sync_module))
        .result();
}

CONTACT_API int contact_set_contact_module_sync_status(int sync_module, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op
        .temporary_connection("\n[DodazorEdidud]%s %d: contact_set_contact_module_sync_status: "
                              "_contact_init_dbus_connection() failed().\n")
        .call("contact_set_contact_module_sync_status",
              "\n[DodazorEdidud]%s %d: contact_set_contact_module_sync_status: "
              "org_yora_contact_set_contact_module_sync_status() failed().\n",
              ins(sync_module), outs())
        .result();
}

CONTACT_API int contact_get_view_storage_preference(int *storage_preference, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op
        .not_null(storage_preference,
                  "\n[DodazorEdidud]%s %d: contact_get_view_storage_preference: The storage_preference is NULL.\n")
        .temporary_connection("\n[DodazorEdidud]%s %d: contact_get_view_storage_preference: "
                              "_contact_init_dbus_connection() failed().\n")
        .call("contact_get_view_storage_preference",
              "\n[DodazorEdidud]%s %d: contact_get_view_storage_preference: "
              "org_yora_contact_contact_get_view_storage_preference() failed().\n",
              ins(), outs(storage_preference))
        .result();
}

CONTACT_API int contact_set_view_storage_preference(int storage_preference, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op
        .temporary_connection("\n[DodazorEdidud]%s %d: contact_set_view_storage_preference: "
                              "_contact_init_dbus_connection() failed().\n")
        .call("contact_set_view_storage_preference",
              "\n[DodazorEdidud]%s %d: contact_set_view_storage_preference: "
              "org_yora_contact_contact_set_view_storage_preference() failed().\n",
              ins(storage_preference), outs())
        .result();
}

CONTACT_API int contact_get_storage_preference(int *storage_preference, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op
        .not_null(storage_preference,
                  "\n[DodazorEdidud]%s %d: contact_get_storage_preference: The storage_preference is NULL.\n")
        .temporary_connection(
            "\n[DodazorEdidud]%s %d: contact_get_storage_preference: _contact_init_dbus_connection() failed().\n")
        .call("contact_get_storage_preference",
              "\n[DodazorEdidud]%s %d: contact_get_storage_preference: "
              "org_yora_contact_contact_get_storage_preference() failed().\n",
              ins(), outs(storage_preference))
        .result();
}

CONTACT_API int contact_set_storage_preference(int storage_preference, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op
        .temporary_connection(
            "\n[DodazorEdidud]%s %d: contact_set_storage_preference: _contact_init_dbus_connection() failed().\n")
        .call("contact_set_storage_preference",
              "\n[DodazorEdidud]%s %d: contact_set_storage_preference: "
              "org_yora_contact_contact_set_storage_preference() failed().\n",
              ins(storage_preference), outs())
        .result();
}

CONTACT_API int contact_get_own_number(char *name, char *phone_number, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    // Both strings are the call's own, released when the operation returns.
    ReplyString returned_name;
    ReplyString returned_number;
    return op.not_null(name, "\n[DodazorEdidud]%s %d:  The name is NULL.\n")
        .not_null(phone_number, "\n[DodazorEdidud]%s %d:  The phone_number is NULL.\n")
        .temporary_connection(
            "\n[DodazorEdidud]%s %d: contact_get_own_number: _contact_init_dbus_connection() failed().\n")
        .call("contact_get_own_number", "\n[DodazorEdidud]%s %d: org_yora_contact_contact_get_own_number() failed().\n",
              ins(), outs(returned_name, returned_number))
        .on_success([&] {
            copy_bounded(name, kOwnNameBuffer, returned_name);
            copy_bounded(phone_number, kOwnNumberBuffer, returned_number);
        })
        .result();
}

CONTACT_API int contact_set_own_number(const char *name, const char *phone_number, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op.not_null(name, "\n[DodazorEdidud]%s %d:  The name is NULL.\n")
        .not_null(phone_number, "\n[DodazorEdidud]%s %d:  The phone_number is NULL.\n")
        .temporary_connection(
            "\n[DodazorEdidud]%s %d: contact_set_own_number: _contact_init_dbus_connection() failed().\n")
        .call("contact_set_own_number",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_contact_set_own_number() failed().\n",
              ins(name, phone_number), outs())
        .result();
}

CONTACT_API int contact_get_current_activated_msisdn_index(int *msisdn_index, int *error_code)
{
    // Both pointers are one precondition: a NULL msisdn_index is the
    // caller's programming error, like a NULL error_code.
    assert(error_code != ((void *)0) && msisdn_index != ((void *)0));
    Operation op(__func__, error_code);
    return op.temporary_connection("\n[DodazorEdidud]%s %d: _contact_init_dbus_connection() failed().\n")
        .call("contact_get_current_activated_msisdn_index",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_get_current_activated_msisdn_index() failed().\n",
              ins(), outs(msisdn_index))
        .result();
}

CONTACT_API int contact_set_current_activated_msisdn_index(int msisdn_index, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op
        .temporary_connection("\n[DodazorEdidud]%s %d: contact_set_current_activated_msisdn_index: "
                              "_contact_init_dbus_connection() failed().\n")
        .call("contact_set_current_activated_msisdn_index",
              "\n[DodazorEdidud]%s %d: contact_set_current_activated_msisdn_index: "
              "org_yora_contact_contact_set_current_activated_msisdn_index() failed().\n",
              ins(msisdn_index), outs())
        .result();
}

// The copy-flag messages name the operations by their shorter old names.
CONTACT_API int contact_get_copy_flag_for_sim_change(int *copy_flag, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op.not_null(copy_flag, "\n[DodazorEdidud]%s %d: contact_get_copy_flag: The copy_flag is NULL.\n")
        .temporary_connection(
            "\n[DodazorEdidud]%s %d: contact_get_copy_flag: _contact_init_dbus_connection() failed().\n")
        .call("contact_get_copy_flag_for_sim_change",
              "\n[DodazorEdidud]%s %d: contact_get_copy_flag: org_yora_contact_contact_get_copy_flag() failed().\n",
              ins(), outs(copy_flag))
        .result();
}

CONTACT_API int contact_set_copy_flag_for_sim_change(int copy_flag, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op
        .temporary_connection(
            "\n[DodazorEdidud]%s %d: contact_set_copy_flag: _contact_init_dbus_connection() failed().\n")
        .call("contact_set_copy_flag_for_sim_change",
              "\n[DodazorEdidud]%s %d: contact_set_copy_flag: org_yora_contact_contact_set_copy_flag() failed().\n",
              ins(copy_flag), outs())
        .result();
}

CONTACT_API int contact_get_sort_type(int *sort_type, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op.not_null(sort_type, "\n[DodazorEdidud]%s %d: contact_get_sort_type: The sort_type is NULL.\n")
        .temporary_connection(
            "\n[DodazorEdidud]%s %d: contact_get_sort_type: _contact_init_dbus_connection() failed().\n")
        .call("contact_get_sort_type",
              "\n[DodazorEdidud]%s %d: contact_get_sort_type: org_yora_contact_contact_get_sort_type() failed().\n",
              ins(), outs(sort_type))
        .result();
}

CONTACT_API int contact_set_sort_type(int sort_type, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op
        .temporary_connection(
            "\n[DodazorEdidud]%s %d: contact_set_sort_type: _contact_init_dbus_connection() failed().\n")
        .call("contact_set_sort_type",
              "\n[DodazorEdidud]%s %d: contact_set_sort_type: org_yora_contact_contact_set_sort_type() failed().\n",
              ins(sort_type), outs())
        .result();
}

CONTACT_API int contact_get_display_order(int *display_order, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op.not_null(display_order, "\n[DodazorEdidud]%s %d: contact_get_display_order: The display_order is NULL.\n")
        .temporary_connection(
            "\n[DodazorEdidud]%s %d: contact_get_display_order: _contact_init_dbus_connection() failed().\n")
        .call("contact_get_display_order",
              "\n[DodazorEdidud]%s %d: contact_get_display_order: org_yora_contact_contact_get_display_order() "
              "failed().\n",
              ins(), outs(display_order))
        .result();
}

CONTACT_API int contact_set_display_order(int display_order, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op
        .temporary_connection(
            "\n[DodazorEdidud]%s %d: contact_set_display_order: _contact_init_dbus_connection() failed().\n")
        .call("contact_set_display_order",
              "\n[DodazorEdidud]%s %d: contact_set_display_order: org_yora_contact_contact_set_display_order() "
              "failed().\n",
              ins(display_order), outs())
        .result();
}

} // extern "C"
