// Change notifications: the library's 21 converters as an application calls
// them (every entry of the mapping tables, written out from the documented
// tables, the traces, the refusal of lists that do not fit), and the
// service's signals received by another connection and read through them:
// what a change of each family sends, that refused and rolled-back changes
// send nothing (a card write that fails reports a SIM error), that many rows
// fold into few signals, and that `contact-engine-tool watch` prints them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <poll.h>
#include <sdbus-c++/sdbus-c++.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "contacts/contact-store.h"
#include "contact-engine-bus.h"
#include "contact-engine-signals.h"
#include "contact-engine.h"
#include "core/client-watch.h"
#include "core/contact-engine-errors.h"
#include "core/database.h"
#include "core/method-registry.h"
#include "core/service-error.h"
#include "core/service-limits.h"
#include "core/service-options.h"
#include "core/workers.h"
#include "sample-contact.h"
#include "sim/sim-card.h"
#include "sim/sim-store.h"
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

noti_property int_arg(int value, int type = CONTACT_NOTI_TYPE_INT)
{
    noti_property property;
    std::memset(&property, 0xa5, sizeof property); // bytes the converters must not read
    property.type = type;
    property.value.i = value;
    return property;
}

std::vector<noti_property> ints(const std::vector<int> &values, int type = CONTACT_NOTI_TYPE_INT)
{
    std::vector<noti_property> elements;
    for (int value : values)
        elements.push_back(int_arg(value, type));
    return elements;
}

// A GArray whose data is an allocation that ends exactly where its last
// element ends: a read past the count is a heap overflow under AddressSanitizer.
class Args {
public:
    explicit Args(const std::vector<noti_property> &elements)
        : Args(reinterpret_cast<const unsigned char *>(elements.data()), elements.size() * sizeof(noti_property),
               sizeof(noti_property))
    {
    }
    Args(const unsigned char *bytes, size_t size, guint element_size)
        : array_(g_array_new(FALSE, FALSE, element_size)), original_data_(array_->data)
    {
        if (size > 0)
            exact_ = static_cast<unsigned char *>(std::memcpy(std::malloc(size), bytes, size));
        array_->data = reinterpret_cast<gchar *>(exact_);
        array_->len = guint(size / element_size);
    }
    ~Args()
    {
        array_->data = original_data_;
        array_->len = 0;
        g_array_free(array_, TRUE);
        std::free(exact_);
    }
    Args(const Args &) = delete;
    Args &operator=(const Args &) = delete;
    GArray *get() const { return array_; }

private:
    GArray *array_;
    gchar *original_data_;
    unsigned char *exact_ = nullptr;
};

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

#define KIND(kind) "contact_convert_" #kind "_noti_to_update_type_and_data", contact_convert_##kind##_noti_to_update_type_and_data

const std::vector<Kind> kSimple = {
    {KIND(new_storage_type), 1, true, Shape::Int, 0},           {KIND(view_storage_type), 1, true, Shape::Int, 1},
    {KIND(display_order), 1, true, Shape::Int, 2},              {KIND(sort_type), 1, true, Shape::Int, 3},
    {KIND(activated_own_number), 1, true, Shape::Int, 4},       {KIND(fdn_status_changed), 1, true, Shape::Int, 52},
    {KIND(delete_some_contacts), 1, false, Shape::Int, 44},     {KIND(copy_some_contacts), 1, false, Shape::Int, 45},
    {KIND(move_some_contacts), 1, false, Shape::Int, 46},       {KIND(delete_some_groups), 1, false, Shape::Int, 47},
    {KIND(delete_all_group_members), 2, false, Shape::Index, 39}, {KIND(delete_some_group_members), 2, false, Shape::Index, 40},
    {KIND(add_some_group_members), 2, false, Shape::Index, 41}, {KIND(add_group_member), 2, false, Shape::Index, 42},
    {KIND(delete_group_member), 2, false, Shape::Index, 43},    {KIND(sim_error), 4, false, Shape::SimError, 38},
};

