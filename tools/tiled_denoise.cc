// SPDX-License-Identifier: BSD-3-Clause
#include "tools/tiled_denoise.h"

#include <tiffio.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <ostream>

#include "denoise/colour.h"
#include "dyadic/dyadic_entry.h"
#include "dyadic/parallel.h"
#include "host/standalone.h"
#include "platelet/quarlo_entry.h"
#include "tools/float_files.h"
#include "tools/image_io.h"
#include "wedgelet/brindel_entry.h"

namespace dyadfit::cli {

namespace {

constexpr const char* kTileReads =
    "--tile reads a one-page grey or RGB TIFF of 8-, 16- or 32-bit integer or 32- or 64-bit float samples";
// The sample windows the noise level, the camera and the second stage are
// decided on: as many, and of the side, of the Dask path's.
constexpr int kSampleTiles = 16;
constexpr std::size_t kSampleSide = 512;
// The side of the window the second stage is decided on.
constexpr std::size_t kGuardSide = 2048;
constexpr int kDefaultShifts = 4;
constexpr int kMaxShifts = 1024;

std::string gTiffError;
void keepError(const char*, const char* format, va_list args) {
  if (!gTiffError.empty()) return;
  char text[256];
  std::vsnprintf(text, sizeof text, format, args);
  gTiffError = text;
}
void dropWarning(const char*, const char*, va_list) {}

Failure readFailure(const std::string& path, const std::string& what) {
  return Failure{path + ": TIFF not readable: " + (gTiffError.empty() ? what : gTiffError)};
}

std::size_t nextPowerOfTwo(std::size_t n) {
  std::size_t p = 2;
  while (p < n) p *= 2;
  return p;
}

// Rows of a TIFF, a band at a time, as doubles.
class TiffRows {
 public:
  explicit TiffRows(const std::string& path) : path_(path) {
    TIFFSetErrorHandler(keepError);
    TIFFSetWarningHandler(dropWarning);
    gTiffError.clear();
    // A name is needed: the file is read in parts, by seeking.
    if (path == "-") throw Failure{"--tile reads a TIFF file by name, not standard input"};
    std::ifstream probe(path, std::ios::binary);
    if (!probe) throw Failure{path + ": cannot be read"};
    char magic[4] = {};
    probe.read(magic, 4);
    const bool tiff = probe.gcount() == 4 && ((magic[0] == 'I' && magic[1] == 'I' && magic[2] == 42 && magic[3] == 0) ||
                                              (magic[0] == 'M' && magic[1] == 'M' && magic[2] == 0 && magic[3] == 42) ||
                                              (magic[0] == 'I' && magic[1] == 'I' && magic[2] == 43 && magic[3] == 0) ||
                                              (magic[0] == 'M' && magic[1] == 'M' && magic[2] == 0 && magic[3] == 43));
    if (!tiff) throw Failure{path + ": not a TIFF; --tile reads TIFF only, the one format read here in parts"};
    tif_ = TIFFOpen(path.c_str(), "r");
    if (tif_ == nullptr) throw readFailure(path, "cannot be opened");
    std::uint32_t width = 0, height = 0;
    std::uint16_t photometric = 0, planar = PLANARCONFIG_CONTIG;
    if (!TIFFGetField(tif_, TIFFTAG_IMAGEWIDTH, &width) || !TIFFGetField(tif_, TIFFTAG_IMAGELENGTH, &height))
      throw readFailure(path, "no image size");
    TIFFGetFieldDefaulted(tif_, TIFFTAG_SAMPLESPERPIXEL, &spp_);
    TIFFGetFieldDefaulted(tif_, TIFFTAG_BITSPERSAMPLE, &bits_);
    TIFFGetFieldDefaulted(tif_, TIFFTAG_SAMPLEFORMAT, &format_);
    TIFFGetFieldDefaulted(tif_, TIFFTAG_PLANARCONFIG, &planar);
    if (!TIFFGetField(tif_, TIFFTAG_PHOTOMETRIC, &photometric)) photometric = 0xffff;
    if (format_ == SAMPLEFORMAT_VOID) format_ = SAMPLEFORMAT_UINT;
    const bool samplesKnown =
        ((format_ == SAMPLEFORMAT_UINT || format_ == SAMPLEFORMAT_INT) && (bits_ == 8 || bits_ == 16 || bits_ == 32)) ||
        (format_ == SAMPLEFORMAT_IEEEFP && (bits_ == 32 || bits_ == 64));
    const bool grey = photometric == PHOTOMETRIC_MINISBLACK && spp_ == 1;
    const bool rgb = photometric == PHOTOMETRIC_RGB && spp_ == 3;
    if (!samplesKnown || !(grey || rgb) || planar != PLANARCONFIG_CONTIG)
      throw Failure{std::string(kTileReads) + " in one plane; " + path + " is not one"};
    if (TIFFNumberOfDirectories(tif_) != 1)
      throw Failure{std::string(kTileReads) + "; " + path + " has " + std::to_string(TIFFNumberOfDirectories(tif_)) +
                    " pages"};
    if (width < 2 || height < 2) throw Failure{path + ": the image must have at least 2 rows and 2 columns"};
    rows = height;
    cols = width;
    channels = spp_;
    cls = format_ == SAMPLEFORMAT_IEEEFP ? (bits_ == 32 ? ValueClass::Single : ValueClass::Double)
          : format_ == SAMPLEFORMAT_INT  ? (bits_ == 8    ? ValueClass::Int8
                                            : bits_ == 16 ? ValueClass::Int16
                                                          : ValueClass::Int32)
                                         : (bits_ == 8    ? ValueClass::UInt8
                                            : bits_ == 16 ? ValueClass::UInt16
                                                          : ValueClass::UInt32);
    rowBytes_ = cols * spp_ * (bits_ / 8);
    tiled_ = TIFFIsTiled(tif_);
    if (tiled_) {
      TIFFGetField(tif_, TIFFTAG_TILEWIDTH, &tw_);
      TIFFGetField(tif_, TIFFTAG_TILELENGTH, &th_);
      if (tw_ == 0 || th_ == 0 || TIFFTileSize(tif_) <= 0) throw readFailure(path, "bad tiles");
    } else {
      TIFFGetFieldDefaulted(tif_, TIFFTAG_ROWSPERSTRIP, &rps_);
      rps_ = std::min<std::uint32_t>(rps_, height);
      if (rps_ == 0 || TIFFStripSize(tif_) <= 0) throw readFailure(path, "bad strips");
    }
  }
  ~TiffRows() {
    if (tif_) TIFFClose(tif_);
  }
  TiffRows(const TiffRows&) = delete;
  TiffRows& operator=(const TiffRows&) = delete;

