// Verdicts of this platform's verifier (OpenSSL natively, CNG on Windows) on releases
// made by tallyx-publish (vectors/, see make_vectors.sh).
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "base/errors.h"
#include "base/text.h"
#include "controller/release_signature.h"
#include "platform/signature.h"

namespace tallyx {
namespace {

std::string Read(const std::string& path) {
  std::ifstream in("vectors/" + path, std::ios::binary);
  EXPECT_TRUE(in) << path;
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<EcdsaP256PublicKey> Keys() { return ParseReleaseKeys(Read("keys.txt")); }
enum Key { kOld, kNew, kOther, kChanges };

std::string Flip(std::string data, size_t at) {
  data[at] = static_cast<char>(data[at] ^ 0x01);
  return data;
}

// The signature file with one bit of r or s changed.
std::string FlipSignature(const std::string& file, size_t byte) {
  auto sig = *ParseSignatureFile(file);
  sig[byte] ^= 0x80;
  return FormatSignatureFile(sig);
}

TEST(Verifier, ManifestVerdicts) {
  const auto keys = Keys();
  ASSERT_EQ(keys.size(), 4u);
  const std::string manifest = Read("new/tallyx.ver"), sig = Read("new/tallyx.ver.sig");
  struct Case {
    const char* name;
    std::vector<Key> trusted;
    std::string body, signature;
    bool valid;
  } cases[] = {
      {"signed by the new key, both trusted", {kOld, kNew}, manifest, sig, true},
      {"signed by the new key, trusted alone", {kNew}, manifest, sig, true},
      {"before the rotation", {kOld}, manifest, sig, false},
      {"no key trusted", {}, manifest, sig, false},
      {"first byte changed", {kOld, kNew}, Flip(manifest, 0), sig, false},
      {"build number changed", {kOld, kNew}, Flip(manifest, 9), sig, false},
      {"last byte changed", {kOld, kNew}, Flip(manifest, manifest.size() - 1), sig, false},
      {"a byte appended", {kOld, kNew}, manifest + "\n", sig, false},
      {"last byte cut", {kOld, kNew}, manifest.substr(0, manifest.size() - 1), sig, false},
      {"signed by an untrusted key", {kOld, kNew}, Read("other/tallyx.ver"),
       Read("other/tallyx.ver.sig"), false},
      {"older manifest's signature", {kOld, kNew}, manifest, Read("old/tallyx.ver.sig"), false},
      {"archive's signature", {kOld, kNew}, manifest, Read("new/Tallyx_4.2.7.1530.zip.sig"), false},
      {"r changed", {kOld, kNew}, manifest, FlipSignature(sig, 0), false},
      {"s changed", {kOld, kNew}, manifest, FlipSignature(sig, 32), false},
      {"r and s swapped", {kOld, kNew}, manifest,
       EncodeBase64(DecodeBase64(sig.substr(0, 88))->substr(32) +
                    DecodeBase64(sig.substr(0, 88))->substr(0, 32)),
       false},
      {"r and s zero", {kOld, kNew}, manifest, FormatSignatureFile({}), false},
      {"r and s all ones", {kOld, kNew}, manifest, FormatSignatureFile([] {
         EcdsaP256Signature s;
         s.fill(0xFF);
         return s;
       }()),
       false},
      {"empty signature file", {kOld, kNew}, manifest, "", false},
      {"signature twice", {kOld, kNew}, manifest, sig + sig, false},
  };
  const auto verifier = CreateSignatureVerifier();
  for (const auto& c : cases) {
    std::vector<EcdsaP256PublicKey> trusted;
    for (Key k : c.trusted) trusted.push_back(keys[k]);
    ReleaseSignatures signatures(*verifier, trusted);
    EXPECT_EQ(signatures.ManifestIsSigned(c.body, c.signature), c.valid) << c.name;
  }
}

TEST(Verifier, ArchiveVerdicts) {
  const auto keys = Keys();
  ASSERT_EQ(keys.size(), 4u);
  const std::string archive = Read("new/Tallyx_4.2.7.1530.zip");
  const std::string sig = Read("new/Tallyx_4.2.7.1530.zip.sig");
  const std::string older = Read("old/Tallyx_4.2.7.1529.zip");
  const std::string untrusted = Read("other/Tallyx_4.2.7.1530.zip");
  struct Case {
    const char* name;
    std::u16string version;
    std::string content;
    std::string signature;
    bool valid;
  } cases[] = {
      {"as published", u"4.2.7.1530", archive, sig, true},
      {"older archive with its own signature", u"4.2.7.1529", older,
       Read("old/Tallyx_4.2.7.1529.zip.sig"), true},
      {"older signed archive replayed under a newer manifest", u"4.2.7.1530",
       older, Read("old/Tallyx_4.2.7.1529.zip.sig"), false},
      {"newer version text", u"4.2.7.1531", archive, sig, false},
      {"version with a byte-order mark", u"\uFEFF" "4.2.7.1530", archive, sig,
       false},
      {"first byte changed", u"4.2.7.1530", Flip(archive, 0), sig, false},
      {"middle byte changed", u"4.2.7.1530", Flip(archive, archive.size() / 2), sig, false},
      {"last byte changed", u"4.2.7.1530", Flip(archive, archive.size() - 1), sig, false},
      {"bytes appended", u"4.2.7.1530", archive + "PK", sig, false},
      {"untrusted key", u"4.2.7.1530", untrusted,
       Read("other/Tallyx_4.2.7.1530.zip.sig"), false},
      {"manifest's signature", u"4.2.7.1530", archive,
       Read("new/tallyx.ver.sig"), false},
      {"s changed", u"4.2.7.1530", archive, FlipSignature(sig, 63), false},
  };
  const auto verifier = CreateSignatureVerifier();
  ReleaseSignatures signatures(*verifier, {keys[kOld], keys[kNew]});
  for (const auto& c : cases) {
    const auto hash = verifier->NewSha256();
    hash->Update(c.content.data(), c.content.size());
    EXPECT_EQ(signatures.ArchiveIsSigned(c.version, hash->Finish(), c.signature), c.valid)
        << c.name;
  }
}

// The indexes of the release of many files: its own, and the bent one, which must verify
// for the installation's refusal of it to mean anything.
TEST(Verifier, IndexVerdicts) {
  const auto keys = Keys();
  ASSERT_EQ(keys.size(), 4u);
  const auto verifier = CreateSignatureVerifier();
  ReleaseSignatures trusted(*verifier, {keys[kChanges]});
  ReleaseSignatures others(*verifier, {keys[kOld], keys[kNew]});
  const std::string index = Read("changes/Tallyx_4.2.7.1530.zip.index");
  const std::string sig = Read("changes/Tallyx_4.2.7.1530.zip.index.sig");
  EXPECT_TRUE(trusted.IndexIsSigned(u"4.2.7.1530", index, sig));
  EXPECT_TRUE(trusted.IndexIsSigned(u"4.2.7.1530", Read("changes/bent.index"),
                                    Read("changes/bent.index.sig")));
  EXPECT_FALSE(trusted.IndexIsSigned(u"4.2.7.1529", index, sig));
  EXPECT_FALSE(trusted.IndexIsSigned(u"4.2.7.1530", Flip(index, 40), sig));
  EXPECT_FALSE(trusted.IndexIsSigned(u"4.2.7.1530", index, Read("changes/Tallyx_4.2.7.1530.zip.sig")));
  EXPECT_FALSE(others.IndexIsSigned(u"4.2.7.1530", index, sig));
}

TEST(Verifier, KeyNotOnTheCurveVerifiesNothing) {
  auto keys = Keys();
  keys[kNew][64] ^= 0x01;  // Y no longer matches X
  const auto verifier = CreateSignatureVerifier();
  ReleaseSignatures signatures(*verifier, {keys[kNew]});
  EXPECT_FALSE(signatures.ManifestIsSigned(Read("new/tallyx.ver"), Read("new/tallyx.ver.sig")));
}

TEST(Verifier, HashesDataFedInPiecesOfAnySize) {
  const auto verifier = CreateSignatureVerifier();
  struct Case {
    size_t size;
    const char* sha256;
  } cases[] = {
      {0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {3, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {65536, "4b640d85ab3ba30fd02c9fc9db4a8928f416322ad27022ea58a65aaee68a4df2"},
      {65537, "237356e18b503616912abb8ffaed3a72591e397d4ac294c4637917d48a3f529d"},
  };
  for (const auto& c : cases) {
    std::string data;
    for (size_t i = 0; i < c.size; ++i) data.push_back(c.size == 3 ? "abc"[i] : static_cast<char>(i % 251));
    for (size_t piece : {size_t{1}, size_t{64}, size_t{65536}}) {
      const auto hash = verifier->NewSha256();
      for (size_t at = 0; at < data.size(); at += piece)
        hash->Update(data.data() + at, std::min(piece, data.size() - at));
      EXPECT_EQ(LowerHex(hash->Finish()), c.sha256) << c.size << " in pieces of " << piece;
    }
  }
}

}  // namespace
}  // namespace tallyx
