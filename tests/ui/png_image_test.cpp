#include "ui/png_image.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

namespace tallyx::ui {
namespace {

void Put32(std::string& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out += char((v >> shift) & 0xFF);
}

void Chunk(std::string& out, const char* type, const std::string& body) {
  Put32(out, uint32_t(body.size()));
  std::string typed = std::string(type, 4) + body;
  out += typed;
  Put32(out, uint32_t(crc32(0, reinterpret_cast<const Bytef*>(typed.data()), uInt(typed.size()))));
}

// The PNG predictor of `filter` for byte x of a row, from its left (a), upper (b) and
// upper-left (c) neighbours.
int Predict(uint8_t filter, int a, int b, int c) {
  switch (filter) {
    case 1: return a;
    case 2: return b;
    case 3: return (a + b) / 2;
    case 4: {
      int p = a + b - c;
      int pa = p > a ? p - a : a - p, pb = p > b ? p - b : b - p, pc = p > c ? p - c : c - p;
      return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
    }
    default: return 0;
  }
}

// A 2 × 2 RGBA image: opaque red, half-transparent green / transparent, opaque white; the
// second row is stored with `filter`.
std::string TwoByTwo(uint8_t filter) {
  const uint8_t row0[8] = {255, 0, 0, 255, 0, 255, 0, 128};
  const uint8_t row1[8] = {0, 0, 0, 0, 255, 255, 255, 255};
  std::string raw;
  raw += char(0);
  raw.append(reinterpret_cast<const char*>(row0), 8);
  raw += char(filter);
  for (int x = 0; x < 8; ++x) {
    int a = x >= 4 ? row1[x - 4] : 0, b = row0[x], c = x >= 4 ? row0[x - 4] : 0;
    raw += char(uint8_t(row1[x] - Predict(filter, a, b, c)));
  }
  std::string ihdr;
  Put32(ihdr, 2);
  Put32(ihdr, 2);
  ihdr += std::string("\x08\x06\x00\x00\x00", 5);
  uLongf size = compressBound(uLong(raw.size()));
  std::string z(size, '\0');
  compress(reinterpret_cast<Bytef*>(z.data()), &size, reinterpret_cast<const Bytef*>(raw.data()),
           uLong(raw.size()));
  z.resize(size);
  std::string png("\x89PNG\r\n\x1A\n", 8);
  Chunk(png, "IHDR", ihdr);
  Chunk(png, "IDAT", z);
  Chunk(png, "IEND", "");
  return png;
}

TEST(Png, DecodesPremultipliedBgra) {
  for (uint8_t filter : {0, 1, 2, 3, 4}) {
    std::optional<Pixels> image = DecodePng(TwoByTwo(filter));
    ASSERT_TRUE(image) << int(filter);
    EXPECT_EQ(image->width, 2);
    EXPECT_EQ(image->height, 2);
    const std::vector<uint8_t> expected = {0, 0, 255, 255, 0, 128, 0, 128,
                                           0, 0, 0,   0,   255, 255, 255, 255};
    EXPECT_EQ(image->bgra, expected) << int(filter);
  }
}

TEST(Png, DamagedDataGivesNothing) {
  const std::string good = TwoByTwo(2);
  struct Case {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"empty", ""},
      {"signature byte", std::string(good).replace(1, 1, "Q")},
      {"truncated inside a chunk", good.substr(0, 40)},
      {"truncated before IEND", good.substr(0, good.size() - 12)},
      {"header CRC", std::string(good).replace(29, 1, "\x01")},
      {"huge chunk length", std::string(good).replace(8, 4, "\x7F\xFF\xFF\xF0")},
      {"colour type 2", std::string(good).replace(25, 1, "\x02")},
      {"unknown filter", TwoByTwo(9)},
  };
  for (const Case& c : cases) EXPECT_FALSE(DecodePng(c.bytes)) << c.name;
  EXPECT_TRUE(DecodePng(good));
}

TEST(Png, ScaleToFitKeepsProportions) {
  struct Case {
    int w, h, box, outW, outH;
  } cases[] = {
      {256, 256, 97, 97, 97}, {256, 128, 97, 97, 48}, {64, 200, 97, 31, 97}, {32, 32, 97, 32, 32},
  };
  for (const Case& c : cases) {
    Pixels in{c.w, c.h, std::vector<uint8_t>(size_t(c.w) * c.h * 4, 200)};
    Pixels out = ScaleToFit(in, c.box);
    EXPECT_EQ(out.width, c.outW) << c.w << "x" << c.h;
    EXPECT_EQ(out.height, c.outH) << c.w << "x" << c.h;
    EXPECT_EQ(out.bgra, std::vector<uint8_t>(size_t(c.outW) * c.outH * 4, 200)) << c.w << "x" << c.h;
  }
}

}  // namespace
}  // namespace tallyx::ui
