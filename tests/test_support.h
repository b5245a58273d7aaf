// SPDX-License-Identifier: BSD-3-Clause
// Helpers shared by the C++ test suites.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "host/standalone.h"
#include "dyadic/dyadic_entry.h"
#include "dyadic/grid.h"

namespace dyadfit::test {

// An M x N grid with [i][j] = value(i, j).
inline Grid makeGrid(int M, int N, const std::function<double(int, int)>& value) {
  Grid g(M, N);
  for (int i = 0; i < M; ++i)
    for (int j = 0; j < N; ++j) g[i][j] = value(i, j);
  return g;
}

// The message of the Error an entry raises on these inputs, or "<no error>".
inline std::string entryError(EntryFn entry, const std::vector<Array>& in, int nlhs = 1) {
  try {
    callEntry(entry, in, nlhs);
  } catch (const Error& e) {
    return e.what();
  }
  return "<no error>";
}

inline void expectError(const std::function<void()>& f, const std::string& message) {
  try {
    f();
    ADD_FAILURE() << "no error, expected: " << message;
  } catch (const Error& e) {
    EXPECT_EQ(std::string(e.what()), message);
  }
}

// The parameters an entry derives from these inputs, without running a stage.
inline EntryParameters entryParameters(const EntryModel& model, const std::vector<Array>& in) {
  std::vector<ArrayInput> views(in.begin(), in.end());
  std::vector<const Input*> ptrs;
  for (const ArrayInput& v : views) ptrs.push_back(&v);
  std::vector<double> values;
  return checkDyadicInputs(model, Inputs(ptrs.data(), ptrs.size()), &values);
}

}  // namespace dyadfit::test
