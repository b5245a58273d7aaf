// SPDX-License-Identifier: BSD-3-Clause
#include "tools/float_files.h"

#include <fitsio.h>
#include <tiffio.h>

#include <cmath>
#include <cstdarg>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <ostream>
#include <vector>

#include "dyadic/parallel.h"


namespace dyadfit::cli {
namespace {

// A TIFF held in memory: libtiff seeks back to patch offsets, so the bytes
// grow under a cursor rather than being appended.
struct MemoryFile {
  std::string bytes;
  std::uint64_t pos = 0;
  const std::string* source = nullptr;  // read from here instead, never copied

  const std::string& data() const { return source ? *source : bytes; }
};

tsize_t memRead(thandle_t h, tdata_t buf, tsize_t n) {
  auto* m = static_cast<MemoryFile*>(h);
  const std::string& bytes = m->data();
  if (n < 0 || m->pos >= bytes.size()) return 0;
  const std::uint64_t k = std::min<std::uint64_t>(static_cast<std::uint64_t>(n), bytes.size() - m->pos);
  std::memcpy(buf, bytes.data() + m->pos, k);
  m->pos += k;
  return static_cast<tsize_t>(k);
}

tsize_t memWrite(thandle_t h, tdata_t buf, tsize_t n) {
  auto* m = static_cast<MemoryFile*>(h);
  if (n < 0 || m->source != nullptr) return -1;
  const std::uint64_t end = m->pos + static_cast<std::uint64_t>(n);
  // No exception may cross the C library: a failed growth is a failed write.
  try {
    if (end > m->bytes.size()) m->bytes.resize(end);
  } catch (const std::exception&) {
    return -1;
  }
  std::memcpy(m->bytes.data() + m->pos, buf, static_cast<std::size_t>(n));
  m->pos = end;
  return n;
}

toff_t memSeek(thandle_t h, toff_t off, int whence) {
  auto* m = static_cast<MemoryFile*>(h);
  // toff_t is unsigned: a negative offset from SEEK_CUR or SEEK_END wraps
  // to the intended position.
  const std::uint64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? m->pos : m->data().size();
  m->pos = base + off;
  return m->pos;
}

int memClose(thandle_t) { return 0; }
toff_t memSize(thandle_t h) { return static_cast<MemoryFile*>(h)->data().size(); }
int memMap(thandle_t, tdata_t*, toff_t*) { return 0; }
void memUnmap(thandle_t, tdata_t, toff_t) {}

// libtiff's first error of a call, for the tool's own message; nothing is
// printed. Files are decoded on one thread.
std::string gTiffError;
// libtiff turns a palette image whose colour map is missing or cut into a
// grey one, with a warning: such an image is refused instead.
bool gTiffColourMapLost = false;

void keepTiffWarning(const char*, const char* format, va_list args) {
  char text[256];
  std::vsnprintf(text, sizeof text, format, args);
  const std::string t = text;
  if (t.find("olormap") != std::string::npos || t.find("olorMap") != std::string::npos) gTiffColourMapLost = true;
}

void keepTiffError(const char*, const char* format, va_list args) {
  if (!gTiffError.empty()) return;
  char text[256];
  std::vsnprintf(text, sizeof text, format, args);
  gTiffError = text;
}

void silenceTiff() {
  static std::once_flag once;
  std::call_once(once, [] {
    TIFFSetErrorHandler(keepTiffError);
    TIFFSetWarningHandler(keepTiffWarning);
  });
  gTiffError.clear();
  gTiffColourMapLost = false;
}

Failure tiffFailure(const std::string& what) {
  return Failure{"TIFF not readable: " + (gTiffError.empty() ? what : gTiffError)};
}


std::string fitsReason(int status) {
  char text[FLEN_STATUS] = {};
  fits_get_errstatus(status, text);
  return text;
}

// "row 3, column 7" of a value at (r, c) counted from 0.
std::string positionText(std::size_t r, std::size_t c) {
  return "row " + std::to_string(r + 1) + ", column " + std::to_string(c + 1);
}


// The current directory of `tif` as an image.
Image decodeTiffPage(TIFF* tif, std::size_t page) {
  std::uint32_t width = 0, height = 0;
  std::uint16_t spp = 1, bits = 1, format = SAMPLEFORMAT_UINT, photometric = 0, planar = PLANARCONFIG_CONTIG;
  if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width) || !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height))
    throw tiffFailure("no image size");
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
  if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric))
    photometric = spp >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
  const std::string where = page > 0 ? "page " + std::to_string(page + 1) + ": " : std::string();
  if (gTiffColourMapLost) throw Failure{"TIFF not readable: " + where + "palette image without a complete colour map"};
  if (width == 0 || height == 0) throw Failure{where + "image has no pixels"};
  const std::size_t rows = height, cols = width;
  if (cols > kMaxSamples || rows > kMaxSamples / cols)
    throw Failure{where + "image of " + std::to_string(cols) + "x" + std::to_string(rows) +
                  " exceeds the limit of 2^28 pixels"};
  if (format == SAMPLEFORMAT_VOID) format = SAMPLEFORMAT_UINT;
  const bool known = (format == SAMPLEFORMAT_UINT && (bits == 1 || bits == 2 || bits == 4 || bits == 8 ||
                                                      bits == 16 || bits == 32)) ||
                     (format == SAMPLEFORMAT_INT && (bits == 8 || bits == 16 || bits == 32)) ||
                     (format == SAMPLEFORMAT_IEEEFP && (bits == 32 || bits == 64));
  if (!known)
    throw Failure{where + "TIFF samples of " + std::to_string(bits) + " bits in sample format " +
                  std::to_string(format) + " are not supported"};
  std::uint16_t compression = COMPRESSION_NONE;
  TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
  if (photometric == PHOTOMETRIC_YCBCR) {
    // JPEG-compressed colour is stored as YCbCr: the codec returns RGB.
    if (compression != COMPRESSION_JPEG || bits != 8)
      throw Failure{where + "YCbCr TIFF is supported only JPEG-compressed"};
    TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
    photometric = PHOTOMETRIC_RGB;
  }
  std::size_t channels = 0;
  switch (photometric) {
    case PHOTOMETRIC_MINISBLACK:
    case PHOTOMETRIC_MINISWHITE:
    case PHOTOMETRIC_PALETTE: channels = 1; break;
    case PHOTOMETRIC_RGB: channels = 3; break;
    case PHOTOMETRIC_SEPARATED: {
      std::uint16_t inkset = INKSET_CMYK;
      TIFFGetFieldDefaulted(tif, TIFFTAG_INKSET, &inkset);
      if (inkset != INKSET_CMYK) throw Failure{where + "TIFF of inks other than CMYK is not supported"};
      channels = 4;
      break;
    }
    default:
      throw Failure{where + "TIFF of photometric interpretation " + std::to_string(photometric) +
                    " (neither grey, RGB, palette nor CMYK) is not supported"};
  }
  if (spp < channels)
    throw Failure{where + "TIFF of " + std::to_string(spp) + " samples per pixel where " + std::to_string(channels) +
                  " are needed"};
  const std::uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
  if (photometric == PHOTOMETRIC_PALETTE) {
    // libtiff drops a colour map of the wrong length: a cut map is no map.
    if (format != SAMPLEFORMAT_UINT || bits > 16 || !TIFFGetField(tif, TIFFTAG_COLORMAP, &red, &green, &blue))
      throw tiffFailure(where + "palette image without a complete colour map");
  }

  // The raw samples, row by row: contiguous rows of spp samples, or one
  // plane after another.
  const std::size_t planes = planar == PLANARCONFIG_SEPARATE ? spp : 1;
  const std::size_t perRow = planar == PLANARCONFIG_SEPARATE ? cols : cols * spp;
  const std::size_t rowBytes = (perRow * bits + 7) / 8;
  std::vector<unsigned char> raw(planes * rows * rowBytes);
  if (TIFFIsTiled(tif)) {
    std::uint32_t tw = 0, th = 0;
    TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tw);
    TIFFGetField(tif, TIFFTAG_TILELENGTH, &th);
    const tmsize_t tileSize = TIFFTileSize(tif);
    if (tw == 0 || th == 0 || tileSize <= 0 || bits < 8) throw tiffFailure(where + "bad tiles");
    const std::size_t tileRowBytes = static_cast<std::size_t>(TIFFTileRowSize(tif));
    std::vector<unsigned char> tile(static_cast<std::size_t>(tileSize));
    const std::size_t pixelBytes = perRow == cols ? bits / 8 : spp * (bits / 8);
    for (std::size_t p = 0; p < planes; ++p)
      for (std::size_t y = 0; y < rows; y += th)
        for (std::size_t x = 0; x < cols; x += tw) {
          if (dyadfit::interruptRequested()) throw Failure{dyadfit::kMsgInterrupted};
          if (TIFFReadTile(tif, tile.data(), static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y), 0,
                           static_cast<std::uint16_t>(p)) < 0)
            throw tiffFailure(where + "a tile cannot be read");
          const std::size_t h = std::min<std::size_t>(th, rows - y), w = std::min<std::size_t>(tw, cols - x);
          for (std::size_t r = 0; r < h; ++r)
            std::memcpy(raw.data() + (p * rows + y + r) * rowBytes + x * pixelBytes, tile.data() + r * tileRowBytes,
                        w * pixelBytes);
        }
  } else {
    if (static_cast<std::size_t>(TIFFScanlineSize(tif)) != rowBytes) throw tiffFailure(where + "bad row size");
    for (std::size_t p = 0; p < planes; ++p)
      for (std::size_t r = 0; r < rows; ++r) {
        if ((r & 255) == 0 && dyadfit::interruptRequested()) throw Failure{dyadfit::kMsgInterrupted};
        if (TIFFReadScanline(tif, raw.data() + (p * rows + r) * rowBytes, static_cast<std::uint32_t>(r),
                             static_cast<std::uint16_t>(p)) < 0)
          throw tiffFailure(where + "row " + std::to_string(r + 1) + " cannot be read");
      }
  }
  auto sample = [&](std::size_t r, std::size_t c, std::size_t s) {
    if (planes > 1) return sampleAt(raw.data() + (s * rows + r) * rowBytes, c, bits, format);
    return sampleAt(raw.data() + r * rowBytes, c * spp + s, bits, format);
  };

  Image image;
  image.format = "TIFF";
  image.samples = format == SAMPLEFORMAT_IEEEFP ? Samples::Float
                  : format == SAMPLEFORMAT_INT  ? Samples::Signed
                                                : Samples::Unsigned;
  image.depth = std::max<int>(8, bits);
  const double top = std::ldexp(1.0, bits) - 1;
  if (photometric == PHOTOMETRIC_PALETTE) {
    // 16-bit colour map entries; a map of 8-bit colours (each v * 257) gives an 8-bit image.
    const std::size_t entries = std::size_t{1} << bits;
    bool eight = true;
    for (std::size_t k = 0; k < entries && eight; ++k) eight = red[k] % 257 == 0 && green[k] % 257 == 0 && blue[k] % 257 == 0;
    image.depth = eight ? 8 : 16;
    const double unit = eight ? 257 : 1;
    const std::uint16_t* maps[3] = {red, green, blue};
    for (int ch = 0; ch < 3; ++ch) {
      Array a = Array::zeros(rows, cols);
      for (std::size_t r = 0; r < rows; ++r)
        for (std::size_t c = 0; c < cols; ++c) a(r, c) = maps[ch][static_cast<std::size_t>(sample(r, c, 0))] / unit;
      image.channels.push_back(std::move(a));
    }
    return image;
  }
  for (std::size_t ch = 0; ch < (channels == 4 ? 3 : channels); ++ch) image.channels.push_back(Array::zeros(rows, cols));
  for (std::size_t r = 0; r < rows; ++r)
    for (std::size_t c = 0; c < cols; ++c) {
      if (channels == 4) {
        // CMYK to RGB: each ink's complement times black's complement.
        const double k = top - sample(r, c, 3);
        for (std::size_t ch = 0; ch < 3; ++ch)
          image.channels[ch](r, c) = std::round((top - sample(r, c, ch)) * k / top);
        continue;
      }
      for (std::size_t ch = 0; ch < channels; ++ch) {
        double v = sample(r, c, ch);
        if (photometric == PHOTOMETRIC_MINISWHITE) v = image.samples == Samples::Float ? -v : top - v;
        if (bits < 8) v = std::round(v * 255 / top);
        if (!std::isfinite(v))
          throw Failure{where + "TIFF sample at " + positionText(r, c) + " is " + (std::isnan(v) ? "NaN" : "Inf") +
                        ": NaN and Inf are not accepted"};
        image.channels[ch](r, c) = v;
      }
    }
  return image;
}

}  // namespace

