// Fairness: how long another client waits for contact_get_contact while,
// in turn, a delete of every contact over 100 000, a bulk import of 10 000
// cards and a hostile vCard of 3.5 million empty properties (14 MB) run.
// Prints the latency per load and `fairness p99: <ms>` over all of them.
//
// It brings its own private bus and service; the database seeded with
// 100 000 contacts (--seed-contacts) is made once and kept beside the
// executable (seeding takes minutes on a busy machine), and each run works
// on a copy of it.
#include <sdbus-c++/sdbus-c++.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../tools/bulk-client.h"
#include "bulk-cards.h"
#include "contact-engine-bus.h"
#include "contact-engine.h"
#include "test-support.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kSeeded = 100000;
const std::vector<std::string> kServiceOptions{"--locale", "en_GB"};

// The seeded database, made once (or taken from the result-set benchmark,
// which seeds with the same options).
std::string seeded_database()
{
    const fs::path here = fs::canonical("/proc/self/exe").parent_path();
    const fs::path cache = here / "fairness-bench-data";
    fs::create_directories(cache);
    const fs::path seeded = cache / ("seed-" + std::to_string(kSeeded) + ".db");
    if (fs::exists(seeded))
        return seeded;
    const fs::path other = here / "result-set-bench-data" / ("seed-" + std::to_string(kSeeded) + ".db");
    if (fs::exists(other)) {
        fs::copy_file(other, seeded);
        return seeded;
    }
    std::fprintf(stderr, "fairness-bench: seeding %d contacts once (kept in %s)\n", kSeeded, cache.c_str());
    std::vector<std::string> options = kServiceOptions;
    options.insert(options.end(), {"--seed-contacts", std::to_string(kSeeded)});
    contact_test::ServiceProcess seeding(seeded.string() + ".new", options);
    seeding.start();
    seeding.stop();
    fs::rename(seeded.string() + ".new", seeded);
    return seeded;
}

// Another client asking for one contact over and over from its own
// connection, keeping each answer's latency while a load runs.
class Prober {
public:
    Prober()
        : connection_(sdbus::createSystemBusConnection()),
          proxy_(sdbus::createProxy(*connection_, CONTACT_ENGINE_BUS_NAME, CONTACT_ENGINE_OBJECT_PATH)),
          thread_([this] { run(); })
    {
    }
    ~Prober()
    {
        done_ = true;
        thread_.join();
    }
    // Latencies (ms) of the answers given while `load` ran.
    std::vector<double> during(const std::function<void()> &load)
    {
        {
            std::lock_guard lock(mutex_);
            samples_.clear();
        }
        measuring_ = true;
        load();
        measuring_ = false;
        std::lock_guard lock(mutex_);
        return samples_;
    }

private:
    void run()
    {
        while (!done_) {
            if (!measuring_) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            const auto start = Clock::now();
            try {
                proxy_->callMethod("contact_get_contact")
                    .onInterface(CONTACT_ENGINE_INTERFACE)
                    .withArguments(std::int32_t(CONTACT_STORAGE_PHONE), std::int32_t(1));
            } catch (const sdbus::Error &) {
                // No contact there (deleted, not imported yet): answered all the same.
            }
            const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            {
                std::lock_guard lock(mutex_);
                samples_.push_back(ms);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    std::unique_ptr<sdbus::IConnection> connection_;
    std::unique_ptr<sdbus::IProxy> proxy_;
    std::atomic<bool> done_{false};
    std::atomic<bool> measuring_{false};
    std::mutex mutex_;
    std::vector<double> samples_;
    std::thread thread_;
};

double percentile(std::vector<double> samples, double p)
{
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    return samples[std::min(samples.size() - 1, std::size_t(p * double(samples.size())))];
}

void check(bool ok, const char *what, int error_code)
{
    if (!ok)
        std::fprintf(stderr, "fairness-bench: %s failed with code %d\n", what, error_code);
}

void import_cards(const std::string &path)
{
    int error_code = 0, handle = -1, state = -1;
    check(contact_bulk_operation_open(CONTACT_BULK_IMPORT, CONTACT_STORAGE_PHONE, &handle, &error_code), "open",
          error_code);
    check(bulk_client::set_source(handle, path, &error_code), "set_source", error_code);
    check(contact_bulk_operation_exec(handle, &state, &error_code), "exec", error_code);
    bulk_operation_status_t status{};
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (!contact_bulk_operation_get_info(handle, &status, &error_code))
            break;
    } while (status.state == CONTACT_BULK_STATE_RUNNING);
    contact_bulk_operation_close(handle, &error_code);
}

// One card of 3.5 million empty properties: 14 MB.
std::string hostile_card()
{
    std::string card = "BEGIN:VCARD\r\nVERSION:3.0\r\n";
    card.reserve(14u << 20);
    for (int i = 0; i < 3500000; ++i)
        card += "X:\r\n";
    return card + "END:VCARD\r\n";
}

} // namespace

int main()
{
    try {
        contact_test::PrivateBus bus;
        const std::string seeded = seeded_database();
        contact_test::TempDir dir;
        const std::string database = dir.path() + "/contacts.db";
        fs::copy_file(seeded, database);
        const std::string cards = dir.path() + "/cards.vcf";
        bulk_cards::write(cards, 10000);
        const std::string hostile = hostile_card();

        contact_test::ServiceProcess service(database, kServiceOptions);
        service.start();
        int error_code = 0;
        check(contact_initialize(&error_code), "contact_initialize", error_code);
        Prober prober;

        struct Load {
            const char *name;
            std::function<void()> run;
        };
        const Load loads[] = {
            {"delete-all over 100 000",
             [&] { check(contact_delete_all_contacts(CONTACT_STORAGE_PHONE, &error_code), "delete-all", error_code); }},
            {"bulk import of 10 000", [&] { import_cards(cards); }},
            {"hostile vCard (14 MB)",
             [&] {
                 contact_t contact{};
                 contact_convert_vcard_to_contact(hostile.c_str(), &contact); // refused or read: either is fine
             }},
        };
        std::vector<double> all;
        for (const Load &load : loads) {
            const auto start = Clock::now();
            const std::vector<double> samples = prober.during(load.run);
            const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
            std::printf("fairness %-24s %6.2f s, %5zu answers, p50 %7.2f ms, p99 %7.2f ms, max %7.2f ms\n", load.name,
                        seconds, samples.size(), percentile(samples, 0.5), percentile(samples, 0.99),
                        percentile(samples, 1.0));
            all.insert(all.end(), samples.begin(), samples.end());
        }
        std::printf("fairness p99: %.1f\n", percentile(all, 0.99));
        contact_finalize(&error_code);
        return 0;
    } catch (const std::exception &error) {
        std::fprintf(stderr, "fairness-bench: %s\n", error.what());
        return 1;
    }
}
