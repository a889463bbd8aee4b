#pragma once
// The vendor's publishing steps: a release archive, its manifest, and the signatures
// the updater checks.
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

namespace tallyx::publish {

struct ReleaseOptions {
  std::string keyFile;
  std::string version;
  std::string date;
  std::string historyFile;
  std::string urlBase;
  std::string outDir;
  std::string releaseFolder;
  std::optional<std::string> previous;  // address or file of the published manifest
};

// Extracts `archive` into the empty folder `scratch` the way the updater does;
// raises on any error.
using ArchiveExtractor = std::function<void(const std::string& archive, const std::string& scratch)>;

// Extracts `archive` into `folder` with the updater's own reader.
void ExtractLikeTheUpdater(const std::string& archive, const std::string& folder);

// The build number the updater will read from `version`: the part after the last dot.
// The vendor's releases use plain decimal numbers; anything else raises PublishError.
int32_t ReleaseBuildNumber(std::string_view version);

// tallyx.ver: version, date, archive address, then the history; UTF-8 without a
// byte-order mark, every line ended by CR LF.
std::string BuildManifest(std::string_view version, std::string_view date,
                          std::string_view archiveUrl, std::string_view history);

// Writes a new key to `keyFile` and prints its public key as TALLYX_RELEASE_KEYS takes it.
void Keygen(const std::string& keyFile, std::ostream& out);

// Writes Tallyx_<version>.zip, tallyx.ver and both ".sig" files into options.outDir
// once everything has been checked; on failure nothing new is left there.
void Release(const ReleaseOptions& options, const ArchiveExtractor& extract, std::ostream& log);

}  // namespace tallyx::publish
