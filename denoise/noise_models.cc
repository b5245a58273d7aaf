// SPDX-License-Identifier: BSD-3-Clause
#include "denoise/noise_models.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "dyadic/grid_utils.h"
#include "host/host.h"

namespace dyadfit {

double anscombe(double x) { return 2.0 * std::sqrt(x + 0.375); }

double inverseAnscombe(double d) {
  // Below 2 sqrt(3/8), the transform of no count, the rate is 0; the closed
  // form reaches 0 there and would go negative below it.
  if (d < 2.0 * std::sqrt(0.375)) return 0.0;
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
  return (a * a * d * d / 4.0 - 0.375 * a * a - c.readNoise * c.readNoise + a * c.offset) / a;
}

}  // namespace dyadfit

namespace dyadfit {

namespace {

void checkCamera(const CameraNoise& c) {
  if (!(c.gain > 0) || !std::isfinite(c.gain) || !std::isfinite(c.offset) || !std::isfinite(c.readNoise) ||
      c.readNoise < 0)
    throw Error("The camera's gain must be positive and finite, its offset finite and its read noise finite and >= 0.");
}

// Above this value of lambda + 3/8 + s^2 the asymptotic inverse is used: its
// first neglected term is then below 1e-7, and the clipped part of the
// transform lies beyond 16 standard deviations.
constexpr double kAsymptoticFrom = 256.0;
constexpr std::size_t kTablePoints = 1024;

// Ten-point Gauss-Legendre nodes and weights on [-1, 1], the positive half.
constexpr double kGlNode[5] = {0.1488743389816312, 0.4333953941292472, 0.6794095682990244, 0.8650633666889845,
                               0.9739065285171717};
constexpr double kGlWeight[5] = {0.2955242247147529, 0.2692667193099964, 0.2190863625159820, 0.1494513491505806,
                                 0.0666713443086881};

// E[2 sqrt(max(0, mean + s X))], X standard normal. With t = u^2 the integral
// of 2 sqrt(t) over the normal density becomes that of 4 u^2 phi((u^2 -
// mean) / s) / s over u >= 0: smooth, also where the clipping starts.
double clippedRootMean(double mean, double s) {
  if (s == 0) return mean > 0 ? 2.0 * std::sqrt(mean) : 0.0;
  const double reach = 12.0 * s;
  if (mean + reach <= 0) return 0.0;
  const double u0 = std::sqrt(std::max(0.0, mean - reach)), u1 = std::sqrt(mean + reach);
  constexpr int kPanels = 24;
  const double h = (u1 - u0) / kPanels, norm = 4.0 / (s * std::sqrt(2.0 * M_PI));
  double sum = 0;
  for (int p = 0; p < kPanels; ++p) {
    const double mid = u0 + (p + 0.5) * h;
    for (int q = 0; q < 5; ++q)
      for (double sign : {-1.0, 1.0}) {
        const double u = mid + sign * 0.5 * h * kGlNode[q];
        const double e = (u * u - mean) / s;
        sum += kGlWeight[q] * u * u * std::exp(-0.5 * e * e);
      }
  }
  return sum * 0.5 * h * norm;
}

// The inner expectations g(k) for k = 0, 1, ..., with their sums over the
// Poisson weights and those sums' derivatives in lambda.
struct Expectation {
  double s, c;
  std::vector<double> g, logFactorial;

  Expectation(double s_, std::size_t kMax) : s(s_), c(0.375 + s_ * s_), g(kMax + 2), logFactorial(kMax + 2) {
    for (std::size_t k = 0; k < g.size(); ++k) {
      g[k] = clippedRootMean(double(k) + c, s);
      logFactorial[k] = std::lgamma(double(k) + 1.0);
    }
  }

