#pragma once
// Files of the installation folder that the program opens by name outside the extraction
// (the download's part and its record, the write probe). Any user who may write the folder
// may put a link or a second name of another file there: none is written through.
#include <windows.h>

#include <string>

#include "platform/scoped_handle.h"

namespace tallyx {

// Whether `file`, opened at `path` with FILE_FLAG_OPEN_REPARSE_POINT, is a plain file
// that lives at that name in that folder under no other name: not a reparse point, not
// reached through one (its final path is the folder's own followed by the name), one link.
bool IsPlainFileAt(HANDLE file, const std::u16string& path);

// Opens `path` for writing, sharing reading only: a new file when there is none, else the
// plain file there (IsPlainFileAt), cut to `keep` bytes. A link or a file with another name
// at `path` is never opened: its name is removed and a new file made in its place, and
// `kept` is then false (nothing of the old content can be trusted to continue).
ScopedFileHandle OpenPlainForWriting(const std::u16string& path, long long keep, bool& kept);

}  // namespace tallyx
