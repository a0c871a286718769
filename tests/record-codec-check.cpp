// The contact and group record codecs on their own: a full round trip, the
// pointer encoding, every group byte both ways.  (Arrays
// shorter than their counts: the reply-contact fuzz harness.)  No GLib, no bus, no test framework: the same
// source is cross-built for 32-bit ARM and run under qemu-arm, where the
// native contact_t must also be the wire layout byte for byte.  (Offsets and
// sizes are the codec headers' static_asserts.)
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "contact-record-codec.h"
#include "group-record-codec.h"
#include "sample-contact.h"

namespace {

int g_failed = 0, g_passed = 0;

#define CHECK(condition)                                                                                  \
    ((condition) ? void(++g_passed)                                                                       \
                 : void((++g_failed,                                                                      \
                         std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition))))

using Bytes = std::vector<std::uint8_t>;

struct VectorSink {
    Bytes bytes;
    void append(const void *data, std::size_t length)
    {
        const auto *from = static_cast<const std::uint8_t *>(data);
        bytes.insert(bytes.end(), from, from + length);
    }
};

struct NoTrace {
    void fixed(const contact_t &) const {}
    void section(std::size_t, int) const {}
    void id_data() const {}
};

Bytes pack(const contact_t &record)
{
    VectorSink sink;
    contact_codec::serialize(sink, record);
    return sink.bytes;
}

contact_codec::Unpacked unpack(const Bytes &bytes, contact_t &record)
{
    return contact_codec::deserialize(bytes.data(), bytes.size(), record, NoTrace{});
}

// Every field, every section and the opaque bytes come back; packed again
// they are the same bytes but for the pointer values.  (The order of the sections: the
// service's own reader, in ContactTest.FieldsAreReadAndChanged... and the number searches.)
void full_record_round_trips()
{
    contact_test::SampleContact contact("Ada");
    const contact_t &r = contact.everything().record;
    const Bytes bytes = pack(r);
    contact_t back;
    std::memset(&back, 0, sizeof back);
    CHECK(unpack(bytes, back) == contact_codec::Unpacked::Ok);
    CHECK(back.phone_info != r.phone_info && std::memcmp(back.phone_info, r.phone_info, 2 * 56) == 0);
    CHECK(std::strcmp(back.note, r.note) == 0 && std::strcmp(back.presence_text, r.presence_text) == 0);
    CHECK(std::memcmp(back.contact_id_data, r.contact_id_data, 5104) == 0);
    Bytes again = pack(back), sent = bytes;
    for (const auto &field : contact_codec::kFields)
        if (field.kind == contact_codec::FieldKind::Pointer)
            for (Bytes *buffer : {&again, &sent})
                contact_wire::write_i32(buffer->data(), field.wire_offset, 0);
    CHECK(again == sent);
    contact_test::free_contact_sections(back);

    contact_test::SampleContact bare("Bare");
    bare.record.email_info_cnt = 3; // the caller broke the invariant: a count without data is left out
    CHECK(pack(bare.record).size() == 4480);
}

void non_null_pointers_never_travel_as_zero()
{
    CHECK(contact_codec::pointer_wire_value(nullptr) == 0);
    CHECK(contact_codec::pointer_wire_value(reinterpret_cast<void *>(std::uintptr_t(0x1234))) == 0x1234);
#if __SIZEOF_POINTER__ == 8
    CHECK(contact_codec::pointer_wire_value(reinterpret_cast<void *>(std::uintptr_t(1) << 32)) != 0);
#else
    contact_test::SampleContact contact("Byte for byte");
    contact.phone("1").note("n");
    CHECK(std::memcmp(pack(contact.record).data(), &contact.record, sizeof contact.record) == 0);
    std::printf("32-bit target: contact_t is %zu bytes, identical to the wire form\n", sizeof contact.record);
#endif
}

void every_group_byte_goes_both_ways()
{
    std::uint8_t wire[group_wire::kRecordSize], again[group_wire::kRecordSize] = {};
    for (std::size_t i = 0; i < sizeof wire; ++i)
        wire[i] = std::uint8_t(i * 7 + 3);
    group_t record;
    std::memset(&record, 0, sizeof record);
    group_codec::decode(wire, record);
    group_codec::encode(record, again);
    CHECK(std::memcmp(wire, again, sizeof wire) == 0);
    CHECK(record.index == group_wire::read_i32(wire, 0) && record.modified_time == group_wire::read_i32(wire, 656));
    CHECK(std::memcmp(record.name, wire + 8, sizeof record.name) == 0);
}

} // namespace

int main()
{
    full_record_round_trips();
    non_null_pointers_never_travel_as_zero();
    every_group_byte_goes_both_ways();
    std::printf("record codecs (%d-bit): %d passed, %d failed\n", int(sizeof(void *) * 8), g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
