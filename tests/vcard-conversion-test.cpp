// The six vCard operations end to end: the library over the private bus and
// the real service, and the library alone against a responder that answers
// short replies and long paths.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "contact-engine-bus.h"
#include "core/contact-engine-errors.h"
#include "contact-engine-wire.h"
#include "contact-engine.h"
#include "contacts/contact-record.h"
#include "sample-contact.h"
#include "responder.h"
#include "test-support.h"
#include "vcard/vcard-reader.h"

namespace contact_test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

constexpr const char *kOpened = "\n[DodazorEdidud]%s %d: The dbus connection hasn't been opened.\n";
constexpr const char *kContactNull = "\n[DodazorEdidud]%s %d: The pContact is NULL.\n";
constexpr const char *kPathNull = "\n[DodazorEdidud]%s %d: The full_file_path is NULL.\n";
constexpr const char *kFileNull = "\n[DodazorEdidud]%s %d: The pFile is NULL.\n";
constexpr const char *kObjectNull = "\n[DodazorEdidud]%s %d: The pObject is NULL.\n";
constexpr const char *kBegin = "\n[DodazorEdidud]%s:  begin.\n";
constexpr const char *kToVcardFailed =
    "\n[DodazorEdidud]%s %d: org_yora_contact_contact_convert_contact_to_vcard() failed.\n";
constexpr const char *kToFileFailed =
    "\n[DodazorEdidud]%s %d: org_yora_contact_contact_convert_contact_to_vcard_file() failed.\n";
constexpr const char *kToTmpFailed =
    "\n[DodazorEdidud]%s %d: org_yora_contact_contact_convert_contact_to_vcard_file_tmp() failed.\n";
constexpr const char *kFileToContactFailed =
    "\n[DodazorEdidud]%s %d: org_yora_contact_contact_convert_vcard_file_to_contact() failed().\n";
constexpr const char *kTextToContactFailed =
    "\n[DodazorEdidud]%s %d: org_yora_contact_contact_convert_vcard_to_contact() failed().\n";

std::string text_of(const char *field, std::size_t width)
{
    return std::string(field, strnlen(field, width));
}
#define TEXT(record, field) text_of((record).field, sizeof((record).field))

