#include "controller/release_signature.h"

#include <gtest/gtest.h>

#include "base/errors.h"

namespace tallyx {
namespace {

struct Base64Case {
  const char* text;
  std::optional<std::string> bytes;
};

const Base64Case kBase64Cases[] = {
    {"", std::string()},
    {"Zg==", std::string("f")},
    {"Zm8=", std::string("fo")},
    {"Zm9v", std::string("foo")},
    {"AP8A", std::string("\0\xFF\0", 3)},
    {"+/+/", std::string("\xFB\xFF\xBF")},
    {"Zg=", std::nullopt},         // length not a multiple of 4
    {"Zg", std::nullopt},          // pad missing
    {"Zh==", std::nullopt},        // bits below the last byte set
    {"Zm9=", std::nullopt},        // same with one pad
    {"Z===", std::nullopt},
    {"====", std::nullopt},
    {"Zg==Zg==", std::nullopt},    // pad inside the text
    {"Zm=v", std::nullopt},
    {"Zm9v\n", std::nullopt},
    {"Zm 9", std::nullopt},
    {"Zm-_", std::nullopt},        // the URL alphabet is another format
    {"Zm9\xC3", std::nullopt},
};

TEST(Base64, DecodesOnlyCanonicalPaddedText) {
  for (const auto& c : kBase64Cases) EXPECT_EQ(DecodeBase64(c.text), c.bytes) << c.text;
}

TEST(Base64, EncodingRoundTripsEveryLengthAndByte) {
  std::string bytes;
  for (int i = 0; i < 70; ++i) {
    EXPECT_EQ(DecodeBase64(EncodeBase64(bytes)), bytes) << i;
    bytes.push_back(static_cast<char>(i * 37 + 250));
  }
}

EcdsaP256Signature SampleSignature() {
  EcdsaP256Signature s;
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<uint8_t>(i * 7 + 1);
  return s;
}

TEST(SignatureFile, AcceptsOneLineOfBase64OfSixtyFourBytes) {
  const std::string line = EncodeBase64(
      std::string(reinterpret_cast<const char*>(SampleSignature().data()), 64));
  struct Case {
    const char* name;
    std::string body;
    bool valid;
  } cases[] = {
      {"bare line", line, true},
      {"LF", line + "\n", true},
      {"CR LF", line + "\r\n", true},
      {"as written", FormatSignatureFile(SampleSignature()), true},
      {"empty", "", false},
      {"only a line break", "\r\n", false},
      {"two line breaks", line + "\n\n", false},
      {"lone CR", line + "\r", false},
      {"extra line", line + "\r\n" + line + "\r\n", false},
      {"leading blank", " " + line, false},
      {"trailing blank", line + " \n", false},
      {"byte-order mark", "\xEF\xBB\xBF" + line, false},
      {"63 bytes", EncodeBase64(std::string(63, 'x')), false},
      {"65 bytes", EncodeBase64(std::string(65, 'x')), false},
      {"DER", EncodeBase64(std::string("\x30\x44\x02\x20", 4) + std::string(32, 'r') +
                           std::string("\x02\x20", 2) + std::string(32, 's')), false},
      {"not base64", std::string(88, '!'), false},
      {"hexadecimal", std::string(128, 'a'), false},
      {"one character cut", line.substr(1), false},
  };
  for (const auto& c : cases) {
    const auto parsed = ParseSignatureFile(c.body);
    EXPECT_EQ(parsed.has_value(), c.valid) << c.name;
    if (parsed) {
      EXPECT_EQ(*parsed, SampleSignature()) << c.name;
    }
  }
}

constexpr char kKeyA[] =
    "BKomK8DVf7m7Kd8bfCDNZty2LcaMWoAHCaMofugRg9JLNrm63J6EkNG0QDvG3MHjB4/w8ENSA6khbrWWWKyKtFU=";
constexpr char kKeyB[] =
    "BId2U8K6Fbpt7t4G1vvh1+5UjjM9NMEzFeaNJluyDCDYGNDxnAFAEZQuFgTpS7cRjA+Vsl7ZK8FUmZiJQCy/BRE=";

TEST(ReleaseKeys, ParsesSeparatedListsAndRefusesMalformedKeys) {
  const std::string a = kKeyA, b = kKeyB;
  struct Case {
    std::string list;
    size_t count;  // SIZE_MAX: EConvertError
  } cases[] = {
      {"", 0},
      {" ,; \n", 0},
      {a, 1},
      {a + "," + b, 2},
      {a + ";" + b, 2},
      {" " + a + "\r\n" + b + " ", 2},
      {a + ",," + a, 2},
      {a.substr(0, 87), SIZE_MAX},
      {a + "x", SIZE_MAX},
      {"C" + a.substr(1), SIZE_MAX},  // first byte 0x08: not an uncompressed point
      {a + ",junk", SIZE_MAX},
  };
  for (const auto& c : cases) {
    try {
      const auto keys = ParseReleaseKeys(c.list);
      EXPECT_EQ(keys.size(), c.count) << c.list;
      for (const auto& key : keys) EXPECT_TRUE(FormatPublicKey(key) == a || FormatPublicKey(key) == b);
    } catch (const EConvertError&) {
      EXPECT_EQ(c.count, SIZE_MAX) << c.list;
    }
  }
}

TEST(ReleaseMessage, BindsTheVersionTextToTheArchiveHash) {
  Sha256Digest digest;
  for (size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<uint8_t>(i * 9);
  const std::string hex = "0009121b242d363f48515a636c757e879099a2abb4bdc6cfd8e1eaf3fc050e17";
  struct Case {
    std::u16string version;
    std::string message;
  } cases[] = {
      {u"4.2.7.1530", "TallyxUpdater release\n4.2.7.1530\n" + hex},
      {u"", "TallyxUpdater release\n\n" + hex},
      {u"\uFEFF" "1.0.0.\u00E9", "TallyxUpdater release\n\xEF\xBB\xBF" "1.0.0.\xC3\xA9\n" + hex},
  };
  EXPECT_EQ(LowerHex(digest), hex);
  for (const auto& c : cases)
    EXPECT_EQ(ReleaseSignedMessage(c.version, digest), c.message) << c.message;
}

}  // namespace
}  // namespace tallyx
