// The library with no bus to reach: the connect fails cleanly and counts,
// each setting (which connects for its own call) reports its own connect
// failure; and the library's parts that need no bus: the call frame's log
// lines and count + records helper, and the mapping of error texts to codes.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "contact-engine-frame.h"
#include "contact-engine-internal.h"
#include "contact-engine-wire.h"
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

// Each setting logs the bus failure, then its own connect-failure message
// under its own name, reports 9, writes nothing and leaves the connection closed.
int g_value = 1234;
char g_name[65] = "untouched";
char g_number[41] = "untouched";

TEST(SettingsNoBus, EachSettingReportsItsConnectFailure)
{
    const struct {
        const char *function;
        Call call;
        const char *named = nullptr; // the name the message gives, when not the function's
    } cases[] = {
        {"contact_get_contact_module_sync_status", [](int *e) { return contact_get_contact_module_sync_status(&g_value, e); }},
        {"contact_set_contact_module_sync_status", [](int *e) { return contact_set_contact_module_sync_status(1, e); }},
        {"contact_get_view_storage_preference", [](int *e) { return contact_get_view_storage_preference(&g_value, e); }},
        {"contact_set_view_storage_preference", [](int *e) { return contact_set_view_storage_preference(1, e); }},
        {"contact_get_storage_preference", [](int *e) { return contact_get_storage_preference(&g_value, e); }},
        {"contact_set_storage_preference", [](int *e) { return contact_set_storage_preference(1, e); }},
        {"contact_get_own_number", [](int *e) { return contact_get_own_number(g_name, g_number, e); }},
        {"contact_set_own_number", [](int *e) { return contact_set_own_number("a", "1", e); }},
        {"contact_get_current_activated_msisdn_index", [](int *e) { return contact_get_current_activated_msisdn_index(&g_value, e); },
         ""},
        {"contact_set_current_activated_msisdn_index", [](int *e) { return contact_set_current_activated_msisdn_index(1, e); }},
        {"contact_get_copy_flag_for_sim_change", [](int *e) { return contact_get_copy_flag_for_sim_change(&g_value, e); },
         "contact_get_copy_flag"},
        {"contact_set_copy_flag_for_sim_change", [](int *e) { return contact_set_copy_flag_for_sim_change(1, e); },
         "contact_set_copy_flag"},
        {"contact_get_sort_type", [](int *e) { return contact_get_sort_type(&g_value, e); }},
        {"contact_set_sort_type", [](int *e) { return contact_set_sort_type(1, e); }},
        {"contact_get_display_order", [](int *e) { return contact_get_display_order(&g_value, e); }},
        {"contact_set_display_order", [](int *e) { return contact_set_display_order(1, e); }},
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
    // A NULL argument is reported without trying to connect.
    LogCapture log;
    int error_code = -1;
    EXPECT_EQ(contact_get_display_order(nullptr, &error_code), 0);
    EXPECT_EQ(error_code, CONTACT_ERROR_NULL_ARGUMENT);
    EXPECT_EQ(log.error_formats(), std::vector<std::string>{
                                       "\n[DodazorEdidud]%s %d: contact_get_display_order: The display_order is NULL.\n"});
}

// ---- the call frame ----------------------------------------------------------

using contact_frame::ByteArray;
using contact_frame::Operation;

// Each step logs the line of its own member call, also when its message sits
// on the next line; fail() inside a reply handler logs its own line too.
int two_checks(const int *first, const int *second, int *error_code, int lines[3])
{
    Operation op(__func__, error_code);
    lines[0] = __LINE__ + 1;
    op.not_null(first,
                "\n[DodazorEdidud]%s %d: The first is NULL.\n")
        .not_null(second, "\n[DodazorEdidud]%s %d: The second is NULL.\n")
        .on_success([&](Operation &self) {
            self.fail(CONTACT_ERROR_MALFORMED_REPLY,
                      "\n[DodazorEdidud]%s %d: rejected.\n");
        });
    lines[1] = __LINE__ - 5;
    lines[2] = __LINE__ - 4;
    return op.result();
}

TEST(FrameLines, EachMessageCarriesTheLineOfItsOwnStep)
{
    const int value = 1;
    const struct {
        const int *first, *second;
        int which, code;
    } cases[] = {{nullptr, &value, 0, CONTACT_ERROR_NULL_ARGUMENT},
                 {&value, nullptr, 1, CONTACT_ERROR_NULL_ARGUMENT},
                 {&value, &value, 2, CONTACT_ERROR_MALFORMED_REPLY}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.which);
        LogCapture log;
        int lines[3] = {};
        int error_code = -1;
        EXPECT_EQ(two_checks(c.first, c.second, &error_code, lines), 0);
        EXPECT_EQ(error_code, c.code);
        ASSERT_EQ(log.errors().size(), 1u);
        const LogEntry entry = log.errors()[0];
        EXPECT_EQ(entry.line, lines[c.which]);
        EXPECT_EQ(entry.file, __FILE__);
        EXPECT_EQ(entry.text.rfind("\n[DodazorEdidud]two_checks " + std::to_string(lines[c.which]) + ": ", 0), 0u)
            << entry.text;
    }
}

