// vCard 3.0 address books made at run time for the bulk tests and the
// benchmark: names, 1-3 numbers, 0-2 e-mails, some notes and addresses,
// from a fixed seed, so every run writes the same cards.
#pragma once

#include <cstdio>
#include <random>
#include <string>

namespace bulk_cards {

// The display name of card `i` (0-based).
inline std::string name_of(int i)
{
    char name[32];
    std::snprintf(name, sizeof name, "Person %06d", i);
    return name;
}

// Writes `count` cards to `path`; returns false when the file cannot be written.
inline bool write(const std::string &path, int count, unsigned seed = 20261207)
{
    std::FILE *out = std::fopen(path.c_str(), "w");
    if (out == nullptr)
        return false;
    std::mt19937 random(seed);
    static const char *const kFirst[] = {"Anna", "Ben", "Chloé", "Dmitri", "Eva", "Farid", "Grace", "Hiro", "Inès", "Jonas"};
    static const char *const kLast[] = {"Meyer", "Okafor", "Lindqvist", "García", "Nakamura", "Rossi", "Novak", "Byrne"};
    static const char *const kTel[] = {"CELL", "HOME", "WORK", "CELL,VOICE"};
    for (int i = 0; i < count; ++i) {
        const char *first = kFirst[random() % 10];
        const char *last = kLast[random() % 8];
        std::fprintf(out, "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:%s\r\nN:%s;%s;;;\r\n", name_of(i).c_str(), last, first);
        const int numbers = 1 + int(random() % 3);
        for (int n = 0; n < numbers; ++n)
            std::fprintf(out, "TEL;TYPE=%s:+49 30 %07u\r\n", kTel[random() % 4], unsigned(random() % 10000000));
        const int emails = int(random() % 3);
        for (int e = 0; e < emails; ++e)
            std::fprintf(out, "EMAIL;TYPE=INTERNET:%s.%s%d@example.org\r\n", first, last, e);
        if (random() % 4 == 0)
            std::fprintf(out, "NOTE:Met at the conference\\, table %u\\nCall back later\r\n", unsigned(random() % 90));
        if (random() % 5 == 0)
            std::fprintf(out, "ADR;TYPE=HOME:;;Hauptstraße %u;Berlin;;10115;Germany\r\n", unsigned(random() % 200));
        std::fprintf(out, "END:VCARD\r\n");
    }
    return std::fclose(out) == 0;
}

} // namespace bulk_cards
