// contact-engine-tool: the contact library from the command line.
//
//   contact-engine-tool list [--storage N]
//   contact-engine-tool show INDEX [--storage N]
//   contact-engine-tool add NAME [--phone NUMBER]... [--email ADDRESS]... [--note TEXT] [--storage N]
//   contact-engine-tool delete INDEX [--storage N]
//   contact-engine-tool field INDEX FIELD_ID [VALUE] [--storage N]
//   contact-engine-tool fdn NUMBER
//   contact-engine-tool me
//   contact-engine-tool query [TEXT] [--storage N] [--order 0|1|2] [--search name|number]
//                             [--group STORAGE INDEX] [--page N] [--pages N]
//   contact-engine-tool demo
//
// Every command opens the library's connection, makes its calls and closes
// it again.  A failed call prints the operation and its error code on
// stderr and the tool exits 1.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "contact-engine.h"

namespace {

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

class Session {
public:
    Session()
    {
        int error_code = 0;
        if (!contact_initialize(&error_code))
            throw Failure("cannot reach the system bus (is DBUS_SYSTEM_BUS_ADDRESS set?)");
    }
    ~Session() { contact_finalize(nullptr); }
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
};

// A contact received from the library; frees the sections it allocated.
struct Contact {
    contact_t record{};
    Contact() = default;
    Contact(const Contact &) = delete;
    Contact &operator=(const Contact &) = delete;
    ~Contact()
    {
        std::free(record.phone_info);
        std::free(record.email_info);
        std::free(record.postal_info);
        std::free(record.note);
        std::free(record.about);
        std::free(record.sns);
        std::free(record.im);
        std::free(record.presence_text);
        std::free(record.contact_id_data);
    }
};

template <std::size_t N> void copy_text(char (&field)[N], const std::string &value)
{
    std::snprintf(field, N, "%s", value.c_str());
}

void print_contact(const contact_t &c)
{
    std::printf("#%d (storage %d) %s\n", c.index, c.storage_type, c.display_name);
    if (c.first_name[0] || c.last_name[0])
        std::printf("  name:     %s %s\n", c.first_name, c.last_name);
    if (c.company[0])
        std::printf("  company:  %s\n", c.company);
    for (int i = 0; i < c.phone_info_cnt; ++i)
        std::printf("  phone:    %s%s\n", c.phone_info[i].number, c.phone_info[i].is_primary ? " (primary)" : "");
    for (int i = 0; i < c.email_info_cnt; ++i)
        std::printf("  e-mail:   %s\n", c.email_info[i].address);
    if (c.note_len > 0)
        std::printf("  note:     %s\n", c.note);
    if (c.frequency > 0)
        std::printf("  called:   %d times\n", c.frequency);
}

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

void list(int storage)
{
    for (int index : indices(storage)) {
        Contact c;
        check("contact_get_contact", [&](int *e) { return contact_get_contact(storage, index, &c.record, e); });
        print_contact(c.record);
    }
}

void show(int storage, int index)
{
    Contact c;
    check("contact_get_contact", [&](int *e) { return contact_get_contact(storage, index, &c.record, e); });
    print_contact(c.record);
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

std::string field(int storage, int index, int field_id)
{
    std::vector<char> value(CONTACT_FIELD_VALUE_MAX);
    check("contact_get_field_value",
          [&](int *e) { return contact_get_field_value(storage, index, field_id, value.data(), e); });
    return value.data();
}

void me()
{
    Contact c;
    int error_code = 0;
    if (!contact_get_my_contact(&c.record, &error_code)) {
        std::printf("no contact of your own stored (error code %d)\n", error_code);
        return;
    }
    print_contact(c.record);
    std::printf("  tracking: %s\n", check("contact_is_contact_track_me_init", contact_is_contact_track_me_init) == 1
                                        ? "active"
                                        : "stopped");
}

// ---- result sets -------------------------------------------------------------

struct QueryOptions {
    int storage = CONTACT_STORAGE_PHONE;
    int order = 0;        // 0 name, 1 most called, 2 index
    int search_type = -1; // -1: contact_result_set_create (names); 0 name, 1 number
    std::string text;
    int group_storage = 0;
    int group_index = 0; // 0: no group filter
    int page = 10;
    int pages = 0; // 0: every page
};

int create_result_set(const QueryOptions &q)
{
    int id = 0;
    if (q.group_index > 0)
        check("contact_result_set_create_by_group", [&](int *e) {
            return contact_result_set_create_by_group(q.storage, q.group_storage, q.group_index, q.text.c_str(), q.order,
                                                      &id, e);
        });
    else if (q.search_type >= 0)
        check("contact_result_set_create_by_search_type", [&](int *e) {
            return contact_result_set_create_by_search_type(q.storage, q.search_type, q.text.c_str(), q.order, &id, e);
        });
    else
        check("contact_result_set_create",
              [&](int *e) { return contact_result_set_create(q.storage, q.text.c_str(), q.order, &id, e); });
    return id;
}

// Creates the set, prints it a page at a time (each page one batch fetch)
// and destroys it.
void query(const QueryOptions &q)
{
    const int id = create_result_set(q);
    int count = 0;
    check("contact_result_set_get_contact_count",
          [&](int *e) { return contact_result_set_get_contact_count(id, &count, e); });
    std::printf("result set %d: %d contacts\n", id, count);
    std::vector<contact_t> page(std::size_t(std::max(q.page, 1)));
    for (int number = 1;; ++number) {
        int got = 0;
        int error_code = 0;
        const int ok = contact_result_set_get_contacts(id, int(page.size()), 0, page.data(), &got, &error_code);
        if (!ok && error_code != CONTACT_ERROR_SHORT_BATCH) {
            contact_result_set_destory(id, &error_code);
            throw Failure("contact_result_set_get_contacts failed with error code " + std::to_string(error_code));
        }
        if (got > 0)
            std::printf("-- page %d\n", number);
        for (int i = 0; i < got; ++i) {
            const contact_t &c = page[std::size_t(i)];
            std::printf("  %6d  %-32s %s\n", c.index, c.display_name, c.frequency > 0 ? std::to_string(c.frequency).c_str() : "");
        }
        if (!ok || (q.pages > 0 && number >= q.pages))
            break;
    }
    check("contact_result_set_destory", [&](int *e) { return contact_result_set_destory(id, e); });
}

void demo_result_sets()
{
    QueryOptions sorted;
    sorted.page = 4;
    std::printf("\n== result set: the phone storage sorted by name, 4 to a page\n");
    query(sorted);
    QueryOptions by_name;
    by_name.search_type = 0;
    by_name.text = "al";
    std::printf("\n== result set: names with a word starting \"al\"\n");
    query(by_name);
    QueryOptions by_number;
    by_number.search_type = 1;
    by_number.text = "+44 20 7946";
    std::printf("\n== result set: numbers starting +44 20 7946, in any format\n");
    query(by_number);
}
// ---- groups and membership ---------------------------------------------------
//
//   contact-engine-tool group add NAME [--ringtone PATH] [--image PATH] [--storage N]
//   contact-engine-tool group list [--storage N]
//   contact-engine-tool group show INDEX [--storage N]
//   contact-engine-tool group rename INDEX NAME [--storage N]
//   contact-engine-tool group delete INDEX [--storage N]
//   contact-engine-tool member add GROUP CONTACT... [--storage N]
//   contact-engine-tool member remove GROUP CONTACT... [--storage N]
//   contact-engine-tool member list GROUP [--storage N]
//
// --storage is the group storage: 0 phone groups (members are phone
// contacts), 1 SIM groups (members are SIM contacts).

group_t get_group(int storage, int index)
{
    group_t group{};
    check("contact_get_group", [&](int *e) { return contact_get_group(storage, index, &group, e); });
    return group;
}

std::vector<int> group_members(int storage, int group)
{
    std::vector<int> members(CONTACT_GROUP_MEMBER_MAX);
    int count = 0;
    check("contact_get_group_members",
          [&](int *e) { return contact_get_group_members(storage, group, members.data(), &count, e); });
    members.resize(std::size_t(count > 0 ? count : 0));
    return members;
}

int contact_storage_of_group_storage(int storage)
{
    return storage == CONTACT_GROUP_STORAGE_SIM ? CONTACT_STORAGE_SIM : CONTACT_STORAGE_PHONE;
}

void print_group(const group_t &g)
{
    std::printf("group #%d (storage %d) %s, %d member%s\n", g.index, g.storage_type, g.name, g.member_count,
                g.member_count == 1 ? "" : "s");
    if (g.ringtone_path[0])
        std::printf("  ringtone: %s\n", g.ringtone_path);
    if (g.image_path[0])
        std::printf("  image:    %s\n", g.image_path);
}

void print_members(int storage, int group)
{
    for (int index : group_members(storage, group)) {
        Contact c;
        check("contact_get_contact", [&](int *e) {
            return contact_get_contact(contact_storage_of_group_storage(storage), index, &c.record, e);
        });
        std::printf("  member:   #%d %s\n", index, c.record.display_name);
    }
}

int add_group(int storage, const std::string &name, const std::string &ringtone, const std::string &image)
{
    group_t group{};
    copy_text(group.name, name);
    copy_text(group.ringtone_path, ringtone);
    copy_text(group.image_path, image);
    int index = 0;
    check("contact_add_group", [&](int *e) { return contact_add_group(storage, &group, &index, e); });
    return index;
}

void list_groups(int storage)
{
    std::vector<group_t> groups(CONTACT_GROUP_CAPACITY_MAX);
    int count = 0;
    check("contact_search_groups", [&](int *e) {
        return contact_search_groups(storage, "", CONTACT_GROUP_MATCH_CONTAINS, 0, groups.data(), &count, e,
                                     CONTACT_GROUP_ORDER_INDEX);
    });
    for (int i = 0; i < count; ++i)
        print_group(groups[std::size_t(i)]);
}

void rename_group(int storage, int index, const std::string &name)
{
    group_t group = get_group(storage, index);
    copy_text(group.name, name);
    check("contact_update_group", [&](int *e) { return contact_update_group(storage, index, &group, e); });
}

void change_members(bool add, int storage, int group, const std::vector<int> &contacts)
{
    if (contacts.size() == 1 && add)
        check("contact_add_group_member",
              [&](int *e) { return contact_add_group_member(storage, group, contacts[0], e); });
    else if (contacts.size() == 1)
        check("contact_delete_group_member",
              [&](int *e) { return contact_delete_group_member(storage, group, contacts[0], e); });
    else if (add)
        check("contact_add_some_group_members", [&](int *e) {
            return contact_add_some_group_members(storage, group, contacts.data(), int(contacts.size()), e);
        });
    else
        check("contact_delete_some_group_members", [&](int *e) {
            return contact_delete_some_group_members(storage, group, contacts.data(), int(contacts.size()), e);
        });
}

// The demo's part: a group of the first phone contacts, shown, then removed.
void group_demo()
{
    std::printf("\n== a group\n");
    std::vector<int> contacts = indices(CONTACT_STORAGE_PHONE);
    contacts.resize(std::min<std::size_t>(contacts.size(), 3));
    const int group = add_group(CONTACT_GROUP_STORAGE_PHONE, "Équipe de nuit", "/usr/share/sounds/night.ogg", "");
    if (!contacts.empty())
        change_members(true, CONTACT_GROUP_STORAGE_PHONE, group, contacts);
    print_group(get_group(CONTACT_GROUP_STORAGE_PHONE, group));
    print_members(CONTACT_GROUP_STORAGE_PHONE, group);
    bool same = false;
    check("contact_exist_same_group_name", [&](int *e) {
        return contact_exist_same_group_name(CONTACT_GROUP_STORAGE_PHONE, "ÉQUIPE DE NUIT", &same, e);
    });
    std::printf("  \"ÉQUIPE DE NUIT\" is %s\n", same ? "the same name" : "another name");
    check("contact_delete_group",
          [&](int *e) { return contact_delete_group(CONTACT_GROUP_STORAGE_PHONE, group, e); });
    std::printf("  group deleted; its memberships went with it\n");
}

struct GroupCommands {
    int storage = CONTACT_GROUP_STORAGE_PHONE;
    int index = 0;
    std::string name, ringtone, image;
    std::vector<int> contacts;
    CLI::App *group_add, *group_list, *group_show, *group_rename, *group_delete;
    CLI::App *member_add, *member_remove, *member_list;

    explicit GroupCommands(CLI::App &app)
    {
        auto *group = app.add_subcommand("group", "groups: add, list, show, rename, delete");
        auto *member = app.add_subcommand("member", "group members: add, remove, list");
        group->require_subcommand(1);
        member->require_subcommand(1);
        group_add = group->add_subcommand("add", "add a group and print its index");
        group_list = group->add_subcommand("list", "list the groups of a storage");
        group_show = group->add_subcommand("show", "show one group and its members");
        group_rename = group->add_subcommand("rename", "give a group another name");
        group_delete = group->add_subcommand("delete", "delete a group (its contacts stay)");
        member_add = member->add_subcommand("add", "add contacts to a group");
        member_remove = member->add_subcommand("remove", "remove contacts from a group");
        member_list = member->add_subcommand("list", "list a group's members");
        for (auto *cmd : {group_add, group_list, group_show, group_rename, group_delete, member_add, member_remove,
                          member_list})
            cmd->add_option("--storage", storage, "group storage (0 phone, 1 SIM)");
        for (auto *cmd : {group_show, group_rename, group_delete})
            cmd->add_option("index", index, "group index")->required();
        for (auto *cmd : {member_add, member_remove, member_list})
            cmd->add_option("group", index, "group index")->required();
        for (auto *cmd : {member_add, member_remove})
            cmd->add_option("contacts", contacts, "contact indices")->required();
        group_add->add_option("name", name, "group name")->required();
        group_add->add_option("--ringtone", ringtone, "ringtone path");
        group_add->add_option("--image", image, "image path");
        group_rename->add_option("name", name, "new name")->required();
    }

    // Runs the parsed command; false when none of these was given.
    bool run()
    {
        if (group_add->parsed())
            std::printf("%d\n", add_group(storage, name, ringtone, image));
        else if (group_list->parsed())
            list_groups(storage);
        else if (group_show->parsed()) {
            print_group(get_group(storage, index));
            print_members(storage, index);
        } else if (group_rename->parsed())
            rename_group(storage, index, name);
        else if (group_delete->parsed())
            check("contact_delete_group", [&](int *e) { return contact_delete_group(storage, index, e); });
        else if (member_add->parsed() || member_remove->parsed())
            change_members(member_add->parsed(), storage, index, contacts);
        else if (member_list->parsed())
            for (int member : group_members(storage, index))
                std::printf("%d\n", member);
        else
            return false;
        return true;
    }
};


// A short session: what a phonebook does at start-up and on a few taps.
void demo()
{
    int count = 0;
    check("contact_get_contact_count",
          [&](int *e) { return contact_get_contact_count(CONTACT_STORAGE_PHONE, &count, e); });
    std::printf("== %d contacts in the phone storage\n", count);
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

    std::printf("\n== fixed dialling numbers\n");
    for (const char *number : {"112", "+44 20 7946 0000", "+1 202 555 0142"}) {
        bool allowed = false;
        check("contact_is_fdn_phone_number_exist",
              [&](int *e) { return contact_is_fdn_phone_number_exist(number, &allowed, e); });
        std::printf("  %-18s %s\n", number, allowed ? "allowed" : "not in the FDN list");
    }

    std::printf("\n== my contact\n");
    me();

    group_demo();
    demo_result_sets();

    std::printf("\n== removing the added contact\n");
    check("contact_delete_contact", [&](int *e) { return contact_delete_contact(CONTACT_STORAGE_PHONE, index, e); });
    check("contact_get_contact_count",
          [&](int *e) { return contact_get_contact_count(CONTACT_STORAGE_PHONE, &count, e); });
    std::printf("  %d contacts again\n", count);
}

} // namespace

int main(int argc, char **argv)
{
    CLI::App app{"Reads and changes contacts through the contact engine library"};
    app.require_subcommand(1);
    int storage = CONTACT_STORAGE_PHONE;
    int index = 0;
    int field_id = 0;
    std::string name, value, note, number;
    std::vector<std::string> phones, emails;

    auto *list_cmd = app.add_subcommand("list", "list the contacts of a storage");
    auto *show_cmd = app.add_subcommand("show", "show one contact");
    auto *add_cmd = app.add_subcommand("add", "add a contact and print its index");
    auto *delete_cmd = app.add_subcommand("delete", "delete one contact");
    auto *field_cmd = app.add_subcommand("field", "read a field, or change it when a value is given");
    auto *fdn_cmd = app.add_subcommand("fdn", "is a number allowed by the fixed-dialling list?");
    auto *me_cmd = app.add_subcommand("me", "show my contact");
    auto *demo_cmd = app.add_subcommand("demo", "a short session through the library");
    QueryOptions q;
    std::string search;
    std::vector<int> group;
    auto *query_cmd = app.add_subcommand("query", "create a result set and print it a page at a time");
    query_cmd->add_option("text", q.text, "names to search for (every word begins a name word), or a number");
    query_cmd->add_option("--storage", q.storage, "storage type (0 phone, 1 SIM, 2 SIM2, 3 FDN, 4 SDN, -1 all)");
    query_cmd->add_option("--order", q.order, "0 by name, 1 most called, 2 by index")->capture_default_str();
    query_cmd->add_option("--search", search, "what TEXT is: name or number")
        ->check(CLI::IsMember({"name", "number"}));
    query_cmd->add_option("--group", group, "only members of the group at STORAGE INDEX")->expected(2);
    query_cmd->add_option("--page", q.page, "contacts per page (one batch fetch each)")->capture_default_str();
    query_cmd->add_option("--pages", q.pages, "stop after this many pages (0: all)")->capture_default_str();
    for (auto *cmd : {list_cmd, show_cmd, add_cmd, delete_cmd, field_cmd})
        cmd->add_option("--storage", storage, "storage type (0 phone, 1 SIM, 2 SIM2, 3 FDN, 4 SDN)");
    for (auto *cmd : {show_cmd, delete_cmd, field_cmd})
        cmd->add_option("index", index, "contact index")->required();
    field_cmd->add_option("field_id", field_id, "field id (see contact-engine.h)")->required();
    field_cmd->add_option("value", value, "new value");
    add_cmd->add_option("name", name, "display name")->required();
    add_cmd->add_option("--phone", phones, "phone number (repeatable)");
    add_cmd->add_option("--email", emails, "e-mail address (repeatable)");
    add_cmd->add_option("--note", note, "note text");
    fdn_cmd->add_option("number", number, "phone number")->required();
    GroupCommands group_commands(app);
    CLI11_PARSE(app, argc, argv);

    try {
        Session session;
        if (list_cmd->parsed())
            list(storage);
        else if (show_cmd->parsed())
            show(storage, index);
        else if (add_cmd->parsed())
            std::printf("%d\n", add(storage, name, phones, emails, note));
        else if (delete_cmd->parsed())
            check("contact_delete_contact", [&](int *e) { return contact_delete_contact(storage, index, e); });
        else if (field_cmd->parsed() && field_cmd->count("value") > 0)
            check("contact_change_field_value",
                  [&](int *e) { return contact_change_field_value(storage, index, field_id, value.c_str(), e); });
        else if (field_cmd->parsed())
            std::printf("%s\n", field(storage, index, field_id).c_str());
        else if (fdn_cmd->parsed()) {
            bool allowed = false;
            check("contact_is_fdn_phone_number_exist",
                  [&](int *e) { return contact_is_fdn_phone_number_exist(number.c_str(), &allowed, e); });
            std::printf("%s\n", allowed ? "allowed" : "not allowed");
        } else if (me_cmd->parsed())
            me();
        else if (demo_cmd->parsed())
            demo();
        else if (query_cmd->parsed()) {
            if (!search.empty())
                q.search_type = search == "number" ? 1 : 0;
            if (group.size() == 2) {
                q.group_storage = group[0];
                q.group_index = group[1];
            }
            query(q);
        }
        else
            group_commands.run();
    } catch (const Failure &failure) {
        std::fprintf(stderr, "contact-engine-tool: %s\n", failure.what());
        return 1;
    }
    return 0;
}
