// The SIM phonebook: the library's checks and exceptions, replies that do
// not hold what they announce (an in-process responder in the service's
// place), and the simulated card behind the real service: loading watched
// from a second client, absent and locked cards, SIM limits, write-back to
// the card file across a restart.
#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "contact-engine-bus.h"
#include "core/contact-engine-errors.h"
#include "contact-engine.h"
#include "contact-engine-sim-wire.h"
#include "contact-engine-wire.h"
#include "sample-contact.h"
#include "responder.h"
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

// ---- a responder in the service's place ---------------------------------------

// Takes the service's name on the private bus and answers as each test sets
// it up: records of any length, counts that do not match, failures.
class SimResponderTest : public ResponderTest {
protected:
    void register_methods() override
    {
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
    int error_code = -1;
    ASSERT_EQ(contact_get_sim_used_status(&used, &error_code), 1);
    EXPECT_EQ(used.adn_total, 250);
    EXPECT_EQ(used.first_free_adn, 4);
}

TEST_F(SimResponderTest, MoreThanTenAasRecordsAreCutToTen)
{
    aas_count_ = 12;
    aas_reply_ = aas_records(12);
    sim_aas_record_t records[CONTACT_SIM_PHONE_TYPE_COUNT_MAX + 1];
    std::memset(records, 0x11, sizeof records);
    int count = -1;
    int error_code = -1;
    ASSERT_EQ(contact_get_sim_aas_records(records, &count, &error_code), 1);
    EXPECT_EQ(count, CONTACT_SIM_PHONE_TYPE_COUNT_MAX);
    EXPECT_EQ(records[0].index, 1);
    EXPECT_STREQ(records[0].text, "label 1");
    EXPECT_EQ(records[9].index, 10);
    EXPECT_STREQ(records[9].text, "label 10");
    EXPECT_EQ(records[10].index, 0x11111111) << "nothing past 280 bytes is written";
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

// ---- the simulated card behind the real service --------------------------------

using contact_engine::kInvalidArgument;
using contact_engine::kSimAbsent;
using contact_engine::kSimCardWriteFailed;
using contact_engine::kSimEntryTooLarge;
using contact_engine::kSimFull;
using contact_engine::kSimLocked;
using contact_engine::kSimNotLoaded;
using contact_engine::kSimNotOpen;
using contact_engine::kSimReadOnly;
using contact_engine::kSimTooLong;

std::string read_file(const std::string &path)
{
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// A card with `count` ADN entries "Entry 1" .. and one FDN entry.
std::string card_with_entries(int count)
{
    std::string adn;
    for (int i = 1; i <= count; ++i)
        adn += std::string(i > 1 ? "," : "") + R"({"index": )" + std::to_string(i) + R"(, "name": "Entry )" +
               std::to_string(i) + R"(", "number": "+4479460000)" + std::to_string(i % 10) + R"("})";
    return R"({"iccid": "8944000000000000042", "card_format": "sim", "als_supported": false,
               "capacity": {"adn": 100, "fdn": 10, "sdn": 5, "aas": 4},
               "adn": [)" + adn + R"(],
               "fdn": [{"index": 1, "name": "Emergency", "number": "112"}],
               "sdn": [{"index": 2, "name": "Operator", "number": "150"}],
               "aas": [{"index": 1, "text": "Work"}, {"index": 3, "text": "Car"}]})";
}

// contact_update_all_aas_records leaves *error_code alone when its call
// fails; the service's code is then read from the logged error text.
int logged_service_code(const Call &call)
{
    LogCapture log;
    int error_code = -1;
    EXPECT_EQ(call(&error_code), 0);
    EXPECT_EQ(error_code, -1);
    const std::vector<LogEntry> errors = log.errors();
    if (errors.size() != 1)
        return -1;
    const std::size_t at = errors[0].text.find("failed(");
    return at == std::string::npos ? -1 : std::atoi(errors[0].text.c_str() + at + 7);
}

class SimServiceTest : public ServiceTest {
protected:
    int add_to_sim(SampleContact &contact, int storage = CONTACT_STORAGE_SIM)
    {
        int index = -1;
        int error_code = -1;
        if (contact_add_contact(storage, &contact.record, &index, &error_code) != 1)
            return -error_code;
        return index;
    }
    int count(int storage)
    {
        int records = -1;
        int error_code = -1;
        EXPECT_EQ(contact_get_contact_count(storage, &records, &error_code), 1);
        return records;
    }
    std::string name_at(int storage, int index)
    {
        ReceivedContact got;
        int error_code = -1;
        if (contact_get_contact(storage, index, &got.record, &error_code) != 1)
            return "<none: " + std::to_string(error_code) + ">";
        std::string name = got.record.display_name;
        if (got.record.phone_info_cnt > 0)
            name += std::string(" ") + got.record.phone_info[0].number;
        return name;
    }
};

