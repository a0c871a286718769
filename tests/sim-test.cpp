// The SIM phonebook: the library's range checks, and the simulated card behind
// the real service: the load watched while the service answers, absent, locked
// and unusable cards, SIM limits, write-back across a restart, AAS and the active line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <thread>

#include "contact-engine.h"
#include "core/contact-engine-errors.h"
#include "sample-contact.h"
#include "test-support.h"

namespace contact_test {
namespace {

sim_aas_record_t g_aas[CONTACT_SIM_PHONE_TYPE_COUNT_MAX];
bool g_bool;

// ---- checks made before anything is sent ------------------------------------

// The ranges (the NULL pointers are the frame's checks, as in every family);
// the two AAS operations test their pointers before the connection.
TEST(SimChecks, EachOperationReportsItsOwnPrecondition)
{
    constexpr int kRange = CONTACT_ERROR_OUT_OF_RANGE;
    const std::string count_range = "\n[DodazorEdidud]%s %d: count > 0 && count <= CONTACT_SIM_PHONE_TYPE_COUNT_MAX.\n";
    // No final newline in this one.
    const std::string line_range = "\n[DodazorEdidud]%s %d: active_line >= CONTACT_CALL_ACTIVE_LINE1 && active_line "
                                   "<= CONTACT_CALL_ACTIVE_LINE2.";
    const char *update_aas = "contact_update_all_aas_records", *set_line = "contact_call_set_active_line";
    expect_preconditions({
        {update_aas, with(contact_update_all_aas_records, g_aas, 0), kRange, count_range},
        {set_line, with(contact_call_set_active_line, CONTACT_CALL_ACTIVE_LINE2 + 1), kRange, line_range},
    });
    // Without a connection (none is open here), the AAS operations still report their pointers.
    EXPECT_EQ(failure_code(with(contact_update_all_aas_records, nullptr, 0)), CONTACT_ERROR_NULL_ARGUMENT);
    EXPECT_EQ(failure_code(with(contact_get_sim_aas_records, g_aas, nullptr)), CONTACT_ERROR_NULL_ARGUMENT);
}

// ---- the simulated card behind the real service --------------------------------

using namespace contact_engine; // the service's codes by name

// A card with `count` ADN entries "Entry 1" .. of `capacity`, one FDN and one SDN entry, two AAS labels.
std::string card_with_entries(int count, int capacity = 100)
{
    std::string adn;
    for (int i = 1; i <= count; ++i)
        adn += std::string(i > 1 ? "," : "") + R"({"index": )" + std::to_string(i) + R"(, "name": "Entry )" +
               std::to_string(i) + R"(", "number": "+4479460000)" + std::to_string(i % 10) + R"("})";
    return R"({"iccid": "8944000000000000042", "card_format": "sim", "als_supported": false,
               "capacity": {"adn": )" + std::to_string(capacity) + R"(, "fdn": 10, "sdn": 5, "aas": 4},
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
    const std::size_t at = errors.size() == 1 ? errors[0].text.find("failed(") : std::string::npos;
    return at == std::string::npos ? -1 : std::atoi(errors[0].text.c_str() + at + 7);
}

class SimServiceTest : public ServiceTest {
protected:
    // The new index, or the code negated.
    int add_to_sim(SampleContact &contact, int storage = CONTACT_STORAGE_SIM)
    {
        int index = -1, error_code = -1;
        return contact_add_contact(storage, &contact.record, &index, &error_code) == 1 ? index : -error_code;
    }
    int add_to_sim(const std::string &name, const std::string &number = "", int storage = CONTACT_STORAGE_SIM)
    {
        SampleContact contact(name);
        return add_to_sim(number.empty() ? contact : contact.phone(number), storage);
    }
    int count(int storage) { return answer<int>(kOk, contact_get_contact_count, storage); }
    // "<display name> <first number>", or "<none: code>".
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
    // What `query` stores, over a pattern it must overwrite.
    template <class T> T read(int (*query)(T *, int *))
    {
        T value;
        std::memset(&value, 0x7f, sizeof value);
        int error_code = -1;
        EXPECT_EQ(query(&value, &error_code), 1) << error_code;
        return value;
    }
};

