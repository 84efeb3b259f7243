#include "vaultfs/disk_tree.h"

#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <system_error>

#include "support/disk_holes.h"
#include "support/scratch.h"
#include "support/tree_builders.h"
#include "vaultfs/util/paths.h"
#include "vaultfs/vault_error.h"

namespace vaultfs {
namespace {

using testsupport::WriteFile;

// A scratch folder removed with everything in it, whatever modes it holds.
class TempDir : public testsupport::TempDir {
 public:
  TempDir() : testsupport::TempDir("disk_tree_test") {}
};

// ---------------------------------------------------------------- names

TEST(DiskNames, EveryLinuxNameSurvivesTheRoundTripAndIsAValidContainerName) {
  const std::string cases[] = {
      "plain.txt",
      "a:b?c*d\\e<f>g|h",
      std::string("ctl\x01\x1f", 5),
      "\xff\xfe invalid \x80",
      "\xe2\x82",      // a sequence cut short
      "\xed\xa0\x80",  // a surrogate written as three bytes
      "Gr\xc3\xbc\xc3\x9f \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80",  // Unicode, 4-byte form
      std::string(300, 'n'),
      "\xef\x80\xba",              // U+F03A itself: the stand-in for ':'
      "\xed\xa0\x80\xef\x80\xba",  // lone high surrogate right before it
      "\xef\x80\xaf",              // U+F02F, which stands for nothing
      ".hidden",
  };
  for (const std::string& name : cases) {
    const std::u16string stored = DiskNameToStorage(name);
    EXPECT_TRUE(IsValidName(stored)) << name;
    EXPECT_EQ(StorageNameToDisk(stored), name) << name;
  }
}

TEST(DiskNames, ForbiddenUnitsBecomeStandInsAndComeBack) {
  EXPECT_EQ(DiskNameToStorage("a:b|c"), u"a\uF03Ab\uF07Cc");
  EXPECT_EQ(DiskNameToStorage("x\x01"), u"x\uF001");
  EXPECT_EQ(DiskNameToStorage("caf\xc3\xa9"), u"caf\u00E9");
  EXPECT_EQ(StorageNameToDisk(u"a\uF03Ab"), "a:b");
  // A literal stand-in on disk is kept as raw bytes, not taken for ':'.
  EXPECT_NE(DiskNameToStorage("\xef\x80\xba"), u"\uF03A");
}

TEST(DiskNames, NoContainerNameTurnsIntoAPathOnDisk) {
  EXPECT_EQ(StorageNameToDisk(u"a\uF02Fb").find('/'), std::string::npos);
  struct Case {
    std::string name;
    bool safe;
  } const cases[] = {{"x", true},  {".x", true},  {"...", true},  {"", false},
                     {".", false}, {"..", false}, {"a/b", false}, {std::string("a\0b", 3), false}};
  for (const auto& c : cases) EXPECT_EQ(IsSafeDiskName(c.name), c.safe) << c.name;
}

// ---------------------------------------------------------------- attributes

TEST(DiskAttributes, MapBitByBitAndIgnoreTheRest) {
  struct Case {
    std::uint32_t disk;
    std::uint32_t storage;
  } const cases[] = {{faReadOnly, 0x40}, {faArchive, 0x80}, {faHidden, 0x100},
                     {faSystem, 0x200},  {0x27, 0x3C0},     {faDirectory | faVolumeId, 0}};
  for (const auto& c : cases) {
    EXPECT_EQ(WindowsToStorageAttributes(c.disk), c.storage) << c.disk;
    EXPECT_EQ(StorageToWindowsAttributes(c.storage | 0xF03F), c.disk & 0x27) << c.disk;
  }
  EXPECT_EQ(DiskAttributes("x", 0444), faReadOnly);
  EXPECT_EQ(DiskAttributes(".x", 0644), faHidden);
  EXPECT_EQ(DiskAttributes("x", 0200), 0u);
  EXPECT_EQ(DiskAttributes(".", 0755), 0u);
  EXPECT_EQ(DiskAttributes("..", 0755), 0u);
}

// ---------------------------------------------------------------- times

TEST(DiskTimes, ConvertToContainerTimeAndBack) {
  EXPECT_EQ(DiskTimeToStorageTime({0, 0}), 25569.0);
  EXPECT_EQ(DiskTimeToStorageTime({-86400, 0}), 25568.0);
  EXPECT_DOUBLE_EQ(DiskTimeToStorageTime({43200, 0}), 25569.5);
  const DiskTime cases[] = {{0, 0},           {1, 1},
                            {-1, 999999999},  {1700000000, 123456789},
                            {-2208988800, 5}, {4102444800, 999999999}};
  for (const DiskTime t : cases) {
    DiskTime back;
    ASSERT_TRUE(StorageTimeToDiskTime(DiskTimeToStorageTime(t), back)) << t.Seconds;
    const double error = static_cast<double>(back.Seconds - t.Seconds) +
                         (static_cast<double>(back.Nanoseconds) - t.Nanoseconds) * 1e-9;
    EXPECT_LT(std::fabs(error), 2e-6) << t.Seconds << "." << t.Nanoseconds;
    EXPECT_LT(back.Nanoseconds, 1000000000u);
  }
  DiskTime unused;
  for (const double bad : {std::nan(""), HUGE_VAL, -HUGE_VAL, 1e12, -1e12})
    EXPECT_FALSE(StorageTimeToDiskTime(bad, unused)) << bad;
}

// ---------------------------------------------------------------- tags

TEST(PosixMetadataTag, HasAFixedLittleEndianLayout) {
  std::array<std::uint8_t, kPosixMetadataSize> bytes{};
  EncodePosixMetadata({04755, {0x0102030405060708, 999999999}}, bytes);
  const std::array<std::uint8_t, kPosixMetadataSize> expected = {
      1, 0xED, 0x09, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 0xFF, 0xC9, 0x9A, 0x3B};
  EXPECT_EQ(bytes, expected);

  PosixMetadata decoded;
  ASSERT_TRUE(DecodePosixMetadata(bytes, decoded));
  EXPECT_EQ(decoded.Mode, 04755u);
  EXPECT_EQ(decoded.Modified, (DiskTime{0x0102030405060708, 999999999}));

  EncodePosixMetadata({0644, {-5, 0}}, bytes);
  ASSERT_TRUE(DecodePosixMetadata(bytes, decoded));
  EXPECT_EQ(decoded.Modified.Seconds, -5);

  auto damaged = bytes;
  damaged[0] = 2;
  EXPECT_FALSE(DecodePosixMetadata(damaged, decoded));
  damaged = bytes;
  damaged[14] = 0x3C;  // nanoseconds beyond a second
  EXPECT_FALSE(DecodePosixMetadata(damaged, decoded));
  EXPECT_FALSE(DecodePosixMetadata(std::span(bytes).first(14), decoded));
}

TEST(LinkTimesTag, RoundTripsAndRefusesDamage) {
  const std::vector<LinkTime> links = {{u"a", {1, 2}}, {u"\uF03A\u00E9", {-7, 999999999}}};
  const std::vector<std::uint8_t> bytes = EncodeLinkTimes(links);
  EXPECT_EQ(bytes.size(), 1u + (2 + 2 + 12) + (2 + 4 + 12));
  std::vector<LinkTime> back;
  ASSERT_TRUE(DecodeLinkTimes(bytes, back));
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[1].Name, links[1].Name);
  EXPECT_EQ(back[1].Modified, links[1].Modified);
  EXPECT_FALSE(DecodeLinkTimes(std::span(bytes).first(bytes.size() - 1), back));
  EXPECT_EQ(back.size(), 1u);  // what came before the damage
  EXPECT_TRUE(DecodeLinkTimes(EncodeLinkTimes({}), back));
  EXPECT_TRUE(back.empty());
}

// ---------------------------------------------------------------- the file system

class DiskFolderTest : public ::testing::Test {
 protected:
  TempDir dir;
};

TEST_F(DiskFolderTest, ListingNeverFollowsLinks) {
  ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
  WriteFile(dir / "sub/inner", "x");
  WriteFile(dir / "file", "12345");
  ASSERT_EQ(symlink("sub", (dir / "to_sub").c_str()), 0);
  ASSERT_EQ(symlink("/nonexistent/target", (dir / "dangling").c_str()), 0);
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);

