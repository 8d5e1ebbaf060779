#include "common/picture.h"

#include <bit>
#include <csetjmp>
#include <cstdio>
#include <cstring>

// clang-format off
#include <png.h>
#include <jpeglib.h>
#include <jerror.h>
#include <gif_lib.h>
// clang-format on

#include "common/handles.h"

static_assert(std::endian::native == std::endian::little, "pixels are stored as B, G, R, A bytes");

namespace picture {
namespace {

bool WithinLimits(uint64_t w, uint64_t h, const Limits& limits, std::string& error) {
  if (w == 0 || h == 0) {
    error = "the picture has no pixels";
    return false;
  }
  if (w > limits.MaxSide || h > limits.MaxSide || w * h > limits.MaxPixels) {
    error = "the picture is too large (" + std::to_string(w) + " x " + std::to_string(h) + " pixels)";
    return false;
  }
  return true;
}

void FinishAlpha(Picture& pic) {
  pic.HasAlpha = false;
  for (uint32_t p : pic.Pixels) {
    if ((p >> 24) != 0xFF) {
      pic.HasAlpha = true;
      break;
    }
  }
}

// ---- PNG: libpng's simplified reader, which keeps its error jumps to itself.

struct PngImage {
  png_image image{};
  PngImage() { image.version = PNG_IMAGE_VERSION; }
  ~PngImage() { png_image_free(&image); }
  PngImage(const PngImage&) = delete;
  PngImage& operator=(const PngImage&) = delete;
};

bool DecodePng(const uint8_t* data, size_t size, Picture& out, std::string& error, const Limits& limits) {
  PngImage png;
  if (!png_image_begin_read_from_memory(&png.image, data, size)) {
    error = std::string("damaged PNG file: ") + png.image.message;
    return false;
  }
  if (!WithinLimits(png.image.width, png.image.height, limits, error)) return false;
  png.image.format = PNG_FORMAT_BGRA;
  Picture pic;
  pic.Width = png.image.width;
  pic.Height = png.image.height;
  pic.Pixels.resize(static_cast<size_t>(pic.Width) * pic.Height);
  if (!png_image_finish_read(&png.image, nullptr, pic.Pixels.data(), 0, nullptr)) {
    error = std::string("damaged PNG file: ") + png.image.message;
    return false;
  }
  FinishAlpha(pic);
  out = std::move(pic);
  return true;
}

// ---- JPEG: libjpeg(-turbo) reports fatal errors through a long jump. The jump lands in
// JpegSteps, whose frame holds nothing with a destructor; the owners live in DecodeJpeg.

struct JpegError {
  jpeg_error_mgr mgr;
  jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void JpegErrorExit(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<JpegError*>(cinfo->err);
  cinfo->err->format_message(cinfo, err->message);
  std::longjmp(err->jump, 1);
}

void JpegEmitMessage(j_common_ptr cinfo, int level) {
  // A file that ends early is decoded by libjpeg as grey padding; we call it truncated instead.
  if (level < 0 && cinfo->err->msg_code == JWRN_JPEG_EOF) JpegErrorExit(cinfo);
}

void JpegProgress(j_common_ptr cinfo) {
  // A progressive file may hold thousands of tiny scans that take minutes to decode.
  constexpr int kMaxScans = 500;
  auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
  if (cinfo->is_decompressor && d->input_scan_number > kMaxScans) {
    cinfo->err->msg_code = JERR_BAD_PROGRESSION;
    std::snprintf(reinterpret_cast<JpegError*>(cinfo->err)->message, JMSG_LENGTH_MAX, "too many scans");
    std::longjmp(reinterpret_cast<JpegError*>(cinfo->err)->jump, 2);
  }
}

struct JpegDecompress {
  jpeg_decompress_struct cinfo{};
  JpegError err{};
  jpeg_progress_mgr progress{};
  bool created = false;
  ~JpegDecompress() {
    if (created) jpeg_destroy_decompress(&cinfo);
  }
};

enum class Step { Done, Failed, TooLarge };

// Only plain data in this frame: a long jump may leave it at any libjpeg call.
Step JpegSteps(JpegDecompress* j, const uint8_t* data, size_t size, const Limits* limits, Picture* pic) {
  if (setjmp(j->err.jump)) return Step::Failed;
  jpeg_mem_src(&j->cinfo, data, static_cast<unsigned long>(size));
  jpeg_read_header(&j->cinfo, TRUE);
  uint64_t w = j->cinfo.image_width, h = j->cinfo.image_height;
  if (w == 0 || h == 0 || w > limits->MaxSide || h > limits->MaxSide || w * h > limits->MaxPixels)
    return Step::TooLarge;
  bool cmyk = j->cinfo.jpeg_color_space == JCS_CMYK || j->cinfo.jpeg_color_space == JCS_YCCK;
  j->cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGRA;
  jpeg_start_decompress(&j->cinfo);
  if (j->cinfo.output_width != w || j->cinfo.output_height != h || j->cinfo.output_components != 4) {
    std::snprintf(j->err.message, JMSG_LENGTH_MAX, "unexpected output layout");
    return Step::Failed;
  }
  pic->Width = static_cast<uint32_t>(w);
  pic->Height = static_cast<uint32_t>(h);
  pic->Pixels.resize(static_cast<size_t>(w * h));
  bool inverted = j->cinfo.saw_Adobe_marker;  // Adobe writes CMYK inverted
  while (j->cinfo.output_scanline < j->cinfo.output_height) {
    uint32_t* row = pic->Pixels.data() + static_cast<size_t>(j->cinfo.output_scanline) * w;
    JSAMPROW rowp = reinterpret_cast<JSAMPROW>(row);
    if (jpeg_read_scanlines(&j->cinfo, &rowp, 1) != 1) {
      std::snprintf(j->err.message, JMSG_LENGTH_MAX, "no more lines");
      return Step::Failed;
    }
    if (cmyk) {
      auto* bytes = reinterpret_cast<const uint8_t*>(row);
      for (size_t x = 0; x < w; ++x) {
        unsigned c = bytes[x * 4], m = bytes[x * 4 + 1], y = bytes[x * 4 + 2], k = bytes[x * 4 + 3];
        if (!inverted) c = 255 - c, m = 255 - m, y = 255 - y, k = 255 - k;
        row[x] = Argb(255, static_cast<uint8_t>(c * k / 255), static_cast<uint8_t>(m * k / 255),
                      static_cast<uint8_t>(y * k / 255));
      }
    }
  }
  jpeg_finish_decompress(&j->cinfo);
  return Step::Done;
}

bool DecodeJpeg(const uint8_t* data, size_t size, Picture& out, std::string& error, const Limits& limits) {
  JpegDecompress j;
  j.cinfo.err = jpeg_std_error(&j.err.mgr);
  j.err.mgr.error_exit = JpegErrorExit;
  j.err.mgr.emit_message = JpegEmitMessage;
  j.progress.progress_monitor = JpegProgress;
  j.cinfo.progress = &j.progress;
  if (setjmp(j.err.jump)) {  // jpeg_create_decompress itself may fail (no memory)
    error = std::string("JPEG decoder failed: ") + j.err.message;
    return false;
  }
  jpeg_create_decompress(&j.cinfo);
  j.created = true;
  j.cinfo.mem->max_memory_to_use = 512L * 1024 * 1024;
  Picture pic;
  switch (JpegSteps(&j, data, size, &limits, &pic)) {
    case Step::Failed:
      error = std::string("damaged JPEG file: ") + j.err.message;
      return false;
    case Step::TooLarge:
      return WithinLimits(j.cinfo.image_width, j.cinfo.image_height, limits, error);  // sets the text
    case Step::Done:
      break;
  }
  pic.HasAlpha = false;
  out = std::move(pic);
  return true;
}

// ---- GIF: giflib returns error codes. Only the first picture is read, with its transparency.

struct MemoryInput {
  const uint8_t* data;
  size_t size;
  size_t pos = 0;
};

int GifRead(GifFileType* gif, GifByteType* buf, int n) {
  auto* in = static_cast<MemoryInput*>(gif->UserData);
  size_t k = std::min(static_cast<size_t>(n < 0 ? 0 : n), in->size - in->pos);
  std::memcpy(buf, in->data + in->pos, k);
  in->pos += k;
  return static_cast<int>(k);
}

struct GifCloser {
  GifFileType* gif;
  ~GifCloser() {
    int ignored = 0;
    if (gif) DGifCloseFile(gif, &ignored);
  }
};

std::string GifError(int code) {
  const char* text = GifErrorString(code);
  return std::string("damaged GIF file: ") + (text ? text : "unknown error");
}

bool DecodeGif(const uint8_t* data, size_t size, Picture& out, std::string& error, const Limits& limits) {
  MemoryInput in{data, size};
  int code = 0;
  GifCloser owner{DGifOpen(&in, GifRead, &code)};
  GifFileType* gif = owner.gif;
  if (!gif) {
    error = GifError(code);
    return false;
  }
  int transparent = -1;
  for (;;) {
    GifRecordType type = UNDEFINED_RECORD_TYPE;
    if (DGifGetRecordType(gif, &type) == GIF_ERROR) {
      error = GifError(gif->Error);
      return false;
    }
    if (type == TERMINATE_RECORD_TYPE) {
      error = "GIF file without a picture";
      return false;
    }
    if (type == EXTENSION_RECORD_TYPE) {
      int ext_code = 0;
      GifByteType* ext = nullptr;
      if (DGifGetExtension(gif, &ext_code, &ext) == GIF_ERROR) {
        error = GifError(gif->Error);
        return false;
      }
      if (ext_code == GRAPHICS_EXT_FUNC_CODE && ext && ext[0] >= 4)
        transparent = (ext[1] & 1) ? ext[4] : -1;  // the control block before the first picture
      while (ext) {
        if (DGifGetExtensionNext(gif, &ext) == GIF_ERROR) {
          error = GifError(gif->Error);
          return false;
        }
      }
      continue;
    }
    if (type != IMAGE_DESC_RECORD_TYPE) continue;
    if (DGifGetImageDesc(gif) == GIF_ERROR) {
      error = GifError(gif->Error);
      return false;
    }
    const GifImageDesc& desc = gif->Image;
    const ColorMapObject* map = desc.ColorMap ? desc.ColorMap : gif->SColorMap;
    if (!map || !map->Colors) {
      error = "damaged GIF file: no colour table";
      return false;
    }
    if (desc.Width <= 0 || desc.Height <= 0 || desc.Left < 0 || desc.Top < 0) {
      error = "damaged GIF file: bad picture bounds";
      return false;
    }
    // The canvas is the logical screen; a broken file with no screen size gets the picture's.
    uint64_t cw = gif->SWidth > 0 ? static_cast<uint64_t>(gif->SWidth) : uint64_t(desc.Left) + desc.Width;
    uint64_t ch = gif->SHeight > 0 ? static_cast<uint64_t>(gif->SHeight) : uint64_t(desc.Top) + desc.Height;
    if (!WithinLimits(cw, ch, limits, error) || !WithinLimits(desc.Width, desc.Height, limits, error)) return false;
    Picture pic;
    pic.Width = static_cast<uint32_t>(cw);
    pic.Height = static_cast<uint32_t>(ch);
    pic.Pixels.assign(static_cast<size_t>(cw * ch), 0);  // outside the first picture: transparent
    std::vector<GifPixelType> line(static_cast<size_t>(desc.Width));
    auto put_row = [&](int y) {
      uint64_t py = uint64_t(desc.Top) + static_cast<uint64_t>(y);
      if (py >= ch) return;
      for (int x = 0; x < desc.Width; ++x) {
        uint64_t px = uint64_t(desc.Left) + static_cast<uint64_t>(x);
        if (px >= cw) break;
        int index = line[static_cast<size_t>(x)];
        uint32_t color = 0;
        if (index != transparent && index < map->ColorCount) {
          const GifColorType& c = map->Colors[index];
          color = Argb(255, c.Red, c.Green, c.Blue);
        }
        pic.Pixels[static_cast<size_t>(py * cw + px)] = color;
      }
    };
    auto read_row = [&](int y) {
      if (DGifGetLine(gif, line.data(), desc.Width) == GIF_ERROR) {
        error = GifError(gif->Error);
        return false;
      }
      put_row(y);
      return true;
    };
    if (desc.Interlace) {
      static constexpr int kStart[] = {0, 4, 2, 1}, kStep[] = {8, 8, 4, 2};
      for (int pass = 0; pass < 4; ++pass)
        for (int y = kStart[pass]; y < desc.Height; y += kStep[pass])
          if (!read_row(y)) return false;
    } else {
      for (int y = 0; y < desc.Height; ++y)
        if (!read_row(y)) return false;
    }
    FinishAlpha(pic);
    out = std::move(pic);
    return true;
  }
}

// ---- BMP, read directly: every read is checked against the file's end.

struct Bytes {
  const uint8_t* data;
  size_t size;
  bool Has(uint64_t off, uint64_t n) const { return off <= size && n <= size - off; }
  uint16_t U16(size_t off) const { return static_cast<uint16_t>(data[off] | (data[off + 1] << 8)); }
  uint32_t U32(size_t off) const {
    return uint32_t{data[off]} | (uint32_t{data[off + 1]} << 8) | (uint32_t{data[off + 2]} << 16) |
           (uint32_t{data[off + 3]} << 24);
  }
};

// One colour channel described by a bit mask, widened to 8 bits.
struct Channel {
  uint32_t mask = 0;
  int shift = 0;
  uint64_t max = 0;
  explicit Channel(uint32_t m) : mask(m) {
    if (!m) return;
    shift = std::countr_zero(m);
    int bits = std::countr_one(m >> shift);
    max = (uint64_t{1} << bits) - 1;
  }
  uint8_t Get(uint32_t v) const {
    if (!max) return 0;
    uint64_t c = ((v & mask) >> shift) & max;
    return static_cast<uint8_t>(c * 255 / max);
  }
};

constexpr uint32_t kBiRgb = 0, kBiBitfields = 3, kBiAlphaBitfields = 6;

bool DecodeBmp(const uint8_t* data, size_t size, Picture& out, std::string& error, const Limits& limits) {
  Bytes b{data, size};
  auto truncated = [&] {
    error = "truncated BMP file";
    return false;
  };
  if (!b.Has(0, 18)) return truncated();
  uint32_t bits_offset = b.U32(10);
  uint32_t header = b.U32(14);
  int64_t width = 0, height = 0;
  unsigned bpp = 0;
  uint32_t compression = kBiRgb, colors_used = 0;
  uint32_t masks[4] = {0, 0, 0, 0};
  bool have_masks = false;
  size_t palette_at = 0, entry = 4;
  if (header == 12) {  // the old OS/2 header
    if (!b.Has(14, 12)) return truncated();
    width = b.U16(18);
    height = b.U16(20);
    bpp = b.U16(24);
    entry = 3;
    palette_at = 26;
  } else if (header >= 40 && header <= 1024) {
    if (!b.Has(14, header)) return truncated();
    width = static_cast<int32_t>(b.U32(18));
    height = static_cast<int32_t>(b.U32(22));
    bpp = b.U16(28);
    compression = b.U32(30);
    colors_used = b.U32(46);
    palette_at = 14 + header;
    if (header >= 52) {
      for (int i = 0; i < (header >= 56 ? 4 : 3); ++i) masks[i] = b.U32(54 + 4 * static_cast<size_t>(i));
      have_masks = true;
    } else if (compression == kBiBitfields || compression == kBiAlphaBitfields) {
      int n = compression == kBiAlphaBitfields ? 4 : 3;
      if (!b.Has(palette_at, 4u * n)) return truncated();
      for (int i = 0; i < n; ++i) masks[i] = b.U32(palette_at + 4 * static_cast<size_t>(i));
      palette_at += 4u * n;
      have_masks = true;
    }
  } else {
    error = "damaged BMP file: unknown header size " + std::to_string(header);
    return false;
  }
  if (compression != kBiRgb && compression != kBiBitfields && compression != kBiAlphaBitfields) {
    error = "compressed BMP files (kind " + std::to_string(compression) + ") are not supported";
    return false;
  }
  if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32) {
    error = "damaged BMP file: " + std::to_string(bpp) + " bits per pixel";
    return false;
  }
  if (compression != kBiRgb && bpp != 16 && bpp != 32) {
    error = "damaged BMP file: bit masks with " + std::to_string(bpp) + " bits per pixel";
    return false;
  }
  bool top_down = height < 0;
  uint64_t w = width < 0 ? 0 : static_cast<uint64_t>(width);
  uint64_t h = static_cast<uint64_t>(height < 0 ? -height : height);
  if (width < 0) {
    error = "damaged BMP file: negative width";
    return false;
  }
  if (!WithinLimits(w, h, limits, error)) return false;

