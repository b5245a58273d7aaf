// SPDX-License-Identifier: BSD-3-Clause
#include "dyadic/large_arrays.h"

#include <algorithm>
#include <cstdint>

#include "dyadic/parallel.h"
#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace dyadfit {

void adviseLargePages(const void* p, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t kLarge = std::uintptr_t{2} << 20;
  // Only whole large pages inside the array: its ends may share pages with
  // other allocations. Below a few of them the faults saved do not pay.
  if (!p || bytes < 4 * kLarge) return;
  const std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(p) + kLarge - 1) & ~(kLarge - 1);
  const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(kLarge - 1);
  // Advice only: where it is refused, the pages are small as before.
  if (end > begin) (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)p;
  (void)bytes;
#endif
}

void touchPages(void* p, std::size_t bytes) {
  constexpr std::size_t kPage = 4096, kItem = std::size_t{2} << 20;
  if (!p || bytes < 4 * kItem || threadCount() < 2) return;
  char* begin = static_cast<char*>(p);
  parallelFor((bytes + kItem - 1) / kItem, [&](std::size_t item) {
    const std::size_t end = std::min(bytes, (item + 1) * kItem);
    for (std::size_t at = item * kItem; at < end; at += kPage) static_cast<volatile char*>(begin)[at] = 0;
  });
}

}  // namespace dyadfit
