// SPDX-License-Identifier: BSD-3-Clause
#include "denoise/denoise.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <random>
#include <string>

#include "constant/tessik_entry.h"
#include "denoise/colour.h"
#include "denoise/wiener.h"
#include "draw/draw_partition.h"
#include "draw/show_entry.h"
#include "dyadic/dyadic_entry.h"
#include "dyadic/grid_utils.h"
#include "dyadic/large_arrays.h"
#include "dyadic/parallel.h"
#include "host/standalone.h"
#include "platelet/quarlo_entry.h"
#include "wedgelet/brindel_entry.h"

namespace dyadfit {

namespace {

constexpr double kBlockNoiseRatio = 12.0;
constexpr double kMaxMagnitude = 1e100;
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
  return std::clamp(roundHalfAway(v), r.lo, r.hi);
}

// p[k] = f(p[k]) for every k < n, on the threads.
template <typename F>
void transformValues(double* p, std::size_t n, const F& f) {
  forEachRange(n, [&](std::size_t begin, std::size_t end) {
    for (std::size_t k = begin; k < end; ++k) p[k] = f(p[k]);
  });
}
template <typename F>
void transformValues(std::vector<double>& v, const F& f) {
  transformValues(v.data(), v.size(), f);
}

// One run of the chosen module on a padded image (column-major rows x cols),
// its estimate written over `estimate`, which keeps its storage from run to
// run. With `partition`, the run also fills in the partition it ends with.
void runModule(DenoiseMethod method, double lines, const std::vector<double>& penalties, bool poisson,
               const Input& image, int sh, Partition* partition, std::vector<double>& estimate) {
  std::vector<Array> args;
  EntryFn entry = nullptr;
  PartitionedEntryFn partitioned = nullptr;
  if (method == DenoiseMethod::Constant) {
    entry = tessik;
    partitioned = tessikPartitioned;
    args.push_back(Array::scalar(penalties[0]));
    args.push_back(Array::scalar(sh));
  } else {
    entry = method == DenoiseMethod::Wedgelet ? brindel : quarlo;
    partitioned = method == DenoiseMethod::Wedgelet ? brindelPartitioned : quarloPartitioned;
    args.push_back(Array::scalar(sh));
    args.push_back(Array::string(poisson ? "Poisson" : "Gaussian"));
    args.push_back(Array::scalar(penalties[0]));
    args.push_back(Array::scalar(penalties[1]));
    args.push_back(lines < 0 ? Array::empty() : Array::scalar(lines));
  }
  std::vector<ArrayInput> views;
  views.reserve(args.size());
  for (const Array& a : args) views.emplace_back(a);
  std::vector<const Input*> ptrs{&image};
  for (const ArrayInput& v : views) ptrs.push_back(&v);

  // One result asked for, written straight into `estimate`: the module
  // entries write every element of their first result, so the reused buffer
  // is not cleared first. The candidate squares are the only other result
  // the entries still form; they are kept here until the run ends.
  class FirstResult final : public Outputs {
   public:
    explicit FirstResult(std::vector<double>& first) : first_(first) {}
    double* create(int slot, std::size_t rows, std::size_t cols) override {
      if (slot == 0) {
        resizeLarge(first_, rows * cols);
        return first_.data();
      }
      other_.assign(rows * cols, 0.0);
      return other_.data();
    }
    MatrixView distinctRows(int, const double* data, std::size_t rows, std::size_t cols) override {
      std::size_t d = 0;
      other_ = distinctSortedRows(data, rows, cols, &d);
      return {other_.data(), d, cols};
    }
    int requested() const override { return 1; }

   private:
    std::vector<double>& first_;
    std::vector<double> other_;
  } outs(estimate);
  if (partition)
    partitioned(Inputs(ptrs.data(), ptrs.size()), outs, *partition);
  else
    entry(Inputs(ptrs.data(), ptrs.size()), outs);
}

// How one plane is run through a module: the method, its cost, the padded
// sides, the block side and the penalties, fixed before the first shift so
// that every run (and the guard's probe) applies the same estimator.
struct DyadicSetup {
  DenoiseMethod method = DenoiseMethod::Wedgelet;
  bool modulePoisson = false;  // counts to the modules' Poisson model, else unit-variance Gaussian
  std::size_t P = 0, Q = 0;
  int sh = 1;
  std::vector<double> penalties;
  std::size_t span = 4;  // the square the shifts spread over
};

// The plane mirror-padded to P x Q.
std::vector<double> padPlane(const double* plane, std::size_t rows, std::size_t cols, std::size_t P, std::size_t Q) {
  std::vector<double> padded = largeZeros(P * Q);
  parallelFor(Q, [&](std::size_t j) {
    const std::size_t c = mirrorIndexOf(j, cols);
    for (std::size_t i = 0; i < P; ++i) padded[i + P * j] = plane[mirrorIndexOf(i, rows) + rows * c];
  });
  return padded;
}

// Cyclic shifts spread over a square of two blocks' side, at least four
// pixels: offsets within a block move the pre-averaging and the smallest
// squares, which is where the grid shows; larger ones mostly repeat the
// module's own shift by one block. Measured on the test images.
std::size_t shiftSpan(std::size_t P, std::size_t Q, int sh) {
  return std::min<std::size_t>(std::min(P, Q), std::max<std::size_t>(4, 2 * static_cast<std::size_t>(sh)));
}

// `custom`: the user's block side and penalties apply (the chosen method);
// otherwise the defaults (the pilot's constant run).
DyadicSetup setupDyadic(const double* plane, std::size_t rows, std::size_t cols, DenoiseMethod method,
                        bool modulePoisson, const DenoiseOptions& o, bool custom) {
  DyadicSetup d;
  d.method = method;
  d.modulePoisson = modulePoisson;
  const bool constant = method == DenoiseMethod::Constant;
  d.P = nextPowerOfTwo(rows);
  d.Q = nextPowerOfTwo(cols);
  if (constant) d.P = d.Q = std::max(d.P, d.Q);
  const std::size_t n = rows * cols;

  // Block side: the modules' rule suits a contrast of a few noise levels; a
  // cleaner image keeps its detail with smaller blocks. On the project's test
  // images the best side is close to 12 noise levels per standard deviation
  // of the signal, taken down to a power of two, up to the modules' rule.
  // The constant method keeps tessik's own side, 1: its pre-averaging is
  // never refined back, and larger blocks measured worse at every level.
  // By default ('Wiener' 'auto') the guard starts from this side and keeps
  // another where the risk says so (denoisePlane).
  int sh = custom && o.blockSide > 0 ? o.blockSide : (constant ? 1 : 0);
  if (sh == 0) {
    double mean = 0, var = 0;
    for (std::size_t k = 0; k < n; ++k) mean += plane[k];
    mean /= double(n);
    for (std::size_t k = 0; k < n; ++k) var += (plane[k] - mean) * (plane[k] - mean);
    var /= double(n);
    sh = denoiseBlockSide(var, modulePoisson ? mean : 1.0, d.P, d.Q);
  }
  d.sh = sh;

  // The penalties the module applies: those given, else its defaults, which
  // depend on the padded image (its pixel count, or its total count under
  // Poisson noise; every cyclic shift has the same total).
  if (custom) d.penalties = o.penalties;
  if (d.penalties.empty()) {
    if (constant) {
      d.penalties = {std::log(!custom && o.defaultsPixels > 0 ? o.defaultsPixels : double(d.P * d.Q)) / 3.0};
    } else {
      double x = double(d.P) * double(d.Q);
      if (modulePoisson) {
        x = 0;
        for (double v : padPlane(plane, rows, cols, d.P, d.Q)) x += v;
        // The defaults grow with log(total): below one count they would be
        // zero or negative.
        if (x < 1)
          throw Error(
              "Poisson counts too small for the default penalties: the image holds fewer than 1 count in all; "
              "give 'Penalties'.");
      }
      const EntryModel& m = method == DenoiseMethod::Wedgelet ? kBrindelModel : kQuarloModel;
      d.penalties = {(m.onePenaltyFactor * std::log(x)) / 3, (m.twoPenaltyFactor * std::log(x)) / 3};
    }
  }

  d.span = shiftSpan(d.P, d.Q, sh);
  return d;
}

// The same module, cost and penalties with another block side.
DyadicSetup withBlockSide(DyadicSetup d, int sh) {
  d.sh = sh;
  d.span = shiftSpan(d.P, d.Q, sh);
  return d;
}

// Progress over the whole call, counted in module runs.
struct RunCounter {
  const ProgressFn& progress;
  double done = 0, total = 1;
  void step() {
    ++done;
    if (progress) progress(std::min(1.0, done / total));
  }
};

// Adds the estimates of shifts first .. last-1 of the padded plane into `sum`
// (P x Q); the first shift's run fills in `partition` when given. The
// shifted copy, the estimate and the modules' working grids are allocated
// once and serve every shift.
void addShifts(const double* padded, const DyadicSetup& d, const DenoiseOptions& o, int first, int last,
               std::vector<double>& sum, Partition* partition, RunCounter& counter) {
  const std::size_t P = d.P, Q = d.Q;
  EntryWorkspace workspace;
  WorkspaceScope scope(workspace);
  // Each shift is written where the entry keeps its copy of the image, and
  // the entry reads it there in place.
  class PlaneInput final : public Input {
   public:
    PlaneInput(const double* v, std::size_t rows, std::size_t cols) : v_(v), rows_(rows), cols_(cols) {}
    std::size_t rows() const override { return rows_; }
    std::size_t cols() const override { return cols_; }
    std::size_t dims() const override { return 2; }
    ClassKind kind() const override { return ClassKind::Double; }
    bool isComplex() const override { return false; }
    bool isSparse() const override { return false; }
    double scalar() const override { return rows_ * cols_ != 0 ? v_[0] : 0.0; }
    const double* doubles() const override { return v_; }
    void toDoubles(double* out) const override { std::copy(v_, v_ + rows_ * cols_, out); }
    std::string text() const override { return {}; }

   private:
    const double* v_;
    std::size_t rows_, cols_;
  };
  std::vector<double>& shifted = workspace.values;
  // brindel and quarlo create their result once the refinement has read the
  // image for the last time: it then takes the image's place. tessik creates
  // its result first and keeps its own.
  std::vector<double> constantEstimate;
  std::vector<double>& est = d.method == DenoiseMethod::Constant ? constantEstimate : shifted;
  for (int s = first; s < last; ++s) {
    interruptionPoint();
    const std::size_t di = static_cast<std::size_t>(radicalInverse(unsigned(s), 2) * double(d.span)) % P;
    const std::size_t dj = static_cast<std::size_t>(radicalInverse(unsigned(s), 3) * double(d.span)) % Q;
    // Row i of a column comes from row (i + di) mod P: two runs, no division per value.
    resizeLarge(shifted, P * Q);
    parallelFor(Q, [&](std::size_t j) {
      const double* from = padded + P * ((j + dj) % Q);
      double* to = shifted.data() + P * j;
      std::copy(from + di, from + P, to);
      std::copy(from, from + di, to + (P - di));
    });
    const PlaneInput image(shifted.data(), P, Q);
    runModule(d.method, o.lines, d.penalties, d.modulePoisson, image, d.sh, s == 0 ? partition : nullptr, est);
    parallelFor(Q, [&](std::size_t j) {
      double* to = sum.data() + P * ((j + dj) % Q);
      const double* from = est.data() + P * j;
      for (std::size_t i = 0; i < P - di; ++i) to[i + di] += from[i];
      for (std::size_t i = P - di; i < P; ++i) to[i + di - P] += from[i];
    });
    counter.step();
  }
}

// The mean of `count` shifts summed in `sum` (P rows), cropped to rows x cols.
std::vector<double> cropMean(const std::vector<double>& sum, std::size_t P, std::size_t rows, std::size_t cols,
                             int count) {
  std::vector<double> out = largeZeros(rows * cols);
  parallelFor(cols, [&](std::size_t j) {
    for (std::size_t i = 0; i < rows; ++i) out[i + rows * j] = sum[i + P * j] / count;
  });
  return out;
}

// The dyadic estimate of a plane: the mean over shifts 0 .. shifts-1, and
// (when `prefix` is given) the mean over the first `prefixShifts` of them.
std::vector<double> dyadicEstimate(const double* plane, std::size_t rows, std::size_t cols, const DyadicSetup& d,
                                   const DenoiseOptions& o, int shifts, Partition* partition, RunCounter& counter,
                                   int prefixShifts = 0, std::vector<double>* prefix = nullptr) {
  // A plane of dyadic sides is its own padding: no copy of it.
  std::vector<double> copy;
  if (rows != d.P || cols != d.Q) copy = padPlane(plane, rows, cols, d.P, d.Q);
  const double* padded = copy.empty() ? plane : copy.data();
  std::vector<double> sum = largeZeros(d.P * d.Q);
  const int split = prefix ? std::min(prefixShifts, shifts) : 0;
  if (prefix) {
    addShifts(padded, d, o, 0, split, sum, partition, counter);
    *prefix = cropMean(sum, d.P, rows, cols, split);
  }
  addShifts(padded, d, o, split, shifts, sum, split == 0 ? partition : nullptr, counter);
  if (rows != d.P || cols != d.Q) return cropMean(sum, d.P, rows, cols, shifts);
  // Nothing to crop: the mean is formed in place.
  parallelFor(cols, [&](std::size_t j) {
    for (std::size_t i = 0; i < rows; ++i) sum[i + rows * j] /= shifts;
  });
  return sum;
}

// Under Poisson noise without the modules' Poisson model (tessik), the counts
// go through Anscombe's transform and back.
bool anscombeRun(const DyadicSetup& d, bool poisson) { return poisson && !d.modulePoisson; }

double meanSquare(const std::vector<double>& a, const double* b) {
  double s = 0;
  for (std::size_t k = 0; k < a.size(); ++k) s += (a[k] - b[k]) * (a[k] - b[k]);
  return s / double(a.size());
}

// The probe of the guard: fixed, so that a call gives the same result every
// time; never the C library's rand, whose sequence the label images own.
std::vector<double> probeNoise(std::size_t n) {
  std::mt19937_64 engine(0x64796164u);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::vector<double> b(n);
  for (double& v : b) v = normal(engine);
  return b;
}

constexpr double kProbeStep = 0.1;
// The dyadic estimate the guard weighs against the two-stage one averages
// this many times the shifts asked for.
constexpr int kGuardShiftFactor = 2;

// The guard ranks block sides by a coarse Wiener stage: blocks of 8 on a
// step of 4, a sixteenth of the full stage's blocks.
constexpr int kRankStep = 4;
constexpr int kCheapSide = 4;

// What one block side gives the guard.
struct SideTrial {
  int side = 0;
  Partition part;
  std::vector<double> A;                  // the dyadic estimate
  std::vector<double> sum;                // while ranking: the padded sum of its first S shifts
  std::vector<double> first, firstProbe;  // its first S shifts, on the plane and on the probe
  double riskA = 0, riskB = 0;            // while ranking: of `first` and of the coarse Wiener stage
  double risk() const { return std::min(riskA, riskB); }
};

// The runs the block-side search adds to the guard's, with `sides` tried.
double searchRuns(int S, std::size_t sides, bool poisson) {
  return 2.0 * S * double(sides - 1) + (poisson ? 1.0 : double(sides));
}

// Denoises one plane and writes the estimate over it: values of unit noise
// variance (Gaussian; camera data after its transform) stay in those units;
// Poisson counts become rates.
void denoisePlane(double* plane, std::size_t rows, std::size_t cols, const DenoiseOptions& o, bool poisson,
                  Partition* partition, RunCounter& counter, DenoiseInfo& inf, std::size_t channel) {
  const std::size_t n = rows * cols;
  const bool constant = o.method == DenoiseMethod::Constant;
  const int S = o.shifts;
  const DyadicSetup chosen = setupDyadic(plane, rows, cols, o.method, poisson && !constant, o, true);
  inf.blockSide[channel] = chosen.sh;
  inf.penalties[channel] = chosen.penalties;

  // The dyadic estimate alone, with the settings `d`.
  auto dyadic = [&](const DyadicSetup& d, const double* values, int shifts, Partition* part, int prefixShifts,
                    std::vector<double>* prefix) {
    if (!anscombeRun(d, poisson))
      return dyadicEstimate(values, rows, cols, d, o, shifts, part, counter, prefixShifts, prefix);
    std::vector<double> z(values, values + n);
    transformValues(z, anscombe);
    std::vector<double> e = dyadicEstimate(z.data(), rows, cols, d, o, shifts, part, counter, prefixShifts, prefix);
    transformValues(e, inverseAnscombe);
    if (prefix) transformValues(*prefix, inverseAnscombe);
    return e;
  };
  if (o.wiener == WienerMode::Off) {
    const std::vector<double> e = dyadic(chosen, plane, S, partition, 0, nullptr);
    std::copy(e.begin(), e.end(), plane);
    inf.stage[channel] = 0;
    return;
  }

  // The two-stage estimate: a pilot, the mean of the chosen method's estimate
  // and the constant one, in unit noise (Poisson counts through Anscombe's
  // transform, in Gaussian mode), guides the Wiener stage. The pilot's runs
  // take their settings from the plane itself and keep them for the probe.
  // In unit noise: the plane itself under Gaussian noise, else a copy.
  std::vector<double> transformed;
  if (poisson) {
    transformed.assign(plane, plane + n);
    transformValues(transformed, anscombe);
  }
  const double* z0 = poisson ? transformed.data() : plane;
  const DyadicSetup pilotMethod = poisson ? setupDyadic(z0, rows, cols, o.method, false, o, true) : chosen;
  const DyadicSetup pilotConstant = setupDyadic(z0, rows, cols, DenoiseMethod::Constant, false, o, false);

  if (o.wiener == WienerMode::On) {
    std::vector<double> pilot = dyadicEstimate(z0, rows, cols, pilotMethod, o, S, partition, counter);
    if (!constant) {
      const std::vector<double> c = dyadicEstimate(z0, rows, cols, pilotConstant, o, S, nullptr, counter);
      for (std::size_t k = 0; k < n; ++k) pilot[k] = 0.5 * (pilot[k] + c[k]);
    }
    WienerResult w = wienerStage(z0, pilot.data(), rows, cols);
    counter.step();
    if (poisson) transformValues(w.estimate, inverseAnscombe);
    std::copy(w.estimate.begin(), w.estimate.end(), plane);
    inf.stage[channel] = 1;
    inf.wienerBlock[channel] = w.blockSide;
    return;
  }

  // The guard: the risk of each estimate from one probe of the noise, and
  // the lower kept. Gaussian: Stein's unbiased risk in unit noise; Poisson:
  // its counterpart for counts, with the probe left out where no count was
  // seen. The dyadic estimate averages kGuardShiftFactor times the shifts;
  // its divergence, the mean of its shifts' divergences, is read from its
  // first S shifts alone.
  std::vector<double> b = probeNoise(n), probed(n);
  for (std::size_t k = 0; k < n; ++k) {
    if (poisson && plane[k] == 0) b[k] = 0;
    probed[k] = plane[k] + kProbeStep * b[k];
    if (poisson) probed[k] = std::max(0.0, probed[k]);
  }
  std::vector<double> transformedProbe;
  if (poisson) {
    transformedProbe = probed;
    transformValues(transformedProbe, anscombe);
  }
  const double* z1 = poisson ? transformedProbe.data() : probed.data();
  auto divergence = [&](const std::vector<double>& f, const std::vector<double>& fProbe) {
    double s = 0;
    for (std::size_t k = 0; k < n; ++k) s += (poisson ? plane[k] : 1.0) * b[k] * (fProbe[k] - f[k]);
    return s / (kProbeStep * double(n));
  };
  auto risk = [&](const std::vector<double>& f, double div) {
    if (!poisson) return meanSquare(f, plane) - 1.0 + 2.0 * div;
    double s = 0;
    for (std::size_t k = 0; k < n; ++k) s += f[k] * f[k] - 2.0 * plane[k] * f[k];
    return s / double(n) + 2.0 * div;
  };
  // A Wiener stage's estimate back in the plane's units.
  auto fromUnit = [&](std::vector<double> e) {
    if (poisson) transformValues(e, inverseAnscombe);
    return e;
  };

  std::vector<double> constantPilot, constantPilotProbe;
  if (!constant) {
    constantPilot = dyadicEstimate(z0, rows, cols, pilotConstant, o, S, nullptr, counter);
    constantPilotProbe = dyadicEstimate(z1, rows, cols, pilotConstant, o, S, nullptr, counter);
  }
  // Under Poisson noise the pilot's own run is on the transformed counts,
  // with the settings taken from them: one for every side tried.
  std::vector<double> countsPilot, countsPilotProbe;
  if (poisson) {
    countsPilot = dyadicEstimate(z0, rows, cols, pilotMethod, o, S, nullptr, counter);
    countsPilotProbe = dyadicEstimate(z1, rows, cols, pilotMethod, o, S, nullptr, counter);
  }
  // Without a side given, the rule's side is where the guard starts: it
  // tries doubling it, and goes on while the risk falls, up to the modules'
  // rule for the padded size. The risk of a side: the lower of the dyadic
  // estimate's and that of a coarse Wiener stage on the pilot it gives;
  // each side tried costs 2 S runs of the module and two coarse stages (one
  // pair in all under Poisson noise, whose pilot does not depend on the
  // side). Never below the rule's side: a
  // smaller side fits more of the noise, and where the noise is not what
  // the model says (a camera's data taken as Gaussian, few counts) the risk
  // estimates are biased towards such fits; walking down lost 2 to 3 dB
  // there.
  const bool search = o.blockSide == 0 && !constant;
  // Every side tried pads to the same sides: the plane is padded once (a
  // plane of dyadic sides is its own padding).
  std::vector<double> paddedCopy;
  if (search && (rows != chosen.P || cols != chosen.Q)) paddedCopy = padPlane(plane, rows, cols, chosen.P, chosen.Q);
  const double* padded = paddedCopy.empty() ? plane : paddedCopy.data();
  std::vector<SideTrial> trials;
  // The Wiener stage's pilot of a side, on the plane or on the probe: under
  // Gaussian noise the pilot's own run is the dyadic estimate's first S
  // shifts, averaged with the constant one. Formed when needed, not kept.
  auto pilotOf = [&](const SideTrial& t, bool probe) {
    std::vector<double> pilot = poisson ? (probe ? countsPilotProbe : countsPilot) : (probe ? t.firstProbe : t.first);
    if (!constant) {
      const std::vector<double>& c = probe ? constantPilotProbe : constantPilot;
      forEachRange(n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t k = begin; k < end; ++k) pilot[k] = 0.5 * (pilot[k] + c[k]);
      });
    }
    return pilot;
  };
  auto trySide = [&](int side) {
    SideTrial t;
    t.side = side;
    const DyadicSetup d = withBlockSide(chosen, side);
    Partition* part = partition ? &t.part : nullptr;
    if (search) {
      // The sum is kept so that the estimate kept goes on to twice the
      // shifts as dyadicEstimate would (no Anscombe run here: tessik never
      // searches).
      t.sum.assign(d.P * d.Q, 0.0);
      addShifts(padded, d, o, 0, S, t.sum, part, counter);
      t.first = cropMean(t.sum, d.P, rows, cols, S);
    } else {
      t.A = dyadic(d, plane, kGuardShiftFactor * S, part, S, &t.first);
    }
    t.firstProbe = dyadic(d, probed.data(), S, nullptr, 0, nullptr);
    t.riskB = INFINITY;
    if (search) t.riskA = risk(t.first, divergence(t.first, t.firstProbe));
    // Under Poisson noise the pilot, and so the coarse stage's risk, is the
    // same for every side.
    if (search && poisson && !trials.empty()) {
      t.riskB = trials.front().riskB;
    } else if (search) {
      const std::vector<double> e =
          fromUnit(wienerFilter(z0, pilotOf(t, false).data(), rows, cols, 8, kRankStep, nullptr));
      const std::vector<double> eProbe =
          fromUnit(wienerFilter(z1, pilotOf(t, true).data(), rows, cols, 8, kRankStep, nullptr));
      t.riskB = risk(e, divergence(e, eProbe));
      counter.step();
    }
    return t;
  };
  // The ranking keeps the arrays of the best side by each risk; the other
  // sides' arrays go as soon as they are outranked.
  std::size_t bestA = 0, bestB = 0;
  auto rank = [&](SideTrial t) {
    trials.push_back(std::move(t));
    const std::size_t last = trials.size() - 1;
    if (trials[last].riskA < trials[bestA].riskA) bestA = last;
    if (trials[last].riskB < trials[bestB].riskB) bestB = last;
    for (std::size_t k = 0; k <= last; ++k) {
      SideTrial& old = trials[k];
      if (k != bestA) std::vector<double>().swap(old.sum);
      // The best by the Wiener stage's risk keeps what its pilot is formed from.
      if (k != bestA && k != bestB) {
        std::vector<double>().swap(old.first);
        std::vector<double>().swap(old.firstProbe);
        old.part = Partition{};
      }
    }
  };
  rank(trySide(chosen.sh));
  if (search) {
    const int cap = std::max(chosen.sh, defaultBlockSide(chosen.P, chosen.Q));
    for (int side = 2 * chosen.sh; side <= cap; side *= 2) {
      // Sides past kCheapSide cost the modules several times more (8: four
      // times 4); where the two-stage estimate leads (photographs) they
      // gained at most 0.1 dB on the test images, and are tried only while
      // the dyadic estimate leads.
      const SideTrial& last = trials.back();
      if (side > kCheapSide && !(last.riskA < last.riskB)) break;
      rank(trySide(side));
      if (!(trials.back().risk() < trials[trials.size() - 2].risk())) break;
    }
    counter.total += searchRuns(S, trials.size(), poisson) - searchRuns(S, 3, poisson);
    // The dyadic estimate kept averages kGuardShiftFactor times the shifts.
    SideTrial& ta = trials[bestA];
    const DyadicSetup d = withBlockSide(chosen, ta.side);
    addShifts(padded, d, o, S, kGuardShiftFactor * S, ta.sum, nullptr, counter);
    ta.A = cropMean(ta.sum, d.P, rows, cols, kGuardShiftFactor * S);
  }
  // The estimates weighed: the dyadic one of the lowest risk, and the
  // Wiener stage on the best-ranked pilot. The probe's Wiener stage keeps
  // the block side chosen on the plane: the estimate weighed is the one of
  // that side.
  const SideTrial& ta = trials[bestA];
  const SideTrial& tb = trials[bestB];
  WienerResult w = wienerStage(z0, pilotOf(tb, false).data(), rows, cols);
  counter.step();
  const std::vector<double> B = fromUnit(std::move(w.estimate));
  const std::vector<double> BProbe =
      fromUnit(wienerFilter(z1, pilotOf(tb, true).data(), rows, cols, w.blockSide, w.blockSide == 8 ? 1 : 2, nullptr));
  counter.step();
  const double riskA = risk(ta.A, divergence(ta.first, ta.firstProbe));
  const double riskB = risk(B, divergence(B, BProbe));
  inf.risk[channel] = {riskA, riskB};
  const bool two = riskB < riskA;
  const SideTrial& kept = two ? tb : ta;
  inf.stage[channel] = two ? 1 : 0;
  inf.wienerBlock[channel] = w.blockSide;
  inf.blockSide[channel] = kept.side;
  if (partition) *partition = kept.part;
  const std::vector<double>& e = two ? B : ta.A;
  std::copy(e.begin(), e.end(), plane);
}

