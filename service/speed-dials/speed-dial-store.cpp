#include "speed-dials/speed-dial-store.h"

#include <array>

#include "core/service-error.h"

namespace contact_engine {

namespace {

using namespace contact_signals; // Signal and the operation codes

// The dials deleted by the running transaction, whatever deleted them: a
// dial method, the statement that drops a dial whose number went, or the
// cascade from a deleted contact.  A temporary table and trigger of the
// writer's connection, so a rollback takes its rows back with the rest.
constexpr const char *kWatchClearedDials =
    "CREATE TEMP TABLE IF NOT EXISTS cleared_speed_dials (dial INTEGER NOT NULL);"
    "CREATE TEMP TRIGGER IF NOT EXISTS speed_dial_cleared AFTER DELETE ON main.speed_dials "
    "BEGIN INSERT INTO cleared_speed_dials (dial) VALUES (OLD.dial); END;";

// Forward migrations; entry N brings the schema from version N to N + 1.
// Never edit a released entry: add a new one.
constexpr std::array<const char *, 1> kMigrations{{
    R"(CREATE TABLE speed_dials (
           dial       INTEGER PRIMARY KEY CHECK (dial BETWEEN 1 AND 9),
           contact_id INTEGER NOT NULL REFERENCES contacts (id) ON DELETE CASCADE,
           normalised TEXT NOT NULL);
       CREATE INDEX speed_dials_by_contact ON speed_dials (contact_id);)",
}};

// A dial with its contact's address and the number's current position.
constexpr const char *kSelectDials =
    "SELECT s.dial, c.storage, c.idx, "
    "       (SELECT min(n.position) FROM contact_numbers n "
    "        WHERE n.contact_id = s.contact_id AND n.normalised = s.normalised), "
    "       c.display_name, s.normalised "
    "FROM speed_dials s JOIN contacts c ON c.id = s.contact_id ";

SpeedDial dial_of(SQLite::Statement &row)
{
    return {row.getColumn(0).getInt(),    row.getColumn(1).getInt(),    row.getColumn(2).getInt(),
            row.getColumn(3).getInt(),    row.getColumn(4).getString(), row.getColumn(5).getString()};
}

} // namespace

SpeedDialStore::SpeedDialStore(Database &db, ContactStore &contacts) : db_(db), keys_(contacts.keys())
{
    db_.migrate("speed_dials", kMigrations);
    db_.change([&] { db_.sql().exec(kWatchClearedDials); });
    contacts.add_hook([this](int storage, int index, ContactChange change) {
        // A removed contact's dials are gone already, with its row.
        if (change == ContactChange::Stored)
            drop_missing_numbers(storage, index);
        announce_cleared();
    });
}

std::optional<SpeedDial> SpeedDialStore::get(int dial)
{
    return db_.read([&]() -> std::optional<SpeedDial> {
        SQLite::Statement query(db_.sql(), std::string(kSelectDials) + "WHERE s.dial = ?");
        query.bind(1, dial);
        if (!query.executeStep())
            return std::nullopt;
        return dial_of(query);
    });
}

void SpeedDialStore::set(int dial, int storage, int index, int position)
{
    db_.change([&] {
        SQLite::Statement contact(db_.sql(), "SELECT id FROM contacts WHERE storage = ? AND idx = ?");
        contact.bind(1, storage);
        contact.bind(2, index);
        if (!contact.executeStep())
            fail(kNoContact, "no contact at index " + std::to_string(index) + " of storage " + std::to_string(storage));
        const std::int64_t id = contact.getColumn(0).getInt64();

        SQLite::Statement number(db_.sql(),
                                 "SELECT normalised FROM contact_numbers WHERE contact_id = ? AND position = ?");
        number.bind(1, id);
        number.bind(2, position);
        if (!number.executeStep() || number.getColumn(0).getString().empty())
            fail(kNoPhoneNumber, "the contact has no phone number at position " + std::to_string(position));

        SQLite::Statement held(db_.sql(), "SELECT 1 FROM speed_dials WHERE dial = ?");
        held.bind(1, dial);
        const bool replaced = held.executeStep();

        SQLite::Statement upsert(db_.sql(), "INSERT INTO speed_dials (dial, contact_id, normalised) VALUES (?, ?, ?) "
                                            "ON CONFLICT (dial) DO UPDATE SET contact_id = excluded.contact_id, "
                                            "normalised = excluded.normalised");
        upsert.bind(1, dial);
        upsert.bind(2, id);
        upsert.bind(3, number.getColumn(0).getString());
        upsert.exec();
        db_.notify(Signal::SpeedDialTable, {replaced ? kUpdate : kAdd, dial});
    });
}

bool SpeedDialStore::remove(int dial)
{
    return db_.change([&] {
        SQLite::Statement remove(db_.sql(), "DELETE FROM speed_dials WHERE dial = ?");
        remove.bind(1, dial);
        const bool removed = remove.exec() > 0;
        announce_cleared();
        return removed;
    });
}

void SpeedDialStore::remove_all()
{
    db_.change([&] {
        db_.sql().exec("DELETE FROM speed_dials");
        announce_cleared();
    });
}

int SpeedDialStore::count()
{
    return db_.read([&] { return db_.sql().execAndGet("SELECT count(*) FROM speed_dials").getInt(); });
}

std::vector<SpeedDial> SpeedDialStore::all()
{
    return db_.read([&] {
        SQLite::Statement query(db_.sql(), std::string(kSelectDials) + "ORDER BY s.dial");
        std::vector<SpeedDial> dials;
        while (query.executeStep())
            dials.push_back(dial_of(query));
        return dials;
    });
}

void SpeedDialStore::drop_missing_numbers(int storage, int index)
{
    db_.change([&] {
        Database::Cached drop = db_.cached(
            "DELETE FROM speed_dials WHERE contact_id = (SELECT id FROM contacts WHERE storage = ? AND idx = ?) "
            "AND normalised NOT IN (SELECT normalised FROM contact_numbers WHERE contact_id = speed_dials.contact_id)");
        drop->bind(1, storage);
        drop->bind(2, index);
        drop->exec();
    });
}

// One delete per cleared dial (at most nine, so never a storm): the speed-dial
// table has no delete-all operation.
void SpeedDialStore::announce_cleared()
{
    db_.change([&] {
        Database::Cached cleared = db_.cached("SELECT dial FROM cleared_speed_dials ORDER BY rowid");
        bool any = false;
        while (cleared->executeStep()) {
            db_.notify(Signal::SpeedDialTable, {kDelete, cleared->getColumn(0).getInt()});
            any = true;
        }
        if (any)
            db_.cached("DELETE FROM cleared_speed_dials")->exec();
    });
}

} // namespace contact_engine
