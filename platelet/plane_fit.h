// Least-squares plane fits through LAPACK dgels and BLAS dgemv.
#pragma once

#include "dyadic/grid.h"

namespace dyadfit {

// Fits c0 + c1*u + c2*v (u = i - i0, v = j - j0) to the block
// [i0, i0+R) x [j0, j0+C) of source and writes the plane's values into the
// same block of target. Blocks with fewer pixels than unknowns get the
// minimum-norm solution.
void fitPlane(const Grid& source, Grid& target, int i0, int j0, int R, int C);

// Replaces every aligned blockSize x blockSize block by its plane.
void fitBlockPlanes(int blockSize, const Grid& source, Grid& target, int M, int N);

// Two planes at once: one over the pixels whose mask (indexed locally) is 1,
// one over those whose mask is 0.
void fitWedgePlanes(const Grid& source, Grid& target, const Grid& mask, int i0, int j0, int R, int C);

}  // namespace dyadfit