  std::size_t rows = 0, cols = 0, channels = 1;
  ValueClass cls = ValueClass::Double;

  // Rows [r0, r1), columns [c0, c1) as `channels` column-major planes.
  std::vector<double> read(std::size_t r0, std::size_t r1, std::size_t c0, std::size_t c1) {
    const std::size_t h = r1 - r0, w = c1 - c0;
    std::vector<unsigned char> raw(h * rowBytes_);
    if (tiled_) {
      std::vector<unsigned char> tile(static_cast<std::size_t>(TIFFTileSize(tif_)));
      const std::size_t tileRow = static_cast<std::size_t>(TIFFTileRowSize(tif_)), pixel = spp_ * (bits_ / 8);
      for (std::size_t y = r0 / th_ * th_; y < r1; y += th_)
        for (std::size_t x = c0 / tw_ * tw_; x < c1; x += tw_) {
          if (TIFFReadTile(tif_, tile.data(), std::uint32_t(x), std::uint32_t(y), 0, 0) < 0)
            throw readFailure(path_, "a tile cannot be read");
          const std::size_t wx = std::min<std::size_t>(tw_, cols - x);
          for (std::size_t r = std::max(y, r0); r < std::min<std::size_t>({y + th_, r1, rows}); ++r)
            std::memcpy(raw.data() + (r - r0) * rowBytes_ + x * pixel, tile.data() + (r - y) * tileRow, wx * pixel);
        }
    } else {
      for (std::size_t r = r0; r < r1; ++r) {
        const std::size_t strip = r / rps_;
        if (strip != cachedStrip_) {
          stripData_.resize(static_cast<std::size_t>(TIFFStripSize(tif_)));
          if (TIFFReadEncodedStrip(tif_, std::uint32_t(strip), stripData_.data(), -1) < 0)
            throw readFailure(path_, "row " + std::to_string(r + 1) + " cannot be read");
          cachedStrip_ = strip;
        }
        std::memcpy(raw.data() + (r - r0) * rowBytes_, stripData_.data() + (r - strip * rps_) * rowBytes_, rowBytes_);
      }
    }
    std::vector<double> out(h * w * channels);
    for (std::size_t r = 0; r < h; ++r)
      for (std::size_t c = 0; c < w; ++c)
        for (std::size_t k = 0; k < channels; ++k)
          out[k * h * w + c * h + r] = sample(raw.data() + r * rowBytes_, (c0 + c) * spp_ + k);
    return out;
  }

