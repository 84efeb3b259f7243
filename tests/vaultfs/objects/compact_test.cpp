// Compaction and resizing of open volumes: a tree with holes everywhere
// shrinks to exactly the pages it uses, with every file, link, loaded
// directory index and open handle still right; automatic compaction after a
// commit; what keeps a compaction from running; damage found before anything
// is written; crashes at every write of a compaction; growing and shrinking
// with SetStorageSize, fixed-size volumes included.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/memory_host_files.h"
#include "support/sample_data.h"
#include "support/structure_check.h"
#include "support/volume_fixture.h"
#include "vaultfs/maintenance/format.h"
#include "vaultfs/objects/codecs.h"
#include "vaultfs/objects/file_data.h"
#include "vaultfs/objects/file_object.h"
#include "vaultfs/objects/path_ops.h"
#include "vaultfs/objects/search.h"
#include "vaultfs/objects/storage_password.h"
#include "vaultfs/progress.h"

namespace vaultfs {
namespace {

using testing::CheckStructure;
using testing::LongName;
using testing::MemoryHostFiles;
using testing::Narrow;
using testing::RandomBytes;
using testing::Utf16Bytes;
using testing::WriteAll;
using namespace layout;
using Bytes = std::vector<std::uint8_t>;

const std::u16string kName = u"compact.vfs";

const Bytes& FilePassword() {
  static const Bytes password = Utf16Bytes(u"f1le key");
  return password;
}

const Bytes& StoragePassword() {
  static const Bytes password = Utf16Bytes(u"st0rage key");
  return password;
}

Bytes Compressible(std::size_t size, std::mt19937& random) {
  return testing::Compressible(size, random, "compacted vault ");
}

std::u16string Number(int n) {
  std::u16string text;
  for (char c : std::to_string(n)) text.push_back(static_cast<char16_t>(c));
  return text;
}

struct Shape {
  const char* name;
  std::uint32_t pageSize;
  bool transactions;
  std::uint32_t storageMode;  // ecNoEncryption: plain pages
};
void PrintTo(const Shape& shape, std::ostream* out) {
  *out << shape.name;
}

// A file's bytes (with whether it needs the file password) or a link's target.
struct Expected {
  Bytes content;
  bool encrypted = false;
  bool link = false;
};
using Tree = std::map<std::u16string, Expected>;

// An open container with its object store; closes itself, which must
// succeed unless the test expects failures. Automatic compaction is off
// unless a test turns it on.
class Session : public testing::VolumeSession {
 public:
  Session(MemoryHostFiles& files, const Shape& shape)
      : VolumeSession(files, kName, shape.pageSize, shape.transactions,
                      shape.storageMode != ecNoEncryption ? StoragePassword() : Bytes{}),
        shape_(shape) {
    volume().AutoCompact = 0;
  }
  ~Session() {
    EngineResult r = Close();
    if (!failuresExpected_) {
      EXPECT_EQ(r, 0);
    }
  }
  // After an injected write failure the volume may refuse to close cleanly.
  void ExpectFailures() { failuresExpected_ = true; }

  EngineResult Create() {
    EngineResult r = VolumeSession::Create();
    if (r == 0 && shape_.storageMode != ecNoEncryption)
      r = ChangeStorageEncryption(store(), shape_.storageMode, {}, StoragePassword());
    return r;
  }

