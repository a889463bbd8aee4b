#include "zip/journal.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>

#include "base/errors.h"
#include "base/text.h"
#include "base/win_path.h"

namespace tallyx {

namespace {

constexpr std::string_view kHeader = "TallyxUpdater extraction journal 1\n";

uint32_t Checksum(std::string_view text) {
  return static_cast<uint32_t>(
      ::crc32(::crc32(0, nullptr, 0), reinterpret_cast<const Bytef*>(text.data()),
              static_cast<uInt>(text.size())));
}

bool IsRecordKind(char c) {
  for (const JournalRecordKind kind : {JournalRecordKind::Folder, JournalRecordKind::Staged,
                                       JournalRecordKind::Unmade, JournalRecordKind::Put,
                                       JournalRecordKind::Commit,
                                       JournalRecordKind::Undone}) {
    if (c == static_cast<char>(kind)) return true;
  }
  return false;
}

std::optional<JournalRecord> DecodeLine(std::string_view line) {
  // "xxxxxxxx K\tpath\ttarget\tbackup": the checksum covers everything after its blank.
  if (line.size() < 10 || line[8] != ' ') return std::nullopt;
  const std::string_view text = line.substr(9);
  char expected[9];
  std::snprintf(expected, sizeof(expected), "%08x", Checksum(text));
  if (line.substr(0, 8) != expected || !IsRecordKind(text[0])) return std::nullopt;
  std::u16string fields[3];
  size_t start = 1;
  for (std::u16string& field : fields) {
    if (start >= text.size() || text[start] != '\t') return std::nullopt;
    const size_t end = std::min(text.find('\t', start + 1), text.size());
    field = DecodeUtf8Lenient(text.substr(start + 1, end - start - 1));
    start = end;
  }
  if (start != text.size()) return std::nullopt;
  return JournalRecord{static_cast<JournalRecordKind>(text[0]), fields[0], fields[1], fields[2]};
}

// The folder part of a relative path, with runs of separators read as one, as the
// system reads them: "a\\\\b" and "a\\b" are in one folder.
std::u16string FolderOf(std::u16string_view path) {
  const size_t last = path.find_last_of(u'\\');
  std::u16string folder;
  if (last == std::u16string_view::npos) return folder;
  for (const char16_t c : path.substr(0, last)) {
    if (c != u'\\' || (!folder.empty() && folder.back() != u'\\')) folder += c;
  }
  if (!folder.empty() && folder.back() == u'\\') folder.pop_back();
  return folder;
}

// ".~tx", 8 lower-case hex digits and `extension`, exactly as StagedFileName and
// BackupFileName write them.
bool IsNumberedName(std::u16string_view name, std::u16string_view extension) {
  constexpr std::u16string_view kMarker = u".~tx";
  if (name.size() != kMarker.size() + 8 + extension.size() || !name.starts_with(kMarker) ||
      !name.ends_with(extension)) {
    return false;
  }
  const std::u16string_view digits = name.substr(kMarker.size(), 8);
  return std::all_of(digits.begin(), digits.end(), [](char16_t c) {
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f');
  });
}

// A file or folder of the release: what the extraction accepts from an entry's name.
bool IsReleasePath(std::u16string_view path) {
  return IsContainedPath(path) && !NamesTransactionFile(path);
}

// A name the transaction made in a folder of the release: the folder, then `name`'s test
// of the last segment.
template <typename NameTest>
bool IsOwnFileIn(std::u16string_view path, NameTest test) {
  const size_t last = path.find_last_of(u'\\');
  const std::u16string_view name = last == std::u16string_view::npos ? path : path.substr(last + 1);
  const std::u16string folder = FolderOf(path);
  return test(name) && (folder.empty() || IsReleasePath(folder)) && IsContainedPath(path);
}

bool IsStagedPath(std::u16string_view path) {
  return IsOwnFileIn(path, [](std::u16string_view name) { return IsNumberedName(name, u".tmp"); });
}

// Journal rule 0: a record names the transaction's own files and the release's, inside the
// journal's folder, in the shapes the transaction writes them; nothing else.
bool IsOwnRecord(const JournalRecord& record) {
  const auto none = [](const std::u16string& field) { return field.empty(); };
  switch (record.kind) {
    case JournalRecordKind::Folder:
      return IsReleasePath(record.path) && none(record.target) && none(record.backup);
    case JournalRecordKind::Staged:
    case JournalRecordKind::Unmade:
      return IsStagedPath(record.path) && none(record.target) && none(record.backup);
    case JournalRecordKind::Put: {
      if (!IsStagedPath(record.path) || !IsReleasePath(record.target) ||
          record.target.back() == u'\\') {
        return false;
      }
      if (record.backup.empty()) return true;
      // Beside the target, under the target's own name (or none, for a long one).
      const std::u16string_view file = FilePart(record.target);
      return FolderOf(record.backup) == FolderOf(record.target) &&
             IsOwnFileIn(record.backup, [&](std::u16string_view name) {
               return IsNumberedName(name, u".bak") ||
                      (name.starts_with(file) && IsNumberedName(name.substr(file.size()), u".bak"));
             });
    }
    case JournalRecordKind::Commit:
    case JournalRecordKind::Undone:
      return none(record.path) && none(record.target) && none(record.backup);
  }
  return false;
}

}  // namespace

std::string JournalHeader() { return std::string(kHeader); }

std::string EncodeJournalRecord(const JournalRecord& record) {
  // The paths come from entry names that refuse control characters, so a tab or a line
  // break never stands inside a field.
  const std::string text = std::string(1, static_cast<char>(record.kind)) + "\t" +
                           EncodeUtf8(record.path) + "\t" + EncodeUtf8(record.target) + "\t" +
                           EncodeUtf8(record.backup);
  char checksum[10];
  std::snprintf(checksum, sizeof(checksum), "%08x ", Checksum(text));
  return checksum + text + "\n";
}

JournalContent DecodeJournal(std::string_view bytes, std::vector<JournalRecord>& records) {
  records.clear();
  if (!bytes.starts_with(kHeader)) {
    // What a cut can leave of a journal whose header never reached the disk: nothing, a
    // part of the header, and zeros where the system had not written the data out.
    const size_t firstZero = std::min(bytes.find('\0'), bytes.size());
    const bool zerosAfter = bytes.find_first_not_of('\0', firstZero) == std::string_view::npos;
    return kHeader.starts_with(bytes.substr(0, firstZero)) && zerosAfter ? JournalContent::Nothing
                                                                          : JournalContent::Foreign;
  }
  size_t start = kHeader.size();
  while (start < bytes.size()) {
    const size_t end = bytes.find('\n', start);
    // A last line without its line break was cut short.
    if (end == std::string_view::npos) break;
    if (std::optional<JournalRecord> record = DecodeLine(bytes.substr(start, end - start))) {
      // A checksum proves a line whole, not that the transaction wrote it: a journal with
      // one record that names anything but ours is somebody else's, and nothing it names
      // is touched (rule 0).
      if (!IsOwnRecord(*record)) {
        records.clear();
        return JournalContent::Foreign;
      }
      records.push_back(std::move(*record));
    }
    start = end + 1;
  }
  return JournalContent::Records;
}

Journal::Journal(FileSystem& fileSystem, std::u16string path)
    : fs_(fileSystem), path_(std::move(path)) {}

Journal::~Journal() = default;

std::vector<JournalRecord> Journal::Load(WaitAccount& wait) {
  std::vector<JournalRecord> records;
  if (!fs_.FileExists(path_)) return records;
  FsResult opened;
  std::unique_ptr<TStream> file;
  RetryWhileInUse(fs_, wait, [&] {
    file = fs_.OpenExclusive(path_, opened);
    return opened;
  });
  if (!file) throw EFOpenError(u"Cannot open file \"" + FullPathOr(fs_, path_) + u"\". " + opened.text);
  std::string bytes(static_cast<size_t>(file->Size()), '\0');
  file->ReadBuffer(bytes.data(), bytes.size());
  file.reset();
  switch (DecodeJournal(bytes, records)) {
    case JournalContent::Foreign:
      break;
    case JournalContent::Nothing: {
      // Its header never reached the disk, so nothing of ours was made after it.
      const FsResult removed = RetryWhileInUse(fs_, wait, [&] { return fs_.RemoveFile(path_); });
      if (!Gone(removed)) throw CreateFileError(FullPathOr(fs_, path_), removed.text);
      break;
    }
    case JournalContent::Records:
      onDisk_ = true;
      endsLine_ = bytes.back() == '\n';
      break;
  }
  return records;
}

void Journal::Open(OutputMode mode, WaitAccount& wait) {
  FsResult opened;
  RetryWhileInUse(fs_, wait, [&] {
    file_ = fs_.OpenOutput(path_, mode, opened);
    return opened;
  });
  if (!file_) throw CreateFileError(FullPathOr(fs_, path_), opened.text);
}

void Journal::Create(WaitAccount& wait) {
  Open(OutputMode::CreateNew, wait);
  onDisk_ = true;
  const std::string header = JournalHeader();
  const std::u16string folder = ExtractFolderPart(path_);
  // The header and the journal's name reach the disk before anything the journal will
  // name exists: a cut before then leaves a journal with no header, which names nothing.
  if (file_->Write(header.data(), header.size()) != header.size() || !file_->Sync().Done() ||
      !fs_.SyncFolder(folder.empty() ? u"." : folder).Done()) {
    file_.reset();
    if (fs_.RemoveFile(path_).Done()) onDisk_ = false;
    throw EWriteError(u"Stream write error");
  }
}

void Journal::Append(const std::vector<JournalRecord>& records, WaitAccount& wait) {
  if (!file_) onDisk_ ? Open(OutputMode::Append, wait) : Create(wait);
  // A line that a kill, a cut or a failed write left without its end is closed first, so
  // that it cannot take the next record into its own (failing) check.
  std::string text = endsLine_ ? std::string() : std::string("\n");
  for (const JournalRecord& record : records) text += EncodeJournalRecord(record);
  endsLine_ = false;
  if (file_->Write(text.data(), text.size()) != text.size()) throw EWriteError(u"Stream write error");
  endsLine_ = true;
}

void Journal::Flush() {
  if (file_ && !file_->Sync().Done()) throw EWriteError(u"Stream write error");
}

bool Journal::Remove(WaitAccount& wait) {
  if (file_) {
    file_->Close();
    file_.reset();
  }
  if (!onDisk_) return true;
  const FsResult removed = RetryWhileInUse(fs_, wait, [&] { return fs_.RemoveFile(path_); });
  if (!Gone(removed)) return false;
  onDisk_ = false;
  endsLine_ = true;
  return true;
}

}  // namespace tallyx
