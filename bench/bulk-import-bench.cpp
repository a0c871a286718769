// P4: a vCard address book imported through a bulk job into an empty phone
// storage, parsing included; beside it, in the same run, what durable
// commits cost and the peer's batch add of the same cards.
//
// It starts its own private bus and, for each round, two fresh services:
// one as shipped (every commit synced to the disk) and one with
// --fast-commits.  Each imports the cards and then adds single full
// contacts.  With CONTACT_BENCH_PEER naming the peer's client, the peer's
// batch add of the same cards runs in the same round (bench/peer/).  Rounds
// alternate so the machine's load falls on all alike; each figure is the
// median of the rounds, each ratio the median of the rounds' ratios.
//
// The cards: 10 000 vCard 3.0 cards made from a fixed seed, and also the
// file CONTACT_BENCH_VCARDS names, when set.  The databases lie beside this
// program (on the disk the build is on), so syncs reach a real disk.
#include <sdbus-c++/sdbus-c++.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "../tools/bulk-client.h"
#include "bulk-cards.h"
#include "contact-engine.h"
#include "sample-contact.h"
#include "service-process.h"
#include "test-support.h"

namespace {

using Clock = std::chrono::steady_clock;
using contact_test::PrivateBus;
using contact_test::ServiceProcess;

constexpr int kRounds = 3;
constexpr int kSingleAdds = 200;

void check(int ok, int error_code, const std::string &what)
{
    if (!ok)
        throw std::runtime_error(what + " failed with error code " + std::to_string(error_code));
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n == 0 ? 0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

struct Import {
    double rate = 0;    // contacts/s by wall clock
    double cpu = 0;     // the service's CPU seconds
    int done = 0, skipped = 0;
    long peak_kb = 0, before_kb = 0;
};

// Imports `path` into the empty phone storage of the running service.
Import import(const std::string &path)
{
    int error_code = 0;
    check(contact_delete_all_contacts(CONTACT_STORAGE_PHONE, &error_code), error_code, "contact_delete_all_contacts");
    const pid_t pid = bench::service_pid();
    Import result;
    result.before_kb = bench::memory_kb(pid, "VmHWM");
    const double cpu_before = bench::cpu_seconds(pid);
    const auto start = Clock::now();
    int handle = -1, state = -1;
    check(contact_bulk_operation_open(CONTACT_BULK_IMPORT, CONTACT_STORAGE_PHONE, &handle, &error_code), error_code,
          "contact_bulk_operation_open");
    check(bulk_client::set_source(handle, path, &error_code), error_code, "set_source");
    check(contact_bulk_operation_exec(handle, &state, &error_code), error_code, "contact_bulk_operation_exec");
    bulk_operation_status_t status{};
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        check(contact_bulk_operation_get_info(handle, &status, &error_code), error_code, "get_info");
    } while (status.state == CONTACT_BULK_STATE_RUNNING);
    const double seconds = seconds_since(start);
    result.peak_kb = bench::memory_kb(pid, "VmHWM");
    result.cpu = bench::cpu_seconds(pid) - cpu_before;
    contact_bulk_operation_close(handle, &error_code);
    if (status.state != CONTACT_BULK_STATE_DONE)
        throw std::runtime_error("the import failed with " + std::to_string(status.last_error));
    result.done = status.done;
    result.skipped = status.failed;
    result.rate = double(status.done) / seconds;
    return result;
}

// Seconds per add of a full contact, one call and one commit each.
double single_adds()
{
    contact_test::SampleContact contact("Bench Mark");
    contact.everything();
    int error_code = 0, index = 0;
    check(contact_delete_all_contacts(CONTACT_STORAGE_PHONE, &error_code), error_code, "contact_delete_all_contacts");
    const auto start = Clock::now();
    for (int i = 0; i < kSingleAdds; ++i)
        check(contact_add_contact(CONTACT_STORAGE_PHONE, &contact.record, &index, &error_code), error_code,
              "contact_add_contact");
    return seconds_since(start) / kSingleAdds;
}

// The peer's batch add of `path`: contacts/s and its CPU seconds, from its one line.
struct PeerRun {
    double rate = 0;
    double cpu = 0;
};
std::optional<PeerRun> peer_batch_add(const std::string &client, const std::string &path)
{
    const std::string command = std::string("'") + PEER_RUNNER + "' '" + client + "' '" + path + "' 2>&1";
    std::unique_ptr<FILE, int (*)(FILE *)> pipe(popen(command.c_str(), "r"), pclose);
    std::optional<PeerRun> run;
    std::array<char, 512> line{};
    while (pipe && fgets(line.data(), int(line.size()), pipe.get()) != nullptr) {
        PeerRun one;
        int count = 0;
        double seconds = 0;
        if (std::sscanf(line.data(), "peer batch add: %lf contacts/s (%d contacts, %lf s, %lf s", &one.rate, &count,
                        &seconds, &one.cpu) == 4)
            run = one;
        else
            std::fprintf(stderr, "peer: %s", line.data());
    }
    return run;
}

struct Book {
    std::string label;
    std::string path;
    std::vector<Import> durable, fast;
    std::vector<double> peer, ratio, cpu_ratio;
};

} // namespace

