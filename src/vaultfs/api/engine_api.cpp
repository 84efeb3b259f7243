// The flat entry layer: handles, argument checks and a few compositions over
// the volume core and the object layer. Nothing here throws: every function
// body runs inside Guarded, which turns an allocation failure into
// errOutOfMemory.
#include "vaultfs/engine_api.h"

#include "vaultfs/maintenance/repair.h"
#include "vaultfs/objects/codecs.h"
#include "vaultfs/objects/file_data.h"
#include "vaultfs/objects/path_ops.h"
#include "vaultfs/objects/records.h"
#include "vaultfs/objects/search.h"
#include "vaultfs/volume/page_cipher.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "vaultfs/objects/file_object.h"
#include "vaultfs/objects/storage_password.h"
#include "vaultfs/maintenance/format.h"
#include "vaultfs/format/page_layout.h"
#include "vaultfs/maintenance/repair.h"
#include "vaultfs/volume/volume.h"

namespace vaultfs {

namespace {
constexpr std::size_t kLogoUnits = layout::kLogoUnits;
}  // namespace

struct StorageContext {
  StorageContext() = default;
  StorageContext(const StorageContext&) = delete;
  StorageContext& operator=(const StorageContext&) = delete;

  // The store is built before the volume is created or opened (it attaches
  // the root then) and goes first; a volume still open at that point is
  // closed here, while the objects its transactions refer to still exist.
  ~StorageContext() {
    try {
      EngineResult ignored = ForceClose();
      (void)ignored;
    } catch (...) {
      // A destructor has no one to report to.
    }
  }

  // Closes the volume whatever the caller left open. Searches end first: they
  // only read, and each holds a transaction that would keep the close from
  // finishing. Open file handles are closed (and their data stored) by the
  // close itself. Should work still be running after that, it is rolled
  // back and the close done anyway.
  [[nodiscard]] EngineResult ForceClose() {
    if (!volume.Active) return 0;
    CloseAllSearches(store);
    EngineResult first = volume.Close();
    if (volume.Active) {
      for (Transaction* t : volume.RunningNow()) {
        EngineResult ignored = volume.Rollback(t);
        (void)ignored;
      }
      EngineResult closed = volume.Close();
      if (first == 0) first = closed;
    }
    return first;
  }

  Volume volume;
  ObjectStore store{volume};
  HostFileCallbacks hostFiles{};
  CustomCipherCallbacks cipher{};
  CustomCodecCallbacks codec{};
  // StorageGetPageSizeAndLogo hands out a pointer into this copy.
  char16_t logo[kLogoUnits + 1] = {};
};

namespace {

// Runs one entry function's body. The engine itself never throws; what can
// escape it are the standard library's resource failures (allocation above
// all), which the flat interface reports as errOutOfMemory.
template <typename Body>
EngineResult Guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return errOutOfMemory;
  }
}

std::span<const std::uint8_t> PasswordSpan(const void* password, std::uint32_t bytes) {
  if (!password || bytes == 0) return {};
  return {static_cast<const std::uint8_t*>(password), bytes};
}

ProgressSink MakeSink(void* userData, ProgressCallback progress) {
  ProgressSink sink;
  sink.Callback = progress;
  sink.UserData = userData;
  return sink;
}

HostFileCallbacks WithUserData(const HostFileCallbacks& callbacks, void* userData) {
  HostFileCallbacks copy = callbacks;
  copy.UserData = userData;
  return copy;
}

struct HandleSettings {
  char16_t pathSeparator = u'/';
  bool useTransactions = true;
  bool useAccessTime = false;
};

EngineResult ApplySettings(Volume& volume, const HandleSettings& settings) {
  EngineResult r = volume.SetPathSeparator(settings.pathSeparator);
  if (r == 0) r = volume.SetUseTransactions(settings.useTransactions);
  if (r == 0) r = volume.SetUseAccessTime(settings.useAccessTime);
  return r;
}

// Creating or opening a handle: a fresh context with the callbacks and
// settings applied, then `start` (create or open). The caller's handle is
// set only when everything succeeded; on failure the context goes away,
// closing whatever was opened.
template <typename Start>
EngineResult MakeHandle(StorageHandle& handle, const HostFileCallbacks* callbacks,
                        const HandleSettings& settings, Start&& start) {
  handle = nullptr;
  return Guarded([&]() -> EngineResult {
    auto context = std::make_unique<StorageContext>();
    EngineResult r = 0;
    if (callbacks) {
      context->hostFiles = *callbacks;
      r = context->volume.SetHostFileCallbacks(context->hostFiles);
      if (r != 0) return r;
    }
    r = ApplySettings(context->volume, settings);
    if (r == 0) r = start(context->volume);
    if (r != 0) return r;
    handle = context.release();
    return 0;
  });
}

// A temporary volume for the whole-container functions.
EngineResult ProbeContainer(std::u16string_view fileName, const HostFileCallbacks* callbacks,
                            ProbeResult& result) {
  auto volume = std::make_unique<Volume>();
  if (callbacks) {
    EngineResult r = volume->SetHostFileCallbacks(*callbacks);
    if (r != 0) return r;
  }
  return volume->Probe(std::u16string(fileName), result);
}

EngineResult GetInfo(std::u16string_view fileName, bool& corrupted, std::uint32_t& volumeId,
                     std::uint32_t& pageSize, char16_t* logo, std::uint32_t logoLength,
                     const HostFileCallbacks* callbacks) {
  // The copy needs the 62 logo units, their terminator and one spare unit.
  if (logo && logoLength < kLogoUnits + 2) return errInvalidParameter;
  return Guarded([&]() -> EngineResult {
    ProbeResult probe;
    EngineResult r = ProbeContainer(fileName, callbacks, probe);
    if (r != 0) return r;
    corrupted = probe.Corrupted;
    volumeId = probe.VolumeId;
    pageSize = probe.PageSize;
    if (logo) {
      const std::size_t units = std::min(probe.Logo.size(), kLogoUnits);
      std::copy_n(probe.Logo.data(), units, logo);
      std::fill(logo + units, logo + kLogoUnits + 1, u'\0');
    }
    return 0;
  });
}

struct CheckAndRepairArguments {
  std::u16string_view fileName;
  std::uint32_t pageSize = 0;
  std::uint32_t flags = 0;
  std::span<const std::uint8_t> password;
  ProgressSink progress;
  const HostFileCallbacks* hostFiles = nullptr;
  const CustomCipherCallbacks* cipher = nullptr;
  const CustomCodecCallbacks* codec = nullptr;
  CheckReport* report = nullptr;
};

