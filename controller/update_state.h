#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "controller/operations/web.h"

namespace tallyx {

// The update controller's process-wide variables: filled by the start-up check, read
// by the installation, kept until the process ends.
struct UpdateState {
  std::u16string WorkDir;
  std::vector<std::u16string> ManifestLines;
  std::u16string RemoteVersion;
  int32_t RemoteBuild = 0;
  std::u16string LocalVersion;
  int32_t LocalBuild = 0;
  std::u16string DownloadUrl;
  std::unique_ptr<DownloadCallback> DownloadCallbackObject;
};

}  // namespace tallyx