// Without --sim the service has a built-in card, in slot 0 only.  A card's
// status, used status, ICCID check and AAS records come from the card; the
// AAS records are replaced on it, whole or not at all; the active line is
// kept by the service (line 2 needs a card with ALS); a disabled card does not load.
TEST_F(SimServiceTest, StatusAasRecordsAndTheActiveLineComeFromTheCard)
{
    int error_code = 555;
    EXPECT_EQ(contact_is_sim_enabled(1, &g_bool, &error_code), 0);
    EXPECT_EQ(error_code, 555) << "a failed contact_is_sim_enabled leaves the caller's code as it was";

    use_sim_card(card_with_entries(5));
    EXPECT_EQ(read(contact_is_als_set_check), 0);
    EXPECT_EQ(read(contact_is_sim_iccid_check), CONTACT_SIM_ICCID_CHANGED) << "this card was never loaded";
    const auto aas = [] { // "index text;" for each record
        sim_aas_record_t records[CONTACT_SIM_PHONE_TYPE_COUNT_MAX]{};
        int count = -1, code = -1;
        EXPECT_EQ(contact_get_sim_aas_records(records, &count, &code), 1);
        std::string text;
        for (int i = 0; i < count; ++i)
            text += std::to_string(records[i].index) + " " + records[i].text + ";";
        return text;
    };
    EXPECT_EQ(aas(), "1 Work;3 Car;");
    sim_aas_record_t update[2] = {{2, "Office"}, {4, "Second home"}};
    EXPECT_EQ(logged_service_code(with(contact_update_all_aas_records, update, 2)), kSimNotLoaded);
    ready_sim_phonebook();
    EXPECT_EQ(read(contact_is_sim_iccid_check), CONTACT_SIM_ICCID_SAME) << "as soon as the load reads as complete";
    const sim_status_t card = read(contact_get_sim_status);
    EXPECT_EQ(std::vector<int>({card.is_present, card.is_enabled, card.card_format, card.load_state, card.is_open,
                                card.load_percent, card.adn_capacity, card.adn_used, card.sdn_capacity,
                                card.name_max_length, card.number_max_length, card.aas_count}),
              std::vector<int>(
                  {1, 1, CONTACT_SIM_CARD_FORMAT_SIM, CONTACT_SIM_LOAD_DONE, 1, 100, 100, 5, 5, 14, 20, 2}));
    EXPECT_STREQ(card.iccid, "8944000000000000042");
    EXPECT_EQ(add_to_sim("More"), 6);
    const sim_used_status_t on_card = read(contact_get_sim_used_status);
    EXPECT_EQ(std::vector<int>({on_card.adn_used, on_card.aas_total, on_card.aas_used, on_card.first_free_adn}),
              std::vector<int>({6, 4, 2, 7}));

    error_code = -1;
    ASSERT_EQ(contact_update_all_aas_records(update, 2, &error_code), 1);
    EXPECT_EQ(error_code, 0);
    sim_aas_record_t five[5] = {{1, "a"}, {2, "b"}, {3, "c"}, {4, "d"}, {1, "e"}};
    sim_aas_record_t too_far[1] = {{5, "Beyond"}};
    sim_aas_record_t unterminated[1] = {{1, ""}};
    std::memset(unterminated[0].text, 'x', sizeof unterminated[0].text);
    EXPECT_EQ(logged_service_code(with(contact_update_all_aas_records, five, 5)), kSimFull) << "the card holds 4";
    EXPECT_EQ(logged_service_code(with(contact_update_all_aas_records, too_far, 1)), kIndexOutOfRange);
    EXPECT_EQ(logged_service_code(with(contact_update_all_aas_records, unterminated, 1)), kInvalidUtf8);
    EXPECT_EQ(failure_code(with(contact_call_set_active_line, CONTACT_CALL_ACTIVE_LINE2)), kInvalidArgument);
    restart_service();
    EXPECT_EQ(read(contact_is_sim_iccid_check), CONTACT_SIM_ICCID_SAME) << "from the ICCID the load stored";
    EXPECT_EQ(aas(), "2 Office;4 Second home;");

    use_sim_card(R"({"als_supported": true})");
    EXPECT_EQ(read(contact_call_get_active_line), CONTACT_CALL_ACTIVE_LINE1);
    error_code = 77;
    ASSERT_EQ(contact_call_set_active_line(CONTACT_CALL_ACTIVE_LINE2, &error_code), 1);
    EXPECT_EQ(error_code, 77) << "no result code comes back";
    restart_service();
    EXPECT_EQ(read(contact_call_get_active_line), CONTACT_CALL_ACTIVE_LINE2);
    EXPECT_EQ(read(contact_get_sim_status).active_line, CONTACT_CALL_ACTIVE_LINE2);

    use_sim_card(R"({"enabled": false})");
    EXPECT_FALSE(answer<bool>(kOk, [](bool *answer, int *e) { return contact_is_sim_enabled(0, answer, e); }));
    EXPECT_EQ(failure_code(with(contact_initialize_sim)), kSimDisabled);
}

