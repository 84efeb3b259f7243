// Damages a known-good container and uses it: the fuzzer's bytes become
// changes to the pages of the object layer of a small tree built once at
// start-up, which is then opened read-only and walked (every listing, every
// file read to its end, every link target), opened writable, walked and
// changed (writes, new compression and encryption settings, creates, renames,
// deletes), and walked read-only again.
//
// Any result is acceptable except a crash, a hang, a leak, undefined
// behaviour, a result that is no engine code, a directory that contains
// itself, or errStorageCorrupted from a volume that is not marked corrupted.
//
// Input: records of five bytes, each one change to one object-layer page:
//   page selector, offset low, offset high, value, operation
// operation % 5: 0 set the byte, 1 flip bits of the byte, 2 store a page
// number (value modulo the page count plus two) as u32, 3 store value as
// u16, 4 copy the page given by value over the page.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "vaultfs/objects/codecs.h"
#include "vaultfs/objects/file_data.h"
#include "vaultfs/objects/file_object.h"
#include "vaultfs/objects/records.h"
#include "vaultfs/volume/page_cipher.h"
#include "support/fuzz_container.h"
#include "support/memory_host_files.h"

namespace {

using namespace vaultfs;
using namespace vaultfs::layout;
using vaultfs::testing::MemoryHostFiles;
using Bytes = std::vector<std::uint8_t>;

const std::u16string& kName = vaultfs::testing::kFuzzContainer;
constexpr std::uint32_t kPageSize = 512;
constexpr std::size_t kRecordSize = 5;
constexpr std::size_t kMaxRecords = 64;
constexpr std::size_t kMaxDepth = 8;
constexpr std::size_t kMaxEntries = 32;
constexpr std::uint64_t kMaxRead = 64 * 1024;

[[noreturn]] void Fail(const char* what, EngineResult r) {
  std::fprintf(stderr, "fuzz_objects: %s (%d)\n", what, static_cast<int>(r));
  std::abort();
}

void Require(EngineResult r, const char* what) {
  if (r != 0) Fail(what, r);
}

const Bytes& ThePassword() {
  static const Bytes password = {'f', 0, 'u', 0, 'z', 0, 'z', 0};
  return password;
}

Bytes Pattern(std::size_t size, std::uint32_t seed, bool compressible) {
  Bytes bytes(size);
  std::uint32_t x = seed * 2654435761u + 1;
  for (std::size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    bytes[i] = compressible && (i / 200) % 3 != 2 ? static_cast<std::uint8_t>("fuzzed "[i % 7])
                                                  : static_cast<std::uint8_t>(x >> 16);
  }
  return bytes;
}

// ------------------------------------------------------------------ image

struct Builder {
  Volume& volume;

  FileObject* Make(FileObject& parent, std::u16string_view name, std::uint32_t attributes,
                   std::uint32_t compression = crNoCompression,
                   std::uint32_t encryption = ecNoEncryption) {
    Transaction* t = nullptr;
    Require(volume.Begin(false, t), "Begin");
    Require(volume.JoinObject(t, &parent), "JoinObject");
    FileObject* child = nullptr;
    bool created = false;
    Require(CreateChild(parent, name, attributes, nullptr, false, true, t, child, created),
            "CreateChild");
    if (encryption != ecNoEncryption)
      Require(ChangeFileEncryption(*child, t, encryption, {}, ThePassword(), true),
              "ChangeFileEncryption");
    if (compression != crNoCompression)
      Require(ChangeFileCompression(*child, t, compression, 6, 2,
                                    encryption ? ThePassword() : Bytes{}, true),
              "ChangeFileCompression");
    child->Release();
    Require(volume.Commit(t), "Commit");
    return child;
  }

  void File(FileObject& parent, std::u16string_view name, const Bytes& content,
            std::uint32_t compression = crNoCompression,
            std::uint32_t encryption = ecNoEncryption) {
    FileObject* file = Make(parent, name, attrFile, compression, encryption);
    FileHandle* h = nullptr;
    Require(OpenHandle(*file, 0, u"/build", true, true, false, false, -1,
                       encryption ? ThePassword() : Bytes{}, h),
            "OpenHandle");
    std::uint32_t done = 0;
    Require(WriteData(h, content.data(), static_cast<std::uint32_t>(content.size()), done),
            "WriteData");
    Require(CloseHandle(h, false), "CloseHandle");
  }

