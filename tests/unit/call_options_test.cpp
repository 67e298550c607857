// The options both commands take after their required inputs, "threads" and
// "volume", through the stand-in host.
#include <gtest/gtest.h>

#if defined(__linux__)
#include <sched.h>
#elif defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

#include <algorithm>
#include <bitset>
#include <climits>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "boundary/call_options.h"
#include "core/refusal.h"
#include "plugin_call.h"

namespace {

using standin::array_ptr;
using test_support::call;
using test_support::labels_of;
using test_support::refusal_identifier;
using test_support::row_vector;
using test_support::sorvik_plugin;
using test_support::tamvel_plugin;

const std::vector<double> sorvik_settings = {3, 20, 0, 6, 1, 3};        // edge term after iteration 1
const std::vector<double> tamvel_settings = {1, 0, 50, 3, 6, 1, 1, 3};  // penalty and band after iteration 1

// rows x columns x depth of values that differ from slice to slice.
array_ptr graded_volume(std::size_t rows, std::size_t columns, std::size_t depth, std::vector<std::size_t> shape) {
  std::vector<double> values;
  for (std::size_t z = 0; z < depth; ++z)
    for (std::size_t x = 0; x < columns; ++x)
      for (std::size_t y = 0; y < rows; ++y) values.push_back(double((7 * y + 3 * x * x + 11 * z) % 17) * 10);
  return standin::make_doubles(shape, values);
}

// One call per command: the required inputs, then the options.
struct calls {
  array_ptr image = graded_volume(5, 6, 1, {5, 6});
  array_ptr sorvik_parameters = row_vector(sorvik_settings);
  array_ptr tamvel_parameters = row_vector(tamvel_settings);

