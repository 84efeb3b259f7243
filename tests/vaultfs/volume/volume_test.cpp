// Volume life cycle: create, open, probe and close; the volume information
// page; locating a volume behind a boot area; byte-swapped volumes; refusing
// files that are not volumes without touching them.
#include "vaultfs/volume/volume.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "vaultfs/util/byte_order.h"
#include "vaultfs/format/page_layout.h"
#include "support/sample_data.h"
#include "support/volume_fixture.h"

namespace vaultfs {
namespace {

using namespace layout;
using Bytes = std::vector<std::uint8_t>;
using vaultfs::testing::MemoryHostFiles;

const std::u16string kPath = u"box.vfs";

std::uint16_t U16(const Bytes& bytes, std::size_t at) {
  return LoadU16(bytes.data() + at);
}
std::uint32_t U32(const Bytes& bytes, std::size_t at) {
  return LoadU32(bytes.data() + at);
}

// The logo units stored in a volume information page image.
std::u16string StoredLogoUnits(const Bytes& file, std::uint32_t pageSize, std::size_t units) {
  std::u16string logo;
  for (std::size_t i = 0; i < units; ++i)
    logo.push_back(static_cast<char16_t>(U16(file, pageSize + kLogo + 2 * i)));
  return logo;
}

// Rewrites every page of a container image in the other byte order with the
// engine's own page conversion, run on a scratch volume of the same page size.
Bytes ConvertContainer(Bytes bytes, std::uint32_t pageSize, bool toFileOrder) {
  MemoryHostFiles scratch;
  Volume converter;
  EXPECT_EQ(converter.SetHostFileCallbacks(scratch.Callbacks()), errOk);
  EXPECT_EQ(converter.SetUseTransactions(false), errOk);
  EXPECT_EQ(converter.Create(u"converter", false, pageSize, u""), errOk);
  for (std::size_t at = 0; at + pageSize <= bytes.size(); at += pageSize)
    converter.ConvertPage(bytes.data() + at, toFileOrder);
  EXPECT_EQ(converter.Close(), errOk);
  return bytes;
}

// Probes with a volume of its own, as a caller checking a file would.
EngineResult ProbeFile(MemoryHostFiles& files, const std::u16string& name, ProbeResult& result) {
  Volume prober;
  EXPECT_EQ(prober.SetHostFileCallbacks(files.Callbacks()), errOk);
  return prober.Probe(name, result);
}

Bytes PartitionTable(std::uint32_t firstSector) {
  Bytes sector(512, 0);
  StoreLittleEndian32(sector.data() + 454, firstSector);
  sector[510] = 0x55;
  sector[511] = 0xAA;
  return sector;
}

Bytes BootSector(std::uint16_t sectorSize, std::uint16_t sectors16, std::uint32_t sectors32,
                 bool signature) {
  Bytes sector(512, 0);
  // Little-endian, as on every disk.
  StoreLittleEndian16(sector.data() + 11, sectorSize);
  StoreLittleEndian16(sector.data() + 14, 1);  // reserved sectors
  sector[16] = 2;                              // copies of the allocation table
  StoreLittleEndian16(sector.data() + 19, sectors16);
  StoreLittleEndian32(sector.data() + 32, sectors32);
  if (signature) {
    sector[510] = 0x55;
    sector[511] = 0xAA;
  }
  return sector;
}

// Copies `part` into `file` at `at`, growing the file with zeros as needed.
void Put(Bytes& file, std::size_t at, const Bytes& part) {
  if (file.size() < at + part.size()) file.resize(at + part.size(), 0);
  std::copy(part.begin(), part.end(), file.begin() + static_cast<std::ptrdiff_t>(at));
}

class VolumeLifeCycle : public testing::HostedVolumeTest {
 protected:

  // A closed container made by a volume of its own; returns its bytes.
  Bytes MakeContainer(std::uint32_t pageSize, bool transactions, std::u16string_view logo = u"Box",
                      std::uint32_t* volumeId = nullptr) {
    Volume maker;
    EXPECT_EQ(maker.SetHostFileCallbacks(files_.Callbacks()), errOk);
    EXPECT_EQ(maker.SetUseTransactions(transactions), errOk);
    EXPECT_EQ(maker.Create(u"template", true, pageSize, logo), errOk);
    if (volumeId) {
      EXPECT_EQ(maker.GetVolumeId(*volumeId), errOk);
    }
    EXPECT_EQ(maker.Close(), errOk);
    Bytes bytes = files_.Contents(u"template");
    files_.Remove(u"template");
    return bytes;
  }

