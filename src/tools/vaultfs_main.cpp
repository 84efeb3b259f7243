// vaultfs: command-line access to VaultFS containers.
//
// Exit status: 0 success, 1 the operation failed (bad input, damaged or
// missing container), 2 the command line was wrong.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "engine/volume/page_layout.h"
#include "engine/volume/utf16.h"
#include "engine/volume/volume.h"
#include "storage/result_codes.h"

namespace {

using vaultfs::EngineResult;
using vaultfs::Volume;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage =
    "Usage: vaultfs COMMAND [ARGUMENTS]\n"
    "\n"
    "Commands:\n"
    "  create FILE [--page-size N] [--logo TEXT] [--transactions] [--overwrite]\n"
    "      Create a new, empty container. N is a power of two from 256 to 65536\n"
    "      (default 4096). With --transactions the container is opened with\n"
    "      crash-safe transactions. An existing FILE is refused unless --overwrite.\n"
    "  info FILE\n"
    "      Show the page size, logo, volume id, corrupted flag, fixed size, page\n"
    "      counts and journal state of a container. Opens it read-only.\n"
    "\n"
    "Options:\n"
    "  -h, --help    Show this help.\n"
    "\n"
    "Exit status: 0 success, 1 failure, 2 wrong usage.\n";

int UsageError(const std::string& message) {
  std::fprintf(stderr, "vaultfs: %s\nTry 'vaultfs --help' for more information.\n",
               message.c_str());
  return kExitUsage;
}

int Failure(const std::string& file, EngineResult result) {
  std::fprintf(stderr, "vaultfs: %s: %s\n", file.c_str(), vaultfs::DescribeResult(result).c_str());
  return kExitFailure;
}

bool ParseUnsigned(std::string_view text, std::uint64_t& value) {
  if (text.empty() || text.size() > 19) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return true;
}

// Splits the arguments of a subcommand into positional ones and options.
// `withValue` lists the options that take a value.
struct Arguments {
  std::vector<std::string> positional;
  std::vector<std::pair<std::string, std::string>> options;
  bool help = false;