// A sample of a row of packed samples: `bits` per sample, big-endian bit order
// below 8 bits, the machine's byte order above (libtiff swaps on reading).
double sampleAt(const unsigned char* row, std::size_t index, int bits, int format) {
  if (bits < 8) {
    const std::size_t bit = index * static_cast<std::size_t>(bits);
    const unsigned byte = row[bit / 8];
    return static_cast<double>((byte >> (8 - bits - bit % 8)) & ((1u << bits) - 1));
  }
  const unsigned char* p = row + index * static_cast<std::size_t>(bits / 8);
  if (format == SAMPLEFORMAT_IEEEFP) {
    if (bits == 32) {
      float v;
      std::memcpy(&v, p, 4);
      return v;
    }
    double v;
    std::memcpy(&v, p, 8);
    return v;
  }
  const bool sign = format == SAMPLEFORMAT_INT;
  switch (bits) {
    case 8: return sign ? double(static_cast<std::int8_t>(*p)) : double(*p);
    case 16: {
      std::uint16_t v;
      std::memcpy(&v, p, 2);
      return sign ? double(static_cast<std::int16_t>(v)) : double(v);
    }
    default: {
      std::uint32_t v;
      std::memcpy(&v, p, 4);
      return sign ? double(static_cast<std::int32_t>(v)) : double(v);
    }
  }
}

