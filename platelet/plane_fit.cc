#include "platelet/plane_fit.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

// LAPACK/BLAS integers: 32-bit for the system's and Octave's libraries,
// 64-bit for the libraries MATLAB ships (built with DYADFIT_LAPACK_ILP64).
#ifdef DYADFIT_LAPACK_ILP64
using lapack_int = std::int64_t;
#else
using lapack_int = int;
#endif

extern "C" {
// Fortran LAPACK/BLAS, arguments by address, with the hidden length of the
// character argument that gfortran-built libraries take.
void dgels_(const char* trans, const lapack_int* m, const lapack_int* n, const lapack_int* nrhs, double* a,
            const lapack_int* lda, double* b, const lapack_int* ldb, double* work, const lapack_int* lwork,
            lapack_int* info, std::size_t transLength);
void dgemv_(const char* trans, const lapack_int* m, const lapack_int* n, const double* alpha, const double* a,
            const lapack_int* lda, const double* x, const lapack_int* incx, const double* beta, double* y,
            const lapack_int* incy, std::size_t transLength);
}

namespace dyadfit {
namespace {

// Solves the least-squares system whose design matrix `design` (m x k,
// column-major, leading dimension m) has been filled, for the right-hand side
// `rhs` (max(m, k) entries, pixel values first), and writes the fitted values
// to `fitted` (m entries).
void solveAndEvaluate(const std::vector<double>& design, std::vector<double>& rhs, std::vector<double>& fitted,
                      int pixels, int unknowns) {
  std::vector<double> solver(design);
  std::vector<double> work(static_cast<std::size_t>(2 * pixels));
  const char trans = 'N';
  const lapack_int m = pixels, k = unknowns, nrhs = 1;
  const lapack_int ldb = std::max(m, k);
  const lapack_int lwork = 2 * m;
  lapack_int info = 0;
  dgels_(&trans, &m, &k, &nrhs, solver.data(), &m, rhs.data(), &ldb, work.data(), &lwork, &info, 1);
  const double alpha = 1.0, beta = 0.0;
  const lapack_int inc = 1;
  dgemv_(&trans, &m, &k, &alpha, design.data(), &m, rhs.data(), &inc, &beta, fitted.data(), &inc, 1);
}

}  // namespace

void fitPlane(const Grid& source, Grid& target, int i0, int j0, int R, int C) {
  const int m = R * C;
  const int k = 3;
  if (m <= 0) return;
  const std::size_t rows = static_cast<std::size_t>(m);
  std::vector<double> design(rows * k);
  std::vector<double> rhs(static_cast<std::size_t>(std::max(m, k)));
  std::vector<double> fitted(rows);
  std::size_t p = 0;
  for (int u = 0; u < R; ++u)
    for (int v = 0; v < C; ++v, ++p) {
      design[p] = 1.0;
      design[p + rows] = u;
      design[p + 2 * rows] = v;
      rhs[p] = source[i0 + u][j0 + v];
    }
  solveAndEvaluate(design, rhs, fitted, m, k);
  p = 0;
  for (int u = 0; u < R; ++u)
    for (int v = 0; v < C; ++v, ++p) target[i0 + u][j0 + v] = fitted[p];
}

void fitBlockPlanes(int blockSize, const Grid& source, Grid& target, int M, int N) {
  for (int i0 = 0; i0 < M; i0 += blockSize)
    for (int j0 = 0; j0 < N; j0 += blockSize) fitPlane(source, target, i0, j0, blockSize, blockSize);
}

void fitWedgePlanes(const Grid& source, Grid& target, const Grid& mask, int i0, int j0, int R, int C) {
  const int m = R * C;
  const int k = 6;
  if (m <= 0) return;
  const std::size_t rows = static_cast<std::size_t>(m);
  std::vector<double> design(rows * k);
  std::vector<double> rhs(static_cast<std::size_t>(std::max(m, k)));
  std::vector<double> fitted(rows);
  std::size_t p = 0;
  for (int u = 0; u < R; ++u)
    for (int v = 0; v < C; ++v, ++p) {
      const double w = mask[u][v];
      const double rest = 1.0 - w;
      design[p] = w;
      design[p + rows] = u * w;
      design[p + 2 * rows] = v * w;
      design[p + 3 * rows] = 1 * rest;
      design[p + 4 * rows] = u * rest;
      design[p + 5 * rows] = v * rest;
      rhs[p] = source[i0 + u][j0 + v];
    }
  solveAndEvaluate(design, rhs, fitted, m, k);
  p = 0;
  for (int u = 0; u < R; ++u)
    for (int v = 0; v < C; ++v, ++p) target[i0 + u][j0 + v] = fitted[p];
}

}  // namespace dyadfit
