#include "base/logger.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/configdataloader.h"
#include "platform/file.h"

const char* const g_logLevelNames[6] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "FATAL"};

CLogger* g_logger = nullptr;

long CLogger::maxLogSize = 10000000;
int CLogger::backupCount = 5;

namespace {

// A rotation happens as soon as fewer bytes than this are left.
constexpr long kRotationMargin = 50;
constexpr size_t kMessageBufferSize = 2048;
constexpr size_t kLineBufferSize = 1000;
constexpr size_t kLevelTextSize = 16;

const char* LevelName(int level) {
    if (level < LOG_TRACE) return g_logLevelNames[LOG_TRACE];
    if (level > LOG_FATAL) return g_logLevelNames[LOG_FATAL];
    return g_logLevelNames[level];
}

// "MM/DD/YY" and "HH:MM:SS" of the local time now.
void FormatNow(char (&date)[32], char (&time)[32]) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::snprintf(date, sizeof date, "%02d/%02d/%02d", local.tm_mon + 1, local.tm_mday,
                  local.tm_year % 100);
    std::snprintf(time, sizeof time, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
}

// Length of what snprintf stored in a buffer of size bytes.
int StoredLength(int result, size_t size) {
    if (result < 0) return 0;
    return static_cast<size_t>(result) >= size ? static_cast<int>(size - 1) : result;
}

// Length of a line snprintf stored in a buffer of size bytes. A line cut at
// the buffer's end still ends in CR LF: its last two characters become the
// line end.
int LineLength(char* buffer, int result, size_t size) {
    int length = StoredLength(result, size);
    if (result >= 0 && static_cast<size_t>(result) >= size && size >= 3) {
        buffer[size - 3] = '\r';
        buffer[size - 2] = '\n';
    }
    return length;
}

// A method-trace line, "date - time - line - file - what : text" with CR LF,
// into buffer; the length stored.
int FormatMethodTrace(char (&buffer)[kLineBufferSize], int line, const char* sourceFile,
                      const char* what, const char* text) {
    char date[32];
    char time[32];
    FormatNow(date, time);
    int result = std::snprintf(buffer, sizeof buffer, "%s - %s - %d - %s - %s : %s\r\n", date, time,
                               line, sourceFile ? sourceFile : "", what, text ? text : "");
    return LineLength(buffer, result, sizeof buffer);
}

bool CompareFirstFour(const char* text, const char* name) {
    for (int i = 0; i < 4; ++i) {
        char a = text[i], b = name[i];
        if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 'a' + 'A');
        if (b >= 'a' && b <= 'z') b = static_cast<char>(b - 'a' + 'A');
        if (a != b) return false;
        if (a == '\0') return true;
    }
    return true;
}

}  // namespace

CLogger::CLogger(const std::string& fileName, const std::string& levelText)
    : level(LOG_WARN), bytesLeft(0) {
    SetLevel(levelText);
    std::printf("Log level is set to %s\r\n", LevelName(level.load()));
    std::fflush(stdout);
    platform::RecursiveMutexLock guard(writeLock);
    file.Open(fileName);
    logFileName = fileName;
    bytesLeft = maxLogSize - file.Size();
    char header[64];
    int length = StoredLength(
        std::snprintf(header, sizeof header, "Log level %s\r\n", LevelName(level.load())),
        sizeof header);
    Write(header, length);
}

CLogger::~CLogger() {
    platform::RecursiveMutexLock guard(writeLock);
    file.Sync();
    file.Close();
    sinks.clear();
}

namespace {

// The level word or number without the blanks around it, cut to the
// 16-byte field it is held in.
std::string LevelText(const std::string& text) {
    const char* blanks = " \t\r\n";
    size_t first = text.find_first_not_of(blanks);
    std::string trimmed;
    if (first != std::string::npos) {
        size_t last = text.find_last_not_of(blanks);
        trimmed = text.substr(first, last - first + 1);
    }
    if (trimmed.size() > kLevelTextSize - 1) trimmed.resize(kLevelTextSize - 1);
    return trimmed;
}

// The level a word names by its first four letters, in any case.
bool NamedLevel(const std::string& word, int* named) {
    for (int candidate = LOG_TRACE; candidate <= LOG_FATAL; ++candidate) {
        if (CompareFirstFour(word.c_str(), g_logLevelNames[candidate])) {
            *named = candidate;
            return true;
        }
    }
    return false;
}

}  // namespace

bool CLogger::ParseLevel(const std::string& text, int* parsed) {
    std::string word = LevelText(text);
    if (word.empty()) return false;
    bool letters = true;
    for (char c : word) letters = letters && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'));
    if (letters) return NamedLevel(word, parsed);
    if (word.size() != 1 || word[0] < '0' + LOG_TRACE || word[0] > '0' + LOG_FATAL) return false;
    *parsed = word[0] - '0';
    return true;
}

