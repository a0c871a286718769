// The six vCard operations end to end: the library over the private bus and
// the real service, and the library alone against a responder (how it copies
// a path back).
#include <sdbus-c++/sdbus-c++.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "contact-engine-wire.h"
#include "contacts/contact-record.h"
#include "core/contact-engine-errors.h"
#include "responder.h"
#include "sample-contact.h"
#include "test-support.h"
#include "vcard/vcard-reader.h"

namespace contact_test {
namespace {

namespace fs = std::filesystem;
using namespace contact_engine;

const std::string kTag = "\n[DodazorEdidud]%s %d: ";
const std::string kFailed = kTag + "org_yora_contact_contact_convert_";

// A call's result and the formats of the errors and traces it logged.
struct Outcome {
    int result;
    std::vector<std::string> errors, traces;
};
template <class Call> Outcome run(Call call)
{
    LogCapture log;
    Outcome outcome{call(), log.error_formats(), {}};
    for (const LogEntry &entry : log.traces())
        outcome.traces.push_back(entry.format);
    return outcome;
}

// Whether a call made without the library, which hides the code, fails with `code` ("80: ...").
template <class... Args> ::testing::AssertionResult service_refuses(ErrorCode code, const char *method, Args... args)
{
    auto proxy = sdbus::createProxy(CONTACT_ENGINE_BUS_NAME, CONTACT_ENGINE_OBJECT_PATH);
    std::string message = "(no error)";
    try {
        proxy->callMethod(method).onInterface(CONTACT_ENGINE_INTERFACE).withArguments(args...);
    } catch (const sdbus::Error &error) {
        message = error.getMessage();
    }
    if (message.rfind(std::to_string(int(code)) + ": ", 0) == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << method << ": " << message;
}

// A contact with every field the record holds, sections included, in values
// that need every escape: separators, backslashes, line feeds, non-ASCII, a
// text long enough to fold inside a character.
void fill_every_field(SampleContact &c)
{
    c.everything().phone("*31#0800,123;456", CONTACT_TYPE_WORK).email("\"odd,name\"@example.org");
    c.postal("29 bd Haussmann;\nCour, B", "Île-de-France");
    c.note("Première ligne\nsecond; with, separators \\ and\ta tab");
    contact_t &r = c.record;
    set_text(r.display_name, "Ada King; Countess of Lovelace, \\ FRS — 日本語の名前も折り返す長い名前");
    set_text(r.name_prefix, "Lady"), set_text(r.name_suffix, "FRS"), set_text(r.company, "Société Générale; Paris");
    set_text(r.anniversary, "07-08"), set_text(r.department, "R&D, Bâtiment B"), set_text(r.phonetic_first_name, "エイダ");
    set_text(r.phonetic_last_name, "luv-lace"), set_text(r.message_tone_path, "/opt/sounds/ping.ogg");
    set_text(r.account_name, "Google: ada@example.org"), set_text(r.source_uid, "uid-1815");
    set_text(r.custom_label, "Famille\nproche");
    r.frequency = 4, r.modified_time = 1700000100, r.last_call_time = 1700000200, r.presence_status = 3;
    r.is_blocked = r.is_hidden = 1, r.revision = 9;
}

// Every field the fixed part carries, compared by name.
void expect_same_fixed_fields(const contact_t &got, const contact_t &want)
{
#define SAME(field) EXPECT_EQ(std::memcmp(&got.field, &want.field, sizeof got.field), 0) << #field;
    SAME(first_name) SAME(last_name) SAME(name_prefix) SAME(name_suffix) SAME(birthday) SAME(anniversary) SAME(nickname)
    SAME(display_name) SAME(company) SAME(job_title) SAME(department) SAME(ringtone_path) SAME(photo_path) SAME(website)
    SAME(phonetic_first_name) SAME(phonetic_last_name) SAME(middle_name) SAME(message_tone_path) SAME(account_name)
    SAME(source_uid) SAME(custom_label) SAME(frequency) SAME(is_favourite) SAME(created_time) SAME(modified_time)
    SAME(last_call_time) SAME(presence_status) SAME(is_blocked) SAME(is_hidden) SAME(revision) SAME(phone_info_cnt)
    SAME(email_info_cnt) SAME(postal_info_cnt) SAME(note_len) SAME(about_len) SAME(sns_cnt) SAME(im_cnt)
    SAME(presence_text_len)
#undef SAME
}

// The sections of a card as the service's reader makes them, against the
// sections of a contact the library unpacked.
void expect_same_sections(const Record &card, const contact_t &want)
{
    const void *sections[] = {want.phone_info, want.email_info, want.postal_info, want.note,
                              want.about,      want.sns,        want.im,          want.presence_text};
    for (std::size_t which = 0; which < contact_wire::kSections.size(); ++which) {
        SCOPED_TRACE(contact_wire::kSections[which].name);
        const Bytes got = card.section(which);
        const std::size_t bytes = contact_wire::section_bytes(contact_wire::kSections[which], card.count(which));
        ASSERT_EQ(got.size(), bytes);
        EXPECT_TRUE(bytes == 0 || std::memcmp(got.data(), sections[which], bytes) == 0);
    }
    ASSERT_NE(want.contact_id_data, nullptr);
    const Bytes &all = card.bytes();
    ASSERT_GE(all.size(), contact_wire::kFixedSize + contact_wire::kIdDataSize);
    EXPECT_EQ(std::memcmp(all.data() + all.size() - contact_wire::kIdDataSize, want.contact_id_data, contact_wire::kIdDataSize), 0);
}

class VCardTest : public ServiceTest {
protected:
    std::string to_vcard(const contact_t &record, int param = CONTACT_VCARD_DEFAULT)
    {
        char *text = nullptr;
        EXPECT_EQ(contact_convert_contact_to_vcard(&record, &text, param), 1);
        std::string copy = text != nullptr ? text : "";
        EXPECT_EQ(contact_free_vcard(text), 1);
        return copy;
    }
};

// One row per message shape (the other arguments' NULL checks are the frame's
// shared ones), the connection last; the two conversions to a contact trace
// their begin before the checks.
TEST_F(VCardTest, PreconditionsLogTheirMessageAndReturnZero)
{
    contact_t record{};
    char *text = nullptr;
    const struct {
        std::function<int()> call;
        std::string message;
        bool begins = false;
    } cases[] = {
        {[&] { return contact_convert_contact_to_vcard(nullptr, &text, 0); }, kTag + "The pContact is NULL.\n"},
        {[&] { return contact_convert_vcard_to_contact(nullptr, nullptr); }, kTag + "The pObject is NULL.\n", true},
        // The last row without a connection.
        {[&] { return contact_convert_vcard_to_contact("x", &record); },
         kTag + "The dbus connection hasn't been opened.\n", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        if (&c == std::end(cases) - 1) {
            ASSERT_EQ(contact_finalize(nullptr), 1);
        }
        const Outcome outcome = run(c.call);
        EXPECT_EQ(outcome.result, 0);
        EXPECT_EQ(outcome.errors, std::vector<std::string>{c.message});
        EXPECT_EQ(outcome.traces, c.begins ? std::vector<std::string>{"\n[DodazorEdidud]%s:  begin.\n"} : std::vector<std::string>{});
    }
    ASSERT_EQ(contact_initialize(nullptr), 1);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(contact_free_vcard(nullptr), 1);
}

// ---- contact to vCard ------------------------------------------------------------

// The full record in each version, in that version's forms, and back through
// the service: every field of the fixed part, and the sections the text
// carries read by the service's own reader; lines end in CRLF and (but in
// 2.1) fold within 75 bytes. A record that addresses a stored contact (also
// through an alias) is written with the stored sections, one that addresses
// nothing without. A convert_param of no version is refused (the default is
// 3.0). The file variants write in the caller's own directory, a file of the
// caller's, a new name each time; a failed call leaves the caller's buffer
// alone; temporary files of an earlier run are removed at start.
TEST_F(VCardTest, EveryFieldSurvivesTheConversionsAndTheFilesAreTheCallers)
{
    SampleContact sample;
    fill_every_field(sample);
    int index = 0;
    ASSERT_EQ(contact_add_contact(CONTACT_STORAGE_PHONE, &sample.record, &index, &error_code_), 1) << error_code_;
    ReceivedContact stored;
    ASSERT_EQ(contact_get_contact(CONTACT_STORAGE_PHONE, index, &stored.record, &error_code_), 1);
    // Each version's own forms of types, preference, encodings and dates.
    const std::string tel = ":+44 20 7946 0000\r\n", qp = ";ENCODING=QUOTED-PRINTABLE;CHARSET=UTF-8:";
    const struct {
        int param;
        std::vector<std::string> forms;
    } versions[] = {
        {CONTACT_VCARD_21, {"\r\nVERSION:2.1\r\n", "TEL;CELL;PREF" + tel, "FN" + qp}},
        {CONTACT_VCARD_30, {"\r\nVERSION:3.0\r\n", "TEL;TYPE=CELL;TYPE=PREF" + tel, "BDAY:1815-12-10\r\n"}},
        {CONTACT_VCARD_40,
         {"\r\nVERSION:4.0\r\n", "TEL;TYPE=cell;PREF=1" + tel, "BDAY:18151210\r\n", "ANNIVERSARY:--0708\r\n"}},
        {CONTACT_VCARD_DEFAULT, {"\r\nVERSION:3.0\r\n"}},
    };
    for (const auto &[param, forms] : versions) {
        SCOPED_TRACE(param);
        const std::string text = to_vcard(stored.record, param);
        for (const std::string &form : forms)
            EXPECT_NE(text.find(form), std::string::npos) << form;
        for (std::size_t start = 0, end; start < text.size(); start = end + 2) {
            end = text.find("\r\n", start);
            ASSERT_NE(end, std::string::npos) << "a line without CRLF at byte " << start;
            EXPECT_EQ(text.substr(start, end - start).find('\n'), std::string::npos);
            EXPECT_TRUE(param == CONTACT_VCARD_21 || end - start <= 75u) << text.substr(start, end - start);
        }
        expect_same_sections(read_vcard_contact(text).record, stored.record);
        contact_t back{};
        ASSERT_EQ(contact_convert_vcard_to_contact(text.c_str(), &back), 1);
        expect_same_fixed_fields(back, stored.record);
        EXPECT_EQ(back.phone_info, nullptr) << "no section crosses in this conversion";
    }
    contact_t other = stored.record;
    other.storage_type = CONTACT_STORAGE_PHONE_ALIAS;
    EXPECT_EQ(to_vcard(other), to_vcard(stored.record));
    for (auto [storage, at] : {std::pair{99, index}, {CONTACT_STORAGE_PHONE, index + 1}, {CONTACT_STORAGE_PHONE, -3}}) {
        other.storage_type = storage, other.index = at;
        EXPECT_EQ(to_vcard(other).find("TEL"), std::string::npos) << storage << "/" << at;
    }
    EXPECT_EQ(contact_convert_contact_to_vcard(&stored.record, nullptr, 0), 1) << "no place for the text: released";
    char *text = nullptr;
    const Outcome outcome = run([&] { return contact_convert_contact_to_vcard(&stored.record, &text, 22); });
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.errors, std::vector<std::string>{kFailed + "contact_to_vcard() failed.\n"});
    EXPECT_EQ(text, nullptr) << "a failed call does not write *vcard";
    EXPECT_TRUE(service_refuses(kInvalidArgument, "contact_convert_contact_to_vcard", Bytes(contact_wire::kFixedSize), 22));

    const std::string vcards = dir_.path() + "/vcards";
    const struct {
        int (*convert)(const contact_t *, char *, int);
        std::string directory, failed;
    } variants[] = {{contact_convert_contact_to_vcard_file, vcards, "contact_to_vcard_file() failed.\n"},
                    {contact_convert_contact_to_vcard_file_tmp, vcards + "/tmp", "contact_to_vcard_file_tmp() failed.\n"}};
    std::vector<std::string> paths;
    for (const auto &variant : variants) {
        SCOPED_TRACE(variant.directory);
        char path[CONTACT_VCARD_PATH_MAX], second[CONTACT_VCARD_PATH_MAX];
        std::memset(path, 'x', sizeof path);
        ASSERT_EQ(variant.convert(&stored.record, path, CONTACT_VCARD_40), 1);
        EXPECT_EQ(fs::path(path).parent_path().string(), variant.directory + "/" + std::to_string(getuid()));
        struct stat status {};
        ASSERT_EQ(lstat(path, &status), 0);
        EXPECT_TRUE(S_ISREG(status.st_mode) && status.st_uid == getuid()) << "a file of the caller's";
        std::stringstream written;
        written << std::ifstream(path).rdbuf();
        EXPECT_EQ(written.str(), to_vcard(stored.record, CONTACT_VCARD_40));
        contact_t back{};
        ASSERT_EQ(contact_convert_vcard_file_to_contact(path, &back), 1);
        EXPECT_STREQ(back.display_name, stored.record.display_name);
        ASSERT_EQ(variant.convert(&stored.record, second, 0), 1);
        EXPECT_STRNE(path, second);

        char untouched[CONTACT_VCARD_PATH_MAX] = "untouched";
        const Outcome outcome = run([&] { return variant.convert(&stored.record, untouched, 7); });
        EXPECT_EQ(outcome.errors, std::vector<std::string>{kFailed + variant.failed});
        EXPECT_STREQ(untouched, "untouched");
        paths.push_back(path);
    }
    restart_service();
    EXPECT_TRUE(fs::exists(paths[0])) << "only temporary files are removed at start";
    EXPECT_FALSE(fs::exists(paths[1]));
}

// ---- vCard to contact ------------------------------------------------------------

// The reader's own codes reach the caller of either conversion (vcard-test
// tries each), as do a fixed part that is not one and its text's; the
// service goes on.
TEST_F(VCardTest, MalformedInputGetsItsCodeAndTheServiceStaysUp)
{
    EXPECT_TRUE(service_refuses(kMalformedRecord, "contact_convert_contact_to_vcard", Bytes(100), 0));
    EXPECT_TRUE(service_refuses(kMalformedRecord, "contact_convert_contact_to_vcard_file", Bytes(contact_wire::kFixedSize + 4), 0));
    Bytes bad_text(contact_wire::kFixedSize, 0);
    std::memset(bad_text.data() + contact_wire::offset::display_name, 0xff, 4);
    EXPECT_TRUE(service_refuses(kInvalidUtf8, "contact_convert_contact_to_vcard", bad_text, 0));
    const struct {
        std::string text;
        ErrorCode code;
    } cases[] = {
        {"", kVCardSyntax},
        {"BEGIN:VCARD\r\nVERSION:5.0\r\nFN:Future\r\nEND:VCARD\r\n", kVCardUnsupportedVersion},
    };
    const std::string path = dir_.path() + "/bad.vcf";
    contact_t got{};
    set_text(got.display_name, "untouched");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        const Outcome outcome = run([&] { return contact_convert_vcard_to_contact(c.text.c_str(), &got); });
        EXPECT_EQ(outcome.result, 0);
        EXPECT_EQ(outcome.errors, std::vector<std::string>{kFailed + "vcard_to_contact() failed().\n"});
        EXPECT_STREQ(got.display_name, "untouched");
        EXPECT_TRUE(service_refuses(c.code, "contact_convert_vcard_to_contact", c.text));
        std::ofstream(path, std::ios::binary) << c.text;
        const Outcome from_file = run([&] { return contact_convert_vcard_file_to_contact(path.c_str(), &got); });
        EXPECT_EQ(from_file.errors, std::vector<std::string>{kFailed + "vcard_file_to_contact() failed().\n"});
        EXPECT_TRUE(service_refuses(c.code, "contact_convert_vcard_file_to_contact", path));
    }
    // Files that cannot be read: missing, relative, a directory, a FIFO.
    const std::string fifo = dir_.path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    for (const std::string &unreadable : {dir_.path() + "/missing.vcf", std::string("relative.vcf"), dir_.path(), fifo}) {
        EXPECT_EQ(contact_convert_vcard_file_to_contact(unreadable.c_str(), &got), 0);
        EXPECT_TRUE(service_refuses(kVCardUnreadable, "contact_convert_vcard_file_to_contact", unreadable));
    }
}

// ---- against a responder: how a path is copied back ---------------------------------

class VCardReplyTest : public ResponderTest {
protected:
    void register_methods() override
    {
        // convert_param names the length of the path.
        const auto path_of_length = [](const Bytes &, int length) {
            return "/" + std::string(std::size_t(length - 1), 'p');
        };
        for (const char *name : {"contact_convert_contact_to_vcard_file", "contact_convert_contact_to_vcard_file_tmp"})
            object_->registerMethod(name).onInterface(CONTACT_ENGINE_INTERFACE).implementedAs(path_of_length);
    }
};

// A path is copied as strncpy into the 300 bytes; 300 bytes or more would
// leave no terminator: refused, the buffer untouched. (That only the fixed
// part crosses either way: the service refuses anything else, and
// HostileReplyTest sends fixed parts of random pointers.)
TEST_F(VCardReplyTest, PathsAreCopiedAsStrncpyWithin300Bytes)
{
    SampleContact sample("Path");
    char path[CONTACT_VCARD_PATH_MAX], kept[CONTACT_VCARD_PATH_MAX] = "kept";
    std::memset(path, 'x', sizeof path);
    ASSERT_EQ(contact_convert_contact_to_vcard_file(&sample.record, path, 20), 1);
    EXPECT_EQ(std::string(path, sizeof path), "/" + std::string(19, 'p') + std::string(sizeof path - 20, '\0'));
    ASSERT_EQ(contact_convert_contact_to_vcard_file_tmp(&sample.record, path, 299), 1);
    EXPECT_EQ(strnlen(path, sizeof path), 299u);
    const Outcome outcome = run([&] { return contact_convert_contact_to_vcard_file(&sample.record, kept, 300); });
    EXPECT_EQ(outcome.result, 0);
    ASSERT_EQ(outcome.errors.size(), 1u);
    EXPECT_NE(outcome.errors[0].find("does not fit the 300-byte full_file_path"), std::string::npos);
    EXPECT_STREQ(kept, "kept");
}

} // namespace
} // namespace contact_test
