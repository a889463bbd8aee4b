#include "ui/message_boxes.h"

#include <algorithm>
#include <vector>

#include "platform/win_text.h"
#include "ui/callback_guard.h"
#include "ui/dpi.h"
#include "ui/gdi.h"

namespace tallyx::ui {
namespace {

struct BoxButton {
  int id;
  const wchar_t* text;
  DialogAnswer answer;
};

struct BoxDesign {
  std::u16string caption;
  std::u16string text;
  bool errorIcon;
  std::vector<BoxButton> buttons;
  size_t defaultButton;
  DialogAnswer escapeAnswer;
  DialogAnswer closeAnswer;
};

struct BoxState {
  const BoxDesign* design = nullptr;
  Font font;
  bool done = false;
  DialogAnswer answer = DialogAnswer::Cancel;
};

constexpr int kTextId = 0xFFFF;  // the static text, as in the platform's own boxes
constexpr int kIconId = 20;

void Finish(BoxState& state, DialogAnswer answer) {
  state.answer = answer;
  state.done = true;
}

void Layout(HWND box, BoxState& state) {
  const BoxDesign& design = *state.design;
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof(metrics);
  SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0);
  state.font = Font(CreateFontIndirectW(&metrics.lfMessageFont));

  const int margin = Scale(12), iconSize = GetSystemMetrics(SM_CXICON);
  const int buttonWidth = Scale(88), buttonHeight = Scale(26), gap = Scale(8);
  RECT textRect{0, 0, GetSystemMetrics(SM_CXSCREEN) / 2, 0};
  HDC dc = GetDC(box);
  {
    Selected select(dc, state.font.Get());
    DrawTextW(dc, W(design.text), -1, &textRect,
              DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX | DT_EXPANDTABS);
  }
  ReleaseDC(box, dc);

  int textLeft = margin + (design.errorIcon ? iconSize + margin : 0);
  int contentHeight = std::max<int>(textRect.bottom, design.errorIcon ? iconSize : 0);
  int buttonsWidth = int(design.buttons.size()) * (buttonWidth + gap) - gap;
  int clientWidth = std::max<int>(textLeft + textRect.right + margin, buttonsWidth + 2 * margin);
  int buttonsTop = margin + contentHeight + margin;
  int clientHeight = buttonsTop + buttonHeight + margin;

  HINSTANCE instance = GetModuleHandleW(nullptr);
  if (design.errorIcon) {
    HWND icon = CreateWindowExW(0, L"STATIC", nullptr, WS_CHILD | WS_VISIBLE | SS_ICON, margin,
                                margin, iconSize, iconSize, box,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(kIconId)), instance, nullptr);
    SendMessageW(icon, STM_SETICON, reinterpret_cast<WPARAM>(LoadIconW(nullptr, IDI_HAND)), 0);
  }
  int textTop = margin + (contentHeight - textRect.bottom) / 2;
  HWND text = CreateWindowExW(0, L"STATIC", W(design.text), WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX,
                              textLeft, textTop, textRect.right, textRect.bottom, box,
                              reinterpret_cast<HMENU>(static_cast<INT_PTR>(kTextId)), instance, nullptr);
  SendMessageW(text, WM_SETFONT, reinterpret_cast<WPARAM>(state.font.Get()), FALSE);

  int x = (clientWidth - buttonsWidth) / 2;
  for (size_t i = 0; i < design.buttons.size(); ++i, x += buttonWidth + gap) {
    const BoxButton& b = design.buttons[i];
    DWORD style = WS_CHILD | WS_VISIBLE | WS_TABSTOP |
                  (i == design.defaultButton ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON) | (i == 0 ? WS_GROUP : 0);
    HWND button = CreateWindowExW(0, L"BUTTON", b.text, style, x, buttonsTop, buttonWidth,
                                  buttonHeight, box, reinterpret_cast<HMENU>(static_cast<INT_PTR>(b.id)),
                                  instance, nullptr);
    SendMessageW(button, WM_SETFONT, reinterpret_cast<WPARAM>(state.font.Get()), FALSE);
  }

  RECT outer{0, 0, clientWidth, clientHeight};
  AdjustWindowRectEx(&outer, GetWindowLongW(box, GWL_STYLE), FALSE, GetWindowLongW(box, GWL_EXSTYLE));
  RECT work;
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  int width = outer.right - outer.left, height = outer.bottom - outer.top;
  SetWindowPos(box, nullptr, work.left + (work.right - work.left - width) / 2,
               work.top + (work.bottom - work.top - height) / 2, width, height, SWP_NOZORDER);
  SetWindowTextW(box, W(design.caption));
  int defaultId = design.buttons[design.defaultButton].id;
  SendMessageW(box, DM_SETDEFID, defaultId, 0);
  SetFocus(GetDlgItem(box, defaultId));
}

