// A write of the host file that fails while the object layer works the way
// an import does (folders, files with data, tags and times, links): the
// operation it hits reports that very error, and the volume either goes on
// working as though the operation had never been tried, or refuses all
// further work with the same error until it is reopened. It refuses when a
// commit failed after registering itself (the reopen finishes it) or, with
// no journal, after overwriting older pages in place (the close writes it).
// Never does the failure come back as damage, and the reopened volume is
// sound and holds every operation that succeeded and none that was refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "support/memory_host_files.h"
#include "support/sample_data.h"
#include "support/structure_check.h"
#include "support/volume_fixture.h"
#include "vaultfs/objects/codecs.h"
#include "vaultfs/objects/file_data.h"
#include "vaultfs/objects/path_ops.h"

namespace vaultfs {
namespace {

using testing::MemoryHostFiles;
using testing::VolumeSession;
using Bytes = std::vector<std::uint8_t>;

const std::u16string kName = u"failing.vfs";
constexpr std::uint16_t kTag = 0x8001;  // the tag an import writes

const Bytes& FilePassword() {
  static const Bytes password = testing::Utf16Bytes(u"f1le key");
  return password;
}

// A file the way an import stores one: created (or emptied) enciphered and
// compressed, written, tagged and stamped through its path while its handle
// is open, then closed.
EngineResult ImportFile(ObjectStore& store, std::u16string_view path, const Bytes& content) {
  FileHandle* h = nullptr;
  EngineResult r = PathCreateFileCompressed(store, path, true, true, false, true,
                                            ecAES256_HMAC256, FilePassword(), crZLib, 9, 0, h,
                                            true, true);
  if (r != 0) return r;
  r = testing::WriteAll(h, content);
  if (r == 0) r = PathSetFileTag(store, path, kTag, content.data(), 16);
  if (r == 0) r = PathSetFileTimes(store, path, 45000.5, 45001.5, 0);
  const EngineResult closed = CloseHandle(h, true);
  return r != 0 ? r : closed;
}

bool HoldsFile(ObjectStore& store, std::u16string_view path, const Bytes& content) {
  FileHandle* h = nullptr;
  if (PathOpenFile(store, path, true, false, false, false, FilePassword(), h) != 0) return false;
  Bytes read(content.size() + 1);
  std::uint32_t done = 0;
  const EngineResult r = ReadData(h, read.data(), static_cast<std::uint32_t>(read.size()), done);
  const EngineResult closed = CloseHandle(h, true);
  read.resize(done);
  Bytes tag(16);
  std::uint32_t tagSize = 16;
  return r == 0 && closed == 0 && read == content &&
         PathGetFileTag(store, path, kTag, tag.data(), tagSize) == 0 && tagSize == 16 &&
         std::equal(tag.begin(), tag.end(), content.begin());
}

bool Exists(ObjectStore& store, std::u16string_view path) {
  bool exists = false;
  return PathFileExists(store, path, exists) == 0 && exists;
}

// One operation of the sequence and whether its change is in the volume.
struct Step {
  const char* name;
  std::function<EngineResult(ObjectStore&)> run;
  std::function<bool(ObjectStore&)> holds;
};

std::vector<Step> Steps() {
  static const Bytes first = [] {
    std::mt19937 random(3);
    return testing::Compressible(5000, random, "imported ");
  }();
  static const Bytes second = testing::RandomBytes(1800, 4);
  static const Bytes folderTag = testing::RandomBytes(40, 5);
  return {
      {"top folder", [](ObjectStore& s) { return PathForceCreateDirectories(s, u"/DATA"); },
       [](ObjectStore& s) { return Exists(s, u"/DATA"); }},
      {"file", [](ObjectStore& s) { return ImportFile(s, u"/DATA/f1", first); },
       [](ObjectStore& s) { return HoldsFile(s, u"/DATA/f1", first); }},
      {"folders", [](ObjectStore& s) { return PathForceCreateDirectories(s, u"/DATA/a/b"); },
       [](ObjectStore& s) { return Exists(s, u"/DATA/a/b"); }},
      {"link", [](ObjectStore& s) { return PathCreateLink(s, u"/DATA/a/l", u"../f1"); },
       [](ObjectStore& s) {
         char16_t target[8] = {};
         std::uint32_t length = sizeof target;
         return PathGetLinkDestination(s, u"/DATA/a/l", target, length) == 0 &&
                std::u16string_view(target) == u"../f1";
       }},
      {"second folder", [](ObjectStore& s) { return PathForceCreateDirectories(s, u"/DATA/c"); },
       [](ObjectStore& s) { return Exists(s, u"/DATA/c"); }},
      {"second file", [](ObjectStore& s) { return ImportFile(s, u"/DATA/c/f2", second); },
       [](ObjectStore& s) { return HoldsFile(s, u"/DATA/c/f2", second); }},
      {"folder tag",
       [](ObjectStore& s) {
         return PathSetFileTag(s, u"/DATA/a", kTag, folderTag.data(),
                               static_cast<std::uint32_t>(folderTag.size()));
       },
       [](ObjectStore& s) {
         Bytes tag(folderTag.size());
         std::uint32_t size = static_cast<std::uint32_t>(tag.size());
         return PathGetFileTag(s, u"/DATA/a", kTag, tag.data(), size) == 0 && tag == folderTag;
       }},
      {"folder attributes",
       [](ObjectStore& s) {
         std::uint32_t attributes = 0;
         EngineResult r = PathGetFileAttributes(s, u"/DATA/a/b", attributes);
         return r != 0 ? r : PathSetFileAttributes(s, u"/DATA/a/b", attributes | attrHidden);
       },
       [](ObjectStore& s) {
         std::uint32_t attributes = 0;
         return PathGetFileAttributes(s, u"/DATA/a/b", attributes) == 0 &&
                (attributes & attrHidden) != 0;
       }},
  };
}

TEST(WriteFailureTest, TheFailedOperationReportsItAndTheVolumeStaysSound) {
  const std::vector<Step> steps = Steps();
  // Small pages: more of them, spread over more commits. Without
  // transactions and with large pages, as the application keeps its
  // containers: changes go to the file in place and a failed commit can leave
  // part of itself there.
  struct Shape {
    std::uint32_t pageSize;
    bool transactions;
  };
  for (const Shape shape : {Shape{512, true}, Shape{4096, true}, Shape{4096, false}}) {
    const std::uint32_t pageSize = shape.pageSize;
    const bool transactions = shape.transactions;
    SCOPED_TRACE("pages of " + std::to_string(pageSize) +
                 (transactions ? ", transactions" : ", no transactions"));
    MemoryHostFiles::Snapshot base;
    {
      MemoryHostFiles files;
      VolumeSession s(files, kName, pageSize, transactions);
      ASSERT_EQ(s.Create(), 0);
      ASSERT_EQ(s.Close(), 0);
      base = files.TakeSnapshot();
    }
    std::uint64_t writes = 0;
    {
      MemoryHostFiles files(base);
      VolumeSession s(files, kName, pageSize, transactions);
      ASSERT_EQ(s.Open(false), 0);
      files.ResetFaults();
      for (const Step& step : steps) ASSERT_EQ(step.run(s.store()), 0) << step.name;
      writes = files.WriteCount();
      ASSERT_EQ(s.Close(), 0);
    }

    for (const EngineResult error : {EIO, ENOSPC}) {
      std::uint32_t retried = 0, refused = 0, unnoticed = 0;
      for (std::uint64_t n = 1; n <= writes; ++n) {
        SCOPED_TRACE("write " + std::to_string(n) + " fails with " + std::to_string(error));
        MemoryHostFiles files(base);
        std::size_t failed = steps.size();  // the step the failure reached, if any
        bool pending = false;
        {
          VolumeSession s(files, kName, pageSize, transactions);
          ASSERT_EQ(s.Open(false), 0);
          files.ResetFaults();
          files.FailWrite(n, error);
          for (std::size_t k = 0; k < steps.size(); ++k) {
            const EngineResult r = steps[k].run(s.store());
            if (failed == steps.size() && r == 0) continue;
            if (failed == steps.size()) {
              // The first failure is the write's own; then the operation is
              // tried again, as an import's final pass makes its folders again.
              ASSERT_EQ(r, error) << steps[k].name;
              failed = k;
              pending = s.volume().RecoveryPending();
              const EngineResult again = steps[k].run(s.store());
              ASSERT_EQ(again, pending ? error : 0) << steps[k].name << " again";
              continue;
            }
            ASSERT_EQ(r, pending ? error : 0) << steps[k].name << " after the failure";
          }
          const EngineResult closed = s.Close();
          EXPECT_EQ(closed, pending ? error : 0);
        }
        (failed == steps.size() ? unnoticed : pending ? refused : retried) += 1;

        MemoryHostFiles reopened(files.TakeSnapshot());
        {
          VolumeSession s(reopened, kName, pageSize, transactions);
          ASSERT_EQ(s.Open(false), 0);  // finishes a registered commit
          for (std::size_t k = 0; k < steps.size(); ++k) {
            // A refused volume finishes the failed commit (the reopen or the
            // close does); an operation of several commits may be half there.
            if (pending && k == failed) continue;
            EXPECT_EQ(steps[k].holds(s.store()), !pending || k < failed) << steps[k].name;
          }
          ASSERT_EQ(s.Close(), 0);
        }
        testing::ExpectSoundStructure(reopened, kName);
        if (HasFailure()) return;
      }
      std::printf(
          "error %d at each of %llu writes: %u operations worked again, %u refused until "
          "reopened, %u failures retried unseen\n",
          error, static_cast<unsigned long long>(writes), retried, refused, unnoticed);
      EXPECT_GT(retried, 0u);
      EXPECT_GT(refused, 0u);
    }
  }
}

}  // namespace
}  // namespace vaultfs
