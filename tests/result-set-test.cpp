// Result sets over the private bus with the real service (locale en_GB, so
// numbers without a country code are British).
#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>

#include <chrono>
#include <cstring>

#include "contact-engine-bus.h"
#include "core/contact-engine-errors.h"
#include "sample-contact.h"
#include "test-support.h"

namespace contact_test {
namespace {

using namespace contact_engine; // the service's codes by name

constexpr int kPhone = CONTACT_STORAGE_PHONE;
constexpr int kByName = 0, kMostCalled = 1;
constexpr int kSearchName = 0, kSearchNumber = 1;
constexpr int kFirst = 0, kNext = 1, kPrevious = 2, kLast = 3;
constexpr int kAdvance = 0;

// A second client on the bus with its own unique name, calling the service directly.
struct OtherClient : BusClient {
    // The service's code for asking the size of set `id`, or 0 when it answers.
    int count_error(int id)
    {
        return code_of([&] {
            proxy->callMethod("contact_result_set_get_contact_count").onInterface(CONTACT_ENGINE_INTERFACE)
                .withArguments(std::int32_t(id));
        });
    }
};

class ResultSetTest : public ServiceTest {
protected:
    ResultSetTest() { service_.arguments = {"--locale", "en_GB"}; }
    int add(const std::string &name, const std::string &number = "")
    {
        SampleContact contact(name);
        SampleContact &with_number = number.empty() ? contact : contact.phone(number);
        return answer<int>(kOk, contact_add_contact, kPhone, &with_number.record);
    }
    int create(int order = kByName) { return answer<int>(kUntouched, contact_result_set_create, kPhone, "", order); }
    int search(int type, const char *query)
    {
        return answer<int>(kUntouched, contact_result_set_create_by_search_type, kPhone, type, query, kByName);
    }
    // Every display name of the set, fetched in batches of `batch`.
    std::vector<std::string> names(int id, int batch = 7)
    {
        std::vector<std::string> seen;
        std::vector<contact_t> records(static_cast<std::size_t>(batch));
        for (;;) {
            int count = 0, code = 0;
            const int ok = contact_result_set_get_contacts(id, batch, kAdvance, records.data(), &count, &code);
            for (int i = 0; i < count; ++i)
                seen.emplace_back(records[std::size_t(i)].display_name);
            if (!ok) {
                EXPECT_EQ(code, CONTACT_ERROR_SHORT_BATCH);
                return seen;
            }
        }
    }
    std::string current_name(int id)
    {
        return answer<contact_t>(kUntouched, contact_result_set_get_current_contact, id).display_name;
    }
};

// A change of locale: the service answers at once, sorting by the keys it
// has, and sorts by the new locale once it has remade them (Swedish puts Å
// and Ö after Z; English sorts them with A and O).  Numbers written
// without a country code are then Swedish ones.
TEST_F(ResultSetTest, AfterALocaleChangeTheServiceAnswersAtOnceThenSortsByTheNewLocale)
{
    for (const char *name : {"Östen", "Zorro", "Åsa", "Anna"})
        add(name);
    add("Olle", "020 7946 0018");
    const std::vector<std::string> english{"Anna", "Åsa", "Olle", "Östen", "Zorro"};
    const std::vector<std::string> swedish{"Anna", "Olle", "Zorro", "Åsa", "Östen"};
    EXPECT_EQ(names(create()), english);
    service_.arguments = {"--locale", "sv_SE", "--key-rebuild-pause-ms", "600000"}; // the keys wait: the old ones serve
    restart_service();
    EXPECT_EQ(names(create()), english);
    service_.arguments = {"--locale", "sv_SE"};
    restart_service();
    std::vector<std::string> seen;
    eventually([&] {
        const int id = create();
        seen = names(id);
        contact_result_set_destory(id, &error_code_);
        return seen == swedish;
    });
    EXPECT_EQ(seen, swedish);
    EXPECT_EQ(names(search(kSearchNumber, "+46 20 7946 0018")), std::vector<std::string>{"Olle"});
}

// A name search ignores case and accents at word beginnings, also inside a
// group; a number search finds the same number in every format, and so does
// the fixed-dialling check; most called lists called contacts by frequency.
TEST_F(ResultSetTest, SearchByNameNumberGroupAndFrequencyAndRefusals)
{
    const int often = add("José Álvarez", "+44 20 7946 0018"), rare = add("JOSÉ", "020 7946 0018");
    add("Josefina Ruiz", "0044 20 7946 0018");
    const int members[] = {add("Anna Jose-Maria", "+44 20 7946 0099"), add("Ajose Ola", "+1 202 555 0018")};
    add("Bob");
    add("Jose Josefa");
    EXPECT_EQ(names(search(kSearchName, "jose")),
              (std::vector<std::string>{"Anna Jose-Maria", "JOSÉ", "José Álvarez", "Jose Josefa", "Josefina Ruiz"}))
        << "each contact once, even when two of its words match";
    EXPECT_EQ(names(search(kSearchName, "jose alv")), (std::vector<std::string>{"José Álvarez"}));
    EXPECT_TRUE(names(search(kSearchName, "osé")).empty()) << "only beginnings of words match";
    int id = -1;
    ASSERT_EQ(contact_result_set_create(kPhone, "ola", kByName, &id, &error_code_), 1);
    EXPECT_EQ(names(id), (std::vector<std::string>{"Ajose Ola"})) << "the plain creator searches names";

    const std::vector<std::string> same{"JOSÉ", "José Álvarez", "Josefina Ruiz"};
    for (const char *query : {"+44 20 7946 0018", "020 7946 0018", "00442079460018", "(020) 7946-0018"})
        EXPECT_EQ(names(search(kSearchNumber, query)), same) << query;
    EXPECT_EQ(names(search(kSearchNumber, "020 7946")),
              (std::vector<std::string>{"Anna Jose-Maria", "JOSÉ", "José Álvarez", "Josefina Ruiz"}))
        << "a beginning of a number finds every number that starts so";

    group_t group{};
    std::strcpy(group.name, "Friends");
    int in = 0;
    constexpr int kGroups = CONTACT_GROUP_STORAGE_PHONE;
    ASSERT_EQ(contact_add_group(kGroups, &group, &in, &error_code_), 1);
    for (int member : members)
        ASSERT_EQ(contact_add_group_member(kGroups, in, member, &error_code_), 1);
    ASSERT_EQ(contact_result_set_create_by_group(kPhone, kGroups, in, "", kByName, &id, &error_code_), 1);
    EXPECT_EQ(names(id), (std::vector<std::string>{"Ajose Ola", "Anna Jose-Maria"}));
    ASSERT_EQ(contact_result_set_create_by_group(kPhone, kGroups, in, "jose", kByName, &id, &error_code_), 1);
    EXPECT_EQ(names(id), (std::vector<std::string>{"Anna Jose-Maria"})) << "a name search inside the group";
    EXPECT_EQ(failure_code(with(contact_result_set_create_by_group, kPhone, kGroups, in + 1, "", kByName, &id)),
              kNoGroup);

    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(contact_increase_frequency(kPhone, often, &error_code_), 1);
    ASSERT_EQ(contact_increase_frequency(kPhone, rare, &error_code_), 1);
    EXPECT_EQ(names(create(kMostCalled)), (std::vector<std::string>{"José Álvarez", "JOSÉ"}));
    // The fixed-dialling check compares numbers in every format (the list is on the built-in card).
    ready_sim_phonebook();
    SampleContact london("London");
    answer<int>(kOk, contact_add_contact, CONTACT_STORAGE_FDN, &london.phone("+44 20 7946").record);
    for (const auto &[dialled, listed] :
         {std::pair{"020 7946 0018", true}, {"00442079460018", true}, {"020 7000 0018", false}})
        EXPECT_EQ(answer<bool>(kUntouched, contact_is_fdn_phone_number_exist, dialled), listed) << dialled;

    // Bad parameters are refused with their codes; a failed fetch gives code 32
    // only when the preset count is below the request, and leaves the count.
    // Another client's set is refused (and not destroyed); a set goes when its
    // client leaves the bus, which the service learns from the daemon shortly after.
    int count = 0, theirs = 0;
    contact_t records[5];
    EXPECT_EQ(failure_code(with(contact_result_set_get_contacts, 4242, 5, kAdvance, records, &count)),
              CONTACT_ERROR_SHORT_BATCH);
    EXPECT_EQ(count, 0);
    count = 5;
    EXPECT_EQ(failure_code(with(contact_result_set_get_contacts, 4242, 5, kAdvance, records, &count)), kNoResultSet);
    EXPECT_EQ(count, 5);
    EXPECT_EQ(failure_code(with(contact_result_set_create, kPhone, "", 9, &id)), kInvalidArgument);
    EXPECT_EQ(failure_code(with(contact_result_set_create, 42, "", kByName, &id)), kUnknownStorage);
    EXPECT_EQ(failure_code(with(contact_result_set_create_by_search_type, kPhone, 7, "x", 0, &id)), kInvalidArgument);
    const int mine = search(kSearchName, "nobody"); // empty
    EXPECT_EQ(failure_code(with(contact_result_set_move_cursor, mine, kNext)), kCursorOutOfRange);
    EXPECT_EQ(failure_code(with(contact_result_set_move_cursor, mine, 99)), kInvalidArgument);
    EXPECT_EQ(failure_code(with(contact_result_set_get_current_contact, mine, records)), kCursorOutOfRange);
    {
        OtherClient other;
        EXPECT_EQ(other.count_error(mine), kResultSetNotYours);
        other.proxy->callMethod("contact_result_set_create").onInterface(CONTACT_ENGINE_INTERFACE)
            .withArguments(kPhone, std::string(), kByName).storeResultsTo(theirs);
        EXPECT_EQ(failure_code(with(contact_result_set_get_contact_count, theirs, &count)), kResultSetNotYours);
        EXPECT_EQ(failure_code(with(contact_result_set_destory, theirs)), kResultSetNotYours);
        EXPECT_EQ(other.count_error(theirs), 0) << "a refused destroy destroys nothing";
    }
    int code = 0;
    eventually([&] {
        return (code = failure_code(with(contact_result_set_get_contact_count, theirs, &count))) != kResultSetNotYours;
    });
    EXPECT_EQ(code, kNoResultSet);
    EXPECT_EQ(contact_result_set_destory(mine, &error_code_), 1);
    EXPECT_EQ(failure_code(with(contact_result_set_get_contact_count, mine, &count)), kNoResultSet);
}

// The snapshot keeps its order and size: contacts added since are not in it,
// those deleted since are passed over (code 34 where the cursor stands).
TEST_F(ResultSetTest, CursorWalksTheSnapshotWhileContactsAreInsertedAndDeleted)
{
    std::vector<int> indices;
    for (char c = 'a'; c <= 'l'; ++c)
        indices.push_back(add(std::string("name ") + c, "0301111"));
    const int id = create();
    contact_t first{};
    ASSERT_EQ(contact_result_set_get_current_contact(id, &first, &error_code_), 1);
    EXPECT_EQ(first.phone_info_cnt, 1);
    EXPECT_EQ(first.phone_info, nullptr) << "the service's section reference is not handed out";
    const auto remove = [&](int index) { ASSERT_EQ(contact_delete_contact(kPhone, index, &error_code_), 1); };
    // The names from the cursor on, moving by `direction`; `change` runs at the third step.
    const auto walk = [&](int direction, const std::function<void()> &change) {
        std::vector<std::string> seen;
        int code = 0;
        for (int step = 0;; ++step) {
            if (step == 2)
                change();
            contact_t record{};
            if (contact_result_set_get_current_contact(id, &record, &code))
                seen.emplace_back(record.display_name);
            else
                EXPECT_EQ(code, kContactDeleted) << "at step " << step;
            if (!contact_result_set_move_cursor(id, direction, &code))
                break;
        }
        EXPECT_EQ(code, kCursorOutOfRange);
        return seen;
    };
    EXPECT_EQ(walk(kNext, [&] {
                  add("name c2");     // sorts right after the cursor
                  add("name aa");     // before it
                  remove(indices[5]); // "name f", not yet seen
                  remove(indices[1]); // "name b", already seen
              }),
              (std::vector<std::string>{"name a", "name b", "name c", "name d", "name e", "name g", "name h", "name i",
                                        "name j", "name k", "name l"}));
    EXPECT_EQ(answer<int>(kUntouched, contact_result_set_get_cursor_index, id), 11);
    EXPECT_EQ(walk(kPrevious, [&] {
                  remove(indices[9]); // "name j"
                  add("name j2");
              }),
              (std::vector<std::string>{"name l", "name k", "name i", "name h", "name g", "name e", "name d", "name c",
                                        "name a"}));
    EXPECT_EQ(answer<int>(kUntouched, contact_result_set_get_contact_count, id), 12) << "the snapshot keeps its size";
    ASSERT_EQ(contact_result_set_move_cursor(id, kLast, &error_code_), 1);
    EXPECT_EQ(current_name(id), "name l");
    ASSERT_EQ(contact_result_set_move_cursor(id, kFirst, &error_code_), 1);
    EXPECT_EQ(names(id, 4), (std::vector<std::string>{"name a", "name c", "name d", "name e", "name g", "name h",
                                                      "name i", "name k", "name l"}))
        << "batches pass over deleted contacts, the last short one (code 32) with what it has";
}

} // namespace
} // namespace contact_test
