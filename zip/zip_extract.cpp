#include <zlib.h>

#include <algorithm>
#include <vector>

#include "base/errors.h"
#include "zip/win_path.h"
#include "zip/zip_file.h"

namespace tallyx {

namespace {

constexpr size_t kCopyChunk = 61440;
constexpr uint8_t kVolumeLabelAttribute = 0x08;

EFCreateError CreateError(const std::u16string& fullPath, const std::u16string& text) {
  return EFCreateError(u"Cannot create file \"" + fullPath + u"\". " + text);
}

}  // namespace

void TZipFile::ExtractAll(const std::u16string& path) {
  RequireReadMode();
  for (size_t index = 0; index < FFiles.size(); ++index) Extract(index, path, true);
}

void TZipFile::Extract(size_t index, const std::u16string& path, bool createSubdirs) {
  struct CurrentEntryReset {
    TZipFile& zip;
    ~CurrentEntryReset() {
      zip.FCurrentHeader = TZipHeader{};
      zip.FCurrentFile.clear();
    }
  } reset{*this};
  std::unique_ptr<TStream> data;
  Read(index, data, FCurrentHeader);
  const std::u16string name = EntryName(index, FCurrentHeader);

  std::u16string relative = name;
  std::replace(relative.begin(), relative.end(), u'/', u'\\');
  if (IsEscapingEntryName(relative)) {
    throw EZipException(u"Entry \"" + name + u"\" would be written outside the folder");
  }
  if (!createSubdirs) relative = relative.substr(relative.find_last_of(u'\\') + 1);

  const std::u16string target = JoinEntryPath(path, relative);
  const std::u16string folder = ExtractFolderPart(target);
  if (!folder.empty()) CreateFolder(folder);
  if (!target.empty() && target.back() == u'\\') return;  // a directory entry
  WriteEntryFile(FFiles[index], name, target, *data);
}

void TZipFile::CreateFolder(const std::u16string& folder) {
  std::u16string full;
  if (FsError error = fileSystem_.FullPath(folder, full)) throw ENotSupportedException(*error);
  CheckPathText(full, kMaxFolderPath);
  if (!fileSystem_.DriveExists(full)) {
    throw EDirectoryNotFoundException(u"The drive cannot be found");
  }
  fileSystem_.CreateFolders(full);
}

// The entry goes to a temporary file beside the target and replaces the target only once
// it is complete and verified, so a failed entry never destroys a good file.
void TZipFile::WriteEntryFile(const TZipHeader& central, const std::u16string& name,
                              const std::u16string& target, TStream& data) {
  std::u16string full;
  if (fileSystem_.FullPath(target, full)) full = target;
  // A read-only or locked target must fail before anything is written.
  if (FsError error = fileSystem_.CheckReplaceable(target)) throw CreateError(full, *error);
  std::u16string temp;
  FsError error;
  std::unique_ptr<OutputFile> out =
      fileSystem_.CreateTempFile(ExtractFolderPart(target), temp, error);
  if (!out) throw CreateError(full, error.value_or(u""));

  FCurrentFile = target;
  try {
    CopyVerified(central, name, data, *out);
    out.reset();
    const bool setsTimes = IsValidDosDateTime(DecodeDosDateTime(FCurrentHeader.ModifiedDateTime));
    const bool setsAttributes = (central.MadeByVersion >> 8) == 0;
    if (setsTimes || setsAttributes) CheckPathText(target, kMaxFilePath);
    if (FsError moveError = fileSystem_.MoveOver(temp, target)) throw CreateError(full, *moveError);
  } catch (...) {
    out.reset();
    fileSystem_.RemoveFile(temp);
    throw;
  }
  FCurrentFile.clear();
  ApplyTimesAndAttributes(central, target);
}

void TZipFile::CopyVerified(const TZipHeader& central, const std::u16string& name,
                            TStream& data, OutputFile& out) {
  const uint32_t size = central.UncompressedSize;
  uLong crc = ::crc32(0, nullptr, 0);
  if (size > 0) {
    std::vector<unsigned char> buffer(std::min<size_t>(size, kCopyChunk));
    uint32_t done = 0;
    if (FOnProgress) FOnProgress(*this, FCurrentFile, FCurrentHeader, 0);
    while (done < size) {
      const size_t chunk = std::min<size_t>(size - done, buffer.size());
      data.ReadBuffer(buffer.data(), chunk);
      if (out.Write(buffer.data(), chunk) != chunk) throw EWriteError(u"Stream write error");
      crc = ::crc32(crc, buffer.data(), static_cast<uInt>(chunk));
      done += static_cast<uint32_t>(chunk);
      if (FOnProgress) FOnProgress(*this, FCurrentFile, FCurrentHeader, done);
    }
    // Stored data has no end of its own: its stored size must be the size. Any other
    // method must end exactly there.
    unsigned char more;
    const bool sizeMatches = (central.CompressionMethod & 0xFF) == kMethodStored
                                 ? central.CompressedSize == size
                                 : data.Read(&more, 1) == 0;
    if (!sizeMatches) throw EZipException(u"Wrong size for entry \"" + name + u"\"");
  }
  if (crc != central.CRC32) throw EZipException(u"Bad CRC-32 for entry \"" + name + u"\"");
}

void TZipFile::CheckTargetExists(const std::u16string& target) {
  const std::u16string folder = ExtractFolderPart(target);
  if (!folder.empty() && !fileSystem_.FolderExists(folder)) {
    throw EDirectoryNotFoundException(u"The specified path was not found");
  }
  if (!fileSystem_.FileExists(target)) {
    throw EFileNotFoundException(u"The specified file was not found");
  }
}

// Times are set after the move: renaming over a file that was just replaced would let
// Windows carry the old file's creation time over ("tunnelling").
void TZipFile::ApplyTimesAndAttributes(const TZipHeader& central, const std::u16string& target) {
  if (!fileSystem_.FileExists(target)) return;
  const DosDateTime modified = DecodeDosDateTime(FCurrentHeader.ModifiedDateTime);
  if (IsValidDosDateTime(modified)) {
    const int64_t utc = fileSystem_.LocalToUtc(ToUnixSeconds(modified));
    CheckTargetExists(target);
    fileSystem_.SetFileTime(target, FileTimeKind::Creation, utc);
    CheckTargetExists(target);
    fileSystem_.SetFileTime(target, FileTimeKind::LastWrite, utc);
  }
  if ((central.MadeByVersion >> 8) == 0) {
    CheckTargetExists(target);
    fileSystem_.SetAttributes(
        target, static_cast<uint8_t>(central.ExternalAttributes & 0xFF & ~kVolumeLabelAttribute));
  }
}

}  // namespace tallyx
