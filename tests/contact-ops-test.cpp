// The contact operations, my contact and the status queries: the checks each
// makes before it calls, and the calls over the private bus against the real
// service.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "contact-wire.h"
#include "sample-contact.h"
#include "core/contact-engine-errors.h"
#include "test-support.h"

namespace contact_test {
namespace {

using namespace contact_engine;
constexpr int kPhone = CONTACT_STORAGE_PHONE;
constexpr int kFdn = CONTACT_STORAGE_FDN;
constexpr int kClosed = CONTACT_ERROR_NOT_CONNECTED;
constexpr int kNull = CONTACT_ERROR_NULL_ARGUMENT;

contact_t g_record{};
int g_indices[8];

template <class F, class... A> Call with(F function, A... args)
{
    return [=](int *e) { return function(args..., e); };
}

// With the connection closed, every operation fails with 9 before it looks at
// its arguments (all NULL here); connected, the first NULL pointer decides.
TEST(ContactChecksTest, TheConnectionAndThenEachPointerAreChecked)
{
    // Operations whose messages name them, and the argument their NULL call names first.
    const struct {
        const char *function;
        Call call;
        const char *argument;
    } named[] = {
        {"contact_add_contact", with(contact_add_contact, 0, nullptr, nullptr), "contact_record"},
        {"contact_insert_contact", with(contact_insert_contact, 0, 1, nullptr), "contact_record"},
        {"contact_update_contact", with(contact_update_contact, 0, 1, nullptr), "contact_record"},
        {"contact_get_contact", with(contact_get_contact, 0, 1, nullptr), "contact_record"},
        {"contact_delete_contact", with(contact_delete_contact, 0, 1), nullptr},
        {"contact_delete_all_contacts", with(contact_delete_all_contacts, 0), nullptr},
        {"contact_get_contact_count", with(contact_get_contact_count, 0, nullptr), "record_count"},
        {"contact_get_max_contact_count", with(contact_get_max_contact_count, 0, nullptr), "max_record_count"},
        {"contact_get_empty_contact_index", with(contact_get_empty_contact_index, 0, nullptr), "empty_index"},
        {"contact_increase_frequency", with(contact_increase_frequency, 0, 1), nullptr},
        {"contact_decrease_frequency", with(contact_decrease_frequency, 0, 1), nullptr},
        {"contact_is_fdn_phone_number_exist", with(contact_is_fdn_phone_number_exist, nullptr, nullptr), "sznumber"},
        {"contact_get_my_contact", with(contact_get_my_contact, nullptr), "my_contact"},
        {"contact_insert_my_contact", with(contact_insert_my_contact, nullptr), "my_contact"},
        {"contact_update_my_contact", with(contact_update_my_contact, nullptr), "my_contact"},
        {"contact_delete_my_contact", [](int *e) { return contact_delete_my_contact(e); }, nullptr},
        {"contact_drm_expired", with(contact_drm_expired, 0, nullptr), nullptr},
    };
    std::vector<Precondition> cases;
    for (const auto &op : named) {
        cases.push_back({op.function, op.call, kClosed, no_connection_message(op.function)});
        if (op.argument != nullptr)
            cases.push_back({op.function, op.call, kNull, null_argument_message(op.function, op.argument)});
    }
    const Call exists = with(contact_is_contact_exist, 0, 1, nullptr);
    const Call field = with(contact_get_field_value, 0, 1, 0, nullptr);
    const char *all = "contact_get_all_contact_indices";
    cases.insert(cases.end(), {
        {"contact_is_contact_exist", exists, kClosed, no_connection_message(nullptr, false)},
        {"contact_is_contact_exist", exists, kNull, "\n[DodazorEdidud]%s %d: The parameter is_exist is NULL.\n"},
        {"contact_get_field_value", field, kClosed, no_connection_message(nullptr)},
        {"contact_get_field_value", field, kNull, null_argument_message(nullptr, "field_value")},
        {"contact_set_lbs_position", [](int *e) { return contact_set_lbs_position(e); }, kClosed,
         no_connection_message(nullptr, false)},
        {"contact_add_contact", with(contact_add_contact, 0, &g_record, nullptr), kNull,
         null_argument_message("contact_add_contact", "index")},
        {all, with(contact_get_all_contact_indices, 0, nullptr, nullptr), kNull, null_argument_message(all, "contact_index_array")},
        {all, with(contact_get_all_contact_indices, 0, g_indices, nullptr), kNull, null_argument_message(all, "contact_count")},
        {"contact_is_fdn_phone_number_exist", with(contact_is_fdn_phone_number_exist, "1", nullptr), kNull,
         null_argument_message("contact_is_fdn_phone_number_exist", "is_exist")},
    });
    expect_preconditions(cases);
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
    int add(const std::string &name, int storage = kPhone)
    {
        SampleContact contact(name);
        return add(contact, storage);
    }
    void insert_me(SampleContact &me)
    {
        ASSERT_EQ(contact_insert_my_contact(&me.record, &error_code_), 1) << error_code_;
        EXPECT_EQ(error_code_, 0);
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
    // The result code of a status query that must succeed.
    int status(const Call &query)
    {
        int error_code = -1;
        EXPECT_EQ(query(&error_code), 1) << error_code;
        return error_code;
    }
};

// ---- records round-trip ----------------------------------------------------------

TEST_F(ContactTest, FullRecordsComeBackByteForByteAlsoAfterARestart)
{
    SampleContact sent("Ada Lovelace"), me("Me Myself");
    sent.everything();
    me.everything();
    EXPECT_EQ(add(sent), 1);
    EXPECT_EQ(sent.record.index, 1);
    EXPECT_EQ(sent.record.storage_type, kPhone);
    insert_me(me);
    EXPECT_EQ(me.record.index, 0) << "insert does not change the caller's record";
    auto my_form = wire_form(me.record);
    contact_wire::write_i32(my_form.data(), contact_wire::offset::storage_type, CONTACT_STORAGE_MY_CONTACT);
    for (const bool restarted : {false, true}) {
        SCOPED_TRACE(restarted ? "after a restart" : "before a restart");
        if (restarted)
            restart_service();
        ReceivedContact got, mine;
        ASSERT_EQ(contact_get_contact(kPhone, 1, &got.record, &error_code_), 1) << error_code_;
        EXPECT_EQ(error_code_, 0);
        EXPECT_EQ(wire_form(got.record), wire_form(sent.record));
        ASSERT_EQ(contact_get_my_contact(&mine.record, &error_code_), 1) << error_code_;
        EXPECT_EQ(wire_form(mine.record), my_form);
        EXPECT_EQ(count(), 1) << "my contact stays out of the contact table";
    }
}

// An update replaces the whole record: sections not sent come back absent.
TEST_F(ContactTest, UpdatesReplaceTheWholeRecordAndMyContactIsRefusedWhereItIsOrIsNot)
{
    SampleContact first("Before"), second("After");
    first.everything();
    second.phone("999");
    ReceivedContact got, mine;
    EXPECT_EQ(failure_code([&](int *e) { return contact_update_my_contact(&second.record, e); }), kNoMyContact);
    EXPECT_EQ(failure_code([&](int *e) { return contact_delete_my_contact(e); }), kNoMyContact);
    EXPECT_EQ(failure_code([&](int *e) { return contact_get_my_contact(&mine.record, e); }), kNoMyContact);
    insert_me(first);
    EXPECT_EQ(failure_code([&](int *e) { return contact_insert_my_contact(&first.record, e); }), kMyContactExists);
    ASSERT_EQ(add(first), 1);
    ASSERT_EQ(contact_update_contact(kPhone, 1, &second.record, &error_code_), 1);
    EXPECT_EQ(second.record.index, 1);
    ASSERT_EQ(contact_update_my_contact(&second.record, &error_code_), 1);
    ASSERT_EQ(contact_get_contact(kPhone, 1, &got.record, &error_code_), 1);
    ASSERT_EQ(contact_get_my_contact(&mine.record, &error_code_), 1);
    for (contact_t *record : {&got.record, &mine.record}) {
        EXPECT_STREQ(record->display_name, "After");
        EXPECT_EQ(record->phone_info_cnt, 1);
        EXPECT_EQ(record->email_info, nullptr);
        EXPECT_EQ(record->note, nullptr);
        EXPECT_EQ(record->contact_id_data, nullptr);
    }
    EXPECT_EQ(wire_form(got.record), wire_form(second.record));
    ASSERT_EQ(contact_delete_my_contact(&error_code_), 1);
    EXPECT_EQ(error_code_, 0);
    mine.release();
    EXPECT_EQ(failure_code([&](int *e) { return contact_get_my_contact(&mine.record, e); }), kNoMyContact);
}

// ---- addressing: indices and storages ----------------------------------------------

TEST_F(ContactTest, AddTakesTheLowestFreeIndexAndIndicesListInOrderAlsoThroughThePhoneAlias)
{
    for (int index : {30, 1999, 3}) {
        SampleContact c("at " + std::to_string(index));
        ASSERT_EQ(contact_insert_contact(kPhone, index, &c.record, &error_code_), 1);
    }
    EXPECT_EQ(add("a"), 1);
    EXPECT_EQ(add("b"), 2);
    EXPECT_EQ(add("c"), 4);
    ASSERT_EQ(contact_delete_contact(kPhone, 2, &error_code_), 1);
    EXPECT_EQ(error_code_, 0);
    int empty = -1;
    ASSERT_EQ(contact_get_empty_contact_index(kPhone, &empty, &error_code_), 1);
    EXPECT_EQ(empty, 2);
    EXPECT_EQ(add("d"), 2);
    std::vector<int> indices(2000, -7);
    int found = -1;
    ASSERT_EQ(contact_get_all_contact_indices(kPhone, indices.data(), &found, &error_code_), 1);
    ASSERT_EQ(found, 6);
    EXPECT_EQ(std::vector<int>(indices.begin(), indices.begin() + 7), (std::vector<int>{1, 2, 3, 4, 30, 1999, -7}));
    ASSERT_EQ(contact_get_all_contact_indices(CONTACT_STORAGE_SDN, indices.data(), &found, &error_code_), 1);
    EXPECT_EQ(found, 0);
    EXPECT_EQ(indices[0], 1) << "an empty storage writes nothing";
    EXPECT_EQ(count(CONTACT_STORAGE_PHONE_ALIAS), 6);
    ReceivedContact got;
    ASSERT_EQ(contact_get_contact(CONTACT_STORAGE_PHONE_ALIAS, 2, &got.record, &error_code_), 1);
    EXPECT_STREQ(got.record.display_name, "d");
    EXPECT_EQ(got.record.storage_type, kPhone);
}

// The SIM storages take writes once an (empty) card is loaded and open.
TEST_F(ContactTest, SimStoragesInsertAtAnIndexKeepApartAndCheckFixedDiallingUpToAFullStorage)
{
    use_sim_card(kEmptySimCard);
    ready_sim_phonebook();
    SampleContact contact("Inserted"), again("Second");
    ASSERT_EQ(contact_insert_contact(CONTACT_STORAGE_SIM, 17, &contact.record, &error_code_), 1);
    EXPECT_EQ(error_code_, 0);
    EXPECT_EQ(contact.record.index, 17);
    EXPECT_EQ(contact.record.storage_type, CONTACT_STORAGE_SIM);
    EXPECT_EQ(failure_code(with(contact_insert_contact, CONTACT_STORAGE_SIM, 17, &again.record)), kIndexInUse);
    EXPECT_EQ(again.record.index, 0) << "a failed call changes nothing in the record";
    bool exists = false;
    ASSERT_EQ(contact_is_contact_exist(CONTACT_STORAGE_SIM, 17, &exists, &error_code_), 1);
    EXPECT_TRUE(exists);
    ASSERT_EQ(contact_is_contact_exist(kPhone, 17, &exists, &error_code_), 1);
    EXPECT_FALSE(exists);
    SampleContact emergency("Emergency"), office("Office"), phone_only("Not FDN");
    add(emergency.phone("112"), kFdn);
    add(office.phone("+44 (20) 7946-0000"), kFdn);
    add(phone_only.phone("555 0100"));
    ASSERT_EQ(contact_delete_all_contacts(kPhone, &error_code_), 1);
    EXPECT_EQ(error_code_, 0);
    EXPECT_EQ(count(), 0);
    EXPECT_EQ(count(CONTACT_STORAGE_SIM), 1) << "delete all keeps to its storage";
    ASSERT_EQ(contact_delete_all_contacts(kPhone, &error_code_), 1) << "an empty storage is fine";
    add(phone_only);

    const std::pair<const char *, bool> numbers[] = {{"112", true}, {"+442079460000", true}, {"+44 20 7946 0000", true},
                                                     {"1125", true}, {"5550100", false}, {"11", false}};
    for (auto [number, listed] : numbers) {
        bool exists = !listed;
        int error_code = 31;
        ASSERT_EQ(contact_is_fdn_phone_number_exist(number, &exists, &error_code), 1) << number;
        EXPECT_EQ(exists, listed) << number;
        EXPECT_EQ(error_code, 31) << "the method returns no result code";
    }
    int max = -1, index = -1, empty = 0;
    ASSERT_EQ(contact_get_max_contact_count(kFdn, &max, &error_code_), 1);
    EXPECT_EQ(max, 20);
    for (int i = 3; i <= 20; ++i)
        ASSERT_EQ(add("fdn " + std::to_string(i), kFdn), i);
    SampleContact one_more("21st");
    EXPECT_EQ(failure_code(with(contact_add_contact, kFdn, &one_more.record, &index)), kStorageFull);
    EXPECT_EQ(index, -1);
    EXPECT_EQ(contact_get_empty_contact_index(kFdn, &empty, &error_code_), 1);
    EXPECT_EQ(error_code_, kStorageFull) << "a full storage answers with its result code";
    EXPECT_EQ(empty, -1);
}

TEST_F(ContactTest, BadAddressesGetTheServicesCodes)
{
    add("present");
    ReceivedContact got;
    bool exists = true;
    const struct {
        int storage, index, expected;
    } cases[] = {{42, 1, kUnknownStorage}, {-1, 1, kUnknownStorage}, {CONTACT_STORAGE_MY_CONTACT, 1, kWrongStorageKind},
                 {CONTACT_STORAGE_MY_CONTACT_ALIAS, 1, kWrongStorageKind}, {kPhone, 0, kIndexOutOfRange},
                 {kPhone, 100001, kIndexOutOfRange}, {kFdn, 21, kIndexOutOfRange}, {kPhone, 5, kNoContact}};
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << "storage " << c.storage << " index " << c.index);
        EXPECT_EQ(failure_code([&](int *e) { return contact_get_contact(c.storage, c.index, &got.record, e); }),
                  c.expected);
        EXPECT_EQ(failure_code([&](int *e) { return contact_delete_contact(c.storage, c.index, e); }), c.expected);
        EXPECT_EQ(failure_code([&](int *e) { return contact_increase_frequency(c.storage, c.index, e); }), c.expected);
        if (c.expected != kNoContact) {
            EXPECT_EQ(failure_code([&](int *e) { return contact_is_contact_exist(c.storage, c.index, &exists, e); }),
                      c.expected);
        }
    }
    EXPECT_TRUE(exists) << "a failed call leaves the answer variable alone";
    EXPECT_EQ(count(), 1);
}

// ---- fields and frequency ------------------------------------------------------------

TEST_F(ContactTest, FieldsReadWhatTheRecordHoldsAndAnEmptyOneIsAllNuls)
{
    SampleContact contact("Ada Lovelace");
    add(contact.everything());
    const std::pair<int, std::string> fields[] = {
        {CONTACT_FIELD_DISPLAY_NAME, "Ada Lovelace"}, {CONTACT_FIELD_FIRST_NAME, "Ada"},
        {CONTACT_FIELD_COMPANY, "Analytical Engines Ltd"}, {CONTACT_FIELD_BIRTHDAY, "1815-12-10"},
        {CONTACT_FIELD_FAVOURITE, "1"}, {CONTACT_FIELD_FIRST_NUMBER, "+44 20 7946 0000"},
        {CONTACT_FIELD_NOTE, contact.record.note}};
    for (const auto &[id, value] : fields)
        EXPECT_EQ(field(1, id), value) << "field " << id;
    std::vector<char> value(CONTACT_FIELD_VALUE_MAX, 'x');
    ASSERT_EQ(add("No nickname"), 2);
    ASSERT_EQ(contact_get_field_value(kPhone, 2, CONTACT_FIELD_NICKNAME, value.data(), &error_code_), 1);
    EXPECT_EQ(std::string(value.begin(), value.end()), std::string(CONTACT_FIELD_VALUE_MAX, '\0'));
}

// (Birthdays that are no date: service-faults-test.)
TEST_F(ContactTest, AChangedFieldIsSeenInTheWholeRecordAndBadChangesAreRefused)
{
    SampleContact contact("Old Name");
    add(contact.phone("1"));
    const struct {
        int index, field_id;
        std::string value;
        int expected;
    } refused[] = {{1, CONTACT_FIELD_FAVOURITE, "yes", kInvalidArgument}, {1, CONTACT_FIELD_FREQUENCY, "5", kReadOnlyField},
                   {1, CONTACT_FIELD_FIRST_NUMBER, "123", kReadOnlyField}, {1, 99, "x", kUnknownField},
                   {1, -1, "x", kUnknownField}, {1, CONTACT_FIELD_DISPLAY_NAME, std::string(128, 'n'), kValueTooLong},
                   {2, CONTACT_FIELD_DISPLAY_NAME, "x", kNoContact},
                   {1, CONTACT_FIELD_DISPLAY_NAME, "bad \xff utf-8", CONTACT_ERROR_OUT_OF_RANGE}};
    for (const auto &c : refused) {
        const char *value = c.value.c_str();
        const Call change = [&](int *e) { return contact_change_field_value(kPhone, c.index, c.field_id, value, e); };
        EXPECT_EQ(failure_code(change), c.expected) << c.value;
    }
    EXPECT_EQ(field(1, CONTACT_FIELD_DISPLAY_NAME), "Old Name");
    int error_code = 77;
    ASSERT_EQ(contact_change_field_value(kPhone, 1, CONTACT_FIELD_DISPLAY_NAME, "Grace Hopper", &error_code), 1);
    EXPECT_EQ(error_code, 77) << "the method returns no result code";
    ASSERT_EQ(contact_change_field_value(kPhone, 1, CONTACT_FIELD_NOTE, "a note", &error_code), 1);
    ASSERT_EQ(contact_change_field_value(kPhone, 1, CONTACT_FIELD_FAVOURITE, "1", &error_code), 1);
    ReceivedContact got;
    ASSERT_EQ(contact_get_contact(kPhone, 1, &got.record, &error_code), 1);
    EXPECT_STREQ(got.record.display_name, "Grace Hopper");
    EXPECT_EQ(got.record.note_len, 6);
    EXPECT_STREQ(got.record.note, "a note");
    EXPECT_EQ(got.record.is_favourite, 1);
    EXPECT_EQ(got.record.phone_info_cnt, 1) << "other sections stay";
    ASSERT_EQ(contact_change_field_value(kPhone, 1, CONTACT_FIELD_NOTE, "", &error_code), 1);
    got.release();
    ASSERT_EQ(contact_get_contact(kPhone, 1, &got.record, &error_code), 1);
    EXPECT_EQ(got.record.note_len, 0);
    EXPECT_EQ(got.record.note, nullptr);
}

TEST_F(ContactTest, FrequencyGoesUpAndDownButNotBelowZero)
{
    add("Often called");
    int error_code = 55;
    for (const auto &[change, times, expected] : {std::tuple{&contact_increase_frequency, 3, "3"},
                                                  std::tuple{&contact_decrease_frequency, 1, "2"},
                                                  std::tuple{&contact_decrease_frequency, 4, "0"}}) {
        for (int i = 0; i < times; ++i)
            ASSERT_EQ(change(kPhone, 1, &error_code), 1);
        EXPECT_EQ(field(1, CONTACT_FIELD_FREQUENCY), expected);
    }
    EXPECT_EQ(error_code, 55) << "the frequency methods return no result code";
    EXPECT_EQ(failure_code([](int *e) { return contact_decrease_frequency(kPhone, 8, e); }), kNoContact);
}

// ---- the status queries on my contact ------------------------------------------------

TEST_F(ContactTest, TrackMeAndImAccountsFollowMyContact)
{
    const auto im_setting = [this](int type, int wanted) {
        return status([=](int *e) { return contact_is_contact_me_im_account_setting(type, wanted, e); });
    };
    EXPECT_EQ(status(contact_is_contact_track_me_init), 0);
    EXPECT_EQ(status(contact_is_contact_track_me_stop), 1);
    EXPECT_EQ(status(contact_set_lbs_position), kNoMyContact) << "no my contact to track";
    EXPECT_EQ(im_setting(1, -1), kNoMyContact);
    SampleContact me("Tracked");
    insert_me(me.im(1, 2, "me@im.example.org").im(4, 0, "me@other.example.org"));
    EXPECT_EQ(status(contact_set_lbs_position), 0);
    EXPECT_EQ(status(contact_is_contact_track_me_init), 1);
    EXPECT_EQ(status(contact_is_contact_track_me_stop), 0);
    // (type, wanted status; -1: any) -> whether my contact has such an account
    const std::tuple<int, int, int> accounts[] = {{1, -1, 1}, {1, 2, 1}, {1, 3, 0}, {4, 0, 1}, {2, -1, 0}};
    for (const auto &[type, wanted, answer] : accounts)
        EXPECT_EQ(im_setting(type, wanted), answer) << type << ", " << wanted;
    restart_service();
    EXPECT_EQ(status(contact_is_contact_track_me_init), 1) << "the state is kept";
    ASSERT_EQ(contact_delete_my_contact(&error_code_), 1);
    EXPECT_EQ(status(contact_is_contact_track_me_stop), 1) << "deleting my contact stops tracking";
}

TEST_F(ContactTest, DrmExpiryClearsTheMatchingPaths)
{
    SampleContact a("A"), b("B"), c("C"), me("Me");
    a.everything(); // ringtone /opt/sounds/bell.ogg, photo /home/user/photos/ada.jpg
    set_text(b.record.ringtone_path, "/opt/sounds/bell.ogg");
    set_text(c.record.ringtone_path, "/opt/sounds/other.ogg");
    set_text(me.record.ringtone_path, "/opt/sounds/bell.ogg");
    for (SampleContact *contact : {&a, &b, &c})
        add(*contact);
    insert_me(me);
    const struct {
        int kind;
        const char *path;
        int cleared;
    } cases[] = {{0, "/opt/sounds/bell.ogg", 3}, {0, "/opt/sounds/bell.ogg", 0}, {1, "/home/user/photos/ada.jpg", 1},
                 {1, nullptr, 0}};
    for (const auto &e : cases)
        EXPECT_EQ(status([&](int *code) { return contact_drm_expired(e.kind, e.path, code); }), e.cleared) << e.kind;
    ReceivedContact got;
    ASSERT_EQ(contact_get_contact(kPhone, 1, &got.record, &error_code_), 1);
    EXPECT_STREQ(got.record.ringtone_path, "");
    EXPECT_STREQ(got.record.photo_path, "");
    EXPECT_STREQ(got.record.first_name, "Ada") << "nothing else changes";
    got.release();
    ASSERT_EQ(contact_get_contact(kPhone, 3, &got.record, &error_code_), 1);
    EXPECT_STREQ(got.record.ringtone_path, "/opt/sounds/other.ogg");
    EXPECT_EQ(failure_code([](int *e) { return contact_drm_expired(9, "x", e); }), kInvalidArgument);
}

} // namespace
} // namespace contact_test
