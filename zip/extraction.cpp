#include "zip/extraction.h"

#include "base/errors.h"
#include "zip/win_path.h"

namespace tallyx {

EFCreateError CreateFileError(const std::u16string& fullPath, const std::u16string& text) {
  return EFCreateError(u"Cannot create file \"" + fullPath + u"\". " + text);
}

void ExtractionTransaction::ClearLeftovers(const std::u16string& folder) {
  if (!clearedFolders_.insert(PathKey(folder)).second || !fs_.FolderExists(folder)) return;
  for (const std::u16string& name : fs_.ListFiles(folder)) {
    const LeftoverKind kind = LeftoverKindOf(name);
    const std::u16string path = JoinPath(folder, name);
    if (kind == LeftoverKind::None || ownFiles_.count(name)) continue;
    // A run stopped between moving a file aside and putting its successor in place
    // leaves the backup as the only copy: it goes back.
    const std::u16string original = BackedUpName(name);
    if (kind == LeftoverKind::Backup && !original.empty()) {
      const std::u16string originalPath = JoinPath(folder, original);
      if (!fs_.FileExists(originalPath) && !fs_.FolderExists(originalPath) &&
          !fs_.Rename(path, originalPath)) {
        continue;
      }
    }
    fs_.RemoveFile(path);
  }
}

void ExtractionTransaction::PrepareFolder(const std::u16string& folder, const std::u16string& full) {
  preparedFolders_.insert(folder);
  for (std::u16string& created : fs_.CreateFolders(full)) {
    createdFolders_.push_back(std::move(created));
  }
  ClearLeftovers(full);
}

void ExtractionTransaction::AddStaged(StagedEntry entry) {
  ownFiles_.insert(entry.temp.substr(entry.temp.find_last_of(u"\\/") + 1));
  if (entry.attributes && (*entry.attributes & kReadOnlyAttribute)) {
    readOnlyTargets_.insert(PathKey(entry.full));
  }
  staged_.push_back(std::move(entry));
}

bool ExtractionTransaction::StagedReadOnly(const std::u16string& full) const {
  return readOnlyTargets_.count(PathKey(full)) > 0;
}

void ExtractionTransaction::Commit() {
  if (staged_.empty()) return;
  std::vector<std::u16string> temps;
  temps.reserve(staged_.size());
  for (const StagedEntry& entry : staged_) temps.push_back(entry.temp);
  if (fs_.Flush(temps)) throw EWriteError(u"Stream write error");
  // The file that tells which release is installed goes in last: a run stopped half-way
  // still shows the old release, which is then offered again.
  for (const bool last : {false, true}) {
    for (const StagedEntry& entry : staged_) {
      if (entry.last == last) CommitEntry(entry);
    }
  }
}

void ExtractionTransaction::CommitEntry(const StagedEntry& entry) {
  if (fs_.FileExists(entry.target)) {
    std::u16string backup;
    if (FsError error = fs_.MoveAside(entry.target, backup)) throw CreateFileError(entry.full, *error);
    moves_.push_back({entry.target, backup});
    backups_.push_back(std::move(backup));
  }
  if (FsError error = fs_.Rename(entry.temp, entry.target)) throw CreateFileError(entry.full, *error);
  moves_.push_back({entry.temp, entry.target});
}

void ExtractionTransaction::Finish() {
  // Times are set after the move: renaming over a file that was just replaced would let
  // Windows carry the old file's creation time over ("tunnelling").
  for (const bool last : {false, true}) {
    for (const StagedEntry& entry : staged_) {
      if (entry.last != last) continue;
      if (entry.utcTime) {
        fs_.SetFileTime(entry.target, FileTimeKind::Creation, *entry.utcTime);
        fs_.SetFileTime(entry.target, FileTimeKind::LastWrite, *entry.utcTime);
      }
      if (entry.attributes) fs_.SetAttributes(entry.target, *entry.attributes);
    }
  }
  for (const std::u16string& backup : backups_) fs_.RemoveFile(backup);
  finished_ = true;
}

void ExtractionTransaction::Rollback() noexcept {
  if (finished_) return;
  finished_ = true;
  try {
    for (auto move = moves_.rbegin(); move != moves_.rend(); ++move) fs_.Rename(move->to, move->from);
    for (const StagedEntry& entry : staged_) fs_.RemoveFile(entry.temp);
    for (auto folder = createdFolders_.rbegin(); folder != createdFolders_.rend(); ++folder) {
      fs_.RemoveFolder(*folder);
    }
  } catch (...) {
    // Undo runs while an error is on its way out; nothing may replace that error.
  }
}

}  // namespace tallyx
