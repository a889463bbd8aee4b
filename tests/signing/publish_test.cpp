// tallyx-publish: names, manifest, build numbers, key round trips and whole releases.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>

#include "base/text.h"
#include "controller/release_signature.h"
#include "platform/signature.h"
#include "tools/publish/exe_file_version.h"
#include "tools/publish/publish.h"
#include "tools/publish/publish_error.h"
#include "tools/publish/signing_key.h"
#include "tools/zip_writer/zip_writer.h"
#include "zip/release_index.h"

namespace tallyx::publish {
namespace {
namespace fs = std::filesystem;

TEST(PublishNames, RefusesWhatTheUpdaterOrWindowsWouldRefuse) {
  struct Case {
    std::string name;
    bool valid;
  } cases[] = {
      {"tallyx.exe", true},
      {"docs/notes.txt", true},
      {"docs/caf\xC3\xA9 cr\xC3\xA8me.txt", true},
      {".hidden", true},
      {"CONSOLE.txt", true},
      {"", false},
      {"/etc/passwd", false},
      {"C:/Windows/win.ini", false},
      {"C:evil", false},
      {"../tallyx.exe", false},
      {"docs/../../x", false},
      {"docs/./x", false},
      {"docs//x", false},
      {"docs/", false},
      {"a\\b", false},
      {"a:b", false},
      {"what?", false},
      {"star*", false},
      {"quote\"", false},
      {"less<", false},
      {"more>", false},
      {"pipe|", false},
      {"tab\tname", false},
      {"trailing.", false},
      {"trailing ", false},
      {"CON", false},
      {"docs/nul.txt", false},
      {"Com1", false},
      {"lpt9.log", false},
      {"CONIN$", false},
      {"docs/conout$.txt", false},
      {"com\xC2\xB9.log", false},   // COM with a superscript 1
      {"LPT\xC2\xB3", false},
      {"nul/readme.txt", false},
      {"docs/a. /b", false},
      {"com0.log", true},
      {"com\xE2\x81\xB4.log", true},  // a superscript 4 is no digit there
      {"CONINx", true},
      {"caf\xE9", false},  // Latin-1 byte: not UTF-8
      {".~tx.journal", false},  // the updater's own files
      {"docs/.~TX0123ABCD.TMP", false},
      {"readme.txt.~txdeadbeef.bak", false},
      {".~txprobe42-7.tmp/x", false},
      {".~tx.journal.txt", true},
      {"a.~tx12345678.tmp", true},
  };
  for (const auto& c : cases) {
    bool valid = true;
    try {
      CheckEntryName(c.name);
    } catch (const PublishError&) {
      valid = false;
    }
    EXPECT_EQ(valid, c.valid) << c.name;
  }
}

TEST(PublishNames, RefusesNamesThatDifferOnlyInCase) {
  using Tree = std::map<std::string, std::optional<std::string>>;
  EXPECT_THROW(CheckReleaseNames(Tree{{"Docs", {}}, {"Docs/Read.txt", "a"}, {"docs", {}}}),
               PublishError);
  EXPECT_THROW(CheckReleaseNames(Tree{{"Docs/Read.txt", "a"}, {"Docs/read.TXT", "b"}}),
               PublishError);
  EXPECT_NO_THROW(CheckReleaseNames(Tree{{"Docs/Read.txt", "a"}, {"Docs/Read2.txt", "b"}}));
  // Beyond ASCII too, as Windows compares names and so the updater.
  struct Case {
    const char* a;
    const char* b;
    bool refused;
  } cases[] = {
      {"\xC3\x89t\xC3\xA9.txt", "\xC3\xA9t\xC3\xA9.txt", true},           // Été, été
      {"docs/\xD0\x81\xD0\xB6", "docs/\xD1\x91\xD0\x96", true},           // Ёж, ёЖ
      {"\xCE\xA3", "\xCF\x82", true},                                     // Σ, final ς
      {"stra\xC3\x9F" "e", "STRASSE", false},                             // ß is not SS
      {"\xC4\xB1.txt", "I.txt", false},                                   // dotless ı
      {"\xC2\xB5", "\xCE\x9C", false},                                    // micro sign, Μ
      {"a", "\xEF\xBD\x81", false},                                       // a, fullwidth a
  };
  for (const Case& c : cases) {
    bool refused = false;
    try {
      CheckReleaseNames(Tree{{c.a, "a"}, {c.b, "b"}});
    } catch (const PublishError& e) {
      refused = true;
      EXPECT_NE(std::string(e.what()).find("differs from it only in case"), std::string::npos)
          << e.what();
    }
    EXPECT_EQ(refused, c.refused) << c.a << " " << c.b;
  }
}

TEST(PublishDosTime, PacksLocalTimesAndClampsTheYears) {
  struct Case {
    int year, month, day, hour, minute, second;
    uint32_t packed;
  } cases[] = {
      {2021, 3, 5, 14, 30, 59, (41u << 9 | 3 << 5 | 5) << 16 | (14u << 11 | 30 << 5 | 29)},
      {1980, 1, 1, 0, 0, 0, (1u << 5 | 1) << 16},
      {1970, 6, 1, 12, 0, 0, (1u << 5 | 1) << 16},
      {2107, 12, 31, 23, 59, 58, (127u << 9 | 12 << 5 | 31) << 16 | (23u << 11 | 59 << 5 | 29)},
      {2200, 1, 1, 0, 0, 0, (127u << 9 | 12 << 5 | 31) << 16 | (23u << 11 | 59 << 5 | 29)},
      {2000, 2, 29, 1, 2, 60, (20u << 9 | 2 << 5 | 29) << 16 | (1u << 11 | 2 << 5 | 29)},
  };
  for (const auto& c : cases) {
    std::tm t{};
    t.tm_year = c.year - 1900;
    t.tm_mon = c.month - 1;
    t.tm_mday = c.day;
    t.tm_hour = c.hour;
    t.tm_min = c.minute;
    t.tm_sec = c.second;
    EXPECT_EQ(DosDateTime(t), c.packed) << c.year << "-" << c.month << "-" << c.day;
  }
}

TEST(PublishManifest, WritesThreeLinesThenTheHistoryWithCrLf) {
  struct Case {
    const char* name;
    std::string history;
    std::string tail;
  } cases[] = {
      {"no history", "", ""},
      {"LF", "a\nb\n", "a\r\nb\r\n"},
      {"CR LF", "a\r\nb\r\n", "a\r\nb\r\n"},
      {"lone CR", "a\rb", "a\r\nb\r\n"},
      {"no final break", "a\nb", "a\r\nb\r\n"},
      {"blank lines kept", "a\n\n\nb\n", "a\r\n\r\n\r\nb\r\n"},
      {"LF CR is two breaks", "a\n\rb", "a\r\n\r\nb\r\n"},
      {"blanks kept", "  a  \n", "  a  \r\n"},
      {"byte-order mark dropped", "\xEF\xBB\xBF" "a\n", "a\r\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(BuildManifest("4.2.7.1530", "05/03/2021", "http://h/dl/Tallyx_4.2.7.1530.zip",
                            c.history),
              "4.2.7.1530\r\n05/03/2021\r\nhttp://h/dl/Tallyx_4.2.7.1530.zip\r\n" + c.tail)
        << c.name;
  }
}

TEST(PublishBuildNumber, TakesThePlainDecimalAfterTheLastDot) {
  struct Case {
    const char* version;
    int64_t build;  // -1: refused
  } cases[] = {
      {"4.2.7.1530", 1530}, {"1530", 1530}, {"1.0.0.0", 0}, {"1.0.0.2147483647", 2147483647},
      {"1.0.0.2147483648", -1}, {"1.0.0.99999999999", -1}, {"4.2.7.", -1}, {"4.2.7.$1F", -1},
      {"4.2.7.-5", -1}, {"4.2.7. 15", -1}, {"4.2.7.15 ", -1}, {"", -1}, {"beta", -1},
  };
  for (const auto& c : cases) {
    int64_t build = -1;
    try {
      build = ReleaseBuildNumber(c.version);
    } catch (const PublishError&) {
    }
    EXPECT_EQ(build, c.build) << c.version;
  }
}

TEST(PublishKeys, SignaturesOfFreshKeysVerifyAndOnlyForTheirMessage) {
  const auto verifier = CreateSignatureVerifier();
  const SigningKey key = SigningKey::Generate(), other = SigningKey::Generate();
  const auto keys = ParseReleaseKeys(FormatPublicKey(key.PublicKey()));
  ASSERT_EQ(keys.size(), 1u);
  std::string message = "TallyxUpdater release\n";
  // Enough signatures that some r or s has leading zero bytes to pad.
  for (int i = 0; i < 200; ++i) {
    message.push_back(static_cast<char>(i));
    const EcdsaP256Signature sig = key.Sign(message);
    EXPECT_TRUE(verifier->VerifyEcdsaP256Sha256(keys[0], message, sig)) << i;
    EXPECT_FALSE(verifier->VerifyEcdsaP256Sha256(keys[0], message + "x", sig)) << i;
    EXPECT_FALSE(verifier->VerifyEcdsaP256Sha256(other.PublicKey(), message, sig)) << i;
  }
}

// A program image as a linker and a resource compiler lay it out: a PE32 (or PE32+)
// header, one section .rsrc, its resource tree (type 16, name 1, one language) and a
// VS_VERSIONINFO whose string tables hold `tables` ({key, {name, value}}) and whose
// translation table is `translation`.
struct VersionTables {
  std::vector<std::pair<std::u16string, std::vector<std::pair<std::u16string, std::u16string>>>> tables;
  std::vector<uint16_t> translation;
};

void Put(std::string& out, uint64_t at, uint32_t value, int size) {
  if (out.size() < at + size) out.resize(at + size);
  SetLE(out, at, value, size);
}
void Pad4(std::string& out) { out.resize((out.size() + 3) & ~size_t(3)); }

std::string Utf16z(const std::u16string& text) {
  std::string bytes;
  for (const char16_t c : text + u'\0') PutLE(bytes, c, 2);
  return bytes;
}

std::string VersionNode(const std::u16string& key, const std::string& value, bool text,
                        const std::vector<std::string>& children) {
  std::string node(6, '\0');
  node += Utf16z(key);
  Pad4(node);
  node += value;
  for (const std::string& child : children) {
    Pad4(node);
    node += child;
  }
  Put(node, 0, uint32_t(node.size()), 2);
  Put(node, 2, uint32_t(text ? value.size() / 2 : value.size()), 2);
  Put(node, 4, text ? 1 : 0, 2);
  return node;
}

std::string ProgramImage(const VersionTables& v, bool plus = false) {
  std::vector<std::string> tables;
  for (const auto& [key, strings] : v.tables) {
    std::vector<std::string> values;
    for (const auto& [name, text] : strings) values.push_back(VersionNode(name, Utf16z(text), true, {}));
    tables.push_back(VersionNode(key, "", true, values));
  }
  std::string translation;
  for (const uint16_t word : v.translation) PutLE(translation, word, 2);
  const std::string info = VersionNode(
      u"VS_VERSION_INFO", std::string(52, '\0'), false,
      {VersionNode(u"StringFileInfo", "", true, tables),
       VersionNode(u"VarFileInfo", "", true, {VersionNode(u"Translation", translation, false, {})})});
  constexpr uint32_t kRva = 0x1000, kRaw = 0x200;
  std::string rsrc;
  const auto directory = [&](uint64_t at, uint32_t id, uint32_t target) {
    Put(rsrc, at + 14, 1, 2);  // one entry with a numeric id
    Put(rsrc, at + 16, id, 4);
    Put(rsrc, at + 20, target, 4);
  };
  directory(0x00, 16, 0x18 | 0x80000000);
  directory(0x18, 1, 0x30 | 0x80000000);
  directory(0x30, 0x040C, 0x48);
  Put(rsrc, 0x48, kRva + 0x58, 4);
  Put(rsrc, 0x4C, uint32_t(info.size()), 4);
  rsrc.resize(0x58);
  rsrc += info;
  std::string image;
  Put(image, 0, 0x5A4D, 2);
  Put(image, 0x3C, 0x40, 4);
  Put(image, 0x40, 0x00004550, 4);
  const uint32_t optionalSize = plus ? 240 : 224;
  Put(image, 0x44, plus ? 0x8664 : 0x14C, 2);
  Put(image, 0x46, 1, 2);
  Put(image, 0x54, optionalSize, 2);
  const uint64_t optional = 0x58, directories = optional + (plus ? 112 : 96);
  Put(image, optional, plus ? 0x20B : 0x10B, 2);
  Put(image, directories - 4, 16, 4);
  Put(image, directories + 16, kRva, 4);
  Put(image, directories + 20, uint32_t(rsrc.size()), 4);
  const uint64_t section = optional + optionalSize;
  image.resize(section + 40);
  image.replace(section, 5, ".rsrc");
  Put(image, section + 8, uint32_t(rsrc.size()), 4);
  Put(image, section + 12, kRva, 4);
  Put(image, section + 16, uint32_t((rsrc.size() + 0x1FF) & ~0x1FFu), 4);
  Put(image, section + 20, kRaw, 4);
  image.resize(kRaw);
  image += rsrc;
  image.resize(kRaw + ((rsrc.size() + 0x1FF) & ~0x1FFu));
  return image;
}

std::string ProgramOfVersion(const std::u16string& version) {
  return ProgramImage({{{u"040C04B0", {{u"CompanyName", u"Vantrel"}, {u"FileVersion", version}}}},
                       {0x040C, 0x04B0}});
}

TEST(ExecutableFileVersion, ReadsTheTableTheTranslationNames) {
  const std::u16string v = u"4.2.7.1530";
  const struct {
    const char* name;
    std::string image;
    std::optional<std::u16string> version;
  } cases[] = {
      {"32-bit program", ProgramOfVersion(v), v},
      {"64-bit program", ProgramImage({{{u"040C04B0", {{u"FileVersion", v}}}}, {0x040C, 0x04B0}}, true), v},
      {"keys in another case",
       ProgramImage({{{u"040c04b0", {{u"fileversion", v}}}}, {0x040C, 0x04B0}}), v},
      {"the second table named",
       ProgramImage({{{u"040904B0", {{u"FileVersion", u"1.0"}}}, {u"040C04E4", {{u"FileVersion", v}}}},
                     {0x040C, 0x04E4, 0x0409, 0x04B0}}),
       v},
      {"a table the translation does not name",
       ProgramImage({{{u"040904B0", {{u"FileVersion", v}}}}, {0x040C, 0x04B0}}), std::nullopt},
      {"no translation", ProgramImage({{{u"040C04B0", {{u"FileVersion", v}}}}, {}}), std::nullopt},
      {"no FileVersion", ProgramImage({{{u"040C04B0", {{u"ProductVersion", v}}}}, {0x040C, 0x04B0}}),
       std::nullopt},
      {"an empty FileVersion", ProgramOfVersion(u""), u""},
      {"not a program", "MZ!!", std::nullopt},
      {"nothing", "", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ExecutableFileVersion(c.image), c.version) << c.name;
}

// Every cut and every byte changed in a program's headers and resource: the reader stays
// inside the image and finds the version or nothing (the sanitizers watch the reads).
TEST(ExecutableFileVersion, CutOrChangedImagesAreReadWithinTheirBounds) {
  const std::u16string v = u"4.2.7.1530";
  const std::string image = ProgramOfVersion(v);
  const size_t end = image.find_last_not_of('\0') + 1;
  // A cut anywhere before the resource's last byte leaves a length that runs past the end.
  for (size_t size = 0; size < end; ++size)
    EXPECT_EQ(ExecutableFileVersion(image.substr(0, size)), std::nullopt) << size;
  EXPECT_EQ(ExecutableFileVersion(image.substr(0, end)), v);
  for (size_t at = 0; at < end; ++at) {
    for (const char byte : {'\xFF', '\x00', '\x7F'}) {
      std::string changed = image;
      changed[at] = byte;
      (void)ExecutableFileVersion(changed);
    }
  }
}

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class PublishRelease : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "publish-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    fs::create_directories(root_ / "release/docs/empty");
    std::ofstream(root_ / "release/tallyx.exe", std::ios::binary) << ProgramOfVersion(u"4.2.7.1530");
    std::ofstream(root_ / "release/docs/caf\xC3\xA9.txt") << "cr\xC3\xA8me\n";
    std::ofstream(root_ / "release/docs/zero.txt");
    std::ofstream(root_ / "history.txt") << "Nouveaut\xC3\xA9s\n- un\n";
    std::ofstream(root_ / "published.ver") << "4.2.7.1529\r\n05/03/2021\r\n";
    std::ostringstream ignored;
    Keygen((root_ / "key.pem").string(), ignored);
    key_ = ParseReleaseKeys(ignored.str());
    options_ = {(root_ / "key.pem").string(), "4.2.7.1530", "05/03/2021",
                (root_ / "history.txt").string(), "http://h/dl", (root_ / "out").string(),
                (root_ / "release").string(), std::nullopt};
  }
  void TearDown() override { fs::remove_all(root_); }

