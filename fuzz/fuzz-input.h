// What every harness shares: the fuzzer's bytes read front to back (a
// selector, a count, then the rest as the bytes under test), and the
// library's log lines kept off stderr (millions of refusals are expected).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

namespace fuzz {

class Input {
public:
    Input(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t byte()
    {
        if (size_ == 0)
            return 0;
        --size_;
        return *data_++;
    }
    std::int32_t i32()
    {
        std::uint32_t value = 0;
        for (int shift = 0; shift < 32; shift += 8)
            value |= std::uint32_t(byte()) << shift;
        return std::int32_t(value);
    }
    std::vector<std::uint8_t> rest() const { return {data_, data_ + size_}; }

private:
    const std::uint8_t *data_;
    std::size_t size_;
};

// Errors the library logs go nowhere while a harness runs.
inline const bool kQuiet = (setenv("DEBUG_MESSAGE_QUIET", "1", 1), true);

// A harness checks what its decoder promises; a broken promise aborts, which
// the fuzzer reports as a finding like a memory error.
inline void require(bool holds)
{
    if (!holds)
        std::abort();
}

} // namespace fuzz
