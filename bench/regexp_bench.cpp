// Compile + match of each command pattern on a typical command line
// (CRegExp::MatchGroups with a pattern text), side by side with std::regex
// and PCRE2 (8-bit, interpreter) on equivalent expressions. Each iteration
// compiles the pattern, matches the line and copies the groups into strings.
// The *Match benchmarks match a pattern compiled once, as the command server
// does for every command line.
#define PCRE2_CODE_UNIT_WIDTH 8
#include <benchmark/benchmark.h>
#include <pcre2.h>

#include <regex>
#include <string>
#include <vector>

#include "server/regexp.h"

namespace {

#define DIGITS14 "[0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9]"
#define REPLAY_HEAD \
    R"re(^\b?{[Rr][Ee][Pp][Ll][Aa][Yy]}\b+{[^:]+}\b+{[^:]+}\b+{[^:]+}\b+{)re" DIGITS14 "}"

struct TCommand {
    const char* name;
    const char* pattern;
    const char* line;
    int groups;
};

const TCommand kCommands[] = {
    {"login", R"re(^\b?{\c+}\b+{[^:]+}\b+{[^:]+})re", "LOGIN admin secret", 3},
    {"add6", R"re(^\b?{[Aa][Dd][Dd]}\b+{[^:]+}\b+{[^:]+}\b+{[0-9]|\*}\b+{[^:]+}\b+{[^:]+})re",
     "ADD server01 Application 3 admin secret", 6},
    {"add4", R"re(^\b?{[Aa][Dd][Dd]}\b+{[^:]+}\b+{[^:]+}\b+{[0-9]|\*})re",
     "ADD server01 Application 3", 4},
    {"delete3", R"re(^\b?{[Dd][Ee][Ll][Ee][Tt][Ee]}\b+{[^:]+}\b+{[^:]+})re",
     "DELETE server01 Application", 3},
    {"delete2", R"re(^\b?{[Dd][Ee][Ll][Ee][Tt][Ee]}\b+{[^:]+})re", "DELETE server01", 2},
    {"replay8", REPLAY_HEAD R"re(\b+{)re" DIGITS14 R"re(}\b+{[^:]+}\b+{[^:]+})re",
     "REPLAY server01 Application 3 20230101000000 20230102000000 admin secret", 8},
    {"replay8now", REPLAY_HEAD R"re(\b+{[0]}\b+{[^:]+}\b+{[^:]+})re",
     "REPLAY server01 Application 3 20230101000000 0 admin secret", 8},
    {"replay6", REPLAY_HEAD R"re(\b+{)re" DIGITS14 "}",
     "REPLAY server01 Application 3 20230101000000 20230102000000", 6},
    {"replay6now", REPLAY_HEAD R"re(\b+{[0]})re", "REPLAY server01 Application 3 20230101000000 0",
     6},
    {"loglevel2", R"re(^\b*{[Ll][Oo][Gg][Ll][Ee][Vv][Ee][Ll]}\b*{[^:]+})re", "LOGLEVEL DEBUG", 2},
    {"loglevel1", R"re(^\b*{[Ll][Oo][Gg][Ll][Ee][Vv][Ee][Ll]}\b*)re", "LOGLEVEL", 1},
};

// The same expression in the common syntax: "{...}" becomes a capturing
// "(...)", "\b" a blank-or-TAB class and "\c" a letter class. The command
// patterns use no other construct of their own.
std::string Equivalent(const char* pattern) {
    std::string out;
    for (const char* p = pattern; *p != '\0'; ++p) {
        if (*p == '{') {
            out += '(';
        } else if (*p == '}') {
            out += ')';
        } else if (*p == '\\' && p[1] == 'b') {
            out += "[ \\t]";
            ++p;
        } else if (*p == '\\' && p[1] == 'c') {
            out += "[a-zA-Z]";
            ++p;
        } else if (*p == '\\' && p[1] != '\0') {
            out += *p;
            out += *++p;
        } else {
            out += *p;
        }
    }
    return out;
}

void Quellon(benchmark::State& state, const TCommand& c) {
    std::vector<std::string> out(static_cast<size_t>(c.groups));
    for (auto _ : state) {
        if (!CRegExp::MatchGroups(c.pattern, c.line, c.groups, out.data()))
            state.SkipWithError("no match");
        benchmark::DoNotOptimize(out.data());
    }
}

void QuellonMatch(benchmark::State& state, const TCommand& c) {
    CRegExp re;
    re.Parse(c.pattern);
    CRegExpMatch m;
    std::vector<std::string> out(static_cast<size_t>(c.groups));
    for (auto _ : state) {
        if (!re.Match(c.line, &m)) state.SkipWithError("no match");
        for (int g = 0; g < c.groups; ++g) out[static_cast<size_t>(g)].assign(m.GetGroupText(g));
        benchmark::DoNotOptimize(out.data());
    }
}

// The expression compiled by PCRE2; null when it does not compile.
pcre2_code* Pcre2Compile(const std::string& expression) {
    int error = 0;
    PCRE2_SIZE offset = 0;
    return pcre2_compile(reinterpret_cast<PCRE2_SPTR>(expression.c_str()), PCRE2_ZERO_TERMINATED, 0,
                         &error, &offset, nullptr);
}

bool Pcre2Groups(pcre2_code* code, const char* line, int groups, std::vector<std::string>& out) {
    pcre2_match_data* md = pcre2_match_data_create_from_pattern(code, nullptr);
    const int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(line), PCRE2_ZERO_TERMINATED, 0,
                               0, md, nullptr);
    if (rc > 0) {
        const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md);
        for (int g = 0; g < groups; ++g) {
            const PCRE2_SIZE s = ov[2 * (g + 1)];
            const PCRE2_SIZE e = ov[2 * (g + 1) + 1];
            if (g + 1 < rc && s != PCRE2_UNSET) {
                out[static_cast<size_t>(g)].assign(line + s, e - s);
            } else {
                out[static_cast<size_t>(g)].clear();
            }
        }
    }
    pcre2_match_data_free(md);
    return rc > 0;
}