void putSample(unsigned char* at, double v, int bits, int format) {
  if (format == SAMPLEFORMAT_IEEEFP && bits == 32) {
    const float x = static_cast<float>(v);
    std::memcpy(at, &x, 4);
  } else if (format == SAMPLEFORMAT_IEEEFP) {
    std::memcpy(at, &v, 8);
  } else if (bits == 8) {
    *at = static_cast<unsigned char>(static_cast<std::int64_t>(v));
  } else if (bits == 16) {
    const auto x = static_cast<std::uint16_t>(static_cast<std::int64_t>(v));
    std::memcpy(at, &x, 2);
  } else {
    const auto x = static_cast<std::uint32_t>(static_cast<std::int64_t>(v));
    std::memcpy(at, &x, 4);
  }
}

std::vector<Image> decodeTiff(const std::string& bytes) {
  silenceTiff();
  MemoryFile file;
  file.source = &bytes;
  TIFF* tif = TIFFClientOpen("IN", "rm", &file, memRead, memWrite, memSeek, memClose, memSize, memMap, memUnmap);
  if (tif == nullptr) throw tiffFailure("not a TIFF");
  std::vector<Image> pages;
  try {
    std::size_t index = 0;
    do {
      std::uint32_t subfile = 0;
      TIFFGetFieldDefaulted(tif, TIFFTAG_SUBFILETYPE, &subfile);
      // Thumbnails and other reduced copies are no page of their own.
      if (!(subfile & FILETYPE_REDUCEDIMAGE)) pages.push_back(decodeTiffPage(tif, index++));
    } while (TIFFReadDirectory(tif));
    // A directory that cannot be read ends the pages with an error.
    if (!gTiffError.empty()) throw tiffFailure("");
  } catch (...) {
    TIFFClose(tif);
    throw;
  }
  TIFFClose(tif);
  if (pages.empty()) throw Failure{"TIFF holds no full-size image"};
  return pages;
}

