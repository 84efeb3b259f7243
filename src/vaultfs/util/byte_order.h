// Byte-order helpers. Page images in memory are in host byte order, so the
// Load/Store helpers read and write host order through memcpy (any alignment,
// no aliasing questions); page I/O reverses fields with the Swap helpers when
// a container was written on a machine of the other byte order.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace vaultfs {

constexpr std::uint16_t Swap16(std::uint16_t value) {
  return static_cast<std::uint16_t>((value >> 8) | (value << 8));
}

constexpr std::uint32_t Swap32(std::uint32_t value) {
  return ((value & 0x000000FFu) << 24) | ((value & 0x0000FF00u) << 8) |
         ((value & 0x00FF0000u) >> 8) | ((value & 0xFF000000u) >> 24);
}

constexpr std::uint64_t Swap64(std::uint64_t value) {
  return (static_cast<std::uint64_t>(Swap32(static_cast<std::uint32_t>(value))) << 32) |
         Swap32(static_cast<std::uint32_t>(value >> 32));
}

// The double's eight bytes reversed as one unit. Work on the bit pattern:
// the swapped value may be a signalling NaN, and only the bits matter.
constexpr double SwapDouble(double value) {
  return std::bit_cast<double>(Swap64(std::bit_cast<std::uint64_t>(value)));
}

inline std::uint16_t LoadU16(const std::uint8_t* p) {
  std::uint16_t value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

inline std::uint32_t LoadU32(const std::uint8_t* p) {
  std::uint32_t value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

inline std::uint64_t LoadU64(const std::uint8_t* p) {
  std::uint64_t value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

inline double LoadDouble(const std::uint8_t* p) {
  double value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

inline void StoreU16(std::uint8_t* p, std::uint16_t value) {
  std::memcpy(p, &value, sizeof value);
}

inline void StoreU32(std::uint8_t* p, std::uint32_t value) {
  std::memcpy(p, &value, sizeof value);
}

inline void StoreU64(std::uint8_t* p, std::uint64_t value) {
  std::memcpy(p, &value, sizeof value);
}

inline void StoreDouble(std::uint8_t* p, double value) {
  std::memcpy(p, &value, sizeof value);
}

// Fields that are little-endian whatever the host and the volume (the boot
// sector and the partition table in front of a formatted volume).
inline std::uint16_t LoadLittleEndian16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::uint32_t LoadLittleEndian32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline void StoreLittleEndian16(std::uint8_t* p, std::uint16_t value) {
  p[0] = static_cast<std::uint8_t>(value);
  p[1] = static_cast<std::uint8_t>(value >> 8);
}

inline void StoreLittleEndian32(std::uint8_t* p, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// Reverse one field of a page image in place.
inline void SwapU16At(std::uint8_t* p) {
  StoreU16(p, Swap16(LoadU16(p)));
}

inline void SwapU32At(std::uint8_t* p) {
  StoreU32(p, Swap32(LoadU32(p)));
}

inline void SwapU64At(std::uint8_t* p) {
  StoreU64(p, Swap64(LoadU64(p)));
}

}  // namespace vaultfs
