// Formatting fixed-size volumes: the layout of the boot area, the volume and
// the FAT area; full and quick formats; progress and stopping; formatting an
// existing file; refused arguments; the choice of FAT type and cluster size;
// a fixed-size volume keeping out of the FAT area that follows it; and the
// FAT area checked and used by independent file system tools.
#include "vaultfs/maintenance/format.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "vaultfs/util/byte_order.h"
#include "vaultfs/format/page_layout.h"
#include "support/sample_data.h"
#include "support/volume_fixture.h"
#include "support/structure_check.h"

namespace vaultfs {
namespace {

using namespace layout;
using Bytes = std::vector<std::uint8_t>;
using vaultfs::testing::CheckStructure;

const std::u16string kPath = u"disk.img";
constexpr std::uint64_t k64MB = 67108864;
constexpr std::uint64_t kMB = 1048576;

std::uint16_t Le16(const Bytes& b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}
std::uint32_t Le32(const Bytes& b, std::size_t at) {
  return Le16(b, at) | static_cast<std::uint32_t>(Le16(b, at + 2)) << 16;
}
std::string Text(const Bytes& b, std::size_t at, std::size_t length) {
  return std::string(b.begin() + static_cast<std::ptrdiff_t>(at),
                     b.begin() + static_cast<std::ptrdiff_t>(at + length));
}
Bytes Slice(const Bytes& b, std::uint64_t from, std::uint64_t to) {
  return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from),
               b.begin() + static_cast<std::ptrdiff_t>(to));
}

struct Report {
  std::uint8_t operation;
  std::uint32_t progress;
  std::uint32_t total;
  bool canStop;
};

// Keeps every report; answers Stop at report number `stopAt` (1-based, 0 = never).
struct ProgressLog {
  std::vector<Report> reports;
  std::size_t stopAt = 0;

  ProgressSink Sink() {
    ProgressSink sink;
    sink.UserData = this;
    sink.Callback = [](void* userData, std::uint8_t operation, std::uint32_t progress,
                       std::uint32_t total, bool canStop, bool& stop) {
      auto* log = static_cast<ProgressLog*>(userData);
      log->reports.push_back({operation, progress, total, canStop});
      stop = log->reports.size() == log->stopAt;
    };
    return sink;
  }
};

// The fields a format fills with fresh random values or the time, zeroed so
// that two formats of the same layout compare equal.
Bytes WithoutRandomFields(Bytes file, const FormatLayout& layout, std::uint32_t pageSize) {
  auto clear = [&file](std::uint64_t at, std::size_t length) {
    std::fill_n(file.begin() + static_cast<std::ptrdiff_t>(at), length, 0);
  };
  if (layout.VolumePages != 0) {
    clear(layout.BootAreaSize + pageSize + kVolumeId, 4);
    clear(layout.BootAreaSize + 2 * pageSize + kFirstRecord + kInfoCreated, 24);
  }
  if (layout.FatAreaSize != 0) clear(layout.FatAreaStart() + 39, 4);
  return file;
}

class Format : public testing::HostedVolumeTest {
 protected:

  EngineResult Run(std::uint64_t size, std::uint32_t pageSize, std::uint32_t flags,
                   ProgressLog* log = nullptr, std::u16string_view logo = u"") {
    const ProgressSink sink = log ? log->Sink() : ProgressSink{};
    return FormatVolume(volume_, kPath, size, pageSize, logo, flags, sink);
  }

  FormatLayout Plan(std::uint64_t size, std::uint32_t pageSize, std::uint32_t flags) {
    FormatLayout layout;
    EXPECT_EQ(PlanFormat(size, pageSize, flags, layout), errOk);
    return layout;
  }

  Bytes File() const { return files_.Contents(kPath); }

  // Bytes of the host file outside the volume: the boot area and the FAT area.
  Bytes OutsideTheVolume(const FormatLayout& layout) const {
    const Bytes file = File();
    Bytes outside = Slice(file, 0, layout.BootAreaSize);
    const Bytes fat = Slice(file, layout.FatAreaStart(), file.size());
    outside.insert(outside.end(), fat.begin(), fat.end());
    return outside;
  }
};

