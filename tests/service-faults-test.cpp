// What a single client or a failing bus must not do to the service: the bus
// going away under a busy service, records beyond the size limit, and
// birthdays that are no date.
#include <fcntl.h>
#include <gtest/gtest.h>
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
using Bytes = std::vector<std::uint8_t>;
using contact_engine::limits::kMaxRecordSize;

// ---- a plain sd-bus client, which can have many calls in flight ---------------

struct BusDeleter {
    void operator()(sd_bus *bus) const { sd_bus_flush_close_unref(bus); }
};
using BusHandle = std::unique_ptr<sd_bus, BusDeleter>;

BusHandle open_system_bus()
{
    sd_bus *bus = nullptr;
    if (sd_bus_open_system(&bus) < 0)
        return nullptr;
    return BusHandle(bus);
}

sd_bus_message *add_contact_call(sd_bus *bus, const Bytes &record)
{
    sd_bus_message *call = nullptr;
    EXPECT_GE(sd_bus_message_new_method_call(bus, &call, CONTACT_ENGINE_BUS_NAME, CONTACT_ENGINE_OBJECT_PATH,
                                             CONTACT_ENGINE_INTERFACE, "contact_add_contact"),
              0);
    EXPECT_GE(sd_bus_message_append(call, "i", 0), 0);
    EXPECT_GE(sd_bus_message_append_array(call, 'y', record.data(), record.size()), 0);
    return call;
}

// The service's code for one synchronous add of `record`, 0 on success.
int raw_add_code(const Bytes &record)
{
    BusHandle bus = open_system_bus();
    EXPECT_TRUE(bus);
    if (!bus)
        return -1;
    sd_bus_message *call = add_contact_call(bus.get(), record);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message *reply = nullptr;
    const int sent = sd_bus_call(bus.get(), call, 0, &error, &reply);
    sd_bus_message_unref(call);
    sd_bus_message_unref(reply);
    const int code = sent >= 0 ? 0 : error.message != nullptr ? std::atoi(error.message) : -1;
    sd_bus_error_free(&error);
    return code;
}

// ---- the service as a child whose stderr and exit status are kept ------------