  // E(lambda) and dE/dlambda = sum_k P(k) (g(k+1) - g(k)).
  void at(double lambda, double& value, double& slope) const {
    if (lambda == 0) {
      value = g[0];
      slope = g[1] - g[0];
      return;
    }
    const double spread = 12.0 * std::sqrt(lambda) + 12.0;
    const std::size_t lo = static_cast<std::size_t>(std::max(0.0, std::floor(lambda - spread)));
    const std::size_t hi = std::min(g.size() - 2, static_cast<std::size_t>(std::ceil(lambda + spread)));
    const double logLambda = std::log(lambda);
    value = slope = 0;
    for (std::size_t k = lo; k <= hi; ++k) {
      const double p = std::exp(double(k) * logLambda - lambda - logFactorial[k]);
      value += p * g[k];
      slope += p * (g[k + 1] - g[k]);
    }
  }
};

std::size_t kMaxFor(double lambdaMax) {
  return static_cast<std::size_t>(std::ceil(lambdaMax + 12.0 * std::sqrt(lambdaMax) + 14.0));
}

double tableTop(double c) { return std::max(kAsymptoticFrom - c, 8.0); }

}  // namespace

double expectedGeneralizedAnscombe(double lambda, const CameraNoise& camera) {
  checkCamera(camera);
  if (!(lambda >= 0) || !std::isfinite(lambda)) throw Error("The expected transform needs a finite lambda >= 0.");
  const Expectation e(camera.readNoise / camera.gain, kMaxFor(lambda));
  double value, slope;
  e.at(lambda, value, slope);
  return value;
}

void inverseGeneralizedAnscombe(double* values, std::size_t n, const CameraNoise& camera) {
  checkCamera(camera);
  const double s = camera.readNoise / camera.gain, s2 = s * s, c = 0.375 + s2;
  const double top = tableTop(c);
  const Expectation e(s, kMaxFor(top));

  // The grid is even in sqrt(lambda + c), about even in the transform.
  const double r0 = std::sqrt(c), r1 = std::sqrt(top + c);
  std::vector<double> lambda(kTablePoints), d(kTablePoints), slope(kTablePoints);
  for (std::size_t i = 0; i < kTablePoints; ++i) {
    const double r = r0 + (r1 - r0) * double(i) / double(kTablePoints - 1);
    lambda[i] = i == 0 ? 0.0 : (i + 1 == kTablePoints ? top : r * r - c);
    double dE;
    e.at(lambda[i], d[i], dE);
    slope[i] = 1.0 / dE;  // dlambda/dD
  }
  // Fritsch-Carlson: slopes limited so that each piece stays monotone.
  for (std::size_t i = 0; i + 1 < kTablePoints; ++i) {
    const double secant = (lambda[i + 1] - lambda[i]) / (d[i + 1] - d[i]);
    const double a = slope[i] / secant, b = slope[i + 1] / secant, r = a * a + b * b;
    if (r > 9.0) {
      const double t = 3.0 / std::sqrt(r);
      slope[i] = t * a * secant;
      slope[i + 1] = t * b * secant;
    }
  }

  const double dMin = d.front(), dMax = d.back();
  forEachRange(n, [&](std::size_t begin, std::size_t end) {
    for (std::size_t k = begin; k < end; ++k) {
      const double D = values[k];
      double l;
      if (std::isnan(D)) {
        l = D;
      } else if (D <= dMin) {
        l = 0.0;
      } else if (D >= dMax) {
        const double D2 = D * D, D4 = D2 * D2;
        l = D2 / 4.0 - 0.125 - s2 + (2.0 * s2 + 0.25) / D4 + (25.0 * s2 + 49.0 / 16.0) / (D4 * D2);
      } else {
        const std::size_t i = static_cast<std::size_t>(std::upper_bound(d.begin(), d.end(), D) - d.begin()) - 1;
        const double h = d[i + 1] - d[i], t = (D - d[i]) / h, t2 = t * t, t3 = t2 * t;
        l = (2 * t3 - 3 * t2 + 1) * lambda[i] + (t3 - 2 * t2 + t) * h * slope[i] + (-2 * t3 + 3 * t2) * lambda[i + 1] +
            (t3 - t2) * h * slope[i + 1];
      }
      values[k] = camera.gain * l + camera.offset;
    }
  });
}

}  // namespace dyadfit

