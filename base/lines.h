#pragma once
// Text split into lines and joined again, as the manifest, the history box and the text
// one copy of the program hands to another all treat it.
#include <string>
#include <string_view>
#include <vector>

namespace tallyx {

// A line ends at CR LF, a lone CR or a lone LF (so LF CR ends two lines); a break at the
// very end adds no empty line, and a NUL ends the text.
std::vector<std::u16string> SplitLines(std::u16string_view text);

// Every line, the last one included, followed by CR LF.
std::u16string JoinLines(const std::vector<std::u16string>& lines);

}  // namespace tallyx
