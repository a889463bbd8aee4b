#pragma once
// The file-system operations under the archive reader and the extraction. Paths are
// Windows-style texts (backslash separators, drive prefixes) as the program builds them;
// each backend maps them to its platform. Operations that can fail say what happened by
// kind, so that retries and recovery can decide on it, and keep the system's own text for
// messages.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/errors.h"
#include "zip/stream.h"

namespace tallyx {

enum class FsOutcome {
  Done,
  InUse,          // a sharing or lock violation, or a file pending deletion: "not now"
  AccessDenied,
  NotFound,       // the file or a folder of its path
  AlreadyExists,
  DiskFull,
  Link,           // a symbolic link, junction or other reparse point where none may be, or a
                  // file with more than one name that was to be written in place
  Other,
};

struct FsResult {
  FsOutcome outcome = FsOutcome::Done;
  std::u16string text;  // the system's text for a failure

  static FsResult Failure(FsOutcome outcome, std::u16string text) { return {outcome, std::move(text)}; }
  bool Done() const { return outcome == FsOutcome::Done; }
};

// A file being written; closed by Close or, ignoring failures, by its destructor.
class OutputFile {
 public:
  virtual ~OutputFile() = default;
  // Writes up to `count` bytes and returns how many the file took.
  virtual size_t Write(const void* buffer, size_t count) = 0;
  // Makes what was written so far durable.
  virtual FsResult Sync() = 0;
  // Sets the file's creation and last-write times, after its last write; failures are
  // ignored, as FileSystem::SetFileTime ignores them.
  virtual void SetTimes(int64_t utcSeconds) = 0;
  // Closes the file. A backend that makes files durable one by one (Win32) syncs it
  // first; the others leave that to FileSystem::MakeDurable.
  virtual FsResult Close() = 0;
};

enum class FileTimeKind { Creation, LastWrite };
enum class OutputMode { CreateNew, Append };

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // From now on no link is followed below `folder` (absolute): an operation on a path
  // below it reaches its file or folder without passing a symbolic link, junction or other
  // reparse point on the way, treats one at the name itself as what it is (never as what
  // it points to), and fails with FsOutcome::Link where it would have to follow it. The
  // folder itself is taken as given. An installation folder is often writable by users who
  // may not write anywhere else: a link they plant there must not carry the installation's
  // writes, moves and deletions out of it.
  virtual void Confine(const std::u16string& folder) { (void)folder; }

  // The absolute form of `path` against the current folder.
  virtual FsResult FullPath(const std::u16string& path, std::u16string& full) = 0;
  // Opens an existing file for reading, allowing no other opener while it stays open:
  // nobody may write, delete or rename it meanwhile, so every read sees the bytes of the
  // opening. (POSIX has no such holds: the native backend only reads.)
  virtual std::unique_ptr<TStream> OpenExclusive(const std::u16string& path, FsResult& result) = 0;
  virtual bool DriveExists(const std::u16string& fullPath) = 0;
  virtual bool FolderExists(const std::u16string& path) = 0;
  virtual bool FileExists(const std::u16string& path) = 0;
  // Creates `folder` and every missing parent, outermost first, and returns the folders
  // it created in that order. Failures are not reported.
  virtual std::vector<std::u16string> CreateFolders(const std::u16string& folder) = 0;
  // Removes `folder` if it is empty.
  virtual FsResult RemoveFolder(const std::u16string& folder) = 0;