TEST_F(SimServiceTest, PlainStartHasTheDefaultCard)
{
    bool present = false;
    int error_code = -1;
    ASSERT_EQ(contact_is_sim_present(&present, &error_code), 1);
    EXPECT_TRUE(present);
    EXPECT_EQ(count(CONTACT_STORAGE_SIM), 0) << "nothing is loaded before contact_initialize_sim";
    ready_sim_phonebook();
    EXPECT_GT(count(CONTACT_STORAGE_SIM), 0);
    EXPECT_GT(count(CONTACT_STORAGE_FDN), 0);
    sim_status_t status{};
    ASSERT_EQ(contact_get_sim_status(&status, &error_code), 1);
    EXPECT_EQ(status.is_present, 1);
    EXPECT_EQ(status.load_state, CONTACT_SIM_LOAD_DONE);
    EXPECT_EQ(status.is_open, 1);
    EXPECT_EQ(status.adn_used, count(CONTACT_STORAGE_SIM));
}

// The load runs on a worker: a second client watches the percent climb
// while the first keeps getting answers.
TEST_F(SimServiceTest, LoadProgressIsSeenFromASecondClientWhileTheServiceAnswers)
{
    const std::string path = dir_.path() + "/sim-card.json";
    std::ofstream(path) << card_with_entries(60);
    service_.arguments = {"--sim", path, "--sim-load-delay-ms", "40"};
    restart_service();

    auto watcher_connection = sdbus::createSystemBusConnection();
    auto watcher = sdbus::createProxy(*watcher_connection, CONTACT_ENGINE_BUS_NAME, CONTACT_ENGINE_OBJECT_PATH);
    const auto watch = [&] {
        bool loaded = false;
        std::int32_t percent = -1, code = -1;
        watcher->callMethod("contact_is_sim_initialized")
            .onInterface(CONTACT_ENGINE_INTERFACE)
            .storeResultsTo(loaded, percent, code);
        EXPECT_EQ(code, 0);
        return std::make_pair(loaded, percent);
    };
    EXPECT_EQ(watch(), std::make_pair(false, 0));

    int error_code = -1;
    ASSERT_EQ(contact_initialize_sim(&error_code), 1);
    EXPECT_EQ(error_code, 0);
    // 63 entries at 40 ms: the load takes about 2.5 s.
    EXPECT_EQ(failure_code([](int *e) { return contact_open_sim(e); }), kSimNotLoaded);
    ASSERT_EQ(contact_initialize_sim(&error_code), 1) << "a load under way goes on";
    // The first client is answered meanwhile (how fast is the benchmarks' business).
    std::vector<int> seen;
    for (;;) {
        const auto [loaded, percent] = watch();
        seen.push_back(percent);
        if (loaded)
            break;
        int records = -1;
        ASSERT_EQ(contact_get_contact_count(CONTACT_STORAGE_PHONE, &records, &error_code), 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end())) << "the percent only climbs";
    EXPECT_EQ(seen.back(), 100);
    EXPECT_GE(std::count_if(seen.begin(), seen.end(), [](int p) { return p > 0 && p < 100; }), 1)
        << "the climb is seen on the way";
    EXPECT_EQ(count(CONTACT_STORAGE_SIM), 60);
    EXPECT_EQ(name_at(CONTACT_STORAGE_SIM, 7), "Entry 7 +44794600007");
    EXPECT_EQ(name_at(CONTACT_STORAGE_FDN, 1), "Emergency 112");
    EXPECT_EQ(name_at(CONTACT_STORAGE_SDN, 2), "Operator 150");
}

