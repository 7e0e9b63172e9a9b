// Runs the built program with real arguments, standard input and files.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/app/builtprogram.h"
#include "tests/app/tempdir.h"
#include "tests/app/textmatch.h"

namespace {

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

const std::string kValidated =
    "Validating command line arguments.\r\nValidation of command line arguments is "
    "successful.\r\n\n";

// What the subscription engine prints while it stops with its default 10
// connector and 32 query threads.
const std::string kEngineShutdown =
    "Terminating threads ...\r\n"
    "Waiting on connector threads ..." +
    std::string(10, '.') +
    "\r\n"
    "Waiting on worker threads ..." +
    std::string(32, '.') +
    "\r\n"
    "Erasing connector threads ..." +
    std::string(10, '.') +
    "\r\n"
    "Erasing working threads ..." +
    std::string(32, '.') +
    "\r\n"
    "Calling grdSubsList.unLock() ...\r\n"
    "Breaking out of while loop\r\n"
    "Terminating application\r\n";

class ProgramTest : public testing::Test {
  protected:
    void SetUp() override {
        program = BuiltProgram("quellon");
        ASSERT_EQ(access(program.c_str(), X_OK), 0) << program;
        ASSERT_EQ(mkdir(work.File("cwd").c_str(), 0755), 0);
        ASSERT_EQ(mkdir(work.File("etc").c_str(), 0755), 0);
    }

    // Runs the program in work/cwd with the fallback directory work/etc.
    Outcome Start(const std::vector<std::string>& args, const std::string& input = "") {
        std::string in = work.Write("stdin", input);
        std::string out = work.File("stdout");
        std::string err = work.File("stderr");
        std::string cwd = work.File("cwd");
        std::string etc = work.File("etc");
        pid_t pid = fork();
        if (pid == 0) {
            int fdIn = open(in.c_str(), O_RDONLY);
            int fdOut = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int fdErr = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fdIn < 0 || fdOut < 0 || fdErr < 0 || chdir(cwd.c_str()) != 0) _exit(127);
            dup2(fdIn, 0);
            dup2(fdOut, 1);
            dup2(fdErr, 2);
            setenv("QUELLON_SYSCONFDIR", etc.c_str(), 1);
            setenv("QUELLON_UNIT_DIR", etc.c_str(), 1);
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(program.c_str()));
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        Outcome run;
        waitpid(pid, &run.status, 0);
        run.out = ReadWholeFile(out);
        run.err = ReadWholeFile(err);
        return run;
    }

    static bool ExitedZero(const Outcome& run) {
        return WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0;
    }

    // A configuration whose log file lies in the test folder.
    std::string Config(const std::string& extra = "") {
        return "[LISTEN]\nADDRESS=127.0.0.1\nPORT=0\n[Logger]\nfilename=\"" + work.File("q.log") +
               "\"\nlevel=debug\n[LOCAL_AUTH]\nUSERNAME=monitor\nPASSWORD=top-secret\n" + extra;
    }

    TempDir work;
    std::string program;
};

TEST_F(ProgramTest, UsageByteForByte) {
    Outcome run = Start({"-h"});
    EXPECT_TRUE(ExitedZero(run));
    EXPECT_EQ(run.out,
              kValidated +
                  "quellon [ -x | -s ] [ -c <config_file> ] [ -v ] [ -h ]  [ -i [user] [pass] [-n "
                  "name] ]  [ -u ]\r\n"
                  "where:\r\n"
                  "\t-x run listener in console mode (default)\r\n"
                  "\t-s run as service\r\n"
                  "\t-c use specified config file\r\n"
                  "\t-v shows current version\r\n"
                  "\t-h shows this help message\r\n"
                  "\t-i install as service using -n name as long service name (optional "
                  "user/pass)\r\n"
                  "\t-u uninstall service\r\n");
    EXPECT_EQ(run.err, "");
}

TEST_F(ProgramTest, Version) {
    Outcome run = Start({"-v"});
    EXPECT_TRUE(ExitedZero(run));
    ASSERT_EQ(run.out.rfind(kValidated, 0), 0u) << run.out;
    std::string text = run.out.substr(kValidated.size());
    EXPECT_TRUE(MatchesShape(
        text, "Halcrest WMI Event Listener (v5.5 build * ####) @ ##:##:##\r\n*\r\n\r\n"))
        << run.out;
    // The notice is a single line.
    size_t firstEnd = text.find("\r\n");
    EXPECT_EQ(text.find("\r\n", firstEnd + 2), text.size() - 4) << run.out;
}