Image decodeFits(const std::string& bytes) {
  std::size_t size = bytes.size();
  void* buffer = const_cast<char*>(bytes.data());
  fitsfile* f = nullptr;
  int status = 0;
  fits_open_memfile(&f, "IN", READONLY, &buffer, &size, 0, nullptr, &status);
  if (status != 0) throw Failure{"FITS not readable: " + fitsReason(status)};
  struct Closer {
    fitsfile* f;
    ~Closer() {
      int s = 0;
      fits_close_file(f, &s);
    }
  } closer{f};
  auto fail = [&](const std::string& what) {
    fits_clear_errmsg();
    return Failure{"FITS not readable: " + what};
  };
  int naxis = 0;
  fits_get_img_dim(f, &naxis, &status);
  // An empty primary HDU: the image is the first image extension.
  while (status == 0 && naxis == 0) {
    int type = 0;
    if (fits_movrel_hdu(f, 1, &type, &status) != 0) {
      if (status == END_OF_FILE) throw fail("no image in the primary HDU or any extension");
      break;
    }
    if (type == IMAGE_HDU) fits_get_img_dim(f, &naxis, &status);
  }
  long axes[9] = {};
  int equivalent = 0;
  if (status == 0 && (naxis < 2 || naxis > 9)) throw fail("an image has 2 or 3 axes, not " + std::to_string(naxis));
  fits_get_img_size(f, naxis, axes, &status);
  fits_get_img_equivtype(f, &equivalent, &status);
  if (status != 0) throw fail(fitsReason(status));
  long planes = 1;
  for (int k = 2; k < naxis; ++k) planes *= axes[k] > 0 ? axes[k] : 0;
  if (planes != 1 && !(planes == 3 && axes[2] == 3))
    throw fail("an image of " + std::to_string(planes) + " planes; 1 (grey) or 3 (colour) are read");
  const std::size_t cols = static_cast<std::size_t>(axes[0]), rows = static_cast<std::size_t>(axes[1]);
  if (cols == 0 || rows == 0) throw fail("image has no pixels");
  if (cols > kMaxSamples || rows > kMaxSamples / cols)
    throw Failure{"image of " + std::to_string(cols) + "x" + std::to_string(rows) + " exceeds the limit of 2^28 pixels"};

  Image image;
  image.format = "FITS";
  switch (equivalent) {
    case BYTE_IMG: image.samples = Samples::Unsigned, image.depth = 8; break;
    case SBYTE_IMG: image.samples = Samples::Signed, image.depth = 8; break;
    case USHORT_IMG: image.samples = Samples::Unsigned, image.depth = 16; break;
    case SHORT_IMG: image.samples = Samples::Signed, image.depth = 16; break;
    case ULONG_IMG: image.samples = Samples::Unsigned, image.depth = 32; break;
    case LONG_IMG: image.samples = Samples::Signed, image.depth = 32; break;
    case FLOAT_IMG: image.samples = Samples::Float, image.depth = 32; break;
    default: image.samples = Samples::Float, image.depth = 64; break;  // scaled or 64-bit integers
  }
  // Bottom row first: the first value read is the image's last row.
  std::vector<double> row(cols);
  double blank = std::numeric_limits<double>::quiet_NaN();
  for (long p = 0; p < planes; ++p) {
    Array a = Array::zeros(rows, cols);
    for (std::size_t r = 0; r < rows && status == 0; ++r) {
      if ((r & 255) == 0 && dyadfit::interruptRequested()) throw Failure{dyadfit::kMsgInterrupted};
      int anyNull = 0;
      const LONGLONG first = static_cast<LONGLONG>((static_cast<std::size_t>(p) * rows + r) * cols) + 1;
      fits_read_img(f, TDOUBLE, first, static_cast<LONGLONG>(cols), &blank, row.data(), &anyNull, &status);
      for (std::size_t c = 0; c < cols && status == 0; ++c) {
        if (!std::isfinite(row[c]))
          throw Failure{"FITS pixel x=" + std::to_string(c + 1) + ", y=" + std::to_string(r + 1) +
                        (planes > 1 ? ", plane " + std::to_string(p + 1) : std::string()) +
                        " is NaN, Inf or BLANK: such pixels are not accepted"};
        a(rows - 1 - r, c) = row[c];
      }
    }
    if (status != 0) throw fail(fitsReason(status));
    image.channels.push_back(std::move(a));
  }
  // The header's own cards, for a FITS OUT: everything but the structure,
  // the scaling and the checksums, which the writer sets anew.
  int keys = 0;
  fits_get_hdrspace(f, &keys, nullptr, &status);
  char card[FLEN_CARD];
  for (int k = 1; k <= keys && status == 0; ++k) {
    if (fits_read_record(f, k, card, &status) != 0) break;
    switch (fits_get_keyclass(card)) {
      case TYP_STRUC_KEY:
      case TYP_CMPRS_KEY:
      case TYP_SCAL_KEY:
      case TYP_NULL_KEY:
      case TYP_DIM_KEY:
      case TYP_RANG_KEY:
      case TYP_CKSUM_KEY:
      case TYP_HDUID_KEY: continue;
      default: break;
    }
    const std::string text = card;
    // The standard's citation, which the writer adds itself.
    if (text.rfind("COMMENT   FITS (Flexible", 0) == 0 || text.rfind("COMMENT   and Astrophysics'", 0) == 0) continue;
    image.fitsCards.push_back(text);
  }
  if (status != 0) throw fail(fitsReason(status));
  return image;
}

