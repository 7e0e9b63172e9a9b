#include "server/regexp_compiler.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

namespace regexp_internal {
namespace {

// Grammar, in the order the parser reads it:
//   sequence    := alternation*            (ends at the end, or at ")", "]" or "}")
//   alternation := quantified ("|" quantified)*      (chains to the right)
//   quantified  := "!" quantified | term [quantifier]
//   term        := "." | set | "{" sequence "}" | "(" sequence ")" | escape | character
// A "|" or "!" is an operator only when a term follows it; otherwise, like a
// quantifier character where a term is expected, it stands for itself.

enum class TNodeKind : uint8_t {
    Empty,     // matches the empty text
    Char,      // value: the character
    Any,       // any one character
    Set,       // value: index of the character map
    NotSet,    // value: index of the character map
    End,       // "$" at the end of the pattern
    BackRef,   // value: group number
    Group,     // value: group number; child: body
    Seq,       // child: first item, linked by next
    Alt,       // child: first alternative, linked by next
    Star,      // child: body, which never matches empty
    Plus,      // child: body, which never matches empty
    Opt,       // value: memory slot when the body can match empty; child: body
    LazyStar,  // child: body, which never matches empty
    LazyPlus,  // child: body, which never matches empty
    LazyOpt,   // value: memory slot when the body can match empty; child: body
    Not,       // value: first of two memory slots; groups [groupFirst, groupLast); child: body
    Alias,     // child: a shared abbreviation expansion
};

struct TNode {
    TNodeKind kind;
    bool nullable;  // the node can match the empty text
    uint32_t value;
    uint32_t groupFirst;
    uint32_t groupLast;
    int32_t child;
    int32_t next;
};

// What the parser knows about a group when a back-reference names it.
struct TGroupInfo {
    bool closed;    // its "}" has been read
    bool certain;   // every path through the text read so far enters it
    bool nullable;  // its body can match the empty text
};

// Abbreviations: the letter after a backslash and the pattern it stands for.
// The line-end expansion holds CR and LF themselves.
struct TAbbreviation {
    char letter;
    const char* expansion;
};
constexpr TAbbreviation kAbbreviations[] = {
    {'a', "([a-zA-Z0-9])"},
    {'b', "([ \\t])"},
    {'c', "([a-zA-Z])"},
    {'d', "([0-9])"},
    {'h', "([0-9a-fA-F])"},
    {'n', "(\r|(\r?\n))"},
    {'q', "((\"[^\"]*\")|('[^']*'))"},
    {'w', "([a-zA-Z]+)"},
    {'z', "([0-9]+)"},
};

// Character map of a set: bit c&63 of word c>>6 is set when character c
// belongs to it. Each word fills one instruction place.
using TCharMap = std::array<uint64_t, 4>;

bool IsCloser(char c) { return c == ')' || c == ']' || c == '}'; }

class CCompiler {
  public:
    explicit CCompiler(std::vector<TRegExpInstruction>& program) : program(program) {}

    int Compile(const char* pattern, size_t length, int& groupCount, int& memoryCount);

  private:
    struct TSource {
        const char* text;
        size_t length;
        size_t at;
        bool main;  // the caller's pattern, not an abbreviation's expansion
    };

    bool AtEnd() const { return src.at >= src.length; }
    char Cur() const { return src.text[src.at]; }
    bool OperatorFollowedByTerm() const {
        return src.at + 1 < src.length && !IsCloser(src.text[src.at + 1]);
    }

    int32_t Fail(int code) {
        if (error == CRegExp::ParseOk) error = code;
        return -1;
    }
    int32_t NewNode(TNodeKind kind, bool nullable, uint32_t value = 0, int32_t child = -1) {
        nodes.push_back(TNode{kind, nullable, value, 0, 0, child, -1});
        return static_cast<int32_t>(nodes.size() - 1);
    }
    void MarkOptional(size_t firstGroup, size_t lastGroup) {
        for (size_t g = firstGroup; g < lastGroup; ++g) groups[g].certain = false;
    }

    int32_t ParseSequence(int depth);
    int32_t ParseAlternation(int depth);
    int32_t ParseQuantified(int depth);
    int32_t ParseTerm(int depth);
    int32_t ParseEscape(int depth);
    int32_t ParseSet();
    bool ReadSetChar(unsigned char& c);