// The arguments every form of StorageCheckAndRepair takes.
CheckAndRepairArguments CommonArguments(std::u16string_view fileName, std::uint32_t pageSize,
                                        std::uint32_t flags, const void* password,
                                        std::uint32_t passwordBytes, void* progressUserData,
                                        ProgressCallback progress) {
  CheckAndRepairArguments arguments;
  arguments.fileName = fileName;
  arguments.pageSize = pageSize;
  arguments.flags = flags;
  arguments.password = PasswordSpan(password, passwordBytes);
  arguments.progress = MakeSink(progressUserData, progress);
  return arguments;
}

EngineResult CheckAndRepair(const CheckAndRepairArguments& arguments) {
  return Guarded([&]() -> EngineResult {
    auto context = std::make_unique<StorageContext>();
    if (arguments.hostFiles) {
      context->hostFiles = *arguments.hostFiles;
      EngineResult r = context->volume.SetHostFileCallbacks(context->hostFiles);
      if (r != 0) return r;
    }
    if (arguments.cipher) {
      context->cipher = *arguments.cipher;
      context->store.CustomCipher = &context->cipher;
    }
    if (arguments.codec) {
      context->codec = *arguments.codec;
      context->store.CustomCodec = &context->codec;
    }
    std::uint32_t mode = 0, variant = 0;
    if (!arguments.password.empty()) {
      // A wrong storage password is reported before anything is examined,
      // let alone rewritten.
      EngineResult r = context->volume.Open(std::u16string(arguments.fileName), true);
      if (r != 0) return r;
      bool valid = false;
      r = CheckStoragePassword(context->store, arguments.password, valid, mode, variant);
      const EngineResult closed = context->ForceClose();
      if (r != 0) return r;
      if (!valid) return errInvalidPassword;
      if (closed != 0) return closed;
    }
    return vaultfs::CheckAndRepair(context->volume, std::u16string(arguments.fileName),
                                   arguments.pageSize, arguments.flags, mode, arguments.password,
                                   variant, arguments.cipher ? &context->cipher : nullptr,
                                   arguments.progress, arguments.report);
  });
}

}  // namespace

// ------------------------------------------------------ handle life cycle

EngineResult StorageCreate(std::u16string_view fileName, bool overwrite, std::uint32_t pageSize,
                           std::u16string_view logo, StorageHandle& handle, char16_t pathSeparator,
                           bool useTransactions, bool useAccessTime) {
  return MakeHandle(handle, nullptr, {pathSeparator, useTransactions, useAccessTime},
                    [&](Volume& volume) {
                      return volume.Create(std::u16string(fileName), overwrite, pageSize, logo);
                    });
}

EngineResult StorageCreateCB(std::u16string_view fileName, bool overwrite, std::uint32_t pageSize,
                             std::u16string_view logo, StorageHandle& handle,
                             char16_t pathSeparator, bool useTransactions, bool useAccessTime,
                             bool readOnly, void* userData, const HostFileCallbacks& callbacks) {
  (void)readOnly;  // a new container is always writable
  const HostFileCallbacks registered = WithUserData(callbacks, userData);
  return MakeHandle(handle, &registered, {pathSeparator, useTransactions, useAccessTime},
                    [&](Volume& volume) {
                      return volume.Create(std::u16string(fileName), overwrite, pageSize, logo);
                    });
}

EngineResult StorageOpen(std::u16string_view fileName, StorageHandle& handle,
                         char16_t pathSeparator, bool useTransactions, bool useAccessTime) {
  return MakeHandle(handle, nullptr, {pathSeparator, useTransactions, useAccessTime},
                    [&](Volume& volume) { return volume.Open(std::u16string(fileName), false); });
}

EngineResult StorageOpenReadOnly(std::u16string_view fileName, StorageHandle& handle,
                                 char16_t pathSeparator, bool useTransactions, bool useAccessTime) {
  // A read-only open runs without transactions, so its journal is never used.
  return MakeHandle(handle, nullptr, {pathSeparator, useTransactions, useAccessTime},
                    [&](Volume& volume) { return volume.Open(std::u16string(fileName), true); });
}

EngineResult StorageOpenCB(std::u16string_view fileName, StorageHandle& handle,
                           char16_t pathSeparator, bool useTransactions, bool useAccessTime,
                           bool readOnly, void* userData, const HostFileCallbacks& callbacks) {
  const HostFileCallbacks registered = WithUserData(callbacks, userData);
  return MakeHandle(
      handle, &registered, {pathSeparator, useTransactions, useAccessTime},
      [&](Volume& volume) { return volume.Open(std::u16string(fileName), readOnly); });
}

EngineResult StorageClose(StorageHandle handle) {
  if (!handle) return errInvalidParameter;
  std::unique_ptr<StorageContext> context(handle);
  return Guarded([&] { return context->ForceClose(); });
}

EngineResult StorageReopenFile(StorageHandle handle, std::u16string_view fileName) {
  if (!handle) return errInvalidParameter;
  return Guarded([&] { return handle->volume.ReopenHost(std::u16string(fileName)); });
}

EngineResult StorageReopenFileCB(StorageHandle handle, std::u16string_view fileName, void* userData,
                                 const HostFileCallbacks& callbacks) {
  (void)userData;
  (void)callbacks;
  return StorageReopenFile(handle, fileName);
}

EngineResult StorageSetCryptCallbacks(StorageHandle handle, void* userData,
                                      CustomCipherCallbacks::HashCalculateEvent hashCalculate,
                                      CustomCipherCallbacks::HashValidateEvent hashValidate,
                                      CustomCipherCallbacks::DataEvent encrypt,
                                      CustomCipherCallbacks::DataEvent decrypt) {
  if (!handle) return errInvalidParameter;
  CustomCipherCallbacks& cipher = handle->cipher;
  cipher.UserData = userData;
  cipher.OnHashCalculate = hashCalculate;
  cipher.OnHashValidate = hashValidate;
  cipher.OnDataEncrypt = encrypt;
  cipher.OnDataDecrypt = decrypt;
  handle->store.CustomCipher = &cipher;
  return 0;
}

