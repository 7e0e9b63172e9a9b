// QUELLON_PRINTF_FORMAT(format, first): marks a function that takes a printf
// format and its arguments, so the compiler checks every call. The checks
// follow the C library the program formats with: the C99 one everywhere
// (on Windows the build selects mingw-w64's, which knows %zu and %lld,
// rather than the system's own, whose rules GCC would otherwise apply).
#pragma once

#if defined(__MINGW32__) && !defined(__clang__)
#define QUELLON_PRINTF_FORMAT(format, first) \
    __attribute__((__format__(__gnu_printf__, format, first)))
#else
#define QUELLON_PRINTF_FORMAT(format, first) __attribute__((__format__(__printf__, format, first)))
#endif