// Module runs (and Wiener stages) one plane takes, for the progress report.
double plannedRuns(const DenoiseOptions& o, bool poisson) {
  const int S = o.shifts;
  const double pilot = (o.method == DenoiseMethod::Constant ? 1 : 2) * S + 1;
  if (o.wiener == WienerMode::Off) return S;
  if (o.wiener == WienerMode::On) return pilot;
  const double single = kGuardShiftFactor * S + S + 2 * pilot - (poisson ? 0 : 2 * S);
  if (o.blockSide > 0 || o.method == DenoiseMethod::Constant) return single;
  // The guard's search, planned as three sides (denoisePlane sets the
  // count right once it knows): 2 S runs and a coarse Wiener stage each
  // past the first, one stage in all under Poisson noise.
  return single + searchRuns(S, 3, poisson);
}

}  // namespace

int denoiseBlockSide(double variance, double noiseVariance, std::size_t P, std::size_t Q) {
  int sh = defaultBlockSide(P, Q);
  if (variance > noiseVariance) {
    const double ratio = kBlockNoiseRatio * std::sqrt(noiseVariance / (variance - noiseVariance));
    int b = 1;
    while (b * 2 <= ratio && b * 2 <= sh) b *= 2;
    sh = b;
  }
  return sh;
}

ValueClass denoiseResultClass(ValueClass image, NoiseModel noise) {
  if (noise == NoiseModel::Gaussian) return image;
  return image == ValueClass::Single ? ValueClass::Single : ValueClass::Double;
}

