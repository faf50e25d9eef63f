#include "features/patch_extractor.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <utility>
#include <vector>

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

#include "features/patch_sampling.h"

namespace lf {

namespace {

// pi rounded to float, then divided by 180. Kept as is: a true pi/180 moves
// sample positions enough to change patches measurably.
constexpr double degrees_to_radians = 0.017453293005625408;

// Whole pixels on purpose: the fraction is dropped before use.
int patch_radius(float keypoint_size) {
  return static_cast<int>(static_cast<double>(keypoint_size) * 0.5 * 3.0 * std::sqrt(2.0) * 5.0 *
                          0.5);
}

double image_diagonal(int cols, int rows) {
  return std::sqrt(static_cast<double>(cols * cols + rows * rows));
}

// Rows (a, -b), (b, a), (kx, ky) of a keypoint's transform, row by row.
using TransformEntries = std::array<float, 6>;

TransformEntries transform_entries(const cv::KeyPoint& keypoint, int cols, int rows) {
  const double reach = std::min<double>(patch_radius(keypoint.size), image_diagonal(cols, rows));
  const double theta = (360.0 - keypoint.angle) * degrees_to_radians;
  const double a = reach * std::cos(theta);
  const double b = reach * std::sin(theta);
  return {static_cast<float>(a), static_cast<float>(-b), static_cast<float>(b),
          static_cast<float>(a), keypoint.pt.x,          keypoint.pt.y};
}

float grid_offset(int index, int patch_size) {
  return static_cast<float>(2.0 * (static_cast<double>(index) / patch_size) - 1.0);
}

// A patch with no spread is left as zeros rather than divided by zero.
void normalise_patch(cv::Mat& patch) {
  cv::Scalar mean;
  cv::Scalar deviation;
  cv::meanStdDev(patch, mean, deviation, cv::noArray());
  const float m = static_cast<float>(mean[0]);
  const float s = static_cast<float>(deviation[0]);
  if (s == 0.0f) {
    patch.setTo(cv::Scalar::all(0));
    return;
  }
  cv::subtract(patch, cv::Scalar(m, 0, 0, 0), patch);
  cv::divide(patch, cv::Scalar(s, 0, 0, 0), patch, 1.0);
}

// Rows from which Debian's OpenCV hands a float product to the system's BLAS.
constexpr int blas_product_rows = 100;

// grid * transforms as the program has always formed it. Below 100 rows that
// is OpenCV's own product. From 100 rows on it was the system's BLAS, netlib's
// reference one: each element summed in float, its terms in order. That sum is
// written out here, so that every build places its samples alike, whichever
// BLAS its OpenCV has, or none (the Windows build, whose OpenCV would sum in
// double and move some samples across remap's 1/32-pixel steps).
cv::Mat place_samples(const cv::Mat& grid, const cv::Mat& transforms) {
  cv::Mat positions;
  if (grid.rows < blas_product_rows) {
    cv::gemm(grid, transforms, 1.0, cv::noArray(), 0.0, positions);
    return positions;
  }
  positions.create(grid.rows, transforms.cols, CV_32F);
  for (int r = 0; r < grid.rows; ++r) {
    const float* terms = grid.ptr<float>(r);
    float* row = positions.ptr<float>(r);
    for (int c = 0; c < transforms.cols; ++c) {
      float sum = 0.0f;
      for (int k = 0; k < grid.cols; ++k) sum += terms[k] * transforms.at<float>(k, c);
      row[c] = sum;
    }
  }
  return positions;
}

cv::Mat sample_patch(const cv::Mat& float_image, const cv::Mat& grid, const cv::Mat& transform,
                     int patch_size) {
  const cv::Mat positions = place_samples(grid, transform);
  const cv::Mat map = positions.reshape(2, patch_size);
  cv::Mat patch;
  cv::remap(float_image, patch, map, cv::Mat(), cv::INTER_LINEAR, cv::BORDER_REPLICATE,
            cv::Scalar(0, 0, 0, 0));
  normalise_patch(patch);
  return patch;
}

// Keypoints handed to a thread at a time: enough to spread the cost of handing them out.
constexpr int batch_keypoints = 32;

// The integer route samples 8-bit grey images (see sample_normalised_patch).
// Images that remap refuses, 32767 pixels or more a side, are left to the
// reference, which reports them.
bool fits_integer_route(const cv::Mat& image, int patch_size) {
  const bool remap_limits = image.cols < SHRT_MAX && image.rows < SHRT_MAX;
  const bool patch_limits = patch_size > 0 && patch_size % 2 == 0 && patch_size <= 64;
  return SamplingImage::fits(image) && remap_limits && patch_limits;
}

// The network's sampling grid has enough rows for place_samples' own sum.
static_assert(patch_side * patch_side >= blas_product_rows);

// The sample positions of one keypoint, x and y apart, as place_samples forms
// them from grid rows of patch_side^2: sample (r, c) of transform T is
//   x = ((0 + gx_c * T00) + gy_r * T10) + T20,  y = ((0 + gx_c * T01) + gy_r * T11) + T21
// in float, where the grid offsets gx_c and gy_r are those of column c and row r.
// The column terms are worked out once per patch and the row terms once per
// row, each the very product that place_samples forms, and the sums go four
// columns at a time in the same order.
class SamplePlacer {
 public:
  explicit SamplePlacer(const cv::Mat& grid) {
    for (int i = 0; i < patch_side; ++i) {
      offsets_[i] = grid.at<float>(i, 0);
      CV_DbgAssert(offsets_[i] == grid.at<float>(i * patch_side, 1));
    }
  }

