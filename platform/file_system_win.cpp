// The Win32 file system of the product: exclusive opening, real attributes and times.
#include <windows.h>

#include <algorithm>
#include <utility>

#include "platform/executable_path.h"
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

// The absolute form of `path`; false with the system's error code set when it has none.
bool GetFullPath(const std::u16string& path, std::u16string& full) {
  DWORD length = GetFullPathNameW(W(path), 0, nullptr, nullptr);
  std::u16string buffer(length, u'\0');
  if (length != 0) length = GetFullPathNameW(W(path), length, W(buffer), nullptr);
  if (length == 0) return false;
  buffer.resize(length);
  full = std::move(buffer);
  return true;
}

// The form of `path` that the file functions accept at any length: past the classic limit
// of 260 characters (248 for folders) a path needs the \\?\ prefix, which in turn needs the
// absolute form, since the system then takes it literally. (Wine takes long paths without
// the prefix too, so only Windows shows the need.)
std::u16string ApiPath(const std::u16string& path) {
  if (path.size() < MAX_PATH - 12 || path.starts_with(u"\\\\?\\")) return path;
  std::u16string full;
  if (!GetFullPath(path, full)) return path;
  if (full.size() >= 3 && full[1] == u':' && full[2] == u'\\') return u"\\\\?\\" + full;
  if (full.starts_with(u"\\\\") && !full.starts_with(u"\\\\.\\")) return u"\\\\?\\UNC\\" + full.substr(2);
  return full;
}

// The folder part of `path` with its separator, and the file's name.
std::pair<std::u16string, std::u16string> SplitName(const std::u16string& path) {
  const size_t i = path.find_last_of(u"\\/:");
  if (i == std::u16string::npos) return {u"", path};
  return {path.substr(0, i + 1), path.substr(i + 1)};
}

bool Exists(DWORD error) { return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS; }

// The program's own file: Windows lets a running image be renamed, never written.
const std::u16string& RunningImage() {
  static const std::u16string image = ExecutablePath();
  return image;
}

class Win32FileSystem : public FileSystem {
 public:
  FsError FullPath(const std::u16string& path, std::u16string& full) override {
    if (GetFullPath(path, full)) return std::nullopt;
    if (GetLastError() != ERROR_FILE_NOT_FOUND) return LastErrorText();
    full = path;
    return std::nullopt;
  }

