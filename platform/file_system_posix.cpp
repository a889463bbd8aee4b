// The POSIX file system of native builds. The program's Windows-style paths map to POSIX
// paths by turning every backslash into a slash. Read-only maps to the absence of write
// permission; hidden, system and creation times have no equivalent and are left alone.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <vector>

#include "base/text.h"
#include "platform/native_file_system.h"
#include "zip/waiting.h"

namespace tallyx {

namespace {

std::string ToNative(const std::u16string& path) {
  std::string native = EncodeUtf8(path);
  for (char& c : native) {
    if (c == '\\') c = '/';
  }
  return native;
}

std::u16string ErrorText(int code) { return DecodeUtf8Lenient(std::strerror(code)); }

FsResult Failure(int code) {
  FsOutcome outcome = FsOutcome::Other;
  switch (code) {
    case EBUSY:
    case ETXTBSY:
      outcome = FsOutcome::InUse;
      break;
    case EACCES:
    case EPERM:
    case EROFS:
      outcome = FsOutcome::AccessDenied;
      break;
    case ENOENT:
    case ENOTDIR:
      outcome = FsOutcome::NotFound;
      break;
    case EEXIST:
    case ENOTEMPTY:
      outcome = FsOutcome::AlreadyExists;
      break;
    case ENOSPC:
    case EDQUOT:
      outcome = FsOutcome::DiskFull;
      break;
  }
  return FsResult::Failure(outcome, ErrorText(code));
}

FsResult Outcome(int returned) { return returned == 0 ? FsResult{} : Failure(errno); }

class PosixFileStream : public TStream {
 public:
  PosixFileStream(int fd, int64_t size) : fd_(fd), size_(size) {}
  ~PosixFileStream() override { ::close(fd_); }

  size_t Read(void* buffer, size_t count) override {
    size_t done = 0;
    while (done < count) {
      const ssize_t got = ::pread(fd_, static_cast<char*>(buffer) + done, count - done, position_);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      done += static_cast<size_t>(got);
      position_ += got;
    }
    return done;
  }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override {
    position_ = SeekTarget(offset, origin, position_, size_);
    return position_;
  }
  int64_t Size() override { return size_; }

 private:
  int fd_;
  int64_t size_;
  int64_t position_ = 0;
};

class PosixOutputFile : public OutputFile {
 public:
  explicit PosixOutputFile(int fd) : fd_(fd) {}
  ~PosixOutputFile() override {
    if (fd_ >= 0) ::close(fd_);
  }
  size_t Write(const void* buffer, size_t count) override {
    size_t done = 0;
    while (done < count) {
      const ssize_t put = ::write(fd_, static_cast<const char*>(buffer) + done, count - done);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) break;
      done += static_cast<size_t>(put);
    }
    return done;
  }
  FsResult Sync() override { return Outcome(::fdatasync(fd_)); }
  // POSIX keeps no creation time.
  void SetTimes(int64_t utcSeconds) override {
    const struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(utcSeconds), 0}};
    ::futimens(fd_, times);
  }
  // Files are made durable together, by MakeDurable.
  FsResult Close() override {
    const int fd = fd_;
    fd_ = -1;
    return Outcome(::close(fd));
  }

 private:
  int fd_;
};

int RenameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  // A file system without the flag: test first, then rename.
  struct stat info;
  if (::lstat(to.c_str(), &info) == 0) {
    errno = EEXIST;
    return -1;
  }
  return ::rename(from.c_str(), to.c_str());
}

class PosixFileSystem : public FileSystem {
 public:
  FsResult FullPath(const std::u16string& path, std::u16string& full) override {
    std::string native = ToNative(path);
    if (native.empty() || native[0] != '/') {
      std::vector<char> cwd(4096);
      if (!::getcwd(cwd.data(), cwd.size())) return Failure(errno);
      native = std::string(cwd.data()) + "/" + native;
    }
    // Resolve "." and ".." and repeated separators as text, as GetFullPathNameW does.
    std::vector<std::string> segments;
    size_t start = 1;
    while (start <= native.size()) {
      size_t end = native.find('/', start);
      if (end == std::string::npos) end = native.size();
      const std::string segment = native.substr(start, end - start);
      if (segment == "..") {
        if (!segments.empty()) segments.pop_back();
      } else if (!segment.empty() && segment != ".") {
        segments.push_back(segment);
      }
      start = end + 1;
    }
    std::string result;
    for (const std::string& segment : segments) result += "/" + segment;
    if (result.empty() || (native.back() == '/')) result += "/";
    full = DecodeUtf8Lenient(result);
    return {};
  }

