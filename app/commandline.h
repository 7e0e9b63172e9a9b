// CCommandLineArgs: the option table of the program's command line, mapping
// each switch ("-c", "-i", ...) to the ordered list of values that follow it.
// Owned by whoever parses (the entry point, the service application); used on
// one thread.
//
// An argument is a switch when it is longer than one character, starts with
// '-' and its second character is not a decimal digit: "-5" and "-" are
// values. Switches compare case-sensitively.
#pragma once

#include <map>
#include <string>
#include <vector>

class CCommandLineArgs {
  public:
    // Whether an argument is a switch by the rule above; null is not.
    static bool IsSwitch(const char* argument);

    // Checks the length rule: each switch and the sum of the lengths of the
    // values that follow it at most 256 characters. Prints
    // "Validating command line arguments.\r\n" and, on success,
    // "Validation of command line arguments is successful.\r\n\n" to
    // standard output.
    bool Validate(int argc, const char* const* argv) const;

    // Empties and refills the table from argv[1..argc). A switch takes the
    // next argument, when that is not a switch, as its first value (an empty
    // one is dropped); later non-switch arguments are appended to the list of
    // the current switch. A repeated switch keeps its first list and loses the
    // value consumed by the repetition. Returns the number of distinct
    // switches.
    int Parse(int argc, const char* const* argv);

    bool HasSwitch(const std::string& name) const;

    // Value at index of the switch's list, or defaultValue when the switch
    // is absent or its list is shorter.
    std::string GetValue(const std::string& name, size_t index,
                         const std::string& defaultValue) const;

  private:
    std::map<std::string, std::vector<std::string>> options;
};
