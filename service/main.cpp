// contact-engine-service: owns "com.quorvel.contact.engine" on the system
// bus (DBUS_SYSTEM_BUS_ADDRESS, when set, names it) and serves the contact
// database at "/org/yora/contact".
#include <CLI/CLI.hpp>
#include <sdbus-c++/sdbus-c++.h>
#include <signal.h>

#include <cstdio>
#include <iostream>
#include <thread>

#include "database.h"
#include "default-contacts.h"
#include "method-registry.h"

namespace contact_engine {

const char *error_name(ErrorCode code)
{
    switch (code) {
    case kOk: return "Ok";
    case kInvalidArgument: return "InvalidArgument";
    case kUnknownStorage: return "UnknownStorage";
    case kNoContact: return "NoContact";
    case kIndexOutOfRange: return "IndexOutOfRange";
    case kStorageFull: return "StorageFull";
    case kMalformedRecord: return "MalformedRecord";
    case kInvalidUtf8: return "InvalidUtf8";
    case kUnknownField: return "UnknownField";
    case kValueTooLong: return "ValueTooLong";
    case kIndexInUse: return "IndexInUse";
    case kNoMyContact: return "NoMyContact";
    case kMyContactExists: return "MyContactExists";
    case kReadOnlyField: return "ReadOnlyField";
    case kDatabaseError: return "DatabaseError";
    case kWrongStorageKind: return "WrongStorageKind";
    case kVCardSyntax: return "VCardSyntax";
    case kVCardBadEncoding: return "VCardBadEncoding";
    case kVCardUnknownCharset: return "VCardUnknownCharset";
    case kVCardTooLarge: return "VCardTooLarge";
    case kVCardUnsupportedVersion: return "VCardUnsupportedVersion";
    case kVCardUnreadable: return "VCardUnreadable";
    }
    return "Failed";
}

} // namespace contact_engine

int main(int argc, char **argv)
{
    using namespace contact_engine;

    CLI::App app{"The contact engine service: serves the phone's contacts on the system bus"};
    std::string database_path = "/var/lib/contact-engine/contacts.db";
    bool seed = false;
    app.add_option("--database", database_path, "SQLite database file (created when missing)")
        ->capture_default_str();
    app.add_flag("--seed-defaults", seed, "fill an empty database with demo contacts");
    CLI11_PARSE(app, argc, argv);

    // SIGTERM and SIGINT are taken by one thread, which ends the event loop.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    try {
        Database database(database_path);
        if (seed)
            seed_default_contacts(database);

        auto connection = sdbus::createSystemBusConnection();
        auto object = sdbus::createObject(*connection, kObjectPath);
        MethodRegistry registry(*object);
        register_contact_methods(registry, database);
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
