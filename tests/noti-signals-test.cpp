// Change notifications: the library's 21 converters as an application calls
// them (every entry of the mapping tables, written out from the documented
// tables, the refusal of lists that do not fit), and the
// service's signals received by another connection and read through them:
// what a change of each family sends, that refused and rolled-back changes
// send nothing (a card write that fails reports a SIM error), that many rows
// fold into few signals, and that `contact-engine-tool watch` prints them.
// (Any bytes in any element size: the noti-converters fuzz harness.)
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sdbus-c++/sdbus-c++.h>
#include <signal.h>
#include <sys/wait.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "contact-engine-bus.h"
#include "contact-engine-signals.h"
#include "contact-engine.h"
#include "core/client-watch.h"
#include "core/contact-engine-errors.h"
#include "core/database.h"
#include "core/method-registry.h"
#include "core/service-limits.h"
#include "core/service-options.h"
#include "library-array.h"
#include "sample-contact.h"
#include "test-support.h"

namespace contact_engine {
RegisterFamily register_notification_signals;
}

namespace contact_test {
namespace {

using namespace std::chrono_literals;
using contact_signals::Signal;
using namespace contact_engine; // the service's codes, by name
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// ==== the converters, called directly =================================================

using ConvertFn = int (*)(GArray *, int *, void *, int *);
constexpr int kCallerErrorCode = 777; // what *error_code holds before a call

// Elements of `type` holding `values`; their other bytes a pattern the converters must not read.
std::vector<noti_property> ints(const std::vector<int> &values, int type = CONTACT_NOTI_TYPE_INT)
{
    std::vector<noti_property> elements;
    for (int value : values) {
        noti_property element;
        std::memset(&element, 0xa5, sizeof element);
        element.type = type;
        element.value.i = value;
        elements.push_back(element);
    }
    return elements;
}

enum class Shape { Int = 1, Index = 2, SimError = 4 }; // the ints of the update data
using Row = std::vector<int>;                          // update type by operation code 0..3; -1: refused

struct Kind {
    const char *function;
    ConvertFn convert;
    int elements_read;
    bool type_i_required;
    Shape data;
    int update_type;          // the simple kinds
    std::vector<Row> table{}; // the table kinds: rows by storage type, or one row for any
};

#define KIND(kind)                                                                                                     \
    "contact_convert_" #kind "_noti_to_update_type_and_data", contact_convert_##kind##_noti_to_update_type_and_data

// In the order of the signals (contact_signals::Signal): 16 simple kinds, then
// the tables, whose rows go by storage type for the main and group tables.
const std::vector<Kind> kKinds = {
    {KIND(new_storage_type), 1, true, Shape::Int, 0},           {KIND(view_storage_type), 1, true, Shape::Int, 1},
    {KIND(display_order), 1, true, Shape::Int, 2},              {KIND(sort_type), 1, true, Shape::Int, 3},
    {KIND(activated_own_number), 1, true, Shape::Int, 4},       {KIND(fdn_status_changed), 1, true, Shape::Int, 52},
    {KIND(delete_some_contacts), 1, false, Shape::Int, 44},     {KIND(copy_some_contacts), 1, false, Shape::Int, 45},
    {KIND(move_some_contacts), 1, false, Shape::Int, 46},       {KIND(delete_some_groups), 1, false, Shape::Int, 47},
    {KIND(delete_all_group_members), 2, false, Shape::Index, 39},
    {KIND(delete_some_group_members), 2, false, Shape::Index, 40},
    {KIND(add_some_group_members), 2, false, Shape::Index, 41}, {KIND(add_group_member), 2, false, Shape::Index, 42},
    {KIND(delete_group_member), 2, false, Shape::Index, 43},    {KIND(sim_error), 4, false, Shape::SimError, 38},
    {KIND(contact_main_table_modified), 3, true, Shape::Index, 0,
     {{5, 6, 7, 8}, {9, 10, 11, 12}, {13, 14, 15, 16}, {17, 18, 19, 20}, {21, 22, 23, 24}, {48, 49, 50, 50},
      {5, 6, 7, 8}, {48, 49, 50, 50}}},
    {KIND(contact_table_modified), 3, true, Shape::Index, 0, {{-1, 25, -1, -1}}},
    {KIND(group_table_modified), 3, true, Shape::Index, 0, {{26, 27, 28, 29}, {30, 31, 32, 33}}},
    {KIND(speed_dial_table_modified), 2, true, Shape::Int, 0, {{34, 35, 36, -1}}},
    {KIND(my_contact_table_modified), 2, true, Shape::Int, 0, {{48, 49, 50, -1}}},
};
#undef KIND

// One call with the caller's variables around it; the arguments in an
// allocation that ends where their last element ends (a read past it is a heap
// overflow under AddressSanitizer), the update data in a larger buffer, so
// that a write beyond the record is seen too.
struct Conversion {
    int result = -1;
    int update_type = kUntouched;
    int error_code = kCallerErrorCode;
    int data[8];
    LogCapture log;

