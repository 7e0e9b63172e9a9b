#include "base/stringconvertor.h"

#include "platform/text.h"

namespace {

std::u16string_view UpToNul(std::u16string_view text) {
    size_t nul = text.find(u'\0');
    return nul == std::u16string_view::npos ? text : text.substr(0, nul);
}

std::string_view UpToNul(std::string_view text) {
    size_t nul = text.find('\0');
    return nul == std::string_view::npos ? text : text.substr(0, nul);
}

}  // namespace

CStringConvertor::~CStringConvertor() = default;

std::string CStringConvertor::WideToNarrow(const char16_t* text) {
    if (text == nullptr) return std::string();
    return WideToNarrow(std::u16string_view(text));
}

std::string CStringConvertor::WideToNarrow(std::u16string_view text) {
    // Narrow text is UTF-8 here, so this is the UTF-8 conversion.
    return platform::Utf16ToUtf8(UpToNul(text));
}

std::u16string CStringConvertor::Utf8ToWide(const char* text) {
    if (text == nullptr) return std::u16string();
    return Utf8ToWide(std::string_view(text));
}

std::u16string CStringConvertor::Utf8ToWide(std::string_view text) {
    return platform::Utf8ToUtf16(UpToNul(text));
}

std::string CStringConvertor::WideToUtf8(const char16_t* text) {
    if (text == nullptr) return std::string();
    return WideToUtf8(std::u16string_view(text));
}

std::string CStringConvertor::WideToUtf8(std::u16string_view text) {
    return platform::Utf16ToUtf8(UpToNul(text));
}
