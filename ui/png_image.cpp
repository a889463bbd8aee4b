#include "ui/png_image.h"

#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <string>

namespace tallyx::ui {
namespace {

uint32_t BigEndian32(const unsigned char* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

uint8_t Paeth(int a, int b, int c) {
  int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
  if (pa <= pb && pa <= pc) return uint8_t(a);
  return uint8_t(pb <= pc ? b : c);
}

bool Inflate(const std::string& in, std::vector<uint8_t>& out) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return false;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  int rc = inflate(&z, Z_FINISH);
  inflateEnd(&z);
  return rc == Z_STREAM_END && z.avail_out == 0;
}

}  // namespace

std::optional<Pixels> DecodePng(std::string_view bytes) {
  static constexpr unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  auto data = reinterpret_cast<const unsigned char*>(bytes.data());
  if (bytes.size() < 8 || !std::equal(kSignature, kSignature + 8, data)) return std::nullopt;
  uint32_t width = 0, height = 0;
  std::string idat;
  bool seenHeader = false, seenEnd = false;
  for (size_t pos = 8; !seenEnd;) {
    if (bytes.size() - pos < 12) return std::nullopt;
    uint32_t length = BigEndian32(data + pos);
    if (length > bytes.size() - pos - 12) return std::nullopt;
    const unsigned char* type = data + pos + 4;
    const unsigned char* body = type + 4;
    if (crc32(crc32(0, nullptr, 0), type, length + 4) != BigEndian32(body + length))
      return std::nullopt;
    std::string_view name(reinterpret_cast<const char*>(type), 4);
    if (name == "IHDR") {
      if (length != 13) return std::nullopt;
      width = BigEndian32(body);
      height = BigEndian32(body + 4);
      // Bit depth 8, colour type 6, standard compression and filtering, no interlace.
      if (body[8] != 8 || body[9] != 6 || body[10] || body[11] || body[12]) return std::nullopt;
      if (width == 0 || height == 0 || width > 4096 || height > 4096) return std::nullopt;
      seenHeader = true;
    } else if (name == "IDAT") {
      idat.append(reinterpret_cast<const char*>(body), length);
    } else if (name == "IEND") {
      seenEnd = true;
    }
    pos += 12 + size_t(length);
  }
  if (!seenHeader) return std::nullopt;

  const size_t stride = size_t(width) * 4;
  std::vector<uint8_t> raw((stride + 1) * height);
  if (!Inflate(idat, raw)) return std::nullopt;

  Pixels image{int(width), int(height), std::vector<uint8_t>(stride * height)};
  std::vector<uint8_t> previous(stride, 0);
  for (uint32_t y = 0; y < height; ++y) {
    uint8_t filter = raw[y * (stride + 1)];
    uint8_t* row = raw.data() + y * (stride + 1) + 1;
    for (size_t x = 0; x < stride; ++x) {
      int a = x >= 4 ? row[x - 4] : 0, b = previous[x], c = x >= 4 ? previous[x - 4] : 0;
      switch (filter) {
        case 0: break;
        case 1: row[x] = uint8_t(row[x] + a); break;
        case 2: row[x] = uint8_t(row[x] + b); break;
        case 3: row[x] = uint8_t(row[x] + (a + b) / 2); break;
        case 4: row[x] = uint8_t(row[x] + Paeth(a, b, c)); break;
        default: return std::nullopt;
      }
    }
    std::copy(row, row + stride, previous.begin());
    uint8_t* out = image.bgra.data() + y * stride;
    for (size_t x = 0; x < stride; x += 4) {
      unsigned alpha = row[x + 3];
      out[x + 0] = uint8_t((row[x + 2] * alpha + 127) / 255);
      out[x + 1] = uint8_t((row[x + 1] * alpha + 127) / 255);
      out[x + 2] = uint8_t((row[x + 0] * alpha + 127) / 255);
      out[x + 3] = uint8_t(alpha);
    }
  }
  return image;
}

Pixels ScaleToFit(const Pixels& image, int box) {
  int longer = std::max(image.width, image.height);
  if (longer <= box) return image;
  int w = std::max(1, image.width * box / longer), h = std::max(1, image.height * box / longer);
  Pixels out{w, h, std::vector<uint8_t>(size_t(w) * h * 4)};
  for (int y = 0; y < h; ++y) {
    int y0 = y * image.height / h, y1 = std::max(y0 + 1, (y + 1) * image.height / h);
    for (int x = 0; x < w; ++x) {
      int x0 = x * image.width / w, x1 = std::max(x0 + 1, (x + 1) * image.width / w);
      unsigned sum[4] = {};
      for (int sy = y0; sy < y1; ++sy)
        for (int sx = x0; sx < x1; ++sx)
          for (int k = 0; k < 4; ++k) sum[k] += image.bgra[(size_t(sy) * image.width + sx) * 4 + k];
      unsigned count = unsigned((y1 - y0) * (x1 - x0));
      for (int k = 0; k < 4; ++k)
        out.bgra[(size_t(y) * w + x) * 4 + k] = uint8_t((sum[k] + count / 2) / count);
    }
  }
  return out;
}

}  // namespace tallyx::ui
