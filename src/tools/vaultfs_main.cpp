// vaultfs: command-line access to VaultFS containers.
//
// Exit status: 0 success, 1 the operation failed (bad input, damaged or
// missing container), 2 the command line was wrong.
#include <openssl/crypto.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "vaultfs/objects/codecs.h"
#include "vaultfs/objects/file_data.h"
#include "vaultfs/objects/file_object.h"
#include "vaultfs/objects/path_ops.h"
#include "vaultfs/objects/records.h"
#include "vaultfs/objects/search.h"
#include "vaultfs/objects/storage_password.h"
#include "vaultfs/volume/page_cipher.h"
#include "vaultfs/format/page_layout.h"
#include "vaultfs/storage_time.h"
#include "vaultfs/utf16.h"
#include "vaultfs/volume/volume.h"
#include "vaultfs/disk_tree.h"
#include "vaultfs/engine_api.h"
#include "vaultfs/result_codes.h"
#include "vaultfs/vault_storage.h"

namespace {

using vaultfs::EngineResult;
using vaultfs::Volume;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage =
    "Usage: vaultfs COMMAND [ARGUMENTS]\n"
    "\n"
    "Containers:\n"
    "  create FILE [--page-size N] [--logo TEXT] [--transactions] [--overwrite]\n"
    "              [--storage-password-file F [--storage-encryption 1|3]]\n"
    "      Create a new, empty container. N is a power of two from 256 to 65536\n"
    "      (default 4096). With a storage password every page is enciphered\n"
    "      (mode 3 unless --storage-encryption says 1). An existing FILE is refused\n"
    "      unless --overwrite.\n"
    "  info FILE\n"
    "      Show the page size, logo, volume id, corrupted flag, fixed size, page\n"
    "      counts and journal state of a container. Opens it read-only.\n"
    "  passwd FILE [--storage-password-file OLD] --new-storage-password-file NEW\n"
    "              [--storage-encryption 0|1|3]\n"
    "      Change the storage encryption and password (0 removes the encryption).\n"
    "\n"
    "Maintenance:\n"
    "  format FILE --size BYTES [--page-size N] [--quick] [--boot-area]\n"
    "              [--fat 64K|256K|1M|2M|4M|8M|16M|all] [--logo TEXT] [--overwrite]\n"
    "      Lay out FILE as a fixed-size container of BYTES (suffixes K, M, G\n"
    "      count 1024s), optionally behind an 8192-byte boot area with a partition\n"
    "      table and followed by a FAT area (--fat all: the FAT area alone, no\n"
    "      container). --quick writes only the structure. An existing FILE is\n"
    "      refused unless --overwrite.\n"
    "  check FILE [--all-pages] [--storage-password-file F]\n"
    "      Examine a closed container without writing anything. Exit 0 when it\n"
    "      is sound, 1 when damage was found (or the check failed).\n"
    "  repair FILE [--all-pages] [--storage-password-file F]\n"
    "      Check and mend a closed container: broken links are cut, entries of\n"
    "      lost objects removed, unreferenced pages freed, the space map rebuilt.\n"
    "  compact FILE [--storage-password-file F]\n"
    "      Move the pages at the end into free pages below and cut the file.\n"
    "  resize FILE BYTES [--storage-password-file F]\n"
    "      Grow or shrink a container to BYTES (a multiple of the page size).\n"
    "  --all-pages: also examine the pages the space map calls free.\n"
    "\n"
    "Files and directories (PATH inside the container, '/' separated):\n"
    "  ls FILE [PATH] [-R] [-l]     list a directory (-R recursively, -l long)\n"
    "  mkdir FILE PATH [-p]         create a directory (-p: with its parents)\n"
    "  put FILE SRC DST             copy the local file SRC to DST (replaced if present)\n"
    "  get FILE SRC DST             copy SRC out to the local file DST\n"
    "  cat FILE PATH                write a file's contents to standard output\n"
    "  rm FILE PATH                 delete a file, link or empty directory\n"
    "  mv FILE OLD NEW [--replace]  move or rename\n"
    "  ln FILE TARGET LINK          create a symbolic link LINK naming TARGET\n"
    "  stat FILE PATH               attributes, times, size, encryption,\n"
    "                               compression and tags\n"
    "\n"
    "Folder trees:\n"
    "  import FILE DIR [STORAGE_DIR] [--overwrite-mode 0|1|2] [--no-recursive] [--mask MASK]\n"
    "         [--transactions]\n"
    "      Copy the local folder DIR with its subfolders into the container\n"
    "      directory STORAGE_DIR (default: the root; DIR's own mode and times go\n"
    "      with STORAGE_DIR unless that is the root). New files get --encryption,\n"
    "      --password-file, --compression and --level as put does. Modes and\n"
    "      nanosecond modification times travel along; symbolic links are stored\n"
    "      as links, never followed; devices, FIFOs and sockets are refused\n"
    "      before anything is written. Like the application, the import runs\n"
    "      without transactions and flushes the container once at the end;\n"
    "      --transactions journals every change instead (crash-safe, slower).\n"
    "  export FILE STORAGE_DIR DIR [--overwrite-mode 0|1|2] [--no-recursive] [--mask MASK]\n"
    "      Copy the container directory STORAGE_DIR with its subdirectories into\n"
    "      the local folder DIR (created when missing). A file is written under a\n"
    "      temporary name and renamed into place only when complete.\n"
    "  --overwrite-mode   what happens to a file that exists at the target:\n"
    "                     0 keep it, 1 replace it when the source is newer,\n"
    "                     2 always replace it (default)\n"
    "  --no-recursive     only the files of the folder itself\n"
    "  --mask MASK        only files whose names match MASK ('?' one character,\n"
    "                     '*' any run; default *.*, which matches every name)\n"
    "  A progress bar is shown on a terminal.\n"
    "\n"
    "Options of every command that opens a container:\n"
    "  --storage-password-file F    the storage password (needed for enciphered containers)\n"
    "Options of put, get, cat, import and export:\n"
    "  --password-file F            the file's own password\n"
    "  --encryption 0|1|3           file encryption for put and import (default: 3 with a\n"
    "                               password, else 0)\n"
    "  --compression none|zlib|rle  compression for put and import (default none)\n"
    "  --level N                    compression level for put and import (zlib 1..9)\n"
    "A password file holds the password; one trailing newline is not part of it.\n"
    "\n"
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

// ---- passwords and sessions ----

constexpr const char* kStoragePasswordOption = "--storage-password-file";

// A password file's content is the password, less one trailing newline. The
// engine takes passwords as the UTF-16LE code units of the text.
bool ReadPasswordFile(const std::string& path, vaultfs::SecretBytes& password, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (!text.empty() && text.back() == '\r') text.pop_back();
  const std::u16string units = vaultfs::Utf8ToUtf16(text);
  std::vector<std::uint8_t> bytes;
  bytes.reserve(units.size() * 2);
  for (char16_t u : units) {
    bytes.push_back(static_cast<std::uint8_t>(u & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(u >> 8));
  }
  password.Assign(bytes);
  std::fill(text.begin(), text.end(), '\0');
  std::fill(bytes.begin(), bytes.end(), 0);
  return true;
}

// One open container with its object layer.
class Session {
 public:
  Session() : store_(volume_) {}
  ~Session() {
    if (volume_.Active) (void)volume_.Close();
  }
  vaultfs::Volume& volume() { return volume_; }
  vaultfs::ObjectStore& store() { return store_; }

  // Opens FILE, supplying the storage password when the container needs one.
  EngineResult Open(const std::string& file, bool readOnly, const Arguments& args,
                    std::string& error) {
    if (EngineResult r = volume_.SetUseTransactions(!readOnly); r != 0) return r;
    EngineResult r = volume_.Open(vaultfs::Utf8ToUtf16(file), readOnly);
    if (r != 0) return r;
    std::uint32_t mode = 0;
    r = vaultfs::GetStorageEncryption(store_, mode);
    if (r != 0 || mode == 0) return r;
    const std::string* passwordFile = args.Value(kStoragePasswordOption);
    if (!passwordFile) {
      error = "the container is enciphered: give its password with --storage-password-file";
      return vaultfs::errInvalidPassword;
    }
    vaultfs::SecretBytes password;
    if (!ReadPasswordFile(*passwordFile, password, error)) return errInvalidParameterForFile;
    return vaultfs::SupplyStoragePassword(store_, password.span());
  }
  EngineResult Close() { return volume_.Close(); }

  static constexpr EngineResult errInvalidParameterForFile = vaultfs::errInvalidParameter;

 private:
  Volume volume_;
  vaultfs::ObjectStore store_;
};

int CommandCreate(int argc, char** argv) {
  Arguments args;
  std::string error;
  if (!ParseArguments(argc, argv, 2, {"--transactions", "--overwrite"},
                      {"--page-size", "--logo", "--storage-password-file", "--storage-encryption"},
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
  std::uint32_t storageMode = 0;
  vaultfs::SecretBytes storagePassword;
  if (const std::string* f = args.Value("--storage-password-file")) {
    if (!ReadPasswordFile(*f, storagePassword, error)) return UsageError(error);
    storageMode = 3;
  }
  if (const std::string* e = args.Value("--storage-encryption")) {
    if (*e == "1")
      storageMode = 1;
    else if (*e == "3")
      storageMode = 3;
    else
      return UsageError("--storage-encryption takes 1 or 3");
    if (storagePassword.empty())
      return UsageError("--storage-encryption needs --storage-password-file");
  }
  const std::string& file = args.positional[0];

  Volume volume;
  vaultfs::ObjectStore store(volume);
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
  if (storageMode != 0)
    r = vaultfs::ChangeStorageEncryption(store, storageMode, {}, storagePassword.span());
  std::uint32_t id = 0;
  (void)volume.GetVolumeId(id);
  const EngineResult closed = volume.Close();
  if (r == 0) r = closed;
  if (r != 0) {
    // A container that did not come out as asked is not left behind.
    std::remove(file.c_str());
    return Failure(file, r);
  }
  std::printf(
      "created %s: page size %llu, volume id %08X%s\n", file.c_str(),
      static_cast<unsigned long long>(pageSize), id,
      storageMode ? (storageMode == 1 ? ", storage encryption 1" : ", storage encryption 3") : "");
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
  // A fixed-size volume counts its unwritten tail as free space, so the pages
  // in use follow from the size rather than from UsedPageCount.
  std::printf("used pages:       %llu\n",
              static_cast<unsigned long long>((size.Size - size.FreeBytes) / volume.PageSize));
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

// Runs a command body on an open session and reports failures uniformly.
int WithSession(const std::string& file, bool readOnly, const Arguments& args,
                const std::function<EngineResult(Session&, std::string&)>& body) {
  Session session;
  std::string error;
  EngineResult r = session.Open(file, readOnly, args, error);
  if (r == 0) r = body(session, error);
  const EngineResult closed = session.Close();
  if (r == 0) r = closed;
  if (r != 0) {
    if (!error.empty())
      std::fprintf(stderr, "vaultfs: %s: %s (%s)\n", file.c_str(), error.c_str(),
                   vaultfs::DescribeResult(r).c_str());
    else
      std::fprintf(stderr, "vaultfs: %s: %s\n", file.c_str(), vaultfs::DescribeResult(r).c_str());
    return kExitFailure;
  }
  return 0;
}

std::u16string InnerPath(const std::string& path) {
  return vaultfs::Utf8ToUtf16(path);
}

std::string AttributeText(std::uint32_t a) {
  std::string text;
  text += (a & vaultfs::attrDirectory) ? 'd' : (a & vaultfs::attrSymLink) ? 'l' : '-';
  text += (a & vaultfs::attrReadOnly) ? 'r' : '-';
  text += (a & vaultfs::attrCompressed) ? 'c' : '-';
  text += (a & vaultfs::attrEncrypted) ? 'e' : '-';
  text += (a & vaultfs::attrHidden) ? 'h' : '-';
  text += (a & vaultfs::attrSystem) ? 's' : '-';
  text += (a & vaultfs::attrArchive) ? 'a' : '-';
  return text;
}

// Shows progress of long copies on a terminal.
class Progress {
 public:
  Progress(const std::string& label, std::uint64_t total)
      : label_(label), total_(total), show_(isatty(STDERR_FILENO) && total >= (1u << 20)) {}
  void Update(std::uint64_t done) {
    if (!show_) return;
    const int percent = total_ ? static_cast<int>(done * 100 / total_) : 100;
    if (percent == last_) return;
    last_ = percent;
    const int width = 30, filled = percent * width / 100;
    std::fprintf(stderr, "\r%s [%.*s%*s] %3d%%", label_.c_str(), filled,
                 "##############################", width - filled, "", percent);
    if (percent == 100) std::fputc('\n', stderr);
  }

 private:
  std::string label_;
  std::uint64_t total_;
  bool show_;
  int last_ = -1;
};

constexpr std::uint32_t kCopyChunk = 16384;

bool ParseFileOptions(const Arguments& args, bool forWriting, std::uint32_t& encryption,
                      std::uint32_t& compression, std::uint32_t& level,
                      vaultfs::SecretBytes& password, std::string& error) {
  if (const std::string* f = args.Value("--password-file")) {
    if (!ReadPasswordFile(*f, password, error)) return false;
  }
  encryption = password.empty() ? 0 : 3;
  if (const std::string* e = args.Value("--encryption")) {
    if (*e == "0")
      encryption = 0;
    else if (*e == "1")
      encryption = 1;
    else if (*e == "3")
      encryption = 3;
    else {
      error = "--encryption takes 0, 1 or 3";
      return false;
    }
    if (encryption != 0 && password.empty() && forWriting) {
      error = "--encryption " + *e + " needs --password-file";
      return false;
    }
  }
  compression = vaultfs::crNoCompression;
  level = 0;
  if (const std::string* c = args.Value("--compression")) {
    if (*c == "none")
      compression = vaultfs::crNoCompression;
    else if (*c == "zlib")
      compression = vaultfs::crZLib;
    else if (*c == "rle")
      compression = vaultfs::crRLE;
    else {
      error = "--compression takes none, zlib or rle";
      return false;
    }
  }
  if (const std::string* l = args.Value("--level")) {
    std::uint64_t value = 0;
    if (!ParseUnsigned(*l, value) || value > 9) {
      error = "--level takes 0 to 9";
      return false;
    }
    level = static_cast<std::uint32_t>(value);
  }
  return true;
}

const std::vector<std::string_view> kFileValueOptions = {
    "--storage-password-file", "--password-file", "--encryption", "--compression", "--level"};

int CommandPut(int argc, char** argv) {
  Arguments args;
  std::string error;
  if (!ParseArguments(argc, argv, 2, {}, kFileValueOptions, args, error)) return UsageError(error);
  if (args.help) return std::fputs(kUsage, stdout), 0;
  if (args.positional.size() != 3) return UsageError("put needs FILE SRC DST");
  std::uint32_t encryption = 0, compression = 0, level = 0;
  vaultfs::SecretBytes password;
  if (!ParseFileOptions(args, true, encryption, compression, level, password, error))
    return UsageError(error);
  const std::string& source = args.positional[1];
  std::ifstream in(source, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "vaultfs: %s: %s\n", source.c_str(), std::strerror(errno));
    return kExitFailure;
  }
  in.seekg(0, std::ios::end);
  const std::uint64_t total = static_cast<std::uint64_t>(in.tellg());
  in.seekg(0);
  return WithSession(args.positional[0], false, args, [&](Session& s, std::string& message) {
    vaultfs::FileHandle* handle = nullptr;
    EngineResult r = vaultfs::PathCreateFileCompressed(
        s.store(), InnerPath(args.positional[2]), false, true, false, true, encryption,
        password.span(), compression, level, 0, handle, true, true);
    if (r != 0) {
      message = args.positional[2];
      return r;
    }
    std::vector<std::uint8_t> buffer(kCopyChunk);
    Progress progress("put " + args.positional[2], total);
    std::uint64_t copied = 0;
    while (r == 0 && in) {
      in.read(reinterpret_cast<char*>(buffer.data()), kCopyChunk);
      const auto got = static_cast<std::uint32_t>(in.gcount());
      if (got == 0) break;
      std::uint32_t done = 0;
      r = vaultfs::WriteData(handle, buffer.data(), got, done);
      if (r == 0 && done != got) r = vaultfs::errStorageFull;
      copied += got;
      progress.Update(copied);
    }
    if (r == 0 && in.bad()) {
      message = source + ": read error";
      r = EIO;
    }
    const EngineResult closed = vaultfs::CloseHandle(handle, true);
    return r != 0 ? r : closed;
  });
}

// Copies a file out of the container through `sink`.
EngineResult CopyOut(Session& s, const std::string& path, const vaultfs::SecretBytes& password,
                     const std::function<bool(const std::uint8_t*, std::uint32_t)>& sink,
                     std::string& message) {
  vaultfs::FileHandle* handle = nullptr;
  EngineResult r = vaultfs::PathOpenFile(s.store(), InnerPath(path), true, false, false, true,
                                         password.span(), handle);
  if (r != 0) {
    message = path;
    return r;
  }
  std::uint64_t size = 0;
  r = vaultfs::GetSize(handle, size);
  Progress progress("get " + path, size);
  std::vector<std::uint8_t> buffer(kCopyChunk);
  std::uint64_t copied = 0;
  // Reading at the end of a file is an error of its own, so read exactly its size.
  while (r == 0 && copied < size) {
    std::uint32_t done = 0;
    const auto want =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(kCopyChunk, size - copied));
    r = vaultfs::ReadData(handle, buffer.data(), want, done);
    if (r == 0 && done == 0) r = vaultfs::errStorageCorrupted;
    if (r != 0) break;
    if (!sink(buffer.data(), done)) {
      message = std::string("write failed: ") + std::strerror(errno);
      r = errno ? errno : EIO;
      break;
    }
    copied += done;
    progress.Update(copied);
  }
  const EngineResult closed = vaultfs::CloseHandle(handle, true);
  return r != 0 ? r : closed;
}

int CommandGet(int argc, char** argv, bool toStdout) {
  Arguments args;
  std::string error;
  if (!ParseArguments(argc, argv, 2, {}, kFileValueOptions, args, error)) return UsageError(error);
  if (args.help) return std::fputs(kUsage, stdout), 0;
  if (args.positional.size() != (toStdout ? 2u : 3u))
    return UsageError(toStdout ? "cat needs FILE PATH" : "get needs FILE SRC DST");
  std::uint32_t encryption = 0, compression = 0, level = 0;
  vaultfs::SecretBytes password;
  if (!ParseFileOptions(args, false, encryption, compression, level, password, error))
    return UsageError(error);
  if (toStdout) {
    return WithSession(args.positional[0], true, args, [&](Session& s, std::string& message) {
      return CopyOut(
          s, args.positional[1], password,
          [](const std::uint8_t* data, std::uint32_t count) {
            return std::fwrite(data, 1, count, stdout) == count;
          },
          message);
    });
  }
  const std::string& target = args.positional[2];
  const std::string partial = target + ".vaultfs-partial";
  std::FILE* out = std::fopen(partial.c_str(), "wb");
  if (!out) {
    std::fprintf(stderr, "vaultfs: %s: %s\n", partial.c_str(), std::strerror(errno));
    return kExitFailure;
  }
  int status = WithSession(args.positional[0], true, args, [&](Session& s, std::string& message) {
    return CopyOut(
        s, args.positional[1], password,
        [out](const std::uint8_t* data, std::uint32_t count) {
          return std::fwrite(data, 1, count, out) == count;
        },
        message);
  });
  // Nothing half-written ever takes the target's name.
  const bool flushed = std::fflush(out) == 0 && fsync(fileno(out)) == 0;
  std::fclose(out);
  if (status == 0 && !flushed) {
    std::fprintf(stderr, "vaultfs: %s: %s\n", target.c_str(), std::strerror(errno));
    status = kExitFailure;
  }
  if (status == 0 && std::rename(partial.c_str(), target.c_str()) != 0) {
    std::fprintf(stderr, "vaultfs: %s: %s\n", target.c_str(), std::strerror(errno));
    status = kExitFailure;
  }
  if (status != 0) std::remove(partial.c_str());
  return status;
}

int ListDirectory(Session& s, const std::u16string& directory, bool recursive, bool longForm,
                  bool showDirectory, EngineResult& result) {
  std::vector<std::u16string> subdirectories;
  vaultfs::SearchRecord record;
  std::u16string mask = directory;
  if (mask.empty() || mask.back() != u'/') mask.push_back(u'/');
  const std::u16string prefix = mask == u"/" ? u"/" : mask;
  mask += u"*";
  EngineResult r =
      vaultfs::SearchFirst(s.store(), record, mask, 0xFFFFFFFFu, vaultfs::kDefaultSearchFlags);
  if (showDirectory)
    std::printf("%s:\n", vaultfs::Utf16ToUtf8(directory.empty() ? u"/" : directory).c_str());
  while (r == 0) {
    const std::string name = vaultfs::Utf16ToUtf8(record.Name);
    if (longForm) {
      std::printf("%s %12llu  %s  %s", AttributeText(record.Attributes).c_str(),
                  static_cast<unsigned long long>(record.Size),
                  vaultfs::FormatStorageTime(record.Modified).c_str(), name.c_str());
      if (record.Attributes & vaultfs::attrSymLink) {
        std::u16string target;
        std::uint32_t length = 0;
        if (vaultfs::PathGetLinkDestination(s.store(), prefix + record.Name, nullptr, length) ==
                vaultfs::errBufferTooSmall &&
            length >= 2) {
          target.resize(length / 2);
          if (vaultfs::PathGetLinkDestination(s.store(), prefix + record.Name, target.data(),
                                              length) == 0) {
            while (!target.empty() && target.back() == u'\0') target.pop_back();
            std::printf(" -> %s", vaultfs::Utf16ToUtf8(target).c_str());
          }
        }
      }
      std::printf("\n");
    } else {
      std::printf("%s%s\n", name.c_str(), (record.Attributes & vaultfs::attrDirectory) ? "/" : "");
    }
    if (recursive && (record.Attributes & vaultfs::attrDirectory) &&
        !(record.Attributes & vaultfs::attrSymLink))
      subdirectories.push_back(prefix + record.Name);
    r = vaultfs::SearchNext(record);
  }
  vaultfs::SearchClose(record);
  if (r != vaultfs::errNoMoreFiles) {
    result = r;
    return 1;
  }
  for (const auto& sub : subdirectories) {
    std::printf("\n");
    if (ListDirectory(s, sub, true, longForm, true, result) != 0) return 1;
  }
  return 0;
}

int CommandLs(int argc, char** argv) {
  Arguments args;
  std::string error;
  if (!ParseArguments(argc, argv, 2, {"-R", "-l"}, {kStoragePasswordOption}, args, error))
    return UsageError(error);
  if (args.help) return std::fputs(kUsage, stdout), 0;
  if (args.positional.empty() || args.positional.size() > 2)
    return UsageError("ls needs FILE [PATH]");
  const std::u16string path = args.positional.size() == 2 ? InnerPath(args.positional[1]) : u"/";
  return WithSession(args.positional[0], true, args, [&](Session& s, std::string& message) {
    std::uint32_t attributes = 0;
    EngineResult r = vaultfs::PathGetFileAttributes(s.store(), path, attributes);
    if (r != 0) {
      message = vaultfs::Utf16ToUtf8(path);
      return r;
    }
    if (!(attributes & vaultfs::attrDirectory)) {
      std::printf("%s\n", vaultfs::Utf16ToUtf8(path).c_str());
      return EngineResult{0};
    }
    EngineResult result = 0;
    ListDirectory(s, path, args.Has("-R"), args.Has("-l"), args.Has("-R"), result);
    return result;
  });
}

// Commands that take FILE and a fixed number of paths and run one engine call.
int SimpleCommand(int argc, char** argv, const char* usage, std::size_t paths,
                  const std::vector<std::string_view>& flags,
                  const std::function<EngineResult(Session&, const Arguments&)>& body) {
  Arguments args;
  std::string error;
  if (!ParseArguments(argc, argv, 2, flags, {kStoragePasswordOption}, args, error))
    return UsageError(error);
  if (args.help) return std::fputs(kUsage, stdout), 0;
  if (args.positional.size() != paths + 1) return UsageError(usage);
  return WithSession(args.positional[0], false, args, [&](Session& s, std::string& message) {
    EngineResult r = body(s, args);
    if (r != 0) message = args.positional[1];
    return r;
  });
}

int CommandStat(int argc, char** argv) {
  Arguments args;
  std::string error;
  if (!ParseArguments(argc, argv, 2, {}, {kStoragePasswordOption}, args, error))
    return UsageError(error);
  if (args.help) return std::fputs(kUsage, stdout), 0;
  if (args.positional.size() != 2) return UsageError("stat needs FILE PATH");
  const std::u16string path = InnerPath(args.positional[1]);
  return WithSession(args.positional[0], true, args, [&](Session& s, std::string& message) {
    message = args.positional[1];
    std::uint32_t attributes = 0, encryption = 0, mode = 0, level = 0, pages = 0;
    vaultfs::StorageTime created = 0, modified = 0, accessed = 0;
    EngineResult r = vaultfs::PathGetFileAttributes(s.store(), path, attributes);
    if (r == 0) r = vaultfs::PathGetFileTimes(s.store(), path, created, modified, accessed);
    if (r == 0) r = vaultfs::PathGetFileEncryption(s.store(), path, encryption);
    if (r == 0) r = vaultfs::PathGetFileCompression(s.store(), path, mode, level, pages);
    if (r != 0) return r;
    vaultfs::ResolvedPath resolved;
    vaultfs::Transaction* t = nullptr;
    std::uint64_t size = 0;
    std::vector<std::pair<std::uint16_t, std::uint32_t>> tags;
    r = s.volume().Begin(true, t);
    if (r != 0) return r;
    r = vaultfs::ResolvePath(s.store(), path, false, t, resolved);
    if (r == 0) {
      r = vaultfs::GetObjectSize(*resolved.Object, t, size);
      if (r == 0) r = vaultfs::ListTags(*resolved.Object, t, tags);
      vaultfs::ReleaseChain(*resolved.Object, true);
    }
    s.volume().EndReadOnly(t);
    if (r != 0) return r;
    const char* compressionNames[] = {"none", "default", "custom", "zlib", "rle"};
    std::printf("path:         %s\n", args.positional[1].c_str());
    std::printf("attributes:   %s (0x%04X)\n", AttributeText(attributes).c_str(), attributes);
    std::printf("size:         %llu\n", static_cast<unsigned long long>(size));
    std::printf("created:      %s\n", vaultfs::FormatStorageTime(created).c_str());
    std::printf("modified:     %s\n", vaultfs::FormatStorageTime(modified).c_str());
    std::printf("accessed:     %s\n", vaultfs::FormatStorageTime(accessed).c_str());
    std::printf("encryption:   %u\n", encryption);
    std::printf("compression:  %s, level %u, %u page(s) per block\n",
                mode < 5 ? compressionNames[mode] : "unknown", level, pages);
    if (tags.empty()) std::printf("tags:         none\n");
    for (const auto& [id, length] : tags)
      std::printf("tag:          0x%04X, %u bytes\n", id, length);
    return EngineResult{0};
  });
}

int CommandPasswd(int argc, char** argv) {
  Arguments args;
  std::string error;
  if (!ParseArguments(
          argc, argv, 2, {},
          {kStoragePasswordOption, "--new-storage-password-file", "--storage-encryption"}, args,
          error))
    return UsageError(error);
  if (args.help) return std::fputs(kUsage, stdout), 0;
  if (args.positional.size() != 1) return UsageError("passwd needs FILE");
  vaultfs::SecretBytes oldPassword, newPassword;
  if (const std::string* f = args.Value(kStoragePasswordOption)) {
    if (!ReadPasswordFile(*f, oldPassword, error)) return UsageError(error);
  }
  std::uint32_t mode = 3;
  if (const std::string* e = args.Value("--storage-encryption")) {
    if (*e == "0")
      mode = 0;
    else if (*e == "1")
      mode = 1;
    else if (*e == "3")
      mode = 3;
    else
      return UsageError("--storage-encryption takes 0, 1 or 3");
  }
  if (const std::string* f = args.Value("--new-storage-password-file")) {
    if (!ReadPasswordFile(*f, newPassword, error)) return UsageError(error);
  } else if (mode != 0) {
    return UsageError("passwd needs --new-storage-password-file (or --storage-encryption 0)");
  }
  return WithSession(args.positional[0], false, args, [&](Session& s, std::string&) {
    Progress progress("passwd", 1);
    return vaultfs::ChangeStorageEncryption(s.store(), mode, oldPassword.span(),
                                            newPassword.span());
  });
}
// ---- folder trees ----

// A password file's text for the storage component, which takes passwords
// as text. Returns false with `error` set when the file cannot be read.
bool ReadPasswordText(const std::string& path, std::u16string& password, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (!text.empty() && text.back() == '\r') text.pop_back();
  password = vaultfs::Utf8ToUtf16(text);
  if (!text.empty()) OPENSSL_cleanse(text.data(), text.size());
  return true;
}

// Overwrites a password text when it goes out of scope.
struct PasswordTextWiper {
  std::u16string& text;
  ~PasswordTextWiper() {
    if (!text.empty()) OPENSSL_cleanse(text.data(), text.size() * sizeof(char16_t));
  }
};

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
  PasswordTextWiper wipeFiles{filesPassword}, wipeStorage{storagePassword};
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

// ---- maintenance ----

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
  if (command == "ls") return CommandLs(argc, argv);
  if (command == "put") return CommandPut(argc, argv);
  if (command == "get") return CommandGet(argc, argv, false);
  if (command == "cat") return CommandGet(argc, argv, true);
  if (command == "stat") return CommandStat(argc, argv);
  if (command == "passwd") return CommandPasswd(argc, argv);
  if (command == "format") return CommandFormat(argc, argv);
  if (command == "check") return CommandCheck(argc, argv, false);
  if (command == "repair") return CommandCheck(argc, argv, true);
  if (command == "compact") return CommandCompactOrResize(argc, argv, false);
  if (command == "resize") return CommandCompactOrResize(argc, argv, true);
  if (command == "import") return CommandTree(argc, argv, true);
  if (command == "export") return CommandTree(argc, argv, false);
  if (command == "mkdir")
    return SimpleCommand(argc, argv, "mkdir needs FILE PATH", 1, {"-p"},
                         [](Session& s, const Arguments& a) {
                           const std::u16string path = InnerPath(a.positional[1]);
                           return a.Has("-p") ? vaultfs::PathForceCreateDirectories(s.store(), path)
                                              : vaultfs::PathCreateDirectory(s.store(), path);
                         });
  if (command == "rm")
    return SimpleCommand(argc, argv, "rm needs FILE PATH", 1, {},
                         [](Session& s, const Arguments& a) {
                           return vaultfs::PathDeleteFile(s.store(), InnerPath(a.positional[1]));
                         });
  if (command == "mv")
    return SimpleCommand(
        argc, argv, "mv needs FILE OLD NEW", 2, {"--replace"}, [](Session& s, const Arguments& a) {
          return vaultfs::MoveAtPath(s.store(), InnerPath(a.positional[1]),
                                     InnerPath(a.positional[2]), a.Has("--replace"));
        });
  if (command == "ln")
    return SimpleCommand(argc, argv, "ln needs FILE TARGET LINK", 2, {},
                         [](Session& s, const Arguments& a) {
                           return vaultfs::PathCreateLink(s.store(), InnerPath(a.positional[2]),
                                                          InnerPath(a.positional[1]));
                         });
  return UsageError("unknown command '" + std::string(command) + "'");
}
