#pragma once
// The change-history box: a read-only multi-line EDIT with both scroll bars always
// present and no wrapping, so each text line is one row.
#include <windows.h>

#include <string>

namespace tallyx::ui {

class HistoryBox {
 public:
  HistoryBox(HWND parent, int id, int x, int y, int width, int height);
  HWND Handle() const { return edit_; }
  // Lone CR and lone LF become CR LF; the box shows the top of the text.
  void SetText(const std::u16string& text);
  // Removes line `index` with the line break after it.
  void DeleteLine(int index);

 private:
  HWND edit_;
};

}  // namespace tallyx::ui