int main()
{
    try {
        const std::filesystem::path data =
            std::filesystem::canonical("/proc/self/exe").parent_path() / ("bulk-import-bench-" + std::to_string(getpid()));
        std::filesystem::create_directories(data);
        struct Remove {
            std::filesystem::path path;
            ~Remove() { std::filesystem::remove_all(path); }
        } remove{data};

        std::vector<Book> books(1);
        books[0] = {"10 000 generated cards", (data / "cards.vcf").string(), {}, {}, {}, {}, {}};
        if (!bulk_cards::write(books[0].path, 10000))
            throw std::runtime_error("cannot write the cards");
        if (const char *given = std::getenv("CONTACT_BENCH_VCARDS"); given != nullptr && *given != '\0')
            books.push_back({std::string("CONTACT_BENCH_VCARDS ") + given, std::filesystem::absolute(given).string(),
                             {}, {}, {}, {}, {}});
        const char *peer = std::getenv("CONTACT_BENCH_PEER");
        const bool with_peer = peer != nullptr && *peer != '\0';

        PrivateBus bus;
        std::vector<double> add_durable, add_fast;
        int error_code = 0;
        check(contact_initialize(&error_code), error_code, "contact_initialize");
        for (int round = 0; round < kRounds; ++round) {
            for (const bool fast : {false, true}) {
                const std::string database = (data / ("round-" + std::to_string(round) + (fast ? "-fast" : "") + ".db")).string();
                ServiceProcess service(database, fast ? std::vector<std::string>{"--fast-commits"}
                                                      : std::vector<std::string>{});
                service.start();
                for (Book &book : books)
                    (fast ? book.fast : book.durable).push_back(import(book.path));
                (fast ? add_fast : add_durable).push_back(single_adds());
                service.stop();
            }
            for (Book &book : books) {
                if (!with_peer)
                    continue;
                const std::optional<PeerRun> run = peer_batch_add(peer, book.path);
                if (!run)
                    throw std::runtime_error("the peer's batch add gave no figure");
                const Import &ours = book.durable.back();
                book.peer.push_back(run->rate);
                book.ratio.push_back(ours.rate / run->rate);
                book.cpu_ratio.push_back(run->cpu / ours.cpu);
                std::fprintf(stderr, "round %d, %s: service %.0f/s (%.3f s CPU), peer %.0f/s (%.3f s CPU)\n",
                             round + 1, book.label.c_str(), ours.rate, ours.cpu, run->rate, run->cpu);
            }
        }
        contact_finalize(&error_code);

        const auto rates = [](const std::vector<Import> &imports, auto field) {
            std::vector<double> values;
            for (const Import &one : imports)
                values.push_back(double(one.*field));
            return median(values);
        };
        for (const Book &book : books) {
            const Import &last = book.durable.back();
            std::printf("import of %s: %.0f contacts/s (%d contacts, %d cards skipped), service CPU %.3f s, "
                        "peak VmHWM %ld kB (%ld kB before)\n",
                        book.label.c_str(), rates(book.durable, &Import::rate), last.done, last.skipped,
                        rates(book.durable, &Import::cpu), last.peak_kb, last.before_kb);
            std::printf("import of %s with --fast-commits: %.0f contacts/s\n", book.label.c_str(),
                        rates(book.fast, &Import::rate));
            if (with_peer)
                std::printf("import of %s, peer's batch add: %.0f contacts/s; ratio %.2f by wall clock, %.2f by CPU "
                            "time (the peer's processes / the service)\n",
                            book.label.c_str(), median(book.peer), median(book.ratio), median(book.cpu_ratio));
        }
        std::printf("single add of a full contact: %.2f ms synced, %.2f ms with --fast-commits\n",
                    median(add_durable) * 1e3, median(add_fast) * 1e3);
        std::printf("P4 bulk import: %.0f\n", rates(books[0].durable, &Import::rate));
        if (with_peer) {
            std::string ratios;
            for (const Book &book : books) {
                char one[64];
                std::snprintf(one, sizeof one, "%s%.2f", ratios.empty() ? "" : ", ", median(book.ratio));
                ratios += one;
            }
            std::printf("P4 vs peer: %s\n", ratios.c_str());
        } else {
            std::printf("P4 vs peer: n/a (the peer was not run; ./run bench --peer runs it)\n");
        }
        return 0;
    } catch (const std::exception &error) {
        std::fprintf(stderr, "bulk-import-bench: %s\n", error.what());
        return 1;
    }
}