// Rows of the main and group tables by storage type; the others take any.
const std::vector<Kind> kTables = {
    {KIND(contact_main_table_modified), 3, true, Shape::Index, 0,
     {{5, 6, 7, 8}, {9, 10, 11, 12}, {13, 14, 15, 16}, {17, 18, 19, 20}, {21, 22, 23, 24}, {48, 49, 50, 50},
      {5, 6, 7, 8}, {48, 49, 50, 50}}},
    {KIND(contact_table_modified), 3, true, Shape::Index, 0, {{-1, 25, -1, -1}}},
    {KIND(group_table_modified), 3, true, Shape::Index, 0, {{26, 27, 28, 29}, {30, 31, 32, 33}}},
    {KIND(speed_dial_table_modified), 2, true, Shape::Int, 0, {{34, 35, 36, -1}}},
    {KIND(my_contact_table_modified), 2, true, Shape::Int, 0, {{48, 49, 50, -1}}},
};
#undef KIND

// One call with the caller's variables around it; the update data in a
// larger buffer, so that a write beyond the record is seen too.
struct Conversion {
    int result = -1;
    int update_type = kUntouched;
    int error_code = kCallerErrorCode;
    int data[8];
    LogCapture log;

    Conversion(const Kind &kind, const Args &args)
    {
        std::fill(std::begin(data), std::end(data), kUntouched);
        result = kind.convert(args.get(), &update_type, data, &error_code);
    }
    Conversion(const Kind &kind, const std::vector<noti_property> &elements) : Conversion(kind, Args(elements)) {}
    std::vector<int> written(Shape shape) const { return {data, data + int(shape)}; }
    std::vector<int> beyond(Shape shape) const { return {data + int(shape), std::end(data)}; }
    std::vector<std::string> texts() const
    {
        std::vector<std::string> result;
        for (const LogEntry &entry : log.entries()) {
            EXPECT_EQ(entry.module, kModule);
            result.push_back(entry.text);
        }
        return result;
    }
};

std::string text(const char *format, const Kind &kind, int value)
{
    char buffer[512];
    g_snprintf(buffer, sizeof buffer, format, kind.function, value);
    return buffer;
}

// A refused call: result 0, code 3, one error line, nothing else written.
void expect_refused(const Conversion &call)
{
    EXPECT_EQ(call.result, 0);
    EXPECT_EQ(call.error_code, CONTACT_ERROR_OUT_OF_RANGE);
    EXPECT_EQ(call.update_type, kUntouched);
    EXPECT_THAT(call.data, Each(kUntouched));
    EXPECT_THAT(call.log.traces(), IsEmpty());
    ASSERT_EQ(call.log.errors().size(), 1u);
    EXPECT_EQ(call.log.errors()[0].format.rfind("\n[DodazorEdidud]%s %d: ", 0), 0u);
}

// A valid list of each kind: operation code 1 (in every table), storage 1, index 9.
std::vector<noti_property> valid_args(const Kind &kind)
{
    if (!kind.table.empty())
        return kind.elements_read == 3 ? ints({1, 1, 9}) : ints({1, 9});
    std::vector<noti_property> elements = ints({11, 22, 33, 44});
    elements.resize(std::size_t(kind.elements_read));
    return elements;
}

// Each element copied into its field (index first in both records), nothing
// beyond; 'i' kinds trace the value stored, the others each element by
// position.  The others copy the value bytes whatever the type says.
TEST(SimpleConverter, StoresItsUpdateTypeAndTracesEachElementCopied)
{
    const char *by_position[] = {"\n[DodazorEdidud]%s: noti_args 0 storage_type= %d\n\n",
                                 "\n[DodazorEdidud]%s: noti_args 1 index= %d\n\n",
                                 "\n[DodazorEdidud]%s: noti_args 2 access_mode= %d\n\n",
                                 "\n[DodazorEdidud]%s: noti_args 3 sim_error_value= %d\n\n"};
    const std::vector<int> values = {-7, 0, 123456, INT_MIN};
    for (const Kind &kind : kSimple) {
        SCOPED_TRACE(kind.function);
        const std::vector<int> used(values.begin(), values.begin() + kind.elements_read);
        const Conversion call(kind, ints(used));
        EXPECT_EQ(call.result, 1);
        EXPECT_EQ(call.update_type, kind.update_type);
        const std::vector<int> expected_data = kind.data == Shape::Int     ? std::vector<int>{values[0]}
                                               : kind.data == Shape::Index ? std::vector<int>{values[1], values[0]}
                                                                           : std::vector<int>{values[1], values[0], values[2], values[3]};
        EXPECT_EQ(call.written(kind.data), expected_data);
        EXPECT_THAT(call.beyond(kind.data), Each(kUntouched));
        EXPECT_EQ(call.error_code, kCallerErrorCode) << "a converter never writes error_code on valid input";
        std::vector<std::string> traces;
        if (kind.type_i_required)
            traces = {text("\n[DodazorEdidud]%s: *update_data = %d\n", kind, values[0])};
        else
            for (int position = 0; position < kind.elements_read; ++position)
                traces.push_back(text(by_position[position], kind, values[position]));
        EXPECT_EQ(call.texts(), traces) << "traces only, no error line";

        const Conversion typed_s(kind, ints(used, 's'));
        if (kind.type_i_required) {
            expect_refused(typed_s);
        } else {
            EXPECT_EQ(typed_s.result, 1);
            EXPECT_EQ(typed_s.written(kind.data), call.written(kind.data));
        }
    }
}

