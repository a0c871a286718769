// The service's reader of a client's group record (add, update): 1352
// bytes whose name, ringtone and image paths are NUL-terminated UTF-8.
#include "contact-engine-group-wire.h"
#include "core/service-error.h"
#include "fuzz-input.h"
#include "groups/group-store.h"

using namespace contact_engine;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    try {
        const GroupFields fields = parse_group(Bytes(std::vector<std::uint8_t>(data, data + size)));
        fuzz::require(!fields.name.empty() && fields.name.size() < group_wire::kNameSize);
        fuzz::require(fields.ringtone_path.size() < group_wire::kRingtonePathSize);
        fuzz::require(fields.image_path.size() < group_wire::kImagePathSize);
    } catch (const ServiceError &) {
    }
    return 0;
}
