// Variance-stabilising transforms of the noise models and their inverses.
#pragma once

namespace dyadfit {

// Anscombe's transform: Poisson counts to values of about unit variance.
double anscombe(double x);

// Closed-form approximation of the exact unbiased inverse of Anscombe's
// transform (error below 1e-3 for D >= 1); below it, the algebraic inverse
// clipped at zero.
double inverseAnscombe(double d);

}  // namespace dyadfit

#include <cstddef>
#include <limits>

namespace dyadfit {

// A camera's noise: z = gain * Poisson(lambda) + offset + N(0, readNoise^2),
// all in the data's units. NaN marks a parameter not known.
struct CameraNoise {
  double gain = std::numeric_limits<double>::quiet_NaN();
  double offset = std::numeric_limits<double>::quiet_NaN();
  double readNoise = std::numeric_limits<double>::quiet_NaN();
};

// The generalized Anscombe transform: camera data to values of about unit
// variance, (2/gain) sqrt(gain z + 3/8 gain^2 + readNoise^2 - gain offset),
// taken as 0 where the root's argument is negative.
double generalizedAnscombe(double z, const CameraNoise& camera);

// Its algebraic inverse, the value whose transform is d.
double algebraicInverseGeneralizedAnscombe(double d, const CameraNoise& camera);

// Its exact unbiased inverse, in place over n values: each transformed value
// d becomes gain * lambda + offset for the lambda whose expected transform is
// d.
void inverseGeneralizedAnscombe(double* values, std::size_t n, const CameraNoise& camera);

// The camera's parameters estimated from a rows x cols column-major image;
// the parameters that `known` gives are kept as they are.
CameraNoise estimateCameraNoise(const double* image, std::size_t rows, std::size_t cols, const CameraNoise& known);

}  // namespace dyadfit