// Every operation code and storage type, in and around each table: the
// documented update type with the row located (storage type copied as
// received), or a refusal.
TEST(TableConverter, EveryEntryGivesItsTypeAndEverythingOutsideIsRefused)
{
    const std::vector<int> around = {INT_MIN, -1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 100, INT_MAX};
    int index = 1000; // a new one for each call
    for (const Kind &kind : kTables)
        for (int operation : around)
            for (int storage : kind.elements_read == 3 ? around : std::vector<int>{0}) {
                SCOPED_TRACE(::testing::Message() << kind.function << " operation " << operation << " storage " << storage);
                ++index;
                const Conversion call(kind, kind.elements_read == 3 ? ints({operation, storage, index})
                                                                    : ints({operation, index}));
                const unsigned row = kind.table.size() == 1 ? 0u : unsigned(storage);
                const int expected = row < kind.table.size() && unsigned(operation) < 4u ? kind.table[row][operation] : -1;
                if (expected < 0) {
                    expect_refused(call);
                    continue;
                }
                EXPECT_EQ(call.result, 1);
                EXPECT_EQ(call.update_type, expected);
                EXPECT_EQ(call.error_code, kCallerErrorCode);
                EXPECT_THAT(call.beyond(kind.data), Each(kUntouched));
                const std::string index_trace = text("\n[DodazorEdidud]%s: index = %d\n", kind, index);
                if (kind.data == Shape::Index) {
                    EXPECT_EQ(call.written(kind.data), (std::vector<int>{index, storage}));
                    EXPECT_EQ(call.texts(), (std::vector<std::string>{
                                                text("\n[DodazorEdidud]%s: storage_type = %d\n", kind, storage),
                                                index_trace}));
                } else {
                    EXPECT_EQ(call.written(kind.data), std::vector<int>{index}) << "the code is not copied";
                    EXPECT_EQ(call.texts(), std::vector<std::string>{index_trace});
                }
            }
}

// Fewer elements than read are refused, more are ignored; a table kind
// refuses any element it reads that is not 'i'.
TEST(EveryConverter, RefusesShortOrMistypedListsAndIgnoresMore)
{
    std::vector<Kind> kinds = kSimple;
    kinds.insert(kinds.end(), kTables.begin(), kTables.end());
    for (const Kind &kind : kinds) {
        SCOPED_TRACE(kind.function);
        for (int count = 0; count < kind.elements_read; ++count) {
            std::vector<noti_property> elements = valid_args(kind);
            elements.resize(std::size_t(count));
            expect_refused(Conversion(kind, elements));
        }
        if (!kind.table.empty())
            for (int position = 0; position < kind.elements_read; ++position) {
                std::vector<noti_property> elements = valid_args(kind);
                elements[std::size_t(position)].type = 's';
                expect_refused(Conversion(kind, elements));
            }
        std::vector<noti_property> elements = valid_args(kind);
        const Conversion exact(kind, elements);
        ASSERT_EQ(exact.result, 1);
        elements.push_back(int_arg(-1, 's'));
        const Conversion longer(kind, elements);
        EXPECT_EQ(longer.result, 1);
        EXPECT_EQ(longer.update_type, exact.update_type);
        EXPECT_THAT(longer.data, ::testing::ElementsAreArray(exact.data));
        EXPECT_EQ(longer.texts(), exact.texts());
    }
}

