// The call frame itself: the line each step logs, the count + records reply
// helper, and a settings-style operation that opens a connection for its one
// call: arguments are tested before the connection, the connection it opened
// is closed again, one that was open stays open.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "contact-engine-frame.h"
#include "core/contact-engine-errors.h"
#include "contact-engine-wire.h"
#include "test-support.h"

namespace contact_test {
namespace {

using contact_frame::ByteArray;
using contact_frame::ins;
using contact_frame::Operation;
using contact_frame::outs;

constexpr const char *kConnectFailed =
    "\n[DodazorEdidud]%s %d: temporary_count: _contact_init_dbus_connection() failed().\n";
constexpr const char *kCallFailed = "\n[DodazorEdidud]%s %d: temporary_count: org_yora_contact_contact_get_contact_count() failed(%s).\n";

int temporary_count(int storage_type, int *record_count, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op.not_null(record_count, "\n[DodazorEdidud]%s %d: temporary_count: The record_count is NULL.\n")
        .temporary_connection(kConnectFailed)
        .call("contact_get_contact_count", kCallFailed, ins(storage_type), outs(record_count, error_code))
        .result();
}

// Each step logs the line of its own member call, also when its message sits
// on the next line; fail() inside a reply handler logs its own line too.
int two_checks(const int *first, const int *second, int *error_code, int lines[3])
{
    Operation op(__func__, error_code);
    lines[0] = __LINE__ + 1;
    op.not_null(first,
                "\n[DodazorEdidud]%s %d: The first is NULL.\n")
        .not_null(second, "\n[DodazorEdidud]%s %d: The second is NULL.\n")
        .on_success([&](Operation &self) {
            self.fail(CONTACT_ERROR_MALFORMED_REPLY,
                      "\n[DodazorEdidud]%s %d: rejected.\n");
        });
    lines[1] = __LINE__ - 5;
    lines[2] = __LINE__ - 4;
    return op.result();
}

TEST(FrameLines, EachMessageCarriesTheLineOfItsOwnStep)
{
    const int value = 1;
    const struct {
        const int *first;
        const int *second;
        int which;
        int code;
    } cases[] = {
        {nullptr, &value, 0, CONTACT_ERROR_NULL_ARGUMENT},
        {&value, nullptr, 1, CONTACT_ERROR_NULL_ARGUMENT},
        {&value, &value, 2, CONTACT_ERROR_MALFORMED_REPLY},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.which);
        LogCapture log;
        int lines[3] = {};
        int error_code = -1;
        EXPECT_EQ(two_checks(c.first, c.second, &error_code, lines), 0);
        EXPECT_EQ(error_code, c.code);
        ASSERT_EQ(log.errors().size(), 1u);
        const LogEntry entry = log.errors()[0];
        EXPECT_EQ(entry.line, lines[c.which]);
        EXPECT_EQ(entry.file, __FILE__);
        EXPECT_EQ(entry.text.rfind("\n[DodazorEdidud]two_checks " + std::to_string(lines[c.which]) + ": ", 0), 0u)
            << entry.text;
    }
}

// ---- count + array of fixed-size records ----------------------------------

constexpr const char *kShortReply = "\n[DodazorEdidud]%s %d: The reply of %u bytes is shorter than %d records.\n";

struct Decoded {
    int result;
    int error_code;
    std::vector<std::pair<int, int>> records; // (i, the record's first int)
};

Decoded decode_records(const std::vector<guint8> &reply_bytes, int count, std::size_t record_size)
{
    ByteArray reply;
    reply.reset(contact_frame::new_byte_array());
    g_array_append_vals(reply.get(), reply_bytes.data(), guint(reply_bytes.size()));
    Decoded decoded{0, -1, {}};
    Operation op("decode_records", &decoded.error_code);
    decoded.result = op.records(reply, count, record_size, kShortReply, [&](int i, const guint8 *record) {
                           decoded.records.emplace_back(i, contact_wire::read_i32(record, 0));
                       })
                         .result();
    return decoded;
}

// Three 8-byte records whose first ints are 7, -2 and 300.
const std::vector<guint8> kThreeRecords = {7, 0, 0, 0, 9, 9, 9, 9, 0xfe, 0xff, 0xff, 0xff,
                                           9, 9, 9, 9, 0x2c, 1, 0, 0, 9, 9, 9, 9};

TEST(FrameRecords, DecodesEachRecordByItsOffset)
{
    const Decoded decoded = decode_records(kThreeRecords, 3, 8);
    EXPECT_EQ(decoded.result, 1);
    EXPECT_EQ(decoded.error_code, -1);
    EXPECT_EQ(decoded.records, (std::vector<std::pair<int, int>>{{0, 7}, {1, -2}, {2, 300}}));
}

TEST(FrameRecords, FewerRecordsThanTheReplyHoldsAreFine)
{
    EXPECT_EQ(decode_records(kThreeRecords, 2, 8).records.size(), 2u);
    const Decoded none = decode_records({}, 0, 8);
    EXPECT_EQ(none.result, 1);
    EXPECT_TRUE(none.records.empty());
}

TEST(FrameRecords, ShortReplyIsMalformedAndNothingIsDecoded)
{
    LogCapture log;
    const Decoded decoded = decode_records(kThreeRecords, 4, 8);
    EXPECT_EQ(decoded.result, 0);
    EXPECT_EQ(decoded.error_code, CONTACT_ERROR_MALFORMED_REPLY);
    EXPECT_TRUE(decoded.records.empty()) << "nothing written to the caller";
    ASSERT_EQ(log.errors().size(), 1u);
    EXPECT_EQ(log.errors()[0].format, kShortReply);
    EXPECT_NE(log.errors()[0].text.find("The reply of 24 bytes is shorter than 4 records."), std::string::npos)
        << log.errors()[0].text;
}

TEST(FrameRecords, HugeCountDoesNotOverflowTheSizeCheck)
{
    // 0x20000001 * 8 wraps to 8 in 32 bits: a multiplying check would pass.
    const Decoded decoded = decode_records(kThreeRecords, 0x20000001, 8);
    EXPECT_EQ(decoded.error_code, CONTACT_ERROR_MALFORMED_REPLY);
    EXPECT_TRUE(decoded.records.empty());
}

class TemporaryConnectionTest : public ServiceTest {
protected:
    void SetUp() override
    {
        ServiceTest::SetUp();
        contact_finalize(nullptr); // start closed, with the service running
    }
    void TearDown() override
    {
        contact_initialize(nullptr);
        ServiceTest::TearDown();
    }
};

TEST_F(TemporaryConnectionTest, OpensForOneCallAndClosesAgain)
{
    LogCapture log;
    int count = -1;
    int error_code = -1;
    EXPECT_EQ(temporary_count(CONTACT_STORAGE_PHONE, &count, &error_code), 1);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(error_code, 0);
    EXPECT_EQ(g_contact_engine_proxy, nullptr);
    EXPECT_EQ(g_contact_dbus_ref_count, 0) << "the temporary connection does not count";
    EXPECT_TRUE(log.errors().empty());
}

TEST_F(TemporaryConnectionTest, KeepsAConnectionThatWasOpen)
{
    contact_initialize(nullptr);
    int count = -1;
    int error_code = -1;
    EXPECT_EQ(temporary_count(CONTACT_STORAGE_PHONE, &count, &error_code), 1);
    EXPECT_NE(g_contact_engine_proxy, nullptr);
    bool opened = false;
    EXPECT_EQ(contact_is_database_opened(&opened, &error_code), 1);
    EXPECT_TRUE(opened);
    contact_finalize(nullptr);
}

TEST_F(TemporaryConnectionTest, ArgumentsAreTestedBeforeTheConnection)
{
    LogCapture log;
    int error_code = -1;
    EXPECT_EQ(temporary_count(CONTACT_STORAGE_PHONE, nullptr, &error_code), 0);
    EXPECT_EQ(error_code, CONTACT_ERROR_NULL_ARGUMENT);
    EXPECT_EQ(log.error_formats(),
              std::vector<std::string>{"\n[DodazorEdidud]%s %d: temporary_count: The record_count is NULL.\n"});
}

TEST_F(TemporaryConnectionTest, FailedCallMapsTheCodeAndStillCloses)
{
    LogCapture log;
    int count = 5;
    int error_code = -1;
    EXPECT_EQ(temporary_count(42, &count, &error_code), 0);
    EXPECT_EQ(error_code, contact_engine::kUnknownStorage) << "the service's code for an unknown storage";
    EXPECT_EQ(count, 5);
    EXPECT_EQ(g_contact_engine_proxy, nullptr);
    ASSERT_EQ(log.errors().size(), 1u);
    EXPECT_EQ(log.errors()[0].format, kCallFailed);
    EXPECT_NE(log.errors()[0].text.find("failed(" + std::to_string(contact_engine::kUnknownStorage) + ": "), std::string::npos) << log.errors()[0].text;
}

TEST_F(TemporaryConnectionTest, LogLinesCarryTheOperationsOwnSite)
{
    LogCapture log;
    int error_code = -1;
    temporary_count(0, nullptr, &error_code);
    ASSERT_EQ(log.errors().size(), 1u);
    const LogEntry entry = log.errors()[0];
    EXPECT_EQ(entry.file, __FILE__);
    EXPECT_GT(entry.line, 0);
    EXPECT_LT(entry.line, __LINE__);
    EXPECT_EQ(entry.text.rfind("\n[DodazorEdidud]temporary_count " + std::to_string(entry.line) + ": ", 0), 0u)
        << entry.text;
}

} // namespace
} // namespace contact_test
