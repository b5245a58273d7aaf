// dyadfit on the command line: reads an image (PGM or a plain-text matrix),
// runs one module through the standalone binding and writes its estimate.
//
//   dyadfit tessik  --pen P [--sh S]                        IN OUT
//   dyadfit brindel [--sh S] [--noise Gaussian|Poisson] [--pen1 A] [--pen2 B] [--lines L] IN OUT
//   dyadfit quarlo  (as brindel)                            IN OUT
//   --threads N (any module) sets the number of worker threads.
//
// OUT ending in .pgm is written as a 16-bit PGM (values rounded and clipped
// to 0..65535; NaN or Inf refused); anything else as a text matrix with full
// precision.
// SIGINT or SIGTERM stops the run cleanly: no OUT, exit status 128 + signal.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "constant/tessik_entry.h"
#include "dyadic/parallel.h"
#include "host/standalone.h"
#include "platelet/quarlo_entry.h"
#include "tools/image_io.h"
#include "wedgelet/brindel_entry.h"

namespace {

using dyadfit::Array;

using dyadfit::cli::Failure;

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
               "IN: PGM (P2/P5) or text matrix; OUT: .pgm (16-bit, no NaN or Inf) or text matrix\n"
               "--threads N (any module): worker threads (default: DYADFIT_THREADS, else the cores)\n"
               "exit status: 0 done; 1 error (unreadable or malformed IN, bad option value, the module's\n"
               "check, failed write of OUT); 2 usage; 130 stopped by SIGINT (Ctrl-C), 143 by SIGTERM;\n"
               "a failed or stopped run writes no OUT\n";
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
      if (options.count(arg)) {
        std::cerr << "dyadfit: option " << arg << " given twice\n";
        return 1;
      }
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
    const Array image = dyadfit::cli::readImageFile(files[0]);
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
    dyadfit::cli::writeImageFile(files[1], results.at(0));
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
  } catch (const std::exception& e) {
    std::cerr << "dyadfit: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
