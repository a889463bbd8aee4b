#include "zip/release_index.h"

#include <set>

#include "base/errors.h"
#include "base/text.h"
#include "zip/zip_struct.h"

namespace tallyx {
namespace {

constexpr std::string_view kFirstLine = "TallyxUpdater index 1";
constexpr std::string_view kHexDigits = "0123456789abcdef";
// The signature and the fixed fields of a local header: the least an entry's bytes hold.
constexpr uint64_t kLocalHeaderMinimum = 4 + kLocalFixedSize;

void AppendHex(std::string& out, const uint8_t* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    out.push_back(kHexDigits[bytes[i] >> 4]);
    out.push_back(kHexDigits[bytes[i] & 15]);
  }
}

// Reads the fields of one line, each ended by a single blank; the last field of an entry
// (its name) is the rest of the line and read by the caller.
class LineReader {
 public:
  explicit LineReader(std::string_view line) : rest_(line) {}

  std::optional<std::string_view> Field() {
    const size_t end = rest_.find(' ');
    if (end == std::string_view::npos) {
      if (rest_.empty()) return std::nullopt;
      const std::string_view last = rest_;
      rest_ = {};
      last_ = true;
      return last;
    }
    const std::string_view field = rest_.substr(0, end);
    rest_.remove_prefix(end + 1);
    if (field.empty()) return std::nullopt;  // two blanks in a row, or a leading one
    return field;
  }
  // Whether the latest field ended the line (it was not followed by a blank).
  bool AtEnd() const { return last_; }
  std::string_view Rest() const { return rest_; }

 private:
  std::string_view rest_;
  bool last_ = false;
};

// Plain decimal: no sign, no leading zero (but "0" itself), nothing past 2^64 - 1.
std::optional<uint64_t> ParseNumber(std::optional<std::string_view> field) {
  if (!field || field->empty() || (field->size() > 1 && field->front() == '0')) return std::nullopt;
  uint64_t value = 0;
  for (const char c : *field) {
    if (c < '0' || c > '9') return std::nullopt;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

// Exactly 2 * size lower-case hexadecimal digits.
bool ParseHex(std::optional<std::string_view> field, uint8_t* out, size_t size) {
  if (!field || field->size() != 2 * size) return false;
  for (size_t i = 0; i < 2 * size; ++i) {
    const size_t digit = kHexDigits.find((*field)[i]);
    if (digit == std::string_view::npos) return false;
    out[i / 2] = static_cast<uint8_t>(i % 2 == 0 ? digit << 4 : out[i / 2] | digit);
  }
  return true;
}

std::optional<std::u16string> ParseName(std::string_view bytes) {
  if (bytes.empty()) return std::nullopt;
  std::u16string name;
  try {
    name = DecodeUtf8Strict(bytes);
  } catch (const EEncodingError&) {
    return std::nullopt;
  }
  for (const char16_t c : name)
    if (c < 0x20 || c == 0x7F) return std::nullopt;
  return name;
}

}  // namespace

std::string FormatReleaseIndex(const ReleaseIndex& index) {
  std::string text(kFirstLine);
  text += "\narchive " + std::to_string(index.archiveSize) + " " +
          std::to_string(index.centralOffset) + " ";
  AppendHex(text, index.centralContent.data(), index.centralContent.size());
  text += "\n";
  for (const ReleaseIndexEntry& entry : index.entries) {
    text += "entry " + std::to_string(entry.offset) + " " + std::to_string(entry.length) + " " +
            std::to_string(entry.compressedSize) + " " + std::to_string(entry.size) + " ";
    const uint8_t crc[4] = {static_cast<uint8_t>(entry.crc32 >> 24),
                            static_cast<uint8_t>(entry.crc32 >> 16),
                            static_cast<uint8_t>(entry.crc32 >> 8),
                            static_cast<uint8_t>(entry.crc32)};
    AppendHex(text, crc, sizeof crc);
    text += " ";
    AppendHex(text, entry.content.data(), entry.content.size());
    text += " " + EncodeUtf8(entry.name) + "\n";
  }
  return text;
}

std::optional<ReleaseIndex> ParseReleaseIndex(std::string_view text) {
  // Every line ends with LF; a CR anywhere (a CR LF copy of the file, a name holding one)
  // is refused rather than taken into a number or a name.
  if (text.empty() || text.back() != '\n' || text.find('\r') != std::string_view::npos)
    return std::nullopt;
  text.remove_suffix(1);
  const auto nextLine = [&text]() {
    const size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    return line;
  };
  if (nextLine() != kFirstLine || text.empty()) return std::nullopt;

  ReleaseIndex index;
  {
    LineReader line(nextLine());
    if (line.Field() != "archive") return std::nullopt;
    const auto archiveSize = ParseNumber(line.Field());
    const auto centralOffset = ParseNumber(line.Field());
    if (!archiveSize || !centralOffset ||
        !ParseHex(line.Field(), index.centralContent.data(), index.centralContent.size()) ||
        !line.AtEnd())
      return std::nullopt;
    if (*centralOffset > *archiveSize) return std::nullopt;
    index.archiveSize = *archiveSize;
    index.centralOffset = *centralOffset;
  }

  std::set<std::u16string> names;
  uint64_t end = 0;  // where the previous entry's bytes end
  bool more = !text.empty();
  while (more) {
    more = text.find('\n') != std::string_view::npos;
    const std::string_view rawLine = nextLine();
    if (index.entries.size() == kReleaseIndexMaxEntries) return std::nullopt;
    LineReader line(rawLine);
    ReleaseIndexEntry entry;
    if (line.Field() != "entry") return std::nullopt;
    const auto offset = ParseNumber(line.Field());
    const auto length = ParseNumber(line.Field());
    const auto compressedSize = ParseNumber(line.Field());
    const auto size = ParseNumber(line.Field());
    uint8_t crc[4];
    if (!offset || !length || !compressedSize || !size || !ParseHex(line.Field(), crc, 4) ||
        !ParseHex(line.Field(), entry.content.data(), entry.content.size()) || line.AtEnd())
      return std::nullopt;
    const auto name = ParseName(line.Rest());
    if (!name) return std::nullopt;
    // In offset order, apart, and before the central directory; compared by subtraction
    // so that no sum can wrap around.
    if (*offset < end || *offset > index.centralOffset ||
        *length > index.centralOffset - *offset)
      return std::nullopt;
    // A local header at least, and the compressed data within the entry's bytes.
    if (*length < kLocalHeaderMinimum || *compressedSize > *length - kLocalHeaderMinimum)
      return std::nullopt;
    if (!names.insert(*name).second) return std::nullopt;
    end = *offset + *length;
    entry.offset = *offset;
    entry.length = *length;
    entry.compressedSize = *compressedSize;
    entry.size = *size;
    entry.crc32 = static_cast<uint32_t>(crc[0]) << 24 | static_cast<uint32_t>(crc[1]) << 16 |
                  static_cast<uint32_t>(crc[2]) << 8 | crc[3];
    entry.name = *name;
    index.entries.push_back(std::move(entry));
  }
  return index;
}

}  // namespace tallyx
