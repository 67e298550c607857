// Sorvik and Tamvel side by side with two peers, on the same noisy scenes
// whose classes are known, and on a photograph when one is given:
//   - OpenCV's cv::kmeans: k-means on the values alone, no spatial term;
//   - ITK's ScalarImageKmeansImageFilter: k-means from evenly spread means;
//   - the same followed by ITK's MRFImageFilter, which relabels each pixel
//     by its distance to the k-means centres plus a weighted count of
//     disagreeing 3 x 3 neighbours (a Markov random field, iterated
//     conditional modes);
//   - Sorvik (plain and edge-weighted) and Tamvel, loaded through the
//     stand-in host as a host loads them.
// Prints a Markdown table of the fraction of pixels labelled right (classes
// matched to the true ones by the best permutation) and the CPU time of the
// calling thread, the best of three calls, every library held to one thread.
// With --out DIR it writes the scene of noise 40 and each method's labels as
// PGM files, and peers_figure.tsv naming them, for peers_figure.m.
//
// Usage: peers_compare [--camera FILE] [--out DIR] [--smoothing S]
// S is the random field's smoothing factor (default 8).
#include <itkComposeImageFilter.h>
#include <itkDistanceToCentroidMembershipFunction.h>
#include <itkImage.h>
#include <itkImageClassifierBase.h>
#include <itkMRFImageFilter.h>
#include <itkMinimumDecisionRule.h>
#include <itkMultiThreaderBase.h>
#include <itkScalarImageKmeansImageFilter.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "../timing.h"
#include "standin.h"

namespace {

constexpr int class_count = 3;
constexpr int timing_runs = 3;
// The random field's smoothing factor: of 1, 2, 3, 5, 8, 12, 20 and 40, 8
// labels the most pixels right at noise 40 and 50 (larger ones no more, and
// all alike at noise 20 and 30).
constexpr double default_smoothing = 8.0;

// A grey image, row by row, and its true labels where they are known.
struct scene {
  std::string name;
  int rows = 0, columns = 0;
  std::vector<float> primary, secondary;
  std::vector<int> truth;
};

// The demo's scene (examples/scenes/shapes_scene.m) at 256 x 256: the
// background, a disc and a bar; 50, 125, 200 in the primary image and 125,
// 50, 200 in the secondary, with Gaussian noise of the given deviation.
scene shapes_scene(double noise, unsigned seed) {
  scene s;
  s.name = "shapes, noise " + std::to_string(int(noise));
  s.rows = s.columns = 256;
  std::mt19937 generator(seed);
  std::normal_distribution<double> gaussian(0.0, noise);
  const double primary_means[] = {50, 125, 200}, secondary_means[] = {125, 50, 200};
  for (int y = 1; y <= s.rows; ++y)
    for (int x = 1; x <= s.columns; ++x) {
      int label = std::hypot(x - 95.0, y - 128.0) < 70 ? 1 : 0;
      if (x > 170 && x < 235 && y > 30 && y < 226) label = 2;
      s.truth.push_back(label);
    }
  for (int label : s.truth) s.primary.push_back(float(primary_means[label] + gaussian(generator)));
  for (int label : s.truth) s.secondary.push_back(float(secondary_means[label] + gaussian(generator)));
  return s;
}

scene photograph(const std::string& file) {
  const cv::Mat grey = cv::imread(file, cv::IMREAD_GRAYSCALE);
  if (grey.empty()) throw std::runtime_error("cannot read " + file + " as an image");
  scene s;
  s.name = file.substr(file.find_last_of('/') + 1);
  s.rows = grey.rows;
  s.columns = grey.cols;
  for (int y = 0; y < grey.rows; ++y)
    for (int x = 0; x < grey.cols; ++x) s.primary.push_back(grey.at<unsigned char>(y, x));
  s.secondary = s.primary;
  return s;
}

// The fraction of pixels right under the best matching of labels to classes.
double fraction_right(const std::vector<int>& labels, const std::vector<int>& truth) {
  std::vector<long> counts(class_count * class_count, 0);
  for (std::size_t i = 0; i < truth.size(); ++i)
    if (labels[i] >= 0 && labels[i] < class_count) ++counts[labels[i] * class_count + truth[i]];
  std::vector<int> order(class_count);
  std::iota(order.begin(), order.end(), 0);
  long best = 0;
  do {
    long right = 0;
    for (int label = 0; label < class_count; ++label) right += counts[label * class_count + order[label]];
    best = std::max(best, right);
  } while (std::next_permutation(order.begin(), order.end()));
  return double(best) / double(truth.size());
}

// Evenly spread initial means over the value range, as Sorvik and Tamvel
// start, so no method gains from a luckier start.
std::vector<double> spread_means(const std::vector<float>& values) {
  const auto [lo, hi] = std::minmax_element(values.begin(), values.end());
  std::vector<double> means;
  for (int k = 0; k < class_count; ++k) means.push_back(*lo + (*hi - *lo) * (k + 0.5) / class_count);
  return means;
}

std::vector<int> opencv_kmeans(const scene& s) {
  cv::Mat samples(int(s.primary.size()), 1, CV_32F, const_cast<float*>(s.primary.data()));
  cv::Mat labels;
  cv::setRNGSeed(1);
  cv::kmeans(samples, class_count, labels, cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 30, 1e-4),
             3, cv::KMEANS_PP_CENTERS);
  return std::vector<int>(labels.begin<int>(), labels.end<int>());
}

