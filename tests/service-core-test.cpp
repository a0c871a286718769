// The service's shared parts, each tried for real: the table of codes
// against docs/codes.md, the guard, the method registry on the private bus
// (argument names, current_caller(), byte arrays, failures), the client
// watch, the database's transactions, migrations and threads, the workers,
// and the introspection of the running service.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <future>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
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
using namespace std::chrono_literals;

// ---- the table of codes --------------------------------------------------------

std::vector<std::string> documented_code_rows()
{
    std::ifstream table(CODES_TABLE_PATH);
    std::string line;
    while (std::getline(table, line) && line.rfind("| code | D-Bus error", 0) != 0) {
    }
    std::getline(table, line); // |---|---|---|
    std::vector<std::string> rows;
    while (std::getline(table, line) && line.rfind("|", 0) == 0)
        rows.push_back(line);
    return rows;
}

TEST(ErrorTable, TheDocumentedTableMatchesTheServiceTableRowForRow)
{
    std::vector<std::string> expected;
    for (const ErrorInfo &info : kErrors)
        expected.push_back("| " + std::to_string(int(info.code)) + " | `" + info.name + "` | " + info.meaning + " |");
    EXPECT_EQ(documented_code_rows(), expected);
}

TEST(ErrorTable, BusErrorsAreNamedFromTheTableAndStartWithTheCode)
{
    const sdbus::Error error = to_bus_error(kNoContact, "no contact at index 7");
    EXPECT_EQ(error.getName(), "com.quorvel.contact.engine.Error.NoContact");
    EXPECT_EQ(error.getMessage(), std::to_string(kNoContact) + ": no contact at index 7");
}

// ---- the guard -----------------------------------------------------------------

template <class Throw> sdbus::Error guarded_failure(Throw raise)
{
    try {
        guard("probe", [&]() -> int {
            raise();
            return 0;
        });
    } catch (const sdbus::Error &error) {
        return error;
    }
    ADD_FAILURE() << "the guard let the call succeed";
    return sdbus::Error("none", "none");
}

void expect_coded(const sdbus::Error &error, ErrorCode code)
{
    EXPECT_EQ(error.getName(), std::string(kErrorNamePrefix) + error_name(code));
    EXPECT_EQ(error.getMessage().rfind(std::to_string(code) + ": ", 0), 0u) << error.getMessage();
}

TEST(Guard, TurnsEveryExceptionIntoACodedBusError)
{
    expect_coded(guarded_failure([] { fail(kNoContact, "none here"); }), kNoContact);
    expect_coded(guarded_failure([] { throw SQLite::Exception("disk I/O error", 10); }), kDatabaseError);
    expect_coded(guarded_failure([] { throw std::bad_alloc(); }), kInternalError);
    expect_coded(guarded_failure([] { throw std::out_of_range("vector::at"); }), kInternalError);
    expect_coded(guarded_failure([] { throw sdbus::Error("org.example.Odd", "odd"); }), kInternalError);
    expect_coded(guarded_failure([] { throw 42; }), kInternalError);
}

// ---- the registry on the bus -----------------------------------------------------

struct Probe {
    int calls = 0;
    Workers *workers = nullptr;
    std::shared_future<void> release;
    std::atomic<bool> job_done{false};
};

// Starts a job that runs until the test releases it, and returns at once.
std::int32_t start_long_job(Probe &probe)
{
    probe.workers->run([&probe] {
        probe.release.wait();
        probe.job_done = true;
    });
    return kOk;
}

std::string caller_of(Probe &probe)
{
    ++probe.calls;
    return current_caller();
}

Reply echo(Probe &, Bytes bytes)
{
    const auto size = std::int32_t(bytes.size());
    return {std::move(bytes), size};
}

std::int32_t run_out_of_memory(Probe &)
{
    throw std::bad_alloc();
}

std::int32_t add_one(std::int32_t value)
{
    return value + 1;
}

// A registry serving kInterface on this process's own connection, which
// takes the service's name on the private bus.
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
            .add("probe_add_one", add_one, In{"value"}, Out{"sum"})
            .add("probe_start_long_job", start_long_job, probe_, In{}, Out{"error_code"});
        probe_.workers = &registry_->workers();
        registry_->on_client_vanished([this](const std::string &name) {
            std::lock_guard lock(mutex_);
            vanished_.push_back(name);
            changed_.notify_all();
        });
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
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> vanished_;
};

