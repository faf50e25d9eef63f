#pragma once
// Finds JPEG files whose compressed data is cut short or damaged.
//
// The image library decodes such a file without failing: it fills what is
// missing with grey and only prints a warning. This check decodes the file once
// more with libjpeg (at 1/8 scale, which still reads every entropy-coded bit) and
// treats libjpeg's data-corruption warnings and errors as damage. What libjpeg
// cannot decode without the data being broken (an unsupported precision,
// process or colour conversion) is no damage: the image reader decides. Data
// after the end marker is never read, so files with trailing bytes still pass.

#include <string>
#include <vector>

namespace lf {

// Empty when the file is not a JPEG, cannot be opened, or is sound; otherwise
// libjpeg's message for the first damage found (e.g. "Premature end of JPEG file").
std::string find_jpeg_damage(const std::string& file_path);

// As above; `zero_scan_parameters` tells whether a sequential scan header has
// Ss, Se, Ah and Al all zero, as some cameras write them. libjpeg decodes such
// files to the right pixels but warns on standard error when it does.
std::string find_jpeg_damage(const std::string& file_path, bool& zero_scan_parameters);

// Sets Se to 63 in every scan header of the JPEG data whose Ss, Se, Ah and Al
// are all zero, so that the image reader decodes it without a warning.
void fix_zero_scan_parameters(std::vector<unsigned char>& jpeg);

}  // namespace lf
