// Change-notification signals over the private bus, received by another
// connection and read through the library's converters: what a change of each
// family sends, that refused and rolled-back changes send nothing (a card
// write that fails reports a SIM error), that many rows changed at once fold
// into few signals, and that `contact-engine-tool watch` prints them.
#include <gio/gio.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sdbus-c++/sdbus-c++.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/client-watch.h"
#include "contacts/contact-store.h"
#include "contact-engine-bus.h"
#include "core/contact-engine-errors.h"
#include "contact-engine-signals.h"
#include "contact-engine.h"
#include "core/database.h"
#include "core/method-registry.h"
#include "core/service-limits.h"
#include "core/service-error.h"
#include "core/service-options.h"
#include "sample-contact.h"
#include "sim/sim-card.h"
#include "sim/sim-store.h"
#include "test-support.h"
#include "core/workers.h"

namespace contact_engine {
RegisterFamily register_notification_signals;
}

namespace contact_test {
namespace {

using namespace std::chrono_literals;
using contact_signals::Signal;
using namespace contact_engine; // the service's codes, by name

struct Received {
    std::string name;
    std::vector<int> args;
    bool operator==(const Received &) const = default;
};

void PrintTo(const Received &received, std::ostream *out)
{
    *out << received.name << ::testing::PrintToString(received.args);
}

Received expected(Signal signal, std::vector<int> args)
{
    return {contact_signals::describe(signal).name, std::move(args)};
}
// Every signal of the service's interface as another client receives it:
// GDBus on a connection and a main context of its own, subscribed once the
// constructor returns.
class SignalRecorder {
public:
    SignalRecorder() : context_(g_main_context_new())
    {
        g_main_context_push_thread_default(context_);
        connection_ = g_dbus_connection_new_for_address_sync(
            bus().address().c_str(),
            GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, nullptr);
        if (connection_ == nullptr) {
            g_main_context_pop_thread_default(context_);
            throw std::runtime_error("cannot connect to the private bus");
        }
        subscription_ = g_dbus_connection_signal_subscribe(connection_, CONTACT_ENGINE_BUS_NAME, CONTACT_ENGINE_INTERFACE,
                                                           nullptr, CONTACT_ENGINE_OBJECT_PATH, nullptr,
                                                           G_DBUS_SIGNAL_FLAGS_NONE, on_signal, this, nullptr);
        // The bus handles our messages in order: once this reply is here, the match rule is in place.
        if (GVariant *id = g_dbus_connection_call_sync(connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                       "org.freedesktop.DBus", "GetId", nullptr, nullptr,
                                                       G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr))
            g_variant_unref(id);
        g_main_context_pop_thread_default(context_);
    }
    ~SignalRecorder()
    {
        g_dbus_connection_signal_unsubscribe(connection_, subscription_);
        g_dbus_connection_close_sync(connection_, nullptr, nullptr);
        g_object_unref(connection_);
        while (g_main_context_iteration(context_, FALSE)) {
        }
        g_main_context_unref(context_);
    }
    SignalRecorder(const SignalRecorder &) = delete;
    SignalRecorder &operator=(const SignalRecorder &) = delete;

    // Dispatches what arrives until `marker` has (120 s at most); returns all received, the marker last.
    std::vector<Received> until(const Received &marker)
    {
        const auto deadline = std::chrono::steady_clock::now() + 120s;
        while (std::find(received_.begin(), received_.end(), marker) == received_.end()) {
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "the marker signal never came";
                break;
            }
            if (!g_main_context_iteration(context_, FALSE))
                std::this_thread::sleep_for(2ms);
        }
        return received_;
    }
    void clear() { received_.clear(); }

private:
    static void on_signal(GDBusConnection *, const char *, const char *, const char *, const char *name,
                          GVariant *parameters, gpointer self)
    {
        Received received{name, {}};
        GVariantIter iter;
        g_variant_iter_init(&iter, parameters);
        while (GVariant *child = g_variant_iter_next_value(&iter)) {
            received.args.push_back(g_variant_is_of_type(child, G_VARIANT_TYPE_INT32) ? g_variant_get_int32(child) : -999999);
            g_variant_unref(child);
        }
        static_cast<SignalRecorder *>(self)->received_.push_back(std::move(received));
    }

