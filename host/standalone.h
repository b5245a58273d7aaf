// SPDX-License-Identifier: BSD-3-Clause
// Standalone binding: the project's own arrays, for C++ callers, the command
// line and the tests. Distinct rows are computed natively; errors surface as
// dyadfit::Error exceptions.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

#include "dyadic/partition.h"
#include "host/host.h"

namespace dyadfit {

// A host-like array: column-major values converted to double (char arrays
// keep their character codes), plus the attributes the entries look at.
struct Array {
  ClassKind kind = ClassKind::Double;
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::size_t dims = 2;
  bool complex = false;
  bool sparse = false;
  std::vector<double> values;

  static Array matrix(std::size_t rows, std::size_t cols, std::vector<double> columnMajor);
  static Array zeros(std::size_t rows, std::size_t cols);
  static Array scalar(double v);
  static Array string(const std::string& s);
  static Array empty(std::size_t rows = 0, std::size_t cols = 0);
  static Array ofKind(ClassKind kind, std::size_t rows, std::size_t cols, std::vector<double> columnMajor);

  std::size_t size() const { return rows * cols; }
  double& operator()(std::size_t r, std::size_t c) { return values[r + rows * c]; }
  double operator()(std::size_t r, std::size_t c) const { return values[r + rows * c]; }
};

// Read-only view of an Array as a host input.
class ArrayInput final : public Input {
 public:
  explicit ArrayInput(const Array& a) : a_(a) {}
  std::size_t rows() const override { return a_.rows; }
  std::size_t cols() const override { return a_.cols; }
  std::size_t dims() const override { return a_.dims; }
  ClassKind kind() const override { return a_.kind; }
  bool isComplex() const override { return a_.complex; }
  bool isSparse() const override { return a_.sparse; }
  double scalar() const override;
  const double* doubles() const override;
  void toDoubles(double* out) const override;
  std::string text() const override;

 private:
  const Array& a_;
};

// Result slots backed by Arrays; slots past max(nlhs, 1) are computed but dropped.
class ArrayOutputs final : public Outputs {
 public:
  explicit ArrayOutputs(int nlhs);
  double* create(int slot, std::size_t rows, std::size_t cols) override;
  MatrixView distinctRows(int slot, const double* data, std::size_t rows, std::size_t cols) override;
  int requested() const override { return static_cast<int>(kept_); }
  std::vector<Array> take();

 private:
  std::size_t kept_;
  std::vector<Array> slots_;
};

// Distinct rows of a rows x cols column-major matrix, sorted ascending
// lexicographically, as a column-major (D x cols) block.
std::vector<double> distinctSortedRows(const double* data, std::size_t rows, std::size_t cols, std::size_t* distinct);

using EntryFn = void (*)(Inputs, Outputs&);

// Runs an entry as the host would: returns the first max(nlhs, 1) results.
// The call stops with Error("Interrupted.") soon after *stop becomes true
// (when given) or requestInterrupt() is called; nothing of it is left behind.
std::vector<Array> callEntry(EntryFn entry, const std::vector<Array>& inputs, int nlhs,
                             const std::atomic<bool>* stop = nullptr);

// The same for the entries that also fill a Partition (tessikPartitioned,
// brindelPartitioned, quarloPartitioned): the results are those of the plain
// entry, and `partition` describes the final partition.
using PartitionedEntryFn = void (*)(Inputs, Outputs&, Partition&);
std::vector<Array> callEntry(PartitionedEntryFn entry, const std::vector<Array>& inputs, int nlhs, Partition& partition,
                             const std::atomic<bool>* stop = nullptr);

// Asks every running call, and every later one, to stop until clearInterrupt().
// Safe from any thread and from a signal handler (one lock-free atomic store).
void requestInterrupt() noexcept;
void clearInterrupt() noexcept;
bool interruptRequested() noexcept;

}  // namespace dyadfit
