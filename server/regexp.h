// Pattern engine of the command server. CRegExp compiles a pattern of the
// command dialect (sets, match groups "{...}", plain grouping "(...)", "!"
// negative look-ahead, back-references, the backslash abbreviations, greedy
// and lazy quantifiers, "|") into a flat instruction program; Match runs that
// program with a depth-first backtracking machine against one NUL-terminated
// line and reports the spans of the numbered match groups in a CRegExpMatch.
//
// Ownership: each object owns its arrays; spans handed out by CRegExpMatch
// point into the caller's input and stay valid as long as that input does.
// Threads: neither class locks. A compiled CRegExp is only read by Match, so
// several threads may match one pattern at once, each with its own
// CRegExpMatch; Parse must not overlap any other call on the same object.
// No exception leaves the engine for pattern or input errors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Operations of the compiled program. The operand of each is an instruction
// number, a character, a group number or a memory slot; Range and NotRange
// are followed by the 256-bit map of their characters, stored in the next
// four instruction places (character c is bit c&63 of the 64-bit place c>>6).
enum class TRegExpOp : uint32_t {
    Nop,
    GroupStart,        // group g starts at the current position
    GroupEnd,          // group g ends at the current position
    Symbol,            // input must hold character c (0: the end of input)
    Any,               // any character except the end of input
    Range,             // character in the map
    NotRange,          // character not in the map, and not the end of input
    Jump,              // continue at n
    PushPos,           // push the current position
    PopPos,            // position = popped value
    Call,              // push the next instruction number as failure handler, continue at n
    Return,            // pass a failure on: pop an instruction number, continue there
    PushMemory,        // push slot s
    PopMemory,         // slot s = popped value
    StorePos,          // slot s = current position
    GetPos,            // position = slot s
    StoreStack,        // slot s = stack depth
    GetStack,          // stack depth = slot s
    FailIfNoProgress,  // fail when the position equals slot s
    BackReference,     // input must continue with the text of group g
    Fail,              // the whole match fails
    Advance,           // start again one position further on, with an empty stack
    Match,             // success
    PushGroup,         // push the span of group g
    PopGroup,          // restore the span of group g
};

struct TRegExpInstruction {
    TRegExpOp op;
    uint32_t operand;
};
static_assert(sizeof(TRegExpInstruction) == 8, "a character map must fit four instruction places");

// A match context: the spans found by the last successful CRegExp::Match, and
// the machine's working arrays (memory slots, backtracking stack), which are
// kept between calls so a reused context allocates nothing new.
class CRegExpMatch {
  public:
    struct TSpan {
        const char* start = nullptr;
        const char* end = nullptr;
    };

    // Default bounds of one Match call; see SetLimits. A command line below
    // 256 characters that matches a command pattern needs well under a
    // million steps; lines built to make "\b+{[^:]+}" fields backtrack need
    // billions, and are cut off after some tens of milliseconds.
    static constexpr uint64_t kDefaultMaxSteps = 10'000'000;
    static constexpr size_t kDefaultMaxStackEntries = size_t{1} << 20;

    CRegExpMatch();

    // Number of match groups of the pattern last matched (0 before any match).
    int GetGroupCount() const { return groupCount; }
    // Span of group index; both ends null when the group took no part in the
    // match or index is out of range.
    TSpan GetGroup(int index) const;
    // Text of group index; empty when the group took no part in the match.
    std::string_view GetGroupText(int index) const;
    // Span of the whole match.
    TSpan GetMatch() const { return {matchStart, matchEnd}; }

    // Bounds that keep one Match call finite on hostile patterns and input:
    // at most maxSteps steps (a step is a choice the machine opens or a
    // backtrack it takes) and a backtracking stack of at most
    // maxStackEntries words. A Match that reaches either bound fails
    // cleanly and LimitReached() turns true.
    void SetLimits(uint64_t maxSteps, size_t maxStackEntries);
    // True when the last Match gave up at one of the bounds.
    bool LimitReached() const { return limitReached; }
    // Steps the last Match took.
    uint64_t GetStepCount() const { return stepCount; }

