// ASCII text helpers shared by the engine and every provider: WMI's
// keywords, class, property and namespace names, HTTP header names and
// WS-Management's numbers are ASCII, and compare without regard to case
// only for the letters A-Z. Pure functions, callable from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace wmi::cim {

// `c` with A-Z lowered; every other byte as it is.
inline char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// `text` with A-Z lowered.
std::string ToLowerAscii(std::string_view text);

// Whether `a` and `b` are equal when ASCII letters compare without regard
// to case.
bool EqualsIgnoringCase(std::string_view a, std::string_view b);

// Three-way comparison (-1, 0, 1) of `a` and `b`, ASCII letters without
// regard to case, other bytes by their unsigned value.
int CompareIgnoringCase(std::string_view a, std::string_view b);

// A decimal integer: an optional sign, then one digit at least, nothing
// else. False for anything else or a value outside int64_t; `value` is then
// unchanged.
bool ParseInteger(std::string_view text, int64_t& value);

}  // namespace wmi::cim
