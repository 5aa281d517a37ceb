// Decoding the JPEG pictures the program carries in its resources into
// pixels a Windows bitmap takes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kestrix {

// Larger sides are no picture of ours; refusing them bounds the memory a
// damaged header can ask for.
inline constexpr int kMaxPictureSide = 4096;

struct Picture {
  int width;
  int height;
  std::vector<std::uint8_t> bgr;  // rows top-down, 3 bytes per pixel, no padding
};

// The picture, or nullopt for anything libjpeg finds fault with, warnings
// included: a damaged picture is better left out than shown half grey.
std::optional<Picture> DecodeJpeg(std::span<const std::uint8_t> bytes);

}  // namespace kestrix
