#include "base/stringformat.h"

#include <cstdio>

std::string StringFormatV(const char* format, va_list args) {
    if (format == nullptr) return std::string();
    va_list measure;
    va_copy(measure, args);
    int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length <= 0) return std::string();
    std::string out(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), format, args);
    out.resize(static_cast<size_t>(length));
    return out;
}

std::string StringFormat(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string out = StringFormatV(format, args);
    va_end(args);
    return out;
}
