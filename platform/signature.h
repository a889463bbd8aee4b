#pragma once
// The cryptography behind signed releases: Windows' CNG (bcrypt.dll) in the product,
// OpenSSL's libcrypto in native builds.
#include <memory>
#include <vector>

#include "controller/operations/signatures.h"

namespace tallyx {

std::unique_ptr<SignatureVerifier> CreateSignatureVerifier();

// The vendor's public keys this build was configured with (TALLYX_RELEASE_KEYS);
// empty when the build checks no signatures.
std::vector<EcdsaP256PublicKey> BuiltInReleaseKeys();

}  // namespace tallyx
