// What a client or a failing bus must not do to the service: the bus going
// away under a busy service; byte arrays the library would never send (counts
// that do not match, broken text, records beyond the size limit) sent by a
// plain bus client; birthdays that are no date.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "contact-engine-bus.h"
#include "core/contact-engine-errors.h"
#include "contact-engine.h"
#include "contact-wire.h"
#include "sample-contact.h"
#include "core/service-limits.h"
#include "test-support.h"

namespace contact_test {
namespace {

using namespace std::chrono_literals;
using namespace contact_engine;
using Bytes = std::vector<std::uint8_t>;
using contact_engine::limits::kMaxRecordSize;

// ---- the bus going away --------------------------------------------------------

// The service as a child whose stderr and exit status are kept.
class WatchedService {
public:
    WatchedService(const std::string &database, const std::string &stderr_path) : stderr_path_(stderr_path)
    {
        int ready[2];
        if (pipe(ready) != 0)
            throw std::runtime_error("pipe failed");
        if ((pid_ = fork()) == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            dup2(ready[1], STDOUT_FILENO);
            dup2(open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
            execl(CONTACT_ENGINE_SERVICE_PATH, CONTACT_ENGINE_SERVICE_PATH, "--database", database.c_str(), nullptr);
            _exit(127);
        }
        close(ready[1]);
        std::string seen;
        char buffer[256];
        for (ssize_t got; seen.find('\n') == std::string::npos && (got = read(ready[0], buffer, sizeof buffer)) > 0;)
            seen.append(buffer, std::size_t(got));
        close(ready[0]);
        if (seen.find("ready") == std::string::npos)
            throw std::runtime_error("the service did not start: " + seen);
    }
    ~WatchedService()
    {
        if (pid_ > 0 && kill(pid_, SIGKILL) == 0)
            waitpid(pid_, nullptr, 0);
    }
    WatchedService(const WatchedService &) = delete;
    WatchedService &operator=(const WatchedService &) = delete;
    // The wait status once the service ended by itself within `limit`; nullopt if it did not.
    std::optional<int> wait_for_exit(std::chrono::milliseconds limit)
    {
        int status = 0;
        for (auto waited = 0ms; waited < limit; waited += 20ms, std::this_thread::sleep_for(20ms))
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return status;
            }
        return std::nullopt;
    }
    std::string error_output() const
    {
        std::stringstream text;
        text << std::ifstream(stderr_path_).rdbuf();
        return text.str();
    }

private:
    std::string stderr_path_;
    pid_t pid_ = -1;
};

struct BusDeleter {
    void operator()(sd_bus *bus) const { sd_bus_flush_close_unref(bus); }
};

struct AddReplies {
    std::set<int> stored; // indexes the service acknowledged
    int failed = 0;
};

int on_add_reply(sd_bus_message *reply, void *user_data, sd_bus_error *)
{
    auto *replies = static_cast<AddReplies *>(user_data);
    std::int32_t index = 0, code = -1;
    if (sd_bus_message_is_method_error(reply, nullptr) || sd_bus_message_read(reply, "ii", &index, &code) < 0 ||
        code != 0)
        ++replies->failed;
    else
        replies->stored.insert(index);
    return 0;
}

TEST(BusLossTest, ServiceExitsWithAMessageAndKeepsWholeContacts)
{
    (void)bus();
    TempDir dir;
    const std::string database = dir.path() + "/contacts.db";
    auto doomed = std::make_unique<PrivateBus>();
    WatchedService service(database, dir.path() + "/service.err");

    // Many adds in flight (a plain sd-bus client; under the bus's 128 pending
    // replies per connection), then the bus goes while the service works on them.
    SampleContact sample("Bus Loss");
    const Bytes record = wire_form(sample.everything().record);
    AddReplies replies;
    sd_bus *opened = nullptr;
    ASSERT_GE(sd_bus_open_system(&opened), 0);
    std::unique_ptr<sd_bus, BusDeleter> client(opened);
    constexpr int kCalls = 120;
    for (int i = 0; i < kCalls; ++i) {
        sd_bus_message *call = nullptr;
        ASSERT_GE(sd_bus_message_new_method_call(client.get(), &call, CONTACT_ENGINE_BUS_NAME, CONTACT_ENGINE_OBJECT_PATH,
                                                 CONTACT_ENGINE_INTERFACE, "contact_add_contact"), 0);
        ASSERT_GE(sd_bus_message_append(call, "i", 0), 0);
        ASSERT_GE(sd_bus_message_append_array(call, 'y', record.data(), record.size()), 0);
        ASSERT_GE(sd_bus_call_async(client.get(), nullptr, call, on_add_reply, &replies, 0), 0);
        sd_bus_message_unref(call);
    }
    const auto give_up = std::chrono::steady_clock::now() + 120s;
    while (replies.stored.size() < 20 && std::chrono::steady_clock::now() < give_up) {
        if (sd_bus_process(client.get(), nullptr) == 0)
            sd_bus_wait(client.get(), 100000);
    }
    ASSERT_GE(replies.stored.size(), 20u) << "the service answered too few adds";
    ASSERT_EQ(replies.failed, 0);
    doomed->kill();
    client.reset();

    const std::optional<int> status = service.wait_for_exit(120s);
    ASSERT_TRUE(status.has_value()) << "the service did not end when its bus went away";
    const std::string message = service.error_output();
    ASSERT_TRUE(WIFEXITED(*status)) << "ended by signal " << WTERMSIG(*status) << "; stderr: " << message;
    EXPECT_NE(WEXITSTATUS(*status), 0) << "a lost bus is a failure, so that systemd restarts the service";
    EXPECT_NE(message.find("contact-engine-service: lost the bus connection"), std::string::npos) << message;
    EXPECT_EQ(message.find("terminate called"), std::string::npos) << message;

    // On a new bus the database opens; every acknowledged add is there, and
    // every stored contact is the whole record.
    doomed.reset();
    PrivateBus fresh;
    ServiceProcess restarted(database);
    restarted.start();
    int error_code = -1;
    ASSERT_EQ(contact_initialize(&error_code), 1);
    std::vector<int> indices(2000);
    int count = 0;
    ASSERT_EQ(contact_get_all_contact_indices(0, indices.data(), &count, &error_code), 1);
    indices.resize(std::size_t(count));
    std::printf("%zu of %d adds acknowledged before the bus went, %d stored; the service said: %s",
                replies.stored.size(), kCalls, count, message.c_str());
    EXPECT_GE(count, int(replies.stored.size()));
    EXPECT_LE(count, kCalls);
    for (int acknowledged : replies.stored)
        EXPECT_NE(std::find(indices.begin(), indices.end(), acknowledged), indices.end())
            << "acknowledged add at " << acknowledged << " is missing";
    for (int index : indices) {
        ReceivedContact received;
        ASSERT_EQ(contact_get_contact(0, index, &received.record, &error_code), 1) << "index " << index;
        received.record.index = 0;
        EXPECT_EQ(wire_form(received.record), record) << "contact at " << index << " is not the record sent";
    }
    contact_finalize(&error_code);
    EXPECT_EQ(restarted.stop(), 0);
}

// ---- byte arrays from a plain bus client ---------------------------------------------

class RawServiceTest : public ServiceTest {
protected:
    void SetUp() override
    {
        ServiceTest::SetUp();
        connection_ = sdbus::createSystemBusConnection();
        proxy_ = sdbus::createProxy(*connection_, CONTACT_ENGINE_BUS_NAME, CONTACT_ENGINE_OBJECT_PATH);
    }
    // The error a call of `method` fails with; the test fails if it succeeds.
    template <class... Args> sdbus::Error failure(const char *method, const Args &...args)
    {
        try {
            auto call = proxy_->createMethodCall(CONTACT_ENGINE_INTERFACE, method);
            (void)(call << ... << args);
            proxy_->callMethod(call);
        } catch (const sdbus::Error &error) {
            return error;
        }
        ADD_FAILURE() << method << " succeeded";
        return sdbus::Error("none", "none");
    }
    int count()
    {
        int records = -1;
        EXPECT_EQ(contact_get_contact_count(0, &records, &error_code_), 1);
        return records;
    }

