#include "tools/publish/publish.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <vector>

#include "base/errors.h"
#include "base/text.h"
#include "base/win_path.h"
#include "controller/release_signature.h"
#include "platform/native_file_system.h"
#include "platform/signature.h"
#include "tools/publish/exe_file_version.h"
#include "tools/publish/publish_error.h"
#include "tools/publish/signing_key.h"
#include "tools/zip_writer/zip_writer.h"
#include "zip/release_index.h"
#include "zip/stream.h"
#include "zip/zip_file.h"

extern char** environ;

namespace tallyx::publish {
namespace fs = std::filesystem;
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in || !fs::is_regular_file(path))
    throw PublishError("cannot read " + path + ": " + std::strerror(errno ? errno : EISDIR));
  std::string data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) throw PublishError("cannot read " + path);
  return data;
}

void WriteFile(const std::string& path, std::string_view data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  out.close();
  if (!out) throw PublishError("cannot write " + path);
}

// Runs a program found on PATH and returns its standard output; raises PublishError
// unless it exits with 0.
std::string RunProgram(std::vector<std::string> args) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) throw PublishError("cannot run " + args[0]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  std::string output;
  char buffer[4096];
  ssize_t n = 0;
  while (rc == 0 && (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0)
    output.append(buffer, static_cast<size_t>(n));
  ::close(pipeFds[0]);
  int status = 0;
  if (rc != 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0)
    throw PublishError(args[0] + " failed on " + args.back());
  return output;
}

// The published manifest, from a web address (through curl) or from a file.
std::string ReadPublishedManifest(const std::string& source) {
  if (!source.starts_with("http://") && !source.starts_with("https://")) return ReadFile(source);
  return RunProgram({"curl", "--fail", "--silent", "--show-error", "--location", source});
}

std::string FirstLine(std::string_view text) {
  return std::string(text.substr(0, text.find_first_of(std::string_view("\r\n\0", 3))));
}

void CheckLineText(std::string_view what, std::string_view text) {
  if (text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos)
    throw PublishError(std::string(what) + " must be one line");
  try {
    DecodeUtf8Strict(text);
  } catch (const EEncodingError&) {
    throw PublishError(std::string(what) + " is not UTF-8");
  }
}

struct Scratch {
  explicit Scratch(std::string pattern) {
    if (!::mkdtemp(pattern.data())) throw PublishError("cannot create a scratch folder");
    path = pattern;
  }
  ~Scratch() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
  std::string path;
};

// Files written under temporary names in the output folder; removed unless committed.
class PendingFiles {
  // A synchronising or scanning agent may hold a new file for a moment.
  static constexpr uint32_t kRenameWaitMs = 30000;

 public:
  explicit PendingFiles(std::string dir) : dir_(std::move(dir)) {}
  ~PendingFiles() {
    for (const auto& [temp, final] : files_) std::remove(temp.c_str());
  }
  std::string Add(const std::string& name) {
    std::string temp = dir_ + "/.tallyx-publish-" + std::to_string(::getpid()) + "-" + name;
    files_.emplace_back(temp, dir_ + "/" + name);
    return temp;
  }
  // Each file takes its name only once its data is on the disk, in the order added: the
  // manifest, which points workstations at the archive, last.
  void Commit() {
    const std::unique_ptr<FileSystem> fileSystem = CreateNativeFileSystem();
    WaitAccount wait(kRenameWaitMs);
    for (const auto& [temp, final] : files_) {
      const FsResult placed = TakeName(*fileSystem, DecodeUtf8Lenient(temp), DecodeUtf8Lenient(final), wait);
      if (!placed.Done())
        throw PublishError("cannot rename " + temp + " to " + final + ": " + EncodeUtf8(placed.text));
    }
    files_.clear();
  }

 private:
  std::string dir_;
  std::vector<std::pair<std::string, std::string>> files_;
};

uint32_t ModificationTime(const fs::path& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) throw PublishError("cannot read " + path.string());
  std::tm local{};
  localtime_r(&st.st_mtime, &local);
  return DosDateTime(local);
}

