// korvane-recover: reads a password back from its recovery escrow text with
// the private key, and makes a new recovery key pair for an organisation
// that wants to hold its own. Both escrow kinds are handled: the private
// key's size tells them apart (1024 bits classic, 3072 bits hardened), so
// the key holder never has to say which kind a request is.
//
//   korvane-recover --private-key KEY.pem [FILE]
//   korvane-recover --generate-key DIR [--hardened]
//
// Exit status: 0 done, 1 the work failed (message on stderr), 2 bad usage.
#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "korvane/forms/escrow_common.h"
#include "korvane/forms/hardened_escrow.h"
#include "korvane/forms/openssl_holders.h"
#include "korvane/forms/recovery_escrow.h"

#ifndef KORVANE_VERSION
#define KORVANE_VERSION "0.1.0"
#endif

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// A request text or a key is a few kilobytes; refuse to swallow a disk.
constexpr std::size_t kMaxInputBytes = 1024 * 1024;

constexpr int kClassicKeyBits = 1024;

constexpr const char* kUsage =
    "Usage: korvane-recover --private-key KEY.pem [FILE]\n"
    "       korvane-recover --generate-key DIR [--hardened]\n"
    "       korvane-recover --help | --version\n"
    "\n"
    "Reads the escrow text of a forgotten Korvane folder password, or the whole\n"
    "recovery request that holds it, from FILE (standard input when FILE is\n"
    "missing or \"-\"), decrypts it with the private key KEY.pem and prints the\n"
    "password on standard output. A 1024-bit key reads the escrow of classic\n"
    "containers, a 3072-bit key the escrow of hardened ones.\n"
    "\n"
    "  --private-key KEY.pem  the recovery private key (PEM, not passphrase-protected)\n"
    "  --generate-key DIR     make a new recovery key pair in DIR: recovery-key.pem\n"
    "                         (public, to install for Korvane) and\n"
    "                         recovery-private-key.pem (keep it secret)\n"
    "  --hardened             with --generate-key: make the 3072-bit pair of the\n"
    "                         hardened escrow instead, hardened-recovery-key.pem\n"
    "                         and hardened-recovery-private-key.pem\n"
    "  --help                 show this text\n"
    "  --version              show the version\n"
    "\n"
    "Exit status: 0 done, 1 failed, 2 bad usage.\n";

// Owns a string holding a secret and wipes it on every way out.
class SecretString {
 public:
  SecretString() = default;
  SecretString(const SecretString&) = delete;
  SecretString& operator=(const SecretString&) = delete;
  ~SecretString() { OPENSSL_cleanse(text.data(), text.size()); }
  std::string text;
};

int UsageError(const std::string& message) {
  std::fprintf(stderr, "korvane-recover: %s\n%s", message.c_str(), kUsage);
  return kExitUsage;
}

int Failure(const std::string& message) {
  std::fprintf(stderr, "korvane-recover: %s\n", message.c_str());
  return kExitFailed;
}

// Reads all of a descriptor into `contents`. Room for the largest input is
// reserved first so that growing never leaves a stray copy of a secret behind.
bool ReadAll(int fd, std::string& contents, std::string& error) {
  contents.clear();
  contents.reserve(kMaxInputBytes);
  char chunk[4096];
  bool ok = true;
  for (;;) {
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      error = std::strerror(errno);
      ok = false;
      break;
    }
    if (contents.size() + static_cast<std::size_t>(got) > kMaxInputBytes) {
      error = "more than 1 MiB; this is not a key or a request text";
      ok = false;
      break;
    }
    contents.append(chunk, static_cast<std::size_t>(got));
  }
  OPENSSL_cleanse(chunk, sizeof chunk);
  return ok;
}

bool WriteAll(int fd, const char* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t put = write(fd, data + done, size - done);
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(put);
  }
  return true;
}

bool ReadFile(const std::string& path, std::string& contents, std::string& error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  struct stat status {};
  if (fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) {
    close(fd);
    error = path + ": is a folder";
    return false;
  }
  const bool ok = ReadAll(fd, contents, error);
  close(fd);
  if (!ok) error = path + ": " + error;
  return ok;
}