  Bytes File() const { return files_.Contents(kPath); }
};

TEST_F(VolumeLifeCycle, CreateLaysOutTheStartingPages) {
  struct Case {
    bool transactions;
    std::size_t fileSize;
  };
  for (const Case c : {Case{false, 12288}, Case{true, 16384}}) {
    SCOPED_TRACE(c.transactions ? "with transactions" : "without transactions");
    ASSERT_EQ(volume_.SetUseTransactions(c.transactions), errOk);
    ASSERT_EQ(volume_.Create(kPath, true, 4096, u"Box"), errOk);

    const Bytes open = File();
    ASSERT_EQ(open.size(), c.fileSize);
    EXPECT_EQ(Bytes(open.begin(), open.begin() + 6), testing::HostU16s({12, 0x574E, 32}));
    EXPECT_EQ(U16(open, 4096 + kMountedFlag), c.transactions ? 1 : 0);
    EXPECT_EQ(volume_.MountedFlag(), c.transactions);
    EXPECT_EQ(U32(open, 4096 + kTransactionTablePage), c.transactions ? 3u : 0u);

    // The volume information page.
    const std::size_t info = 4096;
    EXPECT_EQ(U16(open, info + kPageType), VolumeSignature);
    EXPECT_EQ(U32(open, info + kPageNumber), 1u);
    EXPECT_EQ(U16(open, info + kLogoCr), 13);
    EXPECT_EQ(U16(open, info + kLogoLf), 10);
    EXPECT_EQ(StoredLogoUnits(open, 4096, 4), std::u16string(u"Box\0", 4));
    EXPECT_EQ(U32(open, info + kEngineVersion), 0x03000000u);
    EXPECT_EQ(U32(open, info + kEngineVersionCopy), 0x03000000u);
    EXPECT_EQ(U32(open, info + kLastObjectId), 1u);
    EXPECT_EQ(U32(open, info + kLastTransactionId), 1u);
    EXPECT_EQ(U16(open, info + 160), 1);
    EXPECT_EQ(U16(open, info + 162), 76);
    EXPECT_EQ(U32(open, info + 164), 64u);
    EXPECT_EQ(U32(open, info + 168), 0u);
    EXPECT_EQ(U32(open, info + kRootEntry + kEntryObjectId), 1u);
    EXPECT_EQ(U32(open, info + kRootEntry + kEntryHeaderPage), 2u);
    EXPECT_EQ(U32(open, info + kRootEntry + kEntryAttributes), attrDirectory);
    EXPECT_EQ(U16(open, info + kFixedSize), 0);
    EXPECT_EQ(U32(open, info + kMaxPageCount), 0u);
    EXPECT_EQ(U32(open, info + kVolumeFlags), vfTransactionTable);
    std::uint32_t id = 0;
    ASSERT_EQ(volume_.GetVolumeId(id), errOk);
    EXPECT_EQ(U32(open, info + kVolumeId), id);

    // The root directory's header page.
    const std::size_t root = 2 * 4096;
    EXPECT_EQ(U16(open, root + kPageType), ObjectHeaderPage);
    EXPECT_EQ(U32(open, root + kPageNumber), 2u);
    EXPECT_EQ(U32(open, root + kPrevPage), 1u);
    EXPECT_EQ(U32(open, root + kNextPage), 0u);
    EXPECT_EQ(U32(open, root + kOwnerId), 1u);
    EXPECT_EQ(U16(open, root + kUsedLength), 84);
    EXPECT_EQ(U16(open, root + kFirstRecord + kRecordKind), rkObjectInfo);
    EXPECT_EQ(U16(open, root + kFirstRecord + kRecordLength), 48);

    ASSERT_EQ(volume_.Close(), errOk);
    const Bytes closed = File();
    EXPECT_EQ(closed.size(), c.fileSize);
    EXPECT_EQ(U16(closed, 4096 + kMountedFlag), 0);
    EXPECT_EQ(U32(closed, 4096 + kTransactionTablePage), 0u);
    // The space map: itself, the information page, the root; nothing else in use.
    EXPECT_EQ(U16(closed, 0), 12);
    EXPECT_EQ(U16(closed, 2), VolumeSignature);
    EXPECT_EQ(U16(closed, 4), ObjectHeaderPage);
    EXPECT_EQ(U16(closed, 6), 0);
    EXPECT_EQ(files_.OpenHandleCount(), 0u);
  }
}

TEST_F(VolumeLifeCycle, PageSizeMustBeAPowerOfTwoFrom256To65536) {
  struct Case {
    std::uint32_t pageSize;
    bool accepted;
  };
  const Case cases[] = {{256, true},   {512, true},   {4096, true},    {65536, true},
                        {0, false},    {128, false},  {255, false},    {257, false},
                        {3000, false}, {4097, false}, {131072, false}, {0x80000000u, false}};
  ASSERT_EQ(volume_.SetUseTransactions(false), errOk);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pageSize);
    files_.Remove(kPath);
    const EngineResult created = volume_.Create(kPath, false, c.pageSize, u"");
    if (!c.accepted) {
      EXPECT_EQ(created, errInvalidPageSize);
      EXPECT_FALSE(volume_.Active);
      EXPECT_FALSE(files_.Exists(kPath));
      continue;
    }
    ASSERT_EQ(created, errOk);
    ASSERT_EQ(volume_.Close(), errOk);
    EXPECT_EQ(File().size(), 3u * c.pageSize);
    ProbeResult probe;
    ASSERT_EQ(ProbeFile(files_, kPath, probe), errOk);
    EXPECT_EQ(probe.PageSize, c.pageSize);
    ASSERT_EQ(volume_.Open(kPath, false), errOk);
    EXPECT_EQ(volume_.PageSize, c.pageSize);
    std::uint32_t page = 0;
    EXPECT_EQ(volume_.AllocatePage(DataPage, nullptr, false, page), errOk);
    EXPECT_EQ(page, 3u);
    ASSERT_EQ(volume_.Close(), errOk);
  }
}

