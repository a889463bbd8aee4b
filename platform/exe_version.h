#pragma once
// The string table of an executable's version resource.
#include <cstdint>
#include <string>

#include "controller/operations/exe_version.h"

namespace tallyx {

// The string-table block name for the first translation entry: language then code
// page, four upper-case hexadecimal digits each (0x0409, 0x04B0 -> "040904B0").
std::u16string TranslationKey(uint16_t language, uint16_t codePage);

class WinExeVersion : public ExeVersion {
 public:
  TEXEVersionData GetExeVersionData(const std::u16string& path) override;
};

}  // namespace tallyx
