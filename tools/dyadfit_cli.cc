// SPDX-License-Identifier: BSD-3-Clause
// dyadfit on the command line: reads an image file, denoises it or runs one
// module on each of its channels, and writes the estimate.
//
//   dyadfit denoise IN OUT [options]
//   dyadfit tessik|brindel|quarlo IN OUT [options]
//   dyadfit --help | dyadfit SUBCOMMAND --help
//
// SIGINT or SIGTERM stops the run cleanly: no OUT, exit status 128 + signal.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "constant/tessik_entry.h"
#include "denoise/denoise.h"
#include "draw/draw_partition.h"
#include "draw/show_entry.h"
#include "dyadic/entry_checks.h"
#include "dyadic/parallel.h"
#include "host/standalone.h"
#include "platelet/quarlo_entry.h"
#include "tools/float_files.h"
#include "tools/image_files.h"
#include "tools/progress.h"
#include "tools/tiled_denoise.h"
#include "wedgelet/brindel_entry.h"

namespace {

using dyadfit::Array;
using dyadfit::cli::Failure;
using dyadfit::cli::Image;

constexpr int kExitError = 1;
constexpr int kExitUsage = 2;

volatile std::sig_atomic_t gSignal = 0;

// Only async-signal-safe work: record the signal and raise the call's stop
// flag (a lock-free atomic store). A second signal ends the process at once,
// after removing a partly written OUT.
extern "C" void onStopSignal(int sig) {
  if (gSignal != 0) {
    dyadfit::cli::removePartialFile();
    std::signal(sig, SIG_DFL);
    std::raise(sig);
    return;
  }
  gSignal = sig;
  dyadfit::requestInterrupt();
}

void catchStopSignal(int sig) {
  // A signal ignored from the start (a script's background job) stays ignored.
  struct sigaction old {};
  if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) return;
  // No SA_RESTART: a blocked open or read (a FIFO without a writer, a
  // terminal) returns EINTR, and the reader sees the stop request.
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  ::sigaction(sig, &action, nullptr);
}

// A command line the tool cannot take: its message, then a pointer to --help.
struct Usage {
  std::string message;
};

const char* const kGeneralHelp = R"(usage: dyadfit denoise IN OUT [options]
       dyadfit tessik|brindel|quarlo IN OUT [options]
       dyadfit SUBCOMMAND [options] --output-dir DIR IN...
       dyadfit SUBCOMMAND --help | dyadfit --version

Subcommands:
  denoise   denoise an image of any size: noise level found from the image,
            estimates averaged over shifted partitions (wedgelets by default)
  tessik    one constant per square of a dyadic partition
  brindel   wedgelets: constants, or squares cut by a line into two constants
  quarlo    platelets: planes, or squares cut by a line into two planes

IN, its format told by its first bytes: TIFF (through libtiff: 8/16/32-bit
integer or 32/64-bit float samples as stored, every page of a multi-page
file, palette expanded, CMYK converted), FITS (through CFITSIO: BITPIX 8, 16,
32, -32, -64 with BSCALE and BZERO applied; the primary image or the first
image extension; NaN, Inf and BLANK pixels refused), PGM (samples as stored,
whatever the maxval), PNG, JPEG, GIF, BMP, PPM/PNM and the other formats of
GraphicsMagick, or a text matrix (numbers separated by spaces or commas, one
image row per line). "-" reads standard input. An alpha channel is dropped.
A colour image is denoised in a luminance and colour-difference basis
(denoise --colour), and processed channel by channel by the modules; with
--grey, its luminance 0.299 R + 0.587 G + 0.114 B is.

OUT, by its extension: .png, .tif/.tiff, .jpg/.jpeg (8 bits), .pgm (one
channel), .ppm/.pnm, .fits/.fit/.fts, or .txt/.csv, a text matrix that keeps
every value exactly (%.17g; one channel); any other name is refused. FMT:NAME
names the format (e.g. png:out, txt:/dev/stdout); "-" writes standard output
in IN's format, "FMT:-" in FMT. The estimate keeps IN's samples: TIFF and
FITS hold them as IN did (integers of IN's width, floats; a FITS IN's header
cards carried over), PNG, JPEG and PNM hold 8 or 16 bits (16 for text or float
IN). Integers are rounded and clipped to their range, and NaN or Inf is
refused. Several pages are written as a multi-page TIFF, in order. OUT is
written under a temporary name beside it and renamed when complete; IN, OUT
and --partition must be different files.

Rates: under Poisson noise (--noise poisson, or poisson-gaussian for denoise)
the estimate is a rate, never rounded: .tif is then written as 32-bit float
TIFF, .fits as 64-bit float FITS, text as it is. A format of integers (.png,
.jpg, .pgm, .ppm, or --depth) is refused unless --scale F multiplies the
rates by F, after which image files hold integers, rounded and clipped as
above (a text OUT holds the products exactly).

Limits: images of up to 2^28 pixels; files up to 4 GiB, standard input and
other streams up to 1 GiB; magnitudes up to 1e100; and the memory a run
needs, about 180 bytes per sample of the image padded to power-of-two sides,
within the machine's, else the run is refused before it starts.

