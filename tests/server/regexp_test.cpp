#include "server/regexp.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

// Marks a group that took no part in the match (both ends null), as opposed
// to a group that matched the empty text.
constexpr const char* kAbsent = nullptr;

// The command patterns of the client protocol.
const char* const kLogin = R"re(^\b?{\c+}\b+{[^:]+}\b+{[^:]+})re";
const char* const kAdd6 =
    R"re(^\b?{[Aa][Dd][Dd]}\b+{[^:]+}\b+{[^:]+}\b+{[0-9]|\*}\b+{[^:]+}\b+{[^:]+})re";
const char* const kAdd4 = R"re(^\b?{[Aa][Dd][Dd]}\b+{[^:]+}\b+{[^:]+}\b+{[0-9]|\*})re";
const char* const kDelete3 = R"re(^\b?{[Dd][Ee][Ll][Ee][Tt][Ee]}\b+{[^:]+}\b+{[^:]+})re";
const char* const kDelete2 = R"re(^\b?{[Dd][Ee][Ll][Ee][Tt][Ee]}\b+{[^:]+})re";
#define QRE_DIGITS14 "[0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9]"
const char* const kReplay8 =
    R"re(^\b?{[Rr][Ee][Pp][Ll][Aa][Yy]}\b+{[^:]+}\b+{[^:]+}\b+{[^:]+}\b+{)re" QRE_DIGITS14
    R"re(}\b+{)re" QRE_DIGITS14 R"re(}\b+{[^:]+}\b+{[^:]+})re";
const char* const kReplay8Now =
    R"re(^\b?{[Rr][Ee][Pp][Ll][Aa][Yy]}\b+{[^:]+}\b+{[^:]+}\b+{[^:]+}\b+{)re" QRE_DIGITS14
    R"re(}\b+{[0]}\b+{[^:]+}\b+{[^:]+})re";
const char* const kReplay6 =
    R"re(^\b?{[Rr][Ee][Pp][Ll][Aa][Yy]}\b+{[^:]+}\b+{[^:]+}\b+{[^:]+}\b+{)re" QRE_DIGITS14
    R"re(}\b+{)re" QRE_DIGITS14 R"re(})re";
const char* const kReplay6Now =
    R"re(^\b?{[Rr][Ee][Pp][Ll][Aa][Yy]}\b+{[^:]+}\b+{[^:]+}\b+{[^:]+}\b+{)re" QRE_DIGITS14
    R"re(}\b+{[0]})re";
const char* const kLogLevel2 = R"re(^\b*{[Ll][Oo][Gg][Ll][Ee][Vv][Ee][Ll]}\b*{[^:]+})re";
const char* const kLogLevel1 = R"re(^\b*{[Ll][Oo][Gg][Ll][Ee][Vv][Ee][Ll]}\b*)re";
#undef QRE_DIGITS14

const char* const kAllCommandPatterns[] = {kLogin,      kAdd6,      kAdd4,       kDelete3,
                                           kDelete2,    kReplay8,   kReplay8Now, kReplay6,
                                           kReplay6Now, kLogLevel2, kLogLevel1};

struct TMatchCase {
    const char* pattern;
    std::string input;
    bool matches;
    const char* whole;                // text of the whole match
    std::vector<const char*> groups;  // expected text per group; kAbsent for no part
    bool caseSensitive = true;
};

std::string Describe(const TMatchCase& c) {
    std::string s = "pattern \"";
    s += c.pattern;
    s += "\" input \"";
    for (char ch : c.input) {
        if (ch == '\r')
            s += "\\r";
        else if (ch == '\n')
            s += "\\n";
        else if (ch == '\t')
            s += "\\t";
        else
            s += ch;
    }
    s += c.caseSensitive ? "\"" : "\" (case-insensitive)";
    return s;
}

