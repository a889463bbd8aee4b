// The Win32 file system of the product: exclusive opening, real attributes and times.
#include <windows.h>

#include <algorithm>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "base/win_path.h"
#include "platform/native_file_system.h"
#include "platform/os_error.h"
#include "platform/plain_file_win.h"
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

// ERROR_STOPPED_ON_SYMLINK, "The create operation stopped after reaching a symbolic link":
// the system's own words for a link met where none may be followed.
constexpr DWORD kStoppedOnLink = 681;
FsResult LinkFailure() { return FsResult::Failure(FsOutcome::Link, SysErrorMessage(kStoppedOnLink)); }

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

// `path` without the \\?\ (or \\?\UNC\) prefix that GetFinalPathNameByHandleW puts before it.
std::u16string WithoutApiPrefix(std::u16string path) {
  if (path.starts_with(u"\\\\?\\UNC\\")) return u"\\\\" + path.substr(8);
  if (path.starts_with(u"\\\\?\\")) return path.substr(4);
  return path;
}

// `path` without its drive ("C:") or UNC share ("\\\\server\\share").
std::u16string_view WithinVolume(std::u16string_view path) {
  if (path.size() >= 2 && path[1] == u':') return path.substr(2);
  if (!path.starts_with(u"\\\\")) return path;
  const size_t share = path.find(u'\\', 2);
  const size_t rest = share == std::u16string_view::npos ? share : path.find(u'\\', share + 1);
  return rest == std::u16string_view::npos ? std::u16string_view() : path.substr(rest);
}

// Where the file or folder of `handle` really is: the path that the system reached it by,
// after every junction, symbolic link and mount point on the way. (Wine shows a symbolic
// link of the Unix side as the file or folder it points to, without the reparse-point
// attribute; its final path is still the link's target.)
std::optional<std::u16string> FinalPath(HANDLE handle) {
  std::u16string buffer(MAX_PATH, u'\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    const DWORD length = GetFinalPathNameByHandleW(handle, W(buffer), static_cast<DWORD>(buffer.size()),
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) return std::nullopt;
    if (length < buffer.size()) {
      buffer.resize(length);
      return WithoutApiPrefix(std::move(buffer));
    }
    // Too small: `length` is what it takes, the terminating NUL included.
    buffer.resize(length);
  }
  return std::nullopt;
}

// Whether `handle`, opened with FILE_FLAG_OPEN_REPARSE_POINT, is a plain file or folder
// found at `expected` (the final path it must have): not itself a reparse point, and
// reached through none. Names are compared as NTFS compares them.
FsResult CheckReached(HANDLE handle, const std::u16string& expected, bool oneName = false) {
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof(tag))) return LastFailure();
  if (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return LinkFailure();
  if (const std::optional<std::u16string> final = FinalPath(handle)) {
    if (PathKey(*final) != PathKey(expected)) return LinkFailure();
  } else {
    // Wine 8 gives no final path longer than MAX_PATH (ERROR_MORE_DATA whatever the
    // buffer); the name within the volume, which the file system also reports after every
    // link on the way, tells the same.
    std::vector<char> buffer(sizeof(FILE_NAME_INFO) + 65536);
    auto* name = reinterpret_cast<FILE_NAME_INFO*>(buffer.data());
    if (!GetFileInformationByHandleEx(handle, FileNameInfo, name, static_cast<DWORD>(buffer.size()))) {
      return LastFailure();
    }
    const std::u16string within(reinterpret_cast<const char16_t*>(name->FileName),
                                name->FileNameLength / sizeof(wchar_t));
    if (PathKey(within) != PathKey(WithinVolume(expected))) return LinkFailure();
  }
  if (oneName) {
    // Another name of the same file (a hard link) may stand anywhere on the volume.
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(handle, &information)) return LastFailure();
    if (information.nNumberOfLinks != 1) return LinkFailure();
  }
  return {};
}

