// A plug-in that breaks one rule of the host, chosen by its first input (a
// double scalar), so that the tests can see the stand-in host catch each.
#include "mex.h"

#include <cstdio>
#include <stdexcept>
#include <thread>

void mexFunction(int, mxArray* plhs[], int, const mxArray* prhs[]) {
  const mwSize one_by_one[2] = {1, 1};
  const auto new_scalar = [&] { return mxCreateNumericArray(2, one_by_one, mxDOUBLE_CLASS, mxREAL); };
  switch (static_cast<int>(*mxGetPr(prhs[0]))) {
    case 0:
      plhs[0] = new_scalar();
      break;  // keeps every rule
    case 1:
      mxDestroyArray(const_cast<mxArray*>(prhs[0]));
      break;
    case 2:
      plhs[1] = new_scalar();
      break;
    case 3:
      std::printf("a word of its own\n");
      break;
    case 4:
      new_scalar();
      break;
    case 5:
      plhs[0] = const_cast<mxArray*>(prhs[0]);
      break;
    case 6:
      *mxGetPr(prhs[0]) = 7;
      break;
    case 7:
      throw std::runtime_error("not a host error");
    case 8: {
      mxArray* scalar = new_scalar();
      mxDestroyArray(scalar);
      mxDestroyArray(scalar);
      break;
    }
    case 9: {
      std::thread([&] { mxGetNumberOfDimensions(prhs[0]); }).join();
      plhs[0] = new_scalar();
      break;
    }
    default:
      break;
  }
}
