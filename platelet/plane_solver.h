// SPDX-License-Identifier: BSD-3-Clause
// Least-squares solves of one design matrix for many right-hand sides, with
// the result bits of a fresh dgels call on each.
//
// dgels on an m x k system (m >= k) runs dgeqrf on the design, dormqr('L',
// 'T') and dtrtrs('U', 'N', 'N') on the right-hand side, after scaling the
// design or the right-hand side only when its largest magnitude lies outside
// [smlnum, bignum]. The plane designs never need scaling and do not depend on
// the data, so one factorization serves every block; right-hand sides that
// would be scaled, or that hold NaN or Inf, go to dgels itself.
//
// A rank-deficient design (one side of a split on a single line or pixel, or
// empty; a block one pixel wide) leaves a zero on R's diagonal, where dgels
// stops with INFO > 0 and Q^T b in place of a solution, or a rounding-level
// entry (a side on the last row: u * (1 - w) is 7 (1 - w)), where it divides
// by it. Either way the system is solved again from the original design and
// data by dgelsy for its minimum-norm least-squares solution, as dgels's LQ
// path gives for too few pixels. The rank and dgelsy's factorization depend on the design alone, so
// a factored design keeps them and applies only dgelsy's steps on the data.
#pragma once

#include <cstddef>
#include <vector>

namespace dyadfit {

// The literal fit: dgels on a copy of `design` (m x k, column-major) for
// `rhs` (max(m, k) entries, the data first), then, if dgels reports INFO > 0
// or its factorization is rankDeficient, minimumNormSolve on the original
// data; then dgemv with `design`, whose m values are written to `fitted`.
void solveWithDgels(const std::vector<double>& design, std::vector<double>& rhs, std::vector<double>& fitted, int m,
                    int k);

// dgelsy's rcond: the rank is the largest leading block of the pivoted R
// whose estimated condition number stays within 1 / rcond. The directions a
// rank-deficient plane design lacks show as rounding-level pivots (near 1e-16
// of the largest); a genuine plane over grid pixels is conditioned far better
// than 1e10. The same bound flags dgels's factorizations.
inline constexpr double kMinimumNormRcond = 1e-10;

// True when the triangle of dgels's factorization (R of dgeqrf for m >= k, L
// of dgelqf otherwise: the diagonal of the m x k array) has an entry of at
// most kMinimumNormRcond times its largest in magnitude, zero included.
bool rankDeficient(const double* factored, int m, int k);

// dgelsy on a copy of `design` (m x k), with every column free and rcond
// kMinimumNormRcond: rhs (max(m, k) entries, the data first) becomes the
// minimum-norm least-squares solution (k entries). The workspace follows
// dgelsy's own query for m x k.
void minimumNormSolve(const double* design, double* rhs, int m, int k);

// fitted (m values) := design * x by dgemv, as every fit forms it.
void fittedValues(const double* design, int m, int k, const double* x, double* fitted);

// True when dgels would solve for this right-hand side (m entries) without
// scaling it, and every entry is finite.
bool plainRightHandSide(const double* b, int m);

class FactoredDesign {
 public:
  enum class Mode : unsigned char {
    Literal,      // dgels on every block: the design itself would be scaled, or m < k
    Lapack,       // the cached factorization through dormqr, dtrtrs and dgemv
    Replica,      // the same arithmetic in C++ (solveReplica), found bit-equal to dgels
    MinimumNorm,  // rankDeficient: dgelsy's steps on the data (solveMinimumNorm) and dgemv
  };

  // Factors `design` (m x k, column-major). With `probe`, the LAPACK path and
  // the replica are run on probe blocks first: the replica is used if it
  // gives dgels's bits on them, else the LAPACK path if that does, else dgels.
  // Without, the LAPACK path is used, unchecked. A rank-deficient design
  // takes the minimum-norm mode (with `probe`, once it matches the literal
  // fit on the probe blocks).
  FactoredDesign(std::vector<double> design, int m, int k, bool probe);

  Mode mode() const { return mode_; }
  int rows() const { return m_; }
  // Doubles of scratch that solve() needs in the LAPACK mode, and solveLapack.
  std::size_t scratchSize() const { return static_cast<std::size_t>(m_) * (k_ + 2); }
  // Memory held, in doubles.
  std::size_t storedDoubles() const {
    return design_.size() + qr_.size() + tau_.size() + cod_.size() + codTau_.size() + pivot_.size();
  }

  // fitted (m values) := design * x, x the literal fit's solution for b; b
  // (m entries) is overwritten. Only for mode() != Literal and a plain b.
  void solve(double* b, double* fitted, double* scratch) const;
  // The dgels path alone, for a design of full rank.
  void solveLapack(double* b, double* fitted, double* scratch) const;
  // The operations of the reference LAPACK and BLAS routines behind dormqr,
  // dtrtrs and dgemv, in their order, without the calls; full rank only.
  void solveReplica(double* b, double* fitted) const;
  // What dgelsy does with the data once it has factored the design: dormqr,
  // dtrsm, dormrz and the column permutation; then dgemv. The replica runs
  // their reference operations in C++, and serves when it gives their bits.
  void solveMinimumNorm(double* b, double* fitted, double* scratch) const;
  void solveMinimumNormReplica(double* b, double* fitted) const;

  // The factorization, for kernels that lay it out their own way.
  const std::vector<double>& design() const { return design_; }
  const std::vector<double>& factors() const { return qr_; }
  const std::vector<double>& tau() const { return tau_; }
  // Rows reflector i touches (dlarf's lastv: 0 when tau is 0, else up to the
  // last nonzero of the reflector).
  int reflectorRows(int i) const { return lastv_[static_cast<std::size_t>(i)]; }

 private:
  int m_, k_;
  Mode mode_ = Mode::Literal;
  std::vector<double> design_;  // as given, for the fitted values
  std::vector<double> qr_;      // dgeqrf's output: R above, reflectors below the diagonal
  std::vector<double> tau_;
  std::vector<int> lastv_;
  // MinimumNorm: dgelsy's complete orthogonal factorization (dgeqp3, then
  // dtzrzf on the leading rank_ rows), its two sets of tau, and the pivots.
  std::vector<double> cod_, codTau_;
  std::vector<int> pivot_;  // 1-based, as dgeqp3 gives them
  std::vector<int> codLastv_;
  int rank_ = 0;
  bool minimumNormReplica_ = false;
  static constexpr int kMaxUnknowns = 16;  // for the minimum-norm mode
};

// Probe blocks for the checks: fractional values of mixed sign (which = 0),
// then small integers with many zeros and exact cancellations (which = 1).
inline constexpr int kProbeBlocks = 2;
void probeBlock(int which, int m, double* b);

}  // namespace dyadfit
