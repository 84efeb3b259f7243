// What one password guess costs on this machine under each container layout.
//
// Someone who holds a container and wants its password tries candidates one
// after another; each try costs what the layout makes the check cost:
//   classic   one MD5 of the candidate, compared with the hash record;
//   hardened  one Argon2id derivation with the container's parameters (the
//             AES-GCM unwrap after it takes microseconds and is left out).
// Each is measured twice:
//   program   the way this program checks a password: Md5Hex's one EVP_Digest
//             call (which looks the algorithm up on every call), and
//             DerivePasswordKey (fresh memory every time, one thread per lane)
//             timed by the wall clock: what a person waits;
//   one core  the way a guesser on one core would loop: one MD5 context
//             fetched once and reused; Argon2id on one thread with its memory
//             allocated once for all guesses. Timed by the thread's CPU
//             clock, so other work on the machine disturbs it less.
// "guesses/s per core" is the one-core figure, and the ratio compares the two
// layouts on it. The hardened parameters are the ones protecting picks here
// (CalibrateKdf(1.0)) and the floor no container goes below. The one-core
// Argon2id loop is checked against DerivePasswordKey: same key, same work.
#include <argon2.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <new>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "korvane/keys/hardened_keys.h"

namespace {

using korvane::KdfParameters;

constexpr double kDefaultSeconds = 2.0;
constexpr double kMaxSeconds = 600.0;
// Derivations take up to seconds each; the average of fewer than this many
// says little.
constexpr int kMinDerivations = 3;

void PrintUsage(std::FILE* to) {
  std::fprintf(to,
               "usage: guess_cost [--seconds S]\n"
               "\n"
               "Measures what one password guess costs on this machine: one MD5 (classic\n"
               "containers) against one Argon2id derivation (hardened containers) with the\n"
               "parameters protecting picks here and with the floor. Prints a Markdown\n"
               "table: time per guess as the program checks a password and on one core as\n"
               "a guesser would loop, guesses per second per core, their ratio and the\n"
               "memory each guess needs.\n"
               "\n"
               "  --seconds S   time budget of each measurement (default %g; at least %d\n"
               "                derivations are timed whatever the budget)\n"
               "  --help        this text\n",
               kDefaultSeconds, kMinDerivations);
}

// ---------------------------------------------------------------- clocks

double WallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double ThreadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The largest resident size this process has had so far, in KiB.
long PeakResidentKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// ---------------------------------------------------------------- candidates

// Passwords as a guesser walks through them: "guess-00000000", "guess-00000001"...
class Candidates {
 public:
  const std::uint8_t* data() const { return reinterpret_cast<const std::uint8_t*>(text_.data()); }
  std::size_t size() const { return text_.size(); }
  std::span<const std::uint8_t> span() const { return {data(), size()}; }
  void Next() {
    for (std::size_t i = text_.size(); i-- > kDigitsAt;) {
      if (text_[i] != '9') {
        ++text_[i];
        return;
      }
      text_[i] = '0';
    }
  }

