#pragma once
// The download caption: byte counts shown as megabytes with two decimals.
#include <cstdint>
#include <string>
#include <string_view>

namespace tallyx {

// `bytes` / 1048576 with the pattern "0.00": at least one integer digit, two decimals,
// no grouping, a value halfway between two hundredths rounded up.
std::u16string FormatMegabytes(uint64_t bytes, std::u16string_view decimalSeparator);

// "Vantrel Tallyx Updater : " + received + " Mo/" + expected + " Mo".
std::u16string ProgressCaption(uint32_t received, uint32_t expected,
                               std::u16string_view decimalSeparator);

// The caption while the release is installed: "Vantrel Tallyx Updater : vérification de
// l'archive" while its content is checked, then "Vantrel Tallyx Updater : installation "
// + written + " Mo/" + total + " Mo".
std::u16string InstallCaption(bool checking, uint64_t written, uint64_t total,
                              std::u16string_view decimalSeparator);

}  // namespace tallyx
