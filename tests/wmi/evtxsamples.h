// Where the sample event logs (.evtx) used by the import and tool tests lie:
// examples/evtx in the source tree (QUELLON_SOURCE_DIR as ctest sets it; the
// compiled-in source root when run by hand). Nothing outside the tree is read.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

inline std::string SamplesDir() {
    const char* src = std::getenv("QUELLON_SOURCE_DIR");
    std::filesystem::path root = src != nullptr ? src : QUELLON_TEST_SOURCE_ROOT;
    return (root / "examples" / "evtx").string();
}
