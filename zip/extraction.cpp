#include "zip/extraction.h"

#include <algorithm>

#include "base/errors.h"
#include "base/win_path.h"
#include "zip/entry_pool.h"
#include "zip/waiting.h"

namespace tallyx {

namespace {

// The most staged names recorded in one flush.
constexpr size_t kReserveAtOnce = 1024;

bool EndsBatch(const JournalRecord& record) {
  return record.kind == JournalRecordKind::Commit || record.kind == JournalRecordKind::Undone;
}

// The staged names that records[begin...] disown: something else stood there when the
// transaction came to make them, and it is not the transaction's to delete.
std::set<std::u16string> UnmadeNames(const std::vector<JournalRecord>& records, size_t begin) {
  std::set<std::u16string> unmade;
  for (size_t i = begin; i < records.size(); ++i) {
    if (records[i].kind == JournalRecordKind::Unmade) unmade.insert(records[i].path);
  }
  return unmade;
}

}  // namespace

ExtractionTransaction::ExtractionTransaction(FileSystem& fileSystem, std::u16string destination,
                                             WaitAccount& forward, WaitAccount& undo)
    : fs_(fileSystem),
      destination_(std::move(destination)),
      journal_(fileSystem, JoinPath(destination_, kJournalName)),
      forward_(forward),
      undo_(undo) {
  // Users who may write the folder, and nothing else, can put links in it: none of them
  // may carry a write, a move or a deletion of the installation out of it.
  fs_.Confine(FullPathOr(fs_, destination_.empty() ? u"." : destination_));
}

ExtractionTransaction::~ExtractionTransaction() {
  try {
    End();
  } catch (...) {
    // What could not be finished stays in the journal for the next run.
  }
}

std::u16string ExtractionTransaction::Path(const std::u16string& relative) const {
  return JoinPath(destination_, relative);
}

void ExtractionTransaction::Append(const std::vector<JournalRecord>& records, WaitAccount& wait) {
  std::lock_guard<std::mutex> lock(journalMutex_);
  if (!journal_.OnDisk()) MakeDestination();
  journal_.Append(records, wait);
  // A record counts once it is written; a line torn by a failure is skipped on reading.
  records_.insert(records_.end(), records.begin(), records.end());
}

void ExtractionTransaction::FlushJournal() {
  std::lock_guard<std::mutex> lock(journalMutex_);
  journal_.Flush();
}

void ExtractionTransaction::Recover() {
  if (checked_) {
    if (undoPending_) RollBack();
    undoPending_ = false;
    return;
  }
  checked_ = true;
  LoadJournal();
  // An earlier run's transaction is finished whole before this one starts; until its
  // roll-back succeeds, nothing new may join it.
  if (journal_.OnDisk()) {
    undoPending_ = true;
    End();
    undoPending_ = false;
  }
}

void ExtractionTransaction::LoadJournal() {
  records_ = journal_.Load(undo_);
  if (!journal_.OnDisk()) return;
  // What the earlier run may have left of its own: every staged file it made, and the
  // backups of a transaction that was committed. The backups of an unended one are put
  // back by the roll-back instead.
  const std::set<std::u16string> unmade = UnmadeNames(records_, 0);
  std::vector<std::u16string> batchBackups;
  std::vector<std::u16string> batchFolders;
  for (const JournalRecord& record : records_) {
    if (record.kind == JournalRecordKind::Staged && !unmade.count(record.path)) {
      pendingDeletes_.push_back(record.path);
    }
    if (record.kind == JournalRecordKind::Folder) batchFolders.push_back(record.path);
    // The folders of a batch that was rolled back are the transaction's to remove, as the
    // roll-back would have once its staged files were gone.
    if (record.kind == JournalRecordKind::Undone) {
      pendingFolders_.insert(pendingFolders_.end(), batchFolders.begin(), batchFolders.end());
    }
    if (record.kind == JournalRecordKind::Put && !record.backup.empty()) {
      batchBackups.push_back(record.backup);
    }
    if (record.kind == JournalRecordKind::Commit) {
      pendingDeletes_.insert(pendingDeletes_.end(), batchBackups.begin(), batchBackups.end());
    }
    if (EndsBatch(record)) {
      batchBackups.clear();
      batchFolders.clear();
    }
  }
}

void ExtractionTransaction::MakeDestination() {
  // The journal lives in the destination, which the first entry may have to create.
  if (!fs_.FolderExists(destination_.empty() ? u"." : destination_)) {
    createdAbove_ = fs_.CreateFolders(FullPathOr(fs_, destination_));
  }
}

std::u16string ExtractionTransaction::ChooseFreeName(const std::u16string& folder, bool backup,
                                                     const std::u16string& name) {
  std::u16string candidate;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const uint32_t number = NextLeftoverNumber();
    candidate = JoinPath(folder, backup ? BackupFileName(name, number) : StagedFileName(number));
    const std::u16string path = Path(candidate);
    if (!fs_.FileExists(path) && !fs_.FolderExists(path)) break;
  }
  return candidate;
}

