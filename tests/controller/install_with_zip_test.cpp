// The installation sequence with the real archive reader and the platform's file system,
// on archives in a scratch folder: what ends up on disk for each outcome.
#include <gtest/gtest.h>

#include "controller/updater.h"
#include "platform/native_file_system.h"
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

const char kManifest[] =
    "4.2.7.1530\r\n05/03/2021\r\nhttp://127.0.0.1/dl/Tallyx_4.2.7.1530.zip\r\nHistorique\r\n";

struct Installation {
  ScratchFolder folder;
  fakes::FakeOperations fakes;
  std::unique_ptr<FileSystem> fileSystem = CreateNativeFileSystem();
  ZipArchiveFactory archives{*fileSystem};
  Updater updater{Operations{fakes.web, fakes.downloads, fakes.files, fakes.exeVersion,
                             fakes.keyboard, fakes.processes, archives, fakes.window,
                             fakes.clock, fakes.installFolder},
                  u"http://127.0.0.1/dl/tallyx.ver"};

  Installation() {
    fakes.files.currentDirectory = folder.Text();
    fakes.web.body = kManifest;
    updater.FormCreate();
    updater.UpdateTimerTimer();
  }
  fs::path File(const char* name) const { return folder.path() / name; }
  bool Noticed(const std::string& text) const {
    return std::find(fakes.log.begin(), fakes.log.end(), "Notice: " + text) != fakes.log.end();
  }
};

TEST(InstallWithZip, ReleaseAndNestedArchiveAreBothExtracted) {
  Installation in;
  // Python's zipfile and 7-Zip flag only their non-ASCII names: each name is read by
  // its own flag, in the release and in the nested archive alike.
  const std::string nested = BuildZip({{.name = "plugins/rapport.txt", .data = "mensuel"},
                                       {.name = "plugins/r\xC3\xA9sum\xC3\xA9.txt",
                                        .data = "r",
                                        .flag = 0x0800}})
                                 .bytes;
  WriteBytes(in.File("Tallyx_4.2.7.1530.zip"),
             BuildZip({{.name = "tallyx.exe", .data = "new exe"},
                       {.name = "donn\xC3\xA9" "es/cat\xC3\xA9gories.csv", .data = "1;a", .flag = 0x0800},
                       {.name = "tallyx.zip", .data = nested}})
                 .bytes);
  WriteBytes(in.File("tallyx.exe"), "old exe");

  in.updater.cxButton1Click();

  EXPECT_TRUE(in.Noticed("Mise à jour effectué avec succès"));
  EXPECT_EQ(ReadBytes(in.File("tallyx.exe")), "new exe");
  EXPECT_EQ(ReadBytes(in.folder.path() / u8"données" / u8"catégories.csv"), "1;a");
  EXPECT_EQ(ReadBytes(in.folder.path() / "plugins" / "rapport.txt"), "mensuel");
  EXPECT_TRUE(fs::exists(in.folder.path() / "plugins" / u8"résumé.txt"));
  EXPECT_TRUE(fs::exists(in.File("Tallyx_4.2.7.1530.zip"))) << "the archive is kept";
}

TEST(InstallWithZip, FailuresLeaveTheInstallationAndStillRunTheNestedStep) {
  const struct {
    const char* name;
    InstallVariant variant;
    std::string release;  // empty: the download left no file
    std::string message;
  } cases[] = {
      {"download failed", InstallVariant::Install, "",
       "Erreur dans l'installation du mise à jour"},
      {"truncated archive", InstallVariant::Forced, "PK\x03\x04 cut short",
       "Erreur dans la lecture du fichier mise à jour"},
      {"entry escaping the folder", InstallVariant::Install,
       BuildZip({{.name = "../evil.txt", .data = "x"}, {.name = "tallyx.exe", .data = "new"}})
           .bytes,
       "Erreur dans l'installation du mise à jour"},
      {"entry with a wrong CRC", InstallVariant::Forced,
       BuildZip({{.name = "tallyx.exe", .data = "new exe", .crc = 0x12345678u}}).bytes,
       "Erreur dans la lecture du fichier mise à jour"},
      {"damaged entry after the program", InstallVariant::Install,
       BuildZip({{.name = "tallyx.exe", .data = "new exe"},
                 {.name = "lisez-moi.txt", .data = "x", .crc = 1u}})
           .bytes,
       "Erreur dans l'installation du mise à jour"},
  };
  for (const auto& c : cases) {
    Installation in;
    WriteBytes(in.File("tallyx.exe"), "old exe");
    if (!c.release.empty()) WriteBytes(in.File("Tallyx_4.2.7.1530.zip"), c.release);
    // A nested archive left by an earlier installation is extracted whatever happened.
    WriteBytes(in.File("tallyx.zip"), BuildZip({{.name = "earlier.txt", .data = "e"}}).bytes);

    if (c.variant == InstallVariant::Forced) {
      in.updater.ForcerleRetlechargement1Click();
    } else {
      in.updater.cxButton1Click();
    }

    EXPECT_TRUE(in.Noticed(c.message)) << c.name;
    EXPECT_EQ(ReadBytes(in.File("tallyx.exe")), "old exe") << c.name;
    EXPECT_FALSE(fs::exists(in.folder.path().parent_path() / "evil.txt")) << c.name;
    EXPECT_EQ(ReadBytes(in.File("earlier.txt")), "e") << c.name;
    EXPECT_EQ(in.fakes.log.back(), "Show QuitButton") << c.name;
  }
}

}  // namespace
}  // namespace tallyx
