// libFuzzer target: opens arbitrary bytes as an archive and extracts it into a scratch
// folder through the POSIX file system, then removes what was written.
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>

#include <cstdint>
#include <string>

#include "base/errors.h"
#include "base/text.h"
#include "platform/native_file_system.h"
#include "zip/zip_file.h"

namespace {

std::string MakeScratch() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/tallyx-fuzz-XXXXXX";
  if (!mkdtemp(pattern.data())) abort();
  return pattern;
}

int RemoveOne(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const auto fileSystem = tallyx::CreateNativeFileSystem();
  static const std::string scratch = MakeScratch();
  const std::string out = scratch + "/out";
  tallyx::TMemoryStream stream(std::string_view(reinterpret_cast<const char*>(data), size));
  tallyx::TZipFile zip(*fileSystem);
  try {
    zip.Open(stream, tallyx::TZipMode::zmRead);
    zip.ExtractAll(tallyx::DecodeUtf8Lenient(out));
  } catch (const tallyx::Exception&) {
    // Refusing damaged or hostile archives is the expected outcome.
  }
  nftw(out.c_str(), RemoveOne, 16, FTW_DEPTH | FTW_PHYS);
  return 0;
}
