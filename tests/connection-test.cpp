// The shared connection: counting, synonyms, open and closed states, and
// memory over many cycles.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <fstream>
#include <regex>

#include "contact-engine.h"
#include "test-support.h"

namespace contact_test {
namespace {

bool opened()
{
    bool state = true;
    int error_code = -1;
    EXPECT_EQ(contact_is_database_opened(&state, &error_code), 1);
    EXPECT_EQ(error_code, -1) << "contact_is_database_opened never writes error_code on success";
    return state;
}

// The count as the connection functions trace it last.
int traced_count(const LogCapture &log)
{
    const std::string last = log.traces().empty() ? "" : log.traces().back().text;
    std::smatch match;
    EXPECT_TRUE(std::regex_search(last, match, std::regex(">>>>>>>>>>>>g_contact_dbus_ref_count = (-?[0-9]+)\n$")))
        << "no count traced: " << last;
    return match.empty() ? INT_MAX : std::stoi(match[1]);
}

TEST(ConnectionTest, CountsEveryOpenAndCloseAndReleasesOnlyAtZero)
{
    (void)bus();
    // After each call: the count it traces and whether the connection is open.  An
    // unmatched finalize goes below 0 and releases nothing; a connection opened at
    // 0 or below stays open until a finalize brings the count to exactly 0.
    const struct {
        int (*call)(int *);
        int count;
        bool open;
    } steps[] = {{contact_initialize, 1, true},  {contact_open_database, 2, true}, {contact_close_database, 1, true},
                 {contact_finalize, 0, false},   {contact_finalize, -1, false},    {contact_initialize, 0, true},
                 {contact_finalize, -1, true},   {contact_initialize, 0, true},    {contact_initialize, 1, true},
                 {contact_finalize, 0, false}};
    LogCapture log;
    EXPECT_FALSE(opened()) << "nothing is connected at load time";
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(steps[i].call(nullptr), 1);
        EXPECT_EQ(traced_count(log), steps[i].count);
        EXPECT_EQ(opened(), steps[i].open);
    }
    EXPECT_TRUE(log.errors().empty());
    const char *function = "contact_is_database_opened";
    expect_preconditions({{function, with(contact_is_database_opened, nullptr), CONTACT_ERROR_NULL_ARGUMENT,
                           null_argument_message(function, "opened")}});
}

// However long the daemon takes to listen (a loaded machine), the bus is
// waited for, not given up on after a fixed time.
TEST(PrivateBusTest, ADaemonSlowToStartIsWaitedFor)
{
    PrivateBus slow(std::string(), {"/bin/sh", "-c", "sleep 6; exec \"$0\" \"$@\""});
    EXPECT_EQ(contact_initialize(nullptr), 1);
    EXPECT_TRUE(opened());
    contact_finalize(nullptr);
}

// Resident set size of this process, in KiB.
long resident_kib()
{
    long pages_total = 0, pages_resident = 0;
    std::ifstream("/proc/self/statm") >> pages_total >> pages_resident;
    return pages_resident * (sysconf(_SC_PAGESIZE) / 1024);
}

void cycles(int count)
{
    for (int i = 0; i < count; ++i)
        ASSERT_TRUE(contact_initialize(nullptr) == 1 && contact_finalize(nullptr) == 1);
}

// Without a GLib main loop running, initialize/finalize cycles must not grow
// the process: a reply left queued on the shared connection per cycle costs
// about 0.3 KiB, so 10 000 cycles would add megabytes.
TEST(ConnectionMemoryTest, InitializeFinalizeCyclesDoNotGrowTheProcess)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "resident size is not a leak measure under AddressSanitizer (freed memory stays in quarantine)";
#endif
    (void)bus();
    cycles(500); // the one-time set-up of GLib, dbus-glib and the connection
    constexpr int kCycles = 10000;
    const long before = resident_kib();
    cycles(kCycles);
    const long after = resident_kib();
    std::printf("RSS %ld KiB -> %ld KiB over %d cycles\n", before, after, kCycles);
    EXPECT_LT(after - before, 512) << "the process grew by " << after - before << " KiB";
}

} // namespace
} // namespace contact_test