  void place(const TransformEntries& transform, float* xs, float* ys) const {
    const float t00 = transform[0], t01 = transform[1];
    const float t10 = transform[2], t11 = transform[3];
    const cv::v_float32x4 t20 = cv::v_setall_f32(transform[4]);
    const cv::v_float32x4 t21 = cv::v_setall_f32(transform[5]);
    alignas(16) float column_x[patch_side], column_y[patch_side];
    const cv::v_float32x4 zero = cv::v_setzero_f32();
    for (int c = 0; c < patch_side; c += 4) {
      const cv::v_float32x4 gx = cv::v_load(offsets_ + c);
      cv::v_store_aligned(column_x + c, zero + gx * cv::v_setall_f32(t00));
      cv::v_store_aligned(column_y + c, zero + gx * cv::v_setall_f32(t01));
    }
    for (int r = 0; r < patch_side; ++r) {
      const cv::v_float32x4 row_x = cv::v_setall_f32(offsets_[r] * t10);
      const cv::v_float32x4 row_y = cv::v_setall_f32(offsets_[r] * t11);
      float* x = xs + r * patch_side;
      float* y = ys + r * patch_side;
      for (int c = 0; c < patch_side; c += 4) {
        cv::v_store(x + c, (cv::v_load_aligned(column_x + c) + row_x) + t20);
        cv::v_store(y + c, (cv::v_load_aligned(column_y + c) + row_y) + t21);
      }
    }
  }

