// The service's vCard reader without a bus: the samples of tests/data/vcard
// (standard and real-world exports) and malformed cards. (vcard-conversion-test writes the full record
// in each version's forms and reads it back through the service; the
// harnesses of fuzz/ replay their corpus for crashes and hangs; bulk-test
// resumes by offset.)
#include <gmock/gmock.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "core/contact-engine-errors.h"
#include "core/service-error.h"
#include "vcard/vcard-fields.h"
#include "vcard/vcard-reader.h"

namespace {

using namespace contact_engine;
namespace fields = contact_engine::vcard_fields;
using ::testing::ElementsAre, ::testing::HasSubstr;

std::string sample(const std::string &name)
{
    std::ostringstream text;
    text << std::ifstream(std::string(VCARD_DATA_DIR) + "/" + name, std::ios::binary).rdbuf();
    return text.str();
}

// The code of the ServiceError that `action` throws, or kOk.
template <class Action> ErrorCode code_of(Action action, std::string *reason = nullptr)
{
    try {
        action();
    } catch (const ServiceError &error) {
        if (reason != nullptr)
            *reason = error.reason;
        return error.code;
    }
    return kOk;
}

// Each element section: the tag its elements print with, and their ints
// (width 0) and texts at their offsets, in the order they print.
struct Layout {
    const char *tag;
    std::size_t section, size;
    std::vector<std::pair<std::size_t, std::size_t>> fields;
};
const std::vector<Layout> kLayouts = [] {
    std::vector<std::pair<std::size_t, std::size_t>> address{{0, 0}};
    for (const auto &component : fields::kAddressComponents)
        address.emplace_back(component.offset, component.width);
    return std::vector<Layout>{{"TEL", kPhoneSection, contact_wire::kPhoneInfoSize, {{0, 0}, {4, 48}, {52, 0}}},
                               {"EMAIL", kEmailSection, contact_wire::kEmailInfoSize, {{0, 0}, {8, 128}, {4, 0}}},
                               {"ADR", fields::kPostalSection, contact_wire::kPostalInfoSize, address},
                               {"IM", kImSection, contact_wire::kImSize, {{0, 0}, {4, 0}, {8, 32}, {40, 104}}},
                               {"SNS", fields::kSnsSection, contact_wire::kSnsSize, {{0, 0}, {4, 32}, {36, 104}}}};
}();

// The elements of a section, each as its values joined by ':'.
std::vector<std::string> elements(const Record &record, const Layout &layout)
{
    std::vector<std::string> result;
    const Bytes bytes = record.section(layout.section);
    for (std::size_t at = 0; at < bytes.size(); at += layout.size) {
        std::string element;
        for (const auto &[offset, width] : layout.fields) {
            const char *text = reinterpret_cast<const char *>(bytes.data() + at + offset);
            element += (offset == 0 ? "" : ":") + (width == 0 ? std::to_string(contact_wire::read_i32(bytes.data() + at, offset))
                                                              : std::string(text, strnlen(text, width)));
        }
        result.push_back(element);
    }
    return result;
}

// Every text field, in the order a digest names them.
const TextField kTextFields[] = {
    text_field::first_name, text_field::last_name, text_field::middle_name, fields::name_prefix, fields::name_suffix,
    text_field::birthday, fields::anniversary, text_field::display_name, text_field::nickname, text_field::company,
    text_field::job_title, text_field::department, text_field::ringtone_path, text_field::photo_path,
    text_field::website, fields::phonetic_first_name, fields::phonetic_last_name, text_field::message_tone_path,
    fields::account_name, fields::source_uid, fields::custom_label};

// A record as one line: every text set, each element and the note.
std::string digest(const Record &record)
{
    std::ostringstream out;
    for (const TextField &field : kTextFields)
        if (!record.text(field).empty())
            out << field.name << "=" << record.text(field) << "|";
    for (const Layout &layout : kLayouts)
        for (const std::string &element : elements(record, layout))
            out << layout.tag << " " << element << "|";
    if (!record.note().empty())
        out << "NOTE " << record.note() << "|";
    return out.str();
}

// A card's digest with its photo's size and type.
std::string digest(const ImportedContact &contact)
{
    return digest(contact.record) +
           (contact.photo.empty() ? "" : "PHOTO " + std::to_string(contact.photo.size()) + " " + contact.photo_media_type);
}

// ---------------------------------------------------------------------------
// Real-world samples

// Each card of the samples as `digest` writes it (element types: 0 home,
// 1 work, 2 mobile, 3 fax, 4 other): folded lines and LF line ends, groups
// and labels, PREF=2 not primary, a year-less birthday left out, photos in
// BASE64 and a data URI. (Charsets, soft breaks, blank lines and broken
// values: the real-world cards below, each with its count of dropped and
// repaired values.)
const std::vector<std::pair<const char *, std::vector<std::string>>> kSamples = {
    {"android-2.1.vcf", {
        "first_name=José|last_name=Ortiz|middle_name=Luis|birthday=1980-02-29|display_name=José Luis Ortiz|"
        "company=Empresa S.A.|job_title=Ingeniero|phonetic_first_name=Hoseh|TEL 2:+34 600 111 222:0|"
        "TEL 0:+34 91 555 1234:0|TEL 3:+34 91 555 9999:0|EMAIL 0:jose@example.es:0|"
        "EMAIL 1:jl.ortiz@empresa.example:1|ADR 0:::Calle de Alcalá 12:Madrid::28014:España|"
        "IM 0:0:Jabber:jose@jabber.example|PHOTO 768 image/jpeg",
    }},
    {"iphone-3.0.vcf", {
        "first_name=Johnny|last_name=Appleseed|name_prefix=Mr.|birthday=1976-04-01|"
        "display_name=Mr. Johnny Appleseed|company=Apple Inc.|job_title=Engineer|department=Engineering|"
        "TEL 2:+1 (408) 555-0101:1|TEL 0:+1 408 555 0102:0|TEL 3:+1 408 555 0103:0|EMAIL 0:johnny@example.com:1|"
        "EMAIL 1:jappleseed@apple.example:0|ADR 0:::1 Infinite Loop:Cupertino:CA:95014:United States|"
        "IM 0:0:Skype:johnny.apple|SNS 0:twitter:johnnyapple|"
        "NOTE Remember: the meeting, room 4; bring slides\nSecond line|PHOTO 768 image/jpeg",
    }},
    {"rfc6350-4.0.vcf", {
        "first_name=Simon|last_name=Perreault|name_suffix=ing. jr,M.Sc.|anniversary=08-08|"
        "display_name=Simon Perreault|company=Viagenie|website=http://nomis80.org|"
        "TEL 1:+1-418-656-9254;ext=102:1|TEL 2:+1-418-262-6501:0|EMAIL 1:simon.perreault@viagenie.ca:0|"
        "ADR 1::Suite D2-630:2875 Laurier:Quebec:QC:G1V 2M2:Canada|",
        "first_name=Zoë|last_name=Ünlü|display_name=Zoë Ünlü|TEL 0:+90 212 555 0000:1|EMAIL 4:zoe@example.tr:0|"
        "IM 0:0:Jabber:zoe@jabber.example|NOTE Line one\nLine two, with comma|PHOTO 12 image/png",
    }},
};

TEST(VCardSamples, ReadAsTheirExportersMeantThem)
{
    for (const auto &[file, expected] : kSamples) {
        SCOPED_TRACE(file);
        const std::string text = sample(file);
        VCardReader reader = VCardReader::from_text(text);
        std::vector<std::string> digests;
        while (std::optional<ImportedContact> contact = reader.next_contact())
            digests.push_back(digest(*contact));
        EXPECT_EQ(digests, expected);
        EXPECT_EQ(reader.offset(), text.size());
    }
    std::string photo; // the BASE64 block decodes to bytes 0 to 255, three times
    for (int i = 0; i < 768; ++i)
        photo += char(i % 256);
    EXPECT_TRUE(read_vcard_contact(sample("android-2.1.vcf")).photo == photo);
}

// Cards written after what real exporters write, breaking the standards as
// they do (tests/data/vcard/real-world, see docs/vcard.md): every card keeps
// its name and numbers ("name|number|...", then what was dropped or repaired;
// a refused card gives its reason).
TEST(VCardSamples, RealWorldExportsKeepTheirNamesAndNumbers)
{
    const std::pair<const char *, std::vector<std::string>> files[] = {
        {"samsung-blank-lines-2.1.vcf", {"Min\xEC\xA4\x80 Kim|010-1234-5678|02-555-0100", "Ji-woo Park|010-9876-5432"}},
        {"android-broken-values-2.1.vcf",
         {"J\xC3\xBCrgen M\xC3\xBCller|+49 151 2345678|+49 30 1234567|dropped 1",
          "Anna Rossi|+39 347 1234567|dropped 2", "Pizza Roma|0612345678"}},
        {"iphone-grouped-3.0.vcf",
         {"Johnny Appleseed|+1 (408) 555-0101|(408) 555-0102|(408) 555-0103|408 555 0104",
          "Blue Bottle Coffee|+1 510-555-0199"}},
        {"outlook-2.1.vcf",
         {"L\xC3\xA9" "a Fran\xC3\xA7ois|+33 1 42 14 20 00|+33 6 12 34 56 78", "Bob Smith|(425) 555-0110"}},
        {"featurephone-2.1.vcf",
         {"Erik Andersson|+46701234567|repaired 2", "Karin Lindqvist|+46 70 765 43 21|dropped 1",
          "\xE5\xA4\xAA\xE9\x83\x8E \xE7\x94\xB0\xE4\xB8\xAD|090-1234-5678|repaired 1",
          "Matti Nieminen|+358 40 1234567"}},
        {"google-contacts-3.0.vcf",
         {"Priya Sharma|+91 98765 43210", "Tom\xC3\xA1s Garc\xC3\xAD" "a|+34 612 345 678|repaired 3",
          "ACME Plumbing|+1 555 0142"}},
        {"thunderbird.vcf", {"Helga Schmidt|+49 170 1234567|+49 89 123456", "Olaf Berg|+47 412 34 567"}},
    };
    for (const auto &[file, expected] : files) {
        const std::string text = sample(std::string("real-world/") + file);
        VCardReader reader = VCardReader::from_text(text);
        std::vector<std::string> read;
        for (std::optional<ImportedContact> contact; read.size() <= expected.size();) {
            std::string reason;
            if (code_of([&] { contact = reader.next_contact(); }, &reason) != kOk) {
                read.push_back(reason);
                continue;
            }
            if (!contact)
                break;
            read.push_back(contact->record.text(text_field::display_name));
            for (const std::string &number : contact->record.phone_numbers())
                read.back() += "|" + number;
            read.back() += contact->dropped_properties ? "|dropped " + std::to_string(contact->dropped_properties) : "";
            read.back() += contact->repaired_values ? "|repaired " + std::to_string(contact->repaired_values) : "";
        }
        EXPECT_EQ(read, expected) << file;
    }
}

// ---------------------------------------------------------------------------
// Parameters, escapes and lengths

TEST(VCardReader, UnderstandsParametersEscapesAndWindows1252AndCutsLongTexts)
{
    const std::string tel = "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:x\r\nTEL;TYPE=WORK;TYPE=PREF:1\r\nTEL;TYPE=\"cell,voice\";PREF=1:2\r\n"
                            "tel;type=home,pref:3\r\nTEL;CELL:4\r\nTEL;PREF=50;TYPE=fax:5\r\nTEL:6\r\nEND:VCARD\r\n";
    EXPECT_THAT(elements(read_vcard_contact(tel).record, kLayouts[0]),
                ElementsAre("1:1:1", "2:2:1", "0:3:1", "2:4:0", "3:5:0", "4:6:0"));
    const std::string caret = "BEGIN:VCARD\nVERSION:4.0\nFN:x\nIMPP;X-SERVICE-TYPE=\"Odd ^'name^' ^^ here\":im:me\nEND:VCARD\n";
    EXPECT_THAT(elements(read_vcard_contact(caret).record, kLayouts[3]), ElementsAre("0:0:Odd \"name\" ^ here:me"));
    EXPECT_EQ(unescape_vcard_text("a\\,b\\;c\\nd\\Ne\\\\f\\:g\\x"), "a,b;c\nd\ne\\f:g\\x");
    EXPECT_THAT(split_vcard_components("a\\;b;c\\\\;;d"), ElementsAre("a;b", "c\\", "", "d"));
    std::string name; // 64 bytes: one too many for a 64-byte field with its NUL, cut at a character
    for (int i = 0; i < 30; ++i)
        name += "é";
    name += "xyü";
    const Record record = read_vcard_contact("BEGIN:VCARD\nVERSION:3.0\nN:" + name + "\nEND:VCARD\n").record;
    EXPECT_EQ(record.text(text_field::last_name), name.substr(0, 62));
    // 0x80 is the euro sign in Windows-1252, the reading of 2.1 bytes that are not UTF-8.
    const ImportedContact cafe = read_vcard_contact("BEGIN:VCARD\r\nVERSION:2.1\r\nFN:Caf\xe9 \x80\r\nEND:VCARD\r\n");
    EXPECT_EQ(cafe.record.text(text_field::display_name), "Caf\xC3\xA9 \xE2\x82\xAC");
}

// ---------------------------------------------------------------------------
// Malformed input and the reader's bounds: a coded error, nothing produced,
// the next card still read

TEST(VCardReader, RefusesMalformedCardsWithTheirCodeAndGoesOnWithTheNextCard)
{
    const auto repeated = [](std::string_view text, std::size_t times) {
        std::string result;
        for (std::size_t i = 0; i < times; ++i)
            result += text;
        return result;
    };
    const auto card = [](const char *version, const std::string &lines) {
        return "BEGIN:VCARD\r\nVERSION:" + std::string(version) + "\r\n" + lines + "END:VCARD\r\n";
    };
    const struct {
        const char *name;
        std::string card;
        ErrorCode code;
        const char *reason;
    } cards[] = {
        {"BadBase64", card("3.0", "PHOTO;ENCODING=b:AAAA#AAA\r\n"), kVCardBadEncoding, "line 3: the BASE64 value of PHOTO is broken"},
        {"TruncatedBase64", card("2.1", "PHOTO;BASE64:AAAAA\r\n\r\n"), kVCardBadEncoding, "ends in the middle of a byte"},
        {"BadQuotedPrintable", card("2.1", "N;QUOTED-PRINTABLE:M=FCller=ZZ\r\n"), kVCardBadEncoding, "broken escape"},
        {"UnknownCharset", card("2.1", "N;CHARSET=KLINGON-8:Q\xe4pla'\r\n"), kVCardUnknownCharset, "CHARSET=KLINGON-8 of N is not known"},
        {"InvalidInCharset", card("2.1", "N;CHARSET=UTF-8:\xff\xfe\r\n"), kInvalidUtf8, "not valid UTF-8"},
        {"NoColon", card("3.0", "this is no property\r\n"), kVCardSyntax, "is not a property"},
        {"UnknownVersion", card("5.0", "FN:x\r\n"), kVCardUnsupportedVersion, "VERSION:5.0"},
        {"NoEndBeforeNextCard", "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Lost\r\n", kVCardSyntax,
         "line 1: the card has no END:VCARD before the next BEGIN:VCARD"},
        {"OverThePropertyBound", card("3.0", repeated("X:\r\n", limits::kVCardMaxProperties)), kVCardTooLarge,
         "the card has more than 5000 properties"},
        {"OverTheParameterBound", card("3.0", "TEL" + repeated(";type=x", limits::kVCardMaxParameters + 1) + ":1\r\n"),
         kVCardTooLarge, "line 3: the property TEL has more than 20 parameters"},
        {"NothingReadableInCharset", card("2.1", "N;CHARSET=SHIFT_JIS:\x81\x20\r\n"), kVCardBadEncoding,
         "line 3: the value of N is not valid SHIFT_JIS"}};
    for (const auto &bad : cards) {
        SCOPED_TRACE(bad.name);
        const std::string text = bad.card + card("3.0", "FN:After\r\n");
        VCardReader reader = VCardReader::from_text(text);
        std::string reason;
        EXPECT_EQ(code_of([&] { reader.next_contact(); }, &reason), bad.code);
        EXPECT_THAT(reason, HasSubstr(bad.reason));
        EXPECT_EQ(reader.offset(), bad.card.size()) << "skipped exactly the broken card";
        std::optional<ImportedContact> next = reader.next_contact();
        ASSERT_TRUE(next);
        EXPECT_EQ(next->record.text(text_field::display_name), "After");
        EXPECT_FALSE(reader.next_contact());
    }
// A card without END at the end of the input, and no card at all.
    VCardReader reader = VCardReader::from_text("BEGIN:VCARD\nVERSION:3.0\nFN:Cut off\nTEL:1");
    std::string reason;
    EXPECT_EQ(code_of([&] { reader.next_contact(); }, &reason), kVCardSyntax);
    EXPECT_EQ(reason, "line 1: the card has no END:VCARD");
    EXPECT_FALSE(reader.next_contact());
    EXPECT_EQ(code_of([] { read_vcard_contact("no card here\n"); }), kVCardSyntax);
}

// A file in /tmp, removed with the object.
struct TempFile {
    TempFile() { close(mkstemp(path)); }
    ~TempFile() { std::remove(path); }
    char path[32] = "/tmp/vcard-test-XXXXXX";
};

TEST(VCardReader, RefusesA50MegabyteLineAndGoesOnWithTheNextCard)
{
    TempFile file;
    std::ofstream(file.path, std::ios::binary) << "BEGIN:VCARD\r\nVERSION:3.0\r\nNOTE:" << std::string(50 << 20, 'x')
                                               << "\r\nEND:VCARD\r\nBEGIN:VCARD\r\nVERSION:3.0\r\nFN:After\r\nEND:VCARD\r\n";
    VCardReader reader = VCardReader::from_file(file.path);
    std::string reason;
    EXPECT_EQ(code_of([&] { reader.next_contact(); }, &reason), kVCardTooLarge);
    EXPECT_EQ(reason, "line 3: a line longer than 8 MiB");
    std::optional<ImportedContact> next = reader.next_contact();
    ASSERT_TRUE(next);
    EXPECT_EQ(next->record.text(text_field::display_name), "After");
}

} // namespace
