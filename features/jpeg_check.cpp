#include "features/jpeg_check.h"

#include <sys/stat.h>

#include <csetjmp>
#include <cstdio>
#include <memory>
#include <vector>

// libjpeg's header needs size_t and FILE declared first.
#include <jpeglib.h>
#include <jerror.h>

#include "platform/files.h"

namespace lf {
namespace {

struct CheckingErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf on_error;
  std::string damage;
  bool zero_scan_parameters = false;
};

bool scan_parameters_are_zero(j_common_ptr info) {
  const auto* decompress = reinterpret_cast<j_decompress_ptr>(info);
  return decompress->Ss == 0 && decompress->Se == 0 && decompress->Ah == 0 && decompress->Al == 0;
}

// Warnings that mean the compressed data is broken. Others (an unknown
// Adobe transform code, an unknown JFIF revision) leave the pixels sound.
bool is_damage_warning(j_common_ptr info, int code) {
  switch (code) {
    case JWRN_JPEG_EOF:
    case JWRN_HIT_MARKER:
    case JWRN_HUFF_BAD_CODE:
    case JWRN_ARITH_BAD_CODE:
    case JWRN_MUST_RESYNC:
    case JWRN_EXTRANEOUS_DATA:
    case JWRN_BOGUS_PROGRESSION:
      return true;
    case JWRN_NOT_SEQUENTIAL:
      // Some cameras write zeros for all four scan parameters of a baseline
      // scan; libjpeg decodes those files to the same pixels.
      return !scan_parameters_are_zero(info);
    default:
      return false;
  }
}

// Errors that mean the file's structure or data is broken. The others say
// what libjpeg cannot do (12-bit samples, lossless or DNL files, a colour
// conversion, memory); such files are left to the image reader.
bool is_damage_error(int code) {
  switch (code) {
    case JERR_BAD_COMPONENT_ID:
    case JERR_BAD_DCT_COEF:
    case JERR_BAD_HUFF_TABLE:
    case JERR_BAD_LENGTH:
    case JERR_BAD_MCU_SIZE:
    case JERR_BAD_PROGRESSION:
    case JERR_BAD_SAMPLING:
    case JERR_DAC_INDEX:
    case JERR_DAC_VALUE:
    case JERR_DHT_INDEX:
    case JERR_DQT_INDEX:
    case JERR_EOI_EXPECTED:
    case JERR_INPUT_EMPTY:
    case JERR_INPUT_EOF:
    case JERR_NO_ARITH_TABLE:
    case JERR_NO_HUFF_TABLE:
    case JERR_NO_IMAGE:
    case JERR_NO_QUANT_TABLE:
    case JERR_NO_SOI:
    case JERR_SOF_DUPLICATE:
    case JERR_SOF_NO_SOS:
    case JERR_SOI_DUPLICATE:
    case JERR_SOS_NO_SOF:
    case JERR_UNKNOWN_MARKER:
      return true;
    default:
      return false;
  }
}

std::string message_of(j_common_ptr info) {
  char text[JMSG_LENGTH_MAX];
  info->err->format_message(info, text);
  return text;
}

void keep_damage_warning(j_common_ptr info, int level) {
  auto* manager = reinterpret_cast<CheckingErrorManager*>(info->err);
  if (level >= 0) return;
  if (info->err->msg_code == JWRN_NOT_SEQUENTIAL && scan_parameters_are_zero(info))
    manager->zero_scan_parameters = true;
  if (manager->damage.empty() && is_damage_warning(info, info->err->msg_code)) manager->damage = message_of(info);
}

[[noreturn]] void leave_on_error(j_common_ptr info) {
  auto* manager = reinterpret_cast<CheckingErrorManager*>(info->err);
  if (manager->damage.empty() && is_damage_error(info->err->msg_code)) manager->damage = message_of(info);
  std::longjmp(manager->on_error, 1);
}

// Only regular files: reading a pipe here would take the bytes the decoder needs.
bool starts_as_jpeg(std::FILE* file) {
  struct stat info {};
  if (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  unsigned char magic[3] = {};
  const bool jpeg = std::fread(magic, 1, 3, file) == 3 && magic[0] == 0xFF && magic[1] == 0xD8 &&
                    magic[2] == 0xFF;
  std::rewind(file);
  return jpeg;
}

// Kept apart from find_jpeg_damage: nothing with a destructor may live in the
// frame that longjmp leaves.
void decode_small(std::FILE* file, jpeg_decompress_struct& info, CheckingErrorManager& manager,
                  std::vector<JSAMPLE>& row) {
  if (setjmp(manager.on_error) != 0) return;
  jpeg_create_decompress(&info);
  jpeg_stdio_src(&info, file);
  jpeg_read_header(&info, TRUE);
  info.scale_num = 1;
  info.scale_denom = 8;
  // Grey saves the colour conversion where libjpeg can make it; 4-component
  // (CMYK, YCCK) files are decoded in their own colour space.
  if (info.jpeg_color_space == JCS_GRAYSCALE || info.jpeg_color_space == JCS_YCbCr)
    info.out_color_space = JCS_GRAYSCALE;
  info.dct_method = JDCT_IFAST;
  info.do_fancy_upsampling = FALSE;
  jpeg_start_decompress(&info);
  row.resize(static_cast<std::size_t>(info.output_width) * info.output_components);
  JSAMPROW rows[] = {row.data()};
  while (info.output_scanline < info.output_height) jpeg_read_scanlines(&info, rows, 1);
  jpeg_finish_decompress(&info);
}

}  // namespace

std::string find_jpeg_damage(const std::string& file_path) {
  bool zero_scan_parameters = false;
  return find_jpeg_damage(file_path, zero_scan_parameters);
}

std::string find_jpeg_damage(const std::string& file_path, bool& zero_scan_parameters) {
  zero_scan_parameters = false;
  const FilePtr file = open_file(file_path, "rb");
  if (!file || !starts_as_jpeg(file.get())) return "";
  jpeg_decompress_struct info{};
  CheckingErrorManager manager;
  info.err = jpeg_std_error(&manager.base);
  manager.base.emit_message = keep_damage_warning;
  manager.base.error_exit = leave_on_error;
  std::vector<JSAMPLE> row;
  decode_small(file.get(), info, manager, row);
  jpeg_destroy_decompress(&info);
  zero_scan_parameters = manager.zero_scan_parameters;
  return manager.damage;
}

void fix_zero_scan_parameters(std::vector<unsigned char>& jpeg) {
  // Segments are skipped by their length, so marker-like bytes inside them
  // (an EXIF thumbnail) are never taken for scan headers.
  std::size_t at = 2;
  while (at + 4 <= jpeg.size()) {
    const unsigned char marker = jpeg[at + 1];
    if (jpeg[at] != 0xFF || marker == 0xFF || marker == 0x00 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
      // Entropy-coded data, fill bytes, stuffed bytes and restart markers.
      at += jpeg[at] == 0xFF && marker != 0xFF ? 2 : 1;
      continue;
    }
    if (marker == 0xD9) return;
    const std::size_t length = static_cast<std::size_t>(jpeg[at + 2]) << 8 | jpeg[at + 3];
    if (marker == 0xDA && at + 4 < jpeg.size()) {
      const std::size_t parameters = at + 5 + 2 * static_cast<std::size_t>(jpeg[at + 4]);
      if (parameters + 2 < jpeg.size() && parameters + 3 <= at + 2 + length && jpeg[parameters] == 0 &&
          jpeg[parameters + 1] == 0 && jpeg[parameters + 2] == 0)
        jpeg[parameters + 1] = 63;
    }
    at += 2 + length;
  }
}

}  // namespace lf