using grey_image = itk::Image<float, 2>;
using label_image = itk::Image<unsigned char, 2>;

grey_image::Pointer itk_image(const scene& s) {
  auto image = grey_image::New();
  grey_image::RegionType region;
  region.SetSize({{itk::SizeValueType(s.columns), itk::SizeValueType(s.rows)}});
  image->SetRegions(region);
  image->Allocate();
  std::copy(s.primary.begin(), s.primary.end(), image->GetBufferPointer());
  return image;
}

std::vector<int> labels_of(const label_image* image, std::size_t count) {
  const unsigned char* values = image->GetBufferPointer();
  return std::vector<int>(values, values + count);
}

// k-means from evenly spread means; the final means seed the random field.
std::vector<int> itk_kmeans(const scene& s, std::vector<double>* final_means = nullptr) {
  using kmeans_filter = itk::ScalarImageKmeansImageFilter<grey_image, label_image>;
  auto kmeans = kmeans_filter::New();
  kmeans->SetInput(itk_image(s));
  for (double mean : spread_means(s.primary)) kmeans->AddClassWithInitialMean(mean);
  kmeans->Update();
  if (final_means) {
    final_means->clear();
    for (unsigned k = 0; k < kmeans->GetFinalMeans().Size(); ++k) final_means->push_back(kmeans->GetFinalMeans()[k]);
  }
  return labels_of(kmeans->GetOutput(), s.primary.size());
}

std::vector<int> itk_kmeans_mrf(const scene& s, double smoothing) {
  std::vector<double> means;
  itk_kmeans(s, &means);
  using vector_pixel = itk::Vector<float, 1>;
  using vector_image = itk::Image<vector_pixel, 2>;
  auto compose = itk::ComposeImageFilter<grey_image, vector_image>::New();
  compose->SetInput(itk_image(s));

  using classifier_type = itk::ImageClassifierBase<vector_image, label_image>;
  auto classifier = classifier_type::New();
  classifier->SetDecisionRule(itk::Statistics::MinimumDecisionRule::New());
  using membership = itk::Statistics::DistanceToCentroidMembershipFunction<vector_pixel>;
  double mean_distance = 0;
  for (double mean : means) {
    auto function = membership::New();
    membership::CentroidType centroid(1);
    centroid[0] = mean;
    function->SetCentroid(centroid);
    classifier->AddMembershipFunction(function);
    mean_distance += mean / double(means.size());
  }
  // The 3 x 3 weights of the library's example, scaled so that the
  // neighbours' term and the distance to a centre are of one size.
  std::vector<double> weights = {1.5, 2.0, 1.5, 2.0, 0.0, 2.0, 1.5, 2.0, 1.5};
  const double total = std::accumulate(weights.begin(), weights.end(), 0.0);
  for (double& weight : weights) weight *= mean_distance / (2 * total);

  auto mrf = itk::MRFImageFilter<vector_image, label_image>::New();
  mrf->SetInput(compose->GetOutput());
  mrf->SetNumberOfClasses(class_count);
  mrf->SetMaximumNumberOfIterations(30);
  mrf->SetErrorTolerance(1e-7);
  mrf->SetSmoothingFactor(smoothing);
  mrf->SetNeighborhoodRadius(1);
  mrf->SetMRFNeighborhoodWeight(weights);
  mrf->SetClassifier(classifier);
  mrf->Update();
  return labels_of(mrf->GetOutput(), s.primary.size());
}

