// Packing contact_t into its byte-array form and back, field by field.
//
// The wire form is the 32-bit little-endian layout whatever the host: every
// field of contact_t is listed once below with its wire offset, and the
// codec walks that table.  On a 32-bit little-endian target the struct is
// the wire layout itself, which the static_asserts at the end prove.  No
// GLib here: the bytes go to any sink with append(const void *, size_t), so
// the same code is cross-built and run on ARM.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "contact-engine-wire.h"
#include "contact-engine.h"

namespace contact_codec {

enum class FieldKind { Int, Pointer, Bytes };

struct Field {
    std::size_t wire_offset;
    std::size_t native_offset;
    std::size_t width; // wire width; native width for Bytes and Int
    FieldKind kind;
};

#define CONTACT_FIELD(name, wire, kind)                                                                            \
    Field                                                                                                          \
    {                                                                                                              \
        wire, offsetof(contact_t, name),                                                                           \
            FieldKind::kind == FieldKind::Bytes ? sizeof(contact_t::name) : std::size_t(4), FieldKind::kind       \
    }

inline constexpr std::array<Field, 55> kFields{{
    CONTACT_FIELD(index, 0, Int),
    CONTACT_FIELD(storage_type, 4, Int),
    CONTACT_FIELD(frequency, 8, Int),
    CONTACT_FIELD(is_favourite, 12, Int),
    CONTACT_FIELD(first_name, 16, Bytes),
    CONTACT_FIELD(last_name, 80, Bytes),
    CONTACT_FIELD(name_prefix, 144, Bytes),
    CONTACT_FIELD(name_suffix, 164, Bytes),
    CONTACT_FIELD(birthday, 184, Bytes),
    CONTACT_FIELD(anniversary, 195, Bytes),
    CONTACT_FIELD(display_name, 203, Bytes),
    CONTACT_FIELD(nickname, 331, Bytes),
    CONTACT_FIELD(company, 395, Bytes),
    CONTACT_FIELD(job_title, 523, Bytes),
    CONTACT_FIELD(department, 587, Bytes),
    CONTACT_FIELD(ringtone_path, 651, Bytes),
    CONTACT_FIELD(reserved_tone, 779, Bytes),
    CONTACT_FIELD(phone_info, 792, Pointer),
    CONTACT_FIELD(email_info, 796, Pointer),
    CONTACT_FIELD(photo_path, 800, Bytes),
    CONTACT_FIELD(website, 1056, Bytes),
    CONTACT_FIELD(phonetic_first_name, 1312, Bytes),
    CONTACT_FIELD(phonetic_last_name, 1376, Bytes),
    CONTACT_FIELD(middle_name, 1440, Bytes),
    CONTACT_FIELD(message_tone_path, 1504, Bytes),
    CONTACT_FIELD(reserved_names, 1760, Bytes),
    CONTACT_FIELD(postal_info, 2280, Pointer),
    CONTACT_FIELD(note, 2284, Pointer),
    CONTACT_FIELD(account_name, 2288, Bytes),
    CONTACT_FIELD(source_uid, 2352, Bytes),
    CONTACT_FIELD(created_time, 2416, Int),
    CONTACT_FIELD(modified_time, 2420, Int),
    CONTACT_FIELD(last_call_time, 2424, Int),
    CONTACT_FIELD(reserved_account, 2428, Bytes),
    CONTACT_FIELD(presence_text, 4248, Pointer),
    CONTACT_FIELD(presence_status, 4252, Int),
    CONTACT_FIELD(reserved_presence, 4256, Bytes),
    CONTACT_FIELD(sns, 4280, Pointer),
    CONTACT_FIELD(im, 4284, Pointer),
    CONTACT_FIELD(is_blocked, 4288, Int),
    CONTACT_FIELD(is_hidden, 4292, Int),
    CONTACT_FIELD(reserved_flags, 4296, Bytes),
    CONTACT_FIELD(sns_cnt, 4312, Int),
    CONTACT_FIELD(im_cnt, 4316, Int),
    CONTACT_FIELD(presence_text_len, 4320, Int),
    CONTACT_FIELD(custom_label, 4324, Bytes),
    CONTACT_FIELD(reserved_label, 4388, Bytes),
    CONTACT_FIELD(about, 4444, Pointer),
    CONTACT_FIELD(about_len, 4448, Int),
    CONTACT_FIELD(revision, 4452, Int),
    CONTACT_FIELD(contact_id_data, 4456, Pointer),
    CONTACT_FIELD(phone_info_cnt, 4460, Int),
    CONTACT_FIELD(email_info_cnt, 4464, Int),
    CONTACT_FIELD(note_len, 4468, Int),
    CONTACT_FIELD(postal_info_cnt, 4472, Int),
}};
// reserved_tail closes the record; it is listed separately because the
// array above is easier to check against the header without it.
inline constexpr Field kTailField = CONTACT_FIELD(reserved_tail, 4476, Int);
#undef CONTACT_FIELD

// The table covers the 4480 bytes exactly, in order, without gaps.
constexpr bool fields_cover_record()
{
    std::size_t next = 0;
    for (const Field &field : kFields) {
        if (field.wire_offset != next)
            return false;
        next += field.width;
    }
    return next == kTailField.wire_offset && next + kTailField.width == contact_wire::kFixedSize;
}
static_assert(fields_cover_record(), "contact_t field table must cover the 4480-byte record");

inline const unsigned char *native_bytes(const contact_t &record) { return reinterpret_cast<const unsigned char *>(&record); }
inline unsigned char *native_bytes(contact_t &record) { return reinterpret_cast<unsigned char *>(&record); }

// A pointer travels as 4 raw bytes.  On a 64-bit host the low half of a
// non-NULL pointer could be 0, which the receiver would read as "absent", so
// such a pointer is sent as 0xffffffff instead.
inline std::int32_t pointer_wire_value(const void *pointer)
{
    if (pointer == nullptr)
        return 0;
    const auto low = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(pointer));
    return static_cast<std::int32_t>(low != 0 ? low : 0xffffffffu);
}

