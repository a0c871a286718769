#include "core/client-watch.h"

namespace contact_engine {

ClientWatch::ClientWatch(sdbus::IConnection &connection)
    : daemon_(sdbus::createProxy(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus"))
{
    daemon_->uponSignal("NameOwnerChanged")
        .onInterface("org.freedesktop.DBus")
        .call([this](const std::string &name, const std::string &old_owner, const std::string &new_owner) {
            name_owner_changed(name, old_owner, new_owner);
        });
    daemon_->finishRegistration();
}

void ClientWatch::name_owner_changed(const std::string &name, const std::string &old_owner,
                                     const std::string &new_owner)
{
    // A unique name (":1.42") is never handed on: it leaves once, with its
    // connection.  Well-known names changing hands are not clients leaving.
    if (name.empty() || name[0] != ':' || old_owner.empty() || !new_owner.empty())
        return;
    for (const Callback &callback : callbacks_)
        callback(name);
}

} // namespace contact_engine