  std::unique_ptr<TStream> OpenExclusive(const std::u16string& path, FsResult& result) override {
    const int fd = ::open(ToNative(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      result = Failure(errno);
      return nullptr;
    }
    struct stat info;
    const int code = ::fstat(fd, &info) != 0 ? errno : S_ISDIR(info.st_mode) ? EISDIR : 0;
    if (code != 0) {
      result = Failure(code);
      ::close(fd);
      return nullptr;
    }
    result = {};
    return std::make_unique<PosixFileStream>(fd, static_cast<int64_t>(info.st_size));
  }

  bool DriveExists(const std::u16string&) override { return true; }

  bool FolderExists(const std::u16string& path) override {
    struct stat info;
    return ::stat(ToNative(path).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
  }

  bool FileExists(const std::u16string& path) override {
    struct stat info;
    return ::stat(ToNative(path).c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
  }

  std::vector<std::u16string> CreateFolders(const std::u16string& folder) override {
    std::vector<std::u16string> created;
    std::string native = ToNative(folder);
    while (native.size() > 1 && native.back() == '/') native.pop_back();
    struct stat info;
    if (native.empty() || ::stat(native.c_str(), &info) == 0) return created;
    const size_t slash = native.find_last_of('/');
    if (slash != std::string::npos && slash > 0) created = CreateFolders(DecodeUtf8Lenient(native.substr(0, slash)));
    if (::mkdir(native.c_str(), 0777) == 0) created.push_back(DecodeUtf8Lenient(native));
    return created;
  }

  FsResult RemoveFolder(const std::u16string& folder) override {
    return Outcome(::rmdir(ToNative(folder).c_str()));
  }

  FsResult CheckReplaceable(const std::u16string& path) override {
    struct stat info;
    if (::stat(ToNative(path).c_str(), &info) != 0) return errno == ENOENT ? FsResult{} : Failure(errno);
    if (S_ISDIR(info.st_mode)) return Failure(EISDIR);
    // Read-only is the absence of any write permission, whoever runs the program.
    if ((info.st_mode & 0222) == 0) return Failure(EACCES);
    return {};
  }

  std::u16string AccessDeniedText() override { return ErrorText(EACCES); }

  std::unique_ptr<OutputFile> OpenOutput(const std::u16string& path, OutputMode mode,
                                         FsResult& result) override {
    const int flags = mode == OutputMode::CreateNew ? O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC
                                                    : O_WRONLY | O_APPEND | O_CLOEXEC;
    const int fd = ::open(ToNative(path).c_str(), flags, 0666);
    if (fd < 0) {
      result = Failure(errno);
      return nullptr;
    }
    result = {};
    return std::make_unique<PosixOutputFile>(fd);
  }

  // One syncfs per file system holding the files: the same durability as a sync after
  // writing them, without waiting for each file on its own. Each folder is looked at once.
  FsResult MakeDurable(const std::vector<std::u16string>& files) override {
    std::set<std::string> folders;
    std::set<dev_t> synced;
    for (const std::u16string& file : files) {
      const std::string native = ToNative(file);
      const size_t slash = native.find_last_of('/');
      const std::string folder = slash == std::string::npos ? "." : native.substr(0, slash + 1);
      if (!folders.insert(folder).second) continue;
      const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      // A folder removed since (an undo removes the folders it made) has nothing to keep.
      if (fd < 0 && errno == ENOENT) continue;
      struct stat info;
      int code = fd < 0 || ::fstat(fd, &info) != 0 ? errno : 0;
      if (code == 0 && synced.insert(info.st_dev).second && ::syncfs(fd) != 0) code = errno;
      if (fd >= 0) ::close(fd);
      if (code != 0) return Failure(code);
    }
    return {};
  }

  FsResult SyncFolder(const std::u16string& folder) override {
    const int fd = ::open(ToNative(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return Failure(errno);
    const int code = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return code == 0 ? FsResult{} : Failure(code);
  }

  FsResult Rename(const std::u16string& from, const std::u16string& to) override {
    return Outcome(RenameNoReplace(ToNative(from), ToNative(to)));
  }

  FsResult Replace(const std::u16string& from, const std::u16string& to) override {
    return Outcome(::rename(ToNative(from).c_str(), ToNative(to).c_str()));
  }

  FsResult RemoveFile(const std::u16string& path) override {
    return Outcome(::unlink(ToNative(path).c_str()));
  }

  int64_t LocalToUtc(int64_t localSeconds) override {
    const time_t now = ::time(nullptr);
    struct tm local;
    ::localtime_r(&now, &local);
    return localSeconds - local.tm_gmtoff;
  }

  void SetFileTime(const std::u16string& path, FileTimeKind kind, int64_t utcSeconds) override {
    if (kind != FileTimeKind::LastWrite) return;
    struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(utcSeconds), 0}};
    ::utimensat(AT_FDCWD, ToNative(path).c_str(), times, 0);
  }

  void SetAttributes(const std::u16string& path, uint8_t attributes) override {
    struct stat info;
    const std::string native = ToNative(path);
    if ((attributes & 0x01) && ::stat(native.c_str(), &info) == 0) {
      ::chmod(native.c_str(), info.st_mode & 07555);
    }
  }

  void Pause(int milliseconds) override { PauseTakingTurns(milliseconds); }
};

}  // namespace

std::unique_ptr<FileSystem> CreateNativeFileSystem() { return std::make_unique<PosixFileSystem>(); }

}  // namespace tallyx
