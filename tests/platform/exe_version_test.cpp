// Version resources of small executables built beside the tests (version/*.rc).
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "base/errors.h"
#include "base/text.h"
#include "platform/exe_version.h"
#include "tallyx_version.h"

namespace tallyx {
namespace {

std::vector<std::string> Fields(const TEXEVersionData& d) {
  std::vector<std::string> fields;
  for (const std::u16string* f :
       {&d.CompanyName, &d.FileDescription, &d.FileVersion, &d.InternalName,
        &d.LegalCopyright, &d.LegalTrademarks, &d.OriginalFileName, &d.ProductName,
        &d.ProductVersion, &d.Comments, &d.PrivateBuild, &d.SpecialBuild})
    fields.push_back(EncodeUtf8(*f));
  return fields;
}

const std::vector<std::string> kAllTwelve = {
    "Vantrel",   "Gestion de stock Tallyx", "4.2.7.1530", "tallyx",
    "\xC2\xA9 Vantrel 2021", "Tallyx\xC2\xAE", "tallyx.exe", "Tallyx",
    "4.2",       "Mise \xC3\xA0 jour",      "interne",    "aucune"};

std::vector<std::string> Without(std::vector<std::string> fields, size_t index) {
  fields[index] = "";
  return fields;
}

TEST(GetExeVersionData, ReadsTheFirstTranslationsStrings) {
  const struct {
    const char16_t* exe;
    std::vector<std::string> fields;
  } cases[] = {
      {u"version_full.exe", kAllTwelve},
      {u"version_no_comments.exe", Without(kAllTwelve, 9)},
      {u"version_french.exe", kAllTwelve},  // key 040C04E4
      {u"version_second_translation.exe", std::vector<std::string>(12)},
      {u"version_embedded_nul.exe", kAllTwelve},  // the field ends at the NUL
  };
  WinExeVersion version;
  for (const auto& c : cases)
    EXPECT_EQ(Fields(version.GetExeVersionData(c.exe)), c.fields) << EncodeUtf8(c.exe);
}

TEST(GetExeVersionData, UnreadableVersionInformationIsAnOSError) {
  const struct {
    const char16_t* exe;
    uint32_t code;  // 0: any non-zero code
  } cases[] = {
      {u"no_such_file.exe", 2},
      {u"no_such_folder\\tallyx.exe", 3},
      {u"version_none.exe", 0},
      {u"version_no_translation.exe", 0},
  };
  WinExeVersion version;
  for (const auto& c : cases) {
    try {
      version.GetExeVersionData(c.exe);
      ADD_FAILURE() << EncodeUtf8(c.exe) << ": no error";
    } catch (const EOSError& error) {
      if (c.code) {
        EXPECT_EQ(error.ErrorCode(), c.code) << EncodeUtf8(c.exe);
        EXPECT_EQ(EncodeUtf8(error.Message()).rfind(
                      "System Error.  Code: " + std::to_string(c.code) + ".\r\n", 0),
                  0u)
            << EncodeUtf8(c.exe) << ": " << error.what();
      } else {
        EXPECT_NE(error.ErrorCode(), 0u) << EncodeUtf8(c.exe) << ": " << error.what();
      }
    }
  }
}

// The updater's own version, written once in the build: its version resource and its
// application manifest carry it (a copy of the product is built beside the tests).
TEST(GetExeVersionData, TheUpdaterCarriesTheProjectVersion) {
  const TEXEVersionData d = WinExeVersion().GetExeVersionData(u"TallyxUpdater.exe");
  EXPECT_EQ(EncodeUtf8(d.FileVersion), TALLYX_VERSION_DOTTED);
  EXPECT_EQ(EncodeUtf8(d.ProductVersion), TALLYX_VERSION_DOTTED);
  EXPECT_EQ(EncodeUtf8(d.ProductName), "Vantrel Tallyx Updater");

  HMODULE exe = LoadLibraryExW(L"TallyxUpdater.exe", nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(exe, nullptr);
  HRSRC found = FindResourceW(exe, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
  ASSERT_NE(found, nullptr);
  const std::string manifest(static_cast<const char*>(LockResource(LoadResource(exe, found))),
                             SizeofResource(exe, found));
  FreeLibrary(exe);
  EXPECT_NE(manifest.find(std::string("name=\"Vantrel.TallyxUpdater\" version=\"") +
                          TALLYX_VERSION_DOTTED + "\""),
            std::string::npos)
      << manifest;
}

}  // namespace
}  // namespace tallyx
