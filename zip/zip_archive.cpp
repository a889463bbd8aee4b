#include "zip/zip_archive.h"

#include "zip/zip_file.h"

namespace tallyx {

namespace {

class ZipArchive : public Archive {
 public:
  explicit ZipArchive(FileSystem& fileSystem) : zip_(fileSystem) {}
  void Open(const std::u16string& path) override { zip_.Open(path, TZipMode::zmRead); }
  void ExtractAll(const std::u16string& folder, const std::u16string& lastFile) override {
    zip_.ExtractAll(folder, lastFile);
  }
  void Close() override { zip_.Close(); }
  void PlaceLastFile() override { zip_.CompleteExtraction(); }

 private:
  TZipFile zip_;
};

}  // namespace

std::unique_ptr<Archive> ZipArchiveFactory::CreateArchive() {
  return std::make_unique<ZipArchive>(fileSystem_);
}

}  // namespace tallyx
