// The contact operations, my contact and the status queries: the checks each
// makes before it calls, and the calls over the private bus against the real
// service; what a client or a failing bus must not do to the service: the bus
// going away under a busy service, byte arrays the library would never send
// (counts that do not match, broken text, records beyond the size limit) from
// a plain bus client, birthdays that are no date.
#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "contact-engine-bus.h"
#include "contact-wire.h"
#include "core/contact-engine-errors.h"
#include "core/service-limits.h"
#include "sample-contact.h"
#include "test-support.h"

namespace contact_test {
namespace {

using namespace std::chrono_literals;
using namespace contact_engine;
using Bytes = std::vector<std::uint8_t>;
using contact_engine::limits::kMaxRecordSize;
constexpr int kPhone = CONTACT_STORAGE_PHONE;
constexpr int kFdn = CONTACT_STORAGE_FDN;
constexpr int kClosed = CONTACT_ERROR_NOT_CONNECTED;
constexpr int kNull = CONTACT_ERROR_NULL_ARGUMENT;

contact_t g_record{};

// With the connection closed, an operation fails with 9 before it looks at
// its arguments; connected, the first NULL pointer decides.  One operation of
// the common shape, and each whose message has a shape of its own.
TEST(ContactChecksTest, TheConnectionAndThenEachPointerAreChecked)
{
    const char *add = "contact_add_contact";
    const Call exists = with(contact_is_contact_exist, 0, 1, nullptr);
    const Call field = with(contact_get_field_value, 0, 1, 0, nullptr);
    expect_preconditions({
        {add, with(contact_add_contact, 0, nullptr, nullptr), kNull, null_argument_message(add, "contact_record")},
        {add, with(contact_add_contact, 0, &g_record, nullptr), kNull, null_argument_message(add, "index")},
        {"contact_is_contact_exist", exists, kClosed, no_connection_message(nullptr, false)},
        {"contact_is_contact_exist", exists, kNull, "\n[DodazorEdidud]%s %d: The parameter is_exist is NULL.\n"},
        {"contact_get_field_value", field, kClosed, no_connection_message(nullptr)},
        {"contact_get_field_value", field, kNull, null_argument_message(nullptr, "field_value")},
    });
}

class ContactTest : public ServiceTest {
protected:
    int add(SampleContact &contact, int storage = kPhone)
    {
        int index = -1;
        EXPECT_EQ(contact_add_contact(storage, &contact.record, &index, &error_code_), 1) << error_code_;
        EXPECT_EQ(error_code_, 0);
        return index;
    }
    int count(int storage = kPhone)
    {
        int records = -1;
        EXPECT_EQ(contact_get_contact_count(storage, &records, &error_code_), 1) << error_code_;
        return records;
    }
    std::string field(int index, int field_id)
    {
        std::vector<char> value(CONTACT_FIELD_VALUE_MAX, 'x');
        EXPECT_EQ(contact_get_field_value(kPhone, index, field_id, value.data(), &error_code_), 1) << error_code_;
        return value.data();
    }
};

// ---- records round-trip ----------------------------------------------------------

// A full record and my contact come back byte for byte, also after a restart;
// an update replaces the whole record (sections not sent come back absent).
TEST_F(ContactTest, FullRecordsComeBackByteForByteAlsoAfterARestartAndAnUpdateReplacesThemWhole)
{
    SampleContact sent("Ada Lovelace"), me("Me Myself"), update("After");
    sent.everything();
    me.everything();
    update.phone("999");
    ReceivedContact got, mine;
    EXPECT_EQ(failure_code(with(contact_update_my_contact, &me.record)), kNoMyContact);
    EXPECT_EQ(failure_code(with(contact_get_my_contact, &mine.record)), kNoMyContact);
    EXPECT_EQ(add(sent), 1);
    ASSERT_EQ(contact_insert_my_contact(&me.record, &error_code_), 1) << error_code_;
    EXPECT_EQ(me.record.index, 0) << "insert does not change the caller's record";
    EXPECT_EQ(failure_code(with(contact_insert_my_contact, &me.record)), kMyContactExists);
    auto my_form = wire_form(me.record);
    contact_wire::write_i32(my_form.data(), contact_wire::offset::storage_type, CONTACT_STORAGE_MY_CONTACT);
    for (const bool restarted : {false, true}) {
        SCOPED_TRACE(restarted ? "after a restart" : "before a restart");
        if (restarted)
            restart_service();
        got.release();
        mine.release();
        ASSERT_EQ(contact_get_contact(kPhone, 1, &got.record, &error_code_), 1) << error_code_;
        EXPECT_EQ(error_code_, 0);
        EXPECT_EQ(wire_form(got.record), wire_form(sent.record));
        ASSERT_EQ(contact_get_my_contact(&mine.record, &error_code_), 1) << error_code_;
        EXPECT_EQ(wire_form(mine.record), my_form);
        EXPECT_EQ(count(), 1) << "my contact stays out of the contact table";
    }
    ASSERT_EQ(contact_update_contact(kPhone, 1, &update.record, &error_code_), 1);
    EXPECT_EQ(field(1, CONTACT_FIELD_NOTE), "") << "sections not sent come back absent";
    ASSERT_EQ(contact_delete_my_contact(&error_code_), 1);
    EXPECT_EQ(failure_code(contact_delete_my_contact), kNoMyContact);
}

// ---- addressing: indices and storages ----------------------------------------------

// The SIM storages take writes once an (empty) card is loaded and open; adds
// take the lowest free index up to a full storage.
TEST_F(ContactTest, StoragesKeepApartFillUpAndBadAddressesGetTheServicesCodes)
{
    use_sim_card(kEmptySimCard);
    ready_sim_phonebook();
    SampleContact contact("Inserted"), again("Second");
    ASSERT_EQ(contact_insert_contact(CONTACT_STORAGE_SIM, 17, &contact.record, &error_code_), 1);
    EXPECT_EQ(contact.record.storage_type, CONTACT_STORAGE_SIM);
    EXPECT_EQ(failure_code(with(contact_insert_contact, CONTACT_STORAGE_SIM, 17, &again.record)), kIndexInUse);
    bool exists = false;
    ASSERT_EQ(contact_is_contact_exist(kPhone, 17, &exists, &error_code_), 1);
    EXPECT_FALSE(exists);
    int max = -1, index = -1, empty = 0;
    ASSERT_EQ(contact_get_max_contact_count(kFdn, &max, &error_code_), 1);
    EXPECT_EQ(max, 20);
    for (int i = 1; i <= 20; ++i)
        ASSERT_EQ(add(again, kFdn), i);
    EXPECT_EQ(failure_code(with(contact_add_contact, kFdn, &again.record, &index)), kStorageFull);
    EXPECT_EQ(contact_get_empty_contact_index(kFdn, &empty, &error_code_), 1);
    EXPECT_EQ(error_code_, kStorageFull) << "a full storage answers with its result code";
    EXPECT_EQ(empty, -1);

    ReceivedContact got;
    exists = true;
    const struct {
        int storage, index, expected;
    } cases[] = {{42, 1, kUnknownStorage}, {CONTACT_STORAGE_MY_CONTACT_ALIAS, 1, kWrongStorageKind},
                 {kPhone, 0, kIndexOutOfRange}, {kFdn, 21, kIndexOutOfRange}, {kPhone, 5, kNoContact}};
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << "storage " << c.storage << " index " << c.index);
        EXPECT_EQ(failure_code(with(contact_get_contact, c.storage, c.index, &got.record)), c.expected);
        EXPECT_EQ(failure_code(with(contact_delete_contact, c.storage, c.index)), c.expected);
        if (c.expected != kNoContact) {
            EXPECT_EQ(failure_code(with(contact_is_contact_exist, c.storage, c.index, &exists)), c.expected);
        }
    }
    EXPECT_TRUE(exists) << "a failed call leaves the answer variable alone";
}

