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

}  // namespace

void probeBlock(int which, int m, double* b) {
  std::uint64_t state = 0x9E3779B97F4A7C15ull * static_cast<std::uint64_t>(which + 1);
  for (int p = 0; p < m; ++p) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    const double unit = static_cast<double>(state >> 11) * 0x1.0p-53;
    b[p] = which == 0 ? 2000.0 * unit - 1000.0 : std::floor(5.0 * unit) - 2.0;
  }
}

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

  lastv_.assign(static_cast<std::size_t>(k), 0);
  for (int i = 0; i < k; ++i) {
    const double* v = qr_.data() + static_cast<std::size_t>(i) * rows + i;
    singular_ = singular_ || v[0] == 0.0;
    if (tau_[static_cast<std::size_t>(i)] == 0.0) continue;
    int last = m - i;  // v[0] counts as 1
    while (last > 1 && v[last - 1] == 0.0) --last;
    lastv_[static_cast<std::size_t>(i)] = last;
  }

  mode_ = Mode::Lapack;
  if (!probe) return;
  std::vector<double> rhs(rows), literal(rows), viaLapack(rows), viaReplica(rows), b(rows), scratch(scratchSize());
  const std::size_t bytes = rows * sizeof(double);
  bool replicaMatches = true;
  for (int which = 0; which < kProbeBlocks; ++which) {
    probeBlock(which, m, rhs.data());
    solveWithDgels(design_, rhs, literal, m, k);
    probeBlock(which, m, b.data());
    solveLapack(b.data(), viaLapack.data(), scratch.data());
    if (std::memcmp(literal.data(), viaLapack.data(), bytes) != 0) {
      mode_ = Mode::Literal;
      return;
    }
    probeBlock(which, m, b.data());
    solveReplica(b.data(), viaReplica.data());
    replicaMatches = replicaMatches && std::memcmp(literal.data(), viaReplica.data(), bytes) == 0;
  }
  if (replicaMatches) mode_ = Mode::Replica;
}

void FactoredDesign::solve(double* b, double* fitted, double* scratch) const {
  if (mode_ == Mode::Replica)
    solveReplica(b, fitted);
  else
    solveLapack(b, fitted, scratch);
}

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

// dorm2r applies reflector i to rows i.. through dlarf: w = C^T v by dgemv
// 'T' (skipped when iladlc finds the rows zero), then C += v (-tau w) by dger
// (skipped when w is zero); dtrtrs stops at a zero pivot, else dtrsm solves
// from the last unknown up, skipping zero entries; dgemv 'N' sums the columns
// times the coefficients, skipping zero coefficients.
void FactoredDesign::solveReplica(double* c, double* fitted) const {
  const std::size_t rows = static_cast<std::size_t>(m_);
  for (int i = 0; i < k_; ++i) {
    const int last = lastv_[static_cast<std::size_t>(i)];
    double* ci = c + i;
    const double* v = qr_.data() + static_cast<std::size_t>(i) * rows + i;
    bool nonzero = false;
    for (int r = 0; r < last && !nonzero; ++r) nonzero = ci[r] != 0.0;
    if (!nonzero) continue;
    double temp = 0.0;
    temp = temp + ci[0] * 1.0;
    for (int r = 1; r < last; ++r) temp = temp + ci[r] * v[r];
    const double w = 0.0 + 1.0 * temp;
    if (w == 0.0) continue;
    const double t = -tau_[static_cast<std::size_t>(i)] * w;
    ci[0] = ci[0] + 1.0 * t;
    for (int r = 1; r < last; ++r) ci[r] = ci[r] + v[r] * t;
  }
  if (!singular_) {
    for (int j = k_ - 1; j >= 0; --j) {
      if (c[j] == 0.0) continue;
      const double* rj = qr_.data() + static_cast<std::size_t>(j) * rows;
      c[j] = c[j] / rj[j];
      for (int i = 0; i < j; ++i) c[i] = c[i] - c[j] * rj[i];
    }
  }
  for (std::size_t p = 0; p < rows; ++p) fitted[p] = 0.0;
  for (int j = 0; j < k_; ++j) {
    if (c[j] == 0.0) continue;
    const double temp = 1.0 * c[j];
    const double* a = design_.data() + static_cast<std::size_t>(j) * rows;
    for (std::size_t p = 0; p < rows; ++p) fitted[p] = fitted[p] + temp * a[p];
  }
}

}  // namespace dyadfit
