#include "app/tlssettings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "base/configdataloader.h"
#include "tests/app/tempdir.h"

namespace {

const char* const kAllKeys =
    "SSLPORT=8443\n"
    "SERVERCERTFILE=/etc/quellon/server.pem\n"
    "SERVERCERTPASSWORD=s3cret word\n"
    "DHFILE=/etc/quellon/dh.pem\n"
    "CALIST=/etc/quellon/calist.pem\n";

class TlsSettingsTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(dir.path().empty()); }
    void TearDown() override {
        delete g_config;
        g_config = nullptr;
    }

    // Loads a store whose [SSL] section holds the given lines.
    void LoadSslSection(const std::string& lines) {
        delete g_config;
        g_config =
            new CConfigDataLoader(dir.Write("quellon.ini", "[LISTEN]\nPORT=7668\n[SSL]\n" + lines));
        g_config->Load();
    }

    TempDir dir;
};

TEST_F(TlsSettingsTest, EnabledOnlyByTrueInAnyCase) {
    struct Case {
        const char* flagLine;
        bool enabled;
    };
    const Case cases[] = {
        {"", false},
        {"SSLENABLED=false\n", false},
        {"SSLENABLED=yes\n", false},
        {"SSLENABLED=1\n", false},
        {"SSLENABLED=true\n", true},
        {"SSLENABLED=TRUE\n", true},
        {"SSLENABLED=True\n", true},
    };
    for (const Case& c : cases) {
        LoadSslSection(std::string(c.flagLine) + kAllKeys);
        TTlsSettings settings;
        std::string error;
        EXPECT_TRUE(ReadTlsSettings(settings, error)) << c.flagLine << error;
        EXPECT_EQ(settings.enabled, c.enabled) << c.flagLine;
        EXPECT_TRUE(error.empty()) << c.flagLine;
    }
}

TEST_F(TlsSettingsTest, ReadsAllFiveKeys) {
    LoadSslSection(std::string("SSLENABLED=true\n") + kAllKeys);
    TTlsSettings settings;
    std::string error;
    ASSERT_TRUE(ReadTlsSettings(settings, error)) << error;
    EXPECT_EQ(settings.port, 8443);
    EXPECT_EQ(settings.certificateFile, "/etc/quellon/server.pem");
    EXPECT_EQ(settings.password, "s3cret word");
    EXPECT_EQ(settings.dhFile, "/etc/quellon/dh.pem");
    EXPECT_EQ(settings.caListFile, "/etc/quellon/calist.pem");
}

TEST_F(TlsSettingsTest, RelativeFilesAreResolvedAgainstTheProgramDirectory) {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    LoadSslSection(
        "SSLENABLED=true\nSSLPORT=8443\nSERVERCERTFILE=server.pem\nSERVERCERTPASSWORD=x\n"
        "DHFILE=dh.pem\nCALIST=calist.pem\n");
    TTlsSettings settings;
    std::string error;
    ASSERT_TRUE(ReadTlsSettings(settings, error)) << error;
    std::string expected = g_config->ResolvePath("server.pem");
    EXPECT_EQ(settings.certificateFile, expected);
    EXPECT_EQ(settings.certificateFile.front(), '/');
    EXPECT_EQ(settings.dhFile, g_config->ResolvePath("dh.pem"));
    EXPECT_EQ(settings.caListFile, g_config->ResolvePath("calist.pem"));
    ASSERT_EQ(chdir(cwd), 0);
}

TEST_F(TlsSettingsTest, EachMissingKeyIsNamed) {
    const char* const keys[] = {"SSLPORT", "SERVERCERTFILE", "SERVERCERTPASSWORD", "DHFILE",
                                "CALIST"};
    for (const char* key : keys) {
        std::string lines;
        std::string all = kAllKeys;
        size_t start = 0;
        while (start < all.size()) {
            size_t end = all.find('\n', start);
            std::string line = all.substr(start, end - start + 1);
            if (line.compare(0, std::string(key).size() + 1, std::string(key) + "=") != 0) {
                lines += line;
            }
            start = end + 1;
        }
        LoadSslSection("SSLENABLED=true\n" + lines);
        TTlsSettings settings;
        std::string error;
        EXPECT_FALSE(ReadTlsSettings(settings, error)) << key;
        EXPECT_EQ(error, std::string("SSL.SSLENABLED is true but SSL.") + key + " is not set")
            << key;
        EXPECT_EQ(error.find('\n'), std::string::npos) << key;
    }
}

TEST_F(TlsSettingsTest, PortMustNotBeZero) {
    struct Case {
        const char* value;
        int port;  // 0: refused
    };
    const Case cases[] = {
        {"8443", 8443}, {"9000abc", 9000}, {"74979", 9443}, {"0", 0},
        {"abc", 0},     {"65536", 0},      {"", 0},
    };
    for (const Case& c : cases) {
        std::string lines = std::string("SSLENABLED=true\nSSLPORT=") + c.value +
                            "\nSERVERCERTFILE=/a\nSERVERCERTPASSWORD=\nDHFILE=/b\nCALIST=/c\n";
        LoadSslSection(lines);
        TTlsSettings settings;
        std::string error;
        bool ok = ReadTlsSettings(settings, error);
        EXPECT_EQ(ok, c.port != 0) << c.value << ": " << error;
        if (c.port != 0) {
            EXPECT_EQ(settings.port, c.port) << c.value;
            EXPECT_EQ(settings.password, "") << c.value;
        } else {
            EXPECT_NE(error.find("SSL.SSLPORT"), std::string::npos) << c.value;
        }
    }
}

TEST_F(TlsSettingsTest, NoStoreMeansNoTls) {
    TTlsSettings settings;
    settings.enabled = true;
    std::string error = "stale";
    EXPECT_TRUE(ReadTlsSettings(settings, error));
    EXPECT_FALSE(settings.enabled);
    EXPECT_TRUE(error.empty());
}

}  // namespace
