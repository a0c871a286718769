// Test support: a private system bus, the real service on a fresh database,
// and capture of every debug-message call.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace contact_test {

// Directory removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// A dbus-daemon from the project's test bus config (or `config_file`).  Its
// address is put in DBUS_SYSTEM_BUS_ADDRESS for the whole test process, so
// the library's system bus is this one and never the machine's.  Started by
// root, the daemon runs as the system bus's own user (messagebus, else
// nobody), as a system bus does: run as root it would try to raise its
// descriptor limit to 65 536 and warn where it may not.  `launcher` (a
// command that execs its arguments) runs the daemon when given.
class PrivateBus {
public:
    PrivateBus() : PrivateBus(std::string()) {}
    explicit PrivateBus(const std::string &config_file, const std::vector<std::string> &launcher = {});
    ~PrivateBus();
    PrivateBus(const PrivateBus &) = delete;
    PrivateBus &operator=(const PrivateBus &) = delete;
    const std::string &address() const { return address_; }
    // Kills the daemon at once: the bus goes away under its clients.
    void kill();

private:
    TempDir dir_;
    pid_t pid_ = -1;
    std::string address_;
};

// Sanitizer reports of a process the test starts (the sanitized build): the
// child gets ASAN_OPTIONS, UBSAN_OPTIONS and LSAN_OPTIONS whose log_path
// sends its reports to files "<prefix>.<pid>" instead of its stderr, and
// expect_none() fails the test with the text of any report written there.
class SanitizerReports {
public:
    explicit SanitizerReports(std::string prefix) : prefix_(std::move(prefix)) {}
    // This process's environment with the child's log_path added, for execve.
    std::vector<std::string> child_environment() const;
    // One failure per report file (with its text); the files are removed.
    void expect_none() const;

    // The prefix for a service's reports beside its database: in the
    // database's directory, or in its nearest existing ancestor when the
    // service is to make that directory itself (the sanitizer would make
    // it first, with its own mode).
    static std::string beside(const std::string &database);

private:
    std::string prefix_;
};

// The contact engine service as a child process.  A sanitizer report of the
// service fails the running test when the service stops.
class ServiceProcess {
public:
    // `options` are further command-line options of the service, for every start.
    explicit ServiceProcess(std::string database_path, std::vector<std::string> options = {})
        : database_(std::move(database_path)), options_(std::move(options))
    {
    }
    ~ServiceProcess() { stop(); }
    ServiceProcess(const ServiceProcess &) = delete;
    ServiceProcess &operator=(const ServiceProcess &) = delete;
    void start();      // returns once the service said it is ready
    int stop();        // SIGTERM and wait; returns the exit status (or -1 if not running)
    void kill_hard();  // SIGKILL and wait: the service gets no chance to finish anything
    bool running() const { return pid_ > 0; }

    // Further command-line arguments, from the next start() on.
    std::vector<std::string> arguments;
    // A command that runs the service (its arguments follow), as
    // {"/usr/bin/setpriv", "--reuid=65534", ..., "--"}; empty: none.
    std::vector<std::string> launcher;

private:
    std::string database_;
    std::vector<std::string> options_;
    pid_t pid_ = -1;
    SanitizerReports reports_{SanitizerReports::beside(database_)};
};

// One gtest environment holds the bus for the whole test binary: dbus-glib
// keeps its system-bus connection for the life of the process.
PrivateBus &bus();

inline constexpr int kModule = 0x14000000;
inline constexpr int kError = 0x2000000;
inline constexpr int kTrace = 0x4000000;

struct LogEntry {
    int line;
    std::string file;
    int module;
    int level;
    std::string format;
    std::string text;
};

// Captures every _debug_message call while it lives.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;
    const std::vector<LogEntry> &entries() const { return entries_; }
    std::vector<LogEntry> errors() const { return at_level(kError); }
    std::vector<LogEntry> traces() const { return at_level(kTrace); }
    std::vector<std::string> error_formats() const;
    void clear() { entries_.clear(); }

private:
    std::vector<LogEntry> at_level(int level) const;
    static void record(void *self, int line, const char *file, int module, int level, const char *format,
                       const char *text);
    std::vector<LogEntry> entries_;
};


// A fresh service on a fresh database, with the library connected.
class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    void restart_service();
    // Restarts the service on a SIM card file holding `card_json` (see the
    // README's SIM section), written to sim-card.json in the test's directory;
    // returns the file's path.
    std::string use_sim_card(const std::string &card_json);

    TempDir dir_;
    ServiceProcess service_{dir_.path() + "/contacts.db"};
    int error_code_ = -1;
};

// Loads the SIM phonebook (contact_initialize_sim, then waits for it) and
// opens it, so that the SIM storages 1, 3 and 4 take writes.
void ready_sim_phonebook();
// A present, unlocked card with no entries.
inline constexpr const char *kEmptySimCard = R"({"present": true, "iccid": "8900000000000000001"})";

// ---- what every family's tests check ----------------------------------------

// One call of an operation; it receives the error_code pointer.
using Call = std::function<int(int *error_code)>;

// The library's messages for its two precondition failures, as the
// operations write them: "\n[DodazorEdidud]%s %d: <function>: The dbus
// connection hasn't been opened.\n" (no "<function>: " for a NULL function;
// "connected" instead of "opened" when `opened` is false), and
// "\n[DodazorEdidud]%s %d: <function>: The <argument> is NULL.\n".
std::string no_connection_message(const char *function, bool opened = true);
std::string null_argument_message(const char *function, const char *argument);

// Runs `call` with a fresh error code, expects it to return 0 and returns the
// code it set:  EXPECT_EQ(failure_code([&](int *e) { return contact_delete_contact(0, 5, e); }), 12);
int failure_code(const Call &call);

// Runs `call` with a fresh error code under a log capture and checks that it
// returned 0, set `code` and logged exactly one error, with `format`:
//     EXPECT_TRUE(fails_with([&](int *e) { return contact_get_contact(0, 7, &r, e); }, 12, kGetFailed));
::testing::AssertionResult fails_with(const Call &call, int code, const std::string &format);

// One precondition of an operation: calling it so must fail with `code` and
// log `format` as its one error, with the operation's own name `function`.
struct Precondition {
    const char *function;
    Call call;
    int code;
    std::string format;
};

// Runs the cases in order.  A case with CONTACT_ERROR_NOT_CONNECTED runs with
// the library's connection closed; any other with a connection open (no
// service is needed behind it: a precondition stops the operation before it
// calls).  The connection is left as it was found.  Needs the private bus.
//     expect_preconditions({
//         {"contact_get_group", [](int *e) { return contact_get_group(0, 1, &g, e); },
//          CONTACT_ERROR_NOT_CONNECTED, no_connection_message("contact_get_group")},
//         {"contact_get_group", [](int *e) { return contact_get_group(0, 1, nullptr, e); },
//          CONTACT_ERROR_NULL_ARGUMENT, null_argument_message("contact_get_group", "group")},
//     });
void expect_preconditions(const std::vector<Precondition> &cases);

} // namespace contact_test
