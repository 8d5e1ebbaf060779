// Screenshots compared with stored reference pictures, within a small tolerance (fonts and
// scaling may differ by a shade between library versions), and looked at for a colour.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/picture.h"

namespace testutil {

inline picture::Picture load_png(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
  picture::Picture p;
  std::string error;
  EXPECT_TRUE(picture::Decode(bytes.data(), bytes.size(), p, error)) << path << ": " << error;
  return p;
}

// The picture `shot` matches `reference`: each channel within 8, at most 1% of the pixels
// different. With the environment variable `update` set, the shot becomes the new reference.
inline void expect_matches_reference(const std::string& shot, const std::string& reference, const char* update) {
  if (std::getenv(update))
    std::filesystem::copy_file(shot, reference, std::filesystem::copy_options::overwrite_existing);
  picture::Picture got = load_png(shot), want = load_png(reference);
  ASSERT_EQ(got.Width, want.Width);
  ASSERT_EQ(got.Height, want.Height);
  size_t differ = 0;
  for (size_t i = 0; i < got.Pixels.size(); ++i)
    for (int shift : {0, 8, 16, 24})
      if (std::abs(static_cast<int>((got.Pixels[i] >> shift) & 255) - static_cast<int>((want.Pixels[i] >> shift) & 255)) > 8) {
        ++differ;
        break;
      }
  EXPECT_LE(differ, got.Pixels.size() / 100) << "see " << shot << " (" << update << "=1 stores it as the reference)";
}

// How many pixels of a picture are clearly red (glyph edges are blended with what lies below).
inline size_t red_pixels(const std::string& path) {
  picture::Picture p = load_png(path);
  return static_cast<size_t>(std::count_if(p.Pixels.begin(), p.Pixels.end(), [](uint32_t px) {
    return ((px >> 16) & 255) >= 200 && ((px >> 8) & 255) <= 120 && (px & 255) <= 120;
  }));
}

}  // namespace testutil