EngineResult StorageSetCompressCallbacks(StorageHandle handle, void* userData,
                                         CustomCodecCallbacks::CompressProc compress,
                                         CustomCodecCallbacks::DecompressProc decompress) {
  if (!handle) return errInvalidParameter;
  CustomCodecCallbacks& codec = handle->codec;
  codec.UserData = userData;
  codec.OnCompress = compress;
  codec.OnDecompress = decompress;
  handle->store.CustomCodec = &codec;
  return 0;
}

// ------------------------------------------------- whole-container functions

EngineResult StorageIsValid(std::u16string_view fileName) {
  return Guarded([&] {
    ProbeResult probe;
    return ProbeContainer(fileName, nullptr, probe);
  });
}

EngineResult StorageIsValidCB(std::u16string_view fileName, void* userData,
                              const HostFileCallbacks& callbacks) {
  return Guarded([&] {
    const HostFileCallbacks registered = WithUserData(callbacks, userData);
    ProbeResult probe;
    return ProbeContainer(fileName, &registered, probe);
  });
}

EngineResult StorageGetInfo(std::u16string_view fileName, bool& corrupted, std::uint32_t& volumeId,
                            std::uint32_t& pageSize, char16_t* logo, std::uint32_t logoLength) {
  return GetInfo(fileName, corrupted, volumeId, pageSize, logo, logoLength, nullptr);
}

EngineResult StorageGetInfoCB(std::u16string_view fileName, bool& corrupted,
                              std::uint32_t& volumeId, std::uint32_t& pageSize, char16_t* logo,
                              std::uint32_t logoLength, void* userData,
                              const HostFileCallbacks& callbacks) {
  const HostFileCallbacks registered = WithUserData(callbacks, userData);
  return GetInfo(fileName, corrupted, volumeId, pageSize, logo, logoLength, &registered);
}

namespace {

EngineResult Format(std::u16string_view fileName, std::uint64_t size, std::uint32_t pageSize,
                    std::u16string_view logo, std::uint32_t flags, void* progressUserData,
                    ProgressCallback progress, const HostFileCallbacks* callbacks) {
  return Guarded([&]() -> EngineResult {
    auto volume = std::make_unique<Volume>();
    if (callbacks) {
      EngineResult r = volume->SetHostFileCallbacks(*callbacks);
      if (r != 0) return r;
    }
    return FormatVolume(*volume, std::u16string(fileName), size, pageSize, logo, flags,
                        ProgressSink{progress, progressUserData});
  });
}

}  // namespace

EngineResult StorageFormat(std::u16string_view fileName, std::uint64_t size, std::uint32_t pageSize,
                           std::u16string_view logo, std::uint32_t flags, void* progressUserData,
                           ProgressCallback progress) {
  return Format(fileName, size, pageSize, logo, flags, progressUserData, progress, nullptr);
}

EngineResult StorageFormatCB(std::u16string_view fileName, std::uint64_t size,
                             std::uint32_t pageSize, std::u16string_view logo, std::uint32_t flags,
                             void* progressUserData, ProgressCallback progress, void* userData,
                             const HostFileCallbacks& callbacks) {
  const HostFileCallbacks registered = WithUserData(callbacks, userData);
  return Format(fileName, size, pageSize, logo, flags, progressUserData, progress, &registered);
}

EngineResult StorageCheckAndRepair(std::u16string_view fileName, std::uint32_t pageSize,
                                   std::uint32_t flags, const void* password,
                                   std::uint32_t passwordBytes, void* progressUserData,
                                   ProgressCallback progress) {
  CheckAndRepairArguments arguments = CommonArguments(fileName, pageSize, flags, password,
                                                      passwordBytes, progressUserData, progress);
  return CheckAndRepair(arguments);
}

EngineResult StorageCheckAndRepairReport(std::u16string_view fileName, std::uint32_t pageSize,
                                         std::uint32_t flags, const void* password,
                                         std::uint32_t passwordBytes, void* progressUserData,
                                         ProgressCallback progress, CheckReport& report) {
  report = CheckReport{};
  CheckAndRepairArguments arguments = CommonArguments(fileName, pageSize, flags, password,
                                                      passwordBytes, progressUserData, progress);
  arguments.report = &report;
  return CheckAndRepair(arguments);
}

EngineResult StorageCheckAndRepairCB(std::u16string_view fileName, std::uint32_t pageSize,
                                     std::uint32_t flags, const void* password,
                                     std::uint32_t passwordBytes, void* progressUserData,
                                     ProgressCallback progress, void* userData,
                                     const HostFileCallbacks& callbacks) {
  const HostFileCallbacks registered = WithUserData(callbacks, userData);
  CheckAndRepairArguments arguments = CommonArguments(fileName, pageSize, flags, password,
                                                      passwordBytes, progressUserData, progress);
  arguments.hostFiles = &registered;
  return CheckAndRepair(arguments);
}

EngineResult StorageCheckAndRepairEx(
    std::u16string_view fileName, std::uint32_t pageSize, std::uint32_t flags, const void* password,
    std::uint32_t passwordBytes, void* progressUserData, ProgressCallback progress,
    bool useHostFileCallbacks, void* userData, const HostFileCallbacks& callbacks,
    void* cryptUserData, CustomCipherCallbacks::HashCalculateEvent hashCalculate,
    CustomCipherCallbacks::HashValidateEvent hashValidate, CustomCipherCallbacks::DataEvent encrypt,
    CustomCipherCallbacks::DataEvent decrypt, void* compressUserData,
    CustomCodecCallbacks::CompressProc compress, CustomCodecCallbacks::DecompressProc decompress) {
  const HostFileCallbacks registered = WithUserData(callbacks, userData);
  CustomCipherCallbacks cipher;
  cipher.UserData = cryptUserData;
  cipher.OnHashCalculate = hashCalculate;
  cipher.OnHashValidate = hashValidate;
  cipher.OnDataEncrypt = encrypt;
  cipher.OnDataDecrypt = decrypt;
  CustomCodecCallbacks codec;
  codec.UserData = compressUserData;
  codec.OnCompress = compress;
  codec.OnDecompress = decompress;
  CheckAndRepairArguments arguments = CommonArguments(fileName, pageSize, flags, password,
                                                      passwordBytes, progressUserData, progress);
  arguments.hostFiles = useHostFileCallbacks ? &registered : nullptr;
  arguments.cipher = &cipher;
  arguments.codec = &codec;
  return CheckAndRepair(arguments);
}

EngineResult StorageGetVersion(std::uint32_t& version) {
  version = EngineVersion;
  return 0;
}