TEST_F(VolumeLifeCycle, LogoIsCutTo62UnitsAndAnEmptyOneGetsTheDefault) {
  const std::u16string sixtyTwo(62, u'x');
  const std::u16string hundred = std::u16string(62, u'y') + std::u16string(38, u'z');
  struct Case {
    std::u16string given;
    std::u16string expected;  // empty: the default, whatever its text
  };
  const Case cases[] = {
      {u"Box", u"Box"}, {sixtyTwo, sixtyTwo}, {hundred, hundred.substr(0, 62)}, {u"", u""}};
  ASSERT_EQ(volume_.SetUseTransactions(false), errOk);
  std::u16string defaultLogo;
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.given.size()));
    ASSERT_EQ(volume_.Create(kPath, true, 512, c.given), errOk);
    std::u16string logo;
    ASSERT_EQ(volume_.GetLogo(logo), errOk);
    if (c.expected.empty()) {
      EXPECT_FALSE(logo.empty());
      EXPECT_LE(logo.size(), 62u);
      defaultLogo = logo;
    } else {
      EXPECT_EQ(logo, c.expected);
    }
    ASSERT_EQ(volume_.Close(), errOk);
    const Bytes file = File();
    EXPECT_EQ(U16(file, 512 + kLogoTerminator), 0);
    ProbeResult probe;
    ASSERT_EQ(ProbeFile(files_, kPath, probe), errOk);
    EXPECT_EQ(probe.Logo, logo);
  }

  // A shorter logo ends with a zero unit; the older units after it stay.
  ASSERT_EQ(volume_.Open(kPath, false), errOk);
  ASSERT_EQ(volume_.SetLogo(u"ABCDEFGH"), errOk);
  ASSERT_EQ(volume_.SetLogo(u"xyz"), errOk);
  Bytes file = File();
  EXPECT_EQ(StoredLogoUnits(file, 512, 9), std::u16string(u"xyz\0EFGH\0", 9));
  EXPECT_EQ(U16(file, 512 + kLogoCr), 13);
  EXPECT_EQ(U16(file, 512 + kLogoLf), 10);
  std::u16string logo;
  ASSERT_EQ(volume_.GetLogo(logo), errOk);
  EXPECT_EQ(logo, u"xyz");
  ASSERT_EQ(volume_.SetLogo(u""), errOk);
  ASSERT_EQ(volume_.GetLogo(logo), errOk);
  EXPECT_EQ(logo, defaultLogo);
  ASSERT_EQ(volume_.Close(), errOk);
  ProbeResult probe;
  ASSERT_EQ(ProbeFile(files_, kPath, probe), errOk);
  EXPECT_EQ(probe.Logo, defaultLogo);
}

TEST_F(VolumeLifeCycle, ReadOnlyOpenRefusesEveryWriteAndLeavesTheFileAlone) {
  for (const bool fileReadOnly : {false, true}) {
    SCOPED_TRACE(fileReadOnly ? "read-only file" : "read-only asked");
    files_.SetContents(kPath, MakeContainer(512, true));
    files_.SetReadOnly(kPath, fileReadOnly);
    const Bytes before = File();

    ASSERT_EQ(volume_.Open(kPath, !fileReadOnly), errOk);
    EXPECT_TRUE(volume_.ReadOnly);
    EXPECT_FALSE(volume_.MountedFlag());

    std::vector<std::uint8_t> page(512, 0);
    ASSERT_EQ(volume_.ReadPage(2, page.data()), errOk);
    std::uint32_t number = 0;
    PageRef root;
    ASSERT_EQ(volume_.GetPage(2, true, ObjectHeaderPage, 1, nullptr, root), errOk);
    PageRef other;
    ASSERT_EQ(volume_.GetPage(2, true, ObjectHeaderPage, 1, nullptr, other), errOk);
    const std::vector<std::pair<const char*, std::function<EngineResult()>>> writes = {
        {"SetLogo", [&] { return volume_.SetLogo(u"changed"); }},
        {"SetMaxPageCount", [&] { return volume_.SetMaxPageCount(100); }},
        {"NextObjectId", [&] { return volume_.NextObjectId(number); }},
        {"WriteVolumeInfo", [&] { return volume_.WriteVolumeInfo(); }},
        {"WritePage", [&] { return volume_.WritePage(2, page.data()); }},
        {"AllocatePage", [&] { return volume_.AllocatePage(DataPage, nullptr, false, number); }},
        {"AllocateNewPage",
         [&] {
           PageRef fresh;
           return volume_.AllocateNewPage(DataPage, nullptr, fresh);
         }},
        {"FreePage", [&] { return volume_.FreePage(2); }},
        {"SetMapEntry", [&] { return volume_.SetMapEntry(3, DataPage, false); }},
        {"MarkDirty", [&] { return volume_.MarkDirty(root.get(), nullptr); }},
        {"DeletePage", [&] { return volume_.DeletePage(other.Detach(), nullptr); }},
    };
    for (const auto& [name, write] : writes) EXPECT_EQ(write(), errStorageReadOnly) << name;

    // Reading goes on as usual.
    std::u16string logo;
    EXPECT_EQ(volume_.GetLogo(logo), errOk);
    EXPECT_EQ(logo, u"Box");
    StorageSize size;
    EXPECT_EQ(volume_.GetStorageSize(size), errOk);
    EXPECT_EQ(size.Size, 4u * 512);
    EXPECT_EQ(size.FreeBytes, 512u);
    EXPECT_EQ(root->RefCount.load(), 1u);
    root = PageRef();
    EXPECT_EQ(volume_.Close(), errOk);
    EXPECT_EQ(File(), before);
    EXPECT_EQ(files_.OpenHandleCount(), 0u);
    files_.SetReadOnly(kPath, false);
  }
}

