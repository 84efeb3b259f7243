// The figures of the progress window: bytes and files from the storage's
// reports, the time since the work started and the estimate of what is left,
// driven by a clock of the test's own.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "korvane/forms/application.h"
#include "korvane/forms/progress_form.h"
#include "scripted_ui.h"

namespace korvane {
namespace {

using testing::ScriptedUi;
using namespace std::chrono_literals;

// A progress window on a clock the test moves, and a storage to report from.
struct Window {
  ScriptedUi ui;
  TApplication app{ui};
  TfrmProgress* progress = nullptr;
  vaultfs::TVaultStorage storage;
  std::chrono::steady_clock::time_point now{std::chrono::hours(1)};
  bool stop = false;

  Window() {
    app.ParseCommandLine({"korvane", "-PROTECT", "/data/x"});
    app.CreateForms();
    progress = app.frmProgress.get();
    progress->SetClock([this] { return now; });
    progress->Show();
  }
  // One report of the copy (figures as the storage gives them).
  void Report(const std::u16string& name, std::uint32_t done, std::uint32_t total) {
    progress->VaultStorageProgress(storage, name, vaultfs::poCopyFile, done, total, true, stop);
  }
  // The copy's question before each file (asked of the window once its
  // first report came).
  void Starts(const std::u16string& name) {
    bool overwrite = true;
    ASSERT_TRUE(storage.OnImportExport()) << "the window counts the files through it";
    storage.OnImportExport()(storage, true, u"/disk/" + name, 0, name, 0, overwrite);
    EXPECT_TRUE(overwrite) << "the question's answer is left as it was";
  }
};

TEST(ProgressFigures, BytesFilesTimeAndTheEstimateFollowTheReports) {
  Window w;
  EXPECT_EQ(w.progress->FiguresText(), "") << "nothing to say before the copy";
  w.now += 4s;  // listing the tree: nothing is known yet
  w.Report(u"DATA\\sub", 0, 0);
  TProgressFigures figures = w.progress->Figures();
  EXPECT_EQ(figures.BytesTotal, 0u);
  EXPECT_DOUBLE_EQ(figures.SecondsElapsed, 4.0);
  EXPECT_FALSE(figures.SecondsRemaining);

  // 100000 bytes in three files; the storage reports halves.
  w.Starts(u"DATA\\a.bin");
  w.Report(u"DATA\\a.bin", 8192, 50000);
  figures = w.progress->Figures();
  EXPECT_EQ(figures.BytesDone, 16384u);
  EXPECT_EQ(figures.BytesTotal, 100000u);
  EXPECT_EQ(figures.FilesDone, 0u);
  EXPECT_EQ(figures.FilesTotal, 1u) << "the files the copy took up so far";
  EXPECT_EQ(figures.CurrentPath, "a.bin");
  EXPECT_EQ(figures.Percent, 16u);

  w.now += 1s;
  w.Report(u"DATA\\a.bin", 30000, 50000);
  EXPECT_FALSE(w.progress->Figures().SecondsRemaining) << "too early for an estimate";

  w.Starts(u"DATA\\sub\\b.txt");
  w.now += 2s;
  w.Report(u"DATA\\sub\\b.txt", 40000, 50000);
  figures = w.progress->Figures();
  EXPECT_EQ(figures.FilesDone, 1u);
  EXPECT_EQ(figures.FilesTotal, 2u);
  EXPECT_EQ(figures.CurrentPath, "sub/b.txt");
  EXPECT_EQ(w.progress->OperationLine, "Copying file sub\\b.txt") << "the storage's own text";
  EXPECT_EQ(w.progress->DisplayLine(), "Copying file sub/b.txt");
  EXPECT_DOUBLE_EQ(figures.SecondsElapsed, 7.0);
  // 80000 - 16384 bytes in the 3 s since the copy's first report.
  ASSERT_TRUE(figures.SecondsRemaining);
  EXPECT_NEAR(*figures.SecondsRemaining, 20000.0 * 3 / (80000 - 16384), 1e-9);
  EXPECT_EQ(w.progress->FiguresText(), "80.0 kB of 100.0 kB, about 1 s left");

  w.Starts(u"DATA\\sub\\empty");
  w.Report(u"DATA\\sub\\empty", 50000, 50000);
  w.Report(u"DATA\\sub\\empty", 50000, 50000);  // the copy's last report
  figures = w.progress->Figures();
  EXPECT_EQ(figures.BytesDone, 100000u);
  EXPECT_EQ(figures.FilesDone, 3u);
  EXPECT_EQ(figures.FilesTotal, 3u);
  EXPECT_EQ(figures.Percent, 100u);
  EXPECT_TRUE(figures.CopyComplete);
  EXPECT_EQ(figures.SecondsRemaining.value_or(-1), 0.0);
  EXPECT_EQ(w.progress->FiguresText(), "100.0 kB of 100.0 kB");

  // A line of the workflow's own names a disk path: shown as it is.
  w.progress->ShowOperationText("Verifying file odd\\name");
  EXPECT_EQ(w.progress->DisplayLine(), "Verifying file odd\\name");
}

TEST(ProgressFigures, TheEstimateWaitsForTimeAndAPartOfTheWork) {
  struct Case {
    std::chrono::milliseconds after;
    std::uint32_t done;  // of 1000000 reported
    bool estimated;
  };
  const std::vector<Case> cases = {
      {1999ms, 500000, false},  // half the work, but not 2 s yet
      {10s, 40000, false},      // 10 s, but 4 % only
      {2s, 50000, true},
      {60s, 999999, true},
  };
  for (const Case& c : cases) {
    Window w;
    w.Report(u"DATA\\f", 0, 1000000);
    w.now += c.after;
    w.Report(u"DATA\\f", c.done, 1000000);
    const TProgressFigures figures = w.progress->Figures();
    EXPECT_EQ(figures.SecondsRemaining.has_value(), c.estimated) << c.after.count() << " ms";
    if (figures.SecondsRemaining) {
      const double seconds = std::chrono::duration<double>(c.after).count();
      EXPECT_NEAR(*figures.SecondsRemaining, seconds * (1000000 - c.done) / c.done, 1e-6);
    }
  }
}

TEST(ProgressFigures, AnnouncedWorkIsExactAndTheTimeRunsFromTheFirstShowing) {
  Window w;
  w.progress->SetWorkSize(4, 100001);
  EXPECT_EQ(w.progress->Figures().FilesTotal, 4u);
  EXPECT_EQ(w.progress->Figures().BytesTotal, 100001u);
  w.progress->Hide();
  w.now += 3s;
  w.progress->Show();  // a workflow shows the window again for its next step
  w.Report(u"DATA\\a", 50000, 50000);
  TProgressFigures figures = w.progress->Figures();
  EXPECT_EQ(figures.BytesDone, 100001u) << "all of it: the odd byte the report halves away too";
  EXPECT_EQ(figures.BytesTotal, 100001u);
  EXPECT_EQ(figures.FilesTotal, 4u);
  EXPECT_DOUBLE_EQ(figures.SecondsElapsed, 3.0);

  // Figures that do not fit the announcement are the reports' own.
  Window other;
  other.progress->SetWorkSize(1, 10);
  other.Report(u"DATA\\a", 100, 200);
  EXPECT_EQ(other.progress->Figures().BytesTotal, 400u);
}

TEST(ProgressFigures, TheReadBackIsAStageOfItsOwnWithItsOwnEstimate) {
  Window w;
  EXPECT_EQ(w.progress->Figures().Stage, "scan") << "nothing sized yet";
  w.progress->SetWorkSize(2, 2000);
  EXPECT_EQ(w.progress->Figures().Stage, "copy");
  w.Report(u"DATA\\a", 1000, 1000);
  w.now += 10s;
  w.progress->ShowVerifying("sub/a", 0, 2000);
  TProgressFigures figures = w.progress->Figures();
  EXPECT_EQ(figures.Stage, "verify");
  EXPECT_EQ(figures.BytesDone, 0u);
  EXPECT_EQ(figures.BytesTotal, 2000u);
  EXPECT_EQ(figures.FilesDone, 0u);
  EXPECT_EQ(figures.FilesTotal, 2u);
  EXPECT_EQ(figures.CurrentPath, "sub/a");
  EXPECT_EQ(w.progress->DisplayLine(), "Verifying file sub/a");
  EXPECT_FALSE(figures.SecondsRemaining) << "the copy's rate says nothing of the read-back's";

  w.now += 4s;
  w.progress->ShowVerifying("sub/a", 500, 2000);
  w.progress->ShowVerifying("b", 500, 2000);
  figures = w.progress->Figures();
  EXPECT_EQ(figures.Percent, 25u);
  EXPECT_EQ(figures.FilesDone, 1u);
  EXPECT_EQ(figures.CurrentPath, "b");
  ASSERT_TRUE(figures.SecondsRemaining);
  EXPECT_DOUBLE_EQ(*figures.SecondsRemaining, 12.0) << "500 bytes in 4 s, 1500 to go";
  EXPECT_EQ(w.progress->barProgress.Position, 0u) << "the bar counts whole KB";

  w.progress->ShowVerifying("b", 2000, 2000);
  figures = w.progress->Figures();
  EXPECT_EQ(figures.Percent, 100u);
  EXPECT_EQ(figures.FilesDone, 2u);
  EXPECT_EQ(*figures.SecondsRemaining, 0.0);
  EXPECT_EQ(w.progress->FiguresText(), "2.0 kB of 2.0 kB");
}

TEST(ProgressFigures, TotalsBeyondTwoGigabytesTakeTheirScaleFromAWholeBlock) {
  Window w;
  // 6 GiB reported in quarters: a 16 KiB block moves the figure by 4096.
  const std::uint32_t total = 0x60000000u;
  w.Report(u"DATA\\huge", 4096, total);
  w.Report(u"DATA\\huge", 8192, total);
  const TProgressFigures figures = w.progress->Figures();
  EXPECT_EQ(figures.BytesTotal, std::uint64_t{total} << 2);
  EXPECT_EQ(figures.BytesDone, 32768u);
}

TEST(ProgressFigures, AFolderTakenForTheFirstFileIsTakenBack) {
  Window w;
  // The copy's first report names a folder it went through; its listing
  // was too quick to report, so the question about the folder's first file
  // went by unseen.
  w.Report(u"DATA\\sub", 0, 10);
  EXPECT_EQ(w.progress->Figures().FilesTotal, 1u);
  w.Starts(u"DATA\\sub\\f");
  w.Report(u"DATA\\sub\\f", 5, 10);
  EXPECT_EQ(w.progress->Figures().FilesTotal, 1u);
  w.Starts(u"DATA\\sub\\g");
  w.Report(u"DATA\\sub\\g", 10, 10);
  EXPECT_EQ(w.progress->Figures().FilesTotal, 2u);
  EXPECT_EQ(w.progress->Figures().FilesDone, 2u);
}

TEST(ProgressFigures, SizesAndTimesReadAsPeopleSayThem) {
  const std::vector<std::pair<std::uint64_t, std::string>> sizes = {
      {0, "0 B"},           {999, "999 B"},           {1000, "1.0 kB"},
      {12345, "12.3 kB"},   {999949, "999.9 kB"},     {999950, "1.0 MB"},
      {12300000, "12.3 MB"}, {45600000000, "45.6 GB"}, {1500000000000, "1.5 TB"},
  };
  for (const auto& [bytes, text] : sizes) EXPECT_EQ(ByteSizeText(bytes), text) << bytes;
  const std::vector<std::pair<double, std::string>> times = {
      {0, "about 0 s left"},       {0.2, "about 1 s left"},      {40.2, "about 41 s left"},
      {89, "about 89 s left"},     {150, "about 3 min left"},    {7000, "about 117 min left"},
      {3 * 3600.0, "about 3 h left"},
  };
  for (const auto& [seconds, text] : times) EXPECT_EQ(TimeLeftText(seconds), text) << seconds;
  EXPECT_EQ(DisplayPath("a\\b\\c.txt"), "a/b/c.txt");
}

}  // namespace
}  // namespace korvane
