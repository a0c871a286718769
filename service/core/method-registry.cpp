#include "core/method-registry.h"

#include <unistd.h>

#include <chrono>
#include <thread>

#include "core/client-watch.h"

namespace contact_engine {

namespace {
// Handlers run on the bus thread, one at a time; the name is per thread so
// that a worker never sees a caller that is not its own.
thread_local std::string t_caller;
thread_local const CallerIdentity *t_identity = nullptr;
} // namespace

const std::string &current_caller()
{
    return t_caller;
}

const CallerIdentity *current_call_identity()
{
    return t_identity;
}

MethodRegistry::CallScope::CallScope(const sdbus::IObject &object)
{
    const sdbus::Message *message = object.getCurrentlyProcessedMessage();
    t_caller = message ? message->getSender() : std::string();
}

MethodRegistry::CallScope::CallScope(const CallContext &context)
{
    t_caller = context.caller;
    t_identity = &context.identity;
}

MethodRegistry::CallScope::~CallScope()
{
    t_caller.clear();
    t_identity = nullptr;
}

void MethodRegistry::hand_over(const char *method, std::function<void(UserQuotas::Hold &)> run,
                               std::function<void(const sdbus::Error &)> refuse)
{
    auto context = std::make_shared<CallContext>();
    auto hold = std::make_shared<UserQuotas::Hold>();
    try {
        const CallScope scope(object_);
        guard(method, [&] {
            context->caller = current_caller();
            context->identity = current_caller_identity();
            *hold = quotas_.take(context->identity.uid, Quota::LongCalls);
        });
    } catch (const sdbus::Error &error) {
        refuse(error);
        return;
    }
    workers_.run([this, context, hold, run = std::move(run)] {
        const CallScope scope(*context);
        wait_while_held();
        run(*hold);
    });
}

void MethodRegistry::wait_while_held() const
{
    if (hold_path_.empty())
        return;
    // A test hook: at most a minute, so a test that never releases the
    // call cannot keep the service from stopping.
    for (int waited = 0; waited < 6000 && ::access(hold_path_.c_str(), F_OK) != 0; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void MethodRegistry::on_client_vanished(std::function<void(const std::string &)> callback)
{
    clients_.on_client_vanished(std::move(callback));
}

} // namespace contact_engine
