// Owners of OpenSSL objects, so that every early return frees them. BIGNUMs
// may hold key material and are cleared when freed.
#pragma once

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <memory>

namespace korvane::openssl {

struct BigNumFree {
  void operator()(BIGNUM* number) const { BN_clear_free(number); }
};
struct BnCtxFree {
  void operator()(BN_CTX* context) const { BN_CTX_free(context); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
};
struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct OpenSslFree {
  void operator()(void* memory) const { OPENSSL_free(memory); }
};

using BigNum = std::unique_ptr<BIGNUM, BigNumFree>;
using BnCtx = std::unique_ptr<BN_CTX, BnCtxFree>;
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
using Bio = std::unique_ptr<BIO, BioFree>;

}  // namespace korvane::openssl
