#pragma once
// UTF-16 text helpers. Portable text is std::u16string, as on Windows; these decoders
// reproduce what the Windows converter gives for the code pages the program reads.
#include <string>
#include <string_view>

namespace tallyx {

// UTF-8 as MultiByteToWideChar(CP_UTF8, 0, ...) decodes it: each maximal invalid
// subsequence becomes U+FFFD, a byte-order mark stays U+FEFF, NUL stays U+0000.
std::u16string DecodeUtf8Lenient(std::string_view bytes);

// UTF-8 that must be well formed; anything else raises EEncodingError.
std::u16string DecodeUtf8Strict(std::string_view bytes);

// IBM PC code page 437: every byte maps to one character, 0x00-0x7F unchanged.
std::u16string DecodeCp437(std::string_view bytes);

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string EncodeUtf8(std::u16string_view text);

// Short spelling for literals and test data written in UTF-8.
inline std::u16string U16(std::string_view utf8) { return DecodeUtf8Lenient(utf8); }

}  // namespace tallyx
