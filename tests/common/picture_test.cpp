// The picture loader on small files of every kind with known pixels, and on damaged, truncated,
// oversized and foreign ones.
#include "common/picture.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "support/machine_fixture.h"

namespace {

using picture::Argb;
using picture::Picture;

std::vector<uint8_t> fixture(const std::string& name) {
  std::ifstream in(std::string(PICTURES_DIR) + "/" + name, std::ios::binary);
  EXPECT_TRUE(in) << name;
  return {std::istreambuf_iterator<char>(in), {}};
}

bool decode(const std::vector<uint8_t>& bytes, Picture& pic, std::string& error, const picture::Limits& l = {}) {
  return picture::Decode(bytes.data(), bytes.size(), pic, error, l);
}

// The 4 x 3 pattern of the lossless files: red 60x, green 100y, blue 200.
uint32_t pattern(uint32_t x, uint32_t y, uint8_t alpha = 255) {
  return Argb(alpha, static_cast<uint8_t>(60 * x), static_cast<uint8_t>(100 * y), 200);
}

struct PatternCase {
  const char* file;
  picture::Format format;
  bool alpha;  // alpha falls by 80 per column
};

class PatternFiles : public ::testing::TestWithParam<PatternCase> {};

TEST_P(PatternFiles, DecodeToThePattern) {
  const PatternCase& c = GetParam();
  auto bytes = fixture(c.file);
  EXPECT_EQ(picture::DetectFormat(bytes.data(), bytes.size()), c.format);
  Picture pic;
  std::string error;
  ASSERT_TRUE(decode(bytes, pic, error)) << error;
  ASSERT_EQ(pic.Width, 4u);
  ASSERT_EQ(pic.Height, 3u);
  EXPECT_EQ(pic.HasAlpha, c.alpha);
  for (uint32_t y = 0; y < 3; ++y)
    for (uint32_t x = 0; x < 4; ++x)
      EXPECT_EQ(pic.At(x, y), pattern(x, y, c.alpha ? static_cast<uint8_t>(255 - 80 * x) : 255))
          << c.file << " at " << x << "," << y;
}

INSTANTIATE_TEST_SUITE_P(Picture, PatternFiles,
                         ::testing::Values(PatternCase{"rgba.png", picture::Format::Png, true},
                                           PatternCase{"rgb24.bmp", picture::Format::Bmp, false},
                                           PatternCase{"rgb24_topdown.bmp", picture::Format::Bmp, false},
                                           PatternCase{"rgb32.bmp", picture::Format::Bmp, false},
                                           PatternCase{"argb32_v5.bmp", picture::Format::Bmp, true}));

// Palette BMPs: entry i is red 30i, green 20i, blue 10i; pixel (x, y) uses entry (x + y) % n.
TEST(Picture, PaletteBmpsOfEveryDepth) {
  for (auto [file, n] : {std::pair{"pal1.bmp", 2u}, {"pal4.bmp", 5u}, {"pal8.bmp", 7u}}) {
    Picture pic;
    std::string error;
    ASSERT_TRUE(decode(fixture(file), pic, error)) << file << ": " << error;
    for (uint32_t y = 0; y < 3; ++y)
      for (uint32_t x = 0; x < 4; ++x) {
        auto i = static_cast<uint8_t>((x + y) % n);
        EXPECT_EQ(pic.At(x, y), Argb(255, 30 * i, 20 * i, 10 * i)) << file << " at " << x << "," << y;
      }
  }
}

TEST(Picture, SixteenBitBmpWidensItsMasks) {
  Picture pic;
  std::string error;
  ASSERT_TRUE(decode(fixture("rgb565.bmp"), pic, error)) << error;
  EXPECT_EQ(pic.At(0, 2), Argb(255, 255, 0, 0));
  EXPECT_EQ(pic.At(1, 2), Argb(255, 0, 255, 0));
  EXPECT_EQ(pic.At(2, 2), Argb(255, 0, 0, 255));
  EXPECT_EQ(pic.At(3, 0), Argb(255, 255, 255, 255));
}

TEST(Picture, PalettePngWithTransparentEntry) {
  Picture pic;
  std::string error;
  ASSERT_TRUE(decode(fixture("palette.png"), pic, error)) << error;
  EXPECT_TRUE(pic.HasAlpha);
  EXPECT_EQ(pic.At(0, 0) >> 24, 0u);                  // entry 0: transparent
  EXPECT_EQ(pic.At(1, 0), Argb(255, 255, 0, 0));     // entry 1
  EXPECT_EQ(pic.At(1, 1), Argb(255, 0, 255, 0));     // entry 2
}

TEST(Picture, GifGivesItsFirstFrameWithTransparency) {
  Picture pic;
  std::string error;
  ASSERT_TRUE(decode(fixture("two_frames.gif"), pic, error)) << error;
  ASSERT_EQ(pic.Width, 4u);
  const uint32_t table[] = {0, Argb(255, 255, 0, 0), Argb(255, 0, 255, 0), Argb(255, 0, 0, 255)};
  for (uint32_t y = 0; y < 3; ++y)
    for (uint32_t x = 0; x < 4; ++x) EXPECT_EQ(pic.At(x, y), table[(x + y) % 4]) << x << "," << y;
  EXPECT_TRUE(pic.HasAlpha);
}

TEST(Picture, InterlacedGifFrameAtItsOffset) {
  Picture pic;
  std::string error;
  ASSERT_TRUE(decode(fixture("offset_interlaced.gif"), pic, error)) << error;
  const uint32_t red = Argb(255, 255, 0, 0), green = Argb(255, 0, 255, 0), blue = Argb(255, 0, 0, 255);
  const uint32_t want[3][4] = {{0, red, green, 0}, {0, green, red, 0}, {0, blue, blue, 0}};
  for (uint32_t y = 0; y < 3; ++y)
    for (uint32_t x = 0; x < 4; ++x) EXPECT_EQ(pic.At(x, y), want[y][x]) << x << "," << y;
}

TEST(Picture, JpegColourAndProgressiveGrey) {
  for (auto [file, r, g, b] : {std::tuple{"solid.jpg", 200, 40, 90}, {"gray_progressive.jpg", 120, 120, 120}}) {
    Picture pic;
    std::string error;
    ASSERT_TRUE(decode(fixture(file), pic, error)) << file << ": " << error;
    ASSERT_EQ(pic.Width, 16u);
    ASSERT_EQ(pic.Height, 16u);
    EXPECT_FALSE(pic.HasAlpha);
    uint32_t p = pic.At(7, 9);
    EXPECT_EQ(p >> 24, 255u);
    EXPECT_NEAR(static_cast<int>((p >> 16) & 255), r, 4) << file;
    EXPECT_NEAR(static_cast<int>((p >> 8) & 255), g, 4) << file;
    EXPECT_NEAR(static_cast<int>(p & 255), b, 4) << file;
  }
}

// Every picture cut short, at a few places, is refused with a text; none crashes or is accepted.
TEST(Picture, TruncatedFilesAreRefused) {
  // (Only the first frame of a GIF is read: a cut in a later frame is no loss, so the one-frame file.)
  for (const char* file : {"rgba.png", "palette.png", "solid.jpg", "gray_progressive.jpg", "offset_interlaced.gif", "rgb24.bmp", "pal4.bmp", "argb32_v5.bmp"}) {
    auto bytes = fixture(file);
    // (A PNG whose last 12 bytes, its end marker, are missing still has all of its pixels.)
    for (size_t keep : {size_t{0}, size_t{2}, size_t{20}, bytes.size() / 2, bytes.size() - 13}) {
      std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<long>(keep));
      Picture pic;
      std::string error;
      EXPECT_FALSE(decode(cut, pic, error)) << file << " cut to " << keep;
      EXPECT_FALSE(error.empty()) << file << " cut to " << keep;
      EXPECT_TRUE(pic.Empty());
    }
  }
}

