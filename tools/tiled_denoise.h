// SPDX-License-Identifier: BSD-3-Clause
// dyadfit denoise --tile: a TIFF denoised tile by tile, read and written a
// band of rows at a time through libtiff's strip or tile access, so that no
// step holds the whole image. Every setting that the whole image would take
// from its size or its content is fixed once for all tiles, by the rules of
// the Python package's Dask path (python/dyadfit/dask.py).
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "denoise/denoise.h"

namespace dyadfit::cli {

// The overlap each tile reads beyond its edges: 4 block sides, at least 8.
int tileMargin(int blockSide);

// What a tiled run used, for the summary line.
struct TiledSummary {
  std::size_t rows = 0, cols = 0, channels = 0;
  int tile = 0, margin = 0, tiles = 0, samples = 0;
  DenoiseOptions options;  // as every tile got them
  bool twoStage = false;
  bool wienerDecided = false;  // 'auto' decided on the sample tiles
  double seconds = 0;
};

// Refuses, before any pixel is read, what --tile cannot take: IN not a
// one-page grey or RGB TIFF of 8/16/32-bit integer or 32/64-bit float
// samples in one plane. Failures name IN.
void checkTiledInput(const std::string& in);

// Denoises the TIFF `in` in tiles of `tile` x `tile` pixels (margins
// included, a power of two) and writes the estimate to `out` as an
// uncompressed strip TIFF of IN's samples (float 32-bit under the Poisson
// models). `progress` gets the fraction of tiles done.
TiledSummary denoiseTiled(const std::string& in, std::ostream& out, int tile, const DenoiseOptions& options,
                          const std::function<void(double)>& progress);

}  // namespace dyadfit::cli