inline void encode_field(const Field &field, const contact_t &record, std::uint8_t *wire)
{
    const unsigned char *native = native_bytes(record) + field.native_offset;
    switch (field.kind) {
    case FieldKind::Int: {
        int value;
        std::memcpy(&value, native, sizeof value);
        contact_wire::write_i32(wire, field.wire_offset, value);
        break;
    }
    case FieldKind::Pointer: {
        const void *pointer;
        std::memcpy(&pointer, native, sizeof pointer);
        contact_wire::write_i32(wire, field.wire_offset, pointer_wire_value(pointer));
        break;
    }
    case FieldKind::Bytes:
        std::memcpy(wire + field.wire_offset, native, field.width);
        break;
    }
}

// Received pointer values are the sender's and never addresses here, so
// they are not copied: the pointer fields come out NULL and only sections
// that the unpacker allocates are set.
inline void decode_field(const Field &field, const std::uint8_t *wire, contact_t &record)
{
    unsigned char *native = native_bytes(record) + field.native_offset;
    switch (field.kind) {
    case FieldKind::Int: {
        const int value = contact_wire::read_i32(wire, field.wire_offset);
        std::memcpy(native, &value, sizeof value);
        break;
    }
    case FieldKind::Pointer: {
        const void *pointer = nullptr;
        std::memcpy(native, &pointer, sizeof pointer);
        break;
    }
    case FieldKind::Bytes:
        std::memcpy(native, wire + field.wire_offset, field.width);
        break;
    }
}

inline void encode_fixed(const contact_t &record, std::uint8_t wire[contact_wire::kFixedSize])
{
    for (const Field &field : kFields)
        encode_field(field, record, wire);
    encode_field(kTailField, record, wire);
}

inline void decode_fixed(const std::uint8_t wire[contact_wire::kFixedSize], contact_t &record)
{
    for (const Field &field : kFields)
        decode_field(field, wire, record);
    decode_field(kTailField, wire, record);
}

// The caller's section pointers and their counts, in byte-array order.
struct SectionView {
    const void *data;
    std::int32_t count;
};

inline std::array<SectionView, contact_wire::kSections.size()> sections_of(const contact_t &record)
{
    return {{{record.phone_info, record.phone_info_cnt},
             {record.email_info, record.email_info_cnt},
             {record.postal_info, record.postal_info_cnt},
             {record.note, record.note_len},
             {record.about, record.about_len},
             {record.sns, record.sns_cnt},
             {record.im, record.im_cnt},
             {record.presence_text, record.presence_text_len}}};
}

inline std::array<void **, contact_wire::kSections.size()> section_slots(contact_t &record)
{
    return {{reinterpret_cast<void **>(&record.phone_info), reinterpret_cast<void **>(&record.email_info),
             reinterpret_cast<void **>(&record.postal_info), reinterpret_cast<void **>(&record.note),
             reinterpret_cast<void **>(&record.about), reinterpret_cast<void **>(&record.sns),
             reinterpret_cast<void **>(&record.im), reinterpret_cast<void **>(&record.presence_text)}};
}

// Appends the whole byte-array form: the fixed part, each section whose
// pointer is set and count not 0, then the id block.
template <class Sink> void serialize(Sink &sink, const contact_t &record)
{
    std::uint8_t fixed[contact_wire::kFixedSize];
    encode_fixed(record, fixed);
    sink.append(fixed, sizeof fixed);
    const auto views = sections_of(record);
    for (std::size_t i = 0; i < views.size(); ++i) {
        const std::size_t bytes = contact_wire::section_bytes(contact_wire::kSections[i], views[i].count);
        if (views[i].data != nullptr && bytes != 0)
            sink.append(views[i].data, bytes);
    }
    if (record.contact_id_data != nullptr)
        sink.append(record.contact_id_data, contact_wire::kIdDataSize);
}

