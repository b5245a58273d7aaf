// SPDX-License-Identifier: BSD-3-Clause
// Bottom-up dyadic pruning under a Gaussian or Poisson noise model.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "dyadic/grid.h"

namespace dyadfit {

// Fits one piece to the block [i0, i0+R) x [j0, j0+C) of source and writes
// its value at every pixel of the same block of target; nothing else of
// target changes, and the whole block is read before any of it is written.
using BlockFitFn = void (*)(const Grid& source, Grid& target, int i0, int j0, int R, int C);

// The constant piece: the block mean, each term divided by R and then by C.
void fitBlockMean(const Grid& source, Grid& target, int i0, int j0, int R, int C);

// Chooses, from the smallest squares upward, which aligned dyadic squares of
// the M x N grid `data` become single pieces fitted by `blockFit`, scoring
// each by its noise-model fit minus `pen` per square (ties merge, NaN never
// does). Levels run up to the smaller side. `estimate` and `label` are
// overwritten; pixelSquares[i*N + j] receives the final square of [i][j].
// Labels draw one rand() per element, i outer, j inner.
// The sides must be multiples of the largest square (2^levels); else Error.
void pruneDyadic(const Grid& data, int M, int N, double pen, Grid& estimate, Grid& label,
                 std::vector<DyadicSquare>& pixelSquares, std::string_view noiseType, BlockFitFn blockFit);

// pruneDyadic for callers that keep their own storage and need no square
// list: level[i*N + j] receives log2 of the side of the final square of
// [i][j] (the square follows from it: its corner is i and j with those low
// bits cleared); current (M x N doubles) and, for fits other than the mean,
// candidate (reshaped to M x N) are scratch. For the mean on an estimate of
// inner size N, current may be null: the estimate's storage serves, and
// with estimateWanted false it is left as scratch (blockMeansOfLevels forms
// the estimate later from the levels). A null label skips the labels and
// their rand() draws.
void pruneDyadicLevels(const Grid& data, int M, int N, double pen, Grid& estimate, Grid* label, unsigned char* level,
                       double* current, Grid& candidate, std::string_view noiseType, BlockFitFn blockFit,
                       bool estimateWanted = true);

// The estimate of the block mean from the final squares of a pruning: each
// square of side 2^level[i*N + j] (at element [i][j]) takes the mean of its
// data, each term divided by its side twice, summed in the literal order; an
// element on its own keeps its value. `estimate` may be `data` itself.
void blockMeansOfLevels(const double* data, std::size_t dataStride, double* estimate, std::size_t estimateStride,
                        const unsigned char* level, int M, int N);

// pruneDyadic with fitBlockMean on packed row-major M x N arrays (row length
// N), for callers that keep their own storage: estimate and label are
// overwritten as there, level[i*N + j] receives log2 of the side of the final
// square of element [i][j]; current (M x N doubles) is scratch, or null to
// keep the current terms in the estimate's storage (the estimate is then
// formed from the final squares). A null label skips the labels and their
// rand() draws.
void pruneBlockMeans(const double* data, int M, int N, double pen, bool poisson, double* estimate, double* label,
                     unsigned char* level, double* current);

// pruneBlockMeans under Gaussian noise, without labels, in little memory:
// `values` holds the data and receives the estimate; besides the levels it
// keeps only the means of the merged squares, a third of the data's size.
void pruneBlockMeansInPlace(double* values, int M, int N, double pen, unsigned char* level);

}  // namespace dyadfit
