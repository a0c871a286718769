// The contact operations over the private bus against the real service.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "contact-wire.h"
#include "sample-contact.h"
#include "core/contact-engine-errors.h"
#include "test-support.h"

namespace contact_test {
namespace {

constexpr int kPhone = CONTACT_STORAGE_PHONE;
constexpr int kFdn = CONTACT_STORAGE_FDN;

class ContactTest : public ServiceTest {
protected:
    int add(SampleContact &contact, int storage = kPhone)
    {
        int index = -1;
        int error_code = -1;
        EXPECT_EQ(contact_add_contact(storage, &contact.record, &index, &error_code), 1) << error_code;
        EXPECT_EQ(error_code, 0);
        return index;
    }
    int add(const std::string &name, int storage = kPhone)
    {
        SampleContact contact(name);
        return add(contact, storage);
    }
    int count(int storage = kPhone)
    {
        int records = -1;
        int error_code = -1;
        EXPECT_EQ(contact_get_contact_count(storage, &records, &error_code), 1) << error_code;
        return records;
    }
    std::string field(int index, int field_id)
    {
        std::vector<char> value(CONTACT_FIELD_VALUE_MAX, 'x');
        int error_code = -1;
        EXPECT_EQ(contact_get_field_value(kPhone, index, field_id, value.data(), &error_code), 1) << error_code;
        return value.data();
    }
    // Runs a call that must fail and returns the code it left.
};

// ---- a contact round-trips ----------------------------------------------------

TEST_F(ContactTest, FullContactComesBackByteForByte)
{
    SampleContact sent("Ada Lovelace");
    sent.everything();
    const int index = add(sent);
    EXPECT_EQ(index, 1);
    EXPECT_EQ(sent.record.index, 1);
    EXPECT_EQ(sent.record.storage_type, kPhone);

    ReceivedContact got;
    int error_code = -1;
    ASSERT_EQ(contact_get_contact(kPhone, index, &got.record, &error_code), 1);
    EXPECT_EQ(error_code, 0);
    EXPECT_EQ(wire_form(got.record), wire_form(sent.record));
    EXPECT_STREQ(got.record.display_name, "Ada Lovelace");
    ASSERT_EQ(got.record.phone_info_cnt, 2);
    EXPECT_STREQ(got.record.phone_info[1].number, "020-7946-0001");
    EXPECT_STREQ(got.record.note, sent.record.note);
    ASSERT_NE(got.record.contact_id_data, nullptr);
    EXPECT_EQ(std::memcmp(got.record.contact_id_data, sent.record.contact_id_data, sizeof(contact_id_data_t)), 0);
}

TEST_F(ContactTest, SectionsThatWereNotSentComeBackAbsent)
{
    SampleContact sent("Only Phones");
    sent.phone("123");
    add(sent);
    ReceivedContact got;
    int error_code = -1;
    ASSERT_EQ(contact_get_contact(kPhone, 1, &got.record, &error_code), 1);
    EXPECT_EQ(got.record.email_info, nullptr);
    EXPECT_EQ(got.record.note, nullptr);
    EXPECT_EQ(got.record.contact_id_data, nullptr);
    EXPECT_EQ(wire_form(got.record), wire_form(sent.record));
}

TEST_F(ContactTest, UpdateReplacesTheWholeContact)
{
    SampleContact first("Before");
    first.everything();
    const int index = add(first);
    SampleContact second("After");
    second.phone("999");
    int error_code = -1;
    ASSERT_EQ(contact_update_contact(kPhone, index, &second.record, &error_code), 1);
    EXPECT_EQ(second.record.index, index);
    ReceivedContact got;
    ASSERT_EQ(contact_get_contact(kPhone, index, &got.record, &error_code), 1);
    EXPECT_EQ(wire_form(got.record), wire_form(second.record));
    EXPECT_EQ(got.record.note, nullptr);
}

TEST_F(ContactTest, ContactSurvivesAServiceRestart)
{
    SampleContact sent("Persistent");
    sent.everything();
    add(sent);
    restart_service();
    ReceivedContact got;
    int error_code = -1;
    ASSERT_EQ(contact_get_contact(kPhone, 1, &got.record, &error_code), 1) << error_code;
    EXPECT_EQ(wire_form(got.record), wire_form(sent.record));
}

// ---- addressing: indices, storages, capacity ----------------------------------

TEST_F(ContactTest, AddTakesTheLowestFreeIndex)
{
    EXPECT_EQ(add("a"), 1);
    EXPECT_EQ(add("b"), 2);
    EXPECT_EQ(add("c"), 3);
    int error_code = -1;
    ASSERT_EQ(contact_delete_contact(kPhone, 2, &error_code), 1);
    EXPECT_EQ(error_code, 0);
    int empty = -1;
    ASSERT_EQ(contact_get_empty_contact_index(kPhone, &empty, &error_code), 1);
    EXPECT_EQ(empty, 2);
    EXPECT_EQ(add("d"), 2);
    EXPECT_EQ(count(), 3);
}

TEST_F(ContactTest, InsertAtAGivenIndex)
{
    // The SIM storages take writes once an (empty) card is loaded and open.
    use_sim_card(kEmptySimCard);
    ready_sim_phonebook();
    SampleContact contact("Inserted");
    int error_code = -1;
    ASSERT_EQ(contact_insert_contact(CONTACT_STORAGE_SIM, 17, &contact.record, &error_code), 1);
    EXPECT_EQ(error_code, 0);
    EXPECT_EQ(contact.record.index, 17);
    EXPECT_EQ(contact.record.storage_type, CONTACT_STORAGE_SIM);
    bool exists = false;
    ASSERT_EQ(contact_is_contact_exist(CONTACT_STORAGE_SIM, 17, &exists, &error_code), 1);
    EXPECT_TRUE(exists);
    ASSERT_EQ(contact_is_contact_exist(kPhone, 17, &exists, &error_code), 1);
    EXPECT_FALSE(exists) << "storages are separate";

    SampleContact again("Second");
    EXPECT_EQ(failure_code([&](int *code) { return contact_insert_contact(CONTACT_STORAGE_SIM, 17, &again.record, code); }),
              contact_engine::kIndexInUse);
    EXPECT_EQ(again.record.index, 0) << "a failed call changes nothing in the record";
}

TEST_F(ContactTest, CapacityPerStorage)
{
    // The phone's is the default of --phone-capacity.
    const std::pair<int, int> capacities[] = {{kPhone, 100000}, {CONTACT_STORAGE_SIM, 250}, {CONTACT_STORAGE_SIM2, 250},
                                              {kFdn, 20}, {CONTACT_STORAGE_SDN, 20}, {CONTACT_STORAGE_PHONE_ALIAS, 100000}};
    for (auto [storage, capacity] : capacities) {
        int max = -1;
        int error_code = -1;
        ASSERT_EQ(contact_get_max_contact_count(storage, &max, &error_code), 1) << storage;
        EXPECT_EQ(max, capacity) << storage;
        EXPECT_EQ(error_code, 0);
    }
}

TEST_F(ContactTest, PhoneAliasSharesThePhoneRows)
{
    add("Shared");
    ReceivedContact got;
    int error_code = -1;
    ASSERT_EQ(contact_get_contact(CONTACT_STORAGE_PHONE_ALIAS, 1, &got.record, &error_code), 1);
    EXPECT_STREQ(got.record.display_name, "Shared");
    EXPECT_EQ(got.record.storage_type, kPhone);
    EXPECT_EQ(count(CONTACT_STORAGE_PHONE_ALIAS), 1);
}

TEST_F(ContactTest, FullStorageRefusesMore)
{
    // The SIM storages take writes once an (empty) card is loaded and open.
    use_sim_card(kEmptySimCard);
    ready_sim_phonebook();
    for (int i = 1; i <= 20; ++i)
        ASSERT_EQ(add("fdn " + std::to_string(i), kFdn), i);
    SampleContact one_more("21st");
    int index = -1;
    EXPECT_EQ(failure_code([&](int *code) { return contact_add_contact(kFdn, &one_more.record, &index, code); }), contact_engine::kStorageFull);
    EXPECT_EQ(index, -1);
    int empty = 0;
    int error_code = -1;
    EXPECT_EQ(contact_get_empty_contact_index(kFdn, &empty, &error_code), 1);
    EXPECT_EQ(error_code, contact_engine::kStorageFull) << "a full storage answers with its result code";
    EXPECT_EQ(empty, -1);
}

TEST_F(ContactTest, BadAddressesGetTheServicesCodes)
{
    add("present");
    ReceivedContact got;
    bool exists = true;
    struct Case {
        int storage, index, expected;
    };
    for (Case c : {Case{42, 1, 11}, Case{-1, 1, 11}, Case{CONTACT_STORAGE_MY_CONTACT, 1, 24},
                   Case{CONTACT_STORAGE_MY_CONTACT_ALIAS, 1, 24}, Case{kPhone, 0, 13}, Case{kPhone, 100001, 13},
                   Case{kFdn, 21, 13}, Case{kPhone, 5, 12}}) {
        SCOPED_TRACE(::testing::Message() << "storage " << c.storage << " index " << c.index);
        EXPECT_EQ(failure_code([&](int *code) { return contact_get_contact(c.storage, c.index, &got.record, code); }),
                  c.expected);
        EXPECT_EQ(failure_code([&](int *code) { return contact_delete_contact(c.storage, c.index, code); }), c.expected);
        EXPECT_EQ(failure_code([&](int *code) { return contact_increase_frequency(c.storage, c.index, code); }),
                  c.expected);
        if (c.expected != 12) {
            EXPECT_EQ(failure_code([&](int *code) { return contact_is_contact_exist(c.storage, c.index, &exists, code); }),
                      c.expected);
        }
    }
    EXPECT_TRUE(exists) << "a failed call leaves the answer variable alone";
    EXPECT_EQ(count(), 1);
}

TEST_F(ContactTest, DeleteAllEmptiesOneStorageOnly)
{
    // The SIM storages take writes once an (empty) card is loaded and open.
    use_sim_card(kEmptySimCard);
    ready_sim_phonebook();
    add("p1");
    add("p2");
    add("s1", CONTACT_STORAGE_SIM);
    int error_code = -1;
    ASSERT_EQ(contact_delete_all_contacts(kPhone, &error_code), 1);
    EXPECT_EQ(error_code, 0);
    EXPECT_EQ(count(), 0);
    EXPECT_EQ(count(CONTACT_STORAGE_SIM), 1);
    ASSERT_EQ(contact_delete_all_contacts(kPhone, &error_code), 1) << "an empty storage is fine";
}

TEST_F(ContactTest, AllIndicesInAscendingOrder)
{
    for (int index : {30, 4, 1999})
        ASSERT_EQ(
            [&] {
                SampleContact c("at " + std::to_string(index));
                int error_code = -1;
                return contact_insert_contact(kPhone, index, &c.record, &error_code);
            }(),
            1);
    std::vector<int> indices(2000, -7);
    int found = -1;
    int error_code = -1;
    ASSERT_EQ(contact_get_all_contact_indices(kPhone, indices.data(), &found, &error_code), 1);
    ASSERT_EQ(found, 3);
    EXPECT_EQ(std::vector<int>(indices.begin(), indices.begin() + 4), (std::vector<int>{4, 30, 1999, -7}));

    std::vector<int> untouched(4, -7);
    ASSERT_EQ(contact_get_all_contact_indices(CONTACT_STORAGE_SDN, untouched.data(), &found, &error_code), 1);
    EXPECT_EQ(found, 0);
    EXPECT_EQ(untouched, std::vector<int>(4, -7));
}

// ---- fields and frequency -------------------------------------------------------

TEST_F(ContactTest, FieldsReadWhatTheRecordHolds)
{
    SampleContact contact("Ada Lovelace");
    contact.everything();
    add(contact);
    EXPECT_EQ(field(1, CONTACT_FIELD_DISPLAY_NAME), "Ada Lovelace");
    EXPECT_EQ(field(1, CONTACT_FIELD_FIRST_NAME), "Ada");
    EXPECT_EQ(field(1, CONTACT_FIELD_COMPANY), "Analytical Engines Ltd");
    EXPECT_EQ(field(1, CONTACT_FIELD_BIRTHDAY), "1815-12-10");
    EXPECT_EQ(field(1, CONTACT_FIELD_FAVOURITE), "1");
    EXPECT_EQ(field(1, CONTACT_FIELD_FREQUENCY), "0");
    EXPECT_EQ(field(1, CONTACT_FIELD_FIRST_NUMBER), "+44 20 7946 0000");
    EXPECT_EQ(field(1, CONTACT_FIELD_NOTE), contact.record.note);
}

TEST_F(ContactTest, EmptyFieldFillsTheBufferWithNuls)
{
    add("x");
    std::vector<char> value(CONTACT_FIELD_VALUE_MAX, 'x');
    int error_code = -1;
    ASSERT_EQ(contact_get_field_value(kPhone, 1, CONTACT_FIELD_NICKNAME, value.data(), &error_code), 1);
    EXPECT_EQ(std::string(value.begin(), value.end()), std::string(CONTACT_FIELD_VALUE_MAX, '\0'));
}

TEST_F(ContactTest, ChangedFieldIsSeenInTheWholeRecord)
{
    SampleContact contact("Old Name");
    contact.phone("1");
    add(contact);
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

TEST_F(ContactTest, BadFieldChangesAreRefused)
{
    add("Unchanged");
    struct Case {
        int field_id;
        std::string value;
        int expected;
    };
    for (const Case &c : {Case{CONTACT_FIELD_BIRTHDAY, "yesterday", 10}, Case{CONTACT_FIELD_BIRTHDAY, "2023-02-30", 10},
                          Case{CONTACT_FIELD_FAVOURITE, "yes", 10}, Case{CONTACT_FIELD_FREQUENCY, "5", 22},
                          Case{CONTACT_FIELD_FIRST_NUMBER, "123", 22}, Case{99, "x", 17}, Case{-1, "x", 17},
                          Case{CONTACT_FIELD_DISPLAY_NAME, std::string(128, 'n'), 18},
                          Case{CONTACT_FIELD_DISPLAY_NAME, "bad \xff utf-8", CONTACT_ERROR_OUT_OF_RANGE}}) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(failure_code([&](int *code) {
                      return contact_change_field_value(kPhone, 1, c.field_id, c.value.c_str(), code);
                  }),
                  c.expected);
    }
    EXPECT_EQ(failure_code([&](int *code) {
                  return contact_change_field_value(kPhone, 2, CONTACT_FIELD_DISPLAY_NAME, "x", code);
              }),
              12);
    EXPECT_EQ(field(1, CONTACT_FIELD_DISPLAY_NAME), "Unchanged");
    EXPECT_EQ(field(1, CONTACT_FIELD_BIRTHDAY), "");
}

TEST_F(ContactTest, FrequencyGoesUpAndDownButNotBelowZero)
{
    add("Often called");
    int error_code = 55;
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(contact_increase_frequency(kPhone, 1, &error_code), 1);
    ASSERT_EQ(contact_decrease_frequency(kPhone, 1, &error_code), 1);
    EXPECT_EQ(error_code, 55) << "the frequency methods return no result code";
    EXPECT_EQ(field(1, CONTACT_FIELD_FREQUENCY), "2");
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(contact_decrease_frequency(kPhone, 1, &error_code), 1);
    EXPECT_EQ(field(1, CONTACT_FIELD_FREQUENCY), "0");
    EXPECT_EQ(failure_code([](int *code) { return contact_decrease_frequency(kPhone, 8, code); }), contact_engine::kNoContact);
}

TEST_F(ContactTest, FdnListMatchesNormalisedNumbersAndPrefixes)
{
    // The SIM storages take writes once an (empty) card is loaded and open.
    use_sim_card(kEmptySimCard);
    ready_sim_phonebook();
    SampleContact emergency("Emergency");
    emergency.phone("112");
    SampleContact office("Office");
    office.phone("+44 (20) 7946-0000");
    add(emergency, kFdn);
    add(office, kFdn);
    SampleContact phone_only("Not FDN");
    phone_only.phone("555 0100");
    add(phone_only);

    struct Case {
        const char *number;
        bool expected;
    };
    for (Case c : {Case{"112", true}, Case{"+442079460000", true}, Case{"+44 20 7946 0000", true},
                   Case{"1125", true}, Case{"5550100", false}, Case{"11", false}}) {
        bool exists = !c.expected;
        int error_code = 31;
        ASSERT_EQ(contact_is_fdn_phone_number_exist(c.number, &exists, &error_code), 1) << c.number;
        EXPECT_EQ(exists, c.expected) << c.number;
        EXPECT_EQ(error_code, 31);
    }
}

// ---- input the service refuses ------------------------------------------------

TEST_F(ContactTest, RecordThatBreaksItsCountsIsRefused)
{
    add("kept");
    SampleContact broken("broken");
    broken.record.email_info_cnt = 2; // no data behind the count: the array is short
    int index = -1;
    EXPECT_EQ(failure_code([&](int *code) { return contact_add_contact(kPhone, &broken.record, &index, code); }), contact_engine::kMalformedRecord);
    EXPECT_EQ(failure_code([&](int *code) { return contact_update_contact(kPhone, 1, &broken.record, code); }), contact_engine::kMalformedRecord);
    EXPECT_EQ(count(), 1);
    EXPECT_EQ(field(1, CONTACT_FIELD_DISPLAY_NAME), "kept");
}

TEST_F(ContactTest, RecordWithInvalidTextIsRefused)
{
    SampleContact bad_name("caf\xc3");
    int index = -1;
    EXPECT_EQ(failure_code([&](int *code) { return contact_add_contact(kPhone, &bad_name.record, &index, code); }), contact_engine::kInvalidUtf8);
    SampleContact bad_note("fine");
    bad_note.note("ok \xe2\x82 truncated");
    EXPECT_EQ(failure_code([&](int *code) { return contact_add_contact(kPhone, &bad_note.record, &index, code); }), contact_engine::kInvalidUtf8);
    SampleContact unterminated("x");
    std::memset(unterminated.record.display_name, 'a', sizeof unterminated.record.display_name);
    EXPECT_EQ(failure_code([&](int *code) { return contact_add_contact(kPhone, &unterminated.record, &index, code); }),
              16);
    EXPECT_EQ(count(), 0);
    EXPECT_EQ(add("the service is still up"), 1);
}

} // namespace
} // namespace contact_test