Options of every subcommand:
  --threads N   worker threads, 1 to 256 (default: DYADFIT_THREADS, else the
                number of cores; the result is the same for any count)
  --grey        process the luminance of a colour image (one channel out)
  --depth 8|16  bits per sample of an image OUT (unsigned integers); an
                8- or 16-bit IN is rescaled (times or divided by 257)
  --quality N   JPEG quality, 1 to 100 (the library's default, 75)
  -q, --quiet   no progress display and no summary on stderr (the progress
                display appears only when stderr is a terminal)
  --output-dir DIR   batch: every file named is an IN, written to DIR under
                its own name (its format by its extension); a failed IN is
                reported and the others go on; status 1 if any failed
  --partition FILE   also write a picture of the final partition (first
                channel): square outlines in yellow, the cut of every split
                square in blue, one pixel wide and blended over the estimate;
                an 8-bit colour image, enlarged so that its larger side has
                at least 512 pixels. For denoise, the partition of the
                unshifted run (the luminance's for colour, drawn over the
                mean of the channels).
  --on estimate|input   what the partition is drawn over (estimate)
  --scale F     denoise, brindel, quarlo under Poisson noise: multiply the
                rates by F > 0 and write integers (see Rates above)
  -h, --help    this text, or a subcommand's
  --            ends the options: every later argument is a file

Exit status: 0 done; 1 error (unreadable or malformed IN, bad option value,
the module's check, failed write of OUT); 2 usage (unknown subcommand or
option, missing value or file); 130 stopped by SIGINT (Ctrl-C), 143 by
SIGTERM, during reads and writes too. A failed or stopped run leaves no OUT,
no --partition picture and no partial file; a second Ctrl-C ends the tool
at once.

Examples:
  dyadfit denoise noisy.png clean.png
  dyadfit denoise photo.tif out.tif --partition part.png --on input
  dyadfit denoise --noise poisson --method platelet counts.tif rates.tif
  dyadfit denoise --noise poisson --scale 4 counts.png est.png
  dyadfit brindel --sh 4 --pen 3,6 --grey photo.jpg est.png
  dyadfit denoise --noise poisson stack.tif rates.tif
  dyadfit denoise -q --output-dir clean/ scans/*.fits
  cat noisy.png | dyadfit denoise - - > clean.png
)";

const char* const kDenoiseHelp = R"(usage: dyadfit denoise IN OUT [options]

Denoises an image of any size: pads it to dyadic sides, finds the Gaussian
noise level of each channel from the image (or takes --sigma), scales to unit
variance, and averages the module's estimates over cyclic shifts of the grid.
A colour image is denoised as a whole, by default in an orthonormal
luminance and colour-difference basis. Under Gaussian noise the result keeps
the input's range (8- or 16-bit files: rounded to whole values); under the
Poisson models it is a rate, never rounded (see Rates in dyadfit --help).
Summary on stderr: channels, noise level per channel or the camera's
parameters, block side per denoised channel, shifts, penalties and time.

Options (names and messages as in Octave's dyadfit_denoise):
  --method constant|wedgelet|platelet   model of the pieces (wedgelet)
  --noise gaussian|poisson|poisson-gaussian   noise model (gaussian):
                    additive Gaussian, Poisson counts, or a camera's
                    gain * Poisson + offset + Gaussian read noise
  --colour opponent|rgb   colour in the opponent basis, or each channel as
                    it is (opponent; Poisson counts: always each channel)
  --wiener auto|on|off   the Wiener second stage (auto: kept per channel
                    when its estimated risk is lower than the dyadic
                    estimate's, averaged over 2 x N shifts; off: the dyadic
                    estimate over N shifts alone)
  --shifts N        shifted grids averaged, 1 to 1024 (4)
  --sigma S[,S,S]   Gaussian noise level, one for all channels or one per
                    channel (estimated from each channel)
  --gain G, --offset O, --read-noise R   poisson-gaussian camera, in the
                    image's units: gain > 0, offset, read noise >= 0
                    (each estimated from the image when not given)
  --block-side B    block side of the pre-averaging, a power of two (from
                    the image's signal-to-noise ratio; 1 for constant)
  --penalties A[,B] penalties on the scaled image (the modules' defaults)
  --lines L         lines tried per square (the modules' default)
  --scale F         Poisson models: write the rates times F as integers
  --tile T          denoise a TIFF tile by tile, T x T pixels with their
                    margins (a power of two), reading and writing a band of
                    rows at a time: the whole image is never in memory (see
                    Tiles below)
  and --threads, --grey, --depth, --quality, --quiet, --partition, --on,
  --output-dir (see dyadfit --help).
  The partition picture shows the first denoised channel's partition (the
  luminance of a colour image) over the mean of the channels.

Tiles (--tile T): IN a one-page grey or RGB TIFF of 8-, 16- or 32-bit
integer or 32- or 64-bit float samples in one plane, stored in strips or
tiles, any compression; OUT an uncompressed TIFF of IN's samples (32-bit
float under the Poisson models). What the whole image would take from its
size or content is fixed once for all tiles: the noise level (or the camera)
as the median over 16 sample windows of 512 x 512 spread over the image; the
block side from one pass over every row (as the whole image chooses it);
the penalties, lines and the pilot's penalties from the whole padded size;
and under --wiener auto the second stage, on or off for every tile, by the
guard on one window of up to 2048 x 2048 at the centre (off: 2 x N shifts,
as the whole image's guard averages). Each tile reads a margin of 4 block
sides (at least 8 pixels) beyond its edges and keeps its interior, T - 2 x
margin on a side. --partition, --grey, --depth, --scale and --output-dir are
not available with --tile, nor standard input or output.

Examples:
  dyadfit denoise noisy.png clean.png
  dyadfit denoise --tile 2048 big.tif out.tif
  dyadfit denoise --sigma 12.5 --shifts 8 scan.tif est.tif
  dyadfit denoise --sigma 9,6,11 --colour rgb photo.png est.png
  dyadfit denoise --method platelet --noise poisson counts.pgm rates.fits
  dyadfit denoise --noise poisson-gaussian --gain 2.1 --offset 100 \
                  --read-noise 3 raw.tif rates.tif
  dyadfit denoise --noise poisson-gaussian raw.png est.png --scale 1
)";

const char* const kTessikHelp = R"(usage: dyadfit tessik IN OUT --pen P [--sh N] [options]

One constant per square of a dyadic partition: IN is averaged over aligned
N x N blocks, and four sibling squares merge into their parent whenever the
parent's squared error plus P does not exceed the children's plus P each.
IN must be square with a power-of-two side.

  --pen P    penalty per square, >= 0 (required; in squared intensity units)
  --sh N     block side of the pre-averaging, dividing the side (1)
  and --threads, --grey, --depth, --quality, --quiet, --partition, --on,
  --output-dir (see dyadfit --help).

Example:
  dyadfit tessik --pen 40 --sh 2 in.png est.png
)";

const char* const kSplitHelp = R"(usage: dyadfit %s IN OUT [--sh N] [--noise gaussian|poisson] [--pen A[,B]]
              [--lines L] [--scale F] [options]

%s
IN's sides must be powers of two, at least 2 (non-square allowed).

  --sh N           block side of the pre-averaging, dividing both sides
                   (default 2^floor(log2((M*N)^(1/6))))
  --noise gaussian|poisson   cost: squared error or negative Poisson
                   log-likelihood (gaussian)
  --pen A[,B]      penalty of one piece, and of each piece of a split
                   (defaults from the image size; B only beside A)
  --lines L        candidate lines per square, 0 to 1e8 (about (M*N)^(2/3))
  --scale F        under --noise poisson: write the rates times F as integers
                   (else they need a float .tif, .fits or text OUT)
  and --threads, --grey, --depth, --quality, --quiet, --partition, --on,
  --output-dir (see dyadfit --help).

The Gaussian cost is a plain sum of squares: for noise of standard deviation
s, multiply the penalties by s^2 (or use dyadfit denoise).

Examples:
  dyadfit %s --sh 4 --pen 3,6 in.png est.png
  dyadfit %s --noise poisson counts.pgm rates.tif
)";

const char* const kBrindelText =
    "Wedgelets: every square of a pruned dyadic partition holds one constant or\n"
    "is cut by one straight line into two constants.\n";
const char* const kQuarloText =
    "Platelets: every square of a pruned dyadic partition holds one least-squares\n"
    "plane or is cut by one straight line into two planes.\n";

void printHelp(const std::string& sub) {
  if (sub == "denoise") {
    std::fputs(kDenoiseHelp, stdout);
  } else if (sub == "tessik") {
    std::fputs(kTessikHelp, stdout);
  } else if (sub == "brindel" || sub == "quarlo") {
    std::printf(kSplitHelp, sub.c_str(), sub == "brindel" ? kBrindelText : kQuarloText, sub.c_str(), sub.c_str());
  } else {
    std::fputs(kGeneralHelp, stdout);
  }
}

bool isSubcommand(const std::string& s) { return s == "denoise" || s == "tessik" || s == "brindel" || s == "quarlo"; }

// The options a subcommand takes, each with a value unless it is a flag.
const std::map<std::string, bool>& optionsOf(const std::string& sub) {
  static const std::map<std::string, bool> common = {{"--threads", true},    {"--grey", false},     {"--depth", true},
                                                     {"--quiet", false},     {"--partition", true}, {"--on", true},
                                                     {"--output-dir", true}, {"--quality", true}};
  static const std::map<std::string, std::map<std::string, bool>> table = [] {
    std::map<std::string, std::map<std::string, bool>> t;
    t["tessik"] = {{"--pen", true}, {"--sh", true}};
    t["brindel"] = {{"--sh", true}, {"--noise", true}, {"--pen", true}, {"--lines", true}, {"--scale", true}};
    t["quarlo"] = t["brindel"];
    t["denoise"] = {{"--method", true},     {"--noise", true},      {"--colour", true},    {"--wiener", true},
                    {"--shifts", true},     {"--sigma", true},      {"--gain", true},      {"--offset", true},
                    {"--read-noise", true}, {"--block-side", true}, {"--penalties", true}, {"--lines", true},
                    {"--scale", true},      {"--tile", true}};
    for (auto& [name, options] : t) options.insert(common.begin(), common.end());
    return t;
  }();
  return table.at(sub);
}

struct Command {
  std::string sub;
  std::vector<std::string> files;
  std::map<std::string, std::string> values;  // options given with a value
  bool grey = false, quiet = false;
  // A picture of the final partition, drawn beside OUT.
  std::string partition;
  // Batch: every file is an IN, written to this folder under its own name.
  std::string outputDir;

  bool has(const std::string& o) const { return values.count(o) != 0; }
};

// Options and files in any order; "--name=value" or "--name value"; "--"
// ends the options; "-" alone is a file (standard input or output).
Command parseCommand(const std::string& sub, int argc, char** argv) {
  Command cmd;
  cmd.sub = sub;
  const auto& known = optionsOf(sub);
  bool onlyFiles = false;
  for (int k = 2; k < argc; ++k) {
    std::string arg = argv[k];
    if (!onlyFiles && arg == "--") {
      onlyFiles = true;
      continue;
    }
    if (!onlyFiles && arg == "-q") arg = "--quiet";
    if (onlyFiles || arg.size() < 2 || arg[0] != '-') {
      cmd.files.push_back(arg);
      continue;
    }
    if (arg.rfind("--", 0) != 0) throw Usage{"unknown option " + arg + " for " + sub};
    std::string value;
    bool inlineValue = false;
    if (const std::size_t eq = arg.find('='); eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.erase(eq);
      inlineValue = true;
    }
    const auto it = known.find(arg);
    if (it == known.end()) throw Usage{"unknown option " + arg + " for " + sub};
    if (!it->second) {
      if (inlineValue) throw Usage{"option " + arg + " takes no value"};
      (arg == "--grey" ? cmd.grey : cmd.quiet) = true;
      continue;
    }
    if (!inlineValue) {
      if (k + 1 >= argc) throw Usage{"option " + arg + " needs a value"};
      value = argv[++k];
    }
    if (arg == "--partition" || arg == "--output-dir") {
      std::string& field = arg == "--partition" ? cmd.partition : cmd.outputDir;
      if (!field.empty()) throw Usage{"option " + arg + " given twice"};
      if (value.empty()) throw Usage{"option " + arg + " needs a value"};
      field = value;
      continue;
    }
    if (!cmd.values.emplace(arg, value).second) throw Usage{"option " + arg + " given twice"};
  }
  if (!cmd.outputDir.empty()) {
    if (cmd.files.empty()) throw Usage{sub + " --output-dir DIR takes one IN or more"};
  } else if (cmd.files.size() != 2) {
    throw Usage{sub + " takes IN and OUT, " + std::to_string(cmd.files.size()) + " file name" +
                (cmd.files.size() == 1 ? "" : "s") + " given"};
  }
  return cmd;
}

int integerOption(const std::string& name, const std::string& text, long low, long high) {
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || v < low || v > high)
    throw Failure{"option " + name + " needs an integer from " + std::to_string(low) + " to " + std::to_string(high) +
                  ", not '" + text + "'"};
  return static_cast<int>(v);
}

double number(const std::string& name, const std::string& text) {
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0') throw Failure{"option " + name + " needs a number, not '" + text + "'"};
  return v;
}

// "A" or "A,B".
std::vector<double> numberList(const std::string& name, const std::string& text) {
  std::vector<double> out;
  std::size_t start = 0;
  while (true) {
    const std::size_t comma = text.find(',', start);
    out.push_back(number(name, text.substr(start, comma == std::string::npos ? std::string::npos : comma - start)));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return out;
}

// The module's own spelling; any other name goes through for its message.
std::string noiseName(const std::string& text) {
  std::string l;
  for (char c : text) l.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  if (l == "gaussian") return "Gaussian";
  if (l == "poisson") return "Poisson";
  return text;
}

// The module's inputs after the image, from the options.
std::vector<Array> moduleInputs(const Command& cmd) {
  auto scalar = [&](const char* name) {
    auto it = cmd.values.find(name);
    return it == cmd.values.end() ? Array::empty() : Array::scalar(number(name, it->second));
  };
  std::vector<Array> in;
  std::vector<double> pen;
  if (cmd.has("--pen")) pen = numberList("--pen", cmd.values.at("--pen"));
  if (cmd.sub == "tessik") {
    if (pen.empty()) throw Failure{"tessik needs --pen"};
    if (pen.size() != 1) throw Failure{"tessik takes one penalty, --pen P"};
    in.push_back(Array::scalar(pen[0]));
    if (cmd.has("--sh")) in.push_back(scalar("--sh"));
    return in;
  }
  if (pen.size() > 2) throw Failure{cmd.sub + " takes one or two penalties, --pen A[,B]"};
  in.push_back(scalar("--sh"));
  in.push_back(Array::string(cmd.has("--noise") ? noiseName(cmd.values.at("--noise")) : "Gaussian"));
  in.push_back(pen.empty() ? Array::empty() : Array::scalar(pen[0]));
  in.push_back(pen.size() < 2 ? Array::empty() : Array::scalar(pen[1]));
  in.push_back(scalar("--lines"));
  return in;
}

// The denoise options as the name-value pairs Octave's caller would pass,
// read by the same parser so that they take the same values and messages.
dyadfit::DenoiseOptions denoiseOptions(const Command& cmd) {
  static const std::pair<const char*, const char*> names[] = {{"--method", "Method"},
                                                              {"--noise", "Noise"},
                                                              {"--colour", "Colour"},
                                                              {"--wiener", "Wiener"},
                                                              {"--shifts", "Shifts"},
                                                              {"--sigma", "Sigma"},
                                                              {"--gain", "Gain"},
                                                              {"--offset", "Offset"},
                                                              {"--read-noise", "ReadNoise"},
                                                              {"--block-side", "BlockSide"},
                                                              {"--penalties", "Penalties"},
                                                              {"--lines", "Lines"}};
  std::vector<Array> pairs;
  for (const auto& [option, name] : names) {
    auto it = cmd.values.find(option);
    if (it == cmd.values.end()) continue;
    const std::string o = option;
    pairs.push_back(Array::string(name));
    if (o == "--method" || o == "--noise" || o == "--colour" || o == "--wiener") {
      pairs.push_back(Array::string(it->second));
    } else if (o == "--penalties" || o == "--sigma") {
      const std::vector<double> list = numberList(option, it->second);
      pairs.push_back(Array::matrix(1, list.size(), list));
    } else {
      pairs.push_back(Array::scalar(number(option, it->second)));
    }
  }
  std::vector<dyadfit::ArrayInput> views(pairs.begin(), pairs.end());
  std::vector<const dyadfit::Input*> inputs;
  for (const auto& v : views) inputs.push_back(&v);
  return dyadfit::parseDenoiseOptions(dyadfit::Inputs(inputs.data(), inputs.size()), 0);
}

std::string lowerText(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Whether the estimate is rates (Poisson noise), which are never rounded
// unless --scale asks for integers.
bool ratesOut(const Command& cmd) {
  if (cmd.sub == "tessik" || !cmd.has("--noise")) return false;
  const std::string noise = lowerText(cmd.values.at("--noise"));
  return noise == "poisson" || (cmd.sub == "denoise" && noise == "poisson-gaussian");
}

// An image format of integer samples, as the refusal of rates names it.
std::string integerFormatName(const dyadfit::cli::OutputTarget& out, int depth) {
  using dyadfit::cli::OutputFormat;
  switch (out.format) {
    case OutputFormat::Tiff: return std::to_string(depth) + "-bit TIFF";
    case OutputFormat::Fits: return std::to_string(depth) + "-bit FITS";
    case OutputFormat::Pnm: {
      const std::size_t dot = out.path.find_last_of('.');
      std::string upper;
      if (dot != std::string::npos)
        for (char c : out.path.substr(dot + 1))
          upper.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
      return upper == "PPM" ? upper : "PNM";
    }
    default: return dyadfit::cli::formatName(out.format);
  }
}

// The storage class the core rounds a Gaussian estimate to.
dyadfit::ValueClass valueClass(const Image& image) {
  using dyadfit::ValueClass;
  using dyadfit::cli::Samples;
  switch (image.samples) {
    case Samples::Unsigned:
      return image.depth == 8 ? ValueClass::UInt8 : image.depth == 16 ? ValueClass::UInt16 : ValueClass::UInt32;
    case Samples::Signed:
      return image.depth == 8 ? ValueClass::Int8 : image.depth == 16 ? ValueClass::Int16 : ValueClass::Int32;
    case Samples::Float: return image.depth == 32 ? ValueClass::Single : ValueClass::Double;
    default: return ValueClass::Double;
  }
}

// "a,b,c" of `v`, each as %.6g.
template <typename T>
std::string listText(const std::vector<T>& v) {
  std::string out;
  for (std::size_t k = 0; k < v.size(); ++k) {
    char buf[32];
    std::snprintf(buf, sizeof buf, k ? ",%.6g" : "%.6g", static_cast<double>(v[k]));
    out += buf;
  }
  return out;
}

// One line: channels, noise level or camera, block sides and penalties per
// denoised channel (opponent channels for colour), shifts, padding, time.
void printDenoiseInfo(const dyadfit::DenoiseInfo& info, const dyadfit::DenoiseOptions& options) {
  const std::size_t channels = info.sigma.size();
  std::string line = "denoise: " + std::to_string(channels) + (channels == 1 ? " channel" : " channels");
  // Poisson counts are denoised channel by channel, whatever the colour mode.
  if (channels == 3)
    line += options.noise == dyadfit::NoiseModel::Poisson
                ? " (rgb)"
                : std::string(" (") + dyadfit::colourName(options.colour) + ")";
  line += std::string(", ") + dyadfit::methodName(options.method) + ", " + dyadfit::noiseName(options.noise);
  if (options.noise == dyadfit::NoiseModel::Gaussian)
    line += ", sigma " + listText(info.sigma) + (info.sigmaEstimated ? " (estimated)" : " (given)");
  if (options.noise == dyadfit::NoiseModel::PoissonGaussian) {
    char buf[160];
    std::snprintf(buf, sizeof buf, ", gain %.6g, offset %.6g, read noise %.6g (%s)", info.camera.gain,
                  info.camera.offset, info.camera.readNoise, info.cameraEstimated ? "estimated" : "given");
    line += buf;
  }
  std::vector<std::string> pens;
  for (const auto& p : info.penalties) pens.push_back(p.empty() ? "none" : listText(p));
  // Channels with the same penalties show them once.
  std::string penText = pens.empty() ? "none" : pens[0];
  if (std::any_of(pens.begin(), pens.end(), [&](const std::string& p) { return p != pens[0]; }))
    for (std::size_t k = 1; k < pens.size(); ++k) penText += " / " + pens[k];
  std::vector<int> sides;
  std::string stages;
  for (std::size_t c = 0; c < info.blockSide.size(); ++c) {
    if (info.stage[c] < 0) continue;
    sides.push_back(info.blockSide[c]);
    stages += std::string(stages.empty() ? "" : ",") + (info.stage[c] == 1 ? "two-stage" : "dyadic");
  }
  line += ", kept " + (stages.empty() ? std::string("none") : stages);
  line += (sides.size() == 1 ? ", block side " : ", block sides ") + listText(sides) + ", shifts " +
          std::to_string(info.shifts) + ", penalties " + penText + ", padded to " + std::to_string(info.paddedRows) +
          "x" + std::to_string(info.paddedCols) + ", " + dyadfit::cli::durationText(info.seconds);
  std::fprintf(stderr, "%s\n", line.c_str());
}

// The partition picture as an 8-bit RGB image (values 0..255).
Image pictureImage(const std::vector<double>& rgb, std::size_t rows, std::size_t cols) {
  Image picture;
  picture.samples = dyadfit::cli::Samples::Unsigned;
  picture.depth = 8;
  for (std::size_t k = 0; k < 3; ++k) {
    std::vector<double> plane(rgb.begin() + static_cast<std::ptrdiff_t>(k * rows * cols),
                              rgb.begin() + static_cast<std::ptrdiff_t>((k + 1) * rows * cols));
    for (double& v : plane) v *= 255;
    picture.channels.push_back(Array::matrix(rows, cols, std::move(plane)));
  }
  return picture;
}

// The estimate of every channel and, when `picture` is given, the final
// partition of the first channel drawn over that channel's estimate (or over
// the input with onInput).
Image estimate(const Command& cmd, const Image& in, dyadfit::cli::Progress& progress, Image* picture, bool onInput,
               const std::string& label) {
  Image out = in;
  out.channels.clear();
  const std::size_t channels = in.channels.size();
  auto channelLabel = [&](std::size_t ch) {
    return label +
           (channels == 1 ? std::string() : " channel " + std::to_string(ch + 1) + "/" + std::to_string(channels));
  };
  if (cmd.sub == "denoise") {
    dyadfit::DenoiseOptions options = denoiseOptions(cmd);
    options.partition = picture != nullptr;
    // denoiseImage runs the entries directly: the stop request reaches them
    // through this scope, as callEntry's does for the modules.
    dyadfit::InterruptScope interruptible(dyadfit::interruptRequested);
    const std::size_t rows = in.rows(), cols = in.cols(), n = rows * cols;
    // All channels at once, column-major planes one after another: colour
    // goes through the core's colour path, as from Octave.
    std::vector<double> planes;
    planes.reserve(n * channels);
    for (const Array& a : in.channels) planes.insert(planes.end(), a.values.begin(), a.values.end());
    progress.stage(label, true);
    dyadfit::DenoiseInfo info;
    const std::vector<double> result = dyadfit::denoiseImage(planes.data(), rows, cols, channels, valueClass(in),
                                                             options, &info, [&](double f) { progress.update(f); });
    for (std::size_t ch = 0; ch < channels; ++ch)
      out.channels.push_back(Array::matrix(
          rows, cols,
          std::vector<double>(result.begin() + std::ptrdiff_t(ch * n), result.begin() + std::ptrdiff_t((ch + 1) * n))));
    if (picture) {
      if (info.partition.rows == 0)
        throw Failure{"no partition to draw: " + cmd.files[0] + " was returned unchanged (no noise found)"};
      // The partition is the luminance's for colour: drawn over the channels' mean.
      int scale = 1;
      std::vector<double> rgb =
          dyadfit::drawDenoisePartition(onInput ? planes.data() : result.data(), rows, cols, channels, info, scale);
      *picture = pictureImage(rgb, rows * scale, cols * scale);
    }
    progress.finish();  // before the summary, on a clean line
    if (!cmd.quiet) printDenoiseInfo(info, options);
    return out;
  }
  const dyadfit::EntryFn entry = cmd.sub == "tessik"    ? dyadfit::tessik
                                 : cmd.sub == "brindel" ? dyadfit::brindel
                                                        : dyadfit::quarlo;
  const dyadfit::PartitionedEntryFn partitioned = cmd.sub == "tessik"    ? dyadfit::tessikPartitioned
                                                  : cmd.sub == "brindel" ? dyadfit::brindelPartitioned
                                                                         : dyadfit::quarloPartitioned;
  const std::vector<Array> options = moduleInputs(cmd);
  dyadfit::Partition partition;
  for (std::size_t ch = 0; ch < channels; ++ch) {
    progress.stage(channelLabel(ch), false);
    std::vector<Array> inputs{in.channels[ch]};
    inputs.insert(inputs.end(), options.begin(), options.end());
    if (picture && ch == 0)
      out.channels.push_back(std::move(dyadfit::callEntry(partitioned, inputs, 1, partition).at(0)));
    else
      out.channels.push_back(std::move(dyadfit::callEntry(entry, inputs, 1).at(0)));
  }
  if (picture) {
    const Array& grey = onInput ? in.channels[0] : out.channels[0];
    dyadfit::DrawOptions draw;
    draw.scale = dyadfit::defaultShowScale(grey.rows, grey.cols);
    dyadfit::displayRange(grey.values.data(), grey.size(), draw.lo, draw.hi);
    *picture = pictureImage(dyadfit::drawPartition(grey.values.data(), grey.rows, grey.cols, partition, draw),
                            grey.rows * draw.scale, grey.cols * draw.scale);
  }
  return out;
}

// Magnitudes above this are refused before any work: squared errors summed
// over the largest image must stay finite.
constexpr double kValueBound = 1e100;

// The settings of a run, checked once before any file is read.
struct Settings {
  bool onInput = false;
  int depth = 0;
  int quality = 0;
  bool rates = false;
  double scale = 0;  // 0: rates written as they are
};

Settings checkSettings(const Command& cmd) {
  Settings set;
  if (auto it = cmd.values.find("--on"); it != cmd.values.end()) {
    if (it->second != "input" && it->second != "estimate")
      throw Failure{"option --on needs 'estimate' or 'input', not '" + it->second + "'"};
    if (cmd.partition.empty()) throw Failure{"--on applies to the picture of --partition FILE"};
    set.onInput = it->second == "input";
  }
  if (auto it = cmd.values.find("--threads"); it != cmd.values.end())
    dyadfit::setThreadCount(integerOption("--threads", it->second, 1, 256));
  if (auto it = cmd.values.find("--depth"); it != cmd.values.end()) {
    if (it->second != "8" && it->second != "16")
      throw Failure{"option --depth needs 8 or 16, not '" + it->second + "'"};
    set.depth = std::stoi(it->second);
  }
  if (auto it = cmd.values.find("--quality"); it != cmd.values.end())
    set.quality = integerOption("--quality", it->second, 1, 100);
  // Options are checked before the image is read, and OUT before the work.
  if (cmd.sub == "denoise")
    (void)denoiseOptions(cmd);
  else
    (void)moduleInputs(cmd);
  set.rates = ratesOut(cmd);
  if (auto it = cmd.values.find("--scale"); it != cmd.values.end()) {
    char* end = nullptr;
    set.scale = std::strtod(it->second.c_str(), &end);
    if (it->second.empty() || *end != '\0' || !(set.scale > 0) || !std::isfinite(set.scale))
      throw Failure{"option --scale needs a positive finite number, not '" + it->second + "'"};
    if (!set.rates)
      throw Failure{std::string("--scale applies to rates: --noise poisson") +
                    (cmd.sub == "denoise" ? " or poisson-gaussian" : "")};
  }
  return set;
}

// The OUT checks that need only its format.
void checkOutput(const Settings& set, const dyadfit::cli::OutputTarget& out) {
  using dyadfit::cli::OutputFormat;
  const bool text = out.format == OutputFormat::Text || out.format == OutputFormat::Csv;
  if (set.depth != 0 && text) throw Failure{"--depth applies to an image OUT; " + out.path + " is written as text"};
  if (set.rates && set.scale == 0 && !text && (set.depth != 0 || dyadfit::cli::holdsIntegersOnly(out.format)))
    throw Failure{"rates would be rounded into " + integerFormatName(out, set.depth) +
                  "'s integers: write a float .tif, .fits or .txt, or give --scale F"};
}

// The file a name stands for, whether it exists yet or not.
std::string canonicalName(const std::string& path) {
  if (char* real = ::realpath(path.c_str(), nullptr)) {
    std::string s = real;
    std::free(real);
    return s;
  }
  const std::size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  if (char* real = ::realpath(folder.c_str(), nullptr)) {
    std::string s = std::string(real) + "/" + base;
    std::free(real);
    return s;
  }
  return path;
}

bool sameFile(const std::string& a, const std::string& b) {
  if (a == "-" || b == "-") return false;
  struct stat sa, sb;
  if (::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0)
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  return canonicalName(a) == canonicalName(b);
}

// The sum of a channel under Poisson noise decides the default penalties,
// which are its logarithm's multiples: below one count they are negative.
std::string smallCounts(const Image& image) {
  for (std::size_t ch = 0; ch < image.channels.size(); ++ch) {
    double sum = 0;
    for (double v : image.channels[ch].values) sum += v;
    if (sum < 1) {
      char text[64];
      std::snprintf(text, sizeof text, "%.6g", sum);
      return std::string(image.channels.size() > 1 ? "channel " + std::to_string(ch + 1) + " " : "") + "holds " + text +
             " counts in all";
    }
  }
  return {};
}

void checkValues(const Image& image, const std::string& name) {
  for (const Array& a : image.channels)
    for (std::size_t k = 0; k < a.values.size(); ++k)
      if (std::fabs(a.values[k]) > kValueBound) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "Values too large: %s holds %.6g at row %zu, column %zu; magnitudes up to %g are accepted",
                      name.c_str(), a.values[k], k % a.rows + 1, k / a.rows + 1, kValueBound);
        throw Failure{text};
      }
}

// Peak bytes of a run per sample of the image padded to power-of-two sides,
// measured on denoise with its Wiener stage (180 MB for 1024 x 1024 grey);
// the modules need less.
constexpr double kBytesPerPaddedSample = 180;

std::size_t paddedSide(std::size_t n) {
  std::size_t p = 1;
  while (p < n) p *= 2;
  return p;
}

void checkMemory(const std::vector<Image>& pages) {
  double samples = 0;
  for (const Image& page : pages)
    samples =
        std::max(samples, static_cast<double>(paddedSide(page.rows())) * static_cast<double>(paddedSide(page.cols())) *
                              static_cast<double>(page.channels.size()));
  const double needed = kBytesPerPaddedSample * samples;
  const long physPages = ::sysconf(_SC_PHYS_PAGES), pageSize = ::sysconf(_SC_PAGESIZE);
  if (physPages <= 0 || pageSize <= 0) return;
  const double memory = static_cast<double>(physPages) * static_cast<double>(pageSize);
  if (needed > memory) {
    char text[200];
    std::snprintf(text, sizeof text, "the image needs about %.1f GB of memory and the machine has %.1f GB",
                  needed / 1e9, memory / 1e9);
    throw Failure{text};
  }
}

// One IN to one OUT ("-": standard input or output).
void processFile(const Command& cmd, const Settings& set, const std::string& inPath, const std::string& outName) {
  using namespace dyadfit::cli;
  OutputTarget out = outputTarget(outName);
  if (out.known) checkOutput(set, out);
  OutputTarget part;
  if (!cmd.partition.empty()) {
    part = outputTarget(cmd.partition);
    if (!part.known || part.format == OutputFormat::Text || part.format == OutputFormat::Csv ||
        part.format == OutputFormat::Pgm)
      throw Failure{"--partition needs a colour image file (.png, .tif, ...), not " + cmd.partition};
    if (sameFile(part.path, out.path)) throw Failure{"--partition and OUT name the same file: " + cmd.partition};
    if (sameFile(part.path, inPath)) throw Failure{"--partition and IN name the same file: " + cmd.partition};
    checkWritablePath(part.path);
  }
  if (sameFile(out.path, inPath)) throw Failure{"OUT and IN name the same file: " + outName};
  if (out.path != "-") checkWritablePath(out.path);

  std::vector<Image> pages = readImages(inPath);
  if (cmd.grey)
    for (Image& page : pages) page = luminance(page);
  if (!out.known) {
    out.format = formatOfInput(pages[0]);
    checkOutput(set, out);
  }
  WriteOptions options;
  options.depth = set.depth;
  options.quality = set.quality;
  options.rates = set.rates && set.scale == 0;
  checkWritable(out.format, out.path, pages[0], pages.size(), options);
  for (const Image& page : pages) checkValues(page, inPath == "-" ? "standard input" : inPath);
  checkMemory(pages);

  Progress progress(!cmd.quiet && ::isatty(STDERR_FILENO));
  Image picture;
  std::vector<Image> results;
  for (std::size_t k = 0; k < pages.size(); ++k) {
    const std::string label =
        cmd.sub + (pages.size() > 1 ? " page " + std::to_string(k + 1) + "/" + std::to_string(pages.size()) : "");
    try {
      results.push_back(
          estimate(cmd, pages[k], progress, cmd.partition.empty() || k > 0 ? nullptr : &picture, set.onInput, label));
    } catch (const dyadfit::Error& e) {
      // The default penalties of Poisson counts are logarithms of their sum.
      const bool penaltiesGiven = cmd.has("--pen") || cmd.has("--penalties");
      const std::string few = set.rates && !penaltiesGiven ? smallCounts(pages[k]) : std::string();
      const std::string what = e.what();
      if ((what == dyadfit::kMsgFewCounts || what == dyadfit::kMsgPenalty) && !few.empty())
        throw Failure{"Poisson counts too small for the default penalties: the image " + few +
                      ", and at least 1 is needed; give the penalties (" +
                      (cmd.sub == "denoise" ? "--penalties" : "--pen") + ")"};
      throw;
    }
    for (const Array& a : results.back().channels)
      for (double v : a.values)
        if (std::isinf(v))
          throw Failure{"Values too large: the estimate overflows; magnitudes up to 1e+100 are accepted in IN"};
  }
  progress.finish();
  if (dyadfit::interruptRequested()) throw dyadfit::Error(dyadfit::kMsgInterrupted);
  if (set.scale != 0)
    for (Image& r : results)
      for (Array& a : r.channels)
        for (double& v : a.values) v *= set.scale;
  // OUT and the picture are written together: both, or neither.
  std::vector<OutputFile> files{{out.path, encodeImages(out.format, outName, results, options)}};
  const std::vector<Image> pictures{picture};
  if (!cmd.partition.empty()) {
    WriteOptions eight;
    eight.depth = 8;
    files.push_back({part.path, encodeImages(part.format, cmd.partition, pictures, eight)});
  }
  writeFilesSafely(files);
}

// denoise --tile: IN read and OUT written a band of rows at a time.
void processTiled(const Command& cmd) {
  using namespace dyadfit::cli;
  const std::string text = cmd.values.at("--tile");
  const int tile = integerOption("--tile", text, 16, 65536);
  if (tile & (tile - 1)) throw Failure{"option --tile needs a power of two from 16 to 65536, not '" + text + "'"};
  const std::pair<bool, const char*> refused[] = {{!cmd.partition.empty(), "--partition"},
                                                  {!cmd.outputDir.empty(), "--output-dir"},
                                                  {cmd.grey, "--grey"},
                                                  {cmd.has("--depth"), "--depth"},
                                                  {cmd.has("--scale"), "--scale"}};
  for (const auto& [given, name] : refused)
    if (given) throw Failure{std::string(name) + " is not available with --tile"};
  const std::string& inPath = cmd.files[0];
  const std::string& outName = cmd.files[1];
  const OutputTarget out = outputTarget(outName);
  if (!out.known || out.path == "-") throw Failure{"--tile writes a TIFF file by name, not standard output"};
  if (out.format != OutputFormat::Tiff)
    throw Failure{std::string("--tile writes TIFF only (.tif, .tiff): ") + outName + " would be " +
                  formatName(out.format)};
  if (sameFile(out.path, inPath)) throw Failure{"OUT and IN name the same file: " + outName};
  checkWritablePath(out.path);
  checkTiledInput(inPath);
  const dyadfit::DenoiseOptions options = denoiseOptions(cmd);
  Progress progress(!cmd.quiet && ::isatty(STDERR_FILENO));
  progress.stage("denoise, tiles", true);
  TiledSummary sum;
  writeFileSafely(out.path, [&](std::ostream& os) {
    sum = denoiseTiled(inPath, os, tile, options, [&](double f) { progress.update(f); });
  });
  progress.finish();
  if (cmd.quiet) return;
  const dyadfit::DenoiseOptions& o = sum.options;
  std::string line = "denoise: tiles of " + std::to_string(sum.tile) + " (margin " + std::to_string(sum.margin) + ", " +
                     std::to_string(sum.tiles) + " tiles), " + std::to_string(sum.rows) + "x" +
                     std::to_string(sum.cols) + ", " + std::to_string(sum.channels) +
                     (sum.channels == 1 ? " channel, " : " channels, ") + dyadfit::methodName(o.method) + ", " +
                     dyadfit::noiseName(o.noise);
  if (o.noise == dyadfit::NoiseModel::Gaussian)
    line += ", sigma " + (o.sigma.empty() ? std::string("none found") : listText(o.sigma)) +
            (options.sigma.empty() ? " (median of " + std::to_string(sum.samples) + " sample windows)" : " (given)");
  if (o.noise == dyadfit::NoiseModel::PoissonGaussian) {
    char buf[160];
    std::snprintf(buf, sizeof buf, ", gain %.6g, offset %.6g, read noise %.6g", o.gain, o.offset, o.readNoise);
    line += buf;
  }
  line += ", block side " + std::to_string(o.blockSide) + ", shifts " + std::to_string(o.shifts) + ", penalties " +
          listText(o.penalties) + ", " + (sum.twoStage ? "two-stage" : "dyadic") +
          (sum.wienerDecided ? " (decided on the guard's window)" : "") + ", " + durationText(sum.seconds);
  std::fprintf(stderr, "%s\n", line.c_str());
}

int stopped();

int run(const Command& cmd) {
  if (cmd.has("--tile")) {
    // The options are checked as for a whole image, and the tiles' own
    // refusals come before any pixel is read.
    (void)checkSettings(cmd);
    processTiled(cmd);
    return 0;
  }
  const Settings set = checkSettings(cmd);
  if (cmd.outputDir.empty()) {
    processFile(cmd, set, cmd.files[0], cmd.files[1]);
    return 0;
  }
  if (!cmd.partition.empty()) throw Failure{"--partition takes one IN, not --output-dir"};
  struct stat st;
  if (::stat(cmd.outputDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    throw Failure{"--output-dir " + cmd.outputDir + " is not a directory"};
  // Every IN is tried; each failure is reported and the status tells if any failed.
  int failed = 0;
  for (const std::string& in : cmd.files) {
    try {
      if (in == "-") throw Failure{"standard input cannot be read with --output-dir"};
      const std::size_t slash = in.find_last_of('/');
      const std::string base = slash == std::string::npos ? in : in.substr(slash + 1);
      processFile(cmd, set, in, cmd.outputDir + "/" + base);
    } catch (const dyadfit::Error& e) {
      if (gSignal != 0) return stopped();
      std::cerr << cmd.sub << ": " << in << ": " << e.what() << '\n';
      ++failed;
    } catch (const Failure& f) {
      if (gSignal != 0) return stopped();
      std::cerr << "dyadfit: " << (f.message.rfind(in + ":", 0) == 0 ? "" : in + ": ") << f.message << '\n';
      ++failed;
    }
  }
  return failed == 0 ? 0 : kExitError;
}

int stopped() {
  std::cerr << "dyadfit: " << dyadfit::kMsgInterrupted << '\n';
  return 128 + gSignal;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kGeneralHelp, stderr);
    return kExitUsage;
  }
  const std::string first = argv[1];
  if (first == "--help" || first == "-h" || first == "help") {
    printHelp(argc > 2 ? argv[2] : "");
    return 0;
  }
  if (first == "--version") {
    std::printf("dyadfit %s\n", DYADFIT_VERSION);
    return 0;
  }
  if (!isSubcommand(first)) {
    std::cerr << "dyadfit: unknown subcommand '" << first << "'\nTry 'dyadfit --help'.\n";
    return kExitUsage;
  }
  for (int k = 2; k < argc && std::string(argv[k]) != "--"; ++k)
    if (std::string(argv[k]) == "--help" || std::string(argv[k]) == "-h") {
      printHelp(first);
      return 0;
    }
  Command cmd;
  try {
    cmd = parseCommand(first, argc, argv);
  } catch (const Usage& u) {
    std::cerr << "dyadfit: " << u.message << "\nTry 'dyadfit " << first << " --help'.\n";
    return kExitUsage;
  }
  catchStopSignal(SIGINT);
  catchStopSignal(SIGTERM);
  dyadfit::cli::initializeImageLibrary(argv[0]);

  try {
    return run(cmd);
  } catch (const dyadfit::Error& e) {
    if (gSignal != 0) return stopped();
    std::cerr << cmd.sub << ": " << e.what() << '\n';
  } catch (const Failure& f) {
    if (gSignal != 0) return stopped();
    std::cerr << "dyadfit: " << f.message << '\n';
  } catch (const std::bad_alloc&) {
    if (gSignal != 0) return stopped();
    std::cerr << "dyadfit: out of memory\n";
  } catch (const std::exception& e) {
    std::cerr << "dyadfit: " << e.what() << '\n';
  }
  return kExitError;
}