    GMainContext *context_;
    GDBusConnection *connection_ = nullptr;
    guint subscription_ = 0;
    std::vector<Received> received_;
};

// A signal's arguments as an application hands them to a converter.
class NotiArgs {
public:
    explicit NotiArgs(const std::vector<int> &values) : array_(g_array_new(FALSE, TRUE, sizeof(noti_property)))
    {
        for (int value : values) {
            noti_property property{};
            property.type = CONTACT_NOTI_TYPE_INT;
            std::memcpy(&property.value, &value, sizeof value);
            g_array_append_val(array_, property);
        }
    }
    ~NotiArgs() { g_array_free(array_, TRUE); }
    NotiArgs(const NotiArgs &) = delete;
    NotiArgs &operator=(const NotiArgs &) = delete;
    GArray *get() { return array_; }

private:
    GArray *array_;
};

using Converter = int (*)(GArray *, int *, void *, int *);
#define CONVERTER(kind) {#kind, contact_convert_##kind##_noti_to_update_type_and_data}
const std::map<std::string, Converter> kConverters = {
    CONVERTER(new_storage_type),         CONVERTER(view_storage_type),          CONVERTER(display_order),
    CONVERTER(sort_type),                CONVERTER(activated_own_number),       CONVERTER(fdn_status_changed),
    CONVERTER(delete_some_contacts),     CONVERTER(copy_some_contacts),         CONVERTER(move_some_contacts),
    CONVERTER(delete_some_groups),       CONVERTER(delete_all_group_members),   CONVERTER(delete_some_group_members),
    CONVERTER(add_some_group_members),   CONVERTER(add_group_member),           CONVERTER(delete_group_member),
    CONVERTER(sim_error),                CONVERTER(contact_main_table_modified), CONVERTER(contact_table_modified),
    CONVERTER(group_table_modified),     CONVERTER(speed_dial_table_modified),  CONVERTER(my_contact_table_modified),
};
#undef CONVERTER

// What an application makes of a signal: the update type and the update data
// (an int, contact_update_index_t or contact_update_sim_error_t, as their ints
// in order; -1 where the converter wrote nothing).
struct Converted {
    int type = -1;
    std::array<int, 4> data{-1, -1, -1, -1};
    bool operator==(const Converted &) const = default;
};

void PrintTo(const Converted &converted, std::ostream *out)
{
    *out << "update type " << converted.type << " data " << ::testing::PrintToString(converted.data);
}

Converted update(int type, std::initializer_list<int> data)
{
    Converted converted{type, {-1, -1, -1, -1}};
    std::copy(data.begin(), data.end(), converted.data.begin());
    return converted;
}

// Passes the signal's arguments through the converter of its kind.
Converted convert(const Received &received)
{
    const contact_signals::Description *description = contact_signals::find(received.name);
    if (description == nullptr) {
        ADD_FAILURE() << "no such signal: " << received.name;
        return {};
    }
    NotiArgs args(received.args);
    Converted converted;
    int error_code = -1;
    EXPECT_EQ(kConverters.at(description->converter)(args.get(), &converted.type, converted.data.data(), &error_code), 1)
        << received.name;
    EXPECT_EQ(error_code, -1) << "a converter leaves error_code alone";
    return converted;
}

std::vector<Converted> convert_all(const std::vector<Received> &seen)
{
    std::vector<Converted> converted;
    for (const Received &received : seen)
        converted.push_back(convert(received));
    return converted;
}

contact_t named(const char *name)
{
    contact_t record{};
    std::snprintf(record.display_name, sizeof record.display_name, "%s", name);
    return record;
}

int add_contact(int storage, contact_t record)
{
    int index = -1, error_code = -1;
    EXPECT_EQ(contact_add_contact(storage, &record, &index, &error_code), 1) << "error code " << error_code;
    return index;
}

int add_contact(int storage, const char *name, const char *photo = "")
{
    contact_t record = named(name);
    std::snprintf(record.photo_path, sizeof record.photo_path, "%s", photo);
    return add_contact(storage, record);
}

group_t group_named(const char *name)
{
    group_t group{};
    std::snprintf(group.name, sizeof group.name, "%s", name);
    return group;
}

int add_group(int storage, const char *name)
{
    group_t group = group_named(name);
    int index = -1, error_code = -1;
    EXPECT_EQ(contact_add_group(storage, &group, &index, &error_code), 1) << "error code " << error_code;
    return index;
}

void set_dial(int dial, int contact_index, int position)
{
    speed_dial_t record{dial, CONTACT_STORAGE_PHONE, contact_index, position};
    int error_code = -1;
    EXPECT_EQ(contact_set_speed_dial(dial, &record, &error_code), 1) << "error code " << error_code;
}

// What arrived before a change of the test's own (a contact added to the
// phone storage), converted: once its signal is in, all before it are.
std::vector<Converted> updates_until_marker(SignalRecorder &recorder)
{
    const int index = add_contact(CONTACT_STORAGE_PHONE, "marker");
    std::vector<Received> seen = recorder.until(expected(Signal::ContactMainTable, {0, CONTACT_STORAGE_PHONE, index}));
    seen.pop_back();
    return convert_all(seen);
}

// Runs a bulk job of `kind` over `storages` (with `thumbs`, if any) to its end.
void run_bulk_job(int kind, int storages, const std::vector<int> &thumbs = {})
{
    int handle = -1, state = -1, error_code = -1;
    ASSERT_EQ(contact_bulk_operation_open(kind, storages, &handle, &error_code), 1) << "error code " << error_code;
    if (!thumbs.empty()) {
        ASSERT_EQ(contact_bulk_operation_set_thumb(handle, thumbs.data(), int(thumbs.size()), &error_code), 1);
    }
    ASSERT_EQ(contact_bulk_operation_exec(handle, &state, &error_code), 1) << "error code " << error_code;
    bulk_operation_status_t status{};
    for (int tries = 0; tries < 24000; ++tries) {
        ASSERT_EQ(contact_bulk_operation_get_info(handle, &status, &error_code), 1);
        if (status.state != CONTACT_BULK_STATE_RUNNING)
            break;
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(status.state, CONTACT_BULK_STATE_DONE) << "last error " << status.last_error;
    EXPECT_EQ(contact_bulk_operation_close(handle, &error_code), 1);
}

// The SIM storages take writes once a card's phonebook is loaded, so every
// case starts on an empty card, loaded and open.
class NotiSignalsTest : public ServiceTest {
protected:
    void SetUp() override
    {
        ServiceTest::SetUp();
        use_sim_card(kEmptySimCard);
        ready_sim_phonebook();
        // The load reads as complete before its own signals (FDN status)
        // leave.  Signals leave in commit order, so once a later change's
        // signal is in, the load's are out before a case subscribes.
        SignalRecorder settled;
        const int index = add_contact(CONTACT_STORAGE_FDN, "settled");
        int error_code = -1;
        ASSERT_EQ(contact_delete_contact(CONTACT_STORAGE_FDN, index, &error_code), 1);
        settled.until(expected(Signal::ContactMainTable, {2, CONTACT_STORAGE_FDN, index}));
    }
};

// ---- what a change sends ----------------------------------------------------------

TEST_F(NotiSignalsTest, EachContactChangeSendsItsOwnSignal)
{
    SignalRecorder recorder;
    const int first = add_contact(CONTACT_STORAGE_PHONE, "Ada");
    contact_t record = named("Ada Lovelace");
    int error_code = -1;
    ASSERT_EQ(contact_insert_contact(CONTACT_STORAGE_PHONE_ALIAS, 40, &record, &error_code), 1);
    ASSERT_EQ(contact_update_contact(CONTACT_STORAGE_PHONE, first, &record, &error_code), 1);
    ASSERT_EQ(contact_change_field_value(CONTACT_STORAGE_PHONE, first, CONTACT_FIELD_COMPANY, "Analytical", &error_code), 1);
    ASSERT_EQ(contact_increase_frequency(CONTACT_STORAGE_PHONE, first, &error_code), 1);
    ASSERT_EQ(contact_delete_contact(CONTACT_STORAGE_PHONE, 40, &error_code), 1);
    ASSERT_EQ(contact_insert_my_contact(&record, &error_code), 1);
    ASSERT_EQ(contact_update_my_contact(&record, &error_code), 1);
    ASSERT_EQ(contact_delete_my_contact(&error_code), 1);
    ASSERT_EQ(contact_delete_all_contacts(CONTACT_STORAGE_PHONE, &error_code), 1);

    const Received last = expected(Signal::ContactMainTable, {3, 0, 0});
    const std::vector<Received> seen = recorder.until(last);
    EXPECT_THAT(convert_all(seen),
                ::testing::ElementsAre(update(CONTACT_UPDATE_PHONE_ADD, {first, 0}),
                                       update(CONTACT_UPDATE_PHONE_ADD, {40, 0}), // storage 6 is 0
                                       update(CONTACT_UPDATE_PHONE_UPDATE, {first, 0}),
                                       update(CONTACT_UPDATE_CONTACT_TABLE_UPDATE, {first, 0}),
                                       update(CONTACT_UPDATE_CONTACT_TABLE_UPDATE, {first, 0}),
                                       update(CONTACT_UPDATE_PHONE_DELETE, {40, 0}),
                                       update(CONTACT_UPDATE_MY_CONTACT_ADD, {0}), update(CONTACT_UPDATE_MY_CONTACT_UPDATE, {0}),
                                       update(CONTACT_UPDATE_MY_CONTACT_DELETE, {0}),
                                       update(CONTACT_UPDATE_PHONE_DELETE_ALL, {0, 0})));
}

TEST_F(NotiSignalsTest, EverySignalIsDeclaredWithItsArgumentNames)
{
    auto connection = sdbus::createSystemBusConnection();
    auto proxy = sdbus::createProxy(*connection, CONTACT_ENGINE_BUS_NAME, CONTACT_ENGINE_OBJECT_PATH);
    std::string xml;
    proxy->callMethod("Introspect").onInterface("org.freedesktop.DBus.Introspectable").storeResultsTo(xml);
    for (const contact_signals::Description &signal : contact_signals::kSignals) {
        std::string pattern = std::string("<signal name=\"") + signal.name + "\">";
        for (std::size_t i = 0; i < signal.arity; ++i)
            pattern += std::string("\\s*<arg type=\"i\" name=\"") + signal.args[i] + "\"/>";
        EXPECT_TRUE(std::regex_search(xml, std::regex(pattern + "\\s*</signal>"))) << signal.name << " in\n" << xml;
    }
}

// Each family's changes as an application reads them, one row a case on a
// fresh service: `run` sets up, starts `recorder`, makes its changes and
// returns what the converters must read, in order.  With the contact cases
// above and the SIM ones below, every converter reads a signal of the bus.
struct Family {
    const char *name;
    std::function<std::vector<Converted>(std::optional<SignalRecorder> &recorder)> run;
};

const Family kFamilies[] = {
    {"Groups", [](std::optional<SignalRecorder> &recorder) {
         recorder.emplace();
         const int phone_group = add_group(CONTACT_GROUP_STORAGE_PHONE, "Family");
         const int sim_group = add_group(CONTACT_GROUP_STORAGE_SIM, "Work");
         group_t renamed = group_named("Relatives");
         int error_code = -1;
         EXPECT_EQ(contact_update_group(CONTACT_GROUP_STORAGE_PHONE, phone_group, &renamed, &error_code), 1);
         EXPECT_EQ(contact_delete_group(CONTACT_GROUP_STORAGE_PHONE, phone_group, &error_code), 1);
         add_group(CONTACT_GROUP_STORAGE_SIM, "Friends");
         EXPECT_EQ(contact_delete_all_groups(CONTACT_GROUP_STORAGE_SIM, &error_code), 1);
         return std::vector{update(CONTACT_UPDATE_PHONE_GROUP_ADD, {phone_group, 0}),
                            update(CONTACT_UPDATE_SIM_GROUP_ADD, {sim_group, 1}),
                            update(CONTACT_UPDATE_PHONE_GROUP_UPDATE, {phone_group, 0}),
                            update(CONTACT_UPDATE_PHONE_GROUP_DELETE, {phone_group, 0}),
                            update(CONTACT_UPDATE_SIM_GROUP_ADD, {sim_group + 1, 1}),
                            update(CONTACT_UPDATE_SIM_GROUP_DELETE_ALL, {0, 1})}; // every group: index 0
     }},
    {"Membership", [](std::optional<SignalRecorder> &recorder) {
         const int a = add_contact(CONTACT_STORAGE_SIM, "A"), b = add_contact(CONTACT_STORAGE_SIM, "B");
         const int c = add_contact(CONTACT_STORAGE_SIM, "C");
         const int group = add_group(CONTACT_GROUP_STORAGE_SIM, "Team");
         recorder.emplace();
         int error_code = -1;
         const int both[] = {b, c};
         const int S = CONTACT_GROUP_STORAGE_SIM;
         EXPECT_EQ(contact_add_group_member(S, group, a, &error_code), 1);
         EXPECT_EQ(contact_add_some_group_members(S, group, both, 2, &error_code), 1);
         EXPECT_EQ(contact_add_some_group_members(S, group, both, 2, &error_code), 1); // members already: nothing
         EXPECT_EQ(contact_delete_group_member(S, group, a, &error_code), 1);
         EXPECT_EQ(contact_delete_some_group_members(S, group, both, 2, &error_code), 1);
         EXPECT_EQ(contact_add_some_group_members(S, group, &a, 1, &error_code), 1); // one changed: one member
         EXPECT_EQ(contact_delete_all_group_members(S, group, &error_code), 1);
         EXPECT_EQ(contact_delete_all_group_members(S, group, &error_code), 1); // none left: nothing
         EXPECT_EQ(contact_add_some_group_members(S, group, both, 2, &error_code), 1);
         EXPECT_EQ(contact_delete_group(S, group, &error_code), 1); // its members go with it
         return std::vector{update(CONTACT_UPDATE_ADD_GROUP_MEMBER, {group, 1}),
                            update(CONTACT_UPDATE_ADD_SOME_GROUP_MEMBERS, {group, 1}),
                            update(CONTACT_UPDATE_DELETE_GROUP_MEMBER, {group, 1}),
                            update(CONTACT_UPDATE_DELETE_SOME_GROUP_MEMBERS, {group, 1}),
                            update(CONTACT_UPDATE_ADD_GROUP_MEMBER, {group, 1}),
                            update(CONTACT_UPDATE_DELETE_ALL_GROUP_MEMBERS, {group, 1}),
                            update(CONTACT_UPDATE_ADD_SOME_GROUP_MEMBERS, {group, 1}),
                            update(CONTACT_UPDATE_SIM_GROUP_DELETE, {group, 1})};
     }},
    // Each group's loss first, in the contact's own transaction, then the
    // contact's signal; a delete-all gives one signal per group.
    {"MembersThatGoWithTheirContact", [](std::optional<SignalRecorder> &recorder) {
         const int ada = add_contact(CONTACT_STORAGE_PHONE, "Ada"), alan = add_contact(CONTACT_STORAGE_PHONE, "Alan");
         const int grace = add_contact(CONTACT_STORAGE_PHONE, "Grace");
         const int friends = add_group(CONTACT_GROUP_STORAGE_PHONE, "Friends");
         const int work = add_group(CONTACT_GROUP_STORAGE_PHONE, "Work");
         int error_code = -1;
         const int two[] = {ada, alan}, three[] = {ada, alan, grace};
         EXPECT_EQ(contact_add_some_group_members(CONTACT_GROUP_STORAGE_PHONE, friends, two, 2, &error_code), 1);
         EXPECT_EQ(contact_add_some_group_members(CONTACT_GROUP_STORAGE_PHONE, work, three, 3, &error_code), 1);
         recorder.emplace();
         EXPECT_EQ(contact_delete_contact(CONTACT_STORAGE_PHONE, ada, &error_code), 1);
         EXPECT_EQ(contact_delete_all_contacts(CONTACT_STORAGE_PHONE, &error_code), 1);
         return std::vector{update(CONTACT_UPDATE_DELETE_GROUP_MEMBER, {friends, 0}),
                            update(CONTACT_UPDATE_DELETE_GROUP_MEMBER, {work, 0}), update(CONTACT_UPDATE_PHONE_DELETE, {ada, 0}),
                            update(CONTACT_UPDATE_DELETE_GROUP_MEMBER, {friends, 0}),
                            update(CONTACT_UPDATE_DELETE_SOME_GROUP_MEMBERS, {work, 0}),
                            update(CONTACT_UPDATE_PHONE_DELETE_ALL, {0, 0})};
     }},
    {"BulkJobsOnceAChunkPerStorage", [](std::optional<SignalRecorder> &recorder) {
         std::vector<int> phone;
         for (int i = 0; i < 120; ++i) // one chunk, far more than are ever sent row by row
             phone.push_back(add_contact(CONTACT_STORAGE_PHONE, "Bulk contact"));
         recorder.emplace();
         run_bulk_job(CONTACT_BULK_COPY, CONTACT_BULK_STORAGES(CONTACT_STORAGE_PHONE, CONTACT_STORAGE_SIM2));
         run_bulk_job(CONTACT_BULK_MOVE, CONTACT_BULK_STORAGES(CONTACT_STORAGE_SIM2, CONTACT_STORAGE_PHONE));
         run_bulk_job(CONTACT_BULK_DELETE, CONTACT_STORAGE_PHONE, phone);
         return std::vector{update(CONTACT_UPDATE_COPY_SOME_CONTACTS, {CONTACT_STORAGE_SIM2}),
                            update(CONTACT_UPDATE_MOVE_SOME_CONTACTS, {CONTACT_STORAGE_SIM2}),
                            update(CONTACT_UPDATE_MOVE_SOME_CONTACTS, {CONTACT_STORAGE_PHONE}),
                            update(CONTACT_UPDATE_DELETE_SOME_CONTACTS, {CONTACT_STORAGE_PHONE})};
     }},
    {"SettingsAsTheirNewValue", [](std::optional<SignalRecorder> &recorder) {
         recorder.emplace();
         int error_code = -1;
         EXPECT_EQ(contact_set_storage_preference(CONTACT_STORAGE_SIM, &error_code), 1);
         EXPECT_EQ(contact_set_view_storage_preference(CONTACT_STORAGE_PHONE, &error_code), 1);
         EXPECT_EQ(contact_set_display_order(CONTACT_DISPLAY_LAST_NAME_FIRST, &error_code), 1);
         EXPECT_EQ(contact_set_sort_type(CONTACT_SORT_BY_LAST_NAME, &error_code), 1);
         EXPECT_EQ(contact_set_current_activated_msisdn_index(2, &error_code), 1);
         EXPECT_EQ(contact_set_sort_type(CONTACT_SORT_BY_LAST_NAME, &error_code), 1); // no change
         // Settings no converter reads.
         EXPECT_EQ(contact_set_contact_module_sync_status(CONTACT_SYNC_STATUS_RUNNING, &error_code), 1);
         EXPECT_EQ(contact_set_copy_flag_for_sim_change(CONTACT_SIM_CHANGE_COPY, &error_code), 1);
         EXPECT_EQ(contact_set_own_number("Me", "+4479460001", &error_code), 1);
         return std::vector{update(CONTACT_UPDATE_NEW_STORAGE_TYPE, {CONTACT_STORAGE_SIM}),
                            update(CONTACT_UPDATE_VIEW_STORAGE_TYPE, {CONTACT_STORAGE_PHONE}),
                            update(CONTACT_UPDATE_DISPLAY_ORDER, {CONTACT_DISPLAY_LAST_NAME_FIRST}),
                            update(CONTACT_UPDATE_SORT_TYPE, {CONTACT_SORT_BY_LAST_NAME}),
                            update(CONTACT_UPDATE_ACTIVATED_OWN_NUMBER, {2})};
     }},
    {"SpeedDialsAsTheirDialNumber", [](std::optional<SignalRecorder> &recorder) {
         SampleContact ada("Ada");
         ada.phone("111").phone("222");
         const int index = add_contact(CONTACT_STORAGE_PHONE, ada.record);
         recorder.emplace();
         int error_code = -1;
         set_dial(3, index, 0);
         set_dial(3, index, 1); // replaces what dial 3 held
         set_dial(5, index, 0);
         EXPECT_EQ(contact_delete_speed_dial(3, &error_code), 1);
         set_dial(7, index, 1);
         EXPECT_EQ(contact_delete_all_speed_dials(&error_code), 1); // each cleared dial, no delete-all
         return std::vector{update(CONTACT_UPDATE_SPEED_DIAL_ADD, {3}), update(CONTACT_UPDATE_SPEED_DIAL_UPDATE, {3}),
                            update(CONTACT_UPDATE_SPEED_DIAL_ADD, {5}), update(CONTACT_UPDATE_SPEED_DIAL_DELETE, {3}),
                            update(CONTACT_UPDATE_SPEED_DIAL_ADD, {7}), update(CONTACT_UPDATE_SPEED_DIAL_DELETE, {5}),
                            update(CONTACT_UPDATE_SPEED_DIAL_DELETE, {7})};
     }},
    {"DialsClearedByAChangeToTheirContact", [](std::optional<SignalRecorder> &recorder) {
         SampleContact ada("Ada"), bob("Bob"), ada_without_222("Ada");
         ada.phone("111").phone("222");
         bob.phone("333");
         ada_without_222.phone("111");
         const int a = add_contact(CONTACT_STORAGE_PHONE, ada.record), b = add_contact(CONTACT_STORAGE_PHONE, bob.record);
         set_dial(2, a, 1);
         set_dial(4, b, 0);
         set_dial(6, a, 0);
         recorder.emplace();
         int error_code = -1;
         EXPECT_EQ(contact_update_contact(CONTACT_STORAGE_PHONE, a, &ada_without_222.record, &error_code), 1);
         EXPECT_EQ(contact_delete_contact(CONTACT_STORAGE_PHONE, b, &error_code), 1);
         EXPECT_EQ(contact_delete_all_contacts(CONTACT_STORAGE_PHONE, &error_code), 1);
         return std::vector{update(CONTACT_UPDATE_SPEED_DIAL_DELETE, {2}), // its number went
                            update(CONTACT_UPDATE_PHONE_UPDATE, {a, 0}),
                            update(CONTACT_UPDATE_SPEED_DIAL_DELETE, {4}), // its contact went
                            update(CONTACT_UPDATE_PHONE_DELETE, {b, 0}), update(CONTACT_UPDATE_SPEED_DIAL_DELETE, {6}),
                            update(CONTACT_UPDATE_PHONE_DELETE_ALL, {0, 0})};
     }},
    {"WritesIntoSimStorages", [](std::optional<SignalRecorder> &recorder) {
         recorder.emplace();
         const int sim = add_contact(CONTACT_STORAGE_SIM, "Ada"), fdn = add_contact(CONTACT_STORAGE_FDN, "Home");
         contact_t renamed = named("Ada L");
         int error_code = -1;
         EXPECT_EQ(contact_update_contact(CONTACT_STORAGE_SIM, sim, &renamed, &error_code), 1);
         EXPECT_EQ(contact_delete_contact(CONTACT_STORAGE_FDN, fdn, &error_code), 1);
         EXPECT_EQ(contact_delete_all_contacts(CONTACT_STORAGE_SIM, &error_code), 1);
         return std::vector{update(CONTACT_UPDATE_SIM_ADD, {sim, 1}), update(CONTACT_UPDATE_FDN_ADD, {fdn, 3}),
                            update(CONTACT_UPDATE_SIM_UPDATE, {sim, 1}), update(CONTACT_UPDATE_FDN_DELETE, {fdn, 3}),
                            update(CONTACT_UPDATE_SIM_DELETE_ALL, {0, 1})};
     }},
};

void PrintTo(const Family &family, std::ostream *out)
{
    *out << family.name;
}

class FamilyChange : public NotiSignalsTest, public ::testing::WithParamInterface<Family> {};

TEST_P(FamilyChange, ArrivesAsItsConverterReadsIt)
{
    std::optional<SignalRecorder> recorder;
    const std::vector<Converted> expected_updates = GetParam().run(recorder);
    ASSERT_TRUE(recorder.has_value());
    EXPECT_EQ(updates_until_marker(*recorder), expected_updates);
}

INSTANTIATE_TEST_SUITE_P(Families, FamilyChange, ::testing::ValuesIn(kFamilies),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(NotiSignalsTest, LoadingTheCardAnnouncesEachBookOnceAndTheFdnStatus)
{
    use_sim_card(R"({"iccid": "8944000000000000077",
        "adn": [{"index": 1, "name": "Ada", "number": "+447700900001"}, {"index": 4, "name": "Bob", "number": "020794"}],
        "fdn": [{"index": 2, "name": "Emergency", "number": "112"}], "sdn": [{"index": 1, "name": "Op", "number": "150"}]})");
    SignalRecorder recorder;
    const Received fdn_available = expected(Signal::FdnStatusChanged, {contact_signals::kFdnAvailable});
    ready_sim_phonebook();
    // Copied into each storage, then the FDN book in force: one signal per book.
    const std::vector<Converted> loaded{update(CONTACT_UPDATE_COPY_SOME_CONTACTS, {CONTACT_STORAGE_SIM}),
                                        update(CONTACT_UPDATE_COPY_SOME_CONTACTS, {CONTACT_STORAGE_FDN}),
                                        update(CONTACT_UPDATE_COPY_SOME_CONTACTS, {CONTACT_STORAGE_SDN}),
                                        update(CONTACT_UPDATE_FDN_STATUS_CHANGED, {1})};
    EXPECT_EQ(convert_all(recorder.until(fdn_available)), loaded);

    // Loading again empties the storages first, the FDN book out of force meanwhile.
    recorder.clear();
    ready_sim_phonebook();
    std::vector<Converted> reloaded{update(CONTACT_UPDATE_SIM_DELETE_ALL, {0, CONTACT_STORAGE_SIM}),
                                    update(CONTACT_UPDATE_FDN_DELETE_ALL, {0, CONTACT_STORAGE_FDN}),
                                    update(CONTACT_UPDATE_SDN_DELETE_ALL, {0, CONTACT_STORAGE_SDN}),
                                    update(CONTACT_UPDATE_FDN_STATUS_CHANGED, {0})};
    reloaded.insert(reloaded.end(), loaded.begin(), loaded.end());
    EXPECT_EQ(convert_all(recorder.until(fdn_available)), reloaded);
}

TEST_F(NotiSignalsTest, ACardWriteThatFailsIsReportedToEveryClientAsASimError)
{
    // The card file's replacement cannot be made where a directory stands.
    const std::string card = dir_.path() + "/sim-card.json";
    std::filesystem::create_directory(card + ".new");
    SignalRecorder recorder;
    contact_t blocked = named("Blocked");
    EXPECT_EQ(failure_code([&](int *e) { int i; return contact_add_contact(CONTACT_STORAGE_SIM, &blocked, &i, e); }),
              kSimCardWriteFailed);
    // The SIM error, and no row: nothing was stored.
    EXPECT_THAT(updates_until_marker(recorder),
                ::testing::ElementsAre(update(CONTACT_UPDATE_SIM_ERROR, {1, CONTACT_STORAGE_SIM, contact_signals::kSimWrite,
                                                                         kSimCardWriteFailed})));
    std::filesystem::remove(card + ".new");
}

// ---- what sends nothing, and many rows at once ---------------------------------------------

// One refusal of each family, and calls that change nothing.
TEST_F(NotiSignalsTest, RefusedCallsOfEveryFamilySendNothing)
{
    const int member = add_contact(CONTACT_STORAGE_PHONE, "Member"), other = add_contact(CONTACT_STORAGE_PHONE, "Other");
    const int group = add_group(CONTACT_GROUP_STORAGE_PHONE, "Family");
    int error_code = -1;
    ASSERT_EQ(contact_add_group_member(CONTACT_GROUP_STORAGE_PHONE, group, member, &error_code), 1);
    SignalRecorder recorder;
    contact_t record = named("Grace"), bad = named("Bad birthday"), too_long = named("A name far longer than the card holds");
    std::snprintf(bad.birthday, sizeof bad.birthday, "1815-02-30");
    group_t same_name = group_named("FAMILY");
    const int with_stranger[] = {other, 777};
    speed_dial_t dial{1, CONTACT_STORAGE_PHONE, other, 0}; // Other has no number
    EXPECT_EQ(failure_code([&](int *e) { return contact_delete_contact(CONTACT_STORAGE_PHONE, 77, e); }), kNoContact);
    EXPECT_EQ(failure_code([&](int *e) { return contact_update_contact(0, member, &bad, e); }), kInvalidArgument);
    EXPECT_EQ(failure_code([&](int *e) { return contact_update_my_contact(&record, e); }), kNoMyContact);
    EXPECT_EQ(failure_code([&](int *e) { int i; return contact_add_group(0, &same_name, &i, e); }), kGroupNameInUse);
    EXPECT_EQ(failure_code([&](int *e) { return contact_add_some_group_members(0, group, with_stranger, 2, e); }),
              kNoContact);
    EXPECT_EQ(failure_code([&](int *e) { return contact_set_sort_type(5, e); }), kInvalidSettingValue);
    EXPECT_EQ(failure_code([&](int *e) { return contact_set_speed_dial(1, &dial, e); }), kNoPhoneNumber);
    EXPECT_EQ(failure_code([&](int *e) { int i; return contact_add_contact(1, &too_long, &i, e); }), kSimTooLong);
    ASSERT_EQ(contact_delete_all_contacts(CONTACT_STORAGE_SIM, &error_code), 1);                     // nothing to delete
    ASSERT_EQ(contact_add_group_member(CONTACT_GROUP_STORAGE_PHONE, group, member, &error_code), 1); // a member already
    ASSERT_EQ(contact_delete_all_groups(CONTACT_GROUP_STORAGE_SIM, &error_code), 1);                // none there
    ASSERT_EQ(contact_set_display_order(CONTACT_DISPLAY_FIRST_NAME_FIRST, &error_code), 1);          // its default
    ASSERT_EQ(contact_delete_all_speed_dials(&error_code), 1);                                      // none set
    EXPECT_THAT(updates_until_marker(recorder), ::testing::IsEmpty());
}

TEST_F(NotiSignalsTest, ManyRowsChangedByOneCallGiveOneSignal)
{
    constexpr int kContacts = 40; // more than are ever sent row by row
    for (int i = 0; i < kContacts; ++i)
        add_contact(CONTACT_STORAGE_PHONE, "Phone contact", "/media/expired.jpg");
    SignalRecorder recorder;
    int error_code = -1;
    // One call changes every row: a licence ran out, then all are deleted.
    ASSERT_EQ(contact_drm_expired(1, "/media/expired.jpg", &error_code), 1);
    EXPECT_EQ(error_code, kContacts);
    ASSERT_EQ(contact_delete_all_contacts(CONTACT_STORAGE_PHONE, &error_code), 1);
    EXPECT_THAT(updates_until_marker(recorder), ::testing::ElementsAre(update(CONTACT_UPDATE_CONTACT_TABLE_UPDATE, {0, 0}),
                                                                       update(CONTACT_UPDATE_PHONE_DELETE_ALL, {0, 0})));
}

// ---- the emitter, in this process ---------------------------------------------------------

// The service's database and emitter on the service's name, as the service
// sets them up, without the methods.
class InProcessEmitter : public ::testing::Test {
protected:
    void SetUp() override
    {
        (void)bus();
        connection_ = sdbus::createSystemBusConnection(CONTACT_ENGINE_BUS_NAME);
        clients_ = std::make_unique<contact_engine::ClientWatch>(*connection_);
        object_ = sdbus::createObject(*connection_, CONTACT_ENGINE_OBJECT_PATH);
        registry_ = std::make_unique<contact_engine::MethodRegistry>(*object_, *clients_, 1);
        contact_engine::register_notification_signals(*registry_, db_, options_);
        object_->finishRegistration();
    }
    void TearDown() override
    {
        registry_.reset();
        object_.reset();
        clients_.reset();
        connection_.reset();
    }
    // One committed change that announces `index` of the SDN storage.
    Received marker(int index)
    {
        db_.change([&] { db_.notify(Signal::ContactMainTable, {contact_signals::kAdd, 4, index}); });
        return expected(Signal::ContactMainTable, {0, 4, index});
    }

    TempDir dir_;
    contact_engine::Database db_{dir_.path() + "/probe.db"};
    contact_engine::ServiceOptions options_;
    std::unique_ptr<sdbus::IConnection> connection_;
    std::unique_ptr<contact_engine::ClientWatch> clients_;
    std::unique_ptr<sdbus::IObject> object_;
    std::unique_ptr<contact_engine::MethodRegistry> registry_;
};

// Signals leave after their commit, in order, a nested change's with its
// outer one; a change that rolls back sends none, but what it reported (a
// SIM error) goes out all the same.
TEST_F(InProcessEmitter, SignalsLeaveAfterTheCommitInOrderAndRolledBackOnesNever)
{
    SignalRecorder recorder;
    using namespace contact_signals;
    EXPECT_THROW(db_.change([&] {
        db_.sql().exec("CREATE TABLE probe (x)");
        db_.change([&] { db_.notify(Signal::ContactMainTable, {kAdd, 0, 2}); });
        db_.report(Signal::SimError, {1, 5, kSimWrite, 69});
        throw std::runtime_error("the change fails after its notification");
    }),
                 std::runtime_error);
    EXPECT_ANY_THROW(db_.change([&] { // a database failure rolls back too
        db_.notify(Signal::MyContactTable, {kAdd, 0});
        db_.sql().exec("INSERT INTO no_such_table VALUES (1)");
    }));
    db_.change([&] {
        db_.notify(Signal::SortType, {2});
        db_.report(Signal::SimError, {3, 2, kSimWrite, 69});
        db_.change([&] { db_.notify(Signal::GroupTable, {kUpdate, 1, 3}); });
    });
    db_.report(Signal::SimError, {0, 0, kSimRead, 23}); // outside any change
    const Received last = marker(1);
    EXPECT_THAT(recorder.until(last),
                ::testing::ElementsAre(expected(Signal::SimError, {1, 5, kSimWrite, 69}), expected(Signal::SortType, {2}),
                                       expected(Signal::GroupTable, {1, 1, 3}), // a change's own signals, then its reports
                                       expected(Signal::SimError, {3, 2, kSimWrite, 69}),
                                       expected(Signal::SimError, {0, 0, kSimRead, 23}), last));
    EXPECT_THROW(db_.notify(Signal::SortType, {1}), std::logic_error) << "outside change()";
    EXPECT_THROW(db_.change([&] { db_.notify(Signal::SortType, {1, 2}); }), std::logic_error) << "wrong arity";
    EXPECT_THROW(db_.read([&] { db_.report(Signal::SimError, {0, 0, 0, 0}); }), std::logic_error);
}

// Up to the limit, rows of a kind in one transaction go one by one; one more
// and each kind folds into one signal (the group deletes into the only
// signal of delete_some_groups), other kinds as they came.
TEST_F(InProcessEmitter, RowsUpToTheLimitGoOneByOneAndOneMoreFoldsThem)
{
    SignalRecorder recorder;
    using namespace contact_signals;
    const int limit = int(contact_engine::limits::kNotificationsBeforeFolding);
    db_.change([&] {
        for (int index = 1; index <= limit; ++index)
            db_.notify(Signal::ContactMainTable, {kUpdate, 0, index});
        db_.notify(Signal::DeleteGroupMember, {1, 2});
    });
    std::vector<Received> one_by_one;
    for (int index = 1; index <= limit; ++index)
        one_by_one.push_back(expected(Signal::ContactMainTable, {kUpdate, 0, index}));
    one_by_one.push_back(expected(Signal::DeleteGroupMember, {1, 2}));
    Received last = marker(1);
    one_by_one.push_back(last);
    EXPECT_EQ(recorder.until(last), one_by_one);

    recorder.clear();
    db_.change([&] {
        for (int index = 1; index <= limit + 1; ++index) {
            db_.notify(Signal::ContactMainTable, {kDelete, 0, index});
            db_.notify(Signal::ContactMainTable, {kAdd, 1, index});
            db_.notify(Signal::ContactMainTable, {kUpdate, 2, index});
            db_.notify(Signal::GroupTable, {kDelete, 1, index});
            db_.notify(Signal::AddGroupMember, {0, 5});
        }
        db_.notify(Signal::SortType, {1});
    });
    last = marker(2);
    std::vector<Received> seen = recorder.until(last);
    EXPECT_THAT(seen, ::testing::ElementsAre(expected(Signal::DeleteSomeContacts, {0}), expected(Signal::CopySomeContacts, {1}),
                                             expected(Signal::ContactTable, {kUpdate, 2, kNoRow}),
                                             expected(Signal::DeleteSomeGroups, {1}),
                                             expected(Signal::AddSomeGroupMembers, {0, 5}), expected(Signal::SortType, {1}),
                                             last));
    seen.pop_back();
    EXPECT_THAT(convert_all(seen), ::testing::ElementsAre(update(CONTACT_UPDATE_DELETE_SOME_CONTACTS, {0}),
                                                          update(CONTACT_UPDATE_COPY_SOME_CONTACTS, {1}),
                                                          update(CONTACT_UPDATE_CONTACT_TABLE_UPDATE, {kNoRow, 2}),
                                                          update(CONTACT_UPDATE_DELETE_SOME_GROUPS, {1}),
                                                          update(CONTACT_UPDATE_ADD_SOME_GROUP_MEMBERS, {5, 0}),
                                                          update(CONTACT_UPDATE_SORT_TYPE, {1})));
}

TEST_F(InProcessEmitter, ALoadThatFailsReportsWhereItStoppedAsASimError)
{
    SignalRecorder recorder;
    const contact_engine::SearchKeys keys("en_GB", "GB");
    contact_engine::ContactStore contacts(db_, keys);
    contacts.add_hook([](int storage, int, contact_engine::ContactChange change) { // the FDN storage fails
        if (storage == 3 && change == contact_engine::ContactChange::Stored)
            contact_engine::fail(kDatabaseError, "the disk is full");
    });
    contact_engine::Workers workers(1);
    const contact_engine::SimCard card = contact_engine::default_card();
    contact_engine::SimPhonebook sim(db_, contacts, workers, card, "", 0ms);
    sim.start_load();
    const int fdn_index = card.fdn.entries.front().index;
    const Received error = expected(Signal::SimError, {3, fdn_index, contact_signals::kSimRead, kDatabaseError});
    // The ADN entries went in, but the load did not complete: no copy, no FDN status.
    EXPECT_THAT(recorder.until(error), ::testing::ElementsAre(error));
    EXPECT_EQ(convert(error), update(CONTACT_UPDATE_SIM_ERROR, {fdn_index, 3, contact_signals::kSimRead, kDatabaseError}));
    workers.wait_idle();
    const auto [loaded, percent, code] = sim.initialized();
    EXPECT_FALSE(loaded);
    EXPECT_EQ(percent, 0);
    const Received last = marker(1);
    EXPECT_THAT(recorder.until(last), ::testing::ElementsAre(error, last));
}

// ---- the tool ------------------------------------------------------------------------

// Reads from `fd` until `text` has been seen or 120 s have passed.
std::string read_until(int fd, const std::string &text)
{
    std::string seen;
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    while (seen.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, 100) <= 0)
            continue;
        char buffer[256];
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0)
            break;
        seen.append(buffer, std::size_t(got));
    }
    return seen;
}

// `watch` in another process prints the change as its converter reads it,
// and ends cleanly on SIGTERM.
TEST_F(NotiSignalsTest, WatchPrintsTheUpdateTypeOfAChangeMadeByAnotherProcess)
{
    int out[2];
    int err[2];
    ASSERT_EQ(pipe(out), 0);
    ASSERT_EQ(pipe(err), 0);
    const pid_t watcher = fork();
    ASSERT_GE(watcher, 0);
    if (watcher == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        execl(CONTACT_ENGINE_TOOL_PATH, CONTACT_ENGINE_TOOL_PATH, "watch", nullptr);
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    EXPECT_THAT(read_until(err[0], "\n"), ::testing::HasSubstr("watching /org/yora/contact"));

    const int index = add_contact(CONTACT_STORAGE_SIM, "Watched");
    EXPECT_EQ(read_until(out[0], "\n"), "contact_main_table_noti update_type=" + std::to_string(CONTACT_UPDATE_SIM_ADD) +
                                            " index=" + std::to_string(index) + " storage_type=1\n");
    kill(watcher, SIGTERM);
    int status = 0;
    waitpid(watcher, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    close(out[0]);
    close(err[0]);
}

} // namespace
} // namespace contact_test