// A host array (column-major doubles) from an image stored row by row.
standin::array_ptr host_image(const std::vector<float>& values, int rows, int columns) {
  std::vector<double> column_major(values.size());
  for (int y = 0; y < rows; ++y)
    for (int x = 0; x < columns; ++x) column_major[y + std::size_t(rows) * x] = values[std::size_t(y) * columns + x];
  return standin::make_doubles({std::size_t(rows), std::size_t(columns)}, column_major);
}

std::vector<int> call_plugin(const standin::plugin& plugin, const scene& s, const std::vector<double>& settings,
                             bool pair) {
  const standin::array_ptr primary = host_image(s.primary, s.rows, s.columns);
  const standin::array_ptr secondary = host_image(s.secondary, s.rows, s.columns);
  const standin::array_ptr parameters = standin::make_doubles({1, settings.size()}, settings);
  std::vector<const mxArray*> inputs = {primary.get(), parameters.get()};
  if (pair) inputs.insert(inputs.begin() + 1, secondary.get());
  const std::vector<standin::array_ptr> outputs = plugin.call(inputs);
  const auto* values = static_cast<const double*>(mxGetData(outputs.at(0).get()));
  std::vector<int> labels(s.primary.size());
  for (int y = 0; y < s.rows; ++y)
    for (int x = 0; x < s.columns; ++x)
      labels[std::size_t(y) * s.columns + x] = int(values[y + std::size_t(s.rows) * x]);
  return labels;
}

struct method {
  std::string name, settings;
  std::function<std::vector<int>(const scene&)> run;
  bool needs_pair = false;
};

// A number as the demo writes it: 1e-4, not 0.0001.
std::string number_text(double value) {
  char number[32];
  std::snprintf(number, sizeof number, value != 0 && std::fabs(value) < 1e-3 ? "%.0e" : "%g", value);
  std::string written = number;
  const std::size_t e = written.find("e-0");
  if (e != std::string::npos) written.erase(e + 2, 1);
  return written;
}

std::string settings_text(const std::vector<double>& settings) {
  std::string text;
  for (double value : settings) text += (text.empty() ? "" : " ") + number_text(value);
  return "[" + text + "]";
}

void write_pgm(const std::string& file, const std::vector<float>& values, int rows, int columns, float scale) {
  std::ofstream out(file, std::ios::binary);
  out << "P5\n" << columns << " " << rows << "\n255\n";
  for (float value : values) out.put(char(std::clamp(std::lround(value * scale), 0L, 255L)));
  if (!out) throw std::runtime_error("cannot write " + file);
}

void write_labels(const std::string& file, const std::vector<int>& labels, int rows, int columns) {
  write_pgm(file, std::vector<float>(labels.begin(), labels.end()), rows, columns, 1.0f);
}

}  // namespace

