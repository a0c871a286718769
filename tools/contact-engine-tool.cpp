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
//   contact-engine-tool watch [--count N]
//
// Every command opens the library's connection, makes its calls and closes
// it again.  A failed call prints the operation and its error code on
// stderr and the tool exits 1.
#include <CLI/CLI.hpp>
#include <gio/gio.h>
#include <glib-unix.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <utility>
#include <string_view>
#include <vector>

#include "contact-engine-bus.h"
#include "contact-engine-signals.h"
#include "bulk-client.h"
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

// ---- settings and speed dials ---------------------------------------------------

// One int setting: its command-line name, its two operations and the names
// of the values it takes.
struct IntSetting {
    const char *name;
    int (*get)(int *, int *);
    int (*set)(int, int *);
    std::vector<std::pair<int, const char *>> values;
};

const std::vector<IntSetting> &int_settings()
{
    static const std::vector<IntSetting> settings{
        {"sync-status", contact_get_contact_module_sync_status, contact_set_contact_module_sync_status,
         {{CONTACT_SYNC_STATUS_OFF, "off"}, {CONTACT_SYNC_STATUS_IDLE, "idle"}, {CONTACT_SYNC_STATUS_RUNNING, "running"}}},
        {"view-storage", contact_get_view_storage_preference, contact_set_view_storage_preference,
         {{CONTACT_STORAGE_PHONE, "phone"}, {CONTACT_STORAGE_SIM, "sim"}, {CONTACT_STORAGE_SIM2, "sim2"},
          {CONTACT_VIEW_STORAGE_ALL, "all"}}},
        {"storage", contact_get_storage_preference, contact_set_storage_preference,
         {{CONTACT_STORAGE_PHONE, "phone"}, {CONTACT_STORAGE_SIM, "sim"}, {CONTACT_STORAGE_SIM2, "sim2"}}},
        {"msisdn-index", contact_get_current_activated_msisdn_index, contact_set_current_activated_msisdn_index, {}},
        {"copy-flag", contact_get_copy_flag_for_sim_change, contact_set_copy_flag_for_sim_change,
         {{CONTACT_SIM_CHANGE_KEEP, "keep"}, {CONTACT_SIM_CHANGE_COPY, "copy"}}},
        {"sort-type", contact_get_sort_type, contact_set_sort_type,
         {{CONTACT_SORT_BY_FIRST_NAME, "first-name"}, {CONTACT_SORT_BY_LAST_NAME, "last-name"}}},
        {"display-order", contact_get_display_order, contact_set_display_order,
         {{CONTACT_DISPLAY_FIRST_NAME_FIRST, "first-name-first"}, {CONTACT_DISPLAY_LAST_NAME_FIRST, "last-name-first"}}},
    };
    return settings;
}

const IntSetting *find_setting(const std::string &name)
{
    for (const IntSetting &setting : int_settings())
        if (name == setting.name)
            return &setting;
    return nullptr;
}

void print_setting(const IntSetting &setting)
{
    int value = 0;
    check(setting.name, [&](int *e) { return setting.get(&value, e); });
    std::printf("%-14s %d", setting.name, value);
    for (const auto &[number, meaning] : setting.values)
        if (number == value)
            std::printf(" (%s)", meaning);
    std::printf("\n");
}

void print_own_number()
{
    char name[CONTACT_OWN_NAME_MAX + 1] = "";
    char number[CONTACT_OWN_NUMBER_MAX + 1] = "";
    check("contact_get_own_number", [&](int *e) { return contact_get_own_number(name, number, e); });
    std::printf("%-14s \"%s\" %s\n", "own-number", name, number);
}

// `setting get [NAME]`: one setting, or every one.
void setting_get(const std::string &name)
{
    if (name.empty() || name == "own-number") {
        if (name.empty())
            for (const IntSetting &setting : int_settings())
                print_setting(setting);
        print_own_number();
        return;
    }
    const IntSetting *setting = find_setting(name);
    if (setting == nullptr)
        throw Failure("no setting named " + name);
    print_setting(*setting);
}

// `setting set NAME VALUE`: a value's number or its name; the own number
// takes a name and a number.
void setting_set(const std::string &name, const std::vector<std::string> &values)
{
    if (name == "own-number") {
        if (values.size() != 2)
            throw Failure("own-number takes a name and a number");
        check("contact_set_own_number",
              [&](int *e) { return contact_set_own_number(values[0].c_str(), values[1].c_str(), e); });
        print_own_number();
        return;
    }
    const IntSetting *setting = find_setting(name);
    if (setting == nullptr)
        throw Failure("no setting named " + name);
    if (values.size() != 1)
        throw Failure(name + " takes one value");
    int value = 0;
    bool named = false;
    for (const auto &[number, meaning] : setting->values)
        if (values[0] == meaning) {
            value = number;
            named = true;
        }
    if (!named) {
        try {
            std::size_t used = 0;
            value = std::stoi(values[0], &used);
            if (used != values[0].size())
                throw std::invalid_argument(values[0]);
        } catch (const std::logic_error &) {
            throw Failure("not a value of " + name + ": " + values[0]);
        }
    }
    check(setting->name, [&](int *e) { return setting->set(value, e); });
    print_setting(*setting);
}

