// The update check and the installation of a build with release keys, on fakes.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>

#include "controller/release_signature.h"
#include "controller/updater.h"
#include "tests/controller/fakes.h"

namespace tallyx {
namespace {

using fakes::Log;

// Answers each address with its own body; an absent address gives an empty body, as a
// failed transfer does.
class UrlWeb : public WebTextFetch {
 public:
  explicit UrlWeb(Log& log) : log_(log) {}
  std::string GetUrlText(const std::u16string& url) override {
    log_.push_back("GetUrlText " + EncodeUtf8(url));
    if (url == failing) throw EOSError(u"System Error.  Code: 12029.\r\n", 12029);
    const auto it = bodies.find(url);
    return it == bodies.end() ? std::string() : it->second;
  }
  std::map<std::u16string, std::string> bodies;
  std::u16string failing;

 private:
  Log& log_;
};

// A stand-in for ECDSA: a signature is valid when it equals FakeSign(key, message).
EcdsaP256Signature FakeSign(const EcdsaP256PublicKey& key, std::string_view message) {
  EcdsaP256Signature sig{};
  const size_t h = std::hash<std::string>()(std::string(key.begin(), key.end()) + "|" +
                                            std::string(message));
  for (size_t i = 0; i < sig.size(); ++i) sig[i] = static_cast<uint8_t>(h >> (i % 8 * 8));
  return sig;
}

// A stand-in for SHA-256 of the fetched texts (the archives hash their own content).
class FakeHasher : public Sha256Hasher {
 public:
  void Update(const void* data, size_t size) override {
    bytes_.append(static_cast<const char*>(data), size);
  }
  Sha256Digest Finish() override {
    Sha256Digest digest{};
    const size_t h = std::hash<std::string>()(bytes_);
    for (size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<uint8_t>(h >> (i % 8 * 8));
    return digest;
  }

 private:
  std::string bytes_;
};

class FakeVerifier : public SignatureVerifier {
 public:
  std::unique_ptr<Sha256Hasher> NewSha256() override { return std::make_unique<FakeHasher>(); }
  bool VerifyEcdsaP256Sha256(const EcdsaP256PublicKey& key, std::string_view message,
                             const EcdsaP256Signature& signature) override {
    return signature == FakeSign(key, message);
  }
};

EcdsaP256PublicKey Key(uint8_t id) {
  EcdsaP256PublicKey key{};
  key[0] = 0x04;
  key[1] = id;
  return key;
}
const EcdsaP256PublicKey kOldKey = Key(1), kNewKey = Key(2), kOtherKey = Key(3);

Sha256Digest Digest(uint8_t id) {
  Sha256Digest d{};
  d.fill(id);
  return d;
}

const char16_t kManifestUrl[] = u"http://127.0.0.1/dl/tallyx.ver";
const char16_t kSignatureUrl[] = u"http://127.0.0.1/dl/tallyx.ver.sig";
const char16_t kArchiveUrl[] = u"http://dl.example/Tallyx_4.2.7.1530.zip";
const char16_t kArchiveSigUrl[] = u"http://dl.example/Tallyx_4.2.7.1530.zip.sig";
const char16_t kArchive[] = u"Z:\\tallyx\\Tallyx_4.2.7.1530.zip";
const char16_t kInner[] = u"Z:\\tallyx\\tallyx.zip";
const std::string kManifest =
    "4.2.7.1530\r\n05/03/2021\r\nhttp://dl.example/Tallyx_4.2.7.1530.zip\r\nHistorique\r\n";

std::string SigFile(const EcdsaP256PublicKey& key, std::string_view message) {
  return FormatSignatureFile(FakeSign(key, message));
}

struct Harness {
  fakes::FakeOperations f;
  UrlWeb web{f.log};
  FakeVerifier verifier;
  ReleaseSignatures signatures;
  Updater updater;

