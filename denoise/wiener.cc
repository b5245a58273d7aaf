// SPDX-License-Identifier: BSD-3-Clause
#include "denoise/wiener.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "denoise/noise_level.h"
#include "dyadic/parallel.h"
#include "host/host.h"

namespace dyadfit {
namespace {

// Blocks transformed together: their coefficients stay in cache and every
// loop runs along them, which the compiler vectorises.
constexpr std::size_t kChunk = 32;

// Below this sum(W^2) a block passes nothing and its weight would overflow.
constexpr double kMinWeightSum = 1e-200;

// out[v][0..len) = sum_y T[v * B + y] * in[y][0..len), summed over y in order.
void applyMatrix(const double* T, std::size_t B, const double* const* in, double* const* out, std::size_t len) {
  for (std::size_t v = 0; v < B; ++v) {
    double* o = out[v];
    const double* row = T + v * B;
    const double t0 = row[0];
    const double* i0 = in[0];
    for (std::size_t k = 0; k < len; ++k) o[k] = t0 * i0[k];
    for (std::size_t y = 1; y < B; ++y) {
      const double t = row[y];
      const double* iy = in[y];
      for (std::size_t k = 0; k < len; ++k) o[k] += t * iy[k];
    }
  }
}

// The orthonormal DCT-II of side B applied to len vectors at once (vector y
// holds sample y of each). For even B the even basis functions are
// symmetric and the odd ones antisymmetric, so each half of the outputs
// needs only the sums or the differences of mirrored samples: half the
// multiplications.
struct Dct {
  std::size_t B, h;
  std::vector<double> D, Dt;        // [u * B + x] and its transpose
  std::vector<double> even, odd;    // h x h: D[2k][x] and D[2k + 1][x], x < h
  std::vector<double> evenT, oddT;  // their transposes
  explicit Dct(std::size_t side) : B(side), h(side / 2), D(side * side), Dt(side * side) {
    for (std::size_t u = 0; u < B; ++u)
      for (std::size_t x = 0; x < B; ++x) {
        const double a = std::sqrt((u == 0 ? 1.0 : 2.0) / double(B));
        const double c = a * std::cos(std::numbers::pi * double((2 * x + 1) * u) / double(2 * B));
        D[u * B + x] = c, Dt[x * B + u] = c;
      }
    if (B % 2) return;
    even.resize(h * h), odd.resize(h * h), evenT.resize(h * h), oddT.resize(h * h);
    for (std::size_t k = 0; k < h; ++k)
      for (std::size_t x = 0; x < h; ++x) {
        even[k * h + x] = evenT[x * h + k] = D[2 * k * B + x];
        odd[k * h + x] = oddT[x * h + k] = D[(2 * k + 1) * B + x];
      }
  }
  // Scratch of 2 B pointers and B * len values.
  struct Scratch {
    std::vector<const double*> in;
    std::vector<double*> out;
    std::vector<double> values;
    Scratch(std::size_t B, std::size_t len) : in(B), out(B), values(B * len) {}
  };
  // out[u] = sum_y D[u][y] in[y].
  void forward(const double* const* in, double* const* out, std::size_t len, Scratch& s) const {
    if (B % 2) return applyMatrix(D.data(), B, in, out, len);
    double* sum = s.values.data();
    double* diff = sum + h * len;
    for (std::size_t x = 0; x < h; ++x) {
      const double* a = in[x];
      const double* b = in[B - 1 - x];
      double* ps = sum + x * len;
      double* pd = diff + x * len;
      for (std::size_t k = 0; k < len; ++k) ps[k] = a[k] + b[k], pd[k] = a[k] - b[k];
    }
    for (std::size_t x = 0; x < h; ++x) s.in[x] = sum + x * len, s.in[h + x] = diff + x * len;
    for (std::size_t k = 0; k < h; ++k) s.out[k] = out[2 * k], s.out[h + k] = out[2 * k + 1];
    applyMatrix(even.data(), h, s.in.data(), s.out.data(), len);
    applyMatrix(odd.data(), h, s.in.data() + h, s.out.data() + h, len);
  }
  // out[x] = sum_u D[u][x] in[u].
  void inverse(const double* const* in, double* const* out, std::size_t len, Scratch& s) const {
    if (B % 2) return applyMatrix(Dt.data(), B, in, out, len);
    double* e = s.values.data();
    double* o = e + h * len;
    for (std::size_t k = 0; k < h; ++k) s.in[k] = in[2 * k], s.in[h + k] = in[2 * k + 1];
    for (std::size_t x = 0; x < h; ++x) s.out[x] = e + x * len, s.out[h + x] = o + x * len;
    applyMatrix(evenT.data(), h, s.in.data(), s.out.data(), len);
    applyMatrix(oddT.data(), h, s.in.data() + h, s.out.data() + h, len);
    for (std::size_t x = 0; x < h; ++x) {
      const double* pe = e + x * len;
      const double* po = o + x * len;
      double* a = out[x];
      double* b = out[B - 1 - x];
      for (std::size_t k = 0; k < len; ++k) a[k] = pe[k] + po[k], b[k] = pe[k] - po[k];
    }
  }
};

// One setting's geometry and the padded images, row-major.
struct Setting {
  std::size_t rows, cols, B, step;
  std::size_t Hp, Wp;   // padded sides
  std::size_t Mw;       // columns of the padded image per phase (column mod step)
  std::size_t nBands;   // block rows touching the image: tops at m * step, m = 1..nBands
  std::size_t nBlocks;  // blocks per row touching the image: lefts at k * step, k = 1..nBlocks
};

}  // namespace

std::vector<double> wienerFilter(const double* z, const double* pilot, std::size_t rows, std::size_t cols,
                                 int blockSide, int blockStep, double* sure) {
  if (rows == 0 || cols == 0) throw Error("The Wiener stage needs a nonempty image.");
  if (blockSide < 1 || blockSide > 64 || blockStep < 1 || blockStep > blockSide)
    throw Error("The Wiener stage needs a block side from 1 to 64 and a step from 1 to that side.");
  Setting s;
  s.rows = rows, s.cols = cols, s.B = std::size_t(blockSide), s.step = std::size_t(blockStep);
  const std::size_t B = s.B, step = s.step;
  s.Hp = rows + 2 * B, s.Wp = cols + 2 * B;
  s.Mw = (s.Wp + step - 1) / step;
  s.nBands = (rows + B - 1) / step;
  s.nBlocks = (cols + B - 1) / step;

  const Dct dct(B);

  // Padded index q is image index mirror(q - B); 2nB - B keeps it unsigned
  // and whole periods of 2n leave the mirror unchanged.
  std::vector<std::size_t> rowOf(s.Hp), colOf(s.Wp);
  for (std::size_t q = 0; q < s.Hp; ++q) rowOf[q] = mirrorIndexOf(q + 2 * rows * B - B, rows);
  for (std::size_t q = 0; q < s.Wp; ++q) colOf[q] = mirrorIndexOf(q + 2 * cols * B - B, cols);

  // Block rows overlap by B - step rows, so groups of G of them written in
  // two buffers by the group's parity never meet in one: each pixel sums
  // in the same order on any number of threads.
  const std::size_t G = std::max<std::size_t>(8, (B + step - 1) / step);
  const std::size_t nGroups = (s.nBands + G - 1) / G;
  const std::size_t n = rows * cols;
  std::vector<double> num[2] = {std::vector<double>(n, 0.0), std::vector<double>(n, 0.0)};
  // Per block row, over the image's columns: the weights of the blocks over
  // each column, and their weighted sum(W) / B^2 (the divergence's share).
  std::vector<double> wRows(s.nBands * cols, 0.0), dRows(s.nBands * cols, 0.0);

  parallelFor(nGroups, [&](std::size_t g) {
    const std::size_t Wp = s.Wp, Mw = s.Mw, K = kChunk;
    Dct::Scratch scratch(B, std::max(Wp, K));
    std::vector<double> strip(B * Wp), colNat(B * Wp), colZ(B * step * Mw), colP(B * step * Mw), band(B * step * Mw);
    std::vector<double> cz(B * B * K), cp(B * B * K), tmp(B * std::max(K, cols));
    std::vector<double> sumW(K), sumW2(K), w(K), wLine(Wp), dLine(Wp), bandNat(B * cols);
    std::vector<const double*> in(B);
    std::vector<double*> out(B);
    double* const acc = num[g % 2].data();
    const double invArea = 1.0 / double(B * B);

    // 1-D DCTs of the B-tall column strips of a padded image from row I,
    // split by column phase so that blocks k, k + 1, ... read contiguously.
    auto columnTransform = [&](const double* img, std::size_t I, std::vector<double>& dst) {
      for (std::size_t q = 0; q < Wp; ++q) {
        const double* column = img + rows * colOf[q];
        for (std::size_t x = 0; x < B; ++x) strip[x * Wp + q] = column[rowOf[I + x]];
      }
      for (std::size_t x = 0; x < B; ++x) in[x] = strip.data() + x * Wp;
      for (std::size_t u = 0; u < B; ++u) out[u] = colNat.data() + u * Wp;
      dct.forward(in.data(), out.data(), Wp, scratch);
      for (std::size_t u = 0; u < B; ++u)
        for (std::size_t ph = 0; ph < step; ++ph) {
          double* d = dst.data() + (u * step + ph) * Mw;
          const double* src = colNat.data() + u * Wp + ph;
          for (std::size_t m = 0; m * step + ph < Wp; ++m) d[m] = src[m * step];
        }
    };

    const std::size_t mEnd = std::min(s.nBands, (g + 1) * G);
    for (std::size_t m = g * G + 1; m <= mEnd; ++m) {
      const std::size_t I = m * step;
      columnTransform(z, I, colZ);
      columnTransform(pilot, I, colP);
      std::fill(band.begin(), band.end(), 0.0);
      std::fill(wLine.begin(), wLine.end(), 0.0);
      std::fill(dLine.begin(), dLine.end(), 0.0);

      for (std::size_t k0 = 1; k0 <= s.nBlocks; k0 += K) {
        const std::size_t len = std::min(K, s.nBlocks + 1 - k0);
        // Row transforms: coefficient (u, v) of block k0 + j at [(u B + v) K + j].
        for (std::size_t u = 0; u < B; ++u) {
          for (std::size_t v = 0; v < B; ++v) out[v] = cz.data() + (u * B + v) * K;
          for (std::size_t y = 0; y < B; ++y) in[y] = colZ.data() + (u * step + y % step) * Mw + k0 + y / step;
          dct.forward(in.data(), out.data(), len, scratch);
          for (std::size_t v = 0; v < B; ++v) out[v] = cp.data() + (u * B + v) * K;
          for (std::size_t y = 0; y < B; ++y) in[y] = colP.data() + (u * step + y % step) * Mw + k0 + y / step;
          dct.forward(in.data(), out.data(), len, scratch);
        }
        std::fill(sumW.begin(), sumW.end(), 0.0);
        std::fill(sumW2.begin(), sumW2.end(), 0.0);
        for (std::size_t uv = 0; uv < B * B; ++uv) {
          double* zc = cz.data() + uv * K;
          const double* pc = cp.data() + uv * K;
          for (std::size_t j = 0; j < len; ++j) {
            const double c = pc[j] * pc[j];
            const double W = c / (c + 1);
            sumW[j] += W;
            sumW2[j] += W * W;
            zc[j] *= W;
          }
        }
        for (std::size_t j = 0; j < len; ++j) w[j] = sumW2[j] < kMinWeightSum ? 0.0 : 1.0 / sumW2[j];
        // Inverse row transforms, weighted into the band's column coefficients.
        for (std::size_t u = 0; u < B; ++u) {
          for (std::size_t v = 0; v < B; ++v) in[v] = cz.data() + (u * B + v) * K;
          for (std::size_t y = 0; y < B; ++y) out[y] = tmp.data() + y * K;
          dct.inverse(in.data(), out.data(), len, scratch);
          for (std::size_t y = 0; y < B; ++y) {
            double* dst = band.data() + (u * step + y % step) * Mw + k0 + y / step;
            const double* src = tmp.data() + y * K;
            for (std::size_t j = 0; j < len; ++j) dst[j] += w[j] * src[j];
          }
        }
        for (std::size_t j = 0; j < len; ++j) {
          const std::size_t C0 = (k0 + j) * step;
          const double dj = w[j] * sumW[j] * invArea;
          for (std::size_t y = 0; y < B; ++y) wLine[C0 + y] += w[j], dLine[C0 + y] += dj;
        }
      }

      // Inverse column transforms over the image's columns, into its rows.
      for (std::size_t u = 0; u < B; ++u)
        for (std::size_t ph = 0; ph < step; ++ph) {
          // Image column c is padded column c + B = m * step + ph.
          const double* src = band.data() + (u * step + ph) * Mw;
          double* d = bandNat.data() + u * cols;
          const std::size_t c0 = (ph + step - B % step) % step;
          for (std::size_t c = c0, m = (c0 + B) / step; c < cols; c += step, ++m) d[c] = src[m];
        }
      for (std::size_t u = 0; u < B; ++u) in[u] = bandNat.data() + u * cols;
      for (std::size_t x = 0; x < B; ++x) out[x] = tmp.data() + x * cols;
      dct.inverse(in.data(), out.data(), cols, scratch);
      for (std::size_t x = 0; x < B; ++x) {
        const std::size_t R = I + x;
        if (R < B || R >= B + rows) continue;
        double* dst = acc + (R - B) * cols;
        const double* src = tmp.data() + x * cols;
        for (std::size_t c = 0; c < cols; ++c) dst[c] += src[c];
      }
      std::copy(wLine.begin() + B, wLine.begin() + B + cols, wRows.begin() + (m - 1) * cols);
      std::copy(dLine.begin() + B, dLine.begin() + B + cols, dRows.begin() + (m - 1) * cols);
    }
  });
  interruptionPoint();

  std::vector<double> estimate(n);
  double residual = 0, div = 0;
  std::vector<double> ws(cols), ds(cols);
  for (std::size_t r = 0; r < rows; ++r) {
    // Block rows over padded row R = r + B: tops m * step in (R - B, R].
    const std::size_t R = r + B;
    const std::size_t mFirst = std::max<std::size_t>(1, (R - B) / step + 1);
    const std::size_t mLast = std::min(s.nBands, R / step);
    std::fill(ws.begin(), ws.end(), 0.0);
    std::fill(ds.begin(), ds.end(), 0.0);
    for (std::size_t m = mFirst; m <= mLast; ++m)
      for (std::size_t c = 0; c < cols; ++c) ws[c] += wRows[(m - 1) * cols + c], ds[c] += dRows[(m - 1) * cols + c];
    for (std::size_t c = 0; c < cols; ++c) {
      const double total = num[0][r * cols + c] + num[1][r * cols + c];
      const double e = ws[c] > 0 ? total / ws[c] : 0.0;
      if (ws[c] > 0) div += ds[c] / ws[c];
      estimate[r + rows * c] = e;
      const double d = z[r + rows * c] - e;
      residual += d * d;
    }
  }
  if (sure) *sure = (residual - double(n) + 2 * div) / double(n);
  return estimate;
}

WienerResult wienerStage(const double* z, const double* pilot, std::size_t rows, std::size_t cols) {
  WienerResult result;
  result.estimate = wienerFilter(z, pilot, rows, cols, 8, 1, &result.sure[0]);
  std::vector<double> large = wienerFilter(z, pilot, rows, cols, 16, 2, &result.sure[1]);
  if (result.sure[1] < result.sure[0]) {
    result.estimate = std::move(large);
    result.blockSide = 16;
  }
  return result;
}

}  // namespace dyadfit