void print_speed_dial(const speed_dial_t &dial)
{
    Contact c;
    int error_code = 0;
    const bool found =
        contact_get_contact(dial.storage_type, dial.contact_index, &c.record, &error_code) == 1;
    const char *number = found && dial.phone_position >= 0 && dial.phone_position < c.record.phone_info_cnt
                             ? c.record.phone_info[dial.phone_position].number
                             : "?";
    std::printf("%d: %s %s (storage %d, contact %d, number %d)\n", dial.index,
                found ? c.record.display_name : "?", number, dial.storage_type, dial.contact_index,
                dial.phone_position);
}

void speed_dial_set(int dial, int storage, int contact_index, int position)
{
    speed_dial_t record{dial, storage, contact_index, position};
    check("contact_set_speed_dial", [&](int *e) { return contact_set_speed_dial(dial, &record, e); });
    print_speed_dial(record);
}

void speed_dial_get(int dial)
{
    speed_dial_t record{};
    check("contact_get_speed_dial", [&](int *e) { return contact_get_speed_dial(dial, &record, e); });
    print_speed_dial(record);
}

void speed_dial_list(const std::string &query, int by, int storage)
{
    speed_dial_t found[CONTACT_SPEED_DIAL_COUNT_MAX];
    int count = 0;
    check("contact_search_speed_dials",
          [&](int *e) { return contact_search_speed_dials(query.c_str(), by, storage, found, &count, e); });
    for (int i = 0; i < count; ++i)
        print_speed_dial(found[i]);
    if (count == 0)
        std::printf("no speed dials\n");
}

// The command-line block of these two families, added to the app in one place.
struct SettingsCommands {
    CLI::App *setting_get_cmd = nullptr;
    CLI::App *setting_set_cmd = nullptr;
    CLI::App *dial_set_cmd = nullptr;
    CLI::App *dial_get_cmd = nullptr;
    CLI::App *dial_list_cmd = nullptr;
    CLI::App *dial_delete_cmd = nullptr;
    std::string name;
    std::vector<std::string> values;
    int dial = 0;
    int contact_index = 0;
    int position = 0;
    int storage = CONTACT_STORAGE_PHONE;
    int search_storage = CONTACT_SPEED_DIAL_SEARCH_ALL_STORAGES;
    std::string query;
    std::string by = "any";
    bool all = false;

    void add_to(CLI::App &app)
    {
        auto *setting = app.add_subcommand("setting", "read or change a phonebook setting");
        setting->require_subcommand(1);
        setting_get_cmd = setting->add_subcommand("get", "show one setting, or all of them");
        setting_get_cmd->add_option("name", name,
                                "sync-status, view-storage, storage, own-number, msisdn-index, copy-flag, "
                                "sort-type or display-order");
        setting_set_cmd = setting->add_subcommand("set", "change a setting (a value's number or name)");
        setting_set_cmd->add_option("name", name, "the setting")->required();
        setting_set_cmd->add_option("value", values, "its value; own-number takes a name and a number")->required();

        auto *speed_dial = app.add_subcommand("speed-dial", "the speed-dial table");
        speed_dial->require_subcommand(1);
        dial_set_cmd = speed_dial->add_subcommand("set", "point a dial at one number of a contact");
        dial_set_cmd->add_option("dial", dial, "dial number, 1 to 9")->required();
        dial_set_cmd->add_option("contact", contact_index, "the contact's index")->required();
        dial_set_cmd->add_option("--position", position, "which of its numbers, from 0 (default 0)");
        dial_set_cmd->add_option("--storage", storage, "the contact's storage (0 phone, 1 SIM, 2 SIM2)");
        dial_get_cmd = speed_dial->add_subcommand("get", "show one dial");
        dial_get_cmd->add_option("dial", dial, "dial number")->required();
        dial_list_cmd = speed_dial->add_subcommand("list", "list the dials, or search them");
        dial_list_cmd->add_option("query", query, "text in the name or number (default: every dial)");
        dial_list_cmd->add_option("--by", by, "what the query matches: any, name or number")
            ->check(CLI::IsMember({"any", "name", "number"}));
        dial_list_cmd->add_option("--storage", search_storage, "only contacts of this storage");
        dial_delete_cmd = speed_dial->add_subcommand("delete", "clear one dial, or all");
        auto *dial_option = dial_delete_cmd->add_option("dial", dial, "dial number");
        auto *all_option = dial_delete_cmd->add_flag("--all", all, "clear every dial");
        dial_option->excludes(all_option);
        dial_delete_cmd->require_option(1);
    }

    // Runs the command if it is one of these; false otherwise.
    bool run()
    {
        if (setting_get_cmd->parsed())
            setting_get(name);
        else if (setting_set_cmd->parsed())
            setting_set(name, values);
        else if (dial_set_cmd->parsed())
            speed_dial_set(dial, storage, contact_index, position);
        else if (dial_get_cmd->parsed())
            speed_dial_get(dial);
        else if (dial_list_cmd->parsed())
            speed_dial_list(query,
                            by == "name"     ? CONTACT_SPEED_DIAL_SEARCH_NAME
                            : by == "number" ? CONTACT_SPEED_DIAL_SEARCH_NUMBER
                                             : CONTACT_SPEED_DIAL_SEARCH_ANY,
                            search_storage);
        else if (dial_delete_cmd->parsed() && all)
            check("contact_delete_all_speed_dials", contact_delete_all_speed_dials);
        else if (dial_delete_cmd->parsed())
            check("contact_delete_speed_dial", [&](int *e) { return contact_delete_speed_dial(dial, e); });
        else
            return false;
        return true;
    }
};


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


