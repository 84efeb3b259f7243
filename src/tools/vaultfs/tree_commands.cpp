// Folder trees: import, export.
#include <sys/ioctl.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "commands.h"
#include "common.h"
#include "vaultfs/disk_tree.h"
#include "vaultfs/engine_api.h"
#include "vaultfs/engine_types.h"
#include "vaultfs/name_mask.h"
#include "vaultfs/password_bytes.h"
#include "vaultfs/secret_bytes.h"
#include "vaultfs/utf16.h"
#include "vaultfs/vault_error.h"
#include "vaultfs/vault_storage.h"

namespace vaultfs_tool {
namespace {

std::string ByteFigure(double bytes) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 4) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
  return text;
}

// The progress bar of import and export: percent, bytes and the current
// file, on standard error when that is a terminal, redrawn at most ten times
// a second. The component reports scaled values; `totalBytes` turns them
// back into bytes.
class TreeProgress {
 public:
  explicit TreeProgress(std::uint64_t totalBytes)
      : totalBytes_(totalBytes), show_(isatty(STDERR_FILENO) != 0) {}
  ~TreeProgress() {
    if (drawn_) std::fputc('\n', stderr);
  }
  static bool Wanted() { return isatty(STDERR_FILENO) != 0; }

  void Update(const std::u16string& file, std::uint32_t progress, std::uint32_t total) {
    if (!show_) return;
    const auto now = std::chrono::steady_clock::now();
    const bool finished = progress >= total;
    if (drawn_ && !finished && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    drawn_ = true;
    const double fraction = total == 0 ? 1.0 : std::min(1.0, double(progress) / double(total));
    const int percent = static_cast<int>(fraction * 100);
    winsize size{};
    int columns = 80;
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 20) columns = size.ws_col;
    constexpr int kBar = 20;
    const int filled = std::clamp(static_cast<int>(fraction * kBar), 0, kBar);
    std::string line;
    line.reserve(static_cast<std::size_t>(columns) + 8);
    line += '[';
    line.append(static_cast<std::size_t>(filled), '#');
    line.append(static_cast<std::size_t>(kBar - filled), '.');
    line += "] ";
    char figures[96];
    std::snprintf(figures, sizeof figures, "%3d%%  %s / %s  ", percent,
                  ByteFigure(fraction * double(totalBytes_)).c_str(),
                  ByteFigure(double(totalBytes_)).c_str());
    line += figures;
    std::string name = vaultfs::Utf16ToUtf8(file);
    const std::size_t room = columns > static_cast<int>(line.size()) + 4
                                 ? static_cast<std::size_t>(columns) - line.size() - 1
                                 : 0;
    // Too long for the line: keep its end, where the file name is.
    if (name.size() > room) {
      if (room > 3) {
        line += "...";
        line.append(name, name.size() - (room - 3), std::string::npos);
      }
    } else {
      line += name;
    }
    std::fprintf(stderr, "\r%s\x1b[K", line.c_str());
    std::fflush(stderr);
  }

 private:
  std::uint64_t totalBytes_;
  bool show_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point last_{};
};

struct SpecialFileFound {
  std::string Path;
  mode_t Mode;
};

// The bytes an import of `folder` will copy. With `refuseSpecial` a device,
// FIFO or socket the import would select is refused here, before the
// container is even opened (opening and closing it rewrites its header).
std::uint64_t DiskTreeBytes(const std::string& folder, const std::u16string& mask, bool recursive,
                            bool refuseSpecial = false) {
  std::uint64_t total = 0;
  std::vector<std::string> pending = {folder};
  while (!pending.empty()) {
    const std::string path = pending.back();
    pending.pop_back();
    try {
      const vaultfs::DiskFolder open = vaultfs::OpenDiskFolder(path);
      for (const vaultfs::DiskEntry& entry : vaultfs::ListDiskFolder(open)) {
        if (entry.Stat.Kind == vaultfs::DiskKind::Directory) {
          if (recursive) pending.push_back(open.Path + entry.Name);
        } else if (vaultfs::MatchMask(vaultfs::DiskNameToStorage(entry.Name), mask, true)) {
          if (refuseSpecial && entry.Stat.Kind == vaultfs::DiskKind::Special)
            throw SpecialFileFound{open.Path + entry.Name, entry.Stat.Mode};
          total += entry.Stat.Size;
        }
      }
    } catch (const SpecialFileFound&) {
      throw;
    } catch (const std::exception&) {
      // The import itself reports what cannot be read.
    }
  }
  return total;
}

// The bytes an export of `directory` will copy, for the progress bar only.
std::uint64_t StorageTreeBytes(vaultfs::TVaultStorage& storage, const std::u16string& directory,
                               const std::u16string& mask, bool recursive) {
  std::uint64_t total = 0;
  std::vector<std::u16string> pending = {directory};
  while (!pending.empty()) {
    std::u16string path = pending.back();
    pending.pop_back();
    if (path.empty() || path.back() != u'/') path.push_back(u'/');
    vaultfs::TVaultSearchRec search;
    for (bool found = storage.FindFirst(search, path + u"*", 0xFFFFFFFFu); found;
         found = storage.FindNext(search)) {
      if (search.Attributes & vaultfs::attrDirectory) {
        if (recursive) pending.push_back(path + search.Name);
      } else if (!(search.Attributes & vaultfs::attrSymLink) &&
                 vaultfs::MatchMask(search.Name, mask, storage.CaseSensitive())) {
        total += search.Size;
      }
    }
  }
  return total;
}

}  // namespace

