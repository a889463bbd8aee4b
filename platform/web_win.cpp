#include <windows.h>
#include <urlmon.h>
#include <wininet.h>
// wininet.h maps this name to the W entry point; keep the method's own name.
#undef DeleteUrlCacheEntry

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/byte_ranges.h"
#include "base/text.h"
#include "base/win_path.h"
#include "controller/operations/archive.h"
#include "platform/bind_status_callback.h"
#include "platform/native_file_system.h"
#include "platform/plain_file_win.h"
#include "platform/progress_text.h"
#include "platform/scoped_handle.h"
#include "platform/web.h"
#include "platform/win_text.h"
#include "zip/file_system.h"

namespace tallyx {
namespace {

struct InternetHandleTraits {
  using Handle = HINTERNET;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::InternetCloseHandle(h); }
};
using ScopedInternetHandle = BasicScopedHandle<InternetHandleTraits>;

// WinINet's own limits stay set on every handle, as a second line: Windows documents
// them on any handle and hands them down to the handles made from it. Wine 8 ignores
// the send and receive limits on the internet handle and the connection limit
// everywhere, which is why the program keeps its own clock (TransferLimits).
void SetLimits(HINTERNET handle, const NetworkLimits& limits) {
  DWORD connect = limits.connectMs, stall = limits.stallMs;
  InternetSetOptionW(handle, INTERNET_OPTION_CONNECT_TIMEOUT, &connect, sizeof(connect));
  InternetSetOptionW(handle, INTERNET_OPTION_SEND_TIMEOUT, &stall, sizeof(stall));
  InternetSetOptionW(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &stall, sizeof(stall));
}

// The program's own clock over one transfer. Before the connection: connectMs from the
// start, which covers the name lookup and, through a proxy, the connection to it. After
// it: in every stretch of stallMs, at least minBytes must come; the answer's headers count
// as a full share. For the manifest: the whole fetch within fetchMs as well.
class TransferLimits {
 public:
  TransferLimits(const NetworkLimits& limits, bool whole, ULONGLONG now)
      : limits_(limits), whole_(whole), start_(now),
        bucketMs_(std::max<ULONGLONG>(limits.stallMs / 60, 10)) {}

  void Connected(ULONGLONG now) {
    if (!connectedAt_) connectedAt_ = now;
  }
  void Arrived(ULONGLONG bytes, ULONGLONG now) {
    Connected(now);
    // Counted in buckets of a sixtieth of the stretch: a fast line makes thousands of
    // reads a second, and the rule needs no finer grain.
    if (!arrivals_.empty() && now - arrivals_.back().first < bucketMs_)
      arrivals_.back().second += bytes;
    else
      arrivals_.emplace_back(now, bytes);
  }
  bool Broken(ULONGLONG now) {
    if (whole_ && now - start_ >= limits_.fetchMs) return true;
    if (!connectedAt_) return now - start_ >= limits_.connectMs;
    if (now - connectedAt_ < limits_.stallMs) return false;
    while (!arrivals_.empty() && now - arrivals_.front().first >= limits_.stallMs)
      arrivals_.pop_front();
    ULONGLONG recent = 0;
    for (const auto& arrival : arrivals_) recent += arrival.second;
    return recent < limits_.minBytes;
  }