void write_file(const std::string &path, const std::string &content, mode_t mode = 0644)
{
    std::ofstream(path, std::ios::binary) << content;
    chmod(path.c_str(), mode);
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

// A failed conversion: result 0, exactly one error line with `format`, from
// the operation itself.
struct Outcome {
    int result;
    std::vector<std::string> errors;
    std::vector<std::string> traces;
};
template <class Call> Outcome run(Call call)
{
    LogCapture log;
    Outcome outcome{call(), {}, {}};
    outcome.errors = log.error_formats();
    for (const LogEntry &entry : log.traces())
        outcome.traces.push_back(entry.format);
    return outcome;
}

// The service's D-Bus error for a call made without the library, which
// hides the code: "80: ..." and the like.
template <class... Args> std::string service_error(const char *method, Args... args)
{
    auto proxy = sdbus::createProxy(CONTACT_ENGINE_BUS_NAME, CONTACT_ENGINE_OBJECT_PATH);
    try {
        proxy->callMethod(method).onInterface(CONTACT_ENGINE_INTERFACE).withArguments(args...);
    } catch (const sdbus::Error &error) {
        return error.getMessage();
    }
    return "(no error)";
}
bool has_code(const std::string &message, contact_engine::ErrorCode code)
{
    return message.rfind(std::to_string(int(code)) + ": ", 0) == 0;
}

// A contact with every field the record holds, sections included.
void fill_every_field(SampleContact &c)
{
    c.everything();
    set_text(c.record.display_name, "Ada King, Countess of Lovelace");
    set_text(c.record.name_prefix, "Lady");
    set_text(c.record.name_suffix, "FRS");
    set_text(c.record.anniversary, "07-08");
    set_text(c.record.department, "Notes");
    set_text(c.record.phonetic_first_name, "ay-da");
    set_text(c.record.phonetic_last_name, "luv-lace");
    set_text(c.record.message_tone_path, "/opt/sounds/ping.ogg");
    set_text(c.record.account_name, "local");
    set_text(c.record.source_uid, "uid-1815");
    set_text(c.record.custom_label, "Mathematician");
    c.record.frequency = 4;
    c.record.modified_time = 1700000100;
    c.record.last_call_time = 1700000200;
    c.record.presence_status = 3;
    c.record.is_blocked = 1;
    c.record.is_hidden = 1;
    c.record.revision = 9;
}

// Every field the fixed part carries, compared by name.
void expect_same_fixed_fields(const contact_t &got, const contact_t &want)
{
#define SAME_TEXT(field) EXPECT_EQ(TEXT(got, field), TEXT(want, field)) << #field
#define SAME_INT(field) EXPECT_EQ(got.field, want.field) << #field
    SAME_TEXT(first_name); SAME_TEXT(last_name); SAME_TEXT(name_prefix); SAME_TEXT(name_suffix);
    SAME_TEXT(birthday); SAME_TEXT(anniversary); SAME_TEXT(display_name); SAME_TEXT(nickname);
    SAME_TEXT(company); SAME_TEXT(job_title); SAME_TEXT(department); SAME_TEXT(ringtone_path);
    SAME_TEXT(photo_path); SAME_TEXT(website); SAME_TEXT(phonetic_first_name); SAME_TEXT(phonetic_last_name);
    SAME_TEXT(middle_name); SAME_TEXT(message_tone_path); SAME_TEXT(account_name); SAME_TEXT(source_uid);
    SAME_TEXT(custom_label);
    SAME_INT(frequency); SAME_INT(is_favourite); SAME_INT(created_time); SAME_INT(modified_time);
    SAME_INT(last_call_time); SAME_INT(presence_status); SAME_INT(is_blocked); SAME_INT(is_hidden);
    SAME_INT(revision);
    SAME_INT(phone_info_cnt); SAME_INT(email_info_cnt); SAME_INT(postal_info_cnt); SAME_INT(note_len);
    SAME_INT(about_len); SAME_INT(sns_cnt); SAME_INT(im_cnt); SAME_INT(presence_text_len);
#undef SAME_TEXT
#undef SAME_INT
}

// The sections of a card as the service's reader makes them, against the
// sections of a contact the library unpacked.
void expect_same_sections(const contact_engine::Record &card, const contact_t &want)
{
    const void *sections[] = {want.phone_info, want.email_info, want.postal_info, want.note,
                              want.about,      want.sns,        want.im,          want.presence_text};
    for (std::size_t which = 0; which < contact_wire::kSections.size(); ++which) {
        SCOPED_TRACE(contact_wire::kSections[which].name);
        const Bytes got = card.section(which);
        const std::size_t bytes = contact_wire::section_bytes(contact_wire::kSections[which], card.count(which));
        ASSERT_EQ(got.size(), bytes);
        if (bytes > 0) {
            EXPECT_EQ(std::memcmp(got.data(), sections[which], bytes), 0);
        }
    }
    ASSERT_NE(want.contact_id_data, nullptr);
    const Bytes &all = card.bytes();
    ASSERT_GE(all.size(), contact_wire::kFixedSize + contact_wire::kIdDataSize);
    EXPECT_EQ(std::memcmp(all.data() + all.size() - contact_wire::kIdDataSize, want.contact_id_data,
                          contact_wire::kIdDataSize),
              0);
}

class VCardTest : public ServiceTest {
protected:
    int add(contact_t &record, int storage = CONTACT_STORAGE_PHONE)
    {
        int index = 0;
        EXPECT_EQ(contact_add_contact(storage, &record, &index, &error_code_), 1) << error_code_;
        return index;
    }
    std::string to_vcard(const contact_t &record, int param = CONTACT_VCARD_DEFAULT)
    {
        char *text = nullptr;
        EXPECT_EQ(contact_convert_contact_to_vcard(&record, &text, param), 1);
        std::string copy = text != nullptr ? text : "";
        EXPECT_EQ(contact_free_vcard(text), 1);
        return copy;
    }
    int stored_contacts()
    {
        int total = 0;
        for (int storage : {0, 1, 2, 3, 4}) {
            int count = 0;
            EXPECT_EQ(contact_get_contact_count(storage, &count, &error_code_), 1);
            total += count;
        }
        return total;
    }
    std::string vcard_dir() const { return dir_.path() + "/vcards"; }
};

// ---- preconditions ---------------------------------------------------------------

// The connection first, then each NULL in the order of the arguments.
TEST_F(VCardTest, PreconditionsLogTheirMessageAndReturnZero)
{
    contact_t record{};
    char *text = nullptr;
    struct Case {
        const char *what;
        std::function<int()> call;
        const char *message;
    };
    const std::vector<Case> cases{
        {"to text, pContact", [&] { return contact_convert_contact_to_vcard(nullptr, &text, 0); }, kContactNull},
        {"file, both", [&] { return contact_convert_contact_to_vcard_file(nullptr, nullptr, 0); }, kContactNull},
        {"tmp, path", [&] { return contact_convert_contact_to_vcard_file_tmp(&record, nullptr, 0); }, kPathNull},
        {"file to contact, both", [&] { return contact_convert_vcard_file_to_contact(nullptr, nullptr); }, kFileNull},
        {"file to contact, contact", [&] { return contact_convert_vcard_file_to_contact("/x.vcf", nullptr); }, kContactNull},
        {"text to contact, both", [&] { return contact_convert_vcard_to_contact(nullptr, nullptr); }, kObjectNull},
        {"text to contact, contact", [&] { return contact_convert_vcard_to_contact("x", nullptr); }, kContactNull},
    };
    for (bool connected : {true, false}) {
        if (!connected) {
            ASSERT_EQ(contact_finalize(nullptr), 1);
        }
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(c.what) + (connected ? "" : ", not connected"));
            const Outcome outcome = run(c.call);
            EXPECT_EQ(outcome.result, 0);
            EXPECT_EQ(outcome.errors, std::vector<std::string>{connected ? c.message : kOpened});
            if (std::strstr(c.what, "to contact") != nullptr) { // their begin trace comes before the test
                EXPECT_EQ(outcome.traces, std::vector<std::string>{kBegin});
            }
        }
    }
    ASSERT_EQ(contact_initialize(nullptr), 1);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(contact_free_vcard(nullptr), 1);
}

