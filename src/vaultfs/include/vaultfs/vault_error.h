// Exceptions of the storage component and the one routine that turns an
// engine result into one.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "vaultfs/result_codes.h"

namespace vaultfs {

// An engine failure (negative code) or a refusal of the component itself
// (incomplete event group: ErrorCode 0). The message is the text shown to
// the person, "Storage Error: <message>" for engine codes.
class EVaultError : public std::runtime_error {
 public:
  EVaultError(const std::string& message, EngineResult errorCode)
      : std::runtime_error(message), ErrorCode(errorCode) {}
  EngineResult ErrorCode = 0;
};

// The component's own refusals about disk files ("File already exists",
// "File not found").
class EFilerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Stream transfers that moved fewer bytes than a whole-buffer call asked for.
class EReadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
class EWriteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// 0 returns; a negative engine code raises EVaultError ("Storage Error: %s",
// ErrorCode = result); a positive result is an errno and raises
// std::system_error in the generic category with errno set to it.
void CheckResult(EngineResult result);

// The EVaultError for a negative code, for callers that raise it themselves.
EVaultError MakeVaultError(EngineResult code);

}  // namespace vaultfs
