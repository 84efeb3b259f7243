// Writes a container whose last commit is registered in its transaction
// table but not finished, as a crash would leave it, for the byte-order
// matrix (tests/cross/byte_order_matrix.sh): an open on the other byte order
// must finish that commit. Also writes what /second holds once an open on
// this byte order has finished it.
//
//   interrupted_commit CONTAINER EXPECTED
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "support/memory_host_files.h"
#include "support/volume_fixture.h"
#include "vaultfs/objects/file_data.h"
#include "vaultfs/objects/path_ops.h"

namespace {

using vaultfs::EngineResult;
using vaultfs::testing::MemoryHostFiles;
using vaultfs::testing::VolumeSession;
using vaultfs::testing::WriteNewFile;

const std::u16string kName = u"c.vfs";

std::vector<std::uint8_t> Pattern(std::size_t size, std::uint32_t seed, bool text) {
  std::vector<std::uint8_t> bytes(size);
  std::uint32_t x = seed;
  for (std::size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    bytes[i] = text ? static_cast<std::uint8_t>("byte order "[i % 11]) ^ ((x >> 28) & 1)
                    : static_cast<std::uint8_t>(x >> 16);
  }
  return bytes;
}

bool ReadWhole(vaultfs::ObjectStore& store, const std::u16string& path,
               std::vector<std::uint8_t>& content) {
  vaultfs::FileHandle* handle = nullptr;
  if (vaultfs::PathOpenFile(store, path, true, false, false, false, {}, handle) != 0) return false;
  content.assign(1 << 20, 0);
  std::uint32_t done = 0;
  const EngineResult r = vaultfs::ReadData(handle, content.data(),
                                           static_cast<std::uint32_t>(content.size()), done);
  content.resize(done);
  return vaultfs::CloseHandle(handle, true) == 0 && r == 0;
}

bool Save(const char* path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out.flush());
}

// The container with /first committed, then /second written with the
// write `failAt` of its run failing; whether that left a registered commit.
bool Attempt(MemoryHostFiles& files, std::uint64_t failAt, std::uint64_t& writes) {
  const std::vector<std::uint8_t> first = Pattern(70000, 1, true);
  const std::vector<std::uint8_t> second = Pattern(90000, 2, false);
  VolumeSession s(files, kName, 512, true);
  if (s.Create() != 0 ||
      WriteNewFile(s.store(), u"/first", first, 0, {}, vaultfs::crZLib, 6) != 0 ||
      s.Close() != 0 || s.Open(false) != 0)
    return false;
  const std::uint64_t base = files.WriteCount();
  if (failAt != 0) files.FailWrite(base + failAt, EIO);
  EngineResult ignored = WriteNewFile(s.store(), u"/second", second, 0, {}, vaultfs::crZLib, 6);
  (void)ignored;
  const bool pending = s.volume().RecoveryPending();
  ignored = s.Close();
  writes = files.WriteCount() - base;
  return pending;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: interrupted_commit CONTAINER EXPECTED\n");
    return 2;
  }
  std::uint64_t writes = 0;
  {
    MemoryHostFiles files;
    Attempt(files, 0, writes);
  }
  // The last write that fails after a registration: the last commit of
  // /second is left to the next open.
  for (std::uint64_t at = writes; at >= 1; --at) {
    MemoryHostFiles files;
    std::uint64_t ignored = 0;
    if (!Attempt(files, at, ignored)) continue;
    const std::vector<std::uint8_t> left = files.Contents(kName);
    files.ResetFaults();
    VolumeSession s(files, kName, 512, true);
    std::vector<std::uint8_t> second;
    if (s.Open(false) != 0 || !ReadWhole(s.store(), u"/second", second) || second.empty()) {
      std::fprintf(stderr, "interrupted_commit: this byte order does not finish the commit\n");
      return 1;
    }
    if (!Save(argv[1], left) || !Save(argv[2], second)) {
      std::fprintf(stderr, "interrupted_commit: cannot write %s or %s\n", argv[1], argv[2]);
      return 1;
    }
    return 0;
  }
  std::fprintf(stderr, "interrupted_commit: no failure left a registered commit\n");
  return 1;
}