  std::vector<const mxArray*> sorvik(std::vector<const mxArray*> options) const {
    options.insert(options.begin(), {image.get(), sorvik_parameters.get()});
    return options;
  }
  std::vector<const mxArray*> tamvel(std::vector<const mxArray*> options) const {
    options.insert(options.begin(), {image.get(), image.get(), tamvel_parameters.get()});
    return options;
  }
};

std::string message_of(const standin::plugin& plugin, const std::vector<const mxArray*>& inputs) {
  try {
    plugin.call(inputs);
  } catch (const standin::host_error& error) {
    return error.what();
  }
  return "";
}

boundary::call_options options_of(std::vector<const mxArray*> arguments, bool exact_sums_offered = false) {
  return boundary::read_call_options(arguments.data(), static_cast<int>(arguments.size()), 3, exact_sums_offered);
}

TEST(CallOptions, every_unusable_option_is_refused_and_the_next_call_works) {
  const calls c;
  const array_ptr threads = standin::make_char("threads"), volume = standin::make_char("volume");
  const array_ptr one = row_vector({1});
  // Values: each name with what it cannot take.
  std::vector<std::pair<const mxArray*, array_ptr>> values;
  for (double bad : {2.5, -1.0, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                     -std::numeric_limits<double>::infinity()})
    values.emplace_back(threads.get(), row_vector({bad}));
  for (double bad : {2.0, 0.5, -1.0, std::numeric_limits<double>::quiet_NaN()})
    values.emplace_back(volume.get(), row_vector({bad}));
  values.emplace_back(threads.get(), standin::make_array(mxDOUBLE_CLASS, {1, 1}, true));         // complex
  values.emplace_back(threads.get(), standin::make_array(mxDOUBLE_CLASS, {1, 1}, false, true));  // sparse
  values.emplace_back(threads.get(), row_vector({1, 2}));
  values.emplace_back(threads.get(), standin::make_array(mxDOUBLE_CLASS, {0, 0}));
  values.emplace_back(volume.get(), standin::make_array(mxDOUBLE_CLASS, {1, 1, 1, 2}));
  values.emplace_back(threads.get(), standin::make_char("4"));
  values.emplace_back(volume.get(), standin::make_array(mxCELL_CLASS, {1, 1}));
  for (const auto& [name, value] : values) {
    EXPECT_EQ(refusal_identifier(sorvik_plugin(), c.sorvik({name, value.get()})), "Sorvik:badOption");
    EXPECT_EQ(refusal_identifier(tamvel_plugin(), c.tamvel({name, value.get()})), "Tamvel:badOption");
  }

  // Names: unknown, not text, a char matrix, a string array, a value missing.
  const array_ptr unknown = standin::make_char("thread"), number = row_vector({4});
  const array_ptr char_matrix = standin::make_array(mxCHAR_CLASS, {2, 7});
  const array_ptr strings = standin::make_strings({"threads", "volume"});
  for (const std::vector<const mxArray*>& options :
       std::vector<std::vector<const mxArray*>>{{unknown.get(), one.get()},
                                                {number.get(), one.get()},
                                                {number.get()},
                                                {char_matrix.get(), one.get()},
                                                {strings.get(), one.get()},
                                                {threads.get()},
                                                {threads.get(), one.get(), volume.get()}}) {
    EXPECT_EQ(refusal_identifier(sorvik_plugin(), c.sorvik(options)), "Sorvik:badOption");
    EXPECT_EQ(refusal_identifier(tamvel_plugin(), c.tamvel(options)), "Tamvel:badOption");
  }
  EXPECT_EQ(standin::live_created_arrays(), 0u);
  EXPECT_TRUE(call(sorvik_plugin(), c.sorvik({threads.get(), one.get()})));
  EXPECT_TRUE(call(tamvel_plugin(), c.tamvel({threads.get(), one.get()})));
}

TEST(CallOptions, messages_name_the_fault_and_what_is_expected) {
  const calls c;
  const array_ptr unknown = standin::make_char("Thread"), half = row_vector({2.5}), number = row_vector({4});
  EXPECT_NE(
      message_of(sorvik_plugin(), c.sorvik({unknown.get(), half.get()}))
          .find("input 3 is the unknown option \"Thread\"; expected \"threads\", n, \"volume\", tf, \"progress\", tf, "
                "\"exactsums\", tf, \"mask\", M or \"centres\", C"),
      std::string::npos);
  const array_ptr threads = standin::make_char("threads");
  EXPECT_NE(message_of(tamvel_plugin(), c.tamvel({threads.get(), half.get()}))
                .find("the value of \"threads\" (input 5) is 2.5; expected one whole number >= 0"),
            std::string::npos);
  EXPECT_NE(message_of(sorvik_plugin(), c.sorvik({number.get()}))
                .find("input 3 is a double array of size 1 x 1; expected an option name"),
            std::string::npos);
}

TEST(CallOptions, exact_sums_are_sorvik_s_switch_and_tamvel_refuses_them) {
  const calls c;
  const array_ptr exact = standin::make_char("ExactSums"), yes = row_vector({1}), no = row_vector({0});
  const array_ptr half = row_vector({0.5});
  EXPECT_TRUE(options_of({exact.get(), yes.get()}, true).exact_sums);
  EXPECT_FALSE(options_of({exact.get(), yes.get(), exact.get(), no.get()}, true).exact_sums);
  EXPECT_FALSE(options_of({}, true).exact_sums);
  EXPECT_TRUE(call(sorvik_plugin(), c.sorvik({exact.get(), yes.get()})));
  EXPECT_EQ(refusal_identifier(sorvik_plugin(), c.sorvik({exact.get(), half.get()})), "Sorvik:badOption");
  EXPECT_EQ(refusal_identifier(tamvel_plugin(), c.tamvel({exact.get(), no.get()})), "Tamvel:badOption");
  EXPECT_NE(message_of(tamvel_plugin(), c.tamvel({exact.get(), yes.get()}))
                .find("input 4 is the option \"ExactSums\", which only Sorvik offers; expected \"threads\", n, "
                      "\"volume\", tf, \"progress\", tf, \"mask\", M, \"centres\", C or \"secondary_centres\", C2"),
            std::string::npos);
  EXPECT_EQ(standin::live_created_arrays(), 0u);
}

TEST(CallOptions, options_are_checked_after_the_counts_and_before_the_inputs) {
  const array_ptr cell = standin::make_array(mxCELL_CLASS, {2, 2}), settings = row_vector(sorvik_settings);
  const array_ptr bogus = standin::make_char("bogus"), one = row_vector({1});
  EXPECT_EQ(refusal_identifier(sorvik_plugin(), {cell.get(), settings.get(), bogus.get(), one.get()}),
            "Sorvik:badOption");
  EXPECT_EQ(refusal_identifier(sorvik_plugin(), {cell.get(), settings.get(), bogus.get(), one.get()}, 3),
            "Sorvik:tooManyOutputs");
  EXPECT_EQ(refusal_identifier(tamvel_plugin(), {cell.get(), bogus.get()}), "Tamvel:notEnoughInputs");
}

TEST(CallOptions, names_match_in_any_case_as_char_or_string) {
  const calls c;
  const array_ptr four = row_vector({4}), yes = standin::make_filled<std::uint8_t>(mxLOGICAL_CLASS, {1, 1}, {1});
  const array_ptr expected_sorvik = call(sorvik_plugin(), c.sorvik({}));
  const array_ptr expected_tamvel = call(tamvel_plugin(), c.tamvel({}));
  ASSERT_TRUE(expected_sorvik && expected_tamvel);
  for (const char* name : {"threads", "THREADS", "Threads", "tHrEaDs"})
    for (const array_ptr& text : {standin::make_char(name), standin::make_strings({name})}) {
      EXPECT_TRUE(labels_of(call(sorvik_plugin(), c.sorvik({text.get(), four.get()})).get()) ==
                  labels_of(expected_sorvik.get()))
          << name;
      EXPECT_TRUE(labels_of(call(tamvel_plugin(), c.tamvel({text.get(), four.get()})).get()) ==
                  labels_of(expected_tamvel.get()))
          << name;
    }
  // A 2-D image is the same with or without "volume"; the last of two values counts.
  const array_ptr volume = standin::make_strings({"VOLUME"}), threads = standin::make_char("threads");
  const array_ptr bad = row_vector({-1});
  EXPECT_TRUE(labels_of(call(sorvik_plugin(), c.sorvik({volume.get(), yes.get(), threads.get(), four.get()})).get()) ==
              labels_of(expected_sorvik.get()));
  EXPECT_EQ(refusal_identifier(sorvik_plugin(), c.sorvik({threads.get(), four.get(), threads.get(), bad.get()})),
            "Sorvik:badOption");
}

TEST(CallOptions, every_thread_count_gives_the_same_labels) {
  const calls c;
  const array_ptr threads = standin::make_char("threads");
  const array_ptr expected_sorvik = call(sorvik_plugin(), c.sorvik({}));
  const array_ptr expected_tamvel = call(tamvel_plugin(), c.tamvel({}));
  ASSERT_TRUE(expected_sorvik && expected_tamvel);
  std::vector<array_ptr> counts;
  for (double n : {0.0, 1.0, 4.0, 300.0, 1e300}) counts.push_back(row_vector({n}));
  counts.push_back(standin::make_filled<std::int32_t>(mxINT32_CLASS, {1, 1}, {4}));
  counts.push_back(standin::make_filled<float>(mxSINGLE_CLASS, {1, 1}, {2}));
  counts.push_back(standin::make_filled<std::uint8_t>(mxLOGICAL_CLASS, {1, 1}, {1}));
  for (const array_ptr& n : counts) {
    EXPECT_TRUE(labels_of(call(sorvik_plugin(), c.sorvik({threads.get(), n.get()})).get()) ==
                labels_of(expected_sorvik.get()));
    EXPECT_TRUE(labels_of(call(tamvel_plugin(), c.tamvel({threads.get(), n.get()})).get()) ==
                labels_of(expected_tamvel.get()));
  }
}

TEST(CallOptions, thread_counts_resolve_to_one_through_256) {
  const array_ptr threads = standin::make_char("threads"), volume = standin::make_char("volume");
  const array_ptr zero = row_vector({0}), four = row_vector({4}), many = row_vector({300});
  const array_ptr yes = standin::make_filled<std::uint8_t>(mxLOGICAL_CLASS, {1, 1}, {1});
  EXPECT_EQ(options_of({}).threads, 1);
  EXPECT_FALSE(options_of({}).volume);
  EXPECT_EQ(options_of({threads.get(), four.get()}).threads, 4);
  EXPECT_EQ(options_of({threads.get(), many.get()}).threads, 256);
  EXPECT_TRUE(options_of({volume.get(), yes.get()}).volume);
  EXPECT_EQ(options_of({threads.get(), zero.get()}).threads, std::min(core::cores_available(), 256));
  EXPECT_THROW(options_of({threads.get()}), core::refusal);
}

#if defined(__linux__)
TEST(CallOptions, every_core_means_the_cores_this_process_may_run_on) {
  cpu_set_t allowed;
  ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
  EXPECT_EQ(core::cores_available(), CPU_COUNT(&allowed));
  cpu_set_t first;
  CPU_ZERO(&first);
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
    if (CPU_ISSET(cpu, &allowed)) {
      CPU_SET(cpu, &first);
      break;
    }
  ASSERT_EQ(sched_setaffinity(0, sizeof first, &first), 0);
  EXPECT_EQ(core::cores_available(), 1);
  ASSERT_EQ(sched_setaffinity(0, sizeof allowed, &allowed), 0);
}
#elif defined(_WIN32)
TEST(CallOptions, every_core_means_the_cores_this_process_may_run_on) {
  DWORD_PTR allowed = 0, system = 0;
  ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &allowed, &system));
  EXPECT_EQ(core::cores_available(), int(std::bitset<sizeof(DWORD_PTR) * CHAR_BIT>(allowed).count()));
  const DWORD_PTR first = allowed & (~allowed + 1);  // the lowest allowed core
  ASSERT_TRUE(SetProcessAffinityMask(GetCurrentProcess(), first));
  EXPECT_EQ(core::cores_available(), 1);
  ASSERT_TRUE(SetProcessAffinityMask(GetCurrentProcess(), allowed));
}
#endif

