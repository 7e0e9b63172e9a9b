#include "wmi/cim/cimtime.h"

#include <chrono>
#include <cstdio>

namespace wmi::cim {
namespace {

constexpr int64_t kMicrosPerSecond = 1000000;
constexpr int64_t kSecondsPerDay = 86400;

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
}

bool IsLeap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned DaysInMonth(int64_t y, unsigned m) {
    static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

// Reads exactly `n` decimal digits at `pos`.
bool Digits(std::string_view text, size_t pos, size_t n, int64_t& value) {
    if (pos + n > text.size()) {
        return false;
    }
    value = 0;
    for (size_t i = pos; i < pos + n; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    return true;
}

// Combines checked calendar fields into UTC microseconds.
bool Compose(int64_t year, int64_t month, int64_t day, int64_t hour, int64_t minute, int64_t second,
             int64_t micros, int64_t& out) {
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
        day > DaysInMonth(year, static_cast<unsigned>(month)) || hour > 23 || minute > 59 ||
        second > 59 || micros > 999999) {
        return false;
    }
    const int64_t days =
        DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
    out =
        ((days * kSecondsPerDay) + hour * 3600 + minute * 60 + second) * kMicrosPerSecond + micros;
    return true;
}

// "YYYYMMDDhhmmss" at the start of `text`, into calendar fields.
bool FourteenDigits(std::string_view text, int64_t f[6]) {
    return Digits(text, 0, 4, f[0]) && Digits(text, 4, 2, f[1]) && Digits(text, 6, 2, f[2]) &&
           Digits(text, 8, 2, f[3]) && Digits(text, 10, 2, f[4]) && Digits(text, 12, 2, f[5]);
}

// YYYY-MM-DDThh:mm:ss[.fffffffff][Z|+hh:mm|-hh:mm].
bool ParseIso(std::string_view text, int64_t& microsUtc) {
    int64_t f[6];
    if (text.size() < 19 || !Digits(text, 0, 4, f[0]) || text[4] != '-' ||
        !Digits(text, 5, 2, f[1]) || text[7] != '-' || !Digits(text, 8, 2, f[2]) ||
        (text[10] != 'T' && text[10] != ' ') || !Digits(text, 11, 2, f[3]) || text[13] != ':' ||
        !Digits(text, 14, 2, f[4]) || text[16] != ':' || !Digits(text, 17, 2, f[5])) {
        return false;
    }
    size_t pos = 19;
    int64_t micros = 0;
    if (pos < text.size() && text[pos] == '.') {
        ++pos;
        size_t n = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
            // Digits past the microseconds are dropped.
            if (++n <= 6) micros = micros * 10 + (text[pos] - '0');
            if (n > 9) return false;
            ++pos;
        }
        if (n == 0) {
            return false;
        }
        for (; n < 6; ++n) {
            micros *= 10;
        }
    }
    int64_t offsetMinutes = 0;
    if (pos < text.size() && text[pos] == 'Z') {
        ++pos;
    } else if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        int64_t hours, minutes;
        if (pos + 6 != text.size() || !Digits(text, pos + 1, 2, hours) || text[pos + 3] != ':' ||
            !Digits(text, pos + 4, 2, minutes) || hours > 23 || minutes > 59) {
            return false;
        }
        offsetMinutes = (text[pos] == '+' ? 1 : -1) * (hours * 60 + minutes);
        pos += 6;
    }
    if (pos != text.size()) {
        return false;
    }
    int64_t local;
    if (!Compose(f[0], f[1], f[2], f[3], f[4], f[5], micros, local)) {
        return false;
    }
    microsUtc = local - offsetMinutes * 60 * kMicrosPerSecond;
    return true;
}

// The calendar fields of a UTC time.
struct TimeFields {
    int64_t year;
    unsigned month, day, hour, minute, second, micros;
};