TEST_F(VolumeLifeCycle, TheCallersTransactionChoiceOutlivesCreateAndReadOnlyOpens) {
  ASSERT_EQ(volume_.SetUseTransactions(false), errOk);
  ASSERT_EQ(volume_.Create(kPath, true, 4096, u""), errOk);
  ASSERT_EQ(volume_.Close(), errOk);
  EXPECT_FALSE(volume_.UseTransactions);
  ASSERT_EQ(volume_.Create(kPath, true, 4096, u""), errOk);
  EXPECT_EQ(File().size(), 12288u);
  ASSERT_EQ(volume_.Close(), errOk);

  ASSERT_EQ(volume_.SetUseTransactions(true), errOk);
  ASSERT_EQ(volume_.Open(kPath, true), errOk);
  EXPECT_FALSE(volume_.UseTransactions);
  ASSERT_EQ(volume_.Close(), errOk);
  EXPECT_TRUE(volume_.UseTransactions);
  ASSERT_EQ(volume_.Open(kPath, false), errOk);
  EXPECT_EQ(U16(File(), 4096 + kMountedFlag), 1);
  ASSERT_EQ(volume_.Close(), errOk);
  EXPECT_EQ(U16(File(), 4096 + kMountedFlag), 0);
}

TEST_F(VolumeLifeCycle, ByteSwappedVolumeOpensGrowsAndSwapsBack) {
  std::uint32_t id = 0;
  Bytes native = MakeContainer(512, true, u"Swapped", &id);
  // A data page whose payload is bytes, not numbers: no conversion touches it.
  files_.SetContents(kPath, native);
  ASSERT_EQ(volume_.Open(kPath, false), errOk);
  std::vector<std::uint32_t> stamped;
  auto stamp = [&](std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) {
      PageRef page;
      ASSERT_EQ(volume_.AllocateNewPage(DataPage, nullptr, page), errOk);
      for (std::uint32_t at = kPageHeaderSize; at < 512; ++at)
        page.data()[at] = static_cast<std::uint8_t>(page->PageNumber * 7 + at);
      stamped.push_back(page->PageNumber);
    }
  };
  stamp(3);
  ASSERT_EQ(volume_.Close(), errOk);
  native = File();

  const Bytes swapped = ConvertContainer(native, 512, true);
  EXPECT_EQ(LoadU16(swapped.data() + 2), Swap16(VolumeSignature));
  files_.SetContents(kPath, swapped);

  ProbeResult probe;
  ASSERT_EQ(ProbeFile(files_, kPath, probe), errOk);
  EXPECT_EQ(probe.VolumeId, id);
  EXPECT_EQ(probe.PageSize, 512u);
  EXPECT_EQ(probe.Logo, u"Swapped");

  auto checkStamps = [&] {
    for (const std::uint32_t n : stamped) {
      PageRef page;
      ASSERT_EQ(volume_.GetPage(n, true, DataPage, 0, nullptr, page), errOk) << n;
      EXPECT_EQ(PageNumberOf(page.data()), n);
      for (std::uint32_t at = kPageHeaderSize; at < 512; ++at)
        ASSERT_EQ(page.data()[at], static_cast<std::uint8_t>(n * 7 + at)) << n;
    }
  };

  ASSERT_EQ(volume_.Open(kPath, false), errOk);
  EXPECT_TRUE(volume_.ByteSwapped);
  bool changed = true;
  ASSERT_EQ(volume_.CheckSameVolume(changed), errOk);
  EXPECT_FALSE(changed);
  std::uint32_t openedId = 0;
  ASSERT_EQ(volume_.GetVolumeId(openedId), errOk);
  EXPECT_EQ(openedId, id);
  std::u16string logo;
  ASSERT_EQ(volume_.GetLogo(logo), errOk);
  EXPECT_EQ(logo, u"Swapped");
  {
    PageRef root;
    ASSERT_EQ(volume_.GetPage(2, true, ObjectHeaderPage, 1, nullptr, root), errOk);
    EXPECT_EQ(LoadU16(root.data() + kUsedLength), 84);
  }
  checkStamps();
  // Grow past the second space map group, so a map page is written swapped too.
  stamp(300);
  std::uint32_t objectId = 0;
  ASSERT_EQ(volume_.NextObjectId(objectId), errOk);
  StorageSize swappedSize;
  ASSERT_EQ(volume_.GetStorageSize(swappedSize), errOk);
  ASSERT_EQ(volume_.Close(), errOk);
  EXPECT_EQ(LoadU16(File().data() + 2), Swap16(VolumeSignature));

  files_.SetContents(kPath, ConvertContainer(File(), 512, false));
  ASSERT_EQ(volume_.Open(kPath, false), errOk);
  EXPECT_FALSE(volume_.ByteSwapped);
  ASSERT_EQ(volume_.GetVolumeId(openedId), errOk);
  EXPECT_EQ(openedId, id);
  ASSERT_EQ(volume_.GetLogo(logo), errOk);
  EXPECT_EQ(logo, u"Swapped");
  EXPECT_EQ(volume_.LastObjectId(), objectId);
  checkStamps();
  std::uint16_t entry = 0;
  ASSERT_EQ(volume_.GetMapEntry(256, entry), errOk);
  EXPECT_EQ(entry, 9);
  ASSERT_EQ(volume_.GetMapEntry(stamped.back(), entry), errOk);
  EXPECT_EQ(entry, DataPage);
  StorageSize size;
  ASSERT_EQ(volume_.GetStorageSize(size), errOk);
  EXPECT_EQ(size.Size, swappedSize.Size);
  EXPECT_EQ(size.FreeBytes, swappedSize.FreeBytes);
  bool corrupted = true;
  ASSERT_EQ(volume_.GetCorrupted(corrupted), errOk);
  EXPECT_FALSE(corrupted);
  ASSERT_EQ(volume_.Close(), errOk);
}

