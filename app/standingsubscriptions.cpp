#include "app/standingsubscriptions.h"

#include "base/configdataloader.h"
#include "base/secretmask.h"
#include "base/stringformat.h"
#include "wmi/cim/ascii.h"

namespace {

const char* const kBlanks = " \t";

// Splits a value into words at blanks; a word that begins with a double
// quote runs to the next one and keeps what is between (blanks included).
// False for a quote left open or a quoted word glued to more text.
bool SplitWords(const std::string& value, std::vector<std::string>* words) {
    size_t at = value.find_first_not_of(kBlanks);
    while (at != std::string::npos) {
        if (value[at] == '"') {
            size_t close = value.find('"', at + 1);
            if (close == std::string::npos) return false;
            if (close + 1 < value.size() && value.find_first_of(kBlanks, close + 1) != close + 1) {
                return false;
            }
            words->push_back(value.substr(at + 1, close - at - 1));
            at = value.find_first_not_of(kBlanks, close + 1);
            continue;
        }
        size_t end = value.find_first_of(kBlanks, at);
        words->push_back(value.substr(at, end == std::string::npos ? end : end - at));
        at = end == std::string::npos ? end : value.find_first_not_of(kBlanks, end);
    }
    return true;
}

std::string Upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

}  // namespace

bool ParseStandingSubscription(const std::string& name, const std::string& value,
                               const std::map<std::string, std::string>& credentials,
                               TStandingSubscription* s, std::string* error) {
    auto refuse = [&](const std::string& why) {
        *error = "SUBSCRIPTIONS." + name + " " + why;
        return false;
    };
    std::vector<std::string> words;
    if (!SplitWords(value, &words)) return refuse("has a double quote that is not closed");
    if (words.size() < 3 || words.size() > 4) {
        return refuse("is not \"host category severity [credential]\": \"" + KeepWords(value, 4) +
                      "\"");
    }
    const std::string& host = words[0];
    const std::string& category = words[1];
    const std::string& severity = words[2];
    if (host.empty() || host.find(':') != std::string::npos) {
        return refuse("has no usable host: \"" + host + "\"");
    }
    if (category.empty() || category.find_first_of(":\"") != std::string::npos) {
        return refuse("has no usable category: \"" + category + "\"");
    }
    // As REPLAY takes it: a severity the query cannot use would be refused
    // there at every poll.
    if (!(severity == "*" || (severity.size() == 1 && severity[0] >= '1' && severity[0] <= '5'))) {
        return refuse("has a severity that is not 1 to 5 or *: \"" + severity + "\"");
    }
    s->name = name;
    s->host = host;
    s->category = category;
    s->severity = severity;
    s->credential.clear();
    s->user.clear();
    s->password.clear();
    if (words.size() == 4) {
        s->credential = words[3];
        auto found = credentials.find(Upper(words[3]));
        if (found == credentials.end()) {
            return refuse("names credential \"" + words[3] +
                          "\", which [CREDENTIALS] does not have");
        }
        const std::string& pair = found->second;
        size_t user = pair.find_first_not_of(kBlanks);
        size_t userEnd = user == std::string::npos ? user : pair.find_first_of(kBlanks, user);
        size_t password =
            userEnd == std::string::npos ? userEnd : pair.find_first_not_of(kBlanks, userEnd);
        if (password == std::string::npos) {
            return refuse("names credential \"" + words[3] +
                          "\", whose value is not \"user password\"");
        }
        size_t passwordEnd = pair.find_last_not_of(kBlanks);
        s->user = pair.substr(user, userEnd - user);
        s->password = pair.substr(password, passwordEnd - password + 1);
    }
    return true;
}

std::vector<TStandingSubscription> ReadStandingSubscriptions(std::string* error) {
    std::vector<TStandingSubscription> list;
    if (g_config == nullptr) return list;
    std::map<std::string, std::string> credentials;
    for (const auto& [name, value] : g_config->SectionEntries("CREDENTIALS")) {
        credentials[name] = value;
    }
    for (const auto& [name, value] : g_config->SectionEntries("SUBSCRIPTIONS")) {
        TStandingSubscription subscription;
        if (name.empty()) {
            *error = "SUBSCRIPTIONS has an entry without a name: \"" + KeepWords(value, 4) + "\"";
            return {};
        }
        if (!ParseStandingSubscription(name, value, credentials, &subscription, error)) return {};
        // One host's log is one subscription whatever the severity, and log
        // names are compared as Windows compares them: a twin would replace
        // the entry before it without a word.
        for (const TStandingSubscription& before : list) {
            if (before.host == subscription.host &&
                wmi::cim::EqualsIgnoringCase(before.category, subscription.category)) {
                *error = "SUBSCRIPTIONS." + name + " is the same subscription as SUBSCRIPTIONS." +
                         before.name + ": \"" + subscription.host + " " + subscription.category +
                         "\"";
                return {};
            }
        }
        list.push_back(std::move(subscription));
    }
    return list;
}
