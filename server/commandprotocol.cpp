// The line protocol of the command server: line assembly, command
// identification, argument patterns, the command handlers and their replies.
// Everything here runs on the connection server's worker thread.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "base/configdataloader.h"
#include "base/logger.h"
#include "base/stringformat.h"
#include "server/regexp.h"
#include "server/wmilogeventserver.h"

namespace {

// A line without its line end yet (the command buffer) may hold this many
// bytes; one byte more is refused as invalid data.
constexpr size_t kMaxUnfinishedLine = 4096;
// Complete command lines of this many characters or more are refused.
constexpr size_t kMaxLineLength = 256;
// Longest keyword, user or password of a LOGIN line.
constexpr size_t kMaxLoginField = 127;
// Each failed login is answered after a delay (the login budget's, one
// second while the address is within its budget), during which nothing more
// is read from the connection; the last one allowed closes it.
constexpr int kMaxFailedLogins = 3;

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

// A severity limit a query can use: "*" or 1 to 5.
bool IsSeverity(const std::string& text) {
    return text == "*" || (text.size() == 1 && text[0] >= '1' && text[0] <= '5');
}

// Fourteen digits YYYYMMDDhhmmss that name a real moment: a month of the
// year, a day of that month (29 February only in leap years), hours below
// 24, minutes and seconds below 60.
bool IsRealTime(const std::string& stamp) {
    if (stamp.size() != 14) return false;
    for (char c : stamp) {
        if (c < '0' || c > '9') return false;
    }
    auto number = [&stamp](size_t at, size_t digits) {
        return std::stoi(stamp.substr(at, digits));
    };
    const int year = number(0, 4);
    const int month = number(4, 2);
    const int day = number(6, 2);
    if (month < 1 || month > 12 || day < 1) return false;
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    const int days = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
    return day <= days && number(8, 2) < 24 && number(10, 2) < 60 && number(12, 2) < 60;
}

// One form of a command's arguments: a pattern, the number of its groups
// (group 0 is the keyword) and how many of them, from the first, may be
// written to the log (the rest are credentials).
// Compiled once, when the program starts; matching only reads a compiled
// pattern, so every thread may use them at once.
struct TCommandForm {
    TCommandForm(const char* text, int groups, int loggable) : groups(groups), loggable(loggable) {
        pattern.Parse(text);
    }
    CRegExp pattern;
    int groups;
    int loggable;
};

constexpr int kMaxForms = 8;
constexpr int kMaxGroups = 8;

// Argument patterns. Each backslash is the pattern dialect's escape: "\\b" is
// one blank or TAB, "\\c" one letter, "\\*" a literal star.
#define QUELLON_14_DIGITS "{[0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9]}"
// A category in double quotes may hold blanks ("Directory Service"); the
// quotes are not part of it. The quoted forms are tried before the plain
// ones, which would split such a category at its blank.
#define QUELLON_QUOTED "\"{[^\":]+}\""
#define QUELLON_REPLAY_HEAD \
    "^\\b?{[Rr][Ee][Pp][Ll][Aa][Yy]}\\b+{[^:]+}\\b+{[^:]+}\\b+{[^:]+}\\b+" QUELLON_14_DIGITS
#define QUELLON_REPLAY_HEAD_QUOTED                                  \
    "^\\b?{[Rr][Ee][Pp][Ll][Aa][Yy]}\\b+{[^:]+}\\b+" QUELLON_QUOTED \
    "\\b+{[^:]+}\\b+" QUELLON_14_DIGITS

// keyword, user, password
const TCommandForm kLoginForm = {"^\\b?{\\c+}\\b+{[^:]+}\\b+{[^:]+}", 3, 2};
// keyword, host, category, severity[, user, password]
const TCommandForm kAdd6 = {
    "^\\b?{[Aa][Dd][Dd]}\\b+{[^:]+}\\b+{[^:]+}\\b+{[0-9]|\\*}\\b+{[^:]+}\\b+{[^:]+}", 6, 5};
const TCommandForm kAdd4 = {"^\\b?{[Aa][Dd][Dd]}\\b+{[^:]+}\\b+{[^:]+}\\b+{[0-9]|\\*}", 4, 4};
const TCommandForm kAdd6Quoted = {"^\\b?{[Aa][Dd][Dd]}\\b+{[^:]+}\\b+" QUELLON_QUOTED
                                  "\\b+{[0-9]|\\*}\\b+{[^:]+}\\b+{[^:]+}",
                                  6, 5};
const TCommandForm kAdd4Quoted = {
    "^\\b?{[Aa][Dd][Dd]}\\b+{[^:]+}\\b+" QUELLON_QUOTED "\\b+{[0-9]|\\*}", 4, 4};
// keyword, host[, category]
const TCommandForm kDelete3 = {"^\\b?{[Dd][Ee][Ll][Ee][Tt][Ee]}\\b+{[^:]+}\\b+{[^:]+}", 3, 3};
const TCommandForm kDelete2 = {"^\\b?{[Dd][Ee][Ll][Ee][Tt][Ee]}\\b+{[^:]+}", 2, 2};
const TCommandForm kDelete3Quoted = {
    "^\\b?{[Dd][Ee][Ll][Ee][Tt][Ee]}\\b+{[^:]+}\\b+" QUELLON_QUOTED, 3, 3};
// keyword, host, category, severity, from, to ("0": now)[, user, password]
const TCommandForm kReplay8 = {
    QUELLON_REPLAY_HEAD "\\b+" QUELLON_14_DIGITS "\\b+{[^:]+}\\b+{[^:]+}", 8, 6};
const TCommandForm kReplay8Now = {QUELLON_REPLAY_HEAD "\\b+{[0]}\\b+{[^:]+}\\b+{[^:]+}", 8, 6};
const TCommandForm kReplay6 = {QUELLON_REPLAY_HEAD "\\b+" QUELLON_14_DIGITS, 6, 6};
const TCommandForm kReplay6Now = {QUELLON_REPLAY_HEAD "\\b+{[0]}", 6, 6};
const TCommandForm kReplay8Quoted = {
    QUELLON_REPLAY_HEAD_QUOTED "\\b+" QUELLON_14_DIGITS "\\b+{[^:]+}\\b+{[^:]+}", 8, 6};
const TCommandForm kReplay8NowQuoted = {
    QUELLON_REPLAY_HEAD_QUOTED "\\b+{[0]}\\b+{[^:]+}\\b+{[^:]+}", 8, 6};
const TCommandForm kReplay6Quoted = {QUELLON_REPLAY_HEAD_QUOTED "\\b+" QUELLON_14_DIGITS, 6, 6};
const TCommandForm kReplay6NowQuoted = {QUELLON_REPLAY_HEAD_QUOTED "\\b+{[0]}", 6, 6};
// keyword[, level]
const TCommandForm kLogLevel2 = {"^\\b*{[Ll][Oo][Gg][Ll][Ee][Vv][Ee][Ll]}\\b*{[^:]+}", 2, 2};
const TCommandForm kLogLevel1 = {"^\\b*{[Ll][Oo][Gg][Ll][Ee][Vv][Ee][Ll]}\\b*", 1, 1};

#undef QUELLON_REPLAY_HEAD
#undef QUELLON_REPLAY_HEAD_QUOTED
#undef QUELLON_QUOTED
#undef QUELLON_14_DIGITS

}  // namespace