// ---- the SIM phonebook -----------------------------------------------------------

const char *sim_load_state(int state)
{
    switch (state) {
    case CONTACT_SIM_LOAD_NOT_STARTED:
        return "not loaded";
    case CONTACT_SIM_LOAD_LOADING:
        return "loading";
    case CONTACT_SIM_LOAD_DONE:
        return "loaded";
    default:
        return "?";
    }
}

void sim_status()
{
    sim_status_t status{};
    check("contact_get_sim_status", [&](int *e) { return contact_get_sim_status(&status, e); });
    if (!status.is_present) {
        std::printf("no SIM card\n");
        return;
    }
    std::printf("SIM card %s (%s)%s%s\n", status.iccid,
                status.card_format == CONTACT_SIM_CARD_FORMAT_SIM ? "SIM" : "USIM",
                status.is_pin_locked ? ", waiting for its PIN" : "", status.is_enabled ? "" : ", disabled");
    std::printf("  phonebook: %s (%d%%), %s\n", sim_load_state(status.load_state), status.load_percent,
                status.is_open ? "open" : "closed");
    std::printf("  ADN %d of %d, FDN %d of %d, SDN %d of %d, AAS %d\n", status.adn_used, status.adn_capacity,
                status.fdn_used, status.fdn_capacity, status.sdn_used, status.sdn_capacity, status.aas_count);
    std::printf("  names up to %d bytes, numbers up to %d digits\n", status.name_max_length,
                status.number_max_length);
    std::printf("  line %d active%s\n", status.active_line + 1, status.is_als_supported ? " (ALS: two lines)" : "");
}

// Starts the load and prints its progress as it climbs.
void sim_load()
{
    check("contact_initialize_sim", contact_initialize_sim);
    bool loaded = false;
    int percent = 0;
    int shown = -1;
    while (!loaded) {
        check("contact_is_sim_initialized", [&](int *e) { return contact_is_sim_initialized(&loaded, &percent, e); });
        if (percent != shown) {
            std::printf("  loading the SIM phonebook: %3d%%\n", percent);
            std::fflush(stdout);
            shown = percent;
        }
        if (!loaded)
            usleep(20 * 1000);
    }
}

void sim_list()
{
    const std::pair<const char *, int> books[] = {
        {"ADN", CONTACT_STORAGE_SIM}, {"FDN", CONTACT_STORAGE_FDN}, {"SDN", CONTACT_STORAGE_SDN}};
    for (const auto &[name, storage] : books) {
        std::printf("-- %s (storage %d)\n", name, storage);
        list(storage);
    }
    sim_aas_record_t aas[CONTACT_SIM_PHONE_TYPE_COUNT_MAX]{};
    int count = 0;
    check("contact_get_sim_aas_records", [&](int *e) { return contact_get_sim_aas_records(aas, &count, e); });
    std::printf("-- AAS\n");
    for (int i = 0; i < count; ++i)
        std::printf("  %d: %s\n", aas[i].index, aas[i].text);
}

// ---- watch: the service's change notifications, through the converters --------

using Converter = int (*)(GArray *, int *, void *, int *);
enum class UpdateData { Int, Index, SimError };
struct Receiver {
    const char *signal;
    Converter convert;
    UpdateData data;
};

// clang-format off
constexpr Receiver kReceivers[] = {
    {"contact_new_storage_type_noti",          contact_convert_new_storage_type_noti_to_update_type_and_data,            UpdateData::Int},
    {"contact_view_storage_type_noti",         contact_convert_view_storage_type_noti_to_update_type_and_data,           UpdateData::Int},
    {"contact_display_order_noti",             contact_convert_display_order_noti_to_update_type_and_data,               UpdateData::Int},
    {"contact_sort_type_noti",                 contact_convert_sort_type_noti_to_update_type_and_data,                   UpdateData::Int},
    {"contact_activated_own_number_noti",      contact_convert_activated_own_number_noti_to_update_type_and_data,        UpdateData::Int},
    {"contact_fdn_status_changed_noti",        contact_convert_fdn_status_changed_noti_to_update_type_and_data,          UpdateData::Int},
    {"contact_delete_some_contacts_noti",      contact_convert_delete_some_contacts_noti_to_update_type_and_data,        UpdateData::Int},
    {"contact_copy_some_contacts_noti",        contact_convert_copy_some_contacts_noti_to_update_type_and_data,          UpdateData::Int},
    {"contact_move_some_contacts_noti",        contact_convert_move_some_contacts_noti_to_update_type_and_data,          UpdateData::Int},
    {"contact_delete_some_groups_noti",        contact_convert_delete_some_groups_noti_to_update_type_and_data,          UpdateData::Int},
    {"contact_delete_all_group_members_noti",  contact_convert_delete_all_group_members_noti_to_update_type_and_data,    UpdateData::Index},
    {"contact_delete_some_group_members_noti", contact_convert_delete_some_group_members_noti_to_update_type_and_data,   UpdateData::Index},
    {"contact_add_some_group_members_noti",    contact_convert_add_some_group_members_noti_to_update_type_and_data,      UpdateData::Index},
    {"contact_add_group_member_noti",          contact_convert_add_group_member_noti_to_update_type_and_data,            UpdateData::Index},
    {"contact_delete_group_member_noti",       contact_convert_delete_group_member_noti_to_update_type_and_data,         UpdateData::Index},
    {"contact_sim_error_noti",                 contact_convert_sim_error_noti_to_update_type_and_data,                   UpdateData::SimError},
    {"contact_main_table_noti",                contact_convert_contact_main_table_modified_noti_to_update_type_and_data, UpdateData::Index},
    {"contact_table_noti",                     contact_convert_contact_table_modified_noti_to_update_type_and_data,      UpdateData::Index},
    {"contact_group_table_noti",               contact_convert_group_table_modified_noti_to_update_type_and_data,        UpdateData::Index},
    {"contact_speed_dial_table_noti",          contact_convert_speed_dial_table_modified_noti_to_update_type_and_data,   UpdateData::Int},
    {"contact_my_contact_table_noti",          contact_convert_my_contact_table_modified_noti_to_update_type_and_data,   UpdateData::Int},
};
// clang-format on

