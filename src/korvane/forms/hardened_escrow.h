// Password recovery escrow of the hardened layout: the folder password
// enciphered with RSA-OAEP (SHA-256 for the hash and the mask) under the
// maker's 3072-bit public key, so that only the holder of the private key
// reads it back. The classic layout's escrow (recovery_escrow.h) stays as it
// is for classic containers.
//
// The escrow text is the Base64 (no line breaks) of one or more 384-byte
// cipher blocks in order, each holding up to kHardenedEscrowBlockBytes bytes
// of the password (an empty password is one empty block): 512 characters for
// a password of up to 318 bytes. Which private key decrypts a text tells the
// two kinds apart: a 1024-bit key the classic kind, a 3072-bit key this one.
#pragma once

#include <cstddef>
#include <string>

namespace korvane {

inline constexpr int kHardenedEscrowKeyBits = 3072;
// What one OAEP block with SHA-256 holds under a 3072-bit key: 384 - 2*32 - 2.
inline constexpr std::size_t kHardenedEscrowBlockBytes = 318;

// The built-in public key (the maker's), as PEM text.
std::string BuiltInHardenedRecoveryKey();

// The key in force, as PEM text: an RSA public key of 3072 bits in
// $XDG_CONFIG_HOME/korvane/hardened-recovery-key.pem, else in
// /etc/korvane/hardened-recovery-key.pem, else the built-in one. `source`
// (when not null) receives the file used, or "built-in". A file that exists
// but is not such a key is skipped.
std::string LoadHardenedRecoveryKey(std::string* source = nullptr);

// Whether `pem` holds an RSA public key of kHardenedEscrowKeyBits bits (the
// first public key block of the text; comments around it do no harm) that
// OpenSSL's validation of public keys accepts: a key with exponent 1, for
// one, would leave every block readable without the private key.
bool IsHardenedRecoveryKey(const std::string& pem);

// The escrow text of a password (its bytes as typed). Empty when it cannot be
// made (a key that is not a 3072-bit RSA public key, no random bytes); the
// caller then stores no escrow.
std::string EncryptPasswordForHardenedRecovery(const std::string& password,
                                               const std::string& publicKeyPem);

// The way back, for the recovery tool: decodes the Base64 text and decrypts
// every block with the 3072-bit private key in `privateKeyPem`. False (with a
// reason in `error`) when the text, the key or any block is wrong.
bool DecryptHardenedRecoveryText(const std::string& escrowText, const std::string& privateKeyPem,
                                 std::string& password, std::string& error);

}  // namespace korvane