  const DiskFolder top = OpenDiskFolder(dir.path());
  const std::vector<DiskEntry> entries = ListDiskFolder(top);
  ASSERT_EQ(entries.size(), 5u);
  struct Expected {
    const char* name;
    DiskKind kind;
    std::uint64_t size;
  } const expected[] = {{"dangling", DiskKind::Link, 0},
                        {"fifo", DiskKind::Special, 0},
                        {"file", DiskKind::File, 5},
                        {"sub", DiskKind::Directory, 0},
                        {"to_sub", DiskKind::Link, 0}};
  for (std::size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(entries[i].Name, expected[i].name);
    EXPECT_EQ(entries[i].Stat.Kind, expected[i].kind) << expected[i].name;
    EXPECT_EQ(entries[i].Stat.Size, expected[i].size) << expected[i].name;
  }
  EXPECT_EQ(ReadDiskLink(top, "dangling"), "/nonexistent/target");

  // A link is never entered as a folder or opened as a file.
  try {
    (void)OpenDiskSubfolder(top, "to_sub", true);
    ADD_FAILURE() << "opened a folder through a link";
  } catch (const std::system_error& e) {
    EXPECT_NE(std::string(e.what()).find(dir / "to_sub"), std::string::npos) << e.what();
  }
  EXPECT_THROW((void)OpenDiskFileForReading(top, "dangling"), std::system_error);
  EXPECT_EQ(OpenDiskSubfolder(top, "sub", false).Path, dir / "sub/");
}

