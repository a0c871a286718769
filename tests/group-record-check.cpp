// The group record codec on its own: the field table against the public
// struct, every byte carried both ways, ints little-endian at their offsets.
// No GLib, no bus and no test framework, so the same source is cross-built
// for 32-bit ARM and run under qemu-arm, where group_t must also be the
// wire layout byte for byte (the codec header's static_asserts).
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

void fields_land_at_their_offsets()
{
    group_t record;
    std::memset(&record, 0, sizeof record);
    record.index = 7;
    record.storage_type = 1;
    std::strcpy(record.name, "Famille");
    std::strcpy(record.ringtone_path, "/tones/bell.ogg");
    std::strcpy(record.image_path, "/pictures/family.png");
    record.member_count = 0x01020304;
    record.created_time = -2;
    record.modified_time = 1700000000;
    record.reserved[0] = 'r';
    record.reserved[sizeof record.reserved - 1] = 'z';

    std::uint8_t wire[group_wire::kRecordSize];
    group_codec::encode(record, wire);
    CHECK(group_wire::read_i32(wire, 0) == 7);
    CHECK(group_wire::read_i32(wire, 4) == 1);
    CHECK(std::strcmp(reinterpret_cast<const char *>(wire + 8), "Famille") == 0);
    CHECK(std::strcmp(reinterpret_cast<const char *>(wire + 136), "/tones/bell.ogg") == 0);
    CHECK(std::strcmp(reinterpret_cast<const char *>(wire + 392), "/pictures/family.png") == 0);
    // Little-endian whatever the host.
    CHECK(wire[648] == 0x04 && wire[649] == 0x03 && wire[650] == 0x02 && wire[651] == 0x01);
    CHECK(group_wire::read_i32(wire, 652) == -2);
    CHECK(group_wire::read_i32(wire, 656) == 1700000000);
    CHECK(wire[660] == 'r' && wire[1351] == 'z');
}

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

void native_struct_is_the_wire_layout()
{
    // On a little-endian target the struct's own bytes are the wire bytes.
    group_t record;
    std::memset(&record, 0, sizeof record);
    record.index = 3;
    record.member_count = 12;
    std::strcpy(record.name, "Work");
    std::uint8_t wire[group_wire::kRecordSize];
    group_codec::encode(record, wire);
    CHECK(sizeof(group_t) == 1352);
    CHECK(std::memcmp(&record, wire, sizeof wire) == 0);
}

} // namespace

int main()
{
    fields_land_at_their_offsets();
    every_byte_travels_both_ways();
    native_struct_is_the_wire_layout();
    std::printf("group record: %d checks passed, %d failed (pointer size %zu)\n", g_passed, g_failed, sizeof(void *));
    return g_failed == 0 ? 0 : 1;
}
