// The call frame itself, through a settings-style operation that opens a
// connection for its one call: arguments are tested before the connection,
// the connection it opened is closed again, one that was open stays open.
#include <gtest/gtest.h>

#include "contact-engine-frame.h"
#include "contact-engine-errors.h"
#include "test-support.h"

namespace contact_test {
namespace {

using contact_frame::ins;
using contact_frame::Operation;
using contact_frame::outs;

constexpr const char *kConnectFailed =
    "\n[DodazorEdidud]%s %d: temporary_count: _contact_init_dbus_connection() failed().\n";
constexpr const char *kCallFailed = "\n[DodazorEdidud]%s %d: temporary_count: org_yora_contact_contact_get_contact_count() failed(%s).\n";

int temporary_count(int storage_type, int *record_count, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(CONTACT_OPERATION, error_code);
    return op.not_null(__LINE__, record_count, "\n[DodazorEdidud]%s %d: temporary_count: The record_count is NULL.\n")
        .temporary_connection(__LINE__, kConnectFailed)
        .call(__LINE__, "contact_get_contact_count", kCallFailed, ins(storage_type), outs(record_count, error_code))
        .result();
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
