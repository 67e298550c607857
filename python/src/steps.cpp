// edgeseg._core's Sorvik in steps, for the distributed driver
// (edgeseg/dask.py): each slab's image and labels stay where the slab
// lives, and only the centres, the totals and the energy travel. A slab's
// labels are kept in the narrowest integer type that holds the class count
// (signed where a mask labels pixels -1), and widened to floats only while
// it is swept. A slab's part of the volume's mask travels with the slab.
#include "steps.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <optional>
#include <tuple>
#include <type_traits>
#include <vector>

#include "buffer_view.h"
#include "core/kept_buffers.h"
#include "core/vectors.h"
#include "edgeseg/sorvik_steps.h"

namespace py = pybind11;

namespace {

using range_tuple = std::tuple<bool, float, float>;
using survey_tuple = std::tuple<std::uint64_t, float, int>;

edgeseg::centres centres_of(const std::vector<float>& values, int class_count) {
  edgeseg::centres given;
  given.class_count = class_count;
  given.channels = class_count > 0 ? int(values.size() / std::size_t(class_count)) : 0;
  given.values = values;
  return given;
}

// A slab's labels as one of (u)int8, (u)int16 or (u)int32, (planes, rows,
// columns) in C order; signed where pixels outside a mask carry -1.
struct kept_labels {
  py::buffer_info buffer;
  std::size_t pixels = 0;
  bool is_signed = false;
};

kept_labels labels_of(const py::buffer& labels, bool writable) {
  kept_labels kept{labels.request(writable)};
  const py::ssize_t size = kept.buffer.itemsize;
  const bool contiguous = kept.buffer.ndim >= 1 && kept.buffer.strides.back() == size;
  const std::string& format = kept.buffer.format;
  const bool is_integer = !format.empty() && std::string("bBhHiIlL").find(format.back()) != std::string::npos;
  if (!(size == 1 || size == 2 || size == 4) || !is_integer || !contiguous)
    throw py::value_error("a slab's labels are a C-ordered array of (u)int8, (u)int16 or (u)int32.");
  python_host::require_aligned(kept.buffer, "a slab's labels");
  kept.pixels = std::size_t(kept.buffer.size);
  kept.is_signed = std::islower(static_cast<unsigned char>(format.back())) != 0;
  return kept;
}

template <typename Visit>
void with_label_type(const kept_labels& kept, Visit&& visit) {
  void* data = kept.buffer.ptr;
  if (kept.buffer.itemsize == 1)
    kept.is_signed ? visit(static_cast<std::int8_t*>(data)) : visit(static_cast<std::uint8_t*>(data));
  else if (kept.buffer.itemsize == 2)
    kept.is_signed ? visit(static_cast<std::int16_t*>(data)) : visit(static_cast<std::uint16_t*>(data));
  else
    kept.is_signed ? visit(static_cast<std::int32_t*>(data)) : visit(static_cast<std::uint32_t*>(data));
}

// A slab's part of the volume's mask, (planes, rows, columns, 1), where one
// is given; its buffer stays requested in `buffer` while the view is read.
std::optional<edgeseg::image_view> slab_mask_view(const std::optional<py::buffer>& mask, py::buffer_info& buffer) {
  if (!mask) return std::nullopt;
  buffer = mask->request();
  return python_host::view_of_buffer(buffer, "mask");
}

edgeseg::call_options slab_options(int threads, const std::optional<edgeseg::image_view>& mask) {
  edgeseg::call_options options{threads, {}, {}};
  options.mask = mask;
  return options;
}

// One float a pixel of a slab for the length of a call: the labels widened
// for the sweep, or terms summed at once. The buffer comes from the images
// the library keeps between calls (core/kept_buffers.h) and goes back there:
// freed, it would often go back to the system, and the next sweep would take
// its pages afresh, which costs a worker more than the sweep's copies. What
// stays in a worker beyond what Dask counts is bounded by that store.
class slab_floats {
 public:
  explicit slab_floats(const edgeseg::image_view& slab)
      : values_(core::reused_image(unsigned(slab.width), unsigned(slab.height), unsigned(slab.depth), 1)) {}
  slab_floats(const slab_floats&) = delete;
  slab_floats& operator=(const slab_floats&) = delete;
  ~slab_floats() { core::keep_for_reuse(std::move(values_)); }

  float* data() { return values_.data(); }

