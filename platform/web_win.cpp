#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <urlmon.h>
#include <wininet.h>
// wininet.h maps this name to the W entry point; keep the method's own name.
#undef DeleteUrlCacheEntry

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/bind_status_callback.h"
#include "platform/progress_text.h"
#include "platform/scoped_handle.h"
#include "platform/web.h"
#include "platform/win_text.h"

namespace tallyx {
namespace {

struct InternetHandleTraits {
  using Handle = HINTERNET;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::InternetCloseHandle(h); }
};
using ScopedInternetHandle = BasicScopedHandle<InternetHandleTraits>;

// Windows documents these options on any handle and hands them down to the handles made
// from it. Wine 8 ignores the send and receive limits on the internet handle (it keeps
// them on a request handle only, so InternetOpenUrlW's request waits without end: a
// silent server held a fetch for 30 minutes) and stores the connection limit without
// keeping to it. Each handle therefore gets all three, and the connection is bounded
// by the program itself (ServerAcceptsWithin).
void SetLimits(HINTERNET handle, const NetworkLimits& limits) {
  DWORD connect = limits.connectMs, stall = limits.stallMs;
  InternetSetOptionW(handle, INTERNET_OPTION_CONNECT_TIMEOUT, &connect, sizeof(connect));
  InternetSetOptionW(handle, INTERNET_OPTION_SEND_TIMEOUT, &stall, sizeof(stall));
  InternetSetOptionW(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &stall, sizeof(stall));
}

// True when a direct connection to host:port is accepted within `ms`. Under Wine 8
// WinINet's own connection attempt waits for the system's TCP give-up whatever limit it
// was given (135 s measured against a listener that takes no connection), so the
// program makes one connection itself first, bounded, and closes it again. A system
// where sockets cannot be used at all is left to WinINet.
bool ServerAcceptsWithin(const std::wstring& host, INTERNET_PORT port, DWORD ms) {
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return true;
  struct Cleanup {
    ~Cleanup() { WSACleanup(); }
  } cleanup;
  ADDRINFOW hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  ADDRINFOW* found = nullptr;
  if (GetAddrInfoW(host.c_str(), std::to_wstring(port).c_str(), &hints, &found) != 0)
    return false;
  const std::unique_ptr<ADDRINFOW, decltype(&FreeAddrInfoW)> addresses(found, FreeAddrInfoW);
  const ULONGLONG deadline = GetTickCount64() + ms;
  for (const ADDRINFOW* a = found; a; a = a->ai_next) {
    const SOCKET s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == INVALID_SOCKET) continue;
    u_long nonBlocking = 1;
    bool accepted = false;
    if (ioctlsocket(s, FIONBIO, &nonBlocking) == 0) {
      if (connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0) {
        accepted = true;
      } else if (WSAGetLastError() == WSAEWOULDBLOCK) {
        const ULONGLONG now = GetTickCount64();
        const ULONGLONG left = now < deadline ? deadline - now : 0;
        timeval wait{static_cast<long>(left / 1000), static_cast<long>(left % 1000 * 1000)};
        fd_set writable, failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(s, &writable);
        FD_SET(s, &failed);
        // Windows reports a refused connection in the exception set, POSIX systems in
        // the socket's error: test both.
        int error = 0;
        int size = sizeof(error);
        accepted = select(0, nullptr, &writable, &failed, &wait) > 0 &&
                   FD_ISSET(s, &writable) && !FD_ISSET(s, &failed) &&
                   getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                              &size) == 0 &&
                   error == 0;
      }
    }
    closesocket(s);
    if (accepted) return true;
    if (GetTickCount64() >= deadline) return false;
  }
  return false;
}

// True when WinINet goes to the server directly rather than through a proxy.
bool ConnectsDirectly(HINTERNET internet) {
  DWORD size = 0;
  InternetQueryOptionW(internet, INTERNET_OPTION_PROXY, nullptr, &size);
  if (size < sizeof(INTERNET_PROXY_INFO)) return true;
  std::vector<unsigned char> buffer(size);
  if (!InternetQueryOptionW(internet, INTERNET_OPTION_PROXY, buffer.data(), &size)) return true;
  return reinterpret_cast<const INTERNET_PROXY_INFO*>(buffer.data())->dwAccessType ==
         INTERNET_OPEN_TYPE_DIRECT;
}

