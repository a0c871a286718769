// The service's shared parts, each tried for real: the table of codes against
// docs/codes.md, the guard, the method registry on the private bus, the client
// watch, the database, record packing and the workers.
#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "core/client-watch.h"
#include "core/contact-engine-errors.h"
#include "core/database.h"
#include "core/method-registry.h"
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

// `call` throws an sdbus::Error named for `code`, its text starting "<code>: ".
void expect_coded(const std::function<void()> &call, ErrorCode code)
{
    try {
        call();
        ADD_FAILURE() << "the call succeeded";
    } catch (const sdbus::Error &error) {
        EXPECT_EQ(error.getName(), std::string(kErrorNamePrefix) + error_name(code));
        EXPECT_EQ(error.getMessage().rfind(std::to_string(code) + ": ", 0), 0u) << error.getMessage();
    }
}

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
    for (const auto &[raise, code] : cases)
        expect_coded([&] { guard("probe", [&]() -> int { return raise(), 0; }); }, code);
}

// ---- the registry on the bus -----------------------------------------------------

struct Probe {};
std::string caller_of(Probe &) { return current_caller(); }
Reply echo(Probe &, Bytes bytes) { return {bytes, std::int32_t(bytes.size())}; }
std::int32_t run_out_of_memory(Probe &) { throw std::bad_alloc(); }
std::int32_t add_one(std::int32_t value) { return value + 1; }

// A registry serving kInterface on this process's own connection, which
// takes the service's name on the private bus.  (Its client watch and its
// workers are tried over the real service: result-set-test, limits-test.)
class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        (void)bus();
        server_ = sdbus::createSystemBusConnection();
        clients_ = std::make_unique<ClientWatch>(*server_);
        object_ = sdbus::createObject(*server_, kObjectPath);
        registry_ = std::make_unique<MethodRegistry>(*object_, *clients_, 1);
        registry_->add("probe_caller", caller_of, probe_, In{}, Out{"caller"})
            .add("probe_echo", echo, probe_, In{"bytes"}, Out{"bytes", "size"})
            .add("probe_out_of_memory", run_out_of_memory, probe_, In{}, Out{"error_code"})
            .add("probe_add_one", add_one, In{"value"}, Out{"sum"});
        object_->finishRegistration();
        server_->requestName(kBusName);
        server_->enterEventLoopAsync();
        client_ = sdbus::createSystemBusConnection();
        proxy_ = sdbus::createProxy(*client_, kBusName, kObjectPath);
    }
    void TearDown() override
    {
        proxy_.reset();
        client_.reset();
        server_->leaveEventLoop();
    }

    Probe probe_;
    std::unique_ptr<sdbus::IConnection> server_;
    std::unique_ptr<ClientWatch> clients_;
    std::unique_ptr<sdbus::IObject> object_;
    std::unique_ptr<MethodRegistry> registry_;
    std::unique_ptr<sdbus::IConnection> client_;
    std::unique_ptr<sdbus::IProxy> proxy_;
};

TEST_F(RegistryTest, AHandlerSeesItsCallerAnUnexpectedFailureIsACodedErrorAndByteArraysArriveWhole)
{
    std::string caller;
    proxy_->callMethod("probe_caller").onInterface(kInterface).storeResultsTo(caller);
    EXPECT_EQ(caller, client_->getUniqueName());
    EXPECT_EQ(current_caller(), "") << "outside a handler there is no caller";
    expect_coded([&] { proxy_->callMethod("probe_out_of_memory").onInterface(kInterface); }, kInternalError);
    std::int32_t sum = 0;
    proxy_->callMethod("probe_add_one").onInterface(kInterface).withArguments(41).storeResultsTo(sum);
    EXPECT_EQ(sum, 42) << "the service goes on";
    EXPECT_THROW(registry_->add("probe_short", add_one, In{}, Out{"sum"}), std::logic_error)
        << "argument names that do not match the handler are refused at registration";
    EXPECT_THROW(registry_->add("probe_long", echo, probe_, In{"bytes"}, Out{"bytes"}), std::logic_error);
    std::vector<std::uint8_t> sent(3 << 20), back;
    for (std::size_t i = 0; i < sent.size(); ++i)
        sent[i] = std::uint8_t(i * 7 + (i >> 8));
    std::int32_t counted = -1;
    proxy_->callMethod("probe_echo").onInterface(kInterface).withArguments(sent).storeResultsTo(back, counted);
    EXPECT_EQ(counted, std::int32_t(sent.size()));
    EXPECT_TRUE(back == sent);
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
// nested change joins the outer transaction; use outside one is refused.
TEST_F(DatabaseTest, MigrationsMoveForwardAndANestedChangeJoinsTheOuterOne)
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
}

// A commit is on the disk when change() returns (synchronous=FULL, 2), unless
// fast commits were asked for (NORMAL, 1: a power cut may lose the last ones).
TEST_F(DatabaseTest, CommitsAreSyncedUnlessFastCommitsWereAskedFor)
{
    for (const auto &[durability, level] : {std::pair{Durability::Durable, 2}, std::pair{Durability::Fast, 1}}) {
        Database db(path_, durability);
        EXPECT_EQ(db.change([&] { return db.sql().execAndGet("PRAGMA synchronous").getInt(); }), level);
    }
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
        {
            Database::Cached inner = db.cached("SELECT x FROM probe ORDER BY x");
            ASSERT_TRUE(inner->executeStep());
            EXPECT_EQ(inner->getColumn(0).getInt(), 1);
            ASSERT_TRUE(inner->executeStep());
        }
        ASSERT_TRUE(outer->executeStep());
        EXPECT_EQ(outer->getColumn(0).getInt(), 2) << "the outer walk goes on where it was";
    });
    // Bindings are cleared when a holder goes: an unbound parameter is NULL, which the table refuses.
    EXPECT_THROW(db.change([&] { db.cached(insert)->exec(); }), SQLite::Exception);
    EXPECT_EQ(db.read([&] {
        Database::Cached count = db.cached("SELECT count(*) FROM probe");
        count->executeStep();
        return count->getColumn(0).getInt();
    }), 3) << "the reader keeps its own statements";
}

// The read would wait for the held writer forever if it could not run beside
// it; a job that fails leaves the worker running.
TEST_F(DatabaseTest, AReadRunsBesideALongChangeOnAWorkerAndSeesOnlyCommittedRows)
{
    Database db(path_);
    db.migrate("probe", kProbeSteps);
    Workers workers(1);
    std::promise<void> started, release;
    workers.run([] { throw std::runtime_error("a job that fails"); });
    workers.run([&, released = release.get_future().share()] {
        db.change([&] {
            db.sql().exec("INSERT INTO probe (x) VALUES (1)");
            started.set_value();
            released.wait();
        });
    });
    started.get_future().wait();
    EXPECT_EQ(probe_rows(db), 0) << "the worker's row is not committed yet";
    release.set_value();
    workers.wait_idle();
    EXPECT_EQ(probe_rows(db), 1);
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