// Fields read what the record holds; a change is seen in the whole record, a
// bad one refused; the frequency stops at zero.
TEST_F(ContactTest, FieldsAreReadAndChangedAndTheFrequencyStopsAtZero)
{
    SampleContact full("Ada Lovelace"), plain("Old Name");
    add(full.everything());
    add(plain.phone("1"));
    const std::pair<int, std::string> fields[] = {{CONTACT_FIELD_FAVOURITE, "1"},
                                                  {CONTACT_FIELD_FIRST_NUMBER, "+44 20 7946 0000"},
                                                  {CONTACT_FIELD_NOTE, full.record.note}};
    for (const auto &[id, value] : fields)
        EXPECT_EQ(field(1, id), value) << "field " << id;
    const struct {
        int index, field_id;
        std::string value;
        int expected;
    } refused[] = {{2, CONTACT_FIELD_FAVOURITE, "yes", kInvalidArgument},
                   {2, CONTACT_FIELD_FREQUENCY, "5", kReadOnlyField}, {2, 99, "x", kUnknownField},
                   {2, CONTACT_FIELD_DISPLAY_NAME, std::string(128, 'n'), kValueTooLong},
                   {3, CONTACT_FIELD_DISPLAY_NAME, "x", kNoContact},
                   {2, CONTACT_FIELD_DISPLAY_NAME, "bad \xff utf-8", CONTACT_ERROR_OUT_OF_RANGE}};
    for (const auto &c : refused)
        EXPECT_EQ(failure_code(with(contact_change_field_value, kPhone, c.index, c.field_id, c.value.c_str())),
                  c.expected) << c.value;
    EXPECT_EQ(field(2, CONTACT_FIELD_DISPLAY_NAME), "Old Name");
    int error_code = 55;
    for (const auto &[id, text] : {std::pair{CONTACT_FIELD_NOTE, "a note"}, {CONTACT_FIELD_FAVOURITE, "1"}}) {
        ASSERT_EQ(contact_change_field_value(kPhone, 2, id, text, &error_code), 1);
        EXPECT_EQ(field(2, id), text);
    }
    EXPECT_EQ(field(2, CONTACT_FIELD_FIRST_NUMBER), "1") << "other sections stay";
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(contact_increase_frequency(kPhone, 2, &error_code), 1);
    EXPECT_EQ(field(2, CONTACT_FIELD_FREQUENCY), "3");
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(contact_decrease_frequency(kPhone, 2, &error_code), 1);
    EXPECT_EQ(field(2, CONTACT_FIELD_FREQUENCY), "0");
    EXPECT_EQ(error_code, 55) << "the field change and frequency methods return no result code";
}

