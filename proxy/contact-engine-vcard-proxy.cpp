// vCard conversion: a contact to vCard text or to a file the service writes,
// and vCard text or a file back to a contact.  The service does all parsing,
// formatting and file handling; the library carries the contact's 4480-byte
// fixed part (never its sections) and the text or path.
//
// These operations take no error_code: the outcome is the result and the
// log alone, so the frame runs with a NULL error_code and maps nothing.
#include <string.h>

#include <cstdint>

#include "contact-engine-frame.h"
#include "contact-record-codec.h"

// The text handed to the caller is the bus library's own allocation, which
// contact_free_vcard releases with free(): GLib allocates with the system's
// malloc from 2.46 on.
#if !GLIB_CHECK_VERSION(2, 46, 0)
#error "the vCard text is released with free(): GLib 2.46 or later is needed"
#endif

using contact_frame::ByteArray;
using contact_frame::ins;
using contact_frame::kPackedRecord;
using contact_frame::Operation;
using contact_frame::outs;
using contact_frame::ReplyString;
using contact_frame::Text;

namespace {

// The caller's buffer for the path of a written file.
constexpr std::size_t kFullFilePathSize = 300;

// Appends the fixed part alone, field by field in the wire layout.
void append_fixed_part(GArray *array, const contact_t *record)
{
    std::uint8_t fixed[contact_wire::kFixedSize];
    contact_codec::encode_fixed(*record, fixed);
    g_array_append_vals(array, fixed, guint(sizeof fixed));
}

// The display name for the log: the field need not be terminated in a
// record the service wrote, so it is copied into a terminated buffer.
struct DisplayName {
    explicit DisplayName(const contact_t &record)
    {
        const std::size_t length = strnlen(record.display_name, sizeof record.display_name);
        memcpy(text, record.display_name, length);
        text[length] = '\0';
    }
    char text[sizeof(contact_t::display_name) + 1];
};

// The vCard-to-contact conversions: the reply's first 4480 bytes become the
// caller's fixed part.  A shorter reply is refused and nothing is written.
void take_fixed_part(Operation &self, const ByteArray &reply, contact_t *contact)
{
    if (reply.get() == nullptr || contact_frame::length(reply) < contact_wire::kFixedSize) {
        self.fail(CONTACT_ERROR_MALFORMED_REPLY,
                  "\n[DodazorEdidud]%s %d: The reply of %u bytes does not hold a 4480-byte contact.\n",
                  contact_frame::length(reply));
        return;
    }
    contact_codec::decode_fixed(contact_frame::bytes(reply), *contact);
}

// The file conversions: the path is copied as strncpy does with a limit of
// 300 bytes (a shorter path is followed by zero bytes up to the 300th).  A
// path of 300 bytes or more would leave no terminating zero, so such a reply
// is a failure and the buffer is untouched.
void take_path(Operation &self, const ReplyString &path, char *full_file_path)
{
    const char *text = path.get() != nullptr ? path.get() : "";
    const std::size_t length = strlen(text);
    if (length >= kFullFilePathSize) {
        self.fail(CONTACT_ERROR_MALFORMED_REPLY,
                  "\n[DodazorEdidud]%s %d: The path of %u bytes does not fit the 300-byte full_file_path.\n",
                  unsigned(length));
        return;
    }
    strncpy(full_file_path, text, kFullFilePathSize);
}

} // namespace

