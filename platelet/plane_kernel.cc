#include "platelet/plane_kernel.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "dyadic/parallel.h"
#include "dyadic/region_cost.h"
#include "platelet/plane_fit.h"
#include "platelet/plane_solver.h"

namespace dyadfit {
namespace {

constexpr int kUnknowns = 6;
// Doubles of factorizations one kernel may hold (128 MiB); masks past them
// take the literal fit.
constexpr std::size_t kKernelDoubles = std::size_t{1} << 24;
// Above this many candidate pixels (K*K*n*n) the split search builds a mask
// set per range of candidates for every square: factoring such a set, used
// once, would cost more than the literal fits it replaces.
constexpr std::int64_t kWholeSetPixels = std::int64_t{1} << 25;

class PlateletKernel final : public SplitKernel {
 public:
  PlateletKernel(const MaskSet& masks, bool poisson, SplitFitFn splitFit)
      : masks_(masks), poisson_(poisson), splitFit_(splitFit) {
    const std::size_t m = masks.pixels();
    const std::int64_t K = masks.resolution;
    if (m < static_cast<std::size_t>(kUnknowns) || K * K * static_cast<std::int64_t>(m) > kWholeSetPixels) return;
    std::size_t stored = 0;
    designs_.reserve(masks.count());
    for (std::size_t d = 0; d < masks.count(); ++d) {
      if (d % 256 == 0) interruptionPoint();
      if (stored + 2 * kUnknowns * m + kUnknowns > kKernelDoubles) break;
      std::vector<double> design(m * kUnknowns);
      wedgePlanesDesign(masks.mask(d), static_cast<std::size_t>(masks.n), masks.n, masks.n, design.data());
      designs_.emplace_back(std::move(design), static_cast<int>(m), kUnknowns, true);
      stored += designs_.back().storedDoubles();
    }
  }

  void costs(const Grid& block, std::size_t first, std::size_t count, double* cost,
             std::vector<double>& scratch) const override {
    const int n = masks_.n;
    const std::size_t m = masks_.pixels();
    // data, right-hand side, fitted values, solver scratch
    const std::size_t need = 3 * m + m * (kUnknowns + 2);
    if (scratch.size() < need) scratch.resize(need);
    double* x = scratch.data();
    double* b = x + m;
    double* fitted = b + m;
    double* work = fitted + m;
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) x[static_cast<std::size_t>(i) * n + j] = block[i][j];
    const bool plain = !designs_.empty() && plainRightHandSide(x, static_cast<int>(m));

    Grid mask, fit;  // sized on the first literal fit only
    for (std::size_t c = 0; c < count; ++c) {
      const std::size_t d = first + c;
      if (!plain || d >= designs_.size() || designs_[d].mode() == FactoredDesign::Mode::Literal) {
        if (mask.outer() != n) mask = Grid(n, n), fit = Grid(n, n);
        masks_.copyTo(d, mask);
        splitFit_(block, fit, mask, 0, 0, n, n);
        cost[c] = regionCost(block, fit, n, n, poisson_ ? kPoisson : kGaussian);
        continue;
      }
      std::copy(x, x + m, b);
      designs_[d].solve(b, fitted, work);
      cost[c] = poisson_ ? poissonCost(x, fitted, m) : gaussianCost(x, fitted, m);
    }
  }

 private:
  // regionCost over the fitted values, in pixel order.
  static double gaussianCost(const double* x, const double* model, std::size_t m) {
    double sum = 0.0;
    for (std::size_t p = 0; p < m; ++p) {
      const double d = model[p] - x[p];
      sum += d * d;
    }
    return sum;
  }
  static double poissonCost(const double* x, const double* model, std::size_t m) {
    double sum = 0.0;
    for (std::size_t p = 0; p < m; ++p) {
      const double lambda = model[p];
      if (lambda == 0.0 && x[p] == 0.0) continue;
      sum = (sum + lambda) - x[p] * std::log(lambda);
    }
    return sum;
  }

  const MaskSet& masks_;
  bool poisson_;
  SplitFitFn splitFit_;
  std::vector<FactoredDesign> designs_;  // mask d's, for the first masks within the budget
};

}  // namespace

std::unique_ptr<SplitKernel> makePlateletKernel(const MaskSet& masks, bool poisson, SplitFitFn splitFit) {
  return std::make_unique<PlateletKernel>(masks, poisson, splitFit);
}

}  // namespace dyadfit
