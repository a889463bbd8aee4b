// The main window and the modal boxes under a real window system: the controls with their
// roles, places and states, the boxes' answers, the error report, and a screenshot of each
// visible state.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "app/application.h"
#include "base/errors.h"
#include "platform/win_text.h"
#include "ui/control_ids.h"
#include "ui/master.h"
#include "window_test_support.h"

namespace tallyx::ui {
namespace {

using testing::BoxAction;
using testing::BoxDriver;
using testing::Pump;
using testing::TextOf;

struct RecordingHandlers : MasterHandlers {
  std::vector<std::string> calls;
  bool raise = false;  // cxButton2Click raises an error
  void FormCreate() override { calls.push_back("FormCreate"); }
  void UpdateTimerTimer() override { calls.push_back("UpdateTimerTimer"); }
  void cxButton1Click() override { calls.push_back("cxButton1Click"); }
  void ForcerleRetlechargement1Click() override { calls.push_back("ForcerleRetlechargement1Click"); }
  void cxButton2Click() override {
    calls.push_back("cxButton2Click");
    if (raise) throw EConvertError(u"'x' is not a valid integer value");
  }
  void cxButton3Click() override { calls.push_back("cxButton3Click"); }
};

// The screen rectangle of a window.
RECT ScreenRect(HWND window) {
  RECT r;
  GetWindowRect(window, &r);
  return r;
}

// The open pop-up menu, waited for up to three seconds.
HWND WaitForMenu() {
  for (int i = 0; i < 300; ++i) {
    HWND menu = FindWindowW(L"#32768", nullptr);
    if (menu && IsWindowVisible(menu)) return menu;
    Sleep(10);
  }
  return nullptr;
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    app = std::make_unique<Application>(GetModuleHandleW(nullptr));
    master = std::make_unique<TMaster>(*app);
    master->Connect(handlers);
    app->SetMainWindow(master->Handle());
  }
  void TearDown() override {
    master.reset();
    app.reset();
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
  }
  HWND Control(int id) {
    HWND c = GetDlgItem(master->Handle(), id);
    return c ? c : GetDlgItem(GetDlgItem(master->Handle(), kPanel1), id);
  }
  RECT RectIn(HWND control) {
    RECT r;
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&r), 2);
    return r;
  }
  void Offer() {
    master->SetAnnouncement(u"Vantrel Tallyx a été mis à jour vers la version 4.2.7.1530\n\r"
                            u" publiée le : 05/03/2021\n\rVoulez vous télécharger cette version maintenant?");
    master->SetHistoryText(u"4.2.7.1530\r\n05/03/2021\r\nhttp://127.0.0.1/dl/Tallyx_4.2.7.1530.zip\r\n"
                           u"- Nouvel écran d'inventaire\r\n- Corrections diverses\r\n");
    for (int line : {2, 1, 0}) master->DeleteHistoryLine(line);
    master->DisableUpdateTimer();  // as the update check does before it shows the offer
    master->ShowWindow();
    Pump(300);
  }
  // Moves the window so that cxButton1 ends 20 pixels above the bottom of the work area.
  void ButtonNearTheBottom() {
    RECT button = ScreenRect(Control(kButton1)), outer = ScreenRect(master->Handle());
    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    GetMonitorInfoW(MonitorFromWindow(master->Handle(), MONITOR_DEFAULTTONEAREST), &monitor);
    SetWindowPos(master->Handle(), nullptr, outer.left, outer.top + monitor.rcWork.bottom - 20 - button.bottom, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER);
    Pump(300);
    ASSERT_EQ(ScreenRect(Control(kButton1)).bottom, monitor.rcWork.bottom - 20);
  }
  void Click(int id, int x) {
    HWND c = Control(id);
    RECT r;
    GetClientRect(c, &r);
    LPARAM at = MAKELPARAM(x < 0 ? r.right + x : x, r.bottom / 2);
    PostMessageW(c, WM_MOUSEMOVE, 0, at);
    PostMessageW(c, WM_LBUTTONDOWN, MK_LBUTTON, at);
    PostMessageW(c, WM_LBUTTONUP, 0, at);
    Pump(100);
  }

  RecordingHandlers handlers;
  std::unique_ptr<Application> app;
  std::unique_ptr<TMaster> master;
};

bool Styled(HWND w, DWORD style) { return (GetWindowLongW(w, GWL_STYLE) & style) == style; }

