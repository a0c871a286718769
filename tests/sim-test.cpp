// The SIM phonebook: the library's checks and exceptions, replies that do
// not hold what they announce (an in-process responder in the service's
// place), and the simulated card behind the real service: loading watched
// from a second client, absent and locked cards, SIM limits, write-back to
// the card file across a restart.
#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "contact-engine-bus.h"
#include "contact-engine.h"
#include "contact-engine-sim-wire.h"
#include "contact-engine-wire.h"
#include "test-support.h"

namespace contact_test {
namespace {

using Bytes = std::vector<std::uint8_t>;

const std::string kNotConnected = "\n[DodazorEdidud]%s %d: The dbus connection hasn't been connected.\n";

sim_aas_record_t g_aas[CONTACT_SIM_PHONE_TYPE_COUNT_MAX];
bool g_bool;
int g_int;

// ---- checks made before anything is sent ------------------------------------

TEST(SimChecks, EachOperationReportsItsOwnPrecondition)
{
    expect_preconditions({
        {"contact_is_sim_present", [](int *e) { return contact_is_sim_present(&g_bool, e); },
         CONTACT_ERROR_NOT_CONNECTED, kNotConnected},
        {"contact_is_sim_present", [](int *e) { return contact_is_sim_present(nullptr, e); },
         CONTACT_ERROR_NULL_ARGUMENT, null_argument_message("contact_is_sim_present", "is_present")},
        {"contact_is_sim_initialized", [](int *e) { return contact_is_sim_initialized(&g_bool, &g_int, e); },
         CONTACT_ERROR_NOT_CONNECTED, kNotConnected},
        {"contact_is_sim_initialized", [](int *e) { return contact_is_sim_initialized(nullptr, nullptr, e); },
         CONTACT_ERROR_NULL_ARGUMENT, null_argument_message("contact_is_sim_initialized", "initialized")},
        {"contact_is_sim_initialized", [](int *e) { return contact_is_sim_initialized(&g_bool, nullptr, e); },
         CONTACT_ERROR_NULL_ARGUMENT, null_argument_message("contact_is_sim_initialized", "percent")},
        {"contact_is_sim_enabled", [](int *e) { return contact_is_sim_enabled(0, &g_bool, e); },
         CONTACT_ERROR_NOT_CONNECTED, kNotConnected},
        {"contact_is_sim_enabled", [](int *e) { return contact_is_sim_enabled(0, nullptr, e); },
         CONTACT_ERROR_NULL_ARGUMENT, null_argument_message("contact_is_sim_enabled", "is_enabled")},
        {"contact_get_sim_card_format", [](int *e) { return contact_get_sim_card_format(&g_int, e); },
         CONTACT_ERROR_NOT_CONNECTED, kNotConnected},
        {"contact_get_sim_card_format", [](int *e) { return contact_get_sim_card_format(nullptr, e); },
         CONTACT_ERROR_NULL_ARGUMENT, null_argument_message("contact_get_sim_card_format", "sim_card_format")},
        {"contact_is_sim_iccid_check", [](int *e) { return contact_is_sim_iccid_check(&g_int, e); },
         CONTACT_ERROR_NOT_CONNECTED, kNotConnected},
        {"contact_is_sim_iccid_check", [](int *e) { return contact_is_sim_iccid_check(nullptr, e); },
         CONTACT_ERROR_NULL_ARGUMENT, null_argument_message("contact_is_sim_iccid_check", "iccid_check_result")},
        {"contact_is_als_set_check", [](int *e) { return contact_is_als_set_check(&g_int, e); },
         CONTACT_ERROR_NOT_CONNECTED, kNotConnected},
        {"contact_is_als_set_check", [](int *e) { return contact_is_als_set_check(nullptr, e); },
         CONTACT_ERROR_NULL_ARGUMENT, null_argument_message("contact_is_als_set_check", "is_als_set")},
        {"contact_call_set_active_line", [](int *e) { return contact_call_set_active_line(2, e); },
         CONTACT_ERROR_NOT_CONNECTED, kNotConnected},
        {"contact_call_get_active_line", [](int *e) { return contact_call_get_active_line(&g_int, e); },
         CONTACT_ERROR_NOT_CONNECTED, kNotConnected},
        {"contact_call_get_active_line", [](int *e) { return contact_call_get_active_line(nullptr, e); },
         CONTACT_ERROR_NULL_ARGUMENT, null_argument_message(nullptr, "ptr_active_line")},
        {"contact_initialize_sim", [](int *e) { return contact_initialize_sim(e); }, CONTACT_ERROR_NOT_CONNECTED,
         kNotConnected},
        {"contact_open_sim", [](int *e) { return contact_open_sim(e); }, CONTACT_ERROR_NOT_CONNECTED, kNotConnected},
        {"contact_close_sim", [](int *e) { return contact_close_sim(e); }, CONTACT_ERROR_NOT_CONNECTED,
         kNotConnected},
        {"contact_get_sim_status", [](int *e) { return contact_get_sim_status(nullptr, e); },
         CONTACT_ERROR_NOT_CONNECTED, kNotConnected},
        {"contact_get_sim_status", [](int *e) { return contact_get_sim_status(nullptr, e); },
         CONTACT_ERROR_NULL_ARGUMENT, "\n[DodazorEdidud]%s %d: The parameter sim_status is NULL.\n"},
        {"contact_get_sim_adn", [](int *e) { return contact_get_sim_adn(e); }, CONTACT_ERROR_NOT_CONNECTED,
         kNotConnected},
        {"contact_get_sim_used_status", [](int *e) { return contact_get_sim_used_status(nullptr, e); },
         CONTACT_ERROR_NOT_CONNECTED, kNotConnected},
        {"contact_get_sim_used_status", [](int *e) { return contact_get_sim_used_status(nullptr, e); },
         CONTACT_ERROR_NULL_ARGUMENT, "\n[DodazorEdidud]%s %d: The parameter sim_used_status is NULL.\n"},
        // The two AAS operations test their pointers before the connection.
        {"contact_get_sim_aas_records", [](int *e) { return contact_get_sim_aas_records(nullptr, nullptr, e); },
         CONTACT_ERROR_NULL_ARGUMENT,
         "\n[DodazorEdidud]%s %d: contact_get_sim_aas_records: The parameter all_sim_aas_records is NULL.\n"},
        {"contact_get_sim_aas_records", [](int *e) { return contact_get_sim_aas_records(g_aas, nullptr, e); },
         CONTACT_ERROR_NULL_ARGUMENT,
         "\n[DodazorEdidud]%s %d: contact_get_sim_aas_records: The parameter count is NULL.\n"},
        {"contact_get_sim_aas_records", [](int *e) { return contact_get_sim_aas_records(g_aas, &g_int, e); },
         CONTACT_ERROR_NOT_CONNECTED, kNotConnected},
        {"contact_update_all_aas_records", [](int *e) { return contact_update_all_aas_records(nullptr, 1, e); },
         CONTACT_ERROR_NULL_ARGUMENT,
         "\n[DodazorEdidud]%s %d: contact_update_all_aas_records: The parameter all_sim_aas_records is NULL.\n"},
        {"contact_update_all_aas_records", [](int *e) { return contact_update_all_aas_records(g_aas, 0, e); },
         CONTACT_ERROR_NOT_CONNECTED, kNotConnected},
        {"contact_update_all_aas_records", [](int *e) { return contact_update_all_aas_records(g_aas, 0, e); },
         CONTACT_ERROR_OUT_OF_RANGE,
         "\n[DodazorEdidud]%s %d: count > 0 && count <= CONTACT_SIM_PHONE_TYPE_COUNT_MAX.\n"},
        {"contact_update_all_aas_records", [](int *e) { return contact_update_all_aas_records(g_aas, 11, e); },
         CONTACT_ERROR_OUT_OF_RANGE,
         "\n[DodazorEdidud]%s %d: count > 0 && count <= CONTACT_SIM_PHONE_TYPE_COUNT_MAX.\n"},
    });
}

TEST(SimChecks, ActiveLineOutsideBothLinesIsRefusedWithoutFinalNewline)
{
    const std::string range = "\n[DodazorEdidud]%s %d: active_line >= CONTACT_CALL_ACTIVE_LINE1 && active_line <= "
                              "CONTACT_CALL_ACTIVE_LINE2.";
    expect_preconditions({
        {"contact_call_set_active_line", [](int *e) { return contact_call_set_active_line(2, e); },
         CONTACT_ERROR_OUT_OF_RANGE, range},
        {"contact_call_set_active_line", [](int *e) { return contact_call_set_active_line(-1, e); },
         CONTACT_ERROR_OUT_OF_RANGE, range},
    });
}

TEST(SimChecks, AasPointersComeBeforeTheConnection)
{
    (void)bus();
    bool opened = true;
    int error_code = 0;
    ASSERT_EQ(contact_is_database_opened(&opened, &error_code), 1);
    ASSERT_FALSE(opened);
    EXPECT_EQ(failure_code([](int *e) { return contact_update_all_aas_records(nullptr, 0, e); }),
              CONTACT_ERROR_NULL_ARGUMENT);
    EXPECT_EQ(failure_code([](int *e) { return contact_get_sim_aas_records(g_aas, nullptr, e); }),
              CONTACT_ERROR_NULL_ARGUMENT);
    // The other SIM operations test the connection first.
    EXPECT_EQ(failure_code([](int *e) { return contact_get_sim_used_status(nullptr, e); }),
              CONTACT_ERROR_NOT_CONNECTED);
    EXPECT_EQ(failure_code([](int *e) { return contact_is_sim_initialized(nullptr, nullptr, e); }),
              CONTACT_ERROR_NOT_CONNECTED);
}

TEST(SimChecks, OpenSimAndGetAdnTraceBeginBeforeTheConnectionTest)
{
    (void)bus();
    for (auto call : {contact_open_sim, contact_get_sim_adn}) {
        LogCapture log;
        int error_code = -1;
        EXPECT_EQ(call(&error_code), 0);
        EXPECT_EQ(error_code, CONTACT_ERROR_NOT_CONNECTED);
        ASSERT_EQ(log.entries().size(), 2u);
        EXPECT_EQ(log.entries()[0].level, kTrace);
        EXPECT_EQ(log.entries()[0].format, "\n[DodazorEdidud]%s:  begin.\n");
        EXPECT_EQ(log.entries()[1].level, kError);
        EXPECT_EQ(log.entries()[1].format, kNotConnected);
    }
}

// ---- a responder in the service's place ---------------------------------------

// Takes the service's name on the private bus and answers as each test sets
// it up: records of any length, counts that do not match, failures.
class SimResponderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        (void)bus();
        connection_ = sdbus::createSystemBusConnection(CONTACT_ENGINE_BUS_NAME);
        object_ = sdbus::createObject(*connection_, CONTACT_ENGINE_OBJECT_PATH);
        const char *interface = CONTACT_ENGINE_INTERFACE;
        object_->registerMethod("contact_get_sim_status").onInterface(interface).implementedAs([this] {
            fail_if_asked();
            return std::make_tuple(status_reply_, 0);
        });
        object_->registerMethod("contact_get_sim_used_status").onInterface(interface).implementedAs([this] {
            fail_if_asked();
            return std::make_tuple(used_reply_, 0);
        });
        object_->registerMethod("contact_get_sim_aas_records").onInterface(interface).implementedAs([this] {
            fail_if_asked();
            return std::make_tuple(aas_reply_, aas_count_, 0);
        });
        object_->registerMethod("contact_update_all_aas_records")
            .onInterface(interface)
            .implementedAs([this](const Bytes &records, int count) {
                fail_if_asked();
                received_aas_ = records;
                received_count_ = count;
                return 0;
            });
        object_->registerMethod("contact_is_sim_present").onInterface(interface).implementedAs([this] {
            fail_if_asked();
            return std::make_tuple(answer_, result_code_);
        });
        object_->registerMethod("contact_is_sim_enabled").onInterface(interface).implementedAs([this](int) {
            fail_if_asked();
            return std::make_tuple(answer_, result_code_);
        });
        object_->registerMethod("contact_is_sim_initialized").onInterface(interface).implementedAs([this] {
            fail_if_asked();
            return std::make_tuple(answer_, 57, result_code_);
        });
        object_->registerMethod("contact_get_sim_adn").onInterface(interface).implementedAs([this] {
            fail_if_asked();
            return result_code_;
        });
        object_->finishRegistration();
        connection_->enterEventLoopAsync();
        ASSERT_EQ(contact_initialize(nullptr), 1);
    }
    void TearDown() override
    {
        contact_finalize(nullptr);
        connection_->leaveEventLoop();
        object_.reset();
        connection_->releaseName(CONTACT_ENGINE_BUS_NAME);
    }

