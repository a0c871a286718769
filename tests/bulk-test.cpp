// Bulk operations end to end: the library's checks and messages, the
// status record, and the service's jobs over the private bus: imports
// stopped and resumed, a service killed in the middle of one, exports,
// copies, moves and deletes, handles of other clients, and files read only
// with the caller's own identity.
#include <gtest/gtest.h>
#include <grp.h>
#include <pwd.h>
#include <sdbus-c++/sdbus-c++.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../tools/bulk-client.h"
#include "bulk-cards.h"
#include "contact-engine-bus.h"
#include "core/contact-engine-errors.h"
#include "contact-engine.h"
#include "sample-contact.h"
#include "responder.h"
#include "test-support.h"

namespace contact_test {
namespace {

using namespace std::chrono_literals;
using contact_engine::ErrorCode;

bulk_operation_status_t status_of(int handle)
{
    bulk_operation_status_t status{};
    int error_code = -1;
    EXPECT_EQ(contact_bulk_operation_get_info(handle, &status, &error_code), 1) << "code " << error_code;
    return status;
}

// Polls the job until `done` holds, for at most `limit`.
bulk_operation_status_t wait_for(int handle, const std::function<bool(const bulk_operation_status_t &)> &done,
                                 std::chrono::milliseconds limit = 60s)
{
    const auto until = std::chrono::steady_clock::now() + limit;
    bulk_operation_status_t status = status_of(handle);
    while (!done(status) && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(2ms);
        status = status_of(handle);
    }
    return status;
}

bool finished(const bulk_operation_status_t &s)
{
    return s.state == CONTACT_BULK_STATE_DONE || s.state == CONTACT_BULK_STATE_FAILED;
}

int contact_count(int storage)
{
    int count = -1;
    int error_code = -1;
    EXPECT_EQ(contact_get_contact_count(storage, &count, &error_code), 1);
    return count;
}

// Every stored contact is one whole card of the generated book: a known
// name, present once, with its numbers.  The storage is read back through
// an export job (one file) rather than 10 000 calls.
void expect_whole_cards(int storage, int expected_count)
{
    int handle = -1, state = -1, error_code = -1;
    ASSERT_EQ(contact_bulk_operation_open(CONTACT_BULK_EXPORT, storage, &handle, &error_code), 1);
    ASSERT_EQ(contact_bulk_operation_exec(handle, &state, &error_code), 1);
    const bulk_operation_status_t exported = wait_for(handle, finished);
    ASSERT_EQ(exported.state, CONTACT_BULK_STATE_DONE);
    ASSERT_EQ(exported.done, expected_count);
    std::string path;
    ASSERT_EQ(bulk_client::target_file(handle, path, &error_code), 1);
    ASSERT_EQ(contact_bulk_operation_close(handle, &error_code), 1);
    std::ifstream file(path);
    std::set<std::string> names;
    std::string line, name;
    int numbers = 0, cards = 0;
    while (std::getline(file, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line == "BEGIN:VCARD") {
            name.clear();
            numbers = 0;
        } else if (line.rfind("FN:", 0) == 0) {
            name = line.substr(3);
        } else if (line.rfind("TEL", 0) == 0) {
            ++numbers;
        } else if (line == "END:VCARD") {
            ++cards;
            ASSERT_EQ(name.rfind("Person ", 0), 0u) << name;
            EXPECT_TRUE(names.insert(name).second) << name << " stored twice";
            EXPECT_GE(numbers, 1) << name << " lost its numbers";
        }
    }
    std::filesystem::remove(path);
    ASSERT_EQ(cards, expected_count);
    // The first cards of the file: nothing skipped.
    for (int i = 0; i < expected_count; ++i)
        if (!names.count(bulk_cards::name_of(i))) {
            ADD_FAILURE() << bulk_cards::name_of(i) << " is missing";
            break;
        }
}

class BulkTest : public ServiceTest {
protected:
    int open_job(int kind, int storages)
    {
        int handle = -1;
        int error_code = -1;
        EXPECT_EQ(contact_bulk_operation_open(kind, storages, &handle, &error_code), 1) << "code " << error_code;
        return handle;
    }
    int open_import(const std::string &path, int storage = CONTACT_STORAGE_PHONE)
    {
        const int handle = open_job(CONTACT_BULK_IMPORT, storage);
        int error_code = -1;
        std::string reason;
        EXPECT_EQ(bulk_client::set_source(handle, path, &error_code, &reason), 1) << reason;
        return handle;
    }
    int exec(int handle)
    {
        int state = -1;
        int error_code = 77;
        EXPECT_EQ(contact_bulk_operation_exec(handle, &state, &error_code), 1) << "code " << error_code;
        EXPECT_EQ(error_code, 77) << "a successful exec leaves error_code alone";
        return state;
    }
    std::string book(int cards)
    {
        const std::string path = dir_.path() + "/book-" + std::to_string(cards) + ".vcf";
        EXPECT_TRUE(bulk_cards::write(path, cards));
        return path;
    }
    int add(const char *name, int storage = CONTACT_STORAGE_PHONE)
    {
        SampleContact contact(name);
        contact.phone("+44 20 7946 0000");
        int index = -1;
        int error_code = -1;
        EXPECT_EQ(contact_add_contact(storage, &contact.record, &index, &error_code), 1);
        return index;
    }
};

// ---- the library's checks ----------------------------------------------------------

TEST(BulkChecks, PreconditionsAndTheirMessages)
{
    (void)bus();
    int handle = 0, state = 0, answer = 0;
    const int thumbs[] = {1, 2};
    bulk_operation_status_t status{};
    const std::string opened_here = "\n[DodazorEdidud]%s %d: The dbus connection hasn't been opened.\n";
    expect_preconditions({
        {"contact_bulk_operation_open", [&](int *e) { return contact_bulk_operation_open(1, 0, &handle, e); },
         CONTACT_ERROR_NOT_CONNECTED, no_connection_message("contact_bulk_operation_open")},
        {"contact_bulk_operation_open", [&](int *e) { return contact_bulk_operation_open(1, 0, nullptr, e); },
         CONTACT_ERROR_NULL_ARGUMENT, "\n[DodazorEdidud]%s %d: The parameter bulk_op_handle is NULL.\n"},
        {"contact_bulk_operation_exec", [&](int *e) { return contact_bulk_operation_exec(1, &state, e); },
         CONTACT_ERROR_NOT_CONNECTED, no_connection_message("contact_bulk_operation_exec")},
        {"contact_bulk_operation_exec", [&](int *e) { return contact_bulk_operation_exec(1, nullptr, e); },
         CONTACT_ERROR_NULL_ARGUMENT, "\n[DodazorEdidud]%s %d: The parameter operation_state is NULL.\n"},
        {"contact_bulk_operation_close", [&](int *e) { return contact_bulk_operation_close(1, e); },
         CONTACT_ERROR_NOT_CONNECTED, opened_here},
        {"contact_bulk_operation_set_thumb", [&](int *e) { return contact_bulk_operation_set_thumb(1, thumbs, 2, e); },
         CONTACT_ERROR_NOT_CONNECTED, opened_here},
        {"contact_bulk_operation_set_thumb", [&](int *e) { return contact_bulk_operation_set_thumb(1, nullptr, 2, e); },
         CONTACT_ERROR_NULL_ARGUMENT, "\n[DodazorEdidud]%s %d: The thumb_record is NULL.\n"},
        {"contact_bulk_operation_set_thumb", [&](int *e) { return contact_bulk_operation_set_thumb(1, nullptr, 0, e); },
         CONTACT_ERROR_NULL_ARGUMENT, "\n[DodazorEdidud]%s %d: The thumb_record is NULL.\n"},
        {"contact_bulk_operation_set_thumb", [&](int *e) { return contact_bulk_operation_set_thumb(1, thumbs, 0, e); },
         CONTACT_ERROR_OUT_OF_RANGE, "\n[DodazorEdidud]%s %d: The count > 0.\n"},
        {"contact_bulk_operation_set_thumb", [&](int *e) { return contact_bulk_operation_set_thumb(1, thumbs, -1, e); },
         CONTACT_ERROR_OUT_OF_RANGE, "\n[DodazorEdidud]%s %d: The count > 0.\n"},
        {"contact_bulk_operation_get_info", [&](int *e) { return contact_bulk_operation_get_info(1, &status, e); },
         CONTACT_ERROR_NOT_CONNECTED, opened_here},
        {"contact_bulk_operation_get_info", [&](int *e) { return contact_bulk_operation_get_info(1, nullptr, e); },
         CONTACT_ERROR_NULL_ARGUMENT, "\n[DodazorEdidud]%s %d: The operation_status is NULL.\n"},
        {"contact_bulk_operation_resume", [&](int *e) { return contact_bulk_operation_resume(1, e); },
         CONTACT_ERROR_NOT_CONNECTED, no_connection_message("contact_bulk_operation_resume")},
        {"contact_bulk_operation_stop", [&](int *e) { return contact_bulk_operation_stop(1, e); },
         CONTACT_ERROR_NOT_CONNECTED, no_connection_message("contact_bulk_operation_stop")},
        {"contact_bulk_operation_stop_all", [&](int *e) { return contact_bulk_operation_stop_all(e); },
         CONTACT_ERROR_NOT_CONNECTED, no_connection_message("contact_bulk_operation_stop_all")},
        {"contact_bulk_operation_close_all", [&](int *e) { return contact_bulk_operation_close_all(e); },
         CONTACT_ERROR_NOT_CONNECTED, no_connection_message("contact_bulk_operation_close_all")},
        {"contact_is_bulk_operation_check", [&](int *e) { return contact_is_bulk_operation_check(&answer, e); },
         CONTACT_ERROR_NOT_CONNECTED, no_connection_message(nullptr, false)},
    });
}

TEST(BulkChecks, GetInfoTracesBeginBeforeTheConnectionTest)
{
    (void)bus();
    LogCapture log;
    bulk_operation_status_t status{};
    status.state = 42;
    int error_code = -1;
    EXPECT_EQ(contact_bulk_operation_get_info(3, &status, &error_code), 0);
    EXPECT_EQ(error_code, CONTACT_ERROR_NOT_CONNECTED);
    EXPECT_EQ(status.state, 42);
    ASSERT_EQ(log.entries().size(), 2u);
    EXPECT_EQ(log.entries()[0].level, kTrace);
    EXPECT_EQ(log.entries()[0].format, "\n[DodazorEdidud]%s:  begin.\n");
    EXPECT_EQ(log.entries()[0].text, "\n[DodazorEdidud]contact_bulk_operation_get_info:  begin.\n");
    EXPECT_EQ(log.entries()[1].level, kError);
}

// ---- replies that are not what they should be ----------------------------------------

// A stand-in for the service in this process: short status replies, and a
// record of the thumb arrays it received.
class BulkReplyTest : public ResponderTest {
protected:
    void register_methods() override
    {
        const char *interface = CONTACT_ENGINE_INTERFACE;
        object_->registerMethod("contact_bulk_operation_get_info").onInterface(interface).implementedAs([](int length) {
            std::vector<std::uint8_t> reply(static_cast<std::size_t>(length));
            for (std::size_t i = 0; i < reply.size(); ++i)
                reply[i] = std::uint8_t(i + 1);
            return reply;
        });
        object_->registerMethod("contact_bulk_operation_set_thumb")
            .onInterface(interface)
            .implementedAs([this](int, std::vector<std::uint8_t> thumbs, int count) {
                received_ = thumbs;
                received_count_ = count;
            });
        object_->registerMethod("contact_bulk_operation_close").onInterface(interface).implementedAs([](int) {
            throw sdbus::Error("com.quorvel.contact.engine.Error.BulkNoJob", "91: no bulk job");
        });
    }

