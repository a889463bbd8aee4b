#include "window_test_support.h"

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace tallyx::ui::testing {
namespace {

void PutBig32(std::string& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out += char((v >> shift) & 0xFF);
}

void Chunk(std::string& out, const char* type, const std::string& body) {
  PutBig32(out, uint32_t(body.size()));
  std::string typed = std::string(type, 4) + body;
  out += typed;
  PutBig32(out, uint32_t(crc32(0, reinterpret_cast<const Bytef*>(typed.data()), uInt(typed.size()))));
}

}  // namespace

BoxDriver::BoxDriver(BoxAction action) : action_(action) {
  thread_ = std::thread([this] {
    HWND box = nullptr;
    for (int i = 0; i < 500 && !box; ++i) {
      box = OpenBoxOf(GetCurrentProcessId());
      if (!box) Sleep(10);
    }
    if (!box) return;
    Sleep(50);
    found_ = true;
    seen_.caption = TextOf(box);
    seen_.defaultId = LOWORD(SendMessageW(box, DM_GETDEFID, 0, 0));
    std::vector<std::pair<int, HWND>> buttons;
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
      wchar_t cls[64] = {};
      GetClassNameW(child, cls, 64);
      if (_wcsicmp(cls, L"Button") == 0) {
        RECT r;
        GetWindowRect(child, &r);
        buttons.emplace_back(r.left, child);
      } else if (_wcsicmp(cls, L"Static") == 0) {
        if (GetWindowLongW(child, GWL_STYLE) & SS_ICON)
          seen_.hasIcon = true;
        else
          seen_.text = TextOf(child);
      }
    }
    std::sort(buttons.begin(), buttons.end());
    for (auto& [left, button] : buttons) seen_.buttons.emplace_back(GetDlgCtrlID(button), TextOf(button));
    HWND focus = GetDlgItem(box, seen_.defaultId);
    switch (action_) {
      case BoxAction::Enter:
        PostMessageW(focus, WM_KEYDOWN, VK_RETURN, 0);
        break;
      case BoxAction::Escape:
        PostMessageW(focus, WM_KEYDOWN, VK_ESCAPE, 0);
        break;
      case BoxAction::CloseBox:
        PostMessageW(box, WM_SYSCOMMAND, SC_CLOSE, 0);
        break;
      case BoxAction::AltF4:
        PostMessageW(box, WM_SYSKEYDOWN, VK_F4, 1 << 29);
        break;
    }
  });
}

BoxDriver::~BoxDriver() {
  if (thread_.joinable()) thread_.join();
}

bool BoxDriver::Finish() {
  if (thread_.joinable()) thread_.join();
  return found_;
}

void Pump(int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  MSG msg;
  while (std::chrono::steady_clock::now() < end) {
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    Sleep(5);
  }
}

bool XdoAvailable() { return GetFileAttributesW(L"Z:\\usr\\bin\\xdotool") != INVALID_FILE_ATTRIBUTES; }

void Xdo(const std::string& arguments, bool pump) {
  static std::atomic<int> serial{0};
  const std::wstring marker =
      L"xdo-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++serial) + L".done";
  // Wine starts a Unix program itself, in the current folder, but gives nothing to wait
  // on: the shell leaves a file behind once xdotool has returned.
  std::wstring command = L"/bin/sh -c \"/usr/bin/xdotool " + std::wstring(arguments.begin(), arguments.end()) +
                         L"; touch " + marker + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return;
  // For a Unix program Wine hands back no usable handles (the fields hold stray values):
  // closing them would close handles of this process.
  auto wait = [pump](int ms) { pump ? Pump(ms) : Sleep(ms); };
  for (int i = 0; i < 500 && GetFileAttributesW(marker.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) wait(10);
  DeleteFileW(marker.c_str());
  wait(150);
}

void SaveScreenshot(const std::wstring& path) {
  int w = GetSystemMetrics(SM_CXVIRTUALSCREEN), h = GetSystemMetrics(SM_CYVIRTUALSCREEN);
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = w;
  info.bmiHeader.biHeight = -h;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, w, h, screen, GetSystemMetrics(SM_XVIRTUALSCREEN), GetSystemMetrics(SM_YVIRTUALSCREEN),
         SRCCOPY);
  GdiFlush();
  std::string raw;
  auto* pixels = static_cast<const uint8_t*>(bits);
  for (int y = 0; y < h; ++y) {
    raw += char(0);
    for (int x = 0; x < w; ++x) {
      const uint8_t* p = pixels + (size_t(y) * w + x) * 4;
      raw += char(p[2]);
      raw += char(p[1]);
      raw += char(p[0]);
    }
  }
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  uLongf size = compressBound(uLong(raw.size()));
  std::string z(size, '\0');
  compress(reinterpret_cast<Bytef*>(z.data()), &size, reinterpret_cast<const Bytef*>(raw.data()), uLong(raw.size()));
  z.resize(size);
  std::string header;
  PutBig32(header, uint32_t(w));
  PutBig32(header, uint32_t(h));
  header += std::string("\x08\x02\x00\x00\x00", 5);
  std::string png("\x89PNG\r\n\x1A\n", 8);
  Chunk(png, "IHDR", header);
  Chunk(png, "IDAT", z);
  Chunk(png, "IEND", "");
  FILE* file = _wfopen(path.c_str(), L"wb");
  if (!file) return;
  fwrite(png.data(), 1, png.size(), file);
  fclose(file);
}

}  // namespace tallyx::ui::testing
