// contact-engine-tool's `demo`: a short session, what a phonebook does at
// start-up and on a few taps, one step of each family after the other.
#include "tool-families.h"

namespace tool {
namespace {

void add_command(CLI::App &app)
{
    app.add_subcommand("demo", "a short session through the library");
}

int run_demo()
{
    // The service announces each change; they are printed at the end.
    Announcements announced;
    const int index = contacts_demo_add();
    sim_demo();
    vcard_demo(index);
    contacts_demo_fdn_and_me();
    settings_demo(index);
    group_demo();
    result_sets_demo();
    contacts_demo_remove(index);
    bulk_demo();
    announced.print();
    return 0;
}

} // namespace

extern const ToolFamily kDemoCommand{add_command, run_demo, true};

} // namespace tool
