// Generated contacts for benchmarks and demonstrations at scale
// (`--seed-contacts N`): N contacts written in one transaction into an
// empty storage, far faster than N adds over the bus.
//
// Contact i (1 .. N) sits at index i.  Ten of them, at indices N/10, 2N/10,
// ... N, are "Zephyrine <k>" with numbers +44 20 7946 0010 .. 0019, so a
// name search for "zephyr" and a number search for "020 7946 001" (region
// GB) find the same ten contacts whatever N is (N >= 10).  The others have
// names made of syllables that never start with "z" and North American
// numbers.
#pragma once

#include <cstddef>

namespace contact_engine {

class ContactStore;

void seed_generated_contacts(ContactStore &store, int storage, std::size_t count);

} // namespace contact_engine