INT_PTR HandleBoxMessage(HWND box, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* state = reinterpret_cast<BoxState*>(GetWindowLongPtrW(box, DWLP_USER));
  switch (message) {
    case WM_INITDIALOG:
      state = reinterpret_cast<BoxState*>(lParam);
      SetWindowLongPtrW(box, DWLP_USER, lParam);
      Layout(box, *state);
      return FALSE;  // the focus is set already
    case WM_COMMAND:
      if (!state || HIWORD(wParam) != BN_CLICKED) return FALSE;
      for (const BoxButton& b : state->design->buttons) {
        if (b.id == LOWORD(wParam)) {
          Finish(*state, b.answer);
          return TRUE;
        }
      }
      // Escape arrives as IDCANCEL even when the box has no such button.
      if (LOWORD(wParam) == IDCANCEL) Finish(*state, state->design->escapeAnswer);
      return TRUE;
    case WM_CLOSE:  // close box, Alt+F4, Close in the system menu
      if (state) Finish(*state, state->design->closeAnswer);
      return TRUE;
  }
  return FALSE;
}

INT_PTR CALLBACK BoxProcedure(HWND box, UINT message, WPARAM wParam, LPARAM lParam) {
  return Guarded(INT_PTR{FALSE}, [&] { return HandleBoxMessage(box, message, wParam, lParam); });
}

// While the box is up, the program's other windows take no input.
struct DisabledWindows {
  std::vector<HWND> windows;
  explicit DisabledWindows(HWND except) : except_(except) {
    EnumThreadWindows(GetCurrentThreadId(), Collect, reinterpret_cast<LPARAM>(this));
    for (HWND w : windows) EnableWindow(w, FALSE);
  }
  ~DisabledWindows() {
    for (HWND w : windows) EnableWindow(w, TRUE);
  }
  static BOOL CALLBACK Collect(HWND window, LPARAM self) {
    return Guarded(BOOL{FALSE}, [&] {
      auto* me = reinterpret_cast<DisabledWindows*>(self);
      if (window != me->except_ && IsWindowVisible(window) && IsWindowEnabled(window))
        me->windows.push_back(window);
      return BOOL{TRUE};
    });
  }
  HWND except_;
};

DialogAnswer RunBox(AppServices& app, HWND owner, const BoxDesign& design) {
  if (app.QuitTaken()) return DialogAnswer::Cancel;
  // An empty dialog template: the controls are created at WM_INITDIALOG.
  struct alignas(4) {
    DLGTEMPLATE header;
    WORD menu, windowClass, title;
  } dialog{};
  dialog.header.style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
  BoxState state;
  state.design = &design;
  HWND box = CreateDialogIndirectParamW(GetModuleHandleW(nullptr), &dialog.header, owner,
                                        BoxProcedure, reinterpret_cast<LPARAM>(&state));
  if (!box) return DialogAnswer::Cancel;
  {
    DisabledWindows disabled(box);
    ShowWindow(box, SW_SHOW);
    SetForegroundWindow(box);
    MSG msg;
    while (!state.done) {
      BOOL got = GetMessageW(&msg, nullptr, 0, 0);
      if (got == 0 || got == -1) {
        app.NoteQuitTaken();
        state.answer = DialogAnswer::Cancel;
        break;
      }
      if (!IsDialogMessageW(box, &msg)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
    }
  }
  DestroyWindow(box);
  return state.answer;
}

}  // namespace

DialogAnswer ShowQuestionBox(AppServices& app, const std::u16string& text, QuestionButtons buttons) {
  BoxDesign design{u"Error", text, true, {}, 0, DialogAnswer::Cancel, DialogAnswer::Cancel};
  if (buttons == QuestionButtons::YesNo) {
    design.buttons = {{IDYES, L"&Yes", DialogAnswer::Yes}, {IDNO, L"&No", DialogAnswer::No}};
    design.defaultButton = 0;
    design.escapeAnswer = DialogAnswer::No;
  } else {
    design.buttons = {{IDCANCEL, L"Cancel", DialogAnswer::Cancel},
                    {IDRETRY, L"&Retry", DialogAnswer::Retry}};
    design.defaultButton = 1;
  }
  return RunBox(app, app.ApplicationWindow(), design);
}

DialogAnswer ShowNoticeBox(AppServices& app, const std::u16string& text) {
  BoxDesign design{app.Title(), text, false, {{IDOK, L"OK", DialogAnswer::Ok}}, 0, DialogAnswer::Ok,
               DialogAnswer::Cancel};
  return RunBox(app, app.ApplicationWindow(), design);
}

void ShowErrorBox(AppServices& app, HWND owner, const std::u16string& text) {
  BoxDesign design{app.Title(), text, true, {{IDOK, L"OK", DialogAnswer::Ok}}, 0, DialogAnswer::Ok,
               DialogAnswer::Cancel};
  RunBox(app, owner ? owner : app.ApplicationWindow(), design);
}

}  // namespace tallyx::ui
