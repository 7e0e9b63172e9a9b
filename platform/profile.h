// Profile (ini) file reader: the configuration store's view of a file of
// sections and name=value entries. The free functions are stateless: every
// call reads the file afresh, so any thread may call them. A ProfileFile
// reads the file once and answers every list from that reading, so that a
// reader asking for each of n sections in turn does O(n) work, not O(n^2)
// (the store uses one for each load, on the main thread at start-up).
//
// File rules for a file a person writes: each line is trimmed of surrounding
// white space; blank lines and lines starting with ';' or '#' are skipped;
// "[ name ]" opens a section (name trimmed, the text after ']' ignored);
// white space around the first '=' of an entry is removed; lines before the
// first section are ignored (and reported, see Faults), and so are those of a
// section with an empty name. Section names compare without regard to ASCII
// case; a section that appears more than once is listed once (first
// spelling) and contributes the entries of every occurrence, in file order.
//
// Both readers fill a caller's buffer with NUL-terminated strings closed by
// one more NUL and follow the classic profile-reader contract: they return
// the number of characters stored without the final NUL, or size - 2 when the
// list did not fit (what was stored is cut at a whole string). *needed, when
// given, receives the buffer size the whole list requires (every string with
// its NUL, plus the final NUL), so a caller can tell a list that fits exactly
// from one that was cut.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// A line of a profile file that the lists cannot show as it was written.
struct ProfileFault {
    enum class Kind {
        kNulByte,        // the line holds a NUL byte; its entry ends before it
        kBeforeSection,  // an entry before the first section (ignored)
    };
    Kind kind;
    // The section the line is in (empty before the first), and the entry's
    // name as written (the whole trimmed line, up to a NUL byte, for a line
    // without '=').
    std::string section;
    std::string name;
};

// One reading of a profile file; the lists below as of that reading. Const
// after construction, so any thread may ask it.
class ProfileFile {
  public:
    // Reads and parses fileName; a file that cannot be read has no sections.
    explicit ProfileFile(const std::string& fileName);
    ~ProfileFile();
    ProfileFile(const ProfileFile&) = delete;
    ProfileFile& operator=(const ProfileFile&) = delete;

    // As ReadProfileSectionNames and ReadProfileSection below.
    size_t ReadSectionNames(char* buffer, size_t size, size_t* needed = nullptr) const;
    size_t ReadSection(const std::string& section, char* buffer, size_t size,
                       size_t* needed = nullptr) const;
    // The lines of the reading that the lists do not show as written, in
    // file order; empty for a clean file.
    const std::vector<ProfileFault>& Faults() const;

  private:
    struct Parsed;
    std::unique_ptr<const Parsed> parsed;
};

// Names of all sections of fileName. A file that cannot be read has none.
size_t ReadProfileSectionNames(char* buffer, size_t size, const std::string& fileName,
                               size_t* needed = nullptr);

// Entry texts "name=value" (or the bare line for a line without '=') of the
// section, in file order. An unknown section or unreadable file has none.
size_t ReadProfileSection(const std::string& section, char* buffer, size_t size,
                          const std::string& fileName, size_t* needed = nullptr);

}  // namespace platform
