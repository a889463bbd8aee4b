#pragma once
#include <string>

namespace tallyx {

// The twelve strings of an executable's version resource, in query order.
struct TEXEVersionData {
  std::u16string CompanyName;
  std::u16string FileDescription;
  std::u16string FileVersion;
  std::u16string InternalName;
  std::u16string LegalCopyright;
  std::u16string LegalTrademarks;
  std::u16string OriginalFileName;
  std::u16string ProductName;
  std::u16string ProductVersion;
  std::u16string Comments;
  std::u16string PrivateBuild;
  std::u16string SpecialBuild;
};

class ExeVersion {
 public:
  virtual ~ExeVersion() = default;
  // Raises EOSError when the file has no readable version information.
  virtual TEXEVersionData GetExeVersionData(const std::u16string& path) = 0;
};

}  // namespace tallyx