 private:
  static constexpr std::size_t kDigitsAt = 6;
  std::array<char, 14> text_{'g', 'u', 'e', 's', 's', '-', '0', '0', '0', '0', '0', '0', '0', '0'};
};

// ---------------------------------------------------------------- MD5

struct Md5Context {
  EVP_MD* md = nullptr;
  EVP_MD_CTX* ctx = nullptr;
  Md5Context() : md(EVP_MD_fetch(nullptr, "MD5", nullptr)), ctx(EVP_MD_CTX_new()) {
    if (md == nullptr || ctx == nullptr) throw std::runtime_error("MD5 is not available.");
  }
  ~Md5Context() {
    EVP_MD_CTX_free(ctx);
    EVP_MD_free(md);
  }
  Md5Context(const Md5Context&) = delete;
  Md5Context& operator=(const Md5Context&) = delete;
};

// Seconds of CPU per MD5 as the program computes it (Md5Hex: one EVP_Digest
// call with EVP_md5(); the hexadecimal text and the comparison after it are
// left out).
double Md5ProgramSeconds(double budget) {
  Candidates candidate;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  long count = 0;
  const double start = ThreadCpuSeconds();
  double elapsed = 0;
  do {
    for (int i = 0; i < 4096; ++i, ++count) {
      if (EVP_Digest(candidate.data(), candidate.size(), digest, &length, EVP_md5(), nullptr) !=
          1) {
        throw std::runtime_error("MD5 failed.");
      }
      candidate.Next();
    }
    elapsed = ThreadCpuSeconds() - start;
  } while (elapsed < budget);
  return elapsed / static_cast<double>(count);
}

// Seconds of CPU per MD5 in a guesser's loop: the context is fetched once and
// reused, the digest compared with the stored one.
double Md5OneCoreSeconds(double budget) {
  Md5Context md5;
  std::array<unsigned char, 16> stored{};
  unsigned int length = 0;
  static constexpr char kPassword[] = "the real password";
  if (EVP_Digest(kPassword, sizeof kPassword - 1, stored.data(), &length, md5.md, nullptr) != 1) {
    throw std::runtime_error("MD5 failed.");
  }
  Candidates candidate;
  unsigned char digest[EVP_MAX_MD_SIZE];
  long count = 0;
  long found = 0;
  const double start = ThreadCpuSeconds();
  double elapsed = 0;
  do {
    for (int i = 0; i < 4096; ++i, ++count) {
      if (EVP_DigestInit_ex2(md5.ctx, md5.md, nullptr) != 1 ||
          EVP_DigestUpdate(md5.ctx, candidate.data(), candidate.size()) != 1 ||
          EVP_DigestFinal_ex(md5.ctx, digest, &length) != 1) {
        throw std::runtime_error("MD5 failed.");
      }
      found += std::memcmp(digest, stored.data(), stored.size()) == 0;
      candidate.Next();
    }
    elapsed = ThreadCpuSeconds() - start;
  } while (elapsed < budget);
  if (found != 0) throw std::logic_error("A candidate matched a password it is not.");
  return elapsed / static_cast<double>(count);
}

// ---------------------------------------------------------------- Argon2id

constexpr std::array<std::uint8_t, korvane::kKdfSaltSize> kSalt = {
    0x6b, 0x6f, 0x72, 0x76, 0x61, 0x6e, 0x65, 0x2d, 0x62, 0x65, 0x6e, 0x63, 0x68, 0x00, 0x01, 0x02};

// Wall seconds per DerivePasswordKey: what opening a container costs.
double DeriveProgramSeconds(const KdfParameters& parameters, double budget) {
  Candidates candidate;
  int count = 0;
  const double start = WallSeconds();
  double elapsed = 0;
  do {
    const korvane::SecretBytes key =
        korvane::DerivePasswordKey(candidate.span(), kSalt, parameters);
    candidate.Next();
    ++count;
    elapsed = WallSeconds() - start;
  } while (count < kMinDerivations || elapsed < budget);
  return elapsed / count;
}

// The one-core loop keeps one block of memory for all its derivations, so it
// pays no page faults for fresh memory (the library still wipes the block
// after each derivation). The library's allocation callbacks carry no
// context, hence a file-level buffer.
struct ReusedMemory {
  std::unique_ptr<std::uint8_t[]> bytes;
  std::size_t size = 0;
};
ReusedMemory gReused;

int AllocateReused(std::uint8_t** memory, std::size_t size) {
  if (gReused.size != size) {
    gReused.bytes.reset();
    gReused.bytes.reset(new (std::nothrow) std::uint8_t[size]);
    gReused.size = gReused.bytes ? size : 0;
  }
  *memory = gReused.bytes.get();
  return *memory != nullptr ? ARGON2_OK : ARGON2_MEMORY_ALLOCATION_ERROR;
}
void KeepReused(std::uint8_t*, std::size_t) {}

std::array<std::uint8_t, korvane::kPasswordKeySize> DeriveOnOneCore(
    const KdfParameters& parameters, std::span<const std::uint8_t> password) {
  std::array<std::uint8_t, korvane::kPasswordKeySize> key{};
  std::array<std::uint8_t, korvane::kKdfSaltSize> salt = kSalt;
  argon2_context context{};
  context.out = key.data();
  context.outlen = static_cast<std::uint32_t>(key.size());
  // Written to only with ARGON2_FLAG_CLEAR_PASSWORD, which is not set.
  context.pwd = const_cast<std::uint8_t*>(password.data());
  context.pwdlen = static_cast<std::uint32_t>(password.size());
  context.salt = salt.data();
  context.saltlen = static_cast<std::uint32_t>(salt.size());
  context.t_cost = parameters.TimeCost;
  context.m_cost = parameters.MemoryKiB;
  context.lanes = parameters.Parallelism;
  context.threads = 1;
  context.version = ARGON2_VERSION_13;
  context.allocate_cbk = AllocateReused;
  context.free_cbk = KeepReused;
  context.flags = ARGON2_DEFAULT_FLAGS;
  const int result = argon2_ctx(&context, Argon2_id);
  if (result != ARGON2_OK) {
    throw std::runtime_error(std::string("Argon2id failed: ") + argon2_error_message(result));
  }
  return key;
}

// CPU seconds per derivation on one thread with reused memory. The first
// derivation (not timed) touches the memory and is compared with
// DerivePasswordKey, so the loop is known to compute the program's function.
double DeriveOneCoreSeconds(const KdfParameters& parameters, double budget) {
  Candidates candidate;
  const korvane::SecretBytes expected =
      korvane::DerivePasswordKey(candidate.span(), kSalt, parameters);
  const auto first = DeriveOnOneCore(parameters, candidate.span());
  if (!expected.Equals(first)) {
    throw std::runtime_error("The one-core loop does not compute DerivePasswordKey's key.");
  }
  int count = 0;
  const double start = ThreadCpuSeconds();
  double elapsed = 0;
  do {
    candidate.Next();
    DeriveOnOneCore(parameters, candidate.span());
    ++count;
    elapsed = ThreadCpuSeconds() - start;
  } while (count < kMinDerivations || elapsed < budget);
  gReused = {};
  return elapsed / count;
}

// ---------------------------------------------------------------- output

// "217 ns", "61.5 ms", "1.05 s": three significant digits.
std::string Duration(double seconds) {
  static constexpr struct {
    double scale;
    const char* unit;
  } kUnits[] = {{1, "s"}, {1e-3, "ms"}, {1e-6, "µs"}, {1e-9, "ns"}};
  for (const auto& unit : kUnits) {
    if (seconds >= unit.scale || unit.scale == 1e-9) {
      char text[32];
      std::snprintf(text, sizeof text, "%.3g %s", seconds / unit.scale, unit.unit);
      return text;
    }
  }
  return {};
}

// Three significant digits: "0.754", "17.7", "5,230,000" (thousands
// separated; the digits beyond the third are noise).
std::string Count(double value) {
  char text[64];
  if (value < 1000) {
    std::snprintf(text, sizeof text, "%.3g", value);
    return text;
  }
  const double unit = std::pow(10.0, std::floor(std::log10(value)) - 2);
  const int length = std::snprintf(text, sizeof text, "%.0f", std::round(value / unit) * unit);
  std::string grouped;
  for (int i = 0; i < length; ++i) {
    if (i > 0 && (length - i) % 3 == 0) grouped += ',';
    grouped += text[i];
  }
  return grouped;
}

std::string MiB(double kib) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0f MiB", kib / 1024);
  return text;
}