TEST_F(WindowTest, CreatedHiddenWithEveryControlInPlace) {
  HWND main = master->Handle();
  EXPECT_EQ(handlers.calls, std::vector<std::string>{"FormCreate"});
  EXPECT_EQ(master.get(), Master);
  EXPECT_FALSE(IsWindowVisible(main));
  EXPECT_FALSE(IsWindowVisible(app->ApplicationWindow()));
  EXPECT_EQ(TextOf(main), L"Tallyx Updater");
  wchar_t cls[64] = {};
  GetClassNameW(main, cls, 64);
  EXPECT_STREQ(cls, L"TMaster");
  GetClassNameW(app->ApplicationWindow(), cls, 64);
  EXPECT_STREQ(cls, L"TApplication");
  RECT client;
  GetClientRect(main, &client);
  EXPECT_EQ(client.right, 584);  // 574 + a 5-pixel margin on each side
  EXPECT_EQ(client.bottom, 527);
  EXPECT_TRUE(Styled(main, WS_THICKFRAME | WS_MINIMIZEBOX | WS_SYSMENU));
  EXPECT_FALSE(Styled(main, WS_MAXIMIZEBOX));
  EXPECT_EQ(GetWindow(main, GW_OWNER), app->ApplicationWindow());

  struct Case {
    int id;
    bool inPanel;
    RECT rect;  // within the parent's client area
    bool visibleStyle;
    const wchar_t* text;
  } cases[] = {
      {kLabel1, false, {5, 504, 579, 522}, true, nullptr},
      {kVersionInfo, false, {5, 222, 579, 504}, true, L""},
      {kPanel1, false, {5, 5, 579, 222}, true, L""},
      {kImage1, true, {461, 15, 558, 112}, true, L""},
      {kLabel3, true, {21, 47, 455, 114}, true, L""},
      {kButton3, true, {208, 120, 367, 174}, false, L"Quitter"},
      {kProgressBar1, true, {0, 183, 574, 217}, false, L"0 %"},
      {kButton1, true, {84, 120, 293, 174}, true, L"Oui\r\nT\u00E9lecharger et installer"},
      {kButton2, true, {299, 120, 508, 174}, true, L"Non\r\nMe rappeler plus tard"},
  };
  for (const Case& c : cases) {
    HWND control = Control(c.id);
    ASSERT_TRUE(control) << c.id;
    EXPECT_EQ(GetParent(control), c.inPanel ? Control(kPanel1) : main) << c.id;
    RECT r = RectIn(control);
    EXPECT_EQ(r.left, c.rect.left) << c.id;
    EXPECT_EQ(r.top, c.rect.top) << c.id;
    EXPECT_EQ(r.right, c.rect.right) << c.id;
    EXPECT_EQ(r.bottom, c.rect.bottom) << c.id;
    EXPECT_EQ(Styled(control, WS_VISIBLE), c.visibleStyle) << c.id;
    if (c.text) {
      EXPECT_EQ(TextOf(control), c.text) << c.id;
    }
  }
  RECT title = RectIn(Control(kLabel2));
  EXPECT_EQ(title.left, 21);
  EXPECT_EQ(title.top, 3);
  EXPECT_EQ(title.bottom - title.top, 33);
  EXPECT_GT(title.right - title.left, 200);
  EXPECT_EQ(TextOf(Control(kLabel2)), L"Vantrel Tallyx Updater V1.2");
  // Only the history box takes the keyboard focus.
  EXPECT_TRUE(Styled(Control(kVersionInfo), WS_TABSTOP | WS_VSCROLL | WS_HSCROLL | ES_READONLY | ES_MULTILINE));
  for (int id : {kButton1, kButton2, kButton3, kProgressBar1, kLabel1, kLabel2, kLabel3, kImage1})
    EXPECT_FALSE(Styled(Control(id), WS_TABSTOP)) << id;
  // Stacking: cxButton2 on top, the emblem at the bottom.
  EXPECT_EQ(GetWindow(GetDlgItem(main, kPanel1), GW_CHILD), Control(kButton2));
  EXPECT_EQ(GetWindow(Control(kButton2), GW_HWNDNEXT), Control(kButton1));
  EXPECT_EQ(GetWindow(Control(kImage1), GW_HWNDNEXT), nullptr);
}

