#include "tools/image_files.h"

#include <Magick++.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <ostream>
#include <vector>

namespace dyadfit::cli {
namespace {

// The library's formats the tool reads, told by their first bytes: the
// decoder is chosen here, never from the file's name, so that no name
// prefix or suffix of the library's own syntax reaches it.
const char* libraryFormat(std::string_view b) {
  auto starts = [&](std::string_view head) { return b.substr(0, head.size()) == head; };
  if (starts("\x89PNG\r\n\x1a\n")) return "PNG";
  if (starts("\xff\xd8\xff")) return "JPEG";
  if (starts(std::string_view("II*\0", 4)) || starts(std::string_view("MM\0*", 4)) ||
      starts(std::string_view("II+\0", 4)) || starts(std::string_view("MM\0+", 4)))
    return "TIFF";
  if (b.size() >= 2 && b[0] == 'P' && std::strchr("13467", b[1]) != nullptr && b[1] != '\0') return "PNM";
  if (starts("SIMPLE  =")) return "FITS";
  return nullptr;
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

const char* libraryName(OutputFormat f) {
  switch (f) {
    case OutputFormat::Png: return "PNG";
    case OutputFormat::Tiff: return "TIFF";
    case OutputFormat::Jpeg: return "JPEG";
    case OutputFormat::Pnm: return "PNM";
    case OutputFormat::Fits: return "FITS";
    default: return "";
  }
}

Image decodeWithLibrary(const std::string& bytes, const char* format) {
  const Magick::Blob blob(bytes.data(), bytes.size());
  Magick::Image image;
  image.magick(format);
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
  image.magick(format);
  image.subImage(0);
  image.subRange(1);
  image.read(blob);
  if (image.columns() != cols || image.rows() != rows) throw Failure{"image size differs from its header"};

  Image out;
  out.depth = image.depth() <= 8 ? 8 : 16;
  std::vector<std::uint16_t> rgb(3 * cols * rows);
  image.write(0, 0, cols, rows, "RGB", Magick::ShortPixel, rgb.data());
  bool grey = true;
  for (std::size_t k = 0; k < cols * rows && grey; ++k)
    grey = rgb[3 * k] == rgb[3 * k + 1] && rgb[3 * k] == rgb[3 * k + 2];
  // At 8 bits each sample is v * 257 in the 16-bit quantum: divided exactly.
  const double unit = out.depth == 8 ? 257.0 : 1.0;
  const std::size_t channels = grey ? 1 : 3;
  for (std::size_t ch = 0; ch < channels; ++ch) {
    Array a = Array::zeros(rows, cols);
    for (std::size_t r = 0; r < rows; ++r)
      for (std::size_t c = 0; c < cols; ++c) a(r, c) = rgb[3 * (r * cols + c) + ch] / unit;
    out.channels.push_back(std::move(a));
  }
  return out;
}

std::string encodeWithLibrary(const Image& image, OutputFormat format, int depth) {
  const std::size_t rows = image.rows(), cols = image.cols(), channels = image.channels.size();
  std::vector<std::vector<std::uint16_t>> q;
  for (const Array& a : image.channels) q.push_back(quantize(a, depth));
  // Row-major, channels interleaved; the 16-bit quantum of an 8-bit value is v * 257.
  const unsigned scale = depth == 8 ? 257 : 1;
  std::vector<std::uint16_t> pixels(channels * rows * cols);
  for (std::size_t r = 0; r < rows; ++r)
    for (std::size_t c = 0; c < cols; ++c)
      for (std::size_t ch = 0; ch < channels; ++ch)
        pixels[channels * (r * cols + c) + ch] = static_cast<std::uint16_t>(q[ch][r + rows * c] * scale);
  Magick::Image out(cols, rows, channels == 1 ? "I" : "RGB", Magick::ShortPixel, pixels.data());
  out.depth(depth);
  if (channels == 1) out.type(Magick::GrayscaleType);
  out.magick(libraryName(format));
  Magick::Blob blob;
  out.write(&blob);
  return std::string(static_cast<const char*>(blob.data()), blob.length());
}

}  // namespace

void initializeImageLibrary(const char* argv0) {
  static std::once_flag once;
  std::call_once(once, [&] { Magick::InitializeMagick(argv0); });
}

OutputFormat outputFormat(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  const std::size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return OutputFormat::Text;
  const std::string ext = lower(path.substr(dot + 1));
  if (ext == "png") return OutputFormat::Png;
  if (ext == "tif" || ext == "tiff") return OutputFormat::Tiff;
  if (ext == "jpg" || ext == "jpeg") return OutputFormat::Jpeg;
  if (ext == "pgm") return OutputFormat::Pgm;
  if (ext == "ppm" || ext == "pnm") return OutputFormat::Pnm;
  if (ext == "fits" || ext == "fit" || ext == "fts") return OutputFormat::Fits;
  return OutputFormat::Text;
}

bool holdsDepth(OutputFormat f) { return f != OutputFormat::Text; }

Image readImage(const std::string& path) {
  const std::string bytes = readFileBytes(path);
  try {
    if (const char* format = libraryFormat(bytes)) {
      try {
        return decodeWithLibrary(bytes, format);
      } catch (const Magick::Exception& e) {
        // Warnings too: a truncated or damaged file decodes only in part.
        throw Failure{std::string(format) + " not readable: " + libraryReason(e.what())};
      }
    }
    return parsePgmOrText(bytes);
  } catch (const Failure& f) {
    throw Failure{path + ": " + f.message};
  }
}

Image luminance(const Image& image) {
  if (image.channels.size() != 3) return image;
  Image grey;
  grey.depth = image.depth;
  const Array &r = image.channels[0], &g = image.channels[1], &b = image.channels[2];
  Array y = Array::zeros(r.rows, r.cols);
  for (std::size_t k = 0; k < y.values.size(); ++k)
    y.values[k] = 0.299 * r.values[k] + 0.587 * g.values[k] + 0.114 * b.values[k];
  grey.channels.push_back(std::move(y));
  return grey;
}

void checkWritable(const std::string& path, std::size_t channels, int depth) {
  const OutputFormat f = outputFormat(path);
  if (channels > 1 && f == OutputFormat::Text)
    throw Failure{"a text OUT holds one channel and the image has " + std::to_string(channels) +
                  ": use --grey, or an image OUT (.png, .tif, .ppm)"};
  if (channels > 1 && f == OutputFormat::Pgm)
    throw Failure{"a PGM holds one channel and the image has " + std::to_string(channels) +
                  ": use --grey, or .png, .tif or .ppm"};
  if (depth == 16 && f == OutputFormat::Jpeg) throw Failure{"JPEG holds 8 bits per sample: use --depth 8"};
}

void writeImage(const std::string& path, const Image& image, int depth) {
  checkWritable(path, image.channels.size(), depth);
  const OutputFormat f = outputFormat(path);
  if (f == OutputFormat::Text) {
    writeFileSafely(path, [&](std::ostream& out) { writeText(out, image.channels[0]); });
  } else if (f == OutputFormat::Pgm) {
    writeFileSafely(path, [&](std::ostream& out) { writePgm(out, image.channels[0], depth); });
  } else {
    std::string bytes;
    try {
      bytes = encodeWithLibrary(image, f, depth);
    } catch (const Magick::Exception& e) {
      throw Failure{"cannot write " + path + ": " + libraryReason(e.what())};
    }
    writeFileSafely(path,
                    [&](std::ostream& out) { out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())); });
  }
}

}  // namespace dyadfit::cli
