// Transactions: commit, roll-back, sharing, and crash safety. The crash
// sweeps cut the host file's writes at every single write of a commit (and
// of the close after it), reopen the container writable and demand that the
// pages and the space map show the state before the commit or the state
// after it, never a mixture.
#include "vaultfs/volume/transaction.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "vaultfs/util/byte_order.h"
#include "vaultfs/format/page_layout.h"
#include "vaultfs/volume/volume.h"
#include "support/memory_host_files.h"

namespace vaultfs {
namespace {

using testing::MemoryHostFiles;
using namespace layout;

const std::u16string kName = u"c.vfs";
constexpr std::uint32_t kOwner = 100;

void FillPayload(std::uint8_t* page, std::uint32_t pageSize, std::uint32_t seed) {
  for (std::uint32_t i = kPageHeaderSize; i < pageSize; ++i)
    page[i] = static_cast<std::uint8_t>((seed * 131 + i * 7 + (i >> 8)) & 0xFF);
}

bool PayloadIs(const std::uint8_t* page, std::uint32_t pageSize, std::uint32_t seed) {
  std::vector<std::uint8_t> want(pageSize);
  FillPayload(want.data(), pageSize, seed);
  return std::memcmp(page + kPageHeaderSize, want.data() + kPageHeaderSize,
                     pageSize - kPageHeaderSize) == 0;
}

std::unique_ptr<Volume> MakeVolume(MemoryHostFiles& files, bool transactions) {
  auto v = std::make_unique<Volume>();
  EXPECT_EQ(v->SetHostFileCallbacks(files.Callbacks()), 0);
  EXPECT_EQ(v->SetUseTransactions(transactions), 0);
  // The pages here are bare, linked to nothing: a compaction after a commit
  // could not move them and would take them for damage.
  v->AutoCompact = 0;
  return v;
}

struct Plan {
  std::uint32_t pageSize;
  std::uint32_t existing;  // pages made before the commit under test
  std::uint32_t modified;  // of those, changed by it
  std::uint32_t freed;     // of those, freed by it
  std::uint32_t added;     // new pages allocated by it
  // Every slot of the transaction table is taken (by transactions whose
  // journals are gone) when the commit registers: it chains a table page.
  bool tableFull = false;
};

// Takes every free slot of the table's first page, as transactions of
// another writer would: an id and no journal, which recovery passes over.
EngineResult TakeEveryTableSlot(Volume& v) {
  const std::uint32_t n = v.TransactionTableFirstPage();
  PageRef table;
  EngineResult r = v.GetPage(n, true, TransactionTablePage, 0, nullptr, table);
  if (r != 0) return r;
  const std::uint32_t slots = (v.PageSize - kTableFirstSlot) / kTableSlotSize;
  for (std::uint32_t s = 0; s < slots; ++s)
    if (LoadU32(table.data() + kTableFirstSlot + s * kTableSlotSize) == 0)
      StoreU32(table.data() + kTableFirstSlot + s * kTableSlotSize, 0x7000 + s);
  return v.WritePage(n, table.data());
}

// The container before the commit: `existing` data pages, page k holding
// payload seed k.
MemoryHostFiles::Snapshot MakeBase(const Plan& plan, bool transactions,
                                   std::vector<std::uint32_t>& pages) {
  MemoryHostFiles files;
  auto v = MakeVolume(files, transactions);
  EXPECT_EQ(v->Create(kName, false, plan.pageSize, u""), 0);
  Transaction* t = nullptr;
  EXPECT_EQ(v->Begin(false, t), 0);
  for (std::uint32_t k = 0; k < plan.existing; ++k) {
    PageRef p;
    EXPECT_EQ(v->AllocateNewPage(DataPage, t, p), 0);
    StoreU32(p.data() + kOwnerId, kOwner);
    FillPayload(p.data(), plan.pageSize, k);
    pages.push_back(p->PageNumber);
  }
  EXPECT_EQ(v->Commit(t), 0);
  EXPECT_EQ(v->Close(), 0);
  return files.TakeSnapshot();
}

// The commit under test, followed by close. Errors are expected once the
// simulated crash has happened, so results are only collected.
void RunCommit(MemoryHostFiles& files, const Plan& plan, bool transactions,
               const std::vector<std::uint32_t>& pages, std::vector<std::uint32_t>* added,
               EngineResult* commitResult = nullptr) {
  auto v = MakeVolume(files, transactions);
  if (v->Open(kName, false) != 0) return;
  if (plan.tableFull && TakeEveryTableSlot(*v) != 0) return;
  Transaction* t = nullptr;
  if (v->Begin(false, t) != 0) return;
  EngineResult r = 0;
  for (std::uint32_t k = 0; k < plan.modified && r == 0; ++k) {
    PageRef p;
    r = v->GetPage(pages[k], true, DataPage, kOwner, t, p);
    if (r == 0) r = v->MarkDirty(p.get(), t);
    if (r == 0) FillPayload(p.data(), plan.pageSize, 1000 + k);
  }
  for (std::uint32_t k = 0; k < plan.freed && r == 0; ++k) {
    PageRef p;
    r = v->GetPage(pages[plan.modified + k], true, DataPage, kOwner, t, p);
    if (r == 0) r = v->DeletePage(p.Detach(), t);
  }
  for (std::uint32_t k = 0; k < plan.added && r == 0; ++k) {
    PageRef p;
    r = v->AllocateNewPage(DataPage, t, p);
    if (r == 0) {
      StoreU32(p.data() + kOwnerId, kOwner);
      FillPayload(p.data(), plan.pageSize, 2000 + k);
      if (added) added->push_back(p->PageNumber);
    }
  }
  if (r == 0)
    r = v->Commit(t);
  else
    (void)v->Rollback(t);
  if (commitResult) *commitResult = r;
  (void)v->Close();
}

struct Observed {
  bool before = true;
  std::string problem;
};

// Recovers the container by a writable open and checks it holds exactly the
// state before or the state after the commit.
Observed Verify(MemoryHostFiles::Snapshot image, const Plan& plan,
                const std::vector<std::uint32_t>& pages, const std::vector<std::uint32_t>& added) {
  Observed o;
  MemoryHostFiles files(std::move(image));
  {
    auto v = MakeVolume(files, true);
    EngineResult r = v->Open(kName, false);
    if (r != 0) {
      o.problem = "writable open failed: " + std::to_string(r);
      return o;
    }
    std::vector<std::uint8_t> page(plan.pageSize);
    auto read = [&](std::uint32_t n) {
      PageRef p;
      if (v->GetPage(n, true, -1, 0, nullptr, p) != 0) return false;
      std::memcpy(page.data(), p.data(), plan.pageSize);
      return true;
    };
    if (!read(pages[0])) {
      o.problem = "page unreadable";
      return o;
    }
    o.before = PayloadIs(page.data(), plan.pageSize, 0);
    for (std::uint32_t k = 0; k < plan.existing; ++k) {
      const bool changedHere = k < plan.modified;
      const bool freedHere = k >= plan.modified && k < plan.modified + plan.freed;
      if (!o.before && freedHere) continue;
      const std::uint32_t seed = (!o.before && changedHere) ? 1000 + k : k;
      if (!read(pages[k]) || PageTypeOf(page.data()) != DataPage ||
          PageNumberOf(page.data()) != pages[k] || !PayloadIs(page.data(), plan.pageSize, seed)) {
        o.problem = "page " + std::to_string(pages[k]) + " is neither before nor after";
        return o;
      }
    }
    if (!o.before) {
      for (std::uint32_t k = 0; k < added.size(); ++k) {
        if (!read(added[k]) || PageTypeOf(page.data()) != DataPage ||
            PageNumberOf(page.data()) != added[k] ||
            !PayloadIs(page.data(), plan.pageSize, 2000 + k)) {
          o.problem = "new page " + std::to_string(added[k]) + " lost";
          return o;
        }
      }
    }
    r = v->Close();
    if (r != 0) {
      o.problem = "close after recovery failed: " + std::to_string(r);
      return o;
    }
  }
  // The space map must name exactly the live pages: nothing lost, nothing leaked.
  auto v = MakeVolume(files, false);
  if (v->Open(kName, true) != 0 || v->EnsureScanned() != 0) {
    o.problem = "read-only reopen failed";
    return o;
  }
  std::set<std::uint32_t> want = {1, 2};
  for (std::uint32_t k = 0; k < plan.existing; ++k) {
    const bool freedHere = k >= plan.modified && k < plan.modified + plan.freed;
    if (o.before || !freedHere) want.insert(pages[k]);
  }
  if (!o.before) want.insert(added.begin(), added.end());
  std::set<std::uint32_t> used;
  for (std::uint32_t n = 0; n < v->HostPageCount; ++n) {
    if (v->IsMapPage(n)) continue;
    std::uint16_t entry = 0;
    if (v->GetMapEntry(n, entry) != 0) {
      o.problem = "map unreadable";
      return o;
    }
    if (entry != 0) used.insert(n);
  }
  if (used != want) {
    std::string text = "space map disagrees: used";
    for (auto n : used) text += " " + std::to_string(n);
    text += " want";
    for (auto n : want) text += " " + std::to_string(n);
    o.problem = text;
  }
  bool corrupted = true;
  if (o.problem.empty() && (v->GetCorrupted(corrupted) != 0 || corrupted))
    o.problem = "volume marked corrupted";
  (void)v->Close();
  return o;
}

class CrashSweep : public ::testing::TestWithParam<Plan> {};

TEST_P(CrashSweep, EveryWriteOfACommitAndCloseIsAtomicWithTransactions) {
  const Plan plan = GetParam();
  std::vector<std::uint32_t> pages, added;
  const MemoryHostFiles::Snapshot base = MakeBase(plan, true, pages);

  MemoryHostFiles full(base);
  full.ResetFaults();
  EngineResult committed = -1;
  RunCommit(full, plan, true, pages, &added, &committed);
  ASSERT_EQ(committed, 0);
  const std::uint64_t writes = full.WriteCount();
  ASSERT_GT(writes, plan.modified + plan.added);
  const Observed complete = Verify(full.TakeSnapshot(), plan, pages, added);
  ASSERT_EQ(complete.problem, "");
  ASSERT_FALSE(complete.before);

  // Power losses that drop unflushed writes at every cut of the smaller
  // plans, and at an even sample of about 250 cuts of the large one.
  const std::uint64_t lossStride = std::max<std::uint64_t>(1, writes / 250);
  std::uint64_t sawBefore = 0, sawAfter = 0;
  for (std::uint64_t cut = 0; cut < writes; ++cut) {
    for (bool torn : {false, true}) {
      for (const testing::PowerLossCase& loss : testing::kPowerLosses) {
        if (loss.unflushed != MemoryHostFiles::Unflushed::kKept && cut % lossStride != 0) continue;
        MemoryHostFiles files(base);
        files.ResetFaults();
        files.SetPowerLoss(loss.unflushed, loss.seed);
        files.CrashOrTearAt(cut, torn, plan.pageSize / 2);
        RunCommit(files, plan, true, pages, nullptr);
        const Observed o = Verify(files.TakeSnapshot(), plan, pages, added);
        ASSERT_EQ(o.problem, "") << "crash after write " << cut << (torn ? " (torn)" : "")
                                 << ", " << loss.name;
        (o.before ? sawBefore : sawAfter) += 1;
      }
    }
  }
  std::printf("swept %llu writes, whole and torn: %llu recovered to before, %llu to after\n",
              static_cast<unsigned long long>(writes), static_cast<unsigned long long>(sawBefore),
              static_cast<unsigned long long>(sawAfter));
  // The sweep must have crossed the commit point.
  EXPECT_GT(sawBefore, 0u);
  EXPECT_GT(sawAfter, 0u);
}

// A write that fails (and the process goes on) anywhere in a commit: the
// commit reports the failure, and whatever the close then leaves recovers to
// the state before or after the commit. A failure after the commit
// registered itself must leave the registration and the journal it names
// alone: rolling it back would wipe pages the copy home already reached.
TEST_P(CrashSweep, AFailedWriteAnywhereLeavesOldOrNewPages) {
  const Plan plan = GetParam();
  std::vector<std::uint32_t> pages, added;
  const MemoryHostFiles::Snapshot base = MakeBase(plan, true, pages);
  MemoryHostFiles full(base);
  full.ResetFaults();
  RunCommit(full, plan, true, pages, &added);
  const std::uint64_t writes = full.WriteCount();

  std::uint64_t failedCommits = 0;
  for (std::uint64_t n = 1; n <= writes; ++n) {
    MemoryHostFiles files(base);
    files.ResetFaults();
    files.FailWrite(n);
    EngineResult committed = 0;
    RunCommit(files, plan, true, pages, nullptr, &committed);
    // A failure in the close after a successful commit is a matter of the
    // close (it may leak the table page); here the commit itself failed.
    if (committed == 0) continue;
    ++failedCommits;
    const Observed o = Verify(files.TakeSnapshot(), plan, pages, added);
    ASSERT_EQ(o.problem, "") << "write " << n << " failed (commit result " << committed << ")";
  }
  std::printf(
      "failed each of %llu writes: %llu failed commits, each recovered to before or after\n",
      static_cast<unsigned long long>(writes), static_cast<unsigned long long>(failedCommits));
  EXPECT_GT(failedCommits, 0u);
}

INSTANTIATE_TEST_SUITE_P(Plans, CrashSweep,
                         ::testing::Values(Plan{512, 12, 6, 3, 5},
                                           // 80 journal entries: two journal pages
                                           Plan{256, 60, 40, 10, 30},
                                           // more changed pages than the cache keeps:
                                           // shadows are written before the commit
                                           Plan{256, 300, 280, 10, 20},
                                           // the commit chains a second table page
                                           Plan{512, 12, 6, 3, 5, true}));

// Containers a power loss left in the middle of the commit of `plan` (or of
// the close after it), at an even sample of its writes: each still needs the
// recovery of the next writable open. `before` tells what that recovery,
// undisturbed, makes of it.
struct Interrupted {
  MemoryHostFiles::Snapshot image;
  bool before = true;
};
std::vector<Interrupted> InterruptedCommits(const Plan& plan, std::vector<std::uint32_t>& pages,
                                            std::vector<std::uint32_t>& added,
                                            std::size_t samples) {
  const MemoryHostFiles::Snapshot base = MakeBase(plan, true, pages);
  MemoryHostFiles full(base);
  full.ResetFaults();
  RunCommit(full, plan, true, pages, &added);
  const std::uint64_t writes = full.WriteCount();
  std::vector<Interrupted> found;
  for (std::size_t i = 0; i < samples; ++i) {
    MemoryHostFiles files(base);
    files.ResetFaults();
    files.CrashAfterWrites(1 + writes * i / samples);
    RunCommit(files, plan, true, pages, nullptr);
    Interrupted cut{files.TakeSnapshot(), true};
    const Observed o = Verify(cut.image, plan, pages, added);
    EXPECT_EQ(o.problem, "") << "sample " << i;
    cut.before = o.before;
    found.push_back(std::move(cut));
  }
  return found;
}

// Recovery is itself cut by a power loss at every write (and the close after
// it): the next open must still recover to the same side of the commit the
// interrupted recovery was bringing the container to, with nothing leaked.
TEST(RecoverySweep, APowerLossAnywhereInRecoveryRecoversToTheSameState) {
  for (const Plan& plan : {Plan{512, 12, 6, 3, 5}, Plan{256, 60, 40, 10, 30}}) {
    std::vector<std::uint32_t> pages, added;
    const std::vector<Interrupted> interrupted = InterruptedCommits(plan, pages, added, 6);
    std::uint64_t sawBefore = 0, sawAfter = 0;
    for (std::size_t i = 0; i < interrupted.size(); ++i) {
      auto recoverAndClose = [&](MemoryHostFiles& files) {
        auto v = MakeVolume(files, true);
        if (v->Open(kName, false) == 0) (void)v->Close();
      };
      MemoryHostFiles full(interrupted[i].image);
      full.ResetFaults();
      recoverAndClose(full);
      const std::uint64_t writes = full.WriteCount();
      for (std::uint64_t cut = 0; cut < writes; ++cut) {
        for (bool torn : {false, true}) {
          for (const testing::PowerLossCase& loss : testing::kPowerLosses) {
            MemoryHostFiles files(interrupted[i].image);
            files.ResetFaults();
            files.SetPowerLoss(loss.unflushed, loss.seed);
            files.CrashOrTearAt(cut, torn, plan.pageSize / 2);
            recoverAndClose(files);
            const Observed o = Verify(files.TakeSnapshot(), plan, pages, added);
            ASSERT_EQ(o.problem, "") << "page size " << plan.pageSize << ", sample " << i
                                     << ", crash after recovery write " << cut
                                     << (torn ? " (torn)" : "") << ", " << loss.name;
            ASSERT_EQ(o.before, interrupted[i].before)
                << "page size " << plan.pageSize << ", sample " << i << ", crash after write "
                << cut << (torn ? " (torn)" : "") << ", " << loss.name;
            (o.before ? sawBefore : sawAfter) += 1;
          }
        }
      }
    }
    EXPECT_GT(sawBefore, 0u);
    EXPECT_GT(sawAfter, 0u);
  }
}

// A container from a writer that journals into a file beside it (no
// transaction table): recovery replays the committed slots of "c.log" and
// then cuts the journal. A power loss anywhere in that recovery, or after it
// once newer changes were closed, must still leave the committed image home:
// the journal may go only once its pages are on the medium, and must stay
// gone once it is.
TEST(RecoverySweep, AJournalFileIsReplayedWholeWhateverThePowerLoss) {
  const Plan plan{512, 4, 0, 0, 0};
  std::vector<std::uint32_t> pages;
  MemoryHostFiles::Snapshot image = MakeBase(plan, false, pages);
  const std::uint32_t size = plan.pageSize;
  std::vector<std::uint8_t>& host = image[kName];
  // Mounted, with no table: the next writable open recovers from the file.
  StoreU16(host.data() + size + kMountedFlag, 1);
  StoreU32(host.data() + size + kTransactionTablePage, 0);
  // Slot 0 lists transaction 7 as committed; slot 1 holds its image of the
  // first data page.
  constexpr std::uint32_t kId = 7;
  std::vector<std::uint8_t> journal(2 * size, 0);
  StoreU32(journal.data() + kJournalCommittedFirst, kId);
  std::memcpy(journal.data() + size, host.data() + std::size_t{pages[0]} * size, size);
  FillPayload(journal.data() + size, size, 1000);
  StoreU32(journal.data() + size + kJournalSlotTransactionId, kId);
  image[u"c.log"] = journal;

  // The committed image is home and every other page as it was.
  auto expectReplayed = [&](const MemoryHostFiles::Snapshot& after, const std::string& where) {
    MemoryHostFiles files(after);
    auto v = MakeVolume(files, false);
    ASSERT_EQ(v->Open(kName, false), 0) << where;
    for (std::uint32_t k = 0; k < plan.existing; ++k) {
      PageRef p;
      ASSERT_EQ(v->GetPage(pages[k], true, DataPage, kOwner, nullptr, p), 0) << where;
      EXPECT_TRUE(PayloadIs(p.data(), size, k == 0 ? 1000 : k)) << where << ", page " << k;
    }
    EXPECT_EQ(v->Close(), 0) << where;
  };
  // Recovers, then makes and closes a newer change (a rewrite of the second
  // page).
  auto recoverThenChange = [&](MemoryHostFiles& files, bool transactions) {
    auto v = MakeVolume(files, transactions);
    if (v->Open(kName, false) != 0) return;
    Transaction* t = nullptr;
    if (v->Begin(false, t) == 0) {
      PageRef p;
      EngineResult r = v->GetPage(pages[1], true, DataPage, kOwner, t, p);
      if (r == 0) r = v->MarkDirty(p.get(), t);
      if (r == 0) FillPayload(p.data(), size, 1);  // the same bytes: a rewrite
      p = PageRef();
      if (r == 0)
        (void)v->Commit(t);
      else
        (void)v->Rollback(t);
    }
    (void)v->Close();
  };
  for (const bool transactions : {false, true}) {
    MemoryHostFiles full(image);
    full.ResetFaults();
    recoverThenChange(full, transactions);
    expectReplayed(full.TakeSnapshot(), "no power loss");
    const std::uint64_t writes = full.WriteCount();
    // Power lost after each write, and once everything has returned.
    for (std::uint64_t cut = 1; cut <= writes + 1; ++cut) {
      for (const testing::PowerLossCase& loss : testing::kPowerLosses) {
        MemoryHostFiles files(image);
        files.ResetFaults();
        files.SetPowerLoss(loss.unflushed, loss.seed);
        if (cut <= writes) files.CrashAfterWrites(cut);
        recoverThenChange(files, transactions);
        if (cut > writes) files.CrashAfterWrites(0);
        expectReplayed(files.TakeSnapshot(), std::string(transactions ? "transactions" : "none") +
                                                 ", power lost after write " +
                                                 std::to_string(cut) + ", " + loss.name);
        if (::testing::Test::HasFatalFailure()) return;
      }
    }
  }
}

// Once Close, or a writable open that recovered the container (without
// transactions, so it marks nothing mounted again), has returned, the clean
// mark is on the medium: a power loss then still leaves a volume that a
// read-only open, and the figures shown from it, find closed cleanly and
// recovered.
TEST(RecoverySweep, ACleanMarkIsOnTheMediumWhenCloseOrARecoveringOpenReturns) {
  const Plan plan{512, 12, 6, 3, 5};
  std::vector<std::uint32_t> pages, added;
  const std::vector<Interrupted> interrupted = InterruptedCommits(plan, pages, added, 4);
  struct Case {
    const char* name;
    bool close;
  };
  for (const Case& c : {Case{"close", true}, Case{"recovering open", false}}) {
    for (std::size_t i = 0; i < interrupted.size(); ++i) {
      for (const testing::PowerLossCase& loss : testing::kPowerLosses) {
        SCOPED_TRACE(std::string(c.name) + ", sample " + std::to_string(i) + ", " + loss.name);
        MemoryHostFiles files(interrupted[i].image);
        files.SetPowerLoss(loss.unflushed, loss.seed);
        {
          auto v = MakeVolume(files, c.close);
          ASSERT_EQ(v->Open(kName, false), 0);
          if (c.close) {
            ASSERT_EQ(v->Close(), 0);
          }
          files.CrashAfterWrites(0);
        }
        const MemoryHostFiles::Snapshot image = files.TakeSnapshot();
        {
          MemoryHostFiles reopened(image);
          auto v = MakeVolume(reopened, true);
          ASSERT_EQ(v->Open(kName, true), 0);
          EXPECT_FALSE(v->MountedFlag());
          EXPECT_EQ(v->Close(), 0);
        }
        const Observed o = Verify(image, plan, pages, added);
        EXPECT_EQ(o.problem, "");
        EXPECT_EQ(o.before, interrupted[i].before);
      }
    }
  }
}

TEST(CrashSweepWithoutTransactions, EveryWriteLeavesOldOrNewPagesAndOpens) {
  const Plan plan{512, 12, 6, 3, 5};
  std::vector<std::uint32_t> pages, added;
  const MemoryHostFiles::Snapshot base = MakeBase(plan, false, pages);
  MemoryHostFiles full(base);
  full.ResetFaults();
  RunCommit(full, plan, false, pages, &added);
  const std::uint64_t writes = full.WriteCount();
  for (std::uint64_t cut = 0; cut < writes; ++cut) {
    MemoryHostFiles files(base);
    files.ResetFaults();
    files.CrashAfterWrites(cut);
    RunCommit(files, plan, false, pages, nullptr);
    MemoryHostFiles reopened(files.TakeSnapshot());
    auto v = MakeVolume(reopened, false);
    ASSERT_EQ(v->Open(kName, false), 0) << "cut " << cut;
    for (std::uint32_t k = 0; k < plan.modified; ++k) {
      PageRef p;
      ASSERT_EQ(v->GetPage(pages[k], true, DataPage, kOwner, nullptr, p), 0) << "cut " << cut;
      EXPECT_TRUE(PayloadIs(p.data(), plan.pageSize, k) ||
                  PayloadIs(p.data(), plan.pageSize, 1000 + k))
          << "cut " << cut << " page " << pages[k];
    }
    StorageSize size;
    EXPECT_EQ(v->GetStorageSize(size), 0);
    EXPECT_EQ(v->Close(), 0);
  }
}

class TransactionTest : public ::testing::Test {
 protected:
  void Create(bool transactions, std::uint32_t pageSize = 512) {
    volume_ = MakeVolume(files_, transactions);
    ASSERT_EQ(volume_->Create(kName, false, pageSize, u""), 0);
  }
  std::uint32_t NewDataPage(Transaction* t, std::uint32_t seed) {
    PageRef p;
    EXPECT_EQ(volume_->AllocateNewPage(DataPage, t, p), 0);
    StoreU32(p.data() + kOwnerId, kOwner);
    FillPayload(p.data(), volume_->PageSize, seed);
    return p->PageNumber;
  }
  MemoryHostFiles files_;
  std::unique_ptr<Volume> volume_;
};

TEST_F(TransactionTest, WithoutTransactionsACommitWritesEachDirtyPageOnceAtHome) {
  Create(false);
  Transaction* t = nullptr;
  ASSERT_EQ(volume_->Begin(false, t), 0);
  std::vector<std::uint32_t> pages;
  for (std::uint32_t k = 0; k < 5; ++k) pages.push_back(NewDataPage(t, k));
  ASSERT_EQ(volume_->Commit(t), 0);
  ASSERT_EQ(volume_->Begin(false, t), 0);
  for (std::uint32_t n : pages) {
    PageRef p;
    ASSERT_EQ(volume_->GetPage(n, true, DataPage, kOwner, t, p), 0);
    ASSERT_EQ(volume_->MarkDirty(p.get(), t), 0);
    FillPayload(p.data(), volume_->PageSize, n + 50);
  }
  files_.ResetFaults();
  ASSERT_EQ(volume_->Commit(t), 0);
  EXPECT_EQ(files_.WriteCount(), pages.size());  // no table, no journal, no map change
  EXPECT_EQ(volume_->TransactionTableFirstPage(), 0u);
  const auto bytes = files_.Contents(kName);
  for (std::uint32_t n : pages)
    EXPECT_TRUE(PayloadIs(bytes.data() + std::size_t{n} * 512, 512, n + 50));
  EXPECT_EQ(volume_->Close(), 0);
}

// Write-behind keeps commits in memory: nothing reaches the file until the
// cache trims or the volume closes, a roll-back returns each page to its
// last commit (changed, freed, or its image dropped), and what the close
// writes reopens as the commits left it.
TEST_F(TransactionTest, WriteBehindWritesAtTheCloseAndARollbackReturnsToTheLastCommit) {
  Create(false);
  ASSERT_EQ(volume_->SetWriteBehind(true), 0);
  Transaction* t = nullptr;
  ASSERT_EQ(volume_->Begin(false, t), 0);
  std::vector<std::uint32_t> pages;
  for (std::uint32_t k = 0; k < 4; ++k) pages.push_back(NewDataPage(t, k));
  ASSERT_EQ(volume_->Commit(t), 0);
  // (Growing the file wrote the new pages' places; changes write nothing.)
  files_.ResetFaults();
  const auto change = [&](std::uint32_t n, std::uint32_t seed) {
    PageRef p;
    ASSERT_EQ(volume_->GetPage(n, true, DataPage, kOwner, t, p), 0);
    ASSERT_EQ(volume_->MarkDirty(p.get(), t), 0);
    FillPayload(p.data(), volume_->PageSize, seed);
  };
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(volume_->Begin(false, t), 0);
    for (std::uint32_t n : pages) change(n, n + 50 + round);
    ASSERT_EQ(volume_->Commit(t), 0);
  }
  EXPECT_EQ(files_.WriteCount(), 0u);