 private:
  NetworkLimits limits_;
  bool whole_;
  ULONGLONG start_;
  ULONGLONG connectedAt_ = 0;
  ULONGLONG bucketMs_;
  std::deque<std::pair<ULONGLONG, ULONGLONG>> arrivals_;
};

// What WinINet's threads share with the transfer: the completion of the pending call,
// and the buffer a read fills. It lives until the request handle's last notification
// (INTERNET_STATUS_HANDLE_CLOSING), so a call that the transfer gave up on can still
// complete into it after the transfer has gone.
struct AsyncRequest {
  explicit AsyncRequest(size_t bufferSize) : buffer(bufferSize) {}
  ~AsyncRequest() { CloseHandle(completed); }
  void Release() {
    if (InterlockedDecrement(&references) == 0) delete this;
  }
  LONG references = 1;
  HANDLE completed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  volatile LONG connected = 0;
  INTERNET_ASYNC_RESULT result{};
  HINTERNET opened = nullptr;  // the request handle, for the closing notification
  std::vector<char> buffer;
  DWORD readCount = 0;
  // Where a query that completes later writes its count: here, and not on the stack of
  // a read that gave up on it.
  DWORD available = 0;
  // The count of the last INTERNET_STATUS_RESPONSE_RECEIVED ("the number, in bytes,
  // received"): how many bytes a read that completed on WinINet's threads delivered,
  // when the read's own count was lost (Transfer::Read).
  volatile LONG received = 0;
};

void CALLBACK OnInternetStatus(HINTERNET handle, DWORD_PTR context, DWORD status,
                               LPVOID info, DWORD length) {
  auto* const request = reinterpret_cast<AsyncRequest*>(context);
  if (!request) return;
  switch (status) {
    case INTERNET_STATUS_RESPONSE_RECEIVED:
      if (info && length >= sizeof(DWORD))
        InterlockedExchange(&request->received, LONG(*static_cast<const DWORD*>(info)));
      [[fallthrough]];
    case INTERNET_STATUS_CONNECTED_TO_SERVER:
    case INTERNET_STATUS_SENDING_REQUEST:
    case INTERNET_STATUS_REQUEST_SENT:
      // A connection kept from an earlier request reports no connecting at all: sending
      // on it is being connected.
      InterlockedExchange(&request->connected, 1);
      break;
    case INTERNET_STATUS_REQUEST_COMPLETE:
      request->result = *static_cast<INTERNET_ASYNC_RESULT*>(info);
      SetEvent(request->completed);
      break;
    case INTERNET_STATUS_HANDLE_CLOSING:
      if (handle == request->opened) request->Release();
      break;
    default:
      break;
  }
}

// Called between waits while a transfer runs; false asks it to stop.
using Heartbeat = std::function<bool()>;

// One GET, read to its end, in WinINet's asynchronous mode, this thread waiting for each
// call with the program's own clock.
//
// Why not blocking calls ended by a watchdog thread that closes their handles: Microsoft
// documents that "if a thread is blocking a call to Wininet.dll, another thread in the
// application can call InternetCloseHandle on the Internet handle being used by the
// first thread to cancel the operation and unblock the first thread", but Wine 8 does
// not: an HttpSendRequestW waiting on a silent server and an InternetReadFile waiting on
// a trickle both stayed blocked after their handle was closed from another thread. In
// asynchronous mode every call returns at once or completes on WinINet's own threads;
// this thread waits for the completion on an event, and a transfer that breaks a limit
// is closed and left, on both systems, however long the system takes to notice. The
// connection is WinINet's own, so every proxy configuration (explicit, WPAD, PAC
// script) applies, and the name lookup is inside the connection limit.
class Transfer {
 public:
  static constexpr size_t kBufferSize = 64 * 1024;
  static constexpr DWORD kStreaming = 8 * 1024;

  Transfer(const std::u16string& url, DWORD flags, const NetworkLimits& limits, bool whole,
           const std::wstring& headers = {}, Heartbeat heartbeat = {})
      : limits_(limits, whole, GetTickCount64()), heartbeat_(std::move(heartbeat)) {
    state_ = new AsyncRequest(kBufferSize);
    internet_.Reset(InternetOpenW(L"Delphi 2009", INTERNET_OPEN_TYPE_PRECONFIG, nullptr,
                                  nullptr, INTERNET_FLAG_ASYNC));
    if (!internet_) return;
    SetLimits(internet_.Get(), limits);
    InternetSetStatusCallbackW(internet_.Get(), OnInternetStatus);

    URL_COMPONENTSW parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = 1;
    if (url.empty() || !InternetCrackUrlW(W(url), 0, 0, &parts)) return;
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS)
      return;
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring object(parts.lpszUrlPath, parts.dwUrlPathLength);
    object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (object.empty()) object = L"/";
    // No context: the connection handle reports nothing (WinINet calls back only for
    // handles with a context); its work shows on the request's.
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
    state_->references = 2;  // the transfer's, and the request handle's
    request_.Reset(HttpOpenRequestW(connection_.Get(), L"GET", object.c_str(), nullptr,
                                    nullptr, accept, flags,
                                    reinterpret_cast<DWORD_PTR>(state_)));
    if (!request_) {
      state_->references = 1;
      return;
    }
    state_->opened = request_.Get();
    SetLimits(request_.Get(), limits);
    const BOOL sent = HttpSendRequestW(
        request_.Get(), headers.empty() ? nullptr : headers.c_str(),
        headers.empty() ? 0 : DWORD(headers.size()), nullptr, 0);
    if (!Completed(sent) || !Succeeded() || (secure && !StillSecure())) {
      request_.Reset();
      return;
    }
    limits_.Arrived(limits.minBytes, GetTickCount64());
  }

