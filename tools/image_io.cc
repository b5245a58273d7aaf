// SPDX-License-Identifier: BSD-3-Clause
#include "tools/image_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <utility>
#include <fstream>
#include <iostream>
#include <ostream>
#include <vector>

#include "dyadic/grid_utils.h"
#include "dyadic/parallel.h"

namespace dyadfit::cli {
namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
// Text matrices take commas too (CSV).
bool isSeparator(char c) { return isSpace(c) || c == ','; }

// A decimal count of the PGM format, saturated far above any accepted value.
constexpr std::uint64_t kSaturated = std::uint64_t{1} << 40;

bool parseCount(std::string_view tok, std::uint64_t* value) {
  if (tok.empty()) return false;
  std::uint64_t v = 0;
  for (char c : tok) {
    if (c < '0' || c > '9') return false;
    v = v >= kSaturated ? kSaturated : v * 10 + static_cast<std::uint64_t>(c - '0');
  }
  *value = v;
  return true;
}

// A token quoted in a message: short, and free of control characters.
std::string clip(std::string_view tok) {
  std::string out;
  for (char c : tok.substr(0, 32)) out.push_back(static_cast<unsigned char>(c) < 32 || c == 127 ? '?' : c);
  if (tok.size() > 32) out += "...";
  return out;
}

class PgmReader {
 public:
  explicit PgmReader(std::string_view bytes) : s_(bytes), pos_(2) {}

  // The samples; *maxval receives the header's maxval.
  Array read(std::uint64_t* maxvalOut) {
    const bool binary = s_[1] == '5';
    // The magic number stands alone.
    if (pos_ < s_.size() && !isSpace(s_[pos_]) && s_[pos_] != '#') throw Failure{"malformed PGM header"};
    std::uint64_t width = 0, height = 0, maxval = 0;
    if (!parseCount(headerToken(), &width) || !parseCount(headerToken(), &height) ||
        !parseCount(headerToken(), &maxval))
      throw Failure{"malformed PGM header (width, height and maxval must be non-negative integers)"};
    if (maxval < 1 || maxval > 65535) throw Failure{"PGM maxval must be from 1 to 65535, not " + countText(maxval)};
    *maxvalOut = maxval;
    if (width == 0 || height == 0) throw Failure{"PGM has no samples (" + sizeText(width, height) + ")"};
    if (width > kMaxSamples || height > kMaxSamples / width)
      throw Failure{"PGM of " + sizeText(width, height) + " exceeds the limit of 2^28 samples"};
    const std::size_t rows = static_cast<std::size_t>(height), cols = static_cast<std::size_t>(width);
    const std::uint64_t samples = width * height;
    // One whitespace byte ends the header; the samples follow.
    if (pos_ < s_.size()) {
      if (!isSpace(s_[pos_])) throw Failure{"malformed PGM header"};
      ++pos_;
    }
    const std::uint64_t held = s_.size() - pos_;
    if (binary) {
      const std::uint64_t needed = samples * (maxval > 255 ? 2 : 1);
      // Bytes after the samples (a final newline, a further image) are left
      // unread, as PGM readers customarily do.
      if (held < needed)
        throw Failure{"P5 of " + sizeText(width, height) + " needs " + countText(needed) +
                      " bytes of samples, the file holds " + countText(held)};
    } else if (held < 2 * samples - 1) {
      // Each sample takes a digit, and a separator from the next one.
      throw Failure{"P2 of " + sizeText(width, height) + " needs at least " + countText(2 * samples - 1) +
                    " bytes of samples, the file holds " + countText(held)};
    }
    Array a = Array::zeros(rows, cols);
    for (std::size_t r = 0; r < rows; ++r)
      for (std::size_t c = 0; c < cols; ++c) {
        std::uint64_t v = 0;
        if (binary) {
          v = static_cast<unsigned char>(s_[pos_++]);
          if (maxval > 255) v = (v << 8) | static_cast<unsigned char>(s_[pos_++]);
        } else {
          const std::string_view tok = sampleToken();
          if (tok.empty())
            throw Failure{"P2 ends after " + countText(r * cols + c) + " of " + countText(samples) + " samples"};
          if (!parseCount(tok, &v)) throw Failure{"P2 sample is not a non-negative integer: '" + clip(tok) + "'"};
        }
        if (v > maxval) throw Failure{"PGM sample " + countText(v) + " exceeds maxval " + countText(maxval)};
        a(r, c) = static_cast<double>(v);
      }
    if (!binary && !sampleToken().empty()) throw Failure{"P2 holds more than " + countText(samples) + " samples"};
    return a;
  }

