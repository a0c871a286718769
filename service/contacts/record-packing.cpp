#include "contacts/record-packing.h"

#include <lz4.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "core/service-error.h"
#include "core/service-limits.h"

namespace contact_engine {

namespace {

constexpr std::array<std::uint8_t, 4> kTag{'L', 'Z', '4', 0x01};
constexpr std::size_t kHeader = kTag.size() + 4; // tag, original size

bool is_packed(const std::uint8_t *stored, std::size_t size)
{
    return size >= kHeader && std::equal(kTag.begin(), kTag.end(), stored);
}

} // namespace

Bytes pack_record(const Bytes &record)
{
    const int bound = LZ4_compressBound(int(record.size()));
    Bytes packed(kHeader + std::size_t(bound), 0);
    std::copy(kTag.begin(), kTag.end(), packed.begin());
    const auto size = std::uint32_t(record.size());
    for (int i = 0; i < 4; ++i)
        packed[kTag.size() + std::size_t(i)] = std::uint8_t(size >> (8 * i));
    const int written = LZ4_compress_default(reinterpret_cast<const char *>(record.data()),
                                             reinterpret_cast<char *>(packed.data() + kHeader), int(record.size()), bound);
    if (written <= 0)
        fail(kInternalError, "a record of " + std::to_string(record.size()) + " bytes could not be compressed");
    packed.resize(kHeader + std::size_t(written));
    return packed;
}

Bytes unpack_record(const std::uint8_t *stored, std::size_t size, std::size_t limit)
{
    if (!is_packed(stored, size))
        return Bytes(stored, stored + std::min(size, limit));
    std::uint32_t original = 0;
    for (int i = 0; i < 4; ++i)
        original |= std::uint32_t(stored[kTag.size() + std::size_t(i)]) << (8 * i);
    if (original > limits::kMaxRecordSize)
        fail(kDatabaseError, "a stored record claims " + std::to_string(original) + " bytes");
    const std::size_t wanted = std::min<std::size_t>(original, limit);
    Bytes record(wanted, 0);
    const int got = LZ4_decompress_safe_partial(reinterpret_cast<const char *>(stored + kHeader),
                                                reinterpret_cast<char *>(record.data()), int(size - kHeader),
                                                int(wanted), int(wanted));
    if (got != int(wanted))
        fail(kDatabaseError, "a stored record does not unpack");
    return record;
}

} // namespace contact_engine