TEST_F(RegistryTest, CurrentCallerIsTheUniqueNameOfTheCallingClient)
{
    std::string caller;
    proxy_->callMethod("probe_caller").onInterface(kInterface).storeResultsTo(caller);
    EXPECT_EQ(caller, client_->getUniqueName());
    EXPECT_EQ(caller.rfind(":", 0), 0u);
    EXPECT_EQ(current_caller(), "") << "outside a handler there is no caller";
}

TEST_F(RegistryTest, ByteArraysOfEverySizeArriveWholeBothWays)
{
    for (std::size_t size : {std::size_t(0), std::size_t(1), std::size_t(4480), std::size_t(3 << 20)}) {
        std::vector<std::uint8_t> sent(size);
        for (std::size_t i = 0; i < size; ++i)
            sent[i] = std::uint8_t(i * 7 + (i >> 8));
        std::vector<std::uint8_t> back;
        std::int32_t counted = -1;
        proxy_->callMethod("probe_echo").onInterface(kInterface).withArguments(sent).storeResultsTo(back, counted);
        EXPECT_EQ(counted, std::int32_t(size));
        EXPECT_TRUE(back == sent) << "size " << size;
    }
}

TEST_F(RegistryTest, AnUnexpectedFailureIsACodedErrorAndTheServiceGoesOn)
{
    try {
        std::int32_t result = 0;
        proxy_->callMethod("probe_out_of_memory").onInterface(kInterface).storeResultsTo(result);
        ADD_FAILURE() << "the call succeeded";
    } catch (const sdbus::Error &error) {
        expect_coded(error, kInternalError);
    }
    std::int32_t sum = 0;
    proxy_->callMethod("probe_add_one").onInterface(kInterface).withArguments(41).storeResultsTo(sum);
    EXPECT_EQ(sum, 42);
}

TEST_F(RegistryTest, TheBusKeepsAnsweringWhileAWorkerRunsALongJob)
{
    std::promise<void> release;
    probe_.release = release.get_future().share();
    std::int32_t result = -1;
    proxy_->callMethod("probe_start_long_job").onInterface(kInterface).storeResultsTo(result);
    EXPECT_EQ(result, kOk);
    std::int32_t sum = 0;
    proxy_->callMethod("probe_add_one").onInterface(kInterface).withArguments(1).storeResultsTo(sum);
    EXPECT_EQ(sum, 2);
    EXPECT_FALSE(probe_.job_done) << "the job is still held";
    release.set_value();
    registry_->workers().wait_idle();
    EXPECT_TRUE(probe_.job_done);
}

TEST_F(RegistryTest, ArgumentNamesThatDoNotMatchTheHandlerAreRefusedAtRegistration)
{
    EXPECT_THROW(registry_->add("probe_short", add_one, In{}, Out{"sum"}), std::logic_error);
    EXPECT_THROW(registry_->add("probe_long", echo, probe_, In{"bytes"}, Out{"bytes"}), std::logic_error);
}

TEST_F(RegistryTest, AClientLeavingTheBusIsReportedByItsUniqueName)
{
    auto leaving = sdbus::createSystemBusConnection();
    const std::string name = leaving->getUniqueName();
    leaving.reset();
    std::unique_lock lock(mutex_);
    EXPECT_TRUE(changed_.wait_for(lock, 120s, [&] {
        return std::find(vanished_.begin(), vanished_.end(), name) != vanished_.end();
    })) << name << " was not reported";
    EXPECT_EQ(std::find(vanished_.begin(), vanished_.end(), client_->getUniqueName()), vanished_.end());
}

// ---- the database ------------------------------------------------------------------

constexpr const char *kProbeSteps[] = {
    "CREATE TABLE probe (x INTEGER NOT NULL)",
    "ALTER TABLE probe ADD COLUMN y INTEGER NOT NULL DEFAULT 0",
};

int probe_rows(Database &db)
{
    return db.read([&] { return db.sql().execAndGet("SELECT count(*) FROM probe").getInt(); });
}