TEST_F(DiskFolderTest, SpecialFilesAreRefusedByName) {
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socketPath = dir / "sock";
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  socketPath.copy(address.sun_path, socketPath.size());
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  close(sock);

  const DiskFolder top = OpenDiskFolder(dir.path());
  struct Case {
    const char* name;
    const char* kind;
  } const cases[] = {{"pipe", "FIFO"}, {"sock", "socket"}};
  for (const auto& c : cases) {
    // Must not block on the FIFO waiting for a writer.
    try {
      (void)OpenDiskFileForReading(top, c.name);
      ADD_FAILURE() << c.name << " was opened";
    } catch (const EFilerError& e) {
      const std::string text = e.what();
      EXPECT_NE(text.find(dir / c.name), std::string::npos) << text;
      EXPECT_NE(text.find(c.kind), std::string::npos) << text;
    }
  }
}

TEST_F(DiskFolderTest, ReplacementKeepsTheOldFileUntilCommitted) {
  WriteFile(dir / "target", "old contents");
  const DiskFolder top = OpenDiskFolder(dir.path());
  {
    DiskReplacement abandoned(top, "target");
    abandoned.CreateFile();
    const std::uint8_t half[] = {'h', 'a', 'l', 'f'};
    abandoned.Write(half);
  }
  std::ifstream in(dir / "target");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "old contents");
  EXPECT_EQ(ListDiskFolder(top).size(), 1u) << "the temporary file was left behind";

  const DiskTime when{1234567890, 123456789};
  {
    DiskReplacement file(top, "target");
    file.CreateFile();
    const std::uint8_t data[] = {'n', 'e', 'w'};
    file.Write(data);
    file.SetMode(0440);
    file.SetTimes(when);
    file.Commit();
    DiskReplacement link(top, "link");
    link.CreateLink("does/not/exist");
    link.SetTimes(when);
    link.Commit();
  }
  DiskStat stat;
  ASSERT_TRUE(StatDiskEntry(top, "target", stat));
  EXPECT_EQ(stat.Mode & 07777, 0440u);
  EXPECT_EQ(stat.Modified, when);
  EXPECT_EQ(stat.Size, 3u);
  ASSERT_TRUE(StatDiskEntry(top, "link", stat));
  EXPECT_EQ(stat.Kind, DiskKind::Link);
  EXPECT_EQ(stat.Modified, when);
  EXPECT_EQ(ListDiskFolder(top).size(), 2u);
}

TEST_F(DiskFolderTest, ReplacementSkipsBecomeZerosAndTheSizeReachesThePosition) {
  const DiskFolder top = OpenDiskFolder(dir.path());
  const std::uint8_t data[] = {'a', 'b', 'c'};
  constexpr std::uint64_t kGap = 1u << 20;
  // Set before the size is reached, as an export sets them: the size that
  // the end's hole makes must not move the time to now.
  const DiskTime when{1234567890, 123456789};
  {
    // Data, a hole, data, and a hole at the end that only the size makes.
    DiskReplacement file(top, "sparse");
    file.CreateFile();
    file.Write(data);
    file.Skip(kGap);
    file.Write(data);
    file.Skip(kGap);
    file.SetTimes(when);
    file.Commit();
    // A file of nothing but a hole (a single zero byte, say).
    DiskReplacement zero(top, "zero");
    zero.CreateFile();
    zero.Skip(1);
    zero.SetTimes(when);
    zero.Commit();
  }
  for (const char* name : {"sparse", "zero"}) {
    DiskStat stat;
    ASSERT_TRUE(StatDiskEntry(top, name, stat));
    EXPECT_EQ(stat.Modified, when) << name;
    EXPECT_EQ(stat.Size, std::string(name) == "zero" ? 1u : 2 * kGap + 6) << name;
  }
  std::ifstream in(dir / "sparse", std::ios::binary);
  const std::string back(std::istreambuf_iterator<char>(in), {});
  std::string expected = "abc" + std::string(kGap, '\0') + "abc" + std::string(kGap, '\0');
  EXPECT_EQ(back.size(), expected.size());
  EXPECT_TRUE(back == expected) << "the skipped bytes do not read as zeros";
  if (!testsupport::KeepsHoles(dir.path())) GTEST_SKIP() << "the file system keeps no holes";
  struct stat st {};
  ASSERT_EQ(stat((dir / "sparse").c_str(), &st), 0);
  EXPECT_LT(st.st_blocks * 512, static_cast<off_t>(kGap)) << "the skipped bytes were written";
}

