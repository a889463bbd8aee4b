#pragma once
// The installation from changed entries: the signed index says where each entry of the
// release archive lies and what it inflates to; the entries whose installed file differs
// are fetched by range requests, checked one by one, and written out as a small archive
// of their own, which the installation then opens and extracts as it would the release.
#include <memory>

#include "controller/operations/changed_entries.h"
#include "zip/file_system.h"

namespace tallyx {

// Past these, what would be fetched is not worth the ranges: the release is downloaded
// whole, which also resumes after a break.
inline constexpr size_t kRangesPerRequest = 64;   // what a server's max_ranges must allow
inline constexpr size_t kMultipartRequests = 16;  // so at most 1,024 ranges in all
inline constexpr size_t kSingleRangeRequests = 256;
// Fetching more than this share of the archive (in percent) is not worth it.
inline constexpr uint64_t kWorthPercent = 50;

class ZipChangedEntriesFactory : public ChangedEntriesFactory {
 public:
  ZipChangedEntriesFactory(FileSystem& fileSystem, Sha256Factory& sha256)
      : fileSystem_(fileSystem), sha256_(sha256) {}
  std::unique_ptr<ChangedEntries> CreateChangedEntries(Downloads& downloads) override;

 private:
  FileSystem& fileSystem_;
  Sha256Factory& sha256_;
};

}  // namespace tallyx