TEST_F(VCardTest, ConversionsNameThemselvesInTheLog)
{
    LogCapture log;
    contact_t record{};
    EXPECT_EQ(contact_convert_vcard_to_contact("BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Log Name\r\nEND:VCARD\r\n", &record),
              1);
    const std::vector<LogEntry> traces = log.traces();
    ASSERT_EQ(traces.size(), 3u);
    EXPECT_EQ(traces[0].text, "\n[DodazorEdidud]contact_convert_vcard_to_contact:  begin.\n");
    EXPECT_EQ(traces[1].text, "\n[DodazorEdidud]contact_convert_vcard_to_contact: *************"
                              "contact_convert_vcard_to_contact pContact->display_name = Log Name*************\n");
    EXPECT_EQ(traces[2].text, "\n[DodazorEdidud]contact_convert_vcard_to_contact: end\n");
    EXPECT_TRUE(log.errors().empty());
}

// ---- contact to vCard ------------------------------------------------------------

TEST_F(VCardTest, EveryFieldSurvivesContactToVCardToContactThroughTheService)
{
    SampleContact sample;
    fill_every_field(sample);
    add(sample.record);
    ReceivedContact stored;
    ASSERT_EQ(contact_get_contact(CONTACT_STORAGE_PHONE, 1, &stored.record, &error_code_), 1);

    for (int param : {CONTACT_VCARD_21, CONTACT_VCARD_30, CONTACT_VCARD_40}) {
        SCOPED_TRACE(param);
        const std::string text = to_vcard(stored.record, param);
        EXPECT_NE(text.find(std::string("VERSION:") + char('0' + param / 10) + "." + char('0' + param % 10)), std::string::npos);
        // Back through the service: the fixed part and its counts.
        contact_t back{};
        ASSERT_EQ(contact_convert_vcard_to_contact(text.c_str(), &back), 1);
        expect_same_fixed_fields(back, stored.record);
        EXPECT_EQ(back.phone_info, nullptr) << "no section crosses in this conversion";
        EXPECT_EQ(back.note, nullptr);
        // The sections the text carries, read by the service's own reader.
        expect_same_sections(contact_engine::read_vcard_contact(text).record, stored.record);
    }
}

