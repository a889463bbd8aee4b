#pragma once
// A file system that costs what a Windows workstation's disk costs where the native one
// does not: each flush of a file and each close of a written file takes the given time
// on top of the real call (NTFS with an on-access scanner: a few milliseconds each).
// For benchmarks of the extraction's pool on a machine without Windows.
#include <chrono>
#include <memory>
#include <thread>

#include "zip/forwarding_file_system.h"

namespace tallyx {

class ModelledDisk : public ForwardingFileSystem {
 public:
  ModelledDisk(FileSystem& real, int flushMs, int closeMs)
      : ForwardingFileSystem(real), flushMs_(flushMs), closeMs_(closeMs) {}

  std::unique_ptr<OutputFile> OpenOutput(const std::u16string& path, OutputMode mode,
                                         FsResult& result) override {
    std::unique_ptr<OutputFile> file = real_.OpenOutput(path, mode, result);
    return file ? std::make_unique<Output>(*this, std::move(file)) : nullptr;
  }

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
    void SetTimes(int64_t utcSeconds) override { file_->SetTimes(utcSeconds); }
    // Closing flushes first, as the Windows backend does.
    FsResult Close() override {
      Cost(disk_.flushMs_ + disk_.closeMs_);
      return file_->Close();
    }

   private:
    ModelledDisk& disk_;
    std::unique_ptr<OutputFile> file_;
  };

  int flushMs_;
  int closeMs_;
};

}  // namespace tallyx
