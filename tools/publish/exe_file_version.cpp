#include "tools/publish/exe_file_version.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "platform/exe_version.h"
#include "zip/zip_struct.h"

namespace tallyx::publish {
namespace {

// Raised by any read outside the image or any structure that does not hold together.
struct Unreadable {};

// `size` (2 or 4) bytes, little-endian, at `at`.
uint32_t Read(std::string_view bytes, uint64_t at, unsigned size) {
  if (at > bytes.size() || bytes.size() - at < size) throw Unreadable{};
  const auto* const p = reinterpret_cast<const unsigned char*>(bytes.data() + at);
  return size == 2 ? GetLE16(p) : GetLE32(p);
}

uint64_t Align4(uint64_t at) { return (at + 3) & ~uint64_t(3); }

// The file offset of `length` bytes at `rva`: they must lie in one section's data in the
// file (a section's virtual tail, zeros in memory, holds no resource).
uint64_t FileOffset(std::string_view image, uint64_t sectionTable, uint32_t sections,
                    uint32_t rva, uint32_t length) {
  for (uint32_t i = 0; i < sections; ++i) {
    const uint64_t section = sectionTable + 40 * uint64_t(i);
    const uint32_t virtualSize = Read(image, section + 8, 4);
    const uint32_t address = Read(image, section + 12, 4);
    const uint32_t rawSize = Read(image, section + 16, 4);
    const uint32_t raw = Read(image, section + 20, 4);
    if (rva < address || rva - address >= std::max(virtualSize, rawSize)) continue;
    const uint64_t within = rva - address;
    // Within the section's data as its header gives it, and within the file, which a
    // cut image may end before.
    if (within + length > rawSize || uint64_t(raw) + within + length > image.size())
      throw Unreadable{};
    return raw + within;
  }
  throw Unreadable{};
}

// One entry's OffsetToData in the resource directory at `directory`: the one with the
// numeric `id`, or the first one.
std::optional<uint32_t> Entry(std::string_view image, uint64_t directory,
                              std::optional<uint32_t> id) {
  const uint32_t count = Read(image, directory + 12, 2) + Read(image, directory + 14, 2);
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t entry = directory + 16 + 8 * uint64_t(i);
    const uint32_t name = Read(image, entry, 4);
    if (!id || name == *id) return Read(image, entry + 4, 4);
  }
  return std::nullopt;
}

// One node of a VS_VERSIONINFO tree: wLength, wValueLength, wType, the key (UTF-16, NUL
// ended), padding to 32 bits, the value, padding, then the children up to wLength.
struct Node {
  std::u16string key;
  std::string_view value;
  bool text = false;
  std::vector<std::string_view> children;
};

Node ParseNode(std::string_view block) {
  const uint32_t length = Read(block, 0, 2);
  const uint32_t valueLength = Read(block, 2, 2);
  Node node;
  node.text = Read(block, 4, 2) == 1;
  if (length < 6 || length > block.size()) throw Unreadable{};
  const std::string_view whole = block.substr(0, length);
  uint64_t at = 6;
  for (;;) {
    const char16_t c = char16_t(Read(whole, at, 2));
    at += 2;
    if (c == 0) break;
    node.key += c;
  }
  at = Align4(at);
  // A text value's length counts characters; compilers differ on whether it holds the
  // NUL, and some count bytes: the text is read up to its NUL within the node instead.
  const uint64_t valueBytes = node.text ? uint64_t(valueLength) * 2 : valueLength;
  if (at > whole.size()) at = whole.size();
  node.value = whole.substr(at, node.text ? std::string_view::npos : valueBytes);
  if (node.value.size() < (node.text ? 0 : valueBytes)) throw Unreadable{};
  at = Align4(at + std::min<uint64_t>(valueBytes, whole.size() - at));
  while (at + 6 <= whole.size()) {
    const uint32_t childLength = Read(whole, at, 2);
    if (childLength < 6 || at + childLength > whole.size()) throw Unreadable{};
    node.children.push_back(whole.substr(at, childLength));
    at = Align4(at + childLength);
  }
  return node;
}

// VerQueryValueW finds a block's keys whatever their case.
bool SameKey(const std::u16string& key, std::u16string_view wanted) {
  const auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c; };
  return key.size() == wanted.size() &&
         std::equal(key.begin(), key.end(), wanted.begin(),
                    [&](char16_t a, char16_t b) { return lower(a) == lower(b); });
}