TEST_F(VCardTest, AConvertParamOfNoVersionIsRefused)
{
    SampleContact sample("Version Check");
    EXPECT_NE(to_vcard(sample.record, 0).find("VERSION:3.0\r\n"), std::string::npos);
    char *text = nullptr;
    const Outcome outcome = run([&] { return contact_convert_contact_to_vcard(&sample.record, &text, 22); });
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.errors, std::vector<std::string>{kToVcardFailed});
    EXPECT_EQ(text, nullptr) << "a failed call does not write *vcard";
    EXPECT_TRUE(has_code(service_error("contact_convert_contact_to_vcard", Bytes(contact_wire::kFixedSize), 22),
                         contact_engine::kInvalidArgument));
}

TEST_F(VCardTest, AStoredContactIsExportedWithItsStoredSections)
{
    SampleContact sample("Grace Hopper");
    sample.phone("+1 202 555 0142").email("grace@example.org").postal("1 Navy Way", "Arlington").note("Found the bug.");
    const int index = add(sample.record);

    // A record that addresses the stored contact but carries no section.
    contact_t fixed{};
    set_text(fixed.display_name, "Grace Brewster Hopper");
    fixed.index = index;
    fixed.storage_type = CONTACT_STORAGE_PHONE;
    const std::string text = to_vcard(fixed);
    for (const char *part : {"FN:Grace Brewster Hopper\r\n", "+1 202 555 0142", "grace@example.org", "Arlington",
                             "NOTE:Found the bug."})
        EXPECT_NE(text.find(part), std::string::npos) << part << " in " << text;

    // The same through the alias of the phone storage.
    fixed.storage_type = CONTACT_STORAGE_PHONE_ALIAS;
    EXPECT_NE(to_vcard(fixed).find("+1 202 555 0142"), std::string::npos);

    // Addressing nothing (index 0, a free index, no such storage): the fixed
    // part alone, whatever counts it claims.
    for (auto [storage, at] : {std::pair{0, 0}, std::pair{0, index + 1}, std::pair{99, index}, std::pair{0, -3}}) {
        SCOPED_TRACE(at);
        fixed.storage_type = storage;
        fixed.index = at;
        fixed.phone_info_cnt = 2;
        fixed.note_len = 40;
        const std::string alone = to_vcard(fixed);
        EXPECT_NE(alone.find("FN:Grace Brewster Hopper"), std::string::npos);
        EXPECT_EQ(alone.find("TEL"), std::string::npos) << alone;
        EXPECT_EQ(alone.find("NOTE"), std::string::npos);
    }

    // My contact: its storage, any index.
    SampleContact mine("Me Myself");
    mine.phone("+49 30 1234567").email("me@example.org");
    ASSERT_EQ(contact_insert_my_contact(&mine.record, &error_code_), 1);
    contact_t me{};
    set_text(me.display_name, "Me Myself");
    me.storage_type = CONTACT_STORAGE_MY_CONTACT;
    EXPECT_NE(to_vcard(me).find("+49 30 1234567"), std::string::npos);
    me.storage_type = CONTACT_STORAGE_MY_CONTACT_ALIAS;
    EXPECT_NE(to_vcard(me).find("me@example.org"), std::string::npos);
}

