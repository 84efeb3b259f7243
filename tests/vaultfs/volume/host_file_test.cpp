#include "vaultfs/host_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <limits>
#include <string>
#include <vector>

#include "support/memory_host_files.h"

namespace vaultfs {
namespace {

using Bytes = std::vector<std::uint8_t>;
using vaultfs::testing::MemoryHostFiles;

// Test names are built from bytes: ASCII stays as it is and any other byte
// takes its lossless U+DC00 + byte form, so a temporary directory whose path
// is not ASCII still names the same place.
std::u16string NameFromBytes(std::string_view bytes) {
  std::u16string name;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    name.push_back(static_cast<char16_t>(byte < 0x80 ? byte : 0xDC00 + byte));
  }
  return name;
}

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "hostfile-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    if (path_.empty()) return;
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

enum class Backend { kSystem, kMemory };

// The behaviour both backends promise, run against the system files in a
// temporary directory and against in-memory files through the callbacks.
class HostFileContract : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.Path().empty());
    backend_ =
        System() ? MakeSystemFileBackend() : MakeCallbackFileBackend(memory_.Callbacks(), ioLock_);
  }

  bool System() const { return GetParam() == Backend::kSystem; }

  std::u16string Name(std::string_view leaf) const {
    return System() ? NameFromBytes(dir_.Path() + "/" + std::string(leaf)) : NameFromBytes(leaf);
  }

  void MakeFile(std::string_view leaf, const Bytes& bytes) {
    HostHandle handle = 0;
    ASSERT_EQ(backend_->Create(Name(leaf), false, false, handle), errOk);
    ASSERT_EQ(
        backend_->WriteAt(handle, 0, 1, bytes.data(), static_cast<std::uint32_t>(bytes.size())),
        errOk);
    ASSERT_EQ(backend_->Close(handle), errOk);
  }

  std::int64_t SizeOf(HostHandle handle) {
    std::int64_t size = -1;
    EXPECT_EQ(backend_->GetSize(handle, size), errOk);
    return size;
  }

  TempDir dir_;
  MemoryHostFiles memory_;
  std::recursive_mutex ioLock_;
  std::unique_ptr<HostFileBackend> backend_;
};

INSTANTIATE_TEST_SUITE_P(Backends, HostFileContract,
                         ::testing::Values(Backend::kSystem, Backend::kMemory),
                         [](const auto& info) {
                           return info.param == Backend::kSystem ? "System" : "Memory";
                         });

TEST_P(HostFileContract, CreateRefusesAnExistingFileUnlessOverwriting) {
  MakeFile("data", {1, 2, 3, 4, 5, 6});
  HostHandle handle = 0;
  EXPECT_EQ(backend_->Create(Name("data"), false, false, handle), EEXIST);

  bool readOnly = false;
  EXPECT_EQ(backend_->Open(Name("missing"), readOnly, false, handle), ENOENT);
  EXPECT_EQ(backend_->Delete(Name("missing")), ENOENT);

  ASSERT_EQ(backend_->Create(Name("data"), true, false, handle), errOk);
  EXPECT_EQ(SizeOf(handle), 0);
  ASSERT_EQ(backend_->Close(handle), errOk);

  ASSERT_EQ(backend_->Delete(Name("data")), errOk);
  EXPECT_EQ(backend_->Open(Name("data"), readOnly, false, handle), ENOENT);
}

