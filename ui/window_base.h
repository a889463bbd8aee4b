#pragma once
// A window bound to a C++ object: `this` is stored at WM_NCCREATE and every message goes
// to the object's HandleMessage.
#include <windows.h>

namespace tallyx::ui {

class WindowBase {
 public:
  WindowBase() = default;
  WindowBase(const WindowBase&) = delete;
  WindowBase& operator=(const WindowBase&) = delete;
  virtual ~WindowBase();

  HWND Handle() const { return hwnd_; }

 protected:
  // Registers `className` once per process.
  static void RegisterClassOnce(const wchar_t* className, UINT style, HBRUSH background,
                                HICON icon = nullptr);
  // Creates the window; raises EOSError when the platform refuses.
  void Create(const wchar_t* className, DWORD exStyle, DWORD style, const wchar_t* text, int x,
              int y, int width, int height, HWND parent, int id);
  virtual LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);

 private:
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  HWND hwnd_ = nullptr;
};

// A custom control that draws itself: it swallows WM_ERASEBKGND, paints double-buffered,
// and serves WM_PAINT and WM_PRINTCLIENT from its one Paint routine.
class PaintedControl : public WindowBase {
 protected:
  virtual void Paint(HDC dc, const RECT& client) = 0;
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
};

}  // namespace tallyx::ui
