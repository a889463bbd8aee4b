#include "ui/master.h"

#include <algorithm>

#include "base/text.h"
#include "platform/bind_status_callback.h"
#include "platform/progress_text.h"
#include "platform/win_text.h"
#include "ui/control_ids.h"
#include "ui/dpi.h"
#include "ui/message_boxes.h"
#include "ui/placement.h"
#include "ui/res/resource_ids.h"
#include "tallyx_version.h"

namespace tallyx::ui {

TMaster* Master = nullptr;

namespace {

constexpr const wchar_t* kClass = L"TMaster";
constexpr UINT_PTR kUpdateTimerId = 1;
constexpr int kClientWidth = 574, kClientHeight = 517, kMargin = 5;
constexpr int kPanelHeight = 217, kProgressTop = 183, kProgressHeight = 34;
constexpr int kMenuItemHeight = 36, kMenuGlyphGap = 4;
constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr const wchar_t* kRightsNotice = L"Copyright © Vantrel. Tous droits réservés.";
constexpr const wchar_t* kForceDownload = L"Forcer le Retélechargement";

Font MenuFont() {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof(metrics);
  SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0);
  return Font(CreateFontIndirectW(&metrics.lfMenuFont));
}

}  // namespace

TMaster::TMaster(AppServices& app) : app_(app), defaultFont_(CreateCalibri(11, false)), menuFont_(MenuFont()) {
  for (int i = 0; i < 4; ++i)
    if (auto glyph = LoadPngResource(TALLYX_RES_GLYPH0 + i)) cxImageList1.glyphs[i] = AlphaImage(*glyph);
  RegisterClassOnce(kClass, 0, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)),
                    LoadIconW(GetModuleHandleW(nullptr), L"MAINICON"));
  RECT outer{0, 0, Scale(kClientWidth + 2 * kMargin), Scale(kClientHeight + 2 * kMargin)};
  AdjustWindowRectEx(&outer, kStyle, FALSE, 0);
  Create(kClass, 0, kStyle, L"Tallyx Updater", CW_USEDEFAULT, CW_USEDEFAULT, outer.right - outer.left,
         outer.bottom - outer.top, app.ApplicationWindow(), 0);
  Master = this;
  SendMessageW(Handle(), WM_SETFONT, reinterpret_cast<WPARAM>(defaultFont_.Get()), FALSE);
  CreateControls();
  SetTimer(Handle(), kUpdateTimerId, 1000, nullptr);
  UpdateTimer = true;
}

TMaster::~TMaster() {
  if (PopupMenu1) DestroyMenu(PopupMenu1);
  if (Handle()) DestroyWindow(Handle());
  if (Master == this) Master = nullptr;
}

