// ServiceOptions: how the service was started, handed to every family's
// register function.  A family that needs a setting adds one member here
// with its default, and its command-line option beside the others in
// add_options().
#pragma once

#include <CLI/CLI.hpp>

#include <cstddef>
#include <string>

#include "service-limits.h"

namespace contact_engine {

struct ServiceOptions {
    std::string database_path = "/var/lib/contact-engine/contacts.db";
    std::string locale = "en_US"; // for sorting and matching names
    bool seed_defaults = false;
    std::size_t worker_threads = limits::kWorkerThreads;
    std::string export_directory; // bulk exports; empty: "exports" beside the database
    std::string vcard_directory;  // files of the vCard conversions; empty: "vcards" beside the database
};

inline void add_options(CLI::App &app, ServiceOptions &options)
{
    app.add_option("--database", options.database_path, "SQLite database file (created when missing)")
        ->capture_default_str();
    app.add_option("--locale", options.locale, "locale for sorting and matching names")->capture_default_str();
    app.add_flag("--seed-defaults", options.seed_defaults, "fill an empty database with demo contacts");
    app.add_option("--workers", options.worker_threads, "threads for long work")
        ->capture_default_str()
        ->check(CLI::Range(1, 16));
    app.add_option("--export-directory", options.export_directory,
                   "where bulk exports are written (default: exports/ beside the database)");
    app.add_option("--vcard-directory", options.vcard_directory,
                   "where the vCard conversions write their files (default: vcards/ beside the database)");
}

} // namespace contact_engine
