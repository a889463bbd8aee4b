#pragma once
// The installation's archive operations over one TZipFile, reused for every archive.
#include <memory>

#include "controller/operations/archive.h"
#include "zip/file_system.h"

namespace tallyx {

class ZipArchiveFactory : public ArchiveFactory {
 public:
  // `sha256` hashes archives for their checks and extracted files on request; without it,
  // asking for either raises.
  explicit ZipArchiveFactory(FileSystem& fileSystem, Sha256Factory* sha256 = nullptr)
      : fileSystem_(fileSystem), sha256_(sha256) {}
  std::unique_ptr<Archive> CreateArchive(const WaitBudgets& budgets = {}) override;

 private:
  FileSystem& fileSystem_;
  Sha256Factory* sha256_;
};

}  // namespace tallyx
