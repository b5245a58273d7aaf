// SPDX-License-Identifier: BSD-3-Clause
// The LAPACK and BLAS routines the plane fits call.
#pragma once

#include <cstddef>
#include <cstdint>

// LAPACK/BLAS integers: 32-bit for the system's and Octave's libraries,
// 64-bit for the libraries MATLAB ships (built with DYADFIT_LAPACK_ILP64).
#ifdef DYADFIT_LAPACK_ILP64
using lapack_int = std::int64_t;
#else
using lapack_int = int;
#endif

extern "C" {
// Fortran LAPACK/BLAS, arguments by address, with the hidden length of each
// character argument that gfortran-built libraries take.
void dgels_(const char* trans, const lapack_int* m, const lapack_int* n, const lapack_int* nrhs, double* a,
            const lapack_int* lda, double* b, const lapack_int* ldb, double* work, const lapack_int* lwork,
            lapack_int* info, std::size_t transLength);
// The minimum-norm least-squares solution by a complete orthogonal
// factorization (rank-deficient designs), and the routines it runs.
void dgelsy_(const lapack_int* m, const lapack_int* n, const lapack_int* nrhs, double* a, const lapack_int* lda,
             double* b, const lapack_int* ldb, lapack_int* jpvt, const double* rcond, lapack_int* rank, double* work,
             const lapack_int* lwork, lapack_int* info);
void dgeqp3_(const lapack_int* m, const lapack_int* n, double* a, const lapack_int* lda, lapack_int* jpvt, double* tau,
             double* work, const lapack_int* lwork, lapack_int* info);
void dtzrzf_(const lapack_int* m, const lapack_int* n, double* a, const lapack_int* lda, double* tau, double* work,
             const lapack_int* lwork, lapack_int* info);
void dormrz_(const char* side, const char* trans, const lapack_int* m, const lapack_int* n, const lapack_int* k,
             const lapack_int* l, const double* a, const lapack_int* lda, const double* tau, double* c,
             const lapack_int* ldc, double* work, const lapack_int* lwork, lapack_int* info, std::size_t sideLength,
             std::size_t transLength);
void dtrsm_(const char* side, const char* uplo, const char* transa, const char* diag, const lapack_int* m,
            const lapack_int* n, const double* alpha, const double* a, const lapack_int* lda, double* b,
            const lapack_int* ldb, std::size_t sideLength, std::size_t uploLength, std::size_t transaLength,
            std::size_t diagLength);
void dgeqrf_(const lapack_int* m, const lapack_int* n, double* a, const lapack_int* lda, double* tau, double* work,
             const lapack_int* lwork, lapack_int* info);
void dormqr_(const char* side, const char* trans, const lapack_int* m, const lapack_int* n, const lapack_int* k,
             double* a, const lapack_int* lda, const double* tau, double* c, const lapack_int* ldc, double* work,
             const lapack_int* lwork, lapack_int* info, std::size_t sideLength, std::size_t transLength);
void dtrtrs_(const char* uplo, const char* trans, const char* diag, const lapack_int* n, const lapack_int* nrhs,
             const double* a, const lapack_int* lda, double* b, const lapack_int* ldb, lapack_int* info,
             std::size_t uploLength, std::size_t transLength, std::size_t diagLength);
double dlamch_(const char* cmach, std::size_t cmachLength);
void dgemv_(const char* trans, const lapack_int* m, const lapack_int* n, const double* alpha, const double* a,
            const lapack_int* lda, const double* x, const lapack_int* incx, const double* beta, double* y,
            const lapack_int* incy, std::size_t transLength);
}
