// Block codecs: stored forms, fallback to raw, decoder robustness, custom
// handlers, and the compression settings with their record.
//
// Inputs are handed to the decoders in buffers of exactly their stored length
// and outputs in buffers of exactly the capacity, so that a read or write one
// byte out of bounds stops the sanitizer build.
#include "vaultfs/objects/codecs.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "vaultfs/util/byte_order.h"

namespace vaultfs {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr bool kHostIsBigEndian = std::endian::native == std::endian::big;

struct Encoded {
  EngineResult result = errOk;
  Bytes stored;
  bool compressed = false;
};

struct Decoded {
  EngineResult result = errOk;
  Bytes data;
};

// Encodes into a stored-form buffer of the size a block buffer has.
Encoded Encode(std::uint32_t mode, std::uint32_t level, const Bytes& data, bool byteSwapped = false,
               const CustomCodecCallbacks* custom = nullptr) {
  Encoded encoded;
  encoded.stored.assign(data.size() + kStoredFormSlack, 0xEE);
  std::uint32_t storedLength = 0xDEAD;
  encoded.result =
      EncodeBlock(mode, level, data.data(), static_cast<std::uint32_t>(data.size()),
                  encoded.stored.data(), static_cast<std::uint32_t>(encoded.stored.size()),
                  storedLength, encoded.compressed, byteSwapped, custom);
  if (encoded.result == errOk) encoded.stored.resize(storedLength);
  return encoded;
}

Decoded Decode(std::uint32_t mode, const Bytes& stored, std::uint32_t capacity,
               bool byteSwapped = false, const CustomCodecCallbacks* custom = nullptr) {
  const Bytes exact(stored);  // a heap block of exactly the stored length
  Decoded decoded;
  decoded.data.assign(capacity, 0xEE);
  std::uint32_t validLength = 0xDEAD;
  decoded.result = DecodeBlock(mode, exact.data(), static_cast<std::uint32_t>(exact.size()),
                               decoded.data.data(), capacity, validLength, byteSwapped, custom);
  if (decoded.result == errOk) {
    EXPECT_LE(validLength, capacity);
    decoded.data.resize(validLength);
  }
  return decoded;
}

Bytes Text(std::size_t size, std::uint32_t seed) {
  static const char* const kWords[] = {"the ",    "vault ",  "folder ", "page ", "block ",
                                       "locked ", "open, ",  "data ",   "and ",  "file.\n",
                                       "stream ", "index\t", "  ",      "of ",   "0000 "};
  std::mt19937 random(seed);
  Bytes text;
  text.reserve(size);
  while (text.size() < size) {
    const char* word = kWords[random() % std::size(kWords)];
    for (; *word != 0 && text.size() < size; ++word)
      text.push_back(static_cast<std::uint8_t>(*word));
  }
  return text;
}

Bytes Noise(std::size_t size, std::uint32_t seed) {
  std::mt19937 random(seed);
  Bytes noise(size);
  for (std::uint8_t& b : noise) b = static_cast<std::uint8_t>(random());
  return noise;
}

Bytes Repeat(std::size_t count, std::uint8_t value) {
  return Bytes(count, value);
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// ---------------------------------------------------------------- round trips

TEST(BlockCodec, RoundTripsAndCompressesOnlyWhenShorter) {
  struct Case {
    const char* name;
    Bytes data;
    bool zlibCompresses;
    bool rleCompresses;
  };
  const Case cases[] = {
      {"empty", {}, false, false},
      {"one byte", {0x41}, false, false},
      {"one 0xFF", {0xFF}, false, false},
      {"all 0xFF", Repeat(1000, 0xFF), true, true},
      {"runs of 1..5",
       {'A', 'B', 'B', 'C', 'C', 'C', 'D', 'D', 'D', 'D', 'E', 'E', 'E', 'E', 'E'},
       false,
       true},
      {"0xFF runs of 1..5",
       Concat({{0xFF, 1},
               Repeat(2, 0xFF),
               {2},
               Repeat(3, 0xFF),
               {3},
               Repeat(4, 0xFF),
               {4},
               Repeat(5, 0xFF)}),
       false, false},
      {"incompressible", Noise(4096, 1), false, false},
      {"zeros, 64 KiB", Repeat(65536, 0), true, true},
      {"text, 64 KiB", Text(65536, 2), true, true},
      {"text and runs, 4 MiB", Concat({Text(1 << 20, 3), Repeat(3 << 20, 'Z'), Text(100000, 4)}),
       true, true},
  };
  for (const Case& c : cases) {
    for (const std::uint32_t mode : {std::uint32_t{crZLib}, std::uint32_t{crRLE}}) {
      for (const bool swapped : {false, true}) {
        SCOPED_TRACE(::testing::Message()
                     << c.name << ", mode " << mode << ", swapped " << swapped);
        const Encoded e = Encode(mode, 9, c.data, swapped);
        ASSERT_EQ(e.result, errOk);
        EXPECT_EQ(e.compressed, mode == crZLib ? c.zlibCompresses : c.rleCompresses);
        if (e.compressed) {
          EXPECT_LT(e.stored.size(), c.data.size());
        } else {
          EXPECT_EQ(e.stored, c.data);
        }
        const std::uint32_t capacity = static_cast<std::uint32_t>(c.data.size());
        const Decoded d =
            Decode(e.compressed ? mode : crNoCompression, e.stored, capacity, swapped);
        ASSERT_EQ(d.result, errOk);
        EXPECT_TRUE(d.data == c.data);
      }
    }
  }
}

TEST(BlockCodec, RoundTripsOnSeveralThreadsAtOnce) {
  // Every thread mixes levels and modes; a codec state shared between threads
  // or kept from a previous level would corrupt blocks.
  auto work = [](std::uint32_t seed, bool& ok) {
    ok = true;
    for (std::uint32_t i = 0; i < 20 && ok; ++i) {
      const Bytes data = Concat({Text(3000 + 97 * i, seed + i), Repeat(i * 50, 'x')});
      const std::uint32_t mode = i % 3 == 2 ? crRLE : crZLib;
      const Encoded e = Encode(mode, 1 + (seed + i) % 9, data);
      const Decoded d = Decode(e.compressed ? mode : crNoCompression, e.stored,
                               static_cast<std::uint32_t>(data.size()));
      ok = e.result == errOk && d.result == errOk && d.data == data;
    }
  };
  bool ok[4] = {};
  std::vector<std::thread> threads;
  for (std::uint32_t t = 0; t < 4; ++t) threads.emplace_back(work, 100 * t, std::ref(ok[t]));
  for (std::thread& thread : threads) thread.join();
  for (const bool threadOk : ok) EXPECT_TRUE(threadOk);
}

// ---------------------------------------------------------------- stored forms

TEST(RunLengthCode, EncodesExactly) {
  struct Case {
    Bytes data;
    Bytes code;
  };
  const Case cases[] = {
      {{0x41, 0x41, 0x41, 0x41, 0xFF, 0x42},
       {0xFF, 0x04, 0x41, 0xFF, 0x01, 0xFF, 0x42, 0xFF, 0x00}},
      {{}, {0xFF, 0x00}},
      {{0x42, 0x42}, {0x42, 0x42, 0xFF, 0x00}},
      {{0x43, 0x43, 0x43}, {0x43, 0x43, 0x43, 0xFF, 0x00}},
      {{0x00, 0x00, 0x00, 0x00}, {0xFF, 0x04, 0x00, 0xFF, 0x00}},
      {{0xFF, 0xFF}, {0xFF, 0x02, 0xFF, 0xFF, 0x00}},
      {{0x41, 0xFF, 0x41}, {0x41, 0xFF, 0x01, 0xFF, 0x41, 0xFF, 0x00}},
      {Repeat(127, 0x61), {0xFF, 0x7F, 0x61, 0xFF, 0x00}},
      {Repeat(128, 0x61), {0xFF, 0x80, 0x01, 0x61, 0xFF, 0x00}},
      {Repeat(200, 0x41), {0xFF, 0xC8, 0x01, 0x41, 0xFF, 0x00}},
      {Repeat(0x4000, 0x00), {0xFF, 0x80, 0x80, 0x01, 0x00, 0xFF, 0x00}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "input of " << c.data.size() << " bytes");
    Bytes out(c.code.size() + 1);
    std::uint32_t storedLength = 0;
    ASSERT_EQ(EncodeRunLength(c.data.data(), static_cast<std::uint32_t>(c.data.size()), out.data(),
                              static_cast<std::uint32_t>(out.size()), storedLength),
              errOk);
    out.resize(storedLength);
    EXPECT_EQ(out, c.code);

    const Decoded d = Decode(crRLE, c.code, static_cast<std::uint32_t>(c.data.size()));
    ASSERT_EQ(d.result, errOk);
    EXPECT_EQ(d.data, c.data);
  }
}

TEST(RunLengthCode, OutputMustStayBelowTheLimit) {
  const Bytes data = {0x44, 0x44, 0x44, 0x44, 0x45};  // FF 04 44 45 FF 00: 6 bytes
  for (std::uint32_t limit = 0; limit <= 7; ++limit) {
    SCOPED_TRACE(::testing::Message() << "limit " << limit);
    Bytes out(limit);  // exactly the limit: a write past it is caught
    std::uint32_t storedLength = 0;
    const EngineResult result = EncodeRunLength(data.data(), 5, out.data(), limit, storedLength);
    if (limit <= 6) {
      EXPECT_EQ(result, errBufferTooSmall);
    } else {
      ASSERT_EQ(result, errOk);
      EXPECT_EQ(storedLength, 6u);
    }
  }
}

TEST(BlockCodec, ZLibStoredForm) {
  const Bytes data = Text(5000, 7);
  // The field is in the volume's byte order: a volume of the other order
  // than this machine's is a byte-swapped one.
  struct Case {
    std::uint32_t level;
    bool bigEndianVolume;
    Bytes lengthField;   // 5000 = 0x1388
    std::uint8_t flags;  // second byte of the stream: the level class
  };
  const Case cases[] = {
      {1, false, {0x88, 0x13, 0x00, 0x00}, 0x01},   {6, false, {0x88, 0x13, 0x00, 0x00}, 0x9C},
      {9, true, {0x00, 0x00, 0x13, 0x88}, 0xDA},    {1, true, {0x00, 0x00, 0x13, 0x88}, 0x01},
      {200, false, {0x88, 0x13, 0x00, 0x00}, 0xDA},  // above the strongest level: the strongest
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "level " << c.level << ", big-endian volume "
                                      << c.bigEndianVolume);
    const bool swapped = c.bigEndianVolume != kHostIsBigEndian;
    const Encoded e = Encode(crZLib, c.level, data, swapped);
    ASSERT_EQ(e.result, errOk);
    ASSERT_TRUE(e.compressed);
    EXPECT_EQ(Bytes(e.stored.begin(), e.stored.begin() + 4), c.lengthField);
    EXPECT_EQ(e.stored[4], 0x78);
    EXPECT_EQ(e.stored[5], c.flags);

    std::uint32_t length = 0;
    ASSERT_EQ(ReadZLibLength(e.stored.data(), 4, swapped, length), errOk);
    EXPECT_EQ(length, 5000u);
    // Read in the wrong byte order the length no longer matches the stream.
    EXPECT_EQ(Decode(crZLib, e.stored, 1u << 24, !swapped).result, errCompressedDataCorrupted);
  }
  std::uint32_t length = 0;
  EXPECT_EQ(ReadZLibLength(data.data(), 3, false, length), errCompressedDataCorrupted);
}

// The stored form is the zlib format both ways: blocks written now inflate
// with zlib's own uncompress, and streams zlib deflated (every block
// written before the blocks went through libdeflate) decode; at the top
// level text packs at least as tightly as zlib packed it.
TEST(BlockCodec, TheStoredFormIsZlibsBothWays) {
  std::mt19937 random(11);
  Bytes noise(20000);
  for (std::uint8_t& b : noise) b = static_cast<std::uint8_t>(random());
  Bytes mixed = Text(30000, 4);
  mixed.insert(mixed.end(), noise.begin(), noise.begin() + 5000);
  std::size_t ours9 = 0, zlib9 = 0;
  for (const Bytes& data : {Text(65024, 3), Text(777, 9), mixed}) {
    for (const std::uint32_t level : {1u, 6u, 9u}) {
      SCOPED_TRACE(::testing::Message() << data.size() << " bytes, level " << level);
      const Encoded e = Encode(crZLib, level, data);
      ASSERT_EQ(e.result, errOk);
      ASSERT_TRUE(e.compressed);
      uLongf inflated = static_cast<uLongf>(data.size());
      Bytes out(data.size());
      ASSERT_EQ(uncompress(out.data(), &inflated, e.stored.data() + kZLibHeaderSize,
                           static_cast<uLong>(e.stored.size() - kZLibHeaderSize)),
                Z_OK);
      EXPECT_EQ(inflated, data.size());
      EXPECT_TRUE(out == data);

      uLongf deflated = compressBound(static_cast<uLong>(data.size()));
      Bytes zlibStream(deflated);
      ASSERT_EQ(compress2(zlibStream.data(), &deflated, data.data(),
                          static_cast<uLong>(data.size()), static_cast<int>(level)),
                Z_OK);
      zlibStream.resize(deflated);
      Bytes stored(kZLibHeaderSize);
      StoreU32(stored.data(), static_cast<std::uint32_t>(data.size()));  // a native volume
      stored.insert(stored.end(), zlibStream.begin(), zlibStream.end());
      const Decoded d = Decode(crZLib, stored, static_cast<std::uint32_t>(data.size()));
      ASSERT_EQ(d.result, errOk);
      EXPECT_TRUE(d.data == data);
      if (level == 9) {
        ours9 += e.stored.size();
        zlib9 += stored.size();
      }
    }
  }
  // Over the blocks together: a single small block may come out a byte or
  // two longer.
  EXPECT_LE(ours9, zlib9);
}

// "hello" as a standard zlib stream with one stored deflate block.
const Bytes kHelloStream = {0x78, 0x01, 0x01, 0x05, 0x00, 0xFA, 0xFF, 0x68,
                            0x65, 0x6C, 0x6C, 0x6F, 0x06, 0x2C, 0x02, 0x15};
const Bytes kHello = {'h', 'e', 'l', 'l', 'o'};

TEST(BlockCodec, ZLibDecoderChecksTheLengthField) {
  struct Case {
    const char* name;
    Bytes stored;
    std::uint32_t capacity;
    EngineResult expected;
  };
  const Bytes five = {0x05, 0x00, 0x00, 0x00};
  const Case cases[] = {
      {"exact", Concat({five, kHelloStream}), 5, errOk},
      {"zero padding after the stream", Concat({five, kHelloStream, Bytes(11, 0)}), 5, errOk},
      {"byte-swapped field", Concat({{0, 0, 0, 5}, kHelloStream}), 5, errCompressedDataCorrupted},
      {"length above capacity", Concat({five, kHelloStream}), 4, errCompressedDataCorrupted},
      {"length above any block", Concat({{0xFF, 0xFF, 0xFF, 0xFF}, kHelloStream}), 64,
       errCompressedDataCorrupted},
      {"stream longer than the field", Concat({{4, 0, 0, 0}, kHelloStream}), 5,
       errCompressedDataCorrupted},
      {"stream shorter than the field", Concat({{6, 0, 0, 0}, kHelloStream}), 6,
       errCompressedDataCorrupted},
      {"stream cut short", Concat({five, Bytes(kHelloStream.begin(), kHelloStream.end() - 1)}), 5,
       errCompressedDataCorrupted},
      {"bad checksum", Concat({five, Bytes(kHelloStream.begin(), kHelloStream.end() - 1), {0x16}}),
       5, errCompressedDataCorrupted},
      {"field only", five, 5, errCompressedDataCorrupted},
      {"shorter than the field", {0x05, 0x00, 0x00}, 5, errCompressedDataCorrupted},
      {"nothing", {}, 5, errCompressedDataCorrupted},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The fields above are little-endian: a byte-swapped volume's on a
    // big-endian machine.
    const Decoded d = Decode(crZLib, c.stored, c.capacity, kHostIsBigEndian);
    EXPECT_EQ(d.result, c.expected);
    if (c.expected == errOk) {
      EXPECT_EQ(d.data, kHello);
    }
  }
}

TEST(RunLengthCode, DecoderRefusesMalformedInput) {
  struct Case {
    const char* name;
    Bytes stored;
    std::uint32_t capacity;
    EngineResult expected;
    Bytes data;
  };
  const EngineResult bad = errCompressedDataCorrupted;
  const Case cases[] = {
      {"run, 0xFF and a literal",
       {0xFF, 0x04, 0x41, 0xFF, 0x01, 0xFF, 0x42, 0xFF, 0x00},
       6,
       errOk,
       {0x41, 0x41, 0x41, 0x41, 0xFF, 0x42}},
      {"padding after the terminator",
       {0xFF, 0x03, 0x41, 0xFF, 0x00, 0x00, 0x7E},
       3,
       errOk,
       {0x41, 0x41, 0x41}},
      {"count in five bytes",
       {0xFF, 0x85, 0x80, 0x80, 0x80, 0x00, 0x41, 0xFF, 0x00},
       5,
       errOk,
       Repeat(5, 0x41)},
      {"empty block", {0xFF, 0x00}, 0, errOk, {}},
      {"nothing", {}, 8, bad, {}},
      {"literals only", {0x41, 0x42}, 8, bad, {}},
      {"marker at the end", {0x41, 0xFF}, 8, bad, {}},
      {"count cut short", {0xFF, 0x80}, 8, bad, {}},
      {"value missing", {0xFF, 0x05}, 8, bad, {}},
      {"run beyond capacity", {0xFF, 0x05, 0x41, 0xFF, 0x00}, 4, bad, {}},
      {"run filling capacity", {0xFF, 0x05, 0x41, 0xFF, 0x00}, 5, errOk, Repeat(5, 0x41)},
      {"literal beyond capacity", {0x41, 0x42, 0xFF, 0x00}, 1, bad, {}},
      {"literal into no capacity", {0x41, 0xFF, 0x00}, 0, bad, {}},
      {"second run overflows", {0xFF, 0x03, 0x41, 0xFF, 0x03, 0x42, 0xFF, 0x00}, 5, bad, {}},
      {"largest count", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0x41, 0xFF, 0x00}, 64, bad, {}},
      {"count above 32 bits", {0xFF, 0x80, 0x80, 0x80, 0x80, 0x10, 0x41, 0xFF, 0x00}, 64, bad, {}},
      {"count in six bytes",
       {0xFF, 0x81, 0x80, 0x80, 0x80, 0x80, 0x00, 0x41, 0xFF, 0x00},
       64,
       bad,
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Decoded d = Decode(crRLE, c.stored, c.capacity);
    EXPECT_EQ(d.result, c.expected);
    if (c.expected == errOk) {
      EXPECT_EQ(d.data, c.data);
    }
  }
}

TEST(BlockCodec, DecodersSurviveDamagedInput) {
  // Valid stored forms, cut at every length and with single bytes changed, and
  // plain noise: each is refused or decodes within the capacity, never more.
  const Bytes sources[] = {Text(1500, 11),
                           Concat({Repeat(300, 0xFF), Text(400, 12), Repeat(900, 0)})};
  for (const bool swapped : {false, true}) {
    for (const std::uint32_t mode : {std::uint32_t{crZLib}, std::uint32_t{crRLE}}) {
      for (const Bytes& source : sources) {
        SCOPED_TRACE(::testing::Message() << "mode " << mode << ", swapped " << swapped);
        const Encoded e = Encode(mode, 6, source, swapped);
        ASSERT_TRUE(e.compressed);
        const std::uint32_t capacity = static_cast<std::uint32_t>(source.size());
        for (std::size_t cut = 0; cut < e.stored.size(); ++cut) {
          const Bytes prefix(e.stored.begin(), e.stored.begin() + static_cast<std::ptrdiff_t>(cut));
          ASSERT_EQ(Decode(mode, prefix, capacity, swapped).result, errCompressedDataCorrupted)
              << "cut at " << cut;
        }
        std::mt19937 random(5);
        for (std::size_t at = 0; at < e.stored.size(); ++at) {
          Bytes damaged = e.stored;
          damaged[at] ^= static_cast<std::uint8_t>(1 + random() % 255);
          for (const std::uint32_t cap : {capacity, capacity / 2, 0u}) {
            const EngineResult result = Decode(mode, damaged, cap, swapped).result;
            ASSERT_TRUE(result == errOk || result == errCompressedDataCorrupted) << result;
          }
        }
      }
    }
  }
  for (std::uint32_t seed = 0; seed < 200; ++seed) {
    Bytes noise = Noise(1 + seed * 7, seed);
    if (seed % 2 == 0 && noise.size() > 6) noise[4] = 0x78;  // looks like a zlib stream
    for (const std::uint32_t mode : {std::uint32_t{crZLib}, std::uint32_t{crRLE}}) {
      for (const std::uint32_t cap : {0u, 16u, 4096u}) {
        const EngineResult result = Decode(mode, noise, cap).result;
        ASSERT_TRUE(result == errOk || result == errCompressedDataCorrupted)
            << "seed " << seed << ": " << result;
      }
    }
  }
}

// ---------------------------------------------------------------- fallback and arguments

// A handler of the custom mode whose behaviour the test chooses.
struct FakeCodec {
  enum Behaviour { kRunLength, kFail, kReportNoHandlers, kOverreport, kFixedSize };
  Behaviour behaviour = kRunLength;
  std::uint32_t fixedSize = 0;
  std::int32_t seenLevel = -1;
  std::uint32_t seenLimit = 0;

