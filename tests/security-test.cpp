// The service as a hostile local user meets it: who calls is what the bus
// daemon says (a pid that changes hands lends nothing), a caller's file opens
// only as the caller could open it (no magic links, no huge file for one card),
// files written for a caller are its alone and expire, the service's are its own.
#include <dbus/dbus.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "../tools/bulk-client.h"
#include "contact-engine-bus.h"
#include "contact-engine.h"
#include "core/contact-engine-errors.h"
#include "core/service-limits.h"
#include "test-support.h"

namespace contact_test {
namespace {

namespace fs = std::filesystem;
using namespace contact_engine;

constexpr User kUserB{65533, 65533}; // anyone else than the caller
constexpr std::size_t kFixedSize = 4480;

const std::string kSecretCard = "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Secret Person\r\nEND:VCARD\r\n";
const std::string kOpenCard = "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Open Person\r\nEND:VCARD\r\n";

void write_file(const std::string &path, const std::string &text, mode_t mode)
{
    std::ofstream(path, std::ios::binary) << text;
    chmod(path.c_str(), mode);
}

// A bus connection of its own made with libdbus, which (unlike sd-bus)
// goes on working in a child the client forks: that is how a client hands
// its connection on.  Answers are the service's code, 0 for success.
class RawClient {
public:
    RawClient()
    {
        DBusError error;
        dbus_error_init(&error);
        connection_ = dbus_bus_get_private(DBUS_BUS_SYSTEM, &error);
        dbus_error_free(&error);
        if (connection_ != nullptr)
            dbus_connection_set_exit_on_disconnect(connection_, FALSE);
    }
    ~RawClient()
    {
        if (connection_ != nullptr) {
            dbus_connection_close(connection_);
            dbus_connection_unref(connection_);
        }
    }
    RawClient(const RawClient &) = delete;
    RawClient &operator=(const RawClient &) = delete;
    bool connected() const { return connection_ != nullptr; }

