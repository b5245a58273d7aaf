// SPDX-License-Identifier: BSD-3-Clause
// Grid: one contiguous block of doubles with [i][j] access (outer index i,
// inner index j), zero-filled on creation. Stages take the sizes they work on
// as explicit arguments; the Grid keeps its own for bounds and copies.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "dyadic/large_arrays.h"

namespace dyadfit {

class Grid {
 public:
  Grid() = default;
  Grid(int outer, int inner)
      : outer_(outer),
        inner_(inner),
        v_(largeZeros(static_cast<std::size_t>(outer) * static_cast<std::size_t>(inner))) {}
  // Takes over outer*inner values laid out outer index major.
  Grid(int outer, int inner, std::vector<double>&& values) : outer_(outer), inner_(inner), v_(std::move(values)) {
    resizeLarge(v_, static_cast<std::size_t>(outer) * static_cast<std::size_t>(inner));
  }

  double* operator[](int i) { return v_.data() + static_cast<std::size_t>(i) * static_cast<std::size_t>(inner_); }
  const double* operator[](int i) const {
    return v_.data() + static_cast<std::size_t>(i) * static_cast<std::size_t>(inner_);
  }

  // Makes the grid outer x inner for reuse: when it already holds that many
  // values they are kept as they are (whoever reshapes overwrites them all),
  // else it is zero-filled afresh.
  void reshape(int outer, int inner) {
    const std::size_t n = static_cast<std::size_t>(outer) * static_cast<std::size_t>(inner);
    if (n != v_.size()) largeZeros(n).swap(v_);
    outer_ = outer;
    inner_ = inner;
  }

  // Hands the values over, leaving the grid empty.
  std::vector<double> take() {
    outer_ = inner_ = 0;
    return std::move(v_);
  }

  int outer() const { return outer_; }
  int inner() const { return inner_; }
  std::size_t size() const { return v_.size(); }
  double* data() { return v_.data(); }
  const double* data() const { return v_.data(); }

 private:
  int outer_ = 0;
  int inner_ = 0;
  std::vector<double> v_;
};

// A square of the dyadic partition: first outer index, first inner index, side.
struct DyadicSquare {
  double top = 0.0;
  double left = 0.0;
  double side = 0.0;
};

}  // namespace dyadfit