  std::vector<uint32_t> palette;
  if (bpp <= 8) {
    uint32_t count = colors_used && colors_used < (1u << bpp) ? colors_used : (1u << bpp);
    if (!b.Has(palette_at, uint64_t{count} * entry)) return truncated();
    for (uint32_t i = 0; i < count; ++i) {
      const uint8_t* p = data + palette_at + i * entry;
      palette.push_back(Argb(255, p[2], p[1], p[0]));
    }
  }
  uint64_t stride = (w * bpp + 31) / 32 * 4;
  uint64_t last_row = (w * bpp + 7) / 8;  // the last row's padding may be missing
  if (bits_offset < 14 + header || !b.Has(bits_offset, stride * (h - 1) + last_row)) return truncated();

  bool bitfields = compression != kBiRgb;
  if (!bitfields) {
    masks[0] = bpp == 16 ? 0x7C00 : 0xFF0000;
    masks[1] = bpp == 16 ? 0x03E0 : 0x00FF00;
    masks[2] = bpp == 16 ? 0x001F : 0x0000FF;
    masks[3] = bpp == 32 ? 0xFF000000 : 0;  // used unless every pixel has 0 there (see below)
  } else if (!have_masks) {
    error = "damaged BMP file: no bit masks";
    return false;
  }
  Channel red(masks[0]), green(masks[1]), blue(masks[2]), alpha(masks[3]);