// The receivers follow the service's list of signals, one for one.
constexpr bool receivers_match_signals()
{
    if (std::size(kReceivers) != std::size(contact_signals::kSignals))
        return false;
    for (std::size_t i = 0; i < std::size(kReceivers); ++i)
        if (std::string_view(kReceivers[i].signal) != contact_signals::kSignals[i].name)
            return false;
    return true;
}
static_assert(receivers_match_signals());

struct Watch {
    GMainLoop *loop;
    int remaining; // lines still to print; negative: until interrupted
};

// One line per signal: its name, the update type and the update data, as the
// library's converter makes them of the signal's arguments.
void on_signal(GDBusConnection *, const char *, const char *, const char *, const char *signal_name,
               GVariant *parameters, gpointer user_data)
{
    auto *watch = static_cast<Watch *>(user_data);
    const Receiver *receiver = nullptr;
    for (const Receiver &candidate : kReceivers)
        if (std::strcmp(candidate.signal, signal_name) == 0)
            receiver = &candidate;
    if (receiver == nullptr)
        return;

    GArray *args = g_array_new(FALSE, TRUE, sizeof(noti_property));
    GVariantIter iter;
    g_variant_iter_init(&iter, parameters);
    while (GVariant *child = g_variant_iter_next_value(&iter)) {
        noti_property property{};
        if (g_variant_is_of_type(child, G_VARIANT_TYPE_INT32)) {
            property.type = CONTACT_NOTI_TYPE_INT;
            const gint32 value = g_variant_get_int32(child);
            std::memcpy(&property.value, &value, sizeof value);
        }
        g_array_append_val(args, property);
        g_variant_unref(child);
    }

    int update_type = -1;
    int error_code = 0;
    union {
        int value;
        contact_update_index_t index;
        contact_update_sim_error_t sim_error;
    } data{};
    if (!receiver->convert(args, &update_type, &data, &error_code))
        std::printf("%s refused by its converter (error code %d)\n", signal_name, error_code);
    else if (receiver->data == UpdateData::Int)
        std::printf("%s update_type=%d value=%d\n", signal_name, update_type, data.value);
    else if (receiver->data == UpdateData::Index)
        std::printf("%s update_type=%d index=%d storage_type=%d\n", signal_name, update_type, data.index.index,
                    data.index.storage_type);
    else
        std::printf("%s update_type=%d index=%d storage_type=%d access_mode=%d sim_error_value=%d\n", signal_name,
                    update_type, data.sim_error.index, data.sim_error.storage_type, data.sim_error.access_mode,
                    data.sim_error.sim_error_value);
    std::fflush(stdout);
    g_array_free(args, TRUE);
    if (watch->loop != nullptr && watch->remaining > 0 && --watch->remaining == 0)
        g_main_loop_quit(watch->loop);
}

gboolean on_stop_signal(gpointer user_data)
{
    g_main_loop_quit(static_cast<Watch *>(user_data)->loop);
    return G_SOURCE_CONTINUE;
}