void CLogger::SetLevel(const std::string& levelText) {
    if (levelText.empty()) {
        level = LOG_WARN;
        return;
    }
    std::string trimmed = LevelText(levelText);
    int named;
    if (NamedLevel(trimmed, &named)) {
        level = named;
        return;
    }
    long long number = DecimalPrefix(trimmed);
    if (number > LOG_FATAL) {
        level = LOG_WARN;
    } else if (number < LOG_TRACE) {
        level = LOG_INFO;
    } else {
        level = static_cast<int>(number);
    }
}

int CLogger::GetLevel() const { return level.load(); }

void CLogger::AddSink(CLogSink* sink) {
    if (sink == nullptr) return;
    platform::RecursiveMutexLock guard(writeLock);
    sinks.push_back(sink);
}

void CLogger::WriteLine(int messageLevel, int line, const char* sourceFile, const char* text) {
    int current = level.load();
    if (messageLevel < current) return;
    char date[32];
    char time[32];
    FormatNow(date, time);
    if (sourceFile == nullptr) sourceFile = "";
    if (text == nullptr) text = "";
    char buffer[kLineBufferSize];
    int result;
    if (current == LOG_TRACE || current == LOG_DEBUG) {
        result = std::snprintf(buffer, sizeof buffer, "%s %s (%s) (%s:%d) %s\r\n", date, time,
                               LevelName(messageLevel), sourceFile, line, text);
    } else {
        result = std::snprintf(buffer, sizeof buffer, "%s %s (%s) %s\r\n", date, time,
                               LevelName(messageLevel), text);
    }
    WriteIfOpen(buffer, LineLength(buffer, result, sizeof buffer));
}

void CLogger::Write(const char* data, int length) {
    platform::RecursiveMutexLock guard(writeLock);
    if (data == nullptr || length < 0) length = 0;
    if (file.IsOpen()) {
        file.Write(data, static_cast<size_t>(length));  // write failures are not reported
        int current = level.load();
        if (current == LOG_TRACE || current >= LOG_WARN) file.Sync();
    }
    for (CLogSink* sink : sinks) sink->Write(data, length);
    if (maxLogSize > 0) {
        bytesLeft -= length;
        if (bytesLeft < kRotationMargin) Rotate();
    }
}

void CLogger::WriteIfOpen(const char* data, int length) {
    platform::RecursiveMutexLock guard(writeLock);
    if (!file.IsOpen()) return;
    Write(data, length);
}

bool CLogger::Rotate() {
    platform::RecursiveMutexLock guard(writeLock);
    if (logFileName.empty()) return false;
    if (file.IsOpen()) {
        static const char kNotice[] = "Rotating log file\r\n";
        file.Write(kNotice, sizeof kNotice - 1);
        file.Close();
    }
    char older[4096];
    char newer[4096];
    for (int i = backupCount - 1; i >= 1; --i) {
        std::snprintf(older, sizeof older, "%s.%d", logFileName.c_str(), i);
        std::snprintf(newer, sizeof newer, "%s.%d", logFileName.c_str(), i - 1);
        platform::RemoveFile(older);
        platform::RenameFile(newer, older);
    }
    bool moved = true;
    if (backupCount > 0) {
        std::snprintf(older, sizeof older, "%s.0", logFileName.c_str());
        platform::RemoveFile(older);
        moved = platform::RenameFile(logFileName, older);
    }
    platform::RemoveFile(logFileName);
    bool opened = file.Open(logFileName);
    bytesLeft = maxLogSize - file.Size();
    return opened && moved;
}

void CLogger::LogMethodStart(int line, const char* sourceFile, const char* text) {
    if (level.load() != LOG_TRACE) return;
    char buffer[kLineBufferSize];
    WriteIfOpen(buffer, FormatMethodTrace(buffer, line, sourceFile, "Starting Method", text));
}

void CLogger::LogMethodEnd(int line, const char* sourceFile, const char* text) {
    if (level.load() != LOG_TRACE) return;
    char buffer[kLineBufferSize];
    WriteIfOpen(buffer, FormatMethodTrace(buffer, line, sourceFile, "Ending Method", text));
}

void CLogger::LogMethodError(int line, const char* sourceFile, const char* text,
                             const char* detail) {
    char date[32];
    char time[32];
    FormatNow(date, time);
    char buffer[kLineBufferSize];
    // Stored with CR LF like every other line.
    int result =
        std::snprintf(buffer, sizeof buffer, "%s - %s - %d - %s - %s : %s( %s )\r\n", date, time,
                      line, sourceFile ? sourceFile : "",
                      "UnExpected Error In Method : ", text ? text : "", detail ? detail : "");
    WriteIfOpen(buffer, LineLength(buffer, result, sizeof buffer));
}

void VLog(CLogger* logger, int level, int line, const char* sourceFile, const char* format,
          va_list args) {
    if (logger == nullptr || format == nullptr || level < logger->GetLevel()) return;
    char message[kMessageBufferSize];
    if (std::vsnprintf(message, sizeof message, format, args) < 0) message[0] = '\0';
    logger->WriteLine(level, line, sourceFile, message);
}

void Log(CLogger* logger, int level, int line, const char* sourceFile, const char* format, ...) {
    va_list args;
    va_start(args, format);
    VLog(logger, level, line, sourceFile, format, args);
    va_end(args);
}
