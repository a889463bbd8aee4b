#include "zip/changed_entries.h"

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <map>
#include <optional>
#include <vector>

#include "base/byte_ranges.h"
#include "base/win_path.h"
#include "zip/release_index.h"
#include "zip/zip_file.h"
#include "zip/zip_struct.h"

namespace tallyx {
namespace {

constexpr size_t kChunk = 65536;
constexpr size_t kCentralOffsetField = 42;  // a central record's local header offset
// A central directory is about a hundred bytes an entry; one past this is no release's.
constexpr uint64_t kCentralLimit = 32u << 20;
constexpr auto kProgressEvery = std::chrono::milliseconds(15);
// An index is about 150 bytes an entry, and a release has at most 65,535 of them.
constexpr uint64_t kIndexSizeLimit = 24u << 20;

// The bytes [range.first, range.end) of the archive, kept at `at` in the fetch file.
struct Segment {
  ByteRange range;
  uint64_t at = 0;
};

// The release archive as far as it was fetched: fetched bytes come from the fetch file,
// every other byte reads as zero. The reader may look at any byte (the end record is
// searched for in the last 64 KiB), but only bytes that were fetched and then checked
// against the index are ever used: the central directory by its hash, each entry by what
// it inflates to.
class FetchedArchive : public TStream {
 public:
  FetchedArchive(std::unique_ptr<TStream> file, std::vector<Segment> segments, uint64_t size)
      : file_(std::move(file)), segments_(std::move(segments)), size_(size) {}

  size_t Read(void* buffer, size_t count) override {
    char* out = static_cast<char*>(buffer);
    size_t done = 0;
    while (done < count && position_ < size_) {
      const auto next = std::upper_bound(
          segments_.begin(), segments_.end(), position_,
          [](uint64_t at, const Segment& segment) { return at < segment.range.first; });
      const uint64_t want = count - done;
      uint64_t piece;
      if (next != segments_.begin() && position_ < std::prev(next)->range.end) {
        const Segment& segment = *std::prev(next);
        piece = std::min(want, segment.range.end - position_);
        file_->Seek(static_cast<int64_t>(segment.at + (position_ - segment.range.first)),
                    TSeekOrigin::soBeginning);
        file_->ReadBuffer(out + done, static_cast<size_t>(piece));
      } else {
        const uint64_t hole = next == segments_.end() ? size_ : next->range.first;
        piece = std::min(want, hole - position_);
        std::memset(out + done, 0, static_cast<size_t>(piece));
      }
      done += static_cast<size_t>(piece);
      position_ += piece;
    }
    return done;
  }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override {
    position_ = static_cast<uint64_t>(SeekTarget(offset, origin, static_cast<int64_t>(position_),
                                                 static_cast<int64_t>(size_)));
    return static_cast<int64_t>(position_);
  }
  int64_t Size() override { return static_cast<int64_t>(size_); }

 private:
  std::unique_ptr<TStream> file_;
  std::vector<Segment> segments_;  // sorted, apart
  uint64_t size_;
  uint64_t position_ = 0;
};

uint64_t TotalSize(const std::vector<ByteRange>& ranges) {
  uint64_t bytes = 0;
  for (const ByteRange& range : ranges) bytes += range.Size();
  return bytes;
}

void PutLE16(std::string& out, uint16_t value) {
  out.push_back(static_cast<char>(value & 0xFF));
  out.push_back(static_cast<char>(value >> 8));
}
void PutLE32(std::string& out, uint32_t value) {
  PutLE16(out, static_cast<uint16_t>(value & 0xFFFF));
  PutLE16(out, static_cast<uint16_t>(value >> 16));
}

// An installed entry found the same as the release's: what an extraction would still
// give it.
struct Unchanged {
  std::u16string target;
  EntryStamp stamp;
};

class ZipChangedEntries : public ChangedEntries {
 public:
  ZipChangedEntries(FileSystem& fileSystem, Sha256Factory& sha256, Downloads& downloads)
      : fs_(fileSystem), sha256_(sha256), downloads_(downloads) {}

