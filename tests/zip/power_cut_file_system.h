#pragma once
// A power cut, modelled over the platform's file system.
//
// The model follows SQLite's crash tests: at a crash, what the program had asked for but
// never made durable is lost (SQLite also scrambles it). Here the two halves of a file
// system's state are kept apart, for every file and folder under one root folder:
// - the state the program sees: the real folder, changed by every call as usual;
// - what a cut would leave: data and names that reached the disk, tracked beside it.
// The N-th call that changes anything (create, write, sync, close, flush, folder and name
// changes) is refused as a cut (throws PowerCut), and so is every call after it. AfterCut
// then says what the folder holds when the machine comes back, and Rewrite puts that
// into the real folder for the next run to find. Times and attributes are not modelled.
//
// Data. A file's bytes become durable through OutputFile::Sync; on NTFS also through
// Close (the Win32 backend flushes a file as it closes it); on POSIX also through
// FileSystem::MakeDurable (the backend calls syncfs: every file's data and every name).
// Bytes written and not durable read back, after the cut, either as zeros up to the size
// the file had (NTFS shows zeros up to the recorded size, and so does ext4 when the size
// was logged without the blocks) or not at all, the file cut back to its durable length
// (ext4 with delayed allocation). Files are only ever created or appended to, so what is
// durable is always a prefix of what was written. We never scramble the lost bytes as
// SQLite does: neither NTFS nor ext4 in its ordered mode shows another file's old blocks.
//
// Names (file create, rename, replace, remove; folder create and remove). On POSIX a
// name change is durable once its folder is flushed (SyncFolder, for that folder's own
// entries) or by MakeDurable (everything); fdatasync of a file does not make its name
// durable. A folder whose own name did not survive takes its entries with it. On NTFS
// every name change goes to one log, in order, so a cut keeps a prefix of them: Rename
// and Replace are write-through (MOVEFILE_WRITE_THROUGH) and make every change up to and
// including themselves durable; a file's Sync or flushing Close makes the log durable up
// to that point too. AfterCut takes how much of the name changes made since the last
// durable point survive, from none (0) to all (1); on NTFS a fraction in between keeps
// that part of the log past its durable point. On POSIX a fraction in between is ext4's
// case: its journal commits name changes in order, on any fsync and every few seconds on
// its own, so from the last flush (of a folder, or syncfs) any prefix of the later changes
// may survive.
//
// Files are tracked by identity, like inodes: a created file gets a number, which renames
// carry, so the durability of its data follows it to its new name. Only paths under the
// root are modelled; anything else (the archive being read) passes through untouched.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/text.h"
#include "tests/zip/scratch.h"
#include "zip/file_system.h"

namespace tallyx::testing {

// Thrown at the call that the cut stops, and at every call after it.
struct PowerCut {};

enum class CutMode { Posix, Ntfs };
enum class LostData { Zeros, DurableLength };

// Relative paths with '/' separators, folders ending with '/': file bytes, or "" for a
// folder.
using FolderTree = std::map<std::string, std::string>;

// Safe from several threads: each call, with the model's change it makes, is taken whole
// under one lock, so the model sees the calls in one order, as the disk would.
class PowerCutFileSystem : public FileSystem {
 public:
  PowerCutFileSystem(FileSystem& real, const std::filesystem::path& root, CutMode mode)
      : real_(real), root_(Normalized(root.u16string())), mode_(mode) {
    for (const auto& item : std::filesystem::recursive_directory_iterator(root)) {
      const std::u8string relative = std::filesystem::relative(item.path(), root).generic_u8string();
      const std::string key(relative.begin(), relative.end());
      const int id = NewFile(item.is_directory() ? "" : ReadBytes(item.path()));
      files_[id].folder = item.is_directory();
      files_[id].durable = files_[id].written;
      initial_[key] = id;
    }
    durable_ = initial_;
    names_ = initial_;
  }

  int cutAt = 0;  // 1-based number of the changing call the cut stops; 0: never

