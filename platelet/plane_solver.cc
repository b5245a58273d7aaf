// SPDX-License-Identifier: BSD-3-Clause
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
  const std::vector<double> data(rhs.begin(), rhs.begin() + m);
  std::vector<double> work(static_cast<std::size_t>(2 * m));
  const char trans = 'N';
  const lapack_int rows = m, cols = k, nrhs = 1;
  const lapack_int ldb = std::max(rows, cols);
  const lapack_int lwork = 2 * rows;
  lapack_int info = 0;
  dgels_(&trans, &rows, &cols, &nrhs, solver.data(), &rows, rhs.data(), &ldb, work.data(), &lwork, &info, 1);
  if (info > 0 || rankDeficient(solver.data(), m, k)) {
    std::fill(std::copy(data.begin(), data.end(), rhs.begin()), rhs.end(), 0.0);
    minimumNormSolve(design.data(), rhs.data(), m, k);
  }
  fittedValues(design.data(), m, k, rhs.data(), fitted.data());
}

namespace {

lapack_int minimumNormWorkspace(int m, int k) {
  thread_local int lastM = -1, lastK = -1;
  thread_local lapack_int lwork = 0;
  if (m != lastM || k != lastK) {
    const lapack_int rows = m, cols = k, nrhs = 1, ldb = std::max(rows, cols), query = -1;
    const double rcond = kMinimumNormRcond;
    double optimal = 0.0, unused[1] = {0.0};
    lapack_int pivot[1] = {0}, rank = 0, info = 0;
    dgelsy_(&rows, &cols, &nrhs, unused, &rows, unused, &ldb, pivot, &rcond, &rank, &optimal, &query, &info);
    lwork = static_cast<lapack_int>(optimal);
    lastM = m;
    lastK = k;
  }
  return lwork;
}

}  // namespace

void minimumNormSolve(const double* design, double* rhs, int m, int k) {
  const lapack_int lwork = minimumNormWorkspace(m, k);
  thread_local std::vector<double> a, work;
  thread_local std::vector<lapack_int> pivot;
  a.assign(design, design + static_cast<std::size_t>(m) * static_cast<std::size_t>(k));
  work.resize(static_cast<std::size_t>(lwork));
  pivot.assign(static_cast<std::size_t>(k), 0);  // every column free
  const lapack_int rows = m, cols = k, nrhs = 1, ldb = std::max(rows, cols);
  const double rcond = kMinimumNormRcond;
  lapack_int rank = 0, info = 0;
  dgelsy_(&rows, &cols, &nrhs, a.data(), &rows, rhs, &ldb, pivot.data(), &rcond, &rank, work.data(), &lwork, &info);
}

void fittedValues(const double* design, int m, int k, const double* x, double* fitted) {
  const char trans = 'N';
  const lapack_int rows = m, cols = k, inc = 1;
  const double alpha = 1.0, beta = 0.0;
  dgemv_(&trans, &rows, &cols, &alpha, design, &rows, x, &inc, &beta, fitted, &inc, 1);
}

bool rankDeficient(const double* factored, int m, int k) {
  const std::size_t rows = static_cast<std::size_t>(m);
  double largest = 0.0;
  for (int i = 0; i < std::min(m, k); ++i) largest = std::max(largest, std::fabs(factored[i * rows + i]));
  for (int i = 0; i < std::min(m, k); ++i)
    if (!(std::fabs(factored[i * rows + i]) > kMinimumNormRcond * largest)) return true;
  return false;
}