TEST(DatabaseTest, ANestedChangeJoinsTheOuterTransaction)
{
    TempDir dir;
    Database db(dir.path() + "/probe.db");
    db.migrate("probe", kProbeSteps);
    EXPECT_THROW(db.change([&] {
        db.sql().exec("INSERT INTO probe (x) VALUES (1)");
        db.change([&] { db.sql().exec("INSERT INTO probe (x) VALUES (2)"); });
        throw std::runtime_error("the outer change fails after the inner one");
    }),
                 std::runtime_error);
    EXPECT_EQ(probe_rows(db), 0) << "the inner change went with the outer one";
    db.change([&] {
        db.sql().exec("INSERT INTO probe (x) VALUES (1)");
        db.change([&] { db.sql().exec("INSERT INTO probe (x) VALUES (2)"); });
    });
    EXPECT_EQ(probe_rows(db), 2);
}

TEST(DatabaseTest, MigrationsMoveForwardPerFamilyAndANewerDatabaseIsRefused)
{
    TempDir dir;
    const std::string path = dir.path() + "/probe.db";
    {
        Database db(path);
        db.migrate("probe", std::span(kProbeSteps, 1));
        EXPECT_EQ(db.schema_version("probe"), 1);
        db.migrate("probe", kProbeSteps); // only the second step runs: the first would fail again
        EXPECT_EQ(db.schema_version("probe"), 2);
        EXPECT_EQ(db.schema_version("other"), 0);
        db.change([&] { db.sql().exec("INSERT INTO probe (x, y) VALUES (1, 2)"); });
    }
    Database reopened(path);
    reopened.migrate("probe", kProbeSteps);
    EXPECT_EQ(probe_rows(reopened), 1);
    EXPECT_THROW(reopened.migrate("probe", std::span(kProbeSteps, 1)), std::runtime_error);
}

