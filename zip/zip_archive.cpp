#include "zip/zip_archive.h"

#include <vector>

#include "base/errors.h"
#include "base/win_path.h"
#include "zip/waiting.h"
#include "zip/zip_file.h"

namespace tallyx {

namespace {

constexpr size_t kHashChunk = 65536;

class ZipArchive : public Archive {
 public:
  ZipArchive(FileSystem& fileSystem, Sha256Factory* sha256, unsigned workers,
             const WaitBudgets& budgets)
      : fileSystem_(fileSystem), sha256_(sha256), zip_(std::make_unique<TZipFile>(fileSystem)) {
    zip_->SetWorkerCount(workers);
    zip_->SetWaitBudgets(budgets);
  }

  // An extraction that was never completed is rolled back here, which takes as long as
  // putting it in place did.
  ~ZipArchive() override {
    const std::optional<ScopedTurn> turn = Turn();
    zip_.reset();
  }

  void SetOnProgress(ArchiveProgress progress) override { progress_ = std::move(progress); }

  void Open(const std::u16string& path, const ContentCheck& check) override {
    step_ = ArchiveStep::Checking;
    done_ = total_ = 0;
    const std::optional<ScopedTurn> turn = Turn();
    if (!check) {
      zip_->Open(path, TZipMode::zmRead);
      return;
    }
    zip_->Open(path, TZipMode::zmRead, [&](TStream& file) {
      const std::unique_ptr<Sha256Hasher> hash = NewSha256();
      std::vector<char> buffer(kHashChunk);
      const int64_t size = file.Size();
      int64_t left = size;
      Report(ArchiveStep::Checking, 0, static_cast<uint64_t>(size));
      while (left > 0) {
        const size_t piece = static_cast<size_t>(std::min<int64_t>(left, kHashChunk));
        file.ReadBuffer(buffer.data(), piece);
        hash->Update(buffer.data(), piece);
        left -= static_cast<int64_t>(piece);
        step_ = ArchiveStep::Checking;
        done_ = static_cast<uint64_t>(size - left);
        TakeTurnIfDue();
      }
      check(hash->Finish());
    });
  }

  std::optional<Sha256Digest> ExtractAll(const std::u16string& folder,
                                         const std::u16string& lastFile,
                                         const std::u16string& hashedFile) override {
    const std::optional<ScopedTurn> turn = Turn();
    const uint64_t total = zip_->TotalSize();
    Report(ArchiveStep::Writing, 0, total);
    if (hashedFile.empty()) {
      zip_->ExtractAll(folder, lastFile);
      Report(ArchiveStep::Writing, total, total);
      return std::nullopt;
    }
    const std::u16string key = PathKey(FullPathOr(fileSystem_, JoinEntryPath(folder, hashedFile)));
    std::unique_ptr<Sha256Hasher> hash;
    std::u16string hashed;
    // The workers write several files at once: the pieces that count are those of the
    // file that the latest start of the hashed file named. A later entry for the same file
    // replaces the earlier one, so it starts the hash over.
    zip_->SetOnData([&](const std::u16string& full, const void* data, size_t size) {
      if (!data) {
        if (PathKey(full) == key) {
          hash = NewSha256();
          hashed = full;
        }
      } else if (hash && full == hashed) {
        hash->Update(data, size);
      }
    });
    struct Detach {
      TZipFile& zip;
      ~Detach() { zip.SetOnData({}); }
    } detach{*zip_};
    zip_->ExtractAll(folder, lastFile);
    Report(ArchiveStep::Writing, total, total);
    if (!hash) return std::nullopt;
    return hash->Finish();
  }

  void Close() override { zip_->Close(); }

  void PlaceLastFile() override {
    const std::optional<ScopedTurn> turn = Turn();
    zip_->CompleteExtraction();
  }

 private:
  std::unique_ptr<Sha256Hasher> NewSha256() {
    if (!sha256_) throw EZipException(u"No SHA-256 to check the archive with");
    return sha256_->NewSha256();
  }

  // While the archive works, every wait of the calling thread reports the latest progress.
  std::optional<ScopedTurn> Turn() {
    if (!progress_) return std::nullopt;
    return std::optional<ScopedTurn>(std::in_place, [this] {
      // (No reader while the object's end destroys it.)
      if (step_ == ArchiveStep::Writing && zip_) done_ = zip_->WrittenSize();
      progress_(step_, done_, total_);
    });
  }

  void Report(ArchiveStep step, uint64_t done, uint64_t total) {
    step_ = step;
    done_ = done;
    total_ = total;
    if (progress_) progress_(step, done, total);
  }

  FileSystem& fileSystem_;
  Sha256Factory* sha256_;
  std::unique_ptr<TZipFile> zip_;
  ArchiveProgress progress_;
  ArchiveStep step_ = ArchiveStep::Checking;
  uint64_t done_ = 0;
  uint64_t total_ = 0;
};

}  // namespace

std::unique_ptr<Archive> ZipArchiveFactory::CreateArchive(const WaitBudgets& budgets) {
  return std::make_unique<ZipArchive>(fileSystem_, sha256_, workers_, budgets);
}

}  // namespace tallyx
