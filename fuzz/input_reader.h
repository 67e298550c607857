// Reading a fuzz input front to back: small whole numbers, flags, raw bytes
// and values that break arithmetic not written for them. Past its end an
// input reads as zeros, so that every input, however short, makes a case.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace fuzz {

// NaN, infinities, huge and tiny magnitudes, values at the edges of the
// settings' ranges and of the integer classes, and small whole numbers,
// which make equal costs and so decide ties.
inline constexpr double special_values[] = {0,
                                            1,
                                            2,
                                            3,
                                            4,
                                            5,
                                            6,
                                            7,
                                            8,
                                            10,
                                            -1,
                                            -2,
                                            -0.0,
                                            0.5,
                                            1.5,
                                            2.9,
                                            -1.7,
                                            std::numeric_limits<double>::quiet_NaN(),
                                            std::numeric_limits<double>::infinity(),
                                            -std::numeric_limits<double>::infinity(),
                                            FLT_MAX,
                                            -FLT_MAX,
                                            3e38,
                                            1e30,
                                            -1e30,
                                            1e19,
                                            -1e19,
                                            1e13,
                                            1e8,
                                            FLT_MIN,
                                            1.4e-45,
                                            1e-4,
                                            1e-6,
                                            0.01,
                                            0.0099999998,
                                            46340,
                                            46341,
                                            -46341,
                                            16777216,
                                            16777217,
                                            2147483520.0,
                                            2147483648.0,
                                            -2147483648.0,
                                            -2147483904.0,
                                            255,
                                            256,
                                            65535,
                                            4294967295.0,
                                            1e300,
                                            DBL_MAX,
                                            0x1p52,
                                            0x1p53,
                                            0x1p-53,
                                            9007199254740993.0,
                                            127,
                                            -128};
inline constexpr std::size_t special_count = sizeof special_values / sizeof special_values[0];

// The float a double rounds to; beyond the float range, an infinity.
inline float as_float(double value) {
  if (std::isfinite(value) && std::fabs(value) > double(FLT_MAX)) return value > 0 ? INFINITY : -INFINITY;
  return static_cast<float>(value);
}

class input_reader {
 public:
  input_reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::uint8_t byte() {
    if (size_ == 0) return 0;
    --size_;
    return *data_++;
  }
  // A whole number from lo to hi inclusive, for small ranges.
  int between(int lo, int hi) { return lo + int(byte() % unsigned(hi - lo + 1)); }
  bool flag() { return byte() & 1; }
  double special() { return special_values[byte() % special_count]; }
  // `count` bytes, zeros past the end of the input.
  void bytes(void* target, std::size_t count) {
    const std::size_t taken = count < size_ ? count : size_;
    if (taken) std::memcpy(target, data_, taken);
    std::memset(static_cast<unsigned char*>(target) + taken, 0, count - taken);
    data_ += taken;
    size_ -= taken;
  }
  float raw_float() {
    float value;
    bytes(&value, sizeof value);
    return value;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

// A broken expectation: reported to libFuzzer as a crash, with the reason.
[[noreturn]] inline void finding(const char* what) {
  std::fprintf(stderr, "fuzz finding: %s\n", what);
  std::abort();
}

}  // namespace fuzz