class WatchedService {
public:
    WatchedService(const std::string &database, const std::string &stderr_path) : stderr_path_(stderr_path)
    {
        int ready[2];
        if (pipe(ready) != 0)
            throw std::runtime_error("pipe failed");
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            dup2(ready[1], STDOUT_FILENO);
            const int err = open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(err, STDERR_FILENO);
            execl(CONTACT_ENGINE_SERVICE_PATH, CONTACT_ENGINE_SERVICE_PATH, "--database", database.c_str(), nullptr);
            _exit(127);
        }
        close(ready[1]);
        std::string seen;
        char buffer[256];
        ssize_t got;
        while (seen.find('\n') == std::string::npos && (got = read(ready[0], buffer, sizeof buffer)) > 0)
            seen.append(buffer, std::size_t(got));
        close(ready[0]);
        if (seen.find("ready") == std::string::npos)
            throw std::runtime_error("the service did not start: " + seen);
    }
    ~WatchedService()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    WatchedService(const WatchedService &) = delete;
    WatchedService &operator=(const WatchedService &) = delete;

    // The wait status once the service ended by itself within `limit`;
    // nullopt (and the service killed) if it did not.
    std::optional<int> wait_for_exit(std::chrono::milliseconds limit)
    {
        int status = 0;
        for (auto waited = 0ms; waited < limit; waited += 20ms) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return status;
            }
            std::this_thread::sleep_for(20ms);
        }
        return std::nullopt;
    }
    std::string error_output() const
    {
        std::ifstream file(stderr_path_);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

private:
    std::string stderr_path_;
    pid_t pid_ = -1;
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

Bytes sample_wire_form()
{
    SampleContact sample("Bus Loss");
    sample.everything();
    return wire_form(sample.record);
}

TEST(BusLossTest, ServiceExitsWithAMessageAndKeepsWholeContacts)
{
    (void)bus();
    TempDir dir;
    const std::string database = dir.path() + "/contacts.db";
    auto doomed = std::make_unique<PrivateBus>();
    WatchedService service(database, dir.path() + "/service.err");

    // Many adds in flight, then the bus goes while the service works on them.
    const Bytes record = sample_wire_form();
    AddReplies replies;
    BusHandle client = open_system_bus();
    ASSERT_TRUE(client);
    // The bus allows a connection 128 pending replies; calls beyond that are
    // refused by the daemon whenever the service is slower than the sender
    // (as on a busy machine), so the calls in flight stay under it.
    constexpr int kCalls = 120;
    for (int i = 0; i < kCalls; ++i) {
        sd_bus_message *call = add_contact_call(client.get(), record);
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
    EXPECT_TRUE(WIFEXITED(*status)) << "ended by signal " << WTERMSIG(*status) << "; stderr: " << message;
    if (WIFEXITED(*status)) {
        EXPECT_NE(WEXITSTATUS(*status), 0) << "a lost bus is a failure, so that systemd restarts the service";
    }
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

// ---- record size -------------------------------------------------------------

// A contact whose note makes its byte array exactly `size` bytes long.
class ContactOfSize {
public:
    explicit ContactOfSize(std::size_t size)
    {
        sample_.phone("+44 20 7946 0000");
        sample_.note("x");
        const std::size_t base = wire_form(sample_.record).size() - 1;
        sample_.note(std::string(size - base, 'n'));
    }
    contact_t &record() { return sample_.record; }

private:
    SampleContact sample_{"Big"};
};

class RecordLimitTest : public ServiceTest {};

TEST_F(RecordLimitTest, LargestRecordIsStoredAndOneByteMoreIsRefused)
{
    ContactOfSize largest(kMaxRecordSize);
    ASSERT_EQ(wire_form(largest.record()).size(), kMaxRecordSize);
    int index = -1;
    ASSERT_EQ(contact_add_contact(0, &largest.record(), &index, &error_code_), 1) << error_code_;
    ReceivedContact back;
    ASSERT_EQ(contact_get_contact(0, index, &back.record, &error_code_), 1);
    EXPECT_EQ(std::string(back.record.note, std::size_t(back.record.note_len)),
              std::string(largest.record().note, std::size_t(largest.record().note_len)));

    ContactOfSize over(kMaxRecordSize + 1);
    EXPECT_EQ(failure_code([&](int *e) { int at; return contact_add_contact(0, &over.record(), &at, e); }),
              contact_engine::kRecordTooLarge);
    EXPECT_EQ(failure_code([&](int *e) { return contact_insert_contact(0, 5, &over.record(), e); }),
              contact_engine::kRecordTooLarge);
    EXPECT_EQ(failure_code([&](int *e) { return contact_update_contact(0, index, &over.record(), e); }),
              contact_engine::kRecordTooLarge);
    EXPECT_EQ(failure_code([&](int *e) { return contact_insert_my_contact(&over.record(), e); }),
              contact_engine::kRecordTooLarge);

    int count = -1;
    ASSERT_EQ(contact_get_contact_count(0, &count, &error_code_), 1);
    EXPECT_EQ(count, 1) << "a refused record stores nothing";
    ReceivedContact unchanged;
    ASSERT_EQ(contact_get_contact(0, index, &unchanged.record, &error_code_), 1);
    EXPECT_EQ(unchanged.record.note_len, largest.record().note_len) << "a refused update changes nothing";
}

TEST_F(RecordLimitTest, ANoteCannotGrowARecordPastTheLimit)
{
    ContactOfSize small(8 * 1024);
    int index = -1;
    ASSERT_EQ(contact_add_contact(0, &small.record(), &index, &error_code_), 1);
    const std::string too_long(kMaxRecordSize, 'n');
    EXPECT_EQ(failure_code([&](int *e) {
                  return contact_change_field_value(0, index, CONTACT_FIELD_NOTE, too_long.c_str(), e);
              }),
              contact_engine::kRecordTooLarge);
    ReceivedContact unchanged;
    ASSERT_EQ(contact_get_contact(0, index, &unchanged.record, &error_code_), 1);
    EXPECT_EQ(unchanged.record.note_len, small.record().note_len);
    const std::string fits(kMaxRecordSize / 2, 'n');
    EXPECT_EQ(contact_change_field_value(0, index, CONTACT_FIELD_NOTE, fits.c_str(), &error_code_), 1);
}

// Far past the limit is refused as one byte past it is, before anything is
// parsed; 16 times the limit proves it without moving tens of megabytes
// through the bus (which, on a loaded machine, outlasts the bus's timeout).
TEST_F(RecordLimitTest, SizeIsCheckedBeforeTheRecordIsParsed)
{
    // Zeros announce a 4480-byte record: parsed, these arrays would be malformed.
    EXPECT_EQ(raw_add_code(Bytes(kMaxRecordSize + 1, 0)), contact_engine::kRecordTooLarge);
    EXPECT_EQ(raw_add_code(Bytes(16 * kMaxRecordSize, 0)), contact_engine::kRecordTooLarge);
    EXPECT_EQ(raw_add_code(Bytes(contact_wire::kFixedSize + 1, 0)), contact_engine::kMalformedRecord);
}

// ---- birthdays ---------------------------------------------------------------

const char *const kBadBirthdays[] = {
    "2000-+1-+1", "-999-01-01", "2001-02-29", "1900-02-29", "2000-13-01", "2000-00-10", "2000-01-00",
    "2000-04-31", "0000-01-01", " 999-01-01", "2000-1-010", "20000-01-1", "2000/01/01", "2000-01-1x",
    "2000-01-01 ", "abcd-ef-gh", "2000-01", "+200-01-01",
};
const char *const kGoodBirthdays[] = {"", "2000-02-29", "1815-12-10", "0001-01-01", "9999-12-31", "2024-04-30"};

class BirthdayTest : public ServiceTest {
protected:
    int add(const char *birthday)
    {
        SampleContact sample("Birthday");
        set_text(sample.record.birthday, birthday);
        int index = -1;
        EXPECT_EQ(contact_add_contact(0, &sample.record, &index, &error_code_), 1) << birthday;
        return index;
    }
    std::string birthday_at(int index)
    {
        char value[2048] = "?";
        EXPECT_EQ(contact_get_field_value(0, index, CONTACT_FIELD_BIRTHDAY, value, &error_code_), 1);
        return value;
    }
};

TEST_F(BirthdayTest, ChangeFieldValueTakesOnlyCalendarDates)
{
    const int index = add("1815-12-10");
    for (const char *bad : kBadBirthdays) {
        EXPECT_EQ(failure_code([&](int *e) {
                      return contact_change_field_value(0, index, CONTACT_FIELD_BIRTHDAY, bad, e);
                  }),
                  contact_engine::kInvalidArgument)
            << '"' << bad << '"';
        EXPECT_EQ(birthday_at(index), "1815-12-10");
    }
    for (const char *good : kGoodBirthdays) {
        EXPECT_EQ(contact_change_field_value(0, index, CONTACT_FIELD_BIRTHDAY, good, &error_code_), 1) << good;
        EXPECT_EQ(birthday_at(index), good);
    }
}

TEST_F(BirthdayTest, AddInsertAndUpdateCheckTheRecordsBirthday)
{
    const int index = add("1815-12-10");
    for (const char *bad : kBadBirthdays) {
        if (std::strlen(bad) >= sizeof(contact_t::birthday))
            continue; // does not fit the record's field
        SampleContact sample("Bad");
        set_text(sample.record.birthday, bad);
        EXPECT_EQ(failure_code([&](int *e) { int at; return contact_add_contact(0, &sample.record, &at, e); }),
                  contact_engine::kInvalidArgument)
            << '"' << bad << '"';
        EXPECT_EQ(failure_code([&](int *e) { return contact_insert_contact(0, 9, &sample.record, e); }),
                  contact_engine::kInvalidArgument)
            << '"' << bad << '"';
        EXPECT_EQ(failure_code([&](int *e) { return contact_update_contact(0, index, &sample.record, e); }),
                  contact_engine::kInvalidArgument)
            << '"' << bad << '"';
        EXPECT_EQ(failure_code([&](int *e) { return contact_insert_my_contact(&sample.record, e); }),
                  contact_engine::kInvalidArgument)
            << '"' << bad << '"';
    }
    int count = -1;
    ASSERT_EQ(contact_get_contact_count(0, &count, &error_code_), 1);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(birthday_at(index), "1815-12-10");
    ReceivedContact me;
    EXPECT_EQ(failure_code([&](int *e) { return contact_get_my_contact(&me.record, e); }),
              contact_engine::kNoMyContact);

    for (const char *good : kGoodBirthdays)
        EXPECT_EQ(birthday_at(add(good)), good);
}

} // namespace
} // namespace contact_test
