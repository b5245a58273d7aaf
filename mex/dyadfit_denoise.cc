// dyadfit_denoise gateway: reads the image and its class, runs the core
// entry, and returns the estimate in the image's class with an info struct.
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "denoise/denoise.h"
#include "draw/show_entry.h"
#include "host/mex_binding.h"

namespace {

using namespace dyadfit;

ValueClass valueClass(const mxArray* a) {
  switch (mxGetClassID(a)) {
    case mxSINGLE_CLASS: return ValueClass::Single;
    case mxINT8_CLASS: return ValueClass::Int8;
    case mxUINT8_CLASS: return ValueClass::UInt8;
    case mxINT16_CLASS: return ValueClass::Int16;
    case mxUINT16_CLASS: return ValueClass::UInt16;
    case mxINT32_CLASS: return ValueClass::Int32;
    case mxUINT32_CLASS: return ValueClass::UInt32;
    case mxINT64_CLASS: return ValueClass::Int64;
    case mxUINT64_CLASS: return ValueClass::UInt64;
    case mxLOGICAL_CLASS: return ValueClass::Logical;
    default: return ValueClass::Double;
  }
}

// The core hands back values already rounded and clamped to the class's
// range as doubles; only the 64-bit limits, which doubles round up, need
// saturating here.
template <class T>
void store(const std::vector<double>& v, void* data) {
  T* p = static_cast<T*>(data);
  constexpr double top = static_cast<double>(std::numeric_limits<T>::max());
  for (std::size_t k = 0; k < v.size(); ++k) p[k] = v[k] >= top ? std::numeric_limits<T>::max() : static_cast<T>(v[k]);
}

mxArray* resultArray(const mxArray* image, const std::vector<double>& v) {
  const mwSize m = mxGetM(image), n = mxGetN(image);
  const mxClassID id = mxGetClassID(image);
  if (id == mxLOGICAL_CLASS) {
    mxArray* a = mxCreateLogicalMatrix(m, n);
    mxLogical* p = mxGetLogicals(a);
    for (std::size_t k = 0; k < v.size(); ++k) p[k] = v[k] != 0;
    return a;
  }
  mxArray* a = mxCreateNumericMatrix(m, n, id == mxDOUBLE_CLASS ? mxDOUBLE_CLASS : id, mxREAL);
  void* d = mxGetData(a);
  switch (id) {
    case mxSINGLE_CLASS: store<float>(v, d); break;
    case mxINT8_CLASS: store<std::int8_t>(v, d); break;
    case mxUINT8_CLASS: store<std::uint8_t>(v, d); break;
    case mxINT16_CLASS: store<std::int16_t>(v, d); break;
    case mxUINT16_CLASS: store<std::uint16_t>(v, d); break;
    case mxINT32_CLASS: store<std::int32_t>(v, d); break;
    case mxUINT32_CLASS: store<std::uint32_t>(v, d); break;
    case mxINT64_CLASS: store<std::int64_t>(v, d); break;
    case mxUINT64_CLASS: store<std::uint64_t>(v, d); break;
    default: std::copy(v.begin(), v.end(), static_cast<double*>(d)); break;
  }
  return a;
}

mxArray* row(const std::vector<double>& v) {
  mxArray* a = mxCreateDoubleMatrix(1, v.size(), mxREAL);
  std::copy(v.begin(), v.end(), mxGetPr(a));
  return a;
}

// The partition of the unshifted run drawn over the estimate, as dyadfit_show
// draws squares: (rows x cols) x 3, enlarged to at least 512 pixels.
mxArray* partitionPicture(const DenoiseInfo& info, const std::vector<double>& est, std::size_t rows, std::size_t cols) {
  // An image returned as it was (no noise found, no counts) has none.
  if (info.partition.rows == 0) return mxCreateDoubleMatrix(0, 0, mxREAL);
  const int scale = defaultShowScale(rows, cols);
  const std::vector<double> rgb = drawDenoisePartition(est.data(), rows, cols, info, scale);
  const mwSize dims[3] = {rows * scale, cols * scale, 3};
  mxArray* a = mxCreateNumericArray(3, dims, mxDOUBLE_CLASS, mxREAL);
  std::copy(rgb.begin(), rgb.end(), mxGetPr(a));
  return a;
}

mxArray* infoStruct(const DenoiseInfo& info, const DenoiseOptions& o, mxArray* picture) {
  const char* fields[] = {"method",    "noise",  "sigma",       "sigma_estimated", "block_side",
                          "penalties", "shifts", "padded_size", "seconds",         "partition"};
  mxArray* s = mxCreateStructMatrix(1, 1, sizeof fields / sizeof *fields, fields);
  const char* method = o.method == DenoiseMethod::Constant   ? "constant"
                       : o.method == DenoiseMethod::Wedgelet ? "wedgelet"
                                                             : "platelet";
  mxSetField(s, 0, "method", mxCreateString(method));
  mxSetField(s, 0, "noise", mxCreateString(o.poisson ? "poisson" : "gaussian"));
  mxSetField(s, 0, "sigma", mxCreateDoubleScalar(info.sigma));
  mxSetField(s, 0, "sigma_estimated", mxCreateLogicalScalar(info.sigmaEstimated));
  mxSetField(s, 0, "block_side", mxCreateDoubleScalar(info.blockSide));
  mxSetField(s, 0, "penalties", row(info.penalties));
  mxSetField(s, 0, "shifts", mxCreateDoubleScalar(info.shifts));
  mxSetField(s, 0, "padded_size", row({double(info.paddedRows), double(info.paddedCols)}));
  mxSetField(s, 0, "seconds", mxCreateDoubleScalar(info.seconds));
  mxSetField(s, 0, "partition", picture);
  return s;
}

void denoiseGateway(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  if (nlhs > 2) throw Error(kMsgTooManyOutputs);
  if (nrhs < 1) throw Error("The image is required: dyadfit_denoise(img, 'Name', value, ...).");
  std::vector<MexInput> views(prhs, prhs + nrhs);
  std::vector<const Input*> ptrs;
  for (const MexInput& v : views) ptrs.push_back(&v);
  const Input& image = views[0];
  if (!image.isRealMatrix()) throw Error("The image must be a real numeric or logical matrix.");
  DenoiseOptions options = parseDenoiseOptions(Inputs(ptrs.data(), ptrs.size()), 1);
  options.partition = nlhs > 1;
  std::vector<double> values(image.rows() * image.cols());
  image.toDoubles(values.data());
  DenoiseInfo info;
  const auto start = std::chrono::steady_clock::now();
  ProgressFn progress;
  if (options.progress)
    progress = [&](double done) {
      const double spent = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      if (done <= 0) return;
      mexPrintf("dyadfit_denoise: %3.0f%% done, %.1f s spent, about %.1f s left\n", 100 * done, spent,
                spent * (1 - done) / done);
    };
  const std::vector<double> est =
      denoiseImage(values.data(), image.rows(), image.cols(), valueClass(prhs[0]), options, &info, progress);
  mxArray* drawn = nlhs > 1 ? partitionPicture(info, est, image.rows(), image.cols()) : nullptr;
  plhs[0] = resultArray(prhs[0], est);
  if (nlhs > 1) plhs[1] = infoStruct(info, options, drawn);
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  char message[dyadfit::kMessageCapacity];
  if (dyadfit::runMexCall([&] { denoiseGateway(nlhs, plhs, nrhs, prhs); }, message)) dyadfit::raiseMexError(message);
}
