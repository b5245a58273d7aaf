// SPDX-License-Identifier: BSD-3-Clause
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "constant/tessik_entry.h"
#include "dyadic/parallel.h"
#include "host/standalone.h"
#include "platelet/quarlo_entry.h"
#include "tests/test_support.h"
#include "wedgelet/brindel_entry.h"

namespace dyadfit {
namespace {

using test::expectError;

Array rampImage(std::size_t rows, std::size_t cols) {
  Array a = Array::zeros(rows, cols);
  for (std::size_t k = 0; k < a.size(); ++k) a.values[k] = double((k * 37) % 101);
  return a;
}

TEST(DistinctSortedRows, RemovesDuplicatesAndSortsColumnByColumn) {
  // Rows, written row by row; stored column-major below.
  const std::vector<std::vector<double>> rows = {{2, 0, 1},  {1, 5, 0}, {1, -3, 2},   {2, 0, 1}, {-1, 9, 9},
                                                 {1, -3, 1}, {1, 5, 0}, {-0.0, 4, 4}, {0, 4, 4}, {1, -3, 1.5}};
  const std::size_t n = rows.size();
  std::vector<double> data(3 * n);
  for (std::size_t r = 0; r < n; ++r)
    for (std::size_t c = 0; c < 3; ++c) data[r + n * c] = rows[r][c];

  std::size_t d = 99;
  const std::vector<double> out = distinctSortedRows(data.data(), n, 3, &d);
  // -0 and 0 are the same value, so those two rows are one.
  const std::vector<std::vector<double>> expected = {{-1, 9, 9}, {0, 4, 4}, {1, -3, 1}, {1, -3, 1.5},
                                                     {1, -3, 2}, {1, 5, 0}, {2, 0, 1}};
  ASSERT_EQ(d, expected.size());
  ASSERT_EQ(out.size(), 3 * d);
  for (std::size_t f = 0; f < d; ++f)
    for (std::size_t c = 0; c < 3; ++c) EXPECT_EQ(out[f + d * c], expected[f][c]) << "row " << f << " col " << c;

  d = 99;
  EXPECT_TRUE(distinctSortedRows(nullptr, 0, 3, &d).empty());
  EXPECT_EQ(d, 0u);
}

// Square lists as the entries stack them: a sorted list, then one rotated by
// a shift (two sorted runs) sharing many rows with it; and the same rows
// shuffled, past the run merging.
TEST(DistinctSortedRows, SquareListsOfIntegersInRunsOrShuffled) {
  std::vector<std::array<double, 3>> rows;
  for (int i = 0; i < 64; i += 2)
    for (int j = 0; j < 32; j += 2) rows.push_back({double(i), double(j), 2.0});
  const std::size_t first = rows.size();
  for (std::size_t r = 0; r < first; ++r) {
    const auto& a = rows[(r + first / 3) % first];
    rows.push_back({a[0], a[1], r % 5 == 0 ? 4.0 : 2.0});
  }
  const std::set<std::array<double, 3>> expected(rows.begin(), rows.end());
  for (int pass = 0; pass < 2; ++pass) {
    if (pass == 1)
      for (std::size_t r = 0; r < rows.size(); ++r) std::swap(rows[r], rows[(r * 7919) % rows.size()]);
    const std::size_t n = rows.size();
    std::vector<double> data(3 * n);
    for (std::size_t r = 0; r < n; ++r)
      for (std::size_t c = 0; c < 3; ++c) data[r + n * c] = rows[r][c];
    std::size_t d = 0;
    const std::vector<double> out = distinctSortedRows(data.data(), n, 3, &d);
    ASSERT_EQ(d, expected.size());
    std::size_t f = 0;
    for (const auto& e : expected) {
      for (std::size_t c = 0; c < 3; ++c) ASSERT_EQ(out[f + d * c], e[c]) << "pass " << pass << " row " << f;
      ++f;
    }
  }
}

TEST(ArrayOutputs, KeepsAtLeastOneAndAtMostNlhsSlots) {
  ArrayOutputs none(0);
  for (int slot = 0; slot < 6; ++slot) none.create(slot, 1, std::size_t(slot) + 1)[0] = slot + 0.5;
  std::vector<Array> kept = none.take();
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].cols, 1u);
  EXPECT_EQ(kept[0].values[0], 0.5);

