// SPDX-License-Identifier: BSD-3-Clause
// dyadfit._core: the core's entries for Python. Arrays come in as numpy
// arrays of any layout (the package's Python side moves the colour axis last
// and brings odd dtypes to a native one) and are gathered into the core's
// column-major doubles with one copy. The work runs on a thread of its own
// with the GIL released while the calling thread watches for signals, so that
// Ctrl-C stops it through the core's stop flag.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "constant/tessik_entry.h"
#include "denoise/colour.h"
#include "denoise/denoise.h"
#include "draw/show_entry.h"
#include "dyadic/dyadic_entry.h"
#include "dyadic/parallel.h"
#include "host/standalone.h"
#include "platelet/quarlo_entry.h"
#include "wedgelet/brindel_entry.h"

namespace py = pybind11;

namespace dyadfit {
namespace {

// The image's storage: the entries' class kind and the denoiser's class.
struct Storage {
  ClassKind kind = ClassKind::Double;
  ValueClass cls = ValueClass::Double;
};

Storage storageOf(const py::array& a) {
  const char k = a.dtype().kind();
  const auto size = a.dtype().itemsize();
  if (k == 'b') return {ClassKind::Logical, ValueClass::Logical};
  if (k == 'f') return size == 4 ? Storage{ClassKind::Single, ValueClass::Single} : Storage{};
  if (k == 'i' || k == 'u') {
    static const ValueClass s[] = {ValueClass::Int8, ValueClass::Int16, ValueClass::Int32, ValueClass::Int64};
    static const ValueClass u[] = {ValueClass::UInt8, ValueClass::UInt16, ValueClass::UInt32, ValueClass::UInt64};
    const int i = size == 1 ? 0 : size == 2 ? 1 : size == 4 ? 2 : 3;
    return {ClassKind::Integer, k == 'i' ? s[i] : u[i]};
  }
  return {ClassKind::Other, ValueClass::Double};
}

template <class T>
void gatherAs(const py::array& a, double* out) {
  const char* base = static_cast<const char*>(a.data());
  const py::ssize_t R = a.shape(0), C = a.shape(1), K = a.ndim() == 3 ? a.shape(2) : 1;
  const py::ssize_t s0 = a.strides(0), s1 = a.strides(1), s2 = a.ndim() == 3 ? a.strides(2) : 0;
  for (py::ssize_t k = 0; k < K; ++k)
    for (py::ssize_t c = 0; c < C; ++c)
      for (py::ssize_t r = 0; r < R; ++r) {
        T v;
        std::memcpy(&v, base + r * s0 + c * s1 + k * s2, sizeof v);  // numpy allows unaligned views
        *out++ = static_cast<double>(v);
      }
}

// The values of a 2-D (rows x cols) or 3-D (rows x cols x channels) array of
// a native bool, integer, float32 or float64 dtype, column-major planes.
std::vector<double> gather(const py::array& a) {
  if (a.ndim() != 2 && a.ndim() != 3) throw std::logic_error("gather: 2-D or 3-D array expected");
  std::vector<double> out(static_cast<std::size_t>(a.size()));
  const char k = a.dtype().kind();
  const auto size = a.dtype().itemsize();
  if (k == 'b') gatherAs<bool>(a, out.data());
  else if (k == 'f' && size == 8) gatherAs<double>(a, out.data());
  else if (k == 'f' && size == 4) gatherAs<float>(a, out.data());
  else if (k == 'i' && size == 1) gatherAs<std::int8_t>(a, out.data());
  else if (k == 'i' && size == 2) gatherAs<std::int16_t>(a, out.data());
  else if (k == 'i' && size == 4) gatherAs<std::int32_t>(a, out.data());
  else if (k == 'i' && size == 8) gatherAs<std::int64_t>(a, out.data());
  else if (k == 'u' && size == 1) gatherAs<std::uint8_t>(a, out.data());
  else if (k == 'u' && size == 2) gatherAs<std::uint16_t>(a, out.data());
  else if (k == 'u' && size == 4) gatherAs<std::uint32_t>(a, out.data());
  else if (k == 'u' && size == 8) gatherAs<std::uint64_t>(a, out.data());
  else throw std::logic_error("gather: unsupported dtype");
  return out;
}

// A column-major array of `dims` holding v, stored as T. The core hands
// back values already rounded and clamped to the class's range; only the
// 64-bit limits, which doubles round up, need saturating here.
template <class T>
py::array store(const std::vector<double>& v, const std::vector<py::ssize_t>& dims) {
  py::array_t<T, py::array::f_style> a(dims);
  T* p = a.mutable_data();
  if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>) {
    constexpr double top = static_cast<double>(std::numeric_limits<T>::max());
    for (std::size_t k = 0; k < v.size(); ++k) p[k] = v[k] >= top ? std::numeric_limits<T>::max() : static_cast<T>(v[k]);
  } else if constexpr (std::is_same_v<T, bool>) {
    for (std::size_t k = 0; k < v.size(); ++k) p[k] = v[k] != 0;
  } else {
    for (std::size_t k = 0; k < v.size(); ++k) p[k] = static_cast<T>(v[k]);
  }
  return a;
}

py::array storeAs(ValueClass cls, const std::vector<double>& v, const std::vector<py::ssize_t>& dims) {
  switch (cls) {
    case ValueClass::Single: return store<float>(v, dims);
    case ValueClass::Int8: return store<std::int8_t>(v, dims);
    case ValueClass::UInt8: return store<std::uint8_t>(v, dims);
    case ValueClass::Int16: return store<std::int16_t>(v, dims);
    case ValueClass::UInt16: return store<std::uint16_t>(v, dims);
    case ValueClass::Int32: return store<std::int32_t>(v, dims);
    case ValueClass::UInt32: return store<std::uint32_t>(v, dims);
    case ValueClass::Int64: return store<std::int64_t>(v, dims);
    case ValueClass::UInt64: return store<std::uint64_t>(v, dims);
    case ValueClass::Logical: return store<bool>(v, dims);
    default: return store<double>(v, dims);
  }
}

py::array toNumpy(const Array& a) { return store<double>(a.values, {py::ssize_t(a.rows), py::ssize_t(a.cols)}); }

// One argument of an entry, as Octave would pass it: None is [], text a char
// row, a bool a logical scalar, a number a double scalar, and an array
// (2-D from the Python side; `dims` > 2 marks an N-d array folded into its
// columns, `complex` one whose imaginary part was dropped) its values.
Array argument(const py::handle& h, std::size_t dims = 2, bool complex = false) {
  if (h.is_none()) return Array::empty();
  if (py::isinstance<py::str>(h)) return Array::string(h.cast<std::string>());
  if (py::isinstance<py::bool_>(h)) return Array::ofKind(ClassKind::Logical, 1, 1, {h.cast<bool>() ? 1.0 : 0.0});
  if (py::isinstance<py::array>(h)) {
    const py::array a = py::reinterpret_borrow<py::array>(h);
    const Storage s = storageOf(a);
    Array out;
    out.rows = a.ndim() >= 1 ? std::size_t(a.shape(0)) : 1;
    out.cols = a.ndim() >= 2 ? std::size_t(a.shape(1)) : 1;
    out.kind = s.kind;
    out.dims = dims;
    out.complex = complex;
    out.values = s.kind == ClassKind::Other ? std::vector<double>(out.rows * out.cols, 0.0) : gather(a);
    return out;
  }
  return Array::scalar(h.cast<double>());
}

// The work's own stop flag, seen by the poll of the InterruptScope that the
// work thread opens (only that thread asks the poll).
thread_local const std::atomic<bool>* tStop = nullptr;
bool pollStop() { return tStop != nullptr && tStop->load(std::memory_order_relaxed); }

// threads=: the core has one process-wide count; a call's own count holds
// while any call that asked for one runs, then the process setting returns.
std::mutex gThreadsLock;
int gProcessThreads = 0;
int gCallsWithThreads = 0;

struct ThreadsForCall {
  bool set = false;
  explicit ThreadsForCall(int n) {
    if (n <= 0) return;
    std::lock_guard<std::mutex> lock(gThreadsLock);
    ++gCallsWithThreads;
    setThreadCount(n);
    set = true;
  }
  ~ThreadsForCall() {
    if (!set) return;
    std::lock_guard<std::mutex> lock(gThreadsLock);
    if (--gCallsWithThreads == 0) setThreadCount(gProcessThreads);
  }
};

// Runs work(stop) on a thread of its own without the GIL. The calling thread
// checks for signals every 50 ms; a raised one (Ctrl-C: KeyboardInterrupt)
// stops the work through `stop` and is raised once the work has ended.
void runReleased(const std::function<void(const std::atomic<bool>&)>& work) {
  std::atomic<bool> stop{false};
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  std::exception_ptr failure;
  PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
  {
    py::gil_scoped_release release;
    std::thread worker([&] {
      try {
        work(stop);
      } catch (...) {
        failure = std::current_exception();
      }
      std::lock_guard<std::mutex> lock(m);
      done = true;
      cv.notify_all();
    });
    std::unique_lock<std::mutex> lock(m);
    while (!cv.wait_for(lock, std::chrono::milliseconds(50), [&] { return done; })) {
      if (type != nullptr) continue;
      lock.unlock();
      {
        py::gil_scoped_acquire acquire;
        if (PyErr_CheckSignals() != 0) PyErr_Fetch(&type, &value, &trace);
      }
      if (type != nullptr) stop.store(true, std::memory_order_relaxed);
      lock.lock();
    }
    lock.unlock();
    worker.join();
  }
  if (type != nullptr) {
    PyErr_Restore(type, value, trace);
    throw py::error_already_set();
  }
  if (failure) std::rethrow_exception(failure);
}

int threadsArgument(const py::object& threads) {
  if (threads.is_none()) return 0;
  if (py::isinstance<py::bool_>(threads) || !py::isinstance<py::int_>(threads))
    throw py::type_error("threads must be an integer from 1 to 256");
  const long n = threads.cast<long>();
  if (n < 1 || n > 256) throw py::value_error("threads must be an integer from 1 to 256");
  return static_cast<int>(n);
}

// entry(args...) with nlhs results, as a tuple of float64 arrays.
py::tuple callModule(EntryFn entry, int nlhs, const py::sequence& args, std::size_t dims, bool complex,
                     const py::object& threads) {
  const int n = threadsArgument(threads);
  std::vector<Array> inputs;
  for (std::size_t k = 0; k < args.size(); ++k) inputs.push_back(argument(args[k], k == 0 ? dims : 2, k == 0 && complex));
  std::vector<Array> results;
  runReleased([&](const std::atomic<bool>& stop) {
    ThreadsForCall scope(n);
    results = callEntry(entry, inputs, nlhs, &stop);
  });
  py::tuple out(results.size());
  for (std::size_t k = 0; k < results.size(); ++k) out[k] = toNumpy(results[k]);
  return out;
}

// show: the picture, R x 3C from the entry, as R x C x 3.
py::array show(const py::sequence& args, std::size_t dims, bool complex) {
  std::vector<Array> inputs;
  for (std::size_t k = 0; k < args.size(); ++k) inputs.push_back(argument(args[k], k == 0 ? dims : 2, k == 0 && complex));
  std::vector<Array> results;
  runReleased([&](const std::atomic<bool>& stop) { results = callEntry(dyadfitShow, inputs, 1, &stop); });
  const Array& rgb = results.at(0);
  return store<double>(rgb.values, {py::ssize_t(rgb.rows), py::ssize_t(rgb.cols / 3), 3});
}

py::array row(const std::vector<double>& v) { return store<double>(v, {py::ssize_t(v.size())}); }

py::dict infoDict(const DenoiseInfo& info, const DenoiseOptions& o) {
  py::dict d;
  d["method"] = methodName(o.method);
  d["noise"] = noiseName(o.noise);
  d["colour"] = colourName(o.colour);
  d["wiener"] = wienerName(o.wiener);
  d["sigma"] = row(info.sigma);
  d["sigma_estimated"] = info.sigmaEstimated;
  d["gain"] = info.camera.gain;
  d["offset"] = info.camera.offset;
  d["read_noise"] = info.camera.readNoise;
  d["camera_estimated"] = info.cameraEstimated;
  // Per channel denoised (opponent channels for colour), as in Octave.
  std::vector<double> sides, two, block, risk;
  py::list penalties;
  for (std::size_t c = 0; c < info.stage.size(); ++c) {
    if (info.stage[c] < 0) continue;
    sides.push_back(info.blockSide[c]);
    two.push_back(info.stage[c]);
    block.push_back(info.wienerBlock[c]);
    risk.insert(risk.end(), info.risk[c].begin(), info.risk[c].end());
    penalties.append(row(info.penalties[c]));
  }
  d["block_side"] = row(sides);
  d["penalties"] = penalties;
  d["shifts"] = info.shifts;
  d["two_stage"] = store<bool>(two, {py::ssize_t(two.size())});
  py::array_t<double> risks({py::ssize_t(two.size()), py::ssize_t(2)});
  std::copy(risk.begin(), risk.end(), risks.mutable_data());
  d["risk"] = risks;
  d["wiener_block"] = row(block);
  d["padded_size"] = py::make_tuple(info.paddedRows, info.paddedCols);
  d["seconds"] = info.seconds;
  d["partition"] = py::none();
  return d;
}

// denoise(image, pairs, threads, with_info, defaults_pixels): image 2-D or
// 3-D with the channels last; pairs the name-value pairs; defaults_pixels the
// padded pixel count of the whole image that a tile is part of (0: none).
py::object denoise(const py::array& image, const py::sequence& pairs, const py::object& threads, bool withInfo,
                   double defaultsPixels) {
  const int n = threadsArgument(threads);
  std::vector<Array> pairArrays;
  for (std::size_t k = 0; k < pairs.size(); ++k) pairArrays.push_back(argument(pairs[k]));
  std::vector<ArrayInput> views(pairArrays.begin(), pairArrays.end());
  std::vector<const Input*> ptrs;
  for (const auto& v : views) ptrs.push_back(&v);
  DenoiseOptions options = parseDenoiseOptions(Inputs(ptrs.data(), ptrs.size()), 0);
  options.partition = options.partition && withInfo;
  options.defaultsPixels = defaultsPixels;

  const std::size_t rows = image.shape(0), cols = image.shape(1), channels = image.ndim() == 3 ? image.shape(2) : 1;
  const ValueClass cls = storageOf(image).cls;
  const std::vector<double> values = gather(image);
  DenoiseInfo info;
  std::vector<double> est, picture;
  int scale = 0;
  runReleased([&](const std::atomic<bool>& stop) {
    ThreadsForCall threadScope(n);
    tStop = &stop;
    InterruptScope scope(pollStop);
    ProgressFn progress;
    if (options.progress)
      progress = progressLines("dyadfit.denoise", [](const std::string& line) { std::fputs(line.c_str(), stderr); });
    est = denoiseImage(values.data(), rows, cols, channels, cls, options, &info, progress);
    if (options.partition && info.partition.rows != 0) {
      picture = drawDenoisePartition(est.data(), rows, cols, channels, info, scale);
    }
  });
  std::vector<py::ssize_t> dims{py::ssize_t(rows), py::ssize_t(cols)};
  if (image.ndim() == 3) dims.push_back(py::ssize_t(channels));
  py::array result = storeAs(denoiseResultClass(cls, options.noise), est, dims);
  if (!withInfo) return result;
  py::dict d = infoDict(info, options);
  if (!picture.empty())
    d["partition"] = store<double>(picture, {py::ssize_t(rows * scale), py::ssize_t(cols * scale), 3});
  return py::make_tuple(result, d);
}

// The Gaussian noise level of each plane of an image (rows x cols x
// channels), as the denoiser estimates it for a class whose limits are lo, hi.
py::array noiseSigma(const py::array& image, double lo, double hi) {
  const std::size_t rows = image.shape(0), cols = image.shape(1), channels = image.ndim() == 3 ? image.shape(2) : 1;
  const std::vector<double> values = gather(image);
  std::vector<double> s(channels);
  {
    py::gil_scoped_release release;
    for (std::size_t c = 0; c < channels; ++c) s[c] = estimateNoiseSigma(values.data() + c * rows * cols, rows, cols, lo, hi);
  }
  return row(s);
}

// The camera's parameters estimated from an image (rows x cols x channels),
// keeping those given (NaN: estimate).
py::tuple cameraNoise(const py::array& image, double gain, double offset, double readNoise) {
  const std::size_t rows = image.shape(0), cols = image.shape(1), channels = image.ndim() == 3 ? image.shape(2) : 1;
  const std::vector<double> values = gather(image);
  CameraNoise c;
  {
    py::gil_scoped_release release;
    c = estimateCameraNoise(values.data(), rows, cols, channels, CameraNoise{gain, offset, readNoise});
  }
  return py::make_tuple(c.gain, c.offset, c.readNoise);
}

// The sum and sum of squares of each plane of a block (rows x cols x
// channels) in the terms the denoiser chooses its block side in: Gaussian
// noise divided by each plane's level (`levels`, of the working planes:
// opponent ones for colour), camera data through its transform, Poisson
// counts as they are. Tiles add these up to choose as the whole image does.
py::array workingMoments(const py::array& image, const std::string& noise, bool opponent,
                         const py::array_t<double>& levels, double gain, double offset, double readNoise) {
  const std::size_t rows = image.shape(0), cols = image.shape(1), channels = image.ndim() == 3 ? image.shape(2) : 1;
  const std::size_t n = rows * cols;
  std::vector<double> values = gather(image);
  const auto level = levels.unchecked<1>();
  if (std::size_t(level.shape(0)) != channels) throw py::value_error("working_moments: one level per channel");
  std::vector<double> out(2 * channels, 0.0);
  {
    py::gil_scoped_release release;
    if (noise == "poisson-gaussian") {
      const CameraNoise camera{gain, offset, readNoise};
      for (double& v : values) v = generalizedAnscombe(v, camera);
    }
    if (opponent && channels == 3) {
      const std::vector<double> rgb = values;
      toOpponent(rgb.data(), n, values.data());
    }
    for (std::size_t c = 0; c < channels; ++c) {
      const double* p = values.data() + c * n;
      const double s = noise == "gaussian" ? level(c) : 1.0;
      double sum = 0, squares = 0;
      for (std::size_t k = 0; k < n; ++k) {
        const double v = p[k] / s;
        sum += v;
        squares += v * v;
      }
      out[2 * c] = sum;
      out[2 * c + 1] = squares;
    }
  }
  return store<double>(out, {py::ssize_t(2), py::ssize_t(channels)});
}

}  // namespace
}  // namespace dyadfit

