#include "calls.h"
#include "conversion.h"
#include "edgeseg/segment.h"
#include "core/kept_buffers.h"
#include "core/run_warnings.h"
#include "sorvik/parameters.h"
#include "sorvik/segment_image.h"

namespace edgeseg {

CImg<float> sorvik_labels(const image_view& image, const std::vector<float>& parameters, core::call_threads& threads,
                          const core::run_watch& watch, bool exact_sums, const image_view* mask,
                          const core::centre_table& start) {
  CImg<float> converted = image_to_read(image, "the image", threads);
  // The settings are refused before the mask, in the order a call gives them.
  if (mask) sorvik::read_parameters(parameter_image(parameters));
  CImg<unsigned char> inside = mask ? mask_from_view(*mask, converted, threads) : CImg<unsigned char>();
  CImg<float> labels = sorvik::segment_image(converted, parameter_image(parameters), threads, watch, exact_sums,
                                             core::mask_of(inside), start);
  // The converted image goes before the labels are handed back, kept for
  // the next call or freed.
  core::keep_for_reuse(std::move(converted));
  core::keep_for_reuse(std::move(inside));
  return labels;
}

label_image sorvik(const image_view& image, const std::vector<float>& parameters, const call_options& options,
                   run_info* info) {
  if (options.secondary_initial_centres.given())
    core::refuse("badCentres", "secondary starting centres are given, which only Tamvel takes; expected none.");
  core::call_threads threads(options.threads);
  apply_options(options, threads);
  return hand_over(sorvik_labels(image, parameters, threads, watch_of(options, info), options.exact_sums,
                                 options.mask ? &*options.mask : nullptr, options.initial_centres));
}

std::vector<float> sorvik_start(const centre_table& given, const std::vector<float>& parameters, int channels) {
  const CImg<float> centres =
      sorvik::given_start(given, sorvik::read_parameters(parameter_image(parameters)).class_count, channels);
  return std::vector<float>(centres.begin(), centres.end());
}

std::vector<core::run_warning> run_warnings(const core::run_ending& ending) { return core::run_warnings(ending); }

}  // namespace edgeseg
