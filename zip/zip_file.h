#pragma once
// The archive object: opens a ZIP archive for reading, loads its central directory,
// decodes entry names, hands out entry data streams and extracts entries to a folder.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "controller/operations/archive.h"
#include "zip/file_system.h"
#include "zip/stream.h"
#include "zip/zip_struct.h"

struct z_stream_s;

namespace tallyx {

class TZipFile;
class ExtractionTransaction;
class EntryPool;

// Builds a stream over the archive stream for one entry (`item` is its local header).
using TStreamConstructor =
    std::function<std::unique_ptr<TStream>(TStream& input, TZipFile& zip, const TZipHeader& item)>;
using TZipCompression = uint8_t;
// Looks at an archive file, read from its start through the opening that the reader then
// keeps, before any of it is read as an archive; raises to refuse the file.
using TZipInspection = std::function<void(TStream& file)>;
// An entry's data on its way to its file (`fullPath`, absolute): once with no data as the
// file is started, then piece by piece. Called from the extraction's workers, one call at
// a time; the pieces of one file come in order, and a file is started only once every
// earlier entry for the same file has ended.
using TZipDataEvent =
    std::function<void(const std::u16string& fullPath, const void* data, size_t size)>;
// Follows the copy of each entry: `position` bytes of the file `fileName` written. With
// several workers, from the worker that writes the entry, one call at a time.
using TZipProgressEvent = std::function<void(TZipFile& sender, const std::u16string& fileName,
                                             const TZipHeader& header, int64_t position)>;

// What an extraction gives a file besides its content: the time of the entry's MS-DOS date
// `modified` (when it is a valid one), and the attribute bits of an entry made on an
// MS-DOS-like host.
struct EntryStamp {
  std::optional<int64_t> utcTime;
  std::optional<uint8_t> attributes;
};
EntryStamp StampOf(uint32_t modified, const TZipHeader& central, FileSystem& fileSystem);

class TZipFile {
 public:
  explicit TZipFile(FileSystem& fileSystem);  // Create: closed, no entries
  virtual ~TZipFile();
  TZipFile(const TZipFile&) = delete;
  TZipFile& operator=(const TZipFile&) = delete;

  // Only zmRead exists here (there is no writing side); any other mode raises
  // EZipException "Invalid argument". Both forms first close whatever was open. The file
  // is held, opened with no sharing (FileSystem::OpenExclusive), until Close; `inspect`
  // sees it first.
  void Open(const std::u16string& zipFileName, TZipMode openMode,
            const TZipInspection& inspect = {});
  // The caller keeps `zipFileStream`; Close forgets it without releasing it.
  void Open(TStream& zipFileStream, TZipMode openMode);
  void Close();

  // Positions the archive at entry `index`, reads its local header and returns the
  // entry's data stream, which reads from the shared archive stream.
  void Read(size_t index, std::unique_ptr<TStream>& stream, TZipHeader& localHeader);
  // The name of the Unicode path extra field (tag 0x7075) of `header`, when present and
  // its CRC-32 matches the header's raw name.
  bool GetUTF8PathFromExtraField(const TZipHeader& header, std::u16string& fileName);
  // The entry's name: the local header's Unicode path field when it applies, otherwise
  // the central name decoded by the entry's own UTF-8 flag.
  std::u16string EntryName(size_t index, const TZipHeader& localHeader);

  // Writes every entry under `path` as one transaction: on any failure the folder is
  // left as it was. With `lastName` (a file relative to `path`) the transaction stays open
  // for further archives into `path` until CompleteExtraction, which puts that file in
  // place after every other and commits; ending otherwise (another folder, the object's
  // end) rolls every archive of it back.
  void ExtractAll(const std::u16string& path, const std::u16string& lastName = {});
  void Extract(size_t index, const std::u16string& path, bool createSubdirs = true);
  // Puts the held file in place and commits the extraction; raises the failure after
  // rolling it back.
  void CompleteExtraction();

  static void RegisterCompressionHandler(TZipCompression method, TStreamConstructor compressor,
                                         TStreamConstructor decompressor);

  TZipMode Mode() const { return FMode; }
  size_t FileCount() const { return FFiles.size(); }
  const TZipHeader& FileInfo(size_t index) const { return FFiles.at(index); }
  const std::string& Comment() const { return FComment; }
  // Whether every entry of the open archive carries the UTF-8 name flag.
  bool UTF8Support() const { return FUTF8Support; }
  void SetOnProgress(TZipProgressEvent handler) { FOnProgress = std::move(handler); }
  void SetOnData(TZipDataEvent handler) { FOnData = std::move(handler); }
  // How many threads inflate, write and close the entries (0: DefaultExtractionWorkers).
  // One keeps the archive order of every file operation.
  void SetWorkerCount(unsigned workers) { workers_ = workers; }
  // The sum of the entries' uncompressed sizes: what an ExtractAll writes.
  uint64_t TotalSize() const;
  // The bytes of entry data the running (or latest) extraction has written so far; read
  // from any thread.
  uint64_t WrittenSize() const { return written_.load(); }
  // How long this object's extractions wait, in all, for files that other programs hold;
  // one account for everything until the next call.
  void SetWaitBudgets(const WaitBudgets& budgets);