  bool WasCut() const { return cut_; }
  int Changes() const { return changes_; }
  // The call the cut stopped, as "rename a -> b".
  const std::string& CutCall() const { return cutCall_; }

  // What the root folder holds after the cut.
  FolderTree AfterCut(double names, LostData data) const {
    const Lock lock(mutex_);
    Namespace surviving;
    const size_t all = log_.size();
    if (names <= 0 && mode_ == CutMode::Posix) {
      surviving = durable_;
    } else {
      const size_t extra = static_cast<size_t>(std::floor(std::min(names, 1.0) * static_cast<double>(all - logDurable_)));
      surviving = Replay(logDurable_ + extra);
    }
    FolderTree tree;
    for (const auto& [key, id] : surviving) {
      // An entry in a folder whose own name was lost is lost with it.
      bool reachable = true;
      for (std::string parent = Parent(key); !parent.empty(); parent = Parent(parent)) {
        const auto found = surviving.find(parent);
        reachable = reachable && found != surviving.end() && files_.at(found->second).folder;
      }
      if (!reachable) continue;
      const File& file = files_.at(id);
      if (file.folder) {
        tree[key + "/"] = "";
        continue;
      }
      std::string bytes = file.durable;
      if (data == LostData::Zeros) bytes.resize(file.written.size(), '\0');
      tree[key] = bytes;
    }
    return tree;
  }

  FsResult FullPath(const std::u16string& path, std::u16string& full) override {
    const Lock lock(mutex_);
    Alive();
    return real_.FullPath(path, full);
  }
  std::unique_ptr<TStream> OpenExclusive(const std::u16string& path, FsResult& result) override {
    const Lock lock(mutex_);
    Alive();
    return real_.OpenExclusive(path, result);
  }
  bool DriveExists(const std::u16string& path) override {
    const Lock lock(mutex_);
    return Alive(), real_.DriveExists(path);
  }
  bool FolderExists(const std::u16string& path) override {
    const Lock lock(mutex_);
    return Alive(), real_.FolderExists(path);
  }
  bool FileExists(const std::u16string& path) override {
    const Lock lock(mutex_);
    return Alive(), real_.FileExists(path);
  }
  std::vector<std::u16string> CreateFolders(const std::u16string& folder) override {
    const Lock lock(mutex_);
    Change("create folders " + Key(folder).value_or("(outside)"));
    std::vector<std::u16string> created = real_.CreateFolders(folder);
    for (const std::u16string& made : created) {
      if (const auto key = Key(made)) {
        const int id = NewFile("");
        files_[id].folder = true;
        NameChange({{*key, id}});
      }
    }
    return created;
  }
  FsResult RemoveFolder(const std::u16string& folder) override {
    const Lock lock(mutex_);
    const auto key = Key(folder);
    Change("remove folder " + key.value_or("(outside)"));
    FsResult result = real_.RemoveFolder(folder);
    if (result.Done() && key) NameChange({{*key, std::nullopt}});
    return result;
  }
  FsResult CheckReplaceable(const std::u16string& path) override {
    const Lock lock(mutex_);
    Alive();
    return real_.CheckReplaceable(path);
  }
  std::u16string AccessDeniedText() override { return real_.AccessDeniedText(); }
  std::unique_ptr<OutputFile> OpenOutput(const std::u16string& path, OutputMode mode,
                                         FsResult& result) override {
    const Lock lock(mutex_);
    const auto key = Key(path);
    Change((mode == OutputMode::CreateNew ? "create " : "open to append ") + key.value_or("(outside)"));
    std::unique_ptr<OutputFile> file = real_.OpenOutput(path, mode, result);
    if (!file || !key) return file;
    int id;
    if (mode == OutputMode::CreateNew) {
      id = NewFile("");
      NameChange({{*key, id}});
    } else {
      id = real().at(*key);
    }
    return std::make_unique<Output>(*this, std::move(file), id);
  }
  // The real flushes are left out: the model decides what they make durable, and a
  // flush per call would make a sweep of every cut point far too slow.
  FsResult MakeDurable(const std::vector<std::u16string>& files) override {
    const Lock lock(mutex_);
    Change("make durable " + std::to_string(files.size()) + " files");
    if (mode_ == CutMode::Posix) {
      durable_ = real();
      logDurable_ = log_.size();
      for (auto& [id, file] : files_) file.durable = file.written;
    }
    return {};
  }
  FsResult SyncFolder(const std::u16string& folder) override {
    const Lock lock(mutex_);
    const auto key = Key(folder);
    Change("sync folder " + key.value_or("(outside)"));
    if (mode_ == CutMode::Posix && key) {
      const auto inFolder = [&](const std::string& name) { return Parent(name) == *key; };
      std::erase_if(durable_, [&](const auto& entry) { return inFolder(entry.first); });
      for (const auto& [name, id] : real()) {
        if (inFolder(name)) durable_[name] = id;
      }
      logDurable_ = log_.size();
    }
    return {};
  }
  FsResult Rename(const std::u16string& from, const std::u16string& to) override {
    const Lock lock(mutex_);
    return Move(from, to, false);
  }
  FsResult Replace(const std::u16string& from, const std::u16string& to) override {
    const Lock lock(mutex_);
    return Move(from, to, true);
  }
  FsResult RemoveFile(const std::u16string& path) override {
    const Lock lock(mutex_);
    const auto key = Key(path);
    Change("remove " + key.value_or("(outside)"));
    FsResult result = real_.RemoveFile(path);
    if (result.Done() && key) NameChange({{*key, std::nullopt}});
    return result;
  }
  int64_t LocalToUtc(int64_t localSeconds) override { return real_.LocalToUtc(localSeconds); }
  void SetFileTime(const std::u16string& path, FileTimeKind kind, int64_t utcSeconds) override {
    const Lock lock(mutex_);
    Alive();
    real_.SetFileTime(path, kind, utcSeconds);
  }
  void SetAttributes(const std::u16string& path, uint8_t attributes) override {
    const Lock lock(mutex_);
    Alive();
    real_.SetAttributes(path, attributes);
  }
  void Pause(int) override { Alive(); }

