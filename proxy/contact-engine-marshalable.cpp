// Mapping of a failed call to the library's error code: the service starts
// every error message with the decimal code ("12: no contact at index 7").
// The error's name, domain and numeric code are deliberately ignored; a text
// without a leading number (the bus's own errors) maps to 0.
#include <assert.h>
#include <limits.h>
#include <stdlib.h>

#include "contact-engine-internal.h"

extern "C" int _get_error_code_by_gerror(GError *error)
{
    assert(error != ((void *)0));
    if (error->message == nullptr)
        return 0;
    // strtoll, clamped to int: what strtol gives on the 32-bit target, where
    // long is 32 bits and a number beyond its range saturates.  On this
    // 64-bit host strtol alone would keep 64 bits and the cast would wrap.
    const long long code = strtoll(error->message, nullptr, 10);
    if (code > INT_MAX)
        return INT_MAX;
    if (code < INT_MIN)
        return INT_MIN;
    return int(code);
}
