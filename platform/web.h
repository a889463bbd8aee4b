#pragma once
// HTTP through the system's internet client: the manifest fetch, the archive download
// with its progress callback, and the removal of cached copies.
#include <cstddef>
#include <cstdint>
#include <functional>

#include "controller/operations/progress_view.h"
#include "controller/operations/web.h"

namespace tallyx {

// When a transfer gives up on a server: no connection (name lookup included) within
// connectMs; once connected, fewer than minBytes in any stallMs (so a server that answers
// nothing, stops, or drips a byte now and then ends alike); and for the manifest and its
// signature, which are a few kilobytes, the whole fetch taking longer than fetchMs.
struct NetworkLimits {
  uint32_t connectMs = 30000;
  uint32_t stallMs = 60000;
  uint32_t fetchMs = 120000;
  uint32_t minBytes = 1024;
};

// A manifest is a few lines and a change history, a few kilobytes. Anything past this
// is a server gone wrong, whose body would take minutes and hundreds of megabytes of a
// 32-bit process's address space to decode and show.
inline constexpr size_t kManifestSizeLimit = 2 * 1024 * 1024;

class WinWebTextFetch : public WebTextFetch {
 public:
  explicit WinWebTextFetch(NetworkLimits limits = {}) : limits_(limits) {}
  // A body larger than kManifestSizeLimit comes back empty, as a failed fetch does.
  std::string GetUrlText(const std::u16string& url) override;

 private:
  NetworkLimits limits_;
};

// The window the progress is shown on, looked up at every notification (none while
// there is no window).
using ProgressViewSource = std::function<ProgressView*()>;

class WinDownloads : public Downloads {
 public:
  explicit WinDownloads(ProgressViewSource view, NetworkLimits limits = {})
      : view_(std::move(view)), limits_(limits) {}
  void DeleteUrlCacheEntry(const std::u16string& url) override;
  std::unique_ptr<DownloadCallback> CreateDownloadCallback() override;
  // The file is written only when the whole body has arrived with a success status; a
  // transfer that fails or gives up leaves whatever file of that name was there, and
  // keeps what came as `<path>.part` (with `<path>.part.resume`) for the next attempt.
  bool DownloadToFile(const std::u16string& url, const std::u16string& path,
                      DownloadCallback* callback, DownloadStart start) override;
  // Within the download's network limits; the answer is neither taken from nor written
  // to the local internet cache.
  bool GetRanges(const std::u16string& url, const std::string& ranges, RangeAnswer& answer,
                 DownloadCallback* callback, uint64_t shownBefore,
                 uint64_t shownTotal) override;

 private:
  ProgressViewSource view_;
  NetworkLimits limits_;
};

}  // namespace tallyx
