#pragma once
// HTTP through the system's internet client: the manifest fetch, the archive download
// with its progress callback, and the removal of cached copies.
#include <cstddef>
#include <cstdint>
#include <functional>

#include "controller/operations/progress_view.h"
#include "controller/operations/web.h"

namespace tallyx {

// The largest archive a download writes when nothing signed gives its length: six times
// the largest release shipped so far (163 MB), and within what the progress can count.
inline constexpr uint64_t kArchiveSizeLimit = uint64_t(1) << 30;

// When a transfer gives up on a server: no connection (name lookup included) within
// connectMs; once connected, fewer than minBytes in any stallMs (so a server that answers
// nothing, stops, drips a byte now and then or sends 1 KiB a minute ends alike); and for
// the manifest and its signature, which are a few kilobytes, the whole fetch taking
// longer than fetchMs. The floor, 2 KiB/s over each minute, is a quarter of a 64 kbit/s
// line, which downloads the 163 MB release in about 6 hours; a server that keeps just
// above it takes at most 22 hours over that archive, 6 days over the largest
// (kArchiveSizeLimit).
struct NetworkLimits {
  uint32_t connectMs = 30000;
  uint32_t stallMs = 60000;
  uint32_t fetchMs = 120000;
  uint32_t minBytes = 2048 * 60;
  // What an archive's download writes at most without a signed length.
  uint64_t maxArchiveBytes = kArchiveSizeLimit;
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
                      DownloadCallback* callback, DownloadStart start,
                      uint64_t signedLength) override;
  void RemoveLeftovers(const std::u16string& folder, const std::u16string& prefix,
                       const std::u16string& suffix) override;
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
