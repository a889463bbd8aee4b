#pragma once
// Scratch folders and file helpers shared by the archive tests (native and Windows).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "base/errors.h"
#include "base/text.h"

namespace tallyx::testing {

// "Class: message" of the error `action` raises, or "" when it raises none.
inline std::string ErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const Exception& e) {
    return EncodeUtf8(e.ClassName()) + ": " + EncodeUtf8(e.Message());
  }
  return "";
}

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder, removed with everything in it.
class ScratchFolder {
 public:
  ScratchFolder() {
    static std::atomic<int> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    path_ = fs::temp_directory_path() /
            ("tallyx-zip-" + std::to_string(stamp) + "-" + std::to_string(counter++));
    fs::create_directories(path_);
  }
  ~ScratchFolder() {
    std::error_code ignored;
    for (const auto& item : fs::recursive_directory_iterator(path_, ignored)) {
      fs::permissions(item.path(), fs::perms::owner_write, fs::perm_options::add, ignored);
    }
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }
  // The folder as the program's text.
  std::u16string Text() const { return path_.u16string(); }

 private:
  fs::path path_;
};

inline void WriteBytes(const fs::path& file, const std::string& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Bytes that deflate hardly shrinks (so that a large entry keeps a worker busy), the
// same for the same seed.
inline std::string Noise(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  for (char& byte : bytes) {
    seed = seed * 1664525u + 1013904223u;
    byte = static_cast<char>(seed >> 24);
  }
  return bytes;
}

inline std::string ReadBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Every entry under `root`, relative with '/' separators, folders ending with '/'.
inline std::string ListTree(const fs::path& root) {
  std::vector<std::string> items;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    const std::u8string relative = fs::relative(item.path(), root).generic_u8string();
    std::string name(relative.begin(), relative.end());
    if (item.is_directory()) name += '/';
    items.push_back(name);
  }
  std::sort(items.begin(), items.end());
  std::string out;
  for (const std::string& name : items) out += name + ";";
  return out;
}

}  // namespace tallyx::testing
