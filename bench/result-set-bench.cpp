// Result sets at scale: the same operations on a phone storage of 1 000 and
// of 100 000 contacts, side by side; a sorted walk over 10 000 and single
// calls beside the bus's own cost; the service at 100 000 contacts (start-up,
// memory, bytes per contact, the slowest method, a change of locale).
//
// Each size runs in a process of its own with its own private bus and the
// service started with `--seed-contacts N` (generated contacts, ten of them
// findable as "zephyr" and "020 7946 001" at every size).  Rounds of the
// two sizes alternate, and each cost is the best round's mean, which keeps
// other work on the machine out of the comparison as far as it can be.
//
// The floor is bench/bus-floor-service on a private bus of its own under the
// same bus rules, called by a bare dbus-glib client: replies of the same
// types and sizes with no work behind them.  Floor and service alternate
// round by round; a ratio is the median of the rounds' ratios.
//
//   P3 scaling 100k/1k: <worst ratio of get, cursor step, batch, name and number search>
//   P5 sorted walk 10k: <seconds to create a sorted set of 10 000 and fetch it in batches of 50>
//   P5 vs floor: <the walk / 200 batches of 50 records and the calls around them, from the floor>
//   P6 get vs floor: <get of a full contact / a reply of the same size from the floor>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <csignal>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <SQLiteCpp/SQLiteCpp.h>
#include <dbus/dbus-glib.h>

#include "contact-engine-bus.h"
#include "contact-engine-wire.h"
#include "contact-engine.h"
#include "contact-wire.h"
#include "sample-contact.h"
#include "service-process.h"
#include "test-support.h"

namespace {

using Clock = std::chrono::steady_clock;
using contact_test::ServiceProcess;
using contact_test::TempDir;

constexpr int kPhone = CONTACT_STORAGE_PHONE;
constexpr int kByName = 0, kSearchName = 0, kSearchNumber = 1;
constexpr int kFirst = 0, kNext = 1;
constexpr int kAdvance = 0;
constexpr int kRounds = 7;
constexpr int kFloorRounds = 5;
constexpr int kCalls = 200; // calls per round of a single-call measurement

void check(int ok, int error_code, const char *what)
{
    if (!ok)
        throw std::runtime_error(std::string(what) + " failed with code " + std::to_string(error_code));
}

// Seconds per operation, as the mean of one round of `count` operations.
double round_mean(int count, const std::function<void(int)> &operation)
{
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i)
        operation(i);
    return std::chrono::duration<double>(Clock::now() - start).count() / count;
}

int create_set(int search_type, const char *query, int expected)
{
    int id = 0, error_code = 0, count = 0;
    check(contact_result_set_create_by_search_type(kPhone, search_type, query, kByName, &id, &error_code), error_code,
          "create");
    check(contact_result_set_get_contact_count(id, &count, &error_code), error_code, "count");
    if (expected >= 0 && count != expected)
        throw std::runtime_error(std::string("\"") + query + "\" found " + std::to_string(count) + ", not " +
                                 std::to_string(expected));
    return id;
}

void destroy(int id)
{
    int error_code = 0;
    check(contact_result_set_destory(id, &error_code), error_code, "destroy");
}

void free_sections(contact_t &record)
{
    for (void *section : {(void *)record.phone_info, (void *)record.email_info, (void *)record.postal_info,
                          (void *)record.note, (void *)record.about, (void *)record.sns, (void *)record.im,
                          (void *)record.presence_text, (void *)record.contact_id_data})
        free(section);
}

// The six measurements against one service; round(k) runs one round of
// measurement k.
class Measures {
public:
    static constexpr int kCount = 6;

    explicit Measures(int size) : size_(size), walk_(create_set(kSearchName, "", size)), batch_(50) {}