void ExtractionTransaction::CreateFolders(const std::u16string& folder,
                                          const std::u16string& relative) {
  preparedFolders_.insert(folder);
  std::vector<JournalRecord> missing;
  for (size_t end = relative.find(u'\\');; end = relative.find(u'\\', end + 1)) {
    const std::u16string part = relative.substr(0, end);
    if (!part.empty() && !fs_.FolderExists(Path(part))) {
      missing.push_back({JournalRecordKind::Folder, part, {}, {}});
    }
    if (end == std::u16string::npos) break;
  }
  if (missing.empty()) return;
  // Recorded durably before they exist: a folder that survives a cut is one the journal
  // names.
  Append(missing, forward_);
  FlushJournal();
  for (const JournalRecord& record : missing) fs_.CreateFolders(Path(record.path));
}

std::u16string ExtractionTransaction::ReserveStaged(const std::u16string& folder) {
  if (reservations_[folder].free.empty()) {
    // Each batch costs a flush of the journal, which on NTFS costs about as much as a small
    // file: the folder that ran out is refilled together with every other folder whose
    // files are still expected, so that a release whose names are known takes one flush
    // for all of them.
    std::vector<JournalRecord> records;
    std::vector<std::pair<Reservation*, size_t>> batches;  // each folder's first record
    for (auto& [name, reservation] : reservations_) {
      if (name != folder && (!reservation.free.empty() || reservation.expected == 0)) continue;
      // As many names as the archive's entries are expected to need in the folder, up to
      // kReserveAtOnce; when that cannot be told, one name for a folder's first file, then
      // twice as many each time, up to 64: a release's folders hold from one file to
      // thousands.
      size_t& count = reservation.last;
      size_t& expected = reservation.expected;
      count = expected > 0 ? std::min(expected, kReserveAtOnce)
                           : std::clamp<size_t>(count * 2, 1, 64);
      expected -= std::min(expected, count);
      batches.push_back({&reservation, records.size()});
      for (size_t i = 0; i < count; ++i) {
        records.push_back({JournalRecordKind::Staged, ChooseFreeName(name, false, {}), {}, {}});
        // Thousands of names, each looked up first: the window's thread takes its turns.
        TakeTurnIfDue();
      }
    }
    // Named durably before any of them exists, so that no staged file outlives a cut
    // without the journal naming it.
    Append(records, forward_);
    FlushJournal();
    for (const auto& [reservation, first] : batches) {
      for (size_t i = first + reservation->last; i-- > first;) {
        reservation->free.push_back(records[i].path);
      }
    }
  }
  std::vector<std::u16string>& free = reservations_[folder].free;
  std::u16string name = std::move(free.back());
  free.pop_back();
  return name;
}

std::unique_ptr<OutputFile> ExtractionTransaction::CreateStaged(const std::u16string& staged,
                                                                FsResult& result) {
  std::unique_ptr<OutputFile> file;
  RetryWhileInUse(fs_, forward_, [&] {
    file = fs_.OpenOutput(Path(staged), OutputMode::CreateNew, result);
    return result;
  });
  if (!file) {
    // Whatever stands at that name is not ours: no undo or recovery may delete it.
    try {
      Append({{JournalRecordKind::Unmade, staged, {}, {}}}, forward_);
      FlushJournal();
    } catch (const Exception&) {
      // The failure to create is what the caller reports.
    }
  }
  return file;
}

