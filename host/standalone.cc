// SPDX-License-Identifier: BSD-3-Clause
#include "host/standalone.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <utility>

#include "dyadic/parallel.h"

namespace dyadfit {
namespace {

std::atomic<bool> gInterrupt{false};
static_assert(std::atomic<bool>::is_always_lock_free, "requestInterrupt must be async-signal-safe");

// The caller's own flag, for the thread that runs the call: only that thread
// polls (worker threads see the call's shared stop flag).
thread_local const std::atomic<bool>* tCallStop = nullptr;

bool interruptPending() {
  return gInterrupt.load(std::memory_order_relaxed) || (tCallStop && tCallStop->load(std::memory_order_relaxed));
}

}  // namespace

void requestInterrupt() noexcept { gInterrupt.store(true, std::memory_order_relaxed); }
void clearInterrupt() noexcept { gInterrupt.store(false, std::memory_order_relaxed); }
bool interruptRequested() noexcept { return gInterrupt.load(std::memory_order_relaxed); }

Array Array::matrix(std::size_t rows, std::size_t cols, std::vector<double> columnMajor) {
  return ofKind(ClassKind::Double, rows, cols, std::move(columnMajor));
}

Array Array::zeros(std::size_t rows, std::size_t cols) {
  return matrix(rows, cols, std::vector<double>(rows * cols, 0.0));
}

Array Array::scalar(double v) { return matrix(1, 1, {v}); }

Array Array::string(const std::string& s) {
  std::vector<double> codes;
  codes.reserve(s.size());
  for (unsigned char ch : s) codes.push_back(ch);
  return ofKind(ClassKind::Char, s.empty() ? 0 : 1, s.size(), std::move(codes));
}

Array Array::empty(std::size_t rows, std::size_t cols) { return zeros(rows, cols); }

Array Array::ofKind(ClassKind kind, std::size_t rows, std::size_t cols, std::vector<double> columnMajor) {
  if (columnMajor.size() != rows * cols) throw std::invalid_argument("Array: value count does not match its size");
  Array a;
  a.kind = kind;
  a.rows = rows;
  a.cols = cols;
  a.values = std::move(columnMajor);
  return a;
}

double ArrayInput::scalar() const { return a_.values.empty() ? 0.0 : a_.values[0]; }

const double* ArrayInput::doubles() const {
  return (a_.kind == ClassKind::Double && !a_.complex && !a_.sparse) ? a_.values.data() : nullptr;
}

void ArrayInput::toDoubles(double* out) const { std::copy(a_.values.begin(), a_.values.end(), out); }

std::string ArrayInput::text() const {
  std::string s;
  if (a_.kind != ClassKind::Char) return s;
  // A code outside 0..255 (or not a number) has no character: it becomes one
  // that no option name holds, without converting an out-of-range double.
  for (double c : a_.values)
    s.push_back(c >= 0 && c <= 255 ? static_cast<char>(static_cast<unsigned char>(c)) : '\x7f');
  return s;
}

ArrayOutputs::ArrayOutputs(int nlhs) : kept_(static_cast<std::size_t>(std::max(nlhs, 1))) {}

double* ArrayOutputs::create(int slot, std::size_t rows, std::size_t cols) {
  if (slots_.size() <= static_cast<std::size_t>(slot)) slots_.resize(static_cast<std::size_t>(slot) + 1);
  slots_[static_cast<std::size_t>(slot)] = Array::zeros(rows, cols);
  return slots_[static_cast<std::size_t>(slot)].values.data();
}

MatrixView ArrayOutputs::distinctRows(int slot, const double* data, std::size_t rows, std::size_t cols) {
  std::size_t d = 0;
  std::vector<double> out = distinctSortedRows(data, rows, cols, &d);
  if (slots_.size() <= static_cast<std::size_t>(slot)) slots_.resize(static_cast<std::size_t>(slot) + 1);
  Array& a = slots_[static_cast<std::size_t>(slot)];
  a = Array::matrix(d, cols, std::move(out));
  return {a.values.data(), d, cols};
}

std::vector<Array> ArrayOutputs::take() {
  slots_.resize(kept_);
  return std::move(slots_);
}

namespace {

// Rows of two or three small non-negative integers (the squares' corners and
// sides) as one key each, the first column in the high bits: keys sort as
// the rows do. The entries' square lists arrive as a few sorted runs, which
// merge in linear time. False, and nothing written, for any other rows.
bool packedDistinctRows(const double* data, std::size_t rows, std::size_t cols, std::vector<double>& out,
                        std::size_t* distinct) {
  if (cols < 2 || cols > 3 || rows == 0) return false;
  const int bits = 64 / static_cast<int>(cols);
  const double limit = std::ldexp(1.0, bits);
  std::vector<std::uint64_t> keys(rows);
  std::atomic<bool> other{false};
  constexpr std::size_t kChunk = std::size_t{1} << 15;
  parallelFor((rows + kChunk - 1) / kChunk, [&](std::size_t chunk) {
    bool bad = false;
    for (std::size_t r = chunk * kChunk; r < std::min(rows, (chunk + 1) * kChunk); ++r) {
      std::uint64_t key = 0;
      for (std::size_t c = 0; c < cols; ++c) {
        const double v = data[r + rows * c];
        const bool inRange = v >= 0 && v < limit;
        const std::uint64_t whole = inRange ? static_cast<std::uint64_t>(v) : 0;
        // -0 stays with the general path, which keeps it as it is.
        bad = bad || !inRange || static_cast<double>(whole) != v || std::signbit(v);
        key = (key << bits) | whole;
      }
      keys[r] = key;
    }
    if (bad) other = true;
  });
  if (other) return false;
  std::vector<std::size_t> runs{0};
  for (std::size_t r = 1; r < rows; ++r)
    if (keys[r] < keys[r - 1]) runs.push_back(r);
  if (runs.size() > 8) {
    std::sort(keys.begin(), keys.end());
  } else {
    for (std::size_t k = 1; k < runs.size(); ++k)
      std::inplace_merge(keys.begin(), keys.begin() + static_cast<std::ptrdiff_t>(runs[k]),
                         k + 1 < runs.size() ? keys.begin() + static_cast<std::ptrdiff_t>(runs[k + 1]) : keys.end());
  }
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  const std::size_t d = keys.size();
  const std::uint64_t mask = (std::uint64_t{1} << bits) - 1;
  out.assign(d * cols, 0.0);
  for (std::size_t f = 0; f < d; ++f)
    for (std::size_t c = 0; c < cols; ++c)
      out[f + d * c] = static_cast<double>((keys[f] >> (bits * static_cast<int>(cols - 1 - c))) & mask);
  *distinct = d;
  return true;
}

}  // namespace

std::vector<double> distinctSortedRows(const double* data, std::size_t rows, std::size_t cols, std::size_t* distinct) {
  std::vector<double> packed;
  if (packedDistinctRows(data, rows, cols, packed, distinct)) return packed;
  std::vector<std::size_t> order(rows);
  std::iota(order.begin(), order.end(), std::size_t{0});
  auto less = [&](std::size_t a, std::size_t b) {
    for (std::size_t c = 0; c < cols; ++c) {
      double x = data[a + rows * c], y = data[b + rows * c];
      if (x < y) return true;
      if (y < x) return false;
    }
    return false;
  };
  auto equal = [&](std::size_t a, std::size_t b) { return !less(a, b) && !less(b, a); };
  std::stable_sort(order.begin(), order.end(), less);
  order.erase(std::unique(order.begin(), order.end(), equal), order.end());
  const std::size_t d = order.size();
  std::vector<double> out(d * cols);
  for (std::size_t f = 0; f < d; ++f)
    for (std::size_t c = 0; c < cols; ++c) out[f + d * c] = data[order[f] + rows * c];
  *distinct = d;
  return out;
}

namespace {

template <typename Run>
std::vector<Array> runCall(const std::vector<Array>& inputs, int nlhs, const std::atomic<bool>* stop, const Run& run) {
  // Restores the enclosing call's flag, should an entry ever run inside one.
  struct CallStop {
    const std::atomic<bool>* outer = tCallStop;
    explicit CallStop(const std::atomic<bool>* s) { tCallStop = s; }
    ~CallStop() { tCallStop = outer; }
  } callStop(stop);
  InterruptScope interruptible(interruptPending);
  std::vector<ArrayInput> views;
  views.reserve(inputs.size());
  for (const Array& a : inputs) views.emplace_back(a);
  std::vector<const Input*> ptrs;
  for (const ArrayInput& v : views) ptrs.push_back(&v);
  ArrayOutputs outs(nlhs);
  run(Inputs(ptrs.data(), ptrs.size()), outs);
  return outs.take();
}

}  // namespace

std::vector<Array> callEntry(EntryFn entry, const std::vector<Array>& inputs, int nlhs, const std::atomic<bool>* stop) {
  return runCall(inputs, nlhs, stop, [&](Inputs in, Outputs& out) { entry(in, out); });
}

std::vector<Array> callEntry(PartitionedEntryFn entry, const std::vector<Array>& inputs, int nlhs, Partition& partition,
                             const std::atomic<bool>* stop) {
  return runCall(inputs, nlhs, stop, [&](Inputs in, Outputs& out) { entry(in, out, partition); });
}

}  // namespace dyadfit
