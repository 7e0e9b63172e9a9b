// CConfigDataLoader: the process-wide configuration store, reached through
// g_config. Loaded once at start-up on the main thread from one profile file;
// afterwards read-only and read from any thread without a lock.
//
// Keys are "SECTION.ENTRY", matched without regard to case. An absent key
// raises EInvalidKey; each reader catches it to apply its default.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace platform {
class ProfileFile;
}

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
    // What the last Load found in the file that the table cannot hold as
    // written, one text each naming the key, in file order: a NUL byte in a
    // line ("LOCAL_AUTH.PASSWORD holds a NUL byte"), an entry before any
    // section ("ADDRESS is set before any [section]"). Any of them makes the
    // configuration unusable.
    const std::vector<std::string>& Faults() const { return faults; }
    // Keys the last Load found more than once with different values (the
    // first is kept), one text each naming the key and never a value.
    const std::vector<std::string>& Conflicts() const { return conflicts; }

    // Copy of the value under the upper-cased key; raises EInvalidKey.
    std::string GetKeyValue(const std::string& key) const;
    // Every pair in key order as "KEY=value," (empty for an empty table).
    std::string ListPairs() const;
    // ListPairs with secrets replaced by "****": the value of every entry
    // whose name holds a secret (NamesSecret: PASSWORD, SECRET, TOKEN, KEY,
    // sasl.jaas.config), and of every nameless entry (a line without "=")
    // whose text names one; every value of the CREDENTIALS section; and in
    // a SUBSCRIPTIONS value the words after its fourth. The text start-up
    // logs.
    std::string ListPairsMasked() const;
    // The entries of one section (any case) in key order, as pairs of the
    // upper-cased entry name (empty for a line without "=") and the value.
    std::vector<std::pair<std::string, std::string>> SectionEntries(
        const std::string& section) const;
    // Full path of a file name taken relative to the program's directory;
    // makes the program's directory the current directory.
    std::string ResolvePath(const std::string& fileName) const;
    // Narrow text of catalogue message id; empty for an unknown id. Needs no
    // store object.
    static std::string LoadMessage(int id);

  protected:
    // The profile reader Load goes through (platform/profile.h contract, on
    // fileName; during a load, on the one reading of the file that load
    // made). Overridden by tests to watch the buffer sizes Load tries.
    virtual size_t ReadSectionNames(char* buffer, size_t size, size_t* needed);
    virtual size_t ReadSection(const std::string& section, char* buffer, size_t size,
                               size_t* needed);

  private:
    // Adds the NUL-separated entries of one section; raises
    // EInvalidKeyValuePair at an entry that begins with "=".
    void ParseSection(const std::string& section, const char* entries);
    // Splits an entry at its first "=" (no "=": empty name, whole entry as
    // value); raises EInvalidKeyValuePair when the entry begins with "=".
    static void SplitPair(const std::string& entry, std::string& name, std::string& value);

    std::map<std::string, std::string> pairs;
    std::vector<std::string> faults;
    std::vector<std::string> conflicts;
    std::string fileName;
    // The reading of the file the running Load answers its lists from; null
    // outside Load.
    const platform::ProfileFile* reading = nullptr;
};

extern CConfigDataLoader* g_config;

// Integer by the decimal-prefix rule: leading white space, optional sign,
// digits up to the first other character; no digits give 0. A value beyond
// the range of a 64-bit number stops at its bound (long long: on Windows a
// long has 32 bits, too few for the output limits of 16 GiB).
long long DecimalPrefix(const std::string& text);

// The integer value of key in g_config by the decimal-prefix rule, or
// defaultValue when the key is absent (or there is no store). A present key
// with an unusable text gives what the rule gives (0).
long long ConfigInteger(const char* key, long long defaultValue);

// An interval setting in milliseconds: a value below 100 counts as seconds.
constexpr long IntervalMilliseconds(long value) { return value < 100 ? value * 1000 : value; }
