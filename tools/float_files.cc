#include "tools/float_files.h"

#include <fitsio.h>
#include <tiffio.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <ostream>
#include <vector>

#include "tools/image_files.h"

namespace dyadfit::cli {
namespace {

// A TIFF held in memory: libtiff seeks back to patch offsets, so the bytes
// grow under a cursor rather than being appended.
struct MemoryFile {
  std::string bytes;
  std::uint64_t pos = 0;
};

tsize_t memRead(thandle_t h, tdata_t buf, tsize_t n) {
  auto* m = static_cast<MemoryFile*>(h);
  if (n < 0 || m->pos >= m->bytes.size()) return 0;
  const std::uint64_t k = std::min<std::uint64_t>(static_cast<std::uint64_t>(n), m->bytes.size() - m->pos);
  std::memcpy(buf, m->bytes.data() + m->pos, k);
  m->pos += k;
  return static_cast<tsize_t>(k);
}

tsize_t memWrite(thandle_t h, tdata_t buf, tsize_t n) {
  auto* m = static_cast<MemoryFile*>(h);
  if (n < 0) return -1;
  const std::uint64_t end = m->pos + static_cast<std::uint64_t>(n);
  // No exception may cross the C library: a failed growth is a failed write.
  try {
    if (end > m->bytes.size()) m->bytes.resize(end);
  } catch (const std::exception&) {
    return -1;
  }
  std::memcpy(m->bytes.data() + m->pos, buf, static_cast<std::size_t>(n));
  m->pos = end;
  return n;
}

toff_t memSeek(thandle_t h, toff_t off, int whence) {
  auto* m = static_cast<MemoryFile*>(h);
  // toff_t is unsigned: a negative offset from SEEK_CUR or SEEK_END wraps
  // to the intended position.
  const std::uint64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? m->pos : m->bytes.size();
  m->pos = base + off;
  return m->pos;
}

int memClose(thandle_t) { return 0; }
toff_t memSize(thandle_t h) { return static_cast<MemoryFile*>(h)->bytes.size(); }
int memMap(thandle_t, tdata_t*, toff_t*) { return 0; }
void memUnmap(thandle_t, tdata_t, toff_t) {}

// libtiff's handlers print to stderr; the tool reports its own message.
void silenceTiff() {
  static std::once_flag once;
  std::call_once(once, [] {
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
  });
}

void checkChannels(const Image& image) {
  const std::size_t channels = image.channels.size();
  if (channels != 1 && channels != 3)
    throw Failure{"a float image holds one or three channels, not " + std::to_string(channels)};
}

std::string fitsReason(int status) {
  char text[FLEN_STATUS] = {};
  fits_get_errstatus(status, text);
  return text;
}

}  // namespace

std::string encodeFloatTiff(const Image& image) {
  checkChannels(image);
  silenceTiff();
  const std::size_t rows = image.rows(), cols = image.cols(), channels = image.channels.size();
  for (const Array& a : image.channels)
    for (double v : a.values)
      if (std::isfinite(v) && std::fabs(v) > std::numeric_limits<float>::max())
        throw Failure{"the estimate holds values beyond a 32-bit float's range: write .fits or .txt"};
  if (rows > std::numeric_limits<std::uint32_t>::max() || cols > std::numeric_limits<std::uint32_t>::max())
    throw Failure{"image too large for TIFF"};
  const std::size_t rowBytes = cols * channels * sizeof(float);
  // Strips of about 64 KiB, at least one row each.
  const std::size_t stripRows = std::max<std::size_t>(1, std::min<std::size_t>(rows, 65536 / rowBytes));

  MemoryFile file;
  TIFF* tif = TIFFClientOpen("OUT", "w", &file, memRead, memWrite, memSeek, memClose, memSize, memMap, memUnmap);
  if (tif == nullptr) throw Failure{"TIFF encoder could not start"};
  bool ok = TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(cols)) &&
            TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(rows)) &&
            TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, static_cast<std::uint16_t>(channels)) &&
            TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, static_cast<std::uint16_t>(32)) &&
            TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, static_cast<std::uint16_t>(SAMPLEFORMAT_IEEEFP)) &&
            TIFFSetField(tif, TIFFTAG_PHOTOMETRIC,
                         static_cast<std::uint16_t>(channels == 1 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB)) &&
            TIFFSetField(tif, TIFFTAG_PLANARCONFIG, static_cast<std::uint16_t>(PLANARCONFIG_CONTIG)) &&
            TIFFSetField(tif, TIFFTAG_COMPRESSION, static_cast<std::uint16_t>(COMPRESSION_NONE)) &&
            TIFFSetField(tif, TIFFTAG_ORIENTATION, static_cast<std::uint16_t>(ORIENTATION_TOPLEFT)) &&
            TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, static_cast<std::uint32_t>(stripRows));
  std::vector<float> strip;
  try {
    strip.resize(stripRows * cols * channels);
  } catch (const std::bad_alloc&) {
    TIFFClose(tif);
    throw;
  }
  for (std::size_t top = 0, s = 0; ok && top < rows; top += stripRows, ++s) {
    const std::size_t n = std::min(stripRows, rows - top);
    for (std::size_t r = 0; r < n; ++r)
      for (std::size_t c = 0; c < cols; ++c)
        for (std::size_t ch = 0; ch < channels; ++ch)
          strip[(r * cols + c) * channels + ch] = static_cast<float>(image.channels[ch](top + r, c));
    ok = TIFFWriteEncodedStrip(tif, static_cast<std::uint32_t>(s), strip.data(),
                               static_cast<tmsize_t>(n * rowBytes)) >= 0;
  }
  ok = ok && TIFFWriteDirectory(tif);
  TIFFClose(tif);
  if (!ok) throw Failure{"the TIFF encoder failed"};
  return std::move(file.bytes);
}

