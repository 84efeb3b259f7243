// Damaged containers: whatever happened to the pages of the object layer,
// opening, listing, reading and changing the tree ends in success or a clean
// error code, never in a crash, a hang or undefined behaviour. Structural
// damage is reported as errStorageCorrupted, and then the volume says it is
// corrupted. Damage to one object's pages leaves every other object intact.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "vaultfs/format/object_layout.h"
#include "vaultfs/objects/codecs.h"
#include "vaultfs/objects/file_data.h"
#include "vaultfs/objects/file_object.h"
#include "vaultfs/objects/records.h"
#include "vaultfs/volume/page_cipher.h"
#include "support/memory_host_files.h"
#include "support/sample_data.h"
#include "support/structure_check.h"

namespace vaultfs {
namespace {

using testing::MemoryHostFiles;
using testing::Narrow;
using testing::RandomBytes;
using namespace layout;
using Bytes = std::vector<std::uint8_t>;
using Path = std::vector<std::u16string>;

const std::u16string kName = u"damaged.vfs";
constexpr std::uint32_t kPageSize = 512;
constexpr std::uint32_t kPayload = kPageSize - kPageHeaderSize;

// Bounds of the walk. A damaged size may claim terabytes and a damaged tree
// may be deep; neither is the engine's fault, so the walk stops early.
constexpr std::size_t kMaxDepth = 12;
constexpr std::size_t kMaxEntries = 64;
constexpr std::uint64_t kMaxRead = 1 << 20;
constexpr std::uint32_t kReadChunk = 777;

const Bytes& ThePassword() {
  static const Bytes password = testing::Utf16Bytes(u"c0rrect h0rse");
  return password;
}

Bytes Compressible(std::size_t size, std::uint32_t seed) {
  std::mt19937 random(seed);
  return testing::Compressible(size, random, "damaged vault ", 300);
}

Bytes TextBytes(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

std::u16string LongName(std::size_t units, char16_t first) {
  std::u16string name;
  for (std::size_t i = 0; i < units; ++i) name.push_back(static_cast<char16_t>(first + i % 26));
  return name;
}

std::u16string Join(const Path& path) {
  std::u16string joined;
  for (const auto& name : path) joined += u"/" + name;
  return joined.empty() ? u"/" : joined;
}

// --------------------------------------------------------------- the tree

struct Setup {
  std::uint32_t compression = crNoCompression;
  std::uint32_t level = 0;
  std::uint32_t blockPages = 0;
  std::uint32_t encryption = ecNoEncryption;
};

// What one object of the tree holds: a file's bytes, a link's target, or a
// directory's sorted names.
struct Outcome {
  EngineResult result = 0;
  Bytes data;
  friend bool operator==(const Outcome&, const Outcome&) = default;
};
using Outcomes = std::map<std::u16string, Outcome>;

// The container every case starts from, built once: 512-byte pages, so even
// a small tree takes hundreds of pages and every kind of chain.
struct Image {
  Bytes bytes;
  Outcomes expected;
  std::map<std::uint32_t, Path> pathOf;  // object id -> path
};

Bytes ListingOf(const std::vector<std::u16string>& names) {
  Bytes data;
  for (const auto& name : names) {
    for (char16_t unit : name) {
      data.push_back(static_cast<std::uint8_t>(unit));
      data.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    data.push_back(0);
    data.push_back(0);
  }
  return data;
}

class TreeBuilder {
 public:
  TreeBuilder(Volume& volume, Image& image) : volume_(volume), image_(image) {}

  FileObject* Make(FileObject& parent, const Path& parentPath, std::u16string_view name,
                   std::uint32_t attributes, const Setup& setup = {}) {
    Transaction* t = nullptr;
    EXPECT_EQ(volume_.Begin(false, t), 0);
    EXPECT_EQ(volume_.JoinObject(t, &parent), 0);
    FileObject* child = nullptr;
    bool created = false;
    EngineResult r = CreateChild(parent, name, attributes, nullptr, false, true, t, child, created);
    if (r == 0 && setup.encryption != ecNoEncryption)
      r = ChangeFileEncryption(*child, t, setup.encryption, {}, ThePassword(), true);
    if (r == 0 && setup.compression != crNoCompression)
      r = ChangeFileCompression(*child, t, setup.compression, setup.level, setup.blockPages,
                                setup.encryption ? ThePassword() : Bytes{}, true);
    EXPECT_EQ(r, 0) << Narrow(name);
    if (child) child->Release();
    if (r != 0) {
      EXPECT_EQ(volume_.Rollback(t), 0);
      return nullptr;
    }
    EXPECT_EQ(volume_.Commit(t), 0);
    Path path = parentPath;
    path.emplace_back(name);
    image_.pathOf[child->ObjectId()] = path;
    return child;
  }

  void File(FileObject& parent, const Path& parentPath, std::u16string_view name,
            const Bytes& content, const Setup& setup = {}) {
    FileObject* file = Make(parent, parentPath, name, attrFile, setup);
    ASSERT_NE(file, nullptr);
    FileHandle* h = nullptr;
    const Bytes& password = setup.encryption ? ThePassword() : Bytes{};
    ASSERT_EQ(OpenHandle(*file, 0, u"/build", true, true, false, false, -1, password, h), 0);
    for (std::size_t done = 0; done < content.size();) {
      const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(1237, content.size() - done));
      std::uint32_t written = 0;
      ASSERT_EQ(WriteData(h, content.data() + done, n, written), 0);
      done += n;
    }
    ASSERT_EQ(CloseHandle(h, false), 0);
    Expect(parentPath, name, content);
  }

  void Link(FileObject& parent, const Path& parentPath, std::u16string_view name,
            const Bytes& target) {
    FileObject* link = Make(parent, parentPath, name, attrSymLink);
    ASSERT_NE(link, nullptr);
    Transaction* t = nullptr;
    ASSERT_EQ(volume_.Begin(false, t), 0);
    ASSERT_EQ(volume_.JoinObject(t, link), 0);
    ASSERT_EQ(WriteStream(*link, t, target), 0);
    ASSERT_EQ(volume_.Commit(t), 0);
    Expect(parentPath, name, target);
  }

  // Tag records big enough to give the object a chain of header pages.
  void Tags(FileObject& object, std::uint16_t count) {
    Transaction* t = nullptr;
    ASSERT_EQ(volume_.Begin(false, t), 0);
    ASSERT_EQ(volume_.JoinObject(t, &object), 0);
    for (std::uint16_t i = 0; i < count; ++i) {
      const Bytes data = RandomBytes(300, i);
      std::uint32_t page = 0;
      ASSERT_EQ(AddRecord(object, static_cast<std::uint16_t>(kFirstTagKind + i), data.data(),
                          static_cast<std::uint32_t>(data.size()), t, page),
                0);
    }
    ASSERT_EQ(volume_.Commit(t), 0);
  }

  void Expect(const Path& parentPath, std::u16string_view name, const Bytes& content) {
    Path path = parentPath;
    path.emplace_back(name);
    image_.expected[Join(path)] = Outcome{0, content};
  }

 private:
  Volume& volume_;
  Image& image_;
};

void BuildTree(MemoryHostFiles& files, Image& image) {
  Volume volume;
  ASSERT_EQ(volume.SetHostFileCallbacks(files.Callbacks()), 0);
  auto store = std::make_unique<ObjectStore>(volume);
  ASSERT_EQ(volume.Create(kName, true, kPageSize, u""), 0);
  TreeBuilder b(volume, image);
  FileObject& root = *store->Root();
  const Path top;
  image.pathOf[1] = top;

  b.File(root, top, u"small.txt", TextBytes("a few bytes kept inline in their record"));
  b.File(root, top, u"empty", {});
  b.File(root, top, u"paged.bin", RandomBytes(3000, 1));
  b.File(root, top, u"indexed.bin", RandomBytes(12000, 2));
  b.File(root, top, u"big.bin", RandomBytes(60000, 3));  // two block index pages
  b.File(root, top, u"zlib.dat", Compressible(9000, 4), {crZLib, 6, 4});
  b.File(root, top, u"rle.dat", Compressible(5000, 5), {crRLE, 0, 2});
  b.File(root, top, u"secret.bin", RandomBytes(4000, 6), {crNoCompression, 0, 0, ecAES256_HMAC256});
  b.File(root, top, u"secret-zip.dat", Compressible(6000, 7), {crZLib, 9, 3, ecAES256_SHA256});
  b.File(root, top, LongName(300, u'a'), RandomBytes(700, 8));
  b.File(root, top, u"tagged.txt", TextBytes("header chain"));
  b.Link(root, top, u"link-short", TextBytes("small.txt"));
  b.Link(root, top, u"link-long", Compressible(1500, 9));

  FileObject* docs = b.Make(root, top, u"docs", attrDirectory, {crZLib, 6, 2});
  ASSERT_NE(docs, nullptr);
  const Path docsPath = {u"docs"};
  for (char16_t c = u'a'; c <= u'i'; ++c)  // two directory entry pages
    b.File(*docs, docsPath, std::u16string(1, c) + u".txt",
           Compressible(200 + 400 * (c - u'a'), c));
  FileObject* deep = b.Make(*docs, docsPath, u"deep", attrDirectory);
  ASSERT_NE(deep, nullptr);
  FileObject* deeper = b.Make(*deep, {u"docs", u"deep"}, u"deeper", attrDirectory);
  ASSERT_NE(deeper, nullptr);
  b.File(*deeper, {u"docs", u"deep", u"deeper"}, u"leaf.txt", RandomBytes(100, 10),
         {crNoCompression, 0, 0, ecAES256_SHA256});
  const std::u16string longDir = LongName(500, u'k');
  FileObject* named = b.Make(*docs, docsPath, longDir, attrDirectory);
  ASSERT_NE(named, nullptr);
  b.File(*named, {u"docs", longDir}, u"inner.txt", TextBytes("inside a long-named directory"));
  ASSERT_NE(b.Make(root, top, u"empty-dir", attrDirectory), nullptr);

  FileObject* tagged = nullptr;
  ASSERT_EQ(OpenChild(root, u"tagged.txt", errFileNotFound, nullptr, tagged), 0);
  tagged->Release();
  b.Tags(*tagged, 3);
  ASSERT_EQ(volume.Close(), 0);
  store.reset();
  image.bytes = files.Contents(kName);

  // Directory listings, as the walk reports them.
  std::map<Path, std::vector<std::u16string>> listings;
  for (const auto& [id, path] : image.pathOf) {
    if (path.empty()) continue;
    Path parent(path.begin(), path.end() - 1);
    listings[parent].push_back(path.back());
  }
  for (auto& [path, names] : listings) {
    std::sort(names.begin(), names.end());
    image.expected[Join(path)] = Outcome{0, ListingOf(names)};
  }
  image.expected[u"/empty-dir"] = Outcome{0, {}};
}

const Image& TheImage() {
  static const Image image = [] {
    Image built;
    MemoryHostFiles files;
    BuildTree(files, built);
    return built;
  }();
  return image;
}

// ------------------------------------------------------------ the session

// One open of a (possibly damaged) container with everything the tests do to
// it. Every engine result passes through Note, which enforces the rules that
// hold whatever the damage: the code is 0 or a known engine code, and an
// errStorageCorrupted leaves the volume marked corrupted.
class Session {
 public:
  Session(MemoryHostFiles& files, bool readOnly, bool transactions = true) {
    EXPECT_EQ(volume_.SetHostFileCallbacks(files.Callbacks()), 0);
    EXPECT_EQ(volume_.SetUseTransactions(transactions), 0);
    store_ = std::make_unique<ObjectStore>(volume_);
    openResult_ = Note(volume_.Open(kName, readOnly), "Open");
  }
  ~Session() { Close(); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  bool IsOpen() const { return volume_.Active; }
  EngineResult OpenResult() const { return openResult_; }
  const std::vector<std::string>& Violations() const { return violations_; }
  // Every call that failed, other than reads at the end of a file.
  const std::vector<std::string>& Failures() const { return failures_; }
  const Outcomes& Walked() const { return outcomes_; }

  EngineResult Note(EngineResult r, const char* what) {
    if (r != 0 && r != errSeekBeyondEOF)
      failures_.push_back(std::string(what) + " " + std::string(EngineCodeName(r)));
    if (r > 0 || r < -kEngineCodeCount)
      violations_.push_back(std::string(what) + " returned " + std::to_string(r));
    if (r == errStorageCorrupted) {
      bool corrupted = false;
      if (volume_.Active && (volume_.GetCorrupted(corrupted) != 0 || !corrupted))
        violations_.push_back(std::string(what) +
                              " returned errStorageCorrupted on a volume not marked corrupted");
    }
    return r;
  }

  // Lists every directory, reads every file to its end and every link target.
  void Walk() {
    outcomes_.clear();
    directories_.clear();
    files_.clear();
    links_.clear();
    if (!IsOpen() || !store_->Root()) return;
    Path path;
    std::vector<FileObject*> ancestors;
    WalkDirectory(*store_->Root(), path, ancestors);
  }

  // Changes the tree: writes into files, rewrites links, creates, renames
  // and deletes, each in its own transaction.
  void Mutate(std::uint32_t seed) {
    if (!IsOpen() || volume_.ReadOnly) return;
    std::mt19937 random(seed);
    const std::vector<Path> files = files_, links = links_, directories = directories_;
    for (std::size_t i = 0; i < files.size() && i < 8; ++i) ChangeFile(files[i], random);
    for (std::size_t i = 0; i < links.size() && i < 3; ++i) RewriteLink(links[i], random);
    for (std::size_t i = 0; i < directories.size() && i < 5; ++i)
      CreateIn(directories[i], static_cast<std::uint32_t>(i), random);
    for (std::size_t i = 0; i < files.size() && i < 3; ++i) ChangeSettings(files[i], i);
    const std::size_t renamed = files.empty() ? 0 : random() % files.size();
    if (!files.empty()) Rename(files[renamed]);
    if (files.size() > 1) Delete(files[(renamed + 1) % files.size()]);
    if (directories.size() > 1) Delete(directories[1 + random() % (directories.size() - 1)]);
  }

  // Deletes one object by path; the result of resolving or deleting it.
  EngineResult Delete(const Path& path) {
    if (path.empty()) return errInvalidParameter;
    Path parentPath(path.begin(), path.end() - 1);
    FileObject* parent = nullptr;
    EngineResult r = Resolve(parentPath, parent);
    if (r != 0) return r;
    return InTransaction({parent}, [&](Transaction* t) {
      FileObject* child = nullptr;
      EngineResult d =
          Note(OpenChild(*parent, path.back(), errFileNotFound, t, child), "OpenChild");
      if (d != 0) return d;
      d = Note(volume_.JoinObject(t, child), "JoinObject");
      if (d == 0) d = Note(DeleteObject(*child, t), "DeleteObject");
      child->Release();
      return d;
    });
  }

  void Close() {
    if (!volume_.Active) return;
    Note(store_->CloseAllHandles(volume_), "CloseAllHandles");
    for (Transaction* t : volume_.RunningNow())
      Note(volume_.Rollback(t), "Rollback");
    Note(volume_.Close(), "Close");
    if (volume_.Active) violations_.push_back("the volume stayed open after Close");
  }

  // Finds an object by its path; the object is neither locked nor referenced.
  EngineResult Resolve(const Path& path, FileObject*& object) {
    object = store_->Root();
    if (!object) return errStorageNotActive;
    for (const auto& name : path) {
      FileObject* child = nullptr;
      EngineResult r = Note(OpenChild(*object, name, errFileNotFound, nullptr, child), "OpenChild");
      if (r != 0) return r;
      child->Release();
      object = child;
    }
    return 0;
  }

  Volume& volume() { return volume_; }

 private:
  void Record(const Path& path, EngineResult r, Bytes data = {}) {
    outcomes_[Join(path)] = Outcome{r, std::move(data)};
  }

  void WalkDirectory(FileObject& directory, Path& path, std::vector<FileObject*>& ancestors) {
    directories_.push_back(path);
    EngineResult r = Note(LoadEntries(directory, nullptr), "LoadEntries");
    if (r != 0) return Record(path, r);
    std::vector<std::u16string> names;
    for (const EntryRef& entry : directory.ChildList) {
      if (names.size() == kMaxEntries) break;
      names.push_back(entry->Name);
    }
    Record(path, 0, ListingOf(names));
    if (path.size() >= kMaxDepth) return;
    ancestors.push_back(&directory);
    for (const auto& name : names) {
      path.push_back(name);
      FileObject* child = nullptr;
      r = Note(OpenChild(directory, name, errFileNotFound, nullptr, child), "OpenChild");
      if (r != 0) {
        Record(path, r);
      } else {
        if (std::find(ancestors.begin(), ancestors.end(), child) != ancestors.end())
          violations_.push_back("a directory contains itself: " + Narrow(Join(path)));
        else
          Visit(*child, path, ancestors);
        child->Release();
      }
      path.pop_back();
    }
    ancestors.pop_back();
  }

  void Visit(FileObject& object, Path& path, std::vector<FileObject*>& ancestors) {
    StorageTime created = 0, modified = 0, accessed = 0;
    Note(GetTimes(object, kTimeCreated | kTimeModified | kTimeAccessed, nullptr, created, modified,
                  accessed),
         "GetTimes");
    std::uint32_t mode = 0, level = 0, blockPages = 0;
    Note(ReadCompressionSetting(object, nullptr, mode, level, blockPages),
         "ReadCompressionSetting");
    if (object.IsDirectory()) return WalkDirectory(object, path, ancestors);
    Note(ReadEncryptionSetting(object, nullptr, mode), "ReadEncryptionSetting");
    if (object.Entry->Attributes & attrSymLink) {
      links_.push_back(path);
      Bytes target;
      EngineResult r = Note(ReadStream(object, nullptr, target), "ReadStream");
      return Record(path, r, std::move(target));
    }
    files_.push_back(path);
    FileHandle* h = nullptr;
    EngineResult r =
        Note(OpenHandle(object, 0, u"/walk", true, false, false, false, -1, ThePassword(), h),
             "OpenHandle");
    if (r != 0) return Record(path, r);
    std::uint64_t size = 0;
    Note(GetSize(h, size), "GetSize");
    Bytes data;
    std::uint8_t chunk[kReadChunk];
    while (data.size() < kMaxRead) {
      std::uint32_t done = 0;
      r = Note(ReadData(h, chunk, kReadChunk, done), "ReadData");
      data.insert(data.end(), chunk, chunk + done);
      if (r == errSeekBeyondEOF && done == 0) {
        r = 0;
        break;
      }
      if (r != 0) break;
      if (done == 0) {
        violations_.push_back("ReadData read nothing before the end: " + Narrow(Join(path)));
        break;
      }
    }
    const EngineResult closed = Note(CloseHandle(h, false), "CloseHandle");
    Record(path, r != 0 ? r : closed, std::move(data));
  }

  EngineResult InTransaction(std::initializer_list<FileObject*> joined,
                             const std::function<EngineResult(Transaction*)>& body) {
    Transaction* t = nullptr;
    EngineResult r = Note(volume_.Begin(false, t), "Begin");
    if (r != 0) return r;
    for (FileObject* object : joined)
      if (r == 0) r = Note(volume_.JoinObject(t, object), "JoinObject");
    if (r == 0) r = body(t);
    if (r == 0) return Note(volume_.Commit(t), "Commit");
    Note(volume_.Rollback(t), "Rollback");
    return r;
  }

  void WriteThrough(FileObject& file, std::mt19937& random) {
    FileHandle* h = nullptr;
    if (Note(OpenHandle(file, 0, u"/write", true, true, false, false, -1, ThePassword(), h),
             "OpenHandle") != 0)
      return;
    const Bytes data = RandomBytes(700 + random() % 1500, random());
    std::uint64_t size = 0, position = 0;
    Note(GetSize(h, size), "GetSize");
    // Appending at a damaged size of terabytes would fill the host; write
    // near the start instead.
    const std::uint64_t at = size <= kMaxRead ? size : random() % 5000;
    std::uint32_t done = 0;
    Note(Seek(h, static_cast<std::int64_t>(at), 0, position), "Seek");
    Note(WriteData(h, data.data(), static_cast<std::uint32_t>(data.size()), done), "WriteData");
    Note(Seek(h, 5, 0, position), "Seek");
    Note(WriteData(h, data.data(), 50, done), "WriteData");
    Note(FlushHandle(h, 0), "FlushHandle");
    Note(GetSize(h, size), "GetSize");
    Note(SetFileSizeByHandle(h, size / 2), "SetFileSizeByHandle");
    Note(CloseHandle(h, false), "CloseHandle");
  }

  void ChangeFile(const Path& path, std::mt19937& random) {
    FileObject* file = nullptr;
    if (Resolve(path, file) == 0 && !file->IsDirectory()) WriteThrough(*file, random);
  }

  // Rewrites the file's data under other compression and encryption
  // settings, and changes its attributes.
  void ChangeSettings(const Path& path, std::size_t n) {
    FileObject* file = nullptr;
    if (Resolve(path, file) != 0 || file->IsDirectory()) return;
    const std::uint32_t compression[] = {crRLE, crNoCompression, crZLib};
    const std::uint32_t encryption[] = {ecAES256_HMAC256, ecAES256_SHA256, ecNoEncryption};
    InTransaction({file}, [&](Transaction* t) {
      EngineResult r = Note(
          ChangeFileEncryption(*file, t, encryption[n % 3], ThePassword(), ThePassword(), true),
          "ChangeFileEncryption");
      if (r == 0)
        r = Note(ChangeFileCompression(*file, t, compression[n % 3], 0, 2, ThePassword(), true),
                 "ChangeFileCompression");
      if (r == 0)
        r = Note(SetAttributes(*file, file->Entry->Attributes ^ attrArchive, t), "SetAttributes");
      return r;
    });
  }

  void RewriteLink(const Path& path, std::mt19937& random) {
    FileObject* link = nullptr;
    if (Resolve(path, link) != 0 || link->IsDirectory()) return;
    const Bytes target = Compressible(random() % 1200, random());
    InTransaction(
        {link}, [&](Transaction* t) { return Note(WriteStream(*link, t, target), "WriteStream"); });
  }

  void CreateIn(const Path& path, std::uint32_t n, std::mt19937& random) {
    FileObject* directory = nullptr;
    if (Resolve(path, directory) != 0 || !directory->IsDirectory()) return;
    for (const std::uint32_t attributes : {attrFile, attrDirectory}) {
      const std::u16string name = u"fresh-" + std::u16string(1, static_cast<char16_t>(u'a' + n)) +
                                  (attributes == attrFile ? u".txt" : u"");
      FileObject* made = nullptr;
      EngineResult r = InTransaction({directory}, [&](Transaction* t) {
        FileObject* child = nullptr;
        bool created = false;
        EngineResult c =
            Note(CreateChild(*directory, name, attributes, nullptr, false, true, t, child, created),
                 "CreateChild");
        if (child) child->Release();
        made = child;
        return c;
      });
      if (r == 0 && attributes == attrFile) WriteThrough(*made, random);
    }
  }

  void Rename(const Path& path) {
    FileObject* object = nullptr;
    if (Resolve(path, object) != 0 || !object->Parent) return;
    const std::u16string name = LongName(30 + path.back().size() % 300, u'r');
    InTransaction({object->Parent, object}, [&](Transaction* t) {
      return Note(SetName(*object, name, false, true, t), "SetName");
    });
  }

  Volume volume_;
  std::unique_ptr<ObjectStore> store_;
  EngineResult openResult_ = 0;
  std::vector<std::string> violations_;
  std::vector<std::string> failures_;
  Outcomes outcomes_;
  std::vector<Path> directories_, files_, links_;
};

// ------------------------------------------------------------ the damage

std::uint8_t* PageAt(Bytes& image, std::uint32_t n) {
  return image.data() + std::size_t{n} * kPageSize;
}

std::vector<std::uint32_t> PagesOf(const Bytes& image, std::function<bool(std::uint16_t)> fits) {
  std::vector<std::uint32_t> pages;
  for (std::uint32_t n = 0; n < image.size() / kPageSize; ++n) {
    const std::uint16_t type = PageTypeOf(image.data() + std::size_t{n} * kPageSize);
    if (IsObjectPageType(type) && fits(type)) pages.push_back(n);
  }
  return pages;
}

std::vector<std::uint32_t> ObjectPages(const Bytes& image) {
  return PagesOf(image, [](std::uint16_t) { return true; });
}

// Page numbers that make a link go somewhere it must not.
std::uint32_t WildPage(std::mt19937& random, std::uint32_t self, const Bytes& image) {
  const std::uint32_t count = static_cast<std::uint32_t>(image.size() / kPageSize);
  const std::vector<std::uint32_t> objects = ObjectPages(image);
  const std::uint32_t choices[] = {0,
                                   1,
                                   2,
                                   self,
                                   objects[random() % objects.size()],
                                   objects[random() % objects.size()],
                                   static_cast<std::uint32_t>(random() % count),
                                   kPageSize / 2,
                                   count - 1,
                                   count,
                                   0xFFFFFFFFu,
                                   static_cast<std::uint32_t>(random())};
  return choices[random() % std::size(choices)];
}

std::uint32_t WildCount(std::mt19937& random, std::uint32_t current) {
  const std::uint32_t choices[] = {0,
                                   1,
                                   current - 1,
                                   current + 1,
                                   current * 2 + 7,
                                   kPayload,
                                   kPageSize,
                                   0xFFFF,
                                   0x10000,
                                   0x7FFFFFFF,
                                   0xFFFFFFFFu,
                                   static_cast<std::uint32_t>(random())};
  return choices[random() % std::size(choices)];
}

// The record heads of a header page, as long as they are well formed.
std::vector<std::uint32_t> RecordsOf(const std::uint8_t* page) {
  std::vector<std::uint32_t> records;
  const std::uint32_t used = std::min<std::uint32_t>(LoadU16(page + kUsedLength), kPageSize);
  for (std::uint32_t at = kFirstRecord; at + kRecordHeadSize <= used;) {
    const std::uint16_t length = LoadU16(page + at + kRecordLength);
    if (length < kRecordHeadSize) break;
    records.push_back(at);
    at += length;
  }
  return records;
}

// The used slots of a directory entry page.
std::vector<std::uint32_t> SlotsOf(const std::uint8_t* page) {
  std::vector<std::uint32_t> slots;
  for (std::uint32_t at = kPageHeaderSize; at + kDirectoryEntrySize <= kPageSize;
       at += kDirectoryEntrySize)
    if (LoadU32(page + at + kEntryObjectId) != 0) slots.push_back(at);
  return slots;
}

std::uint32_t SomeObjectId(std::mt19937& random, const Image& base) {
  auto it = base.pathOf.begin();
  std::advance(it, random() % base.pathOf.size());
  return it->first;
}

// One header or entry field to damage: the page types that have it and how
// to spoil it. Returns false when the chosen page has no such field.
struct FieldDamage {
  const char* name;
  std::function<bool(std::uint16_t)> fits;
  std::function<bool(Bytes&, std::uint32_t, std::mt19937&)> spoil;
};

std::vector<FieldDamage> FieldDamages(const Image& base) {
  auto any = [](std::uint16_t) { return true; };
  auto only = [](std::uint16_t type) { return [type](std::uint16_t t) { return t == type; }; };
  auto streams = [](std::uint16_t t) { return t != ObjectHeaderPage && t != DirectoryEntryPage; };
  auto pageField = [](std::uint32_t offset, auto value) {
    return [offset, value](Bytes& image, std::uint32_t n, std::mt19937& random) {
      std::uint8_t* page = PageAt(image, n);
      StoreU32(page + offset, value(image, n, random, LoadU32(page + offset)));
      return true;
    };
  };
  auto wildPage = [](const Bytes& image, std::uint32_t n, std::mt19937& random, std::uint32_t) {
    return WildPage(random, n, image);
  };
  auto recordField = [](std::uint32_t offset, bool wide, auto value) {
    return [offset, wide, value](Bytes& image, std::uint32_t n, std::mt19937& random) {
      std::uint8_t* page = PageAt(image, n);
      const std::vector<std::uint32_t> records = RecordsOf(page);
      if (records.empty()) return false;
      std::uint8_t* at = page + records[random() % records.size()] + offset;
      if (wide)
        StoreU32(at, value(image, n, random, LoadU32(at)));
      else
        StoreU16(at, static_cast<std::uint16_t>(value(image, n, random, LoadU16(at))));
      return true;
    };
  };
  auto entryField = [](std::uint32_t offset, auto value) {
    return [offset, value](Bytes& image, std::uint32_t n, std::mt19937& random) {
      std::uint8_t* page = PageAt(image, n);
      const std::vector<std::uint32_t> slots = SlotsOf(page);
      if (slots.empty()) return false;
      std::uint8_t* at = page + slots[random() % slots.size()] + offset;
      StoreU32(at, value(image, n, random, LoadU32(at)));
      return true;
    };
  };
  // A field inside the data of every record of one kind on the page.
  auto recordData = [](std::uint16_t kind, std::uint32_t offset, auto store) {
    return [kind, offset, store](Bytes& image, std::uint32_t n, std::mt19937& random) {
      std::uint8_t* page = PageAt(image, n);
      bool found = false;
      for (std::uint32_t at : RecordsOf(page)) {
        if (LoadU16(page + at + kRecordKind) != kind ||
            LoadU16(page + at + kRecordLength) < kRecordHeadSize + offset + 8)
          continue;
        store(page + at + kRecordHeadSize + offset, random);
        found = true;
      }
      return found;
    };
  };
  auto count = [](const Bytes&, std::uint32_t, std::mt19937& random, std::uint32_t current) {
    return WildCount(random, current);
  };
  auto objectId = [&base](const Bytes&, std::uint32_t, std::mt19937& random, std::uint32_t) {
    const std::uint32_t choices[] = {0, 1, SomeObjectId(random, base),
                                     static_cast<std::uint32_t>(random())};
    return choices[random() % std::size(choices)];
  };
  return {
      {"PageType", any,
       [](Bytes& image, std::uint32_t n, std::mt19937& random) {
         const std::uint16_t types[] = {0,
                                        9,
                                        NameContinuationPage,
                                        ObjectHeaderPage,
                                        DirectoryEntryPage,
                                        DataPage,
                                        LinkDataPage,
                                        BlockIndexPage,
                                        static_cast<std::uint16_t>(random())};
         StoreU16(PageAt(image, n) + kPageType, types[random() % std::size(types)]);
         return true;
       }},
      {"OwnerId", any, pageField(kOwnerId, objectId)},
      {"NextPage", any, pageField(kNextPage, wildPage)},
      {"PrevPage", any, pageField(kPrevPage, wildPage)},
      {"ChainIndex", any, pageField(kChainIndex, count)},
      {"IndexPage", streams, pageField(kIndexPage, wildPage)},
      {"UsedLength", only(ObjectHeaderPage),
       [](Bytes& image, std::uint32_t n, std::mt19937& random) {
         const std::uint16_t values[] = {0,
                                         kFirstRecord - 1,
                                         kFirstRecord,
                                         kFirstRecord + 1,
                                         kPageSize - 1,
                                         kPageSize,
                                         kPageSize + 1,
                                         0xFFFF,
                                         static_cast<std::uint16_t>(random())};
         StoreU16(PageAt(image, n) + kUsedLength, values[random() % std::size(values)]);
         return true;
       }},
      {"UsedBytes", streams,
       [](Bytes& image, std::uint32_t n, std::mt19937& random) {
         const std::uint16_t values[] = {0,
                                         1,
                                         kPayload - 1,
                                         kPayload,
                                         kPayload + 1,
                                         0xFFFF,
                                         static_cast<std::uint16_t>(random())};
         StoreU16(PageAt(image, n) + kUsedBytes, values[random() % std::size(values)]);
         return true;
       }},
      {"record Kind", only(ObjectHeaderPage),
       recordField(kRecordKind, false,
                   [](const Bytes&, std::uint32_t, std::mt19937& random, std::uint32_t) {
                     const std::uint32_t kinds[] = {
                         rkObjectInfo,        rkDirectory,  rkFileData,
                         rkFileEncryption,    rkLinkTarget, rkCompression,
                         rkStorageEncryption, rkBlockIndex, 0xFFFF};
                     return kinds[random() % std::size(kinds)];
                   })},
      {"record Length", only(ObjectHeaderPage), recordField(kRecordLength, false, count)},
      {"record DataSize", only(ObjectHeaderPage), recordField(kRecordDataSize, true, count)},
      {"record MovedTo", only(ObjectHeaderPage), recordField(kRecordMovedTo, true, wildPage)},
      {"object Size", only(ObjectHeaderPage),
       recordData(rkObjectInfo, kInfoSizeLow - kRecordHeadSize,
                  [](std::uint8_t* at, std::mt19937& random) {
                    const std::uint64_t sizes[] = {0,
                                                   1,
                                                   LoadU64(at) - 1,
                                                   LoadU64(at) + 1,
                                                   LoadU64(at) + kPayload,
                                                   std::uint64_t{1} << 32,
                                                   std::uint64_t{1} << 40,
                                                   std::uint64_t{1} << 63,
                                                   ~std::uint64_t{0},
                                                   (std::uint64_t{random()} << 32) | random()};
                    StoreU64(at, sizes[random() % std::size(sizes)]);
                  })},
      {"compression setting", only(ObjectHeaderPage),
       recordData(rkCompression, 0,
                  [](std::uint8_t* at, std::mt19937& random) {
                    const std::uint32_t modes[] = {crNoCompression, crDefault, crCustom,
                                                   crZLib,          crRLE,     77};
                    const std::uint16_t pages[] = {0, 1, 2, 16, 0x100, 0xFFFF};
                    StoreU32(at + compression_record::kMode, modes[random() % std::size(modes)]);
                    StoreU32(at + compression_record::kLevel, random() % 20);
                    StoreU16(at + compression_record::kBlockPages,
                             pages[random() % std::size(pages)]);
                  })},
      {"encryption mode", only(ObjectHeaderPage),
       recordData(rkFileEncryption, 0,
                  [](std::uint8_t* at, std::mt19937& random) {
                    const std::uint32_t modes[] = {
                        ecNoEncryption, ecAES256_SHA256, ecCustom256, ecAES256_HMAC256, 9,
                        0xFFFFFFFFu};
                    StoreU32(at, modes[random() % std::size(modes)]);
                  })},
      {"entry ObjectId", only(DirectoryEntryPage), entryField(kEntryObjectId, objectId)},
      {"entry HeaderPage", only(DirectoryEntryPage), entryField(kEntryHeaderPage, wildPage)},
      {"entry Attributes", only(DirectoryEntryPage),
       entryField(kEntryAttributes,
                  [](const Bytes&, std::uint32_t, std::mt19937& random, std::uint32_t current) {
                    const std::uint32_t flips[] = {
                        attrDirectory, attrSymLink,    attrFile,    attrDirectory | attrSymLink,
                        attrEncrypted, attrCompressed, attrReadOnly};
                    return current ^ flips[random() % std::size(flips)];
                  })},
      {"entry copied from another", only(DirectoryEntryPage),
       [](Bytes& image, std::uint32_t n, std::mt19937& random) {
         // Two entries for one object, in one directory or two: a hard link
         // the engine never makes.
         std::vector<const std::uint8_t*> sources;
         for (std::uint32_t m :
              PagesOf(image, [](std::uint16_t t) { return t == DirectoryEntryPage; }))
           for (std::uint32_t at : SlotsOf(PageAt(image, m)))
             sources.push_back(PageAt(image, m) + at);
         const std::vector<std::uint32_t> slots = SlotsOf(PageAt(image, n));
         if (slots.empty()) return false;
         std::uint8_t* to = PageAt(image, n) + slots[random() % slots.size()];
         const std::uint8_t* from = sources[random() % sources.size()];
         if (from == to) return false;
         for (std::uint32_t field : {kEntryObjectId, kEntryHeaderPage, kEntryAttributes})
           StoreU32(to + field, LoadU32(from + field));
         return true;
       }},
      {"entry NameLength", only(DirectoryEntryPage), entryField(kEntryNameLength, count)},
      {"entry NameNextPage", only(DirectoryEntryPage), entryField(kEntryNameNextPage, wildPage)},
      {"block index entry", only(BlockIndexPage),
       [](Bytes& image, std::uint32_t n, std::mt19937& random) {
         const std::uint32_t e = random() % 8;  // the filled entries come first
         StoreU32(PageAt(image, n) + kPageHeaderSize + 4 * e, WildPage(random, n, image));
         return true;
       }},
  };
}

std::uint32_t IdOf(const Image& base, const Path& path) {
  for (const auto& [id, at] : base.pathOf)
    if (at == path) return id;
  return 0;
}

// The directory entry of an object, wherever it is.
std::uint8_t* EntryOf(Bytes& image, std::uint32_t id) {
  for (std::uint32_t n : PagesOf(image, [](std::uint16_t t) { return t == DirectoryEntryPage; }))
    for (std::uint32_t at : SlotsOf(PageAt(image, n)))
      if (LoadU32(PageAt(image, n) + at + kEntryObjectId) == id) return PageAt(image, n) + at;
  return nullptr;
}

std::uint32_t HeaderPageOf(Bytes& image, std::uint32_t id) {
  if (id == 1) return 2;
  const std::uint8_t* entry = EntryOf(image, id);
  return entry ? LoadU32(entry + kEntryHeaderPage) : 0;
}

// ------------------------------------------------------------ the fixture

class DamageTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { (void)TheImage(); }

  // Every pass over a damaged image: a read-only walk; a writable walk, the
  // changes and a second walk; then a read-only walk of what that left.
  // Returns the first read-only walk.
  Outcomes Exercise(const Bytes& damaged, std::uint32_t seed, bool transactions = true) {
    MemoryHostFiles files;
    files.SetContents(kName, damaged);
    Outcomes firstWalk;
    {
      Session reader(files, true);
      reader.Walk();
      firstWalk = reader.Walked();
      reader.Close();
      Report(reader, "read-only");
    }
    {
      Session writer(files, false, transactions);
      writer.Walk();
      writer.Mutate(seed);
      writer.Walk();
      writer.Close();
      Report(writer, "writable");
    }
    {
      Session reader(files, true);
      reader.Walk();
      reader.Close();
      Report(reader, "after the changes");
    }
    return firstWalk;
  }

  static void Report(const Session& session, const char* pass) {
    for (const std::string& violation : session.Violations())
      ADD_FAILURE() << pass << ": " << violation;
  }

  static const Image& Base() { return TheImage(); }
};

TEST_F(DamageTest, SoundTreeReadsBackWholeAndTakesEveryChange) {
  MemoryHostFiles files;
  files.SetContents(kName, Base().bytes);
  {
    Session reader(files, true);
    ASSERT_EQ(reader.OpenResult(), 0);
    reader.Walk();
    EXPECT_EQ(reader.Walked(), Base().expected);
    reader.Close();
    EXPECT_TRUE(reader.Violations().empty());
  }
  {
    Session writer(files, false);
    ASSERT_EQ(writer.OpenResult(), 0);
    writer.Walk();
    // On a sound volume every change the damage cases try must succeed.
    writer.Mutate(7);
    for (const std::string& failure : writer.Failures()) ADD_FAILURE() << failure;
    writer.Walk();
    for (const auto& [path, outcome] : writer.Walked())
      EXPECT_EQ(outcome.result, 0) << Narrow(path);
    EXPECT_GT(writer.Walked().count(u"/fresh-a.txt"), 0u);
    writer.Close();
    EXPECT_TRUE(writer.Violations().empty());
  }
  Volume checker;
  ASSERT_EQ(checker.SetHostFileCallbacks(files.Callbacks()), 0);
  ASSERT_EQ(checker.Open(kName, true), 0);
  for (const std::string& problem : testing::CheckStructure(checker)) ADD_FAILURE() << problem;
  bool corrupted = true;
  ASSERT_EQ(checker.GetCorrupted(corrupted), 0);
  EXPECT_FALSE(corrupted);
  ASSERT_EQ(checker.Close(), 0);
}

TEST_F(DamageTest, RandomBytesOverObjectPages) {
  const std::vector<std::uint32_t> pages = ObjectPages(Base().bytes);
  for (std::uint32_t seed = 1; seed <= 100; ++seed) {
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::mt19937 random(seed);
    Bytes image = Base().bytes;
    // Whole pages, or only their payload so that the header still passes
    // the type and owner checks and the bytes behind it are trusted.
    const bool keepHeader = seed % 2 == 0;
    for (std::uint32_t i = 0, n = 1 + random() % 3; i < n; ++i) {
      std::uint8_t* page = PageAt(image, pages[random() % pages.size()]);
      const std::uint32_t from = keepHeader ? kPageHeaderSize : 0;
      for (std::uint32_t at = from; at < kPageSize; ++at)
        page[at] = static_cast<std::uint8_t>(random());
    }
    Exercise(image, seed, seed % 3 != 0);
  }
}

TEST_F(DamageTest, SwappedZeroedAndDuplicatedPages) {
  const std::vector<std::uint32_t> pages = ObjectPages(Base().bytes);
  for (std::uint32_t seed = 1; seed <= 60; ++seed) {
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::mt19937 random(seed);
    Bytes image = Base().bytes;
    const std::uint32_t a = pages[random() % pages.size()];
    const std::uint32_t b = pages[random() % pages.size()];
    switch (seed % 3) {
      case 0:
        std::swap_ranges(PageAt(image, a), PageAt(image, a) + kPageSize, PageAt(image, b));
        break;
      case 1:
        std::memset(PageAt(image, a), 0, kPageSize);
        break;
      default:  // one page twice: two chains share it
        std::memcpy(PageAt(image, b), PageAt(image, a), kPageSize);
    }
    Exercise(image, seed);
  }
}

TEST_F(DamageTest, SpoiledHeaderAndEntryFields) {
  for (const FieldDamage& damage : FieldDamages(Base())) {
    const std::vector<std::uint32_t> pages = PagesOf(Base().bytes, damage.fits);
    ASSERT_FALSE(pages.empty()) << damage.name;
    for (std::uint32_t seed = 1; seed <= 16; ++seed) {
      SCOPED_TRACE(::testing::Message() << damage.name << ", seed " << seed);
      std::mt19937 random(seed);
      Bytes image = Base().bytes;
      // Pages in random order until one has the field.
      std::vector<std::uint32_t> order = pages;
      std::shuffle(order.begin(), order.end(), random);
      bool spoiled = false;
      for (std::size_t i = 0; i < order.size() && !spoiled; ++i)
        spoiled = damage.spoil(image, order[i], random);
      ASSERT_TRUE(spoiled);
      Exercise(image, seed, seed % 4 != 0);
    }
  }
}

// Chains whose last link leads back into the chain must be reported, never
// followed for ever: reading the object gives its bytes or
// errStorageCorrupted, and deleting it gives errStorageCorrupted.
TEST_F(DamageTest, ChainsThatLoopAreReportedNotFollowed) {
  struct Chain {
    const char* name;
    std::uint16_t type;
  };
  const Chain chains[] = {{"name", NameContinuationPage},
                          {"header", ObjectHeaderPage},
                          {"directory entries", DirectoryEntryPage},
                          {"data", DataPage},
                          {"link target", LinkDataPage},
                          {"block index", BlockIndexPage}};
  for (const Chain& chain : chains) {
    for (const bool toItself : {true, false}) {
      SCOPED_TRACE(::testing::Message() << chain.name << (toItself ? ", to itself" : ", back"));
      // A page with a successor, not the root's (which cannot be deleted):
      // it or its successor leads back to it.
      Bytes image = Base().bytes;
      std::uint32_t first = 0;
      for (std::uint32_t n : PagesOf(image, [&](std::uint16_t t) { return t == chain.type; }))
        if (NextPageOf(PageAt(image, n)) != 0 && OwnerIdOf(PageAt(image, n)) != 1) {
          first = n;
          break;
        }
      ASSERT_NE(first, 0u);
      const std::uint32_t owner = OwnerIdOf(PageAt(image, first));
      const std::uint32_t last = toItself ? first : NextPageOf(PageAt(image, first));
      StoreU32(PageAt(image, last) + kNextPage, first);
      ASSERT_TRUE(Base().pathOf.count(owner));
      const Path path = Base().pathOf.at(owner);

      const Outcomes walked = Exercise(image, owner);
      for (const auto& [where, outcome] : walked) {
        if (outcome.result == 0 && Base().expected.count(where)) {
          EXPECT_EQ(outcome, Base().expected.at(where)) << Narrow(where);
        }
      }

      MemoryHostFiles files;
      files.SetContents(kName, image);
      Session writer(files, false);
      ASSERT_EQ(writer.OpenResult(), 0);
      EXPECT_EQ(writer.Delete(path), errStorageCorrupted) << Narrow(Join(path));
      bool corrupted = false;
      ASSERT_EQ(writer.volume().GetCorrupted(corrupted), 0);
      EXPECT_TRUE(corrupted);
      writer.Close();
      Report(writer, "deleting");
    }
  }
}

// Spoiling one page of an object (zeroed, or claimed by another owner) is
// reported for that object, and every object outside it reads as before.
TEST_F(DamageTest, DamageStaysWithItsObject) {
  const Image& base = Base();
  std::mt19937 random(99);
  for (const std::uint32_t n : ObjectPages(base.bytes)) {
    const std::uint8_t* page = base.bytes.data() + std::size_t{n} * kPageSize;
    const std::uint16_t type = PageTypeOf(page);
    const std::uint32_t owner = OwnerIdOf(page);
    ASSERT_TRUE(base.pathOf.count(owner)) << "page " << n;
    // A name page is read with its directory's listing: the damage is the
    // directory's then.
    Path affected = base.pathOf.at(owner);
    if (type == NameContinuationPage) affected.pop_back();
    const std::u16string prefix = Join(affected);
    const bool zero = random() % 2 == 0;
    SCOPED_TRACE(::testing::Message()
                 << "page " << n << " type " << type << " of "
                 << Narrow(Join(base.pathOf.at(owner))) << (zero ? ", zeroed" : ", other owner"));
    Bytes image = base.bytes;
    if (zero)
      std::memset(PageAt(image, n), 0, kPageSize);
    else
      StoreU32(PageAt(image, n) + kOwnerId, owner == 1 ? 2 : owner - 1);

    MemoryHostFiles files;
    files.SetContents(kName, image);
    Session reader(files, true);
    if (reader.OpenResult() != 0) {
      // Only the root's first header page is read by the open itself.
      EXPECT_EQ(reader.OpenResult(), errStorageCorrupted);
      EXPECT_TRUE(affected.empty());
      continue;
    }
    reader.Walk();
    bool reported = false;
    for (const auto& [path, expected] : base.expected) {
      const bool inside = affected.empty() || path == prefix || path.starts_with(prefix + u"/");
      const auto found = reader.Walked().find(path);
      if (inside) {
        reported |= found != reader.Walked().end() && found->second.result == errStorageCorrupted;
      } else if (found == reader.Walked().end()) {
        ADD_FAILURE() << Narrow(path) << " was not reached";
      } else {
        EXPECT_EQ(found->second, expected) << Narrow(path);
      }
    }
    EXPECT_TRUE(reported) << "the damage went unnoticed";
    reader.Close();
    Report(reader, "read-only");
  }
}

// An entry naming a directory that is already open higher up (the root, an
// ancestor, the directory itself) would make the tree a cycle, and would
// hand that directory's entry, name and slot to the damaged one, so that
// later changes of it write into a slot that is not its own.
TEST_F(DamageTest, EntryNamingAnOpenAncestorIsReportedNotWalkedInto) {
  const Path deeper = {u"docs", u"deep", u"deeper"};
  Path leaf = deeper;
  leaf.push_back(u"leaf.txt");
  for (const Path& ancestor : {Path{}, Path{u"docs"}, Path{u"docs", u"deep"}, deeper}) {
    SCOPED_TRACE(Narrow(Join(ancestor)));
    Bytes image = Base().bytes;
    const std::uint32_t id = IdOf(Base(), ancestor);
    std::uint8_t* entry = EntryOf(image, IdOf(Base(), leaf));
    ASSERT_NE(entry, nullptr);
    StoreU32(entry + kEntryObjectId, id);
    StoreU32(entry + kEntryHeaderPage, HeaderPageOf(image, id));
    StoreU32(entry + kEntryAttributes, attrDirectory);

    MemoryHostFiles files;
    files.SetContents(kName, image);
    Session session(files, false);
    FileObject* target = nullptr;
    FileObject* directory = nullptr;
    ASSERT_EQ(session.Resolve(ancestor, target), 0);
    ASSERT_EQ(session.Resolve(deeper, directory), 0);
    const EntryInfo before = *target->Entry;
    EXPECT_EQ(LoadEntries(*directory, nullptr), errStorageCorrupted);
    EXPECT_EQ(target->Entry->Name, before.Name);
    EXPECT_EQ(target->Entry->Slot, before.Slot);
    EXPECT_EQ(target->Parent == nullptr, ancestor.empty());
    bool corrupted = false;
    ASSERT_EQ(session.volume().GetCorrupted(corrupted), 0);
    EXPECT_TRUE(corrupted);
    session.Walk();
    EXPECT_EQ(session.Walked().at(Join(deeper)).result, errStorageCorrupted);
    EXPECT_EQ(session.Walked().at(u"/small.txt"), Base().expected.at(u"/small.txt"));
    session.Close();
    Report(session, "walking");
  }
}

// A link target is read whole, into memory of its size: a size beyond what
// the stream stores comes from damage and must neither be trusted for the
// allocation nor read as a target padded with zeros.
TEST_F(DamageTest, LinkSizeBeyondItsStoredTargetIsReported) {
  struct Case {
    const char16_t* link;
    std::uint64_t size;
    EngineResult expected;
  };
  const Case cases[] = {
      {u"link-short", 5, 0},
      {u"link-short", 20 * kPayload, errStorageCorrupted},
      {u"link-long", 1000, 0},
      {u"link-long", 1500 + 20 * kPayload, errStorageCorrupted},
      {u"link-long", std::uint64_t{1} << 40, errStorageCorrupted},
      {u"link-long", ~std::uint64_t{0}, errStorageCorrupted},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << Narrow(c.link) << " size " << c.size);
    Bytes image = Base().bytes;
    const std::uint32_t header = HeaderPageOf(image, IdOf(Base(), {c.link}));
    ASSERT_NE(header, 0u);
    std::uint8_t* info = PageAt(image, header) + kFirstRecord;
    ASSERT_EQ(LoadU16(info + kRecordKind), rkObjectInfo);
    StoreU32(info + kInfoSizeLow, static_cast<std::uint32_t>(c.size));
    StoreU32(info + kInfoSizeHigh, static_cast<std::uint32_t>(c.size >> 32));

    MemoryHostFiles files;
    files.SetContents(kName, image);
    Session session(files, true);
    FileObject* link = nullptr;
    ASSERT_EQ(session.Resolve({c.link}, link), 0);
    Bytes target;
    EXPECT_EQ(session.Note(ReadStream(*link, nullptr, target), "ReadStream"), c.expected);
    if (c.expected == 0) {
      const Bytes& whole = Base().expected.at(Join({c.link})).data;
      EXPECT_TRUE(target == Bytes(whole.begin(), whole.begin() + c.size));
    } else {
      EXPECT_TRUE(target.empty());
    }
    session.Close();
    Report(session, "reading");
  }
}

}  // namespace
}  // namespace vaultfs