// Relative name ("/" between segments) of every folder and file under `root`, with
// the file contents; in name order, so that an archive is the same for the same tree.
std::map<std::string, std::optional<std::string>> ReadTree(const std::string& root) {
  std::map<std::string, std::optional<std::string>> tree;
  std::error_code error;
  fs::recursive_directory_iterator it(root, error), end;
  if (error) throw PublishError("cannot read the folder " + root + ": " + error.message());
  for (; it != end; it.increment(error)) {
    if (error) throw PublishError("cannot read the folder " + root + ": " + error.message());
    const std::string name = fs::relative(it->path(), root).generic_string();
    if (it->is_symlink()) throw PublishError("cannot publish \"" + name + "\": a symbolic link");
    if (it->is_directory()) tree[name] = std::nullopt;
    else if (it->is_regular_file()) tree[name] = ReadFile(it->path().string());
    else throw PublishError("cannot publish \"" + name + "\": not a file or folder");
  }
  if (error) throw PublishError("cannot read the folder " + root + ": " + error.message());
  return tree;
}

void CompareTrees(const std::string& release, const std::string& extracted) {
  const auto expected = ReadTree(release);
  const auto actual = ReadTree(extracted);
  for (const auto& [name, content] : expected) {
    const auto found = actual.find(name);
    if (found == actual.end())
      throw PublishError("the archive does not give back \"" + name + "\"");
    if (found->second != content)
      throw PublishError("the archive gives back \"" + name + "\" different");
  }
  for (const auto& [name, content] : actual)
    if (!expected.contains(name)) throw PublishError("the archive gives an extra \"" + name + "\"");
}

}  // namespace

void CheckEntryName(std::string_view name) {
  const auto refuse = [&](const std::string& why) {
    throw PublishError("cannot publish \"" + std::string(name) + "\": " + why);
  };
  if (name.empty()) refuse("empty name");
  if (name.size() >= 2 && name[1] == ':') refuse("a drive in the name");
  std::u16string text;
  try {
    text = DecodeUtf8Strict(name);
  } catch (const EEncodingError&) {
    refuse("the name is not UTF-8");
  }
  // A backslash is part of a name here, but a separator to the updater, which reads the
  // name in its own form: every "/" turned into "\".
  if (text.find(u'\\') != std::u16string::npos)
    refuse("a character Windows does not allow in names");
  const std::u16string relative = WithBackslashes(text);
  bool first = true;
  AnySegment(relative, [&](std::u16string_view segment) {
    if (segment.empty()) refuse(first ? "rooted name" : "empty folder name");
    first = false;
    if (segment == u"." || segment == u"..") refuse("\".\" or \"..\" in the name");
    if (HasInvalidNameChars(segment)) refuse("a character Windows does not allow in names");
    if (EndsWithDotOrBlank(segment)) refuse("a name ending in a blank or a dot");
    return false;
  });
  // The updater's own rules: what would leave its folder, device names and the names of
  // its own files in any segment.
  if (IsEscapingEntryName(relative)) refuse("a name that would leave the installation folder");
  if (NamesDevice(relative)) refuse("a device name, which Windows opens instead of a file");
  if (NamesTransactionFile(relative)) refuse("a name the updater keeps for its own files");
}

void CheckReleaseNames(const std::map<std::string, std::optional<std::string>>& tree) {
  std::map<std::u16string, std::string> keys;
  for (const auto& [name, content] : tree) {
    CheckEntryName(name);
    const auto [other, added] = keys.emplace(PathKey(DecodeUtf8Strict(name)), name);
    if (!added)
      throw PublishError("cannot publish \"" + name + "\": \"" + other->second +
                         "\" differs from it only in case");
  }
}

void CheckProgramVersion(const std::map<std::string, std::optional<std::string>>& tree,
                         const std::string& version) {
  const auto program = std::find_if(tree.begin(), tree.end(), [](const auto& item) {
    return item.second && PathKey(DecodeUtf8Strict(item.first)) == PathKey(u"tallyx.exe");
  });
  if (program == tree.end())
    throw PublishError("the release folder holds no tallyx.exe, whose version the updater compares");
  const std::optional<std::u16string> reported = ExecutableFileVersion(*program->second);
  if (!reported)
    throw PublishError(program->first + " has no FileVersion in its version resource");
  if (*reported != DecodeUtf8Strict(version))
    throw PublishError(program->first + " reports version " + EncodeUtf8(*reported) +
                       ", not " + version);
}

