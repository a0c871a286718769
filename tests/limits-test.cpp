// What one user can make the service hold and how long it can hold the
// others up, over the private bus with the real service: limits counted
// over a user's connections, bulk jobs that know their user, long calls on
// the workers while the bus thread answers everyone else.
#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../tools/bulk-client.h"
#include "bulk-cards.h"
#include "contact-engine-bus.h"
#include "contact-engine.h"
#include "core/contact-engine-errors.h"
#include "core/service-limits.h"
#include "sample-contact.h"
#include "test-support.h"

namespace contact_test {
namespace {

using namespace std::chrono_literals;
using namespace contact_engine;

constexpr const char *kEngine = CONTACT_ENGINE_INTERFACE;

// A bus connection of its own calling the service directly.
struct Client {
    Client()
        : connection(sdbus::createSystemBusConnection()),
          proxy(sdbus::createProxy(*connection, CONTACT_ENGINE_BUS_NAME, CONTACT_ENGINE_OBJECT_PATH))
    {
    }
    // Runs `call` and returns 0, or the code at the start of the error's message.
    static int code_of(const std::function<void()> &call)
    {
        try {
            call();
            return 0;
        } catch (const sdbus::Error &error) {
            return std::atoi(error.getMessage().c_str());
        }
    }
    std::int32_t open_job(int kind, int storages)
    {
        std::int32_t handle = -1;
        proxy->callMethod("contact_bulk_operation_open").onInterface(kEngine).withArguments(kind, storages)
            .storeResultsTo(handle);
        return handle;
    }
    std::unique_ptr<sdbus::IConnection> connection;
    std::unique_ptr<sdbus::IProxy> proxy;
};

std::vector<std::uint8_t> thumbs(std::size_t count)
{
    std::vector<std::uint8_t> bytes(count * 4);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t index = std::uint32_t(i + 1);
        std::memcpy(bytes.data() + i * 4, &index, 4); // little-endian machine, as the service
    }
    return bytes;
}

// ---- limits per user, over all its connections ----------------------------------

class PerUserLimitTest : public ServiceTest {};

// `make` takes one more of a resource through a client: it succeeds
// `allowed` times over the user's connections together, then fails with `refusal`.
struct UserResource {
    const char *what;
    std::function<void(Client &, const std::string &file)> make;
    std::size_t allowed;
    ErrorCode refusal;
};

TEST_F(PerUserLimitTest, ConnectionsOfOneUserShareItsLimits)
{
    constexpr std::size_t kThumbsPerJob = limits::per_user::kThumbs / 3;
    const std::string book = dir_.path() + "/book.vcf";
    ASSERT_TRUE(bulk_cards::write(book, 3));
    const std::vector<UserResource> resources{
        {"result sets",
         [](Client &c, const std::string &) {
             std::int32_t id = -1;
             c.proxy->callMethod("contact_result_set_create").onInterface(kEngine).withArguments(0, std::string(), 0)
                 .storeResultsTo(id);
         },
         limits::kMaxResultSetsPerUser, kTooManyResultSets},
        {"bulk jobs", [](Client &c, const std::string &) { c.open_job(CONTACT_BULK_DELETE, 0); },
         limits::per_user::kBulkJobs, kTooManyBulkJobs},
        {"open files",
         [](Client &c, const std::string &file) {
             const std::int32_t handle = c.open_job(CONTACT_BULK_IMPORT, 0);
             c.proxy->callMethod("set_source").onInterface(bulk_client::kInterface).withArguments(handle, file);
         },
         limits::per_user::kOpenFiles, kTooManyOpenFiles},
        {"thumbs",
         [&](Client &c, const std::string &) {
             const std::int32_t handle = c.open_job(CONTACT_BULK_DELETE, 0);
             c.proxy->callMethod("contact_bulk_operation_set_thumb").onInterface(kEngine).withArguments(
                 handle, thumbs(kThumbsPerJob), std::int32_t(kThumbsPerJob));
         },
         3, kTooManyThumbs},
    };
    for (const UserResource &resource : resources) {
        SCOPED_TRACE(resource.what);
        // Three connections of this one user take turns.
        std::vector<std::unique_ptr<Client>> clients;
        for (int i = 0; i < 3; ++i)
            clients.push_back(std::make_unique<Client>());
        std::size_t made = 0;
        int code = 0;
        while (made <= resource.allowed && code == 0) {
            code = Client::code_of([&] { resource.make(*clients[made % clients.size()], book); });
            if (code == 0)
                ++made;
        }
        EXPECT_EQ(made, resource.allowed);
        EXPECT_EQ(code, resource.refusal);
        // A connection that goes gives its share back to the user.
        clients.erase(clients.begin());
        for (int tries = 0; tries < 500; ++tries) {
            code = Client::code_of([&] { resource.make(*clients.front(), book); });
            if (code != resource.refusal)
                break;
            std::this_thread::sleep_for(10ms);
        }
        EXPECT_EQ(code, 0) << "the share of a client that left is free again";
        clients.clear();
        restart_service(); // the next resource starts from nothing held
    }
}

// ---- bulk jobs belong to the user that opened them ------------------------------

// A copy job opened by a client running as `nobody` and interrupted (its
// client left while it was stopped) may be adopted by another client of
// nobody, not by root.
TEST_F(PerUserLimitTest, AnInterruptedCopyIsAdoptedByItsOwnUserOnly)
{
    const std::optional<User> nobody = bus_client_user();
    if (!nobody)
        return;
    const auto as_nobody = [&](const std::function<int(Client &)> &body) {
        int status = -1;
        const std::vector<std::string> said = run_as(*nobody, [&](int) {
            Client client;
            return body(client);
        }, &status);
        EXPECT_TRUE(said.empty()) << said.front();
        return status;
    };
    // A copy of many indexes, stopped after its first chunk; the handle
    // comes back as the exit status (they count up from 1 in a fresh service).
    const int handle = as_nobody([](Client &client) {
        const std::int32_t job = client.open_job(CONTACT_BULK_COPY, CONTACT_BULK_STORAGES(0, 2));
        constexpr std::size_t kCount = 200000;
        auto &proxy = *client.proxy;
        proxy.callMethod("contact_bulk_operation_set_thumb").onInterface(kEngine).withArguments(job, thumbs(kCount),
                                                                                                 std::int32_t(kCount));
        std::int32_t state = -1;
        proxy.callMethod("contact_bulk_operation_exec").onInterface(kEngine).withArguments(job).storeResultsTo(state);
        proxy.callMethod("contact_bulk_operation_stop").onInterface(kEngine).withArguments(job);
        for (int tries = 0; tries < 3000; ++tries) {
            std::vector<std::uint8_t> status;
            proxy.callMethod("contact_bulk_operation_get_info").onInterface(kEngine).withArguments(job).storeResultsTo(
                status);
            std::int32_t now = -1;
            std::memcpy(&now, status.data(), 4);
            if (now != CONTACT_BULK_STATE_RUNNING)
                return now == CONTACT_BULK_STATE_STOPPED ? int(job) : 13;
            std::this_thread::sleep_for(10ms);
        }
        return 14;
    });
    ASSERT_GT(handle, 0);
    ASSERT_LT(handle, 10) << "13: the copy finished before it was stopped, 14: it never stopped";

    // Root is another user: refused, once the service has seen nobody's
    // client leave (until then the job still has its client).
    int code = kBulkWrongState;
    for (int tries = 0; tries < 500 && code == kBulkWrongState; ++tries) {
        int state = -1, error = -1;
        code = bulk_client::adopt(handle, &state, &error) ? 0 : error;
        if (code == kBulkWrongState)
            std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(code, kBulkNotOwner);

    // Another client of nobody takes it over, stopped, and closes it.
    const int adopted = as_nobody([handle](Client &client) {
        std::int32_t state = -1;
        client.proxy->callMethod("adopt").onInterface(bulk_client::kInterface).withArguments(handle).storeResultsTo(
            state);
        client.proxy->callMethod("contact_bulk_operation_close").onInterface(kEngine).withArguments(handle);
        return state == CONTACT_BULK_STATE_STOPPED ? 0 : 22;
    });
    EXPECT_EQ(adopted, 0) << "22: not stopped; 125: refused (its message above)";
}

// ---- a file with no card in it ---------------------------------------------------

class HostileFileTest : public ServiceTest {};

// A sparse file of 8 GB of zeros holds no card and takes no disk; an import
// of it reads it chunk by chunk, so a stop takes effect after the chunk it
// came in (reading the whole file in one step took the worker for seconds).
TEST_F(HostileFileTest, AnImportOfZerosStopsWithinAChunk)
{
    const std::string path = dir_.path() + "/zeros.vcf";
    {
        std::ofstream(path).put('\n');
    }
    std::filesystem::resize_file(path, 8ull << 30);
    int handle = -1, state = -1;
    ASSERT_EQ(contact_bulk_operation_open(CONTACT_BULK_IMPORT, CONTACT_STORAGE_PHONE, &handle, &error_code_), 1);
    ASSERT_EQ(bulk_client::set_source(handle, path, &error_code_), 1) << error_code_;
    ASSERT_EQ(contact_bulk_operation_exec(handle, &state, &error_code_), 1) << error_code_;
    ASSERT_EQ(contact_bulk_operation_stop(handle, &error_code_), 1) << error_code_;
    bulk_operation_status_t status{};
    for (int tries = 0; tries < 6000; ++tries) {
        ASSERT_EQ(contact_bulk_operation_get_info(handle, &status, &error_code_), 1);
        if (status.state != CONTACT_BULK_STATE_RUNNING)
            break;
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(status.state, CONTACT_BULK_STATE_STOPPED);
    EXPECT_LT(status.progress, 1000) << "the whole file was read before the stop";
    EXPECT_EQ(status.done, 0);
    EXPECT_EQ(contact_bulk_operation_close(handle, &error_code_), 1);
}

// ---- long calls run on the workers ------------------------------------------------

// The service holds every long call on its worker until the release file exists.
class LongCallTest : public ServiceTest {
protected:
    LongCallTest() { service_.arguments = {"--hold-long-calls-until", release_path()}; }
    std::string release_path() const { return dir_.path() + "/release"; }
    void release() { std::ofstream(release_path()).put('\n'); }

    // A long call (delete all of storage 0) sent without waiting; the future gets its code.
    std::future<int> delete_all_later(Client &client)
    {
        auto reply = std::make_shared<std::promise<int>>();
        std::future<int> code = reply->get_future();
        client.proxy->callMethodAsync("contact_delete_all_contacts").onInterface(kEngine).withArguments(
            std::int32_t(CONTACT_STORAGE_PHONE)).uponReplyInvoke([reply](const sdbus::Error *error, std::int32_t) {
                reply->set_value(error == nullptr ? 0 : std::atoi(error->getMessage().c_str()));
            });
        return code;
    }
};

TEST_F(LongCallTest, AnotherClientIsAnsweredWhileAWorkerIsInsideALongCall)
{
    SampleContact contact("Held Up");
    int index = -1;
    ASSERT_EQ(contact_add_contact(CONTACT_STORAGE_PHONE, &contact.record, &index, &error_code_), 1);

    Client deleting;
    deleting.connection->enterEventLoopAsync();
    std::future<int> deleted = delete_all_later(deleting);
    // The delete waits on its worker; this client is answered meanwhile.
    contact_t record{};
    EXPECT_EQ(contact_get_contact(CONTACT_STORAGE_PHONE, index, &record, &error_code_), 1) << error_code_;
    EXPECT_STREQ(record.display_name, "Held Up");
    EXPECT_EQ(deleted.wait_for(0s), std::future_status::timeout) << "the long call was answered before its release";

    release();
    ASSERT_EQ(deleted.wait_for(60s), std::future_status::ready);
    EXPECT_EQ(deleted.get(), 0);
    int count = -1;
    ASSERT_EQ(contact_get_contact_count(CONTACT_STORAGE_PHONE, &count, &error_code_), 1);
    EXPECT_EQ(count, 0);
    deleting.connection->leaveEventLoop();
}

TEST_F(LongCallTest, AUsersLongCallsWaitingAtOnceAreLimited)
{
    std::vector<std::unique_ptr<Client>> clients;
    std::vector<std::future<int>> replies;
    for (std::size_t i = 0; i <= limits::per_user::kLongCalls; ++i) {
        clients.push_back(std::make_unique<Client>());
        clients.back()->connection->enterEventLoopAsync();
        replies.push_back(delete_all_later(*clients.back()));
    }
    // While they wait, one of them is past the user's limit and refused at
    // once (which one depends on the order the bus delivers them in).
    bool one_answered = false;
    for (int tries = 0; tries < 6000 && !one_answered; ++tries)
        for (std::future<int> &reply : replies)
            one_answered = one_answered || reply.wait_for(10ms) == std::future_status::ready;
    ASSERT_TRUE(one_answered);
    release();
    std::vector<int> codes;
    for (std::future<int> &reply : replies) {
        ASSERT_EQ(reply.wait_for(60s), std::future_status::ready);
        codes.push_back(reply.get());
    }
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 0), std::ptrdiff_t(limits::per_user::kLongCalls));
    EXPECT_EQ(std::count(codes.begin(), codes.end(), int(kTooManyLongCalls)), 1);
    for (auto &client : clients)
        client->connection->leaveEventLoop();
}

} // namespace
} // namespace contact_test