  private:
    friend class CRegExp;

    int groupCount = 0;
    std::vector<TSpan> groups;
    const char* matchStart = nullptr;
    const char* matchEnd = nullptr;
    bool limitReached = false;
    uint64_t stepCount = 0;
    uint64_t maxSteps = kDefaultMaxSteps;
    size_t maxStackEntries = kDefaultMaxStackEntries;

    // Working arrays of the machine. Positions are offsets into the input;
    // -1 marks a group position that is not set.
    std::vector<intptr_t> spans;   // start and end of each group
    std::vector<intptr_t> memory;  // memoryCount slots
    std::vector<intptr_t> stack;   // backtracking stack; starts with 256 entries
    std::string lowered;           // lowered copy of the input in case-insensitive mode
};

// A compiled pattern.
class CRegExp {
  public:
    // Results of Parse.
    enum TParseError {
        ParseOk = 0,
        ParseOutOfMemory = 1,      // memory or the engine's size and nesting bounds exhausted
        ParseBraceExpected = 2,    // "{" not closed by "}"
        ParseParenExpected = 3,    // "(" not closed by ")"
        ParseBracketExpected = 4,  // set not closed by "]", or a range without its upper end
        ParseAbbreviation = 5,     // an abbreviation's expansion could not be compiled
        ParseEmptySet = 6,         // "[]" or "[^]"
        ParseInvalidGroup = 7,     // back-reference to a group not yet opened
        ParseInvalidRange = 8,     // range whose upper end is below its lower end
        ParseEmptyRepeat = 9,      // "*", "+", "*?" or "+?" on a term that can match empty
        ParseNoPattern = 10,       // null or empty pattern
    };

    // Deepest nesting of "{", "(" and "!" a pattern may use.
    static constexpr int kMaxNesting = 200;
    // Largest program, in instruction places, Parse will build.
    static constexpr size_t kMaxProgramSize = size_t{1} << 20;

    CRegExp() = default;

    // Compiles pattern, replacing any previous program. In case-insensitive
    // mode the pattern is lowered to small letters first and Match compares
    // a lowered copy of its input. Returns ParseOk or an error code, which
    // GetLastError() also keeps; after an error Match fails.
    int Parse(const char* pattern, bool caseSensitive = true);

    // Runs the program on the NUL-terminated input. Returns true on a match
    // and fills context (clearing it first); end, when not null, receives the
    // position just after the match. The match need not reach the end of the
    // input. Returns false for a null input or context, when no program is
    // compiled, or when one of the context's limits is reached.
    bool Match(const char* input, CRegExpMatch* context, const char** end = nullptr) const;

    int GetLastError() const { return lastError; }
    int GetGroupCount() const { return groupCount; }
    int GetMemoryCount() const { return memoryCount; }
    bool IsCaseSensitive() const { return caseSensitive; }
    const std::vector<TRegExpInstruction>& GetInstructions() const { return instructions; }

    // Matches line and on success stores the text of groups 0 to n-1 in
    // out[0..n-1] (empty for groups that took no part or that the pattern
    // does not have). Returns false, leaving out untouched, when no program
    // is compiled or the line does not match.
    bool MatchGroups(const char* line, int n, std::string* out) const;

    // The same with pattern compiled case-sensitively for this one call;
    // false also when the pattern does not compile.
    static bool MatchGroups(const char* pattern, const char* line, int n, std::string* out);

  private:
    // Where the machine keeps its stack while it runs.
    struct TStackView {
        intptr_t* base;
        size_t capacity;
    };
    static bool GrowStack(TStackView& view, CRegExpMatch& context, size_t needed);

    // Runs the program on text[0..length) (text[length] is NUL); on success
    // sets the offsets of the whole match.
    bool Run(const unsigned char* text, size_t length, CRegExpMatch& context, intptr_t& matchStart,
             intptr_t& matchEnd) const;

    std::vector<TRegExpInstruction> instructions;
    int groupCount = 0;
    int memoryCount = 0;
    bool caseSensitive = true;
    int lastError = ParseOk;
};