    double round(int measure)
    {
        int error_code = 0;
        switch (measure) {
        case 0:
            return round_mean(200, [&](int) {
                seed_ = seed_ * 1103515245u + 12345u;
                const int index = 1 + int((seed_ >> 8) % unsigned(size_));
                check(contact_get_contact(kPhone, index, &record_, &error_code), error_code, "get");
                free_sections(record_);
            });
        case 1:
            check(contact_result_set_move_cursor(walk_, kFirst, &error_code), error_code, "first");
            return round_mean(200, [&](int) {
                check(contact_result_set_move_cursor(walk_, kNext, &error_code), error_code, "next");
                check(contact_result_set_get_current_contact(walk_, &record_, &error_code), error_code, "current");
            });
        case 2:
            check(contact_result_set_move_cursor(walk_, kFirst, &error_code), error_code, "first");
            return round_mean(10, [&](int) {
                int count = 0;
                check(contact_result_set_get_contacts(walk_, 50, kAdvance, batch_.data(), &count, &error_code),
                      error_code, "batch");
            });
        case 3:
            return round_mean(50, [&](int) { destroy(create_set(kSearchName, "zephyr", 10)); });
        case 4:
            return round_mean(50, [&](int) { destroy(create_set(kSearchNumber, "020 7946 001", 10)); });
        case 5:
            return round_mean(3, [&](int) { destroy(create_set(kSearchName, "", size_)); });
        }
        throw std::runtime_error("no measurement " + std::to_string(measure));
    }

private:
    int size_;
    int walk_;
    std::vector<contact_t> batch_;
    contact_t record_{};
    unsigned seed_ = 12345;
};

