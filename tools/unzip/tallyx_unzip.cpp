// tallyx-unzip ARCHIVE FOLDER: extracts every entry of ARCHIVE under FOLDER with the
// program's own reader. Exit code 0 on success; on an error its class name and message
// and exit code 1.
#include <cstdio>
#include <string>

#include "base/errors.h"
#include "base/text.h"
#include "platform/native_file_system.h"
#include "zip/zip_file.h"

#ifdef _WIN32
#include "platform/win_text.h"
#endif

namespace {

int Extract(const std::u16string& archive, const std::u16string& folder) {
  std::unique_ptr<tallyx::FileSystem> fileSystem = tallyx::CreateNativeFileSystem();
  try {
    tallyx::TZipFile zip(*fileSystem);
    zip.Open(archive, tallyx::TZipMode::zmRead);
    zip.ExtractAll(folder);
  } catch (const tallyx::Exception& e) {
    std::fprintf(stderr, "%s: %s\n", tallyx::EncodeUtf8(e.ClassName()).c_str(), e.what());
    return 1;
  }
  return 0;
}

int Usage() {
  std::fputs("usage: tallyx-unzip ARCHIVE FOLDER\n", stderr);
  return 2;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return Usage();
  return Extract(tallyx::FromW(argv[1]), tallyx::FromW(argv[2]));
}
#else
int main(int argc, char** argv) {
  if (argc != 3) return Usage();
  return Extract(tallyx::DecodeUtf8Lenient(argv[1]), tallyx::DecodeUtf8Lenient(argv[2]));
}
#endif
