// Small text helpers the vCard reader's parts share: ASCII case, trimming,
// quoting and the coded failure that names a line.
#pragma once

#include <glib.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "core/service-error.h"

namespace contact_engine::vcard_detail {

inline bool equals_ignoring_case(std::string_view a, std::string_view b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return g_ascii_tolower(x) == g_ascii_tolower(y); });
}

inline bool starts_with_ignoring_case(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && equals_ignoring_case(text.substr(0, prefix.size()), prefix);
}

inline std::string upper(std::string_view text)
{
    std::string result(text);
    for (char &c : result)
        c = g_ascii_toupper(c);
    return result;
}

inline std::string lower(std::string_view text)
{
    std::string result(text);
    for (char &c : result)
        c = g_ascii_tolower(c);
    return result;
}

inline std::string_view trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

[[noreturn]] inline void fail_at(ErrorCode code, std::size_t line, const std::string &reason)
{
    fail(code, "line " + std::to_string(line) + ": " + reason);
}

// Index of the first `wanted` at or after `from` outside double quotes, or npos.
inline std::size_t find_outside_quotes(std::string_view line, std::size_t from, std::string_view wanted)
{
    bool quoted = false;
    for (std::size_t i = from; i < line.size(); ++i) {
        if (line[i] == '"')
            quoted = !quoted;
        else if (!quoted && wanted.find(line[i]) != std::string_view::npos)
            return i;
    }
    return std::string_view::npos;
}

inline bool is_line(std::string_view line, std::string_view expected)
{
    return equals_ignoring_case(trim(line), expected);
}

} // namespace contact_engine::vcard_detail
