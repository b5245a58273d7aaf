// SPDX-License-Identifier: BSD-3-Clause
// One benchmark case in its own process, run by bench/run.sh under
// /usr/bin/time -v (which measures the peak memory):
//
//   dyadfit_bench MODULE ENGINE IMAGE SIZE [THREADS]
//     MODULE   tessik | brindel | quarlo | denoise
//     ENGINE   fast | reference | none (builds the image only); denoise:
//              fast only, single stage (4 shifts, no Wiener stage; noise
//              level 1 and block side 8, or 25 and 4 for a raw: photograph)
//     IMAGE    noise | phantom | counts | raw:FILE (SIZE*SIZE doubles as
//              `write` writes them, e.g. a photograph with noise)
//     SIZE     side of the square image (a power of two)
//     THREADS  worker threads of the fast engine (default: DYADFIT_THREADS or all cores)
//   dyadfit_bench write IMAGE SIZE FILE
//     writes the image as SIZE*SIZE raw little-endian doubles, column-major,
//     so that Octave runs the modules on exactly the same input.
//
// A case prints "seconds T" (the module call alone) and "digest H", a hash
// of every result bit, which run.sh compares between engines. The images
// come from fixed seeds, so every process builds the same one.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "constant/tessik_entry.h"
#include "constant/tessik_reference.h"
#include "denoise/denoise.h"
#include "dyadic/parallel.h"
#include "host/standalone.h"
#include "platelet/quarlo_entry.h"
#include "platelet/quarlo_reference.h"
#include "wedgelet/brindel_entry.h"
#include "wedgelet/brindel_reference.h"

namespace {

using namespace dyadfit;

// The Shepp-Logan head phantom (high-contrast variant) with values in [0, 1],
// as demo/dyadfit_phantom.m draws it.
std::vector<double> phantom(int n) {
  static const double ellipses[10][6] = {{1.0, .69, .92, 0, 0, 0},          {-0.8, .6624, .8740, 0, -.0184, 0},
                                         {-0.2, .1100, .3100, .22, 0, -18}, {-0.2, .1600, .4100, -.22, 0, 18},
                                         {0.1, .2100, .2500, 0, .35, 0},    {0.1, .0460, .0460, 0, .1, 0},
                                         {0.1, .0460, .0460, 0, -.1, 0},    {0.1, .0460, .0230, -.08, -.605, 0},
                                         {0.1, .0230, .0230, 0, -.606, 0},  {0.1, .0230, .0460, .06, -.605, 0}};
  const double half = std::max((n - 1) / 2.0, 1.0);
  std::vector<double> t(static_cast<std::size_t>(n));
  for (int k = 0; k < n; ++k) t[static_cast<std::size_t>(k)] = (k - (n - 1) / 2.0) / half;
  std::vector<double> p(static_cast<std::size_t>(n) * static_cast<std::size_t>(n), 0.0);
  for (const auto& e : ellipses) {
    const double phi = e[5] * std::numbers::pi / 180, c = std::cos(phi), s = std::sin(phi);
    for (int col = 0; col < n; ++col)
      for (int row = 0; row < n; ++row) {
        const double x = t[static_cast<std::size_t>(col)] - e[3], y = -t[static_cast<std::size_t>(row)] - e[4];
        const double u = (c * x + s * y) / e[1], v = (-s * x + c * y) / e[2];
        if (u * u + v * v <= 1) p[static_cast<std::size_t>(row) + static_cast<std::size_t>(n) * col] += e[0];
      }
  }
  for (double& v : p) v = std::min(std::max(v, 0.0), 1.0);
  return p;
}

// noise:   a flat image plus uniform noise of amplitude 10, where nothing
//          merges above the block side and every block is refined;
// phantom: the phantom scaled to [0, 10] plus Gaussian noise of deviation 1;
// counts:  Poisson counts of the phantom at a peak of 30.
Array makeImage(const std::string& kind, int n) {
  const std::size_t side = static_cast<std::size_t>(n);
  std::mt19937_64 gen(20240601);
  std::vector<double> v(side * side);
  if (kind.rfind("raw:", 0) == 0) {
    // SIZE x SIZE doubles, column by column, as written by the benchmark script.
    FILE* f = std::fopen(kind.c_str() + 4, "rb");
    const bool ok = f && std::fread(v.data(), sizeof(double), v.size(), f) == v.size();
    if (f) std::fclose(f);
    return ok ? Array::matrix(side, side, std::move(v)) : Array::empty();
  }
  if (kind == "noise") {
    std::uniform_real_distribution<double> u(0.0, 10.0);
    for (double& x : v) x = 50.0 + u(gen);
  } else if (kind == "phantom" || kind == "counts") {
    v = phantom(n);
    if (kind == "phantom") {
      std::normal_distribution<double> g(0.0, 1.0);
      for (double& x : v) x = 10.0 * x + g(gen);
    } else {
      for (double& x : v) x = x > 0 ? static_cast<double>(std::poisson_distribution<long>(30.0 * x)(gen)) : 0.0;
    }
  } else {
    return Array::empty();
  }
  return Array::matrix(side, side, std::move(v));
}

// FNV-1a over the sizes and bits of every result.
std::uint64_t digest(const std::vector<Array>& outputs) {
  std::uint64_t h = 1469598103934665603ull;
  auto mix = [&](const void* data, std::size_t bytes) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < bytes; ++i) h = (h ^ p[i]) * 1099511628211ull;
  };
  for (const Array& a : outputs) {
    mix(&a.rows, sizeof a.rows);
    mix(&a.cols, sizeof a.cols);
    mix(a.values.data(), a.values.size() * sizeof(double));
  }
  return h;
}