TEST_P(HostFileContract, PositionalTransfersLandAtPositionTimesUnit) {
  HostHandle handle = 0;
  ASSERT_EQ(backend_->Create(Name("pages"), false, false, handle), errOk);
  const Bytes page = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8};
  ASSERT_EQ(backend_->WriteAt(handle, 3, 512, page.data(), 8), errOk);
  EXPECT_EQ(SizeOf(handle), 3 * 512 + 8);

  Bytes gap(3 * 512, 0xFF);
  ASSERT_EQ(backend_->ReadAt(handle, 0, 512, gap.data(), 3 * 512), errOk);
  EXPECT_EQ(gap, Bytes(3 * 512, 0));
  Bytes back(8);
  ASSERT_EQ(backend_->ReadAt(handle, 3 * 512, 1, back.data(), 8), errOk);
  EXPECT_EQ(back, page);

  ASSERT_EQ(backend_->SetSize(handle, 3 * 512 + 2), errOk);
  ASSERT_EQ(backend_->SetSize(handle, 3 * 512 + 8), errOk);
  ASSERT_EQ(backend_->ReadAt(handle, 3, 512, back.data(), 8), errOk);
  EXPECT_EQ(back, (Bytes{0xA1, 0xA2, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(backend_->Flush(handle), errOk);
  EXPECT_EQ(backend_->Close(handle), errOk);
}

TEST_P(HostFileContract, AReadThatRunsOutOfFileFails) {
  MakeFile("ten", Bytes(10, 7));
  bool readOnly = true;
  HostHandle handle = 0;
  ASSERT_EQ(backend_->Open(Name("ten"), readOnly, false, handle), errOk);
  struct Case {
    std::uint64_t position;
    std::uint32_t unit;
    std::uint32_t count;
    EngineResult expected;
  };
  const Case cases[] = {
      {0, 1, 10, errOk}, {2, 4, 2, errOk}, {0, 1, 11, EIO},
      {8, 1, 4, EIO},    {11, 1, 1, EIO},  {1, 4096, 1, EIO},
  };
  for (const Case& c : cases) {
    Bytes buffer(c.count);
    EXPECT_EQ(backend_->ReadAt(handle, c.position, c.unit, buffer.data(), c.count), c.expected)
        << c.position << " * " << c.unit << " + " << c.count;
  }
  EXPECT_EQ(backend_->Close(handle), errOk);
}

TEST_P(HostFileContract, TransfersBeyondSigned64BitOffsetsAreRefusedUntouched) {
  HostHandle handle = 0;
  ASSERT_EQ(backend_->Create(Name("far"), false, false, handle), errOk);
  const auto maxOffset = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  struct Case {
    std::uint64_t position;
    std::uint32_t unit;
    std::uint32_t count;
  };
  const Case cases[] = {
      {std::numeric_limits<std::uint64_t>::max(), 2, 1},  // product wraps 64 bits
      {std::uint64_t{1} << 62, 4, 1},                     // product is exactly 2^64
      {std::uint64_t{1} << 32, 0x80000000u, 1},           // product is 2^63
      {maxOffset, 1, 1},                                  // last byte one past the limit
      {maxOffset / 4096, 4096, 4096},                     // page ends past the limit
  };
  std::array<std::uint8_t, 4096> buffer{};
  for (const Case& c : cases) {
    EXPECT_EQ(backend_->WriteAt(handle, c.position, c.unit, buffer.data(), c.count), EOVERFLOW)
        << c.position << " * " << c.unit;
    EXPECT_EQ(backend_->ReadAt(handle, c.position, c.unit, buffer.data(), c.count), EOVERFLOW)
        << c.position << " * " << c.unit;
  }
  EXPECT_EQ(SizeOf(handle), 0);
  EXPECT_EQ(memory_.WriteCount(), 0u);
  EXPECT_EQ(backend_->Close(handle), errOk);
}

TEST_P(HostFileContract, OpeningAFileWithoutWritePermissionFallsBackToReading) {
  MakeFile("locked", {9, 8, 7});
  if (System()) {
    if (::geteuid() == 0) GTEST_SKIP() << "root is never refused write permission";
    ASSERT_EQ(::chmod((dir_.Path() + "/locked").c_str(), 0444), 0);
  } else {
    memory_.SetReadOnly(Name("locked"), true);
  }

  bool readOnly = false;
  HostHandle handle = 0;
  ASSERT_EQ(backend_->Open(Name("locked"), readOnly, false, handle), errOk);
  EXPECT_TRUE(readOnly);
  Bytes back(3);
  EXPECT_EQ(backend_->ReadAt(handle, 0, 1, back.data(), 3), errOk);
  EXPECT_EQ(back, (Bytes{9, 8, 7}));
  const std::uint8_t one = 1;
  EXPECT_EQ(backend_->WriteAt(handle, 0, 1, &one, 1), EBADF);
  EXPECT_NE(backend_->SetSize(handle, 0), errOk);
  EXPECT_EQ(SizeOf(handle), 3);
  EXPECT_EQ(backend_->Close(handle), errOk);

  EXPECT_EQ(backend_->Create(Name("locked"), true, false, handle), EACCES);
}

TEST_P(HostFileContract, AskingForReadOnlyGivesAHandleThatCannotWrite) {
  MakeFile("plain", {1});
  bool readOnly = true;
  HostHandle handle = 0;
  ASSERT_EQ(backend_->Open(Name("plain"), readOnly, false, handle), errOk);
  EXPECT_TRUE(readOnly);
  const std::uint8_t two = 2;
  EXPECT_EQ(backend_->WriteAt(handle, 0, 1, &two, 1), EBADF);
  EXPECT_EQ(backend_->Close(handle), errOk);
}

TEST_P(HostFileContract, AClosedHandleIsRefusedByEveryOperation) {
  HostHandle handle = 0;
  ASSERT_EQ(backend_->Create(Name("gone"), false, false, handle), errOk);
  ASSERT_EQ(backend_->Close(handle), errOk);

  std::uint8_t byte = 0;
  std::int64_t size = 0;
  const std::function<EngineResult()> operations[] = {
      [&] { return backend_->Close(handle); },
      [&] { return backend_->Flush(handle); },
      [&] { return backend_->GetSize(handle, size); },
      [&] { return backend_->SetSize(handle, 0); },
      [&] { return backend_->ReadAt(handle, 0, 1, &byte, 0); },
      [&] { return backend_->WriteAt(handle, 0, 1, &byte, 1); },
  };
  for (const auto& operation : operations) EXPECT_EQ(operation(), EBADF);
}

// System files only.
class SystemBackend : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.Path().empty()); }
  std::string Path(std::string_view leaf) const { return dir_.Path() + "/" + std::string(leaf); }
  static bool ExistsOnDisk(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
  }

  TempDir dir_;
  std::unique_ptr<HostFileBackend> backend_ = MakeSystemFileBackend();
};

