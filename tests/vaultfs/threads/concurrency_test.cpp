// Several threads using one open volume at once through the path-level
// interface: separate directories, one file through several handles, one
// directory changed while others list it, files moved both ways between two
// directories, and the storage key changed while others work. Meant for the
// ThreadSanitizer build, which turns every data race, deadlock and lock-order
// inversion into a failure (the other builds run them too); the contents and
// listings are checked afterwards and again after closing and reopening.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <latch>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "vaultfs/objects/codecs.h"
#include "vaultfs/objects/file_data.h"
#include "vaultfs/objects/path_ops.h"
#include "vaultfs/objects/search.h"
#include "vaultfs/objects/storage_password.h"
#include "vaultfs/volume/page_cipher.h"
#include "support/memory_host_files.h"
#include "support/structure_check.h"
#include "support/volume_fixture.h"

namespace vaultfs {
namespace {

using Bytes = std::vector<std::uint8_t>;

const std::u16string kName = u"threads.vfs";
constexpr std::uint32_t kThreads = 6;

std::u16string Wide(std::string_view text) {
  return std::u16string(text.begin(), text.end());
}

std::string Narrow(std::u16string_view text) {
  std::string out;
  for (char16_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

std::u16string Numbered(std::u16string_view prefix, std::uint32_t a, std::uint32_t b) {
  return std::u16string(prefix) + Wide(std::to_string(a) + "-" + std::to_string(b));
}

// Bytes that differ with the seed at every position, so a block written at
// the wrong place or read from the wrong file shows.
Bytes Pattern(std::uint32_t seed, std::size_t size) {
  Bytes bytes(size);
  std::uint32_t x = seed * 2654435761u + 0x9E3779B9u;
  for (std::uint8_t& b : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<std::uint8_t>(x);
  }
  return bytes;
}

// Runs work(0) .. work(count - 1) on as many threads, released together so
// that they overlap as much as they can.
template <class Work>
void RunTogether(std::uint32_t count, Work work) {
  std::latch start(count);
  std::vector<std::thread> threads;
  for (std::uint32_t i = 0; i < count; ++i) {
    threads.emplace_back([&start, &work, i] {
      start.arrive_and_wait();
      work(i);
    });
  }
  for (std::thread& thread : threads) thread.join();
}

struct Listed {
  std::u16string Name;
  std::uint32_t Attributes = 0;
  std::uint64_t Size = 0;
};

// The parameter: whether the volume uses transactions.
class ConcurrencyTest : public testing::MemoryVolumeTest,
                        public ::testing::WithParamInterface<bool> {
 protected:
  ConcurrencyTest() : MemoryVolumeTest(kName) {}
  ~ConcurrencyTest() override {
    if (store_ && volume_ && volume_->Active) {
      EngineResult ignored = store_->CloseAllHandles(*volume_);
      ignored = volume_->Close();
      (void)ignored;
    }
  }
  void SetUp() override { Open(true); }

  void Open(bool create) { OpenVolume(create, {.transactions = GetParam()}); }
  // Closes, checks every link between the pages of the closed container and
  // opens it again, unlocked with `key` when the storage is enciphered.
  void Reopen(std::span<const std::uint8_t> key = {}) {
    ExpectIdle();
    ASSERT_EQ(volume_->Close(), 0);
    store_.reset();
    volume_.reset();
    {
      Volume reader;
      ASSERT_EQ(reader.SetHostFileCallbacks(files_.Callbacks()), 0);
      ObjectStore readerStore(reader);
      ASSERT_EQ(reader.Open(kName, true), 0);
      if (!key.empty()) {
        ASSERT_EQ(SupplyStoragePassword(readerStore, key), 0);
      }
      for (const std::string& problem : testing::CheckStructure(reader)) ADD_FAILURE() << problem;
      ASSERT_EQ(reader.Close(), 0);
    }
    Open(false);
    if (!key.empty()) {
      EXPECT_FALSE(volume_->StorageUnlocked);
      ASSERT_EQ(SupplyStoragePassword(Store(), key), 0);
    }
  }

  // Everything the threads took was given back: no transaction running, no
  // reference beyond the store's own one on the root.
  void ExpectIdle() {
    EXPECT_EQ(volume_->RunningTransactions(), 0u);
    EXPECT_EQ(store_->Root()->References.load(), 1);
    for (std::uint32_t id = 2; id <= volume_->LastObjectId(); ++id) {
      FileObject* object = store_->Find(id);
      if (object) {
        EXPECT_EQ(object->References.load(), 0) << "object " << id;
      }
    }
  }

  // Creates (or replaces) a file with these bytes; the first failure.
  EngineResult WriteFile(std::u16string_view path, const Bytes& bytes) {
    FileHandle* handle = nullptr;
    EngineResult r =
        PathCreateFile(Store(), path, true, true, false, false, 0, {}, handle, true, true);
    if (r != 0) return r;
    std::uint32_t done = 0;
    r = WriteData(handle, bytes.data(), static_cast<std::uint32_t>(bytes.size()), done);
    if (r == 0 && done != bytes.size()) r = errStorageCorrupted;
    EngineResult closed = CloseHandle(handle, true);
    return r != 0 ? r : closed;
  }
  static EngineResult ReadAll(FileHandle* handle, Bytes& bytes) {
    bytes.clear();
    std::uint64_t size = 0, position = 0;
    EngineResult r = GetSize(handle, size);
    if (r == 0) r = Seek(handle, 0, 0, position);
    if (r != 0 || size == 0) return r;
    bytes.resize(size);
    std::uint32_t done = 0;
    r = ReadData(handle, bytes.data(), static_cast<std::uint32_t>(size), done);
    bytes.resize(done);
    return r;
  }
  EngineResult ReadFile(std::u16string_view path, Bytes& bytes,
                        std::span<const std::uint8_t> password = {}) {
    FileHandle* handle = nullptr;
    EngineResult r = PathOpenFile(Store(), path, true, false, false, false, password, handle);
    if (r != 0) return r;
    r = ReadAll(handle, bytes);
    EngineResult closed = CloseHandle(handle, true);
    return r != 0 ? r : closed;
  }
  void ExpectFile(std::u16string_view path, const Bytes& expected,
                  std::span<const std::uint8_t> password = {}) {
    Bytes bytes;
    EXPECT_EQ(ReadFile(path, bytes, password), 0) << Narrow(path);
    EXPECT_TRUE(bytes == expected)
        << Narrow(path) << ": " << bytes.size() << " bytes, expected " << expected.size();
  }

  // Every member of a directory, through a search.
  std::vector<Listed> List(std::u16string_view directory) {
    std::vector<Listed> listed;
    SearchRecord record;
    const std::u16string mask = std::u16string(directory) + u"/*";
    for (EngineResult r = SearchFirst(Store(), record, mask, ~0u, kDefaultSearchFlags);
         r != errNoMoreFiles; r = SearchNext(record)) {
      EXPECT_EQ(r, 0) << Narrow(mask);
      if (r != 0) break;
      listed.push_back({record.Name, record.Attributes, record.Size});
    }
    return listed;
  }
  std::vector<std::u16string> Names(std::u16string_view directory) {
    std::vector<std::u16string> names;
    for (const Listed& entry : List(directory)) names.push_back(entry.Name);
    return names;
  }
};

// Every thread works in a directory of its own: files are created, written,
// read back, renamed and deleted, a sub-directory gets files too. Only the
// root is shared, by every path resolution.
TEST_P(ConcurrencyTest, ThreadsInDirectoriesOfTheirOwn) {
  constexpr std::uint32_t kFiles = 40;
  // Final contents by path; each thread fills its own map.
  std::vector<std::map<std::u16string, Bytes>> expected(kThreads);
  auto sizeOf = [](std::uint32_t i) -> std::size_t { return 60 + (i * 701) % 3000; };

  RunTogether(kThreads, [&](std::uint32_t w) {
    const std::u16string home = Numbered(u"/t", w, 0);
    ASSERT_EQ(PathCreateDirectory(Store(), home), 0);
    ASSERT_EQ(PathCreateDirectory(Store(), home + u"/sub"), 0);
    for (std::uint32_t i = 0; i < kFiles; ++i) {
      const std::u16string directory = i % 2 ? home + u"/sub" : home;
      const std::u16string path = Numbered(directory + u"/f", w, i);
      const Bytes content = Pattern(w * 100 + i, sizeOf(i));
      ASSERT_EQ(WriteFile(path, content), 0) << Narrow(path);
      Bytes back;
      EXPECT_EQ(ReadFile(path, back), 0) << Narrow(path);
      EXPECT_TRUE(back == content) << Narrow(path);
      switch (i % 4) {
        case 0: {
          const std::u16string renamed = Numbered(directory + u"/g", w, i);
          EXPECT_EQ(PathMoveFile(Store(), path, renamed), 0) << Narrow(path);
          expected[w][renamed] = content;
          break;
        }
        case 1:
          EXPECT_EQ(PathDeleteFile(Store(), path), 0) << Narrow(path);
          break;
        case 2: {
          // Rewritten in place through a second open.
          const Bytes again = Pattern(w * 100 + i + 50, sizeOf(i + 1));
          EXPECT_EQ(WriteFile(path, again), 0) << Narrow(path);
          expected[w][path] = again;
          break;
        }
        default:
          expected[w][path] = content;
      }
    }
  });

  auto verify = [&] {
    for (std::uint32_t w = 0; w < kThreads; ++w) {
      const std::u16string home = Numbered(u"/t", w, 0);
      std::vector<std::u16string> top{u"sub"}, sub;
      for (const auto& [path, content] : expected[w]) {
        const std::u16string name = path.substr(path.rfind(u'/') + 1);
        (path.starts_with(home + u"/sub/") ? sub : top).push_back(name);
        ExpectFile(path, content);
      }
      std::sort(top.begin(), top.end());
      std::sort(sub.begin(), sub.end());
      EXPECT_EQ(Names(home), top) << Narrow(home);
      EXPECT_EQ(Names(home + u"/sub"), sub) << Narrow(home);
    }
  };
  verify();
  Reopen();
  verify();
}

TEST_P(ConcurrencyTest, LongCompressedWritesShareTheWorkersAtOnce) {
  // Each thread writes a compressed, enciphered file of many blocks in one
  // call, so that several writes spread their blocks over the same workers
  // at the same time; every file reads back as written.
  const std::vector<std::uint8_t> password{'p', 'w'};
  constexpr std::size_t kSize = 200 * 1024 + 99;
  RunTogether(kThreads, [&](std::uint32_t w) {
    const std::u16string path = Numbered(u"/long", w, 0);
    // Half text, half noise: blocks that shrink and blocks stored raw.
    Bytes content = Pattern(w, kSize);
    for (std::size_t i = 0; i < kSize / 2; ++i) content[i] = "several cores "[i % 14];
    FileHandle* handle = nullptr;
    ASSERT_EQ(
        PathCreateFileCompressed(Store(), path, true, true, false, false, ecAES256_HMAC256,
                                 password, w % 2 ? crRLE : crZLib, 9, 4, handle, false, false),
        0);
    std::uint32_t done = 0;
    EXPECT_EQ(WriteData(handle, content.data(), static_cast<std::uint32_t>(kSize), done), 0);
    EXPECT_EQ(done, kSize);
    ASSERT_EQ(CloseHandle(handle, true), 0);
    ExpectFile(path, content, password);
  });
}

// Several handles of one file, opened with sharing that lets them all read
// and write, each writing its own region in small pieces while the others do
// the same, reading its region back and now and then flushing the transaction
// that all of them share. Readers meanwhile see every byte either not yet
// written or as one of the rounds left it.
TEST_P(ConcurrencyTest, OneFileThroughSeveralHandles) {
  const std::vector<std::uint8_t> password{'s', 'e', 'c', 'r', 'e', 't'};
  struct Kind {
    const char* what;
    std::uint32_t cipher;
    std::uint32_t compression;
  };
  const Kind kinds[] = {
      {"plain", ecNoEncryption, crNoCompression},
      {"compressed", ecNoEncryption, crZLib},
      {"encrypted and compressed", ecAES256_HMAC256, crZLib},
  };
  constexpr std::uint32_t kWriters = kThreads - 2;
  constexpr std::uint32_t kRounds = 12;
  // Not a multiple of any page or block: neighbours share pages and blocks.
  constexpr std::size_t kRegion = 1337;
  constexpr std::size_t kPiece = 97;
  std::vector<std::vector<Bytes>> rounds(kWriters);
  for (std::uint32_t w = 0; w < kWriters; ++w)
    for (std::uint32_t round = 0; round < kRounds; ++round)
      rounds[w].push_back(Pattern(1000 + w * 10 + round, kRegion));

  for (const Kind& kind : kinds) {
    SCOPED_TRACE(kind.what);
    const std::u16string path = Wide(std::string("/") + kind.what);
    const std::span<const std::uint8_t> key =
        kind.cipher == ecNoEncryption ? std::span<const std::uint8_t>() : password;
    {
      FileHandle* creator = nullptr;
      ASSERT_EQ(PathCreateFileCompressed(Store(), path, true, true, false, false, kind.cipher, key,
                                         kind.compression, 0, 4, creator, false, false),
                0);
      ASSERT_EQ(CloseHandle(creator, true), 0);
    }

    RunTogether(kThreads, [&](std::uint32_t w) {
      FileHandle* handle = nullptr;
      const bool writer = w < kWriters;
      ASSERT_EQ(PathOpenFile(Store(), path, true, writer, false, false, key, handle), 0);
      const std::uint64_t start = w * kRegion;
      for (std::uint32_t round = 0; round < kRounds; ++round) {
        if (!writer) {
          // Each byte of region j is 0 (not written yet) or what one of j's
          // rounds wrote there.
          Bytes all;
          EXPECT_EQ(ReadAll(handle, all), 0);
          EXPECT_LE(all.size(), kWriters * kRegion);
          for (std::size_t at = 0; at < all.size(); ++at) {
            const std::uint32_t j = static_cast<std::uint32_t>(at / kRegion);
            bool known = all[at] == 0;
            for (std::uint32_t r = 0; r < kRounds && !known; ++r)
              known = rounds[j][r][at % kRegion] == all[at];
            if (!known) {
              ADD_FAILURE() << "byte " << at << " was never written";
              break;
            }
          }
          continue;
        }
        const Bytes& content = rounds[w][round];
        std::uint64_t position = 0;
        for (std::size_t done = 0; done < kRegion; done += kPiece) {
          const std::size_t count = std::min(kPiece, kRegion - done);
          std::uint32_t written = 0;
          ASSERT_EQ(Seek(handle, static_cast<std::int64_t>(start + done), 0, position), 0);
          ASSERT_EQ(
              WriteData(handle, content.data() + done, static_cast<std::uint32_t>(count), written),
              0);
          EXPECT_EQ(written, count);
        }
        Bytes back(kRegion);
        std::uint32_t read = 0;
        ASSERT_EQ(Seek(handle, static_cast<std::int64_t>(start), 0, position), 0);
        EXPECT_EQ(ReadData(handle, back.data(), static_cast<std::uint32_t>(kRegion), read), 0);
        EXPECT_EQ(read, kRegion);
        EXPECT_TRUE(back == content) << "writer " << w << " round " << round;
        if (round % 2 == 1) {
          EXPECT_EQ(FlushHandle(handle, 0), 0);
        }
      }
      EXPECT_EQ(CloseHandle(handle, true), 0);
    });

    Bytes whole;
    for (std::uint32_t w = 0; w < kWriters; ++w) {
      const Bytes& last = rounds[w][kRounds - 1];
      whole.insert(whole.end(), last.begin(), last.end());
    }
    ExpectFile(path, whole, key);
    Reopen();
    ExpectFile(path, whole, key);
  }
}

// One directory: writers create files and directories, rename and delete
// some of them, each thread its own names, while searches list the directory
// over and over and look each listed name up. A listing is always in name
// order, shows only names that were made, and a file's size is 0 (just
// created) or its final one.
TEST_P(ConcurrencyTest, FilesLeaveMemoryAndComeBackWhileOthersTakeThemUp) {
  // A file nobody holds leaves memory as its last user lets go, while other
  // threads open and look at the same few files and one thread keeps
  // changing their directory: each comes back from its pages whole, and
  // none goes while someone is on its way to it.
  constexpr std::uint32_t kFiles = 4;
  constexpr std::uint32_t kRounds = 60;
  auto path = [](std::uint32_t i) { return Numbered(u"/f", i, 0); };
  auto content = [](std::uint32_t i) { return Pattern(i * 1000, 300 + 37 * i); };
  for (std::uint32_t i = 0; i < kFiles; ++i) ASSERT_EQ(WriteFile(path(i), content(i)), 0);
  const std::size_t idle = store_->ObjectCount();
  RunTogether(kThreads, [&](std::uint32_t w) {
    for (std::uint32_t round = 0; round < kRounds; ++round) {
      if (w == 0) {
        // New members come and go beside them.
        const std::u16string other = Numbered(u"/g", round, 0);
        ASSERT_EQ(WriteFile(other, content(round % kFiles)), 0);
        if (round > 0) {
          EXPECT_EQ(PathDeleteFile(Store(), Numbered(u"/g", round - 1, 0)), 0);
        }
        continue;
      }
      const std::uint32_t i = (w + round) % kFiles;
      std::uint32_t attributes = 0;
      EXPECT_EQ(PathGetFileAttributes(Store(), path(i), attributes), 0);
      EXPECT_EQ(attributes & attrFile, attrFile);
      ExpectFile(path(i), content(i));
    }
  });
  EXPECT_EQ(Names(u"").size(), kFiles + 1);
  EXPECT_EQ(store_->ObjectCount(), idle);
  ExpectIdle();
}

TEST_P(ConcurrencyTest, OneDirectoryChangedWhileListed) {
  constexpr std::uint32_t kWriters = kThreads - 2;
  constexpr std::uint32_t kRounds = 40;
  const std::u16string home = u"/common";
  ASSERT_EQ(PathCreateDirectory(Store(), home), 0);
  auto sizeOf = [](std::uint32_t w, std::uint32_t i) -> std::size_t {
    return 20 + (w * 37 + i * 211) % 1500;
  };
  // Each writer's final names (a file's content comes from its numbers).
  struct Final {
    std::u16string Name;
    std::uint32_t Writer, Round;
    bool Directory;
  };
  std::vector<std::vector<Final>> finals(kWriters);
  std::atomic<std::uint32_t> writersLeft{kWriters};

  RunTogether(kThreads, [&](std::uint32_t w) {
    if (w >= kWriters) {
      std::uint32_t passes = 0;
      for (bool last = false; !last; ++passes) {
        last = writersLeft.load() == 0 && passes > 0;
        std::u16string previous;
        for (const Listed& entry : List(home)) {
          EXPECT_TRUE(previous.empty() || previous < entry.Name)
              << Narrow(previous) << " before " << Narrow(entry.Name);
          previous = entry.Name;
          // Names are <kind><writer>-<round>.
          const std::string name = Narrow(entry.Name);
          std::uint32_t writer = 0, round = 0;
          char kind = 0;
          ASSERT_EQ(std::sscanf(name.c_str(), "%c%u-%u", &kind, &writer, &round), 3) << name;
          ASSERT_LT(writer, kWriters) << name;
          if (kind == 'd') {
            EXPECT_NE(entry.Attributes & attrDirectory, 0u) << name;
          } else {
            EXPECT_TRUE(kind == 'f' || kind == 'r') << name;
            EXPECT_NE(entry.Attributes & attrFile, 0u) << name;
            EXPECT_TRUE(entry.Size == 0 || entry.Size == sizeOf(writer, round))
                << name << " has " << entry.Size << " bytes";
          }
          // Looked up by its path it is the same kind of object, or gone
          // (renamed or deleted) by now.
          std::uint32_t attributes = 0;
          const EngineResult r =
              PathGetFileAttributes(Store(), home + u"/" + entry.Name, attributes);
          EXPECT_TRUE(r == errFileNotFound || (r == 0 && (attributes & attrDirectory) ==
                                                             (entry.Attributes & attrDirectory)))
              << name << ": " << r;
        }
      }
      return;
    }
    // Counted down however the writer ends, or the searchers would not stop.
    struct Done {
      std::atomic<std::uint32_t>& left;
      ~Done() { left.fetch_sub(1); }
    } done{writersLeft};
    for (std::uint32_t i = 0; i < kRounds; ++i) {
      const std::u16string file = Numbered(u"f", w, i);
      ASSERT_EQ(WriteFile(home + u"/" + file, Pattern(w * 100 + i, sizeOf(w, i))), 0);
      if (i % 4 == 3) {
        const std::u16string directory = Numbered(u"d", w, i);
        ASSERT_EQ(PathCreateDirectory(Store(), home + u"/" + directory), 0);
        finals[w].push_back({directory, w, i, true});
      }
      switch (i % 3) {
        case 0: {
          const std::u16string renamed = Numbered(u"r", w, i);
          EXPECT_EQ(PathMoveFile(Store(), home + u"/" + file, home + u"/" + renamed), 0);
          finals[w].push_back({renamed, w, i, false});
          break;
        }
        case 1:
          EXPECT_EQ(PathDeleteFile(Store(), home + u"/" + file), 0);
          break;
        default:
          finals[w].push_back({file, w, i, false});
      }
    }
  });

  std::vector<Final> all;
  for (const auto& list : finals) all.insert(all.end(), list.begin(), list.end());
  std::sort(all.begin(), all.end(), [](const Final& a, const Final& b) { return a.Name < b.Name; });
  auto verify = [&] {
    const std::vector<Listed> listed = List(home);
    ASSERT_EQ(listed.size(), all.size());
    for (std::size_t k = 0; k < all.size(); ++k) {
      const Final& f = all[k];
      EXPECT_TRUE(listed[k].Name == f.Name) << Narrow(listed[k].Name) << " / " << Narrow(f.Name);
      if (f.Directory) {
        EXPECT_TRUE(Names(home + u"/" + f.Name).empty());
      } else {
        ExpectFile(home + u"/" + f.Name,
                   Pattern(f.Writer * 100 + f.Round, sizeOf(f.Writer, f.Round)));
      }
    }
  };
  verify();
  Reopen();
  verify();
}

// Files moved between two sibling directories in both directions at once:
// each move locks both directories, so two opposite moves must agree on the
// order. Every thread keeps a handle open on one of its files while moving
// it, so the references of the handle move from one directory to the other.
TEST_P(ConcurrencyTest, MovesBetweenTwoDirectoriesBothWays) {
  constexpr std::uint32_t kFiles = 3;
  constexpr std::uint32_t kTrips = 20;
  const std::u16string sides[] = {u"/left", u"/right"};
  for (const std::u16string& side : sides) ASSERT_EQ(PathCreateDirectory(Store(), side), 0);
  auto content = [](std::uint32_t w, std::uint32_t i) {
    return Pattern(w * 10 + i, 200 + 300 * i);
  };
  for (std::uint32_t w = 0; w < kThreads; ++w)
    for (std::uint32_t i = 0; i < kFiles; ++i)
      ASSERT_EQ(WriteFile(Numbered(sides[w % 2] + u"/f", w, i), content(w, i)), 0);

  RunTogether(kThreads, [&](std::uint32_t w) {
    FileHandle* kept = nullptr;
    ASSERT_EQ(PathOpenFile(Store(), Numbered(sides[w % 2] + u"/f", w, 0), true, false, false, false,
                           {}, kept),
              0);
    for (std::uint32_t trip = 0; trip < kTrips; ++trip) {
      const std::u16string& from = sides[(w + trip) % 2];
      const std::u16string& to = sides[(w + trip + 1) % 2];
      for (std::uint32_t i = 0; i < kFiles; ++i)
        EXPECT_EQ(PathMoveFile(Store(), Numbered(from + u"/f", w, i), Numbered(to + u"/f", w, i)),
                  0)
            << w << " trip " << trip << " file " << i;
      Bytes bytes;
      EXPECT_EQ(ReadAll(kept, bytes), 0);
      EXPECT_TRUE(bytes == content(w, 0));
    }
    EXPECT_EQ(CloseHandle(kept, true), 0);
  });

  // An even number of trips brings every file home.
  auto verify = [&] {
    for (std::uint32_t s = 0; s < 2; ++s) {
      std::vector<std::u16string> names;
      for (std::uint32_t w = s; w < kThreads; w += 2)
        for (std::uint32_t i = 0; i < kFiles; ++i) {
          names.push_back(Numbered(u"f", w, i));
          ExpectFile(Numbered(sides[s] + u"/f", w, i), content(w, i));
        }
      std::sort(names.begin(), names.end());
      EXPECT_EQ(Names(sides[s]), names) << Narrow(sides[s]);
    }
  };
  verify();
  Reopen();
  verify();
}

// The storage key changes while other threads work in their own directories.
// A change runs alone: it is refused while anything else runs, and nothing
// else begins while it rewrites the pages. Whatever the threads wrote reads
// back, and the container opens again with the last key.
TEST_P(ConcurrencyTest, StorageKeyChangedWhileOthersWork) {
  constexpr std::uint32_t kWorkers = kThreads - 1;
  constexpr std::uint32_t kFiles = 16;
  const Bytes keys[] = {{'f', 'i', 'r', 's', 't'}, {'s', 'e', 'c', 'o', 'n', 'd'}};
  auto path = [](std::uint32_t w, std::uint32_t i) {
    return Numbered(Numbered(u"/k", w, 0) + u"/f", w, i);
  };
  auto content = [](std::uint32_t w, std::uint32_t i) {
    return Pattern(w * 50 + i, 100 + 250 * i);
  };
  std::atomic<std::uint32_t> workersLeft{kWorkers};
  std::uint32_t changes = 0;

  RunTogether(kThreads, [&](std::uint32_t w) {
    if (w == kWorkers) {
      // Alternates between two keys; the last attempt comes after the
      // workers are done, so at least one change gets through.
      for (bool last = false; !last;) {
        last = workersLeft.load() == 0;
        const std::span<const std::uint8_t> current =
            changes == 0 ? std::span<const std::uint8_t>() : keys[(changes - 1) % 2];
        const EngineResult r =
            ChangeStorageEncryption(Store(), ecAES256_HMAC256, current, keys[changes % 2]);
        EXPECT_TRUE(r == 0 || (r == errActiveTransactions && !last)) << r;
        if (r == 0) ++changes;
        // A change rewrites every page: leave the workers room between them.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      return;
    }
    struct Done {
      std::atomic<std::uint32_t>& left;
      ~Done() { left.fetch_sub(1); }
    } done{workersLeft};
    ASSERT_EQ(PathCreateDirectory(Store(), Numbered(u"/k", w, 0)), 0);
    for (std::uint32_t i = 0; i < kFiles; ++i) {
      ASSERT_EQ(WriteFile(path(w, i), content(w, i)), 0);
      ExpectFile(path(w, i), content(w, i));
      // Pauses leave moments when nothing runs, for a change to get through.
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });

  ASSERT_GT(changes, 0u);
  auto verify = [&] {
    for (std::uint32_t w = 0; w < kWorkers; ++w)
      for (std::uint32_t i = 0; i < kFiles; ++i) ExpectFile(path(w, i), content(w, i));
  };
  verify();
  Reopen(keys[(changes - 1) % 2]);
  verify();
}

INSTANTIATE_TEST_SUITE_P(Transactions, ConcurrencyTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "Journaled" : "InPlace");
                         });

}  // namespace
}  // namespace vaultfs
