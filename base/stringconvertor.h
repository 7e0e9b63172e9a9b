// CStringConvertor: conversions between the wide (UTF-16) text that the
// management interface delivers and the narrow text the rest of the listener
// handles (UTF-8, this system's code page). Holds no state; the conversions
// are static and may be called from any thread. A failed conversion, an
// empty input and a null input all give the empty string.
#pragma once

#include <string>
#include <string_view>

class CStringConvertor {
  public:
    virtual ~CStringConvertor();

    // Wide text up to its first NUL, as narrow text. Used for every text
    // that comes from the management interface (event fields, status texts).
    static std::string WideToNarrow(const char16_t* text);
    static std::string WideToNarrow(std::u16string_view text);
    // UTF-8 text as wide text, cut at its first NUL.
    static std::u16string Utf8ToWide(const char* text);
    static std::u16string Utf8ToWide(std::string_view text);
    // Wide text as UTF-8, cut at its first NUL.
    static std::string WideToUtf8(const char16_t* text);
    static std::string WideToUtf8(std::u16string_view text);
};