EngineResult StorageGetVolumeFigures(std::u16string_view fileName, VolumeFigures& figures,
                                     EngineResult& closed) {
  closed = 0;
  return Guarded([&]() -> EngineResult {
    // The volume alone, without an object store: opening it then reads the
    // volume information page and nothing of the directory tree.
    auto volume = std::make_unique<Volume>();
    EngineResult r = volume->Open(std::u16string(fileName), true);
    if (r != 0) return r;
    VolumeFigures read;
    StorageSize sizes;
    r = volume->GetLogo(read.Logo);
    if (r == 0) r = volume->GetVolumeId(read.VolumeId);
    if (r == 0) r = volume->GetCorrupted(read.Corrupted);
    if (r == 0) r = volume->GetMaxPageCount(read.MaxPageCount);
    if (r == 0) r = volume->GetStorageSize(sizes);
    if (r != 0) {
      EngineResult ignored = volume->Close();
      (void)ignored;
      return r;
    }
    read.PageSize = volume->PageSize;
    read.ByteSwapped = volume->ByteSwapped;
    read.VolumeStart = volume->VolumeStart;
    read.FixedSize = volume->FixedSize;
    read.HostPageCount = volume->HostPageCount;
    read.Size = sizes.Size;
    read.FreeBytes = sizes.FreeBytes;
    read.LastObjectId = volume->LastObjectId();
    read.Mounted = volume->MountedFlag();
    read.TransactionTablePage = volume->TransactionTableFirstPage();
    figures = std::move(read);
    closed = volume->Close();
    return 0;
  });
}

// ------------------------------------------------------ settings and state

EngineResult StorageSetCaseSensitive(StorageHandle handle, bool value) {
  if (!handle) return errInvalidParameter;
  // Directories already loaded are re-sorted, or their lookups would miss.
  return Guarded([&]() -> EngineResult {
    handle->store.SetCaseSensitive(value);
    return 0;
  });
}

EngineResult StorageGetCaseSensitive(StorageHandle handle, bool& value) {
  if (!handle) return errInvalidParameter;
  value = handle->volume.CaseSensitive;
  return 0;
}

EngineResult StorageSetPathSeparator(StorageHandle handle, char16_t value) {
  if (!handle) return errInvalidParameter;
  return handle->volume.SetPathSeparator(value);
}

EngineResult StorageGetPathSeparator(StorageHandle handle, char16_t& value) {
  if (!handle) return errInvalidParameter;
  value = handle->volume.PathSeparator;
  return 0;
}

EngineResult StorageSetUseTransactions(StorageHandle handle, bool value) {
  if (!handle) return errInvalidParameter;
  return handle->volume.SetUseTransactions(value);
}

EngineResult StorageSetWriteBehind(StorageHandle handle, bool value) {
  if (!handle) return errInvalidParameter;
  if (!handle->volume.Active) return errStorageNotActive;
  return Guarded([&] { return handle->volume.SetWriteBehind(value); });
}

EngineResult StorageGetUseTransactions(StorageHandle handle, bool& value) {
  if (!handle) return errInvalidParameter;
  value = handle->volume.UseTransactions;
  return 0;
}

EngineResult StorageSetUseAccessTime(StorageHandle handle, bool value) {
  if (!handle) return errInvalidParameter;
  return handle->volume.SetUseAccessTime(value);
}

EngineResult StorageGetUseAccessTime(StorageHandle handle, bool& value) {
  if (!handle) return errInvalidParameter;
  value = handle->volume.UseAccessTime;
  return 0;
}

EngineResult StorageSetAutoCompact(StorageHandle handle, std::uint32_t percent) {
  if (!handle) return errInvalidParameter;
  handle->volume.AutoCompact = percent;
  return 0;
}

EngineResult StorageGetAutoCompact(StorageHandle handle, std::uint32_t& percent) {
  if (!handle) return errInvalidParameter;
  percent = handle->volume.AutoCompact;
  return 0;
}

EngineResult StorageSetAutoCompactCallback(StorageHandle handle, std::uint32_t percent,
                                           void* userData, AutoCompactConfirmCallback confirm) {
  if (!handle) return errInvalidParameter;
  return Guarded([&]() -> EngineResult {
    handle->volume.SetAutoCompact(percent, confirm, userData);
    return 0;
  });
}

EngineResult StorageSetBuffering(StorageHandle handle, std::uint16_t value) {
  if (!handle) return errInvalidParameter;
  if (value == 0) return errInvalidParameter;
  handle->volume.Buffering = value;
  return 0;
}

EngineResult StorageGetBuffering(StorageHandle handle, std::uint16_t& value) {
  if (!handle) return errInvalidParameter;
  value = static_cast<std::uint16_t>(handle->volume.Buffering);
  return 0;
}

EngineResult StorageGetReadOnly(StorageHandle handle, bool& readOnly) {
  if (!handle) return errInvalidParameter;
  readOnly = handle->volume.ReadOnly;
  return 0;
}

EngineResult StorageGetPageSizeAndLogo(StorageHandle handle, std::uint32_t& pageSize,
                                       const char16_t*& logo) {
  if (!handle) return errInvalidParameter;
  return Guarded([&]() -> EngineResult {
    std::u16string text;
    EngineResult r = handle->volume.GetLogo(text);
    if (r != 0) return r;
    const std::size_t units = std::min(text.size(), kLogoUnits);
    std::copy_n(text.data(), units, handle->logo);
    std::fill(handle->logo + units, handle->logo + kLogoUnits + 1, u'\0');
    pageSize = handle->volume.PageSize;
    logo = handle->logo;
    return 0;
  });
}

EngineResult StorageSetLogo(StorageHandle handle, std::u16string_view logo) {
  if (!handle) return errInvalidParameter;
  return Guarded([&] { return handle->volume.SetLogo(logo); });
}

EngineResult StorageGetFixedSize(StorageHandle handle, bool& fixedSize) {
  if (!handle) return errInvalidParameter;
  fixedSize = handle->volume.FixedSize;
  return 0;
}

EngineResult StorageGetSizes(StorageHandle handle, bool* fixedSize, std::uint64_t* size,
                             std::uint64_t* freeSpace) {
  if (!handle) return errInvalidParameter;
  return Guarded([&]() -> EngineResult {
    StorageSize sizes;
    EngineResult r = handle->volume.GetStorageSize(sizes);
    if (r != 0) return r;
    if (fixedSize) *fixedSize = sizes.FixedSize;
    if (size) *size = sizes.Size;
    if (freeSpace) *freeSpace = sizes.FreeBytes;
    return 0;
  });
}

