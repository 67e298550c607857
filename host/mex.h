/* The stand-in host's MEX header: the subset of the host matrix API that the
   plug-ins use, with the host's own names and class identifiers, so that the
   same plug-in sources compile here, against Octave and against MATLAB. */
#ifndef STANDIN_MEX_H
#define STANDIN_MEX_H

#include <stdbool.h>
#include <stddef.h>

/* A Windows DLL built by MinGW exports every function when none is marked. */
#if defined(__GNUC__) && !defined(_WIN32)
#define STANDIN_API __attribute__((visibility("default")))
#else
#define STANDIN_API
#endif
#if defined(__GNUC__)
#define STANDIN_NORETURN __attribute__((noreturn))
#else
#define STANDIN_NORETURN
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef size_t mwSize;
typedef size_t mwIndex;
typedef bool mxLogical;
typedef unsigned short mxChar; /* as MATLAB's: UTF-16 code units */

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
  mxFUNCTION_CLASS,
  mxOPAQUE_CLASS,
  mxOBJECT_CLASS /* objects of a class such as MATLAB's "string" */
} mxClassID;

typedef enum { mxREAL = 0, mxCOMPLEX = 1 } mxComplexity;

typedef struct standin_array mxArray;

STANDIN_API mwSize mxGetNumberOfDimensions(const mxArray* array);
STANDIN_API const mwSize* mxGetDimensions(const mxArray* array);
STANDIN_API mxClassID mxGetClassID(const mxArray* array);
STANDIN_API bool mxIsComplex(const mxArray* array);
STANDIN_API bool mxIsSparse(const mxArray* array);
STANDIN_API void* mxGetData(const mxArray* array);
STANDIN_API double* mxGetPr(const mxArray* array);
STANDIN_API mxLogical* mxGetLogicals(const mxArray* array);
STANDIN_API mxArray* mxCreateNumericArray(mwSize dimension_count, const mwSize* dimensions, mxClassID class_id,
                                          mxComplexity complexity);
STANDIN_API void mxDestroyArray(mxArray* array);
STANDIN_API bool mxIsClass(const mxArray* array, const char* name);
STANDIN_API double mxGetScalar(const mxArray* array);
STANDIN_API int mxGetString(const mxArray* array, char* text, mwSize capacity);
STANDIN_API int mexCallMATLAB(int nlhs, mxArray* plhs[], int nrhs, mxArray* prhs[], const char* name);
STANDIN_API STANDIN_NORETURN void mexErrMsgIdAndTxt(const char* identifier, const char* format, ...);
STANDIN_API void mexWarnMsgIdAndTxt(const char* identifier, const char* format, ...);
STANDIN_API mxArray* mxCreateDoubleMatrix(mwSize rows, mwSize columns, mxComplexity complexity);
STANDIN_API mxArray* mxCreateDoubleScalar(double value);
STANDIN_API mxArray* mxCreateLogicalScalar(mxLogical value);
STANDIN_API mxArray* mxCreateStructMatrix(mwSize rows, mwSize columns, int field_count, const char** field_names);
STANDIN_API void mxSetField(mxArray* array, mwIndex element, const char* name, mxArray* value);
STANDIN_API mxArray* mxGetField(const mxArray* array, mwIndex element, const char* name);
STANDIN_API int mexPrintf(const char* format, ...);
STANDIN_API int mexEvalString(const char* command);
/* MATLAB's interrupt query (libut): whether the user pressed Ctrl-C. */
STANDIN_API bool utIsInterruptPending(void);
STANDIN_API int mxGetNumberOfFields(const mxArray* array);
STANDIN_API const char* mxGetFieldNameByNumber(const mxArray* array, int field);
STANDIN_API mxArray* mxGetFieldByNumber(const mxArray* array, mwIndex element, int field);

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

#ifdef __cplusplus
}
#endif

#endif
