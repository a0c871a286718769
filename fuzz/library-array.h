// A GArray as dbus-glib hands the library one, whose data is exactly the
// fuzzer's bytes: GLib rounds an array's storage up, so a read past `len`
// would otherwise land in slack that AddressSanitizer cannot see.  The
// array's own storage is put back before it is freed.
#pragma once

#include <glib.h>

#include <cstdint>
#include <vector>

namespace fuzz {

class ExactArray {
public:
    ExactArray(std::vector<std::uint8_t> bytes, guint element_size)
        : bytes_(std::move(bytes)), array_(g_array_new(FALSE, FALSE, element_size))
    {
        array_->data = reinterpret_cast<gchar *>(bytes_.empty() ? nullptr : bytes_.data());
        array_->len = guint(bytes_.size() / element_size);
    }
    ~ExactArray() { g_array_free(release(), TRUE); }
    ExactArray(const ExactArray &) = delete;
    ExactArray &operator=(const ExactArray &) = delete;

    GArray *get() const { return array_; }
    // The array with its own (empty) storage again, for a holder to free.
    GArray *release()
    {
        GArray *array = array_;
        array_ = nullptr;
        if (array != nullptr) {
            array->data = nullptr;
            array->len = 0;
        }
        return array;
    }

private:
    std::vector<std::uint8_t> bytes_;
    GArray *array_;
};

} // namespace fuzz
