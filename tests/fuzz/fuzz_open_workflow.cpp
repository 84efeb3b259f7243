// Hands arbitrary bytes to the open workflow as a protected folder and
// checks what it did to the disk. The input becomes <scratch>/box/victim._zkvlk
// and is opened the way `korvane-cli open` opens it: the Open window with a
// fixed password typed in and Open pressed, no terminal, every question
// answered Cancel. Beside and above the container stand canaries (files,
// folders, a link out of the box). Any outcome is acceptable except a crash,
// a hang, a leak, undefined behaviour and these, which abort:
//   - anything in <scratch> outside the restored folder and the container
//     appeared, went or changed (type, mode, contents, link target, times);
//   - a link inside the restored folder was written through: what it leads
//     to outside <scratch> changed during the open (inside <scratch> the
//     listing sees it);
//   - the restored folder is anything but a real folder, or a run that did
//     not end in success removed or changed the container.
//
// Random changes to a container's bytes mostly land in enciphered pages and
// come out as noise, which the engine refuses early. So half of the mutations
// are made to the deciphered pages, which are enciphered again afterwards:
// names, links, modes and sizes of well-formed entries change, and the
// restore meets them. The storage password is public for a classic
// container; for a hardened one it comes from its record under the fixed
// password (one derivation per record, remembered).
//
// A hardened container's key derivation costs what its record asks for.
// Opening refuses figures above its ceilings before deriving anything, but
// below them a record may still ask for gigabytes and minutes on purpose (a
// person may protect with that much); such inputs are not opened here. Every
// other figure changes the key anyway, so nothing is lost beyond the floor.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "korvane/forms/application.h"
#include "korvane/forms/container_layout.h"
#include "korvane/forms/controls.h"
#include "korvane/forms/enter_form.h"
#include "korvane/forms/globals.h"
#include "korvane/forms/ui.h"
#include "korvane/keys/hardened_keys.h"
#include "support/memory_host_files.h"
#include "support/scratch.h"
#include "vaultfs/format/page_layout.h"
#include "vaultfs/objects/file_object.h"
#include "vaultfs/objects/path_ops.h"
#include "vaultfs/objects/storage_password.h"
#include "vaultfs/password_bytes.h"
#include "vaultfs/utf16.h"
#include "vaultfs/util/byte_order.h"
#include "vaultfs/volume/volume.h"

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t maxSize);