TEST_F(WindowTest, UpdateTimerTicksAfterASecondUntilDisabled) {
  auto ticks = [&] { return std::count(handlers.calls.begin(), handlers.calls.end(), "UpdateTimerTimer"); };
  Pump(700);
  EXPECT_EQ(ticks(), 0);
  for (int i = 0; i < 100 && ticks() == 0; ++i) Pump(50);
  EXPECT_EQ(ticks(), 1);
  master->DisableUpdateTimer();
  Pump(1500);
  EXPECT_EQ(ticks(), 1);
  EXPECT_FALSE(IsWindowVisible(master->Handle()));
}

TEST_F(WindowTest, StatesShownAndPhotographed) {
  CreateDirectoryW(L"screenshots", nullptr);
  Offer();
  HWND main = master->Handle();
  EXPECT_TRUE(IsWindowVisible(main));
  EXPECT_TRUE(IsWindowVisible(app->ApplicationWindow()));
  EXPECT_EQ(TextOf(Control(kVersionInfo)), L"- Nouvel \u00E9cran d'inventaire\r\n- Corrections diverses\r\n");
  EXPECT_EQ(GetFocus(), Control(kVersionInfo));
  EXPECT_EQ(TextOf(Control(kLabel3)).substr(0, 17), L"Vantrel Tallyx a ");
  // First show: centred on the whole desktop.
  RECT outer;
  GetWindowRect(main, &outer);
  int dw = GetSystemMetrics(SM_CXVIRTUALSCREEN);
  EXPECT_NEAR(outer.left, std::max<long>(0, dw / 2 - (outer.right - outer.left) / 2), 1);
  testing::SaveScreenshot(L"screenshots/offer.png");

  struct State {
    const char* name;
    bool progress, install, later, quit;
  } states[] = {{"installing", true, false, false, false}, {"finished", true, false, false, true}};
  for (const State& s : states) {
    master->SetControlVisible(WindowControl::InstallButton, s.install);
    master->SetControlVisible(WindowControl::LaterButton, s.later);
    master->SetControlVisible(WindowControl::ProgressBar, s.progress);
    master->SetControlVisible(WindowControl::QuitButton, s.quit);
    master->SetProgressMax(10485760);
    master->SetProgressPosition(s.quit ? 10485760 : 5242880);
    master->SetCaption(s.quit ? u"Vantrel Tallyx Updater : 10,00 Mo/10,00 Mo"
                              : u"Vantrel Tallyx Updater : 5,00 Mo/10,00 Mo");
    master->RepaintProgress();
    Pump(200);
    EXPECT_EQ(IsWindowVisible(Control(kProgressBar1)), s.progress) << s.name;
    EXPECT_EQ(IsWindowVisible(Control(kButton1)), s.install) << s.name;
    EXPECT_EQ(IsWindowVisible(Control(kButton2)), s.later) << s.name;
    EXPECT_EQ(IsWindowVisible(Control(kButton3)), s.quit) << s.name;
    EXPECT_EQ(TextOf(Control(kProgressBar1)), s.quit ? L"100 %" : L"50 %") << s.name;
    testing::SaveScreenshot(L"screenshots/" + std::wstring(s.name, s.name + strlen(s.name)) + L".png");
  }
}

TEST_F(WindowTest, ProgressTextFollowsMaxAndPosition) {
  struct Case {
    double max, position;
    const wchar_t* text;
  } cases[] = {
      {0, 4096, L"100 %"}, {200, 3, L"2 %"}, {200, 300, L"100 %"},
  };
  for (const Case& c : cases) {
    master->SetProgressMax(c.max);
    master->SetProgressPosition(c.position);
    master->RepaintProgress();
    EXPECT_EQ(TextOf(Control(kProgressBar1)), c.text) << c.max << " " << c.position;
  }
}

TEST_F(WindowTest, ButtonsClickWithTheMouseOnly) {
  Offer();
  master->SetControlVisible(WindowControl::QuitButton, true);
  struct Case {
    int id;
    int x;  // negative: from the right edge
    const char* handler;
  } cases[] = {
      {kButton2, 100, "cxButton2Click"},
      {kButton1, 60, "cxButton1Click"},
      {kButton3, 80, "cxButton3Click"},
  };
  for (const Case& c : cases) {
    handlers.calls.clear();
    Click(c.id, c.x);
    EXPECT_EQ(handlers.calls, std::vector<std::string>{c.handler}) << c.id;
  }
  // Released outside the button: no click.
  handlers.calls.clear();
  HWND button = Control(kButton2);
  PostMessageW(button, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(10, 10));
  PostMessageW(button, WM_LBUTTONUP, 0, MAKELPARAM(400, 10));
  Pump(100);
  EXPECT_TRUE(handlers.calls.empty());
}