  uint64_t ArchiveSize(std::string_view indexText) const override {
    const std::optional<ReleaseIndex> index = ParseReleaseIndex(indexText);
    return index ? index->archiveSize : 0;
  }

  bool Fetch(const std::u16string& url, std::string_view indexText, const std::u16string& folder,
             const std::u16string& path, DownloadCallback* callback,
             const ArchiveProgress& comparing) override {
    Remove(path);
    url_ = url;
    callback_ = callback;
    fetchPath_ = path + u".part";
    segments_.clear();
    written_ = 0;
    content_ = {};
    unchanged_.clear();
    unchangedContent_.clear();
    bool made = false;
    try {
      made = Make(indexText, folder, path, comparing);
    } catch (...) {
      // Raised by the window's handlers, through the progress: not a doubt about the
      // release, and not to be swallowed.
      output_.reset();
      Remove(path);
      throw;
    }
    output_.reset();
    if (made) fs_.RemoveFile(fetchPath_);
    else Remove(path);
    return made;
  }

  std::string FetchIndex(const std::u16string& url, DownloadCallback* callback) override {
    struct Answer : RangeAnswer {
      std::string body;
      uint64_t size = 0;
      bool Head(const RangeAnswerHead& head) override {
        const std::optional<ContentRange> range = ParseContentRange(head.contentRange);
        if (head.status != 206 || !range || range->range.first != 0 ||
            range->range.end != range->complete || range->complete > kIndexSizeLimit)
          return false;
        size = range->complete;
        return true;
      }
      bool Body(const char* data, size_t count) override {
        if (body.size() + count > size) return false;
        body.append(data, count);
        return true;
      }
    } answer;
    if (!downloads_.GetRanges(url, "bytes=0-", answer, callback, 0, 0) ||
        answer.body.size() != answer.size)
      return {};
    return std::move(answer.body);
  }

  Sha256Digest Content() const override { return content_; }

  std::optional<Sha256Digest> UnchangedContent(const std::u16string& name) const override {
    const auto found = unchangedContent_.find(PathKey(WithBackslashes(name)));
    if (found == unchangedContent_.end()) return std::nullopt;
    return found->second;
  }

  void SetUnchangedTimes() override {
    for (const Unchanged& entry : unchanged_) {
      if (entry.stamp.utcTime) {
        fs_.SetFileTime(entry.target, FileTimeKind::Creation, *entry.stamp.utcTime);
        fs_.SetFileTime(entry.target, FileTimeKind::LastWrite, *entry.stamp.utcTime);
      }
      if (entry.stamp.attributes) fs_.SetAttributes(entry.target, *entry.stamp.attributes);
    }
  }

  void Remove(const std::u16string& path) override {
    fs_.RemoveFile(path + u".part");
    fs_.RemoveFile(path);
  }

 private:
  // False on any doubt; raises only what the progress raised.
  bool Make(std::string_view indexText, const std::u16string& folder, const std::u16string& path,
            const ArchiveProgress& comparing) {
    const std::optional<ReleaseIndex> index = ParseReleaseIndex(indexText);
    if (!index) return false;
    archiveSize_ = index->archiveSize;
    std::vector<std::u16string> targets;
    for (const ReleaseIndexEntry& entry : index->entries) {
      std::u16string relative = WithBackslashes(entry.name);
      if (entry.IsFolder()) relative.pop_back();
      // The extraction refuses these names; the release would then fail as a whole, and
      // nothing outside the folder is read here to compare with.
      if (!IsContainedPath(relative) || NamesTransactionFile(relative)) return false;
      targets.push_back(JoinPath(folder, relative));
    }
    const std::vector<size_t> changed = Compare(*index, targets, comparing);

    std::vector<ByteRange> wanted;
    for (const size_t i : changed) {
      const ReleaseIndexEntry& entry = index->entries[i];
      wanted.push_back({entry.offset, entry.offset + entry.length});
    }
    wanted.push_back({index->centralOffset, index->archiveSize});
    wanted = MergeRanges(std::move(wanted), kRangesPerRequest * kMultipartRequests);
    if (!WorthFetching(wanted)) return false;

    FsResult opened;
    output_ = fs_.OpenOutput(fetchPath_, OutputMode::CreateNew, opened);
    if (!output_) return false;
    if (!FetchAll(wanted)) return false;
    if (!output_->Close().Done()) return false;
    output_.reset();
    try {
      return Assemble(*index, changed, targets, path);
    } catch (const std::exception&) {
      // The reader refused what came, or what came does not reach where the index says.
      return false;
    }
  }

