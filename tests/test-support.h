// Test support: a private system bus, the real service on a fresh database,
// capture of every debug-message call, clients of other users.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sdbus {
class IConnection;
class IProxy;
} // namespace sdbus

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

// The shipped test bus config (which includes the service's policy), in a
// copy every user reads; a config of a test's own includes this one.
const std::string &test_bus_config();

// A dbus-daemon from the test bus config (or `config_file`), run by
// `launcher` (a command that execs its arguments) when given.  Its address
// goes into DBUS_SYSTEM_BUS_ADDRESS for the whole process while it lives.  Started by root,
// it runs as the system bus's own user (messagebus, else nobody).
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
    std::optional<std::string> address_before_;
};

// Sanitizer reports of a child (sanitized build): its environment sends
// them to files "<prefix>.<pid>"; expect_none() fails the test with each.
class SanitizerReports {
public:
    explicit SanitizerReports(std::string prefix) : prefix_(std::move(prefix)) {}
    std::vector<std::string> child_environment() const; // for execve
    void expect_none() const;                           // removes the files
    // Beside the database, in its nearest existing directory (the service
    // makes a missing one itself, with its own mode).
    static std::string beside(const std::string &database);

private:
    std::string prefix_;
};

// The service as a child process; its sanitizer reports fail the test when it stops.
class ServiceProcess {
public:
    // `options`: further command-line options, for every start.
    explicit ServiceProcess(std::string database_path, std::vector<std::string> options = {})
        : database_(std::move(database_path)), options_(std::move(options)) {}
    ~ServiceProcess() { stop(); }
    ServiceProcess(const ServiceProcess &) = delete;
    ServiceProcess &operator=(const ServiceProcess &) = delete;
    void start();      // returns once the service said it is ready
    int stop();        // SIGTERM and wait; returns the exit status (or -1 if not running)
    void kill_hard();  // SIGKILL and wait: the service gets no chance to finish anything
    bool running() const { return pid_ > 0; }

    std::vector<std::string> arguments; // further options, from the next start() on
    std::vector<std::string> launcher;  // a command that runs the service, as {"setpriv", ..., "--"}
    // Runs a copy of the service's binary in `directory`, from the next
    // start() on: one another user reaches wherever the checkout is.
    void run_copy_in(const std::string &directory);

private:
    std::string database_;
    std::vector<std::string> options_;
    std::string binary_;
    pid_t pid_ = -1;
    SanitizerReports reports_{SanitizerReports::beside(database_)};
};

// The bus of the whole test binary (dbus-glib keeps its connection for life).
PrivateBus &bus();

inline constexpr int kModule = 0x14000000;
inline constexpr int kError = 0x2000000;
inline constexpr int kTrace = 0x4000000;

struct LogEntry { int line; std::string file; int module; int level; std::string format; std::string text; };

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
    // Restarts the service on a SIM card file holding `card_json`; returns its path.
    std::string use_sim_card(const std::string &card_json);

    TempDir dir_;
    ServiceProcess service_{dir_.path() + "/contacts.db"};
    int error_code_ = -1;
};

// Loads the SIM phonebook, waits for it and opens it: the SIM storages take writes.
void ready_sim_phonebook();
// A present, unlocked card with no entries.
inline constexpr const char *kEmptySimCard = R"({"present": true, "iccid": "8900000000000000001"})";

// Asks `holds` every 10 ms until it is true, for two minutes at most (a bound
// only a failing test meets): whether it held.  For what the service does
// after its answer (a job's chunk, a key rebuild, a client's departure).
bool eventually(const std::function<bool()> &holds);

// ---- what every family's tests check ----------------------------------------

using Call = std::function<int(int *error_code)>;

// The library's two precondition messages: "...<function>: The dbus connection
// hasn't been opened|connected.\n" and "...<function>: The <argument> is NULL.\n"
// (no "<function>: " for a NULL function).
std::string no_connection_message(const char *function, bool opened = true);
std::string null_argument_message(const char *function, const char *argument);

// Runs `call`, expects it to return 0 and returns the error code it set.
int failure_code(const Call &call);

// `call` returns 0, sets `code` and logs exactly one error, with `format`.
::testing::AssertionResult fails_with(const Call &call, int code, const std::string &format);

// One precondition: the call fails with `code`, logging `format` from `function`.
struct Precondition { const char *function; Call call; int code; std::string format; };

// Runs the cases in order, those with CONTACT_ERROR_NOT_CONNECTED with the
// library's connection closed, the others with one open (no service needed);
// the connection is left as it was found.
void expect_preconditions(const std::vector<Precondition> &cases);

// A bus connection of its own that calls the service directly, as a client
// other than the library (which hides the service's codes) would.
struct BusClient {
    BusClient();
    ~BusClient();
    // Runs `call` and returns 0, or the code at the start of its error's message ("80: ...").
    static int code_of(const std::function<void()> &call);
    std::unique_ptr<sdbus::IConnection> connection;
    std::unique_ptr<sdbus::IProxy> proxy;
};

// ---- clients of another user --------------------------------------------------

struct User { uid_t uid; gid_t gid; };

// The user `name` as a client of the current private bus (whose directory
// is opened to others for it).  None, and the test is marked skipped with
// the reason, unless it runs as root (only root becomes another user), the
// machine has the user and it reaches the bus: the caller then returns.
std::optional<User> bus_client_user(const char *name = "nobody");

// A child process running `body` as `user`, without supplementary groups;
// body writes to `out` (which its own children may keep open) and its
// return value is the exit status (kBodyThrew: it threw, the message on out).
class UserProcess {
public:
    static constexpr int kBodyThrew = 125;
    UserProcess(const User &user, const std::function<int(int out)> &body);
    ~UserProcess();
    UserProcess(const UserProcess &) = delete;
    UserProcess &operator=(const UserProcess &) = delete;
    pid_t pid() const { return pid_; }
    int wait();                      // its exit status (128 + signal when killed)
    std::vector<std::string> lines(); // what was written to out, once all closed it

private:
    pid_t pid_ = -1;
    int output_ = -1;
    int status_ = -1;
};

// Runs `body` as `user`: its lines, and its exit status in `status`.
std::vector<std::string> run_as(const User &user, const std::function<int(int out)> &body, int *status = nullptr);
void say(int out, const std::string &line); // writes `line` and a newline

// ---- answers of successful queries ---------------------------------------------

// What a caller's variable (error_code, an answer) holds before a call: one the call does not write stays so.
inline constexpr int kUntouched = 0x5a5a;

// The value `query(args..., &value, &error_code)` writes; the call must return 1 and leave `code`.
template <class T, class F, class... A> T answer(int code, F query, A... args)
{
    T value{};
    int error_code = kUntouched;
    EXPECT_EQ(query(args..., &value, &error_code), 1) << error_code;
    EXPECT_EQ(error_code, code);
    return value;
}

// `function` called with `args` and the error code, as a Call.
template <class F, class... A> Call with(F function, A... args)
{
    return [=](int *e) { return function(args..., e); };
}

} // namespace contact_test
