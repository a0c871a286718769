// The service as any bus client sees it, without the library: byte arrays
// the library would never send, the failure convention of the replies, and
// the bus's own answer to a method the service does not have.
#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>

#include <cstring>
#include <string>
#include <vector>

#include "contact-engine-bus.h"
#include "contact-engine-wire.h"
#include "core/contact-engine-errors.h"
#include "test-support.h"

namespace contact_test {
namespace {

using Bytes = std::vector<std::uint8_t>;

class RawServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        (void)bus();
        service_.start();
        connection_ = sdbus::createSystemBusConnection();
        proxy_ = sdbus::createProxy(*connection_, CONTACT_ENGINE_BUS_NAME, CONTACT_ENGINE_OBJECT_PATH);
    }
    void TearDown() override { EXPECT_EQ(service_.stop(), 0); }

    // The error a call of `method` fails with; the test fails if it succeeds.
    template <class... Args> sdbus::Error failure(const char *method, const Args &...args)
    {
        try {
            auto call = proxy_->createMethodCall(CONTACT_ENGINE_INTERFACE, method);
            (void)(call << ... << args);
            proxy_->callMethod(call);
        } catch (const sdbus::Error &error) {
            return error;
        }
        ADD_FAILURE() << method << " succeeded";
        return sdbus::Error("none", "none");
    }
    int count()
    {
        int records = -1, result = -1;
        proxy_->callMethod("contact_get_contact_count").onInterface(CONTACT_ENGINE_INTERFACE).withArguments(0).storeResultsTo(
            records, result);
        return records;
    }
    static int code_of(const sdbus::Error &error) { return std::stoi(error.getMessage()); }

    TempDir dir_;
    ServiceProcess service_{dir_.path() + "/contacts.db"};
    std::unique_ptr<sdbus::IConnection> connection_;
    std::unique_ptr<sdbus::IProxy> proxy_;
};

Bytes fixed_part()
{
    return Bytes(contact_wire::kFixedSize, 0);
}

TEST_F(RawServiceTest, ArraysThatDoNotMatchTheirCountsAreRefused)
{
    Bytes too_short(10, 0);
    Bytes long_by_one = fixed_part();
    long_by_one.push_back(0);
    Bytes counts_past_end = fixed_part();
    contact_wire::write_i32(counts_past_end.data(), contact_wire::offset::postal_info_cnt, 3);
    Bytes negative = fixed_part();
    contact_wire::write_i32(negative.data(), contact_wire::offset::sns_cnt, -2);
    Bytes huge = fixed_part();
    contact_wire::write_i32(huge.data(), contact_wire::offset::phone_info_cnt, 0x7fffffff);
    Bytes id_without_block = fixed_part();
    contact_wire::write_i32(id_without_block.data(), contact_wire::offset::contact_id_data, 0x1234);
    for (const Bytes *record : {&too_short, &long_by_one, &counts_past_end, &negative, &huge, &id_without_block}) {
        const sdbus::Error error = failure("contact_add_contact", 0, *record);
        EXPECT_EQ(code_of(error), contact_engine::kMalformedRecord) << error.getMessage();
        EXPECT_EQ(error.getName(), "com.quorvel.contact.engine.Error.MalformedRecord");
    }
    EXPECT_EQ(count(), 0) << "nothing was stored";
}

TEST_F(RawServiceTest, TextSectionsMustBeTerminatedUtf8)
{
    Bytes note_without_nul = fixed_part();
    contact_wire::write_i32(note_without_nul.data(), contact_wire::offset::note_len, 3);
    for (char c : std::string("abcd"))
        note_without_nul.push_back(std::uint8_t(c));
    Bytes inner_nul = fixed_part();
    contact_wire::write_i32(inner_nul.data(), contact_wire::offset::about_len, 3);
    for (std::uint8_t c : {'a', '\0', 'c', '\0'})
        inner_nul.push_back(c);
    Bytes overlong = fixed_part();
    contact_wire::write_i32(overlong.data(), contact_wire::offset::presence_text_len, 2);
    for (std::uint8_t c : {0xc0, 0xaf, 0x00}) // an overlong '/'
        overlong.push_back(c);
    for (const Bytes *record : {&note_without_nul, &inner_nul, &overlong})
        EXPECT_EQ(code_of(failure("contact_insert_my_contact", *record)), contact_engine::kInvalidUtf8);
}

TEST_F(RawServiceTest, ErrorsStartWithTheCodeAndAReason)
{
    const sdbus::Error error = failure("contact_delete_contact", 0, 7);
    EXPECT_EQ(error.getMessage(), std::to_string(contact_engine::kNoContact) + ": no contact at index 7 of storage 0");
    EXPECT_EQ(code_of(failure("contact_get_contact_count", 99)), contact_engine::kUnknownStorage);
}

TEST_F(RawServiceTest, UnknownMethodGetsTheBussOwnError)
{
    const sdbus::Error error = failure("contact_no_such_method");
    EXPECT_EQ(error.getName(), "org.freedesktop.DBus.Error.UnknownMethod");
    EXPECT_EQ(std::strtol(error.getMessage().c_str(), nullptr, 10), 0) << "no code in the bus's own text";
}

TEST_F(RawServiceTest, PointerValuesAreNotKept)
{
    Bytes record = fixed_part();
    contact_wire::write_i32(record.data(), contact_wire::offset::phone_info, 0x0badf00d); // no phones
    contact_wire::write_i32(record.data(), contact_wire::offset::note, 0x12345678);
    record[contact_wire::kFixedSize - 1] = 0x5a; // opaque tail byte
    int index = -1, result = -1;
    proxy_->callMethod("contact_add_contact").onInterface(CONTACT_ENGINE_INTERFACE).withArguments(6, record).storeResultsTo(
        index, result);
    Bytes back;
    proxy_->callMethod("contact_get_contact").onInterface(CONTACT_ENGINE_INTERFACE).withArguments(0, index).storeResultsTo(
        back, result);
    ASSERT_EQ(back.size(), contact_wire::kFixedSize);
    EXPECT_EQ(contact_wire::read_i32(back.data(), contact_wire::offset::phone_info), 0);
    EXPECT_EQ(contact_wire::read_i32(back.data(), contact_wire::offset::note), 0);
    EXPECT_EQ(contact_wire::read_i32(back.data(), contact_wire::offset::index), 1);
    EXPECT_EQ(contact_wire::read_i32(back.data(), contact_wire::offset::storage_type), 0) << "6 names the phone storage";
    EXPECT_EQ(back.back(), 0x5a);
}

} // namespace
} // namespace contact_test
