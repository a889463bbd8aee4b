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
#include <mutex>
#include <set>
#include <shared_mutex>
#include <utility>
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
    case ELOOP:
      outcome = FsOutcome::Link;
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

// Where a path leads: a folder opened without following any link below the confining
// folder, and the last segment's name in it; or, for a path outside every confining
// folder, the path itself against the current folder.
class Place {
 public:
  Place() = default;
  Place(Place&& other) noexcept
      : folder_(std::exchange(other.folder_, AT_FDCWD)), name_(std::move(other.name_)), error_(other.error_) {}
  Place& operator=(Place&&) = delete;
  ~Place() {
    if (folder_ != AT_FDCWD) ::close(folder_);
  }
  static Place Failed(int error) {
    Place place;
    place.error_ = error;
    return place;
  }
  static Place Unconfined(std::string path) {
    Place place;
    place.name_ = std::move(path);
    return place;
  }
  static Place In(int folder, std::string name) {
    Place place;
    place.folder_ = folder;
    place.name_ = std::move(name);
    return place;
  }
  int Folder() const { return folder_; }
  const char* Name() const { return name_.c_str(); }
  // The system error that stopped the way there (ELOOP: a link), or 0.
  int Error() const { return error_; }
  bool Confined() const { return folder_ != AT_FDCWD; }

 private:
  int folder_ = AT_FDCWD;
  std::string name_;
  int error_ = 0;
};

