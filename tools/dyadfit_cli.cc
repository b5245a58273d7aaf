// dyadfit on the command line: reads an image (PGM or a plain-text matrix),
// runs one module through the standalone binding and writes its estimate.
//
//   dyadfit tessik  --pen P [--sh S]                        IN OUT
//   dyadfit brindel [--sh S] [--noise Gaussian|Poisson] [--pen1 A] [--pen2 B] [--lines L] IN OUT
//   dyadfit quarlo  (as brindel)                            IN OUT
//   --threads N (any module) sets the number of worker threads.
//
// OUT ending in .pgm is written as a 16-bit PGM (values rounded and clipped
// to 0..65535); anything else as a text matrix with full precision.
// SIGINT or SIGTERM stops the run cleanly: no OUT, exit status 128 + signal.
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "constant/tessik_entry.h"
#include "dyadic/parallel.h"
#include "host/standalone.h"
#include "platelet/quarlo_entry.h"
#include "wedgelet/brindel_entry.h"

namespace {

using dyadfit::Array;

struct Failure {
  std::string message;
};

volatile std::sig_atomic_t gSignal = 0;

// Only async-signal-safe work: record the signal, raise the call's stop flag
// (a lock-free atomic store) and let a second signal end the process at once.
extern "C" void onStopSignal(int sig) {
  gSignal = sig;
  dyadfit::requestInterrupt();
  std::signal(sig, SIG_DFL);
}

void catchStopSignal(int sig) {
  // A signal ignored from the start (a script's background job) stays ignored.
  if (std::signal(sig, onStopSignal) == SIG_IGN) std::signal(sig, SIG_IGN);
}

bool endsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Next header token of a PGM, skipping comments.
std::string pgmToken(std::istream& in) {
  std::string tok;
  char c;
  while (in.get(c)) {
    if (c == '#') {
      std::string rest;
      std::getline(in, rest);
    } else if (std::isspace(static_cast<unsigned char>(c))) {
      if (!tok.empty()) return tok;
    } else {
      tok.push_back(c);
    }
  }
  return tok;
}

Array readPgm(std::istream& in, const std::string& magic) {
  long width = 0, height = 0, maxval = 0;
  try {
    width = std::stol(pgmToken(in));
    height = std::stol(pgmToken(in));
    maxval = std::stol(pgmToken(in));
  } catch (const std::exception&) {
    throw Failure{"malformed PGM header"};
  }
  if (width < 0 || height < 0 || maxval < 1 || maxval > 65535 || width > (1L << 24) || height > (1L << 24))
    throw Failure{"unsupported PGM size or depth"};
  Array a = Array::zeros(static_cast<std::size_t>(height), static_cast<std::size_t>(width));
  for (long r = 0; r < height; ++r)
    for (long c = 0; c < width; ++c) {
      long v = 0;
      if (magic == "P2") {
        if (!(in >> v)) throw Failure{"PGM ends early"};
      } else {
        unsigned char b[2] = {0, 0};
        const int bytes = maxval > 255 ? 2 : 1;
        if (!in.read(reinterpret_cast<char*>(b), bytes)) throw Failure{"PGM ends early"};
        v = bytes == 2 ? (b[0] << 8) | b[1] : b[0];
      }
      a(static_cast<std::size_t>(r), static_cast<std::size_t>(c)) = static_cast<double>(v);
    }
  return a;
}

Array readText(std::istream& in) {
  std::vector<std::vector<double>> rows;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    std::vector<double> row;
    std::string tok;
    while (ls >> tok) {
      char* end = nullptr;
      const double v = std::strtod(tok.c_str(), &end);
      if (end == tok.c_str() || *end != '\0') throw Failure{"not a number: " + tok};
      row.push_back(v);
    }
    if (!row.empty()) rows.push_back(std::move(row));
  }
  const std::size_t m = rows.size(), n = m ? rows[0].size() : 0;
  Array a = Array::zeros(m, n);
  for (std::size_t r = 0; r < m; ++r) {
    if (rows[r].size() != n) throw Failure{"rows of different lengths"};
    for (std::size_t c = 0; c < n; ++c) a(r, c) = rows[r][c];
  }
  return a;
}

Array readImageFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Failure{"cannot open " + path};
  char head[2] = {0, 0};
  in.read(head, 2);
  const std::string magic(head, 2);
  if (magic == "P2" || magic == "P5") return readPgm(in, magic);
  in.clear();
  in.seekg(0);
  return readText(in);
}

