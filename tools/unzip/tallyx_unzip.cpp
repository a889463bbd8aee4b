// tallyx-unzip [--last NAME] ARCHIVE FOLDER: extracts every entry of ARCHIVE under FOLDER
// with the program's own reader, as the updater installs a release: all or nothing, with
// the folder's journal finished first. With --last, the file NAME (at the top of FOLDER)
// goes in after every other file, as the updater's program does. Exit code 0 on success;
// on an error its class name and message and exit code 1; 2 for a wrong command line.
#include <cstdio>
#include <string>
#include <vector>

#include "base/errors.h"
#include "base/text.h"
#include "platform/native_file_system.h"
#include "zip/zip_file.h"

#ifdef _WIN32
#include "platform/win_text.h"
#endif

namespace {

int Extract(const std::u16string& archive, const std::u16string& folder,
            const std::u16string& last) {
  std::unique_ptr<tallyx::FileSystem> fileSystem = tallyx::CreateNativeFileSystem();
  try {
    tallyx::TZipFile zip(*fileSystem);
    zip.Open(archive, tallyx::TZipMode::zmRead);
    zip.ExtractAll(folder, last);
    zip.Close();
    zip.CompleteExtraction();
  } catch (const tallyx::Exception& e) {
    std::fprintf(stderr, "%s: %s\n", tallyx::EncodeUtf8(e.ClassName()).c_str(), e.what());
    return 1;
  }
  return 0;
}

int Run(std::vector<std::u16string> args) {
  std::u16string last;
  if (args.size() == 4 && args[0] == u"--last" && !args[1].empty()) {
    last = args[1];
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.size() != 2) {
    std::fputs("usage: tallyx-unzip [--last NAME] ARCHIVE FOLDER\n", stderr);
    return 2;
  }
  return Extract(args[0], args[1], last);
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  std::vector<std::u16string> args;
  for (int i = 1; i < argc; ++i) args.push_back(tallyx::FromW(argv[i]));
  return Run(std::move(args));
}
#else
int main(int argc, char** argv) {
  std::vector<std::u16string> args;
  for (int i = 1; i < argc; ++i) args.push_back(tallyx::DecodeUtf8Lenient(argv[i]));
  return Run(std::move(args));
}
#endif
