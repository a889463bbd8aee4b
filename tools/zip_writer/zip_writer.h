#pragma once
// A small ZIP writer, portable (native and Windows builds), for the release tool and the
// tests. It writes what it is given, field by field: well-formed archives by default,
// and, for the tests, archives whose fields are bent on purpose (flags, methods, sizes,
// CRCs, extra fields, hosts, dates). It checks only the format's own limits; what may be
// published is the release tool's decision.
#include <cstdint>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tallyx {

// 2021-03-05 14:30:10: a fixed time, so that the same entries give the same bytes.
inline constexpr uint32_t kDosDate2021 = (41u << 25) | (3u << 21) | (5u << 16) | (14u << 11) |
                                         (30u << 5) | (10u / 2);

inline constexpr uint16_t kZipUtf8NameFlag = 0x0800;
inline constexpr uint32_t kZipAttributeDirectory = 0x10;
inline constexpr uint32_t kZipAttributeArchive = 0x20;

struct ZipWriterEntry {
  std::string name;                 // the stored bytes; folders end with "/"
  std::string data;                 // the entry's uncompressed bytes
  uint16_t method = 8;              // 8 (or 0x108): deflated here; anything else: stored as it is
  uint16_t flag = 0;
  uint16_t madeBy = 0x0014;         // high byte 0: MS-DOS host, attributes applied on extraction
  uint32_t externalAttributes = kZipAttributeArchive;
  uint32_t dosTime = kDosDate2021;  // MS-DOS date (high 16 bits) and time (low 16 bits)
  std::string localExtra;
  std::string centralExtra;
  bool dataDescriptor = false;      // flag bit 3, zero sizes in the local header
  std::optional<uint32_t> crc;      // central overrides
  std::optional<uint32_t> uncompressedSize;
  std::optional<uint32_t> compressedSize;
  int level = 6;                    // zlib's compression level for method 8
};

// The whole archive in memory, with where each record starts.
struct WrittenZip {
  std::string bytes;
  std::vector<size_t> localOffsets;
  std::vector<size_t> centralOffsets;
  size_t centralOffset = 0;
  size_t endOffset = 0;
};

// A value the format cannot hold (sizes and offsets past 4 GiB, more than 65,535 entries,
// fields longer than 65,535 bytes), zlib failing, or the output refusing bytes.
class ZipWriterError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ZipWriter {
 public:
  explicit ZipWriter(std::ostream& out) : out_(out) {}

  // Writes the entry's local header, its data and, when asked, its data descriptor.
  void Add(const ZipWriterEntry& entry) { Add(entry, entry.data); }
  // The same with `data` in place of entry.data, which is then ignored.
  void Add(const ZipWriterEntry& fields, std::string_view data);
  // Writes the central directory and the end record, then flushes.
  void Finish(std::string_view comment = {});

  const std::vector<size_t>& LocalOffsets() const { return localOffsets_; }
  const std::vector<size_t>& CentralOffsets() const { return centralOffsets_; }
  size_t CentralOffset() const { return centralOffset_; }
  size_t EndOffset() const { return endOffset_; }

 private:
  void Write(std::string_view bytes);

  std::ostream& out_;
  uint64_t written_ = 0;
  std::string central_;
  std::vector<size_t> localOffsets_, centralOffsets_;
  size_t centralOffset_ = 0, endOffset_ = 0;
};

WrittenZip BuildZip(const std::vector<ZipWriterEntry>& entries, std::string_view comment = {});

// Little-endian fields, appended or overwritten in place.
void PutLE(std::string& out, uint64_t value, int width);
void SetLE(std::string& bytes, size_t at, uint64_t value, int width);

uint32_t Crc32(std::string_view data);
// Raw deflate (no zlib header, as ZIP entries carry it).
std::string RawDeflate(std::string_view data, int level = 6);

// The Info-ZIP Unicode path extra field for `utf8Name`, tied to the raw name `rawName`
// through its CRC-32 (or `crc`).
std::string UnicodePathField(std::string_view rawName, std::string_view utf8Name,
                             std::optional<uint32_t> crc = std::nullopt);

}  // namespace tallyx
