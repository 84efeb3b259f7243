// Maintenance: format, check, repair, compact, resize.
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>

#include "commands.h"
#include "common.h"
#include "vaultfs/engine_api.h"
#include "vaultfs/engine_types.h"
#include "vaultfs/secret_bytes.h"
#include "vaultfs/utf16.h"

namespace vaultfs_tool {
namespace {

// A one-line progress report on a terminal: what is being done and how far.
class PhaseProgress {
 public:
  PhaseProgress() : show_(isatty(STDERR_FILENO) != 0) {}
  ~PhaseProgress() { Finish(); }
  void Finish() {
    if (drawn_) std::fputs("\r\x1b[K", stderr);
    drawn_ = false;
  }
  static void Callback(void* userData, std::uint8_t operation, std::uint32_t progress,
                       std::uint32_t total, bool, bool& stop) {
    stop = false;
    static_cast<PhaseProgress*>(userData)->Update(operation, progress, total);
  }

 private:
  void Update(std::uint8_t operation, std::uint32_t progress, std::uint32_t total) {
    if (!show_ || total == 0) return;  // findings (total 0) are counted in the summary
    const auto now = std::chrono::steady_clock::now();
    if (drawn_ && operation == operation_ && progress < total &&
        now - last_ < std::chrono::milliseconds(100))
      return;
    last_ = now;
    operation_ = operation;
    drawn_ = true;
    static constexpr const char* kNames[] = {"formatting",
                                             "reading pages",
                                             "checking links",
                                             "searching orphans",
                                             "writing repairs",
                                             "",
                                             "",
                                             "",
                                             "",
                                             "",
                                             "",
                                             "",
                                             "encrypting",
                                             "decrypting",
                                             "compacting"};
    const char* name = operation < std::size(kNames) ? kNames[operation] : "working";
    std::fprintf(stderr, "\r%-18s %3u%%\x1b[K", name,
                 static_cast<unsigned>(std::uint64_t{progress} * 100 / total));
    std::fflush(stderr);
  }

