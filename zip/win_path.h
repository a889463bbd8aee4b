#pragma once
// Windows path rules of the extraction, as pure text functions.
#include <string>
#include <string_view>

namespace tallyx {

inline constexpr size_t kMaxFolderPath = 248;
inline constexpr size_t kMaxFilePath = 260;

// A character with code 0-31, a double quote, '<', '>' or '|'.
bool HasInvalidPathChars(std::u16string_view path);

// `path` and `name` joined with one backslash (none after '\', '/' or ':'); an empty side
// gives the other.
std::u16string JoinPath(const std::u16string& path, const std::u16string& name);
// JoinPath, after refusing invalid characters on either side with EArgumentException
// "Invalid characters in path".
std::u16string JoinEntryPath(const std::u16string& path, const std::u16string& name);

// The text up to the last backslash or colon; a backslash that follows neither a
// backslash nor a colon is left out, so a root keeps its backslash (C:\a.txt -> C:\).
std::u16string ExtractFolderPart(const std::u16string& path);

// The text checks made before a folder is created (`maxLength` 248) or before a file's
// times and attributes are set (260): EPathTooLongException, ENotSupportedException for a
// colon after the drive prefix, EArgumentException for a blank path or invalid characters.
void CheckPathText(const std::u16string& path, size_t maxLength);

// True for a name (separators already turned into backslashes) that would leave the
// folder it is joined to: rooted, carrying a drive or the \\?\ prefix, holding a
// segment of dots such as "..", or a NUL that would cut the path short.
bool IsEscapingEntryName(std::u16string_view name);

// True for a name with a segment that Windows opens as a device whatever folder it is in:
// CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9, CONIN$ or CONOUT$, in any letter case, with or
// without an extension.
bool NamesDevice(std::u16string_view name);

// `path` with ASCII letters in upper case: two paths that differ only so name one file
// on Windows.
std::u16string PathKey(std::u16string_view path);

}  // namespace tallyx
