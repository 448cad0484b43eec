// Calendar times and file times.
//
// A FILETIME counts 100 ns ticks since 1601-01-01 00:00 in the proleptic
// Gregorian calendar. SystemTimeToFileTime accepts exactly what Windows
// accepts: years 1601 to 30827, months 1 to 12, days 1 to the length of the
// month (leap years by the Gregorian rule), hours below 24, minutes and
// seconds below 60, milliseconds below 1000; anything else fails with
// ERROR_INVALID_PARAMETER and leaves the output alone.
//
// LocalFileTimeToFileTime subtracts the zone's current offset from UTC, the
// one in force now and not the one of the date converted, as Windows does;
// the zone is the one TZ names, read afresh on every call.
#include <cstdint>
#include <ctime>

#include "platform/platform.h"

namespace win {

namespace {

constexpr int64_t TicksPerSecond = 10000000;
constexpr int64_t TicksPerMillisecond = 10000;

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
    static const int Days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : Days[month - 1];
}

// Days from 1601-01-01 to the given date (valid, year >= 1601).
int64_t DaysSince1601(int year, int month, int day) {
    int64_t y = year - 1601;
    int64_t days = y * 365 + y / 4 - y / 100 + y / 400;  // 1601 starts a 400-year cycle
    for (int m = 1; m < month; m++) days += DaysInMonth(year, m);
    return days + day - 1;
}

void SplitTicks(uint64_t ticks, FILETIME* out) {
    out->dwLowDateTime = static_cast<DWORD>(ticks);
    out->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
}

}  // namespace

BOOL SystemTimeToFileTime(const SYSTEMTIME* systemTime, FILETIME* fileTime) {
    if (systemTime == nullptr || fileTime == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const SYSTEMTIME& t = *systemTime;
    bool valid = t.wYear >= 1601 && t.wYear <= 30827 && t.wMonth >= 1 && t.wMonth <= 12 && t.wDay >= 1 &&
                 t.wDay <= DaysInMonth(t.wYear, t.wMonth) && t.wHour < 24 && t.wMinute < 60 && t.wSecond < 60 &&
                 t.wMilliseconds < 1000;
    if (!valid) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    int64_t seconds = DaysSince1601(t.wYear, t.wMonth, t.wDay) * 86400 + t.wHour * 3600 + t.wMinute * 60 + t.wSecond;
    SplitTicks(static_cast<uint64_t>(seconds * TicksPerSecond + t.wMilliseconds * TicksPerMillisecond), fileTime);
    return 1;
}

BOOL LocalFileTimeToFileTime(const FILETIME* localFileTime, FILETIME* fileTime) {
    if (localFileTime == nullptr || fileTime == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    tzset();
    time_t now = time(nullptr);
    struct tm local;
    int64_t offsetSeconds = localtime_r(&now, &local) != nullptr ? local.tm_gmtoff : 0;
    uint64_t ticks = (static_cast<uint64_t>(localFileTime->dwHighDateTime) << 32) | localFileTime->dwLowDateTime;
    int64_t shift = offsetSeconds * TicksPerSecond;  // |shift| < 2^50
    // Local times near either end of the range have no UTC counterpart.
    if ((ticks >> 63) != 0 || static_cast<int64_t>(ticks) < shift ||
        (shift < 0 && static_cast<int64_t>(ticks) > INT64_MAX + shift)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    SplitTicks(static_cast<uint64_t>(static_cast<int64_t>(ticks) - shift), fileTime);
    return 1;
}

}  // namespace win
