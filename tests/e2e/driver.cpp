// Drives a running TallyxUpdater from outside, the way a person would: finds its windows,
// reads what they show and posts real mouse messages. One command per run:
//   driver dump                 the main window, its controls and any open box
//   driver click NAME           click the middle of control NAME, e.g. cxButton1 (main part
//                               for the split button)
//   driver dropdown             press the split button's drop-down segment
//   driver menu-choose          choose the first item of the open pop-up menu
//   driver answer BUTTON_ID     click a button of the open modal box
//   driver box-close            close the open modal box with its close box
//   driver close                close the main window (as its close box does)
//   driver count-main           how many main windows exist (any process)
//   driver where NAME           the screen point that `click NAME` posts to, for real input
//   driver texts                the texts of the boxes, as key=value lines
//   driver trust-root PEM       add a test certificate authority to this prefix's
//                               LocalMachine "Root" store (what an administrator's
//                               certificate import does on Windows)
//   driver probe SECONDS        send the main window a message every 20 ms
//                               (SendMessageTimeout, as Windows does before it calls a
//                               window "not responding") until a box opens, the window
//                               goes or SECONDS pass; prints the longest answer and the
//                               progress bar's texts in the order they came
//   driver scan FOLDER HOLD_MS SECONDS
//                               a stand-in for an on-access scanner: opens every new or
//                               changed file under FOLDER as soon as it can, reads it
//                               and keeps it open HOLD_MS, without delete or write
//                               sharing, for SECONDS
// Prints key=value lines; exits 1 when the window or box is not found.
#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <map>
#include <string>
#include <vector>

#include "controller/messages.h"
#include "tests/support/open_box.h"
#include "ui/control_ids.h"

namespace {

using tallyx::testing::OpenBoxOf;
using tallyx::testing::TextOf;

const wchar_t* Wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

// A copy of the program that is ending can leave a main window behind for a moment:
// prefer a visible, whole one (its panel still there) over any other.
HWND MainWindow() {
  HWND best = nullptr;
  int bestScore = -1;
  for (HWND w = FindWindowW(Wide(tallyx::ui::kMainWindowClass), nullptr); w;
       w = FindWindowExW(nullptr, w, Wide(tallyx::ui::kMainWindowClass), nullptr)) {
    const int score = (GetDlgItem(w, tallyx::ui::kPanel1) ? 2 : 0) + (IsWindowVisible(w) ? 1 : 0);
    if (score > bestScore) {
      best = w;
      bestScore = score;
    }
  }
  return best;
}

std::string Utf8(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) {
    // Escape line breaks so that each value stays on one line.
    if (c == L'\r') { out += "\\r"; continue; }
    if (c == L'\n') { out += "\\n"; continue; }
    if (c == L'\\') { out += "\\\\"; continue; }
    char buffer[8];
    const int n = WideCharToMultiByte(CP_UTF8, 0, &c, 1, buffer, sizeof buffer, nullptr, nullptr);
    out.append(buffer, n);
  }
  return out;
}

HWND OpenBox(HWND main) {
  DWORD process = 0;
  GetWindowThreadProcessId(main, &process);
  return OpenBoxOf(process);
}

BOOL CALLBACK FindMenu(HWND window, LPARAM param) {
  wchar_t cls[64] = {};
  GetClassNameW(window, cls, 64);
  if (wcscmp(cls, L"#32768") == 0 && IsWindowVisible(window)) {
    *reinterpret_cast<HWND*>(param) = window;
    return FALSE;
  }
  return TRUE;
}

void PostClick(HWND window, int x, int y) {
  const LPARAM at = MAKELPARAM(x, y);
  PostMessageW(window, WM_MOUSEMOVE, 0, at);
  PostMessageW(window, WM_LBUTTONDOWN, MK_LBUTTON, at);
  PostMessageW(window, WM_LBUTTONUP, 0, at);
}

// Prints where the point `x`, half-way down a control, is on screen.
int PrintWhere(HWND control, int x) {
  RECT r;
  GetClientRect(control, &r);
  POINT p{x, r.bottom / 2};
  ClientToScreen(control, &p);
  std::printf("x=%ld\ny=%ld\n", p.x, p.y);
  return 0;
}