// One row of the command table.
struct CWmiLogEventServer::TCommand {
    const char* name;
    // Tried in order; the first that matches gives the handler its fields.
    // None listed: the handler takes the line as it is. Listed but none
    // matches: "insufficient/incorrect parameters", without the handler.
    const TCommandForm* forms[kMaxForms];
    // Commands that need no login are the ones that log a session in; once
    // logged in, they are answered "already logged in".
    bool needsLogin;
    // Logs "Command {line} recvd from {address}" at DEBUG before the
    // arguments are matched; the other handlers log their own line.
    bool logsLine;
    THandler handler;
};

// One command line on its way through its handler.
struct CWmiLogEventServer::TCommandCall {
    TCommandCall(CIOCPClientContext* context, const std::string& line)
        : context(context), line(line) {}

    CIOCPClientContext* context;
    const std::string& line;
    // The form that matched (its position in the row), and its groups.
    int form = -1;
    std::string fields[kMaxGroups];
    std::string reply;
};

// The command table. A new command is one row here and one handler.
const CWmiLogEventServer::TCommand CWmiLogEventServer::kCommands[] = {
    {"Login", {&kLoginForm}, false, false, &CWmiLogEventServer::ProcessLogin},
    {"Add",
     {&kAdd6Quoted, &kAdd4Quoted, &kAdd6, &kAdd4},
     true,
     false,
     &CWmiLogEventServer::ProcessAdd},
    {"Delete",
     {&kDelete3Quoted, &kDelete3, &kDelete2},
     true,
     true,
     &CWmiLogEventServer::ProcessDelete},
    {"Replay",
     {&kReplay8Quoted, &kReplay8NowQuoted, &kReplay6Quoted, &kReplay6NowQuoted, &kReplay8,
      &kReplay8Now, &kReplay6, &kReplay6Now},
     true,
     false,
     &CWmiLogEventServer::ProcessReplay},
    {"List", {}, true, true, &CWmiLogEventServer::ProcessList},
    {"LogLevel", {&kLogLevel2, &kLogLevel1}, true, true, &CWmiLogEventServer::ProcessLogLevel},
    {"Logout", {}, true, true, &CWmiLogEventServer::ProcessLogout},
    {"NOOP", {}, true, true, &CWmiLogEventServer::ProcessNoop},
    {"Exit", {}, true, true, &CWmiLogEventServer::ProcessLogout},
    {"Quit", {}, true, true, &CWmiLogEventServer::ProcessLogout},
    {"Help", {}, true, true, &CWmiLogEventServer::ProcessHelp},
    {"Stats", {}, true, true, &CWmiLogEventServer::ProcessStats},
};

