// contact-engine-tool: the contact library from the command line.
//
//   contact-engine-tool list [--storage N]
//   contact-engine-tool show INDEX [--storage N]
//   contact-engine-tool add NAME [--phone NUMBER]... [--email ADDRESS]... [--note TEXT] [--storage N]
//   contact-engine-tool delete INDEX [--storage N]
//   contact-engine-tool field INDEX FIELD_ID [VALUE] [--storage N]
//   contact-engine-tool fdn NUMBER
//   contact-engine-tool me
//   contact-engine-tool vcard export INDEX [--storage N] [--version 21|30|40] [--file | --tmp]
//   contact-engine-tool vcard import FILE [--add STORAGE]
//   contact-engine-tool vcard show [FILE]
//   contact-engine-tool demo
//
// Every command opens the library's connection, makes its calls and closes
// it again.  A failed call prints the operation and its error code on
// stderr and the tool exits 1.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
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
        else if (vcard_export_cmd->parsed())
            vcard_export(storage, index, vcard_version, vcard_file, vcard_tmp);
        else if (vcard_import_cmd->parsed())
            vcard_import(vcard_path, vcard_add_to);
        else if (vcard_show_cmd->parsed())
            vcard_show(vcard_path);
    } catch (const Failure &failure) {
        std::fprintf(stderr, "contact-engine-tool: %s\n", failure.what());
        return 1;
    }
    return 0;
}