TEST_F(Format, SixtyFourMegabytesWithBootAreaAndFatArea) {
  ASSERT_EQ(Run(k64MB, 4096, 0x24, nullptr, u"Disk"), errOk);
  EXPECT_FALSE(volume_.Active);
  EXPECT_EQ(files_.OpenHandleCount(), 0u);
  const Bytes file = File();
  ASSERT_EQ(file.size(), k64MB);

  // Partition table.
  EXPECT_EQ(Slice(file, 0, 3), (Bytes{0xE9, 0xFD, 0xFF}));
  EXPECT_EQ(file[446 + 4], 0x74);
  EXPECT_EQ(Le32(file, 446 + 8), 16u);
  EXPECT_EQ(Le32(file, 446 + 12), 130544u);
  EXPECT_EQ(file[462 + 4], 6);
  EXPECT_EQ(Le32(file, 462 + 8), 130560u);
  EXPECT_EQ(Le32(file, 462 + 12), 512u);
  EXPECT_EQ(Slice(file, 478, 510), Bytes(32, 0));
  EXPECT_EQ(Slice(file, 510, 512), (Bytes{0x55, 0xAA}));
  EXPECT_EQ(Slice(file, 512, 8192), Bytes(8192 - 512, 0));

  // The volume: page 0 at byte 8192, then the fixed-size volume information
  // page recording the volume's extent, then the root directory.
  constexpr std::uint32_t kVolumePages = 16318;
  EXPECT_EQ(Slice(file, 8192, 8198), testing::HostU16s({12, 0x574E, 32}));
  const std::size_t info = 8192 + 4096;
  EXPECT_EQ(LoadU16(file.data() + info + kPageType), VolumeSignature);
  EXPECT_EQ(LoadU32(file.data() + info + kPageNumber), 1u);
  EXPECT_EQ(LoadU16(file.data() + info + kMountedFlag), 0);
  EXPECT_EQ(LoadU16(file.data() + info + kFixedSize), 1);
  EXPECT_EQ(LoadU32(file.data() + info + kMaxPageCount), kVolumePages);
  EXPECT_EQ(LoadU32(file.data() + info + kVolumeFlags), vfTransactionTable);
  EXPECT_EQ(LoadU32(file.data() + info + kLayoutConstant3), 64u);
  EXPECT_NE(LoadU32(file.data() + info + kVolumeId), 0u);
  const std::size_t root = 8192 + 2 * 4096;
  EXPECT_EQ(LoadU16(file.data() + root + kPageType), ObjectHeaderPage);
  EXPECT_EQ(LoadU32(file.data() + root + kOwnerId), 1u);

  // The FAT area: a FAT12 boot sector, the FAT with its media bytes, and a
  // 256-entry root directory.
  const std::size_t fat = 66846720;
  EXPECT_EQ(Slice(file, fat, fat + 3), (Bytes{0xEB, 0xFE, 0x90}));
  EXPECT_EQ(Text(file, fat + 3, 8), "VaultFS ");
  EXPECT_EQ(Le16(file, fat + 11), 512);
  EXPECT_EQ(file[fat + 13], 1);
  EXPECT_EQ(Le16(file, fat + 14), 1);
  EXPECT_EQ(file[fat + 16], 1);
  EXPECT_EQ(Le16(file, fat + 17), 256);
  EXPECT_EQ(Le16(file, fat + 19), 512);
  EXPECT_EQ(file[fat + 21], 0xF0);
  EXPECT_EQ(Le16(file, fat + 22), 2);
  EXPECT_EQ(Le16(file, fat + 24), 128);
  EXPECT_EQ(Le16(file, fat + 26), 2);
  EXPECT_EQ(Le32(file, fat + 28), 130560u);  // behind the partition table
  EXPECT_EQ(Le32(file, fat + 32), 0u);
  EXPECT_EQ(file[fat + 38], 0x29);
  EXPECT_EQ(Text(file, fat + 43, 11), "NO NAME    ");
  EXPECT_EQ(Text(file, fat + 54, 8), "FAT12   ");
  EXPECT_EQ(Slice(file, fat + 510, fat + 512), (Bytes{0x55, 0xAA}));
  EXPECT_EQ(Slice(file, fat + 512, fat + 516), (Bytes{0xF0, 0xFF, 0xFF, 0x00}));

  // Open finds the volume behind the partition table and keeps to its extent.
  ASSERT_EQ(volume_.Open(kPath, false), errOk);
  EXPECT_EQ(volume_.VolumeStart, 2u);
  EXPECT_TRUE(volume_.FixedSize);
  EXPECT_EQ(volume_.HostPageCount, kVolumePages);
  std::u16string logo;
  ASSERT_EQ(volume_.GetLogo(logo), errOk);
  EXPECT_EQ(logo, u"Disk");
  StorageSize size;
  ASSERT_EQ(volume_.GetStorageSize(size), errOk);
  EXPECT_TRUE(size.FixedSize);
  EXPECT_EQ(size.Size, std::uint64_t{kVolumePages} * 4096);
  EXPECT_EQ(size.FreeBytes, std::uint64_t{kVolumePages - volume_.UsedPageCount} * 4096);
  EXPECT_TRUE(CheckStructure(volume_).empty());
  ASSERT_EQ(volume_.Close(), errOk);

  // A quick format of a new file gives the same bytes.
  ASSERT_EQ(Run(k64MB, 4096, 0x25, nullptr, u"Disk"), errOk);
  const FormatLayout layout = Plan(k64MB, 4096, 0x24);
  EXPECT_TRUE(WithoutRandomFields(File(), layout, 4096) == WithoutRandomFields(file, layout, 4096));
}

