// The service's own bulk interface, com.quorvel.contact.engine.Bulk, from a
// client of the library: the file an import reads, the file an export
// wrote, and taking over an interrupted job.  The calls go over the same
// shared system-bus connection as the library's (dbus_g_bus_get), so the
// service sees the client that opened the job.  Each returns 1 or 0 and
// leaves the service's code in *error_code on failure, as the library does.
#pragma once

#include <dbus/dbus-glib.h>

#include <cstdlib>
#include <string>

#include "contact-engine-bus.h"

namespace bulk_client {

inline constexpr const char *kInterface = "com.quorvel.contact.engine.Bulk";

class Call {
public:
    Call()
    {
        GError *error = nullptr;
        DBusGConnection *bus = dbus_g_bus_get(DBUS_BUS_SYSTEM, &error);
        if (bus == nullptr) {
            g_error_free(error);
            return;
        }
        proxy_ = dbus_g_proxy_new_for_name(bus, CONTACT_ENGINE_BUS_NAME, CONTACT_ENGINE_OBJECT_PATH, kInterface);
    }
    ~Call()
    {
        if (proxy_ != nullptr)
            g_object_unref(proxy_);
        if (error_ != nullptr)
            g_error_free(error_);
    }
    Call(const Call &) = delete;
    Call &operator=(const Call &) = delete;

    DBusGProxy *proxy() const { return proxy_; }
    GError **error() { return &error_; }
    // The code at the start of the service's error text, as the library maps it.
    int finish(gboolean sent, int *error_code)
    {
        if (sent)
            return 1;
        *error_code = proxy_ == nullptr ? 9 : error_ != nullptr ? int(std::strtol(error_->message, nullptr, 10)) : 0;
        return 0;
    }
    std::string message() const { return error_ != nullptr ? error_->message : ""; }
    void tell(std::string *reason) const
    {
        if (reason != nullptr)
            *reason = message();
    }

private:
    DBusGProxy *proxy_ = nullptr;
    GError *error_ = nullptr;
};

// The vCard file an import job reads; the service opens it as this client.
inline int set_source(int handle, const std::string &path, int *error_code, std::string *reason = nullptr)
{
    Call call;
    const gboolean sent = call.proxy() != nullptr &&
                          dbus_g_proxy_call(call.proxy(), "set_source", call.error(), G_TYPE_INT, handle,
                                            G_TYPE_STRING, path.c_str(), G_TYPE_INVALID, G_TYPE_INVALID);
    call.tell(reason);
    return call.finish(sent, error_code);
}

// The file an executed export job writes.
inline int target_file(int handle, std::string &path, int *error_code, std::string *reason = nullptr)
{
    Call call;
    char *reply = nullptr;
    const gboolean sent = call.proxy() != nullptr &&
                          dbus_g_proxy_call(call.proxy(), "target_file", call.error(), G_TYPE_INT, handle,
                                            G_TYPE_INVALID, G_TYPE_STRING, &reply, G_TYPE_INVALID);
    if (sent) {
        path = reply;
        g_free(reply);
    }
    call.tell(reason);
    return call.finish(sent, error_code);
}

// Takes over a job whose client left or that ran when the service stopped;
// it is then stopped, to be resumed.
inline int adopt(int handle, int *state, int *error_code, std::string *reason = nullptr)
{
    Call call;
    const gboolean sent = call.proxy() != nullptr &&
                          dbus_g_proxy_call(call.proxy(), "adopt", call.error(), G_TYPE_INT, handle, G_TYPE_INVALID,
                                            G_TYPE_INT, state, G_TYPE_INVALID);
    call.tell(reason);
    return call.finish(sent, error_code);
}

// Properties an import left out of the cards it stored (values it could
// not read); the cards themselves count as done.
inline int skipped_properties(int handle, int *count, int *error_code)
{
    Call call;
    const gboolean sent = call.proxy() != nullptr &&
                          dbus_g_proxy_call(call.proxy(), "skipped_properties", call.error(), G_TYPE_INT, handle,
                                            G_TYPE_INVALID, G_TYPE_INT, count, G_TYPE_INVALID);
    return call.finish(sent, error_code);
}

} // namespace bulk_client
