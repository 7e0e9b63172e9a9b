// CConfigDataLoader: the process-wide configuration store, reached through
// g_config. Loaded once at start-up on the main thread from one profile file;
// afterwards read-only and read from any thread without a lock.
//
// Keys are "SECTION.ENTRY", matched without regard to case. An absent key
// raises EInvalidKey; each reader catches it to apply its default.
#pragma once

#include <map>
#include <string>

class CConfigDataLoader {
public:
    class EInvalidKey {};
    class EInvalidKeyValuePair {};
    class ELargeFile {};

    explicit CConfigDataLoader(const std::string& fileName);
    virtual ~CConfigDataLoader();

    // Empties the table and reads the whole file. Returns 1. Raises
    // ELargeFile or EInvalidKeyValuePair (what was read before stays).
    int Load();
    // Copy of the value under the upper-cased key; raises EInvalidKey.
    std::string GetKeyValue(const std::string& key) const;
    // Every pair in key order as "KEY=value," (empty for an empty table).
    std::string ListPairs() const;
    // ListPairs with the value of every key whose entry name contains
    // PASSWORD (any case) replaced by "****": the text start-up logs.
    std::string ListPairsMasked() const;
    // Full path of a file name taken relative to the program's directory;
    // makes the program's directory the current directory.
    std::string ResolvePath(const std::string& fileName) const;
    // Narrow text of catalogue message id; empty for an unknown id. Needs no
    // store object.
    static std::string LoadMessage(int id);

private:
    std::map<std::string, std::string> pairs;
    std::string fileName;
};

extern CConfigDataLoader* g_config;

// Integer by the decimal-prefix rule: leading white space, optional sign,
// digits up to the first other character; no digits give 0.
long DecimalPrefix(const std::string& text);