// ---- the status queries on my contact ------------------------------------------------

TEST_F(ContactTest, TrackMeAndImAccountsFollowMyContactAndDrmExpiryClearsTheMatchingPaths)
{
    const auto status = [](const Call &query) { // the result code of a status query that must succeed
        int error_code = -1;
        EXPECT_EQ(query(&error_code), 1) << error_code;
        return error_code;
    };
    const auto im_setting = [&](int type, int wanted) {
        return status(with(contact_is_contact_me_im_account_setting, type, wanted));
    };
    EXPECT_EQ(status(contact_is_contact_track_me_init), 0);
    EXPECT_EQ(status(contact_is_contact_track_me_stop), 1);
    EXPECT_EQ(status(contact_set_lbs_position), kNoMyContact) << "no my contact to track";
    EXPECT_EQ(im_setting(1, -1), kNoMyContact);
    SampleContact me("Tracked");
    me.im(1, 2, "me@im.example.org").im(4, 0, "me@other.example.org");
    set_text(me.record.ringtone_path, "/opt/sounds/bell.ogg");
    ASSERT_EQ(contact_insert_my_contact(&me.record, &error_code_), 1) << error_code_;
    EXPECT_EQ(status(contact_set_lbs_position), 0);
    EXPECT_EQ(status(contact_is_contact_track_me_init), 1);
    EXPECT_EQ(status(contact_is_contact_track_me_stop), 0);
    // (type, wanted status; -1: any) -> whether my contact has such an account
    const std::tuple<int, int, int> accounts[] = {{1, -1, 1}, {1, 2, 1}, {1, 3, 0}, {4, 0, 1}, {2, -1, 0}};
    for (const auto &[type, wanted, answer] : accounts)
        EXPECT_EQ(im_setting(type, wanted), answer) << type << ", " << wanted;
    restart_service();
    EXPECT_EQ(status(contact_is_contact_track_me_init), 1) << "the state is kept";

    SampleContact a("A");
    add(a.everything()); // ringtone /opt/sounds/bell.ogg, as my contact's
    EXPECT_EQ(status(with(contact_drm_expired, 0, "/opt/sounds/bell.ogg")), 2) << "the contact's and my contact's";
    EXPECT_EQ(status(with(contact_drm_expired, 0, "/opt/sounds/bell.ogg")), 0);
    EXPECT_EQ(field(1, CONTACT_FIELD_RINGTONE_PATH), "");
    EXPECT_EQ(field(1, CONTACT_FIELD_FIRST_NAME), "Ada") << "nothing else changes";
    EXPECT_EQ(failure_code(with(contact_drm_expired, 9, "x")), kInvalidArgument);

    ASSERT_EQ(contact_delete_my_contact(&error_code_), 1);
    EXPECT_EQ(status(contact_is_contact_track_me_stop), 1) << "deleting my contact stops tracking";
}

