#pragma once
// Move-only owners of Win32 handles. The traits say which value means "no handle":
// NULL for OpenProcess / CreateFileMappingW, INVALID_HANDLE_VALUE for CreateFileW /
// CreateToolhelp32Snapshot.
#include <windows.h>

#include <utility>

namespace tallyx {

template <typename Traits>
class BasicScopedHandle {
 public:
  using Handle = typename Traits::Handle;

  BasicScopedHandle() = default;
  explicit BasicScopedHandle(Handle handle) : handle_(handle) {}
  BasicScopedHandle(BasicScopedHandle&& other) noexcept : handle_(other.Release()) {}
  BasicScopedHandle& operator=(BasicScopedHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  BasicScopedHandle(const BasicScopedHandle&) = delete;
  BasicScopedHandle& operator=(const BasicScopedHandle&) = delete;
  ~BasicScopedHandle() { Reset(); }

  bool IsValid() const { return handle_ != Traits::Invalid(); }
  explicit operator bool() const { return IsValid(); }
  Handle Get() const { return handle_; }
  Handle Release() { return std::exchange(handle_, Traits::Invalid()); }
  void Reset(Handle handle = Traits::Invalid()) {
    if (IsValid()) Traits::Close(handle_);
    handle_ = handle;
  }

 private:
  Handle handle_ = Traits::Invalid();
};

struct NullHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::CloseHandle(h); }
};

struct InvalidValueHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Handle h) { ::CloseHandle(h); }
};

using ScopedHandle = BasicScopedHandle<NullHandleTraits>;          // OpenProcess, mappings
using ScopedFileHandle = BasicScopedHandle<InvalidValueHandleTraits>;  // files, snapshots

}  // namespace tallyx