TEST_F(SimServiceTest, NothingOpensReadsOrWritesBeforeTheLoad)
{
    use_sim_card(card_with_entries(3));
    EXPECT_EQ(failure_code([](int *e) { return contact_open_sim(e); }), kSimNotLoaded);
    EXPECT_EQ(failure_code([](int *e) { return contact_get_sim_adn(e); }), kSimNotLoaded);
    SampleContact early("Early");
    EXPECT_EQ(add_to_sim(early), -kSimNotLoaded);
    int error_code = -1;
    ASSERT_EQ(contact_initialize_sim(&error_code), 1);
    bool loaded = false;
    int percent = 0;
    while (!loaded)
        ASSERT_EQ(contact_is_sim_initialized(&loaded, &percent, &error_code), 1);
    // Loaded, not open: reads and writes still wait for contact_open_sim.
    EXPECT_EQ(failure_code([](int *e) { return contact_get_sim_adn(e); }), kSimNotOpen);
    EXPECT_EQ(add_to_sim(early), -kSimNotOpen);
    ASSERT_EQ(contact_open_sim(&error_code), 1);
    ASSERT_EQ(contact_get_sim_adn(&error_code), 1);
    EXPECT_EQ(add_to_sim(early), 4);
    ASSERT_EQ(contact_close_sim(&error_code), 1);
    EXPECT_EQ(failure_code([](int *e) { return contact_delete_contact(CONTACT_STORAGE_SIM, 4, e); }), kSimNotOpen);
    EXPECT_EQ(count(CONTACT_STORAGE_SIM), 4) << "a refused delete leaves the contact";
}

TEST_F(SimServiceTest, AbsentCard)
{
    use_sim_card(R"({"present": false})");
    bool answer = true;
    int error_code = -1;
    ASSERT_EQ(contact_is_sim_present(&answer, &error_code), 1);
    EXPECT_FALSE(answer);
    int percent = -1;
    ASSERT_EQ(contact_is_sim_initialized(&answer, &percent, &error_code), 1);
    EXPECT_FALSE(answer);
    EXPECT_EQ(error_code, kSimAbsent) << "the answer says why";
    ASSERT_EQ(contact_is_sim_enabled(0, &answer, &error_code), 1);
    EXPECT_FALSE(answer);
    int iccid = -1;
    ASSERT_EQ(contact_is_sim_iccid_check(&iccid, &error_code), 1);
    EXPECT_EQ(iccid, CONTACT_SIM_ICCID_NO_CARD);
    for (auto command : {contact_initialize_sim, contact_open_sim, contact_close_sim})
        EXPECT_EQ(failure_code([&](int *e) { return command(e); }), kSimAbsent);
    int format = -1;
    EXPECT_EQ(failure_code([&](int *e) { return contact_get_sim_card_format(&format, e); }), kSimAbsent);
    sim_used_status_t used{};
    EXPECT_EQ(failure_code([&](int *e) { return contact_get_sim_used_status(&used, e); }), kSimAbsent);
    sim_status_t status;
    std::memset(&status, 0x7f, sizeof status);
    ASSERT_EQ(contact_get_sim_status(&status, &error_code), 1);
    EXPECT_EQ(status.is_present, 0);
    EXPECT_EQ(status.adn_capacity, 0);
    EXPECT_STREQ(status.iccid, "");
    SampleContact nowhere("Nowhere");
    EXPECT_EQ(add_to_sim(nowhere), -kSimAbsent);
}

TEST_F(SimServiceTest, PinLockedCard)
{
    use_sim_card(R"({"pin_locked": true, "iccid": "8944000000000000099"})");
    bool present = false;
    int error_code = -1;
    ASSERT_EQ(contact_is_sim_present(&present, &error_code), 1);
    EXPECT_TRUE(present);
    EXPECT_EQ(failure_code([](int *e) { return contact_initialize_sim(e); }), kSimLocked);
    EXPECT_EQ(failure_code([](int *e) { return contact_open_sim(e); }), kSimLocked);
    sim_status_t status{};
    ASSERT_EQ(contact_get_sim_status(&status, &error_code), 1);
    EXPECT_EQ(status.is_present, 1);
    EXPECT_EQ(status.is_pin_locked, 1);
    EXPECT_EQ(status.load_state, CONTACT_SIM_LOAD_NOT_STARTED);
    EXPECT_STREQ(status.iccid, "8944000000000000099");
    SampleContact locked("Locked");
    EXPECT_EQ(add_to_sim(locked), -kSimLocked);
}