  bool Has(std::string_view name) const {
    for (const auto& [key, value] : options)
      if (key == name) return true;
    return false;
  }
  const std::string* Value(std::string_view name) const {
    const std::string* found = nullptr;
    for (const auto& [key, value] : options)
      if (key == name) found = &value;
    return found;
  }
};

bool ParseArguments(int argc, char** argv, int first, const std::vector<std::string_view>& flags,
                    const std::vector<std::string_view>& withValue, Arguments& out,
                    std::string& error) {
  bool onlyPositional = false;
  for (int i = first; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (onlyPositional || arg.size() < 2 || arg[0] != '-') {
      out.positional.emplace_back(arg);
      continue;
    }
    if (arg == "--") {
      onlyPositional = true;
      continue;
    }
    if (arg == "-h" || arg == "--help") {
      out.help = true;
      continue;
    }
    std::string name(arg), value;
    if (const auto eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
      bool takesValue = false;
      for (auto v : withValue) takesValue |= v == name;
      if (!takesValue) {
        error = "option '" + name + "' takes no value";
        return false;
      }
      out.options.emplace_back(name, value);
      continue;
    }
    bool isFlag = false, takesValue = false;
    for (auto f : flags) isFlag |= f == name;
    for (auto v : withValue) takesValue |= v == name;
    if (isFlag) {
      out.options.emplace_back(name, "");
    } else if (takesValue) {
      if (i + 1 >= argc) {
        error = "option '" + name + "' needs a value";
        return false;
      }
      out.options.emplace_back(name, argv[++i]);
    } else {
      error = "unknown option '" + name + "'";
      return false;
    }
  }
  return true;
}

int CommandCreate(int argc, char** argv) {
  Arguments args;
  std::string error;
  if (!ParseArguments(argc, argv, 2, {"--transactions", "--overwrite"}, {"--page-size", "--logo"},
                      args, error))
    return UsageError(error);
  if (args.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (args.positional.size() != 1) return UsageError("create needs exactly one FILE");
  std::uint64_t pageSize = 4096;
  if (const std::string* text = args.Value("--page-size")) {
    // Anything that is not a number is a wrong page size, reported as such.
    if (!ParseUnsigned(*text, pageSize) || pageSize > 0xFFFFFFFFu) pageSize = 0;
  }
  std::u16string logo;
  if (const std::string* text = args.Value("--logo")) logo = vaultfs::Utf8ToUtf16(*text);
  const std::string& file = args.positional[0];

  Volume volume;
  if (EngineResult r = volume.SetUseTransactions(args.Has("--transactions")); r != 0)
    return Failure(file, r);
  EngineResult r = volume.Create(vaultfs::Utf8ToUtf16(file), args.Has("--overwrite"),
                                 static_cast<std::uint32_t>(pageSize), logo);
  if (r == EEXIST) {
    std::fprintf(stderr, "vaultfs: %s: file exists (use --overwrite to replace it)\n",
                 file.c_str());
    return kExitFailure;
  }
  if (r != 0) return Failure(file, r);
  std::uint32_t id = 0;
  (void)volume.GetVolumeId(id);
  r = volume.Close();
  if (r != 0) return Failure(file, r);
  std::printf("created %s: page size %llu, volume id %08X\n", file.c_str(),
              static_cast<unsigned long long>(pageSize), id);
  return 0;
}

int CommandInfo(int argc, char** argv) {
  Arguments args;
  std::string error;
  if (!ParseArguments(argc, argv, 2, {}, {}, args, error)) return UsageError(error);
  if (args.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (args.positional.size() != 1) return UsageError("info needs exactly one FILE");
  const std::string& file = args.positional[0];

  Volume volume;
  EngineResult r = volume.Open(vaultfs::Utf8ToUtf16(file), true);
  if (r != 0) return Failure(file, r);
  std::u16string logo;
  std::uint32_t id = 0, maxPages = 0;
  bool corrupted = false;
  vaultfs::StorageSize size;
  r = volume.GetLogo(logo);
  if (r == 0) r = volume.GetVolumeId(id);
  if (r == 0) r = volume.GetCorrupted(corrupted);
  if (r == 0) r = volume.GetMaxPageCount(maxPages);
  if (r == 0) r = volume.GetStorageSize(size);
  if (r != 0) {
    EngineResult ignored = volume.Close();
    (void)ignored;
    return Failure(file, r);
  }
  const std::uint32_t freePages = static_cast<std::uint32_t>(size.FreeBytes / volume.PageSize);
  std::printf("file:             %s\n", file.c_str());
  std::printf("page size:        %u\n", volume.PageSize);
  std::printf("logo:             %s\n", vaultfs::Utf16ToUtf8(logo).c_str());
  std::printf("volume id:        %08X\n", id);
  std::printf("byte order:       %s\n", volume.ByteSwapped ? "swapped" : "native");
  std::printf("volume start:     page %u\n", volume.VolumeStart);
  std::printf("corrupted:        %s\n", corrupted ? "yes" : "no");
  std::printf("fixed size:       %s\n", volume.FixedSize ? "yes" : "no");
  std::printf("max page count:   %s\n",
              maxPages == 0 ? "unlimited" : std::to_string(maxPages).c_str());
  std::printf("host pages:       %u\n", volume.HostPageCount);
  std::printf("used pages:       %u\n", volume.UsedPageCount - freePages);
  std::printf("free pages:       %u\n", freePages);
  std::printf("last object id:   %u\n", volume.LastObjectId());
  const bool mounted = volume.MountedFlag();
  const std::uint32_t table = volume.TransactionTableFirstPage();
  if (!mounted)
    std::printf("journal:          clean (not mounted)\n");
  else if (table != 0)
    std::printf(
        "journal:          mounted, transaction table at page %u "
        "(open or interrupted; recovered at the next writable open)\n",
        table);
  else
    std::printf(
        "journal:          mounted without a table "
        "(open or interrupted; recovered at the next writable open)\n");
  r = volume.Close();
  if (r != 0) return Failure(file, r);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return UsageError("missing command");
  const std::string_view command = argv[1];
  if (command == "-h" || command == "--help" || command == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (command == "create") return CommandCreate(argc, argv);
  if (command == "info") return CommandInfo(argc, argv);
  return UsageError("unknown command '" + std::string(command) + "'");
}
