// ServiceOptions: how the service was started, handed to every family's
// register function.  A family that needs a setting adds one member here
// with its default, and its command-line option beside the others in
// add_options().
#pragma once

#include <CLI/CLI.hpp>

#include <cstddef>
#include <cstdlib>
#include <string>

#include "core/service-limits.h"

namespace contact_engine {

// The locale the environment names for collation (LC_ALL, LC_COLLATE, LANG),
// without its encoding ("de_DE.UTF-8" -> "de_DE"); "en_US" when none is
// set or it is "C" or "POSIX".
inline std::string locale_from_environment()
{
    for (const char *variable : {"LC_ALL", "LC_COLLATE", "LANG"}) {
        const char *value = std::getenv(variable);
        if (value == nullptr || *value == '\0')
            continue;
        std::string name(value);
        name = name.substr(0, name.find_first_of(".@"));
        if (name == "C" || name == "POSIX")
            break;
        return name;
    }
    return "en_US";
}

// The database when --database is not given: contacts.db in the state
// directory systemd made for the unit ($STATE_DIRECTORY, the first of its
// colon-separated list), else in /var/lib/contact-engine.
inline std::string default_database_path()
{
    const char *state = std::getenv("STATE_DIRECTORY");
    std::string directory = state != nullptr && *state != '\0' ? state : "/var/lib/contact-engine";
    return directory.substr(0, directory.find(':')) + "/contacts.db";
}

struct ServiceOptions {
    std::string database_path = default_database_path();
    std::string locale = locale_from_environment(); // for sorting and matching names
    std::string number_region;                      // for numbers without a country code; "" = the locale's country
    int phone_capacity = limits::kDefaultPhoneCapacity;
    std::size_t seed_contacts = 0; // generated contacts for benchmarks (generated-contacts.h)
    bool seed_defaults = false;
    std::size_t worker_threads = limits::kWorkerThreads;
    std::string sim_card_path;  // empty: the embedded default card
    int sim_load_delay_ms = limits::sim::kLoadDelayMs;
    std::string export_directory; // bulk exports; empty: "exports" beside the database
    std::string vcard_directory;  // files of the vCard conversions; empty: "vcards" beside the database
    std::string hold_long_calls_until; // tests: long calls wait until this file exists (MethodRegistry)
    bool fast_commits = false;    // commits not synced to the disk (see Durability in database.h)
    int key_rebuild_pause_ms = 0; // pause before each chunk of search keys remade after a locale change (tests)
};

inline void add_options(CLI::App &app, ServiceOptions &options)
{
    app.add_option("--database", options.database_path, "SQLite database file (created when missing)")
        ->capture_default_str();
    app.add_option("--locale", options.locale, "locale for sorting and matching names")->capture_default_str();
    app.add_flag("--seed-defaults", options.seed_defaults, "fill an empty database with demo contacts");
    app.add_option("--number-region", options.number_region,
                   "two-letter country of phone numbers written without their country code (default: the locale's)");
    app.add_option("--phone-capacity", options.phone_capacity, "contacts the phone storage holds")
        ->capture_default_str()
        ->check(CLI::Range(1, limits::kMaxPhoneCapacity));
    app.add_option("--seed-contacts", options.seed_contacts,
                   "fill an empty phone storage with this many generated contacts (benchmarks)")
        ->check(CLI::Range(std::size_t(0), std::size_t(limits::kMaxPhoneCapacity)));
    app.add_option("--workers", options.worker_threads, "threads for long work")
        ->capture_default_str()
        ->check(CLI::Range(1, 16));
    app.add_option("--sim", options.sim_card_path,
                   "JSON file describing the SIM card; changes to the SIM storages are written back to it "
                   "(default: a built-in card)");
    app.add_option("--sim-load-delay-ms", options.sim_load_delay_ms,
                   "pause before each SIM entry while the phonebook loads, as a card reader takes")
        ->capture_default_str()
        ->check(CLI::Range(0, 10000));
    app.add_option("--export-directory", options.export_directory,
                   "where bulk exports are written (default: exports/ beside the database)");
    app.add_option("--hold-long-calls-until", options.hold_long_calls_until,
                   "for tests: every long call waits on its worker until this file exists (at most a minute)");
    app.add_option("--vcard-directory", options.vcard_directory,
                   "where the vCard conversions write their files (default: vcards/ beside the database)");
    app.add_flag("--fast-commits", options.fast_commits,
                 "do not sync each commit to the disk: faster single changes, but a power cut can lose the last "
                 "acknowledged ones (never the database)");
    app.add_option("--key-rebuild-pause-ms", options.key_rebuild_pause_ms,
                   "pause before each chunk of search keys remade after a change of locale (tests)")
        ->capture_default_str()
        ->check(CLI::Range(0, 600000));
}

} // namespace contact_engine