 private:
  double sample(const unsigned char* row, std::size_t index) const {
    return sampleAt(row, index, bits_, format_);
  }


  std::string path_;
  TIFF* tif_ = nullptr;
  std::uint16_t spp_ = 1, bits_ = 1, format_ = SAMPLEFORMAT_UINT;
  std::size_t rowBytes_ = 0;
  bool tiled_ = false;
  std::uint32_t tw_ = 0, th_ = 0, rps_ = 0;
  std::size_t cachedStrip_ = std::size_t(-1);
  std::vector<unsigned char> stripData_;
};

// libtiff writing through the std::ostream that writeFileSafely opened.
tmsize_t sinkRead(thandle_t, void*, tmsize_t) { return 0; }
tmsize_t sinkWrite(thandle_t h, void* data, tmsize_t n) {
  auto& out = *static_cast<std::ostream*>(h);
  out.write(static_cast<const char*>(data), n);
  return out ? n : -1;
}
toff_t sinkSeek(thandle_t h, toff_t off, int whence) {
  auto& out = *static_cast<std::ostream*>(h);
  const auto dir = whence == SEEK_SET ? std::ios::beg : whence == SEEK_CUR ? std::ios::cur : std::ios::end;
  out.seekp(static_cast<std::streamoff>(off), dir);
  return out ? static_cast<toff_t>(out.tellp()) : static_cast<toff_t>(-1);
}
int sinkClose(thandle_t) { return 0; }
toff_t sinkSize(thandle_t h) {
  auto& out = *static_cast<std::ostream*>(h);
  const auto here = out.tellp();
  out.seekp(0, std::ios::end);
  const auto size = out.tellp();
  out.seekp(here);
  return static_cast<toff_t>(size);
}
int sinkMap(thandle_t, void**, toff_t*) { return 0; }
void sinkUnmap(thandle_t, void*, toff_t) {}

class TiffSink {
 public:
  TiffSink(std::ostream& out, std::size_t rows, std::size_t cols, std::size_t channels, ValueClass cls) {
    const bool flt = cls == ValueClass::Single || cls == ValueClass::Double;
    const bool sign = cls == ValueClass::Int8 || cls == ValueClass::Int16 || cls == ValueClass::Int32;
    bits_ = cls == ValueClass::Int8 || cls == ValueClass::UInt8     ? 8
            : cls == ValueClass::Int16 || cls == ValueClass::UInt16 ? 16
            : cls == ValueClass::Double                             ? 64
                                                                    : 32;
    format_ = flt ? SAMPLEFORMAT_IEEEFP : sign ? SAMPLEFORMAT_INT : SAMPLEFORMAT_UINT;
    rowBytes_ = cols * channels * (bits_ / 8);
    // Classic TIFF offsets end at 4 GiB.
    const bool big = double(rowBytes_) * double(rows) > 4.0e9;
    tif_ = TIFFClientOpen("OUT", big ? "w8" : "w", &out, sinkRead, sinkWrite, sinkSeek, sinkClose, sinkSize, sinkMap,
                          sinkUnmap);
    if (tif_ == nullptr) throw Failure{"cannot write OUT: " + gTiffError};
    const bool ok = TIFFSetField(tif_, TIFFTAG_IMAGEWIDTH, std::uint32_t(cols)) &&
                    TIFFSetField(tif_, TIFFTAG_IMAGELENGTH, std::uint32_t(rows)) &&
                    TIFFSetField(tif_, TIFFTAG_SAMPLESPERPIXEL, std::uint16_t(channels)) &&
                    TIFFSetField(tif_, TIFFTAG_BITSPERSAMPLE, std::uint16_t(bits_)) &&
                    TIFFSetField(tif_, TIFFTAG_SAMPLEFORMAT, std::uint16_t(format_)) &&
                    TIFFSetField(tif_, TIFFTAG_PHOTOMETRIC,
                                 std::uint16_t(channels == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK)) &&
                    TIFFSetField(tif_, TIFFTAG_PLANARCONFIG, std::uint16_t(PLANARCONFIG_CONTIG)) &&
                    TIFFSetField(tif_, TIFFTAG_COMPRESSION, std::uint16_t(COMPRESSION_NONE)) &&
                    TIFFSetField(tif_, TIFFTAG_ORIENTATION, std::uint16_t(ORIENTATION_TOPLEFT)) &&
                    TIFFSetField(tif_, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif_, 0));
    if (!ok) fail();
  }
  ~TiffSink() {
    if (tif_) TIFFClose(tif_);
  }
  TiffSink(const TiffSink&) = delete;
  TiffSink& operator=(const TiffSink&) = delete;

