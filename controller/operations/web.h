#pragma once
#include <cstddef>
#include <cstdint>
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

// The status and the headers of an answer to a range request.
struct RangeAnswerHead {
  uint32_t status = 0;
  std::string contentType;
  std::string contentRange;
};

// Where a range request's answer goes, on the calling thread.
class RangeAnswer {
 public:
  virtual ~RangeAnswer() = default;
  // Once, when the status and headers have come; false ends the transfer there.
  virtual bool Head(const RangeAnswerHead& head) = 0;
  // Each block of the body as it comes; false ends the transfer.
  virtual bool Body(const char* data, size_t size) = 0;
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
  // `signedLength`: the archive's length as the vendor signed it, 0 when not known. A
  // body of another length is refused, and nothing past that length (or, when it is not
  // known, past the answer's own length and the platform's largest archive) is written.
  virtual bool DownloadToFile(const std::u16string& url, const std::u16string& path,
                              DownloadCallback* callback, DownloadStart start,
                              uint64_t signedLength) = 0;
  // Removes what transfers into `folder` left of archives named `<prefix>...<suffix>`:
  // their parts and resume records, each waited for a while when another program (a
  // scanner) holds it. For after an installation, when none of them is of use.
  virtual void RemoveLeftovers(const std::u16string& folder, const std::u16string& prefix,
                               const std::u16string& suffix) {
    (void)folder, (void)prefix, (void)suffix;
  }
  // GET of `url` with "Range: <ranges>" (a RangeHeaderValue), within the network limits
  // of a download; the answer goes to `answer`. The progress is shown through `callback`
  // as a download's: `shownBefore` plus the body bytes received, of `shownTotal`. True
  // when the body was read to its end; false when the transfer failed, gave up, or
  // `answer` ended it. A client without range requests answers false at once.
  virtual bool GetRanges(const std::u16string& url, const std::string& ranges,
                         RangeAnswer& answer, DownloadCallback* callback, uint64_t shownBefore,
                         uint64_t shownTotal) {
    (void)url, (void)ranges, (void)answer, (void)callback, (void)shownBefore, (void)shownTotal;
    return false;
  }
};

}  // namespace tallyx
