// The storage component reports failures as exceptions: a check that one
// call raises the expected engine code.
#pragma once

#include <gtest/gtest.h>

#include <functional>

#include "vaultfs/result_codes.h"
#include "vaultfs/vault_error.h"

namespace vaultfs::testing {

// Runs `action` and expects an EVaultError with `code`.
inline void ExpectVaultError(const std::function<void()>& action, EngineResult code) {
  try {
    action();
    ADD_FAILURE() << "no exception, expected " << DescribeResult(code);
  } catch (const EVaultError& error) {
    EXPECT_EQ(error.ErrorCode, code) << error.what();
  }
}

}  // namespace vaultfs::testing
