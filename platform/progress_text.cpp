#include "platform/progress_text.h"

namespace tallyx {

std::u16string FormatMegabytes(uint64_t bytes, std::u16string_view decimalSeparator) {
  // Any count divided by 2^20 is exact in binary, so the half-up rounding to hundredths
  // can be done in integers without a floating-point tie going astray.
  const uint64_t hundredths = (bytes * 100 + (1u << 19)) >> 20;
  const std::string whole = std::to_string(hundredths / 100);
  const unsigned fraction = static_cast<unsigned>(hundredths % 100);
  std::u16string text(whole.begin(), whole.end());
  text += decimalSeparator;
  text += static_cast<char16_t>(u'0' + fraction / 10);
  text += static_cast<char16_t>(u'0' + fraction % 10);
  return text;
}

std::u16string ProgressCaption(uint32_t received, uint32_t expected,
                               std::u16string_view decimalSeparator) {
  return u"Vantrel Tallyx Updater : " + FormatMegabytes(received, decimalSeparator) +
         u" Mo/" + FormatMegabytes(expected, decimalSeparator) + u" Mo";
}

std::u16string InstallCaption(bool checking, uint64_t written, uint64_t total,
                              std::u16string_view decimalSeparator) {
  if (checking) return u"Vantrel Tallyx Updater : v\u00E9rification de l'archive";
  return u"Vantrel Tallyx Updater : installation " + FormatMegabytes(written, decimalSeparator) +
         u" Mo/" + FormatMegabytes(total, decimalSeparator) + u" Mo";
}

}  // namespace tallyx
