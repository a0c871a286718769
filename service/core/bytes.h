// Bytes: the service's byte array, D-Bus type "ay".
//
// sdbus-c++ 1.2 appends and reads a std::vector<uint8_t> one element at a
// time, about 15 ns a byte inside sd-bus; a 5 KB contact spent half of its
// service time there.  Bytes crosses the bus in one copy instead, through
// sd-bus's own array calls.  Every handler argument and reply of type Bytes
// gets this; handlers use it as the std::vector it is.
#pragma once

#include <sdbus-c++/sdbus-c++.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace contact_engine {

struct Bytes : std::vector<std::uint8_t> {
    using std::vector<std::uint8_t>::vector;
    Bytes() = default;
    Bytes(std::vector<std::uint8_t> bytes) : std::vector<std::uint8_t>(std::move(bytes)) {}
};

// Appends the array in one sd_bus_message_append_array call.
sdbus::Message &operator<<(sdbus::Message &message, const Bytes &bytes);
// Reads the array in one sd_bus_message_read_array call.
sdbus::Message &operator>>(sdbus::Message &message, Bytes &bytes);

} // namespace contact_engine

template <> struct sdbus::signature_of<contact_engine::Bytes> : sdbus::signature_of<std::vector<std::uint8_t>> {};