template <typename Call>
bool CWmiLogEventServer::WithController(Call call) {
    RSLibrary::RSSynchronizeGuard guard(controllerLock);
    if (controller == nullptr || !controllerRunning) return false;
    call(*controller);
    return true;
}

const CWmiLogEventServer::TCommand* CWmiLogEventServer::FindCommand(const std::string& line) {
    if (line.empty()) return nullptr;
    std::string keyword = line.substr(0, line.find(' '));
    for (const TCommand& command : kCommands) {
        if (EqualsNoCase(keyword, command.name)) return &command;
    }
    return nullptr;
}

std::string CWmiLogEventServer::LoggableLine(const std::string& line) {
    return MaskConfiguredPassword(WithoutCredentials(line));
}

std::string CWmiLogEventServer::WithoutCredentials(const std::string& line) {
    // Credentials are found by their position among the words, whatever
    // else is wrong with the line, and everything from the first of them on
    // is left out. A line may carry several commands glued together, so
    // every word that names a credential-bearing command cuts the text at its
    // own credential position; the earliest cut wins.
    const std::vector<TWord> words = SplitWords(line);
    size_t cut = line.size();
    for (size_t i = 0; i < words.size(); ++i) {
        const TWord& word = words[i];
        // The keyword is the word's first run of letters; what stands before
        // it in the word (a stray character) is kept with it.
        size_t start = word.begin;
        while (start < word.end && !IsLetter(line[start])) ++start;
        size_t stop = start;
        while (stop < word.end && IsLetter(line[stop])) ++stop;
        const std::string keyword = line.substr(start, stop - start);
        int keep = -1;
        bool separable = start == word.begin && stop == word.end;
        for (const TCommand& command : kCommands) {
            if (CredentialPosition(command) < 0) continue;
            // The first word may merely begin like the command's name
            // ("LOGINX", "ADDHOST"): most likely a mistyped command with the
            // credentials still in it, whose fields are told apart only when
            // one of the command's patterns still reads the line. A later
            // word is a glued command only when it is the name itself.
            if (i == 0 && StartsWithNoCase(keyword, command.name)) {
                keep = CredentialPosition(command);
                if (!EqualsNoCase(keyword, command.name)) {
                    bool read = false;
                    for (const TCommandForm* form : command.forms) {
                        std::string groups[kMaxGroups];
                        if (form != nullptr && line.size() < kMaxLineLength &&
                            form->pattern.MatchGroups(line.c_str(), form->groups, groups)) {
                            read = true;
                        }
                    }
                    separable = separable && read;
                }
            } else if (i > 0 && separable && EqualsNoCase(keyword, command.name)) {
                keep = CredentialPosition(command);
            }
        }
        if (keep < 0) continue;
        // The fields cannot be told apart (a keyword run into other
        // characters, a colon, a quote left open): nothing after the keyword
        // is safe to write.
        for (size_t j = i + 1; j < words.size() && j < i + static_cast<size_t>(keep); ++j) {
            const std::string text = line.substr(words[j].begin, words[j].end - words[j].begin);
            if (words[j].open || text.find(':') != std::string::npos) separable = false;
        }
        size_t end = stop;
        if (separable) {
            size_t last = std::min(words.size(), i + static_cast<size_t>(keep)) - 1;
            end = words[last].end;
        }
        cut = std::min(cut, end);
    }
    // What is kept, its words joined by single blanks.
    std::string kept;
    for (const TWord& word : words) {
        if (word.begin >= cut) break;
        if (!kept.empty()) kept += ' ';
        kept += line.substr(word.begin, std::min(word.end, cut) - word.begin);
    }
    return kept;
}

