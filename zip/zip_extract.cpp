#include <zlib.h>

#include <algorithm>
#include <memory>
#include <numeric>
#include <vector>

#include "base/errors.h"
#include "base/win_path.h"
#include "zip/entry_pool.h"
#include "zip/extraction.h"
#include "zip/waiting.h"
#include "zip/zip_file.h"

namespace tallyx {

namespace {

constexpr size_t kCopyChunk = 61440;
constexpr uint8_t kVolumeLabelAttribute = 0x08;

// One reader's view of the archive stream: its own position, the archive's bytes read
// under the lock that every reader of that stream takes.
class SharedArchiveStream : public TStream {
 public:
  SharedArchiveStream(TStream& archive, std::mutex& mutex)
      : archive_(archive), mutex_(mutex), size_(archive.Size()) {}
  size_t Read(void* buffer, size_t count) override {
    std::lock_guard<std::mutex> lock(mutex_);
    archive_.Seek(position_, TSeekOrigin::soBeginning);
    const size_t got = archive_.Read(buffer, count);
    position_ += static_cast<int64_t>(got);
    return got;
  }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override {
    position_ = SeekTarget(offset, origin, position_, size_);
    return position_;
  }
  int64_t Size() override { return size_; }

 private:
  TStream& archive_;
  std::mutex& mutex_;
  int64_t size_;
  int64_t position_ = 0;
};

}  // namespace

EntryStamp StampOf(uint32_t modified, const TZipHeader& central, FileSystem& fileSystem) {
  EntryStamp stamp;
  const DosDateTime time = DecodeDosDateTime(modified);
  if (IsValidDosDateTime(time)) stamp.utcTime = fileSystem.LocalToUtc(ToUnixSeconds(time));
  if ((central.MadeByVersion >> 8) == 0) {
    stamp.attributes = static_cast<uint8_t>(central.ExternalAttributes & 0xFF & ~kVolumeLabelAttribute);
  }
  return stamp;
}

void TZipFile::ExtractAll(const std::u16string& path, const std::u16string& lastName) {
  RequireReadMode();
  written_ = 0;
  ExtractionTransaction& transaction = ExtractionFor(path);
  RunAside([&] { transaction.Recover(); });
  std::u16string lastKey;
  if (!lastName.empty() && !HasInvalidPathChars(path) && !HasInvalidPathChars(lastName) &&
      fileSystem_.FullPath(JoinEntryPath(path, lastName), lastKey).Done()) {
    lastKey = PathKey(lastKey);
  }
  std::vector<size_t> indexes(FFiles.size());
  std::iota(indexes.begin(), indexes.end(), size_t{0});
  RunExtraction(transaction, lastName.empty(),
                [&] { StageEntries(indexes, path, true, transaction, lastKey); });
}

void TZipFile::Extract(size_t index, const std::u16string& path, bool createSubdirs) {
  RequireReadMode();
  written_ = 0;
  ExtractionTransaction& transaction = ExtractionFor(path);
  RunAside([&] { transaction.Recover(); });
  RunExtraction(transaction, true,
                [&] { StageEntries({index}, path, createSubdirs, transaction, {}); });
}

void TZipFile::RunExtraction(ExtractionTransaction& transaction, bool complete,
                             const std::function<void()>& stage) {
  try {
    stage();
  } catch (...) {
    // A failed archive stays open, but not one that the transaction itself delivered (the
    // nested archive of a release): the undo has to take it away again.
    if (!FFileName.empty() && transaction.Placed(FFileName)) Close();
    RunAside([&] { transaction.Undo(); });
    throw;
  }
  RunAside([&] { transaction.PutInPlace(); });
  if (complete) {
    RunAside([&] { transaction.Complete(); });
    EndExtraction();
  }
}

void TZipFile::CompleteExtraction() {
  if (!extraction_) return;
  RunAside([&] {
    extraction_->Recover();
    extraction_->Complete();
  });
  EndExtraction();
}

ExtractionTransaction& TZipFile::ExtractionFor(const std::u16string& path) {
  if (extraction_ && extraction_->Destination() != path) EndExtraction();
  if (!extraction_) {
    extraction_ =
        std::make_unique<ExtractionTransaction>(fileSystem_, path, waits_->forward, waits_->undo);
  }
  extraction_->SetWorkers(workers_ != 0 ? workers_ : DefaultExtractionWorkers());
  return *extraction_;
}

void TZipFile::SetWaitBudgets(const WaitBudgets& budgets) {
  // The transaction pays from the accounts it was given: it ends first.
  EndExtraction();
  waits_ = std::make_unique<Waits>(budgets);
}

void TZipFile::EndExtraction() noexcept {
  // Whatever cannot be finished now stays in the folder's journal for the next run. An
  // end without Complete rolls every file back, which takes as long as placing them.
  try {
    RunAside([&] { extraction_.reset(); });
  } catch (...) {
    extraction_.reset();
  }
}

void TZipFile::StageEntries(const std::vector<size_t>& indexes, const std::u16string& path,
                            bool createSubdirs, ExtractionTransaction& transaction,
                            const std::u16string& lastKey) {
  // Where the files will go, as the central names tell (a local header may still name an
  // entry otherwise): only how many staged names to record at once depends on it. Names
  // the staging would refuse get none: the journal names nothing outside the folder.
  for (const size_t index : indexes) {
    std::u16string relative = WithBackslashes(DecodeName(FFiles[index]));
    if (relative.empty() || relative.back() == u'\\' || !IsContainedPath(relative) ||
        NamesTransactionFile(relative)) {
      continue;
    }
    if (!createSubdirs) relative = relative.substr(relative.find_last_of(u'\\') + 1);
    transaction.ExpectStaged(ExtractFolderPart(relative));
  }
  EntryPool pool(workers_ != 0 ? workers_ : DefaultExtractionWorkers());
  for (const size_t index : indexes) {
    if (pool.Failed()) break;
    TakeTurnIfDue();
    try {
      StageEntry(index, path, createSubdirs, transaction, lastKey, pool);
    } catch (...) {
      // An earlier entry that the workers still have fails first, as it would have one
      // entry after the other.
      pool.Finish();
      throw;
    }
  }
  pool.Finish();
}

void TZipFile::StageEntry(size_t index, const std::u16string& path, bool createSubdirs,
                          ExtractionTransaction& transaction, const std::u16string& lastKey,
                          EntryPool& pool) {
  auto input = std::make_unique<SharedArchiveStream>(*FStream, streamMutex_);
  std::unique_ptr<TStream> data;
  TZipHeader local;
  ReadFrom(*input, index, data, local);
  const std::u16string name = EntryName(index, local);

  std::u16string relative = WithBackslashes(name);
  if (IsEscapingEntryName(relative)) {
    throw EZipException(u"Entry \"" + name + u"\" would be written outside the folder");
  }
  // CON, NUL, COM1, ... open a device instead of a file, in any folder.
  if (NamesDevice(relative)) throw EZipException(u"Entry \"" + name + u"\" names a device");
  // The journal, staged files and backups live among the installed files: an entry of one
  // of their names would take their place, and the end of the transaction delete it.
  if (NamesTransactionFile(relative)) {
    throw EZipException(u"Entry \"" + name +
                        u"\" takes a name the installation keeps for its own files");
  }
  // "a:b" is a stream of the file "a" on NTFS: another file's content, which no journal
  // may name.
  if (relative.find(u':') != std::u16string::npos) {
    throw ENotSupportedException(u"The path format is not supported");
  }
  if (!createSubdirs) relative = relative.substr(relative.find_last_of(u'\\') + 1);

  const std::u16string target = JoinEntryPath(path, relative);
  const std::u16string folder = ExtractFolderPart(target);
  if (!folder.empty()) PrepareFolder(folder, ExtractFolderPart(relative), transaction);
  if (!target.empty() && target.back() == u'\\') return;  // a directory entry
  StageFile(index, local, name, relative, target, std::move(input), std::move(data),
            transaction, lastKey, pool);
}

void TZipFile::PrepareFolder(const std::u16string& folder, const std::u16string& relative,
                             ExtractionTransaction& transaction) {
  // The checks depend on the folder's text and the current folder alone, which stay as
  // they are for the whole archive: each folder is checked and created once.
  if (transaction.IsPrepared(folder)) return;
  std::u16string full;
  if (const FsResult made = fileSystem_.FullPath(folder, full); !made.Done()) {
    throw ENotSupportedException(made.text);
  }
  CheckPathText(full, kMaxFolderPath);
  if (!fileSystem_.DriveExists(full)) {
    throw EDirectoryNotFoundException(u"The drive cannot be found");
  }
  transaction.CreateFolders(folder, relative);
}

// The entry is written in full beside its target and verified; the target itself is only
// replaced when the whole archive has been staged. Its staged name is recorded here, in
// archive order; a worker makes the file, fills, checks and closes it.
void TZipFile::StageFile(size_t index, const TZipHeader& local, const std::u16string& name,
                         const std::u16string& relative, const std::u16string& target,
                         std::unique_ptr<TStream> input,
                         std::unique_ptr<TStream> data, ExtractionTransaction& transaction,
                         const std::u16string& lastKey, EntryPool& pool) {
  const TZipHeader& central = FFiles[index];
  const std::u16string full = FullPathOr(fileSystem_, target);
  // A read-only target must fail before anything is written.
  if (const FsResult check = fileSystem_.CheckReplaceable(target); !check.Done()) {
    throw CreateFileError(full, check.text);
  }
  // So must a second entry over one that this archive makes read-only.
  if (transaction.StagedReadOnly(full)) throw CreateFileError(full, fileSystem_.AccessDeniedText());
  // A second entry for one file replaces the first's staged copy, which has to be written
  // and closed before it can go (and the data event sees the two in order).
  if (transaction.IsStaged(full)) pool.Finish();
  const std::u16string staged = transaction.ReserveStaged(ExtractFolderPart(relative));

  const EntryStamp stamp = StampOf(local.ModifiedDateTime, central, fileSystem_);
  StagedEntry entry;
  entry.target = relative;
  entry.full = full;
  entry.staged = staged;
  entry.utcTime = stamp.utcTime;
  entry.attributes = stamp.attributes;
  entry.last = !lastKey.empty() && PathKey(full) == lastKey;
  // Listed before it is made: nothing is put in place unless every entry was written and
  // checked, and an undo removes the staged file whether it was made or not.
  transaction.AddStaged(std::move(entry));

  // std::function wants copies: the job's parts are shared with it alone.
  std::shared_ptr<TStream> source(std::move(input));
  std::shared_ptr<TStream> entryData(std::move(data));
  const bool checksPath = stamp.utcTime || stamp.attributes;
  const std::optional<int64_t> utcTime = stamp.utcTime;
  pool.Submit(index, [this, &central, &transaction, name, full, target, staged, local,
                      checksPath, utcTime, source,
                      entryData](const EntryPool::StopCheck& stopped) mutable {
    // Made here, on the pool: on Windows each creation costs a path lookup and a trip
    // through the file system's filters, which the workers then pay side by side.
    FsResult created;
    std::unique_ptr<OutputFile> file = transaction.CreateStaged(staged, created);
    if (!file) throw CreateFileError(full, created.text);
    try {
      if (FOnData) {
        std::lock_guard<std::mutex> lock(dataMutex_);
        FOnData(full, nullptr, 0);
      }
      CopyVerified(central, name, full, target, local, *entryData, *file, stopped);
      // Set here, on the pool, and flushed with the data; the transaction sets the creation
      // time again only where the rename may have carried an old file's over.
      if (utcTime) file->SetTimes(*utcTime);
      const bool closed = file->Close().Done();
      file.reset();
      if (!closed) throw EWriteError(u"Stream write error");
      // Nothing may fail once the entry is in place: the check made before its times and
      // attributes are set runs now.
      if (checksPath) CheckPathText(target, kMaxFilePath);
    } catch (...) {
      // Closed first: Windows deletes no open file, and the undo removes it.
      file.reset();
      throw;
    }
    entryData.reset();
    source.reset();
  });
}

void TZipFile::CopyVerified(const TZipHeader& central, const std::u16string& name,
                            const std::u16string& full, const std::u16string& target,
                            const TZipHeader& local, TStream& data, OutputFile& out,
                            const std::function<bool()>& stopped) {
  const auto progress = [&](uint32_t position) {
    if (!FOnProgress) return;
    std::lock_guard<std::mutex> lock(dataMutex_);
    FOnProgress(*this, target, local, position);
  };
  const uint32_t size = central.UncompressedSize;
  // Stored data has no end of its own: its stored size must be the size, an empty entry
  // included.
  const bool stored = (central.CompressionMethod & 0xFF) == kMethodStored;
  if (stored && central.CompressedSize != size) {
    throw EZipException(u"Wrong size for entry \"" + name + u"\"");
  }
  uLong crc = ::crc32(0, nullptr, 0);
  if (size > 0) {
    std::vector<unsigned char> buffer(std::min<size_t>(size, kCopyChunk));
    uint32_t done = 0;
    progress(0);
    while (done < size) {
      stopped();
      const size_t chunk = std::min<size_t>(size - done, buffer.size());
      data.ReadBuffer(buffer.data(), chunk);
      if (out.Write(buffer.data(), chunk) != chunk) throw EWriteError(u"Stream write error");
      crc = ::crc32(crc, buffer.data(), static_cast<uInt>(chunk));
      if (FOnData) {
        std::lock_guard<std::mutex> lock(dataMutex_);
        FOnData(full, buffer.data(), chunk);
      }
      done += static_cast<uint32_t>(chunk);
      written_ += chunk;
      progress(done);
    }
    // Any other method must end exactly there.
    unsigned char more;
    if (!stored && data.Read(&more, 1) != 0) {
      throw EZipException(u"Wrong size for entry \"" + name + u"\"");
    }
  }
  if (crc != central.CRC32) throw EZipException(u"Bad CRC-32 for entry \"" + name + u"\"");
}

}  // namespace tallyx
