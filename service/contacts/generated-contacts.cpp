#include "contacts/generated-contacts.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <string>

#include "contacts/contact-store.h"

namespace contact_engine {

namespace {

constexpr std::array<const char *, 16> kSyllables{{"ka", "lo", "mi", "ra", "te", "no", "vi", "sa", "be", "do", "fe",
                                                   "gu", "ha", "ji", "pe", "wu"}};
constexpr int kMobile = 2;

std::string made_up_word(std::size_t seed, std::size_t syllables)
{
    std::string word;
    for (std::size_t i = 0; i < syllables; ++i, seed /= kSyllables.size())
        word += kSyllables[seed % kSyllables.size()];
    word[0] = char(word[0] - 'a' + 'A');
    return word;
}

Record generated(std::size_t i, std::size_t count)
{
    const std::size_t step = count / 10;
    const bool special = step > 0 && i % step == 0 && i / step <= 10;
    std::string first, last;
    char number[32];
    if (special) {
        first = "Zephyrine";
        last = std::to_string(i / step);
        std::snprintf(number, sizeof number, "+44 20 7946 %04zu", 9 + i / step);
    } else {
        first = made_up_word(i * 7919, 2);
        last = made_up_word(i, 3);
        std::snprintf(number, sizeof number, "+1 %03zu 555 %04zu", 201 + i % 700, i % 10000);
    }
    Record record = Record::blank();
    record.set_text(text_field::display_name, first + " " + last);
    record.set_text(text_field::first_name, first);
    record.set_text(text_field::last_name, last);
    record.set_int(contact_wire::offset::frequency, int(i % 5));
    Bytes phone(contact_wire::kPhoneInfoSize, 0);
    contact_wire::write_i32(phone.data(), 0, kMobile);
    std::memcpy(phone.data() + kPhoneNumberOffset, number, std::strlen(number));
    contact_wire::write_i32(phone.data(), kPhoneIsPrimaryOffset, 1);
    record.replace_section(kPhoneSection, phone, 1);
    return record;
}

} // namespace

void seed_generated_contacts(ContactStore &store, int storage, std::size_t count)
{
    store.database().change([&] {
        if (store.count(storage) != 0)
            return;
        for (std::size_t i = 1; i <= count; ++i) {
            Record record = generated(i, count);
            record.set_address(storage, int(i));
            store.store(storage, int(i), record);
        }
    });
}

} // namespace contact_engine
