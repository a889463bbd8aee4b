#pragma once
// Window classes and control identifiers of the main window. Portable: the end-to-end
// driver finds the window and its controls by these.

namespace tallyx::ui {

inline constexpr const char16_t* kMainWindowClass = u"TMaster";
inline constexpr const char16_t* kApplicationWindowClass = u"TApplication";

enum ControlId : int {
  kLabel1 = 101,           // footer: rights notice
  kVersionInfo = 102,      // change history (multi-line edit)
  kPanel1 = 103,           // top area
  kImage1 = 104,           // emblem
  kLabel2 = 105,           // title
  kProgressBar1 = 106,     // cxProgressBar1; WM_GETTEXT gives "N %"
  kLabel3 = 107,           // announcement
  kButton1 = 108,          // cxButton1: split button, download and install
  kButton2 = 109,          // cxButton2: remind me later
  kButton3 = 110,          // cxButton3: Quit
  kMenuForceDownload = 111 // ForcerleRetlechargement1 in PopupMenu1
};

}  // namespace tallyx::ui