TEST_F(WindowTest, DropDownOpensTheMenuAndItsItemForcesTheDownload) {
  Offer();
  handlers.calls.clear();
  RECT menuRect{};
  std::thread chooser([&menuRect] {
    HWND menu = WaitForMenu();
    if (!menu) return;
    Sleep(50);
    GetWindowRect(menu, &menuRect);
    PostMessageW(menu, WM_KEYDOWN, VK_DOWN, 0);
    PostMessageW(menu, WM_KEYDOWN, VK_RETURN, 0);
  });
  Click(kButton1, -7);
  chooser.join();
  Pump(100);
  EXPECT_EQ(handlers.calls, std::vector<std::string>{"ForcerleRetlechargement1Click"});
  // Opened below the button, its top left corner at the button's bottom left corner.
  RECT button;
  GetWindowRect(Control(kButton1), &button);
  EXPECT_EQ(menuRect.left, button.left);
  EXPECT_EQ(menuRect.top, button.bottom);
}

// Renders a control into a bitmap through WM_PRINTCLIENT; `read` takes the pixels it needs.
template <typename Read>
void PrintClient(HWND control, Read read) {
  RECT r;
  GetClientRect(control, &r);
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, r.right, r.bottom);
  HGDIOBJ old = SelectObject(memory, bitmap);
  SendMessageW(control, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(memory), PRF_CLIENT);
  read(memory, r.right, r.bottom);
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
}

COLORREF PixelOf(HWND control, int x, int y) {
  COLORREF pixel = 0;
  PrintClient(control, [&](HDC dc, int, int) { pixel = GetPixel(dc, x, y); });
  return pixel;
}

// One COLORREF per pixel, rows top first.
std::vector<COLORREF> Render(HWND control, int& width, int& height) {
  std::vector<COLORREF> pixels;
  PrintClient(control, [&](HDC dc, int w, int h) {
    width = w;
    height = h;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) pixels.push_back(GetPixel(dc, x, y));
  });
  return pixels;
}

// The rows in which two renders of a label differ.
std::vector<int> DifferingRows(HWND label, const char16_t* a, const char16_t* b) {
  int w = 0, h = 0;
  SetWindowTextW(label, reinterpret_cast<const wchar_t*>(a));
  std::vector<COLORREF> first = Render(label, w, h);
  SetWindowTextW(label, reinterpret_cast<const wchar_t*>(b));
  std::vector<COLORREF> second = Render(label, w, h);
  std::vector<int> rows;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      if (first[size_t(y) * w + x] != second[size_t(y) * w + x]) {
        rows.push_back(y);
        break;
      }
  return rows;
}

TEST_F(WindowTest, AnnouncementAmpersandsUnderlineOrShowOne) {
  HWND label = Control(kLabel3);
  // "&D" draws D underlined: the only difference from plain "RD" is one underline row.
  EXPECT_EQ(DifferingRows(label, u"RD", u"R&D").size(), 1u);
  // "&&" shows one ampersand, unlike the marked letter.
  EXPECT_GT(DifferingRows(label, u"R&D", u"R&&D").size(), 3u);
  // Line breaks of every kind start one line; LF CR counts once.
  EXPECT_TRUE(DifferingRows(label, u"one\n\rtwo", u"one\r\ntwo").empty());
  EXPECT_TRUE(DifferingRows(label, u"one\ntwo", u"one\rtwo").empty());
  EXPECT_FALSE(DifferingRows(label, u"one\ntwo", u"one\n\ntwo").empty());
  // A line wider than the box wraps onto the rows below the first line.
  std::vector<int> wrapped = DifferingRows(
      label, u"", u"Vantrel Tallyx a été mis à jour vers la version 4.2.7.1530 et cette phrase continue");
  ASSERT_FALSE(wrapped.empty());
  EXPECT_GT(wrapped.back(), 24);
  std::vector<int> single = DifferingRows(label, u"", u"Vantrel Tallyx");
  ASSERT_FALSE(single.empty());
  EXPECT_LT(single.back(), 24);
}