TEST_F(SystemBackend, RefusesWhatIsNotARegularFile) {
  ASSERT_EQ(::mkdir(Path("folder").c_str(), 0700), 0);
  // Opened without care, a FIFO would block the open until a writer came.
  ASSERT_EQ(::mkfifo(Path("pipe").c_str(), 0600), 0);
  struct Case {
    const char* leaf;
    bool askReadOnly;
    EngineResult expected;
  };
  const Case cases[] = {
      {"folder", false, EISDIR},
      {"folder", true, EISDIR},
      {"pipe", false, EINVAL},
      {"pipe", true, EINVAL},
  };
  for (const Case& c : cases) {
    bool readOnly = c.askReadOnly;
    HostHandle handle = 0;
    EXPECT_EQ(backend_->Open(NameFromBytes(Path(c.leaf)), readOnly, false, handle), c.expected)
        << c.leaf << (c.askReadOnly ? " read-only" : " read-write");
  }
  HostHandle handle = 0;
  EXPECT_EQ(backend_->Create(NameFromBytes(Path("pipe")), true, false, handle), EINVAL);
  EXPECT_EQ(backend_->Create(NameFromBytes(Path("folder")), true, false, handle), EISDIR);
}

TEST_F(SystemBackend, NamesReachTheDiskAsUtf8WithRawBytesKept) {
  struct Case {
    std::u16string leaf;
    std::string onDisk;  // empty: the name is refused
  };
  const Case cases[] = {
      {u"plain", "plain"},
      {u"caf\u00E9", "caf\xC3\xA9"},
      {u"x\xDCE9y", "x\xE9y"},        // a byte that was not UTF-8 on the disk
      {u"\xDC80\xDCFF", "\x80\xFF"},  // both ends of the raw-byte range
      {u"\U0001F600", "\xF0\x9F\x98\x80"},
      // Lone surrogates keep their three-byte form, as the name conversion reads them.
      {u"hi\xD800", "hi\xED\xA0\x80"},
      {u"lo\xDD00", "lo\xED\xB4\x80"},
      {std::u16string(u"nul\0tail", 8), ""},  // would cut the path short at "nul"
  };
  for (const Case& c : cases) {
    const std::u16string name = NameFromBytes(dir_.Path() + "/") + c.leaf;
    HostHandle handle = 0;
    const EngineResult created = backend_->Create(name, false, false, handle);
    if (c.onDisk.empty()) {
      EXPECT_EQ(created, EINVAL) << ::testing::PrintToString(c.leaf);
      continue;
    }
    ASSERT_EQ(created, errOk) << c.onDisk;
    EXPECT_EQ(backend_->Close(handle), errOk);
    EXPECT_TRUE(ExistsOnDisk(Path(c.onDisk))) << c.onDisk;
    EXPECT_EQ(backend_->Delete(name), errOk);
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir_.Path()));
}

