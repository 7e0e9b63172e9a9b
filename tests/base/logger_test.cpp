#include "base/logger.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/app/tempdir.h"
#include "tests/app/textmatch.h"

namespace {

// Lowers the process-wide rotation limits for one test and restores them.
class LoggerTest : public testing::Test {
  protected:
    void SetUp() override {
        savedSize = CLogger::maxLogSize;
        savedCount = CLogger::backupCount;
    }
    void TearDown() override {
        CLogger::maxLogSize = savedSize;
        CLogger::backupCount = savedCount;
    }
    // Creates a logger on a file in the test's folder, swallowing the console line.
    std::unique_ptr<CLogger> Make(const std::string& level, const std::string& name = "q.log") {
        testing::internal::CaptureStdout();
        auto logger = std::make_unique<CLogger>(name.empty() ? "" : dir.File(name), level);
        consoleLine = testing::internal::GetCapturedStdout();
        return logger;
    }
    std::string Content(const std::string& name = "q.log") { return ReadWholeFile(dir.File(name)); }

    TempDir dir;
    std::string consoleLine;
    long savedSize = 0;
    int savedCount = 0;
};

class RecordingSink : public CLogSink {
  public:
    void Write(const char* data, int length) override { texts.emplace_back(data, length); }
    std::vector<std::string> texts;
};

TEST_F(LoggerTest, LevelTexts) {
    struct Case {
        std::string text;
        int level;
    } cases[] = {
        {"debug", LOG_DEBUG},
        {"DEBUG", LOG_DEBUG},
        {"warning", LOG_WARN},
        {"Information", LOG_INFO},
        {"trace", LOG_TRACE},
        {"error", LOG_ERROR},
        {"FATAL", LOG_FATAL},
        {"err", LOG_TRACE},  // three characters match no name; no digits give 0
        {"bogus", LOG_TRACE},
        {"7", LOG_WARN},
        {"-3", LOG_INFO},
        {"4", LOG_ERROR},
        {"0", LOG_TRACE},
        {"", LOG_WARN},
        {" \tinfo\r\n", LOG_INFO},
        {"  2  ", LOG_INFO},
        {"fatal error", LOG_FATAL},
        // Only the first 15 characters of the trimmed text count.
        {std::string(40, '9'), LOG_WARN},
        {"debug" + std::string(35, 'x'), LOG_DEBUG},
        {std::string(15, '0') + std::string(25, '5'), LOG_TRACE},
    };
    auto logger = Make("info");
    for (const Case& c : cases) {
        logger->SetLevel(c.text);
        EXPECT_EQ(logger->GetLevel(), c.level) << '"' << c.text << '"';
    }
    EXPECT_STREQ(g_logLevelNames[0], "TRACE");
    EXPECT_STREQ(g_logLevelNames[5], "FATAL");
}

TEST_F(LoggerTest, CreationWritesConsoleLineAndHeader) {
    auto logger = Make("  warning\r\n");
    EXPECT_EQ(consoleLine, "Log level is set to WARN\r\n");
    EXPECT_EQ(Content(), "Log level WARN\r\n");
    logger.reset();
    // A second run appends to the same file.
    auto again = Make("debug");
    EXPECT_EQ(Content(), "Log level WARN\r\nLog level DEBUG\r\n");
}

TEST_F(LoggerTest, LineFormatFollowsLoggerLevel) {
    const std::string stamp = "##/##/## ##:##:## ";
    struct Case {
        const char* loggerLevel;
        int messageLevel;
        std::string shape;  // empty: nothing written
    } cases[] = {
        {"info", LOG_INFO, stamp + "(INFO) Server Started\r\n"},
        {"info", LOG_DEBUG, ""},
        {"info", LOG_ERROR, stamp + "(ERROR) Server Started\r\n"},
        {"debug", LOG_INFO, stamp + "(INFO) (S.cpp:72) Server Started\r\n"},
        {"trace", LOG_INFO, stamp + "(INFO) (S.cpp:72) Server Started\r\n"},
        {"trace", LOG_TRACE, stamp + "(TRACE) (S.cpp:72) Server Started\r\n"},
        {"warn", LOG_INFO, ""},
        {"fatal", LOG_FATAL, stamp + "(FATAL) Server Started\r\n"},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(dir.File("q.log"));
        auto logger = Make(c.loggerLevel);
        std::string header = Content();
        Log(logger.get(), c.messageLevel, 72, "S.cpp", "Server %s", "Started");
        std::string line = Content().substr(header.size());
        if (c.shape.empty()) {
            EXPECT_EQ(line, "") << c.loggerLevel << " " << c.messageLevel;
        } else {
            EXPECT_TRUE(MatchesShape(line, c.shape))
                << c.loggerLevel << " " << c.messageLevel << ": " << line;
        }
    }
}

TEST_F(LoggerTest, LongLinesAreCutAt999CharactersAndKeepTheirLineEnd) {
    // At INFO a line is a 25-character prefix, the message and CR LF; a
    // method-trace line at TRACE is a 52-character prefix ("date - time -
    // 1 - f.cpp - Starting Method : "), the text and CR LF. A line cut at 999
    // characters ends in CR LF all the same.
    enum Kind { kLine, kMethodStart, kMethodError };
    struct Case {
        Kind kind;
        size_t messageLength;
        size_t lineLength;
    } cases[] = {
        {kLine, 972, 999},   // fits exactly
        {kLine, 973, 999},   // one over: cut
        {kLine, 3000, 999},  // and the message itself cut at 2047 first
        {kMethodStart, 945, 999}, {kMethodStart, 946, 999}, {kMethodError, 2000, 999},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(dir.File("q.log"));
        auto logger = Make(c.kind == kLine ? "info" : "trace");
        size_t header = Content().size();
        std::string message(c.messageLength, 'm');
        switch (c.kind) {
            case kLine:
                Log(logger.get(), LOG_INFO, 1, "f.cpp", "%s", message.c_str());
                break;
            case kMethodStart:
                logger->LogMethodStart(1, "f.cpp", message.c_str());
                break;
            case kMethodError:
                logger->LogMethodError(1, "f.cpp", message.c_str(), "detail");
                break;
        }
        std::string line = Content().substr(header);
        EXPECT_EQ(line.size(), c.lineLength) << c.kind << " " << c.messageLength;
        EXPECT_EQ(line.find('\n'), line.size() - 1) << c.kind << " " << c.messageLength;
        EXPECT_EQ(line.substr(line.size() - 3), "m\r\n") << c.kind << " " << c.messageLength;
    }
}

TEST_F(LoggerTest, NoFileMeansNoLines) {
    RecordingSink sink;
    // A folder that does not exist, and an empty name.
    for (const std::string& name : {std::string("no/such/folder/q.log"), std::string()}) {
        auto logger = Make("debug", name);
        EXPECT_EQ(consoleLine, "Log level is set to DEBUG\r\n") << name;
        logger->AddSink(&sink);
        Log(logger.get(), LOG_ERROR, 1, "f.cpp", "lost");
        logger->LogMethodError(1, "f.cpp", "m", "d");
        EXPECT_TRUE(sink.texts.empty()) << name;
    }
    EXPECT_FALSE(std::filesystem::exists(dir.File("no")));
    EXPECT_EQ(std::filesystem::directory_iterator(dir.path()),
              std::filesystem::directory_iterator());
    Log(nullptr, LOG_FATAL, 1, "f.cpp", "a null logger ignores this");
}

TEST_F(LoggerTest, SinksAndMethodTraceLines) {
    RecordingSink sink;
    auto logger = Make("trace");
    logger->AddSink(&sink);
    logger->LogMethodStart(10, "f.cpp", "Open");
    logger->LogMethodEnd(11, "f.cpp", "Open");
    logger->LogMethodError(12, "f.cpp", "Open", "bad handle");
    logger->SetLevel("info");
    logger->LogMethodStart(13, "f.cpp", "skipped at INFO");
    logger->LogMethodError(14, "f.cpp", "Close", "any level");
    const std::string stamp = "##/##/## - ##:##:## - ";
    std::vector<std::string> patterns = {
        stamp + "10 - f.cpp - Starting Method : Open\r\n",
        stamp + "11 - f.cpp - Ending Method : Open\r\n",
        stamp + "12 - f.cpp - UnExpected Error In Method :  : Open( bad handle )\r\n",
        stamp + "14 - f.cpp - UnExpected Error In Method :  : Close( any level )\r\n",
    };
    ASSERT_EQ(sink.texts.size(), patterns.size());
    std::string all;
    for (size_t i = 0; i < patterns.size(); ++i) {
        EXPECT_TRUE(MatchesShape(sink.texts[i], patterns[i])) << sink.texts[i];
        all += sink.texts[i];
    }
    EXPECT_EQ(Content(), "Log level TRACE\r\n" + all);
}

TEST_F(LoggerTest, RotationShiftsBackups) {
    CLogger::maxLogSize = 200;
    CLogger::backupCount = 3;
    auto logger = Make("info");  // header: 16 bytes, 184 left
    const std::string rotated = "Rotating log file\r\n";
    std::string first = Content() + std::string(100, 'A');
    logger->Write(std::string(100, 'A').c_str(), 100);  // 84 left
    EXPECT_FALSE(std::filesystem::exists(dir.File("q.log.0")));
    logger->Write(std::string(34, 'B').c_str(), 34);  // 50 left: no rotation yet
    first += std::string(34, 'B');
    EXPECT_FALSE(std::filesystem::exists(dir.File("q.log.0")));
    logger->Write("C", 1);  // 49 left: appended, then rotated
    first += "C" + rotated;
    EXPECT_EQ(Content("q.log.0"), first);
    EXPECT_EQ(Content(), "");  // the new file gets no header

    // Each further rotation shifts the backups; the oldest beyond three goes.
    std::vector<std::string> generations = {first};
    for (char c : std::string("DEFG")) {
        std::string text(160, c);
        logger->Write(text.c_str(), static_cast<int>(text.size()));
        generations.insert(generations.begin(), text + rotated);
        for (int i = 0; i < 3 && i < static_cast<int>(generations.size()); ++i) {
            std::string name = "q.log." + std::to_string(i);
            EXPECT_EQ(Content(name), generations[i]) << c << " " << name;
        }
        EXPECT_FALSE(std::filesystem::exists(dir.File("q.log.3"))) << c;
    }
    // The next line lands in the fresh file.
    Log(logger.get(), LOG_INFO, 1, "f.cpp", "after");
    EXPECT_NE(Content().find("(INFO) after\r\n"), std::string::npos);
}

// The log holds addresses, user names and commands: the file and each
// rotated copy are readable by the owner and the owner's group only.
TEST_F(LoggerTest, TheLogAndItsRotatedCopiesAreClosedToOthers) {
    CLogger::maxLogSize = 200;
    CLogger::backupCount = 2;
    auto logger = Make("info");
    for (char c : std::string("ABC")) {
        std::string text(190, c);
        logger->Write(text.c_str(), static_cast<int>(text.size()));
    }
    namespace fs = std::filesystem;
    for (const char* name : {"q.log", "q.log.0", "q.log.1"}) {
        ASSERT_TRUE(fs::exists(dir.File(name))) << name;
        fs::perms perms = fs::status(dir.File(name)).permissions();
        EXPECT_EQ(fs::perms::none, perms & (fs::perms::others_all | fs::perms::group_write))
            << name << " mode " << std::oct << static_cast<unsigned>(perms);
    }
}

TEST_F(LoggerTest, RotationOffAndExistingFileSize) {
    // Rotation off: any amount may be written.
    CLogger::maxLogSize = 0;
    {
        auto logger = Make("info");
        std::string text(500, 'x');
        logger->Write(text.c_str(), 500);
        EXPECT_FALSE(std::filesystem::exists(dir.File("q.log.0")));
    }
    // An existing file counts against the limit: 516 + 16 bytes already
    // exceed 400, so the creation header rotates at once.
    CLogger::maxLogSize = 400;
    auto logger = Make("info");
    EXPECT_EQ(Content("q.log.0").size(), 516u + 16u + 19u);
    EXPECT_EQ(Content(), "");
}

TEST_F(LoggerTest, ConcurrentWritersKeepLinesWholeAcrossRotations) {
    CLogger::maxLogSize = 4000;
    CLogger::backupCount = 100;
    auto logger = Make("info");
    constexpr int kThreads = 4;
    constexpr int kLines = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&logger, t] {
            for (int i = 0; i < kLines; ++i) {
                Log(logger.get(), LOG_INFO, i, "w.cpp", "writer %d line %d %s", t, i, "payload");
            }
        });
    }
    std::thread levelChanger([&logger] {
        // Both levels keep INFO lines; only their format changes.
        for (int i = 0; i < 200; ++i) logger->SetLevel(i % 2 ? "info" : "debug");
    });
    for (auto& th : threads) th.join();
    levelChanger.join();
    logger.reset();

    // Every stored line is whole; no line is split between files.
    // At DEBUG the source position sits between the level and the text.
    const std::string line = "##/##/## ##:##:## (INFO) *writer # line * payload";
    int lines = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        std::string content = ReadWholeFile(entry.path().string());
        size_t pos = 0;
        while (pos < content.size()) {
            size_t end = content.find("\r\n", pos);
            ASSERT_NE(end, std::string::npos) << entry.path();
            std::string text = content.substr(pos, end - pos);
            pos = end + 2;
            if (text.rfind("Log level", 0) == 0 || text == "Rotating log file") continue;
            EXPECT_TRUE(MatchesShape(text, line)) << text;
            ++lines;
        }
    }
    EXPECT_EQ(lines, kThreads * kLines);
}

}  // namespace
