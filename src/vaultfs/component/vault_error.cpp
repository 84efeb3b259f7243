#include "vaultfs/vault_error.h"

#include <cerrno>
#include <system_error>

namespace vaultfs {

EVaultError MakeVaultError(EngineResult code) {
  // DescribeResult gives "Storage Error: <message>" for every engine code.
  return EVaultError(DescribeResult(code), code);
}

void CheckResult(EngineResult result) {
  if (result == 0) return;
  if (result > 0) {
    errno = result;
    throw std::system_error(result, std::generic_category());
  }
  throw MakeVaultError(result);
}

}  // namespace vaultfs
