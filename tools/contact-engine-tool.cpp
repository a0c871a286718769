// contact-engine-tool: the contact library from the command line.
//
//   contact-engine-tool [-v|-vv] COMMAND ...
//   contact-engine-tool list [--storage N] [--json]
//   contact-engine-tool show INDEX [--storage N] [--json]
//   contact-engine-tool add NAME [--phone NUMBER]... [--email ADDRESS]... [--note TEXT] [--storage N]
//   contact-engine-tool delete INDEX [--storage N]
//   contact-engine-tool field INDEX FIELD_ID [VALUE] [--storage N] [--json]
//   contact-engine-tool fdn NUMBER [--json]
//   contact-engine-tool me [--json]
//   contact-engine-tool sim status|load|open|close|list [--json]
//   contact-engine-tool query [TEXT] [--storage N] [--order 0|1|2] [--search name|number]
//                             [--group STORAGE INDEX] [--page N] [--pages N] [--json]
//   contact-engine-tool bulk import FILE [--storage N] [--json]
//   contact-engine-tool bulk export [INDEX]... [--storage N] [--json]
//   contact-engine-tool bulk copy|move [INDEX]... --from N --to N [--json]
//   contact-engine-tool bulk delete INDEX... [--storage N] [--json]
//   contact-engine-tool bulk resume HANDLE [--json]
//   contact-engine-tool bulk status HANDLE [--json]
//   contact-engine-tool vcard export INDEX [--storage N] [--version 21|30|40] [--file | --tmp]
//   contact-engine-tool vcard import FILE [--add STORAGE] [--json]
//   contact-engine-tool vcard show [FILE] [--json]
//   contact-engine-tool demo
//   contact-engine-tool setting get [NAME] [--json]
//   contact-engine-tool setting set NAME VALUE [--json]      (own-number: NAME NUMBER)
//   contact-engine-tool speed-dial set DIAL CONTACT_INDEX [--position N] [--storage N] [--json]
//   contact-engine-tool speed-dial get DIAL [--json]
//   contact-engine-tool speed-dial list [QUERY] [--by any|name|number] [--storage N] [--json]
//   contact-engine-tool speed-dial delete DIAL | --all
//   contact-engine-tool group add NAME [--ringtone PATH] [--image PATH] [--storage N]
//   contact-engine-tool group list|show ... [--storage N] [--json]
//   contact-engine-tool group rename|delete ... [--storage N]
//   contact-engine-tool member add|remove GROUP CONTACT... [--storage N]
//   contact-engine-tool member list GROUP [--storage N] [--json]
//   contact-engine-tool watch [--count N]
//   contact-engine-tool completion bash
//
// Every command opens the library's connection, makes its calls and closes
// it again (watch listens on a connection of its own).  The library's log
// lines stay off the terminal unless -v.  Exit status: 0 success; 1 an
// operation failed (stderr names it with its code and the service's
// reason); 2 a usage error; 130 a bulk job paused by Ctrl-C.
//
// Each family of commands lives in its own tool-*.cpp and adds its
// subcommands through one entry of the table below; main runs the family
// whose subcommand was parsed.
#include <CLI/CLI.hpp>

#include <cstddef>
#include <cstdio>
#include <optional>
#include <utility>
#include <vector>

#include "tool-families.h"

namespace {

constexpr int kFailed = 1;
constexpr int kUsage = 2;

// In the order their commands appear in --help.
const tool::ToolFamily *const kFamilies[] = {
    &tool::kContactCommands,  // list, show, add, delete, field, fdn, me
    &tool::kSimCommands,      // sim
    &tool::kDemoCommand,      // demo
    &tool::kWatchCommand,     // watch
    &tool::kQueryCommands,    // query
    &tool::kBulkCommands,     // bulk
    &tool::kSettingsCommands, // setting, speed-dial
    &tool::kGroupCommands,    // group, member
    &tool::kVCardCommands,    // vcard
    &tool::kCompletionCommand, // completion
};

std::vector<CLI::App *> top_level_commands(CLI::App &app)
{
    return app.get_subcommands([](CLI::App *) { return true; });
}

} // namespace

int main(int argc, char **argv)
{
    CLI::App app{"Reads and changes contacts through the contact engine library"};
    app.require_subcommand(1);
    // -v is taken after any command, too.
    app.fallthrough();
    int verbose = 0;
    app.add_flag("-v,--verbose", verbose, "show the library's log lines on stderr (-vv: its traces too)");
    // Each top-level command with the family that added it.
    std::vector<std::pair<const CLI::App *, const tool::ToolFamily *>> owners;
    for (const tool::ToolFamily *family : kFamilies) {
        const std::size_t known = owners.size();
        family->add(app);
        const std::vector<CLI::App *> commands = top_level_commands(app);
        for (std::size_t i = known; i < commands.size(); ++i)
            owners.emplace_back(commands[i], family);
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &error) {
        // --help is a ParseError that exits 0.
        return app.exit(error) == 0 ? 0 : kUsage;
    }
    tool::library_log::take(verbose);

    const CLI::App *parsed = app.get_subcommands().front();
    const tool::ToolFamily *family = nullptr;
    for (const auto &[command, owner] : owners)
        if (command == parsed)
            family = owner;
    try {
        std::optional<tool::Session> session;
        if (family->opens_session)
            session.emplace();
        return family->run();
    } catch (const tool::UsageError &error) {
        std::fprintf(stderr, "contact-engine-tool: %s\n", error.what());
        return kUsage;
    } catch (const std::exception &failure) {
        std::fprintf(stderr, "contact-engine-tool: %s\n", failure.what());
        return kFailed;
    }
}
