// Time stamps, path syntax, names, the shared random generator, byte order and
// UTF-16 conversions.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

#include "vaultfs/util/byte_order.h"
#include "vaultfs/util/paths.h"
#include "vaultfs/util/random.h"
#include "vaultfs/storage_time.h"
#include "vaultfs/utf16.h"

namespace vaultfs {
namespace {

// ---------------------------------------------------------------- time stamps

struct DateTime {
  int year, month, day, hour, minute, second, millisecond;
};

TEST(StorageTime, KnownInstants) {
  struct Case {
    DateTime at;
    double expected;
  };
  const Case cases[] = {
      {{1899, 12, 30, 0, 0, 0, 0}, 0.0},
      {{1899, 12, 30, 12, 0, 0, 0}, 0.5},
      {{1899, 12, 29, 18, 0, 0, 0}, -1.0 + 0.75},
      {{1900, 1, 1, 0, 0, 0, 0}, 2.0},
      {{1970, 1, 1, 0, 0, 0, 0}, 25569.0},
      {{2000, 1, 1, 0, 0, 0, 0}, 36526.0},
      {{2000, 2, 29, 6, 0, 0, 0}, 36585.25},
      {{1, 1, 1, 0, 0, 0, 0}, -693593.0},
      {{9999, 12, 31, 0, 0, 0, 0}, 2958465.0},
      {{2000, 1, 1, 23, 59, 59, 999}, 36526.0 + 86399999.0 / 86400000.0},
  };
  for (const Case& c : cases) {
    const DateTime& t = c.at;
    EXPECT_DOUBLE_EQ(
        EncodeDateTime(t.year, t.month, t.day, t.hour, t.minute, t.second, t.millisecond),
        c.expected)
        << t.year << "-" << t.month << "-" << t.day << " " << t.hour << ":" << t.minute;
  }
}

TEST(StorageTime, InvalidDatesAndTimesGiveZero) {
  const int badDates[][3] = {
      {2001, 2, 29}, {1900, 2, 29}, {2100, 2, 29}, {2000, 2, 30}, {2000, 4, 31}, {2000, 1, 32},
      {2000, 0, 1},  {2000, 13, 1}, {2000, 1, 0},  {0, 1, 1},     {10000, 1, 1}, {-4, 2, 29},
  };
  for (const auto& d : badDates) {
    EXPECT_EQ(EncodeDate(d[0], d[1], d[2]), 0.0) << d[0] << "-" << d[1] << "-" << d[2];
  }
  const int leapDays[] = {2000, 2004, 1600, 4, 9996};
  for (const int year : leapDays) EXPECT_NE(EncodeDate(year, 2, 29), 0.0) << year;

  const int badTimes[][4] = {
      {24, 0, 0, 0}, {0, 60, 0, 0}, {0, 0, 60, 0}, {0, 0, 0, 1000},
      {-1, 0, 0, 0}, {0, -1, 0, 0}, {0, 0, -1, 0}, {0, 0, 0, -1},
  };
  for (const auto& t : badTimes) {
    EXPECT_EQ(EncodeTime(t[0], t[1], t[2], t[3]), 0.0)
        << t[0] << ":" << t[1] << ":" << t[2] << "." << t[3];
  }
}

// Walks the whole calendar: every valid date must be the day after the one
// before it and decode back to itself, and every day past a month's end must
// be refused. This pins month lengths and leap years everywhere.
TEST(StorageTime, EveryDateOfTheCalendarIsConsecutiveAndDecodesBack) {
  double previous = EncodeDate(1, 1, 1) - 1.0;
  int failures = 0;
  for (int year = 1; year <= 9999 && failures < 10; ++year) {
    for (int month = 1; month <= 12; ++month) {
      for (int day = 1; day <= 32; ++day) {
        const double days = EncodeDate(year, month, day);
        if (days == 0.0 && !(year == 1899 && month == 12 && day == 30)) {
          // Past the month's end: the next valid date must follow on.
          if (day < 28) {
            ++failures;
            ADD_FAILURE() << year << "-" << month << "-" << day << " refused";
          }
          continue;
        }
        if (days != previous + 1.0) {
          ++failures;
          ADD_FAILURE() << year << "-" << month << "-" << day << " gives " << days;
        }
        previous = days;
        int y = 0, m = 0, d = 0, h = -1, mi = -1, s = -1, ms = -1;
        ASSERT_TRUE(DecodeDateTime(days, y, m, d, h, mi, s, ms));
        if (y != year || m != month || d != day || h != 0 || mi != 0 || s != 0 || ms != 0) {
          ++failures;
          ADD_FAILURE() << year << "-" << month << "-" << day << " decodes as " << y << "-" << m
                        << "-" << d;
        }
      }
    }
  }
  EXPECT_EQ(previous, EncodeDate(9999, 12, 31));
}

TEST(StorageTime, DecodeRestoresEveryFieldToTheMillisecond) {
  const DateTime cases[] = {
      {1899, 12, 30, 12, 0, 0, 0},     {1899, 12, 29, 6, 0, 0, 0},
      {1, 1, 1, 0, 0, 0, 0},           {1, 1, 1, 23, 59, 59, 999},
      {9999, 12, 31, 23, 59, 59, 999}, {2024, 3, 15, 10, 20, 30, 400},
      {1970, 1, 1, 0, 0, 0, 1},        {2000, 2, 29, 13, 7, 5, 3},
      {1600, 3, 1, 0, 0, 0, 999},      {1850, 7, 4, 17, 45, 12, 500},
  };
  for (const DateTime& t : cases) {
    const StorageTime stamp =
        EncodeDateTime(t.year, t.month, t.day, t.hour, t.minute, t.second, t.millisecond);
    DateTime back{};
    ASSERT_TRUE(DecodeDateTime(stamp, back.year, back.month, back.day, back.hour, back.minute,
                               back.second, back.millisecond))
        << stamp;
    EXPECT_EQ(std::tie(back.year, back.month, back.day, back.hour, back.minute, back.second,
                       back.millisecond),
              std::tie(t.year, t.month, t.day, t.hour, t.minute, t.second, t.millisecond))
        << "stamp " << stamp;
  }
  // Every millisecond of a few seconds, and every second of one day.
  const double day = EncodeDate(2023, 6, 30);
  for (int ms = 0; ms < 3000; ++ms) {
    int y = 0, m = 0, d = 0, h = 0, mi = 0, s = 0, msBack = 0;
    ASSERT_TRUE(DecodeDateTime(day + EncodeTime(23, 59, 57 + ms / 1000, ms % 1000), y, m, d, h, mi,
                               s, msBack));
    ASSERT_EQ(std::tie(d, h, mi, s, msBack),
              std::make_tuple(30, 23, 59, 57 + ms / 1000, ms % 1000));
  }
  for (int second = 0; second < 86400; ++second) {
    int y = 0, m = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0;
    ASSERT_TRUE(DecodeDateTime(day + EncodeTime(second / 3600, second / 60 % 60, second % 60, 0), y,
                               m, d, h, mi, s, ms));
    ASSERT_EQ(h * 3600 + mi * 60 + s, second);
    ASSERT_EQ(std::tie(d, ms), std::make_tuple(30, 0));
  }
}

// Time stamps come from files that may be damaged: any double must be handled.
TEST(StorageTime, GarbageStampsAreRefused) {
  const double garbage[] = {
      std::numeric_limits<double>::quiet_NaN(),
      -std::numeric_limits<double>::quiet_NaN(),
      std::numeric_limits<double>::infinity(),
      -std::numeric_limits<double>::infinity(),
      std::numeric_limits<double>::max(),
      std::numeric_limits<double>::lowest(),
      1e300,
      -693594.0,                                     // 0000-12-31
      -693593.5,                                     // noon of 0000-12-31
      2958466.0,                                     // 10000-01-01
      std::nextafter(2958466.0, 0.0),                // rounds up into the year 10000
      std::bit_cast<double>(0x7FF0000000000001ull),  // signalling NaN
  };
  for (const double value : garbage) {
    int y = 7, m = 7, d = 7, h = 7, mi = 7, s = 7, ms = 7;
    EXPECT_FALSE(DecodeDateTime(value, y, m, d, h, mi, s, ms)) << value;
    EXPECT_EQ(std::tie(y, m, d, h, mi, s, ms), std::make_tuple(7, 7, 7, 7, 7, 7, 7));
    EXPECT_EQ(FormatStorageTime(value), "(invalid)") << value;
  }
  EXPECT_EQ(FormatStorageTime(std::numeric_limits<double>::denorm_min()),
            "1899-12-30 00:00:00.000 UTC");
}

TEST(StorageTime, FormatsAsIsoText) {
  EXPECT_EQ(FormatStorageTime(0.5), "1899-12-30 12:00:00.000 UTC");
  EXPECT_EQ(FormatStorageTime(EncodeDateTime(2024, 3, 15, 10, 20, 30, 400)),
            "2024-03-15 10:20:30.400 UTC");
  EXPECT_EQ(FormatStorageTime(EncodeDateTime(1, 1, 1, 0, 0, 0, 0)), "0001-01-01 00:00:00.000 UTC");
  EXPECT_EQ(FormatStorageTime(EncodeDateTime(9999, 12, 31, 23, 59, 59, 999)),
            "9999-12-31 23:59:59.999 UTC");
}

TEST(StorageTime, NowFollowsTheSystemClockInUtc) {
  const std::time_t before = std::time(nullptr);
  const StorageTime now = Now();
  const std::time_t after = std::time(nullptr);
  EXPECT_GE(now, 25569.0 + static_cast<double>(before) / 86400.0 - 0.001 / 86400.0);
  EXPECT_LE(now, 25569.0 + static_cast<double>(after + 1) / 86400.0);

  UtcClockReading reading;
  ASSERT_TRUE(ReadUtcClock(reading));
  const double days = EncodeDate(reading.Year, reading.Month, reading.Day);
  ASSERT_NE(days, 0.0);
  // 1899-12-30 was a Saturday; the week counts from Sunday = 0.
  EXPECT_EQ(reading.DayOfWeek, static_cast<int>(static_cast<std::int64_t>(days + 6) % 7));
  EXPECT_TRUE(reading.Second >= 0 && reading.Second <= 59) << reading.Second;
  EXPECT_TRUE(reading.Millisecond >= 0 && reading.Millisecond <= 999) << reading.Millisecond;
}

// ---------------------------------------------------------------- paths

TEST(Paths, SeparatorsAreTheVolumeSeparatorAndSlashBackslashColon) {
  struct Case {
    char16_t c;
    char16_t pathSeparator;
    bool expected;
  };
  const Case cases[] = {
      {u'/', u'/', true},  {u'\\', u'/', true}, {u':', u'/', true},  {u'#', u'#', true},
      {u'/', u'#', true},  {u'#', u'/', false}, {u'a', u'/', false}, {u'.', u'/', false},
      {u'|', u'/', false}, {0, u'/', false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsSeparator(c.c, c.pathSeparator), c.expected)
        << static_cast<int>(c.c) << " with " << static_cast<int>(c.pathSeparator);
  }
}

std::string Narrow(std::u16string_view text) {
  return Utf16ToUtf8(text);
}

TEST(Paths, NextComponentSplitsAPath) {
  struct Case {
    std::u16string_view path;
    char16_t pathSeparator;
    std::vector<std::u16string_view> components;  // "" stands for none
  };
  const Case cases[] = {
      {u"/a//b/", u'/', {u"a", u"b"}},
      {u"/", u'/', {u""}},
      {u"", u'/', {u""}},
      {u"//", u'/', {u""}},
      {u"a:b", u'/', {u"a", u"b"}},
      {u"\\a\\b", u'/', {u"a", u"b"}},
      {u"#a#b#", u'#', {u"a", u"b"}},
      {u"a#b", u'/', {u"a#b"}},
      {u"name.txt", u'/', {u"name.txt"}},
      {u"/a/b\\c:d", u'\\', {u"a", u"b", u"c", u"d"}},
      // A run of separators counts as one at the start too; an empty
      // component would otherwise stand for the root in the middle of a path.
      {u"//a", u'/', {u"a"}},
      {u":a", u'/', {u"a"}},
      {u"/:\\a/", u'/', {u"a"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.path));
    std::vector<std::u16string_view> seen;
    std::size_t position = 0;
    bool last = false;
    while (!last && seen.size() < 10) {
      std::u16string_view component = u"stale";
      last = NextComponent(c.path, position, c.pathSeparator, component);
      seen.push_back(component);
      if (!component.empty()) {
        // The component is a view into the path, not a copy.
        EXPECT_GE(component.data(), c.path.data());
        EXPECT_LE(component.data() + component.size(), c.path.data() + c.path.size());
      }
    }
    EXPECT_EQ(seen, c.components);
    EXPECT_EQ(position, c.path.size());
  }
}

TEST(Paths, NextComponentPastTheEndIsLastWithNone) {
  std::size_t position = 10;
  std::u16string_view component = u"stale";
  EXPECT_TRUE(NextComponent(u"/a", position, u'/', component));
  EXPECT_TRUE(component.empty());
  EXPECT_EQ(position, 2u);
}

TEST(Paths, JoinLinkPath) {
  struct Case {
    std::u16string_view base, target, rest;
    char16_t pathSeparator;
    EngineResult expectedResult;
    std::u16string_view expected;
  };
  const Case cases[] = {
      {u"/a/b/", u"../c", u"/d", u'/', errOk, u"/a/c/d"},
      {u"/a/b/", u"..", u"/e", u'/', errOk, u"/a/e"},
      {u"/a/b/", u"c/../d", u"/e", u'/', errOk, u"/a/b/d/e"},
      {u"/a/b/", u"./c", u"", u'/', errOk, u"/a/b/c"},
      {u"/a/b/", u"c/", u"", u'/', errOk, u"/a/b/c/"},
      {u"/a/b/", u"c/", u"/d", u'/', errOk, u"/a/b/c/d"},
      {u"/a/b/", u"../", u"\\d", u'/', errOk, u"/a\\d"},
      {u"/a/b/", u"c", u"", u'/', errOk, u"/a/b/c"},
      {u"/a/b/", u"../../c", u"", u'/', errOk, u"/c"},
      // Absolute targets replace the base; their leading separators collapse.
      {u"/a/b/", u"/x", u"/d", u'/', errOk, u"/x/d"},
      {u"/a/b/", u"//x/y", u"", u'/', errOk, u"/x/y"},
      {u"/a/b/", u"\\x", u"", u'\\', errOk, u"\\x"},
      {u"/a/b/", u"/", u"", u'/', errOk, u"/"},
      {u"/a/b/", u"/", u"/d", u'/', errOk, u"/d"},
      {u"/a/", u"/x/..", u"", u'/', errOk, u"/"},
      // Only "." and ".." are special; names made of dots otherwise are names.
      {u"/a/", u".x", u"/y", u'/', errOk, u"/a/.x/y"},
      {u"/a/", u"x.", u"", u'/', errOk, u"/a/x."},
      {u"/a/", u"...", u"", u'/', errOk, u"/a/..."},
      {u"/a/", u"..x/.y", u"", u'/', errOk, u"/a/..x/.y"},
      // The volume separator joins appended components; any separator splits.
      {u"\\a\\b\\", u"..\\c", u"\\d", u'\\', errOk, u"\\a\\c\\d"},
      {u"/a:b/", u"..:c", u"", u'/', errOk, u"/a:c"},
      {u"/a/", u"c/d", u"", u'\\', errOk, u"/a/c\\d"},
      // A base without its closing separator still gets one before a name.
      {u"/a/b", u"c", u"", u'/', errOk, u"/a/b/c"},
      {u"/a/", u"c", u"d", u'/', errOk, u"/a/c/d"},
      // Climbing above the root, empty components, and empty targets fail.
      {u"/", u"..", u"", u'/', errLinkTargetNotFound, u""},
      {u"/a/", u"../..", u"", u'/', errLinkTargetNotFound, u""},
      {u"/a/b/", u"/..", u"/d", u'/', errLinkTargetNotFound, u""},
      {u"/a/b/", u"a//b", u"", u'/', errLinkTargetNotFound, u""},
      {u"/a/b/", u"a/:b", u"", u'/', errLinkTargetNotFound, u""},
      {u"/a/b/", u"", u"/d", u'/', errLinkTargetNotFound, u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.base) + " + " + Narrow(c.target) + " + " + Narrow(c.rest));
    std::u16string result = u"untouched";
    EXPECT_EQ(JoinLinkPath(c.pathSeparator, c.base, c.target, c.rest, result), c.expectedResult);
    if (c.expectedResult == errOk) {
      EXPECT_EQ(Narrow(result), Narrow(c.expected));
    } else {
      EXPECT_EQ(result, u"untouched");
    }
  }
}

TEST(Paths, ValidNames) {
  struct Case {
    std::u16string_view name;
    bool valid;
  };
  const Case cases[] = {
      {u"report.txt", true}, {u"", true},       {u" ", true},
      {u".", true},          {u"..", true},     {u"\u540d\u524d", true},
      {u"\x7F", true},       {u"\xFFFF", true}, {u"a\"b", true},
      {u"a\tb", false},      {u"what?", false}, {u"a/b", false},
      {u"a\\b", false},      {u"a*", false},    {u"c:", false},
      {u"<", false},         {u">", false},     {u"a|b", false},
      {u"\x1F", false},      {u"\x01", false},  {std::u16string_view(u"a\0b", 3), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsValidName(c.name), c.valid) << Narrow(c.name);
  }
}

// ---------------------------------------------------------------- random values

TEST(Random, RandomIdPacksThreeDrawsInOrder) {
  for (const std::uint32_t seed : {0u, 1u, 0xDEADBEEFu, 0xFFFFFFFFu}) {
    Reseed(seed);
    const std::uint32_t high = Random15();
    const std::uint32_t middle = Random15();
    const std::uint32_t low = Random15();
    Reseed(seed);
    const std::uint32_t id = RandomId();
    EXPECT_EQ(id >> 17, high) << seed;
    EXPECT_EQ((id >> 2) & 0x7FFF, middle) << seed;
    EXPECT_EQ(id & 3, low & 3) << seed;
  }
}

TEST(Random, ReseedRepeatsTheSequenceAndSeedsDiffer) {
  const auto draw = [](std::uint32_t seed) {
    Reseed(seed);
    std::vector<std::uint32_t> values(64);
    for (auto& value : values) value = Random15();
    return values;
  };
  EXPECT_EQ(draw(42), draw(42));
  EXPECT_NE(draw(42), draw(43));
  EXPECT_NE(draw(0), draw(0x10000));
}

TEST(Random, DrawsAreFifteenBitsAndEvenlySpread) {
  Reseed(12345);
  constexpr int kDraws = 1 << 18;
  std::array<int, 16> buckets{};  // by the top four bits
  std::array<int, 15> bitSet{};
  for (int i = 0; i < kDraws; ++i) {
    const std::uint32_t value = Random15();
    ASSERT_LT(value, 32768u);
    ++buckets[value >> 11];
    for (int bit = 0; bit < 15; ++bit) bitSet[bit] += (value >> bit) & 1;
  }
  for (const int count : buckets) EXPECT_NEAR(count, kDraws / 16, kDraws / 160);
  for (const int count : bitSet) EXPECT_NEAR(count, kDraws / 2, kDraws / 50);
}

// Concurrent callers must see the same values a single caller would, each
// RandomId taking its three draws together.
TEST(Random, ConcurrentCallersShareOneSequence) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 2000;
  Reseed(777);
  std::vector<std::uint32_t> expected(kThreads * kPerThread);
  for (auto& value : expected) value = RandomId();