// A full format writes every byte; a quick one writes only the structure, so
// that stale data between the structure stays, yet the volume is sound and
// empty: every space map page position holds a zero page, and a fixed-size
// volume's used area ends at the first one.
TEST_F(Format, FullAndQuickFormatOfAnExistingFile) {
  constexpr std::uint32_t kPage = 512;
  constexpr std::uint32_t kFlags = 0x22;  // boot area, 64 KB FAT area
  const FormatLayout layout = Plan(kMB, kPage, kFlags);
  ASSERT_EQ(layout.VolumePages, (kMB - 8192 - 65536) / kPage);
  ASSERT_GT(layout.VolumePages, 4 * kPage / 2);  // several space map groups
  ASSERT_EQ(Run(kMB, kPage, kFlags | kFormatQuick), errOk);
  const Bytes fresh = WithoutRandomFields(File(), layout, kPage);

  // Old data, and a tail that is not a whole page: it is left as it is.
  const Bytes stale(kMB + 100, 0xA5);
  files_.SetContents(kPath, stale);
  ASSERT_EQ(Run(0, kPage, kFlags), errOk);
  Bytes full = File();
  ASSERT_EQ(full.size(), kMB + 100);
  EXPECT_EQ(Slice(full, kMB, kMB + 100), Bytes(100, 0xA5));
  full.resize(kMB);
  EXPECT_TRUE(WithoutRandomFields(full, layout, kPage) == fresh);

  files_.SetContents(kPath, stale);
  ASSERT_EQ(Run(0, kPage, kFlags | kFormatQuick), errOk);
  const Bytes quick = File();
  ASSERT_EQ(quick.size(), kMB + 100);
  const std::uint64_t volumeStart = layout.BootAreaSize;
  for (std::uint64_t n = kPage / 2; n < layout.VolumePages; n += kPage / 2) {
    const std::uint64_t at = volumeStart + n * kPage;
    EXPECT_EQ(Slice(quick, at, at + kPage), Bytes(kPage, 0)) << "map page " << n;
  }
  EXPECT_EQ(quick[volumeStart + 3 * kPage], 0xA5);  // skipped
  const std::uint64_t fat = layout.FatAreaStart();
  const std::uint64_t structure = (1 + layout.SectorsPerFat + 16) * 512;
  EXPECT_TRUE(Slice(WithoutRandomFields(quick, layout, kPage), fat, fat + structure) ==
              Slice(fresh, fat, fat + structure));
  EXPECT_EQ(quick[fat + structure], 0xA5);  // the first cluster, skipped

  ASSERT_EQ(volume_.SetUseTransactions(false), errOk);
  ASSERT_EQ(volume_.Open(kPath, false), errOk);
  EXPECT_EQ(volume_.HostPageCount, layout.VolumePages);
  EXPECT_TRUE(CheckStructure(volume_).empty());
  StorageSize size;
  ASSERT_EQ(volume_.GetStorageSize(size), errOk);
  EXPECT_EQ(size.FreeBytes, std::uint64_t{layout.VolumePages - 3} * kPage);
  std::uint32_t page = 0;
  std::uint32_t count = 0;
  EngineResult r;
  while ((r = volume_.AllocatePage(DataPage, nullptr, false, page)) == errOk) ++count;
  EXPECT_EQ(r, errStorageFull);
  // Every page but the first three and the map pages was free.
  const std::uint32_t mapPages = (layout.VolumePages + kPage / 2 - 1) / (kPage / 2);
  EXPECT_EQ(count, layout.VolumePages - 2 - mapPages);
  ASSERT_EQ(volume_.Close(), errOk);
}

TEST_F(Format, ProgressCountsWriteUnitsAndStopInterrupts) {
  struct Case {
    std::uint32_t pageSize;
    std::uint32_t flags;
    std::uint32_t unit;
  };
  for (const Case c : {Case{256, 0, 256}, Case{4096, 0x22, 512}, Case{512, 0x23, 512}}) {
    SCOPED_TRACE("page size " + std::to_string(c.pageSize) + ", flags " + std::to_string(c.flags));
    ProgressLog log;
    ASSERT_EQ(Run(2 * kMB, c.pageSize, c.flags, &log), errOk);
    const std::uint32_t total = static_cast<std::uint32_t>(2 * kMB / c.unit);
    ASSERT_GE(log.reports.size(), 2u);
    std::uint32_t previous = 0;
    for (std::size_t i = 0; i + 1 < log.reports.size(); ++i) {
      const Report& report = log.reports[i];
      EXPECT_EQ(report.operation, kProgressFormatting);
      EXPECT_EQ(report.total, total);
      EXPECT_TRUE(report.canStop);
      EXPECT_GT(report.progress, previous);
      if ((c.flags & kFormatQuick) == 0) {
        EXPECT_LE(report.progress - previous, 65536 / c.unit);
      }
      previous = report.progress;
    }
    const Report& last = log.reports.back();
    EXPECT_EQ(last.operation, kProgressFormatting);
    EXPECT_EQ(last.progress, total);
    EXPECT_EQ(last.total, total);
    EXPECT_FALSE(last.canStop);
    if ((c.flags & kFormatQuick) == 0) {
      EXPECT_EQ(previous, total);
    } else {
      // The boot area with the first pages, each later space map page, and
      // the FAT area's structure: one write and one report each.
      const FormatLayout layout = Plan(2 * kMB, c.pageSize, c.flags);
      const std::uint32_t mapPages = (layout.VolumePages + c.pageSize / 2 - 1) / (c.pageSize / 2);
      EXPECT_EQ(log.reports.size(), 1 + (mapPages - 1) + 1 + 1u);
    }

    // Stopped part way: nothing more is written or reported, and what was
    // written does not pass for a volume.
    files_.Remove(kPath);
    ProgressLog stopping;
    stopping.stopAt = 3;
    files_.ResetFaults();
    EXPECT_EQ(Run(2 * kMB, c.pageSize, c.flags, &stopping), errInterrupted);
    EXPECT_EQ(stopping.reports.size(), 3u);
    EXPECT_EQ(files_.WriteCount(), 4u);  // the size, then three chunks
    EXPECT_EQ(files_.OpenHandleCount(), 0u);
    EXPECT_FALSE(volume_.Active);
    EXPECT_EQ(volume_.Open(kPath, false), errInvalidStorageFile);
    ProbeResult probe;
    EXPECT_EQ(volume_.Probe(kPath, probe), errInvalidStorageFile);
  }
}

