// Archives made by real tools extract to the same tree as Info-ZIP unzip gives.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "base/errors.h"
#include "base/text.h"
#include "platform/native_file_system.h"
#include "tests/zip/scratch.h"
#include "zip/zip_file.h"

namespace tallyx {
namespace {

using testing::ListTree;
using testing::ReadBytes;
using testing::ScratchFolder;
using testing::WriteBytes;
namespace fs = std::filesystem;

void MakeSourceTree(const fs::path& root) {
  std::string binary;
  for (int i = 0; i < 200000; ++i) binary.push_back(static_cast<char>((i * 7919u) >> (i % 13)));
  std::string text;
  for (int i = 0; i < 5000; ++i) text += "record " + std::to_string(i) + " of the inventory\n";
  fs::create_directories(root / "bin");
  fs::create_directories(root / "docs");
  fs::create_directories(root / "deep/a/b/c");
  fs::create_directories(root / "emptydir");
  WriteBytes(root / "readme.txt", text);
  WriteBytes(root / "bin/app.dll", binary);
  WriteBytes(root / "docs/caf\xC3\xA9.txt", "accent");
  WriteBytes(root / "docs/\xD0\xB4\xD0\xB0\xD0\xBD\xD0\xBD\xD1\x8B\xD0\xB5.txt", "cyrillic");
  WriteBytes(root / "docs/empty.txt", "");
  WriteBytes(root / "deep/a/b/c/d.txt", "d");
  WriteBytes(root / "x", "1");
}

// Names stored without the UTF-8 flag read as code page 437.
std::string AsCp437(const std::string& utf8) { return EncodeUtf8(DecodeCp437(utf8)); }
std::string Same(const std::string& name) { return name; }

void ExpectSameTrees(const fs::path& expected, const fs::path& actual, const std::string& label,
                     std::string (*storedName)(const std::string&) = Same) {
  ASSERT_EQ(ListTree(actual), storedName(ListTree(expected))) << label;
  for (const auto& item : fs::recursive_directory_iterator(expected)) {
    if (!item.is_regular_file()) continue;
    const std::u8string relative = fs::relative(item.path(), expected).u8string();
    const fs::path other = actual / fs::u8path(storedName(std::string(relative.begin(), relative.end())));
    EXPECT_EQ(ReadBytes(other), ReadBytes(item.path())) << label << ": " << other;
  }
}

TEST(RealToolsTest, ExtractsLikeUnzip) {
  ScratchFolder scratch;
  const fs::path src = scratch.path() / "src";
  MakeSourceTree(src);
  // Info-ZIP zip on a UTF-8 system stores names as they are, without the flag (unzip
  // keeps the bytes of Unix-made archives); the others flag their non-ASCII names.
  struct Case {
    const char* tool;
    const char* command;  // run in src/, writes ../made.zip
    std::string (*storedName)(const std::string&);
  } cases[] = {
      {"Info-ZIP zip", "zip -r -q ../made.zip .", AsCp437},
      {"Info-ZIP zip, stored", "zip -r -q -0 ../made.zip .", AsCp437},
      {"Info-ZIP zip, streamed with data descriptors", "zip -r -q - . > ../made.zip", AsCp437},
      {"7-Zip", "7z a -tzip -bd -bso0 -bsp0 ../made.zip .", Same},
      {"bsdtar", "bsdtar -a -cf ../made.zip .", Same},
      {"python3 zipfile",
       "python3 -c \"import shutil; shutil.make_archive('../made', 'zip', '.')\"", Same},
  };
  auto fileSystem = CreateNativeFileSystem();
  for (const Case& c : cases) {
    const fs::path made = scratch.path() / "made.zip";
    const fs::path ours = scratch.path() / "ours";
    const fs::path theirs = scratch.path() / "theirs";
    fs::remove(made);
    fs::remove_all(ours);
    fs::remove_all(theirs);
    const std::string make = "cd '" + src.string() + "' && LC_ALL=C.UTF-8 " + c.command;
    ASSERT_EQ(std::system(make.c_str()), 0) << c.tool;
    const std::string unzip =
        "LC_ALL=C.UTF-8 unzip -q '" + made.string() + "' -d '" + theirs.string() + "'";
    ASSERT_EQ(std::system(unzip.c_str()), 0) << c.tool;

    TZipFile zip(*fileSystem);
    try {
      zip.Open(made.u16string(), TZipMode::zmRead);
      zip.ExtractAll(ours.u16string());
    } catch (const Exception& e) {
      ADD_FAILURE() << c.tool << ": " << e.what();
      continue;
    }
    ExpectSameTrees(src, theirs, std::string("unzip of ") + c.tool);
    ExpectSameTrees(src, ours, c.tool, c.storedName);
  }
}

}  // namespace
}  // namespace tallyx
