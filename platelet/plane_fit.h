// SPDX-License-Identifier: BSD-3-Clause
// Least-squares plane fits through LAPACK and BLAS.
//
// The *Reference fits call dgels and dgemv afresh for every block: they are
// the literal stages. fitPlane and fitBlockPlanes give the same bits with one
// factorization of each block shape (see plane_solver.h), falling back to
// dgels for blocks that dgels would scale or that hold NaN or Inf.
#pragma once

#include <cstddef>

#include "dyadic/grid.h"

namespace dyadfit {

// Fits c0 + c1*u + c2*v (u = i - i0, v = j - j0) to the block
// [i0, i0+R) x [j0, j0+C) of source and writes the plane's values into the
// same block of target. Blocks with fewer pixels than unknowns, or all on
// one line, get the minimum-norm least-squares solution. The factorization of each block shape is kept for
// the life of the process (shapes up to 65536 pixels); safe to call from
// several threads at once.
void fitPlane(const Grid& source, Grid& target, int i0, int j0, int R, int C);
void fitPlaneReference(const Grid& source, Grid& target, int i0, int j0, int R, int C);

// Replaces every aligned blockSize x blockSize block by its plane.
void fitBlockPlanes(int blockSize, const Grid& source, Grid& target, int M, int N);
void fitBlockPlanesReference(int blockSize, const Grid& source, Grid& target, int M, int N);

// Two planes at once: one over the pixels whose mask (indexed locally) is 1,
// one over those whose mask is 0; a side that is empty or on one line leaves
// the design rank-deficient, and the fit is the minimum-norm one. The design changes with the mask, so a
// single fit gains nothing from a factorization: fitWedgePlanes is the
// literal fit. The many masks of a split search go through the platelet
// kernel (plane_kernel.h), which factors each mask's design once.
void fitWedgePlanes(const Grid& source, Grid& target, const Grid& mask, int i0, int j0, int R, int C);
void fitWedgePlanesReference(const Grid& source, Grid& target, const Grid& mask, int i0, int j0, int R, int C);

// The design of fitWedgePlanes for the R x C mask whose row u starts at
// mask + u * stride, column by column (w, u*w, v*w, 1 - w, u*(1 - w),
// v*(1 - w)), rows in pixel order: R*C*6 values.
void wedgePlanesDesign(const double* mask, std::size_t stride, int R, int C, double* design);

}  // namespace dyadfit