    void fail_if_asked() const
    {
        if (failure_ != nullptr)
            throw sdbus::Error("org.yora.contact.Error.Test", failure_);
    }

    static Bytes aas_records(int count)
    {
        Bytes bytes(std::size_t(count) * sim_wire::aas::kSize, 0);
        for (int i = 0; i < count; ++i) {
            std::uint8_t *record = bytes.data() + std::size_t(i) * sim_wire::aas::kSize;
            contact_wire::write_i32(record, sim_wire::aas::index, i + 1);
            std::snprintf(reinterpret_cast<char *>(record + sim_wire::aas::text), sim_wire::kAasTextSize, "label %d",
                          i + 1);
        }
        return bytes;
    }

    std::unique_ptr<sdbus::IConnection> connection_;
    std::unique_ptr<sdbus::IObject> object_;
    const char *failure_ = nullptr;
    Bytes status_reply_;
    Bytes used_reply_;
    Bytes aas_reply_;
    int aas_count_ = 0;
    bool answer_ = true;
    int result_code_ = 0;
    Bytes received_aas_;
    int received_count_ = -1;
};

TEST_F(SimResponderTest, StatusRecordIsReadByItsOffsets)
{
    status_reply_.assign(sim_wire::status::kSize, 0);
    contact_wire::write_i32(status_reply_.data(), sim_wire::status::card_format, CONTACT_SIM_CARD_FORMAT_USIM);
    contact_wire::write_i32(status_reply_.data(), sim_wire::status::active_line, CONTACT_CALL_ACTIVE_LINE2);
    contact_wire::write_i32(status_reply_.data(), sim_wire::status::aas_count, 7);
    std::memcpy(status_reply_.data() + sim_wire::status::iccid, "8949", 5);
    sim_status_t status{};
    int error_code = -1;
    ASSERT_EQ(contact_get_sim_status(&status, &error_code), 1);
    EXPECT_EQ(error_code, 0);
    EXPECT_EQ(status.card_format, CONTACT_SIM_CARD_FORMAT_USIM);
    EXPECT_EQ(status.active_line, CONTACT_CALL_ACTIVE_LINE2);
    EXPECT_EQ(status.aas_count, 7);
    EXPECT_STREQ(status.iccid, "8949");
}