  Picture pic;
  pic.Width = static_cast<uint32_t>(w);
  pic.Height = static_cast<uint32_t>(h);
  pic.Pixels.resize(static_cast<size_t>(w * h));
  bool any_alpha = false;
  for (uint64_t row = 0; row < h; ++row) {
    const uint8_t* src = data + bits_offset + row * stride;
    uint32_t* dst = pic.Pixels.data() + static_cast<size_t>((top_down ? row : h - 1 - row) * w);
    for (uint64_t x = 0; x < w; ++x) {
      switch (bpp) {
        case 1:
        case 4:
        case 8: {
          uint64_t bit = x * bpp;
          unsigned index = (src[bit / 8] >> (8 - bpp - bit % 8)) & ((1u << bpp) - 1);
          dst[x] = index < palette.size() ? palette[index] : Argb(255, 0, 0, 0);
          break;
        }
        case 24:
          dst[x] = Argb(255, src[x * 3 + 2], src[x * 3 + 1], src[x * 3]);
          break;
        default: {
          uint32_t v = bpp == 16 ? uint32_t{b.U16(static_cast<size_t>(src - data + x * 2))}
                                 : b.U32(static_cast<size_t>(src - data + x * 4));
          uint8_t a = alpha.Get(v);
          any_alpha = any_alpha || a != 0;
          dst[x] = Argb(a, red.Get(v), green.Get(v), blue.Get(v));
          break;
        }
      }
    }
  }
  // Most 32-bit files leave the fourth byte 0 and mean an opaque picture.
  if ((bpp == 16 || bpp == 32) && !any_alpha)
    for (uint32_t& p : pic.Pixels) p |= 0xFF000000u;
  FinishAlpha(pic);
  out = std::move(pic);
  return true;
}

}  // namespace

Format DetectFormat(const uint8_t* data, size_t size) {
  auto starts = [&](const char* magic, size_t n) { return size >= n && std::memcmp(data, magic, n) == 0; };
  if (starts("\x89PNG\r\n\x1a\n", 8)) return Format::Png;
  if (starts("\xFF\xD8\xFF", 3)) return Format::Jpeg;
  if (starts("GIF87a", 6) || starts("GIF89a", 6)) return Format::Gif;
  if (starts("BM", 2)) return Format::Bmp;
  return Format::Unknown;
}

const char* FormatName(Format f) {
  switch (f) {
    case Format::Png: return "PNG";
    case Format::Jpeg: return "JPEG";
    case Format::Gif: return "GIF";
    case Format::Bmp: return "BMP";
    case Format::Unknown: break;
  }
  return "unknown";
}

bool Decode(const uint8_t* data, size_t size, Picture& out, std::string& error, const Limits& limits) {
  out = Picture{};
  error.clear();
  if (size > limits.MaxFileBytes) {
    error = "the file is too large";
    return false;
  }
  switch (DetectFormat(data, size)) {
    case Format::Png: return DecodePng(data, size, out, error, limits);
    case Format::Jpeg: return DecodeJpeg(data, size, out, error, limits);
    case Format::Gif: return DecodeGif(data, size, out, error, limits);
    case Format::Bmp: return DecodeBmp(data, size, out, error, limits);
    case Format::Unknown: break;
  }
  error = "not a PNG, JPEG, GIF or BMP picture";
  return false;
}

bool LoadFile(const WStr& path, Picture& out, std::string& error, const Limits& limits) {
  out = Picture{};
  unique_file file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    error = "cannot open the file (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  DWORD high = 0;
  DWORD low = GetFileSize(file.get(), &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != ERROR_SUCCESS) {
    error = "cannot read the file's size (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  uint64_t size = (uint64_t{high} << 32) | low;
  if (size > limits.MaxFileBytes) {
    error = "the file is too large";
    return false;
  }
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  size_t done = 0;
  while (done < bytes.size()) {
    DWORD got = 0;
    DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 30));
    if (!ReadFile(file.get(), bytes.data() + done, want, &got, nullptr)) {
      error = "cannot read the file (error " + std::to_string(GetLastError()) + ")";
      return false;
    }
    if (got == 0) break;
    done += got;
  }
  bytes.resize(done);
  return Decode(bytes.data(), bytes.size(), out, error, limits);
}

