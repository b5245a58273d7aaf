// SPDX-License-Identifier: BSD-3-Clause
// libFuzzer target. An input whose first byte is ASCII is an image file for
// the command-line tool's readers; any other first byte picks a module
// (byte % 3: tessik, brindel, quarlo) and the rest builds its inputs.
//
// Findings, besides crashes and sanitizer reports: a file that reads as an
// image must survive a text and a PGM round trip; a module must return its
// results with the image's size, or an error; and the fast entry must agree
// to the last bit, or in its message, with its literal reference.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "constant/tessik_entry.h"
#include "constant/tessik_reference.h"
#include "dyadic/parallel.h"
#include "host/standalone.h"
#include "platelet/quarlo_entry.h"
#include "platelet/quarlo_reference.h"
#include "tools/image_io.h"
#include "wedgelet/brindel_entry.h"
#include "wedgelet/brindel_reference.h"

namespace {

using dyadfit::Array;
using dyadfit::ClassKind;

[[noreturn]] void finding(const std::string& what) {
  std::fprintf(stderr, "FINDING: %s\n", what.c_str());
  std::abort();
}

bool sameBits(const Array& a, const Array& b) {
  return a.rows == b.rows && a.cols == b.cols && a.values.size() == b.values.size() &&
         (a.values.empty() || std::memcmp(a.values.data(), b.values.data(), a.values.size() * sizeof(double)) == 0);
}

void fuzzReaders(std::string_view bytes) {
  Array a;
  try {
    a = dyadfit::cli::parseImage(bytes);
  } catch (const dyadfit::cli::Failure&) {
    return;
  }
  if (a.size() == 0 || a.size() > bytes.size()) finding("image of more samples than bytes, or none");

  std::ostringstream text;
  dyadfit::cli::writeText(text, a);
  Array back;
  try {
    back = dyadfit::cli::parseImage(text.str());
  } catch (const dyadfit::cli::Failure& f) {
    finding("text written is refused: " + f.message);
  }
  // %.17g gives every double back, NaN too (its payload aside).
  if (back.rows != a.rows || back.cols != a.cols) finding("text round trip changes the size");
  for (std::size_t k = 0; k < a.size(); ++k)
    if (std::isnan(a.values[k]) ? !std::isnan(back.values[k])
                                : std::memcmp(&a.values[k], &back.values[k], sizeof(double)) != 0)
      finding("text round trip changes a value");

  std::ostringstream pgm;
  try {
    dyadfit::cli::writePgm(pgm, a);
  } catch (const dyadfit::cli::Failure&) {
    for (double v : a.values)
      if (!std::isfinite(v)) return;
    finding("finite image refused by the PGM writer");
  }
  try {
    back = dyadfit::cli::parseImage(pgm.str());
  } catch (const dyadfit::cli::Failure& f) {
    finding("PGM written is refused: " + f.message);
  }
  if (back.rows != a.rows || back.cols != a.cols) finding("PGM round trip changes the size");
  for (std::size_t k = 0; k < a.size(); ++k)
    if (back.values[k] != static_cast<double>(std::lround(std::fmin(std::fmax(a.values[k], 0.0), 65535.0))))
      finding("PGM round trip is not the rounded, clipped value");
}

// Values the entries must handle, besides raw bit patterns.
constexpr double kSpecial[] = {0.0,
                               -0.0,
                               1.0,
                               -1.0,
                               0.5,
                               10.0,
                               std::numeric_limits<double>::quiet_NaN(),
                               std::numeric_limits<double>::infinity(),
                               -std::numeric_limits<double>::infinity(),
                               std::numeric_limits<double>::max(),
                               std::numeric_limits<double>::denorm_min(),
                               1e8,
                               2e8};

double value(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: return in.PickValueInArray(kSpecial);
    case 1: return in.ConsumeIntegralInRange(-4, 40);
    case 2: {
      std::uint64_t bits = in.ConsumeIntegral<std::uint64_t>();
      double v;
      std::memcpy(&v, &bits, sizeof v);
      return v;
    }
    default: return in.ConsumeIntegral<std::uint8_t>() / 16.0;
  }
}

// What a host could hold in an array of that class, as the binding converts it.
double asKind(ClassKind kind, double v) {
  switch (kind) {
    case ClassKind::Single: return static_cast<float>(v);
    case ClassKind::Integer:
      return std::isnan(v) ? 0.0 : std::round(std::fmin(std::fmax(v, -2147483648.0), 2147483647.0));
    case ClassKind::Logical: return v != 0.0 ? 1.0 : 0.0;
    case ClassKind::Char: return std::isnan(v) ? 0.0 : std::fmod(std::fabs(std::round(std::fmin(v, 1e9))), 256.0);
    default: return v;
  }
}