 private:
  CImg<float> values_;
};

// The labels as floats, for the sweep.
void widen(const kept_labels& kept, slab_floats& labels) {
  float* out = labels.data();
  with_label_type(kept, [&](const auto* narrow) {
    for (std::size_t i = 0; i < kept.pixels; ++i) out[i] = float(narrow[i]);
  });
}

edgeseg::image_view slab_view(const py::buffer_info& image, const kept_labels& labels) {
  const edgeseg::image_view view = python_host::view_of_buffer(image, "slab");
  if (view.width * view.height * view.depth != labels.pixels)
    throw py::value_error("a slab's labels must have one value for every pixel of its image.");
  return view;
}

py::tuple survey(const py::buffer& image, int threads, const std::optional<py::buffer>& mask) {
  const py::buffer_info buffer = image.request();
  const edgeseg::image_view view = python_host::view_of_buffer(buffer, "slab");
  py::buffer_info mask_buffer;
  const edgeseg::call_options options = slab_options(threads, slab_mask_view(mask, mask_buffer));
  py::gil_scoped_release free_interpreter;
  std::vector<range_tuple> ranges;
  for (const edgeseg::channel_range& range : edgeseg::finite_ranges(view, options))
    ranges.emplace_back(range.found, range.lowest, range.highest);
  const edgeseg::sum_survey sums = edgeseg::survey_sums(view, options);
  py::gil_scoped_acquire held;
  return py::make_tuple(ranges, survey_tuple{sums.count, sums.largest, sums.finest_exponent});
}

std::vector<float> initial_centres(const std::vector<std::vector<range_tuple>>& slabs,
                                   const std::vector<float>& parameters) {
  std::vector<std::vector<edgeseg::channel_range>> ranges;
  for (const std::vector<range_tuple>& slab : slabs) {
    ranges.emplace_back();
    for (const auto& [found, lowest, highest] : slab) ranges.back().push_back({found, lowest, highest});
  }
  return edgeseg::initial_centres(edgeseg::combine_ranges(ranges), parameters).values;
}

bool sums_exact(const std::vector<survey_tuple>& surveys) {
  std::vector<edgeseg::sum_survey> parts;
  for (const auto& [count, largest, finest] : surveys) parts.push_back({count, largest, finest});
  return edgeseg::sums_exact_in_any_order(parts);
}

// The swept labels written in the kept type beside the labels before, and
// how many changed: side by side in vector lanes, counted a block at a time
// in 32 bits. The count is a local: a store through a byte type may alias
// any object, and a bound read through a reference would be read again at
// every pixel, which keeps the loop off the vectors.
template <typename Narrow>
struct narrowed_labels {
  static VECTOR_INLINE std::uint64_t run(const float* labels, const Narrow* old, Narrow* narrow, std::size_t count) {
    constexpr std::size_t block = std::size_t(1) << 16;
    std::uint64_t changed = 0;
    for (std::size_t begin = 0; begin < count; begin += block) {
      const std::size_t end = std::min(count, begin + block);
      std::uint32_t in_block = 0;
      for (std::size_t i = begin; i < end; ++i) {
        const auto label = static_cast<Narrow>(static_cast<std::int32_t>(labels[i]));
        in_block += label != old[i];
        narrow[i] = label;
      }
      changed += in_block;
    }
    return changed;
  }
};

// Writes the swept labels in the kept type; returns how many changed.
std::uint64_t narrow_labels(const float* labels, const kept_labels& before, const kept_labels& after) {
  std::uint64_t changed = 0;
  with_label_type(after, [&](auto* narrow) {
    using narrow_type = std::remove_pointer_t<decltype(narrow)>;
    const auto* old = static_cast<const narrow_type*>(before.buffer.ptr);
    changed = core::on_widest_vectors<narrowed_labels<narrow_type>>(labels, old, narrow, after.pixels);
  });
  return changed;
}

// Where a sweep's energy terms go: into a new float32 array handed back,
// into a scratch buffer of the call where they are summed at once, or
// nowhere.
struct term_place {
  py::object kept = py::none();
  float* values = nullptr;
  bool scratch = false;
};

term_place place_terms(std::size_t pixels, bool wanted, bool summed_here) {
  term_place place;
  if (!wanted) return place;
  if (summed_here) {
    place.scratch = true;
    return place;
  }
  py::array_t<float> array(static_cast<py::ssize_t>(pixels));
  place.values = array.mutable_data();
  place.kept = std::move(array);
  return place;
}

// What a sweep adds to its iteration, formed once its labels are known:
// continuing `entering` (the totals of every slab before, in plane order)
// through the slab's terms and pixels, or else the slab's own, with the
// exact parts where asked for.
void slab_totals_after(python_host::slab_totals& own, const std::optional<python_host::slab_totals>& entering,
                       const edgeseg::image_view& view, const float* labels, const float* terms, int class_count,
                       std::size_t sum_count, bool want_terms, bool want_sums, bool exact) {
  if (entering) {
    // The energy is continued already, by the sweep.
    const std::uint64_t changed = own.totals.changed;
    const float energy = own.totals.energy;
    own.totals = entering->totals;
    own.totals.changed += changed;
    own.totals.energy = want_terms ? energy : entering->totals.energy;
    edgeseg::continue_totals(own.totals, view, labels, nullptr, want_sums);
    return;
  }
  if (want_sums) {
    own.totals.sums.assign(sum_count, 0.0);
    own.totals.counts.assign(std::size_t(class_count), 0);
    // A slab's own sums are asked for only where the volume's add up in any
    // order (the driver merges them so), which lets them be formed faster.
    edgeseg::continue_totals(own.totals, view, labels, nullptr, true);
  }
  if (exact) {
    edgeseg::exact_slab_sums found =
        edgeseg::exact_sums_of_slab(view, labels, want_terms ? terms : nullptr, class_count, !want_sums);
    if (want_terms) own.exact_energy = std::move(found.energy);
    if (!want_sums) own.exact_sums = std::move(found.sums), own.totals.counts = std::move(found.counts);
  }
}

// Sweeps a slab from `before` into `after` (the labels of the next
// iteration, the same type and shape). Returns the pixels' energy terms
// (float32, or None) and what the sweep
// adds to its iteration: with `entering`, the totals of every slab before
// it continued through this one (its energy summed as it is swept, no
// terms kept); otherwise the slab's own class sums and counts from zero
// where `want_sums`, how many labels changed, and with `exact` the exact
// sum of the terms and, without `want_sums`, the exact class sums and
// counts.
py::tuple sweep_totals_of(const py::buffer& image, const py::buffer& before, const py::buffer& after,
                          const std::vector<float>& centres, int class_count, const std::vector<float>& parameters,
                          int iteration, int threads, bool want_terms, bool want_sums, bool exact,
                          const std::optional<py::buffer>& mask,
                          const std::optional<python_host::slab_totals>& entering) {
  const py::buffer_info image_buffer = image.request();
  py::buffer_info mask_buffer;
  const edgeseg::call_options options = slab_options(threads, slab_mask_view(mask, mask_buffer));
  const kept_labels old_labels = labels_of(before, false), new_labels = labels_of(after, true);
  if (old_labels.pixels != new_labels.pixels || old_labels.buffer.itemsize != new_labels.buffer.itemsize ||
      old_labels.is_signed != new_labels.is_signed)
    throw py::value_error("a slab's labels before and after a sweep must have one type and size.");
  if (mask && !new_labels.is_signed)
    throw py::value_error("a masked slab's labels are signed, for the -1 outside the mask.");
  if (entering && exact) throw py::value_error("exact sums are merged in any order: no slab continues another's.");
  const edgeseg::image_view view = slab_view(image_buffer, old_labels);
  term_place terms = place_terms(old_labels.pixels, want_terms && !entering, exact);
  python_host::slab_totals own;
  {
    py::gil_scoped_release free_interpreter;
    std::optional<slab_floats> scratch;
    if (terms.scratch) terms.values = scratch.emplace(view).data();
    slab_floats labels(view);
    widen(old_labels, labels);
    if (entering && want_terms)
      own.totals.energy =
          edgeseg::sweep_slab_continuing(view, labels.data(), entering->totals.energy, centres_of(centres, class_count),
                                         parameters, iteration, options);
    else
      edgeseg::sweep_slab_into(view, labels.data(), terms.values, centres_of(centres, class_count), parameters,
                               iteration, options);
    own.totals.changed = narrow_labels(labels.data(), old_labels, new_labels);
    slab_totals_after(own, entering, view, labels.data(), terms.values, class_count, centres.size(), want_terms,
                      want_sums, exact);
  }
  return py::make_tuple(terms.kept, own);
}

// One link of the chain in plane order: `before` continued through one
// more slab, its energy through `terms` (None leaves it), its sums and
// counts by the slab's own where it has them and through its pixels
// otherwise, with the slab's changed labels.
python_host::slab_totals continue_slab(const python_host::slab_totals& before, const python_host::slab_totals& slab,
                                       const py::buffer& image, const py::buffer& labels, const py::object& terms) {
  python_host::slab_totals after = before;
  const bool own_sums = !slab.totals.sums.empty();
  edgeseg::sweep_totals& totals = after.totals;
  if (own_sums) totals = edgeseg::add_totals({before.totals, slab.totals});
  totals.energy = before.totals.energy;
  if (!own_sums) totals.changed += slab.totals.changed;
  if (!terms.is_none()) {
    const auto term_array = python_host::float_array(terms);
    py::gil_scoped_release free_interpreter;
    totals.energy = edgeseg::continue_energy(term_array.data(), std::size_t(term_array.size()), totals.energy);
  }
  if (own_sums) return after;
  const py::buffer_info image_buffer = image.request();
  const kept_labels kept = labels_of(labels, false);
  const edgeseg::image_view view = slab_view(image_buffer, kept);
  py::gil_scoped_release free_interpreter;
  slab_floats widened(view);
  widen(kept, widened);
  edgeseg::continue_totals(totals, view, widened.data(), nullptr);
  return after;
}

float continue_energy(const python_host::float_array& terms, float energy) {
  py::gil_scoped_release free_interpreter;
  return edgeseg::continue_energy(terms.data(), std::size_t(terms.size()), energy);
}

// A slab's labels at the end of a run: widened to int64 (or None), and how
// many pixels carry each class (a pixel outside the mask, -1, carries none),
// in one pass.
py::tuple finished_labels(const py::buffer& labels, int class_count, bool widen) {
  if (class_count < 0) throw py::value_error("class_count must not be negative.");
  const kept_labels kept = labels_of(labels, false);
  py::object wide = py::none();
  std::int64_t* out = nullptr;
  if (widen) {
    py::array_t<std::int64_t> array(kept.buffer.shape);
    out = array.mutable_data();
    wide = std::move(array);
  }
  std::vector<std::uint64_t> counts(std::size_t(class_count) + 1, 0);
  {
    py::gil_scoped_release free_interpreter;
    with_label_type(kept, [&](const auto* narrow) {
      for (std::size_t i = 0; i < kept.pixels; ++i) {
        const std::int64_t label = narrow[i];
        if (out) out[i] = label;
        ++counts[label >= 0 && label < class_count ? std::size_t(label) : std::size_t(class_count)];
      }
    });
  }
  counts.pop_back();
  return py::make_tuple(wide, counts);
}

}  // namespace