 private:
  bool FindEndRecord(TEndRecord& record);
  void LoadDirectory();
  std::u16string DecodeName(const TZipHeader& header) const;
  void RequireReadMode() const;
  // Read over `input` instead of the archive stream itself.
  void ReadFrom(TStream& input, size_t index, std::unique_ptr<TStream>& stream,
                TZipHeader& localHeader);
  // Stages the entries through the workers; raises the failure of the lowest entry.
  void StageEntries(const std::vector<size_t>& indexes, const std::u16string& path,
                    bool createSubdirs, ExtractionTransaction& transaction,
                    const std::u16string& lastKey);
  void StageEntry(size_t index, const std::u16string& path, bool createSubdirs,
                  ExtractionTransaction& transaction, const std::u16string& lastKey,
                  EntryPool& pool);
  void PrepareFolder(const std::u16string& folder, const std::u16string& relative,
                     ExtractionTransaction& transaction);
  void StageFile(size_t index, const TZipHeader& local, const std::u16string& name,
                 const std::u16string& relative, const std::u16string& target,
                 std::unique_ptr<TStream> input,
                 std::unique_ptr<TStream> data, ExtractionTransaction& transaction,
                 const std::u16string& lastKey, EntryPool& pool);

  ExtractionTransaction& ExtractionFor(const std::u16string& path);
  // Stages through `stage` and puts the archive in place; `complete` commits too. A
  // failure rolls the transaction back.
  void RunExtraction(ExtractionTransaction& transaction, bool complete,
                     const std::function<void()>& stage);
  void EndExtraction() noexcept;
  // Runs on a worker; `stopped` raises once an earlier entry has failed. `target` and
  // `local` are the entry's, for the progress event.
  void CopyVerified(const TZipHeader& central, const std::u16string& name,
                    const std::u16string& full, const std::u16string& target,
                    const TZipHeader& local, TStream& data, OutputFile& out,
                    const std::function<bool()>& stopped);

  FileSystem& fileSystem_;
  TZipMode FMode = TZipMode::zmClosed;
  TStream* FStream = nullptr;
  std::unique_ptr<TStream> FFileStream;
  std::u16string FFileName;  // the open archive file's absolute path
  int64_t FStartFileData = 0;
  int64_t FEndFileData = 0;
  std::vector<TZipHeader> FFiles;
  std::string FComment;
  bool FUTF8Support = true;
  TZipProgressEvent FOnProgress;
  TZipDataEvent FOnData;
  unsigned workers_ = 0;
  // The archive stream has one position: every reader of it, the workers' entry streams
  // and the extracting thread's header reads, moves and reads it under this lock.
  std::mutex streamMutex_;
  std::mutex dataMutex_;  // one FOnData or FOnProgress call at a time
  std::atomic<uint64_t> written_{0};
  struct Waits {
    explicit Waits(const WaitBudgets& budgets) : forward(budgets.forwardMs), undo(budgets.undoMs) {}
    WaitAccount forward;
    WaitAccount undo;
  };
  std::unique_ptr<Waits> waits_ = std::make_unique<Waits>(WaitBudgets{});
  // Lives from the first extraction into a folder until the extraction ends, across
  // archives opened in between.
  std::unique_ptr<ExtractionTransaction> extraction_;
};

// The entry's own bytes from the archive's current position; seeking moves the archive.
class TStoredStream : public TStream {
 public:
  explicit TStoredStream(TStream& input) : input_(input) {}
  size_t Read(void* buffer, size_t count) override { return input_.Read(buffer, count); }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override { return input_.Seek(offset, origin); }
  int64_t Size() override { return input_.Size(); }

 private:
  TStream& input_;
};

// Raw inflate (zlib window bits -15) over the archive stream. The input is read ahead in
// pieces of 64 KiB until the deflate stream ends; what was read past its end is given
// back to the source.
class TZDecompressionStream : public TStream {
 public:
  explicit TZDecompressionStream(TStream& source);
  ~TZDecompressionStream() override;
  size_t Read(void* buffer, size_t count) override;
  // Only reports the position (bytes produced so far); the stream cannot move.
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override;

  static constexpr size_t kInputBufferSize = 65536;

 private:
  TStream& source_;  // not owned
  int64_t sourcePosition_;  // where the latest refill left the source
  std::unique_ptr<unsigned char[]> input_;
  std::unique_ptr<z_stream_s> zstream_;
  bool ended_ = false;
  int64_t produced_ = 0;
};

}  // namespace tallyx