TEST_F(WindowTest, ButtonFaceOnlyWhileHot) {
  Offer();
  HWND button = Control(kButton2);
  const COLORREF face = GetSysColor(COLOR_BTNFACE);
  // At rest the border rows show the panel's colour; hot, the platform's button frame.
  EXPECT_EQ(PixelOf(button, 0, 27), face);
  EXPECT_EQ(PixelOf(button, 208, 27), face);
  PostMessageW(button, WM_MOUSEMOVE, 0, MAKELPARAM(100, 27));
  Pump(100);
  EXPECT_NE(PixelOf(button, 208, 27), face);
  PostMessageW(button, WM_MOUSELEAVE, 0, 0);
  Pump(100);
  EXPECT_EQ(PixelOf(button, 208, 27), face);
}

TEST_F(WindowTest, ProgressFillCoversItsShareOfTheBar) {
  Offer();
  master->SetControlVisible(WindowControl::ProgressBar, true);
  HWND bar = Control(kProgressBar1);
  struct Case {
    double max, position;
    int x;
    bool green;
  } cases[] = {
      {200, 100, 280, true}, {200, 100, 300, false}, {0, 0, 3, false},
      {0, 4096, 570, true},  {200, 1, 1, true},      {200, 1, 3, false},
  };
  for (const Case& c : cases) {
    master->SetProgressMax(c.max);
    master->SetProgressPosition(c.position);
    // The bottom rows are clear of the text and of the lighter top band.
    COLORREF pixel = PixelOf(bar, c.x, 26);
    bool green = GetGValue(pixel) > 150 && GetRValue(pixel) < 120 && GetBValue(pixel) < 120;
    EXPECT_EQ(green, c.green) << c.max << " " << c.position << " x=" << c.x;
  }
}

TEST_F(WindowTest, WidenedWindowStopsAt1200) {
  Offer();
  HWND main = master->Handle();
  RECT outer;
  GetWindowRect(main, &outer);
  int height = outer.bottom - outer.top;
  SetWindowPos(main, nullptr, 0, 0, 1500, height + 100, SWP_NOZORDER | SWP_NOMOVE);
  Pump(100);
  GetWindowRect(main, &outer);
  EXPECT_EQ(outer.right - outer.left, 1200);
  RECT client;
  GetClientRect(main, &client);
  int width = client.right - 10;
  EXPECT_EQ(RectIn(Control(kPanel1)).right - 5, width);
  EXPECT_EQ(RectIn(Control(kProgressBar1)).right, width);
  EXPECT_EQ(RectIn(Control(kLabel1)).right - 5, width);
  EXPECT_EQ(RectIn(Control(kVersionInfo)).right - 5, width);
  EXPECT_EQ(RectIn(Control(kVersionInfo)).bottom, RectIn(Control(kLabel1)).top);
  EXPECT_EQ(RectIn(Control(kLabel1)).bottom, client.bottom - 5);
  EXPECT_EQ(RectIn(Control(kButton2)).left, 299);
  EXPECT_EQ(RectIn(Control(kImage1)).left, 461);
}

TEST_F(WindowTest, ClosingTheWindowRequestsTheEnd) {
  Offer();
  PostMessageW(master->Handle(), WM_SYSCOMMAND, SC_CLOSE, 0);
  app->ProcessMessages();  // takes WM_CLOSE, then the quit message it posts
  app->ProcessMessages();
  EXPECT_TRUE(app->QuitTaken());
  EXPECT_TRUE(IsWindow(master->Handle()));
  // The command that is running goes on, and the window with it: it still paints.
  for (HWND window : {master->Handle(), Control(kLabel3), Control(kButton1)}) {
    InvalidateRect(window, nullptr, FALSE);
    app->ProcessMessages();
    EXPECT_FALSE(GetUpdateRect(window, nullptr, FALSE)) << window;
  }
  // From now on every box answers Cancel at once.
  EXPECT_EQ(master->ShowQuestion(u"Tallyx est en cours d'exécution", QuestionButtons::YesNo), DialogAnswer::Cancel);
  EXPECT_EQ(app->Run(), 0);
}

TEST_F(WindowTest, MinimisedToTheTaskbarButtonAndRestoredFromIt) {
  Offer();
  HWND main = master->Handle(), appWindow = app->ApplicationWindow();
  SendMessageW(main, WM_SYSCOMMAND, SC_MINIMIZE, 0);
  Pump(200);
  EXPECT_TRUE(IsIconic(appWindow));
  EXPECT_FALSE(IsWindowVisible(main));
  SendMessageW(appWindow, WM_SYSCOMMAND, SC_RESTORE, 0);
  Pump(200);
  EXPECT_FALSE(IsIconic(appWindow));
  EXPECT_TRUE(IsWindowVisible(main));
}

