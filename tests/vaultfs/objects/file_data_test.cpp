// File data through handles: blocks inline and in data pages, the block
// index, compression and per-file encryption, sizes, sharing, passwords,
// automatic commits and recovery from a full storage.
#include "vaultfs/objects/file_data.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "vaultfs/objects/codecs.h"
#include "vaultfs/objects/records.h"
#include "vaultfs/volume/page_cipher.h"
#include "support/sample_data.h"
#include "support/volume_fixture.h"

namespace vaultfs {
namespace {

using testing::MemoryHostFiles;
using testing::RandomBytes;
using namespace layout;
using Bytes = std::vector<std::uint8_t>;

Bytes Password(std::u16string_view text) {
  return testing::Utf16Bytes(text);
}

// Data that some codecs shrink and some do not: runs (0xFF runs among them),
// random stretches, text and zeros, changing every few hundred bytes.
Bytes Mixed(std::size_t size, std::uint32_t seed) {
  std::mt19937 random(seed);
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) {
    switch ((i / 700 + seed) % 4) {
      case 0:
        bytes[i] = static_cast<std::uint8_t>((i / 37) % 3 == 0 ? 0xFF : 'a' + (i / 37) % 5);
        break;
      case 1:
        bytes[i] = static_cast<std::uint8_t>(random());
        break;
      case 2:
        bytes[i] = static_cast<std::uint8_t>("vaultfs block "[i % 14]);
        break;
      default:
        bytes[i] = 0;
    }
  }
  return bytes;
}

struct FileSetup {
  std::uint32_t compression = crNoCompression;
  std::uint32_t level = 0;
  std::uint32_t blockPages = 0;
  std::uint32_t encryption = ecNoEncryption;
  Bytes password;
};

FileSetup Settings(std::uint32_t compression, std::uint32_t level, std::uint32_t blockPages,
                   std::uint32_t encryption = ecNoEncryption, Bytes password = {}) {
  return {compression, level, blockPages, encryption, std::move(password)};
}

class FileDataTest : public testing::MemoryVolumeTest {
 protected:
  FileDataTest() : MemoryVolumeTest(u"c.vfs") {}
  // The volume may still use crashed_'s files: it goes first.
  ~FileDataTest() override {
    store_.reset();
    volume_.reset();
  }

  // A test that stopped half-way may leave handles and transactions behind;
  // they must go while the objects they refer to still exist.
  void TearDown() override {
    if (!volume_ || !volume_->Active) return;
    EngineResult ignored = store_->CloseAllHandles(*volume_);
    for (Transaction* t : volume_->RunningNow())
      ignored = volume_->Rollback(t);
    (void)ignored;
    EXPECT_EQ(volume_->Close(), 0);
  }

  void Open(bool create, std::uint32_t pageSize = 512, bool transactions = true,
            MemoryHostFiles* host = nullptr) {
    OpenVolume(create, {.pageSize = pageSize, .overwrite = true, .transactions = transactions},
               host);
  }
  void Reopen(std::uint32_t pageSize = 512, bool transactions = true) {
    Close();
    Open(false, pageSize, transactions);
  }
  void Close() { CloseVolume(); }
  std::uint32_t Payload() const { return volume_->PayloadSize; }

  FileObject* Make(std::u16string_view name, const FileSetup& setup = {},
                   std::uint32_t attributes = attrFile, FileObject* directory = nullptr) {
    FileObject& parent = directory ? *directory : Root();
    Transaction* t = nullptr;
    EXPECT_EQ(volume_->Begin(false, t), 0);
    EXPECT_EQ(volume_->JoinObject(t, &parent), 0);
    FileObject* child = nullptr;
    bool created = false;
    EngineResult r = CreateChild(parent, name, attributes, nullptr, false, true, t, child, created);
    if (r == 0 && setup.encryption != ecNoEncryption)
      r = ChangeFileEncryption(*child, t, setup.encryption, {}, setup.password, true);
    if (r == 0 && setup.compression != crNoCompression)
      r = ChangeFileCompression(*child, t, setup.compression, setup.level, setup.blockPages,
                                setup.password, true);
    EXPECT_EQ(r, 0);
    if (child) child->Release();
    if (r != 0) {
      EXPECT_EQ(volume_->Rollback(t), 0);
      return nullptr;
    }
    EXPECT_EQ(volume_->Commit(t), 0);
    return child;
  }
  FileObject* Child(std::u16string_view name, FileObject* directory = nullptr) {
    FileObject* child = nullptr;
    EXPECT_EQ(OpenChild(directory ? *directory : Root(), name, errFileNotFound, nullptr, child), 0);
    if (child) child->Release();
    return child;
  }

  FileHandle* OpenFile(FileObject* file, bool read, bool write, const Bytes& password = {},
                       bool denyRead = false, bool denyWrite = false) {
    FileHandle* h = nullptr;
    EXPECT_EQ(OpenHandle(*file, 0, u"/f", read, write, denyRead, denyWrite, -1, password, h), 0);
    return h;
  }
  void Write(FileHandle* h, const Bytes& data, std::uint64_t at, std::size_t chunk) {
    std::uint64_t position = 0;
    ASSERT_EQ(Seek(h, static_cast<std::int64_t>(at), 0, position), 0);
    for (std::size_t done = 0; done < data.size();) {
      const auto n = static_cast<std::uint32_t>(std::min(chunk, data.size() - done));
      std::uint32_t written = 0;
      ASSERT_EQ(WriteData(h, data.data() + done, n, written), 0) << "at " << at + done;
      ASSERT_EQ(written, n);
      done += n;
    }
  }
  Bytes Read(FileHandle* h, std::uint64_t at, std::size_t count, std::size_t chunk) {
    std::uint64_t position = 0;
    EXPECT_EQ(Seek(h, static_cast<std::int64_t>(at), 0, position), 0);
    Bytes data(count);
    for (std::size_t done = 0; done < count;) {
      const auto n = static_cast<std::uint32_t>(std::min(chunk, count - done));
      std::uint32_t read = 0;
      const EngineResult r = ReadData(h, data.data() + done, n, read);
      EXPECT_EQ(r, 0) << "at " << at + done;
      if (r != 0 || read == 0) break;
      done += read;
    }
    return data;
  }
  // Opens a file by name, reads all of it and closes it again.
  Bytes Contents(std::u16string_view name, const Bytes& password = {}) {
    FileObject* file = Child(name);
    if (!file) return {};
    FileHandle* h = OpenFile(file, true, false, password);
    if (!h) return {};
    std::uint64_t size = 0;
    EXPECT_EQ(GetSize(h, size), 0);
    Bytes data = Read(h, 0, size, 1000);
    std::uint32_t read = 0;
    std::uint8_t spare = 0;
    EXPECT_EQ(ReadData(h, &spare, 1, read), errSeekBeyondEOF);
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(CloseHandle(h, false), 0);
    return data;
  }
  std::uint32_t UsedPages() {
    EXPECT_EQ(volume_->EnsureScanned(), 0);
    return volume_->UsedPageCount - volume_->FreeCount();
  }

