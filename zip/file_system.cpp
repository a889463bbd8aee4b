#include "zip/file_system.h"

#include <algorithm>
#include <atomic>
#include <chrono>

#include "base/text.h"

namespace tallyx {

namespace {

constexpr std::u16string_view kMarker = u".~tx";
// Windows takes at most 255 UTF-16 units in one name, most POSIX file systems 255 bytes.
constexpr size_t kMaxNameLength = 255;

std::u16string Suffix(uint32_t number, std::u16string_view extension) {
  static constexpr char16_t kHex[] = u"0123456789abcdef";
  std::u16string text(kMarker);
  for (int shift = 28; shift >= 0; shift -= 4) text += kHex[(number >> shift) & 0xF];
  return text += extension;
}

}  // namespace

FsResult RetryWhileInUse(FileSystem& fileSystem, int budgetMs,
                         const std::function<FsResult()>& operation) {
  int waited = 0;
  int pause = 20;
  for (;;) {
    FsResult result = operation();
    if (result.outcome != FsOutcome::InUse || waited >= budgetMs) return result;
    pause = std::min(pause, budgetMs - waited);
    fileSystem.Pause(pause);
    waited += pause;
    pause = std::min(pause * 2, 1000);
  }
}

std::u16string FullPathOr(FileSystem& fileSystem, const std::u16string& path) {
  std::u16string full;
  return fileSystem.FullPath(path, full).Done() ? full : path;
}

std::u16string StagedFileName(uint32_t number) { return Suffix(number, u".tmp"); }

std::u16string BackupFileName(const std::u16string& fileName, uint32_t number) {
  const std::u16string named = fileName + Suffix(number, u".bak");
  const bool fits = named.size() <= kMaxNameLength && EncodeUtf8(named).size() <= kMaxNameLength;
  return fits ? named : Suffix(number, u".bak");
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
