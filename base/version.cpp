#include "base/version.h"

#include "base/configdataloader.h"
#include "base/stringformat.h"

std::string VersionBanner() {
    std::string format = CConfigDataLoader::LoadMessage(105);
    std::string version = CConfigDataLoader::LoadMessage(106);
    return StringFormat(format.c_str(), version.c_str(), __DATE__);
}

const char* BuildTime() { return __TIME__; }
