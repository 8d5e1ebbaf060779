// Pictures for the installer's skin: PNG, JPEG, GIF (first frame) and BMP files read into one
// 32-bit pixel buffer. The format is told by the file's first bytes, never by its name, and every
// picture is checked against a size budget before any pixel memory is taken, so a damaged,
// truncated or absurdly large file ends in an error text instead of a crash or a huge allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "win32/base.h"

namespace picture {

enum class Format { Unknown, Png, Jpeg, Gif, Bmp };

// What a picture may be at most. The defaults allow any sensible skin and refuse a
// 20000 × 20000 picture before its pixels are allocated.
struct Limits {
  uint32_t MaxSide = 16384;
  uint64_t MaxPixels = 64ull * 1024 * 1024;
  uint64_t MaxFileBytes = 256ull * 1024 * 1024;
};

// Pixels top row first, each 0xAARRGGBB (so B, G, R, A in memory on a little-endian machine, as a
// Windows 32-bit DIB), with straight (not premultiplied) alpha. Opaque pictures have A = 255.
struct Picture {
  uint32_t Width = 0;
  uint32_t Height = 0;
  std::vector<uint32_t> Pixels;
  bool HasAlpha = false;  // some pixel is not fully opaque

  bool Empty() const { return Pixels.empty(); }
  uint32_t At(uint32_t x, uint32_t y) const { return Pixels[static_cast<size_t>(y) * Width + x]; }
};

inline uint32_t Argb(uint8_t a, uint8_t r, uint8_t g, uint8_t b) {
  return (uint32_t{a} << 24) | (uint32_t{r} << 16) | (uint32_t{g} << 8) | b;
}

Format DetectFormat(const uint8_t* data, size_t size);
const char* FormatName(Format f);

// Decodes a whole file's bytes. On failure `out` is left empty and `error` says why in English
// (for the log): unknown format, damaged or truncated data, or a picture over the limits.
bool Decode(const uint8_t* data, size_t size, Picture& out, std::string& error, const Limits& limits = {});
bool LoadFile(const WStr& path, Picture& out, std::string& error, const Limits& limits = {});

// A PNG of the picture (8-bit RGBA, or RGB when every pixel is opaque); empty on failure.
std::vector<uint8_t> EncodePng(const Picture& pic);

}  // namespace picture
