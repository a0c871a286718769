// The service's reader of a client's contact record (add, insert, update,
// my contact; a SIM storage's entry starts the same way), and of a record
// as stored in the database.  A record either is refused with a
// ServiceError or parses into one whose every accessor stays inside it, and
// whose stored (packed) form unpacks to the same bytes.
#include <array>

#include "contacts/contact-record.h"
#include "contacts/record-packing.h"
#include "core/service-error.h"
#include "fuzz-input.h"

using namespace contact_engine;

namespace {

constexpr std::array kTexts{text_field::display_name, text_field::first_name,    text_field::last_name,
                            text_field::middle_name,  text_field::nickname,      text_field::company,
                            text_field::job_title,    text_field::department,    text_field::birthday,
                            text_field::ringtone_path, text_field::photo_path,   text_field::website,
                            text_field::message_tone_path};

void read_everything(Record &record)
{
    for (const TextField &field : kTexts)
        fuzz::require(record.text(field).size() < field.width);
    for (std::size_t which = 0; which < contact_wire::kSections.size(); ++which)
        fuzz::require(record.section(which).size() ==
                      contact_wire::section_bytes(contact_wire::kSections[which], record.count(which)));
    (void)record.note();
    (void)record.phone_numbers();
    record.set_address(5, 0); // as my contact is stored
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    try {
        Record record = Record::parse(Bytes(std::vector<std::uint8_t>(data, data + size)));
        read_everything(record);
        const Bytes packed = pack_record(record.bytes());
        fuzz::require(unpack_record(packed.data(), packed.size()) == record.bytes());
    } catch (const ServiceError &) {
    }
    // The same bytes as a damaged database row.
    try {
        (void)unpack_record(data, size);
        (void)unpack_record(data, size, contact_wire::kFixedSize);
    } catch (const ServiceError &) {
    }
    return 0;
}
