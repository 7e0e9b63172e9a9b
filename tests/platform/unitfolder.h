// A test fixture for service installation: a fresh unit folder, named to the
// service manager by QUELLON_UNIT_DIR, for the life of one test. The unit
// file quellon.service in it and the folder are removed at the end and the
// variable is unset.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

class UnitFolderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/quellon-units-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        unit = dir + "/quellon.service";
        setenv("QUELLON_UNIT_DIR", dir.c_str(), 1);
    }
    void TearDown() override {
        unlink(unit.c_str());
        rmdir(dir.c_str());
        unsetenv("QUELLON_UNIT_DIR");
    }

    std::string dir;   // the unit folder
    std::string unit;  // the unit file of the service "quellon" in it
};