TEST_F(VolumeLifeCycle, VolumeBehindAPartitionTableOrBootSectorOpens) {
  struct Prefix {
    std::size_t at;
    Bytes sector;
  };
  struct Case {
    const char* name;
    std::uint32_t pageSize;
    std::vector<Prefix> prefix;
    std::size_t volumeAt;
  };
  const Case cases[] = {
      {"partition table, 4096-byte pages", 4096, {{0, PartitionTable(16)}}, 8192},
      {"partition table, 512-byte pages", 512, {{0, PartitionTable(16)}}, 8192},
      {"boot sector, 16-bit sector count", 4096, {{0, BootSector(512, 16, 0, true)}}, 8192},
      {"boot sector, 32-bit sector count", 4096, {{0, BootSector(512, 0, 24, true)}}, 12288},
      {"boot sector, 4096-byte sectors", 4096, {{0, BootSector(4096, 2, 0, false)}}, 8192},
      {"partition table, then boot sector",
       4096,
       {{0, PartitionTable(16)}, {8192, BootSector(512, 8, 0, true)}},
       12288},
  };
  ASSERT_EQ(volume_.SetUseTransactions(false), errOk);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::uint32_t id = 0;
    const Bytes container = MakeContainer(c.pageSize, false, u"Behind", &id);
    Bytes file;
    for (const Prefix& p : c.prefix) Put(file, p.at, p.sector);
    Put(file, c.volumeAt, container);
    files_.SetContents(kPath, file);

    ProbeResult probe;
    ASSERT_EQ(ProbeFile(files_, kPath, probe), errOk);
    EXPECT_EQ(probe.VolumeId, id);
    EXPECT_EQ(probe.Logo, u"Behind");

    ASSERT_EQ(volume_.Open(kPath, false), errOk);
    EXPECT_EQ(volume_.VolumeStart, c.volumeAt / c.pageSize);
    EXPECT_EQ(volume_.HostPageCount, 3u);
    std::uint32_t openedId = 0;
    ASSERT_EQ(volume_.GetVolumeId(openedId), errOk);
    EXPECT_EQ(openedId, id);
    std::uint32_t page = 0;
    ASSERT_EQ(volume_.AllocatePage(DataPage, nullptr, false, page), errOk);
    EXPECT_EQ(page, 3u);
    ASSERT_EQ(volume_.Close(), errOk);

    const Bytes after = File();
    ASSERT_EQ(after.size(), c.volumeAt + 4 * c.pageSize);
    EXPECT_TRUE(std::equal(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(c.volumeAt),
                           after.begin()))
        << "the boot area was written";
    EXPECT_EQ(U16(after, c.volumeAt + 3 * c.pageSize + kPageType), DataPage);
    EXPECT_EQ(U16(after, c.volumeAt + 6), DataPage);  // map entry of page 3
    ASSERT_EQ(volume_.Open(kPath, false), errOk);
    EXPECT_EQ(volume_.HostPageCount, 4u);
    ASSERT_EQ(volume_.Close(), errOk);
  }
}

