// printf-style formatting into a std::string that grows as needed.
#pragma once

#include <cstdarg>
#include <string>

#include "platform/printf_format.h"

std::string StringFormat(const char* format, ...) QUELLON_PRINTF_FORMAT(1, 2);
std::string StringFormatV(const char* format, va_list args);
