// The service as a hostile local user meets it: who calls is what the bus
// daemon says (a pid that changes hands lends nothing), a caller's file opens
// only as the caller could open it (no magic links, no huge file for one card),
// files written for a caller are its alone and expire, the service's are its
// own.  What one user can make the service hold (limits counted over all its
// connections, bulk jobs that know their user) and how long it can hold the
// others up (long calls on the workers, a file of zeros read chunk by chunk).
#include <dbus/dbus.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <thread>

#include "../tools/bulk-client.h"
#include "contact-engine-bus.h"
#include "contact-engine-wire.h"
#include "contact-engine.h"
#include "core/contact-engine-errors.h"
#include "core/service-limits.h"
#include "sample-contact.h"
#include "test-support.h"

namespace contact_test {
namespace {

namespace fs = std::filesystem;
using namespace contact_engine;
using namespace std::chrono_literals;

constexpr User kUserB{65533, 65533}; // anyone else than the caller
constexpr const char *kEngine = CONTACT_ENGINE_INTERFACE;

// A bus connection of its own calling the service directly.
struct Client : BusClient {
    int read_card_file(const std::string &path)
    {
        return code_of([&] {
            proxy->callMethod("contact_convert_vcard_file_to_contact").onInterface(kEngine).withArguments(path);
        });
    }
    // `method` (contact_convert_contact_to_vcard_file or its _tmp) for an empty contact; the file in `path`.
    int export_card(const char *method, std::string &path)
    {
        const std::vector<std::uint8_t> empty(contact_wire::kFixedSize, 0);
        return code_of([&] {
            proxy->callMethod(method).onInterface(kEngine).withArguments(empty, std::int32_t(0)).storeResultsTo(path);
        });
    }
    std::int32_t open_job(int kind, int storages)
    {
        std::int32_t handle = -1;
        proxy->callMethod("contact_bulk_operation_open").onInterface(kEngine).withArguments(kind, storages)
            .storeResultsTo(handle);
        return handle;
    }
    void set_thumbs(std::int32_t job, std::size_t count)
    {
        std::vector<std::uint8_t> indexes(count * 4);
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint32_t index = std::uint32_t(i + 1);
            std::memcpy(indexes.data() + i * 4, &index, 4); // little-endian machine, as the service
        }
        proxy->callMethod("contact_bulk_operation_set_thumb").onInterface(kEngine).withArguments(job, indexes,
                                                                                                  std::int32_t(count));
    }
};

// Runs `body` as `user` with a connection of its own; what it says comes back.
std::vector<std::string> as_user(const User &user, const std::function<void(Client &, int out)> &body)
{
    return run_as(user, [&](int out) {
        Client client;
        body(client, out);
        return 0;
    });
}

class SecurityTest : public ServiceTest {
protected:
    // A file holding one card in the test directory (which other users enter), with `mode`.
    std::string card_file(const std::string &name, mode_t mode)
    {
        chmod(dir_.path().c_str(), 0755);
        const std::string path = dir_.path() + "/" + name;
        std::ofstream(path, std::ios::binary) << "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:" << name << "\r\nEND:VCARD\r\n";
        chmod(path.c_str(), mode);
        return path;
    }
};

// ---- who calls ---------------------------------------------------------------------

// contact_convert_vcard_file_to_contact(path) over libdbus, which (unlike
// sd-bus) goes on working in a child the client forks: that is how a client
// hands its connection on.  The service's code, 0 when answered.
int read_card_file(DBusConnection *connection, const std::string &path)
{
    DBusMessage *call = dbus_message_new_method_call(CONTACT_ENGINE_BUS_NAME, CONTACT_ENGINE_OBJECT_PATH, kEngine,
                                                     "contact_convert_vcard_file_to_contact");
    const char *text = path.c_str();
    dbus_message_append_args(call, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
    DBusError error = DBUS_ERROR_INIT;
    DBusMessage *reply = dbus_connection_send_with_reply_and_block(connection, call, 60000, &error);
    dbus_message_unref(call);
    const int code = reply != nullptr ? 0 : error.message != nullptr ? std::atoi(error.message) : -1;
    if (reply != nullptr)
        dbus_message_unref(reply);
    dbus_error_free(&error);
    return code;
}

// Makes a root process take `pid` by setting the pid namespace's last pid
// just below it; returns the holder (it waits for `release` to close) or -1.
pid_t take_pid_as_root(pid_t pid, int &release)
{
    for (int attempt = 0; attempt < 1000; ++attempt) {
        {
            std::ofstream last("/proc/sys/kernel/ns_last_pid");
            last << pid - 1;
            if (!last.flush())
                return -1;
        }
        int fds[2];
        if (pipe(fds) != 0)
            return -1;
        const pid_t holder = fork();
        if (holder == 0) {
            close(fds[1]);
            char byte = 0;
            (void)!read(fds[0], &byte, 1);
            _exit(0);
        }
        close(fds[0]);
        if (holder == pid) {
            release = fds[1];
            return holder;
        }
        close(fds[1]); // another process took the pid first: again
        waitpid(holder, nullptr, 0);
    }
    return -1;
}

// A client of user A hands its connection to its child and exits; a root
// process takes its pid; the child's file calls still run with A's rights.
TEST_F(SecurityTest, AConnectionHandedOnKeepsItsUsersRightsWhenRootTakesTheOldPid)
{
    const std::optional<User> a = bus_client_user();
    if (!a)
        return;
    const std::string files[] = {card_file("secret.vcf", 0600), card_file("open.vcf", 0644)};
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    UserProcess first(*a, [&](int out) {
        DBusConnection *connection = dbus_bus_get_private(DBUS_BUS_SYSTEM, nullptr);
        close(go[1]);
        if (connection != nullptr && fork() == 0) {
            dbus_connection_set_exit_on_disconnect(connection, FALSE);
            char byte = 0;
            if (read(go[0], &byte, 1) != 1)
                _exit(1);
            for (const std::string &path : files)
                say(out, std::to_string(read_card_file(connection, path)));
            _exit(0);
        }
        return connection != nullptr ? 0 : 1;
    });
    close(go[0]);
    ASSERT_EQ(first.wait(), 0);
    int release = -1;
    const pid_t holder = take_pid_as_root(first.pid(), release);
    if (holder < 0) {
        close(go[1]);
        GTEST_SKIP() << "the next pid cannot be steered here (/proc/sys/kernel/ns_last_pid)";
    }
    ASSERT_EQ(write(go[1], "g", 1), 1);
    close(go[1]);
    const std::vector<std::string> said = first.lines();
    close(release);
    waitpid(holder, nullptr, 0);
    EXPECT_EQ(said, (std::vector<std::string>{std::to_string(kVCardUnreadable), "0"}))
        << "the root-only file must be refused and A's readable one read, whoever holds the old pid";
}

// ---- opening a caller's file ---------------------------------------------------------

// A root client's open import file (in a directory only root enters) sits
// among the service's descriptors; A reaches none through /proc/*/fd or a
// link.  A single-card conversion refuses a file far larger than a card from
// its size, before reading: a sparse 32 GiB file takes no disk and no time.
TEST_F(SecurityTest, ACallersFileOpensOnlyAsItsOwnAndNotWhenHuge)
{
    const std::optional<User> a = bus_client_user();
    if (!a)
        return;
    const std::string private_dir = dir_.path() + "/private";
    fs::create_directory(private_dir);
    chmod(private_dir.c_str(), 0700);
    const std::string import = private_dir + "/import.vcf";
    std::ofstream(import) << "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Secret\r\nEND:VCARD\r\n";
    int handle = -1;
    ASSERT_EQ(contact_bulk_operation_open(CONTACT_BULK_IMPORT, CONTACT_STORAGE_PHONE, &handle, &error_code_), 1);
    ASSERT_EQ(bulk_client::set_source(handle, import, &error_code_), 1) << error_code_;
    const std::string link = dir_.path() + "/fds";
    fs::create_directory_symlink("/proc/self/fd", link);
    const std::vector<std::string> opened = as_user(*a, [&](Client &client, int out) {
        for (const std::string &prefix : {std::string("/proc/self/fd/"), std::string("/proc/thread-self/fd/"),
                                          link + "/"})
            for (int fd = 0; fd < 128; ++fd) {
                const int code = client.read_card_file(prefix + std::to_string(fd));
                if (code != kVCardUnreadable)
                    say(out, prefix + std::to_string(fd) + " gave " + std::to_string(code));
            }
    });
    EXPECT_EQ(opened, std::vector<std::string>{}) << "every such path must be refused with " << kVCardUnreadable;

    const std::string huge = card_file("huge.vcf", 0644), at_limit = card_file("at-limit.vcf", 0644);
    ASSERT_EQ(truncate(huge.c_str(), 32ll << 30), 0);
    ASSERT_EQ(truncate(at_limit.c_str(), off_t(limits::kVCardMaxFileBytes)), 0);
    Client root;
    EXPECT_EQ(root.read_card_file(huge), kVCardTooLarge);
    EXPECT_EQ(root.read_card_file(at_limit), 0);
}

// ---- files written for a caller ------------------------------------------------------

// A's export lies in A's own directory: A removes it, B cannot read it; an
// expired one goes with the next export; over A's cap an export is refused.
TEST_F(SecurityTest, ExportsAreTheCallersToRemoveExpireAndAreCapped)
{
    const std::optional<User> a = bus_client_user();
    if (!a)
        return;
    chmod(dir_.path().c_str(), 0755);
    const struct { const char *method; int lifetime_seconds; } variants[] = {
        {"contact_convert_contact_to_vcard_file", limits::kExportLifetimeSeconds},
        {"contact_convert_contact_to_vcard_file_tmp", limits::kVCardTmpLifetimeSeconds},
    };
    for (const auto &variant : variants) {
        SCOPED_TRACE(variant.method);
        const std::vector<std::string> lines = as_user(*a, [&](Client &client, int out) {
            std::string removed, kept, expired, refused;
            say(out, std::to_string(client.export_card(variant.method, removed)));
            struct stat file {}, directory {};
            stat(removed.c_str(), &file);
            stat(fs::path(removed).parent_path().c_str(), &directory);
            say(out, std::to_string(file.st_uid) + " " + std::to_string(file.st_mode & 0777) + " " +
                         std::to_string(directory.st_uid) + " " + std::to_string(directory.st_mode & 0777));
            say(out, unlink(removed.c_str()) == 0 ? "removed" : std::strerror(errno));
            // Expiry: a file last written longer ago than its lifetime.
            client.export_card(variant.method, expired);
            const time_t old = time(nullptr) - variant.lifetime_seconds - 60;
            const struct timespec times[2] = {{old, 0}, {old, 0}};
            utimensat(AT_FDCWD, expired.c_str(), times, 0);
            say(out, std::to_string(client.export_card(variant.method, kept)));
            say(out, access(expired.c_str(), F_OK) == 0 ? "expired file kept" : "expired file removed");
            say(out, kept);
            // The cap: A's files together, its own filler included.
            const std::string filler = fs::path(kept).parent_path() / "filler";
            const int fd = open(filler.c_str(), O_WRONLY | O_CREAT, 0600);
            (void)!ftruncate(fd, off_t(limits::kExportBytesPerUid));
            close(fd);
            say(out, std::to_string(client.export_card(variant.method, refused)));
            unlink(filler.c_str());
            say(out, std::to_string(client.export_card(variant.method, refused)));
        });
        ASSERT_EQ(lines.size(), 8u);
        // file uid, mode, directory uid, mode; over the cap, and under it again once the filler went
        const std::string uid = std::to_string(a->uid);
        EXPECT_EQ(lines, (std::vector<std::string>{"0", uid + " 384 " + uid + " 448", "removed", "0",
                                                   "expired file removed", lines[5],
                                                   std::to_string(kExportQuotaExceeded), "0"}));
        const std::vector<std::string> other = run_as(kUserB, [&](int out) {
            say(out, open(lines[5].c_str(), O_RDONLY) >= 0 ? "read" : std::strerror(errno));
            return 0;
        });
        EXPECT_EQ(other, std::vector<std::string>{std::strerror(EACCES)}) << "another user reads " << lines[5];
    }
}

// ---- the service's own files ---------------------------------------------------------

// The database, -wal and -shm are the service's alone, also when an earlier
// run left them readable; its directory lists nothing to others (0711).
TEST(ServiceFileModeTest, TheDatabaseAndItsDirectoryAreNotReadableByOthers)
{
    (void)bus();
    TempDir dir;
    const std::string state = dir.path() + "/state", database = state + "/contacts.db";
    ServiceProcess service(database);
    for (const mode_t left : {0, 0644}) {
        SCOPED_TRACE(left == 0 ? "made by the service" : "left readable");
        for (const char *suffix : {"", "-wal", "-shm"})
            chmod((database + suffix).c_str(), left);
        service.start();
        struct stat status {};
        ASSERT_EQ(stat(state.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0711u);
        for (const char *suffix : {"", "-wal", "-shm"}) {
            ASSERT_EQ(stat((database + suffix).c_str(), &status), 0) << suffix;
            EXPECT_EQ(status.st_mode & 0777, 0600u) << database + suffix;
        }
        EXPECT_EQ(service.stop(), 0);
    }
}

// ---- limits per user, over all its connections ----------------------------------

using PerUserLimitTest = SecurityTest;

// `make` takes one more of a resource through a client: it succeeds
// `allowed` times over the user's connections together, then fails with `refusal`.
TEST_F(PerUserLimitTest, ConnectionsOfOneUserShareItsLimits)
{
    const std::string file = card_file("book.vcf", 0644);
    const struct {
        const char *what;
        std::function<void(Client &)> make;
        std::size_t allowed;
        ErrorCode refusal;
    } resources[] = {
        {"result sets",
         [](Client &c) {
             std::int32_t id = -1;
             c.proxy->callMethod("contact_result_set_create").onInterface(kEngine).withArguments(0, std::string(), 0)
                 .storeResultsTo(id);
         },
         limits::kMaxResultSetsPerUser, kTooManyResultSets},
        {"bulk jobs", [](Client &c) { c.open_job(CONTACT_BULK_DELETE, 0); }, limits::per_user::kBulkJobs,
         kTooManyBulkJobs},
        {"open files",
         [&](Client &c) {
             const std::int32_t handle = c.open_job(CONTACT_BULK_IMPORT, 0);
             c.proxy->callMethod("set_source").onInterface(bulk_client::kInterface).withArguments(handle, file);
         },
         limits::per_user::kOpenFiles, kTooManyOpenFiles},
        {"thumbs", [](Client &c) { c.set_thumbs(c.open_job(CONTACT_BULK_DELETE, 0), limits::per_user::kThumbs / 3); },
         3, kTooManyThumbs},
    };
    for (const auto &resource : resources) {
        SCOPED_TRACE(resource.what);
        // Three connections of this one user take turns.
        std::vector<std::unique_ptr<Client>> clients;
        for (int i = 0; i < 3; ++i)
            clients.push_back(std::make_unique<Client>());
        std::size_t made = 0;
        int code = 0;
        while (made <= resource.allowed && code == 0) {
            code = Client::code_of([&] { resource.make(*clients[made % clients.size()]); });
            made += code == 0;
        }
        EXPECT_EQ(made, resource.allowed);
        EXPECT_EQ(code, resource.refusal);
        // A connection that goes gives its share back to the user.
        clients.erase(clients.begin());
        eventually([&] {
            code = Client::code_of([&] { resource.make(*clients.front()); });
            return code != resource.refusal;
        });
        EXPECT_EQ(code, 0) << "the share of a client that left is free again";
        clients.clear();
        restart_service(); // the next resource starts from nothing held
    }
}

// ---- bulk jobs belong to the user that opened them ------------------------------

// A copy job opened by a client running as `nobody` and interrupted (its
// client left right after stopping it) may be adopted by another client of
// nobody, not by root.
TEST_F(PerUserLimitTest, AnInterruptedCopyIsAdoptedByItsOwnUserOnly)
{
    const std::optional<User> nobody = bus_client_user();
    if (!nobody)
        return;
    // A copy of many indexes, stopped after its first chunk: its handle.
    const std::vector<std::string> stopped = as_user(*nobody, [](Client &client, int out) {
        const std::int32_t job = client.open_job(CONTACT_BULK_COPY, CONTACT_BULK_STORAGES(0, 2));
        client.set_thumbs(job, 200000);
        std::int32_t state = -1;
        client.proxy->callMethod("contact_bulk_operation_exec").onInterface(kEngine).withArguments(job)
            .storeResultsTo(state);
        client.proxy->callMethod("contact_bulk_operation_stop").onInterface(kEngine).withArguments(job);
        say(out, std::to_string(job));
    });
    const int handle = stopped.size() == 1 ? std::atoi(stopped[0].c_str()) : 0;
    ASSERT_GT(handle, 0) << ::testing::PrintToString(stopped);

    // Root is another user: refused, once the service has seen nobody's
    // client leave and the chunk in flight end (until then: wrong state).
    int code = kBulkWrongState;
    eventually([&] {
        int state = -1, error = -1;
        code = bulk_client::adopt(handle, &state, &error) ? 0 : error;
        return code != kBulkWrongState;
    });
    EXPECT_EQ(code, kBulkNotOwner);

    // Another client of nobody takes it over, stopped, and closes it.
    const std::vector<std::string> adopted = as_user(*nobody, [handle](Client &client, int out) {
        std::int32_t state = -1;
        client.proxy->callMethod("adopt").onInterface(bulk_client::kInterface).withArguments(handle).storeResultsTo(
            state);
        client.proxy->callMethod("contact_bulk_operation_close").onInterface(kEngine).withArguments(handle);
        say(out, std::to_string(state));
    });
    EXPECT_EQ(adopted, std::vector<std::string>{std::to_string(CONTACT_BULK_STATE_STOPPED)});
}

// ---- a file with no card in it ---------------------------------------------------

using HostileFileTest = SecurityTest;

// A sparse file of 8 GB of zeros holds no card and takes no disk; an import
// of it reads it chunk by chunk, so a stop takes effect after the chunk it
// came in (reading the whole file in one step took the worker for seconds).
TEST_F(HostileFileTest, AnImportOfZerosStopsWithinAChunk)
{
    const std::string path = dir_.path() + "/zeros.vcf";
    std::ofstream(path).put('\n');
    fs::resize_file(path, 8ull << 30);
    int handle = -1, state = -1;
    ASSERT_EQ(contact_bulk_operation_open(CONTACT_BULK_IMPORT, CONTACT_STORAGE_PHONE, &handle, &error_code_), 1);
    ASSERT_EQ(bulk_client::set_source(handle, path, &error_code_), 1) << error_code_;
    ASSERT_EQ(contact_bulk_operation_exec(handle, &state, &error_code_), 1) << error_code_;
    ASSERT_EQ(contact_bulk_operation_stop(handle, &error_code_), 1) << error_code_;
    bulk_operation_status_t status{};
    for (int tries = 0; tries < 6000; ++tries) {
        ASSERT_EQ(contact_bulk_operation_get_info(handle, &status, &error_code_), 1);
        if (status.state != CONTACT_BULK_STATE_RUNNING)
            break;
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(status.state, CONTACT_BULK_STATE_STOPPED);
    EXPECT_LT(status.progress, 1000) << "the whole file was read before the stop";
    EXPECT_EQ(status.done, 0);
}

// ---- long calls run on the workers ------------------------------------------------

// The service holds every long call on its worker until the release file exists.
class LongCallTest : public ServiceTest {
protected:
    LongCallTest() { service_.arguments = {"--hold-long-calls-until", dir_.path() + "/release"}; }
};

// One more long call (delete all) than a user may have waiting is refused at
// once; the others wait on the workers while this client is answered.
TEST_F(LongCallTest, OthersAreAnsweredWhileAUsersLimitedLongCallsWait)
{
    SampleContact contact("Held Up");
    const int index = answer<int>(kOk, contact_add_contact, CONTACT_STORAGE_PHONE, &contact.record);
    std::vector<std::unique_ptr<Client>> clients;
    std::vector<std::future<int>> replies;
    for (std::size_t i = 0; i <= limits::per_user::kLongCalls; ++i) {
        clients.push_back(std::make_unique<Client>());
        clients.back()->connection->enterEventLoopAsync();
        auto reply = std::make_shared<std::promise<int>>();
        replies.push_back(reply->get_future());
        clients.back()->proxy->callMethodAsync("contact_delete_all_contacts").onInterface(kEngine).withArguments(
            std::int32_t(CONTACT_STORAGE_PHONE)).uponReplyInvoke([reply](const sdbus::Error *error, std::int32_t) {
            reply->set_value(error == nullptr ? 0 : std::atoi(error->getMessage().c_str()));
        });
    }
    // Which one is refused depends on the order the bus delivers them in.
    const auto answered = [&] {
        return std::count_if(replies.begin(), replies.end(),
                             [](std::future<int> &reply) { return reply.wait_for(10ms) == std::future_status::ready; });
    };
    for (int tries = 0; tries < 6000 && answered() == 0; ++tries)
        continue; // answered() waits 10 ms on each reply
    contact_t record{};
    EXPECT_EQ(contact_get_contact(CONTACT_STORAGE_PHONE, index, &record, &error_code_), 1) << error_code_;
    EXPECT_EQ(answered(), 1) << "a long call was answered before its release";

    std::ofstream(dir_.path() + "/release").put('\n');
    std::vector<int> codes;
    for (std::future<int> &reply : replies) {
        ASSERT_EQ(reply.wait_for(60s), std::future_status::ready);
        codes.push_back(reply.get());
    }
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 0), std::ptrdiff_t(limits::per_user::kLongCalls));
    EXPECT_EQ(std::count(codes.begin(), codes.end(), int(kTooManyLongCalls)), 1);
    EXPECT_EQ(answer<int>(kOk, contact_get_contact_count, CONTACT_STORAGE_PHONE), 0);
    for (auto &client : clients)
        client->connection->leaveEventLoop();
}

} // namespace
} // namespace contact_test
