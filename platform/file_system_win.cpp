// The Win32 file system of the product: exclusive opening, real attributes and times.
#include <windows.h>

#include <algorithm>
#include <utility>

#include "base/win_path.h"
#include "platform/native_file_system.h"
#include "platform/os_error.h"
#include "platform/scoped_handle.h"
#include "platform/win_text.h"
#include "zip/waiting.h"

namespace tallyx {

namespace {

// Windows reports a file that is being deleted, and will be gone once the last handle
// on it closes, as access denied; only the thread's last NTSTATUS tells it apart.
bool LastFailureWasDeletePending() {
  using GetLastNtStatus = LONG(WINAPI*)();
  static const auto get = reinterpret_cast<GetLastNtStatus>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetLastNtStatus")));
  constexpr LONG kStatusDeletePending = static_cast<LONG>(0xC0000056);
  return get && get() == kStatusDeletePending;
}

FsResult Failure(DWORD code) {
  FsOutcome outcome = FsOutcome::Other;
  switch (code) {
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_DELETE_PENDING:
      outcome = FsOutcome::InUse;
      break;
    case ERROR_ACCESS_DENIED:
      outcome = LastFailureWasDeletePending() ? FsOutcome::InUse : FsOutcome::AccessDenied;
      break;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      outcome = FsOutcome::NotFound;
      break;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      outcome = FsOutcome::AlreadyExists;
      break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      outcome = FsOutcome::DiskFull;
      break;
  }
  return FsResult::Failure(outcome, SysErrorMessage(code));
}

FsResult LastFailure() { return Failure(GetLastError()); }
FsResult Outcome(BOOL succeeded) { return succeeded ? FsResult{} : LastFailure(); }

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

constexpr int64_t kUnixEpochAsFileTime = 11644473600LL;  // seconds from 1601 to 1970

FILETIME ToFileTime(int64_t unixSeconds) {
  const uint64_t ticks = static_cast<uint64_t>(unixSeconds + kUnixEpochAsFileTime) * 10000000ULL;
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

class Win32OutputFile : public OutputFile {
 public:
  explicit Win32OutputFile(ScopedFileHandle file) : file_(std::move(file)) {}
  FsResult Sync() override { return Outcome(FlushFileBuffers(file_.Get())); }
  // Through the handle that wrote the file: no second opening, which a scanner that has
  // just opened the file would refuse. Times set explicitly on a handle are the ones the
  // file keeps when it closes: writes made before do not change them afterwards.
  void SetTimes(int64_t utcSeconds) override {
    const FILETIME time = ToFileTime(utcSeconds);
    ::SetFileTime(file_.Get(), &time, nullptr, &time);
  }
  // Flushed through the handle that wrote it: opening the file again to flush it would
  // collide with a scanner that has just opened it.
  FsResult Close() override {
    const FsResult synced = Sync();
    const BOOL closed = CloseHandle(file_.Release());
    return synced.Done() ? Outcome(closed) : synced;
  }
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

class Win32FileSystem : public FileSystem {
 public:
  FsResult FullPath(const std::u16string& path, std::u16string& full) override {
    if (GetFullPath(path, full)) return {};
    if (GetLastError() != ERROR_FILE_NOT_FOUND) return LastFailure();
    full = path;
    return {};
  }

  // No sharing at all: while this handle is open no other opener, this process included,
  // can open the file, so nobody can write, delete or rename it (no FILE_SHARE_DELETE)
  // and every read sees the bytes of the opening.
  std::unique_ptr<TStream> OpenExclusive(const std::u16string& path, FsResult& result) override {
    ScopedFileHandle file(CreateFileW(W(ApiPath(path)), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size;
    if (!file || !GetFileSizeEx(file.Get(), &size)) {
      result = LastFailure();
      return nullptr;
    }
    result = {};
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

  FsResult RemoveFolder(const std::u16string& folder) override {
    return Outcome(RemoveDirectoryW(W(ApiPath(folder))));
  }

  FsResult CheckReplaceable(const std::u16string& path) override {
    // Tested as such: Wine running as root would let a write pass.
    const DWORD attributes = GetFileAttributesW(W(ApiPath(path)));
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY))) {
      return Failure(ERROR_ACCESS_DENIED);
    }
    return {};
  }

  std::u16string AccessDeniedText() override { return SysErrorMessage(ERROR_ACCESS_DENIED); }

  std::unique_ptr<OutputFile> OpenOutput(const std::u16string& path, OutputMode mode,
                                         FsResult& result) override {
    ScopedFileHandle file(CreateFileW(W(ApiPath(path)), GENERIC_WRITE, 0, nullptr,
                                      mode == OutputMode::CreateNew ? CREATE_NEW : OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file || (mode == OutputMode::Append &&
                  !SetFilePointerEx(file.Get(), LARGE_INTEGER{}, nullptr, FILE_END))) {
      result = LastFailure();
      return nullptr;
    }
    result = {};
    return std::make_unique<Win32OutputFile>(std::move(file));
  }

  // Each file was flushed as it was closed.
  FsResult MakeDurable(const std::vector<std::u16string>&) override { return {}; }

  // NTFS writes every change of names to its log, in order; a write-through rename (below)
  // makes the log durable up to itself, and so every name change before it. (A folder
  // cannot be flushed on its own: FlushFileBuffers wants a file or a volume.)
  FsResult SyncFolder(const std::u16string&) override { return {}; }

  // MoveFileExW without MOVEFILE_REPLACE_EXISTING: it never replaces a file, and it moves
  // running programs and loaded libraries, whose images Windows holds with delete sharing.
  // MOVEFILE_WRITE_THROUGH: the call returns once the move is on the disk, so a power cut
  // after it never finds a step of the installation undone behind the journal's back.
  FsResult Rename(const std::u16string& from, const std::u16string& to) override {
    return Outcome(MoveFileExW(W(ApiPath(from)), W(ApiPath(to)), MOVEFILE_WRITE_THROUGH));
  }

  FsResult Replace(const std::u16string& from, const std::u16string& to) override {
    return Outcome(MoveFileExW(W(ApiPath(from)), W(ApiPath(to)),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
  }

  FsResult RemoveFile(const std::u16string& path) override {
    return Outcome(DeleteFileW(W(ApiPath(path))));
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

  // A pause of the window's thread takes the window's messages (zip/waiting.h).
  void Pause(int milliseconds) override { PauseTakingTurns(milliseconds); }
};

}  // namespace

std::unique_ptr<FileSystem> CreateNativeFileSystem() { return std::make_unique<Win32FileSystem>(); }

}  // namespace tallyx
