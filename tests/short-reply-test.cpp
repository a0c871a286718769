// Replies that do not hold what they announce.  A responder in this test
// process takes the service's name on the private bus and answers with
// arrays shorter than their counts; the library must not read past them,
// must fail with CONTACT_ERROR_MALFORMED_REPLY, and must leave the caller's
// record and array untouched.
#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>

#include <cstring>
#include <memory>
#include <vector>

#include "contact-engine-bus.h"
#include "contact-engine-wire.h"
#include "sample-contact.h"
#include "responder.h"
#include "test-support.h"

namespace contact_test {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A fixed part that announces two phone entries and a 3-character note.
Bytes announcing_sections(std::size_t keep)
{
    Bytes record(contact_wire::kFixedSize, 0);
    contact_wire::write_i32(record.data(), contact_wire::offset::phone_info_cnt, 2);
    contact_wire::write_i32(record.data(), contact_wire::offset::note_len, 3);
    std::strcpy(reinterpret_cast<char *>(record.data() + contact_wire::offset::display_name), "short");
    record.resize(keep, 'z');
    return record;
}

class ShortReplyTest : public ResponderTest {
protected:
    void register_methods() override
    {
        const char *interface = CONTACT_ENGINE_INTERFACE;
        object_->registerMethod("contact_get_contact")
            .onInterface(interface)
            .implementedAs([](int, int index) { return std::make_tuple(announcing_sections(std::size_t(index)), 0); });
        object_->registerMethod("contact_get_my_contact").onInterface(interface).implementedAs([] {
            return std::make_tuple(announcing_sections(100), 0);
        });
        object_->registerMethod("contact_get_all_contact_indices").onInterface(interface).implementedAs([](int count) {
            return std::make_tuple(Bytes{1, 0, 0, 0, 2, 0, 0, 0}, count);
        });
    }

};

TEST_F(ShortReplyTest, ContactShorterThanItsSectionsIsRejected)
{
    // 4480 + 112 + 4 would be whole; every shorter length is refused.
    for (int length : {0, 16, 4479, 4480, 4480 + 111, 4480 + 112 + 3}) {
        SCOPED_TRACE(length);
        LogCapture log;
        ReceivedContact got;
        std::strcpy(got.record.display_name, "untouched");
        int error_code = -1;
        EXPECT_EQ(contact_get_contact(0, length, &got.record, &error_code), 0);
        EXPECT_EQ(error_code, CONTACT_ERROR_MALFORMED_REPLY);
        EXPECT_STREQ(got.record.display_name, "untouched");
        EXPECT_EQ(got.record.phone_info, nullptr);
        ASSERT_EQ(log.errors().size(), 1u);
        EXPECT_NE(log.errors()[0].text.find("does not hold the contact it announces"), std::string::npos);
    }
    ReceivedContact whole;
    int error_code = -1;
    EXPECT_EQ(contact_get_contact(0, 4480 + 112 + 4, &whole.record, &error_code), 1) << "the whole reply is read";
    EXPECT_STREQ(whole.record.display_name, "short");
    EXPECT_EQ(whole.record.note_len, 3);
}

TEST_F(ShortReplyTest, ShortMyContactIsRejected)
{
    ReceivedContact got;
    std::strcpy(got.record.display_name, "untouched");
    int error_code = -1;
    EXPECT_EQ(contact_get_my_contact(&got.record, &error_code), 0);
    EXPECT_EQ(error_code, CONTACT_ERROR_MALFORMED_REPLY);
    EXPECT_STREQ(got.record.display_name, "untouched");
}

TEST_F(ShortReplyTest, IndexListShorterThanItsCountIsRejected)
{
    std::vector<int> indices(8, -1);
    int count = -1;
    int error_code = -1;
    // The responder announces as many indices as the storage number asks for.
    EXPECT_EQ(contact_get_all_contact_indices(5, indices.data(), &count, &error_code), 0);
    EXPECT_EQ(error_code, CONTACT_ERROR_MALFORMED_REPLY);
    EXPECT_EQ(indices, std::vector<int>(8, -1));

    error_code = -1;
    EXPECT_EQ(contact_get_all_contact_indices(2, indices.data(), &count, &error_code), 1);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(indices[0], 1);
    EXPECT_EQ(indices[1], 2);
    EXPECT_EQ(indices[2], -1);
}

} // namespace
} // namespace contact_test