 private:
  // Next header token; '#' starts a comment up to the end of its line.
  std::string_view headerToken() {
    while (pos_ < s_.size()) {
      if (s_[pos_] == '#') {
        while (pos_ < s_.size() && s_[pos_] != '\n' && s_[pos_] != '\r') ++pos_;
      } else if (isSpace(s_[pos_])) {
        ++pos_;
      } else {
        break;
      }
    }
    const std::size_t start = pos_;
    while (pos_ < s_.size() && !isSpace(s_[pos_]) && s_[pos_] != '#') ++pos_;
    return s_.substr(start, pos_ - start);
  }

  std::string_view sampleToken() {
    while (pos_ < s_.size() && isSpace(s_[pos_])) ++pos_;
    const std::size_t start = pos_;
    while (pos_ < s_.size() && !isSpace(s_[pos_])) ++pos_;
    return s_.substr(start, pos_ - start);
  }

  static std::string countText(std::uint64_t v) { return v >= kSaturated ? "more than 10^12" : std::to_string(v); }
  static std::string sizeText(std::uint64_t w, std::uint64_t h) { return countText(w) + "x" + countText(h); }

  std::string_view s_;
  std::size_t pos_;
};

Array parseText(std::string_view s) {
  std::vector<double> values;  // row by row
  std::size_t rows = 0, cols = 0;
  std::string tok;
  std::size_t pos = 0;
  while (pos < s.size()) {
    std::size_t end = s.find('\n', pos);
    if (end == std::string_view::npos) end = s.size();
    std::size_t count = 0;
    for (std::size_t k = pos; k < end;) {
      while (k < end && isSeparator(s[k])) ++k;
      const std::size_t start = k;
      while (k < end && !isSeparator(s[k])) ++k;
      if (k == start) break;
      tok.assign(s.substr(start, k - start));
      char* stop = nullptr;
      const double v = std::strtod(tok.c_str(), &stop);
      if (stop != tok.c_str() + tok.size()) throw Failure{"not a number: '" + clip(tok) + "'"};
      values.push_back(v);
      ++count;
    }
    if (count != 0) {
      if (rows == 0) cols = count;
      if (count != cols) throw Failure{"rows of different lengths"};
      ++rows;
    }
    pos = end + 1;
  }
  if (rows == 0) throw Failure{"holds no numbers"};
  if (values.size() > kMaxSamples) throw Failure{"exceeds the limit of 2^28 samples"};
  Array a = Array::zeros(rows, cols);
  for (std::size_t r = 0; r < rows; ++r)
    for (std::size_t c = 0; c < cols; ++c) a(r, c) = values[r * cols + c];
  return a;
}

std::string systemError() { return errno != 0 ? std::string(": ") + std::strerror(errno) : std::string(); }

// The temporary files of the writes in progress, for removePartialFile().
constexpr int kPartialSlots = 4;
char gPartialPath[kPartialSlots][4096];
volatile std::sig_atomic_t gPartialHeld[kPartialSlots] = {};

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A fresh name beside `path`, created empty (O_EXCL: never an existing file).
// `keep`: the mode of the file it replaces, set exactly (not through the umask).
// Returns the name and its slot for removePartialFile().
std::pair<std::string, int> createPartial(const std::string& path, mode_t mode, bool keep) {
  const std::string folder = folderOf(path);
  const std::size_t slash = path.find_last_of('/');
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  // The temporary name stays within the folder's name length: a long OUT
  // name is shortened in it, never refused for it.
  long nameMax = ::pathconf(folder.c_str(), _PC_NAME_MAX);
  if (nameMax <= 0) nameMax = 255;
  const std::size_t room = static_cast<std::size_t>(nameMax) > 40 ? static_cast<std::size_t>(nameMax) - 40 : 1;
  if (base.size() > room) base.resize(room);
  int slot = 0;
  while (slot < kPartialSlots && gPartialHeld[slot]) ++slot;
  if (slot == kPartialSlots) throw Failure{"cannot write " + path + ": too many files at once"};
  for (unsigned attempt = 0;; ++attempt) {
    const std::string name =
        folder + "/." + base + ".partial-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
    if (name.size() >= sizeof gPartialPath[0]) throw Failure{"cannot write " + path + ": its name is too long"};
    errno = 0;
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0) {
      if (keep) (void)::fchmod(fd, mode);
      ::close(fd);
      std::memcpy(gPartialPath[slot], name.c_str(), name.size() + 1);
      gPartialHeld[slot] = 1;
      return {name, slot};
    }
    if (errno != EEXIST || attempt >= 100) throw Failure{"cannot write " + path + systemError()};
  }
}

void dropPartial(const std::string& name, int slot) {
  gPartialHeld[slot] = 0;
  std::remove(name.c_str());
}

