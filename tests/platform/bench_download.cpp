// Download throughput: a plain WinINet reader (64 KiB reads, as fast as WinINet goes in
// this system) against the updater's own download, whose progress sets a real window's
// caption, repaints it and handles its messages as the main window does.
//   bench_download URL FILE
#include <windows.h>
#include <wininet.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/web.h"
#include "platform/win_text.h"

namespace {

double Seconds(ULONGLONG from) { return (GetTickCount64() - from) / 1000.0; }

// The plain reader: one synchronous request, read to its end into the file.
long long PlainRead(const std::wstring& url, const std::wstring& file, double& seconds) {
  const ULONGLONG start = GetTickCount64();
  HINTERNET internet = InternetOpenW(L"bench", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  HINTERNET request = InternetOpenUrlW(internet, url.c_str(), nullptr, 0, INTERNET_FLAG_RELOAD, 0);
  HANDLE out = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  std::vector<char> buffer(64 * 1024);
  long long total = 0;
  DWORD count = 0, written = 0;
  while (request && InternetReadFile(request, buffer.data(), DWORD(buffer.size()), &count) &&
         count) {
    WriteFile(out, buffer.data(), count, &written, nullptr);
    total += count;
  }
  CloseHandle(out);
  if (request) InternetCloseHandle(request);
  InternetCloseHandle(internet);
  seconds = Seconds(start);
  return total;
}

// A window that shows the progress as the main window does: caption, bar repainted at
// once, messages handled.
class WindowView : public tallyx::ProgressView {
 public:
  WindowView() {
    window_ = CreateWindowW(L"STATIC", L"bench", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 400,
                            200, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  }
  ~WindowView() override { DestroyWindow(window_); }
  void SetProgressMax(double max) override { max_ = max; }
  void SetProgressPosition(double position) override { position_ = position; }
  void RepaintProgress() override {
    InvalidateRect(window_, nullptr, FALSE);
    UpdateWindow(window_);
  }
  void SetCaption(const std::u16string& caption) override {
    SetWindowTextW(window_, tallyx::W(caption));
    ++notifications;
  }
  void ProcessMessages() override {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  int notifications = 0;

 private:
  HWND window_;
  double max_ = 0, position_ = 0;
};

long long FileSize(const std::wstring& file) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  const std::wstring url = argv[1], file = argv[2];
  for (int round = 1; round <= 2; ++round) {
    double plainSeconds = 0;
    const long long plain = PlainRead(url, file, plainSeconds);
    DeleteFileW(file.c_str());
    DeleteUrlCacheEntryW(url.c_str());

    WindowView view;
    tallyx::WinDownloads downloads([&] { return static_cast<tallyx::ProgressView*>(&view); });
    const auto callback = downloads.CreateDownloadCallback();
    const ULONGLONG start = GetTickCount64();
    downloads.DownloadToFile(tallyx::FromW(url.c_str()), tallyx::FromW(file.c_str()),
                             callback.get(), tallyx::DownloadStart::Afresh, 0);
    const double seconds = Seconds(start);
    const long long got = FileSize(file);
    DeleteFileW(file.c_str());
    DeleteUrlCacheEntryW(url.c_str());
    std::printf("round %d: plain WinINet reader %.1f MB/s (%lld bytes); updater %.1f MB/s "
                "(%lld bytes, %d notifications): %.0f %%\n",
                round, plain / plainSeconds / 1e6, plain, got / seconds / 1e6, got,
                view.notifications, 100.0 * (got / seconds) / (plain / plainSeconds));
  }
  return 0;
}
