// The single-instance guard in this process and between copies of instance_holder.exe.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "base/text.h"
#include "platform/one_instance.h"
#include "platform/win_text.h"
#include "tests/platform/test_processes.h"

namespace tallyx {
namespace {

// A name no other test or program uses.
std::u16string UniqueName(const char* suffix) {
  return U16("TallyxUpdaterTest." + std::to_string(GetCurrentProcessId()) + "." + suffix);
}

std::optional<InstanceRecord> ReadRecord(const std::u16string& name) {
  const ScopedHandle mapping(OpenFileMappingW(FILE_MAP_READ, FALSE, W(name)));
  if (!mapping) return std::nullopt;
  const void* view = MapViewOfFile(mapping.Get(), FILE_MAP_READ, 0, 0, sizeof(InstanceRecord));
  if (!view) return std::nullopt;
  InstanceRecord record;
  memcpy(&record, view, sizeof(record));
  UnmapViewOfFile(view);
  return record;
}

bool SameRecord(const std::optional<InstanceRecord>& now, const InstanceRecord& before) {
  return now && memcmp(&*now, &before, sizeof(before)) == 0;
}

bool NameIsFree(const std::u16string& name) {
  const ScopedHandle mapping(OpenFileMappingW(FILE_MAP_READ, FALSE, W(name)));
  return !mapping;
}

uint32_t Value(HWND window) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(window));
}
HWND Window(uint32_t value) { return reinterpret_cast<HWND>(uintptr_t{value}); }

class FakeHost : public OneInstanceHost {
 public:
  FakeHost() {
    app_ = CreateWindowExW(0, L"STATIC", L"app", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                           nullptr, nullptr);
    main_ = CreateWindowExW(0, L"STATIC", L"main", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                            nullptr, nullptr);
  }
  ~FakeHost() override {
    DestroyWindow(app_);
    DestroyWindow(main_);
  }
  HWND ApplicationWindow() override { return app_; }
  HWND MainWindowHandle() override { return main_; }
  void Terminate() override { ++terminations; }
  void ReportError(const Exception& error) override { errors.push_back(error.Message()); }
  std::vector<std::u16string> CommandLineArguments() override { return arguments; }

  int terminations = 0;
  std::vector<std::u16string> errors;
  std::vector<std::u16string> arguments{u"C:\\Tallyx\\TallyxUpdater.exe", u"-a", u"b c"};

 private:
  HWND app_;
  HWND main_;
};

// The guard's message window, like every window under Wine, needs an X display.
class OneInstance : public ::testing::Test {
 protected:
  void SetUp() override {
    const HWND probe = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 0, 0, nullptr,
                                       nullptr, nullptr, nullptr);
    if (!probe) GTEST_SKIP() << "no display to create windows on (set DISPLAY)";
    DestroyWindow(probe);
  }
};

TEST_F(OneInstance, EnablingNeedsAMapName) {
  FakeHost host;
  for (const bool loading : {false, true}) {
    TElOneInstance guard(host);
    if (loading) guard.BeginLoading();
    try {
      guard.SetEnabled(true);
      ADD_FAILURE() << "no error, loading " << loading;
    } catch (const Exception& error) {
      EXPECT_EQ(EncodeUtf8(error.Message()),
                "Memory mapping name should be specified to enable Instance Counter.");
      EXPECT_EQ(std::u16string(error.ClassName()), u"Exception");
    }
    EXPECT_FALSE(guard.Enabled());
    EXPECT_EQ(guard.Handle(), nullptr);
  }
}

TEST_F(OneInstance, FirstCopyPublishesItsRecordOnceLoaded) {
  FakeHost host;
  const std::u16string name = UniqueName("first");
  {
    TElOneInstance guard(host);
    guard.BeginLoading();
    guard.SetMapName(name);
    guard.SetEnabled(true);
    EXPECT_EQ(guard.Handle(), nullptr);
    EXPECT_TRUE(NameIsFree(name));
    guard.Loaded();
    ASSERT_TRUE(guard.Enabled());
    ASSERT_NE(guard.Handle(), nullptr);
    const std::optional<InstanceRecord> record = ReadRecord(name);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->hInst, Value(reinterpret_cast<HWND>(GetModuleHandleW(nullptr))));
    EXPECT_EQ(record->hAppWin, Value(host.ApplicationWindow()));
    EXPECT_EQ(record->hMainWin, Value(host.MainWindowHandle()));
    EXPECT_EQ(record->hMsgWin, Value(guard.Handle()));
    EXPECT_FALSE(IsWindowVisible(guard.Handle()));
    EXPECT_EQ(host.terminations, 0);

    EXPECT_EQ(SendMessageW(guard.Handle(), WM_QUERYENDSESSION, 0, 0), 1);
    EXPECT_TRUE(guard.Enabled());
    EXPECT_FALSE(NameIsFree(name));

    guard.SetEnabled(false);
    EXPECT_EQ(guard.Handle(), nullptr);
    EXPECT_TRUE(NameIsFree(name));
    guard.SetEnabled(true);
    EXPECT_FALSE(NameIsFree(name));
  }
  EXPECT_TRUE(NameIsFree(name));
}

