#pragma once
#include <memory>
#include <string>

namespace tallyx {

// HTTP GET of a text resource. Failures are not errors: they leave the body empty or
// shortened. Returns the body bytes exactly as received.
class WebTextFetch {
 public:
  virtual ~WebTextFetch() = default;
  virtual std::string GetUrlText(const std::u16string& url) = 0;
};

// The download's progress callback object. One is created when the main window is
// created and kept until the process ends; both install commands pass it.
class DownloadCallback {
 public:
  virtual ~DownloadCallback() = default;
};

// Whether a download may continue a transfer that an earlier attempt broke off.
enum class DownloadStart { MayResume, Afresh };

class Downloads {
 public:
  virtual ~Downloads() = default;
  // Removes the local internet cache's copy of `url`; the outcome is of no interest.
  virtual void DeleteUrlCacheEntry(const std::u16string& url) = 0;
  virtual std::unique_ptr<DownloadCallback> CreateDownloadCallback() = 0;
  // Returns when the transfer has ended, successfully or not; its outcome is not
  // reported (a failed download shows up as an archive that cannot be opened). True
  // when the file was completed from a part kept by an earlier attempt: its start and
  // its end came from two transfers. Afresh discards any such part first.
  virtual bool DownloadToFile(const std::u16string& url, const std::u16string& path,
                              DownloadCallback* callback, DownloadStart start) = 0;
};

}  // namespace tallyx
