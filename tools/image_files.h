// Image files of the command-line tool: PNG, TIFF, JPEG, PNM and FITS through
// GraphicsMagick (its 16-bit build keeps 16-bit samples), PGM and text
// matrices through the tool's own readers (tools/image_io.h), which keep a
// PGM's samples as stored whatever its maxval.
#pragma once

#include <string>

#include "tools/image_io.h"

namespace dyadfit::cli {

// Once per process, before any other call here.
void initializeImageLibrary(const char* argv0);

// What a file name asks to be written as, by its extension (any case).
enum class OutputFormat { Text, Pgm, Png, Tiff, Jpeg, Pnm, Fits };
OutputFormat outputFormat(const std::string& path);
bool holdsDepth(OutputFormat f);

// Reads an image file: the first frame; colour as three channels unless
// every pixel is grey; an alpha channel is dropped. Images of more than
// kMaxSamples pixels are refused from their header, before their pixels are
// decoded. Every failure is a Failure naming the file.
Image readImage(const std::string& path);

// Luminance 0.299 R + 0.587 G + 0.114 B of a colour image (grey: itself).
Image luminance(const Image& image);

// Refuses, before any work, what `format` cannot hold: colour in text or PGM,
// 16 bits in JPEG.
void checkWritable(const std::string& path, std::size_t channels, int depth);

// Writes `image` to `path` in the format its name asks for, with `depth`
// bits per sample (8 or 16) in image formats; values are rounded and clipped
// to the depth's range, NaN or Inf refused. No partial file is left behind.
void writeImage(const std::string& path, const Image& image, int depth);

}  // namespace dyadfit::cli
