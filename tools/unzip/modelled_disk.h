#pragma once
// A file system that costs what a Windows workstation's disk costs where the native one
// does not: each flush of a file and each close of a written file takes the given time
// on top of the real call (NTFS with an on-access scanner: a few milliseconds each).
// For benchmarks of the extraction's pool on a machine without Windows.
#include <chrono>
#include <memory>
#include <thread>

#include "zip/file_system.h"

namespace tallyx {

class ModelledDisk : public FileSystem {
 public:
  ModelledDisk(FileSystem& real, int flushMs, int closeMs)
      : real_(real), flushMs_(flushMs), closeMs_(closeMs) {}

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
    std::unique_ptr<OutputFile> file = real_.OpenOutput(path, mode, result);
    return file ? std::make_unique<Output>(*this, std::move(file)) : nullptr;
  }
  // As on Windows, each file was flushed as it was closed.
  FsResult MakeDurable(const std::vector<std::u16string>& files) override {
    return real_.MakeDurable(files);
  }
  FsResult Rename(const std::u16string& from, const std::u16string& to) override {
    return real_.Rename(from, to);
  }
  FsResult Replace(const std::u16string& from, const std::u16string& to) override {
    return real_.Replace(from, to);
  }
  FsResult SyncFolder(const std::u16string& folder) override { return real_.SyncFolder(folder); }
  FsResult RemoveFile(const std::u16string& path) override { return real_.RemoveFile(path); }
  int64_t LocalToUtc(int64_t localSeconds) override { return real_.LocalToUtc(localSeconds); }
  void SetFileTime(const std::u16string& path, FileTimeKind kind, int64_t utcSeconds) override {
    real_.SetFileTime(path, kind, utcSeconds);
  }
  void SetAttributes(const std::u16string& path, uint8_t value) override {
    real_.SetAttributes(path, value);
  }
  void Pause(int milliseconds) override { real_.Pause(milliseconds); }

 private:
  static void Cost(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

  class Output : public OutputFile {
   public:
    Output(ModelledDisk& disk, std::unique_ptr<OutputFile> file) : disk_(disk), file_(std::move(file)) {}
    size_t Write(const void* buffer, size_t count) override { return file_->Write(buffer, count); }
    FsResult Sync() override {
      Cost(disk_.flushMs_);
      return file_->Sync();
    }
    // Closing flushes first, as the Windows backend does.
    FsResult Close() override {
      Cost(disk_.flushMs_ + disk_.closeMs_);
      return file_->Close();
    }

   private:
    ModelledDisk& disk_;
    std::unique_ptr<OutputFile> file_;
  };

  FileSystem& real_;
  int flushMs_;
  int closeMs_;
};

}  // namespace tallyx
