// Screenshots compared with stored reference pictures, within a small tolerance (fonts and
// scaling may differ by a shade between library versions).
#pragma once

#include <gtest/gtest.h>

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

}  // namespace testutil
