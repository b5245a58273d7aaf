#include "denoise/denoise.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

#include "constant/tessik_entry.h"
#include "draw/draw_partition.h"
#include "dyadic/dyadic_entry.h"
#include "dyadic/parallel.h"
#include "host/standalone.h"
#include "platelet/quarlo_entry.h"
#include "wedgelet/brindel_entry.h"

namespace dyadfit {

std::size_t mirrorIndexOf(std::size_t p, std::size_t n) {
  const std::size_t m = p % (2 * n);
  return m < n ? m : 2 * n - 1 - m;
}

namespace {

constexpr int kMaxShifts = 1024;
constexpr double kBlockNoiseRatio = 12.0;
constexpr double kMaxLines = 1e8;
// Above this many padded pixels the working copies alone would pass 16 GiB.
constexpr double kMaxPaddedPixels = double(std::size_t{1} << 30);

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// One real number (a 1 x 1 real numeric or logical array).
bool isRealScalar(const Input& a) { return a.isRealMatrix() && a.rows() == 1 && a.cols() == 1; }

double optionScalar(const Input& a, const char* message) {
  if (!isRealScalar(a)) throw Error(message);
  return a.scalar();
}

std::string optionText(const Input& a, const char* message) {
  if (!a.isChar() || a.rows() > 1) throw Error(message);
  return lower(a.text());
}

std::size_t nextPowerOfTwo(std::size_t n) {
  std::size_t p = 2;
  while (p < n) p *= 2;
  return p;
}

// Radical inverse of i in base b: 0, 1/b, 2/b, ..., 1/b^2, ... spread evenly.
double radicalInverse(unsigned i, unsigned b) {
  double inv = 1.0 / b, f = inv, r = 0;
  for (; i > 0; i /= b, f *= inv) r += f * (i % b);
  return r;
}

// Storage range of each integer class, as doubles.
struct Range {
  double lo, hi;
};
Range classRange(ValueClass cls) {
  switch (cls) {
    case ValueClass::Int8: return {-128.0, 127.0};
    case ValueClass::UInt8: return {0.0, 255.0};
    case ValueClass::Int16: return {-32768.0, 32767.0};
    case ValueClass::UInt16: return {0.0, 65535.0};
    case ValueClass::Int32: return {-2147483648.0, 2147483647.0};
    case ValueClass::UInt32: return {0.0, 4294967295.0};
    // The nearest doubles; the binding saturates when it stores them.
    case ValueClass::Int64: return {-9223372036854775808.0, 9223372036854775807.0};
    case ValueClass::UInt64: return {0.0, 18446744073709551615.0};
    case ValueClass::Logical: return {0.0, 1.0};
    default: return {-INFINITY, INFINITY};
  }
}

double toClass(double v, ValueClass cls) {
  if (cls == ValueClass::Double) return v;
  if (cls == ValueClass::Single) return static_cast<double>(static_cast<float>(v));
  const Range r = classRange(cls);
  if (std::isnan(v)) return 0.0;
  // Round half away from zero, as the hosts convert to integers.
  return std::clamp(std::round(v), r.lo, r.hi);
}

// Anscombe's transform: Poisson counts to values of about unit variance.
double anscombe(double x) { return 2.0 * std::sqrt(x + 0.375); }

// Closed-form approximation of the exact unbiased inverse of Anscombe's
// transform (error below 1e-3 for D >= 1); below it, the algebraic inverse
// clipped at zero.
double inverseAnscombe(double d) {
  if (d < 1.0) return std::max(0.0, d * d / 4.0 - 0.375);
  const double s = std::sqrt(1.5);
  return d * d / 4.0 + s / (4.0 * d) - 11.0 / (8.0 * d * d) + 5.0 * s / (8.0 * d * d * d) - 0.125;
}

const char* methodName(DenoiseMethod m) {
  switch (m) {
    case DenoiseMethod::Constant: return "constant";
    case DenoiseMethod::Wedgelet: return "wedgelet";
    default: return "platelet";
  }
}

// One run of the chosen module on a padded image (column-major rows x cols).
// With `partition`, the run also fills in the partition it ends with.
std::vector<double> runModule(const DenoiseOptions& o, const std::vector<double>& penalties, bool poisson, Array image,
                              int sh, Partition* partition) {
  std::vector<Array> args;
  args.push_back(std::move(image));
  EntryFn entry = nullptr;
  PartitionedEntryFn partitioned = nullptr;
  if (o.method == DenoiseMethod::Constant) {
    entry = tessik;
    partitioned = tessikPartitioned;
    args.push_back(Array::scalar(penalties[0]));
    args.push_back(Array::scalar(sh));
  } else {
    entry = o.method == DenoiseMethod::Wedgelet ? brindel : quarlo;
    partitioned = o.method == DenoiseMethod::Wedgelet ? brindelPartitioned : quarloPartitioned;
    args.push_back(Array::scalar(sh));
    args.push_back(Array::string(poisson ? "Poisson" : "Gaussian"));
    args.push_back(Array::scalar(penalties[0]));
    args.push_back(Array::scalar(penalties[1]));
    args.push_back(o.lines < 0 ? Array::empty() : Array::scalar(o.lines));
  }
  std::vector<ArrayInput> views;
  views.reserve(args.size());
  for (const Array& a : args) views.emplace_back(a);
  std::vector<const Input*> ptrs;
  for (const ArrayInput& v : views) ptrs.push_back(&v);
  ArrayOutputs outs(1);
  if (partition)
    partitioned(Inputs(ptrs.data(), ptrs.size()), outs, *partition);
  else
    entry(Inputs(ptrs.data(), ptrs.size()), outs);
  return std::move(outs.take()[0].values);
}

}  // namespace

DenoiseOptions parseDenoiseOptions(Inputs in, std::size_t first) {
  DenoiseOptions o;
  bool penaltiesGiven = false;
  if ((in.size() - std::min(first, in.size())) % 2 != 0) throw Error("Options must come in name-value pairs.");
  for (std::size_t k = first; k + 1 < in.size(); k += 2) {
    const Input& value = *in[k + 1];
    const std::string name = optionText(*in[k], "Option names must be text, such as 'Shifts'.");
    if (name == "method") {
      const std::string m = optionText(value, "Option 'Method' must be 'constant', 'wedgelet' or 'platelet'.");
      if (m == "constant")
        o.method = DenoiseMethod::Constant;
      else if (m == "wedgelet")
        o.method = DenoiseMethod::Wedgelet;
      else if (m == "platelet")
        o.method = DenoiseMethod::Platelet;
      else
        throw Error("Option 'Method' must be 'constant', 'wedgelet' or 'platelet'.");
    } else if (name == "noise") {
      const std::string m = optionText(value, "Option 'Noise' must be 'gaussian' or 'poisson'.");
      if (m == "gaussian")
        o.poisson = false;
      else if (m == "poisson")
        o.poisson = true;
      else
        throw Error("Option 'Noise' must be 'gaussian' or 'poisson'.");
    } else if (name == "shifts") {
      const char* msg = "Option 'Shifts' must be a whole number from 1 to 1024.";
      const double v = optionScalar(value, msg);
      if (!(v >= 1 && v <= kMaxShifts) || v != std::floor(v)) throw Error(msg);
      o.shifts = static_cast<int>(v);
    } else if (name == "sigma") {
      const char* msg = "Option 'Sigma' must be a positive finite number, or [] to estimate it.";
      if (value.isRealMatrix() && value.rows() * value.cols() == 0) {
        o.sigma = std::numeric_limits<double>::quiet_NaN();
      } else {
        const double v = optionScalar(value, msg);
        if (!(v > 0) || !std::isfinite(v)) throw Error(msg);
        o.sigma = v;
      }
    } else if (name == "blockside") {
      const char* msg = "Option 'BlockSide' must be a power of two from 1 to 65536.";
      const double v = optionScalar(value, msg);
      if (!(v >= 1 && v <= 65536) || v != std::floor(v) || (static_cast<int>(v) & (static_cast<int>(v) - 1)) != 0)
        throw Error(msg);
      o.blockSide = static_cast<int>(v);
    } else if (name == "penalties") {
      const char* msg = "Option 'Penalties' must be a vector of one or two finite non-negative numbers.";
      if (!value.isRealMatrix() || std::min(value.rows(), value.cols()) != 1 ||
          std::max(value.rows(), value.cols()) > 2)
        throw Error(msg);
      o.penalties.assign(value.rows() * value.cols(), 0.0);
      value.toDoubles(o.penalties.data());
      for (double p : o.penalties)
        if (!(p >= 0) || !std::isfinite(p)) throw Error(msg);
      penaltiesGiven = true;
    } else if (name == "lines") {
      const char* msg = "Option 'Lines' must be a whole number from 0 to 1e8.";
      const double v = optionScalar(value, msg);
      if (!(v >= 0 && v <= kMaxLines) || v != std::floor(v)) throw Error(msg);
      o.lines = v;
    } else if (name == "progress") {
      const char* msg = "Option 'Progress' must be true or false.";
      const double v = optionScalar(value, msg);
      if (v != 0 && v != 1) throw Error(msg);
      o.progress = v == 1;
    } else {
      throw Error("Unknown option '" + in[k]->text() +
                  "'; the options are Method, Noise, Shifts, Sigma, BlockSide, Penalties, Lines and Progress.");
    }
  }
  if (penaltiesGiven) {
    const std::size_t want = o.method == DenoiseMethod::Constant ? 1 : 2;
    if (o.penalties.size() != want)
      throw Error(std::string("Option 'Penalties' must hold ") + (want == 1 ? "one number" : "two numbers") +
                  " for the '" + methodName(o.method) + "' method.");
  }
  return o;
}

double estimateNoiseSigma(const double* image, std::size_t rows, std::size_t cols) {
  if (rows < 2 || cols < 2) return 0.0;
  // Daubechies' four-tap filters. Under white noise every coefficient of an
  // orthogonal wavelet transform is independent of every other, so choosing
  // which diagonal coefficients to use by the horizontal and vertical bands
  // around them leaves the noise in them untouched, while it keeps out the
  // edges and textures that would inflate the estimate.
  const double r3 = std::sqrt(3.0), d = 4.0 * std::sqrt(2.0);
  const std::array<double, 4> h = {(1 + r3) / d, (3 + r3) / d, (3 - r3) / d, (1 - r3) / d};
  const std::array<double, 4> g = {h[3], -h[2], h[1], -h[0]};
  // Only positions whose filters lie inside the image: a mirrored border
  // repeats pixels, which cancels part of the noise there and would draw the
  // choice of quiet positions to the border. Tiny images mirror.
  const std::size_t R = rows >= 4 ? (rows - 2) / 2 : rows / 2, C = cols >= 4 ? (cols - 2) / 2 : cols / 2;
  std::vector<double> diagonal(R * C), activity(R * C);
  parallelFor(C, [&](std::size_t j) {
    for (std::size_t i = 0; i < R; ++i) {
      double hh = 0, hl = 0, lh = 0;
      for (std::size_t l = 0; l < 4; ++l) {
        const std::size_t c = mirrorIndexOf(2 * j + l, cols);
        double high = 0, low = 0;
        for (std::size_t k = 0; k < 4; ++k) {
          const double x = image[mirrorIndexOf(2 * i + k, rows) + rows * c];
          high += g[k] * x;
          low += h[k] * x;
        }
        hh += g[l] * high;
        lh += h[l] * high;
        hl += g[l] * low;
      }
      diagonal[i + R * j] = std::fabs(hh);
      activity[i + R * j] = std::fabs(lh) + std::fabs(hl);
    }
  });
  // Activity summed over each coefficient's 3 x 3 neighbourhood.
  std::vector<double> local(R * C);
  parallelFor(C, [&](std::size_t j) {
    for (std::size_t i = 0; i < R; ++i) {
      double s = 0;
      for (std::size_t v = j > 0 ? j - 1 : 0; v <= std::min(j + 1, C - 1); ++v)
        for (std::size_t u = i > 0 ? i - 1 : 0; u <= std::min(i + 1, R - 1); ++u) s += activity[u + R * v];
      local[i + R * j] = s;
    }
  });
  // The quietest quarter of the positions.
  std::vector<double> sorted = local;
  auto q = sorted.begin() + static_cast<std::ptrdiff_t>((sorted.size() - 1) / 4);
  std::nth_element(sorted.begin(), q, sorted.end());
  const double threshold = *q;
  std::vector<double> chosen;
  chosen.reserve(sorted.size() / 4 + 1);
  for (std::size_t k = 0; k < local.size(); ++k)
    if (local[k] <= threshold) chosen.push_back(diagonal[k]);
  auto mid = chosen.begin() + static_cast<std::ptrdiff_t>(chosen.size() / 2);
  std::nth_element(chosen.begin(), mid, chosen.end());
  double median = *mid;
  if (chosen.size() % 2 == 0) median = (median + *std::max_element(chosen.begin(), mid)) / 2;
  return median / 0.6745;
}

std::vector<double> denoiseImage(const double* image, std::size_t rows, std::size_t cols, ValueClass cls,
                                 const DenoiseOptions& options, DenoiseInfo* info, const ProgressFn& progress) {
  const auto start = std::chrono::steady_clock::now();
  if (rows < 2 || cols < 2) throw Error("The image must have at least 2 rows and 2 columns.");
  const std::size_t n = rows * cols;
  for (std::size_t k = 0; k < n; ++k)
    if (!std::isfinite(image[k])) throw Error("The image must not hold NaN or Inf.");
  if (options.poisson)
    for (std::size_t k = 0; k < n; ++k)
      if (image[k] < 0) throw Error("Under Poisson noise the image must hold non-negative counts.");

  const bool constant = options.method == DenoiseMethod::Constant;
  std::size_t P = nextPowerOfTwo(rows), Q = nextPowerOfTwo(cols);
  if (constant) P = Q = std::max(P, Q);
  if (double(P) * double(Q) > kMaxPaddedPixels)
    throw Error("The image is too large: its padded size would pass 2^30 pixels.");
  const std::size_t smaller = std::min(P, Q);
  if (static_cast<std::size_t>(options.blockSide) > smaller)
    throw Error("Option 'BlockSide' must not exceed the smaller padded side, " + std::to_string(smaller) + ".");

  DenoiseInfo local;
  DenoiseInfo& inf = info ? *info : local;
  inf = DenoiseInfo{};
  inf.shifts = options.shifts;
  inf.paddedRows = P;
  inf.paddedCols = Q;

  // Work in units where the noise has unit variance, so the modules' default
  // penalties hold: divide by sigma (Gaussian) or take Anscombe's transform
  // (Poisson counts for the constant method, whose cost is squared error).
  const bool anscombeStep = options.poisson && constant;
  const bool modulePoisson = options.poisson && !constant;
  double sigma = 1.0;
  if (!options.poisson) {
    inf.sigmaEstimated = std::isnan(options.sigma);
    sigma = inf.sigmaEstimated ? estimateNoiseSigma(image, rows, cols) : options.sigma;
    // A flat image leaves only rounding in its wavelet coefficients.
    if (inf.sigmaEstimated) {
      double largest = 0;
      for (std::size_t k = 0; k < n; ++k) largest = std::max(largest, std::fabs(image[k]));
      if (sigma <= 1e-12 * largest) sigma = 0;
    }
  }
  inf.sigma = options.poisson ? std::numeric_limits<double>::quiet_NaN() : sigma;

  std::vector<double> result(n);
  // Nothing to estimate: no noise was found, or no count was seen. The
  // modules' defaults have no meaning there (a zero noise level, log 0).
  const bool noCounts = modulePoisson && std::all_of(image, image + n, [](double v) { return v == 0; });
  if ((!options.poisson && !(sigma > 0)) || noCounts) {
    for (std::size_t k = 0; k < n; ++k) result[k] = toClass(image[k], cls);
    inf.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return result;
  }

  auto forward = [&](double v) { return anscombeStep ? anscombe(v) : (options.poisson ? v : v / sigma); };
  auto backward = [&](double v) { return anscombeStep ? inverseAnscombe(v) : (options.poisson ? v : v * sigma); };

  // Block side: the modules' rule suits a contrast of a few noise levels; a
  // cleaner image keeps its detail with smaller blocks. On the project's test
  // images the best side is close to 12 noise levels per standard deviation
  // of the signal, taken down to a power of two, up to the modules' rule.
  // The constant method keeps tessik's own side, 1: its pre-averaging is
  // never refined back, and larger blocks measured worse at every level.
  int sh = options.blockSide > 0 ? options.blockSide : (constant ? 1 : 0);
  if (sh == 0) {
    double mean = 0, var = 0;
    for (std::size_t k = 0; k < n; ++k) mean += forward(image[k]);
    mean /= double(n);
    for (std::size_t k = 0; k < n; ++k) {
      const double d = forward(image[k]) - mean;
      var += d * d;
    }
    var /= double(n);
    const double noiseVar = modulePoisson ? mean : 1.0;
    sh = defaultBlockSide(P, Q);
    if (var > noiseVar) {
      const double ratio = kBlockNoiseRatio * std::sqrt(noiseVar / (var - noiseVar));
      int b = 1;
      while (b * 2 <= ratio && b * 2 <= sh) b *= 2;
      sh = b;
    }
  }
  inf.blockSide = sh;

  // Mirror-padded, transformed image.
  std::vector<double> padded(P * Q);
  parallelFor(Q, [&](std::size_t j) {
    const std::size_t c = mirrorIndexOf(j, cols);
    for (std::size_t i = 0; i < P; ++i) padded[i + P * j] = forward(image[mirrorIndexOf(i, rows) + rows * c]);
  });
  for (double v : padded)
    if (!std::isfinite(v)) throw Error("Option 'Sigma' is too small for the image's values.");

  // The penalties the module applies: those given, else its defaults, which
  // depend on the padded image (its pixel count, or its total count under
  // Poisson noise; every cyclic shift has the same total).
  inf.penalties = options.penalties;
  if (inf.penalties.empty()) {
    if (constant) {
      inf.penalties = {std::log(double(P * Q)) / 3.0};
    } else {
      double x = double(P) * double(Q);
      if (modulePoisson) {
        x = 0;
        for (double v : padded) x += v;
      }
      const EntryModel& m = options.method == DenoiseMethod::Wedgelet ? kBrindelModel : kQuarloModel;
      inf.penalties = {(m.onePenaltyFactor * std::log(x)) / 3, (m.twoPenaltyFactor * std::log(x)) / 3};
    }
  }

  // Cyclic shifts spread over a square of two blocks' side, at least four
  // pixels: offsets within a block move the pre-averaging and the smallest
  // squares, which is where the grid shows; larger ones mostly repeat the
  // module's own shift by one block. Measured on the test images.
  const std::size_t span = std::min<std::size_t>(smaller, std::max<std::size_t>(4, 2 * static_cast<std::size_t>(sh)));
  std::vector<double> sum(P * Q, 0.0);
  const int shifts = options.shifts;
  if (progress) progress(0.0);
  for (int s = 0; s < shifts; ++s) {
    interruptionPoint();
    const std::size_t di = static_cast<std::size_t>(radicalInverse(unsigned(s), 2) * double(span));
    const std::size_t dj = static_cast<std::size_t>(radicalInverse(unsigned(s), 3) * double(span));
    Array shifted = Array::zeros(P, Q);
    parallelFor(Q, [&](std::size_t j) {
      const std::size_t sj = (j + dj) % Q;
      for (std::size_t i = 0; i < P; ++i) shifted.values[i + P * j] = padded[(i + di) % P + P * sj];
    });
    const std::vector<double> est = runModule(options, inf.penalties, modulePoisson, std::move(shifted), sh,
                                              options.partition && s == 0 ? &inf.partition : nullptr);
    parallelFor(Q, [&](std::size_t j) {
      const std::size_t sj = (j + dj) % Q;
      for (std::size_t i = 0; i < P; ++i) sum[(i + di) % P + P * sj] += est[i + P * j];
    });
    if (progress) progress(double(s + 1) / shifts);
  }

  parallelFor(cols, [&](std::size_t j) {
    for (std::size_t i = 0; i < rows; ++i) result[i + rows * j] = toClass(backward(sum[i + P * j] / shifts), cls);
  });
  inf.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return result;
}

}  // namespace dyadfit

