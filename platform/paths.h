// Paths and directories: the program's own directory, the current directory,
// the fallback configuration directory, absolute-path tests and full-path
// forming. Stateless apart from the process's current directory, which
// ChangeDirectory alters for the whole process; used at start-up on the main
// thread (or the service's main thread).
#pragma once

#include <string>

namespace platform {

// Full path of the running program, empty when it cannot be read.
std::string ProgramPath();

// Directory of the running program with a trailing '/', empty when unknown.
std::string ProgramDirectory();

// True when the name is absolute (starts with '/').
bool IsAbsolutePath(const std::string& name);

// Directory that stands for the system-wide configuration folder: the value
// of QUELLON_SYSCONFDIR when set and not empty, else "/etc". No trailing '/'.
std::string FallbackConfigDirectory();

// The process's current directory, empty when it cannot be read.
std::string CurrentDirectory();

// Makes dir the process's current directory; false on failure.
bool ChangeDirectory(const std::string& dir);

// True when something other than a directory exists at path.
bool FileExists(const std::string& path);

// dir and name joined by exactly one '/'.
std::string JoinPath(const std::string& dir, const std::string& name);

// Absolute, lexically normalised ("." and ".." folded, repeated '/' merged)
// path of name taken against the current directory; empty when the current
// directory cannot be read for a relative name.
std::string FullPath(const std::string& name);

}  // namespace platform