  Reseed(777);
  std::vector<std::vector<std::uint32_t>> drawn(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&drawn, t] {
      for (int i = 0; i < kPerThread; ++i) drawn[t].push_back(RandomId());
    });
  }
  for (auto& thread : threads) thread.join();
  std::vector<std::uint32_t> all;
  for (const auto& part : drawn) all.insert(all.end(), part.begin(), part.end());
  std::sort(all.begin(), all.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(all, expected);
}

TEST(Random, ReseedValueMixesTheClockIntoTheIdentity) {
  struct Case {
    std::uint32_t identity;
    UtcClockReading reading;
    std::uint32_t expected;
  };
  const Case cases[] = {
      {0, {2024, 3, 15, 5, 10, 20, 30, 400}, 0x081501B6u},
      {0x12345678u, {2024, 3, 15, 5, 10, 20, 30, 400}, 0x1A2157CEu},
      {0xFFFFFFFFu, {9999, 12, 31, 5, 23, 59, 59, 999}, 0xD899FBB2u},
      {0xABCD0000u, {}, 0xABCD0000u},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReseedValue(c.identity, c.reading), c.expected) << std::hex << c.identity;
  }
}

// ---------------------------------------------------------------- byte order

TEST(ByteOrder, SwapsReverseTheBytes) {
  EXPECT_EQ(Swap16(0x1234), 0x3412);
  EXPECT_EQ(Swap32(0x12345678u), 0x78563412u);
  EXPECT_EQ(Swap64(0x0102030405060708ull), 0x0807060504030201ull);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(SwapDouble(1.0)), 0x000000000000F03Full);

  const std::uint64_t patterns[] = {
      0,
      0x8000000000000000ull,
      0x0123456789ABCDEFull,
      0xFFFFFFFFFFFFFFFFull,
      0x010000000000F07Full,  // swaps into a signalling NaN
      0x7FF0000000000001ull,  // a signalling NaN itself
      0x7FF8000000000000ull,
      std::bit_cast<std::uint64_t>(36526.5),
  };
  for (const std::uint64_t bits : patterns) {
    const double value = std::bit_cast<double>(bits);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(SwapDouble(value)), Swap64(bits)) << std::hex << bits;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(SwapDouble(SwapDouble(value))), bits)
        << std::hex << bits;
    EXPECT_EQ(Swap64(Swap64(bits)), bits);
    EXPECT_EQ(Swap32(Swap32(static_cast<std::uint32_t>(bits))), static_cast<std::uint32_t>(bits));
    EXPECT_EQ(Swap16(Swap16(static_cast<std::uint16_t>(bits))), static_cast<std::uint16_t>(bits));
  }
}