void DumpBox(HWND box) {
  std::printf("box.caption=%s\n", Utf8(TextOf(box)).c_str());
  for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    wchar_t cls[64] = {};
    GetClassNameW(child, cls, 64);
    const int id = GetDlgCtrlID(child);
    if (wcscmp(cls, L"Button") == 0) {
      std::printf("box.button.%d=%s\n", id, Utf8(TextOf(child)).c_str());
    } else if (wcscmp(cls, L"Static") == 0 && !TextOf(child).empty()) {
      std::printf("box.text=%s\n", Utf8(TextOf(child)).c_str());
    }
  }
}

// The main window's controls under the names the scenarios use (the form's own names).
using namespace tallyx::ui;
const struct {
  int id;
  const char* name;
} kControls[] = {{kLabel1, "Label1"},   {kVersionInfo, "VersionInfo"},
                 {kLabel2, "Label2"},   {kLabel3, "Label3"},
                 {kProgressBar1, "cxProgressBar1"}, {kButton1, "cxButton1"},
                 {kButton2, "cxButton2"}, {kButton3, "cxButton3"}};

// The id of the control the scenario names, or 0.
int IdOfControl(const wchar_t* name) {
  for (const auto& c : kControls) {
    if (Utf8(name) == c.name) return c.id;
  }
  return 0;
}

// Adds the PEM certificate in `path` to the machine's trusted roots; 0 when it is there.
int TrustRoot(const wchar_t* path) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  std::vector<char> pem(65536);
  DWORD size = 0;
  const BOOL read = ReadFile(file, pem.data(), DWORD(pem.size()), &size, nullptr);
  CloseHandle(file);
  if (!read) return 1;
  DWORD derSize = 0;
  if (!CryptStringToBinaryA(pem.data(), size, CRYPT_STRING_BASE64HEADER, nullptr, &derSize,
                            nullptr, nullptr))
    return 1;
  std::vector<BYTE> der(derSize);
  if (!CryptStringToBinaryA(pem.data(), size, CRYPT_STRING_BASE64HEADER, der.data(), &derSize,
                            nullptr, nullptr))
    return 1;
  HCERTSTORE root = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                  CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  if (!root) return 1;
  const BOOL added = CertAddEncodedCertificateToStore(
      root, X509_ASN_ENCODING, der.data(), derSize, CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  std::printf("trust.added=%d\n", added ? 1 : 0);
  CertCloseStore(root, 0);
  return added ? 0 : 1;
}

HWND Control(HWND main, int id) {
  HWND control = GetDlgItem(main, id);
  if (!control) {
    if (HWND panel = GetDlgItem(main, tallyx::ui::kPanel1)) control = GetDlgItem(panel, id);
  }
  return control;
}

// The texts the scenarios wait for, from the program's own sources.
int PrintTexts() {
  using namespace tallyx::messages;
  const struct {
    const char* key;
    const char16_t* text;
  } texts[] = {{"installed", kInstalled},
               {"install_failed", kInstallFailed},
               {"forced_failed", kForcedFailed},
               {"running_install_question", kRunningInstallQuestion},
               {"running_forced_question", kRunningForcedQuestion},
               {"needs_administrator", kNeedsAdministrator}};
  for (const auto& t : texts) std::printf("%s=%s\n", t.key, Utf8(Wide(t.text)).c_str());
  return 0;
}

int Dump(HWND main) {
  DWORD pid = 0;
  GetWindowThreadProcessId(main, &pid);
  // Tells a copy that the program started itself apart from the one it replaced.
  std::printf("main.pid=%lu\n", static_cast<unsigned long>(pid));
  std::printf("main.visible=%d\n", IsWindowVisible(main) ? 1 : 0);
  std::printf("main.caption=%s\n", Utf8(TextOf(main)).c_str());
  RECT r;
  GetClientRect(main, &r);
  std::printf("main.client=%ldx%ld\n", r.right, r.bottom);
  for (const auto& c : kControls) {
    HWND control = Control(main, c.id);
    if (!control) {
      std::printf("%s.missing=1\n", c.name);
      continue;
    }
    std::printf("%s.visible=%d\n", c.name, IsWindowVisible(control) ? 1 : 0);
    std::printf("%s.text=%s\n", c.name, Utf8(TextOf(control)).c_str());
  }
  if (HWND box = OpenBox(main)) DumpBox(box);
  return 0;
}