TEST_F(OneInstance, CopyDataAnswersWithTheSentLines) {
  FakeHost host;
  TElOneInstance guard(host);
  guard.SetMapName(UniqueName("copydata"));
  std::vector<std::vector<std::u16string>> received;
  guard.OnInstanceRun = [&](TElOneInstance&, const std::vector<std::u16string>& lines) {
    received.push_back(lines);
  };
  guard.SetEnabled(true);

  const struct {
    std::u16string buffer;
    DWORD cbData;
    std::vector<std::u16string> lines;
  } cases[] = {
      {u"a\r\nb\r\n", 14, {u"a", u"b"}},
      {u"a\rb\nc", 12, {u"a", u"b", u"c"}},
      {u"", 2, {}},
      {u"a\r\nb\r\n", 0, {}},                    // declared empty
      {u"a\r\nbXYZ", 8, {u"a", u"b"}},           // no NUL within the declared bytes
      {std::u16string(u"one\0two", 7), 16, {u"one"}},  // NUL ends the text
  };
  for (const auto& c : cases) {
    received.clear();
    std::u16string buffer = c.buffer;
    COPYDATASTRUCT data{0, c.cbData, W(buffer)};
    EXPECT_EQ(SendMessageW(guard.Handle(), WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data)),
              1458)
        << EncodeUtf8(c.buffer);
    ASSERT_EQ(received.size(), 1u) << EncodeUtf8(c.buffer);
    EXPECT_EQ(received[0], c.lines) << EncodeUtf8(c.buffer);
  }

  // A failing handler is reported, and the message still gets an answer.
  guard.OnInstanceRun = [](TElOneInstance&, const std::vector<std::u16string>&) {
    throw EListError(u"List index out of bounds (3)");
  };
  std::u16string text = u"x\r\n";
  COPYDATASTRUCT data{0, 8, W(text)};
  EXPECT_EQ(SendMessageW(guard.Handle(), WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data)), 0);
  EXPECT_EQ(host.errors, std::vector<std::u16string>{u"List index out of bounds (3)"});
  EXPECT_EQ(SendMessageW(guard.Handle(), WM_USER + 1, 0, 0), 0);
}

TEST_F(OneInstance, LaterCopyAsksToEndOrRefuses) {
  FakeHost firstHost, laterHost;
  const std::u16string name = UniqueName("later");
  TElOneInstance first(firstHost);
  first.SetMapName(name);
  std::vector<std::u16string> sent;
  first.OnInstanceRun = [&](TElOneInstance&, const std::vector<std::u16string>& lines) {
    sent = lines;
  };
  first.SetEnabled(true);
  const InstanceRecord published = *ReadRecord(name);

  {  // Default: the later copy asks its application to end and sends nothing.
    TElOneInstance later(laterHost);
    later.SetMapName(name);
    uint32_t insideHandler = 1;
    later.OnExists = [&](TElOneInstance& sender, uint32_t inst, uint32_t app, uint32_t main,
                         bool& Switch) {
      insideHandler = sender.PrevInstance();
      EXPECT_EQ(inst, published.hInst);
      EXPECT_EQ(app, published.hAppWin);
      EXPECT_EQ(main, published.hMainWin);
      EXPECT_FALSE(Switch);
    };
    later.SetEnabled(true);
    EXPECT_EQ(laterHost.terminations, 1);
    EXPECT_EQ(insideHandler, 0u);
    EXPECT_EQ(later.PrevInstance(), published.hInst);
    EXPECT_EQ(later.FPrevAppWindow(), published.hAppWin);
    EXPECT_EQ(later.FPrevMainWindow(), published.hMainWin);
    EXPECT_TRUE(sent.empty());
  }
  {  // Switch set: the command line reaches the first copy's handler.
    TElOneInstance later(laterHost);
    later.SetMapName(name);
    later.OnExists = [](TElOneInstance&, uint32_t, uint32_t, uint32_t, bool& Switch) {
      Switch = true;
    };
    later.SetEnabled(true);
    EXPECT_EQ(sent, laterHost.arguments);
  }
  {  // NoAutoTerminate: an error, and the later copy holds nothing.
    TElOneInstance later(laterHost);
    later.SetMapName(name);
    later.SetNoAutoTerminate(true);
    try {
      later.SetEnabled(true);
      ADD_FAILURE() << "no error";
    } catch (const EBaseEnabledFailed& error) {
      EXPECT_EQ(EncodeUtf8(error.Message()), "Another instance of the application is started");
    }
    EXPECT_FALSE(later.Enabled());
    EXPECT_EQ(later.Handle(), nullptr);
    EXPECT_EQ(laterHost.terminations, 2);
  }
  EXPECT_TRUE(SameRecord(ReadRecord(name), published));
  EXPECT_EQ(firstHost.terminations, 0);
}

