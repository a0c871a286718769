// What every command of contact-engine-tool uses: the failure a command
// reports, the check that turns a library result into one, the library
// session, the contact holder and printer, the shared --storage option,
// and the shape of a command family.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdio>
#include <stdexcept>
#include <string>

#include "contact-engine.h"

namespace tool {

// A command's failure: main prints it on stderr and exits 1.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Runs one library call; a result of 0 becomes a Failure naming it.
template <class Call> int check(const char *what, Call call)
{
    int error_code = 0;
    if (!call(&error_code))
        throw Failure(std::string(what) + " failed with error code " + std::to_string(error_code));
    return error_code;
}

// The library's connection for the length of one command.
class Session {
public:
    Session();
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
};

// A contact received from the library; frees the sections it allocated.
struct Contact {
    contact_t record{};
    Contact() = default;
    Contact(const Contact &) = delete;
    Contact &operator=(const Contact &) = delete;
    ~Contact();
};

template <std::size_t N> void copy_text(char (&field)[N], const std::string &value)
{
    std::snprintf(field, N, "%s", value.c_str());
}

void print_contact(const contact_t &c);

// `--storage N` on a command that addresses contacts of one storage.
void add_storage_option(CLI::App *command, int &storage);

// One family of commands.  `add` puts the family's subcommands on the app;
// `run` runs the one that was parsed and returns the tool's exit code.
// Commands that open the library's session get it from main; the others
// reach the bus on their own.
struct ToolFamily {
    void (*add)(CLI::App &app);
    int (*run)();
    bool opens_session;
};

} // namespace tool