// ---- byte arrays from a plain bus client ---------------------------------------------

// A fixed part of zeros with `value` written at `offset` and `tail` behind it.
Bytes record_with(std::size_t offset, std::int32_t value, Bytes tail = {})
{
    Bytes record(contact_wire::kFixedSize, 0);
    contact_wire::write_i32(record.data(), offset, value);
    for (std::uint8_t byte : tail) // (not insert(): GCC 12 warns of a false out-of-bounds copy)
        record.push_back(byte);
    return record;
}

// One row per check of the service's reader (any bytes: the contact-record
// fuzz harness): the service's code, named in the D-Bus error, and nothing stored.
TEST_F(ContactTest, ArraysThatDoNotMatchTheirCountsOrHoldBrokenTextAreRefused)
{
    namespace at = contact_wire::offset;
    Bytes unterminated_name(contact_wire::kFixedSize, 0);
    std::fill_n(unterminated_name.begin() + at::display_name, sizeof(contact_t::display_name), 'a');
    const std::pair<Bytes, int> cases[] = {
        {Bytes(10, 0), kMalformedRecord},                                      // too short
        {record_with(at::postal_info_cnt, 3), kMalformedRecord},               // counts past the end
        {record_with(at::sns_cnt, -2), kMalformedRecord},                      // a negative count
        {record_with(at::note_len, 3, {'a', 'b', 'c', 'd'}), kInvalidUtf8},    // a note without its NUL
        {record_with(at::presence_text_len, 2, {0xc0, 0xaf, 0}), kInvalidUtf8}, // an overlong '/'
        {unterminated_name, kInvalidUtf8},
        // The size is checked before anything is parsed (zeros announce a
        // 4480-byte record: parsed, these would be malformed).
        {Bytes(kMaxRecordSize + 1, 0), kRecordTooLarge},
    };
    auto connection = sdbus::createSystemBusConnection();
    auto proxy = sdbus::createProxy(*connection, CONTACT_ENGINE_BUS_NAME, CONTACT_ENGINE_OBJECT_PATH);
    for (const auto &[record, code] : cases) {
        SCOPED_TRACE(::testing::Message() << record.size() << " bytes, code " << code);
        try {
            proxy->callMethod("contact_add_contact").onInterface(CONTACT_ENGINE_INTERFACE).withArguments(0, record);
            ADD_FAILURE() << "the record was stored";
        } catch (const sdbus::Error &error) {
            EXPECT_EQ(error.getName(), std::string(kErrorNamePrefix) + error_name(ErrorCode(code)));
            EXPECT_EQ(std::stoi(error.getMessage()), code) << error.getMessage();
        }
    }
    EXPECT_EQ(count(), 0) << "nothing was stored";
}

// ---- record size through the library ------------------------------------------------

// A contact whose note makes its byte array exactly `size` bytes long.
struct ContactOfSize : SampleContact {
    explicit ContactOfSize(std::size_t size) : SampleContact("Big")
    {
        phone("+44 20 7946 0000").note("x");
        note(std::string(size - (wire_form(record).size() - 1), 'n'));
    }
};

