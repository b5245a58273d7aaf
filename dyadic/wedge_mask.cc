// SPDX-License-Identifier: BSD-3-Clause
#include "dyadic/wedge_mask.h"

#include <cmath>

namespace dyadfit {
namespace {

constexpr double kPi = 3.141592653589793;

struct Fold {
  double c, s, t1, t2, t3, t4;
  double upperBase;  // 0.75 - tan(alpha)/4 - 1/(4 tan(alpha)), the same for every pixel
};

Fold foldAngle(double alpha) {
  Fold f;
  f.c = std::cos(alpha);
  f.s = std::sin(alpha);
  f.t1 = -0.5 * (f.c + f.s);
  f.t2 = -0.5 * (f.c - f.s);
  f.t3 = 0.5 * (f.c - f.s);
  f.t4 = 0.5 * (f.c + f.s);
  const double t = std::tan(alpha);
  f.upperBase = 0.75 - t / 4 - 1 / (4 * t);
  return f;
}

double coverage(double d, const Fold& f) {
  const double c = f.c, s = f.s;
  if (f.t1 > d) return 0.0;
  if (f.t1 <= d && d < f.t2) return (d * d + d * (c + s) + 0.25) / (2 * c * s) + 0.25;
  if (f.t2 <= d && d < f.t3) return d / c + 0.5;
  if (f.t3 <= d && d < f.t4) return f.upperBase + (-d * d + d * (c + s) + 0.25) / (2 * c * s);
  return 1.0;
}

}  // namespace

double coverageFraction(double d, double alpha) { return coverage(d, foldAngle(alpha)); }

void wedgeMask(Grid& mask, double offset, double angle, int n) {
  const double theta = kPi * angle / 180;
  double e = std::fmod(angle, 90);
  if (e >= 45) e = 90 - e;
  const Fold f = foldAngle(kPi * e / 180);
  const double cosT = std::cos(theta);
  const double sinT = std::sin(theta);
  const int half = n / 2;
  for (int i = 0; i < n; ++i) {
    const double x = (-n) / 2 - 0.5 + (i + 1);
    for (int j = 0; j < n; ++j) {
      const double y = half + 0.5 - (j + 1);
      const double d = offset - x * cosT - y * sinT;
      mask[i][j] = coverage(d, f) > 0.5 ? 1.0 : 0.0;
    }
  }
}

}  // namespace dyadfit