 private:
  using Namespace = std::map<std::string, int>;  // relative path -> file identity
  // One name change: paths that get a file (or lose theirs, with nullopt), all at once.
  using NameOp = std::vector<std::pair<std::string, std::optional<int>>>;
  struct File {
    bool folder = false;
    std::string written;  // what the program wrote
    std::string durable;  // the prefix of it that reached the disk
  };

  class Output : public OutputFile {
   public:
    Output(PowerCutFileSystem& owner, std::unique_ptr<OutputFile> file, int id)
        : owner_(owner), file_(std::move(file)), id_(id) {}
    size_t Write(const void* buffer, size_t count) override {
      const Lock lock(owner_.mutex_);
      owner_.Change("write " + std::to_string(count) + " bytes to file #" + std::to_string(id_));
      const size_t taken = file_->Write(buffer, count);
      owner_.files_[id_].written.append(static_cast<const char*>(buffer), taken);
      return taken;
    }
    FsResult Sync() override {
      const Lock lock(owner_.mutex_);
      owner_.Change("sync file #" + std::to_string(id_));
      owner_.Flushed(id_);
      return {};
    }
    void SetTimes(int64_t utcSeconds) override {
      const Lock lock(owner_.mutex_);
      owner_.Alive();
      file_->SetTimes(utcSeconds);
    }
    FsResult Close() override {
      const Lock lock(owner_.mutex_);
      owner_.Change("close file #" + std::to_string(id_));
      FsResult result = file_->Close();
      if (owner_.mode_ == CutMode::Ntfs && result.Done()) owner_.Flushed(id_);
      return result;
    }

   private:
    PowerCutFileSystem& owner_;
    std::unique_ptr<OutputFile> file_;
    int id_;
  };

