#include "test-support.h"

#include <fcntl.h>
#include <sdbus-c++/sdbus-c++.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "contact-engine-bus.h"
#include "contact-engine.h"
#include "debug-message.h"

namespace contact_test {

namespace {

bool become(const User &user)
{
    return setgroups(0, nullptr) == 0 && setgid(user.gid) == 0 && setuid(user.uid) == 0;
}

// `environment` (NAME=value entries) replaces the child's whole environment
// when it is not empty; `as` is the child's user, without supplementary
// groups.  Both are made before the fork: the child may only call
// async-signal-safe functions until it execs.
pid_t spawn(const std::vector<std::string> &argv, int stdout_fd, const std::vector<std::string> &environment = {},
            const User *as = nullptr)
{
    std::vector<char *> args;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    std::vector<char *> envp;
    for (const std::string &entry : environment)
        envp.push_back(const_cast<char *>(entry.c_str()));
    envp.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        // A crashed test leaves no bus or service behind to hold ctest's output.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (stdout_fd >= 0)
            dup2(stdout_fd, STDOUT_FILENO);
        if (as != nullptr && !become(*as))
            _exit(126);
        if (environment.empty())
            execv(args[0], args.data());
        else
            execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    return pid;
}

// Sends `signal` (none: 0) to `pid` when it runs and waits for it: its exit status (128 + signal when killed).
int end(pid_t &pid, int signal)
{
    int status = 0;
    if (pid <= 0)
        return -1;
    if (signal != 0)
        kill(pid, signal);
    waitpid(pid, &status, 0);
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// What `fd` carries up to its first newline (all of it: to its end); `fd` is closed.
std::string read_from(int fd, bool all = false)
{
    std::string seen;
    char buffer[4096];
    for (ssize_t got; (all || seen.find('\n') == std::string::npos) && (got = read(fd, buffer, sizeof buffer)) > 0;)
        seen.append(buffer, std::size_t(got));
    close(fd);
    return seen;
}

// The user a private bus runs as when root starts it: the system bus's own.
std::optional<User> bus_user()
{
    if (geteuid() != 0)
        return std::nullopt;
    for (const char *name : {"messagebus", "nobody"})
        if (const struct passwd *user = getpwnam(name))
            return User{user->pw_uid, user->pw_gid};
    return std::nullopt;
}

} // namespace

const std::string &test_bus_config()
{
    // The bus user may not reach the checkout (a clone in a 0700 directory):
    // the config and the policy it includes are copied, once, where it does.
    static const TempDir staged;
    static const std::string path = [] {
        const std::filesystem::path source(TEST_BUS_CONFIG);
        chmod(staged.path().c_str(), 0755);
        for (const char *name : {"dbus-test-bus.conf", "com.quorvel.contact.engine.conf"})
            std::filesystem::copy_file(source.parent_path() / name, std::filesystem::path(staged.path()) / name);
        return staged.path() + "/dbus-test-bus.conf";
    }();
    return path;
}

namespace {

class BusEnvironment : public ::testing::Environment {
public:
    void SetUp() override { bus_ = std::make_unique<PrivateBus>(); }
    void TearDown() override { bus_.reset(); }
    std::unique_ptr<PrivateBus> bus_;
};

BusEnvironment *g_environment =
    static_cast<BusEnvironment *>(::testing::AddGlobalTestEnvironment(new BusEnvironment));

} // namespace

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "contact-engine-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

PrivateBus::PrivateBus(const std::string &config_file, const std::vector<std::string> &launcher)
{
    address_ = "unix:path=" + dir_.path() + "/system_bus_socket";
    const std::optional<User> user = bus_user(); // it makes its socket in the directory
    if (user && chown(dir_.path().c_str(), user->uid, user->gid) != 0)
        throw std::runtime_error("cannot give the bus directory to the bus user");
    // The daemon writes its address once it listens (or ends when it fails):
    // that line ends the wait, however long a loaded machine takes.
    int ready[2];
    if (pipe(ready) != 0)
        throw std::runtime_error("pipe failed");
    std::vector<std::string> argv = launcher;
    argv.insert(argv.end(), {DBUS_DAEMON_PATH, "--nofork", "--nopidfile",
                             "--config-file=" + (config_file.empty() ? test_bus_config() : config_file),
                             "--address=" + address_, "--print-address=1"});
    pid_ = spawn(argv, ready[1], {}, user ? &*user : nullptr);
    close(ready[1]);
    const std::string said = read_from(ready[0]);
    if (said.find(address_) == std::string::npos)
        throw std::runtime_error("the private bus did not start: " + said);
    if (const char *before = std::getenv("DBUS_SYSTEM_BUS_ADDRESS"))
        address_before_ = before;
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
}

PrivateBus::~PrivateBus()
{
    end(pid_, SIGTERM);
    // A test's own bus gone, the next connection goes to the one before it.
    if (address_before_)
        setenv("DBUS_SYSTEM_BUS_ADDRESS", address_before_->c_str(), 1);
    else
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

void PrivateBus::kill()
{
    end(pid_, SIGKILL);
}

PrivateBus &bus()
{
    return *g_environment->bus_;
}

std::string SanitizerReports::beside(const std::string &database)
{
    const std::filesystem::path path(database);
    std::filesystem::path directory = path.parent_path();
    std::error_code error;
    while (!directory.empty() && directory != directory.root_path() && !std::filesystem::is_directory(directory, error))
        directory = directory.parent_path();
    return (directory / path.filename()).string() + ".sanitizer";
}

std::vector<std::string> SanitizerReports::child_environment() const
{
    const std::string log_path = "log_path=" + prefix_;
    std::vector<std::string> environment;
    for (char **entry = environ; *entry != nullptr; ++entry)
        environment.emplace_back(*entry);
    for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
        const char *options = std::getenv(name);
        std::erase_if(environment,
                      [&](const std::string &entry) { return entry.starts_with(std::string(name) + "="); });
        // A later option overrides an earlier one of the same name.
        environment.push_back(std::string(name) + "=" + (options != nullptr ? std::string(options) + ":" : "") +
                              log_path);
    }
    return environment;
}

void SanitizerReports::expect_none() const
{
    const std::filesystem::path prefix(prefix_);
    std::error_code error;
    for (const auto &file : std::filesystem::directory_iterator(prefix.parent_path(), error)) {
        if (!file.path().filename().string().starts_with(prefix.filename().string() + "."))
            continue;
        ADD_FAILURE() << "sanitizer report " << file.path().filename().string() << ":\n"
                      << read_from(open(file.path().c_str(), O_RDONLY), true);
        std::filesystem::remove(file.path(), error);
    }
}

void ServiceProcess::start()
{
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0)
        throw std::runtime_error("pipe failed");
    std::vector<std::string> argv = launcher;
    argv.insert(argv.end(), {binary_.empty() ? CONTACT_ENGINE_SERVICE_PATH : binary_, "--database", database_});
    argv.insert(argv.end(), options_.begin(), options_.end());
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    pid_ = spawn(argv, pipe_fds[1], reports_.child_environment());
    close(pipe_fds[1]);
    const std::string seen = read_from(pipe_fds[0]); // its one line: name owned, methods registered
    if (seen.find("ready") == std::string::npos) {
        stop();
        throw std::runtime_error("the service did not start: " + seen);
    }
}

void ServiceProcess::run_copy_in(const std::string &directory)
{
    binary_ = directory + "/contact-engine-service";
    std::filesystem::copy_file(CONTACT_ENGINE_SERVICE_PATH, binary_, std::filesystem::copy_options::overwrite_existing);
}

int ServiceProcess::stop()
{
    const bool ran = pid_ > 0;
    const int status = end(pid_, SIGTERM);
    if (ran)
        reports_.expect_none();
    return status;
}

void ServiceProcess::kill_hard()
{
    end(pid_, SIGKILL);
}

void ServiceTest::SetUp()
{
    service_.start();
    ASSERT_EQ(contact_initialize(&error_code_), 1);
}

void ServiceTest::TearDown()
{
    contact_finalize(&error_code_);
    EXPECT_EQ(service_.stop(), 0) << "the service must stop cleanly on SIGTERM";
}

void ServiceTest::restart_service()
{
    ASSERT_EQ(service_.stop(), 0);
    service_.start();
}

std::string ServiceTest::use_sim_card(const std::string &card_json)
{
    const std::string path = dir_.path() + "/sim-card.json";
    std::ofstream(path) << card_json;
    service_.arguments = {"--sim", path, "--sim-load-delay-ms", "5"};
    restart_service();
    return path;
}

void ready_sim_phonebook()
{
    int error_code = -1;
    ASSERT_EQ(contact_initialize_sim(&error_code), 1) << "error code " << error_code;
    bool loaded = false;
    int percent = 0;
    // A generous bound: the load takes milliseconds.
    for (int tries = 0; !loaded && tries < 12000; ++tries) {
        ASSERT_EQ(contact_is_sim_initialized(&loaded, &percent, &error_code), 1);
        if (!loaded)
            usleep(10 * 1000);
    }
    ASSERT_TRUE(loaded) << "the SIM phonebook did not load within 120 s (" << percent << "%)";
    ASSERT_EQ(contact_open_sim(&error_code), 1) << "error code " << error_code;
}

std::string no_connection_message(const char *function, bool opened)
{
    return std::string("\n[DodazorEdidud]%s %d: ") + (function != nullptr ? std::string(function) + ": " : "") +
           "The dbus connection hasn't been " + (opened ? "opened" : "connected") + ".\n";
}

std::string null_argument_message(const char *function, const char *argument)
{
    return std::string("\n[DodazorEdidud]%s %d: ") + (function != nullptr ? std::string(function) + ": " : "") +
           "The " + argument + " is NULL.\n";
}

namespace {

// fails_with, and the one error's text names `function`, when given.
::testing::AssertionResult check_failure(const Call &call, int code, const std::string &format, const char *function)
{
    LogCapture log;
    int error_code = -1;
    const int result = call(&error_code);
    const std::vector<LogEntry> errors = log.errors();
    const std::vector<std::string> formats = log.error_formats();
    const bool named = function == nullptr ||
                       (errors.size() == 1 && errors[0].module == kModule &&
                        errors[0].text.rfind(std::string("\n[DodazorEdidud]") + function + " ", 0) == 0);
    if (result == 0 && error_code == code && formats == std::vector<std::string>{format} && named)
        return ::testing::AssertionSuccess();
    ::testing::AssertionResult failure = ::testing::AssertionFailure();
    failure << "returned " << result << " (expected 0), error_code " << error_code << " (expected " << code
            << "), logged " << errors.size() << " error(s)";
    for (const LogEntry &logged : errors)
        failure << "\n  logged:   " << ::testing::PrintToString(logged.format) << " as "
                << ::testing::PrintToString(logged.text);
    failure << "\n  expected: " << ::testing::PrintToString(format);
    if (function != nullptr)
        failure << " from " << function;
    return failure;
}

// Closes the library's connection however many initializations hold it; returns how many.
int close_connection()
{
    int closed = 0;
    bool opened = false;
    int error_code = 0;
    while (contact_is_database_opened(&opened, &error_code) == 1 && opened && closed < 1000) {
        contact_finalize(&error_code);
        ++closed;
    }
    return closed;
}

} // namespace

bool eventually(const std::function<bool()> &holds)
{
    for (const auto give_up = std::chrono::steady_clock::now() + std::chrono::minutes(2);;) {
        if (holds())
            return true;
        if (std::chrono::steady_clock::now() > give_up)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

BusClient::BusClient()
    : connection(sdbus::createSystemBusConnection()),
      proxy(sdbus::createProxy(*connection, CONTACT_ENGINE_BUS_NAME, CONTACT_ENGINE_OBJECT_PATH))
{
}

BusClient::~BusClient() = default;

int BusClient::code_of(const std::function<void()> &call)
{
    try {
        call();
        return 0;
    } catch (const sdbus::Error &error) {
        return std::atoi(error.getMessage().c_str());
    }
}

int failure_code(const Call &call)
{
    int error_code = -1;
    EXPECT_EQ(call(&error_code), 0);
    return error_code;
}

::testing::AssertionResult fails_with(const Call &call, int code, const std::string &format)
{
    return check_failure(call, code, format, nullptr);
}

void expect_preconditions(const std::vector<Precondition> &cases)
{
    (void)bus();
    const int held = close_connection();
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Precondition &c = cases[i];
        SCOPED_TRACE(::testing::Message() << "case " << i << ": " << c.function << ", code " << c.code);
        const bool connect = c.code != CONTACT_ERROR_NOT_CONNECTED;
        if (connect)
            contact_initialize(nullptr);
        EXPECT_TRUE(check_failure(c.call, c.code, c.format, c.function));
        if (connect)
            contact_finalize(nullptr);
    }
    for (int i = 0; i < held; ++i)
        contact_initialize(nullptr);
}

void say(int out, const std::string &line)
{
    const std::string text = line + "\n";
    (void)!write(out, text.data(), text.size());
}

UserProcess::UserProcess(const User &user, const std::function<int(int out)> &body)
{
    int fds[2];
    if (pipe(fds) != 0)
        throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        close(fds[0]);
        if (!become(user))
            _exit(126);
        int status = kBodyThrew;
        try {
            status = body(fds[1]);
        } catch (const std::exception &error) {
            say(fds[1], error.what());
        }
        _exit(status);
    }
    close(fds[1]);
    output_ = fds[0];
}

UserProcess::~UserProcess()
{
    if (output_ >= 0)
        close(output_);
    wait();
}

int UserProcess::wait()
{
    const pid_t pid = pid_;
    if (status_ < 0)
        status_ = end(pid_, 0);
    pid_ = pid;
    return status_;
}

std::vector<std::string> UserProcess::lines()
{
    std::istringstream text(output_ >= 0 ? read_from(output_, true) : "");
    output_ = -1;
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);)
        lines.push_back(line);
    return lines;
}

std::vector<std::string> run_as(const User &user, const std::function<int(int out)> &body, int *status)
{
    UserProcess process(user, body);
    std::vector<std::string> lines = process.lines();
    if (status != nullptr)
        *status = process.wait();
    return lines;
}

std::optional<User> bus_client_user(const char *name)
{
    const auto skip = [name] {
        GTEST_SKIP() << "needs root and a user '" << name << "' that reaches the private bus";
    };
    const struct passwd *entry = geteuid() == 0 ? getpwnam(name) : nullptr;
    if (entry == nullptr) {
        skip();
        return std::nullopt;
    }
    const User user{entry->pw_uid, entry->pw_gid};
    const std::string address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    const std::string socket = address.substr(address.find('=') + 1);
    chmod(std::filesystem::path(socket).parent_path().c_str(), 0711);
    UserProcess probe(user, [&](int) { return access(socket.c_str(), R_OK | W_OK) == 0 ? 0 : 1; });
    if (probe.wait() != 0) {
        skip();
        return std::nullopt;
    }
    return user;
}

} // namespace contact_test
