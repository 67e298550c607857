// Fuzz target: both plug-ins called through the stand-in host exactly as a
// host calls them: 0 to 3 arrays of any class the host has, accepted or not,
// with 0 to 6 dimensions (zero extents, extents beyond the container, products
// that overflow), sparse and complex flags and any data; 0 to 2 outputs; then
// up to 4 more inputs drawn as call options: names right and wrong, as char
// arrays or string scalars, values right and wrong, or any array.
//
// Every call must end in a result of the one shape results have (rows x
// columns x depth x 1 doubles holding class indices 0 .. K-1) or in a host
// error "<Command>:<mnemonic>" with a known mnemonic and a message. The
// stand-in host checks its rules around the call; ASan, UBSan and
// LeakSanitizer watch the rest.
//
// Input layout, one byte each unless said otherwise (zeros past the end):
//   command (even: Sorvik, odd: Tamvel), output count % 3, array count % 4,
//   then per array: class % 17; flags (bit 0 sparse, bit 1 complex, bits 2-3
//   how the elements are read); dimension count % 7; one byte per extent
//   (below 0xE0: 0 .. 11, else one of the large extents); the elements;
//   then an option input count % 5 and per option input: kind % 4 (0: a
//   name as char, 1: a name as string, 2: a scalar value, 3: an array as
//   above); for a name its index in option_names; for a value its class
//   (% 4: double, logical, int32, single) and a special value.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "boundary/call_options.h"
#include "boundary/host_array.h"
#include "core/refusal.h"
#include "input_reader.h"
#include "tamvel/parameters.h"
#include "sorvik/parameters.h"
#include "standin.h"

