// SPDX-License-Identifier: BSD-3-Clause
// The wedge kernel's lane functions on vectors of DYADFIT_LANE_WIDTH (4 or 8)
// doubles, included by wedge_kernel.cc once per instruction set, each time in
// its own namespace and under that instruction set's target. Each lane performs exactly
// the IEEE operations of the plain functions there, in the same order, with
// no FMA: every product is rounded before its sum.
// No include guard: included once per instruction set.

constexpr std::size_t kWidth = DYADFIT_LANE_WIDTH;
using D = double __attribute__((vector_size(kWidth * sizeof(double))));
using L = decltype(D{} < D{});  // all ones or all zeros a lane
constexpr std::size_t kVectors = kLanes / kWidth;  // vectors a group

#define DYADFIT_LANES_INLINE inline __attribute__((always_inline))
#if DYADFIT_LANE_WIDTH == 4
#define DYADFIT_EVERY_LANE(v) v, v, v, v
#elif DYADFIT_LANE_WIDTH == 8
#define DYADFIT_EVERY_LANE(v) v, v, v, v, v, v, v, v
#endif
DYADFIT_LANES_INLINE D all(double x) { return D{DYADFIT_EVERY_LANE(x)}; }
DYADFIT_LANES_INLINE L all(std::uint64_t w) {
  const auto v = static_cast<std::int64_t>(w);
  return L{DYADFIT_EVERY_LANE(v)};
}
DYADFIT_LANES_INLINE D load(const double* p) {
  D v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
DYADFIT_LANES_INLINE void store(double* p, const D& v) { std::memcpy(p, &v, sizeof v); }
// Shifts that bring the mask bit of each of vector h's lanes to the sign bit.
DYADFIT_LANES_INLINE L laneShifts(std::size_t h) {
  L shift{};
  for (std::size_t c = 0; c < kWidth; ++c) shift[c] = static_cast<std::int64_t>(63 - (h * kWidth + c));
  return shift;
}
// Vector h's lanes of a mask word: all ones where the lane's mask is 1. A
// test of the sign alone, which a blend reads directly.
DYADFIT_LANES_INLINE L side(const L& word, const L& shift) { return (word << shift) < 0; }

// With every pixel finite, x * 1 is x and x * 0 is a zero: kept or cleared
// by the mask alone. The zero's sign cannot show: a sum that starts at +0
// never becomes -0, and adding either zero leaves any other sum as it is.
// Infinities and NaN take the products, as the literal fit does.
template <bool kFinite>
void sideSums(const double* x, const std::uint64_t* w, std::size_t P, double* s1, double* s0) {
  const D one = all(1.0), zero = all(0.0);
  D a[kVectors], b[kVectors];
  L shift[kVectors];
  for (std::size_t h = 0; h < kVectors; ++h) {
    a[h] = b[h] = all(0.0);
    shift[h] = laneShifts(h);
  }
  for (std::size_t p = 0; p < P; ++p) {
    const D v = all(x[p]);
    const L word = all(w[p]);
    for (std::size_t h = 0; h < kVectors; ++h) {
      const L k = side(word, shift[h]);
      if constexpr (kFinite) {
        a[h] += k ? v : zero;
        b[h] += k ? zero : v;
      } else {
        const D m = k ? one : zero;
        a[h] += v * m;
        b[h] += v * (one - m);
      }
    }
  }
  for (std::size_t h = 0; h < kVectors; ++h) {
    store(s1 + h * kWidth, a[h]);
    store(s0 + h * kWidth, b[h]);
  }
}

void sideValues(const double* s1, const double* s0, const double* count, int pixels, double* v1, double* v0) {
  const D total = all(static_cast<double>(pixels));
  for (std::size_t h = 0; h < kLanes; h += kWidth) {
    const D n1 = load(count + h), a = load(s1 + h), b = load(s0 + h);
    // Both quotients are formed; the select keeps each only where the literal code divides.
    const D m1 = n1 != 0.0 ? a / n1 : a;
    const D m0 = n1 != total ? b / (total - n1) : b;
    store(v1 + h, m1 * 1.0 + m0 * 0.0);
    store(v0 + h, m1 * 0.0 + m0 * 1.0);
  }
}

void gaussianCosts(const double* x, const std::uint64_t* w, std::size_t P, const double* v1, const double* v0,
                   double* cost) {
  D one[kVectors], zero[kVectors], sum[kVectors];
  L shift[kVectors];
  for (std::size_t h = 0; h < kVectors; ++h) {
    one[h] = load(v1 + h * kWidth);
    zero[h] = load(v0 + h * kWidth);
    sum[h] = all(0.0);
    shift[h] = laneShifts(h);
  }
  for (std::size_t p = 0; p < P; ++p) {
    const D v = all(x[p]);
    const L word = all(w[p]);
    for (std::size_t h = 0; h < kVectors; ++h) {
      const D d = (side(word, shift[h]) ? one[h] : zero[h]) - v;
      sum[h] += d * d;
    }
  }
  for (std::size_t h = 0; h < kVectors; ++h) store(cost + h * kWidth, sum[h]);
}

void poissonCosts(const double* x, const std::uint64_t* w, std::size_t P, const double* v1, const double* v0,
                  const double* log1, const double* log0, double* cost) {
  D one[kVectors], zero[kVectors], logOne[kVectors], logZero[kVectors], sum[kVectors];
  L shift[kVectors];
  for (std::size_t h = 0; h < kVectors; ++h) {
    one[h] = load(v1 + h * kWidth);
    zero[h] = load(v0 + h * kWidth);
    logOne[h] = load(log1 + h * kWidth);
    logZero[h] = load(log0 + h * kWidth);
    sum[h] = all(0.0);
    shift[h] = laneShifts(h);
  }
  for (std::size_t p = 0; p < P; ++p) {
    const D v = all(x[p]);
    const L word = all(w[p]);
    const L dataZero = v == 0.0;
    for (std::size_t h = 0; h < kVectors; ++h) {
      const L k = side(word, shift[h]);
      const D lambda = k ? one[h] : zero[h];
      const D next = (sum[h] + lambda) - v * (k ? logOne[h] : logZero[h]);
      // A pixel whose model and data are both zero adds nothing.
      sum[h] = ((lambda == 0.0) & dataZero) ? sum[h] : next;
    }
  }
  for (std::size_t h = 0; h < kVectors; ++h) store(cost + h * kWidth, sum[h]);
}
#undef DYADFIT_LANES_INLINE
#undef DYADFIT_EVERY_LANE
#undef DYADFIT_LANE_WIDTH
