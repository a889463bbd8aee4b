#pragma once
// The vendor's publishing steps: a release archive, its manifest, and the signatures
// the updater checks.
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "zip/release_index.h"

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

// Raises PublishError naming `name` when the updater would refuse it or a workstation
// could not create it: rooted, with a drive, a "." or ".." segment, an empty segment,
// characters that Windows forbids in names, a segment ending in a blank or a dot, a
// device name (CON, NUL, COM1, CONIN$, ...), or bytes that are not UTF-8. `name` uses "/"
// between segments.
void CheckEntryName(std::string_view name);

// Every name of a release tree (relative, "/" between segments; folders without their
// trailing "/") checked with CheckEntryName, and no two names that differ only in case,
// since Windows folds case and one would overwrite the other.
void CheckReleaseNames(const std::map<std::string, std::optional<std::string>>& tree);

// The release's tallyx.exe (at the top of the tree, in any case) reports `version` as its
// "FileVersion": the updater compares the installed program's with the manifest's, so a
// program that reports another version would be offered again at every start, or never.
void CheckProgramVersion(const std::map<std::string, std::optional<std::string>>& tree,
                         const std::string& version);

// MS-DOS date (high 16 bits) and time (low 16 bits) of a local time, clamped to the
// format's years 1980-2107.
uint32_t DosDateTime(const std::tm& local);

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

// The index of an archive (its whole bytes), read back through the updater's own reader:
// each entry's place and length from its local header, its sizes and CRC-32 from the
// central directory, and the SHA-256 of what the reader inflates from it. Raises
// PublishError for an archive the index cannot describe (data before the archive, a
// data descriptor that disagrees with the central directory, an entry that does not
// inflate to its size and CRC-32).
ReleaseIndex IndexArchive(std::string_view archive);

// Writes Tallyx_<version>.zip, its index (".zip.index"), tallyx.ver and their ".sig"
// files into options.outDir once everything has been checked; on failure nothing new is
// left there.
void Release(const ReleaseOptions& options, const ArchiveExtractor& extract, std::ostream& log);

}  // namespace tallyx::publish
