#pragma once
#include <memory>
#include <string>

namespace tallyx {

// The archive object the installation uses for both archives, one after the other.
// Every failure raises an error (a tallyx::Exception).
class Archive {
 public:
  virtual ~Archive() = default;
  // Opens `path` for reading; first releases whatever an earlier attempt left open.
  virtual void Open(const std::u16string& path) = 0;
  // Writes every entry under `folder`, overwriting existing files, all or nothing: after
  // a failure the folder is as it was. The entry `lastFile` (relative to `folder`) is held
  // back for PlaceLastFile; releasing the object without it leaves the old file.
  virtual void ExtractAll(const std::u16string& folder, const std::u16string& lastFile) = 0;
  virtual void Close() = 0;
  // Puts the held `lastFile` in place, after every file of every archive extracted
  // before; raises when it cannot, leaving the old file.
  virtual void PlaceLastFile() = 0;
};

class ArchiveFactory {
 public:
  virtual ~ArchiveFactory() = default;
  virtual std::unique_ptr<Archive> CreateArchive() = 0;
};

}  // namespace tallyx
