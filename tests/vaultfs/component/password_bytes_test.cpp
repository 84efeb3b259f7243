// Passwords on their way to the engine (include/vaultfs/password_bytes.h).
#include "vaultfs/password_bytes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace vaultfs {
namespace {

TEST(PasswordBytes, AnEmptyTextIsNoPassword) {
  const std::u16string text;
  const PasswordBytes bytes(text);
  EXPECT_EQ(bytes.data(), nullptr);
  EXPECT_EQ(bytes.size(), 0u);
}

TEST(PasswordBytes, TheUnitsComeLittleEndian) {
  const std::u16string text = u"a\u00e9\u20ac";
  const PasswordBytes bytes(text);
  ASSERT_EQ(bytes.size(), 6u);
  const std::uint8_t expected[] = {0x61, 0x00, 0xE9, 0x00, 0xAC, 0x20};
  EXPECT_EQ(std::memcmp(bytes.data(), expected, sizeof expected), 0);
}

TEST(PasswordBytes, WipeTextEmptiesTheText) {
  std::u16string text = u"secret";
  WipeText(text);
  EXPECT_TRUE(text.empty());
  std::u16string kept = u"scoped";
  { const WipeOnExit wipe(kept); }
  EXPECT_TRUE(kept.empty());
}

}  // namespace
}  // namespace vaultfs
