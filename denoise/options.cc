// SPDX-License-Identifier: BSD-3-Clause
#include "denoise/options.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <initializer_list>
#include <string>
#include <utility>

namespace dyadfit {

namespace {

constexpr int kMaxShifts = 1024;
constexpr double kMaxLines = 1e8;

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// One real number (a 1 x 1 real numeric or logical array).
bool isRealScalar(const Input& a) { return a.isRealMatrix() && a.rows() == 1 && a.cols() == 1; }

double optionScalar(const Input& a, const char* message) {
  if (!isRealScalar(a)) throw Error(message);
  return a.scalar();
}

std::string optionText(const Input& a, const char* message) {
  if (!a.isChar() || a.rows() > 1) throw Error(message);
  return lower(a.text());
}

bool isEmpty(const Input& a) { return a.isRealMatrix() && a.rows() * a.cols() == 0; }

// A real vector of `lo` to `hi` elements.
std::vector<double> optionVector(const Input& a, std::size_t lo, std::size_t hi, const char* message) {
  const std::size_t n = a.rows() * a.cols();
  if (!a.isRealMatrix() || std::min(a.rows(), a.cols()) != 1 || n < lo || n > hi) throw Error(message);
  std::vector<double> v(n);
  a.toDoubles(v.data());
  return v;
}

// One of a few names (in any case), as its value.
template <class T>
T choice(const Input& a, const char* message, std::initializer_list<std::pair<const char*, T>> names) {
  const std::string text = optionText(a, message);
  for (const auto& [n, v] : names)
    if (text == n) return v;
  throw Error(message);
}

bool logicalOption(const Input& a, const char* message) {
  const double v = optionScalar(a, message);
  if (v != 0 && v != 1) throw Error(message);
  return v == 1;
}

}  // namespace

const char* methodName(DenoiseMethod m) {
  switch (m) {
    case DenoiseMethod::Constant: return "constant";
    case DenoiseMethod::Wedgelet: return "wedgelet";
    default: return "platelet";
  }
}

const char* noiseName(NoiseModel m) {
  switch (m) {
    case NoiseModel::Gaussian: return "gaussian";
    case NoiseModel::Poisson: return "poisson";
    default: return "poisson-gaussian";
  }
}

const char* colourName(ColourMode m) { return m == ColourMode::Opponent ? "opponent" : "rgb"; }

const char* wienerName(WienerMode m) {
  switch (m) {
    case WienerMode::Auto: return "auto";
    case WienerMode::On: return "on";
    default: return "off";
  }
}

DenoiseOptions parseDenoiseOptions(Inputs in, std::size_t first) {
  DenoiseOptions o;
  bool penaltiesGiven = false, cameraGiven = false;
  if ((in.size() - std::min(first, in.size())) % 2 != 0) throw Error("Options must come in name-value pairs.");
  for (std::size_t k = first; k + 1 < in.size(); k += 2) {
    const Input& value = *in[k + 1];
    const std::string name = optionText(*in[k], "Option names must be text, such as 'Shifts'.");
    if (name == "method") {
      o.method = choice<DenoiseMethod>(value, "Option 'Method' must be 'constant', 'wedgelet' or 'platelet'.",
                                       {{"constant", DenoiseMethod::Constant},
                                        {"wedgelet", DenoiseMethod::Wedgelet},
                                        {"platelet", DenoiseMethod::Platelet}});
    } else if (name == "noise") {
      o.noise = choice<NoiseModel>(value, "Option 'Noise' must be 'gaussian', 'poisson' or 'poisson-gaussian'.",
                                   {{"gaussian", NoiseModel::Gaussian},
                                    {"poisson", NoiseModel::Poisson},
                                    {"poisson-gaussian", NoiseModel::PoissonGaussian}});
    } else if (name == "colour" || name == "color") {
      o.colour = choice<ColourMode>(value, "Option 'Colour' must be 'opponent' or 'rgb'.",
                                    {{"opponent", ColourMode::Opponent}, {"rgb", ColourMode::Rgb}});
    } else if (name == "wiener") {
      o.wiener = choice<WienerMode>(value, "Option 'Wiener' must be 'auto', 'on' or 'off'.",
                                    {{"auto", WienerMode::Auto}, {"on", WienerMode::On}, {"off", WienerMode::Off}});
    } else if (name == "shifts") {
      const char* msg = "Option 'Shifts' must be a whole number from 1 to 1024.";
      const double v = optionScalar(value, msg);
      if (!(v >= 1 && v <= kMaxShifts) || v != std::floor(v)) throw Error(msg);
      o.shifts = static_cast<int>(v);
    } else if (name == "sigma") {
      const char* msg = "Option 'Sigma' must be a positive finite number, one per channel, or [] to estimate it.";
      o.sigma.clear();
      if (!isEmpty(value)) {
        o.sigma = optionVector(value, 1, 3, msg);
        if (o.sigma.size() == 2) throw Error(msg);
        for (double v : o.sigma)
          if (!(v > 0) || !std::isfinite(v)) throw Error(msg);
      }
    } else if (name == "gain" || name == "offset" || name == "readnoise") {
      const char* msg = name == "gain"     ? "Option 'Gain' must be a positive finite number, or [] to estimate it."
                        : name == "offset" ? "Option 'Offset' must be a finite number, or [] to estimate it."
                                           : "Option 'ReadNoise' must be a finite number of at least 0, or [] to "
                                             "estimate it.";
      double v = std::numeric_limits<double>::quiet_NaN();
      if (!isEmpty(value)) {
        v = optionScalar(value, msg);
        if (!std::isfinite(v) || (name == "gain" && !(v > 0)) || (name == "readnoise" && !(v >= 0))) throw Error(msg);
        cameraGiven = true;
      }
      (name == "gain" ? o.gain : name == "offset" ? o.offset : o.readNoise) = v;
    } else if (name == "blockside") {
      const char* msg = "Option 'BlockSide' must be a power of two from 1 to 65536.";
      const double v = optionScalar(value, msg);
      if (!(v >= 1 && v <= 65536) || v != std::floor(v) || (static_cast<int>(v) & (static_cast<int>(v) - 1)) != 0)
        throw Error(msg);
      o.blockSide = static_cast<int>(v);
    } else if (name == "penalties") {
      const char* msg = "Option 'Penalties' must be a vector of one or two finite non-negative numbers.";
      o.penalties = optionVector(value, 1, 2, msg);
      for (double p : o.penalties)
        if (!(p >= 0) || !std::isfinite(p)) throw Error(msg);
      penaltiesGiven = true;
    } else if (name == "lines") {
      const char* msg = "Option 'Lines' must be a whole number from 0 to 1e8.";
      const double v = optionScalar(value, msg);
      if (!(v >= 0 && v <= kMaxLines) || v != std::floor(v)) throw Error(msg);
      o.lines = v;
    } else if (name == "progress") {
      o.progress = logicalOption(value, "Option 'Progress' must be true or false.");
    } else if (name == "partition") {
      o.partition = logicalOption(value, "Option 'Partition' must be true or false.");
    } else {
      throw Error(
          "Unknown option '" + in[k]->text() +
          "'; the options are Method, Noise, Colour, Wiener, Shifts, Sigma, Gain, Offset, ReadNoise, BlockSide, "
          "Penalties, Lines, Progress and Partition.");
    }
  }
  if (penaltiesGiven) {
    const std::size_t want = o.method == DenoiseMethod::Constant ? 1 : 2;
    if (o.penalties.size() != want)
      throw Error(std::string("Option 'Penalties' must hold ") + (want == 1 ? "one number" : "two numbers") +
                  " for the '" + methodName(o.method) + "' method.");
  }
  if (cameraGiven && o.noise != NoiseModel::PoissonGaussian)
    throw Error("Options 'Gain', 'Offset' and 'ReadNoise' need 'Noise', 'poisson-gaussian'.");
  return o;
}

}  // namespace dyadfit