enum class Unpacked { Ok, Short, NoMemory };

// Unpacks a whole contact.  The record is written only when every announced
// section lies inside the data and every allocation succeeded.  `trace`
// receives fixed(record), section(position in kSections, count) and id_data().
template <class Trace> Unpacked deserialize(const std::uint8_t *data, std::size_t length, contact_t &record, Trace trace)
{
    if (length < contact_wire::kFixedSize || contact_wire::announced_size(data) == 0 ||
        contact_wire::announced_size(data) > length)
        return Unpacked::Short;

    contact_t unpacked;
    decode_fixed(data, unpacked);
    trace.fixed(unpacked);
    std::size_t position = contact_wire::kFixedSize;
    bool allocated = true;
    const auto slots = section_slots(unpacked);
    for (std::size_t i = 0; i < slots.size(); ++i) {
        const contact_wire::Section &section = contact_wire::kSections[i];
        const std::int32_t count = contact_wire::read_i32(data, section.count_offset);
        const std::size_t bytes = contact_wire::section_bytes(section, count);
        if (bytes == 0)
            continue;
        trace.section(i, count);
        void *copy = section.kind == contact_wire::SectionKind::Text ? std::calloc(bytes, 1)
                                                                    : std::calloc(std::size_t(count), section.element_size);
        if (copy != nullptr)
            std::memcpy(copy, data + position, bytes);
        allocated = allocated && copy != nullptr;
        *slots[i] = copy;
        position += bytes;
    }
    if (contact_wire::read_i32(data, contact_wire::offset::contact_id_data) != 0) {
        trace.id_data();
        void *copy = std::calloc(1, contact_wire::kIdDataSize);
        if (copy != nullptr)
            std::memcpy(copy, data + position, contact_wire::kIdDataSize);
        allocated = allocated && copy != nullptr;
        unpacked.contact_id_data = static_cast<contact_id_data_t *>(copy);
    }
    if (!allocated) {
        for (void **slot : slots)
            std::free(*slot);
        std::free(unpacked.contact_id_data);
        return Unpacked::NoMemory;
    }
    record = unpacked;
    return Unpacked::Ok;
}

// On a 32-bit target the native struct is the wire layout byte for byte.
#if defined(__SIZEOF_POINTER__) && __SIZEOF_POINTER__ == 4
static_assert(sizeof(contact_t) == contact_wire::kFixedSize);
static_assert(offsetof(contact_t, display_name) == contact_wire::offset::display_name);
static_assert(offsetof(contact_t, phone_info) == contact_wire::offset::phone_info);
static_assert(offsetof(contact_t, email_info) == contact_wire::offset::email_info);
static_assert(offsetof(contact_t, postal_info) == contact_wire::offset::postal_info);
static_assert(offsetof(contact_t, note) == contact_wire::offset::note);
static_assert(offsetof(contact_t, presence_text) == contact_wire::offset::presence_text);
static_assert(offsetof(contact_t, sns) == contact_wire::offset::sns);
static_assert(offsetof(contact_t, im) == contact_wire::offset::im);
static_assert(offsetof(contact_t, sns_cnt) == contact_wire::offset::sns_cnt);
static_assert(offsetof(contact_t, im_cnt) == contact_wire::offset::im_cnt);
static_assert(offsetof(contact_t, presence_text_len) == contact_wire::offset::presence_text_len);
static_assert(offsetof(contact_t, about) == contact_wire::offset::about);
static_assert(offsetof(contact_t, about_len) == contact_wire::offset::about_len);
static_assert(offsetof(contact_t, contact_id_data) == contact_wire::offset::contact_id_data);
static_assert(offsetof(contact_t, phone_info_cnt) == contact_wire::offset::phone_info_cnt);
static_assert(offsetof(contact_t, email_info_cnt) == contact_wire::offset::email_info_cnt);
static_assert(offsetof(contact_t, note_len) == contact_wire::offset::note_len);
static_assert(offsetof(contact_t, postal_info_cnt) == contact_wire::offset::postal_info_cnt);

constexpr bool native_is_wire()
{
    for (const Field &field : kFields)
        if (field.native_offset != field.wire_offset)
            return false;
    return kTailField.native_offset == kTailField.wire_offset;
}
static_assert(native_is_wire(), "on a 32-bit target contact_t must be the wire layout");
#endif

static_assert(sizeof(contact_phone_info_t) == contact_wire::kPhoneInfoSize);
static_assert(sizeof(contact_email_info_t) == contact_wire::kEmailInfoSize);
static_assert(sizeof(contact_postal_info_t) == contact_wire::kPostalInfoSize);
static_assert(sizeof(contact_sns_t) == contact_wire::kSnsSize);
static_assert(sizeof(contact_im_t) == contact_wire::kImSize);
static_assert(sizeof(contact_id_data_t) == contact_wire::kIdDataSize);

} // namespace contact_codec
