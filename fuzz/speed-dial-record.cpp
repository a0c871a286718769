// The service's reader of a client's 16-byte speed-dial record.
#include "core/service-error.h"
#include "fuzz-input.h"
#include "speed-dials/speed-dial-store.h"

using namespace contact_engine;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    try {
        const SpeedDialTarget target = parse_speed_dial(Bytes(std::vector<std::uint8_t>(data, data + size)));
        fuzz::require(target.storage >= 0 && target.storage <= 2);
    } catch (const ServiceError &) {
    }
    return 0;
}
