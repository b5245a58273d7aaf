// SPDX-License-Identifier: BSD-3-Clause
#pragma once

#include <string_view>

#include "dyadic/grid.h"

namespace dyadfit {

inline constexpr std::string_view kPoisson = "Poisson";
inline constexpr std::string_view kGaussian = "Gaussian";
inline constexpr const char* kMsgNoiseName = "noiseType must be either 'Poisson' or 'Gaussian'.";

// How badly `model` fits `data` over [0, rows) x [0, cols): the sum of squared
// differences under "Gaussian", the negative Poisson log-likelihood (up to a
// data-only term) under "Poisson". Any other name throws Error.
double regionCost(const Grid& data, const Grid& model, int rows, int cols, std::string_view noiseType);

}  // namespace dyadfit
