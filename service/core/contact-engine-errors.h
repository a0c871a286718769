// Result and error codes of the contact engine service: one table of code,
// D-Bus error name and meaning.  The error names on the bus, docs/codes.md's
// table and the tests all come from here.
//
// A failed method replies with a D-Bus error named
// "com.quorvel.contact.engine.Error.<name>" whose message starts with the
// decimal code, then a colon and a readable reason: "12: no contact at index 7".
// Methods that end their reply with a result code put 0 there on success, or
// one of these codes where the answer itself is "no" or "not possible".
// The numbers are stable: never renumber, only add (a row here and one in docs/codes.md).
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace contact_engine {

enum ErrorCode : int {
    kOk                = 0,
    kInvalidArgument   = 10,
    kUnknownStorage    = 11,
    kNoContact         = 12,
    kIndexOutOfRange   = 13,
    kStorageFull       = 14,
    kMalformedRecord   = 15,
    kInvalidUtf8       = 16,
    kUnknownField      = 17,
    kValueTooLong      = 18,
    kIndexInUse        = 19,
    kNoMyContact       = 20,
    kMyContactExists   = 21,
    kReadOnlyField     = 22,
    kDatabaseError     = 23,
    kWrongStorageKind  = 24,
    kInternalError     = 25,
    kRecordTooLarge    = 26,
    // Settings and speed dials: 70 to 79.
    kInvalidSettingValue = 70,
    kSpeedDialOutOfRange = 71,
    kNoSpeedDial         = 72,
    kNoPhoneNumber       = 73,
    kSpeedDialFull       = 74,
    // groups and membership
    kNoGroup           = 40,
    kGroupNameInUse    = 41,
    kNotGroupMember    = 42,
    kGroupFull         = 43,
    kSimAbsent         = 60,
    kSimLocked         = 61,
    kSimDisabled       = 62,
    kSimNotLoaded      = 63,
    kSimNotOpen        = 64,
    kSimTooLong        = 65,
    kSimEntryTooLarge  = 66,
    kSimFull           = 67,
    kSimReadOnly       = 68,
    kSimCardWriteFailed= 69,
    // result sets
    kNoResultSet       = 50,
    kResultSetNotYours = 51,
    kTooManyResultSets = 52,
    kCursorOutOfRange  = 53,
    kContactDeleted    = 54,

    // vCard reading (service/vcard-reader.cpp).
    kVCardSyntax             = 80,
    kVCardBadEncoding        = 81,
    kVCardUnknownCharset     = 82,
    kVCardTooLarge           = 83,
    kVCardUnsupportedVersion = 84,
    kVCardUnreadable         = 85,
    kVCardFileError          = 86, // service/vcard-methods.cpp

    // Bulk jobs (service/bulk-*.cpp).
    kBulkUnknownKind = 90,
    kBulkNoJob = 91,
    kBulkNotOwner = 92,
    kBulkWrongState = 93,
    kBulkNoSource = 94,
    kBulkFileRefused = 95,
    kBulkBadThumbs = 96,
    kBulkNoThumbs = 97,
    kBulkFileError = 98,

    // Per-user limits (service-limits.h, limits::per_user): 110 to 119.
    kTooManyBulkJobs  = 110,
    kTooManyThumbs    = 111,
    kTooManyOpenFiles = 112,
    kTooManyLongCalls = 113,
    // Files of callers (service/core/caller-files.cpp).
    kExportQuotaExceeded = 120,
};

struct ErrorInfo {
    ErrorCode code;
    const char *name;    // last part of the D-Bus error name
    const char *meaning; // as docs/codes.md's table says it
};

inline constexpr const char *kErrorNamePrefix = "com.quorvel.contact.engine.Error.";

inline constexpr std::array kErrors{
    ErrorInfo{kOk, "Ok", "success"},
    ErrorInfo{kInvalidArgument, "InvalidArgument",
              "a value the method cannot use (bad birthday, favourite not \"0\"/\"1\", unknown DRM kind, "
              "empty FDN number)"},
    ErrorInfo{kUnknownStorage, "UnknownStorage", "`storage_type` names no storage"},
    ErrorInfo{kNoContact, "NoContact", "no contact at that index"},
    ErrorInfo{kIndexOutOfRange, "IndexOutOfRange", "index outside 1 .. capacity of the storage"},
    ErrorInfo{kStorageFull, "StorageFull", "the storage is full"},
    ErrorInfo{kMalformedRecord, "MalformedRecord",
              "the record's byte array is shorter or longer than its counts announce, or a count is negative"},
    ErrorInfo{kInvalidUtf8, "InvalidUtf8", "a text is not valid UTF-8 or not NUL-terminated within its field"},
    ErrorInfo{kUnknownField, "UnknownField", "`field_id` names no field"},
    ErrorInfo{kValueTooLong, "ValueTooLong", "a value does not fit its field"},
    ErrorInfo{kIndexInUse, "IndexInUse", "insert at an index that already holds a contact"},
    ErrorInfo{kNoMyContact, "NoMyContact", "no contact of the user's own is stored"},
    ErrorInfo{kMyContactExists, "MyContactExists", "the user's own contact already exists (insert)"},
    ErrorInfo{kReadOnlyField, "ReadOnlyField", "the field is kept by the service and cannot be set"},
    ErrorInfo{kDatabaseError, "DatabaseError", "the database failed; nothing was changed"},
    ErrorInfo{kWrongStorageKind, "WrongStorageKind", "the my-contact storage given to a contact-table method"},
    ErrorInfo{kInternalError, "InternalError",
              "an unexpected failure inside the service (out of memory, a fault); a change it interrupted was rolled back"},
    ErrorInfo{kRecordTooLarge, "RecordTooLarge",
              "a record's byte array is larger than the maximum record size (64 KiB, sections included)"},
    ErrorInfo{kInvalidSettingValue, "InvalidSettingValue",
              "a setting's value outside the values it takes, or an own number with other characters"},
    ErrorInfo{kSpeedDialOutOfRange, "SpeedDialOutOfRange", "dial number outside 1 .. 9"},
    ErrorInfo{kNoSpeedDial, "NoSpeedDial", "no speed dial at that dial number"},
    ErrorInfo{kNoPhoneNumber, "NoPhoneNumber", "the contact has no phone number at that position"},
    ErrorInfo{kSpeedDialFull, "SpeedDialFull",
              "every dial number is taken (result code of `contact_get_empty_speed_dial_index`)"},
    ErrorInfo{kNoGroup, "NoGroup", "no group at that index"},
    ErrorInfo{kGroupNameInUse, "GroupNameInUse",
              "another group of the storage has that name (compared ignoring case and Unicode normalisation)"},
    ErrorInfo{kNotGroupMember, "NotGroupMember", "a contact to remove is not a member of the group"},
    ErrorInfo{kGroupFull, "GroupFull", "the group would hold more than 10000 members"},
    ErrorInfo{kSimAbsent, "SimAbsent", "no SIM card is inserted"},
    ErrorInfo{kSimLocked, "SimLocked", "the SIM card waits for its PIN"},
    ErrorInfo{kSimDisabled, "SimDisabled", "the SIM card is disabled"},
    ErrorInfo{kSimNotLoaded, "SimNotLoaded", "the SIM phonebook is not loaded yet (`contact_initialize_sim` not called, or still loading)"},
    ErrorInfo{kSimNotOpen, "SimNotOpen", "the SIM phonebook is not open (`contact_open_sim`)"},
    ErrorInfo{kSimTooLong, "SimTooLong", "a name or number is longer than the card's records hold"},
    ErrorInfo{kSimEntryTooLarge, "SimEntryTooLarge", "a contact holds more than a SIM entry can (a name and one number)"},
    ErrorInfo{kSimFull, "SimFull", "the card has no room: index beyond its capacity, or more AAS records than it holds"},
    ErrorInfo{kSimReadOnly, "SimReadOnly", "service dialling numbers (storage 4) are set by the operator"},
    ErrorInfo{kSimCardWriteFailed, "SimCardWriteFailed", "the card file could not be written; nothing was changed"},
    ErrorInfo{kNoResultSet, "NoResultSet",
              "no result set with that handle: never made, destroyed, or its client left the bus"},
    ErrorInfo{kResultSetNotYours, "ResultSetNotYours", "the result set belongs to another bus client; nothing was done"},
    ErrorInfo{kTooManyResultSets, "TooManyResultSets",
              "the caller's user holds its maximum of open result sets, or of contacts kept in them"},
    ErrorInfo{kCursorOutOfRange, "CursorOutOfRange",
              "the cursor cannot move there, or no contact is under it (empty set, past the end)"},
    ErrorInfo{kContactDeleted, "ContactDeleted", "the contact under the cursor was deleted after the result set was made"},

    // vCard reading (service/vcard-reader.cpp).
    ErrorInfo{kVCardSyntax, "VCardSyntax", "vCard: no card in the input, a card without END:VCARD, a card with nothing usable left once its lines that are no property were dropped"},
    ErrorInfo{kVCardBadEncoding, "VCardBadEncoding", "vCard: a card with nothing usable left once its broken BASE64 or QUOTED-PRINTABLE values and values invalid in their CHARSET were dropped"},
    ErrorInfo{kVCardUnknownCharset, "VCardUnknownCharset", "vCard: a card with nothing usable left once its values in a CHARSET the service cannot convert were dropped"},
    ErrorInfo{kVCardTooLarge, "VCardTooLarge", "vCard: a line over 8 MiB (unfolded), a card over 16 MiB, a single-card file over 24 MiB; a card with nothing usable left once its properties of over 20 parameters were dropped"},
    ErrorInfo{kVCardUnsupportedVersion, "VCardUnsupportedVersion", "vCard: VERSION other than 2.1, 3.0 and 4.0"},
    ErrorInfo{kVCardUnreadable, "VCardUnreadable", "vCard: the vCard file cannot be opened or read"},
    ErrorInfo{kVCardFileError, "VCardFileError",
              "vCard: the service cannot write the vCard file (directory not writable, disk full, path of 300 bytes or more)"},
    ErrorInfo{kBulkUnknownKind, "BulkUnknownKind", "bulk: `open_param1` names no job kind, or `open_param2` no storage the kind can use"},
    ErrorInfo{kBulkNoJob, "BulkNoJob", "bulk: no job has that handle (never given out, or closed)"},
    ErrorInfo{kBulkNotOwner, "BulkNotOwner", "bulk: the job belongs to another client"},
    ErrorInfo{kBulkWrongState, "BulkWrongState", "bulk: the step does not fit the job's state (exec twice, thumbs after exec, resume of a job not stopped)"},
    ErrorInfo{kBulkNoSource, "BulkNoSource", "bulk: an import executed without its source file, or a file given to a kind that takes none"},
    ErrorInfo{kBulkFileRefused, "BulkFileRefused", "bulk: the file cannot be opened with the caller's own identity (missing, no permission, not a regular file)"},
    ErrorInfo{kBulkBadThumbs, "BulkBadThumbs", "bulk: the thumb array is not `count` x 4 bytes, or thumbs given to an import"},
    ErrorInfo{kBulkNoThumbs, "BulkNoThumbs", "bulk: a delete job executed without thumbs"},
    ErrorInfo{kBulkFileError, "BulkFileError", "bulk: the export file cannot be written (disk full, directory missing)"},
    ErrorInfo{kTooManyBulkJobs, "TooManyBulkJobs", "bulk: the caller's user holds its maximum of open bulk jobs"},
    ErrorInfo{kTooManyThumbs, "TooManyThumbs", "bulk: the caller's user's open jobs hold their maximum of thumb indexes"},
    ErrorInfo{kTooManyOpenFiles, "TooManyOpenFiles",
              "the service holds its maximum of open files for the caller's user (import sources, export files, "
              "files being converted)"},
    ErrorInfo{kTooManyLongCalls, "TooManyLongCalls",
              "the caller's user has its maximum of long calls waiting or running on the service's workers"},
    ErrorInfo{kExportQuotaExceeded, "ExportQuotaExceeded",
              "the caller's exported files would hold over 256 MiB together; remove some or wait until they expire"},
};

// The client library's own codes: the service never uses them.
inline constexpr std::array kLibraryCodes{2, 3, 9, 32, 33};

constexpr bool codes_are_unique_and_clear_of_the_library()
{
    for (std::size_t i = 0; i < kErrors.size(); ++i) {
        for (std::size_t j = i + 1; j < kErrors.size(); ++j)
            if (kErrors[i].code == kErrors[j].code || std::string_view(kErrors[i].name) == kErrors[j].name)
                return false;
        for (int library : kLibraryCodes)
            if (kErrors[i].code == library)
                return false;
    }
    return true;
}
static_assert(codes_are_unique_and_clear_of_the_library(),
              "service codes and names must be unique and clear of the library's codes 2, 3, 9, 32, 33");

constexpr const ErrorInfo &error_info(ErrorCode code)
{
    for (const ErrorInfo &info : kErrors)
        if (info.code == code)
            return info;
    return code == kInternalError ? kErrors[0] : error_info(kInternalError); // a code missing here is a fault
}

constexpr const char *error_name(ErrorCode code)
{
    return error_info(code).name;
}

} // namespace contact_engine
