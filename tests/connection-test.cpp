// The shared connection: counting, synonyms, open and closed states, and
// what a call does when the service is not there.
#include <gtest/gtest.h>

#include <regex>

#include "contact-engine.h"
#include "test-support.h"

namespace contact_test {
namespace {

bool opened()
{
    bool state = true;
    int error_code = -1;
    EXPECT_EQ(contact_is_database_opened(&state, &error_code), 1);
    EXPECT_EQ(error_code, -1) << "contact_is_database_opened never writes error_code on success";
    return state;
}

// The count as the connection functions trace it.
int traced_count(const LogCapture &log)
{
    const auto traces = log.traces();
    EXPECT_FALSE(traces.empty());
    if (traces.empty())
        return 0x7fffffff;
    std::smatch match;
    const std::regex pattern(">>>>>>>>>>>>g_contact_dbus_ref_count = (-?[0-9]+)\n$");
    EXPECT_TRUE(std::regex_search(traces.back().text, match, pattern)) << traces.back().text;
    return std::stoi(match[1]);
}

class ConnectionTest : public ::testing::Test {
protected:
    void SetUp() override { (void)bus(); }
    void TearDown() override
    {
        // Leave the process closed with a count of 0 for the next test.
        while (opened() || count_ != 0) {
            if (count_ > 0) {
                contact_finalize(nullptr);
                --count_;
            } else {
                contact_initialize(nullptr);
                ++count_;
            }
        }
    }
    int initialize()
    {
        ++count_;
        return contact_initialize(nullptr);
    }
    int finalize()
    {
        --count_;
        return contact_finalize(nullptr);
    }
    int count_ = 0;
};

TEST_F(ConnectionTest, CountsInitializeAndFinalize)
{
    LogCapture log;
    EXPECT_FALSE(opened()) << "nothing is connected at load time";
    EXPECT_EQ(initialize(), 1);
    EXPECT_EQ(traced_count(log), 1);
    EXPECT_TRUE(opened());
    EXPECT_EQ(initialize(), 1);
    EXPECT_EQ(traced_count(log), 2);
    EXPECT_EQ(finalize(), 1);
    EXPECT_EQ(traced_count(log), 1);
    EXPECT_TRUE(opened()) << "a count above 0 keeps the connection";
    EXPECT_EQ(finalize(), 1);
    EXPECT_EQ(traced_count(log), 0);
    EXPECT_FALSE(opened());
    EXPECT_TRUE(log.errors().empty());
}

TEST_F(ConnectionTest, SynonymsShareTheCount)
{
    LogCapture log;
    EXPECT_EQ(contact_open_database(nullptr), 1);
    ++count_;
    EXPECT_EQ(initialize(), 1);
    EXPECT_EQ(traced_count(log), 2);
    EXPECT_EQ(contact_close_database(nullptr), 1);
    --count_;
    EXPECT_TRUE(opened());
    EXPECT_EQ(finalize(), 1);
    EXPECT_FALSE(opened());
}

TEST_F(ConnectionTest, UnmatchedFinalizeGoesBelowZeroAndReleasesNothing)
{
    LogCapture log;
    EXPECT_EQ(finalize(), 1);
    EXPECT_EQ(traced_count(log), -1);
    EXPECT_EQ(log.traces().size(), 1u);
    EXPECT_TRUE(log.errors().empty()) << "reaching -1 with nothing open is no disconnect";

    // A connection opened while the count is 0 or below stays open until a
    // finalize brings the count to exactly 0.
    EXPECT_EQ(initialize(), 1);
    EXPECT_EQ(traced_count(log), 0);
    EXPECT_TRUE(opened());
    EXPECT_EQ(finalize(), 1);
    EXPECT_EQ(traced_count(log), -1);
    EXPECT_TRUE(opened());
    EXPECT_EQ(initialize(), 1);
    EXPECT_EQ(initialize(), 1);
    EXPECT_EQ(finalize(), 1);
    EXPECT_EQ(traced_count(log), 0);
    EXPECT_FALSE(opened());
}

TEST_F(ConnectionTest, IsDatabaseOpenedRejectsNull)
{
    LogCapture log;
    int error_code = -1;
    EXPECT_EQ(contact_is_database_opened(nullptr, &error_code), 0);
    EXPECT_EQ(error_code, CONTACT_ERROR_NULL_ARGUMENT);
    ASSERT_EQ(log.errors().size(), 1u);
    const LogEntry entry = log.errors()[0];
    EXPECT_EQ(entry.format, "\n[DodazorEdidud]%s %d: contact_is_database_opened: The opened is NULL.\n");
    EXPECT_EQ(entry.module, kModule);
    EXPECT_EQ(entry.text, "\n[DodazorEdidud]contact_is_database_opened " + std::to_string(entry.line) +
                              ": contact_is_database_opened: The opened is NULL.\n");
    EXPECT_NE(entry.file.find("contact-engine-proxy"), std::string::npos);
}

TEST_F(ConnectionTest, ClosedConnectionReportsNineBeforeArguments)
{
    LogCapture log;
    int error_code = -1;
    EXPECT_EQ(contact_get_contact_count(0, nullptr, &error_code), 0);
    EXPECT_EQ(error_code, CONTACT_ERROR_NOT_CONNECTED);
    EXPECT_EQ(log.error_formats(),
              std::vector<std::string>{
                  "\n[DodazorEdidud]%s %d: contact_get_contact_count: The dbus connection hasn't been opened.\n"});
}

TEST_F(ConnectionTest, MissingServiceFailsTheCallWithCodeZero)
{
    EXPECT_EQ(initialize(), 1) << "creating the proxy does not contact the service";
    LogCapture log;
    int error_code = -1;
    int count = 77;
    EXPECT_EQ(contact_get_contact_count(0, &count, &error_code), 0);
    EXPECT_EQ(error_code, 0) << "the bus's own error text carries no number";
    EXPECT_EQ(count, 77) << "a failed call leaves OUT variables alone";
    ASSERT_EQ(log.errors().size(), 1u);
    EXPECT_EQ(log.errors()[0].format, "\n[DodazorEdidud]%s %d: contact_get_contact_count: "
                                      "org_yora_contact_contact_get_contact_count() failed(%s).\n");
    EXPECT_NE(log.errors()[0].text.find("com.quorvel.contact.engine"), std::string::npos) << log.errors()[0].text;
    EXPECT_TRUE(opened()) << "a failed call never closes the connection";
}

// However long the daemon takes to listen (a loaded machine), the bus is
// waited for, not given up on after a fixed time.
TEST(PrivateBusTest, ADaemonSlowToStartIsWaitedFor)
{
    PrivateBus slow(std::string(), {"/bin/sh", "-c", "sleep 6; exec \"$0\" \"$@\""});
    EXPECT_EQ(contact_initialize(nullptr), 1);
    EXPECT_TRUE(opened());
    contact_finalize(nullptr);
}

} // namespace
} // namespace contact_test
