// contact-engine-tool: the contact library from the command line.
//
//   contact-engine-tool list [--storage N]
//   contact-engine-tool show INDEX [--storage N]
//   contact-engine-tool add NAME [--phone NUMBER]... [--email ADDRESS]... [--note TEXT] [--storage N]
//   contact-engine-tool delete INDEX [--storage N]
//   contact-engine-tool field INDEX FIELD_ID [VALUE] [--storage N]
//   contact-engine-tool fdn NUMBER
//   contact-engine-tool me
//   contact-engine-tool bulk import FILE [--storage N]
//   contact-engine-tool bulk export [INDEX]... [--storage N]
//   contact-engine-tool bulk copy|move [INDEX]... --from N --to N
//   contact-engine-tool bulk delete INDEX... [--storage N]
//   contact-engine-tool bulk resume HANDLE
//   contact-engine-tool demo
//
// Every command opens the library's connection, makes its calls and closes
// it again.  A failed call prints the operation and its error code on
// stderr and the tool exits 1.
#include <CLI/CLI.hpp>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

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
int watch(int handle)
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
    const int outcome = watch(handle);
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
    const int outcome = watch(handle);
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

    std::printf("\n== removing the added contact\n");
    check("contact_delete_contact", [&](int *e) { return contact_delete_contact(CONTACT_STORAGE_PHONE, index, e); });
    check("contact_get_contact_count",
          [&](int *e) { return contact_get_contact_count(CONTACT_STORAGE_PHONE, &count, e); });
    std::printf("  %d contacts again\n", count);

    bulk_demo();
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
    } catch (const Failure &failure) {
        std::fprintf(stderr, "contact-engine-tool: %s\n", failure.what());
        return 1;
    }
    return 0;
}
