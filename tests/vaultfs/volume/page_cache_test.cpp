// The page cache and whole-page I/O: eviction of released pages, write-back of
// dirty ones, the page cipher hook, and the checks that flag a damaged volume.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "vaultfs/util/byte_order.h"
#include "vaultfs/format/page_layout.h"
#include "vaultfs/volume/volume.h"
#include "support/volume_fixture.h"

namespace vaultfs {
namespace {

using namespace layout;
using Bytes = std::vector<std::uint8_t>;

const std::u16string kPath = u"cache.vfs";
constexpr std::uint32_t kPageSize = 512;

std::uint8_t Stamp(std::uint32_t page, std::uint32_t at) {
  return static_cast<std::uint8_t>(page * 13 + at);
}

// XOR with a key stream drawn from the tweak: enciphering and deciphering are
// the same step, and a payload changes with the page number it is bound to.
class XorCipher : public PageCipherHook {
 public:
  explicit XorCipher(EngineResult failure = errOk) : failure_(failure) {}

  EngineResult Encipher(std::uint8_t* data, std::uint32_t size, std::uint32_t a,
                        std::uint32_t b) override {
    return Apply(data, size, a, b);
  }
  EngineResult Decipher(std::uint8_t* data, std::uint32_t size, std::uint32_t a,
                        std::uint32_t b) override {
    return Apply(data, size, a, b);
  }

  static std::uint8_t KeyByte(std::uint32_t at, std::uint32_t a, std::uint32_t b) {
    return static_cast<std::uint8_t>(at * 31 + a * 7 + b * 131 + (b >> 8) + 0x5A);
  }

  std::uint32_t lastA = 0;
  std::uint32_t lastB = 0;
  int calls = 0;

 private:
  EngineResult Apply(std::uint8_t* data, std::uint32_t size, std::uint32_t a, std::uint32_t b) {
    ++calls;
    lastA = a;
    lastB = b;
    if (failure_ != errOk) return failure_;
    for (std::uint32_t i = 0; i < size; ++i) data[i] ^= KeyByte(i, a, b);
    return errOk;
  }

  EngineResult failure_;
};

class PageCache : public testing::HostedVolumeTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(HostedVolumeTest::SetUp());
    ASSERT_EQ(volume_.SetUseTransactions(false), errOk);
    ASSERT_EQ(volume_.Create(kPath, false, kPageSize, u""), errOk);
  }

  // Allocates `count` data pages whose payloads are stamped with their page
  // numbers, then reopens so that the cache starts empty.
  void MakeDataPages(std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      PageRef page;
      ASSERT_EQ(volume_.AllocateNewPage(DataPage, nullptr, page), errOk);
      for (std::uint32_t at = kPageHeaderSize; at < kPageSize; ++at)
        page.data()[at] = Stamp(page->PageNumber, at);
      pages_.push_back(page->PageNumber);
    }
    ASSERT_EQ(volume_.Close(), errOk);
    ASSERT_EQ(volume_.Open(kPath, false), errOk);
    ASSERT_EQ(volume_.LoadedPageCount(), 0u);
  }

  Bytes FilePage(std::uint32_t n) const {
    const Bytes file = files_.Contents(kPath);
    if (file.size() < (n + 1) * std::size_t{kPageSize}) return {};
    return Bytes(file.begin() + n * kPageSize, file.begin() + (n + 1) * kPageSize);
  }

  bool HasData(std::uint32_t n) {
    return volume_.IsCached(n, true);
  }

  bool Corrupted() {
    bool corrupted = false;
    EXPECT_EQ(volume_.GetCorrupted(corrupted), errOk);
    return corrupted;
  }

  std::vector<std::uint32_t> pages_;
};