  // Rows r0.. of the band (h rows, `channels` column-major planes of h x cols).
  void write(const std::vector<double>& band, std::size_t r0, std::size_t h, std::size_t cols, std::size_t channels) {
    std::vector<unsigned char> row(rowBytes_);
    const std::size_t size = bits_ / 8;
    for (std::size_t r = 0; r < h; ++r) {
      for (std::size_t c = 0; c < cols; ++c)
        for (std::size_t k = 0; k < channels; ++k)
          putSample(row.data() + (c * channels + k) * size, band[k * h * cols + c * h + r], bits_, format_);
      if (TIFFWriteScanline(tif_, row.data(), std::uint32_t(r0 + r), 0) < 0) fail();
    }
  }
  void close() {
    const bool ok = TIFFWriteDirectory(tif_);
    TIFFClose(tif_);
    tif_ = nullptr;
    if (!ok) throw Failure{"cannot write OUT: " + gTiffError};
  }

 private:
  [[noreturn]] void fail() { throw Failure{"cannot write OUT: " + (gTiffError.empty() ? "write failed" : gTiffError)}; }
  TIFF* tif_ = nullptr;
  int bits_ = 8;
  int format_ = SAMPLEFORMAT_UINT;
  std::size_t rowBytes_ = 0;
};

struct Window {
  std::size_t r0, r1, c0, c1;
};

// Up to kSampleTiles windows of kSampleSide (the image's sides if smaller)
// on a grid of that side, spread evenly over it.
std::vector<Window> sampleWindows(std::size_t rows, std::size_t cols) {
  const std::size_t h = std::min(rows, kSampleSide), w = std::min(cols, kSampleSide);
  std::vector<Window> pool;
  for (std::size_t r = 0; r + h <= rows; r += h)
    for (std::size_t c = 0; c + w <= cols; c += w) pool.push_back({r, r + h, c, c + w});
  std::vector<Window> picks;
  const std::size_t count = std::min<std::size_t>(kSampleTiles, pool.size());
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t at =
        count == 1 ? 0
                   : static_cast<std::size_t>(std::llround(double(k) * double(pool.size() - 1) / double(count - 1)));
    if (picks.empty() || picks.back().r0 != pool[at].r0 || picks.back().c0 != pool[at].c0) picks.push_back(pool[at]);
  }
  return picks;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

}  // namespace

