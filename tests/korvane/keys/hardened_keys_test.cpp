// The hardened layout's keys: known answers for Argon2id and HKDF, the wrap
// and its refusals, the record's exact bytes and refusals, the parameter
// limits and floor, re-wrapping under a new password, and calibration.
// Derivations use the floor (64 MiB, one pass) to keep the run short.
#include "korvane/keys/hardened_keys.h"

#include <argon2.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace korvane {
namespace {

using Kind = HardenedKeyError::Kind;
using Bytes = std::vector<std::uint8_t>;

Bytes FromHex(const std::string& hex) {
  Bytes bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

Bytes FromText(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

template <std::size_t N>
std::array<std::uint8_t, N> Filled(std::uint8_t first) {
  std::array<std::uint8_t, N> bytes{};
  for (std::size_t i = 0; i < N; ++i) bytes[i] = static_cast<std::uint8_t>(first + i);
  return bytes;
}

// Runs `action`, expects a HardenedKeyError of `kind` whose message holds
// `needle`.
template <typename Action>
void ExpectRefused(Action action, Kind kind, const std::string& needle) {
  try {
    action();
    ADD_FAILURE() << "not refused; expected a message with \"" << needle << "\"";
  } catch (const HardenedKeyError& error) {
    EXPECT_EQ(error.kind(), kind) << error.what();
    EXPECT_NE(std::string(error.what()).find(needle), std::string::npos) << error.what();
  }
}

// ---------------------------------------------------------------- known answers

// The library's Argon2id against RFC 9106 (5.3). The vector uses a secret and
// associated data, which the raw call that DerivePasswordKey makes has no
// room for, so it goes through the library's context call: it proves that
// the linked library is Argon2id version 1.3.
TEST(Argon2id, LinkedLibraryMatchesRfc9106Vector) {
  Bytes password(32, 0x01), salt(16, 0x02), secret(8, 0x03), ad(12, 0x04), tag(32);
  argon2_context context{};
  context.out = tag.data();
  context.outlen = 32;
  context.pwd = password.data();
  context.pwdlen = 32;
  context.salt = salt.data();
  context.saltlen = 16;
  context.secret = secret.data();
  context.secretlen = 8;
  context.ad = ad.data();
  context.adlen = 12;
  context.t_cost = 3;
  context.m_cost = 32;
  context.lanes = 4;
  context.threads = 4;
  context.version = ARGON2_VERSION_13;
  context.flags = ARGON2_DEFAULT_FLAGS;
  ASSERT_EQ(argon2id_ctx(&context), ARGON2_OK);
  EXPECT_EQ(tag, FromHex("0d640df58d78766c08c037a34a8b53c9d01ef0452d75b65eb52520e96b01e659"));
}

// Known answers computed once with the command-line tool built from the same
// library. Distinct time cost, memory and parallelism catch figures passed in
// the wrong places; the second password is UTF-8 with a 4-byte character.
TEST(Argon2id, DerivePasswordKeyKnownAnswers) {
  struct Case {
    std::string password;
    std::string salt;
    KdfParameters parameters;
    std::string key;
  };
  const Case cases[] = {
      {"Korvane known answer",
       "saltsaltsalt0123",
       {1, 65536, 1},
       "89989d2a4b4a26b485b264f131e47a74ca1e2a055bf14c5bb6f0a627bd3ada15"},
      {"p\xC3\xA4ssw\xC3\xB6rd with \xF0\x9F\x94\x91",
       "Sixteen byte slt",
       {2, 66560, 3},
       "e74322e166ea03289323679ed2550867d6f37af5b7ce562f21a490e1f15ac54b"},
  };
  for (const Case& c : cases) {
    const Bytes salt = FromText(c.salt);
    ASSERT_EQ(salt.size(), kKdfSaltSize);
    const SecretBytes key = DerivePasswordKey(
        FromText(c.password), std::span<const std::uint8_t, kKdfSaltSize>(salt), c.parameters);
    EXPECT_TRUE(key.Equals(FromHex(c.key))) << c.password;
  }
}

TEST(Hkdf, Rfc5869TestCase1) {
  const Bytes ikm(22, 0x0b);
  const Bytes salt = FromHex("000102030405060708090a0b0c");
  const Bytes info = FromHex("f0f1f2f3f4f5f6f7f8f9");
  const SecretBytes okm =
      HkdfSha256(ikm, salt, std::string_view(reinterpret_cast<const char*>(info.data()), 10), 42);
  EXPECT_TRUE(
      okm.Equals(FromHex("3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf"
                         "34007208d5b887185865")));
}

// ---------------------------------------------------------------- subkeys

TEST(Subkeys, AreDistinctDeterministicAndReachTheEngineAsFullHex) {
  const SecretBytes master = GenerateMasterKey();
  const HardenedSubkeys first = DeriveSubkeys(master);
  const HardenedSubkeys again = DeriveSubkeys(master);
  const SecretBytes* keys[] = {&first.StoragePassword, &first.FilePassword, &first.MacKey};
  for (const SecretBytes* key : keys) {
    EXPECT_EQ(key->size(), kSubkeySize);
    EXPECT_FALSE(key->Equals(master.span()));
    for (const SecretBytes* other : keys) {
      if (other != key) {
        EXPECT_FALSE(key->Equals(other->span()));
      }
    }
  }
  EXPECT_TRUE(again.StoragePassword.Equals(first.StoragePassword.span()));
  EXPECT_TRUE(again.MacKey.Equals(first.MacKey.span()));
  EXPECT_FALSE(
      DeriveSubkeys(GenerateMasterKey()).StoragePassword.Equals(first.StoragePassword.span()));

  const auto counting = Filled<32>(0x00);
  EXPECT_EQ(ToEnginePassword(SecretBytes(counting)).text(),
            u"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
  const auto high = Filled<32>(0xe0);
  EXPECT_EQ(ToEnginePassword(SecretBytes(high)).text(),
            u"e0e1e2e3e4e5e6e7e8e9eaebecedeeeff0f1f2f3f4f5f6f7f8f9fafbfcfdfeff");
  ExpectRefused([] { ToEnginePassword(SecretBytes(16)); }, Kind::kInvalidArgument, "32 bytes");
}

TEST(SecretBytes, MovesLeaveTheSourceEmpty) {
  const auto bytes = Filled<32>(7);
  SecretBytes a(bytes);
  SecretBytes b(std::move(a));
  EXPECT_TRUE(a.empty());  // NOLINT(bugprone-use-after-move): the state is the point
  EXPECT_TRUE(b.Equals(bytes));
  SecretBytes c(4);
  c = std::move(b);
  EXPECT_TRUE(b.empty());  // NOLINT(bugprone-use-after-move)
  EXPECT_TRUE(c.Equals(bytes));
  EXPECT_FALSE(c.Equals(Filled<32>(8)));
  EXPECT_FALSE(c.Equals(Filled<31>(7)));
}

// ---------------------------------------------------------------- wrapped record

// One record under a known password at the floor, made once.
class WrappedRecord : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    master_ = std::make_unique<SecretBytes>(GenerateMasterKey());
    record_ = std::make_unique<HardenedRecord>(
        CreateHardenedRecord(*master_, FromText(kPassword), kKdfFloor, 123456789));
    passwordKey_ = std::make_unique<SecretBytes>(
        DerivePasswordKey(FromText(kPassword), record_->Salt, record_->Kdf));
  }
  static void TearDownTestSuite() {
    master_.reset();
    record_.reset();
    passwordKey_.reset();
  }

  static constexpr const char* kPassword = "correct password";
  static inline std::unique_ptr<SecretBytes> master_;
  static inline std::unique_ptr<HardenedRecord> record_;
  static inline std::unique_ptr<SecretBytes> passwordKey_;
};

TEST_F(WrappedRecord, OpensWithItsPasswordOnlyAfterEncodeAndDecode) {
  const HardenedRecord decoded = DecodeHardenedRecord(EncodeHardenedRecord(*record_));
  EXPECT_EQ(decoded.Kdf, kKdfFloor);
  EXPECT_EQ(decoded.SizeKB, 123456789u);

  const std::optional<SecretBytes> opened = OpenHardenedRecord(decoded, FromText(kPassword));
  ASSERT_TRUE(opened.has_value());
  EXPECT_TRUE(opened->Equals(master_->span()));
  EXPECT_FALSE(OpenHardenedRecord(decoded, FromText("correct passworD")).has_value());
  EXPECT_FALSE(OpenHardenedRecord(decoded, {}).has_value());
}

// A flipped bit anywhere in the header or the wrapped key fails the unwrap
// even with the right password key: the header is bound as associated data.
// The size figure is outside it on purpose.
TEST_F(WrappedRecord, FlippedBitsAreRefusedExceptInTheSizeFigure) {
  struct Case {
    const char* field;
    std::size_t offset;
    std::uint8_t mask;
    bool opens;
  };
  const Case cases[] = {
      {"time cost", 10, 0x02, false},       {"memory", 15, 0x04, false},
      {"parallelism", 18, 0x02, false},     {"salt first", 22, 0x01, false},
      {"salt last", 37, 0x80, false},       {"nonce", 38, 0x01, false},
      {"nonce last", 49, 0x40, false},      {"ciphertext", 50, 0x01, false},
      {"ciphertext last", 81, 0x80, false}, {"tag", 82, 0x01, false},
      {"tag last", 97, 0x80, false},        {"size figure", 98, 0x01, true},
  };
  const Bytes original = EncodeHardenedRecord(*record_);
  for (const Case& c : cases) {
    Bytes bytes = original;
    bytes[c.offset] ^= c.mask;
    const HardenedRecord tampered = DecodeHardenedRecord(bytes);
    const auto header = HardenedRecordHeader(tampered);
    EXPECT_EQ(UnwrapMasterKey(tampered.Wrapped, *passwordKey_, header).has_value(), c.opens)
        << c.field;
  }
  // And through the whole path: the altered salt changes the derived key too.
  Bytes bytes = original;
  bytes[30] ^= 0x10;
  EXPECT_FALSE(OpenHardenedRecord(DecodeHardenedRecord(bytes), FromText(kPassword)).has_value());
}

TEST_F(WrappedRecord, ReWrapKeepsTheMasterKeyUnderTheNewPasswordOnly) {
  const KdfParameters newParameters{2, 65536, 1};
  const std::optional<HardenedRecord> changed =
      ChangeWrappedPassword(*record_, FromText(kPassword), FromText("new password"), newParameters);
  ASSERT_TRUE(changed.has_value());
  EXPECT_EQ(changed->Kdf, newParameters);
  EXPECT_EQ(changed->SizeKB, record_->SizeKB);
  EXPECT_NE(changed->Salt, record_->Salt);
  EXPECT_NE(changed->Wrapped.Nonce, record_->Wrapped.Nonce);

  EXPECT_FALSE(OpenHardenedRecord(*changed, FromText(kPassword)).has_value());
  const std::optional<SecretBytes> opened = OpenHardenedRecord(*changed, FromText("new password"));
  ASSERT_TRUE(opened.has_value());
  EXPECT_TRUE(opened->Equals(master_->span()));

  EXPECT_FALSE(
      ChangeWrappedPassword(*record_, FromText("guess"), FromText("new password"), kKdfFloor)
          .has_value());
}

TEST_F(WrappedRecord, EveryWrapHasFreshSaltAndNonce) {
  const HardenedRecord again =
      CreateHardenedRecord(*master_, FromText(kPassword), kKdfFloor, record_->SizeKB);
  EXPECT_NE(again.Salt, record_->Salt);
  EXPECT_NE(again.Wrapped.Nonce, record_->Wrapped.Nonce);
  EXPECT_NE(again.Wrapped.Ciphertext, record_->Wrapped.Ciphertext);

  const std::array<std::uint8_t, 4> ad = {1, 2, 3, 4};
  const WrappedKey first = WrapMasterKey(*master_, *passwordKey_, ad);
  const WrappedKey second = WrapMasterKey(*master_, *passwordKey_, ad);
  EXPECT_NE(first.Nonce, second.Nonce);
  EXPECT_NE(first.Ciphertext, second.Ciphertext);
  const std::optional<SecretBytes> unwrapped = UnwrapMasterKey(second, *passwordKey_, ad);
  ASSERT_TRUE(unwrapped.has_value());
  EXPECT_TRUE(unwrapped->Equals(master_->span()));
}

// ---------------------------------------------------------------- record bytes

TEST(HardenedRecordBytes, LayoutIsFixedLittleEndian) {
  HardenedRecord record;
  record.Kdf = {0x01020304, 0x00011005, 0x0000000a};
  record.Salt = Filled<16>(0x10);
  record.Wrapped.Nonce = Filled<12>(0x20);
  record.Wrapped.Ciphertext = Filled<32>(0x40);
  record.Wrapped.Tag = Filled<16>(0x80);
  record.SizeKB = 0x0102030405060708;
  const Bytes expected = FromHex(
      "4b4f525648415244"  // marker
      "0100"              // version
      "04030201"
      "05100100"
      "0a000000"                                                          // t, m, p
      "101112131415161718191a1b1c1d1e1f"                                  // salt
      "202122232425262728292a2b"                                          // nonce
      "404142434445464748494a4b4c4d4e4f505152535455565758595a5b5c5d5e5f"  // key
      "808182838485868788898a8b8c8d8e8f"                                  // tag
      "0807060504030201");                                                // size
  const Bytes encoded = EncodeHardenedRecord(record);
  EXPECT_EQ(encoded, expected);
  const auto header = HardenedRecordHeader(record);
  EXPECT_TRUE(std::equal(header.begin(), header.end(), expected.begin()));
  EXPECT_TRUE(IsHardenedRecord(encoded));

  // Decoding refuses this record's time cost; with a sane one it reads back.
  ExpectRefused([&] { DecodeHardenedRecord(encoded); }, Kind::kOutOfLimits, "16909060");
  record.Kdf = {3, 0x00011005, 10};
  const HardenedRecord decoded = DecodeHardenedRecord(EncodeHardenedRecord(record));
  EXPECT_EQ(EncodeHardenedRecord(decoded), EncodeHardenedRecord(record));
}

TEST(HardenedRecordBytes, MalformedRecordsAreRefusedWithTheirReason) {
  HardenedRecord record;
  record.Kdf = kKdfFloor;
  const Bytes good = EncodeHardenedRecord(record);
  auto with = [&](std::size_t offset, std::uint8_t value) {
    Bytes bytes = good;
    bytes[offset] = value;
    return bytes;
  };
  auto resized = [&](std::size_t size) {
    Bytes bytes = good;
    bytes.resize(size);
    return bytes;
  };
  struct Case {
    const char* name;
    Bytes bytes;
    Kind kind;
    const char* needle;
  };
  const Case cases[] = {
      {"empty", {}, Kind::kDamagedRecord, "too short (0 bytes, 106 expected)"},
      {"marker only", resized(9), Kind::kDamagedRecord, "too short (9 bytes"},
      {"one short", resized(105), Kind::kDamagedRecord, "too short (105 bytes"},
      {"one long", resized(107), Kind::kDamagedRecord, "too long (107 bytes"},
      {"other marker", with(7, 'X'), Kind::kDamagedRecord, "marker"},
      {"version 2", with(8, 2), Kind::kUnsupportedVersion,
       "version 2; this program reads version 1"},
      {"version 0", with(8, 0), Kind::kUnsupportedVersion, "version 0"},
      {"time cost 0", with(10, 0), Kind::kOutOfLimits, "time cost 0"},
      {"time cost 65", with(10, 65), Kind::kOutOfLimits, "time cost 65"},
      {"memory 16 GiB", with(17, 0x01), Kind::kOutOfLimits, "(16448 MiB)"},
      {"memory below floor", with(16, 0), Kind::kOutOfLimits, "memory of 0 KiB"},
      {"parallelism 0", with(18, 0), Kind::kOutOfLimits, "parallelism 0"},
      {"parallelism 17", with(18, 17), Kind::kOutOfLimits, "parallelism 17"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectRefused([&] { DecodeHardenedRecord(c.bytes); }, c.kind, c.needle);
  }
  // A later version of another length is reported as a version, not damage.
  Bytes longer = with(8, 2);
  longer.resize(200);
  ExpectRefused([&] { DecodeHardenedRecord(longer); }, Kind::kUnsupportedVersion, "version 2");

  EXPECT_TRUE(IsHardenedRecord(resized(8)));
  EXPECT_FALSE(IsHardenedRecord(resized(7)));
  EXPECT_FALSE(IsHardenedRecord(with(0, 'k')));
  EXPECT_FALSE(IsHardenedRecord(FromText("0123456789abcdef0123456789abcdef")));
}

// ---------------------------------------------------------------- limits

// A hostile record could ask for terabytes or hours: such figures are
// refused at once, without taking the memory or the time.
TEST(KdfLimits, FiguresBeyondTheLimitsAreRefusedBeforeAnyWork) {
  constexpr std::uint32_t kHuge = std::numeric_limits<std::uint32_t>::max();
  struct Case {
    KdfParameters parameters;
    const char* needle;
  };
  // Figures that are quick to refuse first: with the check missing, the
  // loop stops at the first failure instead of running the hour-long case.
  const Case cases[] = {
      {{0, 65536, 1}, "time cost 0"},
      {{1, 65535, 1}, "memory of 65535 KiB"},
      {{1, 65536, 0}, "parallelism 0"},
      {{1, 65536, 17}, "parallelism 17"},
      {{65, 65536, 1}, "time cost 65"},
      {{1, kMaxMemoryKiB + 1024, 1}, "4195328 KiB"},
      {{1, kHuge, 1}, "4294967295 KiB"},
      {{kHuge, kHuge, kHuge}, "time cost"},
      {{kHuge, 65536, 1}, "time cost 4294967295"},
  };
  const std::array<std::uint8_t, kKdfSaltSize> salt{};
  const Bytes password = FromText("password");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.needle);
    const auto start = std::chrono::steady_clock::now();
    ExpectRefused([&] { DerivePasswordKey(password, salt, c.parameters); }, Kind::kOutOfLimits,
                  c.needle);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
    if (HasFailure()) break;
  }
  EXPECT_GE(OpeningMemoryLimitKiB(), kKdfFloor.MemoryKiB);
  EXPECT_LE(OpeningMemoryLimitKiB(), kMaxMemoryKiB);
}

TEST(KdfLimits, ProtectingNeverGoesBelowTheFloor) {
  struct Case {
    KdfParameters requested;
    KdfParameters used;
  };
  const Case cases[] = {
      {{0, 0, 0}, kKdfFloor},         {{1, 1024, 1}, kKdfFloor},
      {{1, 65535, 1}, kKdfFloor},     {{2, 70000, 9}, {2, 70000, kMaxProtectParallelism}},
      {{3, 65536, 2}, {3, 65536, 2}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ProtectParameters(c.requested), c.used)
        << c.requested.TimeCost << " " << c.requested.MemoryKiB << " " << c.requested.Parallelism;
  }
  // A request the record could never be opened with is refused, not lowered.
  ExpectRefused([] { ProtectParameters({65, 65536, 1}); }, Kind::kOutOfLimits, "time cost 65");

  // The record written for a weak request carries the floor.
  const HardenedRecord record =
      CreateHardenedRecord(GenerateMasterKey(), FromText("pw"), {0, 8, 0}, 1);
  EXPECT_EQ(record.Kdf, kKdfFloor);
  EXPECT_EQ(DecodeHardenedRecord(EncodeHardenedRecord(record)).Kdf, kKdfFloor);
}

// Calibration with a short target: at or above the floor, and a derivation
// with the result really takes about that long. (Speed itself is for the
// benchmarks; this only shows that calibration sizes the work.)
TEST(KdfLimits, CalibrationSizesTheWorkToTheTarget) {
  const KdfParameters parameters = CalibrateKdf(0.3, 1);
  EXPECT_GE(parameters.TimeCost, kKdfFloor.TimeCost);
  EXPECT_GE(parameters.MemoryKiB, kKdfFloor.MemoryKiB);
  EXPECT_GE(parameters.Parallelism, 1u);
  EXPECT_LE(parameters.Parallelism, kMaxProtectParallelism);

  const std::array<std::uint8_t, kKdfSaltSize> salt{};
  const auto start = std::chrono::steady_clock::now();
  DerivePasswordKey(FromText("password"), salt, parameters);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(seconds, 0.25) << parameters.TimeCost << " " << parameters.MemoryKiB << " "
                           << parameters.Parallelism;

  ExpectRefused([] { CalibrateKdf(0.0); }, Kind::kInvalidArgument, "calibration target");
}

}  // namespace
}  // namespace korvane