// Files that hold no volume: both Open and Probe refuse them, and neither
// writes a byte.
TEST_F(VolumeLifeCycle, FilesWithoutAVolumeAreRefusedUntouched) {
  struct Case {
    std::string name;
    Bytes bytes;
  };
  std::vector<Case> cases;
  cases.push_back({"empty", {}});
  cases.push_back({"511 zeros", Bytes(511, 0)});
  for (const std::size_t size : {512u, 12288u, 65536u})
    cases.push_back({std::to_string(size) + " zeros", Bytes(size, 0)});
  for (const std::uint32_t seed : {1u, 2u, 3u, 4u, 5u, 6u}) {
    std::mt19937 random(seed);
    Bytes bytes(seed * 4096 + 100 * seed);
    for (std::uint8_t& b : bytes) b = static_cast<std::uint8_t>(random());
    cases.push_back({"random, seed " + std::to_string(seed), bytes});
  }
  {
    Bytes file(4096, 0);
    Put(file, 0, PartitionTable(100));
    cases.push_back({"partition table pointing past the end", file});
    Put(file, 0, PartitionTable(0xFFFFFFFFu));
    cases.push_back({"partition table pointing at sector 2^32-1", file});
    Put(file, 0, PartitionTable(0));
    cases.push_back({"partition table without a first partition", file});
  }
  {
    Bytes file(8192, 0);
    Put(file, 0, BootSector(512, 1000, 0, true));
    cases.push_back({"boot sector counting more sectors than the file", file});
    Put(file, 0, BootSector(512, 16, 0, true));
    cases.push_back({"boot sector counting exactly the file", file});
    Put(file, 0, BootSector(512, 0, 0, true));
    cases.push_back({"boot sector counting no sectors", file});
    Put(file, 0, BootSector(4096, 0, 0xFFFFFFFFu, false));
    cases.push_back({"boot sector with a huge 32-bit count", file});
  }
  {
    // Every sector is a partition table pointing at the next one.
    Bytes file;
    for (std::size_t at = 0; at < 64 * 512; at += 512) Put(file, at, PartitionTable(1));
    cases.push_back({"endless chain of partition tables", file});
  }
  const Bytes container = MakeContainer(4096, false);
  {
    Bytes file = container;
    StoreU16(file.data(), 7);
    cases.push_back({"page shift 7", file});
    StoreU16(file.data(), 17);
    cases.push_back({"page shift 17", file});
    file = container;
    std::fill(file.begin() + 4096, file.begin() + 8192, 0);
    cases.push_back({"page 1 not a volume information page", file});
    file = container;
    StoreU32(file.data() + 4096 + kPageNumber, 2);
    cases.push_back({"page 1 numbered 2", file});
    file = container;
    std::swap(file[0], file[1]);
    std::swap(file[2], file[3]);
    cases.push_back({"swapped signature over a native page 1", file});
    file.assign(512, 0);
    Put(file, 0, PartitionTable(1));
    Put(file, 512, container);
    cases.push_back({"volume behind a partition, not on a page boundary", file});
  }
  // A fresh container cut short: at every 512-byte boundary and inside page 1.
  for (const std::uint32_t pageSize : {512u, 4096u}) {
    const Bytes fresh = pageSize == 4096 ? container : MakeContainer(pageSize, false);
    std::vector<std::size_t> cuts;
    for (std::size_t cut = 0; cut < fresh.size(); cut += 512) cuts.push_back(cut);
    for (const std::size_t inside : {pageSize + 1, pageSize + 300, 2 * pageSize - 1})
      cuts.push_back(inside);
    for (const std::size_t cut : cuts)
      cases.push_back(
          {"container of " + std::to_string(pageSize) + "-byte pages cut at " + std::to_string(cut),
           Bytes(fresh.begin(), fresh.begin() + static_cast<std::ptrdiff_t>(cut))});
  }

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    files_.SetContents(kPath, c.bytes);
    files_.ResetFaults();
    for (const bool readOnly : {false, true}) {
      EXPECT_EQ(volume_.Open(kPath, readOnly), errInvalidStorageFile);
      EXPECT_FALSE(volume_.Active);
    }
    ProbeResult probe;
    EXPECT_EQ(volume_.Probe(kPath, probe), errInvalidStorageFile);
    EXPECT_EQ(files_.WriteCount(), 0u);
    EXPECT_EQ(File(), c.bytes);
    EXPECT_EQ(files_.OpenHandleCount(), 0u);
  }
}

// A valid signature and information page in front of random pages: a
// writable open may write (it is a volume), but nothing may crash or leak.
TEST_F(VolumeLifeCycle, RandomPagesBehindAValidHeaderNeverCrash) {
  for (const std::uint32_t seed : {11u, 12u, 13u, 14u, 15u, 16u, 17u, 18u, 19u, 20u}) {
    SCOPED_TRACE(seed);
    std::mt19937 random(seed);
    Bytes file(16 * 512);
    for (std::uint8_t& b : file) b = static_cast<std::uint8_t>(random());
    StoreU16(file.data(), 9);
    StoreU16(file.data() + 2, VolumeSignature);
    StoreU16(file.data() + 512 + kPageType, VolumeSignature);
    StoreU32(file.data() + 512 + kPageNumber, 1);
    if (seed % 2 == 0) StoreU16(file.data() + 512 + kFixedSize, 0);

    files_.SetContents(kPath, file);
    ProbeResult probe;
    EXPECT_EQ(ProbeFile(files_, kPath, probe), errOk);
    EXPECT_EQ(probe.PageSize, 512u);

    if (volume_.Open(kPath, true) == errOk) {
      StorageSize size;
      (void)volume_.GetStorageSize(size);
      for (std::uint32_t n = 0; n < 20; ++n) {
        PageRef page;
        (void)volume_.GetPage(n, true, -1, 0, nullptr, page);
      }
      EXPECT_EQ(volume_.Close(), errOk);
    }
    EXPECT_EQ(File(), file) << "a read-only open wrote";

    const EngineResult opened = volume_.Open(kPath, false);
    if (opened == errOk) {
      StorageSize size;
      (void)volume_.GetStorageSize(size);
      for (int i = 0; i < 4; ++i) {
        std::uint32_t page = 0;
        (void)volume_.AllocatePage(DataPage, nullptr, false, page);
        PageRef fresh;
        (void)volume_.AllocateNewPage(DataPage, nullptr, fresh);
      }
      (void)volume_.SetLogo(u"after");
      (void)volume_.Close();
    }
    EXPECT_FALSE(volume_.Active);
    EXPECT_EQ(files_.OpenHandleCount(), 0u);
  }
}

