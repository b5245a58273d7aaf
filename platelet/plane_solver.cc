#include "platelet/plane_solver.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "platelet/lapack.h"

namespace dyadfit {
namespace {

// dgels's bounds: a right-hand side whose largest magnitude is positive and
// below `small`, or above `big`, is scaled before the solve.
struct ScalingBounds {
  double small, big;
};

const ScalingBounds& scalingBounds() {
  static const ScalingBounds bounds = [] {
    double small = dlamch_("S", 1) / dlamch_("P", 1);
    double big = 1.0 / small;
    // dlabad, for exponent ranges wider than IEEE double's.
    if (std::log10(big) > 2000.0) {
      small = std::sqrt(small);
      big = std::sqrt(big);
    }
    return ScalingBounds{small, big};
  }();
  return bounds;
}

// dlange('M') for finite entries; NaN when any entry is NaN or infinite.
double largestMagnitude(const double* a, std::size_t count) {
  double norm = 0.0;
  for (std::size_t p = 0; p < count; ++p) {
    const double v = std::fabs(a[p]);
    if (!(v <= DBL_MAX)) return NAN;
    if (v > norm) norm = v;
  }
  return norm;
}

// Probe blocks of m values: fractional values of mixed sign, then small
// integers with many zeros and exact cancellations.
void probeBlock(int which, int m, double* b) {
  std::uint64_t state = 0x9E3779B97F4A7C15ull * static_cast<std::uint64_t>(which + 1);
  for (int p = 0; p < m; ++p) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    const double unit = static_cast<double>(state >> 11) * 0x1.0p-53;
    b[p] = which == 0 ? 2000.0 * unit - 1000.0 : std::floor(5.0 * unit) - 2.0;
  }
}

}  // namespace

void solveWithDgels(const std::vector<double>& design, std::vector<double>& rhs, std::vector<double>& fitted, int m,
                    int k) {
  std::vector<double> solver(design);
  std::vector<double> work(static_cast<std::size_t>(2 * m));
  const char trans = 'N';
  const lapack_int rows = m, cols = k, nrhs = 1;
  const lapack_int ldb = std::max(rows, cols);
  const lapack_int lwork = 2 * rows;
  lapack_int info = 0;
  dgels_(&trans, &rows, &cols, &nrhs, solver.data(), &rows, rhs.data(), &ldb, work.data(), &lwork, &info, 1);
  const double alpha = 1.0, beta = 0.0;
  const lapack_int inc = 1;
  dgemv_(&trans, &rows, &cols, &alpha, design.data(), &rows, rhs.data(), &inc, &beta, fitted.data(), &inc, 1);
}

bool plainRightHandSide(const double* b, int m) {
  const double norm = largestMagnitude(b, static_cast<std::size_t>(m));
  if (std::isnan(norm)) return false;
  const ScalingBounds& s = scalingBounds();
  return norm == 0.0 || (norm >= s.small && norm <= s.big);
}

FactoredDesign::FactoredDesign(std::vector<double> design, int m, int k, bool probe)
    : m_(m), k_(k), design_(std::move(design)) {
  if (m < k || k < 1) return;
  const std::size_t rows = static_cast<std::size_t>(m);
  // The design must reach dgeqrf unscaled, as in dgels.
  const double norm = largestMagnitude(design_.data(), design_.size());
  const ScalingBounds& s = scalingBounds();
  if (!(norm >= s.small && norm <= s.big)) return;

  qr_ = design_;
  tau_.assign(static_cast<std::size_t>(k), 0.0);
  // dgels hands dgeqrf the workspace after the k entries of tau: 2m - k.
  const lapack_int rowsL = m, colsL = k, lwork = 2 * m - k;
  std::vector<double> work(static_cast<std::size_t>(lwork));
  lapack_int info = 0;
  dgeqrf_(&rowsL, &colsL, qr_.data(), &rowsL, tau_.data(), work.data(), &lwork, &info);
  if (info != 0) return;

  mode_ = Mode::Lapack;
  if (!probe) return;
  std::vector<double> rhs(rows), literal(rows), viaLapack(rows), b(rows), scratch(scratchSize());
  for (int which = 0; which < 2; ++which) {
    probeBlock(which, m, rhs.data());
    solveWithDgels(design_, rhs, literal, m, k);
    const std::size_t bytes = rows * sizeof(double);
    probeBlock(which, m, b.data());
    solveLapack(b.data(), viaLapack.data(), scratch.data());
    if (std::memcmp(literal.data(), viaLapack.data(), bytes) != 0) {
      mode_ = Mode::Literal;
      return;
    }
  }
}

void FactoredDesign::solve(double* b, double* fitted, double* scratch) const { solveLapack(b, fitted, scratch); }

void FactoredDesign::solveLapack(double* b, double* fitted, double* scratch) const {
  // dormqr writes 1 over each diagonal entry while it applies that
  // reflector: every call works on its own copy of the factorization.
  double* qr = scratch;
  double* work = scratch + qr_.size();
  std::memcpy(qr, qr_.data(), qr_.size() * sizeof(double));
  const lapack_int m = m_, k = k_, nrhs = 1, lwork = 2 * m_ - k_, inc = 1;
  lapack_int info = 0;
  dormqr_("L", "T", &m, &nrhs, &k, qr, &m, tau_.data(), b, &m, work, &lwork, &info, 1, 1);
  dtrtrs_("U", "N", "N", &k, &nrhs, qr, &m, b, &m, &info, 1, 1, 1);
  // info > 0 (a zero pivot): dgels returns with Q^T b in b, and so do we.
  const double alpha = 1.0, beta = 0.0;
  dgemv_("N", &m, &k, &alpha, design_.data(), &m, b, &inc, &beta, fitted, &inc, 1);
}

}  // namespace dyadfit
