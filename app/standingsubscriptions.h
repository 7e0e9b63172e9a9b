// Standing subscriptions: the [SUBSCRIPTIONS] section of the configuration,
// one live subscription per entry, which the listener adds at start-up as if
// a client had sent ADD, so that it reads its hosts (and feeds its outputs)
// with no client connected. An entry's value is written as ADD's arguments:
//   host category severity [credential]
// (a category with a blank in double quotes); the optional last word names
// an entry of the [CREDENTIALS] section, whose value is "user password", so
// that a password is written once and never in a subscription.
//
// Read once by the start-up code on the main thread, before the server
// starts; plain values afterwards.
#pragma once

#include <map>
#include <string>
#include <vector>

struct TStandingSubscription {
    std::string name;  // the entry's key, as the configuration store keeps it
    std::string host;
    std::string category;
    std::string severity;
    std::string credential;  // the [CREDENTIALS] entry named, or empty
    std::string user;
    std::string password;
};

// Parses one entry. credentials maps entry names (upper-cased) to their
// values. False, with one line naming the entry and what is wrong in
// *error, for a value that is not "host category severity [credential]"
// (a host or category with a colon, a severity other than one digit or "*",
// an unclosed quote, words left over) or a credential that is not there or
// is not "user password". The line never holds a password.
bool ParseStandingSubscription(const std::string& name, const std::string& value,
                               const std::map<std::string, std::string>& credentials,
                               TStandingSubscription* subscription, std::string* error);

// Every entry of [SUBSCRIPTIONS] in g_config, in key order; on the first
// bad entry an empty list and the reason in *error.
std::vector<TStandingSubscription> ReadStandingSubscriptions(std::string* error);