  // Whether a file may take the place of `path`: nothing there, or a file that is not
  // read-only. Files in use are no reason to refuse: they are moved aside, which Windows
  // allows for running programs and loaded libraries.
  virtual FsResult CheckReplaceable(const std::u16string& path) = 0;
  // The system's text for a write refused on a read-only file.
  virtual std::u16string AccessDeniedText() = 0;
  // Opens `path` for writing with no sharing: a new file (AlreadyExists when there is
  // one), or an existing one to add to at its end.
  virtual std::unique_ptr<OutputFile> OpenOutput(const std::u16string& path, OutputMode mode,
                                                 FsResult& result) = 0;
  // Makes the content of `files`, closed through OutputFile::Close, durable, and every
  // name made, changed or removed in their folders before.
  virtual FsResult MakeDurable(const std::vector<std::u16string>& files) = 0;
  // Makes the names made, changed or removed in `folder` durable (POSIX keeps a folder's
  // entries in the folder's own data, which a file's flush does not reach).
  virtual FsResult SyncFolder(const std::u16string& folder) = 0;
  // Renames `from` to `to`, never replacing a file at `to`.
  virtual FsResult Rename(const std::u16string& from, const std::u16string& to) = 0;
  // Renames `from` to `to`, replacing a file at `to` in one step.
  virtual FsResult Replace(const std::u16string& from, const std::u16string& to) = 0;
  virtual FsResult RemoveFile(const std::u16string& path) = 0;

  // Local time (seconds since 1970 read as local) to UTC with the current offset.
  virtual int64_t LocalToUtc(int64_t localSeconds) = 0;
  // Both ignore failures of the system call, as the extraction does.
  virtual void SetFileTime(const std::u16string& path, FileTimeKind kind, int64_t utcSeconds) = 0;
  // Windows attribute bits: 0x01 read-only, 0x02 hidden, 0x04 system, 0x20 archive, ...
  virtual void SetAttributes(const std::u16string& path, uint8_t attributes) = 0;

  // Waits between two tries of an operation that found its file in use.
  virtual void Pause(int milliseconds) = 0;
};

// The absolute form of `path` for messages and comparisons, or `path` itself when it has
// none.
std::u16string FullPathOr(FileSystem& fileSystem, const std::u16string& path);

// Whether a removal left nothing at its name: done, or nothing was there.
inline bool Gone(const FsResult& result) {
  return result.Done() || result.outcome == FsOutcome::NotFound;
}
// "Cannot create file", as the extraction reports a file it could not make or move.
EFCreateError CreateFileError(const std::u16string& fullPath, const std::u16string& text);

// What an installation may spend, in all, waiting for files that other programs hold:
// scanners, indexers and backup agents open a new or changed file for a moment right
// after it is written, and Windows then refuses to move, delete or share it until they
// let go. One account serves every file of a step, so the wait does not grow with the
// release.
class WaitAccount {
 public:
  explicit WaitAccount(uint32_t budgetMs) : leftMs_(budgetMs) {}
  // Takes up to `ms` from the account and returns what it took. Safe from several threads.
  uint32_t Take(uint32_t ms);

 private:
  std::atomic<uint32_t> leftMs_;
};

// Runs `operation` until it is not refused as in use, pausing through `fileSystem` with
// growing pauses (tens of milliseconds up to a second) paid from `wait`; returns the last
// result once the account is spent.
FsResult RetryWhileInUse(FileSystem& fileSystem, WaitAccount& wait,
                         const std::function<FsResult()>& operation);

// Gives a file that was written under the temporary name `from`, and closed, the name
// `to`, replacing whatever file had it: its data is made durable first, then the rename
// is tried while the file is in use (a scanner opens a file the moment it is closed),
// and the new name is made durable. What had the name stays whole until the rename.
FsResult TakeName(FileSystem& fileSystem, const std::u16string& from, const std::u16string& to,
                  WaitAccount& wait);

// The names of the files an extraction keeps beside their targets while it runs: staged
// copies of entries (".~tx" + 8 hex digits + ".tmp") and backups of the files they
// replace (the file's own name, then ".~tx" + 8 hex digits + ".bak"; the bare suffix
// where the name would grow too long). The extraction's journal says which are its own.
std::u16string StagedFileName(uint32_t number);
std::u16string BackupFileName(const std::u16string& fileName, uint32_t number);
// Numbers for these names: different in every process and for every call.
uint32_t NextLeftoverNumber();

}  // namespace tallyx
