#pragma once
// The index of a release archive, published and signed beside it: where each entry's
// bytes lie in the archive and what they inflate to, so that an installation can fetch
// only the entries that differ from the installed files and check each one on its own.
//
// The text (UTF-8, every line ended by LF, nothing else):
//   TallyxUpdater index 1
//   archive <archive size> <central directory offset> <SHA-256 of the bytes from there to the end>
//   entry <offset> <length> <compressed size> <size> <CRC-32> <SHA-256> <name>
//   ...
// Numbers are decimal without signs or leading zeros; the CRC-32 is 8 and a SHA-256 64
// lower-case hexadecimal digits. An entry's bytes [offset, offset + length) hold its local
// header, its data and its data descriptor if it has one (so at least a local header's 30
// bytes and, beyond them, its compressed size); entries come in the order of
// their offsets, do not overlap and end at or before the central directory. The name is
// the rest of the line: the entry's name as the reader decodes it (a folder's ends with
// "/"), never empty and without control characters. Entries are listed in the order of
// the central directory, which is the order of their offsets in a published archive.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "controller/operations/signatures.h"

namespace tallyx {

struct ReleaseIndexEntry {
  uint64_t offset = 0;
  uint64_t length = 0;
  uint64_t compressedSize = 0;
  uint64_t size = 0;
  uint32_t crc32 = 0;
  Sha256Digest content{};
  std::u16string name;
  bool IsFolder() const { return !name.empty() && name.back() == u'/'; }
  bool operator==(const ReleaseIndexEntry&) const = default;
};

struct ReleaseIndex {
  uint64_t archiveSize = 0;
  uint64_t centralOffset = 0;
  Sha256Digest centralContent{};  // of the archive's bytes [centralOffset, archiveSize)
  std::vector<ReleaseIndexEntry> entries;
  bool operator==(const ReleaseIndex&) const = default;
};

// At most this many entries: an index past it is not read (the release is then
// downloaded whole).
inline constexpr size_t kReleaseIndexMaxEntries = 65535;

std::string FormatReleaseIndex(const ReleaseIndex& index);
// Nothing for any text that FormatReleaseIndex would not write for a valid index: a
// wrong first line, a missing or extra field, a number out of its place, entries out of
// order, overlapping or past the central directory, two entries of one name, more than
// kReleaseIndexMaxEntries entries.
std::optional<ReleaseIndex> ParseReleaseIndex(std::string_view text);

}  // namespace tallyx
