// Result sets at scale: the same operations on a phone storage of 1 000 and
// of 100 000 contacts, side by side, and a sorted walk over 10 000.
//
// Each size runs in a process of its own with its own private bus and the
// service started with `--seed-contacts N` (generated contacts, ten of them
// findable as "zephyr" and "020 7946 001" at every size).  Rounds of the
// two sizes alternate, and each cost is the best round's mean, which keeps
// other work on the machine out of the comparison as far as it can be.
//
//   P3 scaling 100k/1k: <worst ratio of get, cursor step, batch, name and number search>
//   P5 sorted walk 10k: <seconds to create a sorted set of 10 000 and fetch it in batches of 50>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "contact-engine.h"
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

// Reads a seeded database once, so that both sizes are measured with their
// file in the page cache, not the larger one from the disk.
void warm(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    std::vector<char> chunk(1 << 20);
    while (file.read(chunk.data(), std::streamsize(chunk.size())) || file.gcount() > 0) {
    }
}

// One size in a child process of its own: its own private bus, the service
// seeded with `size` contacts, and the library connected to it.  The parent
// asks for one round of one measurement at a time and alternates between
// the sizes, so the load of the machine falls on both alike.
class SizeProcess {
public:
    SizeProcess(int size, const std::string &cache)
    {
        int to_child[2], from_child[2];
        if (pipe(to_child) != 0 || pipe(from_child) != 0)
            throw std::runtime_error("pipe failed");
        pid_ = fork();
        if (pid_ == 0) {
            close(to_child[1]);
            close(from_child[0]);
            _exit(serve(size, cache, to_child[0], from_child[1]));
        }
        close(to_child[0]);
        close(from_child[1]);
        commands_ = to_child[1];
        answers_ = from_child[0];
        ask(kReady);
    }
    ~SizeProcess()
    {
        const int quit = kQuit;
        (void)!write(commands_, &quit, sizeof quit);
        close(commands_);
        close(answers_);
        waitpid(pid_, nullptr, 0);
    }
    double ask(int command)
    {
        double answer = 0;
        if (write(commands_, &command, sizeof command) != sizeof command ||
            read(answers_, &answer, sizeof answer) != sizeof answer)
            throw std::runtime_error("a measuring process failed");
        if (answer < 0)
            throw std::runtime_error("a measuring process failed");
        return answer;
    }

    static constexpr int kReady = -1, kQuit = -2, kWalk = 100;

private:
    static int serve(int size, const std::string &cache, int commands, int answers)
    {
        auto reply = [&](double value) { return write(answers, &value, sizeof value) == sizeof value; };
        try {
            contact_test::PrivateBus bus;
            const std::string database = cache + "/seed-" + std::to_string(size) + ".db";
            warm(database);
            ServiceProcess service(database,
                                   {"--locale", "en_GB", "--seed-contacts", std::to_string(size)});
            const auto start = Clock::now();
            service.start();
            std::fprintf(stderr, "service with %d contacts ready in %.1f s\n", size,
                         std::chrono::duration<double>(Clock::now() - start).count());
            int error_code = 0;
            check(contact_initialize(&error_code), error_code, "initialize");
            Measures measures(size);
            for (int measure = 0; measure < Measures::kCount; ++measure)
                measures.round(measure); // untimed: the caches of both sizes warm alike
            int command = 0;
            while (read(commands, &command, sizeof command) == sizeof command && command != kQuit) {
                if (command == kReady)
                    reply(0);
                else if (command == kWalk)
                    reply(sorted_walk(size));
                else
                    reply(measures.round(command));
            }
            contact_finalize(&error_code);
            service.stop();
            return 0;
        } catch (const std::exception &error) {
            std::fprintf(stderr, "result-set-bench (%d contacts): %s\n", size, error.what());
            reply(-1);
            return 1;
        }
    }

    pid_t pid_ = -1;
    int commands_ = -1;
    int answers_ = -1;
};

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
        SizeProcess small(1000, cache);
        SizeProcess large(100000, cache);

        const char *names[] = {"get contact",           "cursor step (move + current)", "batch fetch of 50",
                               "name search (10 found)", "number search (10 found)",     "create unfiltered sorted set"};
        std::printf("%-32s %12s %12s %8s\n", "operation", "1k (us)", "100k (us)", "ratio");
        double worst = 0;
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
        std::printf("P3 scaling 100k/1k: %.2f\n", worst);

        SizeProcess walk(10000, cache);
        double best = 1e9;
        for (int round = 0; round < 3; ++round)
            best = std::min(best, walk.ask(SizeProcess::kWalk));
        std::printf("P5 sorted walk 10k: %.3f\n", best);
        return 0;
    } catch (const std::exception &error) {
        std::fprintf(stderr, "result-set-bench: %s\n", error.what());
        return 1;
    }
}
