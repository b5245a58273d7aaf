// dyadfit_denoise: the modules made ready for real images. Pads any size to
// dyadic sides, finds the Gaussian noise level, scales to unit variance,
// averages the estimates over cyclic shifts of the grid, and returns the
// result in the input's storage class.
#pragma once

#include <cstddef>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "dyadic/partition.h"
#include "host/host.h"

namespace dyadfit {

enum class DenoiseMethod { Constant, Wedgelet, Platelet };

// Storage class of the image, which the result keeps: integer classes are
// rounded and saturated to their range.
enum class ValueClass { Double, Single, Int8, UInt8, Int16, UInt16, Int32, UInt32, Int64, UInt64, Logical };

inline constexpr int kDefaultShifts = 4;

struct DenoiseOptions {
  DenoiseMethod method = DenoiseMethod::Wedgelet;
  bool poisson = false;
  int shifts = kDefaultShifts;
  // Gaussian noise level; NaN: estimated from the image.
  double sigma = std::numeric_limits<double>::quiet_NaN();
  // Block side of the pre-averaging; 0: the modules' default for the padded size.
  int blockSide = 0;
  // Explicit penalties on the scaled image: none (defaults), one (constant
  // squares) or two (one piece, each piece of a split).
  std::vector<double> penalties;
  // Lines per square for wedgelets and platelets; -1: the modules' default.
  double lines = -1;
  // Whether the host should report progress (the caller passes the report).
  bool progress = false;
  // Whether to keep the partition of the unshifted run in DenoiseInfo (set
  // by hosts that draw it; not a user option).
  bool partition = false;
};

struct DenoiseInfo {
  double sigma = 0;  // noise level used (1 under Poisson)
  bool sigmaEstimated = false;
  int blockSide = 0;
  std::vector<double> penalties;  // as passed to the module (after scaling)
  int shifts = 0;
  std::size_t paddedRows = 0, paddedCols = 0;
  double seconds = 0;
  // The partition of the unshifted run over the padded image, when asked for.
  Partition partition;
};

// Called with the fraction of the work done, from the calling thread.
using ProgressFn = std::function<void(double)>;

// Reads the name-value pairs in[first], in[first+1], ... ("Method",
// "Noise", "Shifts", "Sigma", "BlockSide", "Penalties", "Lines",
// "Progress"; names
// case-insensitive). Every bad option is an Error naming it.
DenoiseOptions parseDenoiseOptions(Inputs in, std::size_t first);

// Robust Gaussian noise level of a rows x cols column-major image: the median
// absolute finest diagonal wavelet coefficient divided by 0.6745.
double estimateNoiseSigma(const double* image, std::size_t rows, std::size_t cols);

// Denoises a rows x cols column-major image held as doubles of storage class
// `cls`; returns rows x cols values representable in that class.
// The call stops with Error("Interrupted.") only inside the caller's
// InterruptScope (dyadic/parallel.h): the host opens it with its own poll, as
// the bindings do, e.g. InterruptScope scope(interruptRequested) for C++
// callers who use requestInterrupt(). Opening one here would hide the host's.
std::vector<double> denoiseImage(const double* image, std::size_t rows, std::size_t cols, ValueClass cls,
                                 const DenoiseOptions& options, DenoiseInfo* info = nullptr,
                                 const ProgressFn& progress = {});

// The partition kept in `info` drawn over `grey` (rows x cols column-major:
// the estimate or the image), as an (rows*scale) x (cols*scale) x 3
// column-major RGB picture in [0, 1], grey shown over its own range.
std::vector<double> drawDenoisePartition(const double* grey, std::size_t rows, std::size_t cols,
                                         const DenoiseInfo& info, int scale);

// Whole-sample mirror of index p into [0, n): ... 1 0 | 0 1 ... n-1 | n-1 ...,
// the padding of images to dyadic sides.
std::size_t mirrorIndexOf(std::size_t p, std::size_t n);

}  // namespace dyadfit
