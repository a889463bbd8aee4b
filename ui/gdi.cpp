#include "ui/gdi.h"

#include <cstring>

#include "platform/win_text.h"
#include "ui/dpi.h"

namespace tallyx::ui {

Font CreateCalibri(int characterHeight, bool bold, bool antialiased) {
  return Font(CreateFontW(-Scale(characterHeight), 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE,
                          FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                          antialiased ? DEFAULT_QUALITY : NONANTIALIASED_QUALITY,
                          DEFAULT_PITCH | FF_SWISS, L"Calibri"));
}

AlphaImage::AlphaImage(const Pixels& pixels) : width_(pixels.width), height_(pixels.height) {
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = width_;
  info.bmiHeader.biHeight = -height_;  // top row first, as the pixels are
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  bitmap_ = Bitmap(CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
  if (bits) memcpy(bits, pixels.bgra.data(), pixels.bgra.size());
}

void AlphaImage::Draw(HDC dc, int x, int y) const {
  if (Empty()) return;
  HDC source = CreateCompatibleDC(dc);
  {
    Selected select(source, bitmap_.Get());
    BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    AlphaBlend(dc, x, y, width_, height_, source, 0, 0, width_, height_, blend);
  }
  DeleteDC(source);
}

std::optional<Pixels> LoadPngResource(int id) {
  HRSRC info = FindResourceW(nullptr, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(10) /*RT_RCDATA*/);
  HGLOBAL data = info ? LoadResource(nullptr, info) : nullptr;
  const void* bytes = data ? LockResource(data) : nullptr;
  if (!bytes) return std::nullopt;
  return DecodePng(std::string_view(static_cast<const char*>(bytes), SizeofResource(nullptr, info)));
}

std::u16string WindowText(HWND window) {
  std::u16string text(GetWindowTextLengthW(window) + 1, u'\0');
  text.resize(GetWindowTextW(window, W(text), int(text.size())));
  return text;
}

}  // namespace tallyx::ui
