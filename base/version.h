// The program's version banner, as the greeting and "-v" show it.
#pragma once

#include <string>

// "Halcrest WMI Event Listener (v5.5 build <build date>)": catalogue message
// 105 with the version (106) and the date this program was built.
std::string VersionBanner();
// The version number alone, "5.5" (catalogue message 106).
std::string VersionNumber();
// Build date of the program, "Mmm dd yyyy".
const char* BuildDate();
// Build time of the program, "HH:MM:SS".
const char* BuildTime();
