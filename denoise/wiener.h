// SPDX-License-Identifier: BSD-3-Clause
// The second stage of the denoiser: an empirical Wiener filter in sliding
// block DCTs, steered by a pilot estimate of the clean image.
#pragma once

#include <cstddef>
#include <vector>

namespace dyadfit {

struct WienerResult {
  std::vector<double> estimate;  // rows x cols, column-major
  int blockSide = 8;             // the block side kept: 8 or 16
  double sure[2] = {0, 0};       // SURE of the 8 x 8 (step 1) and 16 x 16 (step 2) settings
};

// Filters the rows x cols column-major image z, whose noise is white,
// Gaussian and of unit variance, with the pilot (same size, an estimate of
// the clean z) in both settings, and keeps the one of smaller SURE (the
// 8 x 8 one on a tie). Inputs must be finite.
WienerResult wienerStage(const double* z, const double* pilot, std::size_t rows, std::size_t cols);

// One setting: z and the pilot mirror-padded (whole-sample) by B pixels on
// every side; every B x B block on the `step` grid of the padded image that
// touches the image is taken to the orthonormal 2-D DCT, z's coefficients
// scaled by W = Cp^2 / (Cp^2 + 1) from the pilot's Cp (DC included), and
// taken back; the blocks are averaged per pixel with weights 1 / sum(W^2).
// A block whose sum(W^2) is below 1e-200 (a pilot of nothing on the noise's
// scale) gets no weight, and a pixel that only such blocks cover gets 0,
// which is what they would give it. When `sure` is not null it receives
// (|z - E|^2 - n + 2 div) / n, div the estimate's divergence in z with the
// pilot held fixed. Needs 1 <= B <= 64 and 1 <= step <= B.
std::vector<double> wienerFilter(const double* z, const double* pilot, std::size_t rows, std::size_t cols, int B,
                                 int step, double* sure);

}  // namespace dyadfit