    // Appends one instruction to the program, which Compile sized exactly,
    // and returns its number.
    uint32_t Put(TRegExpOp op, uint32_t operand = 0) {
        if (cursor < limit) code[cursor] = TRegExpInstruction{op, operand};
        return cursor++;
    }
    uint32_t Here() const { return cursor; }
    void Patch(uint32_t at, uint32_t target) {
        if (at < limit) code[at].operand = target;
    }
    uint64_t Size(int32_t node) const;
    void Emit(int32_t node);
    void EmitStar(const TNode& n);
    void EmitLazyStar(const TNode& n);

    std::vector<TRegExpInstruction>& program;
    std::vector<TNode> nodes;
    std::vector<TGroupInfo> groups;
    std::vector<TCharMap> maps;
    TSource src{};
    int32_t abbreviationNodes[sizeof(kAbbreviations) / sizeof(kAbbreviations[0])];
    int memorySlots = 0;
    int error = CRegExp::ParseOk;
    TRegExpInstruction* code = nullptr;
    uint32_t limit = 0;
    uint32_t cursor = 0;
};

int CCompiler::Compile(const char* pattern, size_t length, int& groupCount, int& memoryCount) {
    for (int32_t& node : abbreviationNodes) node = -1;
    nodes.reserve(length + 8);
    maps.reserve(static_cast<size_t>(std::count(pattern, pattern + length, '[')) + 4);
    src = TSource{pattern, length, 0, true};
    const bool anchored = pattern[0] == '^';
    if (anchored) src.at = 1;

    // A stray closer at the top level ends the pattern; the rest is ignored.
    const int32_t body = ParseSequence(0);
    if (body < 0) return error;

    const uint64_t size = 3 + Size(body);
    if (size > CRegExp::kMaxProgramSize) return CRegExp::ParseOutOfMemory;
    program.resize(size);
    code = program.data();
    limit = static_cast<uint32_t>(size);
    Put(TRegExpOp::Call, 2);
    Put(anchored ? TRegExpOp::Fail : TRegExpOp::Advance);
    Emit(body);
    Put(TRegExpOp::Match);
    // Size and Emit describe the same shapes; a difference would be a fault
    // of the compiler, and no program is better than a wrong one.
    if (cursor != limit) return CRegExp::ParseOutOfMemory;
    groupCount = static_cast<int>(groups.size());
    memoryCount = memorySlots;
    return CRegExp::ParseOk;
}

int32_t CCompiler::ParseSequence(int depth) {
    int32_t first = -1;
    int32_t last = -1;
    int count = 0;
    bool nullable = true;
    while (!AtEnd() && !IsCloser(Cur())) {
        const int32_t item = ParseAlternation(depth);
        if (item < 0) return -1;
        nullable = nullable && nodes[item].nullable;
        if (last >= 0) {
            nodes[last].next = item;
        } else {
            first = item;
        }
        last = item;
        ++count;
    }
    if (count == 0) return NewNode(TNodeKind::Empty, true);
    if (count == 1) return first;
    return NewNode(TNodeKind::Seq, nullable, 0, first);
}

int32_t CCompiler::ParseAlternation(int depth) {
    size_t firstGroup = groups.size();
    const int32_t first = ParseQuantified(depth);
    if (first < 0) return -1;
    if (AtEnd() || Cur() != '|' || !OperatorFollowedByTerm()) return first;

    // Each alternative may be skipped, so no group inside one is certain.
    MarkOptional(firstGroup, groups.size());
    bool nullable = nodes[first].nullable;
    int32_t last = first;
    while (!AtEnd() && Cur() == '|' && OperatorFollowedByTerm()) {
        ++src.at;
        firstGroup = groups.size();
        const int32_t next = ParseQuantified(depth);
        if (next < 0) return -1;
        MarkOptional(firstGroup, groups.size());
        nullable = nullable || nodes[next].nullable;
        nodes[last].next = next;
        last = next;
    }
    return NewNode(TNodeKind::Alt, nullable, 0, first);
}

int32_t CCompiler::ParseQuantified(int depth) {
    if (Cur() == '!' && OperatorFollowedByTerm()) {
        if (depth >= CRegExp::kMaxNesting) return Fail(CRegExp::ParseOutOfMemory);
        ++src.at;
        const size_t firstGroup = groups.size();
        const int32_t body = ParseQuantified(depth + 1);
        if (body < 0) return -1;
        // Spans set while the look-ahead runs never survive it.
        MarkOptional(firstGroup, groups.size());
        const int32_t node =
            NewNode(TNodeKind::Not, true, static_cast<uint32_t>(memorySlots), body);
        memorySlots += 2;
        nodes[node].groupFirst = static_cast<uint32_t>(firstGroup);
        nodes[node].groupLast = static_cast<uint32_t>(groups.size());
        return node;
    }

    const size_t firstGroup = groups.size();
    const int32_t term = ParseTerm(depth);
    if (term < 0 || AtEnd()) return term;
    const char q = Cur();
    if (q != '*' && q != '+' && q != '?') return term;
    ++src.at;
    const bool lazy = !AtEnd() && Cur() == '?';
    if (lazy) ++src.at;

    const bool termNullable = nodes[term].nullable;
    if (q != '?' && termNullable) return Fail(CRegExp::ParseEmptyRepeat);
    if (q != '+') MarkOptional(firstGroup, groups.size());

    // Only an optional term that can match empty needs a slot for the
    // no-progress check: "*" and "+" never repeat such a term.
    TNodeKind kind;
    if (q == '*') {
        kind = lazy ? TNodeKind::LazyStar : TNodeKind::Star;
    } else if (q == '+') {
        kind = lazy ? TNodeKind::LazyPlus : TNodeKind::Plus;
    } else {
        kind = lazy ? TNodeKind::LazyOpt : TNodeKind::Opt;
    }
    const bool slot = q == '?' && termNullable;
    const int32_t node =
        NewNode(kind, q != '+', slot ? static_cast<uint32_t>(memorySlots) : 0, term);
    if (slot) ++memorySlots;
    return node;
}

int32_t CCompiler::ParseTerm(int depth) {
    const char c = Cur();
    switch (c) {
        case '.':
            ++src.at;
            return NewNode(TNodeKind::Any, false);
        case '[':
            return ParseSet();
        case '{': {
            if (depth >= CRegExp::kMaxNesting) return Fail(CRegExp::ParseOutOfMemory);
            ++src.at;
            const uint32_t g = static_cast<uint32_t>(groups.size());
            groups.push_back(TGroupInfo{false, true, true});
            const int32_t body = ParseSequence(depth + 1);
            if (body < 0) return -1;
            if (AtEnd() || Cur() != '}') return Fail(CRegExp::ParseBraceExpected);
            ++src.at;
            groups[g].closed = true;
            groups[g].nullable = nodes[body].nullable;
            return NewNode(TNodeKind::Group, nodes[body].nullable, g, body);
        }
        case '(': {
            // Plain grouping only frames its body: the body is the term.
            if (depth >= CRegExp::kMaxNesting) return Fail(CRegExp::ParseOutOfMemory);
            ++src.at;
            const int32_t body = ParseSequence(depth + 1);
            if (body < 0) return -1;
            if (AtEnd() || Cur() != ')') return Fail(CRegExp::ParseParenExpected);
            ++src.at;
            return body;
        }
        case '\\':
            return ParseEscape(depth);
        case '$':
            if (src.main && src.at + 1 == src.length) {
                ++src.at;
                return NewNode(TNodeKind::End, true);
            }
            break;
        default:
            break;
    }
    ++src.at;
    return NewNode(TNodeKind::Char, false, static_cast<unsigned char>(c));
}

int32_t CCompiler::ParseEscape(int depth) {
    if (src.at + 1 >= src.length) {
        // A backslash that ends the pattern stands for itself.
        ++src.at;
        return NewNode(TNodeKind::Char, false, '\\');
    }
    const char d = src.text[src.at + 1];
    src.at += 2;

    if (d >= '0' && d <= '9') {
        uint64_t number = static_cast<uint64_t>(d - '0');
        while (!AtEnd() && Cur() >= '0' && Cur() <= '9') {
            if (number < UINT32_MAX) number = number * 10 + static_cast<uint64_t>(Cur() - '0');
            ++src.at;
        }
        if (number >= groups.size()) return Fail(CRegExp::ParseInvalidGroup);
        // The referenced text is empty when the group may have been skipped,
        // is still open here, or can itself match the empty text.
        const TGroupInfo& info = groups[number];
        const bool nullable = !(info.closed && info.certain && !info.nullable);
        return NewNode(TNodeKind::BackRef, nullable, static_cast<uint32_t>(number));
    }

    for (size_t i = 0; i < sizeof(kAbbreviations) / sizeof(kAbbreviations[0]); ++i) {
        const TAbbreviation& a = kAbbreviations[i];
        if (a.letter != d) continue;
        // An expansion holds no match group, so one parsed copy serves every
        // use; each use gets its own alias node to link into its sequence.
        if (abbreviationNodes[i] >= 0) {
            return NewNode(TNodeKind::Alias, nodes[abbreviationNodes[i]].nullable, 0,
                           abbreviationNodes[i]);
        }
        const TSource saved = src;
        src = TSource{a.expansion, std::strlen(a.expansion), 0, false};
        const int32_t node = ParseSequence(depth + 1);
        const bool complete = node >= 0 && AtEnd();
        src = saved;
        if (!complete) {
            error = CRegExp::ParseAbbreviation;
            return -1;
        }
        abbreviationNodes[i] = node;
        return NewNode(TNodeKind::Alias, nodes[node].nullable, 0, node);
    }
    return NewNode(TNodeKind::Char, false, static_cast<unsigned char>(d));
}

bool CCompiler::ReadSetChar(unsigned char& c) {
    if (Cur() != '\\') {
        c = static_cast<unsigned char>(Cur());
        ++src.at;
        return true;
    }
    if (src.at + 1 >= src.length) return false;
    const char e = src.text[src.at + 1];
    src.at += 2;
    c = e == 't' ? '\t' : static_cast<unsigned char>(e);
    return true;
}

int32_t CCompiler::ParseSet() {
    ++src.at;
    bool negated = false;
    if (!AtEnd() && Cur() == '^') {
        negated = true;
        ++src.at;
    }
    if (AtEnd()) return Fail(CRegExp::ParseBracketExpected);
    if (Cur() == ']') return Fail(CRegExp::ParseEmptySet);

    TCharMap map{};
    for (;;) {
        if (AtEnd()) return Fail(CRegExp::ParseBracketExpected);
        if (Cur() == ']') {
            ++src.at;
            break;
        }
        unsigned char low;
        if (!ReadSetChar(low)) return Fail(CRegExp::ParseBracketExpected);
        unsigned char high = low;
        if (!AtEnd() && Cur() == '-') {
            if (src.at + 1 >= src.length || src.text[src.at + 1] == ']') {
                return Fail(CRegExp::ParseBracketExpected);
            }
            ++src.at;
            if (!ReadSetChar(high)) return Fail(CRegExp::ParseBracketExpected);
            if (high < low) return Fail(CRegExp::ParseInvalidRange);
        }
        for (unsigned int word = low >> 6; word <= (high >> 6); ++word) {
            const unsigned int first = word == (low >> 6u) ? (low & 63u) : 0u;
            const unsigned int last = word == (high >> 6u) ? (high & 63u) : 63u;
            map[word] |= (~uint64_t{0} >> (63 - last)) & (~uint64_t{0} << first);
        }
    }
    maps.push_back(map);
    return NewNode(negated ? TNodeKind::NotSet : TNodeKind::Set, false,
                   static_cast<uint32_t>(maps.size() - 1));
}

// Code shapes (n: the node's body, s: its slot):
//   {n} group g   pushGroup g; groupStart g; call B; popGroup g; return; B: n; groupEnd g
//   a|b|...|z     per alternative but the last: pushPos; call A; popPos; jump N; A: a; jump E; N:
//                 then z; E:
//   n*            L: pushPos; call B; popPos; jump E; B: n; jump L; E:
//   n+ / n+?      n, then the n* / n*? shape
//   n?            pushPos; call B; popPos; jump E; B: n; E:
//                 and when n can match empty:
//                 pushMemory s; storePos s; pushPos; call B; popPos; popMemory s; jump E;
//                 B: n; failIfNoProgress s; E:
//   n*?           L: pushPos; call C; popPos; n; jump L; C:
//   n??           pushPos; call C; popPos; n; C:
//                 and when n can match empty:
//                 pushPos; call C; popPos; pushMemory s; storePos s; call B; popMemory s; return;
//                 B: n; failIfNoProgress s; C:
//   !n            storePos p; pushGroup (each group of n); storeStack k; call B;
//                 getPos p; getStack k; popGroup (each, reversed); jump E;
//                 B: n; getPos p; getStack k; popGroup (each, reversed); return; E:
// A repeated term never matches empty (Parse refuses it), so every iteration
// makes progress and loops need no progress slot. The slot of an optional
// term holds the position where the term began; it is saved before and
// restored when the term is given back. Every failure handler that carries
// on forward first restores the position it saved. "!" saves and restores
// the spans of the groups inside it, so a look-ahead leaves no spans behind
// whether or not its body matched.
uint64_t CCompiler::Size(int32_t index) const {
    const TNode& n = nodes[index];
    switch (n.kind) {
        case TNodeKind::Empty:
            return 0;
        case TNodeKind::Char:
        case TNodeKind::Any:
        case TNodeKind::End:
        case TNodeKind::BackRef:
            return 1;
        case TNodeKind::Set:
        case TNodeKind::NotSet:
            return 5;
        case TNodeKind::Group:
            return 6 + Size(n.child);
        case TNodeKind::Alias:
            return Size(n.child);
        case TNodeKind::Seq:
        case TNodeKind::Alt: {
            uint64_t total = 0;
            for (int32_t item = n.child; item >= 0 && total <= CRegExp::kMaxProgramSize;
                 item = nodes[item].next) {
                total += Size(item);
                if (n.kind == TNodeKind::Alt && nodes[item].next >= 0) total += 5;
            }
            return total;
        }
        case TNodeKind::Star:
            return 5 + Size(n.child);
        case TNodeKind::Plus: {
            // Saturates so that nested copies cannot overflow the count.
            const uint64_t body = std::min<uint64_t>(Size(n.child), CRegExp::kMaxProgramSize);
            return 5 + 2 * body;
        }
        case TNodeKind::Opt:
            return (nodes[n.child].nullable ? 8 : 4) + Size(n.child);
        case TNodeKind::LazyStar:
            return 4 + Size(n.child);
        case TNodeKind::LazyPlus: {
            const uint64_t body = std::min<uint64_t>(Size(n.child), CRegExp::kMaxProgramSize);
            return 4 + 2 * body;
        }
        case TNodeKind::LazyOpt:
            return (nodes[n.child].nullable ? 9 : 3) + Size(n.child);
        case TNodeKind::Not:
            return 9 + 3 * static_cast<uint64_t>(n.groupLast - n.groupFirst) + Size(n.child);
    }
    return 0;
}

void CCompiler::Emit(int32_t index) {
    const TNode& n = nodes[index];
    switch (n.kind) {
        case TNodeKind::Empty:
            return;
        case TNodeKind::Char:
            Put(TRegExpOp::Symbol, n.value);
            return;
        case TNodeKind::Any:
            Put(TRegExpOp::Any);
            return;
        case TNodeKind::Set:
        case TNodeKind::NotSet: {
            const uint32_t at =
                Put(n.kind == TNodeKind::Set ? TRegExpOp::Range : TRegExpOp::NotRange);
            if (at + 4 < limit) {
                for (int word = 0; word < 4; ++word)
                    std::memcpy(&code[at + 1 + word], &maps[n.value][word], 8);
            }
            cursor += 4;
            return;
        }
        case TNodeKind::End:
            Put(TRegExpOp::Symbol, 0);
            return;
        case TNodeKind::BackRef:
            Put(TRegExpOp::BackReference, n.value);
            return;
        case TNodeKind::Group: {
            Put(TRegExpOp::PushGroup, n.value);
            Put(TRegExpOp::GroupStart, n.value);
            const uint32_t call = Put(TRegExpOp::Call);
            Put(TRegExpOp::PopGroup, n.value);
            Put(TRegExpOp::Return);
            Patch(call, Here());
            Emit(n.child);
            Put(TRegExpOp::GroupEnd, n.value);
            return;
        }
        case TNodeKind::Alias:
            Emit(n.child);
            return;
        case TNodeKind::Seq:
            for (int32_t item = n.child; item >= 0; item = nodes[item].next) Emit(item);
            return;
        case TNodeKind::Alt: {
            // Pending jumps to the common end are chained through their operands.
            uint32_t pending = UINT32_MAX;
            int32_t alt = n.child;
            for (; nodes[alt].next >= 0; alt = nodes[alt].next) {
                Put(TRegExpOp::PushPos);
                const uint32_t call = Put(TRegExpOp::Call);
                Put(TRegExpOp::PopPos);
                const uint32_t skip = Put(TRegExpOp::Jump);
                Patch(call, Here());
                Emit(alt);
                pending = Put(TRegExpOp::Jump, pending);
                Patch(skip, Here());
            }
            Emit(alt);
            const uint32_t end = Here();
            while (pending != UINT32_MAX) {
                const uint32_t previous = pending < limit ? code[pending].operand : UINT32_MAX;
                Patch(pending, end);
                pending = previous;
            }
            return;
        }
        case TNodeKind::Star:
            EmitStar(n);
            return;
        case TNodeKind::Plus:
            Emit(n.child);
            EmitStar(n);
            return;
        case TNodeKind::Opt: {
            const bool check = nodes[n.child].nullable;
            if (check) {
                Put(TRegExpOp::PushMemory, n.value);
                Put(TRegExpOp::StorePos, n.value);
            }
            Put(TRegExpOp::PushPos);
            const uint32_t call = Put(TRegExpOp::Call);
            Put(TRegExpOp::PopPos);
            if (check) Put(TRegExpOp::PopMemory, n.value);
            const uint32_t skip = Put(TRegExpOp::Jump);
            Patch(call, Here());
            Emit(n.child);
            if (check) Put(TRegExpOp::FailIfNoProgress, n.value);
            Patch(skip, Here());
            return;
        }
        case TNodeKind::LazyStar:
            EmitLazyStar(n);
            return;
        case TNodeKind::LazyPlus:
            Emit(n.child);
            EmitLazyStar(n);
            return;
        case TNodeKind::LazyOpt: {
            Put(TRegExpOp::PushPos);
            const uint32_t rest = Put(TRegExpOp::Call);
            Put(TRegExpOp::PopPos);
            if (nodes[n.child].nullable) {
                Put(TRegExpOp::PushMemory, n.value);
                Put(TRegExpOp::StorePos, n.value);
                const uint32_t body = Put(TRegExpOp::Call);
                Put(TRegExpOp::PopMemory, n.value);
                Put(TRegExpOp::Return);
                Patch(body, Here());
                Emit(n.child);
                Put(TRegExpOp::FailIfNoProgress, n.value);
            } else {
                Emit(n.child);
            }
            Patch(rest, Here());
            return;
        }
        case TNodeKind::Not: {
            const uint32_t p = n.value;
            const uint32_t k = n.value + 1;
            Put(TRegExpOp::StorePos, p);
            for (uint32_t g = n.groupFirst; g < n.groupLast; ++g) Put(TRegExpOp::PushGroup, g);
            Put(TRegExpOp::StoreStack, k);
            const uint32_t call = Put(TRegExpOp::Call);
            Put(TRegExpOp::GetPos, p);
            Put(TRegExpOp::GetStack, k);
            for (uint32_t g = n.groupLast; g > n.groupFirst; --g) Put(TRegExpOp::PopGroup, g - 1);
            const uint32_t skip = Put(TRegExpOp::Jump);
            Patch(call, Here());
            Emit(n.child);
            Put(TRegExpOp::GetPos, p);
            Put(TRegExpOp::GetStack, k);
            for (uint32_t g = n.groupLast; g > n.groupFirst; --g) Put(TRegExpOp::PopGroup, g - 1);
            Put(TRegExpOp::Return);
            Patch(skip, Here());
            return;
        }
    }
}

void CCompiler::EmitStar(const TNode& n) {
    const uint32_t loop = Put(TRegExpOp::PushPos);
    const uint32_t call = Put(TRegExpOp::Call);
    Put(TRegExpOp::PopPos);
    const uint32_t skip = Put(TRegExpOp::Jump);
    Patch(call, Here());
    Emit(n.child);
    Put(TRegExpOp::Jump, loop);
    Patch(skip, Here());
}

void CCompiler::EmitLazyStar(const TNode& n) {
    const uint32_t loop = Put(TRegExpOp::PushPos);
    const uint32_t call = Put(TRegExpOp::Call);
    Put(TRegExpOp::PopPos);
    Emit(n.child);
    Put(TRegExpOp::Jump, loop);
    Patch(call, Here());
}

}  // namespace

int Compile(const char* pattern, size_t length, std::vector<TRegExpInstruction>& program,
            int& groupCount, int& memoryCount) {
    CCompiler compiler(program);
    const int result = compiler.Compile(pattern, length, groupCount, memoryCount);
    if (result != CRegExp::ParseOk) program.clear();
    return result;
}

}  // namespace regexp_internal
