// CLogger: the process-wide log file writer, reached through g_logger.
//
// Every thread logs through Log(). Messages below the current level are
// dropped; each stored line carries the local date, time and level name, and
// the source position while the level is TRACE or DEBUG. Writes and rotation
// are serialised by writeLock (the innermost lock of the system, see
// platform/thread_annotations.h); the file is rotated when fewer than 50
// bytes are left before maxLogSize, keeping backupCount numbered backups
// (name.0 newest).
//
// Created and deleted by the start-up code (console mode or the service);
// Log() with a null logger is a no-op.
#pragma once

#include <atomic>
#include <cstdarg>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/printf_format.h"
#include "platform/recursive_mutex.h"
#include "platform/thread_annotations.h"

// The levels carry a LOG_ prefix so that no platform macro (ERROR, DEBUG)
// can replace them; LOG(ERROR, ...) pastes the prefix itself.
enum TLogLevel {
    LOG_TRACE = 0,
    LOG_DEBUG = 1,
    LOG_INFO = 2,
    LOG_WARN = 3,
    LOG_ERROR = 4,
    LOG_FATAL = 5
};

// Level names indexed by level value: "TRACE" .. "FATAL".
extern const char* const g_logLevelNames[6];

// Receives every text the logger writes (after the file).
class CLogSink {
  public:
    virtual ~CLogSink() = default;
    virtual void Write(const char* data, int length) = 0;
};

class CLogger {
  public:
    // Process-wide limits shared by every logger. maxLogSize <= 0 turns
    // rotation off; tests lower it to exercise rotation with small files.
    static long maxLogSize;  // 10000000
    static int backupCount;  // 5

    CLogger(const std::string& fileName, const std::string& levelText);
    virtual ~CLogger();

    void WriteLine(int level, int line, const char* sourceFile, const char* text);
    void Write(const char* data, int length);
    bool Rotate();
    // The level of the configuration's level text: a level name (its first
    // four letters suffice, any case) or a number, blanks around it ignored;
    // empty text sets WARN, other text the level its decimal prefix gives
    // (above 5 WARN, below 0 INFO).
    void SetLevel(const std::string& levelText);
    // The level text names, strictly: one word of letters naming a level as
    // SetLevel reads it, or one digit 0 to 5, blanks around it ignored. False, *level unchanged,
    // for anything else (empty text included).
    static bool ParseLevel(const std::string& text, int* level);
    int GetLevel() const;

    void LogMethodStart(int line, const char* sourceFile, const char* text);
    void LogMethodEnd(int line, const char* sourceFile, const char* text);
    void LogMethodError(int line, const char* sourceFile, const char* text, const char* detail);

    // Registers an additional receiver (not owned); must outlive the logger.
    void AddSink(CLogSink* sink);

  private:
    // Guarded by writeLock: file, sinks, bytesLeft.
    platform::AppendFile file GUARDED_BY(writeLock);
    std::atomic<int> level;  // a single integer read and written without the lock
    std::vector<CLogSink*> sinks GUARDED_BY(writeLock);
    platform::RecursiveMutex writeLock;  // innermost lock of the system; re-entrant
    long bytesLeft GUARDED_BY(writeLock);
    std::string logFileName;  // constant after construction

    // Write for a finished line: nothing (not even the sinks) without an
    // open file. The test is made under writeLock so that a line is never
    // lost while another thread rotates.
    void WriteIfOpen(const char* data, int length);
};

extern CLogger* g_logger;

// The logging entry of the whole system. printf-style; a null logger is a
// no-op; the formatted message is cut at 2047 characters.
void Log(CLogger* logger, int level, int line, const char* sourceFile, const char* format, ...)
    QUELLON_PRINTF_FORMAT(5, 6);
void VLog(CLogger* logger, int level, int line, const char* sourceFile, const char* format,
          va_list args);

// Logs through g_logger with the caller's source position. The arguments
// are evaluated only when the message reaches the log, so that a costly one
// (a description built for the message, a masked client line) costs nothing
// while its level is off. A statement, not an expression. level is the bare
// level name (LOG(WARN, ...)); it is pasted, never expanded as a macro.
#define LOG(level, ...)                                                         \
    do {                                                                        \
        CLogger* const logTarget_ = g_logger;                                   \
        if (logTarget_ != nullptr && LOG_##level >= logTarget_->GetLevel())     \
            Log(logTarget_, LOG_##level, __LINE__, __FILE_NAME__, __VA_ARGS__); \
    } while (0)
