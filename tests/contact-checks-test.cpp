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

} // namespace
} // namespace contact_test