TEST_F(SimResponderTest, ShortStatusRecordIsRefusedAndNothingWritten)
{
    for (std::size_t length : {std::size_t(0), std::size_t(4), sim_wire::status::kSize - 1}) {
        SCOPED_TRACE(length);
        status_reply_.assign(length, 0x5a);
        sim_status_t status;
        std::memset(&status, 0x11, sizeof status);
        LogCapture log;
        int error_code = -1;
        EXPECT_EQ(contact_get_sim_status(&status, &error_code), 0);
        EXPECT_EQ(error_code, CONTACT_ERROR_MALFORMED_REPLY);
        EXPECT_EQ(status.is_present, 0x11111111);
        EXPECT_EQ(status.reserved[43], 0x11);
        ASSERT_EQ(log.errors().size(), 1u);
        EXPECT_NE(log.errors()[0].text.find("shorter than"), std::string::npos);
    }
}

TEST_F(SimResponderTest, ShortUsedStatusIsRefusedAndNothingWritten)
{
    for (std::size_t length : {std::size_t(0), sim_wire::used::kSize - 1}) {
        SCOPED_TRACE(length);
        used_reply_.assign(length, 0x5a);
        sim_used_status_t used;
        std::memset(&used, 0x11, sizeof used);
        int error_code = -1;
        EXPECT_EQ(contact_get_sim_used_status(&used, &error_code), 0);
        EXPECT_EQ(error_code, CONTACT_ERROR_MALFORMED_REPLY);
        EXPECT_EQ(used.adn_total, 0x11111111);
        EXPECT_EQ(used.reserved[1], 0x11111111);
    }
    used_reply_.assign(sim_wire::used::kSize, 0);
    contact_wire::write_i32(used_reply_.data(), sim_wire::used::adn_total, 250);
    contact_wire::write_i32(used_reply_.data(), sim_wire::used::first_free_adn, 4);
    sim_used_status_t used{};
    LogCapture log;
    int error_code = -1;
    ASSERT_EQ(contact_get_sim_used_status(&used, &error_code), 1);
    EXPECT_EQ(used.adn_total, 250);
    EXPECT_EQ(used.first_free_adn, 4);
    ASSERT_EQ(log.traces().size(), 1u);
    EXPECT_EQ(log.traces()[0].format, "\n[DodazorEdidud]%s: sim_used_status = %p\n");
}

