// Any bytes as a skin picture: the loader either gives a picture within its limits, whose PNG
// copy reads back to the same pixels, or an error text; it never reads past the input or
// allocates beyond the limits.
#include "common/picture.h"
#include "fuzz_machine.h"

using fuzz::fail;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Smaller limits than the product's keep each run quick; the checks are the same.
  const picture::Limits limits{.MaxSide = 2048, .MaxPixels = 1024 * 1024, .MaxFileBytes = 1 << 20};
  picture::Picture pic;
  std::string error;
  if (!picture::Decode(data, size, pic, error, limits)) {
    if (error.empty()) fail("a refusal without a reason");
    if (!pic.Empty()) fail("pixels left after a refusal");
    return 0;
  }
  if (!error.empty()) fail("an error text with a picture");
  if (pic.Width == 0 || pic.Height == 0 || pic.Width > limits.MaxSide || pic.Height > limits.MaxSide)
    fail("a picture outside the limits");
  if (pic.Pixels.size() != size_t{pic.Width} * pic.Height) fail("pixels that do not fill the picture");
  if (pic.Pixels.size() <= 4096) {
    auto png = picture::EncodePng(pic);
    picture::Picture back;
    if (!picture::Decode(png.data(), png.size(), back, error) || back.Pixels != pic.Pixels)
      fail("a picture whose PNG copy reads back differently");
  }
  return 0;
}
