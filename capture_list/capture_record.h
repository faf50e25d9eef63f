#pragma once
// One capture of the capture list: one or two raw images, named relative to the
// workspace folder, and the identifier that names the capture's result files.

#include <string>

#include <cereal/cereal.hpp>

namespace lf {

struct CaptureRecord {
  std::string raw1_image;
  std::string raw2_image;  // empty for a capture with one image
  bool has_raw2_image = false;
  std::string uuid;

  // All three keys are required strings, also "raw2_image" of a one-image capture.
  template <class Archive>
  void load(Archive& archive) {
    archive(cereal::make_nvp("raw1_image", raw1_image), cereal::make_nvp("raw2_image", raw2_image),
            cereal::make_nvp("uuid", uuid));
    has_raw2_image = !raw2_image.empty();
  }
};

}  // namespace lf
