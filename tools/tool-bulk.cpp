// contact-engine-tool's bulk jobs: `bulk import|export|copy|move|delete|resume`,
// followed until they end; Ctrl-C pauses a job (exit code 130) and `bulk
// resume` goes on with it; `bulk status` shows a paused job.  The demo
// imports a small address book and exports the phone storage.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "bulk-client.h"
#include "tool-families.h"

namespace tool {
namespace {

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

const char *state_name(int state)
{
    switch (state) {
    case CONTACT_BULK_STATE_OPENED:
        return "opened";
    case CONTACT_BULK_STATE_RUNNING:
        return "running";
    case CONTACT_BULK_STATE_STOPPED:
        return "stopped";
    case CONTACT_BULK_STATE_DONE:
        return "done";
    case CONTACT_BULK_STATE_FAILED:
        return "failed";
    default:
        return "?";
    }
}

Json status_json(int handle, const bulk_operation_status_t &status)
{
    return {{"handle", handle},
            {"state", state_name(status.state)},
            {"done", status.done},
            {"total", status.total},
            {"skipped", status.failed},
            {"progress", status.progress},
            {"last_error", status.last_error}};
}

bulk_operation_status_t job_status(int handle)
{
    bulk_operation_status_t status{};
    check("contact_bulk_operation_get_info",
          [&](int *e) { return contact_bulk_operation_get_info(handle, &status, e); });
    return status;
}

// A call of the service's Bulk interface; a failure names it with the
// service's error text.
template <class Call> void check_bulk_call(const char *what, Call call)
{
    int error_code = 0;
    std::string reason;
    if (!call(&error_code, &reason))
        fail_with_text(what, error_code, reason);
}

// The export's file, once the job has run ("" when it wrote none).
std::string export_file(int handle)
{
    std::string path;
    int error_code = 0;
    return bulk_client::target_file(handle, path, &error_code) ? path : "";
}

// Shows the job's progress until it ends (with --json, only its end: the
// job's status as one document, with the export's "file").  Ctrl-C stops
// it after its current chunk and leaves it interrupted: `bulk resume
// HANDLE` goes on.
int follow_job(int handle)
{
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigaction(SIGINT, &action, nullptr);
    const bool terminal = isatty(STDOUT_FILENO) != 0 && !json_output();
    bulk_operation_status_t status{};
    int shown = -1;
    bool stopping = false;
    for (;;) {
        status = job_status(handle);
        if (terminal) {
            const int width = 40, filled = status.progress * width / 1000;
            std::printf("\r[%s%s] %3d.%d%%  %d done, %d skipped ", std::string(std::size_t(filled), '#').c_str(),
                        std::string(std::size_t(width - filled), '.').c_str(), status.progress / 10,
                        status.progress % 10, status.done, status.failed);
            std::fflush(stdout);
        } else if (!json_output() && (status.progress / 100 != shown || status.state != CONTACT_BULK_STATE_RUNNING)) {
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
    if (json_output()) {
        Json document = status_json(handle, status);
        const std::string file = status.state == CONTACT_BULK_STATE_DONE ? export_file(handle) : "";
        if (!file.empty())
            document["file"] = file;
        print_json(document);
        return status.state == CONTACT_BULK_STATE_STOPPED ? 130 : status.state == CONTACT_BULK_STATE_FAILED ? 1 : 0;
    }
    switch (status.state) {
    case CONTACT_BULK_STATE_STOPPED:
        std::printf("paused after %d contacts: job %d; go on with: contact-engine-tool bulk resume %d\n", status.done,
                    handle, handle);
        return 130;
    case CONTACT_BULK_STATE_FAILED:
        std::printf("failed with error code %d after %d contacts (stored contacts stay)\n", status.last_error,
                    status.done);
        return 1;
    default: {
        std::printf("done: %d contacts, %d skipped%s\n", status.done, status.failed,
                    status.failed > 0 ? (" (last error code " + std::to_string(status.last_error) + ")").c_str() : "");
        const std::string file = export_file(handle);
        if (!file.empty())
            std::printf("written to %s\n", file.c_str());
        return 0;
    }
    }
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
        check_bulk_call("set_source", [&](int *e, std::string *reason) {
            return bulk_client::set_source(handle, path, e, reason);
        });
    }
    if (!request.indices.empty())
        check("contact_bulk_operation_set_thumb", [&](int *e) {
            return contact_bulk_operation_set_thumb(handle, request.indices.data(), int(request.indices.size()), e);
        });
    check("contact_bulk_operation_exec", [&](int *e) { return contact_bulk_operation_exec(handle, &state, e); });
    const int outcome = follow_job(handle);
    if (outcome != 130)
        check("contact_bulk_operation_close", [&](int *e) { return contact_bulk_operation_close(handle, e); });
    return outcome;
}

// Takes over a job left by an interrupted tool (or a restarted service).
int resume_bulk(int handle)
{
    int state = 0;
    check_bulk_call("adopt", [&](int *e, std::string *reason) { return bulk_client::adopt(handle, &state, e, reason); });
    check("contact_bulk_operation_resume", [&](int *e) { return contact_bulk_operation_resume(handle, e); });
    const int outcome = follow_job(handle);
    if (outcome != 130)
        check("contact_bulk_operation_close", [&](int *e) { return contact_bulk_operation_close(handle, e); });
    return outcome;
}

// A paused job's status: taken over for the look and left paused, to be
// resumed (when this tool's connection closes, the job waits again).
int bulk_status(int handle)
{
    int state = 0;
    check_bulk_call("adopt", [&](int *e, std::string *reason) { return bulk_client::adopt(handle, &state, e, reason); });
    const bulk_operation_status_t status = job_status(handle);
    if (json_output())
        print_json(status_json(handle, status));
    else
        std::printf("job %d %s: %d of %d contacts done, %d skipped, %d.%d%%, last error code %d\n", handle,
                    state_name(status.state), status.done, status.total, status.failed, status.progress / 10,
                    status.progress % 10, status.last_error);
    return 0;
}

// A small address book as phones write it: vCard 2.1 with QUOTED-PRINTABLE
// Latin-1 and vCard 3.0.
constexpr const char *kDemoBook =
    "BEGIN:VCARD\r\nVERSION:2.1\r\nN;CHARSET=ISO-8859-1;ENCODING=QUOTED-PRINTABLE:M=FCller;J=FCrgen\r\n"
    "FN;CHARSET=ISO-8859-1;ENCODING=QUOTED-PRINTABLE:J=FCrgen M=FCller\r\nTEL;CELL;PREF:+49 151 2345678\r\nEND:VCARD\r\n"
    "BEGIN:VCARD\r\nVERSION:3.0\r\nN:Lovelace;Ada;;;\r\nFN:Ada Lovelace\r\nTEL;TYPE=HOME:+44 20 7946 0018\r\n"
    "EMAIL;TYPE=INTERNET:ada@example.org\r\nNOTE:Wrote the first program\\, for the Analytical Engine.\r\nEND:VCARD\r\n"
    "BEGIN:VCARD\r\nVERSION:3.0\r\nN:Turing;Alan;;;\r\nFN:Alan Turing\r\nTEL;TYPE=WORK:+44 161 496 0000\r\nEND:VCARD\r\n";

struct BulkCommands {
    CLI::App *import_cmd, *export_cmd, *copy_cmd, *move_cmd, *delete_cmd, *resume_cmd, *status_cmd;
    BulkRequest request;
    int storage = CONTACT_STORAGE_PHONE;
    int from = CONTACT_STORAGE_PHONE, to = CONTACT_STORAGE_SIM, handle = 0;
} commands;

void add_commands(CLI::App &app)
{
    auto &c = commands;
    auto *bulk_cmd = app.add_subcommand("bulk", "long jobs: import, export, copy, move, delete; Ctrl-C pauses");
    bulk_cmd->require_subcommand(1);
    c.import_cmd = bulk_cmd->add_subcommand("import", "import a vCard file into a storage");
    c.export_cmd = bulk_cmd->add_subcommand("export", "export contacts (all, or the given indexes) to a vCard file");
    c.copy_cmd = bulk_cmd->add_subcommand("copy", "copy contacts (all, or the given indexes) to another storage");
    c.move_cmd = bulk_cmd->add_subcommand("move", "move contacts (all, or the given indexes) to another storage");
    c.delete_cmd = bulk_cmd->add_subcommand("delete", "delete the given contacts");
    c.resume_cmd = bulk_cmd->add_subcommand("resume", "go on with a paused job");
    c.status_cmd = bulk_cmd->add_subcommand("status", "show a paused job (it stays paused)");
    c.import_cmd->add_option("file", c.request.file, "vCard file (2.1, 3.0 or 4.0)")->required();
    for (auto *cmd : {c.import_cmd, c.export_cmd, c.delete_cmd})
        add_storage_option(cmd, c.storage);
    for (auto *cmd : {c.export_cmd, c.copy_cmd, c.move_cmd})
        cmd->add_option("indexes", c.request.indices, "contact indexes (none: the whole storage)");
    c.delete_cmd->add_option("indexes", c.request.indices, "contact indexes")->required();
    for (auto *cmd : {c.copy_cmd, c.move_cmd}) {
        cmd->add_option("--from", c.from, "source storage")->capture_default_str();
        cmd->add_option("--to", c.to, "target storage")->capture_default_str();
    }
    for (auto *cmd : {c.resume_cmd, c.status_cmd})
        cmd->add_option("handle", c.handle, "the job, as the paused tool printed it")->required();
    for (auto *cmd : {c.import_cmd, c.export_cmd, c.copy_cmd, c.move_cmd, c.delete_cmd, c.resume_cmd, c.status_cmd})
        add_json_flag(cmd);
}

// The job's exit code: 0 done, 1 failed, 130 paused.
int run_command()
{
    auto &c = commands;
    if (c.resume_cmd->parsed())
        return resume_bulk(c.handle);
    if (c.status_cmd->parsed())
        return bulk_status(c.handle);
    BulkRequest &bulk = c.request;
    bulk.kind = c.import_cmd->parsed()   ? CONTACT_BULK_IMPORT
                : c.export_cmd->parsed() ? CONTACT_BULK_EXPORT
                : c.copy_cmd->parsed()   ? CONTACT_BULK_COPY
                : c.move_cmd->parsed()   ? CONTACT_BULK_MOVE
                                         : CONTACT_BULK_DELETE;
    bulk.storages = bulk.kind == CONTACT_BULK_COPY || bulk.kind == CONTACT_BULK_MOVE
                        ? CONTACT_BULK_STORAGES(c.from, c.to)
                        : c.storage;
    return run_bulk(bulk);
}

} // namespace

extern const ToolFamily kBulkCommands{add_commands, run_command, true};

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

} // namespace tool