// A reply of three 8-byte records whose first ints are 7, -2 and 300, read as
// `count` records: fewer than it holds are fine; more (also a count whose byte
// size wraps to 8 in 32 bits) is malformed, and nothing is handed on.
TEST(FrameRecords, RecordsAreReadWithinTheReply)
{
    constexpr const char *kShort = "\n[DodazorEdidud]%s %d: The reply of %u bytes is shorter than %d records.\n";
    const std::vector<guint8> three = {7, 0, 0, 0, 9, 9, 9, 9, 0xfe, 0xff, 0xff, 0xff,
                                       9, 9, 9, 9, 0x2c, 1, 0, 0, 9, 9, 9, 9};
    using Records = std::vector<std::pair<int, int>>; // (i, the record's first int)
    const struct {
        std::vector<guint8> reply;
        int count, result, code;
        Records records;
        const char *logged;
    } cases[] = {
        {three, 3, 1, -1, {{0, 7}, {1, -2}, {2, 300}}, nullptr},
        {three, 2, 1, -1, {{0, 7}, {1, -2}}, nullptr},
        {{}, 0, 1, -1, {}, nullptr},
        {three, 4, 0, CONTACT_ERROR_MALFORMED_REPLY, {}, "The reply of 24 bytes is shorter than 4 records."},
        {three, 0x20000001, 0, CONTACT_ERROR_MALFORMED_REPLY, {}, "shorter than 536870913 records."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.count);
        LogCapture log;
        ByteArray reply;
        reply.reset(contact_frame::new_byte_array());
        g_array_append_vals(reply.get(), c.reply.data(), guint(c.reply.size()));
        int error_code = -1;
        Records records;
        Operation op("decode_records", &error_code);
        const int result = op.records(reply, c.count, 8, kShort, [&](int i, const guint8 *record) {
                                 records.emplace_back(i, contact_wire::read_i32(record, 0));
                             }).result();
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(error_code, c.code);
        EXPECT_EQ(records, c.records);
        ASSERT_EQ(log.errors().size(), c.logged ? 1u : 0u);
        if (c.logged) {
            EXPECT_NE(log.errors()[0].text.find(c.logged), std::string::npos) << log.errors()[0].text;
        }
    }
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
        {"23 the rest of the text", 23}, {"12: no contact at index 7", 12}, {"  -4 spaces and a sign are accepted", -4},
        {"+8", 8}, {"The name com.quorvel.contact.engine was not provided by any .service files", 0}, {"", 0},
        {"code 23", 0}, {"41 text", 41, "other"}, {"2147483647: the largest", INT_MAX},
        {"2147483648: one past", INT_MAX},
        {"4294967308 would wrap to 12", INT_MAX}, {"-2147483648", INT_MIN}, {"-2147483649", INT_MIN},
        {"99999999999999999999999 beyond 64 bits too", INT_MAX}, {"-99999999999999999999999", INT_MIN},
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
