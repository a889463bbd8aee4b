#pragma once
// The release manifest ("tallyx.ver"): line 0 the version, line 1 the publication date,
// line 2 the archive's address, then the change history. Build numbers decide alone
// whether a release is newer.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/lines.h"

namespace tallyx {

// The signed 32-bit number after the last "." of a version text (the whole text when
// it has none). Raises EConvertError naming that trailing text when it is no integer.
int32_t BuildNumberOf(std::u16string_view versionText);

inline bool IsNewer(int32_t remoteBuild, int32_t localBuild) { return remoteBuild > localBuild; }

// "Tallyx_" + version + ".zip"; the version text is taken as written.
std::u16string ReleaseArchiveName(std::u16string_view remoteVersion);
// What comes before and after the version in that name.
inline constexpr std::u16string_view kReleaseArchivePrefix = u"Tallyx_";
inline constexpr std::u16string_view kReleaseArchiveSuffix = u".zip";

// False when the version holds a character that cannot stand in a Windows file name,
// such as a separator that would move the archive out of the installation folder.
bool IsUsableInFileName(std::u16string_view remoteVersion);

}  // namespace tallyx