int usage() {
  std::fprintf(stderr,
               "usage: dyadfit_bench tessik|brindel|quarlo|denoise fast|reference|none noise|phantom|counts|raw:FILE SIZE "
               "[THREADS]\n"
               "       dyadfit_bench write noise|phantom|counts SIZE FILE\n");
  return 2;
}

int sizeArgument(const char* text) {
  const int n = std::atoi(text);
  return n >= 2 && (n & (n - 1)) == 0 ? n : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "write") {
    const int n = sizeArgument(argv[3]);
    const Array img = n ? makeImage(argv[2], n) : Array::empty();
    if (img.size() == 0) return usage();
    FILE* f = std::fopen(argv[4], "wb");
    if (!f || std::fwrite(img.values.data(), sizeof(double), img.size(), f) != img.size() || std::fclose(f) != 0) {
      std::perror(argv[4]);
      return 1;
    }
    return 0;
  }
  if (argc != 5 && argc != 6) return usage();
  const std::string module = argv[1], engine = argv[2], kind = argv[3];
  const int n = sizeArgument(argv[4]);
  const bool reference = engine == "reference";
  const bool denoise = module == "denoise";
  if (!n || (module != "tessik" && module != "brindel" && module != "quarlo" && !denoise) ||
      (engine != "fast" && !reference && engine != "none") || (denoise && reference))
    return usage();
  if (argc == 6) setThreadCount(std::atoi(argv[5]));

  const Array img = makeImage(kind, n);
  if (img.size() == 0) return usage();
  if (engine == "none") {
    std::printf("seconds 0\n");
    return 0;
  }

  if (denoise) {
    DenoiseOptions o;
    // A photograph's file: its noise level 25 and the block side the
    // denoiser picks for it; the phantom: level 1, side 8.
    const bool photo = kind.rfind("raw:", 0) == 0;
    o.sigma = {photo ? 25.0 : 1.0};
    o.blockSide = photo ? 4 : 8;
    o.shifts = 4;
    o.wiener = WienerMode::Off;
    const auto start = std::chrono::steady_clock::now();
    std::vector<Array> outputs(1);
    try {
      InterruptScope scope(interruptRequested);
      outputs[0] = Array::matrix(img.rows, img.cols,
                                 denoiseImage(img.values.data(), img.rows, img.cols, 1, ValueClass::Double, o));
    } catch (const Error& e) {
      std::fprintf(stderr, "denoise: %s\n", e.what());
      return 1;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("seconds %.3f\ndigest %016llx\n", seconds, static_cast<unsigned long long>(digest(outputs)));
    return 0;
  }

  EntryFn entry = nullptr;
  std::vector<Array> inputs;
  int nlhs = 0;
  if (module == "tessik") {
    // A light penalty and no pre-averaging: the deepest pruning.
    entry = reference ? tessikReference : tessik;
    inputs = {img, Array::scalar(0.1 * std::log(static_cast<double>(n) * n)), Array::scalar(1.0)};
    nlhs = 3;
  } else {
    entry = module == "brindel" ? (reference ? brindelReference : brindel) : (reference ? quarloReference : quarlo);
    inputs = {img, Array::empty(), Array::string(kind == "counts" ? "Poisson" : "Gaussian")};
    nlhs = 6;
  }

  std::srand(1);  // the label images draw from rand()
  const auto start = std::chrono::steady_clock::now();
  std::vector<Array> outputs;
  try {
    outputs = callEntry(entry, inputs, nlhs);
  } catch (const Error& e) {
    std::fprintf(stderr, "%s: %s\n", module.c_str(), e.what());
    return 1;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("seconds %.3f\ndigest %016llx\n", seconds, static_cast<unsigned long long>(digest(outputs)));
  return 0;
}
