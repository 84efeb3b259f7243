// Check and repair of closed containers: sound containers check clean and
// stay byte for byte as they were; damaged ones come out of a repair sound
// (no broken link, no leaked or doubly used page, nothing the object layer
// calls corrupted), with every object the damage did not touch intact, and
// a second check then finds nothing.
#include "vaultfs/maintenance/repair.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "vaultfs/objects/codecs.h"
#include "vaultfs/objects/file_data.h"
#include "vaultfs/objects/file_object.h"
#include "vaultfs/objects/path_ops.h"
#include "vaultfs/objects/storage_password.h"
#include "vaultfs/maintenance/format.h"
#include "support/memory_host_files.h"
#include "support/sample_data.h"
#include "support/structure_check.h"
#include "support/volume_fixture.h"

namespace vaultfs {
namespace {

using testing::LongName;
using testing::MemoryHostFiles;
using testing::RandomBytes;
using testing::Utf16Bytes;
using testing::HostUtf16Bytes;
using namespace layout;
using Bytes = std::vector<std::uint8_t>;

const std::u16string kName = u"repair.vfs";

const Bytes& StoragePassword() {
  static const Bytes password = Utf16Bytes(u"st0rage key");
  return password;
}

const Bytes& FilePassword() {
  static const Bytes password = Utf16Bytes(u"f1le key");
  return password;
}

std::string Narrow(std::u16string_view text) {
  return testing::Narrow(text, 48);
}

Bytes Compressible(std::size_t size, std::mt19937& random) {
  return testing::Compressible(size, random, "repaired vault ");
}

// -------------------------------------------------------------- progress

struct ProgressLog {
  struct Entry {
    std::uint8_t operation;
    std::uint32_t progress;
    std::uint32_t total;
    bool canStop;
  };
  std::vector<Entry> entries;
  // Answer Stop to the n-th report (1-based) of this operation; 0 = never.
  std::uint8_t stopOperation = 0;
  std::uint32_t stopAt = 0;
  std::uint32_t seen = 0;

