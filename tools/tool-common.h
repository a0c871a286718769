// What every command of contact-engine-tool uses: the failures a command
// reports, the check that turns a library result into one, the library's
// log lines, the library session, the contact holder and printer, JSON
// output, the shared --storage and --json options, and the shape of a
// command family.
#pragma once

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <stdexcept>
#include <string>

#include "contact-engine.h"

namespace tool {

// A failed operation: main prints it on stderr and exits 1.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A command line the tool cannot carry out as given: main prints it on
// stderr and exits 2, as for the parser's own errors.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The library's log lines.  take() installs the tool's handler: the lines
// stay off the terminal unless `verbose` (1: errors, 2: traces too), and the
// handler keeps the reason of the first failure since the last forget():
// the service's own error text of a failed call ("12: no contact at index
// 7"), else the library's own message.
namespace library_log {
void take(int verbose);
void forget();
// The failure of `what` as the tool prints it: "<what> failed with error
// code <code>: <reason>".  Without a code (the vCard conversions report
// none), the code at the start of the service's text is used, if any.
std::string failure(const char *what, const int *code);
} // namespace library_log

// A failure of `what` whose service text the caller got itself (the Bulk
// interface, which the library does not log).
[[noreturn]] void fail_with_text(const char *what, int code, const std::string &service_text);

// Runs one library call; a result of 0 becomes a Failure naming it, with
// the code and the reason.
template <class Call> int check(const char *what, Call call)
{
    int error_code = 0;
    library_log::forget();
    if (!call(&error_code))
        throw Failure(library_log::failure(what, &error_code));
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

// A fixed-size text field up to its first NUL, never past its end.
template <std::size_t N> std::string text_of(const char (&field)[N])
{
    std::size_t length = 0;
    while (length < N && field[length] != '\0')
        ++length;
    return std::string(field, length);
}

void print_contact(const contact_t &c);

// ---- JSON ----------------------------------------------------------------

using Json = nlohmann::ordered_json;

// `--json`: the command prints one JSON document instead of its text.
void add_json_flag(CLI::App *command);
bool json_output();
void print_json(const Json &document);

// Which parts of a contact the record holds: a whole contact from
// contact_get_contact, or only the fixed part (result sets and vCard
// conversions, whose section pointers mean nothing here).
enum class Sections { Included, FixedPartOnly };
Json contact_json(const contact_t &c, Sections sections = Sections::Included);

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
