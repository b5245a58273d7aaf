// SPDX-License-Identifier: BSD-3-Clause
#include "draw/draw_partition.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

#include "dyadic/parallel.h"
#include "host/host.h"

namespace dyadfit {
namespace {

// Beyond this many values (8 GiB of doubles) a picture is refused, not allocated.
constexpr std::size_t kMaxPictureValues = std::size_t{1} << 30;

// What each picture pixel shows: grey, an outline or a cut. Lines are
// marked first and blended once, so that a pixel two squares share is not
// darkened twice.
enum Mark : unsigned char { kGrey = 0, kOutline = 1, kCut = 2 };

class Marks {
 public:
  Marks(std::size_t rows, std::size_t cols) : rows_(rows), cols_(cols), m_(rows * cols, kGrey) {}
  // Rows and columns wrap, as squares of the shifted pruning do.
  void set(long long r, long long c, Mark mark) { m_[wrap(r, rows_) + rows_ * wrap(c, cols_)] = mark; }
  Mark at(std::size_t k) const { return static_cast<Mark>(m_[k]); }

 private:
  static std::size_t wrap(long long v, std::size_t n) {
    const long long m = static_cast<long long>(n);
    return static_cast<std::size_t>(((v % m) + m) % m);
  }
  std::size_t rows_, cols_;
  std::vector<unsigned char> m_;
};

bool validColour(const std::array<double, 3>& rgb) {
  return std::all_of(rgb.begin(), rgb.end(), [](double v) { return v >= 0.0 && v <= 1.0; });
}

}  // namespace

void displayRange(const double* grey, std::size_t count, double& lo, double& hi) {
  lo = std::numeric_limits<double>::infinity();
  hi = -lo;
  for (std::size_t k = 0; k < count; ++k)
    if (std::isfinite(grey[k])) {
      lo = std::min(lo, grey[k]);
      hi = std::max(hi, grey[k]);
    }
  if (lo > hi) {
    lo = 0.0;
    hi = 1.0;
  } else if (lo == hi) {
    const double v = lo;
    lo = v - 1;
    hi = v + 1;
    if (!(lo < hi)) {  // a unit is lost at this magnitude
      lo = std::nextafter(v, -std::numeric_limits<double>::infinity());
      hi = std::nextafter(v, std::numeric_limits<double>::infinity());
      if (!std::isfinite(lo)) lo = v;
      if (!std::isfinite(hi)) hi = v;
    }
  }
}

std::vector<double> drawPartition(const double* grey, std::size_t rows, std::size_t cols, const Partition& partition,
                                  const DrawOptions& options) {
  if (rows != partition.rows || cols != partition.cols) throw Error("The partition is not of the image's size.");
  if (options.scale < 1) throw Error("The scale must be a positive integer.");
  if (!(std::isfinite(options.lo) && std::isfinite(options.hi) && options.lo < options.hi))
    throw Error("The display range must be two finite values, lo < hi.");
  if (!validColour(options.outline) || !validColour(options.cut)) throw Error("Colours must lie in [0, 1].");
  if (!(options.alpha >= 0.0 && options.alpha <= 1.0)) throw Error("The line opacity must lie in [0, 1].");
  const std::size_t s = static_cast<std::size_t>(options.scale);
  if (rows > 0 && cols > 0 &&
      (s > kMaxPictureValues / rows || s > kMaxPictureValues / cols || (rows * s) > kMaxPictureValues / (cols * s) / 3))
    throw Error("The picture would be too large.");
  const std::size_t R = rows * s, C = cols * s, plane = R * C;
  const std::size_t smaller = std::min(rows, cols);
  for (std::size_t q = 0; q < partition.squares.size(); ++q) {
    const PartitionSquare& sq = partition.squares[q];
    if (sq.side < 1 || static_cast<std::size_t>(sq.side) > smaller || sq.row < 0 ||
        static_cast<std::size_t>(sq.row) >= rows || sq.col < 0 || static_cast<std::size_t>(sq.col) >= cols)
      throw Error("Square " + std::to_string(q + 1) + " of the partition is not a square of the image.");
  }

  std::vector<double> out(3 * plane);
  // A range wider than the largest double is taken in halves.
  const bool halves = !std::isfinite(options.hi - options.lo);
  const double lo = halves ? options.lo / 2 : options.lo;
  const double span = halves ? options.hi / 2 - options.lo / 2 : options.hi - options.lo;
  // A large enlargement takes long: the user may stop it between columns.
  for (std::size_t c = 0; c < C; ++c) {
    interruptionPoint();
    for (std::size_t r = 0; r < R; ++r) {
      const double v = grey[r / s + rows * (c / s)];
      const double g = std::isnan(v) ? 0.0 : std::clamp(((halves ? v / 2 : v) - lo) / span, 0.0, 1.0);
      const std::size_t k = r + R * c;
      out[k] = out[k + plane] = out[k + 2 * plane] = g;
    }
  }

  Marks marks(R, C);
  const long long ls = options.scale, lr = static_cast<long long>(R), lc = static_cast<long long>(C);
  for (const PartitionSquare& sq : partition.squares) {
    interruptionPoint();
    const long long r0 = sq.row * ls, c0 = sq.col * ls, len = sq.side * ls;
    // The far edges lie on the first row and column past the block, which
    // the neighbour there shares; on the image's border, on its last ones.
    const long long r1 = r0 + len == lr ? lr - 1 : r0 + len, c1 = c0 + len == lc ? lc - 1 : c0 + len;
    for (long long c = c0; c <= c1; ++c) {
      marks.set(r0, c, kOutline);
      marks.set(r1, c, kOutline);
    }
    for (long long r = r0; r <= r1; ++r) {
      marks.set(r, c0, kOutline);
      marks.set(r, c1, kOutline);
    }
  }
  for (const PartitionSquare& sq : partition.squares) {
    if (!sq.split || !sq.crosses) continue;
    const long long r0 = sq.row * ls, c0 = sq.col * ls, len = sq.side * ls;
    // The picture pixel holding a point, kept inside the square's block.
    auto pixel = [&](double v, long long first) {
      const double p = std::floor(v * static_cast<double>(ls));
      if (!(p >= static_cast<double>(first))) return first;
      return p >= static_cast<double>(first + len - 1) ? first + len - 1 : static_cast<long long>(p);
    };
    long long r = pixel(sq.from.row, r0), c = pixel(sq.from.col, c0);
    const long long r1 = pixel(sq.to.row, r0), c1 = pixel(sq.to.col, c0);
    const long long dr = std::llabs(r1 - r), dc = -std::llabs(c1 - c);
    const long long sr = r < r1 ? 1 : -1, sc = c < c1 ? 1 : -1;
    long long err = dr + dc;
    for (;;) {
      marks.set(r, c, kCut);
      if (r == r1 && c == c1) break;
      const long long e2 = 2 * err;
      if (e2 >= dc) {
        err += dc;
        r += sr;
      }
      if (e2 <= dr) {
        err += dr;
        c += sc;
      }
    }
  }

  const double a = options.alpha;
  for (std::size_t k = 0; k < plane; ++k) {
    if (k % (std::size_t{1} << 20) == 0) interruptionPoint();
    const Mark m = marks.at(k);
    if (m == kGrey) continue;
    const std::array<double, 3>& rgb = m == kOutline ? options.outline : options.cut;
    for (std::size_t ch = 0; ch < 3; ++ch) {
      double& v = out[k + plane * ch];
      v = a * rgb[ch] + (1 - a) * v;
    }
  }
  return out;
}

std::string partitionLegend(std::size_t squares, std::size_t cuts, const DrawOptions& options) {
  std::string line = "dyadic partition: " + std::to_string(squares) + (squares == 1 ? " square (" : " squares (") +
                     options.outlineName + ")";
  if (cuts > 0) line += ", " + std::to_string(cuts) + " split by a cut (" + options.cutName + ")";
  return line;
}

std::string partitionLegend(const Partition& partition, const DrawOptions& options) {
  const std::size_t cuts =
      static_cast<std::size_t>(std::count_if(partition.squares.begin(), partition.squares.end(),
                                             [](const PartitionSquare& s) { return s.split && s.crosses; }));
  return partitionLegend(partition.squares.size(), cuts, options);
}

}  // namespace dyadfit
