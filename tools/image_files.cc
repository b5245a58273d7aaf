// SPDX-License-Identifier: BSD-3-Clause
#include "tools/image_files.h"

#include <Magick++.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <sstream>
#include <mutex>
#include <ostream>
#include <vector>

#include "dyadic/grid_utils.h"
#include "dyadic/parallel.h"
#include "tools/float_files.h"

namespace dyadfit::cli {
namespace {

// The formats told by their first bytes: the decoder is chosen here, never
// from the file's name, so that no name prefix or suffix of the image
// library's own syntax reaches it.
const char* libraryFormat(std::string_view b) {
  auto starts = [&](std::string_view head) { return b.substr(0, head.size()) == head; };
  if (starts("\x89PNG\r\n\x1a\n")) return "PNG";
  if (starts("\xff\xd8\xff")) return "JPEG";
  if (starts(std::string_view("II*\0", 4)) || starts(std::string_view("MM\0*", 4)) ||
      starts(std::string_view("II+\0", 4)) || starts(std::string_view("MM\0+", 4)))
    return "TIFF";
  if (b.size() >= 2 && b[0] == 'P' && std::strchr("13467", b[1]) != nullptr && b[1] != '\0') return "PNM";
  if (starts("SIMPLE  =")) return "FITS";
  if (starts("GIF87a") || starts("GIF89a")) return "GIF";
  if (starts("BM")) return "BMP";
  return nullptr;
}

// Text is printable ASCII and white space; anything else is left to the
// image library to recognise.
bool looksLikeText(std::string_view b) {
  for (unsigned char c : b.substr(0, 4096))
    if (c == 0 || c > 126 || (c < 32 && !std::strchr("\t\n\r\v\f", c))) return false;
  return true;
}

// "Magick: Improper image header () reported by coders/png.c:3045 (ReadPNGImage)"
// -> "Improper image header".
std::string libraryReason(const std::string& what) {
  std::string s = what;
  if (s.rfind("Magick: ", 0) == 0) s.erase(0, 8);
  if (const std::size_t at = s.find(" reported by "); at != std::string::npos) s.erase(at);
  if (!s.empty() && s.back() == ')')
    if (const std::size_t open = s.rfind(" ("); open != std::string::npos) s.erase(open);
  return s.empty() ? "unreadable image" : s;
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool formatOfName(const std::string& name, OutputFormat* f) {
  const std::string ext = lower(name);
  if (ext == "png") *f = OutputFormat::Png;
  else if (ext == "tif" || ext == "tiff") *f = OutputFormat::Tiff;
  else if (ext == "jpg" || ext == "jpeg") *f = OutputFormat::Jpeg;
  else if (ext == "pgm") *f = OutputFormat::Pgm;
  else if (ext == "ppm" || ext == "pnm") *f = OutputFormat::Pnm;
  else if (ext == "fits" || ext == "fit" || ext == "fts") *f = OutputFormat::Fits;
  else if (ext == "txt") *f = OutputFormat::Text;
  else if (ext == "csv") *f = OutputFormat::Csv;
  else return false;
  return true;
}

// `format`: the library's coder, or nullptr to let it tell from the bytes.
Image decodeWithLibrary(const std::string& bytes, const char* format) {
  const Magick::Blob blob(bytes.data(), bytes.size());
  Magick::Image image;
  if (format) image.magick(format);
  image.subImage(0);
  image.subRange(1);
  // The header alone first: the size is checked before any pixel is decoded.
  image.ping(blob);
  const std::size_t cols = image.columns(), rows = image.rows();
  if (cols == 0 || rows == 0) throw Failure{"image has no pixels"};
  if (cols > kMaxSamples || rows > kMaxSamples / cols)
    throw Failure{"image of " + std::to_string(cols) + "x" + std::to_string(rows) +
                  " exceeds the limit of 2^28 pixels"};

  image = Magick::Image();
  if (format) image.magick(format);
  image.subImage(0);
  image.subRange(1);
  image.read(blob);
  if (image.columns() != cols || image.rows() != rows) throw Failure{"image size differs from its header"};
  // CMYK (a JPEG from print) is converted; no other colour space is exported
  // as if it were RGB.
  if (image.colorSpace() == Magick::CMYKColorspace) image.colorSpace(Magick::RGBColorspace);
  if (image.colorSpace() != Magick::RGBColorspace && image.colorSpace() != Magick::GRAYColorspace &&
      image.colorSpace() != Magick::sRGBColorspace && image.colorSpace() != Magick::TransparentColorspace)
    throw Failure{"colour space " + std::to_string(static_cast<int>(image.colorSpace())) + " is not supported"};

  Image out;
  out.format = image.magick();
  out.samples = Samples::Unsigned;
  out.depth = image.depth() <= 8 ? 8 : 16;
  std::vector<std::uint16_t> rgb(3 * cols * rows);
  image.write(0, 0, cols, rows, "RGB", Magick::ShortPixel, rgb.data());
  // At 8 bits each sample is v * 257 in the 16-bit quantum: divided exactly.
  const double unit = out.depth == 8 ? 257.0 : 1.0;
  for (std::size_t ch = 0; ch < 3; ++ch) {
    Array a = Array::zeros(rows, cols);
    for (std::size_t r = 0; r < rows; ++r)
      for (std::size_t c = 0; c < cols; ++c) a(r, c) = rgb[3 * (r * cols + c) + ch] / unit;
    out.channels.push_back(std::move(a));
  }
  return out;
}

// Three equal channels are one grey channel.
void collapseGrey(Image& image) {
  if (image.channels.size() != 3) return;
  const auto &r = image.channels[0].values, &g = image.channels[1].values, &b = image.channels[2].values;
  for (std::size_t k = 0; k < r.size(); ++k)
    if (r[k] != g[k] || r[k] != b[k]) return;
  image.channels.resize(1);
}

std::string encodeWithLibrary(const Image& image, OutputFormat format, int quality) {
  const std::size_t rows = image.rows(), cols = image.cols(), channels = image.channels.size();
  const int depth = image.depth;
  // Row-major, channels interleaved; the 16-bit quantum of an 8-bit value is v * 257.
  const unsigned scale = depth == 8 ? 257 : 1;
  std::vector<std::uint16_t> pixels(channels * rows * cols);
  for (std::size_t r = 0; r < rows; ++r)
    for (std::size_t c = 0; c < cols; ++c)
      for (std::size_t ch = 0; ch < channels; ++ch)
        pixels[channels * (r * cols + c) + ch] =
            static_cast<std::uint16_t>(static_cast<unsigned>(image.channels[ch](r, c)) * scale);
  Magick::Image out(cols, rows, channels == 1 ? "I" : "RGB", Magick::ShortPixel, pixels.data());
  out.depth(depth);
  if (channels == 1) out.type(Magick::GrayscaleType);
  out.magick(format == OutputFormat::Png ? "PNG" : format == OutputFormat::Jpeg ? "JPEG" : "PNM");
  if (quality > 0) out.quality(static_cast<unsigned>(quality));
  Magick::Blob blob;
  out.write(&blob);
  return std::string(static_cast<const char*>(blob.data()), blob.length());
}

// The samples `format` stores `image` as.
void storedSamples(OutputFormat format, const Image& image, const WriteOptions& o, Samples* samples, int* depth) {
  if (o.rates && !holdsIntegersOnly(format)) {
    *samples = Samples::Float;
    *depth = format == OutputFormat::Tiff ? 32 : 64;
  } else if (o.depth != 0) {
    *samples = Samples::Unsigned;
    *depth = o.depth;
  } else if (holdsIntegersOnly(format)) {
    *samples = Samples::Unsigned;
    *depth = image.samples == Samples::Unsigned && image.depth <= 16 ? image.depth : 16;
  } else if (image.samples == Samples::Text) {
    *samples = Samples::Unsigned;
    *depth = 16;
  } else {
    *samples = image.samples;
    *depth = image.depth;
  }
}

// `image` as `samples` of `depth` bits hold it.
Image storedAs(const Image& image, Samples samples, int depth, const WriteOptions& o) {
  Image out = image;
  out.samples = samples;
  out.depth = depth;
  // --depth rescales between 8 and 16 bits, as image tools do.
  double factor = 1;
  if (o.depth != 0 && !o.rates && image.samples == Samples::Unsigned && image.depth != o.depth &&
      (image.depth == 8 || image.depth == 16))
    factor = o.depth == 16 ? 257.0 : 1 / 257.0;
  if (samples == Samples::Float) {
    if (depth == 32)
      for (const Array& a : out.channels)
        for (double v : a.values)
          if (std::isfinite(v) && std::fabs(v) > std::numeric_limits<float>::max())
            throw Failure{"the estimate holds values beyond a 32-bit float's range: write .fits or .txt"};
    return out;
  }
  const double lo = lowestSample(out), hi = highestSample(out);
  for (Array& a : out.channels) {
    requireFiniteSamples(a);
    forEachRange(a.values.size(), [&](std::size_t begin, std::size_t end) {
      for (std::size_t k = begin; k < end; ++k) a.values[k] = roundHalfAway(std::clamp(a.values[k] * factor, lo, hi));
    });
  }
  return out;
}

}  // namespace

void initializeImageLibrary(const char* argv0) {
  static std::once_flag once;
  std::call_once(once, [&] { Magick::InitializeMagick(argv0); });
}

OutputTarget outputTarget(const std::string& name) {
  OutputTarget t;
  t.path = name;
  if (const std::size_t colon = name.find(':'); colon != std::string::npos && colon + 1 < name.size()) {
    OutputFormat f;
    if (formatOfName(name.substr(0, colon), &f)) {
      t.path = name.substr(colon + 1);
      t.format = f;
      return t;
    }
  }
  if (t.path == "-") {
    t.known = false;
    return t;
  }
  const std::size_t slash = name.find_last_of('/');
  const std::size_t dot = name.find_last_of('.');
  const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  if (!hasExtension || !formatOfName(name.substr(dot + 1), &t.format))
    throw Failure{"cannot write " + name + ": " +
                  (hasExtension ? "unknown format '" + name.substr(dot) + "'" : std::string("no extension")) +
                  " (write .png, .tif, .jpg, .pgm, .ppm, .pnm, .fits, .txt or .csv, or FMT:" + name + ")"};
  return t;
}

OutputFormat formatOfInput(const Image& in) {
  const std::string f = in.format;
  if (f == "PNG") return OutputFormat::Png;
  if (f == "TIFF") return OutputFormat::Tiff;
  if (f == "JPEG") return OutputFormat::Jpeg;
  if (f == "FITS") return OutputFormat::Fits;
  if (f == "PGM") return OutputFormat::Pgm;
  if (f == "PNM" || f == "PPM" || f == "PBM" || f == "PAM") return OutputFormat::Pnm;
  if (f == "TEXT") return OutputFormat::Text;
  throw Failure{"standard output is not written as " + f + ": name the format, e.g. png:-"};
}

const char* formatName(OutputFormat f) {
  switch (f) {
    case OutputFormat::Text: return "text";
    case OutputFormat::Csv: return "CSV";
    case OutputFormat::Pgm: return "PGM";
    case OutputFormat::Png: return "PNG";
    case OutputFormat::Tiff: return "TIFF";
    case OutputFormat::Jpeg: return "JPEG";
    case OutputFormat::Pnm: return "PNM";
    case OutputFormat::Fits: return "FITS";
  }
  return "";
}

bool holdsIntegersOnly(OutputFormat f) {
  return f == OutputFormat::Png || f == OutputFormat::Jpeg || f == OutputFormat::Pgm || f == OutputFormat::Pnm;
}

std::vector<Image> readImages(const std::string& path) {
  const std::string bytes = readFileBytes(path);
  const std::string name = path == "-" ? "standard input" : path;
  try {
    std::vector<Image> pages;
    const char* format = libraryFormat(bytes);
    const std::string_view kind = format != nullptr ? format : "";
    const bool pgm = bytes.size() >= 2 && bytes[0] == 'P' && (bytes[1] == '2' || bytes[1] == '5');
    if (kind == "TIFF") {
      pages = decodeTiff(bytes);
    } else if (kind == "FITS") {
      pages.push_back(decodeFits(bytes));
    } else if (pgm || (format == nullptr && looksLikeText(bytes))) {
      pages.push_back(parsePgmOrText(bytes));
      pages.back().format = pgm ? "PGM" : "TEXT";
      if (pgm) pages.back().samples = Samples::Unsigned;
    } else {
      try {
        pages.push_back(decodeWithLibrary(bytes, format));
      } catch (const Magick::Exception& e) {
        // Warnings too: a truncated or damaged file decodes only in part.
        if (format == nullptr) throw Failure{"not an image format the tool reads"};
        throw Failure{std::string(format) + " not readable: " + libraryReason(e.what())};
      }
    }
    for (Image& page : pages) collapseGrey(page);
    return pages;
  } catch (const Failure& f) {
    if (f.message == dyadfit::kMsgInterrupted) throw;
    throw Failure{name + ": " + f.message};
  }
}

Image luminance(const Image& image) {
  if (image.channels.size() != 3) return image;
  Image grey = image;
  grey.channels.clear();
  const Array &r = image.channels[0], &g = image.channels[1], &b = image.channels[2];
  Array y = Array::zeros(r.rows, r.cols);
  for (std::size_t k = 0; k < y.values.size(); ++k)
    y.values[k] = 0.299 * r.values[k] + 0.587 * g.values[k] + 0.114 * b.values[k];
  grey.channels.push_back(std::move(y));
  return grey;
}

void checkWritable(OutputFormat f, const std::string& path, const Image& in, std::size_t pages,
                   const WriteOptions& options) {
  const std::size_t channels = in.channels.size();
  if (channels > 1 && (f == OutputFormat::Text || f == OutputFormat::Csv))
    throw Failure{"a text OUT holds one channel and the image has " + std::to_string(channels) +
                  ": use --grey, or an image OUT (.png, .tif, .ppm)"};
  if (channels > 1 && f == OutputFormat::Pgm)
    throw Failure{"a PGM holds one channel and the image has " + std::to_string(channels) +
                  ": use --grey, or .png, .tif or .ppm"};
  if (pages > 1 && f != OutputFormat::Tiff)
    throw Failure{path + ": the input has " + std::to_string(pages) + " pages, which only a TIFF OUT holds"};
  Samples samples;
  int depth;
  storedSamples(f, in, options, &samples, &depth);
  if (depth != 8 && f == OutputFormat::Jpeg) throw Failure{"JPEG holds 8 bits per sample: use --depth 8"};
  if (options.quality != 0 && f != OutputFormat::Jpeg) throw Failure{"--quality applies to a JPEG OUT"};
}

std::function<void(std::ostream&)> encodeImages(OutputFormat f, const std::string& path,
                                                const std::vector<Image>& pages, const WriteOptions& options) {
  if (pages.empty()) throw Failure{"no image to write"};
  checkWritable(f, path, pages[0], pages.size(), options);
  if (f == OutputFormat::Text || f == OutputFormat::Csv) {
    const char separator = f == OutputFormat::Csv ? ',' : ' ';
    const Array& a = pages[0].channels[0];
    return [&a, separator](std::ostream& out) { writeText(out, a, separator); };
  }
  std::vector<Image> stored;
  for (const Image& page : pages) {
    Samples samples;
    int depth;
    storedSamples(f, page, options, &samples, &depth);
    stored.push_back(storedAs(page, samples, depth, options));
  }
  auto bytes = std::make_shared<std::string>();
  try {
    if (f == OutputFormat::Pgm) {
      std::ostringstream s;
      writePgm(s, stored[0].channels[0], stored[0].depth);
      *bytes = s.str();
    } else if (f == OutputFormat::Tiff) {
      *bytes = encodeTiff(stored);
    } else if (f == OutputFormat::Fits) {
      *bytes = encodeFits(stored[0]);
    } else {
      *bytes = encodeWithLibrary(stored[0], f, options.quality);
    }
  } catch (const Magick::Exception& e) {
    throw Failure{"cannot write " + path + ": " + libraryReason(e.what())};
  } catch (const Failure& e) {
    if (e.message == dyadfit::kMsgInterrupted) throw;
    throw Failure{"cannot write " + path + ": " + e.message};
  }
  return [bytes](std::ostream& out) { writeBytes(out, *bytes); };
}

void writeImage(const std::string& path, const Image& image, const WriteOptions& options) {
  const OutputTarget t = outputTarget(path);
  const std::vector<Image> pages{image};
  writeFileSafely(t.path, encodeImages(t.format, path, pages, options));
}

}  // namespace dyadfit::cli
