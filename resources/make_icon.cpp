// Writes tkvcert.ico: a padlock in two 256-colour (8 bits per pixel)
// images, 32x32 and 16x16. Run once by hand; its output is committed:
//   g++ -std=c++17 -o /tmp/make_icon resources/make_icon.cpp && /tmp/make_icon resources/tkvcert.ico
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

void Put16(Bytes* out, uint16_t v) {
  out->push_back(v & 0xFF);
  out->push_back(v >> 8);
}
void Put32(Bytes* out, uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

enum Colour : uint8_t { kBackground, kShackle, kBody, kKeyhole };

// The padlock on a unit grid, scaled to the image size.
uint8_t PixelAt(int x, int y, int size) {
  const double u = (x + 0.5) / size;
  const double v = (y + 0.5) / size;  // 0 at the top
  if (u > 0.2 && u < 0.8 && v > 0.45 && v < 0.92) {
    const bool hole = (u > 0.44 && u < 0.56 && v > 0.58 && v < 0.8);
    return hole ? kKeyhole : kBody;
  }
  const double dx = u - 0.5;
  const double dy = v - 0.45;
  const double r2 = dx * dx + dy * dy;
  if (v <= 0.45 && r2 < 0.3 * 0.3 && r2 > 0.19 * 0.19) return kShackle;
  return kBackground;
}

Bytes Image(int size) {
  Bytes out;
  const uint32_t row_mask_bytes = ((size + 31) / 32) * 4;
  const uint32_t pixels = size * size;
  const uint32_t mask = row_mask_bytes * size;
  Put32(&out, 40);
  Put32(&out, size);
  Put32(&out, size * 2);  // colour and mask images stacked
  Put16(&out, 1);
  Put16(&out, 8);
  Put32(&out, 0);
  Put32(&out, pixels + mask);
  Put32(&out, 0);
  Put32(&out, 0);
  Put32(&out, 256);
  Put32(&out, 0);
  const uint8_t palette[][3] = {{255, 255, 255}, {120, 130, 140}, {20, 90, 170}, {250, 200, 40}};
  for (int i = 0; i < 256; ++i) {  // blue, green, red, reserved
    const uint8_t* rgb = palette[i < 4 ? i : 0];
    out.insert(out.end(), {rgb[2], rgb[1], rgb[0], 0});
  }
  for (int y = size - 1; y >= 0; --y) {  // bottom row first
    for (int x = 0; x < size; ++x) out.push_back(PixelAt(x, y, size));
  }
  out.insert(out.end(), mask, 0);  // every pixel opaque
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const int sizes[] = {32, 16};
  std::vector<Bytes> images;
  for (int size : sizes) images.push_back(Image(size));
  Bytes ico;
  Put16(&ico, 0);
  Put16(&ico, 1);  // icon
  Put16(&ico, 2);
  uint32_t offset = 6 + 16 * 2;
  for (size_t i = 0; i < images.size(); ++i) {
    ico.push_back(static_cast<uint8_t>(sizes[i]));
    ico.push_back(static_cast<uint8_t>(sizes[i]));
    ico.push_back(0);  // 256 colours
    ico.push_back(0);
    Put16(&ico, 1);
    Put16(&ico, 8);
    Put32(&ico, static_cast<uint32_t>(images[i].size()));
    Put32(&ico, offset);
    offset += static_cast<uint32_t>(images[i].size());
  }
  for (const Bytes& image : images) ico.insert(ico.end(), image.begin(), image.end());
  FILE* f = fopen(argv[1], "wb");
  if (f == nullptr || fwrite(ico.data(), 1, ico.size(), f) != ico.size()) return 1;
  return fclose(f) == 0 ? 0 : 1;
}
