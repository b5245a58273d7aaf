// SPDX-License-Identifier: BSD-3-Clause
// The files the Windows test host and the Linux reference writer exchange:
// one call of a plug-in (its module, how many results, which of them to
// record, its inputs), and the recorded outcome of that call. Little-endian
// int32 and IEEE double, the same on every build.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace casefile {

enum Kind : std::int32_t { kDouble = 0, kChar = 1, kOmitted = 2, kOtherClass = 3 };

struct Matrix {
  std::int32_t kind = kDouble;
  std::int32_t rows = 0;
  std::int32_t cols = 0;
  std::vector<double> values;  // column-major; character codes for kChar
};

struct Call {
  std::string module;
  std::int32_t nlhs = 1;
  std::uint32_t keep = ~0u;  // bit k set: result k is compared
  std::vector<Matrix> inputs;
};

struct Outcome {
  bool failed = false;
  std::string message;
  std::vector<Matrix> results;
};

inline void putInt(std::FILE* f, std::int32_t v) { std::fwrite(&v, sizeof v, 1, f); }
inline bool getInt(std::FILE* f, std::int32_t& v) { return std::fread(&v, sizeof v, 1, f) == 1; }

inline void putText(std::FILE* f, const std::string& s) {
  putInt(f, static_cast<std::int32_t>(s.size()));
  std::fwrite(s.data(), 1, s.size(), f);
}
inline bool getText(std::FILE* f, std::string& s) {
  std::int32_t n = 0;
  if (!getInt(f, n) || n < 0 || n > (1 << 20)) return false;
  s.assign(static_cast<std::size_t>(n), '\0');
  return n == 0 || std::fread(&s[0], 1, s.size(), f) == s.size();
}

inline void putMatrix(std::FILE* f, const Matrix& m) {
  putInt(f, m.kind);
  putInt(f, m.rows);
  putInt(f, m.cols);
  if (!m.values.empty()) std::fwrite(m.values.data(), sizeof(double), m.values.size(), f);
}
inline bool getMatrix(std::FILE* f, Matrix& m) {
  if (!getInt(f, m.kind) || !getInt(f, m.rows) || !getInt(f, m.cols)) return false;
  if (m.rows < 0 || m.cols < 0 || static_cast<std::int64_t>(m.rows) * m.cols > (1 << 24)) return false;
  m.values.resize(static_cast<std::size_t>(m.rows) * static_cast<std::size_t>(m.cols));
  if (m.kind == kOmitted || m.kind == kOtherClass) m.values.clear();
  return m.values.empty() || std::fread(m.values.data(), sizeof(double), m.values.size(), f) == m.values.size();
}

inline bool writeCall(const char* path, const Call& c) {
  std::FILE* f = std::fopen(path, "wb");
  if (!f) return false;
  putText(f, c.module);
  putInt(f, c.nlhs);
  putInt(f, static_cast<std::int32_t>(c.keep));
  putInt(f, static_cast<std::int32_t>(c.inputs.size()));
  for (const Matrix& m : c.inputs) putMatrix(f, m);
  return std::fclose(f) == 0;
}

inline bool readCall(const char* path, Call& c) {
  std::FILE* f = std::fopen(path, "rb");
  if (!f) return false;
  std::int32_t keep = 0, n = 0;
  bool ok = getText(f, c.module) && getInt(f, c.nlhs) && getInt(f, keep) && getInt(f, n) && n >= 0 && n < 64;
  c.keep = static_cast<std::uint32_t>(keep);
  c.inputs.resize(ok ? static_cast<std::size_t>(n) : 0);
  for (Matrix& m : c.inputs) ok = ok && getMatrix(f, m);
  std::fclose(f);
  return ok;
}

inline bool writeOutcome(const char* path, const Outcome& o) {
  std::FILE* f = std::fopen(path, "wb");
  if (!f) return false;
  putInt(f, o.failed ? 1 : 0);
  if (o.failed) {
    putText(f, o.message);
  } else {
    putInt(f, static_cast<std::int32_t>(o.results.size()));
    for (const Matrix& m : o.results) putMatrix(f, m);
  }
  return std::fclose(f) == 0;
}

}  // namespace casefile
