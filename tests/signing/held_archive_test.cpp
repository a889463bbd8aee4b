// A signed installation with the real archive reader, the platform's file system and its
// SHA-256, against a file system that changes the archives behind the reader's back: what
// is installed is only ever what was checked.
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "controller/release_signature.h"
#include "controller/updater.h"
#include "platform/native_file_system.h"
#include "platform/signature.h"
#include "tests/controller/fakes.h"
#include "tests/zip/scratch.h"
#include "tools/zip_writer/zip_writer.h"
#include "zip/zip_archive.h"

namespace tallyx {
namespace {

namespace fs = std::filesystem;
using testing::ReadBytes;
using testing::ScratchFolder;
using testing::WriteBytes;

Sha256Digest Sha256Of(SignatureVerifier& verifier, const std::string& bytes) {
  const auto hash = verifier.NewSha256();
  hash->Update(bytes.data(), bytes.size());
  return hash->Finish();
}

// The platform's SHA-256; a signature is valid when it is the message's own digest.
class DigestSigner : public SignatureVerifier {
 public:
  std::unique_ptr<Sha256Hasher> NewSha256() override { return real_->NewSha256(); }
  bool VerifyEcdsaP256Sha256(const EcdsaP256PublicKey&, std::string_view message,
                             const EcdsaP256Signature& signature) override {
    return signature == Sign(message);
  }
  EcdsaP256Signature Sign(std::string_view message) {
    EcdsaP256Signature signature{};
    const Sha256Digest digest = Sha256Of(*real_, std::string(message));
    std::copy(digest.begin(), digest.end(), signature.begin());
    return signature;
  }
  std::unique_ptr<SignatureVerifier> real_ = CreateSignatureVerifier();
};

// Reads through another stream and calls `done` once, when its end is first reached.
class WatchedStream : public TStream {
 public:
  WatchedStream(std::unique_ptr<TStream> inner, std::function<void()> done)
      : inner_(std::move(inner)), done_(std::move(done)) {}
  size_t Read(void* buffer, size_t count) override {
    const size_t got = inner_->Read(buffer, count);
    if (done_ && inner_->Position() >= inner_->Size()) std::exchange(done_, nullptr)();
    return got;
  }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override { return inner_->Seek(offset, origin); }
  int64_t Size() override { return inner_->Size(); }

 private:
  std::unique_ptr<TStream> inner_;
  std::function<void()> done_;
};

// Serves a file's bytes held in memory.
class BytesStream : public TMemoryStream {
 public:
  explicit BytesStream(std::string bytes) : TMemoryStream({}), bytes_(std::move(bytes)) {
    static_cast<TMemoryStream&>(*this) = TMemoryStream(bytes_);
  }

 private:
  std::string bytes_;
};

// The platform's file system, with hooks on the openings of archives by file name.
class ChangingFileSystem : public FileSystem {
 public:
  // Called as a file is opened (its number of openings so far); may replace the stream.
  std::function<void(const std::u16string& path, int openings, std::unique_ptr<TStream>& stream)>
      onOpen;

  FsResult FullPath(const std::u16string& p, std::u16string& full) override { return real_->FullPath(p, full); }
  std::unique_ptr<TStream> OpenExclusive(const std::u16string& p, FsResult& r) override {
    return Opened(p, real_->OpenExclusive(p, r));
  }
  bool DriveExists(const std::u16string& p) override { return real_->DriveExists(p); }
  bool FolderExists(const std::u16string& p) override { return real_->FolderExists(p); }
  bool FileExists(const std::u16string& p) override { return real_->FileExists(p); }
  std::vector<std::u16string> CreateFolders(const std::u16string& f) override { return real_->CreateFolders(f); }
  FsResult RemoveFolder(const std::u16string& f) override { return real_->RemoveFolder(f); }
  FsResult CheckReplaceable(const std::u16string& p) override { return real_->CheckReplaceable(p); }
  std::u16string AccessDeniedText() override { return real_->AccessDeniedText(); }
  std::unique_ptr<OutputFile> OpenOutput(const std::u16string& p, OutputMode m, FsResult& r) override {
    return real_->OpenOutput(p, m, r);
  }
  FsResult MakeDurable(const std::vector<std::u16string>& f) override { return real_->MakeDurable(f); }
  FsResult SyncFolder(const std::u16string& f) override { return real_->SyncFolder(f); }
  FsResult Rename(const std::u16string& a, const std::u16string& b) override { return real_->Rename(a, b); }
  FsResult Replace(const std::u16string& a, const std::u16string& b) override { return real_->Replace(a, b); }
  FsResult RemoveFile(const std::u16string& p) override { return real_->RemoveFile(p); }
  int64_t LocalToUtc(int64_t s) override { return real_->LocalToUtc(s); }
  void SetFileTime(const std::u16string& p, FileTimeKind k, int64_t s) override { real_->SetFileTime(p, k, s); }
  void SetAttributes(const std::u16string& p, uint8_t a) override { real_->SetAttributes(p, a); }
  void Pause(int ms) override { real_->Pause(ms); }