void Pcre2(benchmark::State& state, const TCommand& c) {
    const std::string expression = Equivalent(c.pattern);
    std::vector<std::string> out(static_cast<size_t>(c.groups));
    for (auto _ : state) {
        pcre2_code* code = Pcre2Compile(expression);
        if (code == nullptr || !Pcre2Groups(code, c.line, c.groups, out))
            state.SkipWithError("no match");
        pcre2_code_free(code);
        benchmark::DoNotOptimize(out.data());
    }
}

void Pcre2Match(benchmark::State& state, const TCommand& c) {
    const std::string expression = Equivalent(c.pattern);
    pcre2_code* code = Pcre2Compile(expression);
    std::vector<std::string> out(static_cast<size_t>(c.groups));
    for (auto _ : state) {
        if (code == nullptr || !Pcre2Groups(code, c.line, c.groups, out))
            state.SkipWithError("no match");
        benchmark::DoNotOptimize(out.data());
    }
    pcre2_code_free(code);
}

void StdRegex(benchmark::State& state, const TCommand& c) {
    const std::string expression = Equivalent(c.pattern);
    std::vector<std::string> out(static_cast<size_t>(c.groups));
    for (auto _ : state) {
        const std::regex re(expression);
        std::cmatch m;
        if (!std::regex_search(c.line, m, re)) state.SkipWithError("no match");
        for (int g = 0; g < c.groups; ++g) out[static_cast<size_t>(g)] = m[g + 1].str();
        benchmark::DoNotOptimize(out.data());
    }
}

// Checks once that the three engines report the same groups, so the figures
// compare equal work.
bool SameGroups(const TCommand& c) {
    std::vector<std::string> ours(static_cast<size_t>(c.groups));
    std::vector<std::string> pcre(static_cast<size_t>(c.groups));
    if (!CRegExp::MatchGroups(c.pattern, c.line, c.groups, ours.data())) return false;
    const std::string expression = Equivalent(c.pattern);
    pcre2_code* code = Pcre2Compile(expression);
    const bool pcreMatched = code != nullptr && Pcre2Groups(code, c.line, c.groups, pcre);
    pcre2_code_free(code);
    std::cmatch m;
    if (!pcreMatched || !std::regex_search(c.line, m, std::regex(expression))) return false;
    for (int g = 0; g < c.groups; ++g) {
        if (ours[static_cast<size_t>(g)] != pcre[static_cast<size_t>(g)] ||
            ours[static_cast<size_t>(g)] != m[g + 1].str()) {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    for (const TCommand& c : kCommands) {
        if (!SameGroups(c)) {
            fprintf(stderr, "engines disagree on %s\n", c.name);
            return 1;
        }
        const std::string name = c.name;
        benchmark::RegisterBenchmark(("Quellon/" + name).c_str(), Quellon, c);
        benchmark::RegisterBenchmark(("Pcre2/" + name).c_str(), Pcre2, c);
        benchmark::RegisterBenchmark(("StdRegex/" + name).c_str(), StdRegex, c);
    }
    for (const TCommand& c : kCommands) {
        const std::string name = c.name;
        benchmark::RegisterBenchmark(("QuellonMatch/" + name).c_str(), QuellonMatch, c);
        benchmark::RegisterBenchmark(("Pcre2Match/" + name).c_str(), Pcre2Match, c);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
