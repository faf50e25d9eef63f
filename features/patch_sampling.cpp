#include "features/patch_sampling.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>

#include <opencv2/core/hal/intrin.hpp>

namespace lf {

namespace {

// cv::remap rounds a position to 1/32 pixel and weighs the four neighbours by
// products of 1/32 steps: a sample of 8-bit pixels is a whole number of 1/1024
// units below 2^18, the same number whether it is summed in floats, as remap
// does, or in integers, as here.
constexpr int fraction_bits = 5;
constexpr int steps = 1 << fraction_bits;
constexpr float unit = 1.0f / (steps * steps);
constexpr double unit_squared = 1.0 / (steps * steps * steps * steps);

// How far the border reaches beyond the first and the last pixel of a row or column.
constexpr int border_before = 1;
constexpr int border_after = 2;
constexpr int cache_line = 64;

// Samples go through in blocks: first every position is located with vector
// arithmetic, then the pixels are read one by one, then weighed as vectors.
constexpr int block_samples = 64;

// Where a block's samples read the image: the byte offset of the upper left of
// their four pixels from the first byte of the bordered copy, and the weights
// of the two columns and of the two rows in 1/32, first and second weight in the
// low and high 16 bits. The second column and row are always the next ones.
struct Taps {
  int offset[block_samples];
  int column_weights[block_samples];
  int row_weights[block_samples];
};

// The pixels of each sample, left and right side by side: those of the upper
// row and those of the lower one.
struct Pixels {
  uchar upper[2 * block_samples];
  uchar lower[2 * block_samples];
};

// remap clamps both neighbours into the image, so that a position outside it
// reads the nearest edge pixel with the whole weight. The replicated border
// gives the same sums without clamping the neighbours, as long as they lie in
// the copy: a position is first moved into [-1, n] pixels along its axis of n,
// since anywhere further out remap reads just what it reads at -1 or at n.
// From there on, position q in 1/32 steps reads neighbours q >> 5 and the next,
// the next one with weight q & 31.
struct Axis {
  cv::v_float32x4 lowest, highest;

  explicit Axis(int pixels)
      : lowest(cv::v_setall_f32(-1.0f)), highest(cv::v_setall_f32(static_cast<float>(pixels))) {}

