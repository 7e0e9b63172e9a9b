// Where a program of this build lies, for tests that run it as a child
// process: QUELLON_BUILD_DIR as ctest sets it, or the build folder the test
// was compiled in when it is run by hand.
#pragma once

#include <cstdlib>
#include <string>

inline std::string BuiltProgram(const std::string& name) {
    const char* dir = std::getenv("QUELLON_BUILD_DIR");
    return std::string(dir != nullptr ? dir : QUELLON_TEST_BUILD_DIR) + "/" + name;
}
