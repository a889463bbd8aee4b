// Manifest fetch and archive download against the local HTTP peer (http_peer.py).
#include <winsock2.h>
#include <windows.h>
#include <urlmon.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "base/byte_ranges.h"
#include "base/errors.h"
#include "base/text.h"
#include "platform/bind_status_callback.h"
#include "platform/progress_text.h"
#include "platform/web.h"
#include "platform/win_text.h"

namespace tallyx {
namespace {

// The bytes http_peer.py serves for /sized/N and the archives.
std::string PatternBytes(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 31 + i / 251) & 0xFF);
  return bytes;
}

std::u16string PeerUrl(const std::string& path) {
  std::ifstream file("http_peer.port");
  std::string port;
  file >> port;
  EXPECT_FALSE(port.empty()) << "the HTTP peer is not running (ctest fixture http_peer)";
  return U16("http://127.0.0.1:" + port + path);
}

// A port nothing listens on: bound, then released.
std::u16string DeadUrl(const std::string& path) {
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  int length = sizeof(address);
  getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  closesocket(s);
  return U16("http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + path);
}

// A /hits/ address this run has not asked for yet: its first answer is "1".
std::u16string FreshHitsUrl(const char* what) {
  return PeerUrl("/hits/" + std::string(what) + "-" + std::to_string(GetCurrentProcessId()) +
                 "-" + std::to_string(GetTickCount()));
}

struct FetchCase {
  const char* path;
  std::string body;
  bool prefixOnly;  // a transfer cut short: some leading part of `body`, never all of it
};

TEST(GetUrlText, ReturnsTheBodyBytesExactlyAsSent) {
  const FetchCase cases[] = {
      {"/text", "4.2.7.1530\r\n05/03/2021\r\nhttp://127.0.0.1/Tallyx.zip\r\n", false},
      {"/missing", "<html><body>404 introuvable</body></html>", false},
      {"/empty", "", false},
      {"/sized/1", PatternBytes(1), false},
      {"/sized/1023", PatternBytes(1023), false},
      {"/sized/1024", PatternBytes(1024), false},
      {"/sized/1025", PatternBytes(1025), false},
      {"/sized/70000", PatternBytes(70000), false},
      {"/nolength", PatternBytes(3000), false},
      {"/trickle", PatternBytes(2100), false},
      {"/straddle", std::string(1023, 'x') + "\xC3\xA9" "fin", false},
      {"/bom", "\xEF\xBB\xBF" "4.2.7.1530\r\n", false},
      {"/cut", PatternBytes(4096), true},
  };
  WinWebTextFetch fetch;
  for (const FetchCase& c : cases) {
    const std::string body = fetch.GetUrlText(PeerUrl(c.path));
    if (c.prefixOnly) {
      EXPECT_LT(body.size(), c.body.size()) << c.path;
      EXPECT_EQ(body, c.body.substr(0, body.size())) << c.path;
    } else {
      EXPECT_EQ(body.size(), c.body.size()) << c.path;
      EXPECT_TRUE(body == c.body) << c.path;
    }
  }
}

TEST(GetUrlText, FailuresLeaveTheBodyEmpty) {
  const std::u16string urls[] = {DeadUrl("/text"), u"", u"pas une adresse",
                                 u"http://127.0.0.1:0/text"};
  WinWebTextFetch fetch;
  for (const std::u16string& url : urls)
    EXPECT_EQ(fetch.GetUrlText(url), "") << EncodeUtf8(url);
}

// Limits short enough for a test; the peer holds its silent connections for 30 s.
constexpr NetworkLimits kShortLimits{2000, 3000, 120000, 1024};
// Generous: a limit is kept when the call ends well before the peer lets go.
constexpr DWORD kGiveUpBoundMs = 3000 + 12000;

// A loopback port whose listener never takes a connection: its small queue is filled
// first, so the system drops the next connection attempts instead of completing them.
class FullListener {
 public:
  FullListener() {
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    listen(listener_, 1);
    int length = sizeof(address);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    for (SOCKET& client : fillers_) {
      client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
      u_long nonBlocking = 1;
      ioctlsocket(client, FIONBIO, &nonBlocking);
      connect(client, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    }
    Sleep(200);
  }
  ~FullListener() {
    for (SOCKET client : fillers_) closesocket(client);
    closesocket(listener_);
  }
  std::u16string Url(const char* path) const {
    return U16("http://127.0.0.1:" + std::to_string(port_) + path);
  }

 private:
  SOCKET listener_;
  SOCKET fillers_[6] = {};
  int port_ = 0;
};

TEST(GetUrlText, GivesUpOnAServerThatStopsAnswering) {
  const FullListener unanswered;
  const struct {
    const char* name;
    std::u16string url;
  } cases[] = {
      {"connection never accepted", unanswered.Url("/text")},
      {"request taken, never answered", PeerUrl("/silent")},
      // The part received is not a manifest: it could end anywhere.
      {"body stops with the connection open", PeerUrl("/stall")},
  };
  WinWebTextFetch fetch(kShortLimits);
  for (const auto& c : cases) {
    const DWORD start = GetTickCount();
    const std::string body = fetch.GetUrlText(c.url);
    const DWORD elapsed = GetTickCount() - start;
    printf("%s: gave up after %lu ms\n", c.name, static_cast<unsigned long>(elapsed));
    EXPECT_LT(elapsed, kGiveUpBoundMs) << c.name;
    EXPECT_EQ(body.size(), 0u) << c.name;
  }
}

TEST(GetUrlText, AManifestPastTheSizeLimitIsAFailedFetch) {
  const struct {
    size_t size;
    bool kept;
  } cases[] = {
      {kManifestSizeLimit - 1, true},
      {kManifestSizeLimit, true},
      {kManifestSizeLimit + 1, false},
      {3 * kManifestSizeLimit, false},
  };
  WinWebTextFetch fetch;
  for (const auto& c : cases) {
    const std::string body = fetch.GetUrlText(PeerUrl("/sized/" + std::to_string(c.size)));
    EXPECT_EQ(body.size(), c.kept ? c.size : 0u) << c.size;
    if (c.kept) {
      EXPECT_TRUE(body == PatternBytes(c.size)) << c.size;
    }
  }
}

TEST(GetUrlText, SendsTheAgentAndBypassesTheCache) {
  WinWebTextFetch fetch;
  EXPECT_EQ(fetch.GetUrlText(PeerUrl("/agent")), "Delphi 2009");
  // The peer marks /hits/ answers cacheable for an hour and counts the requests.
  const std::u16string url = FreshHitsUrl("manifest");
  EXPECT_EQ(fetch.GetUrlText(url), "1");
  EXPECT_EQ(fetch.GetUrlText(url), "2");
}

// Records every call the progress callback makes, in order.
class RecordingView : public ProgressView {
 public:
  struct Call {
    char kind;  // 'M'ax, 'P'osition, 'R'epaint, 'C'aption, 'X' process messages
    double value = 0;
    std::u16string caption;
  };
  void SetProgressMax(double max) override { calls.push_back({'M', max, {}}); }
  void SetProgressPosition(double position) override { calls.push_back({'P', position, {}}); }
  void RepaintProgress() override { calls.push_back({'R', 0, {}}); }
  void SetCaption(const std::u16string& caption) override { calls.push_back({'C', 0, caption}); }
  void ProcessMessages() override { calls.push_back({'X', 0, {}}); }

  std::vector<Call> calls;
};

std::string ReadFile(const std::u16string& path) {
  std::ifstream file(reinterpret_cast<const wchar_t*>(path.c_str()), std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

std::u16string TempPath(const char16_t* name) {
  wchar_t folder[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  std::u16string path = FromW(folder) + name;
  DeleteFileW(W(path));
  return path;
}

// Sets the user's decimal separator for the life of the object.
class ScopedDecimalSeparator {
 public:
  explicit ScopedDecimalSeparator(const wchar_t* separator) : saved_(UserDecimalSeparator()) {
    EXPECT_TRUE(SetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, separator));
  }
  ~ScopedDecimalSeparator() { SetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, W(saved_)); }

 private:
  std::u16string saved_;
};

struct DownloadCase {
  const char* path;
  uint32_t announcedTotal;  // 0: the server sends no length
  std::string file;
};

TEST(DownloadToFile, ProgressDrivesBarAndCaptionInOrder) {
  const std::string archive = PatternBytes(5 * 1024 * 1024);
  const DownloadCase cases[] = {
      {"/archive.zip", 5 * 1024 * 1024, archive},
      {"/archive-nolength.zip", 0, archive},
  };
  const ScopedDecimalSeparator french(L",");
  RecordingView view;
  WinDownloads downloads([&] { return &view; });
  const auto callback = downloads.CreateDownloadCallback();
  for (const DownloadCase& c : cases) {
    view.calls.clear();
    const std::u16string file = TempPath(u"tallyx_download.zip");
    downloads.DownloadToFile(PeerUrl(c.path), file, callback.get(), DownloadStart::MayResume, 0);
    EXPECT_TRUE(ReadFile(file) == c.file) << c.path;
    DeleteFileW(W(file));

    ASSERT_FALSE(view.calls.empty()) << c.path;
    ASSERT_EQ(view.calls.size() % 5, 0u) << c.path;
    double lastPosition = 0;
    for (size_t i = 0; i < view.calls.size(); i += 5) {
      const auto* step = &view.calls[i];
      ASSERT_EQ(std::string({step[0].kind, step[1].kind, step[2].kind, step[3].kind,
                             step[4].kind}),
                "MCPRX")
          << c.path << " notification " << i / 5;
      EXPECT_EQ(step[0].value, c.announcedTotal == 0 ? 0 : step[0].value) << c.path;
      EXPECT_EQ(step[1].caption,
                ProgressCaption(static_cast<uint32_t>(step[2].value),
                                static_cast<uint32_t>(step[0].value), u","))
          << c.path;
      EXPECT_GE(step[2].value, lastPosition) << c.path;
      lastPosition = step[2].value;
    }
    const auto* last = &view.calls[view.calls.size() - 5];
    EXPECT_EQ(last[0].value, c.announcedTotal) << c.path;
    EXPECT_EQ(last[2].value, 5 * 1024 * 1024) << c.path;
    EXPECT_EQ(EncodeUtf8(last[1].caption),
              c.announcedTotal ? "Vantrel Tallyx Updater : 5,00 Mo/5,00 Mo"
                               : "Vantrel Tallyx Updater : 5,00 Mo/0,00 Mo")
        << c.path;
  }
}

TEST(DownloadToFile, AFailedTransferRaisesNothing) {
  RecordingView view;
  WinDownloads downloads([&] { return &view; });
  const auto callback = downloads.CreateDownloadCallback();
  const std::u16string file = TempPath(u"tallyx_failed.zip");
  EXPECT_NO_THROW(downloads.DownloadToFile(DeadUrl("/archive.zip"), file, callback.get(),
      DownloadStart::MayResume, 0));
  EXPECT_EQ(GetFileAttributesW(W(file)), INVALID_FILE_ATTRIBUTES);
  for (const RecordingView::Call& call : view.calls)
    if (call.kind == 'P') {
      EXPECT_EQ(call.value, 0);
    }
  EXPECT_NO_THROW(downloads.DownloadToFile(PeerUrl("/archive.zip"), file, nullptr,
      DownloadStart::MayResume, 0));
  EXPECT_EQ(ReadFile(file).size(), 5u * 1024 * 1024);
  DeleteFileW(W(file));
}

TEST(DownloadToFile, AnErrorOfTheWindowEndsTheTransferAndReachesTheCaller) {
  struct FailingView : RecordingView {
    void ProcessMessages() override {
      RecordingView::ProcessMessages();
      if (fail) throw EConvertError(u"'x' is not a valid integer value");
    }
    bool fail = true;
  } view;
  WinDownloads downloads([&] { return &view; });
  const auto callback = downloads.CreateDownloadCallback();
  const std::u16string file = TempPath(u"tallyx_aborted.zip");
  try {
    downloads.DownloadToFile(PeerUrl("/archive.zip"), file, callback.get(),
        DownloadStart::MayResume, 0);
    ADD_FAILURE() << "no error";
  } catch (const EConvertError& error) {
    EXPECT_EQ(EncodeUtf8(error.Message()), "'x' is not a valid integer value");
  }
  EXPECT_EQ(std::count_if(view.calls.begin(), view.calls.end(),
                          [](const auto& call) { return call.kind == 'X'; }),
            1);
  EXPECT_LT(ReadFile(file).size(), 5u * 1024 * 1024);
  DeleteFileW(W(file));

  // The same callback serves the next download normally.
  view.fail = false;
  EXPECT_NO_THROW(downloads.DownloadToFile(PeerUrl("/sized/3000"), file, callback.get(),
      DownloadStart::MayResume, 0));
  EXPECT_EQ(ReadFile(file), PatternBytes(3000));
  DeleteFileW(W(file));
}

void WriteFile(const std::u16string& path, const std::string& bytes) {
  std::ofstream file(reinterpret_cast<const wchar_t*>(path.c_str()), std::ios::binary);
  file << bytes;
}

TEST(DownloadToFile, AFailedOrStalledTransferKeepsTheEarlierFile) {
  const FullListener unanswered;
  const struct {
    const char* name;
    std::u16string url;
  } cases[] = {
      {"connection never accepted", unanswered.Url("/archive.zip")},
      {"request taken, never answered", PeerUrl("/silent")},
      {"body stops with the connection open", PeerUrl("/stall-archive.zip")},
      {"error page", PeerUrl("/missing")},
      {"connection reset half-way", PeerUrl("/cut")},
  };
  RecordingView view;
  WinDownloads downloads([&] { return &view; }, kShortLimits);
  const auto callback = downloads.CreateDownloadCallback();
  const std::u16string file = TempPath(u"tallyx_earlier.zip");
  for (const auto& c : cases) {
    WriteFile(file, "earlier download");
    const DWORD start = GetTickCount();
    EXPECT_NO_THROW(downloads.DownloadToFile(c.url, file, callback.get(),
        DownloadStart::MayResume, 0)) << c.name;
    const DWORD elapsed = GetTickCount() - start;
    printf("%s: gave up after %lu ms\n", c.name, static_cast<unsigned long>(elapsed));
    EXPECT_LT(elapsed, kGiveUpBoundMs) << c.name;
    EXPECT_EQ(ReadFile(file), "earlier download") << c.name;
    EXPECT_EQ(GetFileAttributesW(W(file + u".part")), INVALID_FILE_ATTRIBUTES) << c.name;
  }
  DeleteFileW(W(file));
}

TEST(Transfer, ATrickleOrAnEndlessFetchEndsWithinTheLimits) {
  const struct {
    const char* name;
    bool download;
    NetworkLimits limits;
    DWORD atLeastMs;
  } cases[] = {
      // Half a byte a second: every read gets data, the rate never reaches 1 KiB.
      {"archive dripping", true, kShortLimits, 3000},
      {"manifest dripping", false, kShortLimits, 3000},
      // Any rate at all is enough here; only the whole fetch's limit ends it.
      {"manifest past its whole-fetch limit", false, NetworkLimits{2000, 3000, 5000, 1}, 5000},
  };
  const std::u16string file = TempPath(u"tallyx_drip.zip");
  for (const auto& c : cases) {
    WriteFile(file, "earlier download");
    const DWORD start = GetTickCount();
    if (c.download) {
      WinDownloads downloads([] { return nullptr; }, c.limits);
      const auto callback = downloads.CreateDownloadCallback();
      downloads.DownloadToFile(PeerUrl("/drip"), file, callback.get(), DownloadStart::MayResume, 0);
      EXPECT_EQ(ReadFile(file), "earlier download") << c.name;
    } else {
      EXPECT_EQ(WinWebTextFetch(c.limits).GetUrlText(PeerUrl("/drip")), "") << c.name;
    }
    const DWORD elapsed = GetTickCount() - start;
    printf("%s: gave up after %lu ms\n", c.name, static_cast<unsigned long>(elapsed));
    EXPECT_GE(elapsed, c.atLeastMs) << c.name;
    EXPECT_LT(elapsed, kGiveUpBoundMs) << c.name;
  }
  DeleteFileW(W(file));
  DeleteFileW(W(file + u".part"));
  DeleteFileW(W(file + u".part.resume"));
}

constexpr size_t kRangedSize = 1024 * 1024;

// What the peer's /ranged/ address saw: "range|if-range|status|bytes" per request.
std::vector<std::string> RangedLog(const std::string& address) {
  WinWebTextFetch fetch;
  const std::string text =
      fetch.GetUrlText(PeerUrl("/ranged-log/" + address.substr(strlen("/ranged/"))));
  std::vector<std::string> lines;
  size_t from = 0;
  while (from < text.size()) {
    const size_t end = std::min(text.find('\n', from), text.size());
    lines.push_back(text.substr(from, end - from));
    from = end + 1;
  }
  return lines;
}

std::string UniqueName() {
  static int count = 0;
  return std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount()) + "-" +
         std::to_string(++count);
}

TEST(DownloadToFile, AKeptPartIsContinuedOnlyWhileItIsTheSameUpload) {
  const std::string whole = PatternBytes(kRangedSize);
  constexpr size_t kKept = 600000;
  const std::string rest = std::to_string(kRangedSize - kKept);
  const std::string all = std::to_string(kRangedSize);
  enum class Record { Kept, None, OtherAddress };
  const struct {
    const char* name;
    const char* mode;
    const char* tag;  // the validator the record keeps
    Record record;
    DownloadStart start;
    std::vector<std::string> log;  // what the server saw, in order
    bool resumed;
    // The part is a second name of a file elsewhere, which any user who may write the
    // folder can make: it is never added to, and the download starts afresh.
    bool secondName = false;
  } cases[] = {
      {"same upload", "honour", "\"v1\"", Record::Kept, DownloadStart::MayResume,
       {"bytes=600000-|\"v1\"|206|" + rest}, true},
      {"archive replaced", "honour", "\"v0\"", Record::Kept, DownloadStart::MayResume,
       {"bytes=600000-|\"v0\"|200|" + all}, false},
      {"server without ranges", "ignore", "\"v1\"", Record::Kept, DownloadStart::MayResume,
       {"bytes=600000-|\"v1\"|200|" + all}, false},
      {"range refused", "refuse", "\"v1\"", Record::Kept, DownloadStart::MayResume,
       {"bytes=600000-|\"v1\"|416|0", "||200|" + all}, false},
      {"range from elsewhere", "elsewhere", "\"v1\"", Record::Kept, DownloadStart::MayResume,
       {"bytes=600000-|\"v1\"|206|" + std::to_string(kRangedSize - kKept + 10), "||200|" + all},
       false},
      {"forced afresh", "honour", "\"v1\"", Record::Kept, DownloadStart::Afresh,
       {"||200|" + all}, false},
      {"part without its record", "honour", "\"v1\"", Record::None, DownloadStart::MayResume,
       {"||200|" + all}, false},
      {"record of another address", "honour", "\"v1\"", Record::OtherAddress,
       DownloadStart::MayResume, {"||200|" + all}, false},
      {"part with a second name", "honour", "\"v1\"", Record::Kept, DownloadStart::MayResume,
       {"||200|" + all}, false, true},
  };
  RecordingView view;
  WinDownloads downloads([&] { return &view; });
  const auto callback = downloads.CreateDownloadCallback();
  const std::u16string file = TempPath(u"tallyx_ranged.zip");
  for (const auto& c : cases) {
    const std::string address = std::string("/ranged/") + c.mode + "/" + UniqueName();
    const std::u16string url = PeerUrl(address);
    const std::u16string outside = TempPath(u"tallyx_outside.bin");
    DeleteFileW(W(file + u".part"));
    WriteFile(c.secondName ? outside : file + u".part", whole.substr(0, kKept));
    if (c.secondName) ASSERT_TRUE(CreateHardLinkW(W(file + u".part"), W(outside), nullptr));
    DeleteFileW(W(file + u".part.resume"));
    if (c.record != Record::None) {
      const std::string recordUrl =
          EncodeUtf8(c.record == Record::Kept ? url : PeerUrl("/ranged/honour/elsewhere"));
      WriteFile(file + u".part.resume",
                recordUrl + "\n" + std::to_string(kRangedSize) + "\n" + c.tag + "\n");
    }
    view.calls.clear();
    const bool resumed = downloads.DownloadToFile(url, file, callback.get(), c.start, 0);
    EXPECT_EQ(resumed, c.resumed) << c.name;
    EXPECT_TRUE(ReadFile(file) == whole) << c.name;
    EXPECT_EQ(RangedLog(address), c.log) << c.name;
    EXPECT_EQ(GetFileAttributesW(W(file + u".part")), INVALID_FILE_ATTRIBUTES) << c.name;
    EXPECT_EQ(GetFileAttributesW(W(file + u".part.resume")), INVALID_FILE_ATTRIBUTES) << c.name;
    if (c.secondName) EXPECT_TRUE(ReadFile(outside) == whole.substr(0, kKept)) << c.name;
    DeleteFileW(W(outside));
    // A continued transfer's bar starts at the kept part and never goes below it.
    if (c.resumed) {
      for (const RecordingView::Call& call : view.calls)
        if (call.kind == 'P') EXPECT_GE(call.value, double(kKept)) << c.name;
    }
    DeleteFileW(W(file));
  }
}

// Nothing past the signed length, or without one past the answer's own and the largest
// archive, reaches the disk: a body that never ends, a resumed answer longer than asked
// or a length that is not the signed one ends the download with the earlier file in
// place, and the part (kept only where it can be continued) is a true start of the
// archive.
TEST(DownloadToFile, NothingPastTheLengthIsWritten) {
  constexpr uint64_t kCap = 1024 * 1024;
  NetworkLimits small;
  small.maxArchiveBytes = kCap;
  NetworkLimits tiny;
  tiny.maxArchiveBytes = 2999;
  const NetworkLimits usual;
  const std::string whole = PatternBytes(kRangedSize);
  constexpr size_t kKept = 600000;
  const struct {
    const char* name;
    std::string path;  // "overlong" continues a kept part of /ranged/overlong/
    uint64_t signedLength;
    const NetworkLimits& limits;
    bool placed;
  } cases[] = {
      {"endless body, unsigned", "/endless", 0, small, false},
      {"endless body, signed", "/endless", kCap, usual, false},
      {"endless chunked body, signed", "/endless-chunked", kCap, usual, false},
      {"resumed answer longer than asked", "overlong", 0, usual, false},
      {"resumed answer longer than signed", "overlong", kRangedSize, usual, false},
      {"announced length not the signed one", "/sized/3000", 2999, usual, false},
      {"announced past the largest archive", "/sized/3000", 0, tiny, false},
      {"the signed length", "/sized/3000", 3000, usual, true},
  };
  const std::u16string file = TempPath(u"tallyx_bounded.zip");
  for (const auto& c : cases) {
    WinDownloads downloads([] { return nullptr; }, c.limits);
    const auto callback = downloads.CreateDownloadCallback();
    WriteFile(file, "earlier download");
    DeleteFileW(W(file + u".part"));
    DeleteFileW(W(file + u".part.resume"));
    std::u16string url = PeerUrl(c.path);
    const bool resuming = c.path == "overlong";
    if (resuming) {
      url = PeerUrl("/ranged/overlong/" + UniqueName());
      WriteFile(file + u".part", whole.substr(0, kKept));
      WriteFile(file + u".part.resume",
                EncodeUtf8(url) + "\n" + std::to_string(kRangedSize) + "\n\"v1\"\n");
    }
    const DWORD start = GetTickCount();
    downloads.DownloadToFile(url, file, callback.get(), DownloadStart::MayResume,
                             c.signedLength);
    const DWORD elapsed = GetTickCount() - start;
    printf("%s: ended after %lu ms\n", c.name, static_cast<unsigned long>(elapsed));
    EXPECT_LT(elapsed, kGiveUpBoundMs) << c.name;
    if (c.placed) {
      EXPECT_TRUE(ReadFile(file) == PatternBytes(3000)) << c.name;
    } else {
      EXPECT_EQ(ReadFile(file), "earlier download") << c.name;
    }
    // Only a part that can be continued stays, and it is the archive's start.
    const std::string part = ReadFile(file + u".part");
    if (resuming) {
      EXPECT_GE(part.size(), kKept) << c.name;
      EXPECT_TRUE(part == whole.substr(0, part.size())) << c.name;
    } else {
      EXPECT_EQ(GetFileAttributesW(W(file + u".part")), INVALID_FILE_ATTRIBUTES) << c.name;
    }
  }
  DeleteFileW(W(file));
  DeleteFileW(W(file + u".part"));
  DeleteFileW(W(file + u".part.resume"));
}

TEST(DownloadToFile, ATransferBrokenOffIsContinuedByTheNextAttempt) {
  const std::string address = "/ranged/cutonce/" + UniqueName();
  const std::u16string url = PeerUrl(address);
  WinDownloads downloads([] { return nullptr; });
  const auto callback = downloads.CreateDownloadCallback();
  const std::u16string file = TempPath(u"tallyx_cut.zip");
  DeleteFileW(W(file));
  EXPECT_FALSE(downloads.DownloadToFile(url, file, callback.get(), DownloadStart::MayResume, 0));
  EXPECT_EQ(GetFileAttributesW(W(file)), INVALID_FILE_ATTRIBUTES);
  const std::string part = ReadFile(file + u".part");
  EXPECT_GT(part.size(), 0u);
  EXPECT_TRUE(part == PatternBytes(kRangedSize).substr(0, part.size()));

  EXPECT_TRUE(downloads.DownloadToFile(url, file, callback.get(), DownloadStart::MayResume, 0));
  EXPECT_TRUE(ReadFile(file) == PatternBytes(kRangedSize));
  const std::vector<std::string> log = RangedLog(address);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[1], "bytes=" + std::to_string(part.size()) + "-|\"v1\"|206|" +
                        std::to_string(kRangedSize - part.size()));
  size_t sent = 0;
  for (const std::string& line : log) sent += std::stoul(line.substr(line.rfind('|') + 1));
  printf("archive of %zu bytes: %zu sent in all over two attempts\n", kRangedSize, sent);
  EXPECT_LE(sent, kRangedSize * 105 / 100);
  DeleteFileW(W(file));
}

// A range answer read as the installation reads it: the headers decide, the reader takes
// the body apart into the archive's bytes.
class AssembledAnswer : public RangeAnswer {
 public:
  explicit AssembledAnswer(std::vector<ByteRange> requested)
      : bytes(kRangedSize, '?'), requested_(std::move(requested)) {}
  bool Head(const RangeAnswerHead& answerHead) override {
    head = answerHead;
    if (head.status != 206) return false;
    reader_ = std::make_unique<RangeAnswerReader>(
        head.contentType, head.contentRange, requested_, kRangedSize,
        [this](uint64_t offset, const char* data, size_t size) {
          if (offset > bytes.size() || size > bytes.size() - offset) return false;
          bytes.replace(offset, size, data, size);
          return true;
        });
    return true;
  }
  bool Body(const char* data, size_t size) override {
    ++bodyCalls;
    return reader_ && reader_->Feed(data, size);
  }
  bool Finished() const { return reader_ && reader_->Finish(); }
  std::vector<ByteRange> Received() const {
    return reader_ ? reader_->Received() : std::vector<ByteRange>();
  }

  RangeAnswerHead head;
  int bodyCalls = 0;
  std::string bytes;

 private:
  std::vector<ByteRange> requested_;
  std::unique_ptr<RangeAnswerReader> reader_;
};

TEST(GetRanges, AnswersArriveThroughTheReaderWithinTheLimits) {
  const std::string archive = PatternBytes(kRangedSize);
  const std::vector<ByteRange> three = {{100, 1100}, {5000, 5003}, {700000, 702000}};
  const std::vector<ByteRange> one = {{4096, 8192}};
  constexpr uint64_t kBefore = 3000000;
  const struct {
    const char* name;
    const char* mode;
    std::vector<ByteRange> ranges;
    NetworkLimits limits;
    bool result;
    uint32_t status;
    bool finished;
    DWORD withinMs;
  } cases[] = {
      {"multipart in small pieces", "multi", three, {}, true, 206, true, 10000},
      {"single range", "single", one, {}, true, 206, true, 10000},
      // The peer sends a part of the archive, then holds the connection for 30 s.
      {"whole archive instead", "whole", three, {}, false, 200, false, 2000},
      {"stall half-way", "stall", three, kShortLimits, false, 206, false, kGiveUpBoundMs},
  };
  RecordingView view;
  for (const auto& c : cases) {
    WinDownloads downloads([&] { return &view; }, c.limits);
    const auto callback = downloads.CreateDownloadCallback();
    AssembledAnswer answer(c.ranges);
    // As the installation shows it: the bytes of the earlier requests, then these ranges'.
    uint64_t total = kBefore;
    for (const ByteRange& r : c.ranges) total += r.Size();
    view.calls.clear();
    const DWORD start = GetTickCount();
    const bool result =
        downloads.GetRanges(PeerUrl(std::string("/multirange/") + c.mode + "/" + UniqueName()),
                            RangeHeaderValue(c.ranges), answer, callback.get(), kBefore, total);
    const DWORD elapsed = GetTickCount() - start;
    printf("%s: %lu ms, %d body blocks\n", c.name, static_cast<unsigned long>(elapsed),
           answer.bodyCalls);
    EXPECT_EQ(result, c.result) << c.name;
    EXPECT_EQ(answer.head.status, c.status) << c.name;
    EXPECT_EQ(answer.Finished(), c.finished) << c.name;
    EXPECT_LT(elapsed, c.withinMs) << c.name;
    if (c.status != 206) {
      EXPECT_EQ(answer.bodyCalls, 0) << c.name;
    }
    if (c.finished) {
      EXPECT_EQ(answer.Received(), c.ranges) << c.name;
      for (const ByteRange& r : c.ranges)
        EXPECT_TRUE(answer.bytes.compare(r.first, r.Size(), archive, r.first, r.Size()) == 0)
            << c.name;
    }
    // The bar goes on from where the earlier requests left it, within the whole.
    int positions = 0;
    for (const RecordingView::Call& call : view.calls) {
      if (call.kind == 'M') {
        EXPECT_EQ(call.value, double(total)) << c.name;
      }
      if (call.kind != 'P') continue;
      ++positions;
      EXPECT_GE(call.value, double(kBefore)) << c.name;
      // A multipart body is longer than its ranges by its framing.
      EXPECT_LE(call.value, double(total)) << c.name;
    }
    EXPECT_GE(positions, 2) << c.name;
  }
}

TEST(GetRanges, TheAnswerOrTheWindowEndsTheTransferAtOnce) {
  // The stalling peer holds its connection for 30 s; the default limits wait 60 s.
  const std::vector<ByteRange> ranges = {{100, 1100}, {700000, 702000}};
  struct EndingAnswer : AssembledAnswer {
    using AssembledAnswer::AssembledAnswer;
    bool Head(const RangeAnswerHead& answerHead) override {
      headSeen = true;
      return AssembledAnswer::Head(answerHead);
    }
    bool Body(const char* data, size_t size) override {
      AssembledAnswer::Body(data, size);
      return false;
    }
    bool headSeen = false;
  };
  // Fails at its first showing after the answer's headers came.
  struct FailingView : RecordingView {
    void ProcessMessages() override {
      if (fail && *headSeen) throw EConvertError(u"'x' is not a valid integer value");
    }
    bool fail = false;
    const bool* headSeen = nullptr;
  };
  enum class Ends { Body, Window, Refused };
  const struct {
    const char* name;
    Ends ends;
    std::string rangeText;
  } cases[] = {
      {"the answer takes no more", Ends::Body, RangeHeaderValue(ranges)},
      {"the window raises an error", Ends::Window, RangeHeaderValue(ranges)},
      // A line break would smuggle headers of its own into the request.
      {"a range text with a line break", Ends::Refused,
       RangeHeaderValue(ranges) + "\r\nIf-Range: \"v0\""},
      {"no range text", Ends::Refused, ""},
  };
  for (const auto& c : cases) {
    EndingAnswer answer(ranges);
    FailingView view;
    view.fail = c.ends == Ends::Window;
    view.headSeen = &answer.headSeen;
    WinDownloads downloads([&] { return &view; });
    const auto callback = downloads.CreateDownloadCallback();
    const DWORD start = GetTickCount();
    bool result = false, raised = false;
    try {
      result = downloads.GetRanges(PeerUrl("/multirange/stall/" + UniqueName()), c.rangeText,
                                   answer, callback.get(), 0, 4000);
    } catch (const EConvertError&) {
      raised = true;
    }
    const DWORD elapsed = GetTickCount() - start;
    printf("%s: %lu ms\n", c.name, static_cast<unsigned long>(elapsed));
    EXPECT_EQ(raised, c.ends == Ends::Window) << c.name;
    EXPECT_FALSE(result) << c.name;
    EXPECT_LT(elapsed, 2000u) << c.name;
    EXPECT_EQ(answer.bodyCalls, c.ends == Ends::Body ? 1 : 0) << c.name;
    EXPECT_EQ(answer.head.status, c.ends == Ends::Refused ? 0u : 206u) << c.name;
  }
}

TEST(DownloadToFile, CacheEntryRemovalFetchesAfresh) {
  WinDownloads downloads([] { return nullptr; });
  const auto callback = downloads.CreateDownloadCallback();
  const std::u16string url = FreshHitsUrl("archive");
  const std::u16string file = TempPath(u"tallyx_hits.txt");
  downloads.DownloadToFile(url, file, callback.get(), DownloadStart::MayResume, 0);
  EXPECT_EQ(ReadFile(file), "1");
  downloads.DeleteUrlCacheEntry(url);
  downloads.DownloadToFile(url, file, callback.get(), DownloadStart::MayResume, 0);
  EXPECT_EQ(ReadFile(file), "2");
  DeleteFileW(W(file));
  EXPECT_NO_THROW(downloads.DeleteUrlCacheEntry(PeerUrl("/never-fetched")));
}

TEST(BindStatusCallback, AnswersItsTwoInterfacesOnly) {
  TBindStatusCallback callback([] { return nullptr; });
  IBindStatusCallback* const self = &callback;
  const struct {
    const char* name;
    const IID* iid;
    HRESULT result;
    bool same;
  } cases[] = {
      {"IUnknown", &IID_IUnknown, S_OK, true},
      {"IBindStatusCallback", &IID_IBindStatusCallback, S_OK, true},
      {"IStream", &IID_IStream, E_NOINTERFACE, false},
  };
  LONG expectedCount = 0;
  for (const auto& c : cases) {
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(self->QueryInterface(*c.iid, &object), c.result) << c.name;
    EXPECT_EQ(object, c.same ? static_cast<void*>(self) : nullptr) << c.name;
    if (c.same) ++expectedCount;
    EXPECT_EQ(callback.RefCount(), expectedCount) << c.name;
  }
}

TEST(BindStatusCallback, CountNeverDestroysAndOtherSlotsAreNotImplemented) {
  RecordingView view;
  TBindStatusCallback callback([&] { return &view; });
  IBindStatusCallback* const self = &callback;
  EXPECT_EQ(self->AddRef(), 1u);
  EXPECT_EQ(self->Release(), 0u);
  EXPECT_EQ(static_cast<LONG>(self->Release()), -1);
  EXPECT_EQ(static_cast<LONG>(self->Release()), -2);
  EXPECT_EQ(self->OnStartBinding(0, nullptr), E_NOTIMPL);
  LONG priority = 42;
  EXPECT_EQ(self->GetPriority(&priority), E_NOTIMPL);
  EXPECT_EQ(priority, 42);
  EXPECT_EQ(self->OnLowResource(0), E_NOTIMPL);
  EXPECT_EQ(self->OnStopBinding(E_FAIL, nullptr), E_NOTIMPL);
  DWORD flags = 7;
  EXPECT_EQ(self->GetBindInfo(&flags, nullptr), E_NOTIMPL);
  EXPECT_EQ(flags, 7u);
  EXPECT_EQ(self->OnDataAvailable(0, 0, nullptr, nullptr), E_NOTIMPL);
  EXPECT_EQ(self->OnObjectAvailable(IID_IUnknown, nullptr), E_NOTIMPL);
  // Still usable after the count went below zero; every status kind shows progress.
  const ULONG statuses[] = {BINDSTATUS_FINDINGRESOURCE, BINDSTATUS_ENDDOWNLOADDATA, 999};
  for (const ULONG status : statuses) {
    view.calls.clear();
    EXPECT_EQ(self->OnProgress(131072, 1073741824, status, L"x"), S_OK);
    ASSERT_EQ(view.calls.size(), 5u) << status;
    EXPECT_EQ(view.calls[0].value, 1073741824.0) << status;
    EXPECT_EQ(view.calls[2].value, 131072.0) << status;
  }
  TBindStatusCallback windowless([] { return nullptr; });
  EXPECT_EQ(windowless.OnProgress(1, 2, 0, nullptr), S_OK);
}

TEST(BindStatusCallback, CaptionFollowsTheUsersDecimalSeparator) {
  const struct {
    const wchar_t* separator;
    ULONG received, expected;
    const char* caption;
  } cases[] = {
      {L",", 5242880, 10485760, "Vantrel Tallyx Updater : 5,00 Mo/10,00 Mo"},
      {L".", 5242880, 10485760, "Vantrel Tallyx Updater : 5.00 Mo/10.00 Mo"},
      {L",", 131072, 1073741824, "Vantrel Tallyx Updater : 0,13 Mo/1024,00 Mo"},
      {L".", 131071, 0, "Vantrel Tallyx Updater : 0.12 Mo/0.00 Mo"},
  };
  RecordingView view;
  TBindStatusCallback callback([&] { return &view; });
  for (const auto& c : cases) {
    const ScopedDecimalSeparator separator(c.separator);
    view.calls.clear();
    callback.OnProgress(c.received, c.expected, BINDSTATUS_DOWNLOADINGDATA, nullptr);
    ASSERT_EQ(view.calls.size(), 5u) << c.caption;
    EXPECT_EQ(EncodeUtf8(view.calls[1].caption), c.caption);
  }
}

}  // namespace
}  // namespace tallyx
