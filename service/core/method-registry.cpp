#include "core/method-registry.h"

#include "core/client-watch.h"

namespace contact_engine {

namespace {
// Handlers run on the bus thread, one at a time; the name is per thread so
// that a worker never sees a caller that is not its own.
thread_local std::string t_caller;
} // namespace

const std::string &current_caller()
{
    return t_caller;
}

MethodRegistry::CallScope::CallScope(const sdbus::IObject &object)
{
    const sdbus::Message *message = object.getCurrentlyProcessedMessage();
    t_caller = message ? message->getSender() : std::string();
}

MethodRegistry::CallScope::~CallScope()
{
    t_caller.clear();
}

void MethodRegistry::on_client_vanished(std::function<void(const std::string &)> callback)
{
    clients_.on_client_vanished(std::move(callback));
}

} // namespace contact_engine
