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
  };

  // Factors `design` (m x k, column-major). With `probe`, the LAPACK path is
  // checked against dgels on probe blocks first and left for dgels unless it
  // matches bit for bit.
  FactoredDesign(std::vector<double> design, int m, int k, bool probe);

  Mode mode() const { return mode_; }
  int rows() const { return m_; }
  // Doubles of scratch that solve() needs.
  std::size_t scratchSize() const { return static_cast<std::size_t>(m_) * (k_ + 2); }
  // Memory held, in doubles.
  std::size_t storedDoubles() const { return design_.size() + qr_.size() + tau_.size(); }

  // fitted (m values) := design * x, x the dgels solution for b; b (m
  // entries) is overwritten. Only for mode() != Literal and a plain b.
  void solve(double* b, double* fitted, double* scratch) const;

 private:
  void solveLapack(double* b, double* fitted, double* scratch) const;

  int m_, k_;
  Mode mode_ = Mode::Literal;
  std::vector<double> design_;  // as given, for the fitted values
  std::vector<double> qr_;      // dgeqrf's output: R above, reflectors below the diagonal
  std::vector<double> tau_;
};

}  // namespace dyadfit
