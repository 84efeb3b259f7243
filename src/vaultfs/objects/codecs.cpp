#include "vaultfs/objects/codecs.h"

#include <bit>

#include <libdeflate.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "vaultfs/util/byte_order.h"

namespace vaultfs {

namespace {

constexpr std::uint8_t kRunMarker = 0xFF;
// A u32 count takes at most 5 LEB128 bytes; the fifth carries bits 28..31 only.
constexpr int kMaxCountBytes = 5;
constexpr std::uint32_t kRleDefaultBlockBytes = 262144;
constexpr std::uint32_t kZLibDefaultLevel = 6;
constexpr std::uint16_t kZLibDefaultBlockPages = 16;

// One compressor per level and one decompressor per thread, made on first
// use: making them allocates their tables (a few hundred KiB at the high
// levels), which a block-sized job must not pay for every block. The stored
// form is the zlib format (RFC 1950) whichever library wrote it.
class ZLibWorkspace {
 public:
  ZLibWorkspace() = default;
  ZLibWorkspace(const ZLibWorkspace&) = delete;
  ZLibWorkspace& operator=(const ZLibWorkspace&) = delete;
  ~ZLibWorkspace() {
    for (libdeflate_compressor* c : compressors_)
      if (c) libdeflate_free_compressor(c);
    if (decompressor_) libdeflate_free_decompressor(decompressor_);
  }

  // Deflates into at most outLimit bytes; false when it does not fit or no
  // compressor can be had.
  bool Deflate(int level, const std::uint8_t* in, std::uint32_t inSize, std::uint8_t* out,
               std::uint32_t outLimit, std::uint32_t& outSize) {
    const auto index = static_cast<std::size_t>(std::clamp(level, 0, kZLibTopLevel));
    libdeflate_compressor*& c = compressors_[index];
    if (!c) c = libdeflate_alloc_compressor(static_cast<int>(index));
    if (!c) return false;
    const std::size_t produced = libdeflate_zlib_compress(c, in, inSize, out, outLimit);
    if (produced == 0) return false;
    outSize = static_cast<std::uint32_t>(produced);
    return true;
  }

  // Inflates exactly expected bytes; anything else is corrupted data. Bytes
  // after the end of the stream (a block's zero padding) are not looked at.
  EngineResult Inflate(const std::uint8_t* in, std::uint32_t inSize, std::uint8_t* out,
                       std::uint32_t expected) {
    if (!decompressor_) decompressor_ = libdeflate_alloc_decompressor();
    if (!decompressor_) return errOutOfMemory;
    std::uint8_t spare = 0;
    std::size_t consumed = 0, produced = 0;
    const libdeflate_result status = libdeflate_zlib_decompress_ex(
        decompressor_, in, inSize, out != nullptr ? out : &spare, out != nullptr ? expected : 0,
        &consumed, &produced);
    if (status != LIBDEFLATE_SUCCESS || produced != expected) return errCompressedDataCorrupted;
    return errOk;
  }