  ~Transfer() {
    // The request first: its closing notification releases the shared state's second
    // share, at once or whenever WinINet lets go of a call given up on.
    request_.Reset();
    connection_.Reset();
    internet_.Reset();
    state_->Release();
  }

  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  bool Opened() const { return request_.IsValid(); }

  // The HTTP status, or 0 when there is none.
  DWORD Status() const { return NumberHeader(HTTP_QUERY_STATUS_CODE); }
  // The announced length of the body, -1 when none was announced.
  long long ContentLength() const {
    const std::wstring text = Header(HTTP_QUERY_CONTENT_LENGTH);
    return text.empty() ? -1 : _wtoi64(text.c_str());
  }
  std::wstring Header(DWORD query) const {
    DWORD size = 0;
    HttpQueryInfoW(request_.Get(), query, nullptr, &size, nullptr);
    if (size == 0) return {};
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    size = DWORD(text.size() * sizeof(wchar_t));
    if (!HttpQueryInfoW(request_.Get(), query, text.data(), &size, nullptr)) return {};
    text.resize(size / sizeof(wchar_t));
    return text;
  }

  // Up to kBufferSize bytes, left in Data(); 0 at the end of the body and on a failure.
  // `failed` is set when the read did not succeed: a broken connection, or the server
  // too slow for the limits (GaveUp()).
  DWORD Read(bool& failed) {
    failed = true;
    DWORD& available = state_->available;
    available = 0;
    // First wait until something has come: InternetQueryDataAvailable completes as soon as
    // any data is there ("the number of bytes of data that are available to be read
    // immediately"), so a trickle is counted as it comes.
    for (;;) {
      if (InternetQueryDataAvailable(request_.Get(), &available, 0, 0)) break;
      if (!Completed(FALSE) || !Succeeded()) return 0;
      // Something has come, or the body has ended: asked again, the answer is at hand.
    }
    if (available == 0) {
      failed = false;
      return 0;
    }
    // While data streams in, a block of 64 KiB; a trickle is read exactly as it comes, so
    // no read waits on it unseen by the limits. Windows documents only the queried count
    // as "available to be read immediately": a read of more may wait for the rest of its
    // block, which a stream brings at once. Data streams when at least 8 KiB have come:
    // Wine 8's answer never goes past its own 8 KiB read buffer however much waits in the
    // socket, and reads of what it counts ran at a fifth of a plain reader's rate
    // (measured on a 200 MB download from loopback). A block is also what a transfer
    // broken in the middle of a read loses, to be fetched again when it is resumed.
    const DWORD size = available >= kStreaming
                           ? DWORD(state_->buffer.size())
                           : std::min<DWORD>(available, DWORD(state_->buffer.size()));
    DWORD& count = state_->readCount;
    count = 0;
    InterlockedExchange(&state_->received, 0);
    if (!InternetReadFile(request_.Get(), state_->buffer.data(), size, &count)) {
      if (!Completed(FALSE) || !Succeeded()) return 0;
      // Wine 8 clears the count of a read it handed to its own threads after handing it
      // over: a read that completes before that reports no bytes although it filled the
      // buffer (seen as a 2 MiB manifest cut at 64 KiB, about one fetch in thirty). Its
      // threads report the bytes in the notification that precedes the completion.
      if (count == 0) count = std::min<DWORD>(DWORD(state_->received), size);
      // Counted as there, then not delivered: nothing more of this body can be trusted.
      if (count == 0) {
        gaveUp_ = true;
        return 0;
      }
    }
    limits_.Arrived(count, GetTickCount64());
    failed = false;
    return count;
  }
  const char* Data() const { return state_->buffer.data(); }
  bool GaveUp() const { return gaveUp_; }

