// SPDX-License-Identifier: BSD-3-Clause
// TIFF through libtiff and FITS through CFITSIO, the formats of scientific
// images: samples read and written exactly as stored (8/16/32-bit integers,
// 32/64-bit floats), every page of a TIFF, a FITS header's own cards. Files
// are decoded from and encoded to memory; tools/image_io.h reads and writes
// the bytes.
#pragma once

#include <string>
#include <vector>

#include "tools/image_io.h"

namespace dyadfit::cli {

// Every page of a TIFF, in order (reduced-resolution copies skipped):
// grey (MinIsBlack, MinIsWhite inverted), RGB, palette expanded to RGB,
// CMYK converted to RGB; an alpha or other extra sample is dropped. Samples
// below 8 bits are spread over 0..255. NaN or Inf is refused with its
// position. A damaged file is refused with libtiff's reason.
std::vector<Image> decodeTiff(const std::string& bytes);

// The primary HDU's image, or the first image extension's when the primary
// holds none: NAXIS 2, or 3 with NAXIS3 1 (grey) or 3 (colour planes); BSCALE
// and BZERO applied, integers kept as integers (BITPIX 16 with BZERO 32768 is
// unsigned 16-bit). Rows are stored bottom row first, FITS's convention. NaN,
// Inf and BLANK pixels are refused with their position.
Image decodeFits(const std::string& bytes);

// The pages as their `samples` and `depth` say, values already rounded and
// within range for integers: one multi-page TIFF, uncompressed.
std::string encodeTiff(const std::vector<Image>& pages);
// One image as a primary HDU: BITPIX 8 (unsigned), 16 and 32 (signed, or
// unsigned through BZERO), -32 or -64; the image's fitsCards follow the
// structural ones.
std::string encodeFits(const Image& image);

// Sample `index` of a row of packed TIFF samples (`bits` per sample,
// SAMPLEFORMAT_* `format`) as a double: big-endian bit order below 8 bits,
// the machine's byte order above (libtiff swaps on reading).
double sampleAt(const unsigned char* row, std::size_t index, int bits, int format);

// Writes v, a value of the sample's type (integers already rounded and in
// range), as one sample at `at`, in the machine's byte order.
void putSample(unsigned char* at, double v, int bits, int format);

}  // namespace dyadfit::cli
