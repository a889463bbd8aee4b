#include "tools/publish/zip_writer.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <limits>

#include "base/errors.h"
#include "base/text.h"
#include "tools/publish/publish_error.h"

namespace tallyx::publish {
namespace {

constexpr uint16_t kUtf8NameFlag = 0x0800;
constexpr uint16_t kVersion = 20;  // 2.0: Deflated and folders
constexpr uint32_t kAttributeDirectory = 0x10;
constexpr uint32_t kAttributeArchive = 0x20;

void Put16(std::string& out, uint32_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>(v >> 8 & 0xFF));
}
void Put32(std::string& out, uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

std::string Deflate(std::string_view data) {
  z_stream z{};
  // Raw deflate (negative window bits): ZIP entries carry no zlib header.
  if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK)
    throw PublishError("zlib cannot start");
  std::string out(deflateBound(&z, static_cast<uLong>(data.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  if (rc != Z_STREAM_END) throw PublishError("zlib cannot compress");
  return out;
}

bool IsDeviceName(std::string_view segment) {
  std::string stem(segment.substr(0, segment.find('.')));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  std::transform(stem.begin(), stem.end(), stem.begin(),
                 [](char c) { return c >= 'a' && c <= 'z' ? c - 32 : c; });
  if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL") return true;
  return stem.size() == 4 && (stem.starts_with("COM") || stem.starts_with("LPT")) &&
         stem[3] >= '1' && stem[3] <= '9';
}

std::string FoldCase(std::string_view name) {
  std::u16string text = DecodeUtf8Lenient(name);
  for (char16_t& c : text)
    if (c >= u'a' && c <= u'z') c -= 32;
  return EncodeUtf8(text);
}

}  // namespace

void CheckEntryName(std::string_view name) {
  const auto refuse = [&](const std::string& why) {
    throw PublishError("cannot publish \"" + std::string(name) + "\": " + why);
  };
  if (name.empty()) refuse("empty name");
  if (name.size() >= 2 && name[1] == ':') refuse("a drive in the name");
  try {
    DecodeUtf8Strict(name);
  } catch (const EEncodingError&) {
    refuse("the name is not UTF-8");
  }
  size_t start = 0;
  while (true) {
    const size_t end = std::min(name.find('/', start), name.size());
    const std::string_view segment = name.substr(start, end - start);
    if (segment.empty()) refuse(start == 0 ? "rooted name" : "empty folder name");
    if (segment == "." || segment == "..") refuse("\".\" or \"..\" in the name");
    for (unsigned char c : segment)
      if (c < 32 || std::string_view("<>:\"\\|?*").find(static_cast<char>(c)) != std::string_view::npos)
        refuse("a character Windows does not allow in names");
    if (segment.back() == ' ' || segment.back() == '.') refuse("a name ending in a blank or a dot");
    if (IsDeviceName(segment)) refuse("a device name");
    if (end == name.size()) break;
    start = end + 1;
  }
}

uint32_t DosDateTime(const std::tm& local) {
  if (local.tm_year < 80) return (1u << 5 | 1u) << 16;  // 1980-01-01 00:00
  if (local.tm_year > 207) return (127u << 9 | 12u << 5 | 31u) << 16 | (23u << 11 | 59u << 5 | 29u);
  const uint32_t date = static_cast<uint32_t>((local.tm_year - 80) << 9 | (local.tm_mon + 1) << 5 |
                                              local.tm_mday);
  const uint32_t time = static_cast<uint32_t>(local.tm_hour << 11 | local.tm_min << 5 |
                                              std::min(local.tm_sec, 59) / 2);
  return date << 16 | time;
}

void ZipWriter::AddDirectory(const std::string& name, uint32_t dosTime) {
  Add({name + "/", 0, dosTime, 0, 0, 0, 0, kAttributeDirectory}, {});
}

void ZipWriter::AddFile(const std::string& name, std::string_view data, uint32_t dosTime) {
  if (data.size() > std::numeric_limits<uint32_t>::max())
    throw PublishError("cannot publish \"" + name + "\": larger than 4 GiB");
  const std::string deflated = Deflate(data);
  const uint32_t crc = static_cast<uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
  Add({name, 8, dosTime, crc, static_cast<uint32_t>(deflated.size()),
       static_cast<uint32_t>(data.size()), 0, kAttributeArchive},
      deflated);
}

uint32_t ZipWriter::Position() {
  const auto position = static_cast<uint64_t>(out_.tellp());
  if (!out_ || position > std::numeric_limits<uint32_t>::max())
    throw PublishError("the archive would exceed 4 GiB");
  return static_cast<uint32_t>(position);
}

void ZipWriter::Add(Entry entry, std::string_view stored) {
  const std::string_view bare =
      std::string_view(entry.name).substr(0, entry.name.size() - entry.name.ends_with('/'));
  CheckEntryName(bare);
  // Windows folds case: two names that differ only in case would overwrite each other.
  std::string folded = FoldCase(entry.name);
  if (std::find(foldedNames_.begin(), foldedNames_.end(), folded) != foldedNames_.end())
    throw PublishError("cannot publish \"" + entry.name + "\": another name differs only in case");
  if (entries_.size() == 0xFFFF) throw PublishError("more than 65,534 entries");
  if (entry.name.size() > 0xFFFF) throw PublishError("name longer than 65,535 bytes");
  foldedNames_.push_back(std::move(folded));

  entry.offset = Position();
  std::string header;
  Put32(header, 0x04034B50);
  Put16(header, kVersion);
  Put16(header, kUtf8NameFlag);
  Put16(header, entry.method);
  Put32(header, entry.dosTime);
  Put32(header, entry.crc);
  Put32(header, entry.compressedSize);
  Put32(header, entry.size);
  Put16(header, static_cast<uint32_t>(entry.name.size()));
  Put16(header, 0);
  header += entry.name;
  out_.write(header.data(), static_cast<std::streamsize>(header.size()));
  out_.write(stored.data(), static_cast<std::streamsize>(stored.size()));
  Position();
  entries_.push_back(std::move(entry));
}

void ZipWriter::Finish() {
  const uint32_t directoryOffset = Position();
  std::string directory;
  for (const Entry& e : entries_) {
    Put32(directory, 0x02014B50);
    Put16(directory, kVersion);  // high byte 0: MS-DOS attributes, applied on extraction
    Put16(directory, kVersion);
    Put16(directory, kUtf8NameFlag);
    Put16(directory, e.method);
    Put32(directory, e.dosTime);
    Put32(directory, e.crc);
    Put32(directory, e.compressedSize);
    Put32(directory, e.size);
    Put16(directory, static_cast<uint32_t>(e.name.size()));
    Put16(directory, 0);
    Put16(directory, 0);
    Put16(directory, 0);
    Put16(directory, 0);
    Put32(directory, e.attributes);
    Put32(directory, e.offset);
    directory += e.name;
  }
  const auto directorySize = static_cast<uint32_t>(directory.size());
  Put32(directory, 0x06054B50);
  Put16(directory, 0);
  Put16(directory, 0);
  Put16(directory, static_cast<uint32_t>(entries_.size()));
  Put16(directory, static_cast<uint32_t>(entries_.size()));
  Put32(directory, directorySize);
  Put32(directory, directoryOffset);
  Put16(directory, 0);
  out_.write(directory.data(), static_cast<std::streamsize>(directory.size()));
  out_.flush();
  Position();
}

}  // namespace tallyx::publish
