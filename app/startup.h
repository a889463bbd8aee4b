#pragma once
// The program's start and end: the application object, the hidden main window, the parts
// that `assemble` builds around them, the message loop, and the start-up failure report.
#include <windows.h>

#include <functional>
#include <memory>

#include "app/application.h"
#include "ui/master.h"

namespace tallyx {

// Builds everything that hangs on the window (the single-instance guard, the services,
// the controller) and returns the window's handlers, which own those parts.
using Assemble = std::function<std::unique_ptr<ui::MasterHandlers>(Application&, ui::TMaster&)>;

// Returns the process's exit code: 0 once the message loop has ended, 1 after a
// start-up failure (reported in a task-modal box).
int RunApplication(const Assemble& assemble);

// The start-up failure report: "Application Error", error icon, OK.
void ReportStartupFailure(const Exception& error);

}  // namespace tallyx