TEST_F(Format, ExistingFileAtItsSize) {
  // A file that opens only for reading is refused and left alone.
  const Bytes old(kMB, 0x3C);
  files_.SetContents(kPath, old);
  files_.SetReadOnly(kPath, true);
  EXPECT_EQ(Run(0, 4096, 0), errStorageReadOnly);
  EXPECT_TRUE(File() == old);
  files_.SetReadOnly(kPath, false);

  // Too small for the layout (two pages and a bit): refused before anything
  // is written.
  const Bytes small(2 * 4096 + 100, 0x3C);
  files_.SetContents(kPath, small);
  files_.ResetFaults();
  EXPECT_EQ(Run(0, 4096, 0), errInvalidParameter);
  EXPECT_EQ(files_.WriteCount(), 0u);
  EXPECT_TRUE(File() == small);

  files_.Remove(kPath);
  EXPECT_EQ(Run(0, 4096, 0), ENOENT);
  EXPECT_FALSE(files_.Exists(kPath));
  EXPECT_EQ(files_.OpenHandleCount(), 0u);
}

TEST_F(Format, RefusedArgumentsLeaveTheFileAlone) {
  struct Case {
    const char* what;
    std::uint64_t size;
    std::uint32_t pageSize;
    std::uint32_t flags;
    EngineResult expected;
  };
  const Case cases[] = {
      {"page size not a power of two", kMB, 3000, 0, errInvalidPageSize},
      {"page size too small", kMB, 128, 0, errInvalidPageSize},
      {"page size too large", kMB, 131072, 0, errInvalidPageSize},
      {"pages larger than the boot area", kMB, 16384, 0x20, errInvalidPageSize},
      {"64 KB pages behind the boot area", kMB, 65536, 0x22, errInvalidPageSize},
      {"boot and FAT area larger than the file", 65536, 4096, 0x22, errInvalidParameter},
      {"no room for the first three pages", 8192 + 65536 + 2 * 4096, 4096, 0x22,
       errInvalidParameter},
      {"less than a page", 4000, 4096, 0, errInvalidParameter},
      {"a boot area and nothing else", 8192, 4096, 0x20, errInvalidParameter},
      {"FAT area code 18", kMB, 4096, 0x12, errInvalidParameter},
      {"FAT area code 30", kMB, 4096, 0x1E, errInvalidParameter},
      {"unknown flag", kMB, 4096, 0x40, errInvalidParameter},
      {"whole-file FAT area of 4 GB", std::uint64_t{1} << 32, 4096, 0x10, errInvalidParameter},
      {"whole-file FAT area of 16 sectors", 16 * 512, 512, 0x10, errInvalidParameter},
  };
  const Bytes old(3 * 4096, 0x3C);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    files_.SetContents(kPath, old);
    files_.ResetFaults();
    EXPECT_EQ(Run(c.size, c.pageSize, c.flags), c.expected);
    EXPECT_EQ(files_.WriteCount(), 0u);
    EXPECT_TRUE(File() == old);
    FormatLayout layout;
    EXPECT_EQ(PlanFormat(c.size, c.pageSize, c.flags, layout), c.expected);
  }

  ASSERT_EQ(volume_.Create(u"open.vfs", true, 4096, u""), errOk);
  EXPECT_EQ(Run(kMB, 4096, 0), errStorageActive);
  EXPECT_TRUE(File() == old);
  ASSERT_EQ(volume_.Close(), errOk);
}

TEST_F(Format, WriteFailureIsReported) {
  files_.ResetFaults();
  files_.FailWrite(3, ENOSPC);
  EXPECT_EQ(Run(kMB, 4096, 0), ENOSPC);
  EXPECT_EQ(files_.OpenHandleCount(), 0u);
  EXPECT_EQ(volume_.Open(kPath, false), errInvalidStorageFile);
}

