#pragma once
// The version a Windows program reports, read from its image on any system: the
// "FileVersion" of its version resource, found as the updater finds it on a workstation
// (GetFileVersionInfoW, then VerQueryValueW in the string table that the first entry of
// \VarFileInfo\Translation names).
#include <optional>
#include <string>
#include <string_view>

namespace tallyx::publish {

// Nothing when `image` is not a PE image, holds no version resource (type 16, name 1;
// of several languages, the first), or its resource has no such value; also for any
// length or offset that points outside the image.
std::optional<std::u16string> ExecutableFileVersion(std::string_view image);

}  // namespace tallyx::publish
