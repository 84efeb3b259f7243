// Feeds arbitrary bytes to the block decoders as a zlib stored form (both byte
// orders) and as run-length code, then encodes the bytes as a block and decodes
// them again. Decoding may fail but must never read past the input, write past
// the capacity or report more than the capacity; every round trip must give
// back the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "vaultfs/objects/codecs.h"

using vaultfs::DecodeBlock;
using vaultfs::EncodeBlock;
using vaultfs::EngineResult;

namespace {

constexpr std::size_t kMaxInput = 1 << 20;

void Require(bool condition) {
  if (!condition) std::abort();
}

void DecodeArbitrary(std::uint32_t mode, bool byteSwapped, const std::uint8_t* data,
                     std::uint32_t size, std::uint32_t capacity) {
  std::vector<std::uint8_t> out(capacity);
  std::uint32_t validLength = 0;
  const EngineResult result =
      DecodeBlock(mode, data, size, out.data(), capacity, validLength, byteSwapped);
  Require(result == vaultfs::errOk || result == vaultfs::errCompressedDataCorrupted);
  if (result == vaultfs::errOk) Require(validLength <= capacity);
}

void RoundTrip(std::uint32_t mode, std::uint32_t level, bool byteSwapped, const std::uint8_t* data,
               std::uint32_t size) {
  std::vector<std::uint8_t> stored(size + vaultfs::kStoredFormSlack);
  std::uint32_t storedLength = 0;
  bool compressed = false;
  Require(EncodeBlock(mode, level, data, size, stored.data(),
                      static_cast<std::uint32_t>(stored.size()), storedLength, compressed,
                      byteSwapped) == vaultfs::errOk);
  Require(compressed ? storedLength < size : storedLength == size);
  stored.resize(storedLength);  // a decoder that reads on trips over the end
  std::vector<std::uint8_t> back(size);
  std::uint32_t validLength = 0;
  Require(DecodeBlock(compressed ? mode : vaultfs::crNoCompression, stored.data(), storedLength,
                      back.data(), size, validLength, byteSwapped) == vaultfs::errOk);
  Require(validLength == size && (size == 0 || std::memcmp(back.data(), data, size) == 0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput) return 0;
  const auto length = static_cast<std::uint32_t>(size);
  // The first two bytes choose a capacity, so that both tight and roomy
  // output buffers are tried; a zlib length field is bytes 0..3 as well.
  const std::uint32_t chosen = size >= 2 ? (data[0] | (data[1] << 8)) : 0;
  for (const std::uint32_t capacity : {chosen, 4 * length + 64}) {
    DecodeArbitrary(vaultfs::crZLib, false, data, length, capacity);
    DecodeArbitrary(vaultfs::crZLib, true, data, length, capacity);
    DecodeArbitrary(vaultfs::crRLE, false, data, length, capacity);
  }
  const std::uint32_t level = size > 0 ? data[size - 1] % 10 : 6;
  RoundTrip(vaultfs::crZLib, level, size % 2 == 1, data, length);
  RoundTrip(vaultfs::crRLE, 0, false, data, length);
  return 0;
}