// A power loss at any write of a format, full or quick, of a new file or
// over an old volume: the medium then holds the old file untouched, no
// volume (opening fails with a plain error) or a complete empty one, never
// the old volume's first page with new pages behind it. Once the format returned, the volume
// survives a power loss.
TEST(FormatPowerLoss, ACutFormatLeavesNoVolumeOrAnEmptyOne) {
  using testing::MemoryHostFiles;
  constexpr std::uint32_t kPage = 512;
  // The old volume: every page of several space map groups in use.
  MemoryHostFiles::Snapshot old;
  {
    MemoryHostFiles files;
    Volume v;
    ASSERT_EQ(v.SetHostFileCallbacks(files.Callbacks()), errOk);
    ASSERT_EQ(FormatVolume(v, kPath, kMB, kPage, u"", kFormatQuick, {}), errOk);
    ASSERT_EQ(v.SetUseTransactions(false), errOk);
    ASSERT_EQ(v.Open(kPath, false), errOk);
    std::uint32_t page = 0;
    while (v.AllocatePage(DataPage, nullptr, false, page) == errOk) {
    }
    ASSERT_EQ(v.Close(), errOk);
    old = files.TakeSnapshot();
  }
  struct Case {
    const char* name;
    bool overOld;
    std::uint64_t size;  // 0: the existing file at its size
    std::uint32_t flags;
  };
  const Case cases[] = {
      {"new file, full", false, kMB, 0},
      {"new file, quick", false, kMB, kFormatQuick},
      {"old volume at its size, full", true, 0, 0},
      {"old volume at its size, quick", true, 0, kFormatQuick},
      {"old volume recreated, quick", true, kMB, kFormatQuick},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto format = [&](MemoryHostFiles& files) {
      Volume v;
      EXPECT_EQ(v.SetHostFileCallbacks(files.Callbacks()), errOk);
      return FormatVolume(v, kPath, c.size, kPage, u"", c.flags, {});
    };
    // What is on the medium: no volume, or an empty one (free bytes as
    // `freeBytes`, or set there when 0).
    const MemoryHostFiles::Snapshot base = c.overOld ? old : MemoryHostFiles::Snapshot{};
    auto expectNoneOrEmpty = [&](MemoryHostFiles::Snapshot image, std::uint64_t& freeBytes,
                                 bool mustOpen) {
      if (!mustOpen && image == base) return;
      MemoryHostFiles files(std::move(image));
      Volume v;
      ASSERT_EQ(v.SetHostFileCallbacks(files.Callbacks()), errOk);
      const EngineResult r = v.Open(kPath, true);
      if (r != errOk) {
        EXPECT_FALSE(mustOpen) << "open failed: " << r;
        EXPECT_TRUE(r == errInvalidStorageFile || r == ENOENT) << r;
        return;
      }
      EXPECT_EQ(CheckStructure(v), std::vector<std::string>{});
      StorageSize size;
      EXPECT_EQ(v.GetStorageSize(size), errOk);
      if (freeBytes == 0) freeBytes = size.FreeBytes;
      EXPECT_EQ(size.FreeBytes, freeBytes);
      EXPECT_EQ(v.Close(), errOk);
    };
    MemoryHostFiles full(base);
    full.ResetFaults();
    ASSERT_EQ(format(full), errOk);
    const std::uint64_t writes = full.WriteCount();
    std::uint64_t freeBytes = 0;
    expectNoneOrEmpty(full.TakeSnapshot(), freeBytes, true);
    ASSERT_GT(freeBytes, 0u);

    for (const testing::PowerLossCase& loss : testing::kPowerLosses) {
      SCOPED_TRACE(loss.name);
      {
        SCOPED_TRACE("after the format returned");
        MemoryHostFiles files(base);
        files.SetPowerLoss(loss.unflushed, loss.seed);
        ASSERT_EQ(format(files), errOk);
        files.CrashAfterWrites(0);
        expectNoneOrEmpty(files.TakeSnapshot(), freeBytes, true);
      }
      for (std::uint64_t cut = 0; cut < writes; ++cut) {
        for (bool torn : {false, true}) {
          SCOPED_TRACE("crash after write " + std::to_string(cut) + (torn ? " (torn)" : ""));
          MemoryHostFiles files(base);
          files.ResetFaults();
          files.SetPowerLoss(loss.unflushed, loss.seed);
          files.CrashOrTearAt(cut, torn, kPage / 2);
          (void)format(files);
          expectNoneOrEmpty(files.TakeSnapshot(), freeBytes, false);
          if (HasFailure()) return;
        }
      }
    }
  }
}