TEST_F(SimResponderTest, MoreThanTenAasRecordsAreCutToTen)
{
    aas_count_ = 12;
    aas_reply_ = aas_records(12);
    sim_aas_record_t records[CONTACT_SIM_PHONE_TYPE_COUNT_MAX + 1];
    std::memset(records, 0x11, sizeof records);
    int count = -1;
    int error_code = -1;
    LogCapture log;
    ASSERT_EQ(contact_get_sim_aas_records(records, &count, &error_code), 1);
    EXPECT_EQ(count, CONTACT_SIM_PHONE_TYPE_COUNT_MAX);
    EXPECT_EQ(records[0].index, 1);
    EXPECT_STREQ(records[0].text, "label 1");
    EXPECT_EQ(records[9].index, 10);
    EXPECT_STREQ(records[9].text, "label 10");
    EXPECT_EQ(records[10].index, 0x11111111) << "nothing past 280 bytes is written";
    ASSERT_EQ(log.traces().size(), 1u);
    EXPECT_EQ(log.traces()[0].text, "\n[DodazorEdidud]contact_get_sim_aas_records: count1 = 12\n");
}

TEST_F(SimResponderTest, NoAasRecordsCopyNothing)
{
    sim_aas_record_t records[CONTACT_SIM_PHONE_TYPE_COUNT_MAX];
    std::memset(records, 0x11, sizeof records);
    for (int received : {0, -4}) {
        aas_count_ = received;
        aas_reply_ = aas_records(2);
        int count = 99;
        int error_code = -1;
        ASSERT_EQ(contact_get_sim_aas_records(records, &count, &error_code), 1);
        EXPECT_EQ(count, received);
        EXPECT_EQ(records[0].index, 0x11111111);
    }
}

