// The date-time number used throughout the system: days since 1899-12-30, with the time of day
// as the fraction. Message time stamps, segment ages and log lines are all in this encoding.
#pragma once

#include <cstdint>
#include <string>

namespace kestrel {

using TDateTime = double;

// Raise EDateError "Invalid argument to date encode" / "... time encode" on values out of range
// (year 1..9999, month 1..12, day within the month; hour 0..23, minute and second 0..59, ms 0..999).
TDateTime EncodeDate(int year, int month, int day);
TDateTime EncodeTime(int hour, int minute, int second, int msec);
bool TryEncodeDate(int year, int month, int day, TDateTime &result);
bool TryEncodeTime(int hour, int minute, int second, int msec, TDateTime &result);

void DecodeDate(TDateTime value, int &year, int &month, int &day);
void DecodeTime(TDateTime value, int &hour, int &minute, int &second, int &msec);

bool IsLeapYear(int year);
int DaysInMonth(int year, int month);

// Milliseconds since 1970-01-01 00:00 (the Unix epoch) and back, for times kept as numbers (the
// store's columns, the clock); the conversion rounds to the nearest millisecond.
int64_t DateTimeToUnixMs(TDateTime value);
TDateTime UnixMsToDateTime(int64_t ms);
// Unix milliseconds as the local wall-clock time of this machine.
TDateTime UnixMsToLocalDateTime(int64_t ms);

// Local wall-clock time of the clock in force (base/clock.h) in the same encoding.
TDateTime Now();

// "yyyy-mm-ddThh:nn:ss", the ISO 8601 local form used by the command-line tools.
std::string DateTimeToISO(TDateTime value);
// "yyyy-mm-dd hh:nn:ss", the form of the log files.
std::string DateTimeToStr(TDateTime value);

} // namespace kestrel
