#include "app/jpeg_picture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

// After <cstdio>: jpeglib.h uses FILE and size_t without declaring them.
#include <jpeglib.h>

namespace kestrix {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Under Wine the source tree is a host path, reached through drive Z:.
Bytes ReadSourceFile(const std::string& relative) {
  const std::string path = std::string(KESTRIX_SOURCE_DIR) + "/" + relative;
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    std::string onWine = "Z:" + path;
    std::replace(onWine.begin(), onWine.end(), '/', '\\');
    file.open(onWine, std::ios::binary);
  }
  return Bytes(std::istreambuf_iterator<char>(file), {});
}

// One colour all over, as libjpeg writes it.
Bytes Encode(int width, int height, std::vector<std::uint8_t> pixel, bool progressive = false) {
  jpeg_compress_struct info{};
  jpeg_error_mgr errors{};
  info.err = jpeg_std_error(&errors);
  jpeg_create_compress(&info);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&info, &out, &size);
  info.image_width = static_cast<JDIMENSION>(width);
  info.image_height = static_cast<JDIMENSION>(height);
  info.input_components = static_cast<int>(pixel.size());
  info.in_color_space = pixel.size() == 3 ? JCS_RGB : JCS_GRAYSCALE;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, 95, TRUE);
  if (progressive) jpeg_simple_progression(&info);
  jpeg_start_compress(&info, TRUE);
  Bytes row;
  for (int x = 0; x < width; ++x) row.insert(row.end(), pixel.begin(), pixel.end());
  while (info.next_scanline < info.image_height) {
    JSAMPROW line = row.data();
    jpeg_write_scanlines(&info, &line, 1);
  }
  jpeg_finish_compress(&info);
  Bytes bytes(out, out + size);
  jpeg_destroy_compress(&info);
  std::free(out);
  return bytes;
}

TEST(DecodeJpeg, ShippedPictureIsTheDialogsSize) {
  const Bytes shipped = ReadSourceFile("assets/options-picture.jpg");
  ASSERT_FALSE(shipped.empty());
  const auto picture = DecodeJpeg(shipped);
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->width, 100);
  EXPECT_EQ(picture->height, 175);
  ASSERT_EQ(picture->bgr.size(), 100u * 175u * 3u);
  std::set<std::uint32_t> colours;
  for (std::size_t i = 0; i < picture->bgr.size(); i += 3) {
    colours.insert(picture->bgr[i] << 16 | picture->bgr[i + 1] << 8 | picture->bgr[i + 2]);
  }
  EXPECT_GT(colours.size(), 100u);
  // The top-left corner is pale sky: bluer than it is red.
  EXPECT_GT(picture->bgr[0], 200);
  EXPECT_GT(picture->bgr[0], picture->bgr[2]);
}

TEST(DecodeJpeg, PixelsComeBlueGreenRedInUnpaddedRows) {
  const struct {
    int width, height;
    std::vector<std::uint8_t> pixel;  // as encoded: red, green, blue, or one grey
    bool progressive;
    std::vector<int> bgr;
  } cases[] = {
      {13, 7, {230, 20, 10}, false, {10, 20, 230}},
      {5, 1, {10, 20, 230}, false, {230, 20, 10}},
      {1, 9, {30, 200, 40}, true, {40, 200, 30}},
      {6, 6, {128}, false, {128, 128, 128}},
      {kMaxPictureSide, 2, {90, 90, 90}, false, {90, 90, 90}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.width << "x" << c.height << (c.progressive ? " progressive" : ""));
    const auto picture = DecodeJpeg(Encode(c.width, c.height, c.pixel, c.progressive));
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->width, c.width);
    EXPECT_EQ(picture->height, c.height);
    ASSERT_EQ(picture->bgr.size(), static_cast<std::size_t>(c.width * c.height * 3));
    // Every pixel: rows padded or shifted by a byte put the channels out of step.
    int wrong = 0;
    for (std::size_t i = 0; i < picture->bgr.size(); ++i)
      wrong += std::abs(picture->bgr[i] - c.bgr[i % 3]) > 4;
    EXPECT_EQ(wrong, 0);
  }
}

TEST(DecodeJpeg, DamagedForeignOrOversizedInputGivesNothing) {
  const Bytes shipped = ReadSourceFile("assets/options-picture.jpg");
  ASSERT_FALSE(shipped.empty());
  std::mt19937 random(7);
  Bytes noise(2000);
  for (auto& byte : noise) byte = static_cast<std::uint8_t>(random());
  // Everything up to the entropy-coded data, then noise in its place.
  const std::uint8_t startOfScan[] = {0xFF, 0xDA};
  const auto scan =
      std::search(shipped.begin(), shipped.end(), std::begin(startOfScan), std::end(startOfScan));
  ASSERT_NE(scan, shipped.end());
  Bytes garbled(shipped.begin(), scan + 2 + (scan[2] << 8 | scan[3]));
  garbled.insert(garbled.end(), noise.begin(), noise.end());

  const struct {
    const char* name;
    Bytes bytes;
  } cases[] = {
      {"empty", {}},
      {"noise", noise},
      {"another format", Bytes{'G', 'I', 'F', '8', '9', 'a', 0, 0}},
      {"start marker only", Bytes(shipped.begin(), shipped.begin() + 2)},
      {"first half",
       Bytes(shipped.begin(), shipped.begin() + static_cast<std::ptrdiff_t>(shipped.size() / 2))},
      {"all but the end marker", Bytes(shipped.begin(), shipped.end() - 2)},
      {"header, then noise", garbled},
      {"too wide", Encode(kMaxPictureSide + 1, 1, {0})},
      {"too tall", Encode(1, kMaxPictureSide + 1, {0})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(DecodeJpeg(c.bytes));
  }
  // Failing leaves nothing behind that spoils the next decode.
  EXPECT_TRUE(DecodeJpeg(shipped));
}

}  // namespace
}  // namespace kestrix
