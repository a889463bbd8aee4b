#pragma once
// The download's progress callback, in the URL monikers' own interface: every
// notification shows the transfer on the window's progress bar and caption, then lets the
// window handle its messages.
#include <windows.h>
#include <urlmon.h>

#include <exception>

#include "platform/web.h"

namespace tallyx {

class TBindStatusCallback final : public DownloadCallback, public IBindStatusCallback {
 public:
  explicit TBindStatusCallback(ProgressViewSource view) : view_(std::move(view)) {}

  LONG RefCount() const { return FRefCount; }

  // An error raised by the window during a notification cannot unwind through the
  // system's frames: the transfer is aborted and the error raised again here, once
  // the download call has returned.
  void RaisePendingError();

  // IUnknown. The count is kept for the platform's sake only: the object belongs to
  // its owner and is never deleted through Release.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // IBindStatusCallback
  HRESULT STDMETHODCALLTYPE OnStartBinding(DWORD, IBinding*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetPriority(LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnLowResource(DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnProgress(ULONG ulProgress, ULONG ulProgressMax,
                                       ULONG ulStatusCode, LPCWSTR szStatusText) override;
  HRESULT STDMETHODCALLTYPE OnStopBinding(HRESULT, LPCWSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetBindInfo(DWORD*, BINDINFO*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE OnObjectAvailable(REFIID, IUnknown*) override {
    return E_NOTIMPL;
  }

 private:
  ProgressViewSource view_;
  LONG FRefCount = 0;
  std::exception_ptr pendingError_;
};

// The user's decimal separator from the current regional settings.
std::u16string UserDecimalSeparator();

}  // namespace tallyx
