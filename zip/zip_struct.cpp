#include "zip/zip_struct.h"

namespace tallyx {

TEndRecord ParseEndRecord(const unsigned char* f) {
  return TEndRecord{GetLE16(f), GetLE16(f + 2), GetLE16(f + 4), GetLE16(f + 6),
                    GetLE32(f + 8), GetLE32(f + 12), GetLE16(f + 16)};
}

void ParseCentralFixed(const unsigned char* f, TZipHeader& h) {
  h.MadeByVersion = GetLE16(f);
  h.RequiredVersion = GetLE16(f + 2);
  h.Flag = GetLE16(f + 4);
  h.CompressionMethod = GetLE16(f + 6);
  h.ModifiedDateTime = GetLE32(f + 8);
  h.CRC32 = GetLE32(f + 12);
  h.CompressedSize = GetLE32(f + 16);
  h.UncompressedSize = GetLE32(f + 20);
  h.FileNameLength = GetLE16(f + 24);
  h.ExtraFieldLength = GetLE16(f + 26);
  h.FileCommentLength = GetLE16(f + 28);
  h.DiskNumberStart = GetLE16(f + 30);
  h.InternalAttributes = GetLE16(f + 32);
  h.ExternalAttributes = GetLE32(f + 34);
  h.LocalHeaderOffset = GetLE32(f + 38);
}

void ParseLocalFixed(const unsigned char* f, TZipHeader& h) {
  h.RequiredVersion = GetLE16(f);
  h.Flag = GetLE16(f + 2);
  h.CompressionMethod = GetLE16(f + 4);
  h.ModifiedDateTime = GetLE32(f + 6);
  h.CRC32 = GetLE32(f + 10);
  h.CompressedSize = GetLE32(f + 14);
  h.UncompressedSize = GetLE32(f + 18);
  h.FileNameLength = GetLE16(f + 22);
  h.ExtraFieldLength = GetLE16(f + 24);
}

DosDateTime DecodeDosDateTime(uint32_t v) {
  return DosDateTime{static_cast<int>(1980 + (v >> 25)), static_cast<int>((v >> 21) & 0x0F),
                     static_cast<int>((v >> 16) & 0x1F), static_cast<int>((v >> 11) & 0x1F),
                     static_cast<int>((v >> 5) & 0x3F), static_cast<int>((v & 0x1F) * 2)};
}

static bool IsLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

static int DaysInMonth(int y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeapYear(y) ? 29 : kDays[m - 1];
}

bool IsValidDosDateTime(const DosDateTime& t) {
  return t.Year >= 1980 && t.Year <= 2107 && t.Month >= 1 && t.Month <= 12 && t.Day >= 1 &&
         t.Day <= DaysInMonth(t.Year, t.Month) && t.Hour < 24 && t.Minute < 60 && t.Second < 60;
}

int64_t ToUnixSeconds(const DosDateTime& t) {
  // Days from the civil date (proleptic Gregorian), Howard Hinnant's algorithm.
  const int y = t.Month <= 2 ? t.Year - 1 : t.Year;
  const int era = y / 400;
  const int yoe = y - era * 400;
  const int mp = (t.Month + 9) % 12;
  const int doy = (153 * mp + 2) / 5 + t.Day - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const int64_t days = static_cast<int64_t>(era) * 146097 + doe - 719468;
  return days * 86400 + t.Hour * 3600 + t.Minute * 60 + t.Second;
}

}  // namespace tallyx