using korvane::openssl::BigNum;
using korvane::openssl::Bio;
using korvane::openssl::Pkey;
using korvane::openssl::PkeyCtx;

enum class EscrowKind { kClassic, kHardened };

// Which escrow the private key reads, from its size. False with a message
// for a key that reads neither.
bool KindOfPrivateKey(const std::string& pem, EscrowKind& kind, std::string& error) {
  const Pkey key = korvane::escrow::ReadPrivateKeyPem(pem, error);
  if (!key) return false;
  if (!EVP_PKEY_is_a(key.get(), "RSA")) {
    error = "the private key is not an RSA key";
    return false;
  }
  const int bits = EVP_PKEY_get_bits(key.get());
  if (bits == kClassicKeyBits) {
    kind = EscrowKind::kClassic;
  } else if (bits == korvane::kHardenedEscrowKeyBits) {
    kind = EscrowKind::kHardened;
  } else {
    error = "the private key has " + std::to_string(bits) + " bits; recovery keys have " +
            std::to_string(kClassicKeyBits) + " (classic escrow) or " +
            std::to_string(korvane::kHardenedEscrowKeyBits) + " (hardened escrow)";
    return false;
  }
  return true;
}

int Recover(const std::string& keyPath, const std::string& inputPath) {
  SecretString privateKey;
  std::string error;
  if (!ReadFile(keyPath, privateKey.text, error))
    return Failure("cannot read the private key " + error);
  // Before the input is read, so that nobody pastes a request for nothing.
  EscrowKind kind = EscrowKind::kClassic;
  if (!KindOfPrivateKey(privateKey.text, kind, error)) return Failure(error);

  std::string input;
  if (inputPath.empty() || inputPath == "-") {
    if (isatty(STDIN_FILENO)) {
      std::fprintf(stderr, "Paste the escrow text or the recovery request, then press Ctrl-D.\n");
    }
    if (!ReadAll(STDIN_FILENO, input, error))
      return Failure("cannot read standard input: " + error);
  } else if (!ReadFile(inputPath, input, error)) {
    return Failure("cannot read " + error);
  }

  const std::string escrow = korvane::ExtractEscrowText(input);
  if (escrow.empty()) return Failure("the input holds no escrow text");
  SecretString password;
  const bool decrypted =
      kind == EscrowKind::kHardened
          ? korvane::DecryptHardenedRecoveryText(escrow, privateKey.text, password.text, error)
          : korvane::DecryptRecoveryText(escrow, privateKey.text, password.text, error);
  if (!decrypted) return Failure(error);
  // The password's bytes as they were typed, whatever they are, written
  // past stdio so that no buffer of ours keeps a copy.
  if (!WriteAll(STDOUT_FILENO, password.text.data(), password.text.size()) ||
      !WriteAll(STDOUT_FILENO, "\n", 1)) {
    return Failure(std::string("cannot write the password: ") + std::strerror(errno));
  }
  return kExitOk;
}

// ------------------------------------------------------------ key generation

struct KeyPairKind {
  int bits;
  unsigned long exponent;
  const char* publicName;
  const char* privateName;
  const char* installIntro;  // ends in "install the public key as"
  // Whether the program takes the public key; a key it passed over would
  // leave the users' passwords escrowed to the built-in key without a word.
  bool (*usable)(const std::string& publicPem);
};

// Classic keys: 1024 bits with a public exponent that fits the two bytes the
// program's key text holds, 0x0301, the same as the built-in key.
const KeyPairKind kClassicPair{
    kClassicKeyBits,
    0x0301,
    "recovery-key.pem",
    "recovery-private-key.pem",
    "To have Korvane escrow passwords with this key, install the public key as",
    [](const std::string& pem) {
      korvane::RecoveryPublicKey key;
      return korvane::PemToRecoveryKey(pem, key);
    }};

