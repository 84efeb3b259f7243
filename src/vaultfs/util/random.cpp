#include "vaultfs/util/random.h"

#include <mutex>

namespace vaultfs {
namespace {

// A 32-bit permuted congruential generator: small, fast and with well mixed
// high bits, from which the 15-bit draws are taken.
class Pcg32 {
 public:
  explicit Pcg32(std::uint32_t seed) { Seed(seed); }

  void Seed(std::uint32_t seed) {
    state_ = 0;
    Next();
    state_ += seed;
    Next();
  }

  std::uint32_t Next() {
    const std::uint64_t old = state_;
    state_ = old * 6364136223846793005ULL + kIncrement;
    const auto xorShifted = static_cast<std::uint32_t>(((old >> 18) ^ old) >> 27);
    const auto rotation = static_cast<std::uint32_t>(old >> 59);
    return (xorShifted >> rotation) | (xorShifted << ((32 - rotation) & 31));
  }

 private:
  static constexpr std::uint64_t kIncrement = 1442695040888963407ULL;
  std::uint64_t state_ = 0;
};

struct SharedGenerator {
  std::mutex lock;
  Pcg32 generator{ReseedValueFromClock(0)};
};

SharedGenerator& Shared() {
  static SharedGenerator shared;
  return shared;
}

std::uint32_t Draw15(Pcg32& generator) {
  return generator.Next() >> 17;
}

}  // namespace

std::uint32_t Random15() {
  SharedGenerator& shared = Shared();
  std::scoped_lock guard(shared.lock);
  return Draw15(shared.generator);
}

std::uint32_t RandomId() {
  SharedGenerator& shared = Shared();
  std::scoped_lock guard(shared.lock);
  const std::uint32_t high = Draw15(shared.generator);
  const std::uint32_t middle = Draw15(shared.generator);
  const std::uint32_t low = Draw15(shared.generator);
  return (high << 17) | (middle << 2) | (low & 3);
}

void Reseed(std::uint32_t value) {
  SharedGenerator& shared = Shared();
  std::scoped_lock guard(shared.lock);
  shared.generator.Seed(value);
}

std::uint32_t ReseedValue(std::uint32_t identity, const UtcClockReading& reading) {
  const auto field = [](int value) { return static_cast<std::uint32_t>(value); };
  const std::uint32_t mixed = field(reading.Month) + field(reading.Day) +
                              ((field(reading.Year) + field(reading.DayOfWeek)) << 16) +
                              ((field(reading.Hour) + field(reading.Second)) << 16) +
                              field(reading.Minute) + field(reading.Millisecond);
  return identity ^ mixed;
}

std::uint32_t ReseedValueFromClock(std::uint32_t identity) {
  UtcClockReading reading;
  // An unreadable clock leaves the reading zeroed; the identity alone still
  // gives a usable seed.
  static_cast<void>(ReadUtcClock(reading));
  return ReseedValue(identity, reading);
}

}  // namespace vaultfs