    Conversion(const Kind &kind, const std::vector<noti_property> &elements)
    {
        std::fill(std::begin(data), std::end(data), kUntouched);
        const auto *bytes = reinterpret_cast<const std::uint8_t *>(elements.data());
        const fuzz::ExactArray args(std::vector<std::uint8_t>(bytes, bytes + elements.size() * sizeof(noti_property)),
                                    sizeof(noti_property));
        result = kind.convert(args.get(), &update_type, data, &error_code);
    }
    std::vector<int> written(Shape shape) const { return {data, data + int(shape)}; }
    std::vector<int> beyond(Shape shape) const { return {data + int(shape), std::end(data)}; }
};

// A refused call: result 0, code 3, one error line.  (That it writes nothing
// else: the noti-converters fuzz harness.)
void expect_refused(const Conversion &call)
{
    EXPECT_EQ(call.result, 0);
    EXPECT_EQ(call.error_code, CONTACT_ERROR_OUT_OF_RANGE);
    EXPECT_EQ(call.log.errors().size(), 1u);
}

// Every kind with each list it may get: a simple kind one list of values, a
// table kind every operation code and storage type in and around its table.
// The documented update type (or a refusal), each element copied into its
// field (index first in both records; a table's operation code not copied),
// nothing beyond, no error line.  A list one short is refused, so is a
// last element that is not 'i' where the kind reads 'i' only (the others
// copy the value bytes whatever the type says).
TEST(Converter, EachListGivesTheDocumentedUpdateTypeAndData)
{
    const std::vector<int> around = {INT_MIN, -1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 100, INT_MAX};
    int index = 1000; // a new one for each table call
    for (const Kind &kind : kKinds) {
        std::vector<std::vector<int>> lists;
        if (kind.table.empty())
            lists.emplace_back(std::vector<int>{-7, 0, 123456, INT_MIN}).resize(std::size_t(kind.elements_read));
        for (int operation : kind.table.empty() ? std::vector<int>{} : around)
            for (int storage : kind.elements_read == 3 ? around : std::vector<int>{0})
                lists.push_back(kind.elements_read == 3 ? std::vector{operation, storage, ++index}
                                                        : std::vector{operation, ++index});
        for (const std::vector<int> &list : lists) {
            SCOPED_TRACE(kind.function + ::testing::PrintToString(list));
            const Conversion call(kind, ints(list));
            int type = kind.update_type;
            std::vector<int> data = kind.data == Shape::Int     ? std::vector{list[0]}
                                    : kind.data == Shape::Index ? std::vector{list[1], list[0]}
                                                                : std::vector{list[1], list[0], list[2], list[3]};
            if (!kind.table.empty()) {
                const int operation = list[0], storage = kind.elements_read == 3 ? list[1] : 0;
                const unsigned row = kind.table.size() == 1 ? 0u : unsigned(storage);
                type = row < kind.table.size() && unsigned(operation) < 4u ? kind.table[row][operation] : -1;
                data = kind.data == Shape::Index ? std::vector{list.back(), storage} : std::vector{list.back()};
            }
            if (type < 0) {
                expect_refused(call);
                continue;
            }
            EXPECT_EQ(call.result, 1);
            EXPECT_EQ(call.update_type, type);
            EXPECT_EQ(call.written(kind.data), data);
            EXPECT_THAT(call.beyond(kind.data), Each(kUntouched));
            EXPECT_EQ(call.error_code, kCallerErrorCode) << "a converter never writes error_code on valid input";
            EXPECT_THAT(call.log.errors(), IsEmpty());
            std::vector<noti_property> mistyped = ints(list);
            mistyped.back().type = 's';
            expect_refused(Conversion(kind, ints(std::vector<int>(list.begin(), list.end() - 1))));
            if (kind.type_i_required)
                expect_refused(Conversion(kind, mistyped));
            else
                EXPECT_EQ(Conversion(kind, mistyped).written(kind.data), data);
        }
    }
}

// ==== signals over the bus ===========================================================

// What an application makes of a signal: the update type, then the update
// data (an int, contact_update_index_t or contact_update_sim_error_t, as their
// ints in order; kUntouched where the converter wrote nothing).
using Converted = std::array<int, 5>;

Converted update(int type, std::initializer_list<int> data)
{
    Converted converted{type, kUntouched, kUntouched, kUntouched, kUntouched};
    std::copy(data.begin(), data.end(), converted.begin() + 1);
    return converted;
}
// An update by the name of its type (CONTACT_UPDATE_<type>) and its data.
#define UPDATE(type, ...) update(CONTACT_UPDATE_##type, {__VA_ARGS__})

// A signal's arguments through the converter of its kind.
Converted convert(Signal signal, const std::vector<int> &args)
{
    const Conversion call(kKinds[std::size_t(signal)], ints(args));
    EXPECT_EQ(call.result, 1) << contact_signals::describe(signal).name << ::testing::PrintToString(args);
    return {call.update_type, call.data[0], call.data[1], call.data[2], call.data[3]};
}

// Every signal of the service's interface as another client receives and
// converts it: a connection of its own, subscribed once the constructor
// returns (the bus confirms a match before addMatch returns).
class SignalRecorder {
public:
    SignalRecorder()
    {
        slot_ = connection_->addMatch("type='signal',sender='" CONTACT_ENGINE_BUS_NAME "',interface='"
                                      CONTACT_ENGINE_INTERFACE "',path='" CONTACT_ENGINE_OBJECT_PATH "'",
                                      [this](sdbus::Message &message) { record(message); });
    }

