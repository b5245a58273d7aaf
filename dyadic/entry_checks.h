// SPDX-License-Identifier: BSD-3-Clause
// Checks and input reads shared by the module entries.
#pragma once

#include <cstddef>
#include <vector>

#include "host/host.h"

namespace dyadfit {

inline constexpr const char* kMsgImageClass = "Input image must be a real numeric matrix.";
inline constexpr const char* kMsgVector = "This is an image processing method; it cannot process a vector.";
inline constexpr const char* kMsgBlockSide = "Input sh must be a positive integer that divides the image sides.";
inline constexpr const char* kMsgRowDyadic = "The matrix row dimension must be of size m*2^(L)";
inline constexpr const char* kMsgColDyadic = "The matrix column dimension must be of size n*2^(L)";
inline constexpr const char* kMsgPenalty = "The penalty must be positive.";
inline constexpr const char* kMsgTooLarge = "Values too large: magnitudes up to 1e100 are accepted.";
inline constexpr const char* kMsgFewCounts =
    "Poisson counts too small for the default penalties: the image holds fewer than 1 count in all; give the "
    "penalties.";

// The largest magnitude an image may hold: far below the largest double, so
// that no sum of squares or plane moment overflows into an Inf estimate.
inline constexpr double kMaxMagnitude = 1e100;

// The double nearest 1/3 (just below it) and ln 2, as the defaults use them.
inline constexpr double kThird = 0.3333333333333333;
inline constexpr double kLn2 = 0.6931471805599453;

// True when side n (> 1) is not a power of two: log2 through natural logs
// has a fractional part.
bool failsDyadicSideTest(std::size_t n);

// Throws kMsgImageClass unless the image is a real, full, two-dimensional
// numeric or logical array.
void requireRealImage(const Input& image);

// Throws kMsgTooLarge when a finite value's magnitude exceeds kMaxMagnitude.
// NaN and Inf pass: they come out as they went in, not from an overflow.
void requireModerateValues(const Input& image);

// Writes the rows*cols values of a checked image to out as doubles, column-major.
void copyImage(const Input& image, double* out);

// Block side from a given value: truncated toward zero; throws kMsgBlockSide
// unless it is finite, in int range, at least 1 and divides both sides.
int checkedBlockSide(double value, std::size_t rows, std::size_t cols);

}  // namespace dyadfit
