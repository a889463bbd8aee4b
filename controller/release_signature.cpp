#include "controller/release_signature.h"

#include <algorithm>

#include "base/errors.h"
#include "base/text.h"

namespace tallyx {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

template <size_t N>
std::optional<std::array<uint8_t, N>> DecodeFixed(std::string_view text) {
  const auto bytes = DecodeBase64(text);
  if (!bytes || bytes->size() != N) return std::nullopt;
  std::array<uint8_t, N> out;
  std::copy(bytes->begin(), bytes->end(), out.begin());
  return out;
}

template <size_t N>
std::string_view AsBytes(const std::array<uint8_t, N>& data) {
  return {reinterpret_cast<const char*>(data.data()), N};
}

}  // namespace

std::optional<std::string> DecodeBase64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    const size_t pad = last ? (text[i + 3] == '=') + (text[i + 2] == '=' && text[i + 3] == '=') : 0;
    uint32_t group = 0;
    for (size_t k = 0; k < 4 - pad; ++k) {
      const int v = Base64Value(text[i + k]);
      if (v < 0) return std::nullopt;
      group = group << 6 | static_cast<uint32_t>(v);
    }
    group <<= 6 * pad;
    // Only one canonical spelling is accepted: the bits below the last byte must be 0.
    if (group & ((1u << (8 * pad)) - 1)) return std::nullopt;
    for (size_t k = 0; k < 3 - pad; ++k) out.push_back(static_cast<char>(group >> (16 - 8 * k)));
  }
  return out;
}

std::string EncodeBase64(std::string_view bytes) {
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t n = std::min<size_t>(3, bytes.size() - i);
    uint32_t group = 0;
    for (size_t k = 0; k < 3; ++k)
      group = group << 8 | (k < n ? static_cast<uint8_t>(bytes[i + k]) : 0u);
    for (size_t k = 0; k < 4; ++k) out.push_back(k <= n ? kAlphabet[group >> (18 - 6 * k) & 63] : '=');
  }
  return out;
}

std::string LowerHex(const Sha256Digest& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : digest) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 15]);
  }
  return out;
}

std::optional<EcdsaP256Signature> ParseSignatureFile(std::string_view body) {
  if (body.ends_with("\r\n")) body.remove_suffix(2);
  else if (body.ends_with('\n')) body.remove_suffix(1);
  return DecodeFixed<64>(body);
}

std::string FormatSignatureFile(const EcdsaP256Signature& signature) {
  return EncodeBase64(AsBytes(signature)) + "\r\n";
}

std::vector<EcdsaP256PublicKey> ParseReleaseKeys(std::string_view list) {
  std::vector<EcdsaP256PublicKey> keys;
  constexpr std::string_view kSeparators = ",; \t\r\n";
  size_t pos = 0;
  while ((pos = list.find_first_not_of(kSeparators, pos)) != std::string_view::npos) {
    const size_t end = std::min(list.find_first_of(kSeparators, pos), list.size());
    const std::string_view text = list.substr(pos, end - pos);
    const auto key = DecodeFixed<65>(text);
    if (!key || (*key)[0] != 0x04)
      throw EConvertError(u"'" + U16(text) + u"' is not a valid ECDSA P-256 public key");
    keys.push_back(*key);
    pos = end;
  }
  return keys;
}

std::string FormatPublicKey(const EcdsaP256PublicKey& key) { return EncodeBase64(AsBytes(key)); }

std::string ReleaseSignedMessage(std::u16string_view version, const Sha256Digest& archiveHash) {
  return "TallyxUpdater release\n" + EncodeUtf8(version) + "\n" + LowerHex(archiveHash);
}

std::string ReleaseIndexSignedMessage(std::u16string_view version, const Sha256Digest& indexHash) {
  return "TallyxUpdater release index\n" + EncodeUtf8(version) + "\n" + LowerHex(indexHash);
}

bool ReleaseSignatures::IndexIsSigned(std::u16string_view version, std::string_view index,
                                      std::string_view signatureFile) {
  const auto hash = verifier_.NewSha256();
  hash->Update(index.data(), index.size());
  return IsSignedByAnyKey(ReleaseIndexSignedMessage(version, hash->Finish()), signatureFile);
}

bool ReleaseSignatures::IsSignedByAnyKey(std::string_view message,
                                         std::string_view signatureFile) {
  const auto signature = ParseSignatureFile(signatureFile);
  if (!signature) return false;
  return std::any_of(keys_.begin(), keys_.end(), [&](const EcdsaP256PublicKey& key) {
    return verifier_.VerifyEcdsaP256Sha256(key, message, *signature);
  });
}

}  // namespace tallyx
