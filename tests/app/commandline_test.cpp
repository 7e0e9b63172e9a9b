#include "app/commandline.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// argv for a list of arguments; argv[0] is the program name.
class Argv {
  public:
    explicit Argv(std::vector<std::string> args) : storage(std::move(args)) {
        storage.insert(storage.begin(), "quellon");
        for (const std::string& s : storage) pointers.push_back(s.c_str());
        pointers.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(storage.size()); }
    const char* const* argv() const { return pointers.data(); }

  private:
    std::vector<std::string> storage;
    std::vector<const char*> pointers;
};

std::string Join(const std::vector<std::string>& args) {
    std::string text;
    for (const std::string& a : args)
        text += "[" + a.substr(0, 20) + (a.size() > 20 ? "...]" : "]");
    return text;
}

TEST(CommandLineArgs, SwitchRecognition) {
    struct Case {
        const char* arg;
        bool isSwitch;
    } cases[] = {
        {"-c", true},   {"-C", true}, {"--c", true}, {"-abc", true}, {"-5", false},
        {"-0x", false}, {"-", false}, {"c", false},  {"", false},    {"x-c", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CCommandLineArgs::IsSwitch(c.arg), c.isSwitch) << '"' << c.arg << '"';
    }
    EXPECT_FALSE(CCommandLineArgs::IsSwitch(nullptr));
}

TEST(CommandLineArgs, ValidationLengthRule) {
    const std::string s128(128, 'a');
    struct Case {
        std::vector<std::string> args;
        bool valid;
    } cases[] = {
        {{}, true},
        {{"-c", std::string(256, 'a')}, true},
        {{"-c", std::string(257, 'a')}, false},
        // The sum over all values of one switch counts.
        {{"-n", s128, s128}, true},
        {{"-n", s128, s128, "b"}, false},
        {{"-n", std::string(200, 'a'), std::string(56, 'b'), "-c", std::string(256, 'c')}, true},
        // Each switch has its own sum.
        {{"-n", s128, "-c", s128, s128}, true},
        // The switch itself is limited on its own.
        {{"-" + std::string(255, 'x')}, true},
        {{"-" + std::string(256, 'x')}, false},
        // Arguments before the first switch are not counted.
        {{std::string(1000, 'a'), "-c", "x"}, true},
        // "-5" is a value of the switch before it.
        {{"-c", std::string(254, 'a'), "-5"}, true},
        {{"-c", std::string(255, 'a'), "-5"}, false},
    };
    for (const Case& c : cases) {
        Argv argv(c.args);
        CCommandLineArgs table;
        testing::internal::CaptureStdout();
        bool valid = table.Validate(argv.argc(), argv.argv());
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(valid, c.valid) << Join(c.args);
        std::string expected = "Validating command line arguments.\r\n";
        if (c.valid) expected += "Validation of command line arguments is successful.\r\n\n";
        EXPECT_EQ(out, expected) << Join(c.args);
    }
}

TEST(CommandLineArgs, ParseBuildsListsPerSwitch) {
    using Lists = std::vector<std::pair<std::string, std::vector<std::string>>>;
    struct Case {
        std::vector<std::string> args;
        int switches;
        Lists expected;
        std::vector<std::string> absent = {};
    } cases[] = {
        {{"-n", "Event", "Listener", "-c", "first.ini"},
         2,
         {{"-n", {"Event", "Listener"}}, {"-c", {"first.ini"}}}},
        // A repeated switch keeps its first list; the value it consumed is
        // lost, later values join the first list.
        {{"-c", "first.ini", "-c", "second.ini", "third"}, 1, {{"-c", {"first.ini", "third"}}}},
        {{"-c", "-5"}, 1, {{"-c", {"-5"}}}},
        {{"-c"}, 1, {{"-c", {}}}},
        // An empty first value is consumed but not stored.
        {{"-c", "", "x"}, 1, {{"-c", {"x"}}}},
        {{"before", "-x", "after"}, 1, {{"-x", {"after"}}}, {"before"}},
        {{"-i", "alice", "secret", "-n", "My", "Service"},
         2,
         {{"-i", {"alice", "secret"}}, {"-n", {"My", "Service"}}}},
        // Case matters.
        {{"-C", "a", "-c", "b"}, 2, {{"-C", {"a"}}, {"-c", {"b"}}}},
    };
    for (const Case& c : cases) {
        Argv argv(c.args);
        CCommandLineArgs table;
        EXPECT_EQ(table.Parse(argv.argc(), argv.argv()), c.switches) << Join(c.args);
        for (const std::string& name : c.absent) {
            EXPECT_FALSE(table.HasSwitch(name)) << Join(c.args) << " " << name;
        }
        for (const auto& [name, values] : c.expected) {
            EXPECT_TRUE(table.HasSwitch(name)) << Join(c.args) << " " << name;
            for (size_t i = 0; i < values.size(); ++i) {
                EXPECT_EQ(table.GetValue(name, i, "<none>"), values[i])
                    << Join(c.args) << " " << name;
            }
            EXPECT_EQ(table.GetValue(name, values.size(), "<none>"), "<none>")
                << Join(c.args) << " " << name;
        }
    }
}

TEST(CommandLineArgs, ParseEmptiesTableAndDefaultsApply) {
    CCommandLineArgs table;
    Argv first({"-c", "a.ini", "-v"});
    table.Parse(first.argc(), first.argv());
    ASSERT_TRUE(table.HasSwitch("-v"));
    Argv second({"-h"});
    EXPECT_EQ(table.Parse(second.argc(), second.argv()), 1);
    EXPECT_FALSE(table.HasSwitch("-v"));
    EXPECT_FALSE(table.HasSwitch("-c"));
    EXPECT_EQ(table.GetValue("-c", 0, "quellon.ini"), "quellon.ini");
}

}  // namespace
