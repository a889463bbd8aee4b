#pragma once
// The installation's archive operations over one TZipFile, reused for every archive.
#include <memory>

#include "controller/operations/archive.h"
#include "zip/file_system.h"

namespace tallyx {

class ZipArchiveFactory : public ArchiveFactory {
 public:
  explicit ZipArchiveFactory(FileSystem& fileSystem) : fileSystem_(fileSystem) {}
  std::unique_ptr<Archive> CreateArchive() override;

 private:
  FileSystem& fileSystem_;
};

}  // namespace tallyx
