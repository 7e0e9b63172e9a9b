#include "base/version.h"

#include "base/configdataloader.h"
#include "base/stringformat.h"

std::string VersionBanner() {
    std::string format = CConfigDataLoader::LoadMessage(105);
    return StringFormat(format.c_str(), VersionNumber().c_str(), BuildDate());
}

std::string VersionNumber() { return CConfigDataLoader::LoadMessage(106); }

const char* BuildDate() { return __DATE__; }

const char* BuildTime() { return __TIME__; }
