// The log the recording file system writes: one record per change it passed
// to the folder below it (and per flush), in the order it made them, with
// the data of every write. crash_states reads it back to build the states a
// power cut could have left. Records are little-endian, fields in the order
// of LogRecord below; strings and data are a 32-bit length and the bytes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace korvane_test {

enum class LogOp : std::uint8_t {
  kOpen = 1,       // Path, Handle (a file opened; O_TRUNC comes as kTruncate)
  kCreate = 2,     // Path, Handle, Mode (a new regular file, opened)
  kOpenDir = 3,    // Path, Handle
  kWrite = 4,      // Handle, Offset, Data
  kTruncate = 5,   // Path or Handle, Size
  kFallocate = 6,  // Handle, Size (the size it grew to; unchanged sizes are not logged)
  kMkdir = 7,      // Path, Mode
  kUnlink = 8,     // Path
  kRmdir = 9,      // Path
  kSymlink = 10,   // Path (the new link), Path2 (its target)
  kLink = 11,      // Path (existing), Path2 (the new name)
  kRename = 12,    // Path, Path2, Flags (RENAME_NOREPLACE, RENAME_EXCHANGE)
  kChmod = 13,     // Path or Handle, Mode
  kUtimens = 14,   // Path or Handle, Times (atime s, ns, mtime s, ns as set)
  kFsync = 15,     // Handle, Flags (1: data only)
  kFsyncDir = 16,  // Handle, Flags (1: data only)
  kRelease = 17,   // Handle (a file or folder closed)
};

struct LogRecord {
  LogOp Op{};
  std::uint64_t Handle = 0;  // 0: the operation named its entry by Path
  std::uint64_t Offset = 0;
  std::uint64_t Size = 0;
  std::uint32_t Mode = 0;
  std::uint32_t Flags = 0;
  std::int64_t Times[4] = {0, 0, 0, 0};
  std::string Path;  // relative to the root of the mount, starting with '/'
  std::string Path2;
  std::vector<std::uint8_t> Data;
};

inline void PutU64(std::FILE* f, std::uint64_t v) {
  unsigned char b[8];
  for (int i = 0; i < 8; ++i) b[i] = static_cast<unsigned char>(v >> (8 * i));
  std::fwrite(b, 1, 8, f);
}

inline void PutBytes(std::FILE* f, const void* data, std::size_t size) {
  PutU64(f, size);
  if (size != 0) std::fwrite(data, 1, size, f);
}

inline void WriteRecord(std::FILE* f, const LogRecord& r) {
  std::fputc(static_cast<int>(r.Op), f);
  PutU64(f, r.Handle);
  PutU64(f, r.Offset);
  PutU64(f, r.Size);
  PutU64(f, r.Mode);
  PutU64(f, r.Flags);
  for (std::int64_t t : r.Times) PutU64(f, static_cast<std::uint64_t>(t));
  PutBytes(f, r.Path.data(), r.Path.size());
  PutBytes(f, r.Path2.data(), r.Path2.size());
  PutBytes(f, r.Data.data(), r.Data.size());
}

inline bool GetU64(std::FILE* f, std::uint64_t& v) {
  unsigned char b[8];
  if (std::fread(b, 1, 8, f) != 8) return false;
  v = 0;
  for (int i = 0; i < 8; ++i) v |= static_cast<std::uint64_t>(b[i]) << (8 * i);
  return true;
}

template <typename Bytes>
bool GetBytes(std::FILE* f, Bytes& out) {
  std::uint64_t size = 0;
  if (!GetU64(f, size) || size > (std::uint64_t{1} << 32)) return false;
  out.resize(size);
  return size == 0 || std::fread(out.data(), 1, size, f) == size;
}

// False at the end of the log; a record cut short is an error (thrown).
inline bool ReadRecord(std::FILE* f, LogRecord& r) {
  const int op = std::fgetc(f);
  if (op == EOF) return false;
  r = LogRecord{};
  r.Op = static_cast<LogOp>(op);
  std::uint64_t mode = 0, flags = 0;
  bool ok = GetU64(f, r.Handle) && GetU64(f, r.Offset) && GetU64(f, r.Size) &&
            GetU64(f, mode) && GetU64(f, flags);
  for (std::int64_t& t : r.Times) {
    std::uint64_t v = 0;
    ok = ok && GetU64(f, v);
    t = static_cast<std::int64_t>(v);
  }
  ok = ok && GetBytes(f, r.Path) && GetBytes(f, r.Path2) && GetBytes(f, r.Data);
  if (!ok) throw std::runtime_error("the log ends inside a record");
  r.Mode = static_cast<std::uint32_t>(mode);
  r.Flags = static_cast<std::uint32_t>(flags);
  return true;
}

}  // namespace korvane_test
