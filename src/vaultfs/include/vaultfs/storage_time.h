// Time stamps stored in a container: days since 1899-12-30 00:00 UTC as a
// double, the integer part counting days and the fraction the time of day
// (0.5 is noon). The engine always works in UTC; callers convert to local time.
#pragma once

#include <string>

namespace vaultfs {

using StorageTime = double;

// The system clock read as UTC calendar fields. DayOfWeek counts from
// Sunday = 0; Millisecond is 0..999.
struct UtcClockReading {
  int Year = 0;
  int Month = 0;
  int Day = 0;
  int DayOfWeek = 0;
  int Hour = 0;
  int Minute = 0;
  int Second = 0;
  int Millisecond = 0;
};

// Reads the real-time clock as UTC. False only when the system cannot report
// the time (the reading is then left zeroed).
[[nodiscard]] bool ReadUtcClock(UtcClockReading& reading);

// The current time, UTC, to the millisecond. 0 when the clock cannot be read
// or lies outside the years 1..9999.
StorageTime Now();

// Days from 1899-12-30 to the given Gregorian date (negative before it).
// Valid for years 1..9999 with a real month and day; anything else gives 0.
double EncodeDate(int year, int month, int day);

// The fraction of a day for the given time of day; 0 when any field is out of
// range (negative, hour >= 24, minute or second >= 60, millisecond >= 1000).
double EncodeTime(int hour, int minute, int second, int millisecond);

// EncodeDate + EncodeTime. An invalid part contributes 0.
StorageTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                           int millisecond);

// The inverse of EncodeDateTime, rounded to the nearest millisecond. Values
// read from a container may be anything, so NaN, infinities and times outside
// the years 1..9999 give false and leave the outputs unchanged.
[[nodiscard]] bool DecodeDateTime(StorageTime time, int& year, int& month, int& day, int& hour,
                                  int& minute, int& second, int& millisecond);

// "YYYY-MM-DD HH:MM:SS.mmm UTC", or "(invalid)" for a value DecodeDateTime refuses.
std::string FormatStorageTime(StorageTime time);

}  // namespace vaultfs
