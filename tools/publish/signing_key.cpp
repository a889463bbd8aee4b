#include "tools/publish/signing_key.h"

#include <fcntl.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "tools/publish/publish_error.h"

namespace tallyx::publish {
namespace {

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

template <typename T, void (*Fn)(T*)>
struct Deleter {
  void operator()(T* p) const { Fn(p); }
};
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using SigPtr = std::unique_ptr<ECDSA_SIG, Deleter<ECDSA_SIG, ECDSA_SIG_free>>;

bool IsP256(EVP_PKEY* key) {
  char group[64] = {};
  return EVP_PKEY_is_a(key, "EC") &&
         EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group,
                                        nullptr) == 1 &&
         std::strcmp(group, "prime256v1") == 0;
}

}  // namespace

void SigningKey::Free::operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }

SigningKey SigningKey::Generate() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  if (!key) throw PublishError("cannot generate a P-256 key");
  return SigningKey(key);
}

SigningKey SigningKey::Load(const std::string& path) {
  FilePtr file(std::fopen(path.c_str(), "rb"));
  if (!file) throw PublishError("cannot read the key file " + path + ": " + std::strerror(errno));
  EVP_PKEY* key = PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr);
  if (!key) throw PublishError(path + " holds no private key");
  SigningKey result(key);
  if (!IsP256(key)) throw PublishError(path + " does not hold an ECDSA P-256 key");
  return result;
}

void SigningKey::Save(const std::string& path) const {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
  if (fd < 0) throw PublishError("cannot create the key file " + path + ": " + std::strerror(errno));
  FilePtr file(::fdopen(fd, "wb"));
  if (!file) {
    ::close(fd);
    throw PublishError("cannot write the key file " + path);
  }
  const bool written =
      PEM_write_PrivateKey(file.get(), key_.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
  if (!written || std::fclose(file.release()) != 0) {
    std::remove(path.c_str());
    throw PublishError("cannot write the key file " + path);
  }
}

EcdsaP256PublicKey SigningKey::PublicKey() const {
  EcdsaP256PublicKey point{};
  size_t length = 0;
  if (EVP_PKEY_get_octet_string_param(key_.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(),
                                      point.size(), &length) != 1 ||
      length != point.size() || point[0] != 0x04)
    throw PublishError("cannot export the public key");
  return point;
}

EcdsaP256Signature SigningKey::Sign(std::string_view message) const {
  MdCtxPtr ctx(EVP_MD_CTX_new());
  size_t length = 0;
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key_.get()) != 1 ||
      EVP_DigestSign(ctx.get(), nullptr, &length,
                     reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1)
    throw PublishError("cannot sign");
  std::string der(length, '\0');
  auto* out = reinterpret_cast<unsigned char*>(der.data());
  if (EVP_DigestSign(ctx.get(), out, &length,
                     reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1)
    throw PublishError("cannot sign");
  // The files carry r || s, each left-padded to 32 bytes, rather than libcrypto's DER.
  const unsigned char* in = out;
  SigPtr sig(d2i_ECDSA_SIG(nullptr, &in, static_cast<long>(length)));
  EcdsaP256Signature result{};
  if (!sig || BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), result.data(), 32) != 32 ||
      BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), result.data() + 32, 32) != 32)
    throw PublishError("cannot sign");
  return result;
}

Sha256Digest Sha256Of(std::string_view data) {
  Sha256Digest digest{};
  if (EVP_Digest(data.data(), data.size(), digest.data(), nullptr, EVP_sha256(), nullptr) != 1)
    throw PublishError("cannot compute SHA-256");
  return digest;
}

}  // namespace tallyx::publish
