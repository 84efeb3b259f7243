// Path resolution, links, creation, deletion, moves, attributes, times, tags
// and change notifications.
#include "vaultfs/objects/path_ops.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "vaultfs/objects/codecs.h"
#include "vaultfs/objects/records.h"
#include "vaultfs/volume/page_cipher.h"
#include "support/sample_data.h"
#include "support/volume_fixture.h"

namespace vaultfs {
namespace {

using testing::NameOf;
using namespace layout;

bool LockIsFree(FileObject& object) {
  bool free = false;
  std::thread probe([&] {
    if (object.Lock.try_lock()) {
      free = true;
      object.Lock.unlock();
    }
  });
  probe.join();
  return free;
}

struct Options {
  std::uint32_t pageSize = 512;
  bool caseSensitive = true;
  char16_t separator = u'/';
};

class PathOpsTest : public testing::MemoryVolumeTest {
 protected:
  PathOpsTest() : MemoryVolumeTest(u"paths.vfs") {}

  // A test that stopped half-way may leave handles open: close them while
  // the objects they use still exist.
  ~PathOpsTest() override {
    if (store_ && volume_ && volume_->Active) {
      EngineResult ignored = store_->CloseAllHandles(*volume_);
      ignored = volume_->Close();
      (void)ignored;
    }
  }

  void Open(bool create, Options options = {}, bool readOnly = false) {
    ASSERT_NO_FATAL_FAILURE(OpenVolume(create, {.pageSize = options.pageSize,
                                                .readOnly = readOnly,
                                                .caseSensitive = options.caseSensitive,
                                                .separator = options.separator}));
    options_ = options;
  }
  void Close() {
    ExpectIdle();
    CloseVolume();
  }
  void Reopen(bool readOnly = false) {
    Close();
    Open(false, options_, readOnly);
  }

  // Every operation gives back what it took: no transaction left running,
  // no reference beyond the store's own one on the root, no lock held.
  void ExpectIdle() {
    EXPECT_EQ(volume_->RunningTransactions(), 0u);
    EXPECT_EQ(Root().References.load(), 1);
    EXPECT_TRUE(LockIsFree(Root()));
    for (std::uint32_t id = 2; id <= volume_->LastObjectId(); ++id) {
      FileObject* object = store_->Find(id);
      if (!object) continue;
      EXPECT_EQ(object->References.load(), 0) << "object " << id;
      EXPECT_TRUE(LockIsFree(*object)) << "object " << id;
    }
  }

  std::uint32_t Attributes(std::u16string_view path) {
    std::uint32_t attributes = 0;
    EXPECT_EQ(PathGetFileAttributes(Store(), path, attributes), 0)
        << std::string(path.begin(), path.end());
    return attributes;
  }
  bool Exists(std::u16string_view path) {
    bool exists = false;
    EXPECT_EQ(PathFileExists(Store(), path, exists), 0);
    return exists;
  }
  // The object a path names (the final link not followed); its chain is given back.
  std::uint32_t IdOf(std::u16string_view path, bool follow = false) {
    ResolvedPath resolved;
    if (ResolvePath(Store(), path, follow, nullptr, resolved) != 0) return 0;
    const std::uint32_t id = resolved.Object->ObjectId();
    ReleaseChain(*resolved.Object, true);
    return id;
  }
  std::u16string ResolveLink(std::u16string_view path, EngineResult expected = 0) {
    std::u16string buffer(4096, u'\0');
    std::uint32_t length = static_cast<std::uint32_t>(buffer.size());
    EXPECT_EQ(PathResolveLink(Store(), path, buffer.data(), length), expected);
    if (expected != 0) return {};
    buffer.resize(length - 1);
    return buffer;
  }
  std::vector<std::u16string> Names(std::u16string_view directoryPath) {
    std::vector<std::u16string> names;
    ResolvedPath resolved;
    EXPECT_EQ(ResolvePath(Store(), directoryPath, true, nullptr, resolved), 0);
    if (!resolved.Object) return names;
    EXPECT_EQ(LoadEntries(*resolved.Object, nullptr), 0);
    for (const EntryRef& e : resolved.Object->ChildList) names.push_back(e->Name);
    ReleaseChain(*resolved.Object, true);
    return names;
  }

  // The links between an object and the directory page that holds its entry:
  // the header page and the first name page point back at that page, the name
  // chain is in order and holds exactly the name.
  void ExpectBackLinks(std::u16string_view directoryPath, const std::u16string& name) {
    SCOPED_TRACE(std::to_string(name.size()) + " units in " +
                 std::string(directoryPath.begin(), directoryPath.end()));
    ResolvedPath resolved;
    ASSERT_EQ(ResolvePath(Store(), directoryPath, true, nullptr, resolved), 0);
    FileObject& directory = *resolved.Object;
    EntryRef entry;
    EXPECT_EQ(LookupName(directory, name, nullptr, entry), 0);
    DirectoryEntry slot;
    std::uint32_t entryPage = 0;
    if (entry) {
      EXPECT_EQ(ReadEntry(directory, entry->Slot, nullptr, slot, entryPage), 0);
    }
    const std::uint32_t directoryId = directory.ObjectId();
    ReleaseChain(directory, true);
    ASSERT_TRUE(entry);
    EXPECT_EQ(slot.NameLength, name.size());
    // Every header page names the parent; the first points back at the entry.
    for (std::uint32_t n = slot.HeaderPage, previous = entryPage; n != 0;) {
      PageRef header;
      ASSERT_EQ(volume_->GetPage(n, true, ObjectHeaderPage, slot.ObjectId, nullptr, header), 0);
      EXPECT_EQ(LoadU32(header.data() + kPrevPage), previous);
      EXPECT_EQ(LoadU32(header.data() + kParentId), directoryId);
      previous = n;
      n = NextPageOf(header.data());
    }
    std::u16string stored(slot.NameStart,
                          slot.NameStart + std::min<std::size_t>(name.size(), kNameStartUnits));
    std::uint32_t page = slot.NameNextPage, previous = entryPage, index = 0;
    while (page != 0 && stored.size() < name.size()) {
      PageRef p;
      ASSERT_EQ(volume_->GetPage(page, true, NameContinuationPage, slot.ObjectId, nullptr, p), 0);
      EXPECT_EQ(LoadU32(p.data() + kPrevPage), previous) << "name page " << index;
      EXPECT_EQ(LoadU32(p.data() + kChainIndex), index);
      const std::size_t units =
          std::min<std::size_t>(volume_->PayloadSize / 2, name.size() - stored.size());
      for (std::size_t i = 0; i < units; ++i)
        stored.push_back(static_cast<char16_t>(LoadU16(p.data() + kPageHeaderSize + 2 * i)));
      previous = page;
      page = NextPageOf(p.data());
      ++index;
    }
    EXPECT_EQ(page, 0u);
    EXPECT_TRUE(stored == name);
  }

  // Writes `text` (as bytes) into a new file at `path` and closes it.
  void WriteFile(std::u16string_view path, std::string_view text, std::uint32_t cipherMode = 0,
                 std::span<const std::uint8_t> password = {}) {
    FileHandle* handle = nullptr;
    ASSERT_EQ(PathCreateFile(Store(), path, true, true, false, false, cipherMode, password, handle,
                             false, false),
              0);
    std::uint32_t done = 0;
    EXPECT_EQ(WriteData(handle, reinterpret_cast<const std::uint8_t*>(text.data()),
                        static_cast<std::uint32_t>(text.size()), done),
              0);
    EXPECT_EQ(CloseHandle(handle, true), 0);
  }
  std::string ReadFile(FileHandle* handle) {
    std::uint64_t position = 0, size = 0;
    EXPECT_EQ(Seek(handle, 0, 0, position), 0);
    EXPECT_EQ(GetSize(handle, size), 0);
    std::string text(size, '\0');
    std::uint32_t done = 0;
    if (size != 0) {
      EXPECT_EQ(ReadData(handle, reinterpret_cast<std::uint8_t*>(text.data()),
                         static_cast<std::uint32_t>(size), done),
                0);
    }
    text.resize(done);
    return text;
  }
  std::string ReadFile(std::u16string_view path, std::span<const std::uint8_t> password = {}) {
    FileHandle* handle = nullptr;
    EngineResult r = PathOpenFile(Store(), path, true, false, false, false, password, handle);
    EXPECT_EQ(r, 0);
    if (r != 0) return {};
    std::string text = ReadFile(handle);
    EXPECT_EQ(CloseHandle(handle, true), 0);
    return text;
  }

  // A plain file object, made below the path layer (file handles are not
  // needed to have one).
  void MakeFile(std::u16string_view path) {
    Transaction* t = nullptr;
    ASSERT_EQ(volume_->Begin(false, t), 0);
    ResolvedPath parent;
    ASSERT_EQ(ResolveParent(Store(), path, t, parent), 0);
    ASSERT_EQ(volume_->JoinObject(t, parent.Object), 0);
    FileObject* child = nullptr;
    bool created = false;
    ASSERT_EQ(CreateChild(*parent.Object, parent.LastComponent, attrFile, nullptr, false, true, t,
                          child, created),
              0);
    child->Release();
    ASSERT_EQ(volume_->Commit(t), 0);
    ReleaseChain(*parent.Object, true);
  }