  RecordRef StreamRecord(FileObject& file) {
    RecordRef record;
    EXPECT_EQ(FindRecord(file, file.StreamKind, 0, true, nullptr, record), 0);
    return record;
  }

  // Walks the data page chain and the block index as stored and checks that
  // they agree: back links, rising chain indices, index entries and every
  // page's IndexPage. Returns the chain as page index -> page number.
  std::map<std::uint32_t, std::uint32_t> ExpectSoundStream(FileObject& file) {
    std::map<std::uint32_t, std::uint32_t> chain;
    RecordRef stream = StreamRecord(file);
    if (!stream) return chain;
    std::uint32_t previous = stream.PageNumber();
    std::uint32_t n = stream.MovedTo();
    stream = RecordRef();
    std::map<std::uint32_t, std::uint32_t> indexPageOf;
    while (n != 0) {
      PageRef page;
      EXPECT_EQ(volume_->GetPage(n, true, StreamPageType(file.StreamKind), file.ObjectId(), nullptr,
                                 page),
                0);
      if (!page) break;
      const std::uint32_t index = LoadU32(page.data() + kChainIndex);
      EXPECT_EQ(LoadU32(page.data() + kPrevPage), previous) << "page index " << index;
      if (!chain.empty()) {
        EXPECT_GT(index, chain.rbegin()->first);
      }
      chain[index] = n;
      indexPageOf[index] = LoadU32(page.data() + kIndexPage);
      previous = n;
      n = NextPageOf(page.data());
    }
    const std::size_t entries = chain.empty() ? 0 : chain.rbegin()->first + 1;
    RecordRef index;
    EXPECT_EQ(FindRecord(file, rkBlockIndex, 0, false, nullptr, index), 0);
    if (entries > 16) {
      EXPECT_TRUE(index) << entries << " entries without a block index";
    }
    if (entries < 8) {
      EXPECT_FALSE(index) << entries << " entries with a block index";
    }
    if (!index) {
      for (const auto& [i, page] : indexPageOf) EXPECT_EQ(page, 0u) << "page index " << i;
      return chain;
    }
    const std::uint32_t perPage = Payload() / 4;
    std::uint32_t m = index.MovedTo(), position = 0;
    index = RecordRef();
    while (m != 0) {
      PageRef page;
      EXPECT_EQ(volume_->GetPage(m, true, BlockIndexPage, file.ObjectId(), nullptr, page), 0);
      if (!page) break;
      EXPECT_EQ(LoadU32(page.data() + kChainIndex), position);
      for (std::uint32_t e = 0; e < perPage; ++e) {
        const std::uint32_t i = position * perPage + e;
        const std::uint32_t listed = LoadU32(page.data() + kPageHeaderSize + 4 * e);
        const auto found = chain.find(i);
        EXPECT_EQ(listed, found == chain.end() ? 0u : found->second) << "entry " << i;
        if (found != chain.end()) {
          EXPECT_EQ(indexPageOf[i], m) << "entry " << i;
        }
      }
      ++position;
      m = NextPageOf(page.data());
    }
    EXPECT_EQ(position, (entries + perPage - 1) / perPage);
    return chain;
  }

  std::unique_ptr<MemoryHostFiles> crashed_;
};

// ------------------------------------------------------------ round trips

struct Codec {
  const char* name;
  std::uint32_t mode, level, blockPages;
};
struct Cipher {
  const char* name;
  std::uint32_t mode;
};

TEST_F(FileDataTest, EveryBoundarySizeReadsBackAfterReopenUnderEverySetting) {
  const Codec codecs[] = {
      {"none", crNoCompression, 0, 0}, {"zlib9", crZLib, 9, 3}, {"rle", crRLE, 0, 2}};
  const Cipher ciphers[] = {
      {"plain", ecNoEncryption}, {"mode1", ecAES256_SHA256}, {"mode3", ecAES256_HMAC256}};
  const Bytes password = Password(u"Tr0ub4dor&3");
  for (const std::uint32_t pageSize : {512u, 4096u, 65536u}) {
    for (const bool transactions : {false, true}) {
      for (const Codec& codec : codecs) {
        for (const Cipher& cipher : ciphers) {
          SCOPED_TRACE(::testing::Message() << pageSize << " " << codec.name << " " << cipher.name
                                            << (transactions ? " journaled" : ""));
          files_.Remove(name_);
          Open(true, pageSize, transactions);
          const std::uint64_t p = Payload();
          const std::uint64_t capacity = p * std::max<std::uint32_t>(codec.blockPages, 1);
          std::vector<std::uint64_t> sizes = {0,
                                              1,
                                              31,
                                              32,
                                              p - 1,
                                              p,
                                              p + 1,
                                              capacity - 1,
                                              capacity,
                                              capacity + 1,
                                              2 * capacity + 17};
          if (pageSize == 512) sizes.insert(sizes.end(), {16 * p, 17 * p, 40 * p + 3});
          const FileSetup setup{codec.mode, codec.level, codec.blockPages, cipher.mode,
                                cipher.mode ? password : Bytes{}};
          std::vector<Bytes> written;
          for (std::size_t i = 0; i < sizes.size(); ++i) {
            FileObject* file =
                Make(u"f" + std::u16string(1, static_cast<char16_t>(u'a' + i)), setup);
            ASSERT_NE(file, nullptr);
            written.push_back(Mixed(sizes[i], static_cast<std::uint32_t>(i)));
            FileHandle* h = OpenFile(file, true, true, setup.password);
            ASSERT_NE(h, nullptr);
            Write(h, written.back(), 0, 1237);
            ASSERT_EQ(CloseHandle(h, false), 0);
          }
          Reopen(pageSize, transactions);
          for (std::size_t i = 0; i < sizes.size(); ++i) {
            SCOPED_TRACE(::testing::Message() << "size " << sizes[i]);
            const std::u16string name = u"f" + std::u16string(1, static_cast<char16_t>(u'a' + i));
            EXPECT_TRUE(Contents(name, setup.password) == written[i]);
            ExpectSoundStream(*Child(name));
          }
          Close();
        }
      }
    }
  }
}

TEST_F(FileDataTest, AFewMebibytesRoundTrip) {
  struct Case {
    std::uint32_t pageSize;
    Codec codec;
    std::uint32_t cipher;
  };
  const Case cases[] = {{4096, {"zlib", crZLib, 6, 16}, ecAES256_HMAC256},
                        {65536, {"none", crNoCompression, 0, 0}, ecAES256_SHA256}};
  const Bytes password = Password(u"pw");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pageSize);
    files_.Remove(name_);
    Open(true, c.pageSize);
    const FileSetup setup{c.codec.mode, c.codec.level, c.codec.blockPages, c.cipher, password};
    FileObject* file = Make(u"big", setup);
    const Bytes data = Mixed(3 * 1024 * 1024 + 5, 7);
    FileHandle* h = OpenFile(file, true, true, password);
    Write(h, data, 0, 16384);
    ASSERT_EQ(CloseHandle(h, false), 0);
    Reopen(c.pageSize);
    EXPECT_TRUE(Contents(u"big", password) == data);
    ExpectSoundStream(*Child(u"big"));
  }
}

