// Sizes a host can report: element counts and byte sizes that overflow 32 or
// 64 bits, and extents beyond the image container's. The stand-in host
// reports them without holding the data; a plug-in that read or allocated
// before checking would crash or answer otherwise than tooLarge.
#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#endif

#include "plugin_call.h"

namespace {

using dimensions = std::vector<std::size_t>;
using test_support::refusal_identifier;
using test_support::row_vector;

constexpr std::size_t two_to(int n) { return std::size_t(1) << n; }
constexpr std::size_t largest = std::numeric_limits<std::size_t>::max();

std::string sorvik_refusal(const dimensions& image) {
  const auto huge = standin::make_array_without_data(mxUINT8_CLASS, image);
  return refusal_identifier(test_support::sorvik_plugin(), {huge.get(), row_vector({5, 1, 0, 5, 1, 4}).get()});
}

TEST(SizeLimits, counts_and_byte_sizes_that_overflow_64_bits_are_refused) {
  const std::size_t widest = two_to(31) - 1;  // the largest extent the container takes
  EXPECT_EQ(sorvik_refusal({widest, widest, widest, widest}), "Sorvik:tooLarge");
  EXPECT_EQ(sorvik_refusal({widest, widest, widest}), "Sorvik:tooLarge");
  // About 2^63 elements fit 64 bits; their 2^65 bytes of floats do not.
  EXPECT_EQ(sorvik_refusal({two_to(31) - 1, two_to(31) - 1, 1, 2}), "Sorvik:tooLarge");
  EXPECT_EQ(sorvik_refusal({two_to(16), two_to(16), two_to(16), two_to(16)}), "Sorvik:tooLarge");  // wraps to 0
}

TEST(SizeLimits, counts_and_byte_sizes_that_wrap_32_bits_beyond_the_container_are_refused) {
  // Counted in 32 bits these would hold 0, 1 or 2^17 elements.
  EXPECT_EQ(sorvik_refusal({two_to(16), two_to(16), 4, 4}), "Sorvik:tooLarge");
  EXPECT_EQ(sorvik_refusal({two_to(31) - 1, two_to(31) - 1}), "Sorvik:tooLarge");
  EXPECT_EQ(sorvik_refusal({two_to(17), two_to(17) + 1}), "Sorvik:tooLarge");
  // 2^34 + 2^30 + 17 floats take 2^36 + 2^32 + 68 bytes, 68 in 32 bits.
  EXPECT_EQ(sorvik_refusal({two_to(30) + 1, 17}), "Sorvik:tooLarge");
}

TEST(SizeLimits, extents_beyond_the_container_are_refused) {
  // The container hands extents out as int: 2^31 would turn negative.
  EXPECT_EQ(sorvik_refusal({1, two_to(31)}), "Sorvik:tooLarge");
  EXPECT_EQ(sorvik_refusal({two_to(31), 1, 1, 1}), "Sorvik:tooLarge");
  EXPECT_EQ(sorvik_refusal({1, 1, two_to(31), 2}), "Sorvik:tooLarge");
  EXPECT_EQ(sorvik_refusal({1, 1, 1, two_to(32)}), "Sorvik:tooLarge");
  EXPECT_EQ(sorvik_refusal({largest, 1}), "Sorvik:tooLarge");
  EXPECT_EQ(sorvik_refusal({largest, largest, largest, largest}), "Sorvik:tooLarge");
}

TEST(SizeLimits, every_argument_of_both_commands_is_checked) {
  const auto image = standin::make_doubles({2, 2}, {1, 2, 3, 4});
  const auto huge = standin::make_array_without_data(mxDOUBLE_CLASS, {two_to(31), 1});
  const auto sorvik_settings = row_vector({3, 1, 0, 4, 1, 2});
  const auto tamvel_settings = row_vector({1, 0, 1, 3, 4, 1, 1, 2});
  const auto& sorvik = test_support::sorvik_plugin();
  const auto& tamvel = test_support::tamvel_plugin();
  EXPECT_EQ(refusal_identifier(sorvik, {image.get(), huge.get()}), "Sorvik:tooLarge");
  EXPECT_EQ(refusal_identifier(tamvel, {huge.get(), image.get(), tamvel_settings.get()}), "Tamvel:tooLarge");
  EXPECT_EQ(refusal_identifier(tamvel, {image.get(), huge.get(), tamvel_settings.get()}), "Tamvel:tooLarge");
  EXPECT_EQ(refusal_identifier(tamvel, {image.get(), image.get(), huge.get()}), "Tamvel:tooLarge");
  EXPECT_EQ(standin::live_created_arrays(), 0u);
  EXPECT_TRUE(test_support::call(sorvik, {image.get(), sorvik_settings.get()}));
}

// Windows has no address-space limit a process can set on itself.
#if !defined(_WIN32)
bool under_a_memory_checker() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer) || __has_feature(thread_sanitizer)
  return true;
#endif
#endif
#ifdef RUNNING_ON_VALGRIND
  if (RUNNING_ON_VALGRIND) return true;
#endif
  return false;
}

// Limits the process's address space to what it uses now and `spare_bytes`
// more, for the lifetime of the object.
class address_space_limit {
 public:
  explicit address_space_limit(std::size_t spare_bytes) {
    if (getrlimit(RLIMIT_AS, &saved_) != 0) return;
    unsigned long long pages = 0;
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (!statm) return;
    const bool read = std::fscanf(statm, "%llu", &pages) == 1;
    std::fclose(statm);
    if (!read) return;
    rlimit limited = saved_;
    limited.rlim_cur = rlim_t(pages * std::uint64_t(sysconf(_SC_PAGESIZE)) + spare_bytes);
    if (saved_.rlim_max != RLIM_INFINITY && limited.rlim_cur > saved_.rlim_max) return;
    active_ = setrlimit(RLIMIT_AS, &limited) == 0;
  }
  address_space_limit(const address_space_limit&) = delete;
  address_space_limit& operator=(const address_space_limit&) = delete;
  ~address_space_limit() {
    if (active_) setrlimit(RLIMIT_AS, &saved_);
  }
  bool active() const { return active_; }

 private:
  rlimit saved_{};
  bool active_ = false;
};

TEST(SizeLimits, counts_beyond_32_bits_that_the_container_holds_are_asked_for_in_full) {
  // Element data in zero pages, and 1 GiB of address space to spare: an image
  // of the true size cannot be had, one of a count wrapped to 32 bits could.
  // Memory checkers neither honour the limit nor let a failed allocation throw.
  if (under_a_memory_checker()) GTEST_SKIP() << "needs the plain allocator";
  const auto settings = row_vector({5, 1, 0, 5, 1, 4});
  // 2^32 + 2^17 + 1 elements (131073 in 32 bits), and 2^30 + 2^16 elements
  // whose floats take 2^32 + 2^18 bytes (2^18 in 32 bits).
  for (const dimensions& extents : {dimensions{65537, 65537}, dimensions{32768, 32770}}) {
    const auto huge = standin::make_array_of_zero_pages(mxUINT8_CLASS, extents);
    const address_space_limit limit(two_to(30));
    ASSERT_TRUE(limit.active());
    EXPECT_EQ(refusal_identifier(test_support::sorvik_plugin(), {huge.get(), settings.get()}), "Sorvik:outOfMemory");
  }
  EXPECT_EQ(standin::live_created_arrays(), 0u);
}
#endif

}  // namespace