int RenameNoReplace(const Place& from, const Place& to) {
  if (::renameat2(from.Folder(), from.Name(), to.Folder(), to.Name(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  // A file system without the flag: test first, then rename.
  struct stat info;
  if (::fstatat(to.Folder(), to.Name(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return -1;
  }
  return ::renameat(from.Folder(), from.Name(), to.Folder(), to.Name());
}

class PosixFileSystem : public FileSystem {
 public:
  void Confine(const std::u16string& folder) override {
    std::u16string full;
    if (!FullPath(folder, full).Done()) return;
    std::string native = ToNative(full);
    while (native.size() > 1 && native.back() == '/') native.pop_back();
    std::unique_lock<std::shared_mutex> lock(mutex_);
    roots_.insert(native);
  }

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
    const Place place = Reach(path);
    const int fd = place.Error() ? -1 : ::openat(place.Folder(), place.Name(), O_RDONLY | O_CLOEXEC | NoFollow(place));
    if (fd < 0) {
      result = Failure(place.Error() ? place.Error() : errno);
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

  // Below a confining folder a link is neither a folder nor missing: it is a name taken.
  bool FolderExists(const std::u16string& path) override {
    struct stat info;
    return Stat(path, info) == 0 && S_ISDIR(info.st_mode);
  }

  bool FileExists(const std::u16string& path) override {
    struct stat info;
    return Stat(path, info) == 0 && !S_ISDIR(info.st_mode);
  }

  std::vector<std::u16string> CreateFolders(const std::u16string& folder) override {
    std::vector<std::u16string> created;
    std::string native = ToNative(folder);
    while (native.size() > 1 && native.back() == '/') native.pop_back();
    struct stat info;
    if (native.empty() || Stat(DecodeUtf8Lenient(native), info) == 0) return created;
    const size_t slash = native.find_last_of('/');
    if (slash != std::string::npos && slash > 0) created = CreateFolders(DecodeUtf8Lenient(native.substr(0, slash)));
    const Place place = Reach(DecodeUtf8Lenient(native));
    if (!place.Error() && ::mkdirat(place.Folder(), place.Name(), 0777) == 0) {
      created.push_back(DecodeUtf8Lenient(native));
    }
    return created;
  }

  // A link at the folder's name is not a folder: ENOTDIR, and it stays.
  FsResult RemoveFolder(const std::u16string& folder) override {
    const Place place = Reach(folder);
    if (place.Error()) return Failure(place.Error());
    return Outcome(::unlinkat(place.Folder(), place.Name(), AT_REMOVEDIR));
  }

  FsResult CheckReplaceable(const std::u16string& path) override {
    struct stat info;
    if (Stat(path, info) != 0) return errno == ENOENT ? FsResult{} : Failure(errno);
    if (S_ISLNK(info.st_mode)) return Failure(ELOOP);
    if (S_ISDIR(info.st_mode)) return Failure(EISDIR);
    // Read-only is the absence of any write permission, whoever runs the program.
    if ((info.st_mode & 0222) == 0) return Failure(EACCES);
    return {};
  }

  std::u16string AccessDeniedText() override { return ErrorText(EACCES); }

  std::unique_ptr<OutputFile> OpenOutput(const std::u16string& path, OutputMode mode,
                                         FsResult& result) override {
    const Place place = Reach(path);
    // O_EXCL never follows a link at the name; O_NOFOLLOW refuses one for appending.
    const int flags = mode == OutputMode::CreateNew ? O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC
                                                    : O_WRONLY | O_APPEND | O_CLOEXEC | NoFollow(place);
    const int fd = place.Error() ? -1 : ::openat(place.Folder(), place.Name(), flags, 0666);
    if (fd < 0) {
      result = Failure(place.Error() ? place.Error() : errno);
      return nullptr;
    }
    // Added to in place only while it is one file under one name: another name of the
    // same file may stand anywhere on the volume.
    struct stat info;
    if (mode == OutputMode::Append && place.Confined() &&
        (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1)) {
      ::close(fd);
      result = Failure(ELOOP);
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
      const int fd = OpenFolder(DecodeUtf8Lenient(folder));
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
    const int fd = OpenFolder(folder);
    if (fd < 0) return Failure(errno);
    const int code = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return code == 0 ? FsResult{} : Failure(code);
  }

  // A link at either name is renamed or replaced as a name, never followed.
  FsResult Rename(const std::u16string& from, const std::u16string& to) override {
    const Place source = Reach(from), target = Reach(to);
    if (source.Error() || target.Error()) return Failure(source.Error() ? source.Error() : target.Error());
    return Outcome(RenameNoReplace(source, target));
  }

  FsResult Replace(const std::u16string& from, const std::u16string& to) override {
    const Place source = Reach(from), target = Reach(to);
    if (source.Error() || target.Error()) return Failure(source.Error() ? source.Error() : target.Error());
    return Outcome(::renameat(source.Folder(), source.Name(), target.Folder(), target.Name()));
  }

  FsResult RemoveFile(const std::u16string& path) override {
    const Place place = Reach(path);
    if (place.Error()) return Failure(place.Error());
    return Outcome(::unlinkat(place.Folder(), place.Name(), 0));
  }

  int64_t LocalToUtc(int64_t localSeconds) override {
    const time_t now = ::time(nullptr);
    struct tm local;
    ::localtime_r(&now, &local);
    return localSeconds - local.tm_gmtoff;
  }

  void SetFileTime(const std::u16string& path, FileTimeKind kind, int64_t utcSeconds) override {
    if (kind != FileTimeKind::LastWrite) return;
    const Place place = Reach(path);
    if (place.Error()) return;
    struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(utcSeconds), 0}};
    ::utimensat(place.Folder(), place.Name(), times, place.Confined() ? AT_SYMLINK_NOFOLLOW : 0);
  }

  void SetAttributes(const std::u16string& path, uint8_t attributes) override {
    if (!(attributes & 0x01)) return;
    // Through an opening of the file itself: chmod would follow a link at the name.
    const Place place = Reach(path);
    const int fd = place.Error() ? -1
                                 : ::openat(place.Folder(), place.Name(),
                                            O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | NoFollow(place));
    struct stat info;
    if (fd >= 0 && ::fstat(fd, &info) == 0) ::fchmod(fd, info.st_mode & 07555);
    if (fd >= 0) ::close(fd);
  }

  void Pause(int milliseconds) override { PauseTakingTurns(milliseconds); }

 private:
  static int NoFollow(const Place& place) { return place.Confined() ? O_NOFOLLOW : 0; }

  // The folder that holds `path`'s last segment, reached from the deepest confining folder
  // above it one folder at a time, none of them through a link (O_NOFOLLOW): what stands
  // at a name can be swapped for a link at any moment, but not a folder already opened.
  Place Reach(const std::u16string& path) {
    std::u16string full;
    if (!FullPath(path, full).Done()) return Place::Unconfined(ToNative(path));
    std::string native = ToNative(full);
    while (native.size() > 1 && native.back() == '/') native.pop_back();
    std::string root;
    {
      std::shared_lock<std::shared_mutex> lock(mutex_);
      for (const std::string& candidate : roots_) {
        if (candidate.size() > root.size() && native.size() > candidate.size() + 1 &&
            native.compare(0, candidate.size(), candidate) == 0 &&
            (candidate == "/" || native[candidate.size()] == '/')) {
          root = candidate;
        }
      }
    }
    if (root.empty()) return Place::Unconfined(ToNative(path));
    int folder = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return Place::Failed(errno);
    size_t start = root == "/" ? 1 : root.size() + 1;
    for (size_t end = native.find('/', start); end != std::string::npos; end = native.find('/', start)) {
      const int next = ::openat(folder, native.substr(start, end - start).c_str(),
                                O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      // ENOTDIR for a link is ELOOP: O_DIRECTORY is tested before O_NOFOLLOW on some kernels.
      int error = errno;
      struct stat info;
      if (next < 0 && error == ENOTDIR &&
          ::fstatat(folder, native.substr(start, end - start).c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISLNK(info.st_mode)) {
        error = ELOOP;
      }
      ::close(folder);
      if (next < 0) return Place::Failed(error);
      folder = next;
      start = end + 1;
    }
    return Place::In(folder, native.substr(start));
  }

  // lstat below a confining folder, stat elsewhere; -1 with errno set on failure.
  int Stat(const std::u16string& path, struct stat& info) {
    const Place place = Reach(path);
    if (place.Error()) {
      errno = place.Error();
      return -1;
    }
    return ::fstatat(place.Folder(), place.Name(), &info, place.Confined() ? AT_SYMLINK_NOFOLLOW : 0);
  }

  int OpenFolder(const std::u16string& folder) {
    const Place place = Reach(folder);
    if (place.Error()) {
      errno = place.Error();
      return -1;
    }
    return ::openat(place.Folder(), place.Name(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | NoFollow(place));
  }

  std::shared_mutex mutex_;
  std::set<std::string> roots_;
};

}  // namespace

std::unique_ptr<FileSystem> CreateNativeFileSystem() { return std::make_unique<PosixFileSystem>(); }

}  // namespace tallyx
