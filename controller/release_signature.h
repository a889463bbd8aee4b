#pragma once
// Signed releases: the vendor signs the manifest body and, for each archive, a short
// text binding the release's version to the archive's SHA-256. A build configured
// without release keys checks nothing.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "controller/operations/signatures.h"

namespace tallyx {

// Standard base64 with padding; nullopt for anything else (blanks, line breaks, a
// missing pad, non-zero bits in the last character).
std::optional<std::string> DecodeBase64(std::string_view text);
std::string EncodeBase64(std::string_view bytes);

std::string LowerHex(const Sha256Digest& digest);

// A ".sig" file: one line, the base64 of r || s, optionally ended by LF or CR LF.
std::optional<EcdsaP256Signature> ParseSignatureFile(std::string_view body);
std::string FormatSignatureFile(const EcdsaP256Signature& signature);

// The key list the build is configured with: base64 public keys separated by commas,
// semicolons or blanks. A malformed key raises EConvertError.
std::vector<EcdsaP256PublicKey> ParseReleaseKeys(std::string_view list);
std::string FormatPublicKey(const EcdsaP256PublicKey& key);

// What the archive's signature covers: "TallyxUpdater release\n", the version text in
// UTF-8, "\n", the archive's SHA-256 in lower-case hexadecimal.
std::string ReleaseSignedMessage(std::u16string_view version, const Sha256Digest& archiveHash);

// What an index's signature covers: "TallyxUpdater release index\n", the version text in
// UTF-8, "\n", the index file's SHA-256 in lower-case hexadecimal.
std::string ReleaseIndexSignedMessage(std::u16string_view version, const Sha256Digest& indexHash);

// The index of the archive at `archiveUrl`, published beside it.
inline std::u16string IndexUrl(const std::u16string& archiveUrl) { return archiveUrl + u".index"; }
inline std::u16string SignatureUrl(const std::u16string& url) { return url + u".sig"; }

class ReleaseSignatures {
 public:
  ReleaseSignatures(SignatureVerifier& verifier, std::vector<EcdsaP256PublicKey> keys)
      : verifier_(verifier), keys_(std::move(keys)) {}

  bool Enabled() const { return !keys_.empty(); }
  bool IsSignedByAnyKey(std::string_view message, std::string_view signatureFile);
  bool ManifestIsSigned(std::string_view body, std::string_view signatureFile) {
    return IsSignedByAnyKey(body, signatureFile);
  }
  // `content`: the SHA-256 of the archive as the reader that extracts it holds it.
  bool ArchiveIsSigned(std::u16string_view version, const Sha256Digest& content,
                       std::string_view signatureFile) {
    return IsSignedByAnyKey(ReleaseSignedMessage(version, content), signatureFile);
  }
  // `index`: the index file's bytes as fetched.
  bool IndexIsSigned(std::u16string_view version, std::string_view index,
                     std::string_view signatureFile);
  Sha256Factory& Hashes() { return verifier_; }

 private:
  SignatureVerifier& verifier_;
  std::vector<EcdsaP256PublicKey> keys_;
};

}  // namespace tallyx
