#include "base/configdataloader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "tests/app/tempdir.h"

namespace {

// Loads content as a configuration file and returns the store.
class ConfigFile {
  public:
    explicit ConfigFile(const std::string& content)
        : path(dir.Write("quellon.ini", content)), store(path) {}
    TempDir dir;
    std::string path;
    CConfigDataLoader store;
};

std::string ValueOf(const CConfigDataLoader& store, const std::string& key) {
    try {
        return store.GetKeyValue(key);
    } catch (const CConfigDataLoader::EInvalidKey&) {
        return "<absent>";
    }
}

TEST(ConfigDataLoader, KeysAndValuesAsWritten) {
    ConfigFile f(
        "; a comment\n"
        "# another comment\n"
        "orphan=before any section\n"
        "[logger]\n"
        "FileName = \"q.log\"  \n"
        "level=debug\r\n"
        "\n"
        "[ LISTEN ]\n"
        "PORT=7668\n"
        "PORT=9999\n"
        "just text\n"
        "EMPTY=\n"
        "[LOCAL_AUTH]\n"
        "PASSWORD=a=b==c\n"
        "[listen]\n"
        "MAXCONNECTIONS=5\n"
        "port=1234\n");
    ASSERT_EQ(f.store.Load(), 1);
    struct Case {
        const char* key;
        const char* value;
    } cases[] = {
        {"Logger.filename", "\"q.log\""},
        {"LOGGER.FILENAME", "\"q.log\""},
        {"logger.Level", "debug"},
        {"LISTEN.PORT", "7668"},            // first occurrence wins, also across repeats
        {"LISTEN.MAXCONNECTIONS", "5"},     // a repeated section adds its entries
        {"LISTEN.", "just text"},           // an entry without "="
        {"LISTEN.EMPTY", ""},               // present, empty
        {"LOCAL_AUTH.PASSWORD", "a=b==c"},  // later "=" belong to the value
        {"orphan", "<absent>"},
        {".orphan", "<absent>"},
        {"LISTEN.MISSING", "<absent>"},
    };
    for (const Case& c : cases) EXPECT_EQ(ValueOf(f.store, c.key), c.value) << c.key;
    EXPECT_EQ(DecimalPrefix(f.store.GetKeyValue("LISTEN.EMPTY")), 0);
    EXPECT_EQ(f.store.ListPairs(),
              "LISTEN.=just text,LISTEN.EMPTY=,LISTEN.MAXCONNECTIONS=5,LISTEN.PORT=7668,"
              "LOCAL_AUTH.PASSWORD=a=b==c,LOGGER.FILENAME=\"q.log\",LOGGER.LEVEL=debug,");
}

// What the table cannot show is named by key: faults of the file (a NUL
// byte, an entry before any section) and keys given again with another value
// (also in a repeated section); a repeat with the same value is no conflict.
TEST(ConfigDataLoader, FaultsAndConflictsNameTheirKeys) {
    ConfigFile f("orphan=1\n[LISTEN]\nPORT=1\nPORT=1\nMAXCONNECTIONS=5\n" +
                 std::string("ADDRESS=::1\0junk\n", 17) +
                 "[Local_Auth]\nPASSWORD=a\n[listen]\nMAXCONNECTIONS=6\n"
                 "[LOCAL_AUTH]\npassword=b\n");
    ASSERT_EQ(f.store.Load(), 1);
    EXPECT_EQ(f.store.Faults(), (std::vector<std::string>{"orphan is set before any [section]",
                                                          "LISTEN.ADDRESS holds a NUL byte"}));
    EXPECT_EQ(f.store.Conflicts(),
              (std::vector<std::string>{"LISTEN.MAXCONNECTIONS", "Local_Auth.password"}));
    EXPECT_EQ(ValueOf(f.store, "LISTEN.MAXCONNECTIONS"), "5");

    ConfigFile clean("[A]\nx=1\n[a]\nX=1\n");
    ASSERT_EQ(clean.store.Load(), 1);
    EXPECT_TRUE(clean.store.Faults().empty());
    EXPECT_TRUE(clean.store.Conflicts().empty());
}

TEST(ConfigDataLoader, ListPairsOrderAndEmptyTable) {
    ConfigFile f("[Logger]\nlevel=DEBUG\n[LISTEN]\nPORT=7668\n");
    ASSERT_EQ(f.store.Load(), 1);
    EXPECT_EQ(f.store.ListPairs(), "LISTEN.PORT=7668,LOGGER.LEVEL=DEBUG,");
    CConfigDataLoader empty(f.dir.File("missing.ini"));
    EXPECT_EQ(empty.Load(), 1);
    EXPECT_EQ(empty.ListPairs(), "");
    EXPECT_EQ(empty.ListPairsMasked(), "");
    EXPECT_THROW(empty.GetKeyValue("LISTEN.PORT"), CConfigDataLoader::EInvalidKey);
}

TEST(ConfigDataLoader, EntryWithoutNameStopsLoadKeepingEarlierPairs) {
    ConfigFile f("[A]\nX=1\n[B]\nY=2\n=3\nZ=4\n[C]\nW=5\n");
    EXPECT_THROW(f.store.Load(), CConfigDataLoader::EInvalidKeyValuePair);
    EXPECT_EQ(f.store.ListPairs(), "A.X=1,B.Y=2,");
    // A second load starts from an empty table.
    f.dir.Write("quellon.ini", "[A]\nX=9\n");
    EXPECT_EQ(f.store.Load(), 1);
    EXPECT_EQ(f.store.ListPairs(), "A.X=9,");
}

TEST(ConfigDataLoader, MaskedListingHidesPasswordEntriesOnly) {
    ConfigFile f(
        "[LOCAL_AUTH]\nUSERNAME=monitor\nPassword=s3cret,with=comma\npassword hunter2\n"
        "[SSL]\nSERVERCERTPASSWORD=pem-pass\nSSLENABLED=true\n"
        "[PASSWORDS]\nuser=alice\n"
        "[X]\nold_passwordHint=h\nbare entry\n");
    ASSERT_EQ(f.store.Load(), 1);
    // A line without "=" that names a password is masked too.
    EXPECT_EQ(f.store.ListPairsMasked(),
              "LOCAL_AUTH.=****,LOCAL_AUTH.PASSWORD=****,LOCAL_AUTH.USERNAME=monitor,"
              "PASSWORDS.USER=alice,"
              "SSL.SERVERCERTPASSWORD=****,SSL.SSLENABLED=true,X.=bare entry,"
              "X.OLD_PASSWORDHINT=****,");
    // The plain listing is unchanged.
    EXPECT_NE(f.store.ListPairs().find("LOCAL_AUTH.PASSWORD=s3cret,with=comma,"),
              std::string::npos);
}

// Records the buffer sizes Load hands to the profile reader.
class RecordingLoader : public CConfigDataLoader {
  public:
    using CConfigDataLoader::CConfigDataLoader;
    std::vector<size_t> nameSizes;
    std::vector<std::pair<std::string, size_t>> sectionSizes;