// Hardened keys: 3072 bits and the usual exponent 65537.
const KeyPairKind kHardenedPair{korvane::kHardenedEscrowKeyBits,
                                65537,
                                "hardened-recovery-key.pem",
                                "hardened-recovery-private-key.pem",
                                "To have Korvane escrow the passwords of hardened containers with\n"
                                "this key, install the public key as",
                                korvane::IsHardenedRecoveryKey};

Pkey GenerateKey(const KeyPairKind& kind) {
  PkeyCtx context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  BigNum exponent(BN_new());
  if (!context || !exponent || BN_set_word(exponent.get(), kind.exponent) != 1 ||
      EVP_PKEY_keygen_init(context.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_keygen_bits(context.get(), kind.bits) != 1 ||
      EVP_PKEY_CTX_set1_rsa_keygen_pubexp(context.get(), exponent.get()) != 1) {
    return nullptr;
  }
  EVP_PKEY* key = nullptr;
  if (EVP_PKEY_generate(context.get(), &key) != 1) return nullptr;
  return Pkey(key);
}

// Writes the BIO's bytes to a descriptor and flushes them to the disk.
bool WriteBio(int fd, BIO* bio) {
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  return length > 0 && WriteAll(fd, data, static_cast<std::size_t>(length)) && fsync(fd) == 0;
}

// Creates `path` for a key, refusing an existing file (or link) of that name;
// the mode is set explicitly so the umask cannot widen or narrow it.
int CreateKeyFile(const std::string& path, mode_t mode) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd >= 0 && fchmod(fd, mode) != 0) {
    const int saved = errno;
    close(fd);
    unlink(path.c_str());
    errno = saved;
    return -1;
  }
  return fd;
}

std::string BioText(BIO* bio) {
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  return length > 0 ? std::string(data, static_cast<std::size_t>(length)) : std::string();
}

int GenerateKeyPair(const std::string& folder, const KeyPairKind& kind) {
  struct stat status {};
  if (stat(folder.c_str(), &status) != 0) {
    if (errno != ENOENT || mkdir(folder.c_str(), 0700) != 0) {
      return Failure("cannot make the folder " + folder + ": " + std::strerror(errno));
    }
  } else if (!S_ISDIR(status.st_mode)) {
    return Failure(folder + " is not a folder");
  }
  const std::string base = folder.back() == '/' ? folder : folder + "/";
  const std::string publicPath = base + kind.publicName;
  const std::string privatePath = base + kind.privateName;
  // Checked before the slow key generation; the exclusive creates below
  // settle any race.
  for (const std::string& path : {privatePath, publicPath}) {
    if (lstat(path.c_str(), &status) == 0) {
      return Failure(path + " exists already; it is not overwritten (move it away first)");
    }
  }

  const Pkey key = GenerateKey(kind);
  // The private key text only ever lives in secure memory, which OpenSSL
  // wipes when the BIO goes away.
  Bio privateText(BIO_new(BIO_s_secmem()));
  Bio publicText(BIO_new(BIO_s_mem()));
  if (!key || !privateText || !publicText ||
      PEM_write_bio_PrivateKey(privateText.get(), key.get(), nullptr, nullptr, 0, nullptr,
                               nullptr) != 1 ||
      PEM_write_bio_PUBKEY(publicText.get(), key.get()) != 1) {
    ERR_print_errors_fp(stderr);
    return Failure("cannot generate the key pair");
  }
  if (!kind.usable(BioText(publicText.get()))) {
    return Failure("the generated public key is not one Korvane takes; nothing was written");
  }

  const int privateFd = CreateKeyFile(privatePath, 0600);
  if (privateFd < 0) return Failure("cannot create " + privatePath + ": " + std::strerror(errno));
  const int publicFd = CreateKeyFile(publicPath, 0644);
  if (publicFd < 0) {
    const int saved = errno;
    close(privateFd);
    unlink(privatePath.c_str());
    return Failure("cannot create " + publicPath + ": " + std::strerror(saved));
  }
  bool ok = WriteBio(privateFd, privateText.get()) && WriteBio(publicFd, publicText.get());
  const int savedErrno = errno;
  ok = (close(privateFd) == 0) && ok;
  ok = (close(publicFd) == 0) && ok;
  const int folderFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folderFd >= 0) {
    ok = (fsync(folderFd) == 0) && ok;
    close(folderFd);
  }
  if (!ok) {
    unlink(privatePath.c_str());
    unlink(publicPath.c_str());
    return Failure("cannot write the key pair: " + std::string(std::strerror(savedErrno)));
  }

  const std::string systemPath = "/etc/korvane/" + std::string(kind.publicName);
  const std::string userPath = "~/.config/korvane/" + std::string(kind.publicName);
  const int column = static_cast<int>(std::max(systemPath.size(), userPath.size())) + 5;
  std::printf(
      "Public key:  %s\n"
      "Private key: %s (readable by you only)\n"
      "\n"
      "Keep the private key secret and away from the users' machines; with it,\n"
      "every escrow text made with the public key can be read.\n"
      "\n"
      "%s\n"
      "  %-*sfor every user of a machine, or\n"
      "  %-*sfor one user\n"
      "($XDG_CONFIG_HOME/korvane/%s when XDG_CONFIG_HOME is set).\n"
      "Recover a password with:\n"
      "  korvane-recover --private-key %s REQUEST.txt\n",
      publicPath.c_str(), privatePath.c_str(), kind.installIntro, column, systemPath.c_str(),
      column, userPath.c_str(), kind.publicName, privatePath.c_str());
  return std::fflush(stdout) == 0 ? kExitOk : kExitFailed;
}

