// contact-engine-tool: the contact library from the command line.
//
//   contact-engine-tool list [--storage N]
//   contact-engine-tool show INDEX [--storage N]
//   contact-engine-tool add NAME [--phone NUMBER]... [--email ADDRESS]... [--note TEXT] [--storage N]
//   contact-engine-tool delete INDEX [--storage N]
//   contact-engine-tool field INDEX FIELD_ID [VALUE] [--storage N]
//   contact-engine-tool fdn NUMBER
//   contact-engine-tool me
//   contact-engine-tool sim status|load|open|close|list
//   contact-engine-tool query [TEXT] [--storage N] [--order 0|1|2] [--search name|number]
//                             [--group STORAGE INDEX] [--page N] [--pages N]
//   contact-engine-tool bulk import FILE [--storage N]
//   contact-engine-tool bulk export [INDEX]... [--storage N]
//   contact-engine-tool bulk copy|move [INDEX]... --from N --to N
//   contact-engine-tool bulk delete INDEX... [--storage N]
//   contact-engine-tool bulk resume HANDLE
//   contact-engine-tool vcard export INDEX [--storage N] [--version 21|30|40] [--file | --tmp]
//   contact-engine-tool vcard import FILE [--add STORAGE]
//   contact-engine-tool vcard show [FILE]
//   contact-engine-tool demo
//   contact-engine-tool setting get [NAME]
//   contact-engine-tool setting set NAME VALUE      (own-number: NAME NUMBER)
//   contact-engine-tool speed-dial set DIAL CONTACT_INDEX [--position N] [--storage N]
//   contact-engine-tool speed-dial get DIAL
//   contact-engine-tool speed-dial list [QUERY] [--by any|name|number] [--storage N]
//   contact-engine-tool speed-dial delete DIAL | --all
//   contact-engine-tool group add NAME [--ringtone PATH] [--image PATH] [--storage N]
//   contact-engine-tool group list|show|rename|delete ... [--storage N]
//   contact-engine-tool member add|remove GROUP CONTACT... [--storage N]
//   contact-engine-tool member list GROUP [--storage N]
//   contact-engine-tool watch [--count N]
//
// Every command opens the library's connection, makes its calls and closes
// it again (watch listens on a connection of its own).  A failed call
// prints the operation and its error code on stderr and the tool exits 1;
// a bulk job paused by Ctrl-C exits 130.
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
    // Each top-level command with the family that added it.
    std::vector<std::pair<const CLI::App *, const tool::ToolFamily *>> owners;
    for (const tool::ToolFamily *family : kFamilies) {
        const std::size_t known = owners.size();
        family->add(app);
        const std::vector<CLI::App *> commands = top_level_commands(app);
        for (std::size_t i = known; i < commands.size(); ++i)
            owners.emplace_back(commands[i], family);
    }
    CLI11_PARSE(app, argc, argv);

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
    } catch (const tool::Failure &failure) {
        std::fprintf(stderr, "contact-engine-tool: %s\n", failure.what());
        return 1;
    }
}