struct BoxCase {
  const char* name;
  bool notice;
  QuestionButtons buttons;
  BoxAction action;
  DialogAnswer answer;
};

class BoxTest : public WindowTest, public ::testing::WithParamInterface<BoxCase> {};

TEST_P(BoxTest, AnswersAsTheTableSays) {
  const BoxCase& c = GetParam();
  Offer();
  BoxDriver driver(c.action);
  DialogAnswer answer = DialogAnswer::Ok;
  if (c.notice) {
    master->ShowNotice(u"Mise à jour effectué avec succès");
  } else {
    answer = master->ShowQuestion(u"Tallyx est en cours d'exécution", c.buttons);
  }
  ASSERT_TRUE(driver.Finish()) << c.name;
  const testing::SeenBox& seen = driver.Seen();
  if (!c.notice) {
    EXPECT_EQ(answer, c.answer) << c.name;
    EXPECT_EQ(seen.caption, L"Error") << c.name;
    EXPECT_TRUE(seen.hasIcon) << c.name;
    EXPECT_EQ(seen.text, L"Tallyx est en cours d'ex\u00E9cution") << c.name;
  } else {
    EXPECT_EQ(seen.caption, L"window_tests") << c.name;
    EXPECT_FALSE(seen.hasIcon) << c.name;
  }
  std::vector<std::pair<int, std::wstring>> expected;
  int defaultId;
  if (c.notice) {
    expected = {{IDOK, L"OK"}};
    defaultId = IDOK;
  } else if (c.buttons == QuestionButtons::YesNo) {
    expected = {{IDYES, L"&Yes"}, {IDNO, L"&No"}};
    defaultId = IDYES;
  } else {
    expected = {{IDCANCEL, L"Cancel"}, {IDRETRY, L"&Retry"}};
    defaultId = IDRETRY;
  }
  EXPECT_EQ(seen.buttons, expected) << c.name;
  EXPECT_EQ(seen.defaultId, defaultId) << c.name;
  EXPECT_TRUE(IsWindowEnabled(master->Handle())) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Boxes, BoxTest,
    ::testing::Values(
        BoxCase{"YesNo Enter", false, QuestionButtons::YesNo, BoxAction::Enter, DialogAnswer::Yes},
        BoxCase{"YesNo Escape", false, QuestionButtons::YesNo, BoxAction::Escape, DialogAnswer::No},
        BoxCase{"YesNo close box", false, QuestionButtons::YesNo, BoxAction::CloseBox, DialogAnswer::Cancel},
        BoxCase{"YesNo Alt F4", false, QuestionButtons::YesNo, BoxAction::AltF4, DialogAnswer::Cancel},
        BoxCase{"CancelRetry Enter", false, QuestionButtons::CancelRetry, BoxAction::Enter, DialogAnswer::Retry},
        BoxCase{"CancelRetry Escape", false, QuestionButtons::CancelRetry, BoxAction::Escape, DialogAnswer::Cancel},
        BoxCase{"CancelRetry close box", false, QuestionButtons::CancelRetry, BoxAction::CloseBox,
                DialogAnswer::Cancel},
        BoxCase{"Notice Enter", true, QuestionButtons::YesNo, BoxAction::Enter, DialogAnswer::Ok},
        BoxCase{"Notice Escape", true, QuestionButtons::YesNo, BoxAction::Escape, DialogAnswer::Ok}),
    [](const ::testing::TestParamInfo<BoxCase>& info) {
      std::string name = info.param.name;
      for (char& ch : name)
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return name;
    });

TEST_F(WindowTest, HandlerErrorsReachTheDefaultReportAndTheLoopGoesOn) {
  struct Case {
    const char16_t* message;
    const wchar_t* shown;
  } cases[] = {
      {u"'4.2.7.x' is not a valid integer value", L"'4.2.7.x' is not a valid integer value."},
      {u"Why?", L"Why?."},
  };
  for (const Case& c : cases) {
    BoxDriver driver(BoxAction::Enter);
    master->ReportError(EConvertError(c.message));
    ASSERT_TRUE(driver.Finish());
    EXPECT_EQ(driver.Seen().text, c.shown);
    EXPECT_EQ(driver.Seen().caption, L"window_tests");
    EXPECT_TRUE(driver.Seen().hasIcon);
    EXPECT_EQ(driver.Seen().buttons, (std::vector<std::pair<int, std::wstring>>{{IDOK, L"OK"}}));
  }
}