// Whole 16-byte elements are counted in the array's bytes, so an array of
// another element size cannot lead a converter past its end.
TEST(EveryConverter, CountsWholeElementsInTheArraysBytes)
{
    const std::vector<noti_property> elements = ints({1, 17});
    const auto *bytes = reinterpret_cast<const unsigned char *>(elements.data());
    const Kind &add_group_member = kSimple[13];
    const Conversion whole(add_group_member, Args(bytes, 32, 1));
    EXPECT_EQ(whole.result, 1);
    EXPECT_EQ(whole.data[0], 17);
    expect_refused(Conversion(add_group_member, Args(bytes, 31, 1)));
}

// One precondition, shared by every converter.
TEST(ConverterDeathTest, EachNullPointerIsAnAssertion)
{
    const Kind &kind = kTables[0];
    const Args args(ints({1, 1, 1}));
    int update_type = 0, data[4] = {}, error_code = 0;
    const char *message = "Assertion `\\(noti_args != \\(\\(void \\*\\)0\\)\\) && \\(update_type != \\(\\(void \\*\\)0\\)\\) && "
                          "\\(update_data != \\(\\(void \\*\\)0\\)\\) && \\(error_code != \\(\\(void \\*\\)0\\)\\)' failed";
    EXPECT_DEATH(kind.convert(nullptr, &update_type, data, &error_code), message);
    EXPECT_DEATH(kind.convert(args.get(), nullptr, data, &error_code), message);
    EXPECT_DEATH(kind.convert(args.get(), &update_type, nullptr, &error_code), message);
    EXPECT_DEATH(kind.convert(args.get(), &update_type, data, nullptr), message);
}

// ==== signals over the bus ===========================================================

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
// Every signal of the service's interface as another client receives it: a
// connection of its own, subscribed once the constructor returns (the bus
// confirms a match before addMatch returns).
class SignalRecorder {
public:
    SignalRecorder()
    {
        slot_ = connection_->addMatch("type='signal',sender='" CONTACT_ENGINE_BUS_NAME "',interface='" CONTACT_ENGINE_INTERFACE
                                      "',path='" CONTACT_ENGINE_OBJECT_PATH "'",
                                      [this](sdbus::Message &message) { record(message); });
    }

    // Dispatches what arrives until `marker` has (120 s at most); returns all received, the marker last.
    std::vector<Received> until(const Received &marker)
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
        return received_;
    }
    void clear() { received_.clear(); }

private:
    void record(sdbus::Message &message)
    {
        Received received{message.getMemberName(), {}};
        for (std::string type, contents; message.peekType(type, contents), type == "i";) {
            std::int32_t value = 0;
            message >> value;
            received.args.push_back(value);
        }
        received_.push_back(std::move(received));
    }

    std::unique_ptr<sdbus::IConnection> connection_ = sdbus::createSystemBusConnection();
    sdbus::Slot slot_;
    std::vector<Received> received_;
};

// What an application makes of a signal: the update type and the update data
// (an int, contact_update_index_t or contact_update_sim_error_t, as their ints
// in order; kUntouched where the converter wrote nothing).
struct Converted {
    int type = kUntouched;
    std::array<int, 4> data{kUntouched, kUntouched, kUntouched, kUntouched};
    bool operator==(const Converted &) const = default;
};

void PrintTo(const Converted &converted, std::ostream *out)
{
    *out << "update type " << converted.type << " data " << ::testing::PrintToString(converted.data);
}

Converted update(int type, std::initializer_list<int> data)
{
    Converted converted{type};
    std::copy(data.begin(), data.end(), converted.data.begin());
    return converted;
}

// Passes the signal's arguments through the converter of its kind.
Converted convert(const Received &received)
{
    const contact_signals::Description *description = contact_signals::find(received.name);
    const std::string function = std::string("contact_convert_") + (description ? description->converter : "?") +
                                 "_noti_to_update_type_and_data";
    for (const std::vector<Kind> *kinds : {&kSimple, &kTables})
        for (const Kind &kind : *kinds)
            if (kind.function == function) {
                const Conversion call(kind, ints(received.args));
                EXPECT_EQ(call.result, 1) << received.name;
                EXPECT_EQ(call.error_code, kCallerErrorCode) << "a converter leaves error_code alone";
                Converted converted{call.update_type};
                std::copy(call.data, call.data + 4, converted.data.begin());
                return converted;
            }
    ADD_FAILURE() << "no converter for " << received.name;
    return {};
}