// Seconds to create a set of every contact sorted by name and fetch it all
// in batches of 50.
double sorted_walk(int size)
{
    int error_code = 0;
    std::vector<contact_t> batch(50);
    double best = 1e9;
    {
        const auto start = Clock::now();
        int id = 0, walked = 0, count = 0;
        check(contact_result_set_create(kPhone, "", kByName, &id, &error_code), error_code, "create");
        while (contact_result_set_get_contacts(id, 50, kAdvance, batch.data(), &count, &error_code))
            walked += count;
        walked += count;
        best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
        destroy(id);
        if (walked != size)
            throw std::runtime_error("the walk saw " + std::to_string(walked) + " contacts");
    }
    return best;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n == 0 ? 0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Reads a seeded database once, so that both sizes are measured with their
// file in the page cache, not the larger one from the disk.
void warm(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    std::vector<char> chunk(1 << 20);
    while (file.read(chunk.data(), std::streamsize(chunk.size())) || file.gcount() > 0) {
    }
}

// A seeded database of `size` contacts, kept in `cache` (seeding 100 000
// takes long, and most measurements only read).
std::string seeded(int size, const std::string &cache)
{
    const std::string database = cache + "/seed-" + std::to_string(size) + ".db";
    if (!std::filesystem::exists(database)) {
        // Seeded under another name and renamed once whole: a seeding cut
        // short leaves nothing that looks seeded.
        const std::string part = database + ".part";
        for (const char *suffix : {"", "-wal", "-shm"})
            std::filesystem::remove(part + suffix);
        {
            ServiceProcess service(part, {"--locale", "en_GB", "--seed-contacts", std::to_string(size), "--fast-commits"});
            const auto start = Clock::now();
            service.start();
            std::fprintf(stderr, "seeded %d contacts in %.1f s\n", size, seconds_since(start));
            if (service.stop() != 0)
                throw std::runtime_error("seeding " + std::to_string(size) + " contacts failed");
        }
        if (std::filesystem::exists(part + "-wal"))
            throw std::runtime_error("the seeded database was not checkpointed");
        std::filesystem::rename(part, database);
    }
    warm(database);
    return database;
}

// A copy of a seeded database in `dir`, for measurements that write.
std::string copy_of(const std::string &database, const TempDir &dir)
{
    const std::string copy = dir.path() + "/copy.db";
    std::filesystem::copy_file(database, copy);
    if (std::filesystem::exists(database + "-wal"))
        std::filesystem::copy_file(database + "-wal", copy + "-wal");
    warm(copy);
    return copy;
}

// What a child process answers: one number for a command and its argument.
using Handler = std::function<double(int command, int argument)>;

// A child process of its own (its own private bus, services and library
// connection: dbus-glib keeps one per process).  `setup` runs in the child
// and returns its handler; the parent asks one command at a time.
class Child {
public:
    explicit Child(const std::function<Handler()> &setup)
    {
        int to_child[2], from_child[2];
        if (pipe(to_child) != 0 || pipe(from_child) != 0)
            throw std::runtime_error("pipe failed");
        std::fflush(stdout);
        pid_ = fork();
        if (pid_ == 0) {
            close(to_child[1]);
            close(from_child[0]);
            _exit(serve(setup, to_child[0], from_child[1]));
        }
        close(to_child[0]);
        close(from_child[1]);
        commands_ = to_child[1];
        answers_ = from_child[0];
        ask(kReady);
    }
    ~Child()
    {
        const int quit[2] = {kQuit, 0};
        (void)!write(commands_, quit, sizeof quit);
        close(commands_);
        close(answers_);
        waitpid(pid_, nullptr, 0);
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    double ask(int command, int argument = 0)
    {
        const int message[2] = {command, argument};
        double answer = 0;
        if (write(commands_, message, sizeof message) != sizeof message ||
            read(answers_, &answer, sizeof answer) != sizeof answer || answer < 0)
            throw std::runtime_error("a measuring process failed");
        return answer;
    }

    static constexpr int kReady = -1, kQuit = -2;

private:
    static int serve(const std::function<Handler()> &setup, int commands, int answers)
    {
        auto reply = [&](double value) { return write(answers, &value, sizeof value) == sizeof value; };
        try {
            Handler handler = setup();
            int message[2] = {0, 0};
            while (read(commands, message, sizeof message) == sizeof message && message[0] != kQuit)
                reply(message[0] == kReady ? 0 : handler(message[0], message[1]));
            std::fflush(stdout);
            return 0;
        } catch (const std::exception &error) {
            std::fflush(stdout);
            std::fprintf(stderr, "result-set-bench: %s\n", error.what());
            reply(-1);
            return 1;
        }
    }

    pid_t pid_ = -1;
    int commands_ = -1;
    int answers_ = -1;
};

// Commands of the processes below beside the Measures' own 0 .. 5.
constexpr int kWalk = 100, kCount = 101, kGetFull = 102, kFullSize = 103;

// One size of the P3 comparison.
Handler size_measures(int size, const std::string &cache)
{
    auto bus = std::make_shared<contact_test::PrivateBus>();
    auto service = std::make_shared<ServiceProcess>(seeded(size, cache), std::vector<std::string>{"--locale", "en_GB"});
    service->start();
    int error_code = 0;
    check(contact_initialize(&error_code), error_code, "initialize");
    auto measures = std::make_shared<Measures>(size);
    for (int measure = 0; measure < Measures::kCount; ++measure)
        measures->round(measure); // untimed: the caches of both sizes warm alike
    return [bus, service, measures](int command, int) { return measures->round(command); };
}

// The service with 10 000 contacts, one of them a full contact (every
// section): the sorted walk, count and get, as the floor measures them too.
Handler walk_measures(const std::string &cache)
{
    constexpr int kSize = 10000;
    auto bus = std::make_shared<contact_test::PrivateBus>();
    auto dir = std::make_shared<TempDir>();
    const std::string database = seeded(kSize, cache);
    auto service = std::make_shared<ServiceProcess>(copy_of(database, *dir), std::vector<std::string>{"--locale", "en_GB"});
    service->start();
    int error_code = 0;
    check(contact_initialize(&error_code), error_code, "initialize");
    auto full = std::make_shared<contact_test::SampleContact>("Bench Mark");
    full->everything();
    check(contact_update_contact(kPhone, 1, &full->record, &error_code), error_code, "update");
    const int full_size = int(contact_test::wire_form(full->record).size());
    return [dir, bus, service, full_size](int command, int) -> double {
        int error_code = 0;
        switch (command) {
        case kWalk:
            return sorted_walk(kSize);
        case kFullSize:
            return full_size;
        case kCount:
            return round_mean(kCalls, [&](int) {
                int count = 0;
                check(contact_get_contact_count(kPhone, &count, &error_code), error_code, "count");
            });
        case kGetFull:
            return round_mean(kCalls, [&](int) {
                contact_t record{};
                check(contact_get_contact(kPhone, 1, &record, &error_code), error_code, "get");
                free_sections(record);
            });
        }
        throw std::runtime_error("no command " + std::to_string(command));
    };
}

// Starts `program` and waits for its ready line; ends it when it goes.
class Program {
public:
    explicit Program(const char *program)
    {
        int out[2];
        if (pipe(out) != 0)
            throw std::runtime_error("pipe failed");
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            execl(program, program, static_cast<char *>(nullptr));
            _exit(127);
        }
        close(out[1]);
        std::string seen;
        char buffer[256];
        ssize_t got;
        while (seen.find('\n') == std::string::npos && (got = read(out[0], buffer, sizeof buffer)) > 0)
            seen.append(buffer, std::size_t(got));
        close(out[0]);
        if (seen.find("ready") == std::string::npos)
            throw std::runtime_error(std::string(program) + " did not start");
    }
    ~Program()
    {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    Program(const Program &) = delete;
    Program &operator=(const Program &) = delete;

private:
    pid_t pid_ = -1;
};

// The floor: the bare service on its own private bus, called through
// dbus-glib alone, with the same methods, argument types and reply sizes.
Handler floor_measures()
{
    auto bus = std::make_shared<contact_test::PrivateBus>();
    auto floor = std::make_shared<Program>(BUS_FLOOR_SERVICE);
    GError *error = nullptr;
    DBusGConnection *connection = dbus_g_bus_get(DBUS_BUS_SYSTEM, &error);
    if (connection == nullptr)
        throw std::runtime_error("no bus for the floor");
    DBusGProxy *proxy =
        dbus_g_proxy_new_for_name(connection, CONTACT_ENGINE_BUS_NAME, CONTACT_ENGINE_OBJECT_PATH, CONTACT_ENGINE_INTERFACE);
    const GType bytes = dbus_g_type_get_collection("GArray", G_TYPE_UCHAR);
    const auto call = [proxy](const char *method) {
        GError *failure = nullptr;
        gint count = 0, code = 0;
        if (!dbus_g_proxy_call(proxy, method, &failure, G_TYPE_INT, 0, G_TYPE_INVALID, G_TYPE_INT, &count, G_TYPE_INT,
                               &code, G_TYPE_INVALID))
            throw std::runtime_error(std::string("the floor's ") + method + " failed");
    };
    const auto fetch = [proxy, bytes](const char *method, std::initializer_list<int> arguments) {
        GError *failure = nullptr;
        GArray *array = nullptr;
        gint count = 0;
        const auto it = arguments.begin();
        const gboolean ok = arguments.size() == 2
                                ? dbus_g_proxy_call(proxy, method, &failure, G_TYPE_INT, it[0], G_TYPE_INT, it[1],
                                                    G_TYPE_INVALID, bytes, &array, G_TYPE_INT, &count, G_TYPE_INVALID)
                                : dbus_g_proxy_call(proxy, method, &failure, G_TYPE_INT, it[0], G_TYPE_INT, it[1],
                                                    G_TYPE_INT, it[2], G_TYPE_INVALID, bytes, &array, G_TYPE_INT,
                                                    &count, G_TYPE_INVALID);
        if (!ok)
            throw std::runtime_error(std::string("the floor's ") + method + " failed");
        g_array_free(array, TRUE);
    };
    call("contact_get_contact_count"); // connected and answering
    return [bus, floor, call, fetch](int command, int argument) -> double {
        switch (command) {
        case kWalk: {
            // The walk's calls: one that makes the set, 200 batches of 50, and the empty one that ends it.
            const auto start = Clock::now();
            call("contact_get_contact_count");
            for (int batch = 0; batch < 200; ++batch)
                fetch("contact_result_set_get_contacts", {1, 50, 0});
            fetch("contact_result_set_get_contacts", {1, 0, 0});
            return seconds_since(start);
        }
        case kCount:
            return round_mean(kCalls, [&](int) { call("contact_get_contact_count"); });
        case kGetFull:
            return round_mean(kCalls, [&](int) { fetch("contact_get_contact", {0, argument}); });
        }
        throw std::runtime_error("no command " + std::to_string(command));
    };
}

// The service at 100 000 contacts, on a copy of the seeded database:
// start-up, memory, bytes per contact, the slowest methods, and a start
// after a change of locale.  Prints its own lines.
Handler scale_measures(const std::string &cache)
{
    constexpr int kSize = 100000;
    contact_test::PrivateBus bus;
    const std::string seed = seeded(kSize, cache);
    TempDir dir;
    const std::string database = copy_of(seed, dir);
    const double bytes = double(std::filesystem::file_size(database)) +
                         (std::filesystem::exists(database + "-wal") ? double(std::filesystem::file_size(database + "-wal")) : 0);
    int error_code = 0;
    {
        ServiceProcess service(database, {"--locale", "en_GB"});
        auto start = Clock::now();
        service.start();
        const double startup = seconds_since(start);
        check(contact_initialize(&error_code), error_code, "initialize");
        start = Clock::now();
        int id = 0;
        check(contact_result_set_create(-1, "", kByName, &id, &error_code), error_code, "create");
        const double every_storage = seconds_since(start);
        destroy(id);
        const long rss = bench::memory_kb(bench::service_pid(), "VmRSS");
        std::printf("100k: start-up %.3f s, resident memory %ld kB, database %.0f bytes per contact\n", startup, rss,
                    bytes / kSize);
        std::printf("100k: create a name-sorted set of every storage %.3f s\n", every_storage);
        service.stop();
    }
    {
        ServiceProcess service(database, {"--locale", "sv_SE"});
        const auto start = Clock::now();
        service.start();
        const double ready = seconds_since(start);
        int count = 0;
        check(contact_get_contact_count(kPhone, &count, &error_code), error_code, "count");
        const double answered = seconds_since(start);
        // The keys are remade once the state says so (read as any reader would).
        SQLite::Database state(database, SQLite::OPEN_READONLY);
        state.setBusyTimeout(5000);
        const auto remade = [&] {
            SQLite::Statement query(state, "SELECT value FROM state WHERE key = 'search_keys_signature'");
            return query.executeStep() && query.getColumn(0).getInt() != -1;
        };
        while (!remade() && seconds_since(start) < 300)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const double rebuilt = seconds_since(start);
        const long rss = bench::memory_kb(bench::service_pid(), "VmHWM");
        std::printf("100k after a change of locale: ready %.3f s, first answer %.3f s, every key remade %s %.2f s "
                    "(%.0f contacts/s), peak memory %ld kB\n",
                    ready, answered, remade() ? "in" : "NOT within", rebuilt, kSize / rebuilt, rss);
        std::printf("start-up after locale change 100k: %.3f\n", ready);
        // The slowest method: every contact removed in one transaction.
        const auto start_delete = Clock::now();
        const int deleted = contact_delete_all_contacts(kPhone, &error_code);
        std::printf("100k: slowest method, contact_delete_all_contacts of 100 000: %.3f s%s\n",
                    seconds_since(start_delete), deleted ? "" : " (no answer within the bus's timeout)");
        service.stop();
    }
    contact_finalize(&error_code);
    std::fflush(stdout);
    return [](int, int) { return 0.0; };
}

// Seeded databases are kept beside the executable: seeding 100 000 contacts
// takes long, and the measurements only read.
std::string cache_directory()
{
    const std::string directory = std::filesystem::canonical("/proc/self/exe").parent_path() / "result-set-bench-data";
    std::filesystem::create_directories(directory);
    return directory;
}

} // namespace

int main()
{
    try {
        const std::string cache = cache_directory();
        double worst = 0;
        {
            Child small([&] { return size_measures(1000, cache); });
            Child large([&] { return size_measures(100000, cache); });
            const char *names[] = {"get contact",           "cursor step (move + current)", "batch fetch of 50",
                                   "name search (10 found)", "number search (10 found)",     "create unfiltered sorted set"};
            std::printf("%-32s %12s %12s %8s\n", "operation", "1k (us)", "100k (us)", "ratio");
            for (int measure = 0; measure < Measures::kCount; ++measure) {
                double best_small = 1e9, best_large = 1e9;
                for (int round = 0; round < kRounds; ++round) {
                    best_small = std::min(best_small, small.ask(measure));
                    best_large = std::min(best_large, large.ask(measure));
                }
                const double ratio = best_large / best_small;
                std::printf("%-32s %12.1f %12.1f %8.2f\n", names[measure], best_small * 1e6, best_large * 1e6, ratio);
                if (measure < 5)
                    worst = std::max(worst, ratio);
            }
        }
        { Child scale([&] { return scale_measures(cache); }); }

        Child walk([&] { return walk_measures(cache); });
        Child floor([] { return floor_measures(); });
        const int full_size = int(walk.ask(kFullSize));
        std::vector<double> walks, walk_ratios, count_ratios, get_ratios, counts, gets;
        for (int round = 0; round < kFloorRounds; ++round) {
            walks.push_back(walk.ask(kWalk));
            walk_ratios.push_back(walks.back() / floor.ask(kWalk));
            counts.push_back(walk.ask(kCount));
            count_ratios.push_back(counts.back() / floor.ask(kCount));
            gets.push_back(walk.ask(kGetFull));
            get_ratios.push_back(gets.back() / floor.ask(kGetFull, full_size));
        }
        std::printf("count: %.1f us, %.2f x the floor; get of a full contact (%d bytes): %.1f us, %.2f x the floor\n",
                    median(counts) * 1e6, median(count_ratios), full_size, median(gets) * 1e6, median(get_ratios));
        std::printf("P3 scaling 100k/1k: %.2f\n", worst);
        std::printf("P5 sorted walk 10k: %.3f\n", median(walks));
        std::printf("P5 vs floor: %.2f\n", median(walk_ratios));
        std::printf("P6 get vs floor: %.2f\n", median(get_ratios));
        return 0;
    } catch (const std::exception &error) {
        std::fprintf(stderr, "result-set-bench: %s\n", error.what());
        return 1;
    }
}