EngineResult StorageGetMaxPageCount(StorageHandle handle, std::uint32_t& pages) {
  if (!handle) return errInvalidParameter;
  return handle->volume.GetMaxPageCount(pages);
}

EngineResult StorageSetMaxPageCount(StorageHandle handle, std::uint32_t pages) {
  if (!handle) return errInvalidParameter;
  return Guarded([&] { return handle->volume.SetMaxPageCount(pages); });
}

EngineResult StorageSetSize(StorageHandle handle, std::uint64_t size, void* progressUserData,
                            ProgressCallback progress) {
  if (!handle) return errInvalidParameter;
  return Guarded(
      [&] { return handle->volume.SetStorageSize(size, MakeSink(progressUserData, progress)); });
}

EngineResult StorageGetCorrupted(StorageHandle handle, bool& corrupted) {
  if (!handle) return errInvalidParameter;
  return handle->volume.GetCorrupted(corrupted);
}

EngineResult StorageGetVolumeId(StorageHandle handle, std::uint32_t& volumeId) {
  if (!handle) return errInvalidParameter;
  return handle->volume.GetVolumeId(volumeId);
}

EngineResult StorageCheckInfoPages(StorageHandle handle, bool& mismatch) {
  if (!handle) return errInvalidParameter;
  return Guarded([&] { return handle->volume.CheckSameVolume(mismatch); });
}

EngineResult StorageGetLastAccessTime(StorageHandle handle, StorageTime& time) {
  if (!handle) return errInvalidParameter;
  // The object layer renews the stamp from any thread.
  time = std::atomic_ref<StorageTime>(handle->volume.LastAccess).load(std::memory_order_relaxed);
  return 0;
}

EngineResult StorageGetLastModificationTime(StorageHandle handle, StorageTime& time) {
  if (!handle) return errInvalidParameter;
  time = std::atomic_ref<StorageTime>(handle->volume.LastChange).load(std::memory_order_relaxed);
  return 0;
}

EngineResult StorageCompact(StorageHandle handle, bool& completed) {
  if (!handle) return errInvalidParameter;
  completed = false;
  return Guarded([&] { return handle->volume.Compact(ProgressSink{}, completed); });
}

EngineResult StorageFlush(StorageHandle handle) {
  if (!handle) return errInvalidParameter;
  return Guarded([&] { return handle->volume.Flush(); });
}

EngineResult StorageGetEncryption(StorageHandle handle, std::uint32_t& mode) {
  if (!handle) return errInvalidParameter;
  return Guarded([&] { return GetStorageEncryption(handle->store, mode); });
}

EngineResult StorageSupplyPassword(StorageHandle handle, const void* password,
                                   std::uint32_t bytes) {
  if (!handle) return errInvalidParameter;
  return Guarded(
      [&] { return SupplyStoragePassword(handle->store, PasswordSpan(password, bytes)); });
}

EngineResult StorageCheckPassword(StorageHandle handle, const void* password, std::uint32_t bytes,
                                  bool& valid, std::uint32_t& mode) {
  if (!handle) return errInvalidParameter;
  return Guarded([&] {
    std::uint32_t variant = 0;
    return CheckStoragePassword(handle->store, PasswordSpan(password, bytes), valid, mode, variant);
  });
}

EngineResult StorageSetEncryption(StorageHandle handle, std::uint32_t mode, const void* oldPassword,
                                  std::uint32_t oldBytes, const void* newPassword,
                                  std::uint32_t newBytes) {
  return StorageSetEncryptionWithProgress(handle, mode, oldPassword, oldBytes, newPassword,
                                          newBytes, nullptr, nullptr);
}

EngineResult StorageSetEncryptionWithProgress(StorageHandle handle, std::uint32_t mode,
                                              const void* oldPassword, std::uint32_t oldBytes,
                                              const void* newPassword, std::uint32_t newBytes,
                                              void* progressUserData, ProgressCallback progress) {
  if (!handle) return errInvalidParameter;
  return Guarded([&] {
    return ChangeStorageEncryption(handle->store, mode, PasswordSpan(oldPassword, oldBytes),
                                   PasswordSpan(newPassword, newBytes),
                                   MakeSink(progressUserData, progress));
  });
}

// ------------------------------------------------------ path-level functions

namespace {

// Every path-level entry function is its PathXxx counterpart on the handle's
// store, with the same arguments in the same order.
template <typename Call>
EngineResult OnStore(StorageHandle handle, Call&& call) {
  if (!handle) return errInvalidParameter;
  return Guarded([&] { return call(handle->store); });
}

}  // namespace

EngineResult StorageFileExists(StorageHandle handle, std::u16string_view path, bool& exists) {
  // errFileNotFound already comes back as "does not exist" with result 0.
  return OnStore(handle, [&](ObjectStore& store) { return PathFileExists(store, path, exists); });
}

EngineResult StorageCreateDirectory(StorageHandle handle, std::u16string_view path) {
  return OnStore(handle, [&](ObjectStore& store) { return PathCreateDirectory(store, path); });
}

EngineResult StorageForceCreateDirectories(StorageHandle handle, std::u16string_view path) {
  return OnStore(handle,
                 [&](ObjectStore& store) { return PathForceCreateDirectories(store, path); });
}

EngineResult StorageRemoveDirectory(StorageHandle handle, std::u16string_view path) {
  return OnStore(handle, [&](ObjectStore& store) { return PathRemoveDirectory(store, path); });
}

EngineResult StorageIsDirectoryEmpty(StorageHandle handle, std::u16string_view path, bool& empty) {
  return OnStore(handle,
                 [&](ObjectStore& store) { return PathIsDirectoryEmpty(store, path, empty); });
}

EngineResult StorageDeleteFile(StorageHandle handle, std::u16string_view path) {
  return OnStore(handle, [&](ObjectStore& store) { return PathDeleteFile(store, path); });
}

EngineResult StorageMoveFile(StorageHandle handle, std::u16string_view path,
                             std::u16string_view newPath) {
  return OnStore(handle, [&](ObjectStore& store) { return PathMoveFile(store, path, newPath); });
}

EngineResult StorageMoveFileReplace(StorageHandle handle, std::u16string_view path,
                                    std::u16string_view newPath) {
  return OnStore(handle,
                 [&](ObjectStore& store) { return PathMoveFileReplace(store, path, newPath); });
}

