// SPDX-License-Identifier: BSD-3-Clause
// The command-line tool's own image formats: PGM (P2/P5) and plain-text
// matrices, read from bytes and written to streams, plus the file handling
// every format shares (bounded reads, writes that leave no partial file).
// Every malformed input is refused with a Failure before anything large is
// allocated. Nothing here depends on the image library (tools/image_files.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "host/standalone.h"

namespace dyadfit::cli {

struct Failure {
  std::string message;
};

// 2^28 samples: 2 GiB of doubles before any module runs.
inline constexpr std::size_t kMaxSamples = std::size_t{1} << 28;
// A file this large is not read into memory.
inline constexpr std::uint64_t kMaxInputBytes = std::uint64_t{1} << 32;
// Standard input, pipes and devices tell no size: they are read up to this.
inline constexpr std::uint64_t kMaxStreamBytes = std::uint64_t{1} << 30;

// How a file stores its samples: the estimate is written back the same way
// where the output format can hold it.
enum class Samples { Text, Unsigned, Signed, Float };

// An image as the tool handles it: one channel (grey) or three (red, green,
// blue) of equal size, and the samples of the file it came from.
struct Image {
  std::vector<Array> channels;
  Samples samples = Samples::Text;
  int depth = 0;  // bits per sample: 8, 16 or 32 (integers), 32 or 64 (floats); 0 for text
  std::string format;  // the format read ("PNG", "TIFF", "FITS", "TEXT", ...)
  // A FITS IN's own header cards (80 characters each), carried to a FITS OUT.
  std::vector<std::string> fitsCards;

  std::size_t rows() const { return channels.empty() ? 0 : channels[0].rows; }
  std::size_t cols() const { return channels.empty() ? 0 : channels[0].cols; }
  bool isInteger() const { return samples == Samples::Unsigned || samples == Samples::Signed; }
};

// The smallest and largest value `image`'s samples can hold (integers only).
double lowestSample(const Image& image);
double highestSample(const Image& image);

// The image held by a file's bytes: PGM when they begin with "P2" or "P5"
// (its samples as they are, whatever the maxval; depth 8 up to maxval 255,
// else 16), else whitespace-separated numbers, one image row per line.
Image parsePgmOrText(std::string_view bytes);
// Its one channel.
Array parseImage(std::string_view bytes);

// A file's bytes, refused when it is missing, a directory, empty or larger
// than kMaxInputBytes (kMaxStreamBytes for "-", standard input, and other
// streams); messages name the file. A stop request (requestInterrupt) ends
// the read, a blocked one included, with Failure{"Interrupted."}.
std::string readFileBytes(const std::string& path);

// Writers. The PGM holds `depth` bits (maxval 255 or 65535) with values
// rounded and clipped to that range; NaN or Inf is refused. Text keeps every
// double exactly (%.17g), values separated by `separator`; a stop request
// ends it between rows.
void writePgm(std::ostream& out, const Array& a, int depth = 16);
void writeText(std::ostream& out, const Array& a, char separator = ' ');

// A Failure where a's values hold NaN or Inf, which integer samples cannot
// hold: rounding would turn NaN into an arbitrary grey level and Inf into white.
void requireFiniteSamples(const Array& a);

// Rounded and clipped to 0..2^depth-1 (8 or 16 bits); a Failure for NaN or Inf.
std::vector<std::uint16_t> quantize(const Array& a, int depth);

// Fills `path` through `fill`. A regular file is written under a temporary
// name in its folder and renamed into place only when complete, so a failed or
// interrupted write (requestInterrupt) leaves no OUT and no partial file; a
// device (e.g. /dev/full) is written in place and kept.
void writeFileSafely(const std::string& path, const std::function<void(std::ostream&)>& fill);

// Several files written together: each under a temporary name, all renamed
// into place only when every one is complete; a failure leaves none of them.
// "-" is standard output, written in place.
struct OutputFile {
  std::string path;
  std::function<void(std::ostream&)> fill;
};
void writeFilesSafely(const std::vector<OutputFile>& files);

// Bytes written in blocks, so that a stop request ends a long write.
void writeBytes(std::ostream& out, const std::string& bytes);

// Refuses, before any work, an OUT that writeFileSafely could not write: a
// directory, or a file in a folder that is missing or not writable.
void checkWritablePath(const std::string& path);

// Removes the temporary file of a write in progress, if any. Safe from a
// signal handler: a signal that ends the process mid-write calls it first.
void removePartialFile() noexcept;

}  // namespace dyadfit::cli
