#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace tallyx {

using Sha256Digest = std::array<uint8_t, 32>;
// An ECDSA P-256 public key as an uncompressed point: 04 || X || Y.
using EcdsaP256PublicKey = std::array<uint8_t, 65>;
// An ECDSA P-256 signature as the two 32-byte big-endian integers r || s.
using EcdsaP256Signature = std::array<uint8_t, 64>;

// One SHA-256 computation, fed piece by piece. Raises EReadError when the platform's
// hash fails.
class Sha256Hasher {
 public:
  virtual ~Sha256Hasher() = default;
  virtual void Update(const void* data, size_t size) = 0;
  virtual Sha256Digest Finish() = 0;
};

class Sha256Factory {
 public:
  virtual ~Sha256Factory() = default;
  virtual std::unique_ptr<Sha256Hasher> NewSha256() = 0;
};

// The platform's cryptography, as the release checks need it. Files are hashed by whoever
// holds them open (the archive object), never here by name: a file opened again by name
// may no longer be the file that was checked.
class SignatureVerifier : public Sha256Factory {
 public:
  // True only when `signature` is a valid ECDSA signature by `key` over the SHA-256 of
  // `message`; a malformed key or signature is simply not valid.
  virtual bool VerifyEcdsaP256Sha256(const EcdsaP256PublicKey& key, std::string_view message,
                                     const EcdsaP256Signature& signature) = 0;
};

}  // namespace tallyx
