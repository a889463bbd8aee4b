#include "ui/label.h"

#include <algorithm>

#include "platform/win_text.h"
#include "ui/text_layout.h"

namespace tallyx::ui {
namespace {

constexpr const wchar_t* kClass = L"TLabel";

int Width(HDC dc, std::u16string_view text) {
  SIZE size{};
  GetTextExtentPoint32W(dc, reinterpret_cast<const wchar_t*>(text.data()), int(text.size()), &size);
  return size.cx;
}

struct LaidRow {
  std::u16string text;
  std::vector<size_t> underlined;
};

// The rows the label shows: its lines, their mnemonics resolved, wrapped when asked.
std::vector<LaidRow> LayRows(HDC dc, const std::u16string& text, bool wrap, int width) {
  std::vector<LaidRow> rows;
  MeasureText measure = [dc](std::u16string_view s) { return Width(dc, s); };
  for (const std::u16string& line : SplitLabelLines(text)) {
    MnemonicLine m = ResolveMnemonics(line);
    std::vector<Row> pieces = wrap ? WrapWords(m.text, width, measure)
                                   : std::vector<Row>{{0, m.text.size()}};
    for (const Row& piece : pieces) {
      LaidRow row{m.text.substr(piece.start, piece.length), {}};
      for (size_t u : m.underlined)
        if (u >= piece.start && u < piece.start + piece.length) row.underlined.push_back(u - piece.start);
      rows.push_back(std::move(row));
    }
  }
  return rows;
}

}  // namespace

Label::Label(HWND parent, int id, int x, int y, int width, int height, LabelMode mode, Font font, Colour text,
             Colour background)
    : mode_(mode), font_(std::move(font)), text_(text), background_(background) {
  RegisterClassOnce(kClass, 0, nullptr);
  Create(kClass, 0, WS_CHILD | WS_VISIBLE, L"", x, y, width, height, parent, id);
}

void Label::SetText(const std::u16string& text) { SetWindowTextW(Handle(), W(text)); }

int Label::LineHeight() const {
  HDC dc = GetDC(Handle());
  TEXTMETRICW tm{};
  {
    Selected select(dc, font_.Get());
    GetTextMetricsW(dc, &tm);
  }
  ReleaseDC(Handle(), dc);
  return tm.tmHeight;
}

void Label::FitToText() {
  if (mode_ != LabelMode::AutoSize) return;
  HDC dc = GetDC(Handle());
  int width = 0, rows = 0;
  {
    Selected select(dc, font_.Get());
    for (const LaidRow& row : LayRows(dc, WindowText(Handle()), false, 0)) {
      width = std::max(width, Width(dc, row.text));
      ++rows;
    }
  }
  ReleaseDC(Handle(), dc);
  SetWindowPos(Handle(), nullptr, 0, 0, width, rows * LineHeight(), SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Label::Paint(HDC dc, const RECT& client) {
  SetBkColor(dc, background_.Get());
  ExtTextOutW(dc, 0, 0, ETO_OPAQUE, &client, nullptr, 0, nullptr);
  Selected select(dc, font_.Get());
  const COLORREF textColour = text_.Get();
  SetTextColor(dc, textColour);
  SetBkMode(dc, TRANSPARENT);
  TEXTMETRICW tm{};
  GetTextMetricsW(dc, &tm);
  IntersectClipRect(dc, 0, 0, client.right, client.bottom);
  int y = 0;
  for (const LaidRow& row : LayRows(dc, WindowText(Handle()), mode_ == LabelMode::WrapAndClip, client.right)) {
    int x = mode_ == LabelMode::CentredLine ? (client.right - Width(dc, row.text)) / 2 : 0;
    TextOutW(dc, x, y, reinterpret_cast<const wchar_t*>(row.text.c_str()), int(row.text.size()));
    for (size_t u : row.underlined) {
      int left = x + Width(dc, std::u16string_view(row.text).substr(0, u));
      RECT line{left, y + tm.tmAscent + 1, left + Width(dc, std::u16string_view(row.text).substr(u, 1)),
                y + tm.tmAscent + 2};
      Brush brush(CreateSolidBrush(textColour));
      FillRect(dc, &line, brush.Get());
    }
    y += tm.tmHeight;
  }
}

LRESULT Label::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_SETTEXT: {
      LRESULT result = PaintedControl::HandleMessage(message, wParam, lParam);
      FitToText();
      InvalidateRect(Handle(), nullptr, FALSE);
      return result;
    }
    case WM_NCHITTEST:
      return HTTRANSPARENT;
  }
  return PaintedControl::HandleMessage(message, wParam, lParam);
}

}  // namespace tallyx::ui