TEST_F(ProgramTest, ModeSelection) {
    // The unit folder of the service manager is the test's own folder.
    struct Case {
        std::vector<std::string> args;
        std::string expected;  // what follows the validation lines
    } cases[] = {
        {{"-h", "-v"}, "quellon [ -x"},
        {{"-v", "-i"}, "Halcrest WMI Event Listener"},
        {{"-i", "alice"}, "Error: please specify both username and password\r\n"},
        {{"-s", "-i"}, " Exe path " + program + "\r\n"},
        {{"-i", "alice", "pw", "-n", "Event", "Listener", "-c", "my.ini"},
         "Service is already installed.\r\n"},
        {{"-u", "-s"}, "Uninstalled Service Successfully.\r\n"},
        {{"-u"}, "Uninstall Failed! Please check if the service is installed.\r\n"},
        {{"-x", "-s"}, "Failed to open the config file\r\n"},
    };
    for (const Case& c : cases) {
        Outcome run = Start(c.args);
        EXPECT_TRUE(ExitedZero(run)) << c.args[0];
        EXPECT_EQ(run.out.rfind(kValidated + c.expected, 0), 0u) << c.args[0] << ": " << run.out;
    }
    // Service mode announces itself on standard error first.
    Outcome run = Start({"-s"});
    EXPECT_EQ(run.err.rfind("Now starting as service", 0), 0u) << run.err;
}

TEST_F(ProgramTest, ValidationFailure) {
    Outcome run = Start({"-c", std::string(257, 'a'), "-h"});
    EXPECT_TRUE(ExitedZero(run));
    EXPECT_EQ(run.out,
              "Validating command line arguments.\r\nInvalid command line parameter. Argument "
              "length for each switch is limited to 256 characters.");
}

TEST_F(ProgramTest, MissingConfigurationFile) {
    Outcome run = Start({}, "q\n");
    EXPECT_TRUE(ExitedZero(run));
    EXPECT_EQ(run.out, kValidated +
                           "Starting in standalone mode, loading quellon.ini\r\n"
                           "Failed to open the config file\r\n");
}

TEST_F(ProgramTest, ConsoleStopsAtQ) {
    work.Write("cwd/quellon.ini", Config());
    Outcome run = Start({}, "x y Q z");
    EXPECT_TRUE(ExitedZero(run));
    EXPECT_EQ(run.out, kValidated +
                           "Starting in standalone mode, loading quellon.ini\r\n"
                           "Using Config File: " +
                           work.File("cwd/quellon.ini") +
                           "\r\n"
                           "Log level is set to DEBUG\r\n"
                           "Log file " +
                           work.File("q.log") +
                           "\r\n"
                           "Press Q to quit\r\n"
                           "Shutting down..." +
                           kEngineShutdown);
    std::string log = ReadWholeFile(work.File("q.log"));
    EXPECT_EQ(log.rfind("Log level DEBUG\r\n", 0), 0u) << log;
    EXPECT_NE(log.find("LOCAL_AUTH.PASSWORD=****,LOCAL_AUTH.USERNAME=monitor,"), std::string::npos)
        << log;
    EXPECT_EQ(log.find("top-secret"), std::string::npos) << log;
    size_t starting = log.find("(INFO) (pellmoor.cpp:");
    size_t stopped = log.find("Server Stopped.");
    EXPECT_NE(starting, std::string::npos) << log;
    EXPECT_NE(stopped, std::string::npos) << log;
    EXPECT_LT(starting, stopped);
}

TEST_F(ProgramTest, EndOfInputActsAsQ) {
    work.Write("cwd/quellon.ini", Config());
    Outcome run = Start({}, "x y\n");
    EXPECT_TRUE(ExitedZero(run));
    const std::string tail =
        "Press Q to quit\r\nEnd of input; shutting down as if Q was typed.\r\nShutting down..." +
        kEngineShutdown;
    ASSERT_GE(run.out.size(), tail.size());
    EXPECT_EQ(run.out.substr(run.out.size() - tail.size()), tail) << run.out;
}

TEST_F(ProgramTest, FallbackDirectoryAndMissingLoggerKeys) {
    work.Write("etc/quellon.ini", "[LISTEN]\nADDRESS=127.0.0.1\nPORT=0\n");
    Outcome run = Start({"-c", "other.ini"}, "q");
    EXPECT_TRUE(ExitedZero(run));
    EXPECT_EQ(run.out, kValidated +
                           "Starting in standalone mode, loading other.ini\r\n"
                           "Using Config File: " +
                           work.File("etc/quellon.ini") +
                           "\r\n"
                           "logger file name or debug level not set\r\n"
                           "Press Q to quit\r\n"
                           "Shutting down..." +
                           kEngineShutdown);
}

