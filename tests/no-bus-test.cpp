// With no bus to reach: the connect fails cleanly, and a settings-style
// operation reports 9 and leaves the connection closed.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "contact-engine-frame.h"
#include "test-support.h"

namespace contact_test {
namespace {

using contact_frame::ins;
using contact_frame::Operation;
using contact_frame::outs;

int temporary_count(int *record_count, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op.not_null(record_count, "\n[DodazorEdidud]%s %d: temporary_count: The record_count is NULL.\n")
        .temporary_connection("\n[DodazorEdidud]%s %d: temporary_count: _contact_init_dbus_connection() failed().\n")
        .call("contact_get_contact_count", "%s %d failed(%s)\n", ins(0), outs(record_count, error_code))
        .result();
}

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

TEST(NoBus, TemporaryConnectionGivesNine)
{
    LogCapture log;
    int count = 3;
    int error_code = -1;
    EXPECT_EQ(temporary_count(&count, &error_code), 0);
    EXPECT_EQ(error_code, CONTACT_ERROR_NOT_CONNECTED);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(g_contact_engine_proxy, nullptr);
    EXPECT_EQ(log.error_formats(),
              (std::vector<std::string>{kBusGetFailed, "\n[DodazorEdidud]%s %d: temporary_count: "
                                                       "_contact_init_dbus_connection() failed().\n"}));
}

TEST(NoBus, NullArgumentIsReportedBeforeConnecting)
{
    LogCapture log;
    int error_code = -1;
    EXPECT_EQ(temporary_count(nullptr, &error_code), 0);
    EXPECT_EQ(error_code, CONTACT_ERROR_NULL_ARGUMENT);
    EXPECT_EQ(log.errors().size(), 1u);
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
