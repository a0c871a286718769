// Speed dials over the real service: the table, refusals, search, dials that
// follow their number or go with it or their contact.
#include <gtest/gtest.h>

#include <array>

#include "contact-engine.h"
#include "core/contact-engine-errors.h"
#include "sample-contact.h"
#include "test-support.h"

namespace contact_test {
namespace {

using namespace contact_engine; // the service's codes by name

constexpr int kPhone = CONTACT_STORAGE_PHONE;
constexpr int kAll = CONTACT_SPEED_DIAL_SEARCH_ALL_STORAGES, kAny = CONTACT_SPEED_DIAL_SEARCH_ANY;
using Dial = std::array<int, 4>; // index, storage, contact, phone position
const speed_dial_t kUntouched{-9, -9, -9, -9};

Dial fields(const speed_dial_t &d) { return {d.index, d.storage_type, d.contact_index, d.phone_position}; }

std::string failed(const std::string &function, const std::string &method)
{
    return "\n[DodazorEdidud]%s %d: " + function + ": " + method + "() failed(%s).\n";
}
const std::string kSetFailed = failed("contact_set_speed_dial", "contact_set_speed_dial");
const std::string kDeleteFailed = failed("contact_delete_speed_dial", "org_yora_contact_contact_delete_speed_dial");
const std::string kSearchFailed = failed("contact_search_speed_dials", "org_yora_contact_contact_search_speed_dials(");

// `call` succeeds with code 0.
void ok(const Call &call)
{
    int error_code = -1;
    EXPECT_EQ(call(&error_code), 1) << "code " << error_code;
    EXPECT_EQ(error_code, kOk);
}

class SpeedDialTest : public ServiceTest {
protected:
    // Adds a contact (index 0) or updates contact `index`; returns its index.
    int write(const std::string &name, const std::vector<std::string> &numbers, int index = 0)
    {
        SampleContact contact(name);
        for (const std::string &number : numbers)
            contact.phone(number);
        ok(index == 0 ? with(contact_add_contact, kPhone, &contact.record, &index)
                      : with(contact_update_contact, kPhone, index, &contact.record));
        return index;
    }
    // Sets dial `dial` from a record whose index says 8: the slot is the argument.
    void set(int dial, int contact, int position)
    {
        speed_dial_t record{8, kPhone, contact, position};
        ok(with(contact_set_speed_dial, dial, &record));
        EXPECT_EQ(record.index, dial);
    }
    Dial get(int dial) { return fields(answer<speed_dial_t>(kOk, contact_get_speed_dial, dial)); }
    // The code of a get that must fail; the record must stay as it was.
    int get_fails(int dial)
    {
        speed_dial_t record = kUntouched;
        const int code = failure_code(with(contact_get_speed_dial, dial, &record));
        EXPECT_EQ(fields(record), fields(kUntouched));
        return code;
    }
    int count() { return answer<int>(kOk, contact_get_speed_dial_count); }
};

// What cannot be dialled is refused, the record left as it was; a dial set
// is read back at the slot the argument names, also after a restart; delete
// one or all; the empty index is the lowest free dial, and a full table is
// an answer, not a failure: -1 and the code that says why.
TEST_F(SpeedDialTest, TheTableRefusalsSearchAndDialsThatFollowTheirNumber)
{
    EXPECT_TRUE(fails_with(with(contact_delete_speed_dial, 4), kNoSpeedDial, kDeleteFailed));
    EXPECT_TRUE(fails_with(with(contact_delete_speed_dial, 0), kSpeedDialOutOfRange, kDeleteFailed));
    EXPECT_EQ(get_fails(0), kSpeedDialOutOfRange);
    EXPECT_EQ(get_fails(CONTACT_SPEED_DIAL_INDEX_MAX + 1), kSpeedDialOutOfRange);
    const int anna = write("Anna", {"0301111", "0172222"}), nobody = write("No number", {});
    const struct {
        int dial;
        speed_dial_t record;
        int code;
    } refused[] = {
        {CONTACT_SPEED_DIAL_INDEX_MIN - 1, {0, kPhone, anna, 0}, kSpeedDialOutOfRange},
        {CONTACT_SPEED_DIAL_INDEX_MAX + 1, {0, kPhone, anna, 0}, kSpeedDialOutOfRange},
        {2, {0, CONTACT_STORAGE_FDN, 1, 0}, kUnknownStorage},      {2, {0, 99, 1, 0}, kUnknownStorage},
        {2, {0, kPhone, anna + 100, 0}, kNoContact},               {2, {0, kPhone, anna, 2}, kNoPhoneNumber},
        {2, {0, kPhone, nobody, 0}, kNoPhoneNumber},
    };
    for (const auto &r : refused) {
        speed_dial_t record = r.record;
        EXPECT_TRUE(fails_with(with(contact_set_speed_dial, r.dial, &record), r.code, kSetFailed)) << r.dial;
        EXPECT_EQ(fields(record), fields(r.record)) << "a refused set leaves the record as it was";
    }
    EXPECT_EQ(failure_code(with(contact_set_speed_dial, 2, nullptr)), CONTACT_ERROR_NULL_ARGUMENT) << "nothing packed";
    EXPECT_EQ(count(), 0);
    EXPECT_EQ(answer<int>(kOk, contact_get_empty_speed_dial_index), CONTACT_SPEED_DIAL_INDEX_MIN);

    set(3, anna, 1);
    set(3, anna, 0); // again at the same dial: it now points at the other number
    EXPECT_EQ(get(3), (Dial{3, kPhone, anna, 0}));
    for (int dial : {1, 2, 5})
        set(dial, anna, 1);
    EXPECT_EQ(get_fails(8), kNoSpeedDial) << "the record's own index was not used";
    EXPECT_EQ(answer<int>(kOk, contact_get_empty_speed_dial_index), 4);
    restart_service();
    EXPECT_EQ(get(5), (Dial{5, kPhone, anna, 1})) << "dials survive a restart";
    ok(with(contact_delete_speed_dial, 2));
    EXPECT_EQ(get_fails(2), kNoSpeedDial);
    EXPECT_EQ(answer<int>(kOk, contact_get_empty_speed_dial_index), 2);
    for (int dial = CONTACT_SPEED_DIAL_INDEX_MIN; dial <= CONTACT_SPEED_DIAL_INDEX_MAX; ++dial)
        set(dial, anna, 0);
    EXPECT_EQ(count(), CONTACT_SPEED_DIAL_INDEX_MAX - CONTACT_SPEED_DIAL_INDEX_MIN + 1);
    EXPECT_EQ(answer<int>(kSpeedDialFull, contact_get_empty_speed_dial_index), -1);
    ok(contact_delete_all_speed_dials);
    EXPECT_EQ(count(), 0);
    ok(contact_delete_all_speed_dials); // an empty table is no error

    // A dial follows its number through updates, and goes with the number, its
    // contact, or every contact of the storage; the search by name, number and storage.
    write("Anna", {"0301111", "0172222", "0403333"}, anna);
    const int bernd = write("Bernd", {"040 2222"});
    set(2, anna, 1); // 0172222
    set(3, anna, 2); // 0403333
    set(5, bernd, 0);
    set(6, anna, 0); // 0301111
    write("Anna Berg", {"0172222", "0301111", "0403333"}, anna); // the dials follow their numbers
    EXPECT_EQ(get(2), (Dial{2, kPhone, anna, 0}));
    EXPECT_EQ(get(6), (Dial{6, kPhone, anna, 1}));
    write("Anna Berg", {"0301111", "0172222"}, anna); // 0403333 goes, and its dial with it
    EXPECT_EQ(get_fails(3), kNoSpeedDial);

    constexpr int kName = CONTACT_SPEED_DIAL_SEARCH_NAME, kNumber = CONTACT_SPEED_DIAL_SEARCH_NUMBER;
    const struct {
        const char *query;
        int what, storage;
        std::vector<Dial> found;
    } searches[] = {
        {"", kAny, kAll, {{2, kPhone, anna, 1}, {5, kPhone, bernd, 0}, {6, kPhone, anna, 0}}}, // in dial order
        {"BER", kName, kAll, {{2, kPhone, anna, 1}, {5, kPhone, bernd, 0}, {6, kPhone, anna, 0}}}, // any case
        {"ann", kName, kAll, {{2, kPhone, anna, 1}, {6, kPhone, anna, 0}}},
        {"2222", kNumber, kAll, {{2, kPhone, anna, 1}, {5, kPhone, bernd, 0}}}, // by digits
        {"0301-111", kNumber, kAll, {{6, kPhone, anna, 0}}},
        {"2222", kName, kAll, {}},
        {"bernd", kAny, kAll, {{5, kPhone, bernd, 0}}},
        {"1111", kAny, kAll, {{6, kPhone, anna, 0}}},
        {"", kAny, CONTACT_STORAGE_SIM, {}},
    };
    for (const auto &row : searches) {
        std::vector<speed_dial_t> found(CONTACT_SPEED_DIAL_COUNT_MAX, kUntouched);
        int found_count = -1;
        ok(with(contact_search_speed_dials, row.query, row.what, row.storage, found.data(), &found_count));
        std::vector<Dial> dials;
        for (const speed_dial_t &dial : found)
            if (fields(dial) != fields(kUntouched))
                dials.push_back(fields(dial));
        EXPECT_EQ(dials, row.found) << row.query << " " << row.what;
        EXPECT_EQ(found_count, int(row.found.size())) << "nothing written past the count";
    }
    speed_dial_t found[CONTACT_SPEED_DIAL_COUNT_MAX];
    int found_count = 42;
    EXPECT_TRUE(fails_with(with(contact_search_speed_dials, "", 3, kAll, found, &found_count), kInvalidArgument,
                           kSearchFailed));
    EXPECT_TRUE(fails_with(with(contact_search_speed_dials, "", kAny, CONTACT_STORAGE_FDN, found, &found_count),
                           kUnknownStorage, kSearchFailed));
    EXPECT_EQ(found_count, 42);

    ok(with(contact_delete_contact, kPhone, anna));
    EXPECT_EQ(get_fails(2), kNoSpeedDial);
    EXPECT_EQ(get(5), (Dial{5, kPhone, bernd, 0}));
    EXPECT_EQ(write("Carla", {"0172222"}), anna);
    EXPECT_EQ(get_fails(2), kNoSpeedDial) << "a new contact at the freed index does not inherit the dials";
    ok(with(contact_delete_all_contacts, kPhone));
    EXPECT_EQ(count(), 0) << "deleting every contact of the storage clears their dials";
}

} // namespace
} // namespace contact_test
