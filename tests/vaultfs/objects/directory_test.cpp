// Object records, directory entries, long names and directory membership.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "vaultfs/objects/file_object.h"
#include "vaultfs/objects/records.h"
#include "support/sample_data.h"
#include "support/volume_fixture.h"

namespace vaultfs {
namespace {

using testing::NameOf;
using namespace layout;

class ObjectsTest : public testing::MemoryVolumeTest {
 protected:
  ObjectsTest() : MemoryVolumeTest(u"c.vfs") {}

  void Open(bool create, std::uint32_t pageSize = 512, bool caseSensitive = true) {
    OpenVolume(create, {.pageSize = pageSize, .caseSensitive = caseSensitive});
  }
  // Closes and checks every link between the pages of the closed container.
  void Close() {
    ASSERT_NO_FATAL_FAILURE(CloseVolume());
    testing::ExpectSoundStructure(files_, name_);
  }

  // Creates `name` in `directory` in a transaction of its own.
  FileObject* Make(FileObject& directory, std::u16string_view name, std::uint32_t attributes) {
    Transaction* t = nullptr;
    EXPECT_EQ(volume_->Begin(false, t), 0);
    EXPECT_EQ(volume_->JoinObject(t, &directory), 0);
    FileObject* child = nullptr;
    bool created = false;
    EngineResult r =
        CreateChild(directory, name, attributes, nullptr, false, true, t, child, created);
    EXPECT_EQ(r, 0);
    if (r != 0) {
      EXPECT_EQ(volume_->Rollback(t), 0);
      return nullptr;
    }
    child->Release();
    EXPECT_EQ(volume_->Commit(t), 0);
    return child;
  }

