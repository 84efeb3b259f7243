#include "vaultfs/storage_time.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>

namespace vaultfs {
namespace {

constexpr std::int64_t kMillisecondsPerDay = 86'400'000;

// EncodeDate's day number of 1970-01-01, the epoch of the system clock.
constexpr std::int64_t kUnixEpochDay = 25'569;

// Day numbers of 0001-01-01 and of the day after 9999-12-31: the range in
// which a time stamp names a real calendar date.
constexpr double kFirstDay = -693'593.0;
constexpr double kEndDay = 2'958'466.0;

constexpr int kDaysBeforeMonth[2][13] = {
    {0, 0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334},
    {0, 0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335},
};
constexpr int kMonthLength[2][13] = {
    {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
    {0, 31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
};

bool IsLeapYear(int year) {
  return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

// Calendar date of a count of days since 1970-01-01 (proleptic Gregorian).
void CivilFromDays(std::int64_t days, int& year, int& month, int& day) {
  days += 719'468;
  const std::int64_t era = (days >= 0 ? days : days - 146'096) / 146'097;
  const std::int64_t dayOfEra = days - era * 146'097;
  const std::int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36'524 - dayOfEra / 146'096) / 365;
  const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;  // March = 0
  day = static_cast<int>(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
  month = static_cast<int>(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
  year = static_cast<int>(yearOfEra + era * 400 + (month <= 2 ? 1 : 0));
}

}  // namespace

bool ReadUtcClock(UtcClockReading& reading) {
  reading = UtcClockReading{};
  timespec now{};
  if (clock_gettime(CLOCK_REALTIME, &now) != 0) return false;
  std::tm parts{};
  if (gmtime_r(&now.tv_sec, &parts) == nullptr) return false;
  reading.Year = parts.tm_year + 1900;
  reading.Month = parts.tm_mon + 1;
  reading.Day = parts.tm_mday;
  reading.DayOfWeek = parts.tm_wday;
  reading.Hour = parts.tm_hour;
  reading.Minute = parts.tm_min;
  // A leap second is reported as second 60; keep it inside the valid range
  // rather than letting EncodeTime drop the whole time of day.
  reading.Second = parts.tm_sec > 59 ? 59 : parts.tm_sec;
  reading.Millisecond = static_cast<int>(now.tv_nsec / 1'000'000);
  return true;
}

StorageTime Now() {
  UtcClockReading reading;
  if (!ReadUtcClock(reading)) return 0.0;
  return EncodeDateTime(reading.Year, reading.Month, reading.Day, reading.Hour, reading.Minute,
                        reading.Second, reading.Millisecond);
}

double EncodeDate(int year, int month, int day) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return 0.0;
  const int leap = IsLeapYear(year) ? 1 : 0;
  if (day > kMonthLength[leap][month]) return 0.0;
  const std::int64_t previousYear = year - 1;
  const std::int64_t dayOfYear = day + kDaysBeforeMonth[leap][month];
  const std::int64_t days = previousYear * 365 + previousYear / 4 - previousYear / 100 +
                            previousYear / 400 + dayOfYear - 693'594;
  return static_cast<double>(days);
}

double EncodeTime(int hour, int minute, int second, int millisecond) {
  if (hour < 0 || hour >= 24 || minute < 0 || minute >= 60 || second < 0 || second >= 60 ||
      millisecond < 0 || millisecond >= 1000) {
    return 0.0;
  }
  const std::int64_t milliseconds =
      hour * 3'600'000LL + minute * 60'000LL + second * 1000LL + millisecond;
  return static_cast<double>(milliseconds) / static_cast<double>(kMillisecondsPerDay);
}

StorageTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                           int millisecond) {
  return EncodeDate(year, month, day) + EncodeTime(hour, minute, second, millisecond);
}

bool DecodeDateTime(StorageTime time, int& year, int& month, int& day, int& hour, int& minute,
                    int& second, int& millisecond) {
  // Written so that NaN fails the test as well.
  if (!(time >= kFirstDay && time < kEndDay)) return false;
  const std::int64_t total = std::llround(time * static_cast<double>(kMillisecondsPerDay));
  std::int64_t dayNumber = total / kMillisecondsPerDay;
  std::int64_t ofDay = total % kMillisecondsPerDay;
  if (ofDay < 0) {  // before 1899-12-30 the fraction still counts forward from midnight
    ofDay += kMillisecondsPerDay;
    --dayNumber;
  }
  // Rounding may carry the last millisecond of 9999-12-31 into the year 10000.
  if (static_cast<double>(dayNumber) >= kEndDay) return false;
  CivilFromDays(dayNumber - kUnixEpochDay, year, month, day);
  hour = static_cast<int>(ofDay / 3'600'000);
  minute = static_cast<int>(ofDay / 60'000 % 60);
  second = static_cast<int>(ofDay / 1000 % 60);
  millisecond = static_cast<int>(ofDay % 1000);
  return true;
}

std::string FormatStorageTime(StorageTime time) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
  if (!DecodeDateTime(time, year, month, day, hour, minute, second, millisecond)) {
    return "(invalid)";
  }
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d UTC", year, month, day, hour,
                minute, second, millisecond);
  return text;
}

}  // namespace vaultfs