  // The entries whose installed file differs, in the index's order; the others are kept
  // as unchanged.
  std::vector<size_t> Compare(const ReleaseIndex& index, const std::vector<std::u16string>& targets,
                              const ArchiveProgress& comparing) {
    std::vector<bool> same(index.entries.size(), false);
    std::vector<bool> present(index.entries.size(), false);  // files to compare
    uint64_t total = 0;
    for (size_t i = 0; i < index.entries.size(); ++i) {
      const ReleaseIndexEntry& entry = index.entries[i];
      if (entry.IsFolder()) {
        same[i] = fs_.FolderExists(targets[i]);
      } else if (fs_.FileExists(targets[i])) {
        present[i] = true;
        total += entry.size;
      }
    }
    uint64_t done = 0;
    auto shown = std::chrono::steady_clock::now();
    const auto report = [&](bool now) {
      const auto time = std::chrono::steady_clock::now();
      if (!comparing || (!now && time - shown < kProgressEvery)) return;
      shown = time;
      comparing(ArchiveStep::Checking, done, total);
    };
    report(true);
    std::vector<char> buffer(kChunk);
    for (size_t i = 0; i < index.entries.size(); ++i) {
      const ReleaseIndexEntry& entry = index.entries[i];
      if (!present[i]) continue;
      same[i] = SameContent(targets[i], entry, buffer, [&](uint64_t bytes) {
        done += bytes;
        report(false);
      });
    }
    report(true);
    std::vector<size_t> changed;
    for (size_t i = 0; i < index.entries.size(); ++i) {
      if (!same[i]) {
        changed.push_back(i);
      } else if (!index.entries[i].IsFolder()) {
        unchangedContent_[PathKey(WithBackslashes(index.entries[i].name))] = index.entries[i].content;
      }
    }
    return changed;
  }

  // A file that cannot be read (held by a running program, say) counts as changed: it is
  // then fetched and goes in with the transaction, which knows how to wait for it.
  template <typename Progress>
  bool SameContent(const std::u16string& target, const ReleaseIndexEntry& entry,
                   std::vector<char>& buffer, const Progress& progress) {
    FsResult result;
    const std::unique_ptr<TStream> file = fs_.OpenExclusive(target, result);
    if (!file || file->Size() < 0 || static_cast<uint64_t>(file->Size()) != entry.size) return false;
    const std::unique_ptr<Sha256Hasher> hash = sha256_.NewSha256();
    for (uint64_t left = entry.size; left > 0;) {
      const size_t piece = static_cast<size_t>(std::min<uint64_t>(left, buffer.size()));
      try {
        file->ReadBuffer(buffer.data(), piece);
      } catch (const std::exception&) {
        return false;
      }
      hash->Update(buffer.data(), piece);
      left -= piece;
      progress(piece);
    }
    return hash->Finish() == entry.content;
  }

  bool WorthFetching(const std::vector<ByteRange>& wanted) const {
    return TotalSize(wanted) <= archiveSize_ / 100 * kWorthPercent;
  }

