#pragma once
// Helpers of the window tests: a fake set of handlers that records what it was asked, a
// driver thread that answers the modal boxes as a user would, and screenshots.
#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/open_box.h"

namespace tallyx::ui::testing {

// What a modal box showed, as read by the driver.
struct SeenBox {
  std::wstring caption;
  std::wstring text;
  std::vector<std::pair<int, std::wstring>> buttons;  // id, text, left to right
  int defaultId = 0;
  bool hasIcon = false;
};

enum class BoxAction { Enter, Escape, CloseBox, AltF4 };

// Waits (on its own thread) for a visible #32770 box of this process, reads it, then acts.
class BoxDriver {
 public:
  explicit BoxDriver(BoxAction action);
  ~BoxDriver();
  // Joins the thread; true when a box was found.
  bool Finish();
  const SeenBox& Seen() const { return seen_; }

 private:
  BoxAction action_;
  SeenBox seen_;
  bool found_ = false;
  std::thread thread_;
};

using tallyx::testing::OpenBoxOf;
using tallyx::testing::TextOf;

// Saves the whole screen as a PNG file.
void SaveScreenshot(const std::wstring& path);

// Handles the thread's messages for `ms` milliseconds.
void Pump(int ms);

// Real input through the X server (xdotool, XTEST), as a user gives it, so that Wine's
// own hit-testing, capture and leave tracking see it. XdoAvailable is false where there
// is no xdotool (the tests needing it then skip). Xdo returns once xdotool has sent
// everything and the events have had time to arrive; on the window's thread (`pump`)
// it handles messages meanwhile.
bool XdoAvailable();
void Xdo(const std::string& arguments, bool pump = true);

}  // namespace tallyx::ui::testing