    // Dispatches what arrives until `marker` has (120 s at most); returns what came before it.
    std::vector<Converted> until(const Converted &marker)
    {
        const auto deadline = std::chrono::steady_clock::now() + 120s;
        while (std::find(received_.begin(), received_.end(), marker) == received_.end()) {
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "the marker signal never came";
                break;
            }
            if (!connection_->processPendingRequest())
                std::this_thread::sleep_for(2ms);
        }
        std::vector<Converted> before(received_.begin(), std::find(received_.begin(), received_.end(), marker));
        received_.clear();
        return before;
    }

private:
    void record(sdbus::Message &message)
    {
        std::vector<int> args;
        for (std::string type, contents; message.peekType(type, contents), type == "i";) {
            std::int32_t value = 0;
            message >> value;
            args.push_back(value);
        }
        const contact_signals::Description *description = contact_signals::find(message.getMemberName());
        ASSERT_NE(description, nullptr) << "no converter for " << message.getMemberName();
        received_.push_back(convert(description->signal, args));
    }

    std::unique_ptr<sdbus::IConnection> connection_ = sdbus::createSystemBusConnection();
    sdbus::Slot slot_;
    std::vector<Converted> received_;
};

// `call` succeeds.
void ok(const Call &call)
{
    int error_code = -1;
    EXPECT_EQ(call(&error_code), 1) << "error code " << error_code;
}

int add_contact(int storage, SampleContact &&contact)
{
    int index = -1;
    ok(with(contact_add_contact, storage, &contact.record, &index));
    return index;
}

int add_group(int storage, const char *name)
{
    group_t group{};
    std::snprintf(group.name, sizeof group.name, "%s", name);
    int index = -1;
    ok(with(contact_add_group, storage, &group, &index));
    return index;
}

void set_dial(int dial, int contact_index, int position)
{
    speed_dial_t record{dial, CONTACT_STORAGE_PHONE, contact_index, position};
    ok(with(contact_set_speed_dial, dial, &record));
}

// What arrived before a change of the test's own (a contact inserted into the
// phone storage at an index of its own): once its signal is in, all before it are.
std::vector<Converted> updates_until_marker(SignalRecorder &recorder)
{
    static int index = 90000;
    SampleContact marker("marker");
    ok(with(contact_insert_contact, CONTACT_STORAGE_PHONE, ++index, &marker.record));
    return recorder.until(UPDATE(PHONE_ADD, index, CONTACT_STORAGE_PHONE));
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
        updates_until_marker(settled);
    }
};

