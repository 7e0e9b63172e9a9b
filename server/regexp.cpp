#include "server/regexp.h"

#include <cstring>
#include <new>

#include "server/regexp_compiler.h"

namespace {

constexpr size_t kInitialStackEntries = 256;

// Tests character c against the 256-bit map held in the four instruction
// places at map: bit c&63 of place c>>6.
inline bool InMap(const TRegExpInstruction* map, unsigned char c) {
    uint64_t word;
    std::memcpy(&word, map + (c >> 6), sizeof(word));
    return (word >> (c & 63)) & 1;
}

unsigned char LowerAscii(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

}  // namespace

CRegExpMatch::CRegExpMatch() = default;

CRegExpMatch::TSpan CRegExpMatch::GetGroup(int index) const {
    if (index < 0 || index >= groupCount) return {};
    return groups[static_cast<size_t>(index)];
}

std::string_view CRegExpMatch::GetGroupText(int index) const {
    const TSpan span = GetGroup(index);
    if (span.start == nullptr) return {};
    return std::string_view(span.start, static_cast<size_t>(span.end - span.start));
}

void CRegExpMatch::SetLimits(uint64_t steps, size_t stackEntries) {
    maxSteps = steps;
    maxStackEntries = stackEntries < kInitialStackEntries ? kInitialStackEntries : stackEntries;
}

int CRegExp::Parse(const char* pattern, bool caseSensitiveMode) {
    instructions.clear();
    groupCount = 0;
    memoryCount = 0;
    caseSensitive = caseSensitiveMode;
    if (pattern == nullptr || pattern[0] == '\0') return lastError = ParseNoPattern;

    try {
        const size_t length = std::strlen(pattern);
        int groups = 0;
        int slots = 0;
        int result;
        if (caseSensitive) {
            result = regexp_internal::Compile(pattern, length, instructions, groups, slots);
        } else {
            std::string lowered(pattern, length);
            for (char& c : lowered)
                c = static_cast<char>(LowerAscii(static_cast<unsigned char>(c)));
            result = regexp_internal::Compile(lowered.data(), length, instructions, groups, slots);
        }
        if (result == ParseOk) {
            groupCount = groups;
            memoryCount = slots;
        }
        return lastError = result;
    } catch (const std::bad_alloc&) {
        instructions.clear();
        return lastError = ParseOutOfMemory;
    }
}

bool CRegExp::Match(const char* input, CRegExpMatch* context, const char** end) const {
    if (input == nullptr || context == nullptr) return false;
    CRegExpMatch& m = *context;
    m.groupCount = 0;
    m.groups.clear();
    m.matchStart = nullptr;
    m.matchEnd = nullptr;
    m.limitReached = false;
    m.stepCount = 0;
    if (instructions.empty() || lastError != ParseOk) return false;

    try {
        const size_t length = std::strlen(input);
        const unsigned char* text = reinterpret_cast<const unsigned char*>(input);
        if (!caseSensitive) {
            m.lowered.assign(input, length);
            for (char& c : m.lowered)
                c = static_cast<char>(LowerAscii(static_cast<unsigned char>(c)));
            text = reinterpret_cast<const unsigned char*>(m.lowered.c_str());
        }
        m.spans.assign(2 * static_cast<size_t>(groupCount), -1);
        m.memory.assign(static_cast<size_t>(memoryCount), 0);
        if (m.stack.size() < kInitialStackEntries) m.stack.resize(kInitialStackEntries);

        intptr_t startOffset = 0;
        intptr_t endOffset = 0;
        if (!Run(text, length, m, startOffset, endOffset)) return false;

        // Offsets found in the lowered copy are the same in the input.
        m.matchStart = input + startOffset;
        m.matchEnd = input + endOffset;
        m.groupCount = groupCount;
        m.groups.resize(static_cast<size_t>(groupCount));
        for (size_t g = 0; g < static_cast<size_t>(groupCount); ++g) {
            const intptr_t s = m.spans[2 * g];
            const intptr_t e = m.spans[2 * g + 1];
            if (s >= 0 && e >= s) {
                m.groups[g] = {input + s, input + e};
            } else {
                m.groups[g] = {};
            }
        }
        if (end != nullptr) *end = m.matchEnd;
        return true;
    } catch (const std::bad_alloc&) {
        m.groupCount = 0;
        m.groups.clear();
        return false;
    }
}

// Doubles the machine's stack, up to the context's bound, until it has room
// for `needed` entries. Returns false at the bound.
bool CRegExp::GrowStack(TStackView& view, CRegExpMatch& m, size_t needed) {
    const size_t bound = m.maxStackEntries;
    size_t grown = view.capacity;
    while (grown < needed && grown < bound) grown = grown * 2 < bound ? grown * 2 : bound;
    if (grown < needed) return false;
    m.stack.resize(grown);
    view.base = m.stack.data();
    view.capacity = grown;
    return true;
}

// The machine. Every failing test pops the top of the stack, which is always
// the instruction number of the most recent failure handler, and continues
// there. Values taken from the stack or from memory slots are checked before
// use, so a program can never steer the machine outside the input, the stack
// or the program.
bool CRegExp::Run(const unsigned char* text, size_t length, CRegExpMatch& m, intptr_t& matchStart,
                  intptr_t& matchEnd) const {
    const TRegExpInstruction* const program = instructions.data();
    const size_t programSize = instructions.size();
    const intptr_t end = static_cast<intptr_t>(length);
    intptr_t* const spans = m.spans.data();
    intptr_t* const memory = m.memory.data();
    // A context reused after a larger match keeps its array; the bound still holds.
    TStackView view{m.stack.data(),
                    m.stack.size() < m.maxStackEntries ? m.stack.size() : m.maxStackEntries};
    size_t depth = 0;
    uint64_t budget = m.maxSteps;
    struct TStepRecorder {
        CRegExpMatch& m;
        const uint64_t& budget;
        ~TStepRecorder() { m.stepCount = m.maxSteps - budget; }
    } recorder{m, budget};

#define QUELLON_REGEXP_RESERVE(n)                                          \
    if (depth + (n) > view.capacity && !GrowStack(view, m, depth + (n))) { \
        m.limitReached = true;                                             \
        return false;                                                      \
    }

    intptr_t pos = 0;
    intptr_t start = 0;
    size_t pc = 0;

    // Steps are counted where the machine opens a choice (call) and where it
    // backtracks; every loop of a program passes a call, so between two
    // counted steps at most the length of the program runs.
    for (;;) {
        const TRegExpInstruction ins = program[pc];
        const uint32_t operand = ins.operand;
        switch (ins.op) {
            case TRegExpOp::Nop:
                ++pc;
                continue;
            case TRegExpOp::GroupStart:
                spans[2 * operand] = pos;
                ++pc;
                continue;
            case TRegExpOp::GroupEnd:
                spans[2 * operand + 1] = pos;
                ++pc;
                continue;
            case TRegExpOp::Symbol:
                // The input is NUL-terminated, so text[end] is 0 and symbol 0
                // matches exactly at the end without moving.
                if (text[pos] != operand) break;
                if (operand != 0) ++pos;
                ++pc;
                continue;
            case TRegExpOp::Any:
                if (pos >= end) break;
                ++pos;
                ++pc;
                continue;
            case TRegExpOp::Range:
                // At the end text[end] is 0, which the test below rejects apart
                // from the map.
                if (!InMap(program + pc + 1, text[pos]) || pos >= end) break;
                ++pos;
                pc += 5;
                continue;
            case TRegExpOp::NotRange:
                if (InMap(program + pc + 1, text[pos]) || pos >= end) break;
                ++pos;
                pc += 5;
                continue;
            case TRegExpOp::Jump:
                pc = operand;
                continue;
            case TRegExpOp::PushPos:
                QUELLON_REGEXP_RESERVE(1)
                view.base[depth++] = pos;
                ++pc;
                continue;
            case TRegExpOp::PopPos: {
                if (depth == 0) return false;
                const intptr_t value = view.base[--depth];
                if (value < 0 || value > end) return false;
                pos = value;
                ++pc;
                continue;
            }
            case TRegExpOp::Call:
                if (budget == 0) {
                    m.limitReached = true;
                    return false;
                }
                --budget;
                QUELLON_REGEXP_RESERVE(1)
                view.base[depth++] = static_cast<intptr_t>(pc + 1);
                pc = operand;
                continue;
            case TRegExpOp::Return:
                break;
            case TRegExpOp::PushMemory:
                QUELLON_REGEXP_RESERVE(1)
                view.base[depth++] = memory[operand];
                ++pc;
                continue;
            case TRegExpOp::PopMemory:
                if (depth == 0) return false;
                memory[operand] = view.base[--depth];
                ++pc;
                continue;
            case TRegExpOp::StorePos:
                memory[operand] = pos;
                ++pc;
                continue;
            case TRegExpOp::GetPos: {
                const intptr_t value = memory[operand];
                if (value < 0 || value > end) return false;
                pos = value;
                ++pc;
                continue;
            }
            case TRegExpOp::StoreStack:
                memory[operand] = static_cast<intptr_t>(depth);
                ++pc;
                continue;
            case TRegExpOp::GetStack: {
                const intptr_t value = memory[operand];
                if (value < 0 || static_cast<size_t>(value) > depth) return false;
                depth = static_cast<size_t>(value);
                ++pc;
                continue;
            }
            case TRegExpOp::FailIfNoProgress:
                if (pos == memory[operand]) break;
                ++pc;
                continue;
            case TRegExpOp::BackReference: {
                // A group that is unset, or still open, stands for the empty text.
                const intptr_t s = spans[2 * operand];
                const intptr_t e = spans[2 * operand + 1];
                if (s >= 0 && e > s && e <= end) {
                    const intptr_t n = e - s;
                    if (n > end - pos ||
                        std::memcmp(text + s, text + pos, static_cast<size_t>(n)) != 0)
                        break;
                    pos += n;
                }
                ++pc;
                continue;
            }
            case TRegExpOp::Fail:
                return false;
            case TRegExpOp::Advance:
                // A start position at the end of the input is never tried.
                if (start + 1 >= end) return false;
                ++start;
                pos = start;
                depth = 0;
                pc = 0;
                continue;
            case TRegExpOp::Match:
                matchStart = start;
                matchEnd = pos;
                return true;
            case TRegExpOp::PushGroup:
                QUELLON_REGEXP_RESERVE(2)
                view.base[depth++] = spans[2 * operand];
                view.base[depth++] = spans[2 * operand + 1];
                ++pc;
                continue;
            case TRegExpOp::PopGroup:
                if (depth < 2) return false;
                spans[2 * operand + 1] = view.base[--depth];
                spans[2 * operand] = view.base[--depth];
                ++pc;
                continue;
            default:
                return false;
        }

        // Failure: resume at the most recent handler.
        if (budget == 0) {
            m.limitReached = true;
            return false;
        }
        --budget;
        if (depth == 0) return false;
        const intptr_t handler = view.base[--depth];
        if (handler < 0 || static_cast<size_t>(handler) >= programSize) return false;
        pc = static_cast<size_t>(handler);
    }
#undef QUELLON_REGEXP_RESERVE
}

bool CRegExp::MatchGroups(const char* line, int n, std::string* out) const {
    CRegExpMatch match;
    if (!Match(line, &match)) return false;
    for (int i = 0; i < n; ++i) out[i].assign(match.GetGroupText(i));
    return true;
}

bool CRegExp::MatchGroups(const char* pattern, const char* line, int n, std::string* out) {
    CRegExp regExp;
    if (regExp.Parse(pattern, true) != ParseOk) return false;
    return regExp.MatchGroups(line, n, out);
}
