// The service's shared parts, each tried for real: the table of codes against
// docs/codes.md, the guard, the database, record packing and the workers.
// (The method registry and the client watch serve every test over the real
// service.)
#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <thread>
#include <string>
#include <vector>

#include "core/contact-engine-errors.h"
#include "core/database.h"
#include "contacts/record-packing.h"
#include "core/service-error.h"
#include "test-support.h"
#include "core/workers.h"

namespace contact_test {
namespace {

using namespace contact_engine;

// ---- the table of codes --------------------------------------------------------

TEST(ErrorTable, TheDocumentedTableMatchesTheServiceTableRowForRow)
{
    std::ifstream table(CODES_TABLE_PATH);
    std::string line;
    while (std::getline(table, line) && line.rfind("| code | D-Bus error", 0) != 0) {
    }
    std::getline(table, line); // |---|---|---|
    std::vector<std::string> documented, expected;
    while (std::getline(table, line) && line.rfind("|", 0) == 0)
        documented.push_back(line);
    for (const ErrorInfo &info : kErrors)
        expected.push_back("| " + std::to_string(int(info.code)) + " | `" + info.name + "` | " + info.meaning + " |");
    EXPECT_EQ(documented, expected);
}

// ---- the guard -----------------------------------------------------------------

TEST(Guard, TurnsEveryExceptionIntoACodedBusError)
{
    const std::pair<std::function<void()>, ErrorCode> cases[] = {
        {[] { fail(kNoContact, "none here"); }, kNoContact},
        {[] { throw SQLite::Exception("disk I/O error", 10); }, kDatabaseError},
        {[] { throw std::bad_alloc(); }, kInternalError},
        {[] { throw std::out_of_range("vector::at"); }, kInternalError},
        {[] { throw sdbus::Error("org.example.Odd", "odd"); }, kInternalError},
        {[] { throw 42; }, kInternalError},
    };
    for (const auto &[raise, code] : cases) {
        try {
            guard("probe", [&]() -> int { return raise(), 0; });
            ADD_FAILURE() << "the guard let " << code << " through";
        } catch (const sdbus::Error &error) {
            EXPECT_EQ(error.getName(), std::string(kErrorNamePrefix) + error_name(code));
            EXPECT_EQ(error.getMessage().rfind(std::to_string(code) + ": ", 0), 0u) << error.getMessage();
        }
    }
}

// ---- the database, record packing and the workers ------------------------------

constexpr const char *kProbeSteps[] = {
    "CREATE TABLE probe (x INTEGER NOT NULL)",
    "ALTER TABLE probe ADD COLUMN y INTEGER NOT NULL DEFAULT 0",
};

int probe_rows(Database &db)
{
    return db.read([&] { return db.sql().execAndGet("SELECT count(*) FROM probe").getInt(); });
}

class DatabaseTest : public ::testing::Test {
protected:
    TempDir dir_;
    const std::string path_ = dir_.path() + "/probe.db";
};

// Migrations move forward per family and a newer database is refused; a
// nested change joins the outer transaction; use outside one is refused.  A
// commit is on the disk when change() returns (synchronous=FULL, 2), unless
// fast commits were asked for (NORMAL, 1: a power cut may lose the last ones).
TEST_F(DatabaseTest, MigrationsMoveForwardANestedChangeJoinsTheOuterOneAndCommitsAreSynced)
{
    {
        Database db(path_);
        EXPECT_THROW(db.sql(), std::logic_error);
        EXPECT_THROW(db.read([&] { db.change([] {}); }), std::logic_error);
        db.migrate("probe", std::span(kProbeSteps, 1));
        EXPECT_EQ(db.schema_version("probe"), 1);
        db.migrate("probe", kProbeSteps); // only the second step runs: the first would fail again
        EXPECT_EQ(db.schema_version("probe"), 2);
        EXPECT_EQ(db.schema_version("other"), 0);
    }
    Database db(path_);
    db.migrate("probe", kProbeSteps);
    EXPECT_THROW(db.migrate("probe", std::span(kProbeSteps, 1)), std::runtime_error);
    const auto insert_two = [&] {
        db.sql().exec("INSERT INTO probe (x) VALUES (1)");
        db.change([&] { db.sql().exec("INSERT INTO probe (x) VALUES (2)"); });
    };
    EXPECT_THROW(db.change([&] {
        insert_two();
        throw std::runtime_error("the outer change fails after the inner one");
    }), std::runtime_error);
    EXPECT_EQ(probe_rows(db), 0) << "the inner change went with the outer one";
    db.change(insert_two);
    EXPECT_EQ(probe_rows(db), 2);
    EXPECT_EQ(db.change([&] { return db.sql().execAndGet("PRAGMA synchronous").getInt(); }), 2);
    Database fast(path_, Durability::Fast);
    EXPECT_EQ(fast.change([&] { return fast.sql().execAndGet("PRAGMA synchronous").getInt(); }), 1);
}

TEST_F(DatabaseTest, KeptStatementsComeBackResetAndANestedUseGetsItsOwn)
{
    Database db(path_);
    db.migrate("probe", kProbeSteps);
    const std::string insert = "INSERT INTO probe (x) VALUES (?)";
    db.change([&] {
        for (int x = 1; x <= 3; ++x) {
            Database::Cached statement = db.cached(insert);
            statement->bind(1, x);
            statement->exec();
        }
        // The same SQL while a holder lives: a statement of its own, not the one in use.
        Database::Cached outer = db.cached("SELECT x FROM probe ORDER BY x");
        ASSERT_TRUE(outer->executeStep());
        Database::Cached inner = db.cached("SELECT x FROM probe ORDER BY x");
        ASSERT_TRUE(inner->executeStep() && inner->executeStep());
        ASSERT_TRUE(outer->executeStep());
        EXPECT_EQ(outer->getColumn(0).getInt(), 2) << "the outer walk goes on where it was";
    });
    // Bindings are cleared when a holder goes: an unbound parameter is NULL, which the table refuses.
    EXPECT_THROW(db.change([&] { db.cached(insert)->exec(); }), SQLite::Exception);
    EXPECT_EQ(probe_rows(db), 3);
}

// A job that fails leaves the worker running.  (Reads beside a worker's long
// change: ResultSetTest's walk while another client writes, security-test's long calls.)
TEST(WorkersTest, AFailingJobLeavesTheWorkerRunning)
{
    Workers workers(1);
    std::thread::id worker_thread;
    workers.run([] { throw std::runtime_error("a job that fails"); });
    workers.run([&] { worker_thread = std::this_thread::get_id(); });
    workers.wait_idle();
    EXPECT_NE(worker_thread, std::thread::id()) << "the second job ran";
    EXPECT_NE(worker_thread, std::this_thread::get_id());
}

// Packed records come back whole, the fixed part alone on request; a record
// stored before packing is read as it is.  (Damaged rows: the contact-record
// fuzz harness.)
TEST(RecordPacking, RecordsComeBackWholeOldOnesAsTheyAreAndDamagedOnesAreRefused)
{
    Bytes record(4480 + 700, 0);
    for (std::size_t i = 0; i < record.size(); i += 37)
        record[i] = std::uint8_t(i * 7 + 1);
    const Bytes packed = pack_record(record);
    EXPECT_LT(packed.size(), record.size() / 2);
    EXPECT_EQ(unpack_record(packed.data(), packed.size()), record);
    EXPECT_EQ(unpack_record(packed.data(), packed.size(), 4480), Bytes(record.begin(), record.begin() + 4480));
    EXPECT_EQ(unpack_record(record.data(), record.size()), record);
    EXPECT_THROW(unpack_record(packed.data(), packed.size() - 1), ServiceError);
}

} // namespace
} // namespace contact_test