TEST_F(SystemBackend, NamesLongerThan520BytesAreRefused) {
  // Builds a path of exactly `bytes` UTF-8 bytes below the temporary
  // directory, with every directory on the way present, so that only the
  // length can make it fail. With `euros` the tail is spelled in three-byte
  // characters: the limit counts bytes, not UTF-16 units.
  const auto makeName = [&](std::size_t bytes, bool euros) {
    std::string parent = dir_.Path();
    while (bytes - parent.size() - 1 > 200) {
      parent += "/" + std::string(100, 'd');
      std::filesystem::create_directory(parent);
    }
    const std::size_t leafBytes = bytes - parent.size() - 1;
    std::u16string name = NameFromBytes(parent + "/");
    if (euros) {
      name += NameFromBytes(std::string(leafBytes - 15, 'f'));
      name += u"\u20AC\u20AC\u20AC\u20AC\u20AC";
    } else {
      name += NameFromBytes(std::string(leafBytes, 'f'));
    }
    return name;
  };
  struct Case {
    std::size_t bytes;
    bool euros;
    EngineResult expected;
  };
  const Case cases[] = {
      {520, false, errOk},
      {520, true, errOk},
      {521, false, ENAMETOOLONG},
      {521, true, ENAMETOOLONG},
  };
  for (const Case& c : cases) {
    const std::u16string name = makeName(c.bytes, c.euros);
    HostHandle handle = 0;
    EXPECT_EQ(backend_->Create(name, true, false, handle), c.expected) << c.bytes;
    if (c.expected == errOk) {
      EXPECT_EQ(backend_->Close(handle), errOk);
      continue;
    }
    bool readOnly = false;
    EXPECT_EQ(backend_->Open(name, readOnly, false, handle), c.expected);
    EXPECT_EQ(backend_->Delete(name), c.expected);
  }
}

TEST_F(SystemBackend, PositionTimesUnitReachesBeyondFourGiB) {
  HostHandle handle = 0;
  ASSERT_EQ(backend_->Create(NameFromBytes(Path("sparse")), false, false, handle), errOk);
  // Multiplied in 32 bits this position would wrap around to byte 4096.
  const std::uint64_t position = (std::uint64_t{1} << 20) + 1;
  const std::int64_t offset = (std::int64_t{1} << 32) + 4096;
  const Bytes page = {1, 2, 3, 4, 5, 6, 7, 8};
  const EngineResult written = backend_->WriteAt(handle, position, 4096, page.data(), 8);
  if (written == EFBIG) GTEST_SKIP() << "the temporary file system stops below 4 GiB";
  ASSERT_EQ(written, errOk);

  std::int64_t size = 0;
  ASSERT_EQ(backend_->GetSize(handle, size), errOk);
  EXPECT_EQ(size, offset + 8);
  Bytes back(8);
  ASSERT_EQ(backend_->ReadAt(handle, position, 4096, back.data(), 8), errOk);
  EXPECT_EQ(back, page);
  ASSERT_EQ(backend_->ReadAt(handle, 1, 4096, back.data(), 8), errOk);
  EXPECT_EQ(back, Bytes(8, 0));
  EXPECT_EQ(backend_->Close(handle), errOk);
}

