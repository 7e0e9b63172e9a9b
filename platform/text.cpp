#include "platform/text.h"

namespace platform {

size_t AsciiPrefix(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && static_cast<unsigned char>(text[i]) < 0x80) ++i;
    return i;
}

std::u16string Utf8ToUtf16Lossy(std::string_view text, bool* replaced) {
    // The ASCII run at the start (most texts are ASCII throughout) is
    // widened in one sweep; the rest is decoded sequence by sequence.
    const size_t ascii = AsciiPrefix(text);
    std::u16string out(ascii, u'\0');
    out.reserve(text.size());
    for (size_t k = 0; k < ascii; ++k) out[k] = static_cast<char16_t>(text[k]);
    auto bad = [&](size_t length) {
        out.push_back(u'\uFFFD');
        if (replaced != nullptr) *replaced = true;
        return length;
    };
    size_t i = ascii;
    while (i < text.size()) {
        unsigned char lead = static_cast<unsigned char>(text[i]);
        char32_t cp;
        size_t count;
        char32_t minimum;
        if (lead < 0x80) {
            out.push_back(lead);
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            cp = lead & 0x1F;
            count = 1;
            minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            cp = lead & 0x0F;
            count = 2;
            minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            cp = lead & 0x07;
            count = 3;
            minimum = 0x10000;
        } else {
            i += bad(1);
            continue;
        }
        size_t k = 1;
        for (; k <= count && i + k < text.size(); ++k) {
            unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) break;
            cp = (cp << 6) | (next & 0x3F);
        }
        if (k <= count) {
            // Broken off: the lead and the continuation bytes before the
            // break are one bad sequence; the next byte starts afresh.
            i += bad(k);
            continue;
        }
        if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            i += bad(count + 1);
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += count + 1;
    }
    return out;
}

std::string Utf16ToUtf8Lossy(std::u16string_view text, bool* replaced) {
    // As above: the ASCII run at the start in one sweep.
    size_t ascii = 0;
    while (ascii < text.size() && text[ascii] < 0x80) ++ascii;
    std::string out(ascii, '\0');
    out.reserve(text.size());
    for (size_t k = 0; k < ascii; ++k) out[k] = static_cast<char>(text[k]);
    for (size_t i = ascii; i < text.size(); ++i) {
        char32_t cp = text[i];
        const bool high = cp >= 0xD800 && cp <= 0xDBFF;
        const bool low = cp >= 0xDC00 && cp <= 0xDFFF;
        if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (high || low) {
            cp = 0xFFFD;
            if (replaced != nullptr) *replaced = true;
        }
        AppendUtf8(out, cp);
    }
    return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
    bool replaced = false;
    std::u16string out = Utf8ToUtf16Lossy(text, &replaced);
    return replaced ? std::u16string() : out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
    bool replaced = false;
    std::string out = Utf16ToUtf8Lossy(text, &replaced);
    return replaced ? std::string() : out;
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

}  // namespace platform
