// Mapping of a failed call to the library's error code: the service starts
// every error message with the decimal code ("12: no contact at index 7").
// The error's name, domain and numeric code are deliberately ignored; a text
// without a leading number (the bus's own errors) maps to 0.
#include <assert.h>
#include <stdlib.h>

#include "contact-engine-internal.h"

extern "C" int _get_error_code_by_gerror(GError *error)
{
    assert(error != ((void *)0));
    if (error->message == nullptr)
        return 0;
    return int(strtol(error->message, nullptr, 10));
}