EngineResult StorageGetFileCreationTime(StorageHandle handle, std::u16string_view path,
                                        StorageTime& time) {
  return OnStore(handle,
                 [&](ObjectStore& store) { return PathGetFileCreationTime(store, path, time); });
}

EngineResult StorageSetFileCreationTime(StorageHandle handle, std::u16string_view path,
                                        StorageTime time) {
  return OnStore(handle,
                 [&](ObjectStore& store) { return PathSetFileCreationTime(store, path, time); });
}

EngineResult StorageGetFileModificationTime(StorageHandle handle, std::u16string_view path,
                                            StorageTime& time) {
  return OnStore(
      handle, [&](ObjectStore& store) { return PathGetFileModificationTime(store, path, time); });
}

EngineResult StorageSetFileModificationTime(StorageHandle handle, std::u16string_view path,
                                            StorageTime time) {
  return OnStore(
      handle, [&](ObjectStore& store) { return PathSetFileModificationTime(store, path, time); });
}

EngineResult StorageGetFileLastAccessTime(StorageHandle handle, std::u16string_view path,
                                          StorageTime& time) {
  return OnStore(handle,
                 [&](ObjectStore& store) { return PathGetFileLastAccessTime(store, path, time); });
}

EngineResult StorageSetFileLastAccessTime(StorageHandle handle, std::u16string_view path,
                                          StorageTime time) {
  return OnStore(handle,
                 [&](ObjectStore& store) { return PathSetFileLastAccessTime(store, path, time); });
}

EngineResult StorageGetFileTimes(StorageHandle handle, std::u16string_view path,
                                 StorageTime& created, StorageTime& modified,
                                 StorageTime& accessed) {
  return OnStore(handle, [&](ObjectStore& store) {
    return PathGetFileTimes(store, path, created, modified, accessed);
  });
}

EngineResult StorageSetFileTimes(StorageHandle handle, std::u16string_view path,
                                 StorageTime created, StorageTime modified, StorageTime accessed) {
  return OnStore(handle, [&](ObjectStore& store) {
    return PathSetFileTimes(store, path, created, modified, accessed);
  });
}

EngineResult StorageGetFileAttributes(StorageHandle handle, std::u16string_view path,
                                      std::uint32_t& attributes) {
  return OnStore(
      handle, [&](ObjectStore& store) { return PathGetFileAttributes(store, path, attributes); });
}

EngineResult StorageSetFileAttributes(StorageHandle handle, std::u16string_view path,
                                      std::uint32_t attributes) {
  return OnStore(
      handle, [&](ObjectStore& store) { return PathSetFileAttributes(store, path, attributes); });
}

EngineResult StorageGetFileEncryption(StorageHandle handle, std::u16string_view path,
                                      std::uint32_t& mode) {
  return OnStore(handle,
                 [&](ObjectStore& store) { return PathGetFileEncryption(store, path, mode); });
}

EngineResult StorageSetFileEncryption(StorageHandle handle, std::u16string_view path,
                                      std::uint32_t mode, const void* oldPassword,
                                      std::uint32_t oldBytes, const void* newPassword,
                                      std::uint32_t newBytes) {
  return OnStore(handle, [&](ObjectStore& store) {
    return PathSetFileEncryption(store, path, mode, PasswordSpan(oldPassword, oldBytes),
                                 PasswordSpan(newPassword, newBytes));
  });
}

EngineResult StorageCheckFilePassword(StorageHandle handle, std::u16string_view path,
                                      std::uint32_t mode, bool anyMode, const void* password,
                                      std::uint32_t bytes, bool& valid) {
  return OnStore(handle, [&](ObjectStore& store) {
    return PathCheckFilePassword(store, path, mode, anyMode, PasswordSpan(password, bytes), valid);
  });
}

EngineResult StorageSupplyFilePassword(StorageHandle handle, std::u16string_view path,
                                       const void* password, std::uint32_t bytes) {
  return OnStore(handle, [&](ObjectStore& store) {
    return PathSupplyFilePassword(store, path, PasswordSpan(password, bytes));
  });
}

EngineResult StorageGetFileCompression(StorageHandle handle, std::u16string_view path,
                                       std::uint32_t& mode, std::uint32_t& level,
                                       std::uint32_t& blockSetting) {
  return OnStore(handle, [&](ObjectStore& store) {
    return PathGetFileCompression(store, path, mode, level, blockSetting);
  });
}

EngineResult StorageSetFileCompression(StorageHandle handle, std::u16string_view path,
                                       std::uint32_t mode, std::uint32_t level,
                                       std::uint16_t blockSetting, const void* password,
                                       std::uint32_t bytes) {
  return OnStore(handle, [&](ObjectStore& store) {
    return PathSetFileCompression(store, path, mode, level, blockSetting,
                                  PasswordSpan(password, bytes));
  });
}

EngineResult StorageSetFileTag(StorageHandle handle, std::u16string_view path, std::uint16_t tagId,
                               const void* data, std::uint32_t size) {
  return OnStore(handle, [&](ObjectStore& store) {
    return PathSetFileTag(store, path, tagId, static_cast<const std::uint8_t*>(data), size);
  });
}

EngineResult StorageGetFileTagSize(StorageHandle handle, std::u16string_view path,
                                   std::uint16_t tagId, bool& present, std::uint32_t& size) {
  return OnStore(handle, [&](ObjectStore& store) {
    return PathGetFileTagSize(store, path, tagId, present, size);
  });
}

EngineResult StorageGetFileTag(StorageHandle handle, std::u16string_view path, std::uint16_t tagId,
                               void* buffer, std::uint32_t& size) {
  return OnStore(handle, [&](ObjectStore& store) {
    return PathGetFileTag(store, path, tagId, static_cast<std::uint8_t*>(buffer), size);
  });
}

EngineResult StorageDeleteFileTag(StorageHandle handle, std::u16string_view path,
                                  std::uint16_t tagId) {
  return OnStore(handle, [&](ObjectStore& store) { return PathDeleteFileTag(store, path, tagId); });
}