  enum class Outcome { Done, Whole, Failed };

  // Several ranges a request while the server answers them in one multipart answer; one
  // by one from the start when its first answer to several is the whole archive (a
  // server that allows fewer ranges than asked does that, nginx among them).
  bool FetchAll(const std::vector<ByteRange>& wanted) {
    total_ = TotalSize(wanted);
    const auto groups = GroupRanges(wanted, kRangesPerRequest);
    for (size_t g = 0; g < groups.size(); ++g) {
      const Outcome outcome = Request(groups[g]);
      if (outcome == Outcome::Done) continue;
      if (outcome == Outcome::Whole && g == 0 && groups[g].size() > 1) return FetchOneByOne(wanted);
      return false;
    }
    return Covered(wanted);
  }

  bool FetchOneByOne(std::vector<ByteRange> wanted) {
    wanted = MergeRanges(std::move(wanted), kSingleRangeRequests);
    if (!WorthFetching(wanted)) return false;
    total_ = TotalSize(wanted);
    for (const ByteRange& range : wanted) {
      if (Request({range}) != Outcome::Done) return false;
    }
    return Covered(wanted);
  }

  Outcome Request(const std::vector<ByteRange>& group) {
    struct Answer : RangeAnswer {
      ZipChangedEntries& self;
      const std::vector<ByteRange>& group;
      std::optional<RangeAnswerReader> reader;
      uint32_t status = 0;
      Answer(ZipChangedEntries& s, const std::vector<ByteRange>& g) : self(s), group(g) {}
      bool Head(const RangeAnswerHead& head) override {
        status = head.status;
        if (status != 206) return false;
        reader.emplace(head.contentType, head.contentRange, group, self.archiveSize_,
                       [this](uint64_t offset, const char* data, size_t size) {
                         return self.Keep(offset, data, size);
                       });
        return true;
      }
      // False ends the transfer, which then reports that it did not read to the end.
      bool Body(const char* data, size_t size) override { return reader && reader->Feed(data, size); }
    } answer(*this, group);
    const bool read = downloads_.GetRanges(url_, RangeHeaderValue(group), answer, callback_,
                                           written_, total_);
    if (answer.status == 200) return Outcome::Whole;
    if (!read || !answer.reader || !answer.reader->Finish()) return Outcome::Failed;
    return Outcome::Done;
  }

  // Appends what came to the fetch file, noting where each byte of the archive went (the
  // segments follow the file, so the last one ends where the file does).
  bool Keep(uint64_t offset, const char* data, size_t size) {
    if (size == 0) return true;
    if (output_->Write(data, size) != size) return false;
    if (!segments_.empty() && segments_.back().range.end == offset) {
      segments_.back().range.end += size;
    } else {
      segments_.push_back({{offset, offset + size}, written_});
    }
    written_ += size;
    return true;
  }

  // Every wanted byte came, once: a server that sent a part twice or left one out is not
  // trusted with the rest either.
  bool Covered(const std::vector<ByteRange>& wanted) {
    std::sort(segments_.begin(), segments_.end(),
              [](const Segment& a, const Segment& b) { return a.range.first < b.range.first; });
    for (size_t i = 1; i < segments_.size(); ++i) {
      if (segments_[i].range.first < segments_[i - 1].range.end) return false;
    }
    for (const ByteRange& range : wanted) {
      uint64_t at = range.first;
      for (const Segment& segment : segments_) {
        if (segment.range.first <= at && at < segment.range.end) at = segment.range.end;
      }
      if (at < range.end) return false;
    }
    return true;
  }

