// The process-wide configuration and logger (g_config, g_logger) for one
// test that runs a server: a configuration file written into the test's
// folder and loaded, and a logger writing quellon.log there. The object
// owns both; whatever the two pointers held when it was made comes back
// when it goes, before the configuration and logger are deleted. Declare it
// before anything whose threads use them (a server) so that those stop
// first; only the test's own thread calls it.
#pragma once

#include <memory>
#include <string>

#include "base/configdataloader.h"
#include "base/logger.h"
#include "tests/app/tempdir.h"

class TestGlobals {
  public:
    TestGlobals() : savedConfig(g_config), savedLogger(g_logger) {}
    ~TestGlobals() {
        g_logger = savedLogger;
        g_config = savedConfig;
    }
    TestGlobals(const TestGlobals&) = delete;
    TestGlobals& operator=(const TestGlobals&) = delete;

    // Writes ini as quellon.ini into dir, loads it and makes it g_config
    // (replacing one loaded before).
    void LoadConfig(const TempDir& dir, const std::string& ini) {
        config = std::make_unique<CConfigDataLoader>(dir.Write("quellon.ini", ini));
        config->Load();
        g_config = config.get();
    }

    // Makes a logger at level writing quellon.log in dir, with sink added
    // when given, and g_logger. An empty level leaves g_logger null. A logger
    // made before is deleted first.
    void StartLogger(const TempDir& dir, const std::string& level, CLogSink* sink = nullptr) {
        g_logger = nullptr;
        logger.reset();
        if (!level.empty()) {
            logger = std::make_unique<CLogger>(dir.File("quellon.log"), level);
            if (sink != nullptr) logger->AddSink(sink);
        }
        g_logger = logger.get();
    }

  private:
    CConfigDataLoader* savedConfig;
    CLogger* savedLogger;
    std::unique_ptr<CConfigDataLoader> config;
    std::unique_ptr<CLogger> logger;
};