std::optional<Node> Child(const Node& parent, std::u16string_view key) {
  for (const std::string_view child : parent.children) {
    Node node = ParseNode(child);
    if (SameKey(node.key, key)) return node;
  }
  return std::nullopt;
}

std::optional<std::u16string> FileVersionOf(std::string_view block) {
  const Node root = ParseNode(block);
  if (!SameKey(root.key, u"VS_VERSION_INFO")) return std::nullopt;
  const std::optional<Node> vars = Child(root, u"VarFileInfo");
  const std::optional<Node> translation = vars ? Child(*vars, u"Translation") : std::nullopt;
  if (!translation || translation->value.size() < 4) return std::nullopt;
  const std::u16string table = TranslationKey(uint16_t(Read(translation->value, 0, 2)),
                                              uint16_t(Read(translation->value, 2, 2)));
  const std::optional<Node> strings = Child(root, u"StringFileInfo");
  const std::optional<Node> language = strings ? Child(*strings, table) : std::nullopt;
  const std::optional<Node> version = language ? Child(*language, u"FileVersion") : std::nullopt;
  if (!version) return std::nullopt;
  std::u16string text;
  for (uint64_t at = 0; at + 2 <= version->value.size(); at += 2) {
    const char16_t c = char16_t(Read(version->value, at, 2));
    if (c == 0) break;
    text += c;
  }
  return text;
}

}  // namespace

std::optional<std::u16string> ExecutableFileVersion(std::string_view image) {
  constexpr uint32_t kVersionType = 16;  // RT_VERSION
  constexpr uint32_t kVersionName = 1;   // VS_VERSION_INFO
  constexpr uint32_t kSubdirectory = 0x80000000;
  try {
    if (Read(image, 0, 2) != 0x5A4D) return std::nullopt;  // "MZ"
    const uint32_t pe = Read(image, 0x3C, 4);
    if (Read(image, pe, 4) != 0x00004550) return std::nullopt;  // "PE\0\0"
    const uint64_t coff = uint64_t(pe) + 4;
    const uint32_t sections = Read(image, coff + 2, 2);
    const uint32_t optionalSize = Read(image, coff + 16, 2);
    const uint64_t optional = coff + 20;
    // The data directories follow the fields of PE32 or PE32+ (32- or 64-bit programs).
    const uint32_t magic = Read(image, optional, 2);
    const uint64_t directories = magic == 0x10B ? optional + 96 : magic == 0x20B ? optional + 112 : 0;
    if (!directories) return std::nullopt;
    constexpr uint32_t kResourceDirectory = 2;
    if (Read(image, directories - 4, 4) <= kResourceDirectory ||
        directories + 8 * (kResourceDirectory + 1) > optional + optionalSize)
      return std::nullopt;
    const uint32_t resourceRva = Read(image, directories + 8 * kResourceDirectory, 4);
    if (resourceRva == 0) return std::nullopt;
    const uint64_t sectionTable = optional + optionalSize;
    const uint64_t root = FileOffset(image, sectionTable, sections, resourceRva, 16);

    // Three levels, each below the root: type, name, language.
    const std::optional<uint32_t> type = Entry(image, root, kVersionType);
    if (!type || !(*type & kSubdirectory)) return std::nullopt;
    const std::optional<uint32_t> name = Entry(image, root + (*type & ~kSubdirectory), kVersionName);
    if (!name || !(*name & kSubdirectory)) return std::nullopt;
    const std::optional<uint32_t> language = Entry(image, root + (*name & ~kSubdirectory), {});
    if (!language || (*language & kSubdirectory)) return std::nullopt;
    const uint64_t data = root + *language;
    const uint32_t dataRva = Read(image, data, 4);
    const uint32_t dataSize = Read(image, data + 4, 4);
    const uint64_t block = FileOffset(image, sectionTable, sections, dataRva, dataSize);
    return FileVersionOf(image.substr(block, dataSize));
  } catch (const Unreadable&) {
    return std::nullopt;
  }
}

}  // namespace tallyx::publish