TEST_F(ProgramTest, RefusedConfigurationEndsCleanly) {
    struct Case {
        std::string content;
        std::string reason;
    } cases[] = {
        {Config("[OTHERS]\n=oops\n"), "has an entry without a name"},
        {Config("[" + std::string(19000, 'S') + "]\n"), "is too large"},
    };
    for (const Case& c : cases) {
        std::string path = work.Write("cwd/quellon.ini", c.content);
        Outcome run = Start({}, "q");
        EXPECT_TRUE(ExitedZero(run)) << c.reason;
        std::string expected = kValidated + "Starting in standalone mode, loading quellon.ini\r\n" +
                               "Using Config File: " + path + "\r\n" +
                               "Error: configuration file " + path + " " + c.reason;
        EXPECT_EQ(run.out.rfind(expected, 0), 0u) << run.out;
        EXPECT_EQ(run.out.find("Press Q"), std::string::npos) << run.out;
        EXPECT_EQ(run.out.back(), '\n');
    }
}

TEST_F(ProgramTest, TlsEnabledWithMissingKeyEndsStartUp) {
    work.Write("cwd/quellon.ini", Config("[SSL]\nSSLENABLED=TRUE\nSSLPORT=7001\n"));
    Outcome run = Start({}, "q");
    EXPECT_TRUE(ExitedZero(run));
    const std::string tail = "Error: SSL.SSLENABLED is true but SSL.SERVERCERTFILE is not set\r\n";
    ASSERT_GE(run.out.size(), tail.size()) << run.out;
    EXPECT_EQ(run.out.substr(run.out.size() - tail.size()), tail) << run.out;
}

