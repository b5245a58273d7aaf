// SPDX-License-Identifier: BSD-3-Clause
// Arrays of whole images. A fresh array is first touched a page at a time,
// and with 4 KiB pages the faults cost a good part of a denoise (a sixth of
// it on a 2048 x 2048 image). Where the system hands out 2 MiB pages on
// request (Linux's transparent huge pages), fresh arrays of several MiB ask
// for them before their first touch; elsewhere these are plain vectors.
#pragma once
#include <cstddef>
#include <vector>

namespace dyadfit {

// Asks for large pages under [p, p + bytes), where the system has them.
void adviseLargePages(const void* p, std::size_t bytes);

// v resized to n elements (new ones value-initialised, the old kept); fresh
// storage, when it needs some, asks for large pages before it is touched.
// Writes one byte in every page of fresh storage [p, p + bytes), spread over
// the threads: the kernel clears a new page on its first touch, and on one
// thread that clearing held up the others. Small arrays are left alone.
// Only for storage that holds no values yet.
void touchPages(void* p, std::size_t bytes);

template <typename T>
void resizeLarge(std::vector<T>& v, std::size_t n) {
  if (n > v.capacity()) {
    std::vector<T> fresh;
    fresh.reserve(n);
    adviseLargePages(fresh.data(), n * sizeof(T));
    touchPages(fresh.data(), n * sizeof(T));
    fresh.assign(v.begin(), v.end());
    v.swap(fresh);
  }
  v.resize(n);
}

// A new array of n zeros, and a new copy of [p, p + n).
inline std::vector<double> largeZeros(std::size_t n) {
  std::vector<double> v;
  resizeLarge(v, n);
  return v;
}
inline std::vector<double> largeCopy(const double* p, std::size_t n) {
  std::vector<double> v;
  v.reserve(n);
  adviseLargePages(v.data(), n * sizeof(double));
  touchPages(v.data(), n * sizeof(double));
  v.assign(p, p + n);
  return v;
}

}  // namespace dyadfit
