// SPDX-License-Identifier: BSD-3-Clause
// The options of dyadfit_denoise, shared by every host: what they hold and
// how a host's name-value pairs become them.
#pragma once

#include <cstddef>
#include <limits>
#include <vector>

#include "host/host.h"

namespace dyadfit {

enum class DenoiseMethod { Constant, Wedgelet, Platelet };

// The noise model: additive Gaussian, Poisson counts, or a camera's
// gain * Poisson + offset + Gaussian read noise.
enum class NoiseModel { Gaussian, Poisson, PoissonGaussian };

// How three-channel images are denoised: in an orthonormal luminance and
// colour-difference basis, or each channel as it is.
enum class ColourMode { Opponent, Rgb };

// The second stage: a Wiener filter in a sliding-block DCT, guided by a
// pilot made of the dyadic estimates. Auto keeps, per channel, whichever of
// the dyadic and the two-stage estimate has the lower estimated risk.
enum class WienerMode { Auto, On, Off };

// Storage class of the image. Under Gaussian noise the result keeps it:
// integer classes are rounded and saturated to their range.
enum class ValueClass { Double, Single, Int8, UInt8, Int16, UInt16, Int32, UInt32, Int64, UInt64, Logical };

inline constexpr int kDefaultShifts = 4;

struct DenoiseOptions {
  DenoiseMethod method = DenoiseMethod::Wedgelet;
  NoiseModel noise = NoiseModel::Gaussian;
  ColourMode colour = ColourMode::Opponent;
  WienerMode wiener = WienerMode::Auto;
  int shifts = kDefaultShifts;
  // Gaussian noise level, one for every channel or one per channel; empty:
  // estimated from each channel.
  std::vector<double> sigma;
  // Poisson-Gaussian parameters in the data's units; NaN: estimated.
  double gain = std::numeric_limits<double>::quiet_NaN();
  double offset = std::numeric_limits<double>::quiet_NaN();
  double readNoise = std::numeric_limits<double>::quiet_NaN();
  // Block side of the pre-averaging; 0: chosen from the signal-to-noise ratio.
  int blockSide = 0;
  // Explicit penalties on the scaled image: none (defaults), one (constant
  // squares) or two (one piece, each piece of a split).
  std::vector<double> penalties;
  // Lines per square for wedgelets and platelets; -1: the modules' default.
  double lines = -1;
  // Whether the host should report progress (the caller passes the report).
  bool progress = false;
  // Whether to keep the partition of the unshifted run in DenoiseInfo.
  bool partition = false;
  // Not a name-value option: the padded pixel count that the defaults left
  // to the core follow (the second stage's constant pilot's penalties); 0:
  // the image's own. A tile of a larger image sets its whole image's.
  double defaultsPixels = 0;
};

// Reads the name-value pairs in[first], in[first+1], ... ("Method",
// "Noise", "Colour", "Wiener", "Shifts", "Sigma", "Gain", "Offset", "ReadNoise",
// "BlockSide", "Penalties", "Lines", "Progress", "Partition"; names
// case-insensitive). Every bad option is an Error naming it.
DenoiseOptions parseDenoiseOptions(Inputs in, std::size_t first);

const char* methodName(DenoiseMethod m);
const char* noiseName(NoiseModel m);
const char* colourName(ColourMode m);
const char* wienerName(WienerMode m);

}  // namespace dyadfit
