#include "vaultfs/vault_error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <system_error>

namespace vaultfs {
namespace {

TEST(VaultErrorCheck, ZeroPasses) {
  EXPECT_NO_THROW(CheckResult(0));
}

TEST(VaultErrorCheck, EngineCodesRaiseVaultErrorWithTheirMessage) {
  struct Case {
    EngineResult code;
    const char* message;
  };
  const Case cases[] = {
      {errInvalidPassword, "Storage Error: Invalid password"},
      {errInvalidStorageFile, "Storage Error: Invalid storage file"},
      {errNotImplemented, "Storage Error: Fuction is not implemented in this version of VaultFS"},
  };
  for (const Case& c : cases) {
    try {
      CheckResult(c.code);
      ADD_FAILURE() << "no exception for " << c.code;
    } catch (const EVaultError& error) {
      EXPECT_STREQ(error.what(), c.message);
      EXPECT_EQ(error.ErrorCode, c.code);
    }
    const EVaultError made = MakeVaultError(c.code);
    EXPECT_STREQ(made.what(), c.message);
    EXPECT_EQ(made.ErrorCode, c.code);
  }
}

TEST(VaultErrorCheck, SystemErrorNumbersRaiseSystemErrorAndSetErrno) {
  errno = 0;
  try {
    CheckResult(EACCES);
    ADD_FAILURE() << "no exception";
  } catch (const EVaultError&) {
    ADD_FAILURE() << "an errno value must not become an EVaultError";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code().value(), EACCES);
    EXPECT_EQ(error.code().category(), std::generic_category());
    EXPECT_EQ(errno, EACCES);
  }
}

}  // namespace
}  // namespace vaultfs
