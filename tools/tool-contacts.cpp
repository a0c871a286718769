// contact-engine-tool's contact commands: list, show, add, delete, field,
// fdn and me, and the demo's steps on a contact of its own.
#include <algorithm>
#include <cstdio>

#include "core/contact-engine-errors.h"
#include "tool-families.h"

namespace tool {

std::vector<int> indices(int storage)
{
    int capacity = 0;
    check("contact_get_max_contact_count",
          [&](int *e) { return contact_get_max_contact_count(storage, &capacity, e); });
    std::vector<int> found(std::size_t(capacity > 0 ? capacity : 1));
    int count = 0;
    check("contact_get_all_contact_indices",
          [&](int *e) { return contact_get_all_contact_indices(storage, found.data(), &count, e); });
    found.resize(std::size_t(count > 0 ? count : 0));
    return found;
}

namespace {

// Each stored contact of a storage, in index order.
template <class Each> void for_each_contact(int storage, Each each)
{
    for (int index : indices(storage)) {
        Contact c;
        check("contact_get_contact", [&](int *e) { return contact_get_contact(storage, index, &c.record, e); });
        each(c.record);
    }
}

} // namespace

void list(int storage)
{
    for_each_contact(storage, print_contact);
}

Json list_json(int storage)
{
    Json contacts = Json::array();
    for_each_contact(storage, [&](const contact_t &c) { contacts.push_back(contact_json(c)); });
    return contacts;
}

int add(int storage, const std::string &name, const std::vector<std::string> &phones,
        const std::vector<std::string> &emails, std::string note)
{
    contact_t record{};
    copy_text(record.display_name, name);
    std::vector<contact_phone_info_t> phone_entries(phones.size());
    for (std::size_t i = 0; i < phones.size(); ++i) {
        phone_entries[i].type = CONTACT_TYPE_MOBILE;
        phone_entries[i].is_primary = i == 0;
        copy_text(phone_entries[i].number, phones[i]);
    }
    std::vector<contact_email_info_t> email_entries(emails.size());
    for (std::size_t i = 0; i < emails.size(); ++i)
        copy_text(email_entries[i].address, emails[i]);
    record.phone_info = phone_entries.empty() ? nullptr : phone_entries.data();
    record.phone_info_cnt = int(phone_entries.size());
    record.email_info = email_entries.empty() ? nullptr : email_entries.data();
    record.email_info_cnt = int(email_entries.size());
    record.note = note.empty() ? nullptr : note.data();
    record.note_len = int(note.size());
    int index = 0;
    check("contact_add_contact", [&](int *e) { return contact_add_contact(storage, &record, &index, e); });
    return index;
}

namespace {

void show(int storage, int index)
{
    Contact c;
    check("contact_get_contact", [&](int *e) { return contact_get_contact(storage, index, &c.record, e); });
    if (json_output())
        print_json(contact_json(c.record));
    else
        print_contact(c.record);
}

std::string field(int storage, int index, int field_id)
{
    std::vector<char> value(CONTACT_FIELD_VALUE_MAX);
    check("contact_get_field_value",
          [&](int *e) { return contact_get_field_value(storage, index, field_id, value.data(), e); });
    return value.data();
}

bool fdn_allows(const char *number)
{
    bool allowed = false;
    check("contact_is_fdn_phone_number_exist",
          [&](int *e) { return contact_is_fdn_phone_number_exist(number, &allowed, e); });
    return allowed;
}

// The user's own contact, and whether tracking runs; having none stored is
// an answer, not a failure.
void me()
{
    Contact c;
    int error_code = 0;
    library_log::forget();
    const bool stored = contact_get_my_contact(&c.record, &error_code) == 1;
    if (!stored && error_code != contact_engine::kNoMyContact)
        throw Failure(library_log::failure("contact_get_my_contact", &error_code));
    const bool tracking =
        stored && check("contact_is_contact_track_me_init", contact_is_contact_track_me_init) == 1;
    if (json_output()) {
        print_json({{"contact", stored ? contact_json(c.record) : Json(nullptr)}, {"tracking", tracking}});
    } else if (!stored) {
        std::printf("no contact of your own stored\n");
    } else {
        print_contact(c.record);
        std::printf("  tracking: %s\n", tracking ? "active" : "stopped");
    }
}

int phone_count()
{
    int count = 0;
    check("contact_get_contact_count",
          [&](int *e) { return contact_get_contact_count(CONTACT_STORAGE_PHONE, &count, e); });
    return count;
}

struct ContactCommands {
    CLI::App *list_cmd, *show_cmd, *add_cmd, *delete_cmd, *field_cmd, *fdn_cmd, *me_cmd;
    int storage = CONTACT_STORAGE_PHONE;
    int index = 0;
    int field_id = 0;
    std::string name, value, note, number;
    std::vector<std::string> phones, emails;
} commands;

void add_commands(CLI::App &app)
{
    auto &c = commands;
    c.list_cmd = app.add_subcommand("list", "list the contacts of a storage");
    c.show_cmd = app.add_subcommand("show", "show one contact");
    c.add_cmd = app.add_subcommand("add", "add a contact and print its index");
    c.delete_cmd = app.add_subcommand("delete", "delete one contact");
    c.field_cmd = app.add_subcommand("field", "read a field, or change it when a value is given");
    c.fdn_cmd = app.add_subcommand("fdn", "is a number allowed by the fixed-dialling list?");
    c.me_cmd = app.add_subcommand("me", "show my contact");
    for (auto *cmd : {c.list_cmd, c.show_cmd, c.add_cmd, c.delete_cmd, c.field_cmd})
        add_storage_option(cmd, c.storage);
    for (auto *cmd : {c.list_cmd, c.show_cmd, c.field_cmd, c.fdn_cmd, c.me_cmd})
        add_json_flag(cmd);
    for (auto *cmd : {c.show_cmd, c.delete_cmd, c.field_cmd})
        cmd->add_option("index", c.index, "contact index")->required();
    c.field_cmd->add_option("field_id", c.field_id, "field id (see contact-engine.h)")->required();
    c.field_cmd->add_option("value", c.value, "new value");
    c.add_cmd->add_option("name", c.name, "display name")->required();
    c.add_cmd->add_option("--phone", c.phones, "phone number (repeatable)");
    c.add_cmd->add_option("--email", c.emails, "e-mail address (repeatable)");
    c.add_cmd->add_option("--note", c.note, "note text");
    c.fdn_cmd->add_option("number", c.number, "phone number")->required();
}

int run_command()
{
    auto &c = commands;
    if (c.list_cmd->parsed() && json_output())
        print_json({{"storage", c.storage}, {"contacts", list_json(c.storage)}});
    else if (c.list_cmd->parsed())
        list(c.storage);
    else if (c.show_cmd->parsed())
        show(c.storage, c.index);
    else if (c.add_cmd->parsed())
        std::printf("%d\n", add(c.storage, c.name, c.phones, c.emails, c.note));
    else if (c.delete_cmd->parsed())
        check("contact_delete_contact", [&](int *e) { return contact_delete_contact(c.storage, c.index, e); });
    else if (c.field_cmd->parsed() && c.field_cmd->count("value") > 0)
        check("contact_change_field_value",
              [&](int *e) { return contact_change_field_value(c.storage, c.index, c.field_id, c.value.c_str(), e); });
    else if (c.field_cmd->parsed() && json_output())
        print_json({{"storage", c.storage},
                    {"index", c.index},
                    {"field", c.field_id},
                    {"value", field(c.storage, c.index, c.field_id)}});
    else if (c.field_cmd->parsed())
        std::printf("%s\n", field(c.storage, c.index, c.field_id).c_str());
    else if (c.fdn_cmd->parsed() && json_output())
        print_json({{"number", c.number}, {"allowed", fdn_allows(c.number.c_str())}});
    else if (c.fdn_cmd->parsed())
        std::printf("%s\n", fdn_allows(c.number.c_str()) ? "allowed" : "not allowed");
    else
        me();
    return 0;
}

} // namespace

extern const ToolFamily kContactCommands{add_commands, run_command, true};

// The phone storage as it is, then a contact of the demo's own: added,
// changed, called three times and shown.
int contacts_demo_add()
{
    std::printf("== %d contacts in the phone storage\n", phone_count());
    list(CONTACT_STORAGE_PHONE);

    std::printf("\n== adding a contact\n");
    const int index = add(CONTACT_STORAGE_PHONE, "Grace Hopper", {"+1 202 555 0142", "+1 202 555 0199"},
                          {"grace@example.org"}, "Rear admiral; found the first bug.");
    check("contact_change_field_value", [&](int *e) {
        return contact_change_field_value(CONTACT_STORAGE_PHONE, index, CONTACT_FIELD_COMPANY, "US Navy", e);
    });
    for (int call = 0; call < 3; ++call)
        check("contact_increase_frequency",
              [&](int *e) { return contact_increase_frequency(CONTACT_STORAGE_PHONE, index, e); });
    show(CONTACT_STORAGE_PHONE, index);
    std::printf("  birthday field: \"%s\", frequency field: %s\n",
                field(CONTACT_STORAGE_PHONE, index, CONTACT_FIELD_BIRTHDAY).c_str(),
                field(CONTACT_STORAGE_PHONE, index, CONTACT_FIELD_FREQUENCY).c_str());
    return index;
}

void contacts_demo_fdn_and_me()
{
    std::printf("\n== fixed dialling numbers\n");
    for (const char *number : {"112", "+44 20 7946 0000", "+1 202 555 0142"})
        std::printf("  %-18s %s\n", number, fdn_allows(number) ? "allowed" : "not in the FDN list");

    std::printf("\n== my contact\n");
    me();
}

// Deleting the contact takes its speed dial with it.
void contacts_demo_remove(int index)
{
    std::printf("\n== removing the added contact\n");
    check("contact_delete_contact", [&](int *e) { return contact_delete_contact(CONTACT_STORAGE_PHONE, index, e); });
    std::printf("  %d contacts again\n", phone_count());
    int dials = 0;
    check("contact_get_speed_dial_count", [&](int *e) { return contact_get_speed_dial_count(&dials, e); });
    std::printf("  %d speed dials: hers went with her\n", dials);
}

} // namespace tool