  explicit Harness(std::vector<EcdsaP256PublicKey> keys, bool withSignatures = true,
                   ChangedEntriesFactory* changes = nullptr)
      : signatures(verifier, std::move(keys)),
        updater(Operations{web, f.downloads, f.files, f.exeVersion, f.keyboard, f.processes,
                           f.archives, f.window, f.clock, f.installFolder},
                kManifestUrl, withSignatures ? &signatures : nullptr, {}, changes) {
    updater.FormCreate();
    f.log.clear();
  }
  bool Offered() const {
    return std::find(f.log.begin(), f.log.end(), "ShowWindow") != f.log.end();
  }
  bool Fetched(const std::u16string& url) const {
    return std::find(f.log.begin(), f.log.end(), "GetUrlText " + EncodeUtf8(url)) != f.log.end();
  }
};

TEST(SignedCheck, OnlyASignedManifestIsOffered) {
  struct Case {
    const char* name;
    std::vector<EcdsaP256PublicKey> keys;
    std::string body, signature;
    bool withSignatures;
    bool offered, signatureFetched;
  } cases[] = {
      {"no keys: as before", {}, kManifest, "", true, true, false},
      {"no verification at all: as before", {kOldKey}, kManifest, "", false, true, false},
      {"signed", {kOldKey}, kManifest, SigFile(kOldKey, kManifest), true, true, true},
      {"signed by the rotated key", {kOldKey, kNewKey}, kManifest, SigFile(kNewKey, kManifest),
       true, true, true},
      {"signed by a key not yet trusted", {kOldKey}, kManifest, SigFile(kNewKey, kManifest), true,
       false, true},
      {"signed by a stranger", {kOldKey, kNewKey}, kManifest, SigFile(kOtherKey, kManifest), true,
       false, true},
      {"no signature file", {kOldKey}, kManifest, "", true, false, true},
      {"manifest changed after signing", {kOldKey},
       "4.2.7.1531" + kManifest.substr(10), SigFile(kOldKey, kManifest), true, false, true},
      {"manifest with a line break added", {kOldKey}, kManifest + "\r\n",
       SigFile(kOldKey, kManifest), true, false, true},
      {"signature of the empty body", {kOldKey}, "", SigFile(kOldKey, ""), true, false, true},
  };
  for (const auto& c : cases) {
    Harness h(c.keys, c.withSignatures);
    h.web.bodies = {{kManifestUrl, c.body}, {kSignatureUrl, c.signature}};
    h.updater.UpdateTimerTimer();
    EXPECT_EQ(h.Offered(), c.offered) << c.name;
    EXPECT_EQ(h.Fetched(kSignatureUrl), c.signatureFetched) << c.name;
    if (!c.offered) {
      EXPECT_EQ(h.f.log.back(), "Terminate") << c.name;
      EXPECT_TRUE(h.updater.State().ManifestLines.empty()) << c.name;
    }
  }
}

TEST(SignedCheck, SignatureFetchThatFailsEndsSilently) {
  Harness h({kOldKey});
  h.web.bodies = {{kManifestUrl, kManifest}};
  h.web.failing = kSignatureUrl;
  h.updater.UpdateTimerTimer();
  EXPECT_EQ(h.f.log, (Log{"DisableUpdateTimer", "GetUrlText http://127.0.0.1/dl/tallyx.ver",
                          "GetUrlText http://127.0.0.1/dl/tallyx.ver.sig", "Terminate"}));
}

const std::string kReleaseText = ReleaseSignedMessage(u"4.2.7.1530", Digest(7));

TEST(SignedInstall, OnlyASignedArchiveOfThisVersionIsOpened) {
  const std::string kSuccess = "Notice: " + EncodeUtf8(u"Mise \u00E0 jour effectu\u00E9 avec succ\u00E8s");
  const std::string kInstallError =
      "Notice: " + EncodeUtf8(u"Erreur dans l'installation du mise \u00E0 jour");
  const std::string kForcedError =
      "Notice: " + EncodeUtf8(u"Erreur dans la lecture du fichier mise \u00E0 jour");
  struct Case {
    const char* name;
    std::vector<EcdsaP256PublicKey> keys;
    bool downloaded;
    Sha256Digest content;
    std::string signature;
    bool forced;
    std::string notice;
  } cases[] = {
      {"signed", {kOldKey}, true, Digest(7), SigFile(kOldKey, kReleaseText), false, kSuccess},
      {"signed by the rotated key", {kOldKey, kNewKey}, true, Digest(7),
       SigFile(kNewKey, kReleaseText), false, kSuccess},
      {"archive changed", {kOldKey}, true, Digest(8), SigFile(kOldKey, kReleaseText), false,
       kInstallError},
      {"older signed archive replayed", {kOldKey}, true, Digest(7),
       SigFile(kOldKey, ReleaseSignedMessage(u"4.2.7.1529", Digest(7))), false, kInstallError},
      {"signed by a stranger", {kOldKey}, true, Digest(7), SigFile(kOtherKey, kReleaseText),
       false, kInstallError},
      {"no signature file", {kOldKey}, true, Digest(7), "", false, kInstallError},
      {"manifest's signature", {kOldKey}, true, Digest(7), SigFile(kOldKey, kManifest), false,
       kInstallError},
      {"download failed", {kOldKey}, false, Digest(7), SigFile(kOldKey, kReleaseText), false,
       kInstallError},
      {"forced, changed", {kOldKey}, true, Digest(8), SigFile(kOldKey, kReleaseText), true,
       kForcedError},
      {"forced, signed", {kOldKey}, true, Digest(7), SigFile(kOldKey, kReleaseText), true,
       kSuccess},
  };
  for (const auto& c : cases) {
    Harness h(c.keys);
    h.web.bodies = {{kManifestUrl, kManifest},
                    {kSignatureUrl, SigFile(c.keys.back(), kManifest)},
                    {kArchiveSigUrl, c.signature}};
    if (c.downloaded) h.f.archives.contents[kArchive] = c.content;
    h.updater.UpdateTimerTimer();
    ASSERT_TRUE(h.Offered()) << c.name;
    h.f.log.clear();
    if (c.forced) h.updater.ForcerleRetlechargement1Click();
    else h.updater.cxButton1Click();
    const Log& log = h.f.log;
    const auto at = [&](const std::string& entry) {
      return std::find(log.begin(), log.end(), entry) - log.begin();
    };
    const long end = static_cast<long>(log.size());
    // Checked through the opening that is extracted; nothing else is read before.
    EXPECT_EQ(at("Checked " + EncodeUtf8(kArchive)) < end, c.notice == kSuccess) << c.name;
    EXPECT_EQ(at("ExtractAll Z:\\tallyx, tallyx.exe last, hashing tallyx.zip") < end,
              c.notice == kSuccess)
        << c.name;
    EXPECT_LT(at(c.notice), end) << c.name;
    // Verified after the download; the signature is fetched before the archive is opened.
    EXPECT_LT(at("DownloadToFile " + EncodeUtf8(kArchiveUrl) + " -> " + EncodeUtf8(kArchive) +
                 " callback 1" + (c.forced ? " afresh" : "")),
              at("GetUrlText " + EncodeUtf8(kArchiveSigUrl)))
        << c.name;
    EXPECT_LT(at("GetUrlText " + EncodeUtf8(kArchiveSigUrl)), at("Open " + EncodeUtf8(kArchive)))
        << c.name;
    // This release delivered no nested archive: whatever lies in its place is not opened.
    EXPECT_EQ(at("Open " + EncodeUtf8(kInner)), end) << c.name;
    EXPECT_EQ(log.back(), "Show QuitButton") << c.name;
  }
}

// A download continued from a kept part may join two uploads of the archive: when such a
// file fails its check, it is fetched whole once more and checked again; a download made
// whole in one go is refused at once.
TEST(SignedInstall, AResumedArchiveThatFailsItsCheckIsFetchedWholeOnce) {
  const std::string kDownload = "DownloadToFile " + EncodeUtf8(kArchiveUrl) + " -> " +
                                EncodeUtf8(kArchive) + " callback 1";
  const std::string kSuccess =
      "Notice: " + EncodeUtf8(u"Mise \u00E0 jour effectu\u00E9 avec succ\u00E8s");
  const std::string kInstallError =
      "Notice: " + EncodeUtf8(u"Erreur dans l'installation du mise \u00E0 jour");
  const struct {
    const char* name;
    bool resumed;
    Sha256Digest first, whole;  // the file after the download, and after a whole one
    std::vector<std::string> downloads;
    std::string notice;
  } cases[] = {
      {"resumed, two uploads mixed", true, Digest(8), Digest(7),
       {kDownload, kDownload + " afresh"}, kSuccess},
      {"resumed, still not the signed one", true, Digest(8), Digest(9),
       {kDownload, kDownload + " afresh"}, kInstallError},
      {"resumed, signed", true, Digest(7), Digest(7), {kDownload}, kSuccess},
      {"whole, not signed", false, Digest(8), Digest(7), {kDownload}, kInstallError},
  };
  for (const auto& c : cases) {
    Harness h({kOldKey});
    h.web.bodies = {{kManifestUrl, kManifest},
                    {kSignatureUrl, SigFile(kOldKey, kManifest)},
                    {kArchiveSigUrl, SigFile(kOldKey, kReleaseText)}};
    h.updater.UpdateTimerTimer();
    ASSERT_TRUE(h.Offered()) << c.name;
    h.f.log.clear();
    int downloads = 0;
    h.f.downloads.whileDownloading = [&] {
      h.f.archives.contents[kArchive] = ++downloads == 1 ? c.first : c.whole;
      // Only the first download is continued from a kept part; the second is whole.
      h.f.downloads.resumed = c.resumed && downloads == 1;
    };
    h.updater.cxButton1Click();
    std::vector<std::string> seen;
    for (const std::string& entry : h.f.log)
      if (entry.rfind("DownloadToFile ", 0) == 0) seen.push_back(entry);
    EXPECT_EQ(seen, c.downloads) << c.name;
    EXPECT_NE(std::find(h.f.log.begin(), h.f.log.end(), c.notice), h.f.log.end()) << c.name;
  }
}

// The nested archive is extracted only when the file opened is, byte for byte, what the
// signed release just wrote: anything put in its place after the release's extraction
// undoes the whole installation, leaving the old program.
TEST(SignedInstall, OnlyTheNestedArchiveTheReleaseDeliveredIsExtracted) {
  struct Case {
    const char* name;
    std::optional<Sha256Digest> delivered;  // what the release wrote as tallyx.zip
    std::optional<Sha256Digest> opened;     // what the nested archive's opening holds
    bool nestedExtracted, programPlaced;
  } cases[] = {
      {"as delivered", Digest(5), Digest(5), true, true},
      {"changed after the release's extraction", Digest(5), Digest(6), false, false},
      {"gone after the release's extraction", Digest(5), std::nullopt, false, false},
      {"not delivered, one left from before", std::nullopt, Digest(6), false, true},
      {"not delivered, none there", std::nullopt, std::nullopt, false, true},
  };
  for (const auto& c : cases) {
    Harness h({kOldKey});
    h.web.bodies = {{kManifestUrl, kManifest},
                    {kSignatureUrl, SigFile(kOldKey, kManifest)},
                    {kArchiveSigUrl, SigFile(kOldKey, kReleaseText)}};
    h.f.archives.contents[kArchive] = Digest(7);
    if (c.delivered) h.f.archives.delivers[kArchive] = *c.delivered;
    if (c.opened) {
      h.f.archives.contents[kInner] = *c.opened;
      h.f.files.present.insert(kInner);
    } else {
      h.f.archives.failures[kInner] = fakes::ArchiveFailure::OpenFails;
    }
    h.updater.UpdateTimerTimer();
    h.f.log.clear();
    h.updater.cxButton1Click();
    const Log& log = h.f.log;
    const auto has = [&](const std::string& entry) {
      return std::find(log.begin(), log.end(), entry) != log.end();
    };
    EXPECT_EQ(has("Open " + EncodeUtf8(kInner)), c.delivered.has_value()) << c.name;
    EXPECT_EQ(has("Checked " + EncodeUtf8(kInner)), c.nestedExtracted) << c.name;
    EXPECT_EQ(std::count(log.begin(), log.end(), "ExtractAll Z:\\tallyx, tallyx.exe last"),
              c.nestedExtracted ? 1 : 0)
        << c.name;
    EXPECT_EQ(has("PlaceLastFile"), c.programPlaced) << c.name;
    EXPECT_EQ(log.back(), "Show QuitButton") << c.name;
  }
}

// Fetches nothing: writes what `content` says as the archive of changed entries.
class FakeChanges : public ChangedEntriesFactory {
 public:
  // The operations whose log and archives it writes to.
  void Serve(fakes::FakeOperations& f) {
    log_ = &f.log;
    archives_ = &f.archives;
  }
  bool fetches = true;
  std::string index;                    // what FetchIndex brings
  Sha256Digest written = Digest(9);     // what Content() says was written
  Sha256Digest onDisk = Digest(9);      // what the installation's opening then finds
  std::optional<Sha256Digest> innerUnchanged;

