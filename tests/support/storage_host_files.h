// A storage component served from memory: every host file of a
// TVaultStorage through MemoryHostFiles and the component's file events, so
// that tests of the component and of the application can inject faults and
// power losses (see memory_host_files.h).
#pragma once

#include "vaultfs/vault_storage.h"
#include "support/memory_host_files.h"

namespace vaultfs::testing {

// Serves all host files of a storage from memory through its file events.
// OnFileDelete is optional: it belongs to no event group.
inline void AttachHostFiles(TVaultStorage& storage, MemoryHostFiles& files, bool withDelete = true) {
  const HostFileCallbacks cb = files.Callbacks();
  storage.SetOnFileCreate([cb](TVaultStorage&, const std::u16string& name, std::uint32_t& handle,
                               bool overwrite, bool journal, std::int32_t& result) {
    result = cb.OnFileCreate(cb.UserData, name, handle, overwrite, journal);
  });
  storage.SetOnFileOpen([cb](TVaultStorage&, const std::u16string& name, std::uint32_t& handle,
                             bool& readOnly, bool journal, std::int32_t& result) {
    result = cb.OnFileOpen(cb.UserData, name, handle, readOnly, journal);
  });
  storage.SetOnFileClose([cb](TVaultStorage&, std::uint32_t& handle, std::int32_t& result) {
    result = cb.OnFileClose(cb.UserData, handle);
  });
  storage.SetOnFileFlush([cb](TVaultStorage&, std::uint32_t handle, std::int32_t& result) {
    result = cb.OnFileFlush(cb.UserData, handle);
  });
  if (withDelete) {
    storage.SetOnFileDelete([cb](TVaultStorage&, const std::u16string& name, std::int32_t& result) {
      result = cb.OnFileDelete(cb.UserData, name);
    });
  }
  storage.SetOnFileGetSize(
      [cb](TVaultStorage&, std::uint32_t handle, std::int64_t& size, std::int32_t& result) {
        result = cb.OnFileGetSize(cb.UserData, handle, size);
      });
  storage.SetOnFileSetSize(
      [cb](TVaultStorage&, std::uint32_t handle, std::int64_t size, std::int32_t& result) {
        result = cb.OnFileSetSize(cb.UserData, handle, size);
      });
  storage.SetOnFileSeek(
      [cb](TVaultStorage&, std::uint32_t handle, std::int64_t offset, std::uint16_t origin,
           std::int32_t& result) { result = cb.OnFileSeek(cb.UserData, handle, offset, origin); });
  storage.SetOnFileRead(
      [cb](TVaultStorage&, std::uint32_t handle, void* buffer, std::uint32_t count,
           std::int32_t& result) { result = cb.OnFileRead(cb.UserData, handle, buffer, count); });
  storage.SetOnFileWrite(
      [cb](TVaultStorage&, std::uint32_t handle, const void* buffer, std::uint32_t count,
           std::int32_t& result) { result = cb.OnFileWrite(cb.UserData, handle, buffer, count); });
}

}  // namespace vaultfs::testing