void ExtractionTransaction::AddStaged(StagedEntry entry) {
  const std::u16string key = PathKey(entry.full);
  // Two entries for one file: the later one replaces the earlier, as writing both in turn
  // would. Rare, so only then is the list searched.
  if (!stagedKeys_.insert(key).second) {
    auto same = std::find_if(staged_.begin(), staged_.end(),
                             [&](const StagedEntry& e) { return PathKey(e.full) == key; });
    DeleteOrKeep({same->staged}, forward_);
    staged_.erase(same);
  }
  if (entry.attributes && (*entry.attributes & kReadOnlyAttribute)) readOnlyTargets_.insert(key);
  staged_.push_back(std::move(entry));
}

bool ExtractionTransaction::Placed(const std::u16string& full) const {
  const std::u16string key = PathKey(full);
  return std::any_of(placed_.begin(), placed_.end(),
                     [&](const StagedEntry& entry) { return PathKey(entry.full) == key; });
}

bool ExtractionTransaction::StagedReadOnly(const std::u16string& full) const {
  return readOnlyTargets_.count(PathKey(full)) > 0;
}

void ExtractionTransaction::PutInPlace() {
  std::vector<StagedEntry> entries;
  std::vector<std::u16string> durable;
  std::optional<StagedEntry> held;
  for (StagedEntry& entry : staged_) {
    durable.push_back(Path(entry.staged));
    if (entry.last) {
      held = std::move(entry);
    } else {
      entries.push_back(std::move(entry));
    }
  }
  staged_.clear();
  stagedKeys_.clear();
  preparedFolders_.clear();
  try {
    if (!entries.empty() || held) Place(entries, durable);
  } catch (...) {
    Undo();
    throw;
  }
  placed_.insert(placed_.end(), entries.begin(), entries.end());
  if (held) {
    // A later archive's copy of the file replaces an earlier one's.
    if (held_) DeleteOrKeep({held_->staged}, forward_);
    held_ = std::move(held);
  }
}

void ExtractionTransaction::Place(const std::vector<StagedEntry>& entries,
                                  const std::vector<std::u16string>& durable) {
  std::vector<JournalRecord> plan;
  for (const StagedEntry& entry : entries) {
    std::u16string backup;
    if (fs_.FileExists(Path(entry.target))) {
      // Beside the target, in the folder its staged copy was written to.
      backup = ChooseFreeName(ExtractFolderPart(entry.target), true,
                              std::u16string(FilePart(entry.target)));
    }
    plan.push_back({JournalRecordKind::Put, entry.staged, entry.target, backup});
  }
  // The plan and the staged files reach the disk before the first rename: from then on
  // a power cut leaves what the journal needs to undo the transaction.
  Append(plan, forward_);
  FlushJournal();
  if (!fs_.MakeDurable(durable).Done()) throw EWriteError(u"Stream write error");
  const auto move = [&](const std::u16string& from, const std::u16string& to,
                        const std::u16string& full) {
    const FsResult moved = RetryWhileInUse(fs_, forward_, [&] { return fs_.Rename(from, to); });
    if (!moved.Done()) throw CreateFileError(full, moved.text);
  };
  for (size_t i = 0; i < plan.size(); ++i) {
    const std::u16string target = Path(plan[i].target);
    if (!plan[i].backup.empty()) {
      move(target, Path(plan[i].backup), entries[i].full);
      backups_.push_back(plan[i].backup);
      replaced_.insert(PathKey(entries[i].full));
    }
    move(Path(plan[i].path), target, entries[i].full);
  }
}