// Fields sit at any offset of a page; loads and stores must neither need
// alignment nor touch the neighbouring bytes.
TEST(ByteOrder, LoadStoreAndSwapInPlaceAtAnyOffset) {
  for (std::size_t offset = 0; offset < 8; ++offset) {
    SCOPED_TRACE(offset);
    std::array<std::uint8_t, 24> page;
    page.fill(0xEE);
    std::uint8_t* p = page.data() + offset;

    StoreU16(p, 0x1122);
    EXPECT_EQ(LoadU16(p), 0x1122);
    SwapU16At(p);
    EXPECT_EQ(LoadU16(p), 0x2211);
    StoreU32(p, 0x11223344u);
    EXPECT_EQ(LoadU32(p), 0x11223344u);
    SwapU32At(p);
    EXPECT_EQ(LoadU32(p), 0x44332211u);
    StoreU64(p, 0x1122334455667788ull);
    EXPECT_EQ(LoadU64(p), 0x1122334455667788ull);
    std::uint8_t hostBytes[8];
    const std::uint64_t expected = 0x1122334455667788ull;
    std::memcpy(hostBytes, &expected, 8);
    EXPECT_EQ(std::memcmp(p, hostBytes, 8), 0) << "stored in host order";
    SwapU64At(p);
    EXPECT_EQ(LoadU64(p), 0x8877665544332211ull);
    StoreDouble(p, -2.5);
    EXPECT_EQ(LoadDouble(p), -2.5);

    for (std::size_t i = 0; i < page.size(); ++i) {
      if (i < offset || i >= offset + 8) {
        EXPECT_EQ(page[i], 0xEE) << "byte " << i;
      }
    }
  }
}

