// The Win32 file system of the product: exclusive opening, real attributes and times.
#include <windows.h>

#include <algorithm>

#include "platform/native_file_system.h"
#include "platform/os_error.h"
#include "platform/scoped_handle.h"
#include "platform/win_text.h"
#include "zip/win_path.h"

namespace tallyx {

namespace {

std::u16string LastErrorText() { return SysErrorMessage(GetLastError()); }

class Win32FileStream : public TStream {
 public:
  Win32FileStream(ScopedFileHandle file, int64_t size) : file_(std::move(file)), size_(size) {}

  size_t Read(void* buffer, size_t count) override {
    if (filePosition_ != position_) {
      LARGE_INTEGER to;
      to.QuadPart = position_;
      if (!SetFilePointerEx(file_.Get(), to, nullptr, FILE_BEGIN)) return 0;
      filePosition_ = position_;
    }
    size_t done = 0;
    while (done < count) {
      const DWORD ask = static_cast<DWORD>(std::min<size_t>(count - done, 1u << 30));
      DWORD got = 0;
      if (!ReadFile(file_.Get(), static_cast<char*>(buffer) + done, ask, &got, nullptr) || got == 0) {
        break;
      }
      done += got;
    }
    position_ += static_cast<int64_t>(done);
    filePosition_ = position_;
    return done;
  }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override {
    position_ = SeekTarget(offset, origin, position_, size_);
    return position_;
  }
  int64_t Size() override { return size_; }

 private:
  ScopedFileHandle file_;
  int64_t size_;
  int64_t position_ = 0;
  int64_t filePosition_ = 0;
};

class Win32OutputFile : public OutputFile {
 public:
  explicit Win32OutputFile(ScopedFileHandle file) : file_(std::move(file)) {}
  size_t Write(const void* buffer, size_t count) override {
    size_t done = 0;
    while (done < count) {
      const DWORD ask = static_cast<DWORD>(std::min<size_t>(count - done, 1u << 30));
      DWORD put = 0;
      if (!WriteFile(file_.Get(), static_cast<const char*>(buffer) + done, ask, &put, nullptr) ||
          put == 0) {
        break;
      }
      done += put;
    }
    return done;
  }

 private:
  ScopedFileHandle file_;
};

constexpr int64_t kUnixEpochAsFileTime = 11644473600LL;  // seconds from 1601 to 1970

FILETIME ToFileTime(int64_t unixSeconds) {
  const uint64_t ticks = static_cast<uint64_t>(unixSeconds + kUnixEpochAsFileTime) * 10000000ULL;
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

int64_t FromFileTime(const FILETIME& time) {
  const uint64_t ticks = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  return static_cast<int64_t>(ticks / 10000000ULL) - kUnixEpochAsFileTime;
}

class Win32FileSystem : public FileSystem {
 public:
  FsError FullPath(const std::u16string& path, std::u16string& full) override {
    DWORD length = GetFullPathNameW(W(path), 0, nullptr, nullptr);
    std::u16string buffer(length, u'\0');
    if (length != 0) length = GetFullPathNameW(W(path), length, W(buffer), nullptr);
    if (length == 0) {
      if (GetLastError() != ERROR_FILE_NOT_FOUND) return LastErrorText();
      full = path;
      return std::nullopt;
    }
    buffer.resize(length);
    full = std::move(buffer);
    return std::nullopt;
  }

  std::unique_ptr<TStream> OpenExclusive(const std::u16string& path, FsError& error) override {
    ScopedFileHandle file(CreateFileW(W(path), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size;
    if (!file || !GetFileSizeEx(file.Get(), &size)) {
      error = LastErrorText();
      return nullptr;
    }
    return std::make_unique<Win32FileStream>(std::move(file), size.QuadPart);
  }

  bool DriveExists(const std::u16string& fullPath) override {
    if (fullPath.size() < 2 || fullPath[1] != u':') return true;  // UNC and device paths
    const std::u16string root = fullPath.substr(0, 2) + u"\\";
    return GetDriveTypeW(W(root)) != DRIVE_NO_ROOT_DIR;
  }

  bool FolderExists(const std::u16string& path) override {
    const DWORD attributes = GetFileAttributesW(W(path));
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
  }

  bool FileExists(const std::u16string& path) override {
    const DWORD attributes = GetFileAttributesW(W(path));
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
  }

  void CreateFolders(const std::u16string& folder) override {
    if (folder.empty() || FolderExists(folder)) return;
    const std::u16string parent = ExtractFolderPart(folder);
    if (parent != folder) CreateFolders(parent);
    CreateDirectoryW(W(folder), nullptr);
  }

  FsError CheckReplaceable(const std::u16string& path) override {
    // Tested as such: Wine running as root would let the opening below pass.
    const DWORD attributes = GetFileAttributesW(W(path));
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
      return SysErrorMessage(ERROR_ACCESS_DENIED);
    }
    // Opening for writing without sharing and without truncating fails exactly where the
    // creation would: in use by another handle, or a folder.
    ScopedFileHandle probe(CreateFileW(W(path), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (probe || GetLastError() == ERROR_FILE_NOT_FOUND) return std::nullopt;
    return LastErrorText();
  }

  std::unique_ptr<OutputFile> CreateTempFile(const std::u16string& folder, std::u16string& tempPath,
                                             FsError& error) override {
    std::u16string name(MAX_PATH, u'\0');
    const std::u16string where = folder.empty() ? u"." : folder;
    if (!GetTempFileNameW(W(where), L"~tx", 0, W(name))) {
      error = LastErrorText();
      return nullptr;
    }
    name.resize(name.find(u'\0'));
    ScopedFileHandle file(CreateFileW(W(name), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
      error = LastErrorText();
      DeleteFileW(W(name));
      return nullptr;
    }
    tempPath = std::move(name);
    return std::make_unique<Win32OutputFile>(std::move(file));
  }

  FsError MoveOver(const std::u16string& from, const std::u16string& to) override {
    if (!MoveFileExW(W(from), W(to), MOVEFILE_REPLACE_EXISTING)) return LastErrorText();
    return std::nullopt;
  }

  void RemoveFile(const std::u16string& path) override { DeleteFileW(W(path)); }

  int64_t LocalToUtc(int64_t localSeconds) override {
    const FILETIME local = ToFileTime(localSeconds);
    FILETIME utc;
    if (!LocalFileTimeToFileTime(&local, &utc)) return localSeconds;
    return FromFileTime(utc);
  }

  void SetFileTime(const std::u16string& path, FileTimeKind kind, int64_t utcSeconds) override {
    ScopedFileHandle file(CreateFileW(W(path), FILE_WRITE_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file) return;
    const FILETIME time = ToFileTime(utcSeconds);
    if (kind == FileTimeKind::Creation) {
      ::SetFileTime(file.Get(), &time, nullptr, nullptr);
    } else {
      ::SetFileTime(file.Get(), nullptr, nullptr, &time);
    }
  }

  void SetAttributes(const std::u16string& path, uint8_t attributes) override {
    SetFileAttributesW(W(path), attributes);
  }
};

}  // namespace

std::unique_ptr<FileSystem> CreateNativeFileSystem() { return std::make_unique<Win32FileSystem>(); }

}  // namespace tallyx
