#pragma once
// Record layouts of the classic (PKWARE) ZIP format as the reader sees them. All integers
// are little-endian; ZIP64, multi-volume archives and encryption are not read.
#include <cstdint>
#include <string>

namespace tallyx {

enum class TZipMode : uint8_t { zmClosed = 0, zmRead = 1, zmReadWrite = 2, zmWrite = 3 };

inline constexpr uint32_t kEndOfCentralDirSignature = 0x06054B50;
inline constexpr uint32_t kCentralHeaderSignature = 0x02014B50;
inline constexpr uint32_t kLocalHeaderSignature = 0x04034B50;
inline constexpr uint16_t kUnicodePathExtraTag = 0x7075;

inline constexpr size_t kEndRecordFieldsSize = 18;   // after the signature, before the comment
inline constexpr size_t kCentralFixedSize = 42;      // after the signature
inline constexpr size_t kLocalFixedSize = 26;        // after the signature
inline constexpr size_t kCentralHeaderSize = 46;     // signature + fixed fields

inline constexpr uint16_t kFlagEncrypted = 0x0001;
inline constexpr uint16_t kFlagDataDescriptor = 0x0008;
inline constexpr uint16_t kFlagUtf8 = 0x0800;

inline constexpr uint8_t kMethodStored = 0;
inline constexpr uint8_t kMethodDeflated = 8;

// One entry: a central directory record, or a local header (which lacks the central-only
// fields; they stay zero).
struct TZipHeader {
  uint16_t MadeByVersion = 0;
  uint16_t RequiredVersion = 0;
  uint16_t Flag = 0;
  uint16_t CompressionMethod = 0;
  uint32_t ModifiedDateTime = 0;
  uint32_t CRC32 = 0;
  uint32_t CompressedSize = 0;
  uint32_t UncompressedSize = 0;
  uint16_t FileNameLength = 0;
  uint16_t ExtraFieldLength = 0;
  uint16_t FileCommentLength = 0;
  uint16_t DiskNumberStart = 0;
  uint16_t InternalAttributes = 0;
  uint32_t ExternalAttributes = 0;
  uint32_t LocalHeaderOffset = 0;
  std::string FileName;
  std::string ExtraField;
  std::string FileComment;
};

// The end of central directory record's fields (after the signature).
struct TEndRecord {
  uint16_t DiskNumber = 0;
  uint16_t CentralDirDisk = 0;
  uint16_t EntriesOnDisk = 0;
  uint16_t TotalEntries = 0;
  uint32_t CentralDirSize = 0;
  uint32_t CentralDirOffset = 0;
  uint16_t CommentLength = 0;
};

inline uint16_t GetLE16(const unsigned char* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t GetLE32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

TEndRecord ParseEndRecord(const unsigned char* fields);
void ParseCentralFixed(const unsigned char* fields, TZipHeader& header);
void ParseLocalFixed(const unsigned char* fields, TZipHeader& header);

// An MS-DOS date and time (date in the high 16 bits), broken down.
struct DosDateTime {
  int Year, Month, Day, Hour, Minute, Second;
};
DosDateTime DecodeDosDateTime(uint32_t value);
// Valid when the date is a real day of 1980-2107 and the time lies within the day (the
// stored seconds 60 and 62 are not).
bool IsValidDosDateTime(const DosDateTime& t);
// Seconds since 1970-01-01 of the broken-down value, taken as UTC.
int64_t ToUnixSeconds(const DosDateTime& t);

}  // namespace tallyx
