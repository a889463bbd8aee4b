#pragma once
// Owners of GDI objects and the painting helpers every control of the window uses.
#include <windows.h>

#include <optional>
#include <string>
#include <utility>

#include "ui/png_image.h"

namespace tallyx::ui {

template <typename T>
class GdiObject {
 public:
  GdiObject() = default;
  explicit GdiObject(T object) : object_(object) {}
  GdiObject(GdiObject&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  GdiObject& operator=(GdiObject&& other) noexcept {
    if (this != &other) {
      Reset();
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  GdiObject(const GdiObject&) = delete;
  GdiObject& operator=(const GdiObject&) = delete;
  ~GdiObject() { Reset(); }
  void Reset() {
    if (object_) DeleteObject(object_);
    object_ = nullptr;
  }
  T Get() const { return object_; }

 private:
  T object_ = nullptr;
};

using Font = GdiObject<HFONT>;
using Brush = GdiObject<HBRUSH>;
using Bitmap = GdiObject<HBITMAP>;

// A colour fixed in RGB, or a system colour role read afresh at every paint, so that a
// colour or high-contrast change shows at once.
class Colour {
 public:
  static Colour Fixed(COLORREF rgb) { return Colour(rgb, -1); }
  static Colour System(int role) { return Colour(0, role); }
  COLORREF Get() const { return role_ >= 0 ? GetSysColor(role_) : rgb_; }

 private:
  Colour(COLORREF rgb, int role) : rgb_(rgb), role_(role) {}
  COLORREF rgb_;
  int role_;
};

// Selects an object into a DC for the guard's lifetime.
class Selected {
 public:
  Selected(HDC dc, HGDIOBJ object) : dc_(dc), previous_(SelectObject(dc, object)) {}
  ~Selected() { SelectObject(dc_, previous_); }
  Selected(const Selected&) = delete;
  Selected& operator=(const Selected&) = delete;

 private:
  HDC dc_;
  HGDIOBJ previous_;
};

// Calibri at a character height in pixels at 96 DPI.
Font CreateCalibri(int characterHeight, bool bold, bool antialiased = true);

// Painting without flicker: WM_PAINT draws into a memory bitmap and copies it at the end;
// WM_PRINTCLIENT draws straight into the DC it is given.
template <typename PaintFn>
void PaintBuffered(HWND window, PaintFn&& paint) {
  PAINTSTRUCT ps;
  HDC screen = BeginPaint(window, &ps);
  RECT client;
  GetClientRect(window, &client);
  HDC memory = CreateCompatibleDC(screen);
  Bitmap buffer(CreateCompatibleBitmap(screen, client.right > 0 ? client.right : 1,
                                       client.bottom > 0 ? client.bottom : 1));
  {
    Selected select(memory, buffer.Get());
    paint(memory, client);
    BitBlt(screen, 0, 0, client.right, client.bottom, memory, 0, 0, SRCCOPY);
  }
  DeleteDC(memory);
  EndPaint(window, &ps);
}

// A premultiplied 32-bit image ready for AlphaBlend.
class AlphaImage {
 public:
  AlphaImage() = default;
  explicit AlphaImage(const Pixels& pixels);
  bool Empty() const { return !bitmap_.Get(); }
  int Width() const { return width_; }
  int Height() const { return height_; }
  void Draw(HDC dc, int x, int y) const;

 private:
  Bitmap bitmap_;
  int width_ = 0;
  int height_ = 0;
};

// A PNG of the executable's RCDATA resources, or nothing when it cannot be read.
std::optional<Pixels> LoadPngResource(int id);

// The text of a window as portable text.
std::u16string WindowText(HWND window);

}  // namespace tallyx::ui