TEST(DatabaseTest, KeptStatementsComeBackResetAndANestedUseGetsItsOwn)
{
    TempDir dir;
    Database db(dir.path() + "/probe.db");
    db.migrate("probe", kProbeSteps);
    const std::string insert = "INSERT INTO probe (x) VALUES (?)";
    db.change([&] {
        for (int x = 1; x <= 3; ++x) {
            Database::Cached statement = db.cached(insert);
            statement->bind(1, x);
            statement->exec();
        }
        // The same SQL while a holder lives: a statement of its own, not the
        // one in use.
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
    // Bindings are cleared when a holder goes: an unbound parameter is NULL,
    // which the table refuses.
    EXPECT_THROW(db.change([&] { db.cached(insert)->exec(); }), SQLite::Exception);
    EXPECT_EQ(probe_rows(db), 3);
    // The reader keeps its own statements.
    EXPECT_EQ(db.read([&] {
        Database::Cached count = db.cached("SELECT count(*) FROM probe");
        count->executeStep();
        return count->getColumn(0).getInt();
    }),
              3);
}

TEST(RecordPacking, RecordsComeBackWholeOldOnesAsTheyAreAndDamagedOnesAreRefused)
{
    using contact_engine::Bytes;
    // A fixed part of mostly zeros with a few fields, and sections after it.
    Bytes record(4480 + 700, 0);
    for (std::size_t i = 0; i < record.size(); i += 37)
        record[i] = std::uint8_t(i * 7 + 1);
    record[0] = 12; // its index
    const Bytes packed = contact_engine::pack_record(record);
    EXPECT_LT(packed.size(), record.size() / 2);
    EXPECT_EQ(contact_engine::unpack_record(packed.data(), packed.size()), record);
    const Bytes fixed = contact_engine::unpack_record(packed.data(), packed.size(), 4480);
    EXPECT_EQ(fixed, Bytes(record.begin(), record.begin() + 4480)) << "the fixed part alone";

    // A record stored before packing starts with its index: read as it is.
    EXPECT_EQ(contact_engine::unpack_record(record.data(), record.size()), record);

    // Cut short, or claiming more than a record may hold: refused, not read past.
    for (const std::size_t keep : {packed.size() - 1, packed.size() / 2, std::size_t(9)}) {
        const std::vector<std::uint8_t> cut(packed.begin(), packed.begin() + std::ptrdiff_t(keep));
        EXPECT_THROW(contact_engine::unpack_record(cut.data(), cut.size()), contact_engine::ServiceError) << keep;
    }
    Bytes huge = packed;
    huge[7] = 0x7f; // original size far above the largest record
    EXPECT_THROW(contact_engine::unpack_record(huge.data(), huge.size()), contact_engine::ServiceError);
}

TEST(DatabaseTest, UseOutsideChangeOrReadIsRefused)
{
    TempDir dir;
    Database db(dir.path() + "/probe.db");
    EXPECT_THROW(db.sql(), std::logic_error);
    EXPECT_THROW(db.read([&] { db.change([] {}); }), std::logic_error);
}

TEST(DatabaseTest, AReadRunsBesideALongChangeOnAWorkerAndSeesOnlyCommittedRows)
{
    TempDir dir;
    Database db(dir.path() + "/probe.db");
    db.migrate("probe", kProbeSteps);
    Workers workers(1);
    std::promise<void> started, release;
    auto released = release.get_future();
    workers.run([&] {
        db.change([&] {
            db.sql().exec("INSERT INTO probe (x) VALUES (1)");
            started.set_value();
            released.wait();
        });
    });
    started.get_future().wait();
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(probe_rows(db), 0) << "the worker's row is not committed yet";
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s) << "the read waited for the writer";
    release.set_value();
    workers.wait_idle();
    EXPECT_EQ(probe_rows(db), 1);
}

TEST(WorkersTest, AFailingJobLeavesTheWorkerRunning)
{
    Workers workers(1);
    std::atomic<bool> ran{false};
    std::thread::id worker_thread;
    workers.run([] { throw std::runtime_error("a job that fails"); });
    workers.run([&] {
        worker_thread = std::this_thread::get_id();
        ran = true;
    });
    workers.wait_idle();
    EXPECT_TRUE(ran);
    EXPECT_NE(worker_thread, std::this_thread::get_id());
}

// ---- the running service ---------------------------------------------------------------

TEST(ServiceIntrospection, EveryArgumentOfEveryMethodHasItsName)
{
    (void)bus();
    TempDir dir;
    ServiceProcess service(dir.path() + "/contacts.db");
    service.start();
    auto connection = sdbus::createSystemBusConnection();
    auto proxy = sdbus::createProxy(*connection, kBusName, kObjectPath);
    std::string xml;
    proxy->callMethod("Introspect").onInterface("org.freedesktop.DBus.Introspectable").storeResultsTo(xml);

    const auto begin = xml.find(std::string("<interface name=\"") + kInterface + "\">");
    ASSERT_NE(begin, std::string::npos) << xml;
    const std::string interface = xml.substr(begin, xml.find("</interface>", begin) - begin);
    const std::regex arg("<arg\\b[^>]*>");
    const std::regex named("\\bname=\"([A-Za-z_][A-Za-z0-9_]*)\"");
    const std::regex placeholder("arg_?[0-9]+");
    int args = 0;
    for (auto it = std::sregex_iterator(interface.begin(), interface.end(), arg); it != std::sregex_iterator(); ++it) {
        ++args;
        std::smatch name;
        const std::string element = it->str();
        ASSERT_TRUE(std::regex_search(element, name, named)) << "an argument without a name: " << element;
        EXPECT_FALSE(std::regex_match(name[1].str(), placeholder)) << element;
    }
    EXPECT_GT(args, 50);
    const std::regex get_contact("<method name=\"contact_get_contact\">\\s*"
                                 "<arg type=\"i\" name=\"storage_type\" direction=\"in\"/>\\s*"
                                 "<arg type=\"i\" name=\"index\" direction=\"in\"/>\\s*"
                                 "<arg type=\"ay\" name=\"contact_record\" direction=\"out\"/>\\s*"
                                 "<arg type=\"i\" name=\"error_code\" direction=\"out\"/>");
    EXPECT_TRUE(std::regex_search(interface, get_contact)) << interface;
    EXPECT_EQ(service.stop(), 0);
}

} // namespace
} // namespace contact_test