    // contact_convert_vcard_file_to_contact(path).
    int read_card_file(const std::string &path)
    {
        DBusMessage *call = new_call("contact_convert_vcard_file_to_contact");
        const char *text = path.c_str();
        dbus_message_append_args(call, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
        return send(call, nullptr);
    }

    // `method` (contact_convert_contact_to_vcard_file or its _tmp) for an
    // empty contact; the file's path in `path`.
    int export_card(const char *method, std::string &path)
    {
        DBusMessage *call = new_call(method);
        const std::vector<unsigned char> fixed(kFixedSize, 0);
        const unsigned char *bytes = fixed.data();
        const int count = int(fixed.size());
        const dbus_int32_t param = 0;
        dbus_message_append_args(call, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE, &bytes, count, DBUS_TYPE_INT32, &param,
                                 DBUS_TYPE_INVALID);
        return send(call, &path);
    }

private:
    static DBusMessage *new_call(const char *method)
    {
        return dbus_message_new_method_call(CONTACT_ENGINE_BUS_NAME, CONTACT_ENGINE_OBJECT_PATH,
                                            CONTACT_ENGINE_INTERFACE, method);
    }
    int send(DBusMessage *call, std::string *text)
    {
        DBusError error;
        dbus_error_init(&error);
        DBusMessage *reply = dbus_connection_send_with_reply_and_block(connection_, call, 60000, &error);
        dbus_message_unref(call);
        if (reply == nullptr) {
            const int code = error.message != nullptr ? std::atoi(error.message) : -1;
            dbus_error_free(&error);
            return code > 0 ? code : -1;
        }
        const char *answer = nullptr;
        if (text != nullptr && dbus_message_get_args(reply, nullptr, DBUS_TYPE_STRING, &answer, DBUS_TYPE_INVALID))
            *text = answer;
        dbus_message_unref(reply);
        return 0;
    }

    DBusConnection *connection_ = nullptr;
};

// Runs `body` as `user` with a connection of its own; what it says comes back.
std::vector<std::string> as_user(const User &user, const std::function<void(RawClient &, int out)> &body)
{
    return run_as(user, [&](int out) {
        RawClient client;
        if (!client.connected())
            return 1;
        body(client, out);
        return 0;
    });
}

// A fresh service whose bus and test directory other users reach.
class SecurityTest : public ServiceTest {
protected:
    void SetUp() override
    {
        if (!(user_a_ = bus_client_user()))
            return;
        ServiceTest::SetUp();
        chmod(dir_.path().c_str(), 0755);
        secret_ = dir_.path() + "/secret.vcf";
        open_ = dir_.path() + "/open.vcf";
        write_file(secret_, kSecretCard, 0600);
        write_file(open_, kOpenCard, 0644);
    }
    std::string secret_, open_;
    std::optional<User> user_a_; // the caller
};

// ---- who calls ---------------------------------------------------------------------

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
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    const struct { std::string path; int code; } cases[] = {{secret_, kVCardUnreadable}, {open_, 0}};
    UserProcess first(*user_a_, [&](int out) {
        RawClient client;
        close(go[1]);
        if (client.connected() && fork() == 0) {
            char byte = 0;
            if (read(go[0], &byte, 1) != 1)
                _exit(1);
            for (const auto &c : cases)
                say(out, std::to_string(client.read_card_file(c.path)));
            _exit(0);
        }
        return client.connected() ? 0 : 1;
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

    EXPECT_EQ(said, (std::vector<std::string>{std::to_string(cases[0].code), std::to_string(cases[1].code)}))
        << "the root-only file must be refused and A's readable one read, whoever holds the old pid";
}

// ---- opening a caller's file ---------------------------------------------------------

// A root client's open import file (in a directory only root enters) sits
// among the service's descriptors; A reaches none through /proc/*/fd or a link.
TEST_F(SecurityTest, MagicLinksToTheServicesOwnDescriptorsNeverOpen)
{
    const std::string private_dir = dir_.path() + "/private";
    fs::create_directory(private_dir);
    chmod(private_dir.c_str(), 0700);
    const std::string import = private_dir + "/import.vcf";
    write_file(import, kSecretCard, 0644);
    int error_code = -1;
    int handle = -1;
    ASSERT_EQ(contact_bulk_operation_open(CONTACT_BULK_IMPORT, CONTACT_STORAGE_PHONE, &handle, &error_code), 1);
    ASSERT_EQ(bulk_client::set_source(handle, import, &error_code), 1) << error_code;
    const std::string link = dir_.path() + "/fds";
    fs::create_directory_symlink("/proc/self/fd", link);

    const std::vector<std::string> opened = as_user(*user_a_, [&](RawClient &client, int out) {
        for (const std::string &prefix : {std::string("/proc/self/fd/"), std::string("/proc/thread-self/fd/"),
                                          link + "/"})
            for (int fd = 0; fd < 128; ++fd) {
                const int code = client.read_card_file(prefix + std::to_string(fd));
                if (code != kVCardUnreadable)
                    say(out, prefix + std::to_string(fd) + " gave " + std::to_string(code));
            }
    });
    EXPECT_EQ(opened, std::vector<std::string>{}) << "every such path must be refused with " << kVCardUnreadable;
    contact_bulk_operation_close(handle, &error_code);
}

// A single-card conversion refuses a file far larger than a card from its
// size, before reading: a sparse 32 GiB file takes no disk and no time.
TEST_F(SecurityTest, AHugeFileForOneCardIsRefusedFromItsSize)
{
    const std::string huge = dir_.path() + "/huge.vcf";
    write_file(huge, kOpenCard, 0644);
    ASSERT_EQ(truncate(huge.c_str(), 32ll << 30), 0);
    const std::string at_limit = dir_.path() + "/at-limit.vcf";
    write_file(at_limit, kOpenCard, 0644);
    ASSERT_EQ(truncate(at_limit.c_str(), off_t(limits::kVCardMaxFileBytes)), 0);
    const struct { std::string path; int code; } cases[] = {{huge, kVCardTooLarge}, {open_, 0}, {at_limit, 0}};
    RawClient client;
    ASSERT_TRUE(client.connected());
    for (const auto &c : cases)
        EXPECT_EQ(client.read_card_file(c.path), c.code) << c.path;
}

// ---- files written for a caller ------------------------------------------------------

struct ExportVariant { const char *method; int lifetime_seconds; };
const ExportVariant kExportVariants[] = {
    {"contact_convert_contact_to_vcard_file", limits::kExportLifetimeSeconds},
    {"contact_convert_contact_to_vcard_file_tmp", limits::kVCardTmpLifetimeSeconds},
};

// A's export lies in A's own directory: A removes it, B cannot read it; an
// expired one goes with the next export; over A's cap an export is refused.
TEST_F(SecurityTest, ExportsAreTheCallersToRemoveExpireAndAreCapped)
{
    for (const ExportVariant &variant : kExportVariants) {
        SCOPED_TRACE(variant.method);
        const std::vector<std::string> lines = as_user(*user_a_, [&](RawClient &client, int out) {
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
            const struct timespec old[2] = {{time(nullptr) - variant.lifetime_seconds - 60, 0},
                                            {time(nullptr) - variant.lifetime_seconds - 60, 0}};
            utimensat(AT_FDCWD, expired.c_str(), old, 0);
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
        const std::string a = std::to_string(user_a_->uid);
        EXPECT_EQ(lines, (std::vector<std::string>{"0", a + " 384 " + a + " 448", "removed", "0",
                                                   "expired file removed", lines[5],
                                                   std::to_string(kExportQuotaExceeded), "0"}));

        const std::string kept = lines[5];
        const std::vector<std::string> other = run_as(kUserB, [&](int out) {
            say(out, open(kept.c_str(), O_RDONLY) >= 0 ? "read" : std::strerror(errno));
            return 0;
        });
        EXPECT_EQ(other, std::vector<std::string>{std::strerror(EACCES)}) << "another user reads " << kept;
    }
}

// ---- the service's own files ---------------------------------------------------------

// The database, -wal and -shm are the service's alone, also when an earlier
// run left them readable; its directory lists nothing to others (0711).
TEST(ServiceFileModeTest, TheDatabaseAndItsDirectoryAreNotReadableByOthers)
{
    (void)bus();
    TempDir dir;
    const std::string state = dir.path() + "/state";
    const std::string database = state + "/contacts.db";
    ServiceProcess service(database);
    const struct { const char *how; mode_t left; } cases[] = {{"made by the service", 0}, {"left readable", 0644}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.how);
        if (c.left != 0)
            for (const char *suffix : {"", "-wal", "-shm"})
                chmod((database + suffix).c_str(), c.left);
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

} // namespace
} // namespace contact_test