  static EngineResult Compress(void* userData, const std::uint8_t* in, std::uint32_t inSize,
                               std::uint8_t* out, std::uint32_t outLimit, std::int32_t level,
                               std::uint32_t& outSize) {
    auto& self = *static_cast<FakeCodec*>(userData);
    self.seenLevel = level;
    self.seenLimit = outLimit;
    return self.Run(true, in, inSize, out, outLimit, outSize);
  }
  static EngineResult Decompress(void* userData, const std::uint8_t* in, std::uint32_t inSize,
                                 std::uint8_t* out, std::uint32_t outCapacity,
                                 std::uint32_t& outSize) {
    auto& self = *static_cast<FakeCodec*>(userData);
    self.seenLimit = outCapacity;
    return self.Run(false, in, inSize, out, outCapacity, outSize);
  }

  EngineResult Run(bool compress, const std::uint8_t* in, std::uint32_t inSize, std::uint8_t* out,
                   std::uint32_t room, std::uint32_t& outSize) const {
    switch (behaviour) {
      case kRunLength:
        return compress ? EncodeRunLength(in, inSize, out, room, outSize)
                        : DecodeRunLength(in, inSize, out, room, outSize);
      case kFail:
        return errCompressedDataCorrupted;
      case kReportNoHandlers:
        return errNoCompressionHandlers;
      case kOverreport:
        outSize = room + 1;
        return errOk;
      case kFixedSize:
        std::memset(out, 0x5A, fixedSize);
        outSize = fixedSize;
        return errOk;
    }
    return errOk;
  }

