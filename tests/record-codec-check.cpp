// The record codec on its own: golden sizes and section order, a full round
// trip, rejection of arrays shorter than their counts, and the pointer
// encoding.  No GLib, no bus and no test framework, so the same source is
// cross-built for 32-bit ARM and run under qemu-arm, where the native
// contact_t must also be the wire layout byte for byte.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "contact-record-codec.h"
#include "sample-contact.h"

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

struct VectorSink {
    std::vector<std::uint8_t> bytes;
    void append(const void *data, std::size_t length)
    {
        const auto *begin = static_cast<const std::uint8_t *>(data);
        bytes.insert(bytes.end(), begin, begin + length);
    }
};

struct NoTrace {
    void fixed(const contact_t &) const {}
    void section(std::size_t, int) const {}
    void id_data() const {}
};

std::vector<std::uint8_t> pack(const contact_t &record)
{
    VectorSink sink;
    contact_codec::serialize(sink, record);
    return sink.bytes;
}

contact_t blank()
{
    contact_t record;
    std::memset(&record, 0, sizeof record);
    return record;
}

void record_without_sections_is_the_fixed_part()
{
    contact_t record = blank();
    record.index = 7;
    record.storage_type = 0;
    std::strcpy(record.display_name, "Ada Lovelace");
    const auto bytes = pack(record);
    CHECK(bytes.size() == 4480);
    CHECK(contact_wire::read_i32(bytes.data(), 0) == 7);
    CHECK(std::strcmp(reinterpret_cast<const char *>(bytes.data() + 203), "Ada Lovelace") == 0);

    contact_t back = blank();
    CHECK(contact_codec::deserialize(bytes.data(), bytes.size(), back, NoTrace{}) == contact_codec::Unpacked::Ok);
    CHECK(back.phone_info == nullptr && back.note == nullptr && back.contact_id_data == nullptr);
    CHECK(std::strcmp(back.display_name, "Ada Lovelace") == 0);
}

void two_phones_and_a_note_in_order()
{
    contact_test::SampleContact contact;
    contact.phone("+441234").phone("5678", CONTACT_TYPE_WORK).note("abc");
    const contact_t &record = contact.record;

    const auto bytes = pack(record);
    CHECK(bytes.size() == 4596);
    CHECK(std::memcmp(bytes.data() + 4480, record.phone_info, 2 * sizeof(contact_phone_info_t)) == 0);
    CHECK(std::memcmp(bytes.data() + 4480 + 112, "abc", 4) == 0);
    CHECK(contact_wire::read_i32(bytes.data(), contact_wire::offset::phone_info_cnt) == 2);
    CHECK(contact_wire::read_i32(bytes.data(), contact_wire::offset::note_len) == 3);
    CHECK(contact_wire::read_i32(bytes.data(), contact_wire::offset::phone_info) != 0);
}

void id_block_comes_last()
{
    static contact_id_data_t id;
    std::memset(&id, 0x5a, sizeof id);
    char presence[] = "away";
    contact_t record = blank();
    record.presence_text = presence;
    record.presence_text_len = 4;
    record.contact_id_data = &id;
    const auto bytes = pack(record);
    CHECK(bytes.size() == 4480 + 5 + 5104);
    CHECK(std::memcmp(bytes.data() + 4480, "away", 5) == 0);
    CHECK(std::memcmp(bytes.data() + 4485, &id, sizeof id) == 0);
}

void a_section_without_its_pointer_is_left_out()
{
    contact_t record = blank();
    record.email_info_cnt = 3; // the caller broke the invariant: no data
    CHECK(pack(record).size() == 4480);
}

