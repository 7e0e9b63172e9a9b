// Where the sample event logs (.evtx) used by the import and tool tests lie:
// the shared data folder beside the source tree (QUELLON_SOURCE_DIR/../shared,
// as ctest sets it; the source tree's own folder when run by hand).
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

inline std::string SamplesDir() {
    const char* src = std::getenv("QUELLON_SOURCE_DIR");
    std::filesystem::path root = src != nullptr ? src : QUELLON_TEST_SOURCE_ROOT;
    return (root / ".." / "shared" / "data" / "evtx").string();
}
