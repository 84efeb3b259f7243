// vaultfs: command-line access to VaultFS containers.
//
// Exit status: 0 success, 1 the operation failed (bad input, damaged or
// missing container), 2 the command line was wrong.
//
// This file holds the help text and picks the command; the commands are in
// one file per group of the help text (commands.h), what they share in
// common.h. The tool uses only the engine's public headers.
#include <cstdio>
#include <string>
#include <string_view>

#include "commands.h"
#include "common.h"

namespace vaultfs_tool {

const char* const kUsage =
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
    "Mounts:\n"
    "  mount FILE DIR [--storage-password-file F] [--read-only] [--foreground]\n"
    "      Serve the container's tree at the folder DIR through FUSE, read-write\n"
    "      (--read-only: read-only). Names, modes, nanosecond modification times\n"
    "      and links show as export would write them; chmod and touch store them\n"
    "      as import does. Every change is journaled: after a kill or a power cut\n"
    "      the container holds what was last committed (each change to a folder,\n"
    "      and a file's data at close and fsync) and the next open recovers it.\n"
    "      Returns once the mount is in place (--foreground: serves until it ends).\n"
    "  unmount DIR\n"
    "      End a mount (fusermount3 -u DIR); the serving process then closes the\n"
    "      container and exits.\n"
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

}  // namespace vaultfs_tool

int main(int argc, char** argv) {
  using namespace vaultfs_tool;
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
  if (command == "mkdir") return CommandMkdir(argc, argv);
  if (command == "rm") return CommandRm(argc, argv);
  if (command == "mv") return CommandMv(argc, argv);
  if (command == "ln") return CommandLn(argc, argv);
  if (command == "mount") return CommandMount(argc, argv);
  if (command == "unmount") return CommandUnmount(argc, argv);
  return UsageError("unknown command '" + std::string(command) + "'");
}
