#include "base/datetime.h"

#include "base/clock.h"
#include "base/format.h"
#include "base/rtlerrors.h"

#include <cmath>
#include <ctime>

namespace kestrel {

namespace {
constexpr double kMsPerDay = 86400000.0;
// Days from 0001-01-01 to 1899-12-30 in the proleptic Gregorian calendar.
constexpr long kDateDelta = 693594;
// Days from 1899-12-30 to 1970-01-01.
constexpr double kUnixEpochDays = 25569.0;
} // namespace

bool IsLeapYear(int year)
{
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

int DaysInMonth(int year, int month)
{
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12)
        return 0;
    return days[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
}

bool TryEncodeDate(int year, int month, int day, TDateTime &result)
{
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month))
        return false;
    long y = year - 1;
    long days = y * 365 + y / 4 - y / 100 + y / 400;
    for (int m = 1; m < month; ++m)
        days += DaysInMonth(year, m);
    days += day;
    result = static_cast<double>(days - kDateDelta);
    return true;
}

bool TryEncodeTime(int hour, int minute, int second, int msec, TDateTime &result)
{
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || msec < 0 ||
        msec > 999)
        return false;
    result = ((hour * 3600.0 + minute * 60.0 + second) * 1000.0 + msec) / kMsPerDay;
    return true;
}

TDateTime EncodeDate(int year, int month, int day)
{
    TDateTime r;
    if (!TryEncodeDate(year, month, day, r))
        throw EDateError("Invalid argument to date encode");
    return r;
}

TDateTime EncodeTime(int hour, int minute, int second, int msec)
{
    TDateTime r;
    if (!TryEncodeTime(hour, minute, second, msec, r))
        throw EDateError("Invalid argument to time encode");
    return r;
}

namespace {
// Splits a value into whole days and milliseconds of the day, rounding to the nearest millisecond
// so that encode/decode round trips are exact. Negative values (before 1899-12-30) keep the
// runtime's rule: the fraction is the time of day regardless of sign.
void Split(TDateTime value, long long &days, long long &ms)
{
    double whole = std::trunc(value);
    long long total = std::llround(std::fabs(value - whole) * kMsPerDay);
    days = static_cast<long long>(whole);
    if (total >= 86400000) {
        total -= 86400000;
        days += value < 0 ? -1 : 1;
    }
    ms = total;
}
} // namespace

void DecodeDate(TDateTime value, int &year, int &month, int &day)
{
    long long days, ms;
    Split(value, days, ms);
    long long n = days + kDateDelta; // days since 0001-01-01, 1-based
    if (n <= 0) {
        year = month = day = 0;
        return;
    }
    n -= 1;
    long long y400 = n / 146097;
    n %= 146097;
    long long y100 = n / 36524;
    if (y100 == 4)
        y100 = 3;
    n -= y100 * 36524;
    long long y4 = n / 1461;
    n %= 1461;
    long long y1 = n / 365;
    if (y1 == 4)
        y1 = 3;
    n -= y1 * 365;
    year = static_cast<int>(y400 * 400 + y100 * 100 + y4 * 4 + y1 + 1);
    month = 1;
    while (n >= DaysInMonth(year, month)) {
        n -= DaysInMonth(year, month);
        ++month;
    }
    day = static_cast<int>(n + 1);
}

void DecodeTime(TDateTime value, int &hour, int &minute, int &second, int &msec)
{
    long long days, ms;
    Split(value, days, ms);
    hour = static_cast<int>(ms / 3600000);
    minute = static_cast<int>(ms / 60000 % 60);
    second = static_cast<int>(ms / 1000 % 60);
    msec = static_cast<int>(ms % 1000);
}

int64_t DateTimeToUnixMs(TDateTime value)
{
    return std::llround((value - kUnixEpochDays) * kMsPerDay);
}

TDateTime UnixMsToDateTime(int64_t ms)
{
    return static_cast<double>(ms) / kMsPerDay + kUnixEpochDays;
}

TDateTime UnixMsToLocalDateTime(int64_t ms)
{
    // Whole seconds rounded down, so that the milliseconds before 1970 stay 0..999.
    int64_t msOfSecond = ms % 1000;
    if (msOfSecond < 0)
        msOfSecond += 1000;
    const time_t t = static_cast<time_t>((ms - msOfSecond) / 1000);
    tm local;
    localtime_r(&t, &local);
    return EncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday) +
           EncodeTime(local.tm_hour, local.tm_min, local.tm_sec > 59 ? 59 : local.tm_sec,
                      static_cast<int>(msOfSecond));
}

TDateTime Now()
{
    return UnixMsToLocalDateTime(Clock().UnixMs());
}

std::string DateTimeToISO(TDateTime value)
{
    int y, mo, d, h, mi, s, ms;
    DecodeDate(value, y, mo, d);
    DecodeTime(value, h, mi, s, ms);
    return Format("%04d-%02d-%02dT%02d:%02d:%02d", y, mo, d, h, mi, s);
}

std::string DateTimeToStr(TDateTime value)
{
    int y, mo, d, h, mi, s, ms;
    DecodeDate(value, y, mo, d);
    DecodeTime(value, h, mi, s, ms);
    return Format("%04d-%02d-%02d %02d:%02d:%02d", y, mo, d, h, mi, s);
}

} // namespace kestrel