TEST(Picture, DamagedDataIsRefused) {
  auto png = fixture("rgba.png");
  png[png.size() - 20] ^= 0x55;  // inside the compressed data: its checksum fails
  auto bmp = fixture("rgb24.bmp");
  bmp[28] = 7;  // 7 bits per pixel
  auto rle = fixture("pal8.bmp");
  rle[30] = 1;  // run-length compressed
  auto gif = fixture("two_frames.gif");
  gif[10] = 0;  // no global colour table: the frames have no colours
  for (const auto& [name, bytes] : {std::pair{"png", png}, {"bmp", bmp}, {"rle", rle}, {"gif", gif}}) {
    Picture pic;
    std::string error;
    EXPECT_FALSE(decode(bytes, pic, error)) << name;
    EXPECT_FALSE(error.empty()) << name;
  }
}

// A 20000 x 20000 picture is refused from its header, before its pixels are allocated (the
// sanitizer build would fail on a 1.6 GB allocation).
TEST(Picture, HugePicturesAreRefusedFromTheirHeader) {
  for (const char* file : {"huge.png", "huge.jpg", "huge.gif", "huge.bmp"}) {
    Picture pic;
    std::string error;
    EXPECT_FALSE(decode(fixture(file), pic, error)) << file;
    EXPECT_NE(error.find("too large (20000 x 20000"), std::string::npos) << file << ": " << error;
  }
  picture::Limits small{.MaxSide = 3, .MaxPixels = 100};
  Picture pic;
  std::string error;
  EXPECT_FALSE(decode(fixture("rgba.png"), pic, error, small));  // 4 wide
  small.MaxSide = 4;
  small.MaxPixels = 11;
  EXPECT_FALSE(decode(fixture("rgb24.bmp"), pic, error, small));  // 12 pixels
  small.MaxPixels = 12;
  EXPECT_TRUE(decode(fixture("rgb24.bmp"), pic, error, small)) << error;
}