std::vector<CWmiLogEventServer::TWord> CWmiLogEventServer::SplitWords(const std::string& line) {
    std::vector<TWord> words;
    size_t at = 0;
    auto blank = [&](size_t i) { return line[i] == ' ' || line[i] == '\t'; };
    while (at < line.size()) {
        while (at < line.size() && blank(at)) ++at;
        if (at == line.size()) break;
        TWord word{at, at, false};
        if (line[at] == '"') {
            size_t close = line.find('"', at + 1);
            if (close == std::string::npos) {
                word.open = true;
                at = line.size();
            } else {
                at = close + 1;
            }
        }
        while (at < line.size() && !blank(at)) ++at;
        word.end = at;
        words.push_back(word);
    }
    return words;
}

int CWmiLogEventServer::CredentialPosition(const TCommand& command) {
    for (const TCommandForm* form : command.forms) {
        if (form != nullptr && form->loggable < form->groups) return form->loggable;
    }
    return -1;
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
    // Every complete line of the read is answered, in order, however many
    // there are: a client that sends several commands at once gets a reply
    // to each. A line ends at LF; a CR right before it in the same read
    // belongs to the line end. Only the unfinished line at the end is bounded.
    std::string& buffer = context->commandBuffer;
    const char* next = data;
    const char* const end = data + (byteCount > 0 ? byteCount : 0);
    for (;;) {
        const char* lf = static_cast<const char*>(std::memchr(next, '\n', end - next));
        if (lf == nullptr) {
            size_t rest = static_cast<size_t>(end - next);
            if (buffer.size() + rest > kMaxUnfinishedLine) return RejectData(context);
            buffer.append(next, rest);
            PostRead(context, flags, kReadSize);
            return 1;
        }
        const char* lineEnd = (lf > next && lf[-1] == '\r') ? lf - 1 : lf;
        buffer.append(next, static_cast<size_t>(lineEnd - next));
        next = lf + 1;
        switch (HandleCommandLine(context, &flags)) {
            case TLineResult::kNextLine:
                break;
            case TLineResult::kClosed:
                return 1;
            case TLineResult::kPaused:
                // The rest waits for OnResume; nothing is read meanwhile.
                context->pendingInput.assign(next, static_cast<size_t>(end - next));
                return 1;
        }
    }
}

void CWmiLogEventServer::OnResume(CIOCPClientContext* context, long flags) {
    SendString(context, 0, context->heldReply);
    context->heldReply.clear();
    if (context->failedLogins >= kMaxFailedLogins) {
        LOG(WARN, "Closing connection from %s after %d failed logins", context->address.c_str(),
            context->failedLogins);
        ResetClient(context);
        return;
    }
    std::string input;
    input.swap(context->pendingInput);
    OnDataReceived(context, flags, input.data(), static_cast<long>(input.size()));
}