namespace python_host {

void add_steps(py::module_& module) {
  module.def("slab_survey", &survey, py::arg("image"), py::arg("threads"), py::arg("mask") = py::none(),
             "Per channel (found, lowest, highest) of the finite values, inside the slab's (planes, rows, columns, 1) "
             "mask where one is given, and (count, largest, finest exponent).");
  module.def("initial_centres", &initial_centres, py::arg("slab_ranges"), py::arg("parameters"));
  module.def("sums_exact", &sums_exact, py::arg("surveys"));
  module.def(
      "sweep_slab_totals",
      [](const py::buffer& image, const py::buffer& before, const py::buffer& after, const std::vector<float>& centres,
         const std::vector<float>& parameters, int iteration, int threads, bool want_terms, bool want_sums, bool exact,
         const std::optional<py::buffer>& mask, const std::optional<python_host::slab_totals>& entering) {
        const int class_count = edgeseg::initial_centres({}, parameters).class_count;
        return sweep_totals_of(image, before, after, centres, class_count, parameters, iteration, threads, want_terms,
                               want_sums, exact, mask, entering);
      },
      py::arg("image"), py::arg("before"), py::arg("after"), py::arg("centres"), py::arg("parameters"),
      py::arg("iteration"), py::arg("threads"), py::arg("want_terms"), py::arg("want_sums"), py::arg("exact"),
      py::arg("mask") = py::none(), py::arg("entering") = py::none(),
      "Sweeps a slab, with its (planes, rows, columns, 1) part of the mask where one is given (signed labels, -1 "
      "outside); returns (terms or None, SweepTotals): with `entering`, the SweepTotals of every slab before it, "
      "those continued through this slab, its energy summed as it is swept; otherwise the slab's own.");
  module.def("finished_labels", &finished_labels, py::arg("labels"), py::arg("class_count"), py::arg("widen"),
             "A slab's labels as int64 (None without `widen`) and the number of pixels of each class.");
  module.def("continue_energy", &continue_energy, py::arg("terms"), py::arg("energy"));
  module.def("iteration_limit", &edgeseg::iteration_limit, py::arg("parameters"));
  module.def("energy_needed", &edgeseg::energy_needed, py::arg("parameters"), py::arg("iteration"));
  module.def("initial_energy", &edgeseg::energy_before_first_iteration);
  module.def("continue_slab", &continue_slab, py::arg("before"), py::arg("slab"), py::arg("image"), py::arg("labels"),
             py::arg("terms"), "The chain's totals continued through one more slab in plane order.");
  add_iteration_steps(module);
}

}  // namespace python_host