// One GET, read to its end. The request is made through its own connection and request
// handles (not InternetOpenUrlW) so that the limits are set on the request before it is
// sent; the reads then give up after the stall limit without data.
class Transfer {
 public:
  Transfer(const std::u16string& url, DWORD flags, const NetworkLimits& limits) {
    internet_.Reset(
        InternetOpenW(L"Delphi 2009", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!internet_) return;
    SetLimits(internet_.Get(), limits);

    URL_COMPONENTSW parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = 1;
    if (url.empty() || !InternetCrackUrlW(W(url), 0, 0, &parts)) return;
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) {
      // Other schemes keep the system's own handling, and the limits it honours.
      request_.Reset(InternetOpenUrlW(internet_.Get(), W(url), nullptr, 0, flags, 0));
      return;
    }
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring object(parts.lpszUrlPath, parts.dwUrlPathLength);
    object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (object.empty()) object = L"/";
    // Through a proxy, the connection is the proxy's and WinINet's limit applies.
    if (ConnectsDirectly(internet_.Get()) &&
        !ServerAcceptsWithin(host, parts.nPort, limits.connectMs))
      return;
    connection_.Reset(InternetConnectW(internet_.Get(), host.c_str(), parts.nPort, nullptr,
                                       nullptr, INTERNET_SERVICE_HTTP, 0, 0));
    if (!connection_) return;
    const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    if (secure) flags |= INTERNET_FLAG_SECURE;
    // A server that moves its releases from http to https is followed: WinINet refuses
    // that redirect by default (ERROR_INTERNET_HTTP_TO_HTTPS_ON_REDIR) unless told to
    // allow it. The reverse, https to http, stays refused
    // (ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR), and no flag lowers the certificate checks:
    // an unknown authority, another host's name or an expired certificate fails the send.
    flags |= INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTPS;
    // The Accept line InternetOpenUrlW sends, so that servers see the request they saw.
    const wchar_t* accept[] = {L"*/*", nullptr};
    request_.Reset(HttpOpenRequestW(connection_.Get(), L"GET", object.c_str(), nullptr,
                                    nullptr, accept, flags, 0));
    if (!request_) return;
    SetLimits(request_.Get(), limits);
    if (!HttpSendRequestW(request_.Get(), nullptr, 0, nullptr, 0) ||
        (secure && !StillSecure())) {
      request_.Reset();
    }
  }

  bool Opened() const { return request_.IsValid(); }

  // The HTTP status, or 0 when there is none (another scheme).
  DWORD Status() const { return NumberHeader(HTTP_QUERY_STATUS_CODE); }
  // The announced length of the body, 0 when none was announced.
  DWORD ContentLength() const { return NumberHeader(HTTP_QUERY_CONTENT_LENGTH); }

  // Up to `size` bytes; 0 at the end of the body. `failed` is set when the read did not
  // succeed (a broken connection, or no data within the stall limit), `gaveUp` when the
  // server sent nothing within the limit.
  DWORD Read(void* buffer, DWORD size, bool& failed) {
    DWORD count = 0;
    failed = !InternetReadFile(request_.Get(), buffer, size, &count);
    if (failed) {
      // Windows reports the limit as ERROR_INTERNET_TIMEOUT; Wine 8 passes on the socket's
      // own WSAETIMEDOUT.
      const DWORD error = GetLastError();
      gaveUp_ = error == ERROR_INTERNET_TIMEOUT || error == WSAETIMEDOUT;
    }
    return failed ? 0 : count;
  }
  bool GaveUp() const { return gaveUp_; }

 private:
  // A numeric response header, 0 when the response has none.
  DWORD NumberHeader(DWORD query) const {
    DWORD value = 0, size = sizeof(value);
    if (!HttpQueryInfoW(request_.Get(), query | HTTP_QUERY_FLAG_NUMBER, &value, &size, nullptr))
      return 0;
    return value;
  }

  // False when a request made over https ended on a plain http address. Windows
  // refuses that redirect itself; Wine 8 follows redirects between the schemes either
  // way without looking at the two flags (an https manifest moved to http was taken and
  // offered), so the address the answer came from is checked here as well.
  bool StillSecure() const {
    DWORD size = 0;
    InternetQueryOptionW(request_.Get(), INTERNET_OPTION_URL, nullptr, &size);
    std::vector<wchar_t> url(size / sizeof(wchar_t) + 1);
    size = DWORD(url.size() * sizeof(wchar_t));
    if (!InternetQueryOptionW(request_.Get(), INTERNET_OPTION_URL, url.data(), &size))
      return false;
    return _wcsnicmp(url.data(), L"https:", 6) == 0;
  }

  // Closed in the reverse order: request, connection, internet handle.
  ScopedInternetHandle internet_;
  ScopedInternetHandle connection_;
  ScopedInternetHandle request_;
  bool gaveUp_ = false;
};

// The download is written beside its target and put in its place once complete, so a
// transfer that breaks off never replaces an archive saved by an earlier download.
struct PartialFile {
  explicit PartialFile(std::u16string target) : path(std::move(target) + u".part") {}
  ~PartialFile() {
    handle.Reset();
    if (!kept) DeleteFileW(W(path));
  }
  std::u16string path;
  ScopedFileHandle handle;
  bool kept = false;
};