// The grey image a partition is drawn over: the mean of the channels.
// The largest |v| of p[0, n): a maximum, the same for any split.
double largestMagnitude(const double* p, std::size_t n) {
  std::mutex m;
  double largest = 0;
  forEachRange(n, [&](std::size_t begin, std::size_t end) {
    double local = 0;
    for (std::size_t k = begin; k < end; ++k) local = std::max(local, std::fabs(p[k]));
    const std::lock_guard<std::mutex> lock(m);
    largest = std::max(largest, local);
  });
  return largest;
}

static std::vector<double> channelMean(const double* image, std::size_t rows, std::size_t cols, std::size_t channels) {
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
  if (anyValue(image, total, [](double v) { return !std::isfinite(v); }))
    throw Error("The image must not hold NaN or Inf.");
  // Far below the largest double, so that no sum of squares of the modules
  // or of the second stage overflows into an Inf estimate.
  if (anyValue(image, total, [](double v) { return std::fabs(v) > kMaxMagnitude; }))
    throw Error("Values too large: magnitudes up to 1e100 are accepted.");
  const NoiseModel noise = options.noise;
  if (noise == NoiseModel::Poisson && anyValue(image, total, [](double v) { return v < 0; }))
    throw Error("Under Poisson noise the image must hold non-negative counts.");
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
  inf.stage.assign(channels, -1);
  inf.risk.assign(channels, {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::quiet_NaN()});
  inf.wienerBlock.assign(channels, 0);

  const ValueClass outCls = denoiseResultClass(cls, noise);
  const bool opponent = channels == 3 && options.colour == ColourMode::Opponent && noise != NoiseModel::Poisson;

  // The working planes, each in the modules' terms; `scale` undoes a
  // division by the noise level, `skip` marks a plane left as it is.
  std::vector<double> work = largeCopy(image, total);
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
        if (s <= 1e-12 * largestMagnitude(plane, n)) s = 0;
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
      double* w = work.data() + c * n;
      const double l = level[c];
      std::atomic<bool> overflow{false};
      forEachRange(n, [&](std::size_t begin, std::size_t end) {
        bool bad = false;
        for (std::size_t k = begin; k < end; ++k) {
          w[k] /= l;
          bad = bad || !std::isfinite(w[k]);
        }
        if (bad) overflow = true;
      });
      if (overflow) throw Error("Option 'Sigma' is too small for the image's values.");
    }
  } else if (noise == NoiseModel::Poisson) {
    // No count seen: log 0 in the modules' defaults, and nothing to estimate.
    for (std::size_t c = 0; c < channels; ++c)
      skip[c] = std::all_of(image + c * n, image + (c + 1) * n, [](double v) { return v == 0; });
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
    forEachRange(total, [&](std::size_t begin, std::size_t end) {
      for (std::size_t k = begin; k < end; ++k) work[k] = generalizedAnscombe(image[k], inf.camera);
    });
    if (opponent) {
      const std::vector<double> stabilised = work;
      toOpponent(stabilised.data(), n, work.data());
    }
  }

  std::size_t live = 0;
  for (std::size_t c = 0; c < channels; ++c) live += skip[c] ? 0 : 1;
  const bool poisson = noise == NoiseModel::Poisson;
  RunCounter counter{progress, 0.0, std::max(1.0, double(live) * plannedRuns(options, poisson))};
  if (progress) progress(0.0);
  bool first = true;
  for (std::size_t c = 0; c < channels; ++c) {
    if (skip[c]) continue;
    denoisePlane(work.data() + c * n, rows, cols, options, poisson,
                 options.partition && first ? &inf.partition : nullptr, counter, inf, c);
    first = false;
  }

  // Back to the data's units.
  std::vector<double> result;
  if (noise == NoiseModel::Gaussian)
    for (std::size_t c = 0; c < channels; ++c)
      if (!skip[c]) transformValues(work.data() + c * n, n, [s = scale[c]](double v) { return v * s; });
  if (opponent) {
    // A plane left as it is holds its opponent values: the image's own.
    resizeLarge(result, total);
    fromOpponent(work.data(), n, result.data());
  } else {
    result = std::move(work);
  }
  if (noise == NoiseModel::PoissonGaussian) inverseGeneralizedAnscombe(result.data(), total, inf.camera);
  transformValues(result, [outCls](double v) { return toClass(v, outCls); });
  inf.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return result;
}

ProgressFn progressLines(std::string name, std::function<void(const std::string&)> print) {
  const auto start = std::chrono::steady_clock::now();
  return [name = std::move(name), print = std::move(print), start](double done) {
    if (done <= 0) return;
    const double spent = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    char line[160];
    std::snprintf(line, sizeof line, "%s: %3.0f%% done, %.1f s spent, about %.1f s left\n", name.c_str(), 100 * done,
                  spent, spent * (1 - done) / done);
    print(line);
  };
}

std::vector<double> drawDenoisePartition(const double* image, std::size_t rows, std::size_t cols, std::size_t channels,
                                         const DenoiseInfo& info, int& scale) {
  const Partition& p = info.partition;
  if (p.rows == 0 || p.rows != info.paddedRows || p.cols != info.paddedCols || rows > p.rows || cols > p.cols)
    throw Error("No partition to draw: the denoising was not asked for one.");
  const std::vector<double> mean = channelMean(image, rows, cols, channels);
  const double* grey = mean.data();
  scale = defaultShowScale(rows, cols);
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