TEST_F(FileDataTest, BlocksEncodedOnSeveralCoresReadBackLikeThoseEncodedOneByOne) {
  // One long write encodes its whole blocks on several cores before storing
  // them: the file must read back exactly like the same bytes written in
  // small pieces, also where a long write replaces blocks already stored,
  // starts or ends inside a block, or meets blocks that do not shrink.
  const Codec codecs[] = {{"zlib", crZLib, 9, 3}, {"rle", crRLE, 0, 2}};
  const Bytes password = Password(u"pw");
  for (const Codec& codec : codecs) {
    for (const std::uint32_t cipher : {ecNoEncryption, ecAES256_HMAC256}) {
      SCOPED_TRACE(::testing::Message() << codec.name << " cipher " << cipher);
      files_.Remove(name_);
      Open(true, 512, false);
      const FileSetup setup{codec.mode, codec.level, codec.blockPages, cipher,
                            cipher ? password : Bytes{}};
      const std::size_t capacity = Payload() * codec.blockPages;
      const Bytes first = Mixed(40 * capacity + 123, 3);
      const Bytes second = Mixed(9 * capacity + 7, 4);
      const std::uint64_t at = 5 * capacity + 11;
      Bytes expected = first;
      std::copy(second.begin(), second.end(), expected.begin() + static_cast<std::ptrdiff_t>(at));
      for (const std::size_t chunk : {first.size(), std::size_t{1237}}) {
        const std::u16string name = chunk == 1237 ? u"pieces" : u"whole";
        FileObject* file = Make(name, setup);
        ASSERT_NE(file, nullptr);
        FileHandle* h = OpenFile(file, true, true, setup.password);
        ASSERT_NE(h, nullptr);
        Write(h, first, 0, chunk);
        Write(h, second, at, chunk == 1237 ? chunk : second.size());
        ASSERT_EQ(CloseHandle(h, false), 0);
      }
      Reopen(512, false);
      for (const std::u16string name : {u"whole", u"pieces"}) {
        EXPECT_TRUE(Contents(name, setup.password) == expected) << testing::Narrow(name);
        ExpectSoundStream(*Child(name));
      }
      // One long read decodes its whole blocks on several cores too, except
      // a block changed in memory and not yet stored, which it takes as it
      // is now.
      FileHandle* h = OpenFile(Child(u"whole"), true, true, setup.password);
      ASSERT_NE(h, nullptr);
      const Bytes change = {'c', 'h', 'a', 'n', 'g', 'e'};
      const std::uint64_t changedAt = 12 * capacity + 40;
      Write(h, change, changedAt, change.size());
      std::copy(change.begin(), change.end(),
                expected.begin() + static_cast<std::ptrdiff_t>(changedAt));
      EXPECT_TRUE(Read(h, 7, expected.size() - 7, expected.size()) ==
                  Bytes(expected.begin() + 7, expected.end()));
      ASSERT_EQ(CloseHandle(h, false), 0);
      EXPECT_TRUE(Contents(u"whole", setup.password) == expected);
      Close();
      testing::ExpectSoundStructure(files_, name_);
    }
  }
}

// ------------------------------------------------------ storage layout

TEST_F(FileDataTest, SmallFilesStayInlineAndAppendAfterReopen) {
  Open(true);
  FileObject* file = Make(u"small");
  const Bytes first = Mixed(100, 1);
  FileHandle* h = OpenFile(file, true, true);
  Write(h, first, 0, 100);
  ASSERT_EQ(CloseHandle(h, false), 0);
  {
    RecordRef stream = StreamRecord(*file);
    EXPECT_EQ(stream.MovedTo(), 0u);
    EXPECT_EQ(stream.Length() - kRecordHeadSize, 128u);  // padded to 32 bytes
    EXPECT_EQ(stream.DataSize(), 0u);
  }
  Reopen();
  h = OpenFile(Child(u"small"), true, true);
  const Bytes more = Mixed(10, 2);
  Write(h, more, 100, 10);
  std::uint64_t size = 0;
  ASSERT_EQ(GetSize(h, size), 0);
  EXPECT_EQ(size, 110u);
  ASSERT_EQ(CloseHandle(h, false), 0);
  Bytes expected = first;
  expected.insert(expected.end(), more.begin(), more.end());
  EXPECT_TRUE(Contents(u"small") == expected);
}

TEST_F(FileDataTest, InlineDataPushedOutByAnotherRecordStaysReadable) {
  const Bytes password = Password(u"tag");
  struct Case {
    const char* name;
    FileSetup setup;
  };
  const Case cases[] = {{"plain", {}},
                        {"zlib", Settings(crZLib, 9, 2)},
                        {"zlib-mode1", Settings(crZLib, 9, 2, ecAES256_SHA256, password)},
                        {"mode3", Settings(crNoCompression, 0, 0, ecAES256_HMAC256, password)}};
  Open(true);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::u16string name(c.name, c.name + std::strlen(c.name));
    Bytes data = RandomBytes(150, 1);
    data.resize(c.setup.compression ? 900 : 200, 0);
    FileObject* file = Make(name, c.setup);
    FileHandle* h = OpenFile(file, true, true, c.setup.password);
    Write(h, data, 0, 1000);
    ASSERT_EQ(CloseHandle(h, false), 0);
    ASSERT_EQ(StreamRecord(*file).MovedTo(), 0u);
    // A tag needs the room: the data record moves out into a page of its own.
    // A raw enciphered block stays (only the data layer, with the key, may
    // move it) and the tag takes a second header page.
    Transaction* t = nullptr;
    ASSERT_EQ(volume_->Begin(false, t), 0);
    ASSERT_EQ(volume_->JoinObject(t, file), 0);
    const Bytes tag(300, 0x7A);
    ASSERT_EQ(SetRecord(*file, 0x8001, tag.data(), 300, t), 0);
    ASSERT_EQ(volume_->Commit(t), 0);
    const bool staysInline = c.setup.encryption != ecNoEncryption && c.setup.compression == 0;
    ASSERT_EQ(StreamRecord(*file).MovedTo() != 0, !staysInline);
    EXPECT_TRUE(Contents(name, c.setup.password) == data);
    // And it goes on from there.
    h = OpenFile(file, true, true, c.setup.password);
    const Bytes more = Mixed(2 * Payload(), 2);
    Write(h, more, data.size(), 333);
    ASSERT_EQ(CloseHandle(h, false), 0);
    data.insert(data.end(), more.begin(), more.end());
    Reopen();
    EXPECT_TRUE(Contents(name, c.setup.password) == data);
    ExpectSoundStream(*Child(name));
  }
}

