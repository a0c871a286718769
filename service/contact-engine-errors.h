// Result and error codes of the contact engine service.
//
// A failed method replies with a D-Bus error whose message starts with the
// decimal code, then a colon and a readable reason: "12: no contact at index 7".
// Methods that end their reply with a result code put 0 there on success, or
// one of these codes where the answer itself is "no" or "not possible".
// The numbers are stable: never renumber, only add.  They stay clear of the
// client library's own codes (2, 3, 9, 32, 33).
#pragma once

namespace contact_engine {

enum ErrorCode : int {
    kOk                = 0,
    kInvalidArgument   = 10, // a value the method cannot use (bad number, bad format)
    kUnknownStorage    = 11, // storage_type names no storage of this method
    kNoContact         = 12, // no contact at the given index
    kIndexOutOfRange   = 13, // index outside 1 .. capacity of the storage
    kStorageFull       = 14, // no free index left in the storage
    kMalformedRecord   = 15, // byte array shorter or longer than its counts announce
    kInvalidUtf8       = 16, // a text is not valid UTF-8 or not NUL-terminated
    kUnknownField      = 17, // field_id names no field
    kValueTooLong      = 18, // a text does not fit its field
    kIndexInUse        = 19, // insert at an index that already holds a contact
    kNoMyContact       = 20, // my contact has not been stored
    kMyContactExists   = 21, // insert of my contact when one is stored
    kReadOnlyField     = 22, // the field is kept by the service and cannot be set
    kDatabaseError     = 23, // the database failed; nothing was changed
    kWrongStorageKind  = 24, // my-contact storage used with a contact-table method

    // vCard reading (service/vcard-reader.cpp).
    kVCardSyntax             = 40, // no card, a card without END, a line that is no property
    kVCardBadEncoding        = 41, // a broken BASE64 or QUOTED-PRINTABLE value, bytes invalid in their charset
    kVCardUnknownCharset     = 42, // CHARSET names a character set the service cannot convert
    kVCardTooLarge           = 43, // a line over 8 MiB or a card over 16 MiB
    kVCardUnsupportedVersion = 44, // VERSION other than 2.1, 3.0 and 4.0
    kVCardUnreadable         = 45, // the vCard file cannot be opened or read
};

} // namespace contact_engine