TEST_F(PageCache, KeepsTheLastReleasedPagesAndWritesDirtyOnesBeforeDropping) {
  MakeDataPages(300);
  const std::uint32_t earlyDirty = pages_[10];  // among the 44 released first
  const std::uint32_t lateDirty = pages_[200];  // among the 256 kept
  const Bytes earlyBefore = FilePage(earlyDirty);
  const Bytes lateBefore = FilePage(lateDirty);

  for (const std::uint32_t n : pages_) {
    PageRef page;
    ASSERT_EQ(volume_.GetPage(n, true, DataPage, 0, nullptr, page), errOk);
    ASSERT_EQ(page.data()[100], Stamp(n, 100)) << n;
    if (n == earlyDirty || n == lateDirty) {
      page.data()[100] ^= 0xFF;
      ASSERT_EQ(volume_.MarkDirty(page.get(), nullptr), errOk);
    }
  }

  EXPECT_EQ(volume_.LoadedPageCount(), kCacheLimit);
  for (std::size_t i = 0; i < pages_.size(); ++i)
    EXPECT_EQ(HasData(pages_[i]), i >= 44) << "page " << pages_[i] << ", released " << i;
  Bytes earlyAfter = FilePage(earlyDirty);
  EXPECT_EQ(earlyAfter[100], static_cast<std::uint8_t>(earlyBefore[100] ^ 0xFF));
  earlyAfter[100] = earlyBefore[100];
  EXPECT_EQ(earlyAfter, earlyBefore);
  EXPECT_EQ(FilePage(lateDirty), lateBefore);

  ASSERT_EQ(volume_.FlushCache(), errOk);
  EXPECT_EQ(volume_.LoadedPageCount(), 0u);
  EXPECT_EQ(volume_.CachedBufferCount(), 0u);
  EXPECT_EQ(FilePage(lateDirty)[100], static_cast<std::uint8_t>(lateBefore[100] ^ 0xFF));
}

// A dirty page whose write-back fails is kept, changes and all, and written
// by a later trim or flush; nothing is dropped unwritten.
TEST_F(PageCache, AFailedWriteBackKeepsThePageForALaterTry) {
  MakeDataPages(300);
  const std::uint32_t dirty = pages_[0];
  files_.ResetFaults();
  for (const std::uint64_t n : {1u, 2u, 3u}) files_.FailWrite(n, ENOSPC);
  for (const std::uint32_t n : pages_) {
    PageRef page;
    ASSERT_EQ(volume_.GetPage(n, true, DataPage, 0, nullptr, page), errOk);
    if (n == dirty) {
      page.data()[100] ^= 0xFF;
      ASSERT_EQ(volume_.MarkDirty(page.get(), nullptr), errOk);
    }
  }
  EXPECT_EQ(files_.WriteCount(), 4u) << "three failures, then the write that worked";
  EXPECT_EQ(FilePage(dirty)[100], static_cast<std::uint8_t>(Stamp(dirty, 100) ^ 0xFF));
  EXPECT_EQ(volume_.LoadedPageCount(), kCacheLimit);

  // The same through a flush: the failure is reported and the page stays.
  PageRef page;
  ASSERT_EQ(volume_.GetPage(pages_[299], true, DataPage, 0, nullptr, page), errOk);
  page.data()[100] ^= 0xFF;
  ASSERT_EQ(volume_.MarkDirty(page.get(), nullptr), errOk);
  page = PageRef();
  files_.FailWrite(files_.WriteCount() + 1, ENOSPC);
  EXPECT_EQ(volume_.FlushCache(), ENOSPC);
  EXPECT_TRUE(HasData(pages_[299]));
  ASSERT_EQ(volume_.FlushCache(), errOk);
  EXPECT_EQ(volume_.LoadedPageCount(), 0u);
  EXPECT_EQ(FilePage(pages_[299])[100], static_cast<std::uint8_t>(Stamp(pages_[299], 100) ^ 0xFF));
}

TEST_F(PageCache, AHeldPageIsNeverEvicted) {
  MakeDataPages(300);
  const std::uint32_t held = pages_[0];
  PageRef page;
  ASSERT_EQ(volume_.GetPage(held, true, DataPage, 0, nullptr, page), errOk);
  const std::uint8_t* data = page.data();
  page.data()[40] = 0xEE;
  ASSERT_EQ(volume_.MarkDirty(page.get(), nullptr), errOk);

  for (std::size_t i = 1; i < pages_.size(); ++i) {
    PageRef other;
    ASSERT_EQ(volume_.GetPage(pages_[i], true, DataPage, 0, nullptr, other), errOk);
  }
  // The limit counts the held page too; only unreferenced pages make room.
  EXPECT_EQ(volume_.LoadedPageCount(), kCacheLimit);
  ASSERT_EQ(volume_.FlushCache(), errOk);
  EXPECT_EQ(volume_.LoadedPageCount(), 1u);
  ASSERT_TRUE(HasData(held));
  EXPECT_EQ(page.data(), data);
  EXPECT_EQ(page.data()[40], 0xEE);
  EXPECT_EQ(page.data()[41], Stamp(held, 41));

  // Fetched again, the same buffer and image come back.
  {
    PageRef again;
    ASSERT_EQ(volume_.GetPage(held, true, DataPage, 0, nullptr, again), errOk);
    EXPECT_EQ(again.get(), page.get());
    EXPECT_EQ(page->RefCount.load(), 2u);
  }
  ASSERT_EQ(volume_.WriteAllDirty(), errOk);
  EXPECT_EQ(FilePage(held)[40], 0xEE);
  page = PageRef();
  ASSERT_EQ(volume_.FlushCache(), errOk);
  EXPECT_EQ(volume_.LoadedPageCount(), 0u);
}