// A numeric setting that cannot work ends start-up with one line naming the
// key, its accepted range and the value, on standard output and in the log;
// nothing is started.
TEST_F(ProgramTest, NumericSettingOutsideItsRangeEndsStartUp) {
    struct Case {
        std::string section;
        std::string entry;
        std::string error;
    } cases[] = {
        {"LISTEN", "PORT=abc", "LISTEN.PORT is not a number from 0 to 65535: \"abc\""},
        {"LISTEN", "PORT=65536", "LISTEN.PORT is not a number from 0 to 65535: \"65536\""},
        {"LISTEN", "MAXCONNECTIONS=abc",
         "LISTEN.MAXCONNECTIONS is not a number from 1 to 10000: \"abc\""},
        {"LISTEN", "MAXCONNECTIONS=0",
         "LISTEN.MAXCONNECTIONS is not a number from 1 to 10000: \"0\""},
        {"LISTEN", "LOGINTIMEOUT=-1",
         "LISTEN.LOGINTIMEOUT is not a number from 0 to 86400: \"-1\""},
        {"LISTEN", "OUTPUTLIMIT=65535",
         "LISTEN.OUTPUTLIMIT is not a number from 65536 to 17179869184: \"65535\""},
        {"LISTEN", "OUTPUTSOFTLIMIT=16M",
         "LISTEN.OUTPUTSOFTLIMIT is not a number from 0 to 17179869184: \"16M\""},
        {"LISTEN", "OUTPUTSOFTSECONDS=86401",
         "LISTEN.OUTPUTSOFTSECONDS is not a number from 0 to 86400: \"86401\""},
        {"LISTEN", "MAXHANDSHAKES=0",
         "LISTEN.MAXHANDSHAKES is not a number from 1 to 100000: \"0\""},
        {"LISTEN", "PERSOURCEMAXSTARTUPS=-1",
         "LISTEN.PERSOURCEMAXSTARTUPS is not a number from 0 to 100000: \"-1\""},
        {"LISTEN", "PERSOURCENETBLOCKV4=33",
         "LISTEN.PERSOURCENETBLOCKV4 is not a number from 0 to 32: \"33\""},
        {"LISTEN", "PERSOURCENETBLOCKV6=/64",
         "LISTEN.PERSOURCENETBLOCKV6 is not a number from 0 to 128: \"/64\""},
        {"PERFORMANCE", "ConnectionProcessors=4x",
         "PERFORMANCE.ConnectionProcessors is not a number from 1 to 1024: \"4x\""},
        {"PERFORMANCE", "EventRetriever=100000000",
         "PERFORMANCE.EventRetriever is not a number from 1 to 1024: \"100000000\""},
        {"PERFORMANCE", "WT_FOR_WQ=-1",
         "PERFORMANCE.WT_FOR_WQ is not a number from 0 to 86400: \"-1\""},
        {"OTHERS", "MinReconnectInterval=0",
         "OTHERS.MinReconnectInterval is not a number from 1 to 86400: \"0\""},
        {"OTHERS", "MaxReconnectInterval=86401",
         "OTHERS.MaxReconnectInterval is not a number from 1 to 86400: \"86401\""},
        {"OTHERS", "CHECKTERMINATEFLAG=0",
         "OTHERS.CHECKTERMINATEFLAG is not a number from 1 to 600000: \"0\""},
        {"OTHERS", "EVENTWAITPERCONNECTION=",
         "OTHERS.EVENTWAITPERCONNECTION is not a number from 1 to 600000: \"\""},
        {"OTHERS", "NUMBEROFEVENTSTOPOOL=51",
         "OTHERS.NUMBEROFEVENTSTOPOOL is not a number from 1 to 50: \"51\""},
    };
    for (const Case& c : cases) {
        std::string ini = Config();
        if (c.section == "LISTEN") {
            // The first occurrence of a key wins: the entry goes first.
            ini.insert(ini.find("[LISTEN]\n") + 9, c.entry + "\n");
        } else {
            ini += "[" + c.section + "]\n" + c.entry + "\n";
        }
        work.Write("cwd/quellon.ini", ini);
        std::remove(work.File("q.log").c_str());
        Outcome run = Start({}, "q");
        EXPECT_TRUE(ExitedZero(run)) << c.entry;
        const std::string tail =
            "Log file " + work.File("q.log") + "\r\nError: " + c.error + "\r\n";
        ASSERT_GE(run.out.size(), tail.size()) << c.entry << "\n" << run.out;
        EXPECT_EQ(run.out.substr(run.out.size() - tail.size()), tail) << c.entry;
        std::string log = ReadWholeFile(work.File("q.log"));
        // At debug level the line carries its source position after the level.
        size_t fatal = log.find("(FATAL) (pellmoor.cpp:");
        EXPECT_NE(fatal, std::string::npos) << c.entry << "\n" << log;
        EXPECT_NE(log.find(") " + c.error + "; exiting\r\n", fatal), std::string::npos)
            << c.entry << "\n"
            << log;
        EXPECT_EQ(log.find("Starting Server."), std::string::npos) << c.entry;
    }
}

// Settings that cannot be what the operator meant end start-up with one
// line naming the key: a NUL byte cuts a value short (a password "ab" would
// log in), a choice that is none of its values would be taken as some
// other one, and an entry before any section would be ignored.
TEST_F(ProgramTest, SettingsThatCannotBeMeantEndStartUp) {
    const std::string withNul("PASSWORD=ab\0-long-secret", 24);
    struct Case {
        std::string what;
        std::string ini;
        std::string error;
    } cases[] = {
        {"NUL in a password", "[LOCAL_AUTH]\n" + withNul + "\n" + Config(),
         "LOCAL_AUTH.PASSWORD holds a NUL byte"},
        {"NUL in a number",
         "[LISTEN]\nMAXCONNECTIONS=5" + std::string(1, '\0') + "junk\n" + Config(),
         "LISTEN.MAXCONNECTIONS holds a NUL byte"},
        {"TLS switch", Config("[SSL]\nSSLENABLED=yes\n"),
         "SSL.SSLENABLED is neither true nor false: \"yes\""},
        {"log level", "[Logger]\nlevel=verbose\n" + Config(),
         "Logger.level is not a level (trace, debug, info, warn, error, fatal or 0 to 5): "
         "\"verbose\""},
        {"provider", Config("[WMI]\nPROVIDER=wsmam\n"),
         "WMI.PROVIDER is not one of the providers (sim, wsman, wmi): \"wsmam\""},
        // This test runs on Linux, which has no WMI of its own.
        {"system WMI on Linux", Config("[WMI]\nPROVIDER=WMI\n"),
         "WMI.PROVIDER=wmi needs the WMI of Windows, which this system does not have; use "
         "WMI.PROVIDER=sim or wsman"},
        {"key before any section", "ADDRESS=127.0.0.1\n" + Config(),
         "ADDRESS is set before any [section]"},
    };
    for (const Case& c : cases) {
        work.Write("cwd/quellon.ini", c.ini);
        std::remove(work.File("q.log").c_str());
        Outcome run = Start({}, "q");
        EXPECT_TRUE(ExitedZero(run)) << c.what;
        const std::string tail = "Error: " + c.error + "\r\n";
        ASSERT_GE(run.out.size(), tail.size()) << c.what << "\n" << run.out;
        EXPECT_EQ(run.out.substr(run.out.size() - tail.size()), tail) << c.what;
        EXPECT_EQ(run.out.find("Press Q"), std::string::npos) << c.what;
        std::string log = ReadWholeFile(work.File("q.log"));
        EXPECT_EQ(log.find("Starting Server."), std::string::npos) << c.what;
        EXPECT_EQ(log.find("long-secret"), std::string::npos) << c.what;
    }
}