uint32_t DosDateTime(const std::tm& local) {
  if (local.tm_year < 80) return (1u << 5 | 1u) << 16;  // 1980-01-01 00:00
  if (local.tm_year > 207)
    return (127u << 9 | 12u << 5 | 31u) << 16 | (23u << 11 | 59u << 5 | 29u);
  const uint32_t date = static_cast<uint32_t>((local.tm_year - 80) << 9 | (local.tm_mon + 1) << 5 |
                                              local.tm_mday);
  const uint32_t time = static_cast<uint32_t>(local.tm_hour << 11 | local.tm_min << 5 |
                                              std::min(local.tm_sec, 59) / 2);
  return date << 16 | time;
}

void ExtractLikeTheUpdater(const std::string& archive, const std::string& folder) {
  const std::unique_ptr<FileSystem> fileSystem = CreateNativeFileSystem();
  TZipFile zip(*fileSystem);
  zip.Open(DecodeUtf8Strict(archive), TZipMode::zmRead);
  zip.ExtractAll(DecodeUtf8Strict(folder));
  zip.Close();
}

ReleaseIndex IndexArchive(std::string_view archive) {
  const auto refuse = [](const std::string& why) {
    throw PublishError("the archive cannot be indexed: " + why);
  };
  const auto le32 = [&archive](uint64_t at) {
    return GetLE32(reinterpret_cast<const unsigned char*>(archive.data() + at));
  };
  // The end record: the last one whose comment reaches exactly the end of the file.
  constexpr size_t kEndRecordSize = 4 + kEndRecordFieldsSize;
  size_t end = std::string_view::npos;
  if (archive.size() >= kEndRecordSize) {
    const size_t lowest = archive.size() - kEndRecordSize > 0xFFFF
                              ? archive.size() - kEndRecordSize - 0xFFFF : 0;
    for (size_t at = archive.size() - kEndRecordSize + 1; at-- > lowest;) {
      const size_t comment = GetLE16(reinterpret_cast<const unsigned char*>(archive.data() + at + 20));
      if (le32(at) == kEndOfCentralDirSignature && at + kEndRecordSize + comment == archive.size()) {
        end = at;
        break;
      }
    }
  }
  if (end == std::string_view::npos) refuse("no end of central directory record");
  const TEndRecord record =
      ParseEndRecord(reinterpret_cast<const unsigned char*>(archive.data() + end + 4));
  // The index gives places in the file, and the reader's offsets are from the archive's
  // start: they agree only when nothing precedes the archive.
  if (uint64_t{record.CentralDirOffset} + record.CentralDirSize != end)
    refuse("the central directory does not end at the end record");

  ReleaseIndex index;
  index.archiveSize = archive.size();
  index.centralOffset = record.CentralDirOffset;
  index.centralContent = Sha256Of(archive.substr(record.CentralDirOffset));

  const std::unique_ptr<FileSystem> fileSystem = CreateNativeFileSystem();
  const auto hashes = CreateSignatureVerifier();
  TMemoryStream stream(archive);
  TZipFile zip(*fileSystem);
  try {
    zip.Open(stream, TZipMode::zmRead);
    std::vector<char> buffer(1 << 16);
    for (size_t i = 0; i < zip.FileCount(); ++i) {
      const TZipHeader& central = zip.FileInfo(i);
      std::unique_ptr<TStream> data;
      TZipHeader local;
      zip.Read(i, data, local);
      const std::u16string name = zip.EntryName(i, local);
      const std::string shown = EncodeUtf8(name);
      const uint64_t dataStart = uint64_t{central.LocalHeaderOffset} + 4 + kLocalFixedSize +
                                 local.FileNameLength + local.ExtraFieldLength;
      uint64_t length = dataStart - central.LocalHeaderOffset + central.CompressedSize;
      if (central.Flag & kFlagDataDescriptor) {
        // The descriptor's signature is optional in the format: its CRC-32 and sizes
        // follow either 4 bytes later or at once. Both forms are tried, the signed one
        // first, and must repeat the central directory's values.
        const uint64_t at = dataStart + central.CompressedSize;
        const auto matches = [&](uint64_t fields) {
          return fields + 12 <= end && le32(fields) == central.CRC32 &&
                 le32(fields + 4) == central.CompressedSize &&
                 le32(fields + 8) == central.UncompressedSize;
        };
        if (at + 4 <= end && le32(at) == 0x08074B50 && matches(at + 4)) length += 16;
        else if (matches(at)) length += 12;
        else refuse("the data descriptor of \"" + shown + "\" does not repeat its sizes and CRC-32");
      }
      uLong crc = ::crc32(0, nullptr, 0);
      const auto hash = hashes->NewSha256();
      for (uint64_t left = central.UncompressedSize; left > 0;) {
        const size_t chunk = static_cast<size_t>(std::min<uint64_t>(left, buffer.size()));
        data->ReadBuffer(buffer.data(), chunk);
        hash->Update(buffer.data(), chunk);
        crc = ::crc32(crc, reinterpret_cast<const Bytef*>(buffer.data()), static_cast<uInt>(chunk));
        left -= chunk;
      }
      if (crc != central.CRC32) refuse("\"" + shown + "\" does not inflate to its CRC-32");
      index.entries.push_back({central.LocalHeaderOffset, length, central.CompressedSize,
                               central.UncompressedSize, central.CRC32, hash->Finish(), name});
    }
    zip.Close();
  } catch (const Exception& e) {
    refuse(EncodeUtf8(e.Message()));
  }
  return index;
}

