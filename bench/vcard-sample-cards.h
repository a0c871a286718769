// A reproducible address book for measuring vCard readers: names, one to
// three numbers, up to two e-mail addresses, and now and then a note and a
// postal address, from a fixed seed.  The people carry accented and CJK
// names and notes with commas, semicolons and line breaks, as real address
// books do.  Plain C++ only, so that programs outside the project (the
// comparison with other vCard libraries) make exactly the same cards.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace vcard_sample {

enum class Kind { Home, Work, Cell, Fax };

struct Number {
    Kind kind;
    std::string number;
    bool preferred;
};

struct Email {
    Kind kind; // Home or Work
    std::string address;
};

struct Address {
    Kind kind; // Home or Work
    std::string street, city, region, postcode, country;
};

struct Card {
    std::string first, last;
    std::vector<Number> numbers;
    std::vector<Email> emails;
    std::string note;                // empty: none
    std::vector<Address> addresses;  // zero or one
};

inline constexpr std::uint32_t kDefaultSeed = 20261207;

inline std::vector<Card> generate(std::size_t count, std::uint32_t seed = kDefaultSeed)
{
    static const char *const kFirst[] = {"Anna", "Bjørn", "Chloé", "David", "Élodie", "Fatima", "Günther", "Hana",
                                         "Ivan", "José", "Katarzyna", "Liam", "María", "Nils", "Olivia", "Priya",
                                         "太郎", "美咲", "Zoë", "Ömer"};
    static const char *const kLast[] = {"Andersen", "Brown", "Černý", "Dubois", "Eriksson", "Fernández", "García",
                                        "Hoffmann", "Ivanova", "Jović", "Kowalski", "Łukasz", "Müller", "Nakamura",
                                        "O'Brien", "Petit", "山田", "Silva", "Østergaard", "Zhang"};
    static const char *const kStreets[] = {"Main Street", "Rue de la Paix", "Königsallee", "Calle Mayor",
                                           "High St., Flat 3"};
    static const char *const kCities[] = {"Springfield", "Paris", "Düsseldorf", "Madrid", "東京"};
    static const char *const kCountries[] = {"USA", "France", "Germany", "Spain", "日本"};
    static const char *const kNotes[] = {"Met at the conference; call back after 5pm",
                                         "Allergic to nuts, prefers e-mail",
                                         "Line one\nLine two, with a comma; and a semicolon",
                                         "Gate code: 1234\\5", "Café owner — très sympa"};
    static const Kind kNumberKinds[] = {Kind::Cell, Kind::Home, Kind::Work, Kind::Fax};

    std::mt19937 random(seed);
    auto pick = [&random](std::size_t n) { return std::size_t(random() % n); };
    std::vector<Card> cards;
    cards.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        Card card;
        card.first = kFirst[pick(20)];
        card.last = kLast[pick(20)];
        const std::size_t numbers = 1 + pick(3);
        for (std::size_t n = 0; n < numbers; ++n) {
            std::string number = "+" + std::to_string(1 + pick(89)) + " " + std::to_string(100 + pick(900)) + " " +
                                 std::to_string(1000000 + pick(9000000));
            card.numbers.push_back({kNumberKinds[pick(4)], number, n == 0});
        }
        const std::size_t emails = pick(3);
        for (std::size_t e = 0; e < emails; ++e)
            card.emails.push_back({e == 0 ? Kind::Home : Kind::Work,
                                   "person" + std::to_string(i) + "." + std::to_string(e) + "@example.org"});
        if (pick(4) == 0)
            card.note = kNotes[pick(5)];
        if (pick(3) == 0) {
            const std::size_t place = pick(5);
            card.addresses.push_back({pick(2) == 0 ? Kind::Home : Kind::Work,
                                      std::to_string(1 + pick(200)) + " " + kStreets[place], kCities[place], "",
                                      std::to_string(10000 + pick(90000)), kCountries[place]});
        }
        cards.push_back(std::move(card));
    }
    return cards;
}

inline std::string escaped(const std::string &text)
{
    std::string result;
    for (char c : text) {
        if (c == '\\' || c == ',' || c == ';')
            result += '\\', result += c;
        else if (c == '\n')
            result += "\\n";
        else
            result += c;
    }
    return result;
}

inline const char *type_name(Kind kind)
{
    switch (kind) {
    case Kind::Home: return "HOME";
    case Kind::Work: return "WORK";
    case Kind::Cell: return "CELL";
    case Kind::Fax: return "FAX";
    }
    return "HOME";
}

// The cards as vCard 3.0, the way a desktop address book exports them.
inline std::string to_vcard30(const std::vector<Card> &cards)
{
    std::string out;
    for (const Card &card : cards) {
        out += "BEGIN:VCARD\r\nVERSION:3.0\r\n";
        out += "N:" + escaped(card.last) + ";" + escaped(card.first) + ";;;\r\n";
        out += "FN:" + escaped(card.first + " " + card.last) + "\r\n";
        for (const Number &number : card.numbers)
            out += std::string("TEL;TYPE=") + type_name(number.kind) + (number.preferred ? ",PREF" : "") + ":" +
                   number.number + "\r\n";
        for (const Email &email : card.emails)
            out += std::string("EMAIL;TYPE=INTERNET,") + type_name(email.kind) + ":" + email.address + "\r\n";
        for (const Address &address : card.addresses)
            out += std::string("ADR;TYPE=") + type_name(address.kind) + ":;;" + escaped(address.street) + ";" +
                   escaped(address.city) + ";" + escaped(address.region) + ";" + escaped(address.postcode) + ";" +
                   escaped(address.country) + "\r\n";
        if (!card.note.empty())
            out += "NOTE:" + escaped(card.note) + "\r\n";
        out += "END:VCARD\r\n";
    }
    return out;
}

} // namespace vcard_sample