// One progress notification; false when the callback asks to stop.
bool Notify(TBindStatusCallback* status, ULONG received, ULONG total, ULONG code) {
  return !status || SUCCEEDED(status->OnProgress(received, total, code, nullptr));
}

}  // namespace

std::string WinWebTextFetch::GetUrlText(const std::u16string& url) {
  std::string body;
  Transfer transfer(url, INTERNET_FLAG_RELOAD, limits_);
  if (!transfer.Opened()) return body;
  char buffer[1024];
  bool failed = false;
  while (const DWORD count = transfer.Read(buffer, sizeof(buffer), failed)) {
    if (body.size() + count > kManifestSizeLimit) return std::string();
    body.append(buffer, count);
  }
  // A server that went silent half-way may have stopped anywhere, in the archive's
  // address too: what came is not taken for the manifest. (A connection broken off
  // keeps the part received, as it always has.)
  if (transfer.GaveUp()) body.clear();
  return body;
}

void WinDownloads::DeleteUrlCacheEntry(const std::u16string& url) {
  ::DeleteUrlCacheEntryW(W(url));
}

std::unique_ptr<DownloadCallback> WinDownloads::CreateDownloadCallback() {
  return std::make_unique<TBindStatusCallback>(view_);
}

void WinDownloads::DownloadToFile(const std::u16string& url, const std::u16string& path,
                                  DownloadCallback* callback) {
  auto* const status = dynamic_cast<TBindStatusCallback*>(callback);
  ULONG received = 0, total = 0;
  // The notifications follow the moniker service's order: finding and connecting with
  // nothing counted yet, then the data as it arrives, then its end.
  const bool stopped = [&] {
    if (!Notify(status, 0, 0, BINDSTATUS_CONNECTING)) return true;
    // The cache may answer, as it did for the moniker service; the forced variant
    // removes the entry first.
    Transfer transfer(url, 0, limits_);
    if (!transfer.Opened()) return false;
    // An error page is never the archive: it is not saved in its place.
    const DWORD httpStatus = transfer.Status();
    if (httpStatus != 0 && (httpStatus < 200 || httpStatus > 299)) return false;
    total = transfer.ContentLength();
    if (!Notify(status, 0, total, BINDSTATUS_BEGINDOWNLOADDATA)) return true;

    PartialFile part(path);
    part.handle.Reset(CreateFileW(W(part.path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!part.handle) return false;
    std::vector<char> buffer(64 * 1024);
    bool failed = false;
    while (const DWORD count = transfer.Read(buffer.data(), DWORD(buffer.size()), failed)) {
      DWORD written = 0;
      if (!WriteFile(part.handle.Get(), buffer.data(), count, &written, nullptr) ||
          written != count)
        return false;
      received += count;
      if (!Notify(status, received, total, BINDSTATUS_DOWNLOADINGDATA)) return true;
    }
    // A read that failed or gave up, or a body shorter than announced, is no archive.
    if (failed || (total != 0 && received != total)) return false;
    part.handle.Reset();
    part.kept = MoveFileExW(W(part.path), W(path), MOVEFILE_REPLACE_EXISTING) != 0;
    return false;
  }();
  // The last notification comes whatever the outcome: a request to close the window made
  // while the transfer was stalled (and the window not served) is taken here, so the
  // rest of the command runs with its boxes closing at once, as after any download.
  if (!stopped) Notify(status, received, total, BINDSTATUS_ENDDOWNLOADDATA);
  if (status) status->RaisePendingError();
}

HRESULT TBindStatusCallback::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IBindStatusCallback)) {
    *object = static_cast<IBindStatusCallback*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG TBindStatusCallback::AddRef() { return ++FRefCount; }

ULONG TBindStatusCallback::Release() { return --FRefCount; }

HRESULT TBindStatusCallback::OnProgress(ULONG ulProgress, ULONG ulProgressMax, ULONG,
                                        LPCWSTR) {
  if (pendingError_) return E_ABORT;
  try {
    if (ProgressView* const view = view_ ? view_() : nullptr) {
      view->SetProgressMax(static_cast<double>(ulProgressMax));
      view->SetCaption(ProgressCaption(ulProgress, ulProgressMax, UserDecimalSeparator()));
      view->SetProgressPosition(static_cast<double>(ulProgress));
      view->RepaintProgress();
      view->ProcessMessages();
    }
  } catch (...) {
    pendingError_ = std::current_exception();
    return E_ABORT;
  }
  return S_OK;
}

void TBindStatusCallback::RaisePendingError() {
  if (pendingError_) std::rethrow_exception(std::exchange(pendingError_, nullptr));
}

std::u16string UserDecimalSeparator() {
  wchar_t separator[8] = {};
  if (!GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, separator, 8)) return u".";
  return FromW(separator);
}

}  // namespace tallyx