  void Link(FileObject& parent, std::u16string_view name, const Bytes& target) {
    FileObject* link = Make(parent, name, attrSymLink);
    Transaction* t = nullptr;
    Require(volume.Begin(false, t), "Begin");
    Require(volume.JoinObject(t, link), "JoinObject");
    Require(WriteStream(*link, t, target), "WriteStream");
    Require(volume.Commit(t), "Commit");
  }
};

struct Image {
  Bytes bytes;
  std::vector<std::uint32_t> objectPages;
};

Image BuildImage() {
  MemoryHostFiles files;
  {
    Volume volume;
    Require(volume.SetHostFileCallbacks(files.Callbacks()), "SetHostFileCallbacks");
    ObjectStore store(volume);
    Require(volume.Create(kName, true, kPageSize, u""), "Create");
    Builder b{volume};
    FileObject& root = *store.Root();
    b.File(root, u"small.txt", Pattern(40, 1, true));
    b.File(root, u"paged.bin", Pattern(2000, 2, false));
    b.File(root, u"indexed.bin", Pattern(9000, 3, false));
    b.File(root, u"zlib.dat", Pattern(5000, 4, true), crZLib);
    b.File(root, u"secret.bin", Pattern(1500, 5, false), crNoCompression, ecAES256_HMAC256);
    b.File(root, std::u16string(270, u'n'), Pattern(300, 6, false));
    b.Link(root, u"link", Pattern(900, 7, true));
    FileObject* directory = b.Make(root, u"d", attrDirectory, crRLE);
    for (char16_t c = u'a'; c <= u'h'; ++c)
      b.File(*directory, std::u16string(1, c), Pattern(100 + 300 * (c - u'a'), c, true));
    FileObject* sub = b.Make(*directory, std::u16string(40, u's'), attrDirectory);
    b.File(*sub, u"leaf", Pattern(700, 8, false), crNoCompression, ecAES256_SHA256);
    // Tags big enough for a second header page.
    Transaction* t = nullptr;
    Require(volume.Begin(false, t), "Begin");
    Require(volume.JoinObject(t, sub), "JoinObject");
    for (std::uint16_t i = 0; i < 2; ++i) {
      const Bytes tag = Pattern(300, 9 + i, false);
      std::uint32_t page = 0;
      Require(AddRecord(*sub, static_cast<std::uint16_t>(kFirstTagKind + i), tag.data(),
                        static_cast<std::uint32_t>(tag.size()), t, page),
              "AddRecord");
    }
    Require(volume.Commit(t), "Commit");
    Require(volume.Close(), "Close");
  }
  Image image;
  image.bytes = files.Contents(kName);
  for (std::uint32_t n = 0; n < image.bytes.size() / kPageSize; ++n) {
    const std::uint16_t type = PageTypeOf(image.bytes.data() + std::size_t{n} * kPageSize);
    if (type >= NameContinuationPage && type <= BlockIndexPage) image.objectPages.push_back(n);
  }
  if (image.objectPages.empty()) Fail("no object pages", 0);
  return image;
}

const Image& TheImage() {
  static const Image image = BuildImage();
  return image;
}

Bytes Damage(const std::uint8_t* data, std::size_t size) {
  const Image& base = TheImage();
  Bytes image = base.bytes;
  const auto& pages = base.objectPages;
  const std::uint32_t pageCount = static_cast<std::uint32_t>(image.size() / kPageSize);
  for (std::size_t i = 0; i + kRecordSize <= size && i / kRecordSize < kMaxRecords;
       i += kRecordSize) {
    const std::uint8_t* d = data + i;
    std::uint8_t* page = image.data() + std::size_t{pages[d[0] % pages.size()]} * kPageSize;
    const std::uint32_t offset = (d[1] | (d[2] << 8)) % kPageSize;
    switch (d[4] % 5) {
      case 0:
        page[offset] = d[3];
        break;
      case 1:
        page[offset] ^= d[3];
        break;
      case 2:
        StoreU32(page + std::min<std::uint32_t>(offset, kPageSize - 4), d[3] % (pageCount + 2));
        break;
      case 3:
        StoreU16(page + std::min<std::uint32_t>(offset, kPageSize - 2), d[3]);
        break;
      default: {
        const std::uint8_t* from =
            base.bytes.data() + std::size_t{pages[d[3] % pages.size()]} * kPageSize;
        std::memcpy(page, from, kPageSize);
      }
    }
  }
  return image;
}

// ---------------------------------------------------------------- session

class Session {
 public:
  Session(MemoryHostFiles& files, bool readOnly, bool transactions) {
    Note(volume_.SetHostFileCallbacks(files.Callbacks()), "SetHostFileCallbacks");
    Note(volume_.SetUseTransactions(transactions), "SetUseTransactions");
    store_ = std::make_unique<ObjectStore>(volume_);
    Note(volume_.Open(kName, readOnly), "Open");
  }
  ~Session() {
    if (!volume_.Active) return;
    Note(store_->CloseAllHandles(volume_), "CloseAllHandles");
    for (Transaction* t : volume_.RunningNow())
      Note(volume_.Rollback(t), "Rollback");
    Note(volume_.Close(), "Close");
    if (volume_.Active) Fail("the volume stayed open after Close", 0);
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  EngineResult Note(EngineResult r, const char* what) {
    if (r > 0 || r < -kEngineCodeCount) Fail(what, r);
    if (r == errStorageCorrupted && volume_.Active) {
      bool corrupted = false;
      if (volume_.GetCorrupted(corrupted) != 0 || !corrupted)
        Fail("errStorageCorrupted on a volume not marked corrupted", r);
    }
    return r;
  }

  void Walk() {
    files_.clear();
    directories_.clear();
    if (!volume_.Active || !store_->Root()) return;
    std::vector<std::u16string> path;
    std::vector<FileObject*> ancestors;
    WalkDirectory(*store_->Root(), path, ancestors);
  }

  void Mutate() {
    if (!volume_.Active || volume_.ReadOnly) return;
    const auto files = files_;
    const auto directories = directories_;
    for (std::size_t i = 0; i < files.size() && i < 4; ++i) ChangeFile(files[i]);
    for (std::size_t i = 0; i < files.size() && i < 2; ++i) ChangeSettings(files[i], i);
    for (std::size_t i = 0; i < directories.size() && i < 3; ++i) CreateIn(directories[i]);
    if (!files.empty()) Rename(files.back());
    if (files.size() > 1) Delete(files.front());
    if (directories.size() > 1) Delete(directories.back());
  }

 private:
  using Path = std::vector<std::u16string>;

  void WalkDirectory(FileObject& directory, Path& path, std::vector<FileObject*>& ancestors) {
    directories_.push_back(path);
    if (Note(LoadEntries(directory, nullptr), "LoadEntries") != 0) return;
    std::vector<std::u16string> names;
    for (const EntryRef& entry : directory.ChildList) {
      if (names.size() == kMaxEntries) break;
      names.push_back(entry->Name);
    }
    if (path.size() >= kMaxDepth) return;
    ancestors.push_back(&directory);
    for (const auto& name : names) {
      FileObject* child = nullptr;
      if (Note(OpenChild(directory, name, errFileNotFound, nullptr, child), "OpenChild") != 0)
        continue;
      if (std::find(ancestors.begin(), ancestors.end(), child) != ancestors.end())
        Fail("a directory contains itself", 0);
      path.push_back(name);
      Visit(*child, path, ancestors);
      path.pop_back();
      child->Release();
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
    if (object.Entry->Attributes & attrSymLink) {
      Bytes target;
      Note(ReadStream(object, nullptr, target), "ReadStream");
      return;
    }
    files_.push_back(path);
    FileHandle* h = nullptr;
    if (Note(OpenHandle(object, 0, u"/walk", true, false, false, false, -1, ThePassword(), h),
             "OpenHandle") != 0)
      return;
    std::uint8_t chunk[1000];
    for (std::uint64_t total = 0; total < kMaxRead;) {
      std::uint32_t done = 0;
      const EngineResult r = Note(ReadData(h, chunk, sizeof chunk, done), "ReadData");
      if (r != 0) break;
      if (done == 0) Fail("ReadData read nothing before the end", 0);
      total += done;
    }
    Note(CloseHandle(h, false), "CloseHandle");
  }

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

  template <typename Body>
  EngineResult InTransaction(FileObject* first, FileObject* second, Body body) {
    Transaction* t = nullptr;
    EngineResult r = Note(volume_.Begin(false, t), "Begin");
    if (r != 0) return r;
    for (FileObject* object : {first, second})
      if (r == 0 && object) r = Note(volume_.JoinObject(t, object), "JoinObject");
    if (r == 0) r = body(t);
    if (r == 0) return Note(volume_.Commit(t), "Commit");
    Note(volume_.Rollback(t), "Rollback");
    return r;
  }

  void WriteThrough(FileObject& file) {
    FileHandle* h = nullptr;
    if (Note(OpenHandle(file, 0, u"/write", true, true, false, false, -1, ThePassword(), h),
             "OpenHandle") != 0)
      return;
    const Bytes data = Pattern(900, 11, true);
    std::uint64_t size = 0, position = 0;
    std::uint32_t done = 0;
    Note(GetSize(h, size), "GetSize");
    Note(Seek(h, static_cast<std::int64_t>(size <= kMaxRead ? size : 100), 0, position), "Seek");
    Note(WriteData(h, data.data(), static_cast<std::uint32_t>(data.size()), done), "WriteData");
    Note(Seek(h, 3, 0, position), "Seek");
    Note(WriteData(h, data.data(), 40, done), "WriteData");
    Note(FlushHandle(h, 0), "FlushHandle");
    Note(GetSize(h, size), "GetSize");
    Note(SetFileSizeByHandle(h, size / 2), "SetFileSizeByHandle");
    Note(CloseHandle(h, false), "CloseHandle");
  }

  void ChangeFile(const Path& path) {
    FileObject* file = nullptr;
    if (Resolve(path, file) == 0 && !file->IsDirectory()) WriteThrough(*file);
  }

  void ChangeSettings(const Path& path, std::size_t n) {
    FileObject* file = nullptr;
    if (Resolve(path, file) != 0 || file->IsDirectory()) return;
    InTransaction(file, nullptr, [&](Transaction* t) {
      EngineResult r =
          Note(ChangeFileEncryption(*file, t, n == 0 ? ecAES256_SHA256 : ecNoEncryption,
                                    ThePassword(), ThePassword(), true),
               "ChangeFileEncryption");
      if (r == 0)
        r = Note(
            ChangeFileCompression(*file, t, n == 0 ? crRLE : crZLib, 0, 2, ThePassword(), true),
            "ChangeFileCompression");
      if (r == 0)
        r = Note(SetAttributes(*file, file->Entry->Attributes ^ attrArchive, t), "SetAttributes");
      return r;
    });
  }

  void CreateIn(const Path& path) {
    FileObject* directory = nullptr;
    if (Resolve(path, directory) != 0 || !directory->IsDirectory()) return;
    FileObject* made = nullptr;
    const EngineResult r = InTransaction(directory, nullptr, [&](Transaction* t) {
      FileObject* child = nullptr;
      bool created = false;
      EngineResult c =
          Note(CreateChild(*directory, u"fresh", attrFile, nullptr, false, true, t, child, created),
               "CreateChild");
      if (child) child->Release();
      made = child;
      return c;
    });
    if (r == 0) WriteThrough(*made);
  }

  void Rename(const Path& path) {
    FileObject* object = nullptr;
    if (Resolve(path, object) != 0 || !object->Parent) return;
    InTransaction(object->Parent, object, [&](Transaction* t) {
      return Note(SetName(*object, std::u16string(25, u'r'), false, true, t), "SetName");
    });
  }

  void Delete(const Path& path) {
    if (path.empty()) return;
    FileObject* parent = nullptr;
    if (Resolve(Path(path.begin(), path.end() - 1), parent) != 0) return;
    InTransaction(parent, nullptr, [&](Transaction* t) {
      FileObject* child = nullptr;
      EngineResult r =
          Note(OpenChild(*parent, path.back(), errFileNotFound, t, child), "OpenChild");
      if (r != 0) return r;
      r = Note(volume_.JoinObject(t, child), "JoinObject");
      if (r == 0) r = Note(DeleteObject(*child, t), "DeleteObject");
      child->Release();
      return r;
    });
  }

  Volume volume_;
  std::unique_ptr<ObjectStore> store_;
  std::vector<Path> files_, directories_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  (void)TheImage();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  MemoryHostFiles files;
  files.SetContents(kName, Damage(data, size));
  const bool transactions = size % 2 == 0;
  {
    Session reader(files, true, true);
    reader.Walk();
  }
  {
    Session writer(files, false, transactions);
    writer.Walk();
    writer.Mutate();
    writer.Walk();
  }
  {
    Session reader(files, true, true);
    reader.Walk();
  }
  return 0;
}