// Type, cluster size and FAT size of the FAT area. File system tools tell
// FAT12 from FAT16 by the number of clusters alone (below 4085 is FAT12), and
// cluster sizes are powers of two.
TEST_F(Format, FatTypeAndClusterSize) {
  struct Case {
    std::uint64_t size;
    std::uint32_t flags;
    std::uint32_t bits, sectorsPerCluster, sectorsPerFat, clusters;
  };
  const Case cases[] = {
      {k64MB, 0x22, 12, 1, 1, 110},      // 64 KB
      {k64MB, 0x24, 12, 1, 2, 493},      // 256 KB
      {k64MB, 0x26, 12, 1, 7, 2024},     // 1 MB
      {k64MB, 0x28, 12, 1, 13, 4066},    // 2 MB: as FAT16 it would have 4063 clusters
      {k64MB, 0x2A, 16, 1, 32, 8143},    // 4 MB
      {k64MB, 0x2C, 16, 1, 64, 16303},   // 8 MB
      {k64MB, 0x2E, 16, 1, 128, 32623},  // 16 MB
      {k64MB, 0x30, 16, 4, 128, 32727},  // the rest after the boot area: 3 rounded up to 4
      {2108416, 0x10, 12, 2, 7, 2047},   // too many clusters for FAT12, too few for FAT16
      {2109952, 0x10, 16, 1, 17, 4087},  // just enough for FAT16
      {299999232, 0x10, 16, 16, 144, 36610},
      {4294311936, 0x10, 16, 128, 256, 65523},  // the largest FAT16 area with 64 KB clusters
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("size " + std::to_string(c.size) + ", flags " + std::to_string(c.flags));
    const FormatLayout layout = Plan(c.size, 512, c.flags);
    EXPECT_EQ(layout.FatBits, c.bits);
    EXPECT_EQ(layout.SectorsPerCluster, c.sectorsPerCluster);
    EXPECT_EQ(layout.SectorsPerFat, c.sectorsPerFat);
    EXPECT_EQ(layout.ClusterCount, c.clusters);
    // The FAT holds an entry for every cluster plus the two media entries,
    // and everything fits in the area.
    const std::uint32_t perSector = c.bits == 12 ? 341 : 256;
    EXPECT_GE(std::uint64_t{layout.SectorsPerFat} * perSector, layout.ClusterCount + 2u);
    EXPECT_LE(1 + layout.SectorsPerFat + 16 +
                  std::uint64_t{layout.ClusterCount} * layout.SectorsPerCluster,
              layout.FatTotalSectors());
  }
  FormatLayout layout;
  EXPECT_EQ(PlanFormat(4294963200, 512, 0x10, layout), errInvalidParameter);  // past FAT16
}

TEST_F(Format, FlagsZeroMakeAVolumeFillingTheFile) {
  ASSERT_EQ(Run(kMB + 1000, 4096, 0), errOk);
  const Bytes file = File();
  ASSERT_EQ(file.size(), kMB);
  EXPECT_EQ(Slice(file, 0, 6), testing::HostU16s({12, 0x574E, 32}));
  EXPECT_EQ(LoadU32(file.data() + 4096 + kMaxPageCount), 256u);

  ASSERT_EQ(volume_.SetUseTransactions(true), errOk);
  ASSERT_EQ(volume_.Open(kPath, false), errOk);
  EXPECT_EQ(volume_.VolumeStart, 0u);
  EXPECT_TRUE(volume_.FixedSize);
  EXPECT_EQ(volume_.HostPageCount, 256u);
  std::u16string logo;
  ASSERT_EQ(volume_.GetLogo(logo), errOk);
  EXPECT_FALSE(logo.empty());  // the default logo
  ASSERT_EQ(volume_.Close(), errOk);
  EXPECT_EQ(File().size(), kMB);
  EXPECT_EQ(LoadU16(File().data() + 4096 + kMountedFlag), 0);
}