  // Slots asked for but never created come back empty; the distinct rows land
  // in their slot and the returned view reads them.
  ArrayOutputs four(4);
  four.create(0, 2, 2);
  const std::vector<double> data = {3, 1, 3, 7, 2, 7};  // rows (3,7), (1,2), (3,7)
  const MatrixView view = four.distinctRows(3, data.data(), 3, 2);
  ASSERT_EQ(view.rows, 2u);
  EXPECT_EQ(view.data[0], 1.0);
  EXPECT_EQ(view.data[1], 3.0);
  EXPECT_EQ(view.data[2], 2.0);
  EXPECT_EQ(view.data[3], 7.0);
  kept = four.take();
  ASSERT_EQ(kept.size(), 4u);
  EXPECT_EQ(kept[1].size(), 0u);
  EXPECT_EQ(kept[2].size(), 0u);
  EXPECT_EQ(kept[3].rows, 2u);
  EXPECT_EQ(kept[3].values, (std::vector<double>{1, 3, 2, 7}));
}

TEST(CallEntry, ReturnsTheFirstMaxNlhsOneResults) {
  const Array img = rampImage(8, 8);
  const std::vector<Array> all = callEntry(brindel, {img}, 6);
  ASSERT_EQ(all.size(), 6u);
  for (int slot : {0, 1, 2, 4, 5}) {
    EXPECT_EQ(all[static_cast<std::size_t>(slot)].rows, 8u);
    EXPECT_EQ(all[static_cast<std::size_t>(slot)].cols, 8u);
  }
  EXPECT_EQ(all[3].cols, 3u);
  EXPECT_GT(all[3].rows, 0u);

  // The refined estimate draws nothing from rand, so every call agrees on it.
  for (int nlhs : {0, 1}) {
    const std::vector<Array> one = callEntry(brindel, {img}, nlhs);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].values, all[0].values);
  }
  EXPECT_EQ(callEntry(tessik, {img, Array::scalar(1.0)}, 3).size(), 3u);
}

TEST(CallEntry, ErrorsCarryTheExactMessage) {
  const Array img = rampImage(4, 4);
  const std::vector<Array> seven(7, img);
  expectError([&] { callEntry(brindel, seven, 1); }, "There are at most 6 input parameters allowed!");
  expectError([&] { callEntry(quarlo, seven, 6); }, "There are at most 6 input parameters allowed!");
  expectError([&] { callEntry(brindel, {}, 1); }, "There is at least 1 input parameter required!");
  // An empty string is still a character array: it reaches the name check.
  expectError(
      [&] {
        callEntry(brindel, {img, Array::empty(), Array::string("")}, 1);
      },
      "noiseType must be either 'Poisson' or 'Gaussian'.");
  expectError([&] { callEntry(brindel, {img, Array::empty(), Array::scalar(1)}, 1); }, "noiseType must be a string");
  expectError(
      [&] {
        callEntry(quarlo, {img, Array::empty(), Array::string("gaussian")}, 1);
      },
      "noiseType must be either 'Poisson' or 'Gaussian'.");
}