namespace {

using fuzz::finding;

const standin::plugin* sorvik_plugin = nullptr;
const standin::plugin* tamvel_plugin = nullptr;

// Arrays of more elements than this are made without element data: the
// plug-ins must refuse them (tooLarge, or missingData from the stand-in host)
// before reading any.
constexpr std::size_t largest_held_count = std::size_t(1) << 14;

std::size_t extent(fuzz::input_reader& in) {
  const std::uint8_t code = in.byte();
  if (code < 0xE0) return code % 12;
  constexpr std::size_t top = std::numeric_limits<std::size_t>::max();
  static const std::size_t large[] = {16,
                                      17,
                                      255,
                                      1000,
                                      65535,
                                      65536,
                                      65537,
                                      3037000499,
                                      3037000500,
                                      (1ull << 31) - 1,
                                      1ull << 31,
                                      (1ull << 32) - 1,
                                      1ull << 32,
                                      (1ull << 32) + 1,
                                      1ull << 33,
                                      1ull << 34,
                                      (1ull << 34) + 1,
                                      1ull << 62,
                                      1ull << 63,
                                      top / 2,
                                      top - 1,
                                      top,
                                      1ull << 17,
                                      (1ull << 17) + 1,
                                      1ull << 20,
                                      46341,
                                      4096,
                                      512,
                                      3,
                                      2,
                                      1,
                                      0};
  return large[code - 0xE0];
}

// A value in the element type: integers saturate and NaN becomes 0, as a
// host's own conversion would give.
template <typename T>
T element_from(double value) {
  if constexpr (std::is_integral_v<T>) {
    if (std::isnan(value)) return 0;
    if (value <= double(std::numeric_limits<T>::lowest())) return std::numeric_limits<T>::lowest();
    if (value >= double(std::numeric_limits<T>::max())) return std::numeric_limits<T>::max();
    return static_cast<T>(value);
  } else if constexpr (std::is_same_v<T, float>) {
    return fuzz::as_float(value);
  } else {
    return value;
  }
}

enum class reading { raw, special, small_whole, one_special };

template <typename T>
void fill_elements(fuzz::input_reader& in, reading how, T* target, std::size_t count) {
  if (how == reading::raw) {
    in.bytes(target, count * sizeof(T));
    return;
  }
  const double repeated = how == reading::one_special ? in.special() : 0;
  for (std::size_t i = 0; i < count; ++i) {
    double value = repeated;
    if (how == reading::special) value = in.special();
    if (how == reading::small_whole) value = in.between(0, 7);
    target[i] = element_from<T>(value);
  }
}

void fill(fuzz::input_reader& in, reading how, mxClassID class_id, void* target, std::size_t count) {
  switch (class_id) {
    case mxLOGICAL_CLASS:
      fill_elements(in, how, static_cast<std::uint8_t*>(target), count);
      break;
    case mxDOUBLE_CLASS:
      fill_elements(in, how, static_cast<double*>(target), count);
      break;
    case mxSINGLE_CLASS:
      fill_elements(in, how, static_cast<float*>(target), count);
      break;
    case mxINT8_CLASS:
      fill_elements(in, how, static_cast<std::int8_t*>(target), count);
      break;
    case mxUINT8_CLASS:
      fill_elements(in, how, static_cast<std::uint8_t*>(target), count);
      break;
    case mxINT16_CLASS:
      fill_elements(in, how, static_cast<std::int16_t*>(target), count);
      break;
    case mxUINT16_CLASS:
      fill_elements(in, how, static_cast<std::uint16_t*>(target), count);
      break;
    case mxINT32_CLASS:
      fill_elements(in, how, static_cast<std::int32_t*>(target), count);
      break;
    case mxUINT32_CLASS:
      fill_elements(in, how, static_cast<std::uint32_t*>(target), count);
      break;
    case mxINT64_CLASS:
      fill_elements(in, how, static_cast<std::int64_t*>(target), count);
      break;
    case mxUINT64_CLASS:
      fill_elements(in, how, static_cast<std::uint64_t*>(target), count);
      break;
    default:
      in.bytes(target, count * standin::element_size(class_id));
      break;  // no numbers in it
  }
}

standin::array_ptr host_array(fuzz::input_reader& in) {
  const auto class_id = static_cast<mxClassID>(in.between(0, mxFUNCTION_CLASS));
  const std::uint8_t flags = in.byte();
  const bool sparse = flags & 1, complex = flags & 2;
  const auto how = static_cast<reading>((flags >> 2) & 3);
  std::vector<std::size_t> dimensions(std::size_t(in.between(0, 6)));
  for (std::size_t& e : dimensions) e = extent(in);
  std::size_t count = 1;
  bool fits = true;
  for (std::size_t e : dimensions) {
    if (e != 0 && count > largest_held_count / e) fits = false;
    count = fits ? count * e : 0;
  }
  if (!fits) return standin::make_array_without_data(class_id, dimensions, complex, sparse);
  standin::array_ptr array = standin::make_array(class_id, dimensions, complex, sparse);
  if (count == 0) return array;
  fill(in, how, class_id, mxGetData(array.get()), count);
  if (complex) fill(in, how, class_id, standin::imaginary_data(array.get()), count);
  return array;
}

const char* const option_names[] = {"threads", "volume", "THREADS", "Volume", "thread", "", "volumes", "tHrEaDs"};

standin::array_ptr option_input(fuzz::input_reader& in) {
  switch (in.byte() % 4) {
    case 0:
      return standin::make_char(option_names[in.byte() % std::size(option_names)]);
    case 1:
      return standin::make_strings({option_names[in.byte() % std::size(option_names)]});
    case 2: {
      const std::uint8_t class_code = in.byte() % 4;
      const double value = in.special();
      switch (class_code) {
        case 0:
          return standin::make_doubles({1, 1}, {value});
        case 1:
          return standin::make_filled<std::uint8_t>(mxLOGICAL_CLASS, {1, 1}, {std::uint8_t(value != 0)});
        case 2:
          return standin::make_filled<std::int32_t>(mxINT32_CLASS, {1, 1}, {element_from<std::int32_t>(value)});
        default:
          return standin::make_filled<float>(mxSINGLE_CLASS, {1, 1}, {element_from<float>(value)});
      }
    }
    default:
      return host_array(in);
  }
}

// The options as the plug-in reads them; false where it refuses them.
bool options_read(const std::vector<const mxArray*>& options, boundary::call_options& read) {
  try {
    read = boundary::read_call_options(options.data(), int(options.size()), 1);
    return true;
  } catch (const core::refusal&) {
  }
  return false;
}

// The inputs as the plug-in converts them, or nothing where it refuses.
bool converted(const mxArray* array, CImg<float>& image, bool volume = false) {
  try {
    image = boundary::image_from_host(array, "input", volume);
    return true;
  } catch (const core::refusal&) {
  } catch (const cimg_library::CImgException&) {
  } catch (const std::bad_alloc&) {
  }
  return false;
}

// Rough work of a call: pixel-class pairs times the disc, per iteration,
// and the threads every iteration starts: a few pixels over thousands of
// iterations with a handful of threads may spend their time starting
// threads.
double work(double pixels, double channels, int iterations, int classes, int window, int threads) {
  constexpr double thread_start = 2e4;
  const double per_iteration =
      pixels * double(classes) * (channels + double(window) * window + 1) + thread_start * (threads - 1);
  return double(std::max(iterations, 1)) * per_iteration + double(classes) * channels;
}

constexpr double largest_work = 4e6;

// Settings the plug-in would accept but that would run for minutes (2^31
// iterations, 2^24 classes, discs of 46340 pixels) are brought within reach,
// in a new parameter vector that replaces `settings_array`; every other
// setting stays as drawn. False when even then the call would take long: an
// image without channels holds no element but may have billions of pixels.
template <typename Parameters, typename Read, typename Store>
bool within_reach(standin::array_ptr& settings_array, const CImg<float>& settings, double pixels, double channels,
                  int threads, Read read, Store store) {
  Parameters p;
  try {
    p = read(settings);
  } catch (const core::refusal&) {
    return true;
  }
  if (work(pixels, channels, p.max_iterations, p.class_count, p.window_size, threads) <= largest_work) return true;
  const struct { int classes, window, iterations; } reaches[] = {{8, 9, 3}, {2, 3, 2}};
  for (const auto& reach : reaches) {
    p.class_count = std::min(p.class_count, reach.classes);
    p.window_size = std::clamp(p.window_size, -reach.window, reach.window);
    p.max_iterations = std::min(p.max_iterations, reach.iterations);
    if (work(pixels, channels, p.max_iterations, p.class_count, p.window_size, threads) <= largest_work) break;
  }
  std::vector<double> values(settings.data(), settings.data() + settings.size());
  store(p, values);
  settings_array = standin::make_doubles({1, values.size()}, values);
  return work(pixels, channels, p.max_iterations, p.class_count, p.window_size, threads) <= 8 * largest_work;
}

bool known_mnemonic(const std::string& mnemonic) {
  static const char* const mnemonics[] = {"notEnoughInputs", "tooManyOutputs",   "badOption",   "tooFewParameters",
                                          "badParameters",   "unsupportedClass", "sparseInput", "tooManyDimensions",
                                          "tooLarge",        "geometryMismatch", "emptyImage",  "imageLibrary",
                                          "outOfMemory",     "missingData"};
  return std::find(std::begin(mnemonics), std::end(mnemonics), mnemonic) != std::end(mnemonics);
}

void check_labels(const mxArray* result, const mxArray* image, int classes, bool volume) {
  if (!result) finding("a call that raised no error returned no result");
  if (mxGetClassID(result) != mxDOUBLE_CLASS || mxIsComplex(result) || mxIsSparse(result))
    finding("the result is not a real full double array");
  const std::vector<std::size_t> in = standin::dimensions_of(image);
  const bool has_depth = in.size() == 4 || (volume && in.size() == 3);
  const std::vector<std::size_t> expected = {in.at(0), in.at(1), has_depth ? in[2] : 1, 1};
  if (standin::dimensions_of(result) != expected) finding("the result is not rows x columns x depth x 1");
  const std::size_t count = standin::element_count(result);
  const double* label = mxGetPr(result);
  if (count && !label) finding("the result holds no elements");
  for (std::size_t i = 0; i < count; ++i)
    if (!(label[i] >= 0 && label[i] < classes && label[i] == std::floor(label[i])))
      finding("a label is no class index");
}

// With FUZZ_DESCRIBE set, each call is written to stderr: a reproducer's
// arrays in words.
void describe(const char* command, const std::vector<standin::array_ptr>& arrays, int output_count) {
  static const bool wanted = std::getenv("FUZZ_DESCRIBE") != nullptr;
  if (!wanted) return;
  std::fprintf(stderr, "%s with %d output(s) and %zu input(s):\n", command, output_count, arrays.size());
  for (const standin::array_ptr& array : arrays) {
    char text[48];
    if (mxGetString(array.get(), text, sizeof text) == 0) std::fprintf(stderr, "  text \"%s\",", text);
    if (mxIsClass(array.get(), "string")) std::fprintf(stderr, "  a string,");
    std::fprintf(stderr, "  class %d%s%s, dimensions", int(mxGetClassID(array.get())),
                 mxIsSparse(array.get()) ? ", sparse" : "", mxIsComplex(array.get()) ? ", complex" : "");
    for (std::size_t e : standin::dimensions_of(array.get())) std::fprintf(stderr, " %zu", e);
    CImg<float> image;
    if (converted(array.get(), image) && image.size()) {
      std::fprintf(stderr, ", first values");
      for (std::size_t i = 0; i < std::min<std::size_t>(image.size(), 8); ++i) std::fprintf(stderr, " %g", image[i]);
    }
    std::fprintf(stderr, "\n");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Loaded once and never unloaded, so that reports can name their code.
  sorvik_plugin = new standin::plugin(STANDIN_PLUGIN_DIR "/Sorvik.mex");
  tamvel_plugin = new standin::plugin(STANDIN_PLUGIN_DIR "/Tamvel.mex");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::input_reader in(data, size);
  const bool tamvel = in.flag();
  const int output_count = in.between(0, 2);
  std::vector<standin::array_ptr> arrays(std::size_t(in.between(0, 3)));
  for (standin::array_ptr& array : arrays) array = host_array(in);
  const std::size_t option_count = std::size_t(in.between(0, 4));
  for (std::size_t i = 0; i < option_count; ++i) arrays.push_back(option_input(in));

  // Past the required inputs come the options; they decide how the images
  // read, and the settings how long a call runs.
  const std::size_t wanted = tamvel ? 3 : 2;
  std::vector<const mxArray*> options;
  for (std::size_t i = wanted; i < arrays.size(); ++i) options.push_back(arrays[i].get());
  boundary::call_options read_options;
  const bool options_accepted = options_read(options, read_options);
  const bool volume = read_options.volume;
  int classes = 0;
  CImg<float> image, settings;
  if (arrays.size() >= wanted && options_accepted && converted(arrays[0].get(), image, volume) &&
      converted(arrays[wanted - 1].get(), settings)) {
    const double pixels = double(image.width()) * image.height() * image.depth();
    double channels = image.spectrum();
    CImg<float> secondary;
    if (tamvel && converted(arrays[1].get(), secondary, volume)) channels += secondary.spectrum();
    const bool reachable =
        tamvel ? within_reach<tamvel::pair_segmentation_parameters>(arrays[wanted - 1], settings, pixels, channels,
                                                                    read_options.threads, tamvel::read_parameters,
                                                                    [](const auto& p, std::vector<double>& v) {
                                                                      v[3] = p.window_size;
                                                                      v[4] = p.max_iterations;
                                                                      v[7] = p.class_count;
                                                                    })
               : within_reach<sorvik::segmentation_parameters>(arrays[wanted - 1], settings, pixels, channels,
                                                               read_options.threads, sorvik::read_parameters,
                                                               [](const auto& p, std::vector<double>& v) {
                                                                 v[0] = p.window_size;
                                                                 v[3] = p.max_iterations;
                                                                 v[5] = p.class_count;
                                                               });
    if (!reachable) return 0;
  }

  std::vector<const mxArray*> inputs;
  for (const standin::array_ptr& array : arrays) inputs.push_back(array.get());
  const char* command = tamvel ? "Tamvel" : "Sorvik";
  describe(command, arrays, output_count);
  try {
    const standin::plugin& plugin = tamvel ? *tamvel_plugin : *sorvik_plugin;
    const std::vector<standin::array_ptr> outputs = plugin.call(inputs, output_count);
    if (!options_accepted) finding("a call succeeded whose options are refused");
    // Only a call the settings allow gets this far: read K as the plug-in did.
    try {
      if (!converted(inputs.at(wanted - 1), settings)) finding("a call succeeded whose parameter vector is refused");
      classes = tamvel ? tamvel::read_parameters(settings).class_count : sorvik::read_parameters(settings).class_count;
    } catch (const core::refusal&) {
      finding("a call succeeded whose settings are refused");
    }
    check_labels(outputs.at(0).get(), inputs.at(0), classes, volume);
    if (std::getenv("FUZZ_DESCRIBE")) std::fprintf(stderr, "  gives labels of %d classes\n", classes);
  } catch (const standin::host_rule_broken& broken) {
    finding(broken.what());
  } catch (const standin::host_error& error) {
    const std::string identifier = error.identifier;
    const std::string prefix = std::string(command) + ":";
    if (identifier.compare(0, prefix.size(), prefix) != 0 || !known_mnemonic(identifier.substr(prefix.size())))
      finding(("a host error with an unknown identifier: " + identifier).c_str());
    if (std::string(error.what()).empty()) finding("a host error without a message");
    if (std::getenv("FUZZ_DESCRIBE")) std::fprintf(stderr, "  gives %s: %s\n", identifier.c_str(), error.what());
  }
  if (standin::live_created_arrays() != 0) finding("an array the plug-in created outlived the call");
  return 0;
}