// The file a name stands for: a symbolic link's target, which is replaced
// rather than the link.
std::string targetOf(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    if (char* real = ::realpath(path.c_str(), nullptr)) {
      std::string target = real;
      std::free(real);
      return target;
    }
  }
  return path;
}

void fillChecked(const std::string& path, std::ostream& out, const std::function<void(std::ostream&)>& fill) {
  errno = 0;
  fill(out);
  out.flush();
  if (dyadfit::interruptRequested()) throw Failure{dyadfit::kMsgInterrupted};
  if (!out) throw Failure{"cannot write " + path + systemError()};
}

}  // namespace

Image parsePgmOrText(std::string_view bytes) {
  Image image;
  if (bytes.size() >= 2 && bytes[0] == 'P' && (bytes[1] == '2' || bytes[1] == '5')) {
    std::uint64_t maxval = 0;
    image.channels.push_back(PgmReader(bytes).read(&maxval));
    image.depth = maxval > 255 ? 16 : 8;
  } else {
    image.channels.push_back(parseText(bytes));
  }
  return image;
}

Array parseImage(std::string_view bytes) { return std::move(parsePgmOrText(bytes).channels[0]); }

std::string readFileBytes(const std::string& path) {
  const bool standardInput = path == "-";
  const std::string name = standardInput ? "standard input" : path;
  int fd = STDIN_FILENO;
  if (!standardInput) {
    // A FIFO's open waits for a writer: the stop signal (installed without
    // SA_RESTART) ends the wait with EINTR.
    do {
      errno = 0;
      fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR && !dyadfit::interruptRequested());
    if (fd < 0 && dyadfit::interruptRequested()) throw Failure{dyadfit::kMsgInterrupted};
    if (fd < 0) {
      struct stat st;
      if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) throw Failure{path + " is a directory, not an image"};
      throw Failure{"cannot open " + path + systemError()};
    }
  }
  struct Closer {
    int fd;
    bool own;
    ~Closer() {
      if (own) ::close(fd);
    }
  } closer{fd, !standardInput};
  struct stat st;
  if (::fstat(fd, &st) != 0) throw Failure{"cannot open " + name + systemError()};
  if (S_ISDIR(st.st_mode)) throw Failure{path + " is a directory, not an image"};
  const bool regular = S_ISREG(st.st_mode);
  if (regular && static_cast<std::uint64_t>(st.st_size) > kMaxInputBytes) throw Failure{name + " is larger than 4 GiB"};
  const std::uint64_t limit = regular ? kMaxInputBytes : kMaxStreamBytes;
  std::string bytes;
  if (regular) bytes.reserve(static_cast<std::size_t>(st.st_size));
  std::vector<char> chunk(1 << 20);
  while (true) {
    if (dyadfit::interruptRequested()) throw Failure{dyadfit::kMsgInterrupted};
    errno = 0;
    const ssize_t n = ::read(fd, chunk.data(), chunk.size());
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      throw Failure{"cannot read " + name + systemError()};
    }
    // Checked before appending: a device never fills memory past the limit.
    if (bytes.size() + static_cast<std::size_t>(n) > limit)
      throw Failure{name + (regular ? " is larger than 4 GiB" : " holds more than 1 GiB, the limit of a stream")};
    bytes.append(chunk.data(), static_cast<std::size_t>(n));
  }
  if (bytes.empty()) throw Failure{name + " is empty"};
  return bytes;
}

double lowestSample(const Image& image) {
  if (image.samples == Samples::Signed) return -std::ldexp(1.0, image.depth - 1);
  return 0;
}

double highestSample(const Image& image) {
  if (image.samples == Samples::Signed) return std::ldexp(1.0, image.depth - 1) - 1;
  return std::ldexp(1.0, image.depth) - 1;
}

void requireFiniteSamples(const Array& a) {
  if (anyValue(a.values.data(), a.values.size(), [](double v) { return !std::isfinite(v); }))
    throw Failure{"the estimate holds NaN or Inf, which an image file cannot hold; write a text OUT"};
}

std::vector<std::uint16_t> quantize(const Array& a, int depth) {
  const double top = depth == 8 ? 255.0 : 65535.0;
  requireFiniteSamples(a);
  std::vector<std::uint16_t> q(a.values.size());
  forEachRange(q.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t k = begin; k < end; ++k)
      q[k] = static_cast<std::uint16_t>(roundHalfAway(std::clamp(a.values[k], 0.0, top)));
  });
  return q;
}

