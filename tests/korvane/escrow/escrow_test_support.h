// Helpers the tests of both escrow kinds share: fixtures, PEM texts of
// keys, a Base64 decoder of our own, and a fresh $XDG_CONFIG_HOME per test.
#pragma once

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "korvane/forms/openssl_holders.h"

namespace korvane::escrow_test {

namespace fs = std::filesystem;

inline const fs::path kSourceDir = fs::path(__FILE__).parent_path();

inline std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

inline std::string Fixture(const std::string& name) {
  const std::string contents = ReadBytes(kSourceDir / "fixtures" / name);
  EXPECT_FALSE(contents.empty()) << "missing fixture " << name;
  return contents;
}

inline std::string TrimmedLine(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

inline openssl::Pkey ReadPrivateKey(const std::string& pem) {
  openssl::Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  return openssl::Pkey(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
}

inline std::string BioText(BIO* bio) {
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<std::size_t>(length));
}

inline std::string PublicPem(EVP_PKEY* key) {
  openssl::Bio bio(BIO_new(BIO_s_mem()));
  EXPECT_EQ(PEM_write_bio_PUBKEY(bio.get(), key), 1);
  return BioText(bio.get());
}

inline std::string PrivatePem(EVP_PKEY* key, const EVP_CIPHER* cipher = nullptr,
                              const char* passphrase = nullptr) {
  openssl::Bio bio(BIO_new(BIO_s_mem()));
  EXPECT_EQ(PEM_write_bio_PrivateKey(bio.get(), key, cipher, nullptr, 0, nullptr,
                                     const_cast<char*>(passphrase)),
            1);
  return BioText(bio.get());
}

inline openssl::Pkey GenerateRsa(std::size_t bits) {
  return openssl::Pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", bits));
}

// Plain Base64, independent of the code under test.
inline std::string Base64Decode(const std::string& text) {
  std::string bytes(text.size() / 4 * 3 + 1, '\0');
  const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                     reinterpret_cast<const unsigned char*>(text.data()),
                                     static_cast<int>(text.size()));
  EXPECT_GE(length, 0);
  const std::size_t padding = static_cast<std::size_t>(std::count(text.end() - 2, text.end(), '='));
  bytes.resize(static_cast<std::size_t>(length) - padding);
  return bytes;
}

inline std::string Base64Encode(const std::string& bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  text.resize(static_cast<std::size_t>(EVP_EncodeBlock(
      reinterpret_cast<unsigned char*>(text.data()),
      reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()))));
  return text;
}

inline std::string PatternBytes(std::size_t length) {
  std::string bytes(length, '\0');
  for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>((i * 37 + 11) % 256);
  return bytes;
}

// Points XDG_CONFIG_HOME at a fresh folder for the test and puts it back after.
class ConfigHomeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* old = std::getenv("XDG_CONFIG_HOME")) saved_ = old;
    hadValue_ = std::getenv("XDG_CONFIG_HOME") != nullptr;
    std::string pattern = (fs::temp_directory_path() / "escrow-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    home_ = pattern;
    fs::create_directories(home_ / "korvane");
    setenv("XDG_CONFIG_HOME", home_.c_str(), 1);
  }
  void TearDown() override {
    if (hadValue_) {
      setenv("XDG_CONFIG_HOME", saved_.c_str(), 1);
    } else {
      unsetenv("XDG_CONFIG_HOME");
    }
    std::error_code ignored;
    fs::remove_all(home_, ignored);
  }
  void Write(const std::string& name, const std::string& contents) {
    std::ofstream(home_ / "korvane" / name, std::ios::binary | std::ios::trunc) << contents;
  }

  fs::path home_;
  std::string saved_;
  bool hadValue_ = false;
};

}  // namespace korvane::escrow_test
