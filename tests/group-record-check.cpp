// The group record codec on its own: every byte carried both ways, natively
// and cross-built for 32-bit ARM under qemu-arm.  The offsets and the size
// are the codec header's static_asserts; they are not repeated here.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "group-record-codec.h"

int main()
{
    std::uint8_t wire[group_wire::kRecordSize];
    for (std::size_t i = 0; i < sizeof wire; ++i)
        wire[i] = std::uint8_t(i * 7 + 3);
    group_t record;
    std::memset(&record, 0, sizeof record);
    group_codec::decode(wire, record);
    std::uint8_t again[group_wire::kRecordSize] = {};
    group_codec::encode(record, again);
    const bool same = std::memcmp(wire, again, sizeof wire) == 0 && record.index == group_wire::read_i32(wire, 0) &&
                      record.modified_time == group_wire::read_i32(wire, 656) &&
                      std::memcmp(record.name, wire + 8, sizeof record.name) == 0;
    std::printf("group record (pointer size %zu): %s\n", sizeof(void *), same ? "every byte both ways" : "FAILED");
    return same ? 0 : 1;
}
