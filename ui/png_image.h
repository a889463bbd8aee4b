#pragma once
// The program's own images: PNG files of 8-bit RGBA, decoded into premultiplied BGRA rows
// ready for alpha blending.
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace tallyx::ui {

struct Pixels {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> bgra;  // premultiplied, top row first, 4 bytes a pixel
};

// Decodes a non-interlaced PNG of colour type 6 (RGBA) and bit depth 8. Anything else, or
// damaged data (bad signature, chunk lengths past the end, wrong CRC, short or
// undecodable image data, unknown filter), gives nothing.
std::optional<Pixels> DecodePng(std::string_view bytes);

// Scales down to fit a `box` × `box` square keeping proportions (area averaging).
Pixels ScaleToFit(const Pixels& image, int box);

}  // namespace tallyx::ui