// Each family's changes as an application reads them, one family after the
// other on one service; refused calls and calls that change nothing send
// nothing, a card write that fails sends its SIM error alone.
TEST_F(NotiSignalsTest, EachFamilysChangesArriveAsTheirConvertersReadThem)
{
    using U = std::vector<Converted>;
    const int PHONE = CONTACT_STORAGE_PHONE, P = CONTACT_GROUP_STORAGE_PHONE;
    SignalRecorder recorder;
    const int first = add_contact(PHONE, SampleContact("Ada"));
    SampleContact ada("Ada Lovelace");
    ada.phone("111").phone("222");
    std::snprintf(ada.record.photo_path, sizeof ada.record.photo_path, "/media/expired.jpg");
    ok(with(contact_insert_contact, CONTACT_STORAGE_PHONE_ALIAS, 40, &ada.record));
    ok(with(contact_update_contact, PHONE, first, &ada.record));
    ok(with(contact_increase_frequency, PHONE, first));
    ok(with(contact_delete_contact, PHONE, 40));
    EXPECT_EQ(failure_code(with(contact_delete_contact, PHONE, 40)), kNoContact);
    int changed = -1;
    ASSERT_EQ(contact_drm_expired(1, "/media/expired.jpg", &changed), 1); // a licence ran out
    EXPECT_EQ(changed, 1);
    ok(with(contact_insert_my_contact, &ada.record));
    ok(with(contact_update_my_contact, &ada.record));
    ok(contact_delete_my_contact);
    EXPECT_EQ(updates_until_marker(recorder),
              (U{UPDATE(PHONE_ADD, first, 0), UPDATE(PHONE_ADD, 40, 0), // 6 is 0
                 UPDATE(PHONE_UPDATE, first, 0), UPDATE(CONTACT_TABLE_UPDATE, first, 0), UPDATE(PHONE_DELETE, 40, 0),
                 UPDATE(CONTACT_TABLE_UPDATE, first, 0), // the photo went
                 UPDATE(MY_CONTACT_ADD, 0), UPDATE(MY_CONTACT_UPDATE, 0), UPDATE(MY_CONTACT_DELETE, 0)}));

    // Groups and their members; a contact's memberships go before it, in its own transaction.
    const int group = add_group(P, "Family"), sim_group = add_group(CONTACT_GROUP_STORAGE_SIM, "Work");
    group_t renamed{};
    std::snprintf(renamed.name, sizeof renamed.name, "Relatives");
    ok(with(contact_update_group, P, group, &renamed));
    EXPECT_EQ(failure_code(with(contact_add_group, P, &renamed, &changed)), kGroupNameInUse);
    const int alan = add_contact(PHONE, SampleContact("Alan")), grace = add_contact(PHONE, SampleContact("Grace"));
    const int both[] = {alan, grace};
    ok(with(contact_add_group_member, P, group, first));
    ok(with(contact_add_some_group_members, P, group, both, 2));
    ok(with(contact_add_some_group_members, P, group, both, 2)); // members already: nothing
    ok(with(contact_delete_group_member, P, group, alan));
    ok(with(contact_add_some_group_members, P, group, both, 2)); // one changed: one member
    ok(with(contact_delete_some_group_members, P, group, both, 2));
    ok(with(contact_add_some_group_members, P, group, both, 2));
    ok(with(contact_delete_contact, PHONE, first));
    ok(with(contact_delete_all_group_members, P, group));
    ok(with(contact_delete_all_group_members, P, group)); // none left: nothing
    ok(with(contact_add_group_member, P, group, alan));
    ok(with(contact_delete_group, P, group)); // its members go with it
    ok(with(contact_delete_all_groups, CONTACT_GROUP_STORAGE_SIM));
    EXPECT_EQ(updates_until_marker(recorder),
              (U{UPDATE(PHONE_GROUP_ADD, group, 0), UPDATE(SIM_GROUP_ADD, sim_group, 1),
                 UPDATE(PHONE_GROUP_UPDATE, group, 0), UPDATE(PHONE_ADD, alan, 0), UPDATE(PHONE_ADD, grace, 0),
                 UPDATE(ADD_GROUP_MEMBER, group, 0), UPDATE(ADD_SOME_GROUP_MEMBERS, group, 0),
                 UPDATE(DELETE_GROUP_MEMBER, group, 0), UPDATE(ADD_GROUP_MEMBER, group, 0),
                 UPDATE(DELETE_SOME_GROUP_MEMBERS, group, 0), UPDATE(ADD_SOME_GROUP_MEMBERS, group, 0),
                 UPDATE(DELETE_GROUP_MEMBER, group, 0), UPDATE(PHONE_DELETE, first, 0),
                 UPDATE(DELETE_ALL_GROUP_MEMBERS, group, 0), UPDATE(ADD_GROUP_MEMBER, group, 0),
                 UPDATE(PHONE_GROUP_DELETE, group, 0), UPDATE(SIM_GROUP_DELETE_ALL, 0, 1)})); // every group: index 0

    // Speed dials as their dial number, also those cleared by a change to their contact.
    SampleContact bob("Bob"), alan_with_111("Alan");
    const int b = add_contact(PHONE, std::move(bob.phone("333")));
    ok(with(contact_update_contact, PHONE, alan, &ada.record)); // numbers 111 and 222
    set_dial(3, alan, 0);
    set_dial(3, alan, 1); // replaces what dial 3 held
    set_dial(5, b, 0);
    ok(with(contact_update_contact, PHONE, alan, &alan_with_111.phone("111").record));
    ok(with(contact_delete_contact, PHONE, b));
    set_dial(7, alan, 0);
    ok(with(contact_delete_speed_dial, 7));
    set_dial(8, alan, 0);
    ok(contact_delete_all_speed_dials); // each cleared dial, no delete-all
    EXPECT_EQ(updates_until_marker(recorder),
              (U{UPDATE(PHONE_ADD, b, 0), UPDATE(PHONE_UPDATE, alan, 0), UPDATE(SPEED_DIAL_ADD, 3),
                 UPDATE(SPEED_DIAL_UPDATE, 3), UPDATE(SPEED_DIAL_ADD, 5),
                 UPDATE(SPEED_DIAL_DELETE, 3), // its number went
                 UPDATE(PHONE_UPDATE, alan, 0), UPDATE(SPEED_DIAL_DELETE, 5), // its contact went
                 UPDATE(PHONE_DELETE, b, 0), UPDATE(SPEED_DIAL_ADD, 7), UPDATE(SPEED_DIAL_DELETE, 7),
                 UPDATE(SPEED_DIAL_ADD, 8), UPDATE(SPEED_DIAL_DELETE, 8)}));

    // Settings as their new value.
    ok(with(contact_set_storage_preference, CONTACT_STORAGE_SIM));
    ok(with(contact_set_view_storage_preference, PHONE));
    ok(with(contact_set_display_order, CONTACT_DISPLAY_LAST_NAME_FIRST));
    ok(with(contact_set_sort_type, CONTACT_SORT_BY_LAST_NAME));
    ok(with(contact_set_sort_type, CONTACT_SORT_BY_LAST_NAME)); // no change
    EXPECT_EQ(failure_code(with(contact_set_sort_type, 5)), kInvalidSettingValue);
    ok(with(contact_set_current_activated_msisdn_index, 2));
    ok(with(contact_set_contact_module_sync_status, CONTACT_SYNC_STATUS_RUNNING)); // no converter reads it
    EXPECT_EQ(updates_until_marker(recorder),
              (U{UPDATE(NEW_STORAGE_TYPE, CONTACT_STORAGE_SIM), UPDATE(VIEW_STORAGE_TYPE, PHONE),
                 UPDATE(DISPLAY_ORDER, CONTACT_DISPLAY_LAST_NAME_FIRST), UPDATE(SORT_TYPE, CONTACT_SORT_BY_LAST_NAME),
                 UPDATE(ACTIVATED_OWN_NUMBER, 2)}));

    // The SIM storages; a card write that fails (its file's replacement cannot
    // be made where a directory stands); a delete-all of the phone storage with
    // a dial and two members of a group.
    const int sim = add_contact(CONTACT_STORAGE_SIM, SampleContact("Ada"));
    const int fdn = add_contact(CONTACT_STORAGE_FDN, SampleContact("Home"));
    ok(with(contact_update_contact, CONTACT_STORAGE_SIM, sim, &alan_with_111.record));
    ok(with(contact_delete_contact, CONTACT_STORAGE_FDN, fdn));
    ok(with(contact_delete_all_contacts, CONTACT_STORAGE_SIM));
    ok(with(contact_delete_all_contacts, CONTACT_STORAGE_SIM)); // nothing to delete
    std::filesystem::create_directory(dir_.path() + "/sim-card.json.new");
    EXPECT_EQ(failure_code(with(contact_add_contact, CONTACT_STORAGE_SIM, &alan_with_111.record, &changed)),
              kSimCardWriteFailed);
    const int work = add_group(P, "Work");
    ok(with(contact_add_some_group_members, P, work, both, 2));
    set_dial(6, alan, 0);
    ok(with(contact_delete_all_contacts, PHONE));
    EXPECT_EQ(updates_until_marker(recorder),
              (U{UPDATE(SIM_ADD, sim, 1), UPDATE(FDN_ADD, fdn, 3), UPDATE(SIM_UPDATE, sim, 1),
                 UPDATE(FDN_DELETE, fdn, 3), UPDATE(SIM_DELETE_ALL, 0, 1),
                 UPDATE(SIM_ERROR, 1, CONTACT_STORAGE_SIM, contact_signals::kSimWrite, kSimCardWriteFailed),
                 UPDATE(PHONE_GROUP_ADD, work, 0), UPDATE(ADD_SOME_GROUP_MEMBERS, work, 0), UPDATE(SPEED_DIAL_ADD, 6),
                 UPDATE(SPEED_DIAL_DELETE, 6), UPDATE(DELETE_SOME_GROUP_MEMBERS, work, 0),
                 UPDATE(PHONE_DELETE_ALL, 0, 0)}));
}