 private:
  // Waits for a call that returned `done` to complete. False when it failed at once, or
  // when the limits (or the heartbeat) ended the wait: the handles are closed then, which
  // ends the call on Windows and leaves it to finish into the shared state under Wine.
  bool Completed(BOOL done) {
    if (done) {
      state_->result = INTERNET_ASYNC_RESULT{TRUE, ERROR_SUCCESS};
      return true;
    }
    if (GetLastError() != ERROR_IO_PENDING) {
      gaveUp_ = IsTimeout(GetLastError());
      return false;
    }
    for (;;) {
      const DWORD wait = WaitForSingleObject(state_->completed, kHeartbeatMs);
      const ULONGLONG now = GetTickCount64();
      if (state_->connected) limits_.Connected(now);
      if (wait == WAIT_OBJECT_0) {
        gaveUp_ = !Succeeded() && IsTimeout(state_->result.dwError);
        return true;
      }
      if (limits_.Broken(now) || (heartbeat_ && !heartbeat_())) {
        gaveUp_ = true;
        request_.Reset();
        return false;
      }
    }
  }

  // The completed call's outcome: dwResult is the call's own result (TRUE, or a handle),
  // dwError its error when it failed. Only dwResult says success: Wine 8 completes an
  // InternetQueryDataAvailable with {TRUE, the byte count} (measured), so a dwError
  // other than ERROR_SUCCESS is no failure there.
  bool Succeeded() const { return state_->result.dwResult != 0; }

  // WinINet's own receive limit, reported by Windows as ERROR_INTERNET_TIMEOUT, and by
  // Wine 8 as the socket's WSAETIMEDOUT.
  static bool IsTimeout(DWORD error) {
    constexpr DWORD kSocketTimedOut = 10060;
    return error == ERROR_INTERNET_TIMEOUT || error == kSocketTimedOut;
  }

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

  static constexpr DWORD kHeartbeatMs = 100;
  TransferLimits limits_;
  Heartbeat heartbeat_;
  AsyncRequest* state_;
  // Closed in the reverse order: request, connection, internet handle.
  ScopedInternetHandle internet_;
  ScopedInternetHandle connection_;
  ScopedInternetHandle request_;
  bool gaveUp_ = false;
};
// Puts a finished download in its place, made durable first. Virus scanners and indexers
// open a file the moment it is closed and hold it for a while, which makes the rename
// fail with a sharing violation: it is tried again while the file is in use, within the
// patience the installation has for any file (its forward budget).
bool TakePartName(const std::u16string& from, const std::u16string& to) {
  const std::unique_ptr<FileSystem> files = CreateNativeFileSystem();
  WaitAccount wait(WaitBudgets{}.forwardMs);
  return TakeName(*files, from, to, wait).Done();
}

// What an interrupted download needs to go on: `<archive>.part` holds the first bytes
// of the body; `<archive>.part.resume` says where they came from (three UTF-8 lines: the
// address, the body's whole length, and the server's validator). The record is written
// in full beside its place and renamed onto it, after the part file was created and
// before its first byte: a kill at any moment leaves a part with its record, or a part
// without one, which is never continued.
struct ResumeRecord {
  std::u16string url;
  long long length = 0;
  std::wstring validator;
};

std::u16string RecordPath(const std::u16string& part) { return part + u".resume"; }

bool ReadRecord(const std::u16string& part, ResumeRecord& record) {
  // Anybody who may write the folder may put a record there; one reached through a link
  // is not ours.
  ScopedFileHandle file(CreateFileW(W(RecordPath(part)), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                    nullptr));
  if (!file || !IsPlainFileAt(file.Get(), RecordPath(part))) return false;
  char buffer[8192];
  DWORD count = 0;
  if (!ReadFile(file.Get(), buffer, sizeof(buffer), &count, nullptr)) return false;
  std::vector<std::string> lines;
  std::string text(buffer, count), line;
  for (const char c : text) {
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
    } else {
      line += c;
    }
  }
  if (lines.size() != 3 || lines[0].empty() || lines[2].empty()) return false;
  record.url = DecodeUtf8Lenient(lines[0]);
  record.length = std::atoll(lines[1].c_str());
  record.validator = std::wstring(W(DecodeUtf8Lenient(lines[2])));
  return record.length > 0;
}

