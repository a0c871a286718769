// contact_initialize / contact_finalize in a loop, with no GLib main loop
// running: the process must not grow with the number of cycles.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "contact-engine.h"
#include "test-support.h"

namespace contact_test {
namespace {

// Resident set size of this process, in KiB.
long resident_kib()
{
    long pages_total = 0, pages_resident = 0;
    std::ifstream statm("/proc/self/statm");
    statm >> pages_total >> pages_resident;
    return pages_resident * (sysconf(_SC_PAGESIZE) / 1024);
}

void cycles(int count)
{
    for (int i = 0; i < count; ++i) {
        ASSERT_EQ(contact_initialize(nullptr), 1);
        ASSERT_EQ(contact_finalize(nullptr), 1);
    }
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true; // freed memory stays in quarantine: RSS says nothing
#else
constexpr bool kSanitized = false;
#endif

TEST(ConnectionMemoryTest, InitializeFinalizeCyclesDoNotGrowTheProcess)
{
    if (kSanitized)
        GTEST_SKIP() << "resident size is not a leak measure under AddressSanitizer";
    (void)bus();
    cycles(500); // the one-time set-up of GLib, dbus-glib and the connection
    constexpr int kCycles = 10000;
    const long before = resident_kib();
    cycles(kCycles);
    const long after = resident_kib();
    std::printf("RSS %ld KiB -> %ld KiB over %d cycles (%.3f KiB per cycle)\n", before, after, kCycles,
                double(after - before) / kCycles);
    // A reply left queued on the shared connection per cycle costs about
    // 0.3 KiB; 10 000 cycles would add megabytes.
    EXPECT_LT(after - before, 512) << "the process grew by " << after - before << " KiB";
}

} // namespace
} // namespace contact_test