std::string encodeFitsDouble(const Image& image) {
  checkChannels(image);
  const std::size_t rows = image.rows(), cols = image.cols(), channels = image.channels.size();
  // CFITSIO grows the buffer with realloc and owns it until it is closed.
  std::size_t size = 2880;
  void* buffer = std::malloc(size);
  if (buffer == nullptr) throw std::bad_alloc();
  fitsfile* f = nullptr;
  int status = 0;
  fits_create_memfile(&f, &buffer, &size, 2880 * 64, std::realloc, &status);
  long axes[3] = {static_cast<long>(cols), static_cast<long>(rows), 3};
  fits_create_img(f, DOUBLE_IMG, channels == 1 ? 2 : 3, axes, &status);
  // Optional, and the image library's reader (the tool's own) refuses a file
  // that announces extensions it does not have.
  fits_delete_key(f, "EXTEND", &status);
  // FITS counts rows from the bottom: the image's last row goes first.
  std::vector<double> row(cols);
  for (std::size_t ch = 0; ch < channels && status == 0; ++ch)
    for (std::size_t r = 0; r < rows && status == 0; ++r) {
      for (std::size_t c = 0; c < cols; ++c) row[c] = image.channels[ch](rows - 1 - r, c);
      const LONGLONG first = static_cast<LONGLONG>((ch * rows + r) * cols) + 1;
      fits_write_img(f, TDOUBLE, first, static_cast<LONGLONG>(cols), row.data(), &status);
    }
  // The file ends with its data, padded to whole 2880-byte records.
  LONGLONG headStart = 0, dataStart = 0, dataEnd = 0;
  fits_get_hduaddrll(f, &headStart, &dataStart, &dataEnd, &status);
  const int written = status;
  status = 0;
  if (f != nullptr) fits_close_file(f, &status);
  std::string bytes;
  if (written == 0 && status == 0) {
    const std::size_t end = static_cast<std::size_t>((dataEnd + 2879) / 2880 * 2880);
    if (end <= size) bytes.assign(static_cast<const char*>(buffer), end);
  }
  std::free(buffer);
  if (bytes.empty()) throw Failure{"FITS encoder failed: " + fitsReason(written != 0 ? written : status)};
  return bytes;
}

bool holdsFloat(OutputFormat f) { return f == OutputFormat::Tiff || f == OutputFormat::Fits; }

void writeFloatImage(const std::string& path, const Image& image) {
  std::string bytes;
  try {
    const OutputFormat f = outputFormat(path);
    if (f == OutputFormat::Tiff)
      bytes = encodeFloatTiff(image);
    else if (f == OutputFormat::Fits)
      bytes = encodeFitsDouble(image);
    else
      throw Failure{"a float image is written as .tif or .fits"};
  } catch (const Failure& e) {
    throw Failure{"cannot write " + path + ": " + e.message};
  }
  writeFileSafely(path, [&](std::ostream& out) { out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())); });
}

}  // namespace dyadfit::cli
