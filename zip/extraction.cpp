#include "zip/extraction.h"

#include <algorithm>

#include "base/errors.h"
#include "base/win_path.h"

namespace tallyx {

namespace {

bool EndsBatch(const JournalRecord& record) {
  return record.kind == JournalRecordKind::Commit || record.kind == JournalRecordKind::Undone;
}

bool Gone(const FsResult& result) { return result.Done() || result.outcome == FsOutcome::NotFound; }

}  // namespace

EFCreateError CreateFileError(const std::u16string& fullPath, const std::u16string& text) {
  return EFCreateError(u"Cannot create file \"" + fullPath + u"\". " + text);
}

ExtractionTransaction::ExtractionTransaction(FileSystem& fileSystem, std::u16string destination)
    : fs_(fileSystem),
      destination_(std::move(destination)),
      journalPath_(JoinPath(destination_, kJournalName)) {}

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

FsResult ExtractionTransaction::Retried(int budgetMs, const std::function<FsResult()>& operation) {
  return RetryWhileInUse(fs_, budgetMs, operation);
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
  if (journalOnDisk_) {
    undoPending_ = true;
    End();
    undoPending_ = false;
  }
}

void ExtractionTransaction::LoadJournal() {
  if (!fs_.FileExists(journalPath_)) return;
  FsResult opened;
  std::unique_ptr<TStream> file;
  Retried(kUndoRetryBudgetMs, [&] {
    file = fs_.OpenExclusive(journalPath_, opened);
    return opened;
  });
  if (!file) throw EFOpenError(u"Cannot open file \"" + FullPathOr(fs_, journalPath_) + u"\". " + opened.text);
  std::string bytes(static_cast<size_t>(file->Size()), '\0');
  file->ReadBuffer(bytes.data(), bytes.size());
  file.reset();
  std::optional<std::vector<JournalRecord>> records = DecodeJournal(bytes);
  // A file of that name that is not ours is left alone; creating ours then fails on it.
  if (!records) return;
  records_ = std::move(*records);
  journalOnDisk_ = true;
  journalEndsLine_ = bytes.empty() || bytes.back() == '\n';
  // What the earlier run may have left of its own: every staged file, and the backups of
  // a transaction that was committed. The backups of an unended one are put back by the
  // roll-back instead.
  std::vector<std::u16string> batchBackups;
  for (const JournalRecord& record : records_) {
    // Every planned staged file was recorded as staged first.
    if (record.kind == JournalRecordKind::Staged) pendingDeletes_.push_back(record.path);
    if (record.kind == JournalRecordKind::Put && !record.backup.empty()) {
      batchBackups.push_back(record.backup);
    }
    if (record.kind == JournalRecordKind::Commit) {
      pendingDeletes_.insert(pendingDeletes_.end(), batchBackups.begin(), batchBackups.end());
    }
    if (EndsBatch(record)) batchBackups.clear();
  }
}

void ExtractionTransaction::OpenJournal() {
  if (journal_) return;
  // The journal lives in the destination, which the first entry may have to create.
  if (!fs_.FolderExists(destination_.empty() ? u"." : destination_)) {
    createdAbove_ = fs_.CreateFolders(FullPathOr(fs_, destination_));
  }
  const OutputMode mode = journalOnDisk_ ? OutputMode::Append : OutputMode::CreateNew;
  FsResult opened;
  Retried(kRetryBudgetMs, [&] {
    journal_ = fs_.OpenOutput(journalPath_, mode, opened);
    return opened;
  });
  if (!journal_) throw CreateFileError(FullPathOr(fs_, journalPath_), opened.text);
  // A line cut short by a kill is closed, so that it cannot swallow the next record.
  const std::string head = mode == OutputMode::CreateNew ? JournalHeader()
                           : journalEndsLine_             ? std::string()
                                                          : std::string("\n");
  if (journal_->Write(head.data(), head.size()) != head.size()) {
    journal_.reset();
    // A journal without its header would be taken for somebody else's file.
    if (mode == OutputMode::CreateNew) fs_.RemoveFile(journalPath_);
    throw EWriteError(u"Stream write error");
  }
  journalOnDisk_ = true;
  journalEndsLine_ = true;
}

void ExtractionTransaction::Append(const JournalRecord& record) { AppendBatch({record}); }

void ExtractionTransaction::AppendBatch(const std::vector<JournalRecord>& records) {
  OpenJournal();
  std::string text;
  for (const JournalRecord& record : records) text += EncodeJournalRecord(record);
  // A record counts once it is written; a line torn by the failure is skipped on reading.
  if (journal_->Write(text.data(), text.size()) != text.size()) {
    throw EWriteError(u"Stream write error");
  }
  records_.insert(records_.end(), records.begin(), records.end());
}

void ExtractionTransaction::SyncJournal() {
  if (!journal_ || !journal_->Sync().Done()) throw EWriteError(u"Stream write error");
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
  OpenJournal();
  for (size_t end = relative.find(u'\\');; end = relative.find(u'\\', end + 1)) {
    const std::u16string part = relative.substr(0, end);
    if (!part.empty() && !fs_.FolderExists(Path(part))) {
      Append({JournalRecordKind::Folder, part, {}, {}});
      fs_.CreateFolders(Path(part));
    }
    if (end == std::u16string::npos) break;
  }
}

std::unique_ptr<OutputFile> ExtractionTransaction::CreateStaged(const std::u16string& folder,
                                                                std::u16string& staged,
                                                                FsResult& result) {
  staged = ChooseFreeName(folder, false, {});
  Append({JournalRecordKind::Staged, staged, {}, {}});
  std::unique_ptr<OutputFile> file;
  Retried(kRetryBudgetMs, [&] {
    file = fs_.OpenOutput(Path(staged), OutputMode::CreateNew, result);
    return result;
  });
  // Not made: the undo must not take whatever stands there for ours.
  if (!file) records_.pop_back();
  return file;
}

void ExtractionTransaction::AddStaged(StagedEntry entry) {
  const std::u16string key = PathKey(entry.full);
  // Two entries for one file: the later one replaces the earlier, as writing both in turn
  // would. Rare, so only then is the list searched.
  if (!stagedKeys_.insert(key).second) {
    auto same = std::find_if(staged_.begin(), staged_.end(),
                             [&](const StagedEntry& e) { return PathKey(e.full) == key; });
    DeleteOrKeep(same->staged);
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
    if (held_) DeleteOrKeep(held_->staged);
    held_ = std::move(held);
  }
}

std::vector<JournalRecord> ExtractionTransaction::Place(const std::vector<StagedEntry>& entries,
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
  AppendBatch(plan);
  SyncJournal();
  if (!fs_.MakeDurable(durable).Done()) throw EWriteError(u"Stream write error");
  const auto move = [&](const std::u16string& from, const std::u16string& to,
                        const std::u16string& full) {
    const FsResult moved = Retried(kRetryBudgetMs, [&] { return fs_.Rename(from, to); });
    if (!moved.Done()) throw CreateFileError(full, moved.text);
  };
  for (size_t i = 0; i < plan.size(); ++i) {
    const std::u16string target = Path(plan[i].target);
    if (!plan[i].backup.empty()) {
      move(target, Path(plan[i].backup), entries[i].full);
      backups_.push_back(plan[i].backup);
    }
    move(Path(plan[i].path), target, entries[i].full);
  }
  return plan;
}

void ExtractionTransaction::Complete() {
  const bool open = !records_.empty() && !EndsBatch(records_.back());
  if (!open && !held_) return;
  try {
    if (held_) {
      const StagedEntry held = std::move(*held_);
      held_.reset();
      // Placed before it is placed: the undo after a failure must remove it too.
      placed_.push_back(held);
      Place({held}, {});
    }
    Append({JournalRecordKind::Commit, {}, {}, {}});
  } catch (...) {
    Undo();
    throw;
  }
  // Every file is in place: a sync that fails now could at worst let a power cut undo the
  // transaction, which leaves the old files whole.
  journal_->Sync();
  // Times are set after the move: renaming over a file that was just replaced would let
  // Windows carry the old file's creation time over ("tunnelling"). Attributes only now:
  // a read-only file could not be removed by an undo. Where two archives wrote one file,
  // the later entry's apply.
  std::set<std::u16string> done;
  for (auto entry = placed_.rbegin(); entry != placed_.rend(); ++entry) {
    if (!done.insert(PathKey(entry->full)).second) continue;
    const std::u16string target = Path(entry->target);
    if (entry->utcTime) {
      fs_.SetFileTime(target, FileTimeKind::Creation, *entry->utcTime);
      fs_.SetFileTime(target, FileTimeKind::LastWrite, *entry->utcTime);
    }
    if (entry->attributes) fs_.SetAttributes(target, *entry->attributes);
  }
  for (const std::u16string& backup : backups_) DeleteOrKeep(backup);
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
  size_t begin = records_.size();
  while (begin > 0 && !EndsBatch(records_[begin - 1])) --begin;
  if (begin == records_.size()) return;
  for (size_t i = records_.size(); i-- > begin;) {
    if (records_[i].kind == JournalRecordKind::Put) RollBackPut(records_[i]);
  }
  for (size_t i = records_.size(); i-- > begin;) {
    const JournalRecord& record = records_[i];
    if (record.kind == JournalRecordKind::Staged) DeleteOrKeep(record.path);
    if (record.kind == JournalRecordKind::Folder) fs_.RemoveFolder(Path(record.path));
  }
  try {
    Append({JournalRecordKind::Undone, {}, {}, {}});
  } catch (const Exception&) {
    // Unwritten, the transaction is rolled back again by the next run, which finds it as
    // it is.
    records_.push_back({JournalRecordKind::Undone, {}, {}, {}});
  }
  ClearTransaction();
}

// Which of staged file, target and backup still exist tells how far the transaction got
// with this file: the target is the new file only once its staged copy is gone and its old
// copy (if it had one) is aside.
void ExtractionTransaction::RollBackPut(const JournalRecord& put) {
  const std::u16string staged = Path(put.path);
  const std::u16string target = Path(put.target);
  const std::u16string backup = put.backup.empty() ? std::u16string() : Path(put.backup);
  const bool stagedThere = fs_.FileExists(staged);
  const bool targetThere = fs_.FileExists(target);
  const bool backupThere = !backup.empty() && fs_.FileExists(backup);
  if (!stagedThere && targetThere && (backup.empty() || backupThere)) {
    const FsResult removed = Retried(kUndoRetryBudgetMs, [&] { return fs_.RemoveFile(target); });
    if (!Gone(removed)) throw CreateFileError(FullPathOr(fs_, target), removed.text);
  }
  if (backupThere) {
    const FsResult moved = Retried(kUndoRetryBudgetMs, [&] { return fs_.Rename(backup, target); });
    if (!moved.Done()) throw CreateFileError(FullPathOr(fs_, target), moved.text);
  }
  if (stagedThere) DeleteOrKeep(put.path);
}

void ExtractionTransaction::DeleteOrKeep(const std::u16string& relative) {
  const std::u16string path = Path(relative);
  if (!Gone(Retried(kRetryBudgetMs, [&] { return fs_.RemoveFile(path); }))) {
    pendingDeletes_.push_back(relative);
  }
}

void ExtractionTransaction::ClearTransaction() {
  staged_.clear();
  stagedKeys_.clear();
  placed_.clear();
  backups_.clear();
  held_.reset();
  preparedFolders_.clear();
  readOnlyTargets_.clear();
}

void ExtractionTransaction::End() {
  RollBack();
  std::vector<std::u16string> deletes;
  deletes.swap(pendingDeletes_);
  for (const std::u16string& relative : deletes) DeleteOrKeep(relative);
  if (journal_) {
    journal_->Close();
    journal_.reset();
  }
  // A backup still held by a running program keeps the journal, and so the next run
  // deletes it.
  if (pendingDeletes_.empty() && journalOnDisk_ &&
      Gone(Retried(kRetryBudgetMs, [&] { return fs_.RemoveFile(journalPath_); }))) {
    journalOnDisk_ = false;
    journalEndsLine_ = true;
    records_.clear();
  }
  if (!journalOnDisk_) {
    for (auto folder = createdAbove_.rbegin(); folder != createdAbove_.rend(); ++folder) {
      fs_.RemoveFolder(*folder);
    }
    createdAbove_.clear();
  }
}

}  // namespace tallyx