std::vector<Converted> convert_all(const std::vector<Received> &seen)
{
    std::vector<Converted> converted;
    for (const Received &received : seen)
        converted.push_back(convert(received));
    return converted;
}

// `call` succeeds.
void ok(const Call &call)
{
    int error_code = -1;
    EXPECT_EQ(call(&error_code), 1) << "error code " << error_code;
}

contact_t named(const char *name)
{
    return SampleContact(name).record;
}

int add_contact(int storage, contact_t record)
{
    int index = -1;
    ok(with(contact_add_contact, storage, &record, &index));
    return index;
}

int add_contact(int storage, const char *name)
{
    return add_contact(storage, named(name));
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
    int index = -1;
    ok(with(contact_add_group, storage, &group, &index));
    return index;
}

void set_dial(int dial, int contact_index, int position)
{
    speed_dial_t record{dial, CONTACT_STORAGE_PHONE, contact_index, position};
    ok(with(contact_set_speed_dial, dial, &record));
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
        ok(with(contact_bulk_operation_set_thumb, handle, thumbs.data(), int(thumbs.size())));
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
    ok(with(contact_bulk_operation_close, handle));
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
        ok(with(contact_delete_contact, CONTACT_STORAGE_FDN, index));
        settled.until(expected(Signal::ContactMainTable, {2, CONTACT_STORAGE_FDN, index}));
    }
};

// ---- what a change sends ----------------------------------------------------------

TEST_F(NotiSignalsTest, EachContactChangeSendsItsOwnSignal)
{
    SignalRecorder recorder;
    const int first = add_contact(CONTACT_STORAGE_PHONE, "Ada");
    contact_t record = named("Ada Lovelace");
    std::snprintf(record.photo_path, sizeof record.photo_path, "/media/expired.jpg");
    ok(with(contact_insert_contact, CONTACT_STORAGE_PHONE_ALIAS, 40, &record));
    ok(with(contact_update_contact, CONTACT_STORAGE_PHONE, first, &record));
    ok(with(contact_change_field_value, CONTACT_STORAGE_PHONE, first, CONTACT_FIELD_COMPANY, "Analytical"));
    ok(with(contact_increase_frequency, CONTACT_STORAGE_PHONE, first));
    ok(with(contact_delete_contact, CONTACT_STORAGE_PHONE, 40));
    int changed = -1;
    ASSERT_EQ(contact_drm_expired(1, "/media/expired.jpg", &changed), 1); // a licence ran out
    EXPECT_EQ(changed, 1);
    ok(with(contact_insert_my_contact, &record));
    ok(with(contact_update_my_contact, &record));
    ok(contact_delete_my_contact);
    ok(with(contact_delete_all_contacts, CONTACT_STORAGE_PHONE));

    const Received last = expected(Signal::ContactMainTable, {3, 0, 0});
    EXPECT_THAT(convert_all(recorder.until(last)),
                ElementsAre(update(CONTACT_UPDATE_PHONE_ADD, {first, 0}), update(CONTACT_UPDATE_PHONE_ADD, {40, 0}), // 6 is 0
                            update(CONTACT_UPDATE_PHONE_UPDATE, {first, 0}),
                            update(CONTACT_UPDATE_CONTACT_TABLE_UPDATE, {first, 0}),
                            update(CONTACT_UPDATE_CONTACT_TABLE_UPDATE, {first, 0}),
                            update(CONTACT_UPDATE_PHONE_DELETE, {40, 0}),
                            update(CONTACT_UPDATE_CONTACT_TABLE_UPDATE, {first, 0}), // the photo went
                            update(CONTACT_UPDATE_MY_CONTACT_ADD, {0}), update(CONTACT_UPDATE_MY_CONTACT_UPDATE, {0}),
                            update(CONTACT_UPDATE_MY_CONTACT_DELETE, {0}), update(CONTACT_UPDATE_PHONE_DELETE_ALL, {0, 0})));
}

