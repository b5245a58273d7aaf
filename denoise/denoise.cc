#include "denoise/denoise.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>

#include "constant/tessik_entry.h"
#include "denoise/colour.h"
#include "draw/draw_partition.h"
#include "dyadic/dyadic_entry.h"
#include "dyadic/parallel.h"
#include "host/standalone.h"
#include "platelet/quarlo_entry.h"
#include "wedgelet/brindel_entry.h"

namespace dyadfit {

namespace {

constexpr double kBlockNoiseRatio = 12.0;
// Above this many padded pixels the working copies alone would pass 16 GiB.
constexpr double kMaxPaddedPixels = double(std::size_t{1} << 30);

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

// Storage range of each class, as doubles.
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

// What one working plane needs besides its values.
struct PlaneRun {
  const DenoiseOptions& options;
  std::size_t rows, cols, P, Q;
  bool modulePoisson;  // counts to the modules' Poisson model, else unit-variance Gaussian
  Partition* partition;
  // Progress over the whole call: this plane covers [done, done + share).
  const ProgressFn& progress;
  double done, share;
};

// Denoises one plane in the modules' terms (values of unit noise variance,
// or counts) and writes the estimate over it. Returns the block side used;
// fills in the penalties.
int denoisePlane(double* plane, const PlaneRun& run, std::vector<double>& penalties) {
  const DenoiseOptions& o = run.options;
  const std::size_t rows = run.rows, cols = run.cols, P = run.P, Q = run.Q, n = rows * cols;
  const bool constant = o.method == DenoiseMethod::Constant;

  // Block side: the modules' rule suits a contrast of a few noise levels; a
  // cleaner image keeps its detail with smaller blocks. On the project's test
  // images the best side is close to 12 noise levels per standard deviation
  // of the signal, taken down to a power of two, up to the modules' rule.
  // The constant method keeps tessik's own side, 1: its pre-averaging is
  // never refined back, and larger blocks measured worse at every level.
  int sh = o.blockSide > 0 ? o.blockSide : (constant ? 1 : 0);
  if (sh == 0) {
    double mean = 0, var = 0;
    for (std::size_t k = 0; k < n; ++k) mean += plane[k];
    mean /= double(n);
    for (std::size_t k = 0; k < n; ++k) var += (plane[k] - mean) * (plane[k] - mean);
    var /= double(n);
    const double noiseVar = run.modulePoisson ? mean : 1.0;
    sh = defaultBlockSide(P, Q);
    if (var > noiseVar) {
      const double ratio = kBlockNoiseRatio * std::sqrt(noiseVar / (var - noiseVar));
      int b = 1;
      while (b * 2 <= ratio && b * 2 <= sh) b *= 2;
      sh = b;
    }
  }

  std::vector<double> padded(P * Q);
  parallelFor(Q, [&](std::size_t j) {
    const std::size_t c = mirrorIndexOf(j, cols);
    for (std::size_t i = 0; i < P; ++i) padded[i + P * j] = plane[mirrorIndexOf(i, rows) + rows * c];
  });

  // The penalties the module applies: those given, else its defaults, which
  // depend on the padded image (its pixel count, or its total count under
  // Poisson noise; every cyclic shift has the same total).
  penalties = o.penalties;
  if (penalties.empty()) {
    if (constant) {
      penalties = {std::log(double(P * Q)) / 3.0};
    } else {
      double x = double(P) * double(Q);
      if (run.modulePoisson) {
        x = 0;
        for (double v : padded) x += v;
      }
      const EntryModel& m = o.method == DenoiseMethod::Wedgelet ? kBrindelModel : kQuarloModel;
      penalties = {(m.onePenaltyFactor * std::log(x)) / 3, (m.twoPenaltyFactor * std::log(x)) / 3};
    }
  }

  // Cyclic shifts spread over a square of two blocks' side, at least four
  // pixels: offsets within a block move the pre-averaging and the smallest
  // squares, which is where the grid shows; larger ones mostly repeat the
  // module's own shift by one block. Measured on the test images.
  const std::size_t smaller = std::min(P, Q);
  const std::size_t span = std::min<std::size_t>(smaller, std::max<std::size_t>(4, 2 * static_cast<std::size_t>(sh)));
  std::vector<double> sum(P * Q, 0.0);
  const int shifts = o.shifts;
  for (int s = 0; s < shifts; ++s) {
    interruptionPoint();
    const std::size_t di = static_cast<std::size_t>(radicalInverse(unsigned(s), 2) * double(span));
    const std::size_t dj = static_cast<std::size_t>(radicalInverse(unsigned(s), 3) * double(span));
    Array shifted = Array::zeros(P, Q);
    parallelFor(Q, [&](std::size_t j) {
      const std::size_t sj = (j + dj) % Q;
      for (std::size_t i = 0; i < P; ++i) shifted.values[i + P * j] = padded[(i + di) % P + P * sj];
    });
    const std::vector<double> est =
        runModule(o, penalties, run.modulePoisson, std::move(shifted), sh, s == 0 ? run.partition : nullptr);
    parallelFor(Q, [&](std::size_t j) {
      const std::size_t sj = (j + dj) % Q;
      for (std::size_t i = 0; i < P; ++i) sum[(i + di) % P + P * sj] += est[i + P * j];
    });
    if (run.progress) run.progress(run.done + run.share * double(s + 1) / shifts);
  }
  parallelFor(cols, [&](std::size_t j) {
    for (std::size_t i = 0; i < rows; ++i) plane[i + rows * j] = sum[i + P * j] / shifts;
  });
  return sh;
}

}  // namespace

ValueClass denoiseResultClass(ValueClass image, NoiseModel noise) {
  if (noise == NoiseModel::Gaussian) return image;
  return image == ValueClass::Single ? ValueClass::Single : ValueClass::Double;
}

std::vector<double> channelMean(const double* image, std::size_t rows, std::size_t cols, std::size_t channels) {
  const std::size_t n = rows * cols;
  std::vector<double> grey(n, 0.0);
  for (std::size_t c = 0; c < channels; ++c)
    for (std::size_t k = 0; k < n; ++k) grey[k] += image[c * n + k];
  for (double& v : grey) v /= double(channels);
  return grey;
}

std::vector<double> denoiseImage(const double* image, std::size_t rows, std::size_t cols, std::size_t channels,
                                 ValueClass cls, const DenoiseOptions& options, DenoiseInfo* info,
                                 const ProgressFn& progress) {
  const auto start = std::chrono::steady_clock::now();
  if (rows < 2 || cols < 2) throw Error("The image must have at least 2 rows and 2 columns.");
  if (channels < 1) throw Error("The image must have at least one channel.");
  const std::size_t n = rows * cols, total = n * channels;
  for (std::size_t k = 0; k < total; ++k)
    if (!std::isfinite(image[k])) throw Error("The image must not hold NaN or Inf.");
  const NoiseModel noise = options.noise;
  if (noise == NoiseModel::Poisson)
    for (std::size_t k = 0; k < total; ++k)
      if (image[k] < 0) throw Error("Under Poisson noise the image must hold non-negative counts.");
  if (!options.sigma.empty() && options.sigma.size() != 1 && options.sigma.size() != channels)
    throw Error("Option 'Sigma' must hold one number, or one per channel (" + std::to_string(channels) + ").");

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
  inf.sigma.assign(channels, std::numeric_limits<double>::quiet_NaN());
  inf.blockSide.assign(channels, 0);
  inf.penalties.assign(channels, {});

  const ValueClass outCls = denoiseResultClass(cls, noise);
  const bool opponent = channels == 3 && options.colour == ColourMode::Opponent && noise != NoiseModel::Poisson;
  // Under Poisson noise the modules see counts (brindel, quarlo); tessik,
  // whose cost is squared error, sees them through Anscombe's transform.
  const bool modulePoisson = noise == NoiseModel::Poisson && !constant;

  // The working planes, each in the modules' terms; `scale` undoes a
  // division by the noise level, `skip` marks a plane left as it is.
  std::vector<double> work(image, image + total);
  std::vector<double> scale(channels, 1.0);
  std::vector<bool> skip(channels, false);
  if (noise == NoiseModel::Gaussian) {
    const Range range = classRange(cls);
    inf.sigmaEstimated = options.sigma.empty();
    for (std::size_t c = 0; c < channels; ++c) {
      const double* plane = image + c * n;
      double s = 0;
      if (inf.sigmaEstimated) {
        s = estimateNoiseSigma(plane, rows, cols, range.lo, range.hi);
        // A flat image leaves only rounding in its wavelet coefficients.
        double largest = 0;
        for (std::size_t k = 0; k < n; ++k) largest = std::max(largest, std::fabs(plane[k]));
        if (s <= 1e-12 * largest) s = 0;
      } else {
        s = options.sigma.size() == 1 ? options.sigma[0] : options.sigma[c];
      }
      inf.sigma[c] = s;
    }
    std::vector<double> level = inf.sigma;
    if (opponent) {
      toOpponent(image, n, work.data());
      const std::array<double, 3> o = opponentNoise({level[0], level[1], level[2]});
      level.assign(o.begin(), o.end());
    }
    for (std::size_t c = 0; c < channels; ++c) {
      // No noise found: nothing to estimate, and the modules' defaults have
      // no meaning for a zero noise level.
      skip[c] = !(level[c] > 0);
      if (skip[c]) continue;
      scale[c] = level[c];
      for (std::size_t k = 0; k < n; ++k) {
        work[c * n + k] /= level[c];
        if (!std::isfinite(work[c * n + k])) throw Error("Option 'Sigma' is too small for the image's values.");
      }
    }
  } else if (noise == NoiseModel::Poisson) {
    for (std::size_t c = 0; c < channels; ++c) {
      double* plane = work.data() + c * n;
      // No count seen: log 0 in the modules' defaults, and nothing to estimate.
      skip[c] = std::all_of(plane, plane + n, [](double v) { return v == 0; });
      if (!skip[c] && !modulePoisson)
        for (std::size_t k = 0; k < n; ++k) plane[k] = anscombe(plane[k]);
    }
  } else {
    const CameraNoise known{options.gain, options.offset, options.readNoise};
    inf.cameraEstimated = std::isnan(known.gain) || std::isnan(known.offset) || std::isnan(known.readNoise);
    // One camera for every channel: estimated on all channels' windows
    // together when not given (a mean of channels would hide noise).
    if (inf.cameraEstimated) {
      inf.camera = estimateCameraNoise(image, rows, cols, channels, known);
    } else {
      inf.camera = known;
    }
    for (std::size_t k = 0; k < total; ++k) work[k] = generalizedAnscombe(image[k], inf.camera);
    if (opponent) {
      const std::vector<double> stabilised = work;
      toOpponent(stabilised.data(), n, work.data());
    }
  }

  std::size_t live = 0;
  for (std::size_t c = 0; c < channels; ++c) live += skip[c] ? 0 : 1;
  if (progress) progress(0.0);
  std::size_t doneChannels = 0;
  for (std::size_t c = 0; c < channels; ++c) {
    if (skip[c]) continue;
    const PlaneRun run{options,       rows,     cols,
                       P,             Q,        modulePoisson,
                       options.partition && doneChannels == 0 ? &inf.partition : nullptr,
                       progress,      double(doneChannels) / double(live), 1.0 / double(live)};
    inf.blockSide[c] = denoisePlane(work.data() + c * n, run, inf.penalties[c]);
    ++doneChannels;
  }

  // Back to the data's units.
  std::vector<double> result(total);
  if (noise == NoiseModel::Gaussian) {
    for (std::size_t c = 0; c < channels; ++c)
      if (!skip[c])
        for (std::size_t k = 0; k < n; ++k) work[c * n + k] *= scale[c];
    if (opponent) {
      // A plane left as it is holds its opponent values: the image's own.
      fromOpponent(work.data(), n, result.data());
    } else {
      result = work;
    }
  } else if (noise == NoiseModel::Poisson) {
    for (std::size_t c = 0; c < channels; ++c)
      for (std::size_t k = 0; k < n; ++k)
        result[c * n + k] = skip[c] || modulePoisson ? work[c * n + k] : inverseAnscombe(work[c * n + k]);
  } else {
    if (opponent)
      fromOpponent(work.data(), n, result.data());
    else
      result = work;
    inverseGeneralizedAnscombe(result.data(), total, inf.camera);
  }
  for (double& v : result) v = toClass(v, outCls);
  inf.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return result;
}

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