constexpr ClassKind kKinds[] = {ClassKind::Double, ClassKind::Single, ClassKind::Integer, ClassKind::Logical,
                                ClassKind::Char,   ClassKind::Cell,   ClassKind::Struct,  ClassKind::Other};

// Mostly real doubles; now and then another class, complex, sparse or N-d.
Array array(FuzzedDataProvider& in, std::size_t rows, std::size_t cols, bool smallValues) {
  const ClassKind kind = in.ConsumeIntegralInRange(0, 7) < 5 ? ClassKind::Double : in.PickValueInArray(kKinds);
  std::vector<double> values(rows * cols);
  for (double& v : values) {
    v = value(in);
    // A run stays fast: a few candidate lines at most (a count above 1e8 is refused at once).
    if (smallValues && std::isfinite(v) && std::fabs(v) > 64 && std::fabs(v) <= 1e8) v = std::fmod(v, 64.0);
    v = asKind(kind, v);
  }
  Array a = Array::ofKind(kind, rows, cols, std::move(values));
  const int flags = in.ConsumeIntegralInRange(0, 31);
  a.complex = flags == 1;
  a.sparse = flags == 2;
  a.dims = flags == 3 ? 3 : 2;
  return a;
}

constexpr std::size_t kSides[] = {2, 4, 8, 16, 4, 8, 0, 1, 3, 6, 32};
constexpr const char* kNoise[] = {"Gaussian", "Poisson", "gaussian", "", "Gauss"};

Array parameter(FuzzedDataProvider& in, bool isLines) {
  switch (in.ConsumeIntegralInRange(0, 7)) {
    case 0: return Array::empty();
    case 1: return Array::string(in.PickValueInArray(kNoise));
    case 2: return Array::string(in.ConsumeRandomLengthString(12));
    case 3: return array(in, in.ConsumeIntegralInRange(0, 2), in.ConsumeIntegralInRange(0, 2), isLines);
    default: return array(in, 1, 1, isLines);
  }
}

struct Run {
  std::vector<Array> outputs;
  std::string error;
};

Run run(dyadfit::EntryFn entry, const std::vector<Array>& inputs, int nlhs, unsigned seed) {
  Run r;
  std::srand(seed);  // the label images draw from rand()
  try {
    r.outputs = dyadfit::callEntry(entry, inputs, nlhs);
  } catch (const dyadfit::Error& e) {
    r.error = e.what();
  }
  return r;
}

void fuzzEntry(int module, FuzzedDataProvider& in) {
  static const dyadfit::EntryFn fast[] = {dyadfit::tessik, dyadfit::brindel, dyadfit::quarlo};
  static const dyadfit::EntryFn reference[] = {dyadfit::tessikReference, dyadfit::brindelReference,
                                               dyadfit::quarloReference};
  static const char* names[] = {"tessik", "brindel", "quarlo"};
  const int nin = in.ConsumeIntegralInRange(0, 7);
  const int nlhs = in.ConsumeIntegralInRange(0, 7);
  dyadfit::setThreadCount(in.ConsumeIntegralInRange(1, 2));
  const unsigned seed = in.ConsumeIntegral<std::uint8_t>();
  std::vector<Array> inputs;
  if (nin > 0) {
    const std::size_t rows = in.PickValueInArray(kSides);
    const std::size_t cols = in.ConsumeBool() ? rows : in.PickValueInArray(kSides);
    inputs.push_back(array(in, rows, cols, false));
  }
  // brindel's and quarlo's sixth input is the number of lines.
  for (int k = 1; k < nin; ++k) inputs.push_back(parameter(in, module != 0 && k == 5));

  const Run got = run(fast[module], inputs, nlhs, seed);
  const Run want = run(reference[module], inputs, nlhs, seed);
  const std::string name = names[module];
  if (got.error != want.error)
    finding(name + " fails with \"" + got.error + "\", its reference with \"" + want.error + "\"");
  if (!got.error.empty()) return;
  if (inputs.empty()) finding(name + " runs without an image");
  if (got.outputs.size() != static_cast<std::size_t>(nlhs < 1 ? 1 : nlhs)) finding(name + " returns too few results");
  if (got.outputs[0].rows != inputs[0].rows || got.outputs[0].cols != inputs[0].cols)
    finding(name + " returns an estimate of another size");
  for (std::size_t k = 0; k < got.outputs.size(); ++k)
    if (!sameBits(got.outputs[k], want.outputs[k]))
      finding(name + " result " + std::to_string(k + 1) + " differs from its reference");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  if (data[0] < 0x80) {
    fuzzReaders(std::string_view(reinterpret_cast<const char*>(data), size));
  } else {
    FuzzedDataProvider in(data + 1, size - 1);
    fuzzEntry(data[0] % 3, in);
  }
  return 0;
}
