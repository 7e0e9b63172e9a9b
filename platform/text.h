// Text codec between narrow text (UTF-8, the code page of this system) and
// wide text (UTF-16, what the management interface delivers). Stateless and
// thread-safe. Invalid input (bad UTF-8 sequences, overlong forms, encoded
// surrogates, code points above U+10FFFF, unpaired UTF-16 surrogates) gives
// the empty string, as callers expect of a failed conversion. Embedded NULs
// are converted like any other character.
#pragma once

#include <string>
#include <string_view>

namespace platform {

std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

// The same conversions for text that must not be lost for one bad
// character (event text): each invalid sequence (of UTF-8: a byte that
// cannot start one, or a lead byte with the continuation bytes that fit it
// before the sequence broke off; of UTF-16: an unpaired surrogate) becomes
// one U+FFFD and the rest of the text is converted. *replaced, when given,
// is set when that happened.
std::u16string Utf8ToUtf16Lossy(std::string_view text, bool* replaced = nullptr);
std::string Utf16ToUtf8Lossy(std::u16string_view text, bool* replaced = nullptr);

// How many bytes at the start of `text` are ASCII (below 0x80); in ASCII,
// UTF-8 and UTF-16 hold the same characters one for one.
size_t AsciiPrefix(std::string_view text);

// Appends one code point, at most U+10FFFF, to `out` as one to four bytes of
// UTF-8. The code point is not checked further: a caller that must produce
// valid text keeps surrogates (U+D800..U+DFFF) and larger values out.
void AppendUtf8(std::string& out, char32_t codePoint);

}  // namespace platform
