// Floating-point image files, for estimates that are rates (Poisson noise)
// and must not be rounded: 32-bit float TIFF through libtiff and 64-bit
// FITS through CFITSIO. Both are encoded in memory and written through
// writeFileSafely, so a failed or interrupted write leaves no OUT and no
// partial file, as for every other format.
#pragma once

#include <string>

#include "tools/image_files.h"

namespace dyadfit::cli {

// Grey or RGB (one or three channels), samples interleaved, IEEE 32-bit
// floats, top row first, one strip per block of rows, uncompressed. A value
// beyond single precision's range is refused (NaN and Inf are kept).
std::string encodeFloatTiff(const Image& image);

// BITPIX -64, NAXIS 2 (grey) or 3 (NAXIS3 = 3 colour planes); rows stored
// bottom row first, FITS's own convention, which the reader follows too.
std::string encodeFitsDouble(const Image& image);

// The formats written as floating point: TIFF and FITS.
bool holdsFloat(OutputFormat f);

// Writes `image` as floating point to `path`, a .tif/.tiff or .fits name.
void writeFloatImage(const std::string& path, const Image& image);

}  // namespace dyadfit::cli
