// What of a configuration value may be shown: the rules that keep secrets
// (passwords, tokens, keys) out of the start-up listing of the settings and
// out of the lines that refuse a setting. Pure functions of their
// arguments; any thread.
#pragma once

#include <cstddef>
#include <string>

// True when an entry of this name holds a secret, whatever its section: a
// name (any case) that contains PASSWORD, SECRET, TOKEN or KEY, or that is
// sasl.jaas.config or ends in oauthbearer.config (a Kafka client's
// properties that carry a password or a token inside their text).
bool NamesSecret(const std::string& entryName);

// value up to the end of its kept-th word, the words after it as one
// "****": "h System * CORP\reader pw" with kept 4 gives
// "h System * CORP\reader ****". Words are split at blanks and TABs; a word
// that begins with a double quote runs to the next one (a category with a
// blank), and an unclosed quote masks everything from it, since where its
// word ends is unknown.
std::string KeepWords(const std::string& value, size_t kept);