TEST_F(SystemBackend, DescriptorsItDidNotOpenAreLeftAlone) {
  const int stray = ::open(Path("stray").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(stray, 0);
  const auto handle = static_cast<HostHandle>(stray);
  const std::uint8_t byte = 1;
  EXPECT_EQ(backend_->WriteAt(handle, 0, 1, &byte, 1), EBADF);
  EXPECT_EQ(backend_->Close(handle), EBADF);
  EXPECT_NE(::fcntl(stray, F_GETFD), -1) << "the backend closed a descriptor it never opened";
  EXPECT_EQ(std::filesystem::file_size(Path("stray")), 0u);
  ::close(stray);
}

// Callback files only.
TEST(CallbackBackend, SeekAndTransferRunAsOneStepUnderTheIoLock) {
  // Wraps the in-memory seek and transfers and records, for each of them, the
  // offset asked for and whether another thread could take the I/O lock.
  // User data stays the in-memory files; the wrappers find the probe through
  // a static, as plain callbacks carry no captures.
  struct Probe {
    HostFileCallbacks inner;
    std::recursive_mutex* ioLock = nullptr;
    std::vector<std::int64_t> seeks;
    int unlockedSteps = 0;

    void CheckLocked() {
      const bool free = std::async(std::launch::async, [this] {
                          if (!ioLock->try_lock()) return false;
                          ioLock->unlock();
                          return true;
                        }).get();
      if (free) ++unlockedSteps;
    }
  };
  MemoryHostFiles files;
  std::recursive_mutex ioLock;
  Probe probe{files.Callbacks(), &ioLock, {}, 0};
  static Probe* current = nullptr;
  current = &probe;
  HostFileCallbacks callbacks = probe.inner;
  callbacks.OnFileSeek = [](void* userData, HostHandle handle, std::int64_t offset, int origin) {
    current->seeks.push_back(offset);
    current->CheckLocked();
    return current->inner.OnFileSeek(userData, handle, offset, origin);
  };
  callbacks.OnFileRead = [](void* userData, HostHandle handle, void* buffer, std::uint32_t count) {
    current->CheckLocked();
    return current->inner.OnFileRead(userData, handle, buffer, count);
  };
  callbacks.OnFileWrite = [](void* userData, HostHandle handle, const void* buffer,
                             std::uint32_t count) {
    current->CheckLocked();
    return current->inner.OnFileWrite(userData, handle, buffer, count);
  };
  ASSERT_TRUE(callbacks.Complete());
  auto backend = MakeCallbackFileBackend(callbacks, ioLock);

  HostHandle handle = 0;
  ASSERT_EQ(backend->Create(u"c", false, false, handle), errOk);
  const Bytes page = {5, 6, 7};
  ASSERT_EQ(backend->WriteAt(handle, 2, 512, page.data(), 3), errOk);
  Bytes back(3);
  ASSERT_EQ(backend->ReadAt(handle, 1024, 1, back.data(), 3), errOk);
  EXPECT_EQ(back, page);
  // Far beyond what memory files hold, so the write fails; the seek must
  // still have been asked for the full 64-bit product.
  EXPECT_EQ(backend->WriteAt(handle, (std::uint64_t{1} << 32) + 1, 4096, page.data(), 3), EFBIG);
  const std::int64_t far = ((std::int64_t{1} << 32) + 1) * 4096;
  EXPECT_EQ(probe.seeks, (std::vector<std::int64_t>{1024, 1024, far}));
  EXPECT_EQ(probe.unlockedSteps, 0);
  EXPECT_EQ(backend->Close(handle), errOk);
}

TEST(CallbackBackend, AMissingCallbackIsRefusedInsteadOfCalled) {
  MemoryHostFiles files;
  std::recursive_mutex ioLock;
  std::uint8_t byte = 0;
  std::int64_t size = 0;
  HostHandle handle = 1;
  bool readOnly = false;
  struct Case {
    const char* callback;
    std::function<void(HostFileCallbacks&)> remove;
    std::function<EngineResult(HostFileBackend&)> use;
  };
  const Case cases[] = {
      {"create", [](auto& c) { c.OnFileCreate = nullptr; },
       [&](HostFileBackend& b) { return b.Create(u"f", false, false, handle); }},
      {"open", [](auto& c) { c.OnFileOpen = nullptr; },
       [&](HostFileBackend& b) { return b.Open(u"f", readOnly, false, handle); }},
      {"close", [](auto& c) { c.OnFileClose = nullptr; },
       [&](HostFileBackend& b) { return b.Close(handle); }},
      {"flush", [](auto& c) { c.OnFileFlush = nullptr; },
       [&](HostFileBackend& b) { return b.Flush(handle); }},
      {"delete", [](auto& c) { c.OnFileDelete = nullptr; },
       [&](HostFileBackend& b) { return b.Delete(u"f"); }},
      {"get size", [](auto& c) { c.OnFileGetSize = nullptr; },
       [&](HostFileBackend& b) { return b.GetSize(handle, size); }},
      {"set size", [](auto& c) { c.OnFileSetSize = nullptr; },
       [&](HostFileBackend& b) { return b.SetSize(handle, 0); }},
      {"seek", [](auto& c) { c.OnFileSeek = nullptr; },
       [&](HostFileBackend& b) { return b.ReadAt(handle, 0, 1, &byte, 1); }},
      {"read", [](auto& c) { c.OnFileRead = nullptr; },
       [&](HostFileBackend& b) { return b.ReadAt(handle, 0, 1, &byte, 1); }},
      {"write", [](auto& c) { c.OnFileWrite = nullptr; },
       [&](HostFileBackend& b) { return b.WriteAt(handle, 0, 1, &byte, 1); }},
  };
  ASSERT_TRUE(files.Callbacks().Complete());
  for (const Case& c : cases) {
    HostFileCallbacks callbacks = files.Callbacks();
    c.remove(callbacks);
    EXPECT_FALSE(callbacks.Complete()) << c.callback;
    auto backend = MakeCallbackFileBackend(callbacks, ioLock);
    EXPECT_EQ(c.use(*backend), errInvalidParameter) << c.callback;
  }
}

// The in-memory files as a fault injector.
class MemoryFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(backend_->Create(u"vol", false, false, handle_), errOk);
    files_.ResetFaults();
  }

  MemoryHostFiles files_;
  std::recursive_mutex ioLock_;
  std::unique_ptr<HostFileBackend> backend_ = MakeCallbackFileBackend(files_.Callbacks(), ioLock_);
  HostHandle handle_ = 0;
};