// The service's signals on the system bus, delivered to on_signal through
// the default main context while it lives.  Once constructed, the
// subscription is in place (a round trip to the bus after the AddMatch).
class Subscription {
public:
    explicit Subscription(Watch *state)
    {
        GError *error = nullptr;
        bus_ = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
        if (bus_ == nullptr) {
            const std::string reason = error->message;
            g_error_free(error);
            throw Failure("cannot reach the system bus: " + reason);
        }
        id_ = g_dbus_connection_signal_subscribe(bus_, CONTACT_ENGINE_BUS_NAME, CONTACT_ENGINE_INTERFACE, nullptr,
                                                 CONTACT_ENGINE_OBJECT_PATH, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
                                                 on_signal, state, nullptr);
        GVariant *id = g_dbus_connection_call_sync(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                   "org.freedesktop.DBus", "GetId", nullptr, nullptr,
                                                   G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
        if (id != nullptr)
            g_variant_unref(id);
    }
    ~Subscription()
    {
        g_dbus_connection_signal_unsubscribe(bus_, id_);
        g_object_unref(bus_);
    }
    Subscription(const Subscription &) = delete;
    Subscription &operator=(const Subscription &) = delete;

private:
    GDBusConnection *bus_ = nullptr;
    guint id_ = 0;
};

// Prints each signal until SIGINT or SIGTERM, or until `count` lines when
// count > 0.  Says on stderr when it is subscribed.
int watch(int count)
{
    Watch state{g_main_loop_new(nullptr, FALSE), count};
    Subscription subscription(&state);
    const guint on_int = g_unix_signal_add(SIGINT, on_stop_signal, &state);
    const guint on_term = g_unix_signal_add(SIGTERM, on_stop_signal, &state);
    std::fprintf(stderr, "contact-engine-tool: watching %s\n", CONTACT_ENGINE_OBJECT_PATH);
    g_main_loop_run(state.loop);
    g_source_remove(on_int);
    g_source_remove(on_term);
    g_main_loop_unref(state.loop);
    return 0;
}

// ---- bulk jobs ------------------------------------------------------------------

volatile sig_atomic_t g_interrupted = 0;

void on_interrupt(int)
{
    g_interrupted = 1;
}

struct BulkRequest {
    int kind = 0;
    int storages = 0;
    std::string file;          // import
    std::vector<int> indices;  // thumbs
};

// Shows the job's progress until it ends.  Ctrl-C stops it after its current
// chunk and leaves it interrupted: `bulk resume HANDLE` goes on.
int follow_job(int handle)
{
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigaction(SIGINT, &action, nullptr);
    const bool terminal = isatty(STDOUT_FILENO) != 0;
    bulk_operation_status_t status{};
    int shown = -1;
    bool stopping = false;
    for (;;) {
        check("contact_bulk_operation_get_info",
              [&](int *e) { return contact_bulk_operation_get_info(handle, &status, e); });
        if (terminal) {
            const int width = 40, filled = status.progress * width / 1000;
            std::printf("\r[%s%s] %3d.%d%%  %d done, %d skipped ", std::string(std::size_t(filled), '#').c_str(),
                        std::string(std::size_t(width - filled), '.').c_str(), status.progress / 10,
                        status.progress % 10, status.done, status.failed);
            std::fflush(stdout);
        } else if (status.progress / 100 != shown || status.state != CONTACT_BULK_STATE_RUNNING) {
            shown = status.progress / 100;
            std::printf("progress: %d.%d%% %d done, %d skipped\n", status.progress / 10, status.progress % 10,
                        status.done, status.failed);
        }
        if (status.state != CONTACT_BULK_STATE_RUNNING)
            break;
        if (g_interrupted && !stopping) {
            stopping = true;
            check("contact_bulk_operation_stop", [&](int *e) { return contact_bulk_operation_stop(handle, e); });
        }
        usleep(terminal ? 50000 : 200000);
    }
    if (terminal)
        std::printf("\n");
    switch (status.state) {
    case CONTACT_BULK_STATE_STOPPED:
        std::printf("paused after %d contacts: job %d; go on with: contact-engine-tool bulk resume %d\n", status.done,
                    handle, handle);
        return 130;
    case CONTACT_BULK_STATE_FAILED:
        std::printf("failed with error code %d after %d contacts (stored contacts stay)\n", status.last_error,
                    status.done);
        return 1;
    default:
        std::printf("done: %d contacts, %d skipped%s\n", status.done, status.failed,
                    status.failed > 0 ? (" (last error code " + std::to_string(status.last_error) + ")").c_str() : "");
        return 0;
    }
}

// The export's file, once the job has run.
void print_export_file(int handle)
{
    std::string path;
    int error_code = 0;
    if (bulk_client::target_file(handle, path, &error_code))
        std::printf("written to %s\n", path.c_str());
}

int run_bulk(const BulkRequest &request)
{
    int handle = 0, state = 0;
    check("contact_bulk_operation_open",
          [&](int *e) { return contact_bulk_operation_open(request.kind, request.storages, &handle, e); });
    if (request.kind == CONTACT_BULK_IMPORT) {
        char *absolute = realpath(request.file.c_str(), nullptr);
        const std::string path = absolute != nullptr ? absolute : request.file;
        std::free(absolute);
        std::string reason;
        check("set_source", [&](int *e) { return bulk_client::set_source(handle, path, e, &reason); });
    }
    if (!request.indices.empty())
        check("contact_bulk_operation_set_thumb", [&](int *e) {
            return contact_bulk_operation_set_thumb(handle, request.indices.data(), int(request.indices.size()), e);
        });
    check("contact_bulk_operation_exec", [&](int *e) { return contact_bulk_operation_exec(handle, &state, e); });
    const int outcome = follow_job(handle);
    if (request.kind == CONTACT_BULK_EXPORT && outcome == 0)
        print_export_file(handle);
    if (outcome != 130)
        check("contact_bulk_operation_close", [&](int *e) { return contact_bulk_operation_close(handle, e); });
    return outcome;
}

// Takes over a job left by an interrupted tool (or a restarted service).
int resume_bulk(int handle)
{
    int state = 0;
    check("adopt", [&](int *e) { return bulk_client::adopt(handle, &state, e); });
    check("contact_bulk_operation_resume", [&](int *e) { return contact_bulk_operation_resume(handle, e); });
    const int outcome = follow_job(handle);
    print_export_file(handle);
    if (outcome != 130)
        check("contact_bulk_operation_close", [&](int *e) { return contact_bulk_operation_close(handle, e); });
    return outcome;
}

// A small address book as phones write it: vCard 2.1 with QUOTED-PRINTABLE
// Latin-1 and vCard 3.0.
constexpr const char *kDemoBook =
    "BEGIN:VCARD\r\nVERSION:2.1\r\nN;CHARSET=ISO-8859-1;ENCODING=QUOTED-PRINTABLE:M=FCller;J=FCrgen\r\n"
    "FN;CHARSET=ISO-8859-1;ENCODING=QUOTED-PRINTABLE:J=FCrgen M=FCller\r\nTEL;CELL;PREF:+49 151 2345678\r\nEND:VCARD\r\n"
    "BEGIN:VCARD\r\nVERSION:3.0\r\nN:Lovelace;Ada;;;\r\nFN:Ada Lovelace\r\nTEL;TYPE=HOME:+44 20 7946 0018\r\n"
    "EMAIL;TYPE=INTERNET:ada@example.org\r\nNOTE:Wrote the first program\\, for the Analytical Engine.\r\nEND:VCARD\r\n"
    "BEGIN:VCARD\r\nVERSION:3.0\r\nN:Turing;Alan;;;\r\nFN:Alan Turing\r\nTEL;TYPE=WORK:+44 161 496 0000\r\nEND:VCARD\r\n";

void bulk_demo()
{
    std::printf("\n== bulk: importing a small vCard address book\n");
    char path[] = "/tmp/contact-engine-demo-XXXXXX.vcf";
    const int fd = mkstemps(path, 4);
    if (fd < 0)
        throw Failure("cannot write the demo address book");
    const std::string book = kDemoBook;
    const bool written = write(fd, book.data(), book.size()) == ssize_t(book.size());
    close(fd);
    if (!written)
        throw Failure("cannot write the demo address book");
    BulkRequest import;
    import.kind = CONTACT_BULK_IMPORT;
    import.storages = CONTACT_STORAGE_PHONE;
    import.file = path;
    run_bulk(import);
    unlink(path);
    list(CONTACT_STORAGE_PHONE);

    std::printf("\n== bulk: exporting the phone storage again\n");
    BulkRequest exported;
    exported.kind = CONTACT_BULK_EXPORT;
    exported.storages = CONTACT_STORAGE_PHONE;
    run_bulk(exported);
}

// ---- vCard ------------------------------------------------------------------

// The vCard operations report only through their result (the reason is in
// the log), so a failure names the operation alone.
template <class Call> void check_vcard(const char *what, Call call)
{
    if (!call())
        throw Failure(std::string(what) + " failed (see the log for the reason)");
}

void print_converted(const contact_t &c)
{
    std::printf("%s\n", c.display_name);
    if (c.first_name[0] || c.middle_name[0] || c.last_name[0])
        std::printf("  name:     %s|%s|%s\n", c.first_name, c.middle_name, c.last_name);
    if (c.nickname[0])
        std::printf("  nickname: %s\n", c.nickname);
    if (c.company[0] || c.job_title[0])
        std::printf("  company:  %s %s\n", c.company, c.job_title);
    if (c.birthday[0])
        std::printf("  birthday: %s\n", c.birthday);
    if (c.website[0])
        std::printf("  website:  %s\n", c.website);
    std::printf("  the card holds %d numbers, %d e-mails, %d addresses%s\n", c.phone_info_cnt, c.email_info_cnt,
                c.postal_info_cnt, c.note_len > 0 ? " and a note" : "");
}

// A stored contact as vCard: its text, or the path of the file the service
// wrote.  The record addresses the stored contact, so the service adds the
// numbers, e-mails and the rest that the record's fixed part cannot carry.
void vcard_export(int storage, int index, int version, bool to_file, bool to_tmp)
{
    Contact c;
    check("contact_get_contact", [&](int *e) { return contact_get_contact(storage, index, &c.record, e); });
    if (to_file || to_tmp) {
        char path[CONTACT_VCARD_PATH_MAX] = {};
        if (to_tmp)
            check_vcard("contact_convert_contact_to_vcard_file_tmp",
                        [&] { return contact_convert_contact_to_vcard_file_tmp(&c.record, path, version); });
        else
            check_vcard("contact_convert_contact_to_vcard_file",
                        [&] { return contact_convert_contact_to_vcard_file(&c.record, path, version); });
        std::printf("%s\n", path);
        return;
    }
    char *text = nullptr;
    check_vcard("contact_convert_contact_to_vcard",
                [&] { return contact_convert_contact_to_vcard(&c.record, &text, version); });
    std::fputs(text, stdout);
    contact_free_vcard(text);
}

// A contact's fixed part as the service read it from a file; the service
// opens the file as the user who runs the tool.  With a storage, the fixed
// part is stored too (names, company, dates: the conversion carries no
// numbers or e-mails; `bulk import` takes whole cards).
void vcard_import(const std::string &file, int add_to)
{
    const std::string path = std::filesystem::absolute(file).string();
    contact_t c{};
    check_vcard("contact_convert_vcard_file_to_contact",
                [&] { return contact_convert_vcard_file_to_contact(path.c_str(), &c); });
    print_converted(c);
    if (add_to < 0)
        return;
    c.phone_info_cnt = c.email_info_cnt = c.postal_info_cnt = c.note_len = 0;
    c.about_len = c.sns_cnt = c.im_cnt = c.presence_text_len = 0;
    c.contact_id_data = nullptr;
    int index = 0;
    check("contact_add_contact", [&](int *e) { return contact_add_contact(add_to, &c, &index, e); });
    std::printf("stored at index %d of storage %d\n", index, add_to);
}

// vCard text read by the tool (from FILE, or standard input) and converted
// by the service.
void vcard_show(const std::string &file)
{
    std::string text;
    if (file.empty() || file == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else {
        std::ifstream in(file, std::ios::binary);
        if (!in)
            throw Failure("cannot read " + file);
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    contact_t c{};
    check_vcard("contact_convert_vcard_to_contact", [&] { return contact_convert_vcard_to_contact(text.c_str(), &c); });
    print_converted(c);
}


// ---- demo ------------------------------------------------------------------------

// A short session: what a phonebook does at start-up and on a few taps.
void demo()
{
    // The service announces each change; they are printed at the end.
    Watch announced{nullptr, -1};
    Subscription subscription(&announced);
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

    std::printf("\n== the SIM card\n");
    sim_load();
    check("contact_open_sim", contact_open_sim);
    sim_status();
    sim_list();
    const int sim_index = add(CONTACT_STORAGE_SIM, "Ada L", {"+44 20 7946 0018"}, {}, "");
    std::printf("  added \"Ada L\" to the SIM at %d (written back to the card file)\n", sim_index);
    {
        Contact too_long;
        std::snprintf(too_long.record.display_name, sizeof too_long.record.display_name, "%s",
                      "Augusta Ada King, Countess of Lovelace");
        int error_code = 0, refused_index = 0;
        if (!contact_add_contact(CONTACT_STORAGE_SIM, &too_long.record, &refused_index, &error_code))
            std::printf("  a 38-byte name is refused by the SIM: error code %d\n", error_code);
    }

    std::printf("\n== the contact as vCard 3.0 (numbers, e-mail and note from the stored contact)\n");
    vcard_export(CONTACT_STORAGE_PHONE, index, CONTACT_VCARD_30, false, false);

    std::printf("\n== fixed dialling numbers\n");
    for (const char *number : {"112", "+44 20 7946 0000", "+1 202 555 0142"}) {
        bool allowed = false;
        check("contact_is_fdn_phone_number_exist",
              [&](int *e) { return contact_is_fdn_phone_number_exist(number, &allowed, e); });
        std::printf("  %-18s %s\n", number, allowed ? "allowed" : "not in the FDN list");
    }

    std::printf("\n== my contact\n");
    me();

    std::printf("\n== a speed dial for her work number, and the settings\n");
    int dial = 0;
    check("contact_get_empty_speed_dial_index", [&](int *e) { return contact_get_empty_speed_dial_index(&dial, e); });
    speed_dial_set(dial, CONTACT_STORAGE_PHONE, index, 1);
    setting_set("sort-type", {"last-name"});
    setting_get("");

    group_demo();
    demo_result_sets();

    std::printf("\n== removing the added contact\n");
    check("contact_delete_contact", [&](int *e) { return contact_delete_contact(CONTACT_STORAGE_PHONE, index, e); });
    check("contact_get_contact_count",
          [&](int *e) { return contact_get_contact_count(CONTACT_STORAGE_PHONE, &count, e); });
    std::printf("  %d contacts again\n", count);
    int dials = 0;
    check("contact_get_speed_dial_count", [&](int *e) { return contact_get_speed_dial_count(&dials, e); });
    std::printf("  %d speed dials: hers went with her\n", dials);


    bulk_demo();

    std::printf("\n== what the service announced (contact-engine-tool watch shows it live)\n");
    const gint64 until = g_get_monotonic_time() + 300 * G_TIME_SPAN_MILLISECOND;
    while (g_get_monotonic_time() < until)
        if (!g_main_context_iteration(nullptr, FALSE))
            g_usleep(10 * G_TIME_SPAN_MILLISECOND);
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
    auto *sim_cmd = app.add_subcommand("sim", "the SIM card and its phonebook");
    std::string sim_action;
    sim_cmd->add_option("action", sim_action, "status, load (shows the progress), open, close or list")
        ->required()
        ->check(CLI::IsMember({"status", "load", "open", "close", "list"}));
    auto *demo_cmd = app.add_subcommand("demo", "a short session through the library");
    int watch_count = 0;
    auto *watch_cmd = app.add_subcommand("watch", "print the service's change notifications until interrupted");
    watch_cmd->add_option("--count", watch_count, "stop after this many notifications")->check(CLI::PositiveNumber);
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

    auto *bulk_cmd = app.add_subcommand("bulk", "long jobs: import, export, copy, move, delete; Ctrl-C pauses");
    bulk_cmd->require_subcommand(1);
    BulkRequest bulk;
    int bulk_from = CONTACT_STORAGE_PHONE, bulk_to = CONTACT_STORAGE_SIM, bulk_handle = 0;
    auto *bulk_import = bulk_cmd->add_subcommand("import", "import a vCard file into a storage");
    auto *bulk_export = bulk_cmd->add_subcommand("export", "export contacts (all, or the given indexes) to a vCard file");
    auto *bulk_copy = bulk_cmd->add_subcommand("copy", "copy contacts (all, or the given indexes) to another storage");
    auto *bulk_move = bulk_cmd->add_subcommand("move", "move contacts (all, or the given indexes) to another storage");
    auto *bulk_delete = bulk_cmd->add_subcommand("delete", "delete the given contacts");
    auto *bulk_resume = bulk_cmd->add_subcommand("resume", "go on with a paused job");
    bulk_import->add_option("file", bulk.file, "vCard file (2.1, 3.0 or 4.0)")->required();
    for (auto *cmd : {bulk_import, bulk_export, bulk_delete})
        cmd->add_option("--storage", storage, "storage type (0 phone, 1 SIM, 2 SIM2, 3 FDN, 4 SDN)");
    for (auto *cmd : {bulk_export, bulk_copy, bulk_move})
        cmd->add_option("indexes", bulk.indices, "contact indexes (none: the whole storage)");
    bulk_delete->add_option("indexes", bulk.indices, "contact indexes")->required();
    for (auto *cmd : {bulk_copy, bulk_move}) {
        cmd->add_option("--from", bulk_from, "source storage")->capture_default_str();
        cmd->add_option("--to", bulk_to, "target storage")->capture_default_str();
    }
    bulk_resume->add_option("handle", bulk_handle, "the job, as the paused tool printed it")->required();
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
    SettingsCommands settings_commands;
    settings_commands.add_to(app);
    GroupCommands group_commands(app);
    auto *vcard_cmd = app.add_subcommand("vcard", "convert contacts to and from vCard through the service");
    vcard_cmd->require_subcommand(1);
    auto *vcard_export_cmd = vcard_cmd->add_subcommand("export", "print a stored contact as vCard, or write a file");
    auto *vcard_import_cmd =
        vcard_cmd->add_subcommand("import", "let the service read a vCard file as you; show (or --add) the contact");
    auto *vcard_show_cmd = vcard_cmd->add_subcommand("show", "send vCard text (FILE or standard input) and show the contact");
    int vcard_version = 0, vcard_add_to = -1;
    bool vcard_file = false, vcard_tmp = false;
    std::string vcard_path;
    vcard_export_cmd->add_option("index", index, "contact index")->required();
    vcard_export_cmd->add_option("--storage", storage, "storage type (0 phone, 1 SIM, 5 my contact ...)");
    vcard_export_cmd->add_option("--version", vcard_version, "21, 30 or 40 (default 0: 3.0)");
    auto *file_flag = vcard_export_cmd->add_flag("--file", vcard_file, "write a file and print its path");
    vcard_export_cmd->add_flag("--tmp", vcard_tmp, "write a temporary file and print its path")->excludes(file_flag);
    vcard_import_cmd->add_option("file", vcard_path, "vCard file")->required();
    vcard_import_cmd->add_option("--add", vcard_add_to, "store the contact's fixed part in this storage");
    vcard_show_cmd->add_option("file", vcard_path, "vCard file (default: standard input)");
    CLI11_PARSE(app, argc, argv);
    if (watch_cmd->parsed())
        return watch(watch_count);

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
        else if (sim_cmd->parsed() && sim_action == "status")
            sim_status();
        else if (sim_cmd->parsed() && sim_action == "load")
            sim_load();
        else if (sim_cmd->parsed() && sim_action == "open")
            check("contact_open_sim", contact_open_sim);
        else if (sim_cmd->parsed() && sim_action == "close")
            check("contact_close_sim", contact_close_sim);
        else if (sim_cmd->parsed() && sim_action == "list")
            sim_list();
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
        else if (bulk_resume->parsed())
            return resume_bulk(bulk_handle);
        else if (bulk_cmd->parsed()) {
            bulk.kind = bulk_import->parsed()   ? CONTACT_BULK_IMPORT
                        : bulk_export->parsed() ? CONTACT_BULK_EXPORT
                        : bulk_copy->parsed()   ? CONTACT_BULK_COPY
                        : bulk_move->parsed()   ? CONTACT_BULK_MOVE
                                                : CONTACT_BULK_DELETE;
            bulk.storages = bulk.kind == CONTACT_BULK_COPY || bulk.kind == CONTACT_BULK_MOVE
                                ? CONTACT_BULK_STORAGES(bulk_from, bulk_to)
                                : storage;
            return run_bulk(bulk);
        }
        else if (vcard_export_cmd->parsed())
            vcard_export(storage, index, vcard_version, vcard_file, vcard_tmp);
        else if (vcard_import_cmd->parsed())
            vcard_import(vcard_path, vcard_add_to);
        else if (vcard_show_cmd->parsed())
            vcard_show(vcard_path);
        else if (!settings_commands.run())
            group_commands.run();
    } catch (const Failure &failure) {
        std::fprintf(stderr, "contact-engine-tool: %s\n", failure.what());
        return 1;
    }
    return 0;
}
