#pragma once
// One archive's extraction as a unit. Every entry is first staged: written in full beside
// its target and verified, while nothing that exists is touched. Then the staged files
// take their targets' places together, each existing target moved aside first; any
// failure on the way moves everything back, so the folder is left as it was. Only once all
// are in place are the backups deleted.
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/errors.h"
#include "zip/file_system.h"

namespace tallyx {

inline constexpr uint8_t kReadOnlyAttribute = 0x01;

// EFCreateError "Cannot create file "%s". %s" for the file `fullPath`.
EFCreateError CreateFileError(const std::u16string& fullPath, const std::u16string& text);

struct StagedEntry {
  std::u16string target;  // where the entry goes, as the extraction joined it
  std::u16string full;    // its absolute form, for messages and comparisons
  std::u16string temp;    // the staged file
  std::optional<int64_t> utcTime;      // creation and last-write time to set
  std::optional<uint8_t> attributes;   // attributes to set
  bool last = false;                   // put in place after all others
};

class ExtractionTransaction {
 public:
  explicit ExtractionTransaction(FileSystem& fileSystem) : fs_(fileSystem) {}
  // Without Finish, everything done so far is undone.
  ~ExtractionTransaction() { Rollback(); }
  ExtractionTransaction(const ExtractionTransaction&) = delete;
  ExtractionTransaction& operator=(const ExtractionTransaction&) = delete;

  // Removes what an interrupted extraction left in `folder` (absolute) the first time the
  // transaction sees it: staged files are deleted, and a backup is put back where its
  // file is missing, else deleted.
  void ClearLeftovers(const std::u16string& folder);
  // Creates the folder `folder` (as the entries name it; `full` its absolute form, checked)
  // and its parents, remembering the folders it created, then clears its leftovers.
  void PrepareFolder(const std::u16string& folder, const std::u16string& full);
  bool IsPrepared(const std::u16string& folder) const { return preparedFolders_.count(folder) > 0; }
  // A staged file the transaction now owns; it is removed on undo.
  void AddStaged(StagedEntry entry);
  // Whether an entry staged earlier for the file `full` will leave it read-only.
  bool StagedReadOnly(const std::u16string& full) const;

  // Makes the staged files durable and puts them in place, the `last` ones after all
  // others. Raises the first failure after undoing everything.
  void Commit();
  // Sets times and attributes (failures ignored) and deletes the backups; a backup that
  // cannot be deleted stays for the next extraction to remove.
  void Finish();

 private:
  struct Move {
    std::u16string from, to;
  };
  void Rollback() noexcept;
  void CommitEntry(const StagedEntry& entry);

  FileSystem& fs_;
  std::vector<StagedEntry> staged_;
  std::vector<Move> moves_;                  // renames done by the commit, in order
  std::vector<std::u16string> backups_;
  std::vector<std::u16string> createdFolders_;
  std::set<std::u16string> preparedFolders_;  // as the entries name them
  std::set<std::u16string> clearedFolders_;   // PathKey of the absolute form
  // Names of the staged files: a folder seen again under another spelling keeps them.
  std::set<std::u16string> ownFiles_;
  std::set<std::u16string> readOnlyTargets_;  // PathKey of targets made read-only
  bool finished_ = false;
};

}  // namespace tallyx