TEST_F(VolumeLifeCycle, SameVolumeCheckNoticesAReplacedFile) {
  ASSERT_EQ(volume_.SetUseTransactions(false), errOk);
  ASSERT_EQ(volume_.Create(kPath, true, 4096, u""), errOk);
  const Bytes original = File();
  Bytes otherId = original;
  StoreU32(otherId.data() + 4096 + kVolumeId, U32(original, 4096 + kVolumeId) + 1);
  Bytes otherPageSize = MakeContainer(512, false);
  otherPageSize.resize(original.size(), 0);
  struct Case {
    const char* name;
    Bytes replacement;
    bool changed;
  };
  const Case cases[] = {
      {"same bytes", original, false},
      {"another volume id", otherId, true},
      {"another page size", otherPageSize, true},
      {"zeros", Bytes(original.size(), 0), true},
      {"empty", {}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    files_.SetContents(kPath, c.replacement);
    bool changed = !c.changed;
    ASSERT_EQ(volume_.CheckSameVolume(changed), errOk);
    EXPECT_EQ(changed, c.changed);
  }
  files_.SetContents(kPath, original);
  ASSERT_EQ(volume_.Close(), errOk);
  bool changed = false;
  EXPECT_EQ(volume_.CheckSameVolume(changed), errStorageNotActive);
}

TEST_F(VolumeLifeCycle, StorageSizeCountsTheFileAndItsFreePages) {
  ASSERT_EQ(volume_.Create(kPath, true, 4096, u""), errOk);
  StorageSize size;
  ASSERT_EQ(volume_.GetStorageSize(size), errOk);
  EXPECT_FALSE(size.FixedSize);
  EXPECT_EQ(size.Size, 16384u);  // page 3 holds the transaction table
  EXPECT_EQ(size.FreeBytes, 0u);
  std::uint32_t page = 0;
  ASSERT_EQ(volume_.AllocatePage(DataPage, nullptr, false, page), errOk);
  ASSERT_EQ(volume_.GetStorageSize(size), errOk);
  EXPECT_EQ(size.Size, 6u * 4096);  // 4 pages grow by 4/4 + 1
  EXPECT_EQ(size.FreeBytes, 4096u);
  ASSERT_EQ(volume_.Close(), errOk);

  ASSERT_EQ(volume_.Open(kPath, true), errOk);
  ASSERT_EQ(volume_.GetStorageSize(size), errOk);
  EXPECT_EQ(size.Size, 6u * 4096);
  EXPECT_EQ(size.FreeBytes, 2u * 4096);  // the table page is free again when closed
  ASSERT_EQ(volume_.Close(), errOk);
  EXPECT_EQ(volume_.GetStorageSize(size), errStorageNotActive);
}

TEST_F(VolumeLifeCycle, NextObjectIdCountsUpAndIsWrittenAtOnce) {
  ASSERT_EQ(volume_.Create(kPath, true, 512, u""), errOk);
  for (const std::uint32_t expected : {2u, 3u, 4u}) {
    std::uint32_t id = 0;
    ASSERT_EQ(volume_.NextObjectId(id), errOk);
    EXPECT_EQ(id, expected);
    EXPECT_EQ(U32(File(), 512 + kLastObjectId), expected);
  }
  ASSERT_EQ(volume_.Close(), errOk);
  std::uint32_t id = 0;
  EXPECT_EQ(volume_.NextObjectId(id), errStorageNotActive);
  ASSERT_EQ(volume_.Open(kPath, false), errOk);
  ASSERT_EQ(volume_.NextObjectId(id), errOk);
  EXPECT_EQ(id, 5u);
  ASSERT_EQ(volume_.Close(), errOk);
}

TEST_F(VolumeLifeCycle, MaxPageCountIsNeverBelowTheUsedArea) {
  ASSERT_EQ(volume_.SetUseTransactions(false), errOk);
  ASSERT_EQ(volume_.Create(kPath, true, 4096, u""), errOk);
  for (int i = 0; i < 30; ++i) {
    std::uint32_t page = 0;
    ASSERT_EQ(volume_.AllocatePage(DataPage, nullptr, false, page), errOk);
  }
  ASSERT_EQ(volume_.Close(), errOk);
  const std::uint32_t used = static_cast<std::uint32_t>(File().size() / 4096);

  // Freshly opened, the used area is not known until the map is scanned.
  ASSERT_EQ(volume_.Open(kPath, false), errOk);
  struct Case {
    std::uint32_t count;
    EngineResult expected;
  };
  const Case cases[] = {{0, errInvalidParameter},
                        {1, errInvalidParameter},
                        {used - 1, errInvalidParameter},
                        {used, errOk},
                        {used + 100, errOk}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.count);
    std::uint32_t before = 0;
    ASSERT_EQ(volume_.GetMaxPageCount(before), errOk);
    EXPECT_EQ(volume_.SetMaxPageCount(c.count), c.expected);
    std::uint32_t after = 0;
    ASSERT_EQ(volume_.GetMaxPageCount(after), errOk);
    EXPECT_EQ(after, c.expected == errOk ? c.count : before);
    EXPECT_EQ(U32(File(), 4096 + kMaxPageCount), after);
  }
  ASSERT_EQ(volume_.Close(), errOk);
  ASSERT_EQ(volume_.Open(kPath, false), errOk);
  std::uint32_t count = 0;
  ASSERT_EQ(volume_.GetMaxPageCount(count), errOk);
  EXPECT_EQ(count, used + 100);
  ASSERT_EQ(volume_.Close(), errOk);
  EXPECT_EQ(volume_.SetMaxPageCount(used), errStorageNotActive);
  EXPECT_EQ(volume_.GetMaxPageCount(count), errStorageNotActive);
}