  CustomCodecCallbacks Callbacks() { return {&Compress, &Decompress, this}; }
};

TEST(BlockCodec, StoresRawWhenCompressionFailsOrIsNotShorter) {
  struct Case {
    const char* name;
    std::uint32_t mode;
    Bytes data;
    FakeCodec::Behaviour behaviour;
    std::uint32_t fixedSize;
    bool compressed;
  };
  const Bytes runs = Concat({Repeat(40, 'a'), Text(60, 1)});
  const Case cases[] = {
      {"zlib, noise", crZLib, Noise(2000, 3), FakeCodec::kRunLength, 0, false},
      {"zlib, tiny", crZLib, {1, 1, 1, 1, 1, 1, 1, 1}, FakeCodec::kRunLength, 0, false},
      {"rle, run, 0xFF and a literal",
       crRLE,
       {0x41, 0x41, 0x41, 0x41, 0xFF, 0x42},
       FakeCodec::kRunLength,
       0,
       false},
      {"rle, result as long as the data",
       crRLE,
       {0x41, 0x41, 0x41, 0x41, 0x41, 0x42},
       FakeCodec::kRunLength,
       0,
       false},
      {"rle, one byte shorter",
       crRLE,
       {0x41, 0x41, 0x41, 0x41, 0x41, 0x41, 0x42},
       FakeCodec::kRunLength,
       0,
       true},
      {"custom, compresses", crCustom, runs, FakeCodec::kRunLength, 0, true},
      {"custom, fails", crCustom, runs, FakeCodec::kFail, 0, false},
      {"custom, no handlers behind it", crCustom, runs, FakeCodec::kReportNoHandlers, 0, false},
      {"custom, reports more than the limit", crCustom, runs, FakeCodec::kOverreport, 0, false},
      {"custom, as long as the data", crCustom, runs, FakeCodec::kFixedSize, 100, false},
      {"custom, one byte shorter", crCustom, runs, FakeCodec::kFixedSize, 99, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeCodec fake{c.behaviour, c.fixedSize};
    const CustomCodecCallbacks callbacks = fake.Callbacks();
    const Encoded e = Encode(c.mode, 7, c.data, false, &callbacks);
    ASSERT_EQ(e.result, errOk);
    EXPECT_EQ(e.compressed, c.compressed);
    if (!c.compressed) {
      EXPECT_EQ(e.stored, c.data);
    }
    if (c.mode == crCustom) {
      EXPECT_EQ(fake.seenLevel, 7);
      EXPECT_EQ(fake.seenLimit, c.data.size() + kStoredFormSlack);
    }
  }
}

TEST(BlockCodec, CustomHandlers) {
  const Bytes data = Concat({Repeat(500, 'q'), Text(300, 9)});
  FakeCodec fake;
  const CustomCodecCallbacks callbacks = fake.Callbacks();
  const Encoded e = Encode(crCustom, 3, data, false, &callbacks);
  ASSERT_EQ(e.result, errOk);
  ASSERT_TRUE(e.compressed);

  const std::uint32_t capacity = static_cast<std::uint32_t>(data.size());
  const Decoded good = Decode(crCustom, e.stored, capacity, false, &callbacks);
  ASSERT_EQ(good.result, errOk);
  EXPECT_EQ(good.data, data);
  EXPECT_EQ(fake.seenLimit, capacity);

  // Without handlers a block is stored raw, and a compressed one cannot be
  // read: that is reported as missing handlers, not as damaged data.
  const CustomCodecCallbacks none;
  const CustomCodecCallbacks onlyCompress = {&FakeCodec::Compress, nullptr, &fake};
  const CustomCodecCallbacks onlyDecompress = {nullptr, &FakeCodec::Decompress, &fake};
  for (const CustomCodecCallbacks* missing :
       {static_cast<const CustomCodecCallbacks*>(nullptr), &none, &onlyDecompress}) {
    const Encoded raw = Encode(crCustom, 3, data, false, missing);
    ASSERT_EQ(raw.result, errOk);
    EXPECT_FALSE(raw.compressed);
    EXPECT_EQ(raw.stored, data);
  }
  for (const CustomCodecCallbacks* missing :
       {static_cast<const CustomCodecCallbacks*>(nullptr), &none, &onlyCompress}) {
    EXPECT_EQ(Decode(crCustom, e.stored, capacity, false, missing).result,
              errNoCompressionHandlers);
  }

  struct Case {
    FakeCodec::Behaviour behaviour;
    EngineResult expected;
  };
  const Case failures[] = {
      {FakeCodec::kFail, errCompressedDataCorrupted},
      {FakeCodec::kOverreport, errCompressedDataCorrupted},
      {FakeCodec::kReportNoHandlers, errNoCompressionHandlers},
  };
  for (const Case& c : failures) {
    fake.behaviour = c.behaviour;
    EXPECT_EQ(Decode(crCustom, e.stored, capacity, false, &callbacks).result, c.expected)
        << c.behaviour;
  }
}

TEST(BlockCodec, RefusesBadArguments) {
  const Bytes data = Repeat(64, 'a');
  Bytes out(64);
  std::uint32_t length = 0;
  bool compressed = false;
  for (const std::uint32_t mode : {std::uint32_t{crDefault}, 5u, 0xFFFFFFFFu}) {
    EXPECT_EQ(EncodeBlock(mode, 6, data.data(), 64, out.data(), 64, length, compressed),
              errInvalidParameter);
    EXPECT_EQ(DecodeBlock(mode, data.data(), 64, out.data(), 64, length), errInvalidParameter);
  }
  // The stored-form buffer must be able to take the raw form.
  EXPECT_EQ(EncodeBlock(crZLib, 6, data.data(), 64, out.data(), 63, length, compressed),
            errBufferTooSmall);
  // A raw block larger than a block is damage, not data to copy.
  EXPECT_EQ(Decode(crNoCompression, data, 63).result, errStorageCorrupted);
}

TEST(BlockCodec, UncompressedBlocksShareTheirBuffer) {
  Bytes block = Text(300, 4);
  const Bytes copy = block;
  std::uint32_t length = 0;
  bool compressed = true;
  ASSERT_EQ(
      EncodeBlock(crNoCompression, 0, block.data(), 300, block.data(), 300, length, compressed),
      errOk);
  EXPECT_EQ(length, 300u);
  EXPECT_FALSE(compressed);
  ASSERT_EQ(DecodeBlock(crNoCompression, block.data(), 200, block.data(), 300, length), errOk);
  EXPECT_EQ(length, 200u);
  EXPECT_EQ(block, copy);
}

// ---------------------------------------------------------------- settings

TEST(CompressionSetting, Normalise) {
  struct Case {
    std::uint32_t mode, level;
    std::uint16_t pages;
    std::uint32_t pageSize;
    EngineResult expected;
    CompressionSetting setting;
  };
  const Case cases[] = {
      {crNoCompression, 9, 7, 4096, errOk, {crNoCompression, 0, 1}},
      {crDefault, 3, 3, 4096, errOk, {crZLib, 6, 16}},
      {crZLib, 0, 0, 4096, errOk, {crZLib, 6, 16}},
      {crZLib, 9, 1, 4096, errOk, {crZLib, 9, 16}},
      {crZLib, 9, 2, 4096, errOk, {crZLib, 9, 2}},
      {crRLE, 5, 0, 4096, errOk, {crRLE, 5, 64}},
      {crRLE, 0, 0, 256, errOk, {crRLE, 0, 1024}},
      {crRLE, 0, 0, 65536, errOk, {crRLE, 0, 4}},
      {crRLE, 0, 8, 4096, errOk, {crRLE, 0, 8}},
      {crCustom, 7, 5, 4096, errOk, {crCustom, 7, 5}},
      {crCustom, 7, 0, 4096, errInvalidParameter, {}},
      {crRLE, 0, 0, 0, errInvalidParameter, {}},
      {crRLE, 0, 0, 1, errInvalidParameter, {}},  // 262144 pages do not fit the record
      {crRLE, 0, 0, 1u << 20, errInvalidParameter, {}},
      {5, 6, 16, 4096, errInvalidParameter, {}},
      {0xFFFFFFFF, 6, 16, 4096, errInvalidParameter, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "mode " << c.mode << ", level " << c.level << ", pages "
                                      << c.pages << ", page size " << c.pageSize);
    const CompressionSetting untouched{99, 99, 99};
    CompressionSetting setting = untouched;
    EXPECT_EQ(NormaliseCompression(c.mode, c.level, c.pages, c.pageSize, setting), c.expected);
    EXPECT_EQ(setting, c.expected == errOk ? c.setting : untouched);
  }
}

TEST(CompressionSetting, Record) {
  Bytes record(compression_record::kSize, 0xEE);
  StoreCompressionRecord(record.data(), {crZLib, 9, 16});
  std::uint32_t mode = 0;
  std::uint32_t level = 0;
  std::uint16_t pages = 0;
  std::uint16_t reserved = 1;
  std::memcpy(&mode, record.data() + compression_record::kMode, 4);
  std::memcpy(&level, record.data() + compression_record::kLevel, 4);
  std::memcpy(&pages, record.data() + compression_record::kBlockPages, 2);
  std::memcpy(&reserved, record.data() + compression_record::kReserved, 2);
  EXPECT_EQ(mode, 3u);
  EXPECT_EQ(level, 9u);
  EXPECT_EQ(pages, 16u);
  EXPECT_EQ(reserved, 0u);

  CompressionSetting loaded;
  ASSERT_EQ(LoadCompressionRecord(record.data(), record.size(), loaded), errOk);
  EXPECT_EQ(loaded, (CompressionSetting{crZLib, 9, 16}));

  struct Case {
    const char* name;
    CompressionSetting stored;
    std::size_t length;
  };
  const Case damaged[] = {
      {"short", {crZLib, 9, 16}, compression_record::kSize - 1},
      {"crDefault is never stored", {crDefault, 6, 16}, compression_record::kSize},
      {"unknown mode", {5, 6, 16}, compression_record::kSize},
      {"no block pages", {crRLE, 0, 0}, compression_record::kSize},
  };
  for (const Case& c : damaged) {
    Bytes bytes(compression_record::kSize);
    StoreCompressionRecord(bytes.data(), c.stored);
    const Bytes exact(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(c.length));
    CompressionSetting setting{99, 99, 99};
    EXPECT_EQ(LoadCompressionRecord(exact.data(), exact.size(), setting), errStorageCorrupted)
        << c.name;
    EXPECT_EQ(setting, (CompressionSetting{99, 99, 99})) << c.name;
  }
}

}  // namespace
}  // namespace vaultfs
