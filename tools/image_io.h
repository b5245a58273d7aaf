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

// An image as the tool handles it: one channel (grey) or three (red, green,
// blue) of equal size, and the bits per sample of the file it came from.
struct Image {
  std::vector<Array> channels;
  int depth = 0;  // 8 or 16; 0 for text, which has none

  std::size_t rows() const { return channels.empty() ? 0 : channels[0].rows; }
  std::size_t cols() const { return channels.empty() ? 0 : channels[0].cols; }
};

// The image held by a file's bytes: PGM when they begin with "P2" or "P5"
// (its samples as they are, whatever the maxval; depth 8 up to maxval 255,
// else 16), else whitespace-separated numbers, one image row per line.
Image parsePgmOrText(std::string_view bytes);
// Its one channel.
Array parseImage(std::string_view bytes);

// A file's bytes, refused when it is missing, a directory, empty or larger
// than kMaxInputBytes; messages name the file.
std::string readFileBytes(const std::string& path);

// Writers. The PGM holds `depth` bits (maxval 255 or 65535) with values
// rounded and clipped to that range; NaN or Inf is refused. Text keeps every
// double exactly (%.17g).
void writePgm(std::ostream& out, const Array& a, int depth = 16);
void writeText(std::ostream& out, const Array& a);

// Rounded and clipped to 0..2^depth-1 (8 or 16 bits); a Failure for NaN or Inf.
std::vector<std::uint16_t> quantize(const Array& a, int depth);

// Fills `path` through `fill`. A regular file is written under a temporary
// name in its folder and renamed into place only when complete, so a failed or
// interrupted write (requestInterrupt) leaves no OUT and no partial file; a
// device (e.g. /dev/full) is written in place and kept.
void writeFileSafely(const std::string& path, const std::function<void(std::ostream&)>& fill);

// Refuses, before any work, an OUT that writeFileSafely could not write: a
// directory, or a file in a folder that is missing or not writable.
void checkWritablePath(const std::string& path);

// Removes the temporary file of a write in progress, if any. Safe from a
// signal handler: a signal that ends the process mid-write calls it first.
void removePartialFile() noexcept;

}  // namespace dyadfit::cli