    std::vector<std::uint8_t> received_;
    int received_count_ = 0;
};

TEST_F(BulkReplyTest, StatusShorterThan24BytesIsRefusedUntouched)
{
    for (int length : {0, 1, 20, 23}) {
        SCOPED_TRACE(length);
        LogCapture log;
        bulk_operation_status_t status{};
        status.done = -5;
        int error_code = -1;
        EXPECT_EQ(contact_bulk_operation_get_info(length, &status, &error_code), 0);
        EXPECT_EQ(error_code, CONTACT_ERROR_MALFORMED_REPLY);
        EXPECT_EQ(status.done, -5);
        EXPECT_EQ(status.state, 0);
        ASSERT_EQ(log.errors().size(), 1u);
    }
}

TEST_F(BulkReplyTest, StatusFieldsAreReadByOffset)
{
    for (int length : {24, 40}) {
        bulk_operation_status_t status{};
        int error_code = 77;
        LogCapture log;
        ASSERT_EQ(contact_bulk_operation_get_info(length, &status, &error_code), 1);
        EXPECT_EQ(error_code, 77);
        EXPECT_EQ(status.state, 0x04030201);
        EXPECT_EQ(status.done, 0x08070605);
        EXPECT_EQ(status.total, 0x0c0b0a09);
        EXPECT_EQ(status.failed, 0x100f0e0d);
        EXPECT_EQ(status.progress, 0x14131211);
        EXPECT_EQ(status.last_error, 0x18171615);
        ASSERT_EQ(log.traces().size(), 2u);
        EXPECT_EQ(log.traces()[1].format, "\n[DodazorEdidud]%s: end\n");
    }
}

TEST_F(BulkReplyTest, ThumbsGoAsCountTimesFourLittleEndianBytes)
{
    const int one[] = {7};
    int error_code = 77;
    ASSERT_EQ(contact_bulk_operation_set_thumb(5, one, 1, &error_code), 1);
    EXPECT_EQ(received_, (std::vector<std::uint8_t>{7, 0, 0, 0}));
    EXPECT_EQ(received_count_, 1);
    const int three[] = {1, 258, -1};
    ASSERT_EQ(contact_bulk_operation_set_thumb(5, three, 3, &error_code), 1);
    EXPECT_EQ(received_, (std::vector<std::uint8_t>{1, 0, 0, 0, 2, 1, 0, 0, 255, 255, 255, 255}));
    EXPECT_EQ(received_count_, 3);
    EXPECT_EQ(error_code, 77);
}

TEST_F(BulkReplyTest, RefusalCodeComesFromTheErrorText)
{
    EXPECT_TRUE(fails_with([](int *e) { return contact_bulk_operation_close(12345, e); }, 91,
                           "\n[DodazorEdidud]%s %d: org_yora_contact_contact_bulk_operation_close() failed(%s).\n"));
}

// ---- jobs in the real service ------------------------------------------------------

TEST_F(BulkTest, ImportStoppedAndResumedEndsWithExactlyEveryCard)
{
    const int handle = open_import(book(10000));
    EXPECT_EQ(exec(handle), CONTACT_BULK_STATE_RUNNING);
    // Stop as soon as some contacts are in.
    wait_for(handle, [](const auto &s) { return s.done > 0 || finished(s); });
    int error_code = -1;
    ASSERT_EQ(contact_bulk_operation_stop(handle, &error_code), 1) << error_code;
    bulk_operation_status_t stopped = wait_for(handle, [](const auto &s) { return s.state != CONTACT_BULK_STATE_RUNNING; });
    ASSERT_EQ(stopped.state, CONTACT_BULK_STATE_STOPPED) << "the job had finished before it could be stopped";
    EXPECT_LT(stopped.done, 10000);
    EXPECT_EQ(stopped.done % 500, 0) << "a stop comes between whole chunks";
    EXPECT_EQ(stopped.total, -1);
    EXPECT_GT(stopped.progress, 0);
    EXPECT_LT(stopped.progress, 1000);
    // Stopped means stopped: nothing more arrives.
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(status_of(handle).done, stopped.done);
    EXPECT_EQ(contact_count(CONTACT_STORAGE_PHONE), stopped.done);

    ASSERT_EQ(contact_bulk_operation_resume(handle, &error_code), 1) << error_code;
    const bulk_operation_status_t done = wait_for(handle, finished);
    ASSERT_EQ(done.state, CONTACT_BULK_STATE_DONE) << "last error " << done.last_error;
    EXPECT_EQ(done.done, 10000);
    EXPECT_EQ(done.total, 10000);
    EXPECT_EQ(done.failed, 0);
    EXPECT_EQ(done.progress, 1000);
    expect_whole_cards(CONTACT_STORAGE_PHONE, 10000);
    ASSERT_EQ(contact_bulk_operation_close(handle, &error_code), 1);
}

TEST_F(BulkTest, ServiceKilledDuringAnImportKeepsWholeContactsAndTheJobGoesOn)
{
    const std::string path = book(10000);
    const int handle = open_import(path);
    exec(handle);
    wait_for(handle, [](const auto &s) { return s.done >= 1000 || finished(s); });
    service_.kill_hard();
    service_.start();

    const int stored = contact_count(CONTACT_STORAGE_PHONE);
    EXPECT_GT(stored, 0);
    EXPECT_EQ(stored % 500, 0) << "only whole chunks were committed";
    expect_whole_cards(CONTACT_STORAGE_PHONE, stored);

    // The handle went with the old service; the same client takes the
    // interrupted job over and it goes on from its last whole chunk.
    int error_code = -1;
    bulk_operation_status_t status{};
    EXPECT_EQ(failure_code([&](int *e) { return contact_bulk_operation_get_info(handle, &status, e); }),
              contact_engine::kBulkNoJob);
    int state = -1;
    ASSERT_EQ(bulk_client::adopt(handle, &state, &error_code), 1) << error_code;
    EXPECT_EQ(state, CONTACT_BULK_STATE_STOPPED);
    EXPECT_EQ(status_of(handle).done, stored);
    ASSERT_EQ(contact_bulk_operation_resume(handle, &error_code), 1) << error_code;
    const bulk_operation_status_t done = wait_for(handle, finished);
    ASSERT_EQ(done.state, CONTACT_BULK_STATE_DONE) << "last error " << done.last_error;
    EXPECT_EQ(done.done, 10000);
    expect_whole_cards(CONTACT_STORAGE_PHONE, 10000);
}

// A card with an unreadable property is stored without it (the property
// counted as skipped); a card with nothing readable left, or of an unknown
// version, is skipped and counted as failed.
TEST_F(BulkTest, MalformedCardsAreCountedAndSkippedAndUnreadablePropertiesLeftOut)
{
    const std::string path = dir_.path() + "/mixed.vcf";
    std::ofstream(path) << "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Good One\r\nTEL:123\r\nEND:VCARD\r\n"
                        << "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Broken Number\r\nTEL;ENCODING=b:@@@\r\n"
                        << "NOTE;ENCODING=QUOTED-PRINTABLE:=ZZ\r\nEND:VCARD\r\n"
                        << "BEGIN:VCARD\r\nVERSION:3.0\r\nN;ENCODING=b:@@@\r\nEND:VCARD\r\n"
                        << "BEGIN:VCARD\r\nVERSION:7.0\r\nFN:Future\r\nEND:VCARD\r\n"
                        << "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Good Two\r\nEND:VCARD\r\n";
    const int handle = open_import(path);
    exec(handle);
    const bulk_operation_status_t done = wait_for(handle, finished);
    EXPECT_EQ(done.state, CONTACT_BULK_STATE_DONE);
    EXPECT_EQ(done.done, 3);
    EXPECT_EQ(done.failed, 2);
    EXPECT_EQ(done.last_error, contact_engine::kVCardUnsupportedVersion);
    EXPECT_EQ(contact_count(CONTACT_STORAGE_PHONE), 3);
    int skipped = -1, error_code = 0;
    ASSERT_EQ(bulk_client::skipped_properties(handle, &skipped, &error_code), 1) << error_code;
    EXPECT_EQ(skipped, 2);
}

TEST_F(BulkTest, ExportWritesEveryContactIntoAFileOfTheCaller)
{
    add("Ada Lovelace");
    add("Alan Turing");
    add("Grace Hopper");
    const int handle = open_job(CONTACT_BULK_EXPORT, CONTACT_STORAGE_PHONE);
    int error_code = -1;
    std::string target;
    EXPECT_EQ(bulk_client::target_file(handle, target, &error_code), 0);
    EXPECT_EQ(error_code, contact_engine::kBulkWrongState);
    exec(handle);
    EXPECT_EQ(wait_for(handle, finished).state, CONTACT_BULK_STATE_DONE);
    ASSERT_EQ(bulk_client::target_file(handle, target, &error_code), 1);
    struct stat status {};
    ASSERT_EQ(stat(target.c_str(), &status), 0) << target;
    EXPECT_EQ(status.st_uid, getuid());
    std::stringstream text;
    text << std::ifstream(target).rdbuf();
    const std::string vcards = text.str();
    for (const char *name : {"FN:Ada Lovelace", "FN:Alan Turing", "FN:Grace Hopper"})
        EXPECT_NE(vcards.find(name), std::string::npos) << name;

    // The file reads back as the same three contacts.
    ASSERT_EQ(contact_delete_all_contacts(CONTACT_STORAGE_PHONE, &error_code), 1);
    const int again = open_import(target);
    exec(again);
    EXPECT_EQ(wait_for(again, finished).done, 3);
    EXPECT_EQ(contact_count(CONTACT_STORAGE_PHONE), 3);
}

TEST_F(BulkTest, AnImportIntoTheSimIsCheckedByTheCardLikeASingleAdd)
{
    use_sim_card(kEmptySimCard);
    ready_sim_phonebook();
    const std::string fits = dir_.path() + "/fits.vcf";
    std::ofstream(fits) << "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Ada\r\nTEL:+44 20 7946 0018\r\nEND:VCARD\r\n"
                           "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Alan\r\nTEL:+44 161 496 0000\r\nEND:VCARD\r\n";
    const int first = open_import(fits, CONTACT_STORAGE_SIM);
    exec(first);
    EXPECT_EQ(wait_for(first, finished).done, 2);
    EXPECT_EQ(contact_count(CONTACT_STORAGE_SIM), 2);

    // A card with two numbers: more than a SIM entry holds.
    const std::string too_much = dir_.path() + "/too-much.vcf";
    std::ofstream(too_much) << "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Grace\r\nTEL:+1 202 555 0100\r\n"
                               "TEL:+1 202 555 0101\r\nEND:VCARD\r\n";
    const int second = open_import(too_much, CONTACT_STORAGE_SIM);
    exec(second);
    const bulk_operation_status_t refused = wait_for(second, finished);
    EXPECT_EQ(refused.state, CONTACT_BULK_STATE_FAILED);
    EXPECT_EQ(refused.last_error, 66) << "the card's code: a contact larger than a SIM entry";
    EXPECT_EQ(contact_count(CONTACT_STORAGE_SIM), 2) << "nothing of the refused chunk is stored";
}

TEST_F(BulkTest, CopyMoveAndDeleteALIst)
{
    // The SIM storage takes writes once an (empty) card is loaded and open.
    use_sim_card(kEmptySimCard);
    ready_sim_phonebook();
    const int a = add("One"), b = add("Two"), c = add("Three");
    int error_code = -1;
    // Copy two of them to the SIM ("import from SIM" is the same, the other way).
    const int copy = open_job(CONTACT_BULK_COPY, CONTACT_BULK_STORAGES(CONTACT_STORAGE_PHONE, CONTACT_STORAGE_SIM));
    const int two[] = {a, c};
    ASSERT_EQ(contact_bulk_operation_set_thumb(copy, two, 2, &error_code), 1);
    exec(copy);
    EXPECT_EQ(wait_for(copy, finished).done, 2);
    EXPECT_EQ(contact_count(CONTACT_STORAGE_SIM), 2);
    EXPECT_EQ(contact_count(CONTACT_STORAGE_PHONE), 3);

    // Move the whole SIM back (no thumbs: the whole source).
    const int move = open_job(CONTACT_BULK_MOVE, CONTACT_BULK_STORAGES(CONTACT_STORAGE_SIM, CONTACT_STORAGE_PHONE));
    exec(move);
    const bulk_operation_status_t moved = wait_for(move, finished);
    EXPECT_EQ(moved.done, 2);
    EXPECT_EQ(moved.total, 2);
    EXPECT_EQ(contact_count(CONTACT_STORAGE_SIM), 0);
    EXPECT_EQ(contact_count(CONTACT_STORAGE_PHONE), 5);

    // Delete a list with one index that holds nothing.
    const int remove = open_job(CONTACT_BULK_DELETE, CONTACT_STORAGE_PHONE);
    const int list[] = {a, b, 999};
    ASSERT_EQ(contact_bulk_operation_set_thumb(remove, list, 3, &error_code), 1);
    exec(remove);
    const bulk_operation_status_t deleted = wait_for(remove, finished);
    EXPECT_EQ(deleted.state, CONTACT_BULK_STATE_DONE);
    EXPECT_EQ(deleted.done, 2);
    EXPECT_EQ(deleted.failed, 1);
    EXPECT_EQ(deleted.last_error, contact_engine::kNoContact);
    EXPECT_EQ(contact_count(CONTACT_STORAGE_PHONE), 3);
}

TEST_F(BulkTest, StepsThatDoNotFitAreRefused)
{
    int handle = -1;
    EXPECT_EQ(failure_code([&](int *e) { return contact_bulk_operation_open(9, 0, &handle, e); }),
              contact_engine::kBulkUnknownKind);
    EXPECT_EQ(failure_code([&](int *e) { return contact_bulk_operation_open(CONTACT_BULK_IMPORT, 42, &handle, e); }),
              contact_engine::kUnknownStorage);
    EXPECT_EQ(failure_code([&](int *e) {
                  return contact_bulk_operation_open(CONTACT_BULK_COPY, CONTACT_BULK_STORAGES(0, 6), &handle, e);
              }),
              contact_engine::kBulkUnknownKind);

    const int import = open_job(CONTACT_BULK_IMPORT, CONTACT_STORAGE_PHONE);
    int state = -1;
    const int thumbs[] = {1};
    EXPECT_EQ(failure_code([&](int *e) { return contact_bulk_operation_exec(import, &state, e); }),
              contact_engine::kBulkNoSource);
    EXPECT_EQ(failure_code([&](int *e) { return contact_bulk_operation_set_thumb(import, thumbs, 1, e); }),
              contact_engine::kBulkBadThumbs);
    EXPECT_EQ(failure_code([&](int *e) { return contact_bulk_operation_resume(import, e); }),
              contact_engine::kBulkWrongState);
    int error_code = -1;
    EXPECT_EQ(bulk_client::set_source(import, "relative.vcf", &error_code), 0);
    EXPECT_EQ(error_code, contact_engine::kBulkFileRefused);
    EXPECT_EQ(bulk_client::set_source(import, dir_.path() + "/missing.vcf", &error_code), 0);
    EXPECT_EQ(error_code, contact_engine::kBulkFileRefused);
    EXPECT_EQ(bulk_client::set_source(import, dir_.path(), &error_code), 0) << "a directory is no vCard file";
    EXPECT_EQ(error_code, contact_engine::kBulkFileRefused);

    const int remove = open_job(CONTACT_BULK_DELETE, CONTACT_STORAGE_PHONE);
    EXPECT_EQ(failure_code([&](int *e) { return contact_bulk_operation_exec(remove, &state, e); }),
              contact_engine::kBulkNoThumbs);
    ASSERT_EQ(contact_bulk_operation_set_thumb(remove, thumbs, 1, &error_code), 1);
    exec(remove);
    EXPECT_EQ(failure_code([&](int *e) { return contact_bulk_operation_exec(remove, &state, e); }),
              contact_engine::kBulkWrongState);
    EXPECT_EQ(failure_code([&](int *e) { return contact_bulk_operation_set_thumb(remove, thumbs, 1, e); }),
              contact_engine::kBulkWrongState);

    // Handles never given out, and closed ones.
    bulk_operation_status_t status{};
    EXPECT_EQ(failure_code([&](int *e) { return contact_bulk_operation_stop(4711, e); }), contact_engine::kBulkNoJob);
    ASSERT_EQ(contact_bulk_operation_close(import, &error_code), 1);
    EXPECT_EQ(failure_code([&](int *e) { return contact_bulk_operation_get_info(import, &status, e); }),
              contact_engine::kBulkNoJob);
    EXPECT_EQ(failure_code([&](int *e) { return contact_bulk_operation_close(import, e); }), contact_engine::kBulkNoJob);

    // close_all closes this client's jobs.
    ASSERT_EQ(contact_bulk_operation_close_all(&error_code), 1);
    EXPECT_EQ(failure_code([&](int *e) { return contact_bulk_operation_get_info(remove, &status, e); }),
              contact_engine::kBulkNoJob);
}

TEST_F(BulkTest, StopAllPausesTheCallersJobsAndTheCheckSeesThem)
{
    int answer = -1;
    int error_code = -1;
    ASSERT_EQ(contact_is_bulk_operation_check(&answer, &error_code), 1);
    EXPECT_EQ(answer, 0);
    EXPECT_EQ(error_code, 0);
    const int handle = open_import(book(10000));
    exec(handle);
    ASSERT_EQ(contact_is_bulk_operation_check(&answer, &error_code), 1);
    EXPECT_EQ(answer, 1);
    // The service answers other calls while the job runs.
    int count = -1;
    EXPECT_EQ(contact_get_contact_count(CONTACT_STORAGE_PHONE, &count, &error_code), 1);
    ASSERT_EQ(contact_bulk_operation_stop_all(&error_code), 1);
    const bulk_operation_status_t stopped = wait_for(handle, [](const auto &s) { return s.state != CONTACT_BULK_STATE_RUNNING; });
    EXPECT_EQ(stopped.state, CONTACT_BULK_STATE_STOPPED);
    ASSERT_EQ(contact_is_bulk_operation_check(&answer, &error_code), 1);
    EXPECT_EQ(answer, 0);
}

TEST_F(BulkTest, AnotherClientsHandlesAreRefusedAndItsJobsGoWithIt)
{
    auto other = sdbus::createSystemBusConnection();
    auto proxy = sdbus::createProxy(*other, CONTACT_ENGINE_BUS_NAME, CONTACT_ENGINE_OBJECT_PATH);
    std::int32_t theirs = -1;
    proxy->callMethod("contact_bulk_operation_open")
        .onInterface(CONTACT_ENGINE_INTERFACE)
        .withArguments(std::int32_t(CONTACT_BULK_EXPORT), std::int32_t(CONTACT_STORAGE_PHONE))
        .storeResultsTo(theirs);

    bulk_operation_status_t status{};
    int state = -1;
    const int thumbs[] = {1};
    int error_code = -1;
    EXPECT_EQ(failure_code([&](int *e) { return contact_bulk_operation_get_info(theirs, &status, e); }),
              contact_engine::kBulkNotOwner);
    EXPECT_EQ(failure_code([&](int *e) { return contact_bulk_operation_exec(theirs, &state, e); }),
              contact_engine::kBulkNotOwner);
    EXPECT_EQ(failure_code([&](int *e) { return contact_bulk_operation_set_thumb(theirs, thumbs, 1, e); }),
              contact_engine::kBulkNotOwner);
    EXPECT_EQ(failure_code([&](int *e) { return contact_bulk_operation_close(theirs, e); }),
              contact_engine::kBulkNotOwner);
    EXPECT_EQ(bulk_client::adopt(theirs, &state, &error_code), 0);
    // close_all of this client leaves the other's job alone.
    ASSERT_EQ(contact_bulk_operation_close_all(&error_code), 1);
    EXPECT_EQ(failure_code([&](int *e) { return contact_bulk_operation_get_info(theirs, &status, e); }),
              contact_engine::kBulkNotOwner);

    // The other client leaves the bus: its job is closed.
    proxy.reset();
    other.reset();
    int code = 0;
    for (int tries = 0; tries < 500; ++tries) {
        code = failure_code([&](int *e) { return contact_bulk_operation_get_info(theirs, &status, e); });
        if (code != contact_engine::kBulkNotOwner)
            break;
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(code, contact_engine::kBulkNoJob);
}

// A client running as another user gets a file read only with its own
// rights: a root-only file is refused, a world-readable one is read.
TEST_F(BulkTest, FilesAreReadWithTheCallersIdentity)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to run a client as another user";
    const struct passwd *nobody = getpwnam("nobody");
    if (nobody == nullptr)
        GTEST_SKIP() << "no user 'nobody' on this machine";
    // The client must reach the bus socket and the files' directory.
    const std::string bus_socket = bus().address().substr(std::strlen("unix:path="));
    chmod(std::filesystem::path(bus_socket).parent_path().c_str(), 0755);
    chmod(dir_.path().c_str(), 0755);
    const std::string secret = dir_.path() + "/secret.vcf", open = dir_.path() + "/open.vcf";
    ASSERT_TRUE(bulk_cards::write(secret, 3));
    ASSERT_TRUE(bulk_cards::write(open, 3));
    chmod(secret.c_str(), 0600);
    chmod(open.c_str(), 0644);

    // The child: a fresh bus connection as nobody, asking for both files.
    // Exit codes: 0 as expected, 77 could not reach the bus, else what failed.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0)
            _exit(10);
        try {
            auto connection = sdbus::createSystemBusConnection();
            auto proxy = sdbus::createProxy(*connection, CONTACT_ENGINE_BUS_NAME, CONTACT_ENGINE_OBJECT_PATH);
            auto open_import = [&] {
                std::int32_t handle = -1;
                proxy->callMethod("contact_bulk_operation_open")
                    .onInterface(CONTACT_ENGINE_INTERFACE)
                    .withArguments(std::int32_t(CONTACT_BULK_IMPORT), std::int32_t(CONTACT_STORAGE_PHONE))
                    .storeResultsTo(handle);
                return handle;
            };
            auto set_source = [&](std::int32_t handle, const std::string &path) -> std::string {
                try {
                    proxy->callMethod("set_source").onInterface(bulk_client::kInterface).withArguments(handle, path);
                    return "";
                } catch (const sdbus::Error &error) {
                    return error.getMessage();
                }
            };
            const std::string refused = set_source(open_import(), secret);
            if (refused.rfind(std::to_string(contact_engine::kBulkFileRefused) + ":", 0) != 0)
                _exit(11);
            if (!set_source(open_import(), open).empty())
                _exit(12);
        } catch (const sdbus::Error &error) {
            _exit(error.getName() == "org.freedesktop.DBus.Error.AccessDenied" ||
                          error.getName().find("NoServer") != std::string::npos
                      ? 77
                      : 13);
        }
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "a client running as nobody cannot reach the private bus here";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10: could not become nobody, 11: the root-only file was not refused "
                                         "with the file code, 12: the readable file was refused, 13: a bus failure";
    // Root itself still reads the root-only file.
    int error_code = -1;
    const int mine = open_job(CONTACT_BULK_IMPORT, CONTACT_STORAGE_PHONE);
    EXPECT_EQ(bulk_client::set_source(mine, secret, &error_code), 1) << error_code;
}

} // namespace
} // namespace contact_test
