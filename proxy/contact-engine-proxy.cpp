// The process-wide connection to the contact engine service: one system-bus
// connection, one proxy, and the count of contact_initialize calls.
#include <assert.h>

#include "contact-engine-frame.h"
#include "contact-engine-internal.h"

using contact_frame::log_trace;

extern "C" {

DBusGProxy *g_contact_engine_proxy = nullptr;
int g_contact_dbus_ref_count = 0;

// Obtained by the first successful connect and never released: dbus-glib
// shares the system-bus connection within the process.
static DBusGConnection *g_contact_dbus_connection = nullptr;

// The proxy made by the first successful connect, kept for the life of the
// process; closing only stops using it.  Making a proxy for a name has
// dbus-glib send AddMatch and GetNameOwner on the shared connection, and
// dropping the last one sends RemoveMatch.  Their replies are read off the
// connection only when the application's main context dispatches it, so a
// process that opened and closed the library without running a main loop
// kept three replies per cycle (about 0.9 KB).  Kept, the proxy is set up once.
static DBusGProxy *g_kept_proxy = nullptr;

int _contact_init_dbus_connection(int *)
{
    if (g_kept_proxy != nullptr) {
        g_contact_engine_proxy = g_kept_proxy;
        return 1;
    }
    contact_frame::ErrorHolder error;
    int result = 0;
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    g_type_init();
    G_GNUC_END_IGNORE_DEPRECATIONS
    g_contact_dbus_connection = dbus_g_bus_get(DBUS_BUS_SYSTEM, error.out());
    if (g_contact_dbus_connection == nullptr) {
        contact_frame::log_error(
            __func__, "\n[DodazorEdidud]%s %d: _contact_init_dbus_connection: dbus_g_bus_get() failed().\n");
    } else {
        g_contact_engine_proxy = dbus_g_proxy_new_for_name(g_contact_dbus_connection, contact_frame::kBusName,
                                                           contact_frame::kObjectPath, contact_frame::kInterface);
        assert(g_contact_engine_proxy != ((void *)0));
        g_kept_proxy = g_contact_engine_proxy;
        result = 1;
    }
    return result;
}

int _contact_close_dbus_connection(int *)
{
    if (g_contact_engine_proxy != nullptr) {
        g_contact_engine_proxy = nullptr; // kept in g_kept_proxy
    } else {
        contact_frame::log_error(
            __func__, "\n[DodazorEdidud]%s %d: _contact_close_dbus_connection: The dbus connection has been closed.\n");
    }
    return 1;
}

CONTACT_API int contact_initialize(int *error_code)
{
    g_contact_dbus_ref_count++;
    log_trace(__func__, "\n[DodazorEdidud]%s: >>>>>>>>>>>>g_contact_dbus_ref_count = %d\n", g_contact_dbus_ref_count);
    if (g_contact_engine_proxy != nullptr)
        return 1;
    return _contact_init_dbus_connection(error_code);
}

CONTACT_API int contact_finalize(int *error_code)
{
    g_contact_dbus_ref_count--;
    log_trace(__func__, "\n[DodazorEdidud]%s: >>>>>>>>>>>>g_contact_dbus_ref_count = %d\n", g_contact_dbus_ref_count);
    if (g_contact_dbus_ref_count == 0 && g_contact_engine_proxy != nullptr)
        _contact_close_dbus_connection(error_code);
    return 1;
}

CONTACT_API int contact_open_database(int *error_code)
{
    return contact_initialize(error_code);
}

CONTACT_API int contact_close_database(int *error_code)
{
    return contact_finalize(error_code);
}

CONTACT_API int contact_is_database_opened(bool *opened, int *error_code)
{
    assert(error_code != ((void *)0));
    if (opened == nullptr) {
        *error_code = CONTACT_ERROR_NULL_ARGUMENT;
        contact_frame::log_error(
            __func__, "\n[DodazorEdidud]%s %d: contact_is_database_opened: The opened is NULL.\n");
        return 0;
    }
    *opened = g_contact_engine_proxy != nullptr;
    return 1;
}

} // extern "C"
