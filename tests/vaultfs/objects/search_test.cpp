// Mask matching and directory searches.
#include "vaultfs/objects/search.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "vaultfs/objects/file_data.h"
#include "vaultfs/objects/path_ops.h"
#include "support/volume_fixture.h"

namespace vaultfs {
namespace {

const std::u16string kName = u"search.vfs";

TEST(MatchMask, WildcardsAndTheFinalDotRules) {
  struct Case {
    std::u16string name, mask;
    bool caseSensitive, matches;
  };
  const Case cases[] = {
      {u"abc", u"*", true, true},
      {u".", u"*", true, true},
      {u"abc", u"*.*", true, true},  // "*.*" means every name, dotted or not
      {u"a.b.c", u"*.*", true, true},
      {u"abc", u"abc.", true, true},  // a final dot also matches no dot
      {u"abc.", u"abc.", true, true},
      {u"a.bc", u"a.bc.", true, false},  // ... but not when the name has one
      {u"abc.d", u"abc.", true, false},
      {u"abc", u"abc.*", true, true},
      {u"abc.txt", u"abc.*", true, true},
      {u"a", u"?", true, true},
      {u"ab", u"?", true, false},
      {u"", u"?", true, false},
      {u"abc", u"a?c", true, true},
      {u"ac", u"a?c", true, false},
      {u"ab", u"a*??", true, false},
      {u"abcd", u"a*??", true, true},
      {u"abbbc", u"a*c", true, true},
      {u"aXbYc", u"a*b*c", true, true},
      {u"a.txt.bak", u"*.txt", true, false},
      {u"a.b.txt", u"*.txt", true, true},
      {u"aab", u"*ab", true, true},
      {u"aaab", u"*aab", true, false},  // the scan resumes at the unit that failed
      {u"xaab", u"*aab", true, true},
      {u"A.TXT", u"*.txt", false, true},
      {u"b.txt", u"*.TXT", false, true},
      {u"A.TXT", u"*.txt", true, false},
      {u"\u00C4rger", u"\u00E4*", false, true},
      {u"\u00C4rger", u"\u00E4*", true, false},
      {u"abc", u"", true, false},
      {u"abc", u"abd", true, false},
      {u"abc", u"ab", true, false},
      {u"ab", u"abc", true, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MatchMask(c.name, c.mask, c.caseSensitive), c.matches)
        << std::string(c.name.begin(), c.name.end()) << " / "
        << std::string(c.mask.begin(), c.mask.end()) << " / " << c.caseSensitive;
  }
}

class SearchTest : public testing::MemoryVolumeTest {
 protected:
  SearchTest() : MemoryVolumeTest(kName) {}

  void Open(bool caseSensitive = true) { OpenVolume(true, {.caseSensitive = caseSensitive}); }

  void Make(std::u16string_view path) { ASSERT_EQ(PathForceCreateDirectories(Store(), path), 0); }

