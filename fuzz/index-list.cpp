// The service's readers of index lists a client sends with a count: group
// members to add or remove, and a bulk job's thumbs.  Input: the count
// (4 bytes, little-endian), then the list.
#include "bulk/bulk-jobs.h"
#include "core/service-error.h"
#include "fuzz-input.h"
#include "groups/group-store.h"

using namespace contact_engine;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz::Input input(data, size);
    const std::int32_t count = input.i32();
    const Bytes list(input.rest());
    try {
        fuzz::require(index_list(list, count).size() == std::size_t(count));
    } catch (const ServiceError &) {
    }
    try {
        fuzz::require(thumb_list(list, count).size() == std::size_t(count));
    } catch (const ServiceError &) {
    }
    return 0;
}
