#pragma once
// A file system that passes every call on to another: the base of the wrappers that
// change a few calls (slower disks, refusals, faults) and leave the rest as they are.
#include "zip/file_system.h"

namespace tallyx {

class ForwardingFileSystem : public FileSystem {
 public:
  explicit ForwardingFileSystem(FileSystem& real) : real_(real) {}

  void Confine(const std::u16string& folder) override { real_.Confine(folder); }
  FsResult FullPath(const std::u16string& path, std::u16string& full) override {
    return real_.FullPath(path, full);
  }
  std::unique_ptr<TStream> OpenExclusive(const std::u16string& path, FsResult& result) override {
    return real_.OpenExclusive(path, result);
  }
  bool DriveExists(const std::u16string& path) override { return real_.DriveExists(path); }
  bool FolderExists(const std::u16string& path) override { return real_.FolderExists(path); }
  bool FileExists(const std::u16string& path) override { return real_.FileExists(path); }
  std::vector<std::u16string> CreateFolders(const std::u16string& folder) override {
    return real_.CreateFolders(folder);
  }
  FsResult RemoveFolder(const std::u16string& folder) override { return real_.RemoveFolder(folder); }
  FsResult CheckReplaceable(const std::u16string& path) override { return real_.CheckReplaceable(path); }
  std::u16string AccessDeniedText() override { return real_.AccessDeniedText(); }
  std::unique_ptr<OutputFile> OpenOutput(const std::u16string& path, OutputMode mode,
                                         FsResult& result) override {
    return real_.OpenOutput(path, mode, result);
  }
  FsResult MakeDurable(const std::vector<std::u16string>& files) override {
    return real_.MakeDurable(files);
  }
  FsResult SyncFolder(const std::u16string& folder) override { return real_.SyncFolder(folder); }
  FsResult Rename(const std::u16string& from, const std::u16string& to) override {
    return real_.Rename(from, to);
  }
  FsResult Replace(const std::u16string& from, const std::u16string& to) override {
    return real_.Replace(from, to);
  }
  FsResult RemoveFile(const std::u16string& path) override { return real_.RemoveFile(path); }
  int64_t LocalToUtc(int64_t localSeconds) override { return real_.LocalToUtc(localSeconds); }
  void SetFileTime(const std::u16string& path, FileTimeKind kind, int64_t utcSeconds) override {
    real_.SetFileTime(path, kind, utcSeconds);
  }
  void SetAttributes(const std::u16string& path, uint8_t value) override {
    real_.SetAttributes(path, value);
  }
  void Pause(int milliseconds) override { real_.Pause(milliseconds); }

 protected:
  FileSystem& real_;
};

}  // namespace tallyx