  ProgressSink Sink() { return ProgressSink{&ProgressLog::Callback, this}; }
  static void Callback(void* userData, std::uint8_t operation, std::uint32_t progress,
                       std::uint32_t total, bool canStop, bool& stop) {
    auto& log = *static_cast<ProgressLog*>(userData);
    log.entries.push_back({operation, progress, total, canStop});
    if (operation == log.stopOperation && ++log.seen == log.stopAt) stop = true;
  }
  std::set<std::uint8_t> Operations() const {
    std::set<std::uint8_t> operations;
    for (const Entry& e : entries) operations.insert(e.operation);
    return operations;
  }
  std::vector<std::uint32_t> PagesOf(std::uint8_t operation) const {
    std::vector<std::uint32_t> pages;
    for (const Entry& e : entries)
      if (e.operation == operation) pages.push_back(e.progress);
    return pages;
  }
};

std::string Describe(const CheckReport& r) {
  return "cut " + std::to_string(r.LinksCut) + ", entries " + std::to_string(r.EntriesCleared) +
         ", records " + std::to_string(r.RecordsRemoved) + ", names " +
         std::to_string(r.NamesShortened) + ", orphans " + std::to_string(r.OrphansFreed) +
         ", rewritten " + std::to_string(r.PagesRewritten);
}

// ------------------------------------------------------------ containers

// How a container is made.
struct Shape {
  const char* name;
  std::uint32_t pageSize;
  bool transactions;
  std::uint32_t storageMode;  // ecNoEncryption: plain pages
  std::uint32_t seed;
  bool deletions;  // leave freed pages behind
};

void PrintTo(const Shape& shape, std::ostream* out) {
  *out << shape.name;
}

std::span<const std::uint8_t> PasswordFor(const Shape& shape) {
  return shape.storageMode != ecNoEncryption ? std::span<const std::uint8_t>(StoragePassword())
                                             : std::span<const std::uint8_t>();
}

// One object as the tree holds it: a file's bytes or a link's target.
struct Expected {
  Bytes content;
  bool link = false;
};

struct Container {
  Shape shape{};
  Bytes image;
  std::map<std::u16string, Expected> objects;  // by path; directories are not listed
  std::set<std::u16string> directories;
  // Filled by Survey: object ids along each path, and the owner of every page in use.
  std::map<std::u16string, std::vector<std::uint32_t>> idChain;  // own id first, root last
  std::vector<std::uint32_t> ownerOfPage;                        // 0: no object's page
};

// An open container with its object store; closes itself.
class Session : public testing::VolumeSession {
 public:
  Session(MemoryHostFiles& files, const Shape& shape)
      : VolumeSession(files, kName, shape.pageSize, shape.transactions, PasswordFor(shape)) {}
};

// Files enciphered (with the file password) or plain.
EngineResult WriteFile(ObjectStore& store, const std::u16string& path, const Bytes& content,
                       std::uint32_t cipher = ecNoEncryption,
                       std::uint32_t compression = crNoCompression, std::uint32_t level = 0,
                       std::uint16_t blockPages = 0) {
  return testing::WriteNewFile(store, path, content, cipher,
                               cipher != ecNoEncryption ? FilePassword() : Bytes{}, compression,
                               level, blockPages);
}

// A tree with every kind of page: files inline and paged, with and without
// a block index, compressed, enciphered per file; long names of one and of
// several name pages, moved between directories; links; tags that grow a
// header chain; directories of several entry pages; nested directories.
void BuildTree(MemoryHostFiles& files, Container& c) {
  const Shape& shape = c.shape;
  std::mt19937 random(shape.seed);
  Session s(files, shape);
  ASSERT_EQ(s.Create(), 0);
  ObjectStore& store = s.store();
  if (shape.storageMode != ecNoEncryption) {
    ASSERT_EQ(ChangeStorageEncryption(store, shape.storageMode, {}, StoragePassword()), 0);
  }
  const std::uint32_t payload = shape.pageSize - kPageHeaderSize;
  const std::vector<std::u16string> dirs = {
      u"/docs", u"/docs/deep", u"/docs/deep/deeper", u"/media", u"/" + LongName(40, u'k'),
      u"/empty"};
  for (const auto& d : dirs) {
    ASSERT_EQ(PathForceCreateDirectories(store, d), 0) << Narrow(d);
    c.directories.insert(d);
  }
  auto add = [&](const std::u16string& path, const Bytes& content, std::uint32_t cipher = 0,
                 std::uint32_t compression = 0, std::uint32_t level = 0,
                 std::uint16_t blockPages = 0) {
    ASSERT_EQ(WriteFile(store, path, content, cipher, compression, level, blockPages), 0)
        << Narrow(path);
    c.objects[path] = Expected{content, false};
  };
  const std::vector<std::u16string> homes = {
      u"", u"/docs", u"/docs/deep", u"/docs/deep/deeper", u"/media", u"/" + LongName(40, u'k')};
  for (int i = 0; i < 24; ++i) {
    const std::u16string dir = homes[random() % homes.size()];
    const std::u16string base = dir + u"/f" + std::u16string(1, static_cast<char16_t>(u'a' + i));
    switch (i % 8) {
      case 0:
        add(base + u".txt", RandomBytes(20 + random() % 150, random));
        break;
      case 1:
        add(base + u".bin", RandomBytes(payload + random() % (4 * payload), random));
        break;
      case 2:  // more than 16 data pages: a block index, at times of two pages
        add(base + u".big", RandomBytes((20 + random() % (i == 2 ? 150 : 30)) * payload, random));
        break;
      case 3:
        add(base + u".z", Compressible(3000 + random() % 9000, random), 0, crZLib, 6, 3);
        break;
      case 4:
        add(base + u".rle", Compressible(2000 + random() % 5000, random), 0, crRLE, 0, 2);
        break;
      case 5:
        add(base + u".sec", RandomBytes(500 + random() % 5000, random),
            i % 16 == 5 ? ecAES256_HMAC256 : ecAES256_SHA256);
        break;
      case 6:
        add(base + u".szip", Compressible(2000 + random() % 6000, random), ecAES256_HMAC256, crZLib,
            9, 2);
        break;
      default:
        add(dir + u"/" + LongName(i % 16 == 7 ? 30 : 200 + random() % 400, u'a' + i % 20),
            RandomBytes(random() % 3000, random));
        break;
    }
  }
  add(u"/empty.dat", {});
  for (int i = 0; i < 9; ++i)  // two and more entry pages in one directory
    add(u"/media/m" + std::u16string(1, static_cast<char16_t>(u'0' + i)),
        RandomBytes(random() % 700, random));

  // Long names that travel: the name chain goes with the object.
  const std::u16string traveller = u"/docs/" + LongName(260, u'q');
  add(traveller, RandomBytes(1200, random));
  const std::u16string arrived = u"/media/" + LongName(300, u'r');
  ASSERT_EQ(PathMoveFile(store, traveller, arrived), 0);
  c.objects[arrived] = c.objects[traveller];
  c.objects.erase(traveller);

  auto link = [&](const std::u16string& path, const std::u16string& target) {
    ASSERT_EQ(PathCreateLink(store, path, target), 0) << Narrow(path);
    c.objects[path] = Expected{HostUtf16Bytes(target), true};
  };
  link(u"/link-short", u"/empty.dat");
  link(u"/docs/link-long", LongName(2 * payload / 2 + 50, u'l'));

  // Tags big enough to give objects a chain of header pages.
  for (const auto& path : {std::u16string(u"/empty.dat"), std::u16string(u"/docs")}) {
    for (std::uint16_t t = 0; t < 3; ++t) {
      const Bytes data = RandomBytes(shape.pageSize / 3, random);
      ASSERT_EQ(PathSetFileTag(store, path, static_cast<std::uint16_t>(0x8100 + t), data.data(),
                               static_cast<std::uint32_t>(data.size())),
                0);
    }
  }
  if (shape.deletions) {
    std::vector<std::u16string> doomed;
    for (const auto& [path, e] : c.objects)
      if (!e.link && doomed.size() < 4 && random() % 3 == 0) doomed.push_back(path);
    for (const auto& path : doomed) {
      ASSERT_EQ(PathDeleteFile(store, path), 0) << Narrow(path);
      c.objects.erase(path);
    }
  }
  ASSERT_EQ(s.Close(), 0);
  c.image = files.Contents(kName);
}

// Records which object owns each page in use and the ids along each path.
void Survey(Container& c) {
  MemoryHostFiles files;
  files.SetContents(kName, c.image);
  Session s(files, c.shape);
  ASSERT_EQ(s.Open(true), 0);
  Volume& v = s.volume();
  c.ownerOfPage.assign(v.HostPageCount, 0);
  std::vector<std::uint8_t> page(v.PageSize);
  for (std::uint32_t j = 2; j < v.HostPageCount; ++j) {
    std::uint16_t type = 0;
    ASSERT_EQ(v.GetMapEntry(j, type), 0);
    if (type == 0 || v.IsMapPage(j)) continue;
    ASSERT_EQ(v.ReadPage(j, page.data()), 0);
    c.ownerOfPage[j] = OwnerIdOf(page.data());
  }
  auto chainOf = [&](const std::u16string& path) {
    std::vector<std::uint32_t> chain;
    ResolvedPath resolved;
    if (ResolvePath(s.store(), path, false, nullptr, resolved) != 0) return chain;
    for (FileObject* o = resolved.Object; o; o = o->Parent) chain.push_back(o->ObjectId());
    ReleaseChain(*resolved.Object, true);
    return chain;
  };
  for (const auto& [path, e] : c.objects) {
    c.idChain[path] = chainOf(path);
    ASSERT_FALSE(c.idChain[path].empty()) << Narrow(path);
  }
  EXPECT_EQ(s.Close(), 0);
}

const Container& TheContainer(const Shape& shape) {
  static std::map<std::string, std::unique_ptr<Container>> built;
  auto& slot = built[shape.name];
  if (!slot) {
    slot = std::make_unique<Container>();
    slot->shape = shape;
    MemoryHostFiles files;
    BuildTree(files, *slot);
    Survey(*slot);
  }
  return *slot;
}

const Shape kPlain{"plain", 512, false, ecNoEncryption, 11, false};
const Shape kJournaledCiphered{"journaled-ciphered", 1024, true, ecAES256_HMAC256, 22, true};
const Shape kSmallCiphered{"small-ciphered", 512, true, ecAES256_SHA256, 33, true};
const Shape kLargePages{"large-pages", 4096, true, ecNoEncryption, 44, true};
const Shape kShapes[] = {kPlain, kJournaledCiphered, kSmallCiphered, kLargePages};

EngineResult Check(MemoryHostFiles& files, const Shape& shape, std::uint32_t flags,
                   CheckReport& report, ProgressLog* log = nullptr) {
  Volume volume;
  EXPECT_EQ(volume.SetHostFileCallbacks(files.Callbacks()), 0);
  ProgressLog quiet;
  ProgressLog& sink = log ? *log : quiet;
  EngineResult r = CheckAndRepair(volume, kName, shape.pageSize, flags, shape.storageMode,
                                  PasswordFor(shape), 0, nullptr, sink.Sink(), &report);
  EXPECT_FALSE(volume.Active);
  EXPECT_EQ(files.OpenHandleCount(), 0u);
  return r;
}

// ------------------------------------------------------------------ walk

struct Outcome {
  EngineResult result = 0;
  Bytes data;
};

// Reads the whole tree through the object layer: every directory listed,
// every file read to its end, every link's target.
class Walker {
 public:
  explicit Walker(ObjectStore& store) : store_(store) {}