PYBIND11_MODULE(_core, m) {
  using namespace dyadfit;
  m.doc() = "The dyadfit core's entries; use the functions of the dyadfit package.";
  static py::exception<Error> coreError(m, "CoreError", PyExc_ValueError);
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const Error& e) {
      // A stop the work saw before the signal check did is still Ctrl-C.
      if (std::string(e.what()) == kMsgInterrupted) {
        PyErr_SetString(PyExc_KeyboardInterrupt, e.what());
        return;
      }
      coreError(e.what());
    }
  });
  m.def("tessik", [](const py::sequence& a, std::size_t d, bool c, const py::object& t) { return callModule(tessik, 3, a, d, c, t); });
  m.def("brindel", [](const py::sequence& a, std::size_t d, bool c, const py::object& t) { return callModule(brindel, 6, a, d, c, t); });
  m.def("quarlo", [](const py::sequence& a, std::size_t d, bool c, const py::object& t) { return callModule(quarlo, 6, a, d, c, t); });
  m.def("show", &show);
  m.def("denoise", &denoise, py::arg("image"), py::arg("pairs"), py::arg("threads"), py::arg("with_info"),
        py::arg("defaults_pixels") = 0.0);
  m.def("noise_sigma", &noiseSigma);
  m.def("camera_noise", &cameraNoise);
  m.def("working_moments", &workingMoments);
  m.def("default_block_side", &denoiseBlockSide);
  m.def("set_threads", [](int n) {
    if (n < 0 || n > 256) throw py::value_error("threads must be an integer from 1 to 256, or 0 for the default");
    std::lock_guard<std::mutex> lock(gThreadsLock);
    gProcessThreads = n;
    if (gCallsWithThreads == 0) setThreadCount(n);
  });
  m.def("thread_count", &threadCount);
}
