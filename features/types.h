#pragma once
// Types shared along the data path, from keypoint detection to the result files.

#include <vector>

#include <opencv2/core.hpp>

#include "contract/model_contract.h"

namespace lf {

// The keypoints of one image, largest first; only pt, size and angle matter downstream.
using KeypointList = std::vector<cv::KeyPoint>;

// One continuous patch_side x patch_side CV_32FC1 matrix per keypoint, in keypoint order.
using PatchList = std::vector<cv::Mat>;

}  // namespace lf