int CommandTree(int argc, char** argv, bool toStorage) {
  Arguments args;
  std::string error;
  std::vector<std::string_view> values = kFileValueOptions;
  values.push_back("--overwrite-mode");
  values.push_back("--mask");
  if (!ParseArguments(argc, argv, 2, {"--no-recursive", "--transactions"}, values, args, error))
    return UsageError(error);
  if (args.help) return std::fputs(kUsage, stdout), 0;
  if (!toStorage && args.Has("--transactions"))
    return UsageError("--transactions is an option of import");
  const std::size_t count = args.positional.size();
  if (toStorage ? (count < 2 || count > 3) : count != 3)
    return UsageError(toStorage ? "import needs FILE DIR [STORAGE_DIR]"
                                : "export needs FILE STORAGE_DIR DIR");
  std::int32_t overwriteMode = 2;
  if (const std::string* m = args.Value("--overwrite-mode")) {
    if (*m != "0" && *m != "1" && *m != "2") return UsageError("--overwrite-mode takes 0, 1 or 2");
    overwriteMode = (*m)[0] - '0';
  }
  const std::u16string mask =
      vaultfs::Utf8ToUtf16(args.Value("--mask") ? *args.Value("--mask") : std::string("*.*"));
  const bool recursive = !args.Has("--no-recursive");
  std::uint32_t encryption = 0, compression = 0, level = 0;
  vaultfs::SecretBytes unusedBytes;
  if (!ParseFileOptions(args, toStorage, encryption, compression, level, unusedBytes, error))
    return UsageError(error);
  std::u16string filesPassword, storagePassword;
  const vaultfs::WipeOnExit wipeFiles(filesPassword), wipeStorage(storagePassword);
  if (const std::string* f = args.Value("--password-file"))
    if (!ReadPasswordText(*f, filesPassword, error)) return UsageError(error);
  if (const std::string* f = args.Value(kStoragePasswordOption))
    if (!ReadPasswordText(*f, storagePassword, error)) return UsageError(error);

  const std::string& file = args.positional[0];
  const std::string disk = toStorage ? args.positional[1] : args.positional[2];
  const std::u16string inside = vaultfs::Utf8ToUtf16(
      toStorage ? (count == 3 ? args.positional[2] : std::string("/")) : args.positional[1]);
  // The container file copied last, to name it when the engine refuses
  // something (disk errors name their path themselves).
  std::u16string current;
  try {
    vaultfs::TVaultStorage storage;
    storage.SetOnImportExport([&current](vaultfs::TVaultStorage&, bool, const std::u16string&,
                                         vaultfs::TDateTime, const std::u16string& name,
                                         vaultfs::TDateTime, bool&) { current = name; });
    storage.SetFileName(vaultfs::Utf8ToUtf16(file));
    storage.SetPathSeparator(u'/');
    // An import writes a whole tree: journaling every file costs several
    // flushes per file, so as in the application the container is written in
    // place and flushed once at the end unless asked otherwise. An export
    // only reads.
    storage.SetUseTransactions(toStorage && args.Has("--transactions"));
    storage.SetReadOnly(!toStorage);
    storage.SetStoragePassword(storagePassword);
    storage.SetFilesEncryption(encryption);
    storage.SetFilesPassword(filesPassword);
    storage.SetCompression(static_cast<vaultfs::TVaultCompression>(compression));
    storage.SetCompressionLevel(level);
    if (toStorage) {
      try {
        (void)DiskTreeBytes(disk, mask, recursive, true);
      } catch (const SpecialFileFound& found) {
        vaultfs::RefuseSpecialFile(found.Path, found.Mode);
      }
    }
    storage.Open(2);
    if (storagePassword.empty() && storage.GetStorageEncryption() != vaultfs::ecNoEncryption)
      throw std::runtime_error(
          file + ": the container is enciphered: give its password with --storage-password-file");
    std::unique_ptr<TreeProgress> progress;
    if (TreeProgress::Wanted()) {
      progress = std::make_unique<TreeProgress>(
          toStorage ? DiskTreeBytes(disk, mask, recursive)
                    : StorageTreeBytes(storage, inside, mask, recursive));
      storage.SetOnProgress([&progress](vaultfs::TVaultStorage&, const std::u16string& name,
                                        vaultfs::TProgressOperation, std::uint32_t done,
                                        std::uint32_t total, bool,
                                        bool&) { progress->Update(name, done, total); });
    }
    if (toStorage) {
      storage.ImportFiles(vaultfs::Utf8ToUtf16(disk), mask, 63, recursive, inside, overwriteMode);
      // Closing drops engine errors; a flush first reports them.
      storage.Call(vaultfs::StorageFlush(storage.Handle()));
    } else {
      storage.ExportFiles(inside, mask, 63, recursive, vaultfs::Utf8ToUtf16(disk), overwriteMode);
    }
    progress.reset();
    if (!toStorage && storage.ExportDroppedSetIdBits() > 0) {
      std::fprintf(stderr,
                   "vaultfs: note: %llu files or folders had setuid or setgid bits, which were not "
                   "restored (ownership is not stored)\n",
                   static_cast<unsigned long long>(storage.ExportDroppedSetIdBits()));
    }
    storage.Close();
  } catch (const vaultfs::EVaultError& e) {
    if (current.empty())
      std::fprintf(stderr, "vaultfs: %s: %s\n", file.c_str(), e.what());
    else
      std::fprintf(stderr, "vaultfs: %s: %s (last file: %s)\n", file.c_str(), e.what(),
                   vaultfs::Utf16ToUtf8(current).c_str());
    return kExitFailure;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vaultfs: %s\n", e.what());
    return kExitFailure;
  }
  return 0;
}

}  // namespace vaultfs_tool