void ExtractionTransaction::Complete() {
  const bool open = !records_.empty() && !EndsBatch(records_.back());
  if (undecided_ || (!open && !held_)) return;
  std::set<std::u16string> done;
  try {
    if (held_) {
      const StagedEntry held = std::move(*held_);
      held_.reset();
      // Placed before it is placed: the undo after a failure must remove it too.
      placed_.push_back(held);
      Place({held}, {});
    }
    // Every rename reaches the disk before the Commit that relies on it.
    std::vector<std::u16string> targets;
    for (const StagedEntry& entry : placed_) targets.push_back(Path(entry.target));
    if (!fs_.MakeDurable(targets).Done()) throw EWriteError(u"Stream write error");
    // Each staged file got its times as it was written. A file renamed onto the name of
    // one that was just moved aside takes that file's creation time on Windows
    // ("tunnelling"), so those targets get theirs again after the move; and before the
    // Commit, so that a committed file has its times. Where two archives wrote one file,
    // the later entry's apply.
    std::vector<const StagedEntry*> retimed;
    for (auto entry = placed_.rbegin(); entry != placed_.rend(); ++entry) {
      const std::u16string key = PathKey(entry->full);
      if (done.insert(key).second && entry->utcTime && replaced_.count(key)) retimed.push_back(&*entry);
    }
    OnPool(retimed.size(), [&](size_t i) {
      fs_.SetFileTime(Path(retimed[i]->target), FileTimeKind::Creation, *retimed[i]->utcTime);
    });
  } catch (...) {
    Undo();
    throw;
  }
  try {
    Append({{JournalRecordKind::Commit, {}, {}, {}}}, forward_);
    FlushJournal();
  } catch (...) {
    // The Commit may or may not be on the disk: neither deleting the old files nor putting
    // them back is safe now. Both the journal and every file stay as they are, and the
    // next run finishes whichever way the journal then says.
    undecided_ = true;
    throw;
  }
  // Attributes only now: a read-only file could not be removed by an undo.
  done.clear();
  std::vector<const StagedEntry*> marked;
  for (auto entry = placed_.rbegin(); entry != placed_.rend(); ++entry) {
    if (done.insert(PathKey(entry->full)).second && entry->attributes) marked.push_back(&*entry);
  }
  OnPool(marked.size(), [&](size_t i) {
    fs_.SetAttributes(Path(marked[i]->target), *marked[i]->attributes);
  });
  DeleteOrKeep(backups_, forward_);
  ClearTransaction();
}

void ExtractionTransaction::Undo() noexcept {
  try {
    RollBack();
  } catch (...) {
    // The transaction stays open in the journal, with every backup, for Recover to finish.
    undoPending_ = true;
  }
  staged_.clear();
  stagedKeys_.clear();
  preparedFolders_.clear();
}

void ExtractionTransaction::RollBack() {
  if (undecided_) return;
  size_t begin = records_.size();
  while (begin > 0 && !EndsBatch(records_[begin - 1])) --begin;
  if (begin == records_.size()) return;
  std::vector<std::u16string> moved;
  for (size_t i = records_.size(); i-- > begin;) {
    if (records_[i].kind != JournalRecordKind::Put) continue;
    RollBackPut(records_[i]);
    moved.push_back(Path(records_[i].target));
  }
  // Every new file is back under its staged name and every old one at its target, on the
  // disk; only once the journal says so durably may the staged files go.
  if (!moved.empty() && !fs_.MakeDurable(moved).Done()) throw EWriteError(u"Stream write error");
  Append({{JournalRecordKind::Undone, {}, {}, {}}}, undo_);
  try {
    FlushJournal();
  } catch (...) {
    // Not known to be durable: the batch stays open, to be rolled back again.
    records_.pop_back();
    throw;
  }
  const std::set<std::u16string> unmade = UnmadeNames(records_, begin);
  std::vector<std::u16string> staged;
  for (size_t i = records_.size(); i-- > begin;) {
    const JournalRecord& record = records_[i];
    if (record.kind == JournalRecordKind::Staged && !unmade.count(record.path)) {
      staged.push_back(record.path);
    }
  }
  DeleteOrKeep(staged, undo_);
  // Once every staged file is gone: a folder's names may have been recorded before the
  // folder itself.
  for (size_t i = records_.size(); i-- > begin;) {
    if (records_[i].kind == JournalRecordKind::Folder) RemoveOurFolder(records_[i].path);
  }
  ClearTransaction();
}

