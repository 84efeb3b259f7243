// Containers: create, info, passwd.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>

#include "commands.h"
#include "common.h"
#include "vaultfs/engine_api.h"
#include "vaultfs/engine_types.h"
#include "vaultfs/secret_bytes.h"
#include "vaultfs/utf16.h"

namespace vaultfs_tool {

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
    // Only a choice between the two ciphers: a container without one is
    // made by leaving out the password.
    std::uint32_t mode = 0;
    if (!ParseEncryptionMode(*e, mode) || mode == 0)
      return UsageError("--storage-encryption takes 1 or 3");
    storageMode = mode;
    if (storagePassword.empty())
      return UsageError("--storage-encryption needs --storage-password-file");
  }
  const std::string& file = args.positional[0];

  vaultfs::StorageHandle handle = nullptr;
  EngineResult r = vaultfs::StorageCreate(vaultfs::Utf8ToUtf16(file), args.Has("--overwrite"),
                                          static_cast<std::uint32_t>(pageSize), logo, handle, u'/',
                                          args.Has("--transactions"), false);
  if (r == EEXIST) {
    std::fprintf(stderr, "vaultfs: %s: file exists (use --overwrite to replace it)\n",
                 file.c_str());
    return kExitFailure;
  }
  if (r != 0) return Failure(file, r);
  if (storageMode != 0)
    r = vaultfs::StorageSetEncryption(handle, storageMode, nullptr, 0, storagePassword.data(),
                                      static_cast<std::uint32_t>(storagePassword.size()));
  std::uint32_t id = 0;
  (void)vaultfs::StorageGetVolumeId(handle, id);
  const EngineResult closed = vaultfs::StorageClose(handle);
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

  vaultfs::VolumeFigures volume;
  EngineResult closed = 0;
  const EngineResult r =
      vaultfs::StorageGetVolumeFigures(vaultfs::Utf8ToUtf16(file), volume, closed);
  if (r != 0) return Failure(file, r);
  const std::uint32_t freePages = static_cast<std::uint32_t>(volume.FreeBytes / volume.PageSize);
  std::printf("file:             %s\n", file.c_str());
  std::printf("page size:        %u\n", volume.PageSize);
  std::printf("logo:             %s\n", vaultfs::Utf16ToUtf8(volume.Logo).c_str());
  std::printf("volume id:        %08X\n", volume.VolumeId);
  std::printf("byte order:       %s\n", volume.ByteSwapped ? "swapped" : "native");
  std::printf("volume start:     page %u\n", volume.VolumeStart);
  std::printf("corrupted:        %s\n", volume.Corrupted ? "yes" : "no");
  std::printf("fixed size:       %s\n", volume.FixedSize ? "yes" : "no");
  std::printf("max page count:   %s\n",
              volume.MaxPageCount == 0 ? "unlimited" : std::to_string(volume.MaxPageCount).c_str());
  std::printf("host pages:       %u\n", volume.HostPageCount);
  // A fixed-size volume counts its unwritten tail as free space, so the pages
  // in use follow from the size rather than from UsedPageCount.
  std::printf("used pages:       %llu\n",
              static_cast<unsigned long long>((volume.Size - volume.FreeBytes) / volume.PageSize));
  std::printf("free pages:       %u\n", freePages);
  std::printf("last object id:   %u\n", volume.LastObjectId);
  const std::uint32_t table = volume.TransactionTablePage;
  if (!volume.Mounted)
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
  if (closed != 0) return Failure(file, closed);
  return 0;
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
    if (!ParseEncryptionMode(*e, mode)) return UsageError("--storage-encryption takes 0, 1 or 3");
  }
  if (const std::string* f = args.Value("--new-storage-password-file")) {
    if (!ReadPasswordFile(*f, newPassword, error)) return UsageError(error);
  } else if (mode != 0) {
    return UsageError("passwd needs --new-storage-password-file (or --storage-encryption 0)");
  }
  return WithSession(args.positional[0], false, args, [&](Session& s, std::string&) {
    Progress progress("passwd", 1);
    return vaultfs::StorageSetEncryption(
        s.handle(), mode, oldPassword.data(), static_cast<std::uint32_t>(oldPassword.size()),
        newPassword.data(), static_cast<std::uint32_t>(newPassword.size()));
  });
}

}  // namespace vaultfs_tool