std::string DescribeArgon2(const KdfParameters& parameters) {
  return "Argon2id, " + std::to_string(parameters.TimeCost) +
         (parameters.TimeCost == 1 ? " pass, " : " passes, ") + MiB(parameters.MemoryKiB) + ", " +
         std::to_string(parameters.Parallelism) +
         (parameters.Parallelism == 1 ? " lane" : " lanes");
}

std::string CpuModel() {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("model name", 0) == 0) {
      const std::size_t colon = line.find(':');
      if (colon != std::string::npos) return line.substr(line.find_first_not_of(' ', colon + 1));
    }
  }
  return "unknown CPU";
}

void PrintMachine(double budget) {
  char date[64];
  const std::time_t now = std::time(nullptr);
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
  utsname system{};
  uname(&system);
  const double memoryGiB = static_cast<double>(sysconf(_SC_PHYS_PAGES)) *
                           static_cast<double>(sysconf(_SC_PAGE_SIZE)) / (1024.0 * 1024 * 1024);
#ifdef NDEBUG
  const char* build = "release";
#else
  const char* build = "debug build (assertions on: not figures to compare)";
#endif
  std::printf("Cost of one password guess, %s\n\n", date);
  std::printf("Machine: %u CPUs, %s, %.1f GiB RAM, %s %s.\n", std::thread::hardware_concurrency(),
              CpuModel().c_str(), memoryGiB, system.sysname, system.release);
  std::printf("Build: %s, g++ %s, %s.\n", build, __VERSION__, OpenSSL_version(OPENSSL_VERSION));
  std::printf("Budget: %g s per measurement, at least %d derivations.\n", budget, kMinDerivations);
}