 private:
  float offsets_[patch_side];
};

// Spreads the bits of a 16-bit number to the even bits of a 32-bit one.
std::uint32_t spread_bits(std::uint32_t v) {
  v = (v | v << 8) & 0x00ff00ffu;
  v = (v | v << 4) & 0x0f0f0f0fu;
  v = (v | v << 2) & 0x33333333u;
  return (v | v << 1) & 0x55555555u;
}

// A coordinate as a pixel index inside the image, NaN as 0.
std::uint32_t clamped_coordinate(float v, int size) {
  return static_cast<std::uint32_t>(v > 0.0f ? std::min(v, static_cast<float>(size - 1)) : 0.0f);
}

// The keypoints' indices in Z order of their pixels, which visits the image
// region by region: each patch then finds much of what it reads in the cache,
// left there by the patches around it.
std::vector<int> visiting_order(const KeypointList& keypoints, cv::Size size) {
  std::vector<std::pair<std::uint32_t, int>> keyed(keypoints.size());
  for (std::size_t k = 0; k < keypoints.size(); ++k) {
    const std::uint32_t x = clamped_coordinate(keypoints[k].pt.x, size.width);
    const std::uint32_t y = clamped_coordinate(keypoints[k].pt.y, size.height);
    keyed[k] = {spread_bits(x) | spread_bits(y) << 1, static_cast<int>(k)};
  }
  std::sort(keyed.begin(), keyed.end());
  std::vector<int> order(keyed.size());
  for (std::size_t i = 0; i < keyed.size(); ++i) order[i] = keyed[i].second;
  return order;
}

void extract_batch(const SamplingImage& image, const SamplePlacer& placer,
                   const KeypointList& keypoints, const int* indices, int count,
                   PatchBuffer& patches) {
  alignas(16) float xs[PatchBuffer::patch_values], ys[PatchBuffer::patch_values];
  for (int i = 0; i < count; ++i) {
    const int k = indices[i];
    placer.place(transform_entries(keypoints[k], image.cols(), image.rows()), xs, ys);
    sample_normalised_patch(image, xs, ys, static_cast<int>(PatchBuffer::patch_values),
                            patches.patch(static_cast<std::size_t>(k)));
  }
}

}  // namespace

std::string ExtractionOptions::check() const {
  if (sift_features < -1) return "sift_features must be -1 (no cap) or more";
  if (sift_octave_layers < 1) return "sift_octave_layers must be at least 1";
  if (!(sift_contrast_threshold >= 0)) return "sift_contrast_threshold must not be negative";
  if (!(sift_edge_threshold > 0)) return "sift_edge_threshold must be positive";
  if (!(sift_sigma > 0)) return "sift_sigma must be positive";
  if (patch_size < 1) return "patch_size must be at least 1";
  return "";
}

namespace {

const ExtractionOptions& checked(const ExtractionOptions& options) {
  const std::string fault = options.check();
  if (!fault.empty()) throw std::invalid_argument("extraction option " + fault);
  return options;
}

}  // namespace

PatchExtractor::PatchExtractor(const ExtractionOptions& options)
    : patch_size(checked(options).patch_size),
      detector(cv::SIFT::create(options.sift_features, options.sift_octave_layers, options.sift_contrast_threshold,
                                options.sift_edge_threshold, options.sift_sigma)) {}

bool PatchExtractor::detect_keypoints(const cv::Mat& image, KeypointList& keypoints) const {
  detector->detect(image, keypoints, cv::noArray());
  if (keypoints.empty()) return false;
  std::sort(keypoints.begin(), keypoints.end(),
            [](const cv::KeyPoint& a, const cv::KeyPoint& b) { return a.size > b.size; });
  return true;
}

bool PatchExtractor::extract_patches(const cv::Mat& image, const KeypointList& keypoints,
                                     PatchBuffer& patches) const {
  if (patch_size != patch_side) throw std::logic_error("a patch buffer holds patches of the network's size");
  if (keypoints.empty() || !fits_integer_route(image, patch_size)) {
    PatchList reference;
    if (!extract_patches_reference(image, keypoints, reference)) return false;
    patches.resize(reference.size());
    for (std::size_t k = 0; k < reference.size(); ++k)
      std::copy_n(reference[k].ptr<float>(), PatchBuffer::patch_values, patches.patch(k));
    return true;
  }
  const SamplePlacer placer(make_sampling_grid());
  const std::vector<int> order = visiting_order(keypoints, image.size());
  const SamplingImage sampled(image);
  const int count = static_cast<int>(keypoints.size());
  const int batches = (count + batch_keypoints - 1) / batch_keypoints;
  patches.resize(keypoints.size());
  // Each patch depends on its own keypoint only, so batches may run in any order.
  cv::parallel_for_(cv::Range(0, batches), [&](const cv::Range& range) {
    for (int b = range.start; b < range.end; ++b) {
      const int first = b * batch_keypoints;
      extract_batch(sampled, placer, keypoints, order.data() + first,
                    std::min(count - first, batch_keypoints), patches);
    }
  });
  return true;
}

bool PatchExtractor::extract_patches(const cv::Mat& image, const KeypointList& keypoints,
                                     PatchList& patches) const {
  if (keypoints.empty() || patch_size != patch_side || !fits_integer_route(image, patch_size))
    return extract_patches_reference(image, keypoints, patches);
  PatchBuffer buffer;
  if (!extract_patches(image, keypoints, buffer)) return false;
  patches.resize(buffer.size());
  for (std::size_t k = 0; k < buffer.size(); ++k)
    patches[k] = cv::Mat(patch_side, patch_side, CV_32F, buffer.patch(k)).clone();
  return true;
}

bool PatchExtractor::extract_patches_reference(const cv::Mat& image, const KeypointList& keypoints,
                                               PatchList& patches) const {
  if (keypoints.empty()) return false;
  const cv::Mat grid = make_sampling_grid();
  cv::Mat float_image;
  image.convertTo(float_image, CV_32F, 1.0, 0.0);
  patches.resize(keypoints.size());
  for (size_t k = 0; k < keypoints.size(); ++k) {
    const cv::Mat transform = make_keypoint_transform(keypoints[k], image.cols, image.rows);
    patches[k] = sample_patch(float_image, grid, transform, patch_size);
  }
  return true;
}

cv::Mat PatchExtractor::make_sampling_grid() const {
  const int count = patch_size * patch_size;
  cv::Mat grid(count, 3, CV_32F);
  for (int c = 0; c < count; ++c) {
    float* row = grid.ptr<float>(c);
    row[0] = grid_offset(c % patch_size, patch_size);
    row[1] = grid_offset(c / patch_size, patch_size);
    row[2] = 1.0f;
  }
  return grid;
}

cv::Mat PatchExtractor::make_keypoint_transform(const cv::KeyPoint& keypoint, int cols,
                                                int rows) const {
  const TransformEntries t = transform_entries(keypoint, cols, rows);
  return (cv::Mat_<float>(3, 2) << t[0], t[1], t[2], t[3], t[4], t[5]);
}

}  // namespace lf
