// The one place that sends change notifications: the 21 signals are declared
// on the service's object (with their argument names, so introspection shows
// them) and every committed batch the database posts is sent from here, in
// commit order.
//
// Sending takes sdbus-c++'s connection lock, which the bus thread holds
// while it runs a handler; a worker thread that sent while holding the
// database's write lock could wait on a handler that waits on that lock.  So
// the database only posts under its lock, and sends in flush(), after it:
// one thread at a time sends everything posted so far, and a thread that
// finds another sending leaves its batch to it.  (A handler must still never wait
// for a worker's job to finish: the job may be waiting to send.)
#include <deque>
#include <iostream>
#include <mutex>
#include <string>
#include <utility>

#include "core/database.h"
#include "core/method-registry.h"
#include "notifications/notifications.h"

namespace contact_engine {

namespace {

class SignalEmitter final : public Outbox {
public:
    SignalEmitter(sdbus::IObject &object, Database &database) : object_(object), database_(database)
    {
        for (const contact_signals::Description &signal : contact_signals::kSignals)
            object_.registerSignal(kInterface, signal.name, std::string(signal.arity, 'i'),
                                   std::vector<std::string>(signal.args.begin(), signal.args.begin() + signal.arity));
        database_.set_outbox(this);
    }
    ~SignalEmitter() override { database_.set_outbox(nullptr); }
    SignalEmitter(const SignalEmitter &) = delete;
    SignalEmitter &operator=(const SignalEmitter &) = delete;

    void post(std::vector<Notification> batch) noexcept override
    {
        std::lock_guard lock(mutex_);
        for (Notification &notification : batch)
            queue_.push_back(notification);
    }

    void flush() noexcept override
    {
        std::unique_lock lock(mutex_);
        if (sending_)
            return; // the sending thread takes this batch too
        sending_ = true;
        while (!queue_.empty()) {
            std::deque<Notification> batch;
            batch.swap(queue_);
            lock.unlock();
            for (const Notification &notification : batch)
                send(notification);
            lock.lock();
        }
        sending_ = false;
    }

private:
    void send(const Notification &notification) noexcept
    {
        const contact_signals::Description &description = contact_signals::describe(notification.signal);
        try {
            sdbus::Signal signal = object_.createSignal(kInterface, description.name);
            for (std::size_t i = 0; i < description.arity; ++i)
                signal << notification.args[i];
            object_.emitSignal(signal);
        } catch (const std::exception &error) {
            // The change is committed; only its announcement is lost (the
            // bus is going away).
            std::cerr << "contact-engine-service: could not send " << description.name << ": " << error.what()
                      << std::endl;
        }
    }

    sdbus::IObject &object_;
    Database &database_;
    std::mutex mutex_;
    std::deque<Notification> queue_;
    bool sending_ = false;
};

} // namespace

RegisterFamily register_notification_signals;
void register_notification_signals(MethodRegistry &registry, Database &database, const ServiceOptions &)
{
    registry.own<SignalEmitter>(registry.object(), database);
}

} // namespace contact_engine
