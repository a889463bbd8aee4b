#pragma once
// An installation from the entries of a signed release that differ from the installed
// files, fetched by range requests from the one release archive.
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "controller/operations/archive.h"
#include "controller/operations/signatures.h"
#include "controller/operations/web.h"

namespace tallyx {

class ChangedEntries {
 public:
  virtual ~ChangedEntries() = default;
  // The release's index at `url`, fetched as the entries are: by a range request from its
  // first byte, the window served and the progress shown through `callback` meanwhile; a
  // server that does not answer ranges is found out there, before anything else is asked.
  // Empty when the fetch fails, the answer is not the whole file in one range, or it is
  // larger than any index can be.
  virtual std::string FetchIndex(const std::u16string& url, DownloadCallback* callback) = 0;
  // `index`: the release's index, its signature verified. Compares each entry with the
  // file under `folder` (size, then content), fetches the entries that differ or are new
  // from the archive at `url` by range requests, and writes them, each checked against
  // the index, as an archive of their own at `path`. False on any doubt (an index it
  // cannot read, a server that does not answer the ranges asked, bytes that do not match,
  // a failed transfer, more to fetch than is worth it), with nothing left at `path`. The
  // progress is shown through `callback` as the download's: bytes fetched of bytes to
  // fetch; the comparison's through `comparing` (Checking: bytes of installed files read
  // of the bytes they hold at most), every few milliseconds. What the window's handlers
  // raise during either is raised again.
  virtual bool Fetch(const std::u16string& url, std::string_view index,
                     const std::u16string& folder, const std::u16string& path,
                     DownloadCallback* callback, const ArchiveProgress& comparing) = 0;
  // The release archive's length as `index` gives it; 0 when the index cannot be read.
  virtual uint64_t ArchiveSize(std::string_view index) const = 0;
  // After a Fetch that succeeded: the SHA-256 of the archive it wrote.
  virtual Sha256Digest Content() const = 0;
  // After a Fetch that succeeded: the content of the release's `name` (relative to the
  // folder) when the folder's file was found the same, so that it was not fetched.
  virtual std::optional<Sha256Digest> UnchangedContent(const std::u16string& name) const = 0;
  // Gives the entries found the same the times and attributes an extraction gives them.
  virtual void SetUnchangedTimes() = 0;
  // Removes an archive that a Fetch wrote at `path`, and what a broken one left beside it.
  virtual void Remove(const std::u16string& path) = 0;
};

class ChangedEntriesFactory {
 public:
  virtual ~ChangedEntriesFactory() = default;
  virtual std::unique_ptr<ChangedEntries> CreateChangedEntries(Downloads& downloads) = 0;
};

}  // namespace tallyx
