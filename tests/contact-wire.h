// The byte-array form of a record as the library sends it, for comparing
// what went to the service with what came back.
#pragma once

#include <cstdint>
#include <vector>

#include "contact-engine-internal.h"
#include "contact-engine-wire.h"

namespace contact_test {

// Pointer values are the sender's and differ between any two records, so
// each is reduced to "present" (1) or "absent" (0).
inline std::vector<std::uint8_t> wire_form(const contact_t &record)
{
    GArray *array = g_array_new(FALSE, FALSE, 1);
    contact_serialize(array, &record);
    std::vector<std::uint8_t> bytes(array->data, array->data + array->len);
    g_array_free(array, TRUE);
    namespace at = contact_wire::offset;
    for (std::size_t pointer : {at::phone_info, at::email_info, at::postal_info, at::note, at::presence_text, at::sns,
                                at::im, at::about, at::contact_id_data})
        contact_wire::write_i32(bytes.data(), pointer, contact_wire::read_i32(bytes.data(), pointer) != 0 ? 1 : 0);
    return bytes;
}

} // namespace contact_test