TEST(CallOptions, a_volume_of_one_channel_reads_as_its_four_dimensional_form) {
  const array_ptr volume = standin::make_char("volume");
  const array_ptr yes = standin::make_filled<std::uint8_t>(mxLOGICAL_CLASS, {1, 1}, {1}), no = row_vector({0});
  const array_ptr grey = graded_volume(5, 6, 3, {5, 6, 3}), grey4 = graded_volume(5, 6, 3, {5, 6, 3, 1});
  const array_ptr sorvik_parameters = row_vector(sorvik_settings), tamvel_parameters = row_vector(tamvel_settings);

  const array_ptr sorvik_volume = call(sorvik_plugin(), {grey.get(), sorvik_parameters.get(), volume.get(), yes.get()});
  const array_ptr sorvik_4d = call(sorvik_plugin(), {grey4.get(), sorvik_parameters.get()});
  ASSERT_TRUE(sorvik_volume && sorvik_4d);
  EXPECT_EQ(standin::dimensions_of(sorvik_volume.get()), (std::vector<std::size_t>{5, 6, 3, 1}));
  EXPECT_TRUE(labels_of(sorvik_volume.get()) == labels_of(sorvik_4d.get()));
  EXPECT_GT(labels_of(sorvik_4d.get()).max(), 0.0f);

  const array_ptr tamvel_volume =
      call(tamvel_plugin(), {grey.get(), grey.get(), tamvel_parameters.get(), volume.get(), yes.get()});
  const array_ptr tamvel_4d = call(tamvel_plugin(), {grey4.get(), grey4.get(), tamvel_parameters.get()});
  ASSERT_TRUE(tamvel_volume && tamvel_4d);
  EXPECT_EQ(standin::dimensions_of(tamvel_volume.get()), (std::vector<std::size_t>{5, 6, 3, 1}));
  EXPECT_TRUE(labels_of(tamvel_volume.get()) == labels_of(tamvel_4d.get()));

  // "volume", false and no option: one slice whose channels are the third dimension.
  const array_ptr channels = graded_volume(5, 6, 3, {5, 6, 1, 3});
  const array_ptr as_slice = call(sorvik_plugin(), {grey.get(), sorvik_parameters.get(), volume.get(), no.get()});
  const array_ptr slice_4d = call(sorvik_plugin(), {channels.get(), sorvik_parameters.get()});
  ASSERT_TRUE(as_slice && slice_4d);
  EXPECT_EQ(standin::dimensions_of(as_slice.get()), (std::vector<std::size_t>{5, 6, 1, 1}));
  EXPECT_TRUE(labels_of(as_slice.get()) == labels_of(slice_4d.get()));
  // A 4-D array already is a volume, with channels in its fourth dimension.
  const array_ptr two_channels = graded_volume(5, 6, 4, {5, 6, 2, 2});
  const array_ptr four_d = call(sorvik_plugin(), {two_channels.get(), sorvik_parameters.get()});
  const array_ptr four_d_volume =
      call(sorvik_plugin(), {two_channels.get(), sorvik_parameters.get(), volume.get(), yes.get()});
  ASSERT_TRUE(four_d && four_d_volume);
  EXPECT_TRUE(labels_of(four_d.get()) == labels_of(four_d_volume.get()));
}

}  // namespace