void CheckCase(const TMatchCase& c) {
    SCOPED_TRACE(Describe(c));
    CRegExp re;
    ASSERT_EQ(re.Parse(c.pattern, c.caseSensitive), CRegExp::ParseOk);
    CRegExpMatch m;
    const char* end = nullptr;
    const bool matched = re.Match(c.input.c_str(), &m, &end);
    ASSERT_EQ(matched, c.matches);
    EXPECT_FALSE(m.LimitReached());
    if (!matched) return;

    const CRegExpMatch::TSpan whole = m.GetMatch();
    EXPECT_EQ(std::string(whole.start, whole.end), c.whole);
    EXPECT_EQ(end, whole.end);
    ASSERT_EQ(m.GetGroupCount(), static_cast<int>(c.groups.size()));
    for (size_t g = 0; g < c.groups.size(); ++g) {
        SCOPED_TRACE("group " + std::to_string(g));
        const CRegExpMatch::TSpan span = m.GetGroup(static_cast<int>(g));
        if (c.groups[g] == kAbsent) {
            EXPECT_EQ(span.start, nullptr);
            EXPECT_EQ(span.end, nullptr);
            EXPECT_EQ(m.GetGroupText(static_cast<int>(g)), "");
        } else {
            // Spans point into the caller's own input, also after lowering.
            ASSERT_NE(span.start, nullptr);
            EXPECT_GE(span.start, c.input.c_str());
            EXPECT_LE(span.end, c.input.c_str() + c.input.size());
            EXPECT_EQ(m.GetGroupText(static_cast<int>(g)), c.groups[g]);
        }
    }
}

