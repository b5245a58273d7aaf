// Image files of the command-line tool: PGM (P2/P5) and plain-text matrices
// in, 16-bit PGM or full-precision text out. Every malformed input is refused
// with a Failure before anything large is allocated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>

#include "host/standalone.h"

namespace dyadfit::cli {

struct Failure {
  std::string message;
};

// 2^28 samples: 2 GiB of doubles before any module runs.
inline constexpr std::size_t kMaxSamples = std::size_t{1} << 28;
// A file this large is not read into memory.
inline constexpr std::uint64_t kMaxInputBytes = std::uint64_t{1} << 32;

// The image held by a file's bytes: PGM when they begin with "P2" or "P5",
// else whitespace-separated numbers, one image row per line.
Array parseImage(std::string_view bytes);

// Reads and parses a file; messages name the file.
Array readImageFile(const std::string& path);

// Writers. The PGM is 16-bit with values rounded and clipped to 0..65535;
// NaN or Inf is refused. Text keeps every double exactly (%.17g).
void writePgm(std::ostream& out, const Array& a);
void writeText(std::ostream& out, const Array& a);

// Writes a PGM when path ends in ".pgm", text otherwise. A failed write
// leaves no partial regular file behind; a device (e.g. /dev/full) is kept.
void writeImageFile(const std::string& path, const Array& a);

}  // namespace dyadfit::cli
