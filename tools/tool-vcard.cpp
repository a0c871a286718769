// contact-engine-tool's vCard commands: `vcard export|import|show`, the
// service converting a stored contact, a file or text, and the demo's
// contact as vCard 3.0.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>

#include "tool-families.h"

namespace tool {
namespace {

// The vCard operations report only through their result; the code and the
// reason of a failure come from the service's error text that the library
// logs.
template <class Call> void check_vcard(const char *what, Call call)
{
    library_log::forget();
    if (!call())
        throw Failure(library_log::failure(what, nullptr));
}

// The converted contact's fixed part (the record the conversion fills has
// no sections of its own).
void print_converted(const contact_t &c)
{
    if (json_output()) {
        print_json(contact_json(c, Sections::FixedPartOnly));
        return;
    }
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
    if (add_to < 0) {
        print_converted(c);
        return;
    }
    c.phone_info_cnt = c.email_info_cnt = c.postal_info_cnt = c.note_len = 0;
    c.about_len = c.sns_cnt = c.im_cnt = c.presence_text_len = 0;
    c.contact_id_data = nullptr;
    int index = 0;
    check("contact_add_contact", [&](int *e) { return contact_add_contact(add_to, &c, &index, e); });
    // As JSON, the contact carries the place it was stored at.
    if (json_output()) {
        c.index = index;
        c.storage_type = add_to;
    }
    print_converted(c);
    if (!json_output())
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
            throw Failure("cannot read " + file + ": " + std::strerror(errno));
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    contact_t c{};
    check_vcard("contact_convert_vcard_to_contact", [&] { return contact_convert_vcard_to_contact(text.c_str(), &c); });
    print_converted(c);
}

struct VCardCommands {
    CLI::App *export_cmd, *import_cmd, *show_cmd;
    int storage = CONTACT_STORAGE_PHONE;
    int index = 0;
    int version = 0, add_to = -1;
    bool file = false, tmp = false;
    std::string path;
} commands;

void add_commands(CLI::App &app)
{
    auto &c = commands;
    auto *vcard_cmd = app.add_subcommand("vcard", "convert contacts to and from vCard through the service");
    vcard_cmd->require_subcommand(1);
    c.export_cmd = vcard_cmd->add_subcommand("export", "print a stored contact as vCard, or write a file");
    c.import_cmd =
        vcard_cmd->add_subcommand("import", "let the service read a vCard file as you; show (or --add) the contact");
    c.show_cmd = vcard_cmd->add_subcommand("show", "send vCard text (FILE or standard input) and show the contact");
    c.export_cmd->add_option("index", c.index, "contact index")->required();
    c.export_cmd->add_option("--storage", c.storage, "storage type (0 phone, 1 SIM, 5 my contact ...)");
    c.export_cmd->add_option("--version", c.version, "21, 30 or 40 (default 0: 3.0)");
    auto *file_flag = c.export_cmd->add_flag("--file", c.file, "write a file and print its path");
    c.export_cmd->add_flag("--tmp", c.tmp, "write a temporary file and print its path")->excludes(file_flag);
    c.import_cmd->add_option("file", c.path, "vCard file")->required();
    c.import_cmd->add_option("--add", c.add_to, "store the contact's fixed part in this storage");
    c.show_cmd->add_option("file", c.path, "vCard file (default: standard input)");
    for (auto *cmd : {c.import_cmd, c.show_cmd})
        add_json_flag(cmd);
}

int run_command()
{
    auto &c = commands;
    if (c.export_cmd->parsed())
        vcard_export(c.storage, c.index, c.version, c.file, c.tmp);
    else if (c.import_cmd->parsed())
        vcard_import(c.path, c.add_to);
    else
        vcard_show(c.path);
    return 0;
}

} // namespace

extern const ToolFamily kVCardCommands{add_commands, run_command, true};

void vcard_demo(int contact_index)
{
    std::printf("\n== the contact as vCard 3.0 (numbers, e-mail and note from the stored contact)\n");
    vcard_export(CONTACT_STORAGE_PHONE, contact_index, CONTACT_VCARD_30, false, false);
}

} // namespace tool