  std::map<std::u16string, Outcome> outcomes;
  std::vector<std::string> corrupted;  // every call that said errStorageCorrupted

  void Walk() { WalkDirectory(*store_.Root(), u"", 0); }

 private:
  EngineResult Note(EngineResult r, const std::u16string& path, const char* what) {
    if (r == errStorageCorrupted) corrupted.push_back(std::string(what) + " " + Narrow(path));
    return r;
  }

  void WalkDirectory(FileObject& directory, const std::u16string& path, int depth) {
    if (Note(LoadEntries(directory, nullptr), path, "LoadEntries") != 0 || depth > 16) return;
    std::vector<std::u16string> names;
    for (const EntryRef& e : directory.ChildList) names.push_back(e->Name);
    for (const auto& name : names) {
      const std::u16string child = path + u"/" + name;
      FileObject* object = nullptr;
      EngineResult r =
          Note(OpenChild(directory, name, errFileNotFound, nullptr, object), child, "OpenChild");
      if (r != 0) {
        outcomes[child] = Outcome{r, {}};
        continue;
      }
      Visit(*object, child, depth);
      object->Release();
    }
  }

  void Visit(FileObject& object, const std::u16string& path, int depth) {
    StorageTime created = 0, modified = 0, accessed = 0;
    Note(GetTimes(object, kTimeCreated | kTimeModified | kTimeAccessed, nullptr, created, modified,
                  accessed),
         path, "GetTimes");
    if (object.IsDirectory()) return WalkDirectory(object, path, depth + 1);
    Outcome& out = outcomes[path];
    if (object.Entry->Attributes & attrSymLink) {
      out.result = Note(ReadStream(object, nullptr, out.data), path, "ReadStream");
      return;
    }
    FileHandle* h = nullptr;
    out.result = Note(OpenHandle(object, 0, path, true, false, false, false, -1, FilePassword(), h),
                      path, "OpenHandle");
    if (out.result != 0) return;
    std::uint8_t chunk[997];
    for (;;) {
      std::uint32_t done = 0;
      EngineResult r = Note(ReadData(h, chunk, sizeof chunk, done), path, "ReadData");
      out.data.insert(out.data.end(), chunk, chunk + done);
      if (r == errSeekBeyondEOF) break;
      if (r != 0) {
        out.result = r;
        break;
      }
      if (done == 0 || out.data.size() > (std::size_t{8} << 20)) break;
    }
    EngineResult closed = Note(CloseHandle(h, false), path, "CloseHandle");
    if (out.result == 0) out.result = closed;
  }

