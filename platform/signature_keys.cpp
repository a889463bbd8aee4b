#include "controller/release_signature.h"
#include "platform/signature.h"

#ifndef TALLYX_RELEASE_KEYS
#define TALLYX_RELEASE_KEYS ""
#endif

namespace tallyx {

std::vector<EcdsaP256PublicKey> BuiltInReleaseKeys() {
  return ParseReleaseKeys(TALLYX_RELEASE_KEYS);
}

}  // namespace tallyx
