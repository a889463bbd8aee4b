#pragma once
// An extraction as a transaction over its destination folder. Every entry is first
// staged: written in full beside its target and verified, while nothing that exists is
// touched. Then the staged files take their targets' places together, each existing target
// moved aside first; any failure on the way moves everything back, so the folder is left
// as it was. Only once all are in place are the backups deleted. A journal in the
// destination (zip/journal.h) records each step before it is taken, so that an undo that
// cannot finish, or a run that is killed, is finished exactly by the next one.
//
// One transaction may carry several archives into the same folder, one after the other.
// Their files stay provisional, with every old file kept aside, until Complete: a file
// named as the last one is held back and put in place there, after every other file of
// every archive, and only then is the whole transaction committed. A failure anywhere
// before, or an end without Complete, rolls every archive of the transaction back.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/errors.h"
#include "base/win_path.h"
#include "zip/file_system.h"
#include "zip/journal.h"

namespace tallyx {

inline constexpr uint8_t kReadOnlyAttribute = 0x01;

// EFCreateError "Cannot create file "%s". %s" for the file `fullPath`.

struct StagedEntry {
  std::u16string target;  // relative to the destination
  std::u16string full;    // its absolute form, for messages and comparisons
  std::u16string staged;  // the staged file, relative to the destination
  std::optional<int64_t> utcTime;      // creation and last-write time to set
  std::optional<uint8_t> attributes;   // attributes to set
  bool last = false;                   // held back for Complete
};

class ExtractionTransaction {
 public:
  // `destination` as the extraction was given it (empty: the current folder). Waits for
  // files in use are paid from `forward` on the way in and from `undo` when rolling back or
  // recovering; both accounts outlive the transaction.
  ExtractionTransaction(FileSystem& fileSystem, std::u16string destination, WaitAccount& forward,
                        WaitAccount& undo);
  // Ends the transaction as End does, ignoring failures.
  ~ExtractionTransaction();
  ExtractionTransaction(const ExtractionTransaction&) = delete;
  ExtractionTransaction& operator=(const ExtractionTransaction&) = delete;

  const std::u16string& Destination() const { return destination_; }
  // How many threads the transaction's steps on many files may use.
  void SetWorkers(unsigned workers) { workers_ = workers; }

  // Finishes what is unfinished before anything new starts: on first use, whatever a
  // journal left in the folder by an earlier run says (rolled back or completed, its held
  // file discarded); later, an undo of this transaction's own that could not complete.
  // Raises the failure that stops it, keeping the journal and every backup.
  void Recover();

  // Creates the folder `folder` (as the entries name it, already checked; `relative` to the
  // destination) and its missing parents, each recorded before it is made.
  void CreateFolders(const std::u16string& folder, const std::u16string& relative);
  bool IsPrepared(const std::u16string& folder) const { return preparedFolders_.count(folder) > 0; }
  // One more staged file that an entry still to come will ask for in `folder` (relative to
  // the destination), as far as the names can be told beforehand: the staged names of
  // every folder are then recorded together, in as few flushes as can be.
  void ExpectStaged(const std::u16string& folder) { ++reservations_[folder].expected; }
  // Reserves a staged name in `folder`, both relative to the destination: it is recorded
  // durably before it is returned.
  std::u16string ReserveStaged(const std::u16string& folder);
  // Creates the staged file `staged` that ReserveStaged gave and returns it open; nothing
  // when it cannot be created. Safe on the pool's workers while the calling thread goes
  // on with the transaction's other records.
  std::unique_ptr<OutputFile> CreateStaged(const std::u16string& staged, FsResult& result);
  // A staged file that is complete; a later one for the same target replaces it.
  void AddStaged(StagedEntry entry);
  // Whether the transaction has put a new file at `full` (absolute).
  bool Placed(const std::u16string& full) const;
  // Whether an entry of the current archive has been staged for the file `full`.
  bool IsStaged(const std::u16string& full) const { return stagedKeys_.count(PathKey(full)) > 0; }
  // Whether an entry staged earlier in this transaction for the file `full` makes it
  // read-only.
  bool StagedReadOnly(const std::u16string& full) const;

  // Puts the archive's staged files in place, all but a held one; raises the first
  // failure after rolling the transaction back.
  void PutInPlace();
  // Rolls the transaction back after a failure; an undo that cannot complete is left for
  // Recover.
  void Undo() noexcept;
  // Puts the held file in place and commits the transaction: times and attributes are
  // set and the old files deleted. Raises the failure after rolling everything back.
  void Complete();
  // Rolls back what was not completed, deletes what is left of the transaction's own
  // files and, when nothing is left, the journal. Raises when an undo cannot complete.
  void End();

 private:
  std::u16string Path(const std::u16string& relative) const;
  void Append(const std::vector<JournalRecord>& records, WaitAccount& wait);
  void FlushJournal();
  void LoadJournal();
  void MakeDestination();
  std::u16string ChooseFreeName(const std::u16string& folder, bool backup, const std::u16string& name);
  void Place(const std::vector<StagedEntry>& entries, const std::vector<std::u16string>& durable);
  void RollBack();
  void RollBackPut(const JournalRecord& put);
  void ClearTransaction();
  // Deletes our files `relatives`, keeping for later those that cannot go now.
  void DeleteOrKeep(const std::vector<std::u16string>& relatives, WaitAccount& wait);
  // Runs step(0) ... step(count - 1) side by side on the workers: for the steps of a commit
  // or an undo whose order does not matter, each of which on Windows opens and closes a
  // file. With one worker, in order on the calling thread.
  void OnPool(size_t count, const std::function<void(size_t)>& step);
  void RemoveOurFolder(const std::u16string& relative);

  FileSystem& fs_;
  std::u16string destination_;
  Journal journal_;
  std::mutex journalMutex_;  // for Append and FlushJournal, which workers call too
  WaitAccount& forward_;
  WaitAccount& undo_;
  unsigned workers_ = 1;
  bool checked_ = false;       // the folder's own journal was looked for
  bool undoPending_ = false;   // an undo stopped on a failure
  bool undecided_ = false;     // a Commit was written but may not be durable: the next run
                               // reads the journal and finishes whichever way it says
  std::vector<JournalRecord> records_;
  std::vector<StagedEntry> staged_;     // the current archive's complete staged files
  std::set<std::u16string> stagedKeys_;  // PathKey of their targets
  std::vector<StagedEntry> placed_;     // in place, provisionally, in order
  std::vector<std::u16string> backups_;  // the old files the transaction moved aside
  std::set<std::u16string> replaced_;    // PathKey of the targets they were moved from
  std::optional<StagedEntry> held_;
  std::set<std::u16string> preparedFolders_;  // as the current archive's entries name them
  std::set<std::u16string> readOnlyTargets_;  // PathKey of targets made read-only
  // By folder: staged names recorded durably and not used yet, how many were recorded
  // last time, and how many staged files are still expected. A flush for each staged
  // file would cost more than the file.
  struct Reservation {
    std::vector<std::u16string> free;
    size_t last = 0;
    size_t expected = 0;
  };
  std::map<std::u16string, Reservation> reservations_;
  std::vector<std::u16string> pendingDeletes_;  // our files to delete at the end
  std::vector<std::u16string> pendingFolders_;  // our folders to remove at the end
  std::vector<std::u16string> deleted_;         // removed since the journal was last durable
  std::vector<std::u16string> createdAbove_;    // the destination and parents we created
};

}  // namespace tallyx