TimeFields Split(int64_t microsUtc) {
    int64_t seconds = microsUtc / kMicrosPerSecond;
    int64_t micros = microsUtc % kMicrosPerSecond;
    if (micros < 0) {
        micros += kMicrosPerSecond;
        --seconds;
    }
    int64_t days = seconds / kSecondsPerDay;
    int64_t secOfDay = seconds % kSecondsPerDay;
    if (secOfDay < 0) {
        secOfDay += kSecondsPerDay;
        --days;
    }
    TimeFields f;
    CivilFromDays(days, f.year, f.month, f.day);
    f.hour = static_cast<unsigned>(secOfDay / 3600);
    f.minute = static_cast<unsigned>(secOfDay / 60 % 60);
    f.second = static_cast<unsigned>(secOfDay % 60);
    f.micros = static_cast<unsigned>(micros);
    return f;
}

// Writes `value` as exactly `width` decimal digits, zero-padded, at `at`
// (value < 10^width).
void PutDigits(char* at, unsigned value, int width) {
    for (int i = width - 1; i >= 0; --i) {
        at[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

}  // namespace

std::string FormatDmtf(int64_t microsUtc) {
    const TimeFields f = Split(microsUtc);
    if (f.year < 0 || f.year > 9999) {
        // Outside four digits: printf's widths (a sign, a fifth digit).
        char buf[64];
        std::snprintf(buf, sizeof buf, "%04lld%02u%02u%02u%02u%02u.%06u+000",
                      static_cast<long long>(f.year), f.month, f.day, f.hour, f.minute, f.second,
                      f.micros);
        return buf;
    }
    // "yyyymmddHHMMSS.mmmmmm+000": every record's two times go through here,
    // so the digits are placed directly rather than by printf.
    std::string out(25, '0');
    char* p = out.data();
    PutDigits(p, static_cast<unsigned>(f.year), 4);
    PutDigits(p + 4, f.month, 2);
    PutDigits(p + 6, f.day, 2);
    PutDigits(p + 8, f.hour, 2);
    PutDigits(p + 10, f.minute, 2);
    PutDigits(p + 12, f.second, 2);
    p[14] = '.';
    PutDigits(p + 15, f.micros, 6);
    p[21] = '+';
    return out;
}

bool ParseDmtf(std::string_view text, int64_t& microsUtc) {
    int64_t f[6];
    int64_t micros, offset;
    if (text.size() != 25 || !FourteenDigits(text, f) || text[14] != '.' ||
        !Digits(text, 15, 6, micros) || (text[21] != '+' && text[21] != '-') ||
        !Digits(text, 22, 3, offset)) {
        return false;
    }
    int64_t local;
    if (!Compose(f[0], f[1], f[2], f[3], f[4], f[5], micros, local)) {
        return false;
    }
    // The text is local time at UTC+offset minutes.
    const int64_t offsetMicros = offset * 60 * kMicrosPerSecond;
    microsUtc = text[21] == '+' ? local - offsetMicros : local + offsetMicros;
    return true;
}

bool ParseRfc3339(std::string_view text, int64_t& microsUtc) { return ParseIso(text, microsUtc); }

std::string FormatRfc3339(int64_t microsUtc) {
    const TimeFields f = Split(microsUtc);
    if (f.year < 0 || f.year > 9999) {
        // A year past four digits (only a corrupt time has one): the
        // expanded form, a sign or a fifth digit before the same fields.
        char buf[64];
        std::snprintf(buf, sizeof buf, "%04lld-%02u-%02uT%02u:%02u:%02u.%06uZ",
                      static_cast<long long>(f.year), f.month, f.day, f.hour, f.minute, f.second,
                      f.micros);
        return buf;
    }
    // "YYYY-MM-DDThh:mm:ss.ffffffZ"
    std::string out = "0000-00-00T00:00:00.000000Z";
    char* p = out.data();
    PutDigits(p, static_cast<unsigned>(f.year), 4);
    PutDigits(p + 5, f.month, 2);
    PutDigits(p + 8, f.day, 2);
    PutDigits(p + 11, f.hour, 2);
    PutDigits(p + 14, f.minute, 2);
    PutDigits(p + 17, f.second, 2);
    PutDigits(p + 20, f.micros, 6);
    return out;
}

int64_t NowMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace wmi::cim