namespace {

using korvane::TModalResult;

// The password the seeds are protected with.
constexpr const char* kPassword = "fuzz password";

[[noreturn]] void Violation(const std::string& what) {
  std::fprintf(stderr, "fuzz_open_workflow: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

// ---------------------------------------------------------------- the folders

struct Folders {
  std::string Base;     // per process: the homes and the scratch folder
  std::string Scratch;  // emptied and planted again for every input
  std::string Box;
  std::string Container;
  std::string Victim;
};

void WriteFile(const std::string& path, const void* bytes, std::size_t size, mode_t mode) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
  if (fd < 0) Violation("cannot write " + path);
  const auto* at = static_cast<const char*>(bytes);
  while (size > 0) {
    const ssize_t written = write(fd, at, size);
    if (written <= 0) Violation("cannot write " + path);
    at += written;
    size -= static_cast<std::size_t>(written);
  }
  close(fd);
}

void WriteText(const std::string& path, const std::string& text, mode_t mode = 0644) {
  WriteFile(path, text.data(), text.size(), mode);
}

void MakeDir(const std::string& path, mode_t mode = 0755) {
  if (mkdir(path.c_str(), mode) != 0) Violation("cannot make " + path);
}

void MakeLink(const std::string& target, const std::string& path) {
  if (symlink(target.c_str(), path.c_str()) != 0) Violation("cannot link " + path);
}

const Folders& TheFolders() {
  static const Folders folders = [] {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                          "/korvane-fuzz-open.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) Violation("cannot make a scratch folder");
    Folders made;
    made.Base = pattern;
    made.Scratch = made.Base + "/scratch";
    made.Box = made.Scratch + "/box";
    made.Container = made.Box + "/victim._zkvlk";
    made.Victim = made.Box + "/victim";
    // Settings, reports and the run lock of the program go here, never to
    // the person running the fuzzer.
    setenv("XDG_CONFIG_HOME", (made.Base + "/config").c_str(), 1);
    setenv("XDG_STATE_HOME", (made.Base + "/state").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (made.Base + "/runtime").c_str(), 1);
    return made;
  }();
  return folders;
}

// The canaries: what a restore must never touch. Links among them lead out
// of the box and out of the scratch folder's parts, so that a restore
// writing through a link shows up in the listing. Everything goes again
// after each input that passed its checks (libFuzzer ends without running
// exit handlers), so the folder name made once is made again here.
void PlantScratch(const Folders& folders) {
  testsupport::RemoveScratch(folders.Base);
  MakeDir(folders.Base, 0700);
  for (const char* home : {"config", "state", "runtime"}) MakeDir(folders.Base + "/" + home, 0700);
  MakeDir(folders.Scratch);
  WriteText(folders.Scratch + "/top-canary", "top\n");
  MakeDir(folders.Scratch + "/outside");
  WriteText(folders.Scratch + "/outside/canary", "outside\n");
  WriteText(folders.Scratch + "/outside/read-only", "read only\n", 0444);
  MakeDir(folders.Scratch + "/outside/folder");
  WriteText(folders.Scratch + "/outside/folder/inner", "inner\n", 0600);
  MakeDir(folders.Box);
  MakeDir(folders.Box + "/sibling");
  WriteText(folders.Box + "/sibling/canary", "sibling\n");
  WriteText(folders.Box + "/victim.txt", "a file named like the folder\n");
  MakeLink("../outside", folders.Box + "/link-out");
  MakeLink("sibling/canary", folders.Box + "/link-canary");
}

// ---------------------------------------------------------------- listings

std::string FileContents(const std::string& path) {
  std::string contents;
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return "<unreadable>";
  char buffer[4096];
  ssize_t got = 0;
  while ((got = read(fd, buffer, sizeof buffer)) > 0) {
    contents.append(buffer, static_cast<std::size_t>(got));
    // A canary is a few bytes: the size and the times tell of the rest.
    if (contents.size() > 65536) break;
  }
  close(fd);
  return contents;
}

std::string Times(const struct stat& info) {
  return std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec) + "/" +
         std::to_string(info.st_ctim.tv_sec) + "." + std::to_string(info.st_ctim.tv_nsec);
}

// Everything under `root` without following links: path -> type, mode,
// times and contents (a link: its target). `skip` names paths left out
// with all below them; `changing` names folders whose own times are left
// out (entries come and go in them by design).
using Listing = std::map<std::string, std::string>;
void ListTree(const std::string& root, const std::vector<std::string>& skip,
              const std::vector<std::string>& changing, Listing& out) {
  std::vector<std::string> pending{root};
  while (!pending.empty()) {
    const std::string path = pending.back();
    pending.pop_back();
    bool skipped = false;
    for (const std::string& s : skip) skipped = skipped || path == s;
    if (skipped) continue;
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) continue;
    std::string entry = std::to_string(info.st_mode) + " " + std::to_string(info.st_size);
    bool ownTimes = true;
    for (const std::string& c : changing) ownTimes = ownTimes && path != c;
    if (ownTimes) entry += " " + Times(info);
    if (S_ISLNK(info.st_mode)) {
      char target[PATH_MAX];
      const ssize_t length = readlink(path.c_str(), target, sizeof target);
      entry += " -> " + std::string(target, length > 0 ? static_cast<std::size_t>(length) : 0);
    } else if (S_ISREG(info.st_mode)) {
      entry += " " + FileContents(path);
    } else if (S_ISDIR(info.st_mode)) {
      if (DIR* stream = opendir(path.c_str())) {
        while (const dirent* child = readdir(stream)) {
          const std::string name = child->d_name;
          if (name != "." && name != "..") pending.push_back(path + "/" + name);
        }
        closedir(stream);
      }
    }
    out[path] = std::move(entry);
  }
}