TEST_F(OneInstance, NameTakenByAnotherKindOfObject) {
  FakeHost host;
  const std::u16string name = UniqueName("event");
  const ScopedHandle event(CreateEventW(nullptr, TRUE, FALSE, W(name)));
  TElOneInstance guard(host);
  guard.SetMapName(name);
  try {
    guard.SetEnabled(true);
    ADD_FAILURE() << "no error";
  } catch (const Exception& error) {
    EXPECT_EQ(EncodeUtf8(error.Message()), "Failed to initialize ElOneInstance object");
  }
  EXPECT_FALSE(guard.Enabled());
  EXPECT_EQ(guard.Handle(), nullptr);
}

TEST_F(OneInstance, SecondProgramEndsAndLeavesTheFirstUntouched) {
  const std::u16string name = UniqueName("programs");
  const std::wstring command = L"instance_holder.exe " + std::wstring(W(name));
  Child first = Start(command);
  ASSERT_TRUE(first.process);
  std::optional<InstanceRecord> record;
  ASSERT_TRUE(Eventually([&] { return (record = ReadRecord(name)) && record->hMsgWin; }));
  DWORD owner = 0;
  GetWindowThreadProcessId(Window(record->hAppWin), &owner);
  EXPECT_EQ(owner, first.id);
  EXPECT_NE(record->hInst, 0u);
  EXPECT_NE(record->hMainWin, 0u);

  std::u16string text = u"a\r\nb\r\n";
  COPYDATASTRUCT data{0, static_cast<DWORD>(2 * text.size() + 2), W(text)};
  EXPECT_EQ(SendMessageW(Window(record->hMsgWin), WM_COPYDATA, 0,
                         reinterpret_cast<LPARAM>(&data)),
            1458);
  wchar_t title[64] = {};
  GetWindowTextW(Window(record->hAppWin), title, 64);
  EXPECT_EQ(FromW(title), u"a|b");
  EXPECT_EQ(SendMessageW(Window(record->hMsgWin), WM_QUERYENDSESSION, 0, 0), 1);

  const struct {
    const wchar_t* options;
    DWORD exitCode;
  } laterCopies[] = {{L"", 2}, {L" noauto", 3}};
  for (const auto& c : laterCopies) {
    Child later = Start(command + c.options);
    EXPECT_EQ(later.Wait(5000), c.exitCode) << c.options;
    EXPECT_TRUE(SameRecord(ReadRecord(name), *record)) << c.options;
  }
  EXPECT_EQ(first.Wait(0), STILL_ACTIVE);

  PostMessageW(Window(record->hAppWin), WM_CLOSE, 0, 0);
  EXPECT_EQ(first.Wait(5000), 0u);
  EXPECT_TRUE(NameIsFree(name));

  Child again = Start(command);
  std::optional<InstanceRecord> next;
  EXPECT_TRUE(Eventually([&] { return (next = ReadRecord(name)) && next->hMsgWin; }));
  if (next) PostMessageW(Window(next->hAppWin), WM_CLOSE, 0, 0);
  EXPECT_EQ(again.Wait(5000), 0u);
}

}  // namespace
}  // namespace tallyx