void writePgm(std::ostream& out, const Array& a, int depth) {
  const std::vector<std::uint16_t> q = quantize(a, depth);
  const std::size_t bytes = depth == 8 ? 1 : 2;
  out << "P5\n" << a.cols << ' ' << a.rows << (depth == 8 ? "\n255\n" : "\n65535\n");
  std::vector<char> row(bytes * a.cols);
  for (std::size_t r = 0; r < a.rows && out; ++r) {
    for (std::size_t c = 0; c < a.cols; ++c) {
      const std::uint16_t v = q[r + a.rows * c];
      if (bytes == 1) {
        row[c] = static_cast<char>(v);
      } else {
        row[2 * c] = static_cast<char>(v >> 8);
        row[2 * c + 1] = static_cast<char>(v & 0xff);
      }
    }
    out.write(row.data(), static_cast<std::streamsize>(row.size()));
  }
}

void writeText(std::ostream& out, const Array& a, char separator) {
  char buf[32];
  std::string line;
  for (std::size_t r = 0; r < a.rows && out; ++r) {
    if (dyadfit::interruptRequested()) return;
    line.clear();
    for (std::size_t c = 0; c < a.cols; ++c) {
      std::snprintf(buf, sizeof buf, "%.17g", a(r, c));
      if (c) line += separator;
      line += buf;
    }
    line += '\n';
    out.write(line.data(), static_cast<std::streamsize>(line.size()));
  }
}

void writeBytes(std::ostream& out, const std::string& bytes) {
  constexpr std::size_t kBlock = std::size_t{1} << 20;
  for (std::size_t at = 0; at < bytes.size() && out && !dyadfit::interruptRequested(); at += kBlock)
    out.write(bytes.data() + at, static_cast<std::streamsize>(std::min(kBlock, bytes.size() - at)));
}

void writeFileSafely(const std::string& path, const std::function<void(std::ostream&)>& fill) {
  writeFilesSafely({OutputFile{path, fill}});
}

void writeFilesSafely(const std::vector<OutputFile>& files) {
  struct Pending {
    std::string path, target, partial;
    int slot = -1;
  };
  std::vector<Pending> pending;
  try {
    for (const OutputFile& file : files) {
      const std::string& path = file.path;
      if (path == "-") {
        fillChecked("standard output", std::cout, file.fill);
        continue;
      }
      const std::string target = targetOf(path);
      struct stat st;
      const bool exists = ::stat(target.c_str(), &st) == 0;
      if (exists && S_ISDIR(st.st_mode)) throw Failure{"cannot write " + path + ": it is a directory"};
      if (exists && !S_ISREG(st.st_mode)) {
        // A device or a pipe: written in place, never removed.
        errno = 0;
        std::ofstream out(target, std::ios::binary);
        if (!out) throw Failure{"cannot write " + path + systemError()};
        fillChecked(path, out, file.fill);
        continue;
      }
      // A replaced file keeps its permissions; a new one gets the umask's.
      auto [partial, slot] = createPartial(target, exists ? st.st_mode & 07777 : 0666, exists);
      pending.push_back({path, target, partial, slot});
      errno = 0;
      std::ofstream out(partial, std::ios::binary | std::ios::trunc);
      if (!out) throw Failure{"cannot write " + path + systemError()};
      fillChecked(path, out, file.fill);
      out.close();
      if (!out) throw Failure{"cannot write " + path + systemError()};
    }
    // A signal during the writes leaves no OUT either.
    if (dyadfit::interruptRequested()) throw Failure{dyadfit::kMsgInterrupted};
    for (std::size_t k = 0; k < pending.size(); ++k) {
      errno = 0;
      if (::rename(pending[k].partial.c_str(), pending[k].target.c_str()) != 0) {
        const std::string reason = systemError();
        // Those renamed already go too: the files are written together or not at all.
        for (std::size_t j = 0; j < k; ++j) std::remove(pending[j].target.c_str());
        throw Failure{"cannot write " + pending[k].path + reason};
      }
      gPartialHeld[pending[k].slot] = 0;
      pending[k].slot = -1;
    }
  } catch (...) {
    for (const Pending& p : pending)
      if (p.slot >= 0) dropPartial(p.partial, p.slot);
    throw;
  }
}

void checkWritablePath(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) throw Failure{"cannot write " + path + ": it is a directory"};
    if (!S_ISREG(st.st_mode)) return;  // a device or a pipe, written in place
  }
  errno = 0;
  if (::access(folderOf(path).c_str(), W_OK | X_OK) != 0) throw Failure{"cannot write " + path + systemError()};
}

void removePartialFile() noexcept {
  for (int k = 0; k < kPartialSlots; ++k)
    if (gPartialHeld[k]) ::unlink(gPartialPath[k]);
}

}  // namespace dyadfit::cli