// "--name VALUE" or "--name=VALUE"; advances `index` past what it took.
bool TakeOption(std::string_view name, int argc, char** argv, int& index, std::string& value,
                bool& missing) {
  const std::string_view argument = argv[index];
  if (argument == name) {
    if (index + 1 >= argc) {
      missing = true;
      return true;
    }
    value = argv[++index];
    return true;
  }
  if (argument.size() > name.size() && argument.substr(0, name.size()) == name &&
      argument[name.size()] == '=') {
    value = std::string(argument.substr(name.size() + 1));
    return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  std::string keyPath;
  std::string generateFolder;
  std::string inputPath;
  bool haveKey = false;
  bool haveGenerate = false;
  bool hardened = false;
  bool haveInput = false;
  bool optionsDone = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    bool missing = false;
    if (!optionsDone && (argument == "--help" || argument == "-h")) {
      std::fputs(kUsage, stdout);
      return kExitOk;
    }
    if (!optionsDone && argument == "--version") {
      std::printf("korvane-recover %s\n", KORVANE_VERSION);
      return kExitOk;
    }
    if (!optionsDone && argument == "--") {
      optionsDone = true;
      continue;
    }
    if (!optionsDone && TakeOption("--private-key", argc, argv, i, keyPath, missing)) {
      if (missing || keyPath.empty()) return UsageError("--private-key needs a file name");
      if (haveKey) return UsageError("--private-key given twice");
      haveKey = true;
      continue;
    }
    if (!optionsDone && TakeOption("--generate-key", argc, argv, i, generateFolder, missing)) {
      if (missing || generateFolder.empty()) return UsageError("--generate-key needs a folder");
      if (haveGenerate) return UsageError("--generate-key given twice");
      haveGenerate = true;
      continue;
    }
    if (!optionsDone && argument == "--hardened") {
      if (hardened) return UsageError("--hardened given twice");
      hardened = true;
      continue;
    }
    if (!optionsDone && argument.size() > 1 && argument[0] == '-') {
      return UsageError("unknown option " + std::string(argument));
    }
    if (haveInput) return UsageError("more than one input file");
    inputPath = argument;
    haveInput = true;
  }

  if (haveGenerate) {
    if (haveKey || haveInput) {
      return UsageError("--generate-key takes no private key and no input file");
    }
    return GenerateKeyPair(generateFolder, hardened ? kHardenedPair : kClassicPair);
  }
  // Reading needs no kind: the private key's size tells it.
  if (hardened) return UsageError("--hardened goes with --generate-key only");
  if (!haveKey) return UsageError("--private-key is required");
  return Recover(keyPath, inputPath);
}