// ---- the emitter, in this process ---------------------------------------------------------

// The service's database and emitter on the service's name, as the service
// sets them up, without the methods (taken down in reverse order).
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
    // What arrived before one committed change that announces `index` of the SDN storage.
    std::vector<Converted> until_marker(SignalRecorder &recorder, int index)
    {
        db_.change([&] { db_.notify(Signal::ContactMainTable, {contact_signals::kAdd, CONTACT_STORAGE_SDN, index}); });
        return recorder.until(UPDATE(SDN_ADD, index, CONTACT_STORAGE_SDN));
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
// SIM error) goes out all the same.  Up to the limit, rows of a kind in one
// transaction go one by one; one more and each kind folds into one signal
// (the group deletes into the only signal of delete_some_groups), other
// kinds as they came.
TEST_F(InProcessEmitter, SignalsLeaveAfterTheCommitInOrderRolledBackOnesNeverAndManyRowsFold)
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
    const int limit = int(contact_engine::limits::kNotificationsBeforeFolding);
    db_.change([&] {
        db_.notify(Signal::SortType, {2});
        db_.report(Signal::SimError, {3, 2, kSimWrite, 69});
        db_.change([&] {
            for (int index = 1; index <= limit; ++index)
                db_.notify(Signal::GroupTable, {kUpdate, 1, index});
        });
    });
    db_.report(Signal::SimError, {0, 0, kSimRead, 23}); // outside any change
    std::vector<Converted> in_order{UPDATE(SIM_ERROR, 5, 1, kSimWrite, 69),
                                    UPDATE(SORT_TYPE, 2)};
    for (int index = 1; index <= limit; ++index)
        in_order.push_back(UPDATE(SIM_GROUP_UPDATE, index, 1));
    in_order.push_back(UPDATE(SIM_ERROR, 2, 3, kSimWrite, 69)); // a change's own signals, then its reports
    in_order.push_back(UPDATE(SIM_ERROR, 0, 0, kSimRead, 23));
    EXPECT_EQ(until_marker(recorder, 1), in_order);

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
    EXPECT_THAT(until_marker(recorder, 2),
                ElementsAre(UPDATE(DELETE_SOME_CONTACTS, 0), UPDATE(COPY_SOME_CONTACTS, 1),
                            UPDATE(CONTACT_TABLE_UPDATE, kNoRow, 2), UPDATE(DELETE_SOME_GROUPS, 1),
                            UPDATE(ADD_SOME_GROUP_MEMBERS, 5, 0), UPDATE(SORT_TYPE, 1)));
}

