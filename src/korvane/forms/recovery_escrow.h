// Password recovery escrow: the folder password encrypted with the maker's
// RSA public key (1024 bits) so that only the holder of the private key can
// read it back, and the pieces the recovery tool needs to undo it.
//
// One escrow block is RSAES-PKCS1-v1_5 with both byte orders turned around:
// the message bytes go in reversed, and the 128 cipher bytes come out least
// significant first. The escrow text is the Base64 of the blocks in order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvane {

// A public key in the key text convention: hexadecimal digit pairs, each
// pair one byte, least significant byte first; characters that are not
// hexadecimal digits are skipped, at most 128 bytes are taken, missing high
// bytes are zero.
struct RecoveryPublicKey {
  std::string ModulusHex;
  std::string ExponentHex;
};

// The built-in key (the maker's), its modulus joined from its two pieces.
RecoveryPublicKey BuiltInRecoveryKey();

// The key in force: a PEM public key (RSA, 1024 bits) in
// $XDG_CONFIG_HOME/korvane/recovery-key.pem, else in
// /etc/korvane/recovery-key.pem, else the built-in one. `source` (when not
// null) receives the file used, or "built-in". A file that exists but cannot
// be read as such a key is skipped.
RecoveryPublicKey LoadRecoveryKey(std::string* source = nullptr);

// Turns a PEM public key into the key text convention. False when the text
// is not an RSA public key of 1024 bits.
bool PemToRecoveryKey(const std::string& pem, RecoveryPublicKey& key);

// The escrow text of a password (its bytes as typed): 117-byte blocks (an
// empty password is one empty block), each padded with filler bytes from 1
// to 253 drawn from the system's cryptographic random generator, raised to
// the exponent, written as 128 bytes least significant first; all blocks in
// Base64 without line breaks (172 characters for up to 117 bytes). Any
// failure (a malformed key, no random bytes) gives `fallback` instead.
std::string EncryptPasswordForRecovery(const std::string& password, const std::string& fallback,
                                       const RecoveryPublicKey& key);

// The way back, for the recovery tool: decodes the Base64 text and decrypts
// every block with the private key in `privateKeyPem`. False (with a reason
// in `error`) when the text, the key or any block's padding is wrong.
bool DecryptRecoveryText(const std::string& escrowText, const std::string& privateKeyPem,
                         std::string& password, std::string& error);

// The escrow text inside a pasted request text (the line after "Folder
// password cipher text is"); the whole input trimmed when it holds no such
// line. Base64 characters only; blanks and line breaks are dropped.
std::string ExtractEscrowText(const std::string& requestText);

// The support address shown in the request window: "SupportAddress" of the
// "[Recovery]" section of $XDG_CONFIG_HOME/korvane/korvane.conf, else of
// /etc/korvane/korvane.conf, else kDefaultSupportAddress.
inline constexpr const char* kDefaultSupportAddress = "recovery@korvane.example";
std::string SupportAddress();

}  // namespace korvane