std::vector<uint8_t> EncodePng(const Picture& pic) {
  std::vector<uint8_t> out;
  if (pic.Empty() || pic.Pixels.size() != static_cast<size_t>(pic.Width) * pic.Height) return out;
  PngImage png;
  png.image.width = pic.Width;
  png.image.height = pic.Height;
  png.image.format = pic.HasAlpha ? PNG_FORMAT_BGRA : PNG_FORMAT_BGR;
  std::vector<uint8_t> bgr;
  const void* pixels = pic.Pixels.data();
  if (!pic.HasAlpha) {  // the simplified writer takes three bytes a pixel for an opaque picture
    bgr.resize(pic.Pixels.size() * 3);
    for (size_t i = 0; i < pic.Pixels.size(); ++i) {
      bgr[i * 3] = static_cast<uint8_t>(pic.Pixels[i]);
      bgr[i * 3 + 1] = static_cast<uint8_t>(pic.Pixels[i] >> 8);
      bgr[i * 3 + 2] = static_cast<uint8_t>(pic.Pixels[i] >> 16);
    }
    pixels = bgr.data();
  }
  png_alloc_size_t size = 0;
  if (!png_image_write_get_memory_size(png.image, size, 0, pixels, 0, nullptr)) return {};
  out.resize(size);
  if (!png_image_write_to_memory(&png.image, out.data(), &size, 0, pixels, 0, nullptr)) return {};
  out.resize(size);
  return out;
}

}  // namespace picture
