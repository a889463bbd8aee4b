#pragma once
// The platform's file system under the extraction: Win32 in Windows builds (the product),
// POSIX in native builds.
#include <memory>

#include "zip/file_system.h"

namespace tallyx {

std::unique_ptr<FileSystem> CreateNativeFileSystem();

}  // namespace tallyx