TEST(RegExpMatch, ConstructsAndSemantics) {
    const TMatchCase cases[] = {
        // Anchors: "^" only first, "$" only last; unanchored search moves on.
        {"^b", "ab", false, "", {}},
        {"b", "ab", true, "b", {}},
        {"a^", "a^", true, "a^", {}},
        {"a$", "a", true, "a", {}},
        {"a$", "ab", false, "", {}},
        {"a$b", "a$b", true, "a$b", {}},
        {"a\\$", "a$", true, "a$", {}},
        {"^$", "", true, "", {}},
        // A start position at the end of the input is never tried.
        {"$", "a", false, "", {}},
        {"^a*", "", true, "", {}},
        // Any character, but not the end.
        {"a.c", "abc", true, "abc", {}},
        {"a.", "a", false, "", {}},
        // Sets, negated sets, ranges and escapes inside sets.
        {"[a-c]+", "xxabcd", true, "abc", {}},
        {"[^a-c]+", "abcxyz", true, "xyz", {}},
        {"a[^b]", "a", false, "", {}},
        {"[\\]]", "]", true, "]", {}},
        {"[\\\\]", "\\", true, "\\", {}},
        {"^[a\\-z]", "-", true, "-", {}},
        {"^[a\\-z]", "b", false, "", {}},
        {"^[-a]", "-", true, "-", {}},
        {"^[a-c-]+", "c-a", true, "c-a", {}},
        {"[\\t]", "\t", true, "\t", {}},
        {"[\\t]", "t", false, "", {}},
        {"^[\xc0-\xff]", "\xc3\xa9", true, "\xc3", {}},
        // Outside a set a backslash makes the next character literal.
        {"\\t", "t", true, "t", {}},
        {"\\t", "\t", false, "", {}},
        {"a\\.", "ab", false, "", {}},
        {"\\*\\\\", "*\\", true, "*\\", {}},
        {"a\\", "a\\", true, "a\\", {}},
        // Match groups are numbered by their opening braces; "(" has no number.
        {"{a{b}}(c){d}", "abcd", true, "abcd", {"ab", "b", "d"}},
        {"{}x", "x", true, "x", {""}},
        {"(ab)+", "ababx", true, "abab", {}},
        // Negative look-ahead consumes nothing.
        {"^!a{.}", "b", true, "b", {"b"}},
        {"^!a{.}", "a", false, "", {kAbsent}},
        {"^!!a.", "ab", true, "a", {}},
        {"^!!a.", "b", false, "", {}},
        {"^!a+.", "b", true, "b", {}},
        {"^!a+.", "ab", false, "", {}},
        {"^!a*b", "b", false, "", {}},
        // A look-ahead whose body matched leaves no span behind.
        {"^(!{a}|.)", "a", true, "a", {kAbsent}},
        // Back-references, also multi-digit, and to a group still open.
        {"^{[a-z]+}-\\0$", "abc-abc", true, "abc-abc", {"abc"}},
        {"^{[a-z]+}-\\0$", "abc-abd", false, "", {kAbsent}},
        {"^{a}{b}{c}{d}{e}{f}{g}{h}{i}{j}{k}\\10",
         "abcdefghijkk",
         true,
         "abcdefghijkk",
         {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k"}},
        {"^{a\\0}", "a", true, "a", {"a"}},
        // Abbreviations, each one term; a quantifier covers the expansion.
        {"\\a+", "_x1_", true, "x1", {}},
        {"^a\\b+b", "a \t b", true, "a \t b", {}},
        {"\\c+", "12ab3", true, "ab", {}},
        {"\\d+", "ab12c", true, "12", {}},
        {"\\h+", "xx0fAg", true, "0fA", {}},
        {"^a\\nb", "a\r\nb", true, "a\r\nb", {}},
        {"^a\\nb", "a\nb", true, "a\nb", {}},
        {"^a\\nb", "a\rb", true, "a\rb", {}},
        {"^a\\n", "a\r\n", true, "a\r", {}},
        {"^a\\nb", "ab", false, "", {}},
        {"^\\q", "\"a b\"x", true, "\"a b\"", {}},
        {"^\\q", "'it'", true, "'it'", {}},
        {"^\\q", "\"a'", false, "", {}},
        {"^\\q", "\"\"", true, "\"\"", {}},
        {"\\w", "12ab3", true, "ab", {}},
        {"\\z", "x123y", true, "123", {}},
        // Greedy and lazy quantifiers.
        {"^{a*}{a*}", "aaa", true, "aaa", {"aaa", ""}},
        {"^{a*?}{a*}", "aaa", true, "aaa", {"", "aaa"}},
        {"^{a+?}{a*}", "aaa", true, "aaa", {"a", "aa"}},
        {"^{a?}{a*}", "aaa", true, "aaa", {"a", "aa"}},
        {"^{a??}{a*}", "aaa", true, "aaa", {"", "aaa"}},
        {"^{a*}a", "aaa", true, "aaa", {"aa"}},
        {"^{.*}b", "aabab", true, "aabab", {"aaba"}},
        {"^{.*?}b", "aabab", true, "aab", {"aa"}},
        {"^{a*?}ab", "aab", true, "aab", {"a"}},
        {"a*?ab", "aab", true, "aab", {}},
        {"^{.+?}{\\d+}", "ab12", true, "ab12", {"ab", "12"}},
        {"^{a??}b", "ab", true, "ab", {"a"}},
        // Quantifier characters where a term is expected are literal.
        {"*a", "x*a", true, "*a", {}},
        {"a**", "aa*", true, "aa*", {}},
        {"^a**", "aa", false, "", {}},
        {"+?", "+", true, "+", {}},
        // Alternation binds tighter than sequence and chains to the right.
        {"ab|cd", "abd", true, "abd", {}},
        {"ab|cd", "acd", true, "acd", {}},
        {"ab|cd", "ab", false, "", {}},
        {"a|b|c", "xc", true, "c", {}},
        {"^{a|ab}", "ab", true, "ab", {"ab"}},
        {"^{a|(ab)}", "ab", true, "a", {"a"}},
        {"^{a|(ab)}c", "abc", true, "abc", {"ab"}},
        {"^a|b*c", "bbc", true, "bbc", {}},
        {"^a|b*c", "ac", true, "ac", {}},
        // A bar or "!" without a term after it stands for itself.
        {"a|", "a|", true, "a|", {}},
        {"a|", "a", false, "", {}},
        {"^|a", "|a", true, "|a", {}},
        {"a!", "a!", true, "a!", {}},
        // A stray closer at the top level ends the pattern.
        {"ab)cd", "abx", true, "ab", {}},
        {"a]b", "ax", true, "a", {}},
        {"a}b", "ax", true, "a", {}},
        // An optional term that matches empty counts as absent.
        {"^{a*}?b", "b", true, "b", {kAbsent}},
        {"^{a*}?b", "aab", true, "aab", {"aa"}},
        {"^{a*}??b", "b", true, "b", {kAbsent}},
        // Backtracking restores the spans a failed path set.
        {"^(({a}b)|(ac))", "ac", true, "ac", {kAbsent}},
        {"^({a}|a)*-\\0", "a-", true, "a-", {kAbsent}},
        // In a repeated group the last iteration counts.
        {"^({[a-z]})+", "abc", true, "abc", {"c"}},
        {"^({[a-z]}[0-9])*x", "a1b2x", true, "a1b2x", {"b"}},
        {"^({[a-z]}[0-9])*x", "x", true, "x", {kAbsent}},
        // Case-insensitive mode lowers pattern and input; spans are the caller's.
        {"{[A-Z]+}", "12abcDEF", true, "abcDEF", {"abcDEF"}, false},
        {"^{[a-z]+}-\\0", "AbC-aBc", true, "AbC-aBc", {"AbC"}, false},
        {"^HELLO\\B", "hello ", true, "hello ", {}, false},
        {"^{[a-z]+}-\\0", "AbC-aBc", false, "", {kAbsent}},
        // The examples of the dialect's description.
        {kAdd4, "ADD h c 3 user", true, "ADD h c 3", {"ADD", "h", "c", "3"}},
        {kAdd4,
         "ADD h Directory Service 3",
         true,
         "ADD h Directory Service 3",
         {"ADD", "h Directory", "Service", "3"}},
        {kAdd6,
         "ADD h c 3 w1 w2 w3",
         true,
         "ADD h c 3 w1 w2 w3",
         {"ADD", "h", "c", "3", "w1 w2", "w3"}},
        {"{[0-9]|\\*}", "10", true, "1", {"1"}},
        {kAdd4, "ADD h:x c 3", false, "", {}},
        {kLogLevel2, "LOGLEVEL ", true, "LOGLEVEL ", {"LOGLEVEL", " "}},
    };
    for (const TMatchCase& c : cases) CheckCase(c);
}

TEST(RegExpMatch, CommandPatternsOnValidAndInvalidLines) {
    const TMatchCase cases[] = {
        {kLogin, "login alice secret", true, "login alice secret", {"login", "alice", "secret"}},
        {kLogin, "\tLOGIN a b c", true, "\tLOGIN a b c", {"LOGIN", "a b", "c"}},
        {kLogin, " \tLOGIN a b c", false, "", {}},
        {kLogin, "login alice", false, "", {}},
        {kLogin, "login:alice pw", false, "", {}},
        {kLogin, "login alice pw:x", true, "login alice pw", {"login", "alice", "pw"}},
        {kAdd6, "ADD host System 3 alice", false, "", {}},
        {kAdd4,
         "ADD host System 3 alice",
         true,
         "ADD host System 3",
         {"ADD", "host", "System", "3"}},
        {kAdd6,
         "add host System * bob pw",
         true,
         "add host System * bob pw",
         {"add", "host", "System", "*", "bob", "pw"}},
        {kAdd4, "ADD host System 10", true, "ADD host System 1", {"ADD", "host", "System", "1"}},
        {kAdd4, "ADD host System *", true, "ADD host System *", {"ADD", "host", "System", "*"}},
        {kAdd4, "ADD host System x", false, "", {}},
        {kAdd4, "ADD host 3", false, "", {}},
        {kAdd4, "ADDhost System 3", false, "", {}},
        {kDelete3, "DELETE host System", true, "DELETE host System", {"DELETE", "host", "System"}},
        {kDelete3, "DELETE host", false, "", {}},
        {kDelete2, "delete host", true, "delete host", {"delete", "host"}},
        {kDelete3, "DELETE * *", true, "DELETE * *", {"DELETE", "*", "*"}},
        {kReplay8,
         "REPLAY h System 3 20230101000000 20230102000000 u p",
         true,
         "REPLAY h System 3 20230101000000 20230102000000 u p",
         {"REPLAY", "h", "System", "3", "20230101000000", "20230102000000", "u", "p"}},
        {kReplay8, "REPLAY h System 3 20230101000000 0 u p", false, "", {}},
        {kReplay8Now,
         "REPLAY h System 3 20230101000000 0 u p",
         true,
         "REPLAY h System 3 20230101000000 0 u p",
         {"REPLAY", "h", "System", "3", "20230101000000", "0", "u", "p"}},
        {kReplay8, "REPLAY h System 3 20230101000000 20230102000000", false, "", {}},
        {kReplay6,
         "REPLAY h System 3 20230101000000 20230102000000",
         true,
         "REPLAY h System 3 20230101000000 20230102000000",
         {"REPLAY", "h", "System", "3", "20230101000000", "20230102000000"}},
        {kReplay6, "REPLAY h System 3 2023010100000 20230102000000", false, "", {}},
        {kReplay6Now,
         "replay h System * 20230101000000 0",
         true,
         "replay h System * 20230101000000 0",
         {"replay", "h", "System", "*", "20230101000000", "0"}},
        {kReplay6Now, "REPLAY h System 3 20230101000000 20230102000000", false, "", {}},
        {kLogLevel2, "LOGLEVEL debug", true, "LOGLEVEL debug", {"LOGLEVEL", "debug"}},
        {kLogLevel2, "LOGLEVEL", false, "", {}},
        {kLogLevel2, "LOGLEVELdebug", true, "LOGLEVELdebug", {"LOGLEVEL", "debug"}},
        {kLogLevel1, "LOGLEVEL", true, "LOGLEVEL", {"LOGLEVEL"}},
        {kLogLevel1, "loglevel   ", true, "loglevel   ", {"loglevel"}},
        {kLogLevel1, "LOGLEVE", false, "", {}},
    };
    for (const TMatchCase& c : cases) CheckCase(c);
}

TEST(RegExpParse, ErrorCodes) {
    const std::string deepParens = std::string(CRegExp::kMaxNesting + 1, '(') + "a" +
                                   std::string(CRegExp::kMaxNesting + 1, ')');
    const std::string deepestParens =
        std::string(CRegExp::kMaxNesting, '(') + "a" + std::string(CRegExp::kMaxNesting, ')');
    const std::string deepBlank = std::string(CRegExp::kMaxNesting - 1, '(') + "\\b" +
                                  std::string(CRegExp::kMaxNesting - 1, ')');
    const std::string deepNot = std::string(CRegExp::kMaxNesting + 1, '!') + "a";
    // Each "+" copies its term, so nested "+" grow the program exponentially.
    std::string doubling = "a";
    for (int i = 0; i < 40; ++i) doubling = "(" + doubling + ")+";
    const struct {
        std::string pattern;
        int code;
    } cases[] = {
        {"", CRegExp::ParseNoPattern},
        {"{a", CRegExp::ParseBraceExpected},
        {"{a)", CRegExp::ParseBraceExpected},
        {"{{a}", CRegExp::ParseBraceExpected},
        {"(a", CRegExp::ParseParenExpected},
        {"(a}", CRegExp::ParseParenExpected},
        {"(a]", CRegExp::ParseParenExpected},
        {"[abc", CRegExp::ParseBracketExpected},
        {"[", CRegExp::ParseBracketExpected},
        {"[^", CRegExp::ParseBracketExpected},
        {"[a-", CRegExp::ParseBracketExpected},
        {"[a-]", CRegExp::ParseBracketExpected},
        {"[a\\", CRegExp::ParseBracketExpected},
        {deepBlank, CRegExp::ParseAbbreviation},
        {"[]", CRegExp::ParseEmptySet},
        {"[^]", CRegExp::ParseEmptySet},
        {"[]a]", CRegExp::ParseEmptySet},
        {"\\0", CRegExp::ParseInvalidGroup},
        {"{a}\\1", CRegExp::ParseInvalidGroup},
        {"{a\\1}", CRegExp::ParseInvalidGroup},
        {"{a}\\99999999999999999999", CRegExp::ParseInvalidGroup},
        {"[b-a]", CRegExp::ParseInvalidRange},
        {"{[z-a]", CRegExp::ParseInvalidRange},
        {"(a*)*", CRegExp::ParseEmptyRepeat},
        {"()*", CRegExp::ParseEmptyRepeat},
        {"{}+", CRegExp::ParseEmptyRepeat},
        {"(a?)+?", CRegExp::ParseEmptyRepeat},
        {"(a*)*?", CRegExp::ParseEmptyRepeat},
        {"(a|b*)+", CRegExp::ParseEmptyRepeat},
        {"(!a)*", CRegExp::ParseEmptyRepeat},
        {"{a?}\\0*", CRegExp::ParseEmptyRepeat},
        {"({a})?\\0+", CRegExp::ParseEmptyRepeat},
        {"({a}|b)\\0*", CRegExp::ParseEmptyRepeat},
        {"\\b*?", CRegExp::ParseOk},
        {"(\\b?)*", CRegExp::ParseEmptyRepeat},
        {deepParens, CRegExp::ParseOutOfMemory},
        {deepNot, CRegExp::ParseOutOfMemory},
        {doubling, CRegExp::ParseOutOfMemory},
        // Valid neighbours of the errors above.
        {deepestParens, CRegExp::ParseOk},
        {"a**", CRegExp::ParseOk},
        {"!a*", CRegExp::ParseOk},
        {"(a*)?", CRegExp::ParseOk},
        {"(a*)??", CRegExp::ParseOk},
        {"{a}\\0*", CRegExp::ParseOk},
        {"[a-a]", CRegExp::ParseOk},
        {"^", CRegExp::ParseOk},
        {")", CRegExp::ParseOk},
        {"a)(", CRegExp::ParseOk},
    };
    for (const auto& c : cases) {
        CRegExp re;
        EXPECT_EQ(re.Parse(c.pattern.c_str()), c.code) << "pattern: " << c.pattern;
        EXPECT_EQ(re.GetLastError(), c.code) << "pattern: " << c.pattern;
        CRegExpMatch m;
        if (c.code != CRegExp::ParseOk) {
            EXPECT_FALSE(re.Match("a", &m)) << "pattern: " << c.pattern;
        }
    }
    CRegExp re;
    EXPECT_EQ(re.Parse(nullptr), CRegExp::ParseNoPattern);
}

TEST(RegExpParse, CompilingAgainReplacesProgram) {
    CRegExp re;
    CRegExpMatch m;
    ASSERT_EQ(re.Parse("{a}{b}"), CRegExp::ParseOk);
    EXPECT_EQ(re.GetGroupCount(), 2);
    ASSERT_EQ(re.Parse("[b-a]"), CRegExp::ParseInvalidRange);
    EXPECT_EQ(re.GetGroupCount(), 0);
    EXPECT_FALSE(re.Match("ab", &m));
    ASSERT_EQ(re.Parse("{x}"), CRegExp::ParseOk);
    EXPECT_EQ(re.GetLastError(), CRegExp::ParseOk);
    ASSERT_TRUE(re.Match("yx", &m));
    EXPECT_EQ(m.GetGroupText(0), "x");
}

TEST(RegExpMatch, NullArgumentsAndUncompiledPattern) {
    CRegExp re;
    CRegExpMatch m;
    EXPECT_FALSE(re.Match("a", &m));
    ASSERT_EQ(re.Parse("a*"), CRegExp::ParseOk);
    EXPECT_FALSE(re.Match(nullptr, &m));
    EXPECT_FALSE(re.Match("a", nullptr));
}

TEST(RegExpMatch, ReusedContextIsClearedByEachMatch) {
    CRegExp two;
    CRegExp one;
    ASSERT_EQ(two.Parse("{a}{b}"), CRegExp::ParseOk);
    ASSERT_EQ(one.Parse("{c}"), CRegExp::ParseOk);
    CRegExpMatch m;
    ASSERT_TRUE(two.Match("ab", &m));
    EXPECT_EQ(m.GetGroupCount(), 2);
    EXPECT_FALSE(one.Match("ab", &m));
    EXPECT_EQ(m.GetGroupCount(), 0);
    EXPECT_EQ(m.GetGroupText(0), "");
    ASSERT_TRUE(one.Match("xc", &m));
    EXPECT_EQ(m.GetGroupCount(), 1);
    EXPECT_EQ(m.GetGroupText(0), "c");
    EXPECT_EQ(m.GetGroup(1).start, nullptr);
    EXPECT_EQ(m.GetGroup(-1).start, nullptr);
}

// One compiled pattern serves several threads at once, each with its own
// context.
TEST(RegExpMatch, OneProgramMatchesOnSeveralThreads) {
    CRegExp re;
    ASSERT_EQ(re.Parse(kAdd6), CRegExp::ParseOk);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&re, &wrong, t] {
            const std::string host = "host" + std::to_string(t);
            const std::string line = "ADD " + host + " System 3 user pw";
            CRegExpMatch m;
            for (int i = 0; i < 2000; ++i) {
                if (!re.Match(line.c_str(), &m) || m.GetGroupText(1) != host) ++wrong;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(RegExpMatch, MatchGroupsCopiesTheRequestedGroups) {
    std::string out[6] = {"x", "x", "x", "x", "x", "x"};
    ASSERT_TRUE(CRegExp::MatchGroups(kAdd4, "ADD host System 3", 6, out));
    EXPECT_EQ(out[0], "ADD");
    EXPECT_EQ(out[3], "3");
    EXPECT_EQ(out[4], "");  // beyond the pattern's groups
    EXPECT_EQ(out[5], "");

    std::string untouched[1] = {"keep"};
    EXPECT_FALSE(CRegExp::MatchGroups(kAdd4, "ADD host", 1, untouched));
    EXPECT_FALSE(CRegExp::MatchGroups("[b-a]", "b", 1, untouched));
    EXPECT_EQ(untouched[0], "keep");
}

// Hostile patterns and inputs end in bounded time, without a crash, as a
// failed match.
TEST(RegExpLimits, ExponentialBacktrackingGivesUpCleanly) {
    const struct {
        const char* pattern;
        std::string input;
    } cases[] = {
        {"(a|a)*b", std::string(40, 'a')},
        {"^(a+)+b", std::string(40, 'a')},
        {"^({a+}+)+$", std::string(40, 'a') + "!"},
        {"^((a|a)(a|a))*b", std::string(60, 'a')},
        {"(.*?,)(.*?,)(.*?,)(.*?,)(.*?,)(.*?,)(.*?,)(.*?,)P", std::string(200, ',')},
    };
    for (const auto& c : cases) {
        CRegExp re;
        ASSERT_EQ(re.Parse(c.pattern), CRegExp::ParseOk) << c.pattern;
        CRegExpMatch m;
        m.SetLimits(2'000'000, CRegExpMatch::kDefaultMaxStackEntries);
        EXPECT_FALSE(re.Match(c.input.c_str(), &m)) << c.pattern;
        EXPECT_TRUE(m.LimitReached()) << c.pattern;
        // The context stays usable after giving up.
        ASSERT_EQ(re.Parse("a"), CRegExp::ParseOk);
        EXPECT_TRUE(re.Match("xa", &m)) << c.pattern;
        EXPECT_FALSE(m.LimitReached()) << c.pattern;
    }
}

TEST(RegExpLimits, StackGrowsForLongInputsAndStopsAtItsBound) {
    const std::string longInput(200000, 'x');
    CRegExp re;
    ASSERT_EQ(re.Parse("^{x*}{x}$"), CRegExp::ParseOk);
    CRegExpMatch m;
    ASSERT_TRUE(re.Match(longInput.c_str(), &m));
    EXPECT_EQ(m.GetGroupText(0).size(), longInput.size() - 1);
    EXPECT_EQ(m.GetGroupText(1), "x");

    m.SetLimits(CRegExpMatch::kDefaultMaxSteps, 1000);
    EXPECT_FALSE(re.Match(longInput.c_str(), &m));
    EXPECT_TRUE(m.LimitReached());
}

// Builds a line of keyword, words up to the length limit, and tail.
std::string LongLine(const std::string& keyword, const std::string& word, const std::string& tail) {
    std::string line = keyword;
    while (line.size() + 1 + word.size() + tail.size() <= 255) line += " " + word;
    return line + tail;
}

// Command lines stay below 256 characters. Valid lines of that length are
// decided well within the default bounds, with the server's order of
// patterns giving the expected result.
TEST(RegExpLimits, LongValidCommandLinesMatchWithinDefaultBounds) {
    const struct {
        const char* pattern;
        std::string line;
        bool matches;
    } cases[] = {
        {kAdd6, LongLine("ADD h", "cat", " 3"), false},
        {kAdd4, LongLine("ADD h", "cat", " 3"), true},
        {kAdd6, LongLine("ADD h", "c", " 3 u p"), true},
        {kAdd6, LongLine("ADD h c 3 u", "u", " p"), true},
        {kReplay8, LongLine("REPLAY h", "cat", " 3 20230101000000 20230102000000 u p"), true},
        {kReplay8, LongLine("REPLAY h", "cat", " 3 20230101000000 0 u p"), false},
        {kReplay8Now, LongLine("REPLAY h", "cat", " 3 20230101000000 0 u p"), true},
        {kReplay6, LongLine("REPLAY h", "cat", " 3 20230101000000 20230102000000"), true},
        {kReplay6Now, LongLine("REPLAY h", "c", " 3 20230101000000 0"), true},
        {kLogin, LongLine("LOGIN", "u", " p"), true},
        {kDelete3, LongLine("DELETE", "h", ""), true},
        {kLogLevel2, "LOGLEVEL" + std::string(246, ' ') + "x", true},
    };
    for (const auto& c : cases) {
        ASSERT_LT(c.line.size(), 256u);
        CRegExp re;
        ASSERT_EQ(re.Parse(c.pattern), CRegExp::ParseOk);
        CRegExpMatch m;
        EXPECT_EQ(re.Match(c.line.c_str(), &m), c.matches) << c.pattern << " on " << c.line;
        EXPECT_FALSE(m.LimitReached()) << c.pattern << " on " << c.line;
    }
}

// Lines built so that blank-separated "[^:]+" fields can be split in
// astronomically many ways end as failed matches within the bounds.
TEST(RegExpLimits, HostileCommandLinesEndWithinBounds) {
    const std::string lines[] = {
        "ADD" + std::string(251, ' ') + "x",
        "REPLAY" + std::string(248, ' ') + "x",
        LongLine("REPLAY", "a", ""),
        LongLine("ADD", "a", ""),
    };
    for (const char* pattern : kAllCommandPatterns) {
        CRegExp re;
        ASSERT_EQ(re.Parse(pattern), CRegExp::ParseOk);
        for (const std::string& line : lines) {
            CRegExpMatch m;
            const bool matched = re.Match(line.c_str(), &m);
            EXPECT_LE(m.GetStepCount(), CRegExpMatch::kDefaultMaxSteps)
                << pattern << " on " << line;
            if (m.LimitReached()) {
                EXPECT_FALSE(matched) << pattern << " on " << line;
            }
        }
    }
}

}  // namespace
