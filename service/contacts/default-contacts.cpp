// The demo database: a few contacts, two fixed dialling numbers and a
// contact of the user's own, written only into an empty database.
#include <cstring>
#include <initializer_list>
#include <string>

#include "contacts/contact-store.h"
#include "contacts/default-contacts.h"

namespace contact_engine {

namespace {

struct DefaultContact {
    int storage;
    const char *first, *last, *company;
    std::initializer_list<const char *> numbers;
    const char *email;
};

constexpr int kMobile = 2;

Record build(const DefaultContact &c)
{
    Record record = Record::blank();
    const std::string display = std::string(c.first) + (*c.last ? " " : "") + c.last;
    record.set_text(text_field::display_name, display);
    record.set_text(text_field::first_name, c.first);
    record.set_text(text_field::last_name, c.last);
    record.set_text(text_field::company, c.company);
    Bytes phones;
    for (const char *number : c.numbers) {
        Bytes entry(contact_wire::kPhoneInfoSize, 0);
        contact_wire::write_i32(entry.data(), 0, kMobile);
        std::memcpy(entry.data() + kPhoneNumberOffset, number, std::strlen(number));
        contact_wire::write_i32(entry.data(), kPhoneIsPrimaryOffset, phones.empty() ? 1 : 0);
        phones.insert(phones.end(), entry.begin(), entry.end());
    }
    record.replace_section(kPhoneSection, phones, std::int32_t(c.numbers.size()));
    if (*c.email) {
        Bytes entry(contact_wire::kEmailInfoSize, 0);
        std::memcpy(entry.data() + kEmailAddressOffset, c.email, std::strlen(c.email));
        record.replace_section(kEmailSection, entry, 1);
    }
    return record;
}

} // namespace

void seed_default_contacts(ContactStore &db)
{
    if (!db.empty())
        return;
    static const DefaultContact kContacts[] = {
        {0, "Ada", "Lovelace", "Analytical Engines", {"+44 20 7946 0018"}, "ada@example.org"},
        {0, "Alan", "Turing", "Bletchley Park", {"+44 1908 640404", "+44 7700 900461"}, "alan@example.org"},
        {0, "Katherine", "Johnson", "NASA Langley", {"+1 757 555 0134"}, ""},
        {0, "Edsger", "Dijkstra", "Eindhoven University", {"+31 40 247 9111"}, "ewd@example.org"},
        {0, "Margaret", "Hamilton", "MIT Instrumentation Lab", {"+1 617 555 0199"}, "margaret@example.org"},
        {1, "Voicemail", "", "", {"+44 7700 900000"}, ""},
        {3, "Emergency", "", "", {"112"}, ""},
        {3, "Office", "", "", {"+44 20 7946"}, ""},
    };
    db.database().change([&] {
        int next[5] = {1, 1, 1, 1, 1};
        for (const DefaultContact &c : kContacts) {
            Record record = build(c);
            const int index = next[c.storage]++;
            record.set_address(c.storage, index);
            db.store(c.storage, index, record);
        }
        Record me = build({5, "Sam", "Owner", "", {"+44 7700 900123"}, "sam@example.org"});
        me.set_address(5, 0);
        db.store_my_contact(me);
    });
}

} // namespace contact_engine