TEST_F(FileDataTest, AWholeCompressedBlockOfZerosStaysInline) {
  Open(true, 4096);
  FileObject* file = Make(u"zeros", Settings(crZLib, 6, 16));
  const Bytes zeros(65024, 0);
  FileHandle* h = OpenFile(file, true, true);
  Write(h, zeros, 0, 4096);
  ASSERT_EQ(CloseHandle(h, false), 0);
  Reopen(4096);
  {
    RecordRef stream = StreamRecord(*Child(u"zeros"));
    EXPECT_EQ(stream.MovedTo(), 0u);
    const std::uint32_t length = stream.Length() - kRecordHeadSize;
    EXPECT_EQ(length % 32, 0u);
    EXPECT_EQ(stream.DataSize(), length);
  }
  EXPECT_TRUE(Contents(u"zeros") == zeros);
}

TEST_F(FileDataTest, BlocksThatDoNotShrinkAreStoredRaw) {
  struct Case {
    const char* name;
    Bytes data;
    bool raw;
  };
  Open(true);
  const std::uint32_t capacity = 4 * Payload();
  // Two blocks each, so that block 0 cannot stay inline either.
  const Case cases[] = {{"random", RandomBytes(2 * capacity, 3), true},
                        {"text", Mixed(2 * capacity, 2), false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::u16string name(c.name, c.name + std::strlen(c.name));
    FileObject* file = Make(name, Settings(crZLib, 9, 4));
    FileHandle* h = OpenFile(file, true, true);
    Write(h, c.data, 0, capacity);
    ASSERT_EQ(CloseHandle(h, false), 0);
    const auto chain = ExpectSoundStream(*file);
    ASSERT_FALSE(chain.empty());
    if (c.raw)
      EXPECT_EQ(chain.size(), 8u);
    else
      EXPECT_LT(chain.size(), 8u);
    for (const auto& [index, n] : chain) {
      PageRef page;
      ASSERT_EQ(volume_->GetPage(n, true, DataPage, file->ObjectId(), nullptr, page), 0);
      if (c.raw)
        EXPECT_EQ(LoadU16(page.data() + kUsedBytes), 0u);
      else
        EXPECT_NE(LoadU16(page.data() + kUsedBytes), 0u);
    }
    EXPECT_TRUE(Contents(name) == c.data);
  }
}

TEST_F(FileDataTest, TheBlockIndexComesAbove16PagesAndGoesBelow8) {
  Open(true);
  FileObject* file = Make(u"indexed");
  ASSERT_EQ(volume_->EnsureScanned(), 0);
  const std::uint32_t emptyPages = UsedPages();
  const std::uint32_t p = Payload();
  const Bytes data = Mixed(40 * p, 5);
  FileHandle* h = OpenFile(file, true, true);
  struct Step {
    std::uint64_t size;
    bool grow;
    bool indexed;
  };
  // Sizes in pages of data; 16 pages are found by the chain alone.
  const Step steps[] = {{16, true, false}, {17, true, true}, {40, true, true},  {8, false, true},
                        {7, false, false}, {20, true, true}, {0, false, false}, {3, true, false}};
  std::uint64_t size = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.size);
    const std::uint64_t bytes = step.size * p;
    if (step.grow)
      Write(h, Bytes(data.begin() + size, data.begin() + bytes), size, 1000);
    else
      ASSERT_EQ(SetFileSizeByHandle(h, bytes), 0);
    size = bytes;
    ASSERT_EQ(FlushHandle(h, 0), 0);
    RecordRef index;
    ASSERT_EQ(FindRecord(*file, rkBlockIndex, 0, false, nullptr, index), 0);
    EXPECT_EQ(static_cast<bool>(index), step.indexed);
    index = RecordRef();
    EXPECT_EQ(ExpectSoundStream(*file).size(), step.size);
    EXPECT_TRUE(Read(h, 0, size, 4000) == Bytes(data.begin(), data.begin() + size));
  }
  ASSERT_EQ(SetFileSizeByHandle(h, 0), 0);
  ASSERT_EQ(CloseHandle(h, false), 0);
  EXPECT_EQ(UsedPages(), emptyPages);  // nothing of the data or its index is left
  EXPECT_EQ(StreamRecord(*file).MovedTo(), 0u);
}

TEST_F(FileDataTest, TheRootStreamIsAChainWithoutIndexOrCompression) {
  Open(true);
  // A compression setting on the root is only passed on to new children.
  Transaction* t = nullptr;
  ASSERT_EQ(volume_->Begin(false, t), 0);
  ASSERT_EQ(volume_->JoinObject(t, &Root()), 0);
  ASSERT_EQ(ChangeFileCompression(Root(), t, crZLib, 9, 4, false), 0);
  ASSERT_EQ(volume_->Commit(t), 0);
  const Bytes data = Mixed(30 * Payload() + 1, 3);
  FileHandle* h = nullptr;
  ASSERT_EQ(OpenHandle(Root(), 0, u"/", true, true, true, true, -1, {}, h), 0);
  Write(h, data, 0, 2048);
  ASSERT_EQ(CloseHandle(h, false), 0);
  Reopen();
  ASSERT_EQ(OpenHandle(Root(), 0, u"/", true, false, false, false, -1, {}, h), 0);
  EXPECT_TRUE(Read(h, 0, data.size(), 5000) == data);
  ASSERT_EQ(CloseHandle(h, false), 0);
  RecordRef stream, index;
  ASSERT_EQ(FindRecord(Root(), rkRootData, 0, true, nullptr, stream), 0);
  ASSERT_EQ(FindRecord(Root(), rkBlockIndex, 0, false, nullptr, index), 0);
  EXPECT_FALSE(index);
  std::uint32_t pages = 0;
  for (std::uint32_t n = stream.MovedTo(); n != 0; ++pages) {
    PageRef page;
    ASSERT_EQ(volume_->GetPage(n, true, RootDataPage, 1, nullptr, page), 0);
    EXPECT_EQ(LoadU32(page.data() + kChainIndex), pages);
    EXPECT_EQ(LoadU16(page.data() + kUsedBytes), 0u);  // stored raw
    n = NextPageOf(page.data());
  }
  EXPECT_EQ(pages, 31u);
}

