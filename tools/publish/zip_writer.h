#pragma once
// A small ZIP writer for release archives: Deflated files, folders as directory
// entries, every name flagged UTF-8 so that every workstation decodes it the same way.
#include <cstdint>
#include <ctime>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace tallyx::publish {

// Raises PublishError for a name the updater would refuse or a workstation could not
// create: rooted, with a drive, a "." or ".." segment, an empty segment, characters
// that Windows forbids in names, a segment ending in a blank or a dot, a device name
// (CON, NUL, COM1, ...), or bytes that are not UTF-8. `name` uses "/" between segments.
void CheckEntryName(std::string_view name);

// MS-DOS date (high 16 bits) and time (low 16 bits) of a local time, clamped to the
// format's years 1980-2107.
uint32_t DosDateTime(const std::tm& local);

class ZipWriter {
 public:
  explicit ZipWriter(std::ostream& out) : out_(out) {}

  // `name` without the trailing "/".
  void AddDirectory(const std::string& name, uint32_t dosTime);
  void AddFile(const std::string& name, std::string_view data, uint32_t dosTime);
  // Writes the central directory and the end record.
  void Finish();

 private:
  struct Entry {
    std::string name;
    uint16_t method;
    uint32_t dosTime, crc, compressedSize, size, offset, attributes;
  };
  void Add(Entry entry, std::string_view stored);
  uint32_t Position();

  std::ostream& out_;
  std::vector<Entry> entries_;
  std::vector<std::string> foldedNames_;
};

}  // namespace tallyx::publish