  std::unique_ptr<TStream> OpenExclusive(const std::u16string& path, FsError& error) override {
    ScopedFileHandle file(CreateFileW(W(ApiPath(path)), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
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
    const DWORD attributes = GetFileAttributesW(W(ApiPath(path)));
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
  }

  bool FileExists(const std::u16string& path) override {
    const DWORD attributes = GetFileAttributesW(W(ApiPath(path)));
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
  }

  std::vector<std::u16string> CreateFolders(const std::u16string& folder) override {
    std::vector<std::u16string> created;
    if (folder.empty() || FolderExists(folder)) return created;
    const std::u16string parent = ExtractFolderPart(folder);
    if (parent != folder) created = CreateFolders(parent);
    if (CreateDirectoryW(W(ApiPath(folder)), nullptr)) created.push_back(folder);
    return created;
  }

  void RemoveFolder(const std::u16string& folder) override { RemoveDirectoryW(W(ApiPath(folder))); }

  std::vector<std::u16string> ListFiles(const std::u16string& folder) override {
    std::vector<std::u16string> names;
    const std::u16string pattern = JoinPath(folder, u"*");
    WIN32_FIND_DATAW item;
    HANDLE find = FindFirstFileExW(W(ApiPath(pattern)), FindExInfoBasic, &item,
                                   FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
      if (!(item.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(FromW(item.cFileName));
    } while (FindNextFileW(find, &item));
    FindClose(find);
    return names;
  }

  FsError CheckReplaceable(const std::u16string& path) override {
    const std::u16string api = ApiPath(path);
    // Tested as such: Wine running as root would let the opening below pass.
    const DWORD attributes = GetFileAttributesW(W(api));
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
      return SysErrorMessage(ERROR_ACCESS_DENIED);
    }
    // The running updater replaces itself by renaming its file aside.
    std::u16string full;
    if (!FullPath(path, full) && CompareStringOrdinal(W(full), -1, W(RunningImage()), -1, TRUE) ==
                                     CSTR_EQUAL) {
      return std::nullopt;
    }
    // Opening for writing without sharing and without truncating fails exactly where the
    // creation would: in use by another handle, or a folder.
    ScopedFileHandle probe(CreateFileW(W(api), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (probe || GetLastError() == ERROR_FILE_NOT_FOUND) return std::nullopt;
    return LastErrorText();
  }

  std::u16string AccessDeniedText() override { return SysErrorMessage(ERROR_ACCESS_DENIED); }

  std::unique_ptr<OutputFile> CreateTempFile(const std::u16string& folder, std::u16string& tempPath,
                                             FsError& error) override {
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::u16string name = JoinPath(folder, StagedFileName(NextLeftoverNumber()));
      ScopedFileHandle file(CreateFileW(W(ApiPath(name)), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
      if (file) {
        tempPath = std::move(name);
        return std::make_unique<Win32OutputFile>(std::move(file));
      }
      if (!Exists(GetLastError())) break;
    }
    error = LastErrorText();
    return nullptr;
  }

  FsError Flush(const std::vector<std::u16string>& files) override {
    for (const std::u16string& file : files) {
      ScopedFileHandle handle(CreateFileW(W(ApiPath(file)), GENERIC_WRITE, FILE_SHARE_READ,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
      if (!handle || !FlushFileBuffers(handle.Get())) return LastErrorText();
    }
    return std::nullopt;
  }

  FsError MoveAside(const std::u16string& path, std::u16string& backupPath) override {
    const auto [folder, name] = SplitName(path);
    DWORD error = ERROR_SUCCESS;
    for (int attempt = 0; attempt < 100; ++attempt) {
      const uint32_t number = NextLeftoverNumber();
      // A name too long for the file system takes the bare suffix instead.
      for (const std::u16string& backup : {BackupFileName(name, number), BackupFileName({}, number)}) {
        if (MoveFileExW(W(ApiPath(path)), W(ApiPath(folder + backup)), 0)) {
          backupPath = folder + backup;
          return std::nullopt;
        }
        error = GetLastError();
        if (error != ERROR_FILENAME_EXCED_RANGE && error != ERROR_INVALID_NAME) break;
      }
      if (!Exists(error)) break;
    }
    return SysErrorMessage(error);
  }

  FsError Rename(const std::u16string& from, const std::u16string& to) override {
    if (!MoveFileExW(W(ApiPath(from)), W(ApiPath(to)), 0)) return LastErrorText();
    return std::nullopt;
  }

  FsError RemoveFile(const std::u16string& path) override {
    if (!DeleteFileW(W(ApiPath(path)))) return LastErrorText();
    return std::nullopt;
  }

  int64_t LocalToUtc(int64_t localSeconds) override {
    const FILETIME local = ToFileTime(localSeconds);
    FILETIME utc;
    if (!LocalFileTimeToFileTime(&local, &utc)) return localSeconds;
    return FromFileTime(utc);
  }

  void SetFileTime(const std::u16string& path, FileTimeKind kind, int64_t utcSeconds) override {
    ScopedFileHandle file(CreateFileW(W(ApiPath(path)), FILE_WRITE_ATTRIBUTES,
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
    SetFileAttributesW(W(ApiPath(path)), attributes);
  }
};

}  // namespace

std::unique_ptr<FileSystem> CreateNativeFileSystem() { return std::make_unique<Win32FileSystem>(); }

}  // namespace tallyx
