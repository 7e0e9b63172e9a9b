// The documents in Windows' wire structure beside this file
// (tests/wmi/wsman/fixtures), read by name.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/app/tempdir.h"

namespace wsmantest {

inline std::string Fixture(const std::string& name) {
    const char* src = std::getenv("QUELLON_SOURCE_DIR");
    std::string root = src != nullptr ? src : QUELLON_TEST_SOURCE_ROOT;
    std::string text = ReadWholeFile(root + "/tests/wmi/wsman/fixtures/" + name);
    EXPECT_FALSE(text.empty()) << name;
    return text;
}

}  // namespace wsmantest
