#include "app/jpeg_picture.h"

#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <limits>
#include <utility>

// After <cstdio>: jpeglib.h uses FILE and size_t without declaring them.
#include <jpeglib.h>

namespace kestrix {

namespace {

// libjpeg reports an error by calling error_exit, which must not return;
// jumping back to Decode is the way out its documentation prescribes.
struct ErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf decode;
};

[[noreturn]] void JumpBack(j_common_ptr info) {
  std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->decode, 1);
}

// Level -1 is a warning about damaged data (a truncated file among them),
// after which libjpeg would go on and fill the rest with grey.
void FailOnWarning(j_common_ptr info, int level) {
  if (level < 0) JumpBack(info);
}

// The default writes to stderr, which a windowed program does not have.
void Silence(j_common_ptr) {}

// The jump lands here, past libjpeg's frames only, so this function keeps
// nothing that needs destroying and reads nothing set after setjmp once it
// has jumped back.
bool Decode(jpeg_decompress_struct& info, ErrorManager& errors, std::span<const std::uint8_t> bytes,
            Picture& picture) {
  if (setjmp(errors.decode) != 0) return false;
  jpeg_create_decompress(&info);
  // libjpeg-turbo takes an unsigned long, 32 bits on Windows.
  jpeg_mem_src(&info, bytes.data(), static_cast<unsigned long>(bytes.size()));
  jpeg_read_header(&info, TRUE);
  if (info.image_width > kMaxPictureSide || info.image_height > kMaxPictureSide) return false;
#ifdef JCS_EXTENSIONS
  info.out_color_space = JCS_EXT_BGR;
#else
  info.out_color_space = JCS_RGB;
#endif
  jpeg_start_decompress(&info);
  if (info.output_components != 3) return false;

  picture.width = static_cast<int>(info.output_width);
  picture.height = static_cast<int>(info.output_height);
  const std::size_t row = static_cast<std::size_t>(picture.width) * 3;
  picture.bgr.resize(row * static_cast<std::size_t>(picture.height));
  while (info.output_scanline < info.output_height) {
    JSAMPROW line = picture.bgr.data() + row * info.output_scanline;
    jpeg_read_scanlines(&info, &line, 1);
  }
  jpeg_finish_decompress(&info);
#ifndef JCS_EXTENSIONS
  for (std::size_t i = 0; i < picture.bgr.size(); i += 3) std::swap(picture.bgr[i], picture.bgr[i + 2]);
#endif
  return true;
}

}  // namespace

std::optional<Picture> DecodeJpeg(std::span<const std::uint8_t> bytes) {
  if constexpr (sizeof(std::size_t) > sizeof(unsigned long)) {
    if (bytes.size() > std::numeric_limits<unsigned long>::max()) return std::nullopt;
  }
  ErrorManager errors{};
  jpeg_decompress_struct info{};
  info.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = JumpBack;
  errors.base.emit_message = FailOnWarning;
  errors.base.output_message = Silence;
  // Frees libjpeg's memory however Decode ends, a jump or an exception.
  struct Destroy {
    jpeg_decompress_struct& info;
    ~Destroy() { jpeg_destroy_decompress(&info); }
  } destroy{info};

  Picture picture{};
  if (!Decode(info, errors, bytes, picture)) return std::nullopt;
  return picture;
}

}  // namespace kestrix