Listing ListOutside(const Folders& folders) {
  Listing listing;
  ListTree(folders.Scratch, {folders.Victim, folders.Container}, {folders.Box}, listing);
  return listing;
}

void CompareListings(const Listing& before, const Listing& after) {
  for (const auto& [path, entry] : before) {
    const auto found = after.find(path);
    if (found == after.end()) Violation(path + " went away during the open");
    if (found->second != entry)
      Violation(path + " changed during the open: " + entry + " => " + found->second);
  }
  for (const auto& [path, entry] : after) {
    if (before.count(path) == 0) Violation(path + " appeared during the open: " + entry);
  }
}

bool Within(const std::string& path, const std::string& folder) {
  return path == folder || path.compare(0, folder.size() + 1, folder + "/") == 0;
}

bool After(const timespec& a, const timespec& since) {
  return a.tv_sec > since.tv_sec || (a.tv_sec == since.tv_sec && a.tv_nsec >= since.tv_nsec);
}

// The restored folder, when there is one, is a real folder, and no link in
// it led a write out of <scratch>: whatever a link leads to outside changed
// no later than the input was planted. What lies inside <scratch> the
// listing covers; folders holding <scratch> change with everyone's work, and
// the kernel's own trees are no disk.
void CheckRestoredLinks(const Folders& folders, const timespec& since) {
  struct stat info {};
  if (lstat(folders.Victim.c_str(), &info) != 0) return;
  if (!S_ISDIR(info.st_mode)) Violation(folders.Victim + " is not a real folder after the open");
  std::vector<std::string> pending{folders.Victim};
  while (!pending.empty()) {
    const std::string path = pending.back();
    pending.pop_back();
    if (lstat(path.c_str(), &info) != 0) continue;
    if (S_ISDIR(info.st_mode)) {
      if (DIR* stream = opendir(path.c_str())) {
        while (const dirent* child = readdir(stream)) {
          const std::string name = child->d_name;
          if (name != "." && name != "..") pending.push_back(path + "/" + name);
        }
        closedir(stream);
      }
      continue;
    }
    if (!S_ISLNK(info.st_mode)) continue;
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr) continue;
    const std::string target = resolved;
    if (Within(target, folders.Scratch) || Within(folders.Scratch, target)) continue;
    bool kernel = false;
    for (const char* tree : {"/proc", "/sys", "/dev", "/run"}) kernel = kernel || Within(target, tree);
    if (kernel) continue;
    struct stat led {};
    if (stat(target.c_str(), &led) == 0 && After(led.st_ctim, since))
      Violation(path + " leads to " + target + ", which changed during the open");
  }
}

// ---------------------------------------------------------------- the person

// A derivation at the floor's cost at most (see the top of the file).
bool AffordableKdf(const korvane::KdfParameters& kdf) {
  return kdf.TimeCost <= korvane::kKdfFloor.TimeCost &&
         kdf.MemoryKiB <= korvane::kKdfFloor.MemoryKiB;
}

// What korvane-cli does without a terminal: the password is typed into the
// Open window and Open pressed; a question is answered Cancel (no --yes);
// nothing is shown in a file manager.
// With KORVANE_FUZZ_TRACE set, every message box goes to standard error (for
// a look at what one input does).
class FuzzUi final : public korvane::Ui {
 public:
  TModalResult MessageBox(const std::string& caption, const std::string& text,
                          korvane::TMsgIcon, korvane::TMsgButtons buttons) override {
    if (trace_) std::fprintf(stderr, "[box] %s: %s\n", caption.c_str(), text.c_str());
    return buttons == korvane::TMsgButtons::OkCancel ? korvane::mrCancel : korvane::mrOk;
  }