TEST_F(VCardTest, TheFileVariantsWriteCallerFilesInTheServiceDirectory)
{
    SampleContact sample("File Owner");
    sample.phone("+33 1 23 45 67 89").email("owner@example.org");
    add(sample.record);
    ReceivedContact stored;
    ASSERT_EQ(contact_get_contact(CONTACT_STORAGE_PHONE, 1, &stored.record, &error_code_), 1);

    struct Variant {
        int (*convert)(const contact_t *, char *, int);
        std::string directory;
    };
    for (const Variant &variant : {Variant{contact_convert_contact_to_vcard_file, vcard_dir()},
                                   Variant{contact_convert_contact_to_vcard_file_tmp, vcard_dir() + "/tmp"}}) {
        SCOPED_TRACE(variant.directory);
        char path[CONTACT_VCARD_PATH_MAX];
        std::memset(path, 'x', sizeof path);
        ASSERT_EQ(variant.convert(&stored.record, path, CONTACT_VCARD_40), 1);
        ASSERT_EQ(path[sizeof path - 1], '\0');
        EXPECT_EQ(fs::path(path).parent_path().string(), variant.directory + "/" + std::to_string(getuid()))
            << "the caller's own directory";
        struct stat status {};
        ASSERT_EQ(lstat(path, &status), 0);
        EXPECT_TRUE(S_ISREG(status.st_mode));
        EXPECT_EQ(status.st_uid, getuid()) << "the file belongs to the caller";
        EXPECT_EQ(read_file(path), to_vcard(stored.record, CONTACT_VCARD_40));
        contact_t back{};
        ASSERT_EQ(contact_convert_vcard_file_to_contact(path, &back), 1);
        expect_same_fixed_fields(back, stored.record);
    }

    // Two conversions never share a name.
    char first[CONTACT_VCARD_PATH_MAX], second[CONTACT_VCARD_PATH_MAX];
    ASSERT_EQ(contact_convert_contact_to_vcard_file(&stored.record, first, 0), 1);
    ASSERT_EQ(contact_convert_contact_to_vcard_file(&stored.record, second, 0), 1);
    EXPECT_STRNE(first, second);

    // A failed call leaves the buffer alone.
    char untouched[CONTACT_VCARD_PATH_MAX] = "untouched";
    const Outcome outcome = run([&] { return contact_convert_contact_to_vcard_file(&stored.record, untouched, 7); });
    EXPECT_EQ(outcome.errors, std::vector<std::string>{kToFileFailed});
    EXPECT_STREQ(untouched, "untouched");
    const Outcome tmp = run([&] { return contact_convert_contact_to_vcard_file_tmp(&stored.record, untouched, 7); });
    EXPECT_EQ(tmp.errors, std::vector<std::string>{kToTmpFailed});
}

TEST_F(VCardTest, TemporaryFilesOfAnEarlierRunAreRemovedAtStart)
{
    SampleContact sample("Short Lived");
    char path[CONTACT_VCARD_PATH_MAX];
    ASSERT_EQ(contact_convert_contact_to_vcard_file_tmp(&sample.record, path, 0), 1);
    char kept[CONTACT_VCARD_PATH_MAX];
    ASSERT_EQ(contact_convert_contact_to_vcard_file(&sample.record, kept, 0), 1);
    ASSERT_TRUE(fs::exists(path));
    restart_service();
    EXPECT_FALSE(fs::exists(path));
    EXPECT_TRUE(fs::exists(kept)) << "only temporary files go";
}

TEST_F(VCardTest, AFixedPartThatIsNotOneIsRefusedWithItsCode)
{
    EXPECT_TRUE(has_code(service_error("contact_convert_contact_to_vcard", Bytes(100), 0), contact_engine::kMalformedRecord));
    EXPECT_TRUE(has_code(service_error("contact_convert_contact_to_vcard_file", Bytes(contact_wire::kFixedSize + 4), 0),
                         contact_engine::kMalformedRecord));
    Bytes bad_text(contact_wire::kFixedSize, 0);
    std::memset(bad_text.data() + contact_wire::offset::display_name, 0xff, 4);
    EXPECT_TRUE(has_code(service_error("contact_convert_contact_to_vcard", bad_text, 0), contact_engine::kInvalidUtf8));
    EXPECT_EQ(stored_contacts(), 0);
}

// ---- vCard to contact ------------------------------------------------------------