// A window whose handler raises what WM_APP asks for.
class RaisingWindow : public WindowBase {
 public:
  enum Kind { Program, Other };
  RaisingWindow() {
    RegisterClassOnce(L"TallyxRaisingWindow", 0, nullptr);
    Create(L"TallyxRaisingWindow", 0, WS_POPUP, L"", 0, 0, 10, 10, nullptr, 0);
  }

 protected:
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override {
    if (message == WM_APP) {
      if (wParam == Program) throw EConvertError(u"'4.2.x' is not a valid integer value");
      throw 42;
    }
    return WindowBase::HandleMessage(message, wParam, lParam);
  }
};

TEST_F(WindowTest, ErrorsNeverLeaveAWindowProcedure) {
  RaisingWindow window;
  struct Case {
    RaisingWindow::Kind kind;
    const wchar_t* shown;
  } cases[] = {
      {RaisingWindow::Program, L"'4.2.x' is not a valid integer value."},
      {RaisingWindow::Other, L""},
  };
  for (const Case& c : cases) {
    BoxDriver driver(BoxAction::Enter);
    PostMessageW(window.Handle(), WM_APP, c.kind, 0);
    Pump(100);
    ASSERT_TRUE(driver.Finish()) << c.kind;
    EXPECT_EQ(driver.Seen().text, c.shown) << c.kind;
    EXPECT_EQ(driver.Seen().caption, L"window_tests") << c.kind;
  }
  // A handler of the window's own: reported, and the loop goes on.
  Offer();
  handlers.calls.clear();
  handlers.raise = true;
  BoxDriver driver(BoxAction::Enter);
  Click(kButton2, 100);
  ASSERT_TRUE(driver.Finish());
  EXPECT_EQ(driver.Seen().text, L"'x' is not a valid integer value.");
  handlers.raise = false;
  Click(kButton2, 100);
  EXPECT_EQ(handlers.calls, (std::vector<std::string>{"cxButton2Click", "cxButton2Click"}));
  // Inside a download the error waits for the transfer: ProcessMessages raises it.
  PostMessageW(window.Handle(), WM_APP, RaisingWindow::Program, 0);
  EXPECT_THROW(app->ProcessMessages(), EConvertError);
  app->ProcessMessages();
}

TEST_F(WindowTest, FocusReturnsToTheHistoryOnActivation) {
  Offer();
  struct Case {
    const char* name;
    std::function<void()> away;
  } cases[] = {
      {"after a box",
       [&] {
         BoxDriver driver(BoxAction::Enter);
         master->ShowNotice(u"Mise à jour effectué avec succès");
       }},
      {"after a restore",
       [&] {
         SendMessageW(master->Handle(), WM_SYSCOMMAND, SC_MINIMIZE, 0);
         SendMessageW(app->ApplicationWindow(), WM_SYSCOMMAND, SC_RESTORE, 0);
       }},
  };
  for (const Case& c : cases) {
    c.away();
    Pump(200);
    EXPECT_EQ(GetFocus(), Control(kVersionInfo)) << c.name;
  }
}

TEST_F(WindowTest, AnnouncementFollowsTheSystemTextColour) {
  HWND label = Control(kLabel3);
  SetWindowTextW(label, L"MMMM WWWW");
  const int role = COLOR_WINDOWTEXT;
  const COLORREF usual = GetSysColor(role), changed = RGB(200, 0, 100);
  SetSysColors(1, &role, &changed);
  int w = 0, h = 0;
  std::vector<COLORREF> pixels = Render(label, w, h);
  SetSysColors(1, &role, &usual);
  EXPECT_NE(std::find(pixels.begin(), pixels.end(), changed), pixels.end());
  EXPECT_EQ(std::find(pixels.begin(), pixels.end(), usual), pixels.end());
}

TEST(ApplicationTitle, LowerCasedAsTheSystemDoes) {
  struct Case {
    const char16_t* path;
    const char16_t* title;
  } cases[] = {
      {u"C:\\Tallyx\\TallyxUpdater.exe", u"Tallyxupdater"},
      {u"C:\\\u0141\u00D3D\u0179.exe", u"\u0141\u00F3d\u017A"},  // ŁÓDŹ
      {u"C:\\\u0152UVRE.exe", u"\u0152uvre"},                        // ŒUVRE
      {u"C:\\\u0391\u0398\u0397\u039D\u0391.exe", u"\u0391\u03B8\u03B7\u03BD\u03B1"},  // ΑΘΗΝΑ
      {u"C:\\\u041C\u041E\u0421\u041A\u0412\u0410.exe", u"\u041C\u043E\u0441\u043A\u0432\u0430"},  // МОСКВА
  };
  for (const Case& c : cases) EXPECT_EQ(Application::TitleOf(c.path), c.title);
}

