#pragma once
#include <cstdint>
#include <string>

#include "controller/operations/archive.h"

namespace tallyx {

class Exception;

// Answers of the modal boxes, with the codes the platform gives them.
enum class DialogAnswer { Ok = 1, Cancel = 2, Retry = 4, Yes = 6, No = 7 };

enum class QuestionButtons { YesNo, CancelRetry };

// The controls whose visibility the installation changes.
enum class WindowControl { ProgressBar, InstallButton, LaterButton, QuitButton };

// The main window as the controller sees it. Every operation takes effect at once.
class MainWindow {
 public:
  virtual ~MainWindow() = default;
  virtual void DisableUpdateTimer() = 0;
  virtual void SetAnnouncement(const std::u16string& text) = 0;   // Label3
  virtual void SetHistoryText(const std::u16string& text) = 0;    // VersionInfo
  virtual void DeleteHistoryLine(int index) = 0;                  // VersionInfo
  virtual void ShowWindow() = 0;                                  // Hidden -> Offer
  virtual void SetControlVisible(WindowControl control, bool visible) = 0;
  // Modal boxes. Once the end of the program has been requested they answer Cancel
  // at once.
  virtual DialogAnswer ShowQuestion(const std::u16string& text, QuestionButtons buttons) = 0;
  virtual void ShowNotice(const std::u16string& text) = 0;
  // The default error report: a modal box with the error's message.
  virtual void ReportError(const Exception& error) = 0;
  // Application.Terminate: requests the end; the running handler goes on to its end.
  virtual void Terminate() = 0;
  // The installation after the download, as the download's progress: the bar and the
  // caption show the step (while Writing, `done` of `total` bytes), the bar is repainted
  // at once, then the window handles every pending message. A window that shows no
  // progress ignores it.
  virtual void ShowInstallProgress(ArchiveStep step, uint64_t done, uint64_t total) {
    (void)step, (void)done, (void)total;
  }
};

}  // namespace tallyx
