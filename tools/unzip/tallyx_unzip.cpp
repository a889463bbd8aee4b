// tallyx-unzip [--last NAME] [--workers N] [--model-disk FLUSH_MS,CLOSE_MS] ARCHIVE FOLDER:
// extracts every entry of ARCHIVE under FOLDER with the program's own reader, as the
// updater installs a release: all or nothing, with the folder's journal finished first.
// With --last, the file NAME (at the top of FOLDER) goes in after every other file, as the
// updater's program does. --workers sets the extraction's worker threads (default: one per
// core, at most 4); --model-disk adds the given milliseconds to every flush and every close
// of a written file, a stand-in for a Windows disk with a scanner, for benchmarks. Exit
// code 0 on success; on an error its class name and message and exit code 1; 2 for a
// wrong command line.
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/errors.h"
#include "base/text.h"
#include "platform/native_file_system.h"
#include "tools/unzip/modelled_disk.h"
#include "zip/zip_file.h"

#ifdef _WIN32
#include "platform/win_text.h"
#endif

namespace {

struct Options {
  std::u16string last;
  unsigned workers = 0;
  int flushMs = -1, closeMs = -1;  // no modelled disk
};

int Extract(const std::u16string& archive, const std::u16string& folder, const Options& options) {
  std::unique_ptr<tallyx::FileSystem> native = tallyx::CreateNativeFileSystem();
  std::unique_ptr<tallyx::FileSystem> modelled;
  if (options.flushMs >= 0) {
    modelled = std::make_unique<tallyx::ModelledDisk>(*native, options.flushMs, options.closeMs);
  }
  tallyx::FileSystem& fileSystem = modelled ? *modelled : *native;
  const std::u16string& last = options.last;
  try {
    tallyx::TZipFile zip(fileSystem);
    zip.SetWorkerCount(options.workers);
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

// A count of 1 to 64, or nothing.
std::optional<unsigned> Count(const std::u16string& text) {
  unsigned value = 0;
  for (char16_t c : text) {
    if (c < u'0' || c > u'9' || value > 64) return std::nullopt;
    value = value * 10 + (c - u'0');
  }
  if (text.empty() || value == 0 || value > 64) return std::nullopt;
  return value;
}

// Milliseconds from 0 to 10000, or nothing.
std::optional<int> Milliseconds(const std::u16string& text) {
  int value = 0;
  for (char16_t c : text) {
    if (c < u'0' || c > u'9' || value > 10000) return std::nullopt;
    value = value * 10 + (c - u'0');
  }
  if (text.empty() || value > 10000) return std::nullopt;
  return value;
}

int Run(std::vector<std::u16string> args) {
  Options options;
  bool wrong = false;
  while (args.size() > 2 && !wrong) {
    if (args[0] == u"--last" && !args[1].empty()) {
      options.last = args[1];
    } else if (args[0] == u"--workers" && Count(args[1])) {
      options.workers = *Count(args[1]);
    } else if (const size_t comma = args[1].find(u','); args[0] == u"--model-disk" &&
               comma != std::u16string::npos && Milliseconds(args[1].substr(0, comma)) &&
               Milliseconds(args[1].substr(comma + 1))) {
      options.flushMs = *Milliseconds(args[1].substr(0, comma));
      options.closeMs = *Milliseconds(args[1].substr(comma + 1));
    } else {
      wrong = true;
    }
    args.erase(args.begin(), args.begin() + 2);
  }
  if (wrong || args.size() != 2) {
    std::fputs("usage: tallyx-unzip [--last NAME] [--workers N] [--model-disk FLUSH_MS,CLOSE_MS] "
               "ARCHIVE FOLDER\n", stderr);
    return 2;
  }
  return Extract(args[0], args[1], options);
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
