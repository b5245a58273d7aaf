// Least-squares solves of one design matrix for many right-hand sides, with
// the result bits of a fresh dgels call on each.
//
// dgels on an m x k system (m >= k) runs dgeqrf on the design, dormqr('L',
// 'T') and dtrtrs('U', 'N', 'N') on the right-hand side, after scaling the
// design or the right-hand side only when its largest magnitude lies outside
// [smlnum, bignum]. The plane designs never need scaling and do not depend on
// the data, so one factorization serves every block; right-hand sides that
// would be scaled, or that hold NaN or Inf, go to dgels itself.
#pragma once

#include <cstddef>
#include <vector>

namespace dyadfit {

// The literal fit: dgels on a copy of `design` (m x k, column-major) for
// `rhs` (max(m, k) entries, the data first), then dgemv with `design`, whose
// m values are written to `fitted`.
void solveWithDgels(const std::vector<double>& design, std::vector<double>& rhs, std::vector<double>& fitted, int m,
                    int k);

// True when dgels would solve for this right-hand side (m entries) without
// scaling it, and every entry is finite.
bool plainRightHandSide(const double* b, int m);

class FactoredDesign {
 public:
  enum class Mode : unsigned char {
    Literal,  // dgels on every block: the design itself would be scaled, or m < k
    Lapack,   // the cached factorization through dormqr, dtrtrs and dgemv
    Replica,  // the same arithmetic in C++ (solveReplica), found bit-equal to dgels
  };

  // Factors `design` (m x k, column-major). With `probe`, the LAPACK path and
  // the replica are run on probe blocks first: the replica is used if it
  // gives dgels's bits on them, else the LAPACK path if that does, else dgels.
  // Without, the LAPACK path is used, unchecked.
  FactoredDesign(std::vector<double> design, int m, int k, bool probe);

  Mode mode() const { return mode_; }
  int rows() const { return m_; }
  // Doubles of scratch that solve() needs in the LAPACK mode, and solveLapack.
  std::size_t scratchSize() const { return static_cast<std::size_t>(m_) * (k_ + 2); }
  // Memory held, in doubles.
  std::size_t storedDoubles() const { return design_.size() + qr_.size() + tau_.size(); }

  // fitted (m values) := design * x, x the dgels solution for b; b (m
  // entries) is overwritten. Only for mode() != Literal and a plain b.
  void solve(double* b, double* fitted, double* scratch) const;
  void solveLapack(double* b, double* fitted, double* scratch) const;
  // The operations of the reference LAPACK and BLAS routines behind dormqr,
  // dtrtrs and dgemv, in their order, without the calls.
  void solveReplica(double* b, double* fitted) const;

  // The factorization, for kernels that lay it out their own way.
  const std::vector<double>& design() const { return design_; }
  const std::vector<double>& factors() const { return qr_; }
  const std::vector<double>& tau() const { return tau_; }
  // Rows reflector i touches (dlarf's lastv: 0 when tau is 0, else up to the
  // last nonzero of the reflector), and whether R has a zero pivot.
  int reflectorRows(int i) const { return lastv_[static_cast<std::size_t>(i)]; }
  bool singular() const { return singular_; }

 private:
  int m_, k_;
  Mode mode_ = Mode::Literal;
  std::vector<double> design_;  // as given, for the fitted values
  std::vector<double> qr_;      // dgeqrf's output: R above, reflectors below the diagonal
  std::vector<double> tau_;
  std::vector<int> lastv_;
  bool singular_ = false;
};

// Probe blocks for the checks: fractional values of mixed sign (which = 0),
// then small integers with many zeros and exact cancellations (which = 1).
inline constexpr int kProbeBlocks = 2;
void probeBlock(int which, int m, double* b);

}  // namespace dyadfit
