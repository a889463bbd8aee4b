#pragma once
// A small archive writer for tests: builds well-formed archives whose fields each test
// can then bend (flags, methods, sizes, CRCs, extra fields, hosts, dates).
#include <zlib.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tallyx::testing {

inline constexpr uint32_t kDosDate2021 = (41u << 25) | (3u << 21) | (5u << 16) | (14u << 11) |
                                         (30u << 5) | (10u / 2);  // 2021-03-05 14:30:10

struct TestEntry {
  std::string name;
  std::string data;                 // the entry's uncompressed bytes
  uint16_t method = 8;              // 8: deflated here; anything else: data stored as it is
  uint16_t flag = 0;
  uint16_t madeBy = 0x0014;         // high byte 0: MS-DOS host
  uint32_t externalAttributes = 0x20;
  uint32_t dosTime = kDosDate2021;
  std::string localExtra;
  std::string centralExtra;
  bool dataDescriptor = false;      // flag bit 3, zero sizes in the local header
  std::optional<uint32_t> crc;      // central overrides
  std::optional<uint32_t> uncompressedSize;
  std::optional<uint32_t> compressedSize;
};

struct TestZip {
  std::string bytes;
  std::vector<size_t> localOffsets;
  std::vector<size_t> centralOffsets;
  size_t centralOffset = 0;
  size_t endOffset = 0;
};

inline void PutLE(std::string& out, uint64_t value, int width) {
  for (int i = 0; i < width; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

inline void SetLE(std::string& bytes, size_t at, uint64_t value, int width) {
  for (int i = 0; i < width; ++i) bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

inline uint32_t Crc32(const std::string& data) {
  return static_cast<uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

inline std::string RawDeflate(const std::string& data) {
  z_stream z{};
  deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, static_cast<uLong>(data.size())) + 16, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// The Info-ZIP Unicode path field for `utf8Name`, tied to the raw name `rawName`.
inline std::string UnicodePathField(const std::string& rawName, const std::string& utf8Name,
                                    std::optional<uint32_t> crc = std::nullopt) {
  std::string field;
  PutLE(field, 0x7075, 2);
  PutLE(field, 5 + utf8Name.size(), 2);
  field.push_back(1);
  PutLE(field, crc.value_or(Crc32(rawName)), 4);
  return field + utf8Name;
}

inline TestZip BuildZip(const std::vector<TestEntry>& entries, const std::string& comment = "") {
  TestZip zip;
  std::string central;
  for (const TestEntry& e : entries) {
    const std::string payload = e.method == 8 || e.method == 0x108 ? RawDeflate(e.data) : e.data;
    const uint32_t crc = Crc32(e.data);
    const uint16_t flag = static_cast<uint16_t>(e.flag | (e.dataDescriptor ? 0x0008 : 0));
    zip.localOffsets.push_back(zip.bytes.size());
    std::string& out = zip.bytes;
    PutLE(out, 0x04034B50, 4);
    PutLE(out, 20, 2);
    PutLE(out, flag, 2);
    PutLE(out, e.method, 2);
    PutLE(out, e.dosTime, 4);
    PutLE(out, e.dataDescriptor ? 0 : crc, 4);
    PutLE(out, e.dataDescriptor ? 0 : payload.size(), 4);
    PutLE(out, e.dataDescriptor ? 0 : e.data.size(), 4);
    PutLE(out, e.name.size(), 2);
    PutLE(out, e.localExtra.size(), 2);
    out += e.name + e.localExtra + payload;
    if (e.dataDescriptor) {
      PutLE(out, 0x08074B50, 4);
      PutLE(out, crc, 4);
      PutLE(out, payload.size(), 4);
      PutLE(out, e.data.size(), 4);
    }
    zip.centralOffsets.push_back(central.size());
    PutLE(central, 0x02014B50, 4);
    PutLE(central, e.madeBy, 2);
    PutLE(central, 20, 2);
    PutLE(central, flag, 2);
    PutLE(central, e.method, 2);
    PutLE(central, e.dosTime, 4);
    PutLE(central, e.crc.value_or(crc), 4);
    PutLE(central, e.compressedSize.value_or(static_cast<uint32_t>(payload.size())), 4);
    PutLE(central, e.uncompressedSize.value_or(static_cast<uint32_t>(e.data.size())), 4);
    PutLE(central, e.name.size(), 2);
    PutLE(central, e.centralExtra.size(), 2);
    PutLE(central, 0, 2);
    PutLE(central, 0, 2);
    PutLE(central, 0, 2);
    PutLE(central, e.externalAttributes, 4);
    PutLE(central, zip.localOffsets.back(), 4);
    central += e.name + e.centralExtra;
  }
  zip.centralOffset = zip.bytes.size();
  for (size_t& offset : zip.centralOffsets) offset += zip.centralOffset;
  zip.bytes += central;
  zip.endOffset = zip.bytes.size();
  PutLE(zip.bytes, 0x06054B50, 4);
  PutLE(zip.bytes, 0, 2);
  PutLE(zip.bytes, 0, 2);
  PutLE(zip.bytes, entries.size(), 2);
  PutLE(zip.bytes, entries.size(), 2);
  PutLE(zip.bytes, central.size(), 4);
  PutLE(zip.bytes, zip.centralOffset, 4);
  PutLE(zip.bytes, comment.size(), 2);
  zip.bytes += comment;
  return zip;
}

}  // namespace tallyx::testing
