// The settings over the real service: defaults, valid and refused values, a
// restart, the own number's limits, the temporary connection, failures and
// NULL arguments once the service is gone.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "core/contact-engine-errors.h"
#include "contact-engine.h"
#include "test-support.h"

namespace contact_test {
namespace {

using namespace contact_engine; // the service's codes by name

bool opened()
{
    bool state = false;
    int error_code = -1;
    EXPECT_EQ(contact_is_database_opened(&state, &error_code), 1);
    return state;
}

// ---- the int settings, as a table --------------------------------------------

struct IntSetting {
    const char *name;
    int (*get)(int *, int *);
    int (*set)(int, int *);
    int fallback;             // on a fresh database
    std::vector<int> valid;   // every value the service accepts
    std::vector<int> invalid; // a few that it refuses
    std::string get_failed;   // the getter's failed-call message
    std::string set_failed;   // the setter's
};

std::string failed(const std::string &middle)
{
    return "\n[DodazorEdidud]%s %d: " + middle + "() failed().\n";
}
// "<function>: org_yora_contact_<method>() failed()."
std::string failed(const std::string &function, const std::string &method)
{
    return failed(function + ": org_yora_contact_" + method);
}

// clang-format off
const std::vector<IntSetting> &int_settings()
{
    const auto same = [](const char *function) { return failed(function, function); };
    static const std::vector<IntSetting> settings{
        {"sync status", contact_get_contact_module_sync_status, contact_set_contact_module_sync_status,
         CONTACT_SYNC_STATUS_OFF, {CONTACT_SYNC_STATUS_OFF, CONTACT_SYNC_STATUS_IDLE, CONTACT_SYNC_STATUS_RUNNING},
         {-1, 3, INT_MIN, INT_MAX}, failed("contact_get_contact_module_sync_status", "get_contact_module_sync_status"),
         failed("contact_set_contact_module_sync_status", "set_contact_module_sync_status")},
        {"view storage preference", contact_get_view_storage_preference, contact_set_view_storage_preference,
         CONTACT_VIEW_STORAGE_ALL,
         {CONTACT_STORAGE_PHONE, CONTACT_STORAGE_SIM, CONTACT_STORAGE_SIM2, CONTACT_VIEW_STORAGE_ALL},
         {-1, CONTACT_STORAGE_FDN, CONTACT_STORAGE_SDN, CONTACT_STORAGE_MY_CONTACT, CONTACT_STORAGE_PHONE_ALIAS, 7, 9},
         same("contact_get_view_storage_preference"), same("contact_set_view_storage_preference")},
        {"storage preference", contact_get_storage_preference, contact_set_storage_preference, CONTACT_STORAGE_PHONE,
         {CONTACT_STORAGE_PHONE, CONTACT_STORAGE_SIM, CONTACT_STORAGE_SIM2},
         {-1, CONTACT_STORAGE_FDN, CONTACT_STORAGE_MY_CONTACT, CONTACT_STORAGE_PHONE_ALIAS, CONTACT_VIEW_STORAGE_ALL},
         same("contact_get_storage_preference"), same("contact_set_storage_preference")},
        {"activated MSISDN index", contact_get_current_activated_msisdn_index,
         contact_set_current_activated_msisdn_index, 0, {0, 1, 2, CONTACT_MSISDN_COUNT_MAX - 1},
         {-1, CONTACT_MSISDN_COUNT_MAX, 100},
         failed("org_yora_contact_contact_get_current_activated_msisdn_index"),
         same("contact_set_current_activated_msisdn_index")},
        {"copy flag", contact_get_copy_flag_for_sim_change, contact_set_copy_flag_for_sim_change,
         CONTACT_SIM_CHANGE_KEEP, {CONTACT_SIM_CHANGE_KEEP, CONTACT_SIM_CHANGE_COPY}, {-1, 2},
         same("contact_get_copy_flag"), same("contact_set_copy_flag")},
        {"sort type", contact_get_sort_type, contact_set_sort_type, CONTACT_SORT_BY_FIRST_NAME,
         {CONTACT_SORT_BY_FIRST_NAME, CONTACT_SORT_BY_LAST_NAME}, {-1, 2}, same("contact_get_sort_type"),
         same("contact_set_sort_type")},
        {"display order", contact_get_display_order, contact_set_display_order, CONTACT_DISPLAY_FIRST_NAME_FIRST,
         {CONTACT_DISPLAY_FIRST_NAME_FIRST, CONTACT_DISPLAY_LAST_NAME_FIRST}, {-1, 2},
         same("contact_get_display_order"), same("contact_set_display_order")},
    };
    return settings;
}
// clang-format on

const std::string kGetOwnNumberFailed = failed("org_yora_contact_contact_get_own_number");
const std::string kSetOwnNumberFailed = failed("org_yora_contact_contact_contact_set_own_number");

int read(const IntSetting &setting)
{
    int value = INT_MIN + 7;
    int error_code = -1;
    EXPECT_EQ(setting.get(&value, &error_code), 1) << setting.name << ", code " << error_code;
    EXPECT_EQ(error_code, -1) << setting.name << ": a successful getter leaves error_code alone";
    return value;
}

void write(const IntSetting &setting, int value)
{
    int error_code = -1;
    EXPECT_EQ(setting.set(value, &error_code), 1) << setting.name << " = " << value << ", code " << error_code;
    EXPECT_EQ(error_code, -1) << setting.name << ": a successful setter leaves error_code alone";
}

// Buffers of the own number with room behind them, to see what is written.
struct OwnNumber {
    OwnNumber() { clear(); }
    void clear()
    {
        std::memset(name, 'x', sizeof name);
        std::memset(number, 'y', sizeof number);
    }
    int get(int *error_code) { return contact_get_own_number(name, number, error_code); }
    char name[CONTACT_OWN_NAME_MAX + 1 + 16];
    char number[CONTACT_OWN_NUMBER_MAX + 1 + 16];
};

// ---- with the real service -----------------------------------------------------

using SettingsTest = ServiceTest;

// Each setting: its default on a fresh database, every valid value stored and
// read back, values outside it refused without a change; the own number up to
// its limits and refused beyond; the last values kept across a restart.
// Without contact_initialize each call, failed or not, opens a connection for
// itself and closes it again; with the one contact_initialize opened, a call
// uses it and leaves it open, and never changes its count.
TEST_F(SettingsTest, DefaultsValidAndRefusedValuesARestartTheTemporaryConnectionAndFailures)
{
    for (const IntSetting &setting : int_settings()) {
        SCOPED_TRACE(setting.name);
        EXPECT_EQ(read(setting), setting.fallback);
        // Backwards, so the last value stored differs from the default.
        for (auto value = setting.valid.rbegin(); value != setting.valid.rend(); ++value) {
            write(setting, *value);
            EXPECT_EQ(read(setting), *value);
        }
        write(setting, setting.valid.back());
        for (int value : setting.invalid) {
            EXPECT_TRUE(
                fails_with([&](int *e) { return setting.set(value, e); }, kInvalidSettingValue, setting.set_failed))
                << value;
            EXPECT_EQ(read(setting), setting.valid.back());
        }
    }
    OwnNumber own;
    int error_code = -1;
    ASSERT_EQ(own.get(&error_code), 1);
    EXPECT_EQ(std::string(own.name) + "/" + own.number, "/");
    // 64 bytes of name (32 two-byte characters) and 40 characters of number.
    const std::string name = "éééééééééééééééééééééééééééééééé", number = "+" + std::string(36, '7') + "*#p";
    ASSERT_EQ(contact_set_own_number(name.c_str(), number.c_str(), &error_code), 1) << error_code;
    ASSERT_EQ(own.get(&error_code), 1);
    EXPECT_EQ(std::string(own.name) + "/" + own.number, name + "/" + number);
    ASSERT_EQ(contact_set_own_number("", "", &error_code), 1);
    ASSERT_EQ(own.get(&error_code), 1);
    EXPECT_EQ(std::string(own.name) + "/" + own.number, "/") << "empty clears both";

    ASSERT_EQ(contact_set_own_number("Anna", "0301234", &error_code), 1);
    const struct {
        std::string name, number;
        int code;
    } refused[] = {
        {std::string(CONTACT_OWN_NAME_MAX + 1, 'n'), "1", kValueTooLong},
        {"Anna", std::string(CONTACT_OWN_NUMBER_MAX + 1, '5'), kValueTooLong},
        {"Anna", "030 1234", kInvalidSettingValue}, {"Anna", "12a4", kInvalidSettingValue},
        {"Anna", "1+2", kInvalidSettingValue},      {"Anna", "0301234\n", kInvalidSettingValue},
        {"An\nna", "1", kInvalidSettingValue}, // a reader shows the name: no control characters
    };
    for (const auto &r : refused)
        EXPECT_TRUE(
            fails_with(with(contact_set_own_number, r.name.c_str(), r.number.c_str()), r.code, kSetOwnNumberFailed))
            << r.name << " " << r.number;

    restart_service();
    contact_finalize(nullptr);
    LogCapture log;
    for (const IntSetting &setting : int_settings()) {
        EXPECT_EQ(read(setting), setting.valid.back()) << setting.name;
        write(setting, setting.valid.front());
    }
    EXPECT_FALSE(opened()) << "each call closes the connection it opened";
    // What is copied: the string and its NUL, nothing more.
    own.clear();
    ASSERT_EQ(own.get(&error_code), 1);
    EXPECT_FALSE(opened());
    EXPECT_EQ(std::string(own.name, 6) + std::string(own.number, 9), std::string("Anna\0x0301234\0y", 15))
        << "a refused own number changes nothing";
    EXPECT_TRUE(fails_with(with(contact_set_own_number, "x", "abc"), kInvalidSettingValue, kSetOwnNumberFailed));
    EXPECT_FALSE(opened()) << "a failed call closes it too";

    // With the service gone every getter fails at the bus (code 0) with its own
    // message, leaving the caller's variables as they were (the setters' are above).
    ASSERT_EQ(service_.stop(), 0);
    for (const IntSetting &setting : int_settings()) {
        int value = 1234;
        EXPECT_TRUE(fails_with([&](int *e) { return setting.get(&value, e); }, 0, setting.get_failed)) << setting.name;
        EXPECT_EQ(value, 1234);
    }
    own.clear();
    EXPECT_TRUE(fails_with([&](int *e) { return own.get(e); }, 0, kGetOwnNumberFailed));
    EXPECT_EQ(std::string(own.name, sizeof own.name) + std::string(own.number, sizeof own.number),
              std::string(sizeof own.name, 'x') + std::string(sizeof own.number, 'y'));
    EXPECT_FALSE(opened());
    // A NULL argument is refused before anything is sent (its own message, not
    // the failed call's; the name before the number); the connection stays as it was, open or not.
    const std::string null_number = "\n[DodazorEdidud]%s %d:  The phone_number is NULL.\n";
    EXPECT_TRUE(fails_with(with(contact_get_own_number, nullptr, nullptr), CONTACT_ERROR_NULL_ARGUMENT,
                           "\n[DodazorEdidud]%s %d:  The name is NULL.\n"));
    EXPECT_FALSE(opened());
    EXPECT_EQ(contact_initialize(nullptr), 1);
    EXPECT_TRUE(fails_with(with(contact_get_own_number, own.name, nullptr), CONTACT_ERROR_NULL_ARGUMENT, null_number));
    EXPECT_TRUE(opened());
    EXPECT_EQ(contact_set_sort_type(1, &error_code), 0);
    EXPECT_TRUE(opened()) << "a failed call leaves the open connection open";
    service_.start();
    write(int_settings().back(), CONTACT_DISPLAY_LAST_NAME_FIRST);
    EXPECT_TRUE(opened());
    EXPECT_TRUE(log.traces().empty()) << "no settings call counts a user";
    EXPECT_EQ(contact_finalize(nullptr), 1);
    EXPECT_FALSE(opened()) << "one contact_finalize matches the one contact_initialize";
    EXPECT_EQ(contact_initialize(nullptr), 1); // for TearDown
}

} // namespace
} // namespace contact_test
