#include "engine/resumepoint.h"

#include <chrono>
#include <ctime>

#include "base/stringformat.h"

namespace {

bool Digits(const std::string& text, size_t at, size_t count, int64_t* value) {
    *value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        *value = *value * 10 + (text[i] - '0');
    }
    return true;
}

}  // namespace

bool DmtfToMicros(const std::string& text, int64_t* micros) {
    // yyyymmddHHMMSS.mmmmmm+UUU
    if (text.size() != 25 || text[14] != '.' || (text[21] != '+' && text[21] != '-')) return false;
    int64_t year, month, day, hour, minute, second, fraction, offset;
    if (!Digits(text, 0, 4, &year) || !Digits(text, 4, 2, &month) || !Digits(text, 6, 2, &day) ||
        !Digits(text, 8, 2, &hour) || !Digits(text, 10, 2, &minute) ||
        !Digits(text, 12, 2, &second) || !Digits(text, 15, 6, &fraction) ||
        !Digits(text, 22, 3, &offset)) {
        return false;
    }
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return false;
    // A day past the month's end counts on into the next month.
    const std::chrono::sys_days date = std::chrono::year(static_cast<int>(year)) /
                                       std::chrono::month(static_cast<unsigned>(month)) /
                                       std::chrono::day(static_cast<unsigned>(day));
    const int64_t seconds = static_cast<int64_t>(date.time_since_epoch().count()) * 86400 +
                            static_cast<int64_t>(hour) * 3600 + static_cast<int64_t>(minute) * 60 +
                            static_cast<int64_t>(second);
    const int64_t east = text[21] == '+' ? offset : -offset;
    *micros = (seconds - east * 60) * 1000000 + fraction;
    return true;
}

std::string MicrosToDmtf(int64_t micros) {
    int64_t seconds = micros / 1000000;
    int64_t fraction = micros % 1000000;
    if (fraction < 0) {
        fraction += 1000000;
        seconds -= 1;
    }
    const time_t s = static_cast<time_t>(seconds);
    struct tm t;
    gmtime_r(&s, &t);
    return StringFormat("%04d%02d%02d%02d%02d%02d.%06d+000", t.tm_year + 1900, t.tm_mon + 1,
                        t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, static_cast<int>(fraction));
}
