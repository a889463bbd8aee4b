#include "ui/history_box.h"

#include "platform/os_error.h"
#include "platform/win_text.h"
#include "ui/gdi.h"
#include "ui/history_text.h"

namespace tallyx::ui {

HistoryBox::HistoryBox(HWND parent, int id, int x, int y, int width, int height)
    : edit_(CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", L"",
                            WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | WS_HSCROLL |
                                ES_MULTILINE | ES_READONLY | ES_AUTOHSCROLL | ES_AUTOVSCROLL,
                            x, y, width, height, parent,
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                            GetModuleHandleW(nullptr), nullptr)) {
  if (!edit_) RaiseLastOSError();
  // The platform's EDIT can be up to ~32 K characters unless told otherwise.
  SendMessageW(edit_, EM_SETLIMITTEXT, 0, 0);
}

void HistoryBox::SetText(const std::u16string& text) {
  SetWindowTextW(edit_, W(NormalizeHistoryText(text)));
  SendMessageW(edit_, EM_SETSEL, 0, 0);
  SendMessageW(edit_, EM_SCROLLCARET, 0, 0);
}

void HistoryBox::DeleteLine(int index) {
  SetWindowTextW(edit_, W(DeleteHistoryLine(WindowText(edit_), index)));
}

}  // namespace tallyx::ui
