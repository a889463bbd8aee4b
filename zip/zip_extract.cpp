#include <zlib.h>

#include <algorithm>
#include <vector>

#include "base/errors.h"
#include "base/win_path.h"
#include "zip/extraction.h"
#include "zip/zip_file.h"

namespace tallyx {

namespace {

constexpr size_t kCopyChunk = 61440;
constexpr uint8_t kVolumeLabelAttribute = 0x08;

}  // namespace

void TZipFile::ExtractAll(const std::u16string& path, const std::u16string& lastName) {
  RequireReadMode();
  ExtractionTransaction& transaction = ExtractionFor(path);
  transaction.Recover();
  std::u16string lastKey;
  if (!lastName.empty() && !HasInvalidPathChars(path) && !HasInvalidPathChars(lastName) &&
      fileSystem_.FullPath(JoinEntryPath(path, lastName), lastKey).Done()) {
    lastKey = PathKey(lastKey);
  }
  RunExtraction(transaction, lastName.empty(), [&] {
    for (size_t index = 0; index < FFiles.size(); ++index) {
      StageEntry(index, path, true, transaction, lastKey);
    }
  });
}

void TZipFile::Extract(size_t index, const std::u16string& path, bool createSubdirs) {
  RequireReadMode();
  ExtractionTransaction& transaction = ExtractionFor(path);
  transaction.Recover();
  RunExtraction(transaction, true,
                [&] { StageEntry(index, path, createSubdirs, transaction, {}); });
}

void TZipFile::RunExtraction(ExtractionTransaction& transaction, bool complete,
                             const std::function<void()>& stage) {
  try {
    stage();
  } catch (...) {
    // A failed archive stays open, but not one that the transaction itself delivered (the
    // nested archive of a release): the undo has to take it away again.
    if (!FFileName.empty() && transaction.Placed(FFileName)) Close();
    transaction.Undo();
    throw;
  }
  transaction.PutInPlace();
  if (complete) {
    transaction.Complete();
    EndExtraction();
  }
}

void TZipFile::CompleteExtraction() {
  if (!extraction_) return;
  extraction_->Recover();
  extraction_->Complete();
  EndExtraction();
}

ExtractionTransaction& TZipFile::ExtractionFor(const std::u16string& path) {
  if (extraction_ && extraction_->Destination() != path) EndExtraction();
  if (!extraction_) {
    extraction_ =
        std::make_unique<ExtractionTransaction>(fileSystem_, path, waits_->forward, waits_->undo);
  }
  return *extraction_;
}

void TZipFile::SetWaitBudgets(const WaitBudgets& budgets) {
  // The transaction pays from the accounts it was given: it ends first.
  EndExtraction();
  waits_ = std::make_unique<Waits>(budgets);
}

void TZipFile::EndExtraction() noexcept {
  // Whatever cannot be finished now stays in the folder's journal for the next run.
  extraction_.reset();
}

void TZipFile::StageEntry(size_t index, const std::u16string& path, bool createSubdirs,
                          ExtractionTransaction& transaction, const std::u16string& lastKey) {
  struct CurrentEntryReset {
    TZipFile& zip;
    ~CurrentEntryReset() {
      zip.FCurrentHeader = TZipHeader{};
      zip.FCurrentFile.clear();
    }
  } reset{*this};
  std::unique_ptr<TStream> data;
  Read(index, data, FCurrentHeader);
  const std::u16string name = EntryName(index, FCurrentHeader);

  std::u16string relative = WithBackslashes(name);
  if (IsEscapingEntryName(relative)) {
    throw EZipException(u"Entry \"" + name + u"\" would be written outside the folder");
  }
  // CON, NUL, COM1, ... open a device instead of a file, in any folder.
  if (NamesDevice(relative)) throw EZipException(u"Entry \"" + name + u"\" names a device");
  if (!createSubdirs) relative = relative.substr(relative.find_last_of(u'\\') + 1);

  const std::u16string target = JoinEntryPath(path, relative);
  const std::u16string folder = ExtractFolderPart(target);
  if (!folder.empty()) PrepareFolder(folder, ExtractFolderPart(relative), transaction);
  if (!target.empty() && target.back() == u'\\') return;  // a directory entry
  StageFile(FFiles[index], name, relative, target, *data, transaction, lastKey);
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
// replaced when the whole archive has been staged.
void TZipFile::StageFile(const TZipHeader& central, const std::u16string& name,
                         const std::u16string& relative, const std::u16string& target,
                         TStream& data, ExtractionTransaction& transaction,
                         const std::u16string& lastKey) {
  const std::u16string full = FullPathOr(fileSystem_, target);
  // A read-only target must fail before anything is written.
  if (const FsResult check = fileSystem_.CheckReplaceable(target); !check.Done()) {
    throw CreateFileError(full, check.text);
  }
  // So must a second entry over one that this archive makes read-only.
  if (transaction.StagedReadOnly(full)) throw CreateFileError(full, fileSystem_.AccessDeniedText());
  std::u16string staged;
  FsResult created;
  std::unique_ptr<OutputFile> out =
      transaction.CreateStaged(ExtractFolderPart(relative), staged, created);
  if (!out) throw CreateFileError(full, created.text);

  const DosDateTime modified = DecodeDosDateTime(FCurrentHeader.ModifiedDateTime);
  const bool setsTimes = IsValidDosDateTime(modified);
  const bool setsAttributes = (central.MadeByVersion >> 8) == 0;
  FCurrentFile = target;
  try {
    if (FOnData) FOnData(full, nullptr, 0);
    CopyVerified(central, name, full, data, *out);
    const bool closed = out->Close().Done();
    out.reset();
    if (!closed) throw EWriteError(u"Stream write error");
    // Nothing may fail once the entry is in place: the check made before its times and
    // attributes are set runs now.
    if (setsTimes || setsAttributes) CheckPathText(target, kMaxFilePath);
  } catch (...) {
    // Closed first: Windows deletes no open file, and the undo removes it.
    out.reset();
    throw;
  }
  FCurrentFile.clear();

  StagedEntry entry;
  entry.target = relative;
  entry.full = full;
  entry.staged = staged;
  if (setsTimes) entry.utcTime = fileSystem_.LocalToUtc(ToUnixSeconds(modified));
  if (setsAttributes) {
    entry.attributes = static_cast<uint8_t>(central.ExternalAttributes & 0xFF & ~kVolumeLabelAttribute);
  }
  entry.last = !lastKey.empty() && PathKey(full) == lastKey;
  transaction.AddStaged(std::move(entry));
}

void TZipFile::CopyVerified(const TZipHeader& central, const std::u16string& name,
                            const std::u16string& full, TStream& data, OutputFile& out) {
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
    if (FOnProgress) FOnProgress(*this, FCurrentFile, FCurrentHeader, 0);
    while (done < size) {
      const size_t chunk = std::min<size_t>(size - done, buffer.size());
      data.ReadBuffer(buffer.data(), chunk);
      if (out.Write(buffer.data(), chunk) != chunk) throw EWriteError(u"Stream write error");
      crc = ::crc32(crc, buffer.data(), static_cast<uInt>(chunk));
      if (FOnData) FOnData(full, buffer.data(), chunk);
      done += static_cast<uint32_t>(chunk);
      if (FOnProgress) FOnProgress(*this, FCurrentFile, FCurrentHeader, done);
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