TEST_F(SimServiceTest, ContactTooLargeForTheCardIsRefusedNotCut)
{
    const std::string path = use_sim_card(R"({"name_max_length": 14, "number_max_length": 20})");
    ready_sim_phonebook();
    const std::string before = read_file(path);

    SampleContact fits("Fourteen bytes");
    fits.phone("+12345678901234567890");
    EXPECT_EQ(add_to_sim(fits), 1) << "14 bytes and 20 digits fit";

    SampleContact long_name("Fifteen bytes!!");
    EXPECT_EQ(add_to_sim(long_name), -kSimTooLong);
    SampleContact two_byte_chars("Zoë Lovelace A"); // 14 characters, 15 bytes
    EXPECT_EQ(add_to_sim(two_byte_chars), -kSimTooLong);
    SampleContact long_number("Long number");
    long_number.phone("123456789012345678901");
    EXPECT_EQ(add_to_sim(long_number), -kSimTooLong);
    SampleContact two_numbers("Two numbers");
    two_numbers.phone("1").phone("2");
    EXPECT_EQ(add_to_sim(two_numbers), -kSimEntryTooLarge);
    SampleContact with_email("With email");
    with_email.email("a@example.org");
    EXPECT_EQ(add_to_sim(with_email), -kSimEntryTooLarge);
    SampleContact letters("Letters");
    letters.phone("CALL-ME");
    EXPECT_EQ(add_to_sim(letters), -kInvalidArgument);

    EXPECT_EQ(count(CONTACT_STORAGE_SIM), 1) << "refused contacts are not stored, not even cut";
    EXPECT_EQ(name_at(CONTACT_STORAGE_SIM, 1), "Fourteen bytes +12345678901234567890");
    // An update that no longer fits is refused and the old entry stays.
    SampleContact grown("Fourteen bytes, now longer");
    int error_code = -1;
    EXPECT_EQ(contact_update_contact(CONTACT_STORAGE_SIM, 1, &grown.record, &error_code), 0);
    EXPECT_EQ(error_code, kSimTooLong);
    EXPECT_EQ(name_at(CONTACT_STORAGE_SIM, 1), "Fourteen bytes +12345678901234567890");
    EXPECT_NE(read_file(path).find("Fourteen bytes"), std::string::npos);
    EXPECT_EQ(read_file(path).find("Fifteen"), std::string::npos);
    EXPECT_NE(read_file(path), before);
}

TEST_F(SimServiceTest, SimWritesSurviveARestartWithTheSameCard)
{
    const std::string path = use_sim_card(card_with_entries(3));
    ready_sim_phonebook();
    SampleContact grace("Grace Hopper");
    grace.phone("+1 (555) 0100");
    EXPECT_EQ(add_to_sim(grace), 4);
    SampleContact renamed("Entry one");
    renamed.phone("999");
    int error_code = -1;
    ASSERT_EQ(contact_update_contact(CONTACT_STORAGE_SIM, 1, &renamed.record, &error_code), 1);
    ASSERT_EQ(contact_delete_contact(CONTACT_STORAGE_SIM, 2, &error_code), 1);
    SampleContact fdn("Office");
    fdn.phone("02079460000");
    EXPECT_EQ(add_to_sim(fdn, CONTACT_STORAGE_FDN), 2);
    SampleContact sdn("Mine");
    EXPECT_EQ(add_to_sim(sdn, CONTACT_STORAGE_SDN), -kSimReadOnly);
    EXPECT_FALSE(std::filesystem::exists(path + ".new")) << "the new file was renamed over the card";

    restart_service();
    EXPECT_EQ(count(CONTACT_STORAGE_SIM), 0);
    ready_sim_phonebook();
    EXPECT_EQ(count(CONTACT_STORAGE_SIM), 3);
    EXPECT_EQ(name_at(CONTACT_STORAGE_SIM, 1), "Entry one 999");
    EXPECT_EQ(name_at(CONTACT_STORAGE_SIM, 2).rfind("<none", 0), 0u);
    EXPECT_EQ(name_at(CONTACT_STORAGE_SIM, 3), "Entry 3 +44794600003");
    EXPECT_EQ(name_at(CONTACT_STORAGE_SIM, 4), "Grace Hopper +1 (555) 0100");
    EXPECT_EQ(name_at(CONTACT_STORAGE_FDN, 2), "Office 02079460000");
    sim_used_status_t used{};
    ASSERT_EQ(contact_get_sim_used_status(&used, &error_code), 1);
    EXPECT_EQ(used.adn_total, 100);
    EXPECT_EQ(used.adn_used, 3);
    EXPECT_EQ(used.fdn_total, 10);
    EXPECT_EQ(used.fdn_used, 2);
    EXPECT_EQ(used.sdn_used, 1);
    EXPECT_EQ(used.first_free_adn, 2);

    ASSERT_EQ(contact_delete_all_contacts(CONTACT_STORAGE_FDN, &error_code), 1);
    restart_service();
    ready_sim_phonebook();
    EXPECT_EQ(count(CONTACT_STORAGE_FDN), 0);
}

