#include "vcard/vcard-reader.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "core/service-error.h"
#include "vcard/vcard-encodings.h"
#include "vcard/vcard-lines.h"
#include "vcard/vcard-properties.h"
#include "vcard/vcard-text.h"

namespace contact_engine {

using namespace vcard_detail;

// The memory bound of service-limits.h holds only while a property's
// bookkeeping, its parameters included, fits the overhead it allows.
static_assert(sizeof(VCardLine) + sizeof(VCardProperty) +
                  limits::kVCardMaxParameters * sizeof(decltype(VCardProperty::parameters)::value_type) <=
              limits::kVCardPropertyOverhead);

// Gathers one card's lines from the line reader, then turns them into
// properties.
class VCardReader::Input {
public:
    Input(std::unique_ptr<ByteSource> source, std::uint64_t offset) : lines_in_(std::move(source), offset), offset_(offset)
    {
    }

    std::optional<VCard> next_card();
    std::uint64_t offset() const { return offset_; }

private:
    VCardLines lines_in_;
    std::uint64_t offset_;

    // Kept between cards so their memory is reused.
    VCardLine line_;
    std::vector<VCardLine> lines_;
};

std::optional<VCard> VCardReader::Input::next_card()
{
    VCardLine &line = line_;
    do {
        if (!lines_in_.read(line)) {
            offset_ = lines_in_.position();
            return std::nullopt;
        }
    } while (line.too_long || !is_line(line.text, "BEGIN:VCARD"));

    VCard card;
    card.begin_offset = line.start;
    const std::size_t begin_line = line.number;
    std::size_t stored = 0;
    std::optional<ServiceError> error;
    auto note_error = [&error](ErrorCode code, std::size_t at, const std::string &reason) {
        if (!error)
            error = ServiceError{code, "line " + std::to_string(at) + ": " + reason};
    };
    while (true) {
        if (!lines_in_.read(line)) {
            offset_ = lines_in_.position();
            note_error(kVCardSyntax, begin_line, "the card has no END:VCARD");
            throw *error;
        }
        if (line.too_long) {
            note_error(kVCardTooLarge, line.number,
                       "a line longer than " + std::to_string(limits::kVCardMaxLineBytes >> 20) + " MiB");
            continue;
        }
        if (is_line(line.text, "END:VCARD"))
            break;
        if (is_line(line.text, "BEGIN:VCARD")) {
            // The next card starts here; the one before it never ended.
            offset_ = line.start;
            lines_in_.seek(line.start, line.number - 1);
            note_error(kVCardSyntax, begin_line, "the card has no END:VCARD before the next BEGIN:VCARD");
            throw *error;
        }
        // Every byte counts, blank lines too, so no card makes the reader
        // work on without end; past a bound the card is only skipped.
        if (lines_in_.position() - card.begin_offset > limits::kVCardMaxCardBytes)
            note_error(kVCardTooLarge, begin_line,
                       "the card is larger than " + std::to_string(limits::kVCardMaxCardBytes >> 20) + " MiB");
        if (trim(line.text).empty() || error)
            continue;
        if (stored == limits::kVCardMaxProperties) {
            note_error(kVCardTooLarge, line.number,
                       "the card has more than " + std::to_string(limits::kVCardMaxProperties) + " properties");
            continue;
        }
        if (stored == lines_.size())
            lines_.emplace_back();
        std::swap(lines_[stored++], line);
    }
    offset_ = lines_in_.position();
    card.end_offset = offset_;
    if (error)
        throw *error;

    std::string_view version_text;
    for (std::size_t i = 0; i < stored; ++i)
        if (starts_with_ignoring_case(lines_[i].text, "VERSION:"))
            version_text = trim(std::string_view(lines_[i].text).substr(8));
    if (version_text.empty() || version_text == "2.1")
        card.version = VCardVersion::V21;
    else if (version_text == "3.0")
        card.version = VCardVersion::V30;
    else if (version_text == "4.0")
        card.version = VCardVersion::V40;
    else
        fail_at(kVCardUnsupportedVersion, begin_line, "VERSION:" + std::string(version_text) + " is not 2.1, 3.0 or 4.0");

    card.properties.resize(stored);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < stored; ++i) {
        VCardProperty &property = card.properties[kept];
        try {
            parse_property(lines_[i].text, lines_[i].number, card.version, property);
            if (decode_value(property, lines_[i].number, card.version))
                ++card.repaired_values;
            ++kept;
        } catch (const ServiceError &dropped) {
            ++card.dropped_properties;
            if (!card.first_drop)
                card.first_drop = dropped;
        }
    }
    card.properties.resize(kept);
    return card;
}

// ---------------------------------------------------------------------------
// VCardReader

VCardReader::VCardReader(std::unique_ptr<Input> input) : input_(std::move(input)) {}
VCardReader::VCardReader(VCardReader &&) noexcept = default;
VCardReader &VCardReader::operator=(VCardReader &&) noexcept = default;
VCardReader::~VCardReader() = default;

VCardReader VCardReader::from_file(const std::string &path, std::uint64_t offset)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        fail(kVCardUnreadable, "cannot open " + path + ": " + std::strerror(errno));
    return VCardReader(std::make_unique<Input>(descriptor_source(fd, true), offset));
}

VCardReader VCardReader::from_descriptor(int fd, std::uint64_t offset, std::uint64_t end)
{
    return VCardReader(std::make_unique<Input>(descriptor_source(fd, false, end), offset));
}

VCardReader VCardReader::from_text(std::string_view text, std::uint64_t offset)
{
    return VCardReader(std::make_unique<Input>(text_source(text), offset));
}

std::optional<VCard> VCardReader::next_card()
{
    return input_->next_card();
}

namespace {

// Whether a contact holds anything a person would look it up by.
bool usable(const Record &record)
{
    if (!record.text(text_field::display_name).empty() || !record.note().empty())
        return true;
    for (const std::size_t offset : {contact_wire::offset::phone_info_cnt, contact_wire::offset::email_info_cnt,
                                     contact_wire::offset::postal_info_cnt, contact_wire::offset::sns_cnt,
                                     contact_wire::offset::im_cnt})
        if (record.get_int(offset) > 0)
            return true;
    return false;
}

} // namespace

std::optional<ImportedContact> VCardReader::next_contact()
{
    std::optional<VCard> card = input_->next_card();
    if (!card)
        return std::nullopt;
    ImportedContact contact = contact_from_vcard(*card);
    if (card->first_drop && !usable(contact.record))
        throw *card->first_drop;
    return contact;
}

std::uint64_t VCardReader::offset() const
{
    return input_->offset();
}

ImportedContact read_vcard_contact(std::string_view text)
{
    VCardReader reader = VCardReader::from_text(text);
    std::optional<ImportedContact> contact = reader.next_contact();
    if (!contact)
        fail(kVCardSyntax, "the text holds no BEGIN:VCARD ... END:VCARD card");
    return std::move(*contact);
}

} // namespace contact_engine
