// The library's decoding of replies of fixed-size records through its call
// frame (Operation::records) and the record codecs: groups, index lists,
// result-set contacts (fixed parts), speed dials, SIM status, used status
// and AAS records.  Input: the kind (byte 0), the count the reply announces
// (4 bytes), then the reply's bytes.  A reply either decodes every record
// from inside its bytes, or is refused with code 33 leaving the caller's
// array as it was.
#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "contact-engine-frame.h"
#include "contact-engine-speed-dial-wire.h"
#include "contact-record-codec.h"
#include "fuzz-input.h"
#include "group-record-codec.h"
#include "library-array.h"
#include "sim-record-layout.h"

namespace {

constexpr std::uint8_t kPattern = 0xa5;

template <class Record, class Decode>
void decode_reply(fuzz::Input &input, std::size_t record_size, Decode decode)
{
    const std::int32_t count = input.i32();
    const fuzz::ExactArray exact(input.rest(), 1);
    const std::uint8_t *begin = reinterpret_cast<const std::uint8_t *>(exact.get()->data);
    const std::uint8_t *end = begin + exact.get()->len;
    // Room for every record the bytes can hold: a decoder that is called
    // for more writes past it.
    std::vector<Record> records(exact.get()->len / record_size);
    auto *memory = reinterpret_cast<std::uint8_t *>(records.data());
    std::fill(memory, memory + records.size() * sizeof(Record), kPattern);

    int error_code = 0;
    contact_frame::ByteArray reply(exact.get());
    contact_frame::Operation op("reply-records", &error_code);
    op.records(reply, count, record_size, "%u bytes for %d records", [&](int i, const guint8 *record) {
        fuzz::require(record >= begin && record + record_size <= end);
        decode(record, records.at(std::size_t(i)));
    });
    reply.release(); // the exact array frees itself
    if (op.result() == 0) {
        fuzz::require(error_code == CONTACT_ERROR_MALFORMED_REPLY);
        const auto *bytes = reinterpret_cast<const std::uint8_t *>(records.data());
        for (std::size_t i = 0; i < records.size() * sizeof(Record); ++i)
            fuzz::require(bytes[i] == kPattern);
    }
}

void read_int(const std::uint8_t *wire, int &value)
{
    value = contact_wire::read_i32(wire, 0);
}

void read_speed_dial(const std::uint8_t *wire, speed_dial_t &dial)
{
    namespace at = speed_dial_wire::offset;
    dial = {contact_wire::read_i32(wire, at::index), contact_wire::read_i32(wire, at::storage_type),
            contact_wire::read_i32(wire, at::contact_index), contact_wire::read_i32(wire, at::phone_position)};
}

using Kind = void (*)(fuzz::Input &);
constexpr std::array<Kind, 7> kKinds{{
    [](fuzz::Input &in) { decode_reply<group_t>(in, group_wire::kRecordSize, group_codec::decode); },
    [](fuzz::Input &in) { decode_reply<int>(in, 4, read_int); },
    [](fuzz::Input &in) { decode_reply<contact_t>(in, contact_wire::kFixedSize, contact_codec::decode_fixed); },
    [](fuzz::Input &in) { decode_reply<speed_dial_t>(in, speed_dial_wire::kSize, read_speed_dial); },
    [](fuzz::Input &in) { decode_reply<sim_status_t>(in, sim_wire::status::kSize, sim_layout::read_status); },
    [](fuzz::Input &in) { decode_reply<sim_used_status_t>(in, sim_wire::used::kSize, sim_layout::read_used_status); },
    [](fuzz::Input &in) { decode_reply<sim_aas_record_t>(in, sim_wire::aas::kSize, sim_layout::read_aas); },
}};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz::Input input(data, size);
    kKinds[input.byte() % kKinds.size()](input);
    return 0;
}