  protected:
    size_t ReadSectionNames(char* buffer, size_t size, size_t* needed) override {
        nameSizes.push_back(size);
        return CConfigDataLoader::ReadSectionNames(buffer, size, needed);
    }
    size_t ReadSection(const std::string& section, char* buffer, size_t size,
                       size_t* needed) override {
        sectionSizes.push_back({section, size});
        return CConfigDataLoader::ReadSection(section, buffer, size, needed);
    }
};

std::vector<size_t> SizesUpTo(size_t last) {
    std::vector<size_t> sizes;
    for (size_t s = 5000; s <= last; s += 2000) sizes.push_back(s);
    return sizes;
}

// A section whose name makes the name list need exactly `bytes` bytes (the
// name, its NUL and the list's final NUL).
std::string SectionNeedingNameBytes(size_t bytes) {
    return "[" + std::string(bytes - 2, 'S') + "]\n";
}

// An entry list that needs exactly `bytes` bytes: "K=" + value, NUL, final NUL.
std::string EntryNeedingBytes(size_t bytes) { return "K=" + std::string(bytes - 4, 'v') + "\n"; }

TEST(ConfigDataLoader, NameListBufferGrowth) {
    struct Case {
        size_t needed;
        bool large;
        std::vector<size_t> sizes;
    } cases[] = {
        {100, false, {5000}},
        {4999, false, {5000}},
        {5000, false, {5000}},
        {5001, false, {5000, 7000}},
        {19000, false, SizesUpTo(19000)},
        {19001, true, SizesUpTo(19000)},
    };
    for (const Case& c : cases) {
        TempDir dir;
        RecordingLoader store(dir.Write("big.ini", SectionNeedingNameBytes(c.needed) + "A=1\n"));
        if (c.large) {
            EXPECT_THROW(store.Load(), CConfigDataLoader::ELargeFile) << c.needed;
            EXPECT_TRUE(store.sectionSizes.empty()) << c.needed;
        } else {
            EXPECT_EQ(store.Load(), 1) << c.needed;
            EXPECT_EQ(ValueOf(store, std::string(c.needed - 2, 'S') + ".A"), "1") << c.needed;
        }
        EXPECT_EQ(store.nameSizes, c.sizes) << c.needed;
    }
}

TEST(ConfigDataLoader, SectionBufferGrowsAndIsKept) {
    TempDir dir;
    // A needs 6000 bytes, so B and C start at the 7000 bytes reached.
    RecordingLoader store(
        dir.Write("q.ini", "[A]\n" + EntryNeedingBytes(6000) + "[B]\nX=1\n[C]\nY=2\n"));
    ASSERT_EQ(store.Load(), 1);
    EXPECT_EQ(store.nameSizes, std::vector<size_t>{5000});
    std::vector<std::pair<std::string, size_t>> expected = {
        {"A", 5000}, {"A", 7000}, {"B", 7000}, {"C", 7000}};
    EXPECT_EQ(store.sectionSizes, expected);
    EXPECT_EQ(store.GetKeyValue("C.Y"), "2");

    // One section over 19000 bytes: refused, earlier sections kept.
    RecordingLoader large(
        dir.Write("large.ini", "[A]\nX=1\n[B]\n" + EntryNeedingBytes(19001) + "[C]\nY=2\n"));
    EXPECT_THROW(large.Load(), CConfigDataLoader::ELargeFile);
    EXPECT_EQ(large.ListPairs(), "A.X=1,");
    std::vector<std::pair<std::string, size_t>> tried = {{"A", 5000}};
    for (size_t s : SizesUpTo(19000)) tried.push_back({"B", s});
    EXPECT_EQ(large.sectionSizes, tried);

    // Exactly 19000 bytes still fits.
    RecordingLoader fits(dir.Write("fits.ini", "[B]\n" + EntryNeedingBytes(19000)));
    EXPECT_EQ(fits.Load(), 1);
    EXPECT_EQ(fits.GetKeyValue("B.K").size(), 19000u - 4);
}

// Rewrites its file while the first section is read: a load that reads the
// file afresh for each section would mix the two contents.
class RewritingLoader : public CConfigDataLoader {
  public:
    RewritingLoader(TempDir& dir, const std::string& first, std::string second)
        : CConfigDataLoader(dir.Write("many.ini", first)), dir(dir), second(std::move(second)) {}

