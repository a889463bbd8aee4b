#include "ui/progress_bar.h"

#include <uxtheme.h>
#include <vssym32.h>

#include <algorithm>
#include <string>

#include "ui/progress_math.h"

namespace tallyx::ui {
namespace {

constexpr const wchar_t* kClass = L"TcxProgressBar";
constexpr UINT_PTR kSweepTimer = 1;
constexpr COLORREF kFill = RGB(40, 211, 0);

COLORREF Mix(COLORREF a, COLORREF b, int percentOfB) {
  auto channel = [&](int ca, int cb) { return (ca * (100 - percentOfB) + cb * percentOfB) / 100; };
  return RGB(channel(GetRValue(a), GetRValue(b)), channel(GetGValue(a), GetGValue(b)),
             channel(GetBValue(a), GetBValue(b)));
}

void Fill(HDC dc, int left, int top, int right, int bottom, COLORREF colour) {
  SetBkColor(dc, colour);
  RECT r{left, top, right, bottom};
  ExtTextOutW(dc, 0, 0, ETO_OPAQUE, &r, nullptr, 0, nullptr);
}

void HorizontalGradient(HDC dc, int left, int top, int right, int bottom, COLORREF from, COLORREF to) {
  TRIVERTEX v[2] = {
      {left, top, COLOR16(GetRValue(from) << 8), COLOR16(GetGValue(from) << 8), COLOR16(GetBValue(from) << 8), 0},
      {right, bottom, COLOR16(GetRValue(to) << 8), COLOR16(GetGValue(to) << 8), COLOR16(GetBValue(to) << 8), 0}};
  GRADIENT_RECT rect{0, 1};
  GradientFill(dc, v, 2, &rect, 1, GRADIENT_FILL_RECT_H);
}

}  // namespace

ProgressBar::ProgressBar(HWND parent, int id, int x, int y, int width, int height)
    : sweep_(-kSweepBandWidth), font_(CreateCalibri(16, false, false)) {
  RegisterClassOnce(kClass, 0, nullptr);
  Create(kClass, 0, WS_CHILD, L"0 %", x, y, width, height, parent, id);
}

void ProgressBar::SetMax(double max) {
  max_ = max;
  UpdateText();
}

void ProgressBar::SetPosition(double position) {
  position_ = position;
  UpdateText();
}

void ProgressBar::UpdateText() {
  std::wstring text = std::to_wstring(ProgressPercent(max_, position_)) + L" %";
  SetWindowTextW(Handle(), text.c_str());
  InvalidateRect(Handle(), nullptr, FALSE);
}

void ProgressBar::Repaint() { RedrawWindow(Handle(), nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW); }

void ProgressBar::PaintTrack(HDC dc, const RECT& client) {
  HTHEME theme = OpenThemeData(Handle(), L"PROGRESS");
  if (theme) {
    DrawThemeBackground(theme, dc, PP_BAR, 0, &client, nullptr);
    CloseThemeData(theme);
    return;
  }
  FillRect(dc, &client, GetSysColorBrush(COLOR_BTNFACE));
  RECT edge = client;
  DrawEdge(dc, &edge, BDR_SUNKENOUTER, BF_RECT);
}

void ProgressBar::PaintFill(HDC dc, const RECT& client, int fillWidth) {
  if (fillWidth <= 0) return;
  const int h = client.bottom;
  const COLORREF light = Mix(kFill, RGB(255, 255, 255), 45), dark = Mix(kFill, RGB(0, 0, 0), 25);
  Fill(dc, 0, 0, fillWidth, h, kFill);
  // The sweeping band, lighter towards its middle, kept within the filled part.
  int saved = SaveDC(dc);
  IntersectClipRect(dc, 0, 0, fillWidth, h);
  int mid = sweep_ + kSweepBandWidth / 2;
  HorizontalGradient(dc, sweep_, 0, mid, h, kFill, light);
  HorizontalGradient(dc, mid, 0, sweep_ + kSweepBandWidth, h, light, kFill);
  RestoreDC(dc, saved);
  // A lighter band along the top, darker shading along the edges.
  HDC white = CreateCompatibleDC(dc);
  Bitmap pixel(CreateCompatibleBitmap(dc, 1, 1));
  {
    Selected select(white, pixel.Get());
    SetPixel(white, 0, 0, RGB(255, 255, 255));
    BLENDFUNCTION blend{AC_SRC_OVER, 0, 90, 0};
    AlphaBlend(dc, 0, 1, fillWidth, std::max(1, h / 3), white, 0, 0, 1, 1, blend);
  }
  DeleteDC(white);
  Fill(dc, 0, 0, fillWidth, 1, light);
  Fill(dc, 0, h - 1, fillWidth, h, dark);
  Fill(dc, 0, 0, 1, h, dark);
  Fill(dc, fillWidth - 1, 0, fillWidth, h, dark);
}

void ProgressBar::PaintText(HDC dc, const RECT& client) {
  // The text goes through a mask: XOR with white inverts every pixel it covers, so it
  // reads on the track and on the fill alike.
  HDC mask = CreateCompatibleDC(dc);
  Bitmap bits(CreateCompatibleBitmap(dc, client.right, client.bottom));
  {
    Selected selectBits(mask, bits.Get());
    Selected selectFont(mask, font_.Get());
    FillRect(mask, &client, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    SetTextColor(mask, RGB(255, 255, 255));
    SetBkMode(mask, TRANSPARENT);
    RECT r = client;
    std::wstring text = std::to_wstring(ProgressPercent(max_, position_)) + L" %";
    DrawTextW(mask, text.c_str(), -1, &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    BitBlt(dc, 0, 0, client.right, client.bottom, mask, 0, 0, SRCINVERT);
  }
  DeleteDC(mask);
}

void ProgressBar::Paint(HDC dc, const RECT& client) {
  PaintTrack(dc, client);
  PaintFill(dc, client, ProgressFillWidth(max_, position_, client.right));
  PaintText(dc, client);
}

LRESULT ProgressBar::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_SHOWWINDOW:
      if (wParam)
        SetTimer(Handle(), kSweepTimer, kSweepIntervalMs, nullptr);
      else
        KillTimer(Handle(), kSweepTimer);
      break;
    case WM_TIMER:
      if (wParam == kSweepTimer) {
        RECT client;
        GetClientRect(Handle(), &client);
        sweep_ = NextSweepOffset(sweep_, ProgressFillWidth(max_, position_, client.right));
        InvalidateRect(Handle(), nullptr, FALSE);
        return 0;
      }
      break;
  }
  return PaintedControl::HandleMessage(message, wParam, lParam);
}

}  // namespace tallyx::ui