TEST_F(VCardTest, MalformedInputGetsItsCodeStoresNothingAndTheServiceStaysUp)
{
    struct Case {
        const char *what;
        std::string text;
        contact_engine::ErrorCode code;
    };
    const std::vector<Case> cases{
        {"empty", "", contact_engine::kVCardSyntax},
        {"no END", "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Open\r\n", contact_engine::kVCardSyntax},
        {"nothing but bad BASE64", "BEGIN:VCARD\r\nVERSION:3.0\r\nPHOTO;ENCODING=b;TYPE=JPEG:@@@@!!\r\nEND:VCARD\r\n",
         contact_engine::kVCardBadEncoding},
        {"nothing but an unknown charset", "BEGIN:VCARD\r\nVERSION:2.1\r\nFN;CHARSET=X-NO-SUCH-SET;ENCODING=QUOTED-PRINTABLE:N=E4me\r\nEND:VCARD\r\n",
         contact_engine::kVCardUnknownCharset},
        {"version 5", "BEGIN:VCARD\r\nVERSION:5.0\r\nFN:Future\r\nEND:VCARD\r\n",
         contact_engine::kVCardUnsupportedVersion},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        contact_t got{};
        set_text(got.display_name, "untouched");
        const Outcome outcome = run([&] { return contact_convert_vcard_to_contact(c.text.c_str(), &got); });
        EXPECT_EQ(outcome.result, 0);
        EXPECT_EQ(outcome.errors, std::vector<std::string>{kTextToContactFailed});
        EXPECT_EQ(TEXT(got, display_name), "untouched");
        const std::string message = service_error("contact_convert_vcard_to_contact", c.text);
        EXPECT_TRUE(has_code(message, c.code)) << message;

        const std::string path = dir_.path() + "/bad.vcf";
        write_file(path, c.text);
        const Outcome from_file = run([&] { return contact_convert_vcard_file_to_contact(path.c_str(), &got); });
        EXPECT_EQ(from_file.errors, std::vector<std::string>{kFileToContactFailed});
        EXPECT_TRUE(has_code(service_error("contact_convert_vcard_file_to_contact", path), c.code));
    }

    // Files that cannot be read: missing, relative, a directory, a FIFO.
    contact_t got{};
    const std::string fifo = dir_.path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    for (const std::string &path : {dir_.path() + "/missing.vcf", std::string("relative.vcf"), dir_.path(), fifo}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(contact_convert_vcard_file_to_contact(path.c_str(), &got), 0);
        EXPECT_TRUE(has_code(service_error("contact_convert_vcard_file_to_contact", path),
                             contact_engine::kVCardUnreadable));
    }

    EXPECT_EQ(stored_contacts(), 0);
    EXPECT_EQ(contact_convert_vcard_to_contact("BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Still Here\r\nEND:VCARD\r\n", &got), 1);
    EXPECT_EQ(TEXT(got, display_name), "Still Here");
    // A card with something readable left is converted without the rest.
    EXPECT_EQ(contact_convert_vcard_to_contact("BEGIN:VCARD\r\nVERSION:3.0\r\nFN:P\r\nTEL:1\r\n"
                                               "PHOTO;ENCODING=b;TYPE=JPEG:@@@@!!\r\nEND:VCARD\r\n",
                                               &got),
              1);
    EXPECT_EQ(TEXT(got, display_name), "P");
    EXPECT_EQ(got.phone_info_cnt, 1);
    // Of several cards, the first is taken.
    ASSERT_EQ(contact_convert_vcard_to_contact("BEGIN:VCARD\nVERSION:3.0\nFN:First\nEND:VCARD\n"
                                               "BEGIN:VCARD\nVERSION:3.0\nFN:Second\nEND:VCARD\n", &got), 1);
    EXPECT_EQ(TEXT(got, display_name), "First");
}

// ---- files of another user ---------------------------------------------------------

// Runs the command-line tool as `nobody`: a real client with that user's
// identity on the bus.  Returns its exit status and output, or sets `skip`.
struct AsNobody {
    int status = -1;
    std::string output;
    std::string skip;
};
constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;
constexpr int kCannotRun = 77;