CWmiLogEventServer::TLineResult CWmiLogEventServer::HandleCommandLine(CIOCPClientContext* context,
                                                                      long* flags) {
    std::string& buffer = context->commandBuffer;
    const char* address = context->address.c_str();
    const bool loggedIn = (*flags & IO_FLAG_AWAITING_LOGIN) == 0;
    TCommandCall call(context, buffer);
    const std::string& line = call.line;
    std::string& reply = call.reply;
    TAfterReply after = TAfterReply::kNextLine;
    // A line with a NUL byte in it is no command, whatever it begins with;
    // its text is shown up to the NUL.
    const bool hasNul = line.find('\0') != std::string::npos;
    const TCommand* command = hasNul ? nullptr : FindCommand(line);
    if (command == nullptr) {
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
    } else if (!loggedIn && command->needsLogin) {
        LOG(INFO, "Command {%s} recvd from {%s} w/o authentication", LoggableLine(line).c_str(),
            address);
        reply = Message(112);
    } else if (loggedIn && !command->needsLogin) {
        LOG(DEBUG, "Command {%s} recvd from {%s}", LoggableLine(line).c_str(), address);
        reply = Message(110);
    } else {
        if (command->logsLine) {
            LOG(DEBUG, "Command {%s} recvd from {%s}", LoggableLine(line).c_str(), address);
        }
        after = RunCommand(*command, call);
        if (!loggedIn && after == TAfterReply::kLoggedIn) {
            LOG(INFO, "Successful login command recvd from {%s}", address);
        } else if (!loggedIn) {
            LOG(INFO, "Unsuccessful login command recvd from {%s}", address);
            // Guessing costs time: the reply waits, and so does the rest.
            ++context->failedLogins;
            failedLogins.fetch_add(1, std::memory_order_relaxed);
            LOG(WARN, "Failed login %d of %d from %s", context->failedLogins, kMaxFailedLogins,
                address);
            context->heldReply = std::move(reply);
            buffer.clear();
            ResumeAfter(context, *flags,
                        loginBudget.Failed(context->sourceBlock, std::chrono::steady_clock::now()));
            return TLineResult::kPaused;
        }
    }
    SendString(context, 0, reply);
    buffer.clear();
    switch (after) {
        case TAfterReply::kNextLine:
            break;
        case TAfterReply::kLoggedIn:
            *flags = IO_FLAG_LOGGED_IN;
            break;
        case TAfterReply::kClose:
            CloseClient(context);
            return TLineResult::kClosed;
    }
    return TLineResult::kNextLine;
}

CWmiLogEventServer::TAfterReply CWmiLogEventServer::RunCommand(const TCommand& command,
                                                               TCommandCall& call) {
    if (command.forms[0] != nullptr) {
        const char* text = call.line.c_str();
        for (int i = 0; i < kMaxForms && command.forms[i] != nullptr && call.form < 0; ++i) {
            const TCommandForm& form = *command.forms[i];
            if (form.pattern.MatchGroups(text, form.groups, call.fields)) call.form = i;
        }
        // Words after the password of a command with credentials would run
        // into the user or password field, or be ignored, and the wrong
        // credentials be used: such a line is refused.
        if (call.form >= 0 && CredentialPosition(command) >= 0) {
            size_t most = 0;
            for (const TCommandForm* form : command.forms) {
                if (form != nullptr) most = std::max(most, static_cast<size_t>(form->groups));
            }
            if (SplitWords(call.line).size() > most) call.form = -1;
        }
        if (call.form < 0) {
            call.reply = Message(116);
            return TAfterReply::kNextLine;
        }
    }
    return (this->*command.handler)(call);
}