std::string encodeTiff(const std::vector<Image>& pages) {
  silenceTiff();
  MemoryFile file;
  TIFF* tif = TIFFClientOpen("OUT", "w", &file, memRead, memWrite, memSeek, memClose, memSize, memMap, memUnmap);
  if (tif == nullptr) throw Failure{"TIFF encoder could not start"};
  bool ok = true;
  try {
    for (std::size_t page = 0; ok && page < pages.size(); ++page) {
      const Image& image = pages[page];
      const std::size_t rows = image.rows(), cols = image.cols(), channels = image.channels.size();
      if (channels != 1 && channels != 3)
        throw Failure{"a TIFF holds one or three channels, not " + std::to_string(channels)};
      if (rows > std::numeric_limits<std::uint32_t>::max() || cols > std::numeric_limits<std::uint32_t>::max())
        throw Failure{"image too large for TIFF"};
      const int bits = image.depth;
      const std::uint16_t format = image.samples == Samples::Float    ? SAMPLEFORMAT_IEEEFP
                                   : image.samples == Samples::Signed ? SAMPLEFORMAT_INT
                                                                      : SAMPLEFORMAT_UINT;
      const std::size_t bytes = static_cast<std::size_t>(bits / 8);
      const std::size_t rowBytes = cols * channels * bytes;
      // Strips of about 64 KiB, at least one row each.
      const std::size_t stripRows = std::max<std::size_t>(1, std::min<std::size_t>(rows, 65536 / rowBytes));
      ok = TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(cols)) &&
           TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(rows)) &&
           TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, static_cast<std::uint16_t>(channels)) &&
           TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, static_cast<std::uint16_t>(bits)) &&
           TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, format) &&
           TIFFSetField(tif, TIFFTAG_PHOTOMETRIC,
                        static_cast<std::uint16_t>(channels == 1 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB)) &&
           TIFFSetField(tif, TIFFTAG_PLANARCONFIG, static_cast<std::uint16_t>(PLANARCONFIG_CONTIG)) &&
           TIFFSetField(tif, TIFFTAG_COMPRESSION, static_cast<std::uint16_t>(COMPRESSION_NONE)) &&
           TIFFSetField(tif, TIFFTAG_ORIENTATION, static_cast<std::uint16_t>(ORIENTATION_TOPLEFT)) &&
           TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, static_cast<std::uint32_t>(stripRows));
      if (ok && pages.size() > 1)
        ok = TIFFSetField(tif, TIFFTAG_SUBFILETYPE, static_cast<std::uint32_t>(FILETYPE_PAGE)) &&
             TIFFSetField(tif, TIFFTAG_PAGENUMBER, static_cast<std::uint16_t>(page),
                          static_cast<std::uint16_t>(pages.size()));
      std::vector<unsigned char> strip(stripRows * rowBytes);
      for (std::size_t top = 0, s = 0; ok && top < rows; top += stripRows, ++s) {
        if (dyadfit::interruptRequested()) throw Failure{dyadfit::kMsgInterrupted};
        const std::size_t n = std::min(stripRows, rows - top);
        unsigned char* at = strip.data();
        for (std::size_t r = 0; r < n; ++r)
          for (std::size_t c = 0; c < cols; ++c)
            for (std::size_t ch = 0; ch < channels; ++ch, at += bytes) {
              putSample(at, image.channels[ch](top + r, c), bits, format);
            }
        ok = TIFFWriteEncodedStrip(tif, static_cast<std::uint32_t>(s), strip.data(),
                                   static_cast<tmsize_t>(n * rowBytes)) >= 0;
      }
      ok = ok && TIFFWriteDirectory(tif);
    }
  } catch (...) {
    TIFFClose(tif);
    throw;
  }
  TIFFClose(tif);
  if (!ok) throw Failure{"the TIFF encoder failed"};
  return std::move(file.bytes);
}