// ---- the tool ------------------------------------------------------------------------

// `watch` in another process prints the change as its converter reads it,
// and ends cleanly on SIGTERM.  (A watch that prints nothing fails by ctest's timeout.)
TEST_F(NotiSignalsTest, WatchPrintsTheUpdateTypeOfAChangeMadeByAnotherProcess)
{
    FILE *watch = popen("exec 2>&1; echo $$; exec " CONTACT_ENGINE_TOOL_PATH " watch", "r");
    ASSERT_NE(watch, nullptr);
    char line[256] = {};
    ASSERT_NE(fgets(line, sizeof line, watch), nullptr);
    const pid_t watcher = std::atoi(line);
    ASSERT_NE(fgets(line, sizeof line, watch), nullptr);
    EXPECT_THAT(line, ::testing::HasSubstr("watching /org/yora/contact"));
    const int index = add_contact(CONTACT_STORAGE_SIM, SampleContact("Watched"));
    ASSERT_NE(fgets(line, sizeof line, watch), nullptr);
    EXPECT_EQ(std::string(line), "contact_main_table_noti update_type=" + std::to_string(CONTACT_UPDATE_SIM_ADD) +
                                     " index=" + std::to_string(index) + " storage_type=1\n");
    kill(watcher, SIGTERM);
    const int status = pclose(watch);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

} // namespace
} // namespace contact_test