int main(int argc, char** argv) {
  std::string camera, out;
  double smoothing = default_smoothing;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    char* end = nullptr;
    if ((argument == "--camera" || argument == "--out") && i + 1 < argc) {
      (argument == "--camera" ? camera : out) = argv[++i];
    } else if (argument == "--smoothing" && i + 1 < argc && (smoothing = std::strtod(argv[++i], &end), *end == 0) &&
               std::isfinite(smoothing) && smoothing >= 0) {
    } else {
      std::fprintf(stderr, "usage: peers_compare [--camera FILE] [--out DIR] [--smoothing S >= 0]\n");
      return 2;
    }
  }
  // Our plug-ins run on the caller's thread; so do the peers here.
  cv::setNumThreads(0);
  itk::MultiThreaderBase::SetGlobalDefaultNumberOfThreads(1);
  itk::MultiThreaderBase::SetGlobalMaximumNumberOfThreads(1);

  try {
    const standin::plugin sorvik(STANDIN_PLUGIN_DIR "/Sorvik.mex");
    const standin::plugin tamvel(STANDIN_PLUGIN_DIR "/Tamvel.mex");
    std::vector<scene> scenes;
    for (double noise : {20.0, 30.0, 40.0, 50.0}) scenes.push_back(shapes_scene(noise, 5));
    if (!camera.empty()) scenes.push_back(photograph(camera));

    const std::vector<double> sorvik_plain = {0, 0, 1e-4, 30, 4, class_count};
    const std::vector<double> sorvik_edge = {5, 600, 1e-4, 30, 4, class_count};
    const std::vector<double> tamvel_edge = {1, 1e-4, 10000, 5, 30, 2, 4, class_count};
    const std::vector<method> methods = {
        {"OpenCV cv::kmeans", "K = 3, k-means++ start, 3 attempts", opencv_kmeans},
        {"ITK ScalarImageKmeansImageFilter", "K = 3, evenly spread means",
         [](const scene& s) { return itk_kmeans(s); }},
        {"ITK k-means + MRFImageFilter", "3 x 3 field, smoothing " + number_text(smoothing),
         [&](const scene& s) { return itk_kmeans_mrf(s, smoothing); }},
        {"Sorvik, plain", settings_text(sorvik_plain),
         [&](const scene& s) { return call_plugin(sorvik, s, sorvik_plain, false); }},
        {"Sorvik, edge-weighted", settings_text(sorvik_edge),
         [&](const scene& s) { return call_plugin(sorvik, s, sorvik_edge, false); }},
        {"Tamvel, both images", settings_text(tamvel_edge),
         [&](const scene& s) { return call_plugin(tamvel, s, tamvel_edge, true); }, true},
    };

    std::printf("| method | settings |");
    for (const scene& s : scenes) std::printf(" %s |", s.name.c_str());
    std::printf("\n|---|---|");
    for (std::size_t i = 0; i < scenes.size(); ++i) std::printf("---|");
    std::printf("\n");
    std::ofstream manifest;
    if (!out.empty()) {
      const scene& shown = scenes[2];
      write_pgm(out + "/peers_input.pgm", shown.primary, shown.rows, shown.columns, 1.0f);
      write_labels(out + "/peers_truth.pgm", shown.truth, shown.rows, shown.columns);
      manifest.open(out + "/peers_figure.tsv");
      manifest << "peers_input.pgm\tinput: " << shown.name << "\n";
    }
    for (std::size_t m = 0; m < methods.size(); ++m) {
      std::printf("| %s | %s |", methods[m].name.c_str(), methods[m].settings.c_str());
      for (std::size_t i = 0; i < scenes.size(); ++i) {
        const scene& s = scenes[i];
        if (methods[m].needs_pair && s.truth.empty()) {  // a photograph has no second weighting
          std::printf(" |");
          continue;
        }
        std::vector<int> labels;
        const double seconds = bench::best_seconds_of(timing_runs, [&] { labels = methods[m].run(s); });
        if (s.truth.empty())
          std::printf(" %.1f ms |", 1000 * seconds);
        else
          std::printf(" %.2f%%, %.1f ms |", 100 * fraction_right(labels, s.truth), 1000 * seconds);
        if (!out.empty() && i == 2) {
          const std::string file = "peers_method" + std::to_string(m) + ".pgm";
          write_labels(out + "/" + file, labels, s.rows, s.columns);
          manifest << file << "\t" << methods[m].name << "\t" << methods[m].settings << "\n";
        }
      }
      std::printf("\n");
      std::fflush(stdout);
    }
    if (!out.empty() && !manifest) throw std::runtime_error("cannot write " + out + "/peers_figure.tsv");
  } catch (const std::exception& error) {
    std::fprintf(stderr, "peers_compare: %s\n", error.what());
    return 1;
  }
  return 0;
}
