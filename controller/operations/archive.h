#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "controller/operations/signatures.h"

namespace tallyx {

// How long an installation waits, in all, for files that other programs hold (a scanner,
// an indexer, a backup agent): its forward path, both archives together, and an undo or a
// recovery, which waits longer since giving up leaves the next run to finish it. Past
// its budget a step fails at once instead of waiting for each file in turn.
struct WaitBudgets {
  uint32_t forwardMs = 30000;
  uint32_t undoMs = 120000;
};

// What an archive file must satisfy before any of it is read as an archive: called with
// the SHA-256 of the file's whole content, it raises to refuse the file.
using ContentCheck = std::function<void(const Sha256Digest& content)>;

// The archive object the installation uses for both archives, one after the other.
// Every failure raises an error (a tallyx::Exception).
class Archive {
 public:
  virtual ~Archive() = default;
  // Opens `path` for reading; first releases whatever an earlier attempt left open. The
  // file stays held until Close or the next Open: nobody else may open it, so nobody may
  // write, delete or rename it. With `check`, the file's content is hashed through that
  // same opening and checked before anything else of it is read; a refused file is
  // released.
  virtual void Open(const std::u16string& path, const ContentCheck& check) = 0;
  // Writes every entry under `folder`, overwriting existing files, all or nothing: after
  // a failure the folder is as it was. The entry `lastFile` (relative to `folder`) is held
  // back for PlaceLastFile; releasing the object without it leaves the old file. Returns
  // the SHA-256 of what was written to `hashedFile` (relative to `folder`; empty: none),
  // or nothing when no entry wrote it.
  virtual std::optional<Sha256Digest> ExtractAll(const std::u16string& folder,
                                                 const std::u16string& lastFile,
                                                 const std::u16string& hashedFile) = 0;
  virtual void Close() = 0;
  // Puts the held `lastFile` in place, after every file of every archive extracted
  // before; raises when it cannot, leaving the old file.
  virtual void PlaceLastFile() = 0;
};

class ArchiveFactory {
 public:
  virtual ~ArchiveFactory() = default;
  // An archive object whose extractions wait for files in use within `budgets`, in all.
  virtual std::unique_ptr<Archive> CreateArchive(const WaitBudgets& budgets) = 0;
};

}  // namespace tallyx