void full_record_round_trips()
{
    contact_phone_info_t phones[3] = {};
    for (int i = 0; i < 3; ++i) {
        phones[i].type = i;
        std::snprintf(phones[i].number, sizeof phones[i].number, "0100 555 %04d", i);
    }
    contact_email_info_t email = {};
    std::strcpy(email.address, "ada@example.org");
    contact_postal_info_t postal = {};
    std::strcpy(postal.city, "London");
    contact_sns_t sns[2] = {};
    std::strcpy(sns[1].account, "@ada");
    contact_im_t im = {};
    im.status = 2;
    static contact_id_data_t id;
    for (std::size_t i = 0; i < sizeof id; ++i)
        reinterpret_cast<unsigned char *>(&id)[i] = static_cast<unsigned char>(i * 7);
    char note[] = "first line\nsecond line";
    char about[] = "mathematician";
    char presence[] = "in a meeting";

    contact_t record = blank();
    for (std::size_t i = 0; i < sizeof record.reserved_account; ++i)
        record.reserved_account[i] = static_cast<char>(i);
    record.frequency = 12;
    record.reserved_tail = -99;
    std::strcpy(record.display_name, "Ada");
    record.phone_info = phones;
    record.phone_info_cnt = 3;
    record.email_info = &email;
    record.email_info_cnt = 1;
    record.postal_info = &postal;
    record.postal_info_cnt = 1;
    record.note = note;
    record.note_len = int(std::strlen(note));
    record.about = about;
    record.about_len = int(std::strlen(about));
    record.sns = sns;
    record.sns_cnt = 2;
    record.im = &im;
    record.im_cnt = 1;
    record.presence_text = presence;
    record.presence_text_len = int(std::strlen(presence));
    record.contact_id_data = &id;

    const auto bytes = pack(record);
    CHECK(bytes.size() == contact_wire::announced_size(bytes.data()));

    contact_t back = blank();
    CHECK(contact_codec::deserialize(bytes.data(), bytes.size(), back, NoTrace{}) == contact_codec::Unpacked::Ok);
    CHECK(back.frequency == 12 && back.reserved_tail == -99);
    CHECK(std::memcmp(back.reserved_account, record.reserved_account, sizeof record.reserved_account) == 0);
    CHECK(back.phone_info != phones && std::memcmp(back.phone_info, phones, sizeof phones) == 0);
    CHECK(std::memcmp(back.email_info, &email, sizeof email) == 0);
    CHECK(std::memcmp(back.postal_info, &postal, sizeof postal) == 0);
    CHECK(std::strcmp(back.note, note) == 0 && std::strcmp(back.about, about) == 0);
    CHECK(std::memcmp(back.sns, sns, sizeof sns) == 0 && std::memcmp(back.im, &im, sizeof im) == 0);
    CHECK(std::strcmp(back.presence_text, presence) == 0);
    CHECK(std::memcmp(back.contact_id_data, &id, sizeof id) == 0);
    // Packing what came back gives the same bytes but for the pointer values.
    auto again = pack(back);
    CHECK(again.size() == bytes.size());
    for (const auto &field : contact_codec::kFields)
        if (field.kind == contact_codec::FieldKind::Pointer)
            for (auto *buffer : {&again, const_cast<std::vector<std::uint8_t> *>(&bytes)})
                contact_wire::write_i32(buffer->data(), field.wire_offset, 0);
    CHECK(again == bytes);
    contact_test::free_contact_sections(back);
}

void short_arrays_are_rejected_without_touching_the_record()
{
    contact_test::SampleContact contact;
    contact.phone("1").phone("2").note("abc");
    const auto bytes = pack(contact.record);

    contact_t target = blank();
    std::strcpy(target.display_name, "untouched");
    for (std::size_t cut : {std::size_t(0), std::size_t(100), std::size_t(4479), std::size_t(4480), bytes.size() - 1})
        CHECK(contact_codec::deserialize(bytes.data(), cut, target, NoTrace{}) == contact_codec::Unpacked::Short);
    CHECK(std::strcmp(target.display_name, "untouched") == 0 && target.phone_info == nullptr);

    // A negative count announces nothing valid.
    auto negative = bytes;
    contact_wire::write_i32(negative.data(), contact_wire::offset::im_cnt, -1);
    CHECK(contact_codec::deserialize(negative.data(), negative.size(), target, NoTrace{}) ==
          contact_codec::Unpacked::Short);
    // An id-data pointer without its block.
    auto no_block = bytes;
    contact_wire::write_i32(no_block.data(), contact_wire::offset::contact_id_data, 1);
    CHECK(contact_codec::deserialize(no_block.data(), no_block.size(), target, NoTrace{}) ==
          contact_codec::Unpacked::Short);
    CHECK(std::strcmp(target.display_name, "untouched") == 0);
}

void non_null_pointers_never_travel_as_zero()
{
    CHECK(contact_codec::pointer_wire_value(nullptr) == 0);
    CHECK(contact_codec::pointer_wire_value(reinterpret_cast<void *>(std::uintptr_t(0x1234))) == 0x1234);
#if __SIZEOF_POINTER__ == 8
    CHECK(contact_codec::pointer_wire_value(reinterpret_cast<void *>(std::uintptr_t(1) << 32)) != 0);
#endif
}

void native_layout_is_the_wire_layout_on_32_bit()
{
#if __SIZEOF_POINTER__ == 4
    contact_phone_info_t phone = {};
    char note[] = "n";
    contact_t record = blank();
    std::strcpy(record.display_name, "Byte for byte");
    record.phone_info = &phone;
    record.phone_info_cnt = 1;
    record.note = note;
    record.note_len = 1;
    const auto bytes = pack(record);
    CHECK(std::memcmp(bytes.data(), &record, sizeof record) == 0);
    std::printf("32-bit target: contact_t is %zu bytes, identical to the wire form\n", sizeof record);
#endif
}

} // namespace

int main()
{
    record_without_sections_is_the_fixed_part();
    two_phones_and_a_note_in_order();
    id_block_comes_last();
    a_section_without_its_pointer_is_left_out();
    full_record_round_trips();
    short_arrays_are_rejected_without_touching_the_record();
    non_null_pointers_never_travel_as_zero();
    native_layout_is_the_wire_layout_on_32_bit();
    std::printf("record codec (%d-bit): %d passed, %d failed\n", int(sizeof(void *) * 8), g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
