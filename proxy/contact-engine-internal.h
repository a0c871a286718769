// Internal declarations shared by the library's families.  Nothing here is
// exported from libcontact-engine.so.1.
#pragma once

#include <dbus/dbus-glib.h>
#include <glib.h>

#include "contact-engine.h"

extern "C" {
// The one proxy for the service's object; NULL while no connection is open.
extern DBusGProxy *g_contact_engine_proxy;
// contact_initialize calls not yet matched by contact_finalize; not clamped.
extern int g_contact_dbus_ref_count;

int _contact_init_dbus_connection(int *error_code);
int _contact_close_dbus_connection(int *error_code);
int _get_error_code_by_gerror(GError *error);

// The byte-array form of a whole contact.  contact_deserialize returns 0,
// leaving the record untouched, when the array is shorter than the counts
// in its fixed part announce or a section cannot be allocated.
int contact_serialize(GArray *array, const contact_t *record);
int contact_deserialize(contact_t *record, GArray *array);
}