  void RunForm(korvane::TForm& form) override {
    if (auto* enter = dynamic_cast<korvane::TfrmEnter*>(&form)) {
      if (enter->CanOpen() && Affordable(*enter)) enter->OpenWithPassword(kPassword);
    }
    if (form.Visible()) form.Close();
  }

  void ProcessMessages() override {}
  void CopyToClipboard(const std::string&) override {}
  bool ShellOpen(const std::string&) override { return true; }
  void Navigate(korvane::TWebBrowser&, const std::string&) override {}

 private:
  const bool trace_ = std::getenv("KORVANE_FUZZ_TRACE") != nullptr;

  static bool Affordable(const korvane::TfrmEnter& enter) {
    return !enter.PublicRecord || AffordableKdf(enter.PublicRecord->Record.Kdf);
  }
};

// ---------------------------------------------------------------- mutations

// The storage password of an open volume: the classic layout's public one,
// or the one a hardened record gives under kPassword (nothing when it gives
// none, or would cost more than the floor). Records are remembered, each
// costs a derivation.
std::optional<std::u16string> StoragePasswordOf(vaultfs::ObjectStore& store) {
  std::vector<std::uint8_t> record(korvane::MaxPublicEscrowSize(korvane::kContainerPageSize) +
                                   korvane::kHardenedRecordSize);
  auto size = static_cast<std::uint32_t>(record.size());
  if (vaultfs::PathGetFileTag(store, korvane::kRootPath, korvane::kPublicRecordTag, record.data(),
                              size) != 0)
    return vaultfs::Utf8ToUtf16(korvane::kStoragePasswordText);
  if (size < korvane::kHardenedRecordSize) return std::nullopt;
  record.resize(korvane::kHardenedRecordSize);
  static std::map<std::vector<std::uint8_t>, std::optional<std::u16string>> known;
  if (const auto found = known.find(record); found != known.end()) return found->second;
  std::optional<std::u16string> password;
  try {
    const korvane::HardenedRecord decoded = korvane::DecodeHardenedRecord(record);
    if (AffordableKdf(decoded.Kdf)) {
      if (const auto master =
              korvane::OpenHardenedRecord(decoded, korvane::PasswordBytes(kPassword))) {
        password =
            korvane::ToEnginePassword(korvane::DeriveSubkeys(*master).StoragePassword).text();
      }
    }
  } catch (const korvane::HardenedKeyError&) {
  }
  if (known.size() >= 64) known.clear();
  known.emplace(std::move(record), password);
  return password;
}

// The storage key of a container and where its pages lie.
struct ContainerPages {
  std::shared_ptr<vaultfs::PageCipherHook> Key;
  std::size_t Start = 0;  // byte offset of page 0
  std::size_t PageSize = 0;
  std::uint32_t PageShift = 0;
  std::size_t Count = 0;
};

// False when the bytes are no container this can unlock.
bool Unlock(const std::uint8_t* data, std::size_t size, ContainerPages& pages) {
  vaultfs::testing::MemoryHostFiles files;
  const std::u16string name = u"container";
  files.SetContents(name, std::vector<std::uint8_t>(data, data + size));
  vaultfs::Volume volume;
  if (volume.SetHostFileCallbacks(files.Callbacks()) != 0) return false;
  vaultfs::ObjectStore store(volume);
  if (volume.Open(name, true) != 0) return false;
  const std::optional<std::u16string> password = StoragePasswordOf(store);
  bool unlocked = false;
  if (password && !volume.ByteSwapped &&
      volume.PageSize >= 2 * vaultfs::layout::kPageHeaderSize) {
    const vaultfs::PasswordBytes bytes(*password);
    unlocked = vaultfs::SupplyStoragePassword(
                   store, {static_cast<const std::uint8_t*>(bytes.data()), bytes.size()}) == 0 &&
               volume.ReadKey != nullptr;
  }
  if (unlocked) {
    pages.Key = volume.ReadKey;
    pages.PageSize = volume.PageSize;
    pages.PageShift = volume.PageShift;
    pages.Start = std::size_t{volume.VolumeStart} * volume.PageSize;
    pages.Count = size > pages.Start ? (size - pages.Start) / pages.PageSize : 0;
  }
  (void)volume.Close();
  return unlocked && pages.Count > 0;
}

