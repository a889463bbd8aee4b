#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <vector>

#include "base/errors.h"
#include "platform/scoped_handle.h"
#include "platform/signature.h"

namespace tallyx {
namespace {

struct AlgorithmTraits {
  using Handle = BCRYPT_ALG_HANDLE;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::BCryptCloseAlgorithmProvider(h, 0); }
};
struct KeyTraits {
  using Handle = BCRYPT_KEY_HANDLE;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::BCryptDestroyKey(h); }
};
struct HashTraits {
  using Handle = BCRYPT_HASH_HANDLE;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::BCryptDestroyHash(h); }
};
using ScopedAlgorithm = BasicScopedHandle<AlgorithmTraits>;
using ScopedKey = BasicScopedHandle<KeyTraits>;
using ScopedHash = BasicScopedHandle<HashTraits>;

bool Succeeded(NTSTATUS status) { return status >= 0; }

ScopedAlgorithm OpenAlgorithm(const wchar_t* name) {
  BCRYPT_ALG_HANDLE handle = nullptr;
  if (!Succeeded(::BCryptOpenAlgorithmProvider(&handle, name, nullptr, 0))) return {};
  return ScopedAlgorithm(handle);
}

// Windows 7's CNG wants the caller to supply the hash object's memory.
class Sha256 : public Sha256Hasher {
 public:
  Sha256() : algorithm_(OpenAlgorithm(BCRYPT_SHA256_ALGORITHM)) {
    DWORD size = 0;
    ULONG written = 0;
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (!algorithm_ ||
        !Succeeded(::BCryptGetProperty(algorithm_.Get(), BCRYPT_OBJECT_LENGTH,
                                       reinterpret_cast<PUCHAR>(&size), sizeof size, &written,
                                       0)))
      throw EReadError(u"Stream read error");
    object_.resize(size);
    if (!Succeeded(::BCryptCreateHash(algorithm_.Get(), &hash, object_.data(), size, nullptr, 0,
                                      0)))
      throw EReadError(u"Stream read error");
    hash_.Reset(hash);
  }
  void Update(const void* data, size_t size) override {
    // BCryptHashData takes at most 4 GiB at a time.
    const auto* bytes = static_cast<const UCHAR*>(data);
    while (size > 0) {
      const ULONG piece = static_cast<ULONG>(std::min<size_t>(size, 1u << 30));
      if (!Succeeded(::BCryptHashData(hash_.Get(), const_cast<PUCHAR>(bytes), piece, 0)))
        throw EReadError(u"Stream read error");
      bytes += piece;
      size -= piece;
    }
  }
  Sha256Digest Finish() override {
    Sha256Digest digest;
    if (!Succeeded(::BCryptFinishHash(hash_.Get(), digest.data(), digest.size(), 0)))
      throw EReadError(u"Stream read error");
    return digest;
  }

 private:
  ScopedAlgorithm algorithm_;
  std::vector<UCHAR> object_;
  ScopedHash hash_;  // destroyed before the memory it lives in
};

class CngVerifier : public SignatureVerifier {
 public:
  std::unique_ptr<Sha256Hasher> NewSha256() override { return std::make_unique<Sha256>(); }

  bool VerifyEcdsaP256Sha256(const EcdsaP256PublicKey& key, std::string_view message,
                             const EcdsaP256Signature& signature) override {
    if (key[0] != 0x04) return false;
    Sha256 hash;
    hash.Update(message.data(), message.size());
    Sha256Digest digest = hash.Finish();

    // BCRYPT_ECCPUBLIC_BLOB: the header, then X and Y without the point's 04 prefix.
    std::vector<UCHAR> blob(sizeof(BCRYPT_ECCKEY_BLOB) + 64);
    BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
    memcpy(blob.data(), &header, sizeof header);
    memcpy(blob.data() + sizeof header, key.data() + 1, 64);

    const ScopedAlgorithm ecdsa = OpenAlgorithm(BCRYPT_ECDSA_P256_ALGORITHM);
    BCRYPT_KEY_HANDLE handle = nullptr;
    if (!ecdsa || !Succeeded(::BCryptImportKeyPair(ecdsa.Get(), nullptr, BCRYPT_ECCPUBLIC_BLOB,
                                                   &handle, blob.data(),
                                                   static_cast<ULONG>(blob.size()), 0)))
      return false;
    const ScopedKey publicKey(handle);
    return Succeeded(::BCryptVerifySignature(publicKey.Get(), nullptr, digest.data(),
                                             digest.size(), const_cast<UCHAR*>(signature.data()),
                                             signature.size(), 0));
  }
};

}  // namespace

std::unique_ptr<SignatureVerifier> CreateSignatureVerifier() {
  return std::make_unique<CngVerifier>();
}

}  // namespace tallyx
