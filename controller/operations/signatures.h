#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace tallyx {

using Sha256Digest = std::array<uint8_t, 32>;
// An ECDSA P-256 public key as an uncompressed point: 04 || X || Y.
using EcdsaP256PublicKey = std::array<uint8_t, 65>;
// An ECDSA P-256 signature as the two 32-byte big-endian integers r || s.
using EcdsaP256Signature = std::array<uint8_t, 64>;

// The platform's cryptography, as the release checks need it.
class SignatureVerifier {
 public:
  virtual ~SignatureVerifier() = default;
  // SHA-256 of the file's whole content. Raises EFOpenError or EReadError when the
  // file cannot be read.
  virtual Sha256Digest Sha256OfFile(const std::u16string& path) = 0;
  // True only when `signature` is a valid ECDSA signature by `key` over the SHA-256 of
  // `message`; a malformed key or signature is simply not valid.
  virtual bool VerifyEcdsaP256Sha256(const EcdsaP256PublicKey& key, std::string_view message,
                                     const EcdsaP256Signature& signature) = 0;
};

}  // namespace tallyx