TEST_F(FileDataTest, AReadOnlyContainerIsReadButNeverWritten) {
  Open(true);
  const Bytes data = Mixed(5 * Payload(), 4);
  FileHandle* h = OpenFile(Make(u"ro", Settings(crZLib, 6, 2)), true, true);
  Write(h, data, 0, 1000);
  ASSERT_EQ(CloseHandle(h, false), 0);
  Make(u"never-opened");
  Close();
  volume_ = std::make_unique<Volume>();
  ASSERT_EQ(volume_->SetHostFileCallbacks(files_.Callbacks()), 0);
  store_ = std::make_unique<ObjectStore>(*volume_);
  ASSERT_EQ(volume_->Open(name_, true), 0);
  ASSERT_TRUE(volume_->ReadOnly);
  const std::uint64_t writes = files_.WriteCount();
  EXPECT_TRUE(Contents(u"ro") == data);
  EXPECT_TRUE(Contents(u"never-opened").empty());
  FileObject* file = Child(u"ro");
  EXPECT_EQ(OpenHandle(*file, 0, u"/ro", true, true, false, false, -1, {}, h), errStorageReadOnly);
  EXPECT_EQ(files_.WriteCount(), writes);
}

// --------------------------------------------------------- sizes and ends

TEST_F(FileDataTest, RandomWritesAndResizesMatchAModel) {
  struct Case {
    const char* name;
    FileSetup setup;
  };
  const Bytes password = Password(u"model");
  const Case cases[] = {{"plain", {}},
                        {"zlib", Settings(crZLib, 1, 2)},
                        {"rle-mode3", Settings(crRLE, 0, 3, ecAES256_HMAC256, password)}};
  for (const std::uint32_t seed : {1u, 2u, 3u}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(::testing::Message() << c.name << " seed " << seed);
      files_.Remove(name_);
      Open(true);
      FileObject* file = Make(u"m", c.setup);
      FileHandle* h = OpenFile(file, true, true, c.setup.password);
      const std::uint64_t span = 3 * 3 * Payload();
      std::mt19937 random(seed);
      auto below = [&random](std::uint64_t n) { return n == 0 ? 0 : random() % n; };
      Bytes model;
      for (int op = 0; op < 120; ++op) {
        std::uint64_t position = 0;
        switch (below(7)) {
          case 0:
          case 1:
          case 2: {
            const std::uint64_t at = below(model.size() + span);
            const Bytes data = Mixed(1 + below(span), static_cast<std::uint32_t>(op));
            Write(h, data, at, 1 + below(2000));
            if (model.size() < at + data.size()) model.resize(at + data.size(), 0);
            std::copy(data.begin(), data.end(), model.begin() + static_cast<std::ptrdiff_t>(at));
            break;
          }
          case 3: {
            const std::uint64_t size = below(model.size() + span);
            ASSERT_EQ(SetFileSizeByHandle(h, size), 0);
            model.resize(size, 0);
            break;
          }
          case 4: {
            const std::uint64_t size = below(model.size() + 10);
            ASSERT_EQ(Seek(h, static_cast<std::int64_t>(size), 0, position), 0);
            ASSERT_EQ(SetEndOfFile(h), 0);
            model.resize(size, 0);
            break;
          }
          case 5: {
            const std::uint64_t at = below(model.size() + 1);
            const std::uint64_t count = below(model.size() - at + 1);
            EXPECT_TRUE(Read(h, at, count, 1 + below(3000)) ==
                        Bytes(model.begin() + static_cast<std::ptrdiff_t>(at),
                              model.begin() + static_cast<std::ptrdiff_t>(at + count)))
                << "op " << op;
            break;
          }
          default:
            if (below(2) == 0) {
              ASSERT_EQ(FlushHandle(h, 0), 0);
            } else {
              ASSERT_EQ(CloseHandle(h, false), 0);
              Reopen();
              file = Child(u"m");
              h = OpenFile(file, true, true, c.setup.password);
            }
        }
        std::uint64_t size = 0;
        ASSERT_EQ(GetSize(h, size), 0);
        ASSERT_EQ(size, model.size()) << "op " << op;
      }
      ASSERT_EQ(CloseHandle(h, false), 0);
      Reopen();
      EXPECT_TRUE(Contents(u"m", c.setup.password) == model);
      ExpectSoundStream(*Child(u"m"));
      Close();
    }
  }
}

TEST_F(FileDataTest, GrowingTheSizeWritesNothingAndReadsZeros) {
  Open(true);
  // Sixteen raw pages make one block: the size then grows past its end.
  FileObject* file = Make(u"grown", Settings(crZLib, 9, 16));
  const std::uint64_t capacity = 16 * Payload();
  const Bytes data = RandomBytes(capacity, 9);
  FileHandle* h = OpenFile(file, true, true);
  Write(h, data, 0, 3000);
  ASSERT_EQ(FlushHandle(h, 0), 0);
  const std::uint32_t pages = UsedPages();
  ASSERT_EQ(SetFileSizeByHandle(h, 3 * capacity + 5), 0);
  ASSERT_EQ(CloseHandle(h, false), 0);
  EXPECT_EQ(UsedPages(), pages);
  Bytes expected = data;
  expected.resize(3 * capacity + 5, 0);
  EXPECT_TRUE(Contents(u"grown") == expected);
  Reopen();  // the end of the stored data is worked out from the pages again
  EXPECT_TRUE(Contents(u"grown") == expected);
}