// ---------------------------------------------------------------- UTF-16

TEST(Utf16, LengthAndBoundedCopy) {
  EXPECT_EQ(StrLen16(u""), 0u);
  EXPECT_EQ(StrLen16(u"abc"), 3u);
  EXPECT_EQ(StrLen16(u"ab\0cd"), 2u);

  struct Case {
    std::u16string_view source;  // terminator included where it counts
    std::size_t count;
    std::size_t copied;
  };
  const Case cases[] = {
      {std::u16string_view(u"abc\0xyz", 8), 8, 4},  // stops after the terminator
      {std::u16string_view(u"abc\0", 4), 3, 3},     // no room: no terminator added
      {std::u16string_view(u"abc\0", 4), 4, 4},
      {std::u16string_view(u"\0abc", 4), 4, 1},
      {std::u16string_view(u"abc", 3), 0, 0},
      {std::u16string_view(u"abcdef", 6), 6, 6},  // no terminator in the source at all
  };
  for (const Case& c : cases) {
    std::array<char16_t, 12> destination;
    destination.fill(u'#');
    EXPECT_EQ(CopyBounded16(destination.data(), c.source.data(), c.count), c.copied);
    EXPECT_EQ(std::u16string_view(destination.data(), c.copied), c.source.substr(0, c.copied));
    for (std::size_t i = c.copied; i < destination.size(); ++i) {
      EXPECT_EQ(destination[i], u'#') << "padded at " << i;
    }
  }
}