  // Changed or freed, every page goes back to the last commit, and a page
  // the transaction made goes.
  ASSERT_EQ(volume_->Begin(false, t), 0);
  change(pages[0], 99);
  {
    PageRef p;
    ASSERT_EQ(volume_->GetPage(pages[1], true, DataPage, kOwner, t, p), 0);
    ASSERT_EQ(volume_->DeletePage(p.Detach(), t), 0);
  }
  change(pages[2], 98);
  const std::uint32_t discarded = NewDataPage(t, 7);
  ASSERT_EQ(volume_->Rollback(t), 0);
  for (std::uint32_t n : pages) {
    PageRef p;
    ASSERT_EQ(volume_->GetPage(n, true, DataPage, kOwner, nullptr, p), 0);
    EXPECT_TRUE(PayloadIs(p.data(), volume_->PageSize, n + 52)) << "page " << n;
  }
  std::uint16_t entry = 1;
  ASSERT_EQ(volume_->GetMapEntry(discarded, entry), 0);
  EXPECT_EQ(entry, 0);
  ASSERT_EQ(volume_->Close(), 0);

  volume_ = MakeVolume(files_, false);
  ASSERT_EQ(volume_->Open(kName, false), 0);
  for (std::uint32_t n : pages) {
    PageRef p;
    ASSERT_EQ(volume_->GetPage(n, true, DataPage, kOwner, nullptr, p), 0);
    EXPECT_TRUE(PayloadIs(p.data(), volume_->PageSize, n + 52)) << "page " << n;
    ASSERT_EQ(volume_->GetMapEntry(n, entry), 0);
    EXPECT_EQ(entry, DataPage);
  }
  EXPECT_EQ(volume_->Close(), 0);
}

// More changed pages than the cache keeps: the trim writes the oldest as
// it goes, and the file ends up with every commit.
TEST_F(TransactionTest, WriteBehindLetsTheCacheTrimWhatItCannotKeep) {
  Create(false);
  ASSERT_EQ(volume_->SetWriteBehind(true), 0);
  std::vector<std::uint32_t> pages;
  Transaction* t = nullptr;
  for (std::uint32_t k = 0; k < 600; ++k) {
    ASSERT_EQ(volume_->Begin(false, t), 0);
    pages.push_back(NewDataPage(t, k));
    ASSERT_EQ(volume_->Commit(t), 0);
  }
  ASSERT_EQ(volume_->Close(), 0);
  volume_ = MakeVolume(files_, false);
  ASSERT_EQ(volume_->Open(kName, false), 0);
  for (std::uint32_t k = 0; k < pages.size(); ++k) {
    PageRef p;
    ASSERT_EQ(volume_->GetPage(pages[k], true, DataPage, kOwner, nullptr, p), 0);
    EXPECT_TRUE(PayloadIs(p.data(), volume_->PageSize, k)) << "page " << pages[k];
  }
  EXPECT_EQ(volume_->Close(), 0);
}

TEST_F(TransactionTest, JournalPagesAreReservedPerEntriesThatFitInOne) {
  // 4096-byte pages list 1019 pages per journal page: 2000 pages need two.
  Create(true, 4096);
  Transaction* t = nullptr;
  ASSERT_EQ(volume_->Begin(false, t), 0);
  for (std::uint32_t k = 0; k < 2000; ++k) NewDataPage(t, k);
  EXPECT_EQ(t->reserved.size(), 2u);
  ASSERT_EQ(volume_->Commit(t), 0);
  EXPECT_EQ(volume_->Close(), 0);
}

TEST_F(TransactionTest, RollbackForgetsChangesAndFreesNewPages) {
  Create(true);
  Transaction* t = nullptr;
  ASSERT_EQ(volume_->Begin(false, t), 0);
  const std::uint32_t kept = NewDataPage(t, 1);
  ASSERT_EQ(volume_->Commit(t), 0);

  ASSERT_EQ(volume_->Begin(false, t), 0);
  {
    PageRef p;
    ASSERT_EQ(volume_->GetPage(kept, true, DataPage, kOwner, t, p), 0);
    ASSERT_EQ(volume_->MarkDirty(p.get(), t), 0);
    FillPayload(p.data(), 512, 99);
    // Force the changed image out to its shadow before the roll-back.
    ASSERT_EQ(volume_->WriteDirtyPages(t), 0);
  }
  const std::uint32_t discarded = NewDataPage(t, 2);
  ASSERT_EQ(volume_->Rollback(t), 0);

  PageRef p;
  ASSERT_EQ(volume_->GetPage(kept, true, DataPage, kOwner, nullptr, p), 0);
  EXPECT_TRUE(PayloadIs(p.data(), 512, 1));
  p = PageRef();
  std::uint16_t entry = 1;
  ASSERT_EQ(volume_->GetMapEntry(discarded, entry), 0);
  EXPECT_EQ(entry, 0);
  EXPECT_EQ(volume_->RunningTransactions(), 0u);
  EXPECT_EQ(volume_->Close(), 0);
}

TEST_F(TransactionTest, APageBelongsToOneTransactionAndCloseWaitsForAll) {
  Create(true);
  Transaction* a = nullptr;
  Transaction* b = nullptr;
  ASSERT_EQ(volume_->Begin(false, a), 0);
  const std::uint32_t n = NewDataPage(a, 1);
  ASSERT_EQ(volume_->Begin(false, b), 0);
  PageRef p;
  EXPECT_EQ(volume_->GetPage(n, true, DataPage, kOwner, b, p), errSharingViolation);
  EXPECT_EQ(volume_->Close(), errActiveTransactions);
  EXPECT_TRUE(volume_->Active);
  ASSERT_EQ(volume_->Commit(a), 0);
  ASSERT_EQ(volume_->Commit(b), 0);
  EXPECT_EQ(volume_->Close(), 0);
}

TEST_F(TransactionTest, ReadOnlyOpenAfterACrashLeavesTheRecoveryForLater) {
  Create(true);
  Transaction* t = nullptr;
  ASSERT_EQ(volume_->Begin(false, t), 0);
  const std::uint32_t n = NewDataPage(t, 7);
  ASSERT_EQ(volume_->Commit(t), 0);
  // The process dies with the container open: no close.
  MemoryHostFiles crashed(files_.TakeSnapshot());
  volume_.reset();

  auto reader = MakeVolume(crashed, true);
  ASSERT_EQ(reader->Open(kName, true), 0);
  EXPECT_TRUE(reader->MountedFlag());
  ASSERT_EQ(reader->Close(), 0);
  auto image = crashed.Contents(kName);
  EXPECT_NE(LoadU16(image.data() + 512 + kMountedFlag), 0);

  auto writer = MakeVolume(crashed, true);
  ASSERT_EQ(writer->Open(kName, false), 0);
  PageRef p;
  ASSERT_EQ(writer->GetPage(n, true, DataPage, kOwner, nullptr, p), 0);
  EXPECT_TRUE(PayloadIs(p.data(), 512, 7));
  p = PageRef();
  ASSERT_EQ(writer->Close(), 0);
  image = crashed.Contents(kName);
  EXPECT_EQ(LoadU16(image.data() + 512 + kMountedFlag), 0);
}

}  // namespace
}  // namespace vaultfs
