#pragma once

namespace contact_engine {

class Database;

// Fills an empty database with demo contacts; leaves any other alone.
void seed_default_contacts(Database &db);

} // namespace contact_engine