// Real pointer input: Wine's own hit-testing, capture and leave tracking decide.
class PointerTest : public WindowTest {
 protected:
  void SetUp() override {
    if (!testing::XdoAvailable()) GTEST_SKIP() << "no xdotool";
    WindowTest::SetUp();
    Offer();
    SetForegroundWindow(master->Handle());
    Pump(100);
    handlers.calls.clear();
  }
  // "x y" of a point of a control, in screen coordinates; a negative x counts from the right.
  std::string At(int id, int x, int y = -1) {
    HWND c = Control(id);
    RECT r;
    GetClientRect(c, &r);
    POINT p{x < 0 ? r.right + x : x, y < 0 ? r.bottom / 2 : y};
    ClientToScreen(c, &p);
    return std::to_string(p.x) + " " + std::to_string(p.y);
  }
  std::string Away() { return At(kVersionInfo, 200, 100); }
};

TEST_F(PointerTest, FaceWhileThePointerIsOver) {
  HWND button = Control(kButton2);
  const COLORREF face = GetSysColor(COLOR_BTNFACE);
  testing::Xdo("mousemove " + At(kButton2, 100));
  EXPECT_NE(PixelOf(button, 208, 27), face);
  testing::Xdo("mousemove " + Away());
  Pump(300);  // leave tracking
  EXPECT_EQ(PixelOf(button, 208, 27), face);
}

TEST_F(PointerTest, ClickOnlyWhenReleasedOverTheButton) {
  struct Case {
    const char* name;
    std::string input;
    std::vector<std::string> calls;
  } cases[] = {
      {"press, move out, release", "mousemove " + At(kButton2, 100) + " mousedown 1 mousemove " + Away() + " mouseup 1",
       {}},
      {"press and release on cxButton1's main part", "mousemove " + At(kButton1, 60) + " click 1", {"cxButton1Click"}},
      {"press on cxButton2", "mousemove " + At(kButton2, 100) + " click 1", {"cxButton2Click"}},
  };
  for (const Case& c : cases) {
    handlers.calls.clear();
    testing::Xdo(c.input);
    EXPECT_EQ(handlers.calls, c.calls) << c.name;
    testing::Xdo("mousemove " + Away());
  }
}

TEST_F(PointerTest, SegmentOpensTheMenuBelowOrAbove) {
  struct Case {
    const char* name;
    bool nearBottom;
    bool choose;  // else Escape
  } cases[] = {
      {"below, Escape", false, false},
      {"below, item chosen", false, true},
      {"above, Escape", true, false},
      {"above, item chosen", true, true},
  };
  for (const Case& c : cases) {
    if (c.nearBottom) ButtonNearTheBottom();
    handlers.calls.clear();
    RECT menuRect{};
    std::thread user([&menuRect, &c] {
      HWND menu = WaitForMenu();
      if (!menu) return;
      Sleep(100);
      GetWindowRect(menu, &menuRect);
      std::string middle = std::to_string((menuRect.left + menuRect.right) / 2) + " " +
                           std::to_string((menuRect.top + menuRect.bottom) / 2);
      testing::Xdo(c.choose ? "mousemove " + middle + " click 1" : "key Escape", false);
    });
    testing::Xdo("mousemove " + At(kButton1, -7) + " click 1");
    user.join();
    Pump(200);
    EXPECT_FALSE(IsWindowVisible(FindWindowW(L"#32768", nullptr))) << c.name;
    EXPECT_EQ(handlers.calls, c.choose ? std::vector<std::string>{"ForcerleRetlechargement1Click"}
                                       : std::vector<std::string>{})
        << c.name;
    RECT button = ScreenRect(Control(kButton1));
    EXPECT_EQ(menuRect.left, button.left) << c.name;
    if (c.nearBottom) {
      EXPECT_EQ(menuRect.bottom, button.top - 2) << c.name;
    } else {
      EXPECT_EQ(menuRect.top, button.bottom) << c.name;
    }
    testing::Xdo("mousemove " + Away());
  }
}

}  // namespace
}  // namespace tallyx::ui
