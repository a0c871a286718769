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

TEST(ErrorMapping, LeadingNumberIsTheCode)
{
    EXPECT_EQ(code_of("23 the rest of the text"), 23);
    EXPECT_EQ(code_of("12: no contact at index 7"), 12);
    EXPECT_EQ(code_of("  -4 spaces and a sign are accepted"), -4);
    EXPECT_EQ(code_of("+8"), 8);
}

TEST(ErrorMapping, TextWithoutLeadingNumberIsZero)
{
    EXPECT_EQ(code_of("The name com.quorvel.contact.engine was not provided by any .service files"), 0);
    EXPECT_EQ(code_of(""), 0);
    EXPECT_EQ(code_of("code 23"), 0);
}

TEST(ErrorMapping, DomainAndNumericCodeAreIgnored)
{
    EXPECT_EQ(code_of("41 text", g_quark_from_static_string("other"), 99), 41);
    EXPECT_EQ(code_of("no number", g_quark_from_static_string("other"), 99), 0);
}

// As strtol does where long is 32 bits: beyond the int range the code
// saturates, it never wraps.
TEST(ErrorMapping, NumbersBeyondTheIntRangeSaturate)
{
    EXPECT_EQ(code_of("2147483647: the largest"), INT_MAX);
    EXPECT_EQ(code_of("2147483648: one past"), INT_MAX);
    EXPECT_EQ(code_of("99999999999"), INT_MAX);
    EXPECT_EQ(code_of("4294967308 would wrap to 12"), INT_MAX);
    EXPECT_EQ(code_of("-2147483648"), INT_MIN);
    EXPECT_EQ(code_of("-2147483649"), INT_MIN);
    EXPECT_EQ(code_of("-99999999999"), INT_MIN);
    EXPECT_EQ(code_of("99999999999999999999999 beyond 64 bits too"), INT_MAX);
    EXPECT_EQ(code_of("-99999999999999999999999"), INT_MIN);
}

TEST(ErrorMappingDeathTest, NullErrorIsAPrecondition)
{
    EXPECT_DEATH(_get_error_code_by_gerror(nullptr), "error != \\(\\(void \\*\\)0\\)");
}

} // namespace
