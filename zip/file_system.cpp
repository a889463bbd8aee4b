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

// The folder holding `path`, whichever separator the path was built with.
std::u16string FolderOf(const std::u16string& path) {
  const size_t separator = path.find_last_of(u"\\/");
  if (separator == std::u16string::npos) return u".";
  return path.substr(0, std::max<size_t>(separator, 1));
}

}  // namespace

uint32_t WaitAccount::Take(uint32_t ms) {
  uint32_t left = leftMs_.load();
  uint32_t taken;
  do {
    taken = std::min(ms, left);
  } while (!leftMs_.compare_exchange_weak(left, left - taken));
  return taken;
}

FsResult RetryWhileInUse(FileSystem& fileSystem, WaitAccount& wait,
                         const std::function<FsResult()>& operation) {
  uint32_t pause = 20;
  for (;;) {
    FsResult result = operation();
    if (result.outcome != FsOutcome::InUse) return result;
    const uint32_t taken = wait.Take(pause);
    if (taken == 0) return result;
    fileSystem.Pause(static_cast<int>(taken));
    pause = std::min<uint32_t>(pause * 2, 1000);
  }
}

FsResult TakeName(FileSystem& fileSystem, const std::u16string& from, const std::u16string& to,
                  WaitAccount& wait) {
  // A power cut after the rename must not leave the name on data that never reached the
  // disk (NTFS then shows zeros up to the file's size).
  if (FsResult durable = fileSystem.MakeDurable({from}); !durable.Done()) return durable;
  FsResult renamed = RetryWhileInUse(fileSystem, wait, [&] { return fileSystem.Replace(from, to); });
  if (!renamed.Done()) return renamed;
  return fileSystem.SyncFolder(FolderOf(to));
}

EFCreateError CreateFileError(const std::u16string& fullPath, const std::u16string& text) {
  return EFCreateError(u"Cannot create file \"" + fullPath + u"\". " + text);
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