TEST(Picture, FormatIsToldByContentNotName) {
  auto png = fixture("rgba.png");
  EXPECT_EQ(picture::DetectFormat(png.data(), png.size()), picture::Format::Png);
  const std::string text = "<html>not a picture</html>";
  std::vector<uint8_t> bytes(text.begin(), text.end());
  Picture pic;
  std::string error;
  EXPECT_FALSE(decode(bytes, pic, error));
  EXPECT_EQ(error, "not a PNG, JPEG, GIF or BMP picture");
}

TEST(Picture, EncodedPngDecodesToTheSamePixels) {
  Picture src;
  std::string error;
  ASSERT_TRUE(decode(fixture("rgba.png"), src, error));
  for (bool alpha : {true, false}) {
    Picture pic = src;
    if (!alpha)
      for (uint32_t& p : pic.Pixels) p |= 0xFF000000u;
    pic.HasAlpha = alpha;
    auto png = picture::EncodePng(pic);
    Picture back;
    ASSERT_TRUE(decode(png, back, error)) << error;
    EXPECT_EQ(back.Pixels, pic.Pixels);
    EXPECT_EQ(back.HasAlpha, alpha);
  }
}

class PictureFileTest : public MachineTest {};

TEST_F(PictureFileTest, LoadsAFileOfAnyNameAndSaysWhyNot) {
  // A JPEG named .png is still read as the JPEG it is.
  auto jpeg = fixture("solid.jpg");
  testutil::write_file(c("skin/Start1EN.png"), std::string(jpeg.begin(), jpeg.end()));
  Picture pic;
  std::string error;
  ASSERT_TRUE(picture::LoadFile(W_("C:\\skin\\Start1EN.png"), pic, error)) << error;
  EXPECT_EQ(pic.Width, 16u);
  EXPECT_FALSE(picture::LoadFile(W_("C:\\skin\\missing.png"), pic, error));
  EXPECT_EQ(error, "cannot open the file (error 2)");
  EXPECT_TRUE(pic.Empty());
}

}  // namespace