TEST_F(ContactTest, LargestRecordIsStoredAndOneByteMoreIsRefused)
{
    ContactOfSize largest(kMaxRecordSize), over(kMaxRecordSize + 1);
    ASSERT_EQ(wire_form(largest.record).size(), kMaxRecordSize);
    int index = -1;
    ASSERT_EQ(contact_add_contact(0, &largest.record, &index, &error_code_), 1) << error_code_;
    ReceivedContact back;
    ASSERT_EQ(contact_get_contact(0, index, &back.record, &error_code_), 1);
    EXPECT_EQ(std::string(back.record.note, std::size_t(back.record.note_len)),
              std::string(largest.record.note, std::size_t(largest.record.note_len)));
    const std::string too_long(kMaxRecordSize, 'n');
    contact_t *const record = &over.record;
    const Call refused[] = {with(contact_add_contact, 0, record, &index), with(contact_insert_contact, 0, 5, record),
                            with(contact_update_contact, 0, 1, record), with(contact_insert_my_contact, record),
                            // A note cannot grow a stored record past the limit either.
                            with(contact_change_field_value, 0, 1, CONTACT_FIELD_NOTE, too_long.c_str())};
    for (const Call &call : refused)
        EXPECT_EQ(failure_code(call), kRecordTooLarge);
    EXPECT_EQ(count(), 1) << "a refused record stores nothing";
    back.release();
    ASSERT_EQ(contact_get_contact(0, 1, &back.record, &error_code_), 1);
    EXPECT_EQ(back.record.note_len, largest.record.note_len) << "a refused change changes nothing";
    const std::string fits(kMaxRecordSize / 2, 'n');
    EXPECT_EQ(contact_change_field_value(0, 1, CONTACT_FIELD_NOTE, fits.c_str(), &error_code_), 1);
}

// ---- birthdays ---------------------------------------------------------------

// Both ways a birthday gets in check it: a field change, and a record (the
// update's; add, insert and my contact read records alike); a refusal changes nothing.
TEST_F(ContactTest, OnlyCalendarDatesAreTakenAsBirthdays)
{
    const char *const bad_dates[] = {"2000-+1-+1", "-999-01-01", "2001-02-29", "1900-02-29", "2000-13-01", "2000-00-10",
                                     "2000-01-00", "2000-04-31", "0000-01-01", " 999-01-01", "2000/01/01", "2000-01-1x",
                                     "abcd-ef-gh", "2000-01", "+200-01-01", "2000-01-01 "};
    SampleContact born("Birthday");
    set_text(born.record.birthday, "1815-12-10");
    ASSERT_EQ(add(born), 1);
    for (const char *bad : bad_dates) {
        SCOPED_TRACE(bad);
        SampleContact sample("Bad");
        set_text(sample.record.birthday, bad);
        EXPECT_EQ(failure_code(with(contact_change_field_value, 0, 1, CONTACT_FIELD_BIRTHDAY, bad)), kInvalidArgument);
        if (std::strlen(bad) < sizeof sample.record.birthday) { // else it does not fit the record's field
            EXPECT_EQ(failure_code(with(contact_update_contact, 0, 1, &sample.record)), kInvalidArgument);
        }
    }
    EXPECT_EQ(field(1, CONTACT_FIELD_BIRTHDAY), "1815-12-10");
    EXPECT_EQ(count(), 1);
    for (const char *good : {"", "2000-02-29", "0001-01-01", "9999-12-31", "2024-04-30"}) {
        EXPECT_EQ(contact_change_field_value(0, 1, CONTACT_FIELD_BIRTHDAY, good, &error_code_), 1) << good;
        EXPECT_EQ(field(1, CONTACT_FIELD_BIRTHDAY), good);
    }
}

// ---- the bus going away (last: the library keeps its first bus for the process) ----

int on_add_reply(sd_bus_message *reply, void *acknowledged, sd_bus_error *)
{
    std::int32_t index = 0, code = -1;
    if (sd_bus_message_is_method_error(reply, nullptr) || sd_bus_message_read(reply, "ii", &index, &code) < 0 || code)
        static_cast<std::set<int> *>(acknowledged)->insert(-1); // a failure
    else
        static_cast<std::set<int> *>(acknowledged)->insert(index);
    return 0;
}

