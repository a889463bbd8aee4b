#include "platform/exe_version.h"

namespace tallyx {

std::u16string TranslationKey(uint16_t language, uint16_t codePage) {
  // Upper-case digits, the spelling resource compilers give the block names.
  static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
  std::u16string key;
  for (const uint16_t value : {language, codePage}) {
    for (int shift = 12; shift >= 0; shift -= 4) key += kDigits[(value >> shift) & 0xF];
  }
  return key;
}

}  // namespace tallyx