std::string encodeFits(const Image& image) {
  const std::size_t rows = image.rows(), cols = image.cols(), channels = image.channels.size();
  if (channels != 1 && channels != 3)
    throw Failure{"a FITS image holds one or three planes, not " + std::to_string(channels)};
  int bitpix = DOUBLE_IMG;
  if (image.samples == Samples::Float) bitpix = image.depth == 32 ? FLOAT_IMG : DOUBLE_IMG;
  if (image.samples == Samples::Unsigned)
    bitpix = image.depth == 8 ? BYTE_IMG : image.depth == 16 ? USHORT_IMG : ULONG_IMG;
  if (image.samples == Samples::Signed)
    bitpix = image.depth == 8 ? SBYTE_IMG : image.depth == 16 ? SHORT_IMG : LONG_IMG;
  // CFITSIO grows the buffer with realloc and owns it until it is closed.
  std::size_t size = 2880;
  void* buffer = std::malloc(size);
  if (buffer == nullptr) throw std::bad_alloc();
  fitsfile* f = nullptr;
  int status = 0;
  fits_create_memfile(&f, &buffer, &size, 2880 * 64, std::realloc, &status);
  long axes[3] = {static_cast<long>(cols), static_cast<long>(rows), 3};
  fits_create_img(f, bitpix, channels == 1 ? 2 : 3, axes, &status);
  for (const std::string& card : image.fitsCards) {
    if (status != 0) break;
    fits_write_record(f, card.c_str(), &status);
  }
  // FITS counts rows from the bottom: the image's last row goes first.
  std::vector<double> row(cols);
  for (std::size_t ch = 0; ch < channels && status == 0; ++ch)
    for (std::size_t r = 0; r < rows && status == 0; ++r) {
      for (std::size_t c = 0; c < cols; ++c) row[c] = image.channels[ch](rows - 1 - r, c);
      const LONGLONG first = static_cast<LONGLONG>((ch * rows + r) * cols) + 1;
      fits_write_img(f, TDOUBLE, first, static_cast<LONGLONG>(cols), row.data(), &status);
    }
  // The file ends with its data, padded to whole 2880-byte records.
  LONGLONG headStart = 0, dataStart = 0, dataEnd = 0;
  fits_get_hduaddrll(f, &headStart, &dataStart, &dataEnd, &status);
  const int written = status;
  status = 0;
  if (f != nullptr) fits_close_file(f, &status);
  std::string bytes;
  if (written == 0 && status == 0) {
    const std::size_t end = static_cast<std::size_t>((dataEnd + 2879) / 2880 * 2880);
    if (end <= size) bytes.assign(static_cast<const char*>(buffer), end);
  }
  std::free(buffer);
  fits_clear_errmsg();
  if (bytes.empty()) throw Failure{"FITS encoder failed: " + fitsReason(written != 0 ? written : status)};
  return bytes;
}

}  // namespace dyadfit::cli