TEST_F(MemoryFaults, EachFaultModeLosesExactlyWhatItSays) {
  // Four 4-byte writes, each filled with its own byte, at pages 0..3.
  struct Case {
    const char* mode;
    std::function<void(MemoryHostFiles&)> arm;
    std::array<EngineResult, 4> results;
    Bytes contents;
    bool crashed;
  };
  const auto page = [](std::uint8_t fill) { return Bytes(4, fill); };
  const auto join = [](std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
  };
  const Bytes untouched = join({page(1), page(2), page(3), page(4)});
  const Case cases[] = {
      {"none", [](auto&) {}, {errOk, errOk, errOk, errOk}, untouched, false},
      {"fail second",
       [](auto& f) { f.FailWrite(2); },
       {errOk, EIO, errOk, errOk},
       join({page(1), page(0), page(3), page(4)}),
       false},
      {"fail first and last with ENOSPC",
       [](auto& f) {
         f.FailWrite(1, ENOSPC);
         f.FailWrite(4, ENOSPC);
       },
       {ENOSPC, errOk, errOk, ENOSPC},
       join({page(0), page(2), page(3)}),
       false},
      {"tear second keeping 1 byte",
       [](auto& f) { f.TearWrite(2, 1); },
       {errOk, errOk, errOk, errOk},
       join({page(1), {2}}),
       true},
      {"tear first keeping nothing",
       [](auto& f) { f.TearWrite(1, 0); },
       {errOk, errOk, errOk, errOk},
       {},
       true},
      {"tear keeping more than written",
       [](auto& f) { f.TearWrite(3, 100); },
       {errOk, errOk, errOk, errOk},
       join({page(1), page(2), page(3)}),
       true},
      {"crash after two",
       [](auto& f) { f.CrashAfterWrites(2); },
       {errOk, errOk, errOk, errOk},
       join({page(1), page(2)}),
       true},
      {"crash at once",
       [](auto& f) { f.CrashAfterWrites(0); },
       {errOk, errOk, errOk, errOk},
       {},
       true},
      {"crash after the last",
       [](auto& f) { f.CrashAfterWrites(4); },
       {errOk, errOk, errOk, errOk},
       untouched,
       true},
  };
  for (const Case& c : cases) {
    files_.SetContents(u"vol", {});
    files_.ResetFaults();
    c.arm(files_);
    for (std::uint8_t i = 0; i < 4; ++i) {
      const Bytes data = page(static_cast<std::uint8_t>(i + 1));
      EXPECT_EQ(backend_->WriteAt(handle_, i, 4, data.data(), 4), c.results[i])
          << c.mode << ", write " << i + 1;
    }
    EXPECT_EQ(files_.Contents(u"vol"), c.contents) << c.mode;
    EXPECT_EQ(files_.Crashed(), c.crashed) << c.mode;
    EXPECT_EQ(files_.WriteCount(), 4u) << c.mode;
  }
}