 private:
  std::unique_ptr<TStream> Opened(const std::u16string& path, std::unique_ptr<TStream> stream) {
    const std::u16string name = path.substr(path.find_last_of(u"\\/") + 1);
    if (stream && onOpen) onOpen(name, ++openings_[name], stream);
    return stream;
  }
  std::unique_ptr<FileSystem> real_ = CreateNativeFileSystem();
  std::map<std::u16string, int> openings_;
};

const char kManifest[] =
    "4.2.7.1530\r\n05/03/2021\r\nhttp://127.0.0.1/dl/Tallyx_4.2.7.1530.zip\r\nHistorique\r\n";
const char16_t kReleaseName[] = u"Tallyx_4.2.7.1530.zip";

class UrlWeb : public WebTextFetch {
 public:
  std::string GetUrlText(const std::u16string& url) override { return bodies[url]; }
  std::map<std::u16string, std::string> bodies;
};

struct SignedInstallation {
  ScratchFolder folder;
  fakes::FakeOperations fakes;
  UrlWeb web;
  DigestSigner signer;
  ReleaseSignatures signatures{signer, {EcdsaP256PublicKey{4}}};
  ChangingFileSystem fileSystem;
  ZipArchiveFactory archives{fileSystem, &signer};
  Updater updater{Operations{web, fakes.downloads, fakes.files, fakes.exeVersion,
                             fakes.keyboard, fakes.processes, archives, fakes.window,
                             fakes.clock, fakes.installFolder},
                  u"http://127.0.0.1/dl/tallyx.ver", &signatures};