  std::unique_ptr<ChangedEntries> CreateChangedEntries(Downloads&) override {
    return std::make_unique<Entries>(*this);
  }

 private:
  class Entries : public ChangedEntries {
   public:
    explicit Entries(FakeChanges& owner) : owner_(owner) {}
    std::string FetchIndex(const std::u16string& url, DownloadCallback*) override {
      owner_.log_->push_back("FetchIndex " + EncodeUtf8(url));
      return owner_.index;
    }
    bool Fetch(const std::u16string& url, std::string_view index, const std::u16string& folder,
               const std::u16string& path, DownloadCallback*, const ArchiveProgress&) override {
      owner_.log_->push_back("Fetch " + EncodeUtf8(url) + " " + std::string(index) + " " +
                            EncodeUtf8(folder) + " -> " + EncodeUtf8(path));
      if (owner_.fetches) owner_.archives_->contents[path] = owner_.onDisk;
      return owner_.fetches;
    }
    uint64_t ArchiveSize(std::string_view index) const override { return index.empty() ? 0 : 777; }
    Sha256Digest Content() const override { return owner_.written; }
    std::optional<Sha256Digest> UnchangedContent(const std::u16string& name) const override {
      return name == u"tallyx.zip" ? owner_.innerUnchanged : std::nullopt;
    }
    void SetUnchangedTimes() override { owner_.log_->push_back("SetUnchangedTimes"); }
    void Remove(const std::u16string& path) override {
      owner_.log_->push_back("Remove " + EncodeUtf8(path));
    }