// The load runs on a worker: the percent climbs while the service keeps
// answering.  Nothing opens, reads or writes before the load, and reads and
// writes wait for contact_open_sim.
TEST_F(SimServiceTest, LoadProgressIsSeenWhileTheServiceAnswersAndNothingOpensBeforeTheLoad)
{
    const std::string path = dir_.path() + "/sim-card.json";
    std::ofstream(path) << card_with_entries(60);
    service_.arguments = {"--sim", path, "--sim-load-delay-ms", "40"};
    restart_service();
    EXPECT_EQ(failure_code(with(contact_get_sim_adn)), kSimNotLoaded);
    EXPECT_EQ(add_to_sim("Early"), -kSimNotLoaded);
    int error_code = -1;
    ASSERT_EQ(contact_initialize_sim(&error_code), 1);
    // 63 entries at 40 ms: the load takes about 2.5 s.
    EXPECT_EQ(failure_code(with(contact_open_sim)), kSimNotLoaded);
    ASSERT_EQ(contact_initialize_sim(&error_code), 1) << "a load under way goes on";
    // The service answers meanwhile (how fast is the benchmarks' business); the percent only climbs.
    std::vector<int> seen{0};
    for (bool loaded = false; !loaded; std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
        int percent = -1;
        ASSERT_EQ(contact_is_sim_initialized(&loaded, &percent, &error_code), 1);
        ASSERT_GE(percent, seen.back());
        seen.push_back(percent);
    }
    EXPECT_EQ(seen.back(), 100);
    EXPECT_GE(std::count_if(seen.begin(), seen.end(), [](int p) { return p > 0 && p < 100; }), 1)
        << "the climb is seen on the way";
    EXPECT_EQ(count(CONTACT_STORAGE_SIM), 60);
    EXPECT_EQ(name_at(CONTACT_STORAGE_SIM, 7), "Entry 7 +44794600007");
    EXPECT_EQ(name_at(CONTACT_STORAGE_FDN, 1), "Emergency 112");
    EXPECT_EQ(name_at(CONTACT_STORAGE_SDN, 2), "Operator 150");

    // Loaded, not open: reads and writes still wait for contact_open_sim.
    EXPECT_EQ(failure_code(with(contact_get_sim_adn)), kSimNotOpen);
    EXPECT_EQ(add_to_sim("Early"), -kSimNotOpen);
    ASSERT_EQ(contact_open_sim(&error_code), 1);
    ASSERT_EQ(contact_get_sim_adn(&error_code), 1);
    EXPECT_EQ(add_to_sim("Early"), 61);
    ASSERT_EQ(contact_close_sim(&error_code), 1);
    EXPECT_EQ(failure_code(with(contact_delete_contact, CONTACT_STORAGE_SIM, 61)), kSimNotOpen);
    EXPECT_EQ(count(CONTACT_STORAGE_SIM), 61) << "a refused delete leaves the contact";
}

