// What both plug-ins tell besides the labels, through the stand-in host: the
// info struct, the progress lines, and a Ctrl-C that ends a long call.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "plugin_call.h"

namespace {

using test_support::call;
using test_support::labels_of;
using test_support::row_vector;

// Two classes of three pixels, 10 11 12 and 40 41 42, as a 2 x 3 image.
standin::array_ptr two_classes() { return test_support::matrix_by_rows(2, 3, {10, 40, 11, 41, 12, 42}); }

struct command_case {
  const char* name;
  const standin::plugin& (*plugin)();
  int image_count;
  std::vector<double> settings;  // plain, K = 2, 3 iterations, tolerance 0
};

const std::vector<command_case>& commands() {
  static const std::vector<command_case> all = {{"Sorvik", test_support::sorvik_plugin, 1, {0, 0, 0, 3, 5, 2}},
                                                {"Tamvel", test_support::tamvel_plugin, 2, {1, 0, 0, 0, 3, 2, 5, 2}}};
  return all;
}

std::vector<const mxArray*> inputs(const command_case& command, const mxArray* image, const mxArray* settings,
                                   std::vector<const mxArray*> options = {}) {
  std::vector<const mxArray*> all(std::size_t(command.image_count), image);
  all.push_back(settings);
  all.insert(all.end(), options.begin(), options.end());
  return all;
}

std::vector<double> values_of(const mxArray* array) {
  const double* data = mxGetPr(array);
  return std::vector<double>(data, data + standin::element_count(array));
}

TEST(RunOutputs, info_holds_the_centres_and_sizes_of_the_classes_of_the_labels) {
  for (const command_case& command : commands()) {
    const auto image = two_classes();
    const auto settings = row_vector(command.settings);
    const std::vector<standin::array_ptr> both = command.plugin().call(inputs(command, image.get(), settings.get()), 2);
    ASSERT_TRUE(both[0] && both[1]) << command.name;
    EXPECT_TRUE(labels_of(both[0].get()) ==
                labels_of(call(command.plugin(), inputs(command, image.get(), settings.get())).get()))
        << command.name;
    const mxArray* info = both[1].get();
    ASSERT_EQ(mxGetClassID(info), mxSTRUCT_CLASS);
    EXPECT_EQ(mxGetNumberOfFields(info), command.image_count == 2 ? 7 : 6) << command.name;
    EXPECT_EQ(values_of(mxGetField(info, 0, "centres")), (std::vector<double>{11, 41})) << command.name;
    EXPECT_EQ(values_of(mxGetField(info, 0, "counts")), (std::vector<double>{3, 3})) << command.name;
    EXPECT_EQ(mxGetScalar(mxGetField(info, 0, "iterations")), 3) << command.name;
    EXPECT_EQ(mxGetClassID(mxGetField(info, 0, "converged")), mxLOGICAL_CLASS);
    EXPECT_EQ(mxGetScalar(mxGetField(info, 0, "converged")), 0) << command.name;
    // The energy: the squared distances to the centres 11 and 41 (and, for
    // the pair, the same again in the secondary image).
    const std::vector<double> energies = values_of(mxGetField(info, 0, "energies"));
    ASSERT_EQ(energies.size(), 3u);
    EXPECT_EQ(energies.back(), command.image_count == 2 ? 8.0 : 4.0) << command.name;
    EXPECT_EQ(mxGetScalar(mxGetField(info, 0, "energy")), energies.back());
    if (command.image_count == 2) {
      EXPECT_EQ(values_of(mxGetField(info, 0, "secondary_centres")), (std::vector<double>{11, 41}));
    }
  }
}

TEST(RunOutputs, progress_prints_a_flushed_line_an_iteration_and_why_the_run_ended) {
  for (const command_case& command : commands()) {
    const auto image = two_classes();
    const auto settings = row_vector(command.settings);
    const auto progress = standin::make_char("progress");
    const auto yes = standin::make_doubles({1, 1}, {1});
    call(command.plugin(), inputs(command, image.get(), settings.get()));
    EXPECT_EQ(standin::last_call_printed(), "") << command.name;
    call(command.plugin(), inputs(command, image.get(), settings.get(), {progress.get(), yes.get()}));
    const std::string printed = standin::last_call_printed();
    const std::string name = command.name;
    EXPECT_EQ(printed.find(name + ": iteration 1, plain phase: energy "), 0u) << printed;
    const std::string last_energy = command.image_count == 2 ? "8" : "4";
    EXPECT_NE(
        printed.find(name + ": iteration 3, plain phase: energy " + last_energy + " (change 0), 0 pixels changed"),
        std::string::npos)
        << printed;
    EXPECT_NE(printed.find(name + ": stopped after 3 iterations, the limit"), std::string::npos) << printed;
    EXPECT_EQ(standin::last_call_evaluated().size(), 4u) << command.name;  // each line flushed
  }
}

// The closing line says what the convergence test last compared. With the
// test from iteration 0 on (T = -1) it compares the first energy, a few
// units, with the stand-in energy before it, the float nearest 1e13.
TEST(RunOutputs, progress_closing_line_says_why_the_run_ended) {
  for (const command_case& command : commands()) {
    std::vector<double> values = command.settings;
    const bool pair = command.image_count == 2;
    const std::size_t tolerance = pair ? 1 : 2, iterations = pair ? 4 : 3, last_plain = pair ? 6 : 4;
    values[tolerance] = 1e-4;
    values[last_plain] = -1;
    values[iterations] = 1;
    const auto image = two_classes();
    const auto progress = standin::make_char("progress");
    const auto yes = standin::make_doubles({1, 1}, {1});
    const auto one_iteration = row_vector(values);
    call(command.plugin(), inputs(command, image.get(), one_iteration.get(), {progress.get(), yes.get()}));
    const std::string name = command.name;
    EXPECT_NE(standin::last_call_printed().find(
                  name + ": stopped after 1 iterations, the limit, without converging: the last change of the energy "
                         "squared, 1e+26, was not below tolerance x the previous energy, 0.0001 x 9.99999983e+12 = "
                         "1e+09.\n"),
              std::string::npos)
        << standin::last_call_printed();
    values[iterations] = 30;
    const auto many = row_vector(values);
    call(command.plugin(), inputs(command, image.get(), many.get(), {progress.get(), yes.get()}));
    const std::string printed = standin::last_call_printed();
    EXPECT_NE(printed.find(name + ": converged after "), std::string::npos) << printed;
    EXPECT_EQ(printed.find("the limit"), std::string::npos) << printed;
  }
}

// A call of many iterations, interrupted once it runs: it ends with the
// command's own error, holds no array and no thread after, and the next call
// gives the labels.
TEST(RunOutputs, ctrl_c_ends_a_long_call_with_an_error_and_the_next_call_works) {
  CImg<float> scene(96, 96, 1, 1);
  cimg_forXY(scene, x, y) scene(x, y) = float((x * 13 + y * 7) % 97);
  std::vector<double> values(scene.begin(), scene.end());
  const auto image = standin::make_doubles({96, 96}, values);
  const auto threads = standin::make_char("threads");
  for (const command_case& command : commands())
    for (const double count : {1.0, 2.0}) {
      std::vector<double> long_run = command.image_count == 2 ? std::vector<double>{1, 0, 50, 7, 1e6, 2, 1, 6}
                                                              : std::vector<double>{7, 50, 0, 1e6, 1, 6};
      const auto settings = row_vector(long_run);
      const auto thread_count = standin::make_doubles({1, 1}, {count});
      std::thread user([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        standin::press_interrupt();
      });
      const auto started = std::chrono::steady_clock::now();
      const std::string identifier = test_support::refusal_identifier(
          command.plugin(), inputs(command, image.get(), settings.get(), {threads.get(), thread_count.get()}));
      user.join();
      EXPECT_EQ(identifier, std::string(command.name) + ":interrupted") << count << " threads";
      // A million iterations would take hours.
      EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));
      EXPECT_EQ(standin::live_created_arrays(), 0u);
      long_run[command.image_count == 2 ? 4 : 3] = 3;
      const auto short_run = row_vector(long_run);
      EXPECT_TRUE(call(command.plugin(), inputs(command, image.get(), short_run.get())));
    }
}

}  // namespace
