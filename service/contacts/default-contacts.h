#pragma once

namespace contact_engine {

class ContactStore;

// Fills an empty database with demo contacts; leaves any other alone.
void seed_default_contacts(ContactStore &db);

} // namespace contact_engine
