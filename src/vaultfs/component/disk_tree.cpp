#include "vaultfs/disk_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <system_error>

#include "vaultfs/utf16.h"
#include "vaultfs/vault_error.h"

namespace vaultfs {

namespace {

// ---- explicit little-endian fields of the tags ----

void PutU16(std::uint8_t* at, std::uint16_t value) {
  at[0] = static_cast<std::uint8_t>(value);
  at[1] = static_cast<std::uint8_t>(value >> 8);
}
void PutU32(std::uint8_t* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}
void PutI64(std::uint8_t* at, std::int64_t value) {
  const auto bits = static_cast<std::uint64_t>(value);
  for (int i = 0; i < 8; ++i) at[i] = static_cast<std::uint8_t>(bits >> (8 * i));
}
std::uint16_t GetU16(const std::uint8_t* at) {
  return static_cast<std::uint16_t>(at[0] | (at[1] << 8));
}
std::uint32_t GetU32(const std::uint8_t* at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | at[i];
  return value;
}
std::int64_t GetI64(const std::uint8_t* at) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | at[i];
  return static_cast<std::int64_t>(value);
}

constexpr std::uint32_t kNanosecondsPerSecond = 1'000'000'000;
constexpr std::int64_t kSecondsPerDay = 86400;
// Days from 1899-12-30 to 1970-01-01.
constexpr std::int64_t kUnixEpochDays = 25569;

// ---- names ----

bool IsForbiddenUnit(char32_t c) {
  if (c >= 1 && c <= 0x1F) return true;
  switch (c) {
    case u'\\':
    case u'?':
    case u'*':
    case u':':
    case u'<':
    case u'>':
    case u'|':
      return true;
    default:
      return false;
  }
}

constexpr char16_t kStandInBase = 0xF000;

bool IsStandIn(char16_t c) {
  return c >= kStandInBase && c <= kStandInBase + 0x7F && IsForbiddenUnit(c - kStandInBase);
}

bool IsHighSurrogate(char16_t c) {
  return c >= 0xD800 && c <= 0xDBFF;
}

// The three UTF-8 bytes of a unit from U+0800 up, each written as the unit
// that stands for a raw byte (U+DC80 + byte - 0x80).
void AppendRawBytes(std::u16string& out, char16_t c) {
  std::string bytes;
  AppendUtf8(c, bytes);
  for (char b : bytes) out.push_back(static_cast<char16_t>(0xDC00 + static_cast<std::uint8_t>(b)));
}

// ---- stat ----

DiskKind KindOf(mode_t mode) {
  if (S_ISREG(mode)) return DiskKind::File;
  if (S_ISDIR(mode)) return DiskKind::Directory;
  if (S_ISLNK(mode)) return DiskKind::Link;
  return DiskKind::Special;
}

DiskTime FromTimestamp(const struct statx_timestamp& t) {
  return DiskTime{t.tv_sec, t.tv_nsec};
}

// statx of `name` in `dirFd` without following a final link (an empty name
// examines `dirFd` itself). Returns 0 or an errno.
int StatAt(int dirFd, const char* name, DiskStat& out) {
  struct statx sx {};
  const int flags = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | (*name ? 0 : AT_EMPTY_PATH);
  if (statx(dirFd, name, flags, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) {
    if (errno != ENOSYS) return errno;
    struct stat st {};
    if (fstatat(dirFd, name, &st, flags) != 0) return errno;
    out.Kind = KindOf(st.st_mode);
    out.Mode = st.st_mode;
    out.Size = out.Kind == DiskKind::File ? static_cast<std::uint64_t>(st.st_size) : 0;
    out.Modified = DiskTime{st.st_mtim.tv_sec, static_cast<std::uint32_t>(st.st_mtim.tv_nsec)};
    out.Created = out.Modified;
    return 0;
  }
  out.Kind = KindOf(sx.stx_mode);
  out.Mode = sx.stx_mode;
  out.Size = out.Kind == DiskKind::File ? sx.stx_size : 0;
  out.Modified = FromTimestamp(sx.stx_mtime);
  out.Created = (sx.stx_mask & STATX_BTIME) ? FromTimestamp(sx.stx_btime) : out.Modified;
  return 0;
}

std::string WithSlash(std::string path) {
  if (path.empty() || path.back() != '/') path.push_back('/');
  return path;
}

// A name for a file being written: short (so that it fits beside a name of
// the longest length), hidden, and unlikely to exist; O_EXCL settles the rest.
std::string TemporaryName() {
  static std::atomic<std::uint64_t> counter{0};
  const auto now =
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  std::uint64_t mix = now ^ (static_cast<std::uint64_t>(getpid()) << 32) ^
                      (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
  mix ^= mix >> 29;
  mix *= 0xBF58476D1CE4E5B9ull;
  mix ^= mix >> 32;
  char text[32];
  std::snprintf(text, sizeof text, ".vaultfs-%012llx",
                static_cast<unsigned long long>(mix & 0xFFFFFFFFFFFFull));
  return text;
}

constexpr int kTemporaryNameAttempts = 100;

struct timespec ToTimespec(DiskTime time) {
  struct timespec ts {};
  ts.tv_sec = static_cast<time_t>(time.Seconds);
  ts.tv_nsec = static_cast<long>(time.Nanoseconds);
  return ts;
}

}  // namespace

// ---------------------------------------------------------------- names

std::u16string DiskNameToStorage(std::string_view diskName) {
  const std::u16string decoded = Utf8ToUtf16(diskName);
  std::u16string out;
  out.reserve(decoded.size());
  for (const char16_t c : decoded) {
    if (IsForbiddenUnit(c)) {
      out.push_back(static_cast<char16_t>(kStandInBase + c));
    } else if (IsStandIn(c)) {
      // A lone high surrogate right before the raw bytes would pair up with
      // the first of them on the way back: write it as raw bytes as well.
      if (!out.empty() && IsHighSurrogate(out.back())) {
        const char16_t high = out.back();
        out.pop_back();
        AppendRawBytes(out, high);
      }
      AppendRawBytes(out, c);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string StorageNameToDisk(std::u16string_view storageName) {
  std::u16string text(storageName);
  for (char16_t& c : text)
    if (IsStandIn(c)) c = static_cast<char16_t>(c - kStandInBase);
  return Utf16ToUtf8(text);
}

bool IsSafeDiskName(std::string_view diskName) {
  return !diskName.empty() && diskName != "." && diskName != ".." &&
         diskName.find('/') == std::string_view::npos &&
         diskName.find('\0') == std::string_view::npos;
}

// ---------------------------------------------------------------- attributes

namespace {
struct AttributePair {
  std::uint32_t Disk;
  std::uint32_t Storage;
};
constexpr AttributePair kAttributeMap[] = {
    {faReadOnly, 0x40}, {faArchive, 0x80}, {faHidden, 0x100}, {faSystem, 0x200}};
}  // namespace

std::uint32_t WindowsToStorageAttributes(std::uint32_t diskAttributes) {
  std::uint32_t result = 0;
  for (const auto& pair : kAttributeMap)
    if (diskAttributes & pair.Disk) result |= pair.Storage;
  return result;
}

std::uint32_t StorageToWindowsAttributes(std::uint32_t storageAttributes) {
  std::uint32_t result = 0;
  for (const auto& pair : kAttributeMap)
    if (storageAttributes & pair.Storage) result |= pair.Disk;
  return result;
}

std::uint32_t DiskAttributes(std::string_view name, mode_t mode) {
  std::uint32_t attributes = 0;
  if ((mode & S_IWUSR) == 0) attributes |= faReadOnly;
  // "." and ".." name a folder by its place, not by a name of its own.
  if (!name.empty() && name.front() == '.' && name != "." && name != "..") attributes |= faHidden;
  return attributes;
}

// ---------------------------------------------------------------- times

StorageTime DiskTimeToStorageTime(DiskTime time) {
  // Whole days and the rest of the day apart, so that the fraction keeps all
  // the precision the double has.
  std::int64_t days = time.Seconds / kSecondsPerDay;
  std::int64_t rest = time.Seconds % kSecondsPerDay;
  if (rest < 0) {
    rest += kSecondsPerDay;
    --days;
  }
  const double dayFraction =
      (static_cast<double>(rest) + static_cast<double>(time.Nanoseconds) * 1e-9) /
      static_cast<double>(kSecondsPerDay);
  return static_cast<double>(days + kUnixEpochDays) + dayFraction;
}

bool StorageTimeToDiskTime(StorageTime time, DiskTime& out) {
  // Years 1..9999: from 0001-01-01 to the end of 9999-12-31.
  if (!std::isfinite(time) || time < -693593.0 || time >= 2958466.0) return false;
  const double day = std::floor(time);
  const double secondOfDay = (time - day) * static_cast<double>(kSecondsPerDay);
  const double wholeSeconds = std::floor(secondOfDay);
  auto nanoseconds = static_cast<std::int64_t>(std::llround((secondOfDay - wholeSeconds) * 1e9));
  std::int64_t seconds = (static_cast<std::int64_t>(day) - kUnixEpochDays) * kSecondsPerDay +
                         static_cast<std::int64_t>(wholeSeconds);
  if (nanoseconds >= kNanosecondsPerSecond) {
    nanoseconds -= kNanosecondsPerSecond;
    ++seconds;
  }
  out.Seconds = seconds;
  out.Nanoseconds = static_cast<std::uint32_t>(nanoseconds);
  return true;
}

// ---------------------------------------------------------------- tags

namespace {
constexpr std::size_t kMetaVersion = 0;
constexpr std::size_t kMetaMode = 1;
constexpr std::size_t kMetaSeconds = 3;
constexpr std::size_t kMetaNanoseconds = 11;

constexpr std::size_t kLinkNameLength = 0;
constexpr std::size_t kLinkName = 2;
constexpr std::size_t kLinkTimeSize = 12;  // i64 seconds + u32 nanoseconds
}  // namespace

void EncodePosixMetadata(const PosixMetadata& metadata,
                         std::span<std::uint8_t, kPosixMetadataSize> out) {
  std::uint8_t* at = out.data();
  at[kMetaVersion] = kPosixMetadataVersion;
  PutU16(at + kMetaMode, static_cast<std::uint16_t>(metadata.Mode & 07777));
  PutI64(at + kMetaSeconds, metadata.Modified.Seconds);
  PutU32(at + kMetaNanoseconds, metadata.Modified.Nanoseconds);
}

bool DecodePosixMetadata(std::span<const std::uint8_t> data, PosixMetadata& out) {
  if (data.size() < kPosixMetadataSize || data[kMetaVersion] != kPosixMetadataVersion) return false;
  const std::uint8_t* at = data.data();
  const std::uint32_t nanoseconds = GetU32(at + kMetaNanoseconds);
  if (nanoseconds >= kNanosecondsPerSecond) return false;
  out.Mode = GetU16(at + kMetaMode) & 07777u;
  out.Modified = DiskTime{GetI64(at + kMetaSeconds), nanoseconds};
  return true;
}

std::vector<std::uint8_t> EncodeLinkTimes(const std::vector<LinkTime>& links) {
  std::vector<std::uint8_t> out;
  out.push_back(kLinkTimesVersion);
  for (const LinkTime& link : links) {
    if (link.Name.empty() || link.Name.size() > 0xFFFF) continue;
    const std::size_t start = out.size();
    out.resize(start + kLinkName + 2 * link.Name.size() + kLinkTimeSize);
    std::uint8_t* at = out.data() + start;
    PutU16(at + kLinkNameLength, static_cast<std::uint16_t>(link.Name.size()));
    for (std::size_t i = 0; i < link.Name.size(); ++i)
      PutU16(at + kLinkName + 2 * i, static_cast<std::uint16_t>(link.Name[i]));
    std::uint8_t* time = at + kLinkName + 2 * link.Name.size();
    PutI64(time, link.Modified.Seconds);
    PutU32(time + 8, link.Modified.Nanoseconds);
  }
  return out;
}

bool DecodeLinkTimes(std::span<const std::uint8_t> data, std::vector<LinkTime>& out) {
  out.clear();
  if (data.empty() || data[0] != kLinkTimesVersion) return false;
  std::size_t position = 1;
  while (position < data.size()) {
    if (data.size() - position < kLinkName) return false;
    const std::uint8_t* at = data.data() + position;
    const std::size_t units = GetU16(at + kLinkNameLength);
    const std::size_t length = kLinkName + 2 * units + kLinkTimeSize;
    if (units == 0 || data.size() - position < length) return false;
    LinkTime link;
    link.Name.resize(units);
    for (std::size_t i = 0; i < units; ++i)
      link.Name[i] = static_cast<char16_t>(GetU16(at + kLinkName + 2 * i));
    const std::uint8_t* time = at + kLinkName + 2 * units;
    link.Modified = DiskTime{GetI64(time), GetU32(time + 8)};
    if (link.Modified.Nanoseconds >= kNanosecondsPerSecond) return false;
    out.push_back(std::move(link));
    position += length;
  }
  return true;
}

// ---------------------------------------------------------------- errors

const char* SpecialKindName(mode_t mode) {
  if (S_ISFIFO(mode)) return "FIFO";
  if (S_ISSOCK(mode)) return "socket";
  if (S_ISCHR(mode)) return "character device";
  if (S_ISBLK(mode)) return "block device";
  return "special file";
}

void RefuseSpecialFile(const std::string& path, mode_t mode) {
  throw EFilerError("Cannot copy '" + path + "': it is a " + SpecialKindName(mode) +
                    " (devices, FIFOs and sockets cannot be stored)");
}

void ThrowDiskError(const char* operation, const std::string& path, int error) {
  throw std::system_error(error, std::generic_category(),
                          std::string(operation) + " '" + path + "'");
}

// ---------------------------------------------------------------- descriptors

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    Reset();
    fd_ = other.Release();
  }
  return *this;
}

void UniqueFd::Reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int UniqueFd::Close() {
  if (fd_ < 0) return 0;
  const int result = ::close(fd_);
  fd_ = -1;
  // Linux releases the descriptor even when close reports EINTR.
  return result == 0 || errno == EINTR ? 0 : errno;
}

// ---------------------------------------------------------------- folders

DiskFolder OpenDiskFolder(const std::string& path) {
  DiskFolder folder;
  folder.Path = WithSlash(path);
  folder.Fd = UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder.Fd) ThrowDiskError("open", path, errno);
  return folder;
}

DiskFolder OpenDiskSubfolder(const DiskFolder& parent, const std::string& name, bool create,
                             mode_t mode) {
  DiskFolder folder;
  const std::string path = parent.Path + name;
  folder.Path = path + '/';
  if (create && mkdirat(parent.Fd.Get(), name.c_str(), mode) != 0 && errno != EEXIST)
    ThrowDiskError("create folder", path, errno);
  const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  folder.Fd = UniqueFd(openat(parent.Fd.Get(), name.c_str(), flags));
  if (!folder.Fd && errno == EACCES && create) {
    // A folder left without owner permissions by an earlier run: we are about
    // to fill it, and its own mode is put back once its contents are written.
    DiskStat stat;
    if (StatAt(parent.Fd.Get(), name.c_str(), stat) == 0 && stat.Kind == DiskKind::Directory &&
        fchmodat(parent.Fd.Get(), name.c_str(), (stat.Mode & 07777) | S_IRWXU, 0) == 0)
      folder.Fd = UniqueFd(openat(parent.Fd.Get(), name.c_str(), flags));
    else
      errno = EACCES;
  }
  if (!folder.Fd) ThrowDiskError("open", path, errno);
  return folder;
}

DiskFolderId IdentifyDiskFolder(const DiskFolder& folder) {
  struct stat st {};
  if (fstat(folder.Fd.Get(), &st) != 0) ThrowDiskError("stat", folder.Path, errno);
  return DiskFolderId{st.st_dev, st.st_ino};
}

DiskFolder OpenDiskParentFolder(const DiskFolder& child, std::string path, DiskFolderId expected) {
  DiskFolder folder;
  folder.Path = std::move(path);
  folder.Fd = UniqueFd(openat(child.Fd.Get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder.Fd) ThrowDiskError("open", folder.Path, errno);
  if (IdentifyDiskFolder(folder) != expected) ThrowDiskError("open", folder.Path, ESTALE);
  return folder;
}

DiskSpace DiskSpaceAt(const std::string& path) {
  // The folder examined is path[0, length), the current folder when empty.
  std::size_t length = path.size();
  while (length > 1 && path[length - 1] == '/') --length;
  for (;;) {
    const std::string at = length == 0 ? std::string(1, '.') : path.substr(0, length);
    struct statvfs vfs {};
    if (statvfs(at.c_str(), &vfs) == 0) {
      DiskSpace space;
      const std::uint64_t unit = vfs.f_frsize != 0 ? vfs.f_frsize : vfs.f_bsize;
      const std::uint64_t blocks = vfs.f_bavail;
      space.Available = unit != 0 && blocks > std::numeric_limits<std::uint64_t>::max() / unit
                            ? std::numeric_limits<std::uint64_t>::max()
                            : blocks * unit;
      // The bits of the largest size as a signed number, by the standard's
      // words; some systems report the unsigned width (32 where 4 GiB - 1
      // fits), so the limit is read as unsigned: a file this refuses could
      // never be written whole, one it lets through still fails cleanly.
      const long bits = pathconf(at.c_str(), _PC_FILESIZEBITS);
      if (bits > 0 && bits < 64) space.MaxFileSize = (std::uint64_t{1} << bits) - 1;
      return space;
    }
    const int error = errno;
    if ((error != ENOENT && error != ENOTDIR) || length == 0 || at == "/")
      ThrowDiskError("examine free space at", path, error);
    const std::size_t slash = path.find_last_of('/', length - 1);
    if (slash == std::string::npos) {
      length = 0;
    } else {
      length = slash == 0 ? 1 : slash;
      while (length > 1 && path[length - 1] == '/') --length;
    }
  }
}

bool ForceDiskDirectories(const std::string& path) {
  std::string folder = path;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  if (folder.empty()) return false;
  struct stat st {};
  if (::stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  const std::size_t slash = folder.find_last_of('/');
  if (slash != std::string::npos) {
    const std::string parent = slash == 0 ? std::string("/") : folder.substr(0, slash);
    if (parent != folder) ForceDiskDirectories(parent);
  }
  if (::mkdir(folder.c_str(), 0777) == 0) return true;
  return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<DiskEntry> ListDiskFolder(const DiskFolder& folder) {
  // fdopendir takes over its descriptor: give it one of its own.
  const int fd = openat(folder.Fd.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) ThrowDiskError("read folder", folder.Path, errno);
  DIR* dir = fdopendir(fd);
  if (!dir) {
    const int error = errno;
    ::close(fd);
    ThrowDiskError("read folder", folder.Path, error);
  }
  struct Closer {
    DIR* d;
    ~Closer() { closedir(d); }
  } closer{dir};
  std::vector<DiskEntry> entries;
  for (;;) {
    errno = 0;
    const dirent* item = readdir(dir);
    if (!item) {
      if (errno != 0) ThrowDiskError("read folder", folder.Path, errno);
      break;
    }
    const std::string_view name = item->d_name;
    if (name == "." || name == "..") continue;
    DiskEntry entry;
    entry.Name.assign(name);
    const int error = StatAt(folder.Fd.Get(), entry.Name.c_str(), entry.Stat);
    if (error == ENOENT) continue;  // gone since it was listed
    if (error != 0) ThrowDiskError("stat", folder.Path + entry.Name, error);
    entries.push_back(std::move(entry));
  }
  std::sort(entries.begin(), entries.end(),
            [](const DiskEntry& a, const DiskEntry& b) { return a.Name < b.Name; });
  return entries;
}

bool StatDiskEntry(const DiskFolder& folder, const std::string& name, DiskStat& out) {
  const int error = StatAt(folder.Fd.Get(), name.c_str(), out);
  if (error == ENOENT) return false;
  if (error != 0) ThrowDiskError("stat", folder.Path + name, error);
  return true;
}

DiskStat StatDiskFolder(const DiskFolder& folder) {
  DiskStat stat;
  const int error = StatAt(folder.Fd.Get(), "", stat);
  if (error != 0) ThrowDiskError("stat", folder.Path, error);
  return stat;
}

// ---------------------------------------------------------------- files

UniqueFd OpenDiskFileForReading(const DiskFolder& folder, const std::string& name) {
  const std::string path = folder.Path + name;
  // Looked at before opening: opening a device node can have effects of its own.
  DiskStat before;
  if (const int error = StatAt(folder.Fd.Get(), name.c_str(), before); error != 0)
    ThrowDiskError("open", path, error);
  if (before.Kind == DiskKind::Special) RefuseSpecialFile(path, before.Mode);
  UniqueFd fd(openat(folder.Fd.Get(), name.c_str(),
                     O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) ThrowDiskError("open", path, errno);
  struct stat st {};
  if (fstat(fd.Get(), &st) != 0) ThrowDiskError("stat", path, errno);
  if (KindOf(st.st_mode) == DiskKind::Special) RefuseSpecialFile(path, st.st_mode);
  if (!S_ISREG(st.st_mode)) ThrowDiskError("open", path, S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
  return fd;
}

std::size_t ReadDiskFile(int fd, std::span<std::uint8_t> buffer, const std::string& path) {
  std::size_t done = 0;
  while (done < buffer.size()) {
    const ssize_t got = ::read(fd, buffer.data() + done, buffer.size() - done);
    if (got < 0) {
      if (errno == EINTR) continue;
      ThrowDiskError("read", path, errno);
    }
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

std::string ReadDiskLink(const DiskFolder& folder, const std::string& name) {
  std::string target(256, '\0');
  for (;;) {
    const ssize_t got = readlinkat(folder.Fd.Get(), name.c_str(), target.data(), target.size());
    if (got < 0) ThrowDiskError("read link", folder.Path + name, errno);
    if (static_cast<std::size_t>(got) < target.size()) {
      target.resize(static_cast<std::size_t>(got));
      return target;
    }
    target.resize(target.size() * 2);
  }
}

void SetDiskFolderMode(const DiskFolder& folder, mode_t mode) {
  if (fchmod(folder.Fd.Get(), mode & 07777) != 0) ThrowDiskError("chmod", folder.Path, errno);
}

void SetDiskFolderTimes(const DiskFolder& folder, DiskTime modified) {
  const struct timespec times[2] = {ToTimespec(modified), ToTimespec(modified)};
  if (futimens(folder.Fd.Get(), times) != 0) ThrowDiskError("set times of", folder.Path, errno);
}

bool MakeDiskFolderWritable(const DiskFolder& folder) {
  struct stat st {};
  if (fstat(folder.Fd.Get(), &st) != 0) ThrowDiskError("stat", folder.Path, errno);
  if ((st.st_mode & S_IWUSR) && (st.st_mode & S_IXUSR)) return false;
  SetDiskFolderMode(folder, (st.st_mode & 07777) | S_IWUSR | S_IXUSR);
  return true;
}

mode_t CurrentUmask() {
  // umask() can only be read by setting it, which would race with other
  // threads creating files; the kernel reports it here instead.
  if (std::FILE* status = std::fopen("/proc/self/status", "re")) {
    char line[256];
    unsigned mask = 0;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, status))
      found = std::sscanf(line, "Umask: %o", &mask) == 1;
    std::fclose(status);
    if (found) return static_cast<mode_t>(mask & 0777);
  }
  return 022;
}

// ---------------------------------------------------------------- replacement

DiskReplacement::DiskReplacement(const DiskFolder& folder, std::string name)
    : folder_(folder), name_(std::move(name)), targetPath_(folder.Path + name_) {}

DiskReplacement::~DiskReplacement() {
  if (committed_ || temporary_.empty()) return;
  fd_.Reset();
  (void)unlinkat(folder_.Fd.Get(), temporary_.c_str(), 0);
}

void DiskReplacement::CreateFile() {
  for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
    std::string candidate = TemporaryName();
    const int fd = openat(folder_.Fd.Get(), candidate.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      fd_ = UniqueFd(fd);
      temporary_ = std::move(candidate);
      isLink_ = false;
      return;
    }
    if (errno != EEXIST) ThrowDiskError("create", targetPath_, errno);
  }
  ThrowDiskError("create", targetPath_, EEXIST);
}

void DiskReplacement::Write(std::span<const std::uint8_t> data) {
  while (!data.empty()) {
    const ssize_t put = ::write(fd_.Get(), data.data(), data.size());
    if (put < 0) {
      if (errno == EINTR) continue;
      ThrowDiskError("write", targetPath_, errno);
    }
    data = data.subspan(static_cast<std::size_t>(put));
    position_ += static_cast<std::uint64_t>(put);
  }
  end_ = std::max(end_, position_);
}

void DiskReplacement::Skip(std::uint64_t count) {
  constexpr auto kLargest = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
  if (count > kLargest - position_) ThrowDiskError("write", targetPath_, EFBIG);
  if (lseek(fd_.Get(), static_cast<off_t>(position_ + count), SEEK_SET) < 0)
    ThrowDiskError("write", targetPath_, errno);
  position_ += count;
}

void DiskReplacement::CreateLink(const std::string& target) {
  for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
    std::string candidate = TemporaryName();
    if (symlinkat(target.c_str(), folder_.Fd.Get(), candidate.c_str()) == 0) {
      temporary_ = std::move(candidate);
      isLink_ = true;
      return;
    }
    if (errno != EEXIST) ThrowDiskError("create link", targetPath_, errno);
  }
  ThrowDiskError("create link", targetPath_, EEXIST);
}

void DiskReplacement::SetMode(mode_t mode) {
  if (isLink_) return;
  if (fchmod(fd_.Get(), mode & 07777) != 0) ThrowDiskError("chmod", targetPath_, errno);
}

void DiskReplacement::SettleSize() {
  if (isLink_ || position_ <= end_) return;
  if (ftruncate(fd_.Get(), static_cast<off_t>(position_)) != 0)
    ThrowDiskError("write", targetPath_, errno);
  end_ = position_;
}

void DiskReplacement::SetTimes(DiskTime modified) {
  // A change of size sets the modification time to now: the size first.
  SettleSize();
  const struct timespec times[2] = {ToTimespec(modified), ToTimespec(modified)};
  const int result =
      isLink_ ? utimensat(folder_.Fd.Get(), temporary_.c_str(), times, AT_SYMLINK_NOFOLLOW)
              : futimens(fd_.Get(), times);
  if (result != 0) ThrowDiskError("set times of", targetPath_, errno);
}

void DiskReplacement::Commit() {
  SettleSize();
  if (const int error = fd_.Close(); error != 0) ThrowDiskError("write", targetPath_, error);
  if (renameat(folder_.Fd.Get(), temporary_.c_str(), folder_.Fd.Get(), name_.c_str()) != 0)
    ThrowDiskError("rename", targetPath_, errno);
  committed_ = true;
}

}  // namespace vaultfs