  ObjectStore& store_;
};

// The proof that a repaired container is sound: it opens unmarked, the
// structure checker finds nothing, the object layer reads the whole tree
// without meeting damage, every object outside `touched` is as it was, a
// new file fits in without colliding with anything, and a second check is
// clean. Returns how many objects it found intact.
std::size_t ExpectSound(MemoryHostFiles& files, const Container& c,
                        const std::set<std::uint32_t>& touched) {
  std::size_t intact = 0;
  {
    Session s(files, c.shape);
    EXPECT_EQ(s.Open(true), 0);
    if (!s.volume().Active) return 0;
    bool corrupted = true;
    EXPECT_EQ(s.volume().GetCorrupted(corrupted), 0);
    EXPECT_FALSE(corrupted) << "marked corrupted after the repair";
    const auto problems = testing::CheckStructure(s.volume());
    EXPECT_TRUE(problems.empty()) << problems.size() << " problems, first: " << problems.front();
    Walker walker(s.store());
    walker.Walk();
    EXPECT_TRUE(walker.corrupted.empty())
        << walker.corrupted.size() << " calls met damage, first: " << walker.corrupted.front();
    EXPECT_EQ(s.volume().GetCorrupted(corrupted), 0);
    EXPECT_FALSE(corrupted) << "reading the repaired tree found damage";
    for (const auto& [path, expected] : c.objects) {
      const auto& chain = c.idChain.at(path);
      const bool hit = std::any_of(chain.begin(), chain.end(),
                                   [&](std::uint32_t id) { return touched.count(id) != 0; });
      if (hit) continue;
      auto found = walker.outcomes.find(path);
      EXPECT_NE(found, walker.outcomes.end()) << "lost undamaged " << Narrow(path);
      if (found == walker.outcomes.end()) continue;
      EXPECT_EQ(found->second.result, 0) << Narrow(path);
      EXPECT_TRUE(found->second.data == expected.content) << "changed: " << Narrow(path);
      ++intact;
    }
  }
  {
    Session s(files, c.shape);
    EXPECT_EQ(s.Open(false), 0);
    std::mt19937 random(7);
    EXPECT_EQ(WriteFile(s.store(), u"/after-repair.bin", RandomBytes(6000, random)), 0);
    EXPECT_EQ(s.Close(), 0);
  }
  {
    Session s(files, c.shape);
    EXPECT_EQ(s.Open(true), 0);
    const auto problems = testing::CheckStructure(s.volume());
    EXPECT_TRUE(problems.empty()) << "after a write: " << problems.front();
  }
  CheckReport again;
  EXPECT_EQ(Check(files, c.shape, kCheckOnly, again), 0);
  EXPECT_TRUE(again.Clean()) << "second check: " << Describe(again);
  return intact;
}

// ------------------------------------------------------------ sound ones

class RepairTest : public ::testing::TestWithParam<Shape> {};

TEST_P(RepairTest, SoundContainerChecksCleanAndStaysAsItWas) {
  const Container& c = TheContainer(GetParam());
  struct Case {
    const char* what;
    std::uint32_t flags;
  } cases[] = {{"check", kCheckOnly},
               {"check every page", kCheckOnly | kCheckEveryPage},
               {"repair", 0},
               {"repair every page", kCheckEveryPage}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    MemoryHostFiles files;
    files.SetContents(kName, c.image);
    CheckReport report;
    ProgressLog log;
    ASSERT_EQ(Check(files, c.shape, k.flags, report, &log), 0);
    EXPECT_TRUE(report.Clean()) << Describe(report);
    EXPECT_TRUE(files.Contents(kName) == c.image) << "the host file changed";
    const std::set<std::uint8_t> phases = (k.flags & kCheckOnly)
                                              ? std::set<std::uint8_t>{1, 2, 3}
                                              : std::set<std::uint8_t>{1, 2, 3, 4};
    EXPECT_EQ(log.Operations(), phases);
    for (const auto& e : log.entries) EXPECT_TRUE(e.canStop) << int(e.operation);
  }
}

TEST_P(RepairTest, DamageSweep) {
  const Container& c = TheContainer(GetParam());
  const std::uint32_t size = c.shape.pageSize;
  const auto pages = static_cast<std::uint32_t>(c.image.size() / size);
  std::mt19937 random(c.shape.seed * 7919u);
  // The damaged pages: every object page kind, map pages, page 0 and page 1.
  // Page 2 (the root) is its own test.
  std::vector<std::uint32_t> targets = {0, 1};
  std::map<std::uint16_t, std::vector<std::uint32_t>> byType;
  for (std::uint32_t j = 3; j < pages; ++j) {
    if ((j & (size / 2 - 1)) == 0) {
      targets.push_back(j);
      continue;
    }
    if (c.ownerOfPage[j] != 0) byType[LoadU16(c.image.data() + std::size_t{j} * size)].push_back(j);
  }
  for (auto& [type, list] : byType) {
    std::shuffle(list.begin(), list.end(), random);
    for (std::size_t i = 0; i < list.size() && i < 6; ++i) targets.push_back(list[i]);
  }
  struct Variant {
    std::uint32_t first, count, how;  // how: 0 zeros, 1 random bytes, 2 a copy of another page
  };
  std::vector<Variant> variants;
  for (std::uint32_t j : targets)
    variants.push_back({j, 1, static_cast<std::uint32_t>(random() % 3)});
  for (int i = 0; i < 24; ++i) {
    const std::uint32_t count = 2 + random() % 9;
    const std::uint32_t first = 3 + random() % (pages - 3 - count);
    variants.push_back({first, count, static_cast<std::uint32_t>(i % 3)});
  }

  std::size_t verified = 0, touchedObjects = 0;
  CheckReport total;
  for (const Variant& v : variants) {
    SCOPED_TRACE(::testing::Message()
                 << c.shape.name << ": pages " << v.first << "+" << v.count << ", how " << v.how);
    Bytes damaged = c.image;
    std::set<std::uint32_t> touched;
    for (std::uint32_t j = v.first; j < v.first + v.count; ++j) {
      std::uint8_t* at = damaged.data() + std::size_t{j} * size;
      if (v.how == 0) {
        std::memset(at, 0, size);
      } else if (v.how == 1) {
        for (std::uint32_t b = 0; b < size; ++b) at[b] = static_cast<std::uint8_t>(random());
      } else {
        std::uint32_t from = 1 + random() % (pages - 1);
        if (from == j) from = j - 1;
        std::memcpy(at, c.image.data() + std::size_t{from} * size, size);
      }
      if (c.ownerOfPage[j] != 0) touched.insert(c.ownerOfPage[j]);
    }
    MemoryHostFiles files;
    files.SetContents(kName, damaged);
    CheckReport checked, repaired;
    ASSERT_EQ(Check(files, c.shape, kCheckOnly, checked), 0);
    EXPECT_TRUE(files.Contents(kName) == damaged) << "checking wrote to the file";
    ASSERT_EQ(Check(files, c.shape, 0, repaired), 0);
    EXPECT_EQ(checked.LinksCut, repaired.LinksCut);
    EXPECT_EQ(checked.OrphansFreed, repaired.OrphansFreed);
    if (!touched.empty() || v.first <= 1) {
      EXPECT_FALSE(repaired.Clean()) << "damage unnoticed";
    }
    verified += ExpectSound(files, c, touched);
    touchedObjects += touched.size();
    total.LinksCut += repaired.LinksCut;
    total.EntriesCleared += repaired.EntriesCleared;
    total.RecordsRemoved += repaired.RecordsRemoved;
    total.NamesShortened += repaired.NamesShortened;
    total.OrphansFreed += repaired.OrphansFreed;
    total.PagesRewritten += repaired.PagesRewritten;
    if (HasFatalFailure()) return;
  }
  std::printf(
      "[ sweep    ] %s: %u pages, %zu objects, %zu damaged variants, %zu intact objects "
      "verified, %zu damaged objects; repairs: %s\n",
      c.shape.name, pages, c.objects.size(), variants.size(), verified, touchedObjects,
      Describe(total).c_str());
}

// Random values in single fields of object pages: page headers, record
// heads, directory entries, name lengths, block index entries. Whatever the
// field, the repair leaves a sound container and every object the damaged
// page does not belong to (or hold) intact.
TEST_P(RepairTest, DamagedFieldsSweep) {
  const Container& c = TheContainer(GetParam());
  const std::uint32_t size = c.shape.pageSize;
  std::vector<std::uint32_t> objectPages;
  for (std::uint32_t j = 3; j < c.ownerOfPage.size(); ++j)
    if (c.ownerOfPage[j] != 0) objectPages.push_back(j);
  std::mt19937 random(c.shape.seed * 104729u);
  std::size_t verified = 0, variants = 0;
  for (int round = 0; round < 120; ++round) {
    const std::uint32_t j = objectPages[random() % objectPages.size()];
    Bytes damaged = c.image;
    std::uint8_t* page = damaged.data() + std::size_t{j} * size;
    const std::uint16_t type = LoadU16(c.image.data() + std::size_t{j} * size);
    // Where: a header field, or a field of the page's contents.
    std::uint32_t at = 4 * (1 + random() % 7);
    // Enciphered contents cannot be changed field by field, and the root's
    // storage encryption record is what tells a repair how to read them.
    const bool plainContents = c.shape.storageMode == ecNoEncryption;
    if (plainContents && random() % 2 == 0) {
      if (type == DirectoryEntryPage) {
        // ObjectId, HeaderPage, NameLength, NameNextPage. Attributes are
        // left out: the repair judges links, not what an entry calls its
        // object, so attributes that make a file a link stay as they are.
        const std::uint32_t fields[] = {kEntryObjectId, kEntryHeaderPage, kEntryNameLength,
                                        kEntryNameNextPage};
        at = kPageHeaderSize + kDirectoryEntrySize * (random() % ((size - 32) / 64)) +
             fields[random() % 4];
      } else if (type == ObjectHeaderPage) {
        const std::uint32_t used = std::min<std::uint32_t>(LoadU16(page + kUsedLength), size - 4);
        at =
            random() % 3 == 0 ? kUsedLength : kFirstRecord + 4 * (random() % ((used - 36) / 4 + 1));
      } else if (type == BlockIndexPage) {
        at = kPageHeaderSize + 4 * (random() % 8);
      }
    }
    // What: nothing, one more, a random value, another page's number.
    const std::uint32_t old = LoadU32(page + at);
    const std::uint32_t values[] = {0, old + 1, static_cast<std::uint32_t>(random()),
                                    objectPages[random() % objectPages.size()]};
    const std::uint32_t value = values[random() % 4];
    if (value == old) continue;
    StoreU32(page + at, value);
    SCOPED_TRACE(::testing::Message() << c.shape.name << ": page " << j << " type " << type
                                      << " byte " << at << " = " << value);
    MemoryHostFiles files;
    files.SetContents(kName, damaged);
    CheckReport report;
    ASSERT_EQ(Check(files, c.shape, 0, report), 0);
    verified += ExpectSound(files, c, {c.ownerOfPage[j]});
    ++variants;
    if (HasFatalFailure()) return;
  }
  std::printf("[ fields   ] %s: %zu damaged fields, %zu intact objects verified\n", c.shape.name,
              variants, verified);
}

INSTANTIATE_TEST_SUITE_P(Containers, RepairTest, ::testing::ValuesIn(kShapes),
                         [](const ::testing::TestParamInfo<Shape>& info) {
                           std::string name = info.param.name;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

// ------------------------------------------------------------ single cases

TEST(RepairCases, NewContainersOfEveryPageSizeCheckClean) {
  for (std::uint32_t pageSize : {256u, 4096u, 65536u}) {
    for (bool transactions : {false, true}) {
      SCOPED_TRACE(::testing::Message()
                   << pageSize << (transactions ? " with" : " without") << " transactions");
      const Shape shape{"new", pageSize, transactions, ecNoEncryption, 1, false};
      MemoryHostFiles files;
      {
        Session s(files, shape);
        ASSERT_EQ(s.Create(), 0);
        ASSERT_EQ(s.Close(), 0);
      }
      const Bytes image = files.Contents(kName);
      for (std::uint32_t flags : {kCheckOnly | kCheckEveryPage, 0u}) {
        CheckReport report;
        ASSERT_EQ(Check(files, shape, flags, report), 0);
        EXPECT_TRUE(report.Clean()) << Describe(report);
        EXPECT_TRUE(files.Contents(kName) == image);
      }
    }
  }
}

// The first page of the image with this type whose header fields pass `fits`.
std::uint32_t FindPage(const Container& c, std::uint16_t type,
                       bool (*fits)(const std::uint8_t* page)) {
  const std::uint32_t size = c.shape.pageSize;
  for (std::uint32_t j = 3; j < c.ownerOfPage.size(); ++j) {
    const std::uint8_t* page = c.image.data() + std::size_t{j} * size;
    if (c.ownerOfPage[j] != 0 && LoadU16(page) == type && fits(page)) return j;
  }
  ADD_FAILURE() << "no such page";
  return 0;
}

std::uint8_t* PageAt(Bytes& image, std::uint32_t pageSize, std::uint32_t j) {
  return image.data() + std::size_t{j} * pageSize;
}

// A data page of a chain without a block index, not the chain's first.
bool MidChainDataPage(const std::uint8_t* page) {
  return LoadU32(page + kChainIndex) != 0 && LoadU32(page + kIndexPage) == 0;
}

// `c`'s image with a data page in the middle of a chain (page 0: none)
// claiming to belong to the object after its owner.
struct ForeignDataPage {
  Bytes image;
  std::uint32_t page = 0;
  std::uint32_t owner = 0;
  std::uint32_t predecessor = 0;
};
ForeignDataPage WithForeignDataPage(const Container& c) {
  ForeignDataPage d{c.image, FindPage(c, DataPage, MidChainDataPage)};
  if (d.page == 0) return d;
  std::uint8_t* page = PageAt(d.image, c.shape.pageSize, d.page);
  d.owner = LoadU32(page + kOwnerId);
  d.predecessor = LoadU32(page + kPrevPage);
  StoreU32(page + kOwnerId, d.owner + 1);
  return d;
}

// The textbook case: a data page that its predecessor's link
// says belongs to another object loses the link (reported at the
// predecessor), and nothing else referencing it, it is freed as an orphan.
TEST(RepairCases, DataPageOfAnotherOwnerIsCutAndFreed) {
  const Container& c = TheContainer(kPlain);
  const ForeignDataPage foreign = WithForeignDataPage(c);
  const std::uint32_t j = foreign.page;
  ASSERT_NE(j, 0u);
  const Bytes& damaged = foreign.image;
  const std::uint32_t owner = foreign.owner;
  const std::uint32_t predecessor = foreign.predecessor;
  MemoryHostFiles files;
  files.SetContents(kName, damaged);

  ProgressLog checking;
  CheckReport found;
  ASSERT_EQ(Check(files, c.shape, kCheckOnly, found, &checking), 0);
  EXPECT_TRUE(files.Contents(kName) == damaged);
  EXPECT_EQ(checking.PagesOf(kProgressLinkCut), std::vector<std::uint32_t>{predecessor});
  const auto orphans = checking.PagesOf(kProgressOrphanFreed);
  EXPECT_NE(std::find(orphans.begin(), orphans.end(), j), orphans.end());
  EXPECT_EQ(found.LinksCut, 1u);
  EXPECT_EQ(found.OrphansFreed, orphans.size());

  ProgressLog repairing;
  CheckReport mended;
  ASSERT_EQ(Check(files, c.shape, 0, mended, &repairing), 0);
  EXPECT_EQ(repairing.PagesOf(kProgressOrphanFreed), orphans);
  EXPECT_EQ(mended.OrphansFreed, found.OrphansFreed);
  EXPECT_EQ(mended.PagesRewritten, found.PagesRewritten);
  EXPECT_GT(ExpectSound(files, c, {owner}), 0u);

  // The file keeps the pages before the cut.
  Session s(files, c.shape);
  ASSERT_EQ(s.Open(true), 0);
  Walker walker(s.store());
  walker.Walk();
  for (const auto& [path, expected] : c.objects) {
    if (c.idChain.at(path).front() != owner) continue;
    const Bytes& now = walker.outcomes.at(path).data;
    const std::size_t kept =
        std::size_t{LoadU32(c.image.data() + std::size_t{j} * c.shape.pageSize + kChainIndex)} *
        (c.shape.pageSize - kPageHeaderSize);
    ASSERT_GE(now.size(), kept);
    EXPECT_TRUE(std::equal(now.begin(), now.begin() + static_cast<std::ptrdiff_t>(kept),
                           expected.content.begin()));
  }
}

// A repair cut by a power loss at any write leaves a container that a
// second repair brings to the repaired state, with every object the damage
// did not touch intact; once a repair returned, its work survives a power
// loss and a check finds the container clean.
TEST(RepairCases, APowerLossInARepairIsMendedByTheNext) {
  const Container& c = TheContainer(kPlain);
  const ForeignDataPage foreign = WithForeignDataPage(c);
  ASSERT_NE(foreign.page, 0u);
  const std::uint32_t owner = foreign.owner;
  const MemoryHostFiles::Snapshot base{{kName, foreign.image}};

  MemoryHostFiles full(base);
  full.ResetFaults();
  CheckReport report;
  ASSERT_EQ(Check(full, c.shape, 0, report), 0);
  ASSERT_FALSE(report.Clean());
  const std::uint64_t writes = full.WriteCount();
  ASSERT_GT(writes, 1u);

  const std::uint64_t stride = std::max<std::uint64_t>(1, writes / 40);
  for (const testing::PowerLossCase& loss : testing::kPowerLosses) {
    SCOPED_TRACE(loss.name);
    {
      SCOPED_TRACE("after the repair returned");
      MemoryHostFiles files(base);
      files.SetPowerLoss(loss.unflushed, loss.seed);
      ASSERT_EQ(Check(files, c.shape, 0, report), 0);
      files.CrashAfterWrites(0);
      MemoryHostFiles after(files.TakeSnapshot());
      CheckReport again;
      ASSERT_EQ(Check(after, c.shape, kCheckOnly, again), 0);
      EXPECT_TRUE(again.Clean()) << Describe(again);
      ExpectSound(after, c, {owner});
      if (HasFatalFailure()) return;
    }
    for (std::uint64_t cut = 0; cut < writes; cut += stride) {
      SCOPED_TRACE("crash after write " + std::to_string(cut));
      MemoryHostFiles files(base);
      files.ResetFaults();
      files.SetPowerLoss(loss.unflushed, loss.seed);
      files.CrashAfterWrites(cut);
      (void)Check(files, c.shape, 0, report);
      MemoryHostFiles after(files.TakeSnapshot());
      ASSERT_EQ(Check(after, c.shape, 0, report), 0);
      ExpectSound(after, c, {owner});
      if (HasFatalFailure()) return;
    }
  }
}

TEST(RepairCases, EncipheredContainerNeedsItsPassword) {
  const Container& c = TheContainer(kSmallCiphered);
  Bytes damaged = c.image;
  const std::uint32_t j = FindPage(c, DirectoryEntryPage, [](const std::uint8_t*) { return true; });
  std::memset(PageAt(damaged, c.shape.pageSize, j), 0, c.shape.pageSize);
  struct Case {
    const char* what;
    std::uint32_t mode;
    Bytes password;
  } cases[] = {{"no password", ecNoEncryption, {}},
               {"a mode but no password", ecAES256_SHA256, {}},
               {"a wrong password", ecAES256_SHA256, Utf16Bytes(u"st0rage kez")},
               {"the password with another mode", ecAES256_HMAC256, StoragePassword()}};
  for (const Bytes* image : {&c.image, const_cast<const Bytes*>(&damaged)}) {
    for (const Case& k : cases) {
      for (std::uint32_t flags : {kCheckOnly, 0u}) {
        SCOPED_TRACE(::testing::Message()
                     << k.what << (image == &damaged ? ", damaged" : "") << ", flags " << flags);
        MemoryHostFiles files;
        files.SetContents(kName, *image);
        Volume volume;
        ASSERT_EQ(volume.SetHostFileCallbacks(files.Callbacks()), 0);
        CheckReport report;
        EXPECT_EQ(CheckAndRepair(volume, kName, c.shape.pageSize, flags, k.mode, k.password, 0,
                                 nullptr, {}, &report),
                  errInvalidPassword);
        EXPECT_TRUE(files.Contents(kName) == *image) << "the file changed";
      }
    }
  }
}

TEST(RepairCases, NoRootDirectoryIsNotRepaired) {
  const Container& c = TheContainer(kPlain);
  for (int how = 0; how < 2; ++how) {
    Bytes damaged = c.image;
    std::uint8_t* root = PageAt(damaged, c.shape.pageSize, 2);
    std::mt19937 random(how);
    for (std::uint32_t b = 0; b < c.shape.pageSize; ++b)
      root[b] = how == 0 ? 0 : static_cast<std::uint8_t>(random());
    for (std::uint32_t flags : {kCheckOnly, 0u}) {
      MemoryHostFiles files;
      files.SetContents(kName, damaged);
      CheckReport report;
      EXPECT_EQ(Check(files, c.shape, flags, report), errInvalidStorageFile);
      EXPECT_TRUE(files.Contents(kName) == damaged);
    }
  }
}

TEST(RepairCases, RefusesAnOpenVolumeABadPageSizeAndAReadOnlyFile) {
  const Container& c = TheContainer(kPlain);
  MemoryHostFiles files;
  files.SetContents(kName, c.image);
  {
    Session open(files, c.shape);
    ASSERT_EQ(open.Open(true), 0);
    EXPECT_EQ(CheckAndRepair(open.volume(), kName, 512, kCheckOnly, 0, {}, 0, nullptr, {}),
              errStorageActive);
  }
  Volume volume;
  ASSERT_EQ(volume.SetHostFileCallbacks(files.Callbacks()), 0);
  for (std::uint32_t size : {0u, 128u, 3000u, 131072u})
    EXPECT_EQ(CheckAndRepair(volume, kName, size, kCheckOnly, 0, {}, 0, nullptr, {}),
              errInvalidPageSize);
  files.SetReadOnly(kName, true);
  CheckReport report;
  EXPECT_EQ(Check(files, c.shape, kCheckOnly, report), 0);
  EXPECT_TRUE(report.Clean());
  EXPECT_EQ(Check(files, c.shape, 0, report), errStorageReadOnly);
  EXPECT_TRUE(files.Contents(kName) == c.image);
}

// Stopping works until the first page is written; from then on every report
// says it cannot stop, and a Stop answer is not taken.
TEST(RepairCases, StopEndsTheRunOnlyBeforeTheFirstWrite) {
  const Container& c = TheContainer(kPlain);
  Bytes damaged = c.image;
  const std::uint32_t j = FindPage(c, DataPage, MidChainDataPage);
  std::memset(PageAt(damaged, c.shape.pageSize, j), 0, c.shape.pageSize);
  for (std::uint8_t operation : {kProgressReadingPages, kProgressCheckingLinks,
                                 kProgressSearchingOrphans, kProgressWritingRepairs}) {
    SCOPED_TRACE(int(operation));
    MemoryHostFiles files;
    files.SetContents(kName, damaged);
    ProgressLog log;
    log.stopOperation = operation;
    log.stopAt = 3;
    CheckReport report;
    EXPECT_EQ(Check(files, c.shape, 0, report, &log), errInterrupted);
    EXPECT_TRUE(files.Contents(kName) == damaged) << "written before the stop";
  }
  MemoryHostFiles files;
  files.SetContents(kName, damaged);
  ProgressLog log;
  CheckReport report;
  ASSERT_EQ(Check(files, c.shape, 0, report, &log), 0);
  auto firstFixed = std::find_if(log.entries.begin(), log.entries.end(),
                                 [](const ProgressLog::Entry& e) { return !e.canStop; });
  ASSERT_NE(firstFixed, log.entries.end());
  EXPECT_EQ(firstFixed->operation, kProgressWritingRepairs);
  EXPECT_TRUE(std::none_of(firstFixed, log.entries.end(),
                           [](const ProgressLog::Entry& e) { return e.canStop; }));
  const auto writes = static_cast<std::uint32_t>(std::count_if(
      log.entries.begin(), firstFixed,
      [](const ProgressLog::Entry& e) { return e.operation == kProgressWritingRepairs; }));

  MemoryHostFiles again;
  again.SetContents(kName, damaged);
  ProgressLog late;
  late.stopOperation = kProgressWritingRepairs;
  late.stopAt = writes + 1;
  ASSERT_EQ(Check(again, c.shape, 0, report, &late), 0);
  EXPECT_TRUE(again.Contents(kName) == files.Contents(kName));
  ExpectSound(again, c, {c.ownerOfPage[j]});
}

// A commit cut short by a crash: checking reports it and changes nothing;
// the repair finishes (or drops) the commit first and then finds a sound
// container with everything that was there before.
TEST(RepairCases, InterruptedCommitIsFinishedFirst) {
  const Container& c = TheContainer(kJournaledCiphered);
  std::size_t crashes = 0;
  for (std::uint64_t crashAfter = 1; crashAfter <= 40; crashAfter += 3) {
    SCOPED_TRACE(::testing::Message() << "crash after write " << crashAfter);
    MemoryHostFiles before;
    before.SetContents(kName, c.image);
    {
      Session s(before, c.shape);
      ASSERT_EQ(s.Open(false), 0);
      before.CrashAfterWrites(crashAfter);
      std::mt19937 random(static_cast<std::uint32_t>(crashAfter));
      EngineResult ignored = WriteFile(s.store(), u"/late.bin", RandomBytes(7000, random));
      (void)ignored;
    }
    if (!before.Crashed()) break;
    ++crashes;
    MemoryHostFiles files(before.TakeSnapshot());
    const Bytes crashed = files.Contents(kName);
    CheckReport report;
    ASSERT_EQ(Check(files, c.shape, kCheckOnly, report), 0);
    // Unless the crash came after the close's last write, the volume is
    // still marked as mounted.
    if (LoadU16(crashed.data() + c.shape.pageSize + kMountedFlag) != 0) {
      EXPECT_FALSE(report.Clean()) << "a crashed container checks clean";
    }
    EXPECT_TRUE(files.Contents(kName) == crashed);
    ASSERT_EQ(Check(files, c.shape, 0, report), 0);
    ExpectSound(files, c, {});
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(crashes, 5u);
}

// A fixed-size volume behind a partition table, with a FAT area after it:
// the repair finds the volume where Open does and keeps out of both areas.
TEST(RepairCases, FormattedVolumeBetweenBootAreaAndFatArea) {
  const Shape shape{"formatted", 512, false, ecNoEncryption, 55, false};
  MemoryHostFiles files;
  {
    Volume volume;
    ASSERT_EQ(volume.SetHostFileCallbacks(files.Callbacks()), 0);
    ASSERT_EQ(FormatVolume(volume, kName, 4 << 20, shape.pageSize, u"", kFormatBootArea | 4, {}),
              0);
  }
  std::mt19937 random(5);
  const Bytes content = RandomBytes(9000, random);
  {
    Session s(files, shape);
    ASSERT_EQ(s.Open(false), 0);
    ASSERT_EQ(PathCreateDirectory(s.store(), u"/dir"), 0);
    ASSERT_EQ(WriteFile(s.store(), u"/dir/data.bin", content), 0);
    ASSERT_EQ(WriteFile(s.store(), u"/other.bin", RandomBytes(3000, random)), 0);
    ASSERT_EQ(s.Close(), 0);
  }
  const Bytes image = files.Contents(kName);
  FormatLayout layout;
  ASSERT_EQ(PlanFormat(image.size(), shape.pageSize, kFormatBootArea | 4, layout), 0);
  const std::uint64_t fatStart = layout.FatAreaStart();
  for (std::uint32_t flags : {kCheckOnly, kCheckOnly | kCheckEveryPage, 0u}) {
    CheckReport report;
    ASSERT_EQ(Check(files, shape, flags, report), 0);
    EXPECT_TRUE(report.Clean()) << Describe(report);
    EXPECT_TRUE(files.Contents(kName) == image);
  }
  // Damage /other.bin's data (a page of object 4), and in a second round
  // the volume's first two pages as well.
  Bytes damaged = image;
  const std::uint32_t volumeStart = layout.BootAreaSize / shape.pageSize;
  std::uint32_t victim = 0;
  for (std::uint32_t j = 3; j < layout.VolumePages && victim == 0; ++j) {
    const std::uint8_t* page = damaged.data() + std::size_t{volumeStart + j} * shape.pageSize;
    if (LoadU16(page) == DataPage && LoadU32(page + kChainIndex) == 1 &&
        LoadU32(page + kOwnerId) == 4)
      victim = j;
  }
  ASSERT_NE(victim, 0u);
  std::memset(damaged.data() + std::size_t{volumeStart + victim} * shape.pageSize, 0xA5,
              shape.pageSize);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    if (round == 1) std::memset(damaged.data() + layout.BootAreaSize, 0, 2 * shape.pageSize);
    files.SetContents(kName, damaged);
    CheckReport report;
    ASSERT_EQ(Check(files, shape, 0, report), 0);
    EXPECT_FALSE(report.Clean());
    const Bytes repaired = files.Contents(kName);
    ASSERT_EQ(repaired.size(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + layout.BootAreaSize, repaired.begin()));
    EXPECT_TRUE(std::equal(image.begin() + static_cast<std::ptrdiff_t>(fatStart), image.end(),
                           repaired.begin() + static_cast<std::ptrdiff_t>(fatStart)));
    {
      Session s(files, shape);
      ASSERT_EQ(s.Open(true), 0);
      const auto problems = testing::CheckStructure(s.volume());
      EXPECT_TRUE(problems.empty()) << problems.front();
      Walker walker(s.store());
      walker.Walk();
      EXPECT_TRUE(walker.corrupted.empty());
      EXPECT_TRUE(walker.outcomes[u"/dir/data.bin"].data == content);
    }
    ASSERT_EQ(Check(files, shape, kCheckOnly, report), 0);
    EXPECT_TRUE(report.Clean()) << Describe(report);
  }
}

}  // namespace
}  // namespace vaultfs
