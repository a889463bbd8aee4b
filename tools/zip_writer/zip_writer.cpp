#include "tools/zip_writer/zip_writer.h"

#include <zlib.h>

#include <algorithm>
#include <limits>
#include <sstream>

namespace tallyx {
namespace {

constexpr uint16_t kVersionNeeded = 20;  // 2.0: Deflated and folders
constexpr uint64_t kMax32 = std::numeric_limits<uint32_t>::max();
constexpr size_t kMax16 = 0xFFFF;

uint32_t Narrow32(uint64_t value, const std::string& what) {
  if (value > kMax32) throw ZipWriterError(what);
  return static_cast<uint32_t>(value);
}

}  // namespace

void PutLE(std::string& out, uint64_t value, int width) {
  for (int i = 0; i < width; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

void SetLE(std::string& bytes, size_t at, uint64_t value, int width) {
  for (int i = 0; i < width; ++i) bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

uint32_t Crc32(std::string_view data) {
  // zlib takes at most 4 GiB at once on 32-bit builds: fed in pieces.
  uLong crc = crc32(0, nullptr, 0);
  for (size_t done = 0; done < data.size();) {
    const uInt piece = static_cast<uInt>(std::min<size_t>(data.size() - done, 1u << 30));
    crc = crc32(crc, reinterpret_cast<const Bytef*>(data.data() + done), piece);
    done += piece;
  }
  return static_cast<uint32_t>(crc);
}

std::string RawDeflate(std::string_view data, int level) {
  z_stream z{};
  // Negative window bits: no zlib header or trailer, as ZIP entries carry none.
  if (deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw ZipWriterError("zlib cannot start");
  std::string out(deflateBound(&z, static_cast<uLong>(data.size())) + 16, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  if (rc != Z_STREAM_END) throw ZipWriterError("zlib cannot compress");
  return out;
}

std::string UnicodePathField(std::string_view rawName, std::string_view utf8Name,
                             std::optional<uint32_t> crc) {
  std::string field;
  PutLE(field, 0x7075, 2);
  PutLE(field, 5 + utf8Name.size(), 2);
  field.push_back(1);
  PutLE(field, crc.value_or(Crc32(rawName)), 4);
  return field.append(utf8Name);
}

void ZipWriter::Write(std::string_view bytes) {
  out_.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out_) throw ZipWriterError("the archive cannot be written");
  written_ += bytes.size();
}

void ZipWriter::Add(const ZipWriterEntry& e, std::string_view data) {
  if (localOffsets_.size() == kMax16) throw ZipWriterError("more than 65,535 entries");
  if (e.name.size() > kMax16 || e.localExtra.size() > kMax16 || e.centralExtra.size() > kMax16)
    throw ZipWriterError("\"" + e.name + "\": a name or extra field longer than 65,535 bytes");
  const uint32_t size = Narrow32(data.size(), "\"" + e.name + "\": larger than 4 GiB");
  const uint32_t offset = Narrow32(written_, "the archive would exceed 4 GiB");
  const std::string deflated =
      e.method == 8 || e.method == 0x108 ? RawDeflate(data, e.level) : std::string();
  const std::string_view payload = e.method == 8 || e.method == 0x108 ? deflated : data;
  const uint32_t compressed = Narrow32(payload.size(), "\"" + e.name + "\": larger than 4 GiB");
  const uint32_t crc = Crc32(data);
  const uint16_t flag = static_cast<uint16_t>(e.flag | (e.dataDescriptor ? 0x0008 : 0));

  std::string header;
  PutLE(header, 0x04034B50, 4);
  PutLE(header, kVersionNeeded, 2);
  PutLE(header, flag, 2);
  PutLE(header, e.method, 2);
  PutLE(header, e.dosTime, 4);
  PutLE(header, e.dataDescriptor ? 0 : crc, 4);
  PutLE(header, e.dataDescriptor ? 0 : compressed, 4);
  PutLE(header, e.dataDescriptor ? 0 : size, 4);
  PutLE(header, e.name.size(), 2);
  PutLE(header, e.localExtra.size(), 2);
  header += e.name + e.localExtra;
  Write(header);
  Write(payload);
  if (e.dataDescriptor) {
    std::string descriptor;
    PutLE(descriptor, 0x08074B50, 4);
    PutLE(descriptor, crc, 4);
    PutLE(descriptor, compressed, 4);
    PutLE(descriptor, size, 4);
    Write(descriptor);
  }
  Narrow32(written_, "the archive would exceed 4 GiB");

  localOffsets_.push_back(offset);
  centralOffsets_.push_back(central_.size());  // made absolute by Finish
  PutLE(central_, 0x02014B50, 4);
  PutLE(central_, e.madeBy, 2);
  PutLE(central_, kVersionNeeded, 2);
  PutLE(central_, flag, 2);
  PutLE(central_, e.method, 2);
  PutLE(central_, e.dosTime, 4);
  PutLE(central_, e.crc.value_or(crc), 4);
  PutLE(central_, e.compressedSize.value_or(compressed), 4);
  PutLE(central_, e.uncompressedSize.value_or(size), 4);
  PutLE(central_, e.name.size(), 2);
  PutLE(central_, e.centralExtra.size(), 2);
  PutLE(central_, 0, 2);  // comment
  PutLE(central_, 0, 2);  // disk
  PutLE(central_, 0, 2);  // internal attributes
  PutLE(central_, e.externalAttributes, 4);
  PutLE(central_, offset, 4);
  central_ += e.name + e.centralExtra;
}

void ZipWriter::Finish(std::string_view comment) {
  if (comment.size() > kMax16) throw ZipWriterError("a comment longer than 65,535 bytes");
  centralOffset_ = Narrow32(written_, "the archive would exceed 4 GiB");
  for (size_t& offset : centralOffsets_) offset += centralOffset_;
  const uint32_t centralSize = Narrow32(central_.size(), "the archive would exceed 4 GiB");
  Write(central_);
  endOffset_ = Narrow32(written_, "the archive would exceed 4 GiB");
  std::string end;
  PutLE(end, 0x06054B50, 4);
  PutLE(end, 0, 2);
  PutLE(end, 0, 2);
  PutLE(end, localOffsets_.size(), 2);
  PutLE(end, localOffsets_.size(), 2);
  PutLE(end, centralSize, 4);
  PutLE(end, centralOffset_, 4);
  PutLE(end, comment.size(), 2);
  end += comment;
  Write(end);
  out_.flush();
  if (!out_) throw ZipWriterError("the archive cannot be written");
}

WrittenZip BuildZip(const std::vector<ZipWriterEntry>& entries, std::string_view comment) {
  std::ostringstream out;
  ZipWriter writer(out);
  for (const ZipWriterEntry& entry : entries) writer.Add(entry);
  writer.Finish(comment);
  return {out.str(), writer.LocalOffsets(), writer.CentralOffsets(), writer.CentralOffset(),
          writer.EndOffset()};
}

}  // namespace tallyx
