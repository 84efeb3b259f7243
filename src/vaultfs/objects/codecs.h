// Block codecs: the stored form of one block of a data stream, the
// compression settings of a file and their normalisation, and the
// rkCompression record layout.
//
// A block is compressed on its own. Its stored form is either the raw valid
// bytes or the output of the file's codec; a block stays compressed only when
// that output is shorter than the data, so compression never costs pages.
// The decoders treat the stored form as untrusted: they never read past the
// stored length and never write past the capacity they are given.
//
// zlib is used only inside codecs.cpp. Each thread keeps one deflate and one
// inflate state there, reset for every block, so the functions below may run
// on several threads at once and allocate nothing per block.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vaultfs/engine_types.h"
#include "vaultfs/format/object_layout.h"
#include "vaultfs/result_codes.h"

namespace vaultfs {


// The stored-form buffer of a block holds BlockCapacity plus this many bytes,
// room for a codec's output on data that does not compress.
inline constexpr std::uint32_t kStoredFormSlack = 84;

// Bytes in front of the zlib stream: the uncompressed length as u32.
inline constexpr std::uint32_t kZLibHeaderSize = 4;

// Levels handed to zlib are capped at its strongest level.
inline constexpr std::uint32_t kZLibMaxLevel = 9;


// The compression settings of one file, as kept in its rkCompression record.
struct CompressionSetting {
  std::uint32_t Mode = crNoCompression;
  std::uint32_t Level = 0;
  std::uint16_t BlockPages = 1;

  friend bool operator==(const CompressionSetting&, const CompressionSetting&) = default;
};

// Turns a requested (mode, level, block pages) into what is stored and used:
//   crNoCompression: level 0, 1 page per block;
//   crDefault:       crZLib, level 6, 16 pages;
//   crZLib:          level 6 when 0, 16 pages when below 2;
//   crRLE:           262144 / pageSize pages when 0;
//   crCustom:        unchanged.
// Any other mode, or 0 pages after this (crCustom with 0, or crRLE with a page
// size that gives no count that fits), is errInvalidParameter and leaves
// setting unchanged.
[[nodiscard]] EngineResult NormaliseCompression(std::uint32_t mode, std::uint32_t level,
                                                std::uint16_t blockPages, std::uint32_t pageSize,
                                                CompressionSetting& setting);

// The record's layout is compression_record, in object_layout.h.
// Writes the record data (kSize bytes).
void StoreCompressionRecord(std::uint8_t* data, const CompressionSetting& setting);

// Reads the record data. A record that is too short, names a mode that is never
// stored (crDefault, or above crRLE) or 0 block pages is errStorageCorrupted:
// such settings would make every block of the file undecodable or divide by zero.
[[nodiscard]] EngineResult LoadCompressionRecord(const std::uint8_t* data, std::size_t length,
                                                 CompressionSetting& setting);

// Encodes the valid bytes of a block into its stored form.
//
// mode crNoCompression copies the data (nothing is copied when in == out).
// For crZLib, crRLE and crCustom the codec writes at most outLimit bytes;
// the block is stored raw (copied, compressed = false) when the codec fails,
// when its result is not shorter than validLength, when validLength is 0, or
// for crCustom when no OnCompress handler is set. Only an unknown mode
// (errInvalidParameter) or an outLimit below validLength, which could not hold
// the raw copy (errBufferTooSmall), fail. byteSwapped stores the zlib length field in the
// other byte order. in and out must not overlap, except in == out for
// crNoCompression (the block buffer of a file without compression).
[[nodiscard]] EngineResult EncodeBlock(std::uint32_t mode, std::uint32_t level,
                                       const std::uint8_t* in, std::uint32_t validLength,
                                       std::uint8_t* out, std::uint32_t outLimit,
                                       std::uint32_t& storedLength, bool& compressed,
                                       bool byteSwapped = false,
                                       const CustomCodecCallbacks* custom = nullptr);

// Decodes a stored form into at most capacity bytes and reports the valid
// length. crNoCompression copies (a stored length above the capacity is
// errStorageCorrupted). Any malformed compressed input is
// errCompressedDataCorrupted; a missing OnDecompress handler (or one that
// reports errNoCompressionHandlers) is errNoCompressionHandlers, since the
// data may well be intact; an unknown mode is errInvalidParameter.
[[nodiscard]] EngineResult DecodeBlock(std::uint32_t mode, const std::uint8_t* in,
                                       std::uint32_t storedLength, std::uint8_t* out,
                                       std::uint32_t capacity, std::uint32_t& validLength,
                                       bool byteSwapped = false,
                                       const CustomCodecCallbacks* custom = nullptr);

// The uncompressed length recorded in front of a crZLib stored form, without
// inflating it; errCompressedDataCorrupted when the stored form is shorter than
// the field.
[[nodiscard]] EngineResult ReadZLibLength(const std::uint8_t* in, std::uint32_t storedLength,
                                          bool byteSwapped, std::uint32_t& length);

// The run-length code on its own. A byte other than 0xFF is a literal; 0xFF is
// followed by a LEB128 count and, when the count is not 0, the byte repeated
// count times; 0xFF 0x00 ends the block. Runs of 4 or more and all runs of
// 0xFF are written as runs, shorter runs as literals.
//
// Encoding fails (errBufferTooSmall) unless the whole output, terminator
// included, stays below outLimit.
[[nodiscard]] EngineResult EncodeRunLength(const std::uint8_t* in, std::uint32_t length,
                                           std::uint8_t* out, std::uint32_t outLimit,
                                           std::uint32_t& storedLength);

// Decoding stops at the terminator; bytes after it are padding. A missing
// terminator, output beyond capacity, or a count longer than 5 bytes or 32 bits
// is errCompressedDataCorrupted.
[[nodiscard]] EngineResult DecodeRunLength(const std::uint8_t* in, std::uint32_t storedLength,
                                           std::uint8_t* out, std::uint32_t capacity,
                                           std::uint32_t& validLength);

}  // namespace vaultfs