// Below a confining folder every operation holds the folder of the name it works on,
// opened without following a reparse point and checked to be a plain folder at its own
// place, for as long as it works there: a folder held without FILE_SHARE_DELETE cannot be
// renamed or deleted, so it cannot be swapped for a junction meanwhile, nor can any folder
// above it (Windows renames no folder that has a file or folder open below it). A file or
// folder opened at the name itself is opened with FILE_FLAG_OPEN_REPARSE_POINT and checked
// the same way; MoveFileExW, DeleteFileW and RemoveDirectoryW act on a link at the name
// itself, never on what it points to (Microsoft's documentation of each). What is created
// is checked once made, through its handle: an empty folder can still be made a junction
// in place while it is held, and a file created through it is deleted again.
class Win32FileSystem : public FileSystem {
 public:
  void Confine(const std::u16string& folder) override {
    std::u16string full;
    if (!GetFullPath(folder, full)) return;
    while (full.size() > 3 && full.back() == u'\\') full.pop_back();
    std::unique_lock<std::shared_mutex> lock(mutex_);
    roots_.push_back({full, {}});
  }

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
    const Held held = Hold(path);
    if (!held.result.Done()) {
      result = held.result;
      return nullptr;
    }
    ScopedFileHandle file(CreateFileW(W(ApiPath(path)), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL | ReparseFlag(held), nullptr));
    LARGE_INTEGER size;
    if (!file || !GetFileSizeEx(file.Get(), &size)) {
      result = LastFailure();
      return nullptr;
    }
    if (held.expected && !(result = CheckReached(file.Get(), *held.expected)).Done()) return nullptr;
    result = {};
    return std::make_unique<Win32FileStream>(std::move(file), size.QuadPart);
  }

  bool DriveExists(const std::u16string& fullPath) override {
    if (fullPath.size() < 2 || fullPath[1] != u':') return true;  // UNC and device paths
    const std::u16string root = fullPath.substr(0, 2) + u"\\";
    return GetDriveTypeW(W(root)) != DRIVE_NO_ROOT_DIR;
  }

  // GetFileAttributesW looks at a link at the name itself: a junction is no folder here,
  // and any link is a name taken.
  bool FolderExists(const std::u16string& path) override {
    const DWORD attributes = GetFileAttributesW(W(ApiPath(path)));
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !((attributes & FILE_ATTRIBUTE_REPARSE_POINT) && Locate(path));
  }

  bool FileExists(const std::u16string& path) override {
    const DWORD attributes = GetFileAttributesW(W(ApiPath(path)));
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    return !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
           ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) && Locate(path));
  }

  std::vector<std::u16string> CreateFolders(const std::u16string& folder) override {
    std::vector<std::u16string> created;
    if (folder.empty() || FolderExists(folder)) return created;
    const std::u16string parent = ExtractFolderPart(folder);
    if (parent != folder) created = CreateFolders(parent);
    const Held held = Hold(folder);
    if (held.result.Done() && CreateDirectoryW(W(ApiPath(folder)), nullptr)) {
      if (!held.expected || Reached(folder, *held.expected).Done()) {
        created.push_back(folder);
      } else {
        RemoveDirectoryW(W(ApiPath(folder)));
      }
    }
    return created;
  }

  FsResult RemoveFolder(const std::u16string& folder) override {
    const Held held = Hold(folder);
    if (!held.result.Done()) return held.result;
    if (held.expected) {
      // A link where a folder of ours was is left as it is.
      if (const FsResult reached = Reached(folder, *held.expected); !reached.Done()) return reached;
    }
    return Outcome(RemoveDirectoryW(W(ApiPath(folder))));
  }

  FsResult CheckReplaceable(const std::u16string& path) override {
    const Held held = Hold(path);
    if (!held.result.Done()) return held.result;
    // Tested as such: Wine running as root would let a write pass.
    const DWORD attributes = GetFileAttributesW(W(ApiPath(path)));
    if (attributes == INVALID_FILE_ATTRIBUTES) return {};
    if (held.expected) {
      if (const FsResult reached = Reached(path, *held.expected); !reached.Done()) {
        return reached.outcome == FsOutcome::NotFound ? FsResult{} : reached;
      }
    }
    if (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) {
      return Failure(ERROR_ACCESS_DENIED);
    }
    return {};
  }

  std::u16string AccessDeniedText() override { return SysErrorMessage(ERROR_ACCESS_DENIED); }

  std::unique_ptr<OutputFile> OpenOutput(const std::u16string& path, OutputMode mode,
                                         FsResult& result) override {
    const Held held = Hold(path);
    if (!held.result.Done()) {
      result = held.result;
      return nullptr;
    }
    const bool create = mode == OutputMode::CreateNew;
    // DELETE, so that a file that turns out to have been made through a link can go again.
    ScopedFileHandle file(CreateFileW(W(ApiPath(path)), GENERIC_WRITE | (create && held.expected ? DELETE : 0),
                                      0, nullptr, create ? CREATE_NEW : OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL | ReparseFlag(held), nullptr));
    if (!file) {
      result = LastFailure();
      return nullptr;
    }
    if (held.expected) {
      // Added to only while it is one file under one name, at its own place.
      if (result = CheckReached(file.Get(), *held.expected, !create); !result.Done()) {
        if (create) {
          FILE_DISPOSITION_INFO remove{TRUE};
          SetFileInformationByHandle(file.Get(), FileDispositionInfo, &remove, sizeof(remove));
        }
        return nullptr;
      }
    }
    if (mode == OutputMode::Append && !SetFilePointerEx(file.Get(), LARGE_INTEGER{}, nullptr, FILE_END)) {
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
    return Move(from, to, MOVEFILE_WRITE_THROUGH);
  }

  FsResult Replace(const std::u16string& from, const std::u16string& to) override {
    return Move(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  }

  FsResult RemoveFile(const std::u16string& path) override {
    const Held held = Hold(path);
    if (!held.result.Done()) return held.result;
    return Outcome(DeleteFileW(W(ApiPath(path))));
  }

  int64_t LocalToUtc(int64_t localSeconds) override {
    const FILETIME local = ToFileTime(localSeconds);
    FILETIME utc;
    if (!LocalFileTimeToFileTime(&local, &utc)) return localSeconds;
    return FromFileTime(utc);
  }

  void SetFileTime(const std::u16string& path, FileTimeKind kind, int64_t utcSeconds) override {
    const Held held = Hold(path);
    ScopedFileHandle file = OpenAttributes(path, held);
    if (!file) return;
    const FILETIME time = ToFileTime(utcSeconds);
    if (kind == FileTimeKind::Creation) {
      ::SetFileTime(file.Get(), &time, nullptr, nullptr);
    } else {
      ::SetFileTime(file.Get(), nullptr, nullptr, &time);
    }
  }

  void SetAttributes(const std::u16string& path, uint8_t attributes) override {
    const Held held = Hold(path);
    if (!held.expected) {
      SetFileAttributesW(W(ApiPath(path)), attributes);
      return;
    }
    // Through a handle of the file itself: SetFileAttributesW would follow a link at the
    // name. Zero in FILE_BASIC_INFO leaves the attributes alone, where SetFileAttributesW
    // makes them normal; the bits it takes are those that a file may be given.
    ScopedFileHandle file = OpenAttributes(path, held);
    if (!file) return;
    constexpr DWORD kSettable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL;
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = attributes & kSettable;
    if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    SetFileInformationByHandle(file.Get(), FileBasicInfo, &basic, sizeof(basic));
  }

  // A pause of the window's thread takes the window's messages (zip/waiting.h).
  void Pause(int milliseconds) override { PauseTakingTurns(milliseconds); }

 private:
  struct Root {
    std::u16string full;   // as GetFullPathNameW gives it
    std::u16string final;  // where it really is, once it exists
  };
  // The folder that holds a path below a confining folder, opened and checked, and the
  // final path that the name itself must then have.
  struct Held {
    FsResult result;
    std::optional<std::u16string> expected;
    ScopedFileHandle folder;
  };

  static DWORD ReparseFlag(const Held& held) { return held.expected ? FILE_FLAG_OPEN_REPARSE_POINT : 0; }

  // A path below a confining folder: its absolute form, the final path it must have, and
  // whether its folder is below the confining folder too (or is that folder).
  struct Located {
    std::u16string full;
    std::u16string expected;
    bool folderBelow = false;
  };

  std::optional<Located> Locate(const std::u16string& path) {
    std::u16string full;
    if (!GetFullPath(path, full)) return std::nullopt;
    const std::u16string key = PathKey(full);
    std::unique_lock<std::shared_mutex> lock(mutex_);
    Root* root = nullptr;
    for (Root& candidate : roots_) {
      const std::u16string rootKey = PathKey(candidate.full);
      const size_t length = rootKey.size();
      const bool below = key.size() > length + 1 && key.starts_with(rootKey) &&
                         (rootKey.back() == u'\\' || key[length] == u'\\');
      if (below && (!root || candidate.full.size() > root->full.size())) root = &candidate;
    }
    if (!root) return std::nullopt;
    const bool folderBelow = ExtractFolderPart(full).size() > root->full.size();
    if (root->final.empty()) {
      // The folder itself is taken as given, links and all.
      const ScopedFileHandle folder(CreateFileW(W(ApiPath(root->full)), FILE_READ_ATTRIBUTES,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
      const std::optional<std::u16string> final = folder ? FinalPath(folder.Get()) : std::nullopt;
      // Not there yet: nothing below it is either.
      if (!final) return Located{full, full, folderBelow};
      root->final = *final;
      while (root->final.size() > 3 && root->final.back() == u'\\') root->final.pop_back();
    }
    std::u16string rest = full.substr(root->full.size());
    if (!rest.starts_with(u'\\') && !root->final.ends_with(u'\\')) rest.insert(0, 1, u'\\');
    return Located{full, root->final + rest, folderBelow};
  }

  Held Hold(const std::u16string& path) {
    Held held;
    const std::optional<Located> located = Locate(path);
    if (!located) return held;
    held.expected = located->expected;
    if (!located->folderBelow) return held;  // in the confining folder itself
    const std::u16string parent = ExtractFolderPart(located->full);
    const std::u16string expectedParent = located->expected.substr(0, located->expected.find_last_of(u'\\'));
    // No FILE_SHARE_DELETE: nobody renames or deletes it while it is held. Reading and
    // writing stay shared: a rename into the folder opens it for writing.
    held.folder.Reset(CreateFileW(W(ApiPath(parent)), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    held.result = held.folder ? CheckReached(held.folder.Get(), expectedParent) : LastFailure();
    return held;
  }

  // Opens the file or folder at `path` as it is, link or not, and checks that it is a plain
  // one at its own place.
  FsResult Reached(const std::u16string& path, const std::u16string& expected) {
    const ScopedFileHandle file(CreateFileW(W(ApiPath(path)), FILE_READ_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING,
                                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) return LastFailure();
    return CheckReached(file.Get(), expected);
  }

  ScopedFileHandle OpenAttributes(const std::u16string& path, const Held& held) {
    if (!held.result.Done()) return ScopedFileHandle();
    ScopedFileHandle file(CreateFileW(W(ApiPath(path)), FILE_WRITE_ATTRIBUTES | FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | ReparseFlag(held), nullptr));
    if (file && held.expected && !CheckReached(file.Get(), *held.expected).Done()) file.Reset();
    return file;
  }

  FsResult Move(const std::u16string& from, const std::u16string& to, DWORD flags) {
    const Held source = Hold(from);
    if (!source.result.Done()) return source.result;
    // The transaction's moves stay in one folder, which the first hold already holds.
    const Held target = ExtractFolderPart(from) == ExtractFolderPart(to) ? Held{} : Hold(to);
    if (!target.result.Done()) return target.result;
    return Outcome(MoveFileExW(W(ApiPath(from)), W(ApiPath(to)), flags));
  }

  std::shared_mutex mutex_;
  std::vector<Root> roots_;
};

}  // namespace

bool IsPlainFileAt(HANDLE file, const std::u16string& path) {
  std::u16string full;
  if (!GetFullPath(path, full)) return false;
  // The folder is taken as it is, as a confining folder is.
  const ScopedFileHandle folder(CreateFileW(W(ApiPath(ExtractFolderPart(full))), FILE_READ_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!folder) return false;
  const std::optional<std::u16string> place = FinalPath(folder.Get());
  std::u16string expected = place ? *place : ExtractFolderPart(full);
  if (!expected.ends_with(u'\\')) expected += u'\\';
  return CheckReached(file, expected + std::u16string(FilePart(full)), true).Done();
}

ScopedFileHandle OpenPlainForWriting(const std::u16string& path, long long keep, bool& kept) {
  kept = false;
  const auto open = [&](DWORD disposition) {
    return ScopedFileHandle(CreateFileW(W(ApiPath(path)), GENERIC_WRITE, FILE_SHARE_READ, nullptr, disposition,
                                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  };
  // CREATE_NEW makes a file of its own, whatever stands at the name.
  ScopedFileHandle file = open(CREATE_NEW);
  if (file || GetLastError() != ERROR_FILE_EXISTS) return file;
  file = open(OPEN_EXISTING);
  if (file && IsPlainFileAt(file.Get(), path)) {
    LARGE_INTEGER end{};
    end.QuadPart = keep;
    if (!SetFilePointerEx(file.Get(), end, nullptr, FILE_BEGIN) || !SetEndOfFile(file.Get())) file.Reset();
    kept = file.IsValid();
    return file;
  }
  // DeleteFileW removes a link itself, and one name of a file with several.
  file.Reset();
  if (!DeleteFileW(W(ApiPath(path)))) return file;
  return open(CREATE_NEW);
}

std::unique_ptr<FileSystem> CreateNativeFileSystem() { return std::make_unique<Win32FileSystem>(); }

}  // namespace tallyx