// Deciphers (or enciphers) in place every page that the engine keeps
// enciphered, as its page reader decides: by the page's type and owner,
// with the page number stored in it as the tweak.
bool CipherPages(const ContainerPages& pages, std::uint8_t* data, bool encipher) {
  namespace layout = vaultfs::layout;
  const auto payload = static_cast<std::uint32_t>(pages.PageSize - layout::kPageHeaderSize);
  for (std::size_t n = 0; n < pages.Count; ++n) {
    std::uint8_t* page = data + pages.Start + n * pages.PageSize;
    if (!layout::IsEncipheredPageType(vaultfs::LoadU16(page + layout::kPageType),
                                      vaultfs::LoadU32(page + layout::kOwnerId), pages.PageShift))
      continue;
    std::uint8_t* body = page + layout::kPageHeaderSize;
    const std::uint32_t a = static_cast<std::uint32_t>(pages.PageSize);
    const std::uint32_t b = vaultfs::LoadU32(page + layout::kPageNumber);
    if ((encipher ? pages.Key->Encipher(body, payload, a, b)
                  : pages.Key->Decipher(body, payload, a, b)) != 0)
      return false;
  }
  return true;
}

}  // namespace

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size,
                                               std::size_t maxSize, unsigned int seed) {
  ContainerPages pages;
  if (seed % 2 == 0 || !Unlock(data, size, pages))
    return LLVMFuzzerMutate(data, size, maxSize);
  if (!CipherPages(pages, data, false)) return LLVMFuzzerMutate(data, size, maxSize);
  // At most the same size, so that the pages stay where they are; a shorter
  // result keeps the first pages, enciphered like the rest.
  const std::size_t mutated = LLVMFuzzerMutate(data, size, size);
  (void)CipherPages(pages, data, true);
  return mutated;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Folders& folders = TheFolders();
  PlantScratch(folders);
  WriteFile(folders.Container, data, size, 0644);
  struct stat planted {};
  if (lstat(folders.Container.c_str(), &planted) != 0) Violation("the container is not there");
  const Listing before = ListOutside(folders);

  FuzzUi ui;
  korvane::TApplication app(ui);
  try {
    (void)app.Run({"korvane", "-OPEN", folders.Container});
  } catch (const std::exception&) {
    // korvane-cli reports it and exits 1: a refusal like any other, as long
    // as the disk is as it must be.
  }
  const korvane::TWorkflowOutcome outcome =
      app.frmEnter ? app.frmEnter->Outcome : korvane::TWorkflowOutcome::woNone;

  if (std::getenv("KORVANE_FUZZ_TRACE") != nullptr)
    std::fprintf(stderr, "[outcome] %d\n", static_cast<int>(outcome));

  CompareListings(before, ListOutside(folders));
  CheckRestoredLinks(folders, planted.st_ctim);
  struct stat info {};
  const bool containerLeft = lstat(folders.Container.c_str(), &info) == 0;
  if (outcome == korvane::TWorkflowOutcome::woDone) {
    if (containerLeft) Violation("the open succeeded and kept the container");
    if (lstat(folders.Victim.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
      Violation("the open succeeded without a restored folder");
  } else {
    if (!containerLeft || !S_ISREG(info.st_mode)) Violation("a failed open lost the container");
    const std::string kept = FileContents(folders.Container);
    if (static_cast<std::size_t>(info.st_size) != size ||
        (size <= 65536 && kept != std::string(reinterpret_cast<const char*>(data), size)))
      Violation("a failed open changed the container");
  }
  testsupport::RemoveScratch(folders.Base);
  return 0;
}