  std::vector<std::string> Published() {
    std::vector<std::string> names;
    if (fs::exists(root_ / "out"))
      for (const auto& e : fs::directory_iterator(root_ / "out"))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path root_;
  std::vector<EcdsaP256PublicKey> key_;
  ReleaseOptions options_;
};

TEST_F(PublishRelease, WritesAVerifiableReleaseThatExtractsToTheSameTree) {
  std::ostringstream log;
  Release(options_, ExtractLikeTheUpdater, log);
  EXPECT_EQ(Published(), (std::vector<std::string>{"Tallyx_4.2.7.1530.zip",
                                                   "Tallyx_4.2.7.1530.zip.index",
                                                   "Tallyx_4.2.7.1530.zip.index.sig",
                                                   "Tallyx_4.2.7.1530.zip.sig", "tallyx.ver",
                                                   "tallyx.ver.sig"}));
  const std::string manifest = Slurp(root_ / "out/tallyx.ver");
  EXPECT_EQ(manifest,
            "4.2.7.1530\r\n05/03/2021\r\nhttp://h/dl/Tallyx_4.2.7.1530.zip\r\n"
            "Nouveaut\xC3\xA9s\r\n- un\r\n");
  const auto verifier = CreateSignatureVerifier();
  ReleaseSignatures signatures(*verifier, key_);
  EXPECT_TRUE(signatures.ManifestIsSigned(manifest, Slurp(root_ / "out/tallyx.ver.sig")));
  const std::string zip = Slurp(root_ / "out/Tallyx_4.2.7.1530.zip");
  const auto hash = verifier->NewSha256();
  hash->Update(zip.data(), zip.size());
  EXPECT_TRUE(signatures.ArchiveIsSigned(u"4.2.7.1530", hash->Finish(),
                                         Slurp(root_ / "out/Tallyx_4.2.7.1530.zip.sig")));
  // Every entry carries the UTF-8 name flag (general purpose bit 11).
  size_t headers = 0;
  for (size_t at = zip.find("PK\x01\x02"); at != std::string::npos; at = zip.find("PK\x01\x02", at + 4)) {
    ++headers;
    EXPECT_EQ(zip[at + 9] & 0x08, 0x08) << at;
  }
  EXPECT_EQ(headers, 5u);
}

TEST_F(PublishRelease, FailuresLeaveNothingInTheOutputFolder) {
  struct Case {
    const char* name;
    std::function<void(ReleaseOptions&, const fs::path&)> change;
    const char* reason;  // part of the message
  } cases[] = {
      {"missing key", [](ReleaseOptions& o, const fs::path& r) { o.keyFile = (r / "none.pem").string(); }, "cannot read the key file"},
      {"key file not a key", [](ReleaseOptions& o, const fs::path&) { o.keyFile = o.historyFile; }, "holds no private key"},
      {"build not a number", [](ReleaseOptions& o, const fs::path&) { o.version = "4.2.7.x"; }, "is not a decimal number"},
      {"version with a slash", [](ReleaseOptions& o, const fs::path&) { o.version = "4/2.1530"; }, "file name"},
      {"date on two lines", [](ReleaseOptions& o, const fs::path&) { o.date = "05/03\n2021"; }, "the date must be one line"},
      {"unreadable history", [](ReleaseOptions& o, const fs::path& r) { o.historyFile = (r / "none.txt").string(); }, "cannot read"},
      {"history not UTF-8", [](ReleaseOptions& o, const fs::path& r) {
         std::ofstream(r / "latin1.txt") << "Nouveaut\xE9s\n";
         o.historyFile = (r / "latin1.txt").string();
       }, "is not UTF-8"},
      {"history with NUL", [](ReleaseOptions& o, const fs::path& r) {
         std::ofstream(r / "nul.txt") << std::string("a\0b", 3);
         o.historyFile = (r / "nul.txt").string();
       }, "NUL"},
      {"build not above the published one", [](ReleaseOptions& o, const fs::path& r) {
         o.version = "4.2.8.1529";
         o.previous = (r / "published.ver").string();
       }, "not above the published build 1529"},
      {"published manifest unreadable", [](ReleaseOptions& o, const fs::path& r) { o.previous = (r / "none.ver").string(); }, "none.ver"},
      {"published manifest address unreachable", [](ReleaseOptions& o, const fs::path&) { o.previous = "http://127.0.0.1:9/dl/tallyx.ver"; }, "curl failed"},
      {"version with a tab", [](ReleaseOptions& o, const fs::path&) { o.version = "4.2\t7.1530"; }, "file name"},
      {"symbolic link", [](ReleaseOptions&, const fs::path& r) { fs::create_symlink("/etc/passwd", r / "release/link"); }, "a symbolic link"},
      {"missing release folder", [](ReleaseOptions& o, const fs::path& r) { o.releaseFolder = (r / "none").string(); }, "does not exist"},
      {"program of another version", [](ReleaseOptions&, const fs::path& r) {
         std::ofstream(r / "release/tallyx.exe", std::ios::binary) << ProgramOfVersion(u"4.2.7.1529");
       }, "reports version 4.2.7.1529, not 4.2.7.1530"},
      {"program without a version", [](ReleaseOptions&, const fs::path& r) {
         std::ofstream(r / "release/tallyx.exe", std::ios::binary) << "MZ!!";
       }, "has no FileVersion"},
      {"no program", [](ReleaseOptions&, const fs::path& r) { fs::remove(r / "release/tallyx.exe"); },
       "holds no tallyx.exe"},
  };
  for (const auto& c : cases) {
    TearDown();
    SetUp();
    ReleaseOptions o = options_;
    c.change(o, root_);
    std::ostringstream log;
    try {
      Release(o, ExtractLikeTheUpdater, log);
      ADD_FAILURE() << c.name << ": published";
    } catch (const PublishError& e) {
      EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << c.name << ": " << e.what();
    }
    EXPECT_EQ(Published(), std::vector<std::string>()) << c.name;
  }
}

TEST_F(PublishRelease, NamesTheUpdaterRefusesStopTheReleaseBeforeAnythingIsWritten) {
  struct Case {
    std::string path;  // under the release folder; a trailing "/" makes a folder
    const char* reason;
  } cases[] = {
      {"aux.txt", "a device name"},
      {"CONIN$", "a device name"},
      {"docs/ConOut$.log", "a device name"},
      {"com\xC2\xB9.log", "a device name"},
      {"docs/lpt\xC2\xB2/", "a device name"},
      {"NUL/", "a device name"},
      {"docs/a:b", "a character Windows does not allow"},
      {"what?.txt", "a character Windows does not allow"},
      {"a\\b.txt", "a character Windows does not allow"},
      {"tab\there", "a character Windows does not allow"},
      {"docs/trailing.", "ending in a blank or a dot"},
      {"trailing /", "ending in a blank or a dot"},
      {"caf\xE9.txt", "not UTF-8"},
      {"DOCS/", "differs from it only in case"},
      {"docs/ZERO.TXT", "differs from it only in case"},
      {".~tx.journal", "keeps for its own files"},
      {"docs/zero.txt.~TX0BADF00D.bak", "keeps for its own files"},
      {".~tx0123abcd.tmp/", "keeps for its own files"},
  };
  for (const auto& c : cases) {
    TearDown();
    SetUp();
    const fs::path path = root_ / "release" / c.path;
    if (c.path.ends_with('/')) fs::create_directories(path);
    else std::ofstream(path) << "x";
    bool extracted = false;
    const ArchiveExtractor extract = [&](const std::string& a, const std::string& f) {
      extracted = true;
      ExtractLikeTheUpdater(a, f);
    };
    std::ostringstream log;
    try {
      Release(options_, extract, log);
      ADD_FAILURE() << c.path << ": published";
    } catch (const PublishError& e) {
      const std::string message = e.what();
      const std::string name = c.path.substr(0, c.path.size() - c.path.ends_with('/'));
      EXPECT_NE(message.find(c.reason), std::string::npos) << c.path << ": " << message;
      EXPECT_NE(message.find("\"" + name + "\""), std::string::npos) << c.path << ": " << message;
    }
    EXPECT_FALSE(extracted) << c.path;
    EXPECT_FALSE(fs::exists(root_ / "out")) << c.path;
  }
}

TEST_F(PublishRelease, AnArchiveThatDoesNotExtractToTheTreeIsNotPublished) {
  struct Case {
    const char* name;
    ArchiveExtractor extract;
  } cases[] = {
      {"extracts nothing", [](const std::string&, const std::string&) {}},
      {"loses a file", [](const std::string& a, const std::string& f) {
         ExtractLikeTheUpdater(a, f);
         fs::remove(fs::path(f) / "docs/zero.txt");
       }},
      {"changes a byte", [](const std::string& a, const std::string& f) {
         ExtractLikeTheUpdater(a, f);
         std::ofstream(fs::path(f) / "tallyx.exe", std::ios::binary) << "MZ!!";
       }},
      {"adds a file", [](const std::string& a, const std::string& f) {
         ExtractLikeTheUpdater(a, f);
         std::ofstream(fs::path(f) / "extra.txt");
       }},
  };
  for (const auto& c : cases) {
    std::ostringstream log;
    EXPECT_THROW(Release(options_, c.extract, log), PublishError) << c.name;
    EXPECT_EQ(Published(), std::vector<std::string>()) << c.name;
  }
}

TEST_F(PublishRelease, ABuildAboveThePublishedOneIsAccepted) {
  options_.previous = (root_ / "published.ver").string();
  std::ostringstream log;
  EXPECT_NO_THROW(Release(options_, ExtractLikeTheUpdater, log));
  EXPECT_EQ(Published().size(), 6u);
}

TEST_F(PublishRelease, TheIndexIsSignedAndPlacesEveryEntryOfTheArchive) {
  std::ostringstream log;
  Release(options_, ExtractLikeTheUpdater, log);
  const std::string zip = Slurp(root_ / "out/Tallyx_4.2.7.1530.zip");
  const std::string text = Slurp(root_ / "out/Tallyx_4.2.7.1530.zip.index");
  const auto verifier = CreateSignatureVerifier();
  ReleaseSignatures signatures(*verifier, key_);
  EXPECT_TRUE(signatures.IndexIsSigned(u"4.2.7.1530", text,
                                       Slurp(root_ / "out/Tallyx_4.2.7.1530.zip.index.sig")));
  // Signed for its own version only, and not by the archive's signature.
  EXPECT_FALSE(signatures.IndexIsSigned(u"4.2.7.1531", text,
                                        Slurp(root_ / "out/Tallyx_4.2.7.1530.zip.index.sig")));
  EXPECT_FALSE(signatures.IndexIsSigned(u"4.2.7.1530", text,
                                        Slurp(root_ / "out/Tallyx_4.2.7.1530.zip.sig")));
  const auto index = ParseReleaseIndex(text);
  ASSERT_TRUE(index.has_value()) << text;
  EXPECT_EQ(index->archiveSize, zip.size());
  EXPECT_EQ(index->centralContent, Sha256Of(std::string_view(zip).substr(index->centralOffset)));
  EXPECT_EQ(zip.compare(index->centralOffset, 4, "PK\x01\x02"), 0);
  std::vector<std::string> names;
  uint64_t end = 0;
  for (const ReleaseIndexEntry& entry : index->entries) {
    std::string name = EncodeUtf8(entry.name);
    names.push_back(name);
    EXPECT_EQ(zip.compare(entry.offset, 4, "PK\x03\x04"), 0) << name;
    // The publisher writes the entries one after the other, without descriptors.
    EXPECT_EQ(entry.offset, end) << name;
    end = entry.offset + entry.length;
    if (entry.IsFolder()) name.pop_back();
    const std::string content =
        entry.IsFolder() ? std::string() : Slurp(root_ / "release" / name);
    EXPECT_EQ(entry.content, Sha256Of(content)) << name;
    EXPECT_EQ(entry.size, content.size()) << name;
    EXPECT_EQ(entry.crc32, Crc32(content)) << name;
  }
  EXPECT_EQ(end, index->centralOffset);
  EXPECT_EQ(names, (std::vector<std::string>{"docs/", "docs/caf\xC3\xA9.txt", "docs/empty/",
                                             "docs/zero.txt", "tallyx.exe"}));
}

// Archives of every shape the reader takes, indexed: each entry's bytes run from its
// local header to the next entry (its descriptor included), and its content is what it
// inflates to.
TEST(PublishIndex, PlacesEntriesOfEveryShapeAndRefusesWhatItCannotPlace) {
  const std::string big(70000, 'x');
  const auto dropDescriptorSignature = [](WrittenZip& zip) {
    // The last entry's descriptor lies just before the central directory.
    const size_t at = zip.centralOffset - 16;
    zip.bytes.erase(at, 4);
    zip.centralOffset -= 4;
    zip.endOffset -= 4;
    SetLE(zip.bytes, zip.endOffset + 16, zip.centralOffset, 4);
  };
  struct Case {
    const char* what;
    std::vector<ZipWriterEntry> entries;
    std::function<void(WrittenZip&)> change;
    std::vector<std::string> names;  // empty: refused
    const char* reason = "";
  } cases[] = {
      {"deflated, stored, folder",
       {{.name = "a.txt", .data = "hello hello hello"},
        {.name = "b.bin", .data = "raw", .method = 0},
        {.name = "dir/", .method = 0, .externalAttributes = kZipAttributeDirectory}},
       {}, {"a.txt", "b.bin", "dir/"}},
      {"larger than the reader's buffers", {{.name = "big", .data = big}, {.name = "s", .data = "s"}},
       {}, {"big", "s"}},
      {"descriptor with its signature",
       {{.name = "d1", .data = "one", .dataDescriptor = true},
        {.name = "d2", .data = big, .dataDescriptor = true}},
       {}, {"d1", "d2"}},
      {"descriptor without its signature",
       {{.name = "d1", .data = "one", .dataDescriptor = true},
        {.name = "d2", .data = big, .dataDescriptor = true}},
       dropDescriptorSignature, {"d1", "d2"}},
      {"local extra field and Unicode path",
       {{.name = "x.txt", .data = "x", .localExtra = UnicodePathField("x.txt", "\xC3\xA9.txt"),
         .centralExtra = std::string(9, '\0')},
        {.name = "y", .data = "y", .localExtra = std::string(100, '\x01')}},
       {}, {"\xC3\xA9.txt", "y"}},
      {"central CRC-32 not the data's", {{.name = "a", .data = "abc", .crc = 1}}, {}, {},
       "does not inflate to its CRC-32"},
      {"descriptor not the central directory's",
       {{.name = "a", .data = "abc", .dataDescriptor = true}},
       [](WrittenZip& z) { z.bytes[z.centralOffset - 4] ^= 1; }, {}, "the data descriptor of \"a\""},
      {"bytes before the archive", {{.name = "a", .data = "abc"}},
       [](WrittenZip& z) { z.bytes.insert(0, "MZ"); }, {}, "cannot be indexed"},
      {"cut short", {{.name = "a", .data = "abc"}},
       [](WrittenZip& z) { z.bytes.pop_back(); }, {}, "no end of central directory record"},
  };
  for (auto& c : cases) {
    WrittenZip zip = BuildZip(c.entries);
    if (c.change) c.change(zip);
    std::optional<ReleaseIndex> index;
    try {
      index = IndexArchive(zip.bytes);
    } catch (const PublishError& e) {
      EXPECT_TRUE(c.names.empty()) << c.what << ": " << e.what();
      EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << c.what << ": " << e.what();
      continue;
    }
    ASSERT_FALSE(c.names.empty()) << c.what << ": indexed";
    ASSERT_EQ(index->entries.size(), c.names.size()) << c.what;
    EXPECT_EQ(index->centralOffset, zip.centralOffset) << c.what;
    EXPECT_EQ(index->archiveSize, zip.bytes.size()) << c.what;
    EXPECT_EQ(ParseReleaseIndex(FormatReleaseIndex(*index)), index) << c.what;
    for (size_t i = 0; i < c.names.size(); ++i) {
      const ReleaseIndexEntry& e = index->entries[i];
      const uint64_t next = i + 1 < c.names.size() ? index->entries[i + 1].offset : zip.centralOffset;
      EXPECT_EQ(EncodeUtf8(e.name), c.names[i]) << c.what;
      EXPECT_EQ(e.offset, zip.localOffsets[i]) << c.what << " " << i;
      EXPECT_EQ(e.offset + e.length, next) << c.what << " " << i;
      EXPECT_EQ(e.content, Sha256Of(c.entries[i].data)) << c.what << " " << i;
      EXPECT_EQ(e.crc32, Crc32(c.entries[i].data)) << c.what << " " << i;
      EXPECT_EQ(e.size, c.entries[i].data.size()) << c.what << " " << i;
    }
  }
}

}  // namespace
}  // namespace tallyx::publish