AsNobody run_tool_as_nobody(const std::vector<std::string> &arguments)
{
    AsNobody result;
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) {
        result.skip = "pipe failed";
        return result;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipe_fds[1], STDOUT_FILENO);
        dup2(pipe_fds[1], STDERR_FILENO);
        close(pipe_fds[0]);
        if (setgroups(0, nullptr) != 0 || setgid(kNogroup) != 0 || setuid(kNobody) != 0)
            _exit(kCannotRun);
        std::vector<std::string> argv{CONTACT_ENGINE_TOOL_PATH};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        std::vector<char *> args;
        for (std::string &argument : argv)
            args.push_back(argument.data());
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(kCannotRun); // the tool is out of nobody's reach
    }
    close(pipe_fds[1]);
    char buffer[512];
    ssize_t got;
    while ((got = read(pipe_fds[0], buffer, sizeof buffer)) > 0)
        result.output.append(buffer, std::size_t(got));
    close(pipe_fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    // 127: the loader could not reach the library.
    if (result.status == kCannotRun || result.status == 127)
        result.skip = "nobody cannot run " CONTACT_ENGINE_TOOL_PATH
                      " (the build directory or its libraries are out of nobody's reach): " + result.output;
    return result;
}

class VCardIdentityTest : public VCardTest {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "becoming nobody needs root";
        VCardTest::SetUp();
        // nobody reaches the bus socket and the test's files.
        const std::string address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
        const std::string socket = address.substr(address.find('=') + 1);
        chmod(fs::path(socket).parent_path().c_str(), 0711);
        chmod(dir_.path().c_str(), 0755);
        fs::create_directories(vcard_dir());
        chmod(vcard_dir().c_str(), 0755);
    }
};

TEST_F(VCardIdentityTest, AFileOnlyRootCanReadIsRefusedToNobody)
{
    const std::string card = "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Secret Person\r\nEND:VCARD\r\n";
    const std::string secret = dir_.path() + "/secret.vcf";
    const std::string open = dir_.path() + "/open.vcf";
    write_file(secret, card, 0600);
    write_file(open, "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Open Person\r\nEND:VCARD\r\n", 0644);
    // A link nobody could make in a shared directory, to the secret file.
    const std::string shared = dir_.path() + "/shared";
    fs::create_directory(shared);
    chmod(shared.c_str(), 01777);
    const std::string link = shared + "/link.vcf";
    fs::create_symlink(secret, link);

    // The client nobody reads its own kind of file through the service ...
    const AsNobody readable = run_tool_as_nobody({"vcard", "import", open});
    if (!readable.skip.empty())
        GTEST_SKIP() << readable.skip;
    EXPECT_EQ(readable.status, 0) << readable.output;
    EXPECT_NE(readable.output.find("Open Person"), std::string::npos) << readable.output;

    // ... but not root's, directly or through a link.
    for (const std::string &path : {secret, link}) {
        SCOPED_TRACE(path);
        const AsNobody refused = run_tool_as_nobody({"vcard", "import", path});
        EXPECT_EQ(refused.status, 1) << refused.output;
        EXPECT_EQ(refused.output.find("Secret Person"), std::string::npos) << refused.output;
    }

    // Root itself reads it: the refusal was nobody's identity.
    contact_t got{};
    ASSERT_EQ(contact_convert_vcard_file_to_contact(secret.c_str(), &got), 1);
    EXPECT_EQ(TEXT(got, display_name), "Secret Person");
    EXPECT_EQ(stored_contacts(), 0);
}

// ---- short replies, long paths and the payload, against a responder ----------------

class VCardReplyTest : public ResponderTest {
protected:
    void register_methods() override
    {
        const char *interface = CONTACT_ENGINE_INTERFACE;
        // The text names the length of the reply.
        const auto record_of_length = [](const std::string &length) {
            Bytes record(std::size_t(std::stoul(length)), 0);
            if (record.size() >= contact_wire::kFixedSize) {
                std::strcpy(reinterpret_cast<char *>(record.data() + contact_wire::offset::display_name), "Replied");
                contact_wire::write_i32(record.data(), contact_wire::offset::phone_info_cnt, 3);
                contact_wire::write_i32(record.data(), contact_wire::offset::phone_info, 0x1234);
            }
            return record;
        };
        object_->registerMethod("contact_convert_vcard_to_contact").onInterface(interface).implementedAs(record_of_length);
        object_->registerMethod("contact_convert_vcard_file_to_contact").onInterface(interface).implementedAs(record_of_length);
        // convert_param names the length of the path.
        const auto path_of_length = [this](const Bytes &record, int length) {
            received_ = record.size();
            return std::string("/") + std::string(std::size_t(length - 1), 'p');
        };
        object_->registerMethod("contact_convert_contact_to_vcard_file").onInterface(interface).implementedAs(path_of_length);
        object_->registerMethod("contact_convert_contact_to_vcard_file_tmp").onInterface(interface).implementedAs(path_of_length);
        object_->registerMethod("contact_convert_contact_to_vcard")
            .onInterface(interface)
            .implementedAs([this](const Bytes &record, int) {
                received_ = record.size();
                return std::string("BEGIN:VCARD\r\nEND:VCARD\r\n");
            });
    }

