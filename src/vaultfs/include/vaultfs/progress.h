// Progress reports of the long operations of the engine (formatting,
// re-enciphering, and the like): a plain callback with user data, called on
// the caller's thread inside the engine call.
#pragma once

#include <cstdint>

namespace vaultfs {

// Operation code of the reports of formatting (and resizing).
inline constexpr std::uint8_t kProgressFormatting = 0;

// A progress report: operation code, units done, units in all. `stop` is the
// receiver's answer; operations that cannot stop say so with `canStop` false
// and do not read it.
struct ProgressSink {
  void (*Callback)(void* userData, std::uint8_t operation, std::uint32_t progress,
                   std::uint32_t total, bool canStop, bool& stop) = nullptr;
  void* UserData = nullptr;
};

// Sends one report when someone listens; true when the receiver asked to stop
// (never when `canStop` is false).
inline bool ReportProgress(const ProgressSink& sink, std::uint8_t operation, std::uint32_t progress,
                           std::uint32_t total, bool canStop) {
  if (sink.Callback == nullptr) return false;
  bool stop = false;
  sink.Callback(sink.UserData, operation, progress, total, canStop, stop);
  return canStop && stop;
}

}  // namespace vaultfs