TEST_F(Format, WholeFileFatAreaHoldsNoVolume) {
  struct Case {
    std::uint32_t flags;
    std::uint64_t fatStart;
  };
  for (const Case c : {Case{0x10, 0}, Case{0x30, 8192}, Case{0x31, 8192}}) {
    SCOPED_TRACE("flags " + std::to_string(c.flags));
    ASSERT_EQ(Run(8 * kMB, 4096, c.flags), errOk);
    const Bytes file = File();
    ASSERT_EQ(file.size(), 8 * kMB);
    const std::uint64_t fat = c.fatStart;
    if (fat != 0) {
      // The only partition is the FAT area.
      EXPECT_EQ(file[446 + 4], 6);
      EXPECT_EQ(Le32(file, 446 + 8), 16u);
      EXPECT_EQ(Le32(file, 446 + 12), (8 * kMB - 8192) / 512);
      EXPECT_EQ(Slice(file, 462, 478), Bytes(16, 0));
    }
    EXPECT_EQ(Slice(file, fat, fat + 3), (Bytes{0xEB, 0xFE, 0x90}));
    EXPECT_EQ(Le16(file, fat + 19), (8 * kMB - fat) / 512);
    EXPECT_EQ(Le32(file, fat + 28), fat / 512);
    EXPECT_EQ(Text(file, fat + 54, 8), "FAT16   ");
    EXPECT_EQ(Slice(file, fat + 512, fat + 516), (Bytes{0xF0, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(volume_.Open(kPath, false), errInvalidStorageFile);
    ProbeResult probe;
    EXPECT_EQ(volume_.Probe(kPath, probe), errInvalidStorageFile);
  }
  // Above 65535 sectors the count moves to the 32-bit field.
  ASSERT_EQ(Run(40 * kMB, 4096, 0x11), errOk);
  const Bytes file = File();
  EXPECT_EQ(Le16(file, 19), 0);
  EXPECT_EQ(Le32(file, 32), 40 * kMB / 512);
}

// A fixed-size volume fills up to errStorageFull inside its own extent and
// never writes into the boot area or the FAT area; with transactions it
// keeps its last pages for them.
TEST_F(Format, FixedSizeVolumeKeepsOutOfItsFatArea) {
  constexpr std::uint32_t kPage = 512;
  const FormatLayout layout = Plan(kMB, kPage, 0x22);
  const std::uint32_t pages = layout.VolumePages;
  struct Case {
    bool transactions;
    std::uint32_t ordinaryEnd;  // UsedPageCount when ordinary allocation stops
    std::uint32_t forcedEnd;    // ... and when transaction pages stop
  };
  for (const Case c : {Case{false, pages, pages}, Case{true, pages - 6, pages - 1}}) {
    SCOPED_TRACE(c.transactions ? "with transactions" : "without transactions");
    ASSERT_EQ(Run(kMB, kPage, 0x23), errOk);
    // Something of the FAT area's own in its last cluster.
    Bytes file = File();
    std::fill(file.end() - 700, file.end(), 0x77);
    files_.SetContents(kPath, file);
    const Bytes outside = OutsideTheVolume(layout);

    ASSERT_EQ(volume_.SetUseTransactions(c.transactions), errOk);
    ASSERT_EQ(volume_.Open(kPath, false), errOk);
    EXPECT_EQ(volume_.HostPageCount, pages);
    EXPECT_EQ(volume_.SetMaxPageCount(pages + 1), errInvalidParameter);
    Bytes image(kPage, 0x5A);
    StoreU16(image.data() + kPageType, DataPage);
    std::uint32_t page = 0;
    EngineResult r;
    while ((r = volume_.AllocatePage(DataPage, image.data(), false, page)) == errOk)
      ASSERT_LT(page, pages);
    EXPECT_EQ(r, errStorageFull);
    EXPECT_EQ(volume_.UsedPageCount, c.ordinaryEnd);
    while ((r = volume_.AllocatePage(JournalPage, image.data(), true, page)) == errOk)
      ASSERT_LT(page, c.forcedEnd);
    EXPECT_EQ(r, errStorageFull);
    EXPECT_EQ(volume_.UsedPageCount, c.forcedEnd);
    StorageSize size;
    ASSERT_EQ(volume_.GetStorageSize(size), errOk);
    EXPECT_EQ(size.Size, std::uint64_t{pages} * kPage);
    EXPECT_EQ(size.FreeBytes, std::uint64_t{pages - c.forcedEnd} * kPage);
    ASSERT_EQ(volume_.Close(), errOk);

    EXPECT_EQ(File().size(), kMB);
    EXPECT_TRUE(OutsideTheVolume(layout) == outside);
    ASSERT_EQ(volume_.Open(kPath, false), errOk);
    EXPECT_EQ(volume_.HostPageCount, pages);
    EXPECT_EQ(volume_.AllocatePage(DataPage, image.data(), false, page), errStorageFull);
    ASSERT_EQ(volume_.Close(), errOk);
    EXPECT_TRUE(OutsideTheVolume(layout) == outside);
  }
}

// Recovery of a fixed-size volume reads and empties a journal in the last
// pages of the volume: the volume's last pages, not the FAT area's.
TEST_F(Format, FixedSizeJournalAreaEndsWithTheVolume) {
  constexpr std::uint32_t kPage = 512;
  const FormatLayout layout = Plan(kMB, kPage, 0x22);
  ASSERT_EQ(Run(kMB, kPage, 0x23), errOk);
  Bytes file = File();
  std::fill(file.end() - 700, file.end(), 0x77);
  // Left mounted by a volume without a transaction table: the next writable
  // open replays the journal area.
  const std::size_t info = layout.BootAreaSize + kPage;
  StoreU16(file.data() + info + kMountedFlag, 1);
  StoreU32(file.data() + info + kVolumeFlags, 0);
  files_.SetContents(kPath, file);
  const Bytes outside = OutsideTheVolume(layout);

  ASSERT_EQ(volume_.SetUseTransactions(false), errOk);
  ASSERT_EQ(volume_.Open(kPath, false), errOk);
  EXPECT_FALSE(volume_.MountedFlag());
  EXPECT_TRUE(CheckStructure(volume_).empty());
  ASSERT_EQ(volume_.Close(), errOk);
  EXPECT_TRUE(OutsideTheVolume(layout) == outside);
}

// ---- the FAT area seen by independent file system tools ----

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "format-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

struct CommandResult {
  int status = -1;
  std::string output;
};

CommandResult RunCommand(const std::string& command) {
  CommandResult result;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, got);
  const int status = ::pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

// The program's path, or empty when it is not installed.
std::string FindTool(const std::string& name) {
  const CommandResult found = RunCommand("command -v " + name);
  if (found.status == 0 && !found.output.empty())
    return found.output.substr(0, found.output.find('\n'));
  for (const char* dir : {"/usr/sbin/", "/sbin/"}) {
    if (::access((dir + name).c_str(), X_OK) == 0) return dir + name;
  }
  return {};
}

Bytes ReadFile(const std::string& path) {
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(path, error);
  if (error) return {};
  Bytes bytes(size);
  std::ifstream in(path, std::ios::binary);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size));
  if (!in) bytes.clear();
  return bytes;
}

void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

std::u16string HostName(const std::string& path) {
  return std::u16string(path.begin(), path.end());
}

TEST(FormatFatArea, PassesFileSystemTools) {
  const std::string fsck = FindTool("fsck.fat");
  const std::string mdir = FindTool("mdir");
  const std::string mcopy = FindTool("mcopy");
  if (fsck.empty() || mdir.empty() || mcopy.empty())
    GTEST_SKIP() << "fsck.fat, mdir or mcopy not installed (packages dosfstools and mtools)";
  TempDir dir;
  ASSERT_FALSE(dir.Path().empty());
  const std::string image = dir.Path() + "/disk.img";
  const std::string cut = dir.Path() + "/fat.img";
  const std::string payload = dir.Path() + "/payload.bin";
  const std::string back = dir.Path() + "/back.bin";
  Bytes data(100000);
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  WriteFile(payload, data);

  struct Case {
    std::uint64_t size;
    std::uint32_t pageSize;
    std::uint32_t flags;
  };
  const Case cases[] = {
      {k64MB, 4096, 0x24},          // the acceptance layout, written in full
      {k64MB, 4096, 0x29},          // 2 MB FAT area (FAT12)
      {k64MB, 4096, 0x2B},          // 4 MB FAT area (FAT16)
      {k64MB, 4096, 0x11},          // the whole file, FAT16 with 4-sector clusters
      {8192 + 2108416, 512, 0x31},  // behind a partition table, FAT12 with 2-sector clusters
      {5000192, 4096, 0x0B},        // FAT16 after a volume, without a partition table
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("size " + std::to_string(c.size) + ", flags " + std::to_string(c.flags));
    FormatLayout layout;
    ASSERT_EQ(PlanFormat(c.size, c.pageSize, c.flags, layout), errOk);
    Volume volume;
    ASSERT_EQ(volume.UseSystemFiles(), errOk);
    ASSERT_EQ(FormatVolume(volume, HostName(image), c.size, c.pageSize, u"", c.flags, {}), errOk);
    const Bytes formatted = ReadFile(image);
    ASSERT_EQ(formatted.size(), layout.FileSize);
    const std::uint64_t start = layout.FatAreaStart();
    const std::string at = "'" + image + "@@" + std::to_string(start) + "'";

    auto check = [&](const char* expectedFiles) {
      WriteFile(cut, Slice(ReadFile(image), start, layout.FileSize));
      const CommandResult checked = RunCommand("'" + fsck + "' -n '" + cut + "'");
      EXPECT_EQ(checked.status, 0) << checked.output;
      EXPECT_NE(checked.output.find(expectedFiles), std::string::npos) << checked.output;
      return checked.output;
    };
    const std::string report = check(" 0 files");
    if (c.size == k64MB && c.flags == 0x24) std::printf("%s", report.c_str());

    const CommandResult listed = RunCommand("'" + mdir + "' -i " + at + " ::");
    EXPECT_EQ(listed.status, 0) << listed.output;
    if (c.size == k64MB && c.flags == 0x24) std::printf("%s", listed.output.c_str());
    const CommandResult in =
        RunCommand("'" + mcopy + "' -i " + at + " '" + payload + "' ::/DATA.BIN");
    EXPECT_EQ(in.status, 0) << in.output;
    const CommandResult out =
        RunCommand("'" + mcopy + "' -n -i " + at + " ::/DATA.BIN '" + back + "'");
    EXPECT_EQ(out.status, 0) << out.output;
    EXPECT_TRUE(ReadFile(back) == data);
    check(" 1 files");

    // The tools kept to the FAT area, and the volume is as it was.
    const Bytes used = ReadFile(image);
    EXPECT_TRUE(Slice(used, 0, start) == Slice(formatted, 0, start));
    if (layout.VolumePages != 0) {
      ASSERT_EQ(volume.Open(HostName(image), false), errOk);
      EXPECT_TRUE(volume.FixedSize);
      EXPECT_EQ(volume.VolumeStart, layout.BootAreaSize / c.pageSize);
      EXPECT_EQ(volume.HostPageCount, layout.VolumePages);
      EXPECT_TRUE(CheckStructure(volume).empty());
      ASSERT_EQ(volume.Close(), errOk);
    } else {
      EXPECT_EQ(volume.Open(HostName(image), false), errInvalidStorageFile);
    }
    std::filesystem::remove(back);
  }
}

}  // namespace
}  // namespace vaultfs
