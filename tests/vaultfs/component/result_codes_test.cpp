#include "vaultfs/result_codes.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <set>

namespace vaultfs {
namespace {

TEST(ResultCodes, EveryCodeHasADistinctNameAndMessage) {
  std::set<std::string_view> names, messages;
  for (EngineResult code = -1; code >= -kEngineCodeCount; --code) {
    EXPECT_FALSE(EngineMessage(code).empty()) << code;
    names.insert(EngineCodeName(code));
    messages.insert(EngineMessage(code));
  }
  EXPECT_EQ(names.size(), static_cast<std::size_t>(kEngineCodeCount));
  EXPECT_EQ(messages.size(), static_cast<std::size_t>(kEngineCodeCount));
  EXPECT_TRUE(EngineMessage(0).empty());
  EXPECT_TRUE(EngineMessage(-34).empty());
  EXPECT_TRUE(EngineMessage(5).empty());
}

TEST(ResultCodes, TableIsIndexedByTheNegatedCode) {
  struct Case {
    EngineResult code;
    std::string_view name;
    std::string_view message;
  };
  const Case cases[] = {
      {errInvalidStorageFile, "errInvalidStorageFile", "Invalid storage file"},
      {errInvalidPassword, "errInvalidPassword", "Invalid password"},
      {errStorageFull, "errStorageFull", "Storage is full and can't be resized"},
      {errNotImplemented, "errNotImplemented",
       "Fuction is not implemented in this version of VaultFS"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EngineCodeName(c.code), c.name);
    EXPECT_EQ(EngineMessage(c.code), c.message);
  }
}

TEST(ResultCodes, DescribeFormatsEngineCodesAndSystemErrors) {
  EXPECT_EQ(DescribeResult(errInvalidPassword), "Storage Error: Invalid password");
  EXPECT_EQ(DescribeResult(0), "Success");
  EXPECT_EQ(DescribeResult(ENOENT), "No such file or directory");
}

}  // namespace
}  // namespace vaultfs