  protected:
    size_t ReadSection(const std::string& section, char* buffer, size_t size,
                       size_t* needed) override {
        if (!second.empty()) {
            dir.Write("many.ini", second);
            second.clear();
        }
        return CConfigDataLoader::ReadSection(section, buffer, size, needed);
    }

  private:
    TempDir& dir;
    std::string second;
};

TEST(ConfigDataLoader, ThousandsOfSectionsComeFromOneReadingOfTheFile) {
    // Each section "S0000".."S2999" appears twice, the second time in lower
    // case: one listed name (18001 bytes of names for 3000, within the
    // limit), the entries of both. The file is replaced during the load by
    // one of a single section.
    constexpr int kSections = 3000;
    std::string first;
    std::string again;
    for (int i = 0; i < kSections; ++i) {
        char text[64];
        std::snprintf(text, sizeof text, "[S%04d]\nA=%d\n", i, i);
        first += text;
        std::snprintf(text, sizeof text, "[s%04d]\nB=%d\n", i, i);
        again += text;
    }
    TempDir dir;
    RewritingLoader store(dir, first + again, "[S0000]\nA=replaced\n");
    ASSERT_EQ(store.Load(), 1);
    std::string expected;
    for (int i = 0; i < kSections; ++i) {
        char text[64];
        std::snprintf(text, sizeof text, "S%04d.A=%d,S%04d.B=%d,", i, i, i, i);
        expected += text;
    }
    EXPECT_TRUE(store.ListPairs() == expected) << "sections lost, mixed or not merged";

    // The next load reads the file as it is now.
    ASSERT_EQ(store.Load(), 1);
    EXPECT_EQ(store.ListPairs(), "S0000.A=replaced,");
}

TEST(ConfigDataLoader, ResolvePathAgainstProgramDirectory) {
    std::string saved = platform::CurrentDirectory();
    TempDir dir;
    ASSERT_TRUE(platform::ChangeDirectory(dir.path()));
    CConfigDataLoader store(dir.File("none.ini"));
    std::string programDir = platform::ProgramDirectory();
    ASSERT_FALSE(programDir.empty());

    EXPECT_EQ(store.ResolvePath("quellon.log"), programDir + "quellon.log");
    EXPECT_EQ(platform::CurrentDirectory() + "/", programDir);
    EXPECT_EQ(store.ResolvePath("sub/../x.pem"), programDir + "x.pem");
    EXPECT_EQ(store.ResolvePath("/var/log/q.log"), "/var/log/q.log");
    platform::ChangeDirectory(saved);
}

TEST(ConfigDataLoader, DecimalPrefixRule) {
    struct Case {
        const char* text;
        long value;
    } cases[] = {
        {"7668", 7668},
        {"  42abc", 42},
        {"\t\n12", 12},
        {"+7", 7},
        {"-3", -3},
        {"abc", 0},
        {"", 0},
        {"- 5", 0},
        {"12 34", 12},
        {"0x1F", 0},
        {"99999999999999999999", LONG_MAX},
        {"-99999999999999999999", LONG_MIN},
    };
    for (const Case& c : cases) EXPECT_EQ(DecimalPrefix(c.text), c.value) << '"' << c.text << '"';
}

}  // namespace