TEST_F(SimServiceTest, IndexBeyondTheCardsCapacityIsRefused)
{
    use_sim_card(R"({"capacity": {"adn": 2}})");
    ready_sim_phonebook();
    SampleContact a("A"), b("B"), c("C");
    EXPECT_EQ(add_to_sim(a), 1);
    EXPECT_EQ(add_to_sim(b), 2);
    EXPECT_EQ(add_to_sim(c), -kSimFull);
    EXPECT_EQ(count(CONTACT_STORAGE_SIM), 2);
}

TEST_F(SimServiceTest, AFailedWriteBackChangesNothing)
{
    const std::string path = use_sim_card(card_with_entries(2));
    ready_sim_phonebook();
    // The new file cannot be made where a directory stands in its way.
    std::filesystem::create_directory(path + ".new");
    SampleContact blocked("Blocked");
    EXPECT_EQ(add_to_sim(blocked), -kSimCardWriteFailed);
    EXPECT_EQ(count(CONTACT_STORAGE_SIM), 2);
    EXPECT_EQ(read_file(path), card_with_entries(2)) << "the card file is untouched";
    std::filesystem::remove(path + ".new");
    EXPECT_EQ(add_to_sim(blocked), 3);
}

TEST_F(SimServiceTest, StatusAndUsedStatusComeFromTheCard)
{
    use_sim_card(card_with_entries(5));
    int error_code = -1;
    int format = -1, als = -1, iccid = -1;
    ASSERT_EQ(contact_get_sim_card_format(&format, &error_code), 1);
    EXPECT_EQ(format, CONTACT_SIM_CARD_FORMAT_SIM);
    ASSERT_EQ(contact_is_als_set_check(&als, &error_code), 1);
    EXPECT_EQ(als, 0);
    ASSERT_EQ(contact_is_sim_iccid_check(&iccid, &error_code), 1);
    EXPECT_EQ(iccid, CONTACT_SIM_ICCID_CHANGED) << "this card was never loaded";
    ready_sim_phonebook();
    ASSERT_EQ(contact_is_sim_iccid_check(&iccid, &error_code), 1);
    EXPECT_EQ(iccid, CONTACT_SIM_ICCID_SAME);

    sim_status_t status{};
    ASSERT_EQ(contact_get_sim_status(&status, &error_code), 1);
    EXPECT_EQ(status.is_present, 1);
    EXPECT_EQ(status.is_enabled, 1);
    EXPECT_EQ(status.card_format, CONTACT_SIM_CARD_FORMAT_SIM);
    EXPECT_EQ(status.load_percent, 100);
    EXPECT_STREQ(status.iccid, "8944000000000000042");
    EXPECT_EQ(status.adn_capacity, 100);
    EXPECT_EQ(status.adn_used, 5);
    EXPECT_EQ(status.sdn_capacity, 5);
    EXPECT_EQ(status.name_max_length, 14);
    EXPECT_EQ(status.number_max_length, 20);
    EXPECT_EQ(status.aas_count, 2);

    SampleContact more("More");
    EXPECT_EQ(add_to_sim(more), 6);
    sim_used_status_t used{};
    ASSERT_EQ(contact_get_sim_used_status(&used, &error_code), 1);
    EXPECT_EQ(used.adn_used, 6);
    EXPECT_EQ(used.aas_total, 4);
    EXPECT_EQ(used.aas_used, 2);
    EXPECT_EQ(used.first_free_adn, 7);
}

TEST_F(SimServiceTest, ActiveLineIsKeptByTheService)
{
    use_sim_card(R"({"als_supported": true})");
    int line = -1;
    int error_code = 77;
    ASSERT_EQ(contact_call_get_active_line(&line, &error_code), 1);
    EXPECT_EQ(line, CONTACT_CALL_ACTIVE_LINE1);
    ASSERT_EQ(contact_call_set_active_line(CONTACT_CALL_ACTIVE_LINE2, &error_code), 1);
    EXPECT_EQ(error_code, 77) << "no result code comes back";
    restart_service();
    ASSERT_EQ(contact_call_get_active_line(&line, &error_code), 1);
    EXPECT_EQ(line, CONTACT_CALL_ACTIVE_LINE2);
    sim_status_t status{};
    ASSERT_EQ(contact_get_sim_status(&status, &error_code), 1);
    EXPECT_EQ(status.active_line, CONTACT_CALL_ACTIVE_LINE2);

    use_sim_card(R"({"als_supported": false})");
    EXPECT_EQ(failure_code([](int *e) { return contact_call_set_active_line(CONTACT_CALL_ACTIVE_LINE2, e); }),
              kInvalidArgument)
        << "line 2 needs a card with ALS";
}