// What does not fit the card is refused, not cut, and a full card changes
// nothing; writes reach the card file and survive a restart; absent, locked
// and unusable cards.
TEST_F(SimServiceTest, WritesSurviveARestartAndAbsentLockedOrUnusableCardsRefuse)
{
    use_sim_card(card_with_entries(3, 5)); // names of 14 bytes, numbers of 20
    ready_sim_phonebook();
    EXPECT_EQ(add_to_sim("Fourteen bytes", "+12345678901234567890"), 4) << "14 bytes and 20 digits fit";
    EXPECT_EQ(add_to_sim("Fifteen bytes!!"), -kSimTooLong);
    EXPECT_EQ(add_to_sim("Zoë Lovelace A"), -kSimTooLong) << "14 characters, 15 bytes";
    EXPECT_EQ(add_to_sim("Long number", "123456789012345678901"), -kSimTooLong);
    EXPECT_EQ(add_to_sim("Letters", "CALL-ME"), -kInvalidArgument);
    SampleContact two_numbers("Two numbers"), with_email("With email");
    EXPECT_EQ(add_to_sim(two_numbers.phone("1").phone("2")), -kSimEntryTooLarge);
    EXPECT_EQ(add_to_sim(with_email.email("a@example.org")), -kSimEntryTooLarge);
    // An update that no longer fits is refused and the old entry stays.
    SampleContact grown("Fourteen bytes, now longer");
    EXPECT_EQ(failure_code(with(contact_update_contact, CONTACT_STORAGE_SIM, 4, &grown.record)), kSimTooLong);
    EXPECT_EQ(count(CONTACT_STORAGE_SIM), 4) << "refused contacts are not stored, not even cut";

    EXPECT_EQ(add_to_sim("Grace Hopper", "+1 (555) 0100"), 5);
    EXPECT_EQ(add_to_sim("Full"), -kSimFull);

    SampleContact renamed("Entry one");
    int error_code = -1;
    ASSERT_EQ(contact_update_contact(CONTACT_STORAGE_SIM, 1, &renamed.phone("999").record, &error_code), 1);
    ASSERT_EQ(contact_delete_contact(CONTACT_STORAGE_SIM, 2, &error_code), 1);
    EXPECT_EQ(add_to_sim("Office", "02079460000", CONTACT_STORAGE_FDN), 2);
    EXPECT_EQ(add_to_sim("Mine", "", CONTACT_STORAGE_SDN), -kSimReadOnly);
    restart_service();
    ready_sim_phonebook();
    EXPECT_EQ(count(CONTACT_STORAGE_SIM), 4);
    EXPECT_EQ(name_at(CONTACT_STORAGE_SIM, 1), "Entry one 999");
    EXPECT_EQ(name_at(CONTACT_STORAGE_SIM, 2).rfind("<none", 0), 0u);
    EXPECT_EQ(name_at(CONTACT_STORAGE_SIM, 4), "Fourteen bytes +12345678901234567890");
    EXPECT_EQ(name_at(CONTACT_STORAGE_SIM, 5), "Grace Hopper +1 (555) 0100");
    EXPECT_EQ(name_at(CONTACT_STORAGE_FDN, 2), "Office 02079460000");
    const sim_used_status_t on_card = read(contact_get_sim_used_status);
    EXPECT_EQ(std::vector<int>({on_card.adn_total, on_card.adn_used, on_card.fdn_total, on_card.fdn_used,
                                on_card.sdn_used, on_card.first_free_adn}),
              std::vector<int>({5, 4, 10, 2, 1, 2}));

    // An absent card answers every query and refuses every command; a locked
    // one is present but neither loads nor opens; a card file the service cannot
    // use stops it at start.
    use_sim_card(R"({"present": false})");
    EXPECT_FALSE(answer<bool>(kOk, contact_is_sim_present));
    bool yes = true;
    int percent = -1;
    ASSERT_EQ(contact_is_sim_initialized(&yes, &percent, &error_code), 1);
    EXPECT_EQ(std::make_pair(yes, error_code), std::make_pair(false, int(kSimAbsent))) << "the answer says why";
    EXPECT_EQ(read(contact_is_sim_iccid_check), CONTACT_SIM_ICCID_NO_CARD);
    for (auto command : {contact_initialize_sim, contact_open_sim, contact_close_sim})
        EXPECT_EQ(failure_code(command), kSimAbsent);
    EXPECT_EQ(failure_code(with(contact_get_sim_card_format, &percent)), kSimAbsent);
    sim_status_t card = read(contact_get_sim_status);
    EXPECT_EQ(std::make_tuple(card.is_present, card.adn_capacity, std::string(card.iccid)),
              std::make_tuple(0, 0, std::string()));
    EXPECT_EQ(add_to_sim("Nowhere"), -kSimAbsent);

    use_sim_card(R"({"pin_locked": true, "iccid": "8944000000000000099"})");
    EXPECT_TRUE(answer<bool>(kOk, contact_is_sim_present));
    EXPECT_EQ(failure_code(contact_initialize_sim), kSimLocked);
    EXPECT_EQ(failure_code(contact_open_sim), kSimLocked);
    card = read(contact_get_sim_status);
    EXPECT_EQ(std::make_tuple(card.is_present, card.is_pin_locked, card.load_state, std::string(card.iccid)),
              std::make_tuple(1, 1, int(CONTACT_SIM_LOAD_NOT_STARTED), std::string("8944000000000000099")));
    EXPECT_EQ(add_to_sim("Locked"), -kSimLocked);

    for (const char *unusable :
         {R"({"present": "yes"})", R"({"adn": [{"index": 1, "name": "Far too long a name", "number": "1"}]})",
          R"({"adn": [{"index": 300, "name": "x", "number": "1"}]})", R"({"colour": "red"})", "{not json"}) {
        std::ofstream(dir_.path() + "/sim-card.json") << unusable;
        service_.stop();
        EXPECT_THROW(service_.start(), std::runtime_error) << unusable;
    }
    service_.arguments = {};
    service_.start();
}

} // namespace
} // namespace contact_test
