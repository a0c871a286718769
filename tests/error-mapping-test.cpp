// Mapping of a failed call's error text to the caller's code.
#include <gtest/gtest.h>

#include <climits>

#include "contact-engine-internal.h"

namespace {

int code_of(const char *message, GQuark domain = g_quark_from_static_string("test"), int numeric = 5)
{
    GError *error = g_error_new_literal(domain, numeric, message);
    const int code = _get_error_code_by_gerror(error);
    g_error_free(error);
    return code;
}

// The number that starts the text is the code (whatever the error's domain
// and numeric code); no number is 0; as strtol does where long is 32 bits,
// beyond the int range the code saturates, it never wraps.
TEST(ErrorMapping, LeadingNumberIsTheCode)
{
    const struct {
        const char *text;
        int code;
    } cases[] = {
        {"23 the rest of the text", 23},
        {"12: no contact at index 7", 12},
        {"  -4 spaces and a sign are accepted", -4},
        {"+8", 8},
        {"The name com.quorvel.contact.engine was not provided by any .service files", 0},
        {"", 0},
        {"code 23", 0},
        {"2147483647: the largest", INT_MAX},
        {"2147483648: one past", INT_MAX},
        {"4294967308 would wrap to 12", INT_MAX},
        {"-2147483648", INT_MIN},
        {"-2147483649", INT_MIN},
        {"99999999999999999999999 beyond 64 bits too", INT_MAX},
        {"-99999999999999999999999", INT_MIN},
    };
    for (const auto &c : cases)
        EXPECT_EQ(code_of(c.text), c.code) << '"' << c.text << '"';
    EXPECT_EQ(code_of("41 text", g_quark_from_static_string("other"), 99), 41);
}

TEST(ErrorMappingDeathTest, NullErrorIsAPrecondition)
{
    EXPECT_DEATH(_get_error_code_by_gerror(nullptr), "error != \\(\\(void \\*\\)0\\)");
}

} // namespace
