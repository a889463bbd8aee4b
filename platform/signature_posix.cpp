#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <memory>

#include "base/errors.h"
#include "platform/signature.h"

namespace tallyx {
namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using SigPtr = std::unique_ptr<ECDSA_SIG, Deleter<ECDSA_SIG, ECDSA_SIG_free>>;
using BnPtr = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>>;

PkeyPtr ImportPublicKey(const EcdsaP256PublicKey& key) {
  char group[] = "prime256v1";
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
      OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY,
                                        const_cast<uint8_t*>(key.data()), key.size()),
      OSSL_PARAM_construct_end()};
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  EVP_PKEY* pkey = nullptr;
  if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &pkey, EVP_PKEY_PUBLIC_KEY, params) != 1)
    return nullptr;
  return PkeyPtr(pkey);
}

// libcrypto takes ECDSA signatures in DER; the files carry the fixed-size r || s.
std::string ToDer(const EcdsaP256Signature& signature) {
  SigPtr sig(ECDSA_SIG_new());
  BnPtr r(BN_bin2bn(signature.data(), 32, nullptr));
  BnPtr s(BN_bin2bn(signature.data() + 32, 32, nullptr));
  if (!sig || !r || !s || ECDSA_SIG_set0(sig.get(), r.get(), s.get()) != 1) return {};
  r.release();
  s.release();
  const int length = i2d_ECDSA_SIG(sig.get(), nullptr);
  if (length <= 0) return {};
  std::string der(static_cast<size_t>(length), '\0');
  auto* out = reinterpret_cast<unsigned char*>(der.data());
  i2d_ECDSA_SIG(sig.get(), &out);
  return der;
}

class OpenSslSha256 : public Sha256Hasher {
 public:
  OpenSslSha256() : ctx_(EVP_MD_CTX_new()) {
    if (!ctx_ || EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr) != 1)
      throw EReadError(u"Stream read error");
  }
  void Update(const void* data, size_t size) override {
    if (EVP_DigestUpdate(ctx_.get(), data, size) != 1) throw EReadError(u"Stream read error");
  }
  Sha256Digest Finish() override {
    Sha256Digest digest;
    if (EVP_DigestFinal_ex(ctx_.get(), digest.data(), nullptr) != 1)
      throw EReadError(u"Stream read error");
    return digest;
  }

 private:
  MdCtxPtr ctx_;
};

class OpenSslVerifier : public SignatureVerifier {
 public:
  std::unique_ptr<Sha256Hasher> NewSha256() override { return std::make_unique<OpenSslSha256>(); }

  bool VerifyEcdsaP256Sha256(const EcdsaP256PublicKey& key, std::string_view message,
                             const EcdsaP256Signature& signature) override {
    const PkeyPtr pkey = ImportPublicKey(key);
    const std::string der = ToDer(signature);
    MdCtxPtr ctx(EVP_MD_CTX_new());
    if (!pkey || der.empty() || !ctx ||
        EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, pkey.get()) != 1)
      return false;
    return EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(der.data()),
                            der.size(), reinterpret_cast<const unsigned char*>(message.data()),
                            message.size()) == 1;
  }
};

}  // namespace

std::unique_ptr<SignatureVerifier> CreateSignatureVerifier() {
  return std::make_unique<OpenSslVerifier>();
}

}  // namespace tallyx