  // Checks the fetched central directory and every fetched entry against the index, then
  // writes the entries and their central records as an archive of their own.
  bool Assemble(const ReleaseIndex& index, const std::vector<size_t>& changed,
                const std::vector<std::u16string>& targets, const std::u16string& path) {
    FsResult opened;
    std::unique_ptr<TStream> file = fs_.OpenExclusive(fetchPath_, opened);
    if (!file) return false;
    FetchedArchive archive(std::move(file), segments_, index.archiveSize);

    // The central directory is read by its hash before the reader sees any of it.
    const uint64_t centralSize = index.archiveSize - index.centralOffset;
    if (centralSize > kCentralLimit) return false;
    std::string central(static_cast<size_t>(centralSize), '\0');
    archive.Seek(static_cast<int64_t>(index.centralOffset), TSeekOrigin::soBeginning);
    archive.ReadBuffer(central.data(), central.size());
    if (Hash(central) != index.centralContent) return false;

    // The reader takes the stream's position as the archive's start.
    archive.Seek(0, TSeekOrigin::soBeginning);
    TZipFile zip(fs_);
    zip.Open(archive, TZipMode::zmRead);
    if (zip.FileCount() != index.entries.size()) return false;
    // Where each central record lies in `central`, to be copied with its new offset.
    std::vector<std::pair<size_t, size_t>> records;
    size_t at = 0;
    for (size_t i = 0; i < zip.FileCount(); ++i) {
      const TZipHeader& header = zip.FileInfo(i);
      const ReleaseIndexEntry& entry = index.entries[i];
      if (header.LocalHeaderOffset != entry.offset || header.CompressedSize != entry.compressedSize ||
          header.UncompressedSize != entry.size || header.CRC32 != entry.crc32)
        return false;
      const auto* raw = reinterpret_cast<const unsigned char*>(central.data());
      if (at + kCentralHeaderSize > central.size() || GetLE32(raw + at) != kCentralHeaderSignature) return false;
      const size_t length = kCentralHeaderSize + GetLE16(raw + at + 28) + GetLE16(raw + at + 30) +
                            GetLE16(raw + at + 32);
      if (at + length > central.size()) return false;
      records.emplace_back(at, length);
      at += length;
    }

    for (const size_t i : changed) {
      if (!EntryMatches(zip, i, index.entries[i])) return false;
    }
    size_t next = 0;
    for (size_t i = 0; i < index.entries.size(); ++i) {
      if (next < changed.size() && changed[next] == i) {
        ++next;
        continue;
      }
      if (index.entries[i].IsFolder()) continue;
      const TZipHeader& header = zip.FileInfo(i);
      // The central record's time: the local header was not fetched (a published
      // archive writes the same time in both).
      unchanged_.push_back({targets[i], StampOf(header.ModifiedDateTime, header, fs_)});
    }
    return Write(archive, index, changed, central, records, path);
  }

  // The entry's local header gives the index's name, its data lies inside the entry's
  // bytes, and it inflates to exactly the index's size, CRC-32 and content.
  bool EntryMatches(TZipFile& zip, size_t i, const ReleaseIndexEntry& entry) {
    std::unique_ptr<TStream> data;
    TZipHeader local;
    zip.Read(i, data, local);
    if (zip.EntryName(i, local) != entry.name) return false;
    const uint64_t dataStart = entry.offset + 4 + kLocalFixedSize + local.FileNameLength + local.ExtraFieldLength;
    if (dataStart + entry.compressedSize > entry.offset + entry.length) return false;
    const bool stored = (zip.FileInfo(i).CompressionMethod & 0xFF) == kMethodStored;
    if (stored && entry.compressedSize != entry.size) return false;
    const std::unique_ptr<Sha256Hasher> hash = sha256_.NewSha256();
    uLong crc = ::crc32(0, nullptr, 0);
    std::vector<unsigned char> buffer(kChunk);
    for (uint64_t left = entry.size; left > 0;) {
      const size_t piece = static_cast<size_t>(std::min<uint64_t>(left, buffer.size()));
      data->ReadBuffer(buffer.data(), piece);
      hash->Update(buffer.data(), piece);
      crc = ::crc32(crc, buffer.data(), static_cast<uInt>(piece));
      left -= piece;
    }
    unsigned char more;
    if (!stored && entry.size > 0 && data->Read(&more, 1) != 0) return false;
    return crc == entry.crc32 && hash->Finish() == entry.content;
  }

