// Reads vCard 2.1, 3.0 and 4.0 one card at a time, as phones and address
// books write them: folded lines, QUOTED-PRINTABLE with soft line breaks,
// CHARSET (converted to UTF-8 with GLib), BASE64 and ENCODING=b values,
// escaped text, grouped properties (item1.TEL with item1.X-ABLabel), CRLF or
// LF line ends, several cards in one input.
//
// The reader holds one card and one read buffer at a time, never the whole
// input, and tells the byte offset just past the last card it returned, so a
// long import can stop after any card and a new reader started at that
// offset goes on with exactly the next one.
//
// Real exports break the standards in known ways, so a property that cannot
// be read is dropped and counted, a value invalid in its charset is repaired,
// and the card is kept with what could be read.  A card is refused only when
// nothing usable is left in it, when it breaks a bound of service-limits.h,
// or when its frame is broken (no END:VCARD, an unknown VERSION).
//
// Refusals throw ServiceError with one of the vCard codes of
// contact-engine-errors.h and a message naming the line.  A refused card
// produces nothing; the reader has then skipped past it (to its END, the
// next BEGIN or the end of the input), so a caller may count the failure and
// read on.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "contacts/contact-record.h"
#include "core/service-error.h"
#include "core/service-limits.h"

namespace contact_engine {

enum class VCardVersion { V21, V30, V40 };

// One property of a card, decoded: QUOTED-PRINTABLE, BASE64 and the charset
// are undone, but the text escapes (\, \; \n) are still in `value`, because
// splitting a structured value needs them.
struct VCardProperty {
    std::string group; // "item1" of item1.TEL, else empty
    std::string name;  // upper case
    // Parameter names upper case; 2.1's bare parameters (TEL;CELL;PREF) are
    // filed under TYPE (or ENCODING / VALUE where they are one of those).
    std::vector<std::pair<std::string, std::string>> parameters;
    std::string value;  // UTF-8 text, or the bytes of a binary value
    bool binary = false; // the value was BASE64 (or a data: URI) and is raw bytes

    // The first value of a parameter, or nullptr.
    const std::string *parameter(std::string_view name) const;
    // Whether TYPE (as a list or repeated) holds `type`, ignoring case.
    bool has_type(std::string_view type) const;
};

struct VCard {
    VCardVersion version = VCardVersion::V21;
    std::vector<VCardProperty> properties;
    std::uint64_t begin_offset = 0; // byte offset of its BEGIN:VCARD line
    std::uint64_t end_offset = 0;   // byte offset just past its END:VCARD line
    // Lines left out of `properties` because they could not be read (no
    // property, a broken BASE64 or QUOTED-PRINTABLE value, an unknown
    // ENCODING, a CHARSET the service cannot convert, too many parameters),
    // and why the first of them was.
    std::size_t dropped_properties = 0;
    std::optional<ServiceError> first_drop;
    // Values kept after a repair: bytes invalid in their charset made
    // U+FFFD, NUL bytes taken out.
    std::size_t repaired_values = 0;
};

// A card turned into a contact record.  An embedded photo cannot live in the
// record (which holds only photo_path); it is handed out for the caller to
// store, with its media type ("image/jpeg") when the card named one.
struct ImportedContact {
    Record record;
    std::string photo;
    std::string photo_media_type;
    std::size_t dropped_properties = 0; // as in its VCard
    std::size_t repaired_values = 0;
};

class VCardReader {
public:
    // Reads the file at `path`, starting at byte `offset`.  Throws
    // kVCardUnreadable when it cannot be opened.
    static VCardReader from_file(const std::string &path, std::uint64_t offset = 0);
    // Reads from an open descriptor by position (pread), from byte `offset`
    // to byte `end` (the input ends there, whatever follows); the caller
    // keeps the descriptor and closes it after the reader.
    static VCardReader from_descriptor(int fd, std::uint64_t offset = 0, std::uint64_t end = UINT64_MAX);
    // Reads `text`, which must outlive the reader, starting at byte `offset`.
    static VCardReader from_text(std::string_view text, std::uint64_t offset = 0);

    VCardReader(VCardReader &&) noexcept;
    VCardReader &operator=(VCardReader &&) noexcept;
    VCardReader(const VCardReader &) = delete;
    VCardReader &operator=(const VCardReader &) = delete;
    ~VCardReader();

    // The next card, or nothing at the end of the input.  Text outside
    // cards is skipped.  Throws ServiceError for a malformed card.
    std::optional<VCard> next_card();
    // The next card as a contact; same failures, plus those of the record,
    // and the code of its first dropped property when the contact holds
    // nothing (no name, number, e-mail, address, account or note).
    std::optional<ImportedContact> next_contact();

    // Byte offset where the next call starts: just past the last card read
    // (or skipped as malformed).
    std::uint64_t offset() const;

private:
    class Input;
    explicit VCardReader(std::unique_ptr<Input> input);
    std::unique_ptr<Input> input_;
};

// The contact of a card.  Throws ServiceError when a value cannot be stored
// (a text that is not UTF-8); texts longer than their field are cut at a
// character boundary.
ImportedContact contact_from_vcard(const VCard &card);

// The first card of `text` as a contact; kVCardSyntax when it holds none.
ImportedContact read_vcard_contact(std::string_view text);

// The text of a value with its escapes undone: \n and \N become a line
// feed, \\ \, \; and \: their character; other backslashes stay.
std::string unescape_vcard_text(std::string_view value);
// A structured value (N, ADR, ORG) split at its unescaped semicolons, each
// component unescaped.
std::vector<std::string> split_vcard_components(std::string_view value);

} // namespace contact_engine