  bool show_;
  bool drawn_ = false;
  std::uint8_t operation_ = 0xFF;
  std::chrono::steady_clock::time_point last_{};
};

// A byte count with an optional K, M or G suffix (powers of 1024).
bool ParseByteCount(std::string_view text, std::uint64_t& value) {
  std::uint64_t unit = 1;
  if (!text.empty()) {
    switch (text.back()) {
      case 'K':
      case 'k':
        unit = 1ull << 10;
        break;
      case 'M':
      case 'm':
        unit = 1ull << 20;
        break;
      case 'G':
      case 'g':
        unit = 1ull << 30;
        break;
      default:
        break;
    }
    if (unit != 1) text.remove_suffix(1);
  }
  if (!ParseUnsigned(text, value) || value > (~0ull) / unit) return false;
  value *= unit;
  return true;
}

bool FileExistsOnDisk(const std::string& path) {
  return ::access(path.c_str(), F_OK) == 0;
}

// Opens FILE for writing through the entry layer with its storage password.
EngineResult OpenForMaintenance(const std::string& file, const Arguments& args,
                                vaultfs::StorageHandle& handle, std::string& error) {
  vaultfs::SecretBytes password;
  if (const std::string* f = args.Value(kStoragePasswordOption))
    if (!ReadPasswordFile(*f, password, error)) return vaultfs::errInvalidParameter;
  EngineResult r = vaultfs::StorageOpen(vaultfs::Utf8ToUtf16(file), handle, u'/', true, false);
  if (r != 0) return r;
  std::uint32_t mode = 0;
  r = vaultfs::StorageGetEncryption(handle, mode);
  if (r == 0 && mode != 0) {
    if (password.span().empty()) {
      error = "the container is enciphered: give its password with --storage-password-file";
      r = vaultfs::errInvalidPassword;
    } else {
      r = vaultfs::StorageSupplyPassword(handle, password.span().data(),
                                         static_cast<std::uint32_t>(password.span().size()));
    }
  }
  if (r != 0) {
    (void)vaultfs::StorageClose(handle);
    handle = nullptr;
  }
  return r;
}

int MaintenanceFailure(const std::string& file, const std::string& error, EngineResult r) {
  if (!error.empty())
    std::fprintf(stderr, "vaultfs: %s: %s\n", file.c_str(), error.c_str());
  else
    Failure(file, r);
  return kExitFailure;
}

}  // namespace

int CommandFormat(int argc, char** argv) {
  Arguments args;
  std::string error;
  if (!ParseArguments(argc, argv, 2, {"--quick", "--boot-area", "--overwrite"},
                      {"--size", "--page-size", "--fat", "--logo"}, args, error))
    return UsageError(error);
  if (args.help) return std::fputs(kUsage, stdout), 0;
  if (args.positional.size() != 1) return UsageError("format needs exactly one FILE");
  const std::string& file = args.positional[0];
  std::uint64_t size = 0, pageSize = 4096;
  const std::string* sizeText = args.Value("--size");
  if (!sizeText) return UsageError("format needs --size BYTES");
  if (!ParseByteCount(*sizeText, size) || size == 0)
    return UsageError("--size takes a byte count above 0 (suffixes K, M, G)");
  if (const std::string* text = args.Value("--page-size")) {
    if (!ParseUnsigned(*text, pageSize) || pageSize > 0xFFFFFFFFu) pageSize = 0;
  }
  std::uint32_t flags = 0;
  if (args.Has("--quick")) flags |= 0x01;
  if (args.Has("--boot-area")) flags |= 0x20;
  if (const std::string* fat = args.Value("--fat")) {
    static constexpr std::pair<std::string_view, std::uint32_t> kAreas[] = {
        {"64K", 2}, {"256K", 4}, {"1M", 6},   {"2M", 8},
        {"4M", 10}, {"8M", 12},  {"16M", 14}, {"all", 16}};
    std::uint32_t code = 0;
    for (const auto& [name, value] : kAreas)
      if (*fat == name) code = value;
    if (code == 0) return UsageError("--fat takes 64K, 256K, 1M, 2M, 4M, 8M, 16M or all");
    flags |= code;
  }
  std::u16string logo;
  if (const std::string* text = args.Value("--logo")) logo = vaultfs::Utf8ToUtf16(*text);
  if (FileExistsOnDisk(file) && !args.Has("--overwrite")) {
    std::fprintf(stderr, "vaultfs: %s: file exists (use --overwrite to replace it)\n",
                 file.c_str());
    return kExitFailure;
  }
  PhaseProgress progress;
  const EngineResult r =
      vaultfs::StorageFormat(vaultfs::Utf8ToUtf16(file), size, static_cast<std::uint32_t>(pageSize),
                             logo, flags, &progress, &PhaseProgress::Callback);
  progress.Finish();
  if (r != 0) return Failure(file, r);
  std::printf("formatted %s: %llu bytes, page size %llu\n", file.c_str(),
              static_cast<unsigned long long>(size), static_cast<unsigned long long>(pageSize));
  return 0;
}

int CommandCheck(int argc, char** argv, bool repair) {
  Arguments args;
  std::string error;
  if (!ParseArguments(argc, argv, 2, {"--all-pages"}, {kStoragePasswordOption}, args, error))
    return UsageError(error);
  if (args.help) return std::fputs(kUsage, stdout), 0;
  if (args.positional.size() != 1)
    return UsageError(repair ? "repair needs exactly one FILE" : "check needs exactly one FILE");
  const std::string& file = args.positional[0];
  const std::u16string name = vaultfs::Utf8ToUtf16(file);
  vaultfs::SecretBytes password;
  if (const std::string* f = args.Value(kStoragePasswordOption))
    if (!ReadPasswordFile(*f, password, error)) return UsageError(error);
  // The page size the container says it has; a container too damaged to say
  // is tried with the usual one (the check then searches for the right one).
  bool corrupted = false;
  std::uint32_t volumeId = 0, pageSize = 0;
  if (vaultfs::StorageGetInfo(name, corrupted, volumeId, pageSize, nullptr, 0) != 0 ||
      pageSize == 0)
    pageSize = 4096;
  const std::uint32_t flags = (repair ? 0u : 0x1u) | (args.Has("--all-pages") ? 0x2u : 0u);
  vaultfs::CheckReport report;
  PhaseProgress progress;
  const EngineResult r =
      vaultfs::StorageCheckAndRepairReport(name, pageSize, flags, password.span().data(),
                                           static_cast<std::uint32_t>(password.span().size()),
                                           &progress, &PhaseProgress::Callback, report);
  progress.Finish();
  if (r == vaultfs::errInvalidPassword && password.span().empty()) {
    std::fprintf(stderr,
                 "vaultfs: %s: the container is enciphered: give its password with "
                 "--storage-password-file\n",
                 file.c_str());
    return kExitFailure;
  }
  if (r != 0) return Failure(file, r);
  const char* verb = repair ? "mended" : "found";
  if (report.Clean()) {
    std::printf("%s: sound, nothing %s\n", file.c_str(), repair ? "to mend" : "found");
    return 0;
  }
  std::printf(
      "%s: damage %s: %u links cut, %u entries cleared, %u records removed, %u names shortened, "
      "%u orphan pages freed, %u pages rewritten\n",
      file.c_str(), verb, report.LinksCut, report.EntriesCleared, report.RecordsRemoved,
      report.NamesShortened, report.OrphansFreed, report.PagesRewritten);
  // A repair that mended everything succeeded; a check that found damage did not.
  return repair ? 0 : kExitFailure;
}

int CommandCompactOrResize(int argc, char** argv, bool resize) {
  Arguments args;
  std::string error;
  if (!ParseArguments(argc, argv, 2, {}, {kStoragePasswordOption}, args, error))
    return UsageError(error);
  if (args.help) return std::fputs(kUsage, stdout), 0;
  if (args.positional.size() != (resize ? 2u : 1u))
    return UsageError(resize ? "resize needs FILE BYTES" : "compact needs exactly one FILE");
  const std::string& file = args.positional[0];
  std::uint64_t newSize = 0;
  if (resize && !ParseByteCount(args.positional[1], newSize))
    return UsageError("resize takes a byte count (suffixes K, M, G)");
  vaultfs::StorageHandle handle = nullptr;
  EngineResult r = OpenForMaintenance(file, args, handle, error);
  if (r != 0) return MaintenanceFailure(file, error, r);
  std::uint64_t before = 0, after = 0;
  bool ran = true;
  r = vaultfs::StorageGetSizes(handle, nullptr, &before, nullptr);
  PhaseProgress progress;
  if (r == 0) {
    if (resize)
      r = vaultfs::StorageSetSize(handle, newSize, &progress, &PhaseProgress::Callback);
    else
      r = vaultfs::StorageCompact(handle, ran);
  }
  progress.Finish();
  if (r == 0) r = vaultfs::StorageGetSizes(handle, nullptr, &after, nullptr);
  const EngineResult closed = vaultfs::StorageClose(handle);
  if (r == 0) r = closed;
  if (r != 0) return Failure(file, r);
  if (!ran) {
    std::fprintf(stderr, "vaultfs: %s: the container is in use; nothing was compacted\n",
                 file.c_str());
    return kExitFailure;
  }
  std::printf("%s: %llu bytes -> %llu bytes\n", file.c_str(),
              static_cast<unsigned long long>(before), static_cast<unsigned long long>(after));
  return 0;
}

}  // namespace vaultfs_tool