namespace dyadfit {

std::vector<double> drawDenoisePartition(const double* grey, std::size_t rows, std::size_t cols,
                                         const DenoiseInfo& info, int scale) {
  const Partition& p = info.partition;
  if (p.rows == 0 || p.rows != info.paddedRows || p.cols != info.paddedCols || rows > p.rows || cols > p.cols)
    throw Error("No partition to draw: the denoising was not asked for one.");
  // The partition covers the padded image: draw it over the image padded the
  // same way, then keep the picture of the image itself.
  const std::size_t P = p.rows, Q = p.cols;
  std::vector<double> padded(P * Q);
  for (std::size_t j = 0; j < Q; ++j)
    for (std::size_t i = 0; i < P; ++i)
      padded[i + P * j] = grey[mirrorIndexOf(i, rows) + rows * mirrorIndexOf(j, cols)];
  DrawOptions draw;
  draw.scale = scale;
  displayRange(grey, rows * cols, draw.lo, draw.hi);
  const std::vector<double> full = drawPartition(padded.data(), P, Q, p, draw);
  const std::size_t R = P * scale, C = Q * scale, r = rows * scale, c = cols * scale;
  std::vector<double> picture(r * c * 3);
  for (std::size_t k = 0; k < 3; ++k)
    for (std::size_t j = 0; j < c; ++j)
      std::copy_n(full.begin() + static_cast<std::ptrdiff_t>(k * R * C + j * R), r,
                  picture.begin() + static_cast<std::ptrdiff_t>(k * r * c + j * r));
  return picture;
}

}  // namespace dyadfit
