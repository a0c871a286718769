// Bulk operations: the library's checks, and the service's jobs over the
// private bus (imports stopped, resumed and killed, exports, copies, moves,
// deletes, other clients' handles).
#include <sdbus-c++/sdbus-c++.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <set>
#include <tuple>

#include "../tools/bulk-client.h"
#include "bulk-cards.h"
#include "contact-engine-bus.h"
#include "core/contact-engine-errors.h"
#include "sample-contact.h"
#include "test-support.h"

namespace contact_test {
namespace {

using namespace contact_engine;

bulk_operation_status_t status_of(int handle)
{
    return answer<bulk_operation_status_t>(kUntouched, contact_bulk_operation_get_info, handle);
}

// Polls the job until `done` holds (or the wait gives up): its last status.
bulk_operation_status_t wait_for(int handle, const std::function<bool(const bulk_operation_status_t &)> &done)
{
    bulk_operation_status_t status{};
    eventually([&] { return done(status = status_of(handle)); });
    return status;
}

bool finished(const bulk_operation_status_t &s)
{
    return s.state == CONTACT_BULK_STATE_DONE || s.state == CONTACT_BULK_STATE_FAILED;
}

int contact_count(int storage) { return answer<int>(0, contact_get_contact_count, storage); }

class BulkTest : public ServiceTest {
protected:
    int open_job(int kind, int where) { return answer<int>(kUntouched, contact_bulk_operation_open, kind, where); }
    int open_import(const std::string &path, int storage = CONTACT_STORAGE_PHONE)
    {
        const int handle = open_job(CONTACT_BULK_IMPORT, storage);
        EXPECT_EQ(bulk_client::set_source(handle, path, &error_code_), 1) << error_code_;
        return handle;
    }
    // A successful exec leaves error_code alone.
    int exec(int handle) { return answer<int>(kUntouched, contact_bulk_operation_exec, handle); }
    // Runs the job to its end: its last status.
    bulk_operation_status_t run(int handle)
    {
        exec(handle);
        return wait_for(handle, finished);
    }
    int add(const char *name)
    {
        SampleContact contact(name);
        contact.phone("+44 20 7946 0000");
        int index = -1;
        EXPECT_EQ(contact_add_contact(CONTACT_STORAGE_PHONE, &contact.record, &index, &error_code_), 1);
        return index;
    }
    std::string file(const char *name, const std::string &text)
    {
        const std::string path = dir_.path() + "/" + name;
        std::ofstream(path) << text;
        return path;
    }
    // Every stored contact is one whole card of the generated book, present
    // once, with its numbers; read back through an export (a file of the
    // caller's, there once the job ran), not 10 000 calls.
    void expect_whole_cards(int expected_count)
    {
        const int handle = open_job(CONTACT_BULK_EXPORT, CONTACT_STORAGE_PHONE);
        std::string path;
        EXPECT_EQ(bulk_client::target_file(handle, path, &error_code_), 0) << "no file before the job ran";
        EXPECT_EQ(error_code_, kBulkWrongState);
        EXPECT_EQ(run(handle).done, expected_count);
        ASSERT_EQ(bulk_client::target_file(handle, path, &error_code_), 1);
        struct stat file_status {};
        EXPECT_TRUE(stat(path.c_str(), &file_status) == 0 && file_status.st_uid == getuid()) << path;
        std::ifstream text(path);
        std::set<std::string> names;
        std::string line, name;
        for (int numbers = 0; std::getline(text, line);) {
            if (line.starts_with("FN:"))
                name = line.substr(3, line.size() - 4), numbers = 0;
            numbers += line.starts_with("TEL") ? 1 : 0;
            if (line.starts_with("END:VCARD")) {
                EXPECT_TRUE(names.insert(name).second) << name << " stored twice";
                EXPECT_GE(numbers, 1) << name << " lost its numbers";
            }
        }
        EXPECT_EQ(int(names.size()), expected_count);
        // N names of the book, the last the N-th: the first N cards of the file, nothing skipped.
        EXPECT_TRUE(names.empty() || *names.rbegin() == bulk_cards::name_of(expected_count - 1)) << *names.rbegin();
        EXPECT_EQ(contact_bulk_operation_close(handle, &error_code_), 1);
    }
};

// ---- the library's checks ----------------------------------------------------------

// One row per message shape (the NULL checks of the other arguments are the
// frame's shared ones).
TEST(BulkChecks, PreconditionsAndTheirMessages)
{
    int answer = 0;
    const int thumbs[] = {1, 2};
    const std::string tag = "\n[DodazorEdidud]%s %d: ";
    const int kNull = CONTACT_ERROR_NULL_ARGUMENT, kOff = CONTACT_ERROR_NOT_CONNECTED;
    expect_preconditions({
        {"contact_is_bulk_operation_check", [&](int *e) { return contact_is_bulk_operation_check(&answer, e); }, kOff,
         no_connection_message(nullptr, false)},
        {"contact_bulk_operation_open", [&](int *e) { return contact_bulk_operation_open(1, 0, nullptr, e); }, kNull,
         tag + "The parameter bulk_op_handle is NULL.\n"},
        {"contact_bulk_operation_set_thumb", [&](int *e) { return contact_bulk_operation_set_thumb(1, thumbs, 0, e); },
         CONTACT_ERROR_OUT_OF_RANGE, tag + "The count > 0.\n"},
    });
}

// ---- jobs in the real service ------------------------------------------------------

// The check sees the running job and the service answers other calls
// meanwhile; stop_all pauses it between whole chunks and resume goes on. A
// kill then keeps only whole chunks; the handle went with the old service,
// the same client takes the interrupted job over and it ends with exactly
// every card.
TEST_F(BulkTest, ImportStoppedResumedAndKilledEndsWithExactlyEveryCard)
{
    EXPECT_EQ(answer<int>(0, contact_is_bulk_operation_check), 0);
    const std::string book = dir_.path() + "/book.vcf";
    ASSERT_TRUE(bulk_cards::write(book, 10000));
    const int handle = open_import(book);
    EXPECT_EQ(exec(handle), CONTACT_BULK_STATE_RUNNING);
    EXPECT_EQ(answer<int>(0, contact_is_bulk_operation_check), 1);
    wait_for(handle, [](const auto &s) { return s.done > 0 || finished(s); });
    contact_count(CONTACT_STORAGE_PHONE); // answered while the job runs
    ASSERT_EQ(contact_bulk_operation_stop_all(&error_code_), 1) << error_code_;
    const bulk_operation_status_t stopped =
        wait_for(handle, [](const auto &s) { return s.state != CONTACT_BULK_STATE_RUNNING; });
    ASSERT_EQ(stopped.state, CONTACT_BULK_STATE_STOPPED) << "the job had finished before it could be stopped";
    EXPECT_LT(stopped.done, 10000);
    EXPECT_EQ(stopped.done % 500, 0) << "a stop comes between whole chunks";
    EXPECT_EQ(stopped.total, -1);
    EXPECT_TRUE(stopped.progress > 0 && stopped.progress < 1000) << stopped.progress;
    EXPECT_EQ(answer<int>(0, contact_is_bulk_operation_check), 0);
    EXPECT_EQ(contact_count(CONTACT_STORAGE_PHONE), stopped.done);

    ASSERT_EQ(contact_bulk_operation_resume(handle, &error_code_), 1) << error_code_;
    wait_for(handle, [&](const auto &s) { return s.done > stopped.done || finished(s); });
    service_.kill_hard();
    service_.start();
    const int stored = contact_count(CONTACT_STORAGE_PHONE);
    EXPECT_EQ(stored % 500, 0);
    expect_whole_cards(stored);
    bulk_operation_status_t status{};
    EXPECT_EQ(failure_code([&](int *e) { return contact_bulk_operation_get_info(handle, &status, e); }), kBulkNoJob);
    int state = -1;
    ASSERT_EQ(bulk_client::adopt(handle, &state, &error_code_), 1) << error_code_;
    EXPECT_EQ(state, CONTACT_BULK_STATE_STOPPED);
    EXPECT_EQ(status_of(handle).done, stored);
    ASSERT_EQ(contact_bulk_operation_resume(handle, &error_code_), 1) << error_code_;
    const bulk_operation_status_t done = wait_for(handle, finished);
    ASSERT_EQ(done.state, CONTACT_BULK_STATE_DONE) << "last error " << done.last_error;
    EXPECT_EQ(std::tuple(done.done, done.total, done.failed, done.progress), std::tuple(10000, 10000, 0, 1000));
    expect_whole_cards(10000);
}

// A card with an unreadable property is stored without it (the property
// counted as skipped); a card with nothing readable left, or of an unknown
// version, is skipped and counted as failed. An import into the SIM (an
// empty card, loaded and open) is checked by the card like a single add.
// Copy two to the SIM, move the whole SIM back (no thumbs: the whole
// source), delete a list with an empty index.
TEST_F(BulkTest, ImportsCopiesMovesAndDeletes)
{
    const int handle = open_import(file("mixed.vcf",
        "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Good One\r\nTEL:123\r\nEND:VCARD\r\n"
        "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Broken Number\r\nTEL;ENCODING=b:@@@\r\n"
        "NOTE;ENCODING=QUOTED-PRINTABLE:=ZZ\r\nEND:VCARD\r\n"
        "BEGIN:VCARD\r\nVERSION:3.0\r\nN;ENCODING=b:@@@\r\nEND:VCARD\r\n"
        "BEGIN:VCARD\r\nVERSION:7.0\r\nFN:Future\r\nEND:VCARD\r\n"
        "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Good Two\r\nEND:VCARD\r\n"));
    const bulk_operation_status_t imported = run(handle);
    EXPECT_EQ(std::tuple(imported.state, imported.done, imported.failed, imported.last_error),
              std::tuple(CONTACT_BULK_STATE_DONE, 3, 2, int(kVCardUnsupportedVersion)));
    EXPECT_EQ(contact_count(CONTACT_STORAGE_PHONE), 3);
    int skipped = -1;
    ASSERT_EQ(bulk_client::skipped_properties(handle, &skipped, &error_code_), 1) << error_code_;
    EXPECT_EQ(skipped, 2);

    use_sim_card(kEmptySimCard);
    ready_sim_phonebook();
    const std::string fits = file("fits.vcf", "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Ada\r\nTEL:+44 20 7946 0018\r\n"
                                              "END:VCARD\r\nBEGIN:VCARD\r\nVERSION:3.0\r\nFN:Alan\r\n"
                                              "TEL:+44 161 496 0000\r\nEND:VCARD\r\n");
    EXPECT_EQ(run(open_import(fits, CONTACT_STORAGE_SIM)).done, 2);
    // A card with two numbers: more than a SIM entry holds.
    const std::string too_much = file("too-much.vcf", "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Grace\r\n"
                                                      "TEL:+1 202 555 0100\r\nTEL:+1 202 555 0101\r\nEND:VCARD\r\n");
    const bulk_operation_status_t refused = run(open_import(too_much, CONTACT_STORAGE_SIM));
    EXPECT_EQ(refused.state, CONTACT_BULK_STATE_FAILED);
    EXPECT_EQ(refused.last_error, 66) << "the card's code: a contact larger than a SIM entry";
    EXPECT_EQ(contact_count(CONTACT_STORAGE_SIM), 2) << "nothing of the refused chunk is stored";

    const int a = add("One"), b = add("Two"), c = add("Three");
    const int copy = open_job(CONTACT_BULK_COPY, CONTACT_BULK_STORAGES(CONTACT_STORAGE_PHONE, CONTACT_STORAGE_SIM));
    const int two[] = {a, c};
    ASSERT_EQ(contact_bulk_operation_set_thumb(copy, two, 2, &error_code_), 1);
    EXPECT_EQ(run(copy).done, 2);
    const bulk_operation_status_t moved =
        run(open_job(CONTACT_BULK_MOVE, CONTACT_BULK_STORAGES(CONTACT_STORAGE_SIM, CONTACT_STORAGE_PHONE)));
    EXPECT_EQ(std::tuple(moved.done, moved.total), std::tuple(4, 4));
    EXPECT_EQ(contact_count(CONTACT_STORAGE_SIM), 0);
    EXPECT_EQ(contact_count(CONTACT_STORAGE_PHONE), 10);
    const int remove = open_job(CONTACT_BULK_DELETE, CONTACT_STORAGE_PHONE);
    const int list[] = {a, b, 999};
    ASSERT_EQ(contact_bulk_operation_set_thumb(remove, list, 3, &error_code_), 1);
    const bulk_operation_status_t deleted = run(remove);
    EXPECT_EQ(std::tuple(deleted.state, deleted.done, deleted.failed, deleted.last_error),
              std::tuple(CONTACT_BULK_STATE_DONE, 2, 1, int(kNoContact)));
    EXPECT_EQ(contact_count(CONTACT_STORAGE_PHONE), 8);
}

// Each refusal in order: the jobs' states change between the rows (code 0: a
// step that must succeed; a missing file stands for every file the caller
// cannot open, as the vCard conversions' files are opened by the same code).
// Another client's job is refused to this client and left alone by its
// close_all (security-test sees a job of a client that left the bus interrupted).
TEST_F(BulkTest, StepsThatDoNotFitAreRefused)
{
    const BusClient other;
    std::int32_t theirs = -1;
    other.proxy->callMethod("contact_bulk_operation_open").onInterface(CONTACT_ENGINE_INTERFACE)
        .withArguments(std::int32_t(CONTACT_BULK_EXPORT), std::int32_t(CONTACT_STORAGE_PHONE)).storeResultsTo(theirs);
    int handle = -1, state = -1;
    const int thumbs[] = {1};
    bulk_operation_status_t status{};
    const int import = open_job(CONTACT_BULK_IMPORT, CONTACT_STORAGE_PHONE);
    const int remove = open_job(CONTACT_BULK_DELETE, CONTACT_STORAGE_PHONE);
    const std::string missing = dir_.path() + "/missing.vcf";
    const auto source = [&](const std::string &path) {
        return [&, path](int *e) { return bulk_client::set_source(import, path, e); };
    };
    const Call their_info = with(contact_bulk_operation_get_info, theirs, &status);
    const struct {
        const char *what;
        Call call;
        int code;
    } steps[] = {
        {"unknown kind", with(contact_bulk_operation_open, 9, 0, &handle), kBulkUnknownKind},
        {"unknown storage", with(contact_bulk_operation_open, 1, 42, &handle), kUnknownStorage},
        {"copy to 6", with(contact_bulk_operation_open, CONTACT_BULK_COPY, CONTACT_BULK_STORAGES(0, 6), &handle),
         kBulkUnknownKind},
        {"import without file", with(contact_bulk_operation_exec, import, &state), kBulkNoSource},
        {"thumbs for an import", with(contact_bulk_operation_set_thumb, import, thumbs, 1), kBulkBadThumbs},
        {"resume of a new job", with(contact_bulk_operation_resume, import), kBulkWrongState},
        {"missing file", source(missing), kBulkFileRefused},
        {"delete, no thumbs", with(contact_bulk_operation_exec, remove, &state), kBulkNoThumbs},
        {"thumbs", with(contact_bulk_operation_set_thumb, remove, thumbs, 1), 0},
        {"exec", with(contact_bulk_operation_exec, remove, &state), 0},
        {"exec again", with(contact_bulk_operation_exec, remove, &state), kBulkWrongState},
        {"their job's status", their_info, kBulkNotOwner},
        {"close of theirs", with(contact_bulk_operation_close, theirs), kBulkNotOwner},
        {"close", with(contact_bulk_operation_close, import), 0},
        {"closed job", with(contact_bulk_operation_get_info, import, &status), kBulkNoJob},
        {"close_all", with(contact_bulk_operation_close_all), 0},
        {"after close_all", with(contact_bulk_operation_get_info, remove, &status), kBulkNoJob},
        {"theirs after my close_all", their_info, kBulkNotOwner},
    };
    for (const auto &step : steps) {
        SCOPED_TRACE(step.what);
        int error_code = -1;
        EXPECT_EQ(step.call(&error_code), step.code == 0 ? 1 : 0);
        EXPECT_EQ(error_code, step.code == 0 ? -1 : step.code);
    }
}

} // namespace
} // namespace contact_test
