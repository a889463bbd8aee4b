#include "ui/glyph_button.h"

#include <uxtheme.h>
#include <windowsx.h>
#include <vssym32.h>

#include <algorithm>

#include "platform/win_text.h"
#include "ui/dpi.h"
#include "ui/text_layout.h"

namespace tallyx::ui {
namespace {

constexpr const wchar_t* kClass = L"TcxButton";
constexpr int kDropDownWidth = 15;
constexpr int kBorder = 2;

int Width(HDC dc, std::u16string_view text) {
  SIZE size{};
  GetTextExtentPoint32W(dc, reinterpret_cast<const wchar_t*>(text.data()), int(text.size()), &size);
  return size.cx;
}

}  // namespace

GlyphButton::GlyphButton(HWND parent, int id, int x, int y, int width, int height,
                         const std::u16string& caption, const AlphaImage& glyph, GlyphButtonStyle style)
    : glyph_(glyph), style_(style), font_(CreateCalibri(15, true)) {
  RegisterClassOnce(kClass, 0, nullptr);
  Create(kClass, 0, WS_CHILD | WS_VISIBLE, W(caption), x, y, width, height, parent, id);
}

bool GlyphButton::InDropDown(int x) const {
  RECT client;
  GetClientRect(Handle(), &client);
  return style_.dropDown && x >= client.right - Scale(kDropDownWidth);
}

void GlyphButton::Notify(WORD code) {
  SendMessageW(GetParent(Handle()), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(Handle()), code),
               reinterpret_cast<LPARAM>(Handle()));
}

void GlyphButton::SetHot(bool hot) {
  if (hot == hot_) return;
  hot_ = hot;
  InvalidateRect(Handle(), nullptr, FALSE);
}

void GlyphButton::PaintFace(HDC dc, const RECT& client) {
  bool pressedLook = PressedLook();
  HTHEME theme = OpenThemeData(Handle(), L"BUTTON");
  if (theme) {
    DrawThemeBackground(theme, dc, BP_PUSHBUTTON, pressedLook ? PBS_PRESSED : PBS_HOT, &client, nullptr);
    CloseThemeData(theme);
  } else {
    RECT face = client;
    DrawFrameControl(dc, &face, DFC_BUTTON, DFCS_BUTTONPUSH | (pressedLook ? DFCS_PUSHED : 0));
  }
  if (style_.dropDown) {
    int x = client.right - Scale(kDropDownWidth);
    RECT separator{x, client.top + Scale(4), x + 1, client.bottom - Scale(4)};
    FillRect(dc, &separator, GetSysColorBrush(COLOR_BTNSHADOW));
  }
}

void GlyphButton::Paint(HDC dc, const RECT& client) {
  FillRect(dc, &client, GetSysColorBrush(COLOR_BTNFACE));
  if (hot_ || pressed_) PaintFace(dc, client);

  RECT content = client;
  InflateRect(&content, -Scale(kBorder), -Scale(kBorder));
  if (style_.dropDown) {
    content.right = client.right - Scale(kDropDownWidth);
    // A small downward arrow centred in the segment.
    int cx = content.right + Scale(kDropDownWidth) / 2, cy = (client.top + client.bottom) / 2;
    int half = Scale(3);
    POINT arrow[3] = {{cx - half, cy - half / 2}, {cx + half + 1, cy - half / 2}, {cx, cy + half / 2 + 1}};
    Selected pen(dc, GetStockObject(NULL_PEN));
    Selected brush(dc, GetSysColorBrush(COLOR_BTNTEXT));
    Polygon(dc, arrow, 3);
  }

  Selected font(dc, font_.Get());
  TEXTMETRICW tm{};
  GetTextMetricsW(dc, &tm);
  const int contentWidth = content.right - content.left, contentHeight = content.bottom - content.top;
  const int glyphWidth = glyph_.Empty() ? Scale(32) : glyph_.Width();
  const int glyphHeight = glyph_.Empty() ? Scale(32) : glyph_.Height();
  std::vector<std::u16string> rows;
  MeasureText measure = [dc](std::u16string_view s) { return Width(dc, s); };
  for (const std::u16string& line : SplitCaptionLines(WindowText(Handle()))) {
    if (!style_.wordWrap) {
      rows.push_back(line);
      continue;
    }
    for (const Row& r : WrapWords(line, contentWidth - glyphWidth, measure))
      rows.push_back(line.substr(r.start, r.length));
  }
  int blockWidth = 0;
  for (const auto& r : rows) blockWidth = std::max(blockWidth, Width(dc, r));
  int blockHeight = int(rows.size()) * tm.tmHeight;
  ButtonContent at = LayoutButtonContent(content.left, content.top, contentWidth, contentHeight,
                                         glyphWidth, glyphHeight, blockWidth, blockHeight);
  glyph_.Draw(dc, at.glyphLeft, at.glyphTop);
  SetTextColor(dc, style_.captionColour);
  SetBkMode(dc, TRANSPARENT);
  int y = at.textTop;
  for (const auto& r : rows) {
    int x = at.textLeft + (blockWidth - Width(dc, r)) / 2;
    TextOutW(dc, x, y, reinterpret_cast<const wchar_t*>(r.c_str()), int(r.size()));
    y += tm.tmHeight;
  }
}

LRESULT GlyphButton::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  const int x = GET_X_LPARAM(lParam), y = GET_Y_LPARAM(lParam);
  auto inside = [&] {
    RECT client;
    GetClientRect(Handle(), &client);
    POINT p{x, y};
    return PtInRect(&client, p) != FALSE;
  };
  switch (message) {
    case WM_MOUSEMOVE:
      if (!tracking_) {
        TRACKMOUSEEVENT track{};
        track.cbSize = sizeof(track);
        track.dwFlags = TME_LEAVE;
        track.hwndTrack = Handle();
        tracking_ = TrackMouseEvent(&track) != FALSE;
      }
      SetHot(inside());
      return 0;
    case WM_MOUSELEAVE:
      tracking_ = false;
      if (!pressed_) SetHot(false);
      return 0;
    case WM_LBUTTONDOWN:
      if (InDropDown(x)) {
        Notify(kDropDownPressed);
        return 0;
      }
      pressed_ = true;
      SetCapture(Handle());
      SetHot(true);
      InvalidateRect(Handle(), nullptr, FALSE);
      return 0;
    case WM_LBUTTONUP:
      if (pressed_) {
        bool click = inside();
        pressed_ = false;
        ReleaseCapture();
        SetHot(click);
        InvalidateRect(Handle(), nullptr, FALSE);
        if (click) Notify(BN_CLICKED);
      }
      return 0;
    case WM_CAPTURECHANGED:
      if (pressed_) {
        pressed_ = false;
        InvalidateRect(Handle(), nullptr, FALSE);
      }
      return 0;
    case WM_SHOWWINDOW:
      if (!wParam) {
        hot_ = pressed_ = false;
      }
      break;
    case WM_SETTEXT: {
      LRESULT result = PaintedControl::HandleMessage(message, wParam, lParam);
      InvalidateRect(Handle(), nullptr, FALSE);
      return result;
    }
  }
  return PaintedControl::HandleMessage(message, wParam, lParam);
}

}  // namespace tallyx::ui