namespace dyadfit {

namespace {

// A window's level and diagonal detail.
struct Window {
  double level, detail, gradient2;  // gradient2: squared level change across the window, both ways
  double ring;                      // level of the pixels around the 6 x 6 square, whose noise is apart
};

// Bins of windows sorted by level: mean level, variance, count.
struct Bin {
  double level, variance, count;
};

std::vector<Bin> binVariances(std::vector<Window>& w, bool medians) {
  std::sort(w.begin(), w.end(), [](const Window& a, const Window& b) { return a.level < b.level; });
  const std::size_t bins = std::clamp<std::size_t>(w.size() / 800, 1, 32);
  std::vector<Bin> out;
  std::vector<double> sq;
  for (std::size_t b = 0; b < bins; ++b) {
    const std::size_t lo = w.size() * b / bins, hi = w.size() * (b + 1) / bins;
    sq.clear();
    double level = 0;
    for (std::size_t k = lo; k < hi; ++k) {
      // The bins are cut by level; their level comes from other pixels, so
      // that the noise that sorted a window into a bin does not bias it.
      level += w[k].ring;
      sq.push_back(w[k].detail * w[k].detail);
    }
    const double count = double(hi - lo);
    auto mid = sq.begin() + static_cast<std::ptrdiff_t>(sq.size() / 2);
    std::nth_element(sq.begin(), mid, sq.end());
    // The median of a squared standard normal is 0.4549.
    const double robust = *mid / 0.45494;
    double variance = robust;
    if (!medians) {
      // The mean square within three robust standard deviations: about
      // efficient for Gaussian details, blind to the few an edge spoils.
      double sum = 0, kept = 0;
      for (double v : sq)
        if (v <= 9.0 * robust) {
          sum += v;
          kept += 1;
        }
      variance = kept > 0 ? sum / kept / 0.97333 : 0.0;
    }
    out.push_back({level / count, variance, count});
  }
  return out;
}

// Weighted least-squares fit of variance = gain * level + beta over the bins,
// with the parameters `known` gives held: gain fixed, or beta tied to gain by
// a known offset and read noise. Bins more than four standard errors off are
// dropped and the fit repeated. Returns false when the gain cannot be fitted.
bool fitLine(std::vector<Bin> bins, const CameraNoise& known, double& gain, double& beta) {
  const bool gainKnown = !std::isnan(known.gain);
  const bool tied = !gainKnown && !std::isnan(known.offset) && !std::isnan(known.readNoise);
  std::vector<double> predicted(bins.size());
  for (std::size_t k = 0; k < bins.size(); ++k) predicted[k] = bins[k].variance;
  for (int round = 0; round < 6; ++round) {
    double sw = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (std::size_t k = 0; k < bins.size(); ++k) {
      const double p = std::max(predicted[k], 1e-300);
      const double wgt = bins[k].count / (p * p);
      double x = bins[k].level, y = bins[k].variance;
      if (tied) {
        x -= known.offset;
        y -= known.readNoise * known.readNoise;
      }
      sw += wgt;
      sx += wgt * x;
      sy += wgt * y;
      sxx += wgt * x * x;
      sxy += wgt * x * y;
    }
    if (gainKnown) {
      gain = known.gain;
      beta = (sy - gain * sx) / sw;
    } else if (tied) {
      if (!(sxx > 0)) return false;
      gain = sxy / sxx;
      beta = known.readNoise * known.readNoise - gain * known.offset;
      // Significance: the slope's standard error.
      if (!(gain > 2.0 / std::sqrt(sxx))) return false;
    } else {
      const double det = sw * sxx - sx * sx;
      if (bins.size() < 2 || !(det > 1e-12 * sw * sxx)) return false;
      gain = (sw * sxy - sx * sy) / det;
      beta = (sxx * sy - sx * sxy) / det;
      if (!(gain > 2.0 * std::sqrt(sw / det))) return false;
    }
    // Drop the bins the fit leaves far off, then fit again.
    std::vector<Bin> kept;
    for (std::size_t k = 0; k < bins.size(); ++k) {
      const double fit = std::max(gain * bins[k].level + beta, 1e-300);
      if (std::fabs(bins[k].variance - fit) <= 4.0 * fit * std::sqrt(2.0 / bins[k].count)) kept.push_back(bins[k]);
    }
    if (kept.size() == bins.size() || kept.size() < 2) {
      for (std::size_t k = 0; k < bins.size(); ++k)
        predicted[k] = std::max(gain * bins[k].level + beta, 1e-12 * bins[k].variance);
      if (round > 0 && kept.size() == bins.size()) break;
      continue;
    }
    bins = std::move(kept);
    predicted.resize(bins.size());
    for (std::size_t k = 0; k < bins.size(); ++k)
      predicted[k] = std::max(gain * bins[k].level + beta, 1e-12 * bins[k].variance);
  }
  return true;
}

}  // namespace

CameraNoise estimateCameraNoise(const double* image, std::size_t rows, std::size_t cols, std::size_t channels,
                                const CameraNoise& known) {
  const bool gainKnown = !std::isnan(known.gain), offsetKnown = !std::isnan(known.offset),
             readKnown = !std::isnan(known.readNoise);
  if (gainKnown && offsetKnown && readKnown) return known;
  if (rows < 16 || cols < 16 || channels < 1)
    throw Error("The image is too small to estimate the camera's noise: give 'Gain', 'Offset' and 'ReadNoise'.");

  // Every 2 x 2 window with its 8 x 8 surroundings inside the plane, from
  // summed areas.
  std::vector<Window> windows;
  std::vector<double> area((rows + 1) * (cols + 1));
  const std::size_t R = rows + 1;
  for (std::size_t c = 0; c < channels; ++c) {
    const double* z = image + c * rows * cols;
    for (std::size_t j = 0; j <= cols; ++j) area[R * j] = 0;
    for (std::size_t i = 0; i <= rows; ++i) area[i] = 0;
    for (std::size_t j = 1; j <= cols; ++j)
      for (std::size_t i = 1; i <= rows; ++i)
        area[i + R * j] =
            z[(i - 1) + rows * (j - 1)] + area[i - 1 + R * j] + area[i + R * (j - 1)] - area[i - 1 + R * (j - 1)];
    // Sum over rows [i0, i1) and columns [j0, j1).
    const auto box = [&](std::size_t i0, std::size_t i1, std::size_t j0, std::size_t j1) {
      return area[i1 + R * j1] - area[i0 + R * j1] - area[i1 + R * j0] + area[i0 + R * j0];
    };
    for (std::size_t j = 3; j + 5 <= cols; ++j)
      for (std::size_t i = 3; i + 5 <= rows; ++i) {
        const double detail =
            (z[i + rows * j] - z[i + 1 + rows * j] - z[i + rows * (j + 1)] + z[i + 1 + rows * (j + 1)]) / 2.0;
        const double level = box(i - 2, i + 4, j - 2, j + 4) / 36.0;
        const double down = (box(i + 1, i + 4, j - 2, j + 4) - box(i - 2, i + 1, j - 2, j + 4)) / 18.0;
        const double across = (box(i - 2, i + 4, j + 1, j + 4) - box(i - 2, i + 4, j - 2, j + 1)) / 18.0;
        const double ring = (box(i - 3, i + 5, j - 3, j + 5) - 36.0 * level) / 28.0;
        windows.push_back({level, detail, down * down + across * across, ring});
      }
  }

  // First every window, with medians; then the windows whose level changes
  // no more than the first fit's noise allows: the difference of two
  // 18-pixel means has a ninth of the pixels' variance, and chi-square with
  // two degrees of freedom passes 4.61 one time in ten.
  const char* flat = "The camera's gain cannot be estimated: the image's levels vary too little. Give 'Gain'.";
  double gain = 0, beta = 0;
  {
    std::vector<Window> all = windows;
    if (!fitLine(binVariances(all, true), known, gain, beta)) throw Error(flat);
  }
  std::vector<Bin> bins;
  for (int pass = 0; pass < 2; ++pass) {
    std::vector<Window> smooth;
    for (const Window& w : windows) {
      const double v = gain * w.level + beta;
      if (v > 0 && w.gradient2 * 9.0 <= 4.61 * v) smooth.push_back(w);
    }
    if (smooth.size() < 400)
      throw Error(
          "The image has too few smooth regions to estimate the camera's noise: give 'Gain', 'Offset' and "
          "'ReadNoise'.");
    bins = binVariances(smooth, false);
    if (!fitLine(bins, known, gain, beta)) throw Error(flat);
  }

  CameraNoise out = known;
  out.gain = gain;
  if (offsetKnown && !readKnown) {
    out.readNoise = std::sqrt(std::max(0.0, beta + gain * known.offset));
  } else if (readKnown && !offsetKnown) {
    out.offset = (known.readNoise * known.readNoise - beta) / gain;
  } else if (!offsetKnown && !readKnown) {
    // The dark level: the lowest bin, taken to hold no light.
    out.offset = bins.front().level;
    const double read2 = beta + gain * out.offset;
    if (read2 >= 0) {
      out.readNoise = std::sqrt(read2);
    } else {
      out.readNoise = 0;
      out.offset = -beta / gain;
    }
  }
  return out;
}

CameraNoise estimateCameraNoise(const double* image, std::size_t rows, std::size_t cols, const CameraNoise& known) {
  return estimateCameraNoise(image, rows, cols, 1, known);
}

}  // namespace dyadfit
