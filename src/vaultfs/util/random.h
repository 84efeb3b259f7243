// The process-wide pseudo-random generator behind the values chosen when a
// volume is formatted (its VolumeId, for one). These values only need to
// differ between volumes; nothing secret is ever drawn from here (keys and
// salts come from the cryptographic generator).
#pragma once

#include <cstdint>

#include "vaultfs/storage_time.h"

namespace vaultfs {

// A uniform draw from 0..32767. Thread-safe.
std::uint32_t Random15();

// (Random15 << 17) | (Random15 << 2) | (Random15 & 3), the three draws taken
// in this order and without another thread's draw in between.
std::uint32_t RandomId();

// Restarts the generator; the same value always gives the same sequence.
void Reseed(std::uint32_t value);

// The seed for a volume being created: identity XOR (month + day +
// ((year + day of week) << 16) + ((hour + second) << 16) + minute +
// millisecond) of the given UTC reading, in 32-bit arithmetic.
std::uint32_t ReseedValue(std::uint32_t identity, const UtcClockReading& reading);

// ReseedValue with the current UTC time.
std::uint32_t ReseedValueFromClock(std::uint32_t identity);

}  // namespace vaultfs
