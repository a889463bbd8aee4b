#pragma once
// The modal boxes: dialogs of class #32770 run by the program's own loop, so that Enter,
// Escape and the close box answer the same on every Windows and under Wine, and a box
// opened once the quit message has been taken closes at once with Cancel.
#include <windows.h>

#include <string>

#include "controller/operations/main_window.h"
#include "ui/app_services.h"

namespace tallyx::ui {

// Caption "Error", error icon. Yes/No: Enter = Yes, Escape = No, close box = Cancel.
// Cancel/Retry: Enter = Retry, Escape and close box = Cancel.
DialogAnswer ShowQuestionBox(AppServices& app, const std::u16string& text, QuestionButtons buttons);

// Caption the application title, no icon, OK: Enter and Escape = OK, close box = Cancel.
DialogAnswer ShowNoticeBox(AppServices& app, const std::u16string& text);

// The default error report: caption the application title, error icon, OK; owned by
// `owner` (the active window).
void ShowErrorBox(AppServices& app, HWND owner, const std::u16string& text);

}  // namespace tallyx::ui