TEST_F(FileDataTest, HandleEdgeCases) {
  Open(true);
  FileObject* file = Make(u"edges");
  FileHandle* h = OpenFile(file, true, true);
  const Bytes data = Mixed(1000, 4);
  Write(h, data, 0, 1000);
  std::uint32_t n = 0;
  std::uint8_t byte = 0;
  std::uint64_t position = 0, size = 0;

  // A null write far away changes nothing.
  ASSERT_EQ(Seek(h, 1 << 20, 0, position), 0);
  EXPECT_EQ(WriteData(h, &byte, 0, n), 0);
  ASSERT_EQ(GetSize(h, size), 0);
  EXPECT_EQ(size, 1000u);

  // Reading at the size transfers nothing and says so.
  ASSERT_EQ(Seek(h, 0, 2, position), 0);
  EXPECT_EQ(ReadData(h, &byte, 1, n), errSeekBeyondEOF);
  EXPECT_EQ(n, 0u);

  // A write that no page index could address is refused before anything changes.
  ASSERT_EQ(Seek(h, -2, 0, position), 0);
  EXPECT_EQ(WriteData(h, &byte, 1, n), errInvalidParameter);
  ASSERT_EQ(GetSize(h, size), 0);
  EXPECT_EQ(size, 1000u);

  // A reading handle may not change the size.
  FileHandle* reader = OpenFile(file, true, false);
  EXPECT_EQ(SetFileSizeByHandle(reader, 10), errAccessDenied);
  EXPECT_EQ(SetEndOfFile(reader), errAccessDenied);
  EXPECT_EQ(WriteData(reader, &byte, 1, n), errAccessDenied);
  FileHandle* writer = OpenFile(file, false, true);
  EXPECT_EQ(ReadData(writer, &byte, 1, n), errAccessDenied);
  ASSERT_EQ(CloseHandle(writer, false), 0);

  // Truncating moves handles beyond the new end back to it.
  ASSERT_EQ(Seek(reader, 900, 0, position), 0);
  ASSERT_EQ(SetFileSizeByHandle(h, 500), 0);
  ASSERT_EQ(Seek(reader, 0, 1, position), 0);
  EXPECT_EQ(position, 500u);
  ASSERT_EQ(CloseHandle(reader, false), 0);
  ASSERT_EQ(CloseHandle(h, false), 0);
  EXPECT_TRUE(Contents(u"edges") == Bytes(data.begin(), data.begin() + 500));
}

TEST_F(FileDataTest, SeekOrigins) {
  Open(true);
  FileObject* file = Make(u"seek");
  FileHandle* h = OpenFile(file, true, true);
  Write(h, Mixed(300, 1), 0, 300);
  struct Case {
    std::uint64_t from;
    int origin;
    std::int64_t offset;
    std::uint64_t expected;
  };
  const Case cases[] = {
      {50, 0, 120, 120}, {50, 1, 7, 57},    {50, 1, -50, 0},
      {50, 2, 0, 300},   {50, 2, -10, 290}, {50, 2, 5, 305},
      {50, 7, 123, 0},   {50, -1, 9, 0},    {50, 1, -51, ~std::uint64_t{0}},  // the sum wraps
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.origin << " " << c.offset);
    std::uint64_t position = 0;
    ASSERT_EQ(Seek(h, static_cast<std::int64_t>(c.from), 0, position), 0);
    ASSERT_EQ(Seek(h, c.offset, c.origin, position), 0);
    EXPECT_EQ(position, c.expected);
  }
  std::uint8_t byte = 0;
  std::uint32_t n = 0;
  EXPECT_EQ(ReadData(h, &byte, 1, n), errSeekBeyondEOF);
  ASSERT_EQ(CloseHandle(h, false), 0);
  std::uint64_t position = 0;
  EXPECT_EQ(Seek(nullptr, 0, 0, position), errInvalidHandle);
}

// ------------------------------------------------- sharing and passwords

TEST_F(FileDataTest, DenyFlagsRefuseConflictingOpensUntilClosed) {
  struct Access {
    bool read, write, denyRead, denyWrite;
  };
  struct Case {
    Access first, second;
    EngineResult expected;
  };
  const Case cases[] = {
      {{true, false, true, false}, {true, false, false, false}, errSharingViolation},
      {{true, false, false, true}, {false, true, false, false}, errSharingViolation},
      {{true, false, false, true}, {true, false, false, false}, 0},
      {{true, true, false, false}, {true, true, false, false}, 0},
      {{true, true, true, true}, {false, true, false, false}, errSharingViolation},
  };
  Open(true);
  FileObject* file = Make(u"shared");
  for (const Case& c : cases) {
    FileHandle* first = nullptr;
    FileHandle* second = nullptr;
    ASSERT_EQ(OpenHandle(*file, 1, u"/shared", c.first.read, c.first.write, c.first.denyRead,
                         c.first.denyWrite, -1, {}, first),
              0);
    EXPECT_EQ(OpenHandle(*file, 2, u"/shared", c.second.read, c.second.write, c.second.denyRead,
                         c.second.denyWrite, -1, {}, second),
              c.expected);
    if (second) {
      ASSERT_EQ(CloseHandle(second, false), 0);
    }
    ASSERT_EQ(CloseHandle(first, false), 0);
    ASSERT_EQ(OpenHandle(*file, 2, u"/shared", c.second.read, c.second.write, c.second.denyRead,
                         c.second.denyWrite, -1, {}, second),
              0);
    ASSERT_EQ(CloseHandle(second, false), 0);
  }
  // Opening for writing is refused on a read-only file.
  Transaction* t = nullptr;
  ASSERT_EQ(volume_->Begin(false, t), 0);
  ASSERT_EQ(volume_->JoinObject(t, file), 0);
  ASSERT_EQ(SetAttributes(*file, attrFile | attrReadOnly, t), 0);
  ASSERT_EQ(volume_->Commit(t), 0);
  FileHandle* h = nullptr;
  EXPECT_EQ(OpenHandle(*file, 0, u"/shared", true, true, false, false, -1, {}, h), errAccessDenied);
  EXPECT_EQ(OpenHandle(*file, 0, u"/shared", true, false, false, false, -1, {}, h), 0);
  ASSERT_EQ(CloseHandle(h, false), 0);
}

