#include "entry.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "call_options.h"
#include "host_array.h"
#include "host_console.h"
#include "run_outputs.h"
#include "core/image.h"
#include "core/refusal.h"
#include "settings_input.h"

namespace boundary {

using core::refusal;
using core::refuse;
namespace {

// The host may leave mexErrMsgIdAndTxt by a long jump that skips destructors,
// so the error text waits in plain buffers, not in objects that own memory.
struct pending_error {
  char identifier[96] = "";
  char message[1024] = "";
  bool raised = false;

  void set(const char* command, const char* mnemonic, const char* text) {
    std::snprintf(identifier, sizeof identifier, "%s:%s", command, mnemonic);
    // Hosts name the command beside the message themselves.
    std::snprintf(message, sizeof message, "%s", text);
    raised = true;
  }
};

// The required inputs, then name-value options; at most two outputs.
void require_arguments(const command& command, int nlhs, int nrhs) {
  const int required = static_cast<int>(command.image_count) + 1;
  if (nrhs < required)
    refuse("notEnoughInputs", "expected at least %d inputs, got %d. Call it as %s.", required, nrhs, command.call_form);
  if (nlhs > 2)
    refuse("tooManyOutputs",
           "returns the label array and, when asked, a struct of what the run found ([L, info] = %s(...)), but %d "
           "outputs were requested.",
           command.name, nlhs);
}

// Above this many channels a 3-D array is more likely a grey volume than one
// slice of channels (colour with alpha has 4).
constexpr mwSize most_channels_without_a_warning = 4;

// A grey volume given without "volume" is clustered as one slice of many
// channels, as the call asks; the labels stay those, but the caller hears of
// it under an identifier of its own, which the host can switch off. The host
// may leave a warning turned into an error by a long jump, so this runs
// before anything that owns memory is made.
void warn_of_many_channels(const command& command, const mxArray* const images[], const call_options& options) {
  if (options.volume_given) return;
  for (std::size_t i = 0; i < command.image_count; ++i) {
    if (!is_number_class(mxGetClassID(images[i])) || mxGetNumberOfDimensions(images[i]) != 3) continue;
    const mwSize* dimensions = mxGetDimensions(images[i]);
    if (dimensions[2] <= most_channels_without_a_warning) continue;
    char identifier[96];
    std::snprintf(identifier, sizeof identifier, "%s:manyChannels", command.name);
    const unsigned long long rows = dimensions[0], columns = dimensions[1], channels = dimensions[2];
    mexWarnMsgIdAndTxt(identifier,
                       "%s is %llu x %llu x %llu and is read as one slice with %llu channels. If it is a volume, "
                       "pass \"volume\", true; pass \"volume\", false to keep the channels without this warning.",
                       command.image_roles[i], rows, columns, channels, channels);
    return;
  }
}

// The mask as the API reads it: rows x columns, or a volume's depth slices
// in its third dimension. Only its real part would count, so a complex mask
// is refused as no mask at all.
edgeseg::image_view describe_mask(const mxArray* mask) {
  if (mxIsComplex(mask))
    refuse("unsupportedClass", "the mask is %s; expected a real logical or numeric array.",
           argument_description(mask).text);
  return describe_host_array(mask, "the mask", true);
}

void segment(const command& command, int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[],
             pending_warnings& warnings) {
  require_arguments(command, nlhs, nrhs);
  const int required = static_cast<int>(command.image_count) + 1;
  const call_options options = read_call_options(prhs + required, nrhs - required, required + 1,
                                                 command.offers_exact_sums, command.image_count == 2);
  warn_of_many_channels(command, prhs, options);
  // Every input is checked, in order, before the API converts any; it lets
  // the converted images go before it hands back the labels, so a call holds
  // the images and the labels, then the labels and the result, never all
  // three. No host function is called while the API runs its threads.
  edgeseg::image_view images[largest_image_count];
  for (std::size_t i = 0; i < command.image_count; ++i)
    images[i] = describe_host_array(prhs[i], command.image_roles[i], options.volume);
  const std::vector<float> parameters = [&] {
    const CImg<float> settings = settings_from_host(prhs[command.image_count], command.name, required);
    return std::vector<float>(settings.data(), settings.data() + settings.size());
  }();
  // The user's Ctrl-C is looked at on this thread while the call runs, and
  // progress printed here, between iterations, while the other threads wait.
  edgeseg::call_options api_options;
  if (options.mask) api_options.mask = describe_mask(options.mask);
  api_options.threads = options.threads;
  api_options.stop_requested = host_interrupt_pending;
  api_options.exact_sums = options.exact_sums;
  api_options.initial_centres = centres_from_host(options.centres, "centres", options.centres_position);
  api_options.secondary_initial_centres =
      centres_from_host(options.secondary_centres, "secondary_centres", options.secondary_centres_position);
  api_options.warn = [&](const core::run_warning& warning) { warnings.keep(command.name, warning); };
  progress_lines lines{command.name};
  if (options.progress)
    api_options.progress = [&lines](const edgeseg::iteration_report& report) { lines.print(report); };
  edgeseg::run_info info;
  const edgeseg::label_image labels = command.segment(images, parameters, api_options, nlhs > 1 ? &info : nullptr);
  plhs[0] = labels_to_host(labels, options.threads);
  if (nlhs > 1) plhs[1] = info_to_host(info, command.image_count == 2);
}

}  // namespace

void run_command(const command& command, int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  pending_error error;
  pending_warnings warnings;
  try {
    segment(command, nlhs, plhs, nrhs, prhs, warnings);
  } catch (const refusal& fault) {
    error.set(command.name, fault.mnemonic(), fault.what());
  } catch (const cimg_library::CImgException& fault) {
    // The library reports memory it could not get as its own error.
    const bool memory = std::strstr(fault.what(), "Failed to allocate memory") != nullptr;
    error.set(command.name, memory ? "outOfMemory" : "imageLibrary", fault.what());
  } catch (const std::bad_alloc&) {
    error.set(command.name, "outOfMemory", "not enough memory for this image and these settings.");
  } catch (const core::call_stopped&) {
    // An error, not the host's own interrupt: that would come only after the
    // host had first failed for want of the missing output.
    error.set(command.name, "interrupted", "interrupted by the user (Ctrl-C); the call returned nothing.");
  }
  if (error.raised) mexErrMsgIdAndTxt(error.identifier, "%s", error.message);
  warnings.emit();
}

}  // namespace boundary
