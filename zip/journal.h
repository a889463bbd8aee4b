#pragma once
// The extraction's journal: a small file of its own in the destination folder that says,
// before anything is done, what the extraction is about to do. It is the only source of
// truth about which files are the extraction's own: recovery touches nothing it does not
// name.
//
// The file is a header line and then one record a line, only ever appended to. Each line
// carries a CRC-32 of its text, so a line torn by a kill or left as garbage by a power cut
// is recognised and skipped, and every record starts on a line of its own whatever the
// write before it left. Records come in batches, one batch for each set of files that take
// their places together; a batch ends with Commit (every file of it is in place for good)
// or Undone (it was rolled back completely). A batch with no end was interrupted.
//
// Rule 0, trust. The folder is often writable by every user of the workstation, who can
// plant a journal of their own: a checksum proves a line whole, not ours. So a record is
// believed only in the shapes the transaction writes: paths relative to the journal's
// folder and inside it (no root, drive, "..", device or stream), a staged name exactly
// ".~tx" + 8 lower-case hex digits + ".tmp", a backup the target's name (or none) + ".~tx"
// + 8 digits + ".bak" in the target's folder, a folder or target that an entry could name.
// A journal with any other record is not ours: nothing it names is touched, and the
// extraction stops on it as on any foreign file at the journal's name.
//
// Why this is enough, for a kill and for a power cut alike. A kill loses what the process
// had not yet asked for; a power cut also loses what it asked for and the system had not
// yet written out: the data of a file not flushed reads as zeros (NTFS, up to the size the
// file had) or is missing, and a name made, changed or removed is lost unless it was made
// durable (POSIX: by flushing its folder; NTFS: by a write-through rename or a flush, which
// write out its log of names in order). So every step that a later one relies on is made
// durable before that later step, and a flush that fails stops the extraction there:
// - the header is flushed, and its name made durable, before anything else exists: a
//   journal that holds no header and no record (empty, zeros, a torn header) cannot name
//   anything of ours, and is discarded as ours;
// - a staged file's name and a folder's are recorded and flushed before the file or the
//   folder is made, so every staged file and folder that survives a cut is named;
// - a batch's plan (which staged file takes which target's place, and where the old file
//   goes) and the staged files' data are durable before the first rename;
// - every rename of the batch is durable before its Commit is written, and the Commit is
//   durable before the first old file is deleted: a Commit found on disk means every new
//   file is in place, and no Commit means every old file is still at its target or at
//   its backup;
// - an undo puts each new file back under its staged name, which only the extraction
//   uses, before the old file returns; so whether the staged name exists tells for each
//   file which side of its rename the transaction is on, never the target's name (which
//   somebody else may have taken meanwhile). Undone is durable before the staged files
//   are deleted, and the deletions before the journal is;
// - an interrupted batch is rolled back by the next run on the same evidence, and each of
//   these steps can be cut again and redone.
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zip/file_system.h"

namespace tallyx {

inline constexpr char16_t kJournalName[] = u".~tx.journal";

enum class JournalRecordKind : char {
  Folder = 'D',  // a folder about to be created
  Staged = 'S',  // a staged file about to be created
  Unmade = 'X',  // a staged file that could not be created: the name is not ours
  Put = 'P',     // the plan: `path` (staged) takes the place of `target`, which is moved to
                 // `backup` first when it exists (`backup` empty: there was no target)
  Commit = 'C',
  Undone = 'U',
};

// Paths are relative to the journal's folder, with backslash separators.
struct JournalRecord {
  JournalRecordKind kind;
  std::u16string path;
  std::u16string target;
  std::u16string backup;

  bool operator==(const JournalRecord&) const = default;
};

std::string JournalHeader();
std::string EncodeJournalRecord(const JournalRecord& record);

// What a file at the journal's name holds.
enum class JournalContent {
  Records,  // the header and any number of records
  Nothing,  // no header and no record: empty, zeros, or a header cut short
  Foreign,  // somebody else's file: left alone
};
// The records of a journal's bytes, skipping damaged lines; Foreign, with no record, when
// a whole line names anything but the transaction's files (rule 0).
JournalContent DecodeJournal(std::string_view bytes, std::vector<JournalRecord>& records);

// The journal file of one destination folder: the one place where records are written,
// read and flushed. Failures raise the runtime's errors (EFOpenError, EFCreateError,
// EWriteError), after which the journal on disk is exactly as durable as before.
class Journal {
 public:
  Journal(FileSystem& fileSystem, std::u16string path);
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Whether a journal of ours exists on disk (found by Load, or made by Append).
  bool OnDisk() const { return onDisk_; }

  // Reads the journal the folder holds, if any: its records, or nothing. A journal with no
  // record at all is ours and is removed at once (raises when that fails); a foreign file
  // is left as it is, and Append then fails on it.
  std::vector<JournalRecord> Load(WaitAccount& wait);
  // Appends records, each on a line of its own; the first call makes the journal (its
  // header flushed and its name made durable first). Not durable until Flush.
  void Append(const std::vector<JournalRecord>& records, WaitAccount& wait);
  // Makes every record appended so far durable; raises when it cannot.
  void Flush();
  // Closes and removes the journal; false when it is still there.
  bool Remove(WaitAccount& wait);

 private:
  void Create(WaitAccount& wait);
  void Open(OutputMode mode, WaitAccount& wait);

  FileSystem& fs_;
  std::u16string path_;
  std::unique_ptr<OutputFile> file_;
  bool onDisk_ = false;
  bool endsLine_ = true;  // false once a write may have stopped inside a line
};

}  // namespace tallyx
