#pragma once
// The parameter text a later copy of the program hands to the first one.
#include <string>
#include <string_view>
#include <vector>

namespace tallyx {

// Each argument followed by CR LF, argument 0 first.
std::u16string JoinParameterLines(const std::vector<std::u16string>& arguments);

// A line ends at CR LF, a lone CR or a lone LF; a final line break adds no empty line.
std::vector<std::u16string> SplitParameterLines(std::u16string_view text);

}  // namespace tallyx
