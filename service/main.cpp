// contact-engine-service: owns "com.quorvel.contact.engine" on the system
// bus (DBUS_SYSTEM_BUS_ADDRESS, when set, names it) and serves the contact
// database at "/org/yora/contact".
#include <CLI/CLI.hpp>
#include <sdbus-c++/sdbus-c++.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <iostream>
#include <thread>

#include "core/caller-files.h"
#include "core/client-watch.h"
#include "core/database.h"
#include "core/method-registry.h"
#include "core/service-options.h"

namespace contact_engine {

// The families: each registers its methods here with one line, which
// declares its register function and calls it.
void register_families(MethodRegistry &registry, Database &database, const ServiceOptions &options)
{
    // First: the families' changes announce themselves through it.
    RegisterFamily register_notification_signals; register_notification_signals(registry, database, options);
    RegisterFamily register_contact_methods; register_contact_methods(registry, database, options);
    RegisterFamily register_settings_methods; register_settings_methods(registry, database, options);
    RegisterFamily register_speed_dial_methods; register_speed_dial_methods(registry, database, options);
    RegisterFamily register_group_methods; register_group_methods(registry, database, options);
    RegisterFamily register_sim_methods; register_sim_methods(registry, database, options);
    RegisterFamily register_result_set_methods; register_result_set_methods(registry, database, options);
    RegisterFamily register_bulk_methods; register_bulk_methods(registry, database, options);
    RegisterFamily register_vcard_methods; register_vcard_methods(registry, database, options);
}

// The thread that takes SIGTERM and SIGINT (blocked in every thread) and
// ends the event loop.  However main's block is left - the loop also ends,
// with an exception, when the bus goes away - the thread is woken and
// joined as this object goes, before the workers and the database close.
class StopSignals {
public:
    StopSignals(sdbus::IConnection &connection, const sigset_t &signals)
        : signals_(signals), thread_([this, &connection] {
              int signal = 0;
              sigwait(&signals_, &signal);
              if (!leaving_)
                  connection.leaveEventLoop();
          })
    {
    }
    ~StopSignals()
    {
        leaving_ = true;
        pthread_kill(thread_.native_handle(), SIGTERM);
        thread_.join();
    }
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;

private:
    sigset_t signals_;
    std::atomic<bool> leaving_{false};
    std::thread thread_;
};

} // namespace contact_engine

int main(int argc, char **argv)
{
    using namespace contact_engine;

    // Whatever the service makes (database, its -wal and -shm, directories)
    // is its own user's alone unless it says otherwise.
    umask(077);

    CLI::App app{"The contact engine service: serves the phone's contacts on the system bus"};
    ServiceOptions options;
    add_options(app, options);
    CLI11_PARSE(app, argc, argv);

    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    int status = 0;
    try {
        Database database(options.database_path, options.fast_commits ? Durability::Fast : Durability::Durable);
        auto connection = sdbus::createSystemBusConnection();
        ClientWatch clients(*connection);
        BusCallers callers(clients);
        auto object = sdbus::createObject(*connection, kObjectPath);
        MethodRegistry registry(*object, clients, options.worker_threads);
        if (!options.hold_long_calls_until.empty())
            registry.hold_long_calls_until(options.hold_long_calls_until);
        register_families(registry, database, options);
        object->finishRegistration();
        connection->requestName(kBusName);

        StopSignals stopper(*connection, stop_signals);
        std::cout << "contact-engine-service: ready" << std::endl;
        try {
            connection->enterEventLoop();
        } catch (const sdbus::Error &error) {
            // Every call was handled to its end on this thread: its change is
            // committed or rolled back.  The workers finish as the registry
            // goes; a non-zero status has systemd start the service again.
            std::cerr << "contact-engine-service: lost the bus connection (" << error.getMessage()
                      << "); stopping" << std::endl;
            status = 1;
        }
    } catch (const std::exception &error) {
        std::cerr << "contact-engine-service: " << error.what() << std::endl;
        return 1;
    }
    return status;
}
