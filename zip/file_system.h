#pragma once
// The file-system operations under the archive reader and the extraction. Paths are
// Windows-style texts (backslash separators, drive prefixes) as the program builds them;
// each backend maps them to its platform. Operations that can fail return the operating
// system's text for the failure, or nothing on success.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

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
  // Creates `folder` and every missing parent, outermost first; failures are not reported.
  virtual void CreateFolders(const std::u16string& folder) = 0;

  // Whether a file could be created at `path` over whatever is there (nothing, or a
  // writable file nobody holds open); the target is left untouched.
  virtual FsError CheckReplaceable(const std::u16string& path) = 0;
  // Creates a new, uniquely named file in `folder` (empty: the current folder) for
  // writing with no sharing.
  virtual std::unique_ptr<OutputFile> CreateTempFile(const std::u16string& folder,
                                                     std::u16string& tempPath,
                                                     FsError& error) = 0;
  // Moves `from` over `to` in one step, replacing an existing file.
  virtual FsError MoveOver(const std::u16string& from, const std::u16string& to) = 0;
  virtual void RemoveFile(const std::u16string& path) = 0;

  // Local time (seconds since 1970 read as local) to UTC with the current offset.
  virtual int64_t LocalToUtc(int64_t localSeconds) = 0;
  // Both ignore failures of the system call, as the extraction does.
  virtual void SetFileTime(const std::u16string& path, FileTimeKind kind, int64_t utcSeconds) = 0;
  // Windows attribute bits: 0x01 read-only, 0x02 hidden, 0x04 system, 0x20 archive, ...
  virtual void SetAttributes(const std::u16string& path, uint8_t attributes) = 0;
};

}  // namespace tallyx
