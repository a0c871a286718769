// contact-engine-service: owns "com.quorvel.contact.engine" on the system
// bus (DBUS_SYSTEM_BUS_ADDRESS, when set, names it) and serves the contact
// database at "/org/yora/contact".
#include <CLI/CLI.hpp>
#include <sdbus-c++/sdbus-c++.h>
#include <signal.h>

#include <cstdio>
#include <iostream>
#include <thread>

#include "client-watch.h"
#include "database.h"
#include "method-registry.h"
#include "service-options.h"

namespace contact_engine {

// The families: each registers its methods here with one line, which
// declares its register function and calls it.
void register_families(MethodRegistry &registry, Database &database, const ServiceOptions &options)
{
    RegisterFamily register_contact_methods; register_contact_methods(registry, database, options);
    RegisterFamily register_bulk_methods; register_bulk_methods(registry, database, options);
}

} // namespace contact_engine

int main(int argc, char **argv)
{
    using namespace contact_engine;

    CLI::App app{"The contact engine service: serves the phone's contacts on the system bus"};
    ServiceOptions options;
    add_options(app, options);
    CLI11_PARSE(app, argc, argv);

    // SIGTERM and SIGINT are taken by one thread, which ends the event loop.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    try {
        Database database(options.database_path);
        auto connection = sdbus::createSystemBusConnection();
        ClientWatch clients(*connection);
        auto object = sdbus::createObject(*connection, kObjectPath);
        MethodRegistry registry(*object, clients, options.worker_threads);
        register_families(registry, database, options);
        object->finishRegistration();
        connection->requestName(kBusName);

        std::thread stopper([&] {
            int signal = 0;
            sigwait(&stop_signals, &signal);
            connection->leaveEventLoop();
        });
        std::cout << "contact-engine-service: ready" << std::endl;
        connection->enterEventLoop();
        // The loop also ends when the bus goes away; wake the stopper then.
        pthread_kill(stopper.native_handle(), SIGTERM);
        stopper.join();
    } catch (const std::exception &error) {
        std::cerr << "contact-engine-service: " << error.what() << std::endl;
        return 1;
    }
    return 0;
}
