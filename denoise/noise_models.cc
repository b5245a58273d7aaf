#include "denoise/noise_models.h"

#include <algorithm>
#include <cmath>

#include "host/host.h"

namespace dyadfit {

double anscombe(double x) { return 2.0 * std::sqrt(x + 0.375); }

double inverseAnscombe(double d) {
  if (d < 1.0) return std::max(0.0, d * d / 4.0 - 0.375);
  const double s = std::sqrt(1.5);
  return d * d / 4.0 + s / (4.0 * d) - 11.0 / (8.0 * d * d) + 5.0 * s / (8.0 * d * d * d) - 0.125;
}

}  // namespace dyadfit

namespace dyadfit {

double generalizedAnscombe(double z, const CameraNoise& c) {
  const double a = c.gain;
  const double arg = a * z + 0.375 * a * a + c.readNoise * c.readNoise - a * c.offset;
  return arg > 0 ? 2.0 / a * std::sqrt(arg) : 0.0;
}

double algebraicInverseGeneralizedAnscombe(double d, const CameraNoise& c) {
  const double a = c.gain;
  return (a * d * d / 4.0 - 0.375 * a * a - c.readNoise * c.readNoise + a * c.offset) / a;
}

}  // namespace dyadfit

namespace dyadfit {

void inverseGeneralizedAnscombe(double* values, std::size_t n, const CameraNoise& camera) {
  for (std::size_t k = 0; k < n; ++k) values[k] = algebraicInverseGeneralizedAnscombe(values[k], camera);
}

CameraNoise estimateCameraNoise(const double*, std::size_t, std::size_t, const CameraNoise& known) {
  if (std::isnan(known.gain) || std::isnan(known.offset) || std::isnan(known.readNoise))
    throw Error("PENDING: camera noise estimation");
  return known;
}

}  // namespace dyadfit
