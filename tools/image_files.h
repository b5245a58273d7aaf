// SPDX-License-Identifier: BSD-3-Clause
// Image files of the command-line tool, each read and written by the library
// made for it: TIFF through libtiff and FITS through CFITSIO, keeping samples
// as stored (tools/float_files.h); PNG, JPEG, GIF, BMP, PNM and the rest
// through GraphicsMagick (its 16-bit build keeps 16-bit samples); PGM and
// text matrices through the tool's own readers (tools/image_io.h).
#pragma once

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "tools/image_io.h"

namespace dyadfit::cli {

// Once per process, before any other call here.
void initializeImageLibrary(const char* argv0);

// The formats the tool writes.
enum class OutputFormat { Text, Csv, Pgm, Png, Tiff, Jpeg, Pnm, Fits };

// An OUT as named on the command line: "FMT:NAME" (FMT one of png, tif,
// tiff, jpg, jpeg, pgm, ppm, pnm, fits, fit, fts, txt, csv, any case) names
// the format; "-" is standard output. Without FMT the extension names it;
// `known` is false only for "-", written in IN's format. Any other
// extension is refused.
struct OutputTarget {
  std::string path;
  OutputFormat format = OutputFormat::Text;
  bool known = true;
};
OutputTarget outputTarget(const std::string& name);
// The format IN was read in, as an OUT of "-" writes it.
OutputFormat formatOfInput(const Image& in);
// "PNG", "TIFF", ... for messages.
const char* formatName(OutputFormat f);
// Formats of 8- or 16-bit unsigned samples only.
bool holdsIntegersOnly(OutputFormat f);

// Every page of an image file ("-": standard input), format told by its first
// bytes: one page except for a multi-page TIFF. Colour as three channels
// unless every pixel is grey; an alpha channel is dropped. Images of more
// than kMaxSamples pixels are refused from their header, before their pixels
// are decoded. Every failure is a Failure naming the file.
std::vector<Image> readImages(const std::string& path);

// Luminance 0.299 R + 0.587 G + 0.114 B of a colour image (grey: itself).
Image luminance(const Image& image);

struct WriteOptions {
  int depth = 0;       // --depth: 8 or 16 unsigned bits; 0: as the image is stored
  int quality = 0;     // JPEG quality 1..100; 0: the library's default
  bool rates = false;  // values are rates: float TIFF (32 bits) or FITS (64)
};

// Refuses, before any work, what `format` cannot hold: colour in text or
// PGM, 16 bits in JPEG, several pages outside TIFF.
void checkWritable(OutputFormat format, const std::string& path, const Image& in, std::size_t pages,
                   const WriteOptions& options);

// The pages encoded as `format` holds them. Integer samples are rounded and
// clipped to their range, NaN or Inf refused; without --depth an image keeps
// its own samples where the format holds them (else 16 bits), and --depth
// between 8 and 16 bits rescales an 8- or 16-bit image by 257. Failures come
// here; the function returned only writes.
std::function<void(std::ostream&)> encodeImages(OutputFormat format, const std::string& path,
                                                const std::vector<Image>& pages, const WriteOptions& options);

// encodeImages, written by writeFileSafely; the format from `path`'s name.
void writeImage(const std::string& path, const Image& image, const WriteOptions& options = {});

}  // namespace dyadfit::cli