TEST(ArrayInput, ImageClassesReachTheEntryAsTheHostWouldPassThem) {
  const Array img = rampImage(4, 8);
  // Single data are read through the conversion path and give the same estimate.
  const Array single = Array::ofKind(ClassKind::Single, 4, 8, img.values);
  EXPECT_EQ(callEntry(quarlo, {single}, 1)[0].values, callEntry(quarlo, {img}, 1)[0].values);

  Array complex = img;
  complex.complex = true;
  expectError([&] { callEntry(brindel, {complex}, 1); }, "Input image must be a real numeric matrix.");
  expectError([&] { callEntry(quarlo, {Array::ofKind(ClassKind::Cell, 4, 4, std::vector<double>(16))}, 1); },
              "Input image must be a real numeric matrix.");
  // Not an image at all: its class is named before its shape is judged.
  expectError([&] { callEntry(brindel, {Array::string("abcdefgh")}, 1); },
              "Input image must be a real numeric matrix.");
  expectError([&] { callEntry(quarlo, {Array::ofKind(ClassKind::Cell, 6, 8, std::vector<double>(48))}, 1); },
              "Input image must be a real numeric matrix.");
  expectError([&] { callEntry(brindel, {Array::ofKind(ClassKind::Struct, 1, 1, {0})}, 1); },
              "Input image must be a real numeric matrix.");
  expectError([&] { callEntry(brindel, {img}, 7); }, "Too many output arguments.");

  EXPECT_THROW(Array::ofKind(ClassKind::Double, 2, 3, {1, 2}), std::invalid_argument);
  // Codes no character has are read without undefined conversions, and name no noise model.
  const Array odd = Array::ofKind(ClassKind::Char, 1, 3, {-1, 1e10, std::nan("")});
  EXPECT_EQ(ArrayInput(odd).text(), std::string(3, '\x7f'));
  expectError(
      [&] {
        callEntry(brindel, {img, Array::empty(), odd}, 1);
      },
      "noiseType must be either 'Poisson' or 'Gaussian'.");
}

// A run of a minute or more: 512x512, 10^8 candidate lines per square.
std::vector<Array> longBrindelCall() {
  Array img = rampImage(512, 512);
  for (std::size_t r = 0; r < 512; ++r)
    for (std::size_t c = 257; c < 512; ++c) img(r, c) += 200.0;
  return {img, Array::empty(), Array::string("Gaussian"), Array::empty(), Array::empty(), Array::scalar(1e8)};
}

TEST(Interrupt, ARequestStopsEveryCallUntilCleared) {
  const Array img = rampImage(16, 16);
  const std::vector<Array> before = callEntry(quarlo, {img}, 1);
  requestInterrupt();
  EXPECT_TRUE(interruptRequested());
  expectError([&] { callEntry(tessik, {img, Array::scalar(1.0)}, 3); }, "Interrupted.");
  expectError([&] { callEntry(brindel, {img}, 6); }, "Interrupted.");
  expectError([&] { callEntry(quarlo, {img}, 6); }, "Interrupted.");
  clearInterrupt();
  EXPECT_EQ(callEntry(quarlo, {img}, 1)[0].values, before[0].values);
}

std::size_t threadsOfThisProcess() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& task : std::filesystem::directory_iterator("/proc/self/task")) ++n;
  return n;
}

TEST(Interrupt, AnotherThreadStopsALongCallOnWorkerThreads) {
  const std::vector<Array> inputs = longBrindelCall();
  setThreadCount(2);
  // The request comes once a worker runs beside this thread and the stopper.
  std::atomic<bool> ended{false}, sawWorker{false};
  std::thread stopper([&] {
    while (!ended && !sawWorker) {
      sawWorker = threadsOfThisProcess() >= 3;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    requestInterrupt();
  });
  expectError([&] { callEntry(brindel, inputs, 6); }, "Interrupted.");
  ended = true;
  stopper.join();
  clearInterrupt();
  EXPECT_TRUE(sawWorker);

  // The caller's own flag, raised from another thread, ends the call too.
  std::atomic<bool> stop{false};
  std::thread own([&stop] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stop = true;
  });
  expectError([&] { callEntry(brindel, inputs, 6, &stop); }, "Interrupted.");
  own.join();
  setThreadCount(0);
}

TEST(Interrupt, ACallersFlagStopsOnlyItsOwnCall) {
  const Array img = rampImage(16, 16);
  std::atomic<bool> stop{true};
  expectError([&] { callEntry(brindel, {img}, 1, &stop); }, "Interrupted.");
  std::atomic<bool> go{false};
  EXPECT_EQ(callEntry(brindel, {img}, 1, &go)[0].values, callEntry(brindel, {img}, 1)[0].values);
}

}  // namespace
}  // namespace dyadfit
