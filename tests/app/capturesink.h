// A logger sink for tests that keeps every text the logger writes, so a test
// can look for (or make sure of the absence of) a logged line. Written by
// any thread that logs; Text() may be read at any time.
#pragma once

#include <mutex>
#include <string>

#include "base/logger.h"

class CaptureSink : public CLogSink {
  public:
    void Write(const char* data, int length) override {
        std::lock_guard<std::mutex> guard(mutex);
        text.append(data, static_cast<size_t>(length));
    }
    // Everything written so far.
    std::string Text() {
        std::lock_guard<std::mutex> guard(mutex);
        return text;
    }

  private:
    std::mutex mutex;
    std::string text;
};
