#include <windows.h>
#include <urlmon.h>
#include <wininet.h>
// wininet.h maps this name to the W entry point; keep the method's own name.
#undef DeleteUrlCacheEntry

#include <utility>

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

}  // namespace

std::string WinWebTextFetch::GetUrlText(const std::u16string& url) {
  std::string body;
  const ScopedInternetHandle internet(
      InternetOpenW(L"Delphi 2009", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!internet) return body;
  // Declared after `internet`, so it is closed first.
  const ScopedInternetHandle request(InternetOpenUrlW(internet.Get(), W(url), nullptr, 0,
                                                      INTERNET_FLAG_RELOAD, 0));
  if (!request) return body;
  char buffer[1024];
  DWORD count = 0;
  do {
    count = 0;
    InternetReadFile(request.Get(), buffer, sizeof(buffer), &count);
    body.append(buffer, count);
  } while (count != 0);
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
  // The moniker service needs COM on this thread; balance whatever this call adds.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  auto* const status = dynamic_cast<TBindStatusCallback*>(callback);
  URLDownloadToFileW(nullptr, W(url), W(path), 0, status);
  if (SUCCEEDED(com)) CoUninitialize();
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
