#pragma once
// Windows path and name rules, as pure text functions: which characters a path or a name
// may hold, which names open a device, how paths are joined and split. The extraction,
// the manifest check and the release tool all ask here, so that what the tool publishes
// is what a workstation accepts.
#include <string>
#include <string_view>

namespace tallyx {

inline constexpr size_t kMaxFolderPath = 248;
inline constexpr size_t kMaxFilePath = 260;

// A character with code 0-31, a double quote, '<', '>' or '|': refused anywhere in a path.
bool HasInvalidPathChars(std::u16string_view path);

// The characters that a single file or folder name cannot hold: those of a path, the
// separators '\' and '/', ':' (a drive, or a stream on NTFS) and the wildcards '*', '?'.
bool IsInvalidNameChar(char16_t c);
bool HasInvalidNameChars(std::u16string_view name);

// `name` with every '/' turned into '\': how the extraction reads an archive's names.
std::u16string WithBackslashes(std::u16string_view name);

// Whether `test` holds for any of the backslash-separated segments of `name` (empty
// segments included: "a\\b" has three).
template <typename Test>
bool AnySegment(std::u16string_view name, Test test) {
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find(u'\\', start);
    if (end == std::u16string_view::npos) end = name.size();
    if (test(name.substr(start, end - start))) return true;
    start = end + 1;
  }
  return false;
}

// `path` and `name` joined with one backslash (none after '\', '/' or ':'); an empty side
// gives the other.
std::u16string JoinPath(const std::u16string& path, const std::u16string& name);
// JoinPath, after refusing invalid characters on either side with EArgumentException
// "Invalid characters in path".
std::u16string JoinEntryPath(const std::u16string& path, const std::u16string& name);

// The text up to the last backslash or colon; a backslash that follows neither a
// backslash nor a colon is left out, so a root keeps its backslash (C:\a.txt -> C:\).
std::u16string ExtractFolderPart(const std::u16string& path);
// The text after the last backslash or colon: the whole path when it holds neither, empty
// when it ends with one. A '/' separates nothing here, as in the system's own image names.
std::u16string_view FilePart(std::u16string_view path);

// The text checks made before a folder is created (`maxLength` 248) or before a file's
// times and attributes are set (260): EPathTooLongException, ENotSupportedException for a
// colon after the drive prefix, EArgumentException for a blank path or invalid characters.
void CheckPathText(const std::u16string& path, size_t maxLength);

// True for a name (separators already turned into backslashes) that would leave the
// folder it is joined to: rooted, carrying a drive or the \\?\ prefix, holding a
// segment of dots such as "..", or a NUL that would cut the path short.
bool IsEscapingEntryName(std::u16string_view name);

// True for a path, relative and with backslash separators, that stays inside the folder
// it is joined to and names a plain file or folder there: not escaping (above), no
// character a path cannot hold, no colon (a drive, or on NTFS a stream of another file:
// "a:b" writes into "a"), no slash, no device. Empty segments ("a\\b") are allowed:
// the system reads them as one separator.
bool IsContainedPath(std::u16string_view relative);

// True for one name that Windows opens as a device whatever folder it is in: CON, PRN,
// AUX, NUL, COM1-COM9, LPT1-LPT9 (and COM/LPT with the superscripts 1, 2, 3), CONIN$ or
// CONOUT$, in any letter case, with or without an extension.
bool IsDeviceName(std::u16string_view segment);
// True for a name with a segment that IsDeviceName holds for.
bool NamesDevice(std::u16string_view name);

// True for a name that ends with a dot or a blank, which the system drops when it opens
// the file ("a.txt." opens "a.txt").
bool EndsWithDotOrBlank(std::u16string_view segment);

// The capital by which NTFS compares names: the simple upper-case mapping of one UTF-16
// code unit (a, é, ÿ, σ and ς, ж, ё become A, É, Ÿ, Σ, Ж, Ё), never a longer one (ß stays ß);
// surrogates and characters without a capital stay as they are. The table
// (base/upcase_table.inc, made by tools/upcase/make_upcase_table.py) holds the pairs that
// every volume's table folds, from Windows XP's time on:
// - A volume keeps the table of the system that formatted it, made from the Unicode data
//   of its day. Pairs encoded after Unicode 3.2 (Glagolitic, Coptic, Latin Extended-C/-D,
//   Georgian Mtavruli, Cherokee, ...) stay apart here, though a newer volume folds them:
//   such a pair in one release then fails that release instead of losing one of its files.
// - Windows folds no one-way mapping, and neither does this: the micro sign, dotless i,
//   long s, the title-case digraphs and the Greek symbol forms keep their own names (µ
//   and Greek mu are two files). Final sigma is the exception: ς, σ and Σ are one name.
// - Windows' table maps ῌ to ῃ and ῼ to ῳ, the other way round from Unicode: the same
//   pairs fold, with the other character as their key.
char16_t UpcaseNameChar(char16_t c);

// `path` with every code unit through UpcaseNameChar: two paths that differ only so name
// one file on Windows.
std::u16string PathKey(std::u16string_view path);

// True for one name that the installation keeps for its own files beside the installed
// ones, compared as Windows compares names: the journal ".~tx.journal", a staged file
// ".~tx" + 8 hex digits + ".tmp", a backup ending ".~tx" + 8 hex digits + ".bak" (the
// file's name before it, or none), the write probe ".~txprobe" ... ".tmp". What Windows
// drops when it opens a name (trailing dots and blanks, a stream after a colon) is left
// out first. A staged name with anything before it ("a.~tx12345678.tmp") is not one:
// staged files are made with nothing there, and recovery only ever takes names from the
// journal.
bool IsTransactionName(std::u16string_view segment);
// True for a name with a segment that IsTransactionName holds for.
bool NamesTransactionFile(std::u16string_view name);

}  // namespace tallyx