std::u16string Units(std::initializer_list<char16_t> units) {
  return std::u16string(units);
}

// Rows hold in both directions.
TEST(Utf16, ConversionTable) {
  struct Case {
    std::string_view bytes;
    std::u16string units;
  };
  const Case cases[] = {
      {"", u""},
      {"abc", u"abc"},
      {std::string_view("a\0b", 3), std::u16string(u"a\0b", 3)},
      {"\x7F", u"\x7F"},
      {"\xC2\x80", u"\x80"},
      {"\xC3\xA9", u"\xE9"},
      {"\xDF\xBF", u"\x7FF"},
      {"\xE0\xA0\x80", u"\x800"},
      {"\xE2\x82\xAC", u"\x20AC"},
      {"\xEF\xBF\xBF", u"\xFFFF"},
      {"\xF0\x9F\x98\x80", Units({0xD83D, 0xDE00})},
      {"\xF4\x8F\xBF\xBF", Units({0xDBFF, 0xDFFF})},
      // Bytes that are not valid UTF-8 become U+DC80 + (byte - 0x80).
      {"\x80", Units({0xDC80})},
      {"\xFF", Units({0xDCFF})},
      {"\xC3", Units({0xDCC3})},
      {"a\xC3", Units({u'a', 0xDCC3})},
      {"\xE2\x82", Units({0xDCE2, 0xDC82})},
      {"\xC0\xAF", Units({0xDCC0, 0xDCAF})},                          // overlong
      {"\xE0\x80\xAF", Units({0xDCE0, 0xDC80, 0xDCAF})},              // overlong
      {"\xF0\x8F\xBF\xBF", Units({0xDCF0, 0xDC8F, 0xDCBF, 0xDCBF})},  // overlong
      {"\xF4\x90\x80\x80", Units({0xDCF4, 0xDC90, 0xDC80, 0xDC80})},  // beyond U+10FFFF
      {"\xF5\x80\x80\x80", Units({0xDCF5, 0xDC80, 0xDC80, 0xDC80})},
      // Lone surrogates travel in their three-byte form...
      {"\xED\xA0\x80", Units({0xD800})},
      {"\xED\xAF\xBF", Units({0xDBFF})},
      {"\xED\xB0\x80", Units({0xDC00})},
      {"\xED\xBF\xBF", Units({0xDFFF})},
      {"\xED\xA0\x80"
       "a",
       Units({0xD800, u'a'})},
      {"\xED\xB0\x80\xED\xA0\x80", Units({0xDC00, 0xD800})},
      {"\xED\xA0\x80\xED\xA0\x81", Units({0xD800, 0xD801})},
      {"\xED\xA0\x80\xF0\x9F\x98\x80", Units({0xD800, 0xD83D, 0xDE00})},
      {"\xF0\x9F\x98\x80\xED\xB0\x80", Units({0xD83D, 0xDE00, 0xDC00})},
      // ...except where they would pair up with what follows, or stand for
      // an escaped byte: then they are bytes like any other.
      {"\xED\xB2\x80", Units({0xDCED, 0xDCB2, 0xDC80})},
      {"\xED\xA0\x80\xED\xB0\x80", Units({0xDCED, 0xDCA0, 0xDC80, 0xDC00})},
      {"\xED\xA0\x80\x80", Units({0xDCED, 0xDCA0, 0xDC80, 0xDC80})},
      {"\xED\xA0\x80\xED\xA0\x81\xFF",
       Units({0xDCED, 0xDCA0, 0xDC80, 0xDCED, 0xDCA0, 0xDC81, 0xDCFF})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.bytes)));
    EXPECT_EQ(Utf8ToUtf16(c.bytes), c.units);
    EXPECT_EQ(Utf16ToUtf8(c.units), c.bytes);
  }
}

