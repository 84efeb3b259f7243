// Mounts: mount serves a container's tree through FUSE 3 (read-write, or
// read-only on request); unmount ends a mount.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "commands.h"
#include "common.h"
#ifdef VAULTFS_WITH_MOUNT
#include "tools/mount/mount_process.h"
#include "tools/mount/vault_live_mount.h"
#include "tools/mount/vault_mount.h"
#endif
#include "vaultfs/password_bytes.h"
#include "vaultfs/utf16.h"
#include "vaultfs/vault_error.h"
#include "vaultfs/vault_storage.h"

namespace vaultfs_tool {

namespace {

constexpr const char* kProgram = "vaultfs";

#ifdef VAULTFS_WITH_MOUNT
// The absolute form of a folder that exists; the name as given otherwise
// (the mount then says what is wrong with it).
std::string AbsoluteFolder(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

int ServeMount(const std::string& file, const std::string& directory, bool readOnly,
               const std::u16string& storagePassword, vaultfs::mount::TMountStatus& status,
               bool foreground) {
  // Two engines writing one container would ruin it: a read-write mount
  // holds the file's lock alone, read-only mounts share it. Held until this
  // process ends.
  const int lockFd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (lockFd >= 0 && flock(lockFd, (readOnly ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) {
    std::fprintf(stderr, "%s: %s: the container is in use by another mount; not mounted\n",
                 kProgram, file.c_str());
    close(lockFd);
    return status.Report(kExitFailure);
  }
  try {
    vaultfs::TVaultStorage storage;
    storage.SetFileName(vaultfs::Utf8ToUtf16(file));
    storage.SetPathSeparator(u'/');
    // Every change is journaled: a kill or a power cut leaves the container
    // as of its last commit, and the next open finishes or undoes the rest.
    storage.SetUseTransactions(!readOnly);
    storage.SetReadOnly(readOnly);
    storage.SetStoragePassword(storagePassword);
    storage.Open(2);
    if (storagePassword.empty() && storage.GetStorageEncryption() != vaultfs::ecNoEncryption) {
      std::fprintf(stderr,
                   "%s: %s: the container is enciphered: give its password with "
                   "--storage-password-file\n",
                   kProgram, file.c_str());
      return status.Report(kExitFailure);
    }
    std::unique_ptr<vaultfs::mount::TVaultMount> readOnlyMount;
    std::unique_ptr<vaultfs::mount::TVaultLiveMount> liveMount;
    std::string error;
    bool mounted = false;
    if (readOnly) {
      readOnlyMount = std::make_unique<vaultfs::mount::TVaultMount>(
          storage, u"", nullptr, vaultfs::mount::TMountOptions{"vaultfs", false});
      readOnlyMount->Load();
      if (readOnlyMount->SkippedNames() != 0)
        std::fprintf(stderr,
                     "%s: warning: %llu entries left out: their names cannot be used on disk\n",
                     kProgram, static_cast<unsigned long long>(readOnlyMount->SkippedNames()));
      mounted = readOnlyMount->Mount(directory, error);
    } else {
      liveMount = std::make_unique<vaultfs::mount::TVaultLiveMount>(storage, "vaultfs");
      mounted = liveMount->Mount(directory, error);
    }
    if (!mounted) {
      std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
      return status.Report(kExitFailure);
    }
    std::printf("mounted %s on %s%s\n", file.c_str(), directory.c_str(),
                readOnly ? " (read-only)" : "");
    std::fflush(stdout);
    if (!foreground) vaultfs::mount::DetachFromTerminal();
    status.Report(0);
    const int served = readOnly ? readOnlyMount->Serve() : liveMount->Serve();
    readOnlyMount.reset();
    liveMount.reset();
    // Closing reports what could not be written; in the background nobody
    // reads it, but the exit status still tells.
    storage.CloseChecked();
    if (served != 0) {
      std::fprintf(stderr, "%s: %s: the mount ended with an error (%d)\n", kProgram, file.c_str(),
                   served);
      return kExitFailure;
    }
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s: %s\n", kProgram, file.c_str(), e.what());
    return status.Report(kExitFailure);
  }
}
#endif

}  // namespace

int CommandMount(int argc, char** argv) {
  Arguments args;
  std::string error;
  if (!ParseArguments(argc, argv, 2, {"--read-only", "--foreground"}, {kStoragePasswordOption},
                      args, error))
    return UsageError(error);
  if (args.help) return std::fputs(kUsage, stdout), 0;
  if (args.positional.size() != 2) return UsageError("mount needs FILE and DIR");
  std::u16string storagePassword;
  const vaultfs::WipeOnExit wipe(storagePassword);
  if (const std::string* f = args.Value(kStoragePasswordOption))
    if (!ReadPasswordText(*f, storagePassword, error)) return UsageError(error);
#ifdef VAULTFS_WITH_MOUNT
  const std::string file = args.positional[0];
  const std::string directory = AbsoluteFolder(args.positional[1]);
  const bool readOnly = args.Has("--read-only");
  const bool foreground = args.Has("--foreground");
  return vaultfs::mount::RunMountProcess(
      foreground, kProgram, kExitFailure, [&](vaultfs::mount::TMountStatus& status) {
        return ServeMount(file, directory, readOnly, storagePassword, status, foreground);
      });
#else
  std::fprintf(stderr, "%s: this build has no mounts (it was made without libfuse3)\n", kProgram);
  return kExitFailure;
#endif
}

int CommandUnmount(int argc, char** argv) {
  Arguments args;
  std::string error;
  if (!ParseArguments(argc, argv, 2, {}, {}, args, error)) return UsageError(error);
  if (args.help) return std::fputs(kUsage, stdout), 0;
  if (args.positional.size() != 1) return UsageError("unmount needs exactly one DIR");
#ifdef VAULTFS_WITH_MOUNT
  return vaultfs::mount::UnmountFuse(AbsoluteFolder(args.positional[0]), kProgram) ? 0
                                                                                   : kExitFailure;
#else
  std::fprintf(stderr, "%s: this build has no mounts (it was made without libfuse3)\n", kProgram);
  return kExitFailure;
#endif
}

}  // namespace vaultfs_tool