TEST_F(SimResponderTest, AasReplyShorterThanItsCountIsRefused)
{
    aas_count_ = 3;
    aas_reply_ = aas_records(2);
    aas_reply_.resize(aas_reply_.size() + 27, 0);
    sim_aas_record_t records[CONTACT_SIM_PHONE_TYPE_COUNT_MAX];
    std::memset(records, 0x11, sizeof records);
    int count = 99;
    int error_code = -1;
    EXPECT_EQ(contact_get_sim_aas_records(records, &count, &error_code), 0);
    EXPECT_EQ(error_code, CONTACT_ERROR_MALFORMED_REPLY);
    EXPECT_EQ(count, 99);
    EXPECT_EQ(records[0].index, 0x11111111);
}

TEST_F(SimResponderTest, AasUpdateSendsCountTimesTwentyEightBytes)
{
    sim_aas_record_t records[CONTACT_SIM_PHONE_TYPE_COUNT_MAX]{};
    for (int i = 0; i < CONTACT_SIM_PHONE_TYPE_COUNT_MAX; ++i) {
        records[i].index = i + 1;
        std::snprintf(records[i].text, sizeof records[i].text, "type %d", i);
    }
    for (int count : {1, CONTACT_SIM_PHONE_TYPE_COUNT_MAX}) {
        int error_code = -1;
        ASSERT_EQ(contact_update_all_aas_records(records, count, &error_code), 1);
        EXPECT_EQ(error_code, 0);
        EXPECT_EQ(received_count_, count);
        ASSERT_EQ(received_aas_.size(), std::size_t(count) * 28);
        EXPECT_EQ(contact_wire::read_i32(received_aas_.data() + 28 * (count - 1), 0), count);
        EXPECT_STREQ(reinterpret_cast<const char *>(received_aas_.data() + 28 * (count - 1) + 4),
                     records[count - 1].text);
    }
}