// The staged name tells how far the transaction got with this file, since only the
// transaction uses it: while it exists the new file has not taken the target's place (or
// has been moved back), and once it is gone the file at the target is the new one. The
// target's own name proves nothing: somebody may have made a file there meanwhile.
void ExtractionTransaction::RollBackPut(const JournalRecord& put) {
  const std::u16string staged = Path(put.path);
  const std::u16string target = Path(put.target);
  const std::u16string backup = put.backup.empty() ? std::u16string() : Path(put.backup);
  const auto move = [&](const std::u16string& from, const std::u16string& to) {
    const FsResult moved = RetryWhileInUse(fs_, undo_, [&] { return fs_.Rename(from, to); });
    if (!moved.Done()) throw CreateFileError(FullPathOr(fs_, target), moved.text);
  };
  const bool backupThere = !backup.empty() && fs_.FileExists(backup);
  if (!fs_.FileExists(staged) && fs_.FileExists(target) && (backup.empty() || backupThere)) {
    // Moved rather than deleted: a scanner holding the new file would keep a deleted file's
    // name taken, and the old file could not come back onto it.
    move(target, staged);
  }
  // Onto a free name only: Rename never replaces what stands there.
  if (backupThere) move(backup, target);
}

void ExtractionTransaction::DeleteOrKeep(const std::vector<std::u16string>& relatives,
                                         WaitAccount& wait) {
  std::vector<char> gone(relatives.size());
  OnPool(relatives.size(), [&](size_t i) {
    const std::u16string path = Path(relatives[i]);
    gone[i] = Gone(RetryWhileInUse(fs_, wait, [&] { return fs_.RemoveFile(path); }));
  });
  for (size_t i = 0; i < relatives.size(); ++i) {
    if (gone[i]) {
      deleted_.push_back(Path(relatives[i]));
    } else {
      pendingDeletes_.push_back(relatives[i]);
    }
  }
}

void ExtractionTransaction::OnPool(size_t count, const std::function<void(size_t)>& step) {
  const size_t workers = std::min<size_t>(workers_, count);
  if (workers <= 1) {
    for (size_t i = 0; i < count; ++i) step(i);
    return;
  }
  EntryPool pool(static_cast<unsigned>(workers));
  for (size_t i = 0; i < count && !pool.Failed(); ++i) {
    pool.Submit(i, [&step, i](const EntryPool::StopCheck&) { step(i); });
  }
  pool.Finish();
}

void ExtractionTransaction::RemoveOurFolder(const std::u16string& relative) {
  // Only an empty one: whatever somebody put there since keeps it.
  if (fs_.RemoveFolder(Path(relative)).Done()) deleted_.push_back(Path(relative));
}

void ExtractionTransaction::ClearTransaction() {
  staged_.clear();
  stagedKeys_.clear();
  placed_.clear();
  backups_.clear();
  replaced_.clear();
  held_.reset();
  preparedFolders_.clear();
  readOnlyTargets_.clear();
  reservations_.clear();
}

void ExtractionTransaction::End() {
  // Left for the next run as it is, journal and all.
  if (undecided_) return;
  RollBack();
  std::vector<std::u16string> deletes;
  deletes.swap(pendingDeletes_);
  WaitAccount& wait = undoPending_ ? undo_ : forward_;
  DeleteOrKeep(deletes, wait);
  // Innermost first: they were recorded outermost first.
  std::vector<std::u16string> folders;
  folders.swap(pendingFolders_);
  for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) RemoveOurFolder(*folder);
  // A backup still held by a running program keeps the journal, and so the next run
  // deletes it. The journal goes last, once the deletions are durable: a cut must not
  // bring back a file of ours that no journal names any more.
  if (pendingDeletes_.empty() && journal_.OnDisk() &&
      (deleted_.empty() || fs_.MakeDurable(deleted_).Done()) && journal_.Remove(wait)) {
    records_.clear();
    deleted_.clear();
  }
  if (!journal_.OnDisk()) {
    for (auto folder = createdAbove_.rbegin(); folder != createdAbove_.rend(); ++folder) {
      fs_.RemoveFolder(*folder);
    }
    createdAbove_.clear();
  }
}

}  // namespace tallyx