// Each family's changes as an application reads them, one row a case on a
// fresh service: `run` sets up, starts `recorder`, makes its changes and
// returns what the converters must read, in order.  With the contact, SIM
// and fold cases, every converter reads a signal of the bus.
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
         ok(with(contact_update_group, CONTACT_GROUP_STORAGE_PHONE, phone_group, &renamed));
         ok(with(contact_delete_group, CONTACT_GROUP_STORAGE_PHONE, phone_group));
         add_group(CONTACT_GROUP_STORAGE_SIM, "Friends");
         ok(with(contact_delete_all_groups, CONTACT_GROUP_STORAGE_SIM));
         return std::vector{update(CONTACT_UPDATE_PHONE_GROUP_ADD, {phone_group, 0}),
                            update(CONTACT_UPDATE_SIM_GROUP_ADD, {sim_group, 1}),
                            update(CONTACT_UPDATE_PHONE_GROUP_UPDATE, {phone_group, 0}),
                            update(CONTACT_UPDATE_PHONE_GROUP_DELETE, {phone_group, 0}),
                            update(CONTACT_UPDATE_SIM_GROUP_ADD, {sim_group + 1, 1}),
                            update(CONTACT_UPDATE_SIM_GROUP_DELETE_ALL, {0, 1})}; // every group: index 0
     }},
    {"Membership", [](std::optional<SignalRecorder> &recorder) {
         const int a = add_contact(CONTACT_STORAGE_SIM, "A"), b = add_contact(CONTACT_STORAGE_SIM, "B");
         const int both[] = {b, add_contact(CONTACT_STORAGE_SIM, "C")}, S = CONTACT_GROUP_STORAGE_SIM;
         const int group = add_group(S, "Team");
         recorder.emplace();
         ok(with(contact_add_group_member, S, group, a));
         ok(with(contact_add_some_group_members, S, group, both, 2));
         ok(with(contact_add_some_group_members, S, group, both, 2)); // members already: nothing
         ok(with(contact_delete_group_member, S, group, a));
         ok(with(contact_delete_some_group_members, S, group, both, 2));
         ok(with(contact_add_some_group_members, S, group, &a, 1)); // one changed: one member
         ok(with(contact_delete_all_group_members, S, group));
         ok(with(contact_delete_all_group_members, S, group)); // none left: nothing
         ok(with(contact_add_some_group_members, S, group, both, 2));
         ok(with(contact_delete_group, S, group)); // its members go with it
         std::vector<Converted> updates;
         for (int type : {CONTACT_UPDATE_ADD_GROUP_MEMBER, CONTACT_UPDATE_ADD_SOME_GROUP_MEMBERS,
                          CONTACT_UPDATE_DELETE_GROUP_MEMBER, CONTACT_UPDATE_DELETE_SOME_GROUP_MEMBERS,
                          CONTACT_UPDATE_ADD_GROUP_MEMBER, CONTACT_UPDATE_DELETE_ALL_GROUP_MEMBERS,
                          CONTACT_UPDATE_ADD_SOME_GROUP_MEMBERS, CONTACT_UPDATE_SIM_GROUP_DELETE})
             updates.push_back(update(type, {group, 1}));
         return updates;
     }},
    // Each group's loss first, in the contact's own transaction, then the
    // contact's signal; a delete-all gives one signal per group.
    {"MembersThatGoWithTheirContact", [](std::optional<SignalRecorder> &recorder) {
         const int ada = add_contact(CONTACT_STORAGE_PHONE, "Ada"), alan = add_contact(CONTACT_STORAGE_PHONE, "Alan");
         const int two[] = {ada, alan}, three[] = {ada, alan, add_contact(CONTACT_STORAGE_PHONE, "Grace")};
         const int friends = add_group(CONTACT_GROUP_STORAGE_PHONE, "Friends");
         const int work = add_group(CONTACT_GROUP_STORAGE_PHONE, "Work");
         ok(with(contact_add_some_group_members, CONTACT_GROUP_STORAGE_PHONE, friends, two, 2));
         ok(with(contact_add_some_group_members, CONTACT_GROUP_STORAGE_PHONE, work, three, 3));
         recorder.emplace();
         ok(with(contact_delete_contact, CONTACT_STORAGE_PHONE, ada));
         ok(with(contact_delete_all_contacts, CONTACT_STORAGE_PHONE));
         return std::vector{update(CONTACT_UPDATE_DELETE_GROUP_MEMBER, {friends, 0}),
                            update(CONTACT_UPDATE_DELETE_GROUP_MEMBER, {work, 0}),
                            update(CONTACT_UPDATE_PHONE_DELETE, {ada, 0}),
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
         ok(with(contact_set_storage_preference, CONTACT_STORAGE_SIM));
         ok(with(contact_set_view_storage_preference, CONTACT_STORAGE_PHONE));
         ok(with(contact_set_display_order, CONTACT_DISPLAY_LAST_NAME_FIRST));
         ok(with(contact_set_sort_type, CONTACT_SORT_BY_LAST_NAME));
         ok(with(contact_set_current_activated_msisdn_index, 2));
         ok(with(contact_set_sort_type, CONTACT_SORT_BY_LAST_NAME)); // no change
         // Settings no converter reads.
         ok(with(contact_set_contact_module_sync_status, CONTACT_SYNC_STATUS_RUNNING));
         ok(with(contact_set_copy_flag_for_sim_change, CONTACT_SIM_CHANGE_COPY));
         ok(with(contact_set_own_number, "Me", "+4479460001"));
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
         set_dial(3, index, 0);
         set_dial(3, index, 1); // replaces what dial 3 held
         set_dial(5, index, 0);
         ok(with(contact_delete_speed_dial, 3));
         set_dial(7, index, 1);
         ok(contact_delete_all_speed_dials); // each cleared dial, no delete-all
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
         ok(with(contact_update_contact, CONTACT_STORAGE_PHONE, a, &ada_without_222.record));
         ok(with(contact_delete_contact, CONTACT_STORAGE_PHONE, b));
         ok(with(contact_delete_all_contacts, CONTACT_STORAGE_PHONE));
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
         ok(with(contact_update_contact, CONTACT_STORAGE_SIM, sim, &renamed));
         ok(with(contact_delete_contact, CONTACT_STORAGE_FDN, fdn));
         ok(with(contact_delete_all_contacts, CONTACT_STORAGE_SIM));
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
                ElementsAre(update(CONTACT_UPDATE_SIM_ERROR,
                                   {1, CONTACT_STORAGE_SIM, contact_signals::kSimWrite, kSimCardWriteFailed})));
    std::filesystem::remove(card + ".new");
}

// ---- what sends nothing ----------------------------------------------------------------

// One refusal of each family, and calls that change nothing.
TEST_F(NotiSignalsTest, RefusedCallsOfEveryFamilySendNothing)
{
    const int member = add_contact(CONTACT_STORAGE_PHONE, "Member"), other = add_contact(CONTACT_STORAGE_PHONE, "Other");
    const int group = add_group(CONTACT_GROUP_STORAGE_PHONE, "Family");
    ok(with(contact_add_group_member, CONTACT_GROUP_STORAGE_PHONE, group, member));
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
    ok(with(contact_delete_all_contacts, CONTACT_STORAGE_SIM));                     // nothing to delete
    ok(with(contact_add_group_member, CONTACT_GROUP_STORAGE_PHONE, group, member)); // a member already
    ok(with(contact_delete_all_groups, CONTACT_GROUP_STORAGE_SIM));                 // none there
    ok(with(contact_set_display_order, CONTACT_DISPLAY_FIRST_NAME_FIRST));          // its default
    ok(contact_delete_all_speed_dials);                                             // none set
    EXPECT_THAT(updates_until_marker(recorder), IsEmpty());
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
                ElementsAre(expected(Signal::SimError, {1, 5, kSimWrite, 69}), expected(Signal::SortType, {2}),
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
    EXPECT_THAT(recorder.until(last),
                ElementsAre(expected(Signal::DeleteSomeContacts, {0}), expected(Signal::CopySomeContacts, {1}),
                            expected(Signal::ContactTable, {kUpdate, 2, kNoRow}), expected(Signal::DeleteSomeGroups, {1}),
                            expected(Signal::AddSomeGroupMembers, {0, 5}), expected(Signal::SortType, {1}), last));
    // The one source of this kind: its converter reads it as sent.
    EXPECT_EQ(convert(expected(Signal::DeleteSomeGroups, {1})), update(CONTACT_UPDATE_DELETE_SOME_GROUPS, {1}));
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
    EXPECT_THAT(recorder.until(error), ElementsAre(error));
    EXPECT_EQ(convert(error), update(CONTACT_UPDATE_SIM_ERROR, {fdn_index, 3, contact_signals::kSimRead, kDatabaseError}));
    workers.wait_idle();
    const auto [loaded, percent, code] = sim.initialized();
    EXPECT_FALSE(loaded);
    EXPECT_EQ(percent, 0);
    const Received last = marker(1);
    EXPECT_THAT(recorder.until(last), ElementsAre(error, last));
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
    int out[2], err[2];
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
