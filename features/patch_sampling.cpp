#include "features/patch_sampling.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include <opencv2/core/hal/intrin.hpp>

namespace lf {

namespace {

// cv::remap rounds a position to 1/32 pixel and weighs the four neighbours by
// products of 1/32 steps: a sample of 8-bit pixels is a whole number of 1/1024
// units below 2^18. Floats hold every product and partial sum of such numbers
// exactly, so the order of the arithmetic cannot change a sample.
constexpr int fraction_bits = 5;
constexpr int steps = 1 << fraction_bits;
constexpr float unit = 1.0f / (steps * steps);
constexpr double unit_squared = 1.0 / (steps * steps * steps * steps);

struct GreyImage {
  const uchar* data;
  std::size_t step;
  cv::v_int32x4 last_left;  // the last column that has one right of it
  cv::v_int32x4 last_top;   // the last row that has one below it
};

// Samples go through in blocks: first every position is located with vector
// arithmetic, then the pixels are read one by one, then weighed as vectors.
constexpr int block_samples = 64;

// Where a block's samples read the image: the left pixel column, the upper row
// offset in bytes, and the weights of the right column and the lower row in
// 1/32. The right column and lower row are always the next ones.
struct Taps {
  int left[block_samples], upper[block_samples];
  int fx[block_samples], fy[block_samples];
};

// Each entry holds the left pixel in its low byte and the right one above it.
struct Pixels {
  int top[block_samples], bottom[block_samples];
};

// remap clamps both neighbours into the image, so beyond the border both are
// the same pixel and its weight is 32. Clamping the first neighbour one short of
// the border and moving the whole weight onto the neighbour that remap would
// have read gives the same sum while the neighbours stay side by side:
// the weight q - 32 * first is the fraction inside the image, below 0 left of it
// and 32 or more right of it.
void locate_axis(const cv::v_int32x4& q, const cv::v_int32x4& last_first, cv::v_int32x4& first,
                 cv::v_int32x4& weight) {
  const cv::v_int32x4 zero = cv::v_setzero_s32();
  first = cv::v_min(cv::v_max(q >> fraction_bits, zero), last_first);
  weight = cv::v_min(cv::v_max(q - (first << fraction_bits), zero), cv::v_setall_s32(steps));
}

void locate(const GreyImage& image, const float* positions, std::size_t stride, int count,
            Taps& taps) {
  const cv::v_float32x4 scale = cv::v_setall_f32(static_cast<float>(steps));
  const cv::v_int32x4 row_step = cv::v_setall_s32(static_cast<int>(image.step));
  for (int i = 0; i < count; i += 4) {
    const float* p = positions + i * stride;
    const cv::v_float32x4 x(p[0], p[stride], p[2 * stride], p[3 * stride]);
    const cv::v_float32x4 y(p[1], p[stride + 1], p[2 * stride + 1], p[3 * stride + 1]);
    // remap's own rounding: x * 32 is exact and v_round rounds half to even.
    cv::v_int32x4 col, fx, row, fy;
    locate_axis(cv::v_round(x * scale), image.last_left, col, fx);
    locate_axis(cv::v_round(y * scale), image.last_top, row, fy);
    cv::v_store(taps.left + i, col);
    cv::v_store(taps.upper + i, row * row_step);
    cv::v_store(taps.fx + i, fx);
    cv::v_store(taps.fy + i, fy);
  }
}

int pixel_pair(const uchar* pixels) { return pixels[0] | pixels[1] << 8; }

void read_pixels(const GreyImage& image, const Taps& taps, int count, Pixels& pixels) {
  for (int i = 0; i < count; ++i) {
    const uchar* upper = image.data + taps.upper[i] + taps.left[i];
    pixels.top[i] = pixel_pair(upper);
    pixels.bottom[i] = pixel_pair(upper + image.step);
  }
}

cv::v_float32x4 to_float(const cv::v_int32x4& values) { return cv::v_cvt_f32(values); }

// Samples i .. i + 3 in 1/1024 units.
cv::v_float32x4 interpolate(const Taps& taps, const Pixels& pixels, int i) {
  const cv::v_float32x4 full = cv::v_setall_f32(static_cast<float>(steps));
  const cv::v_int32x4 low_byte = cv::v_setall_s32(0xff);
  const cv::v_float32x4 fx = to_float(cv::v_load(taps.fx + i));
  const cv::v_float32x4 fy = to_float(cv::v_load(taps.fy + i));
  const cv::v_int32x4 top = cv::v_load(pixels.top + i);
  const cv::v_int32x4 bottom = cv::v_load(pixels.bottom + i);
  const cv::v_float32x4 upper = to_float(top & low_byte) * (full - fx) + to_float(top >> 8) * fx;
  const cv::v_float32x4 lower =
      to_float(bottom & low_byte) * (full - fx) + to_float(bottom >> 8) * fx;
  return upper * (full - fy) + lower * fy;
}

// Sums of the samples and of their squares in 1/1024 units, exact in integers.
class Sums {
 public:
  void add(const cv::v_float32x4& units) {
    const cv::v_uint32x4 whole = cv::v_reinterpret_as_u32(cv::v_round(units));
    values_ += whole;
    cv::v_uint64x2 low, high;
    cv::v_mul_expand(whole, whole, low, high);
    squares_ += low + high;
  }
  std::int64_t values() const { return cv::v_reduce_sum(values_); }
  std::uint64_t squares() const {
    std::uint64_t lanes[2];
    cv::v_store(lanes, squares_);
    return lanes[0] + lanes[1];
  }

 private:
  cv::v_uint32x4 values_ = cv::v_setzero_u32();
  cv::v_uint64x2 squares_ = cv::v_setzero_u64();
};

// cv::meanStdDev adds the samples and their squares in double, exactly here
// (below 2^30 and 2^48 units), then works out mean = sum / n and
// deviation = sqrt(max(squares / n - mean^2, 0)): the same double operations on
// the same sums give the same two numbers, then rounded to float. subtract and
// divide round once per sample, as these float operations do (divide works in
// double, and a double quotient of two floats rounds to the float quotient).
void normalise(float* patch, int count, std::int64_t sum, std::uint64_t squares) {
  const double scale = 1.0 / count;
  const double mean = static_cast<double>(sum) * unit * scale;
  const double variance = static_cast<double>(squares) * unit_squared * scale - mean * mean;
  const float m = static_cast<float>(mean);
  const float s = static_cast<float>(std::sqrt(std::max(variance, 0.0)));
  if (s == 0.0f) {
    std::fill(patch, patch + count, 0.0f);
    return;
  }
  for (int i = 0; i < count; ++i) patch[i] = (patch[i] - m) / s;
}

}  // namespace

void sample_normalised_patch(const cv::Mat& image, const float* positions, std::size_t stride,
                             int count, float* patch) {
  const GreyImage grey{image.data, image.step, cv::v_setall_s32(image.cols - 2),
                       cv::v_setall_s32(image.rows - 2)};
  Taps taps;
  Pixels pixels;
  Sums sums;
  for (int first = 0; first < count; first += block_samples) {
    const int n = std::min(block_samples, count - first);
    locate(grey, positions + first * stride, stride, n, taps);
    read_pixels(grey, taps, n, pixels);
    for (int i = 0; i < n; i += 4) {
      const cv::v_float32x4 units = interpolate(taps, pixels, i);
      cv::v_store(patch + first + i, units * cv::v_setall_f32(unit));
      sums.add(units);
    }
  }
  normalise(patch, count, sums.values(), sums.squares());
}

}  // namespace lf
