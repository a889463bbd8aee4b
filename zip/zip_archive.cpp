#include "zip/zip_archive.h"

#include <vector>

#include "base/errors.h"
#include "base/win_path.h"
#include "zip/zip_file.h"

namespace tallyx {

namespace {

constexpr size_t kHashChunk = 65536;

class ZipArchive : public Archive {
 public:
  ZipArchive(FileSystem& fileSystem, Sha256Factory* sha256, const WaitBudgets& budgets)
      : fileSystem_(fileSystem), sha256_(sha256), zip_(fileSystem) {
    zip_.SetWaitBudgets(budgets);
  }

  void Open(const std::u16string& path, const ContentCheck& check) override {
    if (!check) {
      zip_.Open(path, TZipMode::zmRead);
      return;
    }
    zip_.Open(path, TZipMode::zmRead, [&](TStream& file) {
      const std::unique_ptr<Sha256Hasher> hash = NewSha256();
      std::vector<char> buffer(kHashChunk);
      int64_t left = file.Size();
      while (left > 0) {
        const size_t piece = static_cast<size_t>(std::min<int64_t>(left, kHashChunk));
        file.ReadBuffer(buffer.data(), piece);
        hash->Update(buffer.data(), piece);
        left -= static_cast<int64_t>(piece);
      }
      check(hash->Finish());
    });
  }

  std::optional<Sha256Digest> ExtractAll(const std::u16string& folder,
                                         const std::u16string& lastFile,
                                         const std::u16string& hashedFile) override {
    if (hashedFile.empty()) {
      zip_.ExtractAll(folder, lastFile);
      return std::nullopt;
    }
    const std::u16string key = PathKey(FullPathOr(fileSystem_, JoinEntryPath(folder, hashedFile)));
    std::unique_ptr<Sha256Hasher> hash;
    bool hashing = false;
    // A later entry for the same file replaces the earlier one, so it starts the hash over.
    zip_.SetOnData([&](const std::u16string& full, const void* data, size_t size) {
      if (!data) {
        hashing = PathKey(full) == key;
        if (hashing) hash = NewSha256();
      } else if (hashing) {
        hash->Update(data, size);
      }
    });
    struct Detach {
      TZipFile& zip;
      ~Detach() { zip.SetOnData({}); }
    } detach{zip_};
    zip_.ExtractAll(folder, lastFile);
    if (!hash) return std::nullopt;
    return hash->Finish();
  }

  void Close() override { zip_.Close(); }
  void PlaceLastFile() override { zip_.CompleteExtraction(); }

 private:
  std::unique_ptr<Sha256Hasher> NewSha256() {
    if (!sha256_) throw EZipException(u"No SHA-256 to check the archive with");
    return sha256_->NewSha256();
  }

  FileSystem& fileSystem_;
  Sha256Factory* sha256_;
  TZipFile zip_;
};

}  // namespace

std::unique_ptr<Archive> ZipArchiveFactory::CreateArchive(const WaitBudgets& budgets) {
  return std::make_unique<ZipArchive>(fileSystem_, sha256_, budgets);
}

}  // namespace tallyx