 private:
  Shape shape_;
  bool failuresExpected_ = false;
};

// Files enciphered with the file password, or plain.
EngineResult WriteFile(ObjectStore& store, const std::u16string& path, const Bytes& content,
                       bool encrypted = false, std::uint32_t compression = crNoCompression,
                       std::uint32_t level = 0, std::uint16_t blockPages = 0) {
  return testing::WriteNewFile(store, path, content, encrypted ? ecAES256_HMAC256 : ecNoEncryption,
                               encrypted ? FilePassword() : Bytes{}, compression, level,
                               blockPages);
}

// The whole of a handle's file from its start.
EngineResult ReadThrough(FileHandle* h, Bytes& out) {
  std::uint64_t size = 0, position = 0;
  EngineResult r = GetSize(h, size);
  if (r == 0) r = Seek(h, 0, 0, position);
  if (r != 0) return r;
  out.assign(size, 0);
  std::uint32_t done = 0;
  if (size != 0) r = ReadData(h, out.data(), static_cast<std::uint32_t>(size), done);
  return r == 0 && done != size ? errCompressedDataCorrupted : r;
}

// Every file reads back as expected, every link names its target.
void ExpectTree(ObjectStore& store, const Tree& tree) {
  for (const auto& [path, e] : tree) {
    SCOPED_TRACE(Narrow(path));
    if (e.link) {
      std::vector<char16_t> target(e.content.size() / 2 + 1);
      std::uint32_t length = static_cast<std::uint32_t>(target.size() * 2);
      ASSERT_EQ(PathGetLinkDestination(store, path, target.data(), length), 0);
      EXPECT_EQ(Utf16Bytes(target.data()), e.content);
      continue;
    }
    const Bytes none;
    FileHandle* h = nullptr;
    ASSERT_EQ(PathOpenFile(store, path, true, false, false, false,
                           e.encrypted ? FilePassword() : none, h),
              0);
    Bytes content;
    EXPECT_EQ(ReadThrough(h, content), 0);
    EXPECT_EQ(CloseHandle(h, true), 0);
    EXPECT_TRUE(content == e.content) << content.size() << " bytes, expected " << e.content.size();
  }
}

// Builds a tree with every kind of page (files inline and paged, with a
// block index of one and of two pages, compressed, enciphered, both; long
// names of one and of several name pages, one carried to another directory;
// links with short and paged targets; a header page chain; a directory of
// several entry pages), then deletes every other file, so that free pages
// lie everywhere between the pages still in use. The last file written is a
// large one that survives, so the end of the volume is in use.
struct Scale {
  int files = 32;                 // of all kinds
  int many = 12;                  // more in one directory
  std::uint32_t hugePages = 130;  // the file with an index of two pages (512-byte pages)
  std::uint32_t lastPages = 40;   // the file written last
};

void BuildThinned(ObjectStore& store, std::uint32_t pageSize, std::uint32_t seed, Tree& tree,
                  const Scale& scale = {}) {
  std::mt19937 random(seed);
  const std::uint32_t payload = pageSize - kPageHeaderSize;
  const std::u16string longDir = u"/" + LongName(40, u'k');
  for (const auto& d : {std::u16string(u"/docs/deep"), longDir, std::u16string(u"/many")})
    ASSERT_EQ(PathForceCreateDirectories(store, d), 0);
  std::vector<std::u16string> order;
  auto add = [&](const std::u16string& path, const Bytes& content, bool encrypted = false,
                 std::uint32_t compression = 0, std::uint32_t level = 0,
                 std::uint16_t blockPages = 0) {
    ASSERT_EQ(WriteFile(store, path, content, encrypted, compression, level, blockPages), 0)
        << Narrow(path);
    tree[path] = Expected{content, encrypted, false};
    order.push_back(path);
  };
  const std::vector<std::u16string> homes = {u"", u"/docs", u"/docs/deep", longDir, u"/many"};
  for (int i = 0; i < scale.files; ++i) {
    const std::u16string dir = homes[static_cast<std::size_t>(i) % homes.size()];
    const std::u16string base = dir + u"/f" + Number(i);
    switch (i % 8) {
      case 0:
        add(base + u".txt", RandomBytes(20 + random() % 150, random));
        break;
      case 1:
        add(base + u".bin", RandomBytes(payload + random() % (4 * payload), random));
        break;
      case 2:  // a block index, of two pages once
        add(base + u".big",
            RandomBytes((i == 2 ? scale.hugePages : 20 + random() % 20) * payload, random));
        break;
      case 3:
        add(base + u".z", Compressible(3000 + random() % 9000, random), false, crZLib, 6, 3);
        break;
      case 4:
        add(base + u".rle", Compressible(2000 + random() % 5000, random), false, crRLE, 0, 2);
        break;
      case 5:
        add(base + u".sec", RandomBytes(500 + random() % 5000, random), true);
        break;
      case 6:
        add(base + u".szip", Compressible(2000 + random() % 6000, random), true, crZLib, 9, 2);
        break;
      default:
        add(dir + u"/" + LongName(i % 16 == 7 ? 30 : 200 + random() % 400, u'a' + i % 20),
            RandomBytes(random() % 3000, random));
        break;
    }
  }
  for (int i = 0; i < scale.many; ++i)
    add(u"/many/m" + std::u16string(1, static_cast<char16_t>(u'a' + i)),
        RandomBytes(random() % 700, random));
  const std::u16string traveller = u"/docs/" + LongName(260, u'q');
  add(traveller, RandomBytes(1200, random));
  const std::u16string arrived = u"/many/" + LongName(300, u'r');
  ASSERT_EQ(PathMoveFile(store, traveller, arrived), 0);
  tree[arrived] = tree[traveller];
  tree.erase(traveller);
  std::replace(order.begin(), order.end(), traveller, arrived);

  auto link = [&](const std::u16string& path, const std::u16string& target) {
    ASSERT_EQ(PathCreateLink(store, path, target), 0) << Narrow(path);
    tree[path] = Expected{Utf16Bytes(target), false, true};
    order.push_back(path);
  };
  link(u"/link-short", u"/docs");
  link(u"/docs/link-long", LongName(payload + 50, u'l'));
  link(u"/many/link-gone", LongName(payload + 70, u'g'));
  for (std::uint16_t t = 0; t < 3; ++t) {
    const Bytes data = RandomBytes(pageSize / 3, random);
    ASSERT_EQ(PathSetFileTag(store, u"/docs", static_cast<std::uint16_t>(0x8100 + t), data.data(),
                             static_cast<std::uint32_t>(data.size())),
              0);
  }
  add(u"/docs/last.big", RandomBytes(scale.lastPages * payload, random));

  for (std::size_t i = 1; i + 1 < order.size(); i += 2) {
    ASSERT_EQ(PathDeleteFile(store, order[i]), 0) << Narrow(order[i]);
    tree.erase(order[i]);
  }
}

// The end of a volume without free pages that holds `used` pages besides
// its space map pages.
std::uint32_t PackedEnd(std::uint32_t used, std::uint32_t pageSize) {
  const std::uint32_t half = pageSize / 2;
  std::uint32_t end = 1;  // page 0, the first map page
  while (end - (end + half - 1) / half < used) ++end;
  return end;
}

std::uint32_t UsedPages(Volume& v) {
  EXPECT_EQ(v.EnsureScanned(), 0);
  const std::uint32_t half = v.PageSize / 2;
  const std::uint32_t mapPages = (v.UsedPageCount + half - 1) / half;
  return v.UsedPageCount - mapPages - v.FreeCount();
}

struct ProgressLog {
  struct Report {
    std::uint8_t operation;
    std::uint32_t progress, total;
    bool canStop;
  };
  std::vector<Report> reports;
  ProgressSink Sink() { return ProgressSink{&ProgressLog::Callback, this}; }
  static void Callback(void* userData, std::uint8_t operation, std::uint32_t progress,
                       std::uint32_t total, bool canStop, bool& stop) {
    static_cast<ProgressLog*>(userData)->reports.push_back({operation, progress, total, canStop});
    stop = true;  // never consulted
  }
};

// ------------------------------------------------------------ compaction

class CompactTest : public ::testing::TestWithParam<Shape> {};

TEST_P(CompactTest, AThinnedTreeShrinksToItsPagesWithEveryFileHandleAndIndexIntact) {
  const Shape shape = GetParam();
  MemoryHostFiles files;
  Session s(files, shape);
  ASSERT_EQ(s.Create(), 0);
  ObjectStore& store = s.store();
  Volume& v = s.volume();
  Tree tree;
  BuildThinned(store, shape.pageSize, 7, tree);
  if (HasFatalFailure()) return;

  // Handles that stay open across the compaction: one that wrote and
  // flushed (its block in memory afterwards), one on an enciphered file
  // that has a block loaded.
  const std::u16string big = u"/docs/last.big";
  std::u16string secret;
  for (const auto& [path, e] : tree)
    if (e.encrypted) secret = path;
  ASSERT_TRUE(tree.count(big) && !secret.empty());
  FileHandle* writer = nullptr;
  ASSERT_EQ(PathOpenFile(store, big, true, true, false, false, {}, writer), 0);
  std::uint64_t position = 0;
  ASSERT_EQ(Seek(writer, 5000, 0, position), 0);
  const Bytes patch(3000, 0x5A);
  ASSERT_EQ(WriteAll(writer, patch), 0);
  std::copy(patch.begin(), patch.end(), tree[big].content.begin() + 5000);
  ASSERT_EQ(FlushHandle(writer, 0), 0);
  std::uint8_t peek[16];
  std::uint32_t done = 0;
  ASSERT_EQ(ReadData(writer, peek, sizeof peek, done), 0);
  FileHandle* reader = nullptr;
  ASSERT_EQ(PathOpenFile(store, secret, true, false, false, false, FilePassword(), reader), 0);
  ASSERT_EQ(ReadData(reader, peek, sizeof peek, done), 0);

  const std::uint32_t used = UsedPages(v);
  const std::uint32_t freeBefore = v.FreeCount();
  const std::uint32_t end = PackedEnd(used, shape.pageSize);
  ASSERT_LT(end, v.UsedPageCount);
  ProgressLog log;
  bool ran = false;
  ASSERT_EQ(v.Compact(log.Sink(), ran), 0);
  EXPECT_TRUE(ran);
  EXPECT_EQ(v.UsedPageCount, end);
  EXPECT_EQ(v.HostPageCount, end);
  EXPECT_EQ(v.FreeCount(), 0u);
  EXPECT_EQ(files.Contents(kName).size(), std::size_t{end} * shape.pageSize);
  EXPECT_FALSE(v.Compacting);
  bool corrupted = true;
  ASSERT_EQ(v.GetCorrupted(corrupted), 0);
  EXPECT_FALSE(corrupted);
  ASSERT_FALSE(log.reports.empty());
  for (std::size_t i = 0; i < log.reports.size(); ++i) {
    const auto& report = log.reports[i];
    EXPECT_EQ(report.operation, kProgressCompacting);
    EXPECT_EQ(report.total, freeBefore);
    EXPECT_FALSE(report.canStop);
    if (i > 0) {
      EXPECT_GE(report.progress, log.reports[i - 1].progress);
    }
  }
  EXPECT_EQ(log.reports.back().progress, freeBefore);

  // The handles read what they did and go on writing.
  Bytes content;
  ASSERT_EQ(ReadThrough(writer, content), 0);
  EXPECT_TRUE(content == tree[big].content);
  ASSERT_EQ(ReadThrough(reader, content), 0);
  EXPECT_TRUE(content == tree[secret].content);
  const Bytes tail(2 * shape.pageSize + 77, 0xC3);
  ASSERT_EQ(Seek(writer, 0, 2, position), 0);
  ASSERT_EQ(WriteAll(writer, tail), 0);
  tree[big].content.insert(tree[big].content.end(), tail.begin(), tail.end());
  ASSERT_EQ(FlushHandle(writer, 0), 0);
  ExpectTree(store, tree);

  // Loaded directory indexes keep working: new entries, a new entry page.
  std::mt19937 random(99);
  for (int i = 0; i < 9; ++i) {
    const std::u16string path =
        (i % 2 ? u"/many/n" : u"/docs/deep/n") + std::u16string(1, static_cast<char16_t>(u'a' + i));
    tree[path] = Expected{RandomBytes(random() % 2000, random), false, false};
    ASSERT_EQ(WriteFile(store, path, tree[path].content), 0);
  }
  ASSERT_EQ(PathDeleteFile(store, u"/many/mc"), 0);
  tree.erase(u"/many/mc");
  ASSERT_EQ(CloseHandle(writer, true), 0);
  ASSERT_EQ(CloseHandle(reader, true), 0);
  ASSERT_EQ(s.Close(), 0);

  ASSERT_EQ(s.Open(true), 0);
  EXPECT_EQ(CheckStructure(v), std::vector<std::string>{});
  ExpectTree(store, tree);
  ASSERT_EQ(s.Close(), 0);
}

INSTANTIATE_TEST_SUITE_P(Shapes, CompactTest,
                         ::testing::Values(Shape{"plain512", 512, false, ecNoEncryption},
                                           Shape{"journaled512", 512, true, ecNoEncryption},
                                           Shape{"journaledCiphered1024", 1024, true,
                                                 ecAES256_HMAC256},
                                           Shape{"plain4096", 4096, false, ecNoEncryption}),
                         [](const auto& info) { return std::string(info.param.name); });

// A volume of 100 pages, `used` of them in use; AutoCompact 25 and
// possibly a confirming callback; then one small commit.
struct AutoCase {
  const char* what;
  std::uint32_t used;
  int answer;  // -1: no callback, 0: declines, 1: agrees
  std::uint32_t pagesAfter;
};

TEST(AutoCompactTest, ACommitThatLeavesTooMuchFreeSpaceCompactsTheVolume) {
  const AutoCase cases[] = {
      {"30 free of 100", 70, -1, 70},
      {"25 free of 100 is not more than 25 percent", 75, -1, 100},
      {"the callback declines", 70, 0, 100},
      {"the callback agrees", 70, 1, 70},
  };
  const Shape shape{"plain", 512, false, ecNoEncryption};
  const std::uint32_t payload = shape.pageSize - kPageHeaderSize;
  for (const AutoCase& c : cases) {
    SCOPED_TRACE(c.what);
    MemoryHostFiles files;
    Session s(files, shape);
    ASSERT_EQ(s.Create(), 0);
    ObjectStore& store = s.store();
    Volume& v = s.volume();
    std::mt19937 random(5);
    ASSERT_EQ(WriteFile(store, u"/f", RandomBytes(90 * payload, random)), 0);
    // Cut the file down page by page to the pages wanted in use.
    FileHandle* h = nullptr;
    ASSERT_EQ(PathOpenFile(store, u"/f", true, true, false, false, {}, h), 0);
    std::uint64_t size = 90 * payload;
    while (UsedPages(v) + 1 > c.used) {  // + 1: page 0
      size -= payload;
      ASSERT_EQ(SetFileSizeByHandle(h, size), 0);
      ASSERT_EQ(FlushHandle(h, 0), 0);
    }
    ASSERT_EQ(CloseHandle(h, true), 0);
    ASSERT_EQ(UsedPages(v) + 1, c.used);
    ASSERT_EQ(v.SetStorageSize(100 * 512, {}), 0);
    ASSERT_EQ(v.HostPageCount, 100u);
    ASSERT_EQ(v.FreeCount(), 100 - c.used);

    struct Asked {
      int answer;
      std::vector<std::pair<std::uint32_t, std::uint32_t>> calls;
    } asked{c.answer, {}};
    if (c.answer >= 0)
      v.SetAutoCompactConfirm(
          [](void* userData, std::uint32_t freePages, std::uint32_t totalPages) {
            auto& a = *static_cast<Asked*>(userData);
            a.calls.emplace_back(freePages, totalPages);
            return a.answer == 1;
          },
          &asked);
    v.AutoCompact = 25;
    // Closing a handle commits its file's transaction, with nothing else running.
    ASSERT_EQ(PathOpenFile(store, u"/f", true, false, false, false, {}, h), 0);
    ASSERT_EQ(CloseHandle(h, true), 0);
    EXPECT_EQ(v.HostPageCount, c.pagesAfter);
    EXPECT_EQ(files.Contents(kName).size(), std::size_t{c.pagesAfter} * 512);
    if (c.answer >= 0) {
      // Asked at each commit (opening commits too) until it agrees.
      ASSERT_FALSE(asked.calls.empty());
      for (const auto& call : asked.calls) EXPECT_EQ(call, std::make_pair(100 - c.used, 100u));
      if (c.answer == 1) {
        EXPECT_EQ(asked.calls.size(), 1u);
      }
    }
    ASSERT_EQ(s.Close(), 0);
    ASSERT_EQ(s.Open(true), 0);
    EXPECT_EQ(CheckStructure(v), std::vector<std::string>{});
    ASSERT_EQ(s.Close(), 0);
  }
}

TEST(AutoCompactTest, EveryPageOfAnOrdinarySessionStaysReachable) {
  // With automatic compaction on, as every container has it: create, write,
  // delete and move files, so that commits compact again and again, with
  // and without journaling.
  for (bool transactions : {false, true}) {
    SCOPED_TRACE(transactions ? "journaled" : "plain");
    const Shape shape{"auto", 512, transactions, ecNoEncryption};
    MemoryHostFiles files;
    Tree tree;
    {
      Session s(files, shape);
      s.volume().AutoCompact = 25;
      ASSERT_EQ(s.Create(), 0);
      BuildThinned(s.store(), shape.pageSize, 11, tree);
      if (HasFatalFailure()) return;
      ASSERT_EQ(PathMoveFile(s.store(), u"/docs/last.big", u"/many/last.big"), 0);
      tree[u"/many/last.big"] = tree[u"/docs/last.big"];
      tree.erase(u"/docs/last.big");
      ExpectTree(s.store(), tree);
      // What is left free is at most what the rule allows.
      EXPECT_LE(std::uint64_t{s.volume().FreeCount()} * 100,
                std::uint64_t{s.volume().UsedPageCount} * 25);
    }
    Session s(files, shape);
    ASSERT_EQ(s.Open(true), 0);
    EXPECT_EQ(CheckStructure(s.volume()), std::vector<std::string>{});
    ExpectTree(s.store(), tree);
  }
}

// Compactions, asked for and automatic, while other threads create, write
// and delete files: none of them waits for another forever, and every file
// ends as its thread left it.
TEST(CompactThreadsTest, CompactionsAlongsideWorkingThreads) {
  for (bool transactions : {false, true}) {
    SCOPED_TRACE(transactions ? "journaled" : "plain");
    const Shape shape{"threads", 512, transactions, ecNoEncryption};
    MemoryHostFiles files;
    constexpr int kThreads = 3;
    std::vector<Tree> trees(kThreads);
    {
      Session s(files, shape);
      ASSERT_EQ(s.Create(), 0);
      s.volume().AutoCompact = 25;
      std::atomic<int> running{kThreads};
      std::vector<std::thread> workers;
      for (int w = 0; w < kThreads; ++w) {
        workers.emplace_back([&, w] {
          std::mt19937 random(static_cast<std::uint32_t>(100 + w));
          const std::u16string home = u"/w" + Number(w);
          EXPECT_EQ(PathCreateDirectory(s.store(), home), 0);
          std::vector<std::u16string> made;
          for (int i = 0; i < 30; ++i) {
            const std::u16string path = home + u"/f" + Number(i);
            const Bytes content = RandomBytes(random() % 4000, random);
            EXPECT_EQ(WriteFile(s.store(), path, content), 0) << Narrow(path);
            trees[w][path] = Expected{content, false, false};
            made.push_back(path);
            if (i % 2 == 1) {
              const std::u16string gone = made[random() % made.size()];
              if (trees[w].erase(gone) != 0) {
                EXPECT_EQ(PathDeleteFile(s.store(), gone), 0) << Narrow(gone);
              }
            }
          }
          --running;
        });
      }
      while (running > 0) {
        bool ran = false;
        EXPECT_EQ(s.volume().Compact({}, ran), 0);
        std::this_thread::yield();
      }
      for (auto& worker : workers) worker.join();
      bool ran = false;
      ASSERT_EQ(s.volume().Compact({}, ran), 0);
      EXPECT_TRUE(ran);
      EXPECT_EQ(s.volume().FreeCount(), 0u);
      for (const Tree& tree : trees) ExpectTree(s.store(), tree);
    }
    Session s(files, shape);
    ASSERT_EQ(s.Open(true), 0);
    EXPECT_EQ(CheckStructure(s.volume()), std::vector<std::string>{});
    for (const Tree& tree : trees) ExpectTree(s.store(), tree);
  }
}

// What keeps a compaction from running: it then changes nothing.
TEST(CompactBlockedTest, WorkElsewhereKeepsItFromRunning) {
  struct Case {
    const char* what;
    // Sets the obstacle up and returns what takes it away.
    std::function<std::function<void()>(Session&)> block;
  };
  const Case cases[] = {
      {"a transaction begun elsewhere",
       [](Session& s) -> std::function<void()> {
         Transaction* t = nullptr;
         EXPECT_EQ(s.volume().Begin(false, t), 0);
         return [&s, t] { EXPECT_EQ(s.volume().Rollback(t), 0); };
       }},
      {"an open search",
       [](Session& s) -> std::function<void()> {
         auto record = std::make_shared<SearchRecord>();
         EXPECT_EQ(SearchFirst(s.store(), *record, u"/many/*", ~0u, 0), 0);
         return [record] { SearchClose(*record); };
       }},
      {"a handle whose writes are not yet flushed",
       [](Session& s) -> std::function<void()> {
         FileHandle* h = nullptr;
         EXPECT_EQ(PathOpenFile(s.store(), u"/docs/last.big", true, true, false, false, {}, h), 0);
         Bytes bytes(100);
         std::uint32_t done = 0;
         std::uint64_t position = 0;
         EXPECT_EQ(ReadData(h, bytes.data(), 100, done), 0);
         EXPECT_EQ(Seek(h, 0, 0, position), 0);
         EXPECT_EQ(WriteAll(h, bytes), 0);  // the same bytes again
         return [h] { EXPECT_EQ(CloseHandle(h, true), 0); };
       }},
      {"an object locked by another thread",
       [](Session& s) -> std::function<void()> {
         auto release = std::make_shared<std::atomic<bool>>(false);
         std::atomic<bool> holding{false};
         FileObject* root = s.store().Root();
         auto thread = std::make_shared<std::thread>([root, release, &holding] {
           std::scoped_lock lock(root->Lock);
           holding = true;
           while (!*release) std::this_thread::yield();
         });
         while (!holding) std::this_thread::yield();
         return [thread, release] {
           *release = true;
           thread->join();
         };
       }},
  };
  const Shape shape{"plain", 512, true, ecNoEncryption};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MemoryHostFiles files;
    Session s(files, shape);
    ASSERT_EQ(s.Create(), 0);
    Tree tree;
    BuildThinned(s.store(), shape.pageSize, 3, tree);
    if (HasFatalFailure()) return;
    Volume& v = s.volume();
    const std::uint32_t pages = v.HostPageCount;
    std::function<void()> unblock = c.block(s);
    const Bytes before = files.Contents(kName);
    bool ran = true;
    EXPECT_EQ(v.Compact({}, ran), 0);
    EXPECT_FALSE(ran);
    EXPECT_EQ(v.SetStorageSize(std::uint64_t{pages - 1} * 512, {}), errActiveTransactions);
    EXPECT_TRUE(files.Contents(kName) == before);
    EXPECT_EQ(v.HostPageCount, pages);
    unblock();
    ASSERT_EQ(v.Compact({}, ran), 0);
    EXPECT_TRUE(ran);
    EXPECT_LT(v.HostPageCount, pages);
    ExpectTree(s.store(), tree);
  }
}

TEST(CompactionTest, FreePagesOnlyAtTheEndAreCutAndNothingMoves) {
  {
    // Without journaling nothing but the files takes pages: the last ones
    // written lie at the end.
    const Shape shape{"end", 512, false, ecNoEncryption};
    MemoryHostFiles files;
    Session s(files, shape);
    ASSERT_EQ(s.Create(), 0);
    std::mt19937 random(1);
    Tree tree;
    // Seven names: one entry page, written before everything else.
    for (int i = 0; i < 4; ++i) {
      const std::u16string path = u"/keep" + std::u16string(1, static_cast<char16_t>(u'a' + i));
      tree[path] = Expected{RandomBytes(random() % 3000, random), false, false};
      ASSERT_EQ(WriteFile(s.store(), path, tree[path].content), 0);
    }
    for (int i = 0; i < 3; ++i) {
      const std::u16string path = u"/late" + std::u16string(1, static_cast<char16_t>(u'a' + i));
      ASSERT_EQ(WriteFile(s.store(), path, RandomBytes(4000, random)), 0);
    }
    for (int i = 0; i < 3; ++i)
      ASSERT_EQ(
          PathDeleteFile(s.store(), u"/late" + std::u16string(1, static_cast<char16_t>(u'a' + i))),
          0);
    Volume& v = s.volume();
    ASSERT_EQ(v.FlushCache(), 0);
    const Bytes before = files.Contents(kName);
    const std::uint32_t end = PackedEnd(UsedPages(v), 512);
    ASSERT_LT(end, v.HostPageCount);
    bool ran = false;
    ASSERT_EQ(v.Compact({}, ran), 0);
    EXPECT_TRUE(ran);
    EXPECT_EQ(v.HostPageCount, end);
    const Bytes after = files.Contents(kName);
    ASSERT_EQ(after.size(), std::size_t{end} * 512);
    EXPECT_TRUE(std::equal(after.begin(), after.end(), before.begin()));
    ExpectTree(s.store(), tree);
  }
}

// Damage met on the way is reported before anything is written: the volume
// keeps its length and its bytes (but for the corrupted flag in page 1).
TEST(CompactionTest, DamageIsFoundBeforeAnythingIsWritten) {
  const Shape shape{"plain", 512, false, ecNoEncryption};
  MemoryHostFiles original;
  Tree tree;
  {
    Session s(original, shape);
    ASSERT_EQ(s.Create(), 0);
    BuildThinned(s.store(), shape.pageSize, 5, tree);
    if (HasFatalFailure()) return;
  }
  const Bytes image = original.Contents(kName);
  const std::uint32_t pageSize = shape.pageSize;
  auto u32 = [&](const Bytes& b, std::uint32_t page, std::uint32_t at) {
    return LoadU32(b.data() + std::size_t{page} * pageSize + at);
  };
  // A data page inside the last file, which lies at the end and moves: the
  // page with chain index 20 of the owner of the highest data page.
  const std::uint32_t pages = static_cast<std::uint32_t>(image.size() / pageSize);
  std::uint32_t owner = 0, target = 0;
  for (std::uint32_t p = pages; p-- > 3 && owner == 0;)
    if (LoadU16(image.data() + std::size_t{p} * pageSize) == DataPage)
      owner = u32(image, p, kOwnerId);
  for (std::uint32_t p = 3; p < pages; ++p)
    if (LoadU16(image.data() + std::size_t{p} * pageSize) == DataPage &&
        u32(image, p, kOwnerId) == owner && u32(image, p, kChainIndex) == 20)
      target = p;
  ASSERT_NE(target, 0u);
  ASSERT_NE(u32(image, target, kIndexPage), 0u);
  const std::uint32_t before = u32(image, target, kPrevPage);
  const std::uint32_t after = u32(image, target, kNextPage);
  ASSERT_EQ(u32(image, before, kNextPage), target);

  struct Case {
    const char* what;
    std::uint32_t page, at, value;
  };
  const Case cases[] = {
      {"it names as its previous page one that does not name it", target, kPrevPage, 2},
      {"the page before it no longer names it", before, kNextPage, 0},
      {"the page after it names another page as its previous one", after, kPrevPage, 2},
      {"it names a block index page that is no block index", target, kIndexPage, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes damaged = image;
    StoreU32(damaged.data() + std::size_t{c.page} * pageSize + c.at, c.value);
    MemoryHostFiles files;
    files.SetContents(kName, damaged);
    Session s(files, shape);
    ASSERT_EQ(s.Open(false), 0);
    Volume& v = s.volume();
    ASSERT_LT(PackedEnd(UsedPages(v), pageSize), target);  // the page is one that moves
    bool ran = false;
    EXPECT_EQ(v.Compact({}, ran), errStorageCorrupted);
    bool corrupted = false;
    ASSERT_EQ(v.GetCorrupted(corrupted), 0);
    EXPECT_TRUE(corrupted);
    EXPECT_FALSE(v.Compacting);
    EXPECT_EQ(v.HostPageCount, pages);
    Bytes now = files.Contents(kName);
    ASSERT_EQ(now.size(), damaged.size());
    // Page 1 differs in the corrupted flag (and the last transaction id,
    // which went up in memory) only.
    EXPECT_EQ(LoadU32(now.data() + pageSize + kVolumeFlags) & ~vfCorrupted,
              LoadU32(damaged.data() + pageSize + kVolumeFlags));
    for (std::uint32_t at : {kVolumeFlags, kLastTransactionId})
      StoreU32(now.data() + pageSize + at, LoadU32(damaged.data() + pageSize + at));
    EXPECT_TRUE(now == damaged);
  }
}

// A crash at any write of a compaction (and of the close after it). With
// transactions the next writable open recovers a sound volume; without
// them every file still reads back the same.
struct CrashPlan {
  const char* name;
  bool transactions;
  // The volume, made without transactions, is opened packed, so its
  // transaction table goes to its end, and files are deleted in the same
  // session: the table page moves too.
  bool tableAtEnd;
};
void PrintTo(const CrashPlan& plan, std::ostream* out) {
  *out << plan.name;
}

// Packs the volume, so that the transaction table of a session with
// transactions goes to its end, and picks every third file for that session
// to delete (taking them out of `tree`).
void PackAndPickDoomed(Session& s, Tree& tree, std::vector<std::u16string>& doomed) {
  bool ran = false;
  ASSERT_EQ(s.volume().Compact({}, ran), 0);
  int i = 0;
  for (const auto& [path, e] : tree)
    if (!e.link && path != u"/docs/last.big" && ++i % 3 == 0) doomed.push_back(path);
  for (const auto& path : doomed) tree.erase(path);
}

class CompactCrashTest : public ::testing::TestWithParam<CrashPlan> {};

TEST_P(CompactCrashTest, EveryWriteOfACompactionKeepsEveryFile) {
  const CrashPlan plan = GetParam();
  const Shape shape{"crash", 512, plan.transactions, ecNoEncryption};
  MemoryHostFiles::Snapshot base;
  Tree tree;
  std::vector<std::u16string> doomed;
  std::uint32_t pagesBefore = 0;
  {
    MemoryHostFiles files;
    Session s(files, Shape{"base", shape.pageSize, shape.transactions && !plan.tableAtEnd,
                           ecNoEncryption});
    ASSERT_EQ(s.Create(), 0);
    BuildThinned(s.store(), shape.pageSize, 21, tree);
    if (HasFatalFailure()) return;
    if (plan.tableAtEnd) {
      PackAndPickDoomed(s, tree, doomed);
      if (HasFatalFailure()) return;
    }
    ASSERT_EQ(s.Close(), 0);
    base = files.TakeSnapshot();
    pagesBefore = static_cast<std::uint32_t>(files.Contents(kName).size() / shape.pageSize);
  }
  struct Outcome {
    std::uint32_t tableBefore = 0, tableAfter = 0, end = 0;
  };
  auto compact = [&](MemoryHostFiles& files) {
    Outcome o;
    Session s(files, shape);
    if (s.Open(false) != 0) return o;
    o.tableBefore = s.volume().TransactionTableFirstPage();
    for (const auto& path : doomed)
      if (PathDeleteFile(s.store(), path) != 0) return o;
    bool ran = false;
    if (s.volume().Compact({}, ran) != 0) return o;
    o.tableAfter = s.volume().TransactionTableFirstPage();
    o.end = s.volume().HostPageCount;
    (void)s.Close();
    return o;
  };
  MemoryHostFiles full(base);
  full.ResetFaults();
  const Outcome done = compact(full);
  const std::uint64_t writes = full.WriteCount();
  const std::uint32_t pagesAfter =
      static_cast<std::uint32_t>(full.Contents(kName).size() / shape.pageSize);
  if (plan.tableAtEnd) {
    ASSERT_GE(done.tableBefore, done.end);
    ASSERT_LT(done.tableAfter, done.end);
    ASSERT_NE(done.tableAfter, 0u);
  } else {
    ASSERT_LT(pagesAfter, pagesBefore);
  }

  std::uint32_t sawBefore = 0, sawAfter = 0, sawOther = 0;
  for (std::uint64_t cut = 0; cut < writes; ++cut) {
    for (bool torn : {false, true}) {
      for (const testing::PowerLossCase& loss : testing::kPowerLosses) {
        if (torn && cut % 4 != 0) continue;
        // Losses of unflushed writes at every fourth cut.
        if (loss.unflushed != MemoryHostFiles::Unflushed::kKept && cut % 4 != 0) continue;
        SCOPED_TRACE("crash at write " + std::to_string(cut) + (torn ? " (torn)" : "") + ", " +
                     loss.name);
        MemoryHostFiles files(base);
        files.ResetFaults();
        files.SetPowerLoss(loss.unflushed, loss.seed);
        files.CrashOrTearAt(cut, torn, shape.pageSize / 2);
        (void)compact(files);
        MemoryHostFiles reopened(files.TakeSnapshot());
        const auto pages =
            static_cast<std::uint32_t>(reopened.Contents(kName).size() / shape.pageSize);
        (pages == pagesBefore ? sawBefore : pages == pagesAfter ? sawAfter : sawOther) += 1;
        {
          Session s(reopened, shape);
          ASSERT_EQ(s.Open(false), 0);
          ExpectTree(s.store(), tree);
          if (HasFailure()) return;
        }
        if (plan.transactions) {
          Session s(reopened, shape);
          ASSERT_EQ(s.Open(true), 0);
          EXPECT_EQ(CheckStructure(s.volume()), std::vector<std::string>{});
        }
      }
    }
  }
  std::printf("swept %llu writes: %u left the old length, %u the new, %u another\n",
              static_cast<unsigned long long>(writes), sawBefore, sawAfter, sawOther);
  EXPECT_GT(sawBefore, 0u);
  EXPECT_GT(sawAfter, 0u);
}

INSTANTIATE_TEST_SUITE_P(Plans, CompactCrashTest,
                         ::testing::Values(CrashPlan{"plain", false, false},
                                           CrashPlan{"journaled", true, false},
                                           CrashPlan{"journaledTableAtTheEnd", true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// The transaction table moves to a free page that still holds the image of
// a table left from long ago, with a slot naming a journal whose entry would
// copy garbage over a live data page. Page 1 may name the new place only
// once the table's copy is on the medium: a power loss right after the
// move, keeping any part of what was not flushed, must find the live table
// or the copy, never the stale image.
TEST(CompactTableMoveTest, APowerLossAfterTheMoveNeverFindsAStaleTableAtTheNewPlace) {
  const Shape shape{"table move", 512, true, ecNoEncryption};
  MemoryHostFiles::Snapshot base;
  Tree tree;
  std::vector<std::u16string> doomed;
  {
    MemoryHostFiles files;
    Session s(files, Shape{"base", shape.pageSize, false, ecNoEncryption});
    ASSERT_EQ(s.Create(), 0);
    BuildThinned(s.store(), shape.pageSize, 21, tree);
    if (HasFatalFailure()) return;
    PackAndPickDoomed(s, tree, doomed);
    if (HasFatalFailure()) return;
    ASSERT_EQ(s.Close(), 0);
    base = files.TakeSnapshot();
  }
  // Opened with transactions, the packed volume gets its table at its end;
  // the deletions leave the holes the compaction fills, and the stale pages
  // go into the lowest of them (where the table moves) and two more.
  auto prepare = [&](MemoryHostFiles& files, Session& s) {
    if (s.Open(false) != 0) return false;
    for (const auto& path : doomed)
      if (PathDeleteFile(s.store(), path) != 0) return false;
    Volume& v = s.volume();
    const std::uint32_t table = v.TransactionTableFirstPage();
    std::vector<std::uint32_t> free;
    std::uint32_t home = 0;
    for (std::uint32_t n = 3; n < table; ++n) {
      if (v.IsMapPage(n)) continue;
      std::uint16_t entry = 0;
      if (v.GetMapEntry(n, entry) != 0) return false;
      if (v.IsFreeEntry(entry)) free.push_back(n);
      if (entry == DataPage && home == 0) home = n;
    }
    if (free.size() < 3 || home == 0) return false;
    const std::uint32_t stale = free[0], journal = free[1], shadow = free[2];
    Bytes page(shape.pageSize, 0);
    StoreU16(page.data() + kPageType, TransactionTablePage);
    StoreU32(page.data() + kPageNumber, stale);
    StoreU32(page.data() + kTableFirstSlot, 0x77);
    StoreU32(page.data() + kTableFirstSlot + 4, journal);
    if (v.WritePage(stale, page.data()) != 0) return false;
    std::fill(page.begin(), page.end(), 0);
    StoreU32(page.data() + kPageNumber, journal);
    StoreU32(page.data() + kJournalFirstEntry, shadow);
    if (v.WritePage(journal, page.data()) != 0) return false;
    std::fill(page.begin(), page.end(), 0xEE);
    StoreU16(page.data() + kPageType, DataPage);
    StoreU16(page.data() + kCommitMark, DataPage);
    StoreU32(page.data() + kPageNumber, home);
    if (v.WritePage(shadow, page.data()) != 0) return false;
    files.ResetFaults();
    return true;
  };
  std::uint32_t tableAfter = 0;
  {
    MemoryHostFiles files(base);
    Session s(files, shape);
    ASSERT_TRUE(prepare(files, s));
    const std::uint32_t tableBefore = s.volume().TransactionTableFirstPage();
    bool ran = false;
    ASSERT_EQ(s.volume().Compact({}, ran), 0);
    tableAfter = s.volume().TransactionTableFirstPage();
    ASSERT_LT(tableAfter, tableBefore);
  }
  // The move is the compaction's first work: its copy, then page 1.
  for (std::uint64_t cut = 1; cut <= 4; ++cut) {
    for (std::uint32_t seed = 0; seed <= 16; ++seed) {
      SCOPED_TRACE("power lost after write " + std::to_string(cut) + ", seed " +
                   std::to_string(seed));
      MemoryHostFiles files(base);
      {
        Session s(files, shape);
        s.ExpectFailures();
        ASSERT_TRUE(prepare(files, s));
        files.SetPowerLoss(seed == 0 ? MemoryHostFiles::Unflushed::kLost
                                     : MemoryHostFiles::Unflushed::kSomeKept,
                           seed);
        files.CrashAfterWrites(cut);
        bool ran = false;
        (void)s.volume().Compact({}, ran);
      }
      MemoryHostFiles reopened(files.TakeSnapshot());
      Session s(reopened, shape);
      ASSERT_EQ(s.Open(false), 0);
      ExpectTree(s.store(), tree);
      if (HasFailure()) return;
    }
  }
}

// A write that fails at any point of a compaction: the compaction reports
// it, and every file reads back the same, in the session and after it.
TEST(CompactFailureTest, AFailedWriteAnywhereKeepsEveryFile) {
  for (bool transactions : {false, true}) {
    SCOPED_TRACE(transactions ? "journaled" : "plain");
    const Shape shape{"failing", 512, transactions, ecNoEncryption};
    MemoryHostFiles::Snapshot base;
    Tree tree;
    {
      MemoryHostFiles files;
      Session s(files, shape);
      ASSERT_EQ(s.Create(), 0);
      BuildThinned(s.store(), shape.pageSize, 33, tree, Scale{12, 4, 24, 20});
      if (HasFatalFailure()) return;
      ASSERT_EQ(s.Close(), 0);
      base = files.TakeSnapshot();
    }
    std::uint64_t writes = 0;
    {
      MemoryHostFiles files(base);
      Session s(files, shape);
      ASSERT_EQ(s.Open(false), 0);
      files.ResetFaults();
      bool ran = false;
      ASSERT_EQ(s.volume().Compact({}, ran), 0);
      writes = files.WriteCount();
    }
    std::uint32_t failed = 0, flagged = 0, pending = 0;
    for (std::uint64_t n = 1; n <= writes; ++n) {
      SCOPED_TRACE("write " + std::to_string(n) + " fails");
      MemoryHostFiles files(base);
      MemoryHostFiles::Snapshot after;
      {
        Session s(files, shape);
        s.ExpectFailures();
        ASSERT_EQ(s.Open(false), 0);
        files.ResetFaults();
        files.FailWrite(n, EIO);
        bool ran = false;
        const EngineResult r = s.volume().Compact({}, ran);
        EXPECT_TRUE(r == 0 || r == EIO) << r;
        failed += r != 0;
        bool corrupted = false;
        ASSERT_EQ(s.volume().GetCorrupted(corrupted), 0);
        flagged += corrupted;
        if (s.volume().RecoveryPending()) {
          // A journaled commit failed after it registered itself: the volume
          // takes no further work and closes without writing, and the next
          // open finishes the commit from the file as it stands now.
          ++pending;
          after = files.TakeSnapshot();
        } else {
          ExpectTree(s.store(), tree);
          if (HasFailure()) return;
        }
      }
      if (after.empty()) after = files.TakeSnapshot();
      MemoryHostFiles reopened(after);
      {
        Session s(reopened, shape);
        ASSERT_EQ(s.Open(false), 0);
        ExpectTree(s.store(), tree);
        if (HasFailure()) return;
      }
      if (transactions) {
        Session s(reopened, shape);
        ASSERT_EQ(s.Open(true), 0);
        EXPECT_EQ(CheckStructure(s.volume()), std::vector<std::string>{});
      }
    }
    std::printf(
        "%llu writes: %u failures reported, %u left the volume flagged, %u a commit "
        "to finish\n",
        static_cast<unsigned long long>(writes), failed, flagged, pending);
    EXPECT_GT(failed, 0u);
  }
}

// ------------------------------------------------------------- resizing

TEST(SetStorageSizeTest, GrowingAddsFreeGroupsAndShrinkingCompactsFirst) {
  const Shape shape{"plain", 512, false, ecNoEncryption};
  const std::uint32_t half = shape.pageSize / 2;
  MemoryHostFiles files;
  Session s(files, shape);
  ASSERT_EQ(s.Create(), 0);
  Volume& v = s.volume();
  std::mt19937 random(8);
  Tree tree;
  tree[u"/a"] = Expected{RandomBytes(30 * 480, random), false, false};
  tree[u"/b"] = Expected{RandomBytes(20 * 480, random), false, false};
  ASSERT_EQ(WriteFile(s.store(), u"/a", tree[u"/a"].content), 0);
  ASSERT_EQ(WriteFile(s.store(), u"/b", tree[u"/b"].content), 0);
  ASSERT_EQ(PathDeleteFile(s.store(), u"/a"), 0);
  tree.erase(u"/a");
  const std::uint32_t old = v.HostPageCount;
  StorageSize size;
  ASSERT_EQ(v.GetStorageSize(size), 0);
  const Bytes before = files.Contents(kName);

  // Refused before anything changes.
  for (std::uint64_t bytes :
       {std::uint64_t{old} * 512 + 100, std::uint64_t{511}, std::uint64_t{0xFFFFFFFFu} * 512})
    EXPECT_EQ(v.SetStorageSize(bytes, {}), errInvalidParameter) << bytes;
  EXPECT_TRUE(files.Contents(kName) == before);

  // Growing: an empty map page at each group start, reported as it goes.
  const std::uint32_t grown = 3 * half + 10;
  ProgressLog log;
  ASSERT_EQ(v.SetStorageSize(std::uint64_t{grown} * 512, log.Sink()), 0);
  EXPECT_EQ(v.HostPageCount, grown);
  ASSERT_EQ(files.Contents(kName).size(), std::size_t{grown} * 512);
  std::vector<std::uint32_t> starts;
  for (std::uint32_t m = half; m < grown; m += half) {
    starts.push_back(m);
    const Bytes now = files.Contents(kName);
    EXPECT_TRUE(std::all_of(now.begin() + std::ptrdiff_t{m} * 512,
                            now.begin() + std::ptrdiff_t{m + 1} * 512,
                            [](std::uint8_t b) { return b == 0; }))
        << "map page " << m;
  }
  ASSERT_EQ(starts.size(), 3u);
  ASSERT_EQ(log.reports.size(), starts.size() + 1);
  for (std::size_t i = 0; i < log.reports.size(); ++i) {
    EXPECT_EQ(log.reports[i].operation, kProgressFormatting);
    EXPECT_EQ(log.reports[i].progress, i < starts.size() ? starts[i] : grown);
    EXPECT_EQ(log.reports[i].total, grown);
    EXPECT_FALSE(log.reports[i].canStop);
  }
  StorageSize bigger;
  ASSERT_EQ(v.GetStorageSize(bigger), 0);
  EXPECT_EQ(bigger.Size, std::uint64_t{grown} * 512);
  EXPECT_EQ(bigger.FreeBytes, size.FreeBytes + (grown - old - starts.size()) * 512);
  // The added pages are used before the file grows again.
  tree[u"/c"] = Expected{RandomBytes(200 * 480, random), false, false};
  ASSERT_EQ(WriteFile(s.store(), u"/c", tree[u"/c"].content), 0);
  EXPECT_EQ(v.HostPageCount, grown);
  ASSERT_EQ(s.Close(), 0);
  ASSERT_EQ(s.Open(true), 0);
  EXPECT_EQ(CheckStructure(v), std::vector<std::string>{});
  ExpectTree(s.store(), tree);
  ASSERT_EQ(s.Close(), 0);

  // Shrinking compacts first; below the pages in use it stops there.
  ASSERT_EQ(s.Open(false), 0);
  ASSERT_EQ(PathDeleteFile(s.store(), u"/c"), 0);
  tree.erase(u"/c");
  const std::uint32_t end = PackedEnd(UsedPages(v), 512);
  for (std::uint32_t pages : {end - 1, 1u, 0u}) {
    EXPECT_EQ(v.SetStorageSize(std::uint64_t{pages} * 512, {}), errStorageFull);
    EXPECT_EQ(v.HostPageCount, end);
  }
  EXPECT_EQ(v.SetStorageSize(std::uint64_t{end + 5} * 512, {}), 0);
  EXPECT_EQ(v.SetStorageSize(std::uint64_t{end} * 512, {}), 0);
  EXPECT_EQ(v.HostPageCount, end);
  EXPECT_EQ(files.Contents(kName).size(), std::size_t{end} * 512);
  ExpectTree(s.store(), tree);
  ASSERT_EQ(s.Close(), 0);
  ASSERT_EQ(s.Open(true), 0);
  EXPECT_EQ(CheckStructure(v), std::vector<std::string>{});
  bool ran = true;
  EXPECT_EQ(v.Compact({}, ran), errStorageReadOnly);
  EXPECT_FALSE(ran);
  EXPECT_EQ(v.SetStorageSize(std::uint64_t{end + 5} * 512, {}), errStorageReadOnly);
  ASSERT_EQ(s.Close(), 0);
  EXPECT_EQ(v.Compact({}, ran), errStorageNotActive);
  EXPECT_EQ(v.SetStorageSize(512, {}), errStorageNotActive);
}

TEST(SetStorageSizeTest, AFixedSizeVolumeKeepsItsExtentInStepAndItsFatAreaSafe) {
  for (bool fatArea : {false, true}) {
    SCOPED_TRACE(fatArea ? "with a FAT area" : "alone");
    MemoryHostFiles files;
    const std::uint64_t bytes = fatArea ? 2 * 1048576 : 300 * 512;
    {
      Volume formatter;
      ASSERT_EQ(formatter.SetHostFileCallbacks(files.Callbacks()), 0);
      ASSERT_EQ(FormatVolume(formatter, kName, bytes, 512, u"", fatArea ? 2 : 0, {}), 0);
    }
    const Shape shape{"fixed", 512, true, ecNoEncryption};
    Session s(files, shape);
    ASSERT_EQ(s.Open(false), 0);
    Volume& v = s.volume();
    std::uint32_t extent = 0;
    ASSERT_EQ(v.GetMaxPageCount(extent), 0);
    std::mt19937 random(2);
    Tree tree;
    tree[u"/x"] = Expected{RandomBytes(9000, random), false, false};
    ASSERT_EQ(WriteFile(s.store(), u"/x", tree[u"/x"].content), 0);
    const Bytes before = files.Contents(kName);
    if (fatArea) {
      EXPECT_EQ(v.SetStorageSize(std::uint64_t{extent + 8} * 512, {}), errInvalidParameter);
      EXPECT_EQ(v.SetStorageSize(std::uint64_t{extent - 8} * 512, {}), errInvalidParameter);
      EXPECT_TRUE(files.Contents(kName) == before);
      continue;
    }
    for (std::uint32_t pages : {400u, 120u}) {
      ASSERT_EQ(v.SetStorageSize(std::uint64_t{pages} * 512, {}), 0);
      EXPECT_EQ(v.HostPageCount, pages);
      ASSERT_EQ(v.GetMaxPageCount(extent), 0);
      EXPECT_EQ(extent, pages);
      EXPECT_EQ(files.Contents(kName).size(), std::size_t{pages} * 512);
      tree[u"/y"] = Expected{RandomBytes(pages * 20, random), false, false};
      ASSERT_EQ(WriteFile(s.store(), u"/y", tree[u"/y"].content), 0);
      ASSERT_EQ(s.Close(), 0);
      ASSERT_EQ(s.Open(false), 0);
      EXPECT_EQ(v.HostPageCount, pages);
      ExpectTree(s.store(), tree);
      ASSERT_EQ(PathDeleteFile(s.store(), u"/y"), 0);
      tree.erase(u"/y");
    }
    ASSERT_EQ(s.Close(), 0);
    ASSERT_EQ(s.Open(true), 0);
    EXPECT_EQ(CheckStructure(v), std::vector<std::string>{});
  }
}

}  // namespace
}  // namespace vaultfs