EngineResult StorageGetFileSizeAndTags(StorageHandle handle, std::u16string_view path,
                                       std::uint64_t& size, std::vector<FileTagInfo>& tags) {
  return OnStore(handle, [&](ObjectStore& store) -> EngineResult {
    std::vector<std::pair<std::uint16_t, std::uint32_t>> listed;
    std::uint64_t found = 0;
    Transaction* t = nullptr;
    EngineResult r = store.volume.Begin(true, t);
    if (r != 0) return r;
    ResolvedPath resolved;
    r = ResolvePath(store, path, false, t, resolved);
    if (r == 0) {
      r = GetObjectSize(*resolved.Object, t, found);
      if (r == 0) r = ListTags(*resolved.Object, t, listed);
      ReleaseChain(*resolved.Object, true);
    }
    store.volume.EndReadOnly(t);
    if (r != 0) return r;
    std::vector<FileTagInfo> result;
    result.reserve(listed.size());
    for (const auto& [id, length] : listed) result.push_back({id, length});
    size = found;
    tags = std::move(result);
    return 0;
  });
}

EngineResult StorageCreateLink(StorageHandle handle, std::u16string_view path,
                               std::u16string_view target) {
  return OnStore(handle, [&](ObjectStore& store) { return PathCreateLink(store, path, target); });
}

EngineResult StorageGetLinkDestination(StorageHandle handle, std::u16string_view path,
                                       char16_t* buffer, std::uint32_t& length) {
  return OnStore(handle, [&](ObjectStore& store) {
    return PathGetLinkDestination(store, path, buffer, length);
  });
}

EngineResult StorageGetLinkDestinationRef(StorageHandle handle, std::u16string_view path,
                                          const char16_t*& target) {
  return OnStore(
      handle, [&](ObjectStore& store) { return PathGetLinkDestinationRef(store, path, target); });
}

EngineResult StorageResolveLink(StorageHandle handle, std::u16string_view path, char16_t* buffer,
                                std::uint32_t& length) {
  return OnStore(handle,
                 [&](ObjectStore& store) { return PathResolveLink(store, path, buffer, length); });
}

EngineResult StorageFindFirst(StorageHandle handle, std::u16string_view path, SearchRecord& record,
                              std::uint32_t attributes) {
  return StorageFindFirstEx(handle, path, record, attributes, kDefaultSearchFlags);
}

EngineResult StorageFindFirstEx(StorageHandle handle, std::u16string_view path,
                                SearchRecord& record, std::uint32_t attributes,
                                std::uint32_t flags) {
  return OnStore(handle, [&](ObjectStore& store) {
    return SearchFirst(store, record, path, attributes, flags);
  });
}

EngineResult StorageFindNext(SearchRecord& record) {
  return Guarded([&] { return SearchNext(record); });
}

EngineResult StorageFindClose(SearchRecord& record) {
  return Guarded([&]() -> EngineResult {
    SearchClose(record);
    return 0;
  });
}

EngineResult StorageRegisterNotification(StorageHandle handle, std::u16string_view path,
                                         bool watchSubtree, std::uint32_t filter, void* userData,
                                         NotificationCallback callback,
                                         NotificationHandle& notification) {
  return OnStore(handle, [&](ObjectStore& store) {
    return PathRegisterNotification(store, path, watchSubtree, filter, userData, callback,
                                    notification);
  });
}

EngineResult StorageUnregisterNotification(NotificationHandle notification) {
  return Guarded([&] { return PathUnregisterNotification(notification); });
}

// ------------------------------------------------------ file-handle functions

EngineResult StorageOpenRootFile(StorageHandle handle, FileHandle*& file) {
  file = nullptr;
  if (!handle) return errInvalidParameter;
  return Guarded([&] { return PathOpenRootFile(handle->store, file); });
}

EngineResult StorageCreateFile(StorageHandle handle, std::u16string_view path, bool read,
                               bool write, bool denyRead, bool denyWrite, std::uint32_t encryption,
                               const void* password, std::uint32_t bytes, FileHandle*& file,
                               bool openExisting, bool truncate) {
  file = nullptr;
  if (!handle) return errInvalidParameter;
  return Guarded([&] {
    return PathCreateFile(handle->store, path, read, write, denyRead, denyWrite, encryption,
                          PasswordSpan(password, bytes), file, openExisting, truncate);
  });
}

EngineResult StorageCreateFileCompressed(StorageHandle handle, std::u16string_view path, bool read,
                                         bool write, bool denyRead, bool denyWrite,
                                         std::uint32_t encryption, const void* password,
                                         std::uint32_t bytes, std::uint32_t compression,
                                         std::uint32_t level, std::uint16_t blockSetting,
                                         FileHandle*& file, bool openExisting, bool truncate) {
  file = nullptr;
  if (!handle) return errInvalidParameter;
  return Guarded([&] {
    return PathCreateFileCompressed(handle->store, path, read, write, denyRead, denyWrite,
                                    encryption, PasswordSpan(password, bytes), compression, level,
                                    blockSetting, file, openExisting, truncate);
  });
}

EngineResult StorageOpenFile(StorageHandle handle, std::u16string_view path, bool read, bool write,
                             bool denyRead, bool denyWrite, const void* password,
                             std::uint32_t bytes, FileHandle*& file) {
  file = nullptr;
  if (!handle) return errInvalidParameter;
  return Guarded([&] {
    return PathOpenFile(handle->store, path, read, write, denyRead, denyWrite,
                        PasswordSpan(password, bytes), file);
  });
}

EngineResult StorageCloseFile(FileHandle* file) {
  if (!file) return errInvalidParameter;
  // The handle holds its object and every ancestor since it was opened by path.
  return Guarded([&] { return CloseHandle(file, true); });
}

EngineResult StorageFlushFile(FileHandle* file, std::uint32_t flags) {
  if (!file) return errInvalidParameter;
  return Guarded([&] { return FlushHandle(file, flags); });
}

EngineResult StorageGetFileSize(FileHandle* file, std::uint64_t& size) {
  if (!file) return errInvalidParameter;
  return Guarded([&] { return GetSize(file, size); });
}

EngineResult StorageSetFileSize(FileHandle* file, std::uint32_t size) {
  return StorageSetFileSize64(file, size);
}

EngineResult StorageSetFileSize64(FileHandle* file, std::uint64_t size) {
  if (!file) return errInvalidParameter;
  return Guarded([&] { return SetFileSizeByHandle(file, size); });
}

EngineResult StorageTruncateFile(FileHandle* file) {
  if (!file) return errInvalidParameter;
  return Guarded([&] { return SetEndOfFile(file); });
}

