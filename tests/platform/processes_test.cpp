// Finding and terminating a stand-in "tallyx.exe" started in the same Wine prefix.
#include <windows.h>

#include <gtest/gtest.h>

#include "base/text.h"
#include "platform/processes.h"
#include "tests/platform/test_processes.h"

namespace tallyx {
namespace {

TEST(Processes, FindsAndTerminatesEveryMatchingProcess) {
  WinProcesses processes;
  ASSERT_FALSE(processes.IsProcessRunning(u"tallyx.exe")) << "a stray tallyx.exe runs";
  Child first = Start(L"tallyx.exe");
  Child second = Start(L"tallyx.exe");
  ASSERT_TRUE(first.process && second.process);
  ASSERT_TRUE(Eventually([&] { return processes.IsProcessRunning(u"tallyx.exe"); }));

  const struct {
    const char* name;
    bool running;
  } cases[] = {
      {"tallyx.exe", true},      {"TALLYX.EXE", true},      {"Tallyx.exe", true},
      {"tallyx", false},         {"tallyx.exe.old", false}, {"allyx.exe", false},
      {"tallyx.exe ", false},    {"", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(processes.IsProcessRunning(U16(c.name)), c.running) << c.name;

  EXPECT_EQ(processes.KillProcessByName(u"tallyx"), 0);
  EXPECT_EQ(first.Wait(0), STILL_ACTIVE);
  EXPECT_NE(processes.KillProcessByName(u"Tallyx.exe"), 0);
  EXPECT_EQ(first.Wait(5000), 0u);
  EXPECT_EQ(second.Wait(5000), 0u);
  EXPECT_TRUE(Eventually([&] { return !processes.IsProcessRunning(u"tallyx.exe"); }));
  EXPECT_EQ(processes.KillProcessByName(u"Tallyx.exe"), 0);
}

}  // namespace
}  // namespace tallyx