TEST_F(SimResponderTest, TrueAndFalseAnswersStoreOneAndZero)
{
    for (bool answer : {true, false}) {
        answer_ = answer;
        unsigned char bytes[3] = {0x7f, 0x7f, 0x7f};
        int error_code = -1;
        ASSERT_EQ(contact_is_sim_present(reinterpret_cast<bool *>(&bytes[0]), &error_code), 1);
        ASSERT_EQ(contact_is_sim_enabled(0, reinterpret_cast<bool *>(&bytes[1]), &error_code), 1);
        int percent = -1;
        ASSERT_EQ(contact_is_sim_initialized(reinterpret_cast<bool *>(&bytes[2]), &percent, &error_code), 1);
        EXPECT_EQ(percent, 57);
        for (unsigned char stored : bytes)
            EXPECT_EQ(stored, answer ? 1 : 0);
    }
}

// Three operations log and free a failed call's error without mapping it.
TEST_F(SimResponderTest, FailedPresentEnabledAndAasUpdateKeepTheCallersCode)
{
    failure_ = "27 the card stopped answering";
    sim_aas_record_t record{1, "home"};
    bool answer = true;
    {
        LogCapture log;
        int error_code = 555;
        EXPECT_EQ(contact_is_sim_present(&answer, &error_code), 0);
        EXPECT_EQ(error_code, 555);
        EXPECT_EQ(contact_is_sim_enabled(0, &answer, &error_code), 0);
        EXPECT_EQ(error_code, 555);
        EXPECT_EQ(contact_update_all_aas_records(&record, 1, &error_code), 0);
        EXPECT_EQ(error_code, 555);
        EXPECT_TRUE(answer) << "the answer is untouched";
        EXPECT_EQ(log.error_formats(),
                  (std::vector<std::string>{
                      "\n[DodazorEdidud]%s %d: contact_is_sim_present: org_yora_contact_contact_is_sim_present() "
                      "failed(%s).\n",
                      "\n[DodazorEdidud]%s %d: contact_is_sim_enabled: org_yora_contact_contact_is_sim_enabled() "
                      "failed(%s).\n",
                      "\n[DodazorEdidud]%s %d: contact_update_all_aas_records: "
                      "org_yora_contact_contact_update_all_aas_records() failed(%s).\n"}));
    }
    // Every other operation maps it.
    int percent = -1;
    int error_code = 555;
    EXPECT_EQ(contact_is_sim_initialized(&answer, &percent, &error_code), 0);
    EXPECT_EQ(error_code, 27);
    EXPECT_EQ(percent, -1);
    EXPECT_TRUE(answer);
    int count = -1;
    error_code = 555;
    EXPECT_EQ(contact_get_sim_aas_records(g_aas, &count, &error_code), 0);
    EXPECT_EQ(error_code, 27);
    EXPECT_EQ(count, -1);
}

TEST_F(SimResponderTest, FailedGetAdnLogsTheOldAndNewCodes)
{
    failure_ = "41 not loaded";
    LogCapture log;
    int error_code = 6;
    EXPECT_EQ(contact_get_sim_adn(&error_code), 0);
    EXPECT_EQ(error_code, 41);
    ASSERT_EQ(log.entries().size(), 3u);
    EXPECT_EQ(log.entries()[0].format, "\n[DodazorEdidud]%s:  begin.\n");
    EXPECT_EQ(log.entries()[1].level, kError);
    EXPECT_EQ(log.entries()[1].format,
              "\n[DodazorEdidud]%s %d: contact_get_sim_adn: contact_get_sim_adn() failed(%s).\n");
    EXPECT_EQ(log.entries()[2].level, kTrace);
    EXPECT_EQ(log.entries()[2].text,
              "\n[DodazorEdidud]contact_get_sim_adn: *error_code = 6, proxy_error_code = 41\n");

    failure_ = nullptr;
    result_code_ = 0;
    LogCapture success;
    ASSERT_EQ(contact_get_sim_adn(&error_code), 1);
    EXPECT_EQ(error_code, 0);
    ASSERT_EQ(success.entries().size(), 2u);
    EXPECT_EQ(success.entries()[1].format, "\n[DodazorEdidud]%s:  end.\n");
}

} // namespace
} // namespace contact_test
