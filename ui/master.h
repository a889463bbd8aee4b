#pragma once
// The main window `Master` of class TMaster: the offer, the history, the commands and the
// progress bar. It implements the window operations the controller and the download's
// progress use, and hands its events to the handlers it is given.
#include <windows.h>

#include <array>
#include <memory>
#include <optional>

#include "controller/operations/main_window.h"
#include "controller/operations/progress_view.h"
#include "ui/app_services.h"
#include "ui/gdi.h"
#include "ui/glyph_button.h"
#include "ui/history_box.h"
#include "ui/image_view.h"
#include "ui/label.h"
#include "ui/panel.h"
#include "ui/progress_bar.h"
#include "ui/window_base.h"

namespace tallyx::ui {

// The window's event handlers (the update controller's entry points).
class MasterHandlers {
 public:
  virtual ~MasterHandlers() = default;
  virtual void FormCreate() = 0;
  virtual void UpdateTimerTimer() = 0;
  virtual void cxButton1Click() = 0;
  virtual void ForcerleRetlechargement1Click() = 0;
  virtual void cxButton2Click() = 0;
  virtual void cxButton3Click() = 0;
};

// The four glyphs of 32 × 32 pixels, in order: check, reload, alarm clock, leaving folder.
struct ImageList {
  std::array<AlphaImage, 4> glyphs;
};

class TMaster : public WindowBase, public MainWindow, public ProgressView {
 public:
  // Creates the window hidden with all its controls and starts UpdateTimer.
  explicit TMaster(AppServices& app);
  ~TMaster() override;

  // Connects the handlers and runs FormCreate; errors propagate to the caller (start-up).
  void Connect(MasterHandlers& handlers);

  // MainWindow
  void DisableUpdateTimer() override;
  void SetAnnouncement(const std::u16string& text) override;
  void SetHistoryText(const std::u16string& text) override;
  void DeleteHistoryLine(int index) override;
  void ShowWindow() override;
  void SetControlVisible(WindowControl control, bool visible) override;
  DialogAnswer ShowQuestion(const std::u16string& text, QuestionButtons buttons) override;
  void ShowNotice(const std::u16string& text) override;
  void ReportError(const Exception& error) override;
  void Terminate() override;
  void ShowInstallProgress(ArchiveStep step, uint64_t done, uint64_t total) override;

  // ProgressView
  void SetProgressMax(double max) override;
  void SetProgressPosition(double position) override;
  void RepaintProgress() override;
  void SetCaption(const std::u16string& caption) override;
  void ProcessMessages() override;

 protected:
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  void CreateControls();
  void Layout(int clientWidth, int clientHeight);
  void OpenPopupMenu1();
  void MeasureMenuItem(MEASUREITEMSTRUCT& item);
  void DrawMenuItem(const DRAWITEMSTRUCT& item);
  template <typename Handler>
  void Dispatch(Handler handler);

  AppServices& app_;
  MasterHandlers* handlers_ = nullptr;
  std::u16string installCaption_;  // the caption the installation last set
  bool placed_ = false;
  Font defaultFont_;
  Font menuFont_;
  HMENU PopupMenu1 = nullptr;

  // The members of the window, in declaration order.
  bool UpdateTimer = false;  // enabled
  std::unique_ptr<Label> Label1;
  std::unique_ptr<HistoryBox> VersionInfo;
  Font versionInfoFont_;
  std::unique_ptr<Panel> Panel1;
  std::unique_ptr<ImageView> Image1;
  std::unique_ptr<Label> Label2;
  std::unique_ptr<ProgressBar> cxProgressBar1;
  std::unique_ptr<Label> Label3;
  std::unique_ptr<GlyphButton> cxButton1;
  std::unique_ptr<GlyphButton> cxButton2;
  ImageList cxImageList1;
  std::unique_ptr<GlyphButton> cxButton3;
};

// The one main window of the process, from its creation until exit.
extern TMaster* Master;

}  // namespace tallyx::ui
