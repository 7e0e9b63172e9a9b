// Compiler half of the pattern engine, private to CRegExp: parses pattern
// text into a small syntax tree and emits the flat instruction program the
// matcher in regexp.cpp runs. Stateless between calls; any thread.
#pragma once

#include <cstddef>
#include <vector>

#include "server/regexp.h"

namespace regexp_internal {

// Compiles pattern[0..length) (length > 0; already lowered when the caller
// wants case-insensitive matching) into program, replacing its contents.
// Returns CRegExp::ParseOk and sets groupCount and memoryCount, or returns
// an error code of CRegExp::TParseError and leaves program empty.
int Compile(const char* pattern, size_t length, std::vector<TRegExpInstruction>& program,
            int& groupCount, int& memoryCount);

}  // namespace regexp_internal
