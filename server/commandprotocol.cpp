// The line protocol of the command server: line assembly, command
// identification, argument patterns, the command handlers and their replies.
// Everything here runs on the connection server's worker thread.
#include <cstring>

#include "app/configdataloader.h"
#include "app/logger.h"
#include "app/stringformat.h"
#include "engine/controller.h"
#include "server/regexp.h"
#include "server/wmilogeventserver.h"

namespace {

// Received data, and a command buffer without a line end, of this many bytes
// or more is refused.
constexpr size_t kMaxDataLength = 4096;
// Complete command lines of this many characters or more are refused.
constexpr size_t kMaxLineLength = 256;
// Longest keyword, user or password of a LOGIN line.
constexpr size_t kMaxLoginField = 127;

const char* const kCommandNames[] = {"Login",  "Add",  "Delete", "Replay", "List", "LogLevel",
                                     "Logout", "NOOP", "Exit",   "Quit",   "Help"};

// Argument patterns. Each backslash is the pattern dialect's escape: "\\b" is
// one blank or TAB, "\\c" one letter, "\\*" a literal star.
#define QUELLON_14_DIGITS "{[0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9]}"
// A category in double quotes may hold blanks ("Directory Service"); the
// quotes are not part of it.
#define QUELLON_QUOTED "\"{[^\":]+}\""
#define QUELLON_REPLAY_HEAD \
    "^\\b?{[Rr][Ee][Pp][Ll][Aa][Yy]}\\b+{[^:]+}\\b+{[^:]+}\\b+{[^:]+}\\b+" QUELLON_14_DIGITS
#define QUELLON_REPLAY_HEAD_QUOTED                                  \
    "^\\b?{[Rr][Ee][Pp][Ll][Aa][Yy]}\\b+{[^:]+}\\b+" QUELLON_QUOTED \
    "\\b+{[^:]+}\\b+" QUELLON_14_DIGITS

// The argument patterns, compiled once on first use rather than for every
// command line. Matching only reads a compiled pattern, so every worker
// thread may use them at once.
struct TArgumentPatterns {
    TArgumentPatterns() {
        login.Parse("^\\b?{\\c+}\\b+{[^:]+}\\b+{[^:]+}");
        add6.Parse(
            "^\\b?{[Aa][Dd][Dd]}\\b+{[^:]+}\\b+{[^:]+}\\b+{[0-9]|\\*}\\b+{[^:]+}\\b+{[^:]+}");
        add4.Parse("^\\b?{[Aa][Dd][Dd]}\\b+{[^:]+}\\b+{[^:]+}\\b+{[0-9]|\\*}");
        add6Quoted.Parse("^\\b?{[Aa][Dd][Dd]}\\b+{[^:]+}\\b+" QUELLON_QUOTED
                         "\\b+{[0-9]|\\*}\\b+{[^:]+}\\b+{[^:]+}");
        add4Quoted.Parse("^\\b?{[Aa][Dd][Dd]}\\b+{[^:]+}\\b+" QUELLON_QUOTED "\\b+{[0-9]|\\*}");
        delete3.Parse("^\\b?{[Dd][Ee][Ll][Ee][Tt][Ee]}\\b+{[^:]+}\\b+{[^:]+}");
        delete3Quoted.Parse("^\\b?{[Dd][Ee][Ll][Ee][Tt][Ee]}\\b+{[^:]+}\\b+" QUELLON_QUOTED);
        delete2.Parse("^\\b?{[Dd][Ee][Ll][Ee][Tt][Ee]}\\b+{[^:]+}");
        replay8.Parse(QUELLON_REPLAY_HEAD "\\b+" QUELLON_14_DIGITS "\\b+{[^:]+}\\b+{[^:]+}");
        replay8Now.Parse(QUELLON_REPLAY_HEAD "\\b+{[0]}\\b+{[^:]+}\\b+{[^:]+}");
        replay6.Parse(QUELLON_REPLAY_HEAD "\\b+" QUELLON_14_DIGITS);
        replay6Now.Parse(QUELLON_REPLAY_HEAD "\\b+{[0]}");
        replay8Quoted.Parse(QUELLON_REPLAY_HEAD_QUOTED "\\b+" QUELLON_14_DIGITS
                                                       "\\b+{[^:]+}\\b+{[^:]+}");
        replay8NowQuoted.Parse(QUELLON_REPLAY_HEAD_QUOTED "\\b+{[0]}\\b+{[^:]+}\\b+{[^:]+}");
        replay6Quoted.Parse(QUELLON_REPLAY_HEAD_QUOTED "\\b+" QUELLON_14_DIGITS);
        replay6NowQuoted.Parse(QUELLON_REPLAY_HEAD_QUOTED "\\b+{[0]}");
        logLevel2.Parse("^\\b*{[Ll][Oo][Gg][Ll][Ee][Vv][Ee][Ll]}\\b*{[^:]+}");
        logLevel1.Parse("^\\b*{[Ll][Oo][Gg][Ll][Ee][Vv][Ee][Ll]}\\b*");
    }