  Options options_;
};

TEST_F(PathOpsTest, EveryFormOfAPathNamesTheSameObject) {
  Open(true, {.separator = u'\\'});
  ASSERT_EQ(PathCreateDirectory(Store(), u"/a"), 0);
  ASSERT_EQ(PathCreateDirectory(Store(), u"\\a\\b"), 0);
  const std::uint32_t id = IdOf(u"/a/b");
  ASSERT_NE(id, 0u);
  for (const std::u16string path :
       {u"a/b", u"/a/b", u"\\a\\b", u"/a//b", u"/a/b/", u"a:b", u"//a\\b"}) {
    SCOPED_TRACE(std::string(path.begin(), path.end()));
    EXPECT_EQ(IdOf(path), id);
    EXPECT_EQ(Attributes(path), attrDirectory);
  }
  for (const std::u16string root : {u"", u"/", u"\\\\"}) EXPECT_EQ(Attributes(root), attrDirectory);
  ExpectIdle();
}

TEST_F(PathOpsTest, ResolutionAndNameErrors) {
  Open(true);
  ASSERT_EQ(PathCreateDirectory(Store(), u"/d"), 0);
  ASSERT_EQ(PathCreateLink(Store(), u"/nowhere", u"/missing"), 0);
  struct Case {
    const char* what;
    EngineResult (*run)(ObjectStore&);
    EngineResult expected;
  };
  const Case cases[] = {
      {"query a missing object",
       [](ObjectStore& s) {
         std::uint32_t a;
         return PathGetFileAttributes(s, u"/missing", a);
       },
       errFileNotFound},
      {"query below a missing directory",
       [](ObjectStore& s) {
         std::uint32_t a;
         return PathGetFileAttributes(s, u"/missing/x", a);
       },
       errFileNotFound},
      {"create below a missing directory",
       [](ObjectStore& s) { return PathCreateDirectory(s, u"/missing/x"); }, errPathNotFound},
      {"create below a dangling link",
       [](ObjectStore& s) { return PathCreateDirectory(s, u"/nowhere/x"); }, errLinkTargetNotFound},
      {"create an existing name", [](ObjectStore& s) { return PathCreateDirectory(s, u"/d"); },
       errAlreadyExists},
      {"create the root", [](ObjectStore& s) { return PathCreateDirectory(s, u"/"); },
       errPathNotFound},
      {"name with '*'", [](ObjectStore& s) { return PathCreateDirectory(s, u"/a*b"); },
       errInvalidFileName},
      {"name with '?'", [](ObjectStore& s) { return PathCreateDirectory(s, u"/a?"); },
       errInvalidFileName},
      {"name with '<'", [](ObjectStore& s) { return PathCreateDirectory(s, u"/<"); },
       errInvalidFileName},
      {"name with '|'", [](ObjectStore& s) { return PathCreateDirectory(s, u"/x|y"); },
       errInvalidFileName},
      {"name with a control unit",
       [](ObjectStore& s) { return PathCreateDirectory(s, std::u16string(u"/a\x01")); },
       errInvalidFileName},
      {"'..' is an ordinary name in a path",
       [](ObjectStore& s) {
         std::uint32_t a;
         return PathGetFileAttributes(s, u"/d/../d", a);
       },
       errFileNotFound},
      {"'.' is an ordinary name in a path",
       [](ObjectStore& s) {
         std::uint32_t a;
         return PathGetFileAttributes(s, u"/d/.", a);
       },
       errFileNotFound},
      {"delete a missing object", [](ObjectStore& s) { return PathDeleteFile(s, u"/missing"); },
       errFileNotFound},
      {"delete below a missing directory",
       [](ObjectStore& s) { return PathDeleteFile(s, u"/missing/x"); }, errPathNotFound},
      {"delete the root", [](ObjectStore& s) { return PathDeleteFile(s, u""); }, errPathNotFound},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.run(Store()), c.expected);
    ExpectIdle();
  }
  EXPECT_EQ(Names(u"/"), (std::vector<std::u16string>{u"d", u"nowhere"}));
}

TEST_F(PathOpsTest, AFileInTheDirectoryPartIsNoDirectory) {
  Open(true);
  ASSERT_EQ(PathCreateDirectory(Store(), u"/d"), 0);
  MakeFile(u"/f");
  const std::uint32_t file = IdOf(u"/f");
  ASSERT_NE(file, 0u);
  std::uint32_t attributes = 0;
  EXPECT_EQ(PathGetFileAttributes(Store(), u"/f/x", attributes), errFileNotFound);
  EXPECT_EQ(PathCreateDirectory(Store(), u"/f/sub"), errPathNotFound);
  EXPECT_EQ(PathMoveFile(Store(), u"/d", u"/f/d"), errPathNotFound);
  EXPECT_EQ(PathCreateLink(Store(), u"/f/l", u"/d"), errPathNotFound);
  // Nothing was written into the file: it never became a directory. (Taken
  // up by path: an object nobody holds does not stay in memory.)
  ResolvedPath f;
  ASSERT_EQ(ResolvePath(Store(), u"/f", false, nullptr, f), 0);
  EXPECT_EQ(f.Object->ObjectId(), file);
  RecordRef slots;
  EXPECT_EQ(FindRecord(*f.Object, rkDirectory, 0, false, nullptr, slots), 0);
  EXPECT_FALSE(slots);
  slots = RecordRef();
  ReleaseChain(*f.Object, true);
  EXPECT_TRUE(Exists(u"/d"));
  ExpectIdle();
}

TEST_F(PathOpsTest, LinksAreFollowedWithDotsResolvedOnlyInTheirTargets) {
  Open(true);
  ASSERT_EQ(PathForceCreateDirectories(Store(), u"/d/f/x"), 0);
  ASSERT_EQ(PathCreateDirectory(Store(), u"/top"), 0);
  ASSERT_EQ(PathCreateLink(Store(), u"/l", u"/d/f"), 0);
  ASSERT_EQ(PathCreateLink(Store(), u"/d/up", u"../top"), 0);
  ASSERT_EQ(PathCreateLink(Store(), u"/d/self", u"./f/."), 0);
  ASSERT_EQ(PathCreateLink(Store(), u"/d/rel", u"f"), 0);
  ASSERT_EQ(PathCreateLink(Store(), u"/dangling", u"/d/none"), 0);
  ASSERT_EQ(PathCreateLink(Store(), u"/escape", u"../../x"), 0);

  EXPECT_EQ(Attributes(u"/l"), attrSymLink);  // queries do not follow the final link
  EXPECT_EQ(IdOf(u"/l", true), IdOf(u"/d/f"));
  EXPECT_EQ(IdOf(u"/l/x"), IdOf(u"/d/f/x"));
  EXPECT_EQ(IdOf(u"/d/up", true), IdOf(u"/top"));
  EXPECT_EQ(IdOf(u"/d/self/x"), IdOf(u"/d/f/x"));
  EXPECT_EQ(IdOf(u"/d/rel/x"), IdOf(u"/d/f/x"));

  EXPECT_EQ(ResolveLink(u"/l"), u"/d/f");
  EXPECT_EQ(ResolveLink(u"/l/x"), u"/d/f/x");
  EXPECT_EQ(ResolveLink(u"/d/up"), u"/top");
  EXPECT_EQ(ResolveLink(u"/d/self/x"), u"/d/f/x");
  ResolveLink(u"/dangling", errLinkTargetNotFound);
  ResolveLink(u"/escape", errLinkTargetNotFound);
  ResolveLink(u"/l/none", errLinkTargetNotFound);
  ResolveLink(u"/", errFileNotFound);

  // A dangling link exists as an object; what lies behind it does not.
  EXPECT_TRUE(Exists(u"/dangling"));
  bool exists = true;
  EXPECT_EQ(PathFileExists(Store(), u"/dangling/x", exists), errLinkTargetNotFound);
  bool empty = false;
  EXPECT_EQ(PathIsDirectoryEmpty(Store(), u"/dangling", empty), errLinkTargetNotFound);
  EXPECT_TRUE(empty);
  EXPECT_EQ(PathIsDirectoryEmpty(Store(), u"/l", empty), 0);
  EXPECT_FALSE(empty);
  EXPECT_EQ(PathIsDirectoryEmpty(Store(), u"/top", empty), 0);
  EXPECT_TRUE(empty);

  // The resolved path's length is reported, terminator included, whatever the buffer.
  std::uint32_t length = 3;
  char16_t small[3];
  EXPECT_EQ(PathResolveLink(Store(), u"/l/x", small, length), errBufferTooSmall);
  EXPECT_EQ(length, 7u);
  ExpectIdle();
}

TEST_F(PathOpsTest, LinkDestinationsAndTheirErrors) {
  Open(true);
  ASSERT_EQ(PathCreateDirectory(Store(), u"/d"), 0);
  ASSERT_EQ(PathCreateLink(Store(), u"/l", u"/d/target"), 0);
  std::uint32_t length = 0;
  EXPECT_EQ(PathGetLinkDestination(Store(), u"/l", nullptr, length), errBufferTooSmall);
  EXPECT_EQ(length, 20u);  // 9 units and the terminator, 2 bytes each
  char16_t buffer[10];
  length = 19;
  EXPECT_EQ(PathGetLinkDestination(Store(), u"/l", buffer, length), errBufferTooSmall);
  length = 20;
  ASSERT_EQ(PathGetLinkDestination(Store(), u"/l", buffer, length), 0);
  EXPECT_EQ(std::u16string(buffer), u"/d/target");
  const char16_t* reference = nullptr;
  ASSERT_EQ(PathGetLinkDestinationRef(Store(), u"/l", reference), 0);
  EXPECT_EQ(std::u16string(reference), u"/d/target");
  EXPECT_EQ(PathGetLinkDestination(Store(), u"/d", buffer, length), errNotSymbolicLink);
  EXPECT_EQ(PathGetLinkDestinationRef(Store(), u"/missing", reference), errFileNotFound);

  // A link gets a new target in place; anything else at the path is kept.
  ASSERT_EQ(PathCreateLink(Store(), u"/l", u"/d"), 0);
  EXPECT_EQ(PathCreateLink(Store(), u"/d", u"/x"), errAlreadyExists);
  EXPECT_EQ(Attributes(u"/d"), attrDirectory);
  Reopen();
  length = 20;
  ASSERT_EQ(PathGetLinkDestination(Store(), u"/l", buffer, length), 0);
  EXPECT_EQ(std::u16string(buffer), u"/d");
  EXPECT_EQ(length, 6u);
  ExpectIdle();
}

TEST_F(PathOpsTest, ALinkLoopFailsAfter32Expansions) {
  Open(true);
  ASSERT_EQ(PathCreateDirectory(Store(), u"/t"), 0);
  // /L01 -> /L02 -> ... -> /L33 -> /t: resolving /Lk expands 34 - k links.
  auto link = [](int i) {
    return std::u16string(u"/L") + char16_t(u'0' + i / 10) + char16_t(u'0' + i % 10);
  };
  for (int i = 1; i <= 33; ++i)
    ASSERT_EQ(PathCreateLink(Store(), link(i), i == 33 ? u"/t" : link(i + 1)), 0);
  EXPECT_EQ(IdOf(u"/L02", true), IdOf(u"/t"));  // 32 expansions
  EXPECT_EQ(ResolveLink(u"/L02"), u"/t");
  ResolveLink(u"/L01", errLinkTargetNotFound);  // 33
  ResolveLink(u"/L01/x", errLinkTargetNotFound);
  ASSERT_EQ(PathCreateLink(Store(), u"/loop", u"/loop/again"), 0);
  ASSERT_EQ(PathCreateLink(Store(), u"/self", u"self"), 0);
  ResolveLink(u"/loop", errLinkTargetNotFound);
  ResolveLink(u"/self", errLinkTargetNotFound);
  EXPECT_EQ(PathCreateDirectory(Store(), u"/self/x"), errLinkTargetNotFound);
  ExpectIdle();
}

TEST_F(PathOpsTest, DeletingRefusesNonEmptyAndUsedObjects) {
  Open(true);
  ASSERT_EQ(PathForceCreateDirectories(Store(), u"/d/inner"), 0);
  EXPECT_EQ(PathRemoveDirectory(Store(), u"/d"), errDirectoryNotEmpty);
  ExpectIdle();
  EXPECT_EQ(PathDeleteFile(Store(), u"/d/inner"), 0);
  EXPECT_EQ(PathRemoveDirectory(Store(), u"/d"), 0);
  EXPECT_FALSE(Exists(u"/d"));

  // Read-only objects are protected from writing only, not from deletion.
  ASSERT_EQ(PathCreateDirectory(Store(), u"/ro"), 0);
  ASSERT_EQ(PathSetFileAttributes(Store(), u"/ro", attrDirectory | attrReadOnly), 0);
  EXPECT_EQ(PathDeleteFile(Store(), u"/ro"), 0);

  // A watched object has another user.
  ASSERT_EQ(PathCreateDirectory(Store(), u"/w"), 0);
  NotificationHandle watch = nullptr;
  ASSERT_EQ(PathRegisterNotification(Store(), u"/w", false, ~0u, nullptr, nullptr, watch), 0);
  EXPECT_EQ(PathDeleteFile(Store(), u"/w"), errSharingViolation);
  EXPECT_EQ(PathUnregisterNotification(watch), 0);
  EXPECT_EQ(PathDeleteFile(Store(), u"/w"), 0);
  Reopen();
  EXPECT_TRUE(Names(u"/").empty());
  ExpectIdle();
}

TEST_F(PathOpsTest, ForceCreateDirectoriesMakesWhatIsMissing) {
  Open(true);
  ASSERT_EQ(PathCreateDirectory(Store(), u"/a"), 0);
  EXPECT_EQ(PathForceCreateDirectories(Store(), u"a/b/c"), 0);
  EXPECT_EQ(Attributes(u"/a/b/c"), attrDirectory);
  EXPECT_EQ(PathForceCreateDirectories(Store(), u"/a/b/c/"), 0);
  EXPECT_EQ(PathForceCreateDirectories(Store(), u"/a/b*/c"), errInvalidFileName);
  ExpectIdle();
}

// An import makes and stamps a tree one folder at a time through full paths;
// its final pass and an export read it back the same way, deepest first or
// top down. Thousands of levels must come out as the chain they are.
TEST_F(PathOpsTest, AChainThousandsOfLevelsDeepIsMadeAndFoundAgain) {
  Open(true, {.pageSize = 4096});
  constexpr std::size_t kDepth = 2000;
  std::vector<std::u16string> paths;
  std::vector<std::uint32_t> ids;
  std::u16string path;
  for (std::size_t level = 0; level < kDepth; ++level) {
    path += u'/';
    path += static_cast<char16_t>(u'a' + level % 26);
    ASSERT_EQ(PathForceCreateDirectories(Store(), path), 0) << level;
    const std::uint32_t stamp = static_cast<std::uint32_t>(level);
    ASSERT_EQ(PathSetFileTag(Store(), path, kFirstTagKind,
                             reinterpret_cast<const std::uint8_t*>(&stamp), sizeof stamp),
              0)
        << level;
    paths.push_back(path);
    ids.push_back(IdOf(path));
    ASSERT_NE(ids.back(), 0u) << level;
  }
  for (std::size_t level = 1; level < kDepth; ++level) {
    FileObject* object = store_->Find(ids[level]);
    ASSERT_TRUE(object);
    ASSERT_EQ(object->Parent, store_->Find(ids[level - 1])) << level;
  }
  WriteFile(path + u"/leaf", "deep");
  // Times last, deepest first: a new member touches its directory.
  for (std::size_t level = kDepth; level-- > 0;)
    ASSERT_EQ(PathSetFileModificationTime(Store(), paths[level], 1000.0 + level), 0) << level;
  ExpectIdle();

  // From a fresh start, nothing known but the pages: deepest first, then top down.
  Reopen();
  auto expectLevel = [&](std::size_t level, bool byId) {
    SCOPED_TRACE(level);
    if (byId) {
      EXPECT_EQ(IdOf(paths[level]), ids[level]);
    }
    StorageTime modified = 0;
    EXPECT_EQ(PathGetFileModificationTime(Store(), paths[level], modified), 0);
    EXPECT_EQ(modified, 1000.0 + static_cast<double>(level));
    std::uint32_t stamp = 0, size = sizeof stamp;
    EXPECT_EQ(PathGetFileTag(Store(), paths[level], kFirstTagKind,
                             reinterpret_cast<std::uint8_t*>(&stamp), size),
              0);
    EXPECT_EQ(stamp, level);
  };
  for (std::size_t level = kDepth; level-- > 0;) expectLevel(level, false);
  for (std::size_t level = 0; level < kDepth; level += 7) expectLevel(level, true);
  EXPECT_EQ(ReadFile(path + u"/leaf"), "deep");
  std::u16string resolved(path.size() + 16, u'\0');
  std::uint32_t length = static_cast<std::uint32_t>(resolved.size());
  EXPECT_EQ(PathResolveLink(Store(), path + u"/leaf", resolved.data(), length), 0);
  EXPECT_EQ(length, path.size() + 6);
  EXPECT_TRUE(resolved.substr(0, length - 1) == path + u"/leaf");

  // A whole missing chain below the deepest level in one call, and a path
  // through a file, which makes nothing.
  EXPECT_EQ(PathForceCreateDirectories(Store(), path + u"/x/y/z"), 0);
  EXPECT_EQ(Attributes(path + u"/x/y/z"), attrDirectory);
  EXPECT_EQ(PathForceCreateDirectories(Store(), path + u"/leaf/y/z"), errPathNotFound);
  EXPECT_FALSE(Exists(path + u"/leaf/y"));
  ExpectIdle();
}

// Each case learns a few paths below /a/b/c, changes the tree, and looks
// again: what was learnt must never answer for the tree as it is now.
TEST_F(PathOpsTest, WhatResolutionLearntNeverAnswersForAChangedTree) {
  // Paths to the object that a path of the tree before the change named;
  // kGone: must not resolve; kNew: an object the change made.
  const std::u16string kGone = u"", kNew = u"new";
  std::map<std::u16string, std::uint32_t> before;
  auto renameInRolledBackTransaction = [&] {
    Transaction* t = nullptr;
    ASSERT_EQ(volume_->Begin(false, t), 0);
    ResolvedPath parent;
    ASSERT_EQ(ResolveParent(Store(), u"/a/b", t, parent), 0);
    ASSERT_EQ(volume_->JoinObject(t, parent.Object), 0);
    FileObject* b = nullptr;
    ASSERT_EQ(OpenChild(*parent.Object, u"b", errFileNotFound, t, b), 0);
    ASSERT_EQ(volume_->JoinObject(t, b), 0);
    ASSERT_EQ(SetName(*b, u"q", false, false, t), 0);
    b->Release();
    // Learnt while the new name stands.
    EXPECT_EQ(IdOf(u"/a/q/c/x"), before[u"/a/b/c/x"]);
    EXPECT_EQ(volume_->Rollback(t), 0);
    ReleaseChain(*parent.Object, true);
  };
  struct Case {
    const char* name;
    bool caseSensitive;
    std::vector<std::u16string> learn;
    std::function<void()> change;
    std::vector<std::pair<std::u16string, std::u16string>> expected;
  };
  const std::vector<std::u16string> kLearn = {u"/a/b/c/x", u"/a/b/c", u"/a/b/c/x/"};
  const std::vector<Case> cases = {
      {"a new sibling changes nothing learnt",
       true,
       kLearn,
       [&] { ASSERT_EQ(PathCreateDirectory(Store(), u"/a/b/c/y"), 0); },
       {{u"/a/b/c/x", u"/a/b/c/x"}, {u"/a/b/c/y", kNew}, {u"/a/b/c", u"/a/b/c"}}},
      {"an ancestor renamed",
       true,
       kLearn,
       [&] { ASSERT_EQ(PathMoveFile(Store(), u"/a/b", u"/a/q"), 0); },
       {{u"/a/b/c/x", kGone}, {u"/a/b/c", kGone}, {u"/a/q/c/x", u"/a/b/c/x"}}},
      {"the learnt directory renamed",
       true,
       kLearn,
       [&] { ASSERT_EQ(PathMoveFile(Store(), u"/a/b/c", u"/a/b/d"), 0); },
       {{u"/a/b/c/x", kGone}, {u"/a/b/c", kGone}, {u"/a/b/d/x", u"/a/b/c/x"}}},
      {"deleted and made again under the same name",
       true,
       kLearn,
       [&] {
         ASSERT_EQ(PathRemoveDirectory(Store(), u"/a/b/c/x"), 0);
         ASSERT_EQ(PathRemoveDirectory(Store(), u"/a/b/c"), 0);
         ASSERT_EQ(PathForceCreateDirectories(Store(), u"/a/b/c/x"), 0);
       },
       {{u"/a/b/c/x", kNew}, {u"/a/b/c", kNew}, {u"/a/b", u"/a/b"}}},
      {"moved under another parent",
       true,
       kLearn,
       [&] { ASSERT_EQ(PathMoveFile(Store(), u"/a/b/c", u"/p/c"), 0); },
       {{u"/a/b/c/x", kGone}, {u"/p/c/x", u"/a/b/c/x"}, {u"/a/b", u"/a/b"}}},
      {"another directory moved into its place",
       true,
       kLearn,
       [&] {
         ASSERT_EQ(PathMoveFile(Store(), u"/a/b/c", u"/p/c"), 0);
         ASSERT_EQ(PathMoveFile(Store(), u"/t", u"/a/b/c"), 0);
       },
       {{u"/a/b/c/x", u"/t/x"}, {u"/a/b/c", u"/t"}, {u"/p/c/x", u"/a/b/c/x"}}},
      {"replaced by a moved directory",
       true,
       kLearn,
       [&] { ASSERT_EQ(PathMoveFileReplace(Store(), u"/t", u"/a/b"), 0); },
       {{u"/a/b/c/x", kGone}, {u"/a/b/x", u"/t/x"}, {u"/a/b", u"/t"}}},
      {"a link in place of the learnt directory",
       true,
       kLearn,
       [&] {
         ASSERT_EQ(PathRemoveDirectory(Store(), u"/a/b/c/x"), 0);
         ASSERT_EQ(PathRemoveDirectory(Store(), u"/a/b/c"), 0);
         ASSERT_EQ(PathCreateLink(Store(), u"/a/b/c", u"/t"), 0);
       },
       {{u"/a/b/c/x", u"/t/x"}, {u"/a/b/c", kNew}}},
      {"a rename rolled back",
       true,
       kLearn,
       renameInRolledBackTransaction,
       {{u"/a/q/c/x", kGone}, {u"/a/b/c/x", u"/a/b/c/x"}, {u"/a/b/c", u"/a/b/c"}}},
      {"other case on a case-insensitive storage",
       false,
       kLearn,
       [] {},
       {{u"/A/b/C/x", u"/a/b/c/x"}, {u"/a/B", u"/a/b"}, {u"/A/B/C/X/", u"/a/b/c/x"}}},
      {"an ancestor renamed on a case-insensitive storage",
       false,
       {u"/A/B/C/X", u"/a/b/c/x"},
       [&] { ASSERT_EQ(PathMoveFile(Store(), u"/a/B", u"/a/Q"), 0); },
       {{u"/A/B/C/X", kGone}, {u"/a/b/c/x", kGone}, {u"/a/q/C/x", u"/a/b/c/x"}}},
      {"the name order switched",
       false,
       {u"/A/B/C/X", u"/a/B/c"},
       [&] { Store().SetCaseSensitive(true); },
       {{u"/A/B/C/X", kGone}, {u"/a/B/c", kGone}, {u"/a/b/c/x", u"/a/b/c/x"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    files_.Remove(name_);
    Open(true, {.caseSensitive = c.caseSensitive});
    for (const std::u16string dir : {u"/a/b/c/x", u"/p", u"/t/x"})
      ASSERT_EQ(PathForceCreateDirectories(Store(), dir), 0);
    before.clear();
    for (const std::u16string known :
         {u"/a", u"/a/b", u"/a/b/c", u"/a/b/c/x", u"/p", u"/t", u"/t/x"})
      before[known] = IdOf(known);
    for (const std::u16string& path : c.learn) {
      EXPECT_NE(IdOf(path), 0u) << std::string(path.begin(), path.end());
      EXPECT_NE(Attributes(path), 0u);
    }
    c.change();
    for (const auto& [path, was] : c.expected) {
      SCOPED_TRACE(std::string(path.begin(), path.end()));
      const std::uint32_t id = IdOf(path);
      if (was == kGone) {
        EXPECT_EQ(id, 0u);
        bool exists = true;
        EXPECT_EQ(PathFileExists(Store(), path, exists), 0);
        EXPECT_FALSE(exists);
      } else if (was == kNew) {
        EXPECT_NE(id, 0u);
        for (const auto& [known, oldId] : before) EXPECT_NE(id, oldId);
      } else {
        EXPECT_EQ(id, before.at(was));
      }
    }
    ExpectIdle();
    Close();
  }
}

// Threads look deep below a directory that another thread keeps moving
// between two parents. A lookup either finds the object or finds nothing,
// never another one, and the references taken on the way all come back.
TEST_F(PathOpsTest, LookupsBelowADirectoryBeingMovedKeepTheirCounts) {
  Open(true);
  std::u16string below;
  for (int i = 0; i < 40; ++i) below += u"/d";
  ASSERT_EQ(PathForceCreateDirectories(Store(), u"/p1/m" + below), 0);
  ASSERT_EQ(PathCreateDirectory(Store(), u"/p2"), 0);
  const std::uint32_t deep = IdOf(u"/p1/m" + below);
  ASSERT_NE(deep, 0u);
  constexpr int kMoves = 200;
  // The id a path names now, resolved in a read-only transaction of its own.
  auto idOf = [&](const std::u16string& path) -> std::uint32_t {
    Transaction* t = nullptr;
    EXPECT_EQ(volume_->Begin(true, t), 0);
    ResolvedPath resolved;
    const EngineResult r = ResolvePath(Store(), path, false, t, resolved);
    EXPECT_TRUE(r == 0 || r == errFileNotFound) << r;
    std::uint32_t id = 0;
    if (r == 0) {
      id = resolved.Object->ObjectId();
      ReleaseChain(*resolved.Object, true);
    }
    volume_->EndReadOnly(t);
    return id;
  };
  std::atomic<bool> done{false};
  std::vector<std::thread> readers;
  std::atomic<int> found{0};
  std::atomic<int> lookups{0};
  for (int reader = 0; reader < 2; ++reader) {
    readers.emplace_back([&, reader] {
      const std::u16string first = reader == 0 ? u"/p1/m" : u"/p2/m";
      const std::u16string second = reader == 0 ? u"/p2/m" : u"/p1/m";
      while (!done.load()) {
        ++lookups;
        for (const std::u16string* parent : {&first, &second}) {
          const std::uint32_t id = idOf(*parent + below);
          if (id != 0) {
            EXPECT_EQ(id, deep);
            ++found;
          }
          StorageTime time = 0;
          const EngineResult r = PathGetFileModificationTime(Store(), *parent + below + u"/", time);
          EXPECT_TRUE(r == 0 || r == errFileNotFound) << r;
        }
      }
    });
  }
  // The moves must meet the readers at work, however the threads are
  // scheduled: they start once a reader has found the directory, and go on
  // (in pairs, ending where they began) until the readers looked often.
  const auto waitUntil = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (found.load() == 0 && std::chrono::steady_clock::now() < waitUntil)
    std::this_thread::yield();
  if (found.load() == 0) {
    done = true;
    for (std::thread& thread : readers) thread.join();
    FAIL() << "no reader got going";
  }
  const int lookupsBefore = lookups.load();
  for (int move = 0; move < kMoves || (move % 2 != 0) ||
                     (lookups.load() - lookupsBefore < 100 && move < 100 * kMoves);
       ++move) {
    const bool there = move % 2 == 0;
    const EngineResult r =
        PathMoveFile(Store(), there ? u"/p1/m" : u"/p2/m", there ? u"/p2/m" : u"/p1/m");
    EXPECT_EQ(r, 0) << move;
    if (r != 0) break;
  }
  done = true;
  for (std::thread& thread : readers) thread.join();
  EXPECT_GT(found.load(), 0);
  EXPECT_EQ(IdOf(u"/p1/m" + below), deep);
  EXPECT_EQ(IdOf(u"/p2/m" + below), 0u);
  ExpectIdle();
  EXPECT_EQ(PathRemoveDirectory(Store(), u"/p1"), errDirectoryNotEmpty);
}

TEST_F(PathOpsTest, MovesAndTheirErrors) {
  struct Case {
    const char* what;
    std::u16string from, to;
    bool replace;
    EngineResult expected;
  };
  const Case cases[] = {
      {"rename in place", u"/x", u"/renamed", false, 0},
      {"move to another directory", u"/x", u"/d/x", false, 0},
      {"move and rename", u"/x", u"/d/sub/y", false, 0},
      {"onto an existing name", u"/x", u"/y", false, errAlreadyExists},
      {"onto itself", u"/x", u"/x", true, errAlreadyExists},
      {"a missing object", u"/none", u"/z", false, errFileNotFound},
      {"into a missing directory", u"/x", u"/none/z", false, errPathNotFound},
      {"to an invalid name", u"/x", u"/d/a*b", false, errInvalidFileName},
      {"to an invalid name 2", u"/x", u"/d/a>b", false, errInvalidFileName},
      {"a directory into itself", u"/d", u"/d/d2", false, errInvalidParameter},
      {"a directory below itself", u"/d", u"/d/sub/deeper", false, errInvalidParameter},
      {"a directory onto its own member", u"/d", u"/d/sub", true, errInvalidParameter},
      {"the root", u"/", u"/d/root", false, errPathNotFound},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    files_.Remove(name_);
    Open(true);
    ASSERT_EQ(PathForceCreateDirectories(Store(), u"/d/sub"), 0);
    ASSERT_EQ(PathCreateDirectory(Store(), u"/x"), 0);
    ASSERT_EQ(PathCreateDirectory(Store(), u"/x/keep"), 0);
    ASSERT_EQ(PathCreateDirectory(Store(), u"/y"), 0);
    const std::uint32_t id = IdOf(c.from);
    EXPECT_EQ(MoveAtPath(Store(), c.from, c.to, c.replace), c.expected);
    ExpectIdle();
    if (c.expected == 0) {
      EXPECT_FALSE(Exists(c.from));
      EXPECT_EQ(IdOf(c.to), id);
      EXPECT_TRUE(Exists(c.to + u"/keep"));
    } else if (id != 0) {
      EXPECT_EQ(IdOf(c.from), id);
    }
    Reopen();
    if (c.expected == 0) {
      EXPECT_EQ(IdOf(c.to), id);
    }
    EXPECT_TRUE(Exists(u"/d/sub"));
    EXPECT_TRUE(Exists(u"/y"));
    Close();
  }
}

TEST_F(PathOpsTest, ReplacingMoveDeletesTheTargetWithItsContents) {
  Open(true);
  ASSERT_EQ(PathForceCreateDirectories(Store(), u"/y/a/b"), 0);
  ASSERT_EQ(PathSetFileTag(Store(), u"/y/a/b", 0x8001, nullptr, 0), 0);
  ASSERT_EQ(PathCreateLink(Store(), u"/y/a/link", NameOf(300, 3)), 0);
  ASSERT_EQ(PathCreateDirectory(Store(), u"/x"), 0);
  ASSERT_EQ(volume_->EnsureScanned(), 0);
  Reopen();
  volume_->AutoCompact = 0;  // the pages given back stay free, to be counted
  ASSERT_EQ(volume_->EnsureScanned(), 0);
  const std::uint32_t freeBefore = volume_->FreeCount();
  const std::uint32_t id = IdOf(u"/x");
  EXPECT_EQ(PathMoveFile(Store(), u"/x", u"/y"), errAlreadyExists);
  EXPECT_TRUE(Exists(u"/y/a/b"));
  EXPECT_EQ(PathMoveFileReplace(Store(), u"/x", u"/y"), 0);
  EXPECT_EQ(IdOf(u"/y"), id);
  EXPECT_FALSE(Exists(u"/y/a"));
  EXPECT_EQ(Names(u"/"), std::vector<std::u16string>{u"y"});
  // The replaced tree's pages came back.
  EXPECT_GT(volume_->FreeCount(), freeBefore);
  Reopen();
  EXPECT_EQ(IdOf(u"/y"), id);
  EXPECT_TRUE(Names(u"/y").empty());
  ExpectIdle();
}

TEST_F(PathOpsTest, CaseOnlyRenameOnACaseInsensitiveStorageIsRefused) {
  Open(true, {.caseSensitive = false});
  ASSERT_EQ(PathCreateDirectory(Store(), u"/Readme"), 0);
  EXPECT_EQ(PathMoveFile(Store(), u"/readme", u"/README"), errAlreadyExists);
  EXPECT_EQ(PathMoveFileReplace(Store(), u"/README", u"/readme"), errAlreadyExists);
  EXPECT_EQ(Names(u"/"), std::vector<std::u16string>{u"Readme"});
  ExpectIdle();
}

TEST_F(PathOpsTest, MovedAndRenamedObjectsKeepEveryBackLink) {
  // 7 slots per 512-byte page: the destination is filled so that moved
  // entries land in its second entry page, far from where they came from.
  Open(true);
  ASSERT_EQ(PathCreateDirectory(Store(), u"/src"), 0);
  ASSERT_EQ(PathCreateDirectory(Store(), u"/dst"), 0);
  for (int i = 0; i < 8; ++i)
    ASSERT_EQ(PathCreateDirectory(Store(), u"/dst/" + NameOf(5, static_cast<char16_t>(i))), 0);
  const std::size_t lengths[] = {23, 2100, 5000};
  for (std::size_t length : lengths) {
    for (std::uint32_t attributes : {attrDirectory, attrSymLink}) {
      SCOPED_TRACE(std::to_string(length) + (attributes == attrDirectory ? " dir" : " link"));
      const std::u16string name =
          NameOf(length, static_cast<char16_t>(length % 26 + (attributes == attrDirectory)));
      if (attributes == attrDirectory) {
        ASSERT_EQ(PathCreateDirectory(Store(), u"/src/" + name), 0);
        ASSERT_EQ(PathCreateDirectory(Store(), u"/src/" + name + u"/inner"), 0);
        // A tag as big as a record can be takes a second header page.
        const std::vector<std::uint8_t> tag(volume_->PageSize - 60, 0x77);
        ASSERT_EQ(PathSetFileTag(Store(), u"/src/" + name, 0x8000, tag.data(),
                                 static_cast<std::uint32_t>(tag.size())),
                  0);
      } else {
        ASSERT_EQ(PathCreateLink(Store(), u"/src/" + name, u"/dst"), 0);
      }
      ExpectBackLinks(u"/src", name);
      ASSERT_EQ(PathMoveFile(Store(), u"/src/" + name, u"/dst/" + name), 0);
      ExpectBackLinks(u"/dst", name);
      EXPECT_TRUE(Names(u"/src").empty());
      // Renames in place that shorten and lengthen the name chain, and one
      // that moves back while changing the length.
      std::u16string current = name;
      char16_t seed = 1;
      for (std::size_t next : {std::size_t{22}, length + 300, std::size_t{23}, length}) {
        const std::u16string renamed = NameOf(next, ++seed);
        ASSERT_EQ(PathMoveFile(Store(), u"/dst/" + current, u"/dst/" + renamed), 0);
        ExpectBackLinks(u"/dst", renamed);
        current = renamed;
      }
      const std::u16string back = NameOf(length / 2 + 1, 7);
      ASSERT_EQ(PathMoveFile(Store(), u"/dst/" + current, u"/src/" + back), 0);
      ExpectBackLinks(u"/src", back);
      Reopen();
      ExpectBackLinks(u"/src", back);
      if (attributes == attrDirectory) {
        EXPECT_TRUE(Exists(u"/src/" + back + u"/inner"));
      } else {
        EXPECT_EQ(IdOf(u"/src/" + back, true), IdOf(u"/dst"));
      }
      ASSERT_EQ(PathMoveFile(Store(), u"/src/" + back, u"/dst/" + name), 0);
      ExpectBackLinks(u"/dst", name);
      ExpectIdle();
    }
  }
}

TEST_F(PathOpsTest, AMovedDirectoryTakesItsUsersAlong) {
  Open(true);
  ASSERT_EQ(PathForceCreateDirectories(Store(), u"/p1/a/sub"), 0);
  ASSERT_EQ(PathForceCreateDirectories(Store(), u"/p2/q"), 0);
  // A registration keeps /p1/a/sub and its ancestors referenced.
  NotificationHandle watch = nullptr;
  ASSERT_EQ(PathRegisterNotification(Store(), u"/p1/a/sub", false, ~0u, nullptr, nullptr, watch),
            0);
  FileObject* p1 = store_->Find(IdOf(u"/p1"));
  FileObject* q = store_->Find(IdOf(u"/p2/q"));
  FileObject* sub = store_->Find(IdOf(u"/p1/a/sub"));
  ASSERT_TRUE(p1 && q && sub);
  EXPECT_EQ(p1->References.load(), 1);
  EXPECT_EQ(PathDeleteFile(Store(), u"/p1/a/sub"), errSharingViolation);

  ASSERT_EQ(PathMoveFile(Store(), u"/p1/a", u"/p2/q/a"), 0);
  EXPECT_EQ(p1->References.load(), 0);
  EXPECT_EQ(q->References.load(), 1);
  EXPECT_EQ(q->Parent->References.load(), 1);
  EXPECT_EQ(sub->Depth, 5u);  // root, p2, q, a, sub
  EXPECT_EQ(PathDeleteFile(Store(), u"/p1"), 0);
  EXPECT_EQ(PathDeleteFile(Store(), u"/p2/q/a/sub"), errSharingViolation);

  EXPECT_EQ(PathUnregisterNotification(watch), 0);
  ExpectIdle();
  EXPECT_EQ(PathDeleteFile(Store(), u"/p2/q/a/sub"), 0);
  ExpectIdle();
}

TEST_F(PathOpsTest, AttributesChangeOnlyInTheCallersBits) {
  Open(true);
  ASSERT_EQ(PathCreateDirectory(Store(), u"/d"), 0);
  EXPECT_EQ(Attributes(u""), attrDirectory);
  struct Case {
    std::uint32_t value;
    EngineResult expected;
  };
  const Case cases[] = {
      {attrDirectory | attrHidden | attrArchive, 0},
      {attrDirectory | attrReadOnly | attrSystem, 0},
      {attrDirectory | 0x0400 | 0x0800, 0},
      {attrDirectory, 0},
      {attrFile, errInvalidParameter},  // drops attrDirectory, adds attrFile
      {0, errInvalidParameter},         // drops attrDirectory
      {attrDirectory | attrEncrypted, errInvalidParameter},
      {attrDirectory | attrSymLink, errInvalidParameter},
      {attrDirectory | 0x1000, errInvalidParameter},
      {attrDirectory | 0x8000, errInvalidParameter},
  };
  std::uint32_t expected = attrDirectory;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(PathSetFileAttributes(Store(), u"/d", c.value), c.expected);
    if (c.expected == 0) expected = c.value;
    EXPECT_EQ(Attributes(u"/d"), expected);
  }
  ASSERT_EQ(PathSetFileAttributes(Store(), u"/d", attrDirectory | attrHidden), 0);
  EXPECT_EQ(PathSetFileAttributes(Store(), u"/missing", attrHidden), errFileNotFound);
  Reopen();
  EXPECT_EQ(Attributes(u"/d"), attrDirectory | attrHidden);
  ExpectIdle();
}

TEST_F(PathOpsTest, TimesAreSetOneByOneOrTogether) {
  Open(true);
  ASSERT_EQ(PathCreateDirectory(Store(), u"/d"), 0);
  StorageTime created = 0, modified = 0, accessed = 0;
  ASSERT_EQ(PathGetFileTimes(Store(), u"/d", created, modified, accessed), 0);
  EXPECT_GT(created, 40000.0);  // the creation stamped "now"
  ASSERT_EQ(PathSetFileCreationTime(Store(), u"/d", 1000.25), 0);
  ASSERT_EQ(PathSetFileModificationTime(Store(), u"/d", 2000.5), 0);
  ASSERT_EQ(PathSetFileLastAccessTime(Store(), u"/d", 3000.75), 0);
  StorageTime one = 0;
  ASSERT_EQ(PathGetFileCreationTime(Store(), u"/d", one), 0);
  EXPECT_EQ(one, 1000.25);
  ASSERT_EQ(PathGetFileModificationTime(Store(), u"/d", one), 0);
  EXPECT_EQ(one, 2000.5);
  ASSERT_EQ(PathGetFileLastAccessTime(Store(), u"/d", one), 0);
  EXPECT_EQ(one, 3000.75);
  ASSERT_EQ(PathSetFileTimes(Store(), u"/", 1.0, 2.0, 3.0), 0);
  Reopen();
  ASSERT_EQ(PathGetFileTimes(Store(), u"/d", created, modified, accessed), 0);
  EXPECT_EQ(created, 1000.25);
  EXPECT_EQ(modified, 2000.5);
  EXPECT_EQ(accessed, 3000.75);
  ASSERT_EQ(PathGetFileTimes(Store(), u"", created, modified, accessed), 0);
  EXPECT_EQ(created + modified + accessed, 6.0);
  EXPECT_EQ(PathSetFileTimes(Store(), u"/missing", 1, 2, 3), errFileNotFound);
  ExpectIdle();
}

TEST_F(PathOpsTest, TagsAreCheckedStoredAndRemoved) {
  Open(true);
  ASSERT_EQ(PathCreateDirectory(Store(), u"/d"), 0);
  ASSERT_EQ(PathCreateLink(Store(), u"/l", u"/d"), 0);
  const std::uint32_t page = volume_->PageSize;
  std::vector<std::uint8_t> data(page, 0);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 + 1);
  struct Case {
    std::uint16_t id;
    std::uint32_t size;
    EngineResult expected;
  };
  const Case cases[] = {
      {0x7FFF, 4, errInvalidParameter},
      {0xD000, 4, errInvalidParameter},
      {0x8000, 0, 0},
      {0xCFFF, 4, 0},
      {0x8001, page - 60, 0},
      {0x8002, page - 59, errInvalidParameter},
      {0x8003, page - 48, errInvalidParameter},  // passes the tag check, too big for a record
      {0x8004, page - 47, errInvalidParameter},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    EXPECT_EQ(PathSetFileTag(Store(), u"/d", c.id, data.data(), c.size), c.expected);
  }
  // Tags go through links to their target.
  ASSERT_EQ(PathSetFileTag(Store(), u"/l", 0x8005, data.data(), 10), 0);
  ASSERT_EQ(PathSetFileTag(Store(), u"/d", 0x8005, data.data() + 1, 12), 0);  // replaces
  Reopen();
  bool present = false;
  std::uint32_t size = 0;
  ASSERT_EQ(PathGetFileTagSize(Store(), u"/l", 0x8005, present, size), 0);
  EXPECT_TRUE(present);
  EXPECT_EQ(size, 12u);
  ASSERT_EQ(PathGetFileTagSize(Store(), u"/d", 0x8009, present, size), 0);
  EXPECT_FALSE(present);
  EXPECT_EQ(PathGetFileTagSize(Store(), u"/d", 0x7000, present, size), errInvalidParameter);

  std::vector<std::uint8_t> out(page);
  size = page - 61;
  EXPECT_EQ(PathGetFileTag(Store(), u"/d", 0x8001, out.data(), size), errBufferTooSmall);
  EXPECT_EQ(size, page - 60);
  ASSERT_EQ(PathGetFileTag(Store(), u"/d", 0x8001, out.data(), size), 0);
  EXPECT_TRUE(std::equal(data.begin(), data.begin() + (page - 60), out.begin()));
  size = 0;
  ASSERT_EQ(PathGetFileTag(Store(), u"/d", 0x8000, nullptr, size), 0);
  EXPECT_EQ(size, 0u);
  size = 100;
  EXPECT_EQ(PathGetFileTag(Store(), u"/d", 0x8009, out.data(), size), errTagNotFound);

  EXPECT_EQ(PathDeleteFileTag(Store(), u"/d", 0xCFFF), 0);
  EXPECT_EQ(PathDeleteFileTag(Store(), u"/d", 0xCFFF), errTagNotFound);
  EXPECT_EQ(PathDeleteFileTag(Store(), u"/d", 0xD000), errInvalidParameter);
  Reopen(true);
  EXPECT_EQ(PathSetFileTag(Store(), u"/d", 0x8000, data.data(), 1), errStorageReadOnly);
  EXPECT_EQ(PathDeleteFileTag(Store(), u"/d", 0x8000), errStorageReadOnly);
  size = 12;
  ASSERT_EQ(PathGetFileTag(Store(), u"/d", 0x8005, out.data(), size), 0);
  EXPECT_TRUE(std::equal(data.begin() + 1, data.begin() + 13, out.begin()));
  ASSERT_EQ(PathGetFileTagSize(Store(), u"/d", 0xCFFF, present, size), 0);
  EXPECT_FALSE(present);
  ExpectIdle();
}

TEST_F(PathOpsTest, AReadOnlyStorageRefusesEveryChange) {
  Open(true);
  ASSERT_EQ(PathCreateDirectory(Store(), u"/d"), 0);
  Reopen(true);
  EXPECT_EQ(PathCreateDirectory(Store(), u"/e"), errStorageReadOnly);
  EXPECT_EQ(PathDeleteFile(Store(), u"/d"), errStorageReadOnly);
  EXPECT_EQ(PathMoveFile(Store(), u"/d", u"/e"), errStorageReadOnly);
  EXPECT_EQ(PathSetFileTimes(Store(), u"/d", 1, 2, 3), errStorageReadOnly);
  EXPECT_EQ(PathCreateLink(Store(), u"/l", u"/d"), errStorageReadOnly);
  EXPECT_EQ(Attributes(u"/d"), attrDirectory);
  ExpectIdle();
}

TEST_F(PathOpsTest, NothingWorksOnAClosedVolume) {
  Open(true);
  ASSERT_EQ(volume_->Close(), 0);
  std::uint32_t attributes = 0;
  bool exists = true;
  EXPECT_EQ(PathGetFileAttributes(Store(), u"/", attributes), errStorageNotActive);
  EXPECT_EQ(PathFileExists(Store(), u"/x", exists), errStorageNotActive);
  EXPECT_EQ(PathCreateDirectory(Store(), u"/x"), errStorageNotActive);
  EXPECT_EQ(PathDeleteFile(Store(), u"/x"), errStorageNotActive);
  EXPECT_EQ(PathMoveFile(Store(), u"/x", u"/y"), errStorageNotActive);
  EXPECT_EQ(PathSetFileTag(Store(), u"/x", 0x8000, nullptr, 0), errStorageNotActive);
  store_.reset();
  volume_.reset();
}

// ---------------------------------------------------------------- files

std::vector<std::uint8_t> Bytes(std::string_view text) {
  return {text.begin(), text.end()};
}

TEST_F(PathOpsTest, FilesAreCreatedAndOpenedByPath) {
  Open(true);
  ASSERT_EQ(PathCreateDirectory(Store(), u"/d"), 0);
  WriteFile(u"/d/f", "hello");
  EXPECT_EQ(Attributes(u"/d/f"), attrFile);
  ASSERT_EQ(PathCreateLink(Store(), u"/l", u"/d/f"), 0);
  ASSERT_EQ(PathCreateLink(Store(), u"/dangling", u"/d/none"), 0);
  EXPECT_EQ(ReadFile(u"/l"), "hello");  // a link opens its target
  ExpectIdle();

  struct Case {
    const char* what;
    std::u16string path;
    bool openExisting, truncate;
    EngineResult expected;
  };
  const Case creates[] = {
      {"an existing file", u"/d/f", false, false, errAlreadyExists},
      {"an existing directory", u"/d", true, false, errAlreadyExists},
      {"below a missing directory", u"/none/f", true, false, errPathNotFound},
      {"an invalid name", u"/d/f?", true, false, errInvalidFileName},
      {"the existing file again", u"/d/f", true, false, 0},
  };
  for (const Case& c : creates) {
    SCOPED_TRACE(c.what);
    FileHandle* handle = nullptr;
    EXPECT_EQ(PathCreateFile(Store(), c.path, true, true, false, false, 0, {}, handle,
                             c.openExisting, c.truncate),
              c.expected);
    if (handle) {
      EXPECT_EQ(ReadFile(handle), "hello");
      EXPECT_EQ(CloseHandle(handle, true), 0);
    }
    ExpectIdle();
  }
  FileHandle* handle = nullptr;
  EXPECT_EQ(PathOpenFile(Store(), u"/d/none", true, false, false, false, {}, handle),
            errFileNotFound);
  EXPECT_EQ(PathOpenFile(Store(), u"/dangling", true, false, false, false, {}, handle),
            errLinkTargetNotFound);
  EXPECT_EQ(handle, nullptr);
  ExpectIdle();
  // Truncation on opening.
  ASSERT_EQ(PathCreateFile(Store(), u"/d/f", true, true, false, false, 0, {}, handle, true, true),
            0);
  EXPECT_EQ(ReadFile(handle), "");
  EXPECT_EQ(CloseHandle(handle, true), 0);
  Reopen();
  EXPECT_EQ(ReadFile(u"/d/f"), "");
  ExpectIdle();
}

TEST_F(PathOpsTest, EncryptedAndCompressedFilesGetTheirSettingsAtCreation) {
  Open(true);
  const std::vector<std::uint8_t> password = Bytes("file password");
  WriteFile(u"/secret", "classified", ecAES256_HMAC256, password);
  EXPECT_EQ(Attributes(u"/secret"), attrFile | attrEncrypted);
  std::uint32_t mode = 0;
  ASSERT_EQ(PathGetFileEncryption(Store(), u"/secret", mode), 0);
  EXPECT_EQ(mode, ecAES256_HMAC256);
  bool valid = false;
  ASSERT_EQ(PathCheckFilePassword(Store(), u"/secret", ecAES256_HMAC256, false, password, valid),
            0);
  EXPECT_TRUE(valid);
  ASSERT_EQ(PathCheckFilePassword(Store(), u"/secret", ecAES256_SHA256, false, password, valid), 0);
  EXPECT_FALSE(valid);  // another mode was asked for
  ASSERT_EQ(PathCheckFilePassword(Store(), u"/secret", 0, true, Bytes("wrong"), valid), 0);
  EXPECT_FALSE(valid);
  FileHandle* handle = nullptr;
  EXPECT_EQ(PathOpenFile(Store(), u"/secret", true, false, false, false, Bytes("wrong"), handle),
            errInvalidPassword);
  ExpectIdle();
  EXPECT_EQ(ReadFile(u"/secret", password), "classified");

  ASSERT_EQ(PathCreateFileCompressed(Store(), u"/packed", true, true, false, false, 0, {}, crZLib,
                                     9, 4, handle, false, false),
            0);
  const std::string text(5000, 'z');
  std::uint32_t done = 0;
  ASSERT_EQ(WriteData(handle, reinterpret_cast<const std::uint8_t*>(text.data()),
                      static_cast<std::uint32_t>(text.size()), done),
            0);
  ASSERT_EQ(CloseHandle(handle, true), 0);
  EXPECT_EQ(Attributes(u"/packed"), attrFile | attrCompressed);
  std::uint32_t level = 0, blockPages = 0;
  ASSERT_EQ(PathGetFileCompression(Store(), u"/packed", mode, level, blockPages), 0);
  EXPECT_EQ(mode, crZLib);
  EXPECT_EQ(level, 9u);
  EXPECT_EQ(blockPages, 4u);
  Reopen();
  EXPECT_EQ(ReadFile(u"/packed"), text);
  EXPECT_EQ(ReadFile(u"/secret", password), "classified");
  ExpectIdle();
}

TEST_F(PathOpsTest, FilesNobodyHoldsLeaveMemoryAndComeBackWhole) {
  // Memory follows what is in use: a thousand files written, read and
  // looked at leave only the directories behind, while an open handle and a
  // supplied password keep their objects. Each file comes back from its
  // pages with its name, data, attributes and key.
  auto PathOf = [](int i) {
    const std::string path = "/d/f" + std::to_string(i);
    return std::u16string(path.begin(), path.end());
  };
  Open(true);
  ASSERT_EQ(PathCreateDirectory(Store(), u"/d"), 0);
  const std::vector<std::uint8_t> password = Bytes("file password");
  const std::size_t before = store_->ObjectCount();
  for (int i = 0; i < 1000; ++i) {
    const std::u16string path = PathOf(i);
    WriteFile(
        path, "text " + std::to_string(i), i % 3 == 0 ? ecAES256_HMAC256 : 0,
        i % 3 == 0 ? std::span<const std::uint8_t>(password) : std::span<const std::uint8_t>());
    EXPECT_EQ(Attributes(path), attrFile | (i % 3 == 0 ? attrEncrypted : 0));
  }
  EXPECT_EQ(store_->ObjectCount(), before);
  FileHandle* open = nullptr;
  ASSERT_EQ(PathOpenFile(Store(), PathOf(7), true, false, false, false, {}, open), 0);
  ResolvedPath secret;
  ASSERT_EQ(ResolvePath(Store(), PathOf(9), false, nullptr, secret), 0);
  EXPECT_EQ(SupplyPassword(*secret.Object, password), 0);
  const std::uint32_t secretId = secret.Object->ObjectId();
  ReleaseChain(*secret.Object, true);
  EXPECT_EQ(store_->ObjectCount(), before + 2);
  ASSERT_NE(store_->Find(secretId), nullptr);
  // The supplied password still opens the file without one.
  FileHandle* handle = nullptr;
  ASSERT_EQ(PathOpenFile(Store(), PathOf(9), true, false, false, false, {}, handle), 0);
  EXPECT_EQ(ReadFile(handle), "text 9");
  EXPECT_EQ(CloseHandle(handle, true), 0);
  EXPECT_EQ(ReadFile(open), "text 7");
  EXPECT_EQ(CloseHandle(open, true), 0);
  for (int i = 0; i < 1000; i += 37)
    EXPECT_EQ(ReadFile(PathOf(i), i % 3 == 0 ? std::span<const std::uint8_t>(password)
                                             : std::span<const std::uint8_t>()),
              "text " + std::to_string(i));
  EXPECT_EQ(Names(u"/d").size(), 1000u);
  EXPECT_EQ(store_->ObjectCount(), before);
  ExpectIdle();
}

TEST_F(PathOpsTest, AnOpenFileKeepsItsChainAndMovesWithIt) {
  Open(true);
  ASSERT_EQ(PathForceCreateDirectories(Store(), u"/a/b"), 0);
  ASSERT_EQ(PathCreateDirectory(Store(), u"/other"), 0);
  WriteFile(u"/a/b/f", "content");
  FileHandle* handle = nullptr;
  ASSERT_EQ(PathOpenFile(Store(), u"/a/b/f", true, true, false, false, {}, handle), 0);
  EXPECT_EQ(PathDeleteFile(Store(), u"/a/b/f"), errSharingViolation);
  EXPECT_EQ(PathRemoveDirectory(Store(), u"/other"), 0);
  ASSERT_EQ(PathCreateDirectory(Store(), u"/other"), 0);
  // Renamed and moved while open; the handle goes on working.
  ASSERT_EQ(PathMoveFile(Store(), u"/a/b/f", u"/a/b/g"), 0);
  ASSERT_EQ(PathMoveFile(Store(), u"/a/b/g", u"/other/h"), 0);
  std::uint32_t done = 0;
  const std::string more = " and more";
  ASSERT_EQ(WriteData(handle, reinterpret_cast<const std::uint8_t*>(more.data()),
                      static_cast<std::uint32_t>(more.size()), done),
            0);
  EXPECT_EQ(PathDeleteFile(Store(), u"/a/b"), 0);  // no longer on the file's way
  EXPECT_EQ(PathRemoveDirectory(Store(), u"/other"), errDirectoryNotEmpty);
  EXPECT_EQ(CloseHandle(handle, true), 0);
  ExpectIdle();
  Reopen();
  EXPECT_EQ(ReadFile(u"/other/h"), " and more");  // written at position 0 of the open handle
  ExpectIdle();
}

TEST_F(PathOpsTest, AReadOnlyFileCanBeRenamedMovedAndDeletedButNotWritten) {
  Open(true);
  WriteFile(u"/f", "x");
  ASSERT_EQ(PathSetFileAttributes(Store(), u"/f", attrFile | attrReadOnly), 0);
  FileHandle* handle = nullptr;
  EXPECT_EQ(PathOpenFile(Store(), u"/f", true, true, false, false, {}, handle), errAccessDenied);
  ExpectIdle();
  ASSERT_EQ(PathCreateDirectory(Store(), u"/d"), 0);
  EXPECT_EQ(PathMoveFile(Store(), u"/f", u"/g"), 0);
  EXPECT_EQ(PathMoveFile(Store(), u"/g", u"/d/g"), 0);
  EXPECT_EQ(ReadFile(u"/d/g"), "x");
  EXPECT_EQ(PathDeleteFile(Store(), u"/d/g"), 0);
  ExpectIdle();
}

TEST_F(PathOpsTest, ADirectoryWithAnOpenHandleStillTakesNewMembers) {
  // The root's own data stream is open: the root has a private transaction
  // that holds only itself. Changing the root's members commits it and
  // begins it again for the handle.
  Open(true);
  FileHandle* root = nullptr;
  ASSERT_EQ(PathOpenRootFile(Store(), root), 0);
  FileHandle* again = nullptr;
  EXPECT_EQ(PathOpenRootFile(Store(), again), errSharingViolation);
  const std::string first = "root data";
  std::uint32_t done = 0;
  ASSERT_EQ(WriteData(root, reinterpret_cast<const std::uint8_t*>(first.data()),
                      static_cast<std::uint32_t>(first.size()), done),
            0);
  ASSERT_EQ(PathCreateDirectory(Store(), u"/x"), 0);
  EXPECT_NE(Root().PrivateTransaction, nullptr);
  ASSERT_EQ(PathMoveFile(Store(), u"/x", u"/y"), 0);
  ASSERT_EQ(PathDeleteFile(Store(), u"/y"), 0);
  ASSERT_EQ(PathSetFileTimes(Store(), u"/", 1, 2, 3), 0);
  ASSERT_EQ(PathCreateDirectory(Store(), u"/z"), 0);
  EXPECT_NE(Root().PrivateTransaction, nullptr);
  ASSERT_EQ(WriteData(root, reinterpret_cast<const std::uint8_t*>(first.data()),
                      static_cast<std::uint32_t>(first.size()), done),
            0);
  ASSERT_EQ(CloseHandle(root, true), 0);
  ExpectIdle();
  Reopen();
  ASSERT_EQ(PathOpenRootFile(Store(), root), 0);
  EXPECT_EQ(ReadFile(root), first + first);
  ASSERT_EQ(CloseHandle(root, true), 0);
  EXPECT_EQ(Names(u"/"), std::vector<std::u16string>{u"z"});
  ExpectIdle();
}

// ---------------------------------------------------------------- notifications

struct Recorded {
  std::uint32_t flags;
  std::u16string path, newPath;
  std::vector<std::uint32_t> ids;
};

struct Recorder {
  std::vector<Recorded> events;
  static void Callback(void* userData, const ChangeEvent& event,
                       const NotificationRegistration& registration) {
    auto* self = static_cast<Recorder*>(userData);
    (void)registration;
    self->events.push_back({event.Flags, event.Path, event.NewPath, event.ObjectIds});
  }
};

TEST_F(PathOpsTest, DataWrittenThroughAHandleRaisesOneDataEventAtCloseOrFlush) {
  Open(true);
  Recorder recorder;
  NotificationHandle watch = nullptr;
  ASSERT_EQ(PathRegisterNotification(Store(), u"", true, cnDataChanged, &recorder,
                                     &Recorder::Callback, watch),
            0);
  FileHandle* handle = nullptr;
  ASSERT_EQ(
      PathCreateFile(Store(), u"/data.bin", true, true, false, false, 0, {}, handle, false, false),
      0);
  const std::uint8_t bytes[100] = {1, 2, 3};
  std::uint32_t done = 0;
  ASSERT_EQ(WriteData(handle, bytes, sizeof bytes, done), 0);
  ASSERT_EQ(FlushHandle(handle, 0), 0);
  ASSERT_EQ(recorder.events.size(), 1u);
  EXPECT_EQ(recorder.events[0].path, u"/data.bin");
  ASSERT_EQ(FlushHandle(handle, 0), 0);  // nothing changed since
  ASSERT_EQ(WriteData(handle, bytes, sizeof bytes, done), 0);
  ASSERT_EQ(CloseHandle(handle, true), 0);
  ASSERT_EQ(recorder.events.size(), 2u);
  EXPECT_EQ(recorder.events[1].flags, cnDataChanged);
  EXPECT_EQ(PathUnregisterNotification(watch), 0);
}

TEST_F(PathOpsTest, ChangeNotificationsFollowSuccessfulOperationsOnly) {
  Open(true);
  ASSERT_EQ(PathForceCreateDirectories(Store(), u"/d/e"), 0);
  Recorder subtree, own, filtered;
  NotificationHandle onRoot = nullptr, onD = nullptr, onE = nullptr;
  ASSERT_EQ(
      PathRegisterNotification(Store(), u"", true, ~0u, &subtree, &Recorder::Callback, onRoot), 0);
  ASSERT_EQ(PathRegisterNotification(Store(), u"/d", false, ~0u, &own, &Recorder::Callback, onD),
            0);
  ASSERT_EQ(PathRegisterNotification(Store(), u"/d/e", true, cnNameChanged, &filtered,
                                     &Recorder::Callback, onE),
            0);
  const std::uint32_t root = 1, d = IdOf(u"/d"), e = IdOf(u"/d/e");

  ASSERT_EQ(PathCreateDirectory(Store(), u"/d/e/f"), 0);
  const std::uint32_t f = IdOf(u"/d/e/f");
  EXPECT_EQ(PathCreateDirectory(Store(), u"/d/e/f"), errAlreadyExists);  // no event
  ASSERT_EQ(PathMoveFile(Store(), u"/d/e/f", u"/d/e/g"), 0);
  ASSERT_EQ(PathMoveFile(Store(), u"/d/e/g", u"/d/g"), 0);
  ASSERT_EQ(PathSetFileAttributes(Store(), u"/d", attrDirectory | attrHidden), 0);
  ASSERT_EQ(PathSetFileTimes(Store(), u"/d/g", 1, 2, 3), 0);
  EXPECT_EQ(PathDeleteFile(Store(), u"/d"), errDirectoryNotEmpty);  // failed: no event
  ASSERT_EQ(PathDeleteFile(Store(), u"/d/g"), 0);

  using Ids = std::vector<std::uint32_t>;
  ASSERT_EQ(subtree.events.size(), 7u);
  EXPECT_EQ(subtree.events[0].flags, cnCreated);
  EXPECT_EQ(subtree.events[0].path, u"/d/e/f");
  EXPECT_EQ(subtree.events[0].ids, (Ids{f, e, d, root}));
  EXPECT_EQ(subtree.events[1].flags, cnNameChanged);
  EXPECT_EQ(subtree.events[1].path, u"/d/e/f");
  EXPECT_EQ(subtree.events[1].newPath, u"/d/e/g");
  EXPECT_EQ(subtree.events[2].flags, cnDeleted);
  EXPECT_EQ(subtree.events[2].path, u"/d/e/g");
  EXPECT_EQ(subtree.events[2].ids, (Ids{f, e, d, root}));
  EXPECT_EQ(subtree.events[3].flags, cnCreated);
  EXPECT_EQ(subtree.events[3].path, u"/d/g");
  EXPECT_EQ(subtree.events[3].ids, (Ids{f, d, root}));
  EXPECT_EQ(subtree.events[4].flags, cnAttributesChanged);
  EXPECT_EQ(subtree.events[5].flags, cnTimesChanged);
  EXPECT_EQ(subtree.events[6].flags, cnDeleted);
  // Without watching the subtree only the object's own changes arrive.
  ASSERT_EQ(own.events.size(), 1u);
  EXPECT_EQ(own.events[0].flags, cnAttributesChanged);
  // The filter picks the kinds of change.
  ASSERT_EQ(filtered.events.size(), 1u);
  EXPECT_EQ(filtered.events[0].flags, cnNameChanged);

  // An operation whose commit fails raised its event for nothing. A new
  // object's id is written at once; the next write is the commit's. (Free
  // pages first, so that nothing has to grow the container.)
  volume_->AutoCompact = 0;  // they stay free
  for (const char16_t* name : {u"/1", u"/2", u"/3", u"/4"}) {
    ASSERT_EQ(PathCreateDirectory(Store(), name), 0);
    ASSERT_EQ(PathRemoveDirectory(Store(), name), 0);
  }
  subtree.events.resize(7);
  files_.FailWrite(files_.WriteCount() + 2, EIO);
  EXPECT_EQ(PathCreateDirectory(Store(), u"/d/lost"), EIO);
  EXPECT_EQ(subtree.events.size(), 7u);
  EXPECT_FALSE(Exists(u"/d/lost"));

  EXPECT_EQ(PathUnregisterNotification(onRoot), 0);
  EXPECT_EQ(PathUnregisterNotification(onD), 0);
  ASSERT_EQ(PathCreateDirectory(Store(), u"/d/h"), 0);
  EXPECT_EQ(subtree.events.size(), 7u);
  // What is left goes with the volume.
  UnregisterAllNotifications(Store());
  ASSERT_EQ(PathMoveFile(Store(), u"/d/e", u"/d/e2"), 0);
  EXPECT_EQ(filtered.events.size(), 1u);
  ExpectIdle();
}

TEST_F(PathOpsTest, ACallbackCannotChangeTheRegistrations) {
  Open(true);
  struct Probe {
    ObjectStore* store;
    NotificationHandle self;
    EngineResult registered = 1, unregistered = 1;
  } probe{&Store(), nullptr};
  auto callback = [](void* userData, const ChangeEvent&, const NotificationRegistration&) {
    auto* p = static_cast<Probe*>(userData);
    NotificationHandle extra = nullptr;
    p->registered = PathRegisterNotification(*p->store, u"/", false, ~0u, nullptr, nullptr, extra);
    p->unregistered = PathUnregisterNotification(p->self);
  };
  ASSERT_EQ(PathRegisterNotification(Store(), u"/", true, ~0u, &probe, callback, probe.self), 0);
  ASSERT_EQ(PathCreateDirectory(Store(), u"/x"), 0);
  EXPECT_EQ(probe.registered, errInvalidParameter);
  EXPECT_EQ(probe.unregistered, errInvalidParameter);
  EXPECT_EQ(PathUnregisterNotification(probe.self), 0);
  ExpectIdle();
}

}  // namespace
}  // namespace vaultfs