// Several threads share the cache while it evicts: every holder keeps an
// intact image, and each thread's changes to its own pages reach the file.
TEST_F(PageCache, ThreadsShareTheCacheWhileItEvicts) {
  MakeDataPages(300);
  constexpr int kThreads = 4;
  std::vector<std::map<std::uint32_t, int>> changes(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t, &changes] {
      for (std::uint32_t i = 0; i < 1500; ++i) {
        const std::uint32_t n = pages_[(i * 7 + static_cast<std::uint32_t>(t) * 61) % 300];
        PageRef page;
        ASSERT_EQ(volume_.GetPage(n, true, DataPage, 0, nullptr, page), errOk);
        for (std::uint32_t at = 200; at < kPageSize; at += 37)
          ASSERT_EQ(page.data()[at], Stamp(n, at)) << n;
        if (n % kThreads == static_cast<std::uint32_t>(t)) {
          ++page.data()[100];
          ASSERT_EQ(volume_.MarkDirty(page.get(), nullptr), errOk);
          ++changes[static_cast<std::size_t>(t)][n];
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_LE(volume_.LoadedPageCount(), kCacheLimit);
  ASSERT_EQ(volume_.Close(), errOk);
  for (const auto& owned : changes)
    for (const auto& [n, count] : owned)
      EXPECT_EQ(FilePage(n)[100], static_cast<std::uint8_t>(Stamp(n, 100) + count)) << n;
}

// Which page kinds the cipher covers, and that only their payloads change.
TEST_F(PageCache, WritePageEnciphersOnlyThePayloadOfEncipheredPageKinds) {
  MakeDataPages(4);
  auto cipher = std::make_shared<XorCipher>();
  volume_.ReadKey = cipher;
  volume_.WriteKey = cipher;
  const std::uint32_t n = pages_[2];
  struct Case {
    const char* name;
    std::uint16_t type;
    std::uint32_t owner;
    bool enciphered;
  };
  const Case cases[] = {
      {"data", DataPage, 9, true},
      {"name continuation", NameContinuationPage, 9, true},
      {"directory entries", DirectoryEntryPage, 9, true},
      {"link data", LinkDataPage, 9, true},
      {"block index", BlockIndexPage, 9, true},
      {"header of another object", ObjectHeaderPage, 2, true},
      {"header of the root", ObjectHeaderPage, 1, false},
      {"header without owner", ObjectHeaderPage, 0, false},
      {"root data", RootDataPage, 1, false},
      {"free", kFreePageType, 0, false},
      {"volume information", VolumeSignature, 0, false},
      {"transaction table", TransactionTablePage, 0, false},
      {"journal", JournalPage, 0, false},
      {"journal free record", kJournalFreeRecord, 0, false},
      {"journal rewrite record", kJournalRewriteRecord, 0, false},
      {"space map", 9, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes image(kPageSize);
    for (std::uint32_t at = 0; at < kPageSize; ++at) image[at] = Stamp(77, at);
    StoreU16(image.data() + kPageType, c.type);
    StoreU32(image.data() + kPageNumber, n);
    StoreU32(image.data() + kOwnerId, c.owner);
    const Bytes plain = image;

    ASSERT_EQ(volume_.WritePage(n, image.data()), errOk);
    EXPECT_EQ(image, plain) << "the caller's buffer changed";
    const Bytes stored = FilePage(n);
    for (std::uint32_t at = 0; at < kPageSize; ++at) {
      const bool changed = c.enciphered && at >= kPageHeaderSize;
      const std::uint8_t expected =
          changed ? static_cast<std::uint8_t>(
                        plain[at] ^ XorCipher::KeyByte(at - kPageHeaderSize, kPageSize, n))
                  : plain[at];
      ASSERT_EQ(stored[at], expected) << "byte " << at;
    }
    Bytes read(kPageSize);
    ASSERT_EQ(volume_.ReadPage(n, read.data()), errOk);
    EXPECT_EQ(read, plain);
  }
}

TEST_F(PageCache, TheCipherTweakIsThePageNumberField) {
  MakeDataPages(6);
  auto cipher = std::make_shared<XorCipher>();
  volume_.ReadKey = cipher;
  volume_.WriteKey = cipher;
  auto image = [](std::uint32_t number) {
    Bytes page(kPageSize);
    for (std::uint32_t at = kPageHeaderSize; at < kPageSize; ++at) page[at] = Stamp(5, at);
    StoreU16(page.data() + kPageType, DataPage);
    StoreU32(page.data() + kPageNumber, number);
    StoreU32(page.data() + kOwnerId, 9);
    return page;
  };
  auto payload = [](const Bytes& page) {
    return Bytes(page.begin() + kPageHeaderSize, page.end());
  };
  const std::uint32_t first = pages_[1], second = pages_[2], shadow = pages_[4];

  ASSERT_EQ(volume_.WritePage(first, image(first).data()), errOk);
  EXPECT_EQ(cipher->lastA, kPageSize);
  EXPECT_EQ(cipher->lastB, first);
  ASSERT_EQ(volume_.WritePage(second, image(second).data()), errOk);
  EXPECT_NE(payload(FilePage(first)), payload(FilePage(second)));

  // Written elsewhere (a shadow copy), the page keeps the cipher of its number.
  ASSERT_EQ(volume_.WritePage(shadow, image(first).data()), errOk);
  EXPECT_EQ(cipher->lastB, first);
  EXPECT_EQ(FilePage(shadow), FilePage(first));
  Bytes read(kPageSize);
  ASSERT_EQ(volume_.ReadPage(shadow, read.data()), errOk);
  EXPECT_EQ(read, image(first));

  // No random element: the same page twice gives the same bytes.
  const Bytes once = FilePage(first);
  ASSERT_EQ(volume_.WritePage(first, image(first).data()), errOk);
  EXPECT_EQ(FilePage(first), once);
}

TEST_F(PageCache, CipherFailuresAndALockedStorage) {
  MakeDataPages(3);
  const std::uint32_t n = pages_[1];
  const Bytes before = FilePage(n);
  Bytes image = before;
  image[100] ^= 0x11;

  // A failing cipher stops the write before anything reaches the file; plain
  // pages never ask it.
  auto failing = std::make_shared<XorCipher>(errNoEncryptionHandlers);
  volume_.WriteKey = failing;
  volume_.ReadKey = failing;
  EXPECT_EQ(volume_.WritePage(n, image.data()), errNoEncryptionHandlers);
  EXPECT_EQ(FilePage(n), before);
  Bytes read(kPageSize);
  EXPECT_EQ(volume_.ReadPage(n, read.data()), errNoEncryptionHandlers);
  const int calls = failing->calls;
  EXPECT_EQ(volume_.ReadPage(2, read.data()), errOk);
  EXPECT_EQ(volume_.ReadPage(0, read.data()), errOk);
  EXPECT_EQ(failing->calls, calls);

  // Locked: enciphered pages do not read, the root's own pages still do.
  volume_.WriteKey.reset();
  volume_.ReadKey.reset();
  volume_.StorageUnlocked = false;
  EXPECT_EQ(volume_.ReadPage(n, read.data()), errInvalidPassword);
  PageRef page;
  EXPECT_EQ(volume_.GetPage(n, true, DataPage, 0, nullptr, page), errInvalidPassword);
  EXPECT_FALSE(page);
  EXPECT_EQ(volume_.ReadPage(2, read.data()), errOk);
  EXPECT_EQ(volume_.ReadPage(1, read.data()), errOk);
  volume_.StorageUnlocked = true;
  EXPECT_EQ(volume_.ReadPage(n, read.data()), errOk);
  EXPECT_EQ(read, before);
}

TEST_F(PageCache, ReadingPastTheEndFlagsTheVolumeCorrupted) {
  for (const std::uint32_t offset : {0u, 1u, 1000u}) {
    SCOPED_TRACE(offset);
    ASSERT_EQ(volume_.Close(), errOk);
    ASSERT_EQ(volume_.Create(kPath, true, kPageSize, u""), errOk);
    ASSERT_FALSE(Corrupted());
    Bytes read(kPageSize);
    EXPECT_EQ(volume_.ReadPage(volume_.HostPageCount + offset, read.data()), errStorageCorrupted);
    EXPECT_TRUE(Corrupted());
    EXPECT_EQ(LoadU32(FilePage(1).data() + kVolumeFlags) & vfCorrupted, vfCorrupted)
        << "the flag was not written at once";
    ASSERT_EQ(volume_.Close(), errOk);
    ProbeResult probe;
    ASSERT_EQ(volume_.Probe(kPath, probe), errOk);
    EXPECT_TRUE(probe.Corrupted);
  }
  Bytes read(kPageSize);
  EXPECT_EQ(volume_.ReadPage(0xFFFFFFFFu, read.data()), errStorageNotActive);

  // Read-only, the flag is known but the file stays as it was.
  ASSERT_EQ(volume_.Create(kPath, true, kPageSize, u""), errOk);
  ASSERT_EQ(volume_.Close(), errOk);
  const Bytes before = files_.Contents(kPath);
  ASSERT_EQ(volume_.Open(kPath, true), errOk);
  EXPECT_EQ(volume_.ReadPage(volume_.HostPageCount, read.data()), errStorageCorrupted);
  EXPECT_TRUE(Corrupted());
  ASSERT_EQ(volume_.Close(), errOk);
  EXPECT_EQ(files_.Contents(kPath), before);
}

TEST_F(PageCache, AnUnexpectedTypeOrOwnerFlagsTheVolumeCorrupted) {
  struct Case {
    const char* name;
    bool mapPage;  // fetch page 0 instead of a data page
    int type;
    std::uint32_t owner;
    bool accepted;
  };
  const Case cases[] = {
      {"right type and owner", false, DataPage, 0, true},
      {"no check", false, -1, 77, true},
      {"space map where one is", true, 9, 0, true},
      {"other type", false, ObjectHeaderPage, 0, false},
      {"other owner", false, DataPage, 5, false},
      {"space map where a data page is", false, 9, 0, false},
      {"data page where a space map is", true, DataPage, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(volume_.Close(), errOk);
    ASSERT_EQ(volume_.Create(kPath, true, kPageSize, u""), errOk);
    pages_.clear();
    MakeDataPages(2);
    const std::uint32_t n = c.mapPage ? 0 : pages_[1];
    PageRef page;
    const EngineResult got = volume_.GetPage(n, true, c.type, c.owner, nullptr, page);
    if (c.accepted) {
      EXPECT_EQ(got, errOk);
      EXPECT_TRUE(page);
      EXPECT_FALSE(Corrupted());
    } else {
      EXPECT_EQ(got, errStorageCorrupted);
      EXPECT_FALSE(page);
      EXPECT_TRUE(Corrupted());
      EXPECT_EQ(LoadU32(FilePage(1).data() + kVolumeFlags) & vfCorrupted, vfCorrupted);
      EXPECT_EQ(volume_.CachedBufferCount(), 0u) << "the failed buffer stayed";
    }
    page = PageRef();
    ASSERT_EQ(volume_.Close(), errOk);
  }
}

TEST_F(PageCache, DeletingAPageSomeoneElseHoldsIsRefused) {
  MakeDataPages(3);
  const std::uint32_t n = pages_[1];
  PageRef mine, theirs;
  ASSERT_EQ(volume_.GetPage(n, true, DataPage, 0, nullptr, mine), errOk);
  ASSERT_EQ(volume_.GetPage(n, true, DataPage, 0, nullptr, theirs), errOk);
  StorageSize size;
  ASSERT_EQ(volume_.GetStorageSize(size), errOk);  // scans the map, so the counts are known
  const std::uint32_t freeBefore = volume_.FreeCount();

  EXPECT_EQ(volume_.DeletePage(mine.Detach(), nullptr), errSharingViolation);
  EXPECT_EQ(theirs->RefCount.load(), 1u) << "the caller's reference was not consumed";
  EXPECT_EQ(theirs.data()[100], Stamp(n, 100));
  std::uint16_t entry = 0;
  ASSERT_EQ(volume_.GetMapEntry(n, entry), errOk);
  EXPECT_EQ(entry, DataPage);
  EXPECT_EQ(volume_.FreeCount(), freeBefore);

  // Once it is the only reference, the page goes and its space is free.
  EXPECT_EQ(volume_.DeletePage(theirs.Detach(), nullptr), errOk);
  EXPECT_FALSE(volume_.IsCached(n));
  ASSERT_EQ(volume_.GetMapEntry(n, entry), errOk);
  EXPECT_EQ(entry, 0);
  EXPECT_EQ(volume_.FreeCount(), freeBefore + 1);
  std::uint32_t again = 0;
  ASSERT_EQ(volume_.AllocatePage(DataPage, nullptr, false, again), errOk);
  EXPECT_EQ(again, n);
}

}  // namespace
}  // namespace vaultfs