   private:
    FakeChanges& owner_;
  };
  Log* log_ = nullptr;
  fakes::FakeArchives* archives_ = nullptr;
};

// With a signed index, the entries that changed are fetched and installed; without one,
// with one the vendor did not sign, with a fetch that has any doubt, and for the forced
// variant, the whole archive as before.
TEST(SignedInstall, ChangedEntriesWhenTheIndexVerifiesElseTheWholeArchive) {
  const std::u16string kIndexUrl = std::u16string(kArchiveUrl) + u".index";
  const std::string kIndex = "TallyxUpdater index 1\n";
  const auto indexSig = [&](std::u16string_view version) {
    FakeHasher hash;
    hash.Update(kIndex.data(), kIndex.size());
    return SigFile(kOldKey, ReleaseIndexSignedMessage(version, hash.Finish()));
  };
  const std::string kChanges = "Z:\\tallyx\\Tallyx_changes.zip";
  const std::string kSuccess =
      "Notice: " + EncodeUtf8(u"Mise \u00E0 jour effectu\u00E9 avec succ\u00E8s");
  const std::string kInstallError =
      "Notice: " + EncodeUtf8(u"Erreur dans l'installation du mise \u00E0 jour");
  struct Case {
    const char* name;
    std::string index, signature;
    bool fetches;
    Sha256Digest onDisk;
    std::optional<Sha256Digest> innerUnchanged;
    bool forced;
    bool fetched, downloaded, nested;
    std::string notice;
  } cases[] = {
      {"from the changed entries", kIndex, indexSig(u"4.2.7.1530"), true, Digest(9), {}, false,
       true, false, false, kSuccess},
      {"nested archive unchanged", kIndex, indexSig(u"4.2.7.1530"), true, Digest(9), Digest(5),
       false, true, false, true, kSuccess},
      {"changed after its check", kIndex, indexSig(u"4.2.7.1530"), true, Digest(8), {}, false,
       true, false, false, kInstallError},
      {"the fetch had a doubt", kIndex, indexSig(u"4.2.7.1530"), false, Digest(9), {}, false,
       true, true, false, kSuccess},
      {"no index", "", "", true, Digest(9), {}, false, false, true, false, kSuccess},
      {"index unsigned", kIndex, "", true, Digest(9), {}, false, false, true, false, kSuccess},
      {"index of another version", kIndex, indexSig(u"4.2.7.1529"), true, Digest(9), {}, false,
       false, true, false, kSuccess},
      {"forced", kIndex, indexSig(u"4.2.7.1530"), true, Digest(9), {}, true, false, true, false,
       kSuccess},
      {"signature fetch broken", kIndex, "fails", true, Digest(9), {}, false, false, true,
       false, kSuccess},
  };
  for (const auto& c : cases) {
    FakeChanges served;
    served.fetches = c.fetches;
    served.onDisk = c.onDisk;
    served.innerUnchanged = c.innerUnchanged;
    Harness run({kOldKey}, true, &served);
    served.Serve(run.f);
    run.web.bodies = {{kManifestUrl, kManifest},
                      {kSignatureUrl, SigFile(kOldKey, kManifest)},
                      {kArchiveSigUrl, SigFile(kOldKey, kReleaseText)},
                      {kIndexUrl + u".sig", c.signature}};
    served.index = c.index;
    if (c.signature == "fails") run.web.failing = kIndexUrl + u".sig";
    run.f.archives.contents[kArchive] = Digest(7);
    run.f.archives.contents[kInner] = Digest(5);
    run.f.files.present.insert(kInner);
    run.updater.UpdateTimerTimer();
    ASSERT_TRUE(run.Offered()) << c.name;
    run.f.log.clear();
    if (c.forced) run.updater.ForcerleRetlechargement1Click();
    else run.updater.cxButton1Click();
    const Log& log = run.f.log;
    const auto has = [&](const std::string& prefix) {
      return std::any_of(log.begin(), log.end(),
                         [&](const std::string& entry) { return entry.rfind(prefix, 0) == 0; });
    };
    EXPECT_EQ(has("Fetch "), c.fetched) << c.name;
    EXPECT_EQ(has("DownloadToFile "), c.downloaded) << c.name;
    // After an index that verified, the whole archive is held to the length it gives.
    EXPECT_EQ(std::any_of(log.begin(), log.end(),
                          [](const std::string& e) { return e.ends_with(" of 777"); }),
              c.fetched && c.downloaded)
        << c.name;
    EXPECT_EQ(has("Open " + kChanges), c.fetched && !c.downloaded) << c.name;
    EXPECT_EQ(has("SetUnchangedTimes"), c.fetched && !c.downloaded && c.notice == kSuccess)
        << c.name;
    EXPECT_EQ(has("Checked " + EncodeUtf8(kInner)), c.nested) << c.name;
    EXPECT_TRUE(has(c.notice)) << c.name;
    // The forced variant never looks for an index.
    EXPECT_EQ(has("FetchIndex " + EncodeUtf8(kIndexUrl)), !c.forced) << c.name;
    // Whatever an earlier installation left is removed first; this one's, at the end.
    EXPECT_EQ(std::count(log.begin(), log.end(), "Remove " + kChanges), 2) << c.name;
    EXPECT_EQ(log.back(), "Show QuitButton") << c.name;
  }
}

TEST(SignedInstall, WithoutKeysNothingMoreIsFetchedOrHashed) {
  Harness h({});
  h.web.bodies = {{kManifestUrl, kManifest}};
  h.updater.UpdateTimerTimer();
  h.updater.cxButton1Click();
  for (const auto& entry : h.f.log) {
    EXPECT_EQ(entry.find(".sig"), std::string::npos) << entry;
    EXPECT_EQ(entry.find("Checked"), std::string::npos) << entry;
    EXPECT_EQ(entry.find("hashing"), std::string::npos) << entry;
  }
}

}  // namespace
}  // namespace tallyx
