// The settings with no bus to reach: each one tries to connect for its own
// call, logs its own connect-failure message, reports 9, writes nothing and
// leaves the connection closed.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "contact-engine.h"
#include "test-support.h"

namespace contact_test {
namespace {

constexpr const char *kBusGetFailed =
    "\n[DodazorEdidud]%s %d: _contact_init_dbus_connection: dbus_g_bus_get() failed().\n";

std::string connect_failed(const std::string &function)
{
    return "\n[DodazorEdidud]%s %d: " + (function.empty() ? "" : function + ": ") +
           "_contact_init_dbus_connection() failed().\n";
}

struct Case {
    const char *function;
    Call call;
    std::string message;
};

int g_value = 1234;
char g_name[65] = "untouched";
char g_number[41] = "untouched";

TEST(SettingsNoBus, EachSettingReportsItsConnectFailure)
{
    const std::vector<Case> cases{
        {"contact_get_contact_module_sync_status",
         [](int *e) { return contact_get_contact_module_sync_status(&g_value, e); },
         connect_failed("contact_get_contact_module_sync_status")},
        {"contact_set_contact_module_sync_status", [](int *e) { return contact_set_contact_module_sync_status(1, e); },
         connect_failed("contact_set_contact_module_sync_status")},
        {"contact_get_view_storage_preference", [](int *e) { return contact_get_view_storage_preference(&g_value, e); },
         connect_failed("contact_get_view_storage_preference")},
        {"contact_set_view_storage_preference", [](int *e) { return contact_set_view_storage_preference(1, e); },
         connect_failed("contact_set_view_storage_preference")},
        {"contact_get_storage_preference", [](int *e) { return contact_get_storage_preference(&g_value, e); },
         connect_failed("contact_get_storage_preference")},
        {"contact_set_storage_preference", [](int *e) { return contact_set_storage_preference(1, e); },
         connect_failed("contact_set_storage_preference")},
        {"contact_get_own_number", [](int *e) { return contact_get_own_number(g_name, g_number, e); },
         connect_failed("contact_get_own_number")},
        {"contact_set_own_number", [](int *e) { return contact_set_own_number("a", "1", e); },
         connect_failed("contact_set_own_number")},
        {"contact_get_current_activated_msisdn_index",
         [](int *e) { return contact_get_current_activated_msisdn_index(&g_value, e); }, connect_failed("")},
        {"contact_set_current_activated_msisdn_index",
         [](int *e) { return contact_set_current_activated_msisdn_index(1, e); },
         connect_failed("contact_set_current_activated_msisdn_index")},
        {"contact_get_copy_flag_for_sim_change",
         [](int *e) { return contact_get_copy_flag_for_sim_change(&g_value, e); },
         connect_failed("contact_get_copy_flag")},
        {"contact_set_copy_flag_for_sim_change", [](int *e) { return contact_set_copy_flag_for_sim_change(1, e); },
         connect_failed("contact_set_copy_flag")},
        {"contact_get_sort_type", [](int *e) { return contact_get_sort_type(&g_value, e); },
         connect_failed("contact_get_sort_type")},
        {"contact_set_sort_type", [](int *e) { return contact_set_sort_type(1, e); },
         connect_failed("contact_set_sort_type")},
        {"contact_get_display_order", [](int *e) { return contact_get_display_order(&g_value, e); },
         connect_failed("contact_get_display_order")},
        {"contact_set_display_order", [](int *e) { return contact_set_display_order(1, e); },
         connect_failed("contact_set_display_order")},
    };
    ASSERT_EQ(cases.size(), 16u);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.function);
        LogCapture log;
        int error_code = -1;
        EXPECT_EQ(c.call(&error_code), 0);
        EXPECT_EQ(error_code, CONTACT_ERROR_NOT_CONNECTED);
        EXPECT_EQ(log.error_formats(), (std::vector<std::string>{kBusGetFailed, c.message}));
        ASSERT_EQ(log.errors().size(), 2u);
        EXPECT_EQ(log.errors()[1].text.rfind(std::string("\n[DodazorEdidud]") + c.function + " ", 0), 0u)
            << "logged under the operation's own name: " << log.errors()[1].text;
        bool opened = true;
        EXPECT_EQ(contact_is_database_opened(&opened, &error_code), 1);
        EXPECT_FALSE(opened);
    }
    EXPECT_EQ(g_value, 1234);
    EXPECT_STREQ(g_name, "untouched");
    EXPECT_STREQ(g_number, "untouched");
}

TEST(SettingsNoBus, NullArgumentIsReportedWithoutTryingToConnect)
{
    LogCapture log;
    int error_code = -1;
    EXPECT_EQ(contact_get_display_order(nullptr, &error_code), 0);
    EXPECT_EQ(error_code, CONTACT_ERROR_NULL_ARGUMENT);
    EXPECT_EQ(log.error_formats(), std::vector<std::string>{
                                       "\n[DodazorEdidud]%s %d: contact_get_display_order: The display_order is NULL.\n"});
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
