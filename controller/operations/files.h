#pragma once
#include <string>

namespace tallyx {

class FileQueries {
 public:
  virtual ~FileQueries() = default;
  // The process's current directory exactly as the platform reports it: no trailing
  // separator for a folder, one for a drive root (C:\).
  virtual std::u16string CurrentDirectory() = 0;
  // True for an existing entry that is not a directory.
  virtual bool FileExists(const std::u16string& path) = 0;
};

}  // namespace tallyx
