#include "zip/file_system.h"

#include <atomic>
#include <chrono>

namespace tallyx {

namespace {

constexpr std::u16string_view kMarker = u".~tx";
constexpr std::u16string_view kStagedSuffix = u".tmp";
constexpr std::u16string_view kBackupSuffix = u".bak";
constexpr size_t kNumberDigits = 8;
constexpr size_t kSuffixLength = 4 + kNumberDigits + 4;  // ".~tx" digits ".bak"
// Windows and most POSIX file systems take at most 255 characters in one name.
constexpr size_t kMaxNameLength = 255;

std::u16string Suffix(uint32_t number, std::u16string_view extension) {
  static constexpr char16_t kHex[] = u"0123456789abcdef";
  std::u16string text(kMarker);
  for (int shift = 28; shift >= 0; shift -= 4) text += kHex[(number >> shift) & 0xF];
  return text += extension;
}

bool IsHexDigit(char16_t c) {
  return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

}  // namespace

std::u16string StagedFileName(uint32_t number) { return Suffix(number, kStagedSuffix); }

std::u16string BackupFileName(const std::u16string& fileName, uint32_t number) {
  const std::u16string suffix = Suffix(number, kBackupSuffix);
  return fileName.size() + suffix.size() <= kMaxNameLength ? fileName + suffix : suffix;
}

LeftoverKind LeftoverKindOf(const std::u16string& fileName) {
  if (fileName.size() < kSuffixLength) return LeftoverKind::None;
  const std::u16string_view tail = std::u16string_view(fileName).substr(fileName.size() - kSuffixLength);
  if (tail.substr(0, kMarker.size()) != kMarker) return LeftoverKind::None;
  for (char16_t c : tail.substr(kMarker.size(), kNumberDigits)) {
    if (!IsHexDigit(c)) return LeftoverKind::None;
  }
  const std::u16string_view extension = tail.substr(kMarker.size() + kNumberDigits);
  // A staged copy never carries a name of its own in front.
  if (extension == kStagedSuffix && fileName.size() == kSuffixLength) return LeftoverKind::Staged;
  if (extension == kBackupSuffix) return LeftoverKind::Backup;
  return LeftoverKind::None;
}

std::u16string BackedUpName(const std::u16string& backupName) {
  if (LeftoverKindOf(backupName) != LeftoverKind::Backup) return {};
  return backupName.substr(0, backupName.size() - kSuffixLength);
}

uint32_t NextLeftoverNumber() {
  static std::atomic<uint32_t> counter{static_cast<uint32_t>(
      std::chrono::steady_clock::now().time_since_epoch().count() ^
      std::chrono::system_clock::now().time_since_epoch().count())};
  // A multiplicative mix spreads consecutive counts over the whole range, so that two
  // processes started together rarely try the same names.
  return (counter.fetch_add(1) + 0x9E3779B9u) * 0x85EBCA6Bu;
}

}  // namespace tallyx