 private:
  // Levels 0 (stored) to 9, as zlib counts them; each maps to the same
  // level of the library, whose level 9 packs at least as tightly as
  // zlib's.
  static constexpr int kZLibTopLevel = static_cast<int>(kZLibMaxLevel);
  std::array<libdeflate_compressor*, kZLibTopLevel + 1> compressors_{};
  libdeflate_decompressor* decompressor_ = nullptr;
};

ZLibWorkspace& Workspace() {
  static thread_local ZLibWorkspace workspace;
  return workspace;
}

// The length field is in the volume's byte order: the host's own, or the
// other one on a byte-swapped volume.
bool BigEndianField(bool byteSwapped) {
  return (std::endian::native == std::endian::big) != byteSwapped;
}

void PutZLibLength(std::uint8_t* p, std::uint32_t length, bool byteSwapped) {
  const bool big = BigEndianField(byteSwapped);
  for (std::uint32_t i = 0; i < kZLibHeaderSize; ++i) {
    const std::uint32_t shift = 8 * (big ? kZLibHeaderSize - 1 - i : i);
    p[i] = static_cast<std::uint8_t>(length >> shift);
  }
}

std::uint32_t GetZLibLength(const std::uint8_t* p, bool byteSwapped) {
  const bool big = BigEndianField(byteSwapped);
  std::uint32_t length = 0;
  for (std::uint32_t i = 0; i < kZLibHeaderSize; ++i) {
    const std::uint32_t shift = 8 * (big ? kZLibHeaderSize - 1 - i : i);
    length |= static_cast<std::uint32_t>(p[i]) << shift;
  }
  return length;
}

bool EncodeZLib(std::uint32_t level, const std::uint8_t* in, std::uint32_t validLength,
                std::uint8_t* out, std::uint32_t limit, bool byteSwapped,
                std::uint32_t& storedLength) {
  if (limit <= kZLibHeaderSize) return false;
  // A level outside zlib's range would make every block silently stay raw.
  const int zlibLevel = static_cast<int>(std::min(level, kZLibMaxLevel));
  std::uint32_t streamSize = 0;
  if (!Workspace().Deflate(zlibLevel, in, validLength, out + kZLibHeaderSize,
                           limit - kZLibHeaderSize, streamSize)) {
    return false;
  }
  PutZLibLength(out, validLength, byteSwapped);
  storedLength = kZLibHeaderSize + streamSize;
  return true;
}

EngineResult DecodeZLib(const std::uint8_t* in, std::uint32_t storedLength, std::uint8_t* out,
                        std::uint32_t capacity, bool byteSwapped, std::uint32_t& validLength) {
  std::uint32_t length = 0;
  EngineResult result = ReadZLibLength(in, storedLength, byteSwapped, length);
  if (result != errOk) return result;
  if (length > capacity) return errCompressedDataCorrupted;
  result = Workspace().Inflate(in + kZLibHeaderSize, storedLength - kZLibHeaderSize, out, length);
  if (result == errOk) validLength = length;
  return result;
}

bool EncodeCustom(const CustomCodecCallbacks* custom, std::uint32_t level, const std::uint8_t* in,
                  std::uint32_t validLength, std::uint8_t* out, std::uint32_t outLimit,
                  std::uint32_t& storedLength) {
  if (custom == nullptr || custom->OnCompress == nullptr) return false;
  std::uint32_t produced = outLimit;
  if (custom->OnCompress(custom->UserData, in, validLength, out, outLimit,
                         static_cast<std::int32_t>(level), produced) != errOk) {
    return false;
  }
  // A length above the limit is caught by the caller: it is not below validLength.
  storedLength = produced;
  return true;
}

EngineResult DecodeCustom(const CustomCodecCallbacks* custom, const std::uint8_t* in,
                          std::uint32_t storedLength, std::uint8_t* out, std::uint32_t capacity,
                          std::uint32_t& validLength) {
  if (custom == nullptr || custom->OnDecompress == nullptr) return errNoCompressionHandlers;
  std::uint32_t produced = capacity;
  const EngineResult result =
      custom->OnDecompress(custom->UserData, in, storedLength, out, capacity, produced);
  if (result == errNoCompressionHandlers) return result;
  if (result != errOk || produced > capacity) return errCompressedDataCorrupted;
  validLength = produced;
  return errOk;
}

std::uint32_t PutCount(std::uint8_t* p, std::uint32_t count) {
  std::uint32_t n = 0;
  while (count >= 0x80) {
    p[n++] = static_cast<std::uint8_t>(count | 0x80);
    count >>= 7;
  }
  p[n++] = static_cast<std::uint8_t>(count);
  return n;
}

}  // namespace

EngineResult NormaliseCompression(std::uint32_t mode, std::uint32_t level, std::uint16_t blockPages,
                                  std::uint32_t pageSize, CompressionSetting& setting) {
  CompressionSetting result{mode, level, blockPages};
  switch (mode) {
    case crNoCompression:
      result.Level = 0;
      result.BlockPages = 1;
      break;
    case crDefault:
      result = {crZLib, kZLibDefaultLevel, kZLibDefaultBlockPages};
      break;
    case crZLib:
      if (result.Level == 0) result.Level = kZLibDefaultLevel;
      if (result.BlockPages < 2) result.BlockPages = kZLibDefaultBlockPages;
      break;
    case crRLE:
      if (result.BlockPages == 0) {
        // 0 stays 0 (and is refused below) for a page size with no sensible count.
        const std::uint32_t pages = pageSize == 0 ? 0 : kRleDefaultBlockBytes / pageSize;
        result.BlockPages = pages > 0xFFFF ? 0 : static_cast<std::uint16_t>(pages);
      }
      break;
    case crCustom:
      break;
    default:
      return errInvalidParameter;
  }
  if (result.BlockPages == 0) return errInvalidParameter;
  setting = result;
  return errOk;
}

void StoreCompressionRecord(std::uint8_t* data, const CompressionSetting& setting) {
  StoreU32(data + compression_record::kMode, setting.Mode);
  StoreU32(data + compression_record::kLevel, setting.Level);
  StoreU16(data + compression_record::kBlockPages, setting.BlockPages);
  StoreU16(data + compression_record::kReserved, 0);
}

EngineResult LoadCompressionRecord(const std::uint8_t* data, std::size_t length,
                                   CompressionSetting& setting) {
  if (length < compression_record::kSize) return errStorageCorrupted;
  const std::uint32_t mode = LoadU32(data + compression_record::kMode);
  const std::uint16_t blockPages = LoadU16(data + compression_record::kBlockPages);
  const bool storedMode =
      mode == crNoCompression || mode == crCustom || mode == crZLib || mode == crRLE;
  if (!storedMode || blockPages == 0) return errStorageCorrupted;
  setting = {mode, LoadU32(data + compression_record::kLevel), blockPages};
  return errOk;
}

EngineResult EncodeBlock(std::uint32_t mode, std::uint32_t level, const std::uint8_t* in,
                         std::uint32_t validLength, std::uint8_t* out, std::uint32_t outLimit,
                         std::uint32_t& storedLength, bool& compressed, bool byteSwapped,
                         const CustomCodecCallbacks* custom) {
  if (mode != crNoCompression && mode != crCustom && mode != crZLib && mode != crRLE) {
    return errInvalidParameter;
  }
  // Whatever the codec does, the raw form must fit as the fallback.
  if (outLimit < validLength) return errBufferTooSmall;

  std::uint32_t length = 0;
  bool packed = false;
  if (validLength > 0) {
    switch (mode) {
      case crZLib:
        // A result of validLength bytes or more is thrown away, so deflate
        // stops as soon as it gets there instead of finishing the block.
        packed = EncodeZLib(level, in, validLength, out, std::min(outLimit, validLength - 1),
                            byteSwapped, length);
        break;
      case crRLE:
        packed =
            EncodeRunLength(in, validLength, out, std::min(outLimit, validLength), length) == errOk;
        break;
      case crCustom:
        packed = EncodeCustom(custom, level, in, validLength, out, outLimit, length) &&
                 length < validLength;
        break;
      default:
        break;
    }
  }
  if (packed) {
    storedLength = length;
    compressed = true;
    return errOk;
  }
  if (validLength > 0 && in != out) std::memmove(out, in, validLength);
  storedLength = validLength;
  compressed = false;
  return errOk;
}

EngineResult DecodeBlock(std::uint32_t mode, const std::uint8_t* in, std::uint32_t storedLength,
                         std::uint8_t* out, std::uint32_t capacity, std::uint32_t& validLength,
                         bool byteSwapped, const CustomCodecCallbacks* custom) {
  switch (mode) {
    case crNoCompression:
      if (storedLength > capacity) return errStorageCorrupted;
      if (storedLength > 0 && in != out) std::memmove(out, in, storedLength);
      validLength = storedLength;
      return errOk;
    case crZLib:
      return DecodeZLib(in, storedLength, out, capacity, byteSwapped, validLength);
    case crRLE:
      return DecodeRunLength(in, storedLength, out, capacity, validLength);
    case crCustom:
      return DecodeCustom(custom, in, storedLength, out, capacity, validLength);
    default:
      return errInvalidParameter;
  }
}

EngineResult ReadZLibLength(const std::uint8_t* in, std::uint32_t storedLength, bool byteSwapped,
                            std::uint32_t& length) {
  if (storedLength < kZLibHeaderSize) return errCompressedDataCorrupted;
  length = GetZLibLength(in, byteSwapped);
  return errOk;
}

EngineResult EncodeRunLength(const std::uint8_t* in, std::uint32_t length, std::uint8_t* out,
                             std::uint32_t outLimit, std::uint32_t& storedLength) {
  // The output, terminator included, must stay below outLimit.
  if (outLimit == 0) return errBufferTooSmall;
  const std::uint32_t room = outLimit - 1;
  std::uint32_t used = 0;
  std::uint32_t start = 0;
  while (start < length) {
    const std::uint8_t value = in[start];
    std::uint32_t end = start + 1;
    while (end < length && in[end] == value) ++end;
    const std::uint32_t run = end - start;
    if (value == kRunMarker || run >= 4) {
      std::uint8_t item[2 + kMaxCountBytes];
      std::uint32_t itemSize = 0;
      item[itemSize++] = kRunMarker;
      itemSize += PutCount(item + itemSize, run);
      item[itemSize++] = value;
      if (itemSize > room - used) return errBufferTooSmall;
      std::memcpy(out + used, item, itemSize);
      used += itemSize;
    } else {
      if (run > room - used) return errBufferTooSmall;
      std::memset(out + used, value, run);
      used += run;
    }
    start = end;
  }
  if (2 > room - used) return errBufferTooSmall;
  out[used++] = kRunMarker;
  out[used++] = 0;
  storedLength = used;
  return errOk;
}

EngineResult DecodeRunLength(const std::uint8_t* in, std::uint32_t storedLength, std::uint8_t* out,
                             std::uint32_t capacity, std::uint32_t& validLength) {
  std::uint32_t pos = 0;
  std::uint32_t produced = 0;
  for (;;) {
    if (pos >= storedLength) return errCompressedDataCorrupted;  // no terminator
    const std::uint8_t byte = in[pos++];
    if (byte != kRunMarker) {
      if (produced >= capacity) return errCompressedDataCorrupted;
      out[produced++] = byte;
      continue;
    }
    std::uint32_t count = 0;
    for (int i = 0;; ++i) {
      if (pos >= storedLength) return errCompressedDataCorrupted;
      const std::uint8_t group = in[pos++];
      // The fifth byte may only hold bits 28..31 and must end the count.
      if (i == kMaxCountBytes - 1 && (group & 0xF0) != 0) return errCompressedDataCorrupted;
      count |= static_cast<std::uint32_t>(group & 0x7F) << (7 * i);
      if ((group & 0x80) == 0) break;
    }
    if (count == 0) break;
    if (pos >= storedLength) return errCompressedDataCorrupted;
    const std::uint8_t value = in[pos++];
    if (count > capacity - produced) return errCompressedDataCorrupted;
    std::memset(out + produced, value, count);
    produced += count;
  }
  validLength = produced;
  return errOk;
}

}  // namespace vaultfs