  static std::u16string Normalized(std::u16string path) {
    std::replace(path.begin(), path.end(), u'\\', u'/');
    while (path.size() > 1 && path.back() == u'/') path.pop_back();
    return path;
  }
  // The path relative to the root, or nothing when it lies outside.
  std::optional<std::string> Key(const std::u16string& path) const {
    const std::u16string normal = Normalized(path);
    if (normal == root_) return std::string();
    if (normal.size() <= root_.size() || normal.compare(0, root_.size(), root_) != 0 ||
        normal[root_.size()] != u'/') {
      return std::nullopt;
    }
    return EncodeUtf8(normal.substr(root_.size() + 1));
  }
  static std::string Parent(const std::string& key) {
    const size_t slash = key.find_last_of('/');
    return slash == std::string::npos ? std::string() : key.substr(0, slash);
  }

  void Alive() const {
    if (cut_) throw PowerCut{};
  }
  void Change(std::string call) {
    Alive();
    if (++changes_ == cutAt) {
      cut_ = true;
      cutCall_ = std::move(call);
      throw PowerCut{};
    }
  }
  int NewFile(std::string bytes) {
    const int id = nextId_++;
    files_[id].written = std::move(bytes);
    return id;
  }
  void NameChange(NameOp op) {
    Apply(names_, op);
    log_.push_back(std::move(op));
  }
  static void Apply(Namespace& names, const NameOp& op) {
    for (const auto& [key, id] : op) {
      if (id) {
        names[key] = *id;
      } else {
        names.erase(key);
      }
    }
  }
  // The names as the program sees them now.
  const Namespace& real() const { return names_; }
  Namespace Replay(size_t count) const {
    Namespace names = initial_;
    for (size_t i = 0; i < count && i < log_.size(); ++i) Apply(names, log_[i]);
    return names;
  }
  // A file's data flushed: on NTFS the log of names reaches the disk with it.
  void Flushed(int id) {
    files_[id].durable = files_[id].written;
    if (mode_ == CutMode::Ntfs) logDurable_ = log_.size();
  }
  FsResult Move(const std::u16string& from, const std::u16string& to, bool replace) {
    const auto fromKey = Key(from), toKey = Key(to);
    Change(std::string(replace ? "replace " : "rename ") + fromKey.value_or("(outside)") + " -> " +
           toKey.value_or("(outside)"));
    FsResult result = replace ? real_.Replace(from, to) : real_.Rename(from, to);
    if (!result.Done() || (!fromKey && !toKey)) return result;
    if (fromKey && toKey) {
      const int id = real().at(*fromKey);
      NameChange({{*fromKey, std::nullopt}, {*toKey, id}});
    }
    // Write-through: the move and every name change before it are on the disk.
    if (mode_ == CutMode::Ntfs) logDurable_ = log_.size();
    return result;
  }

  using Lock = std::lock_guard<std::recursive_mutex>;
  mutable std::recursive_mutex mutex_;
  FileSystem& real_;
  std::u16string root_;
  CutMode mode_;
  std::map<int, File> files_;  // every file ever seen, deleted ones too: a cut may bring
                               // back a name whose removal never reached the disk
  int nextId_ = 1;
  Namespace initial_;                 // the folder as it was at the start, all durable
  Namespace names_;                   // as the program sees it now
  Namespace durable_;                 // POSIX: the names that reached the disk
  std::vector<NameOp> log_;           // every name change, in order
  size_t logDurable_ = 0;             // NTFS: how many of them reached the disk
  int changes_ = 0;
  std::atomic<bool> cut_{false};
  std::string cutCall_;
};

// Makes the real folder `root` hold exactly `tree` (the root itself stays).
inline void Rewrite(const std::filesystem::path& root, const FolderTree& tree) {
  namespace fs = std::filesystem;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    fs::permissions(item.path(), fs::perms::owner_write, fs::perm_options::add);
  }
  for (const auto& item : fs::directory_iterator(root)) fs::remove_all(item.path());
  for (const auto& [name, bytes] : tree) {
    const fs::path path = root / fs::path(std::u8string(name.begin(), name.end()));
    if (name.back() == '/') {
      fs::create_directories(path);
    } else {
      fs::create_directories(path.parent_path());
      WriteBytes(path, bytes);
    }
  }
}

}  // namespace tallyx::testing
