#pragma once
// HTTP through the system's internet client: the manifest fetch, the archive download
// with its progress callback, and the removal of cached copies.
#include <functional>

#include "controller/operations/progress_view.h"
#include "controller/operations/web.h"

namespace tallyx {

class WinWebTextFetch : public WebTextFetch {
 public:
  std::string GetUrlText(const std::u16string& url) override;
};

// The window the progress is shown on, looked up at every notification (none while
// there is no window).
using ProgressViewSource = std::function<ProgressView*()>;

class WinDownloads : public Downloads {
 public:
  explicit WinDownloads(ProgressViewSource view) : view_(std::move(view)) {}
  void DeleteUrlCacheEntry(const std::u16string& url) override;
  std::unique_ptr<DownloadCallback> CreateDownloadCallback() override;
  void DownloadToFile(const std::u16string& url, const std::u16string& path,
                      DownloadCallback* callback) override;

 private:
  ProgressViewSource view_;
};

}  // namespace tallyx