TEST_F(MemoryFaults, SizeChangesCountAsWrites) {
  files_.SetContents(u"vol", Bytes(8, 1));
  files_.FailWrite(1, ENOSPC);
  files_.TearWrite(3, 0);
  EXPECT_EQ(backend_->SetSize(handle_, 100), ENOSPC);
  EXPECT_EQ(backend_->SetSize(handle_, 4), errOk);
  EXPECT_EQ(backend_->SetSize(handle_, 0), errOk);  // torn: lost with the power
  EXPECT_EQ(files_.Contents(u"vol"), Bytes(4, 1));
  EXPECT_EQ(files_.WriteCount(), 3u);
  EXPECT_TRUE(files_.Crashed());
}

TEST_F(MemoryFaults, AfterPowerLossNothingChangesUntilReset) {
  files_.SetContents(u"journal", {1, 2});
  files_.CrashAfterWrites(0);
  ASSERT_TRUE(files_.Crashed());

  HostHandle created = 0;
  EXPECT_EQ(backend_->Create(u"new", false, false, created), errOk);
  EXPECT_EQ(backend_->Close(created), errOk);
  EXPECT_FALSE(files_.Exists(u"new"));
  EXPECT_EQ(backend_->Delete(u"journal"), errOk);
  EXPECT_EQ(files_.Contents(u"journal"), (Bytes{1, 2}));
  EXPECT_EQ(backend_->Flush(handle_), errOk);
  EXPECT_EQ(files_.FlushCount(), 1u);

  files_.ResetFaults();
  EXPECT_FALSE(files_.Crashed());
  const std::uint8_t byte = 9;
  EXPECT_EQ(backend_->WriteAt(handle_, 0, 1, &byte, 1), errOk);
  EXPECT_EQ(files_.Contents(u"vol"), (Bytes{9}));
  EXPECT_EQ(files_.WriteCount(), 1u);
  EXPECT_EQ(files_.FlushCount(), 0u);
  EXPECT_EQ(backend_->Delete(u"journal"), errOk);
  EXPECT_FALSE(files_.Exists(u"journal"));
}