struct Row {
  std::string layout;
  std::string guess;
  double programSeconds = 0;
  double oneCoreSeconds = 0;
  std::string memory;
};

void PrintTable(const std::vector<Row>& rows) {
  std::printf(
      "\n| layout | one guess | time per guess, program | time per guess, one core | "
      "guesses/s per core | classic/hardened | memory per guess |\n"
      "| --- | --- | ---: | ---: | ---: | ---: | ---: |\n");
  const double classicRate = 1 / rows.front().oneCoreSeconds;
  for (const Row& row : rows) {
    const double rate = 1 / row.oneCoreSeconds;
    std::printf("| %s | %s | %s | %s | %s | %s | %s |\n", row.layout.c_str(), row.guess.c_str(),
                Duration(row.programSeconds).c_str(), Duration(row.oneCoreSeconds).c_str(),
                Count(rate).c_str(), Count(classicRate / rate).c_str(), row.memory.c_str());
  }
}

int Run(double budget) {
  PrintMachine(budget);
  std::fflush(stdout);

  std::vector<Row> rows;
  rows.push_back({"classic", "MD5 of the password", Md5ProgramSeconds(budget),
                  Md5OneCoreSeconds(budget), "< 1 KiB"});
  const long baseKiB = PeakResidentKiB();

  const KdfParameters floor = korvane::kKdfFloor;
  const double floorProgram = DeriveProgramSeconds(floor, budget);
  const double floorOneCore = DeriveOneCoreSeconds(floor, budget);
  const long floorPeakKiB = PeakResidentKiB();

  const double calibrationStart = WallSeconds();
  const KdfParameters calibrated = korvane::CalibrateKdf(1.0);
  const double calibrationSeconds = WallSeconds() - calibrationStart;
  std::printf("Calibration: CalibrateKdf(1.0) took %.1f s and picked %s (%u KiB).\n",
              calibrationSeconds, DescribeArgon2(calibrated).c_str(), calibrated.MemoryKiB);
  std::fflush(stdout);
  rows.push_back({"hardened (calibrated)", DescribeArgon2(calibrated),
                  DeriveProgramSeconds(calibrated, budget),
                  DeriveOneCoreSeconds(calibrated, budget), MiB(calibrated.MemoryKiB)});
  const long calibratedPeakKiB = PeakResidentKiB();
  rows.push_back({"hardened (floor)", DescribeArgon2(floor), floorProgram, floorOneCore,
                  MiB(floor.MemoryKiB)});

  PrintTable(rows);
  std::printf(
      "\nPeak resident size of this process: %s before any derivation, +%s with the floor, "
      "+%s with the calibrated parameters.\n",
      MiB(static_cast<double>(baseKiB)).c_str(),
      MiB(static_cast<double>(floorPeakKiB - baseKiB)).c_str(),
      MiB(static_cast<double>(calibratedPeakKiB - baseKiB)).c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  double budget = kDefaultSeconds;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--help" || argument == "-h") {
      PrintUsage(stdout);
      return 0;
    }
    if (argument == "--seconds" && i + 1 < argc) {
      const char* text = argv[++i];
      char* end = nullptr;
      budget = std::strtod(text, &end);
      if (end == text || *end != '\0' || !(budget > 0 && budget <= kMaxSeconds)) {
        std::fprintf(stderr, "guess_cost: --seconds takes a number above 0 and up to %g, not %s\n",
                     kMaxSeconds, text);
        return 2;
      }
      continue;
    }
    std::fprintf(stderr, "guess_cost: unknown or incomplete option %s\n\n", argument.c_str());
    PrintUsage(stderr);
    return 2;
  }
  try {
    return Run(budget);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "guess_cost: %s\n", error.what());
    return 1;
  }
}