TEST(BusLossTest, ServiceExitsWithAMessageAndKeepsWholeContacts)
{
    (void)bus();
    TempDir dir;
    const std::string database = dir.path() + "/contacts.db", status_path = dir.path() + "/status";
    auto doomed = std::make_unique<PrivateBus>();
    // The shell that runs the service keeps its stderr and its exit status in files.
    ServiceProcess service(database);
    service.launcher = {"/bin/sh", "-c", "\"$0\" \"$@\" 2>" + dir.path() + "/service.err; echo $? >" + status_path +
                                             ".new && mv " + status_path + ".new " + status_path};
    service.start();

    // Many adds in flight (a plain sd-bus client; under the bus's 128 pending
    // replies per connection), then the bus goes while the service works on them.
    SampleContact sample("Bus Loss");
    const Bytes record = wire_form(sample.everything().record);
    std::set<int> acknowledged;
    sd_bus *client = nullptr;
    ASSERT_GE(sd_bus_open_system(&client), 0);
    constexpr int kCalls = 120;
    for (int i = 0; i < kCalls; ++i) {
        sd_bus_message *call = nullptr;
        ASSERT_GE(sd_bus_message_new_method_call(client, &call, CONTACT_ENGINE_BUS_NAME, CONTACT_ENGINE_OBJECT_PATH,
                                                 CONTACT_ENGINE_INTERFACE, "contact_add_contact"), 0);
        ASSERT_GE(sd_bus_message_append(call, "i", 0), 0);
        ASSERT_GE(sd_bus_message_append_array(call, 'y', record.data(), record.size()), 0);
        ASSERT_GE(sd_bus_call_async(client, nullptr, call, on_add_reply, &acknowledged, 0), 0);
        sd_bus_message_unref(call);
    }
    for (const auto give_up = std::chrono::steady_clock::now() + 120s;
         acknowledged.size() < 20 && std::chrono::steady_clock::now() < give_up;)
        if (sd_bus_process(client, nullptr) == 0)
            sd_bus_wait(client, 100000);
    ASSERT_GE(acknowledged.size(), 20u) << "the service answered too few adds";
    ASSERT_EQ(acknowledged.count(-1), 0u) << "an add failed";
    doomed->kill();
    sd_bus_flush_close_unref(client);

    eventually([&] { return std::filesystem::exists(status_path); });
    ASSERT_TRUE(std::filesystem::exists(status_path)) << "the service did not end when its bus went away";
    std::stringstream status, message;
    status << std::ifstream(status_path).rdbuf();
    message << std::ifstream(dir.path() + "/service.err").rdbuf();
    EXPECT_TRUE(status.str() == "1\n") << "a lost bus is a failure, so that systemd restarts the service: "
                                      << status.str() << "; stderr: " << message.str();
    EXPECT_NE(message.str().find("contact-engine-service: lost the bus connection"), std::string::npos)
        << message.str();
    EXPECT_EQ(message.str().find("terminate called"), std::string::npos) << message.str();

    // On a new bus the database opens; every acknowledged add is there, and
    // every stored contact is the whole record.
    doomed.reset();
    PrivateBus fresh;
    ServiceProcess restarted(database);
    restarted.start();
    int error_code = -1, count = 0;
    ASSERT_EQ(contact_initialize(&error_code), 1);
    std::vector<int> indices(2000);
    ASSERT_EQ(contact_get_all_contact_indices(0, indices.data(), &count, &error_code), 1);
    indices.resize(std::size_t(count));
    EXPECT_LE(count, kCalls);
    for (int index : acknowledged)
        EXPECT_NE(std::find(indices.begin(), indices.end(), index), indices.end()) << "acknowledged add " << index;
    for (int index : indices) {
        ReceivedContact received;
        ASSERT_EQ(contact_get_contact(0, index, &received.record, &error_code), 1) << "index " << index;
        received.record.index = 0;
        EXPECT_EQ(wire_form(received.record), record) << "contact at " << index << " is not the record sent";
    }
    contact_finalize(&error_code);
    EXPECT_EQ(restarted.stop(), 0);
}

} // namespace
} // namespace contact_test
