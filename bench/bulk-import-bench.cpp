// P4: a vCard address book imported through a bulk job into an empty phone
// storage, parsing included, with the service's peak memory.
//
// The cards come from the file CONTACT_BENCH_VCARDS names, or else 10 000
// vCard 3.0 cards are made from a fixed seed before the clock starts.
// Needs the service on the bus (./run bench starts it).
#include <sdbus-c++/sdbus-c++.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "../tools/bulk-client.h"
#include "bulk-cards.h"
#include "contact-engine-bus.h"
#include "contact-engine.h"
#include "service-process.h"

namespace {

using bench::cpu_seconds;
using bench::memory_kb;
using bench::service_pid;

int fail(const char *what, int error_code)
{
    std::fprintf(stderr, "bulk-import-bench: %s failed with error code %d\n", what, error_code);
    return 1;
}

} // namespace

int main()
{
    int error_code = 0;
    if (!contact_initialize(&error_code))
        return fail("contact_initialize", error_code);
    std::string path;
    std::filesystem::path made;
    if (const char *given = std::getenv("CONTACT_BENCH_VCARDS"); given != nullptr && *given != '\0') {
        path = std::filesystem::absolute(given).string();
    } else {
        made = std::filesystem::temp_directory_path() / ("bulk-bench-" + std::to_string(getpid()) + ".vcf");
        path = made.string();
        if (!bulk_cards::write(path, 10000))
            return fail("writing the cards", 0);
    }
    if (!contact_delete_all_contacts(CONTACT_STORAGE_PHONE, &error_code))
        return fail("contact_delete_all_contacts", error_code);

    const pid_t pid = service_pid();
    const long before_kb = memory_kb(pid, "VmHWM");
    const double cpu_before = cpu_seconds(pid);
    const auto start = std::chrono::steady_clock::now();
    int handle = -1, state = -1;
    if (!contact_bulk_operation_open(CONTACT_BULK_IMPORT, CONTACT_STORAGE_PHONE, &handle, &error_code))
        return fail("contact_bulk_operation_open", error_code);
    if (!bulk_client::set_source(handle, path, &error_code))
        return fail("set_source", error_code);
    if (!contact_bulk_operation_exec(handle, &state, &error_code))
        return fail("contact_bulk_operation_exec", error_code);
    bulk_operation_status_t status{};
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (!contact_bulk_operation_get_info(handle, &status, &error_code))
            return fail("contact_bulk_operation_get_info", error_code);
    } while (status.state == CONTACT_BULK_STATE_RUNNING);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const long peak_kb = memory_kb(pid, "VmHWM");
    const double cpu = cpu_seconds(pid) - cpu_before;
    contact_bulk_operation_close(handle, &error_code);
    if (!made.empty())
        std::filesystem::remove(made);

    if (status.state != CONTACT_BULK_STATE_DONE)
        return fail("the import", status.last_error);
    std::printf("P4 bulk import: %.0f contacts/s (%d contacts, %d cards skipped, %.3f s; target 18000)\n",
                double(status.done) / seconds, status.done, status.failed, seconds);
    std::printf("P4 bulk import, service CPU time: %.0f contacts/s (%.3f s of CPU; the wall clock above also "
                "counts other processes on a busy machine)\n",
                cpu > 0 ? double(status.done) / cpu : 0.0, cpu);
    std::printf("P4 bulk import peak service memory: VmHWM %ld kB (%ld kB before the job)\n", peak_kb, before_kb);
    contact_finalize(&error_code);
    return 0;
}