// The medium after a power loss: what was flushed stays; of the rest, all,
// nothing or a seeded subset (reordered, some writes torn at a sector).
// Names: a new file's with its first flush, a deletion at once.
TEST(MemoryPowerLoss, KeepsWhatWasFlushedAndAtMostTheRest) {
  constexpr std::uint32_t kSector = MemoryHostFiles::kSectorSize;
  const Bytes ones(2 * kSector, 1), twos(3 * kSector, 2);
  auto run = [&](MemoryHostFiles::Unflushed unflushed, std::uint32_t seed) {
    MemoryHostFiles files({{u"gone", Bytes{7}}});
    files.SetPowerLoss(unflushed, seed);
    std::recursive_mutex ioLock;
    auto backend = MakeCallbackFileBackend(files.Callbacks(), ioLock);
    HostHandle vol = 0, fresh = 0, kept = 0;
    EXPECT_EQ(backend->Create(u"vol", false, false, vol), errOk);
    EXPECT_EQ(backend->WriteAt(vol, 0, 1, ones.data(), 2 * kSector), errOk);
    EXPECT_EQ(backend->Flush(vol), errOk);
    EXPECT_EQ(backend->WriteAt(vol, 0, 1, twos.data(), 3 * kSector), errOk);
    EXPECT_EQ(backend->Create(u"fresh", false, false, fresh), errOk);
    EXPECT_EQ(backend->Create(u"kept", false, false, kept), errOk);
    EXPECT_EQ(backend->Flush(kept), errOk);
    EXPECT_EQ(backend->Delete(u"gone"), errOk);
    files.CrashAfterWrites(0);
    for (HostHandle h : {vol, fresh, kept}) EXPECT_EQ(backend->Close(h), errOk);
    return files.TakeSnapshot();
  };
  using Unflushed = MemoryHostFiles::Unflushed;
  const MemoryHostFiles::Snapshot all = run(Unflushed::kKept, 0);
  EXPECT_EQ(all.at(u"vol"), twos);
  EXPECT_TRUE(all.count(u"fresh") && all.count(u"kept") && !all.count(u"gone"));

  const MemoryHostFiles::Snapshot flushed = run(Unflushed::kLost, 0);
  EXPECT_EQ(flushed.at(u"vol"), ones);
  EXPECT_TRUE(!flushed.count(u"fresh") && flushed.count(u"kept") && !flushed.count(u"gone"));

  bool sawOld = false, sawNew = false, sawShort = false;
  for (std::uint32_t seed = 1; seed <= 20; ++seed) {
    const MemoryHostFiles::Snapshot some = run(Unflushed::kSomeKept, seed);
    ASSERT_TRUE(some.count(u"vol") && !some.count(u"fresh") && !some.count(u"gone"));
    const Bytes& vol = some.at(u"vol");
    ASSERT_TRUE(vol.size() == 2 * kSector || vol.size() == 3 * kSector) << seed;
    // Whole sectors, each old or new: a write is kept up to a sector boundary.
    for (std::size_t at = 0; at < vol.size(); at += kSector) {
      const Bytes sector(vol.begin() + at, vol.begin() + at + kSector);
      EXPECT_TRUE(sector == Bytes(kSector, 1) || sector == Bytes(kSector, 2)) << seed;
      (sector[0] == 1 ? sawOld : sawNew) = true;
    }
    sawShort = sawShort || vol.size() == 2 * kSector;
  }
  EXPECT_TRUE(sawOld && sawNew && sawShort);
}

TEST_F(MemoryFaults, ASnapshotReopensWhatReachedTheDisk) {
  const Bytes data = {1, 2, 3};
  ASSERT_EQ(backend_->WriteAt(handle_, 0, 1, data.data(), 3), errOk);
  files_.CrashAfterWrites(1);
  ASSERT_EQ(backend_->WriteAt(handle_, 1, 1, data.data(), 3), errOk);

  MemoryHostFiles reopened(files_.TakeSnapshot());
  EXPECT_EQ(reopened.Contents(u"vol"), data);
  EXPECT_FALSE(reopened.Crashed());

  // Like a POSIX file, an open handle keeps the bytes of a removed name.
  files_.Remove(u"vol");
  EXPECT_FALSE(files_.Exists(u"vol"));
  Bytes back(3);
  EXPECT_EQ(backend_->ReadAt(handle_, 0, 1, back.data(), 3), errOk);
  EXPECT_EQ(back, data);
  EXPECT_EQ(backend_->Close(handle_), errOk);
  EXPECT_EQ(files_.OpenHandleCount(), 0u);
}

}  // namespace
}  // namespace vaultfs
