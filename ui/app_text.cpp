#include "ui/app_text.h"

namespace tallyx::ui {

std::u16string_view FileNameOf(std::u16string_view path) {
  size_t cut = path.find_last_of(u"\\/:");
  return cut == std::u16string_view::npos ? path : path.substr(cut + 1);
}

std::u16string ApplicationTitle(std::u16string_view exePath, LowerCase lowerCase) {
  std::u16string_view name = FileNameOf(exePath);
  std::u16string_view stem = name.substr(0, name.find(u'.'));
  if (stem.empty()) return {};
  return std::u16string(stem.substr(0, 1)) + lowerCase(std::u16string(stem.substr(1)));
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