// Accepted spellings start; a key given twice with different values is
// named in a WARN (the first value is used), one given twice alike is not.
TEST_F(ProgramTest, ChoicesInAnyCaseStartAndConflictingRepeatsAreWarned) {
    work.Write("cwd/quellon.ini",
               Config("[SSL]\nSSLENABLED=False\n[WMI]\nPROVIDER=SIM\n[LISTEN]\n"
                      "MAXCONNECTIONS=5\nMAXCONNECTIONS=6\nPORT=0\n[Logger]\nlevel=debug\n"));
    Outcome run = Start({}, "q");
    EXPECT_TRUE(ExitedZero(run));
    EXPECT_NE(run.out.find("Press Q to quit"), std::string::npos) << run.out;
    std::string log = ReadWholeFile(work.File("q.log"));
    EXPECT_NE(log.find("LISTEN.MAXCONNECTIONS is given more than once with different values; "
                       "the first is used"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("LISTEN.PORT is given"), std::string::npos) << log;
    EXPECT_EQ(log.find("Logger.level is given"), std::string::npos) << log;
}

// The edges of every range still start.
TEST_F(ProgramTest, NumericSettingsAtTheEdgesOfTheirRangesStart) {
    work.Write("cwd/quellon.ini",
               Config("[PERFORMANCE]\nConnectionProcessors=1\nEventRetriever=1\nWT_FOR_WQ=0\n"
                      "[OTHERS]\nMinReconnectInterval=1\nMaxReconnectInterval=86400\n"
                      "CHECKTERMINATEFLAG=600000\nEVENTWAITPERCONNECTION=1\n"
                      "NUMBEROFEVENTSTOPOOL=50\n")
                   .insert(9,
                           "MAXCONNECTIONS=+10000\nLOGINTIMEOUT=0\nOUTPUTLIMIT=65536\n"
                           "OUTPUTSOFTLIMIT=4294967296\nOUTPUTSOFTSECONDS=86400\n"));
    Outcome run = Start({}, "q");
    EXPECT_TRUE(ExitedZero(run));
    EXPECT_NE(run.out.find("Press Q to quit\r\nShutting down..."), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("Error"), std::string::npos) << run.out;
}

// A port that cannot be opened ends console mode with a line saying so.
TEST_F(ProgramTest, PortInUseEndsConsoleMode) {
    int holder = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(holder, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(0, bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address));
    ASSERT_EQ(0, listen(holder, 1));
    ASSERT_EQ(0, getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length));
    const std::string port = std::to_string(ntohs(address.sin_port));
    std::string ini = Config();
    ini.replace(ini.find("PORT=0"), 6, "PORT=" + port);
    work.Write("cwd/quellon.ini", ini);
    Outcome run = Start({}, "q");
    close(holder);
    EXPECT_TRUE(ExitedZero(run));
    const std::string tail =
        "Error: the server could not listen on 127.0.0.1 port " + port + "\r\n";
    ASSERT_GE(run.out.size(), tail.size()) << run.out;
    EXPECT_EQ(run.out.substr(run.out.size() - tail.size()), tail) << run.out;
    EXPECT_EQ(run.out.find("Press Q"), std::string::npos) << run.out;
    std::string log = ReadWholeFile(work.File("q.log"));
    size_t fatal = log.find("(FATAL) (pellmoor.cpp:");
    EXPECT_NE(fatal, std::string::npos) << log;
    EXPECT_NE(log.find(") The server could not listen on 127.0.0.1 port " + port + "; exiting\r\n",
                       fatal),
              std::string::npos)
        << log;
}

}  // namespace