int tileMargin(int blockSide) { return std::max(8, 4 * blockSide); }

void checkTiledInput(const std::string& in) { TiffRows rows(in); }

TiledSummary denoiseTiled(const std::string& in, std::ostream& out, int tile, const DenoiseOptions& given,
                          const std::function<void(double)>& progress) {
  const auto start = std::chrono::steady_clock::now();
  TiffRows src(in);
  const std::size_t rows = src.rows, cols = src.cols, channels = src.channels;
  DenoiseOptions o = given;
  const bool constant = o.method == DenoiseMethod::Constant;
  std::size_t P = nextPowerOfTwo(rows), Q = nextPowerOfTwo(cols);
  if (constant) P = Q = std::max(P, Q);
  o.defaultsPixels = double(P) * double(Q);
  TiledSummary sum;
  sum.rows = rows, sum.cols = cols, sum.channels = channels, sum.tile = tile;

  // The sample tiles: the noise, the camera and the second stage's choice.
  std::vector<std::vector<double>> samples;
  const std::vector<Window> windows = sampleWindows(rows, cols);
  for (const Window& w : windows) samples.push_back(src.read(w.r0, w.r1, w.c0, w.c1));
  sum.samples = int(windows.size());
  if (o.noise == NoiseModel::Gaussian && o.sigma.empty()) {
    double lo = -INFINITY, hi = INFINITY;
    switch (src.cls) {
      case ValueClass::UInt8: lo = 0, hi = 255; break;
      case ValueClass::UInt16: lo = 0, hi = 65535; break;
      case ValueClass::UInt32: lo = 0, hi = 4294967295.0; break;
      case ValueClass::Int8: lo = -128, hi = 127; break;
      case ValueClass::Int16: lo = -32768, hi = 32767; break;
      case ValueClass::Int32: lo = -2147483648.0, hi = 2147483647.0; break;
      default: break;
    }
    std::vector<double> sigma(channels);
    for (std::size_t c = 0; c < channels; ++c) {
      std::vector<double> levels;
      for (std::size_t k = 0; k < windows.size(); ++k) {
        const Window& w = windows[k];
        const std::size_t n = (w.r1 - w.r0) * (w.c1 - w.c0);
        levels.push_back(estimateNoiseSigma(samples[k].data() + c * n, w.r1 - w.r0, w.c1 - w.c0, lo, hi));
      }
      sigma[c] = median(levels);
    }
    // No noise found: every tile is returned as it is, as the whole image would be.
    if (std::all_of(sigma.begin(), sigma.end(), [](double s) { return s > 0; })) o.sigma = sigma;
  }
  if (o.noise == NoiseModel::PoissonGaussian &&
      (std::isnan(o.gain) || std::isnan(o.offset) || std::isnan(o.readNoise))) {
    // The sampled tiles' windows together, as one image of their planes.
    const std::size_t h = windows[0].r1 - windows[0].r0, w = windows[0].c1 - windows[0].c0;
    std::vector<double> stack;
    for (const auto& s : samples) stack.insert(stack.end(), s.begin(), s.end());
    const CameraNoise c =
        estimateCameraNoise(stack.data(), h, w, channels * samples.size(), {o.gain, o.offset, o.readNoise});
    o.gain = c.gain, o.offset = c.offset, o.readNoise = c.readNoise;
  }

  // One pass over every row: the working planes' spread (block side) and the
  // Poisson counts' total (penalties).
  const bool modulePoisson = o.noise == NoiseModel::Poisson && !constant;
  const bool needBlock = o.blockSide == 0 && !constant;
  if (needBlock || (modulePoisson && o.penalties.empty())) {
    const bool opponent = channels == 3 && o.colour == ColourMode::Opponent && o.noise != NoiseModel::Poisson;
    std::vector<double> level(channels, 1.0);
    if (o.noise == NoiseModel::Gaussian && !o.sigma.empty()) {
      for (std::size_t c = 0; c < channels; ++c) level[c] = o.sigma.size() == 1 ? o.sigma[0] : o.sigma[c];
      if (opponent) {
        const std::array<double, 3> t = opponentNoise({level[0], level[1], level[2]});
        level.assign(t.begin(), t.end());
      }
    }
    const CameraNoise camera{o.gain, o.offset, o.readNoise};
    std::vector<double> s1(channels, 0.0), s2(channels, 0.0);
    for (std::size_t r0 = 0; r0 < rows; r0 += std::size_t(tile)) {
      if (interruptRequested()) throw Error(kMsgInterrupted);
      const std::size_t r1 = std::min(rows, r0 + std::size_t(tile)), n = (r1 - r0) * cols;
      std::vector<double> band = src.read(r0, r1, 0, cols);
      if (o.noise == NoiseModel::PoissonGaussian)
        for (double& v : band) v = generalizedAnscombe(v, camera);
      if (opponent) {
        const std::vector<double> rgb = band;
        toOpponent(rgb.data(), n, band.data());
      }
      for (std::size_t c = 0; c < channels; ++c)
        for (std::size_t k = 0; k < n; ++k) {
          const double v = band[c * n + k] / level[c];
          s1[c] += v;
          s2[c] += v * v;
        }
    }
    const double N = double(rows) * double(cols);
    if (needBlock) {
      // With several channels, the first's (the luminance of a colour image):
      // the tiles take one block side.
      const double mean = s1[0] / N, variance = std::max(0.0, s2[0] / N - mean * mean);
      o.blockSide = denoiseBlockSide(variance, modulePoisson ? mean : 1.0, P, Q);
    }
    if (modulePoisson && o.penalties.empty()) {
      double total = 0;
      for (double v : s1) total += v;
      const double x = total / double(channels) / N * double(P) * double(Q);
      if (x < 1)
        throw Error(
            "Poisson counts too small for the default penalties: the image holds fewer than 1 count in all; "
            "give 'Penalties'.");
      const EntryModel& m = o.method == DenoiseMethod::Wedgelet ? kBrindelModel : kQuarloModel;
      o.penalties = {(m.onePenaltyFactor * std::log(x)) / 3, (m.twoPenaltyFactor * std::log(x)) / 3};
    }
  }
  if (constant) o.blockSide = o.blockSide > 0 ? o.blockSide : 1;
  if (o.penalties.empty()) {
    const double x = double(P) * double(Q);
    if (constant)
      o.penalties = {std::log(x) / 3.0};
    else {
      const EntryModel& m = o.method == DenoiseMethod::Wedgelet ? kBrindelModel : kQuarloModel;
      o.penalties = {(m.onePenaltyFactor * std::log(x)) / 3, (m.twoPenaltyFactor * std::log(x)) / 3};
    }
  }
  if (o.lines < 0 && !constant) {
    const double k = double(defaultResolution(P, Q));
    o.lines = k * k;
  }
  if (o.wiener == WienerMode::Auto) {
    // The guard's two risks differ by a few per cent where its choice
    // matters little; summed over small windows they can swing the other
    // way from the whole image's. One window of up to kGuardSide on a side,
    // at the centre, is the whole image up to that size.
    const std::size_t h = std::min(rows, kGuardSide), w = std::min(cols, kGuardSide);
    const std::size_t r = (rows - h) / 2, c = (cols - w) / 2;
    const std::vector<double> window = src.read(r, r + h, c, c + w);
    double riskA = 0, riskB = 0;
    InterruptScope interruptible(interruptRequested);
    DenoiseInfo info;
    // Where no block side was given, the guard searches upward from its rule
    // as the whole image's does, and the tiles take the side it kept.
    DenoiseOptions guard = o;
    if (needBlock) guard.blockSide = 0;
    (void)denoiseImage(window.data(), h, w, channels, src.cls, guard, &info);
    if (needBlock && !info.blockSide.empty() && info.blockSide[0] > 0) o.blockSide = info.blockSide[0];
    for (std::size_t k = 0; k < info.stage.size(); ++k)
      if (info.stage[k] >= 0 && std::isfinite(info.risk[k][0]) && std::isfinite(info.risk[k][1]))
        riskA += info.risk[k][0], riskB += info.risk[k][1];
    sum.twoStage = riskB < riskA;
    o.wiener = sum.twoStage ? WienerMode::On : WienerMode::Off;
    if (!sum.twoStage) o.shifts = std::min(2 * o.shifts, kMaxShifts);
    sum.wienerDecided = true;
  } else {
    sum.twoStage = o.wiener == WienerMode::On;
  }
  samples.clear();

  const int margin = tileMargin(o.blockSide);
  if (tile <= 2 * margin)
    throw Failure{"--tile " + std::to_string(tile) + " leaves no tile inside its margins of " + std::to_string(margin) +
                  " pixels: give a power of two above " + std::to_string(2 * margin)};
  const std::size_t m = std::size_t(margin), inner = std::size_t(tile) - 2 * m;
  sum.margin = margin;
  const std::size_t bands = (rows + inner - 1) / inner, across = (cols + inner - 1) / inner;
  sum.tiles = int(bands * across);
  const ValueClass outCls = denoiseResultClass(src.cls, o.noise);
  TiffSink sink(out, rows, cols, channels, outCls);
  InterruptScope interruptible(interruptRequested);
  std::size_t done = 0;
  for (std::size_t b = 0; b < bands; ++b) {
    const std::size_t r0 = b * inner, r1 = std::min(rows, r0 + inner), h = r1 - r0;
    const std::size_t br0 = r0 > m ? r0 - m : 0, br1 = std::min(rows, r1 + m), bh = br1 - br0;
    const std::vector<double> band = src.read(br0, br1, 0, cols);
    std::vector<double> result(h * cols * channels);
    for (std::size_t t = 0; t < across; ++t) {
      interruptionPoint();
      const std::size_t c0 = t * inner, c1 = std::min(cols, c0 + inner);
      const std::size_t bc0 = c0 > m ? c0 - m : 0, bc1 = std::min(cols, c1 + m), bw = bc1 - bc0;
      std::vector<double> block(bh * bw * channels);
      for (std::size_t k = 0; k < channels; ++k)
        for (std::size_t c = 0; c < bw; ++c)
          std::copy_n(band.begin() + std::ptrdiff_t(k * bh * cols + (bc0 + c) * bh), bh,
                      block.begin() + std::ptrdiff_t(k * bh * bw + c * bh));
      const std::vector<double> e = denoiseImage(block.data(), bh, bw, channels, src.cls, o);
      for (std::size_t k = 0; k < channels; ++k)
        for (std::size_t c = c0; c < c1; ++c)
          std::copy_n(e.begin() + std::ptrdiff_t(k * bh * bw + (c - bc0) * bh + (r0 - br0)), h,
                      result.begin() + std::ptrdiff_t(k * h * cols + c * h));
      if (progress) progress(double(++done) / double(bands * across));
    }
    for (double v : result)
      if (std::isinf(v))
        throw Failure{"Values too large: the estimate overflows; magnitudes up to 1e+100 are accepted in IN"};
    sink.write(result, r0, h, cols, channels);
  }
  sink.close();
  sum.options = o;
  sum.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return sum;
}

}  // namespace dyadfit::cli