TEST_F(SimServiceTest, AasRecordsAreReadAndReplacedOnTheCard)
{
    const std::string path = use_sim_card(card_with_entries(1));
    sim_aas_record_t records[CONTACT_SIM_PHONE_TYPE_COUNT_MAX]{};
    int count = -1;
    int error_code = -1;
    ASSERT_EQ(contact_get_sim_aas_records(records, &count, &error_code), 1);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(records[1].index, 3);
    EXPECT_STREQ(records[1].text, "Car");

    sim_aas_record_t update[3] = {{2, "Office"}, {4, "Second home"}, {1, "Boat"}};
    EXPECT_EQ(logged_service_code([&](int *e) { return contact_update_all_aas_records(update, 2, e); }), kSimNotLoaded);
    ready_sim_phonebook();
    ASSERT_EQ(contact_update_all_aas_records(update, 2, &error_code), 1);
    EXPECT_EQ(error_code, 0);
    sim_aas_record_t five[5] = {{1, "a"}, {2, "b"}, {3, "c"}, {4, "d"}, {1, "e"}};
    EXPECT_EQ(logged_service_code([&](int *e) { return contact_update_all_aas_records(five, 5, e); }), kSimFull)
        << "the card holds 4";
    sim_aas_record_t too_far[1] = {{5, "Beyond"}};
    EXPECT_EQ(logged_service_code([&](int *e) { return contact_update_all_aas_records(too_far, 1, e); }),
              contact_engine::kIndexOutOfRange);
    sim_aas_record_t unterminated[1] = {{1, ""}};
    std::memset(unterminated[0].text, 'x', sizeof unterminated[0].text);
    EXPECT_EQ(logged_service_code([&](int *e) { return contact_update_all_aas_records(unterminated, 1, e); }),
              contact_engine::kInvalidUtf8);

    restart_service();
    std::memset(records, 0, sizeof records);
    ASSERT_EQ(contact_get_sim_aas_records(records, &count, &error_code), 1);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(records[0].index, 2);
    EXPECT_STREQ(records[0].text, "Office");
    EXPECT_EQ(records[1].index, 4);
    EXPECT_STREQ(records[1].text, "Second home");
    EXPECT_NE(read_file(path).find("Second home"), std::string::npos);
}

TEST_F(SimServiceTest, OnlySlotZeroExists)
{
    bool enabled = false;
    int error_code = -1;
    ASSERT_EQ(contact_is_sim_enabled(0, &enabled, &error_code), 1);
    EXPECT_TRUE(enabled);
    // A failed contact_is_sim_enabled leaves the caller's code as it was.
    error_code = 555;
    EXPECT_EQ(contact_is_sim_enabled(1, &enabled, &error_code), 0);
    EXPECT_EQ(error_code, 555);
    use_sim_card(R"({"enabled": false})");
    ASSERT_EQ(contact_is_sim_enabled(0, &enabled, &error_code), 1);
    EXPECT_FALSE(enabled);
    EXPECT_EQ(failure_code([](int *e) { return contact_initialize_sim(e); }), contact_engine::kSimDisabled);
}

TEST_F(SimServiceTest, AnUnusableCardFileStopsTheServiceAtStart)
{
    for (const char *card : {R"({"present": "yes"})", R"({"adn": [{"index": 1, "name": "Far too long a name", "number": "1"}]})",
                             R"({"adn": [{"index": 300, "name": "x", "number": "1"}]})", R"({"colour": "red"})",
                             "{not json"}) {
        SCOPED_TRACE(card);
        const std::string path = dir_.path() + "/bad-card.json";
        std::ofstream(path) << card;
        service_.stop();
        service_.arguments = {"--sim", path};
        EXPECT_THROW(service_.start(), std::runtime_error);
    }
    service_.arguments = {};
    service_.start();
}

} // namespace
} // namespace contact_test
