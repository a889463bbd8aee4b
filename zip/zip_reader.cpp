#include <zlib.h>

#include <algorithm>
#include <map>

#include "base/errors.h"
#include "base/text.h"
#include "zip/extraction.h"
#include "zip/zip_file.h"

namespace tallyx {

namespace {

struct HandlerPair {
  TStreamConstructor compressor;
  TStreamConstructor decompressor;
};

// The process-wide handler table, filled with Stored and Deflated on first use, before any
// archive reads an entry. Only the reading side exists, so no compressors are registered.
std::map<TZipCompression, HandlerPair>& CompressionHandlers() {
  static std::map<TZipCompression, HandlerPair> handlers{
      {kMethodStored,
       {nullptr, [](TStream& input, TZipFile&, const TZipHeader&) -> std::unique_ptr<TStream> {
          return std::make_unique<TStoredStream>(input);
        }}},
      {kMethodDeflated,
       {nullptr, [](TStream& input, TZipFile&, const TZipHeader&) -> std::unique_ptr<TStream> {
          return std::make_unique<TZDecompressionStream>(input);
        }}},
  };
  return handlers;
}

[[noreturn]] void RaiseReadError() { throw EZipException(u"Error reading zip file"); }

// Reads `length` bytes; a short read is a damaged archive. The remaining size is checked
// first so that a forged length never sizes an allocation beyond the file.
std::string ReadField(TStream& stream, size_t length) {
  if (length == 0) return {};
  if (static_cast<int64_t>(length) > stream.Size() - stream.Position()) RaiseReadError();
  std::string bytes(length, '\0');
  if (stream.Read(bytes.data(), length) != length) RaiseReadError();
  return bytes;
}

}  // namespace

TZipFile::TZipFile(FileSystem& fileSystem) : fileSystem_(fileSystem) {}

TZipFile::~TZipFile() {
  Close();
  EndExtraction();
}

void TZipFile::RegisterCompressionHandler(TZipCompression method, TStreamConstructor compressor,
                                          TStreamConstructor decompressor) {
  CompressionHandlers()[method] = HandlerPair{std::move(compressor), std::move(decompressor)};
}

void TZipFile::Open(const std::u16string& zipFileName, TZipMode openMode,
                    const TZipInspection& inspect) {
  Close();
  if (openMode != TZipMode::zmRead) {
    // The writing side's modes are not available; closed is no mode to open in.
    throw EZipException(u"Invalid argument");
  }
  const std::u16string full = FullPathOr(fileSystem_, zipFileName);
  // A freshly downloaded archive is what scanners look at first.
  FsResult opened;
  std::unique_ptr<TStream> file;
  RetryWhileInUse(fileSystem_, waits_->forward, [&] {
    file = fileSystem_.OpenExclusive(zipFileName, opened);
    return opened;
  });
  if (!file) throw EFOpenError(u"Cannot open file \"" + full + u"\". " + opened.text);
  // What is inspected is what is then read: the same opening, which nobody can write.
  if (inspect) {
    inspect(*file);
    file->Seek(0, TSeekOrigin::soBeginning);
  }
  Open(*file, openMode);
  FFileStream = std::move(file);
  FFileName = full;
}

void TZipFile::Open(TStream& zipFileStream, TZipMode openMode) {
  Close();
  if (openMode != TZipMode::zmRead) throw EZipException(u"Invalid argument");
  if (zipFileStream.Size() == 0) throw EZipException(u"Stream read error");
  FStream = &zipFileStream;
  FStartFileData = zipFileStream.Position();
  try {
    LoadDirectory();
  } catch (...) {
    FStream = nullptr;
    throw;
  }
  FMode = openMode;
}

void TZipFile::Close() {
  FMode = TZipMode::zmClosed;
  FFileName.clear();
  FFiles.clear();
  FStream = nullptr;
  std::unique_ptr<TStream> file = std::move(FFileStream);
}

bool TZipFile::FindEndRecord(TEndRecord& record) {
  constexpr int64_t kSearchLimit = 65535;
  constexpr int64_t kWindow = 1027;
  constexpr int64_t kStep = 1023;
  const int64_t size = FStream->Size();
  const int64_t limit = std::min(size, kSearchLimit);
  int64_t back = 4;
  if (back >= limit) return false;
  unsigned char buffer[kWindow];
  do {
    back = back + kStep > limit ? limit : back + kStep;
    const int64_t windowStart = size - back;
    const size_t n = static_cast<size_t>(std::min(kWindow, back));
    FStream->Seek(windowStart, TSeekOrigin::soBeginning);
    if (FStream->Read(buffer, n) != n) RaiseReadError();
    for (size_t i = n - 4 + 1; i-- > 0;) {
      if (GetLE32(buffer + i) != kEndOfCentralDirSignature) continue;
      // A candidate too close to the end to hold the record's fields is not one.
      unsigned char fields[kEndRecordFieldsSize];
      FStream->Seek(windowStart + static_cast<int64_t>(i) + 4, TSeekOrigin::soBeginning);
      if (FStream->Read(fields, sizeof fields) != sizeof fields) continue;
      record = ParseEndRecord(fields);
      FComment.clear();
      if (record.CommentLength > 0) {
        FComment.resize(record.CommentLength);
        FComment.resize(FStream->Read(FComment.data(), FComment.size()));
      }
      return true;
    }
  } while (back < limit);
  return false;
}

void TZipFile::LoadDirectory() {
  FFiles.clear();
  FUTF8Support = true;
  if (FStream->Size() == 0) return;
  TEndRecord end;
  if (!FindEndRecord(end)) RaiseReadError();
  FStream->Seek(end.CentralDirOffset, TSeekOrigin::soBeginning);
  FEndFileData = end.CentralDirOffset;
  const int64_t room = std::max<int64_t>(0, FStream->Size() - FStream->Position());
  FFiles.reserve(static_cast<size_t>(
      std::min<int64_t>(end.TotalEntries, room / static_cast<int64_t>(kCentralHeaderSize))));
  for (unsigned entry = 0; entry < end.TotalEntries; ++entry) {
    unsigned char signature[4];
    if (FStream->Read(signature, 4) != 4 || GetLE32(signature) != kCentralHeaderSignature) {
      throw EZipException(u"Invalid Zip Central Header signature");
    }
    unsigned char fixed[kCentralFixedSize];
    if (FStream->Read(fixed, sizeof fixed) != sizeof fixed) RaiseReadError();
    TZipHeader header;
    ParseCentralFixed(fixed, header);
    header.FileName = ReadField(*FStream, header.FileNameLength);
    header.ExtraField = ReadField(*FStream, header.ExtraFieldLength);
    header.FileComment = ReadField(*FStream, header.FileCommentLength);
    if (!(header.Flag & kFlagUtf8)) FUTF8Support = false;
    FFiles.push_back(std::move(header));
  }
}

void TZipFile::RequireReadMode() const {
  if (FMode != TZipMode::zmRead) {
    throw EZipException(u"File must be open for reading");
  }
}

void TZipFile::Read(size_t index, std::unique_ptr<TStream>& stream, TZipHeader& localHeader) {
  RequireReadMode();
  const TZipHeader& central = FFiles.at(index);
  localHeader = TZipHeader{};
  FStream->Seek(FStartFileData + central.LocalHeaderOffset, TSeekOrigin::soBeginning);
  unsigned char signature[4];
  if (FStream->Read(signature, 4) != 4 || GetLE32(signature) != kLocalHeaderSignature) {
    throw EZipException(u"Invalid Zip Local Header signature");
  }
  unsigned char fixed[kLocalFixedSize];
  if (FStream->Read(fixed, sizeof fixed) != sizeof fixed) RaiseReadError();
  ParseLocalFixed(fixed, localHeader);
  localHeader.FileName = ReadField(*FStream, localHeader.FileNameLength);
  localHeader.ExtraField = ReadField(*FStream, localHeader.ExtraFieldLength);

  auto& handlers = CompressionHandlers();
  const auto handler = handlers.find(static_cast<TZipCompression>(central.CompressionMethod & 0xFF));
  if (handler == handlers.end() || !handler->second.decompressor) {
    throw EListError(u"Item not found");
  }
  stream = handler->second.decompressor(*FStream, *this, localHeader);
}

bool TZipFile::GetUTF8PathFromExtraField(const TZipHeader& header, std::u16string& fileName) {
  fileName.clear();
  const auto* extra = reinterpret_cast<const unsigned char*>(header.ExtraField.data());
  const size_t length = header.ExtraField.size();
  // Scanned byte by byte, not field by field, as the reader always has; the first tag
  // found decides.
  for (size_t i = 0; i + 2 <= length; ++i) {
    if (GetLE16(extra + i) != kUnicodePathExtraTag) continue;
    if (i + 9 > length) return false;
    const size_t dataSize = GetLE16(extra + i + 2);
    // A field cut off by the end of the extra data, or too small for its CRC, is ignored.
    if (dataSize < 5 || i + 4 + dataSize > length) return false;
    const uint32_t crc = GetLE32(extra + i + 5);
    const auto* name = reinterpret_cast<const Bytef*>(header.FileName.data());
    if (crc != ::crc32(0, name, static_cast<uInt>(header.FileName.size()))) return false;
    fileName = DecodeUtf8Strict(std::string_view(header.ExtraField).substr(i + 9, dataSize - 5));
    return true;
  }
  return false;
}

std::u16string TZipFile::DecodeName(const TZipHeader& header) const {
  if (header.FileName.empty()) return {};
  return (header.Flag & kFlagUtf8) ? DecodeUtf8Strict(header.FileName)
                                   : DecodeCp437(header.FileName);
}

std::u16string TZipFile::EntryName(size_t index, const TZipHeader& localHeader) {
  std::u16string name;
  if (GetUTF8PathFromExtraField(localHeader, name)) return name;
  return DecodeName(FFiles.at(index));
}

}  // namespace tallyx