extern "C" {

CONTACT_API int contact_free_vcard(char *vcard)
{
    free(vcard);
    return 1;
}

CONTACT_API int contact_convert_contact_to_vcard(const contact_t *pContact, char **vcard, int convert_param)
{
    Operation op(__func__, nullptr);
    ReplyString text;
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been opened.\n")
        .not_null(pContact, "\n[DodazorEdidud]%s %d: The pContact is NULL.\n")
        .pack_with([&](GArray *array) { append_fixed_part(array, pContact); })
        .call("contact_convert_contact_to_vcard",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_convert_contact_to_vcard() failed.\n",
              ins(kPackedRecord, convert_param), outs(text))
        .on_success([&] {
            // vcard is not tested: a caller without a place for the text
            // gets it released here instead of a write through NULL.
            if (vcard != nullptr)
                *vcard = text.release();
        })
        .result();
}

CONTACT_API int contact_convert_contact_to_vcard_file(const contact_t *pContact, char *full_file_path,
                                                      int convert_param)
{
    Operation op(__func__, nullptr);
    ReplyString path;
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been opened.\n")
        .not_null(pContact, "\n[DodazorEdidud]%s %d: The pContact is NULL.\n")
        .not_null(full_file_path, "\n[DodazorEdidud]%s %d: The full_file_path is NULL.\n")
        .pack_with([&](GArray *array) { append_fixed_part(array, pContact); })
        .call("contact_convert_contact_to_vcard_file",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_convert_contact_to_vcard_file() failed.\n",
              ins(kPackedRecord, convert_param), outs(path))
        .on_success([&](Operation &self) { take_path(self, path, full_file_path); })
        .result();
}

CONTACT_API int contact_convert_contact_to_vcard_file_tmp(const contact_t *pContact, char *full_file_path,
                                                          int convert_param)
{
    Operation op(__func__, nullptr);
    ReplyString path;
    return op.connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been opened.\n")
        .not_null(pContact, "\n[DodazorEdidud]%s %d: The pContact is NULL.\n")
        .not_null(full_file_path, "\n[DodazorEdidud]%s %d: The full_file_path is NULL.\n")
        .pack_with([&](GArray *array) { append_fixed_part(array, pContact); })
        .call("contact_convert_contact_to_vcard_file_tmp",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_convert_contact_to_vcard_file_tmp() failed.\n",
              ins(kPackedRecord, convert_param), outs(path))
        .on_success([&](Operation &self) { take_path(self, path, full_file_path); })
        .result();
}

CONTACT_API int contact_convert_vcard_file_to_contact(const char *pFile, contact_t *pContact)
{
    Operation op(__func__, nullptr);
    ByteArray reply;
    return op.trace("\n[DodazorEdidud]%s:  begin.\n")
        .connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been opened.\n")
        .not_null(pFile, "\n[DodazorEdidud]%s %d: The pFile is NULL.\n")
        .not_null(pContact, "\n[DodazorEdidud]%s %d: The pContact is NULL.\n")
        .call("contact_convert_vcard_file_to_contact",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_convert_vcard_file_to_contact() failed().\n",
              ins(pFile), outs(reply))
        .on_success([&](Operation &self) {
            take_fixed_part(self, reply, pContact);
            self.trace("\n[DodazorEdidud]%s: *************contact_convert_vcard_file_to_contact "
                       "pContact->display_name = %s*************\n",
                       DisplayName(*pContact).text)
                .trace("\n[DodazorEdidud]%s: end\n");
        })
        .result();
}

CONTACT_API int contact_convert_vcard_to_contact(const char *pObject, contact_t *pContact)
{
    Operation op(__func__, nullptr);
    ByteArray reply;
    return op.trace("\n[DodazorEdidud]%s:  begin.\n")
        .connected("\n[DodazorEdidud]%s %d: The dbus connection hasn't been opened.\n")
        .not_null(pObject, "\n[DodazorEdidud]%s %d: The pObject is NULL.\n")
        .not_null(pContact, "\n[DodazorEdidud]%s %d: The pContact is NULL.\n")
        .call("contact_convert_vcard_to_contact",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_convert_vcard_to_contact() failed().\n",
              ins(pObject), outs(reply))
        .on_success([&](Operation &self) {
            take_fixed_part(self, reply, pContact);
            self.trace("\n[DodazorEdidud]%s: *************contact_convert_vcard_to_contact "
                       "pContact->display_name = %s*************\n",
                       DisplayName(*pContact).text)
                .trace("\n[DodazorEdidud]%s: end\n");
        })
        .result();
}

} // extern "C"