static std::vector<int> reflectorLengths(const double* factors, const double* tau, int m, int k) {
  std::vector<int> lastv(static_cast<std::size_t>(k), 0);
  for (int i = 0; i < k; ++i) {
    const double* v = factors + static_cast<std::size_t>(i) * static_cast<std::size_t>(m) + i;
    if (tau[i] == 0.0) continue;
    int last = m - i;  // v[0] counts as 1
    while (last > 1 && v[last - 1] == 0.0) --last;
    lastv[static_cast<std::size_t>(i)] = last;
  }
  return lastv;
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

  const bool singular = rankDeficient(qr_.data(), m, k);
  lastv_ = reflectorLengths(qr_.data(), tau_.data(), m, k);

  if (!singular) {
    mode_ = Mode::Lapack;
  } else {
    // dgelsy's factorization as dgelsy makes it, its rank from dgelsy itself.
    const lapack_int lwork = minimumNormWorkspace(m, k), lworkQp = lwork - k, lworkRz = lwork - 2 * k;
    const lapack_int one = 1;
    const double rcond = kMinimumNormRcond;
    std::vector<double> a(design_), rhs(rows, 0.0), all(static_cast<std::size_t>(lwork));
    std::vector<lapack_int> pivot(static_cast<std::size_t>(k), 0);
    lapack_int rank = 0;
    dgelsy_(&rowsL, &colsL, &one, a.data(), &rowsL, rhs.data(), &rowsL, pivot.data(), &rcond, &rank, all.data(), &lwork,
            &info);
    if (info != 0 || rank < 1 || k > kMaxUnknowns) return;
    cod_ = design_;
    codTau_.assign(static_cast<std::size_t>(2 * k), 0.0);
    std::fill(pivot.begin(), pivot.end(), 0);
    dgeqp3_(&rowsL, &colsL, cod_.data(), &rowsL, pivot.data(), codTau_.data(), all.data() + k, &lworkQp, &info);
    if (info == 0 && rank < k)
      dtzrzf_(&rank, &colsL, cod_.data(), &rowsL, codTau_.data() + k, all.data() + 2 * k, &lworkRz, &info);
    if (info != 0) return;
    rank_ = static_cast<int>(rank);
    pivot_.assign(pivot.begin(), pivot.end());
    mode_ = Mode::MinimumNorm;
    codLastv_ = reflectorLengths(cod_.data(), codTau_.data(), m, k);
    // The replica of dgelsy's steps serves when it gives their bits.
    std::vector<double> viaLapack(rows), viaReplica(rows), b(rows), scratch(scratchSize());
    minimumNormReplica_ = true;
    for (int which = 0; which < kProbeBlocks && minimumNormReplica_; ++which) {
      probeBlock(which, m, b.data());
      solveMinimumNorm(b.data(), viaLapack.data(), scratch.data());
      probeBlock(which, m, b.data());
      solveMinimumNormReplica(b.data(), viaReplica.data());
      minimumNormReplica_ = std::memcmp(viaLapack.data(), viaReplica.data(), rows * sizeof(double)) == 0;
    }
  }
  if (!probe) return;
  std::vector<double> rhs(rows), literal(rows), viaLapack(rows), viaReplica(rows), b(rows), scratch(scratchSize());
  const std::size_t bytes = rows * sizeof(double);
  bool replicaMatches = true;
  for (int which = 0; which < kProbeBlocks; ++which) {
    probeBlock(which, m, rhs.data());
    solveWithDgels(design_, rhs, literal, m, k);
    probeBlock(which, m, b.data());
    solve(b.data(), viaLapack.data(), scratch.data());
    if (std::memcmp(literal.data(), viaLapack.data(), bytes) != 0) {
      mode_ = Mode::Literal;
      return;
    }
    if (singular) continue;
    probeBlock(which, m, b.data());
    solveReplica(b.data(), viaReplica.data());
    replicaMatches = replicaMatches && std::memcmp(literal.data(), viaReplica.data(), bytes) == 0;
  }
  if (replicaMatches && !singular) mode_ = Mode::Replica;
}

void FactoredDesign::solve(double* b, double* fitted, double* scratch) const {
  if (mode_ == Mode::Replica) {
    solveReplica(b, fitted);
  } else if (mode_ == Mode::MinimumNorm) {
    if (minimumNormReplica_)
      solveMinimumNormReplica(b, fitted);
    else
      solveMinimumNorm(b, fitted, scratch);
  } else {
    solveLapack(b, fitted, scratch);
  }
}

void FactoredDesign::solveLapack(double* b, double* fitted, double* scratch) const {
  // dormqr writes 1 over each diagonal entry while it applies that
  // reflector: every call works on its own copy of the factorization.
  double* qr = scratch;
  double* work = scratch + qr_.size();
  std::memcpy(qr, qr_.data(), qr_.size() * sizeof(double));
  const lapack_int m = m_, k = k_, nrhs = 1, lwork = 2 * m_ - k_;
  lapack_int info = 0;
  dormqr_("L", "T", &m, &nrhs, &k, qr, &m, tau_.data(), b, &m, work, &lwork, &info, 1, 1);
  dtrtrs_("U", "N", "N", &k, &nrhs, qr, &m, b, &m, &info, 1, 1, 1);
  fittedValues(design_.data(), m_, k_, b, fitted);
}

void FactoredDesign::solveMinimumNorm(double* b, double* fitted, double* scratch) const {
  // dorm2r writes 1 over each diagonal entry while it applies that reflector.
  double* cod = scratch;
  double* work = scratch + cod_.size();
  std::memcpy(cod, cod_.data(), cod_.size() * sizeof(double));
  const lapack_int m = m_, k = k_, nrhs = 1, lwork = 2 * m_, rank = rank_, free = k_ - rank_;
  const double one = 1.0;
  lapack_int info = 0;
  dormqr_("L", "T", &m, &nrhs, &k, cod, &m, codTau_.data(), b, &m, work, &lwork, &info, 1, 1);
  dtrsm_("L", "U", "N", "N", &rank, &nrhs, &one, cod, &m, b, &m, 1, 1, 1, 1);
  for (int i = rank_; i < k_; ++i) b[i] = 0.0;
  if (free > 0)
    dormrz_("L", "T", &k, &nrhs, &rank, &free, cod, &m, codTau_.data() + k_, b, &m, work, &lwork, &info, 1, 1);
  double* x = work;
  for (int i = 0; i < k_; ++i) x[pivot_[static_cast<std::size_t>(i)] - 1] = b[i];
  fittedValues(design_.data(), m_, k_, x, fitted);
}