EngineResult StorageSeek(FileHandle* file, std::int32_t offset, std::uint16_t origin,
                         std::uint32_t& position) {
  if (!file) return errInvalidParameter;
  if (origin > 2) return errInvalidParameter;
  return Guarded([&]() -> EngineResult {
    FileObject* object = file->Object;
    if (!object) return errHandleClosed;
    // The new position is worked out and checked before the handle moves, so
    // a seek that a 32-bit position cannot report leaves the handle where it was.
    std::scoped_lock lock(object->Lock);
    std::uint64_t base = 0;
    if (origin == 1) {
      base = file->Position;
    } else if (origin == 2) {
      EngineResult r = GetSize(file, base);
      if (r != 0) return r;
    }
    constexpr std::uint64_t kLimit = std::numeric_limits<std::uint32_t>::max();
    std::uint64_t target = 0;
    if (offset < 0) {
      const std::uint64_t back = static_cast<std::uint64_t>(-static_cast<std::int64_t>(offset));
      if (base < back) return errInvalidParameter;
      target = base - back;
    } else {
      const std::uint64_t ahead = static_cast<std::uint64_t>(offset);
      if (base > kLimit) return errInvalidParameter;
      target = base + ahead;
    }
    if (target > kLimit) return errInvalidParameter;
    std::uint64_t moved = 0;
    EngineResult r = Seek(file, static_cast<std::int64_t>(target), 0, moved);
    if (r == 0) position = static_cast<std::uint32_t>(moved);
    return r;
  });
}

EngineResult StorageSeek64(FileHandle* file, std::int64_t offset, std::uint16_t origin,
                           std::uint64_t& position) {
  if (!file) return errInvalidParameter;
  if (origin > 2) return errInvalidParameter;
  return Guarded([&] { return Seek(file, offset, origin, position); });
}

EngineResult StorageGetPosition(FileHandle* file, std::uint64_t& position) {
  if (!file) return errInvalidParameter;
  if (!file->Object) return errHandleClosed;
  return Guarded([&]() -> EngineResult {
    std::scoped_lock lock(file->Object->Lock);
    position = file->Position;
    return 0;
  });
}

EngineResult StorageRead(FileHandle* file, void* buffer, std::uint32_t count, std::uint32_t& done) {
  done = 0;
  if (!file) return errInvalidParameter;
  return Guarded([&] { return ReadData(file, static_cast<std::uint8_t*>(buffer), count, done); });
}

EngineResult StorageWrite(FileHandle* file, const void* buffer, std::uint32_t count,
                          std::uint32_t& done) {
  done = 0;
  if (!file) return errInvalidParameter;
  return Guarded(
      [&] { return WriteData(file, static_cast<const std::uint8_t*>(buffer), count, done); });
}

namespace {

// Seek and transfer as one step: the file object's lock is held across both,
// so no other operation on the object can move the position in between.
template <typename Transfer>
EngineResult AtOffset(FileHandle* file, std::uint64_t offset, Transfer&& transfer) {
  return Guarded([&]() -> EngineResult {
    FileObject* object = file->Object;
    if (!object) return errHandleClosed;
    std::scoped_lock lock(object->Lock);
    std::uint64_t position = 0;
    EngineResult r = Seek(file, static_cast<std::int64_t>(offset), 0, position);
    if (r != 0) return r;
    return transfer();
  });
}

}  // namespace

EngineResult StorageReadAt(FileHandle* file, std::uint64_t offset, void* buffer,
                           std::uint32_t count, std::uint32_t& done) {
  done = 0;
  if (!file) return errInvalidParameter;
  return AtOffset(file, offset,
                  [&] { return ReadData(file, static_cast<std::uint8_t*>(buffer), count, done); });
}

EngineResult StorageWriteAt(FileHandle* file, std::uint64_t offset, const void* buffer,
                            std::uint32_t count, std::uint32_t& done) {
  done = 0;
  if (!file) return errInvalidParameter;
  return AtOffset(file, offset, [&] {
    return WriteData(file, static_cast<const std::uint8_t*>(buffer), count, done);
  });
}

// ------------------------------------------- entry points kept for compatibility

EngineResult StorageDefragment(StorageHandle handle) {
  return handle ? errNotImplemented : errInvalidParameter;
}

EngineResult StorageGetFileOwner(StorageHandle handle, std::u16string_view, std::uint32_t&) {
  return handle ? errNotImplemented : errInvalidParameter;
}

EngineResult StorageSetFileOwner(StorageHandle handle, std::u16string_view, std::uint32_t) {
  return handle ? errNotImplemented : errInvalidParameter;
}

EngineResult StorageGetFileSecurity(StorageHandle handle, std::u16string_view, void*,
                                    std::uint32_t&) {
  return handle ? errNotImplemented : errInvalidParameter;
}

EngineResult StorageSetFileSecurity(StorageHandle handle, std::u16string_view, const void*,
                                    std::uint32_t) {
  return handle ? errNotImplemented : errInvalidParameter;
}

EngineResult StorageCreateHardLink(StorageHandle handle, std::u16string_view, std::u16string_view) {
  return handle ? errNotImplemented : errInvalidParameter;
}

EngineResult StorageGetHardLinkCount(StorageHandle handle, std::u16string_view, std::uint32_t&) {
  return handle ? errNotImplemented : errInvalidParameter;
}

EngineResult StorageLockFile(FileHandle* file, std::uint64_t, std::uint64_t) {
  return file ? errNotImplemented : errInvalidParameter;
}

EngineResult StorageUnlockFile(FileHandle* file, std::uint64_t, std::uint64_t) {
  return file ? errNotImplemented : errInvalidParameter;
}

EngineResult StorageGetFileSparse(FileHandle* file, bool&) {
  return file ? errNotImplemented : errInvalidParameter;
}

EngineResult StorageSetFileSparse(FileHandle* file, bool) {
  return file ? errNotImplemented : errInvalidParameter;
}

EngineResult StorageGetAlternateStreams(StorageHandle handle, std::u16string_view, std::uint32_t&) {
  return handle ? errNotImplemented : errInvalidParameter;
}

EngineResult StorageBackup(StorageHandle handle, std::u16string_view) {
  return handle ? errNotImplemented : errInvalidParameter;
}

EngineResult StorageRestore(StorageHandle handle, std::u16string_view) {
  return handle ? errNotImplemented : errInvalidParameter;
}

EngineResult StorageGetQuota(StorageHandle handle, std::uint64_t&) {
  return handle ? errNotImplemented : errInvalidParameter;
}

EngineResult StorageSetQuota(StorageHandle handle, std::uint64_t) {
  return handle ? errNotImplemented : errInvalidParameter;
}

}  // namespace vaultfs