  // Publishes `release` signed, as downloaded into the folder.
  explicit SignedInstallation(const std::string& release) {
    fakes.files.currentDirectory = folder.Text();
    const std::string manifestSig = FormatSignatureFile(signer.Sign(kManifest));
    const std::string releaseSig = FormatSignatureFile(signer.Sign(
        ReleaseSignedMessage(u"4.2.7.1530", Sha256Of(signer, release))));
    web.bodies = {{u"http://127.0.0.1/dl/tallyx.ver", kManifest},
                  {u"http://127.0.0.1/dl/tallyx.ver.sig", manifestSig},
                  {u"http://127.0.0.1/dl/Tallyx_4.2.7.1530.zip.sig", releaseSig}};
    WriteBytes(File("Tallyx_4.2.7.1530.zip"), release);
    WriteBytes(File("tallyx.exe"), "old exe");
    updater.FormCreate();
    updater.UpdateTimerTimer();
  }
  fs::path File(const char* name) const { return folder.path() / name; }
  std::u16string Path(const char* name) const { return File(name).u16string(); }
};

const std::string kNested = BuildZip({{"plugins/rapport.txt", "mensuel"}}).bytes;
const std::string kEvilNested = BuildZip({{"evil.txt", "unchecked"}}).bytes;
const std::string kRelease =
    BuildZip({{"tallyx.exe", "new exe"}, {"lisez-moi.txt", "4.2.7.1530"}, {"tallyx.zip", kNested}})
        .bytes;
const std::string kEvilRelease =
    BuildZip({{"tallyx.exe", "evil exe"}, {"lisez-moi.txt", "unchecked"}}).bytes;

TEST(HeldArchive, WhatIsInstalledIsWhatWasChecked) {
  enum class Change {
    None,
    ReleaseAtALaterOpening,    // the file is different when it is opened again
    ReleaseAfterItsHash,       // replaced on disk once the check has read it
    NestedBeforeItsOpening,    // replaced after the release put it there
    NestedAtALaterOpening,
  };
  struct Case {
    const char* name;
    Change change;
    const char* exe;  // tallyx.exe afterwards
    bool nested;      // the nested archive's file installed
  } cases[] = {
      {"nothing changes", Change::None, "new exe", true},
      {"release different at a second opening", Change::ReleaseAtALaterOpening, "new exe", true},
      {"release replaced once hashed", Change::ReleaseAfterItsHash, "new exe", true},
      {"nested archive replaced before its opening", Change::NestedBeforeItsOpening, "old exe",
       false},
      {"nested archive different at a second opening", Change::NestedAtALaterOpening, "new exe",
       true},
  };
  for (const Case& c : cases) {
    SignedInstallation in(kRelease);
    in.fileSystem.onOpen = [&](const std::u16string& name, int openings,
                               std::unique_ptr<TStream>& stream) {
      if (name == kReleaseName && c.change == Change::ReleaseAtALaterOpening && openings > 1)
        stream = std::make_unique<BytesStream>(kEvilRelease);
      if (name == u"tallyx.zip" && c.change == Change::NestedAtALaterOpening && openings > 1)
        stream = std::make_unique<BytesStream>(kEvilNested);
      if (name == kReleaseName && c.change == Change::ReleaseAfterItsHash && openings == 1) {
        stream = std::make_unique<WatchedStream>(std::move(stream), [&] {
          // Windows refuses this while the reader holds the file; POSIX replaces the
          // name, not the file the reader holds.
          std::error_code ignored;
          WriteBytes(in.File("swap.zip"), kEvilRelease);
          fs::rename(in.File("swap.zip"), in.File("Tallyx_4.2.7.1530.zip"), ignored);
          fs::remove(in.File("swap.zip"), ignored);
        });
      }
      if (name == u"tallyx.zip" && c.change == Change::NestedBeforeItsOpening && openings == 1) {
        stream.reset();  // the hold would refuse the change
        WriteBytes(in.File("tallyx.zip"), kEvilNested);
        FsResult result;
        stream = CreateNativeFileSystem()->OpenExclusive(in.Path("tallyx.zip"), result);
      }
    };
    in.updater.cxButton1Click();
    EXPECT_EQ(ReadBytes(in.File("tallyx.exe")), c.exe) << c.name;
    EXPECT_EQ(fs::exists(in.folder.path() / "plugins" / "rapport.txt"), c.nested) << c.name;
    EXPECT_FALSE(fs::exists(in.File("evil.txt"))) << c.name;
    if (fs::exists(in.File("lisez-moi.txt"))) {
      EXPECT_EQ(ReadBytes(in.File("lisez-moi.txt")), "4.2.7.1530") << c.name;
    }
  }
}

TEST(HeldArchive, ANestedArchiveTheReleaseDidNotDeliverIsLeftAlone) {
  SignedInstallation in(BuildZip({{"tallyx.exe", "new exe"}}).bytes);
  WriteBytes(in.File("tallyx.zip"), kEvilNested);
  in.updater.cxButton1Click();
  EXPECT_EQ(ReadBytes(in.File("tallyx.exe")), "new exe");
  EXPECT_FALSE(fs::exists(in.File("evil.txt")));
  EXPECT_EQ(ReadBytes(in.File("tallyx.zip")), kEvilNested);
}

TEST(HeldArchive, ExtractionHashesTheFileItWroteLast) {
  DigestSigner signer;
  const auto digest = [&](const std::string& bytes) { return Sha256Of(signer, bytes); };
  struct Case {
    const char* name;
    std::vector<ZipWriterEntry> entries;
    std::optional<std::string> written;  // what the archive writes as tallyx.zip
  } cases[] = {
      {"one entry", {{"a.txt", "a"}, {"tallyx.zip", kNested}, {"b.txt", "b"}}, kNested},
      {"stored", {{"tallyx.zip", kNested, 0}}, kNested},
      {"empty", {{"tallyx.zip", ""}}, std::string()},
      {"the later of two names for it", {{"tallyx.zip", kNested}, {"TALLYX.ZIP", kEvilNested}},
       kEvilNested},
      {"in a subfolder only", {{"sub/tallyx.zip", kNested}}, std::nullopt},
      {"a folder of that name", {{"tallyx.zip/", ""}, {"tallyx.zip/x.txt", "x"}}, std::nullopt},
      {"none", {{"a.txt", "a"}}, std::nullopt},
  };
  for (const Case& c : cases) {
    ScratchFolder folder;
    ChangingFileSystem fileSystem;
    ZipArchiveFactory factory(fileSystem, &signer);
    WriteBytes(folder.path() / "release.zip", BuildZip(c.entries).bytes);
    const auto archive = factory.CreateArchive();
    archive->Open((folder.path() / "release.zip").u16string(), {});
    const auto written = archive->ExtractAll((folder.path() / "out").u16string(), u"", u"tallyx.zip");
    if (c.written) {
      ASSERT_TRUE(written) << c.name;
      EXPECT_EQ(LowerHex(*written), LowerHex(digest(*c.written))) << c.name;
    } else {
      EXPECT_FALSE(written) << c.name;
    }
  }
}

TEST(HeldArchive, ArchiveIsHashedThroughItsOneOpening) {
  DigestSigner signer;
  ScratchFolder folder;
  ChangingFileSystem fileSystem;
  std::vector<int> openings;
  fileSystem.onOpen = [&](const std::u16string&, int n, std::unique_ptr<TStream>&) {
    openings.push_back(n);
  };
  ZipArchiveFactory factory(fileSystem, &signer);
  WriteBytes(folder.path() / "release.zip", kRelease);
  const auto archive = factory.CreateArchive();
  std::optional<Sha256Digest> seen;
  archive->Open((folder.path() / "release.zip").u16string(),
                [&](const Sha256Digest& content) { seen = content; });
  ASSERT_TRUE(seen);
  EXPECT_EQ(LowerHex(*seen), LowerHex(Sha256Of(signer, kRelease)));
  archive->ExtractAll((folder.path() / "out").u16string(), u"", u"");
  EXPECT_EQ(openings, std::vector<int>{1});
  EXPECT_EQ(ReadBytes(folder.path() / "out" / "lisez-moi.txt"), "4.2.7.1530");

  // A refused file is released at once and nothing of it is read as an archive.
  EXPECT_THROW(archive->Open((folder.path() / "release.zip").u16string(),
                             [](const Sha256Digest&) { throw EZipException(u"refused"); }),
               EZipException);
  EXPECT_THROW(archive->ExtractAll((folder.path() / "out").u16string(), u"", u""), EZipException);
  fs::remove(folder.path() / "release.zip");
  EXPECT_FALSE(fs::exists(folder.path() / "release.zip"));
}

}  // namespace
}  // namespace tallyx
