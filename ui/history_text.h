#pragma once
// The text model of the change-history box: CR LF separated lines, no wrapping.
#include <string>
#include <string_view>

namespace tallyx::ui {

// Every lone CR and every lone LF becomes CR LF; LF CR gives two line breaks.
std::u16string NormalizeHistoryText(std::u16string_view text);

// Removes line `index` together with the CR LF that follows it; the last line loses only
// its characters. An index outside the lines leaves the text unchanged.
std::u16string DeleteHistoryLine(std::u16string_view text, int index);

}  // namespace tallyx::ui
