// The call frame itself: the line each step logs and the count + records
// reply helper.  The frame's temporary connection is tested through the
// settings operations that use it (settings-test.cpp).
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "contact-engine-frame.h"
#include "contact-engine-wire.h"
#include "test-support.h"

namespace contact_test {
namespace {

using contact_frame::ByteArray;
using contact_frame::Operation;

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

} // namespace
} // namespace contact_test