void TMaster::CreateControls() {
  HWND self = Handle();
  const int w = Scale(kClientWidth), m = Scale(kMargin);
  Label1 = std::make_unique<Label>(self, kLabel1, m, m + Scale(499), w, Scale(18), LabelMode::CentredLine,
                                   CreateCalibri(15, false), Colour::Fixed(RGB(255, 0, 0)),
                                   Colour::Fixed(RGB(255, 255, 255)));
  Label1->SetText(FromW(kRightsNotice));
  VersionInfo = std::make_unique<HistoryBox>(self, kVersionInfo, m, m + Scale(kPanelHeight), w, Scale(282));
  versionInfoFont_ = CreateCalibri(16, false);
  SendMessageW(VersionInfo->Handle(), WM_SETFONT, reinterpret_cast<WPARAM>(versionInfoFont_.Get()), FALSE);
  Panel1 = std::make_unique<Panel>(self, kPanel1, m, m, w, Scale(kPanelHeight));

  HWND panel = Panel1->Handle();
  Image1 = std::make_unique<ImageView>(panel, kImage1, Scale(461), Scale(15), Scale(97),
                                       LoadPngResource(TALLYX_RES_EMBLEM));
  Label2 = std::make_unique<Label>(panel, kLabel2, Scale(21), Scale(3), Scale(1), Scale(33), LabelMode::AutoSize,
                                   CreateCalibri(27, true), Colour::Fixed(RGB(0, 0, 255)),
                                   Colour::System(COLOR_BTNFACE));
  Label2->SetText(u"Vantrel Tallyx Updater " TALLYX_VERSION_LABEL);
  Label3 = std::make_unique<Label>(panel, kLabel3, Scale(21), Scale(47), Scale(434), Scale(67),
                                   LabelMode::WrapAndClip, CreateCalibri(16, true), Colour::System(COLOR_WINDOWTEXT),
                                   Colour::System(COLOR_BTNFACE));
  cxButton3 = std::make_unique<GlyphButton>(panel, kButton3, Scale(208), Scale(120), Scale(159), Scale(54),
                                            u"Quitter", cxImageList1.glyphs[3],
                                            GlyphButtonStyle{RGB(255, 0, 0), false, false});
  cxProgressBar1 = std::make_unique<ProgressBar>(panel, kProgressBar1, 0, Scale(kProgressTop), w,
                                                 Scale(kProgressHeight));
  cxButton1 = std::make_unique<GlyphButton>(panel, kButton1, Scale(84), Scale(120), Scale(209), Scale(54),
                                            U16("Oui\r\nTélecharger et installer"), cxImageList1.glyphs[0],
                                            GlyphButtonStyle{RGB(0, 128, 0), true, true});
  cxButton2 = std::make_unique<GlyphButton>(panel, kButton2, Scale(299), Scale(120), Scale(209), Scale(54),
                                            u"Non\r\nMe rappeler plus tard", cxImageList1.glyphs[2],
                                            GlyphButtonStyle{RGB(255, 0, 0), false, false});
  ::ShowWindow(cxButton3->Handle(), SW_HIDE);
  // Stacking within the panel, bottom to top.
  for (HWND control : {Image1->Handle(), Label2->Handle(), Label3->Handle(), cxButton3->Handle(),
                       cxProgressBar1->Handle(), cxButton1->Handle(), cxButton2->Handle()})
    SetWindowPos(control, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);

  PopupMenu1 = CreatePopupMenu();
  MENUITEMINFOW item{};
  item.cbSize = sizeof(item);
  item.fMask = MIIM_ID | MIIM_STRING | MIIM_FTYPE;
  item.fType = MFT_OWNERDRAW;
  item.wID = kMenuForceDownload;
  std::wstring text = kForceDownload;
  item.dwTypeData = text.data();
  InsertMenuItemW(PopupMenu1, 0, TRUE, &item);

  RECT client;
  GetClientRect(self, &client);
  Layout(client.right, client.bottom);
}

void TMaster::Connect(MasterHandlers& handlers) {
  handlers_ = &handlers;
  handlers.FormCreate();
}