void ExpectBytesRoundTrip(const std::string& bytes) {
  const std::string back = Utf16ToUtf8(Utf8ToUtf16(bytes));
  if (back != bytes)
    ADD_FAILURE() << testing::PrintToString(bytes) << " came back as "
                  << testing::PrintToString(back);
}

TEST(Utf16, EveryByteStringOfUpToTwoBytesRoundTrips) {
  for (int b = 0; b < 256; ++b) {
    const std::string one(1, static_cast<char>(b));
    const std::u16string units = Utf8ToUtf16(one);
    ASSERT_EQ(units.size(), 1u) << b;
    EXPECT_EQ(units[0], b < 0x80 ? b : 0xDC80 + (b - 0x80)) << b;
    EXPECT_EQ(Utf16ToUtf8(units), one) << b;
  }
  for (int pair = 0; pair < 65536; ++pair) {
    ExpectBytesRoundTrip({static_cast<char>(pair >> 8), static_cast<char>(pair & 0xFF)});
  }
}

// Exhaustive over the bytes that decide how UTF-8 is read, up to four long,
// then random strings built from pieces that interact: whole sequences,
// three-byte surrogates and stray bytes.
TEST(Utf16, ArbitraryByteStringsRoundTrip) {
  const std::uint8_t alphabet[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0,
                                   0xAF, 0xB0, 0xB2, 0xBF, 0xC0, 0xC2, 0xDF, 0xE0,
                                   0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
  constexpr std::size_t kSize = sizeof alphabet;
  std::string bytes;
  for (std::size_t length = 3; length <= 4; ++length) {
    std::size_t combinations = 1;
    for (std::size_t i = 0; i < length; ++i) combinations *= kSize;
    for (std::size_t n = 0; n < combinations; ++n) {
      bytes.clear();
      for (std::size_t i = 0, rest = n; i < length; ++i, rest /= kSize) {
        bytes.push_back(static_cast<char>(alphabet[rest % kSize]));
      }
      ExpectBytesRoundTrip(bytes);
    }
  }

  const std::string_view pieces[] = {"\xED\xA0\x80", "\xED\xAF\xBF", "\xED\xB0\x80",
                                     "\xED\xB2\x80", "\xED\xBF\xBF", "\xF0\x9F\x98\x80",
                                     "\xC3\xA9",     "\xE2\x82\xAC", "a",
                                     "\x80",         "\xFF",         "\xED",
                                     "\xC3",         "\xF0\x9F"};
  for (const std::uint32_t seed : {1u, 2u, 3u, 4u}) {
    SCOPED_TRACE(seed);
    std::mt19937 generator(seed);
    std::uniform_int_distribution<std::size_t> pick(0, std::size(pieces) - 1);
    for (int round = 0; round < 5000; ++round) {
      bytes.clear();
      const std::size_t count = 1 + round % 12;
      for (std::size_t i = 0; i < count; ++i) bytes += pieces[pick(generator)];
      ExpectBytesRoundTrip(bytes);
    }
  }
}

// Names made in the container come back from disk unchanged, lone surrogates
// included; only U+DC80..U+DCFF stand for raw bytes and are left out here.
TEST(Utf16, TextWithoutEscapedBytesRoundTrips) {
  const char16_t interesting[] = {u'a',   0x00,   0x7F,   0x80,   0x7FF,  0x800,
                                  0xD7FF, 0xD800, 0xDB7F, 0xDBFF, 0xDC00, 0xDC7F,
                                  0xDD00, 0xDFFF, 0xE000, 0xFFFD, 0xFFFF};
  for (const std::uint32_t seed : {11u, 12u, 13u, 14u}) {
    SCOPED_TRACE(seed);
    std::mt19937 generator(seed);
    std::uniform_int_distribution<std::size_t> pick(0, std::size(interesting));
    std::uniform_int_distribution<int> any(0, 0xFFFF);
    for (int round = 0; round < 5000; ++round) {
      std::u16string text;
      const std::size_t count = 1 + round % 10;
      while (text.size() < count) {
        const std::size_t choice = pick(generator);
        const char16_t unit = choice < std::size(interesting)
                                  ? interesting[choice]
                                  : static_cast<char16_t>(any(generator));
        if (unit >= 0xDC80 && unit <= 0xDCFF) continue;
        text.push_back(unit);
      }
      const std::u16string back = Utf8ToUtf16(Utf16ToUtf8(text));
      if (back != text) {
        ADD_FAILURE() << testing::PrintToString(Utf16ToUtf8(text));
        break;
      }
    }
  }
}

}  // namespace
}  // namespace vaultfs