TEST_F(VolumeLifeCycle, CallsAreRefusedInTheWrongState) {
  std::uint32_t number = 0;
  bool flag = false;
  std::u16string text;
  StorageSize size;
  ProbeResult probe;
  PageRef page;
  Bytes buffer(4096);
  const std::vector<std::pair<const char*, std::function<EngineResult()>>> whileClosed = {
      {"GetLogo", [&] { return volume_.GetLogo(text); }},
      {"SetLogo", [&] { return volume_.SetLogo(u"x"); }},
      {"GetMaxPageCount", [&] { return volume_.GetMaxPageCount(number); }},
      {"SetMaxPageCount", [&] { return volume_.SetMaxPageCount(100); }},
      {"GetVolumeId", [&] { return volume_.GetVolumeId(number); }},
      {"GetCorrupted", [&] { return volume_.GetCorrupted(flag); }},
      {"CheckSameVolume", [&] { return volume_.CheckSameVolume(flag); }},
      {"NextObjectId", [&] { return volume_.NextObjectId(number); }},
      {"GetStorageSize", [&] { return volume_.GetStorageSize(size); }},
      {"GetPage", [&] { return volume_.GetPage(2, true, -1, 0, nullptr, page); }},
      {"AllocatePage", [&] { return volume_.AllocatePage(DataPage, nullptr, false, number); }},
      {"ReadPage", [&] { return volume_.ReadPage(1, buffer.data()); }},
      {"WritePage", [&] { return volume_.WritePage(1, buffer.data()); }},
  };
  const std::vector<std::pair<const char*, std::function<EngineResult()>>> whileOpen = {
      {"SetHostFileCallbacks", [&] { return volume_.SetHostFileCallbacks(files_.Callbacks()); }},
      {"UseSystemFiles", [&] { return volume_.UseSystemFiles(); }},
      {"SetPathSeparator", [&] { return volume_.SetPathSeparator(u'\\'); }},
      {"SetUseTransactions", [&] { return volume_.SetUseTransactions(false); }},
      {"SetUseAccessTime", [&] { return volume_.SetUseAccessTime(true); }},
      {"Create", [&] { return volume_.Create(u"other.vfs", false, 4096, u""); }},
      {"Open", [&] { return volume_.Open(kPath, false); }},
      {"Probe", [&] { return volume_.Probe(kPath, probe); }},
  };
  for (const auto& [name, call] : whileClosed) EXPECT_EQ(call(), errStorageNotActive) << name;
  EXPECT_EQ(volume_.Close(), errOk);
  ASSERT_EQ(volume_.Create(kPath, false, 4096, u""), errOk);
  for (const auto& [name, call] : whileOpen) EXPECT_EQ(call(), errStorageActive) << name;
  EXPECT_FALSE(files_.Exists(u"other.vfs"));
  EXPECT_TRUE(volume_.UseTransactions);
  EXPECT_EQ(volume_.PathSeparator, u'/');
  ASSERT_EQ(volume_.Close(), errOk);
  for (const auto& [name, call] : whileClosed) EXPECT_EQ(call(), errStorageNotActive) << name;
  EXPECT_EQ(volume_.Create(kPath, false, 4096, u""), EEXIST);
  EXPECT_EQ(volume_.Open(u"missing.vfs", false), ENOENT);
  EXPECT_EQ(volume_.Probe(u"missing.vfs", probe), ENOENT);
  EXPECT_EQ(files_.OpenHandleCount(), 0u);
}

TEST_F(VolumeLifeCycle, AFailedWriteDuringCreateOrOpenLeavesNothingOpen) {
  // Create writes pages 0, 1 and 2, then mounts the transaction table: page 3
  // appended, page 1, page 3.
  for (std::uint64_t failing = 1; failing <= 6; ++failing) {
    SCOPED_TRACE("create, write " + std::to_string(failing));
    files_.ResetFaults();
    files_.FailWrite(failing, ENOSPC);
    EXPECT_EQ(volume_.Create(kPath, true, 4096, u""), ENOSPC);
    EXPECT_FALSE(volume_.Active);
    EXPECT_EQ(files_.OpenHandleCount(), 0u);
  }
  files_.ResetFaults();
  ASSERT_EQ(volume_.Create(kPath, true, 4096, u""), errOk);
  ASSERT_EQ(volume_.Close(), errOk);

  // Open marks the volume mounted (page 1), then mounts the table: page 1, page 3.
  for (std::uint64_t failing = 1; failing <= 3; ++failing) {
    SCOPED_TRACE("open, write " + std::to_string(failing));
    files_.ResetFaults();
    files_.FailWrite(failing, ENOSPC);
    EXPECT_EQ(volume_.Open(kPath, false), ENOSPC);
    EXPECT_FALSE(volume_.Active);
    EXPECT_TRUE(volume_.UseTransactions);
    EXPECT_EQ(files_.OpenHandleCount(), 0u);
    files_.ResetFaults();
    ASSERT_EQ(volume_.Open(kPath, false), errOk);
    bool corrupted = true;
    ASSERT_EQ(volume_.GetCorrupted(corrupted), errOk);
    EXPECT_FALSE(corrupted);
    ASSERT_EQ(volume_.Close(), errOk);
    EXPECT_EQ(U16(File(), 4096 + kMountedFlag), 0);
  }
}

TEST_F(VolumeLifeCycle, CloseRunsEveryStepAndReportsTheFirstFailure) {
  ASSERT_EQ(volume_.Create(kPath, true, 4096, u""), errOk);
  std::uint32_t page = 0;
  ASSERT_EQ(volume_.AllocatePage(DataPage, nullptr, false, page), errOk);
  files_.ResetFaults();
  files_.FailWrite(1, EIO);  // the first write of the close
  EXPECT_EQ(volume_.Close(), EIO);
  EXPECT_FALSE(volume_.Active);
  EXPECT_EQ(files_.OpenHandleCount(), 0u);
  const Bytes file = File();
  EXPECT_EQ(U16(file, 4096 + kMountedFlag), 0) << "the information page was not written";
  EXPECT_EQ(U16(file, 2 * page), DataPage) << "the space map was not written";
}

}  // namespace
}  // namespace vaultfs
