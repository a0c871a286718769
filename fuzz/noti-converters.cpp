// The 21 change-notification converters through their public functions.
// Input: which converter (byte 0), the element size the caller gave the
// array (byte 1, one of 1, 4, 8, 16, 3), then the argument bytes.  A
// converter either accepts (1, the error code untouched) or refuses (0,
// code 3, the update type and data untouched), and never writes past the
// update data its kind documents.
#include <glib.h>

#include <array>
#include <cstring>

#include "contact-engine.h"
#include "fuzz-input.h"
#include "library-array.h"

namespace {

using ConvertFn = int (*)(GArray *, int *, void *, int *);

struct Converter {
    ConvertFn convert;
    std::size_t data_size; // the update data the kind writes
};

constexpr std::size_t kInt = sizeof(int);
constexpr std::size_t kIndex = sizeof(contact_update_index_t);
constexpr std::size_t kSimError = sizeof(contact_update_sim_error_t);

#define CONVERTER(kind, size) Converter{contact_convert_##kind##_noti_to_update_type_and_data, size}
constexpr std::array<Converter, 21> kConverters{{
    CONVERTER(new_storage_type, kInt),           CONVERTER(view_storage_type, kInt),
    CONVERTER(display_order, kInt),              CONVERTER(sort_type, kInt),
    CONVERTER(activated_own_number, kInt),       CONVERTER(fdn_status_changed, kInt),
    CONVERTER(delete_some_contacts, kInt),       CONVERTER(copy_some_contacts, kInt),
    CONVERTER(move_some_contacts, kInt),         CONVERTER(delete_some_groups, kInt),
    CONVERTER(delete_all_group_members, kIndex), CONVERTER(delete_some_group_members, kIndex),
    CONVERTER(add_some_group_members, kIndex),   CONVERTER(add_group_member, kIndex),
    CONVERTER(delete_group_member, kIndex),      CONVERTER(sim_error, kSimError),
    CONVERTER(contact_main_table_modified, kIndex), CONVERTER(contact_table_modified, kIndex),
    CONVERTER(group_table_modified, kIndex),     CONVERTER(speed_dial_table_modified, kInt),
    CONVERTER(my_contact_table_modified, kInt),
}};
#undef CONVERTER

constexpr std::array<guint, 5> kElementSizes{1, 4, 8, 16, 3};
constexpr std::uint8_t kPattern = 0xa5;
constexpr int kUntouched = -12345;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz::Input input(data, size);
    const Converter &converter = kConverters[input.byte() % kConverters.size()];
    const guint element_size = kElementSizes[input.byte() % kElementSizes.size()];
    std::vector<std::uint8_t> bytes = input.rest();
    bytes.resize(bytes.size() / element_size * element_size);
    const fuzz::ExactArray noti_args(std::move(bytes), element_size);

    std::vector<std::uint8_t> update_data(converter.data_size, kPattern);
    int update_type = kUntouched;
    int error_code = kUntouched;
    const int result = converter.convert(noti_args.get(), &update_type, update_data.data(), &error_code);
    if (result == 1) {
        fuzz::require(error_code == kUntouched && update_type != kUntouched);
    } else {
        fuzz::require(result == 0 && error_code == CONTACT_ERROR_OUT_OF_RANGE && update_type == kUntouched);
        for (std::uint8_t byte : update_data)
            fuzz::require(byte == kPattern);
    }
    return 0;
}
