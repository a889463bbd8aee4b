#include "zip/journal.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>

#include "base/text.h"

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
                                       JournalRecordKind::Put, JournalRecordKind::Commit,
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

std::optional<std::vector<JournalRecord>> DecodeJournal(std::string_view bytes) {
  // A kill between creating the file and writing its header leaves a part of the header.
  if (kHeader.starts_with(bytes)) return std::vector<JournalRecord>{};
  if (!bytes.starts_with(kHeader)) return std::nullopt;
  std::vector<JournalRecord> records;
  size_t start = kHeader.size();
  while (start < bytes.size()) {
    const size_t end = bytes.find('\n', start);
    // A last line without its line break was cut short by a kill.
    if (end == std::string_view::npos) break;
    if (std::optional<JournalRecord> record = DecodeLine(bytes.substr(start, end - start))) {
      records.push_back(std::move(*record));
    }
    start = end + 1;
  }
  return records;
}

}  // namespace tallyx
