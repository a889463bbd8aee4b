#pragma once
// The vendor's private release key (ECDSA P-256), kept in a PEM file.
#include <memory>
#include <string>
#include <string_view>

#include "controller/operations/signatures.h"

typedef struct evp_pkey_st EVP_PKEY;

namespace tallyx::publish {

class SigningKey {
 public:
  static SigningKey Generate();
  // Raises PublishError when the file cannot be read or holds no P-256 private key.
  static SigningKey Load(const std::string& path);

  // Writes the key to a new file readable by its owner only; never replaces a file.
  void Save(const std::string& path) const;
  EcdsaP256PublicKey PublicKey() const;
  EcdsaP256Signature Sign(std::string_view message) const;

 private:
  struct Free {
    void operator()(EVP_PKEY* key) const;
  };
  explicit SigningKey(EVP_PKEY* key) : key_(key) {}
  std::unique_ptr<EVP_PKEY, Free> key_;
};

Sha256Digest Sha256Of(std::string_view data);

}  // namespace tallyx::publish