    std::unique_ptr<sdbus::IConnection> connection_;
    std::unique_ptr<sdbus::IProxy> proxy_;
};

// A fixed part of zeros with `value` written at `offset` and `tail` behind it.
Bytes record_with(std::size_t offset, std::int32_t value, Bytes tail = {})
{
    Bytes record(contact_wire::kFixedSize, 0);
    contact_wire::write_i32(record.data(), offset, value);
    for (std::uint8_t byte : tail) // (not insert(): GCC 12 warns of a false out-of-bounds copy)
        record.push_back(byte);
    return record;
}

// A fixed part of zeros whose display name holds `name` (no NUL added).
Bytes record_named(const std::string &name)
{
    Bytes record(contact_wire::kFixedSize, 0);
    std::copy(name.begin(), name.end(), record.begin() + contact_wire::offset::display_name);
    return record;
}

TEST_F(RawServiceTest, ArraysThatDoNotMatchTheirCountsOrHoldBrokenTextAreRefused)
{
    namespace at = contact_wire::offset;
    const struct {
        const char *what;
        Bytes record;
        int code;
    } cases[] = {
        {"too short", Bytes(10, 0), kMalformedRecord},
        {"long by one", record_with(at::index, 0, {0}), kMalformedRecord},
        {"counts past the end", record_with(at::postal_info_cnt, 3), kMalformedRecord},
        {"a negative count", record_with(at::sns_cnt, -2), kMalformedRecord},
        {"a huge count", record_with(at::phone_info_cnt, 0x7fffffff), kMalformedRecord},
        {"id data without its block", record_with(at::contact_id_data, 0x1234), kMalformedRecord},
        {"a note without its NUL", record_with(at::note_len, 3, {'a', 'b', 'c', 'd'}), kInvalidUtf8},
        {"a NUL inside", record_with(at::about_len, 3, {'a', 0, 'c', 0}), kInvalidUtf8},
        {"an overlong '/'", record_with(at::presence_text_len, 2, {0xc0, 0xaf, 0}), kInvalidUtf8},
        {"a name cut inside a character", record_named("caf\xc3"), kInvalidUtf8},
        {"a name without its NUL", record_named(std::string(sizeof(contact_t::display_name), 'a')), kInvalidUtf8},
        // The size is checked before anything is parsed (zeros announce a
        // 4480-byte record: parsed, these would be malformed); 16 times the
        // limit proves it without moving tens of megabytes through the bus.
        {"one byte past the limit", Bytes(kMaxRecordSize + 1, 0), kRecordTooLarge},
        {"far past the limit", Bytes(16 * kMaxRecordSize, 0), kRecordTooLarge},
    };
    SampleContact kept("kept");
    int kept_at = -1;
    ASSERT_EQ(contact_add_contact(0, &kept.record, &kept_at, &error_code_), 1);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(std::stoi(failure("contact_update_contact", 0, kept_at, c.record).getMessage()), c.code);
        const sdbus::Error error = failure("contact_add_contact", 0, c.record);
        EXPECT_EQ(std::stoi(error.getMessage()), c.code) << error.getMessage();
        EXPECT_EQ(error.getName(), std::string(kErrorNamePrefix) + error_name(ErrorCode(c.code)));
        EXPECT_EQ(std::stoi(failure("contact_insert_my_contact", c.record).getMessage()), c.code);
    }
    EXPECT_EQ(count(), 1) << "nothing was stored";
    ReceivedContact stored;
    ASSERT_EQ(contact_get_contact(0, kept_at, &stored.record, &error_code_), 1);
    EXPECT_EQ(wire_form(stored.record), wire_form(kept.record)) << "nothing was changed";
    EXPECT_EQ(failure("contact_delete_contact", 0, 7).getMessage(),
              std::to_string(kNoContact) + ": no contact at index 7 of storage 0");
}

TEST_F(RawServiceTest, PointerValuesAreNotKept)
{
    Bytes record = record_with(contact_wire::offset::phone_info, 0x0badf00d); // no phones
    contact_wire::write_i32(record.data(), contact_wire::offset::note, 0x12345678);
    record.back() = 0x5a; // opaque tail byte
    int index = -1, result = -1;
    proxy_->callMethod("contact_add_contact").onInterface(CONTACT_ENGINE_INTERFACE).withArguments(6, record).storeResultsTo(
        index, result);
    Bytes back;
    proxy_->callMethod("contact_get_contact").onInterface(CONTACT_ENGINE_INTERFACE).withArguments(0, index).storeResultsTo(
        back, result);
    ASSERT_EQ(back.size(), contact_wire::kFixedSize);
    EXPECT_EQ(contact_wire::read_i32(back.data(), contact_wire::offset::phone_info), 0);
    EXPECT_EQ(contact_wire::read_i32(back.data(), contact_wire::offset::note), 0);
    EXPECT_EQ(contact_wire::read_i32(back.data(), contact_wire::offset::index), 1);
    EXPECT_EQ(contact_wire::read_i32(back.data(), contact_wire::offset::storage_type), 0) << "6 names the phone storage";
    EXPECT_EQ(back.back(), 0x5a);
}

// ---- record size through the library ------------------------------------------------

// A contact whose note makes its byte array exactly `size` bytes long.
struct ContactOfSize : SampleContact {
    explicit ContactOfSize(std::size_t size) : SampleContact("Big")
    {
        phone("+44 20 7946 0000").note("x");
        note(std::string(size - (wire_form(record).size() - 1), 'n'));
    }
};

TEST_F(RawServiceTest, LargestRecordIsStoredAndOneByteMoreIsRefused)
{
    ContactOfSize largest(kMaxRecordSize), over(kMaxRecordSize + 1);
    ASSERT_EQ(wire_form(largest.record).size(), kMaxRecordSize);
    int index = -1;
    ASSERT_EQ(contact_add_contact(0, &largest.record, &index, &error_code_), 1) << error_code_;
    ReceivedContact back;
    ASSERT_EQ(contact_get_contact(0, index, &back.record, &error_code_), 1);
    EXPECT_EQ(std::string(back.record.note, std::size_t(back.record.note_len)),
              std::string(largest.record.note, std::size_t(largest.record.note_len)));
    const std::string too_long(kMaxRecordSize, 'n');
    const Call refused[] = {
        [&](int *e) { return contact_add_contact(0, &over.record, &index, e); },
        [&](int *e) { return contact_insert_contact(0, 5, &over.record, e); },
        [&](int *e) { return contact_update_contact(0, 1, &over.record, e); },
        [&](int *e) { return contact_insert_my_contact(&over.record, e); },
        // A note cannot grow a stored record past the limit either.
        [&](int *e) { return contact_change_field_value(0, 1, CONTACT_FIELD_NOTE, too_long.c_str(), e); },
    };
    for (const Call &call : refused)
        EXPECT_EQ(failure_code(call), kRecordTooLarge);
    EXPECT_EQ(count(), 1) << "a refused record stores nothing";
    ReceivedContact unchanged;
    ASSERT_EQ(contact_get_contact(0, 1, &unchanged.record, &error_code_), 1);
    EXPECT_EQ(unchanged.record.note_len, largest.record.note_len) << "a refused change changes nothing";
    const std::string fits(kMaxRecordSize / 2, 'n');
    EXPECT_EQ(contact_change_field_value(0, 1, CONTACT_FIELD_NOTE, fits.c_str(), &error_code_), 1);
}

// ---- birthdays ---------------------------------------------------------------

const char *const kBadBirthdays[] = {
    "2000-+1-+1", "-999-01-01", "2001-02-29", "1900-02-29", "2000-13-01", "2000-00-10", "2000-01-00",
    "2000-04-31", "0000-01-01", " 999-01-01", "2000-1-010", "20000-01-1", "2000/01/01", "2000-01-1x",
    "2000-01-01 ", "abcd-ef-gh", "2000-01", "+200-01-01", "yesterday",
};
const char *const kGoodBirthdays[] = {"", "2000-02-29", "1815-12-10", "0001-01-01", "9999-12-31", "2024-04-30"};

// Every way a birthday gets in checks it: a field change, and the record of an
// add, insert, update or my-contact insert; a refusal changes nothing.
TEST_F(RawServiceTest, OnlyCalendarDatesAreTakenAsBirthdays)
{
    const auto birthday = [&](int index) {
        char value[CONTACT_FIELD_VALUE_MAX] = "?";
        EXPECT_EQ(contact_get_field_value(0, index, CONTACT_FIELD_BIRTHDAY, value, &error_code_), 1);
        return std::string(value);
    };
    const auto add = [&](const char *date) {
        SampleContact sample("Birthday");
        set_text(sample.record.birthday, date);
        int index = -1;
        EXPECT_EQ(contact_add_contact(0, &sample.record, &index, &error_code_), 1) << date;
        return index;
    };
    ASSERT_EQ(add("1815-12-10"), 1);
    for (const char *bad : kBadBirthdays) {
        SCOPED_TRACE(bad);
        SampleContact sample("Bad");
        set_text(sample.record.birthday, bad);
        std::vector<Call> calls{
            [&](int *e) { return contact_change_field_value(0, 1, CONTACT_FIELD_BIRTHDAY, bad, e); }};
        if (std::strlen(bad) < sizeof(contact_t::birthday)) // else it does not fit the record's field
            calls.insert(calls.end(), {[&](int *e) { int at; return contact_add_contact(0, &sample.record, &at, e); },
                                       [&](int *e) { return contact_insert_contact(0, 9, &sample.record, e); },
                                       [&](int *e) { return contact_update_contact(0, 1, &sample.record, e); },
                                       [&](int *e) { return contact_insert_my_contact(&sample.record, e); }});
        for (const Call &call : calls)
            EXPECT_EQ(failure_code(call), kInvalidArgument);
        EXPECT_EQ(birthday(1), "1815-12-10");
    }
    EXPECT_EQ(count(), 1);
    ReceivedContact me;
    EXPECT_EQ(failure_code([&](int *e) { return contact_get_my_contact(&me.record, e); }), kNoMyContact);
    for (const char *good : kGoodBirthdays) {
        EXPECT_EQ(contact_change_field_value(0, 1, CONTACT_FIELD_BIRTHDAY, good, &error_code_), 1) << good;
        EXPECT_EQ(birthday(1), good);
        EXPECT_EQ(birthday(add(good)), good);
    }
}

} // namespace
} // namespace contact_test
