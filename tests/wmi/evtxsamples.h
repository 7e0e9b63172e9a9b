// Where the sample event logs (.evtx) used by the import and tool tests lie:
// the shared data folder beside the source tree, found through
// QUELLON_SOURCE_DIR, or its usual place on a developer's machine.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

inline std::string SamplesDir() {
    if (const char* src = std::getenv("QUELLON_SOURCE_DIR")) {
        const std::filesystem::path p =
            std::filesystem::path(src) / ".." / "shared" / "data" / "evtx";
        if (std::filesystem::is_directory(p)) {
            return p.string();
        }
    }
    return "/work/shared/data/evtx";
}
