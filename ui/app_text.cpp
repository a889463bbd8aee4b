#include "ui/app_text.h"

namespace tallyx::ui {
namespace {

// Lower case for the Latin letters a file name carries: ASCII and Latin-1.
char16_t ToLower(char16_t c) {
  if (c >= u'A' && c <= u'Z') return c + 32;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;
  return c;
}

}  // namespace

std::u16string_view FileNameOf(std::u16string_view path) {
  size_t cut = path.find_last_of(u"\\/:");
  return cut == std::u16string_view::npos ? path : path.substr(cut + 1);
}

std::u16string ApplicationTitle(std::u16string_view exePath) {
  std::u16string_view name = FileNameOf(exePath);
  std::u16string title(name.substr(0, name.find(u'.')));
  for (size_t i = 1; i < title.size(); ++i) title[i] = ToLower(title[i]);
  return title;
}

std::u16string ErrorReportText(std::u16string_view message) {
  std::u16string text(message);
  if (!text.empty() && text.back() > u'.') text += u'.';
  return text;
}

std::u16string StartupFailureText(std::u16string_view className, std::u16string_view module,
                                  uint32_t address, std::u16string_view message) {
  static constexpr char16_t kHex[] = u"0123456789ABCDEF";
  std::u16string hex(8, u'0');
  for (int i = 7; i >= 0; --i, address >>= 4) hex[i] = kHex[address & 0xF];
  std::u16string text = u"Exception ";
  text.append(className).append(u" in module ").append(module).append(u" at ");
  text.append(hex).append(u".\r\n").append(message);
  if (!message.empty() && message.back() != u'.') text += u'.';
  text += u"\r\n";
  return text;
}

}  // namespace tallyx::ui
