// SPDX-License-Identifier: BSD-3-Clause
// dyadfit_denoise gateway: reads the image and its class, runs the core
// entry, and returns the estimate in the image's class with an info struct.
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "denoise/denoise.h"
#include "draw/show_entry.h"
#include "host/mex_binding.h"

namespace {

using namespace dyadfit;

// The core hands back values already rounded and clamped to the class's
// range as doubles; only the 64-bit limits, which doubles round up, need
// saturating here.
template <class T>
void store(const std::vector<double>& v, void* data) {
  T* p = static_cast<T*>(data);
  constexpr double top = static_cast<double>(std::numeric_limits<T>::max());
  for (std::size_t k = 0; k < v.size(); ++k) p[k] = v[k] >= top ? std::numeric_limits<T>::max() : static_cast<T>(v[k]);
}

ValueClass classOf(mxClassID id) {
  switch (id) {
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

mxClassID idOf(ValueClass cls) {
  switch (cls) {
    case ValueClass::Single: return mxSINGLE_CLASS;
    case ValueClass::Int8: return mxINT8_CLASS;
    case ValueClass::UInt8: return mxUINT8_CLASS;
    case ValueClass::Int16: return mxINT16_CLASS;
    case ValueClass::UInt16: return mxUINT16_CLASS;
    case ValueClass::Int32: return mxINT32_CLASS;
    case ValueClass::UInt32: return mxUINT32_CLASS;
    case ValueClass::Int64: return mxINT64_CLASS;
    case ValueClass::UInt64: return mxUINT64_CLASS;
    case ValueClass::Logical: return mxLOGICAL_CLASS;
    default: return mxDOUBLE_CLASS;
  }
}

// The result array, of the image's dimensions and class `cls`.
mxArray* resultArray(const mxArray* image, ValueClass cls, const std::vector<double>& v) {
  const mwSize nd = mxGetNumberOfDimensions(image);
  const mwSize* dims = mxGetDimensions(image);
  const mxClassID id = idOf(cls);
  if (id == mxLOGICAL_CLASS) {
    mxArray* a = mxCreateLogicalArray(nd, dims);
    mxLogical* p = mxGetLogicals(a);
    for (std::size_t k = 0; k < v.size(); ++k) p[k] = v[k] != 0;
    return a;
  }
  mxArray* a = mxCreateNumericArray(nd, dims, id, mxREAL);
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

// The partition of the first channel's unshifted run drawn over the estimate
// (the mean of its channels), as dyadfit_show draws squares:
// (rows x cols) x 3, enlarged to at least 512 pixels.
mxArray* partitionPicture(const DenoiseInfo& info, const std::vector<double>& est, std::size_t rows, std::size_t cols,
                          std::size_t channels) {
  // An image returned as it was (no noise found, no counts) has none.
  if (info.partition.rows == 0) return mxCreateDoubleMatrix(0, 0, mxREAL);
  int scale = 1;
  const std::vector<double> rgb = drawDenoisePartition(est.data(), rows, cols, channels, info, scale);
  const mwSize dims[3] = {static_cast<mwSize>(rows * scale), static_cast<mwSize>(cols * scale), 3};
  mxArray* a = mxCreateNumericArray(3, dims, mxDOUBLE_CLASS, mxREAL);
  std::copy(rgb.begin(), rgb.end(), mxGetPr(a));
  return a;
}

// Penalties of each denoised channel, one row each (channels left as they
// were have none and are not listed).
mxArray* penaltyRows(const DenoiseInfo& info) {
  std::vector<const std::vector<double>*> rows;
  for (const auto& p : info.penalties)
    if (!p.empty()) rows.push_back(&p);
  const std::size_t k = rows.empty() ? 0 : rows[0]->size();
  mxArray* a = mxCreateDoubleMatrix(rows.size(), k, mxREAL);
  double* d = mxGetPr(a);
  for (std::size_t r = 0; r < rows.size(); ++r)
    for (std::size_t c = 0; c < k; ++c) d[r + rows.size() * c] = (*rows[r])[c];
  return a;
}

mxArray* infoStruct(const DenoiseInfo& info, const DenoiseOptions& o, mxArray* picture) {
  const char* fields[] = {"method",          "noise",       "colour",  "wiener",     "sigma",
                          "sigma_estimated", "gain",        "offset",  "read_noise", "camera_estimated",
                          "block_side",      "penalties",   "shifts",  "two_stage",  "risk",
                          "wiener_block",    "padded_size", "seconds", "partition"};
  mxArray* s = mxCreateStructMatrix(1, 1, sizeof fields / sizeof *fields, fields);
  mxSetField(s, 0, "method", mxCreateString(methodName(o.method)));
  mxSetField(s, 0, "noise", mxCreateString(noiseName(o.noise)));
  mxSetField(s, 0, "colour", mxCreateString(colourName(o.colour)));
  mxSetField(s, 0, "wiener", mxCreateString(wienerName(o.wiener)));
  mxSetField(s, 0, "sigma", row(info.sigma));
  mxSetField(s, 0, "sigma_estimated", mxCreateLogicalScalar(info.sigmaEstimated));
  mxSetField(s, 0, "gain", mxCreateDoubleScalar(info.camera.gain));
  mxSetField(s, 0, "offset", mxCreateDoubleScalar(info.camera.offset));
  mxSetField(s, 0, "read_noise", mxCreateDoubleScalar(info.camera.readNoise));
  mxSetField(s, 0, "camera_estimated", mxCreateLogicalScalar(info.cameraEstimated));
  std::vector<double> sides;
  for (std::size_t c = 0; c < info.blockSide.size(); ++c)
    if (info.stage.empty() || info.stage[c] >= 0) sides.push_back(info.blockSide[c]);
  mxSetField(s, 0, "block_side", row(sides));
  mxSetField(s, 0, "penalties", penaltyRows(info));
  mxSetField(s, 0, "shifts", mxCreateDoubleScalar(info.shifts));
  // Per channel denoised, as block_side: the estimate kept, the guard's
  // risks [dyadic two-stage], the Wiener stage's block side.
  std::vector<double> two, block, risk;
  for (std::size_t c = 0; c < info.stage.size(); ++c) {
    if (info.stage[c] < 0) continue;
    two.push_back(info.stage[c]);
    block.push_back(info.wienerBlock[c]);
    risk.insert(risk.end(), info.risk[c].begin(), info.risk[c].end());
  }
  mxArray* twoStage = mxCreateLogicalMatrix(1, two.size());
  for (std::size_t k = 0; k < two.size(); ++k) mxGetLogicals(twoStage)[k] = two[k] != 0;
  mxSetField(s, 0, "two_stage", twoStage);
  mxArray* risks = mxCreateDoubleMatrix(two.size(), 2, mxREAL);
  for (std::size_t k = 0; k < two.size(); ++k)
    for (std::size_t j = 0; j < 2; ++j) mxGetPr(risks)[k + two.size() * j] = risk[2 * k + j];
  mxSetField(s, 0, "risk", risks);
  mxSetField(s, 0, "wiener_block", row(block));
  mxSetField(s, 0, "padded_size", row({double(info.paddedRows), double(info.paddedCols)}));
  mxSetField(s, 0, "seconds", mxCreateDoubleScalar(info.seconds));
  mxSetField(s, 0, "partition", picture ? picture : mxCreateDoubleMatrix(0, 0, mxREAL));
  return s;
}

void denoiseGateway(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  if (nlhs > 2) throw Error(kMsgTooManyOutputs);
  if (nrhs < 1) throw Error("The image is required: dyadfit_denoise(img, 'Name', value, ...).");
  std::vector<MexInput> views(prhs, prhs + nrhs);
  std::vector<const Input*> ptrs;
  for (const MexInput& v : views) ptrs.push_back(&v);
  const Input& image = views[0];
  if (!image.isNumericOrLogical() || image.isComplex() || image.isSparse() || image.dims() > 3)
    throw Error("The image must be a real numeric or logical M x N or M x N x C array.");
  DenoiseOptions options = parseDenoiseOptions(Inputs(ptrs.data(), ptrs.size()), 1);
  options.partition = options.partition && nlhs > 1;
  const mwSize* dims = mxGetDimensions(prhs[0]);
  const std::size_t rows = dims[0], cols = dims[1], channels = image.dims() == 3 ? dims[2] : 1;
  std::vector<double> values(rows * cols * channels);
  image.toDoubles(values.data());
  DenoiseInfo info;
  ProgressFn progress;
  if (options.progress)
    progress = progressLines("dyadfit_denoise", [](const std::string& line) { mexPrintf("%s", line.c_str()); });
  const ValueClass cls = classOf(mxGetClassID(prhs[0]));
  const std::vector<double> est = denoiseImage(values.data(), rows, cols, channels, cls, options, &info, progress);
  mxArray* drawn = options.partition ? partitionPicture(info, est, rows, cols, channels) : nullptr;
  plhs[0] = resultArray(prhs[0], denoiseResultClass(cls, options.noise), est);
  if (nlhs > 1) plhs[1] = infoStruct(info, options, drawn);
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  char message[dyadfit::kMessageCapacity];
  if (dyadfit::runMexCall([&] { denoiseGateway(nlhs, plhs, nrhs, prhs); }, message)) dyadfit::raiseMexError(message);
}
