// ClientWatch: learns from the bus daemon's NameOwnerChanged signal when a
// client's unique name goes away, and tells every family that asked
// (MethodRegistry::on_client_vanished), so server-side objects a client
// owned (result sets, bulk jobs) do not outlive it.
#pragma once

#include <sdbus-c++/sdbus-c++.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace contact_engine {

class ClientWatch {
public:
    using Callback = std::function<void(const std::string &unique_name)>;

    // Subscribes on `connection`; callbacks run on its event-loop thread.
    explicit ClientWatch(sdbus::IConnection &connection);
    ClientWatch(const ClientWatch &) = delete;
    ClientWatch &operator=(const ClientWatch &) = delete;

    void on_client_vanished(Callback callback) { callbacks_.push_back(std::move(callback)); }

private:
    void name_owner_changed(const std::string &name, const std::string &old_owner, const std::string &new_owner);

    std::vector<Callback> callbacks_;
    std::unique_ptr<sdbus::IProxy> daemon_;
};

} // namespace contact_engine
