// SPDX-License-Identifier: BSD-3-Clause
// dyadfit_denoise: the modules made ready for real images. Brings each noise
// model to the modules' terms (Gaussian of unit variance, or Poisson counts),
// takes colour images to an opponent basis, pads any size to dyadic sides,
// averages the estimates over cyclic shifts of the grid, and returns the
// result in the input's storage class (Gaussian noise) or as rates.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "denoise/noise_level.h"
#include "denoise/noise_models.h"
#include "denoise/options.h"
#include "dyadic/partition.h"
#include "host/host.h"

namespace dyadfit {

struct DenoiseInfo {
  // Per channel of the image: the Gaussian noise level used (NaN under the
  // other models).
  std::vector<double> sigma;
  bool sigmaEstimated = false;
  // Poisson-Gaussian: the camera's parameters used (NaN under the others).
  CameraNoise camera;
  bool cameraEstimated = false;
  // Per channel denoised (opponent channels for colour): block side, and the
  // penalties as passed to the module (after scaling); 0 and none for a
  // channel returned as it was.
  std::vector<int> blockSide;
  std::vector<std::vector<double>> penalties;
  // Per channel denoised: the estimate kept (0 dyadic, 1 two-stage; -1 for
  // a channel returned as it was), the guard's risk estimates of the two
  // (NaN unless 'Wiener' is 'auto'; per pixel, in unit noise under Gaussian
  // and camera noise, in squared counts under Poisson noise), and the
  // Wiener stage's block side (0 when it did not run).
  std::vector<int> stage;
  std::vector<std::array<double, 2>> risk;
  std::vector<int> wienerBlock;
  int shifts = 0;
  std::size_t paddedRows = 0, paddedCols = 0;
  double seconds = 0;
  // The partition of the first channel's unshifted run over the padded image
  // (the luminance of a colour image), when asked for.
  Partition partition;
};

// Called with the fraction of the work done, from the calling thread.
using ProgressFn = std::function<void(double)>;

// A progress report in lines, "NAME: 40% done, 1.2 s spent, about 1.8 s
// left", timed from this call and handed to `print` (each host prints its
// own way).
ProgressFn progressLines(std::string name, std::function<void(const std::string&)> print);

// The storage class of the result: the image's under Gaussian noise; under
// the Poisson models rates, double (single for single images).
ValueClass denoiseResultClass(ValueClass image, NoiseModel noise);

// The block side the dyadic stage starts from for a working plane (unit
// noise) of this variance and noise variance (1, or the mean count under
// Poisson noise), padded to P x Q: the largest power of two not above 12
// noise levels per standard deviation of the signal, at most the modules'
// rule. Tiled runs take it from the whole image's moments.
int denoiseBlockSide(double variance, double noiseVariance, std::size_t P, std::size_t Q);

// Denoises a rows x cols x channels column-major image held as doubles of
// storage class `cls`; returns rows x cols x channels values representable
// in denoiseResultClass(cls, options.noise). Three channels are colour
// (options.colour); any other count is denoised one channel at a time.
// The call stops with Error("Interrupted.") only inside the caller's
// InterruptScope (dyadic/parallel.h): the host opens it with its own poll, as
// the bindings do, e.g. InterruptScope scope(interruptRequested) for C++
// callers who use requestInterrupt(). Opening one here would hide the host's.
std::vector<double> denoiseImage(const double* image, std::size_t rows, std::size_t cols, std::size_t channels,
                                 ValueClass cls, const DenoiseOptions& options, DenoiseInfo* info = nullptr,
                                 const ProgressFn& progress = {});

// The partition kept in `info` drawn over the mean of the channels of
// `image` (rows x cols x channels column-major: the estimate or the input),
// grey shown over its own range and enlarged as dyadfit_show enlarges by
// default: an (rows*scale) x (cols*scale) x 3 column-major RGB picture in
// [0, 1], with `scale` set to the enlargement.
std::vector<double> drawDenoisePartition(const double* image, std::size_t rows, std::size_t cols, std::size_t channels,
                                         const DenoiseInfo& info, int& scale);

}  // namespace dyadfit
