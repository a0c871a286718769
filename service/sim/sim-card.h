// The simulated SIM card: what a card file describes, read, checked and
// written back.  No modem is here, so the card is a JSON file (named by
// --sim) or, without one, the embedded default card.  docs/sim.md's SIM
// section describes every field.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "core/service-limits.h"

namespace contact_engine {

namespace sim_limits = limits::sim;

enum class CardFormat { Sim = 1, Usim = 2 };

// One record of a phonebook on the card: ADN, FDN or SDN.
struct SimEntry {
    int index = 0; // 1 .. the book's capacity
    std::string name;
    std::string number;
};

struct SimAas {
    int index = 0; // 1 .. the AAS capacity
    std::string text;
};

struct SimBook {
    int capacity = 0;
    std::vector<SimEntry> entries; // ascending index, each index once

    const SimEntry *find(int index) const;
    void put(SimEntry entry); // replaces the entry at its index
    bool erase(int index);
    int first_free() const; // 0 when full
};

struct SimCard {
    bool present = true;
    bool pin_locked = false;
    bool enabled = true;
    bool als_supported = false;
    std::string iccid;
    CardFormat format = CardFormat::Usim;
    int name_max_length = sim_limits::kNameMaxLength;
    int number_max_length = sim_limits::kNumberMaxLength;
    SimBook adn{sim_limits::kAdnCapacityMax, {}};
    SimBook fdn{sim_limits::kFdnCapacityMax, {}};
    SimBook sdn{sim_limits::kSdnCapacityMax, {}};
    int aas_capacity = sim_limits::kAasCapacityMax;
    std::vector<SimAas> aas; // ascending index
};

// A card file that cannot be used: its text says which file and field.
class CardFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The card present when no --sim is given.
SimCard default_card();
// Reads and checks a card file; throws CardFileError.
SimCard read_card_file(const std::string &path);
SimCard card_from_text(const std::string &text, const std::string &origin);
std::string card_to_text(const SimCard &card);
// Writes `card` to `path` as a new file beside it, flushed, then renamed over
// the old one: a reader (or a crash) sees the old card or the new, never a
// part.  Throws CardFileError.
void write_card_file(const std::string &path, const SimCard &card);

// Why a name or number does not fit the card, or "" when it fits.  The
// length of a number counts its dialable characters (digits, '*', '#', 'p',
// 'w'); a leading '+' and the separators ' ', '-', '(', ')', '.' are free.
std::string name_problem(const SimCard &card, const std::string &name);
std::string number_problem(const SimCard &card, const std::string &number);
int dialable_length(const std::string &number);

} // namespace contact_engine
