// SPDX-License-Identifier: BSD-3-Clause
/* The host's C Matrix and MEX API, as far as the dyadfit plug-ins use it,
 * for cross builds with MinGW-w64 where no host installation is at hand.
 *
 * Two array-API versions are supported, chosen as the host's own build
 * options choose them:
 *   - MX_COMPAT_32 (32-bit hosts, -compatibleArrayDims): 32-bit sizes; the
 *     functions whose signature holds a size link to their *_700 names.
 *   - otherwise (64-bit hosts, -largeArrayDims, the default up to -R2017b):
 *     size_t sizes; those functions link to their *_730 names.
 * Every other function keeps its plain name in both. */
#ifndef DYADFIT_WINDOWS_MEX_H
#define DYADFIT_WINDOWS_MEX_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#else
#include <stdbool.h>
#endif

typedef struct mxArray_tag mxArray;

#if defined(MX_COMPAT_32)
typedef int mwSize;
typedef int mwIndex;
#else
typedef size_t mwSize;
typedef size_t mwIndex;
#endif

typedef bool mxLogical;

typedef enum {
  mxUNKNOWN_CLASS = 0,
  mxCELL_CLASS,
  mxSTRUCT_CLASS,
  mxLOGICAL_CLASS,
  mxCHAR_CLASS,
  mxVOID_CLASS,
  mxDOUBLE_CLASS,
  mxSINGLE_CLASS,
  mxINT8_CLASS,
  mxUINT8_CLASS,
  mxINT16_CLASS,
  mxUINT16_CLASS,
  mxINT32_CLASS,
  mxUINT32_CLASS,
  mxINT64_CLASS,
  mxUINT64_CLASS,
  mxFUNCTION_CLASS
} mxClassID;

typedef enum { mxREAL = 0, mxCOMPLEX = 1 } mxComplexity;

#if defined(MX_COMPAT_32)
#define mxCreateDoubleMatrix mxCreateDoubleMatrix_700
#define mxCreateNumericArray mxCreateNumericArray_700
#define mxCreateLogicalMatrix mxCreateLogicalMatrix_700
#define mxCreateLogicalArray mxCreateLogicalArray_700
#define mxCreateStructMatrix mxCreateStructMatrix_700
#define mxSetField mxSetField_700
#define mxGetString mxGetString_700
#define mxGetNumberOfDimensions mxGetNumberOfDimensions_700
#define mxGetDimensions mxGetDimensions_700
#define mxSetDimensions mxSetDimensions_700
#else
#define mxCreateDoubleMatrix mxCreateDoubleMatrix_730
#define mxCreateNumericArray mxCreateNumericArray_730
#define mxCreateLogicalMatrix mxCreateLogicalMatrix_730
#define mxCreateLogicalArray mxCreateLogicalArray_730
#define mxCreateStructMatrix mxCreateStructMatrix_730
#define mxSetField mxSetField_730
#define mxGetString mxGetString_730
#define mxGetNumberOfDimensions mxGetNumberOfDimensions_730
#define mxGetDimensions mxGetDimensions_730
#define mxSetDimensions mxSetDimensions_730
#endif

/* libmx */
void* mxCalloc(size_t n, size_t size);
void mxFree(void* p);
size_t mxGetM(const mxArray* a);
size_t mxGetN(const mxArray* a);
size_t mxGetNumberOfElements(const mxArray* a);
mwSize mxGetNumberOfDimensions(const mxArray* a);
const mwSize* mxGetDimensions(const mxArray* a);
int mxSetDimensions(mxArray* a, const mwSize* dims, mwSize ndim);
mxClassID mxGetClassID(const mxArray* a);
bool mxIsDouble(const mxArray* a);
bool mxIsChar(const mxArray* a);
bool mxIsComplex(const mxArray* a);
bool mxIsSparse(const mxArray* a);
bool mxIsNumeric(const mxArray* a);
bool mxIsLogicalScalarTrue(const mxArray* a);
double mxGetScalar(const mxArray* a);
double* mxGetPr(const mxArray* a);
void* mxGetData(const mxArray* a);
mxLogical* mxGetLogicals(const mxArray* a);
int mxGetString(const mxArray* a, char* buf, mwSize buflen);
mxArray* mxCreateDoubleMatrix(mwSize m, mwSize n, mxComplexity flag);
mxArray* mxCreateDoubleScalar(double value);
mxArray* mxCreateNumericArray(mwSize ndim, const mwSize* dims, mxClassID classid, mxComplexity flag);
mxArray* mxCreateLogicalMatrix(mwSize m, mwSize n);
mxArray* mxCreateLogicalArray(mwSize ndim, const mwSize* dims);
mxArray* mxCreateLogicalScalar(bool value);
mxArray* mxCreateString(const char* str);
mxArray* mxCreateStructMatrix(mwSize m, mwSize n, int nfields, const char** fieldnames);
void mxSetField(mxArray* a, mwIndex i, const char* fieldname, mxArray* value);
void mxDestroyArray(mxArray* a);

/* libmex */
void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
void mexErrMsgTxt(const char* message);
void mexWarnMsgIdAndTxt(const char* id, const char* format, ...);
int mexPrintf(const char* format, ...);
const char* mexFunctionName(void);
mxArray* mexCallMATLABWithTrap(int nlhs, mxArray* plhs[], int nrhs, mxArray* prhs[], const char* name);

#ifdef __cplusplus
}
#endif

#endif