double NowMs() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Windows takes a window for hung once its thread has not called PeekMessage (or waited
// for input) for 5 s (IsHungAppWindow), ghosts it and offers to close the program. Wine
// has no such check and draws no ghost, so the probe times the answers itself: a sent
// message is answered only when the window's thread takes its messages.
int Probe(HWND main, double seconds) {
  HWND bar = Control(main, tallyx::ui::kProgressBar1);
  const double start = NowMs();
  double longest = 0;
  int samples = 0;
  std::wstring lastText;
  std::string texts, captions, ended = "time";
  std::wstring lastCaption;
  while (NowMs() - start < seconds * 1000) {
    if (!IsWindow(main)) {
      ended = "gone";
      break;
    }
    if (OpenBox(main)) {
      ended = "box";
      break;
    }
    DWORD_PTR result = 0;
    const double before = NowMs();
    if (!SendMessageTimeoutW(main, WM_NULL, 0, 0, SMTO_NORMAL, 30000, &result)) {
      ended = "timeout";
      break;
    }
    const double answered = NowMs() - before;
    if (answered > longest) longest = answered;
    ++samples;
    // The bar's text is read through the window's thread too, so every read is a probe.
    wchar_t text[64] = {};
    DWORD_PTR length = 0;
    if (bar && SendMessageTimeoutW(bar, WM_GETTEXT, 64, reinterpret_cast<LPARAM>(text), SMTO_NORMAL,
                                   30000, &length) && lastText != text) {
      lastText = text;
      texts += (texts.empty() ? "" : ",") + Utf8(text);
    }
    wchar_t caption[256] = {};
    if (SendMessageTimeoutW(main, WM_GETTEXT, 256, reinterpret_cast<LPARAM>(caption), SMTO_NORMAL, 30000,
                            &length) && lastCaption != caption) {
      lastCaption = caption;
      if (captions.size() < 2000) captions += (captions.empty() ? "" : "|") + Utf8(caption);
    }
    Sleep(20);
  }
  std::printf("probe.samples=%d\nprobe.longest_ms=%.1f\nprobe.duration_ms=%.0f\nprobe.ended=%s\n", samples,
              longest, NowMs() - start, ended.c_str());
  std::printf("probe.bar=%s\nprobe.captions=%s\n", texts.c_str(), captions.c_str());
  std::fflush(stdout);
  return 0;
}

using Seen = std::map<std::wstring, ULONGLONG>;  // path -> last write time and size

void ScanFolder(const std::wstring& folder, Seen& seen, DWORD holdMs) {
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring path = folder + L"\\" + name;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      ScanFolder(path, seen, holdMs);
      continue;
    }
    const ULONGLONG stamp = (ULONGLONG{found.ftLastWriteTime.dwHighDateTime} << 32 |
                             found.ftLastWriteTime.dwLowDateTime) ^ found.nFileSizeLow;
    const auto known = seen.find(path);
    if (known != seen.end() && known->second == stamp) continue;
    // As on-access scanners do: read access, others may read, nobody may move or
    // delete the file while it is looked at.
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) continue;  // held by its writer: next round
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    }
    Sleep(holdMs);
    CloseHandle(file);
    seen[path] = stamp;
  } while (FindNextFileW(find, &found));
  FindClose(find);
}

int Scan(const std::wstring& folder, DWORD holdMs, double seconds) {
  Seen seen;
  const double start = NowMs();
  while (NowMs() - start < seconds * 1000) {
    ScanFolder(folder, seen, holdMs);
    Sleep(1);
  }
  return 0;
}

