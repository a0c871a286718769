// The checks that every contact operation makes before it sends anything:
// no connection gives 9, a NULL pointer gives 2, each with its own message,
// in the operation's order.  No service runs here, so an operation that
// wrongly went on to call would fail with a different code.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "sample-contact.h"
#include "test-support.h"

namespace contact_test {
namespace {

// Short names for the two messages, as the table below reads them.
std::string no_connection(const char *function, bool opened = true)
{
    return no_connection_message(function, opened);
}

std::string is_null(const char *function, const char *argument)
{
    return null_argument_message(function, argument);
}

struct Operation {
    const char *name;
    Call call;                // all pointer arguments valid
    std::string disconnected; // its no-connection message
};

contact_t g_record{};
int g_int = 0;
bool g_bool = false;
char g_text[CONTACT_FIELD_VALUE_MAX];
int g_indices[2000];

std::vector<Operation> all_operations()
{
    return {
        {"contact_add_contact", [](int *e) { return contact_add_contact(0, &g_record, &g_int, e); },
         no_connection("contact_add_contact")},
        {"contact_insert_contact", [](int *e) { return contact_insert_contact(0, 1, &g_record, e); },
         no_connection("contact_insert_contact")},
        {"contact_update_contact", [](int *e) { return contact_update_contact(0, 1, &g_record, e); },
         no_connection("contact_update_contact")},
        {"contact_get_contact", [](int *e) { return contact_get_contact(0, 1, &g_record, e); },
         no_connection("contact_get_contact")},
        {"contact_delete_contact", [](int *e) { return contact_delete_contact(0, 1, e); },
         no_connection("contact_delete_contact")},
        {"contact_delete_all_contacts", [](int *e) { return contact_delete_all_contacts(0, e); },
         no_connection("contact_delete_all_contacts")},
        {"contact_is_contact_exist", [](int *e) { return contact_is_contact_exist(0, 1, &g_bool, e); },
         no_connection(nullptr, false)},
        {"contact_get_contact_count", [](int *e) { return contact_get_contact_count(0, &g_int, e); },
         no_connection("contact_get_contact_count")},
        {"contact_get_max_contact_count", [](int *e) { return contact_get_max_contact_count(0, &g_int, e); },
         no_connection("contact_get_max_contact_count")},
        {"contact_get_empty_contact_index", [](int *e) { return contact_get_empty_contact_index(0, &g_int, e); },
         no_connection("contact_get_empty_contact_index")},
        {"contact_get_all_contact_indices",
         [](int *e) { return contact_get_all_contact_indices(0, g_indices, &g_int, e); }, no_connection(nullptr, false)},
        {"contact_get_field_value", [](int *e) { return contact_get_field_value(0, 1, 0, g_text, e); },
         no_connection(nullptr)},
        {"contact_change_field_value", [](int *e) { return contact_change_field_value(0, 1, 0, "x", e); },
         no_connection(nullptr)},
        {"contact_increase_frequency", [](int *e) { return contact_increase_frequency(0, 1, e); },
         no_connection("contact_increase_frequency")},
        {"contact_decrease_frequency", [](int *e) { return contact_decrease_frequency(0, 1, e); },
         no_connection("contact_decrease_frequency")},
        {"contact_is_fdn_phone_number_exist", [](int *e) { return contact_is_fdn_phone_number_exist("1", &g_bool, e); },
         no_connection("contact_is_fdn_phone_number_exist")},
        {"contact_get_my_contact", [](int *e) { return contact_get_my_contact(&g_record, e); },
         no_connection("contact_get_my_contact")},
        {"contact_insert_my_contact", [](int *e) { return contact_insert_my_contact(&g_record, e); },
         no_connection("contact_insert_my_contact")},
        {"contact_update_my_contact", [](int *e) { return contact_update_my_contact(&g_record, e); },
         no_connection("contact_update_my_contact")},
        {"contact_delete_my_contact", [](int *e) { return contact_delete_my_contact(e); },
         no_connection("contact_delete_my_contact")},
        {"contact_set_lbs_position", [](int *e) { return contact_set_lbs_position(e); }, no_connection(nullptr, false)},
        {"contact_is_contact_track_me_stop", [](int *e) { return contact_is_contact_track_me_stop(e); },
         no_connection(nullptr, false)},
        {"contact_is_contact_track_me_init", [](int *e) { return contact_is_contact_track_me_init(e); },
         no_connection(nullptr, false)},
        {"contact_is_contact_me_im_account_setting",
         [](int *e) { return contact_is_contact_me_im_account_setting(1, 2, e); }, no_connection(nullptr, false)},
        {"contact_drm_expired", [](int *e) { return contact_drm_expired(0, nullptr, e); },
         no_connection("contact_drm_expired")},
    };
}

class ChecksTest : public ::testing::Test {
protected:
    void SetUp() override { (void)bus(); }
};

TEST_F(ChecksTest, EveryOperationNeedsTheConnection)
{
    std::vector<Precondition> cases;
    for (const Operation &operation : all_operations())
        cases.push_back({operation.name, operation.call, CONTACT_ERROR_NOT_CONNECTED, operation.disconnected});
    g_int = 1234;
    expect_preconditions(cases);
    EXPECT_EQ(g_int, 1234) << "nothing written";
}

TEST_F(ChecksTest, FirstNullPointerDecides)
{
    constexpr int kNull = CONTACT_ERROR_NULL_ARGUMENT;
    expect_preconditions({
        {"contact_add_contact", [](int *e) { return contact_add_contact(0, nullptr, nullptr, e); }, kNull,
         is_null("contact_add_contact", "contact_record")},
        {"contact_add_contact", [](int *e) { return contact_add_contact(0, &g_record, nullptr, e); }, kNull,
         is_null("contact_add_contact", "index")},
        {"contact_insert_contact", [](int *e) { return contact_insert_contact(0, 1, nullptr, e); }, kNull,
         is_null("contact_insert_contact", "contact_record")},
        {"contact_update_contact", [](int *e) { return contact_update_contact(0, 1, nullptr, e); }, kNull,
         is_null("contact_update_contact", "contact_record")},
        {"contact_get_contact", [](int *e) { return contact_get_contact(0, 1, nullptr, e); }, kNull,
         is_null("contact_get_contact", "contact_record")},
        {"contact_is_contact_exist", [](int *e) { return contact_is_contact_exist(0, 1, nullptr, e); }, kNull,
         "\n[DodazorEdidud]%s %d: The parameter is_exist is NULL.\n"},
        {"contact_get_contact_count", [](int *e) { return contact_get_contact_count(0, nullptr, e); }, kNull,
         is_null("contact_get_contact_count", "record_count")},
        {"contact_get_max_contact_count", [](int *e) { return contact_get_max_contact_count(0, nullptr, e); }, kNull,
         is_null("contact_get_max_contact_count", "max_record_count")},
        {"contact_get_empty_contact_index", [](int *e) { return contact_get_empty_contact_index(0, nullptr, e); },
         kNull, is_null("contact_get_empty_contact_index", "empty_index")},
        {"contact_get_all_contact_indices",
         [](int *e) { return contact_get_all_contact_indices(0, nullptr, nullptr, e); }, kNull,
         is_null("contact_get_all_contact_indices", "contact_index_array")},
        {"contact_get_all_contact_indices",
         [](int *e) { return contact_get_all_contact_indices(0, g_indices, nullptr, e); }, kNull,
         is_null("contact_get_all_contact_indices", "contact_count")},
        {"contact_get_field_value", [](int *e) { return contact_get_field_value(0, 1, 0, nullptr, e); }, kNull,
         is_null(nullptr, "field_value")},
        {"contact_change_field_value", [](int *e) { return contact_change_field_value(0, 1, 0, nullptr, e); }, kNull,
         is_null(nullptr, "field_value")},
        {"contact_is_fdn_phone_number_exist",
         [](int *e) { return contact_is_fdn_phone_number_exist(nullptr, nullptr, e); }, kNull,
         is_null("contact_is_fdn_phone_number_exist", "sznumber")},
        {"contact_is_fdn_phone_number_exist",
         [](int *e) { return contact_is_fdn_phone_number_exist("1", nullptr, e); }, kNull,
         is_null("contact_is_fdn_phone_number_exist", "is_exist")},
        {"contact_get_my_contact", [](int *e) { return contact_get_my_contact(nullptr, e); }, kNull,
         is_null("contact_get_my_contact", "my_contact")},
        {"contact_insert_my_contact", [](int *e) { return contact_insert_my_contact(nullptr, e); }, kNull,
         is_null("contact_insert_my_contact", "my_contact")},
        {"contact_update_my_contact", [](int *e) { return contact_update_my_contact(nullptr, e); }, kNull,
         is_null("contact_update_my_contact", "my_contact")},
    });
}

// Connected, with no service behind the name: the pointer tests must stop
// the operation before it calls, or the code would be the bus's 0.
class NullArgumentTest : public ChecksTest {
protected:
    void SetUp() override
    {
        ChecksTest::SetUp();
        ASSERT_EQ(contact_initialize(nullptr), 1);
    }
    void TearDown() override { contact_finalize(nullptr); }
};

// The status queries share one helper: its connection message is logged from
// the helper's one line, each failure message from its operation's own call,
// and the logged text carries the same line as the entry.
TEST_F(ChecksTest, StatusQueriesLogEachMessageFromItsOwnLine)
{
    const std::vector<Operation> queries = {
        {"contact_set_lbs_position", [](int *e) { return contact_set_lbs_position(e); }, ""},
        {"contact_is_contact_track_me_stop", [](int *e) { return contact_is_contact_track_me_stop(e); }, ""},
        {"contact_is_contact_track_me_init", [](int *e) { return contact_is_contact_track_me_init(e); }, ""},
    };
    auto logged_line = [](const Operation &query, bool connect) {
        if (connect)
            contact_initialize(nullptr);
        LogCapture log;
        int error_code = -1;
        EXPECT_EQ(query.call(&error_code), 0);
        if (connect)
            contact_finalize(nullptr);
        EXPECT_EQ(log.errors().size(), 1u);
        if (log.errors().size() != 1)
            return -1;
        const LogEntry entry = log.errors()[0];
        EXPECT_EQ(entry.text.rfind("\n[DodazorEdidud]" + std::string(query.name) + " " + std::to_string(entry.line) +
                                       ": ",
                                   0),
                  0u)
            << entry.text;
        return entry.line;
    };
    std::vector<int> connection_lines;
    std::vector<int> failure_lines;
    for (const Operation &query : queries) {
        SCOPED_TRACE(query.name);
        connection_lines.push_back(logged_line(query, false)); // no connection
        failure_lines.push_back(logged_line(query, true));     // no service behind the name
        EXPECT_NE(connection_lines.back(), failure_lines.back()) << "two log calls, two lines";
    }
    EXPECT_EQ(connection_lines[0], connection_lines[1]) << "one helper logs the connection message";
    EXPECT_EQ(connection_lines[0], connection_lines[2]) << "one helper logs the connection message";
    EXPECT_NE(failure_lines[0], failure_lines[1]) << "each operation's own call";
    EXPECT_NE(failure_lines[1], failure_lines[2]) << "each operation's own call";
    EXPECT_NE(failure_lines[0], failure_lines[2]) << "each operation's own call";
}

TEST_F(NullArgumentTest, NoServiceBehindTheNameGivesCodeZero)
{
    LogCapture log;
    int count = 5;
    int error_code = -1;
    EXPECT_EQ(contact_get_contact_count(0, &count, &error_code), 0);
    EXPECT_EQ(error_code, 0) << "the bus's own error text has no number";
    EXPECT_EQ(count, 5);
    ASSERT_EQ(log.errors().size(), 1u);
    EXPECT_EQ(log.errors()[0].format, "\n[DodazorEdidud]%s %d: contact_get_contact_count: "
                                      "org_yora_contact_contact_get_contact_count() failed(%s).\n");
    bool opened = false;
    EXPECT_EQ(contact_is_database_opened(&opened, &error_code), 1);
    EXPECT_TRUE(opened) << "a failed call never closes the connection";
}

TEST_F(NullArgumentTest, FailureMessagesWithoutTheErrorText)
{
    struct Case {
        Call call;
        const char *format;
    };
    const Case cases[] = {
        {[](int *e) { return contact_get_field_value(0, 1, 0, g_text, e); },
         "\n[DodazorEdidud]%s %d: org_yora_contact_contact_get_field_value() failed().\n"},
        {[](int *e) { return contact_change_field_value(0, 1, 0, "v", e); },
         "\n[DodazorEdidud]%s %d: org_yora_contact_contact_change_field_value() failed().\n"},
        {[](int *e) { return contact_increase_frequency(0, 1, e); },
         "\n[DodazorEdidud]%s %d: contact_increase_frequency: org_yora_contact_contact_increase_frequency() failed().\n"},
        {[](int *e) { return contact_decrease_frequency(0, 1, e); },
         "\n[DodazorEdidud]%s %d: contact_decrease_frequency: org_yora_contact_contact_decrease_frequency() failed().\n"},
    };
    for (const Case &c : cases)
        EXPECT_TRUE(fails_with(c.call, 0, c.format)) << "the bus's own error text has no number";
}

} // namespace
} // namespace contact_test