  // Every name a search reports, in order, until errNoMoreFiles.
  std::vector<std::u16string> List(std::u16string_view path, std::uint32_t attributeMask = ~0u,
                                   std::uint32_t flags = 0) {
    std::vector<std::u16string> names;
    const std::size_t running = volume_->RunningTransactions();
    SearchRecord record;
    EngineResult r = SearchFirst(Store(), record, path, attributeMask, flags);
    while (r == 0 && names.size() < 1000) {
      names.push_back(record.Name);
      r = SearchNext(record);
    }
    EXPECT_EQ(r, errNoMoreFiles);
    EXPECT_EQ(record.Handle, nullptr);
    EXPECT_EQ(volume_->RunningTransactions(), running);
    return names;
  }
};

using Names = std::vector<std::u16string>;

TEST_F(SearchTest, ListsInNameOrderWithDotEntriesOnlyBelowTheRoot) {
  Open();
  for (const char16_t* name : {u"/d/b", u"/d/a", u"/d/C", u"/d/a.txt", u"/top"}) Make(name);
  EXPECT_EQ(List(u"/d/*"), (Names{u"C", u"a", u"a.txt", u"b"}));
  EXPECT_EQ(List(u"/d/*", ~0u, sfDotEntries), (Names{u".", u"..", u"C", u"a", u"a.txt", u"b"}));
  EXPECT_EQ(List(u"/*", ~0u, sfDotEntries), (Names{u"d", u"top"}));
  EXPECT_EQ(List(u"*"), (Names{u"d", u"top"}));
  EXPECT_EQ(List(u"/d/?"), (Names{u"C", u"a", u"b"}));
  EXPECT_EQ(List(u"/d/*.txt"), (Names{u"a.txt"}));
  EXPECT_EQ(List(u"/top/*", ~0u, sfDotEntries), (Names{u".", u".."}));
  // An empty directory without dot entries has nothing to report.
  SearchRecord record;
  EXPECT_EQ(SearchFirst(Store(), record, u"/top/*", ~0u, 0), errNoMoreFiles);
  EXPECT_EQ(record.Handle, nullptr);
}

TEST_F(SearchTest, CaseInsensitiveMasksAndExactNames) {
  Open(false);
  for (const char16_t* name : {u"/d/A.TXT", u"/d/b.txt", u"/d/c.doc", u"/d/Readme"}) Make(name);
  EXPECT_EQ(List(u"/d/*.txt"), (Names{u"A.TXT", u"b.txt"}));
  // A mask without wildcards names one entry; the stored spelling is reported.
  EXPECT_EQ(List(u"/d/README"), (Names{u"Readme"}));
  EXPECT_EQ(List(u"/d/readme", ~0u, sfDotEntries), (Names{u"Readme"}));
  SearchRecord record;
  EXPECT_EQ(SearchFirst(Store(), record, u"/d/missing", ~0u, 0), errNoMoreFiles);
  EXPECT_EQ(SearchNext(record), errNoMoreFiles);
}

TEST_F(SearchTest, TheAttributeMaskSelectsKinds) {
  Open();
  Make(u"/d/sub");
  ASSERT_EQ(PathCreateLink(Store(), u"/d/link", u"/d/sub"), 0);
  ASSERT_EQ(PathSetFileAttributes(Store(), u"/d/sub", attrDirectory | attrHidden), 0);
  EXPECT_EQ(List(u"/d/*", attrDirectory), (Names{u"sub"}));
  EXPECT_EQ(List(u"/d/*", attrDirectory, sfDotEntries), (Names{u".", u"..", u"sub"}));
  EXPECT_EQ(List(u"/d/*", attrSymLink, sfDotEntries), (Names{u"link"}));
  EXPECT_EQ(List(u"/d/*", attrHidden), (Names{u"sub"}));
  SearchRecord record;
  EXPECT_EQ(SearchFirst(Store(), record, u"/d/*", attrReadOnly, 0), errNoMoreFiles);
}

TEST_F(SearchTest, RecordsCarryPathTimesAndAttributes) {
  Open();
  Make(u"/d/sub");
  ASSERT_EQ(PathCreateLink(Store(), u"/d/link", u"/d/sub"), 0);
  ASSERT_EQ(PathSetFileTimes(Store(), u"/d/sub", 10.5, 20.5, 30.5), 0);
  ASSERT_EQ(PathSetFileTimes(Store(), u"/d", 1, 2, 3), 0);
  ASSERT_EQ(PathCreateLink(Store(), u"/via", u"/d"), 0);
  // Reopen so that no object is open: times then come from the entries' pages.
  for (bool reopened : {false, true}) {
    SCOPED_TRACE(reopened);
    if (reopened) {
      ASSERT_EQ(volume_->Close(), 0);
      ASSERT_EQ(volume_->Open(kName, false), 0);
    }
    SearchRecord record;
    ASSERT_EQ(SearchFirst(Store(), record, u"/via/*", ~0u, kDefaultSearchFlags | sfDotEntries), 0);
    EXPECT_EQ(record.Name, u".");
    EXPECT_EQ(record.FullPath, u"/d/.");  // the link is followed in the directory part
    EXPECT_EQ(record.Attributes, attrDirectory);
    EXPECT_EQ(record.Created, 1.0);
    ASSERT_EQ(SearchNext(record), 0);
    EXPECT_EQ(record.Name, u"..");
    EXPECT_EQ(record.Modified, 2.0);
    ASSERT_EQ(SearchNext(record), 0);
    EXPECT_EQ(record.Name, u"link");
    EXPECT_EQ(record.Attributes, attrSymLink);
    EXPECT_EQ(record.Size, 12u);  // "/d/sub" in UTF-16
    ASSERT_EQ(SearchNext(record), 0);
    EXPECT_EQ(record.FullPath, u"/d/sub");
    EXPECT_EQ(record.Created, 10.5);
    EXPECT_EQ(record.Modified, 20.5);
    EXPECT_EQ(record.Accessed, 30.5);
    EXPECT_EQ(record.Size, 0u);
    EXPECT_EQ(SearchNext(record), errNoMoreFiles);
  }
  // Without the flags only name and attributes are filled.
  SearchRecord bare;
  ASSERT_EQ(SearchFirst(Store(), bare, u"/d/sub", ~0u, 0), 0);
  EXPECT_TRUE(bare.FullPath.empty());
  EXPECT_EQ(bare.Created, 0.0);
}

TEST_F(SearchTest, ChangesBetweenCallsNeitherRepeatNorLoseEntries) {
  Open();
  for (const char16_t* name : {u"/d/a", u"/d/b", u"/d/c", u"/d/e", u"/d/g"}) Make(name);
  SearchRecord record;
  ASSERT_EQ(SearchFirst(Store(), record, u"/d/*", ~0u, 0), 0);
  EXPECT_EQ(record.Name, u"a");
  ASSERT_EQ(SearchNext(record), 0);
  EXPECT_EQ(record.Name, u"b");
  // The entry the search would report next goes away; one behind the search
  // and one ahead of it come.
  ASSERT_EQ(PathRemoveDirectory(Store(), u"/d/c"), 0);
  ASSERT_EQ(PathCreateDirectory(Store(), u"/d/a2"), 0);
  ASSERT_EQ(PathCreateDirectory(Store(), u"/d/f"), 0);
  // The entry reported last is renamed behind the search.
  ASSERT_EQ(PathMoveFile(Store(), u"/d/b", u"/d/0"), 0);
  Names rest;
  EngineResult r = 0;
  while ((r = SearchNext(record)) == 0 && rest.size() < 100) rest.push_back(record.Name);
  EXPECT_EQ(r, errNoMoreFiles);
  EXPECT_EQ(rest, (Names{u"e", u"f", u"g"}));
  // A search at its end stays at its end.
  EXPECT_EQ(SearchNext(record), errNoMoreFiles);
  EXPECT_EQ(volume_->RunningTransactions(), 0u);
}

TEST_F(SearchTest, AnOpenSearchHoldsItsDirectory) {
  Open();
  Make(u"/d/x");
  {
    SearchRecord record;
    ASSERT_EQ(SearchFirst(Store(), record, u"/d/*", ~0u, 0), 0);
    // The read-only transaction and the directory's references stay until the end.
    EXPECT_EQ(volume_->RunningTransactions(), 1u);
    EXPECT_EQ(PathRemoveDirectory(Store(), u"/d/x"), 0);
    EXPECT_EQ(PathRemoveDirectory(Store(), u"/d"), errSharingViolation);
    EXPECT_EQ(volume_->Close(), errActiveTransactions);
  }  // the record closes its search
  EXPECT_EQ(volume_->RunningTransactions(), 0u);
  EXPECT_EQ(store_->Root()->References.load(), 1);
  EXPECT_EQ(PathRemoveDirectory(Store(), u"/d"), 0);

  // SearchFirst on a record with an open search ends that search first.
  Make(u"/e/y");
  SearchRecord record;
  ASSERT_EQ(SearchFirst(Store(), record, u"/e/*", ~0u, 0), 0);
  ASSERT_EQ(SearchFirst(Store(), record, u"/*", ~0u, 0), 0);
  EXPECT_EQ(record.Name, u"e");
  SearchClose(record);
  EXPECT_EQ(record.Handle, nullptr);
  EXPECT_TRUE(record.Name.empty());
  EXPECT_EQ(volume_->RunningTransactions(), 0u);
  EXPECT_EQ(store_->Root()->References.load(), 1);
  EXPECT_EQ(volume_->Close(), 0);
}

TEST_F(SearchTest, ADirectoryWithAnOpenHandleCanBeSearched) {
  Open();
  Make(u"/b");
  FileHandle* root = nullptr;
  ASSERT_EQ(PathOpenRootFile(Store(), root), 0);
  const std::uint8_t data[] = {1, 2, 3};
  std::uint32_t done = 0;
  ASSERT_EQ(WriteData(root, data, sizeof data, done), 0);
  Make(u"/a");  // the root's header page is now in its handle's transaction
  EXPECT_EQ(List(u"/*", ~0u, kDefaultSearchFlags), (Names{u"a", u"b"}));
  ASSERT_EQ(CloseHandle(root, true), 0);
  EXPECT_EQ(store_->Root()->References.load(), 1);
}

TEST_F(SearchTest, PathErrorsAndALockedStorage) {
  Open();
  Make(u"/d");
  ASSERT_EQ(PathCreateLink(Store(), u"/link", u"/d"), 0);
  ASSERT_EQ(PathCreateLink(Store(), u"/dangling", u"/none"), 0);
  struct Case {
    std::u16string path;
    EngineResult expected;
  };
  const Case cases[] = {
      {u"/missing/*", errPathNotFound},
      {u"/dangling/*", errLinkTargetNotFound},
      {u"/link/*", errNoMoreFiles},  // empty, but found
      {u"", errPathNotFound},
  };
  for (const Case& c : cases) {
    SearchRecord record;
    EXPECT_EQ(SearchFirst(Store(), record, c.path, ~0u, 0), c.expected)
        << std::string(c.path.begin(), c.path.end());
    EXPECT_EQ(record.Handle, nullptr);
  }
  volume_->StorageUnlocked = false;
  SearchRecord record;
  EXPECT_EQ(SearchFirst(Store(), record, u"/*", ~0u, 0), errInvalidPassword);
  volume_->StorageUnlocked = true;
  EXPECT_EQ(volume_->RunningTransactions(), 0u);
  EXPECT_EQ(store_->Root()->References.load(), 1);
}

TEST_F(SearchTest, LongNamesSharingTheirStartAreListedInOrder) {
  Open();
  const std::u16string stem(30, u'n');
  Names expected;
  for (const char16_t tail : {u'c', u'a', u'b'}) {
    Make(u"/d/" + stem + tail);
    expected.push_back(stem + tail);
  }
  std::sort(expected.begin(), expected.end());
  ASSERT_EQ(volume_->Close(), 0);
  ASSERT_EQ(volume_->Open(kName, false), 0);
  EXPECT_EQ(List(u"/d/" + std::u16string(25, u'n') + u"*"), expected);
  EXPECT_EQ(List(u"/d/" + stem + u"b"), Names{stem + u"b"});
}

}  // namespace
}  // namespace vaultfs