// A stand-in for an on-access scanner: every new file of `folder` whose name ends with
// `suffix` is opened as soon as it can be (reading, letting others read and write, not
// delete or rename), held while it is being written and for a moment after its last
// change, then let go. Prints "held NAME" for each. Runs for `seconds`.
int ScanSuffix(const std::wstring& folder, const std::wstring& suffix, int seconds) {
  std::vector<std::wstring> seen;
  const ULONGLONG end = GetTickCount64() + ULONGLONG(seconds) * 1000;
  while (GetTickCount64() < end) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
      Sleep(1);
      continue;
    }
    do {
      const std::wstring name = found.cFileName;
      if (name.size() < suffix.size() ||
          name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
        continue;
      if (std::find(seen.begin(), seen.end(), name) != seen.end()) continue;
      const std::wstring path = folder + L"\\" + name;
      HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file == INVALID_HANDLE_VALUE) continue;
      seen.push_back(name);
      std::printf("held %s\n", Utf8(name).c_str());
      std::fflush(stdout);
      LARGE_INTEGER size{}, last{};
      ULONGLONG still = GetTickCount64();
      while (GetTickCount64() - still < 1500) {
        GetFileSizeEx(file, &size);
        if (size.QuadPart != last.QuadPart) still = GetTickCount64();
        last = size;
        Sleep(20);
      }
      CloseHandle(file);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    Sleep(1);
  }
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  const std::wstring command = argv[1];
  if (command == L"texts") return PrintTexts();
  if (command == L"trust-root" && argc > 2) return TrustRoot(argv[2]);
  if (command == L"scan" && argc > 4) return Scan(argv[2], _wtoi(argv[3]), _wtof(argv[4]));
  if (command == L"scan-suffix" && argc > 4) return ScanSuffix(argv[2], argv[3], _wtoi(argv[4]));
  if (command == L"count-main") {
    int count = 0;
    for (HWND w = FindWindowW(Wide(tallyx::ui::kMainWindowClass), nullptr); w;
         w = FindWindowExW(nullptr, w, Wide(tallyx::ui::kMainWindowClass), nullptr))
      ++count;
    std::printf("main.count=%d\n", count);
    return 0;
  }
  HWND main = MainWindow();
  if (!main) {
    std::printf("main.found=0\n");
    return 1;
  }
  if (command == L"dump") return Dump(main);
  if (command == L"probe" && argc > 2) return Probe(main, _wtof(argv[2]));
  if (command == L"close") {
    PostMessageW(main, WM_SYSCOMMAND, SC_CLOSE, 0);
    return 0;
  }
  if ((command == L"click" || command == L"where") && argc > 2) {
    const int id = IdOfControl(argv[2]);
    HWND control = Control(main, id);
    if (!control) return 1;
    RECT r;
    GetClientRect(control, &r);
    int x = r.right / 2;
    if (id == kButton1) x = (r.right - 15) / 2;
    if (command == L"where") return PrintWhere(control, x);
    PostClick(control, x, r.bottom / 2);
    return 0;
  }
  if (command == L"dropdown") {
    HWND control = Control(main, tallyx::ui::kButton1);
    if (!control) return 1;
    RECT r;
    GetClientRect(control, &r);
    const LPARAM at = MAKELPARAM(r.right - 7, r.bottom / 2);
    PostMessageW(control, WM_MOUSEMOVE, 0, at);
    PostMessageW(control, WM_LBUTTONDOWN, MK_LBUTTON, at);
    return 0;
  }
  if (command == L"menu-choose") {
    HWND menu = nullptr;
    EnumWindows(FindMenu, reinterpret_cast<LPARAM>(&menu));
    if (!menu) {
      std::printf("menu.found=0\n");
      return 1;
    }
    PostMessageW(menu, WM_KEYDOWN, VK_DOWN, 0);
    PostMessageW(menu, WM_KEYDOWN, VK_RETURN, 0);
    return 0;
  }
  HWND box = OpenBox(main);
  if (!box) {
    std::printf("box.found=0\n");
    return 1;
  }
  if (command == L"answer" && argc > 2) {
    HWND button = GetDlgItem(box, _wtoi(argv[2]));
    if (!button) return 1;
    DumpBox(box);
    RECT r;
    GetClientRect(button, &r);
    PostClick(button, r.right / 2, r.bottom / 2);
    return 0;
  }
  if (command == L"box-close") {
    DumpBox(box);
    PostMessageW(box, WM_SYSCOMMAND, SC_CLOSE, 0);
    return 0;
  }
  return 2;
}
