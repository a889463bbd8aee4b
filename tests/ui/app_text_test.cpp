#include "ui/app_text.h"

#include <gtest/gtest.h>

#include "base/text.h"

namespace tallyx::ui {
namespace {

// Marks what the title hands to the system's lower-casing (tested under Wine).
std::u16string Marked(std::u16string text) { return u"[" + text + u"]"; }

TEST(ApplicationTitle, CutAtFirstDotRestLowerCased) {
  struct Case {
    const char* path;
    const char* title;
  } cases[] = {
      {"C:\\Tallyx\\TallyxUpdater.exe", "T[allyxUpdater]"},
      {"C:\\Tallyx\\MyUpdater.new.exe", "M[yUpdater]"},
      {"\\\\server\\share\\UPDATE", "U[PDATE]"},
      {"C:UPD.exe", "U[PD]"},
      {"C:\\dir.with.dots\\ÉTÉ.exe", "É[TÉ]"},
      {"C:\\Tallyx\\X.exe", "X[]"},
      {"C:\\Tallyx\\.hidden.exe", ""},
      {"C:/forward/Slash.exe", "S[lash]"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(ApplicationTitle(U16(c.path), Marked), U16(c.title)) << c.path;
}

TEST(ErrorReportText, FullStopAfterCharactersAboveIt) {
  struct Case {
    const char* message;
    const char* shown;
  } cases[] = {
      {"Invalid argument", "Invalid argument."},
      {"Done.", "Done."},
      {"Stop!", "Stop!"},
      {"Why?", "Why?."},
      {"slash/", "slash/."},
      {"comma,", "comma,"},
      {"dash-", "dash-"},
      {"accent é", "accent é."},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(ErrorReportText(U16(c.message)), U16(c.shown)) << c.message;
}

TEST(StartupFailureText, FilledInOrder) {
  struct Case {
    const char* className;
    uint32_t address;
    const char* message;
    const char* text;
  } cases[] = {
      {"Exception", 0x00401A2B, "Failed to initialize ElOneInstance object",
       "Exception Exception in module TallyxUpdater.exe at 00401A2B.\r\n"
       "Failed to initialize ElOneInstance object.\r\n"},
      {"EBaseEnabledFailed", 0xFFFFFFFF, "Ends here.",
       "Exception EBaseEnabledFailed in module TallyxUpdater.exe at FFFFFFFF.\r\nEnds here.\r\n"},
      {"EOSError", 0, "", "Exception EOSError in module TallyxUpdater.exe at 00000000.\r\n\r\n"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(StartupFailureText(U16(c.className), u"TallyxUpdater.exe", c.address, U16(c.message)),
              U16(c.text))
        << c.className;
}

}  // namespace
}  // namespace tallyx::ui