void writeImageFile(const std::string& path, const Array& a) {
  std::ofstream out(path, std::ios::binary);
  if (!out) throw Failure{"cannot write " + path};
  // No partial OUT is left behind, whether the write fails or a signal stops it.
  auto discard = [&](Failure f) {
    out.close();
    std::remove(path.c_str());
    return f;
  };
  if (endsWith(path, ".pgm")) {
    out << "P5\n" << a.cols << ' ' << a.rows << "\n65535\n";
    for (std::size_t r = 0; r < a.rows; ++r)
      for (std::size_t c = 0; c < a.cols; ++c) {
        const double v = a(r, c);
        const long q = std::isnan(v) ? 0 : std::lround(std::fmin(std::fmax(v, 0.0), 65535.0));
        const unsigned char b[2] = {static_cast<unsigned char>(q >> 8), static_cast<unsigned char>(q & 0xff)};
        out.write(reinterpret_cast<const char*>(b), 2);
      }
  } else {
    char buf[32];
    for (std::size_t r = 0; r < a.rows; ++r) {
      for (std::size_t c = 0; c < a.cols; ++c) {
        std::snprintf(buf, sizeof buf, "%.17g", a(r, c));
        out << (c ? " " : "") << buf;
      }
      out << '\n';
    }
  }
  out.flush();
  if (!out) throw discard(Failure{"cannot write " + path});
  if (dyadfit::interruptRequested()) throw discard(Failure{dyadfit::kMsgInterrupted});
}

int positiveInteger(const std::string& name, const std::string& text) {
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || v < 1 || v > 256)
    throw Failure{"option " + name + " needs an integer from 1 to 256, not '" + text + "'"};
  return static_cast<int>(v);
}

double number(const std::string& name, const std::string& text) {
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0') throw Failure{"option " + name + " needs a number, not '" + text + "'"};
  return v;
}

int stopped() {
  std::cerr << "dyadfit: " << dyadfit::kMsgInterrupted << '\n';
  return 128 + gSignal;
}

int usage() {
  std::cerr << "usage: dyadfit tessik --pen P [--sh S] IN OUT\n"
               "       dyadfit brindel|quarlo [--sh S] [--noise Gaussian|Poisson] [--pen1 A] [--pen2 B]"
               " [--lines L] IN OUT\n"
               "IN: PGM (P2/P5) or text matrix; OUT: .pgm (16-bit) or text matrix\n"
               "--threads N (any module): worker threads (default: DYADFIT_THREADS, else the cores)\n"
               "exit status: 0 done, 1 error, 2 usage, 130 stopped by SIGINT (Ctrl-C), 143 by SIGTERM;\n"
               "a stopped run writes no OUT\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string module = argv[1];
  std::map<std::string, std::string> options;
  std::vector<std::string> files;
  for (int k = 2; k < argc; ++k) {
    const std::string arg = argv[k];
    if (arg.rfind("--", 0) == 0) {
      if (k + 1 >= argc) return usage();
      options[arg] = argv[++k];
    } else {
      files.push_back(arg);
    }
  }
  if (files.size() != 2) return usage();
  catchStopSignal(SIGINT);
  catchStopSignal(SIGTERM);

  try {
    if (auto it = options.find("--threads"); it != options.end()) {
      dyadfit::setThreadCount(positiveInteger("--threads", it->second));
      options.erase(it);
    }
    const Array image = readImageFile(files[0]);
    std::vector<Array> inputs{image};
    dyadfit::EntryFn entry = nullptr;
    auto take = [&](const char* name) {
      auto it = options.find(name);
      if (it == options.end()) return Array::empty();
      Array v = Array::scalar(number(name, it->second));
      options.erase(it);
      return v;
    };
    if (module == "tessik") {
      entry = dyadfit::tessik;
      if (!options.count("--pen")) throw Failure{"tessik needs --pen"};
      inputs.push_back(take("--pen"));
      if (options.count("--sh")) inputs.push_back(take("--sh"));
    } else if (module == "brindel" || module == "quarlo") {
      entry = module == "brindel" ? dyadfit::brindel : dyadfit::quarlo;
      // The second penalty is read only beside the first.
      if (options.count("--pen2") && !options.count("--pen1")) throw Failure{"--pen2 needs --pen1"};
      inputs.push_back(take("--sh"));
      auto noise = options.find("--noise");
      inputs.push_back(Array::string(noise == options.end() ? "Gaussian" : noise->second));
      if (noise != options.end()) options.erase(noise);
      inputs.push_back(take("--pen1"));
      inputs.push_back(take("--pen2"));
      inputs.push_back(take("--lines"));
    } else {
      return usage();
    }
    if (!options.empty()) throw Failure{"unknown option " + options.begin()->first};
    const std::vector<Array> results = dyadfit::callEntry(entry, inputs, 1);
    if (dyadfit::interruptRequested()) throw dyadfit::Error(dyadfit::kMsgInterrupted);
    writeImageFile(files[1], results.at(0));
  } catch (const dyadfit::Error& e) {
    if (gSignal != 0) return stopped();
    std::cerr << module << ": " << e.what() << '\n';
    return 1;
  } catch (const Failure& f) {
    if (gSignal != 0) return stopped();
    std::cerr << "dyadfit: " << f.message << '\n';
    return 1;
  } catch (const std::bad_alloc&) {
    std::cerr << "dyadfit: out of memory\n";
    return 1;
  }
  return 0;
}