  std::vector<std::u16string> Names(FileObject& directory) {
    EXPECT_EQ(LoadEntries(directory, nullptr), 0);
    std::vector<std::u16string> names;
    for (const auto& e : directory.ChildList) names.push_back(e->Name);
    return names;
  }

};

TEST_F(ObjectsTest, NamesOfEveryLengthSurviveReopenInNameOrder) {
  Open(true);
  const std::vector<std::size_t> lengths = {1, 21, 22, 23, 240, 262, 263, 2100, 5000};
  std::vector<std::u16string> names;
  for (std::size_t i = 0; i < lengths.size(); ++i) {
    names.push_back(NameOf(lengths[i], static_cast<char16_t>(i)));
    ASSERT_NE(Make(Root(), names.back(), attrFile), nullptr);
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(Names(Root()), names);
  Close();
  Open(false);
  EXPECT_EQ(Names(Root()), names);
  for (const auto& n : names) {
    EntryRef e;
    ASSERT_EQ(LookupName(Root(), n, nullptr, e), 0);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->Name, n);
  }
  Close();
}

TEST_F(ObjectsTest, SlotsFillPagesAndFreedSlotsAreReusedInOrder) {
  Open(true);
  const std::uint32_t perPage = SlotsPerPage(*volume_);
  ASSERT_EQ(perPage, 7u);
  FileObject* dir = Make(Root(), u"d", attrDirectory);
  for (std::uint32_t i = 0; i < perPage; ++i)
    Make(*dir, NameOf(3, static_cast<char16_t>(i)), attrFile);
  EXPECT_EQ(dir->EntryPageList.size(), 1u);
  EXPECT_TRUE(dir->FreeSlotList.empty());
  // Delete the objects in slots 3 and 1: the next two creations reuse 3, then 1.
  auto deleteSlot = [&](std::uint32_t slot) {
    for (const auto& e : dir->ChildList.ToVector()) {
      if (e->Slot != slot) continue;
      Transaction* t = nullptr;
      ASSERT_EQ(volume_->Begin(false, t), 0);
      ASSERT_EQ(volume_->JoinObject(t, dir), 0);
      FileObject* child = nullptr;
      ASSERT_EQ(OpenChild(*dir, e->Name, errFileNotFound, t, child), 0);
      ASSERT_EQ(volume_->JoinObject(t, child), 0);
      ASSERT_EQ(DeleteObject(*child, t), 0);
      child->Release();
      ASSERT_EQ(volume_->Commit(t), 0);
      return;
    }
    FAIL() << "no entry in slot " << slot;
  };
  deleteSlot(3);
  deleteSlot(1);
  EXPECT_EQ(Make(*dir, u"first-new", attrFile)->Entry->Slot, 3u);
  EXPECT_EQ(Make(*dir, u"second-new", attrFile)->Entry->Slot, 1u);
  // The directory is full again: the next entry starts a second slot page.
  EXPECT_EQ(Make(*dir, u"eighth", attrFile)->Entry->Slot, perPage);
  ASSERT_EQ(dir->EntryPageList.size(), 2u);
  {
    PageRef second;
    ASSERT_EQ(volume_->GetPage(dir->EntryPageList[1], true, DirectoryEntryPage, dir->ObjectId(),
                               nullptr, second),
              0);
    EXPECT_EQ(LoadU32(second.data() + kChainIndex), 1u);
    EXPECT_EQ(LoadU32(second.data() + kPrevPage), dir->EntryPageList[0]);
  }
  Close();
}

TEST_F(ObjectsTest, ShorteningA23UnitNameFreesItsContinuationPage) {
  Open(true);
  volume_->AutoCompact = 0;  // the freed page stays free, to be counted
  FileObject* file = Make(Root(), NameOf(23, 0), attrFile);
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(volume_->EnsureScanned(), 0);
  const std::uint32_t freeBefore = volume_->FreeCount();
  DirectoryEntry entry;
  std::uint32_t entryPage = 0;
  ASSERT_EQ(ReadEntry(Root(), file->Entry->Slot, nullptr, entry, entryPage), 0);
  ASSERT_NE(entry.NameNextPage, 0u);
  {
    PageRef name;
    ASSERT_EQ(volume_->GetPage(entry.NameNextPage, true, NameContinuationPage, file->ObjectId(),
                               nullptr, name),
              0);
    EXPECT_EQ(LoadU32(name.data() + kPrevPage), entryPage);
    EXPECT_EQ(LoadU16(name.data() + kPageHeaderSize), NameOf(23, 0)[22]);
  }
  Transaction* t = nullptr;
  ASSERT_EQ(volume_->Begin(false, t), 0);
  ASSERT_EQ(volume_->JoinObject(t, &Root()), 0);
  ASSERT_EQ(volume_->JoinObject(t, file), 0);
  ASSERT_EQ(SetName(*file, NameOf(22, 0), false, true, t), 0);
  ASSERT_EQ(volume_->Commit(t), 0);
  ASSERT_EQ(ReadEntry(Root(), file->Entry->Slot, nullptr, entry, entryPage), 0);
  EXPECT_EQ(entry.NameNextPage, 0u);
  EXPECT_EQ(entry.NameLength, 22u);
  EXPECT_EQ(volume_->FreeCount(), freeBefore + 1);
  Close();
}

TEST_F(ObjectsTest, CaseInsensitiveNamesCollideAndSensitiveOnesSortByCodeUnit) {
  struct Case {
    bool caseSensitive;
    std::u16string first, second;
    bool collide;
  };
  const Case cases[] = {
      {false, u"Readme.TXT", u"README.txt", true},
      {false, u"\u00E4", u"\u00C4", true},
      {false, u"\u0436\u0416", u"\u0416\u0436", true},
      {true, u"Readme.TXT", u"README.txt", false},
      {true, u"\u00E4", u"\u00C4", false},
  };
  for (const Case& c : cases) {
    files_.Remove(name_);
    Open(true, 512, c.caseSensitive);
    ASSERT_NE(Make(Root(), c.first, attrFile), nullptr);
    Transaction* t = nullptr;
    ASSERT_EQ(volume_->Begin(false, t), 0);
    FileObject* child = nullptr;
    bool created = false;
    const EngineResult r =
        CreateChild(Root(), c.second, attrFile, nullptr, false, false, t, child, created);
    EXPECT_EQ(r, c.collide ? errAlreadyExists : 0);
    if (child) child->Release();
    ASSERT_EQ(volume_->Commit(t), 0);
    Close();
  }
  files_.Remove(name_);
  Open(true);
  Make(Root(), u"a", attrFile);
  Make(Root(), u"Z", attrFile);
  EXPECT_EQ(Names(Root()), (std::vector<std::u16string>{u"Z", u"a"}));
}

TEST_F(ObjectsTest, RecordsUpToTheLimitFitAndLargerOnesAreRefused) {
  Open(true);
  FileObject* file = Make(Root(), u"f", attrFile);
  std::vector<std::uint8_t> data(MaxRecordData(512) + 1, 0x5A);
  Transaction* t = nullptr;
  ASSERT_EQ(volume_->Begin(false, t), 0);
  ASSERT_EQ(volume_->JoinObject(t, file), 0);
  std::uint32_t page = 0;
  EXPECT_EQ(AddRecord(*file, 0x8001, data.data(), static_cast<std::uint32_t>(data.size()), t, page),
            errInvalidParameter);
  ASSERT_EQ(AddRecord(*file, 0x8001, data.data(), MaxRecordData(512), t, page), 0);
  EXPECT_NE(page, file->HeaderPage);  // the first header page has no room: a second one
  EXPECT_EQ(AddRecord(*file, 0x8001, data.data(), 4, t, page), errTagExists);
  ASSERT_EQ(SetRecord(*file, 0x8002, data.data(), 100, t), 0);
  ASSERT_EQ(SetRecord(*file, 0x8002, data.data(), 10, t), 0);
  ASSERT_EQ(volume_->Commit(t), 0);
  std::vector<std::uint8_t> read;
  ASSERT_EQ(ReadRecord(*file, 0x8001, nullptr, read), 0);
  EXPECT_EQ(read.size(), MaxRecordData(512));
  ASSERT_EQ(ReadRecord(*file, 0x8002, nullptr, read), 0);
  EXPECT_EQ(read.size(), 10u);
  EXPECT_EQ(ReadRecord(*file, 0x8003, nullptr, read), errTagNotFound);
  Close();
}

TEST_F(ObjectsTest, MakeRoomMovesInlineDataOutAndKeepsTheNewRecordInThePage) {
  Open(true);
  FileObject* file = Make(Root(), u"f", attrFile);
  Transaction* t = nullptr;
  ASSERT_EQ(volume_->Begin(false, t), 0);
  ASSERT_EQ(volume_->JoinObject(t, file), 0);
  std::vector<std::uint8_t> inline_(300, 0x11), tag(200, 0x22);
  std::uint32_t page = 0;
  ASSERT_EQ(AddRecord(*file, rkFileData, inline_.data(), 300, t, page), 0);
  ASSERT_EQ(page, file->HeaderPage);
  ASSERT_EQ(AddRecord(*file, 0x8000, tag.data(), 200, t, page), 0);
  EXPECT_EQ(page, file->HeaderPage);
  RecordRef data;
  ASSERT_EQ(FindRecord(*file, rkFileData, 0, true, t, data), 0);
  ASSERT_NE(data.MovedTo(), 0u);
  PageRef stream;
  ASSERT_EQ(volume_->GetPage(data.MovedTo(), true, StreamPageType(rkFileData), file->ObjectId(), t,
                             stream),
            0);
  EXPECT_EQ(LoadU32(stream.data() + kPrevPage), file->HeaderPage);
  EXPECT_EQ(stream.data()[kPageHeaderSize + 299], 0x11);
  stream = PageRef();
  data = RecordRef();
  ASSERT_EQ(volume_->Commit(t), 0);
  Close();
}

TEST_F(ObjectsTest, RolledBackCreationLeavesNoTrace) {
  Open(true);
  Make(Root(), u"kept", attrFile);
  ASSERT_EQ(volume_->EnsureScanned(), 0);
  const std::uint32_t freeBefore = volume_->FreeCount();
  const std::size_t objectsBefore = store_->ObjectCount();
  Transaction* t = nullptr;
  ASSERT_EQ(volume_->Begin(false, t), 0);
  ASSERT_EQ(volume_->JoinObject(t, &Root()), 0);
  FileObject* child = nullptr;
  bool created = false;
  ASSERT_EQ(CreateChild(Root(), NameOf(300, 1), attrFile, nullptr, false, true, t, child, created),
            0);
  child->Release();
  ASSERT_EQ(volume_->Rollback(t), 0);
  EXPECT_EQ(Names(Root()), (std::vector<std::u16string>{u"kept"}));
  EXPECT_EQ(store_->ObjectCount(), objectsBefore);
  // The slot page and the header page may stay allocated to the directory,
  // but nothing of the rolled-back object does.
  EXPECT_GE(volume_->FreeCount() + 0, freeBefore);
  Close();
  Open(false);
  EXPECT_EQ(Names(Root()), (std::vector<std::u16string>{u"kept"}));
  Close();
}

TEST_F(ObjectsTest, DeletingATreeFreesEveryPage) {
  Open(true);
  ASSERT_EQ(volume_->EnsureScanned(), 0);
  FileObject* top = Make(Root(), u"top", attrDirectory);
  FileObject* sub = Make(*top, NameOf(600, 2), attrDirectory);
  for (int i = 0; i < 20; ++i) Make(*sub, NameOf(30 + i, static_cast<char16_t>(i)), attrFile);
  Close();
  Open(false);
  ASSERT_EQ(volume_->EnsureScanned(), 0);
  const std::uint32_t used = volume_->UsedPageCount - volume_->FreeCount();
  Transaction* t = nullptr;
  ASSERT_EQ(volume_->Begin(false, t), 0);
  ASSERT_EQ(volume_->JoinObject(t, &Root()), 0);
  FileObject* victim = nullptr;
  ASSERT_EQ(OpenChild(Root(), u"top", errFileNotFound, t, victim), 0);
  ASSERT_EQ(volume_->JoinObject(t, victim), 0);
  ASSERT_EQ(DeleteObject(*victim, t), 0);
  victim->Release();
  ASSERT_EQ(volume_->Commit(t), 0);
  EXPECT_TRUE(Names(Root()).empty());
  // Left: the volume's own pages, the root's header and its entry page.
  const std::uint32_t after = volume_->UsedPageCount - volume_->FreeCount();
  EXPECT_LT(after, used);
  EXPECT_EQ(after, 3u /*map, info, root*/ + 1 /*root entry page*/ + 1 /*transaction table*/);
  Close();
}

// Moving an object carries its header page and name chain along; every
// back-link must follow it to the new directory's slot page.
TEST_F(ObjectsTest, MovesAcrossDirectoriesKeepEveryBackLink) {
  Open(true);
  FileObject* from = Make(Root(), u"from", attrDirectory);
  FileObject* to = Make(Root(), u"to", attrDirectory);
  // Several slot pages in the target, so moved entries land on later pages.
  for (int i = 0; i < 17; ++i) Make(*to, NameOf(5, static_cast<char16_t>(i)), attrFile);
  std::vector<std::u16string> names;
  for (std::size_t length : {23u, 2100u, 5000u}) {
    names.push_back(NameOf(length, static_cast<char16_t>(length % 26)));
    Make(*from, names.back(), length == 2100u ? attrDirectory : attrFile);
  }
  auto move = [&](FileObject& source, FileObject& target, const std::u16string& name,
                  const std::u16string& newName) {
    Transaction* t = nullptr;
    ASSERT_EQ(volume_->Begin(false, t), 0);
    ASSERT_EQ(volume_->JoinObject(t, &source), 0);
    if (&target != &source) {
      ASSERT_EQ(volume_->JoinObject(t, &target), 0);
    }
    FileObject* object = nullptr;
    ASSERT_EQ(OpenChild(source, name, errFileNotFound, t, object), 0);
    ASSERT_EQ(volume_->JoinObject(t, object), 0);
    ASSERT_EQ(DetachObject(*object, t), 0);
    FileObject* moved = nullptr;
    bool created = true;
    ASSERT_EQ(CreateChild(target, newName, object->Entry->Attributes, object, false, true, t, moved,
                          created),
              0);
    EXPECT_FALSE(created);
    EXPECT_EQ(moved, object);
    object->Release();
    ASSERT_EQ(volume_->Commit(t), 0);
  };
  for (const auto& name : names) move(*from, *to, name, name);
  EXPECT_TRUE(Names(*from).empty());
  // Renames that shorten and lengthen, and a move back.
  move(*to, *to, names[0], NameOf(3000, 4));
  move(*to, *to, names[2], NameOf(24, 9));
  move(*to, *from, names[1], NameOf(22, 1));
  Close();
  Open(false);
  EXPECT_EQ(Names(*store_->Root()).size(), 2u);
  Close();
}

}  // namespace
}  // namespace vaultfs
