// The group record codec on its own: every byte carried both ways, natively
// and cross-built for 32-bit ARM under qemu-arm.  The offsets and the size
// are the codec header's static_asserts; they are not repeated here.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "group-record-codec.h"

namespace {

int g_failed = 0;
int g_passed = 0;

#define CHECK(condition)                                                                                           \
    do {                                                                                                           \
        if (condition) {                                                                                           \
            ++g_passed;                                                                                            \
        } else {                                                                                                   \
            ++g_failed;                                                                                            \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);                    \
        }                                                                                                          \
    } while (0)

void every_byte_travels_both_ways()
{
    std::uint8_t wire[group_wire::kRecordSize];
    for (std::size_t i = 0; i < sizeof wire; ++i)
        wire[i] = std::uint8_t(i * 7 + 3);
    group_t record;
    std::memset(&record, 0, sizeof record);
    group_codec::decode(wire, record);
    std::uint8_t again[group_wire::kRecordSize];
    std::memset(again, 0, sizeof again);
    group_codec::encode(record, again);
    CHECK(std::memcmp(wire, again, sizeof wire) == 0);
    CHECK(record.index == group_wire::read_i32(wire, 0));
    CHECK(record.modified_time == group_wire::read_i32(wire, 656));
    CHECK(std::memcmp(record.name, wire + 8, sizeof record.name) == 0);
}

} // namespace

int main()
{
    every_byte_travels_both_ways();
    std::printf("group record: %d checks passed, %d failed (pointer size %zu)\n", g_passed, g_failed, sizeof(void *));
    return g_failed == 0 ? 0 : 1;
}
