// The library's unpacking of a whole contact reply (contact_get_contact,
// contact_get_my_contact): the codec over the exact bytes, then
// contact_deserialize over a GArray as dbus-glib hands it over.  A reply
// either unpacks, every section allocated and copied from inside it, or is
// refused with the caller's record untouched.
#include <cstdlib>
#include <cstring>

#include "contact-engine-internal.h"
#include "contact-record-codec.h"
#include "fuzz-input.h"
#include "library-array.h"

namespace {

constexpr std::uint8_t kPattern = 0xa5;

struct NoTrace {
    void fixed(const contact_t &) const {}
    void section(std::size_t, int) const {}
    void id_data() const {}
};

void free_sections(contact_t &record)
{
    for (void **slot : contact_codec::section_slots(record))
        std::free(*slot);
    std::free(record.contact_id_data);
}

bool untouched(const contact_t &record)
{
    const auto *bytes = reinterpret_cast<const std::uint8_t *>(&record);
    for (std::size_t i = 0; i < sizeof record; ++i)
        if (bytes[i] != kPattern)
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    contact_t record;
    std::memset(static_cast<void *>(&record), kPattern, sizeof record);
    const std::vector<std::uint8_t> exact(data, data + size);
    if (contact_codec::deserialize(exact.data(), exact.size(), record, NoTrace{}) == contact_codec::Unpacked::Ok)
        free_sections(record);
    else
        fuzz::require(untouched(record));

    std::memset(static_cast<void *>(&record), kPattern, sizeof record);
    const fuzz::ExactArray array(exact, 1);
    if (contact_deserialize(&record, array.get()) == 1)
        free_sections(record);
    else
        fuzz::require(untouched(record));
    return 0;
}