CWmiLogEventServer::TAfterReply CWmiLogEventServer::ProcessLogin(TCommandCall& call) {
    static const char* const kTooLong[3] = {
        "Command Name not valid. Command Name exceeds the allowed length.",
        "Username not valid. Username exceeds the allowed length.",
        "Password not valid. Password exceeds the allowed length."};
    // keyword, user, password
    const std::string* fields = call.fields;
    for (int i = 0; i < 3; ++i) {
        if (fields[i].size() > kMaxLoginField) {
            LOG(ERROR, "%s", kTooLong[i]);
            call.reply = Message(114);
            return TAfterReply::kNextLine;
        }
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
    if (user.empty() || !EqualsNoCase(fields[1], user.c_str()) ||
        !EqualsNoCase(fields[2], password.c_str())) {
        call.reply = Message(114);
        return TAfterReply::kNextLine;
    }
    // The logged-in output bound applies before the first broadcast can come.
    MarkLoggedIn(call.context);
    if (call.context->inLoginBudget.exchange(false)) loginBudget.Release(call.context->sourceBlock);
    int connections;
    {
        RSLibrary::RSSynchronizeGuard guard(listLock);
        // A connection another thread closed meanwhile (one that gave way to
        // a newer connection) has left the lists and must not come back:
        // its close marks it before its hook takes listLock.
        if (!call.context->closed.load()) loggedInClients.push_back(call.context);
        connections = connectionCount;
    }
    call.reply = StringFormat(Message(113).c_str(), connections);
    return TAfterReply::kLoggedIn;
}

int CWmiLogEventServer::AddSubscription(const std::string& host, const std::string& category,
                                        const std::string& severity, const std::string& user,
                                        const std::string& password) {
    int result = -3;
    WithController([&](CSubscriptionEngine& engine) {
        result = engine.AddSubscription(host, category, severity, user, password);
    });
    return result;
}

CWmiLogEventServer::TAfterReply CWmiLogEventServer::ProcessAdd(TCommandCall& call) {
    // keyword, host, category, severity[, user, password]
    const std::string* f = call.fields;
    const std::string& host = f[1];
    const std::string& category = f[2];
    const std::string& severity = f[3];
    std::string& reply = call.reply;
    // A category with a blank came in double quotes and goes back in them,
    // as notices and LIST write it; a quoted category holds no quote.
    const std::string shown =
        category.find(' ') == std::string::npos ? category : "\"" + category + "\"";
    // The severities REPLAY takes: any other is a limit the query cannot
    // use, refused by the host at every poll.
    if (!IsSeverity(severity)) {
        reply = Message(116);
        return TAfterReply::kNextLine;
    }
    LOG(DEBUG, "Command {%s} recvd from {%s}, host={%s}, category={%s}, severity={%s}",
        f[0].c_str(), call.context->address.c_str(), host.c_str(), category.c_str(),
        severity.c_str());
    int result = 0;
    if (!WithController([&](CSubscriptionEngine& engine) {
            result = engine.AddSubscription(host, category, severity, f[4], f[5]);
        })) {
        reply = kEngineUnavailable;
        return TAfterReply::kNextLine;
    }
    switch (result) {
        case 0:
            reply =
                StringFormat(Message(115).c_str(), host.c_str(), shown.c_str(), severity.c_str());
            break;
        case -1:
            reply =
                StringFormat(Message(133).c_str(), host.c_str(), shown.c_str(), severity.c_str());
            LOG(DEBUG, "Host exists: %s, category=%s; severity=%s", host.c_str(), category.c_str(),
                severity.c_str());
            break;
        case -2:
            reply =
                StringFormat(Message(135).c_str(), host.c_str(), shown.c_str(), severity.c_str());
            LOG(WARN, "Invalid host: %s", host.c_str());
            break;
        default:
            reply = StringFormat("ERROR subscription for %s %s %s not queued\r\n", host.c_str(),
                                 shown.c_str(), severity.c_str());
            break;
    }
    return TAfterReply::kNextLine;
}

CWmiLogEventServer::TAfterReply CWmiLogEventServer::ProcessDelete(TCommandCall& call) {
    // keyword, host[, category]
    std::string* f = call.fields;
    // The host-only form leaves the category empty.
    if (f[2].empty()) f[2] = "*";
    int marked = 0;
    if (!WithController([&](CSubscriptionEngine& engine) {
            marked = engine.DeleteSubscription(f[1], f[2], "*");
        })) {
        call.reply = kEngineUnavailable;
    } else {
        call.reply = marked > 0 ? StringFormat(Message(124).c_str(), marked) : Message(125);
    }
    return TAfterReply::kNextLine;
}

CWmiLogEventServer::TAfterReply CWmiLogEventServer::ProcessReplay(TCommandCall& call) {
    // keyword, host, category, severity, from, to[, user, password]
    const std::string* f = call.fields;
    // The severity goes into the query as a number: any other text could
    // only be refused there, over and over. A time that names no moment, or
    // a window that ends before it starts, could only replay nothing.
    // Fourteen-digit stamps of one calendar compare as text.
    const bool toNow = f[5] == "0";
    if (!IsSeverity(f[3]) || !IsRealTime(f[4]) || (!toNow && !IsRealTime(f[5])) ||
        (!toNow && f[5] < f[4])) {
        call.reply = Message(116);
        return TAfterReply::kNextLine;
    }
    LOG(DEBUG,
        "Command {%s} recvd from {%s}, host={%s}, category={%s}, severity={%s}, fromTime={%s}, "
        "toTime={%s}",
        f[0].c_str(), call.context->address.c_str(), f[1].c_str(), f[2].c_str(), f[3].c_str(),
        f[4].c_str(), f[5].c_str());
    if (!WithController([&](CSubscriptionEngine& engine) {
            engine.ReplayEvents(f[1], f[2], f[3], f[4], f[5], f[6], f[7]);
        })) {
        call.reply = kEngineUnavailable;
    } else {
        call.reply = Message(117);
    }
    return TAfterReply::kNextLine;
}

CWmiLogEventServer::TAfterReply CWmiLogEventServer::ProcessList(TCommandCall& call) {
    if (!WithController(
            [&](CSubscriptionEngine& engine) { call.reply = engine.ListSubscriptions(); })) {
        call.reply = kEngineUnavailable;
    }
    return TAfterReply::kNextLine;
}

CWmiLogEventServer::TAfterReply CWmiLogEventServer::ProcessStats(TCommandCall& call) {
    // Read before the controller lock: the client list has a lock of its
    // own, taken after the engine's.
    const int clients = GetLoggedInCount();
    const uint64_t queued = GetQueuedRecords();
    if (!WithController([&](CSubscriptionEngine& engine) {
            call.reply = engine.Statistics(clients, queued);
        })) {
        call.reply = kEngineUnavailable;
    }
    return TAfterReply::kNextLine;
}

TListenerStats CWmiLogEventServer::Snapshot() {
    TListenerStats stats;
    // Read before the controller lock, as STATS does.
    stats.clientsLoggedIn = GetLoggedInCount();
    stats.connections = GetConnectionCount();
    stats.queuedForClients = GetQueuedRecords();
    stats.failedLogins = failedLogins.load(std::memory_order_relaxed);
    stats.refusedConnectionLimit = refusedConnectionLimit.load(std::memory_order_relaxed);
    stats.refusedGuessingBudget = refusedGuessingBudget.load(std::memory_order_relaxed);
    stats.refusedPerSource = GetRefusedPerSource();
    stats.bytesSent = GetBytesSent();
    stats.forcedDisconnects = GetForcedDisconnects();
    stats.engineRunning =
        WithController([&](CSubscriptionEngine& engine) { stats.engine = engine.Snapshot(); });
    // Listed before Start, constant afterwards.
    for (const std::unique_ptr<CBroadcastSink>& output : extraOutputs) {
        std::vector<TOutputStats> more = output->OutputStatistics();
        stats.outputs.insert(stats.outputs.end(), more.begin(), more.end());
    }
    return stats;
}

CWmiLogEventServer::TAfterReply CWmiLogEventServer::ProcessLogLevel(TCommandCall& call) {
    // keyword[, level]; a level of blanks only asks for the current one.
    const char* const blanks = " \t";
    std::string wanted;
    if (call.form == 0) {
        const std::string& given = call.fields[1];
        size_t first = given.find_first_not_of(blanks);
        if (first != std::string::npos) {
            wanted = given.substr(first, given.find_last_not_of(blanks) - first + 1);
        }
    }
    int parsed = LOG_WARN;
    if (g_logger == nullptr) {
        call.reply = kNoLogger;
    } else if (!wanted.empty()) {
        if (CLogger::ParseLevel(wanted, &parsed)) {
            g_logger->SetLevel(g_logLevelNames[parsed]);
            call.reply = StringFormat(Message(138).c_str(), "updated log level");
        } else {
            // The level stays as it was.
            call.reply = StringFormat(
                "ERROR unknown log level \"%s\"; the levels are trace, debug, info, warn, "
                "error and fatal (or 0 to 5)\r\n",
                wanted.c_str());
        }
    } else {
        int level = g_logger->GetLevel();
        const char* name =
            level >= LOG_TRACE && level <= LOG_FATAL ? g_logLevelNames[level] : "UNKNOWN";
        call.reply = StringFormat(Message(138).c_str(), name);
    }
    return TAfterReply::kNextLine;
}

CWmiLogEventServer::TAfterReply CWmiLogEventServer::ProcessHelp(TCommandCall& call) {
    call.reply = Message(126) + Message(119);
    return TAfterReply::kNextLine;
}

CWmiLogEventServer::TAfterReply CWmiLogEventServer::ProcessNoop(TCommandCall& call) {
    call.reply = Message(120);
    return TAfterReply::kNextLine;
}

CWmiLogEventServer::TAfterReply CWmiLogEventServer::ProcessLogout(TCommandCall& call) {
    call.reply = Message(118);
    return TAfterReply::kClose;
}