TEST_F(DiskFolderTest, ParentFolderThroughDotDotMustBeTheOneRecorded) {
  const DiskFolder top = OpenDiskFolder(dir.path());
  const DiskFolder a = OpenDiskSubfolder(top, "a", true);
  const DiskFolder b = OpenDiskSubfolder(a, "b", true);
  const DiskFolderId idA = IdentifyDiskFolder(a);
  const DiskFolder up = OpenDiskParentFolder(b, a.Path, idA);
  EXPECT_EQ(IdentifyDiskFolder(up), idA);
  EXPECT_EQ(up.Path, dir / "a/");
  // Moved elsewhere meanwhile: ".." now leads to another folder.
  ASSERT_EQ(mkdir((dir / "c").c_str(), 0755), 0);
  ASSERT_EQ(rename((dir / "a/b").c_str(), (dir / "c/b").c_str()), 0);
  try {
    (void)OpenDiskParentFolder(b, a.Path, idA);
    ADD_FAILURE() << "climbed into a folder that is not the one recorded";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code().value(), ESTALE);
    EXPECT_NE(std::string(e.what()).find(dir / "a/"), std::string::npos) << e.what();
  }
}

TEST_F(DiskFolderTest, DiskSpaceIsThatOfTheNearestExistingFolder) {
  struct statvfs vfs {};
  ASSERT_EQ(statvfs(dir.path().c_str(), &vfs), 0);
  const std::uint64_t size = std::uint64_t{vfs.f_blocks} * vfs.f_frsize;
  for (const std::string& path : {dir.path(), dir / "missing/deeper/", dir.path() + "/"}) {
    const DiskSpace space = DiskSpaceAt(path);
    EXPECT_LE(space.Available, size) << path;
    EXPECT_GT(space.MaxFileSize, std::uint64_t{1} << 31) << path;
  }
}

TEST_F(DiskFolderTest, ForceDiskDirectoriesCreatesEveryMissingParent) {
  EXPECT_TRUE(ForceDiskDirectories(dir / "a/b/c/"));
  struct stat st {};
  EXPECT_EQ(stat((dir / "a/b/c").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  WriteFile(dir / "plain", "");
  EXPECT_FALSE(ForceDiskDirectories(dir / "plain"));
  EXPECT_FALSE(ForceDiskDirectories(dir / "plain/below"));
}

TEST_F(DiskFolderTest, FolderModesAndTimesAreSetThroughTheDescriptor) {
  const DiskFolder top = OpenDiskFolder(dir.path());
  DiskFolder sub = OpenDiskSubfolder(top, "ro", true);
  SetDiskFolderMode(sub, 0555);
  EXPECT_TRUE(MakeDiskFolderWritable(sub));
  EXPECT_EQ(StatDiskFolder(sub).Mode & 07777, 0755u);
  EXPECT_FALSE(MakeDiskFolderWritable(sub));
  SetDiskFolderTimes(sub, {1000000000, 42});
  EXPECT_EQ(StatDiskFolder(sub).Modified, (DiskTime{1000000000, 42}));
  // An existing folder without owner permissions can still be filled (root
  // needs no permissions, so there is nothing to show then).
  SetDiskFolderMode(sub, 0);
  sub = OpenDiskSubfolder(top, "ro", true);
  if (geteuid() != 0) {
    EXPECT_EQ(StatDiskFolder(sub).Mode & 0700, 0700u);
  }
  const mode_t mask = CurrentUmask();
  const mode_t old = umask(mask);
  EXPECT_EQ(old, mask);
}

}  // namespace
}  // namespace vaultfs