    CRegExp login;
    CRegExp add6, add4, add6Quoted, add4Quoted;
    CRegExp delete3, delete2, delete3Quoted;
    CRegExp replay8, replay8Now, replay6, replay6Now;
    CRegExp replay8Quoted, replay8NowQuoted, replay6Quoted, replay6NowQuoted;
    CRegExp logLevel2, logLevel1;
};

#undef QUELLON_REPLAY_HEAD
#undef QUELLON_REPLAY_HEAD_QUOTED
#undef QUELLON_QUOTED
#undef QUELLON_14_DIGITS

const TArgumentPatterns& Patterns() {
    static const TArgumentPatterns patterns;
    return patterns;
}

const char* const kEngineUnavailable = "ERROR subscription engine not available\r\n";
const char* const kNoLogger = "ERROR no log file is configured\r\n";

std::string Message(int id) { return CConfigDataLoader::LoadMessage(id); }

bool EqualsNoCase(const std::string& a, const char* b) {
    size_t length = std::strlen(b);
    if (a.size() != length) return false;
    for (size_t i = 0; i < length; ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool StartsWithNoCase(const std::string& text, const char* prefix) {
    size_t length = std::strlen(prefix);
    return text.size() >= length && EqualsNoCase(text.substr(0, length), prefix);
}

// ASCII letters to small letters; every other byte, and the length, unchanged.
std::string FoldCase(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// "*", or decimal digits with an optional minus sign.
bool IsSeverity(const std::string& text) {
    if (text == "*") return true;
    size_t digits = !text.empty() && text[0] == '-' ? 1 : 0;
    if (digits == text.size()) return false;
    for (size_t i = digits; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
    }
    return true;
}

std::string Join(const std::string* fields, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        if (i > 0) text += ' ';
        text += fields[i];
    }
    return text;
}

}  // namespace

template <typename Call>
bool CWmiLogEventServer::WithController(Call call) {
    RSLibrary::RSSynchronizeGuard guard(controllerLock);
    if (controller == nullptr || !controllerRunning) return false;
    call(*controller);
    return true;
}

int CWmiLogEventServer::IdentifyCommand(const std::string& line) {
    if (line.empty()) return kNoCommand;
    std::string keyword = line.substr(0, line.find(' '));
    for (int code = 0; code < kNoCommand; ++code) {
        if (EqualsNoCase(keyword, kCommandNames[code])) return code;
    }
    return kNoCommand;
}

bool CWmiLogEventServer::MatchGroups(const char* pattern, const std::string& line, int n,
                                     std::string* out) {
    return CRegExp::MatchGroups(pattern, line.c_str(), n, out);
}

std::string CWmiLogEventServer::LoggableLine(const std::string& line) {
    return MaskConfiguredPassword(WithoutCredentials(line));
}

std::string CWmiLogEventServer::WithoutCredentials(const std::string& line) {
    // The keyword is the first run of letters, as the login pattern reads it;
    // what stands before it (blanks, a stray character) is kept with it.
    size_t start = 0;
    while (start < line.size() && !IsLetter(line[start])) ++start;
    if (start == line.size()) return line;
    size_t stop = start;
    while (stop < line.size() && IsLetter(line[stop])) ++stop;
    std::string keyword = line.substr(start, stop - start);

    struct Form {
        const CRegExp& pattern;
        int keep;  // groups before the first credential field
    };
    const TArgumentPatterns& p = Patterns();
    const Form kLogin[] = {{p.login, 2}};
    const Form kAdd[] = {{p.add6Quoted, 5}, {p.add4Quoted, 4}, {p.add6, 5}, {p.add4, 4}};
    const Form kReplay[] = {{p.replay8Quoted, 6},    {p.replay8NowQuoted, 6}, {p.replay6Quoted, 6},
                            {p.replay6NowQuoted, 6}, {p.replay8, 6},          {p.replay8Now, 6},
                            {p.replay6, 6},          {p.replay6Now, 6}};
    // A keyword that merely begins like a credential-bearing one ("LOGINX",
    // "ADDHOST") is treated like it: such a line is most likely a mistyped
    // command with the credentials still in it.
    const Form* forms;
    size_t count;
    if (StartsWithNoCase(keyword, "login")) {
        forms = kLogin;
        count = std::size(kLogin);
    } else if (StartsWithNoCase(keyword, "add")) {
        forms = kAdd;
        count = std::size(kAdd);
    } else if (StartsWithNoCase(keyword, "replay")) {
        forms = kReplay;
        count = std::size(kReplay);
    } else {
        return line;
    }
    // Longer lines are refused anyway; they are not worth the matching.
    if (line.size() < kMaxLineLength) {
        for (size_t i = 0; i < count; ++i) {
            std::string groups[8];
            if (forms[i].pattern.MatchGroups(line.c_str(), forms[i].keep, groups)) {
                return Join(groups, forms[i].keep);
            }
        }
    }
    // The fields cannot be told apart (a colon, a missing separator, a line
    // too long): nothing after the keyword is safe to write.
    return line.substr(0, stop);
}

std::string CWmiLogEventServer::MaskConfiguredPassword(std::string text) {
    if (g_config == nullptr) return text;
    std::string password;
    try {
        password = g_config->GetKeyValue("LOCAL_AUTH.PASSWORD");
    } catch (const CConfigDataLoader::EInvalidKey&) {
        return text;
    }
    if (password.empty()) return text;
    // Logins compare the password without regard to ASCII case, so any
    // spelling of it is the secret. Folding keeps every byte in place.
    std::string folded = FoldCase(text);
    const std::string secret = FoldCase(password);
    const std::string mask = "****";
    size_t at = folded.find(secret);
    while (at != std::string::npos) {
        text.replace(at, secret.size(), mask);
        folded.replace(at, secret.size(), mask);
        at = folded.find(secret, at + mask.size());
    }
    return text;
}

long CWmiLogEventServer::RejectData(CIOCPClientContext* context) {
    LOG(ERROR, "Invalid data received from {%s}", context->address.c_str());
    SendString(context, 0, "Invalid data received!\r\n");
    context->commandBuffer.clear();
    // A client whose data was refused gets no further read; closing it frees
    // its connection slot.
    CloseClient(context);
    return 0;
}

long CWmiLogEventServer::OnDataReceived(CIOCPClientContext* context, long flags, char* data,
                                        long byteCount) {
    (void)byteCount;
    // The data area is NUL-terminated; its text ends at the first NUL.
    size_t length = std::strlen(data);
    if (length >= kMaxDataLength) return RejectData(context);

    // Every complete line of the read is answered, in order: a client that
    // sends several commands at once gets a reply to each. A line ends at
    // LF; a CR right before it in the same read belongs to the line end.
    std::string& buffer = context->commandBuffer;
    const char* next = data;
    const char* const end = data + length;
    for (;;) {
        const char* lf = static_cast<const char*>(std::memchr(next, '\n', end - next));
        if (lf == nullptr) {
            size_t rest = static_cast<size_t>(end - next);
            if (buffer.size() + rest >= kMaxDataLength) return RejectData(context);
            buffer.append(next, rest);
            PostRead(context, flags, kReadSize);
            return 1;
        }
        const char* lineEnd = (lf > next && lf[-1] == '\r') ? lf - 1 : lf;
        buffer.append(next, static_cast<size_t>(lineEnd - next));
        next = lf + 1;
        if (!HandleCommandLine(context, &flags)) return 1;
    }
}

bool CWmiLogEventServer::HandleCommandLine(CIOCPClientContext* context, long* flags) {
    std::string& buffer = context->commandBuffer;
    const char* address = context->address.c_str();
    const std::string& line = buffer;
    std::string reply;
    int code = IdentifyCommand(line);
    if (code == kNoCommand) {
        if (line.empty()) {
            reply = "OK waiting for next command\r\n";
        } else {
            LOG(INFO, "Invalid command {%s} recvd from {%s}", LoggableLine(line).c_str(), address);
            reply = StringFormat(Message(111).c_str(), line.c_str());
        }
    } else if (line.size() >= kMaxLineLength) {
        LOG(ERROR,
            "Invalid Command received from {%s}. Command length exceeds the allowed 256 chars.",
            address);
        reply = StringFormat(Message(111).c_str(), "Command length exceeds the allowed 256 chars.");
    } else if (*flags & IO_FLAG_AWAITING_LOGIN) {
        if (code != kLogin) {
            LOG(INFO, "Command {%s} recvd from {%s} w/o authentication", LoggableLine(line).c_str(),
                address);
            reply = Message(112);
        } else if (ProcessLogin(context, line, reply)) {
            LOG(INFO, "Successful login command recvd from {%s}", address);
            *flags = IO_FLAG_LOGGED_IN;
        } else {
            LOG(INFO, "Unsuccessful login command recvd from {%s}", address);
        }
    } else if (code == kAdd) {
        ProcessAdd(context, line, reply);
    } else if (code == kReplay) {
        ProcessReplay(context, line, reply);
    } else {
        LOG(DEBUG, "Command {%s} recvd from {%s}", LoggableLine(line).c_str(), address);
        switch (code) {
            case kLogin:
                reply = Message(110);
                break;
            case kDelete:
                ProcessDelete(context, line, reply);
                break;
            case kList:
                ProcessList(context, line, reply);
                break;
            case kLogLevel:
                ProcessLogLevel(context, line, reply);
                break;
            case kNoop:
                ProcessNoop(context, line, reply);
                break;
            case kHelp:
                ProcessHelp(context, line, reply);
                break;
            default:  // kLogout, kExit, kQuit
                ProcessLogout(context, line, reply);
                SendString(context, 0, reply);
                buffer.clear();
                CloseClient(context);
                return false;
        }
    }
    SendString(context, 0, reply);
    buffer.clear();
    return true;
}

bool CWmiLogEventServer::ProcessLogin(CIOCPClientContext* context, const std::string& line,
                                      std::string& reply) {
    std::string fields[3];
    bool matched = Patterns().login.MatchGroups(line.c_str(), 3, fields);
    static const char* const kTooLong[3] = {
        "Command Name not valid. Command Name exceeds the allowed length.",
        "Username not valid. Username exceeds the allowed length.",
        "Password not valid. Password exceeds the allowed length."};
    for (int i = 0; i < 3; ++i) {
        if (fields[i].size() > kMaxLoginField) {
            LOG(ERROR, "%s", kTooLong[i]);
            reply = Message(114);
            return false;
        }
    }
    if (!matched || !EqualsNoCase(fields[0], "login")) {
        reply = Message(116);
        return false;
    }

    // An absent key leaves that value, and any not yet read, empty; an empty
    // configured value never equals a given one.
    std::string user;
    std::string password;
    if (g_config != nullptr) {
        try {
            user = g_config->GetKeyValue("LOCAL_AUTH.USERNAME");
            password = g_config->GetKeyValue("LOCAL_AUTH.PASSWORD");
        } catch (const CConfigDataLoader::EInvalidKey&) {
        }
    }
    if (!user.empty() && EqualsNoCase(fields[1], user.c_str()) &&
        EqualsNoCase(fields[2], password.c_str())) {
        int connections;
        {
            RSLibrary::RSSynchronizeGuard guard(listLock);
            loggedInClients.push_back(context);
            connections = connectionCount;
        }
        reply = StringFormat(Message(113).c_str(), connections);
        return true;
    }
    reply = Message(114);
    return false;
}

void CWmiLogEventServer::ProcessAdd(CIOCPClientContext* context, const std::string& line,
                                    std::string& reply) {
    // keyword, host, category, severity, user, password
    std::string f[6];
    const TArgumentPatterns& p = Patterns();
    // A quoted category is tried first: the plain patterns would split it at
    // its blank.
    if (!p.add6Quoted.MatchGroups(line.c_str(), 6, f) &&
        !p.add4Quoted.MatchGroups(line.c_str(), 4, f) && !p.add6.MatchGroups(line.c_str(), 6, f) &&
        !p.add4.MatchGroups(line.c_str(), 4, f)) {
        reply = Message(116);
        return;
    }
    const std::string& host = f[1];
    const std::string& category = f[2];
    const std::string& severity = f[3];
    LOG(DEBUG, "Command {%s} recvd from {%s}, host={%s}, category={%s}, severity={%s}",
        f[0].c_str(), context->address.c_str(), host.c_str(), category.c_str(), severity.c_str());
    int result = 0;
    if (!WithController([&](CController& engine) {
            result = engine.AddSubscription(host, category, severity, f[4], f[5]);
        })) {
        reply = kEngineUnavailable;
        return;
    }
    switch (result) {
        case 0:
            reply = StringFormat(Message(115).c_str(), host.c_str(), category.c_str(),
                                 severity.c_str());
            break;
        case -1:
            reply = StringFormat(Message(133).c_str(), host.c_str(), category.c_str(),
                                 severity.c_str());
            LOG(DEBUG, "Host exists: %s, category=%s; severity=%s", host.c_str(), category.c_str(),
                severity.c_str());
            break;
        case -2:
            reply = StringFormat(Message(135).c_str(), host.c_str(), category.c_str(),
                                 severity.c_str());
            LOG(WARN, "Invalid host: %s", host.c_str());
            break;
        default:
            reply = StringFormat("ERROR subscription for %s %s %s not queued\r\n", host.c_str(),
                                 category.c_str(), severity.c_str());
            break;
    }
}

void CWmiLogEventServer::ProcessDelete(CIOCPClientContext* context, const std::string& line,
                                       std::string& reply) {
    (void)context;
    // keyword, host, category
    std::string f[3];
    const TArgumentPatterns& p = Patterns();
    if (!p.delete3Quoted.MatchGroups(line.c_str(), 3, f) &&
        !p.delete3.MatchGroups(line.c_str(), 3, f)) {
        if (!p.delete2.MatchGroups(line.c_str(), 2, f)) {
            reply = Message(116);
            return;
        }
        f[2] = "*";
    }
    int marked = 0;
    if (!WithController(
            [&](CController& engine) { marked = engine.DeleteSubscription(f[1], f[2], "*"); })) {
        reply = kEngineUnavailable;
        return;
    }
    reply = marked > 0 ? StringFormat(Message(124).c_str(), marked) : Message(125);
}

void CWmiLogEventServer::ProcessReplay(CIOCPClientContext* context, const std::string& line,
                                       std::string& reply) {
    // keyword, host, category, severity, from, to, user, password
    std::string f[8];
    const TArgumentPatterns& p = Patterns();
    const CRegExp* const forms[] = {&p.replay8Quoted,    &p.replay8NowQuoted, &p.replay6Quoted,
                                    &p.replay6NowQuoted, &p.replay8,          &p.replay8Now,
                                    &p.replay6,          &p.replay6Now};
    const int groups[] = {8, 8, 6, 6, 8, 8, 6, 6};
    bool matched = false;
    for (size_t i = 0; i < std::size(forms) && !matched; ++i) {
        matched = forms[i]->MatchGroups(line.c_str(), groups[i], f);
    }
    // The severity goes into the query as a number: any other text than a
    // number or "*" could only be refused there, over and over.
    if (!matched || !IsSeverity(f[3])) {
        reply = Message(116);
        return;
    }
    LOG(DEBUG,
        "Command {%s} recvd from {%s}, host={%s}, category={%s}, severity={%s}, fromTime={%s}, "
        "toTime={%s}",
        f[0].c_str(), context->address.c_str(), f[1].c_str(), f[2].c_str(), f[3].c_str(),
        f[4].c_str(), f[5].c_str());
    if (!WithController([&](CController& engine) {
            engine.ReplayEvents(f[1], f[2], f[3], f[4], f[5], f[6], f[7]);
        })) {
        reply = kEngineUnavailable;
        return;
    }
    reply = Message(117);
}

void CWmiLogEventServer::ProcessList(CIOCPClientContext* context, const std::string& line,
                                     std::string& reply) {
    (void)context;
    (void)line;
    if (!WithController([&](CController& engine) { reply = engine.ListSubscriptions(); })) {
        reply = kEngineUnavailable;
    }
}

void CWmiLogEventServer::ProcessLogLevel(CIOCPClientContext* context, const std::string& line,
                                         std::string& reply) {
    (void)context;
    std::string f[2];
    const TArgumentPatterns& p = Patterns();
    if (p.logLevel2.MatchGroups(line.c_str(), 2, f)) {
        if (g_logger == nullptr) {
            reply = kNoLogger;
            return;
        }
        g_logger->SetLevel(f[1]);
        reply = StringFormat(Message(138).c_str(), "updated log level");
    } else if (p.logLevel1.MatchGroups(line.c_str(), 1, f)) {
        if (g_logger == nullptr) {
            reply = kNoLogger;
            return;
        }
        int level = g_logger->GetLevel();
        const char* name =
            level >= LOG_TRACE && level <= LOG_FATAL ? g_logLevelNames[level] : "UNKNOWN";
        reply = StringFormat(Message(138).c_str(), name);
    } else {
        reply = Message(116);
    }
}

void CWmiLogEventServer::ProcessHelp(CIOCPClientContext* context, const std::string& line,
                                     std::string& reply) {
    (void)context;
    (void)line;
    reply = Message(126) + Message(119);
}

void CWmiLogEventServer::ProcessNoop(CIOCPClientContext* context, const std::string& line,
                                     std::string& reply) {
    (void)context;
    (void)line;
    reply = Message(120);
}

void CWmiLogEventServer::ProcessLogout(CIOCPClientContext* context, const std::string& line,
                                       std::string& reply) {
    (void)context;
    (void)line;
    reply = Message(118);
}
