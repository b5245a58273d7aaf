// SPDX-License-Identifier: BSD-3-Clause
// The narrow interface between the module entries and whatever hosts them.
//
// Entries see their inputs through read-only `Input` views and create their
// results through `Outputs`. A failed check throws `Error` carrying the exact
// message the user sees; nothing else reports failure.
#pragma once

#include <cstddef>
#include <span>
#include <stdexcept>
#include <string>

namespace dyadfit {

class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Storage class of a host array, as far as the entries need to tell them apart.
enum class ClassKind { Double, Single, Integer, Logical, Char, Cell, Struct, Other };

class Input {
 public:
  virtual ~Input() = default;
  virtual std::size_t rows() const = 0;
  // Columns; for arrays of more than two dimensions, the product of all
  // trailing dimensions, as the host reports it.
  virtual std::size_t cols() const = 0;
  virtual std::size_t dims() const = 0;
  virtual ClassKind kind() const = 0;
  virtual bool isComplex() const = 0;
  virtual bool isSparse() const = 0;
  // The first element as a double (the host's scalar read). Only meaningful
  // for numeric, logical and char arrays.
  virtual double scalar() const = 0;
  // The real data of a full double array, column-major; null otherwise.
  virtual const double* doubles() const = 0;
  // Copies the rows()*cols() values of a real full numeric or logical array
  // into out, converted to double, column-major.
  virtual void toDoubles(double* out) const = 0;
  // The characters of a char array, column-major.
  virtual std::string text() const = 0;

  bool isDouble() const { return kind() == ClassKind::Double; }
  bool isChar() const { return kind() == ClassKind::Char; }
  bool isNumericOrLogical() const {
    ClassKind k = kind();
    return k == ClassKind::Double || k == ClassKind::Single || k == ClassKind::Integer || k == ClassKind::Logical;
  }
  // A real, full, two-dimensional numeric or logical array.
  bool isRealMatrix() const { return isNumericOrLogical() && !isComplex() && !isSparse() && dims() == 2; }
  bool hasColumns() const { return cols() != 0; }
};

using Inputs = std::span<const Input* const>;

// A real matrix held by the host: column-major data, rows x cols.
struct MatrixView {
  const double* data = nullptr;
  std::size_t rows = 0;
  std::size_t cols = 0;
};

class Outputs {
 public:
  virtual ~Outputs() = default;
  // A new zero-filled real rows x cols matrix for result slot `slot` (0-based).
  // A binding keeps only the slots the caller asked for; the rest are scratch.
  virtual double* create(int slot, std::size_t rows, std::size_t cols) = 0;
  // The distinct rows of a real rows x cols column-major matrix, in ascending
  // lexicographic order, placed in result slot `slot`.
  virtual MatrixView distinctRows(int slot, const double* data, std::size_t rows, std::size_t cols) = 0;
  // How many results the caller asked for (at least one).
  virtual int requested() const = 0;
};

inline constexpr const char* kMsgTooManyOutputs = "Too many output arguments.";

}  // namespace dyadfit