TEST_F(FileDataTest, PasswordsAreCheckedAndFailedOpensCountNothing) {
  const Bytes right = Password(u"right"), wrong = Password(u"wrong");
  for (const std::uint32_t mode : {ecAES256_SHA256, ecAES256_HMAC256}) {
    SCOPED_TRACE(mode);
    files_.Remove(name_);
    Open(true);
    FileObject* file = Make(u"secret", Settings(crNoCompression, 0, 0, mode, right));
    EXPECT_NE(file->Entry->Attributes & attrEncrypted, 0u);
    const Bytes data = Mixed(5000, 8);
    FileHandle* h = OpenFile(file, true, true, right, false, true);
    Write(h, data, 0, 700);

    struct Case {
      const Bytes* password;
      std::int32_t cipherMode;
      EngineResult expected;
    };
    const Case cases[] = {{&wrong, -1, errInvalidPassword},
                          {&right, static_cast<std::int32_t>(mode ^ 2), errInvalidPassword},
                          {&right, static_cast<std::int32_t>(mode), 0},
                          {&right, 0, 0}};
    for (const Case& c : cases) {
      // Each try asks to deny reading; a failed one must not keep that.
      FileHandle* other = nullptr;
      EXPECT_EQ(
          OpenHandle(*file, 0, u"/s", true, false, true, false, c.cipherMode, *c.password, other),
          c.expected);
      if (other) {
        ASSERT_EQ(CloseHandle(other, false), 0);
      }
      FileHandle* reader = nullptr;
      ASSERT_EQ(OpenHandle(*file, 0, u"/s", true, false, false, false, -1, right, reader), 0);
      ASSERT_EQ(CloseHandle(reader, false), 0);
    }
    // The first handle still denies writing.
    FileHandle* writer = nullptr;
    EXPECT_EQ(OpenHandle(*file, 0, u"/s", false, true, false, false, -1, right, writer),
              errSharingViolation);
    ASSERT_EQ(CloseHandle(h, false), 0);

    Reopen();
    file = Child(u"secret");
    EXPECT_EQ(OpenHandle(*file, 0, u"/s", true, false, false, false, -1, wrong, h),
              errInvalidPassword);
    EXPECT_EQ(SupplyPassword(*file, wrong), errInvalidPassword);
    ASSERT_EQ(SupplyPassword(*file, right), 0);
    h = OpenFile(file, true, false);  // no password needed after supplying it
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(Read(h, 0, data.size(), 999) == data);
    ASSERT_EQ(CloseHandle(h, false), 0);
    EXPECT_EQ(OpenHandle(*file, 0, u"/s", true, false, false, false, -1, {}, h),
              errInvalidPassword);
    bool valid = false;
    ASSERT_EQ(VerifyFilePassword(*file, nullptr, right, valid), 0);
    EXPECT_TRUE(valid);
    ASSERT_EQ(VerifyFilePassword(*file, nullptr, wrong, valid), 0);
    EXPECT_FALSE(valid);
    Close();
  }
}

TEST_F(FileDataTest, ChangingCompressionAndEncryptionKeepsTheData) {
  Open(true);
  const Bytes p1 = Password(u"one"), p3 = Password(u"three");
  FileObject* file = Make(u"conv");
  const Bytes data = Mixed(9 * Payload() + 77, 6);
  FileHandle* h = OpenFile(file, true, true);
  Write(h, data, 0, 4096);
  ASSERT_EQ(CloseHandle(h, false), 0);

  struct Step {
    const char* what;
    bool compression;
    std::uint32_t mode, level, pages;
    const Bytes* oldPassword;
    const Bytes* newPassword;  // the file's password after the step
    EngineResult expected;
  };
  const Bytes none;
  const Step steps[] = {
      {"zlib", true, crZLib, 9, 4, &none, &none, 0},
      {"mode3", false, ecAES256_HMAC256, 0, 0, &none, &p3, 0},
      {"rle with the wrong password", true, crRLE, 0, 3, &p1, &p3, errInvalidPassword},
      {"rle", true, crRLE, 0, 3, &p3, &p3, 0},
      {"mode1 with the wrong password", false, ecAES256_SHA256, 0, 0, &p1, &p3, errInvalidPassword},
      {"mode1", false, ecAES256_SHA256, 0, 0, &p3, &p1, 0},
      {"no compression", true, crNoCompression, 0, 0, &p1, &p1, 0},
      {"no encryption", false, ecNoEncryption, 0, 0, &p1, &none, 0},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    file = Child(u"conv");
    Transaction* t = nullptr;
    ASSERT_EQ(volume_->Begin(false, t), 0);
    ASSERT_EQ(volume_->JoinObject(t, file), 0);
    const EngineResult r =
        step.compression
            ? ChangeFileCompression(*file, t, step.mode, step.level, step.pages, *step.oldPassword,
                                    true)
            : ChangeFileEncryption(*file, t, step.mode, *step.oldPassword, *step.newPassword, true);
    EXPECT_EQ(r, step.expected);
    if (r == 0)
      ASSERT_EQ(volume_->Commit(t), 0);
    else
      ASSERT_EQ(volume_->Rollback(t), 0);
    Reopen();
    file = Child(u"conv");
    std::uint32_t mode = 0, level = 0, pages = 0;
    ASSERT_EQ(ReadCompressionSetting(*file, nullptr, mode, level, pages), 0);
    std::uint32_t cipher = 0;
    ASSERT_EQ(ReadEncryptionSetting(*file, nullptr, cipher), 0);
    EXPECT_EQ((file->Entry->Attributes & attrCompressed) != 0, mode != crNoCompression);
    EXPECT_EQ((file->Entry->Attributes & attrEncrypted) != 0, cipher != ecNoEncryption);
    EXPECT_TRUE(Contents(u"conv", *step.newPassword) == data);
    ExpectSoundStream(*file);
  }
}

// ---------------------------------------- commits and a full storage

TEST_F(FileDataTest, LongWritesCommitOnTheirOwnAndSurviveACrash) {
  Open(true);
  FileObject* file = Make(u"long");
  FileHandle* h = OpenFile(file, true, true);
  const std::uint32_t p = Payload();
  const Bytes data = Mixed(600 * std::size_t{p}, 11);
  for (std::size_t at = 0; at < data.size(); at += p) {
    std::uint32_t n = 0;
    ASSERT_EQ(WriteData(h, data.data() + at, p, n), 0);
    ASSERT_NE(file->PrivateTransaction, nullptr);
    ASSERT_LT(file->PrivateTransaction->pageCount, kCacheLimit) << "after " << at + p << " bytes";
  }
  // The power fails before the handle is closed: what was committed is there.
  crashed_ = std::make_unique<MemoryHostFiles>(files_.TakeSnapshot());
  ASSERT_EQ(CloseHandle(h, false), 0);
  Close();
  Open(false, 512, true, crashed_.get());
  file = Child(u"long");
  h = OpenFile(file, true, false);
  std::uint64_t size = 0;
  ASSERT_EQ(GetSize(h, size), 0);
  EXPECT_GE(size, 200u * p);
  EXPECT_LT(size, data.size());
  EXPECT_TRUE(Read(h, 0, size, 50000) ==
              Bytes(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(size)));
  ASSERT_EQ(CloseHandle(h, false), 0);
  ExpectSoundStream(*file);
  Close();
}

TEST_F(FileDataTest, AFullStorageLosesOnlyTheUncommittedWrites) {
  for (const bool transactions : {false, true}) {
    SCOPED_TRACE(transactions);
    files_.Remove(name_);
    Open(true, 512, transactions);
    FileObject* file = Make(u"full", Settings(crZLib, 6, 2));
    FileHandle* h = OpenFile(file, true, true);
    const Bytes committed = Mixed(2000, 1);
    Write(h, committed, 0, 2000);
    ASSERT_EQ(FlushHandle(h, 0), 0);
    ASSERT_EQ(volume_->EnsureScanned(), 0);
    ASSERT_EQ(volume_->SetMaxPageCount(volume_->UsedPageCount + 12), 0);

    const Bytes big = RandomBytes(100 * Payload(), 2);
    std::uint32_t n = 0;
    EXPECT_EQ(WriteData(h, big.data(), static_cast<std::uint32_t>(big.size()), n), errStorageFull);
    // The handle works on, from the last commit.
    std::uint64_t size = 0;
    ASSERT_EQ(GetSize(h, size), 0);
    EXPECT_EQ(size, committed.size());
    EXPECT_TRUE(Read(h, 0, committed.size(), 700) == committed);
    const Bytes tail = Mixed(300, 3);
    Write(h, tail, committed.size(), 300);
    ASSERT_EQ(CloseHandle(h, false), 0);
    Reopen(512, transactions);
    Bytes expected = committed;
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_TRUE(Contents(u"full") == expected);
    ExpectSoundStream(*Child(u"full"));
    Close();
  }
}

