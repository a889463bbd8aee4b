#include "controller/updater.h"

#include <gtest/gtest.h>

#include "tests/controller/fakes.h"

namespace tallyx {
namespace {

using fakes::ArchiveFailure;
using fakes::FakeOperations;
using fakes::FakeWeb;
using fakes::Log;

Log operator+(Log a, const Log& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::string Describe(const Log& log) {
  std::string text;
  for (const auto& entry : log) text += "\n  " + entry;
  return text;
}

const char16_t kManifestUrl[] = u"http://127.0.0.1/dl/tallyx.ver";
const std::string kManifest =
    "4.2.7.1530\r\n05/03/2021\r\nhttp://dl.example/Tallyx_4.2.7.1530.zip\r\n"
    "Version 4.2.7\r\n-------------\r\n- Inventaire : export CSV\r\n";
const std::u16string kExe = u"Z:\\tallyx\\tallyx.exe";

const Log kFetch = {"DisableUpdateTimer", "GetUrlText http://127.0.0.1/dl/tallyx.ver"};
const Log kExeLookup = {"FileExists Z:\\tallyx\\tallyx.exe"};
const Log kExeRead = kExeLookup + Log{"GetExeVersionData Z:\\tallyx\\tallyx.exe"};
const Log kOffer = {"SetAnnouncement", "SetHistoryText", "DeleteHistoryLine 2",
                    "DeleteHistoryLine 1", "DeleteHistoryLine 0", "ShowWindow"};
const Log kEnd = {"Terminate"};

struct CheckCase {
  const char* name;
  std::string body;
  FakeWeb::Outcome fetch = FakeWeb::Outcome::Body;
  std::u16string workDir = u"Z:\\tallyx";
  std::map<std::u16string, const char16_t*> exes = {};  // FileVersion; nullptr: no resource
  int16_t shift = 0;
  Log expected = {};
  std::u16string history = {};  // the history box once the window is shown
};

const CheckCase kChecks[] = {
    {.name = "empty manifest", .body = "", .expected = kFetch + kEnd},
    {.name = "fetch raises an error",
     .body = kManifest,
     .fetch = FakeWeb::Outcome::ThrowsError,
     .expected = kFetch + kEnd},
    {.name = "fetch runs out of memory",
     .body = kManifest,
     .fetch = FakeWeb::Outcome::ThrowsOutOfMemory,
     .expected = kFetch + kEnd},
    {.name = "NUL before the first line",
     .body = std::string("\0" "4.2.7.1530\r\nx\r\ny\r\n", 19),
     .expected = kFetch + kEnd},
    {.name = "same build installed",
     .body = kManifest,
     .exes = {{kExe, u"4.2.7.1530"}},
     .expected = kFetch + kExeRead + kEnd},
    {.name = "newer build installed",
     .body = kManifest,
     .exes = {{kExe, u"4.2.7.1531"}},
     .expected = kFetch + kExeRead + kEnd},
    {.name = "higher version, lower build",
     .body = "5.0.0.100\r\nd\r\nu\r\n",
     .exes = {{kExe, u"4.2.7.1530"}},
     .expected = kFetch + kExeRead + kEnd},
    {.name = "negative build with nothing installed",
     .body = "1.0.0.-5\r\nd\r\nu\r\n",
     .expected = kFetch + kExeLookup + kEnd},
    {.name = "zero build with nothing installed",
     .body = "1.0.0.0\r\nd\r\nu\r\n",
     .expected = kFetch + kExeLookup + kEnd},
    {.name = "newer, two lines",
     .body = "4.2.7.1530\r\n05/03/2021\r\n",
     .expected = kFetch + kExeLookup + kEnd},
    {.name = "newer, one line",
     .body = "4.2.7.1530",
     .expected = kFetch + kExeLookup + kEnd},
    {.name = "newer, three lines: empty history",
     .body = "4.2.7.1530\r\n05/03/2021\r\nhttp://dl.example/a.zip",
     .expected = kFetch + kExeLookup + kOffer,
     .history = u""},
    {.name = "older build installed",
     .body = kManifest,
     .exes = {{kExe, u"4.2.7.1500"}},
     .expected = kFetch + kExeRead + kOffer,
     .history = u"Version 4.2.7\r\n-------------\r\n- Inventaire : export CSV\r\n"},
    {.name = "history with LF CR and blank lines",
     .body = "4.2.7.1530\nd\nu\nA\n\rB\r\n\r\n  C  ",
     .expected = kFetch + kExeLookup + kOffer,
     .history = u"A\r\n\r\nB\r\n\r\n  C  \r\n"},
    {.name = "Shift down purges the cache before the history",
     .body = kManifest,
     .shift = -128,
     .expected = kFetch + kExeLookup +
                 Log{"SetAnnouncement",
                     "DeleteUrlCacheEntry http://dl.example/Tallyx_4.2.7.1530.zip",
                     "SetHistoryText", "DeleteHistoryLine 2", "DeleteHistoryLine 1",
                     "DeleteHistoryLine 0", "ShowWindow"},
     .history = u"Version 4.2.7\r\n-------------\r\n- Inventaire : export CSV\r\n"},
    {.name = "Shift toggled purges too",
     .body = "4.2.7.1530\r\nd\r\nu\r\n",
     .shift = 1,
     .expected = kFetch + kExeLookup +
                 Log{"SetAnnouncement", "DeleteUrlCacheEntry u", "SetHistoryText",
                     "DeleteHistoryLine 2", "DeleteHistoryLine 1", "DeleteHistoryLine 0",
                     "ShowWindow"}},
    {.name = "byte-order mark on line 0",
     .body = "\xEF\xBB\xBF" "4.2.7.1530\r\nd\r\nu\r\n",
     .exes = {{kExe, u"4.2.7.1500"}},
     .expected = kFetch + kExeRead + kOffer},
    {.name = "invalid UTF-8 in the history",
     .body = "4.2.7.1530\r\nd\r\nu\r\ncaf\xE9\r\n",
     .expected = kFetch + kExeLookup + kOffer,
     .history = u"caf\uFFFD\r\n"},
    {.name = "drive root doubles the separator",
     .body = kManifest,
     .workDir = u"C:\\",
     .exes = {{u"C:\\\\tallyx.exe", u"4.2.7.1500"}},
     .expected = kFetch + Log{"FileExists C:\\\\tallyx.exe",
                              "GetExeVersionData C:\\\\tallyx.exe"} + kOffer,
     .history = u"Version 4.2.7\r\n-------------\r\n- Inventaire : export CSV\r\n"},
    {.name = "installed exe without FileVersion",
     .body = kManifest,
     .exes = {{kExe, u""}},
     .expected = kFetch + kExeRead +
                 Log{"ReportError EConvertError: '' is not a valid integer value for Integer type",
                     "Terminate"}},
    {.name = "installed FileVersion with a trailing blank",
     .body = kManifest,
     .exes = {{kExe, u"4.2.7.1500 "}},
     .expected = kFetch + kExeRead +
                 Log{"ReportError EConvertError: '1500 ' is not a valid integer value for "
                     "Integer type",
                     "Terminate"}},
    {.name = "installed exe without version resource",
     .body = kManifest,
     .exes = {{kExe, nullptr}},
     .expected = kFetch + kExeRead +
                 Log{"ReportError EOSError: System Error.  Code: 1813.\r\nThe specified "
                     "resource type cannot be found in the image file",
                     "Terminate"}},
    {.name = "error page instead of the manifest",
     .body = "<html>\r\n<body>404 Not Found</body>\r\n</html>\r\n",
     .exes = {{kExe, u"4.2.7.1500"}},
     .expected = kFetch + kExeRead +
                 Log{"ReportError EConvertError: '<html>' is not a valid integer value for "
                     "Integer type",
                     "Terminate"}},
    {.name = "line 0 escaping the installation folder",
     .body = "x\\..\\..\\Users\\Public\\evil.1530\r\nd\r\nhttp://dl.example/evil.zip\r\n",
     .exes = {{kExe, u"4.2.7.1500"}},
     .expected = kFetch + kExeRead + kEnd},
    {.name = "line 0 with a drive colon",
     .body = "C:evil.1530\r\nd\r\nu\r\n",
     .expected = kFetch + kExeLookup + kEnd},
};

TEST(UpdateCheck, EveryWayThrough) {
  for (const auto& c : kChecks) {
    FakeOperations f;
    f.web.body = c.body;
    f.web.outcome = c.fetch;
    f.files.currentDirectory = c.workDir;
    f.files.versions = c.exes;
    f.keyboard.shift = c.shift;
    Updater updater(f.operations(), kManifestUrl);
    updater.UpdateTimerTimer();
    EXPECT_EQ(f.log, c.expected) << c.name << Describe(f.log);
    if (!f.log.empty() && f.log.back() == "ShowWindow") {
      EXPECT_EQ(f.window.history, c.history) << c.name;
    }
  }
}

TEST(UpdateCheck, AnnouncementUsesLfCrBetweenItsLines) {
  const struct {
    std::string body;
    std::u16string announcement;
  } cases[] = {
      {kManifest,
       u"Vantrel Tallyx a \u00E9t\u00E9 mis \u00E0 jour vers la version 4.2.7.1530\n\r "
       u"publi\u00E9e le : 05/03/2021\n\rVoulez vous t\u00E9l\u00E9charger cette version "
       u"maintenant?"},
      {"\xEF\xBB\xBF" "4.2.7 & co.1530\r\n \r\nu\r\n",
       u"Vantrel Tallyx a \u00E9t\u00E9 mis \u00E0 jour vers la version \uFEFF4.2.7 & co.1530"
       u"\n\r publi\u00E9e le :  \n\rVoulez vous t\u00E9l\u00E9charger cette version "
       u"maintenant?"},
  };
  for (const auto& c : cases) {
    FakeOperations f;
    f.web.body = c.body;
    Updater updater(f.operations(), kManifestUrl);
    updater.UpdateTimerTimer();
    EXPECT_EQ(f.window.announcement, c.announcement) << c.body;
  }
}

TEST(UpdateCheck, FillsTheUpdateState) {
  const struct {
    std::string body;
    std::map<std::u16string, const char16_t*> exes;
    std::u16string remoteVersion, localVersion;
    int32_t remoteBuild, localBuild;
    std::u16string downloadUrl;
  } cases[] = {
      {kManifest, {{kExe, u"4.2.7.1500"}}, u"4.2.7.1530", u"4.2.7.1500", 1530, 1500,
       u"http://dl.example/Tallyx_4.2.7.1530.zip"},
      {kManifest, {}, u"4.2.7.1530", u"0", 1530, 0, u"http://dl.example/Tallyx_4.2.7.1530.zip"},
      {"\xEF\xBB\xBF" "4.2.7.$10\r\nd\r\n u \r\n", {{kExe, u"1.0.0.0x0F"}}, u"\uFEFF4.2.7.$10",
       u"1.0.0.0x0F", 16, 15, u" u "},
  };
  for (const auto& c : cases) {
    FakeOperations f;
    f.web.body = c.body;
    f.files.versions = c.exes;
    Updater updater(f.operations(), kManifestUrl);
    updater.UpdateTimerTimer();
    const UpdateState& s = updater.State();
    EXPECT_EQ(s.WorkDir, u"Z:\\tallyx") << c.body;
    EXPECT_EQ(s.RemoteVersion, c.remoteVersion) << c.body;
    EXPECT_EQ(s.LocalVersion, c.localVersion) << c.body;
    EXPECT_EQ(s.RemoteBuild, c.remoteBuild) << c.body;
    EXPECT_EQ(s.LocalBuild, c.localBuild) << c.body;
    EXPECT_EQ(s.DownloadUrl, c.downloadUrl) << c.body;
  }
}

TEST(Commands, CreationMakesTheDownloadCallbackAndBothOtherButtonsEnd) {
  FakeOperations f;
  Updater updater(f.operations(), kManifestUrl);
  updater.FormCreate();
  EXPECT_EQ(f.log, Log{"CreateDownloadCallback"});
  EXPECT_NE(updater.State().DownloadCallbackObject, nullptr);

  f.log.clear();
  updater.cxButton2Click();
  EXPECT_EQ(f.log, kEnd);
  f.log.clear();
  updater.cxButton3Click();
  EXPECT_EQ(f.log, kEnd);
}

const std::u16string kNested = u"Z:\\tallyx\\tallyx.zip";
const std::u16string kReleaseArchive = u"Z:\\tallyx\\Tallyx_4.2.7.1530.zip";
const std::map<std::u16string, ArchiveFailure> kNoNested = {{kNested, ArchiveFailure::OpenFails}};

const std::string kProbe = "AcceptsNewFile Z:\\tallyx";
const Log kStart = {kProbe, "Show ProgressBar", "Hide InstallButton", "Hide LaterButton"};
const std::string kPurge = "DeleteUrlCacheEntry http://dl.example/Tallyx_4.2.7.1530.zip";
const std::string kDownload =
    "DownloadToFile http://dl.example/Tallyx_4.2.7.1530.zip -> "
    "Z:\\tallyx\\Tallyx_4.2.7.1530.zip callback 1";
const std::string kDownloadAfresh = kDownload + " afresh";
const std::string kRunning = "IsProcessRunning tallyx.exe";
const std::string kKill = "KillProcessByName Tallyx.exe";
const Log kRelease = {"CreateArchive", "Open Z:\\tallyx\\Tallyx_4.2.7.1530.zip",
                      "ExtractAll Z:\\tallyx, tallyx.exe last", "Close"};
const std::string kSuccess = "Notice: Mise à jour effectué avec succès";
const std::string kInstallFailed = "Notice: Erreur dans l'installation du mise à jour";
const std::string kForcedFailed = "Notice: Erreur dans la lecture du fichier mise à jour";
const Log kNoNestedStep = {"Open Z:\\tallyx\\tallyx.zip", "FileExists Z:\\tallyx\\tallyx.zip",
                           "PlaceLastFile"};
const Log kNestedStep = {"Open Z:\\tallyx\\tallyx.zip", "ExtractAll Z:\\tallyx, tallyx.exe last", "Close",
                         "PlaceLastFile"};
// The second archive is there but fails: the program stays the old one.
const Log kNestedFails = {"Open Z:\\tallyx\\tallyx.zip", "ExtractAll Z:\\tallyx, tallyx.exe last",
                          "FileExists Z:\\tallyx\\tallyx.zip"};
const Log kFinish = {"ReleaseArchive", "Show QuitButton"};
const std::string kNeedsAdministrator =
    "Notice: Les droits d'administrateur sont nécessaires pour installer la mise à jour dans "
    "ce dossier.";
const std::string kRelaunch = "RelaunchElevated Z:\\tallyx";

Log Repeat(int times, const Log& entries) {
  Log out;
  for (int i = 0; i < times; ++i) out = out + entries;
  return out;
}

struct InstallCase {
  const char* name;
  InstallVariant variant = InstallVariant::Install;
  std::deque<bool> running = {};
  std::deque<DialogAnswer> answers = {};
  std::map<std::u16string, ArchiveFailure> failures = kNoNested;
  bool closedWhileDownloading = false;
  bool placeFails = false;
  bool stillRunning = false;    // Tallyx never ends once the scripted answers are used up
  uint64_t snapshotMs = 0;      // how long each test for a running Tallyx takes
  bool writable = true;         // the installation folder accepts a new file
  bool elevated = false;
  bool relaunchStarts = true;   // the user accepts the elevation
  Log expected = {};
};

const InstallCase kInstalls[] = {
    {.name = "not running",
     .expected = kStart + Log{kDownload, kRunning} + kRelease + Log{kSuccess} + kNoNestedStep +
                 kFinish},
    {.name = "forced, not running",
     .variant = InstallVariant::Forced,
     .expected = kStart + Log{kPurge, kDownloadAfresh, kRunning} + kRelease + Log{kSuccess} +
                 kNoNestedStep + kFinish},
    {.name = "running, Yes kills and tests again",
     .running = {true, false},
     .answers = {DialogAnswer::Yes},
     .expected = kStart + Log{kDownload, kRunning, "Question YesNo", kKill, kRunning} +
                 kRelease + Log{kSuccess} + kNoNestedStep + kFinish},
    {.name = "running, ends a moment after the kill: waited for, not asked again",
     .running = {true, true, true, false},
     .answers = {DialogAnswer::Yes},
     .expected = kStart + Log{kDownload, kRunning, "Question YesNo", kKill} +
                 Repeat(2, {kRunning, "Sleep 100"}) + Log{kRunning} + kRelease +
                 Log{kSuccess} + kNoNestedStep + kFinish},
    {.name = "running, kill fails: waits about 5 s, then asks again",
     .running = {true},
     .answers = {DialogAnswer::Yes, DialogAnswer::No},
     .stillRunning = true,
     .expected = kStart + Log{kDownload, kRunning, "Question YesNo", kKill} +
                 Repeat(50, {kRunning, "Sleep 100"}) + Log{kRunning, "Question YesNo"}},
    {.name = "running, kill fails twice, then ends",
     .running = std::deque<bool>(1 + 51 + 50, true),
     .answers = {DialogAnswer::Yes, DialogAnswer::Yes},
     .expected = kStart + Log{kDownload, kRunning, "Question YesNo", kKill} +
                 Repeat(50, {kRunning, "Sleep 100"}) + Log{kRunning, "Question YesNo", kKill} +
                 Repeat(50, {kRunning, "Sleep 100"}) + Log{kRunning} + kRelease +
                 Log{kSuccess} + kNoNestedStep + kFinish},
    {.name = "running, slow process list: the wait is bounded by time, not by tests",
     .running = {true},
     .answers = {DialogAnswer::Yes, DialogAnswer::No},
     .stillRunning = true,
     .snapshotMs = 2000,
     .expected = kStart + Log{kDownload, kRunning, "Question YesNo", kKill} +
                 Repeat(2, {kRunning, "Sleep 100"}) + Log{kRunning, "Question YesNo"}},
    {.name = "folder not writable, not elevated: relaunched elevated, nothing downloaded",
     .writable = false,
     .expected = {kProbe, "IsElevated", kRelaunch, "Terminate"}},
    {.name = "forced, folder not writable, not elevated: relaunched, cache kept",
     .variant = InstallVariant::Forced,
     .writable = false,
     .expected = {kProbe, "IsElevated", kRelaunch, "Terminate"}},
    {.name = "folder not writable, elevation refused: the notice, window left in Offer",
     .writable = false,
     .relaunchStarts = false,
     .expected = {kProbe, "IsElevated", kRelaunch, kNeedsAdministrator}},
    {.name = "folder not writable although elevated: the notice, no relaunch",
     .writable = false,
     .elevated = true,
     .expected = {kProbe, "IsElevated", kNeedsAdministrator}},
    {.name = "forced, folder not writable although elevated: the notice",
     .variant = InstallVariant::Forced,
     .writable = false,
     .elevated = true,
     .expected = {kProbe, "IsElevated", kNeedsAdministrator}},
    {.name = "elevated copy in a writable folder installs as usual",
     .elevated = true,
     .expected = kStart + Log{kDownload, kRunning} + kRelease + Log{kSuccess} + kNoNestedStep +
                 kFinish},
    {.name = "running, No abandons",
     .running = {true},
     .answers = {DialogAnswer::No},
     .expected = kStart + Log{kDownload, kRunning, "Question YesNo"}},
    {.name = "running, box closed abandons",
     .running = {true},
     .answers = {DialogAnswer::Cancel},
     .expected = kStart + Log{kDownload, kRunning, "Question YesNo"}},
    {.name = "forced, running, Retry tests again without killing",
     .variant = InstallVariant::Forced,
     .running = {true, true, false},
     .answers = {DialogAnswer::Retry, DialogAnswer::Retry},
     .expected = kStart + Log{kPurge, kDownloadAfresh, kRunning, "Question CancelRetry", kRunning,
                              "Question CancelRetry", kRunning} +
                 kRelease + Log{kSuccess} + kNoNestedStep + kFinish},
    {.name = "forced, running, Cancel abandons",
     .variant = InstallVariant::Forced,
     .running = {true, true},
     .answers = {DialogAnswer::Retry, DialogAnswer::Cancel},
     .expected = kStart + Log{kPurge, kDownloadAfresh, kRunning, "Question CancelRetry", kRunning,
                              "Question CancelRetry"}},
    {.name = "download failed",
     .failures = {{kReleaseArchive, ArchiveFailure::OpenFails},
                  {kNested, ArchiveFailure::OpenFails}},
     .expected = kStart + Log{kDownload, kRunning, "CreateArchive",
                              "Open Z:\\tallyx\\Tallyx_4.2.7.1530.zip", kInstallFailed} +
                 kNoNestedStep + kFinish},
    {.name = "forced, download failed",
     .variant = InstallVariant::Forced,
     .failures = {{kReleaseArchive, ArchiveFailure::OpenFails},
                  {kNested, ArchiveFailure::OpenFails}},
     .expected = kStart + Log{kPurge, kDownloadAfresh, kRunning, "CreateArchive",
                              "Open Z:\\tallyx\\Tallyx_4.2.7.1530.zip", kForcedFailed} +
                 kNoNestedStep + kFinish},
    {.name = "download failed, earlier nested archive still extracted",
     .failures = {{kReleaseArchive, ArchiveFailure::OpenFails}},
     .expected = kStart + Log{kDownload, kRunning, "CreateArchive",
                              "Open Z:\\tallyx\\Tallyx_4.2.7.1530.zip", kInstallFailed} +
                 kNestedStep + kFinish},
    {.name = "nested archive present",
     .failures = {},
     .expected = kStart + Log{kDownload, kRunning} + kRelease + Log{kSuccess} + kNestedStep +
                 kFinish},
    {.name = "extraction stops half-way",
     .failures = {{kReleaseArchive, ArchiveFailure::ExtractFails}},
     .expected = kStart + Log{kDownload, kRunning, "CreateArchive",
                              "Open Z:\\tallyx\\Tallyx_4.2.7.1530.zip", "ExtractAll Z:\\tallyx, tallyx.exe last",
                              kInstallFailed} +
                 kNestedStep + kFinish},
    {.name = "extraction runs out of memory",
     .variant = InstallVariant::Forced,
     .failures = {{kReleaseArchive, ArchiveFailure::ExtractOutOfMemory},
                  {kNested, ArchiveFailure::ExtractOutOfMemory}},
     .expected = kStart + Log{kPurge, kDownloadAfresh, kRunning, "CreateArchive",
                              "Open Z:\\tallyx\\Tallyx_4.2.7.1530.zip", "ExtractAll Z:\\tallyx, tallyx.exe last",
                              kForcedFailed} +
                 kNestedFails + kFinish},
    {.name = "nested extraction fails silently",
     .failures = {{kNested, ArchiveFailure::ExtractFails}},
     .expected = kStart + Log{kDownload, kRunning} + kRelease + Log{kSuccess} + kNestedFails +
                 kFinish},
    {.name = "program cannot be put in place",
     .failures = {},
     .placeFails = true,
     .expected = kStart + Log{kDownload, kRunning} + kRelease + Log{kSuccess} + kNestedStep +
                 kFinish},
    {.name = "closed while downloading, not running",
     .closedWhileDownloading = true,
     .expected = kStart + Log{kDownload, "Terminate", kRunning} + kRelease +
                 Log{"Notice closed at once: Mise à jour effectué avec succès"} + kNoNestedStep +
                 kFinish},
    {.name = "closed while downloading, running",
     .running = {true},
     .answers = {DialogAnswer::Yes},
     .closedWhileDownloading = true,
     .expected = kStart + Log{kDownload, "Terminate", kRunning, "Question YesNo closed at once"}},
    {.name = "forced, closed while downloading, running",
     .variant = InstallVariant::Forced,
     .running = {true},
     .answers = {DialogAnswer::Retry},
     .closedWhileDownloading = true,
     .expected = kStart + Log{kPurge, kDownloadAfresh, "Terminate", kRunning,
                              "Question CancelRetry closed at once"}},
    {.name = "closed while downloading, download failed",
     .failures = {{kReleaseArchive, ArchiveFailure::OpenFails},
                  {kNested, ArchiveFailure::OpenFails}},
     .closedWhileDownloading = true,
     .expected = kStart + Log{kDownload, "Terminate", kRunning, "CreateArchive",
                              "Open Z:\\tallyx\\Tallyx_4.2.7.1530.zip",
                              "Notice closed at once: Erreur dans l'installation du mise à jour"} +
                 kNoNestedStep + kFinish},
};

// The window as the check leaves it when it offers 4.2.7.1530 from Z:\tallyx.
struct Offered {
  Offered() {
    f.web.body = kManifest;
    updater.FormCreate();
    updater.UpdateTimerTimer();
    EXPECT_EQ(f.log.back(), "ShowWindow");
    f.log.clear();
  }
  void Click(InstallVariant variant) {
    if (variant == InstallVariant::Install)
      updater.cxButton1Click();
    else
      updater.ForcerleRetlechargement1Click();
  }
  FakeOperations f;
  Updater updater{f.operations(), kManifestUrl};
};

TEST(Installation, EveryWayThrough) {
  for (const auto& c : kInstalls) {
    Offered o;
    o.f.processes.running = c.running;
    o.f.window.answers = c.answers;
    o.f.archives.failures = c.failures;
    o.f.archives.placeFails = c.placeFails;
    const auto nested = c.failures.find(kNested);
    if (nested == c.failures.end() || nested->second != ArchiveFailure::OpenFails) {
      o.f.files.present.insert(kNested);
    }
    o.f.processes.stillRunning = c.stillRunning;
    if (c.snapshotMs) o.f.processes.whileQuerying = [&] { o.f.clock.now += c.snapshotMs; };
    o.f.installFolder.writable = c.writable;
    o.f.installFolder.elevated = c.elevated;
    o.f.installFolder.relaunchStarts = c.relaunchStarts;
    if (c.closedWhileDownloading) o.f.downloads.whileDownloading = [&] { o.updater.cxButton2Click(); };
    o.Click(c.variant);
    EXPECT_EQ(o.f.log, c.expected) << c.name << Describe(o.f.log);
  }
}

// The bar goes on through both archives: what each writes against what both write, full
// once the program is in place. An error of the window's own while it takes its messages
// waits until the installation has ended.
TEST(Installation, ProgressRunsThroughBothArchives) {
  using P = fakes::FakeWindow::Progress;
  constexpr ArchiveStep W = ArchiveStep::Writing;
  struct Case {
    const char* name;
    bool windowFails;
    std::vector<P> expected;
  } cases[] = {
      {"both archives", false,
       {{W, 0, 1000}, {W, 500, 1000}, {W, 1000, 1000}, {W, 1000, 1400}, {W, 1200, 1400},
        {W, 1400, 1400}, {W, 1400, 1400}}},
      {"the window fails once", true,
       {{W, 0, 1000}, {W, 500, 1000}, {W, 1000, 1000}, {W, 1000, 1400}, {W, 1200, 1400},
        {W, 1400, 1400}, {W, 1400, 1400}}},
  };
  for (const Case& c : cases) {
    Offered o;
    o.f.files.present.insert(kNested);
    o.f.archives.sizes = {{kReleaseArchive, 1000}, {kNested, 400}};
    o.f.window.progressFailsOnce = c.windowFails;
    if (c.windowFails) {
      EXPECT_THROW(o.Click(InstallVariant::Install), EOSError) << c.name;
    } else {
      o.Click(InstallVariant::Install);
    }
    EXPECT_EQ(o.f.window.progress, c.expected) << c.name;
    // The installation went all the way whatever the window raised.
    const std::vector<std::string> tail(o.f.log.end() - 3, o.f.log.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"PlaceLastFile", "ReleaseArchive", "Show QuitButton"}))
        << c.name << Describe(o.f.log);
  }
}

TEST(Installation, QuestionTextsPerVariant) {
  const struct {
    InstallVariant variant;
    DialogAnswer answer;
    std::u16string question;
  } cases[] = {
      {InstallVariant::Install, DialogAnswer::No,
       u"Vantrel Tallyx est en cour d'\u00E9xecution.\r\nEnregistrer votre travail appuyer sur "
       u"le button [Oui] pour fermer Tallyx et appliquer les mises \u00E0 jour"},
      {InstallVariant::Forced, DialogAnswer::Cancel,
       u"Vantrel Tallyx est en cour d'\u00E9xecution.\r\nEnregistrer votre travail et fermer "
       u"Vantrel Tallyx puis r\u00E9essayer"},
  };
  for (const auto& c : cases) {
    Offered o;
    o.f.processes.running = {true};
    o.f.window.answers = {c.answer};
    o.Click(c.variant);
    EXPECT_EQ(o.f.window.questions, std::vector<std::u16string>{c.question})
        << static_cast<int>(c.variant);
  }
}

}  // namespace
}  // namespace tallyx