void TMaster::Layout(int clientWidth, int clientHeight) {
  if (!VersionInfo) return;
  const int m = Scale(kMargin);
  const int w = std::max(0, clientWidth - 2 * m), h = std::max(0, clientHeight - 2 * m);
  const int footer = Label1->LineHeight(), panel = Scale(kPanelHeight);
  auto place = [](HWND control, int x, int y, int width, int height) {
    SetWindowPos(control, nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
  };
  place(Label1->Handle(), m, m + h - footer, w, footer);
  place(Panel1->Handle(), m, m, w, panel);
  place(VersionInfo->Handle(), m, m + panel, w, std::max(0, h - panel - footer));
  place(cxProgressBar1->Handle(), 0, Scale(kProgressTop), w, Scale(kProgressHeight));
}

// What a handler raises leaves through the window procedure, whose guard hands it to
// the default error report.
template <typename Handler>
void TMaster::Dispatch(Handler handler) {
  if (handlers_) (handlers_->*handler)();
}

void TMaster::DisableUpdateTimer() {
  KillTimer(Handle(), kUpdateTimerId);
  UpdateTimer = false;
}

void TMaster::SetAnnouncement(const std::u16string& text) { Label3->SetText(text); }
void TMaster::SetHistoryText(const std::u16string& text) { VersionInfo->SetText(text); }
void TMaster::DeleteHistoryLine(int index) { VersionInfo->DeleteLine(index); }

void TMaster::ShowWindow() {
  if (!placed_) {
    RECT outer;
    GetWindowRect(Handle(), &outer);
    Box desktop{GetSystemMetrics(SM_XVIRTUALSCREEN), GetSystemMetrics(SM_YVIRTUALSCREEN), 0, 0};
    desktop.right = desktop.left + GetSystemMetrics(SM_CXVIRTUALSCREEN);
    desktop.bottom = desktop.top + GetSystemMetrics(SM_CYVIRTUALSCREEN);
    Spot at = FirstShowPosition(desktop, outer.right - outer.left, outer.bottom - outer.top);
    SetWindowPos(Handle(), nullptr, at.x, at.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    placed_ = true;
  }
  app_.ShowApplicationWindow();
  ::ShowWindow(Handle(), SW_SHOW);
  SetForegroundWindow(Handle());
  SetFocus(VersionInfo->Handle());
}

void TMaster::SetControlVisible(WindowControl control, bool visible) {
  HWND target = nullptr;
  switch (control) {
    case WindowControl::ProgressBar: target = cxProgressBar1->Handle(); break;
    case WindowControl::InstallButton: target = cxButton1->Handle(); break;
    case WindowControl::LaterButton: target = cxButton2->Handle(); break;
    case WindowControl::QuitButton: target = cxButton3->Handle(); break;
  }
  ::ShowWindow(target, visible ? SW_SHOWNA : SW_HIDE);
  UpdateWindow(target);
}

DialogAnswer TMaster::ShowQuestion(const std::u16string& text, QuestionButtons buttons) {
  return ShowQuestionBox(app_, text, buttons);
}

void TMaster::ShowNotice(const std::u16string& text) { ShowNoticeBox(app_, text); }
void TMaster::ReportError(const Exception& error) { app_.ReportError(error); }
void TMaster::Terminate() { app_.Terminate(); }

void TMaster::SetProgressMax(double max) { cxProgressBar1->SetMax(max); }
void TMaster::SetProgressPosition(double position) { cxProgressBar1->SetPosition(position); }
void TMaster::RepaintProgress() { cxProgressBar1->Repaint(); }
void TMaster::SetCaption(const std::u16string& caption) { SetWindowTextW(Handle(), W(caption)); }
void TMaster::ProcessMessages() { app_.ProcessMessages(); }

void TMaster::ShowInstallProgress(ArchiveStep step, uint64_t done, uint64_t total) {
  const bool checking = step == ArchiveStep::Checking;
  // While the archive is checked the bar keeps the download's end; from the first entry
  // on it follows the bytes written.
  if (!checking) {
    cxProgressBar1->SetMax(static_cast<double>(total));
    cxProgressBar1->SetPosition(static_cast<double>(done));
  }
  // Called every few milliseconds: the title bar is redrawn only when its text changes.
  std::u16string caption = InstallCaption(checking, done, total, UserDecimalSeparator());
  if (caption != installCaption_) {
    installCaption_ = std::move(caption);
    SetCaption(installCaption_);
  }
  cxProgressBar1->Repaint();
  app_.ProcessMessages();
}

void TMaster::OpenPopupMenu1() {
  RECT button;
  GetWindowRect(cxButton1->Handle(), &button);
  MONITORINFO monitor{};
  monitor.cbSize = sizeof(monitor);
  GetMonitorInfoW(MonitorFromRect(&button, MONITOR_DEFAULTTONEAREST), &monitor);
  const RECT& work = monitor.rcWork;
  // The menu's frame is the platform's, so its height is only estimated here: enough to
  // choose a side. Above the button the menu is aligned by its bottom edge, which puts
  // that edge exactly where it belongs whatever the frame.
  int menuHeight = Scale(kMenuItemHeight) + 2 * GetSystemMetrics(SM_CYFIXEDFRAME);
  MenuPlacement placed = DropDownMenuPosition({button.left, button.top, button.right, button.bottom}, menuHeight,
                                              {work.left, work.top, work.right, work.bottom});
  UINT chosen = TrackPopupMenuEx(PopupMenu1,
                                 TPM_LEFTALIGN | (placed.above ? TPM_BOTTOMALIGN : TPM_TOPALIGN) | TPM_RETURNCMD |
                                     TPM_LEFTBUTTON,
                                 placed.at.x, placed.at.y, Handle(), nullptr);
  if (chosen == kMenuForceDownload) Dispatch(&MasterHandlers::ForcerleRetlechargement1Click);
}

void TMaster::MeasureMenuItem(MEASUREITEMSTRUCT& item) {
  HDC dc = GetDC(Handle());
  SIZE size{};
  {
    Selected select(dc, menuFont_.Get());
    GetTextExtentPoint32W(dc, kForceDownload, int(wcslen(kForceDownload)), &size);
  }
  ReleaseDC(Handle(), dc);
  item.itemWidth = Scale(kMenuGlyphGap + 32 + 2 * kMenuGlyphGap + 16) + size.cx;
  item.itemHeight = Scale(kMenuItemHeight);
}

void TMaster::DrawMenuItem(const DRAWITEMSTRUCT& item) {
  const bool selected = item.itemState & ODS_SELECTED;
  HDC dc = item.hDC;
  RECT r = item.rcItem;
  FillRect(dc, &r, GetSysColorBrush(selected ? COLOR_HIGHLIGHT : COLOR_MENU));
  const AlphaImage& glyph = cxImageList1.glyphs[1];
  glyph.Draw(dc, r.left + Scale(kMenuGlyphGap), r.top + (r.bottom - r.top - glyph.Height()) / 2);
  Selected select(dc, menuFont_.Get());
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, GetSysColor(selected ? COLOR_HIGHLIGHTTEXT : COLOR_MENUTEXT));
  r.left += Scale(kMenuGlyphGap + 32 + 2 * kMenuGlyphGap);
  DrawTextW(dc, kForceDownload, -1, &r, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
}

LRESULT TMaster::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CLOSE:  // closing the main window ends the program, whatever the state
      app_.Terminate();
      return 0;
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == SC_MINIMIZE) {
        app_.Minimize();
        return 0;
      }
      break;
    case WM_SIZE:
      Layout(LOWORD(lParam), HIWORD(lParam));
      return 0;
    case WM_SETFOCUS:
      // Activation (after a box, a switch to another program, a restore) focuses the
      // window itself; the history box is its only focusable control and takes the
      // keyboard instead.
      if (VersionInfo) SetFocus(VersionInfo->Handle());
      return 0;
    case WM_GETMINMAXINFO:
      reinterpret_cast<MINMAXINFO*>(lParam)->ptMaxTrackSize.x = Scale(1200);
      return 0;
    case WM_TIMER:
      if (wParam == kUpdateTimerId) {
        if (UpdateTimer) Dispatch(&MasterHandlers::UpdateTimerTimer);
        return 0;
      }
      break;
    case WM_CTLCOLORSTATIC:
      // The history box is read-only, yet it keeps the window colour of an editable box.
      if (VersionInfo && reinterpret_cast<HWND>(lParam) == VersionInfo->Handle()) {
        HDC dc = reinterpret_cast<HDC>(wParam);
        SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
        SetBkColor(dc, GetSysColor(COLOR_WINDOW));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
      }
      break;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case kButton1:
          if (HIWORD(wParam) == kDropDownPressed)
            OpenPopupMenu1();
          else if (HIWORD(wParam) == BN_CLICKED)
            Dispatch(&MasterHandlers::cxButton1Click);
          return 0;
        case kButton2:
          Dispatch(&MasterHandlers::cxButton2Click);
          return 0;
        case kButton3:
          Dispatch(&MasterHandlers::cxButton3Click);
          return 0;
      }
      break;
    case WM_MEASUREITEM: {
      auto* item = reinterpret_cast<MEASUREITEMSTRUCT*>(lParam);
      if (item->CtlType == ODT_MENU) {
        MeasureMenuItem(*item);
        return TRUE;
      }
      break;
    }
    case WM_DRAWITEM: {
      auto* item = reinterpret_cast<DRAWITEMSTRUCT*>(lParam);
      if (item->CtlType == ODT_MENU) {
        DrawMenuItem(*item);
        return TRUE;
      }
      break;
    }
  }
  return WindowBase::HandleMessage(message, wParam, lParam);
}

}  // namespace tallyx::ui
