// Shape matching for test output: in the pattern '#' stands for one decimal
// digit and '*' for any run of characters (also none); every other
// character stands for itself.
#pragma once

#include <string_view>

inline bool MatchesShape(std::string_view text, std::string_view pattern) {
    if (pattern.empty()) return text.empty();
    if (pattern[0] == '*') {
        for (size_t skip = 0; skip <= text.size(); ++skip) {
            if (MatchesShape(text.substr(skip), pattern.substr(1))) return true;
        }
        return false;
    }
    if (text.empty()) return false;
    bool same = pattern[0] == '#' ? (text[0] >= '0' && text[0] <= '9') : text[0] == pattern[0];
    return same && MatchesShape(text.substr(1), pattern.substr(1));
}
