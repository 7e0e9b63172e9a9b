// libFuzzer target of the pattern engine: compiles arbitrary patterns and
// matches them against arbitrary lines, checking that every reported span
// lies inside the input and that case-insensitive matching agrees with
// case-sensitive matching of lowered pattern and line.
//
// Input layout: one flags byte (bit 0 set: case-insensitive), the pattern,
// a NUL byte, the line (up to the next NUL).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "server/regexp.h"

namespace {

constexpr uint64_t kSteps = 200000;
constexpr size_t kStackEntries = size_t{1} << 16;

void Require(bool condition) {
    if (!condition) std::abort();
}

std::string Lowered(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

void CheckSpans(const CRegExp& re, const CRegExpMatch& m, const char* input, const char* end) {
    const char* inputEnd = input + std::strlen(input);
    const CRegExpMatch::TSpan whole = m.GetMatch();
    Require(whole.start != nullptr && input <= whole.start && whole.start <= whole.end &&
            whole.end <= inputEnd);
    Require(end == whole.end);
    Require(m.GetGroupCount() == re.GetGroupCount());
    for (int g = 0; g < m.GetGroupCount(); ++g) {
        const CRegExpMatch::TSpan span = m.GetGroup(g);
        if (span.start == nullptr) {
            Require(span.end == nullptr);
            continue;
        }
        Require(input <= span.start && span.start <= span.end && span.end <= inputEnd);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const bool caseSensitive = (data[0] & 1) == 0;
    const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    const size_t split = rest.find('\0');
    const std::string pattern = rest.substr(0, split);
    const std::string line =
        split == std::string::npos ? std::string() : std::string(rest.c_str() + split + 1);

    CRegExp re;
    const int error = re.Parse(pattern.c_str(), caseSensitive);
    Require(error >= CRegExp::ParseOk && error <= CRegExp::ParseNoPattern);
    Require(error == re.GetLastError());
    CRegExpMatch m;
    m.SetLimits(kSteps, kStackEntries);
    const char* end = nullptr;
    const bool matched = re.Match(line.c_str(), &m, &end);
    if (error != CRegExp::ParseOk) {
        Require(!matched);
        return 0;
    }
    if (matched) {
        CheckSpans(re, m, line.c_str(), end);
        if (pattern[0] == '^') Require(m.GetMatch().start == line.c_str());
    }

    if (!caseSensitive) {
        // The same search on lowered texts, case-sensitively, finds the same spans.
        const std::string lowPattern = Lowered(pattern);
        const std::string lowLine = Lowered(line);
        CRegExp exact;
        Require(exact.Parse(lowPattern.c_str(), true) == CRegExp::ParseOk);
        CRegExpMatch em;
        em.SetLimits(kSteps, kStackEntries);
        const bool exactMatched = exact.Match(lowLine.c_str(), &em);
        if (!m.LimitReached() && !em.LimitReached()) {
            Require(exactMatched == matched);
            if (matched) {
                Require(em.GetMatch().start - lowLine.c_str() == m.GetMatch().start - line.c_str());
                Require(em.GetMatch().end - lowLine.c_str() == m.GetMatch().end - line.c_str());
                for (int g = 0; g < m.GetGroupCount(); ++g) {
                    Require(em.GetGroupText(g) == Lowered(std::string(m.GetGroupText(g))));
                }
            }
        }
    }

    // A reused context is cleared by the next match.
    if (re.Match(pattern.c_str(), &m, &end)) CheckSpans(re, m, pattern.c_str(), end);
    return 0;
}