bool WriteRecord(const std::u16string& part, const ResumeRecord& record) {
  const std::u16string path = RecordPath(part);
  const std::u16string staged = path + u".tmp";
  const std::string text = EncodeUtf8(record.url) + "\n" + std::to_string(record.length) +
                           "\n" + EncodeUtf8(FromW(record.validator.c_str())) + "\n";
  {
    bool kept = false;
    ScopedFileHandle file = OpenPlainForWriting(staged, 0, kept);
    DWORD written = 0;
    if (!file || !WriteFile(file.Get(), text.data(), DWORD(text.size()), &written, nullptr) ||
        written != text.size() || !FlushFileBuffers(file.Get()))
      return false;
  }
  return MoveFileExW(W(staged), W(path), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

// What the files of a transfer may wait, in all, for a scanner that holds one of them:
// Windows refuses to delete a file that is open without FILE_SHARE_DELETE
// (ERROR_SHARING_VIOLATION), and scanners open each new file the moment it is closed.
constexpr uint32_t kLeftoverWaitMs = 3000;

// Removes `paths` in their order, all within one wait.
void RemoveWhenFree(const std::vector<std::u16string>& paths) {
  const std::unique_ptr<FileSystem> files = CreateNativeFileSystem();
  WaitAccount wait(kLeftoverWaitMs);
  for (const std::u16string& path : paths)
    RetryWhileInUse(*files, wait, [&] { return files->RemoveFile(path); });
}

// The record goes first: a part left without it is never continued.
void DiscardPart(const std::u16string& part) { RemoveWhenFree({RecordPath(part), part}); }

// A part to continue: a plain file of the folder with no other name.
bool IsPlainPart(const std::u16string& part) {
  const ScopedFileHandle file(CreateFileW(W(part), FILE_READ_ATTRIBUTES,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  return file && IsPlainFileAt(file.Get(), part);
}

long long FileLength(const std::u16string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(W(path), GetFileExInfoStandard, &data)) return -1;
  return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// The validator that ties a part to one upload of the archive: a strong entity tag, else
// the modification date. A weak tag (W/"...") only promises equivalent content, which
// If-Range does not accept.
std::wstring ValidatorOf(const Transfer& transfer) {
  const std::wstring tag = transfer.Header(HTTP_QUERY_ETAG);
  if (!tag.empty() && tag.rfind(L"W/", 0) != 0) return tag;
  return transfer.Header(HTTP_QUERY_LAST_MODIFIED);
}

// Header texts are ASCII; anything else becomes a character no header grammar takes, so
// the answer's parser refuses it rather than reading it as something it is not.
std::string Narrow(const std::wstring& text) {
  std::string narrow;
  narrow.reserve(text.size());
  for (const wchar_t c : text) narrow += c > 0 && c < 0x80 ? static_cast<char>(c) : '\x7F';
  return narrow;
}

// One progress notification; false when the callback asks to stop.
bool Notify(TBindStatusCallback* status, ULONG received, ULONG total, ULONG code) {
  return !status || SUCCEEDED(status->OnProgress(received, total, code, nullptr));
}

// The progress shown while data flows: at most every kProgressMs, since each showing
// repaints and serves the window's messages (a dozen round trips to the system per
// call under Wine), and a fast line brings a block every few microseconds.
class ProgressPace {
 public:
  static constexpr ULONGLONG kProgressMs = 30;
  // While nothing arrives, the window is still served this often.
  static constexpr ULONGLONG kIdleMs = 250;
  bool Due(ULONGLONG every) {
    const ULONGLONG now = GetTickCount64();
    if (now - last_ < every) return false;
    last_ = now;
    return true;
  }

 private:
  ULONGLONG last_ = 0;
};

// What a transfer shows of itself through the download's callback object: the
// notifications in the moniker service's order, the data at most every kProgressMs, and
// the window served every kIdleMs while the server is slow to answer or to send (a close
// asked for then is only recorded, as always). Once the callback asks to stop, the
// transfer stops and shows nothing more.
class TransferProgress {
 public:
  explicit TransferProgress(DownloadCallback* callback)
      : status_(dynamic_cast<TBindStatusCallback*>(callback)) {}
  ULONG received = 0, total = 0;

  bool Stopped() const { return stopped_; }
  // One notification now; false when the callback asked to stop.
  bool Show(ULONG code) {
    if (!Notify(status_, received, total, code)) stopped_ = true;
    return !stopped_;
  }
  // Data has come: shown when due; false when the callback asked to stop.
  bool Flowing() { return !pace_.Due(ProgressPace::kProgressMs) || Show(BINDSTATUS_DOWNLOADINGDATA); }
  // Called between waits while nothing comes; false asks the transfer to stop.
  Heartbeat Idle() {
    return [this] {
      if (pace_.Due(ProgressPace::kIdleMs)) Show(BINDSTATUS_DOWNLOADINGDATA);
      return !stopped_;
    };
  }
  // The end: a close asked for while the window was not served is taken here, and an
  // error of the window raised where the caller can see it.
  void End() {
    if (!stopped_) Notify(status_, received, total, BINDSTATUS_ENDDOWNLOADDATA);
    if (status_) status_->RaisePendingError();
  }

 private:
  TBindStatusCallback* status_;
  ProgressPace pace_;
  bool stopped_ = false;
};

}  // namespace

std::string WinWebTextFetch::GetUrlText(const std::u16string& url) {
  std::string body;
  Transfer transfer(url, INTERNET_FLAG_RELOAD, limits_, true);
  if (!transfer.Opened()) return body;
  bool failed = false;
  while (const DWORD count = transfer.Read(failed)) {
    if (body.size() + count > kManifestSizeLimit) return std::string();
    body.append(transfer.Data(), count);
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

bool WinDownloads::DownloadToFile(const std::u16string& url, const std::u16string& path,
                                  DownloadCallback* callback, DownloadStart start,
                                  uint64_t signedLength) {
  const std::u16string part = path + u".part";
  bool resumed = false;
  TransferProgress progress(callback);
  ULONG& received = progress.received;
  ULONG& total = progress.total;
  // The window keeps being served while the server is slow to answer, as the moniker
  // service served it.
  const Heartbeat heartbeat = progress.Idle();

  if (start == DownloadStart::Afresh) DiscardPart(part);
  ResumeRecord record;
  long long kept = 0;
  if (ReadRecord(part, record) && record.url == url && IsPlainPart(part)) {
    kept = FileLength(part);
    // A part as long as the whole was complete but never took its name: it is fetched
    // again rather than trusted. One of another length than the signed one is of
    // another archive.
    if (kept <= 0 || kept >= record.length ||
        (signedLength && uint64_t(record.length) != signedLength))
      kept = 0;
  }
  if (kept == 0) DiscardPart(part);

  // The notifications follow the moniker service's order: finding and connecting with
  // nothing counted yet, then the data as it arrives, then its end.
  const bool complete = [&] {
    // A kept part shows from the start: the bar goes on from where it stopped.
    received = static_cast<ULONG>(kept);
    total = kept > 0 ? static_cast<ULONG>(record.length) : 0;
    if (!progress.Show(BINDSTATUS_CONNECTING)) return false;
    std::unique_ptr<Transfer> transfer;
    bool append = false;
    if (kept > 0) {
      // If-Range: the server sends the rest only while the archive is the one the part
      // came from, and the whole new one otherwise.
      const std::wstring headers = L"Range: bytes=" + std::to_wstring(kept) +
                                   L"-\r\nIf-Range: " + record.validator + L"\r\n";
      transfer = std::make_unique<Transfer>(url, INTERNET_FLAG_RELOAD, limits_, false,
                                            headers, heartbeat);
      if (progress.Stopped()) return false;
      const DWORD code = transfer->Opened() ? transfer->Status() : 0;
      const std::optional<ContentRange> range =
          ParseContentRange(Narrow(transfer->Header(HTTP_QUERY_CONTENT_RANGE)));
      if (code == 206 && range && range->range.first == static_cast<uint64_t>(kept) &&
          range->complete == static_cast<uint64_t>(record.length)) {
        append = true;
      } else if (code != 200) {
        // 416, a range that starts elsewhere, an error or no answer: once from the start.
        transfer.reset();
      }
      // A 200 is the archive as it is now, whole: the part is of another upload.
      if (!append) {
        DiscardPart(part);
        kept = 0;
        received = total = 0;
      }
    }
    if (!transfer) {
      transfer = std::make_unique<Transfer>(url, 0, limits_, false, std::wstring(), heartbeat);
      if (progress.Stopped()) return false;
    }
    if (!transfer->Opened()) return false;
    // An error page is never the archive: it is not saved in its place.
    const DWORD httpStatus = transfer->Status();
    if (httpStatus != 0 && (httpStatus < 200 || httpStatus > 299)) return false;
    if (!append && httpStatus == 206) return false;
    const long long length = transfer->ContentLength();
    const long long whole = append ? record.length : length;
    // Nothing past the signed length, or else past the answer's own and the largest
    // archive, is written: a body without a length, or a resumed answer longer than
    // asked, would otherwise fill the disk. An announced length that is not the signed
    // one is another file.
    uint64_t cap = signedLength ? signedLength : limits_.maxArchiveBytes;
    if (whole > 0) {
      if (uint64_t(whole) > cap || (signedLength && uint64_t(whole) != signedLength))
        return false;
      cap = uint64_t(whole);
    }
    total = whole > 0 ? static_cast<ULONG>(whole) : 0;
    received = static_cast<ULONG>(kept);
    if (!progress.Show(BINDSTATUS_BEGINDOWNLOADDATA)) return false;

    // Readers may look in while it is written (scanners do, and hold it after); nobody
    // may write it, delete or rename it.
    // Never through a link or a second name of another file (plain_file_win.h).
    bool continued = false;
    ScopedFileHandle file = OpenPlainForWriting(part, append ? kept : 0, continued);
    if (!file || (append && !continued)) return false;
    bool resumable = append;
    if (!append) {
      // Only a body of known length with a validator can be continued later.
      ResumeRecord fresh{url, length, ValidatorOf(*transfer)};
      resumable = length > 0 && !fresh.validator.empty() && WriteRecord(part, fresh);
    }
    bool whole_body = false;
    {
      bool failed = false;
      long long got = kept;
      while (const DWORD count = transfer->Read(failed)) {
        DWORD written = 0;
        if (uint64_t(got) + count > cap) {
          failed = true;
          break;
        }
        if (!WriteFile(file.Get(), transfer->Data(), count, &written, nullptr) ||
            written != count) {
          failed = true;
          break;
        }
        got += count;
        received = static_cast<ULONG>(got);
        if (!progress.Flowing()) break;
      }
      // A read that failed or gave up, or a body shorter than announced or signed, is no
      // archive.
      whole_body = !failed && !progress.Stopped() && (whole <= 0 || got == whole) &&
                   (!signedLength || uint64_t(got) == signedLength);
    }
    if (!whole_body) {
      file.Reset();
      if (!resumable) DiscardPart(part);
      return false;
    }
    // TakeName makes it durable before the rename: a crash just after it must not leave
    // an archive of the right name with its end missing.
    file.Reset();
    if (!TakePartName(part, path)) {
      if (!resumable) DiscardPart(part);
      return false;
    }
    RemoveWhenFree({RecordPath(part)});
    resumed = append;
    return true;
  }();
  (void)complete;
  // The last notification comes whatever the outcome: a request to close the window made
  // while the transfer was stalled (and the window not served) is taken here, so the
  // rest of the command runs with its boxes closing at once, as after any download.
  progress.End();
  return resumed;
}

void WinDownloads::RemoveLeftovers(const std::u16string& folder, const std::u16string& prefix,
                                   const std::u16string& suffix) {
  // A part's record before the part, as everywhere: a part without one is never continued.
  static constexpr std::u16string_view kEndings[] = {u".part.resume.tmp", u".part.resume",
                                                     u".part"};
  std::vector<std::u16string> found[std::size(kEndings)];
  WIN32_FIND_DATAW data;
  const HANDLE search =
      FindFirstFileExW(W(folder + u"\\" + prefix + u"*"), FindExInfoBasic, &data,
                       FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    // The pattern also matches short 8.3 names: the long name is checked here, whole.
    const std::u16string name = FromW(data.cFileName);
    if (name.size() <= prefix.size() || PathKey(name.substr(0, prefix.size())) != PathKey(prefix))
      continue;
    for (size_t i = 0; i < std::size(kEndings); ++i) {
      const std::u16string ending = suffix + std::u16string(kEndings[i]);
      if (name.size() > prefix.size() + ending.size() &&
          PathKey(name.substr(name.size() - ending.size())) == PathKey(ending)) {
        found[i].push_back(folder + u"\\" + name);
        break;
      }
    }
  } while (FindNextFileW(search, &data));
  FindClose(search);
  std::vector<std::u16string> all;
  for (const auto& paths : found) all.insert(all.end(), paths.begin(), paths.end());
  RemoveWhenFree(all);
}

namespace {

ULONG ShownCount(uint64_t count) {
  return static_cast<ULONG>(std::min<uint64_t>(count, ULONG_MAX));
}

}  // namespace

bool WinDownloads::GetRanges(const std::u16string& url, const std::string& ranges,
                             RangeAnswer& answer, DownloadCallback* callback,
                             uint64_t shownBefore, uint64_t shownTotal) {
  // The text goes into the request's header block as it is: a line break in it would
  // add headers of its own, and an empty one would ask for the whole archive.
  if (ranges.empty() ||
      !std::all_of(ranges.begin(), ranges.end(), [](char c) { return c > 0x20 && c < 0x7F; }))
    return false;
  TransferProgress progress(callback);
  progress.total = ShownCount(shownTotal);
  // The body of a multipart answer is a little longer than the ranges it carries (the
  // parts' headers and delimiters): the bar stops at its end rather than run past it.
  const auto shown = [&](uint64_t got) {
    const uint64_t position = shownBefore + got;
    return ShownCount(shownTotal >= shownBefore ? std::min(position, shownTotal) : position);
  };
  progress.received = shown(0);
  const Heartbeat heartbeat = progress.Idle();

  const bool complete = [&] {
    if (!progress.Show(BINDSTATUS_CONNECTING)) return false;
    std::wstring headers = L"Range: ";
    headers.append(ranges.begin(), ranges.end());
    headers += L"\r\n";
    // RELOAD: the answer comes from the server, never from a cached copy of the
    // archive, which may be of another upload than the one whose entries were chosen.
    // NO_CACHE_WRITE: nothing of it is stored. A 206 is a piece of the archive and a 200
    // to a range request is usually ended after its headers: neither may become the
    // cached archive that a later whole download would be answered from. (Microsoft
    // documents INTERNET_FLAG_NO_CACHE_WRITE as "Does not add the returned entity to
    // the cache" and INTERNET_FLAG_RELOAD as forcing "a download of the requested file,
    // object, or directory listing from the origin server, not from the cache".)
    Transfer transfer(url, INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, limits_,
                      false, headers, heartbeat);
    if (progress.Stopped() || !transfer.Opened()) return false;
    RangeAnswerHead head;
    head.status = transfer.Status();
    head.contentType = Narrow(transfer.Header(HTTP_QUERY_CONTENT_TYPE));
    head.contentRange = Narrow(transfer.Header(HTTP_QUERY_CONTENT_RANGE));
    // A 200 here is the whole archive: the caller turns it down at its headers, and the
    // handles closed on the way out end the transfer without reading the body.
    if (!answer.Head(head)) return false;
    if (!progress.Show(BINDSTATUS_BEGINDOWNLOADDATA)) return false;
    const long long length = transfer.ContentLength();
    bool failed = false;
    uint64_t got = 0;
    while (const DWORD count = transfer.Read(failed)) {
      if (!answer.Body(transfer.Data(), count)) return false;
      got += count;
      progress.received = shown(got);
      if (!progress.Flowing()) return false;
    }
    // A connection closed early ends the reads as the body's end does: only the announced
    // length tells the two apart.
    return !failed && (length < 0 || got == static_cast<uint64_t>(length));
  }();
  progress.End();
  return complete;
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
