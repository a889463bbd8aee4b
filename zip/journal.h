#pragma once
// The extraction's journal: a small file of its own in the destination folder that says,
// before anything is done, what the extraction is about to do. It is the only source of
// truth about which files are the extraction's own: recovery touches nothing it does not
// name.
//
// The file is a header line and then one record a line, only ever appended to. Each line
// carries a CRC-32 of its text, so a line torn by a kill or left as garbage by a power cut
// is recognised and skipped. Records come in batches, one batch for each set of files that
// take their places together; a batch ends with Commit (every file of it is in place for
// good) or Undone (it was rolled back completely). A batch with no end was interrupted.
//
// Why this is enough: every record is written before the step it announces, and the
// records that decide what recovery may delete (the batch's plan, its Commit) are made
// durable before the first rename and before the first deletion. A kill at any point
// therefore leaves either an unended batch whose plan is complete (recovery rolls it back
// by looking at which of staged file, target and backup still exist) or an ended one.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tallyx {

inline constexpr char16_t kJournalName[] = u".~tx.journal";

enum class JournalRecordKind : char {
  Folder = 'D',  // a folder about to be created
  Staged = 'S',  // a staged file about to be created
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
// The records of a journal's bytes, skipping damaged lines; nothing when the bytes do not
// begin with the header (a file of that name that is not ours).
std::optional<std::vector<JournalRecord>> DecodeJournal(std::string_view bytes);

}  // namespace tallyx