    std::size_t received_ = 0;
};

TEST_F(VCardReplyTest, TheFirst4480BytesBecomeTheFixedPartAndNothingIsAllocated)
{
    for (const char *length : {"4480", "9000"}) {
        SCOPED_TRACE(length);
        contact_t got{};
        ASSERT_EQ(contact_convert_vcard_to_contact(length, &got), 1);
        EXPECT_EQ(TEXT(got, display_name), "Replied");
        EXPECT_EQ(got.phone_info_cnt, 3);
        EXPECT_EQ(got.phone_info, nullptr) << "the service's pointer value is never an address here";
        contact_t from_file{};
        ASSERT_EQ(contact_convert_vcard_file_to_contact(length, &from_file), 1);
        EXPECT_EQ(TEXT(from_file, display_name), "Replied");
    }
}

TEST_F(VCardReplyTest, OnlyTheFixedPartIsSentWhateverTheSections)
{
    SampleContact sample("Sections Stay Home");
    sample.everything();
    char *text = nullptr;
    ASSERT_EQ(contact_convert_contact_to_vcard(&sample.record, &text, 0), 1);
    EXPECT_EQ(received_, contact_wire::kFixedSize);
    EXPECT_STREQ(text, "BEGIN:VCARD\r\nEND:VCARD\r\n");
    EXPECT_EQ(contact_free_vcard(text), 1);
    char path[CONTACT_VCARD_PATH_MAX];
    for (auto convert : {contact_convert_contact_to_vcard_file, contact_convert_contact_to_vcard_file_tmp}) {
        received_ = 0;
        ASSERT_EQ(convert(&sample.record, path, 20), 1);
        EXPECT_EQ(received_, contact_wire::kFixedSize);
    }
    // A caller without a place for the text: the text is released, no crash.
    EXPECT_EQ(contact_convert_contact_to_vcard(&sample.record, nullptr, 0), 1);
}

TEST_F(VCardReplyTest, PathsAreCopiedAsStrncpyWithin300Bytes)
{
    SampleContact sample("Path");
    for (auto convert : {contact_convert_contact_to_vcard_file, contact_convert_contact_to_vcard_file_tmp}) {
        char path[CONTACT_VCARD_PATH_MAX];
        std::memset(path, 'x', sizeof path);
        ASSERT_EQ(convert(&sample.record, path, 20), 1);
        EXPECT_EQ(std::string(path, 20), "/" + std::string(19, 'p'));
        for (std::size_t i = 20; i < sizeof path; ++i)
            ASSERT_EQ(path[i], '\0') << i;

        ASSERT_EQ(convert(&sample.record, path, 299), 1);
        EXPECT_EQ(strnlen(path, sizeof path), 299u);

        // 300 bytes or more would leave no terminator: refused, untouched.
        for (int length : {300, 301, 4000}) {
            SCOPED_TRACE(length);
            char kept[CONTACT_VCARD_PATH_MAX] = "kept";
            const Outcome outcome = run([&] { return convert(&sample.record, kept, length); });
            EXPECT_EQ(outcome.result, 0);
            ASSERT_EQ(outcome.errors.size(), 1u);
            EXPECT_NE(outcome.errors[0].find("does not fit the 300-byte full_file_path"), std::string::npos);
            EXPECT_STREQ(kept, "kept");
        }
    }
}

} // namespace
} // namespace contact_test
