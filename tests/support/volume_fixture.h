// Containers on in-memory host files for the engine's tests: a bare volume
// for the volume layer, a volume with its object store made or opened the
// way the object layer's tests need it, a check of the links between the
// pages of a closed container, and file writes through the object layer.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "support/memory_host_files.h"
#include "vaultfs/objects/codecs.h"
#include "vaultfs/objects/file_data.h"
#include "vaultfs/objects/file_object.h"
#include "vaultfs/volume/volume.h"

namespace vaultfs::testing {

// Fixture of the volume layer's tests: a bare Volume (no object store) whose
// host files are files_, attached before each test. The test makes or opens
// its container itself.
class HostedVolumeTest : public ::testing::Test {
 protected:
  void SetUp() override;

  MemoryHostFiles files_;
  Volume volume_;
};

// How the container is made or opened. A setting left unset keeps the
// Volume's own default, so that a test sets only what it is about.
struct VolumeSettings {
  std::uint32_t pageSize = 512;  // Create only
  bool overwrite = false;        // Create only
  bool readOnly = false;         // Open only
  std::optional<bool> transactions = {};
  std::optional<bool> caseSensitive = {};
  std::optional<char16_t> separator = {};
  std::optional<std::uint32_t> autoCompact = {};
};

// Opens the closed container `name` read-only beside the test and reports
// every broken link between its pages as a test failure.
void ExpectSoundStructure(MemoryHostFiles& files, const std::u16string& name);

// Fixture of a test that works on one container, `name`, in files_. The
// members keep the names the tests use; a test adds its own helpers on top.
class MemoryVolumeTest : public ::testing::Test {
 protected:
  explicit MemoryVolumeTest(std::u16string name) : name_(std::move(name)) {}

  // Replaces volume_ and store_ by new ones on files_ (or on `host`) and
  // creates the container (`create`) or opens it.
  void OpenVolume(bool create, const VolumeSettings& settings = {},
                  MemoryHostFiles* host = nullptr);
  // Closes the container, which must succeed, and drops volume_ and store_.
  void CloseVolume();
  ObjectStore& Store() { return *store_; }
  FileObject& Root() { return *store_->Root(); }

  const std::u16string name_;
  MemoryHostFiles files_;
  std::unique_ptr<Volume> volume_;
  std::unique_ptr<ObjectStore> store_;
};

// Writes all of `content` through the handle, 1500 bytes a call, so that
// writes straddle block and page boundaries; the first failure, if any.
EngineResult WriteAll(FileHandle* handle, std::span<const std::uint8_t> content);

// Creates the file `path` (emptying an existing one) with the given cipher
// (and `password` for it) and codec, writes `content` and closes it.
EngineResult WriteNewFile(ObjectStore& store, const std::u16string& path,
                          std::span<const std::uint8_t> content, std::uint32_t cipher,
                          std::span<const std::uint8_t> password,
                          std::uint32_t compression = crNoCompression, std::uint32_t level = 0,
                          std::uint16_t blockPages = 0);

// One open of a container and its object store, for tests that make, damage
// and reopen many containers in one case. Not copyable; the host files must
// outlive it. The destructor closes what is still open and ignores the
// result: a test that cares calls Close itself.
class VolumeSession {
 public:
  // A non-empty `storagePassword` is supplied on every Open, for containers
  // whose pages are enciphered.
  VolumeSession(MemoryHostFiles& files, std::u16string name, std::uint32_t pageSize,
                bool transactions, std::span<const std::uint8_t> storagePassword = {});
  ~VolumeSession();
  VolumeSession(const VolumeSession&) = delete;
  VolumeSession& operator=(const VolumeSession&) = delete;

  // Makes the container anew, over an existing one.
  EngineResult Create();
  EngineResult Open(bool readOnly);
  // Closes the open handles, then the volume; the first failure, if any.
  EngineResult Close();
  Volume& volume() { return volume_; }
  ObjectStore& store() { return *store_; }

 private:
  std::u16string name_;
  std::uint32_t pageSize_;
  std::vector<std::uint8_t> storagePassword_;
  Volume volume_;
  std::unique_ptr<ObjectStore> store_;
};

}  // namespace vaultfs::testing
