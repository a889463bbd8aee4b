#pragma once
// The file-system operations under the archive reader and the extraction. Paths are
// Windows-style texts (backslash separators, drive prefixes) as the program builds them;
// each backend maps them to its platform. Operations that can fail return the operating
// system's text for the failure, or nothing on success.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "zip/stream.h"

namespace tallyx {

using FsError = std::optional<std::u16string>;

// A file being written; closed by its destructor.
class OutputFile {
 public:
  virtual ~OutputFile() = default;
  // Writes up to `count` bytes and returns how many the file took.
  virtual size_t Write(const void* buffer, size_t count) = 0;
};

enum class FileTimeKind { Creation, LastWrite };

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // The absolute form of `path` against the current folder.
  virtual FsError FullPath(const std::u16string& path, std::u16string& full) = 0;
  // Opens an existing file for reading, allowing no other opener while it stays open.
  virtual std::unique_ptr<TStream> OpenExclusive(const std::u16string& path, FsError& error) = 0;
  virtual bool DriveExists(const std::u16string& fullPath) = 0;
  virtual bool FolderExists(const std::u16string& path) = 0;
  virtual bool FileExists(const std::u16string& path) = 0;
  // Creates `folder` and every missing parent, outermost first, and returns the folders
  // it created in that order. Failures are not reported.
  virtual std::vector<std::u16string> CreateFolders(const std::u16string& folder) = 0;
  // Removes `folder` if it is empty; failures are ignored.
  virtual void RemoveFolder(const std::u16string& folder) = 0;
  // The names of the files (not folders) directly inside `folder`.
  virtual std::vector<std::u16string> ListFiles(const std::u16string& folder) = 0;

  // Whether the file at `path` could be replaced (nothing there, or a writable file that
  // nobody else holds open); the target is left untouched.
  virtual FsError CheckReplaceable(const std::u16string& path) = 0;
  // The system's text for a write refused on a read-only file.
  virtual std::u16string AccessDeniedText() = 0;
  // Creates a new file named by StagedFileName in `folder` (empty: the current folder) for
  // writing with no sharing.
  virtual std::unique_ptr<OutputFile> CreateTempFile(const std::u16string& folder,
                                                     std::u16string& tempPath,
                                                     FsError& error) = 0;
  // Makes the written content of `files` durable, so that a power cut cannot leave them
  // empty once they have taken their targets' places.
  virtual FsError Flush(const std::vector<std::u16string>& files) = 0;
  // Renames `path` to a new backup name beside it (BackupFileName).
  virtual FsError MoveAside(const std::u16string& path, std::u16string& backupPath) = 0;
  // Renames `from` to `to`, never replacing a file at `to`.
  virtual FsError Rename(const std::u16string& from, const std::u16string& to) = 0;
  virtual FsError RemoveFile(const std::u16string& path) = 0;

  // Local time (seconds since 1970 read as local) to UTC with the current offset.
  virtual int64_t LocalToUtc(int64_t localSeconds) = 0;
  // Both ignore failures of the system call, as the extraction does.
  virtual void SetFileTime(const std::u16string& path, FileTimeKind kind, int64_t utcSeconds) = 0;
  // Windows attribute bits: 0x01 read-only, 0x02 hidden, 0x04 system, 0x20 archive, ...
  virtual void SetAttributes(const std::u16string& path, uint8_t attributes) = 0;
};

// The files an extraction keeps beside their targets while it runs: staged copies of
// entries (".~tx" + 8 hex digits + ".tmp") and backups of the files they replace (the
// file's own name, then ".~tx" + 8 hex digits + ".bak"; the bare suffix where the name
// would grow too long). A run that was interrupted leaves them behind; the next one
// recognises them by these names.
std::u16string StagedFileName(uint32_t number);
std::u16string BackupFileName(const std::u16string& fileName, uint32_t number);
enum class LeftoverKind { None, Staged, Backup };
LeftoverKind LeftoverKindOf(const std::u16string& fileName);
// The name of the file a backup was taken from; empty when the name did not fit.
std::u16string BackedUpName(const std::u16string& backupName);
// Numbers for these names: different in every process and for every call.
uint32_t NextLeftoverNumber();

}  // namespace tallyx