namespace {

// dorm2r applies reflector i to rows i.. through dlarf: w = C^T v by dgemv
// 'T' (skipped when iladlc finds the rows zero), then C += v (-tau w) by dger
// (skipped when w is zero).
void applyReflectors(const double* factors, const double* tau, const int* lastv, int m, int k, double* c) {
  const std::size_t rows = static_cast<std::size_t>(m);
  for (int i = 0; i < k; ++i) {
    const int last = lastv[i];
    double* ci = c + i;
    const double* v = factors + static_cast<std::size_t>(i) * rows + i;
    bool nonzero = false;
    for (int r = 0; r < last && !nonzero; ++r) nonzero = ci[r] != 0.0;
    if (!nonzero) continue;
    double temp = 0.0;
    temp = temp + ci[0] * 1.0;
    for (int r = 1; r < last; ++r) temp = temp + ci[r] * v[r];
    const double w = 0.0 + 1.0 * temp;
    if (w == 0.0) continue;
    const double t = -tau[i] * w;
    ci[0] = ci[0] + 1.0 * t;
    for (int r = 1; r < last; ++r) ci[r] = ci[r] + v[r] * t;
  }
}

// dtrsm on the leading n x n upper triangle: from the last unknown up,
// skipping zero entries.
void solveUpper(const double* factors, int m, int n, double* c) {
  const std::size_t rows = static_cast<std::size_t>(m);
  for (int j = n - 1; j >= 0; --j) {
    if (c[j] == 0.0) continue;
    const double* rj = factors + static_cast<std::size_t>(j) * rows;
    c[j] = c[j] / rj[j];
    for (int i = 0; i < j; ++i) c[i] = c[i] - c[j] * rj[i];
  }
}

// dgemv 'N': the columns times the coefficients, skipping zero coefficients.
void combineColumns(const double* design, std::size_t rows, int k, const double* x, double* fitted) {
  for (std::size_t p = 0; p < rows; ++p) fitted[p] = 0.0;
  for (int j = 0; j < k; ++j) {
    if (x[j] == 0.0) continue;
    const double temp = 1.0 * x[j];
    const double* a = design + static_cast<std::size_t>(j) * rows;
    for (std::size_t p = 0; p < rows; ++p) fitted[p] = fitted[p] + temp * a[p];
  }
}

}  // namespace

void FactoredDesign::solveReplica(double* c, double* fitted) const {
  applyReflectors(qr_.data(), tau_.data(), lastv_.data(), m_, k_, c);
  solveUpper(qr_.data(), m_, k_, c);
  combineColumns(design_.data(), static_cast<std::size_t>(m_), k_, c, fitted);
}

// dgelsy's steps as solveMinimumNorm, with dormr3's dlarz in the middle:
// w = c_i + (the trailing rows)^T v by dcopy and dgemv 'T', c_i -= tau w by
// daxpy, the trailing rows += v (-tau w) by dger (skipped when w is zero).
void FactoredDesign::solveMinimumNormReplica(double* c, double* fitted) const {
  const std::size_t rows = static_cast<std::size_t>(m_);
  const int rank = rank_;
  applyReflectors(cod_.data(), codTau_.data(), codLastv_.data(), m_, k_, c);
  solveUpper(cod_.data(), m_, rank, c);
  for (int i = rank; i < k_; ++i) c[i] = 0.0;
  const int free = k_ - rank;
  for (int i = 0; i < rank && free > 0; ++i) {
    const double tau = codTau_[static_cast<std::size_t>(k_ + i)];
    if (tau == 0.0) continue;
    double temp = 0.0;
    for (int r = 0; r < free; ++r) temp = temp + c[rank + r] * cod_[static_cast<std::size_t>(rank + r) * rows + i];
    const double w = c[i] + 1.0 * temp;
    c[i] = c[i] + -tau * w;
    if (w == 0.0) continue;
    const double t = -tau * w;
    for (int r = 0; r < free; ++r) c[rank + r] = c[rank + r] + cod_[static_cast<std::size_t>(rank + r) * rows + i] * t;
  }
  double x[kMaxUnknowns];
  for (int i = 0; i < k_; ++i) x[pivot_[static_cast<std::size_t>(i)] - 1] = c[i];
  combineColumns(design_.data(), rows, k_, x, fitted);
}

}  // namespace dyadfit