  bool Write(FetchedArchive& archive, const ReleaseIndex& index, const std::vector<size_t>& changed,
             const std::string& central, const std::vector<std::pair<size_t, size_t>>& records,
             const std::u16string& path) {
    FsResult opened;
    std::unique_ptr<OutputFile> out = fs_.OpenOutput(path, OutputMode::CreateNew, opened);
    if (!out) return false;
    const std::unique_ptr<Sha256Hasher> hash = sha256_.NewSha256();
    uint64_t written = 0;
    const auto put = [&](const void* data, size_t size) {
      if (out->Write(data, size) != size) return false;
      hash->Update(data, size);
      written += size;
      return true;
    };
    std::vector<uint64_t> offsets;
    std::vector<char> buffer(kChunk);
    for (const size_t i : changed) {
      offsets.push_back(written);
      const ReleaseIndexEntry& entry = index.entries[i];
      archive.Seek(static_cast<int64_t>(entry.offset), TSeekOrigin::soBeginning);
      for (uint64_t left = entry.length; left > 0;) {
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(left, buffer.size()));
        archive.ReadBuffer(buffer.data(), piece);
        if (!put(buffer.data(), piece)) return false;
        left -= piece;
      }
    }
    const uint64_t centralStart = written;
    for (size_t k = 0; k < changed.size(); ++k) {
      if (offsets[k] > 0xFFFFFFFFu) return false;
      std::string record = central.substr(records[changed[k]].first, records[changed[k]].second);
      std::string offset;
      PutLE32(offset, static_cast<uint32_t>(offsets[k]));
      record.replace(kCentralOffsetField, 4, offset);
      if (!put(record.data(), record.size())) return false;
    }
    const uint64_t centralLength = written - centralStart;
    if (centralStart > 0xFFFFFFFFu || centralLength > 0xFFFFFFFFu || changed.size() > 0xFFFF)
      return false;
    std::string end;
    PutLE32(end, kEndOfCentralDirSignature);
    PutLE16(end, 0);
    PutLE16(end, 0);
    PutLE16(end, static_cast<uint16_t>(changed.size()));
    PutLE16(end, static_cast<uint16_t>(changed.size()));
    PutLE32(end, static_cast<uint32_t>(centralLength));
    PutLE32(end, static_cast<uint32_t>(centralStart));
    PutLE16(end, 0);
    if (!put(end.data(), end.size())) return false;
    if (!out->Close().Done()) return false;
    content_ = hash->Finish();
    return true;
  }

  Sha256Digest Hash(std::string_view bytes) {
    const std::unique_ptr<Sha256Hasher> hash = sha256_.NewSha256();
    hash->Update(bytes.data(), bytes.size());
    return hash->Finish();
  }

  FileSystem& fs_;
  Sha256Factory& sha256_;
  Downloads& downloads_;
  std::u16string url_;
  DownloadCallback* callback_ = nullptr;
  std::u16string fetchPath_;
  uint64_t archiveSize_ = 0;  // of the release the running Fetch installs
  std::unique_ptr<OutputFile> output_;
  std::vector<Segment> segments_;
  uint64_t written_ = 0;  // to the fetch file, which holds only what came: the bytes received
  uint64_t total_ = 0;    // bytes to fetch
  Sha256Digest content_{};
  std::vector<Unchanged> unchanged_;
  std::map<std::u16string, Sha256Digest> unchangedContent_;
};

}  // namespace

std::unique_ptr<ChangedEntries> ZipChangedEntriesFactory::CreateChangedEntries(Downloads& downloads) {
  return std::make_unique<ZipChangedEntries>(fileSystem_, sha256_, downloads);
}

}  // namespace tallyx
