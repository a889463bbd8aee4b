#include "controller/updater.h"

#include <exception>
#include <memory>
#include <optional>
#include <utility>

#include "base/errors.h"
#include "base/text.h"
#include "controller/manifest.h"
#include "controller/messages.h"

namespace tallyx {

namespace {

using namespace messages;

// Termination only starts a process's end: a Tallyx saving its files or releasing its
// windows can still be listed a moment later. Asking again while it is still ending
// would put the question to a user who has already said Yes.
constexpr uint64_t kEndWaitMs = 5000;
constexpr uint32_t kEndPollMs = 100;
// Its build number tells which release is installed, so it is replaced after every other
// file of both archives: an installation stopped half-way never claims the new release.
const char16_t kVersionFile[] = u"tallyx.exe";
const char16_t kInnerArchive[] = u"tallyx.zip";
// What an installation from changed entries fetched, written as an archive of its own;
// removed once the installation has ended, and at the start of the next one after a cut.
const char16_t kChangesArchive[] = u"Tallyx_changes.zip";

}  // namespace

Updater::Updater(Operations operations, std::u16string manifestUrl,
                 ReleaseSignatures* signatures, WaitBudgets waits,
                 ChangedEntriesFactory* changes)
    : ops_(operations),
      manifestUrl_(std::move(manifestUrl)),
      signatures_(signatures),
      waits_(waits),
      changes_(changes) {}

void Updater::FormCreate() {
  state_.DownloadCallbackObject = ops_.downloads.CreateDownloadCallback();
}

void Updater::UpdateTimerTimer() {
  MainWindow& window = ops_.window;
  window.DisableUpdateTimer();
  state_.WorkDir = ops_.files.CurrentDirectory();
  state_.ManifestLines.clear();

  // No network, a broken transfer or an error page are all just a manifest that says
  // nothing newer; the check never complains about them.
  std::u16string text;
  try {
    std::string body = ops_.web.GetUrlText(manifestUrl_);
    // Whoever sits between the workstation and the server could write any manifest:
    // one the vendor did not sign counts as none.
    if (ChecksSignatures() &&
        !signatures_->ManifestIsSigned(body, ops_.web.GetUrlText(SignatureUrl(manifestUrl_))))
      body.clear();
    text = DecodeUtf8Lenient(body);
  } catch (const std::exception&) {
  }
  state_.ManifestLines = SplitLines(text);
  const auto& lines = state_.ManifestLines;
  if (lines.empty()) {
    window.Terminate();
    return;
  }

  try {
    // Plain concatenation: at a drive root this gives "C:\\tallyx.exe", which the
    // platform accepts as it is.
    const std::u16string installedExe = state_.WorkDir + u"\\tallyx.exe";
    if (ops_.files.FileExists(installedExe)) {
      state_.LocalVersion = ops_.exeVersion.GetExeVersionData(installedExe).FileVersion;
      state_.LocalBuild = BuildNumberOf(state_.LocalVersion);
    } else {
      state_.LocalVersion = u"0";
    }
    state_.RemoteVersion = lines[0];
    state_.RemoteBuild = BuildNumberOf(lines[0]);
  } catch (const Exception& e) {
    // Nothing is on screen yet and the timer is off: after the report the program
    // would linger without a window.
    window.ReportError(e);
    window.Terminate();
    return;
  }

  if (!IsNewer(state_.RemoteBuild, state_.LocalBuild)) {
    window.Terminate();
    return;
  }
  // The archive is saved under a name made from line 0; a separator there would put
  // it outside the installation folder.
  if (lines.size() < 3 || !IsUsableInFileName(state_.RemoteVersion)) {
    window.Terminate();
    return;
  }

  window.SetAnnouncement(u"Vantrel Tallyx a \u00E9t\u00E9 mis \u00E0 jour vers la version " +
                         lines[0] + u"\n\r publi\u00E9e le : " + lines[1] +
                         u"\n\rVoulez vous t\u00E9l\u00E9charger cette version maintenant?");
  state_.DownloadUrl = lines[2];
  if (ops_.keyboard.ShiftKeyState() != 0) ops_.downloads.DeleteUrlCacheEntry(state_.DownloadUrl);

  window.SetHistoryText(JoinLines(lines));
  for (int line = 2; line >= 0; --line) window.DeleteHistoryLine(line);
  window.ShowWindow();
}

void Updater::cxButton1Click() { InstallRelease(InstallVariant::Install); }

void Updater::ForcerleRetlechargement1Click() { InstallRelease(InstallVariant::Forced); }

void Updater::cxButton2Click() { ops_.window.Terminate(); }

void Updater::cxButton3Click() { ops_.window.Terminate(); }

void Updater::InstallRelease(InstallVariant variant) {
  MainWindow& window = ops_.window;
  const bool forced = variant == InstallVariant::Forced;
  // A folder the user cannot write (Tallyx under Program Files, the updater started
  // without elevation) would take the whole download and then fail to install. The
  // elevated copy starts like any start and is offered the release again.
  if (!ops_.installFolder.AcceptsNewFile(state_.WorkDir)) {
    if (!ops_.installFolder.IsElevated() && ops_.installFolder.RelaunchElevated(state_.WorkDir)) {
      window.Terminate();
      return;
    }
    window.ShowNotice(kNeedsAdministrator);
    return;
  }

  window.SetControlVisible(WindowControl::ProgressBar, true);
  window.SetControlVisible(WindowControl::InstallButton, false);
  window.SetControlVisible(WindowControl::LaterButton, false);

  if (forced) ops_.downloads.DeleteUrlCacheEntry(state_.DownloadUrl);
  const std::u16string releaseArchive =
      state_.WorkDir + u"\\" + ReleaseArchiveName(state_.RemoteVersion);
  const std::u16string changesArchive = state_.WorkDir + u"\\" + kChangesArchive;
  std::unique_ptr<ChangedEntries> changes;
  if (changes_ && ChecksSignatures()) {
    changes = changes_->CreateChangedEntries(ops_.downloads);
    changes->Remove(changesArchive);
  }
  // The forced variant takes the whole archive, as it always has: it is the way out when
  // anything about an installation from changed entries went wrong.
  // A verified index also says how long the archive is: a download of it stops there.
  uint64_t signedLength = 0;
  const bool fromChanges =
      changes && !forced && FetchChangedEntries(*changes, changesArchive, signedLength);
  // The forced variant starts from nothing: neither the cache nor a part kept by a
  // broken transfer may answer for the server.
  const bool resumed = !fromChanges && ops_.downloads.DownloadToFile(
      state_.DownloadUrl, releaseArchive, state_.DownloadCallbackObject.get(),
      forced ? DownloadStart::Afresh : DownloadStart::MayResume, signedLength);

  // Declining leaves the window as it is, downloaded but not installed; closing the
  // window is the way out.
  bool running = ops_.processes.IsProcessRunning(u"tallyx.exe");
  while (running) {
    if (forced) {
      if (window.ShowQuestion(kRunningForcedQuestion, QuestionButtons::CancelRetry) !=
          DialogAnswer::Retry)
        return;
      running = ops_.processes.IsProcessRunning(u"tallyx.exe");
    } else {
      if (window.ShowQuestion(kRunningInstallQuestion, QuestionButtons::YesNo) !=
          DialogAnswer::Yes)
        return;
      ops_.processes.KillProcessByName(u"Tallyx.exe");
      running = WaitWhileTallyxRuns();
    }
  }

  // The installation goes on from the download's bar: bytes of both archives written
  // against what both have to write, the bar full once the program is in place. The
  // window takes its messages there; an error that one of its handlers raises waits
  // until the installation has ended, which never stops half-way for it.
  uint64_t writtenBefore = 0;  // by the archives extracted before the current one
  uint64_t current = 0;        // the current archive's total
  std::exception_ptr windowError;
  const auto show = [&](ArchiveStep step, uint64_t done, uint64_t total) {
    try {
      window.ShowInstallProgress(step, done, total);
    } catch (...) {
      if (!windowError) windowError = std::current_exception();
    }
  };
  const ArchiveProgress progress = [&](ArchiveStep step, uint64_t done, uint64_t total) {
    if (step == ArchiveStep::Writing) {
      current = total;
      show(step, writtenBefore + done, writtenBefore + total);
    } else {
      show(step, done, total);
    }
  };
  const auto archiveDone = [&] {
    writtenBefore += current;
    current = 0;
  };
  // Made after the progress state it reports to, so that it goes first: its release may
  // still roll a transaction back, reporting as it goes.
  std::unique_ptr<Archive> archive = ops_.archives.CreateArchive(waits_);
  archive->SetOnProgress(progress);
  const bool checked = ChecksSignatures();
  // What the signed release delivered as the nested archive: with signatures, only a
  // file with exactly that content is extracted as the nested archive.
  std::optional<Sha256Digest> innerContent;
  try {
    if (fromChanges) {
      // The entries were checked against the signed index as they were written out: the
      // installation reads that very file, held from its check on.
      const Sha256Digest written = changes->Content();
      archive->Open(changesArchive, [&written](const Sha256Digest& content) {
        if (content != written)
          throw EZipException(u"The changed entries are not the ones that were checked");
      });
      innerContent = archive->ExtractAll(state_.WorkDir, kVersionFile, kInnerArchive);
      if (!innerContent) innerContent = changes->UnchangedContent(kInnerArchive);
      changes->SetUnchangedTimes();
    } else {
      // The signature binds the archive to this version, so an older signed archive
      // cannot be passed off as this release. The archive is hashed through the opening
      // that the extraction then reads, held so that nobody can change it in between.
      ContentCheck releaseCheck;
      std::string signature;
      bool unsigned_content = false;
      if (checked) {
        signature = ops_.web.GetUrlText(SignatureUrl(state_.DownloadUrl));
        releaseCheck = [&](const Sha256Digest& content) {
          unsigned_content = !signatures_->ArchiveIsSigned(state_.RemoteVersion, content, signature);
          if (unsigned_content)
            throw EZipException(u"The archive does not carry the vendor's signature");
        };
      }
      try {
        archive->Open(releaseArchive, releaseCheck);
      } catch (const std::exception&) {
        // A resumed download joins the start of one upload to the end of another when the
        // archive was replaced under the same validator: such a file is fetched whole,
        // once, before the release is refused.
        if (!(resumed && unsigned_content)) throw;
        ops_.downloads.DownloadToFile(state_.DownloadUrl, releaseArchive,
                                      state_.DownloadCallbackObject.get(), DownloadStart::Afresh,
                                      signedLength);
        archive->Open(releaseArchive, releaseCheck);
      }
      innerContent = archive->ExtractAll(state_.WorkDir, kVersionFile,
                                         checked ? kInnerArchive : u"");
    }
    archiveDone();
    archive->Close();
    // Nothing of the transfers is of use any more, for this release or an earlier one.
    ops_.downloads.RemoveLeftovers(state_.WorkDir, std::u16string(kReleaseArchivePrefix),
                                   std::u16string(kReleaseArchiveSuffix));
    window.ShowNotice(kInstalled);
  } catch (const std::exception&) {
    archiveDone();
    window.ShowNotice(forced ? kForcedFailed : kInstallFailed);
  }
  // The release may carry a second archive; most releases do not, so its absence is
  // no error. With signatures, one that this release did not deliver (left by an earlier
  // one, or put there by someone else) is not the release's and is left alone.
  const std::u16string innerArchive = state_.WorkDir + u"\\" + kInnerArchive;
  bool innerSettled = true;
  if (!checked || innerContent) {
    try {
      ContentCheck innerCheck;
      if (checked) {
        innerCheck = [&](const Sha256Digest& content) {
          if (content != *innerContent)
            throw EZipException(u"The nested archive is not the one the signed release delivered");
        };
      }
      archive->Open(innerArchive, innerCheck);
      archive->ExtractAll(state_.WorkDir, kVersionFile, u"");
      archiveDone();
      archive->Close();
    } catch (const std::exception&) {
      archiveDone();
      // One that the signed release delivered has to go in, even if it has gone since.
      innerSettled = !innerContent && !ops_.files.FileExists(innerArchive);
    }
  }
  // Both archives held the program back: it goes in once every other file of the
  // release is in place, so a failed second archive leaves the old build number and the
  // release is offered again.
  if (innerSettled) {
    try {
      archive->PlaceLastFile();
      show(ArchiveStep::Writing, writtenBefore, writtenBefore);
    } catch (const std::exception&) {
    }
  }
  archive.reset();
  if (changes) changes->Remove(changesArchive);

  window.SetControlVisible(WindowControl::QuitButton, true);
  if (windowError) std::rethrow_exception(windowError);
}

bool Updater::FetchChangedEntries(ChangedEntries& changes, const std::u16string& path,
                                  uint64_t& signedLength) {
  const std::u16string indexUrl = IndexUrl(state_.DownloadUrl);
  // Hundreds of kilobytes: fetched as the entries are, with the window served.
  const std::string index = changes.FetchIndex(indexUrl, state_.DownloadCallbackObject.get());
  std::string signature;
  try {
    if (!index.empty()) signature = ops_.web.GetUrlText(SignatureUrl(indexUrl));
  } catch (const std::exception&) {
    return false;  // a fetch that failed: as good as no signature
  }
  // No index (an older publisher), or one the vendor did not sign: the whole archive.
  if (index.empty() || !signatures_->IndexIsSigned(state_.RemoteVersion, index, signature))
    return false;
  signedLength = changes.ArchiveSize(index);
  MainWindow& window = ops_.window;
  return changes.Fetch(state_.DownloadUrl, index, state_.WorkDir, path,
                       state_.DownloadCallbackObject.get(),
                       [&window](ArchiveStep step, uint64_t done, uint64_t total) {
                         window.ShowInstallProgress(step, done, total);
                       });
}

bool Updater::WaitWhileTallyxRuns() {
  const uint64_t deadline = ops_.clock.NowMs() + kEndWaitMs;
  for (;;) {
    if (!ops_.processes.IsProcessRunning(u"tallyx.exe")) return false;
    if (ops_.clock.NowMs() >= deadline) return true;
    ops_.clock.Sleep(kEndPollMs);
  }
}

}  // namespace tallyx