int32_t ReleaseBuildNumber(std::string_view version) {
  const std::string_view build = version.substr(version.rfind('.') + 1);
  int64_t value = 0;
  if (build.empty() || build.size() > 10 ||
      !std::all_of(build.begin(), build.end(), [](char c) { return c >= '0' && c <= '9'; }))
    throw PublishError("the build number of \"" + std::string(version) +
                       "\" (after its last dot) is not a decimal number");
  for (char c : build) value = value * 10 + (c - '0');
  if (value > INT32_MAX)
    throw PublishError("the build number of \"" + std::string(version) + "\" is too large");
  return static_cast<int32_t>(value);
}

std::string BuildManifest(std::string_view version, std::string_view date,
                          std::string_view archiveUrl, std::string_view history) {
  if (history.starts_with("\xEF\xBB\xBF")) history.remove_prefix(3);
  std::string manifest;
  for (std::string_view line : {version, date, archiveUrl}) (manifest += line) += "\r\n";
  // The updater ends a line at CR LF, a lone CR or a lone LF.
  while (!history.empty()) {
    const size_t end = std::min(history.find_first_of("\r\n"), history.size());
    (manifest += history.substr(0, end)) += "\r\n";
    history.remove_prefix(end);
    if (history.starts_with('\r')) history.remove_prefix(1);
    if (history.starts_with('\n')) history.remove_prefix(1);
  }
  return manifest;
}

void Keygen(const std::string& keyFile, std::ostream& out) {
  const SigningKey key = SigningKey::Generate();
  key.Save(keyFile);
  out << FormatPublicKey(key.PublicKey()) << "\n";
}