  // remap's own rounding: p * 32 is exact and v_round rounds half to even.
  cv::v_int32x4 steps_of(const cv::v_float32x4& p) const {
    const cv::v_float32x4 inside = cv::v_min(cv::v_max(p, lowest), highest);
    return cv::v_round(inside * cv::v_setall_f32(static_cast<float>(steps)));
  }
};

// 32 - w in the low 16 bits, w in the high ones.
cv::v_int32x4 weight_pair(const cv::v_int32x4& q) {
  const cv::v_int32x4 w = q & cv::v_setall_s32(steps - 1);
  return cv::v_setall_s32(steps) - w + (w << 16);
}

void locate(const SamplingImage& image, const float* xs, const float* ys, int count,
            Taps& taps) {
  const Axis across(image.cols()), down(image.rows());
  // Column, row and step are within 16 bits: one multiply-add gives the offset.
  const int step = image.step();
  const cv::v_int16x8 column_and_row(1, step, 1, step, 1, step, 1, step);
  const cv::v_int32x4 origin =
      cv::v_setall_s32(static_cast<int>(image.origin() - image.first_byte()));
  for (int i = 0; i < count; i += 4) {
    const cv::v_int32x4 qx = across.steps_of(cv::v_load(xs + i));
    const cv::v_int32x4 qy = down.steps_of(cv::v_load(ys + i));
    const cv::v_int32x4 column = qx >> fraction_bits, row = qy >> fraction_bits;
    cv::v_int16x8 pairs, unused;
    cv::v_zip(cv::v_pack(column, column), cv::v_pack(row, row), pairs, unused);
    cv::v_store(taps.offset + i, cv::v_dotprod(pairs, column_and_row) + origin);
    cv::v_store(taps.column_weights + i, weight_pair(qx));
    cv::v_store(taps.row_weights + i, weight_pair(qy));
  }
}

// Each read adds an offset to one of two fixed row pointers.
void read_pixels(const SamplingImage& image, const Taps& taps, int count, Pixels& pixels) {
  const uchar* const upper = image.first_byte();
  const uchar* const lower = upper + image.step();
  for (int i = 0; i < count; ++i) {
    const int offset = taps.offset[i];
    std::memcpy(pixels.upper + 2 * i, upper + offset, 2);
    std::memcpy(pixels.lower + 2 * i, lower + offset, 2);
  }
}

// Samples i .. i + 3 in 1/1024 units: each pair of pixels is weighed by one
// 16-bit multiply-add, then each pair of rows (below 2^13, so in 16 bits too).
cv::v_int32x4 interpolate(const Taps& taps, const Pixels& pixels, int i) {
  const cv::v_int16x8 column_weights =
      cv::v_reinterpret_as_s16(cv::v_load(taps.column_weights + i));
  const cv::v_int32x4 upper = cv::v_dotprod(
      cv::v_reinterpret_as_s16(cv::v_load_expand(pixels.upper + 2 * i)), column_weights);
  const cv::v_int32x4 lower = cv::v_dotprod(
      cv::v_reinterpret_as_s16(cv::v_load_expand(pixels.lower + 2 * i)), column_weights);
  // Upper and lower row of samples i and i + 1, then of i + 2 and i + 3.
  cv::v_int32x4 first_two, last_two;
  cv::v_zip(upper, lower, first_two, last_two);
  return cv::v_dotprod(cv::v_pack(first_two, last_two),
                       cv::v_reinterpret_as_s16(cv::v_load(taps.row_weights + i)));
}

// Sums of the samples and of their squares in 1/1024 units, exact in integers.
class Sums {
 public:
  void add(const cv::v_int32x4& units) {
    const cv::v_uint32x4 whole = cv::v_reinterpret_as_u32(units);
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
  const cv::v_float32x4 vm = cv::v_setall_f32(m);
  const cv::v_float32x4 vs = cv::v_setall_f32(s);
  for (int i = 0; i < count; i += 4) cv::v_store(patch + i, (cv::v_load(patch + i) - vm) / vs);
}

// Rows an odd number of cache lines apart.
int bordered_step(int cols) {
  int lines = (cols + border_before + border_after + cache_line - 1) / cache_line;
  if (lines % 2 == 0) ++lines;
  return lines * cache_line;
}

}  // namespace

bool SamplingImage::fits(const cv::Mat& image) {
  return image.type() == CV_8UC1 && !image.empty() && image.rows < SHRT_MAX &&
         bordered_step(image.cols) <= SHRT_MAX;
}

SamplingImage::SamplingImage(const cv::Mat& image) : cols_(image.cols), rows_(image.rows) {
  CV_Assert(fits(image));
  bordered_.create(rows_ + border_before + border_after, bordered_step(cols_), CV_8UC1);
  // Isolated: an image that is part of a larger one is still replicated from its own edges.
  cv::Mat filled = bordered_.colRange(0, cols_ + border_before + border_after);
  cv::copyMakeBorder(image, filled, border_before, border_after, border_before, border_after,
                     cv::BORDER_REPLICATE | cv::BORDER_ISOLATED);
  CV_Assert(filled.data == bordered_.data);
}

void sample_normalised_patch(const SamplingImage& image, const float* xs, const float* ys,
                             int count, float* patch) {
  Taps taps;
  Pixels pixels;
  Sums sums;
  for (int first = 0; first < count; first += block_samples) {
    const int n = std::min(block_samples, count - first);
    locate(image, xs + first, ys + first, n, taps);
    read_pixels(image, taps, n, pixels);
    for (int i = 0; i < n; i += 4) {
      const cv::v_int32x4 units = interpolate(taps, pixels, i);
      cv::v_store(patch + first + i, cv::v_cvt_f32(units) * cv::v_setall_f32(unit));
      sums.add(units);
    }
  }
  normalise(patch, count, sums.values(), sums.squares());
}

}  // namespace lf