TEST_F(FileDataTest, ClosingAllHandlesCommitsWhatTheyWrote) {
  Open(true);
  const Bytes password = Password(u"all");
  const Bytes one = Mixed(3000, 1), two = Mixed(5 * Payload(), 2);
  FileHandle* first = OpenFile(Make(u"one"), true, true);
  FileHandle* second = OpenFile(Make(u"two", Settings(crRLE, 0, 2, ecAES256_HMAC256, password)),
                                false, true, password);
  FileHandle* reader = OpenFile(Child(u"one"), true, false);
  Write(first, one, 0, 1000);
  Write(second, two, 0, 1000);
  EXPECT_EQ(store_->CloseAllHandles(*volume_), 0);
  EXPECT_TRUE(store_->Handles.empty());
  EXPECT_EQ(volume_->RunningTransactions(), 0u);
  (void)reader;
  Reopen();
  EXPECT_TRUE(Contents(u"one") == one);
  EXPECT_TRUE(Contents(u"two", password) == two);
}

// --------------------------------------------- streams and custom codecs

TEST_F(FileDataTest, LinkTargetsAreWholeStreamsEvenInACompressedDirectory) {
  Open(true);
  FileObject* directory = Make(u"dir", Settings(crZLib, 9, 4), attrDirectory);
  ASSERT_NE(directory, nullptr);
  FileObject* link = Make(u"link", {}, attrSymLink, directory);
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(link->StreamKind, rkLinkTarget);
  const Bytes targets[] = {Mixed(3 * Payload() + 9, 1), Mixed(40, 2), {}};
  for (const Bytes& target : targets) {
    SCOPED_TRACE(target.size());
    link = Child(u"link", Child(u"dir"));
    Transaction* t = nullptr;
    ASSERT_EQ(volume_->Begin(false, t), 0);
    ASSERT_EQ(volume_->JoinObject(t, link), 0);
    ASSERT_EQ(WriteStream(*link, t, target), 0);
    Bytes read;
    ASSERT_EQ(ReadStream(*link, t, read), 0);
    EXPECT_TRUE(read == target);
    ASSERT_EQ(volume_->Commit(t), 0);
    Reopen();
    link = Child(u"link", Child(u"dir"));
    ASSERT_EQ(ReadStream(*link, nullptr, read), 0);
    EXPECT_TRUE(read == target);
    ExpectSoundStream(*link);
  }
}

// A codec of the caller's: a block of one repeated byte becomes that byte.
EngineResult SqueezeOneByteBlocks(void*, const std::uint8_t* in, std::uint32_t size,
                                  std::uint8_t* out, std::uint32_t limit, std::int32_t,
                                  std::uint32_t& produced) {
  if (size < 2 || limit < 5 || std::count(in, in + size, in[0]) != std::ptrdiff_t{size})
    return errBufferTooSmall;
  std::memcpy(out, &size, 4);
  out[4] = in[0];
  produced = 5;
  return 0;
}
EngineResult ExpandOneByteBlocks(void*, const std::uint8_t* in, std::uint32_t size,
                                 std::uint8_t* out, std::uint32_t capacity,
                                 std::uint32_t& produced) {
  std::uint32_t length = 0;
  if (size < 5) return errCompressedDataCorrupted;
  std::memcpy(&length, in, 4);
  if (length > capacity) return errCompressedDataCorrupted;
  std::memset(out, in[4], length);
  produced = length;
  return 0;
}

TEST_F(FileDataTest, CustomCodecBlocksNeedTheirHandlersToBeRead) {
  const CustomCodecCallbacks codec{&SqueezeOneByteBlocks, &ExpandOneByteBlocks, nullptr};
  Open(true);
  store_->CustomCodec = const_cast<CustomCodecCallbacks*>(&codec);
  const std::uint32_t capacity = 2 * Payload();
  Bytes data(capacity, 'x');
  const Bytes random = RandomBytes(capacity, 5);
  data.insert(data.end(), random.begin(), random.end());
  data.insert(data.end(), capacity / 2, 'y');
  FileObject* file = Make(u"custom", Settings(crCustom, 0, 2));
  FileHandle* h = OpenFile(file, true, true);
  Write(h, data, 0, 999);
  ASSERT_EQ(CloseHandle(h, false), 0);
  EXPECT_EQ(ExpectSoundStream(*file).size(), 1u + 2u + 1u);  // squeezed, raw, squeezed
  Reopen();
  store_->CustomCodec = const_cast<CustomCodecCallbacks*>(&codec);
  EXPECT_TRUE(Contents(u"custom") == data);
  Reopen();  // now without handlers: the raw block reads, the squeezed ones do not
  file = Child(u"custom");
  h = OpenFile(file, true, true);
  EXPECT_TRUE(Read(h, capacity, capacity, capacity) == random);
  std::uint8_t byte = 0;
  std::uint32_t n = 0;
  std::uint64_t position = 0;
  ASSERT_EQ(Seek(h, 0, 0, position), 0);
  const EngineResult r = ReadData(h, &byte, 1, n);
  EXPECT_TRUE(r == errNoCompressionHandlers || r == errCompressedDataCorrupted) << r;
  ASSERT_EQ(CloseHandle(h, false), 0);
  // Written without handlers, blocks are kept raw and stay readable.
  file = Make(u"unhandled", Settings(crCustom, 0, 2));
  h = OpenFile(file, true, true);
  Write(h, Bytes(capacity, 'z'), 0, capacity);
  ASSERT_EQ(CloseHandle(h, false), 0);
  for (const auto& [index, page] : ExpectSoundStream(*file)) {
    PageRef p;
    ASSERT_EQ(volume_->GetPage(page, true, DataPage, file->ObjectId(), nullptr, p), 0);
    EXPECT_EQ(LoadU16(p.data() + kUsedBytes), 0u);
  }
  EXPECT_TRUE(Contents(u"unhandled") == Bytes(capacity, 'z'));
}

}  // namespace
}  // namespace vaultfs
