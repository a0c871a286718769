// The command families of contact-engine-tool, one source file each: the
// table entry main adds and runs, and the pieces of each that the other
// families and the demo use.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tool-common.h"

namespace tool {

// Contacts (tool-contacts.cpp): list, show, add, delete, field, fdn, me.
extern const ToolFamily kContactCommands;
std::vector<int> indices(int storage);
void list(int storage);
Json list_json(int storage); // the storage's contacts, each as contact_json
int add(int storage, const std::string &name, const std::vector<std::string> &phones,
        const std::vector<std::string> &emails, std::string note);
int contacts_demo_add();               // "== adding a contact"; the new contact's index
void contacts_demo_fdn_and_me();       // "== fixed dialling numbers", "== my contact"
void contacts_demo_remove(int index);  // "== removing the added contact"

// The SIM card and its phonebook (tool-sim.cpp).
extern const ToolFamily kSimCommands;
void sim_demo();

// Settings and speed dials (tool-settings.cpp).
extern const ToolFamily kSettingsCommands;
void settings_demo(int contact_index);

// Groups and their members (tool-groups.cpp).
extern const ToolFamily kGroupCommands;
void group_demo();

// Result sets (tool-query.cpp).
extern const ToolFamily kQueryCommands;
void result_sets_demo();

// vCard conversion through the service (tool-vcard.cpp).
extern const ToolFamily kVCardCommands;
void vcard_demo(int contact_index);

// Bulk jobs (tool-bulk.cpp).
extern const ToolFamily kBulkCommands;
void bulk_demo();

// The service's change notifications (tool-watch.cpp).
extern const ToolFamily kWatchCommand;
// Collects the service's signals from its construction on; print() shows
// them, one line each as `watch` prints them.
class Announcements {
public:
    Announcements();
    ~Announcements();
    Announcements(const Announcements &) = delete;
    Announcements &operator=(const Announcements &) = delete;
    void print();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The demo (tool-demo.cpp).
extern const ToolFamily kDemoCommand;

// `completion bash` (tool-completion.cpp).
extern const ToolFamily kCompletionCommand;

} // namespace tool
