#include "core/bytes.h"

#include <systemd/sd-bus.h>

namespace contact_engine {

namespace {

// sdbus::Message keeps its sd_bus_message and its read status protected; a
// pointer to those members, taken through a subclass, reaches them on any
// Message without copying or casting it.
struct MessageInternals : sdbus::Message {
    static sd_bus_message *raw(sdbus::Message &message)
    {
        return static_cast<sd_bus_message *>(message.*&MessageInternals::msg_);
    }
    static void mark_failed(sdbus::Message &message) { message.*&MessageInternals::ok_ = false; }
};

} // namespace

sdbus::Message &operator<<(sdbus::Message &message, const Bytes &bytes)
{
    const int result = sd_bus_message_append_array(MessageInternals::raw(message), 'y', bytes.data(), bytes.size());
    if (result < 0)
        throw sdbus::createError(-result, "Failed to append a byte array");
    return message;
}

sdbus::Message &operator>>(sdbus::Message &message, Bytes &bytes)
{
    const void *data = nullptr;
    std::size_t size = 0;
    const int result = sd_bus_message_read_array(MessageInternals::raw(message), 'y', &data, &size);
    if (result < 0)
        throw sdbus::createError(-result, "Failed to read a byte array");
    if (result == 0) { // no array left to read: the same signal sdbus-c++ gives for its own types
        MessageInternals::mark_failed(message);
        return message;
    }
    const auto *begin = static_cast<const std::uint8_t *>(data);
    bytes.assign(begin, begin + size);
    return message;
}

} // namespace contact_engine
