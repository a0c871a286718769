// The library with no bus to reach: the connect fails cleanly and counts,
// each setting (which connects for its own call) reports its own connect
// failure; and the mapping of error texts to codes.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <climits>
#include <string>
#include <vector>

#include "contact-engine-internal.h"
#include "test-support.h"

namespace contact_test {
namespace {

constexpr const char *kBusGetFailed =
    "\n[DodazorEdidud]%s %d: _contact_init_dbus_connection: dbus_g_bus_get() failed().\n";

// Each setting connects for its own call: it logs the bus failure, then its
// own connect-failure message under its own name, reports 9, writes nothing
// and leaves the connection closed.  The rows whose message names the
// function, nothing, or a shorter name.
int g_value = 1234;
char g_name[65] = "untouched";
char g_number[41] = "untouched";

TEST(NoBus, InitializeFailsButCountsAndEachSettingReportsItsConnectFailure)
{
    const struct {
        const char *function;
        Call call;
        const char *named = nullptr; // the name the message gives, when not the function's
    } cases[] = {
        {"contact_get_own_number", with(contact_get_own_number, g_name, g_number)},
        {"contact_get_current_activated_msisdn_index", with(contact_get_current_activated_msisdn_index, &g_value), ""},
        {"contact_set_copy_flag_for_sim_change", with(contact_set_copy_flag_for_sim_change, 1),
         "contact_set_copy_flag"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.function);
        LogCapture log;
        int error_code = -1;
        EXPECT_EQ(c.call(&error_code), 0);
        EXPECT_EQ(error_code, CONTACT_ERROR_NOT_CONNECTED);
        const std::string name = c.named ? c.named : c.function;
        const std::string failed = "\n[DodazorEdidud]%s %d: " + (name.empty() ? "" : name + ": ") +
                                   "_contact_init_dbus_connection() failed().\n";
        EXPECT_EQ(log.error_formats(), (std::vector<std::string>{kBusGetFailed, failed}));
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
    // The connect that failed still counts, and nothing is disconnected at the end.
    LogCapture log;
    EXPECT_EQ(contact_initialize(nullptr), 0);
    EXPECT_EQ(g_contact_dbus_ref_count, 1);
    EXPECT_EQ(g_contact_engine_proxy, nullptr);
    EXPECT_EQ(contact_finalize(nullptr), 1);
    EXPECT_EQ(g_contact_dbus_ref_count, 0);
    EXPECT_EQ(log.error_formats(), std::vector<std::string>{kBusGetFailed});
}

// ---- error texts to codes ----------------------------------------------------

// The number that starts the text is the code (whatever the error's domain
// and numeric code); no number is 0; as strtol does where long is 32 bits,
// beyond the int range the code saturates, it never wraps.
TEST(ErrorMapping, LeadingNumberIsTheCode)
{
    const struct {
        const char *text;
        int code;
        const char *domain = "test";
    } cases[] = {
        {"12: no contact at index 7", 12}, {"  -4 spaces and a sign are accepted", -4}, {"41 text", 41, "other"},
        {"The name com.quorvel.contact.engine was not provided by any .service files", 0}, {"", 0},
        {"4294967308 would wrap to 12", INT_MAX}, {"-99999999999999999999999", INT_MIN},
    };
    for (const auto &c : cases) {
        GError *error = g_error_new_literal(g_quark_from_string(c.domain), 5, c.text);
        EXPECT_EQ(_get_error_code_by_gerror(error), c.code) << '"' << c.text << '"';
        g_error_free(error);
    }
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
