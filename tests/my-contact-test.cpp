// My contact and the status queries over the private bus.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "contact-wire.h"
#include "sample-contact.h"
#include "core/contact-engine-errors.h"
#include "test-support.h"

namespace contact_test {
namespace {

class MyContactTest : public ServiceTest {
protected:
    void insert(SampleContact &contact)
    {
        int error_code = -1;
        ASSERT_EQ(contact_insert_my_contact(&contact.record, &error_code), 1) << error_code;
        EXPECT_EQ(error_code, 0);
    }
    // The result code of a status query that must succeed.
    int status(const std::function<int(int *)> &query)
    {
        int error_code = -1;
        EXPECT_EQ(query(&error_code), 1) << error_code;
        return error_code;
    }
};

TEST_F(MyContactTest, StoredWholeAndReadBack)
{
    SampleContact me("Me Myself");
    me.everything();
    insert(me);
    EXPECT_EQ(me.record.index, 0) << "insert does not change the caller's record";

    ReceivedContact got;
    int error_code = -1;
    ASSERT_EQ(contact_get_my_contact(&got.record, &error_code), 1);
    EXPECT_EQ(error_code, 0);
    EXPECT_STREQ(got.record.display_name, "Me Myself");
    EXPECT_EQ(got.record.storage_type, CONTACT_STORAGE_MY_CONTACT);
    auto sent = wire_form(me.record);
    contact_wire::write_i32(sent.data(), contact_wire::offset::storage_type, CONTACT_STORAGE_MY_CONTACT);
    EXPECT_EQ(wire_form(got.record), sent);
}

TEST_F(MyContactTest, UpdateDeleteAndTheirRefusals)
{
    SampleContact me("First");
    ReceivedContact got;
    EXPECT_EQ(failure_code([&](int *e) { return contact_update_my_contact(&me.record, e); }), contact_engine::kNoMyContact);
    EXPECT_EQ(failure_code([&](int *e) { return contact_delete_my_contact(e); }), contact_engine::kNoMyContact);
    EXPECT_EQ(failure_code([&](int *e) { return contact_get_my_contact(&got.record, e); }), contact_engine::kNoMyContact);

    insert(me);
    EXPECT_EQ(failure_code([&](int *e) { return contact_insert_my_contact(&me.record, e); }), contact_engine::kMyContactExists);

    int error_code = -1;

    SampleContact changed("Second");
    changed.phone("+1 555 0100");
    ASSERT_EQ(contact_update_my_contact(&changed.record, &error_code), 1);
    ASSERT_EQ(contact_get_my_contact(&got.record, &error_code), 1);
    EXPECT_STREQ(got.record.display_name, "Second");
    ASSERT_EQ(got.record.phone_info_cnt, 1);

    ASSERT_EQ(contact_delete_my_contact(&error_code), 1);
    EXPECT_EQ(error_code, 0);
    got.release();
    EXPECT_EQ(contact_get_my_contact(&got.record, &error_code), 0);
    EXPECT_EQ(error_code, contact_engine::kNoMyContact);
}

TEST_F(MyContactTest, SurvivesARestartAndStaysOutOfTheContactTable)
{
    SampleContact me("Persistent Me");
    me.note("hello");
    insert(me);
    restart_service();
    ReceivedContact got;
    int error_code = -1;
    ASSERT_EQ(contact_get_my_contact(&got.record, &error_code), 1);
    EXPECT_STREQ(got.record.note, "hello");
    int count = -1;
    ASSERT_EQ(contact_get_contact_count(CONTACT_STORAGE_PHONE, &count, &error_code), 1);
    EXPECT_EQ(count, 0);
}

TEST_F(MyContactTest, MalformedMyContactIsRefused)
{
    SampleContact broken("broken");
    broken.record.note_len = 10; // count without its text
    int error_code = -1;
    EXPECT_EQ(contact_insert_my_contact(&broken.record, &error_code), 0);
    EXPECT_EQ(error_code, contact_engine::kMalformedRecord);
    ReceivedContact got;
    EXPECT_EQ(contact_get_my_contact(&got.record, &error_code), 0);
    EXPECT_EQ(error_code, contact_engine::kNoMyContact) << "nothing was stored";
}

TEST_F(MyContactTest, TrackMeFollowsTheLbsPosition)
{
    EXPECT_EQ(status(contact_is_contact_track_me_init), 0);
    EXPECT_EQ(status(contact_is_contact_track_me_stop), 1);
    EXPECT_EQ(status(contact_set_lbs_position), contact_engine::kNoMyContact) << "no my contact to track";

    SampleContact me("Tracked");
    insert(me);
    EXPECT_EQ(status(contact_set_lbs_position), 0);
    EXPECT_EQ(status(contact_is_contact_track_me_init), 1);
    EXPECT_EQ(status(contact_is_contact_track_me_stop), 0);

    restart_service();
    EXPECT_EQ(status(contact_is_contact_track_me_init), 1) << "the state is kept";

    int error_code = -1;
    ASSERT_EQ(contact_delete_my_contact(&error_code), 1);
    EXPECT_EQ(status(contact_is_contact_track_me_stop), 1) << "deleting my contact stops tracking";
}

TEST_F(MyContactTest, ImAccountSettingLooksAtMyContactsAccounts)
{
    auto setting = [this](int type, int wanted) {
        return status([=](int *code) { return contact_is_contact_me_im_account_setting(type, wanted, code); });
    };
    EXPECT_EQ(setting(1, -1), contact_engine::kNoMyContact);
    SampleContact me("IM user");
    me.im(1, 2, "me@im.example.org").im(4, 0, "me@other.example.org");
    insert(me);
    EXPECT_EQ(setting(1, -1), 1);
    EXPECT_EQ(setting(1, 2), 1);
    EXPECT_EQ(setting(1, 3), 0);
    EXPECT_EQ(setting(4, 0), 1);
    EXPECT_EQ(setting(2, -1), 0);
}

TEST_F(MyContactTest, DrmExpiryClearsTheMatchingPaths)
{
    SampleContact a("A");
    a.everything(); // ringtone /opt/sounds/bell.ogg, photo /home/user/photos/ada.jpg
    SampleContact b("B");
    set_text(b.record.ringtone_path, "/opt/sounds/bell.ogg");
    SampleContact c("C");
    set_text(c.record.ringtone_path, "/opt/sounds/other.ogg");
    int index = -1;
    int error_code = -1;
    for (SampleContact *contact : {&a, &b, &c})
        ASSERT_EQ(contact_add_contact(CONTACT_STORAGE_PHONE, &contact->record, &index, &error_code), 1);
    SampleContact me("Me");
    set_text(me.record.ringtone_path, "/opt/sounds/bell.ogg");
    insert(me);

    EXPECT_EQ(status([](int *code) { return contact_drm_expired(0, "/opt/sounds/bell.ogg", code); }), 3);
    EXPECT_EQ(status([](int *code) { return contact_drm_expired(0, "/opt/sounds/bell.ogg", code); }), 0);
    EXPECT_EQ(status([](int *code) { return contact_drm_expired(1, "/home/user/photos/ada.jpg", code); }), 1);
    EXPECT_EQ(status([](int *code) { return contact_drm_expired(1, nullptr, code); }), 0) << "no text, no match";

    ReceivedContact got;
    ASSERT_EQ(contact_get_contact(CONTACT_STORAGE_PHONE, 1, &got.record, &error_code), 1);
    EXPECT_STREQ(got.record.ringtone_path, "");
    EXPECT_STREQ(got.record.photo_path, "");
    EXPECT_STREQ(got.record.first_name, "Ada") << "nothing else changes";
    got.release();
    ASSERT_EQ(contact_get_contact(CONTACT_STORAGE_PHONE, 3, &got.record, &error_code), 1);
    EXPECT_STREQ(got.record.ringtone_path, "/opt/sounds/other.ogg");

    EXPECT_EQ(contact_drm_expired(9, "x", &error_code), 0);
    EXPECT_EQ(error_code, contact_engine::kInvalidArgument);
}

} // namespace
} // namespace contact_test
