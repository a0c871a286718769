// With no bus to reach: the connect fails cleanly and counts, and closing
// what was never open logs once.  (The settings, which connect for their
// own call, are tested without a bus in settings-no-bus-test.cpp.)
#include <gtest/gtest.h>
#include <stdlib.h>

#include "contact-engine-frame.h"
#include "test-support.h"

namespace contact_test {
namespace {

constexpr const char *kBusGetFailed =
    "\n[DodazorEdidud]%s %d: _contact_init_dbus_connection: dbus_g_bus_get() failed().\n";

TEST(NoBus, InitializeFailsButCounts)
{
    LogCapture log;
    EXPECT_EQ(contact_initialize(nullptr), 0);
    EXPECT_EQ(g_contact_dbus_ref_count, 1);
    EXPECT_EQ(g_contact_engine_proxy, nullptr);
    EXPECT_EQ(log.error_formats(), std::vector<std::string>{kBusGetFailed});
    EXPECT_EQ(log.errors()[0].text.find("\n[DodazorEdidud]_contact_init_dbus_connection "), 0u);

    log.clear();
    EXPECT_EQ(contact_finalize(nullptr), 1);
    EXPECT_EQ(g_contact_dbus_ref_count, 0);
    EXPECT_TRUE(log.errors().empty()) << "nothing was open, so nothing is disconnected";
}

TEST(NoBus, CloseWithNothingOpenLogsOnce)
{
    LogCapture log;
    EXPECT_EQ(_contact_close_dbus_connection(nullptr), 1);
    EXPECT_EQ(log.error_formats(),
              std::vector<std::string>{
                  "\n[DodazorEdidud]%s %d: _contact_close_dbus_connection: The dbus connection has been closed.\n"});
}

} // namespace
} // namespace contact_test

int main(int argc, char **argv)
{
    // An address where no bus listens: the library must fail, not find the
    // machine's own system bus.
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/contact-engine-test/bus", 1);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