void Release(const ReleaseOptions& o, const ArchiveExtractor& extract, std::ostream& log) {
  CheckLineText("the version", o.version);
  CheckLineText("the date", o.date);
  CheckLineText("the address", o.urlBase);
  // The updater refuses a manifest whose version could not stand in a file name.
  if (HasInvalidNameChars(DecodeUtf8Strict(o.version)))
    throw PublishError(
        "the version goes into the archive's file name and cannot hold <>:\"/\\|?* or control "
        "characters");
  const int32_t build = ReleaseBuildNumber(o.version);
  const SigningKey key = SigningKey::Load(o.keyFile);
  const std::string history = ReadFile(o.historyFile);
  if (history.find('\0') != std::string::npos)
    throw PublishError("the history holds a NUL byte, where the updater would stop reading");
  try {
    DecodeUtf8Strict(history);
  } catch (const EEncodingError&) {
    throw PublishError("the history " + o.historyFile + " is not UTF-8");
  }
  if (o.previous) {
    const std::string published = FirstLine(ReadPublishedManifest(*o.previous));
    const int32_t publishedBuild = ReleaseBuildNumber(published);
    if (build <= publishedBuild)
      throw PublishError("build " + std::to_string(build) + " is not above the published build " +
                         std::to_string(publishedBuild) + " (" + published + ")");
  }
  if (!fs::is_directory(o.releaseFolder))
    throw PublishError("the release folder " + o.releaseFolder + " does not exist");
  const auto tree = ReadTree(o.releaseFolder);
  if (tree.empty()) throw PublishError("the release folder " + o.releaseFolder + " is empty");
  CheckReleaseNames(tree);
  CheckProgramVersion(tree, o.version);

  std::error_code error;
  fs::create_directories(o.outDir, error);
  if (error) throw PublishError("cannot create " + o.outDir + ": " + error.message());
  PendingFiles pending(o.outDir);

  const std::string archiveName = "Tallyx_" + o.version + ".zip";
  const std::string archivePath = pending.Add(archiveName);
  {
    std::ofstream out(archivePath, std::ios::binary | std::ios::trunc);
    if (!out) throw PublishError("cannot write " + archivePath);
    try {
      ZipWriter zip(out);
      for (const auto& [name, content] : tree) {
        ZipWriterEntry entry;
        entry.name = name;
        // Names flagged UTF-8, so that every workstation decodes them the same way.
        entry.flag = kZipUtf8NameFlag;
        entry.dosTime = ModificationTime(fs::path(o.releaseFolder) / name);
        entry.level = 9;  // zlib's best
        if (content) {
          zip.Add(entry, *content);
        } else {
          entry.name += "/";
          entry.method = 0;
          entry.externalAttributes = kZipAttributeDirectory;
          zip.Add(entry, {});
        }
      }
      zip.Finish();
    } catch (const ZipWriterError& e) {
      throw PublishError("cannot write " + archivePath + ": " + e.what());
    }
    out.close();
    if (!out) throw PublishError("cannot write " + archivePath);
  }
  const std::string archive = ReadFile(archivePath);
  const std::string url = o.urlBase + (o.urlBase.ends_with('/') ? "" : "/") + archiveName;
  const std::string manifest = BuildManifest(o.version, o.date, url, history);
  const std::u16string version = DecodeUtf8Strict(o.version);
  const std::string manifestSig = FormatSignatureFile(key.Sign(manifest));
  const std::string archiveSig =
      FormatSignatureFile(key.Sign(ReleaseSignedMessage(version, Sha256Of(archive))));
  // The index beside the archive, so that an updater can fetch only the entries that
  // changed; made from the archive as written, as the updater's reader sees it.
  const ReleaseIndex index = IndexArchive(archive);
  const std::string indexText = FormatReleaseIndex(index);
  const std::string indexSig =
      FormatSignatureFile(key.Sign(ReleaseIndexSignedMessage(version, Sha256Of(indexText))));
  WriteFile(pending.Add("Tallyx_" + o.version + ".zip.sig"), archiveSig);
  WriteFile(pending.Add(archiveName + ".index"), indexText);
  WriteFile(pending.Add(archiveName + ".index.sig"), indexSig);
  // The upload order of the serving guide: the manifest's signature, then the manifest.
  WriteFile(pending.Add("tallyx.ver.sig"), manifestSig);
  WriteFile(pending.Add("tallyx.ver"), manifest);

  // Check what was written the way a workstation will: the product's own verifier,
  // then the archive read back and extracted, compared with the release folder.
  const auto verifier = CreateSignatureVerifier();
  ReleaseSignatures signatures(*verifier, {key.PublicKey()});
  const std::unique_ptr<Sha256Hasher> hash = verifier->NewSha256();
  hash->Update(archive.data(), archive.size());
  if (!signatures.ManifestIsSigned(manifest, manifestSig) ||
      !signatures.ArchiveIsSigned(version, hash->Finish(), archiveSig) ||
      !signatures.IndexIsSigned(version, indexText, indexSig))
    throw PublishError("the signatures just made do not verify");
  // The index reads back as made (the updater takes nothing else), and each of its
  // entries starts where the archive holds a local header.
  if (ParseReleaseIndex(indexText) != index)
    throw PublishError("the index does not read back as it was written");
  for (const ReleaseIndexEntry& entry : index.entries)
    if (archive.compare(entry.offset, 4, "PK\x03\x04") != 0)
      throw PublishError("the index does not place \"" + EncodeUtf8(entry.name) +
                         "\" at a local header");
  Scratch scratch((fs::temp_directory_path() / "tallyx-publish-XXXXXX").string());
  try {
    extract(archivePath, scratch.path);
  } catch (const Exception& e) {
    throw PublishError("the archive cannot be extracted: " + EncodeUtf8(e.Message()));
  }
  CompareTrees(o.releaseFolder, scratch.path);

  pending.Commit();
  log << "published " << archiveName << " (" << tree.size() << " entries, build " << build
      << "), its index, tallyx.ver and their signatures in " << o.outDir << "\n";
}

}  // namespace tallyx::publish
