// SPDX-License-Identifier: BSD-3-Clause
// Writes the calls the Windows test runs (DIR/NAME.call) and what the Linux
// build of the same entries returns for each (DIR/NAME.want), in the format
// of case_file.h, so that the plug-ins' results can be compared byte for byte.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "constant/tessik_entry.h"
#include "host/standalone.h"
#include "platelet/quarlo_entry.h"
#include "wedgelet/brindel_entry.h"
#include "windows/case_file.h"

namespace {

using casefile::Matrix;

// A step edge along a slanted line plus deterministic noise in steps of
// 1/64, so every input value is exact.
Matrix image(int rows, int cols, std::uint32_t seed) {
  Matrix m{casefile::kDouble, rows, cols, {}};
  std::uint32_t state = seed;
  for (int c = 0; c < cols; ++c)
    for (int r = 0; r < rows; ++r) {
      state = state * 1664525u + 1013904223u;
      const double noise = static_cast<double>(static_cast<int>(state >> 24) - 128) / 64.0;
      m.values.push_back((2 * r + c > rows + cols / 2 ? 10.0 : 3.0) + noise);
    }
  return m;
}

Matrix scalar(double v) { return Matrix{casefile::kDouble, 1, 1, {v}}; }

Matrix text(const std::string& s) {
  Matrix m{casefile::kChar, 1, static_cast<std::int32_t>(s.size()), {}};
  for (unsigned char ch : s) m.values.push_back(ch);
  return m;
}

dyadfit::Array toArray(const Matrix& m) {
  if (m.kind == casefile::kChar) {
    std::string s;
    for (double v : m.values) s.push_back(static_cast<char>(v));
    return dyadfit::Array::string(s);
  }
  return dyadfit::Array::matrix(static_cast<std::size_t>(m.rows), static_cast<std::size_t>(m.cols), m.values);
}

casefile::Outcome run(const casefile::Call& call) {
  dyadfit::EntryFn entry = call.module == "tessik"    ? dyadfit::tessik
                           : call.module == "brindel" ? dyadfit::brindel
                                                      : dyadfit::quarlo;
  std::vector<dyadfit::Array> inputs;
  for (const Matrix& m : call.inputs) inputs.push_back(toArray(m));
  casefile::Outcome outcome;
  try {
    std::vector<dyadfit::Array> results = dyadfit::callEntry(entry, inputs, call.nlhs);
    for (std::size_t k = 0; k < results.size(); ++k) {
      Matrix m{casefile::kOmitted, 0, 0, {}};
      if (call.keep & (1u << k))
        m = Matrix{casefile::kDouble, static_cast<std::int32_t>(results[k].rows),
                   static_cast<std::int32_t>(results[k].cols), results[k].values};
      outcome.results.push_back(m);
    }
  } catch (const dyadfit::Error& e) {
    outcome.failed = true;
    outcome.message = e.what();
  }
  return outcome;
}

struct Case {
  const char* name;
  casefile::Call call;
};

// Labels come from the C library's rand, which differs between the two
// runtimes: those results are left out of the comparison.
std::vector<Case> cases() {
  const std::uint32_t noLabels6 = 0x3fu & ~(1u << 2) & ~(1u << 5);
  return {
      {"tessik_est_squares", {"tessik", 3, 0x5u, {image(32, 32, 1), scalar(1.5)}}},
      {"tessik_preaveraged", {"tessik", 1, 0x1u, {image(16, 16, 2), scalar(0.75), scalar(2)}}},
      {"brindel_all", {"brindel", 6, noLabels6, {image(16, 16, 3)}}},
      {"brindel_poisson", {"brindel", 1, 0x1u, {image(16, 32, 4), scalar(2), text("Poisson"), scalar(1), scalar(1.5)}}},
      {"tessik_no_penalty", {"tessik", 1, 0x1u, {image(8, 8, 6)}}},
      {"tessik_char_image", {"tessik", 1, 0x1u, {text("abcd"), scalar(1)}}},
      {"tessik_too_many_outputs", {"tessik", 4, 0xfu, {image(8, 8, 7), scalar(1)}}},
      {"brindel_rows_not_dyadic", {"brindel", 1, 0x1u, {image(12, 16, 8)}}},
      {"brindel_bad_noise", {"brindel", 1, 0x1u, {image(16, 16, 9), scalar(1), text("Laplace")}}},
  };
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: mex_cases DIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  for (const Case& c : cases()) {
    const std::string base = dir + "/" + c.name;
    if (!casefile::writeCall((base + ".call").c_str(), c.call) ||
        !casefile::writeOutcome((base + ".want").c_str(), run(c.call))) {
      std::fprintf(stderr, "mex_cases: cannot write %s\n", base.c_str());
      return 1;
    }
    std::printf("%s\n", c.name);
  }
  return 0;
}
