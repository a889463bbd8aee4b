#include <windows.h>

#include <gtest/gtest.h>

#include "base/text.h"
#include "platform/queries.h"
#include "platform/win_text.h"

namespace tallyx {
namespace {

TEST(FileQueries, CurrentDirectoryAsReported) {
  WinFileQueries files;
  wchar_t expected[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, expected);
  EXPECT_EQ(files.CurrentDirectory(), FromW(expected));
  wchar_t root[] = L"C:\\";
  ASSERT_TRUE(SetCurrentDirectoryW(root));
  EXPECT_EQ(files.CurrentDirectory(), u"C:\\");
  SetCurrentDirectoryW(expected);
}

TEST(FileQueries, OnlyExistingEntriesThatAreNotFoldersAreFiles) {
  const struct {
    const char* path;
    bool exists;
  } cases[] = {
      {"version_full.exe", true},
      {"VERSION_FULL.EXE", true},
      {".\\version_full.exe", true},
      {"no_such_file.exe", false},
      {".", false},
      {"C:\\windows", false},
      {"C:\\windows\\", false},
      {"", false},
      {"bad<name>.exe", false},
  };
  WinFileQueries files;
  for (const auto& c : cases) EXPECT_EQ(files.FileExists(U16(c.path)), c.exists) << c.path;
}

TEST(Keyboard, ShiftIsSetWhenDownOrToggled) {
  const struct {
    BYTE state;
    bool set;
  } cases[] = {{0x00, false}, {0x80, true}, {0x01, true}, {0x81, true}};
  BYTE keys[256];
  ASSERT_TRUE(GetKeyboardState(keys));
  WinKeyboard keyboard;
  for (const auto& c : cases) {
    keys[VK_SHIFT] = c.state;
    ASSERT_TRUE(SetKeyboardState(keys));
    EXPECT_EQ(keyboard.ShiftKeyState() != 0, c.set) << int{c.state};
  }
  keys[VK_SHIFT] = 0;
  SetKeyboardState(keys);
}

}  // namespace
}  // namespace tallyx
